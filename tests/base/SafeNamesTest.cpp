#include "base/SafeNames.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <utility>

namespace {

TEST(IsSafeRelativeName, AcceptsPlainRelativeNamesOnly) {
    const std::pair<const wchar_t*, bool> cases[] = {
        // Plain names.
        {L"a.txt", true},
        {L"sub\\a.txt", true},
        {L"a..b\\c", true},
        {L"a b\\c d.txt", true},
        {L"setup.exe", true},
        {L"se\u00f1al.png", true},
        {L"console.txt", true},
        {L"COM10", true},
        {L"LPT", true},
        {L"nullable.txt", true},
        {L"sub\\connection\\a.txt", true},
        // Leaving the folder, or naming another place.
        {L"", false},
        {L"..", false},
        {L".", false},
        {L"..\\a", false},
        {L"a\\..\\..\\b", false},
        {L"a\\..", false},
        {L"\\a", false},
        {L"\\\\server\\share\\a", false},
        {L"C:\\a", false},
        {L"C:a", false},
        {L"a.txt:stream", false},
        {L"a/../b", false},
        // Segments Windows or path canonicalisation would change.
        {L"a\\...\\b", false},
        {L"a\\.. \\b", false},
        {L"..x\\a", false},
        {L"a\\..x", false},
        {L"x..\\a", false},
        {L".hidden", false},
        {L"sub\\.\\a", false},
        {L" a", false},
        {L"a \\b", false},
        {L"a.txt.", false},
        {L"a\\\\b", false},
        {L"sub\\", false},
        {L"\\", false},
        // Characters no file name holds.
        {L"a*b", false},
        {L"a?b", false},
        {L"a|b", false},
        {L"a<b>", false},
        {L"a\"b", false},
        {L"a\tb", false},
        {L"a\x01"
         L"b",
         false},
        // Devices, in any segment, any case, with or without an extension.
        {L"CON", false},
        {L"con.txt", false},
        {L"sub\\nul", false},
        {L"nul\\inner.txt", false},
        {L"Aux .html", false},
        {L"PRN.tar.gz", false},
        {L"COM0", false},
        {L"com1", false},
        {L"lpt9.log", false},
        {L"COM\u00b9", false},
        {L"CONIN$", false},
        {L"conout$.txt", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.second, IsSafeRelativeName(c.first))
            << testing::PrintToString(std::wstring(c.first));
    }
}

TEST(ResolveInsideFolder, JoinsAsTextAndKeepsToTheFolder) {
    const std::wstring folder = L"C:\\data\\out";
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"a.txt", L"C:\\data\\out\\a.txt"},
        {L"sub\\b.txt", L"C:\\data\\out\\sub\\b.txt"},
        {L"sub\\", L"C:\\data\\out\\sub\\"},
        // Taken as a name of its own, not as the parent.
        {L"..x\\a.txt", L"C:\\data\\out\\..x\\a.txt"},
        // A sibling whose name starts with the folder's is outside.
        {L"..\\outx\\a.txt", L""},
        {L"..\\out", L""},
        // Only where the path lands counts here; the name check refuses "..".
        {L"..\\out\\a.txt", L"C:\\data\\out\\a.txt"},
        {L"..", L""},
        {L".", L""},
        {L"", L""},
    };
    for (const auto& c : cases) {
        const std::wstring name = c.first;
        EXPECT_EQ(std::wstring(c.second), ResolveInsideFolder(folder, name))
            << testing::PrintToString(name);
        EXPECT_EQ(std::wstring(c.second), ResolveInsideFolder(folder + L"\\", name))
            << testing::PrintToString(name);
    }
    EXPECT_EQ(L"", ResolveInsideFolder(folder, std::wstring(MAX_PATH, L'n')));
    EXPECT_EQ(L"", ResolveInsideFolder(L"", L"a.txt"));
}

} // namespace
