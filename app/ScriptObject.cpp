#include "app/ScriptObject.h"

#include "product/SuiteSteps.h"

ScriptObject* CreateScriptObject(InstallerContext* context, ReportSender* reportSender,
                                 LogFile* log) {
    return tlw::CreateSuiteScriptObject(context, reportSender, log);
}

bool StopScriptWorkers(ScriptObject* script, DWORD timeoutMs) {
    // Without a script object no worker can have been started.
    return !script || script->StopWorkers(timeoutMs);
}
