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

bool IsCandidateNameTaken(DWORD createError, DWORD probeError) {
    if (createError == ERROR_ALREADY_EXISTS) {
        return true;
    }
    // Access is refused both for a name whose folder is being deleted and for
    // every name in a folder we may not write to; only in the first case is
    // the name still there (or, while the deletion is pending, itself refused).
    return createError == ERROR_ACCESS_DENIED &&
           (probeError == 0 || probeError == ERROR_ACCESS_DENIED);
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
        const DWORD createError = GetLastError();
        const DWORD probeError =
            GetFileAttributesW(candidate) == INVALID_FILE_ATTRIBUTES ? GetLastError() : 0;
        if (!IsCandidateNameTaken(createError, probeError)) {
            return false;
        }
    }
    return false;
}

namespace {

// "X:\..." or "\\server\share\...": a path that says where it starts. Anything
// else is resolved against the current directory or drive.
bool IsFullyQualified(const std::wstring& path) {
    if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\') {
        const wchar_t drive = path[0];
        return (drive >= L'A' && drive <= L'Z') || (drive >= L'a' && drive <= L'z');
    }
    return path.size() >= 3 && path[0] == L'\\' && path[1] == L'\\' && path[2] != L'\\';
}

} // namespace

bool DeleteFolderTree(const std::wstring& path) {
    // An empty or relative path would empty the current directory.
    if (!IsFullyQualified(path)) {
        return false;
    }
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
