#pragma once

#include <windows.h>

#include <string>

class LogFile;

namespace downloadmanagercore {

class RunRecord;
class WorkerPool;

// What the product's steps may use of the run. Valid for the steps' whole
// life; the script object that hands it over owns every part.
struct RunServices {
    RunRecord* record;           // page properties, failure, version, attachments
    const WorkerPool* workers;   // IsStopping and StopRequested for waits
    LogFile* log;                // may be NULL
    std::wstring downloadFolder; // ends in a backslash; empty when it could not be made
    IUnknown* owner;             // the script object; a reference keeps the steps alive
};

// The product behind the script API's long operations. The script object
// owns one and runs each step on a worker thread (multithreaded apartment),
// one step at a time as the pages call them; results are page codes
// (base/PageCodes.h) and values. A step that waits or retries ends early once
// the run is stopping. The script object records the download's and the
// install's failure stage from the codes; a step records the details only it
// knows (the unzip's Windows error, setup that cannot start).
class IProductSteps {
public:
    virtual ~IProductSteps() {}

    // UI thread, once, before any step: the run's services.
    virtual void Attach(const RunServices& run) = 0;
    // Brings the package named by `url`; `packagePath` receives the file it
    // wrote (also on failure, when one was chosen). Returns a DownloadCode.
    virtual int DownloadPackage(const std::wstring& url, std::wstring& packagePath) = 0;
    // Unzips the downloaded package into the download folder; an ExtractCode.
    virtual int ExtractPackage(const std::wstring& packagePath) = 0;
    // Installs the package with the pages' parameters; an InstallCode.
    virtual int InstallPackage(const std::wstring& packagePath, const std::wstring& parameters) = 0;
    // After a successful install: the program that startInstallProgram
    // launches. False (and `path` unchanged) when there is none.
    virtual bool GetInstalledStartProgram(std::wstring& path) = 0;
    // UI thread, once, when the run stops: asks the running step to end soon.
    virtual void CancelWork() = 0;
};

} // namespace downloadmanagercore
