#pragma once

#include "core/ScriptObject.h"
#include "downloader/HttpTask.h"

#include <windows.h>

class InstallerContext;
class LogFile;
class ReportSender;

// The object the pages see as window.external, with the suite's steps, as
// the run sequence uses it.
using ScriptObject = downloadmanagercore::ScriptObject;

// The one place that makes the run's script object, on the heap with one
// reference owned by the caller; NULL when it cannot be made.
ScriptObject* CreateScriptObject(InstallerContext* context, ReportSender* reportSender,
                                 LogFile* log);

// How long the end of a run waits for the script object's workers (download,
// extract, install) to stop after the window has closed: longer than the
// download engine's receive time-out, so a cancelled download whose receive
// cannot be broken off (Wine's WinINet) still ends inside the wait.
constexpr DWORD kWorkerStopTimeoutMs = downloader::kReceiveTimeoutMs + 10000;

// Ends the script object's work once the window has closed: its running
// workers are asked to stop (a download is cancelled) and are waited for, at
// most `timeoutMs`, while their calls into this apartment are let in; then
// they can no longer change the run's record. True when none is left running,
// so nothing of the run is used by another thread any more.
bool StopScriptWorkers(ScriptObject* script, DWORD timeoutMs);
