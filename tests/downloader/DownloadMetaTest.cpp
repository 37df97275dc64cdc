#include "downloader/DownloadSimpleTask.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

using downloader::DownloadMeta;
using downloader::MetaBlockCount;
using downloader::ParseDownloadMeta;

constexpr int64_t kMiB = 1048576;

// A companion: the size as 8 bytes little-endian, then `digestBytes` bytes
// where digest i holds the byte value i + 1 throughout.
std::string Companion(int64_t size, size_t digestBytes) {
    std::string bytes;
    const uint64_t value = static_cast<uint64_t>(size);
    for (int i = 0; i < 8; ++i) {
        bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
    for (size_t i = 0; i < digestBytes; ++i) {
        bytes += static_cast<char>(i / 20 + 1);
    }
    return bytes;
}

struct MetaCase {
    const char* what;
    std::string bytes;
    long expected;
    size_t blocks; // when valid
};

class DownloadMetaParse : public ::testing::TestWithParam<MetaCase> {};

TEST_P(DownloadMetaParse, AcceptsExactlyTheValidLayouts) {
    const MetaCase& c = GetParam();
    DownloadMeta meta;
    ASSERT_EQ(c.expected, ParseDownloadMeta(c.bytes.data(), c.bytes.size(), meta)) << c.what;
    if (c.expected != S_OK) {
        return;
    }
    int64_t size = 0;
    for (int i = 7; i >= 0; --i) {
        size = size * 256 + static_cast<unsigned char>(c.bytes[i]);
    }
    EXPECT_EQ(size, meta.fileSize) << c.what;
    ASSERT_EQ(c.blocks, meta.blockDigests.size()) << c.what;
    for (size_t i = 0; i < c.blocks; ++i) {
        EXPECT_EQ(std::string(20, static_cast<char>(i + 1)),
                  std::string(reinterpret_cast<const char*>(meta.blockDigests[i].data()), 20))
            << c.what << ", digest " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, DownloadMetaParse,
    ::testing::Values(MetaCase{"no bytes", std::string(), E_FAIL, 0},
                      MetaCase{"7 bytes", std::string(7, '\0'), E_FAIL, 0},
                      MetaCase{"size 0 in 8 bytes", Companion(0, 0), S_OK, 0},
                      MetaCase{"size 0 and one byte more", Companion(0, 1), E_FAIL, 0},
                      MetaCase{"size 0 and a digest", Companion(0, 20), E_FAIL, 0},
                      MetaCase{"size 1 with one digest", Companion(1, 20), S_OK, 1},
                      MetaCase{"1 MiB in 28 bytes", Companion(kMiB, 20), S_OK, 1},
                      MetaCase{"1 MiB in 27 bytes", Companion(kMiB, 19), E_FAIL, 0},
                      MetaCase{"1 MiB in 29 bytes", Companion(kMiB, 21), E_FAIL, 0},
                      MetaCase{"1 MiB in 48 bytes", Companion(kMiB, 40), E_FAIL, 0},
                      MetaCase{"1 MiB + 1 in 48 bytes", Companion(kMiB + 1, 40), S_OK, 2},
                      MetaCase{"1 MiB + 1 in 47 bytes", Companion(kMiB + 1, 39), E_FAIL, 0},
                      MetaCase{"1 MiB + 1 in 49 bytes", Companion(kMiB + 1, 41), E_FAIL, 0},
                      MetaCase{"1 MiB + 1 in 28 bytes", Companion(kMiB + 1, 20), E_FAIL, 0},
                      MetaCase{"5 MiB in 108 bytes", Companion(5 * kMiB, 100), S_OK, 5},
                      // A negative size would make a file of no size at all; it is refused
                      // although the block count formula gives 0 blocks for it.
                      MetaCase{"size -1 in 8 bytes", Companion(-1, 0), E_FAIL, 0},
                      MetaCase{"size -1 MiB in 8 bytes", Companion(-kMiB, 0), E_FAIL, 0},
                      MetaCase{"size -1 with a digest", Companion(-1, 20), E_FAIL, 0},
                      MetaCase{"smallest size in 8 bytes", Companion(INT64_MIN, 0), E_FAIL, 0},
                      MetaCase{"largest size in 8 bytes", Companion(INT64_MAX, 0), E_FAIL, 0}));

TEST(DownloadMetaLayout, BlockCountIsTheNumberOfStartedMebibytes) {
    EXPECT_EQ(0, MetaBlockCount(0, 8));
    EXPECT_EQ(1, MetaBlockCount(1, 28));
    EXPECT_EQ(1, MetaBlockCount(kMiB, 28));
    EXPECT_EQ(2, MetaBlockCount(kMiB + 1, 48));
    EXPECT_EQ(256, MetaBlockCount(256 * kMiB, 8 + 20 * 256));
}

TEST(DownloadMetaLayout, BlockCountMustStayBelowTheLimit) {
    // 0x3FFFFFF blocks is the most a companion may list; its length (about
    // 1.3 GB) is checked without the bytes.
    const int64_t most = 0x3FFFFFF;
    EXPECT_EQ(most, MetaBlockCount(most * kMiB, 8 + 20 * static_cast<uint64_t>(most)));
    EXPECT_EQ(most, MetaBlockCount(most * kMiB - kMiB + 1, 8 + 20 * static_cast<uint64_t>(most)));
    const int64_t limit = 0x4000000;
    EXPECT_EQ(-1, MetaBlockCount(limit * kMiB, 8 + 20 * static_cast<uint64_t>(limit)));
    EXPECT_EQ(-1, MetaBlockCount(most * kMiB + 1, 8 + 20 * static_cast<uint64_t>(limit)));
    EXPECT_EQ(-1, MetaBlockCount(INT64_MAX, 8 + 20 * static_cast<uint64_t>(limit)));
    EXPECT_EQ(-1, MetaBlockCount(most * kMiB, 8 + 20 * static_cast<uint64_t>(most) + 1));
}

TEST(DownloadMetaLayout, NegativeSizesAreRefused) {
    EXPECT_EQ(-1, MetaBlockCount(-1, 8));
    EXPECT_EQ(-1, MetaBlockCount(-kMiB, 8));
    EXPECT_EQ(-1, MetaBlockCount(INT64_MIN, 8));
}

TEST(DownloadMetaBytes, NoBufferIsMalformed) {
    DownloadMeta meta;
    EXPECT_EQ(E_FAIL, ParseDownloadMeta(nullptr, 0, meta));
}

} // namespace
