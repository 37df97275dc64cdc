#pragma once

// The product controller's decisions as functions of values: result codes,
// the install progress estimate, the setup command line and the time window
// of the run-time installer logs. The controller asks Windows for the inputs.

#include "base/PageCodes.h"

#include <windows.h>

#include <cstdint>
#include <string>

namespace tlw {

// The Windows Installer products polled during setup, in milestone order.
// Product 2 is the main one (install location, version); product 6 decides
// whether the suite counts as installed.
constexpr int kMilestoneCount = 7;
extern const wchar_t* const kMilestoneProducts[kMilestoneCount];
constexpr int kMainProductIndex = 2;
constexpr int kSuiteProductIndex = 6;
// Entry i + 1 is the level approached while product i is the highest one
// installed; entry 0 the level approached while none is.
extern const int kMilestonePercents[kMilestoneCount + 1];

// The free-space answer for the package's volume.
struct FreeSpace {
    bool known = false; // the query succeeded
    uint64_t freeBytes = 0;
};

// Whether the result depends on the free space of the package's volume.
bool DownloadResultNeedsFreeSpace(long hr);
// Whether the result depends on the reachability of the package's server,
// given the free-space answer (asked only where it matters).
bool DownloadResultNeedsReachability(long hr, const FreeSpace& disk);
// The page code of a verified download's HRESULT.
int MapDownloadResultCode(long hr, const FreeSpace& disk, bool reachable);

// Whether the package the server sends cannot become what its companion
// describes: every block still differed after the engine's own passes (a
// companion of another package of the same size). A refused status or a
// range the server cannot serve stays a failure that may pass.
bool DownloadDoesNotFitItsCompanion(long hr);
// Whether the companion was refused for its signature (missing, malformed or
// wrong with the built-in key): the server does not offer the vendor's
// package. Shown as DownloadFailed, whatever the network.
bool CompanionIsNotSigned(long hr);
// Whether WinINet refused the server's certificate (unknown CA, another host
// name, outside its dates, revoked or unreadable). The server stays who it
// is from one attempt to the next, so such a refusal is final; it is never
// waved through.
bool IsCertificateFault(long hr);
// Whether a download that ended with `hr` (page code `code`) is worth another
// attempt after a pause: failures that may pass, never a package that does
// not fit its companion (each attempt would bring the whole package again for
// the same answer), nor a companion refused for its signature, nor a refused
// certificate, nor a package file refused as a link.
bool IsRetriedDownload(long hr, int code);
constexpr int kDownloadAttempts = 10;
constexpr DWORD kDownloadRetryPauseMs = 1000;

// The code of a failed unzip from the Windows error the unzip reported.
int ExtractCodeForError(unsigned long error);
// "extractProgress" in percent: current * 100 / total rounded, 0 without entries.
int ExtractPercent(int current, int total);

// Setup's exit code as the install page code: 0 and 3010 ("installed, restart
// required") are success.
int InstallCodeForExitCode(DWORD exitCode);
// Whether setup installed but Windows must restart to finish (3010): the page
// property "restartRequired" tells the Complete page.
bool ExitCodeNeedsRestart(DWORD exitCode);

// The install progress estimate, carried from poll to poll (and from one
// install to the next, so a retry does not start again from zero).
struct InstallEstimate {
    int lastInstalledIndex = -1; // highest product found at the previous poll
    double value = 0.0;          // percent
};

// What one poll did to the estimate.
enum class EstimateChange {
    Approached, // same highest product: a fifth of the way to the next milestone
    Jumped,     // a different highest product: its milestone level
    RolledBack, // no product any more after one was: the value is kept
};

struct EstimateStep {
    InstallEstimate next;
    EstimateChange change;
};

// The highest index whose product is installed, or -1; lower ones do not matter.
int HighestInstalledIndex(const bool installed[kMilestoneCount]);

// One poll of the estimate, given the highest installed index (-1 for none).
// Approaching never lowers the value, so after a rollback the estimate stays
// where it was until a product appears again.
EstimateStep NextInstallEstimate(const InstallEstimate& current, int highestInstalled);

// The property text of an estimate: the value truncated toward zero.
int EstimatePercent(const InstallEstimate& estimate);

// The setup command line: the quoted setup path, one blank, the parameters as
// given, one blank, "/qn /l*", one blank and the quoted log path. Empty
// parameters leave two blanks after the setup path.
std::wstring BuildSetupCommandLine(const std::wstring& setupPath, const std::wstring& parameters,
                                   const std::wstring& logPath);

// Whether a file last written at `written` was written while setup ran:
// strictly after `start` and strictly before `end`.
bool WrittenDuringSetup(const FILETIME& written, const FILETIME& start, const FILETIME& end);

// The name of the file next to the program that a package URL is stored
// under: the last segment of the URL's path (the text after the last slash or
// backslash, a query or fragment left out). Empty when that segment cannot
// name a file: empty, "." or "..", starting or ending with a dot or blank,
// with a character that Windows refuses in file names, or a device name.
std::wstring PackageFileName(const std::wstring& url);

} // namespace tlw
