#include "base/TempFolders.h"

#include <shlwapi.h>

#include <cwchar>

bool GetTempFolderPath(std::wstring& path) {
    wchar_t temp[MAX_PATH] = {};
    const DWORD length = GetTempPathW(MAX_PATH, temp);
    if (length == 0 || length > MAX_PATH - 2) {
        return false;
    }
    if (!PathAddBackslashW(temp)) {
        return false;
    }
    wchar_t longForm[2 * MAX_PATH] = {};
    const DWORD longLength = GetLongPathNameW(temp, longForm, 2 * MAX_PATH);
    if (longLength != 0 && longLength < 2 * MAX_PATH) {
        path = longForm;
    } else {
        path = temp;
    }
    return true;
}

bool CreateUniqueSubfolder(std::wstring& path) {
    return CreateUniqueSubfolderFrom(path, GetTickCount());
}

bool CreateUniqueSubfolderFrom(std::wstring& path, DWORD first) {
    if (!PathFileExistsW(path.c_str())) {
        return false;
    }
    DWORD n = first;
    for (DWORD attempt = 0; attempt < kUniqueSubfolderAttempts; ++attempt, ++n) {
        wchar_t name[16];
        swprintf(name, 16, L"%x", static_cast<unsigned>(n));
        wchar_t candidate[MAX_PATH] = {};
        if (!PathCombineW(candidate, path.c_str(), name) || !PathAddBackslashW(candidate)) {
            return false;
        }
        // Creating the folder is the existence test: two threads that picked
        // the same number cannot both get it, so neither deletes the other's files.
        if (CreateDirectoryW(candidate, nullptr)) {
            path = candidate;
            return true;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            return false;
        }
    }
    return false;
}

bool DeleteFolderTree(const std::wstring& path) {
    wchar_t pattern[MAX_PATH] = {};
    if (PathCombineW(pattern, path.c_str(), L"*")) {
        WIN32_FIND_DATAW entry;
        HANDLE find = FindFirstFileW(pattern, &entry);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                wchar_t child[MAX_PATH] = {};
                if (!PathCombineW(child, path.c_str(), entry.cFileName)) {
                    continue;
                }
                if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                    DeleteFileW(child);
                } else if (wcscmp(entry.cFileName, L".") != 0 &&
                           wcscmp(entry.cFileName, L"..") != 0) {
                    if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                        // A link to a folder elsewhere: remove the link, never
                        // what it points to.
                        RemoveDirectoryW(child);
                    } else {
                        DeleteFolderTree(child);
                    }
                }
            } while (FindNextFileW(find, &entry));
            FindClose(find);
        }
    }
    return RemoveDirectoryW(path.c_str()) != FALSE;
}
