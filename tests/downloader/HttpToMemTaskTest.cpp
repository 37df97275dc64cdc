#include "downloader/HttpToMemTask.h"

#include "tests/downloader/ServerFixture.h"

namespace {

using downloader::ITask;
using testutil::MakeRecorder;
using testutil::MemRecorder;
using testutil::Ref;

constexpr long kIncorrectFormat = static_cast<long>(0x80072EFB);
constexpr long kCancelled = static_cast<long>(0x80072EF1);

class HttpToMemTaskTest : public testutil::ServerTest {
protected:
    bool Run(const std::wstring& url, MemRecorder* recorder) {
        Ref<ITask> task(downloader::CreateHttpToMemTask(url.c_str(), recorder));
        if (!task) {
            return false;
        }
        task->Start();
        return recorder->WaitDone();
    }
};

TEST_F(HttpToMemTaskTest, SmallResourceInOneResponse) {
    const std::string content = Publish(L"small.meta", 28);
    Ref<MemRecorder> recorder(MakeRecorder<MemRecorder>());
    ASSERT_TRUE(Run(UrlOf(L"small.meta"), recorder.get()));
    EXPECT_EQ(S_OK, recorder->result());
    EXPECT_EQ(28u, recorder->size());
    EXPECT_TRUE(recorder->data() == content);
    EXPECT_EQ(1, recorder->completions());
    const auto log = server.Log();
    ASSERT_EQ(1u, log.size());
    EXPECT_FALSE(log[0].HasHeader("Range"));
    EXPECT_FALSE(log[0].HasHeader("If-Range"));
    EXPECT_TRUE(testutil::WaitForRefCount(recorder.get(), 1));
}

// The caller's bound is checked on the announced length, before a buffer is
// taken and before the body is read: the server below announces its length
// and then sends nothing for a while.
TEST_F(HttpToMemTaskTest, AResourceAnnouncedLargerThanTheBoundIsRefusedBeforeItsBody) {
    const std::string content = Publish(L"bounded.meta", 1000);
    struct Case {
        int64_t bound;
        long expected;
    } cases[] = {{1000, S_OK},
                 {999, downloader::kErrorResourceTooLarge},
                 {0, downloader::kErrorResourceTooLarge}};
    for (const Case& c : cases) {
        ASSERT_TRUE(server.Reset());
        if (c.expected != S_OK) {
            ASSERT_TRUE(server.AddRule("path=/bounded.meta&stall=20"));
        }
        Ref<MemRecorder> recorder(MakeRecorder<MemRecorder>());
        Ref<ITask> task(downloader::CreateHttpToMemTask(UrlOf(L"bounded.meta").c_str(),
                                                        recorder.get(), c.bound));
        ASSERT_TRUE(task);
        task->Start();
        ASSERT_TRUE(recorder->WaitDone()) << c.bound;
        EXPECT_EQ(c.expected, recorder->result()) << c.bound;
        if (c.expected == S_OK) {
            EXPECT_TRUE(recorder->data() == content);
        } else {
            EXPECT_EQ(0u, recorder->size()) << c.bound;
            // One request only: a refused resource is not asked for again.
            EXPECT_EQ(1u, server.Log().size()) << c.bound;
        }
    }
}

TEST_F(HttpToMemTaskTest, EmptyResource) {
    Publish(L"empty.meta", 0);
    Ref<MemRecorder> recorder(MakeRecorder<MemRecorder>());
    ASSERT_TRUE(Run(UrlOf(L"empty.meta"), recorder.get()));
    EXPECT_EQ(S_OK, recorder->result());
    EXPECT_EQ(0u, recorder->size());
}

TEST_F(HttpToMemTaskTest, EarlyEndContinuesFromWhereTheBufferEndsWithIfRange) {
    const std::string content = Publish(L"cut.bin", 1000);
    const std::string etag = server.ETagOf(L"cut.bin");
    ASSERT_TRUE(server.AddRule("path=/cut.bin&end=600"));
    Ref<MemRecorder> recorder(MakeRecorder<MemRecorder>());
    ASSERT_TRUE(Run(UrlOf(L"cut.bin"), recorder.get()));
    EXPECT_EQ(S_OK, recorder->result());
    EXPECT_TRUE(recorder->data() == content);

    const auto log = server.Log();
    ASSERT_EQ(2u, log.size());
    EXPECT_FALSE(log[0].HasHeader("Range"));
    EXPECT_EQ(600, log[0].sent);
    // The range asks for the whole size again from the end of the buffer;
    // the server clamps it to bytes 600-999.
    EXPECT_EQ("bytes=600-1599", log[1].Header("Range"));
    EXPECT_EQ(etag, log[1].Header("If-Range"));
    EXPECT_EQ(206, log[1].status);
}

TEST_F(HttpToMemTaskTest, ChangedResourceStartsOverFromItsNewFirstResponse) {
    const std::string content = Publish(L"changed.bin", 1000);
    // The first response names an ETag that no longer matches: the server
    // answers the continuation with the whole resource.
    ASSERT_TRUE(server.AddRule("path=/changed.bin&end=600&etag=%22old%22"));
    Ref<MemRecorder> recorder(MakeRecorder<MemRecorder>());
    ASSERT_TRUE(Run(UrlOf(L"changed.bin"), recorder.get()));
    EXPECT_EQ(S_OK, recorder->result());
    EXPECT_TRUE(recorder->data() == content);
    const auto log = server.Log();
    ASSERT_EQ(2u, log.size());
    EXPECT_EQ("\"old\"", log[1].Header("If-Range"));
    EXPECT_EQ(200, log[1].status);
}

TEST_F(HttpToMemTaskTest, ResponsesThatDoNotFitAreRefused) {
    struct Case {
        const char* rules[2];
        long result;
    };
    const Case cases[] = {
        // A resource the server does not have is told apart from the rest.
        {{"status=404", nullptr}, downloader::kErrorResourceNotFound},
        {{"status=410", nullptr}, downloader::kErrorResourceNotFound},
        {{"status=403", nullptr}, kIncorrectFormat},
        {{"status=500", nullptr}, kIncorrectFormat},
        {{"nolength=1", nullptr}, kIncorrectFormat},
        // The continuation's range starts elsewhere than the buffer ends.
        {{"end=600", "contentrange=bytes%20500-999/1000"}, kIncorrectFormat},
        // ... or names another total.
        {{"end=600", "contentrange=bytes%20600-999/2000"}, kIncorrectFormat},
        // ... or does not reach the end.
        {{"end=600", "contentrange=bytes%20600-899/1000"}, kIncorrectFormat},
        // More body than the range announces.
        {{"contentrange=bytes%200-499/500", nullptr}, kIncorrectFormat},
        // A 200 that says it starts in the middle.
        {{"contentrange=bytes%20500-999/1000", nullptr}, kIncorrectFormat},
        // Too large for memory.
        {{"length=2147483647", nullptr}, E_OUTOFMEMORY},
        {{"length=9223372036854775807", nullptr}, E_OUTOFMEMORY},
        // Lengths and ranges that do not fit 64 bits.
        {{"length=9223372036854775808", nullptr}, kIncorrectFormat},
        {{"length=18446744073709552616", nullptr}, kIncorrectFormat},
        {{"end=600", "contentrange=bytes%20600-999/18446744073709552616"}, kIncorrectFormat},
        {{"end=600", "contentrange=bytes%20600-18446744073709552615/1000"}, kIncorrectFormat},
    };
    const std::string content = Publish(L"refused.bin", 1000);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.rules[0]) +
                     (c.rules[1] ? std::string(" then ") + c.rules[1] : ""));
        ASSERT_TRUE(server.Reset());
        for (const char* rule : c.rules) {
            if (rule != nullptr) {
                ASSERT_TRUE(server.AddRule(std::string("path=/refused.bin&") + rule));
            }
        }
        Ref<MemRecorder> recorder(MakeRecorder<MemRecorder>());
        ASSERT_TRUE(Run(UrlOf(L"refused.bin"), recorder.get()));
        EXPECT_EQ(c.result, recorder->result());
        EXPECT_EQ(1, recorder->completions());
    }
}

// A server that keeps ending requests without a new byte: the task gives up
// after a bounded number of fruitless requests in a row.
TEST_F(HttpToMemTaskTest, RequestsWithoutProgressAreBounded) {
    const std::string content = Publish(L"stuck.bin", 1000);
    ASSERT_TRUE(server.AddRule("path=/stuck.bin&end=600"));
    ASSERT_TRUE(server.AddRule("path=/stuck.bin&end=0&times=0"));
    Ref<MemRecorder> recorder(MakeRecorder<MemRecorder>());
    ASSERT_TRUE(Run(UrlOf(L"stuck.bin"), recorder.get()));
    EXPECT_EQ(downloader::kErrorNoProgress, recorder->result());
    EXPECT_EQ(static_cast<size_t>(1 + downloader::kMaxRequestsWithoutProgress),
              server.Log().size());
    // What was received stays in the buffer.
    EXPECT_EQ(1000u, recorder->size());
    EXPECT_TRUE(recorder->data().substr(0, 600) == content.substr(0, 600));
}

TEST_F(HttpToMemTaskTest, ServerThatAlwaysStartsOverIsBounded) {
    Publish(L"restart.bin", 1000);
    ASSERT_TRUE(server.AddRule("path=/restart.bin&ignorerange=1&end=600&times=0"));
    Ref<MemRecorder> recorder(MakeRecorder<MemRecorder>());
    ASSERT_TRUE(Run(UrlOf(L"restart.bin"), recorder.get()));
    EXPECT_EQ(downloader::kErrorNoProgress, recorder->result());
    EXPECT_EQ(static_cast<size_t>(1 + downloader::kMaxRequestsWithoutProgress),
              server.Log().size());
}

// Every response names a new version of the resource and ends early, so
// every continuation is answered with the whole resource again: each one
// brings bytes of a new version, and only a bound on restarts ends it.
TEST_F(HttpToMemTaskTest, ServerWithANewETagOnEveryResponseIsBounded) {
    Publish(L"fickle.bin", 1000);
    ASSERT_TRUE(server.AddRule("path=/fickle.bin&uniqueetag=1&end=600&times=0"));
    Ref<MemRecorder> recorder(MakeRecorder<MemRecorder>());
    ASSERT_TRUE(Run(UrlOf(L"fickle.bin"), recorder.get()));
    EXPECT_EQ(downloader::kErrorNoProgress, recorder->result());
    const auto log = server.Log();
    // The first response, the restarts allowed, and the one refused.
    ASSERT_EQ(static_cast<size_t>(2 + downloader::kMaxRestarts), log.size());
    for (size_t i = 1; i < log.size(); ++i) {
        EXPECT_EQ(200, log[i].status) << i;
        EXPECT_FALSE(log[i].Header("If-Range").empty()) << i;
        EXPECT_NE(log[i - 1].Header("If-Range"), log[i].Header("If-Range")) << i;
    }
}

// A resource that changes a few times while it is fetched is still fetched.
TEST_F(HttpToMemTaskTest, AFewRestartsAreAllowed) {
    const std::string content = Publish(L"changing.bin", 1000);
    ASSERT_TRUE(server.AddRule("path=/changing.bin&uniqueetag=1&end=600&times=" +
                               std::to_string(downloader::kMaxRestarts)));
    Ref<MemRecorder> recorder(MakeRecorder<MemRecorder>());
    ASSERT_TRUE(Run(UrlOf(L"changing.bin"), recorder.get()));
    EXPECT_EQ(S_OK, recorder->result());
    EXPECT_TRUE(recorder->data() == content);
    EXPECT_EQ(static_cast<size_t>(1 + downloader::kMaxRestarts), server.Log().size());
}

TEST_F(HttpToMemTaskTest, ProgressResetsTheCountOfFruitlessRequests) {
    const std::string content = Publish(L"slow.bin", 1000);
    const char* rules[] = {"end=100", "end=0", "end=0", "end=100", "end=0", "end=0"};
    for (const char* rule : rules) {
        ASSERT_TRUE(server.AddRule(std::string("path=/slow.bin&") + rule));
    }
    Ref<MemRecorder> recorder(MakeRecorder<MemRecorder>());
    ASSERT_TRUE(Run(UrlOf(L"slow.bin"), recorder.get()));
    EXPECT_EQ(S_OK, recorder->result());
    EXPECT_TRUE(recorder->data() == content);
    EXPECT_EQ(7u, server.Log().size());
}

TEST_F(HttpToMemTaskTest, CancelWhileStalledKeepsWhatArrived) {
    const std::string content = Publish(L"stall.bin", 50000);
    ASSERT_TRUE(server.AddRule("path=/stall.bin&end=20000&stall=5"));
    Ref<MemRecorder> recorder(MakeRecorder<MemRecorder>());
    Ref<ITask> task(downloader::CreateHttpToMemTask(UrlOf(L"stall.bin").c_str(), recorder.get()));
    ASSERT_TRUE(task);
    task->Start();
    // Wait until the server has sent its part, then cancel.
    for (int i = 0; i < 200 && (server.Log().empty() || server.Log()[0].sent < 20000); ++i) {
        Sleep(10);
    }
    Sleep(1000); // for the task to take in what was sent
    task->Cancel();
    ASSERT_TRUE(recorder->WaitDone());
    EXPECT_EQ(kCancelled, recorder->result());
    EXPECT_EQ(50000u, recorder->size());
    EXPECT_TRUE(recorder->data().substr(0, 20000) == content.substr(0, 20000));
    EXPECT_EQ(1u, server.Log().size());
}

// Cancel races the task's own end from another thread: every run ends
// exactly once, either complete or cancelled.
TEST_F(HttpToMemTaskTest, CancelRacingCompletion) {
    const std::string content = Publish(L"race.bin", 3000);
    for (int round = 0; round < 40; ++round) {
        Ref<MemRecorder> recorder(MakeRecorder<MemRecorder>());
        Ref<ITask> task(
            downloader::CreateHttpToMemTask(UrlOf(L"race.bin").c_str(), recorder.get()));
        ASSERT_TRUE(task);
        task->Start();
        Sleep(round % 8);
        task->Cancel();
        ASSERT_TRUE(recorder->WaitDone());
        const long result = recorder->result();
        ASSERT_TRUE(result == S_OK || result == kCancelled) << std::hex << result;
        if (result == S_OK) {
            ASSERT_TRUE(recorder->data() == content);
        }
        ASSERT_TRUE(testutil::WaitForRefCount(recorder.get(), 1));
        ASSERT_EQ(1, recorder->completions());
    }
}

TEST_F(HttpToMemTaskTest, ReleasedRightAfterStartStillCompletes) {
    const std::string content = Publish(L"orphan.meta", 5000);
    ASSERT_TRUE(server.AddRule("path=/orphan.meta&end=3000"));
    Ref<MemRecorder> recorder(MakeRecorder<MemRecorder>());
    ITask* task = downloader::CreateHttpToMemTask(UrlOf(L"orphan.meta").c_str(), recorder.get());
    ASSERT_NE(nullptr, task);
    task->Start();
    task->Release();
    ASSERT_TRUE(recorder->WaitDone());
    EXPECT_EQ(S_OK, recorder->result());
    EXPECT_TRUE(recorder->data() == content);
    EXPECT_TRUE(testutil::WaitForRefCount(recorder.get(), 1));
}

TEST_F(HttpToMemTaskTest, InvalidSchemeEndsInsideStart) {
    Ref<MemRecorder> recorder(MakeRecorder<MemRecorder>());
    Ref<ITask> task(downloader::CreateHttpToMemTask(L"ftp://127.0.0.1/x.meta", recorder.get()));
    ASSERT_TRUE(task);
    task->Start();
    EXPECT_TRUE(recorder->IsDone());
    EXPECT_EQ(static_cast<long>(0x80072EE5), recorder->result());
    EXPECT_FALSE(recorder->hadBuffer());
}

} // namespace
