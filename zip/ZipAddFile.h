#pragma once

#include <string>

namespace zip {

// Adds the file at `filePath` to the zip at `zipPath` under the file's bare
// name, with the best compression, creating the zip when there is none.
// When adding fails, an existing zip keeps its earlier entries and a zip
// this call created is removed.
bool ZipAddFile(const std::wstring& filePath, const std::wstring& zipPath);

} // namespace zip
