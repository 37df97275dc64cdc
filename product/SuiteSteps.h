#pragma once

#include "base/UniqueHandle.h"
#include "core/ProductSteps.h"
#include "downloader/DownloadSimpleTask.h"
#include "downloader/Task.h"
#include "zip/ZipReporter.h"

#include <windows.h>

#include <cstdint>
#include <string>

class InstallerContext;
class LogFile;
class ReportSender;

namespace downloadmanagercore {
class ScriptObject;
}

namespace tlw {

// The verified download's callback for one attempt of DownloadWithTask: it
// forwards progress to the page properties and signals its event with the
// result. Always lives inside a downloader::details::Object (count starts at
// 1) and holds one reference on the script object for as long as it lives.
class DownloadCallback : public downloader::IDownloadCallback {
public:
    // Null when memory or the event cannot be had (nothing is held then).
    static DownloadCallback* Create(const downloadmanagercore::RunServices& run);

    DownloadCallback(const DownloadCallback&) = delete;
    DownloadCallback& operator=(const DownloadCallback&) = delete;

    // Stores the result, then signals the event.
    void OnComplete(long hr) override;
    // "downloadTotal" and "downloadCurrent" from the low 32 bits of each.
    void OnProgress(int64_t bytesDone, int64_t bytesTotal) override;
    // Keeps the companion the package was verified against (before OnComplete).
    void OnVerifiedCompanion(const downloader::DownloadMeta& meta) override;

    // Manual-reset, signalled once OnComplete has stored the result.
    HANDLE completed() const { return event_.Get(); }
    long result() const { return result_; }
    // Whether OnVerifiedCompanion came (and its copy could be held); then
    // the companion moves out to `meta`.
    bool TakeCompanion(downloader::DownloadMeta& meta);

protected:
    DownloadCallback(const downloadmanagercore::RunServices& run, KernelHandle event);
    ~DownloadCallback();

private:
    downloadmanagercore::RunRecord* record_;
    IUnknown* owner_;
    KernelHandle event_;
    long result_;
    bool hasCompanion_;
    downloader::DownloadMeta companion_;
};

// The steps of Brightcast Suite behind the script API: the package is
// downloaded with the verified download next to this program, unzipped
// ("extract") into the download folder, and its setup runs silently on a
// hidden desktop while progress is estimated from the Windows Installer
// products that appear; then the installed program is found.
class SuiteSteps : public downloadmanagercore::IProductSteps, public zip::ZipReporter {
public:
    SuiteSteps();
    ~SuiteSteps() override;

    // Sets "tlwInstalled", "osVersion" and "extractProgress" ("0").
    void Attach(const downloadmanagercore::RunServices& run) override;
    // Brings the package named by the URL's last path segment, next to this
    // program, to the content its companion describes. Up to
    // kDownloadAttempts attempts, pausing after each retried failure.
    int DownloadPackage(const std::wstring& url, std::wstring& packagePath) override;
    // Opens the package once (no writer admitted, a link or second name
    // refused), checks every block again against the companion the download
    // verified it with, and unzips from that same handle into the download
    // folder; then looks for setup.exe. Records failures (stage 4 or 5): a
    // package that changed since its download is ERROR_CRC, with nothing
    // unzipped.
    int ExtractPackage(const std::wstring& packagePath) override;
    // Runs the unzipped package's setup silently and waits for it, estimating
    // progress. The package path is not used: extract has unzipped it. A
    // setup whose signature does not verify or whose signer is not this
    // program's own is not started (CheckSetupPublisher).
    int InstallPackage(const std::wstring& packagePath, const std::wstring& parameters) override;
    // The main product's program: its install location joined with
    // "brightcast.exe". False when the product or its location is unknown.
    bool GetInstalledStartProgram(std::wstring& path) override;
    // Cancels the verified download that is running (its attempt ends with
    // E_ABORT, which is not retried).
    void CancelWork() override;

    // zip::ZipReporter, on the extract worker.
    void OnProgress(int current, int total) override;
    void OnError(unsigned long error) override;
    // An ERROR line of the run's log.
    void OnLog(const wchar_t* line) override;
    // The run is ending: the unzip stops.
    bool StopRequested() override { return IsStopping(); }

    // Depth first, the folder itself before its sub-folders, in the order the
    // file system lists them: the first folder that holds `name`. False (and
    // `found` unchanged) when there is none or `folder` is empty.
    static bool FindFolderContaining(const std::wstring& folder, const std::wstring& name,
                                     std::wstring& found);
    // One verified download of url into path; waits on the calling thread for
    // the engine's result and returns it. E_ABORT without starting once the
    // run is stopping; the running one is cancelled by CancelWork.
    HRESULT DownloadWithTask(const std::wstring& url, const std::wstring& path);
    // The download code of hr, asking the volume of path for its free space
    // and the network for the URL's server only where the answer depends on it.
    int MapDownloadResult(HRESULT hr, const std::wstring& url, const std::wstring& path);
    // One progress poll during setup: seven product queries, then the
    // estimate and "installProgress".
    void UpdateInstallProgress();
    // Attaches the run-time installer logs ("dd_vcredist*" in the temporary
    // folder) last written while setup ran.
    void CollectRedistributableLogs(const SYSTEMTIME& start, const SYSTEMTIME& end);
    // Sets "ShowEula" to 0 under the suite's key; failures are ignored.
    static void ClearShowEulaFlag();
    // The product's "VersionString", or "" when it cannot be had.
    static std::wstring GetProductVersionString(const wchar_t* productCode);

    // Whether a Windows Installer product is installed (it has a location).
    static bool IsProductInstalled(const wchar_t* productCode);
    // The setup program the package carries.
    static constexpr wchar_t kSetupName[] = L"setup.exe";

    // How long InstallPackage waits for setup before it stops waiting and
    // reports the setup as failed (setup itself is left to finish).
    static const DWORD kSetupTimeLimitMs = 2 * 60 * 60 * 1000;
    // Interval of the progress polls while setup runs.
    static const DWORD kInstallPollMs = 2000;

protected:
    // The engine's task for one attempt; null when memory is exhausted. A seam
    // for tests of DownloadWithTask's failure paths.
    virtual downloader::ITask* CreateDownloadTask(const std::wstring& url, const std::wstring& path,
                                                  downloader::IDownloadCallback* callback);
    // The bound of InstallPackage's wait; a seam for tests.
    virtual DWORD SetupTimeLimitMs() const { return kSetupTimeLimitMs; }
    // The program whose signer setup must share: this process's own file. A
    // seam for tests, which run unsigned test programs.
    virtual std::wstring PublisherReferenceProgram() const;

    bool IsStopping() const;
    void SetInstallProgress(int percent);
    // Whether setup (open on `setupFile`) may be started: its signature is
    // accepted and its signer is this program's (skipped, with a log line,
    // when this program is unsigned). A refusal is recorded as a setup that
    // could not start (stage 6) and logged.
    bool SetupPublisherAccepted(const wchar_t* setup, HANDLE setupFile);
    // Checks the package open on `file` against verifiedCompanion; false
    // (with zipErrorCode set and a log line) when it is not the package the
    // download verified, or cannot be read.
    bool CheckPackageAgain(HANDLE file, const std::wstring& packagePath);

    downloadmanagercore::RunServices run;
    int lastInstalledIndex;      // highest milestone product found at the last poll; -1 none
    double installProgressValue; // the install progress estimate, in percent
    unsigned long zipErrorCode;  // last Windows error the unzip reported
    // The companion the last successful download verified `verifiedPackage`
    // against; extract checks the package against it once more.
    std::wstring verifiedPackage;
    downloader::DownloadMeta verifiedCompanion;

private:
    // Guards runningTask; held only to set, clear or take a reference on it.
    CRITICAL_SECTION taskLock;
    downloader::ITask* runningTask; // the attempt under way; not owned
};

// The run's script object with the suite's steps; one reference owned by the
// caller; NULL when memory is exhausted.
downloadmanagercore::ScriptObject*
CreateSuiteScriptObject(InstallerContext* context, ReportSender* reportSender, LogFile* log);

} // namespace tlw
