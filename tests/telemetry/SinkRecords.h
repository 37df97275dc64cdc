#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace sinktest {

// One request as the analytics sink recorded it.
struct SinkRequest {
    std::string method;
    std::string path;
    std::string query;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    // The value of the first header of that name (any case); empty if none.
    std::string Header(const std::string& name) const;
    bool HasHeader(const std::string& name) const;
};

// Every complete record so far, in arrival order.
std::vector<SinkRequest> ReadSinkRequests();

// Waits until at least `count` records exist, at most `timeoutMs`; false on
// time-out. `requests` receives what was there at the end.
bool WaitForSinkRequests(size_t count, std::vector<SinkRequest>& requests, DWORD timeoutMs = 30000);

} // namespace sinktest
