// zipextract [--check] ZIP FOLDER
//
// Extracts ZIP into FOLDER with the zip layer, through the same function
// the installer's extract step calls, for the unzip benchmark. Prints
// "entries N", "errors N" and "extract_ms N" (the call alone, without the
// process start) on stdout; exits 0 when every entry was extracted.
// --check first checks every block of ZIP on the same handle against its
// companion ZIP.meta, as the extract step does, and prints "check_ms N";
// a package that does not fit it is not extracted (exit code 2).

#include "downloader/DownloadSimpleTask.h"
#include "downloader/PackageCheck.h"
#include "zip/ZipExtract.h"

#include <string>
#include <vector>

#include <windows.h>

#include <cstdio>

namespace {

class CountingReporter : public zip::ZipReporter {
public:
    void OnProgress(int, int total) override { total_ = total; }
    void OnError(unsigned long error) override {
        ++errors_;
        std::fprintf(stderr, "zipextract: error %lu\n", error);
    }
    void OnLog(const wchar_t* line) override { std::fprintf(stderr, "zipextract: %ls\n", line); }

    int total() const { return total_; }
    int errors() const { return errors_; }

private:
    int total_ = 0;
    int errors_ = 0;
};

} // namespace

// The companion at `path`; false when it cannot be read or parsed.
bool ReadCompanion(const std::wstring& path, downloader::DownloadMeta& meta) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    LARGE_INTEGER size;
    std::vector<char> bytes;
    DWORD got = 0;
    bool ok = GetFileSizeEx(file, &size) && size.QuadPart <= downloader::kMaxCompanionBytes;
    if (ok) {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        ok = bytes.empty() ||
             (ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) &&
              got == bytes.size());
    }
    CloseHandle(file);
    return ok && downloader::ParseDownloadMeta(bytes.data(), bytes.size(), meta) == S_OK;
}

int wmain(int argc, wchar_t** argv) {
    const bool check = argc == 4 && std::wstring(argv[1]) == L"--check";
    if (argc != 3 && !check) {
        std::fprintf(stderr, "usage: zipextract [--check] ZIP FOLDER\n");
        return 1;
    }
    const wchar_t* zipPath = argv[argc - 2];
    const wchar_t* folder = argv[argc - 1];
    HANDLE zipFile = CreateFileW(zipPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (zipFile == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "zipextract: cannot open the zip (error %lu)\n", GetLastError());
        return 1;
    }
    CountingReporter reporter;
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    if (check) {
        downloader::DownloadMeta meta;
        if (!ReadCompanion(std::wstring(zipPath) + L".meta", meta)) {
            std::fprintf(stderr, "zipextract: cannot read the companion\n");
            CloseHandle(zipFile);
            return 1;
        }
        QueryPerformanceCounter(&start);
        const long result = downloader::CheckFileAgainstCompanion(zipFile, meta).result;
        QueryPerformanceCounter(&end);
        std::printf("check_ms %lld\n", (end.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart);
        if (result != S_OK) {
            std::fprintf(stderr, "zipextract: the zip does not fit its companion (0x%lx)\n",
                         static_cast<unsigned long>(result));
            CloseHandle(zipFile);
            return 2;
        }
    }
    QueryPerformanceCounter(&start);
    const bool ok = zip::ZipExtractToFolder(zipFile, folder, &reporter);
    QueryPerformanceCounter(&end);
    CloseHandle(zipFile);
    std::printf("entries %d\nerrors %d\nextract_ms %lld\n", reporter.total(), reporter.errors(),
                (end.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart);
    return ok ? 0 : 1;
}
