#include "zip/ZipAddFile.h"
#include "zip/ZipExtract.h"

#include "tests/common/ZipReading.h"
#include "tests/zip/ZipTestUtil.h"

#include <gtest/gtest.h>

#include <unzip.h>

namespace {

TEST(ZipAddFile, TwoCallsMakeOneZipWithBareNames) {
    testutil::ScratchFolder scratch;
    ASSERT_TRUE(CreateDirectoryW((scratch / L"logs").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((scratch / L"other dir").c_str(), nullptr));
    const std::string log(20000, 'L');
    ASSERT_TRUE(testutil::WriteFileBytes(scratch / L"logs\\installer_log.txt", log));
    ASSERT_TRUE(testutil::WriteFileBytes(scratch / L"other dir\\setup log.txt", "setup\r\nlines"));
    const std::wstring zipPath = scratch / L"log.zip";

    ASSERT_TRUE(zip::ZipAddFile(scratch / L"logs\\installer_log.txt", zipPath));
    ASSERT_TRUE(zip::ZipAddFile(scratch / L"other dir\\setup log.txt", zipPath));

    const std::vector<testutil::ZipEntry> entries = testutil::ReadZip(zipPath);
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ("installer_log.txt", entries[0].name);
    EXPECT_EQ(log, entries[0].content);
    EXPECT_EQ("setup log.txt", entries[1].name);
    EXPECT_EQ("setup\r\nlines", entries[1].content);
    for (const testutil::ZipEntry& e : entries) {
        EXPECT_EQ(static_cast<uLong>(Z_DEFLATED), e.method);
        EXPECT_EQ(2u, e.flag & 6u) << "marked as best compression";
    }
    EXPECT_LT(testutil::ReadFileBytes(zipPath).size(), 1000u) << "the repeated log compresses";
}

TEST(ZipAddFile, AddsAnEmptyFile) {
    testutil::ScratchFolder scratch;
    ASSERT_TRUE(testutil::WriteFileBytes(scratch / L"empty.txt", ""));
    ASSERT_TRUE(zip::ZipAddFile(scratch / L"empty.txt", scratch / L"log.zip"));
    const std::vector<testutil::ZipEntry> entries = testutil::ReadZip(scratch / L"log.zip");
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ("empty.txt", entries[0].name);
    EXPECT_EQ("", entries[0].content);
}

TEST(ZipAddFile, AMissingFileCreatesNoZip) {
    testutil::ScratchFolder scratch;
    EXPECT_FALSE(zip::ZipAddFile(scratch / L"missing.txt", scratch / L"log.zip"));
    EXPECT_FALSE(testutil::FileExists(scratch / L"log.zip"));
}

TEST(ZipAddFile, AMissingFileLeavesAnExistingZipAsItWas) {
    testutil::ScratchFolder scratch;
    ASSERT_TRUE(testutil::WriteFileBytes(scratch / L"a.txt", "aaa"));
    ASSERT_TRUE(zip::ZipAddFile(scratch / L"a.txt", scratch / L"log.zip"));
    const std::string before = testutil::ReadFileBytes(scratch / L"log.zip");
    EXPECT_FALSE(zip::ZipAddFile(scratch / L"missing.txt", scratch / L"log.zip"));
    EXPECT_EQ(before, testutil::ReadFileBytes(scratch / L"log.zip"));
}

TEST(ZipAddFile, RefusesAFileThatIsNotAZipAndKeepsIt) {
    testutil::ScratchFolder scratch;
    ASSERT_TRUE(testutil::WriteFileBytes(scratch / L"a.txt", "aaa"));
    ASSERT_TRUE(testutil::WriteFileBytes(scratch / L"log.zip", "not a zip"));
    EXPECT_FALSE(zip::ZipAddFile(scratch / L"a.txt", scratch / L"log.zip"));
    EXPECT_EQ("not a zip", testutil::ReadFileBytes(scratch / L"log.zip"));
}

class ZipAddFileDiskFull : public testing::Test {
protected:
    void SetUp() override {
        disk_ = testutil::SmallDiskFolder();
        if (disk_.empty()) {
            GTEST_SKIP() << "no small file system mounted (BC_SMALL_DISK unset)";
        }
        zipPath_ = disk_ + L"zip-add.zip";
        DeleteFileW(zipPath_.c_str());
    }
    void TearDown() override {
        if (!zipPath_.empty()) {
            DeleteFileW(zipPath_.c_str());
        }
    }
    std::wstring disk_;
    std::wstring zipPath_;
};

TEST_F(ZipAddFileDiskFull, RemovesAZipItCreated) {
    EXPECT_FALSE(zip::ZipAddFile(ziptest::Fixture("big.bin"), zipPath_));
    EXPECT_FALSE(testutil::FileExists(zipPath_));
}

TEST_F(ZipAddFileDiskFull, KeepsTheEarlierEntriesOfAnExistingZip) {
    testutil::ScratchFolder scratch;
    ASSERT_TRUE(testutil::WriteFileBytes(scratch / L"first.txt", "first entry"));
    ASSERT_TRUE(zip::ZipAddFile(scratch / L"first.txt", zipPath_));
    const std::string before = testutil::ReadFileBytes(zipPath_);

    EXPECT_FALSE(zip::ZipAddFile(ziptest::Fixture("big.bin"), zipPath_));

    EXPECT_EQ(before, testutil::ReadFileBytes(zipPath_));
    const std::vector<testutil::ZipEntry> entries = testutil::ReadZip(zipPath_);
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ("first entry", entries[0].content);
}

} // namespace
