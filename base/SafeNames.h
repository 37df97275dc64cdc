#pragma once

#include <string>

// Names of files that come from an archive (the program's own pages, a
// downloaded package) and are written below a folder of ours.

// True when `name` is a plain relative path: segments separated by '\', none
// empty, none that starts or ends with a dot or a blank (Windows drops
// trailing ones, and path canonicalisation takes a segment that starts with
// ".." for the parent), no drive or stream colon, wildcard, '/' or control
// character, and no segment that names a device (CON, PRN, AUX, NUL, COM0-9,
// LPT0-9, CONIN$, CONOUT$, with or without an extension).
bool IsSafeRelativeName(const std::wstring& name);

// `folder` and `name` joined as text, in full (absolute) form; empty unless
// that path lies inside the folder (the folder's full path followed by a
// separator) and is shorter than the path limit. Only the place counts here:
// check the name with IsSafeRelativeName first.
std::wstring ResolveInsideFolder(const std::wstring& folder, const std::wstring& name);
