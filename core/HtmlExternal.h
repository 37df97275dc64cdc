#pragma once

#include "base/ComPtr.h"
#include "base/UniqueHandle.h"
#include "htmlui/MSHTMLExternal.h"

#include <windows.h>

#include <objidl.h>

#include <cstddef>
#include <initializer_list>
#include <string>

class InstallerContext;
class LogFile;
class ReportSender;

namespace downloadmanagercore {

class DownloadCallback;

// Page result codes of the default download; 0 is success.
enum DownloadResultCode {
    DownloadSucceeded = 0,
    DownloadOtherFailure = 1,
    DownloadResourceNotFound = 2,
    DownloadDiskFull = 3,
    DownloadTransferFailed = 4, // retried
};

// Result code of an install the product does not know how to do.
const int InstallNotSupported = 2;

// The page result code of one transfer's HRESULT. `noFreeBytes` is the disk's
// answer for the download folder: true only when the free-space query
// succeeded and reported exactly 0 free bytes. It decides between "disk full"
// (3) and "transfer failed" (4) for INET_E_DOWNLOAD_FAILURE and is ignored for
// every other HRESULT.
int MapTransferError(HRESULT hr, bool noFreeBytes);

// Attempts of the default download before it gives up with 4.
const int kDownloadAttempts = 10;
// How often an attempt that received data may give the default download a
// fresh budget of kDownloadAttempts. Every attempt starts from an empty file,
// so a server that keeps sending a little and then failing would otherwise be
// retried for ever; reaching the bound ends the download with 4.
const int kDownloadBudgetRenewals = 10;

// The retry rule of the default download as a pure state machine: feed it the
// page code of each attempt and whether that attempt received data.
class DownloadRetryBudget {
public:
    DownloadRetryBudget();

    // True to try again; false to stop with result().
    bool Next(int code, bool dataSeen);

    int result() const { return result_; }
    int attemptsLeft() const { return attemptsLeft_; }
    int renewals() const { return renewals_; }

private:
    int attemptsLeft_;
    int renewals_;
    int result_;
};

// A URL made safe for the shell's command interpreter: a caret before every
// ampersand ("x?a=1&b=2" -> "x?a=1^&b=2"; "&&" -> "^&^&").
std::wstring EscapeAmpersands(const std::wstring& url);

// Starts a file or URL with the shell's default verb as the interactive
// desktop user (this process runs elevated) through the shell's own desktop
// window objects. Needs COM on the calling thread. Returns the first failure
// or the result of the launch; every object it obtains is released.
HRESULT ShellExecuteFromDesktop(const std::wstring& file, const std::wstring& parameters);

// The product-independent script API that pages call as window.external.
//
// Contract for derived classes (the product controller):
// - Construct on the UI thread with the run's context, report sender and log;
//   the object starts with one reference. The download folder is created here
//   and removed (with its contents) on destruction; it stays empty if it could
//   not be made, and then nothing is ever deleted.
// - GetMethodTable: a derived table repeats scriptMethods (kScriptMethodCount
//   rows, same order, same handlers) and appends its own rows; use
//   ExtendMethodTable below. Handlers are member functions of the derived
//   object that follow CheckScriptCall's convention.
// - Long operations: a handler allocates a WorkItem subclass and calls
//   StartWorker with its thread function. The item then holds one reference on
//   this object until the worker has called the page back and finished, so the
//   object outlives every running worker, whoever releases it meanwhile. The
//   thread function opens a WorkerScope first thing and runs its step only
//   when the scope has a callback; see DownloadThreadFunc in the source.
// - Virtual steps run on worker threads (multithreaded apartment):
//   DownloadPackage, InstallPackage, GetInstalledStartProgram, DownloadAttempt.
//   They may call the progress setters, SetProperty, SetFailure,
//   SetProductVersion and WriteRecord (each takes propertyLock for one write)
//   and the log, which is safe from any thread. A step that waits or
//   retries ends early once IsStopping is true (StopRequested for waits).
// - The reference count is interlocked: work items release their references
//   on worker threads, and the last release may destroy the object there.
class HtmlExternal : public htmlui::MSHTMLExternal {
public:
    HtmlExternal(InstallerContext* context, ReportSender* reportSender, LogFile* log);
    ~HtmlExternal() override;

    // Stores the window and moves the close guard (CloseGuardProc) to it.
    void SetHostWindow(HWND window) override;
    // Gives a window that is still at its creation size the default 400 x 200.
    void OnDocumentComplete(htmlui::MSHTMLClient* site) override;
    // A web address the window was kept from showing goes to the user's
    // browser, as "openPage" would open it; anything else is dropped.
    void OpenOutside(const wchar_t* url) override;
    // The fifteen rows of scriptMethods.
    unsigned GetMethodTable(const htmlui::MethodEntry** rows) override;

    // Sizes (client size in 96-dpi units) and centres the window; a request
    // that gives the same outer size as the last one does nothing.
    virtual void ResizeWindow(int width, int height);
    // Downloads `url` into the download folder with the URL-moniker download,
    // sets downloadedFilePath, and returns a page result code
    // (DownloadResultCode); 1 without an attempt when the URL's last segment
    // cannot name a file there. Runs on the download worker.
    virtual int DownloadPackage(const std::wstring& url);
    // Installs the package; returns an install page code. Here: 2, nothing
    // done. Runs on the install worker.
    virtual int InstallPackage(const std::wstring& packagePath, const std::wstring& parameters);
    // After a successful install: the program that startInstallProgram
    // launches. Here: false, `path` unchanged. Runs on the install worker.
    virtual bool GetInstalledStartProgram(std::wstring& path);
    // One attempt of the default download: recreates `path` and fills it from
    // `url` (DownloadUrlToFile). A seam for tests of the retry rule.
    virtual HRESULT DownloadAttempt(const std::wstring& url, const std::wstring& path,
                                    DownloadCallback& progress);

    // The page properties "downloadTotal", "downloadCurrent" and
    // "installProgress" as decimal text, each written under propertyLock.
    void SetDownloadTotal(int value);
    void SetDownloadCurrent(int value);
    void SetInstallProgress(int value);
    // Any page property, written under propertyLock.
    void SetProperty(const std::wstring& name, const std::wstring& value);
    // Reads a page property under propertyLock; a missing name is added with
    // an empty value and reads as "" (as getProperty does).
    std::wstring GetProperty(const std::wstring& name);
    // The context's failureStage/failureCode pair, written under propertyLock.
    void SetFailure(int stage, int code);
    // The installed product's version, written under propertyLock.
    void SetProductVersion(const std::wstring& version);

    // The end of the run, on the UI thread once the window has closed: from
    // now on no worker starts and no running one calls the page back;
    // CancelWork asks the running steps to end early; then this waits until
    // no worker is left, at most `timeoutMs`, delivering the calls workers
    // make into this thread's apartment meanwhile. Afterwards the run's record
    // is closed to workers: the property, failure, version and attachment
    // writes of one still running are dropped, so the run's reports read a
    // record nobody changes. True when no worker was left.
    bool StopWorkers(DWORD timeoutMs);
    // Removes the download folder (the unzipped package) once no worker runs,
    // so the end of a run leaves nothing behind however many references
    // others still hold; the destructor does the same for a run that never
    // called it. A folder that a process started from it still uses (setup
    // going on after the run stopped waiting) is left, with a log line: a
    // later start removes it once that process has ended. True when the
    // folder is gone (or there was none).
    bool RemoveDownloadFolder();
    // True once StopWorkers has begun.
    bool IsStopping() const;
    // Set once StopWorkers has begun; workers wait on it instead of sleeping.
    HANDLE StopRequested() const { return stopRequested.Get(); }
    // Workers started and not yet finished.
    LONG RunningWorkers() const;

    // Logs "TransferDownloadError HRESULT: %x" and maps the HRESULT
    // (MapTransferError), asking the disk about the download folder only for
    // INET_E_DOWNLOAD_FAILURE.
    int TransferDownloadError(HRESULT hr);

    // Calls a page function (valid on the calling thread) with one integer,
    // logging the call to this object's log.
    using htmlui::MSHTMLExternal::callJscallback;
    HRESULT callJscallback(IDispatch* callback, int value);

    // The fifteen script methods, in identifier order (identifier = row + 1).
    static const unsigned kScriptMethodCount = 15;
    static const htmlui::MethodEntry scriptMethods[kScriptMethodCount];

protected:
    // Runs `write` (a change of the context or the report sender made on a
    // worker) under propertyLock, unless the run's record has been closed by
    // StopWorkers. For writes the setters above do not cover.
    template <class Write>
    void WriteRecord(Write write) {
        EnterCriticalSection(&propertyLock);
        if (!recordClosed) {
            write();
        }
        LeaveCriticalSection(&propertyLock);
    }

    // Asks the running steps to end soon; called once by StopWorkers on the
    // UI thread, after IsStopping has become true. Here: nothing (the default
    // download notices IsStopping itself).
    virtual void CancelWork();

    // The handler convention: `flags` must equal `expectedFlags`, the argument
    // count must equal types.size() with no named arguments, and each
    // argument's type must equal its expected type exactly (`types` in script
    // order; rgvarg holds them in reverse). Returns DISP_E_MEMBERNOTFOUND,
    // DISP_E_BADPARAMCOUNT or DISP_E_TYPEMISMATCH for the first failure.
    static HRESULT CheckScriptCall(WORD flags, const DISPPARAMS* params, WORD expectedFlags,
                                   std::initializer_list<VARTYPE> types);
    // Argument `index` in script order (0 = first) of a checked call.
    static VARIANT& ScriptArgument(DISPPARAMS* params, UINT index);
    // The text of a checked VT_BSTR argument; a NULL BSTR reads as "".
    static const wchar_t* ScriptText(DISPPARAMS* params, UINT index);

    // One request handed to a worker thread. Subclasses add their own fields.
    // Constructing an item takes a reference on `owner` and counts a running
    // worker; destroying it ends that count, then drops the reference (which
    // may destroy the owner) and frees a callback stream that was never taken.
    struct WorkItem {
        explicit WorkItem(HtmlExternal* owner);
        virtual ~WorkItem();
        WorkItem(const WorkItem&) = delete;
        WorkItem& operator=(const WorkItem&) = delete;

        HtmlExternal* owner;
        IStream* stream; // the page's callback, marshalled for the worker
    };
    struct DownloadWorkItem : WorkItem {
        DownloadWorkItem(HtmlExternal* owner, const std::wstring& url);
        std::wstring url;
    };
    struct InstallWorkItem : WorkItem {
        InstallWorkItem(HtmlExternal* owner, const std::wstring& packagePath,
                        const std::wstring& parameters);
        std::wstring packagePath;
        std::wstring parameters;
    };

    // UI thread. Marshals `callback` into item->stream and runs
    // threadFunc(item) on a detached thread whose handle is closed at once.
    // On success the worker owns the item (and its reference on this object).
    // On failure the item is deleted, a line `failureFormat` with the HRESULT
    // ("%x") is logged at `failureLevel`, and the HRESULT is returned for the
    // script engine; no callback follows. Once the run is stopping, nothing is
    // started (E_ABORT).
    HRESULT StartWorker(WorkItem* item, IDispatch* callback, LPTHREAD_START_ROUTINE threadFunc,
                        int failureLevel, const wchar_t* failureFormat);

    // The frame of a worker thread function. Construction enters the
    // multithreaded apartment, logs `threadName` (DEBUG) and takes the
    // callback out of the item's stream; if that fails it logs
    // "<threadName> CoGetInterfaceAndReleaseStream  failed with: %x" (ERROR)
    // and callback() is NULL: the worker must not run its step and the page is
    // never called back. CallBack(result) calls the page once, unless the run
    // is stopping (the window has closed): then it only logs. Destruction
    // releases the callback, deletes the item (dropping the reference on the
    // owner, which may destroy it) and leaves the apartment: touch nothing of
    // the owner after the scope has ended.
    class WorkerScope {
    public:
        WorkerScope(WorkItem* item, const wchar_t* threadName);
        ~WorkerScope();
        WorkerScope(const WorkerScope&) = delete;
        WorkerScope& operator=(const WorkerScope&) = delete;

        IDispatch* callback() const { return callback_.Get(); }
        void CallBack(int result);

    private:
        WorkItem* item_;
        ComPtr<IDispatch> callback_;
        bool comEntered_;
    };

    // Worker thread functions of "download" and "install".
    static DWORD WINAPI DownloadThreadFunc(void* item);
    static DWORD WINAPI InstallThreadFunc(void* item);

    // The handlers of the fifteen rows.
    HRESULT SetWindowSizeMethod(WORD flags, DISPPARAMS* params, VARIANT* result);
    HRESULT CloseWindowMethod(WORD flags, DISPPARAMS* params, VARIANT* result);
    HRESULT DownloadMethod(WORD flags, DISPPARAMS* params, VARIANT* result);
    HRESULT InstallMethod(WORD flags, DISPPARAMS* params, VARIANT* result);
    HRESULT GetPropertyMethod(WORD flags, DISPPARAMS* params, VARIANT* result);
    HRESULT SetChannelMethod(WORD flags, DISPPARAMS* params, VARIANT* result);
    HRESULT SetInstallStatusMethod(WORD flags, DISPPARAMS* params, VARIANT* result);
    HRESULT StartInstallProgramMethod(WORD flags, DISPPARAMS* params, VARIANT* result);
    HRESULT HideWindowMethod(WORD flags, DISPPARAMS* params, VARIANT* result);
    HRESULT DragWindowMethod(WORD flags, DISPPARAMS* params, VARIANT* result);
    HRESULT MessageBoxMethod(WORD flags, DISPPARAMS* params, VARIANT* result);
    HRESULT DisableCloseWindowMethod(WORD flags, DISPPARAMS* params, VARIANT* result);
    HRESULT RestoreWindowMethod(WORD flags, DISPPARAMS* params, VARIANT* result);
    HRESULT OpenPageMethod(WORD flags, DISPPARAMS* params, VARIANT* result);
    HRESULT RetryMessageBoxMethod(WORD flags, DISPPARAMS* params, VARIANT* result);

    // The close guard on the host window: WM_CLOSE minimises the window while
    // closeDisabled is set; everything else goes on to the window procedure.
    static LRESULT CALLBACK CloseGuardProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                           UINT_PTR id, DWORD_PTR self);

    // Log helpers that tolerate a missing log.
    void LogDebug(const wchar_t* format, ...);
    void LogError(const wchar_t* format, ...);

    ReportSender* reportSender; // not owned; the product adds report attachments
    InstallerContext* context;  // not owned
    LogFile* log;               // not owned; may be NULL
    std::wstring startProgramPath;
    std::wstring downloadedFilePath;
    std::wstring downloadFolder; // ends in a backslash; empty when it could not be made
    bool closeDisabled;
    int lastWidth;
    int lastHeight;
    // Guards the context's properties map and failureStage/failureCode; held
    // only for single reads or writes, never around another lock.
    CRITICAL_SECTION propertyLock;

    // Set at the end of StopWorkers, under propertyLock: writes are dropped.
    bool recordClosed;

private:
    // Work items alive (each one's worker has not finished); interlocked.
    volatile LONG runningWorkers;
    // Set once StopWorkers begins; read by workers without a lock.
    volatile LONG stopping;
    // Manual-reset: signalled when StopWorkers begins.
    KernelHandle stopRequested;
    // Auto-reset: signalled when the last running worker finishes.
    KernelHandle workersDone;
};

// A method table of kScriptMethodCount + N rows: HtmlExternal's rows followed
// by `extra`. Usage in a derived class:
//   static const htmlui::MethodEntry extraRows[] = {
//       {L"extract", static_cast<htmlui::MethodHandler>(&Derived::ExtractMethod)}};
//   static const auto table = downloadmanagercore::ExtendMethodTable(extraRows);
//   *rows = table.rows; return table.count;
template <std::size_t N>
struct ExtendedMethodTable {
    static const unsigned count = HtmlExternal::kScriptMethodCount + N;
    htmlui::MethodEntry rows[HtmlExternal::kScriptMethodCount + N];
};

template <std::size_t N>
ExtendedMethodTable<N> ExtendMethodTable(const htmlui::MethodEntry (&extra)[N]) {
    ExtendedMethodTable<N> table = {};
    for (unsigned row = 0; row < HtmlExternal::kScriptMethodCount; ++row) {
        table.rows[row] = HtmlExternal::scriptMethods[row];
    }
    for (std::size_t row = 0; row < N; ++row) {
        table.rows[HtmlExternal::kScriptMethodCount + row] = extra[row];
    }
    return table;
}

} // namespace downloadmanagercore
