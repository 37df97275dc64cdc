#include "downloader/HashTask.h"

#include "downloader/BlockHashPipeline.h"

#include "tests/downloader/CryptoFault.h"
#include "tests/downloader/DownloadRecorders.h"
#include "tests/downloader/ServerFixture.h"

#include <cstdio>
#include <vector>

namespace {

using downloader::HashResult;
using downloader::ITask;
using testutil::HashRecorder;
using testutil::MakeRecorder;
using testutil::Ref;

constexpr size_t kMiB = 1048576;

std::string Hex(const std::string& bytes) {
    std::string text;
    char two[3];
    for (unsigned char c : bytes) {
        std::snprintf(two, sizeof two, "%02x", c);
        text += two;
    }
    return text;
}

struct DigestCase {
    std::string input;
    const char* sha1;
};

// Sets which hashing Sha1Hasher uses while it lives.
class Sha1Engine {
public:
    explicit Sha1Engine(bool platformOnly)
        : before_(downloader::UsePlatformSha1Only(platformOnly)) {}
    ~Sha1Engine() { downloader::UsePlatformSha1Only(before_); }
    Sha1Engine(const Sha1Engine&) = delete;
    Sha1Engine& operator=(const Sha1Engine&) = delete;

private:
    bool before_;
};

std::string PlatformSha1(const uint8_t* data, size_t size) {
    Sha1Engine platform(true);
    uint8_t digest[20];
    EXPECT_TRUE(downloader::Sha1Digest(data, size, digest));
    return std::string(reinterpret_cast<char*>(digest), 20);
}

// The published vectors, through CryptoAPI and through whatever hashes here.
TEST(Sha1Digest, KnownVectors) {
    const DigestCase cases[] = {
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    };
    for (bool platformOnly : {true, false}) {
        Sha1Engine engine(platformOnly);
        for (const DigestCase& c : cases) {
            uint8_t digest[20];
            ASSERT_TRUE(downloader::Sha1Digest(c.input.data(), c.input.size(), digest));
            EXPECT_EQ(c.sha1, Hex(std::string(reinterpret_cast<char*>(digest), 20)))
                << c.input.size() << " bytes, platform only " << platformOnly;
        }
    }
}

// The processor's hashing gives CryptoAPI's digest for every length around
// the 64-byte blocks and their padding (a tail of 55, 56 and 63 bytes), from
// starts that are not aligned, and for the package's block sizes.
TEST(Sha1Digest, TheProcessorsHashingMatchesThePlatforms) {
    if (!downloader::ProcessorHasSha1()) {
        GTEST_SKIP() << "this processor has no SHA instructions";
    }
    std::vector<uint8_t> bytes(kMiB + 256);
    uint32_t seed = 12345;
    for (uint8_t& b : bytes) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<uint8_t>(seed >> 16);
    }
    std::vector<size_t> sizes;
    for (size_t size = 0; size <= 200; ++size) {
        sizes.push_back(size);
    }
    for (size_t size : {kMiB - 1, kMiB, kMiB + 55, kMiB + 200}) {
        sizes.push_back(size);
    }
    for (size_t size : sizes) {
        for (size_t start : {0, 1, 7}) {
            uint8_t digest[20];
            downloader::Sha1WithProcessor(bytes.data() + start, size, digest);
            ASSERT_EQ(Hex(PlatformSha1(bytes.data() + start, size)),
                      Hex(std::string(reinterpret_cast<char*>(digest), 20)))
                << size << " bytes from " << start;
        }
    }
}

// Blocks of different sizes and contents through pipelines of one to three
// slots: every digest is the block's own, in the order the blocks went in,
// whether collected as soon as every slot is taken or only at the end.
TEST(BlockHashPipeline, DigestsComeBackInSubmissionOrder) {
    constexpr uint32_t kBlock = 4096;
    for (int slots = 1; slots <= 3; ++slots) {
        downloader::BlockHashPipeline pipeline;
        ASSERT_TRUE(pipeline.Init(slots, kBlock)) << slots;
        std::vector<std::string> expected;
        std::vector<std::string> got;
        auto collect = [&] {
            const downloader::BlockHashPipeline::Digest digest = pipeline.CollectOldest();
            EXPECT_TRUE(digest.ok);
            EXPECT_EQ(got.size(), digest.block) << slots;
            got.emplace_back(reinterpret_cast<const char*>(digest.bytes), 20);
        };
        for (uint32_t block = 0; block < 10; ++block) {
            if (pipeline.Full()) {
                collect();
            }
            const uint32_t size = kBlock - block * 300;
            uint8_t* buffer = pipeline.NextBuffer();
            for (uint32_t i = 0; i < size; ++i) {
                buffer[i] = static_cast<uint8_t>(i * 7 + block);
            }
            uint8_t digest[20];
            ASSERT_TRUE(downloader::Sha1Digest(buffer, size, digest));
            expected.emplace_back(reinterpret_cast<const char*>(digest), 20);
            pipeline.Submit(block, size);
        }
        while (!pipeline.Empty()) {
            collect();
        }
        EXPECT_EQ(expected, got) << slots;
    }
}

// Files are hashed where the package server keeps them, so that the
// reference digests come from the companion that the release tool writes.
class HashTaskTest : public testutil::ServerTest {
protected:
    void TearDown() override {
        if (file_ != INVALID_HANDLE_VALUE) {
            CloseHandle(file_);
        }
    }

    // Publishes `size` bytes as `name` with its companion; returns the
    // companion's block digests.
    std::vector<std::string> PublishWithDigests(const std::wstring& name, size_t size) {
        Publish(name, size);
        std::string path(name.begin(), name.end());
        EXPECT_TRUE(server.Control("meta?path=/" + path));
        const std::string meta = testutil::ReadFileBytes(server.FilePath(name + L".meta"));
        std::vector<std::string> digests;
        for (size_t at = 8; at + 20 <= meta.size(); at += 20) {
            digests.push_back(meta.substr(at, 20));
        }
        return digests;
    }

    HANDLE Open(const std::wstring& name, DWORD access = GENERIC_READ, int64_t offset = 0) {
        file_ = CreateFileW(server.FilePath(name).c_str(), access, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(INVALID_HANDLE_VALUE, file_);
        LARGE_INTEGER to;
        to.QuadPart = offset;
        EXPECT_TRUE(SetFilePointerEx(file_, to, nullptr, FILE_BEGIN));
        return file_;
    }

    HANDLE file_ = INVALID_HANDLE_VALUE;
};

TEST_F(HashTaskTest, EachBlockFromTheStartThenCompleted) {
    const auto expected = PublishWithDigests(L"hash.bin", 5 * kMiB / 2);
    ASSERT_EQ(3u, expected.size());
    Ref<HashRecorder> recorder(MakeRecorder<HashRecorder>());
    Ref<ITask> task(downloader::CreateHashTask(Open(L"hash.bin"), recorder.get()));
    ASSERT_TRUE(task);
    task->Start();
    ASSERT_TRUE(recorder->WaitDone());

    EXPECT_EQ(HashResult::Completed, recorder->outcome());
    EXPECT_EQ(1, recorder->completions());
    EXPECT_EQ(expected, recorder->digests());
    EXPECT_EQ("HC", recorder->sequence());
    // On a pool thread, the same one for every event of the task.
    EXPECT_NE(GetCurrentThreadId(), recorder->completionThread());
    for (DWORD thread : recorder->digestThreads()) {
        EXPECT_EQ(recorder->completionThread(), thread);
    }
    EXPECT_TRUE(testutil::WaitForRefCount(task.get(), 1));
    EXPECT_TRUE(testutil::WaitForRefCount(recorder.get(), 1));
}

TEST_F(HashTaskTest, StartsAtTheFilesPosition) {
    const auto expected = PublishWithDigests(L"hash.bin", 5 * kMiB / 2);
    Ref<HashRecorder> recorder(MakeRecorder<HashRecorder>());
    Ref<ITask> task(
        downloader::CreateHashTask(Open(L"hash.bin", GENERIC_READ, kMiB), recorder.get()));
    ASSERT_TRUE(task);
    task->Start();
    ASSERT_TRUE(recorder->WaitDone());
    EXPECT_EQ(HashResult::Completed, recorder->outcome());
    EXPECT_EQ(std::vector<std::string>(expected.begin() + 1, expected.end()), recorder->digests());
}

TEST_F(HashTaskTest, BlockCountFollowsTheLength) {
    const struct {
        size_t size;
        size_t digests;
    } cases[] = {{0, 0}, {1, 1}, {kMiB, 1}, {kMiB + 1, 2}, {2 * kMiB, 2}};
    for (const auto& c : cases) {
        const auto expected = PublishWithDigests(L"sizes.bin", c.size);
        ASSERT_EQ(c.digests, expected.size());
        Ref<HashRecorder> recorder(MakeRecorder<HashRecorder>());
        Ref<ITask> task(downloader::CreateHashTask(Open(L"sizes.bin"), recorder.get()));
        ASSERT_TRUE(task);
        task->Start();
        ASSERT_TRUE(recorder->WaitDone());
        EXPECT_EQ(HashResult::Completed, recorder->outcome()) << c.size;
        EXPECT_EQ(expected, recorder->digests()) << c.size;
        CloseHandle(file_);
        file_ = INVALID_HANDLE_VALUE;
    }
}

TEST_F(HashTaskTest, CancelInsideTheFirstDigestStops) {
    PublishWithDigests(L"hash.bin", 4 * kMiB);
    Ref<HashRecorder> recorder(MakeRecorder<HashRecorder>());
    Ref<ITask> task(downloader::CreateHashTask(Open(L"hash.bin"), recorder.get()));
    ASSERT_TRUE(task);
    recorder->CancelAtDigest(task.get(), 1);
    task->Start();
    ASSERT_TRUE(recorder->WaitDone());
    EXPECT_EQ(HashResult::Stopped, recorder->outcome());
    EXPECT_EQ(1u, recorder->digests().size());
    EXPECT_EQ(1, recorder->completions());
    // The file was not read past the first block.
    LARGE_INTEGER zero = {};
    LARGE_INTEGER position = {};
    ASSERT_TRUE(SetFilePointerEx(file_, zero, &position, FILE_CURRENT));
    EXPECT_EQ(static_cast<LONGLONG>(kMiB), position.QuadPart);
}

TEST_F(HashTaskTest, CancelBeforeStartHasNoEffect) {
    const auto expected = PublishWithDigests(L"hash.bin", 3 * kMiB);
    Ref<HashRecorder> recorder(MakeRecorder<HashRecorder>());
    Ref<ITask> task(downloader::CreateHashTask(Open(L"hash.bin"), recorder.get()));
    ASSERT_TRUE(task);
    task->Cancel();
    task->Start();
    ASSERT_TRUE(recorder->WaitDone());
    EXPECT_EQ(HashResult::Completed, recorder->outcome());
    EXPECT_EQ(expected, recorder->digests());
}

TEST_F(HashTaskTest, ASecondStartAndACancelAfterTheEndAreIgnored) {
    const auto expected = PublishWithDigests(L"hash.bin", 3 * kMiB);
    Ref<HashRecorder> recorder(MakeRecorder<HashRecorder>());
    Ref<ITask> task(downloader::CreateHashTask(Open(L"hash.bin"), recorder.get()));
    ASSERT_TRUE(task);
    task->Start();
    task->Start();
    ASSERT_TRUE(recorder->WaitDone());
    task->Start();
    task->Cancel();
    Sleep(100); // a wrongly queued second run would report within this time
    EXPECT_EQ(1, recorder->completions());
    EXPECT_EQ(expected, recorder->digests());
    EXPECT_FALSE(recorder->eventAfterComplete());
}

TEST_F(HashTaskTest, AHandleWithoutReadAccessFails) {
    PublishWithDigests(L"hash.bin", 2 * kMiB);
    Ref<HashRecorder> recorder(MakeRecorder<HashRecorder>());
    Ref<ITask> task(downloader::CreateHashTask(Open(L"hash.bin", GENERIC_WRITE), recorder.get()));
    ASSERT_TRUE(task);
    task->Start();
    ASSERT_TRUE(recorder->WaitDone());
    EXPECT_EQ(HashResult::Failed, recorder->outcome());
    EXPECT_TRUE(recorder->digests().empty());
}

TEST_F(HashTaskTest, AHashingFailureFails) {
    PublishWithDigests(L"hash.bin", 2 * kMiB);
    Ref<HashRecorder> recorder(MakeRecorder<HashRecorder>());
    Ref<ITask> task(downloader::CreateHashTask(Open(L"hash.bin"), recorder.get()));
    ASSERT_TRUE(task);
    {
        testutil::BrokenDefaultHashProvider broken;
        ASSERT_TRUE(broken.active());
        task->Start();
        ASSERT_TRUE(recorder->WaitDone());
    }
    EXPECT_EQ(HashResult::Failed, recorder->outcome());
    EXPECT_TRUE(recorder->digests().empty());
    uint8_t digest[20];
    EXPECT_TRUE(downloader::Sha1Digest("abc", 3, digest)) << "the provider setting came back";
}

TEST_F(HashTaskTest, AFileAtItsEndNeedsNoHashing) {
    PublishWithDigests(L"hash.bin", kMiB);
    Ref<HashRecorder> recorder(MakeRecorder<HashRecorder>());
    Ref<ITask> task(
        downloader::CreateHashTask(Open(L"hash.bin", GENERIC_READ, kMiB), recorder.get()));
    ASSERT_TRUE(task);
    {
        testutil::BrokenDefaultHashProvider broken;
        ASSERT_TRUE(broken.active());
        task->Start();
        ASSERT_TRUE(recorder->WaitDone());
    }
    EXPECT_EQ(HashResult::Completed, recorder->outcome());
    EXPECT_TRUE(recorder->digests().empty());
}

TEST_F(HashTaskTest, ReleasedRightAfterStartItStillCompletes) {
    const auto expected = PublishWithDigests(L"hash.bin", 3 * kMiB);
    Ref<HashRecorder> recorder(MakeRecorder<HashRecorder>());
    ITask* task = downloader::CreateHashTask(Open(L"hash.bin"), recorder.get());
    ASSERT_NE(nullptr, task);
    task->Start();
    task->Release();
    ASSERT_TRUE(recorder->WaitDone());
    EXPECT_EQ(HashResult::Completed, recorder->outcome());
    EXPECT_EQ(expected, recorder->digests());
    // The task let go of its callback when it ended.
    EXPECT_TRUE(testutil::WaitForRefCount(recorder.get(), 1));
}

TEST_F(HashTaskTest, NeverStartedItReleasesItsCallback) {
    Ref<HashRecorder> recorder(MakeRecorder<HashRecorder>());
    ITask* task = downloader::CreateHashTask(INVALID_HANDLE_VALUE, recorder.get());
    ASSERT_NE(nullptr, task);
    EXPECT_EQ(2, testutil::RefCount(recorder.get()));
    task->Release();
    EXPECT_EQ(1, testutil::RefCount(recorder.get()));
    EXPECT_EQ(0, recorder->completions());
    EXPECT_EQ(nullptr, downloader::CreateHashTask(INVALID_HANDLE_VALUE, nullptr));
}

} // namespace
