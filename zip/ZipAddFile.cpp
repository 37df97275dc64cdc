#include "zip/ZipAddFile.h"

#include "zip/WinFileIo.h"

#include <windows.h>

#include <shlwapi.h>
#include <zip.h>

#include <vector>

namespace zip {
namespace {

constexpr int kBestCompression = 9;

// The whole file in memory (log files are small); false on a failed or short read.
bool ReadWholeFile(const std::wstring& path, std::vector<char>& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool ok = false;
    const DWORD size = GetFileSize(file, nullptr);
    if (size != INVALID_FILE_SIZE) {
        bytes.resize(size);
        DWORD got = 0;
        ok = (size == 0 || ReadFile(file, bytes.data(), size, &got, nullptr)) && got == size;
    }
    CloseHandle(file);
    return ok;
}

bool AddEntry(zipFile archive, const char* name, const std::vector<char>& bytes) {
    zip_fileinfo info = {};
    SYSTEMTIME now;
    GetLocalTime(&now);
    info.tmz_date.tm_year = now.wYear;
    info.tmz_date.tm_mon = now.wMonth - 1;
    info.tmz_date.tm_mday = now.wDay;
    info.tmz_date.tm_hour = now.wHour;
    info.tmz_date.tm_min = now.wMinute;
    info.tmz_date.tm_sec = now.wSecond;
    if (zipOpenNewFileInZip64(archive, name, &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                              kBestCompression, 0) != ZIP_OK) {
        return false;
    }
    bool ok = bytes.empty() || zipWriteInFileInZip(archive, bytes.data(),
                                                   static_cast<unsigned>(bytes.size())) == ZIP_OK;
    if (zipCloseFileInZip(archive) != ZIP_OK) {
        ok = false;
    }
    return ok;
}

// Puts an earlier copy of a zip back after a failed append: the append writes
// over the old central directory first, so the old bytes are the only way
// back to a readable zip.
void RestoreFile(const std::wstring& path, const std::vector<char>& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    // Shrinking first gives back the space the failed append took.
    LARGE_INTEGER size;
    size.QuadPart = static_cast<LONGLONG>(bytes.size());
    if (SetFilePointerEx(file, size, nullptr, FILE_BEGIN) && SetEndOfFile(file)) {
        SetFilePointer(file, 0, nullptr, FILE_BEGIN);
        DWORD wrote = 0;
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &wrote, nullptr);
    }
    CloseHandle(file);
}

} // namespace

bool ZipAddFile(const std::wstring& filePath, const std::wstring& zipPath) {
    char name[MAX_PATH] = {};
    if (WideCharToMultiByte(CP_ACP, 0, PathFindFileNameW(filePath.c_str()), -1, name, MAX_PATH,
                            nullptr, nullptr) == 0) {
        return false;
    }
    std::vector<char> bytes;
    if (!ReadWholeFile(filePath, bytes)) {
        return false;
    }

    const bool existed = PathFileExistsW(zipPath.c_str()) != FALSE;
    std::vector<char> original;
    if (existed && !ReadWholeFile(zipPath, original)) {
        return false;
    }
    WinFileStream stream;
    stream.file = CreateFileW(zipPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              existed ? OPEN_EXISTING : CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (stream.file == INVALID_HANDLE_VALUE) {
        return false;
    }
    stream.ownsFile = true;
    zlib_filefunc64_def functions = WinFileFunctions(&stream);
    zipFile archive =
        zipOpen2_64(zipPath.c_str(), existed ? APPEND_STATUS_ADDINZIP : APPEND_STATUS_CREATE,
                    nullptr, &functions);
    if (!archive) {
        // minizip closes the stream itself when it cannot read the zip.
        if (stream.file != INVALID_HANDLE_VALUE) {
            CloseHandle(stream.file);
        }
        if (!existed) {
            DeleteFileW(zipPath.c_str());
        }
        return false;
    }
    bool ok = AddEntry(archive, name, bytes);
    // Writes the central directory again, so an existing zip keeps its entries.
    if (zipClose(archive, nullptr) != ZIP_OK) {
        ok = false;
    }
    if (!ok) {
        if (existed) {
            RestoreFile(zipPath, original);
        } else {
            DeleteFileW(zipPath.c_str());
        }
    }
    return ok;
}

} // namespace zip
