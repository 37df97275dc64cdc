#pragma once

#include <windows.h>

#include <string>

// A file the elevated program reads or writes in a folder that the user's
// other processes can write (the package beside the program) must be the
// file named there, not a link planted in its place. These helpers open a
// name as it is (FILE_FLAG_OPEN_REPARSE_POINT: a link is opened, never
// followed) and refuse what is not a plain file.

// Whether an entry is a plain file: neither the path's nor the open handle's
// attributes show a reparse point (junction or symbolic link) or a folder,
// the path exists, and the file has no second name (hard link). Both
// attribute sets count: some systems show a link by only one of them.
bool IsPlainFile(DWORD pathAttributes, DWORD handleAttributes, DWORD links);

// The error a file that is not plain gives: ERROR_REPARSE_ATTRIBUTE_CONFLICT.
constexpr DWORD kNotPlainFileError = ERROR_REPARSE_ATTRIBUTE_CONFLICT;

// CreateFileW of `path` with FILE_FLAG_OPEN_REPARSE_POINT added to `flags`,
// refused before the open when the name is a link already, and after it when
// the file open is not plain (IsPlainFile). INVALID_HANDLE_VALUE with the
// error in GetLastError(): the open's own, or kNotPlainFileError.
HANDLE OpenPlainFile(const std::wstring& path, DWORD access, DWORD share, DWORD disposition,
                     DWORD flags);
