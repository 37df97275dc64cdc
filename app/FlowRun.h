#pragma once

#include "core/ScriptObject.h"

#include <windows.h>

#include <functional>
#include <string>

// The pages' installing flow (js\flow.js) run without a window: the pages'
// own scripts in the platform's script engine, with a view that writes
// progress as lines and answers what would need a person (FlowView.js),
// against the run's script object. Used by the quiet run of the program and
// by pageflow.exe.

// How the busy-installer question is answered, and how long the flow may take.
struct FlowRunOptions {
    // "Retry" at most this often, then "cancel".
    int busyRetries;
    // The pause before each retry.
    DWORD busyPauseMs;
    // The flow's own stall guards end a step that stands still; this bounds
    // the whole flow.
    DWORD timeLimitMs;
    // Whether the start page's check (suite installed, Windows too old) comes
    // first, as in a run of the program.
    bool checkFirst;
    // A person's Cancel (for tests of the flow): at the first progress of
    // this step ("download", "extract", "install") at or above
    // `cancelPercent`; empty for none.
    std::wstring cancelPhase = std::wstring();
    int cancelPercent = 0;
};

// What the flow came to.
struct FlowRunResult {
    // "completed", "failed" or "canceled" (the flow's outcomes); "installed"
    // or "oldWindows" when the start page's check stopped it; empty when the
    // scripts could not run or the time limit ended it.
    std::wstring outcome;
    // The busy-installer question was answered "cancel" because the retries
    // were used up.
    bool busyBoundReached = false;
    // Why the scripts could not run, for the log; empty when they ran.
    std::wstring scriptError;
};

// Lines of progress ("download 12%  (overall 7%)", "message box: ...").
typedef std::function<void(const std::wstring& line)> FlowPrinter;

// Runs the start page's check (when `options.checkFirst`) and then, when
// setup can go on, the installing flow of the pages unpacked in `pagesFolder`
// (ending in a backslash) against `script`, until the flow has ended or
// `options.timeLimitMs` has passed.
// UI thread with COM initialised as a single-threaded apartment; the thread's
// messages are delivered meanwhile (workers call the page back through them).
// `onTick`, when set, is called about every 100 ms. The workers may still be
// running when this returns: the caller stops them.
FlowRunResult RunInstallFlow(const std::wstring& pagesFolder,
                             downloadmanagercore::ScriptObject* script,
                             const FlowRunOptions& options, const FlowPrinter& print,
                             const std::function<void()>& onTick = std::function<void()>());
