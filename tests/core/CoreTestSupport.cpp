#include "tests/core/CoreTestSupport.h"

#include "base/InstallerContext.h"
#include "base/LogFile.h"
#include "base/PageCodes.h"
#include "tests/common/TestUtil.h"

#include <new>

namespace coretest {

InstallerContext& SharedContext() {
    static InstallerContext* context = new InstallerContext(L"TLW", L"1.0.25.1");
    return *context;
}

void ResetContext(InstallerContext& context) {
    context.properties.clear();
    context.channel.clear();
    context.installStatus = 4;
    context.failureStage = 0;
    context.failureCode = 0;
    context.productVersion.clear();
}

// ProbeExternal

namespace {

// The steps of a ProbeExternal: whatever its test set.
class ProbeSteps : public downloadmanagercore::IProductSteps {
public:
    ProbeExternal* owner = nullptr;

    void Attach(const downloadmanagercore::RunServices&) override {}
    // The file it wrote is whatever the test set as the downloaded file.
    int DownloadPackage(const std::wstring& url, std::wstring& packagePath) override {
        packagePath = owner->DownloadedFilePath();
        return owner->download ? owner->download(url) : DownloadFailed;
    }
    int ExtractPackage(const std::wstring&) override { return ExtractFailed; }
    int InstallPackage(const std::wstring& packagePath, const std::wstring& parameters) override {
        return owner->install ? owner->install(packagePath, parameters) : InstallNotSupported;
    }
    bool GetInstalledStartProgram(std::wstring& path) override {
        return owner->startProgram && owner->startProgram(path);
    }
    void CancelWork() override {}
};

} // namespace

std::atomic<int> ProbeExternal::live(0);
std::atomic<DWORD> ProbeExternal::destroyedOnThread(0);
HANDLE ProbeExternal::destroyingThread = nullptr;

ProbeExternal::ProbeExternal(InstallerContext* context_, LogFile* log_)
    : ScriptObject(context_, nullptr, log_, new ProbeSteps()) {
    static_cast<ProbeSteps&>(steps()).owner = this;
    ++live;
}

ProbeExternal::~ProbeExternal() {
    destroyedOnThread = GetCurrentThreadId();
    if (destroyingThread) {
        CloseHandle(destroyingThread);
    }
    destroyingThread =
        OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, GetCurrentThreadId());
    --live;
}

void* ProbeExternal::operator new(size_t size) {
    void* block = VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (!block) {
        throw std::bad_alloc();
    }
    return block;
}

void ProbeExternal::operator delete(void* block) {
    if (!block) {
        return;
    }
    MEMORY_BASIC_INFORMATION info = {};
    if (VirtualQuery(block, &info, sizeof info)) {
        DWORD old = 0;
        // Quarantined, not freed: a later touch of the object faults.
        VirtualProtect(block, info.RegionSize, PAGE_NOACCESS, &old);
    }
}

// ScriptHost

ScriptHost::ScriptHost(IDispatchEx* external) : htmlui::ScriptHost({{L"external", external}}) {}

std::wstring ScriptHost::Text(const std::wstring& expression) {
    VARIANT value;
    std::wstring text = L"<error>";
    if (SUCCEEDED(Evaluate(L"String(" + expression + L")", &value)) && value.vt == VT_BSTR) {
        text.assign(value.bstrVal ? value.bstrVal : L"", SysStringLen(value.bstrVal));
    }
    VariantClear(&value);
    return text;
}

long ScriptHost::Number(const std::wstring& expression) {
    VARIANT value;
    long number = 0x7FFFFFFF;
    if (SUCCEEDED(Evaluate(expression, &value)) &&
        SUCCEEDED(VariantChangeType(&value, &value, 0, VT_I4))) {
        number = value.lVal;
    }
    VariantClear(&value);
    return number;
}

long ScriptHost::ErrorOf(const std::wstring& statement) {
    const HRESULT hr =
        Run(L"var caught__ = 0; try { " + statement + L" } catch (e) { caught__ = e.number; }");
    if (FAILED(hr)) {
        return hr;
    }
    return Number(L"caught__");
}

// Fixtures

void ObjectTest::SetUp() {
    context = &SharedContext();
    ResetContext(*context);
    log = new LogFile();
    object = new ProbeExternal(context, log);
}

void ObjectTest::TearDown() {
    if (object) {
        // Workers and the page have dropped their references.
        EXPECT_EQ(0u, object->Release());
    }
    delete log;
}

std::string ObjectTest::Log() const {
    return LogText(*log);
}

void PageTest::SetUp() {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    comReady = true;
    ObjectTest::SetUp();
    host = new ScriptHost(object);
    ASSERT_TRUE(host->Ready()) << "the JScript engine is not available";
}

void PageTest::TearDown() {
    delete host;
    ObjectTest::TearDown();
    if (comReady) {
        CoUninitialize();
    }
}

void WorkerPageTest::SetUp() {
    PageTest::SetUp();
    if (HasFatalFailure()) {
        return;
    }
    ASSERT_EQ(S_OK, host->Run(L"var got = -1, calls = 0, page = typeof external;\n"
                              L"function done(r) { got = r; calls++; }\n"))
        << host->Errors();
}

// Helpers

namespace {
thread_local MessageBoxAnswerer* currentAnswerer = nullptr;
} // namespace

MessageBoxAnswerer::MessageBoxAnswerer(int button_) : button(button_), hook_(nullptr) {
    currentAnswerer = this;
    hook_ = SetWindowsHookExW(WH_CBT, Hook, nullptr, GetCurrentThreadId());
}

MessageBoxAnswerer::~MessageBoxAnswerer() {
    if (hook_) {
        UnhookWindowsHookEx(hook_);
    }
    currentAnswerer = nullptr;
}

LRESULT CALLBACK MessageBoxAnswerer::Hook(int code, WPARAM wParam, LPARAM lParam) {
    MessageBoxAnswerer* self = currentAnswerer;
    if (code == HCBT_ACTIVATE && self) {
        HWND box = reinterpret_cast<HWND>(wParam);
        wchar_t className[64] = {};
        GetClassNameW(box, className, 64);
        if (wcscmp(className, L"#32770") == 0 && !GetPropW(box, L"coretest.answered")) {
            SetPropW(box, L"coretest.answered", reinterpret_cast<HANDLE>(1));
            Box record;
            wchar_t text[512] = {};
            GetWindowTextW(box, text, 512);
            record.caption = text;
            text[0] = L'\0';
            GetDlgItemTextW(box, 0xFFFF, text, 512);
            record.text = text;
            record.owner = GetWindow(box, GW_OWNER);
            self->boxes.push_back(record);
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(self->button, BN_CLICKED), 0);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

namespace {

DWORD WINAPI WorkerBody(void* parameter) {
    const std::function<void()>* body = static_cast<const std::function<void()>*>(parameter);
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    (*body)();
    if (SUCCEEDED(hr)) {
        CoUninitialize();
    }
    return 0;
}

} // namespace

bool RunOnWorkerThread(const std::function<void()>& body, DWORD timeoutMs) {
    // The body outlives a timed-out wait: the thread may still run it.
    auto* copy = new std::function<void()>(body);
    HANDLE thread = CreateThread(nullptr, 0, WorkerBody, copy, 0, nullptr);
    if (!thread) {
        delete copy;
        return false;
    }
    const bool ended = WaitForSingleObject(thread, timeoutMs) == WAIT_OBJECT_0;
    CloseHandle(thread);
    if (ended) {
        delete copy;
    }
    return ended;
}

std::string LogText(const LogFile& log) {
    std::string text = testutil::ReadFileBytes(log.path);
    // The log is a text-mode file: lines end in CR LF there.
    std::string lines;
    for (char c : text) {
        if (c != '\r') {
            lines += c;
        }
    }
    return lines;
}

size_t Count(const std::string& text, const std::string& needle) {
    size_t count = 0;
    if (needle.empty()) {
        return 0;
    }
    for (size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

} // namespace coretest
