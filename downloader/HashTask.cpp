#include "downloader/HashTask.h"

#include "downloader/Object.h"

#include <wincrypt.h>

#include <atomic>
#include <new>

namespace downloader {

namespace {

// One CryptoAPI provider context, acquired for the first digest, and a
// fresh hash object for each digest.
class Sha1Hasher {
public:
    Sha1Hasher() = default;
    ~Sha1Hasher() {
        if (provider_ != 0) {
            CryptReleaseContext(provider_, 0);
        }
    }
    Sha1Hasher(const Sha1Hasher&) = delete;
    Sha1Hasher& operator=(const Sha1Hasher&) = delete;

    bool Digest(const void* data, size_t size, uint8_t digest[20]) {
        if (provider_ == 0 && !CryptAcquireContextW(&provider_, nullptr, nullptr, PROV_RSA_FULL,
                                                    CRYPT_VERIFYCONTEXT)) {
            provider_ = 0;
            return false;
        }
        HCRYPTHASH hash = 0;
        if (!CryptCreateHash(provider_, CALG_SHA1, 0, 0, &hash)) {
            return false;
        }
        DWORD length = 20;
        bool ok =
            CryptHashData(hash, static_cast<const BYTE*>(data), static_cast<DWORD>(size), 0) &&
            CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0) && length == 20;
        if (!CryptDestroyHash(hash)) {
            ok = false;
        }
        return ok;
    }

private:
    HCRYPTPROV provider_ = 0;
};

} // namespace

bool Sha1Digest(const void* data, size_t size, uint8_t digest[20]) {
    Sha1Hasher hasher;
    return hasher.Digest(data, size, digest);
}

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
    uint8_t* buffer = new (std::nothrow) uint8_t[kHashBlockSize];
    if (buffer == nullptr) {
        return HashResult::Failed;
    }
    // One provider context for the whole pass: acquiring one per block costs
    // several times the hashing itself where the provider is set up anew
    // each time its last context is released.
    Sha1Hasher hasher;
    HashResult outcome = HashResult::Completed;
    for (;;) {
        if (state_.load() == kStopRequested) {
            outcome = HashResult::Stopped;
            break;
        }
        DWORD got = 0;
        if (!ReadBlock(buffer, got)) {
            outcome = HashResult::Failed;
            break;
        }
        if (got == 0) {
            break; // end of file: Completed
        }
        uint8_t digest[20];
        if (!hasher.Digest(buffer, got, digest)) {
            outcome = HashResult::Failed;
            break;
        }
        callback_->OnBlockHash(digest);
    }
    delete[] buffer;
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
