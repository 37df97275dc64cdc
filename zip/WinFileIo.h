#pragma once

#include <windows.h>

#include <ioapi.h>

#include <memory>

namespace zip {

class ZipReporter;

// A minizip stream over a Windows file handle. Reads and writes are
// positioned (the handle's own file pointer is never used), short transfers
// are told to the reporter with the Windows error of the moment. The first
// short transfer ends the stream: every later one moves and reports nothing.
//
// Reads smaller than a read-ahead window are served from windows of the
// file read at once: the reader takes its headers a byte or two at a time,
// and each of those would otherwise be a call into the system. There are two
// windows, so that the central directory and the entry being unpacked each
// keep theirs while the reader goes back and forth between them. A read that
// no window can satisfy in full goes to the file as before, so a short
// transfer is still found, and reported, by a read of the file itself.
struct WinFileStream {
    static constexpr DWORD kWindowBytes = 64 * 1024;

    struct Window {
        std::unique_ptr<char[]> bytes;
        ULONGLONG start = 0;
        DWORD size = 0; // bytes of the file it holds from `start`
    };

    HANDLE file = INVALID_HANDLE_VALUE;
    bool ownsFile = false; // closed by the stream's close callback
    ZipReporter* reporter = nullptr;
    ULONGLONG position = 0;
    bool failed = false;
    // Empty until the first small read; emptied by any write.
    Window windows[2];
    int lastWindow = 0; // the one that served the last read
};

// Reads `size` bytes at `offset` as the reader's reads go (window, short
// transfers, failure); returns how many came.
uLong ReadAt(WinFileStream& stream, ULONGLONG offset, void* buffer, uLong size);

// minizip callbacks whose "open" hands out the WinFileStream given as the
// opaque pointer (the file name minizip passes is not used).
zlib_filefunc64_def WinFileFunctions(WinFileStream* stream);

} // namespace zip
