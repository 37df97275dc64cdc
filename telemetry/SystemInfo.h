#pragma once

#include <windows.h>

#include <string>

// Small facts about the machine for the analytics document and the pages.
// Each starts from a fixed fallback and never fails.

// "Windows XP", "Windows Vista", "Windows 7", "Windows 8", "Windows 10" or
// "Other", from the version this process is told.
std::wstring GetOsName();

// The name for a version, product type (VER_NT_*) and native processor
// architecture (PROCESSOR_ARCHITECTURE_*).
std::wstring OsNameFromVersion(DWORD major, DWORD minor, BYTE productType, WORD architecture);

// "x64" on 64-bit Windows (also for this 32-bit process), else "x86".
std::wstring GetArchitecture();
std::wstring ArchitectureFromProcessor(WORD architecture);

// The registry's default browser entry (the user's, else the machine's), or "Other".
std::wstring GetDefaultBrowser();

// As GetDefaultBrowser, with the keys looked up under other roots.
std::wstring ReadDefaultBrowser(HKEY userRoot, HKEY machineRoot);

// The user's nation id in decimal; "-1" when Windows has none.
std::wstring GetCountryCode();

// "major.minor" of the version this process is told; "0.0" when the query fails.
std::wstring GetOsVersionText();
