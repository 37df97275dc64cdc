#include "product/PackageKey.h"

// Made from the build setting's PEM file when the program is built.
#include "PackageKeyData.h"

namespace tlw {

const downloader::PackageKey* BuiltInPackageKey() {
#if BC_PACKAGE_KEY_PRESENT
    static const downloader::PackageKey key = {BC_PACKAGE_KEY_POINT};
    return &key;
#else
    return nullptr;
#endif
}

} // namespace tlw
