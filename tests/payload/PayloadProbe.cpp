// A small program that unpacks the pages packed into its own file, for the
// payload tests: they pack copies of it and read what it reports.
//
//   payload_probe REPORT_FOLDER
//
// Builds a PayloadArchive as the installer does, copies the unpacked folder to
// REPORT_FOLDER\unpacked\, destroys the archive, and writes
// REPORT_FOLDER\report.txt (UTF-8 "key=value" lines: loaded, folder, existed,
// remains, languages) and REPORT_FOLDER\log.txt (the run's log).
#include "base/LogFile.h"
#include "payload/PayloadArchive.h"

#include <windows.h>

#include <shlwapi.h>

#include <string>
#include <vector>

namespace {

bool CopyTree(const std::wstring& from, const std::wstring& to) {
    CreateDirectoryW(to.c_str(), nullptr);
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((from + L"*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool ok = true;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            ok = CopyTree(from + name + L"\\", to + name + L"\\") && ok;
        } else {
            ok = CopyFileW((from + name).c_str(), (to + name).c_str(), FALSE) && ok;
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return ok;
}

std::string Utf8(const std::wstring& text) {
    if (text.empty()) {
        return std::string();
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], size,
                        nullptr, nullptr);
    return result;
}

bool WriteText(const std::wstring& path, const std::string& text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const BOOL ok =
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == text.size();
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        return 2;
    }
    std::wstring report = argv[1];
    if (report.empty() || report.back() != L'\\') {
        report += L'\\';
    }

    LogFile log;
    bool loaded = false;
    bool existed = false;
    std::wstring folder;
    std::vector<std::wstring> languages;
    {
        PayloadArchive archive(log);
        loaded = archive.isLoaded;
        folder = archive.temporaryFolder;
        existed = !folder.empty() && PathIsDirectoryW(folder.c_str());
        if (existed && !CopyTree(folder, report + L"unpacked\\")) {
            return 3;
        }
        languages = archive.ReadLanguageList();
    }
    const bool remains = !folder.empty() && PathFileExistsW(folder.c_str());

    std::wstring list;
    for (const std::wstring& code : languages) {
        list += (list.empty() ? L"" : L",") + code;
    }
    std::string text = "loaded=" + std::string(loaded ? "1" : "0") + "\n";
    text += "folder=" + Utf8(folder) + "\n";
    text += "existed=" + std::string(existed ? "1" : "0") + "\n";
    text += "remains=" + std::string(remains ? "1" : "0") + "\n";
    text += "languages=" + Utf8(list) + "\n";
    if (!WriteText(report + L"report.txt", text)) {
        return 4;
    }
    if (log.path.empty() || !CopyFileW(log.path.c_str(), (report + L"log.txt").c_str(), FALSE)) {
        return 5;
    }
    return 0;
}
