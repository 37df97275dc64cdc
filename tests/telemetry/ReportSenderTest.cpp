#include "telemetry/ReportSender.h"

#include "telemetry/MachineId.h"
#include "telemetry/RunFacts.h"
#include "telemetry/ServiceSession.h"
#include "tests/common/TestUtil.h"
#include "tests/common/ZipReading.h"
#include "tests/telemetry/SinkRecords.h"

#include <gtest/gtest.h>

#include <map>

using sinktest::SinkRequest;

namespace {

using testutil::IsGuidText;

// --- The document, without the network ------------------------------------------------------

TEST(AnalyticsStatusWord, StartIsAlwaysStarted) {
    for (int status : {0, 1, 2, 3, 4, 7, -1}) {
        EXPECT_EQ(L"started", AnalyticsStatusWord(status, true)) << status;
    }
}

TEST(AnalyticsStatusWord, EndReportsThePagesStatus) {
    const std::map<int, std::wstring> expected = {
        {0, L"canceled"},
        {1, L"completed"},
        {2, L"error occurred"},
        {3, L"canceled"},
        {4, L"environment not supported"},
        // The page cannot set these; they read as the default.
        {5, L"environment not supported"},
        {-1, L"environment not supported"},
        {INT_MIN, L"environment not supported"}};
    for (const auto& c : expected) {
        EXPECT_EQ(c.second, AnalyticsStatusWord(c.first, false)) << c.first;
    }
}

TEST(EscapeXmlText, EscapesTheFiveSpecialCharactersOnly) {
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"", L""},
        {L"Browser 9.0 (x86 en-US)", L"Browser 9.0 (x86 en-US)"},
        {L"a<b", L"a&lt;b"},
        {L"a>b", L"a&gt;b"},
        {L"R&D", L"R&amp;D"},
        {L"say \"hi\"", L"say &quot;hi&quot;"},
        {L"it's", L"it&apos;s"},
        {L"&amp;", L"&amp;amp;"},
        {L"<<&>>", L"&lt;&lt;&amp;&gt;&gt;"},
        {L"Caf\u00e9 \u65e5\u672c", L"Caf\u00e9 \u65e5\u672c"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.second, EscapeXmlText(c.first));
    }
}

// Text from UTF-16 code units, also ones that are not characters on their own.
std::wstring Units(std::initializer_list<unsigned> units) {
    std::wstring text;
    for (unsigned unit : units) {
        text += static_cast<wchar_t>(unit);
    }
    return text;
}

TEST(EscapeXmlText, ReplacesCharactersAnXmlDocumentCannotHold) {
    // Control characters (but tab, line feed and carriage return), the two
    // non-characters U+FFFE and U+FFFF and unpaired surrogates would make the
    // whole document unreadable; each becomes U+FFFD.
    const std::pair<std::wstring, std::wstring> cases[] = {
        {std::wstring(L"a\0b", 3), L"a\ufffdb"},
        {L"\x01\x08\x0b\x0c\x0e\x1f", L"\ufffd\ufffd\ufffd\ufffd\ufffd\ufffd"},
        {L"tab\tlf\ncr\r", L"tab\tlf\ncr\r"},
        {L"\x1b[0m<", L"\ufffd[0m&lt;"},
        {L"x\ufffe\uffffy", L"x\ufffd\ufffdy"},
        {Units({0xd83d, 0xde00}), Units({0xd83d, 0xde00})},
        {Units({'a', 0xd83d}), Units({'a', 0xfffd})},
        {Units({0xde00, 'b'}), Units({0xfffd, 'b'})},
        {Units({0xde00, 0xd83d}), Units({0xfffd, 0xfffd})},
        {Units({0xd83d, 0xd83d, 0xde00}), Units({0xfffd, 0xd83d, 0xde00})},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.second, EscapeXmlText(c.first)) << c.second.size();
    }
}

TEST(ReportErrorPath, AppendsTokenAndMachineIdAsTheyAre) {
    EXPECT_EQ(L"/v1/reportError?token=ABC-1&machineId=P-00", ReportErrorPath(L"ABC-1", L"P-00"));
    EXPECT_EQ(L"/v1/reportError?token=&machineId=X-Y", ReportErrorPath(L"", L"X-Y"));
}

TEST(ChooseServiceProxy, UsesANamedProxyOnlyWhenOneIsConfigured) {
    const wchar_t proxy[] = L"proxy.example:8080";
    const wchar_t bypass[] = L"<local>";
    ServiceProxy route = ChooseServiceProxy(proxy, bypass);
    EXPECT_EQ(static_cast<DWORD>(WINHTTP_ACCESS_TYPE_NAMED_PROXY), route.accessType);
    EXPECT_EQ(proxy, route.proxy);
    EXPECT_EQ(bypass, route.bypass);
    route = ChooseServiceProxy(proxy, nullptr);
    EXPECT_EQ(static_cast<DWORD>(WINHTTP_ACCESS_TYPE_NAMED_PROXY), route.accessType);
    EXPECT_EQ(nullptr, route.bypass);
    for (const wchar_t* none : {static_cast<const wchar_t*>(nullptr), L""}) {
        route = ChooseServiceProxy(none, bypass);
        EXPECT_EQ(static_cast<DWORD>(WINHTTP_ACCESS_TYPE_NO_PROXY), route.accessType);
        EXPECT_EQ(nullptr, route.proxy);
        EXPECT_EQ(nullptr, route.bypass);
    }
}

// --- Through the sink ------------------------------------------------------------------

std::string Ascii(const std::wstring& text) {
    std::string narrow;
    for (wchar_t c : text) {
        EXPECT_LT(c, 0x80) << "test expects ASCII here";
        narrow += static_cast<char>(c);
    }
    return narrow;
}

// The document the service must receive, spelled out element by element.
std::string ExpectedDocument(const InstallerContext& c, const std::string& installLanguage,
                             const std::string& status, const std::string& wrapperError,
                             const std::string& msiError, const std::string& channel = "",
                             const std::string& externalProperties = "") {
    return "<KESTRAnalytics><requestToken>" + Ascii(c.requestToken) + "</requestToken><country>" +
           Ascii(c.country) + "</country><mainApp><productId>" + Ascii(c.productId) +
           "</productId><productVersion>" + Ascii(c.productVersion) +
           "</productVersion><channelId>" + channel + "</channelId><installLanguage>" +
           installLanguage + "</installLanguage><status>" + status + "</status>" +
           externalProperties + "</mainApp><error><wrapperError>" + wrapperError +
           "</wrapperError><msiError>" + msiError + "</msiError></error><userEnvironment><OS>" +
           Ascii(c.osName) + "</OS><language>" + Ascii(GetLanguageName(c.uiLanguage)) +
           "</language><architecture>" + Ascii(c.architecture) + "</architecture><defaultBrowser>" +
           Ascii(c.defaultBrowser) + "</defaultBrowser></userEnvironment><KESTRVersion>" +
           Ascii(c.managerVersion) + "</KESTRVersion><machineId>" + Ascii(c.machineId) +
           "</machineId></KESTRAnalytics>";
}

// How long a send or receive may take against the sink: short, so the stalled
// upload below ends soon.
const DWORD kSinkTransferTimeoutMs = 3000;

// The analytics sink that the test launcher started on the loopback interface.
ServiceEndpoint SinkEndpoint() {
    return ServiceEndpoint{L"127.0.0.1", static_cast<unsigned short>(testutil::ServerPort(L"SINK")),
                           10000, kSinkTransferTimeoutMs};
}

class Sink : public testing::Test {
protected:
    void SetUp() override {
        if (testutil::ServerPort(L"SINK") == 0) {
            GTEST_SKIP() << "the analytics sink was not started (BC_SINK_PORT)";
        }
        before_ = sinktest::ReadSinkRequests().size();
    }

    // The requests that arrived since the test started, once there are `count`.
    std::vector<SinkRequest> NewRequests(size_t count) {
        std::vector<SinkRequest> all;
        EXPECT_TRUE(sinktest::WaitForSinkRequests(before_ + count, all))
            << "the sink did not receive " << count << " request(s)";
        return std::vector<SinkRequest>(all.begin() + static_cast<ptrdiff_t>(before_), all.end());
    }

    // Proves that nothing was sent: a marker request sent afterwards is the
    // only new one (the sink takes requests one at a time, in order).
    void ExpectNothingSentBeforeMarker() {
        const char marker[] = "marker";
        ASSERT_TRUE(SendToService(marker, 6, L"/marker", L"POST", SinkEndpoint()));
        const std::vector<SinkRequest> requests = NewRequests(1);
        ASSERT_EQ(1u, requests.size());
        EXPECT_EQ("/marker", requests[0].path);
    }

    static void ExpectServiceHeaders(const SinkRequest& request) {
        EXPECT_EQ("Vantor Message Client/1.0", request.Header("User-Agent"));
        EXPECT_EQ("application/xml", request.Header("Content-Type"));
        EXPECT_EQ(std::to_string(request.body.size()), request.Header("Content-Length"));
        EXPECT_EQ("127.0.0.1:" + std::to_string(SinkEndpoint().port), request.Header("Host"));
        EXPECT_FALSE(request.HasHeader("Referer"));
    }

    size_t before_ = 0;
};

TEST_F(Sink, AFreshRunsStartDocument) {
    InstallerContext context(L"TLW", L"1.0.25.1");
    GatherRunFacts(context);
    ASSERT_TRUE(SendAnalytics(context, true, SinkEndpoint()));
    const std::vector<SinkRequest> requests = NewRequests(1);
    ASSERT_EQ(1u, requests.size());
    const SinkRequest& request = requests[0];
    EXPECT_EQ("POST", request.method);
    EXPECT_EQ("/v1/logAnalytics", request.path);
    EXPECT_EQ("", request.query);
    ExpectServiceHeaders(request);

    const std::string head = "<KESTRAnalytics><requestToken>";
    ASSERT_EQ(head, request.body.substr(0, head.size()));
    EXPECT_TRUE(IsGuidText(request.body.substr(head.size(), 36))) << request.body;
    EXPECT_EQ("</requestToken>", request.body.substr(head.size() + 36, 15));
    EXPECT_EQ(ExpectedDocument(context, "Other", "started", "0", "0"), request.body);
    EXPECT_EQ(std::string::npos, request.body.find("<externalProperties>"));
    EXPECT_NE(std::string::npos, request.body.find("</status></mainApp>"));
}

TEST_F(Sink, AFreshRunsEndDocumentSaysEnvironmentNotSupported) {
    InstallerContext context(L"TLW", L"1.0.25.1");
    GatherRunFacts(context);
    ASSERT_TRUE(SendAnalytics(context, false, SinkEndpoint()));
    const std::vector<SinkRequest> requests = NewRequests(1);
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("/v1/logAnalytics", requests[0].path);
    EXPECT_EQ(ExpectedDocument(context, "Other", "environment not supported", "0", "0"),
              requests[0].body);
}

TEST_F(Sink, AnEndDocumentCarriesTheRunsOutcome) {
    InstallerContext context(L"TLW", L"1.0.25.1");
    GatherRunFacts(context);
    context.SetInstallLanguage(3);
    context.channel = L"web";
    context.productVersion = L"18.0.1";
    context.installStatus = 0;
    context.failureStage = 1;
    context.failureCode = static_cast<int>(0x80004005);
    ASSERT_TRUE(SendAnalytics(context, false, SinkEndpoint()));
    context.installStatus = 1;
    context.failureStage = 0;
    context.failureCode = 1603;
    ASSERT_TRUE(SendAnalytics(context, false, SinkEndpoint()));
    context.installStatus = 2;
    ASSERT_TRUE(SendAnalytics(context, false, SinkEndpoint()));

    const std::vector<SinkRequest> requests = NewRequests(3);
    ASSERT_EQ(3u, requests.size());
    EXPECT_EQ(ExpectedDocument(context, "German", "canceled", "1", "-2147467259", "web"),
              requests[0].body);
    EXPECT_EQ(ExpectedDocument(context, "German", "completed", "0", "1603", "web"),
              requests[1].body);
    EXPECT_EQ(ExpectedDocument(context, "German", "error occurred", "0", "1603", "web"),
              requests[2].body);
}

TEST_F(Sink, ExternalPropertiesAreWrittenInKeyOrder) {
    InstallerContext context(L"TLW", L"1.0.25.1");
    GatherRunFacts(context);
    context.externalProperties[L"zeta"] = L"last";
    context.externalProperties[L"Alpha"] = L"first";
    context.externalProperties[L"beta"] = L"";
    ASSERT_TRUE(SendAnalytics(context, true, SinkEndpoint()));
    const std::vector<SinkRequest> requests = NewRequests(1);
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ(ExpectedDocument(context, "Other", "started", "0", "0", "",
                               "<externalProperties>"
                               "<property><name>Alpha</name><value>first</value></property>"
                               "<property><name>beta</name><value></value></property>"
                               "<property><name>zeta</name><value>last</value></property>"
                               "</externalProperties>"),
              requests[0].body);
}

TEST_F(Sink, SpecialCharactersInValuesAreEscaped) {
    InstallerContext context(L"TLW", L"1.0.25.1");
    GatherRunFacts(context);
    context.channel = L"a<b & \"c\" 'd'>";
    context.defaultBrowser = L"R&D Browser <beta>";
    context.externalProperties[L"k&y"] = L"<v>";
    ASSERT_TRUE(SendAnalytics(context, true, SinkEndpoint()));
    const std::vector<SinkRequest> requests = NewRequests(1);
    ASSERT_EQ(1u, requests.size());
    const std::string& body = requests[0].body;
    EXPECT_NE(std::string::npos,
              body.find("<channelId>a&lt;b &amp; &quot;c&quot; &apos;d&apos;&gt;</channelId>"));
    EXPECT_NE(std::string::npos,
              body.find("<defaultBrowser>R&amp;D Browser &lt;beta&gt;</defaultBrowser>"));
    EXPECT_NE(std::string::npos,
              body.find("<property><name>k&amp;y</name><value>&lt;v&gt;</value></property>"));
    // Every other value went out as it was.
    EXPECT_NE(std::string::npos, body.find("<productId>TLW</productId>"));
    EXPECT_EQ(std::string::npos, body.find("a<b"));
}

TEST_F(Sink, TheBodyIsUtf8WithoutAMark) {
    InstallerContext context(L"TLW", L"1.0.25.1");
    GatherRunFacts(context);
    context.channel = L"Caf\u00e9-\u65e5\u672c";
    ASSERT_TRUE(SendAnalytics(context, true, SinkEndpoint()));
    const std::vector<SinkRequest> requests = NewRequests(1);
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ('<', requests[0].body[0]);
    EXPECT_NE(std::string::npos,
              requests[0].body.find("<channelId>Caf\xc3\xa9-\xe6\x97\xa5\xe6\x9c\xac</channelId>"));
    EXPECT_EQ('>', requests[0].body.back()) << "no terminator";
}

TEST_F(Sink, AControlCharacterInAValueLeavesTheDocumentWellFormed) {
    InstallerContext context(L"TLW", L"1.0.25.1");
    GatherRunFacts(context);
    // A default value of another type than text, read as text, and a channel
    // with an escape sequence in it.
    context.defaultBrowser = std::wstring(L"\x01\0", 2);
    context.channel = L"web\x1b[0m";
    ASSERT_TRUE(SendAnalytics(context, false, SinkEndpoint()));
    const std::vector<SinkRequest> requests = NewRequests(1);
    ASSERT_EQ(1u, requests.size());
    const std::string& body = requests[0].body;
    EXPECT_NE(std::string::npos,
              body.find("<defaultBrowser>\xef\xbf\xbd\xef\xbf\xbd</defaultBrowser>"));
    EXPECT_NE(std::string::npos, body.find("<channelId>web\xef\xbf\xbd[0m</channelId>"));
    std::string controls;
    for (char c = 0; c < 0x20; ++c) {
        controls += c;
    }
    EXPECT_EQ(std::string::npos, body.find_first_of(controls)) << "a character XML cannot hold";
}

TEST_F(Sink, AReportFileIsPutWithTokenAndMachineId) {
    testutil::ScratchFolder scratch;
    std::string bytes;
    for (int i = 0; i < 3000; ++i) {
        bytes += static_cast<char>(i * 7 % 256);
    }
    ASSERT_TRUE(testutil::WriteFileBytes(scratch / L"report.bin", bytes));
    ASSERT_TRUE(PutReportFile(scratch / L"report.bin", L"0A1B2C3D-0000-1111-2222-333344445555",
                              L"P-001A2B3C-4D5E-001A-2B3C-4D5E001A2B3C", SinkEndpoint()));
    const std::vector<SinkRequest> requests = NewRequests(1);
    ASSERT_EQ(1u, requests.size());
    const SinkRequest& request = requests[0];
    EXPECT_EQ("PUT", request.method);
    EXPECT_EQ("/v1/reportError", request.path);
    EXPECT_EQ("token=0A1B2C3D-0000-1111-2222-333344445555"
              "&machineId=P-001A2B3C-4D5E-001A-2B3C-4D5E001A2B3C",
              request.query);
    ExpectServiceHeaders(request);
    EXPECT_EQ(bytes, request.body);
}

TEST_F(Sink, AnEmptyReportFileIsPutWithAnEmptyBody) {
    testutil::ScratchFolder scratch;
    ASSERT_TRUE(testutil::WriteFileBytes(scratch / L"empty.dmp", ""));
    ASSERT_TRUE(PutReportFile(scratch / L"empty.dmp", L"T", L"M", SinkEndpoint()));
    const std::vector<SinkRequest> requests = NewRequests(1);
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("token=T&machineId=M", requests[0].query);
    EXPECT_EQ("", requests[0].body);
    EXPECT_EQ("0", requests[0].Header("Content-Length"));
}

TEST_F(Sink, AMissingReportFileSendsNothing) {
    testutil::ScratchFolder scratch;
    EXPECT_FALSE(PutReportFile(scratch / L"missing.dmp", L"T", L"M", SinkEndpoint()));
    ExpectNothingSentBeforeMarker();
}

TEST_F(Sink, ACrashReportHasAnEmptyTokenAndThisMachinesIdentifier) {
    testutil::ScratchFolder scratch;
    ASSERT_TRUE(testutil::WriteFileBytes(scratch / L"dlm.dmp", std::string("MDMP\x93\xa7", 6)));
    ASSERT_TRUE(SendCrashReport(scratch / L"dlm.dmp", SinkEndpoint()));
    const std::vector<SinkRequest> requests = NewRequests(1);
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("PUT", requests[0].method);
    EXPECT_EQ("/v1/reportError", requests[0].path);
    const std::string machineId = Ascii(GetMachineIdString());
    EXPECT_EQ(38u, machineId.size());
    EXPECT_EQ("token=&machineId=" + machineId, requests[0].query);
    EXPECT_EQ(std::string("MDMP\x93\xa7", 6), requests[0].body);
}

bool FolderIsEmpty(const std::wstring& folder) {
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + L"*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        return true;
    }
    bool empty = true;
    do {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..") {
            empty = false;
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return empty;
}

TEST_F(Sink, AnErrorReportZipsTheAttachedFilesUnderTheirBareNames) {
    testutil::ScratchFolder scratch;
    testutil::ScratchFolder temp;
    ASSERT_TRUE(CreateDirectoryW((scratch / L"log").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((scratch / L"setup logs").c_str(), nullptr));
    const std::string setupLog(50000, 'S');
    const std::string installerLog = "[20240101 10:00:00   0 DEBUG] Property lang: en\n";
    ASSERT_TRUE(testutil::WriteFileBytes(scratch / L"setup logs\\msi log.txt", setupLog));
    ASSERT_TRUE(testutil::WriteFileBytes(scratch / L"log\\installer_log.txt", installerLog));

    InstallerContext context(L"TLW", L"1.0.25.1");
    GatherRunFacts(context);
    ReportSender sender(context, SinkEndpoint());
    sender.attachments.push_back(scratch / L"setup logs\\msi log.txt");
    sender.attachments.push_back(scratch / L"log\\missing.txt");
    sender.attachments.push_back(scratch / L"log\\installer_log.txt");
    {
        testutil::TempFolderOverride override(temp.path());
        EXPECT_TRUE(sender.SendErrorReport());
    }
    EXPECT_TRUE(FolderIsEmpty(temp.path())) << "the report's folder was left behind";

    const std::vector<SinkRequest> requests = NewRequests(1);
    ASSERT_EQ(1u, requests.size());
    const SinkRequest& request = requests[0];
    EXPECT_EQ("PUT", request.method);
    EXPECT_EQ("/v1/reportError", request.path);
    EXPECT_EQ("token=" + Ascii(context.requestToken) + "&machineId=" + Ascii(context.machineId),
              request.query);
    ExpectServiceHeaders(request);

    ASSERT_TRUE(testutil::WriteFileBytes(scratch / L"received.zip", request.body));
    const std::vector<testutil::ZipEntry> entries = testutil::ReadZip(scratch / L"received.zip");
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ("msi log.txt", entries[0].name);
    EXPECT_EQ(setupLog, entries[0].content);
    EXPECT_EQ("installer_log.txt", entries[1].name);
    EXPECT_EQ(installerLog, entries[1].content);
}

TEST_F(Sink, AnErrorReportWithoutAnyExistingAttachmentSendsNothing) {
    testutil::ScratchFolder scratch;
    testutil::ScratchFolder temp;
    InstallerContext context(L"TLW", L"1.0.25.1");
    GatherRunFacts(context);
    ReportSender sender(context, SinkEndpoint());
    {
        testutil::TempFolderOverride override(temp.path());
        EXPECT_TRUE(sender.SendErrorReport()) << "no attachments at all";
        sender.attachments.push_back(scratch / L"missing.txt");
        sender.attachments.push_back(scratch / L"gone\\installer_log.txt");
        EXPECT_TRUE(sender.SendErrorReport()) << "only missing attachments";
    }
    EXPECT_TRUE(FolderIsEmpty(temp.path())) << "a zip or folder was left behind";
    ExpectNothingSentBeforeMarker();
}

TEST_F(Sink, AServiceSessionOpensAndCloses) {
    WinHttpHandle session = OpenServiceSession(SinkEndpoint());
    ASSERT_TRUE(session.IsValid());
    EXPECT_TRUE(WinHttpCloseHandle(session.Release()));
}

// Runs last: the sink stops reading for a while, so a large body cannot be
// sent, and the send time-out must end the request.
TEST_F(Sink, ASendThatCannotProceedEnds) {
    const std::string body(32 * 1024 * 1024, 'z');
    const DWORD start = GetTickCount();
    EXPECT_FALSE(SendToService(body.data(), static_cast<DWORD>(body.size()), L"/stall", L"PUT",
                               SinkEndpoint()));
    const DWORD took = GetTickCount() - start;
    std::printf("stalled send ended after %lu ms (time-out %lu ms)\n", took,
                kSinkTransferTimeoutMs);
    EXPECT_GE(took, kSinkTransferTimeoutMs - 100);
}

} // namespace
