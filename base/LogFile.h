#pragma once

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <string>

// Levels of a log line; the program writes ERROR and DEBUG.
enum LogLevel {
    LogLevelTrace = 1,
    LogLevelError = 2,
    LogLevelWarning = 3,
    LogLevelDebug = 4,
};

// "TRACE", "ERROR", "WARNING", "DEBUG"; the empty name for any other level.
const char* LogLevelName(int level);

// The UTC time stamp of a line: "%4d%02d%02d %02d:%02d:%02d %3d".
std::string FormatLogTimestamp(const SYSTEMTIME& time);

// "[" time stamp " " level name "] " message "\n".
std::string FormatLogLine(const SYSTEMTIME& time, const char* levelName,
                          const std::string& message);

// The run's log: "installer_log.txt" in a private folder under the user's
// temporary folder, UTF-8 text, one flushed line per call, deleted with its folder when
// the object is destroyed. Safe to call from any thread; a line is written
// whole or not at all, also while another thread closes the stream.
class LogFile {
public:
    LogFile();
    ~LogFile();

    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Wide formats: "%s" takes a wide string.
    void LogWrite(int level, const wchar_t* format, ...);
    // LogWrite with the arguments of a caller's own variadic function.
    void LogWriteV(int level, const wchar_t* format, va_list args);
    void LogError(const wchar_t* format, ...);
    void LogDebug(const wchar_t* format, ...);
    // Narrow format: "%s" takes a narrow string; written as a DEBUG line. The
    // text is taken in the ANSI code page and written as UTF-8, like the rest.
    void LogDebugNarrow(const char* format, ...);

    // Closes the stream before the file is packed; later calls write nothing.
    void CloseStream();

    // Full path of the log file; empty when no folder was made.
    std::wstring path;
    // The private folder, ending in a backslash; empty when it was not made.
    std::wstring folder;
    // Highest level written.
    int threshold;
    // The open file, or null when not opened or closed.
    FILE* stream;

private:
    void WriteLine(int level, const std::string& message);

    CRITICAL_SECTION lock_;
};

// A line in `log`, or nothing when there is no log (objects that may run
// without one log through this).
void WriteLog(LogFile* log, int level, const wchar_t* format, ...);
