#pragma once

// The download engine's shared interfaces and records. Every task is a
// reference-counted object started once; it reports its end exactly once
// through OnComplete, and intermediate events through the further slots of
// its callback interface. Objects are destroyed only through Release, so no
// interface has a virtual destructor.

#include "base/HResult.h"

#include <windows.h>

#include <cstdint>
#include <string>

namespace downloader {

struct DownloadMeta;

class IObject {
public:
    // Returns the count before the increment.
    virtual long AddRef() = 0;
    // Returns the count after the decrement; at zero the object is gone.
    virtual long Release() = 0;

protected:
    ~IObject() = default;
};

class ITask : public IObject {
public:
    virtual void Start() = 0;
    virtual void Cancel() = 0;

protected:
    ~ITask() = default;
};

template <class T>
class ITaskCallback : public IObject {
public:
    virtual void OnComplete(T result) = 0;

protected:
    ~ITaskCallback() = default;
};

class IDownloadCallback : public ITaskCallback<long> {
public:
    virtual void OnProgress(int64_t bytesDone, int64_t bytesTotal) = 0;
    // Just before OnComplete(S_OK): the companion that every block of the
    // file was verified against, for a user of the file that checks it again
    // later. Callbacks that do not keep it need not implement it.
    virtual void OnVerifiedCompanion(const DownloadMeta& meta) { (void)meta; }

protected:
    ~IDownloadCallback() = default;
};

// What an HttpTask asks for. length 0: the whole resource, no Range header;
// ifRange empty: no If-Range header (it is only ever sent with a Range).
struct HttpRangeRequest {
    int64_t offset = 0;
    int64_t length = 0;
    std::string ifRange;
};

// Status and headers of one response. statusCode is -1 when it could not be
// read; totalLength is -1 when the response gives no length. A Content-Range
// that is not a valid byte range makes all three numbers -1.
struct HttpResponse {
    int32_t statusCode = -1;
    std::string etag;
    int64_t rangeOffset = 0;
    int64_t rangeLength = 0;
    int64_t totalLength = -1;
};

// One body chunk, valid only during the call that receives it.
struct HttpData {
    const void* data;
    uint32_t size;
};

// Outcome of an HttpToMemTask. The buffer belongs to the task and is valid
// only during OnComplete.
struct HttpToMemResult {
    long result;
    void* data;
    uint32_t size;
};

enum class HashResult : int32_t {
    Completed = 0, // end of file reached, every block reported
    Stopped = 1,   // by Cancel
    Failed = 2,    // starting, allocating, reading or hashing failed
};

class IHttpCallback : public ITaskCallback<long> {
public:
    virtual void OnResponse(HttpResponse&& response) = 0;
    virtual void OnData(const HttpData& chunk) = 0;

protected:
    ~IHttpCallback() = default;
};

class IHttpToFileCallback : public ITaskCallback<long> {
public:
    // `count` bytes were written at file offset `offset`; `bytes` are they,
    // valid only during the call.
    virtual void OnWritten(int64_t offset, const void* bytes, int64_t count) = 0;

protected:
    ~IHttpToFileCallback() = default;
};

class IHashCallback : public ITaskCallback<HashResult> {
public:
    virtual void OnBlockHash(const uint8_t digest[20]) = 0;

protected:
    ~IHashCallback() = default;
};

// The engine's own result codes besides S_OK, E_ABORT, E_FAIL and E_OUTOFMEMORY.
constexpr long kVerifyFailed = 1;
// ERROR_INTERNET_INTERNAL_ERROR: a read reported more bytes than it was asked for.
constexpr long kErrorBadReadCount = static_cast<long>(0x80072EE4UL);
// ERROR_INTERNET_INVALID_URL: the scheme is neither HTTP nor HTTPS.
constexpr long kErrorInvalidUrl = static_cast<long>(0x80072EE5UL);
// ERROR_INTERNET_TIMEOUT: the server sent nothing for the receive time-out.
constexpr long kErrorTimedOut = static_cast<long>(0x80072EE2UL);
// ERROR_INTERNET_OPERATION_CANCELLED: an HTTP-level task was cancelled.
constexpr long kErrorCancelled = static_cast<long>(0x80072EF1UL);
// ERROR_INTERNET_INCORRECT_FORMAT: the response does not fit the request.
constexpr long kErrorIncorrectFormat = static_cast<long>(0x80072EFBUL);
// INET_E_RESOURCE_NOT_FOUND: the server has no such resource (404 or 410).
// Kept apart from other refused statuses so that a wrong package address is
// not retried as if the transfer had failed.
constexpr long kErrorResourceNotFound = static_cast<long>(0x800C0005UL);

// ERROR_HTTP_INVALID_SERVER_RESPONSE: a range request that does not start at
// the first byte was answered with the whole resource (a proxy or server that
// ignores ranges, or a resource that changed since its validator). The file
// task cannot place those bytes; the package task starts over from byte 0.
constexpr long kErrorRangeIgnored = static_cast<long>(0x80072F78UL);

// The result for a status that neither task can use.
inline long ResultOfRefusedStatus(int32_t status) {
    return status == 404 || status == 410 ? kErrorResourceNotFound : kErrorIncorrectFormat;
}
// ERROR_INTERNET_CONNECTION_ABORTED: the server kept ending requests
// successfully without delivering a new byte (see kMaxRequestsWithoutProgress),
// or kept starting over (see kMaxRestarts).
constexpr long kErrorNoProgress = static_cast<long>(0x80072EFEUL);

// A transfer that continues with range requests after early ends gives up
// when this many requests in a row ended successfully without bringing it a
// byte further.
constexpr int kMaxRequestsWithoutProgress = 3;

// A transfer into memory, and the package download, start over when a
// continuation is answered with the whole resource (the resource changed, or
// the server or a proxy ignores ranges). Each takes this many restarts; the next one ends it with
// kErrorNoProgress, since a server that names a new version on every response would otherwise reset
// the count of requests without progress for ever.
constexpr int kMaxRestarts = 3;

} // namespace downloader
