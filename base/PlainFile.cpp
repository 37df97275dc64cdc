#include "base/PlainFile.h"

bool IsPlainFile(DWORD pathAttributes, DWORD handleAttributes, DWORD links) {
    const DWORD notPlain = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
    return pathAttributes != INVALID_FILE_ATTRIBUTES &&
           ((pathAttributes | handleAttributes) & notPlain) == 0 && links == 1;
}

HANDLE OpenPlainFile(const std::wstring& path, DWORD access, DWORD share, DWORD disposition,
                     DWORD flags) {
    // A name that is a link already is refused with the clear error, not with
    // whatever opening the link (or its target) happens to give.
    const DWORD before = GetFileAttributesW(path.c_str());
    if (before != INVALID_FILE_ATTRIBUTES && (before & FILE_ATTRIBUTE_REPARSE_POINT)) {
        SetLastError(kNotPlainFileError);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE file = CreateFileW(path.c_str(), access, share, nullptr, disposition,
                              flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return INVALID_HANDLE_VALUE;
    }
    // The handle holds the name (no delete sharing), so the path's
    // attributes read now are those of the entry that was opened.
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(file, &info)) {
        const DWORD error = GetLastError();
        CloseHandle(file);
        SetLastError(error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE);
        return INVALID_HANDLE_VALUE;
    }
    if (!IsPlainFile(GetFileAttributesW(path.c_str()), info.dwFileAttributes,
                     info.nNumberOfLinks)) {
        CloseHandle(file);
        SetLastError(kNotPlainFileError);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}
