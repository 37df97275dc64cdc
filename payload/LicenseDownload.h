#pragma once

#include <windows.h>

#include <string>

// How long the licence download may take before it is abandoned. It runs on the
// start-up thread before the window is shown, so a silent server must not hold
// the program.
constexpr DWORD kLicenseDownloadTimeoutMs = 15000;

// Downloads `url` into the file `target` with the URL moniker, synchronously.
// S_OK only when the transfer completed and the server's answer was HTTP 200:
// an error page is not a licence, nor is a transfer that saw no HTTP status.
// Gives up after `timeoutMs` and returns HRESULT_FROM_WIN32(ERROR_TIMEOUT). A
// failed call may leave a partial `target`; the caller removes it.
HRESULT DownloadLicenseFile(const std::wstring& url, const std::wstring& target, DWORD timeoutMs);
