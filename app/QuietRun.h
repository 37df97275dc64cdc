#pragma once

#include "app/CommandLine.h"
#include "app/RunSequence.h"

#include <string>

// The unattended run ("/quiet"): the window run's work without a window or a
// message box, ending with the Windows Installer exit codes.
enum QuietExitCode {
    QuietExitInstalled = 0,
    QuietExitNotElevated = 740,
    QuietExitCanceled = 1602,
    QuietExitFailed = 1603,
    QuietExitBusy = 1618,
    QuietExitRestartRequired = 3010,
};

// How often a busy installer is tried again, and the pause before each try.
constexpr int kQuietBusyRetries = 3;
constexpr DWORD kQuietBusyPauseMs = 10000;
// The flow's stall guards end a step that stands still; this bounds the run
// however slowly its steps move.
constexpr DWORD kQuietFlowTimeLimitMs = 6 * 60 * 60 * 1000;

// What the end of a quiet run looked at.
struct QuietRunFacts {
    bool pagesLoaded;
    // The flow's result: its outcome and whether the busy retries ran out.
    std::wstring outcome;
    bool busyBoundReached;
    // The page property "restartRequired" after the install step.
    std::wstring restartRequired;
};

// The exit code for the end of a quiet run: a completed install is 0, or
// 3010 when setup asked for a restart; a suite already installed is 0; an
// installer busy past the retries 1618; another cancel 1602; everything
// else (no pages, a failed step, unsupported Windows, a flow that did not
// end) 1603.
int QuietExitCodeFor(const QuietRunFacts& facts);

// The whole quiet run: the DLL search restricted and the crash filter, as in
// the window run; a second copy ends at once with
// 1618 and a process without administrator rights with 740; then the run's
// objects as in the window run, the pages unpacked, the installing flow run
// by FlowRun (the licence taken as accepted, no desktop shortcut), the
// workers stopped, the download folder removed, the single-instance mutex
// released, the reports sent as in the window run and the log copied to
// `line.logPath` when given.
int RunQuietProgram(const ProgramSettings& settings, const CommandLine& line);
