#include "app/CommandLine.h"
#include "app/QuietRun.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct LineCase {
    std::vector<std::wstring> arguments;
    bool quiet;
    std::wstring logPath;
    bool noRestart;
};

TEST(CommandLine, QuietSwitchesInAnyCaseAndAnythingElseIsTheWindowRun) {
    const LineCase cases[] = {
        {{}, false, L"", false},
        {{L"/quiet"}, true, L"", false},
        {{L"-QUIET"}, true, L"", false},
        {{L"/Quiet", L"/LOG", L"C:\\logs\\run.log"}, true, L"C:\\logs\\run.log", false},
        {{L"/log", L"x.log", L"-quiet", L"/norestart"}, true, L"x.log", true},
        {{L"/NoRestart", L"/quiet"}, true, L"", true},
        // Not quiet without the switch.
        {{L"/norestart"}, false, L"", false},
        {{L"/log", L"x.log"}, false, L"", false},
        // Unknown switches, a bare word, a missing or empty log path, repeats.
        {{L"/quiet", L"/passive"}, false, L"", false},
        {{L"/quiet", L"setup"}, false, L"", false},
        {{L"/quiet", L"/log"}, false, L"", false},
        {{L"/quiet", L"/log", L""}, false, L"", false},
        {{L"/quiet", L"/quiet"}, false, L"", false},
        {{L"/quiet", L"/log", L"a", L"/log", L"b"}, false, L"", false},
        {{L"quiet"}, false, L"", false},
        {{L"/"}, false, L"", false},
        {{L"//quiet"}, false, L"", false},
        {{L"/q"}, false, L"", false},
    };
    for (const LineCase& c : cases) {
        std::wstring joined;
        for (const std::wstring& a : c.arguments) {
            joined += L"[" + a + L"]";
        }
        SCOPED_TRACE(std::string(joined.begin(), joined.end()));
        const CommandLine line = ParseCommandLine(c.arguments);
        EXPECT_EQ(c.quiet, line.quiet);
        EXPECT_EQ(c.logPath, line.logPath);
        EXPECT_EQ(c.noRestart, line.noRestart);
    }
}

struct ExitCase {
    bool pagesLoaded;
    const wchar_t* outcome;
    bool busyBoundReached;
    const wchar_t* restartRequired;
    int exitCode;
};

TEST(QuietExitCode, FromTheFlowsEnd) {
    const ExitCase cases[] = {
        {true, L"completed", false, L"false", 0},
        {true, L"completed", false, L"", 0},
        {true, L"completed", false, L"true", 3010},
        {true, L"installed", false, L"", 0},
        {true, L"canceled", true, L"", 1618},
        {true, L"canceled", false, L"", 1602},
        {true, L"failed", false, L"", 1603},
        // A restart asked for by a setup that failed later is no success.
        {true, L"failed", false, L"true", 1603},
        {true, L"oldWindows", false, L"", 1603},
        {true, L"", false, L"", 1603},
        {false, L"completed", false, L"", 1603},
    };
    for (const ExitCase& c : cases) {
        SCOPED_TRACE(c.exitCode);
        QuietRunFacts facts = {c.pagesLoaded, c.outcome, c.busyBoundReached, c.restartRequired};
        EXPECT_EQ(c.exitCode, QuietExitCodeFor(facts));
    }
}

} // namespace
