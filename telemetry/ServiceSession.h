#pragma once

// The WinHTTP side of the report sender; included only by telemetry sources
// and their tests, so that <winhttp.h> stays out of every other file.

#include "telemetry/ReportSender.h"

#include "base/WinHttpHandle.h"

// How a session reaches the service, from the user's proxy settings.
struct ServiceProxy {
    DWORD accessType; // WINHTTP_ACCESS_TYPE_NAMED_PROXY or WINHTTP_ACCESS_TYPE_NO_PROXY
    const wchar_t* proxy;
    const wchar_t* bypass;
};
ServiceProxy ChooseServiceProxy(const wchar_t* proxy, const wchar_t* bypass);

// A synchronous session with the user's proxy and the endpoint's time-outs;
// not valid on failure.
WinHttpHandle OpenServiceSession(const ServiceEndpoint& endpoint);
