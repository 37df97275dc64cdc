#include "core/HtmlExternal.h"

#include "base/HResult.h"
#include "base/InstallerContext.h"
#include "base/LogFile.h"
#include "base/OleValues.h"
#include "base/SafeNames.h"
#include "base/TempFolders.h"
#include "base/UniqueHandle.h"
#include "core/UrlDownload.h"
#include "htmlui/HostWindow.h"
#include "htmlui/PageOrigin.h"

#include <commctrl.h>
#include <shlwapi.h>
#include <urlmon.h>

#include <cstdarg>
#include <cwchar>
#include <new>

namespace downloadmanagercore {

namespace {

// Script-visible names of the page properties that this object writes.
const wchar_t kDownloadTotal[] = L"downloadTotal";
const wchar_t kDownloadCurrent[] = L"downloadCurrent";
const wchar_t kInstallProgress[] = L"installProgress";

// Install page codes recorded as failures, and the failure stages written here.
const int kFailureStageDownload = 1;
const int kFailureStageInstall = 2;
const int kFailureStageProgramNotFound = 3;

// Size the window gets when a page finished loading without sizing it.
const int kDefaultWindowWidth = 400;
const int kDefaultWindowHeight = 200;

// The system's move command with the caption hit-test code: a drag of the
// borderless window.
const WPARAM kDragMoveCommand = SC_MOVE | HTCAPTION;

std::wstring DecimalText(int value) {
    wchar_t text[16];
    _snwprintf(text, 16, L"%d", value);
    text[15] = L'\0';
    return text;
}

} // namespace

int MapTransferError(HRESULT hr, bool noFreeBytes) {
    switch (hr) {
    case S_OK:
        return DownloadSucceeded;
    case INET_E_RESOURCE_NOT_FOUND:
    case INET_E_OBJECT_NOT_FOUND:
        return DownloadResourceNotFound;
    case INET_E_DOWNLOAD_FAILURE:
        return noFreeBytes ? DownloadDiskFull : DownloadTransferFailed;
    case INET_E_CONNECTION_TIMEOUT:
        return DownloadTransferFailed;
    case HRESULT_FROM_WIN32(ERROR_DISK_FULL):
        return DownloadDiskFull;
    default:
        return DownloadOtherFailure;
    }
}

DownloadRetryBudget::DownloadRetryBudget()
    : attemptsLeft_(kDownloadAttempts), renewals_(0), result_(DownloadTransferFailed) {}

bool DownloadRetryBudget::Next(int code, bool dataSeen) {
    result_ = code;
    if (code != DownloadTransferFailed) {
        return false;
    }
    if (dataSeen) {
        if (renewals_ >= kDownloadBudgetRenewals) {
            return false;
        }
        ++renewals_;
        attemptsLeft_ = kDownloadAttempts;
        return true;
    }
    --attemptsLeft_;
    return attemptsLeft_ > 0;
}

std::wstring EscapeAmpersands(const std::wstring& url) {
    std::wstring escaped;
    escaped.reserve(url.size() + 8);
    for (wchar_t c : url) {
        if (c == L'&') {
            escaped += L'^';
        }
        escaped += c;
    }
    return escaped;
}

const htmlui::MethodEntry HtmlExternal::scriptMethods[HtmlExternal::kScriptMethodCount] = {
    {L"setWindowSize", static_cast<htmlui::MethodHandler>(&HtmlExternal::SetWindowSizeMethod)},
    {L"closeWindow", static_cast<htmlui::MethodHandler>(&HtmlExternal::CloseWindowMethod)},
    {L"download", static_cast<htmlui::MethodHandler>(&HtmlExternal::DownloadMethod)},
    {L"install", static_cast<htmlui::MethodHandler>(&HtmlExternal::InstallMethod)},
    {L"getProperty", static_cast<htmlui::MethodHandler>(&HtmlExternal::GetPropertyMethod)},
    {L"setChannel", static_cast<htmlui::MethodHandler>(&HtmlExternal::SetChannelMethod)},
    {L"setInstallStatus",
     static_cast<htmlui::MethodHandler>(&HtmlExternal::SetInstallStatusMethod)},
    {L"startInstallProgram",
     static_cast<htmlui::MethodHandler>(&HtmlExternal::StartInstallProgramMethod)},
    {L"hideWindow", static_cast<htmlui::MethodHandler>(&HtmlExternal::HideWindowMethod)},
    {L"dragWindow", static_cast<htmlui::MethodHandler>(&HtmlExternal::DragWindowMethod)},
    {L"messageBox", static_cast<htmlui::MethodHandler>(&HtmlExternal::MessageBoxMethod)},
    {L"disableCloseWindow",
     static_cast<htmlui::MethodHandler>(&HtmlExternal::DisableCloseWindowMethod)},
    {L"restoreWindow", static_cast<htmlui::MethodHandler>(&HtmlExternal::RestoreWindowMethod)},
    {L"openPage", static_cast<htmlui::MethodHandler>(&HtmlExternal::OpenPageMethod)},
    {L"retryMessageBox", static_cast<htmlui::MethodHandler>(&HtmlExternal::RetryMessageBoxMethod)},
};

HtmlExternal::HtmlExternal(InstallerContext* context_, ReportSender* reportSender_, LogFile* log_)
    : reportSender(reportSender_), context(context_), log(log_), closeDisabled(false), lastWidth(0),
      lastHeight(0), recordClosed(false), runningWorkers(0), stopping(0),
      stopRequested(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      workersDone(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
    InitializeCriticalSection(&propertyLock);
    // A total of 1, so a page computing current * 100 / total before any
    // download gets 0.
    SetDownloadTotal(1);
    SetDownloadCurrent(0);
    SetInstallProgress(0);
    std::wstring folder;
    if (GetTempFolderPath(folder) && CreateUniqueSubfolder(folder)) {
        downloadFolder = folder;
    }
}

HtmlExternal::~HtmlExternal() {
    // A window still attached must not call a guard into a freed object.
    if (hostWindow) {
        RemoveWindowSubclass(hostWindow, CloseGuardProc, 0);
    }
    RemoveDownloadFolder();
    DeleteCriticalSection(&propertyLock);
}

bool HtmlExternal::RemoveDownloadFolder() {
    if (downloadFolder.empty() || RunningWorkers() != 0) {
        return downloadFolder.empty();
    }
    if (IsFolderUsedByOthers(downloadFolder)) {
        LogDebug(L"The download folder %s stays: a program started from it still runs",
                 downloadFolder.c_str());
        return false;
    }
    if (!DeleteFolderTree(downloadFolder)) {
        LogError(L"The download folder %s could not be removed: %u", downloadFolder.c_str(),
                 static_cast<unsigned>(GetLastError()));
        return false;
    }
    downloadFolder.clear();
    return true;
}

unsigned HtmlExternal::GetMethodTable(const htmlui::MethodEntry** rows) {
    *rows = scriptMethods;
    return kScriptMethodCount;
}

void HtmlExternal::SetHostWindow(HWND window) {
    if (window == hostWindow) {
        return;
    }
    if (hostWindow) {
        RemoveWindowSubclass(hostWindow, CloseGuardProc, 0);
    }
    MSHTMLExternal::SetHostWindow(window);
    // The last size belongs to the old window.
    lastWidth = 0;
    lastHeight = 0;
    if (window) {
        SetWindowSubclass(window, CloseGuardProc, 0, reinterpret_cast<DWORD_PTR>(this));
    }
}

LRESULT CALLBACK HtmlExternal::CloseGuardProc(HWND window, UINT message, WPARAM wParam,
                                              LPARAM lParam, UINT_PTR id, DWORD_PTR self) {
    HtmlExternal* owner = reinterpret_cast<HtmlExternal*>(self);
    if (message == WM_CLOSE && owner->closeDisabled) {
        // Closing is refused during installation: the window steps aside.
        ShowWindow(window, SW_MINIMIZE);
        return 0;
    }
    if (message == WM_NCDESTROY) {
        RemoveWindowSubclass(window, CloseGuardProc, id);
    }
    return DefSubclassProc(window, message, wParam, lParam);
}

void HtmlExternal::OnDocumentComplete(htmlui::MSHTMLClient*) {
    RECT client;
    if (hostWindow && GetClientRect(hostWindow, &client) &&
        (client.right - client.left == 0 || client.bottom - client.top == 0)) {
        SetFailure(0, 0);
        ResizeWindow(kDefaultWindowWidth, kDefaultWindowHeight);
    }
}

void HtmlExternal::ResizeWindow(int width, int height) {
    // Without a window there is nothing to size, and no size to remember.
    if (!hostWindow) {
        return;
    }
    const RECT placement = htmlui::ComputeWindowPlacement(hostWindow, width, height);
    const int outerWidth = placement.right - placement.left;
    const int outerHeight = placement.bottom - placement.top;
    if (outerWidth == lastWidth && outerHeight == lastHeight) {
        return;
    }
    lastWidth = outerWidth;
    lastHeight = outerHeight;
    SetWindowPos(hostWindow, nullptr, placement.left, placement.top, outerWidth, outerHeight,
                 SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOOWNERZORDER);
}

int HtmlExternal::DownloadPackage(const std::wstring& url) {
    if (downloadFolder.empty()) {
        // Never write into the current folder instead of our own.
        LogError(L"Download: no download folder for %s", url.c_str());
        return DownloadOtherFailure;
    }
    const std::wstring name = PathFindFileNameW(url.c_str());
    if (!IsSafeRelativeName(name)) {
        // A device name (nul, com1) would take the data and report success;
        // other names would land outside the folder or nowhere.
        LogError(L"Download: no file name in the URL %s", url.c_str());
        return DownloadOtherFailure;
    }
    downloadedFilePath = downloadFolder + name;
    DownloadRetryBudget budget;
    for (;;) {
        if (IsStopping()) {
            LogError(L"Download: the run is ending, %s not fetched", url.c_str());
            return DownloadOtherFailure;
        }
        DownloadCallback progress(this);
        const HRESULT hr = DownloadAttempt(url, downloadedFilePath, progress);
        const int code = TransferDownloadError(hr);
        if (!budget.Next(code, progress.dataSeen)) {
            if (code == DownloadTransferFailed && progress.dataSeen) {
                LogError(L"Download gave up after %d renewed attempts", budget.renewals());
            }
            return budget.result();
        }
    }
}

HRESULT HtmlExternal::DownloadAttempt(const std::wstring& url, const std::wstring& path,
                                      DownloadCallback& progress) {
    return DownloadUrlToFile(url, path, progress);
}

int HtmlExternal::InstallPackage(const std::wstring&, const std::wstring&) {
    return InstallNotSupported;
}

bool HtmlExternal::GetInstalledStartProgram(std::wstring&) {
    return false;
}

void HtmlExternal::SetProperty(const std::wstring& name, const std::wstring& value) {
    if (!context) {
        return;
    }
    EnterCriticalSection(&propertyLock);
    if (!recordClosed) {
        context->properties[name] = value;
    }
    LeaveCriticalSection(&propertyLock);
}

std::wstring HtmlExternal::GetProperty(const std::wstring& name) {
    if (!context) {
        return std::wstring();
    }
    std::wstring value;
    EnterCriticalSection(&propertyLock);
    if (!recordClosed) {
        value = context->properties[name];
    } else {
        // The closed record is being read by the run's end: no new names.
        const auto found = context->properties.find(name);
        if (found != context->properties.end()) {
            value = found->second;
        }
    }
    LeaveCriticalSection(&propertyLock);
    return value;
}

void HtmlExternal::SetFailure(int stage, int code) {
    if (!context) {
        return;
    }
    EnterCriticalSection(&propertyLock);
    if (!recordClosed) {
        context->failureStage = stage;
        context->failureCode = code;
    }
    LeaveCriticalSection(&propertyLock);
}

void HtmlExternal::SetProductVersion(const std::wstring& version) {
    if (!context) {
        return;
    }
    EnterCriticalSection(&propertyLock);
    if (!recordClosed) {
        context->productVersion = version;
    }
    LeaveCriticalSection(&propertyLock);
}

bool HtmlExternal::IsStopping() const {
    return InterlockedCompareExchange(const_cast<volatile LONG*>(&stopping), 0, 0) != 0;
}

LONG HtmlExternal::RunningWorkers() const {
    return InterlockedCompareExchange(const_cast<volatile LONG*>(&runningWorkers), 0, 0);
}

void HtmlExternal::CancelWork() {}

bool HtmlExternal::StopWorkers(DWORD timeoutMs) {
    InterlockedExchange(&stopping, 1);
    if (stopRequested) {
        SetEvent(stopRequested.Get());
    }
    CancelWork();
    const DWORD start = GetTickCount();
    for (;;) {
        if (RunningWorkers() == 0) {
            break;
        }
        const DWORD waited = GetTickCount() - start;
        if (waited >= timeoutMs) {
            break;
        }
        // Short slices: the count decides, the event only wakes early. A
        // worker may be calling into this apartment, so its calls are let in.
        const DWORD slice = timeoutMs - waited < 50 ? timeoutMs - waited : 50;
        HANDLE done = workersDone.Get();
        DWORD index = 0;
        if (!done || FAILED(CoWaitForMultipleHandles(0, slice, 1, &done, &index))) {
            // No apartment on this thread (or no event): nobody can call in.
            Sleep(slice);
        }
    }
    const LONG left = RunningWorkers();
    EnterCriticalSection(&propertyLock);
    recordClosed = true;
    LeaveCriticalSection(&propertyLock);
    if (left != 0) {
        LogError(L"StopWorkers: %d workers still running after %u ms", static_cast<int>(left),
                 static_cast<unsigned>(timeoutMs));
    }
    return left == 0;
}

void HtmlExternal::SetDownloadTotal(int value) {
    SetProperty(kDownloadTotal, DecimalText(value));
}

void HtmlExternal::SetDownloadCurrent(int value) {
    SetProperty(kDownloadCurrent, DecimalText(value));
}

void HtmlExternal::SetInstallProgress(int value) {
    SetProperty(kInstallProgress, DecimalText(value));
}

int HtmlExternal::TransferDownloadError(HRESULT hr) {
    LogDebug(L"TransferDownloadError HRESULT: %x", static_cast<unsigned>(hr));
    bool noFreeBytes = false;
    if (hr == INET_E_DOWNLOAD_FAILURE && !downloadFolder.empty()) {
        ULARGE_INTEGER totalFree;
        noFreeBytes = GetDiskFreeSpaceExW(downloadFolder.c_str(), nullptr, nullptr, &totalFree) &&
                      totalFree.QuadPart == 0;
    }
    return MapTransferError(hr, noFreeBytes);
}

HRESULT HtmlExternal::callJscallback(IDispatch* callback, int value) {
    return MSHTMLExternal::callJscallback(log, callback, value);
}

void HtmlExternal::LogDebug(const wchar_t* format, ...) {
    if (!log) {
        return;
    }
    va_list args;
    va_start(args, format);
    log->LogWriteV(LogLevelDebug, format, args);
    va_end(args);
}

void HtmlExternal::LogError(const wchar_t* format, ...) {
    if (!log) {
        return;
    }
    va_list args;
    va_start(args, format);
    log->LogWriteV(LogLevelError, format, args);
    va_end(args);
}

// Handler convention and arguments.

HRESULT HtmlExternal::CheckScriptCall(WORD flags, const DISPPARAMS* params, WORD expectedFlags,
                                      std::initializer_list<VARTYPE> types) {
    if (flags != expectedFlags) {
        return DISP_E_MEMBERNOTFOUND;
    }
    if (!params || params->cArgs != types.size() || params->cNamedArgs != 0) {
        return DISP_E_BADPARAMCOUNT;
    }
    if (params->cArgs > 0 && !params->rgvarg) {
        return E_POINTER;
    }
    UINT index = params->cArgs;
    for (VARTYPE type : types) {
        --index; // rgvarg holds the arguments in reverse order
        if (params->rgvarg[index].vt != type) {
            return DISP_E_TYPEMISMATCH;
        }
    }
    return S_OK;
}

VARIANT& HtmlExternal::ScriptArgument(DISPPARAMS* params, UINT index) {
    return params->rgvarg[params->cArgs - 1 - index];
}

const wchar_t* HtmlExternal::ScriptText(DISPPARAMS* params, UINT index) {
    const BSTR text = ScriptArgument(params, index).bstrVal;
    return text ? text : L"";
}

// Work items and worker threads.

HtmlExternal::WorkItem::WorkItem(HtmlExternal* owner_) : owner(owner_), stream(nullptr) {
    owner->AddRef();
    InterlockedIncrement(&owner->runningWorkers);
}

HtmlExternal::WorkItem::~WorkItem() {
    if (stream) {
        // Marshalled but never taken: free the marshalled reference too.
        CoReleaseMarshalData(stream);
        stream->Release();
    }
    // The count ends before the reference goes: whoever waits for it still
    // holds a reference of its own.
    if (InterlockedDecrement(&owner->runningWorkers) == 0 && owner->workersDone) {
        SetEvent(owner->workersDone.Get());
    }
    owner->Release();
}

HtmlExternal::DownloadWorkItem::DownloadWorkItem(HtmlExternal* owner_, const std::wstring& url_)
    : WorkItem(owner_), url(url_) {}

HtmlExternal::InstallWorkItem::InstallWorkItem(HtmlExternal* owner_,
                                               const std::wstring& packagePath_,
                                               const std::wstring& parameters_)
    : WorkItem(owner_), packagePath(packagePath_), parameters(parameters_) {}

HRESULT HtmlExternal::StartWorker(WorkItem* item, IDispatch* callback,
                                  LPTHREAD_START_ROUTINE threadFunc, int failureLevel,
                                  const wchar_t* failureFormat) {
    if (IsStopping()) {
        // The window has closed: nobody would be called back.
        LogError(L"StartWorker: the run is ending, nothing started");
        delete item;
        return E_ABORT;
    }
    HRESULT hr = callback
                     ? CoMarshalInterThreadInterfaceInStream(IID_IDispatch, callback, &item->stream)
                     : E_POINTER;
    if (SUCCEEDED(hr)) {
        // Workers are never joined: the handle goes at once, and the item
        // keeps this object alive.
        const KernelHandle thread(CreateThread(nullptr, 0, threadFunc, item, 0, nullptr));
        if (thread) {
            return S_OK;
        }
        hr = HResultFromLastError();
    } else {
        item->stream = nullptr;
    }
    if (log) {
        log->LogWrite(failureLevel, failureFormat, static_cast<unsigned>(hr));
    }
    delete item;
    return hr;
}

HtmlExternal::WorkerScope::WorkerScope(WorkItem* item, const wchar_t* threadName)
    : item_(item), callback_(), comEntered_(false) {
    comEntered_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    HtmlExternal* owner = item_->owner;
    owner->LogDebug(L"%s", threadName);
    IStream* stream = item_->stream;
    item_->stream = nullptr; // released by the call below, whatever its result
    const HRESULT hr = CoGetInterfaceAndReleaseStream(stream, IID_PPV_ARGS(&callback_));
    if (FAILED(hr)) {
        callback_.Reset();
        owner->LogError(L"%s CoGetInterfaceAndReleaseStream  failed with: %x", threadName,
                        static_cast<unsigned>(hr));
    }
}

HtmlExternal::WorkerScope::~WorkerScope() {
    callback_.Reset();
    // Drops the item's reference: the owner may be destroyed here.
    delete item_;
    if (comEntered_) {
        CoUninitialize();
    }
}

void HtmlExternal::WorkerScope::CallBack(int result) {
    if (!callback_) {
        return;
    }
    if (item_->owner->IsStopping()) {
        // The page has gone with its window.
        item_->owner->LogDebug(L"callJscallback skipped, the window has closed: %d", result);
        return;
    }
    item_->owner->callJscallback(callback_.Get(), result);
}

DWORD WINAPI HtmlExternal::DownloadThreadFunc(void* parameter) {
    DownloadWorkItem* item = static_cast<DownloadWorkItem*>(parameter);
    WorkerScope worker(item, L"DownloadThreadFunc");
    if (!worker.callback()) {
        return 0;
    }
    HtmlExternal* owner = item->owner;
    const int result = owner->DownloadPackage(item->url);
    if (result != DownloadSucceeded) {
        owner->SetFailure(kFailureStageDownload, result);
        owner->LogError(L"Download fail, download path : %s, download result : %d",
                        owner->downloadedFilePath.c_str(), result);
    }
    worker.CallBack(result);
    return 0;
}

DWORD WINAPI HtmlExternal::InstallThreadFunc(void* parameter) {
    InstallWorkItem* item = static_cast<InstallWorkItem*>(parameter);
    WorkerScope worker(item, L"InstallThreadFunc");
    if (!worker.callback()) {
        return 0;
    }
    HtmlExternal* owner = item->owner;
    const int result = owner->InstallPackage(item->packagePath, item->parameters);
    if (result == 0) {
        if (!owner->GetInstalledStartProgram(owner->startProgramPath)) {
            owner->LogError(L"GetInstalledStartProgram failed");
            owner->SetFailure(kFailureStageProgramNotFound, 0);
        }
    } else if (result != InstallNotSupported) {
        owner->SetFailure(kFailureStageInstall, result);
    }
    worker.CallBack(result);
    return 0;
}

// The fifteen handlers.

HRESULT HtmlExternal::SetWindowSizeMethod(WORD flags, DISPPARAMS* params, VARIANT*) {
    const HRESULT hr = CheckScriptCall(flags, params, DISPATCH_METHOD, {VT_I4, VT_I4});
    if (FAILED(hr)) {
        return hr;
    }
    const int width = ScriptArgument(params, 0).lVal;
    const int height = ScriptArgument(params, 1).lVal;
    LogDebug(L"QXWindowSize: %d", width);
    ResizeWindow(width, height);
    return S_OK;
}

HRESULT HtmlExternal::CloseWindowMethod(WORD flags, DISPPARAMS* params, VARIANT*) {
    const HRESULT hr = CheckScriptCall(flags, params, DISPATCH_METHOD, {});
    if (FAILED(hr)) {
        return hr;
    }
    LogDebug(L"QXClose");
    const ATOM hostClass = htmlui::HostWindowClassAtom();
    if (hostWindow && hostClass != 0 &&
        static_cast<ATOM>(GetClassLongW(hostWindow, GCW_ATOM)) == hostClass) {
        htmlui::HostWindowData* data = htmlui::GetHostWindowData(hostWindow);
        // The host window's loop ends and destroys the window.
        if (data && data->quitFlag && !*data->quitFlag) {
            *data->quitFlag = true;
        }
    }
    return S_OK;
}

HRESULT HtmlExternal::DownloadMethod(WORD flags, DISPPARAMS* params, VARIANT*) {
    const HRESULT hr = CheckScriptCall(flags, params, DISPATCH_METHOD, {VT_BSTR, VT_DISPATCH});
    if (FAILED(hr)) {
        return hr;
    }
    const wchar_t* url = ScriptText(params, 0);
    LogDebug(L"QXDownload: %s", url);
    DownloadWorkItem* item = new (std::nothrow) DownloadWorkItem(this, url);
    if (!item) {
        return E_OUTOFMEMORY;
    }
    return StartWorker(item, ScriptArgument(params, 1).pdispVal, DownloadThreadFunc, LogLevelError,
                       L"QXDownload: CoMarshalInterThreadInterfaceInStream failed with %x");
}

HRESULT HtmlExternal::InstallMethod(WORD flags, DISPPARAMS* params, VARIANT*) {
    const HRESULT hr = CheckScriptCall(flags, params, DISPATCH_METHOD, {VT_BSTR, VT_DISPATCH});
    if (FAILED(hr)) {
        return hr;
    }
    const wchar_t* parameters = ScriptText(params, 0);
    LogDebug(L"QXInstall: %s", parameters);
    InstallWorkItem* item =
        new (std::nothrow) InstallWorkItem(this, downloadedFilePath, parameters);
    if (!item) {
        return E_OUTOFMEMORY;
    }
    return StartWorker(item, ScriptArgument(params, 1).pdispVal, InstallThreadFunc, LogLevelDebug,
                       L"QXInstall: CoMarshalInterThreadInterfaceInStream failed with %x");
}

HRESULT HtmlExternal::GetPropertyMethod(WORD flags, DISPPARAMS* params, VARIANT* result) {
    const HRESULT hr =
        CheckScriptCall(flags, params, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {VT_BSTR});
    if (FAILED(hr)) {
        return hr;
    }
    if (!result) {
        return S_OK;
    }
    const std::wstring value = GetProperty(ScriptText(params, 0));
    Bstr copy;
    copy.Reset(SysAllocStringLen(value.data(), static_cast<UINT>(value.size())));
    if (!copy.Get()) {
        return E_OUTOFMEMORY;
    }
    VariantInit(result);
    result->vt = VT_BSTR;
    result->bstrVal = copy.Release();
    return S_OK;
}

HRESULT HtmlExternal::SetChannelMethod(WORD flags, DISPPARAMS* params, VARIANT*) {
    const HRESULT hr = CheckScriptCall(flags, params, DISPATCH_METHOD, {VT_BSTR});
    if (FAILED(hr)) {
        return hr;
    }
    const wchar_t* channel = ScriptText(params, 0);
    LogDebug(L"QXSetChannel: %s", channel);
    if (context) {
        context->channel = channel;
    }
    return S_OK;
}

HRESULT HtmlExternal::SetInstallStatusMethod(WORD flags, DISPPARAMS* params, VARIANT*) {
    const HRESULT hr = CheckScriptCall(flags, params, DISPATCH_METHOD, {VT_I4});
    if (FAILED(hr)) {
        return hr;
    }
    const LONG status = ScriptArgument(params, 0).lVal;
    if (status < InstallStatusNotStarted || status > InstallStatusEnvironmentNotSupported) {
        return STG_E_INVALIDPARAMETER;
    }
    LogDebug(L"QXSetInstallStatus: %d", static_cast<int>(status));
    if (context) {
        context->installStatus = static_cast<int>(status);
    }
    return S_OK;
}

HRESULT HtmlExternal::StartInstallProgramMethod(WORD flags, DISPPARAMS* params, VARIANT*) {
    const HRESULT hr = CheckScriptCall(flags, params, DISPATCH_METHOD, {VT_BSTR});
    if (FAILED(hr)) {
        return hr;
    }
    if (startProgramPath.empty()) {
        // Nothing was installed: an empty file would make the shell open
        // something of its own choosing.
        LogDebug(L"startInstallProgram: no installed program to start");
        return S_OK;
    }
    ShellExecuteFromDesktop(startProgramPath, ScriptText(params, 0));
    return S_OK;
}

HRESULT HtmlExternal::HideWindowMethod(WORD flags, DISPPARAMS* params, VARIANT*) {
    const HRESULT hr = CheckScriptCall(flags, params, DISPATCH_METHOD, {});
    if (FAILED(hr)) {
        return hr;
    }
    LogDebug(L"QXHideWindow");
    ShowWindow(hostWindow, SW_SHOWMINIMIZED);
    return S_OK;
}

HRESULT HtmlExternal::DragWindowMethod(WORD flags, DISPPARAMS* params, VARIANT*) {
    const HRESULT hr = CheckScriptCall(flags, params, DISPATCH_METHOD, {});
    if (FAILED(hr)) {
        return hr;
    }
    LogDebug(L"QXDragWindow");
    // The system's move loop runs until the mouse button is released.
    SendMessageW(hostWindow, WM_SYSCOMMAND, kDragMoveCommand, 0);
    return S_OK;
}

HRESULT HtmlExternal::MessageBoxMethod(WORD flags, DISPPARAMS* params, VARIANT*) {
    const HRESULT hr = CheckScriptCall(flags, params, DISPATCH_METHOD, {VT_BSTR, VT_BSTR});
    if (FAILED(hr)) {
        return hr;
    }
    const wchar_t* text = ScriptText(params, 0);
    const wchar_t* caption = ScriptText(params, 1);
    LogDebug(L"QXMessageBox: %s %s", text, caption);
    MessageBoxW(hostWindow, text, caption, MB_OK);
    return S_OK;
}

HRESULT HtmlExternal::DisableCloseWindowMethod(WORD flags, DISPPARAMS* params, VARIANT*) {
    const HRESULT hr = CheckScriptCall(flags, params, DISPATCH_METHOD, {VT_BOOL});
    if (FAILED(hr)) {
        return hr;
    }
    const VARIANT_BOOL disable = ScriptArgument(params, 0).boolVal;
    LogDebug(L"QXDisableWindowClose: %d", static_cast<int>(disable));
    closeDisabled = disable == VARIANT_TRUE;
    return S_OK;
}

HRESULT HtmlExternal::RestoreWindowMethod(WORD flags, DISPPARAMS* params, VARIANT*) {
    const HRESULT hr = CheckScriptCall(flags, params, DISPATCH_METHOD, {});
    if (FAILED(hr)) {
        return hr;
    }
    LogDebug(L"QXRestoreWindow");
    SetForegroundWindow(hostWindow);
    if (IsIconic(hostWindow)) {
        ShowWindow(hostWindow, SW_RESTORE);
    }
    return S_OK;
}

HRESULT HtmlExternal::OpenPageMethod(WORD flags, DISPPARAMS* params, VARIANT*) {
    const HRESULT hr = CheckScriptCall(flags, params, DISPATCH_METHOD, {VT_BSTR});
    if (FAILED(hr)) {
        return hr;
    }
    const wchar_t* url = ScriptText(params, 0);
    // The shell would run a file or any registered scheme as well; only a
    // web page goes to it.
    if (!htmlui::IsWebAddress(url)) {
        LogError(L"QXOpenPage refused, not a web address: %s", url);
        return S_OK;
    }
    ShellExecuteFromDesktop(EscapeAmpersands(url), std::wstring());
    LogDebug(L"QXOpenPage: %s", url);
    return S_OK;
}

void HtmlExternal::OpenOutside(const wchar_t* url) {
    if (!url || !htmlui::IsWebAddress(url)) {
        LogError(L"navigation away from the pages stopped: %s", url ? url : L"");
        return;
    }
    LogDebug(L"navigation away from the pages stopped, opened outside: %s", url);
    ShellExecuteFromDesktop(EscapeAmpersands(url), std::wstring());
}

HRESULT HtmlExternal::RetryMessageBoxMethod(WORD flags, DISPPARAMS* params, VARIANT* result) {
    const HRESULT hr =
        CheckScriptCall(flags, params, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {VT_BSTR});
    if (FAILED(hr)) {
        return hr;
    }
    const wchar_t* text = ScriptText(params, 0);
    LogDebug(L"QXRetryMessageBox: %s", text);
    if (!result) {
        return S_OK;
    }
    VariantInit(result);
    result->vt = VT_BOOL;
    const int answer = MessageBoxW(hostWindow, text, nullptr, MB_RETRYCANCEL);
    result->boolVal = answer == IDRETRY ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

} // namespace downloadmanagercore
