// The crash filter in a process of its own: a fault on a worker thread ends
// the process and puts a minidump of that thread's exception to the sink.
#include "app/CrashDump.h"
#include "tests/app/AppTestSupport.h"
#include "tests/common/TestUtil.h"

#include <gtest/gtest.h>

#include <dbghelp.h>

#include <cstdlib>

namespace {

using apptest::Narrow;

// How the probe ends its worker thread, and the exception the filter sees.
struct CrashCase {
    const wchar_t* mode;
    DWORD code;
};

class CrashDumpOf : public testing::TestWithParam<CrashCase> {};

// A memory fault, and a C++ exception that nothing catches: not the runtime's
// abort (exit code 3, after its own message in a GUI process) but the filter.
INSTANTIATE_TEST_SUITE_P(Crashes, CrashDumpOf,
                         testing::Values(CrashCase{L"crash", EXCEPTION_ACCESS_VIOLATION},
                                         CrashCase{L"throw", kUncaughtCppExceptionSeen}));

TEST_P(CrashDumpOf, AWorkerThreadIsDumpedSentAndLeavesNothingBehind) {
    const CrashCase& crash = GetParam();
    testutil::ScratchFolder scratch;
    const std::wstring temp = scratch / L"temp\\";
    ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
    const std::wstring threadFile = scratch / L"thread.txt";
    const size_t before = apptest::SinkRequestCount();

    const apptest::ProcessRun run =
        apptest::RunProgram(apptest::SiblingProgram(L"app_probe.exe"),
                            std::wstring(crash.mode) + L" \"" + threadFile + L"\"", temp);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(crash.code, run.exitCode) << "the process should end through the filter";
    const DWORD threadId =
        static_cast<DWORD>(strtoul(testutil::ReadFileBytes(threadFile).c_str(), nullptr, 10));
    ASSERT_NE(0u, threadId);
    EXPECT_NE(GetCurrentThreadId(), threadId);

    const auto requests = apptest::SinkRequestsSince(before);
    ASSERT_EQ(1u, requests.size());
    const sinktest::SinkRequest& put = requests[0];
    EXPECT_EQ("PUT", put.method);
    EXPECT_EQ("/v1/reportError", put.path);
    // No token for a crash; the machine's identifier is looked up afresh.
    ASSERT_EQ(0u, put.query.find("token=&machineId=")) << put.query;
    EXPECT_FALSE(put.query.substr(17).empty());
    EXPECT_EQ("application/xml", put.Header("Content-Type"));

    const std::string& dump = put.body;
    ASSERT_GT(dump.size(), sizeof(MINIDUMP_HEADER));
    EXPECT_EQ("MDMP", dump.substr(0, 4));
    MINIDUMP_DIRECTORY* directory = nullptr;
    void* stream = nullptr;
    ULONG streamSize = 0;
    ASSERT_TRUE(MiniDumpReadDumpStream(const_cast<char*>(dump.data()), ExceptionStream, &directory,
                                       &stream, &streamSize));
    ASSERT_GE(streamSize, sizeof(MINIDUMP_EXCEPTION_STREAM));
    const auto* exception = static_cast<const MINIDUMP_EXCEPTION_STREAM*>(stream);
    EXPECT_EQ(threadId, exception->ThreadId);
    EXPECT_EQ(static_cast<ULONG>(crash.code), exception->ExceptionRecord.ExceptionCode);
    // The thread list holds the crashing thread too.
    ASSERT_TRUE(MiniDumpReadDumpStream(const_cast<char*>(dump.data()), ThreadListStream, &directory,
                                       &stream, &streamSize));
    const auto* threads = static_cast<const MINIDUMP_THREAD_LIST*>(stream);
    bool listed = false;
    for (ULONG n = 0; n < threads->NumberOfThreads; ++n) {
        listed = listed || threads->Threads[n].ThreadId == threadId;
    }
    EXPECT_TRUE(listed);

    EXPECT_TRUE(apptest::ListTree(temp).empty()) << "the dump folder stays behind";
}

TEST(CrashDump, WithoutAUsableTemporaryFolderNothingIsWrittenOrSent) {
    testutil::ScratchFolder scratch;
    const std::wstring missing = scratch / L"no such folder\\";
    const std::wstring threadFile = scratch / L"thread.txt";
    const size_t before = apptest::SinkRequestCount();

    const apptest::ProcessRun run = apptest::RunProgram(apptest::SiblingProgram(L"app_probe.exe"),
                                                        L"crash \"" + threadFile + L"\"", missing);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), run.exitCode);
    EXPECT_TRUE(testutil::FileExists(threadFile)) << "the probe did not reach its fault";
    EXPECT_TRUE(apptest::SinkRequestsSince(before).empty());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(missing.c_str()));
    EXPECT_EQ((std::vector<std::wstring>{L"thread.txt"}), apptest::ListTree(scratch.path()));
}

} // namespace
