#pragma once

#include <atomic>
#include <new>
#include <utility>

namespace downloader {
namespace details {

// The final class of every task and callback object: adds the reference
// count to the implementation class T and implements AddRef and Release.
template <class T>
class Object final : public T {
public:
    // Allocates and constructs the object; the count starts at 1, the
    // caller's reference. Null when memory is exhausted.
    template <class... Args>
    static Object* Create(Args&&... args) noexcept {
        try {
            return new Object(std::forward<Args>(args)...);
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }

    long AddRef() override { return refCount_.fetch_add(1, std::memory_order_relaxed); }

    long Release() override {
        const long after = refCount_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (after == 0) {
            delete this;
        }
        return after;
    }

private:
    template <class... Args>
    explicit Object(Args&&... args) : T(std::forward<Args>(args)...) {}
    ~Object() = default;

    // Initialised after T's constructor has run: the creator's reference.
    std::atomic<long> refCount_{1};
};

} // namespace details
} // namespace downloader
