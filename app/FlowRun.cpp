#include "app/FlowRun.h"

#include "app/FlowViewScript.h"
#include "base/UniqueHandle.h"
#include "base/Utf8.h"
#include "htmlui/MSHTMLExternal.h"
#include "htmlui/ScriptHost.h"

#include <cstring>

namespace {

// How often the loop runs the view's timers.
const DWORD kTickMs = 100;
// Page scripts larger than this are not the pages' own.
const LONGLONG kMaxPageScriptBytes = 16 * 1024 * 1024;

// The native side of the view: "print"(text) hands a line to the printer,
// "finished"(outcome) records how the flow ended, "busyBoundReached"() that
// the retries were used up.
class FlowHost : public htmlui::MSHTMLExternal {
public:
    explicit FlowHost(const FlowPrinter& print) : print_(print) {}

    unsigned GetMethodTable(const htmlui::MethodEntry** rows) override {
        static const htmlui::MethodEntry table[] = {
            {L"print", DISPATCH_METHOD, {VT_BSTR}, Bind(&FlowHost::PrintMethod)},
            {L"finished", DISPATCH_METHOD, {VT_BSTR}, Bind(&FlowHost::FinishedMethod)},
            {L"busyBoundReached", DISPATCH_METHOD, {}, Bind(&FlowHost::BusyBoundMethod)},
        };
        *rows = table;
        return 3;
    }
    void OnDocumentComplete(htmlui::MSHTMLClient*) override {}

    std::wstring outcome;
    bool busyBoundReached = false;

private:
    template <class Handler>
    static htmlui::MethodHandler Bind(Handler handler) {
        return static_cast<htmlui::MethodHandler>(handler);
    }
    HRESULT PrintMethod(DISPPARAMS* params, VARIANT*) {
        if (print_) {
            print_(htmlui::ScriptText(params, 0));
        }
        return S_OK;
    }
    HRESULT FinishedMethod(DISPPARAMS* params, VARIANT*) {
        outcome = htmlui::ScriptText(params, 0);
        return S_OK;
    }
    HRESULT BusyBoundMethod(DISPPARAMS*, VARIANT*) {
        busyBoundReached = true;
        return S_OK;
    }

    FlowPrinter print_;
};

// A page script as text; false when it cannot be read whole.
bool ReadPageScript(const std::wstring& path, std::wstring& text) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !GetFileSizeEx(file.Get(), &size) || size.QuadPart > kMaxPageScriptBytes) {
        return false;
    }
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    if (!bytes.empty() &&
        (!ReadFile(file.Get(), &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr) ||
         got != bytes.size())) {
        return false;
    }
    text = FromUtf8(bytes.data(), bytes.size());
    return true;
}

void PumpMessages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

std::wstring ReadTextVariable(htmlui::ScriptHost& host, const wchar_t* expression) {
    VARIANT value;
    VariantInit(&value);
    std::wstring text;
    if (SUCCEEDED(host.Evaluate(expression, &value)) && value.vt == VT_BSTR && value.bstrVal) {
        text = value.bstrVal;
    }
    VariantClear(&value);
    return text;
}

// Only a step's name goes into the settings script.
bool IsStepName(const std::wstring& name) {
    return name == L"download" || name == L"extract" || name == L"install";
}

} // namespace

FlowRunResult RunInstallFlow(const std::wstring& pagesFolder,
                             downloadmanagercore::ScriptObject* script,
                             const FlowRunOptions& options, const FlowPrinter& print,
                             const std::function<void()>& onTick) {
    FlowRunResult result;
    FlowHost* flowHost = new FlowHost(print);
    {
        htmlui::ScriptHost host({{L"external", script}, {L"host", flowHost}});
        bool ready = host.Ready();
        if (!ready) {
            result.scriptError = L"the script engine: " + host.lastError;
        }
        // The scripts the installing page loads before its own, then the view.
        const wchar_t* const pageScripts[] = {L"js\\installparams.js", L"js\\stubparams.js",
                                              L"js\\flow.js"};
        for (const wchar_t* name : pageScripts) {
            std::wstring text;
            if (ready && !ReadPageScript(pagesFolder + name, text)) {
                result.scriptError = std::wstring(name) + L": cannot be read";
                ready = false;
            } else if (ready && FAILED(host.Run(text))) {
                result.scriptError = std::wstring(name) + L": " + host.lastError;
                ready = false;
            }
        }
        std::wstring settings = L"flowViewBusyRetries = " + std::to_wstring(options.busyRetries) +
                                L"; flowViewBusyPauseMs = " + std::to_wstring(options.busyPauseMs) +
                                L";";
        if (IsStepName(options.cancelPhase)) {
            settings += L" flowViewCancelPhase = \"" + options.cancelPhase +
                        L"\"; flowViewCancelPercent = " + std::to_wstring(options.cancelPercent) +
                        L";";
        }
        if (ready && (FAILED(host.Run(FromUtf8(kFlowViewScript, std::strlen(kFlowViewScript)))) ||
                      FAILED(host.Run(settings)))) {
            result.scriptError = L"the view: " + host.lastError;
            ready = false;
        }
        if (ready && options.checkFirst &&
            FAILED(host.Run(L"var flowViewProblem = flowViewCheck();"))) {
            result.scriptError = L"the start check: " + host.lastError;
            ready = false;
        }
        if (ready && options.checkFirst) {
            const std::wstring problem = ReadTextVariable(host, L"flowViewProblem");
            if (!problem.empty()) {
                flowHost->outcome = problem;
                ready = false;
            }
        }
        if (ready && FAILED(host.Call(L"flowViewStart"))) {
            result.scriptError = L"the flow did not start: " + host.lastError;
            ready = false;
        }
        const DWORD start = GetTickCount();
        while (ready && flowHost->outcome.empty()) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, kTickMs, QS_ALLINPUT);
            PumpMessages();
            if (FAILED(host.Call(L"flowViewTick")) && print) {
                print(L"flow: " + host.lastError);
            }
            if (onTick) {
                onTick();
            }
            if (GetTickCount() - start > options.timeLimitMs) {
                if (print) {
                    print(L"flow: not ended within " + std::to_wstring(options.timeLimitMs / 1000) +
                          L" s");
                }
                break;
            }
        }
        host.Close();
    }
    result.outcome = flowHost->outcome;
    result.busyBoundReached = flowHost->busyBoundReached;
    flowHost->Release();
    return result;
}
