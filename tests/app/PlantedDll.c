// A DLL that an attacker would put beside the program under the name of a
// system DLL: when anything loads it, it leaves a file named after itself
// with ".loaded" appended, in its own folder.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        wchar_t marker[MAX_PATH + 8] = {0};
        const DWORD length = GetModuleFileNameW(self, marker, MAX_PATH);
        if (length > 0 && length < MAX_PATH) {
            lstrcatW(marker, L".loaded");
            HANDLE file = CreateFileW(marker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, NULL);
            if (file != INVALID_HANDLE_VALUE) {
                CloseHandle(file);
            }
        }
    }
    return TRUE;
}
