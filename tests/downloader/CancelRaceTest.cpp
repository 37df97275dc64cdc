// Cancel meeting a failing completion, many times over, for every task kind:
// the run reports either the failure or the cancel result, never S_OK.

#include "downloader/DownloadSimpleTask.h"
#include "downloader/HttpTask.h"
#include "downloader/HttpToFileTask.h"
#include "downloader/HttpToMemTask.h"

#include "tests/downloader/DownloadRecorders.h"
#include "tests/downloader/ServerFixture.h"

#include <atomic>
#include <functional>
#include <thread>

namespace {

using downloader::ITask;
using testutil::MakeRecorder;
using testutil::RecorderBase;
using testutil::Ref;

constexpr long kCancelled = static_cast<long>(0x80072EF1);
constexpr long kInvalidUrl = static_cast<long>(0x80072EE5);
constexpr long kIncorrectFormat = static_cast<long>(0x80072EFB);

// One task with the recorder it reports to; both references are owned here.
struct Run {
    ITask* task = nullptr;
    downloader::IObject* callback = nullptr;
    RecorderBase* recorder = nullptr;
};

template <class Recorder, class Factory>
Run MakeRun(Factory factory) {
    Run run;
    Recorder* recorder = MakeRecorder<Recorder>();
    run.callback = recorder;
    run.recorder = recorder;
    run.task = factory(recorder);
    return run;
}

struct Kind {
    const char* name;
    std::function<Run(const std::wstring& url)> make;
    long cancelResult;
};

std::vector<Kind> Kinds() {
    return {
        {"HttpTask",
         [](const std::wstring& url) {
             return MakeRun<testutil::HttpRecorder>([&](testutil::HttpRecorder* recorder) {
                 return downloader::CreateHttpTask(url.c_str(), {}, recorder);
             });
         },
         kCancelled},
        {"HttpToMemTask",
         [](const std::wstring& url) {
             return MakeRun<testutil::MemRecorder>([&](testutil::MemRecorder* recorder) {
                 return downloader::CreateHttpToMemTask(url.c_str(), recorder);
             });
         },
         kCancelled},
        {"HttpToFileTask",
         [](const std::wstring& url) {
             // The request fails before any byte could be written.
             return MakeRun<testutil::FileRecorder>([&](testutil::FileRecorder* recorder) {
                 return downloader::CreateHttpToFileTask(url.c_str(), INVALID_HANDLE_VALUE, 0, 10,
                                                         recorder);
             });
         },
         kCancelled},
        {"DownloadSimpleTask",
         [](const std::wstring& url) {
             // The companion fails, so the target file is never opened.
             return MakeRun<testutil::DownloadRecorder>([&](testutil::DownloadRecorder* recorder) {
                 return downloader::CreateDownloadSimpleTask(
                     url.c_str(), L"Z:\\nonexistent\\never.bin", recorder);
             });
         },
         E_ABORT},
    };
}

// A thread that cancels whatever task it is given, over and over, from a
// chosen moment until it is told to stop.
class Canceller {
public:
    Canceller() : thread_([this] { Loop(); }) {}
    ~Canceller() {
        quit_ = true;
        thread_.join();
    }

    // Cancels `task` repeatedly, starting `delaySpins` spins after Go().
    void Arm(ITask* task, int delaySpins) {
        delaySpins_ = delaySpins;
        task_.store(task);
        while (!armed_.load()) {
            std::this_thread::yield();
        }
    }
    void Go() { go_ = true; }
    // Stops cancelling; the task is not touched after this returns.
    void Disarm() {
        task_.store(nullptr);
        while (armed_.load()) {
            std::this_thread::yield();
        }
        go_ = false;
    }
    int cancels() const { return cancels_.load(); }

private:
    void Loop() {
        while (!quit_.load()) {
            ITask* task = task_.load();
            if (task == nullptr) {
                std::this_thread::yield();
                continue;
            }
            armed_ = true;
            while (!go_.load() && task_.load() != nullptr) {
            }
            for (volatile int spin = 0; spin < delaySpins_; ++spin) {
            }
            while (task_.load() != nullptr) {
                task->Cancel();
                ++cancels_;
            }
            armed_ = false;
        }
    }

    std::atomic<ITask*> task_{nullptr};
    std::atomic<bool> armed_{false};
    std::atomic<bool> go_{false};
    std::atomic<bool> quit_{false};
    std::atomic<int> cancels_{0};
    int delaySpins_ = 0;
    std::thread thread_;
};

// Runs `rounds` tasks of `kind` against `url`, each raced by the canceller;
// every result must be `failure` or the kind's cancel result.
void Race(const Kind& kind, const std::wstring& url, long failure, int rounds, int maxDelaySpins) {
    SCOPED_TRACE(kind.name);
    Canceller canceller;
    int failed = 0;
    int cancelled = 0;
    for (int round = 0; round < rounds; ++round) {
        Run run = kind.make(url);
        ASSERT_NE(nullptr, run.task);
        canceller.Arm(run.task, maxDelaySpins > 0 ? (round * 7919) % maxDelaySpins : 0);
        canceller.Go();
        run.task->Start();
        const bool done = run.recorder->WaitDone();
        canceller.Disarm();
        const long result = run.recorder->result();
        const int completions = run.recorder->completions();
        run.task->Release();
        run.callback->Release();
        ASSERT_TRUE(done) << "round " << round;
        ASSERT_EQ(1, completions) << "round " << round;
        ASSERT_TRUE(result == failure || result == kind.cancelResult)
            << "round " << round << ": result 0x" << std::hex << result;
        (result == failure ? failed : cancelled)++;
    }
    std::printf("[ info ] %s: %d failed, %d cancelled, %d cancels issued\n", kind.name, failed,
                cancelled, canceller.cancels());
}

// The request fails inside Start (a scheme WinINet does not do over HTTP),
// on the same thread that the canceller races.
TEST(CancelRace, CancelMeetingAFailureInsideStartNeverReportsSuccess) {
    for (const Kind& kind : Kinds()) {
        Race(kind, L"ftp://127.0.0.1:1/package.bin", kInvalidUrl, 250, 20000);
    }
}

class CancelRaceServerTest : public testutil::ServerTest {};

// The request fails on a WinINet thread (the server refuses it) while the
// canceller keeps cancelling from the test's side.
TEST_F(CancelRaceServerTest, CancelMeetingARefusedResponseNeverReportsSuccess) {
    Publish(L"refused.bin", 1000);
    Publish(L"refused.bin.meta", 28);
    ASSERT_TRUE(server.AddRule("path=*&status=500&times=0"));
    const auto kinds = Kinds();
    for (const Kind& kind : kinds) {
        if (std::string(kind.name) == "HttpTask") {
            continue; // it does not judge status codes
        }
        Race(kind, UrlOf(L"refused.bin"), kIncorrectFormat, 40, 2000000);
    }
}

} // namespace
