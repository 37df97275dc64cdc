// Packed copies of a small test program unpack their own pages as the
// installer does; each case runs one copy and reads its report and log.
#include "tests/common/TestUtil.h"
#include "tests/payload/PayloadTestSupport.h"

#include <gtest/gtest.h>

#include <functional>

using namespace payloadtest;

namespace {

std::wstring ProbePath() {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path = self;
    return path.substr(0, path.find_last_of(L'\\') + 1) + L"payload_probe.exe";
}

// "key=value" lines of the probe's report.
std::map<std::string, std::string> ReadReport(const std::wstring& path) {
    std::map<std::string, std::string> report;
    const std::string text = testutil::ReadFileBytes(path);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = text.substr(start, end - start);
        const size_t equals = line.find('=');
        if (equals != std::string::npos) {
            report[line.substr(0, equals)] = line.substr(equals + 1);
        }
        start = end + 1;
    }
    return report;
}

struct ProbeRun {
    DWORD exitCode = 0xFFFFFFFF;
    std::map<std::string, std::string> report;
    std::map<std::wstring, std::string> unpacked;
    std::vector<std::string> log;
    std::map<std::wstring, std::string> leftInTemp;
};

// Runs `program` (a packed probe) with its own temporary folder.
ProbeRun RunPackedProgram(const testutil::ScratchFolder& scratch, const std::string& program) {
    ProbeRun run;
    const std::wstring exe = scratch / L"packed probe.exe";
    const std::wstring temp = scratch / L"temp\\";
    const std::wstring report = scratch / L"report\\";
    EXPECT_TRUE(testutil::WriteFileBytes(exe, program));
    EXPECT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
    EXPECT_TRUE(CreateDirectoryW(report.c_str(), nullptr));

    std::wstring commandLine = L"\"" + exe + L"\" \"" + report + L"\\\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    {
        testutil::TempFolderOverride override(temp);
        if (!CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                            nullptr, &startup, &process)) {
            ADD_FAILURE() << "cannot start the packed program, error " << GetLastError();
            return run;
        }
    }
    if (WaitForSingleObject(process.hProcess, 120000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "the packed program did not finish";
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, 10000);
    }
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    run.report = ReadReport(report + L"report.txt");
    run.unpacked = ReadTree(report + L"unpacked\\");
    run.log = LogMessages(testutil::ReadFileBytes(report + L"log.txt"));
    run.leftInTemp = ReadTree(temp);
    return run;
}

struct PackedCase {
    const char* label;
    // The packed program from the plain one.
    std::function<std::string(const std::string& program)> pack;
    bool loaded;
    std::map<std::wstring, std::string> files;
    // Log messages; "{folder}" stands for the unpacking folder.
    std::vector<std::string> log;
    std::string languages;
};

std::vector<PackedCase> PackedCases() {
    const std::string first = "<html>first</html>";
    const std::string second = "<html>second, longer</html>";
    const std::string image(3000, '\x7f');
    const std::vector<std::string> loadedLog = {
        "DEBUG Load Resource from pe.",
        "DEBUG Load Resource from pe finished.",
        "DEBUG load resource success, temporary folder path : {folder}",
    };
    const std::vector<std::string> truncatedLog = {
        "DEBUG Load Resource from pe.",
        "ERROR read file info failed!",
        "DEBUG Load Resource from pe finished.",
    };
    return {
        {"PageSet",
         [](const std::string& program) {
             // One byte of padding after the end header, as the shipped file has.
             return AppendArchive(program, PageRecords() + Terminator() + std::string(1, '\0'));
         },
         true, Pages(), loadedLog, "en,fr,de,it,jp,nl,tw"},
        {"OnlyTheEndHeader",
         [](const std::string& program) { return AppendArchive(program, Terminator()); },
         true,
         {},
         loadedLog,
         ""},
        {"TwoRecordsOfOneName",
         [=](const std::string& program) {
             return AppendArchive(program, Record(L"Load.html", first) +
                                               Record(L"images\\pi1.png", image) +
                                               Record(L"Load.html", second) + Terminator());
         },
         true,
         {{L"Load.html", second}, {L"images\\pi1.png", image}},
         loadedLog,
         ""},
        {"NoEndHeader",
         [=](const std::string& program) {
             return AppendArchive(program,
                                  Record(L"Load.html", first) + Record(L"images\\pi1.png", image));
         },
         false,
         {{L"Load.html", first}, {L"images\\pi1.png", image}},
         truncatedLog,
         ""},
        {"OffsetPastTheEnd",
         [=](const std::string& program) {
             const std::string archive = Record(L"Load.html", first) + Terminator();
             const size_t size = program.size() + archive.size() + 4;
             return program + archive + Le32(static_cast<DWORD>(size + 100));
         },
         false,
         {},
         truncatedLog,
         ""},
    };
}

class PackedProgram : public testing::TestWithParam<PackedCase> {};

TEST_P(PackedProgram, UnpacksItsOwnArchiveIntoANewFolderAndDeletesItAtTheEnd) {
    const PackedCase& c = GetParam();
    const std::string program = testutil::ReadFileBytes(ProbePath());
    ASSERT_FALSE(program.empty()) << "payload_probe.exe is built next to the tests";
    testutil::ScratchFolder scratch;

    const ProbeRun run = RunPackedProgram(scratch, c.pack(program));
    ASSERT_EQ(0u, run.exitCode);
    EXPECT_EQ(c.loaded ? "1" : "0", run.report.at("loaded"));

    const std::string folder = run.report.at("folder");
    const std::string temp = Utf8(scratch / L"temp\\");
    ASSERT_EQ(0u, folder.find(temp)) << folder;
    EXPECT_GT(folder.size(), temp.size()) << "a folder of its own under the temporary folder";
    EXPECT_EQ('\\', folder.back());
    EXPECT_EQ("1", run.report.at("existed"));
    EXPECT_EQ("0", run.report.at("remains"));
    EXPECT_TRUE(run.leftInTemp.empty()) << "nothing left in the temporary folder";

    EXPECT_EQ(c.files, run.unpacked);
    EXPECT_EQ(c.languages, run.report.at("languages"));

    std::vector<std::string> expectedLog;
    for (std::string line : c.log) {
        const size_t at = line.find("{folder}");
        if (at != std::string::npos) {
            line.replace(at, 8, folder);
        }
        expectedLog.push_back(line);
    }
    EXPECT_EQ(expectedLog, run.log);
}

INSTANTIATE_TEST_SUITE_P(Cases, PackedProgram, testing::ValuesIn(PackedCases()),
                         [](const testing::TestParamInfo<PackedCase>& info) {
                             return std::string(info.param.label);
                         });

} // namespace
