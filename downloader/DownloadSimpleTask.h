#pragma once

#include "downloader/CompanionSignature.h"
#include "downloader/Task.h"

#include <array>
#include <cstddef>
#include <vector>

namespace downloader {

// The parsed ".meta" companion of a package: its size and the SHA-1 of every
// 1 MiB block, the last one possibly shorter.
struct DownloadMeta {
    int64_t fileSize = 0;
    std::vector<std::array<uint8_t, 20>> blockDigests;
};

// A companion lists fewer blocks than this (a package below 64 TiB).
constexpr int64_t kMaxMetaBlocks = 0x4000000;

#ifndef BC_MAX_PACKAGE_BYTES
#define BC_MAX_PACKAGE_BYTES 4294967296
#endif
// The largest package the program accepts (build setting BC_MAX_PACKAGE_BYTES).
constexpr int64_t kMaxPackageBytes = BC_MAX_PACKAGE_BYTES;

// The length of the companion of a package of `packageBytes` bytes: the size,
// then one digest per started MiB.
constexpr int64_t CompanionBytesFor(int64_t packageBytes) {
    return 8 + 20 * (packageBytes / 1048576 + (packageBytes % 1048576 != 0 ? 1 : 0));
}

// The largest companion fetched: that of the largest package accepted. A
// server that announces a longer one is refused before any memory is taken.
constexpr int64_t kMaxCompanionBytes = CompanionBytesFor(kMaxPackageBytes);
static_assert(kMaxCompanionBytes <= 0x7FFFFFFE, "the companion must fit a memory buffer");

// The number of blocks a companion of `length` bytes that states the size
// `fileSize` lists, or -1 when such a companion is not valid: the size must
// not be negative, the block count ceil(fileSize / 1 MiB) must be below
// kMaxMetaBlocks, and the length must be exactly 8 + 20 bytes per block.
int64_t MetaBlockCount(int64_t fileSize, uint64_t length);

// Parses a companion: the size as a signed 64-bit little-endian number, then
// one 20-byte digest per block, nothing else. S_OK; E_FAIL when the bytes are
// not a valid companion; E_OUTOFMEMORY when the digest list cannot be held.
long ParseDownloadMeta(const void* data, size_t length, DownloadMeta& meta);

// HRESULT_FROM_WIN32(ERROR_CRC): the server keeps sending package data that
// does not match its companion.
constexpr long kErrorDataMismatch = static_cast<long>(0x80070017UL);

// HRESULT_FROM_WIN32(ERROR_REPARSE_ATTRIBUTE_CONFLICT): the target file's
// name is a link (junction, symbolic link) or a second name of another file
// (hard link); it is neither written nor read.
constexpr long kErrorNotPlainFile = static_cast<long>(0x80071127UL);

// A download pass counts as making no progress when the verification after
// it does not get past the block the pass started at. After this many such
// passes in a row the download ends with kErrorDataMismatch; any pass that
// brings a block further starts the count again.
constexpr int kMaxPassesWithoutProgress = 3;

// Brings the file at filePath to exactly the package at url, as its
// companion (url + ".meta") describes: sizes the file, verifies the blocks on
// disk and downloads with one range request from the first block that does
// not match, until every block matches. A range request answered with the
// whole package (a proxy that ignores ranges) starts the transfer over from
// byte 0, at most kMaxRestarts times. With a companionKey (copied; null for
// none) the companion's signature (url + ".meta.sig", see
// CompanionSignature.h) is fetched next and must verify before the companion
// is used and the file is touched; without one no signature is asked for.
// Reports OnProgress(bytesDone, bytesTotal) and one OnComplete with an
// HRESULT:
//   S_OK
//   E_ABORT                 after Cancel
//   E_FAIL                  a malformed companion or one longer than
//                           kMaxCompanionBytes
//   kErrorBadSignature      (0x80090006, NTE_BAD_SIGNATURE) with a key: the
//                           signature is missing (404 or 410), malformed or
//                           wrong; no package byte was requested
//   kErrorNotPlainFile      the file's name is a link or another name of a
//                           file (opened as it is, not shared, never followed)
//   0x80070070              HRESULT_FROM_WIN32(ERROR_DISK_FULL), before the
//                           file is sized when its disk has less room than the
//                           package still needs, or while writing
//   1                       reading or hashing the file failed
//   kErrorDataMismatch      (0x80070017, see above)
//   kErrorNoProgress        one restart from byte 0 too many
//   otherwise               the error of a request (of the signature too),
//                           the file or the disk
// The callback is referenced; null when memory is exhausted or there is no
// callback.
ITask* CreateDownloadSimpleTask(const wchar_t* url, const wchar_t* filePath,
                                IDownloadCallback* callback,
                                const PackageKey* companionKey = nullptr);

} // namespace downloader
