#pragma once

// WinINet and WinHTTP both name their handle HINTERNET and cannot be included
// in one file, so each has a header of its own.

#include "base/UniqueHandle.h"

#include <wininet.h>

struct WinInetHandleTraits {
    typedef HINTERNET Type;
    static HINTERNET Invalid() { return nullptr; }
    static void Close(HINTERNET handle) { InternetCloseHandle(handle); }
};
typedef UniqueHandle<WinInetHandleTraits> WinInetHandle;
