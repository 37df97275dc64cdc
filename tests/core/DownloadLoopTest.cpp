// The default download's attempts: which results are retried, how often, and
// the bound on attempts that keep receiving a little data.

#include "base/InstallerContext.h"
#include "base/LogFile.h"
#include "tests/common/TestUtil.h"
#include "tests/core/BindingDouble.h"
#include "tests/core/CoreTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using coretest::BindingDouble;
using coretest::ProbeExternal;

namespace {

const wchar_t kUrl[] = L"http://packages.test/files/Product_64bit.zip";

class DownloadLoop : public coretest::ObjectTest {
protected:
    void TearDown() override {
        for (BindingDouble* binding : bindings) {
            binding->Release();
        }
        BindingDouble::planned = nullptr;
        ObjectTest::TearDown();
    }

    // Runs the default download on a worker thread, as the download worker does.
    int Download() {
        int code = -1;
        EXPECT_TRUE(coretest::RunOnWorkerThread([&] { code = object->DownloadPackage(kUrl); }));
        return code;
    }

    std::vector<BindingDouble*> bindings;
};

TEST_F(DownloadLoop, AMissingResourceEndsAfterOneAttempt) {
    for (HRESULT missing : {INET_E_RESOURCE_NOT_FOUND, INET_E_OBJECT_NOT_FOUND}) {
        object->attemptsMade = 0;
        object->attempt = [missing](int) { return std::make_pair(missing, false); };
        EXPECT_EQ(2, Download());
        EXPECT_EQ(1, object->attemptsMade);
    }
    // The package goes into the object's own folder under the URL's file name.
    const std::wstring expected = object->DownloadFolder() + L"Product_64bit.zip";
    EXPECT_EQ(expected, object->DownloadedFilePath());
    EXPECT_EQ(expected, object->attemptPaths.back());
}

TEST_F(DownloadLoop, ResultsThatAreNotTransferFailuresAreNotRetried) {
    const std::pair<HRESULT, int> cases[] = {
        {S_OK, 0},           {S_FALSE, 1},   {static_cast<HRESULT>(0x80070070), 3},
        {E_ACCESSDENIED, 1}, {E_PENDING, 1},
    };
    for (const auto& c : cases) {
        object->attemptsMade = 0;
        object->attempt = [c](int) { return std::make_pair(c.first, true); };
        EXPECT_EQ(c.second, Download()) << std::hex << c.first;
        EXPECT_EQ(1, object->attemptsMade) << std::hex << c.first;
    }
}

TEST_F(DownloadLoop, TimeOutsWithoutDataGiveUpAfterTenAttempts) {
    object->attempt = [](int) { return std::make_pair(INET_E_CONNECTION_TIMEOUT, false); };
    EXPECT_EQ(4, Download());
    EXPECT_EQ(10, object->attemptsMade);
    EXPECT_EQ(10u, coretest::Count(Log(), "DEBUG] TransferDownloadError HRESULT: 800c000b\n"));
}

TEST_F(DownloadLoop, AnAttemptThatReceivedDataRenewsTheCount) {
    // Nine dry time-outs, one with data, then nine dry ones more, and success.
    object->attempt = [](int n) {
        if (n == 20) {
            return std::make_pair(S_OK, true);
        }
        return std::make_pair(INET_E_CONNECTION_TIMEOUT, n == 10);
    };
    EXPECT_EQ(0, Download());
    EXPECT_EQ(20, object->attemptsMade);

    // Without the success the renewed count runs out ten attempts later.
    object->attemptsMade = 0;
    object->attempt = [](int n) { return std::make_pair(INET_E_CONNECTION_TIMEOUT, n == 10); };
    EXPECT_EQ(4, Download());
    EXPECT_EQ(20, object->attemptsMade);
}

TEST_F(DownloadLoop, ADownloadFailureIsDiskFullOnlyWithNoFreeBytes) {
    object->attempt = [](int) { return std::make_pair(INET_E_DOWNLOAD_FAILURE, false); };
    EXPECT_EQ(4, Download());
    EXPECT_EQ(10, object->attemptsMade);

    const std::wstring smallDisk = testutil::SmallDiskFolder();
    if (smallDisk.empty()) {
        GTEST_SKIP() << "no small file system mounted (BC_SMALL_DISK unset)";
    }
    const std::wstring folder = smallDisk + L"dl\\";
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring own = object->DownloadFolder();
    object->SetDownloadFolder(folder);
    const std::wstring filler = smallDisk + L"filler.bin";
    {
        HANDLE file = CreateFileW(filler.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        std::string block(1 << 20, 'f');
        for (DWORD size = 1 << 20; size > 0; size /= 2) {
            DWORD written = 0;
            while (WriteFile(file, block.data(), size, &written, nullptr) && written == size) {
            }
        }
        CloseHandle(file);
    }
    ULARGE_INTEGER free;
    ASSERT_TRUE(GetDiskFreeSpaceExW(folder.c_str(), nullptr, nullptr, &free));
    EXPECT_EQ(0u, free.QuadPart);
    object->attemptsMade = 0;
    EXPECT_EQ(3, Download());
    EXPECT_EQ(1, object->attemptsMade);
    DeleteFileW(filler.c_str());

    // With space again the same failure is a transfer failure, retried.
    object->attemptsMade = 0;
    EXPECT_EQ(4, Download());
    EXPECT_EQ(10, object->attemptsMade);
    object->SetDownloadFolder(own);
    RemoveDirectoryW(folder.c_str());
}

TEST_F(DownloadLoop, AServerThatAlwaysSendsALittleIsNotRetriedForEver) {
    // Every attempt: the transfer starts, 100 bytes of 5000 arrive, and the
    // connection times out.
    object->opener = BindingDouble::Open;
    object->beforeAttempt = [this](int, const std::wstring& path) {
        BindingDouble* binding = new BindingDouble(
            {coretest::StartStep(), coretest::ProgressStep(BINDSTATUS_BEGINDOWNLOADDATA, 0, 5000),
             coretest::ProgressStep(BINDSTATUS_DOWNLOADINGDATA, 100, 5000),
             coretest::DataStep(coretest::Pattern(100)),
             coretest::StopStep(INET_E_CONNECTION_TIMEOUT)},
            path);
        bindings.push_back(binding);
        BindingDouble::planned = binding;
    };
    EXPECT_EQ(4, Download());
    EXPECT_EQ(downloadmanagercore::kDownloadBudgetRenewals + 1, object->attemptsMade);
    for (BindingDouble* binding : bindings) {
        EXPECT_TRUE(binding->stopped);
    }
    // Each attempt started from an empty file and kept what it received.
    EXPECT_EQ(coretest::Pattern(100), testutil::ReadFileBytes(object->DownloadedFilePath()));
    const std::string text = Log();
    EXPECT_NE(std::string::npos, text.find("ERROR] Download gave up after 10 renewed attempts\n"))
        << text;
}

TEST_F(DownloadLoop, AUrlWhoseNameIsNoFileIsNotFetched) {
    // Each would deliver the whole content; none may be written anywhere.
    object->opener = BindingDouble::Open;
    object->beforeAttempt = [this](int, const std::wstring& path) {
        BindingDouble* binding = new BindingDouble(
            {coretest::StartStep(), coretest::ProgressStep(BINDSTATUS_BEGINDOWNLOADDATA, 0, 100),
             coretest::ProgressStep(BINDSTATUS_DOWNLOADINGDATA, 100, 100),
             coretest::DataStep(coretest::Pattern(100), S_FALSE, true), coretest::StopStep(S_OK)},
            path);
        bindings.push_back(binding);
        BindingDouble::planned = binding;
    };
    // Device names open a device in any folder; the others are no file name.
    for (const wchar_t* url :
         {L"http://packages.test/files/nul", L"http://packages.test/files/CON.zip",
          L"http://packages.test/files/com1", L"http://packages.test/files/get?id=7",
          L"http://packages.test/files/", L"http://packages.test/files/.."}) {
        object->attemptsMade = 0;
        int code = -1;
        EXPECT_TRUE(coretest::RunOnWorkerThread([&] { code = object->DownloadPackage(url); }));
        EXPECT_EQ(1, code) << url;
        EXPECT_EQ(0, object->attemptsMade) << url;
    }
    EXPECT_NE(std::string::npos, Log().find("ERROR] Download: no file name in the URL "));
}

TEST_F(DownloadLoop, ASuccessfulTransferLeavesThePackage) {
    const std::string content = coretest::Pattern(30000);
    object->opener = BindingDouble::Open;
    object->beforeAttempt = [&](int n, const std::wstring& path) {
        // The first attempt times out half-way; the second delivers it all.
        std::vector<coretest::BindStep> steps = {
            coretest::StartStep(), coretest::ProgressStep(BINDSTATUS_BEGINDOWNLOADDATA, 0, 30000),
            coretest::ProgressStep(BINDSTATUS_DOWNLOADINGDATA, 15000, 30000),
            coretest::DataStep(content.substr(0, 15000))};
        if (n == 1) {
            steps.push_back(coretest::StopStep(INET_E_CONNECTION_TIMEOUT));
        } else {
            steps.push_back(coretest::DataStep(content.substr(15000), S_FALSE));
            steps.push_back(coretest::ProgressStep(BINDSTATUS_ENDDOWNLOADDATA, 30000, 30000));
            steps.push_back(coretest::StopStep(S_OK));
        }
        BindingDouble* binding = new BindingDouble(steps, path);
        bindings.push_back(binding);
        BindingDouble::planned = binding;
    };
    EXPECT_EQ(0, Download());
    EXPECT_EQ(2, object->attemptsMade);
    EXPECT_EQ(content, testutil::ReadFileBytes(object->DownloadedFilePath()));
    EXPECT_EQ(L"30000", context->properties[L"downloadTotal"]);
    EXPECT_EQ(L"30000", context->properties[L"downloadCurrent"]);
}

} // namespace
