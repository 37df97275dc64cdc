// The controller's operations one at a time, against the real file system,
// registry, Windows Installer and download engine.

#include "product/ProductLogic.h"
#include "tests/common/TestUtil.h"
#include "tests/product/PageHarness.h"
#include "tests/product/ProductFixture.h"

#include <gtest/gtest.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

using namespace producttest;

namespace {

// A controller with its run records; no test product installed before or after.
class Controller : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(UninstallAllTestProducts().empty());
        controller = new TestController(&records.context, &records.reportSender, &records.log);
    }

    void TearDown() override {
        if (controller) {
            // Workers hold references until they have finished.
            EXPECT_TRUE(PumpUntil([this] { return controller->References() == 1; }, 30000));
            EXPECT_EQ(0u, controller->Release());
        }
        EXPECT_TRUE(UninstallAllTestProducts().empty());
    }

    std::wstring Property(const wchar_t* name) { return controller->GetProperty(name); }

    RunRecords records;
    TestController* controller = nullptr;
};

TEST_F(Controller, StartsWithItsPropertiesSet) {
    EXPECT_EQ(L"false", Property(L"tlwInstalled"));
    EXPECT_EQ(L"0", Property(L"extractProgress"));
    EXPECT_EQ(L"1", Property(L"downloadTotal"));
    EXPECT_EQ(L"0", Property(L"installProgress"));
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    ASSERT_TRUE(GetVersionExW(&version));
    EXPECT_EQ(std::to_wstring(version.dwMajorVersion) + L"." +
                  std::to_wstring(version.dwMinorVersion),
              Property(L"osVersion"));
    EXPECT_EQ(-1, controller->LastInstalledIndex());
    EXPECT_EQ(0.0, controller->InstallProgressValue());
    EXPECT_EQ(0u, controller->ZipErrorCode());
    EXPECT_TRUE(PathIsDirectoryW(controller->DownloadFolder().c_str()));
}

TEST_F(Controller, TheSuiteCountsAsInstalledWhenItsLastProductIs) {
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), InstallProduct(FixturePath(L"tlwtest6.msi")));
    TestController* second =
        new TestController(&records.context, &records.reportSender, &records.log);
    EXPECT_EQ(L"true", second->GetProperty(L"tlwInstalled"));
    EXPECT_EQ(0u, second->Release());
}

TEST_F(Controller, MethodTableIsTheScriptApiThenExtract) {
    const htmlui::MethodEntry* rows = nullptr;
    ASSERT_EQ(16u, controller->GetMethodTable(&rows));
    for (unsigned row = 0; row < 16; ++row) {
        EXPECT_STREQ(downloadmanagercore::ScriptObject::scriptMethods[row].name, rows[row].name);
        EXPECT_TRUE(downloadmanagercore::ScriptObject::scriptMethods[row].handler ==
                    rows[row].handler)
            << row;
    }
    EXPECT_STREQ(L"extract", rows[15].name);

    LPOLESTR names[] = {const_cast<LPOLESTR>(L"download"), const_cast<LPOLESTR>(L"extract"),
                        const_cast<LPOLESTR>(L"retryMessageBox")};
    DISPID ids[3] = {};
    EXPECT_EQ(S_OK, controller->GetIDsOfNames(IID_NULL, names, 3, 0, ids));
    EXPECT_EQ(3, ids[0]);
    EXPECT_EQ(16, ids[1]);
    EXPECT_EQ(15, ids[2]);
}

TEST_F(Controller, ExtractRefusesWrongCallsWithoutLogging) {
    VARIANT text;
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(L"not a function");
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    DISPPARAMS oneText = {&text, nullptr, 1, 0};
    VARIANT result;
    VariantInit(&result);
    const struct {
        WORD flags;
        DISPPARAMS* params;
        HRESULT expected;
    } rows[] = {
        {DISPATCH_METHOD, &none, DISP_E_BADPARAMCOUNT},
        {DISPATCH_METHOD, &oneText, DISP_E_TYPEMISMATCH},
        {DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none, DISP_E_MEMBERNOTFOUND},
        {DISPATCH_PROPERTYGET, &oneText, DISP_E_MEMBERNOTFOUND},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.expected, controller->Invoke(16, IID_NULL, 0, row.flags, row.params, &result,
                                                   nullptr, nullptr))
            << row.flags;
    }
    SysFreeString(text.bstrVal);
    EXPECT_FALSE(Contains(records.LogText(), "QXExtractPackage"));
}

// Writes the files (and with a trailing slash, folders) of a layout.
void MakeLayout(const std::wstring& top, const std::vector<std::wstring>& entries) {
    for (std::wstring entry : entries) {
        for (wchar_t& c : entry) {
            if (c == L'/') {
                c = L'\\';
            }
        }
        const std::wstring path = top + entry;
        std::wstring folder = path.substr(0, path.find_last_of(L'\\'));
        SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
        if (path.back() != L'\\') {
            testutil::WriteFileBytes(path, "x");
        }
    }
}

TEST(FindFolderContaining, SearchesDepthFirstWithTheFolderBeforeItsSubFolders) {
    const struct {
        std::vector<std::wstring> entries;
        const wchar_t* found; // below the top folder; nullptr: none
    } rows[] = {
        {{L"setup.exe"}, L""},
        {{L"pkg/readme.txt", L"pkg/bin/setup.exe"}, L"pkg\\bin"},
        {{L"a/b/setup.exe", L"a/setup.exe"}, L"a"},
        {{L"a/setup.exe", L"setup.exe"}, L""},
        {{L"x/y/z/setup.exe", L"x/y/other.txt"}, L"x\\y\\z"},
        {{L"SETUP.EXE"}, L""},
        {{L"readme.txt", L"bin/install.exe", L"empty/"}, nullptr},
        {{}, nullptr},
    };
    for (const auto& row : rows) {
        testutil::ScratchFolder scratch;
        MakeLayout(scratch.path(), row.entries);
        std::wstring found = L"unchanged";
        const bool hit = tlw::SuiteSteps::FindFolderContaining(scratch.path(), L"setup.exe", found);
        const std::string layout = row.entries.empty() ? "(empty)" : Narrow(row.entries[0]);
        if (!row.found) {
            EXPECT_FALSE(hit) << layout;
            EXPECT_EQ(L"unchanged", found) << layout;
        } else if (*row.found == 0) {
            EXPECT_TRUE(hit) << layout;
            EXPECT_EQ(scratch.path(), found) << layout;
        } else {
            EXPECT_TRUE(hit) << layout;
            EXPECT_EQ(scratch.path() + row.found, found) << layout;
        }
    }
}

TEST(FindFolderContaining, AnEmptyFolderNameFindsNothing) {
    std::wstring found = L"unchanged";
    EXPECT_FALSE(tlw::SuiteSteps::FindFolderContaining(L"", L"setup.exe", found));
    EXPECT_EQ(L"unchanged", found);
}

TEST_F(Controller, DownloadCallbackForwardsProgressAndSignalsTheResult) {
    const LONG before = controller->References();
    tlw::DownloadCallback* callback = tlw::DownloadCallback::Create(controller->Services());
    ASSERT_NE(nullptr, callback);
    EXPECT_EQ(before + 1, controller->References());
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(callback->completed(), 0));

    callback->OnProgress(3, 10);
    EXPECT_EQ(L"10", Property(L"downloadTotal"));
    EXPECT_EQ(L"3", Property(L"downloadCurrent"));
    // Beyond 32 bits only the low bits reach the signed properties.
    callback->OnProgress((5LL << 30) + 3, (6LL << 30) + 7);
    EXPECT_EQ(L"-2147483641", Property(L"downloadTotal"));
    EXPECT_EQ(L"1073741827", Property(L"downloadCurrent"));

    callback->OnComplete(E_ABORT);
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(callback->completed(), 0));
    EXPECT_EQ(E_ABORT, callback->result());
    EXPECT_EQ(0, callback->Release());
    EXPECT_EQ(before, controller->References());
}

TEST_F(Controller, DownloadWithoutATaskEndsAtOnceWithOutOfMemory) {
    const LONG before = controller->References();
    controller->failTaskCreation = true;
    testutil::ScratchFolder scratch;
    EXPECT_EQ(E_OUTOFMEMORY,
              controller->DownloadWithTask(L"http://127.0.0.1:9/p.zip", scratch / L"p.zip"));
    EXPECT_EQ(before, controller->References());
}

TEST_F(Controller, ADownloadThatFailsToStartDoesNotHangTheWorker) {
    const LONG before = controller->References();
    testutil::ScratchFolder scratch;
    const DWORD start = GetTickCount();
    // Neither HTTP nor HTTPS: the engine ends inside Start.
    const HRESULT hr = controller->DownloadWithTask(L"ftp://127.0.0.1/p.zip", scratch / L"p.zip");
    EXPECT_EQ(downloader::kErrorInvalidUrl, hr) << std::hex << hr;
    EXPECT_LT(ElapsedMs(start), 10000u);
    EXPECT_EQ(before, controller->References());
    EXPECT_FALSE(testutil::FileExists(scratch / L"p.zip"));
}

TEST_F(Controller, ExtractOfAMissingPackageReportsTheOpenError) {
    testutil::ScratchFolder scratch;
    // A disk-full error left by an earlier unzip does not carry over.
    controller->OnError(ERROR_DISK_FULL);
    EXPECT_EQ(ExtractFailed, controller->ExtractPackage(scratch / L"missing.zip"));
    EXPECT_EQ(FailureStageUnzip, records.FailureStage());
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, records.FailureCode());
    EXPECT_TRUE(Contains(records.LogText(),
                         "Unzip failed, package_path: " + Narrow(scratch / L"missing.zip") +
                             ", unzip to: " + Narrow(controller->DownloadFolder())))
        << Quoted(records.LogText());
}

TEST_F(Controller, ExtractOfSomethingThatIsNoZipFails) {
    testutil::ScratchFolder scratch;
    ASSERT_TRUE(testutil::WriteFileBytes(scratch / L"p.zip", std::string(3000, 'z')));
    EXPECT_EQ(ExtractFailed, controller->ExtractPackage(scratch / L"p.zip"));
    EXPECT_EQ(FailureStageUnzip, records.FailureStage());
    EXPECT_EQ(0, records.FailureCode());
}

// A stored zip whose two entries, "a.txt" and "b.txt", both point at the one
// local header at offset 0.
std::string ZipWithOneHeaderForTwoEntries() {
    std::string bytes;
    auto put = [&](uint32_t value, int size) {
        for (int i = 0; i < size; ++i) {
            bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
        }
    };
    const std::string data = "hello";
    const uint32_t crc =
        crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size()));
    auto sizes = [&] {
        put(crc, 4);
        put(static_cast<uint32_t>(data.size()), 4);
        put(static_cast<uint32_t>(data.size()), 4);
        put(5, 2); // name length
        put(0, 2); // extra length
    };
    put(0x04034B50, 4);
    put(20, 2);
    put(0, 2); // flags
    put(0, 2); // stored
    put(0, 4); // time and date
    sizes();
    bytes += "a.txt" + data;
    const uint32_t directory = static_cast<uint32_t>(bytes.size());
    for (const char* name : {"a.txt", "b.txt"}) {
        put(0x02014B50, 4);
        put(20, 2);
        put(20, 2);
        put(0, 2);
        put(0, 2);
        put(0, 4);
        sizes();
        put(0, 2); // comment length
        put(0, 2); // disk
        put(0, 2); // internal attributes
        put(0, 4); // external attributes
        put(0, 4); // local header offset
        bytes += name;
    }
    const uint32_t directorySize = static_cast<uint32_t>(bytes.size()) - directory;
    put(0x06054B50, 4);
    put(0, 2);
    put(0, 2);
    put(2, 2);
    put(2, 2);
    put(directorySize, 4);
    put(directory, 4);
    put(0, 2);
    return bytes;
}

TEST_F(Controller, ExtractOfAZipWhoseEntriesShareDataIsRefusedAndLogged) {
    testutil::ScratchFolder scratch;
    ASSERT_TRUE(testutil::WriteFileBytes(scratch / L"p.zip", ZipWithOneHeaderForTwoEntries()));
    EXPECT_EQ(ExtractFailed, controller->ExtractPackage(scratch / L"p.zip"));
    EXPECT_EQ(FailureStageUnzip, records.FailureStage());
    EXPECT_EQ(ERROR_INVALID_DATA, records.FailureCode());
    EXPECT_TRUE(Contains(records.LogText(), "ERROR] Unzip refused: entries 0 and 1 share bytes"))
        << Quoted(records.LogText());
    EXPECT_FALSE(testutil::FileExists(controller->DownloadFolder() + L"a.txt"));
    EXPECT_FALSE(testutil::FileExists(controller->DownloadFolder() + L"b.txt"));
}

TEST_F(Controller, InstallWithoutAnUnzippedSetupStartsNothing) {
    const size_t attachments = records.reportSender.attachments.size();
    EXPECT_EQ(InstallSetupFailed, controller->InstallPackage(L"", L""));
    EXPECT_EQ(FailureStageSetupNotStarted, records.FailureStage());
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, records.FailureCode());
    EXPECT_EQ(attachments, records.reportSender.attachments.size());
    EXPECT_FALSE(Contains(records.LogText(), "Install start"));
}

TEST_F(Controller, ASetupThatCannotStartIsStageSixWithTheWindowsError) {
    ASSERT_EQ(ExtractOk,
              controller->ExtractPackage(FixturePath(L"packages\\TLWSuite_badsetup.zip")));
    EXPECT_EQ(InstallSetupFailed, controller->InstallPackage(L"", L"X=1"));
    EXPECT_EQ(FailureStageSetupNotStarted, records.FailureStage());
    EXPECT_EQ(ERROR_BAD_EXE_FORMAT, records.FailureCode());
    const std::string folder = Narrow(controller->DownloadFolder());
    EXPECT_TRUE(Contains(records.LogText(), "Create process failed, setup cmd line: \"" + folder +
                                                "setup.exe\" X=1 /qn /l* \"" + folder +
                                                "log.txt\""))
        << Quoted(records.LogText());
    EXPECT_TRUE(records.reportSender.attachments.empty());
}

// Waits until no process runs the given program file any more.
bool WaitForProgramToEnd(const std::wstring& logPath, DWORD timeoutMs) {
    return PumpUntil([&] { return Contains(testutil::ReadFileBytes(logPath), "exit code:"); },
                     timeoutMs);
}

TEST_F(Controller, TheEndOfTheRunStopsTheUnzip) {
    // The window closed (a cancel) before the unzip got going: it stops at
    // its first look and writes nothing.
    ASSERT_TRUE(controller->StopWorkers(1000));
    EXPECT_EQ(ExtractFailed,
              controller->ExtractPackage(FixturePath(L"packages\\TLWSuite_full.zip")));
    EXPECT_EQ(static_cast<unsigned long>(ERROR_CANCELLED), controller->ZipErrorCode());
    EXPECT_FALSE(testutil::FileExists(controller->DownloadFolder() + L"setup.exe"));
}

TEST_F(Controller, TheEndOfTheRunStopsTheWaitForSetupNotSetup) {
    const std::wstring folder = controller->DownloadFolder();
    ASSERT_TRUE(
        CopyFileW(FixturePath(L"hang\\setup.exe").c_str(), (folder + L"setup.exe").c_str(), FALSE));
    ASSERT_TRUE(testutil::WriteFileBytes(folder + L"testsetup.ini", "mode=hang\r\npause=5000\r\n"));
    // Far beyond this test: only the end of the run can end the wait.
    controller->setupLimitMs = 10 * 60 * 1000;
    ASSERT_TRUE(controller->StopWorkers(1000));
    EXPECT_EQ(InstallFailed, controller->InstallPackage(L"", L""));
    // Returned while setup still runs: it has not written its exit yet.
    EXPECT_FALSE(Contains(testutil::ReadFileBytes(folder + L"log.txt"), "exit code:"));
    EXPECT_TRUE(Contains(records.LogText(), "setup goes on by itself, no longer waiting"))
        << Quoted(records.LogText());
    EXPECT_FALSE(controller->RemoveDownloadFolder()) << "setup still uses its files";
    EXPECT_TRUE(WaitForProgramToEnd(folder + L"log.txt", 20000));
    EXPECT_TRUE(PumpUntil([&] { return controller->RemoveDownloadFolder(); }, 5000));
}

TEST_F(Controller, AStuckSetupIsNoLongerWaitedForAfterTheTimeLimit) {
    const std::wstring folder = controller->DownloadFolder();
    ASSERT_TRUE(
        CopyFileW(FixturePath(L"hang\\setup.exe").c_str(), (folder + L"setup.exe").c_str(), FALSE));
    ASSERT_TRUE(testutil::WriteFileBytes(folder + L"testsetup.ini", "mode=hang\r\npause=7000\r\n"));
    controller->setupLimitMs = 3000;
    const DWORD start = GetTickCount();
    EXPECT_EQ(InstallFailed, controller->InstallPackage(L"", L""));
    const DWORD elapsed = ElapsedMs(start);
    EXPECT_GE(elapsed, 3000u);
    EXPECT_LT(elapsed, 6500u);
    const std::string log = records.LogText();
    EXPECT_TRUE(Contains(log, "no longer waiting")) << Quoted(log);
    EXPECT_TRUE(Contains(log, "Install error: 259, or 0x103")) << Quoted(log);
    // The run ends while setup goes on: its files stay where it uses them.
    EXPECT_TRUE(controller->StopWorkers(1000));
    EXPECT_FALSE(controller->RemoveDownloadFolder());
    EXPECT_TRUE(testutil::FileExists(folder + L"setup.exe"));
    EXPECT_TRUE(testutil::FileExists(folder + L"testsetup.ini"));
    EXPECT_TRUE(Contains(records.LogText(), "a program started from it still runs"));
    // Setup is left to end by itself; then its folder goes.
    EXPECT_TRUE(WaitForProgramToEnd(folder + L"log.txt", 20000));
    EXPECT_TRUE(PumpUntil([&] { return controller->RemoveDownloadFolder(); }, 5000));
    EXPECT_FALSE(testutil::FileExists(folder + L"setup.exe"));
}

FILETIME Now() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return now;
}

FILETIME Shifted(const FILETIME& time, long long seconds) {
    FILETIME shifted;
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    value.QuadPart += seconds * 10000000LL;
    shifted.dwLowDateTime = value.LowPart;
    shifted.dwHighDateTime = value.HighPart;
    return shifted;
}

bool SetLastWriteTime(const std::wstring& path, const FILETIME& time) {
    HANDLE file =
        CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool done = SetFileTime(file, nullptr, nullptr, &time) != FALSE;
    CloseHandle(file);
    return done;
}

TEST_F(Controller, RedistributableLogsWrittenWhileSetupRanAreAttached) {
    wchar_t temp[MAX_PATH] = {};
    ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
    const std::wstring tag = std::to_wstring(GetTickCount());
    const std::wstring before = std::wstring(temp) + L"dd_vcredist_test_before_" + tag + L".log";
    const std::wstring during = std::wstring(temp) + L"dd_vcredist_test_during_" + tag + L".log";
    const std::wstring folder = std::wstring(temp) + L"dd_vcredist_test_folder_" + tag;
    ASSERT_TRUE(testutil::WriteFileBytes(before, "old"));
    ASSERT_TRUE(testutil::WriteFileBytes(during, "new"));
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    // "before" was last written an hour ago; setup "ran" from a minute ago
    // until a minute from now.
    ASSERT_TRUE(SetLastWriteTime(before, Shifted(Now(), -3600)));
    SYSTEMTIME start, end;
    const FILETIME from = Shifted(Now(), -60);
    const FILETIME to = Shifted(Now(), 60);
    ASSERT_TRUE(FileTimeToSystemTime(&from, &start));
    ASSERT_TRUE(FileTimeToSystemTime(&to, &end));
    controller->CollectRedistributableLogs(start, end);
    std::vector<std::wstring> ours;
    for (const std::wstring& path : records.reportSender.attachments) {
        if (path.find(L"dd_vcredist_test_") != std::wstring::npos) {
            ours.push_back(path);
        }
    }
    EXPECT_EQ(std::vector<std::wstring>{during}, ours);
    DeleteFileW(before.c_str());
    DeleteFileW(during.c_str());
    RemoveDirectoryW(folder.c_str());
}

// The value in one registry view: 7 when it cannot be read.
DWORD ReadShowEula(REGSAM view) {
    HKEY key = nullptr;
    DWORD value = 7, size = sizeof value;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvern\\TLWPro\\Version18", 0,
                      KEY_QUERY_VALUE | view, &key) != ERROR_SUCCESS) {
        return 7;
    }
    if (RegGetValueW(key, nullptr, L"ShowEula", RRF_RT_REG_DWORD, nullptr, &value, &size) !=
        ERROR_SUCCESS) {
        value = 7;
    }
    RegCloseKey(key);
    return value;
}

LONG WriteShowEula(REGSAM view, DWORD value) {
    HKEY key = nullptr;
    LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvern\\TLWPro\\Version18", 0,
                                  nullptr, 0, KEY_SET_VALUE | view, nullptr, &key, nullptr);
    if (result == ERROR_SUCCESS) {
        result = RegSetValueExW(key, L"ShowEula", 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(&value), sizeof value);
        RegCloseKey(key);
    }
    return result;
}

LONG DeleteShowEulaKey(REGSAM view) {
    return RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvern\\TLWPro\\Version18", view, 0);
}

TEST(ShowEula, IsClearedInTheSixtyFourBitViewOnly) {
    // The flag belongs to the product's 64-bit view, whatever the width of
    // this process: a 32-bit program on 64-bit Windows would otherwise write
    // the redirected 32-bit view. A 32-bit Windows has one view (the view
    // flags are ignored there), so the value is cleared in it.
    BOOL wow64 = FALSE;
    ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
    const bool twoViews = sizeof(void*) == 8 || wow64;

    ASSERT_EQ(ERROR_SUCCESS, WriteShowEula(KEY_WOW64_64KEY, 1));
    ASSERT_EQ(ERROR_SUCCESS, WriteShowEula(KEY_WOW64_32KEY, 1));
    tlw::SuiteSteps::ClearShowEulaFlag();
    EXPECT_EQ(0u, ReadShowEula(KEY_WOW64_64KEY));
    EXPECT_EQ(twoViews ? 1u : 0u, ReadShowEula(KEY_WOW64_32KEY));

    // Also when the key does not exist yet.
    DeleteShowEulaKey(KEY_WOW64_32KEY);
    DeleteShowEulaKey(KEY_WOW64_64KEY);
    tlw::SuiteSteps::ClearShowEulaFlag();
    EXPECT_EQ(0u, ReadShowEula(KEY_WOW64_64KEY));
    EXPECT_EQ(twoViews ? 7u : 0u, ReadShowEula(KEY_WOW64_32KEY));
    DeleteShowEulaKey(KEY_WOW64_64KEY);
}

TEST_F(Controller, StartProgramAndVersionComeFromTheMainProduct) {
    std::wstring path = L"unchanged";
    EXPECT_FALSE(controller->GetInstalledStartProgram(path));
    EXPECT_EQ(L"unchanged", path);
    EXPECT_EQ(L"", tlw::SuiteSteps::GetProductVersionString(kProductCodes[kMainProduct]));

    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), InstallProduct(FixturePath(L"tlwtest2.msi")));
    std::wstring location;
    ASSERT_EQ(0u, QueryProduct(kProductCodes[kMainProduct], L"InstallLocation", &location));
    ASSERT_TRUE(controller->GetInstalledStartProgram(path));
    EXPECT_EQ(location + kStartProgramName, path);
    EXPECT_TRUE(testutil::FileExists(path));
    EXPECT_EQ(kMainVersion, tlw::SuiteSteps::GetProductVersionString(kProductCodes[kMainProduct]));
    EXPECT_EQ(L"", tlw::SuiteSteps::GetProductVersionString(kProductCodes[0]));
}

TEST_F(Controller, AMainProductWithoutALocationHasNoStartProgram) {
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              InstallProduct(FixturePath(L"tlwtest2-noloc.msi")));
    std::wstring path = L"unchanged";
    EXPECT_FALSE(controller->GetInstalledStartProgram(path));
    EXPECT_EQ(L"unchanged", path);
}

TEST_F(Controller, ProgressPollsFollowTheInstalledProductsAndKeepARollback) {
    controller->UpdateInstallProgress();
    EXPECT_EQ(L"2", Property(L"installProgress"));
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), InstallProduct(FixturePath(L"tlwtest0.msi")));
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), InstallProduct(FixturePath(L"tlwtest3.msi")));
    controller->UpdateInstallProgress();
    EXPECT_EQ(L"45", Property(L"installProgress"));
    EXPECT_EQ(3, controller->LastInstalledIndex());
    controller->UpdateInstallProgress();
    EXPECT_EQ(L"48", Property(L"installProgress")); // 45 + (63 - 45) / 5
    EXPECT_TRUE(
        Contains(records.LogText(), "productcode: " + Narrow(kProductCodes[3]) + "  installed"))
        << Quoted(records.LogText());

    ASSERT_TRUE(UninstallAllTestProducts().empty());
    controller->UpdateInstallProgress();
    controller->UpdateInstallProgress();
    EXPECT_EQ(L"48", Property(L"installProgress"));
    EXPECT_EQ(-1, controller->LastInstalledIndex());
    EXPECT_TRUE(Contains(records.LogText(), "productcode: none installed any more"))
        << Quoted(records.LogText());
}

} // namespace
