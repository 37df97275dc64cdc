#include "telemetry/SystemInfo.h"

#include <sstream>

std::wstring OsNameFromVersion(DWORD major, DWORD minor, BYTE productType, WORD architecture) {
    if (major == 5 && minor == 1) {
        return L"Windows XP";
    }
    if (major == 5 && minor == 2) {
        // The 64-bit XP edition shares its version with the servers of its time.
        return productType == VER_NT_WORKSTATION && architecture == PROCESSOR_ARCHITECTURE_AMD64
                   ? L"Windows XP"
                   : L"Other";
    }
    if (productType != VER_NT_WORKSTATION) {
        return L"Other";
    }
    if (major == 6) {
        switch (minor) {
        case 0:
            return L"Windows Vista";
        case 1:
            return L"Windows 7";
        case 2:
        case 3:
            return L"Windows 8";
        case 4:
            return L"Windows 10";
        default:
            return L"Other";
        }
    }
    if (major == 10) {
        return L"Windows 10";
    }
    return L"Other";
}

std::wstring GetOsName() {
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version))) {
        return L"Other";
    }
    SYSTEM_INFO system = {};
    GetNativeSystemInfo(&system);
    return OsNameFromVersion(version.dwMajorVersion, version.dwMinorVersion, version.wProductType,
                             system.wProcessorArchitecture);
}

std::wstring ArchitectureFromProcessor(WORD architecture) {
    return architecture == PROCESSOR_ARCHITECTURE_AMD64 ||
                   architecture == PROCESSOR_ARCHITECTURE_IA64
               ? L"x64"
               : L"x86";
}

std::wstring GetArchitecture() {
    SYSTEM_INFO system = {};
    GetNativeSystemInfo(&system);
    return ArchitectureFromProcessor(system.wProcessorArchitecture);
}

std::wstring ReadDefaultBrowser(HKEY userRoot, HKEY machineRoot) {
    HKEY key = nullptr;
    // The machine's entry counts only when the user has no key at all.
    if (RegOpenKeyExW(userRoot, L"Software\\Clients\\StartMenuInternet", 0, KEY_READ, &key) !=
            ERROR_SUCCESS &&
        RegOpenKeyExW(machineRoot, L"SOFTWARE\\Clients\\StartMenuInternet", 0, KEY_READ, &key) !=
            ERROR_SUCCESS) {
        return L"Other";
    }
    // 260 characters plus one unit the read never fills, so the text is
    // terminated even when the value has no terminator of its own.
    wchar_t name[MAX_PATH + 1] = {};
    DWORD size = MAX_PATH * sizeof(wchar_t);
    const LONG read =
        RegQueryValueExW(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(name), &size);
    const LONG closed = RegCloseKey(key);
    if (read != ERROR_SUCCESS || closed != ERROR_SUCCESS) {
        return L"Other";
    }
    return name;
}

std::wstring GetDefaultBrowser() {
    return ReadDefaultBrowser(HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE);
}

std::wstring GetCountryCode() {
    wchar_t text[16] = {};
    wsprintfW(text, L"%d", static_cast<int>(GetUserGeoID(GEOCLASS_NATION)));
    return text;
}

std::wstring GetOsVersionText() {
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version));
    std::wostringstream text;
    text << version.dwMajorVersion << L"." << version.dwMinorVersion;
    return text.str();
}
