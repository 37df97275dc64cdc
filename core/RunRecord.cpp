#include "core/RunRecord.h"

#include "base/InstallerContext.h"
#include "telemetry/ReportSender.h"

namespace downloadmanagercore {

RunRecord::RunRecord(InstallerContext* context, ReportSender* reportSender)
    : context_(context), reportSender_(reportSender), closed_(false) {
    InitializeCriticalSection(&lock_);
}

RunRecord::~RunRecord() {
    DeleteCriticalSection(&lock_);
}

void RunRecord::SetProperty(const std::wstring& name, const std::wstring& value) {
    if (context_) {
        Locked([&] { context_->properties[name] = value; });
    }
}

std::wstring RunRecord::GetProperty(const std::wstring& name) {
    std::wstring value;
    if (!context_) {
        return value;
    }
    EnterCriticalSection(&lock_);
    if (!closed_) {
        value = context_->properties[name];
    } else {
        // The closed record is being read by the run's end: no new names.
        const auto found = context_->properties.find(name);
        if (found != context_->properties.end()) {
            value = found->second;
        }
    }
    LeaveCriticalSection(&lock_);
    return value;
}

void RunRecord::SetNumber(const std::wstring& name, int value) {
    SetProperty(name, std::to_wstring(value));
}

void RunRecord::SetFailure(int stage, int code) {
    if (context_) {
        Locked([&] {
            context_->failureStage = stage;
            context_->failureCode = code;
        });
    }
}

void RunRecord::SetProductVersion(const std::wstring& version) {
    if (context_) {
        Locked([&] { context_->productVersion = version; });
    }
}

void RunRecord::AddAttachment(const std::wstring& path) {
    if (reportSender_) {
        Locked([&] { reportSender_->attachments.push_back(path); });
    }
}

void RunRecord::SetChannel(const std::wstring& channel) {
    if (context_) {
        Locked([&] { context_->channel = channel; });
    }
}

void RunRecord::SetInstallStatus(int status) {
    if (context_) {
        Locked([&] { context_->installStatus = status; });
    }
}

void RunRecord::SetPackagePath(const std::wstring& path) {
    Locked([&] { packagePath_ = path; });
}

std::wstring RunRecord::PackagePath() {
    EnterCriticalSection(&lock_);
    std::wstring path = packagePath_;
    LeaveCriticalSection(&lock_);
    return path;
}

void RunRecord::SetStartProgramPath(const std::wstring& path) {
    Locked([&] { startProgramPath_ = path; });
}

std::wstring RunRecord::StartProgramPath() {
    EnterCriticalSection(&lock_);
    std::wstring path = startProgramPath_;
    LeaveCriticalSection(&lock_);
    return path;
}

void RunRecord::Close() {
    EnterCriticalSection(&lock_);
    closed_ = true;
    LeaveCriticalSection(&lock_);
}

bool RunRecord::IsClosed() {
    EnterCriticalSection(&lock_);
    const bool closed = closed_;
    LeaveCriticalSection(&lock_);
    return closed;
}

bool RunRecord::LockIsFree() {
    if (!TryEnterCriticalSection(&lock_)) {
        return false;
    }
    LeaveCriticalSection(&lock_);
    return true;
}

} // namespace downloadmanagercore
