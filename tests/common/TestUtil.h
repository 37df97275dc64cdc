#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace testutil {

// Value of an environment variable, empty when unset.
std::wstring Env(const wchar_t* name);

// Sets an environment variable of this process while it lives, then puts
// back the value it had (an empty one counts as unset and is removed).
class EnvOverride {
public:
    EnvOverride(const wchar_t* name, const std::wstring& value);
    ~EnvOverride();
    EnvOverride(const EnvOverride&) = delete;
    EnvOverride& operator=(const EnvOverride&) = delete;

private:
    std::wstring name_;
    std::wstring old_;
};

// Points this process's temporary folder (TMP, then TEMP) at `folder` while
// it lives.
class TempFolderOverride {
public:
    explicit TempFolderOverride(const std::wstring& folder)
        : tmp_(L"TMP", folder), temp_(L"TEMP", folder) {}

private:
    EnvOverride tmp_;
    EnvOverride temp_;
};

// Port and folder of a helper server started by the test launcher
// (BC_<NAME>_PORT, BC_<NAME>_DIR); 0 / empty when it was not started.
int ServerPort(const wchar_t* name);
std::wstring ServerDir(const wchar_t* name);

// A folder on a small file system that the test run mounted, for disk-full
// cases (BC_SMALL_DISK, a Unix path, turned into its Z: drive form); empty
// when the run could not mount one.
std::wstring SmallDiskFolder();

// Unix path to the path Wine shows for it under the Z: drive.
std::wstring UnixToWindowsPath(const std::wstring& unixPath);

// Makes `link` a symbolic link to the folder `target` (Windows paths, the
// link's parent existing). This Wine makes no link through
// CreateSymbolicLinkW, but shows a Unix link to a folder as a reparse point
// (a link to a file it shows as that file), so the link is made by the
// system's own ln, started as a Unix program. Whether it now exists and shows
// as a reparse point.
bool MakeUnixSymlink(const std::wstring& target, const std::wstring& link);
// Removes such a link (not what it points at) with the system's rm; this
// Wine removes a link to a folder neither as a file nor as a folder. Whether
// it is gone.
bool RemoveUnixSymlink(const std::wstring& link);

// An upper-case hexadecimal digit.
bool IsUpperHex(wchar_t c);
// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" with upper-case hexadecimal digits,
// as the program writes its identifiers and tokens.
bool IsGuidText(const std::wstring& text);
bool IsGuidText(const std::string& text);

std::string ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);

// Pumps this thread's messages until `done()` or `timeoutMs` passed; whether
// `done()` came true. The condition is checked at least every 20 ms, as it
// may also change without a message (a worker thread ending).
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs);

// A fresh private folder under the temporary folder, ending in a backslash,
// removed with everything in it when the object goes away.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + name; }

private:
    std::wstring path_;
};

} // namespace testutil
