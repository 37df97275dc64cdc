#include "base/LogFile.h"
#include "payload/LicenseDownload.h"
#include "payload/PayloadArchive.h"
#include "tests/common/TestUtil.h"
#include "tests/payload/PayloadTestSupport.h"

#include <gtest/gtest.h>

#include <shlobj.h>

using namespace payloadtest;

namespace {

TEST(LicenseUrl, PutsProductAndLanguageUnderTheServersLicencePath) {
    EXPECT_EQ(L"http://license.test/license/TLW/en/Eula.html",
              LicenseUrl(L"http://license.test", L"TLW", L"en"));
    EXPECT_EQ(L"http://127.0.0.1:8080/license/TLW/fr/Eula.html",
              LicenseUrl(L"http://127.0.0.1:8080/", L"TLW", L"fr"));
}

TEST(LicenseUrl, TheShippedProgramAsksTheConfiguredServer) {
    // The build setting reaches the program users run: its licence server
    // address is in the shipped file, as the text the program passes on.
    const std::wstring configured = L"" BC_TEST_LICENSE_SERVER_URL;
    const std::string shipped = testutil::ReadFileBytes(testutil::UnixToWindowsPath(std::wstring(
        BC_TEST_SHIPPED_PROGRAM, BC_TEST_SHIPPED_PROGRAM + sizeof BC_TEST_SHIPPED_PROGRAM - 1)));
    ASSERT_FALSE(shipped.empty());
    std::string wide; // UTF-16LE, as the program's wide strings are stored
    for (wchar_t c : configured + L"\0") {
        wide += static_cast<char>(c & 0xFF);
        wide += static_cast<char>(c >> 8);
    }
    EXPECT_NE(std::string::npos, shipped.find(wide));
    EXPECT_EQ(configured, kLicenseServerUrl);
}

TEST(AnnouncedBodyLength, IsThePlainContentLengthOfAnUnencodedBody) {
    const std::pair<std::wstring, long long> cases[] = {
        {L"HTTP/1.1 200 OK\r\nContent-Length: 1234\r\nContent-Type: text/html\r\n\r\n", 1234},
        {L"HTTP/1.1 200 OK\r\ncontent-length:0\r\n\r\n", 0},
        {L"HTTP/1.1 200 OK\r\nContent-Length: 77 \r\nContent-Encoding: identity\r\n", 77},
        {L"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n", -1},
        {L"HTTP/1.1 200 OK\r\nContent-Length: 12\r\nContent-Encoding: gzip\r\n\r\n", -1},
        {L"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 12\r\n\r\n", -1},
        {L"HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n", -1},
        {L"HTTP/1.1 200 OK\r\nContent-Length: 12, 12\r\n\r\n", -1},
        {L"HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n", -1},
        {L"HTTP/1.1 200 OK\r\nX-Content-Length: 5\r\n\r\n", -1},
        {L"", -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.second, AnnouncedBodyLength(c.first)) << c.second;
    }
}

std::wstring ServerUrl() {
    return L"http://127.0.0.1:" + std::to_wstring(testutil::ServerPort(L"LICENSE"));
}

// What the licence server holds for one language.
enum class Server { Serves, ServesNothing, Refuses, Stalls, Trickles, CutsShort, IsNotThere };

// Which licence "Eula.html" holds afterwards.
enum class Shows { Downloaded, Translation, Default };

struct LicenseCase {
    const char* label;
    const wchar_t* product;
    const wchar_t* language;
    Server server;
    Shows shows;
};

const char kDownloaded[] =
    "<html><body>Licence from the server \xe2\x80\x94 version 2</body></html>";

// Short, so the time-out cases stay quick; the program's own limit is longer.
constexpr DWORD kTestTimeoutMs = 2000;

class LicensePage : public testing::TestWithParam<LicenseCase> {
protected:
    void SetUp() override {
        ASSERT_NE(0, testutil::ServerPort(L"LICENSE")) << "the licence server runs";
    }

    // Puts what the server should answer for `language` into its folder.
    void Prepare(const std::wstring& product, const std::wstring& language, Server server) {
        const std::wstring dir = testutil::ServerDir(L"LICENSE") + product + L"\\";
        CreateDirectoryW(dir.c_str(), nullptr);
        CreateDirectoryW((dir + language).c_str(), nullptr);
        const std::wstring base = dir + language + L"\\Eula.html";
        if (server == Server::Serves) {
            ASSERT_TRUE(testutil::WriteFileBytes(base, kDownloaded));
        } else if (server == Server::ServesNothing) {
            ASSERT_TRUE(testutil::WriteFileBytes(base, ""));
        } else if (server == Server::Stalls) {
            ASSERT_TRUE(testutil::WriteFileBytes(base + L".stall", ""));
        } else if (server == Server::Trickles) {
            ASSERT_TRUE(testutil::WriteFileBytes(base + L".trickle", ""));
        } else if (server == Server::CutsShort) {
            ASSERT_TRUE(testutil::WriteFileBytes(base + L".short", kDownloaded));
        }
    }
};

TEST_P(LicensePage, ShowsTheBestLicenceAvailable) {
    const LicenseCase& c = GetParam();
    Prepare(c.product, c.language, c.server);
    const std::wstring base = c.server == Server::IsNotThere ? L"http://127.0.0.1:1" : ServerUrl();
    const std::wstring url = base + L"/license/" + c.product + L"/" + c.language + L"/Eula.html";
    const std::wstring translation = std::wstring(L"Eula-") + c.language + L".html";
    const std::map<std::wstring, std::string> pages = Pages();

    LogFile log;
    PayloadArchive archive(log);
    ASSERT_TRUE(archive.isLoaded);
    const std::wstring folder = archive.temporaryFolder;
    const DWORD start = GetTickCount();
    archive.PrepareLicensePage(c.product, c.language, base, kTestTimeoutMs);
    const DWORD elapsed = GetTickCount() - start;

    std::string expected;
    switch (c.shows) {
    case Shows::Downloaded:
        expected = kDownloaded;
        break;
    case Shows::Translation:
        expected = pages.at(translation);
        break;
    case Shows::Default:
        expected = pages.at(L"Eula.html");
        break;
    }
    EXPECT_EQ(expected, testutil::ReadFileBytes(folder + L"Eula.html"));
    EXPECT_FALSE(testutil::FileExists(folder + L"Eula.html-temp"));
    EXPECT_FALSE(testutil::FileExists(folder + translation))
        << "a translation is moved, not copied";

    const std::vector<std::string> messages = LogMessages(testutil::ReadFileBytes(log.path));
    ASSERT_EQ(5u, messages.size());
    EXPECT_EQ("DEBUG Dynamic license from " + Utf8(url) + ".", messages[3]);
    EXPECT_EQ("DEBUG Download license from " + Utf8(url) +
                  (c.shows == Shows::Downloaded ? " success." : " failed."),
              messages[4]);

    if (c.server == Server::Stalls || c.server == Server::Trickles) {
        EXPECT_LT(elapsed, 60000u) << "a silent server is given up on";
    }
    if (c.server != Server::IsNotThere) {
        const std::string requests =
            testutil::ReadFileBytes(testutil::ServerDir(L"LICENSE") + L"requests.log");
        EXPECT_NE(std::string::npos, requests.find(Utf8(url.substr(base.size())) + "\n"))
            << requests;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LicensePage,
    testing::Values(
        LicenseCase{"DownloadReplacesTheTranslation", L"TLW", L"fr", Server::Serves,
                    Shows::Downloaded},
        LicenseCase{"DownloadReplacesTheDefault", L"TLW", L"it", Server::Serves, Shows::Downloaded},
        LicenseCase{"EmptyAnswerKeepsTheTranslation", L"EMPTY", L"fr", Server::ServesNothing,
                    Shows::Translation},
        LicenseCase{"RefusedKeepsTheTranslation", L"TLW", L"de", Server::Refuses,
                    Shows::Translation},
        LicenseCase{"RefusedKeepsTheDefault", L"TLW", L"es", Server::Refuses, Shows::Default},
        LicenseCase{"StalledServerKeepsTheTranslation", L"STALL", L"fr", Server::Stalls,
                    Shows::Translation},
        LicenseCase{"TricklingServerKeepsTheDefault", L"TRICKLE", L"nl", Server::Trickles,
                    Shows::Default},
        LicenseCase{"TransferCutShortKeepsTheTranslation", L"SHORT", L"de", Server::CutsShort,
                    Shows::Translation},
        LicenseCase{"NoServerKeepsTheDefault", L"TLW", L"jp", Server::IsNotThere, Shows::Default}),
    [](const testing::TestParamInfo<LicenseCase>& info) { return std::string(info.param.label); });

TEST(LicenseDownload, GivesUpOnASilentServerAfterItsTimeLimit) {
    const std::wstring dir = testutil::ServerDir(L"LICENSE") + L"TLW\\";
    CreateDirectoryW(dir.c_str(), nullptr);
    CreateDirectoryW((dir + L"quiet").c_str(), nullptr);
    ASSERT_TRUE(testutil::WriteFileBytes(dir + L"quiet\\Eula.html.stall", ""));
    testutil::ScratchFolder scratch;
    const DWORD start = GetTickCount();
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_TIMEOUT),
              DownloadLicenseFile(ServerUrl() + L"/license/TLW/quiet/Eula.html",
                                  scratch / L"Eula.html", 1000));
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 900u) << "not before the time limit";
    EXPECT_LT(elapsed, 60000u);
}

// A transfer that saw no HTTP answer at all (here a file: URL) completes
// without a status; only an HTTP 200 is a licence.
TEST(LicenseDownload, ATransferWithoutAnHttpStatusIsNoLicence) {
    testutil::ScratchFolder scratch;
    const std::wstring served = scratch / L"license\\TLW\\pt\\";
    ASSERT_EQ(ERROR_SUCCESS, SHCreateDirectoryExW(nullptr, served.c_str(), nullptr));
    ASSERT_TRUE(testutil::WriteFileBytes(served + L"Eula.html", kDownloaded));
    std::wstring base = L"file:///" + scratch.path();
    base.pop_back();
    for (wchar_t& c : base) {
        if (c == L'\\') {
            c = L'/';
        }
    }

    EXPECT_NE(S_OK, DownloadLicenseFile(base + L"/license/TLW/pt/Eula.html",
                                        scratch / L"direct.html", kTestTimeoutMs));

    LogFile log;
    PayloadArchive archive(log);
    ASSERT_TRUE(archive.isLoaded);
    archive.PrepareLicensePage(L"TLW", L"pt", base, kTestTimeoutMs);
    EXPECT_EQ(Pages().at(L"Eula.html"),
              testutil::ReadFileBytes(archive.temporaryFolder + L"Eula.html"));
    EXPECT_FALSE(testutil::FileExists(archive.temporaryFolder + L"Eula.html-temp"));
}

} // namespace
