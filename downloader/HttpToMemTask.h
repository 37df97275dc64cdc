#pragma once

#include "downloader/Task.h"

namespace downloader {

// The most bytes a memory buffer takes: 2147483646.
constexpr int64_t kMaxMemResourceBytes = 0x7FFFFFFE;

// HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE): the server announced a resource
// larger than the caller's bound.
constexpr long kErrorResourceTooLarge = static_cast<long>(0x800700DFUL);

// Fetches a whole resource into a memory buffer sized from its first 200
// response; when a request ends early it asks for the rest with a range
// request carrying the ETag as If-Range. A resource announced larger than
// `maxBytes` (at most kMaxMemResourceBytes) ends the task with
// kErrorResourceTooLarge before any buffer is taken. Reports one OnComplete
// with the HttpToMemResult. The callback is referenced; null when memory is
// exhausted or there is no callback.
ITask* CreateHttpToMemTask(const wchar_t* url, ITaskCallback<HttpToMemResult&&>* callback,
                           int64_t maxBytes = kMaxMemResourceBytes);

} // namespace downloader
