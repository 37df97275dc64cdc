#pragma once

#include <windows.h>

#include <dispex.h>
#include <oaidl.h>

class LogFile;

namespace htmlui {

class MSHTMLClient;
class MSHTMLExternal;

// A handler of one script method, called once Invoke has checked the call
// against its row: `params` holds exactly the row's arguments with its types
// (read them with ScriptArgument/ScriptText); `result` may be NULL. Derived
// classes bind their own member functions with
// static_cast<MethodHandler>(&Derived::Handler).
typedef HRESULT (MSHTMLExternal::*MethodHandler)(DISPPARAMS* params, VARIANT* result);

// Most arguments a script method takes.
const unsigned kMaxScriptArguments = 3;

// One row of a method table. The row's dispatch identifier is its index + 1.
struct MethodEntry {
    // Case-sensitive script name.
    const wchar_t* name;
    // The only call form accepted: DISPATCH_METHOD for a call whose value is
    // not used, DISPATCH_METHOD | DISPATCH_PROPERTYGET for one that returns a
    // value; 0 accepts either.
    WORD flags;
    // The argument types in script order, each matched exactly; VT_EMPTY
    // (never an argument's type) ends the list.
    VARTYPE types[kMaxScriptArguments];
    MethodHandler handler;
};

// The number of arguments a row takes.
unsigned ArgumentCount(const MethodEntry& row);

// The one check of every script call, made by Invoke before the handler
// runs: the flags, then the count (no named arguments), then each argument's
// exact type. DISP_E_MEMBERNOTFOUND, DISP_E_BADPARAMCOUNT or
// DISP_E_TYPEMISMATCH for the first failure; E_POINTER for a parameter block
// that announces arguments it does not hold.
HRESULT CheckScriptCall(const MethodEntry& row, WORD flags, const DISPPARAMS* params);

// Argument `index` in script order (0 = first) of a checked call.
VARIANT& ScriptArgument(DISPPARAMS* params, UINT index);
// The text of a checked VT_BSTR argument; a NULL BSTR reads as "".
const wchar_t* ScriptText(DISPPARAMS* params, UINT index);

// An "expando" member that page script created on the object.
struct DynamicMember {
    wchar_t* name; // private heap copy of the name as script first used it
    VARIANT value; // VT_EMPTY when created; vt == DeletedMemberType when deleted
};

// Type code that marks a deleted dynamic member; it keeps its row and id.
const VARTYPE DeletedMemberType = 0xFFFF;

// Identifier bit of dynamic members: 0x80000000 | row.
const DISPID DynamicMemberIdBit = static_cast<DISPID>(0x80000000u);

// Rows added to the dynamic member array at a time.
const ULONG DynamicMemberGrowth = 32;

// Whether appending a row to an array of `count` rows must reallocate, and to
// how many bytes. False in `fits` when that byte size does not fit 32 bits.
struct DynamicMemberGrowthPlan {
    bool grow;
    bool fits;
    ULONG newRows;
    ULONG newBytes;
};
DynamicMemberGrowthPlan PlanDynamicMemberGrowth(ULONG count, ULONG rowSize);

// The empty trace hook of the UI host (narrow format, wide "%S" arguments).
void DebugTrace(const char* format, ...);

// The object that pages see as window.external: a hand-written IDispatchEx
// over a method table that the most derived class supplies, plus the expando
// members that page script assigns. Its calls arrive on the UI thread
// (single-threaded apartment); the reference count is interlocked, because
// work items of the script API hold references that worker threads release.
class MSHTMLExternal : public IDispatchEx {
public:
    MSHTMLExternal();

    MSHTMLExternal(const MSHTMLExternal&) = delete;
    MSHTMLExternal& operator=(const MSHTMLExternal&) = delete;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IDispatch
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT nameCount,
                                            LCID locale, DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID locale, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                     UINT* argumentError) override;

    // IDispatchEx
    HRESULT STDMETHODCALLTYPE GetDispID(BSTR name, DWORD flags, DISPID* id) override;
    HRESULT STDMETHODCALLTYPE InvokeEx(DISPID id, LCID locale, WORD flags, DISPPARAMS* params,
                                       VARIANT* result, EXCEPINFO* exception,
                                       IServiceProvider* caller) override;
    HRESULT STDMETHODCALLTYPE DeleteMemberByName(BSTR name, DWORD flags) override;
    HRESULT STDMETHODCALLTYPE DeleteMemberByDispID(DISPID id) override;
    HRESULT STDMETHODCALLTYPE GetMemberProperties(DISPID id, DWORD fetch,
                                                  DWORD* properties) override;
    HRESULT STDMETHODCALLTYPE GetMemberName(DISPID id, BSTR* name) override;
    HRESULT STDMETHODCALLTYPE GetNextDispID(DWORD flags, DISPID id, DISPID* next) override;
    HRESULT STDMETHODCALLTYPE GetNameSpaceParent(IUnknown** parent) override;

    // Operations through which the host window and the browser site drive the
    // object; derived classes override them.
    virtual ~MSHTMLExternal();
    virtual void SetHostWindow(HWND window);
    // A page in the site finished loading (ready state complete).
    virtual void OnDocumentComplete(MSHTMLClient* site) = 0;
    // The window was taken somewhere other than the program's own pages; the
    // site has stopped that and asks for `url` to be opened outside the
    // program. By default it is not opened at all.
    virtual void OpenOutside(const wchar_t* url);
    // The most derived class's constant method table; returns its row count.
    virtual unsigned GetMethodTable(const MethodEntry** rows) = 0;

    // Calls a page function (an IDispatch valid on the calling thread) with
    // one integer argument and logs the call and its result to `log` (which
    // may be NULL). Returns the callee's result, which callers may ignore.
    static HRESULT callJscallback(LogFile* log, IDispatch* callback, int value);

protected:
    LONG refCount;
    DynamicMember* dynamicMembers;
    ULONG dynamicMemberCount;
    HWND hostWindow;

private:
    // Appends a member with an empty value; false (nothing added) when out of memory.
    bool AppendDynamicMember(const wchar_t* name, DISPID* id);
};

} // namespace htmlui
