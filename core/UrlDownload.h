#pragma once

#include "base/ComPtr.h"

#include <windows.h>

#include <urlmon.h>

#include <string>

namespace downloadmanagercore {

class HtmlExternal;

// Size of the buffer through which pulled data is copied to the file.
const ULONG kPullBufferSize = 8192;

// How long an attempt may go without a single notification from the moniker
// before it is given up as a time-out (INET_E_CONNECTION_TIMEOUT): a binding
// that never reports again must not hold the worker for ever.
const DWORD kBindStallLimitMs = 120000;

// Writes the data of one pulled transfer into a file and records its result;
// forwards the other notifications to an inner callback. Reference counted
// (interlocked); starts with one reference.
class BSCHolder final : public IBindStatusCallback {
public:
    // `file` is open for writing and owned by the caller; `inner` may be NULL
    // and is referenced until the holder is detached or destroyed.
    BSCHolder(HANDLE file, IBindStatusCallback* inner);

    BSCHolder(const BSCHolder&) = delete;
    BSCHolder& operator=(const BSCHolder&) = delete;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IBindStatusCallback
    HRESULT STDMETHODCALLTYPE OnStartBinding(DWORD reserved, IBinding* binding) override;
    HRESULT STDMETHODCALLTYPE GetPriority(LONG* priority) override;
    HRESULT STDMETHODCALLTYPE OnLowResource(DWORD reserved) override;
    HRESULT STDMETHODCALLTYPE OnProgress(ULONG progress, ULONG progressMax, ULONG statusCode,
                                         LPCWSTR statusText) override;
    HRESULT STDMETHODCALLTYPE OnStopBinding(HRESULT hresult, LPCWSTR error) override;
    HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD* flags, BINDINFO* info) override;
    HRESULT STDMETHODCALLTYPE OnDataAvailable(DWORD flags, DWORD size, FORMATETC* format,
                                              STGMEDIUM* medium) override;
    HRESULT STDMETHODCALLTYPE OnObjectAvailable(REFIID iid, IUnknown* object) override;

    // E_PENDING while the transfer runs, then its final result (set once).
    HRESULT Result() const { return result; }
    bool WriteFailed() const { return writeFailed; }
    // Tick count of the last notification (or of the holder's creation).
    ULONGLONG LastActivity() const { return lastActivity; }

    // Ends the holder's part in the transfer: cuts the file at the end of the
    // written data, then touches neither the file nor the inner callback
    // again (both may go away), aborts the binding
    // if one was started, and sets the result to `hr` if it was still pending
    // (E_PENDING keeps it pending). Later notifications are answered without
    // effect.
    void Detach(HRESULT hr);

private:
    ~BSCHolder();

    LONG refCount;
    HRESULT result;
    bool writeFailed;
    HANDLE file;
    ComPtr<IBindStatusCallback> inner;
    // The binding from OnStartBinding, held until it stops, so that an attempt
    // given up early can abort it.
    ComPtr<IBinding> binding;
    bool detached;
    ULONGLONG lastActivity;
};

// Passes a transfer's progress to the script object's download properties and
// notes whether this attempt received any data. Lives in the frame of one
// download attempt: it counts no references and is never deleted through them.
class DownloadCallback final : public IBindStatusCallback {
public:
    explicit DownloadCallback(HtmlExternal* owner);

    DownloadCallback(const DownloadCallback&) = delete;
    DownloadCallback& operator=(const DownloadCallback&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE OnStartBinding(DWORD reserved, IBinding* binding) override;
    HRESULT STDMETHODCALLTYPE GetPriority(LONG* priority) override;
    HRESULT STDMETHODCALLTYPE OnLowResource(DWORD reserved) override;
    HRESULT STDMETHODCALLTYPE OnProgress(ULONG progress, ULONG progressMax, ULONG statusCode,
                                         LPCWSTR statusText) override;
    HRESULT STDMETHODCALLTYPE OnStopBinding(HRESULT hresult, LPCWSTR error) override;
    HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD* flags, BINDINFO* info) override;
    HRESULT STDMETHODCALLTYPE OnDataAvailable(DWORD flags, DWORD size, FORMATETC* format,
                                              STGMEDIUM* medium) override;
    HRESULT STDMETHODCALLTYPE OnObjectAvailable(REFIID iid, IUnknown* object) override;

    // Set once BINDSTATUS_DOWNLOADINGDATA or BINDSTATUS_ENDDOWNLOADDATA arrived.
    bool dataSeen;
    HtmlExternal* owner;
};

// Runs this thread's messages until the holder has a result. WM_QUIT stops the
// loop, is posted again for the thread's own loop, and leaves E_PENDING. A
// binding silent for `stallLimitMs` is given up with
// INET_E_CONNECTION_TIMEOUT. In both early ends the holder is detached.
HRESULT PumpMessagesUntilBound(BSCHolder* holder, DWORD stallLimitMs = kBindStallLimitMs);

// The platform call that starts a pulled transfer (URLOpenPullStreamW's shape).
typedef HRESULT(STDAPICALLTYPE* PullStreamOpener)(IUnknown* caller, LPCWSTR url, DWORD reserved,
                                                  IBindStatusCallback* callback);

// One download attempt: recreates `path` empty, pulls `url` into it through a
// BSCHolder and pumps this thread's messages until the transfer has a result.
// The file keeps whatever was written when the transfer fails.
HRESULT DownloadUrlToFile(const std::wstring& url, const std::wstring& path,
                          DownloadCallback& progress);

// The same with the transfer started by `open` (the platform's pulled stream
// in DownloadUrlToFile) and the given stall limit.
HRESULT DownloadUrlToFileWith(PullStreamOpener open, const std::wstring& url,
                              const std::wstring& path, DownloadCallback& progress,
                              DWORD stallLimitMs = kBindStallLimitMs);

} // namespace downloadmanagercore
