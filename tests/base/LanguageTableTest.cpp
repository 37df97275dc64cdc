#include "base/LanguageTable.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The published list of languages, one "index code name LANGID" entry per row.
const char kPublishedRows[] = R"(
0 "other" "Other" 0x0409; 1 "en" "English" 0x0409; 2 "fr" "French" 0x040C; 
3 "de" "German" 0x0407; 4 "it" "Italian" 0x0410; 5 "jp" "Japanese" 0x0411; 
6 "es" "Spanish" 0x0C0A; 7 "pt" "Portuguese" 0x0416; 8 "nl" "Dutch" 0x0413; 
9 "ko" "Korean" 0x0412; 10 "ru" "Russian" 0x0419; 11 "cs" "Czech" 0x0405; 
12 "zh" "Simplified Chinese" 0x0804; 13 "tw" "Traditional Chinese" 0x0404; 
14 "af" "Afrikaans" 0x0436; 15 "sq" "Albanian" 0x041C; 16 "am" "Amharic" 0x045E; 
17 "ar" "Arabic" 0x0401; 18 "hy" "Armenian" 0x042B; 19 "as" "Assamese" 0x044D; 
20 "ba" "Bashkir" 0x046D; 21 "eu" "Basque" 0x042D; 22 "be" "Belarusian" 0x0423; 
23 "bn" "Bengali" 0x0445; 24 "br" "Breton" 0x047E; 25 "bs" "Bosnian" 0x141A; 
26 "bg" "Bulgarian" 0x0402; 27 "ca" "Catalan" 0x0403; 28 "co" "Corsican" 0x0483; 
29 "hr" "Croatian" 0x041A; 30 "da" "Danish" 0x0406; 31 "dv" "Divehi" 0x0465; 
32 "et" "Estonian" 0x0425; 33 "fi" "Finnish" 0x040B; 34 "fy" "Frisian" 0x0462; 
35 "gl" "Galician" 0x0456; 36 "ka" "Georgian" 0x0437; 37 "el" "Greek" 0x0408; 
38 "kl" "Greenlandic" 0x046F; 39 "gu" "Gujarati" 0x0447; 40 "ha" "Hausa" 0x0468; 
41 "he" "Hebrew" 0x040D; 42 "hi" "Hindi" 0x0439; 43 "hu" "Hungarian" 0x040E; 
44 "is" "Icelandic" 0x040F; 45 "ig" "Igbo" 0x0470; 46 "id" "Indonesian" 0x0421; 
47 "iu" "Inuktitut" 0x045D; 48 "ga" "Irish" 0x083C; 49 "kn" "Kannada" 0x044B; 
50 "ks" "Kashmiri" 0x0860; 51 "kk" "Kazakh" 0x043F; 52 "km" "Khmer" 0x0453; 
53 "rw" "Kinyarwanda" 0x0487; 54 "ky" "Kyrgyz" 0x0440; 55 "lo" "Lao" 0x0454; 
56 "lv" "Latvian" 0x0426; 57 "lt" "Lithuanian" 0x0427; 58 "lb" "Luxembourgish" 0x046E; 
59 "mk" "Macedonian" 0x042F; 60 "ms" "Malay" 0x043E; 61 "ml" "Malayalam" 0x044C; 
62 "mt" "Maltese" 0x043A; 63 "mi" "Maori" 0x0481; 64 "mr" "Marathi" 0x044E; 
65 "mn" "Mongolian" 0x0450; 66 "ne" "Nepali" 0x0861; 67 "no" "Norwegian" 0x0414; 
68 "oc" "Occitan" 0x0482; 69 "or" "Oriya" 0x0448; 70 "ps" "Pashto" 0x0463; 
71 "fa" "Persian" 0x0429; 72 "pl" "Polish" 0x0415; 73 "pa" "Punjabi" 0x0446; 
74 "qu" "Quechua" 0x046B; 75 "ro" "Romanian" 0x0418; 76 "rm" "Romansh" 0x0417; 
77 "se" "Sami" 0x043B; 78 "sa" "Sanskrit" 0x044F; 79 "gd" "Scottish Gaelic" 0x0491; 
80 "sr" "Serbian" 0x181A; 81 "sd" "Sindhi" 0x0459; 82 "si" "Sinhalese" 0x045B; 
83 "sk" "Slovak" 0x041B; 84 "sl" "Slovenian" 0x0424; 85 "st" "Sotho" 0x046C; 
86 "sw" "Swahili" 0x0441; 87 "sv" "Swedish" 0x041D; 88 "tg" "Tajik" 0x0428; 
89 "ta" "Tamil" 0x0449; 90 "tt" "Tatar" 0x0444; 91 "te" "Telugu" 0x044A; 
92 "th" "Thai" 0x041E; 93 "bo" "Tibetan" 0x0451; 94 "tn" "Tswana" 0x0432; 
95 "tr" "Turkish" 0x041F; 96 "tk" "Turkmen" 0x0442; 97 "ug" "Uighur" 0x0480; 
98 "uk" "Ukrainian" 0x0422; 99 "ur" "Urdu" 0x0420; 100 "uz" "Uzbek" 0x0443; 
101 "vi" "Vietnamese" 0x042A; 102 "cy" "Welsh" 0x0452; 103 "wo" "Wolof" 0x0488; 
104 "xh" "Xhosa" 0x0434; 105 "yi" "Yiddish" 0x0478; 106 "yo" "Yoruba" 0x046A; 
107 "zu" "Zulu" 0x0435; )";

struct PublishedRow {
    int index;
    std::string code;
    std::string name;
    unsigned langId;
};

std::vector<PublishedRow> ParsePublishedRows() {
    std::vector<PublishedRow> rows;
    std::string text(kPublishedRows);
    std::stringstream entries(text);
    std::string entry;
    while (std::getline(entries, entry, ';')) {
        std::stringstream fields(entry);
        PublishedRow row;
        std::string langId;
        fields >> row.index;
        if (!fields) {
            continue;
        }
        fields >> std::ws;
        std::getline(fields, row.code, ' ');
        fields >> std::ws;
        // Names may hold spaces: read up to the closing quote.
        std::getline(fields, row.name, '"');
        std::getline(fields, row.name, '"');
        fields >> langId;
        row.code = row.code.substr(1, row.code.size() - 2);
        row.langId = static_cast<unsigned>(std::stoul(langId, nullptr, 16));
        rows.push_back(row);
    }
    return rows;
}

std::wstring Wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

TEST(LanguageTable, HoldsEveryPublishedRowExactly) {
    const std::vector<PublishedRow> rows = ParsePublishedRows();
    ASSERT_EQ(static_cast<size_t>(kLanguageCount), rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        const PublishedRow& row = rows[i];
        ASSERT_EQ(static_cast<int>(i), row.index);
        EXPECT_EQ(Wide(row.code), std::wstring(LanguageTable[i].code)) << "row " << i;
        EXPECT_EQ(Wide(row.name), std::wstring(LanguageTable[i].name)) << "row " << i;
        EXPECT_EQ(row.langId, LanguageTable[i].langId) << "row " << i;
        EXPECT_EQ(Wide(row.code), GetLanguageCode(row.index));
        EXPECT_EQ(Wide(row.name), GetLanguageName(row.index));
        EXPECT_EQ(row.langId, GetLanguageId(row.index));
    }
}

TEST(LanguageTable, CodesAreDistinct) {
    std::set<std::wstring> codes;
    for (const LanguageRow& row : LanguageTable) {
        EXPECT_TRUE(codes.insert(row.code).second) << "duplicate code";
    }
}

// The primary-language search relies on each primary language belonging to
// at most one of the rows it looks at.
TEST(LanguageTable, EachPrimaryLanguageHasOneSearchableRow) {
    const std::set<int> skipped = {0, 9, 11, 13, 25, 29, 80};
    std::set<unsigned> primaries;
    for (int i = 0; i < kLanguageCount; ++i) {
        if (skipped.count(i) == 0) {
            EXPECT_TRUE(primaries.insert(LanguageTable[i].langId & 0x3FF).second) << "row " << i;
        }
    }
}

TEST(LanguageTable, IndexOutsideTheTableReadsAsOther) {
    for (int index : {-1, kLanguageCount, 1000}) {
        EXPECT_EQ(L"other", GetLanguageCode(index));
        EXPECT_EQ(L"Other", GetLanguageName(index));
        EXPECT_EQ(0x0409, GetLanguageId(index));
    }
}

struct UiCase {
    LANGID langId;
    LanguageIndex expected;
    const wchar_t* code;
};

class UiLanguage : public testing::TestWithParam<UiCase> {};

TEST_P(UiLanguage, MapsToTheRow) {
    const UiCase& c = GetParam();
    EXPECT_EQ(c.expected, LanguageIndexFromUiLanguage(c.langId)) << "LANGID " << c.langId;
    EXPECT_EQ(std::wstring(c.code), GetLanguageCode(LanguageIndexFromUiLanguage(c.langId)));
}

INSTANTIATE_TEST_SUITE_P(
    Table, UiLanguage,
    testing::Values(
        // The languages of the product's pages, by their exact ids.
        UiCase{1033, 1, L"en"}, UiCase{1036, 2, L"fr"}, UiCase{1031, 3, L"de"},
        UiCase{1040, 4, L"it"}, UiCase{1041, 5, L"jp"}, UiCase{2058, 6, L"es"},
        UiCase{3082, 6, L"es"}, UiCase{1046, 7, L"pt"}, UiCase{2070, 7, L"pt"},
        UiCase{1043, 8, L"nl"}, UiCase{1042, 9, L"ko"}, UiCase{1049, 10, L"ru"},
        UiCase{1029, 11, L"cs"}, UiCase{2052, 12, L"zh"}, UiCase{4100, 12, L"zh"},
        UiCase{1028, 13, L"tw"}, UiCase{3076, 13, L"tw"}, UiCase{5124, 13, L"tw"},
        // Everything else by its primary language.
        UiCase{1053, 87, L"sv"}, UiCase{2057, 1, L"en"}, UiCase{3084, 2, L"fr"},
        UiCase{2055, 3, L"de"}, UiCase{1078, 14, L"af"}, UiCase{1035, 33, L"fi"},
        UiCase{1050, 80, L"sr"}, UiCase{4122, 29, L"hr"}, UiCase{5146, 25, L"bs"},
        UiCase{2066, 0, L"other"}, UiCase{1034, 6, L"es"}, UiCase{0x0804, 12, L"zh"},
        UiCase{0x047F, 0, L"other"}, UiCase{0, 0, L"other"}));

struct PrimaryCase {
    LANGID langId;
    LanguageIndex expected;
};

class PrimaryLanguage : public testing::TestWithParam<PrimaryCase> {};

TEST_P(PrimaryLanguage, MapsToTheRow) {
    EXPECT_EQ(GetParam().expected, LanguageIndexFromPrimaryLanguage(GetParam().langId))
        << "LANGID " << GetParam().langId;
}

INSTANTIATE_TEST_SUITE_P(Table, PrimaryLanguage,
                         testing::Values(
                             // The Serbo-Croatian family, decided by the full id.
                             PrimaryCase{1050, 80}, PrimaryCase{2074, 80}, PrimaryCase{3098, 80},
                             PrimaryCase{6170, 80}, PrimaryCase{7194, 80}, PrimaryCase{9242, 80},
                             PrimaryCase{10266, 80}, PrimaryCase{11290, 80}, PrimaryCase{12314, 80},
                             PrimaryCase{5146, 25}, PrimaryCase{8218, 25}, PrimaryCase{4122, 29},
                             PrimaryCase{0x001A, 0}, PrimaryCase{0x7C1A, 0},
                             // Korean and Czech rows are reached only by their exact ids.
                             PrimaryCase{1042, 0}, PrimaryCase{2066, 0}, PrimaryCase{1029, 0},
                             // Chinese of any kind is "zh" here; "tw" only by exact id.
                             PrimaryCase{1028, 12}, PrimaryCase{3076, 12}, PrimaryCase{0x0004, 12},
                             // Rows found by their primary language, whatever the sublanguage.
                             PrimaryCase{1033, 1}, PrimaryCase{0x0C09, 1}, PrimaryCase{1041, 5},
                             PrimaryCase{0x3801, 17}, PrimaryCase{0x0843, 100},
                             PrimaryCase{0x0435, 107}, PrimaryCase{0x0491, 79},
                             PrimaryCase{0x0C6B, 74}, PrimaryCase{0x0814, 67},
                             // No row.
                             PrimaryCase{0x0000, 0}, PrimaryCase{0x03F4, 0},
                             PrimaryCase{0x0490, 0}));

TEST(SupportedProductLanguages, AreTheProductsOwnInOrder) {
    const std::vector<LanguageIndex> product = SupportedProductLanguages();
    const std::vector<LanguageIndex> expected = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
    EXPECT_EQ(expected, product);
    std::wstring codes;
    for (LanguageIndex index : product) {
        codes += GetLanguageCode(index) + L" ";
    }
    EXPECT_EQ(L"en fr de it jp es pt nl ko ru cs zh tw ", codes);
}

struct ChoiceCase {
    const char* what;
    LANGID ui;
    std::vector<std::wstring> page;
    const wchar_t* expected;
};

class InstallLanguage : public testing::TestWithParam<ChoiceCase> {};

TEST_P(InstallLanguage, IsChosen) {
    const ChoiceCase& c = GetParam();
    const LanguageIndex chosen = SelectInstallLanguage(LanguageIndexFromUiLanguage(c.ui), c.page,
                                                       SupportedProductLanguages());
    EXPECT_EQ(std::wstring(c.expected), GetLanguageCode(chosen)) << c.what;
}

const std::vector<std::wstring> kShippedPages = {L"en", L"fr", L"de", L"it", L"jp", L"es", L"pt",
                                                 L"nl", L"ko", L"ru", L"cs", L"zh", L"tw"};

INSTANTIATE_TEST_SUITE_P(
    Table, InstallLanguage,
    testing::Values(
        ChoiceCase{"German Windows, shipped pages", 1031, kShippedPages, L"de"},
        ChoiceCase{"Korean Windows, shipped pages", 1042, kShippedPages, L"ko"},
        ChoiceCase{"Czech Windows, shipped pages", 1029, kShippedPages, L"cs"},
        ChoiceCase{"Mexican Windows, shipped pages", 2058, kShippedPages, L"es"},
        ChoiceCase{"Portuguese Windows, shipped pages", 2070, kShippedPages, L"pt"},
        ChoiceCase{"Singapore Windows, shipped pages", 4100, kShippedPages, L"zh"},
        ChoiceCase{"Korean Windows, pages without Korean", 1042, {L"en", L"fr"}, L"en"},
        ChoiceCase{"Swedish Windows, shipped pages", 1053, kShippedPages, L"en"},
        ChoiceCase{"Hong Kong Windows, shipped pages", 3076, kShippedPages, L"tw"},
        ChoiceCase{"Japanese Windows, no page list", 1041, {}, L"jp"},
        ChoiceCase{"Russian Windows, no page list", 1049, {}, L"ru"},
        ChoiceCase{"Swedish Windows, no page list", 1053, {}, L"en"},
        ChoiceCase{"Russian Windows, pages led by nl", 1049, {L"nl", L"en"}, L"nl"},
        ChoiceCase{"Swedish Windows, pages led by no product code", 1053, {L"sv", L"nl"}, L"en"},
        ChoiceCase{"German Windows, German not among the pages", 1031, {L"it", L"fr"}, L"it"},
        ChoiceCase{"German Windows, only a later page code matches", 1031, {L"xx", L"fr"}, L"en"},
        ChoiceCase{"page codes compare exactly", 1031, {L"DE", L"de "}, L"en"},
        ChoiceCase{"French Windows, French pages", 1036, {L"fr"}, L"fr"}));

TEST(InstallLanguage, ComparesOnlyTheFirstPageCodeAgainstTheProduct) {
    const std::vector<LanguageIndex> product = {2, 4};
    // ui (Russian) is not a product language; "fr", the first product
    // language, is only the page's second code.
    EXPECT_EQ(4, SelectInstallLanguage(10, {L"it", L"fr"}, product));
    EXPECT_EQ(2, SelectInstallLanguage(10, {L"es", L"it"}, product)) << "first product entry";
    // ui in the product but not in the page list: the page's first code decides.
    EXPECT_EQ(2, SelectInstallLanguage(4, {L"fr", L"de"}, product));
}

// The pages speak the language of the program's own messages: every
// LANGID of its string table chooses that very row, the rest English.
TEST(InstallLanguage, FollowsTheProgramsStringTable) {
    const LANGID stringTable[] = {0x0409, 0x0407, 0x040C, 0x0410, 0x0411, 0x0C0A, 0x0416,
                                  0x0413, 0x0412, 0x0419, 0x0405, 0x0804, 0x0404};
    const std::vector<LanguageIndex> product = SupportedProductLanguages();
    for (LANGID id : stringTable) {
        const LanguageIndex ui = LanguageIndexFromUiLanguage(id);
        EXPECT_EQ(id, GetLanguageId(ui)) << std::hex << id;
        EXPECT_EQ(ui, SelectInstallLanguage(ui, kShippedPages, product)) << std::hex << id;
    }
    EXPECT_EQ(kEnglishLanguage,
              SelectInstallLanguage(LanguageIndexFromUiLanguage(0x041D), kShippedPages, product));
}

TEST(InstallLanguage, UsesThisUsersInterfaceLanguage) {
    const std::vector<LanguageIndex> product = SupportedProductLanguages();
    EXPECT_EQ(SelectInstallLanguage(GetUiLanguageIndex(), kShippedPages, product),
              SelectInstallLanguage(kShippedPages, product));
    EXPECT_EQ(LanguageIndexFromUiLanguage(GetUserDefaultUILanguage()), GetUiLanguageIndex());
}

} // namespace
