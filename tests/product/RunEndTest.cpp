// The controller at the end of a run whose window has closed: the running
// verified download is cancelled, a pause between attempts ends, nothing new
// starts, and the run's record no longer takes attachments.

#include "product/ProductLogic.h"
#include "tests/common/PkgServer.h"
#include "tests/common/TestUtil.h"
#include "tests/product/PageHarness.h"
#include "tests/product/ProductFixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

using namespace producttest;

namespace {

class RunEnd : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Available());
        ASSERT_TRUE(server.Reset());
        controller = new TestController(&records.context, &records.reportSender, &records.log);
    }

    void TearDown() override {
        if (worker) {
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(worker, 60000));
            CloseHandle(worker);
        }
        if (controller) {
            EXPECT_EQ(0u, controller->Release());
        }
        for (const std::wstring& path : besideProgram) {
            DeleteFileW(path.c_str());
        }
    }

    // DownloadPackage of `url` on a thread of its own, as the download worker runs it.
    void StartDownload(const std::wstring& url, const std::wstring& name) {
        wchar_t program[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, program, MAX_PATH);
        std::wstring folder = program;
        folder = folder.substr(0, folder.find_last_of(L'\\') + 1);
        besideProgram.push_back(folder + name);
        besideProgram.push_back(folder + name + L".meta");
        DeleteFileW(besideProgram[0].c_str());
        downloadUrl = url;
        worker = CreateThread(nullptr, 0, RunDownload, this, 0, nullptr);
        ASSERT_NE(nullptr, worker);
    }

    static DWORD WINAPI RunDownload(void* parameter) {
        RunEnd* self = static_cast<RunEnd*>(parameter);
        self->result = self->controller->DownloadPackage(self->downloadUrl);
        return 0;
    }

    size_t RequestsFor(const std::string& target) {
        size_t count = 0;
        for (const auto& request : server.Log()) {
            count += request.target == target ? 1 : 0;
        }
        return count;
    }

    testutil::PkgServer server;
    RunRecords records;
    TestController* controller = nullptr;
    HANDLE worker = nullptr;
    std::wstring downloadUrl;
    std::atomic<int> result{-1};
    std::vector<std::wstring> besideProgram;
};

TEST_F(RunEnd, TheRunningVerifiedDownloadIsCancelledAndNotRetried) {
    ASSERT_TRUE(server.Control("create?path=/end-cancel.bin&size=2097152"));
    ASSERT_TRUE(server.Control("meta?path=/end-cancel.bin"));
    // 64 KiB, then a silence. Wine's WinINet ends a receive that is under way
    // only when it returns, so the cancel completes when the silence ends.
    ASSERT_TRUE(server.AddRule("path=/end-cancel.bin&when=range&times=0&end=65536&stall=5"));
    StartDownload(server.Url(L"/end-cancel.bin"), L"end-cancel.bin");
    ASSERT_TRUE(PumpUntil([this] { return RequestsFor("/end-cancel.bin") == 1; }, 30000));

    EXPECT_TRUE(controller->StopWorkers(0)); // no work item runs; this stops the download
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(worker, 60000));
    EXPECT_EQ(DownloadAborted, result.load());
    EXPECT_EQ(1u, RequestsFor("/end-cancel.bin")) << "the download was retried";
    EXPECT_NE(std::string::npos, records.LogText().find("Download cancelled: the run is ending"));
}

TEST_F(RunEnd, APauseBetweenAttemptsEndsWhenTheRunEnds) {
    // Nothing listens on the discard port: every attempt fails and is retried.
    StartDownload(L"http://127.0.0.1:9/end-pause.bin", L"end-pause.bin");
    ASSERT_TRUE(PumpUntil(
        [this] {
            return records.LogText().find("TransferDownloadError HRESULT") != std::string::npos;
        },
        30000));
    EXPECT_TRUE(controller->StopWorkers(0));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(worker, 30000));
    // Only the stop makes a download that cannot connect end as aborted.
    EXPECT_EQ(DownloadAborted, result.load());
    size_t attempts = 0;
    const std::string log = records.LogText();
    for (size_t at = log.find("TransferDownloadError"); at != std::string::npos;
         at = log.find("TransferDownloadError", at + 1)) {
        ++attempts;
    }
    EXPECT_LT(attempts, static_cast<size_t>(tlw::kDownloadAttempts));
}

TEST_F(RunEnd, NoDownloadStartsOnceTheRunIsStopping) {
    ASSERT_TRUE(server.Control("create?path=/end-none.bin&size=1000"));
    ASSERT_TRUE(server.Control("meta?path=/end-none.bin"));
    EXPECT_TRUE(controller->StopWorkers(0));
    testutil::ScratchFolder scratch;
    EXPECT_EQ(E_ABORT, controller->DownloadWithTask(server.Url(L"/end-none.bin"),
                                                    scratch / L"end-none.bin"));
    EXPECT_TRUE(server.Log().empty());
}

TEST_F(RunEnd, AStopJustBeforeTheTaskStartsStillCancelsIt) {
    // The engine ignores a cancel that comes before its start: the attempt
    // must notice the stop once the task has started.
    ASSERT_TRUE(server.Control("create?path=/end-race.bin&size=1000"));
    ASSERT_TRUE(server.Control("meta?path=/end-race.bin"));
    controller->stopBeforeStart = true;
    testutil::ScratchFolder scratch;
    const HRESULT hr =
        controller->DownloadWithTask(server.Url(L"/end-race.bin"), scratch / L"end-race.bin");
    EXPECT_EQ(E_ABORT, hr) << "the download ran on after the run had ended";
}

TEST_F(RunEnd, AttachmentsAreTakenUntilTheRecordIsClosed) {
    controller->Attach(L"C:\\logs\\before.log");
    EXPECT_TRUE(controller->StopWorkers(0));
    controller->Attach(L"C:\\logs\\after.log");
    EXPECT_EQ(std::vector<std::wstring>{L"C:\\logs\\before.log"}, records.reportSender.attachments);
}

} // namespace
