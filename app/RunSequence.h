#pragma once

#include "app/ScriptObject.h"
#include "base/InstallerContext.h"
#include "base/LogFile.h"
#include "base/UniqueHandle.h"
#include "payload/PayloadArchive.h"
#include "telemetry/ReportSender.h"

#include <windows.h>

#include <functional>
#include <string>

// Fixed values of the program.
extern const wchar_t kInstanceMutexName[]; // "TLWDownloadManager"
extern const wchar_t kProductId[];         // "TLW"
extern const wchar_t kManagerVersion[];    // "1.0.25.1"
extern const wchar_t kStartPage[];         // "Load.html"

// The outside services a build of the program talks to.
struct ProgramSettings {
    // Analytics, error and crash reports.
    ServiceEndpoint service;
    // Base URL of the licence download server, and how long it may take.
    std::wstring licenseServerUrl;
    DWORD licenseTimeoutMs;
    // How long the end of the run waits for the script object's workers.
    DWORD workerStopTimeoutMs;
};

// The services this build was made for.
ProgramSettings DefaultProgramSettings();

// A second copy's part: brings the running copy's "HTMLUI" window to the
// front and restores it when it is minimised. False when there is none.
bool BringRunningCopyForward();

// What the end of a run reports, decided from the page's final status.
struct RunEndActions {
    bool deleteShortcut;  // only after a completed installation
    bool sendErrorReport; // only after an error, with the log
};
RunEndActions RunEndActionsFor(int installStatus);

// Folders of earlier runs that ended without their clean-up (killed, power
// lost, a crash before the filter) go now, each logged; those in use stay.
void RemoveFoldersOfEarlierRuns(LogFile& log);

// The run around the host window: the start analytics document; with the
// pages unpacked, the desktop shortcut and the window until it closes, then
// the workers stopped (waiting for them at most `workerStopTimeoutMs`) and the
// shortcut removed after a completed installation; without pages, status 2.
// Then the end document, and after an error the property lines, the log
// closed and sent in the error report. Once the window has closed and the
// workers have stopped, `instanceMutex` (may be NULL) is released before the
// reports go out, so a new start need not wait for them. Returns false when a
// worker of the script object was still running at the end of the wait: the
// caller must then keep the context, the report sender and the log alive
// until the process ends.
bool RunInstaller(const std::wstring& shortcutName, PayloadArchive& archive, ScriptObject* script,
                  InstallerContext& context, ReportSender& sender, LogFile& log,
                  KernelHandle* instanceMutex = nullptr,
                  DWORD workerStopTimeoutMs = kWorkerStopTimeoutMs);

// How the end of the user's session (log-off, shutdown) ends a run whose
// window is up: the system ends the process a few seconds after telling it,
// so each step is bounded. Workers are waited for at most this long...
constexpr DWORD kSessionEndWorkerStopMs = 1500;
// ...and the end document may take this long to connect and to be sent.
constexpr DWORD kSessionEndConnectMs = 1000;
constexpr DWORD kSessionEndTransferMs = 2000;

// What the system shows while work runs and the window declines the end of
// the session.
extern const wchar_t kSessionBlockReason[];

// The end of a run at the end of the user's session, on the UI thread from
// the window's WM_ENDSESSION: the workers are asked to stop (waited for
// kSessionEndWorkerStopMs), the unzipped package is removed when none runs,
// the end document is sent with the bounds above, the shortcut is removed
// after a completed installation, the log is closed and the log and page
// folders are removed. The process is then ended (exit code 0) before the
// system ends it somewhere in the middle of its teardown.
[[noreturn]] void EndRunAtSessionEnd(PayloadArchive& archive, ScriptObject* script,
                                     InstallerContext& context, ReportSender& sender, LogFile& log,
                                     const std::wstring& shortcutName);

// The end of a run's reports: the end analytics document; after an error
// the property lines, the log closed, `beforeErrorReport` (when set) and the
// log sent in the error report.
void SendRunEndReports(InstallerContext& context, ReportSender& sender, LogFile& log,
                       const std::function<void()>& beforeErrorReport = std::function<void()>());

// The end of a run whose workers did not stop in time: what they use (the
// context, the report sender and the log) must outlive them, so the process
// ends here with `exitCode` instead of destroying those objects. The log
// folder is still removed; the closed log accepts no more lines.
[[noreturn]] void EndWithWorkersRunning(LogFile& log, UINT exitCode);

// The whole program: the crash filter, the single-instance rule, the
// privilege check, the run's objects in their order, the language and the
// licence page, RunInstaller and the teardown. Returns 0 on every path.
int RunProgram(const ProgramSettings& settings);
