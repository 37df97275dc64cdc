#include "htmlui/WindowCommands.h"

#include "htmlui/HostWindow.h"

#include <commctrl.h>

namespace htmlui {

namespace {

// The system's move command with the caption hit-test code: a drag of the
// borderless window.
const WPARAM kDragMoveCommand = SC_MOVE | HTCAPTION;

} // namespace

WindowCommands::WindowCommands()
    : window_(nullptr), closeDisabled_(false), lastWidth_(0), lastHeight_(0) {}

WindowCommands::~WindowCommands() {
    // A window still attached must not call a guard into a freed object.
    if (window_) {
        RemoveWindowSubclass(window_, CloseGuardProc, 0);
    }
}

void WindowCommands::Attach(HWND window) {
    if (window == window_) {
        return;
    }
    if (window_) {
        RemoveWindowSubclass(window_, CloseGuardProc, 0);
    }
    window_ = window;
    lastWidth_ = 0;
    lastHeight_ = 0;
    if (window) {
        SetWindowSubclass(window, CloseGuardProc, 0, reinterpret_cast<DWORD_PTR>(this));
    }
}

LRESULT CALLBACK WindowCommands::CloseGuardProc(HWND window, UINT message, WPARAM wParam,
                                                LPARAM lParam, UINT_PTR id, DWORD_PTR self) {
    WindowCommands* owner = reinterpret_cast<WindowCommands*>(self);
    if (message == WM_CLOSE && owner->closeDisabled_) {
        // Closing is refused during installation: the window steps aside.
        ShowWindow(window, SW_MINIMIZE);
        return 0;
    }
    if (message == WM_NCDESTROY) {
        RemoveWindowSubclass(window, CloseGuardProc, id);
    }
    return DefSubclassProc(window, message, wParam, lParam);
}

void WindowCommands::Resize(int width, int height) {
    // Without a window there is nothing to size, and no size to remember.
    if (!window_) {
        return;
    }
    const RECT placement = ComputeWindowPlacement(window_, width, height);
    const int outerWidth = placement.right - placement.left;
    const int outerHeight = placement.bottom - placement.top;
    if (outerWidth == lastWidth_ && outerHeight == lastHeight_) {
        return;
    }
    lastWidth_ = outerWidth;
    lastHeight_ = outerHeight;
    SetWindowPos(window_, nullptr, placement.left, placement.top, outerWidth, outerHeight,
                 SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOOWNERZORDER);
}

bool WindowCommands::ResizeIfEmpty(int width, int height) {
    RECT client;
    if (!window_ || !GetClientRect(window_, &client) ||
        (client.right - client.left != 0 && client.bottom - client.top != 0)) {
        return false;
    }
    Resize(width, height);
    return true;
}

void WindowCommands::Close() {
    const ATOM hostClass = HostWindowClassAtom();
    if (window_ && hostClass != 0 &&
        static_cast<ATOM>(GetClassLongW(window_, GCW_ATOM)) == hostClass) {
        HostWindowData* data = GetHostWindowData(window_);
        // The host window's loop ends and destroys the window.
        if (data && data->quitFlag && !*data->quitFlag) {
            *data->quitFlag = true;
        }
    }
}

void WindowCommands::Minimize() {
    if (window_) {
        ShowWindow(window_, SW_SHOWMINIMIZED);
    }
}

void WindowCommands::Drag() {
    if (window_) {
        SendMessageW(window_, WM_SYSCOMMAND, kDragMoveCommand, 0);
    }
}

void WindowCommands::Restore() {
    if (!window_) {
        return;
    }
    SetForegroundWindow(window_);
    if (IsIconic(window_)) {
        ShowWindow(window_, SW_RESTORE);
    }
}

void WindowCommands::ShowMessage(const wchar_t* text, const wchar_t* caption) {
    MessageBoxW(window_, text, caption, MB_OK);
}

bool WindowCommands::AskRetry(const wchar_t* text) {
    return MessageBoxW(window_, text, nullptr, MB_RETRYCANCEL) == IDRETRY;
}

} // namespace htmlui
