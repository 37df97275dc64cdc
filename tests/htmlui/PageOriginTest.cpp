// Which documents are the program's own pages, and which addresses may go to
// the shell: decided on the URL alone, as a table.
#include "htmlui/PageOrigin.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

const wchar_t kPages[] = L"C:\\users\\me\\Temp\\bcpages\\";

TEST(PageOrigin, OnlyFilesBelowThePagesFolderAreOwnPages) {
    struct Case {
        const wchar_t* url;
        bool own;
    } cases[] = {
        // The forms a document reports for a page it loaded from the folder.
        {L"file:///C:/users/me/Temp/bcpages/Load.html", true},
        {L"file://C:/users/me/Temp/bcpages/Load.html", true},
        {L"file:/C:/users/me/Temp/bcpages/Load.html", true},
        {L"FILE:///c:/USERS/me/temp/BCPAGES/Welcome.html", true},
        {L"file:///C|/users/me/Temp/bcpages/Load.html", true},
        {L"file:///C:\\users\\me\\Temp\\bcpages\\Load.html", true},
        {L"C:\\users\\me\\Temp\\bcpages\\Load.html", true},
        {L"file:///C:/users/me/Temp/bcpages/js/../Load.html", false},
        {L"file:///C:/users/me/Temp/bcpages/Installing.html?step=2#top", true},
        {L"file:///C:/users/me/Temp/bcpages/sub%20dir/Eula.html", true},
        {L"file:///C:/users/me/Temp/bcpages/images/se%C3%B1al.png", true},
        // Not below the folder.
        {L"file:///C:/users/me/Temp/bcpages/", false},
        {L"file:///C:/users/me/Temp/bcpages", false},
        {L"file:///C:/users/me/Temp/bcpagesX/Load.html", false},
        {L"file:///C:/users/me/Temp/Load.html", false},
        {L"file:///D:/users/me/Temp/bcpages/Load.html", false},
        {L"file:///C:/users/me/Temp/bcpages/../evil.html", false},
        {L"file:///C:/users/me/Temp/bcpages/%2E%2E/evil.html", false},
        {L"file:///C:/users/me/Temp/bcpages/..%5Cevil.html", false},
        {L"file:///C:/users/me/Temp/bcpages/.../evil.html", false},
        {L"file:///C:/users/me/Temp/bcpages/./Load.html", false},
        {L"file:///C:/users/me/Temp/bcpages//Load.html", false},
        {L"file:///C:/users/me/Temp/bcpages/Load.html:stream", false},
        {L"file:///C:/users/me/Temp/bcpages/Load%00.html", false},
        {L"file:///C:/users/me/Temp/bcpages/Load%2.html", false},
        {L"file:////C:/users/me/Temp/bcpages/Load.html", false},
        {L"file://server/share/users/me/Temp/bcpages/Load.html", false},
        {L"file://?/C:/users/me/Temp/bcpages/Load.html", false},
        {L"\\\\?\\C:\\users\\me\\Temp\\bcpages\\Load.html", false},
        {L"\\\\server\\share\\bcpages\\Load.html", false},
        // Other schemes, whatever their path says.
        {L"http://attacker.test/C:/users/me/Temp/bcpages/Load.html", false},
        {L"https://attacker.test/", false},
        {L"res://ieframe.dll/navcancl.htm", false},
        {L"about:blank", false},
        {L"javascript:alert(1)", false},
        {L"mk:@MSITStore:C:/users/me/Temp/bcpages/x.chm::/a.htm", false},
        {L"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.own, htmlui::IsOwnPage(c.url, kPages)) << Narrow(c.url);
    }
    // Without a folder nothing is an own page.
    EXPECT_FALSE(htmlui::IsOwnPage(L"file:///C:/users/me/Temp/bcpages/Load.html", L""));
    EXPECT_FALSE(htmlui::IsOwnPage(L"file:///C:/users/me/Temp/bcpages/Load.html",
                                   L"C:\\users\\me\\Temp\\bcpages"));
}

TEST(PageOrigin, TheFolderOfTheFirstPageInEitherForm) {
    EXPECT_EQ(L"C:\\pages\\", htmlui::PageFolder(L"C:\\pages\\Load.html"));
    EXPECT_EQ(L"C:\\a b\\pages\\", htmlui::PageFolder(L"file:///C:/a%20b/pages/Load.html"));
    EXPECT_EQ(L"", htmlui::PageFolder(L"http://x/pages/Load.html"));
    EXPECT_EQ(L"", htmlui::PageFolder(L"C:\\pages\\..\\Load.html"));
    std::wstring path = L"left over";
    EXPECT_FALSE(htmlui::PageFilePath(L"about:blank", path));
    EXPECT_EQ(L"", path);
    ASSERT_TRUE(htmlui::PageFilePath(L"file:///c:/x/y.html?q#f", path));
    EXPECT_EQ(L"c:\\x\\y.html", path);
}

TEST(PageOrigin, OnlyWebAddressesGoToTheShell) {
    struct Case {
        const wchar_t* url;
        bool web;
    } cases[] = {
        {L"http://www.example.test/thanks?lang=fr&x=1", true},
        {L"https://example.test", true},
        {L"HTTPS://Example.test/Path#frag", true},
        {L"http://127.0.0.1:8080/", true},
        {L"file:///C:/Windows/System32/calc.exe", false},
        {L"C:\\Windows\\System32\\cmd.exe", false},
        {L"cmd.exe", false},
        {L"\\\\server\\share\\run.exe", false},
        {L"javascript:alert(1)", false},
        {L"ms-settings:", false},
        {L"mailto:a@example.test", false},
        {L"httpx://example.test/", false},
        {L"http:/example.test/", false},
        {L"http://", false},
        {L"http:///path", false},
        {L"http://@example.test/", false},
        {L"http://example.test/a b", false},
        {L"http://example.test/\"x", false},
        {L"http://example.test/\tx", false},
        {L"http://example.test/\nx", false},
        {L" http://example.test/", false},
        {L"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.web, htmlui::IsWebAddress(c.url)) << Narrow(c.url);
    }
}

} // namespace
