#pragma once

#include "htmlui/HostWindow.h"

#include <windows.h>

#include <cwchar>

namespace testutil {

namespace details {

struct OwnWindowSearch {
    DWORD process;
    HWND found;
};

inline BOOL CALLBACK TakeOwnHostWindow(HWND window, LPARAM context) {
    OwnWindowSearch* search = reinterpret_cast<OwnWindowSearch*>(context);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t name[64] = {};
    if (process == search->process && GetClassNameW(window, name, 64) > 0 &&
        std::wcscmp(name, htmlui::HostWindowClassName) == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

} // namespace details

// The host window of this process, or NULL. Other processes on the desktop
// (suites running beside this one, a program under test) show host windows
// of the same class, and the data of theirs lives in their address space.
inline HWND FindOwnHostWindow() {
    details::OwnWindowSearch search = {GetCurrentProcessId(), nullptr};
    EnumWindows(&details::TakeOwnHostWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

} // namespace testutil
