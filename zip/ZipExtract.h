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
// Nothing is written, not even `folder`, for an archive whose entries share
// bytes (local header to end of compressed data) or reach outside the file,
// whose local headers cannot be read, or whose files' declared sizes add up
// to more than the target volume has free; the reporter is told why.
//
// Entry names are taken in the ANSI code page, cut at 259 bytes, with '/'
// turned into '\'. Names that are not plain relative names (IsSafeRelativeName
// of base/SafeNames.h, e.g. with ".." or device names) or that would land
// outside `folder` fail like any other entry, as does an entry whose data ends
// before its declared size or goes on past it (nothing past it is written).
bool ZipExtractToFolder(HANDLE zipFile, const std::wstring& folder, ZipReporter* reporter);

// The path below the target folder that an entry's stored name gives: the
// first 259 bytes of the name, in the ANSI code page, '/' turned into '\'.
// False when the bytes do not convert.
bool StoredNameToRelativePath(const std::string& stored, std::wstring& path);

} // namespace zip
