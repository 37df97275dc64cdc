#include "tests/pages/FakeScriptObject.h"

#include <initializer_list>

namespace pagetest {

namespace {

// What a row does beyond the convention's checks.
enum class Kind { Record, Later, Property, Status, Retry, Test };

struct MethodRule {
    const wchar_t* name;
    // 1: returns nothing, 3: returns a value; 0: either (test methods without
    // arguments, whose value the engine asks for with flags 1).
    WORD flags;
    std::initializer_list<VARTYPE> types;
    Kind kind;
};

const MethodRule rules[] = {
    {L"setWindowSize", 1, {VT_I4, VT_I4}, Kind::Record},
    {L"closeWindow", 1, {}, Kind::Record},
    {L"download", 1, {VT_BSTR, VT_DISPATCH}, Kind::Later},
    {L"install", 1, {VT_BSTR, VT_DISPATCH}, Kind::Later},
    {L"getProperty", 3, {VT_BSTR}, Kind::Property},
    {L"setChannel", 1, {VT_BSTR}, Kind::Record},
    {L"setInstallStatus", 1, {VT_I4}, Kind::Status},
    {L"startInstallProgram", 1, {VT_BSTR}, Kind::Record},
    {L"hideWindow", 1, {}, Kind::Record},
    {L"dragWindow", 1, {}, Kind::Record},
    {L"messageBox", 1, {VT_BSTR, VT_BSTR}, Kind::Record},
    {L"disableCloseWindow", 1, {VT_BOOL}, Kind::Record},
    {L"restoreWindow", 1, {}, Kind::Record},
    {L"openPage", 1, {VT_BSTR}, Kind::Record},
    {L"retryMessageBox", 3, {VT_BSTR}, Kind::Retry},
    {L"extract", 1, {VT_DISPATCH}, Kind::Later},
    {L"testReset", 1, {}, Kind::Test},
    {L"testSetProperty", 1, {VT_BSTR, VT_BSTR}, Kind::Test},
    {L"testAddAnswer", 1, {VT_BOOL}, Kind::Test},
    {L"testPending", 0, {}, Kind::Test},
    {L"testComplete", 1, {VT_I4}, Kind::Test},
    {L"testNote", 1, {VT_BSTR}, Kind::Test},
    {L"testCalls", 0, {}, Kind::Test},
};
const int rowCount = sizeof rules / sizeof rules[0];

// The method table, one row per rule, each bound to its own handler; built
// on first use, after the rules.
template <int... Rows>
const htmlui::MethodEntry* MethodRows() {
    static const htmlui::MethodEntry rows[] = {
        {rules[Rows].name, static_cast<htmlui::MethodHandler>(&FakeScriptObject::Handle<Rows>)}...};
    static_assert(sizeof...(Rows) == sizeof rules / sizeof rules[0], "one row per rule");
    return rows;
}

std::wstring Text(const VARIANT& value) {
    return value.bstrVal ? std::wstring(value.bstrVal, SysStringLen(value.bstrVal))
                         : std::wstring();
}

void ReturnText(VARIANT* result, const std::wstring& text) {
    if (result) {
        VariantInit(result);
        result->vt = VT_BSTR;
        result->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    }
}

} // namespace

FakeScriptObject::FakeScriptObject() {}

FakeScriptObject::~FakeScriptObject() {
    Reset();
}

void FakeScriptObject::OnDocumentComplete(htmlui::MSHTMLClient*) {}

unsigned FakeScriptObject::GetMethodTable(const htmlui::MethodEntry** rows) {
    *rows = MethodRows<0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
                       22>();
    return rowCount;
}

void FakeScriptObject::Reset() {
    for (Pending& p : pending) {
        p.callback->Release();
    }
    pending.clear();
    calls.clear();
    properties.clear();
    answers.clear();
}

HRESULT FakeScriptObject::Dispatch(int row, WORD flags, DISPPARAMS* params, VARIANT* result) {
    const MethodRule& rule = rules[row];
    // The program's handler convention, in its order.
    if (rule.flags != 0 && flags != rule.flags) {
        return DISP_E_MEMBERNOTFOUND;
    }
    if (params->cArgs != rule.types.size() || params->cNamedArgs != 0) {
        return DISP_E_BADPARAMCOUNT;
    }
    std::vector<const VARIANT*> args; // in script order
    UINT index = params->cArgs;
    for (VARTYPE type : rule.types) {
        const VARIANT& arg = params->rgvarg[--index];
        if (arg.vt != type) {
            return DISP_E_TYPEMISMATCH;
        }
        args.push_back(&arg);
    }

    if (rule.kind == Kind::Test) {
        const std::wstring name = rule.name;
        if (name == L"testReset") {
            Reset();
        } else if (name == L"testSetProperty") {
            properties[Text(*args[0])] = Text(*args[1]);
        } else if (name == L"testAddAnswer") {
            answers.push_back(args[0]->boolVal == VARIANT_TRUE);
        } else if (name == L"testPending") {
            ReturnText(result, pending.empty() ? std::wstring() : pending.front().operation);
        } else if (name == L"testComplete") {
            if (pending.empty()) {
                return E_UNEXPECTED;
            }
            Pending next = pending.front();
            pending.pop_front();
            // As the program's workers do: DISPID_VALUE with one VT_I4.
            const HRESULT hr = callJscallback(nullptr, next.callback, args[0]->lVal);
            next.callback->Release();
            return hr;
        } else if (name == L"testNote") {
            calls.push_back(Text(*args[0]));
        } else if (name == L"testCalls") {
            std::wstring all;
            for (const std::wstring& line : calls) {
                all += all.empty() ? line : L"\n" + line;
            }
            ReturnText(result, all);
        }
        return S_OK;
    }

    if (rule.kind == Kind::Status && (args[0]->lVal < 0 || args[0]->lVal > 4)) {
        return STG_E_INVALIDPARAMETER;
    }
    std::wstring line = rule.name;
    line += L"(";
    bool first = true;
    for (const VARIANT* arg : args) {
        std::wstring shown;
        if (arg->vt == VT_BSTR) {
            shown = L"\"" + Text(*arg) + L"\"";
        } else if (arg->vt == VT_I4) {
            shown = std::to_wstring(arg->lVal);
        } else if (arg->vt == VT_BOOL) {
            shown = arg->boolVal == VARIANT_TRUE ? L"true" : L"false";
        } else {
            continue; // callbacks are left out
        }
        line += (first ? L"" : L", ") + shown;
        first = false;
    }
    line += L")";
    calls.push_back(line);

    if (rule.kind == Kind::Later) {
        IDispatch* callback = args.back()->pdispVal;
        if (!callback) {
            return E_POINTER;
        }
        callback->AddRef();
        const std::wstring name = rule.name;
        pending.push_back(Pending{name, callback});
    } else if (rule.kind == Kind::Property) {
        if (result) {
            // A name never set reads as empty and is added, as the program does.
            ReturnText(result, properties[Text(*args[0])]);
        }
    } else if (rule.kind == Kind::Retry) {
        if (result) {
            const bool again = !answers.empty() && answers.front();
            if (!answers.empty()) {
                answers.pop_front();
            }
            VariantInit(result);
            result->vt = VT_BOOL;
            result->boolVal = again ? VARIANT_TRUE : VARIANT_FALSE;
        }
    }
    return S_OK;
}

} // namespace pagetest
