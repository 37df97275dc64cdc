#include "downloader/DownloadSimpleTask.h"

#include "tests/downloader/CryptoFault.h"
#include "tests/downloader/DownloadRecorders.h"
#include "tests/downloader/ServerFixture.h"

#include <algorithm>

namespace {

using downloader::ITask;
using testutil::DownloadRecorder;
using testutil::MakeRecorder;
using testutil::PkgRequest;
using testutil::Ref;

constexpr int64_t kMiB = 1048576;
constexpr long kIncorrectFormat = static_cast<long>(0x80072EFB);
constexpr long kDiskFull = static_cast<long>(0x80070070);

using Progress = std::vector<std::pair<int64_t, int64_t>>;

class DownloadSimpleTaskTest : public testutil::ServerTest {
protected:
    void TearDown() override {
        if (!smallDiskFile_.empty()) {
            DeleteFileW(smallDiskFile_.c_str());
        }
    }

    // Publishes a package of `size` pattern bytes with its companion, as the
    // release tool writes it; returns the package's bytes.
    std::string PublishPackage(const std::wstring& name, size_t size, unsigned seed = 1) {
        std::string bytes = Publish(name, size, seed);
        EXPECT_TRUE(server.Control("meta?path=/" + Narrow(name)));
        return bytes;
    }

    static std::string Narrow(const std::wstring& text) {
        return std::string(text.begin(), text.end());
    }

    // Creates the task for `url` into `path`, starts it and waits for its end.
    ITask* Start(const std::wstring& url, const std::wstring& path, DownloadRecorder* recorder) {
        ITask* task = downloader::CreateDownloadSimpleTask(url.c_str(), path.c_str(), recorder);
        if (task != nullptr) {
            task->Start();
        }
        return task;
    }
    long Run(const std::wstring& url, const std::wstring& path, DownloadRecorder* recorder) {
        return testutil::RunDownload(url, path, recorder);
    }

    // Requests for the package itself (not its companion), in order.
    std::vector<PkgRequest> PackageRequests() const {
        std::vector<PkgRequest> found;
        for (const PkgRequest& request : server.Log()) {
            const std::string& target = request.target;
            if (target.size() < 5 || target.compare(target.size() - 5, 5, ".meta") != 0) {
                found.push_back(request);
            }
        }
        return found;
    }
    size_t CompanionRequests() const { return server.Log().size() - PackageRequests().size(); }

    static std::string Contents(const std::wstring& path) { return testutil::ReadFileBytes(path); }

    // Progress reports of a verification of every block from the first.
    static Progress BlockProgress(int64_t size) {
        Progress expected;
        for (int64_t block = 1; (block - 1) * kMiB < size; ++block) {
            expected.emplace_back(std::min(block * kMiB, size), size);
        }
        return expected;
    }

    testutil::ScratchFolder scratch;
    std::wstring smallDiskFile_;
};

TEST_F(DownloadSimpleTaskTest, FreshDownloadBringsTheWholePackage) {
    const int64_t size = 7 * kMiB / 2;
    const std::string content = PublishPackage(L"pkg.bin", size);
    const std::wstring target = scratch / L"pkg.bin";
    Ref<DownloadRecorder> recorder(MakeRecorder<DownloadRecorder>());
    EXPECT_EQ(S_OK, Run(UrlOf(L"pkg.bin"), target, recorder.get()));
    EXPECT_TRUE(Contents(target) == content);

    const auto log = server.Log();
    ASSERT_EQ(2u, log.size());
    EXPECT_EQ("/pkg.bin.meta", log[0].target);
    EXPECT_FALSE(log[0].HasHeader("Range"));
    EXPECT_EQ("/pkg.bin", log[1].target);
    EXPECT_EQ("bytes=0-3670015", log[1].Header("Range"));

    // Companion, first block differs (the new file holds zeros), the pass
    // from 0 and its writes up to the end, and nothing after them: every
    // block was verified as it arrived, so no pass reads the file back
    // (that one would report the size again for each block).
    const Progress progress = recorder->progress();
    ASSERT_GT(progress.size(), 2u);
    EXPECT_EQ(std::make_pair(int64_t{0}, size), progress[0]);
    EXPECT_EQ(std::make_pair(int64_t{0}, size), progress[1]);
    int64_t last = 0;
    for (size_t i = 2; i < progress.size(); ++i) {
        EXPECT_GT(progress[i].first, last) << "writes move forward";
        last = progress[i].first;
        EXPECT_EQ(size, progress[i].second);
    }
    EXPECT_EQ(size, last);
}

// The companion every block was verified against goes to the callback just
// before a successful end, for a later check of the file; after a failure
// there is none.
TEST_F(DownloadSimpleTaskTest, TheVerifiedCompanionIsHandedOverBeforeASuccessfulEndOnly) {
    const int64_t size = 5 * kMiB / 2;
    PublishPackage(L"pkg.bin", size);
    const std::string companion = Contents(server.FilePath(L"pkg.bin.meta"));
    downloader::DownloadMeta published;
    ASSERT_EQ(S_OK, downloader::ParseDownloadMeta(companion.data(), companion.size(), published));
    ASSERT_EQ(3u, published.blockDigests.size());

    Ref<DownloadRecorder> recorder(MakeRecorder<DownloadRecorder>());
    EXPECT_EQ(S_OK, Run(UrlOf(L"pkg.bin"), scratch / L"pkg.bin", recorder.get()));
    const auto companions = recorder->companions();
    ASSERT_EQ(1u, companions.size());
    EXPECT_EQ(size, companions[0].fileSize);
    EXPECT_TRUE(published.blockDigests == companions[0].blockDigests);
    EXPECT_EQ(std::vector<int>{0}, recorder->completionsBeforeCompanion());

    ASSERT_TRUE(server.AddRule("path=/pkg.bin&status=503"));
    Ref<DownloadRecorder> failed(MakeRecorder<DownloadRecorder>());
    EXPECT_EQ(kIncorrectFormat, Run(UrlOf(L"pkg.bin"), scratch / L"other.bin", failed.get()));
    EXPECT_TRUE(failed->companions().empty());
}

// A second name of another file planted as the target beforehand (a hard
// link; links to folders and files are refused by the same open, see
// base's PlainFile tests): refused before anything is read or written, with
// its own result, and the package is not requested.
TEST_F(DownloadSimpleTaskTest, AHardLinkPlantedAsTheTargetIsRefused) {
    PublishPackage(L"pkg.bin", 2 * kMiB);
    ASSERT_TRUE(testutil::WriteFileBytes(scratch / L"victim.bin", "keep me"));
    const std::wstring target = scratch / L"pkg.bin";
    ASSERT_TRUE(CreateHardLinkW(target.c_str(), (scratch / L"victim.bin").c_str(), nullptr));
    Ref<DownloadRecorder> recorder(MakeRecorder<DownloadRecorder>());
    EXPECT_EQ(downloader::kErrorNotPlainFile, Run(UrlOf(L"pkg.bin"), target, recorder.get()));
    EXPECT_EQ("keep me", Contents(scratch / L"victim.bin"));
    EXPECT_TRUE(PackageRequests().empty());
    EXPECT_TRUE(recorder->companions().empty());
}

TEST_F(DownloadSimpleTaskTest, EmptyPackageNeedsNoPackageRequest) {
    PublishPackage(L"empty.bin", 0);
    const struct {
        const char* what;
        bool exists;
    } cases[] = {{"no file", false}, {"a file with old content", true}};
    for (const auto& c : cases) {
        ASSERT_TRUE(server.Reset());
        const std::wstring target = scratch / L"empty.bin";
        DeleteFileW(target.c_str());
        if (c.exists) {
            ASSERT_TRUE(testutil::WriteFileBytes(target, std::string(5000, 'x')));
        }
        Ref<DownloadRecorder> recorder(MakeRecorder<DownloadRecorder>());
        EXPECT_EQ(S_OK, Run(UrlOf(L"empty.bin"), target, recorder.get())) << c.what;
        EXPECT_TRUE(testutil::FileExists(target)) << c.what;
        EXPECT_EQ(0u, Contents(target).size()) << c.what;
        EXPECT_EQ(Progress({{0, 0}}), recorder->progress()) << c.what;
        EXPECT_EQ(1u, server.Log().size()) << c.what << ": only the companion";
        EXPECT_TRUE(PackageRequests().empty()) << c.what;
    }
}

TEST_F(DownloadSimpleTaskTest, CompleteFileIsVerifiedWithoutAPackageRequest) {
    const int64_t size = 7 * kMiB / 2;
    const std::string content = PublishPackage(L"pkg.bin", size);
    const std::wstring target = scratch / L"pkg.bin";
    ASSERT_TRUE(testutil::WriteFileBytes(target, content));
    Ref<DownloadRecorder> recorder(MakeRecorder<DownloadRecorder>());
    EXPECT_EQ(S_OK, Run(UrlOf(L"pkg.bin"), target, recorder.get()));

    Progress expected = {{0, size}};
    const Progress blocks = BlockProgress(size);
    expected.insert(expected.end(), blocks.begin(), blocks.end());
    EXPECT_EQ(expected, recorder->progress());
    EXPECT_EQ(1u, server.Log().size());
    EXPECT_TRUE(PackageRequests().empty());
    EXPECT_TRUE(Contents(target) == content);
}

TEST_F(DownloadSimpleTaskTest, PartialFileResumesFromTheFirstBadBlock) {
    // 5 MiB package; on disk 2.5 MiB, of which the first 2 MiB are right.
    const int64_t size = 5 * kMiB;
    const std::string content = PublishPackage(L"pkg.bin", size);
    const std::wstring target = scratch / L"pkg.bin";
    std::string partial = content.substr(0, 2 * kMiB) + std::string(kMiB / 2, '\x5A');
    ASSERT_TRUE(testutil::WriteFileBytes(target, partial));
    Ref<DownloadRecorder> recorder(MakeRecorder<DownloadRecorder>());
    EXPECT_EQ(S_OK, Run(UrlOf(L"pkg.bin"), target, recorder.get()));
    EXPECT_TRUE(Contents(target) == content);

    const auto requests = PackageRequests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("bytes=2097152-5242879", requests[0].Header("Range"));
    EXPECT_EQ(206, requests[0].status);
    EXPECT_EQ(3 * kMiB, requests[0].sent);

    // 0, 1 MiB, 2 MiB (blocks 0 and 1), 2 MiB (pass start), the writes up to
    // 5 MiB, and nothing after them: blocks 2 to 4 were verified as they
    // arrived and are not read back.
    const Progress progress = recorder->progress();
    ASSERT_GE(progress.size(), 5u);
    const Progress head = {{0, size}, {kMiB, size}, {2 * kMiB, size}, {2 * kMiB, size}};
    EXPECT_EQ(head, Progress(progress.begin(), progress.begin() + 4));
    int64_t last = 2 * kMiB;
    for (size_t i = 4; i < progress.size(); ++i) {
        EXPECT_GT(progress[i].first, last);
        last = progress[i].first;
    }
    EXPECT_EQ(size, last);
}

TEST_F(DownloadSimpleTaskTest, ARangeAnsweredWithTheWholePackageStartsOverFromByteZero) {
    // A proxy that ignores ranges: the resume from block 2 is answered with
    // the whole package. The file is written again from its first byte, and
    // a later start finds it complete.
    const int64_t size = 5 * kMiB;
    const std::string content = PublishPackage(L"pkg.bin", size);
    ASSERT_TRUE(server.AddRule("path=/pkg.bin&times=0&ignorerange=1"));
    const std::wstring target = scratch / L"pkg.bin";
    const std::string partial = content.substr(0, 2 * kMiB) + std::string(kMiB / 2, '\x5A');
    ASSERT_TRUE(testutil::WriteFileBytes(target, partial));
    Ref<DownloadRecorder> recorder(MakeRecorder<DownloadRecorder>());
    EXPECT_EQ(S_OK, Run(UrlOf(L"pkg.bin"), target, recorder.get()));
    EXPECT_TRUE(Contents(target) == content);
    const auto requests = PackageRequests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ("bytes=2097152-5242879", requests[0].Header("Range"));
    EXPECT_EQ(200, requests[0].status);
    EXPECT_EQ("bytes=0-5242879", requests[1].Header("Range"));
    EXPECT_EQ(200, requests[1].status);
    // The progress goes back to 0 with the restart and ends at the size.
    const Progress progress = recorder->progress();
    ASSERT_FALSE(progress.empty());
    EXPECT_NE(progress.end(), std::find(progress.begin(), progress.end(),
                                        std::make_pair<int64_t, int64_t>(0, int64_t{size})));
    EXPECT_EQ(size, progress.back().first);

    ASSERT_TRUE(server.Reset()); // rules and log; the package stays
    Ref<DownloadRecorder> again(MakeRecorder<DownloadRecorder>());
    EXPECT_EQ(S_OK, Run(UrlOf(L"pkg.bin"), target, again.get()));
    EXPECT_TRUE(PackageRequests().empty());
}

TEST_F(DownloadSimpleTaskTest, StartingOverIsBounded) {
    // Every request ends after 1.5 MB and every continuation is answered with
    // the whole package: each restart gets no further than the last.
    const int64_t size = 5 * kMiB;
    PublishPackage(L"pkg.bin", size);
    ASSERT_TRUE(server.AddRule("path=/pkg.bin&times=0&ignorerange=1&end=1500000"));
    Ref<DownloadRecorder> recorder(MakeRecorder<DownloadRecorder>());
    EXPECT_EQ(downloader::kErrorNoProgress,
              Run(UrlOf(L"pkg.bin"), scratch / L"pkg.bin", recorder.get()));
    size_t fromTheStart = 0;
    for (const PkgRequest& request : PackageRequests()) {
        EXPECT_EQ(200, request.status);
        fromTheStart += request.Header("Range") == "bytes=0-5242879" ? 1 : 0;
    }
    EXPECT_EQ(static_cast<size_t>(1 + downloader::kMaxRestarts), fromTheStart);
    EXPECT_EQ(2 * fromTheStart, PackageRequests().size());
}

TEST_F(DownloadSimpleTaskTest, LongerFileIsCutToThePackageSize) {
    const int64_t size = 2 * kMiB + 1000;
    const std::string content = PublishPackage(L"pkg.bin", size);
    const std::wstring target = scratch / L"pkg.bin";
    ASSERT_TRUE(testutil::WriteFileBytes(target, content + std::string(3 * kMiB, 'z')));
    Ref<DownloadRecorder> recorder(MakeRecorder<DownloadRecorder>());
    EXPECT_EQ(S_OK, Run(UrlOf(L"pkg.bin"), target, recorder.get()));
    EXPECT_TRUE(Contents(target) == content);
    EXPECT_TRUE(PackageRequests().empty());
}

TEST_F(DownloadSimpleTaskTest, CompanionOfAUrlWithAQueryComesAfterTheQuery) {
    const std::string content = PublishPackage(L"pkg.bin", 3 * kMiB / 2);
    const std::wstring target = scratch / L"pkg.bin";
    Ref<DownloadRecorder> recorder(MakeRecorder<DownloadRecorder>());
    EXPECT_EQ(S_OK, Run(server.Url(L"/pkg.bin?os=64&ch=beta"), target, recorder.get()));
    EXPECT_TRUE(Contents(target) == content);
    const auto log = server.Log();
    ASSERT_EQ(2u, log.size());
    EXPECT_EQ("/pkg.bin?os=64&ch=beta.meta", log[0].target);
    EXPECT_EQ("/pkg.bin?os=64&ch=beta", log[1].target);
}

TEST_F(DownloadSimpleTaskTest, CompanionFailuresEndTheTaskBeforeTheFileIsTouched) {
    PublishPackage(L"pkg.bin", 2 * kMiB);
    const std::string companion = Contents(server.FilePath(L"pkg.bin.meta"));
    const struct {
        const char* what;
        std::string rule;  // for the companion request
        std::string bytes; // replaces the companion when not empty
        bool removeCompanion;
        long expected;
    } cases[] = {
        {"no companion", "", "", true, downloader::kErrorResourceNotFound},
        {"server error", "status=500", "", false, kIncorrectFormat},
        {"one byte more", "", companion + "x", false, E_FAIL},
        {"one byte less", "", companion.substr(0, companion.size() - 1), false, E_FAIL},
        {"negative size", "", std::string("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 8), false, E_FAIL},
        {"too short for a size", "", std::string("\x01\x02\x03", 3), false, E_FAIL},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(server.Reset());
        const std::wstring meta = server.FilePath(L"pkg.bin.meta");
        if (c.removeCompanion) {
            DeleteFileW(meta.c_str());
        } else {
            ASSERT_TRUE(testutil::WriteFileBytes(meta, c.bytes.empty() ? companion : c.bytes));
        }
        if (!c.rule.empty()) {
            ASSERT_TRUE(server.AddRule("path=/pkg.bin.meta&" + c.rule));
        }
        const std::wstring target = scratch / L"never.bin";
        Ref<DownloadRecorder> recorder(MakeRecorder<DownloadRecorder>());
        EXPECT_EQ(c.expected, Run(UrlOf(L"pkg.bin"), target, recorder.get())) << c.what;
        EXPECT_TRUE(recorder->progress().empty()) << c.what;
        EXPECT_FALSE(testutil::FileExists(target)) << c.what;
        EXPECT_TRUE(PackageRequests().empty()) << c.what;
    }
}

TEST_F(DownloadSimpleTaskTest, UnreachableServerGivesTheConnectionError) {
    // Nothing listens on port 1 of the loopback address.
    Ref<DownloadRecorder> recorder(MakeRecorder<DownloadRecorder>());
    const long result =
        Run(L"http://127.0.0.1:1/pkg.bin", scratch / L"unreachable.bin", recorder.get());
    EXPECT_EQ(HRESULT_FROM_WIN32(12029), result); // ERROR_INTERNET_CANNOT_CONNECT
    EXPECT_FALSE(testutil::FileExists(scratch / L"unreachable.bin"));
}

TEST_F(DownloadSimpleTaskTest, AFailedDownloadPassKeepsTheFileAtItsSize) {
    const int64_t size = 3 * kMiB;
    const std::string content = PublishPackage(L"pkg.bin", size);
    ASSERT_TRUE(server.AddRule("path=/pkg.bin&status=503"));
    const std::wstring target = scratch / L"pkg.bin";
    ASSERT_TRUE(testutil::WriteFileBytes(target, content.substr(0, kMiB)));
    Ref<DownloadRecorder> recorder(MakeRecorder<DownloadRecorder>());
    EXPECT_EQ(kIncorrectFormat, Run(UrlOf(L"pkg.bin"), target, recorder.get()));
    const std::string kept = Contents(target);
    ASSERT_EQ(static_cast<size_t>(size), kept.size());
    EXPECT_TRUE(kept.substr(0, kMiB) == content.substr(0, kMiB));
    // A later run continues from the first bad block.
    ASSERT_TRUE(server.Reset());
    Ref<DownloadRecorder> again(MakeRecorder<DownloadRecorder>());
    EXPECT_EQ(S_OK, Run(UrlOf(L"pkg.bin"), target, again.get()));
    EXPECT_TRUE(Contents(target) == content);
    const auto requests = PackageRequests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("bytes=1048576-3145727", requests[0].Header("Range"));
}

TEST_F(DownloadSimpleTaskTest, AFileHeldElsewhereGivesASharingViolation) {
    PublishPackage(L"pkg.bin", kMiB);
    const std::wstring target = scratch / L"held.bin";
    HANDLE held = CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    Ref<DownloadRecorder> recorder(MakeRecorder<DownloadRecorder>());
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION),
              Run(UrlOf(L"pkg.bin"), target, recorder.get()));
    CloseHandle(held);
    EXPECT_EQ(Progress({{0, kMiB}}), recorder->progress());
    EXPECT_TRUE(PackageRequests().empty());
}

TEST_F(DownloadSimpleTaskTest, AVerificationFailureGivesOne) {
    const int64_t size = 2 * kMiB;
    PublishPackage(L"pkg.bin", size);
    const std::wstring target = scratch / L"pkg.bin";
    Ref<DownloadRecorder> recorder(MakeRecorder<DownloadRecorder>());
    long result = S_FALSE;
    {
        testutil::BrokenDefaultHashProvider broken;
        ASSERT_TRUE(broken.active());
        result = Run(UrlOf(L"pkg.bin"), target, recorder.get());
    }
    EXPECT_EQ(1, result);
    EXPECT_EQ(Progress({{0, size}}), recorder->progress());
    EXPECT_TRUE(PackageRequests().empty());
    EXPECT_EQ(static_cast<size_t>(size), Contents(target).size()) << "sized, then left";
}

TEST_F(DownloadSimpleTaskTest, CancelDuringAVerificationPass) {
    const int64_t size = 8 * kMiB;
    const std::string content = PublishPackage(L"pkg.bin", size);
    const std::wstring target = scratch / L"pkg.bin";
    ASSERT_TRUE(testutil::WriteFileBytes(target, content));
    Ref<DownloadRecorder> recorder(MakeRecorder<DownloadRecorder>());
    recorder->HoldAtProgress(2); // the first verified block, on the hashing thread
    Ref<ITask> task(Start(UrlOf(L"pkg.bin"), target, recorder.get()));
    ASSERT_TRUE(task);
    ASSERT_TRUE(recorder->WaitHeld());
    task->Cancel();
    recorder->Resume();
    ASSERT_TRUE(recorder->WaitDone());
    EXPECT_EQ(E_ABORT, recorder->result());
    // The pass stopped after the block it was in.
    EXPECT_EQ(Progress({{0, size}, {kMiB, size}}), recorder->progress());
    EXPECT_TRUE(PackageRequests().empty());
    EXPECT_TRUE(Contents(target) == content) << "the file is kept";
    task->Cancel(); // after the end: nothing
    EXPECT_EQ(1, recorder->completions());
}

TEST_F(DownloadSimpleTaskTest, CancelFromItsOwnProgressReport) {
    const int64_t size = 6 * kMiB;
    const std::string content = PublishPackage(L"pkg.bin", size);
    const std::wstring target = scratch / L"pkg.bin";
    ASSERT_TRUE(testutil::WriteFileBytes(target, content));
    Ref<DownloadRecorder> recorder(MakeRecorder<DownloadRecorder>());
    Ref<ITask> task(downloader::CreateDownloadSimpleTask(UrlOf(L"pkg.bin").c_str(), target.c_str(),
                                                         recorder.get()));
    ASSERT_TRUE(task);
    recorder->CancelAtProgress(task.get(), 3); // inside the second block's report
    task->Start();
    ASSERT_TRUE(recorder->WaitDone());
    EXPECT_EQ(E_ABORT, recorder->result());
    EXPECT_EQ(Progress({{0, size}, {kMiB, size}, {2 * kMiB, size}}), recorder->progress());
}

TEST_F(DownloadSimpleTaskTest, CancelDuringADownloadPass) {
    const int64_t size = 4 * kMiB;
    PublishPackage(L"pkg.bin", size);
    // The package request sends 1 MiB, then nothing for a while, then ends.
    ASSERT_TRUE(server.AddRule("path=/pkg.bin&end=1048576&stall=5"));
    const std::wstring target = scratch / L"pkg.bin";
    Ref<DownloadRecorder> recorder(MakeRecorder<DownloadRecorder>());
    Ref<ITask> task(Start(UrlOf(L"pkg.bin"), target, recorder.get()));
    ASSERT_TRUE(task);
    ASSERT_TRUE(recorder->WaitForProgress(kMiB));
    task->Cancel();
    // Wine's WinINet ends a receive that is under way only when it returns
    // (here when the stall ends); on Windows closing the request ends it at once.
    ASSERT_TRUE(recorder->WaitDone());
    EXPECT_EQ(E_ABORT, recorder->result());
    // No request for the rest followed the early end.
    Sleep(200);
    EXPECT_EQ(1u, PackageRequests().size());
    EXPECT_TRUE(testutil::WaitForRefCount(recorder.get(), 1));
    EXPECT_EQ(static_cast<size_t>(size), Contents(target).size());
}

// The server sends the first MiB, then falls silent for longer than the
// receive time-out: the download ends with the time-out (the caller retries),
// instead of waiting for the server and resuming.
TEST_F(DownloadSimpleTaskTest, SilentServerEndsTheDownloadAtTheReceiveTimeout) {
    const int64_t size = 4 * kMiB;
    const std::string content = PublishPackage(L"pkg.bin", size);
    ASSERT_TRUE(server.AddRule("path=/pkg.bin&end=1048576&stall=15"));
    testutil::ShortReceiveTimeout limit(2000);
    const std::wstring target = scratch / L"pkg.bin";
    Ref<DownloadRecorder> recorder(MakeRecorder<DownloadRecorder>());
    const DWORD start = GetTickCount();
    EXPECT_EQ(testutil::kReceiveTimedOut, Run(UrlOf(L"pkg.bin"), target, recorder.get()));
    const DWORD elapsed = GetTickCount() - start;
    std::printf("[ info ] ended after %lu ms\n", elapsed);
    EXPECT_LT(elapsed, 10000u) << "the download waited for the server";
    EXPECT_EQ(1u, PackageRequests().size());
    const std::string kept = Contents(target);
    ASSERT_EQ(static_cast<size_t>(size), kept.size());
    EXPECT_TRUE(kept.substr(0, kMiB) == content.substr(0, kMiB));
}

// On a slow link the progress keeps moving: reads pass on what has arrived
// instead of waiting for a large chunk to fill.
TEST_F(DownloadSimpleTaskTest, ProgressKeepsComingOnASlowLink) {
    const int64_t size = 3 * kMiB / 4;
    const std::string content = PublishPackage(L"slow.bin", size);
    ASSERT_TRUE(server.AddRule("path=/slow.bin&rate=262144")); // 256 KiB/s, about 3 s
    const std::wstring target = scratch / L"slow.bin";
    Ref<DownloadRecorder> recorder(MakeRecorder<DownloadRecorder>());
    EXPECT_EQ(S_OK, Run(UrlOf(L"slow.bin"), target, recorder.get()));
    EXPECT_TRUE(Contents(target) == content);

    // From the start of the download pass (0 again after the companion's 0
    // and the first block's mismatch) to the write that reaches the end.
    const Progress progress = recorder->progress();
    const std::vector<DWORD> times = recorder->progressTimes();
    ASSERT_EQ(progress.size(), times.size());
    ASSERT_GE(progress.size(), 3u);
    const size_t first = 1;
    size_t last = first;
    while (last < progress.size() && progress[last].first < size) {
        ++last;
    }
    ASSERT_LT(last, progress.size());
    const DWORD passMs = times[last] - times[first];
    DWORD longestGap = 0;
    for (size_t i = first + 1; i <= last; ++i) {
        longestGap = std::max<DWORD>(longestGap, times[i] - times[i - 1]);
    }
    std::printf("[ info ] %zu reports over %lu ms, longest gap %lu ms\n", last - first + 1, passMs,
                longestGap);
    EXPECT_GE(passMs, 2000u) << "the server did not hold the rate";
    EXPECT_LE(longestGap, 500u);
}

TEST_F(DownloadSimpleTaskTest, CancelWhileFetchingTheCompanion) {
    PublishPackage(L"pkg.bin", 2 * kMiB);
    ASSERT_TRUE(server.AddRule("path=/pkg.bin.meta&delay=2"));
    const std::wstring target = scratch / L"pkg.bin";
    Ref<DownloadRecorder> recorder(MakeRecorder<DownloadRecorder>());
    Ref<ITask> task(Start(UrlOf(L"pkg.bin"), target, recorder.get()));
    ASSERT_TRUE(task);
    task->Cancel();
    ASSERT_TRUE(recorder->WaitDone());
    EXPECT_EQ(E_ABORT, recorder->result());
    EXPECT_TRUE(recorder->progress().empty());
    EXPECT_FALSE(testutil::FileExists(target));
    EXPECT_TRUE(PackageRequests().empty());
}

TEST_F(DownloadSimpleTaskTest, CancelBeforeStartIsIgnored) {
    const std::string content = PublishPackage(L"pkg.bin", kMiB + 10);
    const std::wstring target = scratch / L"pkg.bin";
    Ref<DownloadRecorder> recorder(MakeRecorder<DownloadRecorder>());
    Ref<ITask> task(downloader::CreateDownloadSimpleTask(UrlOf(L"pkg.bin").c_str(), target.c_str(),
                                                         recorder.get()));
    ASSERT_TRUE(task);
    task->Cancel();
    task->Start();
    task->Start(); // a second Start is ignored
    ASSERT_TRUE(recorder->WaitDone());
    EXPECT_EQ(S_OK, recorder->result());
    EXPECT_TRUE(Contents(target) == content);
    Sleep(100);
    EXPECT_EQ(1, recorder->completions());
    EXPECT_EQ(1u, CompanionRequests());
}

TEST_F(DownloadSimpleTaskTest, ReleasedRightAfterStartItRunsToItsEnd) {
    const std::string content = PublishPackage(L"pkg.bin", 2 * kMiB + 7);
    const std::wstring target = scratch / L"pkg.bin";
    Ref<DownloadRecorder> recorder(MakeRecorder<DownloadRecorder>());
    ITask* task = Start(UrlOf(L"pkg.bin"), target, recorder.get());
    ASSERT_NE(nullptr, task);
    task->Release();
    ASSERT_TRUE(recorder->WaitDone());
    EXPECT_EQ(S_OK, recorder->result());
    EXPECT_TRUE(testutil::WaitForRefCount(recorder.get(), 1));
    // The file handle is closed before OnComplete: it opens without sharing.
    HANDLE file = CreateFileW(target.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, file);
    CloseHandle(file);
    EXPECT_TRUE(Contents(target) == content);
}

TEST_F(DownloadSimpleTaskTest, NeverStartedItReleasesItsCallback) {
    Ref<DownloadRecorder> recorder(MakeRecorder<DownloadRecorder>());
    ITask* task = downloader::CreateDownloadSimpleTask(L"http://127.0.0.1/x", L"x", recorder.get());
    ASSERT_NE(nullptr, task);
    EXPECT_EQ(2, testutil::RefCount(recorder.get()));
    task->Release();
    EXPECT_EQ(1, testutil::RefCount(recorder.get()));
    EXPECT_EQ(nullptr, downloader::CreateDownloadSimpleTask(L"http://127.0.0.1/x", L"x", nullptr));
}

TEST_F(DownloadSimpleTaskTest, FullDiskGivesDiskFullAndKeepsWhatWasWritten) {
    const std::wstring smallDisk = testutil::SmallDiskFolder();
    if (smallDisk.empty()) {
        GTEST_SKIP() << "no small file system was mounted (BC_SMALL_DISK unset): "
                        "the disk-full case cannot run here";
    }
    const int64_t size = 6 * kMiB; // more than the 4 MiB the small disk holds
    const std::string content = PublishPackage(L"large.bin", size);
    smallDiskFile_ = smallDisk + L"verified-" + std::to_wstring(GetCurrentProcessId()) + L".bin";
    Ref<DownloadRecorder> recorder(MakeRecorder<DownloadRecorder>());
    EXPECT_EQ(kDiskFull, Run(UrlOf(L"large.bin"), smallDiskFile_, recorder.get()));
    const std::string kept = Contents(smallDiskFile_);
    if (kept.empty()) {
        // Refused before the file was sized: the free space was too small for
        // what the package needs, so not one byte of it was asked for.
        EXPECT_TRUE(PackageRequests().empty());
        return;
    }
    // Writing met the full disk: what reached it stays.
    EXPECT_EQ(static_cast<size_t>(size), kept.size());
    const Progress progress = recorder->progress();
    ASSERT_FALSE(progress.empty());
    const size_t written = static_cast<size_t>(progress.back().first);
    EXPECT_GT(written, 0u);
    EXPECT_TRUE(kept.substr(0, written) == content.substr(0, written));
}

// The companion's length is the server's to announce: one longer than that of
// the largest package accepted is refused as it is announced, before a
// buffer of that size is taken or its body read (the server announces it and
// then sends nothing for a while). Nothing is asked of the package.
TEST_F(DownloadSimpleTaskTest, ACompanionLongerThanTheLargestPackageNeedsIsRefused) {
    PublishPackage(L"pkg.bin", 2 * kMiB);
    ASSERT_EQ(81928, downloader::kMaxCompanionBytes) << "4 GiB packages by default";
    const int64_t announced[] = {downloader::kMaxCompanionBytes + 1, int64_t{1} << 30};
    for (const int64_t length : announced) {
        ASSERT_TRUE(server.Reset());
        ASSERT_TRUE(server.AddRule("path=/pkg.bin.meta&stall=20&length=" + std::to_string(length)));
        const std::wstring target = scratch / L"never.bin";
        Ref<DownloadRecorder> recorder(MakeRecorder<DownloadRecorder>());
        EXPECT_EQ(E_FAIL, Run(UrlOf(L"pkg.bin"), target, recorder.get())) << length;
        EXPECT_TRUE(recorder->progress().empty()) << length;
        EXPECT_FALSE(testutil::FileExists(target)) << length;
        EXPECT_TRUE(PackageRequests().empty()) << length;
        EXPECT_EQ(1u, CompanionRequests()) << length;
    }
}

// A package the disk cannot hold is told before the file is made or sized
// and before any of it is asked for; one that fits the same disk downloads.
TEST_F(DownloadSimpleTaskTest, NotEnoughRoomIsToldBeforeTheFileIsSized) {
    const std::wstring smallDisk = testutil::SmallDiskFolder();
    if (smallDisk.empty()) {
        GTEST_SKIP() << "no small file system was mounted (BC_SMALL_DISK unset)";
    }
    PublishPackage(L"large.bin", 6 * kMiB); // more than the 4 MiB the small disk holds
    smallDiskFile_ = smallDisk + L"room-" + std::to_wstring(GetCurrentProcessId()) + L".bin";
    Ref<DownloadRecorder> recorder(MakeRecorder<DownloadRecorder>());
    EXPECT_EQ(kDiskFull, Run(UrlOf(L"large.bin"), smallDiskFile_, recorder.get()));
    EXPECT_FALSE(testutil::FileExists(smallDiskFile_)) << "the file was made";
    EXPECT_TRUE(PackageRequests().empty()) << "the package was asked for";

    ASSERT_TRUE(server.Reset());
    const std::string content = PublishPackage(L"fits.bin", 3 * kMiB / 2);
    Ref<DownloadRecorder> fits(MakeRecorder<DownloadRecorder>());
    EXPECT_EQ(S_OK, Run(UrlOf(L"fits.bin"), smallDiskFile_, fits.get()));
    EXPECT_TRUE(Contents(smallDiskFile_) == content);
}

TEST_F(DownloadSimpleTaskTest, PassesThatBringNoBlockFurtherAreBounded) {
    const int64_t size = 3 * kMiB;
    const std::string content = PublishPackage(L"pkg.bin", size);
    // Every answer for the package carries a wrong byte in its second block.
    ASSERT_TRUE(server.AddRule("path=/pkg.bin&times=0&corrupt=1500000"));
    const std::wstring target = scratch / L"pkg.bin";
    Ref<DownloadRecorder> recorder(MakeRecorder<DownloadRecorder>());
    EXPECT_EQ(downloader::kErrorDataMismatch, Run(UrlOf(L"pkg.bin"), target, recorder.get()));

    // The first pass brings block 0 (progress); then passes from block 1 that
    // bring nothing, up to the bound.
    const auto requests = PackageRequests();
    ASSERT_EQ(static_cast<size_t>(1 + downloader::kMaxPassesWithoutProgress), requests.size());
    EXPECT_EQ("bytes=0-3145727", requests[0].Header("Range"));
    for (size_t i = 1; i < requests.size(); ++i) {
        EXPECT_EQ("bytes=1048576-3145727", requests[i].Header("Range")) << i;
    }
    const std::string kept = Contents(target);
    ASSERT_EQ(static_cast<size_t>(size), kept.size());
    EXPECT_TRUE(kept.substr(0, kMiB) == content.substr(0, kMiB));
}

TEST_F(DownloadSimpleTaskTest, ABlockThatArrivesWrongEndsItsRequestAtOnce) {
    // 16 MiB at about 8 MiB/s, a wrong byte in block 1 of the first answer:
    // the request ends soon after block 1 is hashed, well before the rest
    // of the package has come, and the repair starts at block 1.
    const int64_t size = 16 * kMiB;
    const std::string content = PublishPackage(L"pkg.bin", size);
    ASSERT_TRUE(server.AddRule("path=/pkg.bin&times=1&corrupt=1500000&rate=8388608"));
    const std::wstring target = scratch / L"pkg.bin";
    Ref<DownloadRecorder> recorder(MakeRecorder<DownloadRecorder>());
    EXPECT_EQ(S_OK, Run(UrlOf(L"pkg.bin"), target, recorder.get()));
    EXPECT_TRUE(Contents(target) == content);
    const auto requests = PackageRequests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ("bytes=0-16777215", requests[0].Header("Range"));
    EXPECT_LT(requests[0].sent, size / 2) << "the first request ran on past the wrong block";
    EXPECT_EQ("bytes=1048576-16777215", requests[1].Header("Range"));
    EXPECT_EQ(size - kMiB, requests[1].sent);
}

// A request that ends in the middle of a block is continued from there;
// the block is still verified as it arrives, in two pieces, and nothing is
// read back after the download.
TEST_F(DownloadSimpleTaskTest, AContinuationInsideABlockIsStillVerifiedOnArrival) {
    const int64_t size = 4 * kMiB;
    const std::string content = PublishPackage(L"pkg.bin", size);
    ASSERT_TRUE(server.AddRule("path=/pkg.bin&times=1&end=1572864"));
    const std::wstring target = scratch / L"pkg.bin";
    Ref<DownloadRecorder> recorder(MakeRecorder<DownloadRecorder>());
    EXPECT_EQ(S_OK, Run(UrlOf(L"pkg.bin"), target, recorder.get()));
    EXPECT_TRUE(Contents(target) == content);
    const auto requests = PackageRequests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ("bytes=0-4194303", requests[0].Header("Range"));
    EXPECT_EQ("bytes=1572864-4194303", requests[1].Header("Range"));
    // Companion, pass start, then only writes, each further than the last:
    // a pass that read the file back would report the size once per block.
    const Progress progress = recorder->progress();
    ASSERT_GT(progress.size(), 2u);
    int64_t last = 0;
    for (size_t i = 2; i < progress.size(); ++i) {
        EXPECT_GT(progress[i].first, last) << i;
        last = progress[i].first;
    }
    EXPECT_EQ(size, last);
}

TEST_F(DownloadSimpleTaskTest, AWrongByteOnceIsMendedByTheNextPass) {
    const int64_t size = 3 * kMiB;
    const std::string content = PublishPackage(L"pkg.bin", size);
    ASSERT_TRUE(server.AddRule("path=/pkg.bin&times=2&corrupt=2500000"));
    const std::wstring target = scratch / L"pkg.bin";
    Ref<DownloadRecorder> recorder(MakeRecorder<DownloadRecorder>());
    EXPECT_EQ(S_OK, Run(UrlOf(L"pkg.bin"), target, recorder.get()));
    EXPECT_TRUE(Contents(target) == content);
    const auto requests = PackageRequests();
    ASSERT_EQ(3u, requests.size());
    EXPECT_EQ("bytes=0-3145727", requests[0].Header("Range"));
    EXPECT_EQ("bytes=2097152-3145727", requests[1].Header("Range"));
    EXPECT_EQ("bytes=2097152-3145727", requests[2].Header("Range"));
}

} // namespace
