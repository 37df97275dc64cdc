#include "zip/EntryRanges.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

namespace {

using zip::EntryRange;
using zip::RangeFault;

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

// An entry whose local header of `headerBytes` bytes starts at `at`.
EntryRange Entry(uint64_t at, uint64_t headerBytes, uint64_t compressed) {
    EntryRange entry;
    entry.header = at;
    entry.data = at + headerBytes;
    entry.compressedSize = compressed;
    return entry;
}

struct RangeCase {
    const char* label;
    std::vector<EntryRange> entries;
    uint64_t archiveSize;
    RangeFault fault;
    size_t first;
    size_t second;
};

void PrintTo(const RangeCase& c, std::ostream* out) {
    *out << c.label;
}

class EntryRanges : public testing::TestWithParam<RangeCase> {};

TEST_P(EntryRanges, FindsTheFirstFault) {
    const RangeCase& c = GetParam();
    const zip::RangeCheck check = zip::CheckEntryRanges(c.entries, c.archiveSize);
    EXPECT_EQ(static_cast<int>(c.fault), static_cast<int>(check.fault));
    if (c.fault != RangeFault::None) {
        EXPECT_EQ(c.first, check.first);
    }
    if (c.fault == RangeFault::Overlap) {
        EXPECT_EQ(c.second, check.second);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, EntryRanges,
    testing::Values(
        RangeCase{"no entries", {}, 0, RangeFault::None, 0, 0},
        RangeCase{"one entry filling the archive", {Entry(0, 35, 65)}, 100, RangeFault::None, 0, 0},
        RangeCase{
            "back to back", {Entry(0, 35, 10), Entry(45, 35, 10)}, 100, RangeFault::None, 0, 0},
        RangeCase{"listed out of order, with a gap",
                  {Entry(60, 35, 5), Entry(0, 35, 10), Entry(50, 5, 0)},
                  100,
                  RangeFault::None,
                  0,
                  0},
        RangeCase{"two entries at one header",
                  {Entry(0, 35, 10), Entry(0, 35, 10)},
                  100,
                  RangeFault::Overlap,
                  0,
                  1},
        RangeCase{"empty entries at one header, listed apart",
                  {Entry(10, 0, 0), Entry(20, 5, 0), Entry(10, 0, 0)},
                  100,
                  RangeFault::Overlap,
                  0,
                  2},
        RangeCase{"the last data byte is the next header's first",
                  {Entry(0, 35, 11), Entry(45, 35, 10)},
                  100,
                  RangeFault::Overlap,
                  0,
                  1},
        RangeCase{"a header inside an earlier entry's data",
                  {Entry(0, 30, 60), Entry(40, 30, 5)},
                  100,
                  RangeFault::Overlap,
                  0,
                  1},
        RangeCase{"listed before the entry that holds it",
                  {Entry(40, 30, 5), Entry(0, 30, 60)},
                  100,
                  RangeFault::Overlap,
                  0,
                  1},
        RangeCase{"a long entry reaching over a short one",
                  {Entry(0, 30, 70), Entry(31, 1, 0), Entry(90, 5, 0)},
                  100,
                  RangeFault::Overlap,
                  0,
                  1},
        RangeCase{"a long entry over several short ones",
                  {Entry(0, 10, 80), Entry(20, 5, 0), Entry(30, 5, 0), Entry(95, 5, 0)},
                  100,
                  RangeFault::Overlap,
                  0,
                  1},
        RangeCase{"the third of four overlapping the first",
                  {Entry(50, 10, 40), Entry(0, 10, 0), Entry(60, 10, 0), Entry(20, 10, 0)},
                  100,
                  RangeFault::Overlap,
                  0,
                  2},
        RangeCase{"data one byte past the end",
                  {Entry(0, 35, 66)},
                  100,
                  RangeFault::OutsideArchive,
                  0,
                  0},
        RangeCase{"a header at the very end",
                  {Entry(0, 35, 10), Entry(100, 0, 0)},
                  100,
                  RangeFault::OutsideArchive,
                  1,
                  0},
        RangeCase{"a header far past the end",
                  {Entry(0, 35, 10), Entry(1u << 20, 30, 0)},
                  100,
                  RangeFault::OutsideArchive,
                  1,
                  0},
        RangeCase{"data before its header",
                  {EntryRange{50, 40, 5}},
                  100,
                  RangeFault::OutsideArchive,
                  0,
                  0},
        RangeCase{"an end past 2^64",
                  {Entry(0, 35, 10), EntryRange{50, 60, kMax - 59}},
                  100,
                  RangeFault::OutsideArchive,
                  1,
                  0},
        RangeCase{"a header at 2^64 - 1",
                  {EntryRange{kMax, kMax, 0}},
                  kMax,
                  RangeFault::OutsideArchive,
                  0,
                  0},
        // Outside is told before overlap, whatever the order.
        RangeCase{"overlapping entries and one outside",
                  {Entry(0, 35, 10), Entry(0, 35, 10), Entry(60, 35, 10)},
                  100,
                  RangeFault::OutsideArchive,
                  2,
                  0},
        RangeCase{"the first of two outside is told",
                  {Entry(0, 35, 10), Entry(60, 35, 10), Entry(200, 1, 1)},
                  100,
                  RangeFault::OutsideArchive,
                  1,
                  0}));

struct TotalCase {
    std::vector<uint64_t> sizes;
    uint64_t total;
};

class SaturatingTotal : public testing::TestWithParam<TotalCase> {};

TEST_P(SaturatingTotal, AddsUpOrStopsAtTheTop) {
    EXPECT_EQ(GetParam().total, zip::SaturatingTotal(GetParam().sizes));
}

INSTANTIATE_TEST_SUITE_P(
    Table, SaturatingTotal,
    testing::Values(TotalCase{{}, 0}, TotalCase{{0, 0}, 0}, TotalCase{{1, 2, 3}, 6},
                    TotalCase{{1ull << 32, 1ull << 32}, 1ull << 33}, TotalCase{{kMax - 1, 1}, kMax},
                    TotalCase{{kMax - 1, 2}, kMax},
                    // A wrapped sum would be 1: small enough to pass any check.
                    TotalCase{{kMax, 2}, kMax}, TotalCase{{kMax / 2 + 1, kMax / 2 + 1, 5}, kMax},
                    TotalCase{{kMax, kMax, kMax}, kMax}));

} // namespace
