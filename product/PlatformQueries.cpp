// Kept apart from the controller: WinINet's header and the WinHTTP header
// that the report sender brings in cannot share a translation unit.
#include "product/PlatformQueries.h"

#include <windows.h>
#include <wininet.h>

namespace tlw {

FreeSpace QueryFreeSpace(const std::wstring& path) {
    FreeSpace disk;
    ULARGE_INTEGER freeBytes = {};
    if (GetDiskFreeSpaceExW(path.c_str(), nullptr, nullptr, &freeBytes)) {
        disk.known = true;
        disk.freeBytes = freeBytes.QuadPart;
    }
    return disk;
}

bool CanReachServer(const std::wstring& url) {
    return InternetCheckConnectionW(url.c_str(), FLAG_ICC_FORCE_CONNECTION, 0) != FALSE;
}

} // namespace tlw
