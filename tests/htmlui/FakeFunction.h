#pragma once

#include <windows.h>

#include <dispex.h>

#include <vector>

namespace htmltest {

// Stands in for a page function object: records how it was called. It
// answers IDispatchEx only when `withDispatchEx` is set.
class FakeFunction : public IDispatchEx {
public:
    explicit FakeFunction(bool withDispatchEx) : dispatchEx(withDispatchEx) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (iid == IID_IUnknown || iid == IID_IDispatch ||
            (dispatchEx && iid == __uuidof(IDispatchEx))) {
            *object = static_cast<IDispatchEx*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID locale, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                     UINT* argumentError) override {
        Call call = {};
        call.viaInvokeEx = false;
        call.id = id;
        call.iidIsNull = iid == IID_NULL;
        call.locale = locale;
        call.flags = flags;
        call.params = params;
        call.result = result;
        call.exception = exception;
        call.argumentError = argumentError;
        Remember(call, params);
        return Answer(result);
    }

    HRESULT STDMETHODCALLTYPE GetDispID(BSTR, DWORD, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE InvokeEx(DISPID id, LCID locale, WORD flags, DISPPARAMS* params,
                                       VARIANT* result, EXCEPINFO* exception,
                                       IServiceProvider* caller) override {
        Call call = {};
        call.viaInvokeEx = true;
        call.id = id;
        call.iidIsNull = true;
        call.locale = locale;
        call.flags = flags;
        call.params = params;
        call.result = result;
        call.exception = exception;
        call.caller = caller;
        Remember(call, params);
        return Answer(result);
    }
    HRESULT STDMETHODCALLTYPE DeleteMemberByName(BSTR, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DeleteMemberByDispID(DISPID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMemberProperties(DISPID, DWORD, DWORD*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetMemberName(DISPID, BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetNextDispID(DWORD, DISPID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetNameSpaceParent(IUnknown**) override { return E_NOTIMPL; }

    struct Call {
        bool viaInvokeEx;
        DISPID id;
        bool iidIsNull;
        LCID locale;
        WORD flags;
        DISPPARAMS* params;
        VARIANT* result;
        EXCEPINFO* exception;
        UINT* argumentError;
        IServiceProvider* caller;
        std::vector<long> intArguments; // VT_I4 arguments in rgvarg order
        std::vector<VARTYPE> types;     // rgvarg types
        UINT namedCount;
    };

    bool dispatchEx;
    LONG refs = 0;
    std::vector<Call> calls;
    HRESULT answer = S_OK;
    long resultValue = 0; // written as VT_I4 when a result slot is given

private:
    void Remember(Call& call, DISPPARAMS* params) {
        if (params) {
            call.namedCount = params->cNamedArgs;
            for (UINT i = 0; i < params->cArgs; ++i) {
                call.types.push_back(params->rgvarg[i].vt);
                call.intArguments.push_back(params->rgvarg[i].vt == VT_I4 ? params->rgvarg[i].lVal
                                                                          : 0);
            }
        }
        calls.push_back(call);
    }
    HRESULT Answer(VARIANT* result) {
        if (result && SUCCEEDED(answer)) {
            VariantInit(result);
            result->vt = VT_I4;
            result->lVal = resultValue;
        }
        return answer;
    }
};

} // namespace htmltest
