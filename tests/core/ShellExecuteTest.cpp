// Starting a program through the desktop's own shell objects, with whatever
// this platform's shell answers.

#include "base/InstallerContext.h"
#include "base/LogFile.h"
#include "core/ShellExecuteFromDesktop.h"
#include "tests/common/TestUtil.h"
#include "tests/core/CoreTestSupport.h"

#include <gtest/gtest.h>

namespace {

DWORD HandleCount() {
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
}

TEST(ShellExecuteFromDesktop, AnswersAnHResultAndLeaksNothing) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    {
        testutil::ScratchFolder scratch;
        const std::wstring marker = scratch / L"started.txt";
        const std::wstring parameters = L"/c echo started>\"" + marker + L"\"";
        const HRESULT first = downloadmanagercore::ShellExecuteFromDesktop(L"cmd.exe", parameters);
        if (SUCCEEDED(first)) {
            // The shell started the program: it leaves its mark.
            EXPECT_TRUE(coretest::PumpUntil([&] { return testutil::FileExists(marker); }, 20000));
        } else {
            // This platform's shell offers no desktop window objects: the
            // failure of the first step is the answer, and nothing ran.
            Sleep(500);
            EXPECT_FALSE(testutil::FileExists(marker));
            printf("the shell answered %08lx\n", static_cast<unsigned long>(first));
            fflush(stdout);
        }
        // A failing activation can take seconds each (the shell's window
        // service is waited for), so a few repeats show a leak well enough.
        // The desktop's shell may come up between two calls (the first
        // program of a session that needs the desktop starts it, here maybe a
        // suite running beside this one), never go away; the count is
        // compared where every call met the same shell.
        const DWORD before = HandleCount();
        bool sameAnswer = true;
        for (int i = 0; i < 3 && FAILED(first); ++i) {
            const HRESULT again =
                downloadmanagercore::ShellExecuteFromDesktop(L"cmd.exe", parameters);
            EXPECT_TRUE(again == first || SUCCEEDED(again)) << std::hex << again;
            sameAnswer = sameAnswer && again == first;
        }
        if (sameAnswer) {
            EXPECT_EQ(before, HandleCount());
        }
    }
    CoUninitialize();
}

TEST(ShellExecuteFromDesktop, PageLaunchesLogTheUrlAsGiven) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    InstallerContext& context = coretest::SharedContext();
    coretest::ResetContext(context);
    LogFile* log = new LogFile();
    coretest::ProbeExternal* object = new coretest::ProbeExternal(&context, log);
    {
        coretest::ScriptHost host(object);
        ASSERT_TRUE(host.Ready());
        object->SetStartProgramPath(L"C:\\Program Files\\Brightcast\\missing.exe");
        // Launch results are not the page's concern: both calls succeed.
        EXPECT_EQ(S_OK, host.Run(L"external.openPage('http://x/?a=1&b=2');\n"
                                 L"external.startInstallProgram('');\n"))
            << host.Errors();
    }
    EXPECT_NE(std::string::npos,
              coretest::LogText(*log).find("DEBUG] QXOpenPage: http://x/?a=1&b=2\n"));
    EXPECT_EQ(0u, object->Release());
    delete log;
    CoUninitialize();
}

// openPage and a navigation the window was kept from showing hand the shell
// web addresses only: a program, a script file or another scheme is logged
// as refused and never started. The script file would leave a marker if the
// shell ran it (where this platform's shell runs anything at all).
TEST(ShellExecuteFromDesktop, OnlyWebAddressesAreHandedToTheShell) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    InstallerContext& context = coretest::SharedContext();
    coretest::ResetContext(context);
    LogFile* log = new LogFile();
    coretest::ProbeExternal* object = new coretest::ProbeExternal(&context, log);
    testutil::ScratchFolder scratch;
    const std::wstring marker = scratch / L"ran.txt";
    const std::wstring script = scratch / L"run.cmd";
    ASSERT_TRUE(testutil::WriteFileBytes(
        script, "echo ran>\"" + std::string(marker.begin(), marker.end()) + "\"\r\n"));
    std::wstring scriptInPage;
    for (const wchar_t c : script) {
        scriptInPage += c == L'\\' ? std::wstring(L"\\\\") : std::wstring(1, c);
    }
    const std::wstring refused[] = {scriptInPage, L"file:///" + scriptInPage, L"cmd.exe",
                                    L"javascript:alert(1)", L"ms-settings:"};
    {
        coretest::ScriptHost host(object);
        ASSERT_TRUE(host.Ready());
        for (const std::wstring& url : refused) {
            EXPECT_EQ(S_OK, host.Run(L"external.openPage('" + url + L"');\n")) << host.Errors();
        }
    }
    object->OpenOutside(script.c_str());
    object->OpenOutside(L"javascript:alert(1)");
    Sleep(1000);
    EXPECT_FALSE(testutil::FileExists(marker)) << "the shell ran the script";
    const std::string text = coretest::LogText(*log);
    EXPECT_EQ(std::string::npos, text.find("DEBUG] QXOpenPage:")) << text;
    size_t refusals = 0;
    for (size_t at = text.find("QXOpenPage refused"); at != std::string::npos;
         at = text.find("QXOpenPage refused", at + 1)) {
        ++refusals;
    }
    EXPECT_EQ(5u, refusals) << text;
    EXPECT_NE(std::string::npos, text.find("navigation away from the pages stopped: javascript:"));
    EXPECT_EQ(std::string::npos, text.find("opened outside")) << text;
    EXPECT_EQ(0u, object->Release());
    delete log;
    CoUninitialize();
}

} // namespace
