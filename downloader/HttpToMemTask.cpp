#include "downloader/HttpToMemTask.h"

#include "downloader/HttpTask.h"
#include "downloader/Object.h"
#include "downloader/SubTask.h"
#include "downloader/TaskLock.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace downloader {
namespace {

// The largest resource the buffer takes is 2147483646 bytes.
constexpr int64_t kTooLarge = kMaxMemResourceBytes + 1;

class HttpToMemTask : public ITask, public TaskLock<HttpToMemTask, long> {
public:
    HttpToMemTask(const wchar_t* url, ITaskCallback<HttpToMemResult&&>* callback, int64_t maxBytes)
        : url_(url), callback_(callback), maxBytes_(maxBytes) {
        httpCallback_ = details::Object<HttpToMemHttpCallback>::Create(this);
        callback_->AddRef();
    }

    void Start() override;
    void Cancel() override { Close(kErrorCancelled); }

protected:
    ~HttpToMemTask() {
        if (httpCallback_ != nullptr) {
            httpCallback_->Release();
        }
        // Only a task that never ran still holds its callback.
        if (callback_ != nullptr) {
            callback_->Release();
        }
        std::free(outcome_.data);
    }

private:
    friend class TaskLock<HttpToMemTask, long>;

    friend class ForwardingHttpCallback<HttpToMemTask>;
    using HttpToMemHttpCallback = ForwardingHttpCallback<HttpToMemTask>;

    void OnClosed() { subTask_.CancelAndRelease(); }

    bool BeginRequest();
    void OnHttpResponse(HttpResponse&& response);
    void OnHttpData(const HttpData& chunk);
    void OnHttpComplete(long result);
    void Finish();

    std::wstring url_;
    ITaskCallback<HttpToMemResult&&>* callback_;
    int64_t maxBytes_;
    details::Object<HttpToMemHttpCallback>* httpCallback_ = nullptr;
    SubTaskSlot subTask_;
    std::string etag_;
    int64_t received_ = 0;
    HttpToMemResult outcome_ = {S_OK, nullptr, 0};
    long result_ = S_OK;
    bool sized_ = false;   // a 200 response has fixed the buffer
    int64_t furthest_ = 0; // most bytes ever held of this version
    int requestsWithoutProgress_ = 0;
    int restarts_ = 0; // continuations answered with the whole resource
};

void HttpToMemTask::Start() {
    if (!BeginStart()) {
        return;
    }
    AddRef(); // until Finish
    AddRef(); // keeps this alive until Leave, should the request end at once
    if (!BeginRequest()) {
        Close(E_OUTOFMEMORY);
        Finish();
    } else {
        Leave();
    }
    Release();
}

bool HttpToMemTask::BeginRequest() {
    if (httpCallback_ == nullptr) {
        return false;
    }
    ITask* task = nullptr;
    try {
        HttpRangeRequest request;
        if (sized_) {
            // The length asked is the whole size, not what is missing: the
            // server clamps the end to the last byte.
            request.offset = received_;
            request.length = outcome_.size;
            request.ifRange = etag_;
        }
        task = CreateHttpTask(url_.c_str(), std::move(request), httpCallback_);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (task == nullptr) {
        return false;
    }
    subTask_.Set(task);
    task->Start();
    return true;
}

void HttpToMemTask::OnHttpResponse(HttpResponse&& response) {
    if (IsClosed()) {
        return;
    }
    switch (response.statusCode) {
    case 200:
        // A 200 covers the whole resource from its first byte; one that
        // names another start would put bytes in the wrong place.
        if (response.totalLength < 0 || response.rangeOffset != 0) {
            Close(kErrorIncorrectFormat);
            return;
        }
        if (response.totalLength >= kTooLarge) {
            Close(E_OUTOFMEMORY);
            return;
        }
        // The server chooses the size: more than the caller can use is not
        // even allocated.
        if (response.totalLength > maxBytes_) {
            Close(kErrorResourceTooLarge);
            return;
        }
        if (sized_ && ++restarts_ > kMaxRestarts) {
            Close(kErrorNoProgress);
            return;
        }
        if (response.totalLength != outcome_.size) {
            std::free(outcome_.data);
            outcome_.data = nullptr;
            outcome_.size = 0;
            if (response.totalLength > 0) {
                outcome_.data = std::malloc(static_cast<size_t>(response.totalLength));
                if (outcome_.data == nullptr) {
                    Close(E_OUTOFMEMORY);
                    return;
                }
            }
            outcome_.size = static_cast<uint32_t>(response.totalLength);
        }
        if (sized_ && response.etag != etag_) {
            furthest_ = 0; // a new version of the resource: progress counts anew
        }
        etag_ = std::move(response.etag);
        received_ = 0;
        sized_ = true;
        return;
    case 206:
        // Both are at least 0 here, so the difference cannot overflow.
        if (response.totalLength != outcome_.size || response.rangeOffset != received_ ||
            response.rangeLength != response.totalLength - response.rangeOffset) {
            Close(kErrorIncorrectFormat);
        }
        return;
    default:
        Close(ResultOfRefusedStatus(response.statusCode));
        return;
    }
}

void HttpToMemTask::OnHttpData(const HttpData& chunk) {
    // Chunks that still arrive after the task closed itself (a refused
    // response, a cancel) are not stored.
    if (IsClosed()) {
        return;
    }
    if (received_ + chunk.size > outcome_.size) {
        Close(kErrorIncorrectFormat);
        return;
    }
    std::memcpy(static_cast<char*>(outcome_.data) + received_, chunk.data, chunk.size);
    received_ += chunk.size;
}

void HttpToMemTask::OnHttpComplete(long result) {
    if (!TryEnter()) {
        Finish();
        return;
    }
    if (result >= 0 && received_ != outcome_.size) {
        if (received_ > furthest_) {
            furthest_ = received_;
            requestsWithoutProgress_ = 0;
        } else if (++requestsWithoutProgress_ >= kMaxRequestsWithoutProgress) {
            Close(kErrorNoProgress);
            Finish();
            return;
        }
        subTask_.Release();
        AddRef(); // keeps this alive until Leave, should the request end at once
        if (!BeginRequest()) {
            Close(E_OUTOFMEMORY);
            Finish();
        } else {
            Leave();
        }
        Release();
        return;
    }
    Close(result);
    Finish();
}

void HttpToMemTask::Finish() {
    subTask_.Release();
    outcome_.result = result_;
    ITaskCallback<HttpToMemResult&&>* callback = callback_;
    callback_ = nullptr;
    callback->OnComplete(HttpToMemResult(outcome_));
    callback->Release();
    Release();
}

} // namespace

ITask* CreateHttpToMemTask(const wchar_t* url, ITaskCallback<HttpToMemResult&&>* callback,
                           int64_t maxBytes) {
    if (callback == nullptr) {
        return nullptr;
    }
    return details::Object<HttpToMemTask>::Create(url != nullptr ? url : L"", callback, maxBytes);
}

} // namespace downloader
