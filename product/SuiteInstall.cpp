// The install step: setup on a hidden desktop, the progress estimate while it
// runs, and what is read of the installed suite afterwards.

#include "product/SuiteSteps.h"

#include "base/LogFile.h"
#include "base/TempFolders.h"
#include "base/UniqueHandle.h"
#include "core/RunRecord.h"
#include "core/Workers.h"
#include "product/MsiProductInfo.h"
#include "product/ProductLogic.h"
#include "product/SetupPublisher.h"

#include <shlwapi.h>

#include <vector>

namespace tlw {

namespace {

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

} // namespace

bool SuiteSteps::IsProductInstalled(const wchar_t* productCode) {
    wchar_t location[MAX_PATH] = {};
    DWORD length = MAX_PATH;
    return QueryProductInfo(productCode, kInstallLocation, location, &length) == ERROR_SUCCESS;
}

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

    // Held without write or delete sharing until setup has started, so that
    // the file checked is the file that runs.
    FileHandle setupFile(CreateFileW(setup, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!SetupPublisherAccepted(setup, setupFile.Get())) {
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
    setupFile.Reset();
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
    bool stopped = false;
    do {
        UpdateInstallProgress();
        // The end of the run stops the wait, not setup: it goes on by itself.
        const HANDLE waitFor[2] = {setupProcess.Get(), run.workers->StopRequested()};
        wait = WaitForMultipleObjects(waitFor[1] ? 2 : 1, waitFor, FALSE, kInstallPollMs);
        stopped = wait == WAIT_OBJECT_0 + 1;
    } while (wait == WAIT_TIMEOUT && GetTickCount() - waitStart < limit);
    if (stopped) {
        WriteLog(run.log, LogLevelDebug,
                 L"Install : the run is ending; setup goes on by itself, no longer waiting");
        wait = WAIT_TIMEOUT;
    } else if (wait == WAIT_TIMEOUT) {
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
    run.record->SetProperty(L"restartRequired",
                            ExitCodeNeedsRestart(exitCode) ? L"true" : L"false");
    if (result == InstallOk) {
        run.record->SetProductVersion(
            GetProductVersionString(kMilestoneProducts[kMainProductIndex]));
        SetInstallProgress(100);
        ClearShowEulaFlag();
    }
    CollectRedistributableLogs(start, end);
    return result;
}

std::wstring SuiteSteps::PublisherReferenceProgram() const {
    std::vector<wchar_t> path(32768);
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size()) {
        return std::wstring();
    }
    return std::wstring(path.data(), length);
}

bool SuiteSteps::SetupPublisherAccepted(const wchar_t* setup, HANDLE setupFile) {
    const std::wstring program = PublisherReferenceProgram();
    SignatureFacts own;
    if (!program.empty()) {
        own = ReadSignature(program, INVALID_HANDLE_VALUE);
    }
    SignatureFacts candidate;
    if (own.trust != TRUST_E_NOSIGNATURE) {
        candidate = ReadSignature(setup, setupFile);
    }
    switch (DecideSetupPublisher(own, candidate)) {
    case PublisherVerdict::RunUnsignedProgram:
        WriteLog(run.log, LogLevelDebug,
                 L"Install: this program is unsigned (a developer build); setup's publisher is "
                 L"not checked");
        return true;
    case PublisherVerdict::Run:
        WriteLog(run.log, LogLevelDebug, L"Install: setup is signed by this program's signer, %s",
                 candidate.subject.c_str());
        return true;
    case PublisherVerdict::Refuse:
        break;
    }
    const long code = PublisherRefusalCode(candidate);
    run.record->SetFailure(FailureStageSetupNotStarted, static_cast<int>(code));
    WriteLog(run.log, LogLevelError,
             L"Install: setup refused, not started: %s; its signature 0x%x, signer \"%s\"; this "
             L"program's signature 0x%x, signer \"%s\"",
             setup, static_cast<unsigned>(candidate.trust), candidate.subject.c_str(),
             static_cast<unsigned>(own.trust), own.subject.c_str());
    return false;
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

} // namespace tlw
