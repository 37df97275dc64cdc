#pragma once

#include <windows.h>

// HRESULT_FROM_WIN32 as a function: 0 stays S_OK, an HRESULT passes through.
inline HRESULT HResultFromWin32(DWORD error) {
    return HRESULT_FROM_WIN32(error);
}

// The HRESULT of the calling thread's last Windows error; E_FAIL when a
// failing call left no error code, so a failure is never read as success.
inline HRESULT HResultFromLastError() {
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_FAIL;
}
