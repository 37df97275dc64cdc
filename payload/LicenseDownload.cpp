#include "payload/LicenseDownload.h"

#include "base/UniqueHandle.h"

#include <urlmon.h>

#include <cwchar>
#include <initializer_list>

namespace {

// The value of the header `name` (case-insensitive, without its colon) in raw
// CRLF-separated headers, blanks trimmed; false when there is none.
bool HeaderValue(const std::wstring& headers, const wchar_t* name, std::wstring& value) {
    const size_t nameLength = wcslen(name);
    size_t start = 0;
    while (start < headers.size()) {
        size_t end = headers.find(L'\n', start);
        if (end == std::wstring::npos) {
            end = headers.size();
        }
        std::wstring line = headers.substr(start, end - start);
        if (!line.empty() && line.back() == L'\r') {
            line.pop_back();
        }
        if (line.size() > nameLength && line[nameLength] == L':' &&
            _wcsnicmp(line.c_str(), name, nameLength) == 0) {
            size_t first = nameLength + 1;
            size_t last = line.size();
            while (first < last && (line[first] == L' ' || line[first] == L'\t')) {
                ++first;
            }
            while (last > first && (line[last - 1] == L' ' || line[last - 1] == L'\t')) {
                --last;
            }
            value = line.substr(first, last - first);
            return true;
        }
        start = end + 1;
    }
    return false;
}

} // namespace

long long AnnouncedBodyLength(const std::wstring& headers) {
    // A coded or chunked body arrives in another length than the one sent.
    for (const wchar_t* coding : {L"Content-Encoding", L"Transfer-Encoding"}) {
        std::wstring value;
        if (HeaderValue(headers, coding, value) && !value.empty() &&
            _wcsicmp(value.c_str(), L"identity") != 0) {
            return -1;
        }
    }
    std::wstring length;
    if (!HeaderValue(headers, L"Content-Length", length) || length.empty() || length.size() > 15) {
        return -1;
    }
    long long value = 0;
    for (wchar_t c : length) {
        if (c < L'0' || c > L'9') {
            return -1;
        }
        value = value * 10 + (c - L'0');
    }
    return value;
}

namespace {

// Watches one URL-moniker download: remembers the HTTP status of the answer and
// can abort the binding from another thread once the time is up.
class LicenseBindCallback final : public IBindStatusCallback, public IHttpNegotiate {
public:
    LicenseBindCallback()
        : refs_(1), binding_(nullptr), aborted_(0), status_(0), announcedLength_(-1) {
        InitializeCriticalSection(&lock_);
        done_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }

    bool Ready() const { return done_ != nullptr; }
    HANDLE DoneEvent() const { return done_; }
    bool Aborted() const { return InterlockedCompareExchange(&aborted_, 0, 0) != 0; }
    DWORD Status() const { return static_cast<DWORD>(InterlockedCompareExchange(&status_, 0, 0)); }
    // The body length the answer announced, or -1.
    long long AnnouncedLength() {
        EnterCriticalSection(&lock_);
        const long long length = announcedLength_;
        LeaveCriticalSection(&lock_);
        return length;
    }

    // Called by the watchdog when the time is up: later progress is refused, and
    // the binding, once started, is told to stop.
    void Abort() {
        InterlockedExchange(&aborted_, 1);
        EnterCriticalSection(&lock_);
        IBinding* binding = binding_;
        if (binding) {
            binding->AddRef();
        }
        LeaveCriticalSection(&lock_);
        if (binding) {
            binding->Abort();
            binding->Release();
        }
    }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (!object) {
            return E_POINTER;
        }
        if (riid == IID_IUnknown || riid == IID_IBindStatusCallback) {
            *object = static_cast<IBindStatusCallback*>(this);
        } else if (riid == IID_IHttpNegotiate) {
            *object = static_cast<IHttpNegotiate*>(this);
        } else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        return static_cast<ULONG>(InterlockedIncrement(&refs_));
    }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG left = InterlockedDecrement(&refs_);
        if (left == 0) {
            delete this;
        }
        return static_cast<ULONG>(left);
    }

    // IBindStatusCallback
    HRESULT STDMETHODCALLTYPE OnStartBinding(DWORD, IBinding* binding) override {
        EnterCriticalSection(&lock_);
        if (binding_) {
            binding_->Release();
        }
        binding_ = binding;
        if (binding_) {
            binding_->AddRef();
        }
        LeaveCriticalSection(&lock_);
        return Aborted() ? E_ABORT : S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetPriority(LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnLowResource(DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnProgress(ULONG, ULONG, ULONG, LPCWSTR) override {
        return Aborted() ? E_ABORT : S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnStopBinding(HRESULT, LPCWSTR) override {
        EnterCriticalSection(&lock_);
        IBinding* binding = binding_;
        binding_ = nullptr;
        LeaveCriticalSection(&lock_);
        if (binding) {
            binding->Release();
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD*, BINDINFO*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override {
        return Aborted() ? E_ABORT : S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnObjectAvailable(REFIID, IUnknown*) override { return S_OK; }

    // IHttpNegotiate
    HRESULT STDMETHODCALLTYPE BeginningTransaction(LPCWSTR, LPCWSTR, DWORD,
                                                   LPWSTR* additionalHeaders) override {
        if (additionalHeaders) {
            *additionalHeaders = nullptr;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnResponse(DWORD responseCode, LPCWSTR responseHeaders, LPCWSTR,
                                         LPWSTR* additionalHeaders) override {
        if (additionalHeaders) {
            *additionalHeaders = nullptr;
        }
        const long long announced = responseHeaders ? AnnouncedBodyLength(responseHeaders) : -1;
        EnterCriticalSection(&lock_);
        announcedLength_ = announced;
        LeaveCriticalSection(&lock_);
        InterlockedExchange(&status_, static_cast<LONG>(responseCode));
        // An error page is no licence: ask the moniker to stop (the caller
        // checks the status as well, since not every implementation stops).
        return responseCode == 200 ? S_OK : E_ABORT;
    }

private:
    ~LicenseBindCallback() {
        if (binding_) {
            binding_->Release();
        }
        if (done_) {
            CloseHandle(done_);
        }
        DeleteCriticalSection(&lock_);
    }

    LONG refs_;
    CRITICAL_SECTION lock_;
    IBinding* binding_;
    mutable LONG aborted_;
    mutable LONG status_;
    long long announcedLength_;
    HANDLE done_;
};

struct WatchdogArgs {
    LicenseBindCallback* callback; // one reference, released by the watchdog
    DWORD timeoutMs;
};

DWORD WINAPI WatchdogThread(void* parameter) {
    WatchdogArgs* args = static_cast<WatchdogArgs*>(parameter);
    if (WaitForSingleObject(args->callback->DoneEvent(), args->timeoutMs) != WAIT_OBJECT_0) {
        args->callback->Abort();
    }
    args->callback->Release();
    delete args;
    return 0;
}

// The size of the file at `path`, or -1 when it cannot be had.
long long FileLength(const std::wstring& path) {
    const FileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    return file && GetFileSizeEx(file.Get(), &size) ? size.QuadPart : -1;
}

// How long the start-up thread waits for the watchdog to leave after the
// download returned; it only ever has an abort call to finish.
constexpr DWORD kWatchdogJoinMs = 5000;

} // namespace

HRESULT DownloadLicenseFile(const std::wstring& url, const std::wstring& target, DWORD timeoutMs) {
    LicenseBindCallback* callback = new LicenseBindCallback();
    if (!callback->Ready()) {
        callback->Release();
        return E_OUTOFMEMORY;
    }

    HANDLE watchdog = nullptr;
    WatchdogArgs* args = new WatchdogArgs{callback, timeoutMs};
    callback->AddRef();
    watchdog = CreateThread(nullptr, 0, WatchdogThread, args, 0, nullptr);
    if (!watchdog) {
        callback->Release();
        delete args;
        callback->Release();
        return HRESULT_FROM_WIN32(GetLastError());
    }

    HRESULT result = URLDownloadToFileW(nullptr, url.c_str(), target.c_str(), 0, callback);
    SetEvent(callback->DoneEvent());
    WaitForSingleObject(watchdog, kWatchdogJoinMs);
    CloseHandle(watchdog);

    if (callback->Aborted()) {
        result = HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    } else if (result == S_OK && callback->Status() != 200) {
        // No status at all means no HTTP answer was seen (another protocol,
        // or a transfer that never got that far): that is no licence either.
        result = INET_E_DOWNLOAD_FAILURE;
    } else if (result == S_OK) {
        const long long length = FileLength(target);
        const long long announced = callback->AnnouncedLength();
        // A connection that ended before the announced body did leaves a
        // licence cut off in the middle, and an empty answer is none at all.
        if (length <= 0 || (announced >= 0 && length != announced)) {
            result = INET_E_DOWNLOAD_FAILURE;
        }
    }
    callback->Release();
    return result;
}
