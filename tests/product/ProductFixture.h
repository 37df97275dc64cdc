#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The test products and packages that tests/product/fixture/make_fixtures.py
// builds, and the Windows Installer operations the tests use to set up and
// check a machine independently of the controller.
namespace producttest {

// The milestone product codes, in polling order; product 2 is the main one.
extern const wchar_t* const kProductCodes[7];
constexpr int kMainProduct = 2;
extern const wchar_t kMainVersion[];      // "18.3.1.204"
extern const wchar_t kMainFolderName[];   // the main product's folder under Program Files
extern const wchar_t kStartProgramName[]; // "brightcast.exe"

// Windows path of a file in the fixture folder ("tlwtest2.msi",
// "packages\\TLWSuite_full.zip").
std::wstring FixturePath(const std::wstring& name);

// Runs msiexec with the given arguments (after the program name) and returns
// its exit code; 1603 when it did not start or did not end within two minutes.
DWORD RunMsiexec(const std::wstring& arguments);
DWORD InstallProduct(const std::wstring& msiPath);
DWORD UninstallProduct(const wchar_t* productCode);

// The Windows Installer's own answer for a product's attribute, through the
// named export (the controller uses the ordinal): ERROR_SUCCESS with the
// value, or the error.
UINT QueryProduct(const wchar_t* productCode, const wchar_t* attribute, std::wstring* value);
bool IsInstalled(const wchar_t* productCode);

// Removes every milestone product that is installed; the codes that failed to go.
std::vector<std::wstring> UninstallAllTestProducts();

// ASCII text of a wide string, for messages and comparisons with the log.
inline std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

inline bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A log or other long text set apart in a failure message.
inline std::string Quoted(const std::string& text) {
    return "\n---\n" + text + "---";
}

// Milliseconds of a tick interval, for the timings the tests print.
inline DWORD ElapsedMs(DWORD since) {
    return GetTickCount() - since;
}

} // namespace producttest
