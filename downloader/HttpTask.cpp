#include "downloader/HttpTask.h"

#include "downloader/Object.h"
#include "downloader/TaskLock.h"

#include <urlmon.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace downloader {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Reads the decimal digits at `text` into `value`, advancing past them. False
// when there is no digit or the number does not fit a signed 64-bit value;
// signs and other prefixes are not numbers here.
bool ReadDecimal(const char*& text, int64_t& value) {
    if (!IsDigit(*text)) {
        return false;
    }
    int64_t result = 0;
    for (; IsDigit(*text); ++text) {
        const int digit = *text - '0';
        if (result > (INT64_MAX - digit) / 10) {
            return false;
        }
        result = result * 10 + digit;
    }
    value = result;
    return true;
}

void SkipBlanks(const char*& text) {
    while (IsBlank(*text)) {
        ++text;
    }
}

bool StartsWithBytesUnit(const char* text) {
    static const char kUnit[] = "bytes";
    for (size_t i = 0; i + 1 < sizeof kUnit; ++i) {
        const char c = text[i];
        if ((c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c) != kUnit[i]) {
            return false;
        }
    }
    return text[sizeof kUnit - 1] == '\0' || IsBlank(text[sizeof kUnit - 1]);
}

enum class RangeForm { Absent, Range, Invalid };

// "bytes first-last/total" with first <= last < total, every number fitting
// 64 bits; "bytes first-last/*" and "bytes */total" say nothing usable, nor
// does another unit.
RangeForm ParseContentRange(const std::string& header, int64_t& first, int64_t& last,
                            int64_t& total) {
    const char* text = header.c_str();
    SkipBlanks(text);
    if (*text == '\0' || !StartsWithBytesUnit(text)) {
        return RangeForm::Absent;
    }
    text += 5;
    SkipBlanks(text);
    if (*text == '*') {
        return RangeForm::Absent; // the unsatisfied-range form
    }
    if (!ReadDecimal(text, first) || *text++ != '-' || !ReadDecimal(text, last) || *text++ != '/') {
        return RangeForm::Invalid;
    }
    if (*text == '*') {
        ++text;
        SkipBlanks(text);
        return *text == '\0' ? RangeForm::Absent : RangeForm::Invalid;
    }
    if (!ReadDecimal(text, total)) {
        return RangeForm::Invalid;
    }
    SkipBlanks(text);
    if (*text != '\0' || first > last || last >= total) {
        return RangeForm::Invalid;
    }
    return RangeForm::Range;
}

} // namespace

DWORD ReadSize(int64_t bodyRemaining) {
    if (bodyRemaining < 0) {
        return kReadChunkSize;
    }
    // One byte past the announced end finds that end.
    return static_cast<DWORD>(
        std::max<int64_t>(1, std::min<int64_t>(bodyRemaining, kReadChunkSize)));
}

void FillResponseRange(const std::string& contentRange, int64_t contentLength,
                       HttpResponse& response) {
    int64_t first = 0;
    int64_t last = 0;
    int64_t total = 0;
    switch (ParseContentRange(contentRange, first, last, total)) {
    case RangeForm::Range:
        // first <= last < total <= INT64_MAX: the length cannot overflow.
        response.rangeOffset = first;
        response.rangeLength = last - first + 1;
        response.totalLength = total;
        return;
    case RangeForm::Invalid:
        response.rangeOffset = -1;
        response.rangeLength = -1;
        response.totalLength = -1;
        return;
    case RangeForm::Absent:
        break;
    }
    response.rangeOffset = 0;
    response.rangeLength = contentLength > 0 ? contentLength : 0;
    response.totalLength = contentLength;
}

int64_t ParseContentLength(const std::string& text) {
    const char* digits = text.c_str();
    int64_t value = 0;
    if (!ReadDecimal(digits, value) || *digits != '\0') {
        return -1;
    }
    return value;
}

namespace {

std::atomic<unsigned long> g_receiveTimeoutMs{kReceiveTimeoutMs};

constexpr DWORD kUserAgentFirstSize = 256;
// ObtainUserAgentString names the size it needs; asking more than a few
// times would mean it keeps changing its mind.
constexpr int kUserAgentAttempts = 4;
constexpr int kHeaderQueryAttempts = 4;

// Every request goes to the server (no cache read or write), keeps its
// connection and never shows a dialog (0x84400200); HTTPS requests are also
// secure (0x84C00200).
constexpr DWORD kHttpRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                    INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_UI;
constexpr DWORD kHttpsRequestFlags = kHttpRequestFlags | INTERNET_FLAG_SECURE;

class HttpTask : public ITask, public TaskLock<HttpTask, long> {
public:
    HttpTask(const wchar_t* url, HttpRangeRequest&& request, IHttpCallback* callback)
        : url_(url), request_(std::move(request)), callback_(callback) {
        callback_->AddRef();
    }

    void Start() override;
    void Cancel() override { Close(kErrorCancelled); }

protected:
    ~HttpTask() {
        // Only a task that never ran still holds its callback.
        if (callback_ != nullptr) {
            callback_->Release();
        }
        std::free(readBuffer_);
    }

private:
    friend class TaskLock<HttpTask, long>;

    void OnClosed() { InternetCloseHandle(requestHandle_); }

    long OpenRoot();
    long OpenRequest();
    void FailStart(long result);
    void Send();
    void OnSendComplete();
    void ProcessHeaders();
    std::string QueryHeaderString(DWORD level);
    void ReadLoop();
    bool ReadChunk();
    void OnHandleClosing();
    // The server was heard from: headers or body bytes arrived, or the
    // request was sent.
    void NoteActivity() { lastActivity_.store(GetTickCount()); }
    long TransferError(DWORD error) const;

    static void CALLBACK StatusCallback(HINTERNET handle, DWORD_PTR context, DWORD status,
                                        LPVOID information, DWORD informationLength);

    std::wstring url_;
    HttpRangeRequest request_;
    IHttpCallback* callback_;
    HINTERNET rootHandle_ = nullptr;
    HINTERNET connectionHandle_ = nullptr;
    HINTERNET requestHandle_ = nullptr;
    // One buffer for every read of the body, and the read's description,
    // which WinINet may still look at after a read that had to wait.
    char* readBuffer_ = nullptr;
    DWORD readCapacity_ = 0;
    INTERNET_BUFFERSA readBuffers_ = {};
    // Body bytes the response announced and that have not arrived yet; -1
    // when it announced none.
    int64_t bodyRemaining_ = -1;
    long result_ = S_OK;
    void (HttpTask::*continuation_)() = nullptr;
    const DWORD receiveTimeoutMs_ = g_receiveTimeoutMs.load();
    std::atomic<DWORD> lastActivity_{0};
};

void HttpTask::Start() {
    if (!BeginStart()) {
        return;
    }
    long hr = OpenRoot();
    if (FAILED(hr)) {
        FailStart(hr);
        return;
    }
    hr = OpenRequest();
    if (FAILED(hr)) {
        InternetCloseHandle(rootHandle_);
        rootHandle_ = nullptr;
        FailStart(hr);
        return;
    }
    // Held until the handle-closing notification has reported the result.
    AddRef();
    Send();
    Leave();
}

// Set-up failed before any request existed: report at once. The task stays
// closed with this thread counted inside, so nothing else can run.
void HttpTask::FailStart(long result) {
    Close(result);
    AddRef();
    IHttpCallback* callback = callback_;
    callback_ = nullptr;
    callback->OnComplete(result_);
    callback->Release();
    Release();
}

long HttpTask::OpenRoot() {
    DWORD size = kUserAgentFirstSize;
    char* agent = static_cast<char*>(std::malloc(size));
    if (agent == nullptr) {
        return E_OUTOFMEMORY;
    }
    HRESULT hr = ObtainUserAgentString(0, agent, &size);
    for (int attempt = 1; hr == E_OUTOFMEMORY && attempt < kUserAgentAttempts; ++attempt) {
        std::free(agent);
        agent = static_cast<char*>(std::malloc(size));
        if (agent == nullptr) {
            return E_OUTOFMEMORY;
        }
        hr = ObtainUserAgentString(0, agent, &size);
    }
    if (FAILED(hr)) {
        std::free(agent);
        return hr;
    }
    rootHandle_ =
        InternetOpenA(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, INTERNET_FLAG_ASYNC);
    if (rootHandle_ == nullptr) {
        hr = HResultFromLastError();
    } else {
        DWORD timeout = receiveTimeoutMs_;
        InternetSetOptionA(rootHandle_, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);
    }
    std::free(agent);
    return hr;
}

long HttpTask::OpenRequest() {
    URL_COMPONENTSW parts = {};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUserNameLength = static_cast<DWORD>(-1);
    parts.dwPasswordLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    if (!InternetCrackUrlW(url_.c_str(), 0, 0, &parts)) {
        return HResultFromLastError();
    }
    DWORD flags = 0;
    if (parts.nScheme == INTERNET_SCHEME_HTTP) {
        flags = kHttpRequestFlags;
    } else if (parts.nScheme == INTERNET_SCHEME_HTTPS) {
        flags = kHttpsRequestFlags;
    } else {
        return kErrorInvalidUrl;
    }
    try {
        const std::wstring host(parts.lpszHostName ? parts.lpszHostName : L"",
                                parts.lpszHostName ? parts.dwHostNameLength : 0);
        const bool hasUser = parts.lpszUserName != nullptr && parts.dwUserNameLength > 0;
        const bool hasPassword = parts.lpszPassword != nullptr && parts.dwPasswordLength > 0;
        const std::wstring user(hasUser ? parts.lpszUserName : L"",
                                hasUser ? parts.dwUserNameLength : 0);
        const std::wstring password(hasPassword ? parts.lpszPassword : L"",
                                    hasPassword ? parts.dwPasswordLength : 0);
        connectionHandle_ = InternetConnectW(
            rootHandle_, host.c_str(), parts.nPort, hasUser ? user.c_str() : nullptr,
            hasPassword ? password.c_str() : nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    if (connectionHandle_ == nullptr) {
        return HResultFromLastError();
    }
    // The object name runs from the path to the end of the URL, query included.
    const wchar_t* object = parts.lpszUrlPath != nullptr ? parts.lpszUrlPath : L"";
    requestHandle_ = HttpOpenRequestW(connectionHandle_, nullptr, object, nullptr, nullptr, nullptr,
                                      flags, reinterpret_cast<DWORD_PTR>(this));
    long hr = S_OK;
    if (requestHandle_ == nullptr) {
        hr = HResultFromLastError();
    } else if (InternetSetStatusCallbackA(requestHandle_, &HttpTask::StatusCallback) ==
               INTERNET_INVALID_STATUS_CALLBACK) {
        // Without the callback the task could never learn its end.
        hr = HResultFromLastError();
        InternetCloseHandle(requestHandle_);
        requestHandle_ = nullptr;
    } else {
        // Not every WinINet hands the root handle's time-out down to its
        // requests; without it a silent server would hold a read for ever.
        DWORD timeout = receiveTimeoutMs_;
        InternetSetOptionA(requestHandle_, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout,
                           sizeof timeout);
    }
    if (FAILED(hr)) {
        InternetCloseHandle(connectionHandle_);
        connectionHandle_ = nullptr;
    }
    return hr;
}

void HttpTask::Send() {
    if (request_.length != 0) {
        char range[64];
        std::snprintf(range, sizeof range, "Range: bytes=%lld-%lld",
                      static_cast<long long>(request_.offset),
                      static_cast<long long>(request_.offset + request_.length - 1));
        HttpAddRequestHeadersA(requestHandle_, range, static_cast<DWORD>(-1),
                               HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE);
        if (!request_.ifRange.empty()) {
            try {
                const std::string ifRange = "If-Range: " + request_.ifRange;
                HttpAddRequestHeadersA(requestHandle_, ifRange.c_str(), static_cast<DWORD>(-1),
                                       HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE);
            } catch (const std::bad_alloc&) {
                Close(E_OUTOFMEMORY);
                return;
            }
        }
    }
    continuation_ = &HttpTask::OnSendComplete;
    NoteActivity();
    if (HttpSendRequestA(requestHandle_, nullptr, 0, nullptr, 0)) {
        OnSendComplete();
        return;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) {
        Close(TransferError(error));
    }
}

void HttpTask::OnSendComplete() {
    NoteActivity();
    ProcessHeaders();
    continuation_ = &HttpTask::ReadLoop;
    ReadLoop();
}

void HttpTask::ProcessHeaders() {
    try {
        HttpResponse response;
        DWORD status = static_cast<DWORD>(-1);
        DWORD length = sizeof status;
        if (!HttpQueryInfoA(requestHandle_, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER,
                            &status, &length, nullptr)) {
            status = static_cast<DWORD>(-1);
        }
        response.statusCode = static_cast<int32_t>(status);
        response.etag = QueryHeaderString(HTTP_QUERY_ETAG);
        const std::string contentRange = QueryHeaderString(HTTP_QUERY_CONTENT_RANGE);
        // The header's text, not WinINet's number: how WinINet turns text
        // that does not fit into a number differs between implementations,
        // and such a length must be refused, not read as some other value.
        const int64_t contentLength =
            ParseContentLength(QueryHeaderString(HTTP_QUERY_CONTENT_LENGTH));
        bodyRemaining_ = contentLength;
        FillResponseRange(contentRange, contentLength, response);
        callback_->OnResponse(std::move(response));
    } catch (const std::bad_alloc&) {
        Close(E_OUTOFMEMORY);
    }
}

std::string HttpTask::QueryHeaderString(DWORD level) {
    std::string value;
    DWORD length = 0;
    for (int attempt = 0; attempt < kHeaderQueryAttempts; ++attempt) {
        if (HttpQueryInfoA(requestHandle_, level, value.empty() ? nullptr : &value[0], &length,
                           nullptr)) {
            value.resize(value.empty() ? 0 : length);
            return value;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || length == 0) {
            break;
        }
        value.assign(length, '\0');
    }
    return std::string();
}

// Reads while data is there without waiting. Stops early once the task is
// closed: a cancelled or refused transfer must not go on reading a large
// body that is available at once.
void HttpTask::ReadLoop() {
    while (!IsClosed() && ReadChunk()) {
    }
}

// One read that does not wait takes everything that has arrived, up to a
// large chunk: a fast transfer needs few rounds, and a slow one still passes
// each piece on as it comes. When nothing has arrived the read completes
// later without data, only to say that there is some now; the next read
// takes it.
bool HttpTask::ReadChunk() {
    if (readBuffer_ == nullptr) {
        // The first read asks the most; a small body gets a small buffer.
        readCapacity_ = ReadSize(bodyRemaining_);
        readBuffer_ = static_cast<char*>(std::malloc(readCapacity_));
        if (readBuffer_ == nullptr) {
            Close(E_OUTOFMEMORY);
            return false;
        }
    }
    const DWORD wanted = std::min(ReadSize(bodyRemaining_), readCapacity_);
    readBuffers_ = {};
    readBuffers_.dwStructSize = sizeof readBuffers_;
    readBuffers_.lpvBuffer = readBuffer_;
    readBuffers_.dwBufferLength = wanted;
    if (!InternetReadFileExA(requestHandle_, &readBuffers_, IRF_NO_WAIT, 0)) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            Close(TransferError(error));
        }
        return false;
    }
    const DWORD read = readBuffers_.dwBufferLength;
    if (read == 0) {
        Close(S_OK); // the end of the body
        return false;
    }
    if (read > wanted) {
        Close(kErrorBadReadCount); // a count that cannot be right
        return false;
    }
    if (bodyRemaining_ > 0) {
        bodyRemaining_ -= std::min<int64_t>(bodyRemaining_, read);
    }
    NoteActivity();
    callback_->OnData(HttpData{readBuffer_, read});
    return true;
}

// WinINet names a receive that waited out the time-out differently from one
// implementation to the next (a socket time-out, an aborted connection). A
// failure after the server has been silent for about that long is the
// time-out, whatever its code.
long HttpTask::TransferError(DWORD error) const {
    if (error == ERROR_SUCCESS) {
        return E_FAIL; // a failure that names no error is still a failure
    }
    const DWORD silentMs = GetTickCount() - lastActivity_.load();
    if (error != ERROR_INTERNET_OPERATION_CANCELLED &&
        silentMs >= receiveTimeoutMs_ - receiveTimeoutMs_ / 10) {
        return kErrorTimedOut;
    }
    return HResultFromWin32(error);
}

void HttpTask::OnHandleClosing() {
    InternetCloseHandle(connectionHandle_);
    InternetCloseHandle(rootHandle_);
    connectionHandle_ = nullptr;
    rootHandle_ = nullptr;
    requestHandle_ = nullptr;
    IHttpCallback* callback = callback_;
    callback_ = nullptr;
    callback->OnComplete(result_);
    callback->Release();
    Release();
}

void CALLBACK HttpTask::StatusCallback(HINTERNET, DWORD_PTR context, DWORD status,
                                       LPVOID information, DWORD) {
    HttpTask* task = reinterpret_cast<HttpTask*>(context);
    switch (status) {
    case INTERNET_STATUS_REQUEST_COMPLETE: {
        const auto* outcome = static_cast<const INTERNET_ASYNC_RESULT*>(information);
        if (outcome->dwResult != 0) {
            if (task->TryEnter()) {
                (task->*(task->continuation_))();
                task->Leave();
            }
        } else if (outcome->dwError != ERROR_INTERNET_OPERATION_CANCELLED) {
            task->Close(task->TransferError(outcome->dwError));
        }
        break;
    }
    case INTERNET_STATUS_HANDLE_CLOSING:
        task->OnHandleClosing();
        break;
    default:
        break;
    }
}

} // namespace

unsigned long SetReceiveTimeoutForTesting(unsigned long milliseconds) {
    return g_receiveTimeoutMs.exchange(milliseconds != 0 ? milliseconds : kReceiveTimeoutMs);
}

ITask* CreateHttpTask(const wchar_t* url, HttpRangeRequest request, IHttpCallback* callback) {
    if (callback == nullptr) {
        return nullptr;
    }
    return details::Object<HttpTask>::Create(url != nullptr ? url : L"", std::move(request),
                                             callback);
}

} // namespace downloader
