#include "tests/app/WindowProbe.h"

#include "app/RunSequence.h"
#include "base/OleValues.h"
#include "htmlui/HostWindow.h"
#include "tests/htmlui/FakeDocument.h"

#include <windows.h>

#include <objbase.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::wstring reportPath;

void Report(const std::string& line) {
    FILE* file = _wfopen(reportPath.c_str(), L"ab");
    if (file) {
        fprintf(file, "%s\n", line.c_str());
        fclose(file);
    }
}

// Set once the page has been called back.
bool calledBack = false;

// The page's callback function: reports the calls it gets.
class PageCallback : public IDispatch {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (iid == IID_IUnknown || iid == IID_IDispatch) {
            *object = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override { return InterlockedDecrement(&refs_); }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                     EXCEPINFO*, UINT*) override {
        const int value = params && params->cArgs == 1 && params->rgvarg[0].vt == VT_I4
                              ? static_cast<int>(params->rgvarg[0].lVal)
                              : -1;
        Report("callback " + std::to_string(value));
        calledBack = true;
        return S_OK;
    }

private:
    LONG refs_ = 1;
};

PageCallback pageCallback;

HRESULT CallScript(IDispatch* external, const wchar_t* name, VARIANT* arguments, UINT count,
                   VARIANT* result) {
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = external->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) {
        return hr;
    }
    DISPPARAMS params = {arguments, nullptr, count, 0};
    return external->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result,
                            nullptr, nullptr);
}

// The page's steps, one per timer tick once the window is up; "download:URL"
// keeps its tick until bytes have arrived. After the last step the window is
// closed.
std::vector<std::wstring> steps;
size_t nextStep = 0;
bool downloading = false;
bool closed = false;
ULONGLONG downloadDeadline = 0;

VARIANT TextArgument(const Bstr& text) {
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    value.bstrVal = text.Get();
    return value;
}

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

// True once the step is done.
bool PlayStep(IDispatch* external, const std::wstring& step) {
    const size_t colon = step.find(L':');
    const std::wstring verb = step.substr(0, colon);
    const std::wstring argument = colon == std::wstring::npos ? L"" : step.substr(colon + 1);
    if (verb == L"status") {
        VARIANT status;
        VariantInit(&status);
        status.vt = VT_I4;
        status.lVal = _wtoi(argument.c_str());
        Report("setInstallStatus " +
               std::to_string(CallScript(external, L"setInstallStatus", &status, 1, nullptr)));
        return true;
    }
    if (verb == L"download" && !downloading) {
        // rgvarg holds the arguments last first.
        const Bstr url(argument.c_str());
        VARIANT arguments[2];
        VariantInit(&arguments[0]);
        arguments[0].vt = VT_DISPATCH;
        arguments[0].pdispVal = &pageCallback;
        arguments[1] = TextArgument(url);
        Report("download " +
               std::to_string(CallScript(external, L"download", arguments, 2, nullptr)));
        downloading = true;
        downloadDeadline = GetTickCount64() + 60000;
        return false;
    }
    if (verb == L"download") {
        const Bstr name(L"downloadCurrent");
        VARIANT nameArgument = TextArgument(name);
        Variant current;
        CallScript(external, L"getProperty", &nameArgument, 1, current.Receive());
        const VARIANT* value = current.Get();
        const std::wstring bytes = value->vt == VT_BSTR && value->bstrVal ? value->bstrVal : L"0";
        if (bytes == L"0" && !calledBack && GetTickCount64() < downloadDeadline) {
            return false;
        }
        Report("downloaded " + Narrow(bytes) + " bytes");
        downloading = false;
        return true;
    }
    Report("unknown step " + Narrow(step));
    return true;
}

void CALLBACK PlayPage(HWND, UINT, UINT_PTR timer, DWORD) {
    HWND window = FindWindowW(htmlui::HostWindowClassName, nullptr);
    htmlui::HostWindowData* data = window ? htmlui::GetHostWindowData(window) : nullptr;
    if (!data || !data->external || closed) {
        return;
    }
    if (nextStep < steps.size()) {
        if (PlayStep(data->external, steps[nextStep])) {
            ++nextStep;
        }
        return;
    }
    Report("closing");
    closed = true;
    KillTimer(nullptr, timer);
    PostMessageW(window, WM_CLOSE, 0, 0);
}

ServiceEndpoint SinkEndpoint() {
    wchar_t port[16] = {};
    GetEnvironmentVariableW(L"BC_SINK_PORT", port, 16);
    return ServiceEndpoint{L"127.0.0.1", static_cast<unsigned short>(_wtoi(port)), 10000, 30000};
}

} // namespace

int RunProgramWithDocumentDouble(const std::wstring& script, const std::wstring& reportFile) {
    reportPath = reportFile;
    for (size_t start = 0; start <= script.size();) {
        size_t end = script.find(L';', start);
        if (end == std::wstring::npos) {
            end = script.size();
        }
        if (end > start) {
            steps.push_back(script.substr(start, end - start));
        }
        start = end + 1;
    }
    if (FAILED(CoInitialize(nullptr))) {
        return 2;
    }
    htmltest::FakeDocumentFactory documents;
    if (FAILED(documents.Register())) {
        CoUninitialize();
        return 2;
    }
    const UINT_PTR timer = SetTimer(nullptr, 0, 50, PlayPage);

    ProgramSettings settings = DefaultProgramSettings();
    settings.service = SinkEndpoint();
    settings.licenseServerUrl = L"http://127.0.0.1:" + std::to_wstring(settings.service.port);
    const int code = RunProgram(settings);
    Report("program returned " + std::to_string(code));

    KillTimer(nullptr, timer);
    documents.Revoke();
    documents.ReleaseDocuments();
    CoUninitialize();
    return code;
}
