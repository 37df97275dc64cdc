// The package between its download and its unzip: the real download (from
// the package server) and extract steps, with the package file changed,
// replaced or planted as a link in between. The folder beside the program is
// the user's, so a process of the user can do any of this.

#include "base/PageCodes.h"
#include "base/TempFolders.h"
#include "downloader/DownloadSimpleTask.h"
#include "tests/common/PkgServer.h"
#include "tests/common/TestUtil.h"
#include "tests/product/PageHarness.h"
#include "tests/product/ProductFixture.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

using namespace producttest;

namespace {

const wchar_t kName[] = L"SwapTest_full.zip";

std::wstring BesideThisProgram(const std::wstring& name) {
    wchar_t program[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring path = program;
    return path.substr(0, path.find_last_of(L'\\') + 1) + name;
}

// Whether the folder holds nothing unzipped: no entry but the file that
// names the folder's users.
bool IsEmptyFolder(const std::wstring& folder) {
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((folder + L"*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return true;
    }
    bool empty = true;
    do {
        if (wcscmp(entry.cFileName, L".") && wcscmp(entry.cFileName, L"..") &&
            wcscmp(entry.cFileName, kFolderUsersFileName)) {
            empty = false;
        }
    } while (empty && FindNextFileW(search, &entry));
    FindClose(search);
    return empty;
}

// Removes the package and whatever was planted in its place (a link to a
// folder goes as a folder entry, without touching what it points at).
void RemovePackage(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        EXPECT_TRUE(testutil::RemoveUnixSymlink(path));
    } else {
        EXPECT_TRUE(DeleteFileW(path.c_str()));
    }
}

class PackageSwap : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Available()) << "the package server was not started (BC_PKG_PORT)";
        ASSERT_TRUE(server.Reset());
        for (const std::wstring& file :
             {std::wstring(L""), std::wstring(L".meta"), std::wstring(L".meta.sig")}) {
            ASSERT_TRUE(CopyFileW(FixturePath(L"packages\\TLWSuite_full.zip" + file).c_str(),
                                  server.FilePath(kName + file).c_str(), FALSE));
        }
        package = BesideThisProgram(kName);
        RemovePackage(package);
    }
    void TearDown() override {
        for (TestController* controller : controllers) {
            EXPECT_TRUE(PumpUntil([&] { return controller->References() == 1; }, 30000));
            EXPECT_EQ(0u, controller->Release());
        }
        RemovePackage(package);
    }

    TestController* NewController(RunRecords& records) {
        controllers.push_back(
            new TestController(&records.context, &records.reportSender, &records.log));
        return controllers.back();
    }
    std::wstring Url() const { return server.Url(std::wstring(L"/") + kName); }

    testutil::PkgServer server;
    std::wstring package;
    std::vector<TestController*> controllers;
};

// Downloaded and verified; then, before extract, the package file is left
// alone (the control), changed in one byte, or replaced by another valid
// package (the test package whose setup only exits). Only the first unzips.
TEST_F(PackageSwap, APackageChangedAfterItsDownloadIsNotUnzipped) {
    const std::string other = testutil::ReadFileBytes(FixturePath(L"packages\\TLWSuite_exit0.zip"));
    ASSERT_FALSE(other.empty());
    const struct {
        const char* what;
        std::function<bool(const std::wstring&)> change;
        bool unzipped;
    } cases[] = {
        {"left alone", [](const std::wstring&) { return true; }, true},
        {"one byte changed",
         [](const std::wstring& path) {
             std::string bytes = testutil::ReadFileBytes(path);
             bytes[bytes.size() / 2] ^= 0x20;
             return testutil::WriteFileBytes(path, bytes);
         },
         false},
        {"replaced by another package",
         [&](const std::wstring& path) {
             return DeleteFileW(path.c_str()) && testutil::WriteFileBytes(path, other);
         },
         false},
    };
    for (const auto& c : cases) {
        RunRecords records;
        TestController* controller = NewController(records);
        ASSERT_EQ(DownloadOk, controller->DownloadPackage(Url())) << c.what;
        ASSERT_EQ(package, controller->DownloadedFilePath());
        ASSERT_TRUE(c.change(package)) << c.what;

        const int code = controller->ExtractAfterDownload(package);
        const std::string log = records.LogText();
        if (c.unzipped) {
            EXPECT_EQ(ExtractOk, code) << c.what << Quoted(log);
            EXPECT_TRUE(
                testutil::FileExists(controller->DownloadFolder() + L"pkg\\bin\\setup.exe"));
            continue;
        }
        // The extract failure of an unreadable package: code 1, stage 4,
        // with the Windows error ERROR_CRC.
        EXPECT_EQ(ExtractFailed, code) << c.what;
        EXPECT_EQ(FailureStageUnzip, records.FailureStage()) << c.what;
        EXPECT_EQ(ERROR_CRC, records.FailureCode()) << c.what;
        EXPECT_TRUE(IsEmptyFolder(controller->DownloadFolder())) << c.what << ": unzipped";
        EXPECT_TRUE(Contains(log, "changed since its download; not unzipped")) << Quoted(log);
        EXPECT_EQ(L"100", controller->GetProperty(L"extractProgress")) << c.what;
        RemovePackage(package);
    }
}

// Extract uses only the companion of a download that succeeded in this run.
TEST_F(PackageSwap, WithoutAVerifiedDownloadNothingIsUnzipped) {
    RunRecords records;
    TestController* controller = NewController(records);
    ASSERT_TRUE(
        CopyFileW(FixturePath(L"packages\\TLWSuite_full.zip").c_str(), package.c_str(), FALSE));
    EXPECT_EQ(ExtractFailed, controller->ExtractAfterDownload(package));
    EXPECT_EQ(FailureStageUnzip, records.FailureStage());
    EXPECT_TRUE(IsEmptyFolder(controller->DownloadFolder()));
    EXPECT_TRUE(Contains(records.LogText(), "no verified download of"))
        << Quoted(records.LogText());
}

// Planted as the package file before the download: a second name (hard
// link) of another file of the user's, or a link to a folder (a link to a
// file is refused by the same reparse-attribute check; this Wine shows it as
// the file itself, so base's table of IsPlainFile stands in for it). The
// download refuses it at once, without retrying and without writing through
// it; an extract of the same name refuses it too, also when the link leads
// to the very bytes that were verified.
TEST_F(PackageSwap, ALinkPlantedAsThePackageIsRefusedByDownloadAndExtract) {
    testutil::ScratchFolder scratch;
    const std::string verified =
        testutil::ReadFileBytes(FixturePath(L"packages\\TLWSuite_full.zip"));
    const struct {
        const char* what;
        // Plants the link; a file it leads to holds `bytes`.
        std::function<bool(const std::string& bytes)> plant;
    } cases[] = {
        {"hard link to a file",
         [&](const std::string& bytes) {
             return testutil::WriteFileBytes(scratch / L"victim.zip", bytes) &&
                    CreateHardLinkW(package.c_str(), (scratch / L"victim.zip").c_str(), nullptr);
         }},
        {"symbolic link to a folder",
         [&](const std::string&) {
             CreateDirectoryW((scratch / L"victim").c_str(), nullptr);
             return testutil::MakeUnixSymlink(scratch / L"victim", package);
         }},
    };
    for (const auto& c : cases) {
        // The download: refused, once, nothing written through the link.
        {
            RunRecords records;
            TestController* controller = NewController(records);
            ASSERT_TRUE(c.plant("keep me")) << c.what;
            EXPECT_EQ(DownloadFailed, controller->DownloadPackage(Url())) << c.what;
            const std::string log = records.LogText();
            EXPECT_TRUE(Contains(log, "TransferDownloadError HRESULT: 80071127")) << Quoted(log);
            EXPECT_EQ(log.find("TransferDownloadError"), log.rfind("TransferDownloadError"))
                << c.what << ": retried" << Quoted(log);
            EXPECT_TRUE(Contains(log, "is a link or another name of a file; refused"))
                << Quoted(log);
            if (testutil::FileExists(scratch / L"victim.zip")) {
                EXPECT_EQ("keep me", testutil::ReadFileBytes(scratch / L"victim.zip")) << c.what;
            }
            EXPECT_TRUE(IsEmptyFolder(scratch / L"victim\\")) << c.what;
            RemovePackage(package);
        }
        // The extract, after a download that verified these very bytes.
        {
            RunRecords records;
            TestController* controller = NewController(records);
            ASSERT_EQ(DownloadOk, controller->DownloadPackage(Url())) << c.what;
            ASSERT_TRUE(DeleteFileW(package.c_str()));
            ASSERT_TRUE(c.plant(verified)) << c.what;
            EXPECT_EQ(ExtractFailed, controller->ExtractAfterDownload(package)) << c.what;
            EXPECT_EQ(FailureStageUnzip, records.FailureStage()) << c.what;
            EXPECT_EQ(static_cast<int>(ERROR_REPARSE_ATTRIBUTE_CONFLICT), records.FailureCode())
                << c.what;
            EXPECT_TRUE(IsEmptyFolder(controller->DownloadFolder())) << c.what;
            EXPECT_TRUE(Contains(records.LogText(), "is a link or another name of a file; not "
                                                    "unzipped"))
                << Quoted(records.LogText());
            RemovePackage(package);
            DeleteFileW((scratch / L"victim.zip").c_str());
        }
    }
}

} // namespace
