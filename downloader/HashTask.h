#pragma once

#include "downloader/Sha1.h"
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
// threads (BlockHashPipeline), each slot with a Sha1Hasher of its own for
// the run. The handle stays the caller's, who must not use it while the task runs. Cancel (also
// from inside OnBlockHash) stops the work before its next read, and leaves the file's position at
// the end of the last block reported. The callback is referenced; null when memory is exhausted or
// there is no callback.
ITask* CreateHashTask(HANDLE file, IHashCallback* callback);

// Blocks a hash task holds in memory at once.
constexpr int kHashTaskSlots = 2;

} // namespace downloader
