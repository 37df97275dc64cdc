#include "telemetry/RunFacts.h"

#include "telemetry/MachineId.h"
#include "telemetry/SystemInfo.h"

void GatherRunFacts(InstallerContext& context) {
    // A new token for every run; the placeholder stays when no GUID can be made.
    context.requestToken = kRequestTokenPlaceholder;
    NewGuidString(context.requestToken);

    context.machineId = GetMachineIdString();
    context.architecture = GetArchitecture();
    context.defaultBrowser = GetDefaultBrowser();
    context.osName = GetOsName();
    context.country = GetCountryCode();

    context.uiLanguage = GetUiLanguageIndex();

    context.installStatus = InstallStatusEnvironmentNotSupported;
    context.failureStage = FailureStageNone;
    context.failureCode = 0;

    context.properties[L"osbits"] = OsBitsFor(context.architecture);
}
