#pragma once

#include <windows.h>

#include <string>

class InstallerContext;
class ReportSender;

namespace downloadmanagercore {

// What a run records for its pages and its reports, shared by the UI thread
// and the workers: the page properties, the failure, the product version,
// the error report's attachments, and the package the last download brought.
// Every read and write takes the record's lock for that one access (never
// around another lock). Close() ends the workers' part: once the window has
// closed and the run stops waiting for them, their writes are dropped, so
// the reports read a record nobody changes.
class RunRecord {
public:
    // Either may be NULL (then its writes do nothing and its reads are empty).
    RunRecord(InstallerContext* context, ReportSender* reportSender);
    ~RunRecord();
    RunRecord(const RunRecord&) = delete;
    RunRecord& operator=(const RunRecord&) = delete;

    // A page property. A read of a missing name adds it with an empty value
    // (as the pages' getProperty does), until the record is closed.
    void SetProperty(const std::wstring& name, const std::wstring& value);
    std::wstring GetProperty(const std::wstring& name);
    // A property as decimal text.
    void SetNumber(const std::wstring& name, int value);

    // The context's failureStage/failureCode pair.
    void SetFailure(int stage, int code);
    // The installed product's version.
    void SetProductVersion(const std::wstring& version);
    // A file for the error report.
    void AddAttachment(const std::wstring& path);
    // The pages' channel and status (UI thread).
    void SetChannel(const std::wstring& channel);
    void SetInstallStatus(int status);

    // The file the last download wrote; handed from the download worker to
    // the extract and install workers.
    void SetPackagePath(const std::wstring& path);
    std::wstring PackagePath();

    // The installed program that startInstallProgram starts; written by the
    // install worker, read on the UI thread. Kept after Close.
    void SetStartProgramPath(const std::wstring& path);
    std::wstring StartProgramPath();

    // Drops every later write (and the addition of missing names on reads).
    void Close();
    bool IsClosed();

    // For tests: whether the lock can be taken at once (nobody holds it).
    bool LockIsFree();

private:
    template <class Write>
    void Locked(Write write) {
        EnterCriticalSection(&lock_);
        if (!closed_) {
            write();
        }
        LeaveCriticalSection(&lock_);
    }

    InstallerContext* context_;  // not owned
    ReportSender* reportSender_; // not owned
    CRITICAL_SECTION lock_;
    bool closed_;
    std::wstring packagePath_;
    std::wstring startProgramPath_;
};

} // namespace downloadmanagercore
