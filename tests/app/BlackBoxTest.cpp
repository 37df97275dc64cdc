// The built program run as a black box under Wine. The test build reports to
// the analytics sink; Wine has no HTML engine here, so the window never
// appears and a run with pages ends "environment not supported".
#include "app/DesktopShortcut.h"
#include "tests/app/AppTestSupport.h"
#include "tests/common/TestUtil.h"
#include "tests/common/ZipReading.h"

#include <gtest/gtest.h>

#include <objbase.h>

#include <map>
#include <set>

namespace {

using apptest::ElementText;
using apptest::Narrow;
using sinktest::SinkRequest;

const wchar_t kMutexName[] = L"TLWDownloadManager";

std::wstring ShortcutPath() {
    return apptest::DesktopFolder() + L"Continue Brightcast Suite Installation.lnk";
}

class ProgramRun : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        temp = scratch / L"temp\\";
        ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
        DeleteFileW(ShortcutPath().c_str());
        before = apptest::SinkRequestCount();
    }
    void TearDown() override {
        DeleteFileW(ShortcutPath().c_str());
        CoUninitialize();
    }

    apptest::ProcessRun Run(const wchar_t* program) {
        return apptest::RunProgram(apptest::SiblingProgram(program), L"", temp);
    }

    // The start and end documents among `requests`, checked for their common parts.
    void ExpectAnalyticsPair(const std::vector<SinkRequest>& requests, std::string& start,
                             std::string& end) {
        const auto posts = apptest::Only(requests, "POST", "/v1/logAnalytics");
        ASSERT_EQ(2u, posts.size());
        start = posts[0].body;
        end = posts[1].body;
        EXPECT_EQ("started", ElementText(start, "status"));
        EXPECT_EQ(0u, start.find("<KESTRAnalytics><requestToken>"));
        const std::string token = ElementText(start, "requestToken");
        EXPECT_TRUE(testutil::IsGuidText(token)) << token;
        EXPECT_EQ(token, ElementText(end, "requestToken"));
        EXPECT_EQ("TLW", ElementText(start, "productId"));
        EXPECT_EQ("1.0.25.1", ElementText(start, "KESTRVersion"));
        EXPECT_EQ("application/xml", posts[0].Header("Content-Type"));
    }

    testutil::ScratchFolder scratch;
    std::wstring temp;
    size_t before = 0;
};

TEST_F(ProgramRun, WithPagesTheRunEndsEnvironmentNotSupportedAndCleansUp) {
    const apptest::ProcessRun run = Run(L"BrightcastSetupPacked.exe");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0u, run.exitCode);

    const auto requests = apptest::SinkRequestsSince(before);
    std::string start, end;
    ExpectAnalyticsPair(requests, start, end);
    EXPECT_EQ("environment not supported", ElementText(end, "status"));
    EXPECT_EQ("English", ElementText(start, "installLanguage"));
    EXPECT_TRUE(apptest::Only(requests, "PUT").empty()) << "an error report was sent";
    // The licence for the chosen language was asked for before the window.
    const auto licence = apptest::Only(requests, "GET");
    ASSERT_EQ(1u, licence.size());
    EXPECT_EQ("/license/TLW/en/Eula.html", licence[0].path);

    // No log folder, no page folder.
    EXPECT_TRUE(apptest::ListTree(temp).empty()) << Narrow(apptest::ListTree(temp)[0]);
    // The shortcut stays for a run that did not complete, pointing at the program.
    const apptest::ShellLinkInfo link = apptest::ReadShellLink(ShortcutPath());
    ASSERT_EQ(S_OK, link.loaded) << "no desktop shortcut";
    EXPECT_EQ(apptest::SiblingProgram(L"BrightcastSetupPacked.exe"), link.target);
}

TEST_F(ProgramRun, WithoutPagesTheRunEndsInErrorAndSendsItsLogWithEveryProperty) {
    const apptest::ProcessRun run = Run(L"BrightcastSetupUnderTest.exe");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0u, run.exitCode);

    const auto requests = apptest::SinkRequestsSince(before);
    std::string start, end;
    ExpectAnalyticsPair(requests, start, end);
    EXPECT_EQ("error occurred", ElementText(end, "status"));
    // The licence is still prepared in the (empty) page folder.
    const auto licence = apptest::Only(requests, "GET");
    ASSERT_EQ(1u, licence.size());
    EXPECT_EQ("/license/TLW/en/Eula.html", licence[0].path);

    const auto puts = apptest::Only(requests, "PUT", "/v1/reportError");
    ASSERT_EQ(1u, puts.size());
    const std::string token = ElementText(start, "requestToken");
    EXPECT_EQ("token=" + token + "&machineId=" + ElementText(start, "machineId"), puts[0].query);
    // The error report comes after the end document.
    EXPECT_EQ("PUT", requests.back().method);

    const auto entries = testutil::ReadZipBytes(puts[0].body);
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ("installer_log.txt", entries[0].name);
    std::map<std::string, std::string> properties;
    size_t propertyLines = 0;
    for (const std::string& line : apptest::Lines(entries[0].content)) {
        const size_t at = line.find("DEBUG] Property ");
        if (at == std::string::npos) {
            continue;
        }
        ++propertyLines;
        const std::string rest = line.substr(at + 16);
        const size_t colon = rest.find(": ");
        ASSERT_NE(std::string::npos, colon) << line;
        properties[rest.substr(0, colon)] = rest.substr(colon + 2);
    }
    EXPECT_EQ(properties.size(), propertyLines) << "a property was written twice";
    const std::string osbits = properties["osbits"];
    EXPECT_TRUE(osbits == "32" || osbits == "64") << osbits;
    // Every property of the run, as the page would have read it.
    const std::string osVersion = properties["osVersion"];
    EXPECT_NE(std::string::npos, osVersion.find('.')) << osVersion;
    const std::map<std::string, std::string> expected = {
        {"downloadCurrent", "0"}, {"downloadTotal", "1"},
        {"extractProgress", "0"}, {"installProgress", "0"},
        {"lang", "en"},           {"osVersion", osVersion},
        {"osbits", osbits},       {"tlwInstalled", "false"},
    };
    EXPECT_EQ(expected, properties);
    // The archive reader's own complaint is in the log too.
    EXPECT_NE(std::string::npos, entries[0].content.find("Load Resource from pe."));

    EXPECT_TRUE(apptest::ListTree(temp).empty());
    EXPECT_FALSE(testutil::FileExists(ShortcutPath())) << "no pages, no shortcut";
}

// Another copy that holds the mutex, with or without its window.
class SecondCopy : public ProgramRun {
protected:
    void SetUp() override {
        ProgramRun::SetUp();
        mutex = CreateMutexW(nullptr, FALSE, kMutexName);
        ASSERT_NE(nullptr, mutex);
        ASSERT_NE(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError())
            << "a copy of the program is already running";
    }
    void TearDown() override {
        if (window) {
            DestroyWindow(window);
        }
        if (mutex) {
            CloseHandle(mutex);
        }
        ProgramRun::TearDown();
    }

    // A minimised window of the host window's class, as the first copy has.
    void ShowMinimisedHostWindow() {
        // Other suites' host windows would be found instead of this one.
        const DWORD deadline = GetTickCount() + 60000;
        while (FindWindowW(L"HTMLUI", nullptr) && GetTickCount() < deadline) {
            Sleep(100);
        }
        ASSERT_EQ(nullptr, FindWindowW(L"HTMLUI", nullptr)) << "another host window stays up";
        WNDCLASSEXW windowClass = {};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"HTMLUI";
        RegisterClassExW(&windowClass);
        window =
            CreateWindowExW(WS_EX_APPWINDOW, L"HTMLUI", L"first copy", WS_POPUP | WS_VISIBLE, 100,
                            100, 300, 200, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(nullptr, window);
        ShowWindow(window, SW_MINIMIZE);
        Pump();
        ASSERT_TRUE(IsIconic(window));
    }

    static void Pump() {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }

    // Runs the program while this thread keeps its window answering.
    apptest::ProcessRun RunWhilePumping() {
        apptest::ProcessRun run;
        std::wstring commandLine =
            L"\"" + apptest::SiblingProgram(L"BrightcastSetupUnderTest.exe") + L"\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        BOOL started = FALSE;
        {
            testutil::TempFolderOverride temporary(temp);
            started = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                                     nullptr, &startup, &process);
        }
        if (!started) {
            ADD_FAILURE() << "cannot start the program, error " << GetLastError();
            return run;
        }
        run.started = true;
        const DWORD deadline = GetTickCount() + 60000;
        while (GetTickCount() < deadline) {
            const DWORD wait =
                MsgWaitForMultipleObjects(1, &process.hProcess, FALSE, 100, QS_ALLINPUT);
            if (wait == WAIT_OBJECT_0) {
                run.finished = true;
                break;
            }
            Pump();
        }
        if (run.finished) {
            GetExitCodeProcess(process.hProcess, &run.exitCode);
        } else {
            TerminateProcess(process.hProcess, 0xDEAD);
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        Pump();
        return run;
    }

    HANDLE mutex = nullptr;
    HWND window = nullptr;
};

TEST_F(SecondCopy, RestoresAndRaisesTheRunningWindowAndBuildsNothing) {
    ShowMinimisedHostWindow();
    const apptest::ProcessRun run = RunWhilePumping();
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_FALSE(IsIconic(window)) << "the window was not restored";
    EXPECT_TRUE(IsWindowVisible(window));
    EXPECT_EQ(window, GetForegroundWindow());
    EXPECT_TRUE(apptest::ListTree(temp).empty()) << "a log folder was made";
    EXPECT_TRUE(apptest::SinkRequestsSince(before).empty()) << "a second copy reported";
    EXPECT_FALSE(testutil::FileExists(ShortcutPath()));
}

TEST_F(SecondCopy, WithoutAWindowExitsQuietly) {
    const apptest::ProcessRun run = RunWhilePumping();
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_TRUE(apptest::ListTree(temp).empty());
    EXPECT_TRUE(apptest::SinkRequestsSince(before).empty());
    EXPECT_FALSE(testutil::FileExists(ShortcutPath()));
}

} // namespace
