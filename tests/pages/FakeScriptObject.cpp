#include "tests/pages/FakeScriptObject.h"

#include "core/ScriptObject.h"

#include <utility>

namespace pagetest {

namespace {

// What a row does beyond the one check of every call.
enum class Kind { Record, Later, Property, Status, Retry, Test };

// The program's rows, taken from its method table, then the test methods
// (flags 0: called either way, as the engine asks for a value with flags 1).
const unsigned kProgramRows = downloadmanagercore::ScriptObject::kScriptMethodCount;
const htmlui::MethodEntry testRows[] = {
    {L"testReset", DISPATCH_METHOD, {}, nullptr},
    {L"testSetProperty", DISPATCH_METHOD, {VT_BSTR, VT_BSTR}, nullptr},
    {L"testAddAnswer", DISPATCH_METHOD, {VT_BOOL}, nullptr},
    {L"testPending", 0, {}, nullptr},
    {L"testComplete", DISPATCH_METHOD, {VT_I4}, nullptr},
    {L"testNote", DISPATCH_METHOD, {VT_BSTR}, nullptr},
    {L"testCalls", 0, {}, nullptr},
};
const unsigned rowCount = kProgramRows + sizeof testRows / sizeof testRows[0];

const htmlui::MethodEntry& Rule(unsigned row) {
    return row < kProgramRows ? downloadmanagercore::ScriptObject::scriptMethods[row]
                              : testRows[row - kProgramRows];
}

Kind KindOf(unsigned row) {
    if (row >= kProgramRows) {
        return Kind::Test;
    }
    const std::wstring name = Rule(row).name;
    if (name == L"download" || name == L"install" || name == L"extract") {
        return Kind::Later;
    }
    if (name == L"getProperty") {
        return Kind::Property;
    }
    if (name == L"setInstallStatus") {
        return Kind::Status;
    }
    if (name == L"retryMessageBox") {
        return Kind::Retry;
    }
    return Kind::Record;
}

// The method table: each rule's row bound to its own handler.
template <unsigned... Rows>
const htmlui::MethodEntry* MethodRows(std::integer_sequence<unsigned, Rows...>) {
    static const htmlui::MethodEntry rows[] = {
        {Rule(Rows).name,
         Rule(Rows).flags,
         {Rule(Rows).types[0], Rule(Rows).types[1], Rule(Rows).types[2]},
         static_cast<htmlui::MethodHandler>(&FakeScriptObject::Handle<Rows>)}...};
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
    static_assert(htmlui::kMaxScriptArguments == 3, "the rows copy three argument types");
    *rows = MethodRows(std::make_integer_sequence<unsigned, rowCount>());
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

HRESULT FakeScriptObject::Dispatch(unsigned row, DISPPARAMS* params, VARIANT* result) {
    // Invoke has checked the call against the row.
    const htmlui::MethodEntry& rule = Rule(row);
    const Kind kind = KindOf(row);
    std::vector<const VARIANT*> args; // in script order
    for (unsigned i = 0; i < htmlui::ArgumentCount(rule); ++i) {
        args.push_back(&htmlui::ScriptArgument(params, i));
    }

    if (kind == Kind::Test) {
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

    if (kind == Kind::Status && (args[0]->lVal < 0 || args[0]->lVal > 4)) {
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

    if (kind == Kind::Later) {
        IDispatch* callback = args.back()->pdispVal;
        if (!callback) {
            return E_POINTER;
        }
        callback->AddRef();
        const std::wstring name = rule.name;
        pending.push_back(Pending{name, callback});
    } else if (kind == Kind::Property) {
        if (result) {
            // A name never set reads as empty and is added, as the program does.
            ReturnText(result, properties[Text(*args[0])]);
        }
    } else if (kind == Kind::Retry) {
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
