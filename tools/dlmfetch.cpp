// dlmfetch [--key PUBKEY.pem] URL FILE
//
// Runs one verified download of the package at URL into FILE, the way the
// installer does (companion URL + ".meta", verification of what is on disk,
// range requests from the first bad block). With --key the companion must
// carry a signature (URL + ".meta.sig") by that package key, as in a program
// built with it; the file holds the key's public half as PEM. Shows progress on stderr while
// it runs and prints exactly one last line on stdout, "result 0x%08X" with
// the download's HRESULT. Exits 0 only when that result is S_OK, 1
// otherwise. Ctrl+C cancels the download (result 0x80004004).

#include "downloader/DownloadSimpleTask.h"
#include "downloader/Object.h"

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <string>

namespace {

using downloader::details::Object;

class FetchCallback : public downloader::IDownloadCallback {
public:
    FetchCallback() : done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

    void OnProgress(int64_t bytesDone, int64_t bytesTotal) override {
        bytesDone_.store(bytesDone);
        bytesTotal_.store(bytesTotal);
        reports_.fetch_add(1);
    }
    void OnComplete(long result) override {
        result_.store(result);
        SetEvent(done_);
    }

    HANDLE done() const { return done_; }
    bool ok() const { return done_ != nullptr; }
    long result() const { return result_.load(); }
    int64_t bytesDone() const { return bytesDone_.load(); }
    int64_t bytesTotal() const { return bytesTotal_.load(); }
    long reports() const { return reports_.load(); }

protected:
    ~FetchCallback() {
        if (done_ != nullptr) {
            CloseHandle(done_);
        }
    }

private:
    HANDLE done_;
    std::atomic<long> result_{E_PENDING};
    std::atomic<int64_t> bytesDone_{0};
    std::atomic<int64_t> bytesTotal_{-1};
    std::atomic<long> reports_{0};
};

// Set by Ctrl+C; the main thread then cancels the download, so the handler
// never touches the task.
HANDLE g_cancelRequested = nullptr;

BOOL WINAPI OnConsoleControl(DWORD kind) {
    if (kind == CTRL_C_EVENT || kind == CTRL_BREAK_EVENT || kind == CTRL_CLOSE_EVENT) {
        SetEvent(g_cancelRequested);
        return TRUE;
    }
    return FALSE;
}

// What an operator should read into a result.
std::wstring Describe(long result) {
    switch (static_cast<unsigned long>(result)) {
    case 0:
        return L"the file matches the package";
    case 1:
        return L"reading or hashing the local file failed";
    case 0x80004004UL:
        return L"cancelled";
    case 0x80004005UL:
        return L"the companion (URL + \".meta\") is malformed or does not fit the file";
    case 0x8007000EUL:
        return L"out of memory";
    case 0x80070017UL:
        return L"the server keeps sending data that does not match the companion";
    case 0x80072EFBUL:
        return L"the server's answer does not fit the request (a missing companion or "
               L"package, a refused range, or a wrong status or length)";
    case 0x80072EFEUL:
        return L"the server keeps ending the transfer without sending anything new";
    case 0x80090006UL:
        return L"the companion's signature (URL + \".meta.sig\") is missing, malformed or "
               L"not made with the key";
    default:
        break;
    }
    // Windows and WinINet errors carry their own text.
    if ((static_cast<unsigned long>(result) & 0xFFFF0000UL) == 0x80070000UL) {
        const DWORD code = static_cast<DWORD>(result) & 0xFFFF;
        wchar_t* text = nullptr;
        DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS;
        HMODULE wininet = nullptr;
        if (code >= INTERNET_ERROR_BASE && code <= INTERNET_ERROR_LAST) {
            wininet = GetModuleHandleW(L"wininet.dll");
            flags |= FORMAT_MESSAGE_FROM_HMODULE;
        } else {
            flags |= FORMAT_MESSAGE_FROM_SYSTEM;
        }
        if (FormatMessageW(flags, wininet, code, 0, reinterpret_cast<wchar_t*>(&text), 0,
                           nullptr) != 0 &&
            text != nullptr) {
            std::wstring message(text);
            LocalFree(text);
            while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                                        message.back() == L' ' || message.back() == L'.')) {
                message.pop_back();
            }
            return message;
        }
    }
    return L"failed";
}

void ShowProgress(const FetchCallback& callback, DWORD elapsedMs, bool last) {
    const int64_t total = callback.bytesTotal();
    if (total < 0) {
        std::fwprintf(stderr, L"\rdlmfetch: fetching the companion... %ls", last ? L"\n" : L"");
    } else {
        const double mib = 1048576.0;
        const double done = static_cast<double>(callback.bytesDone());
        const double percent = total > 0 ? 100.0 * done / static_cast<double>(total) : 100.0;
        std::fwprintf(stderr, L"\rdlmfetch: %10.1f of %.1f MiB  %5.1f%%  %6.1f s  ", done / mib,
                      static_cast<double>(total) / mib, percent, elapsedMs / 1000.0);
        if (last) {
            std::fwprintf(stderr, L"\n");
        }
    }
    std::fflush(stderr);
}

// The package key of a PEM file; a key file is small, so more is refused unread.
bool ReadPackageKey(const wchar_t* path, downloader::PackageKey& key) {
    const HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    char text[16384];
    DWORD read = 0;
    const bool whole = ReadFile(file, text, sizeof(text), &read, nullptr) && read < sizeof(text);
    CloseHandle(file);
    return whole && downloader::PackageKeyFromPem(std::string(text, read), key);
}

int Finish(long result) {
    std::fflush(stderr);
    std::printf("result 0x%08lX\n", static_cast<unsigned long>(result));
    std::fflush(stdout);
    return result == S_OK ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    downloader::PackageKey key;
    const downloader::PackageKey* companionKey = nullptr;
    if (argc == 5 && std::wcscmp(argv[1], L"--key") == 0) {
        if (!ReadPackageKey(argv[2], key)) {
            std::fwprintf(stderr,
                          L"dlmfetch: %ls is not the PEM public key of a P-256 package "
                          L"key\n",
                          argv[2]);
            return Finish(E_INVALIDARG);
        }
        companionKey = &key;
        argv += 2;
        argc -= 2;
    }
    if (argc != 3 || argv[1][0] == L'\0' || argv[2][0] == L'\0') {
        std::fwprintf(stderr, L"usage: dlmfetch [--key PUBKEY.pem] URL FILE\n"
                              L"  Brings FILE to the package at URL, verified against its "
                              L"companion URL.meta\n"
                              L"  (and with --key, the companion against its signature "
                              L"URL.meta.sig).\n");
        return Finish(E_INVALIDARG);
    }
    const wchar_t* url = argv[1];
    wchar_t fullPath[MAX_PATH * 4];
    const DWORD length = GetFullPathNameW(argv[2], MAX_PATH * 4, fullPath, nullptr);
    const wchar_t* path = length > 0 && length < MAX_PATH * 4 ? fullPath : argv[2];

    Object<FetchCallback>* callback = Object<FetchCallback>::Create();
    if (callback == nullptr || !callback->ok()) {
        return Finish(E_OUTOFMEMORY);
    }
    downloader::ITask* task =
        downloader::CreateDownloadSimpleTask(url, path, callback, companionKey);
    if (task == nullptr) {
        callback->Release();
        return Finish(E_OUTOFMEMORY);
    }
    std::fwprintf(stderr, L"dlmfetch: %ls -> %ls\n", url, path);
    g_cancelRequested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (g_cancelRequested != nullptr) {
        SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
    }

    const DWORD start = GetTickCount();
    task->Start();
    // The engine bounds every request (receive time-out) and every cycle of
    // passes, so this ends; the progress line is redrawn a few times a second.
    const HANDLE events[2] = {callback->done(), g_cancelRequested};
    DWORD count = g_cancelRequested != nullptr ? 2 : 1;
    long shown = -1;
    while (callback->result() == E_PENDING) {
        const DWORD woken = WaitForMultipleObjects(count, events, FALSE, 250);
        if (woken == WAIT_OBJECT_0 + 1) {
            count = 1; // cancel once, then wait for the end
            std::fwprintf(stderr, L"\ndlmfetch: cancelling\n");
            task->Cancel();
        } else if (woken == WAIT_FAILED) {
            Sleep(250);
        }
        if (callback->reports() != shown) {
            shown = callback->reports();
            ShowProgress(*callback, GetTickCount() - start, false);
        }
    }
    const DWORD elapsed = GetTickCount() - start;
    ShowProgress(*callback, elapsed, true);

    const long result = callback->result();
    task->Release();
    callback->Release();

    std::fwprintf(stderr, L"dlmfetch: %ls after %.2f s\n", Describe(result).c_str(),
                  elapsed / 1000.0);
    return Finish(result);
}
