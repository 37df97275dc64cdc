#include "zip/ZipExtract.h"

#include "base/SafeNames.h"
#include "zip/WinFileIo.h"

#include <shlobj.h>
#include <shlwapi.h>
#include <unzip.h>

#include <climits>
#include <vector>

namespace zip {
namespace {

constexpr size_t kNameBytes = MAX_PATH - 1;
constexpr DWORD kChunk = 64 * 1024;

// DOS attribute bit of a folder, kept in the low byte of the external attributes.
constexpr uLong kDirectoryAttribute = 0x10;

bool IsDirectoryEntry(const char* name, const unz_file_info64& info) {
    const size_t length = strlen(name);
    if (length > 0 && name[length - 1] == '/') {
        return true;
    }
    return (info.external_fa & kDirectoryAttribute) != 0;
}

// Stored and deflated entries only. The reader hands over an entry of a
// method it cannot unpack (bzip2) as the raw bytes and skips its CRC check, so
// such an entry would be written as garbage and reported extracted.
bool IsSupportedMethod(uLong method) {
    return method == 0 || method == Z_DEFLATED;
}

// Writes the whole buffer, call after call (a call may write less than asked
// when the disk fills); the call that fails or writes nothing stops it and its
// error goes to the reporter.
bool WriteAll(HANDLE file, const char* bytes, DWORD size, ZipReporter* reporter) {
    DWORD done = 0;
    while (done < size) {
        DWORD wrote = 0;
        if (!WriteFile(file, bytes + done, size - done, &wrote, nullptr) || wrote == 0) {
            const DWORD error = GetLastError();
            if (reporter) {
                reporter->OnError(error);
            }
            return false;
        }
        done += wrote;
    }
    return true;
}

// A zip with no entries is only its end record; the reader cannot find that
// record at the very start of a file, so such a zip is recognised here.
bool IsEmptyZip(HANDLE zipFile, ULONGLONG size) {
    unsigned char record[22];
    OVERLAPPED at = {};
    DWORD got = 0;
    if (size < sizeof record || !ReadFile(zipFile, record, sizeof record, &got, &at) ||
        got != sizeof record) {
        return false;
    }
    auto word = [&](int offset) { return record[offset] | (record[offset + 1] << 8); };
    const bool endRecord = record[0] == 'P' && record[1] == 'K' && record[2] == 5 && record[3] == 6;
    return endRecord && word(8) == 0 && word(10) == 0 &&
           sizeof record + static_cast<ULONGLONG>(word(20)) == size;
}

// Streams the current entry into `target`; false on any read, write or CRC
// failure, and when the data ends before the entry's declared size (the reader
// then stops early without a word and skips its CRC check).
bool WriteCurrentEntry(unzFile archive, const wchar_t* target, ZPOS64_T declaredSize, uLong method,
                       ZipReporter* reporter) {
    HANDLE out = CreateFileW(target, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool ok = IsSupportedMethod(method) && unzOpenCurrentFile(archive) == UNZ_OK;
    ZPOS64_T written = 0;
    if (ok) {
        std::vector<char> buffer(kChunk);
        for (;;) {
            const int got = unzReadCurrentFile(archive, buffer.data(), kChunk);
            if (got < 0) {
                ok = false;
                break;
            }
            if (got == 0) {
                break;
            }
            if (!WriteAll(out, buffer.data(), static_cast<DWORD>(got), reporter)) {
                ok = false;
                break;
            }
            written += static_cast<ZPOS64_T>(got);
        }
        if (written != declaredSize) {
            ok = false;
        }
        // Reports a CRC mismatch once the whole entry has been read.
        if (unzCloseCurrentFile(archive) != UNZ_OK) {
            ok = false;
        }
    }
    CloseHandle(out);
    if (!ok) {
        DeleteFileW(target);
    }
    return ok;
}

bool ExtractCurrentEntry(unzFile archive, const std::wstring& folder, ZipReporter* reporter) {
    unz_file_info64 info = {};
    char rawName[kNameBytes + 1] = {};
    // A longer name is cut at kNameBytes bytes.
    if (unzGetCurrentFileInfo64(archive, &info, rawName, kNameBytes, nullptr, 0, nullptr, 0) !=
        UNZ_OK) {
        return false;
    }
    rawName[kNameBytes] = '\0';
    const bool isDirectory = IsDirectoryEntry(rawName, info);

    std::wstring name;
    if (!StoredNameToRelativePath(rawName, name)) {
        return false;
    }
    // A directory entry ends in one separator; the name check sees it without.
    if (isDirectory && name.size() > 1 && name.back() == L'\\') {
        name.pop_back();
    }
    if (!IsSafeRelativeName(name)) {
        return false;
    }
    const std::wstring path = ResolveInsideFolder(folder, name);
    if (path.empty()) {
        return false;
    }
    const wchar_t* target = path.c_str();
    if (isDirectory) {
        SHCreateDirectoryExW(nullptr, target, nullptr);
        return true;
    }
    wchar_t parent[MAX_PATH];
    lstrcpynW(parent, target, MAX_PATH);
    if (PathRemoveFileSpecW(parent)) {
        SHCreateDirectoryExW(nullptr, parent, nullptr);
    }
    return WriteCurrentEntry(archive, target, info.uncompressed_size, info.compression_method,
                             reporter);
}

} // namespace

bool StoredNameToRelativePath(const std::string& stored, std::wstring& path) {
    const std::string cut = stored.substr(0, kNameBytes);
    wchar_t name[MAX_PATH] = {};
    if (!cut.empty() && MultiByteToWideChar(CP_ACP, 0, cut.c_str(), static_cast<int>(cut.size()),
                                            name, MAX_PATH - 1) == 0) {
        return false;
    }
    for (wchar_t* c = name; *c; ++c) {
        if (*c == L'/') {
            *c = L'\\';
        }
    }
    path = name;
    return true;
}

bool ZipExtractToFolder(HANDLE zipFile, const std::wstring& folder, ZipReporter* reporter) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(zipFile, &size)) {
        return false;
    }
    WinFileStream stream;
    stream.file = zipFile;
    stream.reporter = reporter;
    zlib_filefunc64_def functions = WinFileFunctions(&stream);
    unzFile archive = unzOpen2_64(L"", &functions);
    if (!archive) {
        if (!IsEmptyZip(zipFile, static_cast<ULONGLONG>(size.QuadPart))) {
            return false;
        }
        SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
        if (reporter) {
            reporter->OnProgress(0, 0);
        }
        return true;
    }
    unz_global_info64 global = {};
    // A count beyond what progress can carry would read as no entry, or as
    // fewer than none, and the archive would pass as extracted.
    if (unzGetGlobalInfo64(archive, &global) != UNZ_OK ||
        global.number_entry > static_cast<ZPOS64_T>(INT_MAX)) {
        unzClose(archive);
        return false;
    }
    SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);

    const int total = static_cast<int>(global.number_entry);
    bool ok = true;
    for (int i = 0; i < total; ++i) {
        if (reporter) {
            reporter->OnProgress(i, total);
        }
        const int moved = i == 0 ? unzGoToFirstFile(archive) : unzGoToNextFile(archive);
        if (moved != UNZ_OK || !ExtractCurrentEntry(archive, folder, reporter)) {
            ok = false;
            break;
        }
    }
    if (reporter) {
        reporter->OnProgress(total, total);
    }
    unzClose(archive);
    return ok;
}

} // namespace zip
