// The end of a run while workers are busy: StopWorkers asks them to stop,
// waits for them with a bound, keeps the closed page from being called back
// and closes the run's record to whatever still runs.

#include "base/InstallerContext.h"
#include "base/LogFile.h"
#include "base/TempFolders.h"
#include "base/UniqueHandle.h"
#include "tests/core/CoreTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

using coretest::ProbeExternal;
using coretest::ScriptHost;

namespace {

class StopWorkers : public coretest::WorkerPageTest {
protected:
    // Starts "download" with a step that reports itself started first.
    void StartDownload() {
        ASSERT_EQ(S_OK, host->Run(L"external.download('http://h/p.zip', done);")) << host->Errors();
        ASSERT_TRUE(coretest::PumpUntil([this] { return started.load(); }, 10000));
    }

    std::atomic<bool> started{false};
};

TEST_F(StopWorkers, WithoutWorkersItReturnsAtOnce) {
    EXPECT_EQ(0, object->RunningWorkers());
    EXPECT_FALSE(object->IsStopping());
    EXPECT_TRUE(object->StopWorkers(0));
    EXPECT_TRUE(object->IsStopping());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(object->StopRequested(), 0));
}

TEST_F(StopWorkers, AStepThatHeedsTheStopEndsAndThePageIsNotCalledBack) {
    object->download = [this](const std::wstring&) {
        started = true;
        // A step's wait ends when the run ends.
        WaitForSingleObject(object->StopRequested(), 20000);
        return 6;
    };
    StartDownload();
    EXPECT_EQ(1, object->RunningWorkers());

    EXPECT_TRUE(object->StopWorkers(10000));
    EXPECT_EQ(0, object->RunningWorkers());
    coretest::PumpUntil([] { return false; }, 200);
    EXPECT_EQ(0, host->Number(L"calls"));
    EXPECT_NE(std::string::npos, Log().find("callJscallback skipped, the window has closed: 6"));
    // The worker ended inside the wait, so its failure is in the record.
    EXPECT_EQ(1, context->failureStage);
    EXPECT_EQ(6, context->failureCode);
    EXPECT_TRUE(object->PropertyLockFree());
}

TEST_F(StopWorkers, AWorkerThatOutlastsTheBoundCanNoLongerChangeTheRecord) {
    KernelHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    object->download = [&](const std::wstring&) {
        started = true;
        WaitForSingleObject(release.Get(), 20000);
        object->SetProperty(L"late", L"1");
        object->SetDownloadCurrent(77);
        object->SetProductVersion(L"9.9");
        object->record().SetChannel(L"late");
        return 4;
    };
    StartDownload();

    EXPECT_FALSE(object->StopWorkers(300));
    EXPECT_EQ(1, object->RunningWorkers());
    EXPECT_NE(std::string::npos, Log().find("StopWorkers: 1 workers still running after 300 ms"));

    SetEvent(release.Get());
    ASSERT_TRUE(coretest::PumpUntil([this] { return object->RunningWorkers() == 0; }, 10000));
    EXPECT_EQ(0u, context->properties.count(L"late"));
    EXPECT_EQ(L"0", context->properties[L"downloadCurrent"]);
    EXPECT_EQ(L"", context->productVersion);
    EXPECT_EQ(L"", context->channel);
    // DownloadThreadFunc's own record of the failure came too late as well.
    EXPECT_EQ(0, context->failureStage);
    EXPECT_EQ(0, host->Number(L"calls"));
    // Reading the closed record adds no names to it.
    EXPECT_EQ(L"", object->GetProperty(L"neverSet"));
    EXPECT_EQ(0u, context->properties.count(L"neverSet"));
}

TEST_F(StopWorkers, NothingStartsOnceTheRunIsStopping) {
    bool ran = false;
    object->download = [&](const std::wstring&) {
        ran = true;
        return 0;
    };
    EXPECT_TRUE(object->StopWorkers(0));
    EXPECT_NE(0, host->ErrorOf(L"external.download('http://h/p.zip', done);"));
    coretest::PumpUntil([] { return false; }, 200);
    EXPECT_FALSE(ran);
    EXPECT_EQ(0, object->RunningWorkers());
    EXPECT_NE(std::string::npos, Log().find("StartWorker: the run is ending, nothing started"));
}

} // namespace

namespace {

class DownloadFolderAtTheEnd : public coretest::ObjectTest {};

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

TEST_F(DownloadFolderAtTheEnd, IsRemovedAlthoughAReferenceRemains) {
    const std::wstring folder = object->DownloadFolder();
    ASSERT_FALSE(folder.empty());
    ASSERT_TRUE(CreateDirectoryW((folder + L"pkg").c_str(), nullptr));
    object->AddRef(); // a reference someone never gave back
    EXPECT_TRUE(object->StopWorkers(1000));
    EXPECT_TRUE(object->RemoveDownloadFolder());
    EXPECT_FALSE(Exists(folder));
    EXPECT_TRUE(object->RemoveDownloadFolder()) << "nothing left to remove";
    object->Release();
}

TEST_F(DownloadFolderAtTheEnd, StaysWhileAProgramStartedFromItRuns) {
    const std::wstring folder = object->DownloadFolder();
    ASSERT_FALSE(folder.empty());
    // Setup going on after the run stopped waiting for it.
    wchar_t command[] = L"cmd.exe /c exit 0";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION setup = {};
    ASSERT_TRUE(CreateProcessW(nullptr, command, nullptr, nullptr, FALSE,
                               CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, folder.c_str(),
                               &startup, &setup));
    KernelHandle process(setup.hProcess), thread(setup.hThread);
    ASSERT_TRUE(AddFolderUser(folder, process.Get()));
    EXPECT_FALSE(object->RemoveDownloadFolder());
    EXPECT_TRUE(Exists(folder));
    EXPECT_NE(std::string::npos, Log().find("a program started from it still runs"));

    TerminateProcess(process.Get(), 0);
    WaitForSingleObject(process.Get(), 10000);
    EXPECT_TRUE(object->RemoveDownloadFolder());
    EXPECT_FALSE(Exists(folder));
}

} // namespace
