#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace testutil {

// One request as the package server (tests/servers/pkgserver.py) logged it.
struct PkgRequest {
    std::string method;
    std::string target; // path and query as sent
    std::vector<std::pair<std::string, std::string>> headers;
    int status = 0;
    long long sent = 0;
    int rule = 0;

    bool HasHeader(const char* name) const;
    std::string Header(const char* name) const; // empty when absent
};

// Client of the package server that the test launcher started as PKG
// (BC_PKG_PORT, BC_PKG_DIR). Control requests are synchronous WinINet GETs.
class PkgServer {
public:
    PkgServer();

    bool Available() const { return port_ != 0 && !dir_.empty(); }
    int port() const { return port_; }
    // Windows path of the served folder, ending in a backslash.
    const std::wstring& dir() const { return dir_; }

    // "http://127.0.0.1:<port>" followed by pathAndQuery ("/a.bin?x=1").
    std::wstring Url(const std::wstring& pathAndQuery) const;
    std::wstring FilePath(const std::wstring& name) const { return dir_ + name; }

    // GET /_control/<command>; true on status 200, with the body in *answer.
    bool Control(const std::string& command, std::string* answer = nullptr) const;
    bool Reset() const { return Control("reset"); }
    // Adds a misbehaviour rule, e.g. AddRule("path=/a.bin&end=600").
    bool AddRule(const std::string& query) const { return Control("add?" + query); }
    std::vector<PkgRequest> Log() const;

    // The ETag the server sends for a file as it is now.
    std::string ETagOf(const std::wstring& name) const;

private:
    int port_ = 0;
    std::wstring dir_;
};

// Deterministic test content: byte i is a function of i and seed.
std::string PatternBytes(size_t size, unsigned seed = 1);

} // namespace testutil
