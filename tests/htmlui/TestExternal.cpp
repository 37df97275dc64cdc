#include "tests/htmlui/TestExternal.h"

#include <algorithm>
#include <mutex>

namespace htmltest {

namespace {

// The handler convention: exact flags, then count (no named arguments), then
// each argument's exact type; `types` in script order.
HRESULT CheckCall(WORD flags, const DISPPARAMS* params, WORD expectedFlags,
                  std::initializer_list<VARTYPE> types) {
    if (flags != expectedFlags) {
        return DISP_E_MEMBERNOTFOUND;
    }
    if (params->cArgs != types.size() || params->cNamedArgs != 0) {
        return DISP_E_BADPARAMCOUNT;
    }
    UINT index = params->cArgs;
    for (VARTYPE type : types) {
        --index; // rgvarg holds the arguments in reverse order
        if (params->rgvarg[index].vt != type) {
            return DISP_E_TYPEMISMATCH;
        }
    }
    return S_OK;
}

struct WorkItem {
    TestExternal* owner;
    IStream* stream;
    long value;
};

DWORD WINAPI RunLaterThread(void* parameter) {
    WorkItem* item = static_cast<WorkItem*>(parameter);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IDispatch* callback = nullptr;
    HRESULT hr = CoGetInterfaceAndReleaseStream(item->stream, IID_IDispatch,
                                                reinterpret_cast<void**>(&callback));
    if (SUCCEEDED(hr)) {
        hr = htmlui::MSHTMLExternal::callJscallback(item->owner->log, callback,
                                                    static_cast<int>(item->value));
        callback->Release();
    }
    {
        std::lock_guard<std::mutex> hold(item->owner->resultsLock);
        item->owner->callbackResults.push_back(hr);
    }
    delete item;
    CoUninitialize();
    return 0;
}

} // namespace

LONG TestExternal::liveObjects = 0;

const htmlui::MethodEntry TestExternal::methods[] = {
    {L"add", static_cast<htmlui::MethodHandler>(&TestExternal::Add)},
    {L"record", static_cast<htmlui::MethodHandler>(&TestExternal::Record)},
    {L"download", static_cast<htmlui::MethodHandler>(&TestExternal::Download)},
    {L"echo", static_cast<htmlui::MethodHandler>(&TestExternal::Echo)},
    {L"runLater", static_cast<htmlui::MethodHandler>(&TestExternal::RunLater)},
    {L"recordText", static_cast<htmlui::MethodHandler>(&TestExternal::RecordText)},
};

TestExternal::TestExternal(LogFile* log_) : log(log_), onComplete(nullptr) {
    ++liveObjects;
}

TestExternal::~TestExternal() {
    for (HANDLE worker : workers) {
        CloseHandle(worker);
    }
    --liveObjects;
}

void TestExternal::SetHostWindow(HWND window) {
    hostWindows.push_back(window);
    MSHTMLExternal::SetHostWindow(window);
}

void TestExternal::OpenOutside(const wchar_t* url) {
    openedOutside.push_back(url ? url : L"(null)");
}

void TestExternal::OnDocumentComplete(htmlui::MSHTMLClient* site) {
    completedSites.push_back(site);
    if (onComplete) {
        onComplete(this);
    }
}

unsigned TestExternal::GetMethodTable(const htmlui::MethodEntry** rows) {
    *rows = methods;
    return sizeof methods / sizeof methods[0];
}

bool TestExternal::JoinWorkers(DWORD timeoutMs) {
    return PumpUntil(
        [this] {
            return std::all_of(workers.begin(), workers.end(), [](HANDLE worker) {
                return WaitForSingleObject(worker, 0) == WAIT_OBJECT_0;
            });
        },
        timeoutMs);
}

HRESULT TestExternal::Add(WORD flags, DISPPARAMS* params, VARIANT* result) {
    HRESULT hr = CheckCall(flags, params, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {VT_I4, VT_I4});
    if (FAILED(hr)) {
        return hr;
    }
    if (result) {
        VariantInit(result);
        result->vt = VT_I4;
        result->lVal = params->rgvarg[1].lVal + params->rgvarg[0].lVal;
    }
    return S_OK;
}

HRESULT TestExternal::Record(WORD flags, DISPPARAMS* params, VARIANT*) {
    HRESULT hr = CheckCall(flags, params, DISPATCH_METHOD, {VT_I4});
    if (FAILED(hr)) {
        return hr;
    }
    recorded.push_back(params->rgvarg[0].lVal);
    return S_OK;
}

HRESULT TestExternal::Download(WORD flags, DISPPARAMS* params, VARIANT*) {
    HRESULT hr = CheckCall(flags, params, DISPATCH_METHOD, {VT_BSTR});
    if (FAILED(hr)) {
        return hr;
    }
    texts.push_back(params->rgvarg[0].bstrVal ? params->rgvarg[0].bstrVal : L"");
    return S_OK;
}

HRESULT TestExternal::Echo(WORD flags, DISPPARAMS* params, VARIANT* result) {
    HRESULT hr = CheckCall(flags, params, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {VT_BSTR});
    if (FAILED(hr)) {
        return hr;
    }
    if (result) {
        VariantInit(result);
        result->vt = VT_BSTR;
        result->bstrVal = SysAllocString(params->rgvarg[0].bstrVal);
    }
    return S_OK;
}

HRESULT TestExternal::RunLater(WORD flags, DISPPARAMS* params, VARIANT*) {
    HRESULT hr = CheckCall(flags, params, DISPATCH_METHOD, {VT_DISPATCH, VT_I4});
    if (FAILED(hr)) {
        return hr;
    }
    WorkItem* item = new WorkItem{this, nullptr, params->rgvarg[0].lVal};
    hr = CoMarshalInterThreadInterfaceInStream(IID_IDispatch, params->rgvarg[1].pdispVal,
                                               &item->stream);
    if (FAILED(hr)) {
        delete item;
        return hr;
    }
    // The tests join every worker before they release this object.
    HANDLE worker = CreateThread(nullptr, 0, RunLaterThread, item, 0, nullptr);
    if (!worker) {
        hr = HRESULT_FROM_WIN32(GetLastError());
        CoReleaseMarshalData(item->stream);
        item->stream->Release();
        delete item;
        return hr;
    }
    workers.push_back(worker);
    return S_OK;
}

HRESULT TestExternal::RecordText(WORD flags, DISPPARAMS* params, VARIANT*) {
    HRESULT hr = CheckCall(flags, params, DISPATCH_METHOD, {VT_BSTR});
    if (FAILED(hr)) {
        return hr;
    }
    texts.push_back(params->rgvarg[0].bstrVal ? params->rgvarg[0].bstrVal : L"");
    return S_OK;
}

} // namespace htmltest
