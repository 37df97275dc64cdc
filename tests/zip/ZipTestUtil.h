#pragma once

#include "tests/common/TestUtil.h"
#include "zip/ZipReporter.h"

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace ziptest {

// Path of a fixture zip made at build time by make_fixtures.py.
inline std::wstring Fixture(const char* name) {
    const std::string unixPath = std::string(BC_ZIP_FIXTURES) + "/" + name;
    return testutil::UnixToWindowsPath(std::wstring(unixPath.begin(), unixPath.end()));
}

struct Recorder : zip::ZipReporter {
    void OnProgress(int current, int total) override { progress.emplace_back(current, total); }
    void OnError(unsigned long error) override { errors.push_back(error); }
    void OnLog(const wchar_t* line) override { lines.push_back(line); }

    std::vector<std::pair<int, int>> progress;
    std::vector<unsigned long> errors;
    std::vector<std::wstring> lines;
};

using Progress = std::vector<std::pair<int, int>>;

} // namespace ziptest
