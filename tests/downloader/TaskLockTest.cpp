#include "downloader/Object.h"
#include "downloader/TaskLock.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using downloader::TaskLock;

// A task shell that exposes its lock and counts OnClosed.
class ProbeTask : public TaskLock<ProbeTask, long> {
public:
    using TaskLock::BeginStart;
    using TaskLock::Close;
    using TaskLock::IsClosed;
    using TaskLock::Leave;
    using TaskLock::StateWord;
    using TaskLock::TryEnter;

    long result() const { return result_; }
    int closedCalls() const { return closedCalls_.load(); }
    // Threads inside when OnClosed ran (must be none).
    int insideAtClose() const { return insideAtClose_.load(); }
    std::atomic<int> inside{0};

private:
    friend class TaskLock<ProbeTask, long>;
    void OnClosed() {
        insideAtClose_ += inside.load();
        ++closedCalls_;
    }

    long result_ = 0;
    std::atomic<int> closedCalls_{0};
    std::atomic<int> insideAtClose_{0};
};

TEST(TaskLock, NotStartedRefusesEntryAndIgnoresClose) {
    ProbeTask task;
    EXPECT_EQ(-1, task.StateWord());
    EXPECT_TRUE(task.IsClosed());
    EXPECT_FALSE(task.TryEnter());
    EXPECT_FALSE(task.Close(5)); // a cancel before start changes nothing
    EXPECT_EQ(0, task.closedCalls());

    ASSERT_TRUE(task.BeginStart());
    EXPECT_EQ(1, task.StateWord());
    EXPECT_FALSE(task.BeginStart()); // started once only
    task.Leave();
    EXPECT_EQ(0, task.StateWord());
    EXPECT_FALSE(task.IsClosed());
    EXPECT_TRUE(task.TryEnter());
    task.Leave();
    EXPECT_EQ(0, task.closedCalls());
}

TEST(TaskLock, CloseWithNobodyInsideRunsOnClosedAtOnce) {
    ProbeTask task;
    ASSERT_TRUE(task.BeginStart());
    task.Leave();
    EXPECT_TRUE(task.Close(7));
    EXPECT_EQ(1, task.closedCalls());
    EXPECT_EQ(7, task.result());
    EXPECT_TRUE(task.IsClosed());
    EXPECT_FALSE(task.TryEnter());
}

TEST(TaskLock, CloseWhileInsideWaitsForTheLastLeave) {
    ProbeTask task;
    ASSERT_TRUE(task.BeginStart()); // one inside: the starter
    ASSERT_TRUE(task.TryEnter());   // two inside
    EXPECT_TRUE(task.Close(9));
    EXPECT_EQ(0, task.closedCalls());
    EXPECT_FALSE(task.TryEnter());
    task.Leave();
    EXPECT_EQ(0, task.closedCalls());
    task.Leave();
    EXPECT_EQ(1, task.closedCalls());
    EXPECT_EQ(9, task.result());
}

TEST(TaskLock, FirstCloseWins) {
    ProbeTask task;
    ASSERT_TRUE(task.BeginStart());
    task.Leave();
    EXPECT_TRUE(task.Close(11));
    EXPECT_FALSE(task.Close(22));
    EXPECT_EQ(11, task.result());
    EXPECT_EQ(1, task.closedCalls());
}

// Threads keep entering and leaving while another thread closes. OnClosed
// must run exactly once, with nobody inside; nobody enters afterwards; and a
// thread that finds the task closed also finds its result.
TEST(TaskLock, EnteringThreadsRaceOneCloser) {
    constexpr int kRounds = 150;
    constexpr int kEnterers = 3;
    for (int round = 0; round < kRounds; ++round) {
        ProbeTask task;
        ASSERT_TRUE(task.BeginStart());
        task.Leave();
        std::atomic<bool> go{false};
        std::atomic<int> violations{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < kEnterers; ++i) {
            threads.emplace_back([&] {
                while (!go.load()) {
                }
                for (;;) {
                    if (!task.TryEnter()) {
                        if (task.result() != round + 1) {
                            ++violations;
                        }
                        return;
                    }
                    ++task.inside;
                    if (task.closedCalls() != 0) {
                        ++violations; // inside after OnClosed
                    }
                    --task.inside;
                    task.Leave();
                }
            });
        }
        threads.emplace_back([&] {
            while (!go.load()) {
            }
            task.Close(round + 1);
        });
        go = true;
        for (auto& thread : threads) {
            thread.join();
        }
        ASSERT_EQ(1, task.closedCalls()) << "round " << round;
        ASSERT_EQ(0, task.insideAtClose()) << "round " << round;
        ASSERT_EQ(0, violations.load()) << "round " << round;
        ASSERT_EQ(round + 1, task.result());
        ASSERT_EQ(static_cast<int32_t>(0x80000000u), task.StateWord());
    }
}

TEST(TaskLock, ManyClosersExactlyOneWins) {
    constexpr int kRounds = 150;
    constexpr int kClosers = 4;
    for (int round = 0; round < kRounds; ++round) {
        ProbeTask task;
        ASSERT_TRUE(task.BeginStart());
        task.Leave();
        std::atomic<bool> go{false};
        std::atomic<int> winners{0};
        std::atomic<long> winningValue{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < kClosers; ++i) {
            threads.emplace_back([&, i] {
                while (!go.load()) {
                }
                if (task.Close(100 + i)) {
                    ++winners;
                    winningValue = 100 + i;
                }
            });
        }
        go = true;
        for (auto& thread : threads) {
            thread.join();
        }
        ASSERT_EQ(1, winners.load());
        ASSERT_EQ(winningValue.load(), task.result());
        ASSERT_EQ(1, task.closedCalls());
    }
}

// A result whose store takes a while, so that a second Close is sure to
// arrive while the first one is between claiming the word and storing.
class SlowResult {
public:
    SlowResult() : storing_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~SlowResult() { CloseHandle(storing_); }
    SlowResult(const SlowResult&) = delete;

    SlowResult& operator=(long value) {
        SetEvent(storing_);
        Sleep(100);
        value_.store(value);
        return *this;
    }
    long value() const { return value_.load(); }
    bool WaitStoring() const { return WaitForSingleObject(storing_, 10000) == WAIT_OBJECT_0; }

private:
    HANDLE storing_;
    std::atomic<long> value_{0};
};

class SlowResultTask : public TaskLock<SlowResultTask, long> {
public:
    using TaskLock::BeginStart;
    using TaskLock::Close;
    using TaskLock::Leave;
    using TaskLock::TryEnter;

    const SlowResult& result() const { return result_; }

private:
    friend class TaskLock<SlowResultTask, long>;
    void OnClosed() {}

    SlowResult result_;
};

// A Close that loses (a cancel meeting a failing completion) is followed by
// a read of the result: it must see the winner's result, never the initial
// one, even while the winner is still storing it.
TEST(TaskLock, ALosingCloseReturnsOnlyOnceTheResultIsStored) {
    const struct {
        const char* what;
        bool loserInside; // the loser is a handler that entered before the close
    } cases[] = {{"loser outside", false}, {"loser inside", true}};
    for (const auto& c : cases) {
        SlowResultTask task;
        ASSERT_TRUE(task.BeginStart());
        task.Leave();
        if (c.loserInside) {
            ASSERT_TRUE(task.TryEnter());
        }
        std::thread winner([&] { task.Close(E_ABORT); });
        ASSERT_TRUE(task.result().WaitStoring()) << c.what;
        EXPECT_FALSE(task.Close(static_cast<long>(0x80072EFBUL))) << c.what;
        EXPECT_EQ(E_ABORT, task.result().value()) << c.what;
        if (c.loserInside) {
            task.Leave();
        }
        winner.join();
    }
}

// The last two releases of an object come from two threads: it is destroyed
// exactly once.
class Counted {
public:
    explicit Counted(std::atomic<int>* destroyed) : destroyed_(destroyed) {}
    virtual long AddRef() = 0;
    virtual long Release() = 0;

protected:
    ~Counted() { ++*destroyed_; }

private:
    std::atomic<int>* destroyed_;
};

TEST(Object, AddRefAndReleaseReportTheCounts) {
    std::atomic<int> destroyed{0};
    auto* object = downloader::details::Object<Counted>::Create(&destroyed);
    ASSERT_NE(nullptr, object);
    EXPECT_EQ(1, object->AddRef()); // the count before
    EXPECT_EQ(2, object->AddRef());
    EXPECT_EQ(2, object->Release()); // the count after
    EXPECT_EQ(1, object->Release());
    EXPECT_EQ(0, destroyed.load());
    EXPECT_EQ(0, object->Release());
    EXPECT_EQ(1, destroyed.load());
}

TEST(Object, ReleasedToZeroFromTwoThreadsIsDestroyedOnce) {
    constexpr int kRounds = 800;
    std::atomic<int> destroyed{0};
    std::atomic<int> zeros{0};
    for (int round = 0; round < kRounds; ++round) {
        auto* object = downloader::details::Object<Counted>::Create(&destroyed);
        ASSERT_NE(nullptr, object);
        object->AddRef();
        std::atomic<bool> go{false};
        auto release = [&] {
            while (!go.load()) {
            }
            if (object->Release() == 0) {
                ++zeros;
            }
        };
        std::thread first(release);
        std::thread second(release);
        go = true;
        first.join();
        second.join();
    }
    EXPECT_EQ(kRounds, destroyed.load());
    EXPECT_EQ(kRounds, zeros.load());
}

} // namespace
