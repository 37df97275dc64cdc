// The script API's pure rules: the transfer-result mapping, the retry budget
// of the default download, the caret escaping of URLs and the composed method
// table of a derived object.

#include "core/HtmlExternal.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using downloadmanagercore::DownloadRetryBudget;
using downloadmanagercore::HtmlExternal;

namespace {

TEST(TransferErrorMapping, EveryResultMapsToItsPageCode) {
    struct Case {
        HRESULT hr;
        bool noFreeBytes;
        int code;
    };
    const Case cases[] = {
        {S_OK, false, 0},
        {S_OK, true, 0},
        {INET_E_RESOURCE_NOT_FOUND, false, 2},
        {INET_E_OBJECT_NOT_FOUND, false, 2},
        {INET_E_OBJECT_NOT_FOUND, true, 2},
        {INET_E_DOWNLOAD_FAILURE, true, 3},
        {INET_E_DOWNLOAD_FAILURE, false, 4},
        {INET_E_CONNECTION_TIMEOUT, false, 4},
        {INET_E_CONNECTION_TIMEOUT, true, 4},
        {static_cast<HRESULT>(0x80070070), false, 3},
        {S_FALSE, false, 1}, // data ended before the announced size
        {E_NOTIMPL, false, 1},
        {E_PENDING, false, 1},
        {E_ABORT, true, 1},
        {HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), false, 1},
        {INET_E_CANNOT_CONNECT, false, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.code, downloadmanagercore::MapTransferError(c.hr, c.noFreeBytes))
            << std::hex << c.hr << " noFreeBytes " << c.noFreeBytes;
    }
}

// Feeds a sequence of (code, data seen) attempts; returns how many were made
// before the budget said stop, and the final code.
std::pair<int, int> Play(const std::vector<std::pair<int, bool>>& attempts) {
    DownloadRetryBudget budget;
    int made = 0;
    for (const auto& attempt : attempts) {
        ++made;
        if (!budget.Next(attempt.first, attempt.second)) {
            return {made, budget.result()};
        }
    }
    return {made, -1}; // still wanting to retry
}

std::vector<std::pair<int, bool>> Repeat(int code, bool data, int times) {
    return std::vector<std::pair<int, bool>>(static_cast<size_t>(times), {code, data});
}

TEST(DownloadRetryBudget, OnlyTransferFailuresAreRetried) {
    for (int code : {0, 1, 2, 3, 5, 6}) {
        EXPECT_EQ(std::make_pair(1, code), Play({{code, false}})) << code;
        EXPECT_EQ(std::make_pair(1, code), Play({{code, true}})) << code;
    }
}

TEST(DownloadRetryBudget, TenFailuresWithoutDataGiveUp) {
    EXPECT_EQ(std::make_pair(10, 4), Play(Repeat(4, false, 50)));
    // The ninth failure still asks for another try.
    EXPECT_EQ(std::make_pair(9, -1), Play(Repeat(4, false, 9)));
    // A success after nine failures ends with it.
    std::vector<std::pair<int, bool>> late = Repeat(4, false, 9);
    late.push_back({0, false});
    EXPECT_EQ(std::make_pair(10, 0), Play(late));
}

TEST(DownloadRetryBudget, AnAttemptWithDataRenewsTheBudget) {
    // Nine failures, one with data, then nine more still go on...
    std::vector<std::pair<int, bool>> attempts = Repeat(4, false, 9);
    attempts.push_back({4, true});
    std::vector<std::pair<int, bool>> more = Repeat(4, false, 9);
    attempts.insert(attempts.end(), more.begin(), more.end());
    EXPECT_EQ(std::make_pair(19, -1), Play(attempts));
    // ...and the tenth after the renewal ends it.
    attempts.push_back({4, false});
    EXPECT_EQ(std::make_pair(20, 4), Play(attempts));
}

TEST(DownloadRetryBudget, RenewalsAreBounded) {
    // A server that always sends a little and then fails: every renewal is
    // used, and the next attempt with data ends the download with 4.
    const int bound = downloadmanagercore::kDownloadBudgetRenewals;
    EXPECT_EQ(std::make_pair(bound + 1, 4), Play(Repeat(4, true, 1000)));

    // Spent renewals stay spent: failures without data then count down as usual.
    std::vector<std::pair<int, bool>> attempts = Repeat(4, true, bound);
    std::vector<std::pair<int, bool>> dry = Repeat(4, false, 100);
    attempts.insert(attempts.end(), dry.begin(), dry.end());
    EXPECT_EQ(std::make_pair(bound + 10, 4), Play(attempts));
}

TEST(EscapeAmpersands, CaretBeforeEveryAmpersand) {
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"x?a=1&b=2", L"x?a=1^&b=2"},
        {L"a&&b", L"a^&^&b"},
        {L"http://example.test/page", L"http://example.test/page"},
        {L"x?a=1&", L"x?a=1^&"},
        {L"&", L"^&"},
        {L"", L""},
        {L"^&", L"^^&"}, // an existing caret is left alone
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.second, downloadmanagercore::EscapeAmpersands(c.first));
    }
}

TEST(ScriptMethodTable, FifteenRowsInIdentifierOrder) {
    const wchar_t* const names[] = {
        L"setWindowSize", L"closeWindow", L"download",         L"install",
        L"getProperty",   L"setChannel",  L"setInstallStatus", L"startInstallProgram",
        L"hideWindow",    L"dragWindow",  L"messageBox",       L"disableCloseWindow",
        L"restoreWindow", L"openPage",    L"retryMessageBox",
    };
    ASSERT_EQ(15u, HtmlExternal::kScriptMethodCount);
    for (unsigned row = 0; row < HtmlExternal::kScriptMethodCount; ++row) {
        EXPECT_STREQ(names[row], HtmlExternal::scriptMethods[row].name) << row;
        EXPECT_TRUE(HtmlExternal::scriptMethods[row].handler != nullptr) << row;
    }
}

// A derived object's table: the fifteen rows, then its own.
class Extended : public HtmlExternal {
public:
    HRESULT Extract(WORD, DISPPARAMS*, VARIANT*) { return S_OK; }
    static const htmlui::MethodEntry extra[1];
};
const htmlui::MethodEntry Extended::extra[1] = {
    {L"extract", static_cast<htmlui::MethodHandler>(&Extended::Extract)}};

TEST(ScriptMethodTable, ADerivedTableRepeatsTheRowsAndAppendsItsOwn) {
    const auto table = downloadmanagercore::ExtendMethodTable(Extended::extra);
    ASSERT_EQ(16u, table.count);
    for (unsigned row = 0; row < HtmlExternal::kScriptMethodCount; ++row) {
        EXPECT_STREQ(HtmlExternal::scriptMethods[row].name, table.rows[row].name);
        EXPECT_TRUE(HtmlExternal::scriptMethods[row].handler == table.rows[row].handler);
    }
    EXPECT_STREQ(L"extract", table.rows[15].name);
    EXPECT_TRUE(table.rows[15].handler == static_cast<htmlui::MethodHandler>(&Extended::Extract));
}

} // namespace
