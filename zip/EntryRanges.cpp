#include "zip/EntryRanges.h"

#include <algorithm>
#include <limits>

namespace zip {
namespace {

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

// The offset one past the entry's last byte, or false when the entry cannot
// lie inside any archive (data before its header, or an end past 2^64).
bool EndOf(const EntryRange& entry, uint64_t& end) {
    if (entry.data < entry.header || entry.compressedSize > kMax - entry.data) {
        return false;
    }
    end = std::max(entry.data + entry.compressedSize, entry.header + 1);
    return true;
}

} // namespace

RangeCheck CheckEntryRanges(const std::vector<EntryRange>& entries, uint64_t archiveSize) {
    RangeCheck result;
    std::vector<uint64_t> ends(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        // header < archiveSize keeps header + 1 from wrapping in EndOf.
        if (entries[i].header >= archiveSize || !EndOf(entries[i], ends[i]) ||
            ends[i] > archiveSize) {
            result.fault = RangeFault::OutsideArchive;
            result.first = i;
            return result;
        }
    }
    // In order of start, a range overlaps an earlier one exactly when it
    // starts before the furthest end seen so far.
    std::vector<size_t> order(entries.size());
    for (size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return entries[a].header != entries[b].header ? entries[a].header < entries[b].header
                                                      : a < b;
    });
    size_t furthest = 0;
    for (size_t k = 0; k < order.size(); ++k) {
        const size_t i = order[k];
        if (k > 0 && entries[i].header < ends[furthest]) {
            result.fault = RangeFault::Overlap;
            result.first = std::min(i, furthest);
            result.second = std::max(i, furthest);
            return result;
        }
        if (k == 0 || ends[i] > ends[furthest]) {
            furthest = i;
        }
    }
    return result;
}

uint64_t SaturatingTotal(const std::vector<uint64_t>& sizes) {
    uint64_t total = 0;
    for (const uint64_t size : sizes) {
        if (size > kMax - total) {
            return kMax;
        }
        total += size;
    }
    return total;
}

} // namespace zip
