#include "tests/app/WindowProbe.h"

#include "app/RunSequence.h"
#include "base/OleValues.h"
#include "htmlui/HostWindow.h"
#include "tests/htmlui/FakeDocument.h"
#include "tests/htmlui/OwnHostWindow.h"

#include <windows.h>

#include <objbase.h>
#include <wininet.h>

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

// The page's steps, one per timer tick once the window is up; "waitfor:"
// keeps its tick until it is done. After the last step the window is closed.
std::vector<std::wstring> steps;
size_t nextStep = 0;
bool closed = false;

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

// The body at `url`; empty when it cannot be had.
std::string Fetch(const std::wstring& url) {
    std::string body;
    HINTERNET session = InternetOpenW(L"app probe", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    if (!session) {
        return body;
    }
    HINTERNET request = InternetOpenUrlW(session, url.c_str(), nullptr, 0,
                                         INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0);
    if (request) {
        char buffer[4096];
        DWORD read = 0;
        while (InternetReadFile(request, buffer, sizeof buffer, &read) && read > 0) {
            body.append(buffer, read);
        }
        InternetCloseHandle(request);
    }
    InternetCloseHandle(session);
    return body;
}

ULONGLONG waitDeadline = 0;

DWORD WINAPI FaultingWorker(void*) {
    volatile int* nowhere = nullptr;
    *nowhere = 1;
    return 0;
}

// True once the step is done.
bool PlayStep(HWND window, IDispatch* external, const std::wstring& step) {
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
    if (verb == L"download") {
        // rgvarg holds the arguments last first.
        const Bstr url(argument.c_str());
        VARIANT arguments[2];
        VariantInit(&arguments[0]);
        arguments[0].vt = VT_DISPATCH;
        arguments[0].pdispVal = &pageCallback;
        arguments[1] = TextArgument(url);
        Report("download " +
               std::to_string(CallScript(external, L"download", arguments, 2, nullptr)));
        return true;
    }
    if (verb == L"waitfor") {
        // "waitfor:URL TEXT": done once the answer at URL holds TEXT.
        const size_t blank = argument.find(L' ');
        const std::wstring url = argument.substr(0, blank);
        const std::string text =
            blank == std::wstring::npos ? "" : Narrow(argument.substr(blank + 1));
        if (Fetch(url).find(text) == std::string::npos && GetTickCount64() < waitDeadline) {
            return false;
        }
        Report("waited for " + text);
        return true;
    }
    if (verb == L"query") {
        // What the system asks first when the user logs off.
        const LRESULT answer = SendMessageW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF);
        const htmlui::HostWindowData* data = htmlui::GetHostWindowData(window);
        Report("query answered " + std::to_string(answer));
        // Asked for: this Wine's user32 refuses every block reason, so
        // whether the system took it shows only on Windows.
        Report(std::string("block reason asked ") + (data && data->blockReasonAsked ? "1" : "0"));
        return true;
    }
    if (verb == L"endsession") {
        // Then it tells the session ends, and ends the process soon after.
        Report("ending session");
        SendMessageW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
        Report("the session's end returned");
        return true;
    }
    if (verb == L"fault") {
        Report("faulting");
        HANDLE thread = CreateThread(nullptr, 0, FaultingWorker, nullptr, 0, nullptr);
        if (thread) {
            // The fault ends the process once both reports are sent (each can
            // take half a minute on a loaded machine); getting past this wait
            // means it did not.
            WaitForSingleObject(thread, 150000);
            CloseHandle(thread);
        }
        Report("still running after the fault");
        return true;
    }
    Report("unknown step " + Narrow(step));
    return true;
}

void CALLBACK PlayPage(HWND, UINT, UINT_PTR timer, DWORD) {
    HWND window = testutil::FindOwnHostWindow();
    htmlui::HostWindowData* data = window ? htmlui::GetHostWindowData(window) : nullptr;
    if (!data || !data->external || closed) {
        return;
    }
    // A step that lets messages in (the end of the session waits for the
    // workers) must not see the next tick play it again.
    static bool playing = false;
    if (playing) {
        return;
    }
    if (nextStep < steps.size()) {
        if (waitDeadline == 0) {
            waitDeadline = GetTickCount64() + 60000;
        }
        playing = true;
        const bool done = PlayStep(window, data->external, steps[nextStep]);
        playing = false;
        if (done) {
            ++nextStep;
            waitDeadline = 0;
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

int RunProgramWithDocumentDouble(const std::wstring& script, const std::wstring& reportFile,
                                 DWORD stopTimeoutMs) {
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
    if (stopTimeoutMs != 0) {
        settings.workerStopTimeoutMs = stopTimeoutMs;
    }
    const int code = RunProgram(settings);
    Report("program returned " + std::to_string(code));

    KillTimer(nullptr, timer);
    documents.Revoke();
    documents.ReleaseDocuments();
    CoUninitialize();
    return code;
}
