#pragma once

#include "downloader/Task.h"

#include <cstddef>

namespace downloader {

// The block size of the hash task and of the package's ".meta" companion.
constexpr uint32_t kHashBlockSize = 1048576;

// SHA-1 of each consecutive 1 MiB block of an open file, from the file's
// current position to its end, on a system thread-pool thread: OnBlockHash
// per block in file order, then one OnComplete. Hashes through CryptoAPI,
// with one provider context for the run and one hash object per block. The handle stays the
// caller's, who must not use it while the task runs. Cancel (also from inside
// OnBlockHash) stops the work before its next read. The callback is
// referenced; null when memory is exhausted or there is no callback.
ITask* CreateHashTask(HANDLE file, IHashCallback* callback);

// SHA-1 of `size` bytes through CryptoAPI, with a provider context of its
// own; false when any CryptoAPI call fails.
bool Sha1Digest(const void* data, size_t size, uint8_t digest[20]);

} // namespace downloader
