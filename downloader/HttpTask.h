#pragma once

#include "downloader/Task.h"

#include <string>

namespace downloader {

// One HTTP GET over WinINet in asynchronous mode, optionally of a byte range
// with an If-Range validator. Reports OnResponse at most once, OnData in
// order, then OnComplete once; any status code is delivered, not judged.
// The callback is referenced; null when memory is exhausted or there is no
// callback.
ITask* CreateHttpTask(const wchar_t* url, HttpRangeRequest request, IHttpCallback* callback);

// The longest a request waits for the server's next bytes (the response's
// headers or more of its body) before it ends with
// HRESULT_FROM_WIN32(ERROR_INTERNET_TIMEOUT): 30 s.
constexpr unsigned long kReceiveTimeoutMs = 30000;

// Test-only: replaces the receive time-out of requests created from now on
// (0 restores kReceiveTimeoutMs); returns the value it replaced.
unsigned long SetReceiveTimeoutForTesting(unsigned long milliseconds);

// The most body bytes one read takes; a request holds one buffer of at most
// this size for its whole body.
constexpr unsigned long kReadChunkSize = 1048576;

// How many bytes one read asks for while `bodyRemaining` bytes of the
// announced body are still to come (-1: no length announced): one chunk, but
// not beyond the announced body, and 1 once it has all come (to find its
// end). It never grows during a response, so the first read's size is the
// buffer's.
unsigned long ReadSize(int64_t bodyRemaining);

// Fills rangeOffset, rangeLength and totalLength of a response from its
// Content-Range header text (empty when absent) and its Content-Length (-1
// when absent): "bytes first-last/total" gives first, last - first + 1 and
// total; no header, "*" as total, the "bytes */total" form and another unit
// count as no Content-Range, and then the Content-Length is the total length
// and, when above 0, the range length. A byte range that is malformed, out of
// order (last before first, or not before total) or has a number beyond
// 64 bits gives -1 for all three, which no transfer accepts.
void FillResponseRange(const std::string& contentRange, int64_t contentLength,
                       HttpResponse& response);

// The value of a Content-Length header: decimal digits only, at most
// INT64_MAX, else -1.
int64_t ParseContentLength(const std::string& text);

} // namespace downloader
