#pragma once

#include "tests/telemetry/SinkRecords.h"

#include <windows.h>

#include <string>
#include <vector>

namespace apptest {

// A program next to the test executable (the test build, the packed copy, the probe).
std::wstring SiblingProgram(const wchar_t* name);
// The program as it ships: the 32-bit build, read as a file (a 64-bit test
// build cannot run it, but loads its resources and headers as data).
std::wstring ShippedProgram();

// What a finished child process left.
struct ProcessRun {
    bool started = false;
    bool finished = false;
    DWORD exitCode = 0xFFFFFFFF;
};

// Runs `program` with `arguments` (already quoted as needed), its temporary
// folder pointed at `temp` (TMP and TEMP), at most `timeoutMs`; a process that
// outlives the bound is ended and reported as not finished.
ProcessRun RunProgram(const std::wstring& program, const std::wstring& arguments,
                      const std::wstring& temp, DWORD timeoutMs = 180000);

// The analytics sink's port as the test build of the program knows it.
unsigned short SinkPort();

// Every request the sink recorded after the first `before` ones, up to a
// marker request sent now: once the marker is recorded, every request sent
// before it has been recorded too (the sink serves one connection at a time).
std::vector<sinktest::SinkRequest> SinkRequestsSince(size_t before);
// How many requests the sink has recorded so far.
size_t SinkRequestCount();

// The requests of one method (and path, when given).
std::vector<sinktest::SinkRequest> Only(const std::vector<sinktest::SinkRequest>& requests,
                                        const std::string& method,
                                        const std::string& path = std::string());

// The text of an element of an analytics document; empty when it is missing.
std::string ElementText(const std::string& document, const std::string& name);

// Relative paths of every file and folder below `folder` (ending in a backslash).
std::vector<std::wstring> ListTree(const std::wstring& folder);

// The current user's desktop folder, ending in a backslash.
std::wstring DesktopFolder();

// What a shell link file points at, read back through the shell link object.
struct ShellLinkInfo {
    HRESULT loaded = E_FAIL;
    std::wstring target;
    std::wstring workingDirectory;
    std::wstring arguments;
};
ShellLinkInfo ReadShellLink(const std::wstring& link);

std::string Narrow(const std::wstring& text);
std::wstring Wide(const std::string& utf8);

// Splits text into lines (without their "\n" or "\r\n").
std::vector<std::string> Lines(const std::string& text);

} // namespace apptest
