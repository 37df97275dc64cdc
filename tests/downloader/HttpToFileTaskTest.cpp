#include "downloader/HttpToFileTask.h"

#include "tests/downloader/ServerFixture.h"

namespace {

using downloader::ITask;
using testutil::FileRecorder;
using testutil::MakeRecorder;
using testutil::Ref;

constexpr long kIncorrectFormat = static_cast<long>(0x80072EFB);
constexpr long kCancelled = static_cast<long>(0x80072EF1);
constexpr int64_t kMiB = 1048576;

// A local target file, open for writing and positioned like the verified
// download does before it starts a transfer.
class TargetFile {
public:
    explicit TargetFile(const std::wstring& path, DWORD access = GENERIC_READ | GENERIC_WRITE)
        : path_(path) {
        handle_ = CreateFileW(path.c_str(), access, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    ~TargetFile() {
        Close();
        DeleteFileW(path_.c_str());
    }
    TargetFile(const TargetFile&) = delete;
    TargetFile& operator=(const TargetFile&) = delete;

    bool ok() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE handle() const { return handle_; }
    bool Seek(int64_t offset) {
        LARGE_INTEGER to;
        to.QuadPart = offset;
        return SetFilePointerEx(handle_, to, nullptr, FILE_BEGIN) != FALSE;
    }
    void Close() {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
            handle_ = INVALID_HANDLE_VALUE;
        }
    }
    std::string Contents() const { return testutil::ReadFileBytes(path_); }

private:
    std::wstring path_;
    HANDLE handle_;
};

class HttpToFileTaskTest : public testutil::ServerTest {
protected:
    bool Run(const std::wstring& url, TargetFile& file, int64_t offset, int64_t length,
             FileRecorder* recorder) {
        if (!file.Seek(offset)) {
            return false;
        }
        Ref<ITask> task(
            downloader::CreateHttpToFileTask(url.c_str(), file.handle(), offset, length, recorder));
        if (!task) {
            return false;
        }
        task->Start();
        return recorder->WaitDone();
    }

    // Every OnWritten starts where the previous one ended.
    static void ExpectContiguous(const FileRecorder& recorder, int64_t offset) {
        int64_t next = offset;
        for (const auto& write : recorder.writes()) {
            ASSERT_EQ(next, write.first);
            next += write.second;
        }
        EXPECT_EQ(next - offset, recorder.written());
    }

    testutil::ScratchFolder scratch;
};

TEST_F(HttpToFileTaskTest, RangeFromAnOffsetWritesExactlyThoseBytes) {
    const std::string content = Publish(L"package.bin", 5 * kMiB);
    TargetFile file(scratch / L"package.bin");
    ASSERT_TRUE(file.ok());
    Ref<FileRecorder> recorder(MakeRecorder<FileRecorder>());
    ASSERT_TRUE(Run(UrlOf(L"package.bin"), file, 3 * kMiB, 1000000, recorder.get()));

    EXPECT_EQ(S_OK, recorder->result());
    EXPECT_EQ(1, recorder->completions());
    ExpectContiguous(*recorder, 3 * kMiB);
    EXPECT_EQ(1000000, recorder->written());
    const auto log = server.Log();
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ("bytes=3145728-4145727", log[0].Header("Range"));
    EXPECT_FALSE(log[0].HasHeader("If-Range"));
    file.Close();
    const std::string written = file.Contents();
    ASSERT_EQ(static_cast<size_t>(3 * kMiB + 1000000), written.size());
    EXPECT_TRUE(written.substr(3 * kMiB) == content.substr(3 * kMiB, 1000000));
    EXPECT_EQ(std::string(3 * kMiB, '\0'), written.substr(0, 3 * kMiB));
    EXPECT_TRUE(testutil::WaitForRefCount(recorder.get(), 1));
}

TEST_F(HttpToFileTaskTest, A200ForARangeInTheMiddleIsRefusedAndNothingWritten) {
    Publish(L"package.bin", 5 * kMiB);
    ASSERT_TRUE(server.AddRule("path=/package.bin&ignorerange=1"));
    TargetFile file(scratch / L"package.bin");
    ASSERT_TRUE(file.ok());
    Ref<FileRecorder> recorder(MakeRecorder<FileRecorder>());
    ASSERT_TRUE(Run(UrlOf(L"package.bin"), file, 3 * kMiB, 1000000, recorder.get()));
    EXPECT_EQ(kIncorrectFormat, recorder->result());
    EXPECT_TRUE(recorder->writes().empty());
    file.Close();
    EXPECT_TRUE(file.Contents().empty());
}

TEST_F(HttpToFileTaskTest, A200ForARangeToTheEndAsksToStartOverAndWritesNothing) {
    Publish(L"tail.bin", 5 * kMiB);
    ASSERT_TRUE(server.AddRule("path=/tail.bin&ignorerange=1"));
    TargetFile file(scratch / L"tail.bin");
    ASSERT_TRUE(file.ok());
    Ref<FileRecorder> recorder(MakeRecorder<FileRecorder>());
    ASSERT_TRUE(Run(UrlOf(L"tail.bin"), file, 3 * kMiB, 2 * kMiB, recorder.get()));
    EXPECT_EQ(downloader::kErrorRangeIgnored, recorder->result());
    EXPECT_TRUE(recorder->writes().empty());
    file.Close();
    EXPECT_TRUE(file.Contents().empty());
    EXPECT_EQ(200, server.Log().at(0).status);
}

TEST_F(HttpToFileTaskTest, WholeResourceTakesA200OfTheSameLength) {
    const std::string content = Publish(L"whole.bin", 300000);
    ASSERT_TRUE(server.AddRule("path=/whole.bin&ignorerange=1"));
    TargetFile file(scratch / L"whole.bin");
    ASSERT_TRUE(file.ok());
    Ref<FileRecorder> recorder(MakeRecorder<FileRecorder>());
    ASSERT_TRUE(Run(UrlOf(L"whole.bin"), file, 0, 300000, recorder.get()));
    EXPECT_EQ(S_OK, recorder->result());
    ExpectContiguous(*recorder, 0);
    file.Close();
    EXPECT_TRUE(file.Contents() == content);
    EXPECT_EQ(200, server.Log().at(0).status);
}

TEST_F(HttpToFileTaskTest, WholeResourceRefusesA200OfAnotherLength) {
    Publish(L"longer.bin", 300010);
    ASSERT_TRUE(server.AddRule("path=/longer.bin&ignorerange=1"));
    TargetFile file(scratch / L"longer.bin");
    ASSERT_TRUE(file.ok());
    Ref<FileRecorder> recorder(MakeRecorder<FileRecorder>());
    ASSERT_TRUE(Run(UrlOf(L"longer.bin"), file, 0, 300000, recorder.get()));
    EXPECT_EQ(kIncorrectFormat, recorder->result());
    EXPECT_TRUE(recorder->writes().empty());
}

TEST_F(HttpToFileTaskTest, RangesThatDoNotMatchAreRefused) {
    const char* rules[] = {
        "contentrange=bytes%20100-1099/5000",  // starts elsewhere
        "contentrange=bytes%201000-1999/5000", // right start, wrong length
        "contentrange=bytes%20*/5000",         // no range at all
        "status=416",
        "status=500",
    };
    Publish(L"ranges.bin", 5000);
    for (const char* rule : rules) {
        SCOPED_TRACE(rule);
        ASSERT_TRUE(server.Reset());
        ASSERT_TRUE(server.AddRule(std::string("path=/ranges.bin&") + rule));
        TargetFile file(scratch / L"ranges.bin");
        ASSERT_TRUE(file.ok());
        Ref<FileRecorder> recorder(MakeRecorder<FileRecorder>());
        ASSERT_TRUE(Run(UrlOf(L"ranges.bin"), file, 1000, 2000, recorder.get()));
        EXPECT_EQ(kIncorrectFormat, recorder->result());
        EXPECT_TRUE(recorder->writes().empty());
    }
}

TEST_F(HttpToFileTaskTest, AMissingResourceIsToldApart) {
    Publish(L"gone.bin", 5000);
    for (const char* rule : {"status=404", "status=410"}) {
        SCOPED_TRACE(rule);
        ASSERT_TRUE(server.Reset());
        ASSERT_TRUE(server.AddRule(std::string("path=/gone.bin&") + rule));
        TargetFile file(scratch / L"gone.bin");
        ASSERT_TRUE(file.ok());
        Ref<FileRecorder> recorder(MakeRecorder<FileRecorder>());
        ASSERT_TRUE(Run(UrlOf(L"gone.bin"), file, 0, 5000, recorder.get()));
        EXPECT_EQ(downloader::kErrorResourceNotFound, recorder->result());
        EXPECT_TRUE(recorder->writes().empty());
    }
}

// Headers whose numbers do not fit 64 bits or do not describe a range; each
// would match the request if its numbers wrapped or its text were read
// loosely.
TEST_F(HttpToFileTaskTest, HostileRangeHeadersAreRefused) {
    const char* rules[] = {
        "contentrange=bytes%200-999/18446744073709552616",
        "contentrange=bytes%200-999/9223372036854775808",
        "contentrange=bytes%200-18446744073709552615/1000",
        "contentrange=bytes%2018446744073709551616-999/1000",
        "contentrange=bytes%200-999/999",
        "contentrange=bytes%20-0-999/1000",
        "contentrange=bytes%20%2B0-999/1000",
        "ignorerange=1&length=18446744073709552616",
        "ignorerange=1&length=1000x",
    };
    Publish(L"hostile.bin", 1000);
    for (const char* rule : rules) {
        SCOPED_TRACE(rule);
        ASSERT_TRUE(server.Reset());
        ASSERT_TRUE(server.AddRule(std::string("path=/hostile.bin&") + rule));
        TargetFile file(scratch / L"hostile.bin");
        ASSERT_TRUE(file.ok());
        Ref<FileRecorder> recorder(MakeRecorder<FileRecorder>());
        ASSERT_TRUE(Run(UrlOf(L"hostile.bin"), file, 0, 1000, recorder.get()));
        EXPECT_EQ(kIncorrectFormat, recorder->result());
        EXPECT_TRUE(recorder->writes().empty());
    }
}

TEST_F(HttpToFileTaskTest, EarlyEndContinuesWithTheRestAndTheValidator) {
    const std::string content = Publish(L"resume.bin", 2 * kMiB);
    const std::string etag = server.ETagOf(L"resume.bin");
    // The whole resource comes as a 200 (its ETag is kept) and ends early.
    ASSERT_TRUE(server.AddRule("path=/resume.bin&ignorerange=1&end=700000"));
    TargetFile file(scratch / L"resume.bin");
    ASSERT_TRUE(file.ok());
    Ref<FileRecorder> recorder(MakeRecorder<FileRecorder>());
    ASSERT_TRUE(Run(UrlOf(L"resume.bin"), file, 0, 2 * kMiB, recorder.get()));
    EXPECT_EQ(S_OK, recorder->result());
    ExpectContiguous(*recorder, 0);
    const auto log = server.Log();
    ASSERT_EQ(2u, log.size());
    EXPECT_EQ(200, log[0].status);
    EXPECT_EQ("bytes=700000-2097151", log[1].Header("Range"));
    EXPECT_EQ(etag, log[1].Header("If-Range"));
    EXPECT_EQ(206, log[1].status);
    file.Close();
    EXPECT_TRUE(file.Contents() == content);
}

TEST_F(HttpToFileTaskTest, RangeEndingEarlyContinuesWithoutValidator) {
    const std::string content = Publish(L"resume206.bin", 2 * kMiB);
    ASSERT_TRUE(server.AddRule("path=/resume206.bin&end=100000"));
    TargetFile file(scratch / L"resume206.bin");
    ASSERT_TRUE(file.ok());
    Ref<FileRecorder> recorder(MakeRecorder<FileRecorder>());
    ASSERT_TRUE(Run(UrlOf(L"resume206.bin"), file, kMiB, kMiB, recorder.get()));
    EXPECT_EQ(S_OK, recorder->result());
    ExpectContiguous(*recorder, kMiB);
    const auto log = server.Log();
    ASSERT_EQ(2u, log.size());
    EXPECT_EQ("bytes=1148576-2097151", log[1].Header("Range"));
    EXPECT_FALSE(log[1].HasHeader("If-Range")); // a 206 carries no validator to keep
    file.Close();
    EXPECT_TRUE(file.Contents().substr(kMiB) == content.substr(kMiB));
}

TEST_F(HttpToFileTaskTest, ChangedResourceAfterAnEarlyEndIsRefused) {
    const std::string content = Publish(L"changed.bin", 100000);
    ASSERT_TRUE(server.AddRule("path=/changed.bin&ignorerange=1&end=40000&etag=%22old%22"));
    TargetFile file(scratch / L"changed.bin");
    ASSERT_TRUE(file.ok());
    Ref<FileRecorder> recorder(MakeRecorder<FileRecorder>());
    ASSERT_TRUE(Run(UrlOf(L"changed.bin"), file, 0, 100000, recorder.get()));
    // The whole resource to a range that runs to its end: the caller may start over.
    EXPECT_EQ(downloader::kErrorRangeIgnored, recorder->result());
    const auto log = server.Log();
    ASSERT_EQ(2u, log.size());
    EXPECT_EQ("\"old\"", log[1].Header("If-Range"));
    EXPECT_EQ(200, log[1].status); // the whole new resource, refused at position 40000
    EXPECT_EQ(40000, recorder->written());
    file.Close();
    EXPECT_TRUE(file.Contents() == content.substr(0, 40000));
}

TEST_F(HttpToFileTaskTest, ChunkLargerThanWhatRemainsIsNotWritten) {
    Publish(L"extra.bin", 100000);
    ASSERT_TRUE(server.AddRule("path=/extra.bin&extra=50000"));
    TargetFile file(scratch / L"extra.bin");
    ASSERT_TRUE(file.ok());
    Ref<FileRecorder> recorder(MakeRecorder<FileRecorder>());
    ASSERT_TRUE(Run(UrlOf(L"extra.bin"), file, 0, 20000, recorder.get()));
    EXPECT_EQ(kIncorrectFormat, recorder->result());
    EXPECT_LE(recorder->written(), 20000);
    ExpectContiguous(*recorder, 0);
    file.Close();
    EXPECT_EQ(static_cast<size_t>(recorder->written()), file.Contents().size());
}

TEST_F(HttpToFileTaskTest, FullDiskEndsWithDiskFull) {
    const std::wstring smallDisk = testutil::SmallDiskFolder();
    if (smallDisk.empty()) {
        GTEST_SKIP() << "no small file system was mounted (BC_SMALL_DISK unset): "
                        "the disk-full case cannot run here";
    }
    Publish(L"large.bin", 6 * kMiB); // more than the 4 MiB the small disk holds
    TargetFile file(smallDisk + L"full-" + std::to_wstring(GetCurrentProcessId()) + L".bin");
    ASSERT_TRUE(file.ok());
    Ref<FileRecorder> recorder(MakeRecorder<FileRecorder>());
    ASSERT_TRUE(Run(UrlOf(L"large.bin"), file, 0, 6 * kMiB, recorder.get()));
    EXPECT_EQ(static_cast<long>(0x80070070), recorder->result());
    ExpectContiguous(*recorder, 0);
    EXPECT_LT(recorder->written(), 6 * kMiB);
    // The failed write was reported too, with what it managed to write.
    EXPECT_FALSE(recorder->writes().empty());
}

TEST_F(HttpToFileTaskTest, WriteErrorIsTheResultAndStillReported) {
    Publish(L"readonly.bin", 10000);
    TargetFile file(scratch / L"readonly.bin", GENERIC_READ);
    ASSERT_TRUE(file.ok());
    Ref<FileRecorder> recorder(MakeRecorder<FileRecorder>());
    ASSERT_TRUE(Run(UrlOf(L"readonly.bin"), file, 0, 10000, recorder.get()));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), recorder->result());
    const auto writes = recorder->writes();
    ASSERT_EQ(1u, writes.size());
    EXPECT_EQ(0, writes[0].first);
    EXPECT_EQ(0, writes[0].second);
}

TEST_F(HttpToFileTaskTest, RequestsWithoutProgressAreBounded) {
    const std::string content = Publish(L"stuck.bin", 100000);
    ASSERT_TRUE(server.AddRule("path=/stuck.bin&end=1000"));
    ASSERT_TRUE(server.AddRule("path=/stuck.bin&end=0&times=0"));
    TargetFile file(scratch / L"stuck.bin");
    ASSERT_TRUE(file.ok());
    Ref<FileRecorder> recorder(MakeRecorder<FileRecorder>());
    ASSERT_TRUE(Run(UrlOf(L"stuck.bin"), file, 0, 100000, recorder.get()));
    EXPECT_EQ(downloader::kErrorNoProgress, recorder->result());
    EXPECT_EQ(static_cast<size_t>(1 + downloader::kMaxRequestsWithoutProgress),
              server.Log().size());
    EXPECT_EQ(1000, recorder->written());
    file.Close();
    EXPECT_TRUE(file.Contents() == content.substr(0, 1000));
}

TEST_F(HttpToFileTaskTest, CancelWhileStalled) {
    Publish(L"stall.bin", 200000);
    ASSERT_TRUE(server.AddRule("path=/stall.bin&end=50000&stall=5"));
    TargetFile file(scratch / L"stall.bin");
    ASSERT_TRUE(file.ok());
    Ref<FileRecorder> recorder(MakeRecorder<FileRecorder>());
    Ref<ITask> task(downloader::CreateHttpToFileTask(UrlOf(L"stall.bin").c_str(), file.handle(), 0,
                                                     200000, recorder.get()));
    ASSERT_TRUE(task);
    task->Start();
    ASSERT_TRUE(recorder->WaitForWritten(50000));
    Sleep(100);
    task->Cancel();
    ASSERT_TRUE(recorder->WaitDone());
    EXPECT_EQ(kCancelled, recorder->result());
    EXPECT_EQ(50000, recorder->written());
    EXPECT_EQ(1u, server.Log().size());
    task->Cancel();
    EXPECT_EQ(1, recorder->completions());
    EXPECT_FALSE(recorder->eventAfterComplete());
}

TEST_F(HttpToFileTaskTest, CancelBeforeStartIsIgnoredAndReleaseAfterStartIsSafe) {
    const std::string content = Publish(L"orphan.bin", 400000);
    TargetFile file(scratch / L"orphan.bin");
    ASSERT_TRUE(file.ok());
    Ref<FileRecorder> recorder(MakeRecorder<FileRecorder>());
    ITask* task = downloader::CreateHttpToFileTask(UrlOf(L"orphan.bin").c_str(), file.handle(), 0,
                                                   400000, recorder.get());
    ASSERT_NE(nullptr, task);
    task->Cancel();
    EXPECT_FALSE(recorder->IsDone());
    task->Start();
    task->Release();
    ASSERT_TRUE(recorder->WaitDone());
    EXPECT_EQ(S_OK, recorder->result());
    EXPECT_TRUE(testutil::WaitForRefCount(recorder.get(), 1));
    file.Close();
    EXPECT_TRUE(file.Contents() == content);
}

} // namespace
