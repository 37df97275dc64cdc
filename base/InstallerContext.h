#pragma once

#include "base/LanguageTable.h"
#include "base/PageCodes.h"

#include <map>
#include <string>

// Texts used when a value cannot be had.
extern const wchar_t kRequestTokenPlaceholder[]; // "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX"

// "64" for an "x64" architecture (exactly), else "32": the page's "osbits".
std::wstring OsBitsFor(const std::wstring& architecture);

// The one record of the current run: what is installed and by which version
// of this program, the languages, the page's status, the latest failure, the
// machine's facts, and the properties the page reads. Plain data: the facts
// of the machine are filled in by GatherRunFacts (telemetry), which sees both
// this record and the system queries. Built once on the main thread; the
// script object guards `properties`, `failureStage` and `failureCode` with
// its own lock once worker threads exist.
class InstallerContext {
public:
    // A run of `productId` by this program's `managerVersion`: the token's
    // placeholder, status 4, no failure, no machine facts yet.
    InstallerContext(std::wstring productId, std::wstring managerVersion);

    InstallerContext(const InstallerContext&) = delete;
    InstallerContext& operator=(const InstallerContext&) = delete;

    // Stores the install language and sets the page property "lang" to its code.
    void SetInstallLanguage(LanguageIndex index);

    std::wstring requestToken;
    std::wstring country;
    std::wstring productId;
    std::wstring productVersion;
    std::wstring channel;
    LanguageIndex installLanguage;
    int installStatus;
    int failureStage;
    int failureCode;
    std::wstring osName;
    LanguageIndex uiLanguage;
    std::wstring architecture;
    std::wstring defaultBrowser;
    std::wstring managerVersion;
    std::wstring machineId;
    std::map<std::wstring, std::wstring> externalProperties;
    std::map<std::wstring, std::wstring> properties;
};
