#include "base/LanguageTable.h"

#include <algorithm>

const LanguageRow LanguageTable[kLanguageCount] = {
    {L"other", L"Other", 0x0409},            // 0
    {L"en", L"English", 0x0409},             // 1
    {L"fr", L"French", 0x040C},              // 2
    {L"de", L"German", 0x0407},              // 3
    {L"it", L"Italian", 0x0410},             // 4
    {L"jp", L"Japanese", 0x0411},            // 5
    {L"es", L"Spanish", 0x0C0A},             // 6
    {L"pt", L"Portuguese", 0x0416},          // 7
    {L"nl", L"Dutch", 0x0413},               // 8
    {L"ko", L"Korean", 0x0412},              // 9
    {L"ru", L"Russian", 0x0419},             // 10
    {L"cs", L"Czech", 0x0405},               // 11
    {L"zh", L"Simplified Chinese", 0x0804},  // 12
    {L"tw", L"Traditional Chinese", 0x0404}, // 13
    {L"af", L"Afrikaans", 0x0436},           // 14
    {L"sq", L"Albanian", 0x041C},            // 15
    {L"am", L"Amharic", 0x045E},             // 16
    {L"ar", L"Arabic", 0x0401},              // 17
    {L"hy", L"Armenian", 0x042B},            // 18
    {L"as", L"Assamese", 0x044D},            // 19
    {L"ba", L"Bashkir", 0x046D},             // 20
    {L"eu", L"Basque", 0x042D},              // 21
    {L"be", L"Belarusian", 0x0423},          // 22
    {L"bn", L"Bengali", 0x0445},             // 23
    {L"br", L"Breton", 0x047E},              // 24
    {L"bs", L"Bosnian", 0x141A},             // 25
    {L"bg", L"Bulgarian", 0x0402},           // 26
    {L"ca", L"Catalan", 0x0403},             // 27
    {L"co", L"Corsican", 0x0483},            // 28
    {L"hr", L"Croatian", 0x041A},            // 29
    {L"da", L"Danish", 0x0406},              // 30
    {L"dv", L"Divehi", 0x0465},              // 31
    {L"et", L"Estonian", 0x0425},            // 32
    {L"fi", L"Finnish", 0x040B},             // 33
    {L"fy", L"Frisian", 0x0462},             // 34
    {L"gl", L"Galician", 0x0456},            // 35
    {L"ka", L"Georgian", 0x0437},            // 36
    {L"el", L"Greek", 0x0408},               // 37
    {L"kl", L"Greenlandic", 0x046F},         // 38
    {L"gu", L"Gujarati", 0x0447},            // 39
    {L"ha", L"Hausa", 0x0468},               // 40
    {L"he", L"Hebrew", 0x040D},              // 41
    {L"hi", L"Hindi", 0x0439},               // 42
    {L"hu", L"Hungarian", 0x040E},           // 43
    {L"is", L"Icelandic", 0x040F},           // 44
    {L"ig", L"Igbo", 0x0470},                // 45
    {L"id", L"Indonesian", 0x0421},          // 46
    {L"iu", L"Inuktitut", 0x045D},           // 47
    {L"ga", L"Irish", 0x083C},               // 48
    {L"kn", L"Kannada", 0x044B},             // 49
    {L"ks", L"Kashmiri", 0x0860},            // 50
    {L"kk", L"Kazakh", 0x043F},              // 51
    {L"km", L"Khmer", 0x0453},               // 52
    {L"rw", L"Kinyarwanda", 0x0487},         // 53
    {L"ky", L"Kyrgyz", 0x0440},              // 54
    {L"lo", L"Lao", 0x0454},                 // 55
    {L"lv", L"Latvian", 0x0426},             // 56
    {L"lt", L"Lithuanian", 0x0427},          // 57
    {L"lb", L"Luxembourgish", 0x046E},       // 58
    {L"mk", L"Macedonian", 0x042F},          // 59
    {L"ms", L"Malay", 0x043E},               // 60
    {L"ml", L"Malayalam", 0x044C},           // 61
    {L"mt", L"Maltese", 0x043A},             // 62
    {L"mi", L"Maori", 0x0481},               // 63
    {L"mr", L"Marathi", 0x044E},             // 64
    {L"mn", L"Mongolian", 0x0450},           // 65
    {L"ne", L"Nepali", 0x0861},              // 66
    {L"no", L"Norwegian", 0x0414},           // 67
    {L"oc", L"Occitan", 0x0482},             // 68
    {L"or", L"Oriya", 0x0448},               // 69
    {L"ps", L"Pashto", 0x0463},              // 70
    {L"fa", L"Persian", 0x0429},             // 71
    {L"pl", L"Polish", 0x0415},              // 72
    {L"pa", L"Punjabi", 0x0446},             // 73
    {L"qu", L"Quechua", 0x046B},             // 74
    {L"ro", L"Romanian", 0x0418},            // 75
    {L"rm", L"Romansh", 0x0417},             // 76
    {L"se", L"Sami", 0x043B},                // 77
    {L"sa", L"Sanskrit", 0x044F},            // 78
    {L"gd", L"Scottish Gaelic", 0x0491},     // 79
    {L"sr", L"Serbian", 0x181A},             // 80
    {L"sd", L"Sindhi", 0x0459},              // 81
    {L"si", L"Sinhalese", 0x045B},           // 82
    {L"sk", L"Slovak", 0x041B},              // 83
    {L"sl", L"Slovenian", 0x0424},           // 84
    {L"st", L"Sotho", 0x046C},               // 85
    {L"sw", L"Swahili", 0x0441},             // 86
    {L"sv", L"Swedish", 0x041D},             // 87
    {L"tg", L"Tajik", 0x0428},               // 88
    {L"ta", L"Tamil", 0x0449},               // 89
    {L"tt", L"Tatar", 0x0444},               // 90
    {L"te", L"Telugu", 0x044A},              // 91
    {L"th", L"Thai", 0x041E},                // 92
    {L"bo", L"Tibetan", 0x0451},             // 93
    {L"tn", L"Tswana", 0x0432},              // 94
    {L"tr", L"Turkish", 0x041F},             // 95
    {L"tk", L"Turkmen", 0x0442},             // 96
    {L"ug", L"Uighur", 0x0480},              // 97
    {L"uk", L"Ukrainian", 0x0422},           // 98
    {L"ur", L"Urdu", 0x0420},                // 99
    {L"uz", L"Uzbek", 0x0443},               // 100
    {L"vi", L"Vietnamese", 0x042A},          // 101
    {L"cy", L"Welsh", 0x0452},               // 102
    {L"wo", L"Wolof", 0x0488},               // 103
    {L"xh", L"Xhosa", 0x0434},               // 104
    {L"yi", L"Yiddish", 0x0478},             // 105
    {L"yo", L"Yoruba", 0x046A},              // 106
    {L"zu", L"Zulu", 0x0435},                // 107
};

namespace {

const LanguageRow& Row(LanguageIndex index) {
    return LanguageTable[index >= 0 && index < kLanguageCount ? index : kOtherLanguage];
}

// Rows that the primary-language search skips: "other", the Korean and
// Czech rows (only their exact ids select them), "tw" (a second Chinese
// row) and the Serbo-Croatian family, which the full id decides.
bool SkippedByPrimarySearch(LanguageIndex index) {
    switch (index) {
    case 0:
    case 9:
    case 11:
    case 13:
    case 25:
    case 29:
    case 80:
        return true;
    default:
        return false;
    }
}

} // namespace

std::wstring GetLanguageCode(LanguageIndex index) {
    return Row(index).code;
}

std::wstring GetLanguageName(LanguageIndex index) {
    return Row(index).name;
}

LANGID GetLanguageId(LanguageIndex index) {
    return Row(index).langId;
}

LanguageIndex LanguageIndexFromUiLanguage(LANGID uiLanguage) {
    switch (uiLanguage) {
    case 1033:
        return 1;
    case 1036:
        return 2;
    case 1031:
        return 3;
    case 1040:
        return 4;
    case 1041:
        return 5;
    case 2058:
    case 3082:
        return 6;
    case 1046:
    case 2070:
        return 7;
    case 1043:
        return 8;
    case 1042:
        return 9;
    case 1049:
        return 10;
    case 1029:
        return 11;
    case 2052:
    case 4100:
        return 12;
    case 1028:
    case 3076:
    case 5124:
        return 13;
    default:
        return LanguageIndexFromPrimaryLanguage(uiLanguage);
    }
}

LanguageIndex GetUiLanguageIndex() {
    return LanguageIndexFromUiLanguage(GetUserDefaultUILanguage());
}

LanguageIndex LanguageIndexFromPrimaryLanguage(LANGID id) {
    const unsigned primary = id & 0x3FF;
    if (primary == 0x1A) {
        switch (id) {
        case 1050:
        case 2074:
        case 3098:
        case 6170:
        case 7194:
        case 9242:
        case 10266:
        case 11290:
        case 12314:
            return 80;
        case 5146:
        case 8218:
            return 25;
        case 4122:
            return 29;
        default:
            return kOtherLanguage;
        }
    }
    for (LanguageIndex index = 0; index < kLanguageCount; ++index) {
        if (!SkippedByPrimarySearch(index) && (LanguageTable[index].langId & 0x3FF) == primary) {
            return index;
        }
    }
    return kOtherLanguage;
}

std::vector<LanguageIndex> SupportedProductLanguages() {
    // The rows of the program's own string table: its pages speak each of
    // them, so the pages and the program's messages choose alike.
    return {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
}

LanguageIndex SelectInstallLanguage(LanguageIndex ui, const std::vector<std::wstring>& page,
                                    const std::vector<LanguageIndex>& product) {
    if (product.empty()) {
        // Not a valid call; English is the last resort of every choice.
        return kEnglishLanguage;
    }
    const bool inProduct = std::find(product.begin(), product.end(), ui) != product.end();
    if (page.empty()) {
        return inProduct ? ui : product.front();
    }
    const std::wstring uiCode = GetLanguageCode(ui);
    const bool inPage = std::find(page.begin(), page.end(), uiCode) != page.end();
    if (inProduct && inPage) {
        return ui;
    }
    for (LanguageIndex candidate : product) {
        if (GetLanguageCode(candidate) == page.front()) {
            return candidate;
        }
    }
    return product.front();
}

LanguageIndex SelectInstallLanguage(const std::vector<std::wstring>& page,
                                    const std::vector<LanguageIndex>& product) {
    return SelectInstallLanguage(GetUiLanguageIndex(), page, product);
}
