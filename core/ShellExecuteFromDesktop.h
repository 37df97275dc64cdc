#pragma once

#include <windows.h>

#include <string>

namespace downloadmanagercore {

// A URL made safe for the shell's command interpreter: a caret before every
// ampersand ("x?a=1&b=2" -> "x?a=1^&b=2"; "&&" -> "^&^&").
std::wstring EscapeAmpersands(const std::wstring& url);

// Starts a file or URL with the shell's default verb as the interactive
// desktop user (this process runs elevated) through the shell's own desktop
// window objects. Needs COM on the calling thread. Returns the first failure
// or the result of the launch; every object it obtains is released.
HRESULT ShellExecuteFromDesktop(const std::wstring& file, const std::wstring& parameters);

} // namespace downloadmanagercore
