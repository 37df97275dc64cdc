#include "downloader/BlockHashPipeline.h"

#include "downloader/HashTask.h"

#include <new>

namespace downloader {

namespace {

// The hashing needs little stack; a thread's default reservation would
// show up in the process's peak memory.
constexpr DWORD kWorkerStackBytes = 64 * 1024;

} // namespace

struct BlockHashPipeline::Slot {
    std::unique_ptr<uint8_t[]> buffer;
    HANDLE work = nullptr;   // auto-reset: a block (or the end) waits for the worker
    HANDLE done = nullptr;   // auto-reset: the worker finished the block
    HANDLE thread = nullptr; // the slot's worker
    bool quit = false;       // set before `work` when the pipeline goes
    uint32_t size = 0;
    Digest result;
    // Each slot keeps its provider context, so that blocks hashing side by
    // side share no CryptoAPI object.
    Sha1Hasher hasher;

    void Hash() { result.ok = hasher.Digest(buffer.get(), size, result.bytes); }
    ~Slot() {
        if (thread != nullptr) {
            quit = true;
            SetEvent(work);
            // The worker only hashes memory and waits for `work`: it ends.
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
        }
        for (HANDLE event : {work, done}) {
            if (event != nullptr) {
                CloseHandle(event);
            }
        }
    }
};

BlockHashPipeline::BlockHashPipeline() = default;

BlockHashPipeline::~BlockHashPipeline() {
    while (!Empty()) {
        CollectOldest();
    }
}

bool BlockHashPipeline::Init(int slots, uint32_t blockSize) {
    slots_.reset(new (std::nothrow) Slot[slots]);
    if (!slots_) {
        return false;
    }
    slotCount_ = slots;
    for (int i = 0; i < slots; ++i) {
        Slot& slot = slots_[i];
        slot.buffer.reset(new (std::nothrow) uint8_t[blockSize]);
        slot.work = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        slot.done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (slot.buffer && slot.work != nullptr && slot.done != nullptr) {
            slot.thread = CreateThread(nullptr, kWorkerStackBytes, &BlockHashPipeline::Work, &slot,
                                       STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        }
        if (slot.thread == nullptr) {
            slots_.reset();
            slotCount_ = 0;
            return false;
        }
    }
    return true;
}

uint8_t* BlockHashPipeline::NextBuffer() {
    return slots_[(oldest_ + pending_) % slotCount_].buffer.get();
}

void BlockHashPipeline::Submit(uint32_t block, uint32_t size) {
    Slot& slot = slots_[(oldest_ + pending_) % slotCount_];
    slot.size = size;
    slot.result.block = block;
    slot.result.size = size;
    ++pending_;
    SetEvent(slot.work);
}

BlockHashPipeline::Digest BlockHashPipeline::CollectOldest() {
    Slot& slot = slots_[oldest_];
    WaitForSingleObject(slot.done, INFINITE);
    oldest_ = (oldest_ + 1) % slotCount_;
    --pending_;
    return slot.result;
}

DWORD WINAPI BlockHashPipeline::Work(void* context) {
    Slot* slot = static_cast<Slot*>(context);
    for (;;) {
        WaitForSingleObject(slot->work, INFINITE);
        if (slot->quit) {
            return 0;
        }
        slot->Hash();
        SetEvent(slot->done);
    }
}

} // namespace downloader
