#include "product/MsiProductInfo.h"

// Bound to msi.dll's export ordinal 70 by the import library that
// msi_ordinal.def describes; the name is ours, the import carries no name.
extern "C" __declspec(dllimport) UINT WINAPI
    TlwMsiProductInfoOrdinal70(LPCWSTR productCode, LPCWSTR attribute, LPWSTR buffer,
                               LPDWORD length);

namespace tlw {

UINT QueryProductInfo(const wchar_t* productCode, const wchar_t* attribute, wchar_t* buffer,
                      DWORD* length) {
    return TlwMsiProductInfoOrdinal70(productCode, attribute, buffer, length);
}

} // namespace tlw
