#include "app/QuietRun.h"

#include "app/CrashDump.h"
#include "app/DllSearch.h"
#include "app/FlowRun.h"
#include "app/Privileges.h"
#include "base/LanguageTable.h"
#include "base/PageCodes.h"
#include "base/TempFolders.h"
#include "base/UniqueHandle.h"
#include "base/Utf8.h"
#include "telemetry/RunFacts.h"

#include <objbase.h>

#include <vector>

namespace {

// Writes `text` (UTF-8) to `path`, replacing what was there; nothing when
// no path was given.
void WriteLogCopy(const std::wstring& path, const std::string& text) {
    if (path.empty()) {
        return;
    }
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file) {
        WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
}

// The run's log file, read whole once it is closed.
std::string ReadLog(const std::wstring& path) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    // The program writes a few hundred lines; a log past this bound is not
    // copied whole, and the copy says so.
    const LONGLONG kMaxLogBytes = 64 * 1024 * 1024;
    if (!file || !GetFileSizeEx(file.Get(), &size)) {
        return "(the run's log could not be read)\n";
    }
    const bool cut = size.QuadPart > kMaxLogBytes;
    std::string bytes(static_cast<size_t>(cut ? kMaxLogBytes : size.QuadPart), '\0');
    DWORD got = 0;
    if (!bytes.empty() &&
        !ReadFile(file.Get(), &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr)) {
        got = 0;
    }
    bytes.resize(got);
    if (cut) {
        bytes += "\n(the rest of the run's log was left out)\n";
    }
    return bytes;
}

// One log line in the program's format, for the ends that come before the
// run's log exists.
std::string EarlyLogLine(const wchar_t* text) {
    SYSTEMTIME now;
    GetSystemTime(&now);
    return FormatLogLine(now, LogLevelName(LogLevelError), ToUtf8(text));
}

// The failure stage's name for the log.
const wchar_t* FailureStageName(int stage) {
    switch (stage) {
    case FailureStageNone:
        return L"none";
    case FailureStageDownload:
        return L"download";
    case FailureStageInstall:
        return L"install";
    case FailureStageProgramNotFound:
        return L"installed program not found";
    case FailureStageUnzip:
        return L"unzip";
    case FailureStageSetupMissing:
        return L"setup missing from the package";
    case FailureStageSetupNotStarted:
        return L"setup not started";
    default:
        return L"unknown";
    }
}

} // namespace

int QuietExitCodeFor(const QuietRunFacts& facts) {
    if (!facts.pagesLoaded) {
        return QuietExitFailed;
    }
    if (facts.outcome == L"completed") {
        return facts.restartRequired == L"true" ? QuietExitRestartRequired : QuietExitInstalled;
    }
    if (facts.outcome == L"installed") {
        return QuietExitInstalled;
    }
    if (facts.outcome == L"canceled") {
        return facts.busyBoundReached ? QuietExitBusy : QuietExitCanceled;
    }
    return QuietExitFailed;
}

int RunQuietProgram(const ProgramSettings& settings, const CommandLine& line) {
    // First of all, as in the window run: nothing may be loaded from the
    // program's own folder.
    const bool dllSearchRestricted = RestrictDllSearch();
    // Nobody is there to answer the system's own error boxes (a drive that is
    // not ready, a file that cannot be opened): the call fails instead.
    SetErrorMode(SetErrorMode(0) | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    InstallCrashFilter(settings.service);

    KernelHandle instanceMutex(CreateMutexW(nullptr, FALSE, kInstanceMutexName));
    const DWORD mutexError = GetLastError();
    if (mutexError == ERROR_ALREADY_EXISTS) {
        WriteLogCopy(line.logPath, EarlyLogLine(L"Another copy of the program is running: exit "
                                                L"code 1618"));
        return QuietExitBusy;
    }
    if (!IsProcessElevated()) {
        WriteLogCopy(line.logPath,
                     EarlyLogLine(L"The program needs administrator rights: exit code 740"));
        return QuietExitNotElevated;
    }

    LogFile log;
    // A crash from here on sends the log with its dump.
    SetCrashReportLog(log.path);
    log.LogDebug(L"Quiet run%s; the licence is taken as accepted",
                 line.noRestart ? L" (/norestart)" : L"");
    if (!dllSearchRestricted) {
        log.LogError(L"the DLL search could not be restricted");
    }
    RemoveFoldersOfEarlierRuns(log);
    if (!instanceMutex) {
        log.LogError(L"CreateMutex %s failed: %u", kInstanceMutexName,
                     static_cast<unsigned>(mutexError));
    }
    InstallerContext context(kProductId, kManagerVersion);
    GatherRunFacts(context);
    ReportSender sender(context, settings.service);
    ScriptObject* script = CreateScriptObject(&context, &sender, &log);
    QuietRunFacts facts = {};
    bool workersStopped = true;
    {
        PayloadArchive archive(log);
        const std::vector<std::wstring> pageLanguages = archive.ReadLanguageList();
        context.SetInstallLanguage(
            SelectInstallLanguage(pageLanguages, SupportedProductLanguages()));

        SendAnalytics(context, true, sender.endpoint);
        facts.pagesLoaded = archive.isLoaded && script;
        if (facts.pagesLoaded) {
            const HRESULT com = CoInitialize(nullptr);
            const FlowRunOptions options = {kQuietBusyRetries, kQuietBusyPauseMs,
                                            kQuietFlowTimeLimitMs, true};
            const FlowRunResult flow = RunInstallFlow(
                archive.temporaryFolder, script, options,
                [&log](const std::wstring& text) { log.LogDebug(L"Flow: %s", text.c_str()); });
            if (!flow.scriptError.empty()) {
                log.LogError(L"The installing flow could not run: %s", flow.scriptError.c_str());
            }
            facts.outcome = flow.outcome;
            facts.busyBoundReached = flow.busyBoundReached;
            facts.restartRequired = script->record().GetProperty(L"restartRequired");
            workersStopped = StopScriptWorkers(script, settings.workerStopTimeoutMs);
            if (!workersStopped) {
                log.LogError(L"workers still running %u ms after the flow ended",
                             static_cast<unsigned>(settings.workerStopTimeoutMs));
            } else {
                script->RemoveDownloadFolder();
            }
            if (SUCCEEDED(com)) {
                CoUninitialize();
            }
        } else {
            log.LogError(L"The pages could not be unpacked");
            context.installStatus = InstallStatusError;
        }
        if (facts.outcome == L"installed") {
            log.LogDebug(L"The suite is already installed; nothing to do");
        } else if (facts.outcome == L"oldWindows") {
            log.LogError(L"This version of Windows is not supported");
        }
        // A flow that ended without its own status (a script that could not
        // run, the time limit) is an error for the reports too.
        if (facts.outcome.empty()) {
            context.installStatus = InstallStatusError;
        }

        const int exitCode = QuietExitCodeFor(facts);
        if (exitCode == QuietExitFailed) {
            log.LogError(L"Quiet run failed: failure stage %d (%s), code %d, flow outcome \"%s\"",
                         context.failureStage, FailureStageName(context.failureStage),
                         context.failureCode, facts.outcome.c_str());
        }
        log.LogDebug(L"Quiet run ends with exit code %d", exitCode);

        // Nothing of this run is in use any more: a new start may begin while
        // the reports go out (a stuck worker keeps the mutex to the end).
        if (workersStopped) {
            instanceMutex.Reset();
        }
        bool copied = false;
        SendRunEndReports(context, sender, log, [&]() {
            WriteLogCopy(line.logPath, ReadLog(log.path));
            copied = true;
        });
        if (!copied) {
            log.CloseStream();
            WriteLogCopy(line.logPath, ReadLog(log.path));
        }

        if (script) {
            script->Release();
            script = nullptr;
        }
        instanceMutex.Reset();
        if (!workersStopped) {
            EndWithWorkersRunning(log, static_cast<UINT>(exitCode));
        }
        return exitCode;
    }
}
