#include "htmlui/MSHTMLExternal.h"

#include "base/LogFile.h"

#include <cstdlib>
#include <cwchar>

namespace htmlui {

namespace {

// Dynamic members have negative identifiers, methods positive ones.
bool IsDynamicId(DISPID id) {
    return id < 0;
}

ULONG DynamicRow(DISPID id) {
    return static_cast<ULONG>(id) & 0x7FFFFFFFu;
}

bool NamesEqual(const wchar_t* a, const wchar_t* b, bool ignoreCase) {
    return (ignoreCase ? _wcsicmp(a, b) : wcscmp(a, b)) == 0;
}

} // namespace

DynamicMemberGrowthPlan PlanDynamicMemberGrowth(ULONG count, ULONG rowSize) {
    DynamicMemberGrowthPlan plan = {false, true, 0, 0};
    if (count % DynamicMemberGrowth != 0) {
        return plan;
    }
    plan.grow = true;
    const unsigned long long rows = static_cast<unsigned long long>(count) + DynamicMemberGrowth;
    const unsigned long long bytes = rows * rowSize;
    if (rows > 0xFFFFFFFFull || bytes > 0xFFFFFFFFull) {
        plan.fits = false;
        return plan;
    }
    plan.newRows = static_cast<ULONG>(rows);
    plan.newBytes = static_cast<ULONG>(bytes);
    return plan;
}

void DebugTrace(const char* /*format*/, ...) {
    // Deliberately empty: a hook for a developer's trace output.
}

MSHTMLExternal::MSHTMLExternal()
    : refCount(1), dynamicMembers(nullptr), dynamicMemberCount(0), hostWindow(nullptr) {}

MSHTMLExternal::~MSHTMLExternal() {
    for (ULONG row = 0; row < dynamicMemberCount; ++row) {
        free(dynamicMembers[row].name);
        // A deleted member was already cleared; its marker is no valid type.
        if (dynamicMembers[row].value.vt != DeletedMemberType) {
            VariantClear(&dynamicMembers[row].value);
        }
    }
    free(dynamicMembers);
}

HRESULT STDMETHODCALLTYPE MSHTMLExternal::QueryInterface(REFIID iid, void** object) {
    if (!object) {
        return E_POINTER;
    }
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == __uuidof(IDispatchEx)) {
        *object = static_cast<IDispatchEx*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE MSHTMLExternal::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&refCount));
}

ULONG STDMETHODCALLTYPE MSHTMLExternal::Release() {
    // Worker threads drop their references while the UI thread counts too.
    const LONG count = InterlockedDecrement(&refCount);
    if (count == 0) {
        delete this;
    }
    return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE MSHTMLExternal::GetTypeInfoCount(UINT*) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MSHTMLExternal::GetTypeInfo(UINT, LCID, ITypeInfo**) {
    return E_NOTIMPL;
}

unsigned ArgumentCount(const MethodEntry& row) {
    unsigned count = 0;
    while (count < kMaxScriptArguments && row.types[count] != VT_EMPTY) {
        ++count;
    }
    return count;
}

HRESULT CheckScriptCall(const MethodEntry& row, WORD flags, const DISPPARAMS* params) {
    if (row.flags != 0 && flags != row.flags) {
        return DISP_E_MEMBERNOTFOUND;
    }
    const unsigned count = ArgumentCount(row);
    if (!params || params->cArgs != count || params->cNamedArgs != 0) {
        return DISP_E_BADPARAMCOUNT;
    }
    if (count > 0 && !params->rgvarg) {
        return E_POINTER;
    }
    for (unsigned index = 0; index < count; ++index) {
        // rgvarg holds the arguments in reverse order
        if (params->rgvarg[count - 1 - index].vt != row.types[index]) {
            return DISP_E_TYPEMISMATCH;
        }
    }
    return S_OK;
}

VARIANT& ScriptArgument(DISPPARAMS* params, UINT index) {
    return params->rgvarg[params->cArgs - 1 - index];
}

const wchar_t* ScriptText(DISPPARAMS* params, UINT index) {
    const BSTR text = ScriptArgument(params, index).bstrVal;
    return text ? text : L"";
}

HRESULT STDMETHODCALLTYPE MSHTMLExternal::GetIDsOfNames(REFIID, LPOLESTR* names, UINT nameCount,
                                                        LCID, DISPID* ids) {
    if (nameCount > 0 && (!names || !ids)) {
        return E_POINTER;
    }
    const MethodEntry* table = nullptr;
    const unsigned rows = GetMethodTable(&table);
    HRESULT hr = S_OK;
    for (UINT i = 0; i < nameCount; ++i) {
        DISPID id = DISPID_UNKNOWN;
        for (unsigned row = 0; names[i] && row < rows; ++row) {
            if (wcscmp(table[row].name, names[i]) == 0) {
                id = static_cast<DISPID>(row + 1);
                break;
            }
        }
        ids[i] = id;
        DebugTrace("  %S --> %d\n", names[i], id);
        if (id == DISPID_UNKNOWN) {
            hr = DISP_E_UNKNOWNNAME;
        }
    }
    return hr;
}

HRESULT STDMETHODCALLTYPE MSHTMLExternal::Invoke(DISPID id, REFIID iid, LCID, WORD flags,
                                                 DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                                                 UINT*) {
    if (iid != IID_NULL) {
        return DISP_E_UNKNOWNINTERFACE;
    }
    const MethodEntry* table = nullptr;
    const unsigned rows = GetMethodTable(&table);
    const unsigned row = static_cast<unsigned>(id) - 1u;
    if (row >= rows) {
        return DISP_E_MEMBERNOTFOUND;
    }
    // Handlers read the argument counts without checking for a missing block.
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    if (!params) {
        params = &none;
    }
    const HRESULT hr = CheckScriptCall(table[row], flags, params);
    if (FAILED(hr)) {
        return hr;
    }
    return (this->*table[row].handler)(params, result);
}

HRESULT STDMETHODCALLTYPE MSHTMLExternal::GetDispID(BSTR name, DWORD flags, DISPID* id) {
    if (!id) {
        return E_POINTER;
    }
    if (!name) {
        *id = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNNAME;
    }
    const bool ignoreCase = (flags & fdexNameCaseInsensitive) != 0;
    const bool ensure = (flags & fdexNameEnsure) != 0;

    const MethodEntry* table = nullptr;
    const unsigned rows = GetMethodTable(&table);
    for (unsigned row = 0; row < rows; ++row) {
        if (NamesEqual(table[row].name, name, ignoreCase)) {
            *id = static_cast<DISPID>(row + 1);
            return S_OK;
        }
    }

    if (!(flags & fdexNameNoDynamicProperties)) {
        for (ULONG row = 0; row < dynamicMemberCount; ++row) {
            DynamicMember& member = dynamicMembers[row];
            if (!NamesEqual(member.name, name, ignoreCase)) {
                continue;
            }
            if (member.value.vt == DeletedMemberType) {
                if (!ensure) {
                    *id = DISPID_UNKNOWN;
                    return DISP_E_UNKNOWNNAME;
                }
                VariantInit(&member.value);
            }
            *id = static_cast<DISPID>(DynamicMemberIdBit | row);
            return S_OK;
        }
    }

    if (!ensure) {
        *id = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNNAME;
    }
    if (!AppendDynamicMember(name, id)) {
        *id = DISPID_UNKNOWN;
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

bool MSHTMLExternal::AppendDynamicMember(const wchar_t* name, DISPID* id) {
    const DynamicMemberGrowthPlan plan =
        PlanDynamicMemberGrowth(dynamicMemberCount, sizeof(DynamicMember));
    // The row count must stay within the identifier's 31 row bits.
    if (dynamicMemberCount >= 0x7FFFFFFFu) {
        return false;
    }
    if (plan.grow) {
        if (!plan.fits) {
            return false;
        }
        void* grown = realloc(dynamicMembers, plan.newBytes);
        if (!grown) {
            return false;
        }
        dynamicMembers = static_cast<DynamicMember*>(grown);
    }
    const size_t length = wcslen(name);
    wchar_t* copy = static_cast<wchar_t*>(malloc((length + 1) * sizeof(wchar_t)));
    if (!copy) {
        return false;
    }
    wmemcpy(copy, name, length + 1);
    DynamicMember& member = dynamicMembers[dynamicMemberCount];
    member.name = copy;
    VariantInit(&member.value);
    *id = static_cast<DISPID>(DynamicMemberIdBit | dynamicMemberCount);
    ++dynamicMemberCount;
    return true;
}

HRESULT STDMETHODCALLTYPE MSHTMLExternal::InvokeEx(DISPID id, LCID locale, WORD flags,
                                                   DISPPARAMS* params, VARIANT* result,
                                                   EXCEPINFO* exception, IServiceProvider* caller) {
    if (!IsDynamicId(id)) {
        return Invoke(id, IID_NULL, locale, flags, params, result, exception, nullptr);
    }
    const ULONG row = DynamicRow(id);
    if (row >= dynamicMemberCount) {
        return DISP_E_UNKNOWNNAME;
    }
    VARIANT& value = dynamicMembers[row].value;

    // A call whose value the page uses comes with both the method and the
    // get flag: a stored function is called then, not handed back.
    const bool callsFunction =
        (flags & DISPATCH_METHOD) && value.vt == VT_DISPATCH && value.pdispVal;
    if ((flags & DISPATCH_PROPERTYGET) && !callsFunction) {
        if (params && (params->cArgs != 0 || params->cNamedArgs != 0)) {
            return DISP_E_BADPARAMCOUNT;
        }
        if (!result) {
            return E_POINTER;
        }
        return VariantCopy(result, &value);
    }
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
        if (!params || params->cArgs != 1) {
            return DISP_E_BADPARAMCOUNT;
        }
        if (params->cNamedArgs != 1 || !params->rgdispidNamedArgs ||
            params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT) {
            return DISP_E_PARAMNOTFOUND;
        }
        return VariantCopy(&value, &params->rgvarg[0]);
    }
    if (flags & DISPATCH_METHOD) {
        if (value.vt != VT_DISPATCH || !value.pdispVal) {
            return S_OK;
        }
        IDispatch* function = value.pdispVal;
        // The call may run script that replaces or deletes this member.
        function->AddRef();
        HRESULT hr;
        IDispatchEx* functionEx = nullptr;
        if (SUCCEEDED(function->QueryInterface(__uuidof(IDispatchEx),
                                               reinterpret_cast<void**>(&functionEx))) &&
            functionEx) {
            hr = functionEx->InvokeEx(DISPID_VALUE, locale, flags, params, result, exception,
                                      caller);
            functionEx->Release();
        } else {
            hr = function->Invoke(DISPID_VALUE, IID_NULL, locale, flags, params, result, exception,
                                  nullptr);
        }
        function->Release();
        return hr;
    }
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MSHTMLExternal::DeleteMemberByName(BSTR name, DWORD flags) {
    DISPID id = DISPID_UNKNOWN;
    GetDispID(name, flags, &id);
    return DeleteMemberByDispID(id);
}

HRESULT STDMETHODCALLTYPE MSHTMLExternal::DeleteMemberByDispID(DISPID id) {
    if (!IsDynamicId(id)) {
        return S_FALSE;
    }
    const ULONG row = DynamicRow(id);
    if (row < dynamicMemberCount) {
        VARIANT& value = dynamicMembers[row].value;
        if (value.vt != DeletedMemberType) {
            VariantClear(&value);
        }
        value.vt = DeletedMemberType;
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE MSHTMLExternal::GetMemberProperties(DISPID, DWORD, DWORD*) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MSHTMLExternal::GetMemberName(DISPID, BSTR*) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MSHTMLExternal::GetNextDispID(DWORD, DISPID, DISPID*) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MSHTMLExternal::GetNameSpaceParent(IUnknown**) {
    return E_NOTIMPL;
}

void MSHTMLExternal::OpenOutside(const wchar_t*) {}

void MSHTMLExternal::SetHostWindow(HWND window) {
    hostWindow = window;
}

HRESULT MSHTMLExternal::callJscallback(LogFile* log, IDispatch* callback, int value) {
    if (log) {
        log->LogDebugNarrow("call js callback.");
    }
    VARIANT argument;
    VariantInit(&argument);
    argument.vt = VT_I4;
    argument.lVal = value;
    DISPPARAMS params = {&argument, nullptr, 1, 0};
    HRESULT hr = E_POINTER;
    if (callback) {
        hr = callback->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr,
                              nullptr);
    }
    if (log) {
        log->LogDebugNarrow("callJscallback return %x.", static_cast<unsigned>(hr));
    }
    return hr;
}

} // namespace htmlui
