#pragma once

#include <windows.h>

#include <urlmon.h>

#include <string>
#include <vector>

namespace coretest {

// One thing the moniker does in a played transfer.
struct BindStep {
    enum Kind {
        Start,    // OnStartBinding with the binding
        Progress, // OnProgress(progress, progressMax, status)
        Data,     // OnDataAvailable with a stream holding `bytes`
        Stop,     // OnStopBinding(stop); the transfer is over
        Quit,     // PostQuitMessage(quitCode) on the transfer's thread, then a pause
        Observe,  // records the target file's size (fileSizes)
        Silence,  // nothing more happens
    };
    Kind kind;
    ULONG progress;
    ULONG progressMax;
    ULONG status;
    std::string bytes;
    // What the stream's read answers once `bytes` are used up: E_PENDING (more
    // later) or S_FALSE (the end). With `lastWithData` the last bytes already
    // come with that answer; otherwise they come with S_OK and the answer
    // follows on an empty read.
    HRESULT end;
    bool lastWithData;
    HRESULT stop;
    int quitCode;
};

BindStep StartStep();
BindStep ProgressStep(ULONG status, ULONG progress, ULONG progressMax);
BindStep DataStep(const std::string& bytes, HRESULT end = E_PENDING, bool lastWithData = false);
BindStep StopStep(HRESULT hr);
BindStep QuitStep(int code);
BindStep ObserveStep();
BindStep SilenceStep();

// Text of `size` bytes with a recognisable pattern.
std::string Pattern(size_t size, char seed = 'a');

// Plays the moniker's side of a pulled transfer the way the platform does:
// every notification is delivered from the message queue of the thread that
// started the transfer, one posted message per step, so nothing happens
// unless that thread pumps. A failed OnDataAvailable makes it skip to its
// Stop step, as the platform stops a transfer that its callback refused;
// Abort() makes it stop with E_ABORT.
class BindingDouble final : public IBinding {
public:
    BindingDouble(const std::vector<BindStep>& steps, const std::wstring& targetPath);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE Abort() override;
    HRESULT STDMETHODCALLTYPE Suspend() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Resume() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetPriority(LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetPriority(LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetBindResult(CLSID*, DWORD*, LPOLESTR*, DWORD*) override {
        return E_NOTIMPL;
    }

    // The opener in URLOpenPullStreamW's shape; plays `planned`.
    static HRESULT STDAPICALLTYPE Open(IUnknown* caller, LPCWSTR url, DWORD reserved,
                                       IBindStatusCallback* callback);
    // The double the next Open plays (referenced by the caller, not taken).
    static BindingDouble* planned;
    // Answer of Open instead of starting (S_OK: start).
    HRESULT openResult = S_OK;

    // What was seen.
    std::wstring url;
    bool opened = false;
    bool stopped = false;
    bool aborted = false;
    std::vector<HRESULT> dataResults;   // OnDataAvailable's answers
    std::vector<HRESULT> readResults;   // the stream's answers to Read
    std::vector<LONGLONG> fileSizes;    // Observe steps
    HRESULT startResult = E_UNEXPECTED; // OnStartBinding's answer
    HRESULT stopResult = E_UNEXPECTED;  // OnStopBinding's answer
    size_t stepsPlayed = 0;
    DWORD thread = 0; // the thread that started the transfer

private:
    ~BindingDouble();
    void PostNext();
    void Play();
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    LONG refs = 1;
    std::vector<BindStep> steps_;
    size_t next_ = 0;
    std::wstring targetPath_;
    IBindStatusCallback* callback_ = nullptr;
    HWND window_ = nullptr;
    ULONG delivered_ = 0;
};

} // namespace coretest
