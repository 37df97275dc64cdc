#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace downloader {

// Close-and-enter protocol of a task on one atomic state word.
//
//   -1                      constructed, not started (reads as closed)
//   0 .. 0x3FFFFFFF         open; that many threads inside a callback
//   bit 30 set, bit 31 clear  a Close is storing its result; still open
//   bit 31 set              closed; the low bits count threads still inside
//
// T (the task) provides a member `long result_` that Close writes and a hook
// `void OnClosed()` that stops its current operation. OnClosed runs exactly
// once, when the task is closed and no thread is inside: at once in Close,
// or in the Leave of the last thread inside. Close claims the word (bit 30)
// before it stores the result and only then publishes bit 31, so whoever sees
// the task closed also sees its result; a Close that finds the word claimed
// waits for that publication before it returns.
template <class T, class R = long>
class TaskLock {
public:
    TaskLock(const TaskLock&) = delete;
    TaskLock& operator=(const TaskLock&) = delete;

protected:
    TaskLock() = default;
    ~TaskLock() = default;

    // The start transition: from "not started" to open with the calling
    // thread inside. False when the task was started before.
    bool BeginStart() {
        int32_t expected = kNotStarted;
        return state_.compare_exchange_strong(expected, 1, std::memory_order_acq_rel);
    }

    // Enters when the task is open; the caller must Leave afterwards.
    bool TryEnter() {
        int32_t word = state_.load(std::memory_order_acquire);
        while (word >= 0) {
            if (state_.compare_exchange_weak(word, word + 1, std::memory_order_acq_rel)) {
                return true;
            }
        }
        return false;
    }

    void Leave() {
        if (state_.fetch_sub(1, std::memory_order_acq_rel) == (kClosed | 1)) {
            static_cast<T*>(this)->OnClosed();
        }
    }

    // Closes an open task with `result`. The first Close wins; later ones,
    // and any Close before Start, change nothing and return false. A Close
    // that loses returns only once the winner's result is stored: its caller
    // usually reports that result next.
    bool Close(R result) {
        int32_t word = state_.load(std::memory_order_acquire);
        for (int round = 0;; ++round) {
            if (word < 0) {
                return false;
            }
            if ((word & kClosing) != 0) {
                // The winner stores one value and publishes; it waits for
                // nobody, so this wait is short and ends.
                if (round >= kSpinsBeforeYield) {
                    std::this_thread::yield();
                }
                word = state_.load(std::memory_order_acquire);
                continue;
            }
            if (state_.compare_exchange_weak(word, word | kClosing, std::memory_order_acq_rel)) {
                break;
            }
        }

        static_cast<T*>(this)->result_ = result;

        word = state_.load(std::memory_order_relaxed);
        while (!state_.compare_exchange_weak(word, (word & ~kClosing) | kClosed,
                                             std::memory_order_acq_rel)) {
        }
        if ((word & kCountMask) == 0) {
            static_cast<T*>(this)->OnClosed();
        }
        return true;
    }

    bool IsClosed() const { return state_.load(std::memory_order_acquire) < 0; }

    int32_t StateWord() const { return state_.load(std::memory_order_acquire); }

private:
    static constexpr int32_t kNotStarted = -1;
    static constexpr int32_t kClosed = INT32_MIN;
    static constexpr int32_t kClosing = 0x40000000;
    static constexpr int32_t kCountMask = 0x3FFFFFFF;
    static constexpr int kSpinsBeforeYield = 64;

    std::atomic<int32_t> state_{kNotStarted};
};

} // namespace downloader
