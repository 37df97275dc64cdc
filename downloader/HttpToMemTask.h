#pragma once

#include "downloader/Task.h"

namespace downloader {

// Fetches a whole resource into a memory buffer sized from its first 200
// response; when a request ends early it asks for the rest with a range
// request carrying the ETag as If-Range. Reports one OnComplete with the
// HttpToMemResult. The callback is referenced; null when memory is exhausted
// or there is no callback.
ITask* CreateHttpToMemTask(const wchar_t* url, ITaskCallback<HttpToMemResult&&>* callback);

} // namespace downloader
