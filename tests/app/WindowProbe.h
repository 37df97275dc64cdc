#pragma once

#include <windows.h>

#include <string>

// The whole program, with the pages packed into this probe and a test double
// standing in for the HTML document, so that the host window appears under
// Wine. From inside the window's message loop a timer plays the page's
// steps, separated by ";": "status:N" reports status N, "download:URL"
// starts a download, "waitfor:URL TEXT" waits until the answer at URL holds
// TEXT (at most a minute), "query" sends the window WM_QUERYENDSESSION and
// reports its answer and whether a shutdown block reason was asked for,
// "endsession" sends WM_ENDSESSION (the session ends), "fault" faults on a
// thread of its own.
// Then the window is closed. What happens goes to `reportFile`, a line at a
// time. Returns the program's exit code.
// `stopTimeoutMs` bounds the wait for workers at the end (0: the program's own).
int RunProgramWithDocumentDouble(const std::wstring& script, const std::wstring& reportFile,
                                 DWORD stopTimeoutMs);
