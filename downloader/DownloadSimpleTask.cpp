#include "downloader/DownloadSimpleTask.h"

#include "downloader/HashTask.h"
#include "downloader/HttpToFileTask.h"
#include "downloader/HttpToMemTask.h"
#include "downloader/Object.h"
#include "downloader/SubTask.h"
#include "downloader/TaskLock.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

namespace downloader {

int64_t MetaBlockCount(int64_t fileSize, uint64_t length) {
    if (fileSize < 0) {
        return -1;
    }
    // ceil(fileSize / 1 MiB) without the overflow of adding first.
    const int64_t blocks = (fileSize >> 20) + ((fileSize & (kHashBlockSize - 1)) != 0 ? 1 : 0);
    if (blocks >= kMaxMetaBlocks) {
        return -1;
    }
    if (length != 8 + 20 * static_cast<uint64_t>(blocks)) {
        return -1;
    }
    return blocks;
}

long ParseDownloadMeta(const void* data, size_t length, DownloadMeta& meta) {
    if (data == nullptr || length < 8) {
        return E_FAIL;
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    uint64_t size = 0;
    for (int i = 7; i >= 0; --i) {
        size = (size << 8) | bytes[i];
    }
    const int64_t fileSize = static_cast<int64_t>(size);
    const int64_t blocks = MetaBlockCount(fileSize, length);
    if (blocks < 0) {
        return E_FAIL;
    }
    try {
        meta.blockDigests.resize(static_cast<size_t>(blocks));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    for (size_t i = 0; i < meta.blockDigests.size(); ++i) {
        std::memcpy(meta.blockDigests[i].data(), bytes + 8 + 20 * i, 20);
    }
    meta.fileSize = fileSize;
    return S_OK;
}

namespace {

long HResultFromLastError() {
    const DWORD error = GetLastError();
    return error != 0 ? HResultFromWin32(error) : E_FAIL;
}

class DownloadSimpleTask : public ITask, public TaskLock<DownloadSimpleTask, long> {
public:
    DownloadSimpleTask(const wchar_t* url, const wchar_t* filePath, IDownloadCallback* callback)
        : url_(url), filePath_(filePath), callback_(callback) {
        callback_->AddRef();
    }

    void Start() override;
    void Cancel() override { Close(E_ABORT); }

protected:
    ~DownloadSimpleTask() {
        // Only a task that never ran still holds its callback.
        if (callback_ != nullptr) {
            callback_->Release();
        }
    }

private:
    friend class TaskLock<DownloadSimpleTask, long>;

    // The nested callbacks hold no reference to the owner, which keeps
    // itself alive while it runs; each forwards to the handler of its name.
    class DownloadMetaCallback : public ITaskCallback<HttpToMemResult&&> {
    public:
        explicit DownloadMetaCallback(DownloadSimpleTask* owner) : owner_(owner) {}
        void OnComplete(HttpToMemResult&& outcome) override {
            owner_->OnMetaComplete(std::move(outcome));
        }

    protected:
        ~DownloadMetaCallback() = default;

    private:
        DownloadSimpleTask* owner_;
    };

    class HashCallback : public IHashCallback {
    public:
        explicit HashCallback(DownloadSimpleTask* owner) : owner_(owner) {}
        void OnComplete(HashResult outcome) override { owner_->OnHashComplete(outcome); }
        void OnBlockHash(const uint8_t digest[20]) override { owner_->OnBlockHash(digest); }

    protected:
        ~HashCallback() = default;

    private:
        DownloadSimpleTask* owner_;
    };

    class DownloadFileCallback : public IHttpToFileCallback {
    public:
        explicit DownloadFileCallback(DownloadSimpleTask* owner) : owner_(owner) {}
        void OnComplete(long result) override { owner_->OnFileComplete(result); }
        void OnWritten(int64_t offset, int64_t count) override { owner_->OnWritten(offset, count); }

    protected:
        ~DownloadFileCallback() = default;

    private:
        DownloadSimpleTask* owner_;
    };

    void OnClosed() { subTask_.CancelAndRelease(); }

    void OnMetaComplete(HttpToMemResult&& outcome);
    void OnBlockHash(const uint8_t digest[20]);
    void OnHashComplete(HashResult outcome);
    void OnWritten(int64_t offset, int64_t count);
    void OnFileComplete(long result);

    bool OpenPackageFile();
    bool SeekTo(int64_t offset);
    bool StartVerify();
    bool StartFileDownload();
    // Runs StartVerify or StartFileDownload from inside a handler: leaves
    // when the pass started, finishes when it did not.
    void Continue(bool (DownloadSimpleTask::*start)());
    void Finish();

    int64_t BlockOffset() const { return static_cast<int64_t>(blockIndex_) * kHashBlockSize; }
    uint32_t BlockCount() const { return static_cast<uint32_t>(meta_.blockDigests.size()); }

    std::wstring url_;
    std::wstring filePath_;
    IDownloadCallback* callback_;
    SubTaskSlot subTask_;
    long result_ = S_OK;
    DownloadMeta meta_;
    HANDLE file_ = INVALID_HANDLE_VALUE;
    uint32_t blockIndex_ = 0;
    int64_t bytesDone_ = 0;
    int64_t bytesTotal_ = 0;
    // The bound on download passes that bring no block further.
    int downloadPasses_ = 0;
    uint32_t passStartBlock_ = 0;
    int passesWithoutProgress_ = 0;
};

void DownloadSimpleTask::Start() {
    if (!BeginStart()) {
        return;
    }
    AddRef(); // until Finish
    AddRef(); // keeps this alive until Leave, should the companion arrive at once
    details::Object<DownloadMetaCallback>* metaCallback =
        details::Object<DownloadMetaCallback>::Create(this);
    ITask* task = nullptr;
    if (metaCallback != nullptr) {
        try {
            const std::wstring metaUrl = url_ + L".meta";
            task = CreateHttpToMemTask(metaUrl.c_str(), metaCallback, kMaxCompanionBytes);
        } catch (const std::bad_alloc&) {
            task = nullptr;
        }
        metaCallback->Release();
    }
    if (task == nullptr) {
        Close(E_OUTOFMEMORY);
        Finish();
    } else {
        subTask_.Set(task);
        task->Start();
        Leave();
    }
    Release();
}

void DownloadSimpleTask::OnMetaComplete(HttpToMemResult&& outcome) {
    if (!TryEnter()) {
        Finish();
        return;
    }
    if (outcome.result < 0) {
        // A companion too long for any package accepted is malformed.
        Close(outcome.result == kErrorResourceTooLarge ? E_FAIL : outcome.result);
        Finish();
        return;
    }
    const long parsed = ParseDownloadMeta(outcome.data, outcome.size, meta_);
    if (parsed != S_OK) {
        Close(parsed);
        Finish();
        return;
    }
    bytesTotal_ = meta_.fileSize;
    bytesDone_ = 0;
    callback_->OnProgress(bytesDone_, bytesTotal_);
    if (!OpenPackageFile()) {
        Finish();
        return;
    }
    blockIndex_ = 0;
    // The digests are copied; the companion's buffer goes with its task.
    subTask_.Release();
    Continue(&DownloadSimpleTask::StartVerify);
}

bool DownloadSimpleTask::OpenPackageFile() {
    // Sizing the file takes the room at once (or, sparse, promises it): the
    // disk must hold what the package still needs first.
    WIN32_FILE_ATTRIBUTE_DATA existing = {};
    int64_t present = 0;
    if (GetFileAttributesExW(filePath_.c_str(), GetFileExInfoStandard, &existing)) {
        present = (static_cast<int64_t>(existing.nFileSizeHigh) << 32) | existing.nFileSizeLow;
    }
    const size_t slash = filePath_.find_last_of(L"\\/");
    const std::wstring folder = slash == std::wstring::npos ? L"." : filePath_.substr(0, slash + 1);
    ULARGE_INTEGER available = {};
    if (meta_.fileSize > present &&
        GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr) &&
        available.QuadPart < static_cast<uint64_t>(meta_.fileSize - present)) {
        Close(HRESULT_FROM_WIN32(ERROR_DISK_FULL));
        return false;
    }
    file_ = CreateFileW(filePath_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file_ == INVALID_HANDLE_VALUE) {
        Close(HResultFromLastError());
        return false;
    }
    // Exactly the package's size: a longer file is cut, a shorter one extended.
    if (!SeekTo(meta_.fileSize) || !SetEndOfFile(file_)) {
        const long error = HResultFromLastError();
        CloseHandle(file_);
        file_ = INVALID_HANDLE_VALUE;
        Close(error);
        return false;
    }
    return true;
}

bool DownloadSimpleTask::SeekTo(int64_t offset) {
    LARGE_INTEGER to;
    to.QuadPart = offset;
    return SetFilePointerEx(file_, to, nullptr, FILE_BEGIN) != FALSE;
}

bool DownloadSimpleTask::StartVerify() {
    if (!SeekTo(BlockOffset())) {
        Close(HResultFromLastError());
        return false;
    }
    details::Object<HashCallback>* hashCallback = details::Object<HashCallback>::Create(this);
    ITask* task = nullptr;
    if (hashCallback != nullptr) {
        task = CreateHashTask(file_, hashCallback);
        hashCallback->Release();
    }
    if (task == nullptr) {
        Close(E_OUTOFMEMORY);
        return false;
    }
    subTask_.Set(task);
    task->Start();
    return true;
}

void DownloadSimpleTask::OnBlockHash(const uint8_t digest[20]) {
    if (blockIndex_ >= BlockCount()) {
        Close(E_FAIL); // the file holds more blocks than the companion lists
        return;
    }
    if (std::memcmp(digest, meta_.blockDigests[blockIndex_].data(), 20) != 0) {
        // The pass stops here; the download pass starts at this block. The
        // hash task lives while it calls us, whoever holds the reference.
        if (ITask* task = subTask_.Peek()) {
            task->Cancel();
        }
        return;
    }
    ++blockIndex_;
    bytesDone_ = std::max(bytesDone_, std::min(BlockOffset(), bytesTotal_));
    callback_->OnProgress(bytesDone_, bytesTotal_);
}

void DownloadSimpleTask::OnHashComplete(HashResult outcome) {
    if (!TryEnter()) {
        Finish();
        return;
    }
    if (outcome == HashResult::Failed) {
        Close(kVerifyFailed);
        Finish();
        return;
    }
    // Completed and Stopped alike: only the verified blocks decide.
    if (blockIndex_ >= BlockCount()) {
        Close(S_OK);
        Finish();
        return;
    }
    if (downloadPasses_ > 0) {
        if (blockIndex_ > passStartBlock_) {
            passesWithoutProgress_ = 0;
        } else if (++passesWithoutProgress_ >= kMaxPassesWithoutProgress) {
            Close(kErrorDataMismatch);
            Finish();
            return;
        }
    }
    subTask_.Release();
    Continue(&DownloadSimpleTask::StartFileDownload);
}

bool DownloadSimpleTask::StartFileDownload() {
    const int64_t offset = BlockOffset();
    if (!SeekTo(offset)) {
        Close(HResultFromLastError());
        return false;
    }
    bytesDone_ = offset;
    callback_->OnProgress(bytesDone_, bytesTotal_);
    ++downloadPasses_;
    passStartBlock_ = blockIndex_;
    details::Object<DownloadFileCallback>* fileCallback =
        details::Object<DownloadFileCallback>::Create(this);
    ITask* task = nullptr;
    if (fileCallback != nullptr) {
        task =
            CreateHttpToFileTask(url_.c_str(), file_, offset, bytesTotal_ - offset, fileCallback);
        fileCallback->Release();
    }
    if (task == nullptr) {
        Close(E_OUTOFMEMORY);
        return false;
    }
    subTask_.Set(task);
    task->Start();
    return true;
}

void DownloadSimpleTask::OnWritten(int64_t offset, int64_t count) {
    bytesDone_ = offset + count;
    callback_->OnProgress(bytesDone_, bytesTotal_);
}

void DownloadSimpleTask::OnFileComplete(long result) {
    if (!TryEnter()) {
        Finish();
        return;
    }
    if (result < 0) {
        Close(result);
        Finish();
        return;
    }
    // blockIndex has not moved: the next pass checks again from the first
    // bad block, through the new data, to the end of the file.
    subTask_.Release();
    Continue(&DownloadSimpleTask::StartVerify);
}

void DownloadSimpleTask::Continue(bool (DownloadSimpleTask::*start)()) {
    AddRef(); // keeps this alive until Leave, should the pass end at once
    if ((this->*start)()) {
        Leave();
    } else {
        Finish();
    }
    Release();
}

void DownloadSimpleTask::Finish() {
    subTask_.Release();
    if (file_ != INVALID_HANDLE_VALUE) {
        CloseHandle(file_);
        file_ = INVALID_HANDLE_VALUE;
    }
    IDownloadCallback* callback = callback_;
    callback_ = nullptr;
    callback->OnComplete(result_);
    callback->Release();
    Release(); // the reference taken by Start; nothing of this is touched after it
}

} // namespace

ITask* CreateDownloadSimpleTask(const wchar_t* url, const wchar_t* filePath,
                                IDownloadCallback* callback) {
    if (callback == nullptr) {
        return nullptr;
    }
    return details::Object<DownloadSimpleTask>::Create(
        url != nullptr ? url : L"", filePath != nullptr ? filePath : L"", callback);
}

} // namespace downloader
