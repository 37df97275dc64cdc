#include "tests/common/ZipReading.h"

#include "tests/common/TestUtil.h"

#include <gtest/gtest.h>
#include <unzip.h>

namespace testutil {

std::vector<ZipEntry> ReadZip(const std::wstring& path) {
    std::vector<ZipEntry> entries;
    // The reader opens narrow paths; test folders have ASCII names.
    char narrow[MAX_PATH * 2] = {};
    if (!WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, narrow, sizeof narrow, nullptr,
                             nullptr)) {
        ADD_FAILURE() << "unusable zip path";
        return entries;
    }
    unzFile z = unzOpen64(narrow);
    if (!z) {
        ADD_FAILURE() << "not a readable zip: " << narrow;
        return entries;
    }
    for (int rc = unzGoToFirstFile(z); rc == UNZ_OK; rc = unzGoToNextFile(z)) {
        unz_file_info64 info = {};
        char name[512] = {};
        unzGetCurrentFileInfo64(z, &info, name, sizeof name - 1, nullptr, 0, nullptr, 0);
        ZipEntry entry{name, std::string(), info.compression_method, info.flag};
        EXPECT_EQ(UNZ_OK, unzOpenCurrentFile(z));
        char buffer[65536];
        int got;
        while ((got = unzReadCurrentFile(z, buffer, sizeof buffer)) > 0) {
            entry.content.append(buffer, static_cast<size_t>(got));
        }
        EXPECT_EQ(0, got) << "reading " << name;
        EXPECT_EQ(UNZ_OK, unzCloseCurrentFile(z)) << "CRC of " << name;
        entries.push_back(entry);
    }
    unzClose(z);
    return entries;
}

std::vector<ZipEntry> ReadZipBytes(const std::string& bytes) {
    ScratchFolder scratch;
    const std::wstring path = scratch / L"received.zip";
    if (!WriteFileBytes(path, bytes)) {
        ADD_FAILURE() << "cannot write the zip";
        return std::vector<ZipEntry>();
    }
    return ReadZip(path);
}

} // namespace testutil
