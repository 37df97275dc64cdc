#include "product/ProductLogic.h"

#include "base/SafeNames.h"
#include "downloader/DownloadSimpleTask.h"

#include <wininet.h>

#include <cmath>

namespace tlw {

const wchar_t* const kMilestoneProducts[kMilestoneCount] = {
    L"{350C17C3-86D5-40E5-8B36-64854BD860C5}", L"{FD306375-9EEF-4F39-A5DC-6852298FFA45}",
    L"{4E44954D-40DC-49C6-9823-C7CD107407F9}", L"{C1F50735-8722-41CE-A3FE-EF0FF1F23CD1}",
    L"{46F11CC0-A900-4E27-8357-39A66C3BE84D}", L"{2E1EE3C5-CEDE-4DBE-AF99-41BE98771360}",
    L"{5F5697DF-7A1D-4637-964F-E97946FA96BD}"};

const int kMilestonePercents[kMilestoneCount + 1] = {14, 35, 37, 45, 63, 85, 95, 100};

namespace {

// URL-moniker results that a download may still carry.
const long kResourceNotFound = static_cast<long>(0x800C0005UL);  // INET_E_RESOURCE_NOT_FOUND
const long kObjectNotFound = static_cast<long>(0x800C0006UL);    // INET_E_OBJECT_NOT_FOUND
const long kDownloadFailure = static_cast<long>(0x800C0008UL);   // INET_E_DOWNLOAD_FAILURE
const long kConnectionTimeout = static_cast<long>(0x800C000BUL); // INET_E_CONNECTION_TIMEOUT
const long kDiskFull = static_cast<long>(0x80070070UL); // HRESULT_FROM_WIN32(ERROR_DISK_FULL)

// The WinINet errors of a refused server certificate.
const DWORD kCertificateErrors[] = {
    ERROR_INTERNET_SEC_CERT_DATE_INVALID,
    ERROR_INTERNET_SEC_CERT_CN_INVALID,
    ERROR_INTERNET_INVALID_CA,
    ERROR_INTERNET_SEC_CERT_ERRORS,
    ERROR_INTERNET_SEC_CERT_NO_REV,
    ERROR_INTERNET_SEC_CERT_REV_FAILED,
    ERROR_INTERNET_SEC_INVALID_CERT,
    ERROR_INTERNET_SEC_CERT_REVOKED,
};

bool DiskIsFull(const FreeSpace& disk) {
    return disk.known && disk.freeBytes == 0;
}

// Codes that do not depend on the network; -1 when the network decides.
int CodeWithoutNetwork(long hr, const FreeSpace& disk) {
    switch (hr) {
    case S_OK:
        return DownloadOk;
    case E_ABORT:
        return DownloadAborted;
    case kResourceNotFound:
    case kObjectNotFound:
        return DownloadNotFound;
    case kDiskFull:
        return DownloadDiskFull;
    case kConnectionTimeout:
        return DownloadTransferFailed;
    case kDownloadFailure:
        return DiskIsFull(disk) ? DownloadDiskFull : -1;
    case downloader::kErrorBadSignature:
        return DownloadFailed;
    default:
        // The server answered, with a certificate that was refused.
        return IsCertificateFault(hr) ? DownloadFailed : -1;
    }
}

} // namespace

bool DownloadResultNeedsFreeSpace(long hr) {
    return hr == kDownloadFailure;
}

bool DownloadResultNeedsReachability(long hr, const FreeSpace& disk) {
    return CodeWithoutNetwork(hr, disk) < 0;
}

int MapDownloadResultCode(long hr, const FreeSpace& disk, bool reachable) {
    const int code = CodeWithoutNetwork(hr, disk);
    if (code >= 0) {
        return code;
    }
    if (!reachable) {
        return DownloadNoNetwork;
    }
    return hr == kDownloadFailure ? DownloadTransferFailed : DownloadFailed;
}

bool DownloadDoesNotFitItsCompanion(long hr) {
    return hr == downloader::kErrorDataMismatch;
}

bool CompanionIsNotSigned(long hr) {
    return hr == downloader::kErrorBadSignature;
}

bool IsCertificateFault(long hr) {
    for (DWORD error : kCertificateErrors) {
        if (hr == static_cast<long>(HRESULT_FROM_WIN32(error))) {
            return true;
        }
    }
    return false;
}

bool IsRetriedDownload(long hr, int code) {
    // A link planted as the package stays there for the next attempt too.
    if (DownloadDoesNotFitItsCompanion(hr) || CompanionIsNotSigned(hr) || IsCertificateFault(hr) ||
        hr == downloader::kErrorNotPlainFile) {
        return false;
    }
    return code == DownloadFailed || code == DownloadTransferFailed || code == DownloadNoNetwork;
}

int ExtractCodeForError(unsigned long error) {
    return error == ERROR_DISK_FULL ? ExtractDiskFull : ExtractFailed;
}

int ExtractPercent(int current, int total) {
    return total != 0 ? MulDiv(current, 100, total) : 0;
}

int InstallCodeForExitCode(DWORD exitCode) {
    switch (exitCode) {
    case ERROR_SUCCESS:
    case ERROR_SUCCESS_REBOOT_REQUIRED:
        return InstallOk;
    case ERROR_INSTALL_ALREADY_RUNNING:
        return InstallAnotherRunning;
    case ERROR_INSTALL_FAILURE:
        return InstallSetupFailed;
    default:
        return InstallFailed;
    }
}

int HighestInstalledIndex(const bool installed[kMilestoneCount]) {
    int highest = -1;
    for (int i = 0; i < kMilestoneCount; ++i) {
        if (installed[i]) {
            highest = i;
        }
    }
    return highest;
}

EstimateStep NextInstallEstimate(const InstallEstimate& current, int highestInstalled) {
    EstimateStep step = {current, EstimateChange::Approached};
    if (highestInstalled < -1 || highestInstalled >= kMilestoneCount) {
        highestInstalled = -1;
    }
    if (highestInstalled == current.lastInstalledIndex) {
        const double target = kMilestonePercents[highestInstalled + 1];
        // Below the target everywhere but after a rollback, where the value
        // stays instead of sinking toward the first milestone.
        if (current.value < target) {
            step.next.value = current.value + (target - current.value) * 0.2;
        }
        return step;
    }
    step.next.lastInstalledIndex = highestInstalled;
    if (highestInstalled < 0) {
        // No level belongs to "none any more": keep what the page shows.
        step.change = EstimateChange::RolledBack;
    } else {
        step.next.value = kMilestonePercents[highestInstalled];
        step.change = EstimateChange::Jumped;
    }
    return step;
}

int EstimatePercent(const InstallEstimate& estimate) {
    return static_cast<int>(std::trunc(estimate.value));
}

std::wstring BuildSetupCommandLine(const std::wstring& setupPath, const std::wstring& parameters,
                                   const std::wstring& logPath) {
    return L"\"" + setupPath + L"\" " + parameters + L" /qn /l* \"" + logPath + L"\"";
}

bool WrittenDuringSetup(const FILETIME& written, const FILETIME& start, const FILETIME& end) {
    return CompareFileTime(&written, &start) > 0 && CompareFileTime(&written, &end) < 0;
}

std::wstring PackageFileName(const std::wstring& url) {
    const std::wstring path = url.substr(0, url.find_first_of(L"?#"));
    const size_t slash = path.find_last_of(L"/\\");
    const std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    // A device name (nul, com1, CON.zip) would open the device wherever the
    // file goes; "." and "..", a trailing dot or blank and the characters
    // Windows refuses cannot name the file either.
    return IsSafeRelativeName(name) ? name : std::wstring();
}

bool ExitCodeNeedsRestart(DWORD exitCode) {
    return exitCode == ERROR_SUCCESS_REBOOT_REQUIRED;
}

} // namespace tlw
