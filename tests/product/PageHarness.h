#pragma once

#include "base/InstallerContext.h"
#include "base/LogFile.h"
#include "htmlui/ScriptHost.h"
#include "core/ScriptObject.h"
#include "product/SuiteSteps.h"
#include "telemetry/ReportSender.h"
#include "tests/common/TestUtil.h"

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace producttest {

// The companion of the file at `path` as it is now: its size and the SHA-1
// of every 1 MiB block. False when the file cannot be read.
bool CompanionOfFile(const std::wstring& path, downloader::DownloadMeta& meta);

class TestController;

// The suite's steps with their protected state visible and their test seams,
// set through the controller that owns them.
class TestSteps : public tlw::SuiteSteps {
public:
    explicit TestSteps(TestController* controller) : controller_(controller) {}

    int LastInstalledIndex() const { return lastInstalledIndex; }
    double InstallProgressValue() const { return installProgressValue; }
    unsigned long ZipErrorCode() const { return zipErrorCode; }
    void SetEstimate(int index, double value) {
        lastInstalledIndex = index;
        installProgressValue = value;
    }
    // As a verified download of `path` leaves it: `meta` kept for extract.
    void KeepCompanion(const std::wstring& path, downloader::DownloadMeta meta) {
        verifiedPackage = path;
        verifiedCompanion = std::move(meta);
    }
    const std::wstring& VerifiedPackage() const { return verifiedPackage; }

    // The program whose signer setup must share; empty: this test program.
    std::wstring referenceProgram;

protected:
    downloader::ITask* CreateDownloadTask(const std::wstring& url, const std::wstring& path,
                                          downloader::IDownloadCallback* callback) override;
    DWORD SetupTimeLimitMs() const override;
    std::wstring PublisherReferenceProgram() const override;

private:
    TestController* controller_;
};

// The run's script object with the suite's steps, and what the tests read of
// both by the names they use.
class TestController : public downloadmanagercore::ScriptObject {
public:
    TestController(InstallerContext* context, ReportSender* reportSender, LogFile* log)
        : ScriptObject(context, reportSender, log, new TestSteps(this)) {}

    TestSteps& Steps() { return static_cast<TestSteps&>(steps()); }

    // What the steps were handed (without the log).
    downloadmanagercore::RunServices Services() {
        return downloadmanagercore::RunServices{&record(), &workers(), nullptr, downloadFolder(),
                                                this};
    }
    const std::wstring& DownloadFolder() const { return downloadFolder(); }
    std::wstring DownloadedFilePath() { return record().PackagePath(); }
    std::wstring StartProgramPath() { return record().StartProgramPath(); }
    void SetDownloadedFilePath(const std::wstring& path) { record().SetPackagePath(path); }
    std::wstring GetProperty(const std::wstring& name) { return record().GetProperty(name); }
    LONG RunningWorkers() const { return workers().Running(); }
    int LastInstalledIndex() { return Steps().LastInstalledIndex(); }
    double InstallProgressValue() { return Steps().InstallProgressValue(); }
    unsigned long ZipErrorCode() { return Steps().ZipErrorCode(); }
    void SetEstimate(int index, double value) { Steps().SetEstimate(index, value); }
    // The current reference count (interlocked in the script API).
    LONG References() {
        AddRef();
        return static_cast<LONG>(Release());
    }

    // The steps, called directly as their workers call them.
    int DownloadPackage(const std::wstring& url) {
        std::wstring path;
        const int result = Steps().DownloadPackage(url, path);
        record().SetPackagePath(path);
        return result;
    }
    // Extract as after a download that verified the file as it is now (its
    // companion made from its bytes; none when there is no file).
    int ExtractPackage(const std::wstring& packagePath);
    // Extract with only what the last DownloadPackage kept.
    int ExtractAfterDownload(const std::wstring& packagePath) {
        return Steps().ExtractPackage(packagePath);
    }
    int InstallPackage(const std::wstring& packagePath, const std::wstring& parameters) {
        return Steps().InstallPackage(packagePath, parameters);
    }
    bool GetInstalledStartProgram(std::wstring& path) {
        return Steps().GetInstalledStartProgram(path);
    }
    HRESULT DownloadWithTask(const std::wstring& url, const std::wstring& path) {
        return Steps().DownloadWithTask(url, path);
    }
    void UpdateInstallProgress() { Steps().UpdateInstallProgress(); }
    void CollectRedistributableLogs(const SYSTEMTIME& start, const SYSTEMTIME& end) {
        Steps().CollectRedistributableLogs(start, end);
    }
    void OnError(unsigned long error) { Steps().OnError(error); }

    // A file for the error report, as the install step adds one.
    void Attach(const std::wstring& path) { record().AddAttachment(path); }

    DWORD setupLimitMs = tlw::SuiteSteps::kSetupTimeLimitMs;
    bool failTaskCreation = false;
    // When not 0, every download task is cancelled this long after it was made.
    DWORD cancelAfterMs = 0;
    // When set, the run ends (StopWorkers) just before a download task starts:
    // after the attempt has registered its task, before the engine has begun.
    bool stopBeforeStart = false;
};

// What a run leaves for the reports: the context, the report sender and the
// log, which the controller uses but does not own.
struct RunRecords {
    RunRecords() : context(L"TLW", L"1.0.25.1"), reportSender(context) {}
    LogFile log;
    InstallerContext context;
    ReportSender reportSender;

    std::string LogText() const;
    int FailureStage() const { return context.failureStage; }
    int FailureCode() const { return context.failureCode; }
};

// The platform's JScript engine hosting a controller as the named item
// "external", the way the installing page reaches window.external, on this
// thread (a single-threaded apartment that pumps its messages while it waits).
class PageScript {
public:
    // Starts COM on this thread and the engine; ok() tells whether it worked.
    explicit PageScript(TestController* controller);
    ~PageScript();
    PageScript(const PageScript&) = delete;
    PageScript& operator=(const PageScript&) = delete;

    bool ok() const { return host_ && host_->Ready(); }
    // Runs script text; S_OK when it ran without an uncaught error.
    HRESULT Run(const std::wstring& code);
    // The value of an expression; VT_EMPTY on a script error.
    VARIANT Eval(const std::wstring& expression);
    std::wstring EvalText(const std::wstring& expression);
    long EvalNumber(const std::wstring& expression); // -9999 when not a number
    // Pumps this thread's messages until the expression is true, running
    // `pollCode` (if any) every `pollMs`; false after timeoutMs.
    bool WaitFor(const std::wstring& expression, DWORD timeoutMs,
                 const std::wstring& pollCode = L"", DWORD pollMs = 250);
    // Script errors the engine reported so far.
    std::string Errors() const;
    // Closes the engine, which lets go of every reference it took.
    void Close();

private:
    bool comReady_;
    htmlui::ScriptHost* host_;
};

using testutil::PumpUntil;

// The installing page's script: result codes per step in `result`, and the
// distinct successive values of the polled properties in `seen`.
extern const wchar_t kPageScript[];

} // namespace producttest
