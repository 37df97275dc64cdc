#include "telemetry/ReportSender.h"

#include "base/TempFolders.h"
#include "base/UniqueHandle.h"
#include "base/Utf8.h"
#include "telemetry/MachineId.h"
#include "telemetry/ServiceSession.h"
#include "zip/ZipAddFile.h"

#include <cwchar>
#include <utility>

// The service's address is fixed when the program is built.
#ifndef BC_ANALYTICS_HOST
#error "BC_ANALYTICS_HOST (a narrow string literal) must be defined by the build"
#endif
#ifndef BC_ANALYTICS_PORT
#error "BC_ANALYTICS_PORT must be defined by the build"
#endif

ServiceEndpoint DefaultServiceEndpoint() {
    // Finding and reaching the host may take 10 s each, each send or receive 30 s.
    return ServiceEndpoint{L"" BC_ANALYTICS_HOST, BC_ANALYTICS_PORT, 10000, 30000};
}

const wchar_t kServiceUserAgent[] = L"Vantor Message Client/1.0";
const wchar_t kServiceContentType[] = L"Content-Type:application/xml";
const wchar_t kAnalyticsPath[] = L"/v1/logAnalytics";
const wchar_t kReportErrorPath[] = L"/v1/reportError";

namespace {

const wchar_t* const kStatusWords[] = {L"started", L"completed", L"error occurred", L"canceled",
                                       L"environment not supported"};

void AppendElement(std::wstring& document, const wchar_t* name, const std::wstring& value) {
    document += L'<';
    document += name;
    document += L'>';
    document += EscapeXmlText(value);
    document += L"</";
    document += name;
    document += L'>';
}

} // namespace

std::wstring AnalyticsStatusWord(int installStatus, bool isStart) {
    if (isStart) {
        return kStatusWords[0];
    }
    if (installStatus == InstallStatusNotStarted) {
        return kStatusWords[InstallStatusCanceled];
    }
    // The page can only set 0 to 4; anything else is reported as the default.
    if (installStatus < 0 || installStatus > InstallStatusEnvironmentNotSupported) {
        return kStatusWords[InstallStatusEnvironmentNotSupported];
    }
    return kStatusWords[installStatus];
}

namespace {

bool IsHighSurrogate(wchar_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}

bool IsLowSurrogate(wchar_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

// Characters that no XML document may hold, not even as a reference: the
// controls other than tab, line feed and carriage return, and U+FFFE, U+FFFF.
bool IsForbiddenInXml(wchar_t c) {
    return (c < 0x20 && c != L'\t' && c != L'\n' && c != L'\r') || c == 0xFFFE || c == 0xFFFF;
}

} // namespace

std::wstring EscapeXmlText(const std::wstring& text) {
    std::wstring escaped;
    escaped.reserve(text.size() + 16);
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            escaped += c;
            escaped += text[++i];
            continue;
        }
        // One such character would make the service refuse the whole document.
        if (IsForbiddenInXml(c) || IsHighSurrogate(c) || IsLowSurrogate(c)) {
            escaped += L'\xFFFD';
            continue;
        }
        switch (c) {
        case L'<':
            escaped += L"&lt;";
            break;
        case L'>':
            escaped += L"&gt;";
            break;
        case L'&':
            escaped += L"&amp;";
            break;
        case L'"':
            escaped += L"&quot;";
            break;
        case L'\'':
            escaped += L"&apos;";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

std::wstring BuildAnalyticsDocument(const InstallerContext& context, bool isStart) {
    std::wstring document = L"<KESTRAnalytics>";
    AppendElement(document, L"requestToken", context.requestToken);
    AppendElement(document, L"country", context.country);
    document += L"<mainApp>";
    AppendElement(document, L"productId", context.productId);
    AppendElement(document, L"productVersion", context.productVersion);
    AppendElement(document, L"channelId", context.channel);
    AppendElement(document, L"installLanguage", GetLanguageName(context.installLanguage));
    AppendElement(document, L"status", AnalyticsStatusWord(context.installStatus, isStart));
    if (!context.externalProperties.empty()) {
        document += L"<externalProperties>";
        for (const auto& entry : context.externalProperties) {
            document += L"<property>";
            AppendElement(document, L"name", entry.first);
            AppendElement(document, L"value", entry.second);
            document += L"</property>";
        }
        document += L"</externalProperties>";
    }
    document += L"</mainApp>";
    document += L"<error>";
    AppendElement(document, L"wrapperError", std::to_wstring(context.failureStage));
    AppendElement(document, L"msiError", std::to_wstring(context.failureCode));
    document += L"</error>";
    document += L"<userEnvironment>";
    AppendElement(document, L"OS", context.osName);
    AppendElement(document, L"language", GetLanguageName(context.uiLanguage));
    AppendElement(document, L"architecture", context.architecture);
    AppendElement(document, L"defaultBrowser", context.defaultBrowser);
    document += L"</userEnvironment>";
    AppendElement(document, L"KESTRVersion", context.managerVersion);
    AppendElement(document, L"machineId", context.machineId);
    document += L"</KESTRAnalytics>";
    return document;
}

bool SendAnalytics(const InstallerContext& context, bool isStart, const ServiceEndpoint& endpoint) {
    const std::string body = ToUtf8(BuildAnalyticsDocument(context, isStart));
    return SendToService(body.data(), static_cast<DWORD>(body.size()), kAnalyticsPath, L"POST",
                         endpoint);
}

bool SendCrashReport(const std::wstring& filePath, const ServiceEndpoint& endpoint) {
    return PutReportFile(filePath, std::wstring(), GetMachineIdString(), endpoint);
}

std::wstring ReportErrorPath(const std::wstring& token, const std::wstring& machineId) {
    return std::wstring(kReportErrorPath) + L"?token=" + token + L"&machineId=" + machineId;
}

bool PutReportFile(const std::wstring& filePath, const std::wstring& token,
                   const std::wstring& machineId, const ServiceEndpoint& endpoint) {
    FileHandle file(CreateFileW(filePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return false;
    }
    DWORD high = 0;
    const DWORD size = GetFileSize(file.Get(), &high);
    bool complete = !(size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) && high == 0;
    std::string body;
    if (complete) {
        body.resize(size);
        DWORD done = 0;
        while (done < size) {
            DWORD got = 0;
            if (!ReadFile(file.Get(), &body[done], size - done, &got, nullptr) || got == 0) {
                break;
            }
            done += got;
        }
        // A report cut short would only mislead; send it whole or not at all.
        complete = done == size;
    }
    file.Reset();
    if (!complete) {
        return false;
    }
    return SendToService(body.data(), size, ReportErrorPath(token, machineId), L"PUT", endpoint);
}

ServiceProxy ChooseServiceProxy(const wchar_t* proxy, const wchar_t* bypass) {
    if (proxy && *proxy) {
        return {WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy, bypass};
    }
    return {WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS};
}

WinHttpHandle OpenServiceSession(const ServiceEndpoint& endpoint) {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
    const bool haveConfig = WinHttpGetIEProxyConfigForCurrentUser(&config) != FALSE;
    const ServiceProxy route = haveConfig
                                   ? ChooseServiceProxy(config.lpszProxy, config.lpszProxyBypass)
                                   : ChooseServiceProxy(nullptr, nullptr);
    WinHttpHandle session(
        WinHttpOpen(kServiceUserAgent, route.accessType, route.proxy, route.bypass, 0));
    if (config.lpszAutoConfigUrl) {
        GlobalFree(config.lpszAutoConfigUrl);
    }
    if (config.lpszProxy) {
        GlobalFree(config.lpszProxy);
    }
    if (config.lpszProxyBypass) {
        GlobalFree(config.lpszProxyBypass);
    }
    if (session && !WinHttpSetTimeouts(session.Get(), static_cast<int>(endpoint.connectTimeoutMs),
                                       static_cast<int>(endpoint.connectTimeoutMs),
                                       static_cast<int>(endpoint.transferTimeoutMs),
                                       static_cast<int>(endpoint.transferTimeoutMs))) {
        // Without the bounds a silent network could block the caller for good.
        session.Reset();
    }
    return session;
}

bool SendToService(const void* body, DWORD length, const std::wstring& path,
                   const std::wstring& verb, const ServiceEndpoint& endpoint) {
    // Declared in opening order, so the request closes first.
    const WinHttpHandle session = OpenServiceSession(endpoint);
    if (!session) {
        return false;
    }
    const WinHttpHandle connection(
        WinHttpConnect(session.Get(), endpoint.host.c_str(), endpoint.port, 0));
    if (!connection) {
        return false;
    }
    const WinHttpHandle request(
        WinHttpOpenRequest(connection.Get(), verb.c_str(), path.c_str(), nullptr,
                           WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_REFRESH));
    if (!request) {
        return false;
    }
    void* data = length ? const_cast<void*>(body) : WINHTTP_NO_REQUEST_DATA;
    return WinHttpSendRequest(request.Get(), kServiceContentType,
                              static_cast<DWORD>(wcslen(kServiceContentType)), data, length, length,
                              0) != FALSE;
}

ReportSender::ReportSender(const InstallerContext& contextValue, ServiceEndpoint endpointValue)
    : context(contextValue), endpoint(std::move(endpointValue)) {}

bool ReportSender::SendErrorReport() {
    std::wstring folder;
    if (!GetTempFolderPath(folder) || !CreateUniqueSubfolder(folder)) {
        return false;
    }
    // The folder path ends in a backslash.
    const std::wstring zipPath = folder + L"log.zip";
    for (const std::wstring& path : attachments) {
        // A missing or unreadable file is left out; the others still go.
        zip::ZipAddFile(path, zipPath);
    }
    // Without any attachment there is no zip, and this sends nothing.
    PutReportFile(zipPath, context.requestToken, context.machineId, endpoint);
    return DeleteFolderTree(folder);
}
