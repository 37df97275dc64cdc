#include "app/CrashDump.h"

#include "base/TempFolders.h"
#include "base/UniqueHandle.h"
#include "telemetry/MachineId.h"
#include "zip/ZipAddFile.h"

#include <dbghelp.h>
#include <shlwapi.h>

#include <exception>

const wchar_t kCrashDumpFileName[] = L"dlm.dmp";

namespace {

// Set once before the filter is installed, read only by the filter; the
// build's own service when nobody set it.
const ServiceEndpoint* crashEndpoint = nullptr;

// Set at most once, before any worker runs; never freed, as the endpoint.
const std::wstring* crashLog = nullptr;

// Copies the log, which its writer still holds open, into `copy`.
bool CopyOpenLog(const std::wstring& log, const std::wstring& copy) {
    FileHandle from(CreateFileW(log.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    FileHandle to(CreateFileW(copy.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!from || !to) {
        return false;
    }
    char buffer[16384];
    // A log is small; the bound keeps a runaway one from holding the crash.
    for (int chunks = 0; chunks < 4096; ++chunks) {
        DWORD got = 0;
        if (!ReadFile(from.Get(), buffer, sizeof buffer, &got, nullptr)) {
            return false;
        }
        if (got == 0) {
            return true;
        }
        DWORD wrote = 0;
        if (!WriteFile(to.Get(), buffer, got, &wrote, nullptr) || wrote != got) {
            return false;
        }
    }
    return true;
}

// Replaces the runtime's terminate handler, which prints and calls abort.
[[noreturn]] void RaiseForCrashDump() {
    RaiseException(kUncaughtCppExceptionCode, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    // Only reached when something swallowed a non-continuable exception.
    TerminateProcess(GetCurrentProcess(), kUncaughtCppExceptionCode);
    for (;;) {
        Sleep(INFINITE);
    }
}

} // namespace

void InstallCrashFilter(const ServiceEndpoint& endpoint) {
    SetCrashReportEndpoint(endpoint);
    SetUnhandledExceptionFilter(WriteCrashDump);
    std::set_terminate(RaiseForCrashDump);
}

void SetCrashReportLog(const std::wstring& logPath) {
    if (!crashLog && !logPath.empty()) {
        crashLog = new std::wstring(logPath);
    }
}

void SetCrashReportEndpoint(const ServiceEndpoint& endpoint) {
    // Never freed: a crash can come at any moment, also while the program ends.
    crashEndpoint = new ServiceEndpoint(endpoint);
}

LONG WINAPI WriteCrashDump(EXCEPTION_POINTERS* pointers) {
    std::wstring folder;
    if (!GetTempFolderPath(folder) || !CreateUniqueSubfolder(folder)) {
        return EXCEPTION_EXECUTE_HANDLER;
    }
    wchar_t file[MAX_PATH] = {};
    if (!PathCombineW(file, folder.c_str(), kCrashDumpFileName)) {
        DeleteFolderTree(folder);
        return EXCEPTION_EXECUTE_HANDLER;
    }
    FileHandle dump(CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!dump) {
        // Nothing was written; the empty folder is not left behind either.
        DeleteFolderTree(folder);
        return EXCEPTION_EXECUTE_HANDLER;
    }
    MINIDUMP_EXCEPTION_INFORMATION exception = {};
    exception.ThreadId = GetCurrentThreadId();
    exception.ExceptionPointers = pointers;
    exception.ClientPointers = TRUE;
    const BOOL written = MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), dump.Get(),
                                           MiniDumpNormal, &exception, nullptr, nullptr);
    dump.Reset();
    const ServiceEndpoint endpoint = crashEndpoint ? *crashEndpoint : DefaultServiceEndpoint();
    // Looked up once for both reports: without a stored one it can take seconds.
    const std::wstring machineId = GetMachineIdString();
    if (written) {
        // As SendCrashReport sends it.
        PutReportFile(file, std::wstring(), machineId, endpoint);
    }
    // The log tells what led there; it goes zipped, as a failed run's does.
    const std::wstring copy = folder + L"installer_log.txt";
    const std::wstring packed = folder + L"log.zip";
    if (crashLog && CopyOpenLog(*crashLog, copy) && zip::ZipAddFile(copy, packed)) {
        PutReportFile(packed, std::wstring(), machineId, endpoint);
    }
    DeleteFolderTree(folder);
    return EXCEPTION_EXECUTE_HANDLER;
}
