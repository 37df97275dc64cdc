#pragma once

#include "product/ProductLogic.h"

#include <string>

namespace tlw {

// The free space of the volume that holds `path` (the query is made with
// the path as given).
FreeSpace QueryFreeSpace(const std::wstring& path);

// Whether a connection to the URL's server can be made now
// (InternetCheckConnectionW with FLAG_ICC_FORCE_CONNECTION).
bool CanReachServer(const std::wstring& url);

} // namespace tlw
