#pragma once

#include <windows.h>

#include <ioapi.h>

namespace zip {

class ZipReporter;

// A minizip stream over a Windows file handle. Reads and writes are
// positioned (the handle's own file pointer is never used), short transfers
// are told to the reporter with the Windows error of the moment. The first
// short transfer ends the stream: every later one moves and reports nothing.
struct WinFileStream {
    HANDLE file = INVALID_HANDLE_VALUE;
    bool ownsFile = false; // closed by the stream's close callback
    ZipReporter* reporter = nullptr;
    ULONGLONG position = 0;
    bool failed = false;
};

// minizip callbacks whose "open" hands out the WinFileStream given as the
// opaque pointer (the file name minizip passes is not used).
zlib_filefunc64_def WinFileFunctions(WinFileStream* stream);

} // namespace zip
