// unzipfloor PACK FOLDER
//
// The least an unzip can cost on this platform, for the unzip benchmark: it
// reads PACK (the same files as the zip, laid out by bench/unzip_bench.py as
// records of a 4-byte little-endian name length, the UTF-8 name with '/'
// separators, an 8-byte little-endian size and the bytes) into memory in one
// read, then creates every file below FOLDER with CreateFileW and WriteFile
// (1 MiB writes), making each folder once with CreateDirectoryW. Nothing is
// checked: no name, size or CRC. Prints "files N" and "write_ms N" on
// stdout; exits 0 on success, 1 on any failure (with a message on stderr).

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

namespace {

int Fail(const char* what) {
    std::fprintf(stderr, "unzipfloor: %s failed (error %lu)\n", what, GetLastError());
    return 1;
}

uint64_t Little(const unsigned char* bytes, int count) {
    uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: unzipfloor PACK FOLDER\n");
        return 1;
    }
    HANDLE pack = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER packSize;
    if (pack == INVALID_HANDLE_VALUE || !GetFileSizeEx(pack, &packSize)) {
        return Fail("opening the pack");
    }
    std::vector<unsigned char> bytes(static_cast<size_t>(packSize.QuadPart));
    for (size_t done = 0; done < bytes.size();) {
        DWORD got = 0;
        const DWORD ask = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
        if (!ReadFile(pack, bytes.data() + done, ask, &got, nullptr) || got == 0) {
            return Fail("reading the pack");
        }
        done += got;
    }
    CloseHandle(pack);

    const DWORD start = GetTickCount();
    const std::wstring folder = argv[2];
    if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        return Fail("CreateDirectoryW of the folder");
    }
    std::set<std::wstring> made;
    long files = 0;
    size_t at = 0;
    while (at < bytes.size()) {
        if (bytes.size() - at < 4) {
            return Fail("a truncated pack");
        }
        const size_t nameLength = static_cast<size_t>(Little(&bytes[at], 4));
        at += 4;
        if (bytes.size() - at < nameLength + 8) {
            return Fail("a truncated pack");
        }
        wchar_t name[MAX_PATH] = {};
        if (MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(&bytes[at]),
                                static_cast<int>(nameLength), name, MAX_PATH - 1) == 0) {
            return Fail("a name");
        }
        at += nameLength;
        const uint64_t size = Little(&bytes[at], 8);
        at += 8;
        if (bytes.size() - at < size) {
            return Fail("a truncated pack");
        }
        std::wstring path = folder + L"\\" + name;
        for (wchar_t& c : path) {
            if (c == L'/') {
                c = L'\\';
            }
        }
        // Each folder on the way, once.
        for (size_t slash = path.find(L'\\', folder.size() + 1); slash != std::wstring::npos;
             slash = path.find(L'\\', slash + 1)) {
            const std::wstring parent = path.substr(0, slash);
            if (made.insert(parent).second && !CreateDirectoryW(parent.c_str(), nullptr) &&
                GetLastError() != ERROR_ALREADY_EXISTS) {
                return Fail("CreateDirectoryW");
            }
        }
        HANDLE out = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        if (out == INVALID_HANDLE_VALUE) {
            return Fail("CreateFileW");
        }
        for (uint64_t done = 0; done < size;) {
            const DWORD ask = static_cast<DWORD>(std::min<uint64_t>(size - done, 1u << 20));
            DWORD wrote = 0;
            if (!WriteFile(out, &bytes[at + done], ask, &wrote, nullptr) || wrote == 0) {
                return Fail("WriteFile");
            }
            done += wrote;
        }
        CloseHandle(out);
        at += static_cast<size_t>(size);
        ++files;
    }
    std::printf("files %ld\nwrite_ms %lu\n", files, GetTickCount() - start);
    return 0;
}
