#pragma once

#include "downloader/Task.h"

#include <atomic>
#include <utility>

namespace downloader {

// The running sub-task of a composite task. Cancellation (from OnClosed) and
// the end of the work may race to drop it: whoever takes the pointer out owns
// its reference, so it is released exactly once.
class SubTaskSlot {
public:
    // Holds the creator's reference to `task`.
    void Set(ITask* task) { task_.store(task); }
    // The task, still owned by the slot; valid while one of its own events runs.
    ITask* Peek() const { return task_.load(); }

    void CancelAndRelease() {
        if (ITask* task = task_.exchange(nullptr)) {
            task->Cancel();
            task->Release();
        }
    }
    void Release() {
        if (ITask* task = task_.exchange(nullptr)) {
            task->Release();
        }
    }

private:
    std::atomic<ITask*> task_{nullptr};
};

// Passes the events of an HttpTask on to the composite task that runs it.
// Holds no reference to the owner, which keeps itself alive while it runs.
template <class Owner>
class ForwardingHttpCallback : public IHttpCallback {
public:
    explicit ForwardingHttpCallback(Owner* owner) : owner_(owner) {}
    void OnComplete(long result) override { owner_->OnHttpComplete(result); }
    void OnResponse(HttpResponse&& response) override {
        owner_->OnHttpResponse(std::move(response));
    }
    void OnData(const HttpData& chunk) override { owner_->OnHttpData(chunk); }

protected:
    ~ForwardingHttpCallback() = default;

private:
    Owner* owner_;
};

} // namespace downloader
