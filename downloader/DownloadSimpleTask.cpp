#include "downloader/DownloadSimpleTask.h"

#include "base/PlainFile.h"

#include "downloader/BlockHashPipeline.h"
#include "downloader/HashTask.h"
#include "downloader/HttpToFileTask.h"
#include "downloader/HttpToMemTask.h"
#include "downloader/Object.h"
#include "downloader/SubTask.h"
#include "downloader/TaskLock.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

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

static_assert(kErrorNotPlainFile == static_cast<long>(0x80070000UL | kNotPlainFileError),
              "the refusal of a link reads as the open's error");

namespace {

class DownloadSimpleTask : public ITask, public TaskLock<DownloadSimpleTask, long> {
public:
    DownloadSimpleTask(const wchar_t* url, const wchar_t* filePath, IDownloadCallback* callback,
                       const PackageKey* companionKey)
        : url_(url), filePath_(filePath), callback_(callback), signed_(companionKey != nullptr) {
        callback_->AddRef();
        if (companionKey != nullptr) {
            companionKey_ = *companionKey;
        }
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
    // A fetch into memory (the companion, its signature) ends in the handler
    // named by the template argument.
    template <void (DownloadSimpleTask::*Handler)(HttpToMemResult&&)>
    class FetchCallback : public ITaskCallback<HttpToMemResult&&> {
    public:
        explicit FetchCallback(DownloadSimpleTask* owner) : owner_(owner) {}
        void OnComplete(HttpToMemResult&& outcome) override {
            (owner_->*Handler)(std::move(outcome));
        }

    protected:
        ~FetchCallback() = default;

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
        void OnWritten(int64_t offset, const void* bytes, int64_t count) override {
            owner_->OnWritten(offset, static_cast<const uint8_t*>(bytes), count);
        }

    protected:
        ~DownloadFileCallback() = default;

    private:
        DownloadSimpleTask* owner_;
    };

    void OnClosed() { subTask_.CancelAndRelease(); }

    void OnMetaComplete(HttpToMemResult&& outcome);
    void OnSignatureComplete(HttpToMemResult&& outcome);
    using DownloadMetaCallback = FetchCallback<&DownloadSimpleTask::OnMetaComplete>;
    using SignatureCallback = FetchCallback<&DownloadSimpleTask::OnSignatureComplete>;
    // Parses the (verified) companion, opens and sizes the file and starts
    // the first verification pass; finishes on failure.
    void UseCompanion(const void* data, size_t size);
    void OnBlockHash(const uint8_t digest[20]);
    void OnHashComplete(HashResult outcome);
    void OnWritten(int64_t offset, const uint8_t* bytes, int64_t count);
    void OnFileComplete(long result);

    // Verification on arrival: the blocks of a download pass are hashed
    // from the bytes just written while the next ones arrive.
    void HashOnArrival(int64_t offset, const uint8_t* bytes, int64_t count);
    void SubmitArrivedBlock();
    void CollectArrivedBlock();
    void EndArrivalHashing();
    // After a pass has verified what it could: done, or the next pass.
    void AfterVerification();

    bool OpenPackageFile();
    bool StartSignatureFetch();
    bool SeekTo(int64_t offset);
    bool StartVerify();
    bool StartFileDownload();
    // Starts `task` as the running step; false (closed with E_OUTOFMEMORY)
    // when it could not be made.
    bool RunSubTask(ITask* task);
    // Runs StartSignatureFetch, StartVerify or StartFileDownload from inside
    // a handler: leaves when the step started, finishes when it did not.
    void Continue(bool (DownloadSimpleTask::*start)());
    void Finish();

    int64_t BlockOffset() const { return static_cast<int64_t>(blockIndex_) * kHashBlockSize; }
    uint32_t BlockSize(uint32_t block) const {
        const int64_t start = static_cast<int64_t>(block) * kHashBlockSize;
        return static_cast<uint32_t>(std::min<int64_t>(kHashBlockSize, bytesTotal_ - start));
    }
    uint32_t BlockCount() const { return static_cast<uint32_t>(meta_.blockDigests.size()); }

    std::wstring url_;
    std::wstring filePath_;
    IDownloadCallback* callback_;
    // With a key the companion must carry its signature; its bytes are kept
    // until the signature has verified them.
    bool signed_;
    PackageKey companionKey_;
    std::vector<uint8_t> companion_;
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
    // Passes started over from byte 0 (see kErrorRangeIgnored).
    int restarts_ = 0;
    // The download pass's arriving blocks: null when they are not hashed
    // (no memory for them, or the bytes stopped following on).
    std::unique_ptr<BlockHashPipeline> arrival_;
    int64_t arrivalNext_ = 0;      // offset the next arriving byte must have
    uint32_t arrivalBlock_ = 0;    // the block being filled
    uint32_t arrivalFilled_ = 0;   // bytes of it in the pipeline's next buffer
    bool arrivalMismatch_ = false; // a block arrived that is not the package's
};

// Blocks the verification on arrival holds in memory at once: one filling
// while the others hash.
constexpr int kArrivalSlots = 2;

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
    if (!signed_) {
        UseCompanion(outcome.data, outcome.size);
        return;
    }
    // Nothing of the companion is used before its signature verifies.
    try {
        const uint8_t* bytes = static_cast<const uint8_t*>(outcome.data);
        companion_.assign(bytes, bytes + outcome.size);
    } catch (const std::bad_alloc&) {
        Close(E_OUTOFMEMORY);
        Finish();
        return;
    }
    subTask_.Release();
    Continue(&DownloadSimpleTask::StartSignatureFetch);
}

bool DownloadSimpleTask::StartSignatureFetch() {
    details::Object<SignatureCallback>* signatureCallback =
        details::Object<SignatureCallback>::Create(this);
    ITask* task = nullptr;
    if (signatureCallback != nullptr) {
        try {
            const std::wstring signatureUrl = url_ + L".meta.sig";
            task = CreateHttpToMemTask(signatureUrl.c_str(), signatureCallback,
                                       kMaxSignatureFetchBytes);
        } catch (const std::bad_alloc&) {
            task = nullptr;
        }
        signatureCallback->Release();
    }
    return RunSubTask(task);
}

void DownloadSimpleTask::OnSignatureComplete(HttpToMemResult&& outcome) {
    if (!TryEnter()) {
        Finish();
        return;
    }
    long verified = outcome.result;
    if (verified == kErrorResourceNotFound || verified == kErrorResourceTooLarge) {
        // No signature, or an answer too long to be one: the companion is
        // not the vendor's. Other failures of the request may pass.
        verified = kErrorBadSignature;
    } else if (verified >= 0) {
        verified = VerifyCompanionSignature(companionKey_, companion_.data(), companion_.size(),
                                            outcome.data, outcome.size);
    }
    if (verified != S_OK) {
        Close(verified);
        Finish();
        return;
    }
    subTask_.Release();
    std::vector<uint8_t> companion;
    companion.swap(companion_);
    UseCompanion(companion.data(), companion.size());
}

void DownloadSimpleTask::UseCompanion(const void* data, size_t size) {
    const long parsed = ParseDownloadMeta(data, size, meta_);
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
    // Not shared, and the name as it is: a link or a second name planted
    // there beforehand is refused, never written through.
    file_ = OpenPlainFile(filePath_, GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL);
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
    return RunSubTask(task);
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
    subTask_.Release();
    AfterVerification();
}

void DownloadSimpleTask::AfterVerification() {
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
    // Without memory for it the pass goes on; its blocks are read back after it.
    arrival_.reset(new (std::nothrow) BlockHashPipeline);
    if (arrival_ && !arrival_->Init(kArrivalSlots, kHashBlockSize)) {
        arrival_.reset();
    }
    arrivalNext_ = offset;
    arrivalBlock_ = blockIndex_;
    arrivalFilled_ = 0;
    arrivalMismatch_ = false;
    details::Object<DownloadFileCallback>* fileCallback =
        details::Object<DownloadFileCallback>::Create(this);
    ITask* task = nullptr;
    if (fileCallback != nullptr) {
        task =
            CreateHttpToFileTask(url_.c_str(), file_, offset, bytesTotal_ - offset, fileCallback);
        fileCallback->Release();
    }
    return RunSubTask(task);
}

void DownloadSimpleTask::OnWritten(int64_t offset, const uint8_t* bytes, int64_t count) {
    bytesDone_ = offset + count;
    callback_->OnProgress(bytesDone_, bytesTotal_);
    HashOnArrival(offset, bytes, count);
}

// Runs on the thread of the download pass, one write after the other. A
// block counts as verified only when all its bytes were written and its
// digest matches; the first one that does not ends the pass's request.
void DownloadSimpleTask::HashOnArrival(int64_t offset, const uint8_t* bytes, int64_t count) {
    if (!arrival_ || arrivalMismatch_) {
        return;
    }
    if (offset != arrivalNext_) {
        // Bytes that do not follow on (not expected of the pass's request):
        // what was not hashed yet is read back after the pass.
        EndArrivalHashing();
        arrival_.reset();
        return;
    }
    arrivalNext_ = offset + count;
    while (count > 0 && arrivalBlock_ < BlockCount()) {
        const uint32_t want = BlockSize(arrivalBlock_) - arrivalFilled_;
        const uint32_t take = static_cast<uint32_t>(std::min<int64_t>(want, count));
        std::memcpy(arrival_->NextBuffer() + arrivalFilled_, bytes, take);
        arrivalFilled_ += take;
        bytes += take;
        count -= take;
        if (arrivalFilled_ == BlockSize(arrivalBlock_)) {
            SubmitArrivedBlock();
            if (arrivalMismatch_) {
                return;
            }
        }
    }
}

void DownloadSimpleTask::SubmitArrivedBlock() {
    arrival_->Submit(arrivalBlock_, arrivalFilled_);
    ++arrivalBlock_;
    arrivalFilled_ = 0;
    // The next block needs a free buffer.
    if (arrival_->Full()) {
        CollectArrivedBlock();
    }
}

void DownloadSimpleTask::CollectArrivedBlock() {
    const BlockHashPipeline::Digest digest = arrival_->CollectOldest();
    if (arrivalMismatch_ || digest.block != blockIndex_) {
        return; // after a mismatch, later blocks count for nothing
    }
    if (!digest.ok) {
        // CryptoAPI failed here; the pass after the download reads this
        // block back and gives the verification's own result. Later blocks
        // count for nothing (blockIndex stays), so no more are hashed.
        arrivalNext_ = -1;
        return;
    }
    if (std::memcmp(digest.bytes, meta_.blockDigests[digest.block].data(), 20) != 0) {
        arrivalMismatch_ = true;
        // The rest of this request cannot make the file right: the repair
        // starts at this block now. The pass's task lives while it calls us.
        if (ITask* task = subTask_.Peek()) {
            task->Cancel();
        }
        return;
    }
    ++blockIndex_;
}

// Waits for the blocks still hashing; a block that arrived only in part is
// left to the pass after the download.
void DownloadSimpleTask::EndArrivalHashing() {
    if (!arrival_) {
        return;
    }
    while (!arrival_->Empty()) {
        CollectArrivedBlock();
    }
}

void DownloadSimpleTask::OnFileComplete(long result) {
    if (!TryEnter()) {
        Finish();
        return;
    }
    EndArrivalHashing();
    arrival_.reset();
    if (result == kErrorRangeIgnored && !arrivalMismatch_) {
        // A proxy or server that ignores ranges (or a package replaced on the
        // server): only a transfer from byte 0 can bring the file right, and
        // every block is verified again as it arrives. Bounded, as a server
        // that answers each continuation with the whole package would
        // otherwise start over for ever.
        subTask_.Release();
        if (++restarts_ > kMaxRestarts) {
            Close(kErrorNoProgress);
            Finish();
            return;
        }
        blockIndex_ = 0;
        Continue(&DownloadSimpleTask::StartFileDownload);
        return;
    }
    // A request that this task ended for a block that arrived wrong is no failure.
    if (result < 0 && !arrivalMismatch_) {
        Close(result);
        Finish();
        return;
    }
    subTask_.Release();
    if (arrivalMismatch_) {
        // blockIndex is the first block that arrived wrong: no need to read it back.
        AfterVerification();
        return;
    }
    // Blocks verified on arrival are not read again; the next pass checks
    // the rest, from the first block not verified to the end of the file.
    if (blockIndex_ >= BlockCount()) {
        AfterVerification();
        return;
    }
    Continue(&DownloadSimpleTask::StartVerify);
}

bool DownloadSimpleTask::RunSubTask(ITask* task) {
    if (task == nullptr) {
        Close(E_OUTOFMEMORY);
        return false;
    }
    subTask_.Set(task);
    task->Start();
    return true;
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
    arrival_.reset(); // its threads and buffers go with the task's end, not its last reference
    if (file_ != INVALID_HANDLE_VALUE) {
        CloseHandle(file_);
        file_ = INVALID_HANDLE_VALUE;
    }
    IDownloadCallback* callback = callback_;
    callback_ = nullptr;
    if (result_ == S_OK) {
        callback->OnVerifiedCompanion(meta_);
    }
    callback->OnComplete(result_);
    callback->Release();
    Release(); // the reference taken by Start; nothing of this is touched after it
}

} // namespace

ITask* CreateDownloadSimpleTask(const wchar_t* url, const wchar_t* filePath,
                                IDownloadCallback* callback, const PackageKey* companionKey) {
    if (callback == nullptr) {
        return nullptr;
    }
    return details::Object<DownloadSimpleTask>::Create(
        url != nullptr ? url : L"", filePath != nullptr ? filePath : L"", callback, companionKey);
}

} // namespace downloader
