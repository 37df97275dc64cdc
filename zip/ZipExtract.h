#pragma once

#include "zip/ZipReporter.h"

#include <windows.h>

#include <string>

namespace zip {

// Extracts every entry of the zip open on `zipFile` (read access; the caller
// keeps and closes it) into `folder`, entry by entry, stopping at the first
// entry that fails; that entry's partly written file is deleted. True only
// when every entry was extracted. `reporter` may be null.
//
// Entry names are taken in the ANSI code page, cut at 259 bytes, with '/'
// turned into '\'. Names that would land outside `folder` (absolute, with a
// drive or stream colon, or with ".." segments) fail like any other entry.
bool ZipExtractToFolder(HANDLE zipFile, const std::wstring& folder, ZipReporter* reporter);

// The path below the target folder that an entry's stored name gives: the
// first 259 bytes of the name, in the ANSI code page, '/' turned into '\'.
// False when the bytes do not convert.
bool StoredNameToRelativePath(const std::string& stored, std::wstring& path);

// True when a relative entry name (already with '\' separators) stays inside
// the folder it is extracted into.
bool IsSafeEntryName(const std::wstring& name);

} // namespace zip
