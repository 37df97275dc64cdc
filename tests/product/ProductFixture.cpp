#include "tests/product/ProductFixture.h"

#include "tests/common/TestUtil.h"

namespace producttest {

const wchar_t* const kProductCodes[7] = {
    L"{350C17C3-86D5-40E5-8B36-64854BD860C5}", L"{FD306375-9EEF-4F39-A5DC-6852298FFA45}",
    L"{4E44954D-40DC-49C6-9823-C7CD107407F9}", L"{C1F50735-8722-41CE-A3FE-EF0FF1F23CD1}",
    L"{46F11CC0-A900-4E27-8357-39A66C3BE84D}", L"{2E1EE3C5-CEDE-4DBE-AF99-41BE98771360}",
    L"{5F5697DF-7A1D-4637-964F-E97946FA96BD}"};
const wchar_t kMainVersion[] = L"18.3.1.204";
const wchar_t kMainFolderName[] = L"Brightcast Suite Test";
const wchar_t kStartProgramName[] = L"brightcast.exe";

namespace {

const DWORD kMsiexecLimitMs = 120000;

typedef UINT(WINAPI* ProductInfoFunction)(LPCWSTR, LPCWSTR, LPWSTR, LPDWORD);

ProductInfoFunction NamedProductInfo() {
    static ProductInfoFunction function = reinterpret_cast<ProductInfoFunction>(
        reinterpret_cast<void*>(GetProcAddress(LoadLibraryW(L"msi.dll"), "MsiGetProductInfoW")));
    return function;
}

} // namespace

std::wstring FixturePath(const std::wstring& name) {
    std::wstring folder = testutil::UnixToWindowsPath(
        std::wstring(BC_PRODUCT_FIXTURES, BC_PRODUCT_FIXTURES + sizeof BC_PRODUCT_FIXTURES - 1));
    return folder + L"\\" + name;
}

DWORD RunMsiexec(const std::wstring& arguments) {
    wchar_t system[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return ERROR_INSTALL_FAILURE;
    }
    std::wstring command = L"\"" + std::wstring(system) + L"\\msiexec.exe\" " + arguments;
    std::vector<wchar_t> buffer(command.begin(), command.end());
    buffer.push_back(0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return ERROR_INSTALL_FAILURE;
    }
    DWORD code = ERROR_INSTALL_FAILURE;
    if (WaitForSingleObject(process.hProcess, kMsiexecLimitMs) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.hProcess, &code);
    } else {
        TerminateProcess(process.hProcess, ERROR_INSTALL_FAILURE);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

DWORD InstallProduct(const std::wstring& msiPath) {
    return RunMsiexec(L"/i \"" + msiPath + L"\" /qn");
}

DWORD UninstallProduct(const wchar_t* productCode) {
    return RunMsiexec(L"/x " + std::wstring(productCode) + L" /qn");
}

UINT QueryProduct(const wchar_t* productCode, const wchar_t* attribute, std::wstring* value) {
    ProductInfoFunction query = NamedProductInfo();
    if (!query) {
        return ERROR_PROC_NOT_FOUND;
    }
    wchar_t buffer[1024] = {};
    DWORD size = 1024;
    const UINT result = query(productCode, attribute, buffer, &size);
    if (result == ERROR_SUCCESS && value) {
        *value = buffer;
    }
    return result;
}

bool IsInstalled(const wchar_t* productCode) {
    return QueryProduct(productCode, L"VersionString", nullptr) == ERROR_SUCCESS;
}

std::vector<std::wstring> UninstallAllTestProducts() {
    std::vector<std::wstring> left;
    for (const wchar_t* code : kProductCodes) {
        if (IsInstalled(code) && (UninstallProduct(code) != ERROR_SUCCESS || IsInstalled(code))) {
            left.push_back(code);
        }
    }
    return left;
}

} // namespace producttest
