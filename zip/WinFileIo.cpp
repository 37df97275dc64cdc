#include "zip/WinFileIo.h"

#include "zip/ZipReporter.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace zip {
namespace {

voidpf ZCALLBACK Open(voidpf opaque, const void*, int) {
    return opaque;
}

// Moves `size` bytes at the stream's position, call after call, until done
// or a call fails or moves nothing; a short transfer is told to the reporter
// with the error of the call that stopped it.
//
// After one failure the stream moves nothing more and reports nothing more: a
// broken zip can make the reader ask again and again for bytes past the end
// (tens of thousands of two-byte reads for one bad length), and every answer
// would be the same.
template <typename Transfer>
uLong Positioned(WinFileStream* stream, uLong size, Transfer transfer) {
    if (stream->failed) {
        return 0;
    }
    uLong done = 0;
    while (done < size) {
        OVERLAPPED at = {};
        const ULONGLONG position = stream->position + done;
        at.Offset = static_cast<DWORD>(position);
        at.OffsetHigh = static_cast<DWORD>(position >> 32);
        DWORD moved = 0;
        if (!transfer(done, size - done, &moved, &at) || moved == 0) {
            const DWORD error = GetLastError();
            stream->failed = true;
            if (stream->reporter) {
                stream->reporter->OnError(error);
            }
            break;
        }
        done += moved;
    }
    stream->position += done;
    return done;
}

bool Holds(const WinFileStream::Window& window, ULONGLONG position, uLong size) {
    return position >= window.start && position - window.start <= window.size &&
           window.size - (position - window.start) >= size;
}

// Copies the whole read from a window, refilling the one that did not serve
// the last read when the read is small; false when no window can give every
// byte asked.
bool ReadFromWindow(WinFileStream* stream, char* bytes, uLong size) {
    if (stream->failed || size >= WinFileStream::kWindowBytes) {
        return false;
    }
    int use = Holds(stream->windows[0], stream->position, size)   ? 0
              : Holds(stream->windows[1], stream->position, size) ? 1
                                                                  : -1;
    if (use < 0) {
        use = 1 - stream->lastWindow;
        WinFileStream::Window& window = stream->windows[use];
        if (!window.bytes) {
            window.bytes.reset(new (std::nothrow) char[WinFileStream::kWindowBytes]);
            if (!window.bytes) {
                return false;
            }
        }
        // One read: near the end of the file it brings what there is, and a
        // failure leaves the window empty for the file read to meet again.
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(stream->position);
        at.OffsetHigh = static_cast<DWORD>(stream->position >> 32);
        DWORD got = 0;
        window.start = stream->position;
        if (!ReadFile(stream->file, window.bytes.get(), WinFileStream::kWindowBytes, &got, &at)) {
            got = 0;
        }
        window.size = got;
        if (!Holds(window, stream->position, size)) {
            return false;
        }
    }
    const WinFileStream::Window& window = stream->windows[use];
    stream->lastWindow = use;
    memcpy(bytes, window.bytes.get() + (stream->position - window.start), size);
    stream->position += size;
    return true;
}

uLong ZCALLBACK Read(voidpf, voidpf s, void* buffer, uLong size) {
    WinFileStream* stream = static_cast<WinFileStream*>(s);
    char* bytes = static_cast<char*>(buffer);
    if (ReadFromWindow(stream, bytes, size)) {
        return size;
    }
    return Positioned(stream, size, [&](uLong offset, uLong count, DWORD* moved, OVERLAPPED* at) {
        return ReadFile(stream->file, bytes + offset, count, moved, at) != FALSE;
    });
}

uLong ZCALLBACK Write(voidpf, voidpf s, const void* buffer, uLong size) {
    WinFileStream* stream = static_cast<WinFileStream*>(s);
    const char* bytes = static_cast<const char*>(buffer);
    // What the windows hold may be written over.
    stream->windows[0].size = 0;
    stream->windows[1].size = 0;
    return Positioned(stream, size, [&](uLong offset, uLong count, DWORD* moved, OVERLAPPED* at) {
        return WriteFile(stream->file, bytes + offset, count, moved, at) != FALSE;
    });
}

ZPOS64_T ZCALLBACK Tell(voidpf, voidpf s) {
    return static_cast<WinFileStream*>(s)->position;
}

long ZCALLBACK Seek(voidpf, voidpf s, ZPOS64_T offset, int origin) {
    WinFileStream* stream = static_cast<WinFileStream*>(s);
    ULONGLONG base = 0;
    switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
        base = 0;
        break;
    case ZLIB_FILEFUNC_SEEK_CUR:
        base = stream->position;
        break;
    case ZLIB_FILEFUNC_SEEK_END: {
        LARGE_INTEGER size;
        if (!GetFileSizeEx(stream->file, &size)) {
            return -1;
        }
        base = static_cast<ULONGLONG>(size.QuadPart);
        break;
    }
    default:
        return -1;
    }
    stream->position = base + offset;
    return 0;
}

int ZCALLBACK Close(voidpf, voidpf s) {
    WinFileStream* stream = static_cast<WinFileStream*>(s);
    if (stream->ownsFile && stream->file != INVALID_HANDLE_VALUE) {
        CloseHandle(stream->file);
        stream->file = INVALID_HANDLE_VALUE;
    }
    return 0;
}

int ZCALLBACK Error(voidpf, voidpf s) {
    return static_cast<WinFileStream*>(s)->failed ? 1 : 0;
}

} // namespace

uLong ReadAt(WinFileStream& stream, ULONGLONG offset, void* buffer, uLong size) {
    stream.position = offset;
    return Read(nullptr, &stream, buffer, size);
}

zlib_filefunc64_def WinFileFunctions(WinFileStream* stream) {
    zlib_filefunc64_def functions = {};
    functions.zopen64_file = Open;
    functions.zread_file = Read;
    functions.zwrite_file = Write;
    functions.ztell64_file = Tell;
    functions.zseek64_file = Seek;
    functions.zclose_file = Close;
    functions.zerror_file = Error;
    functions.opaque = stream;
    return functions;
}

} // namespace zip
