// The owning wrappers: each closes exactly what it owns, once, and hands
// ownership over on move or Release.

#include "base/OleValues.h"
#include "base/UniqueHandle.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

bool IsOpenHandle(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
}

TEST(UniqueHandle, ClosesWhatItOwnsAtTheEndOfItsScope) {
    HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, raw);
    {
        KernelHandle event(raw);
        EXPECT_TRUE(event.IsValid());
        EXPECT_EQ(raw, event.Get());
        EXPECT_TRUE(IsOpenHandle(raw));
    }
    EXPECT_FALSE(IsOpenHandle(raw));
}

TEST(UniqueHandle, ReleaseGivesOwnershipUpAndMoveHandsItOver) {
    HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, raw);
    KernelHandle first(raw);
    KernelHandle second(std::move(first));
    EXPECT_FALSE(first.IsValid());
    EXPECT_EQ(raw, second.Get());
    KernelHandle third;
    third = std::move(second);
    EXPECT_FALSE(second.IsValid());
    EXPECT_TRUE(IsOpenHandle(raw));
    EXPECT_EQ(raw, third.Release());
    EXPECT_FALSE(third.IsValid());
    EXPECT_TRUE(IsOpenHandle(raw)) << "Release must not close";
    EXPECT_TRUE(CloseHandle(raw));
}

TEST(UniqueHandle, ResetAndReceiveCloseTheOldHandleFirst) {
    HANDLE a = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE b = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(a && b);
    KernelHandle event(a);
    event.Reset(b);
    EXPECT_FALSE(IsOpenHandle(a));
    EXPECT_TRUE(IsOpenHandle(b));
    HANDLE* slot = event.Receive();
    EXPECT_FALSE(IsOpenHandle(b));
    EXPECT_EQ(nullptr, *slot);
}

TEST(UniqueHandle, FileHandlesTreatInvalidHandleValueAsNone) {
    FileHandle none;
    EXPECT_FALSE(none.IsValid());
    EXPECT_EQ(INVALID_HANDLE_VALUE, none.Get());
    FileHandle failed(CreateFileW(L"C:\\no such folder\\no such file", GENERIC_READ, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(failed.IsValid());
    // NULL is a value a file handle never has; it is not "none" for files.
    RegistryKey key;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ, key.Receive()));
    EXPECT_TRUE(key.IsValid());
}

TEST(Bstr, CopiesTextAndFreesIt) {
    Bstr empty;
    EXPECT_EQ(nullptr, empty.Get());
    EXPECT_STREQ(L"", empty.Text());
    EXPECT_EQ(0u, empty.Length());
    Bstr text(L"a\u00e9b");
    ASSERT_NE(nullptr, text.Get());
    EXPECT_EQ(3u, text.Length());
    EXPECT_STREQ(L"a\u00e9b", text.Text());
    Bstr moved(std::move(text));
    EXPECT_EQ(nullptr, text.Get());
    EXPECT_STREQ(L"a\u00e9b", moved.Text());
    BSTR raw = moved.Release();
    EXPECT_EQ(nullptr, moved.Get());
    SysFreeString(raw);
    BSTR* slot = moved.Receive();
    *slot = SysAllocString(L"filled");
    EXPECT_STREQ(L"filled", moved.Text());
}

TEST(Variant, StartsEmptyAndClearsItsValue) {
    Variant value;
    EXPECT_EQ(VT_EMPTY, value.Type());
    VARIANT* slot = value.Receive();
    slot->vt = VT_BSTR;
    slot->bstrVal = SysAllocString(L"owned");
    EXPECT_EQ(VT_BSTR, value.Type());
    // Receive clears the old value (a leak here would show under a heap checker).
    slot = value.Receive();
    EXPECT_EQ(VT_EMPTY, slot->vt);
}

} // namespace
