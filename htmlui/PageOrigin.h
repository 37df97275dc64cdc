#pragma once

#include <string>

namespace htmlui {

// Where a document came from, decided on its URL alone. The script object
// holds the program's rights (it downloads and runs setup elevated), so only
// the pages the program unpacked itself may reach it.

// The file a page URL names: a "file:" URL of a local drive path (any number
// of slashes up to three, '/' or '\', percent escapes, "|" for ":"), or such
// a drive path itself. The query and fragment are not part of the file.
// Fails for anything else: other schemes, a host ("file://server/..."),
// device and long-path prefixes, "." or ".." steps, empty steps, a ':' past
// the drive (alternate streams), escaped NULs and control characters.
bool PageFilePath(const std::wstring& url, std::wstring& path);

// The folder of the page at `url` (ending in a backslash); empty when
// PageFilePath fails.
std::wstring PageFolder(const std::wstring& url);

// Whether `url` names a file inside `pagesFolder` (which ends in a
// backslash), compared without regard to case. An empty folder holds nothing.
bool IsOwnPage(const std::wstring& url, const std::wstring& pagesFolder);

// Whether `url` is an http or https address with a host, safe to hand to the
// shell: no other scheme, no white space, control characters or quotes.
bool IsWebAddress(const std::wstring& url);

} // namespace htmlui
