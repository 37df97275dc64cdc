#include "downloader/HashTask.h"

#include "downloader/BlockHashPipeline.h"
#include "downloader/Object.h"

#include <wincrypt.h>

#include <atomic>
#include <new>

namespace downloader {

namespace {

class HashTask : public ITask {
public:
    HashTask(HANDLE file, IHashCallback* callback) : file_(file), callback_(callback) {
        callback_->AddRef();
    }

    void Start() override;
    void Cancel() override {
        LONG running = kRunning;
        state_.compare_exchange_strong(running, kStopRequested);
    }

protected:
    ~HashTask() {
        // Only a task that never ran still holds its callback.
        if (callback_ != nullptr) {
            callback_->Release();
        }
    }

private:
    static constexpr LONG kIdle = 0;
    static constexpr LONG kRunning = 1;
    static constexpr LONG kStopRequested = 2;

    static DWORD WINAPI Worker(void* context);
    HashResult Run();
    // Fills the buffer from the file: a whole block, or what is left of the
    // file. False when a read fails.
    bool ReadBlock(uint8_t* buffer, DWORD& got);
    void Finish(HashResult outcome);

    HANDLE file_;
    IHashCallback* callback_;
    std::atomic<LONG> state_{kIdle};
};

void HashTask::Start() {
    LONG idle = kIdle;
    if (!state_.compare_exchange_strong(idle, kRunning)) {
        return; // started before
    }
    AddRef(); // until Finish
    if (!QueueUserWorkItem(&HashTask::Worker, this, WT_EXECUTELONGFUNCTION)) {
        Finish(HashResult::Failed);
    }
}

DWORD WINAPI HashTask::Worker(void* context) {
    HashTask* task = static_cast<HashTask*>(context);
    task->Finish(task->Run());
    return 0;
}

HashResult HashTask::Run() {
    BlockHashPipeline pipeline;
    if (!pipeline.Init(kHashTaskSlots, kHashBlockSize)) {
        return HashResult::Failed;
    }
    // Where the blocks start: a stopped task leaves the file's position at
    // the end of the last block it reported, not where its reading ahead got.
    LARGE_INTEGER start = {};
    LARGE_INTEGER zero = {};
    if (!SetFilePointerEx(file_, zero, &start, FILE_CURRENT)) {
        return HashResult::Failed;
    }
    int64_t reported = 0;
    HashResult outcome = HashResult::Completed;
    bool readAll = false;
    bool readFailed = false;
    uint32_t block = 0;
    // Each round reads one block ahead, or reports the oldest one hashed.
    // The pipeline waits for the blocks still hashing when it goes.
    for (;;) {
        if (state_.load() == kStopRequested) {
            outcome = HashResult::Stopped;
            LARGE_INTEGER back;
            back.QuadPart = start.QuadPart + reported;
            SetFilePointerEx(file_, back, nullptr, FILE_BEGIN);
            break;
        }
        if (!readAll && !pipeline.Full()) {
            DWORD got = 0;
            // A failed read ends the reading; the blocks before it are still
            // reported, as when each block was read just before its hashing.
            readFailed = !ReadBlock(pipeline.NextBuffer(), got);
            readAll = readFailed || got == 0;
            if (got != 0 && !readFailed) {
                pipeline.Submit(block++, got);
            }
            continue;
        }
        if (pipeline.Empty()) {
            if (readFailed) {
                outcome = HashResult::Failed;
            }
            break; // otherwise every block reported: Completed
        }
        const BlockHashPipeline::Digest digest = pipeline.CollectOldest();
        if (!digest.ok) {
            outcome = HashResult::Failed;
            break;
        }
        reported += digest.size;
        callback_->OnBlockHash(digest.bytes);
    }
    return outcome;
}

bool HashTask::ReadBlock(uint8_t* buffer, DWORD& got) {
    // A file read returns the whole count unless the file ends; should one
    // return less anyway, read on, so that blocks stay aligned to 1 MiB.
    got = 0;
    while (got < kHashBlockSize) {
        DWORD part = 0;
        if (!ReadFile(file_, buffer + got, kHashBlockSize - got, &part, nullptr)) {
            return false;
        }
        if (part == 0) {
            break;
        }
        got += part;
    }
    return true;
}

void HashTask::Finish(HashResult outcome) {
    IHashCallback* callback = callback_;
    callback_ = nullptr;
    callback->OnComplete(outcome);
    callback->Release();
    Release(); // the reference taken by Start; nothing of this is touched after it
}

} // namespace

ITask* CreateHashTask(HANDLE file, IHashCallback* callback) {
    if (callback == nullptr) {
        return nullptr;
    }
    return details::Object<HashTask>::Create(file, callback);
}

} // namespace downloader
