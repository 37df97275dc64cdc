#pragma once

#include "downloader/CompanionSignature.h"

namespace tlw {

// The package key built into the program (build setting
// BC_PACKAGE_PUBLIC_KEY): every package's companion must carry its signature.
// Null when the build was given no key; companions are then taken unsigned.
const downloader::PackageKey* BuiltInPackageKey();

} // namespace tlw
