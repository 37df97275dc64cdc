#include "tests/pages/ScriptHost.h"

#include <cwctype>

namespace pagetest {

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

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) {
        c = static_cast<wchar_t>(std::towlower(c));
    }
    return text;
}

// Decodes the few character references that attribute values use.
std::wstring DecodeAttribute(const std::wstring& value) {
    static const struct {
        const wchar_t* entity;
        wchar_t c;
    } entities[] = {{L"&quot;", L'"'}, {L"&#39;", L'\''}, {L"&apos;", L'\''},
                    {L"&lt;", L'<'},   {L"&gt;", L'>'},   {L"&amp;", L'&'}};
    std::wstring out;
    for (size_t i = 0; i < value.size();) {
        bool replaced = false;
        for (const auto& e : entities) {
            const size_t length = wcslen(e.entity);
            if (value.compare(i, length, e.entity) == 0) {
                out += e.c;
                i += length;
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            out += value[i++];
        }
    }
    return out;
}

} // namespace

ScriptHost::ScriptHost(IDispatch* external_) : external(external_) {
    if (external) {
        external->AddRef();
    }
    HRESULT hr = CoCreateInstance(JScriptClassId, nullptr, CLSCTX_INPROC_SERVER,
                                  __uuidof(IActiveScript), reinterpret_cast<void**>(&engine));
    if (FAILED(hr)) {
        lastError = L"the JScript engine is not available";
        return;
    }
    IActiveScriptParse32* candidate = nullptr;
    if (FAILED(engine->QueryInterface(__uuidof(IActiveScriptParse32),
                                      reinterpret_cast<void**>(&candidate))) ||
        FAILED(engine->SetScriptSite(this)) || FAILED(candidate->InitNew())) {
        lastError = L"the JScript engine did not initialise";
        if (candidate) {
            candidate->Release();
        }
        return;
    }
    if (external && FAILED(engine->AddNamedItem(L"external", SCRIPTITEM_ISVISIBLE))) {
        lastError = L"the engine refused the named item";
        candidate->Release();
        return;
    }
    parser = candidate;
}

ScriptHost::~ScriptHost() {
    if (parser) {
        parser->Release();
    }
    if (engine) {
        engine->Close();
        engine->Release();
    }
    if (external) {
        external->Release();
    }
}

HRESULT ScriptHost::ParseText(const std::wstring& code, DWORD flags, VARIANT* result) {
    if (!parser) {
        return E_UNEXPECTED;
    }
    lastError.clear();
    EXCEPINFO info = {};
    const HRESULT hr = parser->ParseScriptText(code.c_str(), nullptr, nullptr, nullptr, 0, 0, flags,
                                               result, &info);
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
    if (started) {
        return E_UNEXPECTED;
    }
    return ParseText(code, 0, nullptr);
}

HRESULT ScriptHost::Start() {
    if (started) {
        return S_OK;
    }
    if (!engine) {
        return E_UNEXPECTED;
    }
    const HRESULT hr = engine->SetScriptState(SCRIPTSTATE_CONNECTED);
    started = SUCCEEDED(hr);
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

HRESULT ScriptHost::QueryInterface(REFIID iid, void** object) {
    if (iid == IID_IUnknown || iid == __uuidof(IActiveScriptSite)) {
        *object = static_cast<IActiveScriptSite*>(this);
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
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
    if (!external || wcscmp(name, L"external") != 0) {
        return TYPE_E_ELEMENTNOTFOUND;
    }
    if ((mask & SCRIPTINFO_IUNKNOWN) && item) {
        *item = external;
        external->AddRef();
    }
    return S_OK;
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
    return S_OK;
}

HRESULT ScriptHost::OnEnterScript() {
    return S_OK;
}

HRESULT ScriptHost::OnLeaveScript() {
    return S_OK;
}

std::wstring FromUtf8(const std::string& bytes) {
    if (bytes.empty()) {
        return std::wstring();
    }
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], size);
    return text;
}

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) {
        return std::string();
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size,
                        nullptr, nullptr);
    return bytes;
}

std::vector<std::wstring> InlineScripts(const std::wstring& html) {
    std::vector<std::wstring> scripts;
    const std::wstring lower = Lower(html);
    size_t at = 0;
    while ((at = html.find(L'<', at)) != std::wstring::npos) {
        if (lower.compare(at, 4, L"<!--") == 0) {
            const size_t end = html.find(L"-->", at + 4);
            at = end == std::wstring::npos ? html.size() : end + 3;
            continue;
        }
        size_t i = at + 1;
        if (i >= html.size() || !std::iswalpha(html[i])) {
            ++at;
            continue;
        }
        const size_t nameStart = i;
        while (i < html.size() && (std::iswalnum(html[i]) || html[i] == L'-')) {
            ++i;
        }
        const std::wstring tag = lower.substr(nameStart, i - nameStart);
        bool hasSource = false;
        // Attributes up to the end of the tag; quoted values may hold ">".
        while (i < html.size() && html[i] != L'>') {
            if (std::iswspace(html[i]) || html[i] == L'/') {
                ++i;
                continue;
            }
            const size_t attrStart = i;
            while (i < html.size() && !std::iswspace(html[i]) && html[i] != L'=' &&
                   html[i] != L'>') {
                ++i;
            }
            const std::wstring name = lower.substr(attrStart, i - attrStart);
            while (i < html.size() && std::iswspace(html[i])) {
                ++i;
            }
            std::wstring value;
            if (i < html.size() && html[i] == L'=') {
                ++i;
                while (i < html.size() && std::iswspace(html[i])) {
                    ++i;
                }
                if (i < html.size() && (html[i] == L'"' || html[i] == L'\'')) {
                    const wchar_t quote = html[i++];
                    const size_t end = html.find(quote, i);
                    const size_t stop = end == std::wstring::npos ? html.size() : end;
                    value = html.substr(i, stop - i);
                    i = stop == html.size() ? stop : stop + 1;
                } else {
                    const size_t valueStart = i;
                    while (i < html.size() && !std::iswspace(html[i]) && html[i] != L'>') {
                        ++i;
                    }
                    value = html.substr(valueStart, i - valueStart);
                }
            }
            if (name == L"src") {
                hasSource = true;
            } else if (name.size() > 2 && name.compare(0, 2, L"on") == 0) {
                scripts.push_back(DecodeAttribute(value));
            }
        }
        at = i < html.size() ? i + 1 : i;
        if (tag == L"script") {
            const size_t end = lower.find(L"</script", at);
            const size_t stop = end == std::wstring::npos ? html.size() : end;
            if (!hasSource) {
                scripts.push_back(html.substr(at, stop - at));
            }
            at = stop;
        }
    }
    return scripts;
}

} // namespace pagetest
