#pragma once

#include <windows.h>

namespace htmlui {

// What the pages may do to the host window, behind the script methods that
// size, close, hide, drag and restore it or show a message box, and the
// close guard that "disableCloseWindow" turns on. UI thread only. The window
// commands do nothing while no window is attached; a message box then has no
// owner.
class WindowCommands {
public:
    WindowCommands();
    // Takes the close guard off a window still attached.
    ~WindowCommands();
    WindowCommands(const WindowCommands&) = delete;
    WindowCommands& operator=(const WindowCommands&) = delete;

    // Moves the close guard to `window` (NULL detaches); the last size
    // belongs to the old window and is forgotten.
    void Attach(HWND window);
    HWND window() const { return window_; }

    // Sizes (client size in 96-dpi units) and centres the window; a request
    // that gives the same outer size as the last one does nothing.
    void Resize(int width, int height);
    // Resize, for a window whose client area is still empty (a page that
    // finished loading without sizing it). True when it was resized.
    bool ResizeIfEmpty(int width, int height);
    // Ends the host window's message loop, which then destroys the window;
    // only a window of the host window class is closed.
    void Close();
    void Minimize();
    // The system's move loop, until the mouse button is released.
    void Drag();
    void Restore();
    void ShowMessage(const wchar_t* text, const wchar_t* caption);
    // A retry/cancel box; true for retry.
    bool AskRetry(const wchar_t* text);

    // While set, WM_CLOSE minimises the window instead of closing it.
    void SetCloseDisabled(bool disabled) { closeDisabled_ = disabled; }
    bool closeDisabled() const { return closeDisabled_; }
    int lastWidth() const { return lastWidth_; }
    int lastHeight() const { return lastHeight_; }

private:
    static LRESULT CALLBACK CloseGuardProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                           UINT_PTR id, DWORD_PTR self);

    HWND window_;
    bool closeDisabled_;
    int lastWidth_;
    int lastHeight_;
};

} // namespace htmlui
