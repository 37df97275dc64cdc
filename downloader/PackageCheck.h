#pragma once

#include "downloader/DownloadSimpleTask.h"

#include <windows.h>

#include <cstdint>
#include <functional>

namespace downloader {

// What one check of an open file against a companion found.
struct PackageCheck {
    // S_OK: the file has the companion's size and every block matches.
    // kErrorDataMismatch: it does not (see badBlock). E_ABORT: `stop` said so.
    // HRESULT_FROM_WIN32 of a read that failed; E_OUTOFMEMORY; 1 (kVerifyFailed)
    // when CryptoAPI failed.
    long result = E_FAIL;
    // The first block that differs, or -1 when the sizes differ (or nothing
    // differed).
    int64_t badBlock = -1;
};

// Reads the whole file open on `file` (read access; positioned reads, its
// file pointer is not used) block by block and compares the SHA-1 of every
// 1 MiB block with the companion's, reading the next block while the last
// ones hash. `stop`, if given, is asked before each block; the check then
// ends with E_ABORT. The first block that differs ends it. The reads end:
// at most the companion's size is read, and a read that brings nothing
// fails the check.
PackageCheck CheckFileAgainstCompanion(HANDLE file, const DownloadMeta& meta,
                                       const std::function<bool()>& stop = nullptr);

} // namespace downloader
