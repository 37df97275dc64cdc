#pragma once

// Recorders for the hash task and the verified download, in the manner of
// Recorders.h: events may arrive on any thread, the records are read on the
// test thread.

#include "downloader/DownloadSimpleTask.h"
#include "tests/downloader/Recorders.h"

#include <string>
#include <utility>
#include <vector>

namespace testutil {

class HashRecorder : public downloader::IHashCallback, public RecorderBase {
public:
    void OnComplete(downloader::HashResult outcome) override {
        NoteComplete(static_cast<long>(outcome));
    }
    void OnBlockHash(const uint8_t digest[20]) override;

    // Cancels `task` from inside the OnBlockHash that reports digest number
    // `count` (1 = the first).
    void CancelAtDigest(downloader::ITask* task, size_t count);

    downloader::HashResult outcome() const { return static_cast<downloader::HashResult>(result()); }
    // The digests in order, each as 20 raw bytes.
    std::vector<std::string> digests() const;
    std::vector<DWORD> digestThreads() const;

protected:
    ~HashRecorder() = default;

private:
    std::vector<std::string> digests_;
    std::vector<DWORD> digestThreads_;
    downloader::ITask* cancelTask_ = nullptr;
    size_t cancelAt_ = 0;
};

class DownloadRecorder : public downloader::IDownloadCallback, public RecorderBase {
public:
    void OnComplete(long result) override { NoteComplete(result); }
    void OnProgress(int64_t bytesDone, int64_t bytesTotal) override;
    void OnVerifiedCompanion(const downloader::DownloadMeta& meta) override;

    // The companions handed over, and how many completions came before each.
    std::vector<downloader::DownloadMeta> companions() const;
    std::vector<int> completionsBeforeCompanion() const;

    // From inside progress report number `count` (1 = the first): cancel
    // `task` there (cancelThere), or hold the reporting thread until the test
    // calls Resume (at most holdLimitMs), after signalling held().
    void CancelAtProgress(downloader::ITask* task, size_t count);
    void HoldAtProgress(size_t count, DWORD holdLimitMs = kTaskTimeoutMs);
    bool WaitHeld(DWORD timeoutMs = kTaskTimeoutMs) const;
    void Resume();

    std::vector<std::pair<int64_t, int64_t>> progress() const;
    // GetTickCount at each progress report, in the same order.
    std::vector<DWORD> progressTimes() const;
    // Signalled once a progress report has bytesDone of at least `bytes`.
    bool WaitForProgress(int64_t bytes, DWORD timeoutMs = kTaskTimeoutMs) const;

    DownloadRecorder();
    DownloadRecorder(const DownloadRecorder&) = delete;
    DownloadRecorder& operator=(const DownloadRecorder&) = delete;

protected:
    ~DownloadRecorder();

private:
    std::vector<std::pair<int64_t, int64_t>> progress_;
    std::vector<DWORD> progressTimes_;
    std::vector<downloader::DownloadMeta> companions_;
    std::vector<int> completionsBeforeCompanion_;
    downloader::ITask* cancelTask_ = nullptr;
    size_t cancelAt_ = 0;
    size_t holdAt_ = 0;
    DWORD holdLimitMs_ = 0;
    HANDLE held_;
    HANDLE resume_;
};

// Creates the verified download of `url` into `path` (with `key` checking
// the companion's signature, when given), runs it to its end and returns its
// result, checking that it completed once, reported nothing after that and
// let go of its callback; S_FALSE (and a test failure) when it could not be
// made or did not end in time.
long RunDownload(const std::wstring& url, const std::wstring& path, DownloadRecorder* recorder,
                 const downloader::PackageKey* key = nullptr);

} // namespace testutil
