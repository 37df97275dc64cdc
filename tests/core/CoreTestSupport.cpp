#include "tests/core/CoreTestSupport.h"

#include "base/InstallerContext.h"
#include "base/LogFile.h"
#include "tests/common/TestUtil.h"

#include <new>

namespace coretest {

namespace {

// The JScript engine's class id.
const CLSID JScriptClassId = {
    0xf414c260, 0x6ac0, 0x11cf, {0xb6, 0xd1, 0x00, 0xaa, 0x00, 0xbb, 0xbb, 0x58}};

std::string Narrow(const std::wstring& text) {
    std::string narrow;
    for (wchar_t c : text) {
        narrow += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return narrow;
}

} // namespace

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
}

// ProbeExternal

std::atomic<int> ProbeExternal::live(0);
std::atomic<DWORD> ProbeExternal::destroyedOnThread(0);
HANDLE ProbeExternal::destroyingThread = nullptr;

ProbeExternal::ProbeExternal(InstallerContext* context_, LogFile* log_)
    : HtmlExternal(context_, nullptr, log_) {
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

int ProbeExternal::DownloadPackage(const std::wstring& url) {
    return download ? download(url) : HtmlExternal::DownloadPackage(url);
}

int ProbeExternal::InstallPackage(const std::wstring& packagePath, const std::wstring& parameters) {
    return install ? install(packagePath, parameters)
                   : HtmlExternal::InstallPackage(packagePath, parameters);
}

bool ProbeExternal::GetInstalledStartProgram(std::wstring& path) {
    return startProgram ? startProgram(path) : HtmlExternal::GetInstalledStartProgram(path);
}

HRESULT ProbeExternal::DownloadAttempt(const std::wstring& url, const std::wstring& path,
                                       downloadmanagercore::DownloadCallback& progress) {
    ++attemptsMade;
    attemptPaths.push_back(path);
    if (opener) {
        if (beforeAttempt) {
            beforeAttempt(attemptsMade, path);
        }
        return downloadmanagercore::DownloadUrlToFileWith(opener, url, path, progress,
                                                          stallLimitMs);
    }
    if (!attempt) {
        return HtmlExternal::DownloadAttempt(url, path, progress);
    }
    const std::pair<HRESULT, bool> outcome = attempt(attemptsMade);
    if (outcome.second) {
        // What the moniker reports when data arrives.
        progress.OnProgress(100, 1000, BINDSTATUS_BEGINDOWNLOADDATA, nullptr);
        progress.OnProgress(100, 1000, BINDSTATUS_DOWNLOADINGDATA, nullptr);
    }
    return outcome.first;
}

bool ProbeExternal::PropertyLockFree() {
    if (!TryEnterCriticalSection(&propertyLock)) {
        return false;
    }
    LeaveCriticalSection(&propertyLock);
    return true;
}

// ScriptHost

class ScriptHost::Site final : public IActiveScriptSite {
public:
    explicit Site(IUnknown* item) : external(item) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (iid == IID_IUnknown || iid == __uuidof(IActiveScriptSite)) {
            *object = static_cast<IActiveScriptSite*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        return static_cast<ULONG>(InterlockedIncrement(&refs));
    }
    ULONG STDMETHODCALLTYPE Release() override {
        return static_cast<ULONG>(InterlockedDecrement(&refs));
    }

    HRESULT STDMETHODCALLTYPE GetLCID(LCID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetItemInfo(LPCOLESTR name, DWORD mask, IUnknown** item,
                                          ITypeInfo** info) override {
        if (info) {
            *info = nullptr;
        }
        if (wcscmp(name, L"external") != 0) {
            return TYPE_E_ELEMENTNOTFOUND;
        }
        if ((mask & SCRIPTINFO_IUNKNOWN) && item) {
            *item = external;
            external->AddRef();
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDocVersionString(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnScriptTerminate(const VARIANT*, const EXCEPINFO*) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnStateChange(SCRIPTSTATE) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnScriptError(IActiveScriptError* error) override {
        EXCEPINFO info = {};
        std::wstring text = L"script error";
        if (SUCCEEDED(error->GetExceptionInfo(&info))) {
            wchar_t code[32];
            _snwprintf(code, 32, L" %08lx ", static_cast<unsigned long>(info.scode));
            text += code;
            if (info.bstrDescription) {
                text += info.bstrDescription;
            }
            SysFreeString(info.bstrSource);
            SysFreeString(info.bstrDescription);
            SysFreeString(info.bstrHelpFile);
        }
        errors.push_back(text);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnEnterScript() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnLeaveScript() override { return S_OK; }

    IUnknown* external;
    LONG refs = 0;
    std::vector<std::wstring> errors;
};

ScriptHost::ScriptHost(IDispatchEx* external)
    : site_(new Site(external)), engine_(nullptr), parser_(nullptr) {
    if (FAILED(CoCreateInstance(JScriptClassId, nullptr, CLSCTX_INPROC_SERVER,
                                __uuidof(IActiveScript), reinterpret_cast<void**>(&engine_)))) {
        engine_ = nullptr;
        return;
    }
    IActiveScriptParse* parser = nullptr;
    if (FAILED(engine_->QueryInterface(__uuidof(IActiveScriptParse),
                                       reinterpret_cast<void**>(&parser))) ||
        FAILED(engine_->SetScriptSite(site_)) || FAILED(parser->InitNew()) ||
        FAILED(engine_->AddNamedItem(L"external", SCRIPTITEM_ISVISIBLE)) ||
        FAILED(engine_->SetScriptState(SCRIPTSTATE_CONNECTED))) {
        if (parser) {
            parser->Release();
        }
        return;
    }
    parser_ = parser;
}

ScriptHost::~ScriptHost() {
    Close();
    delete site_;
}

void ScriptHost::Close() {
    if (parser_) {
        parser_->Release();
        parser_ = nullptr;
    }
    if (engine_) {
        engine_->Close();
        engine_->Release();
        engine_ = nullptr;
    }
}

HRESULT ScriptHost::Run(const std::wstring& code) {
    if (!parser_) {
        return E_UNEXPECTED;
    }
    EXCEPINFO info = {};
    const HRESULT hr = parser_->ParseScriptText(code.c_str(), nullptr, nullptr, nullptr, 0, 0,
                                                SCRIPTTEXT_ISVISIBLE, nullptr, &info);
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrDescription);
    SysFreeString(info.bstrHelpFile);
    return hr;
}

HRESULT ScriptHost::Evaluate(const std::wstring& expression, VARIANT* value) {
    VariantInit(value);
    if (!parser_) {
        return E_UNEXPECTED;
    }
    EXCEPINFO info = {};
    const HRESULT hr = parser_->ParseScriptText(expression.c_str(), nullptr, nullptr, nullptr, 0, 0,
                                                SCRIPTTEXT_ISEXPRESSION, value, &info);
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrDescription);
    SysFreeString(info.bstrHelpFile);
    return hr;
}

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

std::string ScriptHost::Errors() const {
    std::string all;
    for (const std::wstring& error : site_->errors) {
        all += Narrow(error) + "\n";
    }
    return all;
}

// Helpers

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!done()) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (done()) {
            break;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            return false;
        }
        const ULONGLONG slice = deadline - now < 20 ? deadline - now : 20;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(slice), QS_ALLINPUT);
    }
    return true;
}

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
