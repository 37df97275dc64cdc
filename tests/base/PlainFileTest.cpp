#include "base/PlainFile.h"
#include "base/UniqueHandle.h"
#include "tests/common/TestUtil.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

TEST(PlainFile, OnlyAPlainFileWithOneNameIsPlain) {
    const DWORD file = FILE_ATTRIBUTE_NORMAL;
    const DWORD link = FILE_ATTRIBUTE_REPARSE_POINT;
    const DWORD folder = FILE_ATTRIBUTE_DIRECTORY;
    const struct {
        DWORD path, handle, links;
        bool plain;
    } cases[] = {
        {file, file, 1, true},
        {FILE_ATTRIBUTE_ARCHIVE, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY, 1, true},
        {file | link, file, 1, false}, // a link to a file, seen by the path
        {file, file | link, 1, false}, // seen by the handle
        {file, file, 2, false},        // a second name of another file
        {file, file, 0, false},        // no name left: deleted under us
        {folder, folder, 1, false},
        {folder | link, folder, 1, false}, // a junction or a link to a folder
        {INVALID_FILE_ATTRIBUTES, file, 1, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.plain, IsPlainFile(c.path, c.handle, c.links))
            << std::hex << c.path << " " << c.handle << " " << c.links;
    }
}

// The same check on real entries: a file, a second name of it, and a link
// to a folder. Opened for writing with no sharing, as the download does, and
// for reading, as the unzip does.
TEST(PlainFile, OpenRefusesLinksAndSecondNames) {
    testutil::ScratchFolder scratch;
    ASSERT_TRUE(testutil::WriteFileBytes(scratch / L"plain.bin", "plain"));
    ASSERT_TRUE(testutil::WriteFileBytes(scratch / L"victim.bin", "keep me"));
    ASSERT_TRUE(CreateHardLinkW((scratch / L"second.bin").c_str(),
                                (scratch / L"victim.bin").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((scratch / L"folder").c_str(), nullptr));
    ASSERT_TRUE(testutil::MakeUnixSymlink(scratch / L"folder", scratch / L"linked.bin"));
    const struct {
        const wchar_t* name;
        DWORD disposition;
        DWORD error; // 0: opened
    } cases[] = {
        {L"plain.bin", OPEN_EXISTING, 0},
        {L"new.bin", OPEN_ALWAYS, 0},
        {L"missing.bin", OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
        {L"second.bin", OPEN_ALWAYS, kNotPlainFileError},
        {L"second.bin", OPEN_EXISTING, kNotPlainFileError},
        {L"linked.bin", OPEN_ALWAYS, kNotPlainFileError},
        {L"linked.bin", OPEN_EXISTING, kNotPlainFileError},
    };
    for (const auto& c : cases) {
        for (const DWORD access :
             {GENERIC_READ | GENERIC_WRITE, static_cast<DWORD>(GENERIC_READ)}) {
            SetLastError(0);
            FileHandle file(
                OpenPlainFile(scratch / c.name, access, 0, c.disposition, FILE_ATTRIBUTE_NORMAL));
            const DWORD error = GetLastError();
            EXPECT_EQ(c.error == 0, file.IsValid()) << Narrow(c.name);
            if (c.error != 0) {
                EXPECT_EQ(c.error, error) << Narrow(c.name);
            }
        }
    }
    EXPECT_EQ("keep me", testutil::ReadFileBytes(scratch / L"victim.bin"));
}

} // namespace
