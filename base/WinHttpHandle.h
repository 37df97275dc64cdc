#pragma once

// Included only by sources that use WinHTTP: <winhttp.h> and <wininet.h>
// cannot share a file.

#include "base/UniqueHandle.h"

#include <winhttp.h>

struct WinHttpHandleTraits {
    typedef HINTERNET Type;
    static HINTERNET Invalid() { return nullptr; }
    static void Close(HINTERNET handle) { WinHttpCloseHandle(handle); }
};
typedef UniqueHandle<WinHttpHandleTraits> WinHttpHandle;
