// The controller's decisions as tables: download, extract and install codes,
// the install progress estimate, the setup command line, the time window of
// the run-time installer logs and the package file name.

#include "product/ProductLogic.h"

#include "downloader/DownloadSimpleTask.h"
#include "tests/product/ProductFixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace tlw;
using producttest::Narrow;

namespace {

TEST(Milestones, ProductCodesAreTheOnesTheTestProductsCarry) {
    for (int i = 0; i < kMilestoneCount; ++i) {
        EXPECT_STREQ(producttest::kProductCodes[i], kMilestoneProducts[i]) << i;
    }
    EXPECT_EQ(producttest::kMainProduct, kMainProductIndex);
}

const long kUnknown = -1; // marks "free space query failed" in the table

struct DownloadRow {
    unsigned long hr;
    long long freeBytes; // kUnknown: the query failed
    bool reachable;
    int code;
    bool asksDisk;
    bool asksNetwork;
};

TEST(MapDownloadResultCode, MapsEveryResultAsTheTableSays) {
    const DownloadRow rows[] = {
        {0x00000000, 100, true, 0, false, false},    // S_OK
        {0x00000000, 100, false, 0, false, false},   // success needs no network
        {0x80004004, 100, false, 6, false, false},   // E_ABORT: cancelled
        {0x800C0005, 100, false, 2, false, false},   // INET_E_RESOURCE_NOT_FOUND
        {0x800C0006, 100, true, 2, false, false},    // INET_E_OBJECT_NOT_FOUND
        {0x800C0008, 0, false, 3, true, false},      // download failure, volume full
        {0x800C0008, 1, true, 4, true, true},        // one byte free: transfer failed
        {0x800C0008, 1, false, 5, true, true},       // ... and no network
        {0x800C0008, kUnknown, true, 4, true, true}, // disk query failed
        {0x800C0008, kUnknown, false, 5, true, true},
        {0x80070070, 100, false, 3, false, false}, // HRESULT_FROM_WIN32(ERROR_DISK_FULL)
        {0x80070070, 0, true, 3, false, false},
        {0x800C000B, 100, false, 4, false, false}, // INET_E_CONNECTION_TIMEOUT
        {0x8007000E, 100, true, 1, false, true},   // E_OUTOFMEMORY
        {0x8007000E, 100, false, 5, false, true},
        {0x80072EFB, 100, true, 1, false, true}, // a response that does not fit
        {0x80072EFB, 100, false, 5, false, true},
        {0x80072EFD, 100, false, 5, false, true},  // cannot connect
        {0x80070017, 100, true, 1, false, true},   // data keeps mismatching
        {0x00000001, 100, true, 1, false, true},   // reading the file failed
        {0x80004005, 0, true, 1, false, true},     // E_FAIL: a full disk does not matter
        {0x80070020, 100, true, 1, false, true},   // sharing violation
        {0x80090006, 100, true, 1, false, false},  // companion not signed by the key:
        {0x80090006, 100, false, 1, false, false}, // failed, whatever the network
        // A refused certificate: the server answered, so the network is not asked.
        {0x80072F0D, 100, false, 1, false, false}, // ERROR_INTERNET_INVALID_CA
        {0x80072F06, 100, false, 1, false, false}, // ERROR_INTERNET_SEC_CERT_CN_INVALID
        {0x80072F05, 100, true, 1, false, false},  // ERROR_INTERNET_SEC_CERT_DATE_INVALID
        {0x80072F17, 100, false, 1, false, false}, // ERROR_INTERNET_SEC_CERT_ERRORS
        {0x80072F19, 100, false, 1, false, false}, // ERROR_INTERNET_SEC_CERT_REV_FAILED
        {0x80072F7D, 100, false, 5, false, true},  // a TLS channel error is not one
    };
    for (const DownloadRow& row : rows) {
        const long hr = static_cast<long>(row.hr);
        FreeSpace disk;
        disk.known = row.freeBytes != kUnknown;
        disk.freeBytes = disk.known ? static_cast<uint64_t>(row.freeBytes) : 0;
        SCOPED_TRACE(testing::Message() << std::hex << row.hr << std::dec << " free "
                                        << row.freeBytes << " reachable " << row.reachable);
        EXPECT_EQ(row.code, MapDownloadResultCode(hr, disk, row.reachable));
        EXPECT_EQ(row.asksDisk, DownloadResultNeedsFreeSpace(hr));
        EXPECT_EQ(row.asksNetwork, DownloadResultNeedsReachability(hr, disk));
        if (!DownloadResultNeedsReachability(hr, disk)) {
            // What is not asked cannot change the answer.
            EXPECT_EQ(MapDownloadResultCode(hr, disk, true),
                      MapDownloadResultCode(hr, disk, false));
        }
    }
}

TEST(DownloadRetries, OnlyFailuresThatMayPassAreRetried) {
    const bool retried[] = {false, true, false, false, true, true, false};
    for (int code = 0; code <= 6; ++code) {
        EXPECT_EQ(retried[code], IsRetriedDownload(E_FAIL, code)) << code;
    }
}

TEST(DownloadRetries, APackageThatDiffersFromItsCompanionIsFinal) {
    // Whatever code it maps to (1 while the server is reachable, 5 when not).
    for (int code = 0; code <= 6; ++code) {
        EXPECT_FALSE(IsRetriedDownload(downloader::kErrorDataMismatch, code)) << code;
        // A link planted as the package is still there for the next attempt.
        EXPECT_FALSE(IsRetriedDownload(downloader::kErrorNotPlainFile, code)) << code;
    }
    EXPECT_TRUE(IsRetriedDownload(downloader::kErrorNoProgress, DownloadFailed));
    // A refused status (a 500 on the companion) may pass.
    EXPECT_TRUE(IsRetriedDownload(downloader::kErrorIncorrectFormat, DownloadFailed));
}

TEST(DownloadRetries, ACompanionNotSignedByTheKeyIsFinal) {
    EXPECT_TRUE(CompanionIsNotSigned(downloader::kErrorBadSignature));
    const long others[] = {S_OK, E_FAIL, downloader::kErrorDataMismatch,
                           downloader::kErrorResourceNotFound, downloader::kErrorIncorrectFormat};
    for (long hr : others) {
        EXPECT_FALSE(CompanionIsNotSigned(hr)) << std::hex << hr;
    }
    for (int code = 0; code <= 6; ++code) {
        EXPECT_FALSE(IsRetriedDownload(downloader::kErrorBadSignature, code)) << code;
    }
}

TEST(DownloadRetries, ARefusedCertificateIsFinal) {
    // The WinINet errors of a refused certificate, as the engine reports them.
    const DWORD refused[] = {12037, 12038, 12045, 12055, 12056, 12057, 12169, 12170};
    for (DWORD error : refused) {
        const long hr = static_cast<long>(HRESULT_FROM_WIN32(error));
        EXPECT_TRUE(IsCertificateFault(hr)) << error;
        for (int code = 0; code <= 6; ++code) {
            EXPECT_FALSE(IsRetriedDownload(hr, code)) << error << " " << code;
        }
    }
    // Neighbours that are no certificate verdict stay failures that may pass:
    // a time-out, a failed connection, a TLS channel error, a lost connection.
    const DWORD passing[] = {12002, 12029, 12157, 12030, 12036, 12039, 12044, 12046};
    for (DWORD error : passing) {
        const long hr = static_cast<long>(HRESULT_FROM_WIN32(error));
        EXPECT_FALSE(IsCertificateFault(hr)) << error;
        EXPECT_TRUE(IsRetriedDownload(hr, DownloadFailed)) << error;
    }
    // The bare error number is not the engine's form.
    EXPECT_FALSE(IsCertificateFault(12045));
}

TEST(ExtractCodes, DiskFullIsTheOnlyErrorWithItsOwnCode) {
    EXPECT_EQ(2, ExtractCodeForError(ERROR_DISK_FULL));
    EXPECT_EQ(1, ExtractCodeForError(0));
    EXPECT_EQ(1, ExtractCodeForError(ERROR_ACCESS_DENIED));
    EXPECT_EQ(1, ExtractCodeForError(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(1, ExtractCodeForError(ERROR_HANDLE_EOF));
}

TEST(ExtractPercent, RoundsAndTreatsAnEmptyArchiveAsZero) {
    const struct {
        int current, total, percent;
    } rows[] = {{0, 1, 0},   {0, 3, 0},   {1, 3, 33}, {2, 3, 67}, {3, 3, 100},
                {1, 200, 1}, {1, 201, 0}, {0, 0, 0},  {5, 0, 0},  {7, 7, 100}};
    for (const auto& row : rows) {
        EXPECT_EQ(row.percent, ExtractPercent(row.current, row.total))
            << row.current << "/" << row.total;
    }
}

TEST(InstallCodes, SetupExitCodesMapToPageCodes) {
    const struct {
        DWORD exit;
        int code;
    } rows[] = {{0, 0},         {1603, 3}, {1618, 4}, {3010, 0}, // installed, restart required
                {1641, 1},      {1, 1},    {1602, 1}, {259, 1} /* still running */,
                {0xC0000005, 1}};
    for (const auto& row : rows) {
        EXPECT_EQ(row.code, InstallCodeForExitCode(row.exit)) << row.exit;
    }
}

TEST(InstallCodes, OnlyInstalledRestartRequiredAsksForARestart) {
    for (DWORD exit : {0u, 1u, 1603u, 1618u, 1641u, 259u}) {
        EXPECT_FALSE(ExitCodeNeedsRestart(exit)) << exit;
    }
    EXPECT_TRUE(ExitCodeNeedsRestart(3010));
}

TEST(HighestInstalledIndex, IsTheHighestWhateverTheLowerOnesAre) {
    const struct {
        bool installed[kMilestoneCount];
        int highest;
    } rows[] = {
        {{false, false, false, false, false, false, false}, -1},
        {{true, false, false, false, false, false, false}, 0},
        {{false, false, true, false, false, false, false}, 2},
        {{true, true, true, true, true, true, true}, 6},
        {{false, false, false, false, false, false, true}, 6},
        {{true, false, true, false, true, false, false}, 4},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.highest, HighestInstalledIndex(row.installed));
    }
}

// Runs polls from a fresh estimate; the property texts they produce.
std::vector<int> Percents(const std::vector<int>& highest, InstallEstimate start = {}) {
    std::vector<int> values;
    InstallEstimate estimate = start;
    for (int b : highest) {
        estimate = NextInstallEstimate(estimate, b).next;
        values.push_back(EstimatePercent(estimate));
    }
    return values;
}

TEST(InstallEstimate, FollowsTheMilestonesAndApproachesTheNext) {
    const struct {
        const char* name;
        std::vector<int> highest;
        std::vector<int> percents;
    } rows[] = {
        {"nothing installed yet", {-1, -1, -1, -1}, {2, 5, 6, 8}},
        {"product 0 appears", {0, 0, 0, 0}, {14, 18, 21, 24}},
        {"product 6 appears", {6, 6, 6, 6}, {95, 96, 96, 97}},
        {"each milestone in turn", {0, 1, 2, 3, 4, 5, 6}, {14, 35, 37, 45, 63, 85, 95}},
        {"a skipped milestone", {-1, 2, 2}, {2, 37, 38}},
        {"a lower product after a higher one", {4, 1}, {63, 35}},
        {"never reaches the next milestone", std::vector<int>(60, 6), std::vector<int>()},
    };
    for (const auto& row : rows) {
        const std::vector<int> values = Percents(row.highest);
        if (!row.percents.empty()) {
            EXPECT_EQ(row.percents, values) << row.name;
        } else {
            EXPECT_EQ(99, values.back()) << row.name;
        }
    }
}

TEST(InstallEstimate, ARollbackKeepsTheEstimate) {
    // Product 0 appears, then nothing is installed any more: the value stays
    // at 21 (not sinking toward 14) until a product appears again.
    EXPECT_EQ((std::vector<int>{14, 18, 21, 21, 21, 21, 14}), Percents({0, 0, 0, -1, -1, -1, 0}));
    // High up, it stays high.
    EXPECT_EQ((std::vector<int>{95, 96, 96, 96}), Percents({6, 6, -1, -1}));

    InstallEstimate estimate;
    estimate.lastInstalledIndex = 3;
    estimate.value = 50.5;
    const EstimateStep step = NextInstallEstimate(estimate, -1);
    EXPECT_EQ(EstimateChange::RolledBack, step.change);
    EXPECT_EQ(-1, step.next.lastInstalledIndex);
    EXPECT_DOUBLE_EQ(50.5, step.next.value);
    const EstimateStep after = NextInstallEstimate(step.next, -1);
    EXPECT_EQ(EstimateChange::Approached, after.change);
    EXPECT_DOUBLE_EQ(50.5, after.next.value);
}

TEST(InstallEstimate, ReportsWhatEachPollDid) {
    InstallEstimate start;
    EXPECT_EQ(EstimateChange::Approached, NextInstallEstimate(start, -1).change);
    const EstimateStep jump = NextInstallEstimate(start, 2);
    EXPECT_EQ(EstimateChange::Jumped, jump.change);
    EXPECT_EQ(2, jump.next.lastInstalledIndex);
    EXPECT_EQ(EstimateChange::Approached, NextInstallEstimate(jump.next, 2).change);
}

TEST(InstallEstimate, CarriesOverToTheNextInstall) {
    // After result 4 the page installs again with the same estimate.
    InstallEstimate carried;
    carried.lastInstalledIndex = 1;
    carried.value = 36.0;
    EXPECT_EQ((std::vector<int>{36, 36, 37}), Percents({1, 1, 2}, carried));
}

TEST(InstallEstimate, AnIndexOutsideTheTableCountsAsNone) {
    InstallEstimate start;
    EXPECT_EQ(2, EstimatePercent(NextInstallEstimate(start, 7).next));
    EXPECT_EQ(2, EstimatePercent(NextInstallEstimate(start, -5).next));
}

TEST(SetupCommandLine, IsBuiltExactly) {
    const struct {
        const wchar_t* setup;
        const wchar_t* parameters;
        const wchar_t* log;
        const wchar_t* expected;
    } rows[] = {
        {L"C:\\t\\ab1\\pkg\\bin\\setup.exe", L"", L"C:\\t\\ab1\\pkg\\bin\\log.txt",
         L"\"C:\\t\\ab1\\pkg\\bin\\setup.exe\"  /qn /l* \"C:\\t\\ab1\\pkg\\bin\\log.txt\""},
        {L"C:\\t\\setup.exe", L"LANG=de CHANNEL=\"a b\"", L"C:\\t\\log.txt",
         L"\"C:\\t\\setup.exe\" LANG=de CHANNEL=\"a b\" /qn /l* \"C:\\t\\log.txt\""},
        {L"C:\\with blank\\setup.exe", L" x ", L"C:\\with blank\\log.txt",
         L"\"C:\\with blank\\setup.exe\"  x  /qn /l* \"C:\\with blank\\log.txt\""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(std::wstring(row.expected),
                  BuildSetupCommandLine(row.setup, row.parameters, row.log))
            << Narrow(row.expected);
    }
}

FILETIME Ticks(unsigned long long value) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(value);
    time.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return time;
}

TEST(RedistributableLogs, OnlyFilesWrittenWhileSetupRanCount) {
    const unsigned long long start = 0x01D9000000000000ULL;
    const unsigned long long end = start + 36000000000ULL; // an hour later
    const struct {
        unsigned long long written;
        bool counts;
    } rows[] = {
        {start - 10000000ULL, false}, // a second before
        {start, false},               // at the start itself
        {start + 1, true},
        {start + 300000000ULL, true},
        {end - 1, true},
        {end, false},
        {end + 1, false},
        {start + (1ULL << 32), true}, // differs only in the high word
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.counts, WrittenDuringSetup(Ticks(row.written), Ticks(start), Ticks(end)))
            << row.written - start;
    }
}

TEST(PackageFileName, IsTheLastPathSegmentWhenItCanNameAFile) {
    const struct {
        const wchar_t* url;
        const wchar_t* name;
    } rows[] = {
        {L"http://dl.example/tlw/Product_64bit.zip", L"Product_64bit.zip"},
        {L"http://dl.example/p.zip?channel=a/b", L"p.zip"},
        {L"http://dl.example/p.zip#part", L"p.zip"},
        {L"http://dl.example\\dir\\p.zip", L"p.zip"},
        {L"p.zip", L"p.zip"},
        {L"http://dl.example/", L""},
        {L"http://dl.example/dir/..", L""},
        {L"http://dl.example/.", L""},
        {L"http://dl.example/a:stream", L""},
        {L"http://dl.example/a|b", L""},
        {L"http://dl.example/?q=/x.zip", L""},
        {L"", L""},
        // Names that open a device instead of a file, or that Windows changes.
        {L"http://dl.example/nul", L""},
        {L"http://dl.example/CON.zip", L""},
        {L"http://dl.example/com1", L""},
        {L"http://dl.example/lpt9.bin", L""},
        {L"http://dl.example/p.zip.", L""},
        {L"http://dl.example/p.zip%20?x", L"p.zip%20"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(std::wstring(row.name), PackageFileName(row.url)) << Narrow(row.url);
    }
}

} // namespace
