#pragma once

#include "base/InstallerContext.h"

#include <windows.h>

#include <string>
#include <vector>

// Analytics and error reports to the service. Each message is one synchronous
// request whose response is not read; failures end that message silently and
// the callers ignore the results.

// Where the messages go, and how long each request may take: finding and
// reaching the host each, then each send and receive (WinHTTP's own defaults
// wait for ever to resolve a name, so a silent network could hold the start
// or the end of a run).
struct ServiceEndpoint {
    std::wstring host;
    unsigned short port;
    DWORD connectTimeoutMs;
    DWORD transferTimeoutMs;
};

// The service this program was built for.
ServiceEndpoint DefaultServiceEndpoint();

// What identifies the sender and its messages.
extern const wchar_t kServiceUserAgent[];   // "Vantor Message Client/1.0"
extern const wchar_t kServiceContentType[]; // "Content-Type:application/xml"
extern const wchar_t kAnalyticsPath[];      // "/v1/logAnalytics"
extern const wchar_t kReportErrorPath[];    // "/v1/reportError"

// The status word of the start (always "started") or end document; the end
// reports 0 ("not started") as "canceled".
std::wstring AnalyticsStatusWord(int installStatus, bool isStart);

// Escapes the five XML special characters and replaces each character that
// no XML document can hold (controls other than tab, line feed and carriage
// return, U+FFFE, U+FFFF, unpaired surrogates) with U+FFFD; other text is
// returned unchanged.
std::wstring EscapeXmlText(const std::wstring& text);

// The analytics document for the start (true) or end (false) of the run.
std::wstring BuildAnalyticsDocument(const InstallerContext& context, bool isStart);

// Builds and posts the analytics document; true when the request was sent.
bool SendAnalytics(const InstallerContext& context, bool isStart,
                   const ServiceEndpoint& endpoint = DefaultServiceEndpoint());

// Uploads a crash dump with an empty token and this machine's identifier.
bool SendCrashReport(const std::wstring& filePath,
                     const ServiceEndpoint& endpoint = DefaultServiceEndpoint());

// Reads the whole file and puts it to the report path with the token and
// machine identifier; false, with nothing sent, when the file cannot be read.
bool PutReportFile(const std::wstring& filePath, const std::wstring& token,
                   const std::wstring& machineId,
                   const ServiceEndpoint& endpoint = DefaultServiceEndpoint());

// "/v1/reportError?token=" + token + "&machineId=" + machine identifier.
std::wstring ReportErrorPath(const std::wstring& token, const std::wstring& machineId);

// One request to the service: true when it was sent.
bool SendToService(const void* body, DWORD length, const std::wstring& path,
                   const std::wstring& verb,
                   const ServiceEndpoint& endpoint = DefaultServiceEndpoint());

// The files of a failed run and the sending of their report.
class ReportSender {
public:
    explicit ReportSender(const InstallerContext& context,
                          ServiceEndpoint endpoint = DefaultServiceEndpoint());

    ReportSender(const ReportSender&) = delete;
    ReportSender& operator=(const ReportSender&) = delete;

    // Packs the attached files that exist into "log.zip" in a private folder
    // and uploads it with the run's token and machine identifier; sends
    // nothing when none exists. The folder is removed afterwards; the result
    // is whether that removal succeeded.
    bool SendErrorReport();

    const InstallerContext& context;
    // Where the report goes.
    const ServiceEndpoint endpoint;
    // Full paths, in the order added; a path may name a missing file.
    std::vector<std::wstring> attachments;
};
