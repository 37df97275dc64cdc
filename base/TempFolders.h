#pragma once

#include <windows.h>

#include <string>

// Private working folders under the user's temporary folder. Every path these
// helpers produce ends in a backslash so a file name can be appended directly.
//
// Owner rule: an owner keeps a folder path only when both GetTempFolderPath and
// CreateUniqueSubfolder succeeded, and deletes it at the end only when the path
// is not empty, so the user's temporary folder itself is never deleted.

// The long form of the user's temporary folder, ending in a backslash. On
// failure `path` is left unchanged.
bool GetTempFolderPath(std::wstring& path);

// `path` names an existing folder; on success it is replaced by a newly
// created sub-folder named by the tick count in lower-case hex (the next
// number when that name is taken). On failure `path` is left unchanged.
bool CreateUniqueSubfolder(std::wstring& path);

// As CreateUniqueSubfolder, with the first number to try given.
bool CreateUniqueSubfolderFrom(std::wstring& path, DWORD first);

// Whether CreateDirectoryW failing with `createError` on a candidate name
// means that the name is taken, so the next one is tried; `probeError` is the
// error of GetFileAttributesW on that name, 0 when it succeeded. A folder that
// someone else is deleting refuses access to its name but still holds it.
bool IsCandidateNameTaken(DWORD createError, DWORD probeError);

// Deletes everything below `path` and then the folder; the result is that of
// removing the folder itself. Files that cannot be deleted stay. An empty or
// relative path (also "\\x" or "C:x") is refused: false, nothing touched.
bool DeleteFolderTree(const std::wstring& path);

// Tries at most this many names before CreateUniqueSubfolder gives up, so a
// folder that refuses every name cannot hold the caller forever.
constexpr DWORD kUniqueSubfolderAttempts = 0x10000;
