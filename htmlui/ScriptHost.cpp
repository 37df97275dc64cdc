#include "htmlui/ScriptHost.h"

#include "base/ComPtr.h"
#include "base/Utf8.h"

namespace htmlui {

namespace {

// The JScript engine's class id.
const CLSID JScriptClassId = {
    0xf414c260, 0x6ac0, 0x11cf, {0xb6, 0xd1, 0x00, 0xaa, 0x00, 0xbb, 0xbb, 0x58}};

void FreeExcepInfo(EXCEPINFO& info) {
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrDescription);
    SysFreeString(info.bstrHelpFile);
    info = EXCEPINFO();
}

} // namespace

ScriptHost::ScriptHost(const NamedObjects& objects) : objects_(objects) {
    for (auto& object : objects_) {
        object.second->AddRef();
    }
    HRESULT hr = CoCreateInstance(JScriptClassId, nullptr, CLSCTX_INPROC_SERVER,
                                  __uuidof(IActiveScript), reinterpret_cast<void**>(&engine_));
    if (FAILED(hr)) {
        lastError = L"the JScript engine is not available";
        return;
    }
    ComPtr<IActiveScriptParse> candidate;
    if (FAILED(hr = engine_->QueryInterface(IID_PPV_ARGS(&candidate))) ||
        FAILED(hr = engine_->SetScriptSite(this)) || FAILED(hr = candidate->InitNew())) {
        wchar_t code[16];
        _snwprintf(code, 16, L" (%08lx)", static_cast<unsigned long>(hr));
        lastError = std::wstring(L"the JScript engine did not initialise") + code;
        return;
    }
    for (const auto& object : objects_) {
        if (FAILED(engine_->AddNamedItem(object.first.c_str(), SCRIPTITEM_ISVISIBLE))) {
            lastError = L"the engine refused the named item " + object.first;
            return;
        }
    }
    parser_ = candidate.Detach();
}

ScriptHost::~ScriptHost() {
    Close();
}

ULONG ScriptHost::Close() {
    if (parser_) {
        parser_->Release();
        parser_ = nullptr;
    }
    ULONG left = 0;
    if (engine_) {
        engine_->Close();
        left = engine_->Release();
        engine_ = nullptr;
    }
    started_ = false;
    for (auto& object : objects_) {
        object.second->Release();
    }
    objects_.clear();
    return left;
}

std::string ScriptHost::Errors() const {
    std::string all;
    for (const std::wstring& error : errors) {
        all += ToUtf8(error) + "\n";
    }
    return all;
}

HRESULT ScriptHost::ParseText(const std::wstring& code, DWORD flags, VARIANT* result) {
    if (!parser_) {
        return E_UNEXPECTED;
    }
    lastError.clear();
    EXCEPINFO info = {};
    const HRESULT hr = parser_->ParseScriptText(code.c_str(), nullptr, nullptr, nullptr, 0, 0,
                                                flags, result, &info);
    if (FAILED(hr) && lastError.empty()) {
        wchar_t text[64];
        _snwprintf(text, 64, L"error %08lx ", static_cast<unsigned long>(hr));
        lastError = text;
        if (info.bstrDescription) {
            lastError += info.bstrDescription;
        }
    }
    FreeExcepInfo(info);
    return hr;
}

HRESULT ScriptHost::Parse(const std::wstring& code) {
    if (started_) {
        return E_UNEXPECTED;
    }
    return ParseText(code, 0, nullptr);
}

HRESULT ScriptHost::Start() {
    if (started_) {
        return S_OK;
    }
    // An engine that did not initialise (no parse interface, no site) is
    // never started: every call then fails with the reason in lastError.
    if (!engine_ || !parser_) {
        return E_UNEXPECTED;
    }
    const HRESULT hr = engine_->SetScriptState(SCRIPTSTATE_CONNECTED);
    started_ = SUCCEEDED(hr);
    return hr;
}

HRESULT ScriptHost::Run(const std::wstring& code) {
    const HRESULT hr = Start();
    return FAILED(hr) ? hr : ParseText(code, SCRIPTTEXT_ISVISIBLE, nullptr);
}

HRESULT ScriptHost::Evaluate(const std::wstring& expression, VARIANT* result) {
    VariantInit(result);
    const HRESULT hr = Start();
    return FAILED(hr) ? hr : ParseText(expression, SCRIPTTEXT_ISEXPRESSION, result);
}

HRESULT ScriptHost::Call(const std::wstring& name, VARIANT* result) {
    if (result) {
        VariantInit(result);
    }
    HRESULT hr = Start();
    if (FAILED(hr)) {
        return hr;
    }
    ComPtr<IDispatch> globals;
    hr = engine_->GetScriptDispatch(nullptr, &globals);
    if (FAILED(hr) || !globals) {
        return FAILED(hr) ? hr : E_UNEXPECTED;
    }
    LPOLESTR names[] = {const_cast<LPOLESTR>(name.c_str())};
    DISPID id = DISPID_UNKNOWN;
    hr = globals->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) {
        lastError = L"no global function " + name;
        return hr;
    }
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    lastError.clear();
    return globals->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, result,
                           nullptr, nullptr);
}

HRESULT ScriptHost::QueryInterface(REFIID iid, void** object) {
    if (iid == IID_IUnknown || iid == __uuidof(IActiveScriptSite)) {
        *object = static_cast<IActiveScriptSite*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG ScriptHost::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&siteReferences_));
}

ULONG ScriptHost::Release() {
    return static_cast<ULONG>(InterlockedDecrement(&siteReferences_));
}

HRESULT ScriptHost::GetLCID(LCID*) {
    return E_NOTIMPL;
}

HRESULT ScriptHost::GetItemInfo(LPCOLESTR name, DWORD mask, IUnknown** item, ITypeInfo** info) {
    if (info) {
        *info = nullptr;
    }
    if (item) {
        *item = nullptr;
    }
    for (const auto& object : objects_) {
        if (object.first == name) {
            if ((mask & SCRIPTINFO_IUNKNOWN) && item) {
                *item = object.second;
                object.second->AddRef();
            }
            return S_OK;
        }
    }
    return TYPE_E_ELEMENTNOTFOUND;
}

HRESULT ScriptHost::GetDocVersionString(BSTR*) {
    return E_NOTIMPL;
}

HRESULT ScriptHost::OnScriptTerminate(const VARIANT*, const EXCEPINFO*) {
    return S_OK;
}

HRESULT ScriptHost::OnStateChange(SCRIPTSTATE) {
    return S_OK;
}

HRESULT ScriptHost::OnScriptError(IActiveScriptError* error) {
    EXCEPINFO info = {};
    std::wstring text;
    if (SUCCEEDED(error->GetExceptionInfo(&info))) {
        wchar_t code[32];
        _snwprintf(code, 32, L"%08lx ", static_cast<unsigned long>(info.scode));
        text = code;
        if (info.bstrDescription) {
            text += info.bstrDescription;
        }
        FreeExcepInfo(info);
    }
    DWORD context = 0;
    ULONG line = 0;
    LONG column = 0;
    if (SUCCEEDED(error->GetSourcePosition(&context, &line, &column))) {
        wchar_t where[64];
        _snwprintf(where, 64, L" (line %lu, column %ld)", line + 1, column + 1);
        text += where;
    }
    BSTR source = nullptr;
    if (SUCCEEDED(error->GetSourceLineText(&source)) && source) {
        text += L": ";
        text += source;
    }
    SysFreeString(source);
    lastError = text;
    errors.push_back(text);
    return S_OK;
}

HRESULT ScriptHost::OnEnterScript() {
    return S_OK;
}

HRESULT ScriptHost::OnLeaveScript() {
    return S_OK;
}

} // namespace htmlui
