#include "payload/PayloadArchive.h"

#include "base/SafeNames.h"
#include "base/TempFolders.h"
#include "base/UniqueHandle.h"
#include "base/Utf8.h"
#include "payload/LicenseDownload.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>
#include <exception>
#include <memory>
#include <new>

const wchar_t kLicenseServerUrl[] = L"" BC_LICENSE_SERVER_URL;

namespace {

bool ReadWhole(HANDLE file, void* buffer, DWORD size) {
    DWORD got = 0;
    return ReadFile(file, buffer, size, &got, nullptr) && got == size;
}

std::wstring Combine(const std::wstring& folder, const std::wstring& name) {
    wchar_t combined[MAX_PATH] = {};
    if (!PathCombineW(combined, folder.c_str(), name.c_str())) {
        return std::wstring();
    }
    return combined;
}

} // namespace

bool IsSafeRecordName(const wchar_t* name) {
    const size_t length = wcslen(name);
    return length > 0 && length < 260 && IsSafeRelativeName(std::wstring(name, length));
}

std::vector<std::wstring> ScanLanguageList(const std::wstring& text) {
    std::vector<std::wstring> list;
    const size_t key = text.find(L"\"LANG\"");
    if (key == std::wstring::npos) {
        return list;
    }
    bool inString = false;
    size_t start = 0;
    for (size_t i = key + 7; i < text.size() && text[i] != L']'; ++i) {
        if (text[i] != L'"') {
            continue;
        }
        if (inString) {
            list.push_back(text.substr(start, i - start));
        } else {
            start = i + 1;
        }
        inString = !inString;
    }
    return list;
}

std::wstring LicenseUrl(const std::wstring& serverUrl, const std::wstring& productId,
                        const std::wstring& languageCode) {
    std::wstring base = serverUrl;
    while (!base.empty() && base.back() == L'/') {
        base.pop_back();
    }
    return base + L"/license/" + productId + L"/" + languageCode + L"/Eula.html";
}

PayloadArchive::PayloadArchive(LogFile& logFile) : isLoaded(false), log(logFile) {
    std::wstring folder;
    if (!GetTempFolderPath(folder) || !CreateUniqueSubfolder(folder)) {
        log.LogError(L"create temporary folder failed!");
        return;
    }
    temporaryFolder = folder;
    if (LoadFromOwnFile(temporaryFolder)) {
        isLoaded = true;
        log.LogDebug(L"load resource success, temporary folder path : %s", temporaryFolder.c_str());
    }
}

PayloadArchive::~PayloadArchive() {
    if (!temporaryFolder.empty() && !DeleteFolderTree(temporaryFolder)) {
        log.LogError(L"Delete Temp folder failed!");
    }
}

bool PayloadArchive::LoadFromOwnFile(const std::wstring& folder) {
    log.LogDebug(L"Load Resource from pe.");
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        // A cut-off name would open some other file.
        log.LogError(L"get current app full path failed!");
        return false;
    }
    return LoadFromFile(path, folder);
}

bool PayloadArchive::LoadFromFile(const std::wstring& path, const std::wstring& folder) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                0, nullptr));
    if (!file.IsValid()) {
        log.LogError(L"open file : %s failed!", path.c_str());
        return false;
    }

    LARGE_INTEGER fileSize = {};
    DWORD firstRecord = 0;
    LARGE_INTEGER tail = {};
    if (GetFileSizeEx(file.Get(), &fileSize)) {
        tail.QuadPart = fileSize.QuadPart - 4;
    }
    if (fileSize.QuadPart < 4 || !SetFilePointerEx(file.Get(), tail, nullptr, FILE_BEGIN) ||
        !ReadWhole(file.Get(), &firstRecord, sizeof firstRecord)) {
        log.LogError(L"read end of certification table failed!");
        return false;
    }
    LARGE_INTEGER position = {};
    position.QuadPart = firstRecord;
    SetFilePointerEx(file.Get(), position, nullptr, FILE_BEGIN);

    bool result = true;
    for (;;) {
        PayloadRecordHeader header;
        if (!ReadWhole(file.Get(), &header, sizeof header)) {
            log.LogError(L"read file info failed!");
            result = false;
            break;
        }
        position.QuadPart += sizeof header;
        if (header.name[0] == L'\0') {
            break;
        }
        // A size the rest of the file cannot hold is refused before any memory
        // is set aside for it.
        const LONGLONG left = fileSize.QuadPart - position.QuadPart;
        std::unique_ptr<BYTE[]> data;
        if (header.sizeHigh == 0 && static_cast<LONGLONG>(header.sizeLow) <= left) {
            data.reset(new (std::nothrow) BYTE[header.sizeLow ? header.sizeLow : 1]);
        }
        if (!data || !ReadWhole(file.Get(), data.get(), header.sizeLow)) {
            log.LogError(L"read file data failed!");
            result = false;
            break;
        }
        position.QuadPart += header.sizeLow;
        if (!WriteArchiveEntry(header, data.get(), folder)) {
            log.LogError(L"create %s failed!", folder.c_str());
            result = false;
            break;
        }
    }
    file.Reset();
    log.LogDebug(L"Load Resource from pe finished.");
    return result;
}

bool PayloadArchive::WriteArchiveEntry(const PayloadRecordHeader& header, const void* data,
                                       const std::wstring& folder) {
    if (header.sizeHigh != 0 || wmemchr(header.name, L'\0', 260) == nullptr ||
        !IsSafeRecordName(header.name)) {
        return false;
    }
    const std::wstring target = ResolveInsideFolder(folder, header.name);
    if (target.empty()) {
        return false;
    }

    wchar_t parent[MAX_PATH] = {};
    wcscpy(parent, target.c_str());
    PathRemoveFileSpecW(parent);
    if (!PathFileExistsW(parent) &&
        SHCreateDirectoryExW(nullptr, parent, nullptr) != ERROR_SUCCESS) {
        return false;
    }

    FileHandle file(CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                CREATE_ALWAYS, 0, nullptr));
    if (!file.IsValid()) {
        return false;
    }
    SetFilePointer(file.Get(), 0, nullptr, FILE_END);
    DWORD written = 0;
    const BOOL ok = WriteFile(file.Get(), data, header.sizeLow, &written, nullptr);
    file.Reset();
    return ok && written == header.sizeLow;
}

std::vector<std::wstring> PayloadArchive::ReadLanguageList() {
    if (temporaryFolder.empty()) {
        return std::vector<std::wstring>();
    }
    const std::wstring path = Combine(temporaryFolder, L"js\\installparams.js");
    FileHandle file(path.empty() ? INVALID_HANDLE_VALUE
                                 : CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) {
        return std::vector<std::wstring>();
    }
    // A file far larger than any parameter script is refused unread: decoding
    // hundreds of MiB would exhaust the address space.
    LARGE_INTEGER fileSize = {};
    if (!GetFileSizeEx(file.Get(), &fileSize) || fileSize.QuadPart < 0 ||
        fileSize.QuadPart > static_cast<LONGLONG>(kMaxInstallParamsBytes)) {
        return std::vector<std::wstring>();
    }
    const DWORD size = static_cast<DWORD>(fileSize.QuadPart);
    std::unique_ptr<char[]> bytes(new (std::nothrow) char[size ? size : 1]);
    DWORD got = 0;
    if (!bytes || !ReadFile(file.Get(), bytes.get(), size, &got, nullptr)) {
        return std::vector<std::wstring>();
    }
    file.Reset();
    // No exception leaves the archive object; short of memory the list is empty.
    try {
        return ScanLanguageList(FromUtf8(bytes.get(), got));
    } catch (const std::exception&) {
        return std::vector<std::wstring>();
    }
}

void PayloadArchive::PrepareLicensePage(const std::wstring& productId,
                                        const std::wstring& languageCode) {
    PrepareLicensePage(productId, languageCode, kLicenseServerUrl, kLicenseDownloadTimeoutMs);
}

void PayloadArchive::PrepareLicensePage(const std::wstring& productId,
                                        const std::wstring& languageCode,
                                        const std::wstring& serverUrl, DWORD timeoutMs) {
    if (temporaryFolder.empty()) {
        return;
    }
    const std::wstring target = Combine(temporaryFolder, L"Eula.html");
    const std::wstring source = Combine(temporaryFolder, L"Eula-" + languageCode + L".html");
    const std::wstring temp = Combine(temporaryFolder, L"Eula.html-temp");
    if (target.empty() || temp.empty()) {
        return;
    }
    if (!source.empty() && PathFileExistsW(source.c_str())) {
        MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING);
    }

    const std::wstring url = LicenseUrl(serverUrl, productId, languageCode);
    log.LogDebug(L"Dynamic license from %s.", url.c_str());
    if (DownloadLicenseFile(url, temp, timeoutMs) == S_OK) {
        MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING);
        log.LogDebug(L"Download license from %s success.", url.c_str());
    } else {
        // An aborted or refused transfer may have left part of a file or an
        // error page behind.
        DeleteFileW(temp.c_str());
        log.LogDebug(L"Download license from %s failed.", url.c_str());
    }
}
