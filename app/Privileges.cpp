#include "app/Privileges.h"

#include "app/ResourceIds.h"
#include "base/UniqueHandle.h"

#include <vector>

bool IsElevatedFor(const ElevationFacts& facts) {
    if (facts.versionKnown && facts.osMajorVersion < 6 && facts.administratorsMember) {
        return true;
    }
    return facts.integrityLevel >= kHighIntegrityLevel;
}

bool IsAdministratorsMember() {
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                  DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators)) {
        return false;
    }
    BOOL member = FALSE;
    if (!CheckTokenMembership(nullptr, administrators, &member)) {
        member = FALSE;
    }
    FreeSid(administrators);
    return member != FALSE;
}

DWORD ProcessIntegrityLevel() {
    KernelHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Receive())) {
        return 0;
    }
    DWORD size = 0;
    GetTokenInformation(token.Get(), TokenIntegrityLevel, nullptr, 0, &size);
    if (size < sizeof(TOKEN_MANDATORY_LABEL)) {
        return 0;
    }
    std::vector<BYTE> buffer(size);
    if (!GetTokenInformation(token.Get(), TokenIntegrityLevel, buffer.data(), size, &size)) {
        return 0;
    }
    const auto* label = reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(buffer.data());
    PSID sid = label->Label.Sid;
    if (!sid || !IsValidSid(sid) || *GetSidSubAuthorityCount(sid) < 1) {
        return 0;
    }
    return *GetSidSubAuthority(sid, 0);
}

bool IsProcessElevated() {
    ElevationFacts facts = {};
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof version;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    facts.versionKnown = GetVersionExW(&version) != FALSE;
#pragma GCC diagnostic pop
    facts.osMajorVersion = version.dwMajorVersion;
    // Membership only decides on systems without integrity levels.
    if (facts.versionKnown && facts.osMajorVersion < 6) {
        facts.administratorsMember = IsAdministratorsMember();
        if (facts.administratorsMember) {
            return true;
        }
    }
    facts.integrityLevel = ProcessIntegrityLevel();
    return IsElevatedFor(facts);
}

std::wstring StringFromBlock(const WCHAR* block, size_t units, UINT indexInBlock) {
    if (!block || indexInBlock >= 16) {
        return std::wstring();
    }
    size_t at = 0;
    for (UINT skipped = 0; skipped < indexInBlock; ++skipped) {
        if (at >= units) {
            return std::wstring();
        }
        at += 1 + static_cast<size_t>(block[at]);
    }
    if (at >= units) {
        return std::wstring();
    }
    const size_t length = block[at];
    // A length that runs past the block is a damaged table, not a string.
    if (length > units - at - 1) {
        return std::wstring();
    }
    return std::wstring(block + at + 1, length);
}

std::wstring LoadLocalizedString(HMODULE module, UINT id, LanguageIndex language) {
    const LANGID langId = GetLanguageId(language);
    HRSRC found = FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), langId);
    if (!found) {
        return std::wstring();
    }
    const DWORD bytes = SizeofResource(module, found);
    HGLOBAL loaded = LoadResource(module, found);
    if (!loaded) {
        return std::wstring();
    }
    const auto* block = static_cast<const WCHAR*>(LockResource(loaded));
    std::wstring text = StringFromBlock(block, bytes / sizeof(WCHAR), id % 16);
    FreeResource(loaded);
    return text;
}

std::wstring LoadLocalizedString(UINT id, LanguageIndex language) {
    return LoadLocalizedString(GetModuleHandleW(nullptr), id, language);
}

PrivilegeMessage ChoosePrivilegeMessage(const PrivilegeMessage& localized,
                                        const PrivilegeMessage& english) {
    if (localized.text.empty() || localized.caption.empty()) {
        return english;
    }
    return localized;
}

PrivilegeMessage LoadPrivilegeMessage(HMODULE module, LanguageIndex language) {
    const PrivilegeMessage localized = {
        LoadLocalizedString(module, IDS_PRIVILEGE_TEXT, language),
        LoadLocalizedString(module, IDS_PRIVILEGE_CAPTION, language)};
    if (!localized.text.empty() && !localized.caption.empty()) {
        return localized;
    }
    const PrivilegeMessage english = {
        LoadLocalizedString(module, IDS_PRIVILEGE_TEXT, kOtherLanguage),
        LoadLocalizedString(module, IDS_PRIVILEGE_CAPTION, kOtherLanguage)};
    return ChoosePrivilegeMessage(localized, english);
}

void ShowPrivilegeMessage(HMODULE module, LanguageIndex language) {
    const PrivilegeMessage message = LoadPrivilegeMessage(module, language);
    MessageBoxW(nullptr, message.text.c_str(), message.caption.c_str(), MB_OK);
}

bool CheckPrivilegesOrWarn(LanguageIndex language) {
    if (IsProcessElevated()) {
        return true;
    }
    ShowPrivilegeMessage(GetModuleHandleW(nullptr), language);
    return false;
}
