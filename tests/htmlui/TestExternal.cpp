#include "tests/htmlui/TestExternal.h"

#include <algorithm>
#include <mutex>

namespace htmltest {

namespace {

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
    {L"add",
     DISPATCH_METHOD | DISPATCH_PROPERTYGET,
     {VT_I4, VT_I4},
     static_cast<htmlui::MethodHandler>(&TestExternal::Add)},
    {L"record",
     DISPATCH_METHOD,
     {VT_I4},
     static_cast<htmlui::MethodHandler>(&TestExternal::Record)},
    {L"download",
     DISPATCH_METHOD,
     {VT_BSTR},
     static_cast<htmlui::MethodHandler>(&TestExternal::Download)},
    {L"echo",
     DISPATCH_METHOD | DISPATCH_PROPERTYGET,
     {VT_BSTR},
     static_cast<htmlui::MethodHandler>(&TestExternal::Echo)},
    {L"runLater",
     DISPATCH_METHOD,
     {VT_DISPATCH, VT_I4},
     static_cast<htmlui::MethodHandler>(&TestExternal::RunLater)},
    {L"recordText",
     DISPATCH_METHOD,
     {VT_BSTR},
     static_cast<htmlui::MethodHandler>(&TestExternal::RecordText)},
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

HRESULT TestExternal::Add(DISPPARAMS* params, VARIANT* result) {
    if (result) {
        VariantInit(result);
        result->vt = VT_I4;
        result->lVal = params->rgvarg[1].lVal + params->rgvarg[0].lVal;
    }
    return S_OK;
}

HRESULT TestExternal::Record(DISPPARAMS* params, VARIANT*) {
    recorded.push_back(params->rgvarg[0].lVal);
    return S_OK;
}

HRESULT TestExternal::Download(DISPPARAMS* params, VARIANT*) {
    texts.push_back(params->rgvarg[0].bstrVal ? params->rgvarg[0].bstrVal : L"");
    return S_OK;
}

HRESULT TestExternal::Echo(DISPPARAMS* params, VARIANT* result) {
    if (result) {
        VariantInit(result);
        result->vt = VT_BSTR;
        result->bstrVal = SysAllocString(params->rgvarg[0].bstrVal);
    }
    return S_OK;
}

HRESULT TestExternal::RunLater(DISPPARAMS* params, VARIANT*) {
    WorkItem* item = new WorkItem{this, nullptr, params->rgvarg[0].lVal};
    HRESULT hr = CoMarshalInterThreadInterfaceInStream(IID_IDispatch, params->rgvarg[1].pdispVal,
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

HRESULT TestExternal::RecordText(DISPPARAMS* params, VARIANT*) {
    texts.push_back(params->rgvarg[0].bstrVal ? params->rgvarg[0].bstrVal : L"");
    return S_OK;
}

} // namespace htmltest
