#pragma once

#include <string>
#include <vector>

namespace testutil {

// One entry of a zip as the library's own reader sees it.
struct ZipEntry {
    std::string name;
    std::string content;
    unsigned long method; // compression method
    unsigned long flag;   // general purpose bit flag
};

// Every entry of the zip at `path`, in the order of its central directory.
// An unreadable zip, a failed read and a CRC mismatch are test failures.
std::vector<ZipEntry> ReadZip(const std::wstring& path);
// The same for a zip held in memory (an uploaded body, say).
std::vector<ZipEntry> ReadZipBytes(const std::string& bytes);

} // namespace testutil
