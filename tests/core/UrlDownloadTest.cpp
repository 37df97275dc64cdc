// The URL-moniker download: the holder that writes the pulled data, the
// progress callback and the message pump, played against real files by a
// binding double that delivers every notification from the transfer thread's
// own message queue, as the platform's moniker does. (This platform's pulled
// stream is a stub, so the real call is only checked for its answer.)

#include "base/InstallerContext.h"
#include "base/LogFile.h"
#include "tests/common/TestUtil.h"
#include "tests/core/BindingDouble.h"
#include "tests/core/CoreTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using coretest::BindingDouble;
using coretest::BindStep;
using coretest::ProbeExternal;
using downloadmanagercore::BSCHolder;
using downloadmanagercore::DownloadCallback;

namespace {

const wchar_t kUrl[] = L"http://packages.test/files/Product_64bit.zip";

// Fills the file system of `folder` to the last byte; the filler goes away
// with the object.
class FullDisk {
public:
    explicit FullDisk(const std::wstring& folder) : path_(folder + L"filler.bin") {
        HANDLE file = CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return;
        }
        std::string block(1 << 20, 'f');
        for (DWORD size = 1 << 20; size > 0; size /= 2) {
            DWORD written = 0;
            while (WriteFile(file, block.data(), size, &written, nullptr) && written == size) {
            }
        }
        CloseHandle(file);
    }
    ~FullDisk() { DeleteFileW(path_.c_str()); }
    FullDisk(const FullDisk&) = delete;
    FullDisk& operator=(const FullDisk&) = delete;

    static bool NoFreeBytes(const std::wstring& folder) {
        ULARGE_INTEGER free;
        return GetDiskFreeSpaceExW(folder.c_str(), nullptr, nullptr, &free) && free.QuadPart == 0;
    }

private:
    std::wstring path_;
};

LONGLONG FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return -1;
    }
    return (static_cast<LONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// What one played transfer gave.
struct Transfer {
    HRESULT hr = E_UNEXPECTED;
    bool dataSeen = false;
    bool quitSeen = false;
    WPARAM quitCode = 0;
    DWORD elapsedMs = 0;
    BindingDouble* binding = nullptr; // referenced; released by the fixture
};

class UrlDownload : public coretest::ObjectTest {
protected:
    void SetUp() override {
        ObjectTest::SetUp();
        target = scratch / L"Product_64bit.zip";
    }

    void TearDown() override {
        for (BindingDouble* binding : bindings) {
            binding->Release();
        }
        BindingDouble::planned = nullptr;
        ObjectTest::TearDown();
    }

    // Plays `steps` through DownloadUrlToFileWith on a worker thread, as the
    // download worker runs it; then lets that thread pump a little longer, so
    // that notifications the double sends late (after an abort) arrive too.
    Transfer Play(const std::vector<BindStep>& steps, const std::wstring& path,
                  DWORD stallLimitMs = downloadmanagercore::kBindStallLimitMs) {
        Transfer transfer;
        transfer.binding = new BindingDouble(steps, path);
        bindings.push_back(transfer.binding);
        BindingDouble::planned = transfer.binding;
        const bool ended = coretest::RunOnWorkerThread([&] {
            DownloadCallback progress(object);
            const ULONGLONG start = GetTickCount64();
            transfer.hr = downloadmanagercore::DownloadUrlToFileWith(BindingDouble::Open, kUrl,
                                                                     path, progress, stallLimitMs);
            transfer.elapsedMs = static_cast<DWORD>(GetTickCount64() - start);
            transfer.dataSeen = progress.dataSeen;
            MSG msg;
            if (PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
                transfer.quitSeen = true;
                transfer.quitCode = msg.wParam;
            }
            BindingDouble* binding = transfer.binding;
            coretest::PumpUntil([binding] { return binding->stopped || !binding->opened; }, 2000);
        });
        EXPECT_TRUE(ended) << "the transfer did not end";
        return transfer;
    }

    testutil::ScratchFolder scratch;
    std::wstring target;
    std::vector<BindingDouble*> bindings;
};

TEST_F(UrlDownload, ShortDeliveryIsSizedFirstThenCutAndGivesOne) {
    const std::string content = coretest::Pattern(400);
    const Transfer t = Play(
        {coretest::StartStep(), coretest::ProgressStep(BINDSTATUS_BEGINDOWNLOADDATA, 0, 1000),
         coretest::ObserveStep(), coretest::ProgressStep(BINDSTATUS_DOWNLOADINGDATA, 400, 1000),
         coretest::DataStep(content), coretest::ProgressStep(BINDSTATUS_ENDDOWNLOADDATA, 400, 1000),
         coretest::StopStep(S_OK)},
        target);
    EXPECT_EQ(S_FALSE, t.hr);
    EXPECT_EQ(kUrl, t.binding->url);
    EXPECT_NE(GetCurrentThreadId(), t.binding->thread);
    ASSERT_EQ(1u, t.binding->fileSizes.size());
    EXPECT_EQ(1000, t.binding->fileSizes[0]); // the announced size, reserved at once
    EXPECT_EQ(content, testutil::ReadFileBytes(target));
    EXPECT_EQ(std::vector<HRESULT>{S_OK}, t.binding->dataResults);
    EXPECT_EQ((std::vector<HRESULT>{S_OK, E_PENDING}), t.binding->readResults);
    EXPECT_EQ(S_OK, t.binding->startResult);
    EXPECT_TRUE(t.dataSeen);
    EXPECT_FALSE(t.binding->aborted);
    EXPECT_EQ(L"1000", context->properties[L"downloadTotal"]);
    EXPECT_EQ(L"400", context->properties[L"downloadCurrent"]);
    // The default download reports this as an other failure, not retried.
    EXPECT_EQ(1, object->TransferDownloadError(t.hr));
}

TEST_F(UrlDownload, CompleteDeliveryInPiecesSucceeds) {
    // More than the copy buffer per delivery: reads answer S_OK, then E_PENDING
    // when the delivery is used up, and S_FALSE at the end.
    const std::string first = coretest::Pattern(20000, 'a');
    const std::string second = coretest::Pattern(5000, 'k');
    const Transfer t =
        Play({coretest::StartStep(), coretest::ProgressStep(BINDSTATUS_BEGINDOWNLOADDATA, 0, 25000),
              coretest::DataStep(first, E_PENDING),
              coretest::ProgressStep(BINDSTATUS_DOWNLOADINGDATA, 20000, 25000),
              coretest::DataStep(second, S_FALSE, true),
              coretest::ProgressStep(BINDSTATUS_ENDDOWNLOADDATA, 25000, 25000),
              coretest::StopStep(S_OK)},
             target);
    EXPECT_EQ(S_OK, t.hr);
    EXPECT_EQ(first + second, testutil::ReadFileBytes(target));
    EXPECT_EQ((std::vector<HRESULT>{S_OK, S_OK, S_OK, E_PENDING, S_FALSE}), t.binding->readResults);
    EXPECT_EQ((std::vector<HRESULT>{S_OK, S_OK}), t.binding->dataResults);
    EXPECT_EQ(L"25000", context->properties[L"downloadCurrent"]);
    EXPECT_EQ(0, object->TransferDownloadError(t.hr));
}

TEST_F(UrlDownload, WithoutALengthNothingIsReserved) {
    const std::string content = coretest::Pattern(9000);
    const Transfer t = Play(
        {coretest::StartStep(), coretest::ProgressStep(BINDSTATUS_BEGINDOWNLOADDATA, 0, 0),
         coretest::ObserveStep(), coretest::DataStep(content, S_FALSE), coretest::StopStep(S_OK)},
        target);
    EXPECT_EQ(S_OK, t.hr);
    ASSERT_EQ(1u, t.binding->fileSizes.size());
    EXPECT_EQ(0, t.binding->fileSizes[0]);
    EXPECT_EQ(content, testutil::ReadFileBytes(target));
    // No downloading-data progress came: the attempt saw no data.
    EXPECT_FALSE(t.dataSeen);
}

TEST_F(UrlDownload, AFailedTransferKeepsWhatWasWritten) {
    const std::string content = coretest::Pattern(300);
    const Transfer t =
        Play({coretest::StartStep(), coretest::ProgressStep(BINDSTATUS_BEGINDOWNLOADDATA, 0, 1000),
              coretest::ProgressStep(BINDSTATUS_DOWNLOADINGDATA, 300, 1000),
              coretest::DataStep(content), coretest::StopStep(INET_E_CONNECTION_TIMEOUT)},
             target);
    EXPECT_EQ(INET_E_CONNECTION_TIMEOUT, t.hr);
    EXPECT_EQ(content, testutil::ReadFileBytes(target)); // cut from 1000 to the written 300
    EXPECT_TRUE(t.dataSeen);
    EXPECT_EQ(4, object->TransferDownloadError(t.hr));
}

TEST_F(UrlDownload, AWriteOnAFullDiskIsTheResult) {
    const std::wstring smallDisk = testutil::SmallDiskFolder();
    if (smallDisk.empty()) {
        GTEST_SKIP() << "no small file system mounted (BC_SMALL_DISK unset)";
    }
    const std::wstring path = smallDisk + L"Product_64bit.zip";
    std::vector<HRESULT> dataResults;
    HRESULT hr;
    {
        FullDisk full(smallDisk);
        ASSERT_TRUE(FullDisk::NoFreeBytes(smallDisk));
        const Transfer t = Play({coretest::StartStep(),
                                 coretest::ProgressStep(BINDSTATUS_BEGINDOWNLOADDATA, 0, 100000),
                                 coretest::DataStep(coretest::Pattern(100000)),
                                 coretest::DataStep(coretest::Pattern(100)),
                                 coretest::StopStep(INET_E_DOWNLOAD_FAILURE)},
                                path);
        hr = t.hr;
        dataResults = t.binding->dataResults;
        // The binding was told to abort and stopped with its own code, which
        // does not replace the write's.
        EXPECT_TRUE(t.binding->stopped);
        EXPECT_EQ(S_OK, t.binding->stopResult);
        EXPECT_EQ(3, object->TransferDownloadError(hr));
        DeleteFileW(path.c_str());
    }
    EXPECT_EQ(static_cast<HRESULT>(0x80070070), hr);
    EXPECT_EQ(std::vector<HRESULT>{E_ABORT}, dataResults);
}

TEST_F(UrlDownload, QuitDuringTheTransferStopsItAndIsPostedAgain) {
    const Transfer t =
        Play({coretest::StartStep(), coretest::ProgressStep(BINDSTATUS_BEGINDOWNLOADDATA, 0, 1000),
              coretest::ProgressStep(BINDSTATUS_DOWNLOADINGDATA, 100, 1000),
              coretest::DataStep(coretest::Pattern(100)), coretest::QuitStep(7),
              coretest::DataStep(coretest::Pattern(100, 'q')), coretest::StopStep(S_OK)},
             target);
    EXPECT_EQ(E_PENDING, t.hr);
    EXPECT_TRUE(t.quitSeen);
    EXPECT_EQ(7u, t.quitCode);
    // The transfer was abandoned: the binding aborted, the file keeps only
    // what was written, and nothing arrived after the quit.
    EXPECT_TRUE(t.binding->aborted);
    EXPECT_EQ(coretest::Pattern(100), testutil::ReadFileBytes(target));
    EXPECT_EQ(1u, t.binding->dataResults.size());
    EXPECT_EQ(1, object->TransferDownloadError(t.hr));
}

TEST_F(UrlDownload, ASilentBindingIsGivenUpAsATimeOut) {
    const Transfer t =
        Play({coretest::StartStep(), coretest::ProgressStep(BINDSTATUS_BEGINDOWNLOADDATA, 0, 1000),
              coretest::DataStep(coretest::Pattern(50)), coretest::SilenceStep()},
             target, 300);
    EXPECT_EQ(INET_E_CONNECTION_TIMEOUT, t.hr);
    EXPECT_GE(t.elapsedMs, 250u);
    EXPECT_LT(t.elapsedMs, 10000u);
    EXPECT_TRUE(t.binding->aborted);
    EXPECT_EQ(coretest::Pattern(50), testutil::ReadFileBytes(target));
    EXPECT_EQ(4, object->TransferDownloadError(t.hr));
}

TEST_F(UrlDownload, AStartThatFailsIsTheResult) {
    ASSERT_TRUE(testutil::WriteFileBytes(target, "left from an earlier attempt"));
    BindingDouble* binding = new BindingDouble({}, target);
    bindings.push_back(binding);
    binding->openResult = INET_E_UNKNOWN_PROTOCOL;
    BindingDouble::planned = binding;
    DownloadCallback progress(object);
    EXPECT_EQ(INET_E_UNKNOWN_PROTOCOL, downloadmanagercore::DownloadUrlToFileWith(
                                           BindingDouble::Open, kUrl, target, progress));
    EXPECT_FALSE(binding->opened);
    // Every attempt starts from an empty file.
    EXPECT_EQ(0, FileSize(target));
}

TEST_F(UrlDownload, ATargetThatCannotBeCreatedIsTheResult) {
    BindingDouble* binding = new BindingDouble({coretest::StopStep(S_OK)}, target);
    bindings.push_back(binding);
    BindingDouble::planned = binding;
    DownloadCallback progress(object);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND),
              downloadmanagercore::DownloadUrlToFileWith(
                  BindingDouble::Open, kUrl, scratch / L"missing\\Product.zip", progress));
    EXPECT_EQ(L"", binding->url); // the transfer was never started
}

TEST_F(UrlDownload, ThePlatformsPulledStreamIsAStubHere) {
    // This platform answers E_NOTIMPL at once, without a notification.
    DownloadCallback progress(object);
    HRESULT hr = E_UNEXPECTED;
    ASSERT_TRUE(coretest::RunOnWorkerThread(
        [&] { hr = downloadmanagercore::DownloadUrlToFile(kUrl, target, progress); }));
    EXPECT_EQ(E_NOTIMPL, hr);
    EXPECT_FALSE(progress.dataSeen);
    EXPECT_EQ(0, FileSize(target));

    // So the default download ends with 1 after a single attempt.
    int code = -1;
    ASSERT_TRUE(coretest::RunOnWorkerThread([&] { code = object->DownloadPackage(kUrl); }));
    EXPECT_EQ(1, code);
    EXPECT_EQ(1, object->attemptsMade);
    EXPECT_EQ(object->DownloadFolder() + L"Product_64bit.zip", object->DownloadedFilePath());
    EXPECT_EQ(1u, coretest::Count(Log(), "DEBUG] TransferDownloadError HRESULT: 80004001\n"))
        << Log();
}

// An inner callback that records what the holder forwards to it.
class RecordingCallback final : public IBindStatusCallback {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }
    HRESULT STDMETHODCALLTYPE OnStartBinding(DWORD, IBinding*) override {
        calls.push_back("start");
        return 0x10;
    }
    HRESULT STDMETHODCALLTYPE GetPriority(LONG* priority) override {
        calls.push_back("priority");
        *priority = 5;
        return 0x11;
    }
    HRESULT STDMETHODCALLTYPE OnLowResource(DWORD) override {
        calls.push_back("low");
        return 0x12;
    }
    HRESULT STDMETHODCALLTYPE OnProgress(ULONG progress, ULONG, ULONG status, LPCWSTR) override {
        calls.push_back("progress " + std::to_string(status) + " " + std::to_string(progress));
        return 0x13;
    }
    HRESULT STDMETHODCALLTYPE OnStopBinding(HRESULT hr, LPCWSTR) override {
        char text[32];
        snprintf(text, sizeof text, "stop %lx", static_cast<unsigned long>(hr));
        calls.push_back(text);
        return 0x14;
    }
    HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD*, BINDINFO*) override {
        calls.push_back("bindinfo");
        return 0x15;
    }
    HRESULT STDMETHODCALLTYPE OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override {
        calls.push_back("data");
        return 0x16;
    }
    HRESULT STDMETHODCALLTYPE OnObjectAvailable(REFIID, IUnknown*) override {
        calls.push_back("object");
        return 0x17;
    }
    LONG refs = 1;
    std::vector<std::string> calls;
};

TEST(BSCHolder, CountsReferencesAndForwardsToItsInnerCallback) {
    testutil::ScratchFolder scratch;
    HANDLE file = CreateFileW((scratch / L"f.bin").c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    RecordingCallback inner;
    BSCHolder* holder = new BSCHolder(file, &inner);
    EXPECT_EQ(2, inner.refs);
    EXPECT_EQ(E_PENDING, holder->Result());

    EXPECT_EQ(E_POINTER, holder->QueryInterface(IID_IUnknown, nullptr));
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, holder->QueryInterface(IID_IStream, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(S_OK, holder->QueryInterface(IID_IBindStatusCallback, &out));
    EXPECT_EQ(static_cast<IBindStatusCallback*>(holder), out);
    EXPECT_EQ(S_OK, holder->QueryInterface(IID_IUnknown, &out));
    EXPECT_EQ(2u, holder->Release());
    EXPECT_EQ(1u, holder->Release());

    LONG priority = 0;
    DWORD bindFlags = 0;
    BINDINFO info = {};
    info.cbSize = sizeof info;
    EXPECT_EQ(0x10, holder->OnStartBinding(0, nullptr));
    EXPECT_EQ(0x11, holder->GetPriority(&priority));
    EXPECT_EQ(5, priority);
    EXPECT_EQ(0x12, holder->OnLowResource(0));
    EXPECT_EQ(0x13, holder->OnProgress(7, 0, BINDSTATUS_DOWNLOADINGDATA, nullptr));
    EXPECT_EQ(0x15, holder->GetBindInfo(&bindFlags, &info));
    EXPECT_EQ(E_NOTIMPL, holder->OnObjectAvailable(IID_IUnknown, nullptr));
    // Data goes to the file, not to the inner callback.
    EXPECT_EQ(E_INVALIDARG, holder->OnDataAvailable(0, 0, nullptr, nullptr));
    // A success that ended early is forwarded as the changed result.
    LARGE_INTEGER size;
    size.QuadPart = 10;
    ASSERT_TRUE(SetFilePointerEx(file, size, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(file));
    size.QuadPart = 4;
    ASSERT_TRUE(SetFilePointerEx(file, size, nullptr, FILE_BEGIN));
    EXPECT_EQ(0x14, holder->OnStopBinding(S_OK, nullptr));
    EXPECT_EQ(S_FALSE, holder->Result());
    EXPECT_EQ(
        (std::vector<std::string>{"start", "priority", "low",
                                  "progress " + std::to_string(BINDSTATUS_DOWNLOADINGDATA) + " 7",
                                  "bindinfo", "stop 1"}),
        inner.calls);

    // Once detached it touches neither the file nor the inner callback, and
    // its result no longer changes.
    holder->Detach(E_FAIL);
    EXPECT_EQ(1, inner.refs);
    EXPECT_EQ(S_FALSE, holder->Result());
    EXPECT_EQ(E_NOTIMPL, holder->OnProgress(1, 2, BINDSTATUS_BEGINDOWNLOADDATA, nullptr));
    EXPECT_EQ(S_OK, holder->OnStopBinding(E_ABORT, nullptr));
    EXPECT_EQ(S_FALSE, holder->Result());
    EXPECT_EQ(6u, inner.calls.size());
    EXPECT_EQ(0u, holder->Release());
    CloseHandle(file);
    EXPECT_EQ(4, FileSize(scratch / L"f.bin"));
}

TEST(BSCHolder, WithoutAnInnerCallbackForwardingAnswersNotImplemented) {
    BSCHolder* holder = new BSCHolder(INVALID_HANDLE_VALUE, nullptr);
    LONG priority = 0;
    EXPECT_EQ(E_NOTIMPL, holder->OnStartBinding(0, nullptr));
    EXPECT_EQ(E_NOTIMPL, holder->GetPriority(&priority));
    EXPECT_EQ(E_NOTIMPL, holder->OnLowResource(0));
    EXPECT_EQ(E_NOTIMPL, holder->OnProgress(0, 0, BINDSTATUS_CONNECTING, nullptr));
    EXPECT_EQ(E_NOTIMPL, holder->GetBindInfo(nullptr, nullptr));
    EXPECT_EQ(0u, holder->Release());
}

TEST_F(UrlDownload, ProgressCallbackPassesTotalsAndNotesData) {
    DownloadCallback progress(object);
    EXPECT_EQ(2u, progress.AddRef());
    EXPECT_EQ(1u, progress.Release());
    void* out = nullptr;
    EXPECT_EQ(S_OK, progress.QueryInterface(IID_IBindStatusCallback, &out));
    EXPECT_EQ(static_cast<IBindStatusCallback*>(&progress), out);
    EXPECT_EQ(E_NOINTERFACE, progress.QueryInterface(IID_IBinding, &out));
    EXPECT_EQ(nullptr, out);

    struct Case {
        ULONG status;
        ULONG progress;
        ULONG max;
        const wchar_t* total;
        const wchar_t* current;
        bool dataSeen;
    };
    const Case cases[] = {
        {BINDSTATUS_CONNECTING, 5, 9, L"1", L"0", false},
        {BINDSTATUS_BEGINDOWNLOADDATA, 0, 5000, L"5000", L"0", false},
        {BINDSTATUS_MIMETYPEAVAILABLE, 77, 88, L"5000", L"0", false},
        {BINDSTATUS_DOWNLOADINGDATA, 1200, 5000, L"5000", L"1200", true},
        {BINDSTATUS_ENDDOWNLOADDATA, 5000, 5000, L"5000", L"5000", true},
        // Beyond the signed 32-bit range the text wraps, as the page's
        // properties are 32-bit numbers.
        {BINDSTATUS_BEGINDOWNLOADDATA, 0, 0x80000000u, L"-2147483648", L"5000", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(S_OK, progress.OnProgress(c.progress, c.max, c.status, nullptr));
        EXPECT_EQ(c.total, context->properties[L"downloadTotal"]) << c.status;
        EXPECT_EQ(c.current, context->properties[L"downloadCurrent"]) << c.status;
        EXPECT_EQ(c.dataSeen, progress.dataSeen) << c.status;
    }
    LONG priority = 42;
    EXPECT_EQ(S_OK, progress.GetPriority(&priority));
    EXPECT_EQ(42, priority);
    EXPECT_EQ(S_OK, progress.OnStopBinding(E_FAIL, nullptr));
    EXPECT_EQ(S_OK, progress.OnObjectAvailable(IID_IUnknown, nullptr));
}

} // namespace
