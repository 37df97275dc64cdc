#pragma once

#include <windows.h>

#include <functional>

namespace htmlui {

class MSHTMLClient;
class MSHTMLExternal;

// Class name of the one top-level window of the user interface; a second copy
// of the program finds the running one by it.
extern const wchar_t HostWindowClassName[];

// What the window does when the user's session ends (log-off, shutdown or
// restart), which would otherwise end the process in the middle of its work.
struct SessionHooks {
    // Whether work runs that the end of the session would cut short. While it
    // does, the window registers `blockReason` with the system (checked every
    // kSessionCheckMs and on each query) and declines the session's end.
    std::function<bool()> busy;
    const wchar_t* blockReason = nullptr;
    // The session ends now, whatever was answered: the system ends the
    // process soon after this returns, so the run's end is done here.
    std::function<void()> ending;
};

// How often the window looks whether work runs, for the block reason.
constexpr UINT kSessionCheckMs = 1000;

// Creation parameters of the host window (on RunHostWindow's stack).
struct HostWindowParams {
    const wchar_t* url;                    // what to show first: a URL or a file path
    MSHTMLExternal* external;              // the script object (not owned)
    bool* quitFlag;                        // the message loop's stop flag
    HRESULT failure = S_OK;                // why WM_CREATE refused the window
    const SessionHooks* session = nullptr; // may be NULL: the session's end is not answered
};

// Per-window record, kept in the window's extra bytes at index 0.
struct HostWindowData {
    MSHTMLClient* client;     // the browser site; the window holds one reference
    MSHTMLExternal* external; // the script object (not owned)
    HWND focusChild;          // focus at the last deactivation; NULL if none or the window
    bool* quitFlag;           // copied from the creation parameters
    const SessionHooks* session = nullptr; // copied from the creation parameters
    bool blockReasonAsked = false;         // work runs: a block reason was asked for
    bool blockReasonSet = false;           // ...and the system took it
    bool sessionEnding = false;            // the session's end is being handled
};

// The atom of the registered class; 0 while it is not registered.
ATOM HostWindowClassAtom();

// Registers the "HTMLUI" class once per process.
bool RegisterHostWindowClass();

// Creates the window for `url` and `external`, runs the message loop until
// the window is asked to close, and destroys it. A failure only when the
// window could not be created (then no loop ran): the HRESULT of the step
// that failed (the document's creation, its attachment, the navigation, or
// the window itself).
HRESULT RunHostWindow(const wchar_t* url, MSHTMLExternal* external,
                      const SessionHooks* session = nullptr);

LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The host window's record, or NULL when `window` has none (yet).
HostWindowData* GetHostWindowData(HWND window);

// The UI thread's loop while the window lives: the document sees each message
// first (keyboard accelerators); a WM_QUIT is posted again and ends the loop.
void RunMessageLoop(MSHTMLClient* client, bool* quitFlag);

// Outer window rectangle, in screen pixels, for a client area of
// width x height 96-dpi units, centred on `reference` and kept inside
// `workArea` (its left and top edges taking priority).
RECT ComputeWindowPlacement(int dpi, DWORD style, DWORD exStyle, const RECT& reference,
                            const RECT& workArea, int width, int height);

// The same for `window`: system DPI, the window's styles, and the owner's
// rectangle or else the work area of the monitor under the mouse cursor.
RECT ComputeWindowPlacement(HWND window, int width, int height);

} // namespace htmlui
