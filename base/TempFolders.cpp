#include "base/TempFolders.h"

#include "base/UniqueHandle.h"

#include <sddl.h>
#include <shlwapi.h>

#include <cstdio>
#include <cwchar>

const wchar_t kFolderUsersFileName[] = L"~bcrun.users";

namespace {

// A users file is a few short lines; anything larger is not ours.
const DWORD kMaxFolderUsersFileBytes = 1024;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsLowerHex(char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'f');
}

std::wstring UsersFilePath(const std::wstring& folder) {
    wchar_t file[MAX_PATH] = {};
    if (!PathCombineW(file, folder.c_str(), kFolderUsersFileName)) {
        return std::wstring();
    }
    return file;
}

bool ReadUsersFile(const std::wstring& folder, std::string& text) {
    const std::wstring path = UsersFilePath(folder);
    if (path.empty()) {
        return false;
    }
    // Never through a link: the file must be the folder's own.
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!file || !GetFileInformationByHandle(file.Get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
        info.nFileSizeHigh != 0 || info.nFileSizeLow > kMaxFolderUsersFileBytes) {
        return false;
    }
    char buffer[kMaxFolderUsersFileBytes] = {};
    DWORD read = 0;
    if (!ReadFile(file.Get(), buffer, sizeof buffer, &read, nullptr)) {
        return false;
    }
    text.assign(buffer, read);
    return true;
}

} // namespace

bool ParseFolderUsers(const std::string& text, std::vector<FolderUser>& users) {
    users.clear();
    size_t at = 0;
    while (at < text.size()) {
        if (users.size() == kMaxFolderUsers) {
            return false;
        }
        const size_t end = text.find("\r\n", at);
        if (end == std::string::npos) {
            return false;
        }
        const std::string line = text.substr(at, end - at);
        const size_t blank = line.find(' ');
        if (blank == std::string::npos || blank == 0 || blank > 10 ||
            line.size() != blank + 1 + 16) {
            return false;
        }
        ULONGLONG id = 0;
        for (size_t i = 0; i < blank; ++i) {
            if (!IsDigit(line[i])) {
                return false;
            }
            id = id * 10 + static_cast<ULONGLONG>(line[i] - '0');
        }
        if (id > 0xFFFFFFFFull || (blank > 1 && line[0] == '0')) {
            return false;
        }
        ULONGLONG created = 0;
        for (size_t i = blank + 1; i < line.size(); ++i) {
            const char c = line[i];
            if (!IsLowerHex(c)) {
                return false;
            }
            created = created * 16 + static_cast<ULONGLONG>(IsDigit(c) ? c - '0' : c - 'a' + 10);
        }
        users.push_back(FolderUser{static_cast<DWORD>(id), created});
        at = end + 2;
    }
    return !users.empty();
}

std::string FormatFolderUser(const FolderUser& user) {
    char line[40];
    std::snprintf(line, sizeof line, "%lu %016llx\r\n", static_cast<unsigned long>(user.processId),
                  static_cast<unsigned long long>(user.created));
    return line;
}

bool IsUniqueSubfolderName(const std::wstring& name) {
    if (name.empty() || name.size() > 8 || name[0] == L'0') {
        return false;
    }
    for (wchar_t c : name) {
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) {
            return false;
        }
    }
    return true;
}

namespace {

bool CreationTimeOf(HANDLE process, ULONGLONG& created) {
    FILETIME creation = {}, exit = {}, kernel = {}, user = {};
    if (!GetProcessTimes(process, &creation, &exit, &kernel, &user)) {
        return false;
    }
    created = (static_cast<ULONGLONG>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
    return true;
}

} // namespace

bool AddFolderUser(const std::wstring& folder, HANDLE process) {
    FolderUser user = {GetProcessId(process), 0};
    if (user.processId == 0 || !CreationTimeOf(process, user.created)) {
        return false;
    }
    const std::wstring path = UsersFilePath(folder);
    if (path.empty()) {
        return false;
    }
    FileHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) {
        return false;
    }
    const std::string line = FormatFolderUser(user);
    DWORD written = 0;
    return WriteFile(file.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
           written == line.size();
}

bool IsFolderUserRunning(const FolderUser& user) {
    KernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, user.processId));
    if (!process) {
        // It exists but is not ours to query (another user's, a protected
        // one): it may be the user, so the folder stays.
        return GetLastError() == ERROR_ACCESS_DENIED;
    }
    DWORD exitCode = 0;
    ULONGLONG created = 0;
    if (!GetExitCodeProcess(process.Get(), &exitCode) || !CreationTimeOf(process.Get(), created)) {
        return true;
    }
    return exitCode == STILL_ACTIVE && created == user.created;
}

bool IsFolderUsedByOthers(const std::wstring& folder) {
    std::string text;
    std::vector<FolderUser> users;
    if (!ReadUsersFile(folder, text) || !ParseFolderUsers(text, users)) {
        return false;
    }
    const DWORD self = GetCurrentProcessId();
    for (const FolderUser& user : users) {
        if (user.processId != self && IsFolderUserRunning(user)) {
            return true;
        }
    }
    return false;
}

std::vector<std::wstring> RemoveAbandonedFolders(const std::wstring& parent) {
    std::vector<std::wstring> removed;
    std::vector<std::wstring> candidates;
    wchar_t pattern[MAX_PATH] = {};
    if (!PathCombineW(pattern, parent.c_str(), L"*")) {
        return removed;
    }
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW(pattern, &entry);
    if (find == INVALID_HANDLE_VALUE) {
        return removed;
    }
    size_t seen = 0;
    do {
        const DWORD attributes = entry.dwFileAttributes;
        // A link is never entered: it may lead anywhere.
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
            IsUniqueSubfolderName(entry.cFileName)) {
            wchar_t folder[MAX_PATH] = {};
            if (PathCombineW(folder, parent.c_str(), entry.cFileName) &&
                PathAddBackslashW(folder)) {
                candidates.push_back(folder);
            }
        }
    } while (++seen < kMaxSweptFolders && FindNextFileW(find, &entry));
    FindClose(find);

    for (const std::wstring& folder : candidates) {
        std::string text;
        std::vector<FolderUser> users;
        if (!ReadUsersFile(folder, text) || !ParseFolderUsers(text, users)) {
            continue;
        }
        bool inUse = false;
        for (const FolderUser& user : users) {
            inUse = inUse || IsFolderUserRunning(user);
        }
        if (!inUse) {
            DeleteFolderTree(folder);
            if (GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) {
                removed.push_back(folder);
            }
        }
    }
    return removed;
}

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

const wchar_t kElevatedFolderSecurity[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

bool IsProcessHighIntegrity() {
    KernelHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Receive())) {
        return false;
    }
    DWORD size = 0;
    GetTokenInformation(token.Get(), TokenIntegrityLevel, nullptr, 0, &size);
    if (size < sizeof(TOKEN_MANDATORY_LABEL) || size > 4096) {
        return false;
    }
    std::vector<BYTE> buffer(size);
    if (!GetTokenInformation(token.Get(), TokenIntegrityLevel, buffer.data(), size, &size)) {
        return false;
    }
    const auto* label = reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(buffer.data());
    PSID sid = label->Label.Sid;
    if (!sid || !IsValidSid(sid) || *GetSidSubAuthorityCount(sid) < 1) {
        return false;
    }
    return *GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1) >=
           SECURITY_MANDATORY_HIGH_RID;
}

bool CreatePrivateFolder(const std::wstring& path, bool elevated) {
    if (!elevated) {
        return CreateDirectoryW(path.c_str(), nullptr) != FALSE;
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            kElevatedFolderSecurity, SDDL_REVISION_1, &descriptor, nullptr)) {
        return false;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    const BOOL made = CreateDirectoryW(path.c_str(), &attributes);
    const DWORD error = GetLastError();
    LocalFree(descriptor);
    SetLastError(error);
    return made != FALSE;
}

bool CreateUniqueSubfolder(std::wstring& path) {
    return CreateUniqueSubfolderFrom(path, GetTickCount());
}

bool CreateUniqueSubfolderFrom(std::wstring& path, DWORD first) {
    if (!PathFileExistsW(path.c_str())) {
        return false;
    }
    const bool elevated = IsProcessHighIntegrity();
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
        if (CreatePrivateFolder(candidate, elevated)) {
            path = candidate;
            // Unmarked, the folder is only never swept by a later start.
            AddFolderUser(path, GetCurrentProcess());
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
