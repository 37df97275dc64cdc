// pageflow PROGRAM.exe [--busy retry|cancel] [--time-limit SECONDS]
//
// Runs the installing flow of the pages packed into PROGRAM.exe headless: the
// payload is unpacked with the program's own reader, the run's log, context,
// report sender and product controller are the real ones, and the pages' own
// flow script (js\flow.js) runs in the platform's JScript engine with the
// controller as `external` and a console view (console.js) that prints the
// progress on stderr. Message boxes the flow raises are answered here: OK,
// and "retry" (or "cancel", --busy) for the busy-installer question, at most
// kMaxRetries times. The last stdout line is "flow status N", the status the
// flow reported; the exit code is 0 only for status 1 (completed).

#include "base/InstallerContext.h"
#include "base/LanguageTable.h"
#include "base/LogFile.h"
#include "base/TempFolders.h"
#include "base/UniqueHandle.h"
#include "base/Utf8.h"
#include "htmlui/MSHTMLExternal.h"
#include "htmlui/ScriptHost.h"
#include "payload/PayloadArchive.h"
#include "product/MsiProductInfo.h"
#include "product/ProductLogic.h"
#include "core/ScriptObject.h"
#include "product/SuiteSteps.h"
#include "telemetry/ReportSender.h"
#include "telemetry/RunFacts.h"

#include <windows.h>

#include <shlwapi.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

// Resource id of the console view script.
const int kConsoleViewResource = 1;
// The busy-installer question is answered with "retry" at most this often.
const int kMaxRetries = 3;
// How long the workers get to finish after the flow has ended.
const DWORD kWorkerDrainMs = 30000;
const DWORD kDefaultTimeLimitSeconds = 3600;

void PrintError(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    wchar_t text[2048];
    _vsnwprintf(text, 2047, format, args);
    text[2047] = L'\0';
    va_end(args);
    const std::string bytes = ToUtf8(text) + "\n";
    std::fwrite(bytes.data(), 1, bytes.size(), stderr);
    std::fflush(stderr);
}

void PrintOut(const std::wstring& line) {
    const std::string bytes = ToUtf8(line) + "\n";
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

// The suite's steps with the milestone the runner reports made visible.
class FlowSteps : public tlw::SuiteSteps {
public:
    int MilestoneIndex() const { return lastInstalledIndex; }
};

// The native side of the console view: "print"(text) writes a line on
// stderr, "finished"(outcome) records how the flow ended.
class ConsoleHost : public htmlui::MSHTMLExternal {
public:
    unsigned GetMethodTable(const htmlui::MethodEntry** rows) override {
        static const htmlui::MethodEntry table[] = {
            {L"print",
             DISPATCH_METHOD,
             {VT_BSTR},
             static_cast<htmlui::MethodHandler>(&ConsoleHost::PrintMethod)},
            {L"finished",
             DISPATCH_METHOD,
             {VT_BSTR},
             static_cast<htmlui::MethodHandler>(&ConsoleHost::FinishedMethod)},
        };
        *rows = table;
        return 2;
    }
    void OnDocumentComplete(htmlui::MSHTMLClient*) override {}

    std::wstring outcome;

private:
    HRESULT PrintMethod(DISPPARAMS* params, VARIANT*) {
        PrintError(L"%s", htmlui::ScriptText(params, 0));
        return S_OK;
    }
    HRESULT FinishedMethod(DISPPARAMS* params, VARIANT*) {
        outcome = htmlui::ScriptText(params, 0);
        return S_OK;
    }
};

// Answers the message boxes of this thread: the flow's messages with OK, the
// busy-installer question with retry (up to kMaxRetries) or cancel.
struct BoxAnswers {
    bool retry = true;
    int retries = 0;
};
BoxAnswers g_answers;
HHOOK g_hook = nullptr;

BOOL CALLBACK CollectText(HWND child, LPARAM param) {
    wchar_t className[32] = {};
    GetClassNameW(child, className, 32);
    if (_wcsicmp(className, L"Static") == 0) {
        wchar_t text[1024] = {};
        GetWindowTextW(child, text, 1024);
        std::wstring& longest = *reinterpret_cast<std::wstring*>(param);
        if (wcslen(text) > longest.size()) {
            longest = text;
        }
    }
    return TRUE;
}

LRESULT CALLBACK AnswerBoxes(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE) {
        HWND box = reinterpret_cast<HWND>(wParam);
        wchar_t className[16] = {};
        GetClassNameW(box, className, 16);
        if (wcscmp(className, L"#32770") == 0) {
            std::wstring text;
            EnumChildWindows(box, CollectText, reinterpret_cast<LPARAM>(&text));
            int answer = IDOK;
            if (GetDlgItem(box, IDRETRY)) {
                answer = g_answers.retry && g_answers.retries < kMaxRetries ? IDRETRY : IDCANCEL;
                if (answer == IDRETRY) {
                    ++g_answers.retries;
                }
            }
            PrintError(L"message box: %s -> %s", text.c_str(),
                       answer == IDRETRY    ? L"retry"
                       : answer == IDCANCEL ? L"cancel"
                                            : L"OK");
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED), 0);
        }
    }
    return CallNextHookEx(g_hook, code, wParam, lParam);
}

std::wstring ReadText(const std::wstring& path) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !GetFileSizeEx(file.Get(), &size) || size.QuadPart > 16 * 1024 * 1024) {
        return std::wstring();
    }
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    if (!bytes.empty() &&
        (!ReadFile(file.Get(), &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr) ||
         got != bytes.size())) {
        return std::wstring();
    }
    return FromUtf8(bytes.data(), bytes.size());
}

std::wstring ConsoleViewScript() {
    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(kConsoleViewResource), RT_RCDATA);
    HGLOBAL loaded = found ? LoadResource(nullptr, found) : nullptr;
    const char* bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    return bytes ? FromUtf8(bytes, SizeofResource(nullptr, found)) : std::wstring();
}

// Files below `folder` (which ends in a backslash), counted recursively; the
// folder's users file is the run's own, not an unzipped one.
int CountFiles(const std::wstring& folder) {
    int count = 0;
    WIN32_FIND_DATAW entry;
    FindHandle find(FindFirstFileW((folder + L"*").c_str(), &entry));
    if (!find) {
        return 0;
    }
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L".." || name == kFolderUsersFileName) {
            continue;
        }
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            count += CountFiles(folder + name + L"\\");
        } else {
            ++count;
        }
    } while (FindNextFileW(find.Get(), &entry));
    return count;
}

long long FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return -1;
    }
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void PumpMessages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

int Usage() {
    PrintError(L"usage: pageflow PROGRAM.exe [--busy retry|cancel] [--time-limit SECONDS]");
    return 2;
}

struct Options {
    std::wstring program;
    DWORD timeLimitSeconds = kDefaultTimeLimitSeconds;
};

bool ParseOptions(int argc, wchar_t** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--busy" && i + 1 < argc) {
            const std::wstring value = argv[++i];
            if (value != L"retry" && value != L"cancel") {
                return false;
            }
            g_answers.retry = value == L"retry";
        } else if (arg == L"--time-limit" && i + 1 < argc) {
            const long seconds = std::wcstol(argv[++i], nullptr, 10);
            if (seconds <= 0) {
                return false;
            }
            options.timeLimitSeconds = static_cast<DWORD>(seconds);
        } else if (options.program.empty() && arg.compare(0, 2, L"--") != 0) {
            options.program = arg;
        } else {
            return false;
        }
    }
    return !options.program.empty();
}

// Runs the flow to its end; returns the status the flow reported.
int RunFlow(const Options& options) {
    LogFile log;
    InstallerContext context(L"TLW", L"1.0.25.1");
    GatherRunFacts(context);
    ReportSender reportSender(context);

    wchar_t fullPath[MAX_PATH] = {};
    if (!GetFullPathNameW(options.program.c_str(), MAX_PATH, fullPath, nullptr)) {
        PrintError(L"pageflow: bad program path %s", options.program.c_str());
        return context.installStatus;
    }
    std::wstring temp;
    if (GetTempFolderPath(temp)) {
        for (const std::wstring& folder : RemoveAbandonedFolders(temp)) {
            PrintError(L"removed the folder of an earlier run: %s", folder.c_str());
        }
    }
    PayloadArchive archive(log, fullPath);
    if (!archive.isLoaded) {
        PrintError(L"pageflow: %s carries no pages that could be unpacked", fullPath);
        return context.installStatus;
    }
    const std::vector<std::wstring> pageLanguages = archive.ReadLanguageList();
    context.SetInstallLanguage(SelectInstallLanguage(pageLanguages, SupportedProductLanguages()));
    PrintError(L"pages of %s, install language %s", fullPath,
               GetLanguageCode(context.installLanguage).c_str());

    FlowSteps* steps = new FlowSteps();
    downloadmanagercore::ScriptObject* controller =
        new downloadmanagercore::ScriptObject(&context, &reportSender, &log, steps);
    ConsoleHost* console = new ConsoleHost();
    int lastMilestone = -1;
    {
        htmlui::ScriptHost script({{L"external", controller}, {L"host", console}});
        const wchar_t* const pageScripts[] = {L"js\\installparams.js", L"js\\stubparams.js",
                                              L"js\\flow.js"};
        bool ready = script.Ready();
        for (const wchar_t* name : pageScripts) {
            if (ready && FAILED(script.Run(ReadText(archive.temporaryFolder + name)))) {
                PrintError(L"pageflow: %s: %s", name, script.lastError.c_str());
                ready = false;
            }
        }
        if (ready &&
            (FAILED(script.Run(ConsoleViewScript())) || FAILED(script.Call(L"pageflowStart")))) {
            PrintError(L"pageflow: the console view did not start: %s", script.lastError.c_str());
            ready = false;
        }
        const DWORD start = GetTickCount();
        while (ready && console->outcome.empty()) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
            PumpMessages();
            if (FAILED(script.Call(L"pageflowTick"))) {
                PrintError(L"pageflow: %s", script.lastError.c_str());
            }
            const int milestone = steps->MilestoneIndex();
            if (milestone != lastMilestone && milestone >= 0) {
                PrintError(L"install milestone: product %d of %d installed (%s)", milestone + 1,
                           tlw::kMilestoneCount, tlw::kMilestoneProducts[milestone]);
            }
            lastMilestone = milestone;
            if (GetTickCount() - start > options.timeLimitSeconds * 1000) {
                PrintError(L"pageflow: the flow did not end within %lu s",
                           options.timeLimitSeconds);
                break;
            }
        }
    }
    // A worker that called the page back still logs and drops its reference;
    // wait for it before the log and context go away, then remove what the
    // run unzipped, as the program does when its window closes.
    if (!controller->StopWorkers(kWorkerDrainMs)) {
        PrintError(L"pageflow: workers still running %lu s after the flow ended",
                   kWorkerDrainMs / 1000);
    }
    const std::wstring unzipFolder = controller->downloadFolder();
    const int extracted = CountFiles(unzipFolder);
    controller->RemoveDownloadFolder();

    const std::wstring package = controller->record().PackagePath();
    if (!package.empty()) {
        PrintOut(L"package " + package + L": " + std::to_wstring(FileSize(package)) +
                 L" bytes, every block verified");
    }
    PrintOut(L"extracted files: " + std::to_wstring(extracted));
    for (int i = 0; i < tlw::kMilestoneCount; ++i) {
        wchar_t version[256] = {};
        DWORD length = 256;
        const bool installed = tlw::QueryProductInfo(tlw::kMilestoneProducts[i], L"VersionString",
                                                     version, &length) == 0;
        PrintOut(std::wstring(L"product ") + tlw::kMilestoneProducts[i] +
                 (installed ? L" installed, version " + std::wstring(version) : L" not installed"));
    }
    if (!context.productVersion.empty()) {
        PrintOut(L"product version: " + context.productVersion);
    }
    const std::wstring startProgram = controller->record().StartProgramPath();
    if (!startProgram.empty()) {
        PrintOut(L"start program: " + startProgram);
    }
    PrintOut(L"flow outcome " + (console->outcome.empty() ? L"none" : console->outcome) +
             L", failure stage " + std::to_wstring(context.failureStage) + L", code " +
             std::to_wstring(context.failureCode));
    console->Release();
    controller->Release();
    return context.installStatus;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        return Usage();
    }
    if (FAILED(CoInitialize(nullptr))) {
        PrintError(L"pageflow: COM did not start");
        return 1;
    }
    g_hook = SetWindowsHookExW(WH_CBT, AnswerBoxes, nullptr, GetCurrentThreadId());
    const int status = RunFlow(options);
    if (g_hook) {
        UnhookWindowsHookEx(g_hook);
    }
    CoUninitialize();
    PrintOut(L"flow status " + std::to_wstring(status));
    return status == InstallStatusCompleted ? 0 : 1;
}
