#include "app/DllSearch.h"

#include <windows.h>

#include <cstring>

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

bool RestrictDllSearch() {
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    // kernel32 is always loaded; the function is looked up because the
    // program also runs on a Windows 7 without it.
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const FARPROC found = kernel ? GetProcAddress(kernel, "SetDefaultDllDirectories") : nullptr;
    if (found) {
        SetDefaultDllDirectoriesFunction setDefault;
        static_assert(sizeof setDefault == sizeof found, "function pointers of one size");
        memcpy(&setDefault, &found, sizeof setDefault);
        if (setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
            return true;
        }
    }
    return SetDllDirectoryW(L"") != FALSE;
}
