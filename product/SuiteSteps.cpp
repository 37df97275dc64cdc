#include "product/SuiteSteps.h"

#include "base/InstallerContext.h"
#include "base/LogFile.h"
#include "base/PlainFile.h"
#include "base/TempFolders.h"
#include "base/UniqueHandle.h"
#include "core/RunRecord.h"
#include "core/ScriptObject.h"
#include "core/Workers.h"
#include "downloader/DownloadSimpleTask.h"
#include "downloader/Object.h"
#include "downloader/PackageCheck.h"
#include "product/PackageKey.h"
#include "product/MsiProductInfo.h"
#include "product/PlatformQueries.h"
#include "product/ProductLogic.h"
#include "telemetry/ReportSender.h"
#include "telemetry/SystemInfo.h"
#include "zip/ZipExtract.h"

#include <shlwapi.h>

#include <new>
#include <utility>
#include <vector>

namespace tlw {

// ---- DownloadCallback -----------------------------------------------------

DownloadCallback* DownloadCallback::Create(const downloadmanagercore::RunServices& run) {
    KernelHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) {
        return nullptr;
    }
    return downloader::details::Object<DownloadCallback>::Create(run, std::move(event));
}

DownloadCallback::DownloadCallback(const downloadmanagercore::RunServices& run, KernelHandle event)
    : record_(run.record), owner_(run.owner), event_(std::move(event)), result_(E_FAIL),
      hasCompanion_(false) {
    owner_->AddRef();
}

DownloadCallback::~DownloadCallback() {
    owner_->Release();
}

void DownloadCallback::OnComplete(long hr) {
    result_ = hr;
    SetEvent(event_.Get());
}

void DownloadCallback::OnProgress(int64_t bytesDone, int64_t bytesTotal) {
    // The properties are 32-bit numbers: packages stay below 2 GiB.
    record_->SetNumber(L"downloadTotal", static_cast<int>(static_cast<uint32_t>(bytesTotal)));
    record_->SetNumber(L"downloadCurrent", static_cast<int>(static_cast<uint32_t>(bytesDone)));
}

void DownloadCallback::OnVerifiedCompanion(const downloader::DownloadMeta& meta) {
    try {
        companion_ = meta;
        hasCompanion_ = true;
    } catch (const std::bad_alloc&) {
        // Without it the extract step refuses the package: nothing to check against.
        hasCompanion_ = false;
    }
}

bool DownloadCallback::TakeCompanion(downloader::DownloadMeta& meta) {
    if (!hasCompanion_) {
        return false;
    }
    meta = std::move(companion_);
    hasCompanion_ = false;
    return true;
}

// ---- SuiteSteps -----------------------------------------------------------

SuiteSteps::SuiteSteps()
    : run{nullptr, nullptr, nullptr, std::wstring(), nullptr}, lastInstalledIndex(-1),
      installProgressValue(0.0), zipErrorCode(0), runningTask(nullptr) {
    InitializeCriticalSection(&taskLock);
}

SuiteSteps::~SuiteSteps() {
    DeleteCriticalSection(&taskLock);
}

void SuiteSteps::Attach(const downloadmanagercore::RunServices& services) {
    run = services;
    run.record->SetProperty(L"tlwInstalled",
                            IsProductInstalled(kMilestoneProducts[kSuiteProductIndex]) ? L"true"
                                                                                       : L"false");
    run.record->SetProperty(L"osVersion", GetOsVersionText());
    OnProgress(0, 1);
}

bool SuiteSteps::IsStopping() const {
    return run.workers && run.workers->IsStopping();
}

void SuiteSteps::SetInstallProgress(int percent) {
    run.record->SetNumber(L"installProgress", percent);
}

void SuiteSteps::CancelWork() {
    EnterCriticalSection(&taskLock);
    downloader::ITask* task = runningTask;
    if (task) {
        task->AddRef();
    }
    LeaveCriticalSection(&taskLock);
    // Outside the lock: the engine may report the end from inside Cancel.
    if (task) {
        WriteLog(run.log, LogLevelDebug, L"Download cancelled: the run is ending");
        task->Cancel();
        task->Release();
    }
}

void SuiteSteps::OnProgress(int current, int total) {
    run.record->SetProperty(L"extractProgress", std::to_wstring(ExtractPercent(current, total)));
}

void SuiteSteps::OnError(unsigned long error) {
    zipErrorCode = error;
}

void SuiteSteps::OnLog(const wchar_t* line) {
    WriteLog(run.log, LogLevelError, L"%s", line);
}

// ---- extract --------------------------------------------------------------

bool SuiteSteps::CheckPackageAgain(HANDLE file, const std::wstring& packagePath) {
    if (verifiedPackage.empty() || packagePath != verifiedPackage) {
        WriteLog(run.log, LogLevelError,
                 L"Extract: no verified download of %s in this run; not unzipped",
                 packagePath.c_str());
        zipErrorCode = ERROR_INVALID_DATA;
        return false;
    }
    const DWORD started = GetTickCount();
    const downloader::PackageCheck check = downloader::CheckFileAgainstCompanion(
        file, verifiedCompanion, [this] { return StopRequested(); });
    WriteLog(run.log, LogLevelDebug, L"Extract: package checked again in %u ms, result 0x%x",
             static_cast<unsigned>(GetTickCount() - started), static_cast<unsigned>(check.result));
    if (check.result == S_OK) {
        return true;
    }
    if (check.result == downloader::kErrorDataMismatch) {
        if (check.badBlock >= 0) {
            WriteLog(run.log, LogLevelError,
                     L"Extract: block %lld of %s changed since its download; not unzipped",
                     static_cast<long long>(check.badBlock), packagePath.c_str());
        } else {
            WriteLog(run.log, LogLevelError,
                     L"Extract: the size of %s changed since its download; not unzipped",
                     packagePath.c_str());
        }
        zipErrorCode = ERROR_CRC;
    } else if (check.result == E_ABORT) {
        zipErrorCode = ERROR_CANCELLED;
    } else {
        WriteLog(run.log, LogLevelError, L"Extract: %s cannot be checked again (0x%x)",
                 packagePath.c_str(), static_cast<unsigned>(check.result));
        zipErrorCode = HRESULT_FACILITY(check.result) == FACILITY_WIN32
                           ? static_cast<unsigned long>(HRESULT_CODE(check.result))
                           : ERROR_INVALID_DATA;
    }
    return false;
}

int SuiteSteps::ExtractPackage(const std::wstring& packagePath) {
    // Only this run's error counts: an earlier unzip's disk-full error must
    // not turn a later, different failure into "disk full".
    zipErrorCode = 0;
    bool unzipped = false;
    if (run.downloadFolder.empty()) {
        // Without a private folder there is nowhere safe to unzip to.
        zipErrorCode = ERROR_PATH_NOT_FOUND;
    } else {
        // One handle for the check and the unzip: no writer is admitted while
        // it is open, and the name cannot be swapped under it (no delete
        // sharing). A link or second name planted as the package is refused.
        FileHandle file(OpenPlainFile(packagePath, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL));
        if (!file) {
            zipErrorCode = GetLastError();
            if (zipErrorCode == kNotPlainFileError) {
                WriteLog(run.log, LogLevelError,
                         L"Extract: %s is a link or another name of a file; not unzipped",
                         packagePath.c_str());
            }
        } else if (CheckPackageAgain(file.Get(), packagePath)) {
            unzipped = zip::ZipExtractToFolder(file.Get(), run.downloadFolder, this);
        } else {
            // Progress ends as after an unzip that stopped.
            OnProgress(1, 1);
        }
    }
    if (unzipped) {
        std::wstring setupFolder;
        if (FindFolderContaining(run.downloadFolder, kSetupName, setupFolder)) {
            return ExtractOk;
        }
        run.record->SetFailure(FailureStageSetupMissing, 0);
        WriteLog(run.log, LogLevelDebug, L"Can not find setup.exe, unzip path : %s",
                 run.downloadFolder.c_str());
        return ExtractNoSetup;
    }
    const unsigned long code = zipErrorCode;
    run.record->SetFailure(FailureStageUnzip, static_cast<int>(code));
    WriteLog(run.log, LogLevelDebug, L"Unzip failed, package_path: %s, unzip to: %s\n",
             packagePath.c_str(), run.downloadFolder.c_str());
    return ExtractCodeForError(code);
}

bool SuiteSteps::FindFolderContaining(const std::wstring& folder, const std::wstring& name,
                                      std::wstring& found) {
    if (folder.empty()) {
        // "" would make the search start at the root of the current drive.
        return false;
    }
    std::wstring base = folder;
    if (base.back() == L'\\') {
        base.pop_back();
    }
    if (PathFileExistsW((base + L"\\" + name).c_str())) {
        found = folder;
        return true;
    }
    WIN32_FIND_DATAW entry;
    FindHandle search(FindFirstFileW((base + L"\\*").c_str(), &entry));
    if (!search) {
        return false;
    }
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && wcscmp(entry.cFileName, L".") &&
            wcscmp(entry.cFileName, L"..") &&
            FindFolderContaining(base + L"\\" + entry.cFileName, name, found)) {
            return true;
        }
    } while (FindNextFileW(search.Get(), &entry));
    return false;
}

// ---- download -------------------------------------------------------------

int SuiteSteps::DownloadPackage(const std::wstring& url, std::wstring& packagePath) {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring name = PackageFileName(url);
    if (length == 0 || length >= MAX_PATH || name.empty() || !PathRemoveFileSpecW(path) ||
        !PathAppendW(path, name.c_str())) {
        // Trying again cannot give the URL a file name or shorten the path.
        WriteLog(run.log, LogLevelError, L"Download: no file path next to the program for %s",
                 url.c_str());
        return DownloadFailed;
    }
    packagePath = path;
    // Only a download that succeeds now names a package extract may use.
    verifiedPackage.clear();
    verifiedCompanion = downloader::DownloadMeta();
    for (int attempt = 1;; ++attempt) {
        const HRESULT hr = DownloadWithTask(url, packagePath);
        WriteLog(run.log, LogLevelDebug, L"TransferDownloadError HRESULT: %x",
                 static_cast<unsigned>(hr));
        const int code = MapDownloadResult(hr, url, packagePath);
        if (!IsRetriedDownload(hr, code)) {
            if (DownloadDoesNotFitItsCompanion(hr)) {
                WriteLog(run.log, LogLevelError,
                         L"Download: the package does not fit its companion, not retried");
            } else if (CompanionIsNotSigned(hr)) {
                WriteLog(run.log, LogLevelError,
                         L"Download: the companion's signature is missing, malformed or wrong "
                         L"(0x%08X); the package is not the vendor's, not retried",
                         static_cast<unsigned>(hr));
            } else if (IsCertificateFault(hr)) {
                WriteLog(run.log, LogLevelError,
                         L"Download: the server's certificate was refused (%x), not retried",
                         static_cast<unsigned>(hr));
            } else if (hr == downloader::kErrorNotPlainFile) {
                WriteLog(run.log, LogLevelError,
                         L"Download: %s is a link or another name of a file; refused, not "
                         L"retried",
                         packagePath.c_str());
            }
            return code;
        }
        // The pause ends early when the run ends; the download then counts as aborted.
        if (run.workers->StopRequested()) {
            WaitForSingleObject(run.workers->StopRequested(), kDownloadRetryPauseMs);
        } else {
            Sleep(kDownloadRetryPauseMs);
        }
        if (IsStopping()) {
            return DownloadAborted;
        }
        if (attempt == kDownloadAttempts) {
            return code;
        }
    }
}

downloader::ITask* SuiteSteps::CreateDownloadTask(const std::wstring& url, const std::wstring& path,
                                                  downloader::IDownloadCallback* callback) {
    // The built-in key, when the build has one: a companion must be the vendor's.
    return downloader::CreateDownloadSimpleTask(url.c_str(), path.c_str(), callback,
                                                BuiltInPackageKey());
}

HRESULT SuiteSteps::DownloadWithTask(const std::wstring& url, const std::wstring& path) {
    DownloadCallback* callback = DownloadCallback::Create(run);
    if (!callback) {
        return E_OUTOFMEMORY;
    }
    downloader::ITask* task = CreateDownloadTask(url, path, callback);
    if (!task) {
        callback->Release();
        return E_OUTOFMEMORY;
    }
    EnterCriticalSection(&taskLock);
    const bool stopping = IsStopping();
    if (!stopping) {
        runningTask = task;
    }
    LeaveCriticalSection(&taskLock);
    if (stopping) {
        task->Release();
        callback->Release();
        return E_ABORT;
    }
    // The engine reports every end through OnComplete exactly once, also a
    // start that fails at once, a cancel and an allocation failure, so this
    // wait always ends.
    task->Start();
    // The engine ignores a cancel that comes before its start: a stop that
    // found the task registered but not yet started is repeated here.
    if (IsStopping()) {
        task->Cancel();
    }
    WaitForSingleObject(callback->completed(), INFINITE);
    const HRESULT hr = callback->result();
    if (hr == S_OK && callback->TakeCompanion(verifiedCompanion)) {
        verifiedPackage = path;
    }
    EnterCriticalSection(&taskLock);
    runningTask = nullptr;
    LeaveCriticalSection(&taskLock);
    task->Release();
    callback->Release();
    return hr;
}

int SuiteSteps::MapDownloadResult(HRESULT hr, const std::wstring& url, const std::wstring& path) {
    FreeSpace disk;
    if (DownloadResultNeedsFreeSpace(hr)) {
        disk = QueryFreeSpace(path);
    }
    const bool reachable = DownloadResultNeedsReachability(hr, disk) && CanReachServer(url);
    return MapDownloadResultCode(hr, disk, reachable);
}

downloadmanagercore::ScriptObject*
CreateSuiteScriptObject(InstallerContext* context, ReportSender* reportSender, LogFile* log) {
    SuiteSteps* steps = new (std::nothrow) SuiteSteps();
    if (!steps) {
        return nullptr;
    }
    downloadmanagercore::ScriptObject* object =
        new (std::nothrow) downloadmanagercore::ScriptObject(context, reportSender, log, steps);
    if (!object) {
        delete steps;
    }
    return object;
}

} // namespace tlw
