#include "core/ScriptObject.h"

#include "base/LogFile.h"
#include "base/OleValues.h"
#include "base/PageCodes.h"
#include "base/TempFolders.h"
#include "core/ShellExecuteFromDesktop.h"
#include "htmlui/PageOrigin.h"

#include <utility>

namespace downloadmanagercore {

namespace {

// Script-visible names of the page properties that this object writes.
const wchar_t kDownloadTotal[] = L"downloadTotal";
const wchar_t kDownloadCurrent[] = L"downloadCurrent";
const wchar_t kInstallProgress[] = L"installProgress";

// Size the window gets when a page finished loading without sizing it.
const int kDefaultWindowWidth = 400;
const int kDefaultWindowHeight = 200;

const WORD kCall = DISPATCH_METHOD;
const WORD kCallForValue = DISPATCH_METHOD | DISPATCH_PROPERTYGET;

template <class Handler>
htmlui::MethodHandler Bind(Handler handler) {
    return static_cast<htmlui::MethodHandler>(handler);
}

} // namespace

const htmlui::MethodEntry ScriptObject::scriptMethods[ScriptObject::kScriptMethodCount] = {
    {L"setWindowSize", kCall, {VT_I4, VT_I4}, Bind(&ScriptObject::SetWindowSizeMethod)},
    {L"closeWindow", kCall, {}, Bind(&ScriptObject::CloseWindowMethod)},
    {L"download", kCall, {VT_BSTR, VT_DISPATCH}, Bind(&ScriptObject::DownloadMethod)},
    {L"install", kCall, {VT_BSTR, VT_DISPATCH}, Bind(&ScriptObject::InstallMethod)},
    {L"getProperty", kCallForValue, {VT_BSTR}, Bind(&ScriptObject::GetPropertyMethod)},
    {L"setChannel", kCall, {VT_BSTR}, Bind(&ScriptObject::SetChannelMethod)},
    {L"setInstallStatus", kCall, {VT_I4}, Bind(&ScriptObject::SetInstallStatusMethod)},
    {L"startInstallProgram", kCall, {VT_BSTR}, Bind(&ScriptObject::StartInstallProgramMethod)},
    {L"hideWindow", kCall, {}, Bind(&ScriptObject::HideWindowMethod)},
    {L"dragWindow", kCall, {}, Bind(&ScriptObject::DragWindowMethod)},
    {L"messageBox", kCall, {VT_BSTR, VT_BSTR}, Bind(&ScriptObject::MessageBoxMethod)},
    {L"disableCloseWindow", kCall, {VT_BOOL}, Bind(&ScriptObject::DisableCloseWindowMethod)},
    {L"restoreWindow", kCall, {}, Bind(&ScriptObject::RestoreWindowMethod)},
    {L"openPage", kCall, {VT_BSTR}, Bind(&ScriptObject::OpenPageMethod)},
    {L"retryMessageBox", kCallForValue, {VT_BSTR}, Bind(&ScriptObject::RetryMessageBoxMethod)},
    {L"extract", kCall, {VT_DISPATCH}, Bind(&ScriptObject::ExtractMethod)},
};

ScriptObject::ScriptObject(InstallerContext* context, ReportSender* reportSender, LogFile* log,
                           IProductSteps* steps)
    : log_(log), launch_(ShellExecuteFromDesktop), record_(context, reportSender), workers_(log),
      steps_(steps) {
    // A total of 1, so a page computing current * 100 / total before any
    // download gets 0.
    record_.SetNumber(kDownloadTotal, 1);
    record_.SetNumber(kDownloadCurrent, 0);
    record_.SetNumber(kInstallProgress, 0);
    std::wstring folder;
    if (GetTempFolderPath(folder) && CreateUniqueSubfolder(folder)) {
        downloadFolder_ = folder;
    }
    steps_->Attach(RunServices{&record_, &workers_, log_, downloadFolder_, this});
}

ScriptObject::~ScriptObject() {
    RemoveDownloadFolder();
}

unsigned ScriptObject::GetMethodTable(const htmlui::MethodEntry** rows) {
    *rows = scriptMethods;
    return kScriptMethodCount;
}

void ScriptObject::SetHostWindow(HWND window) {
    MSHTMLExternal::SetHostWindow(window);
    window_.Attach(window);
}

void ScriptObject::OnDocumentComplete(htmlui::MSHTMLClient*) {
    if (window_.ResizeIfEmpty(kDefaultWindowWidth, kDefaultWindowHeight)) {
        record_.SetFailure(0, 0);
    }
}

bool ScriptObject::StopWorkers(DWORD timeoutMs) {
    workers_.BeginStop();
    steps_->CancelWork();
    const bool idle = workers_.WaitUntilIdle(timeoutMs);
    record_.Close();
    return idle;
}

bool ScriptObject::RemoveDownloadFolder() {
    if (downloadFolder_.empty() || workers_.Running() != 0) {
        return downloadFolder_.empty();
    }
    if (IsFolderUsedByOthers(downloadFolder_)) {
        WriteLog(log_, LogLevelDebug,
                 L"The download folder %s stays: a program started from it still runs",
                 downloadFolder_.c_str());
        return false;
    }
    if (!DeleteFolderTree(downloadFolder_)) {
        WriteLog(log_, LogLevelError, L"The download folder %s could not be removed: %u",
                 downloadFolder_.c_str(), static_cast<unsigned>(GetLastError()));
        return false;
    }
    downloadFolder_.clear();
    return true;
}

// The steps on their workers.

int ScriptObject::RunDownload(const std::wstring& url) {
    std::wstring packagePath;
    const int result = steps_->DownloadPackage(url, packagePath);
    record_.SetPackagePath(packagePath);
    if (result != DownloadOk) {
        record_.SetFailure(FailureStageDownload, result);
        WriteLog(log_, LogLevelError, L"Download fail, download path : %s, download result : %d",
                 packagePath.c_str(), result);
    }
    return result;
}

int ScriptObject::RunExtract(const std::wstring& packagePath) {
    const int result = steps_->ExtractPackage(packagePath);
    WriteLog(log_, LogLevelDebug, L"Extract result %d.", result);
    return result;
}

int ScriptObject::RunInstall(const std::wstring& packagePath, const std::wstring& parameters) {
    const int result = steps_->InstallPackage(packagePath, parameters);
    if (result == InstallOk) {
        std::wstring program;
        if (steps_->GetInstalledStartProgram(program)) {
            record_.SetStartProgramPath(program);
        } else {
            WriteLog(log_, LogLevelError, L"GetInstalledStartProgram failed");
            record_.SetFailure(FailureStageProgramNotFound, 0);
        }
    } else if (result != InstallNotSupported) {
        record_.SetFailure(FailureStageInstall, result);
    }
    return result;
}

// The handlers: Invoke has checked each call against its row.

HRESULT ScriptObject::SetWindowSizeMethod(DISPPARAMS* params, VARIANT*) {
    const int width = htmlui::ScriptArgument(params, 0).lVal;
    const int height = htmlui::ScriptArgument(params, 1).lVal;
    WriteLog(log_, LogLevelDebug, L"QXWindowSize: %d", width);
    window_.Resize(width, height);
    return S_OK;
}

HRESULT ScriptObject::CloseWindowMethod(DISPPARAMS*, VARIANT*) {
    WriteLog(log_, LogLevelDebug, L"QXClose");
    window_.Close();
    return S_OK;
}

HRESULT ScriptObject::DownloadMethod(DISPPARAMS* params, VARIANT*) {
    const std::wstring url = htmlui::ScriptText(params, 0);
    WriteLog(log_, LogLevelDebug, L"QXDownload: %s", url.c_str());
    return workers_.Start(
        this, htmlui::ScriptArgument(params, 1).pdispVal, L"DownloadThreadFunc",
        [this, url] { return RunDownload(url); }, LogLevelError,
        L"QXDownload: CoMarshalInterThreadInterfaceInStream failed with %x");
}

HRESULT ScriptObject::InstallMethod(DISPPARAMS* params, VARIANT*) {
    const std::wstring parameters = htmlui::ScriptText(params, 0);
    WriteLog(log_, LogLevelDebug, L"QXInstall: %s", parameters.c_str());
    const std::wstring packagePath = record_.PackagePath();
    return workers_.Start(
        this, htmlui::ScriptArgument(params, 1).pdispVal, L"InstallThreadFunc",
        [this, packagePath, parameters] { return RunInstall(packagePath, parameters); },
        LogLevelDebug, L"QXInstall: CoMarshalInterThreadInterfaceInStream failed with %x");
}

HRESULT ScriptObject::ExtractMethod(DISPPARAMS* params, VARIANT*) {
    WriteLog(log_, LogLevelDebug, L"QXExtractPackage");
    const std::wstring packagePath = record_.PackagePath();
    return workers_.Start(
        this, htmlui::ScriptArgument(params, 0).pdispVal, L"ExtractThreadFunc",
        [this, packagePath] { return RunExtract(packagePath); }, LogLevelDebug,
        L"QXExtractPackage: CoMarshalInterThreadInterfaceInStream failed with %x");
}

HRESULT ScriptObject::GetPropertyMethod(DISPPARAMS* params, VARIANT* result) {
    if (!result) {
        return S_OK;
    }
    const std::wstring value = record_.GetProperty(htmlui::ScriptText(params, 0));
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

HRESULT ScriptObject::SetChannelMethod(DISPPARAMS* params, VARIANT*) {
    const wchar_t* channel = htmlui::ScriptText(params, 0);
    WriteLog(log_, LogLevelDebug, L"QXSetChannel: %s", channel);
    record_.SetChannel(channel);
    return S_OK;
}

HRESULT ScriptObject::SetInstallStatusMethod(DISPPARAMS* params, VARIANT*) {
    const LONG status = htmlui::ScriptArgument(params, 0).lVal;
    if (status < InstallStatusNotStarted || status > InstallStatusEnvironmentNotSupported) {
        return STG_E_INVALIDPARAMETER;
    }
    WriteLog(log_, LogLevelDebug, L"QXSetInstallStatus: %d", static_cast<int>(status));
    record_.SetInstallStatus(static_cast<int>(status));
    return S_OK;
}

HRESULT ScriptObject::StartInstallProgramMethod(DISPPARAMS* params, VARIANT*) {
    const std::wstring program = record_.StartProgramPath();
    if (program.empty()) {
        // Nothing was installed: an empty file would make the shell open
        // something of its own choosing.
        WriteLog(log_, LogLevelDebug, L"startInstallProgram: no installed program to start");
        return S_OK;
    }
    launch_(program, htmlui::ScriptText(params, 0));
    return S_OK;
}

HRESULT ScriptObject::HideWindowMethod(DISPPARAMS*, VARIANT*) {
    WriteLog(log_, LogLevelDebug, L"QXHideWindow");
    window_.Minimize();
    return S_OK;
}

HRESULT ScriptObject::DragWindowMethod(DISPPARAMS*, VARIANT*) {
    WriteLog(log_, LogLevelDebug, L"QXDragWindow");
    window_.Drag();
    return S_OK;
}

HRESULT ScriptObject::MessageBoxMethod(DISPPARAMS* params, VARIANT*) {
    const wchar_t* text = htmlui::ScriptText(params, 0);
    const wchar_t* caption = htmlui::ScriptText(params, 1);
    WriteLog(log_, LogLevelDebug, L"QXMessageBox: %s %s", text, caption);
    window_.ShowMessage(text, caption);
    return S_OK;
}

HRESULT ScriptObject::DisableCloseWindowMethod(DISPPARAMS* params, VARIANT*) {
    const VARIANT_BOOL disable = htmlui::ScriptArgument(params, 0).boolVal;
    WriteLog(log_, LogLevelDebug, L"QXDisableWindowClose: %d", static_cast<int>(disable));
    window_.SetCloseDisabled(disable == VARIANT_TRUE);
    return S_OK;
}

HRESULT ScriptObject::RestoreWindowMethod(DISPPARAMS*, VARIANT*) {
    WriteLog(log_, LogLevelDebug, L"QXRestoreWindow");
    window_.Restore();
    return S_OK;
}

HRESULT ScriptObject::OpenPageMethod(DISPPARAMS* params, VARIANT*) {
    const wchar_t* url = htmlui::ScriptText(params, 0);
    // The shell would run a file or any registered scheme as well; only a
    // web page goes to it.
    if (!htmlui::IsWebAddress(url)) {
        WriteLog(log_, LogLevelError, L"QXOpenPage refused, not a web address: %s", url);
        return S_OK;
    }
    launch_(EscapeAmpersands(url), std::wstring());
    WriteLog(log_, LogLevelDebug, L"QXOpenPage: %s", url);
    return S_OK;
}

void ScriptObject::OpenOutside(const wchar_t* url) {
    if (!url || !htmlui::IsWebAddress(url)) {
        WriteLog(log_, LogLevelError, L"navigation away from the pages stopped: %s",
                 url ? url : L"");
        return;
    }
    WriteLog(log_, LogLevelDebug, L"navigation away from the pages stopped, opened outside: %s",
             url);
    launch_(EscapeAmpersands(url), std::wstring());
}

HRESULT ScriptObject::RetryMessageBoxMethod(DISPPARAMS* params, VARIANT* result) {
    const wchar_t* text = htmlui::ScriptText(params, 0);
    WriteLog(log_, LogLevelDebug, L"QXRetryMessageBox: %s", text);
    if (!result) {
        return S_OK;
    }
    VariantInit(result);
    result->vt = VT_BOOL;
    result->boolVal = window_.AskRetry(text) ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

} // namespace downloadmanagercore
