#include "app/ScriptObject.h"

#include <new>

ScriptObject* CreateScriptObject(InstallerContext* context, ReportSender* reportSender,
                                 LogFile* log) {
    return new (std::nothrow) downloadmanagercore::HtmlExternal(context, reportSender, log);
}

bool StopScriptWorkers(ScriptObject*, DWORD) {
    // The script object cannot yet be asked about its workers: the run ends
    // as if none were running.
    return true;
}
