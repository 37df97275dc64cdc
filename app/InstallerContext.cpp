#include "app/InstallerContext.h"

#include "telemetry/MachineId.h"
#include "telemetry/SystemInfo.h"

#include <utility>

const wchar_t kRequestTokenPlaceholder[] = L"XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX";

std::wstring OsBitsFor(const std::wstring& architecture) {
    return architecture == L"x64" ? L"64" : L"32";
}

InstallerContext::InstallerContext(std::wstring productIdValue, std::wstring managerVersionValue)
    : installLanguage(kOtherLanguage), installStatus(InstallStatusEnvironmentNotSupported),
      failureStage(FailureStageNone), failureCode(0), uiLanguage(kOtherLanguage) {
    productId = std::move(productIdValue);
    managerVersion = std::move(managerVersionValue);

    // A new token for every run; the placeholder stays when no GUID can be made.
    requestToken = kRequestTokenPlaceholder;
    NewGuidString(requestToken);

    machineId = GetMachineIdString();
    architecture = GetArchitecture();
    defaultBrowser = GetDefaultBrowser();
    osName = GetOsName();
    country = GetCountryCode();

    uiLanguage = GetUiLanguageIndex();

    installStatus = InstallStatusEnvironmentNotSupported;
    failureStage = FailureStageNone;
    failureCode = 0;

    properties[L"osbits"] = OsBitsFor(architecture);
}

void InstallerContext::SetInstallLanguage(LanguageIndex index) {
    installLanguage = index;
    properties[L"lang"] = GetLanguageCode(index);
}
