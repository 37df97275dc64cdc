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
        const DWORD before = HandleCount();
        for (int i = 0; i < 3 && FAILED(first); ++i) {
            EXPECT_EQ(first, downloadmanagercore::ShellExecuteFromDesktop(L"cmd.exe", parameters));
        }
        EXPECT_EQ(before, HandleCount());
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
        EXPECT_EQ(S_OK, host.Run(L"external.openPage('x?a=1&b=2');\n"
                                 L"external.startInstallProgram('');\n"))
            << host.Errors();
    }
    EXPECT_NE(std::string::npos, coretest::LogText(*log).find("DEBUG] QXOpenPage: x?a=1&b=2\n"));
    EXPECT_EQ(0u, object->Release());
    delete log;
    CoUninitialize();
}

} // namespace
