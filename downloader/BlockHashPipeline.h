#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

namespace downloader {

// Hashes blocks (SHA-1, Sha1Hasher) on system thread-pool threads, up
// to `slots` at a time, and hands their digests back in the order the blocks
// were submitted. The owner fills the buffer of the next free slot, submits
// it, and collects the oldest block when every slot is taken; meanwhile the
// pool hashes, so reading or receiving the next block overlaps the hashing
// of the last ones, and blocks hash side by side on several cores. One
// thread owns the pipeline; only the hashing runs elsewhere.
class BlockHashPipeline {
public:
    // The outcome of one collected block.
    struct Digest {
        uint32_t block = 0;
        uint32_t size = 0; // bytes hashed
        bool ok = false;   // false when the hashing failed
        uint8_t bytes[20] = {};
    };

    BlockHashPipeline();
    // Waits for the blocks still hashing: their buffers belong to the pipeline.
    ~BlockHashPipeline();
    BlockHashPipeline(const BlockHashPipeline&) = delete;
    BlockHashPipeline& operator=(const BlockHashPipeline&) = delete;

    // Allocates `slots` buffers of `blockSize` bytes each; false when memory
    // or an event cannot be had (the pipeline is then unusable).
    bool Init(int slots, uint32_t blockSize);

    // Every slot holds a block that has not been collected.
    bool Full() const { return pending_ == slotCount_; }
    bool Empty() const { return pending_ == 0; }
    // The buffer of the next free slot (not Full()).
    uint8_t* NextBuffer();
    // Hashes the first `size` bytes of NextBuffer() as block `block`. Where
    // the pool takes no work, the block is hashed here and now.
    void Submit(uint32_t block, uint32_t size);
    // Waits for the oldest submitted block (not Empty()) and frees its slot.
    // The wait ends: hashing a block in memory touches no disk and no network.
    Digest CollectOldest();

private:
    struct Slot;
    static DWORD WINAPI Work(void* context);

    std::unique_ptr<Slot[]> slots_;
    int slotCount_ = 0;
    int oldest_ = 0;
    int pending_ = 0;
};

} // namespace downloader
