#include "downloader/PackageCheck.h"

#include "downloader/HashTask.h"
#include "tests/common/PkgServer.h"
#include "tests/common/TestUtil.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>

namespace {

constexpr size_t kMiB = 1048576;

downloader::DownloadMeta CompanionOf(const std::string& bytes) {
    downloader::DownloadMeta meta;
    meta.fileSize = static_cast<int64_t>(bytes.size());
    for (size_t offset = 0; offset < bytes.size(); offset += kMiB) {
        std::array<uint8_t, 20> digest;
        const size_t size = std::min(kMiB, bytes.size() - offset);
        EXPECT_TRUE(downloader::Sha1Digest(bytes.data() + offset, size, digest.data()));
        meta.blockDigests.push_back(digest);
    }
    return meta;
}

// The file as the companion describes it, and as it may be found later.
TEST(PackageCheck, EveryBlockAndTheSizeMustMatch) {
    testutil::ScratchFolder scratch;
    const std::string package = testutil::PatternBytes(3 * kMiB + 4321, 7);
    const downloader::DownloadMeta meta = CompanionOf(package);
    const struct {
        const char* what;
        std::function<std::string()> file;
        long result;
        int64_t badBlock;
    } cases[] = {
        {"as verified", [&] { return package; }, S_OK, -1},
        {"a byte of the first block",
         [&] {
             std::string b = package;
             b[10] ^= 1;
             return b;
         },
         downloader::kErrorDataMismatch, 0},
        {"a byte of the short last block",
         [&] {
             std::string b = package;
             b[b.size() - 1] ^= 1;
             return b;
         },
         downloader::kErrorDataMismatch, 3},
        {"a block of another package",
         [&] {
             return package.substr(0, 2 * kMiB) + testutil::PatternBytes(kMiB, 8) +
                    package.substr(3 * kMiB);
         },
         downloader::kErrorDataMismatch, 2},
        {"one byte shorter", [&] { return package.substr(0, package.size() - 1); },
         downloader::kErrorDataMismatch, -1},
        {"one byte longer", [&] { return package + "x"; }, downloader::kErrorDataMismatch, -1},
    };
    for (const auto& c : cases) {
        const std::wstring path = scratch / L"package.zip";
        ASSERT_TRUE(testutil::WriteFileBytes(path, c.file()));
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        // Wherever the file pointer is: the reads are positioned.
        LARGE_INTEGER middle;
        middle.QuadPart = 12345;
        SetFilePointerEx(file, middle, nullptr, FILE_BEGIN);
        const downloader::PackageCheck check = downloader::CheckFileAgainstCompanion(file, meta);
        CloseHandle(file);
        EXPECT_EQ(c.result, check.result) << c.what << std::hex << " " << check.result;
        EXPECT_EQ(c.badBlock, check.badBlock) << c.what;
    }
}

TEST(PackageCheck, AnEmptyPackageHasNoBlocks) {
    testutil::ScratchFolder scratch;
    ASSERT_TRUE(testutil::WriteFileBytes(scratch / L"empty.zip", ""));
    HANDLE file = CreateFileW((scratch / L"empty.zip").c_str(), GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_EQ(S_OK, downloader::CheckFileAgainstCompanion(file, CompanionOf("")).result);
    CloseHandle(file);
}

// Asked before each block: the check ends with E_ABORT after as many blocks
// as it was let go on.
TEST(PackageCheck, StopsWhenAsked) {
    testutil::ScratchFolder scratch;
    const std::string package = testutil::PatternBytes(4 * kMiB, 3);
    ASSERT_TRUE(testutil::WriteFileBytes(scratch / L"p.zip", package));
    HANDLE file = CreateFileW((scratch / L"p.zip").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    int asked = 0;
    const downloader::PackageCheck check = downloader::CheckFileAgainstCompanion(
        file, CompanionOf(package), [&] { return ++asked == 3; });
    CloseHandle(file);
    EXPECT_EQ(E_ABORT, check.result);
    EXPECT_EQ(3, asked);
}

// A handle without read access: the read's own error.
TEST(PackageCheck, AnUnreadableHandleGivesTheReadError) {
    testutil::ScratchFolder scratch;
    const std::string package = testutil::PatternBytes(kMiB + 1, 4);
    ASSERT_TRUE(testutil::WriteFileBytes(scratch / L"p.zip", package));
    HANDLE file = CreateFileW((scratch / L"p.zip").c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED),
              downloader::CheckFileAgainstCompanion(file, CompanionOf(package)).result);
    CloseHandle(file);
}

} // namespace
