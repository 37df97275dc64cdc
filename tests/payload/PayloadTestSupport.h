#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace payloadtest {

// Archive pieces as they are laid out on disk.
std::string Le32(DWORD value);
std::string RecordHeader(const std::wstring& name, DWORD sizeLow, DWORD sizeHigh = 0);
std::string Record(const std::wstring& name, const std::string& data);
std::string Terminator();
// Records for every file of the test pages, in name order.
std::string PageRecords();

// `program` followed by `archive` and the offset of its first record.
std::string AppendArchive(const std::string& program, const std::string& archive);

// Relative name -> bytes for every file under `folder` (ending in a backslash).
std::map<std::wstring, std::string> ReadTree(const std::wstring& folder);
// The test pages the test programs carry.
std::wstring PagesFolder();
std::map<std::wstring, std::string> Pages();

std::string Utf8(const std::wstring& text);

// The log's lines as "LEVEL message", after checking each line's time stamp.
std::vector<std::string> LogMessages(const std::string& logBytes);

} // namespace payloadtest
