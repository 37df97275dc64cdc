#pragma once

#include <windows.h>

#include <string>

// How long the licence download may take before it is abandoned. It runs on the
// start-up thread before the window is shown, so a silent server must not hold
// the program.
constexpr DWORD kLicenseDownloadTimeoutMs = 15000;

// The length of the body that raw response headers announce with
// "Content-Length", or -1 when they announce none that the file on disk must
// match: no such header, one that is not a plain decimal number, or a
// "Content-Encoding" or "Transfer-Encoding" other than "identity" (the file
// holds the decoded body).
long long AnnouncedBodyLength(const std::wstring& headers);

// Downloads `url` into the file `target` with the URL moniker, synchronously.
// S_OK only when the transfer completed and the server's answer was HTTP 200:
// an error page is not a licence, nor is a transfer that saw no HTTP status,
// nor an empty file or one shorter or longer than the length the answer
// announced.
// Gives up after `timeoutMs` and returns HRESULT_FROM_WIN32(ERROR_TIMEOUT). A
// failed call may leave a partial `target`; the caller removes it.
HRESULT DownloadLicenseFile(const std::wstring& url, const std::wstring& target, DWORD timeoutMs);
