#pragma once

#include <windows.h>

#include <string>

// The desktop shortcut that lets a user who stopped half-way start the
// installer again. All of these need COM on the calling thread.

// File name of the shortcut on the desktop.
extern const wchar_t kDesktopShortcutName[]; // "Continue Brightcast Suite Installation.lnk"

// The current user's desktop folder joined with `name`; empty when the
// desktop folder cannot be found.
std::wstring GetDesktopShortcutPath(const std::wstring& name);

// Writes a shell link at `link` to `target`, working in the target's folder,
// with no arguments, description, icon or hot key.
HRESULT CreateShellLink(const std::wstring& target, const std::wstring& link);

// Creates (overwriting) or deletes the desktop shortcut `name` to the running
// program. Failures are silent: a missing shortcut never stops an install.
void UpdateDesktopShortcut(const std::wstring& name, bool create);
