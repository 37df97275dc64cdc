#include "downloader/PackageCheck.h"

#include "downloader/BlockHashPipeline.h"
#include "downloader/HashTask.h"

#include <algorithm>
#include <cstring>

namespace downloader {
namespace {

// Blocks in memory at once: one read while the other hashes.
constexpr int kCheckSlots = 2;

long HResultOfLastError() {
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

// Reads `size` bytes at `offset`; a read that fails or brings nothing ends it.
long ReadBlock(HANDLE file, int64_t offset, uint8_t* bytes, uint32_t size) {
    uint32_t done = 0;
    while (done < size) {
        OVERLAPPED at = {};
        const uint64_t position = static_cast<uint64_t>(offset) + done;
        at.Offset = static_cast<DWORD>(position);
        at.OffsetHigh = static_cast<DWORD>(position >> 32);
        DWORD got = 0;
        if (!ReadFile(file, bytes + done, size - done, &got, &at)) {
            return HResultOfLastError();
        }
        if (got == 0) {
            return kErrorDataMismatch; // shorter than it was a moment ago
        }
        done += got;
    }
    return S_OK;
}

} // namespace

PackageCheck CheckFileAgainstCompanion(HANDLE file, const DownloadMeta& meta,
                                       const std::function<bool()>& stop) {
    PackageCheck check;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size)) {
        check.result = HResultOfLastError();
        return check;
    }
    if (size.QuadPart != meta.fileSize) {
        check.result = kErrorDataMismatch;
        return check;
    }
    BlockHashPipeline pipeline;
    if (!pipeline.Init(kCheckSlots, kHashBlockSize)) {
        check.result = E_OUTOFMEMORY;
        return check;
    }
    const uint32_t blocks = static_cast<uint32_t>(meta.blockDigests.size());
    // A collected digest decides; the first that fails ends the check.
    auto collect = [&]() {
        const BlockHashPipeline::Digest digest = pipeline.CollectOldest();
        if (check.result != S_OK) {
            return;
        }
        if (!digest.ok) {
            check.result = kVerifyFailed;
        } else if (std::memcmp(digest.bytes, meta.blockDigests[digest.block].data(), 20) != 0) {
            check.result = kErrorDataMismatch;
            check.badBlock = digest.block;
        }
    };
    check.result = S_OK;
    for (uint32_t block = 0; block < blocks && check.result == S_OK; ++block) {
        if (stop && stop()) {
            check.result = E_ABORT;
            break;
        }
        const int64_t offset = static_cast<int64_t>(block) * kHashBlockSize;
        const uint32_t length =
            static_cast<uint32_t>(std::min<int64_t>(kHashBlockSize, meta.fileSize - offset));
        const long read = ReadBlock(file, offset, pipeline.NextBuffer(), length);
        if (read != S_OK) {
            check.result = read;
            break;
        }
        pipeline.Submit(block, length);
        if (pipeline.Full()) {
            collect();
        }
    }
    while (!pipeline.Empty()) {
        collect();
    }
    return check;
}

} // namespace downloader
