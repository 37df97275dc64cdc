#pragma once

#include "core/HtmlExternal.h"

#include <windows.h>

class InstallerContext;
class LogFile;
class ReportSender;

// The object the pages see as window.external, as the run sequence uses it.
using ScriptObject = downloadmanagercore::HtmlExternal;

// The one place that makes the run's script object, on the heap with one
// reference owned by the caller; NULL when it cannot be made.
ScriptObject* CreateScriptObject(InstallerContext* context, ReportSender* reportSender,
                                 LogFile* log);

// How long the end of a run waits for the script object's workers (download,
// extract, install) to stop after the window has closed.
constexpr DWORD kWorkerStopTimeoutMs = 30000;

// Asks the script object's running workers to stop and waits for them, at
// most `timeoutMs`, pumping the calls they make into this apartment. True
// when none is left running, so nothing of the run is used by another thread.
bool StopScriptWorkers(ScriptObject* script, DWORD timeoutMs);
