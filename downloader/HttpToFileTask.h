#pragma once

#include "downloader/Task.h"

namespace downloader {

// Fetches `length` bytes of a resource from `offset` into an open file at
// the file's current position (the caller positions it; the handle stays the
// caller's). When a request ends early it asks for the rest, with the ETag of
// an accepted 200 response as If-Range. A range that does not start at byte
// 0 but runs to the end of the resource, answered with the whole resource
// (200), ends the task with kErrorRangeIgnored before a byte is written;
// any other response that does not fit the range ends it with
// kErrorIncorrectFormat. Reports OnWritten after every write, then one
// OnComplete. The callback is referenced; null when memory is
// exhausted or there is no callback.
ITask* CreateHttpToFileTask(const wchar_t* url, HANDLE file, int64_t offset, int64_t length,
                            IHttpToFileCallback* callback);

} // namespace downloader
