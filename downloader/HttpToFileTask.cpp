#include "downloader/HttpToFileTask.h"

#include "downloader/HttpTask.h"
#include "downloader/Object.h"
#include "downloader/SubTask.h"
#include "downloader/TaskLock.h"

#include <string>

namespace downloader {
namespace {

class HttpToFileTask : public ITask, public TaskLock<HttpToFileTask, long> {
public:
    HttpToFileTask(const wchar_t* url, HANDLE file, int64_t offset, int64_t length,
                   IHttpToFileCallback* callback)
        : url_(url), file_(file), position_(offset), remaining_(length), callback_(callback) {
        callback_->AddRef();
    }

    void Start() override;
    void Cancel() override { Close(kErrorCancelled); }

protected:
    ~HttpToFileTask() {
        // Only a task that never ran still holds its callback.
        if (callback_ != nullptr) {
            callback_->Release();
        }
    }

private:
    friend class TaskLock<HttpToFileTask, long>;

    friend class ForwardingHttpCallback<HttpToFileTask>;
    using HttpCallback = ForwardingHttpCallback<HttpToFileTask>;

    void OnClosed() { subTask_.CancelAndRelease(); }

    bool BeginRequest();
    void OnHttpResponse(HttpResponse&& response);
    void OnHttpData(const HttpData& chunk);
    void OnHttpComplete(long result);
    void Finish();

    std::wstring url_;
    HANDLE file_;
    int64_t position_;
    int64_t remaining_;
    IHttpToFileCallback* callback_;
    SubTaskSlot subTask_;
    std::string etag_;
    long result_ = S_OK;
    int64_t requestStart_ = 0; // position when the current request began
    int requestsWithoutProgress_ = 0;
};

void HttpToFileTask::Start() {
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

bool HttpToFileTask::BeginRequest() {
    details::Object<HttpCallback>* httpCallback = details::Object<HttpCallback>::Create(this);
    if (httpCallback == nullptr) {
        return false;
    }
    ITask* task = nullptr;
    try {
        HttpRangeRequest request;
        request.offset = position_;
        request.length = remaining_;
        request.ifRange = etag_;
        task = CreateHttpTask(url_.c_str(), std::move(request), httpCallback);
    } catch (const std::bad_alloc&) {
        task = nullptr;
    }
    httpCallback->Release();
    if (task == nullptr) {
        return false;
    }
    requestStart_ = position_;
    subTask_.Set(task);
    task->Start();
    return true;
}

void HttpToFileTask::OnHttpResponse(HttpResponse&& response) {
    if (IsClosed()) {
        return;
    }
    switch (response.statusCode) {
    case 200:
        // Only a transfer of the whole resource from its first byte can take
        // a 200; one that names another start would put bytes in the wrong place.
        if (position_ != 0 && response.rangeOffset == 0 &&
            response.totalLength == position_ + remaining_) {
            // The whole resource, to a range that runs to its end: the
            // caller may start over from byte 0.
            Close(kErrorRangeIgnored);
            return;
        }
        if (position_ != 0 || response.totalLength != remaining_ || response.rangeOffset != 0) {
            Close(kErrorIncorrectFormat);
            return;
        }
        etag_ = std::move(response.etag);
        return;
    case 206:
        if (response.rangeOffset != position_ || response.rangeLength != remaining_) {
            Close(kErrorIncorrectFormat);
        }
        return;
    default:
        Close(ResultOfRefusedStatus(response.statusCode));
        return;
    }
}

void HttpToFileTask::OnHttpData(const HttpData& chunk) {
    // Chunks that still arrive after the task closed itself (a refused
    // response, a failed write, a cancel) are not written.
    if (IsClosed()) {
        return;
    }
    if (chunk.size > remaining_) {
        Close(kErrorIncorrectFormat);
        return;
    }
    // A write may take only part of the chunk (a disk that fills up): write
    // the rest until it is all out or the system names the error.
    const char* bytes = static_cast<const char*>(chunk.data);
    DWORD written = 0;
    DWORD error = ERROR_SUCCESS;
    while (written < chunk.size) {
        DWORD part = 0;
        if (!WriteFile(file_, bytes + written, chunk.size - written, &part, nullptr)) {
            error = GetLastError();
            break;
        }
        if (part == 0) {
            error = ERROR_WRITE_FAULT;
            break;
        }
        written += part;
    }
    if (written < chunk.size) {
        Close(HResultFromWin32(error != ERROR_SUCCESS ? error : ERROR_WRITE_FAULT));
    }
    callback_->OnWritten(position_, bytes, written);
    position_ += written;
    remaining_ -= written;
}

void HttpToFileTask::OnHttpComplete(long result) {
    if (!TryEnter()) {
        Finish();
        return;
    }
    if (result >= 0 && remaining_ != 0) {
        if (position_ > requestStart_) {
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

void HttpToFileTask::Finish() {
    subTask_.Release();
    IHttpToFileCallback* callback = callback_;
    callback_ = nullptr;
    callback->OnComplete(result_);
    callback->Release();
    Release();
}

} // namespace

ITask* CreateHttpToFileTask(const wchar_t* url, HANDLE file, int64_t offset, int64_t length,
                            IHttpToFileCallback* callback) {
    if (callback == nullptr) {
        return nullptr;
    }
    return details::Object<HttpToFileTask>::Create(url != nullptr ? url : L"", file, offset, length,
                                                   callback);
}

} // namespace downloader
