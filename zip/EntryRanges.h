#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zip {

// Where one entry's bytes lie in the archive: its local header, followed by
// its compressed data.
struct EntryRange {
    uint64_t header = 0;         // offset of the local header
    uint64_t data = 0;           // offset of the compressed data
    uint64_t compressedSize = 0; // as the central directory declares it
};

enum class RangeFault {
    None,
    OutsideArchive, // `first` does not lie wholly inside the archive
    Overlap,        // `first` and `second` share at least one byte
};

struct RangeCheck {
    RangeFault fault = RangeFault::None;
    // Indexes into the checked list; for an overlap, first < second.
    size_t first = 0;
    size_t second = 0;
};

// Checks that every entry's bytes, from its local header to the end of its
// compressed data, lie inside an archive of `archiveSize` bytes and that no
// two entries share a byte. A zip that points several entries at the same
// bytes makes one small stream unpack again and again, so such an archive is
// refused as a whole. An entry always holds at least the first byte of its
// header, so two entries at the same offset overlap even when both are
// empty. Data before the header, or an end that does not fit 64 bits, counts
// as outside. The first entry outside the archive, in list order, is
// reported before any overlap.
RangeCheck CheckEntryRanges(const std::vector<EntryRange>& entries, uint64_t archiveSize);

// The sum of `sizes`, or UINT64_MAX when it does not fit 64 bits: declared
// sizes come from the archive, and a sum that wrapped would look small.
uint64_t SaturatingTotal(const std::vector<uint64_t>& sizes);

} // namespace zip
