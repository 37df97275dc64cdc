#include "app/CrashDump.h"

#include "base/TempFolders.h"
#include "base/UniqueHandle.h"

#include <dbghelp.h>
#include <shlwapi.h>

#include <exception>

const wchar_t kCrashDumpFileName[] = L"dlm.dmp";

namespace {

// Set once before the filter is installed, read only by the filter; the
// build's own service when nobody set it.
const ServiceEndpoint* crashEndpoint = nullptr;

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
    if (written) {
        SendCrashReport(file, crashEndpoint ? *crashEndpoint : DefaultServiceEndpoint());
    }
    DeleteFolderTree(folder);
    return EXCEPTION_EXECUTE_HANDLER;
}
