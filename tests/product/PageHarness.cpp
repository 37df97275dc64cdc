#include "tests/product/PageHarness.h"

#include "tests/common/TestUtil.h"

#include <cwchar>

namespace producttest {

namespace {

// The JScript engine's class id.
const CLSID kJScriptClassId = {
    0xf414c260, 0x6ac0, 0x11cf, {0xb6, 0xd1, 0x00, 0xaa, 0x00, 0xbb, 0xbb, 0x58}};

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

} // namespace

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

} // namespace

downloader::ITask* TestController::CreateDownloadTask(const std::wstring& url,
                                                      const std::wstring& path,
                                                      downloader::IDownloadCallback* callback) {
    if (failTaskCreation) {
        return nullptr;
    }
    downloader::ITask* task = TLWExternal::CreateDownloadTask(url, path, callback);
    if (task && cancelAfterMs) {
        task->AddRef();
        HANDLE thread =
            CreateThread(nullptr, 0, CancelLater, new LateCancel{task, cancelAfterMs}, 0, nullptr);
        if (thread) {
            CloseHandle(thread);
        }
    }
    return task;
}

std::string RunRecords::LogText() const {
    return testutil::ReadFileBytes(log.path);
}

// Offers the controller as "external" and keeps the script errors.
class PageScript::Site final : public IActiveScriptSite {
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
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }
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
            code[31] = 0;
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

PageScript::PageScript(TestController* controller)
    : site_(nullptr), engine_(nullptr), parser_(nullptr), comReady_(false) {
    comReady_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    if (!comReady_) {
        return;
    }
    site_ = new Site(static_cast<IDispatchEx*>(controller));
    IActiveScript* engine = nullptr;
    if (FAILED(CoCreateInstance(kJScriptClassId, nullptr, CLSCTX_INPROC_SERVER,
                                __uuidof(IActiveScript), reinterpret_cast<void**>(&engine)))) {
        return;
    }
    if (FAILED(engine->QueryInterface(__uuidof(IActiveScriptParse32),
                                      reinterpret_cast<void**>(&parser_))) ||
        FAILED(engine->SetScriptSite(site_)) || FAILED(parser_->InitNew()) ||
        FAILED(engine->AddNamedItem(L"external", SCRIPTITEM_ISVISIBLE)) ||
        FAILED(engine->SetScriptState(SCRIPTSTATE_CONNECTED))) {
        if (parser_) {
            parser_->Release();
            parser_ = nullptr;
        }
        engine->Close();
        engine->Release();
        return;
    }
    engine_ = engine;
}

PageScript::~PageScript() {
    Close();
    delete site_;
    if (comReady_) {
        CoUninitialize();
    }
}

void PageScript::Close() {
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

HRESULT PageScript::Run(const std::wstring& code) {
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

VARIANT PageScript::Eval(const std::wstring& expression) {
    VARIANT value;
    VariantInit(&value);
    if (!parser_) {
        return value;
    }
    EXCEPINFO info = {};
    if (FAILED(parser_->ParseScriptText(expression.c_str(), nullptr, nullptr, nullptr, 0, 0,
                                        SCRIPTTEXT_ISEXPRESSION, &value, &info))) {
        VariantClear(&value);
    }
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrDescription);
    SysFreeString(info.bstrHelpFile);
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
    std::string all;
    if (site_) {
        for (const std::wstring& error : site_->errors) {
            all += Narrow(error) + "\n";
        }
    }
    return all;
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (done()) {
            return true;
        }
        if (GetTickCount() - start >= timeoutMs) {
            return false;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    }
}

} // namespace producttest
