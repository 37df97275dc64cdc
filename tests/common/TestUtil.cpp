#include "tests/common/TestUtil.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

namespace testutil {

std::wstring Env(const wchar_t* name) {
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) {
        return std::wstring();
    }
    std::vector<wchar_t> buffer(size);
    const DWORD length = GetEnvironmentVariableW(name, buffer.data(), size);
    return std::wstring(buffer.data(), length < size ? length : 0);
}

EnvOverride::EnvOverride(const wchar_t* name, const std::wstring& value)
    : name_(name), old_(Env(name)) {
    SetEnvironmentVariableW(name, value.c_str());
}

EnvOverride::~EnvOverride() {
    SetEnvironmentVariableW(name_.c_str(), old_.empty() ? nullptr : old_.c_str());
}

int ServerPort(const wchar_t* name) {
    const std::wstring value = Env((L"BC_" + std::wstring(name) + L"_PORT").c_str());
    return value.empty() ? 0 : _wtoi(value.c_str());
}

std::wstring ServerDir(const wchar_t* name) {
    std::wstring dir = Env((L"BC_" + std::wstring(name) + L"_DIR").c_str());
    if (!dir.empty() && dir.back() != L'\\') {
        dir += L'\\';
    }
    return dir;
}

std::wstring UnixToWindowsPath(const std::wstring& unixPath) {
    std::wstring path = L"Z:" + unixPath;
    for (wchar_t& c : path) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return path;
}

namespace {

// The Unix path of a Windows path, through Wine's own export; empty when
// there is none (not under Wine).
std::string UnixFileName(const std::wstring& path) {
    using Function = char*(CDECL*)(const wchar_t*);
    const FARPROC found =
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name");
    if (!found) {
        return std::string();
    }
    Function function;
    memcpy(&function, &found, sizeof function);
    char* name = function(path.c_str());
    if (!name) {
        return std::string();
    }
    std::string text = name;
    HeapFree(GetProcessHeap(), 0, name);
    return text;
}

} // namespace

bool MakeUnixSymlink(const std::wstring& target, const std::wstring& link) {
    const size_t slash = link.find_last_of(L'\\');
    const std::string unixTarget = UnixFileName(target);
    const std::string unixParent = UnixFileName(link.substr(0, slash));
    if (unixTarget.empty() || unixParent.empty() || slash == std::wstring::npos) {
        return false;
    }
    const std::string unixLink =
        unixParent + "/" + std::string(link.begin() + slash + 1, link.end());
    // Split into arguments by the Windows rules: double quotes.
    std::wstring command = L"/bin/ln -s -n \"" +
                           std::wstring(unixTarget.begin(), unixTarget.end()) + L"\" \"" +
                           std::wstring(unixLink.begin(), unixLink.end()) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(L"Z:\\bin\\ln", &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return false;
    }
    // Wine hands the Unix program over and the handle may be signalled before
    // it has run: the link itself is waited for, at most 10 s.
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    for (int tries = 0; tries < 200 && attributes == INVALID_FILE_ATTRIBUTES; ++tries) {
        attributes = GetFileAttributesW(link.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            Sleep(50);
        }
    }
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool RemoveUnixSymlink(const std::wstring& link) {
    const std::string unixLink = UnixFileName(link);
    if (unixLink.empty()) {
        return false;
    }
    std::wstring command =
        L"/bin/rm -f \"" + std::wstring(unixLink.begin(), unixLink.end()) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(L"Z:\\bin\\rm", &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return false;
    }
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    // As for the link's making: the handle may be signalled before rm ran.
    for (int tries = 0; tries < 200; ++tries) {
        if (GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES) {
            return true;
        }
        Sleep(50);
    }
    return false;
}

std::wstring SmallDiskFolder() {
    const std::wstring unixPath = Env(L"BC_SMALL_DISK");
    if (unixPath.empty()) {
        return std::wstring();
    }
    std::wstring path = UnixToWindowsPath(unixPath);
    if (path.back() != L'\\') {
        path += L'\\';
    }
    return path;
}

bool IsUpperHex(wchar_t c) {
    return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F');
}

bool IsGuidText(const std::wstring& text) {
    if (text.size() != 36) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != L'-' : !IsUpperHex(text[i])) {
            return false;
        }
    }
    return true;
}

bool IsGuidText(const std::string& text) {
    return IsGuidText(std::wstring(text.begin(), text.end()));
}

std::string ReadFileBytes(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::string();
    }
    std::string bytes;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        bytes.append(chunk, got);
    }
    CloseHandle(file);
    return bytes;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    size_t done = 0;
    bool ok = true;
    while (ok && done < bytes.size()) {
        DWORD wrote = 0;
        const DWORD part =
            static_cast<DWORD>(bytes.size() - done > (1u << 20) ? (1u << 20) : bytes.size() - done);
        ok = WriteFile(file, bytes.data() + done, part, &wrote, nullptr) && wrote == part;
        done += wrote;
    }
    CloseHandle(file);
    return ok;
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

namespace {

void RemoveTree(const std::wstring& folder) {
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + L"*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            const std::wstring child = folder + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
                SetFileAttributesW(child.c_str(),
                                   entry.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
            }
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child + L"\\");
            } else {
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
}

} // namespace

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!done()) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (done()) {
            break;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            return false;
        }
        const ULONGLONG slice = deadline - now < 20 ? deadline - now : 20;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(slice), QS_ALLINPUT);
    }
    return true;
}

ScratchFolder::ScratchFolder() {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    static LONG counter = 0;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        wchar_t name[64];
        swprintf(name, 64, L"bctest-%lu-%ld\\", GetCurrentProcessId(),
                 InterlockedIncrement(&counter));
        const std::wstring candidate = std::wstring(temp) + name;
        if (CreateDirectoryW(candidate.c_str(), nullptr)) {
            path_ = candidate;
            break;
        }
    }
}

ScratchFolder::~ScratchFolder() {
    if (!path_.empty()) {
        RemoveTree(path_);
    }
}

} // namespace testutil
