#include "base/Utf8.h"

#include <gtest/gtest.h>

namespace {

TEST(ToUtf8, EncodesWithoutMarkOrTerminator) {
    EXPECT_EQ("", ToUtf8(L""));
    EXPECT_EQ("abc", ToUtf8(L"abc"));
    EXPECT_EQ("Caf\xc3\xa9 \xe6\x97\xa5", ToUtf8(L"Caf\u00e9 \u65e5"));
    EXPECT_EQ("\xf0\x9f\x98\x80", ToUtf8(L"\xd83d\xde00"));
}

TEST(FromUtf8, DecodesAndReplacesInvalidBytes) {
    const struct {
        std::string bytes;
        std::wstring text;
    } cases[] = {
        {"", L""},
        {"abc", L"abc"},
        {"Caf\xc3\xa9 \xe6\x97\xa5", L"Caf\u00e9 \u65e5"},
        {"\xf0\x9f\x98\x80", L"\xd83d\xde00"},
        // One bad byte becomes U+FFFD and the rest survives.
        {"a\xff"
         "b",
         L"a\xfffd"
         L"b"},
        {std::string("a\0b", 3), std::wstring(L"a\0b", 3)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.text, FromUtf8(c.bytes.data(), c.bytes.size())) << c.bytes;
    }
}

} // namespace
