// The privilege check: the elevation decision over its facts, the real call
// under Wine, and the localized refusal message (closed from the test).
#include "app/Privileges.h"
#include "tests/app/AppTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(Elevation, DecidesFromVersionMembershipAndIntegrityLevel) {
    struct Case {
        ElevationFacts facts;
        bool elevated;
        const char* what;
    } cases[] = {
        {{true, 5, true, 0}, true, "XP administrator: membership is enough"},
        {{true, 5, false, 0}, false, "XP user"},
        {{true, 5, false, 0x3000},
         true,
         "XP user with a high label (never seen, but decided by it)"},
        {{true, 6, true, 0x2000}, false, "Vista+ administrator under UAC, not elevated"},
        {{true, 6, true, 0x3000}, true, "Vista+ administrator, elevated"},
        {{true, 10, false, 0x3000}, true, "high integrity without membership"},
        {{true, 10, true, 0x2FFF}, false, "just below high"},
        {{true, 10, false, 0x4000}, true, "system"},
        {{true, 10, true, 0}, false, "no label read"},
        {{false, 0, true, 0x2000}, false, "version unknown: membership does not count"},
        {{false, 0, true, 0x3000}, true, "version unknown, high label"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.elevated, IsElevatedFor(c.facts)) << c.what;
    }
}

TEST(Elevation, TheRealCallAgreesWithTheTokenUnderWine) {
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    const BOOL known =
        GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
    CloseHandle(token);
    ASSERT_TRUE(known);

    const DWORD level = ProcessIntegrityLevel();
    EXPECT_NE(0u, level) << "the token's label could not be read";
    // An elevated token carries a high label and an unelevated one does not.
    EXPECT_EQ(elevation.TokenIsElevated != 0, level >= kHighIntegrityLevel) << std::hex << level;
    EXPECT_EQ(elevation.TokenIsElevated != 0, IsProcessElevated());
}

// Message boxes seen on this thread: their caption and text, closed as they
// come up.
struct SeenBox {
    std::wstring caption;
    std::wstring text;
    bool owned;
};
std::vector<SeenBox>* seenBoxes = nullptr;

LRESULT CALLBACK CloseBoxes(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE && seenBoxes) {
        HWND box = reinterpret_cast<HWND>(wParam);
        wchar_t className[32] = {};
        GetClassNameW(box, className, 32);
        if (std::wstring(className) == L"#32770") {
            wchar_t caption[256] = {};
            wchar_t text[1024] = {};
            GetWindowTextW(box, caption, 256);
            GetDlgItemTextW(box, 0xFFFF, text, 1024);
            seenBoxes->push_back({caption, text, GetWindow(box, GW_OWNER) != nullptr});
            PostMessageW(box, WM_COMMAND, IDOK, 0);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

class PrivilegeMessageBox : public testing::Test {
protected:
    void SetUp() override {
        seenBoxes = &boxes;
        hook = SetWindowsHookExW(WH_CBT, CloseBoxes, nullptr, GetCurrentThreadId());
        ASSERT_NE(nullptr, hook);
        module = LoadLibraryExW(apptest::ShippedProgram().c_str(), nullptr,
                                LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(nullptr, module);
    }
    void TearDown() override {
        if (hook) {
            UnhookWindowsHookEx(hook);
        }
        seenBoxes = nullptr;
        if (module) {
            FreeLibrary(module);
        }
    }

    std::vector<SeenBox> boxes;
    HHOOK hook = nullptr;
    HMODULE module = nullptr;
};

TEST_F(PrivilegeMessageBox, ShowsTheUserLanguageOrEnglishWithoutAnOwner) {
    struct Case {
        LanguageIndex language;
        const wchar_t* caption;
        const wchar_t* textStart;
    } cases[] = {
        {2, L"Avertissement", L"Vous ne disposez pas des droits suffisants"},      // fr
        {5, L"\u8B66\u544A", L"\u3053\u306E\u30A4\u30F3\u30B9\u30C8\u30FC\u30EB"}, // jp
        {14, L"Warning", L"You do not have sufficient privileges"},                // af: none
        {87, L"Warning", L"You do not have sufficient privileges"},                // sv: none
    };
    for (const Case& c : cases) {
        boxes.clear();
        ShowPrivilegeMessage(module, c.language);
        ASSERT_EQ(1u, boxes.size()) << "language " << c.language;
        EXPECT_EQ(c.caption, boxes[0].caption);
        EXPECT_EQ(0u, boxes[0].text.find(c.textStart)) << apptest::Narrow(boxes[0].text);
        EXPECT_FALSE(boxes[0].owned);
    }
}

TEST_F(PrivilegeMessageBox, AnElevatedProcessPassesTheCheckWithoutAMessage) {
    const bool elevated = IsProcessElevated();
    EXPECT_EQ(elevated, CheckPrivilegesOrWarn(2));
    EXPECT_EQ(elevated ? 0u : 1u, boxes.size());
}

} // namespace
