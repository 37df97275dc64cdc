// pageflow PROGRAM.exe [--busy retry|cancel] [--time-limit SECONDS]
//          [--cancel-at STEP:PERCENT]
//
// Runs the installing flow of the pages packed into PROGRAM.exe headless: the
// payload is unpacked with the program's own reader, the run's log, context,
// report sender and product controller are the real ones, and the pages' own
// flow script (js\flow.js) runs as the program's quiet run runs it
// (app/FlowRun.h), its progress printed on stderr. The busy-installer
// question is answered "retry" as in the quiet run, or "cancel" at once
// (--busy cancel). --cancel-at cancels as a person does with the installing
// page's Cancel, at the first progress of STEP (download, extract, install)
// at or above PERCENT; the workers are then stopped and the unzip folder
// removed as the program does when its window closes. The last stdout line is "flow status N", the
// status the flow reported; the exit code is 0 only for status 1 (completed).

#include "app/FlowRun.h"
#include "app/QuietRun.h"
#include "base/InstallerContext.h"
#include "base/LanguageTable.h"
#include "base/LogFile.h"
#include "base/TempFolders.h"
#include "base/UniqueHandle.h"
#include "base/Utf8.h"
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

int Usage() {
    PrintError(L"usage: pageflow PROGRAM.exe [--busy retry|cancel] [--time-limit SECONDS] "
               L"[--cancel-at STEP:PERCENT]");
    return 2;
}

struct Options {
    std::wstring program;
    bool retryBusy = true;
    DWORD timeLimitSeconds = kDefaultTimeLimitSeconds;
    std::wstring cancelPhase;
    int cancelPercent = 0;
};

bool ParseOptions(int argc, wchar_t** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--busy" && i + 1 < argc) {
            const std::wstring value = argv[++i];
            if (value != L"retry" && value != L"cancel") {
                return false;
            }
            options.retryBusy = value == L"retry";
        } else if (arg == L"--time-limit" && i + 1 < argc) {
            const long seconds = std::wcstol(argv[++i], nullptr, 10);
            if (seconds <= 0) {
                return false;
            }
            options.timeLimitSeconds = static_cast<DWORD>(seconds);
        } else if (arg == L"--cancel-at" && i + 1 < argc) {
            const std::wstring value = argv[++i];
            const size_t colon = value.find(L':');
            if (colon == std::wstring::npos) {
                return false;
            }
            options.cancelPhase = value.substr(0, colon);
            wchar_t* end = nullptr;
            const long percent = std::wcstol(value.c_str() + colon + 1, &end, 10);
            if (options.cancelPhase != L"download" && options.cancelPhase != L"extract" &&
                options.cancelPhase != L"install") {
                return false;
            }
            if (end == value.c_str() + colon + 1 || *end != L'\0' || percent < 0 || percent > 100) {
                return false;
            }
            options.cancelPercent = static_cast<int>(percent);
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
    int lastMilestone = -1;
    FlowRunOptions flowOptions = {options.retryBusy ? kQuietBusyRetries : 0, kQuietBusyPauseMs,
                                  options.timeLimitSeconds * 1000, false};
    flowOptions.cancelPhase = options.cancelPhase;
    flowOptions.cancelPercent = options.cancelPercent;
    const FlowRunResult flow = RunInstallFlow(
        archive.temporaryFolder, controller, flowOptions,
        [](const std::wstring& line) { PrintError(L"%s", line.c_str()); },
        [&]() {
            const int milestone = steps->MilestoneIndex();
            if (milestone != lastMilestone && milestone >= 0) {
                PrintError(L"install milestone: product %d of %d installed (%s)", milestone + 1,
                           tlw::kMilestoneCount, tlw::kMilestoneProducts[milestone]);
            }
            lastMilestone = milestone;
        });
    if (!flow.scriptError.empty()) {
        PrintError(L"pageflow: %s", flow.scriptError.c_str());
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
    PrintOut(L"flow outcome " + (flow.outcome.empty() ? L"none" : flow.outcome) +
             L", failure stage " + std::to_wstring(context.failureStage) + L", code " +
             std::to_wstring(context.failureCode));
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
    const int status = RunFlow(options);
    CoUninitialize();
    PrintOut(L"flow status " + std::to_wstring(status));
    return status == InstallStatusCompleted ? 0 : 1;
}
