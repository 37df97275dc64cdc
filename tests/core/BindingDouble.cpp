#include "tests/core/BindingDouble.h"

#include <algorithm>
#include <cstring>

namespace coretest {

namespace {

const UINT kPlayMessage = WM_APP + 17;
const wchar_t kWindowClass[] = L"CoreTestBindingDouble";

// The data of one OnDataAvailable, read the way the moniker's stream answers.
class PulledStream final : public IStream {
public:
    PulledStream(const std::string& bytes, HRESULT end, bool lastWithData,
                 std::vector<HRESULT>* answers)
        : bytes_(bytes), end_(end), lastWithData_(lastWithData), answers_(answers) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (iid == IID_IUnknown || iid == IID_IStream || iid == IID_ISequentialStream) {
            *object = static_cast<IStream*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs_); }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG count = --refs_;
        if (count == 0) {
            delete this;
        }
        return static_cast<ULONG>(count);
    }

    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG size, ULONG* read) override {
        const size_t left = bytes_.size() - at_;
        const size_t count = std::min<size_t>(left, size);
        if (count > 0) {
            memcpy(buffer, bytes_.data() + at_, count);
        }
        at_ += count;
        if (read) {
            *read = static_cast<ULONG>(count);
        }
        HRESULT answer;
        if (count == 0) {
            answer = end_;
        } else if (at_ == bytes_.size() && lastWithData_) {
            answer = end_;
        } else {
            answer = S_OK;
        }
        answers_->push_back(answer);
        return answer;
    }
    HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*,
                                     ULARGE_INTEGER*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Revert() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clone(IStream**) override { return E_NOTIMPL; }

private:
    ~PulledStream() = default;
    LONG refs_ = 1;
    std::string bytes_;
    size_t at_ = 0;
    HRESULT end_;
    bool lastWithData_;
    std::vector<HRESULT>* answers_;
};

BindStep Blank(BindStep::Kind kind) {
    BindStep step;
    step.kind = kind;
    step.progress = 0;
    step.progressMax = 0;
    step.status = 0;
    step.end = E_PENDING;
    step.lastWithData = false;
    step.stop = S_OK;
    step.quitCode = 0;
    return step;
}

} // namespace

BindStep StartStep() {
    return Blank(BindStep::Start);
}

BindStep ProgressStep(ULONG status, ULONG progress, ULONG progressMax) {
    BindStep step = Blank(BindStep::Progress);
    step.status = status;
    step.progress = progress;
    step.progressMax = progressMax;
    return step;
}

BindStep DataStep(const std::string& bytes, HRESULT end, bool lastWithData) {
    BindStep step = Blank(BindStep::Data);
    step.bytes = bytes;
    step.end = end;
    step.lastWithData = lastWithData;
    return step;
}

BindStep StopStep(HRESULT hr) {
    BindStep step = Blank(BindStep::Stop);
    step.stop = hr;
    return step;
}

BindStep QuitStep(int code) {
    BindStep step = Blank(BindStep::Quit);
    step.quitCode = code;
    return step;
}

BindStep ObserveStep() {
    return Blank(BindStep::Observe);
}

BindStep SilenceStep() {
    return Blank(BindStep::Silence);
}

std::string Pattern(size_t size, char seed) {
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>(seed + (i * 7 + i / 251) % 26);
    }
    return text;
}

BindingDouble* BindingDouble::planned = nullptr;

BindingDouble::BindingDouble(const std::vector<BindStep>& steps, const std::wstring& targetPath)
    : steps_(steps), targetPath_(targetPath) {}

BindingDouble::~BindingDouble() {
    if (callback_) {
        callback_->Release();
    }
    if (window_) {
        DestroyWindow(window_);
    }
}

HRESULT STDMETHODCALLTYPE BindingDouble::QueryInterface(REFIID iid, void** object) {
    if (iid == IID_IUnknown || iid == IID_IBinding) {
        *object = static_cast<IBinding*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE BindingDouble::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&refs));
}

ULONG STDMETHODCALLTYPE BindingDouble::Release() {
    const LONG count = InterlockedDecrement(&refs);
    if (count == 0) {
        delete this;
    }
    return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE BindingDouble::Abort() {
    aborted = true;
    if (!stopped) {
        // As the platform does: the transfer ends with E_ABORT, later.
        steps_.resize(next_);
        steps_.push_back(StopStep(E_ABORT));
        PostNext();
    }
    return S_OK;
}

HRESULT STDAPICALLTYPE BindingDouble::Open(IUnknown*, LPCWSTR url, DWORD,
                                           IBindStatusCallback* callback) {
    BindingDouble* self = planned;
    if (!self) {
        return E_UNEXPECTED;
    }
    self->url = url ? url : L"";
    if (self->openResult != S_OK) {
        return self->openResult;
    }
    static ATOM atom = 0;
    if (!atom) {
        WNDCLASSEXW windowClass = {};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = WindowProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kWindowClass;
        atom = RegisterClassExW(&windowClass);
    }
    self->window_ = CreateWindowExW(0, kWindowClass, nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    GetModuleHandleW(nullptr), nullptr);
    if (!self->window_) {
        return E_FAIL;
    }
    SetWindowLongPtrW(self->window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    self->callback_ = callback;
    callback->AddRef();
    self->opened = true;
    self->thread = GetCurrentThreadId();
    // The platform's binding keeps itself alive while it runs.
    self->AddRef();
    self->PostNext();
    return S_OK;
}

void BindingDouble::PostNext() {
    if (window_) {
        PostMessageW(window_, kPlayMessage, 0, 0);
    }
}

LRESULT CALLBACK BindingDouble::WindowProc(HWND window, UINT message, WPARAM wParam,
                                           LPARAM lParam) {
    if (message == kPlayMessage) {
        BindingDouble* self =
            reinterpret_cast<BindingDouble*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (self) {
            self->Play();
        }
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void BindingDouble::Play() {
    if (stopped || next_ >= steps_.size() || !callback_) {
        return;
    }
    const BindStep step = steps_[next_++];
    ++stepsPlayed;
    switch (step.kind) {
    case BindStep::Start:
        startResult = callback_->OnStartBinding(0, this);
        break;
    case BindStep::Progress:
        callback_->OnProgress(step.progress, step.progressMax, step.status, nullptr);
        break;
    case BindStep::Data: {
        PulledStream* stream =
            new PulledStream(step.bytes, step.end, step.lastWithData, &readResults);
        delivered_ += static_cast<ULONG>(step.bytes.size());
        FORMATETC format = {0, nullptr, DVASPECT_CONTENT, -1, TYMED_ISTREAM};
        STGMEDIUM medium = {};
        medium.tymed = TYMED_ISTREAM;
        medium.pstm = stream;
        const DWORD flags =
            dataResults.empty() ? BSCF_FIRSTDATANOTIFICATION : BSCF_INTERMEDIATEDATANOTIFICATION;
        const HRESULT hr = callback_->OnDataAvailable(flags, delivered_, &format, &medium);
        stream->Release();
        dataResults.push_back(hr);
        if (FAILED(hr)) {
            // A refused delivery ends the transfer: on to the planned stop.
            while (next_ < steps_.size() && steps_[next_].kind != BindStep::Stop) {
                ++next_;
            }
        }
        break;
    }
    case BindStep::Stop: {
        stopped = true;
        IBindStatusCallback* callback = callback_;
        callback_ = nullptr;
        stopResult = callback->OnStopBinding(step.stop, nullptr);
        callback->Release();
        // The binding's own reference goes last, as the platform's does.
        Release();
        return;
    }
    case BindStep::Quit:
        // The thread is asked to end; the transfer waits (a quit message is
        // only seen once no other message is queued).
        PostQuitMessage(step.quitCode);
        return;
    case BindStep::Observe: {
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        if (GetFileAttributesExW(targetPath_.c_str(), GetFileExInfoStandard, &data)) {
            fileSizes.push_back((static_cast<LONGLONG>(data.nFileSizeHigh) << 32) |
                                data.nFileSizeLow);
        } else {
            fileSizes.push_back(-1);
        }
        break;
    }
    case BindStep::Silence:
        return;
    }
    PostNext();
}

} // namespace coretest
