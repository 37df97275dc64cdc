#pragma once

#include "telemetry/ReportSender.h"

#include <windows.h>

#include <string>

// File name of the minidump inside its private folder.
extern const wchar_t kCrashDumpFileName[]; // "dlm.dmp"

// Where WriteCrashDump sends its report. Set once on the main thread before
// the filter is installed; the filter only reads it.
void SetCrashReportEndpoint(const ServiceEndpoint& endpoint);

// The run's log, sent after the dump as an error report of its own (a zip
// holding "installer_log.txt", as a failed run sends it), with the dump's
// empty token. Set once on the main thread when the log exists; empty: none.
void SetCrashReportLog(const std::wstring& logPath);

// The process's unhandled-exception filter: writes a minidump of the process
// with the crashing thread's exception into a private temporary folder,
// uploads it as a crash report, then the log (SetCrashReportLog) when there
// is one, removes the folder and returns
// EXCEPTION_EXECUTE_HANDLER so the process ends without the system's dialog.
// Every failure only shortens that work.
LONG WINAPI WriteCrashDump(EXCEPTION_POINTERS* pointers);

// The code of the exception raised for a C++ exception that nothing caught
// (or any other call of std::terminate), so that it reaches WriteCrashDump.
constexpr DWORD kUncaughtCppExceptionCode = 0xE0424301;

// The exception the filter sees for a C++ exception that nothing caught.
// Where the compiler unwinds through the platform's structured exceptions
// (x64), the runtime's own throw exception finds no handler and reaches the
// filter before any terminate handler runs; with the 32-bit build's DWARF
// unwinding the throw ends in std::terminate, which raises the code above.
#if defined(__SEH__)
constexpr DWORD kUncaughtCppExceptionSeen = 0x20474343; // the runtime's "GCC " exception
#else
constexpr DWORD kUncaughtCppExceptionSeen = kUncaughtCppExceptionCode;
#endif

// Sets the report's endpoint and installs WriteCrashDump as the process's
// unhandled-exception filter. A C++ exception that leaves a thread ends in
// std::terminate, not in the filter; the runtime's abort would then show its
// own message box and end the process without a dump, so termination is
// turned into a non-continuable exception that the filter sees.
void InstallCrashFilter(const ServiceEndpoint& endpoint);
