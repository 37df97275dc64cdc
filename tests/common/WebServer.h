#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace testutil {

// One request as nginx's access log of the test web server recorded it.
struct WebRequest {
    int port = 0;
    std::string method;
    std::string uri;
    std::string range; // the Range header, empty when none
    int status = 0;
    long long sent = 0; // body bytes
};

// The test web server (tests/servers/webserver.py) that the test launcher
// started as TLS (BC_TLS_PORT, BC_TLS_DIR): nginx over HTTPS on one port per
// site. "good" has a certificate for 127.0.0.1 from the CA the Wine prefix
// trusts for the run; "wronghost" one for another host name, "expired" one
// whose dates have passed, "unknownca" one from a CA nothing trusts.
class WebServer {
public:
    WebServer();

    bool Available() const { return !dir_.empty() && Port("good") != 0; }
    int Port(const char* site) const; // 0 for a site it does not serve

    // "https://127.0.0.1:<port of site><path>".
    std::wstring Url(const char* site, const std::wstring& path) const;
    // Where a file must be put to be served as "/name".
    std::wstring FilePath(const std::wstring& name) const { return dir_ + L"www\\" + name; }

    std::vector<WebRequest> Requests() const;
    std::vector<WebRequest> Requests(const char* site) const;
    // Connections to the site's port that nginx saw end before any request:
    // a client that hung up in or right after the TLS handshake.
    int ConnectionsWithoutRequest(const char* site) const;

private:
    std::wstring dir_; // ends in a backslash
    std::vector<std::pair<std::string, int>> ports_;
};

} // namespace testutil
