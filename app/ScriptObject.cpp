#include "app/ScriptObject.h"

// The product's script object is not part of this build yet: the run goes on
// without one, and the host window is then made without window.external.
ScriptObject* CreateScriptObject(InstallerContext*, ReportSender*, LogFile*) {
    return nullptr;
}

bool StopScriptWorkers(ScriptObject* script, DWORD) {
    // Without a script object no worker can have been started.
    return script == nullptr;
}
