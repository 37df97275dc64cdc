#include "tests/product/PageHarness.h"

#include "downloader/HashTask.h"
#include "downloader/Object.h"
#include "tests/common/TestUtil.h"

#include <algorithm>
#include <array>

namespace producttest {

const wchar_t kPageScript[] =
    L"var result = {};\n"
    L"var seen = { downloadTotal: [], downloadCurrent: [], extractProgress: [],\n"
    L"             installProgress: [] };\n"
    L"function note(name) {\n"
    L"  var value = external.getProperty(name);\n"
    L"  var list = seen[name];\n"
    L"  if (list.length == 0 || list[list.length - 1] != value) list.push(value);\n"
    L"}\n"
    L"function poll() {\n"
    L"  note('downloadTotal'); note('downloadCurrent');\n"
    L"  note('extractProgress'); note('installProgress');\n"
    L"}\n"
    L"function done(step) { return function (code) { poll(); result[step] = code; }; }\n"
    L"function has(step) { return typeof result[step] == 'number'; }\n"
    L"function download(url) { poll(); external.download(url, done('download')); }\n"
    L"function extract() { poll(); external.extract(done('extract')); }\n"
    L"function install(parameters) { poll(); external.install(parameters, done('install')); }\n";

namespace {

struct LateCancel {
    downloader::ITask* task; // one reference, dropped after the cancel
    DWORD delayMs;
};

DWORD WINAPI CancelLater(void* parameter) {
    LateCancel* cancel = static_cast<LateCancel*>(parameter);
    Sleep(cancel->delayMs);
    cancel->task->Cancel();
    cancel->task->Release();
    delete cancel;
    return 0;
}

// A task whose start is preceded by the end of the run.
class StopFirstTask : public downloader::ITask {
public:
    StopFirstTask(downloader::ITask* inner, TestController* controller)
        : inner_(inner), controller_(controller) {}

    void Start() override {
        controller_->StopWorkers(0);
        inner_->Start();
    }
    void Cancel() override { inner_->Cancel(); }

protected:
    ~StopFirstTask() { inner_->Release(); }

private:
    downloader::ITask* inner_; // owned reference
    TestController* controller_;
};

} // namespace

DWORD TestSteps::SetupTimeLimitMs() const {
    return controller_->setupLimitMs;
}

downloader::ITask* TestSteps::CreateDownloadTask(const std::wstring& url, const std::wstring& path,
                                                 downloader::IDownloadCallback* callback) {
    if (controller_->failTaskCreation) {
        return nullptr;
    }
    downloader::ITask* task = SuiteSteps::CreateDownloadTask(url, path, callback);
    if (task && controller_->stopBeforeStart) {
        downloader::ITask* wrapper =
            downloader::details::Object<StopFirstTask>::Create(task, controller_);
        if (!wrapper) {
            task->Release();
        }
        return wrapper;
    }
    if (task && controller_->cancelAfterMs) {
        task->AddRef();
        HANDLE thread = CreateThread(nullptr, 0, CancelLater,
                                     new LateCancel{task, controller_->cancelAfterMs}, 0, nullptr);
        if (thread) {
            CloseHandle(thread);
        }
    }
    return task;
}

std::wstring TestSteps::PublisherReferenceProgram() const {
    return referenceProgram.empty() ? SuiteSteps::PublisherReferenceProgram() : referenceProgram;
}

bool CompanionOfFile(const std::wstring& path, downloader::DownloadMeta& meta) {
    if (!testutil::FileExists(path)) {
        return false;
    }
    const std::string bytes = testutil::ReadFileBytes(path);
    meta = downloader::DownloadMeta();
    meta.fileSize = static_cast<int64_t>(bytes.size());
    for (size_t offset = 0; offset < bytes.size(); offset += downloader::kHashBlockSize) {
        std::array<uint8_t, 20> digest;
        const size_t size = std::min<size_t>(downloader::kHashBlockSize, bytes.size() - offset);
        if (!downloader::Sha1Digest(bytes.data() + offset, size, digest.data())) {
            return false;
        }
        meta.blockDigests.push_back(digest);
    }
    return true;
}

int TestController::ExtractPackage(const std::wstring& packagePath) {
    downloader::DownloadMeta meta;
    if (CompanionOfFile(packagePath, meta)) {
        Steps().KeepCompanion(packagePath, std::move(meta));
    } else {
        Steps().KeepCompanion(L"", downloader::DownloadMeta());
    }
    return Steps().ExtractPackage(packagePath);
}

std::string RunRecords::LogText() const {
    return testutil::ReadFileBytes(log.path);
}

PageScript::PageScript(TestController* controller) : comReady_(false), host_(nullptr) {
    comReady_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    if (comReady_) {
        host_ = new htmlui::ScriptHost({{L"external", static_cast<IDispatchEx*>(controller)}});
    }
}

PageScript::~PageScript() {
    delete host_;
    if (comReady_) {
        CoUninitialize();
    }
}

void PageScript::Close() {
    if (host_) {
        host_->Close();
    }
}

HRESULT PageScript::Run(const std::wstring& code) {
    return host_ ? host_->Run(code) : E_UNEXPECTED;
}

VARIANT PageScript::Eval(const std::wstring& expression) {
    VARIANT value;
    VariantInit(&value);
    if (host_ && FAILED(host_->Evaluate(expression, &value))) {
        VariantClear(&value);
    }
    return value;
}

std::wstring PageScript::EvalText(const std::wstring& expression) {
    VARIANT value = Eval(expression);
    std::wstring text;
    if (SUCCEEDED(VariantChangeType(&value, &value, 0, VT_BSTR)) && value.bstrVal) {
        text.assign(value.bstrVal, SysStringLen(value.bstrVal));
    }
    VariantClear(&value);
    return text;
}

long PageScript::EvalNumber(const std::wstring& expression) {
    VARIANT value = Eval(expression);
    long number = -9999;
    if (value.vt == VT_I4 || value.vt == VT_R8 || value.vt == VT_I2) {
        if (SUCCEEDED(VariantChangeType(&value, &value, 0, VT_I4))) {
            number = value.lVal;
        }
    }
    VariantClear(&value);
    return number;
}

bool PageScript::WaitFor(const std::wstring& expression, DWORD timeoutMs,
                         const std::wstring& pollCode, DWORD pollMs) {
    DWORD lastPoll = GetTickCount();
    return PumpUntil(
        [&]() {
            if (!pollCode.empty() && GetTickCount() - lastPoll >= pollMs) {
                lastPoll = GetTickCount();
                Run(pollCode);
            }
            VARIANT value = Eval(expression);
            const bool yes = value.vt == VT_BOOL && value.boolVal == VARIANT_TRUE;
            VariantClear(&value);
            return yes;
        },
        timeoutMs);
}

std::string PageScript::Errors() const {
    return host_ ? host_->Errors() : std::string();
}

} // namespace producttest
