// The whole program with its window up: the probe carries the test pages and
// a double of the HTML document, and plays the page's part from inside the
// window's message loop. What the run does after the window has closed is
// seen from outside: the reports, the desktop shortcut, the temporary folder.
#include "app/DesktopShortcut.h"
#include "base/TempFolders.h"
#include "tests/app/AppTestSupport.h"
#include "tests/common/PkgServer.h"
#include "tests/common/TestUtil.h"
#include "tests/common/ZipReading.h"

#include <gtest/gtest.h>

#include <objbase.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace {

using apptest::ElementText;
using apptest::Narrow;
using sinktest::SinkRequest;

size_t LineIndex(const std::vector<std::string>& lines, const std::string& part) {
    for (size_t n = 0; n < lines.size(); ++n) {
        if (lines[n].find(part) != std::string::npos) {
            return n;
        }
    }
    return lines.size();
}

class WindowRun : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        temp = scratch / L"temp\\";
        ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
        // The probe runs from a folder of its own: a package is stored next to it.
        probe = scratch / L"setup folder\\app probe.exe";
        ASSERT_TRUE(CreateDirectoryW((scratch / L"setup folder").c_str(), nullptr));
        ASSERT_TRUE(
            CopyFileW(apptest::SiblingProgram(L"app_probe.exe").c_str(), probe.c_str(), FALSE));
        shortcut = GetDesktopShortcutPath(kDesktopShortcutName);
        DeleteFileW(shortcut.c_str());
    }
    void TearDown() override {
        DeleteFileW(shortcut.c_str());
        CoUninitialize();
    }

    // Runs the program with the page playing `steps`, without expecting the
    // window to close; fills `page` and `requests`.
    apptest::ProcessRun RunOnly(const std::wstring& steps) {
        const std::wstring report = scratch / L"page.txt";
        DeleteFileW(report.c_str());
        const size_t before = apptest::SinkRequestCount();
        const apptest::ProcessRun run =
            apptest::RunProgram(probe, L"window \"" + steps + L"\" \"" + report + L"\" 0", temp);
        page = apptest::Lines(testutil::ReadFileBytes(report));
        requests = apptest::SinkRequestsSince(before);
        return run;
    }

    // Runs the program with the page playing `steps` and the wait for workers
    // at the end bounded by `stopTimeoutMs` (0: the program's own); fills
    // `page` and `requests`.
    void Run(const std::wstring& steps, DWORD stopTimeoutMs = 0) {
        const std::wstring report = scratch / L"page.txt";
        DeleteFileW(report.c_str());
        const size_t before = apptest::SinkRequestCount();
        const apptest::ProcessRun run = apptest::RunProgram(
            probe,
            L"window \"" + steps + L"\" \"" + report + L"\" " + std::to_wstring(stopTimeoutMs),
            temp);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(0u, run.exitCode);
        page = apptest::Lines(testutil::ReadFileBytes(report));
        requests = apptest::SinkRequestsSince(before);
        ASSERT_FALSE(page.empty());
        EXPECT_NE(page.size(), LineIndex(page, "closing")) << "the window never came up";
    }

    // The end document's status word, after checking there are two documents.
    std::string EndStatus() {
        const auto posts = apptest::Only(requests, "POST", "/v1/logAnalytics");
        if (posts.size() != 2) {
            ADD_FAILURE() << posts.size() << " analytics documents";
            return std::string();
        }
        EXPECT_EQ("started", ElementText(posts[0].body, "status"));
        return ElementText(posts[1].body, "status");
    }

    testutil::ScratchFolder scratch;
    std::wstring temp;
    std::wstring probe;
    std::wstring shortcut;
    std::vector<std::string> page;
    std::vector<SinkRequest> requests;
};

TEST_F(WindowRun, ThePageStatusDecidesTheShortcutAndTheErrorReport) {
    struct Case {
        const wchar_t* steps;
        const char* endStatus;
        bool shortcutKept;
        bool errorReport;
    } cases[] = {
        {L"", "environment not supported", true, false},
        {L"status:0", "canceled", true, false},
        {L"status:1", "completed", false, false},
        {L"status:2", "error occurred", true, true},
        {L"status:3", "canceled", true, false},
        {L"status:4", "environment not supported", true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.steps));
        Run(c.steps);
        EXPECT_EQ("program returned 0", page.back());
        EXPECT_EQ(c.endStatus, EndStatus());
        EXPECT_EQ(c.errorReport ? 1u : 0u, apptest::Only(requests, "PUT").size());
        EXPECT_EQ(c.shortcutKept, testutil::FileExists(shortcut));
        if (c.shortcutKept) {
            EXPECT_EQ(probe, apptest::ReadShellLink(shortcut).target);
        }
        EXPECT_TRUE(apptest::ListTree(temp).empty()) << Narrow(apptest::ListTree(temp)[0]);
        DeleteFileW(shortcut.c_str());
    }
}

TEST_F(WindowRun, ANewStartNeedNotWaitForTheReports) {
    // A slow analytics service: each document is held two seconds.
    const std::wstring delay = testutil::ServerDir(L"SINK") + L"delay";
    ASSERT_TRUE(testutil::WriteFileBytes(delay, "2"));
    const size_t before = apptest::SinkRequestCount();
    // The analytics documents and error reports the sink had when the running
    // copy's single-instance mutex went away; -1 while it has not.
    std::atomic<long> documentsAtGone(-1);
    std::atomic<long> reportsAtGone(-1);
    std::atomic<bool> stop(false);
    std::thread watcher([&] {
        bool existed = false;
        while (!stop) {
            HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, L"TLWDownloadManager");
            if (mutex) {
                existed = true;
                CloseHandle(mutex);
            } else if (existed) {
                std::vector<SinkRequest> since = sinktest::ReadSinkRequests();
                since.erase(since.begin(), since.begin() + std::min(before, since.size()));
                documentsAtGone =
                    static_cast<long>(apptest::Only(since, "POST", "/v1/logAnalytics").size());
                reportsAtGone = static_cast<long>(apptest::Only(since, "PUT").size());
                return;
            }
            Sleep(5);
        }
    });
    Run(L"status:2");
    stop = true;
    watcher.join();
    DeleteFileW(delay.c_str());
    // Only the start document had arrived: the end document and the error
    // report went out after another copy could have started.
    EXPECT_EQ(1, documentsAtGone.load());
    EXPECT_EQ(0, reportsAtGone.load());
    EXPECT_EQ("error occurred", EndStatus());
    EXPECT_EQ(1u, apptest::Only(requests, "PUT").size());
}

TEST_F(WindowRun, ClosingTheWindowDuringAStalledDownloadStopsTheWorkerFirst) {
    testutil::PkgServer pkg;
    ASSERT_TRUE(pkg.Available());
    ASSERT_TRUE(pkg.Reset());
    ASSERT_TRUE(pkg.Control("create?path=/stalled-package.bin&size=3145728"));
    ASSERT_TRUE(pkg.Control("meta?path=/stalled-package.bin"));
    // The file's bytes stop after 64 KiB and nothing more comes for 10 s. Wine's
    // WinINet ends a receive that is under way only when it returns, so the
    // cancelled download ends with the stall (on Windows at once); the program
    // waits longer than that for its workers.
    ASSERT_TRUE(pkg.AddRule("path=/stalled-package.bin&when=range&times=0&end=65536&stall=10"));

    // The window closes once the server has started the stalling answer.
    Run(L"status:2;download:" + pkg.Url(L"/stalled-package.bin") + L";waitfor:" +
        pkg.Url(L"/_control/log") + L" =status 206 sent 65536");
    EXPECT_EQ("program returned 0", page.back());

    // The page's side: the download started, then the window was closed; the
    // closed page is not called back.
    ASSERT_EQ(5u, page.size()) << testutil::ReadFileBytes(scratch / L"page.txt");
    EXPECT_EQ("setInstallStatus 0", page[0]);
    EXPECT_EQ("download 0", page[1]);
    EXPECT_EQ("waited for =status 206 sent 65536", page[2]);
    // The stalled answer was the only one: nothing was retried after the close.
    size_t fileRequests = 0;
    for (const auto& request : pkg.Log()) {
        fileRequests += request.target == "/stalled-package.bin" ? 1 : 0;
    }
    EXPECT_EQ(1u, fileRequests);

    EXPECT_EQ("error occurred", EndStatus());
    const auto puts = apptest::Only(requests, "PUT");
    ASSERT_EQ(1u, puts.size()) << "a crash report or a second error report";
    const auto entries = testutil::ReadZipBytes(puts[0].body);
    ASSERT_EQ(1u, entries.size());
    ASSERT_EQ("installer_log.txt", entries[0].name);
    const std::vector<std::string> log = apptest::Lines(entries[0].content);
    const size_t started = LineIndex(log, "DownloadThreadFunc");
    const size_t ended = LineIndex(log, "Download fail");
    const size_t properties = LineIndex(log, "] Property ");
    ASSERT_LT(started, log.size()) << entries[0].content;
    ASSERT_LT(ended, log.size()) << "the worker's end is not in the log:\n" << entries[0].content;
    ASSERT_LT(properties, log.size());
    EXPECT_LT(started, ended);
    EXPECT_LT(ended, properties) << "the worker wrote after the run had ended";
    // The download was cancelled (6), not given up on, and the end document says so.
    EXPECT_NE(std::string::npos, log[ended].find("download result : 6")) << log[ended];
    const auto posts = apptest::Only(requests, "POST", "/v1/logAnalytics");
    ASSERT_EQ(2u, posts.size());
    EXPECT_EQ("1", ElementText(posts[1].body, "wrapperError"));
    EXPECT_EQ("6", ElementText(posts[1].body, "msiError"));

    EXPECT_TRUE(apptest::ListTree(temp).empty()) << Narrow(apptest::ListTree(temp)[0]);
}

TEST_F(WindowRun, AWorkerThatOutlastsTheWaitLeavesTheRecordAloneAndTheProcessEnds) {
    testutil::PkgServer pkg;
    ASSERT_TRUE(pkg.Available());
    ASSERT_TRUE(pkg.Reset());
    ASSERT_TRUE(pkg.Control("create?path=/stuck-package.bin&size=3145728"));
    ASSERT_TRUE(pkg.Control("meta?path=/stuck-package.bin"));
    // Longer than the program waits (2 s here): the worker outlasts the wait.
    ASSERT_TRUE(pkg.AddRule("path=/stuck-package.bin&when=range&times=0&end=65536&stall=60"));

    Run(L"status:2;download:" + pkg.Url(L"/stuck-package.bin") + L";waitfor:" +
            pkg.Url(L"/_control/log") + L" =status 206 sent 65536",
        2000);
    // The process ended from inside the run, with the run's objects kept for
    // the worker.
    EXPECT_EQ("closing", page.back());

    // The reports went out as usual; the record they read was closed to the
    // worker, whose later failure is not in it.
    EXPECT_EQ("error occurred", EndStatus());
    const auto posts = apptest::Only(requests, "POST", "/v1/logAnalytics");
    ASSERT_EQ(2u, posts.size());
    EXPECT_EQ("0", ElementText(posts[1].body, "wrapperError"));
    const auto puts = apptest::Only(requests, "PUT");
    ASSERT_EQ(1u, puts.size()) << "a crash report or a second error report";
    const auto entries = testutil::ReadZipBytes(puts[0].body);
    ASSERT_EQ(1u, entries.size());
    const std::vector<std::string> log = apptest::Lines(entries[0].content);
    EXPECT_LT(LineIndex(log, "workers still running 2000 ms"), LineIndex(log, "] Property "))
        << entries[0].content;
    EXPECT_EQ(log.size(), LineIndex(log, "Download fail")) << "the worker ended after all";

    // The log and the pages are gone; only the script object's own working
    // folder, which a worker may still be using, stays (the package is stored
    // next to the program): it holds nothing but the file naming its user,
    // the ended process, so the next start removes it.
    const auto left = apptest::ListTree(temp);
    ASSERT_EQ(2u, left.size());
    EXPECT_TRUE(GetFileAttributesW((temp + left[0]).c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ((std::vector<std::wstring>{kFolderUsersFileName}),
              apptest::ListTree(temp + left[0] + L"\\"));
    EXPECT_EQ(std::vector<std::wstring>{temp + left[0] + L"\\"}, RemoveAbandonedFolders(temp));
    EXPECT_TRUE(apptest::ListTree(temp).empty());
}

// The user logs off while the package downloads: the window declines the
// end of the session (with a reason for the system to show) while work runs;
// when the session ends anyway, the run ends in short: the end document is
// sent, and the log, the pages and the download folder are gone before the
// system would end the process.
TEST_F(WindowRun, ALogOffDuringADownloadIsDeclinedAndItsEndStillEndsTheRun) {
    testutil::PkgServer pkg;
    ASSERT_TRUE(pkg.Available());
    ASSERT_TRUE(pkg.Reset());
    ASSERT_TRUE(pkg.Control("create?path=/slow-package.bin&size=3145728"));
    ASSERT_TRUE(pkg.Control("meta?path=/slow-package.bin"));
    // About 50 s for the whole file: still under way when the session ends.
    ASSERT_TRUE(pkg.AddRule("path=/slow-package.bin&when=range&times=0&rate=65536"));

    const apptest::ProcessRun run =
        RunOnly(L"status:2;download:" + pkg.Url(L"/slow-package.bin") + L";waitfor:" +
                pkg.Url(L"/_control/log") + L" =status 206;query;endsession");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0u, run.exitCode);
    const std::vector<std::string> expected = {"setInstallStatus 0",     "download 0",
                                               "waited for =status 206", "query answered 0",
                                               "block reason asked 1",   "ending session"};
    EXPECT_EQ(expected, page) << testutil::ReadFileBytes(scratch / L"page.txt");

    EXPECT_EQ("error occurred", EndStatus());
    EXPECT_TRUE(apptest::Only(requests, "PUT").empty());
    EXPECT_TRUE(testutil::FileExists(shortcut)) << "the shortcut stays for the next start";
    EXPECT_TRUE(apptest::ListTree(temp).empty()) << Narrow(apptest::ListTree(temp)[0]);
}

TEST_F(WindowRun, WithoutWorkRunningTheEndOfTheSessionIsAccepted) {
    Run(L"status:0;query");
    ASSERT_GE(page.size(), 3u);
    EXPECT_EQ("query answered 1", page[1]);
    EXPECT_EQ("block reason asked 0", page[2]);
    EXPECT_EQ("program returned 0", page.back());
    EXPECT_EQ("canceled", EndStatus());
    EXPECT_TRUE(apptest::ListTree(temp).empty());
}

// A fault on a thread of the running program: the crash report is the dump
// as before, and the run's log follows it, zipped as an error report is.
TEST_F(WindowRun, ACrashSendsTheLogAfterTheDump) {
    const apptest::ProcessRun run = RunOnly(L"status:2;fault");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), run.exitCode);
    EXPECT_EQ(page.size(), LineIndex(page, "still running")) << "the fault did not end it";

    const auto posts = apptest::Only(requests, "POST", "/v1/logAnalytics");
    ASSERT_EQ(1u, posts.size()) << "only the start document: the run never ended";
    const auto puts = apptest::Only(requests, "PUT", "/v1/reportError");
    ASSERT_EQ(2u, puts.size());
    EXPECT_EQ("MDMP", puts[0].body.substr(0, 4));
    EXPECT_EQ(0u, puts[1].query.find("token=&machineId=")) << puts[1].query;
    const auto entries = testutil::ReadZipBytes(puts[1].body);
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ("installer_log.txt", entries[0].name);
    const std::vector<std::string> log = apptest::Lines(entries[0].content);
    EXPECT_LT(LineIndex(log, "QXSetInstallStatus"), log.size()) << entries[0].content;
}

} // namespace
