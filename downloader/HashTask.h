#pragma once

#include "downloader/Task.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstddef>

namespace downloader {

// The block size of the hash task and of the package's ".meta" companion.
constexpr uint32_t kHashBlockSize = 1048576;

// SHA-1 of each consecutive 1 MiB block of an open file, from the file's
// current position to its end, on a system thread-pool thread: OnBlockHash
// per block in file order, then one OnComplete. Reads go ahead of the
// hashing by kHashTaskSlots - 1 blocks, and blocks hash side by side on pool
// threads (BlockHashPipeline), each slot with one provider context for the
// run and one hash object per block. The handle stays the
// caller's, who must not use it while the task runs. Cancel (also from inside
// OnBlockHash) stops the work before its next read, and leaves the file's
// position at the end of the last block reported. The callback is
// referenced; null when memory is exhausted or there is no callback.
ITask* CreateHashTask(HANDLE file, IHashCallback* callback);

// Blocks a hash task holds in memory at once.
constexpr int kHashTaskSlots = 2;

// SHA-1 digests through CryptoAPI: one provider context, acquired for the
// first digest and kept (acquiring one per block costs several times the
// hashing itself where the provider is set up anew each time its last
// context is released), and a fresh hash object for each digest.
class Sha1Hasher {
public:
    Sha1Hasher() = default;
    ~Sha1Hasher();
    Sha1Hasher(const Sha1Hasher&) = delete;
    Sha1Hasher& operator=(const Sha1Hasher&) = delete;

    // False when any CryptoAPI call fails.
    bool Digest(const void* data, size_t size, uint8_t digest[20]);

private:
    HCRYPTPROV provider_ = 0;
};

// SHA-1 of `size` bytes through CryptoAPI, with a provider context of its
// own; false when any CryptoAPI call fails.
bool Sha1Digest(const void* data, size_t size, uint8_t digest[20]);

} // namespace downloader
