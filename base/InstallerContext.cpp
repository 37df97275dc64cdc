#include "base/InstallerContext.h"

#include <utility>

const wchar_t kRequestTokenPlaceholder[] = L"XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX";

std::wstring OsBitsFor(const std::wstring& architecture) {
    return architecture == L"x64" ? L"64" : L"32";
}

InstallerContext::InstallerContext(std::wstring productIdValue, std::wstring managerVersionValue)
    : requestToken(kRequestTokenPlaceholder), productId(std::move(productIdValue)),
      installLanguage(kOtherLanguage), installStatus(InstallStatusEnvironmentNotSupported),
      failureStage(FailureStageNone), failureCode(0), uiLanguage(kOtherLanguage),
      managerVersion(std::move(managerVersionValue)) {}

void InstallerContext::SetInstallLanguage(LanguageIndex index) {
    installLanguage = index;
    properties[L"lang"] = GetLanguageCode(index);
}
