#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Index of a row of LanguageTable (0 to kLanguageCount - 1).
using LanguageIndex = int;

// One language: the code the pages see as "lang" and that names the licence
// page, the English name the reports send, and the LANGID of its resources.
struct LanguageRow {
    const wchar_t* code;
    const wchar_t* name;
    LANGID langId;
};

constexpr int kLanguageCount = 108;
extern const LanguageRow LanguageTable[kLanguageCount];

// Row 0, "other", also stands in for an index outside the table.
constexpr LanguageIndex kOtherLanguage = 0;
constexpr LanguageIndex kEnglishLanguage = 1;

std::wstring GetLanguageCode(LanguageIndex index);
std::wstring GetLanguageName(LanguageIndex index);
LANGID GetLanguageId(LanguageIndex index);

// The row for a Windows user-interface language: a fixed list for the
// languages of the product's pages, then LanguageIndexFromPrimaryLanguage.
LanguageIndex LanguageIndexFromUiLanguage(LANGID uiLanguage);

// LanguageIndexFromUiLanguage of GetUserDefaultUILanguage().
LanguageIndex GetUiLanguageIndex();

// The row whose LANGID has the same primary language; the Serbo-Croatian
// family (primary 0x1A) is decided by the full id. 0 when nothing matches.
LanguageIndex LanguageIndexFromPrimaryLanguage(LANGID id);

// The product's own languages in order of preference, English first: the
// thirteen of the program's string table (rows 1 to 13).
std::vector<LanguageIndex> SupportedProductLanguages();

// The install language for a user-interface language `ui`, the codes the
// pages offer and the product's languages (which must not be empty).
LanguageIndex SelectInstallLanguage(LanguageIndex ui, const std::vector<std::wstring>& page,
                                    const std::vector<LanguageIndex>& product);

// As above, for this user's interface language.
LanguageIndex SelectInstallLanguage(const std::vector<std::wstring>& page,
                                    const std::vector<LanguageIndex>& product);
