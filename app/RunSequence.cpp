#include "app/RunSequence.h"

#include "app/CrashDump.h"
#include "app/DesktopShortcut.h"
#include "app/DllSearch.h"
#include "app/Privileges.h"
#include "base/LanguageTable.h"
#include "base/TempFolders.h"
#include "base/UniqueHandle.h"
#include "htmlui/HostWindow.h"
#include "payload/LicenseDownload.h"
#include "telemetry/RunFacts.h"

#include <objbase.h>
#include <shlwapi.h>

#include <algorithm>
#include <vector>

const wchar_t kInstanceMutexName[] = L"TLWDownloadManager";
const wchar_t kProductId[] = L"TLW";
const wchar_t kManagerVersion[] = L"1.0.25.1";
const wchar_t kStartPage[] = L"Load.html";
const wchar_t kSessionBlockReason[] = L"Brightcast Suite is being installed.";

ProgramSettings DefaultProgramSettings() {
    return ProgramSettings{DefaultServiceEndpoint(), kLicenseServerUrl, kLicenseDownloadTimeoutMs,
                           kWorkerStopTimeoutMs};
}

bool BringRunningCopyForward() {
    HWND window = FindWindowW(htmlui::HostWindowClassName, nullptr);
    if (!window) {
        return false;
    }
    SetForegroundWindow(window);
    if (IsIconic(window)) {
        ShowWindow(window, SW_RESTORE);
    }
    return true;
}

RunEndActions RunEndActionsFor(int installStatus) {
    RunEndActions actions = {};
    actions.deleteShortcut = installStatus == InstallStatusCompleted;
    actions.sendErrorReport = installStatus == InstallStatusError;
    return actions;
}

void RemoveFoldersOfEarlierRuns(LogFile& log) {
    std::wstring temp;
    if (GetTempFolderPath(temp)) {
        for (const std::wstring& folder : RemoveAbandonedFolders(temp)) {
            log.LogDebug(L"Removed the folder of an earlier run: %s", folder.c_str());
        }
    }
}

bool RunInstaller(const std::wstring& shortcutName, PayloadArchive& archive, ScriptObject* script,
                  InstallerContext& context, ReportSender& sender, LogFile& log,
                  KernelHandle* instanceMutex, DWORD workerStopTimeoutMs) {
    SendAnalytics(context, true, sender.endpoint);

    bool workersStopped = true;
    if (archive.isLoaded) {
        const HRESULT com = CoInitialize(nullptr);
        UpdateDesktopShortcut(shortcutName, true);
        wchar_t startPage[MAX_PATH] = {};
        if (PathCombineW(startPage, archive.temporaryFolder.c_str(), kStartPage)) {
            htmlui::SessionHooks session;
            session.busy = [script] { return script && script->workers().Running() > 0; };
            session.blockReason = kSessionBlockReason;
            session.ending = [&] {
                EndRunAtSessionEnd(archive, script, context, sender, log, shortcutName);
            };
            htmlui::RegisterHostWindowClass();
            const HRESULT shown = htmlui::RunHostWindow(startPage, script, &session);
            if (FAILED(shown)) {
                log.LogError(L"The window could not be shown: %x", static_cast<unsigned>(shown));
            }
        } else {
            log.LogError(L"start page path too long: %s", archive.temporaryFolder.c_str());
        }
        // The workers call the page back through this apartment, so they are
        // stopped while it still runs.
        workersStopped = StopScriptWorkers(script, workerStopTimeoutMs);
        if (!workersStopped) {
            log.LogError(L"workers still running %u ms after the window closed",
                         static_cast<unsigned>(workerStopTimeoutMs));
        } else if (script) {
            // Now, not when the last reference goes: the unzipped package
            // must not outlive the run.
            script->RemoveDownloadFolder();
        }
        if (RunEndActionsFor(context.installStatus).deleteShortcut) {
            DeleteFileW(GetDesktopShortcutPath(shortcutName).c_str());
        }
        if (SUCCEEDED(com)) {
            CoUninitialize();
        }
    } else {
        context.installStatus = InstallStatusError;
    }
    // Nothing of this run is in use any more: a new start may begin while
    // the reports go out (a stuck worker keeps the mutex to the end).
    if (instanceMutex && workersStopped) {
        instanceMutex->Reset();
    }

    SendRunEndReports(context, sender, log);
    return workersStopped;
}

void SendRunEndReports(InstallerContext& context, ReportSender& sender, LogFile& log,
                       const std::function<void()>& beforeErrorReport) {
    SendAnalytics(context, false, sender.endpoint);

    if (RunEndActionsFor(context.installStatus).sendErrorReport) {
        for (const auto& property : context.properties) {
            log.LogDebug(L"Property %s: %s\n", property.first.c_str(), property.second.c_str());
        }
        log.CloseStream();
        if (beforeErrorReport) {
            beforeErrorReport();
        }
        sender.attachments.push_back(log.path);
        sender.SendErrorReport();
    }
}

void EndRunAtSessionEnd(PayloadArchive& archive, ScriptObject* script, InstallerContext& context,
                        ReportSender& sender, LogFile& log, const std::wstring& shortcutName) {
    log.LogError(L"the session is ending: the run ends now");
    if (StopScriptWorkers(script, kSessionEndWorkerStopMs)) {
        if (script) {
            script->RemoveDownloadFolder();
        }
    } else {
        // A later start removes what a worker still uses once it has ended.
        log.LogError(L"workers still running at the end of the session");
    }
    ServiceEndpoint quick = sender.endpoint;
    quick.connectTimeoutMs = std::min(quick.connectTimeoutMs, kSessionEndConnectMs);
    quick.transferTimeoutMs = std::min(quick.transferTimeoutMs, kSessionEndTransferMs);
    SendAnalytics(context, false, quick);
    if (RunEndActionsFor(context.installStatus).deleteShortcut) {
        DeleteFileW(GetDesktopShortcutPath(shortcutName).c_str());
    }
    log.CloseStream();
    if (!log.folder.empty()) {
        DeleteFolderTree(log.folder);
    }
    if (!archive.temporaryFolder.empty()) {
        DeleteFolderTree(archive.temporaryFolder);
    }
    TerminateProcess(GetCurrentProcess(), 0);
    ExitProcess(0);
}

// Everything of the run has been done, so the process is ended at once: an
// orderly exit would let the system libraries' shutdown wait for locks a
// stopped worker may hold.
void EndWithWorkersRunning(LogFile& log, UINT exitCode) {
    log.CloseStream();
    if (!log.folder.empty()) {
        DeleteFolderTree(log.folder);
    }
    TerminateProcess(GetCurrentProcess(), exitCode);
    ExitProcess(exitCode);
}

int RunProgram(const ProgramSettings& settings) {
    // First of all: nothing may be loaded from the program's own folder.
    const bool dllSearchRestricted = RestrictDllSearch();
    InstallCrashFilter(settings.service);

    KernelHandle instanceMutex(CreateMutexW(nullptr, FALSE, kInstanceMutexName));
    const DWORD mutexError = GetLastError();
    if (mutexError == ERROR_ALREADY_EXISTS) {
        BringRunningCopyForward();
        return 0;
    }

    const LanguageIndex uiLanguage = GetUiLanguageIndex();
    if (!CheckPrivilegesOrWarn(uiLanguage)) {
        return 0;
    }

    LogFile log;
    // A crash from here on sends the log with its dump.
    SetCrashReportLog(log.path);
    RemoveFoldersOfEarlierRuns(log);
    if (!dllSearchRestricted) {
        log.LogError(L"the DLL search could not be restricted");
    }
    if (!instanceMutex) {
        // Another kind of object holds the name; the run goes on unguarded.
        log.LogError(L"CreateMutex %s failed: %u", kInstanceMutexName,
                     static_cast<unsigned>(mutexError));
    }
    InstallerContext context(kProductId, kManagerVersion);
    GatherRunFacts(context);
    ReportSender sender(context, settings.service);
    ScriptObject* script = CreateScriptObject(&context, &sender, &log);
    bool workersStopped = true;
    {
        PayloadArchive archive(log);
        const std::vector<std::wstring> pageLanguages = archive.ReadLanguageList();
        const LanguageIndex installLanguage =
            SelectInstallLanguage(pageLanguages, SupportedProductLanguages());
        context.SetInstallLanguage(installLanguage);
        archive.PrepareLicensePage(context.productId, GetLanguageCode(installLanguage),
                                   settings.licenseServerUrl, settings.licenseTimeoutMs);

        workersStopped = RunInstaller(kDesktopShortcutName, archive, script, context, sender, log,
                                      &instanceMutex, settings.workerStopTimeoutMs);

        // Teardown, in this order: the script object, the mutex, the page
        // list, the pages; then the report sender, the context and the log.
        if (script) {
            script->Release();
            script = nullptr;
        }
        instanceMutex.Reset();
    }
    if (!workersStopped) {
        EndWithWorkersRunning(log, 0);
    }
    return 0;
}
