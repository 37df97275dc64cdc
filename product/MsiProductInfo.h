#pragma once

#include <windows.h>

namespace tlw {

// The Windows Installer product-information query (msi.dll, imported by
// ordinal 70): the attribute of an installed product into `buffer`, whose size
// in characters `length` gives and receives. 0 on success; any other result
// (an unknown product, a missing attribute, a value longer than the buffer)
// means the product is not installed or has no such value.
UINT QueryProductInfo(const wchar_t* productCode, const wchar_t* attribute, wchar_t* buffer,
                      DWORD* length);

} // namespace tlw
