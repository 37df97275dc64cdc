#include "tests/common/WebServer.h"

#include "tests/common/TestUtil.h"

#include <cstdlib>
#include <sstream>

namespace testutil {

namespace {

// The value of "key" in one line of the access log: nginx writes a flat
// JSON object with escape=json, so a string value has no bare quote.
std::string Field(const std::string& line, const std::string& key) {
    const std::string tag = "\"" + key + "\":";
    const size_t at = line.find(tag);
    if (at == std::string::npos) {
        return std::string();
    }
    size_t from = at + tag.size();
    if (from < line.size() && line[from] == '"') {
        ++from;
        size_t end = from;
        while (end < line.size() && line[end] != '"') {
            end += line[end] == '\\' ? 2 : 1;
        }
        return line.substr(from, end - from);
    }
    const size_t end = line.find_first_of(",}", from);
    return line.substr(from, end == std::string::npos ? std::string::npos : end - from);
}

} // namespace

WebServer::WebServer() : dir_(ServerDir(L"TLS")) {
    if (dir_.empty()) {
        return;
    }
    if (dir_.back() != L'\\') {
        dir_ += L'\\';
    }
    std::istringstream lines(ReadFileBytes(dir_ + L"ports.txt"));
    std::string name;
    int port = 0;
    while (lines >> name >> port) {
        ports_.emplace_back(name, port);
    }
}

int WebServer::Port(const char* site) const {
    for (const auto& entry : ports_) {
        if (entry.first == site) {
            return entry.second;
        }
    }
    return 0;
}

std::wstring WebServer::Url(const char* site, const std::wstring& path) const {
    return L"https://127.0.0.1:" + std::to_wstring(Port(site)) + path;
}

std::vector<WebRequest> WebServer::Requests() const {
    std::vector<WebRequest> requests;
    std::istringstream lines(ReadFileBytes(dir_ + L"state\\access.log"));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty()) {
            continue;
        }
        WebRequest request;
        request.port = std::atoi(Field(line, "port").c_str());
        request.method = Field(line, "method");
        request.uri = Field(line, "uri");
        request.range = Field(line, "range");
        request.status = std::atoi(Field(line, "status").c_str());
        request.sent = std::atoll(Field(line, "sent").c_str());
        requests.push_back(request);
    }
    return requests;
}

std::vector<WebRequest> WebServer::Requests(const char* site) const {
    std::vector<WebRequest> mine;
    for (const WebRequest& request : Requests()) {
        if (request.port == Port(site)) {
            mine.push_back(request);
        }
    }
    return mine;
}

int WebServer::ConnectionsWithoutRequest(const char* site) const {
    // nginx names the listening address of such a connection as its server.
    const std::string server = "server: 127.0.0.1:" + std::to_string(Port(site));
    std::istringstream lines(ReadFileBytes(dir_ + L"state\\error.log"));
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        if (line.find(server) != std::string::npos && line.find("request:") == std::string::npos &&
            (line.find("while SSL handshaking") != std::string::npos ||
             line.find("while waiting for request") != std::string::npos)) {
            ++count;
        }
    }
    return count;
}

} // namespace testutil
