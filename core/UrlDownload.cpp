#include "core/UrlDownload.h"

#include "base/HResult.h"
#include "base/UniqueHandle.h"
#include "core/HtmlExternal.h"

#include <new>
#include <utility>

namespace downloadmanagercore {

BSCHolder::BSCHolder(HANDLE file_, IBindStatusCallback* inner_)
    : refCount(1), result(E_PENDING), writeFailed(false), file(file_), inner(inner_), binding(),
      detached(false), lastActivity(GetTickCount64()) {}

BSCHolder::~BSCHolder() = default;

HRESULT STDMETHODCALLTYPE BSCHolder::QueryInterface(REFIID iid, void** object) {
    if (!object) {
        return E_POINTER;
    }
    if (iid == IID_IBindStatusCallback || iid == IID_IUnknown) {
        *object = static_cast<IBindStatusCallback*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE BSCHolder::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&refCount));
}

ULONG STDMETHODCALLTYPE BSCHolder::Release() {
    const LONG count = InterlockedDecrement(&refCount);
    if (count == 0) {
        delete this;
    }
    return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE BSCHolder::OnStartBinding(DWORD reserved, IBinding* binding_) {
    lastActivity = GetTickCount64();
    if (!detached && binding_ && !binding) {
        binding = binding_;
    }
    return inner ? inner->OnStartBinding(reserved, binding_) : E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE BSCHolder::GetPriority(LONG* priority) {
    lastActivity = GetTickCount64();
    return inner ? inner->GetPriority(priority) : E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE BSCHolder::OnLowResource(DWORD reserved) {
    lastActivity = GetTickCount64();
    return inner ? inner->OnLowResource(reserved) : E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE BSCHolder::OnProgress(ULONG progress, ULONG progressMax, ULONG statusCode,
                                                LPCWSTR statusText) {
    lastActivity = GetTickCount64();
    if (!detached && statusCode == BINDSTATUS_BEGINDOWNLOADDATA && progressMax != 0) {
        // Reserve the announced size up front; the pointer goes back to the
        // start for the data.
        LARGE_INTEGER size;
        size.QuadPart = progressMax;
        if (SetFilePointerEx(file, size, nullptr, FILE_BEGIN)) {
            SetEndOfFile(file);
            LARGE_INTEGER start;
            start.QuadPart = 0;
            SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
        }
    }
    return inner ? inner->OnProgress(progress, progressMax, statusCode, statusText) : E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE BSCHolder::OnStopBinding(HRESULT hresult, LPCWSTR error) {
    lastActivity = GetTickCount64();
    binding.Reset();
    if (detached) {
        return S_OK;
    }
    if (hresult == S_OK) {
        // Data that ended before the announced size is no success.
        LARGE_INTEGER position;
        LARGE_INTEGER size;
        LARGE_INTEGER none;
        none.QuadPart = 0;
        if (SetFilePointerEx(file, none, &position, FILE_CURRENT) && GetFileSizeEx(file, &size) &&
            position.QuadPart != size.QuadPart) {
            hresult = S_FALSE;
            SetEndOfFile(file);
        }
    } else {
        SetEndOfFile(file);
    }
    if (!writeFailed && result == E_PENDING) {
        // A stop is final: a binding that stops "pending" must not leave the
        // attempt waiting for a result that cannot come.
        result = hresult == E_PENDING ? E_FAIL : hresult;
    }
    return inner ? inner->OnStopBinding(hresult, error) : E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE BSCHolder::GetBindInfo(DWORD* flags, BINDINFO* info) {
    lastActivity = GetTickCount64();
    return inner ? inner->GetBindInfo(flags, info) : E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE BSCHolder::OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM* medium) {
    lastActivity = GetTickCount64();
    if (detached || writeFailed) {
        return E_ABORT;
    }
    if (!medium || medium->tymed != TYMED_ISTREAM || !medium->pstm) {
        return E_INVALIDARG;
    }
    IStream* stream = medium->pstm;
    BYTE buffer[kPullBufferSize];
    for (;;) {
        ULONG read = 0;
        const HRESULT hr = stream->Read(buffer, kPullBufferSize, &read);
        if (read > kPullBufferSize) {
            read = 0; // a stream that claims more than it was given wrote nothing usable
        }
        if (read > 0) {
            DWORD written = 0;
            const BOOL wrote = WriteFile(file, buffer, read, &written, nullptr);
            if (!wrote || written != read) {
                writeFailed = true;
                // A short write without an error code is what a full disk does.
                result = !wrote ? HResultFromLastError() : HRESULT_FROM_WIN32(ERROR_DISK_FULL);
                return E_ABORT;
            }
        }
        if (hr == S_OK) {
            if (read == 0) {
                // Nothing read and nothing said: wait for the next notification
                // rather than spin on the stream.
                return S_OK;
            }
            continue;
        }
        if (hr == S_FALSE || hr == E_PENDING) {
            return S_OK;
        }
        return hr;
    }
}

HRESULT STDMETHODCALLTYPE BSCHolder::OnObjectAvailable(REFIID, IUnknown*) {
    lastActivity = GetTickCount64();
    return E_NOTIMPL;
}

void BSCHolder::Detach(HRESULT hr) {
    if (result == E_PENDING) {
        result = hr;
    }
    if (!detached && file != INVALID_HANDLE_VALUE) {
        // A transfer given up early keeps only what was written, not the
        // announced size reserved at its start.
        SetEndOfFile(file);
    }
    detached = true;
    file = INVALID_HANDLE_VALUE;
    // Let go of both before aborting: the binding may call back at once.
    const ComPtr<IBinding> started = std::move(binding);
    inner.Reset();
    if (started) {
        started->Abort();
    }
}

DownloadCallback::DownloadCallback(HtmlExternal* owner_) : dataSeen(false), owner(owner_) {}

HRESULT STDMETHODCALLTYPE DownloadCallback::QueryInterface(REFIID iid, void** object) {
    if (!object) {
        return E_POINTER;
    }
    if (iid == IID_IUnknown || iid == IID_IBindStatusCallback) {
        *object = static_cast<IBindStatusCallback*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE DownloadCallback::AddRef() {
    return 2;
}

ULONG STDMETHODCALLTYPE DownloadCallback::Release() {
    return 1;
}

HRESULT STDMETHODCALLTYPE DownloadCallback::OnStartBinding(DWORD, IBinding*) {
    return S_OK;
}

HRESULT STDMETHODCALLTYPE DownloadCallback::GetPriority(LONG*) {
    return S_OK;
}

HRESULT STDMETHODCALLTYPE DownloadCallback::OnLowResource(DWORD) {
    return S_OK;
}

HRESULT STDMETHODCALLTYPE DownloadCallback::OnProgress(ULONG progress, ULONG progressMax,
                                                       ULONG statusCode, LPCWSTR) {
    // The run is ending: the binding stops here.
    if (owner && owner->IsStopping()) {
        return E_ABORT;
    }
    switch (statusCode) {
    case BINDSTATUS_BEGINDOWNLOADDATA:
        if (owner) {
            owner->SetDownloadTotal(static_cast<int>(progressMax));
        }
        break;
    case BINDSTATUS_DOWNLOADINGDATA:
    case BINDSTATUS_ENDDOWNLOADDATA:
        dataSeen = true;
        if (owner) {
            owner->SetDownloadCurrent(static_cast<int>(progress));
        }
        break;
    default:
        break;
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE DownloadCallback::OnStopBinding(HRESULT, LPCWSTR) {
    return S_OK;
}

HRESULT STDMETHODCALLTYPE DownloadCallback::GetBindInfo(DWORD*, BINDINFO*) {
    return S_OK;
}

HRESULT STDMETHODCALLTYPE DownloadCallback::OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) {
    return S_OK;
}

HRESULT STDMETHODCALLTYPE DownloadCallback::OnObjectAvailable(REFIID, IUnknown*) {
    return S_OK;
}

HRESULT PumpMessagesUntilBound(BSCHolder* holder, DWORD stallLimitMs) {
    // A thread timer wakes GetMessageW now and then, so a binding that has
    // gone silent is noticed even when no other message comes.
    UINT period = stallLimitMs / 4;
    if (period < 10) {
        period = 10;
    } else if (period > 1000) {
        period = 1000;
    }
    const UINT_PTR timer = SetTimer(nullptr, 0, period, nullptr);
    while (holder->Result() == E_PENDING) {
        if (GetTickCount64() - holder->LastActivity() >= stallLimitMs) {
            holder->Detach(INET_E_CONNECTION_TIMEOUT);
            break;
        }
        MSG msg;
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {
            // The thread is asked to end: give up the transfer and leave the
            // quit message for the thread's own loop.
            holder->Detach(E_PENDING);
            PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        if (got == -1) {
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    if (timer) {
        KillTimer(nullptr, timer);
    }
    return holder->Result();
}

HRESULT DownloadUrlToFile(const std::wstring& url, const std::wstring& path,
                          DownloadCallback& progress) {
    return DownloadUrlToFileWith(URLOpenPullStreamW, url, path, progress);
}

HRESULT DownloadUrlToFileWith(PullStreamOpener open, const std::wstring& url,
                              const std::wstring& path, DownloadCallback& progress,
                              DWORD stallLimitMs) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return HResultFromLastError();
    }
    ComPtr<BSCHolder> holder;
    holder.Attach(new (std::nothrow) BSCHolder(file.Get(), &progress));
    if (!holder) {
        return E_OUTOFMEMORY;
    }
    HRESULT hr = open(nullptr, url.c_str(), 0, holder.Get());
    if (SUCCEEDED(hr)) {
        hr = PumpMessagesUntilBound(holder.Get(), stallLimitMs);
    }
    // The moniker may keep the holder a little longer: it must not reach the
    // file closed below or the progress callback, which lives in the caller's
    // frame.
    holder->Detach(hr);
    return hr;
}

} // namespace downloadmanagercore
