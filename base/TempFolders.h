#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Private working folders under the user's temporary folder. Every path these
// helpers produce ends in a backslash so a file name can be appended directly.
//
// Owner rule: an owner keeps a folder path only when both GetTempFolderPath and
// CreateUniqueSubfolder succeeded, and deletes it at the end only when the path
// is not empty, so the user's temporary folder itself is never deleted.

// Every folder CreateUniqueSubfolder makes holds a small file that names the
// processes using it (this process; later also a setup it starts there), so a
// later start can tell a folder of this program whose users are all gone (a
// run that was killed, lost power or crashed) from anything else: a folder
// without that file, or with a file that does not read as one, is never
// touched.
extern const wchar_t kFolderUsersFileName[];

// One process that uses a folder: its id and its creation time (FILETIME as
// a number), so that an id the system has given to a new process since does
// not count as the old one.
struct FolderUser {
    DWORD processId;
    ULONGLONG created;
};

// The text of a users file: one line "<decimal id> <16 hex digits>" per user,
// each ended by CR LF, at most kMaxFolderUsers lines. False (and `users`
// unspecified) for anything else.
bool ParseFolderUsers(const std::string& text, std::vector<FolderUser>& users);
std::string FormatFolderUser(const FolderUser& user);
constexpr size_t kMaxFolderUsers = 16;

// Whether `name` is a name CreateUniqueSubfolder gives: 1 to 8 lower-case hex
// digits, no leading zero.
bool IsUniqueSubfolderName(const std::wstring& name);

// Adds `process` (a handle with query rights) to the users file of `folder`.
bool AddFolderUser(const std::wstring& folder, HANDLE process);

// Whether `user` still runs: the id names a running process created at that
// time. A process this one may not query is taken to run.
bool IsFolderUserRunning(const FolderUser& user);

// Whether a process other than this one that the users file of `folder`
// names still runs (a setup started there, say).
bool IsFolderUsedByOthers(const std::wstring& folder);

// Removes the folders of earlier runs under `parent` (the temporary folder):
// those with a CreateUniqueSubfolder name, not a link, whose users file reads
// well and names no process that still runs. Returns the folders removed
// (paths ending in a backslash). At most kMaxSweptFolders are looked at, so
// a temporary folder with a huge number of entries cannot hold a start.
std::vector<std::wstring> RemoveAbandonedFolders(const std::wstring& parent);
constexpr size_t kMaxSweptFolders = 4096;

// The long form of the user's temporary folder, ending in a backslash. On
// failure `path` is left unchanged.
bool GetTempFolderPath(std::wstring& path);

// The access an elevated process gives the folders it makes: SYSTEM and the
// Administrators full control, inherited by everything below, and nothing
// inherited from the temporary folder, whose user (and every process of that
// user, elevated or not) could otherwise change the pages, the package or
// setup.exe before the elevated program uses them. In the security
// descriptor definition language.
extern const wchar_t kElevatedFolderSecurity[];

// Whether this process runs with a high (or system) integrity level, as an
// elevated administrator does.
bool IsProcessHighIntegrity();

// Creates one folder; with `elevated` under kElevatedFolderSecurity, otherwise
// with the access it inherits. Fails (GetLastError set) as CreateDirectoryW.
bool CreatePrivateFolder(const std::wstring& path, bool elevated);

// `path` names an existing folder; on success it is replaced by a newly
// created sub-folder (made with CreatePrivateFolder, elevated when this
// process is) named by the tick count in lower-case hex (the next
// number when that name is taken), whose users file names this process. On
// failure `path` is left unchanged.
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
