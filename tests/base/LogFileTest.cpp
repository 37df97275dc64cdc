#include "base/LogFile.h"
#include "base/TempFolders.h"
#include "tests/common/TestUtil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

namespace {

SYSTEMTIME Time(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second,
                WORD milliseconds) {
    SYSTEMTIME t = {};
    t.wYear = year;
    t.wMonth = month;
    t.wDay = day;
    t.wHour = hour;
    t.wMinute = minute;
    t.wSecond = second;
    t.wMilliseconds = milliseconds;
    return t;
}

struct StampCase {
    SYSTEMTIME time;
    const char* expected;
};

class LogTimestamp : public testing::TestWithParam<StampCase> {};

TEST_P(LogTimestamp, Formats) {
    EXPECT_EQ(GetParam().expected, FormatLogTimestamp(GetParam().time));
}

INSTANTIATE_TEST_SUITE_P(
    Table, LogTimestamp,
    testing::Values(StampCase{Time(2026, 12, 7, 12, 8, 6, 42), "20261207 12:08:06  42"},
                    StampCase{Time(2026, 2, 1, 9, 5, 3, 7), "20260201 09:05:03   7"},
                    StampCase{Time(2026, 2, 1, 9, 5, 3, 0), "20260201 09:05:03   0"},
                    StampCase{Time(1999, 10, 31, 23, 59, 59, 999), "19991031 23:59:59 999"},
                    StampCase{Time(2030, 1, 9, 0, 0, 0, 100), "20300109 00:00:00 100"},
                    StampCase{Time(987, 1, 1, 1, 1, 1, 10), " 9870101 01:01:01  10"}));

TEST(LogLevelName, NamesEachLevel) {
    EXPECT_STREQ("", LogLevelName(0));
    EXPECT_STREQ("TRACE", LogLevelName(1));
    EXPECT_STREQ("ERROR", LogLevelName(2));
    EXPECT_STREQ("WARNING", LogLevelName(3));
    EXPECT_STREQ("DEBUG", LogLevelName(4));
    EXPECT_STREQ("", LogLevelName(5));
}

TEST(FormatLogLine, PutsStampAndLevelInBracketsBeforeTheMessage) {
    EXPECT_EQ("[20260201 09:05:03   7 ERROR] disk full\n",
              FormatLogLine(Time(2026, 2, 1, 9, 5, 3, 7), "ERROR", "disk full"));
    EXPECT_EQ("[20261207 12:08:06  42 DEBUG] \n",
              FormatLogLine(Time(2026, 12, 7, 12, 8, 6, 42), "DEBUG", ""));
}

std::vector<std::string> SplitCrLfLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

// Everything after the "] " of a line, when the bracket part is well formed
// and dated today (UTC).
std::string MessageOf(const std::string& line, const char* level) {
    static const std::regex shape(R"(^\[(\d{8}) \d\d:\d\d:\d\d [ \d]{2}\d ([A-Z]+)\] (.*)$)");
    std::smatch m;
    if (!std::regex_match(line, m, shape)) {
        ADD_FAILURE() << "malformed line: " << line;
        return std::string();
    }
    SYSTEMTIME now;
    GetSystemTime(&now);
    char today[16];
    snprintf(today, sizeof today, "%04d%02d%02d", now.wYear, now.wMonth, now.wDay);
    EXPECT_EQ(today, m[1].str());
    EXPECT_EQ(level, m[2].str());
    return m[3].str();
}

TEST(LogFile, WritesLinesIntoAPrivateFolderAndDeletesItAtTheEnd) {
    std::wstring temp;
    ASSERT_TRUE(GetTempFolderPath(temp));
    std::wstring folder, path;
    std::string contents;
    {
        LogFile log;
        folder = log.folder;
        path = log.path;
        ASSERT_NE(nullptr, log.stream);
        EXPECT_EQ(4, log.threshold);
        ASSERT_EQ(0u, folder.find(temp));
        EXPECT_GT(folder.size(), temp.size());
        EXPECT_EQ(L'\\', folder.back());
        EXPECT_EQ(folder + L"installer_log.txt", path);

        log.LogError(L"Cannot open %s (%d)", L"C:\\Program Files\\Brightcast Suite\\a b.txt", 5);
        log.LogDebug(L"QXDownload: %s", L"https://example.test/p.zip");
        log.LogDebugNarrow("narrow %s %d", "C:\\Users\\some one\\x y.log", 7);
        log.LogWrite(LogLevelWarning, L"warn %u", 3u);
        log.LogWrite(LogLevelTrace, L"trace");
        log.LogWrite(5, L"above the threshold");
        log.LogDebug(L"productcode: %s  installed\n", L"{ABC}");
        log.LogDebug(L"caf\u00e9 \u65e5\u672c");
        contents = testutil::ReadFileBytes(path);
    }
    const std::vector<std::string> lines = SplitCrLfLines(contents);
    ASSERT_EQ(8u, lines.size()) << contents;
    EXPECT_EQ("Cannot open C:\\Program Files\\Brightcast Suite\\a b.txt (5)",
              MessageOf(lines[0], "ERROR"));
    EXPECT_EQ("QXDownload: https://example.test/p.zip", MessageOf(lines[1], "DEBUG"));
    EXPECT_EQ("narrow C:\\Users\\some one\\x y.log 7", MessageOf(lines[2], "DEBUG"));
    EXPECT_EQ("warn 3", MessageOf(lines[3], "WARNING"));
    EXPECT_EQ("trace", MessageOf(lines[4], "TRACE"));
    EXPECT_EQ("productcode: {ABC}  installed", MessageOf(lines[5], "DEBUG"));
    EXPECT_EQ("", lines[6]) << "a format ending in a newline leaves an empty line";
    EXPECT_EQ("caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac", MessageOf(lines[7], "DEBUG"));
    EXPECT_EQ("\r\n", contents.substr(contents.size() - 2));

    EXPECT_FALSE(testutil::FileExists(path));
    EXPECT_FALSE(testutil::FileExists(folder));
}

// Narrow messages are text in the ANSI code page; the file holds one
// encoding, UTF-8, whichever call wrote a line.
TEST(LogFile, WritesWideAndNarrowNonAsciiTextAsUtf8) {
    const std::wstring wide = L"C:\\Users\\Ren\u00e9e M\u00fcller\\caf\u00e9.log";
    char narrow[MAX_PATH] = {};
    BOOL lossy = FALSE;
    ASSERT_NE(0,
              WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, narrow, MAX_PATH, nullptr, &lossy));
    ASSERT_FALSE(lossy) << "code page " << GetACP() << " has no such letters";
    const std::string utf8 = "C:\\Users\\Ren\xc3\xa9"
                             "e M\xc3\xbcller\\caf\xc3\xa9.log";

    std::string contents;
    {
        LogFile log;
        ASSERT_NE(nullptr, log.stream);
        log.LogDebugNarrow("narrow %s", narrow);
        log.LogDebug(L"wide %s", wide.c_str());
        contents = testutil::ReadFileBytes(log.path);
    }
    const std::vector<std::string> lines = SplitCrLfLines(contents);
    ASSERT_EQ(2u, lines.size()) << contents;
    EXPECT_EQ("narrow " + utf8, MessageOf(lines[0], "DEBUG"));
    EXPECT_EQ("wide " + utf8, MessageOf(lines[1], "DEBUG"));
}

// A caller's own variadic log function, as the script object has.
void ForwardToLog(LogFile& log, int level, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    log.LogWriteV(level, format, args);
    va_end(args);
}

TEST(LogFile, TakesTheArgumentsOfAnotherVariadicFunction) {
    std::string contents;
    {
        LogFile log;
        ASSERT_NE(nullptr, log.stream);
        ForwardToLog(log, LogLevelError, L"%s failed with: %x", L"C:\\a b\\c.zip", 0x800c0005u);
        ForwardToLog(log, LogLevelDebug, L"%d of %d", 3, 10);
        ForwardToLog(log, 5, L"above the threshold");
        contents = testutil::ReadFileBytes(log.path);
    }
    const std::vector<std::string> lines = SplitCrLfLines(contents);
    ASSERT_EQ(2u, lines.size()) << contents;
    EXPECT_EQ("C:\\a b\\c.zip failed with: 800c0005", MessageOf(lines[0], "ERROR"));
    EXPECT_EQ("3 of 10", MessageOf(lines[1], "DEBUG"));
}

TEST(LogFile, EachLineIsOnDiskAsSoonAsItIsWritten) {
    LogFile log;
    ASSERT_NE(nullptr, log.stream);
    log.LogDebug(L"first");
    EXPECT_EQ(1u, SplitCrLfLines(testutil::ReadFileBytes(log.path)).size());
    log.LogError(L"second");
    EXPECT_EQ(2u, SplitCrLfLines(testutil::ReadFileBytes(log.path)).size());
}

TEST(LogFile, WritesNothingAfterTheStreamIsClosed) {
    LogFile log;
    log.LogDebug(L"before");
    const std::string before = testutil::ReadFileBytes(log.path);
    log.CloseStream();
    EXPECT_EQ(nullptr, log.stream);
    log.LogError(L"after %s", L"close");
    log.LogDebug(L"after");
    log.LogDebugNarrow("after");
    log.LogWrite(LogLevelWarning, L"after");
    EXPECT_EQ(before, testutil::ReadFileBytes(log.path));
    log.CloseStream();
    EXPECT_TRUE(testutil::FileExists(log.path)) << "the file stays until the object goes";
}

TEST(LogFile, TwoLogsUseTwoFolders) {
    std::wstring first, second;
    {
        LogFile a;
        LogFile b;
        first = a.folder;
        second = b.folder;
        EXPECT_NE(first, second);
        EXPECT_TRUE(testutil::FileExists(a.path));
        EXPECT_TRUE(testutil::FileExists(b.path));
    }
    EXPECT_FALSE(testutil::FileExists(first));
    EXPECT_FALSE(testutil::FileExists(second));
}

TEST(LogFile, StaysSilentAndDeletesNothingWhenNoFolderCanBeMade) {
    testutil::ScratchFolder scratch;
    // The "temporary folder" is a file: no sub-folder can be made in it.
    const std::wstring notAFolder = scratch / L"temp-is-a-file";
    ASSERT_TRUE(testutil::WriteFileBytes(notAFolder, "content"));
    {
        testutil::TempFolderOverride override(notAFolder);
        LogFile log;
        EXPECT_TRUE(log.folder.empty());
        EXPECT_TRUE(log.path.empty());
        EXPECT_EQ(nullptr, log.stream);
        log.LogError(L"nowhere to go");
    }
    EXPECT_EQ("content", testutil::ReadFileBytes(notAFolder));
}

TEST(LogFile, LinesStayWholeWhileThreadsWriteAndAnotherCloses) {
    LogFile log;
    ASSERT_NE(nullptr, log.stream);
    const std::wstring path = log.path;
    constexpr int kWriters = 6;
    std::atomic<int> written{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    for (int i = 0; i < kWriters; ++i) {
        writers.emplace_back([&, i] {
            const std::wstring body(300, static_cast<wchar_t>(L'a' + i));
            while (!stop.load()) {
                if (i % 2) {
                    log.LogDebug(L"%d %s", i, body.c_str());
                } else {
                    const std::string narrow(body.begin(), body.end());
                    log.LogDebugNarrow("%d %s", i, narrow.c_str());
                }
                written.fetch_add(1);
            }
        });
    }
    while (written.load() < 2000) {
        Sleep(1);
    }
    log.CloseStream();
    const int atClose = written.load();
    Sleep(20);
    stop = true;
    for (std::thread& t : writers) {
        t.join();
    }
    EXPECT_GT(written.load(), atClose) << "writers kept calling after the close";

    const std::string contents = testutil::ReadFileBytes(path);
    ASSERT_EQ("\r\n", contents.substr(contents.size() - 2)) << "the last line is complete";
    const std::vector<std::string> lines = SplitCrLfLines(contents);
    EXPECT_GE(lines.size(), 2000u);
    EXPECT_LE(lines.size(), static_cast<size_t>(atClose) + kWriters);
    static const std::regex shape(R"(^\[\d{8} \d\d:\d\d:\d\d [ \d]{2}\d DEBUG\] (\d) ([a-z]+)$)");
    for (const std::string& line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << line.substr(0, 120);
        const int i = m[1].str()[0] - '0';
        ASSERT_EQ(std::string(300, static_cast<char>('a' + i)), m[2].str());
    }
}

} // namespace
