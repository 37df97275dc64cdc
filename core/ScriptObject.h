#pragma once

#include "core/ProductSteps.h"
#include "core/RunRecord.h"
#include "core/Workers.h"
#include "htmlui/MSHTMLExternal.h"
#include "htmlui/WindowCommands.h"

#include <windows.h>

#include <memory>
#include <string>

class InstallerContext;
class LogFile;
class ReportSender;

namespace downloadmanagercore {

// The object that pages call as window.external: the sixteen script methods
// over four parts it owns — the run's record (RunRecord), the workers that
// run long steps (WorkerPool), the window commands (htmlui::WindowCommands)
// and the product's steps (IProductSteps) — plus the download folder, made
// here and removed at the end of the run.
//
// Threads: constructed and called by script on the UI thread; the steps run
// on workers, which hold a reference on this object until they have called
// the page back, so it outlives every running worker whoever releases it
// meanwhile. The reference count is interlocked and the last release may
// come on a worker.
class ScriptObject : public htmlui::MSHTMLExternal {
public:
    // Takes ownership of `steps` (not NULL) and hands it the run's services.
    // The object starts with one reference. The download folder is made here;
    // it stays empty if it could not be made, and then nothing is ever deleted.
    ScriptObject(InstallerContext* context, ReportSender* reportSender, LogFile* log,
                 IProductSteps* steps);
    ~ScriptObject() override;

    // Stores the window and moves the close guard to it.
    void SetHostWindow(HWND window) override;
    // Gives a window that is still at its creation size the default 400 x 200.
    void OnDocumentComplete(htmlui::MSHTMLClient* site) override;
    // A web address the window was kept from showing goes to the user's
    // browser, as "openPage" would open it; anything else is dropped.
    void OpenOutside(const wchar_t* url) override;
    unsigned GetMethodTable(const htmlui::MethodEntry** rows) override;

    // The end of the run, on the UI thread once the window has closed: from
    // now on no worker starts and no running one calls the page back; the
    // steps are asked to end early; then this waits until no worker is left,
    // at most `timeoutMs`, delivering the calls workers make into this
    // thread's apartment meanwhile. Afterwards the run's record is closed, so
    // the run's reports read a record nobody changes. True when no worker was
    // left.
    bool StopWorkers(DWORD timeoutMs);
    // Removes the download folder (the unzipped package) once no worker runs,
    // so the end of a run leaves nothing behind however many references
    // others still hold; the destructor does the same for a run that never
    // called it. A folder that a process started from it still uses (setup
    // going on after the run stopped waiting) is left, with a log line: a
    // later start removes it once that process has ended. True when the
    // folder is gone (or there was none).
    bool RemoveDownloadFolder();

    // How startInstallProgram and openPage start a program or a web page:
    // ShellExecuteFromDesktop, or a test's recorder.
    typedef HRESULT (*Launcher)(const std::wstring& file, const std::wstring& parameters);
    void SetLauncher(Launcher launcher) { launch_ = launcher; }

    RunRecord& record() { return record_; }
    const WorkerPool& workers() const { return workers_; }
    htmlui::WindowCommands& window() { return window_; }
    IProductSteps& steps() { return *steps_; }
    const std::wstring& downloadFolder() const { return downloadFolder_; }

    // The script methods, in identifier order (identifier = row + 1).
    static const unsigned kScriptMethodCount = 16;
    static const htmlui::MethodEntry scriptMethods[kScriptMethodCount];

private:
    int RunDownload(const std::wstring& url);
    int RunExtract(const std::wstring& packagePath);
    int RunInstall(const std::wstring& packagePath, const std::wstring& parameters);

    HRESULT SetWindowSizeMethod(DISPPARAMS* params, VARIANT* result);
    HRESULT CloseWindowMethod(DISPPARAMS* params, VARIANT* result);
    HRESULT DownloadMethod(DISPPARAMS* params, VARIANT* result);
    HRESULT InstallMethod(DISPPARAMS* params, VARIANT* result);
    HRESULT GetPropertyMethod(DISPPARAMS* params, VARIANT* result);
    HRESULT SetChannelMethod(DISPPARAMS* params, VARIANT* result);
    HRESULT SetInstallStatusMethod(DISPPARAMS* params, VARIANT* result);
    HRESULT StartInstallProgramMethod(DISPPARAMS* params, VARIANT* result);
    HRESULT HideWindowMethod(DISPPARAMS* params, VARIANT* result);
    HRESULT DragWindowMethod(DISPPARAMS* params, VARIANT* result);
    HRESULT MessageBoxMethod(DISPPARAMS* params, VARIANT* result);
    HRESULT DisableCloseWindowMethod(DISPPARAMS* params, VARIANT* result);
    HRESULT RestoreWindowMethod(DISPPARAMS* params, VARIANT* result);
    HRESULT OpenPageMethod(DISPPARAMS* params, VARIANT* result);
    HRESULT RetryMessageBoxMethod(DISPPARAMS* params, VARIANT* result);
    HRESULT ExtractMethod(DISPPARAMS* params, VARIANT* result);

    LogFile* log_; // not owned; may be NULL
    Launcher launch_;

protected:
    // Tests play a run whose folder could not be made by clearing it.
    std::wstring downloadFolder_;

private:
    RunRecord record_;
    WorkerPool workers_;
    htmlui::WindowCommands window_;
    // Last member: destroyed first, while the parts it was handed still live.
    std::unique_ptr<IProductSteps> steps_;
};

} // namespace downloadmanagercore
