#include "product/SuiteSteps.h"

#include "base/InstallerContext.h"
#include "base/LogFile.h"
#include "base/TempFolders.h"
#include "base/UniqueHandle.h"
#include "core/RunRecord.h"
#include "core/ScriptObject.h"
#include "core/Workers.h"
#include "downloader/DownloadSimpleTask.h"
#include "downloader/Object.h"
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

namespace {

const wchar_t kSetupName[] = L"setup.exe";
const wchar_t kSetupLogName[] = L"log.txt";
const wchar_t kSetupXmlLogName[] = L"log.txt.xml";
const wchar_t kSetupDesktop[] = L"NBKVirtualDesktop";
const wchar_t kRedistributableLogPattern[] = L"dd_vcredist*";
const wchar_t kStartProgramName[] = L"brightcast.exe";
const wchar_t kInstallLocation[] = L"InstallLocation";
const wchar_t kVersionString[] = L"VersionString";
const wchar_t kEulaKey[] = L"SOFTWARE\\Halvern\\TLWPro\\Version18";
const wchar_t kEulaValue[] = L"ShowEula";

// Setup's windows go to the hidden desktop named here, through the structure
// the platform's CreateProcessW reads: 68 bytes in a 32-bit process, 104 in a
// 64-bit one (its pointers and handles widen).
static_assert(sizeof(STARTUPINFOW) == (sizeof(void*) == 4 ? 68 : 104), "STARTUPINFOW layout");

// The hidden desktop that setup runs on.
struct DesktopHandleTraits {
    typedef HDESK Type;
    static HDESK Invalid() { return nullptr; }
    static void Close(HDESK desktop) { CloseDesktop(desktop); }
};
typedef UniqueHandle<DesktopHandleTraits> DesktopHandle;

bool IsProductInstalled(const wchar_t* productCode) {
    wchar_t location[MAX_PATH] = {};
    DWORD length = MAX_PATH;
    return QueryProductInfo(productCode, kInstallLocation, location, &length) == ERROR_SUCCESS;
}

} // namespace

// ---- DownloadCallback -----------------------------------------------------

DownloadCallback* DownloadCallback::Create(const downloadmanagercore::RunServices& run) {
    KernelHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) {
        return nullptr;
    }
    return downloader::details::Object<DownloadCallback>::Create(run, std::move(event));
}

DownloadCallback::DownloadCallback(const downloadmanagercore::RunServices& run, KernelHandle event)
    : record_(run.record), owner_(run.owner), event_(std::move(event)), result_(E_FAIL) {
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

int SuiteSteps::ExtractPackage(const std::wstring& packagePath) {
    // Only this run's error counts: an earlier unzip's disk-full error must
    // not turn a later, different failure into "disk full".
    zipErrorCode = 0;
    bool unzipped = false;
    if (run.downloadFolder.empty()) {
        // Without a private folder there is nowhere safe to unzip to.
        zipErrorCode = ERROR_PATH_NOT_FOUND;
    } else {
        FileHandle file(CreateFileW(packagePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            zipErrorCode = GetLastError();
        } else {
            unzipped = zip::ZipExtractToFolder(file.Get(), run.downloadFolder, this);
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
    for (int attempt = 1;; ++attempt) {
        const HRESULT hr = DownloadWithTask(url, packagePath);
        WriteLog(run.log, LogLevelDebug, L"TransferDownloadError HRESULT: %x",
                 static_cast<unsigned>(hr));
        const int code = MapDownloadResult(hr, url, packagePath);
        if (!IsRetriedDownloadCode(code)) {
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
    return downloader::CreateDownloadSimpleTask(url.c_str(), path.c_str(), callback);
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

// ---- install --------------------------------------------------------------

int SuiteSteps::InstallPackage(const std::wstring&, const std::wstring& parameters) {
    std::wstring dir;
    wchar_t setup[MAX_PATH] = {};
    wchar_t setupLog[MAX_PATH] = {};
    wchar_t setupXmlLog[MAX_PATH] = {};
    if (!FindFolderContaining(run.downloadFolder, kSetupName, dir) ||
        !PathCombineW(setup, dir.c_str(), kSetupName) ||
        !PathCombineW(setupLog, dir.c_str(), kSetupLogName) ||
        !PathCombineW(setupXmlLog, dir.c_str(), kSetupXmlLogName)) {
        // Nothing to run: starting "setup.exe" by a bare name would let the
        // system search other folders for one.
        run.record->SetFailure(FailureStageSetupNotStarted, ERROR_FILE_NOT_FOUND);
        WriteLog(run.log, LogLevelDebug, L"Install: no setup.exe under %s",
                 run.downloadFolder.c_str());
        return InstallSetupFailed;
    }

    // A failure is ignored: setup then fails to start on the missing desktop.
    DesktopHandle desktop(CreateDesktopW(kSetupDesktop, nullptr, nullptr, 0, GENERIC_ALL, nullptr));
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.lpDesktop = const_cast<wchar_t*>(kSetupDesktop);

    const std::wstring commandLine = BuildSetupCommandLine(setup, parameters, setupLog);
    WriteLog(run.log, LogLevelDebug, L"Install : cmd line: %s", commandLine.c_str());
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');
    SYSTEMTIME start;
    GetSystemTime(&start);
    WriteLog(run.log, LogLevelDebug, L"Install start");

    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        run.downloadFolder.c_str(), &startup, &process)) {
        const DWORD error = GetLastError();
        run.record->SetFailure(FailureStageSetupNotStarted, static_cast<int>(error));
        WriteLog(run.log, LogLevelDebug, L"Create process failed, setup cmd line: %s",
                 commandLine.c_str());
        return InstallSetupFailed;
    }
    KernelHandle setupProcess(process.hProcess);
    KernelHandle setupThread(process.hThread);
    // Setup uses the unzipped files as long as it runs, also after this run
    // ended (killed, or done waiting): a later start leaves them until then.
    if (!AddFolderUser(run.downloadFolder, setupProcess.Get())) {
        WriteLog(run.log, LogLevelDebug, L"Install: cannot record setup as a user of %s",
                 run.downloadFolder.c_str());
    }
    run.record->AddAttachment(setupLog);
    run.record->AddAttachment(setupXmlLog);

    const DWORD limit = SetupTimeLimitMs();
    const DWORD waitStart = GetTickCount();
    DWORD wait;
    do {
        UpdateInstallProgress();
        wait = WaitForSingleObject(setupProcess.Get(), kInstallPollMs);
    } while (wait == WAIT_TIMEOUT && GetTickCount() - waitStart < limit);
    if (wait == WAIT_TIMEOUT) {
        WriteLog(run.log, LogLevelDebug,
                 L"Install : setup still running after %u ms, no longer waiting",
                 static_cast<unsigned>(GetTickCount() - waitStart));
    }

    WriteLog(run.log, LogLevelDebug, L"Install finished");
    DWORD exitCode = 0;
    GetExitCodeProcess(setupProcess.Get(), &exitCode);
    setupThread.Reset();
    setupProcess.Reset();
    desktop.Reset();
    SYSTEMTIME end;
    GetSystemTime(&end);
    WriteLog(run.log, LogLevelDebug, L"Install error: %d, or 0x%x", static_cast<int>(exitCode),
             static_cast<unsigned>(exitCode));

    const int result = InstallCodeForExitCode(exitCode);
    if (result == InstallOk) {
        run.record->SetProductVersion(
            GetProductVersionString(kMilestoneProducts[kMainProductIndex]));
        SetInstallProgress(100);
        ClearShowEulaFlag();
    }
    CollectRedistributableLogs(start, end);
    return result;
}

void SuiteSteps::UpdateInstallProgress() {
    bool installed[kMilestoneCount];
    for (int i = 0; i < kMilestoneCount; ++i) {
        installed[i] = IsProductInstalled(kMilestoneProducts[i]);
    }
    const int highest = HighestInstalledIndex(installed);
    InstallEstimate estimate;
    estimate.lastInstalledIndex = lastInstalledIndex;
    estimate.value = installProgressValue;
    const EstimateStep step = NextInstallEstimate(estimate, highest);
    lastInstalledIndex = step.next.lastInstalledIndex;
    installProgressValue = step.next.value;
    if (step.change == EstimateChange::Jumped) {
        WriteLog(run.log, LogLevelDebug, L"productcode: %s  installed\n",
                 kMilestoneProducts[highest]);
    } else if (step.change == EstimateChange::RolledBack) {
        WriteLog(run.log, LogLevelDebug,
                 L"productcode: none installed any more, progress kept at %d\n",
                 EstimatePercent(step.next));
    }
    SetInstallProgress(EstimatePercent(step.next));
}

void SuiteSteps::CollectRedistributableLogs(const SYSTEMTIME& start, const SYSTEMTIME& end) {
    FILETIME from, to;
    if (!SystemTimeToFileTime(&start, &from) || !SystemTimeToFileTime(&end, &to)) {
        return;
    }
    wchar_t temp[MAX_PATH] = {};
    const DWORD length = GetTempPathW(MAX_PATH, temp);
    wchar_t pattern[MAX_PATH] = {};
    if (length == 0 || length >= MAX_PATH ||
        !PathCombineW(pattern, temp, kRedistributableLogPattern)) {
        return;
    }
    WIN32_FIND_DATAW entry;
    FindHandle search(FindFirstFileW(pattern, &entry));
    if (!search) {
        return;
    }
    do {
        wchar_t path[MAX_PATH] = {};
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            WrittenDuringSetup(entry.ftLastWriteTime, from, to) &&
            PathCombineW(path, temp, entry.cFileName)) {
            run.record->AddAttachment(path);
        }
    } while (FindNextFileW(search.Get(), &entry));
}

bool SuiteSteps::GetInstalledStartProgram(std::wstring& path) {
    wchar_t location[MAX_PATH + 1] = {};
    DWORD length = MAX_PATH + 1;
    if (QueryProductInfo(kMilestoneProducts[kMainProductIndex], kInstallLocation, location,
                         &length) != ERROR_SUCCESS) {
        return false;
    }
    if (location[0] == L'\0') {
        // The product recorded no location: "brightcast.exe" alone would
        // name a file relative to whatever folder is current.
        WriteLog(run.log, LogLevelDebug,
                 L"GetInstalledStartProgram: the main product has no install location");
        return false;
    }
    if (!PathAppendW(location, kStartProgramName)) {
        return false;
    }
    path = location;
    return true;
}

void SuiteSteps::ClearShowEulaFlag() {
    RegistryKey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEulaKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, key.Receive(),
                        nullptr) != ERROR_SUCCESS) {
        return;
    }
    const DWORD zero = 0;
    RegSetValueExW(key.Get(), kEulaValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&zero),
                   sizeof zero);
}

std::wstring SuiteSteps::GetProductVersionString(const wchar_t* productCode) {
    wchar_t version[256] = {};
    DWORD length = 256;
    if (QueryProductInfo(productCode, kVersionString, version, &length) != ERROR_SUCCESS) {
        return std::wstring();
    }
    return version;
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
