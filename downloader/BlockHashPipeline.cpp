#include "downloader/BlockHashPipeline.h"

#include "downloader/HashTask.h"

#include <new>

namespace downloader {

struct BlockHashPipeline::Slot {
    std::unique_ptr<uint8_t[]> buffer;
    HANDLE done = nullptr; // auto-reset, set when the hashing of `result` ended
    uint32_t size = 0;
    Digest result;
    // Each slot keeps its hasher, so that blocks hashing side by side share
    // no CryptoAPI object.
    Sha1Hasher hasher;

    void Hash() { result.ok = hasher.Digest(buffer.get(), size, result.bytes); }
    ~Slot() {
        if (done != nullptr) {
            CloseHandle(done);
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
        slots_[i].buffer.reset(new (std::nothrow) uint8_t[blockSize]);
        slots_[i].done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (!slots_[i].buffer || slots_[i].done == nullptr) {
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
    if (!QueueUserWorkItem(&BlockHashPipeline::Work, &slot, WT_EXECUTEDEFAULT)) {
        slot.Hash();
        SetEvent(slot.done);
    }
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
    slot->Hash();
    SetEvent(slot->done);
    return 0;
}

} // namespace downloader
