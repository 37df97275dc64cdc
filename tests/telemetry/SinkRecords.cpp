#include "tests/telemetry/SinkRecords.h"

#include "tests/common/TestUtil.h"

#include <cstdio>
#include <sstream>

namespace sinktest {

namespace {

bool SameIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && _stricmp(a.c_str(), b.c_str()) == 0;
}

} // namespace

std::string SinkRequest::Header(const std::string& name) const {
    for (const auto& header : headers) {
        if (SameIgnoringCase(header.first, name)) {
            return header.second;
        }
    }
    return std::string();
}

bool SinkRequest::HasHeader(const std::string& name) const {
    for (const auto& header : headers) {
        if (SameIgnoringCase(header.first, name)) {
            return true;
        }
    }
    return false;
}

std::vector<SinkRequest> ReadSinkRequests() {
    std::vector<SinkRequest> requests;
    const std::wstring folder = testutil::ServerDir(L"SINK");
    if (folder.empty()) {
        return requests;
    }
    for (int n = 1;; ++n) {
        wchar_t stem[16];
        _snwprintf(stem, 16, L"%06d", n);
        const std::wstring meta = folder + stem + L".txt";
        if (!testutil::FileExists(meta)) {
            break;
        }
        std::istringstream lines(testutil::ReadFileBytes(meta));
        SinkRequest request;
        std::getline(lines, request.method);
        std::getline(lines, request.path);
        std::getline(lines, request.query);
        std::string line;
        while (std::getline(lines, line)) {
            const size_t colon = line.find(": ");
            if (colon != std::string::npos) {
                request.headers.emplace_back(line.substr(0, colon), line.substr(colon + 2));
            }
        }
        request.body = testutil::ReadFileBytes(folder + stem + L".body");
        requests.push_back(request);
    }
    return requests;
}

bool WaitForSinkRequests(size_t count, std::vector<SinkRequest>& requests, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        requests = ReadSinkRequests();
        if (requests.size() >= count) {
            return true;
        }
        if (GetTickCount() - start >= timeoutMs) {
            return false;
        }
        Sleep(20);
    }
}

} // namespace sinktest
