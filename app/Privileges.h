#pragma once

#include "base/LanguageTable.h"

#include <windows.h>

#include <string>

// The privilege check of the start-up: the program needs administrator
// rights, and says so in the user's language when it does not have them.

// Integrity levels at and above this one (high, system) count as elevated.
constexpr DWORD kHighIntegrityLevel = 0x3000;

// What the elevation decision looks at. `osMajorVersion` is meaningful only
// when `versionKnown`; `integrityLevel` is 0 when the token does not say.
struct ElevationFacts {
    bool versionKnown;
    DWORD osMajorVersion;
    bool administratorsMember;
    DWORD integrityLevel;
};

// Before Vista, membership of Administrators is enough; from Vista on (or when
// the version is unknown) only a high or system integrity level counts, so an
// administrator's unelevated process under UAC is refused.
bool IsElevatedFor(const ElevationFacts& facts);

// True when the calling thread's effective token is a member of the built-in
// Administrators group.
bool IsAdministratorsMember();

// The integrity level of the process token (the label's first sub-authority);
// 0 when the token or its label cannot be read.
DWORD ProcessIntegrityLevel();

// IsElevatedFor with this process's facts.
bool IsProcessElevated();

// The `indexInBlock`-th of the sixteen counted strings of a string-table
// block of `units` UTF-16 units; empty when the block ends before it.
std::wstring StringFromBlock(const WCHAR* block, size_t units, UINT indexInBlock);

// String resource `id` of `module` in the LANGID of `language`; empty when
// that language has no such entry.
std::wstring LoadLocalizedString(HMODULE module, UINT id, LanguageIndex language);
// The same from the program's own resources.
std::wstring LoadLocalizedString(UINT id, LanguageIndex language);

// A message box text and caption.
struct PrivilegeMessage {
    std::wstring text;
    std::wstring caption;
};

// The localized pair when both parts exist, otherwise the English pair (both
// parts, never a mix of languages).
PrivilegeMessage ChoosePrivilegeMessage(const PrivilegeMessage& localized,
                                        const PrivilegeMessage& english);

// The message for `language` from `module`'s string table, with the English
// fallback.
PrivilegeMessage LoadPrivilegeMessage(HMODULE module, LanguageIndex language);

// Shows the privilege message from `module` for `language` (no owner, OK
// button only) and returns once the user has closed it.
void ShowPrivilegeMessage(HMODULE module, LanguageIndex language);

// True when the process is elevated; otherwise shows the privilege message in
// `language` and returns false once it has been closed.
bool CheckPrivilegesOrWarn(LanguageIndex language);
