#include "app/ScriptObject.h"

#include "product/TLWExternal.h"

#include <new>

ScriptObject* CreateScriptObject(InstallerContext* context, ReportSender* reportSender,
                                 LogFile* log) {
    return new (std::nothrow) tlw::TLWExternal(context, reportSender, log);
}

bool StopScriptWorkers(ScriptObject* script, DWORD timeoutMs) {
    // Without a script object no worker can have been started.
    return !script || script->StopWorkers(timeoutMs);
}
