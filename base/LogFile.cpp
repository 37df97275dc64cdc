#include "base/LogFile.h"

#include "base/TempFolders.h"
#include "base/Utf8.h"

#include <shlwapi.h>

#include <climits>
#include <cstdio>
#include <vector>

namespace {

// Expands a wide printf format with the runtime's own rules ("%s" is wide).
std::wstring ExpandWide(const wchar_t* format, va_list args) {
    va_list counting;
    va_copy(counting, args);
    const int length = _vscwprintf(format, counting);
    va_end(counting);
    if (length <= 0) {
        return std::wstring();
    }
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1);
    _vsnwprintf(buffer.data(), buffer.size(), format, args);
    buffer[static_cast<size_t>(length)] = L'\0';
    return std::wstring(buffer.data(), static_cast<size_t>(length));
}

// Expands a narrow printf format with the runtime's own rules.
std::string ExpandNarrow(const char* format, va_list args) {
    va_list counting;
    va_copy(counting, args);
    const int length = _vscprintf(format, counting);
    va_end(counting);
    if (length <= 0) {
        return std::string();
    }
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    _vsnprintf(buffer.data(), buffer.size(), format, args);
    buffer[static_cast<size_t>(length)] = '\0';
    return std::string(buffer.data(), static_cast<size_t>(length));
}

// Narrow messages are text in the ANSI code page; the file is UTF-8 throughout.
std::string AnsiToUtf8(const std::string& text) {
    const int size = text.size() > static_cast<size_t>(INT_MAX) ? 0 : static_cast<int>(text.size());
    const int length = size > 0 ? MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0) : 0;
    if (length <= 0) {
        return std::string();
    }
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), size, &wide[0], length);
    return ToUtf8(wide);
}

} // namespace

const char* LogLevelName(int level) {
    switch (level) {
    case LogLevelTrace:
        return "TRACE";
    case LogLevelError:
        return "ERROR";
    case LogLevelWarning:
        return "WARNING";
    case LogLevelDebug:
        return "DEBUG";
    default:
        return "";
    }
}

std::string FormatLogTimestamp(const SYSTEMTIME& time) {
    char buffer[64];
    snprintf(buffer, sizeof buffer, "%4d%02d%02d %02d:%02d:%02d %3d", time.wYear, time.wMonth,
             time.wDay, time.wHour, time.wMinute, time.wSecond, time.wMilliseconds);
    return buffer;
}

std::string FormatLogLine(const SYSTEMTIME& time, const char* levelName,
                          const std::string& message) {
    std::string line = "[" + FormatLogTimestamp(time) + " " + levelName + "] ";
    line += message;
    line += '\n';
    return line;
}

LogFile::LogFile() : threshold(LogLevelDebug), stream(nullptr) {
    InitializeCriticalSection(&lock_);
    std::wstring made;
    if (!GetTempFolderPath(made) || !CreateUniqueSubfolder(made)) {
        return;
    }
    folder = made;
    wchar_t file[MAX_PATH] = {};
    if (!PathCombineW(file, folder.c_str(), L"installer_log.txt")) {
        return;
    }
    stream = _wfopen(file, L"a+N");
    path = file;
}

LogFile::~LogFile() {
    CloseStream();
    if (!folder.empty()) {
        DeleteFolderTree(folder);
    }
    DeleteCriticalSection(&lock_);
}

void LogFile::CloseStream() {
    EnterCriticalSection(&lock_);
    if (stream) {
        fclose(stream);
        stream = nullptr;
    }
    LeaveCriticalSection(&lock_);
}

void LogFile::WriteLine(int level, const std::string& message) {
    SYSTEMTIME now;
    GetSystemTime(&now);
    const std::string line = FormatLogLine(now, LogLevelName(level), message);
    EnterCriticalSection(&lock_);
    if (stream) {
        fwrite(line.data(), 1, line.size(), stream);
        fflush(stream);
    }
    LeaveCriticalSection(&lock_);
}

void LogFile::LogWriteV(int level, const wchar_t* format, va_list args) {
    if (level > threshold) {
        return;
    }
    WriteLine(level, ToUtf8(ExpandWide(format, args)));
}

void LogFile::LogWrite(int level, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    LogWriteV(level, format, args);
    va_end(args);
}

void LogFile::LogError(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    LogWriteV(LogLevelError, format, args);
    va_end(args);
}

void LogFile::LogDebug(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    LogWriteV(LogLevelDebug, format, args);
    va_end(args);
}

void LogFile::LogDebugNarrow(const char* format, ...) {
    if (threshold <= LogLevelWarning) {
        return;
    }
    va_list args;
    va_start(args, format);
    const std::string message = ExpandNarrow(format, args);
    va_end(args);
    WriteLine(LogLevelDebug, AnsiToUtf8(message));
}

void WriteLog(LogFile* log, int level, const wchar_t* format, ...) {
    if (!log) {
        return;
    }
    va_list args;
    va_start(args, format);
    log->LogWriteV(level, format, args);
    va_end(args);
}
