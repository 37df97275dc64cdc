#include "tests/downloader/DownloadRecorders.h"

#include <gtest/gtest.h>

namespace testutil {

void HashRecorder::OnBlockHash(const uint8_t digest[20]) {
    downloader::ITask* cancel = nullptr;
    {
        Guard guard(lock_);
        NoteEvent('H');
        digests_.emplace_back(reinterpret_cast<const char*>(digest), 20);
        digestThreads_.push_back(GetCurrentThreadId());
        if (cancelTask_ != nullptr && digests_.size() == cancelAt_) {
            cancel = cancelTask_;
        }
    }
    if (cancel != nullptr) {
        cancel->Cancel();
    }
}

void HashRecorder::CancelAtDigest(downloader::ITask* task, size_t count) {
    Guard guard(lock_);
    cancelTask_ = task;
    cancelAt_ = count;
}

std::vector<std::string> HashRecorder::digests() const {
    Guard guard(lock_);
    return digests_;
}

std::vector<DWORD> HashRecorder::digestThreads() const {
    Guard guard(lock_);
    return digestThreads_;
}

DownloadRecorder::DownloadRecorder()
    : held_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      resume_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

DownloadRecorder::~DownloadRecorder() {
    CloseHandle(held_);
    CloseHandle(resume_);
}

void DownloadRecorder::OnVerifiedCompanion(const downloader::DownloadMeta& meta) {
    const int before = completions();
    Guard guard(lock_);
    companions_.push_back(meta);
    completionsBeforeCompanion_.push_back(before);
}

std::vector<downloader::DownloadMeta> DownloadRecorder::companions() const {
    Guard guard(lock_);
    return companions_;
}

std::vector<int> DownloadRecorder::completionsBeforeCompanion() const {
    Guard guard(lock_);
    return completionsBeforeCompanion_;
}

void DownloadRecorder::OnProgress(int64_t bytesDone, int64_t bytesTotal) {
    downloader::ITask* cancel = nullptr;
    bool hold = false;
    DWORD holdLimit = 0;
    {
        Guard guard(lock_);
        NoteEvent('P');
        progress_.emplace_back(bytesDone, bytesTotal);
        progressTimes_.push_back(GetTickCount());
        if (cancelTask_ != nullptr && progress_.size() == cancelAt_) {
            cancel = cancelTask_;
        }
        if (holdAt_ != 0 && progress_.size() == holdAt_) {
            hold = true;
            holdLimit = holdLimitMs_;
        }
    }
    if (cancel != nullptr) {
        cancel->Cancel();
    }
    if (hold) {
        SetEvent(held_);
        WaitForSingleObject(resume_, holdLimit);
    }
}

void DownloadRecorder::CancelAtProgress(downloader::ITask* task, size_t count) {
    Guard guard(lock_);
    cancelTask_ = task;
    cancelAt_ = count;
}

void DownloadRecorder::HoldAtProgress(size_t count, DWORD holdLimitMs) {
    Guard guard(lock_);
    holdAt_ = count;
    holdLimitMs_ = holdLimitMs;
}

bool DownloadRecorder::WaitHeld(DWORD timeoutMs) const {
    return WaitForSingleObject(held_, timeoutMs) == WAIT_OBJECT_0;
}

void DownloadRecorder::Resume() {
    SetEvent(resume_);
}

std::vector<std::pair<int64_t, int64_t>> DownloadRecorder::progress() const {
    Guard guard(lock_);
    return progress_;
}

std::vector<DWORD> DownloadRecorder::progressTimes() const {
    Guard guard(lock_);
    return progressTimes_;
}

bool DownloadRecorder::WaitForProgress(int64_t bytes, DWORD timeoutMs) const {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        {
            Guard guard(lock_);
            if (!progress_.empty() && progress_.back().first >= bytes) {
                return true;
            }
        }
        Sleep(5);
    }
    return false;
}

long RunDownload(const std::wstring& url, const std::wstring& path, DownloadRecorder* recorder,
                 const downloader::PackageKey* key) {
    Ref<downloader::ITask> task(
        downloader::CreateDownloadSimpleTask(url.c_str(), path.c_str(), recorder, key));
    if (!task) {
        ADD_FAILURE() << "no task";
        return S_FALSE;
    }
    task->Start();
    if (!recorder->WaitDone()) {
        ADD_FAILURE() << "the download did not end in time";
        task->Cancel();
        recorder->WaitDone();
        return S_FALSE;
    }
    EXPECT_EQ(1, recorder->completions());
    EXPECT_FALSE(recorder->eventAfterComplete());
    EXPECT_TRUE(WaitForRefCount(recorder, 1)) << "the task kept its callback";
    return recorder->result();
}

} // namespace testutil
