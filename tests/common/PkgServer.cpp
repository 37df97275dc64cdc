#include "tests/common/PkgServer.h"

#include "tests/common/TestUtil.h"

#include <wininet.h>

#include <cctype>
#include <cstdlib>
#include <sstream>

namespace testutil {

namespace {

bool SameName(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return i == a.size() && b[i] == '\0';
}

// A synchronous GET; false unless the status is 200.
bool HttpGet(const std::wstring& url, std::string* body) {
    HINTERNET root = InternetOpenA("bc-tests", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    if (root == nullptr) {
        return false;
    }
    DWORD timeout = 20000;
    InternetSetOptionA(root, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);
    InternetSetOptionA(root, INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof timeout);
    bool ok = false;
    HINTERNET request = InternetOpenUrlW(
        root, url.c_str(), nullptr, 0,
        INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI, 0);
    if (request != nullptr) {
        DWORD status = 0;
        DWORD length = sizeof status;
        ok = HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                            &length, nullptr) &&
             status == 200;
        std::string text;
        char chunk[8192];
        DWORD got = 0;
        while (InternetReadFile(request, chunk, sizeof chunk, &got) && got > 0) {
            text.append(chunk, got);
        }
        if (body != nullptr) {
            *body = text;
        }
        InternetCloseHandle(request);
    }
    InternetCloseHandle(root);
    return ok;
}

} // namespace

bool PkgRequest::HasHeader(const char* name) const {
    for (const auto& header : headers) {
        if (SameName(header.first, name)) {
            return true;
        }
    }
    return false;
}

std::string PkgRequest::Header(const char* name) const {
    for (const auto& header : headers) {
        if (SameName(header.first, name)) {
            return header.second;
        }
    }
    return std::string();
}

PkgServer::PkgServer() : port_(ServerPort(L"PKG")), dir_(ServerDir(L"PKG")) {}

std::wstring PkgServer::Url(const std::wstring& pathAndQuery) const {
    return L"http://127.0.0.1:" + std::to_wstring(port_) + pathAndQuery;
}

bool PkgServer::Control(const std::string& command, std::string* answer) const {
    return HttpGet(Url(L"/_control/" + std::wstring(command.begin(), command.end())), answer);
}

std::vector<PkgRequest> PkgServer::Log() const {
    std::vector<PkgRequest> requests;
    std::string text;
    if (!Control("log", &text)) {
        return requests;
    }
    std::istringstream lines(text);
    std::string line;
    PkgRequest* current = nullptr;
    while (std::getline(lines, line)) {
        if (line.empty()) {
            current = nullptr;
            continue;
        }
        if (current == nullptr) {
            requests.emplace_back();
            current = &requests.back();
            const size_t space = line.find(' ');
            current->method = line.substr(0, space);
            current->target = space == std::string::npos ? "" : line.substr(space + 1);
        } else if (line[0] == '=') {
            std::istringstream fields(line.substr(1));
            std::string word;
            while (fields >> word) {
                if (word == "status") {
                    fields >> current->status;
                } else if (word == "sent") {
                    fields >> current->sent;
                } else if (word == "rule") {
                    fields >> current->rule;
                }
            }
        } else {
            const size_t colon = line.find(": ");
            if (colon != std::string::npos) {
                current->headers.emplace_back(line.substr(0, colon), line.substr(colon + 2));
            }
        }
    }
    return requests;
}

std::string PkgServer::ETagOf(const std::wstring& name) const {
    std::string etag;
    Control("etag?path=/" + std::string(name.begin(), name.end()), &etag);
    return etag;
}

std::string PatternBytes(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    unsigned state = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(state >> 24);
    }
    return bytes;
}

} // namespace testutil
