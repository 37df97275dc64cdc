// The "download" and "install" workers: the page function passed in is
// called back on the UI thread with the step's result code, failures are
// recorded in the context, and a running worker keeps the object alive.

#include "base/InstallerContext.h"
#include "base/LogFile.h"
#include "tests/core/CoreTestSupport.h"
#include "tests/htmlui/FakeFunction.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

using coretest::ProbeExternal;
using coretest::ScriptHost;

namespace {

class Workers : public coretest::WorkerPageTest {
protected:
    // Runs a page call that starts a worker and pumps until the page function
    // ran; returns the code it received (-1 when it was not called).
    long CallAndWait(const std::wstring& call) {
        const LONG idle = object->References();
        EXPECT_EQ(S_OK, host->Run(L"got = -1; calls = 0; " + call)) << host->Errors();
        coretest::PumpUntil([this] { return host->Number(L"calls") > 0; }, 20000);
        // The worker lets go of its reference right after the call returns.
        coretest::PumpUntil([&] { return object->References() == idle; }, 5000);
        EXPECT_EQ(idle, object->References());
        return host->Number(L"calls") == 1 ? host->Number(L"got") : -1;
    }
};

TEST_F(Workers, DownloadResultReachesThePage) {
    std::wstring askedFor;
    DWORD workerThread = 0;
    object->download = [&](const std::wstring& url) {
        askedFor = url;
        workerThread = GetCurrentThreadId();
        return 0;
    };
    EXPECT_EQ(0, CallAndWait(L"external.download('http://packages.test/p.zip', done);"));
    EXPECT_EQ(L"http://packages.test/p.zip", askedFor);
    EXPECT_NE(0u, workerThread);
    EXPECT_NE(GetCurrentThreadId(), workerThread);
    EXPECT_EQ(0, context->failureStage);
    const std::string text = Log();
    EXPECT_NE(std::string::npos, text.find("DEBUG] QXDownload: http://packages.test/p.zip\n"));
    EXPECT_NE(std::string::npos, text.find("DEBUG] DownloadThreadFunc\n"));
    EXPECT_NE(std::string::npos, text.find("DEBUG] call js callback.\n"));
    EXPECT_NE(std::string::npos, text.find("DEBUG] callJscallback return 0.\n"));
    EXPECT_EQ(std::string::npos, text.find("Download fail"));
    // The page is called exactly once.
    coretest::PumpUntil([] { return false; }, 200);
    EXPECT_EQ(1, host->Number(L"calls"));
}

TEST_F(Workers, DownloadFailureIsRecordedAsStageOne) {
    object->SetDownloadedFilePath(L"C:\\temp\\dl\\Product_64bit.zip");
    for (int code : {1, 2, 3, 4, 6}) {
        object->download = [code](const std::wstring&) { return code; };
        context->failureStage = 0;
        context->failureCode = 0;
        EXPECT_EQ(code, CallAndWait(L"external.download('http://h/p.zip', done);"));
        EXPECT_EQ(1, context->failureStage);
        EXPECT_EQ(code, context->failureCode);
        char line[160];
        snprintf(line, sizeof line,
                 "ERROR] Download fail, download path : C:\\temp\\dl\\Product_64bit.zip, "
                 "download result : %d\n",
                 code);
        EXPECT_NE(std::string::npos, Log().find(line)) << line;
    }
    EXPECT_TRUE(object->PropertyLockFree());
}

TEST_F(Workers, InstallRecordsItsFailureStages) {
    struct Case {
        int installResult;
        bool programFound;
        int expectedStage; // -1: left as it was
        int expectedCode;
    };
    const Case cases[] = {
        {0, true, -1, 0}, {0, false, 3, 0}, {1, true, 2, 1},
        {2, true, -1, 0}, {3, true, 2, 3},  {4, false, 2, 4},
    };
    object->SetDownloadedFilePath(L"C:\\temp\\dl\\Product.zip");
    for (const Case& c : cases) {
        std::wstring gotPackage;
        std::wstring gotParameters;
        int programCalls = 0;
        object->install = [&](const std::wstring& package, const std::wstring& parameters) {
            gotPackage = package;
            gotParameters = parameters;
            return c.installResult;
        };
        object->startProgram = [&](std::wstring& path) {
            ++programCalls;
            if (c.programFound) {
                path = L"C:\\Program Files\\Brightcast\\brightcast.exe";
            }
            return c.programFound;
        };
        object->SetStartProgramPath(L"");
        context->failureStage = 5;
        context->failureCode = 77;
        EXPECT_EQ(c.installResult, CallAndWait(L"external.install('LANG=de', done);"));
        EXPECT_EQ(L"C:\\temp\\dl\\Product.zip", gotPackage);
        EXPECT_EQ(L"LANG=de", gotParameters);
        EXPECT_EQ(c.installResult == 0 ? 1 : 0, programCalls);
        EXPECT_EQ(c.expectedStage < 0 ? 5 : c.expectedStage, context->failureStage)
            << c.installResult;
        EXPECT_EQ(c.expectedStage < 0 ? 77 : c.expectedCode, context->failureCode)
            << c.installResult;
        EXPECT_EQ(c.installResult == 0 && c.programFound
                      ? L"C:\\Program Files\\Brightcast\\brightcast.exe"
                      : L"",
                  object->StartProgramPath());
    }
    const std::string text = Log();
    EXPECT_EQ(1u, coretest::Count(text, "ERROR] GetInstalledStartProgram failed\n")) << text;
    EXPECT_EQ(6u, coretest::Count(text, "DEBUG] QXInstall: LANG=de\n"));
    EXPECT_EQ(6u, coretest::Count(text, "DEBUG] InstallThreadFunc\n"));
}

TEST_F(Workers, DefaultStepsInstallNothing) {
    context->failureStage = 0;
    EXPECT_EQ(2, CallAndWait(L"external.install('', done);"));
    EXPECT_EQ(0, context->failureStage);
    EXPECT_EQ(L"", object->StartProgramPath());
}

TEST_F(Workers, TheInstallTakesThePackagePathOfTheCallNotOfLater) {
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::wstring gotPackage;
    object->install = [&](const std::wstring& package, const std::wstring&) {
        WaitForSingleObject(release, 20000);
        gotPackage = package;
        return 0;
    };
    object->SetDownloadedFilePath(L"C:\\first.zip");
    const LONG idle = object->References();
    ASSERT_EQ(S_OK, host->Run(L"external.install('', done);")) << host->Errors();
    object->SetDownloadedFilePath(L"C:\\second.zip");
    SetEvent(release);
    EXPECT_TRUE(coretest::PumpUntil([this] { return host->Number(L"calls") == 1; }, 20000));
    EXPECT_EQ(L"C:\\first.zip", gotPackage);
    EXPECT_TRUE(coretest::PumpUntil([&] { return object->References() == idle; }, 5000));
    CloseHandle(release);
}

TEST_F(Workers, RunningWorkerKeepsTheObjectAlive) {
    HANDLE started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    object->download = [&](const std::wstring&) {
        SetEvent(started);
        WaitForSingleObject(release, 20000);
        return 4;
    };
    const LONG idle = object->References();
    ASSERT_EQ(S_OK, host->Run(L"external.download('http://h/p.zip', done);")) << host->Errors();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(started, 20000));
    // The work item holds its own reference while the step runs.
    EXPECT_EQ(idle + 1, object->References());

    // Every outside reference goes: the page engine's and the owner's.
    host->Close();
    ProbeExternal::destroyedOnThread = 0;
    const LONG left = static_cast<LONG>(object->Release());
    EXPECT_EQ(1, left);
    EXPECT_EQ(1, ProbeExternal::live.load());
    ProbeExternal* running = object;
    object = nullptr; // the worker owns the last reference now

    SetEvent(release);
    // The worker calls back (the page is gone, which it survives) and drops
    // the last reference on its own thread.
    EXPECT_TRUE(coretest::PumpUntil([] { return ProbeExternal::live.load() == 0; }, 20000));
    EXPECT_NE(0u, ProbeExternal::destroyedOnThread.load());
    EXPECT_NE(GetCurrentThreadId(), ProbeExternal::destroyedOnThread.load());
    // The worker thread ends without touching the destroyed object: its pages
    // are inaccessible now, so any touch would have faulted.
    ASSERT_NE(nullptr, ProbeExternal::destroyingThread);
    bool ended = false;
    coretest::PumpUntil(
        [&] { return ended = WaitForSingleObject(ProbeExternal::destroyingThread, 0) == 0; },
        20000);
    EXPECT_TRUE(ended);
    DWORD exitCode = 1;
    GetExitCodeThread(ProbeExternal::destroyingThread, &exitCode);
    EXPECT_EQ(0u, exitCode);
    (void)running;
    const std::string text = Log();
    EXPECT_NE(std::string::npos, text.find("ERROR] Download fail")) << text;
    EXPECT_NE(std::string::npos, text.find("DEBUG] callJscallback return ")) << text;
    CloseHandle(started);
    CloseHandle(release);
}

// A page function that cannot be marshalled, or whose marshalled form cannot
// be taken out again on the worker.
class UnmarshallableFunction : public IDispatch, public IMarshal {
public:
    explicit UnmarshallableFunction(bool refuseMarshal) : refuse(refuseMarshal) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (iid == IID_IUnknown || iid == IID_IDispatch) {
            *object = static_cast<IDispatch*>(this);
        } else if (iid == IID_IMarshal) {
            *object = static_cast<IMarshal*>(this);
        } else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs); }
    ULONG STDMETHODCALLTYPE Release() override { return InterlockedDecrement(&refs); }

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        ++invoked;
        return S_OK;
    }

    // Custom marshalling with an unmarshal class nobody registered.
    HRESULT STDMETHODCALLTYPE GetUnmarshalClass(REFIID, void*, DWORD, void*, DWORD,
                                                CLSID* clsid) override {
        *clsid = {0x5c7a0d11, 0x2f4e, 0x4b8a, {0x9d, 0x31, 0x7e, 0x52, 0x0c, 0x6b, 0x44, 0x19}};
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetMarshalSizeMax(REFIID, void*, DWORD, void*, DWORD,
                                                DWORD* size) override {
        *size = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE MarshalInterface(IStream*, REFIID, void*, DWORD, void*,
                                               DWORD) override {
        return refuse ? E_ACCESSDENIED : S_OK;
    }
    HRESULT STDMETHODCALLTYPE UnmarshalInterface(IStream*, REFIID, void**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ReleaseMarshalData(IStream*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE DisconnectObject(DWORD) override { return S_OK; }

    bool refuse;
    LONG refs = 1;
    int invoked = 0;
};

HRESULT InvokeWithCallback(IDispatch* object, DISPID id, const wchar_t* text, IDispatch* callback) {
    VARIANT args[2];
    VariantInit(&args[1]);
    args[1].vt = VT_BSTR;
    args[1].bstrVal = SysAllocString(text);
    VariantInit(&args[0]);
    args[0].vt = VT_DISPATCH;
    args[0].pdispVal = callback;
    DISPPARAMS params = {args, nullptr, 2, 0};
    const HRESULT hr =
        object->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
    SysFreeString(args[1].bstrVal);
    return hr;
}

TEST_F(Workers, ACallbackThatCannotBeMarshalledIsAScriptError) {
    UnmarshallableFunction function(true);
    bool stepRan = false;
    object->download = [&](const std::wstring&) { return stepRan = true, 0; };
    const LONG idle = object->References();
    EXPECT_EQ(E_ACCESSDENIED, InvokeWithCallback(object, 3, L"http://h/p.zip", &function));
    EXPECT_EQ(E_ACCESSDENIED, InvokeWithCallback(object, 4, L"/quiet", &function));
    EXPECT_EQ(idle, object->References());
    coretest::PumpUntil([] { return false; }, 200);
    EXPECT_FALSE(stepRan);
    const std::string text = Log();
    EXPECT_NE(std::string::npos,
              text.find("ERROR] QXDownload: CoMarshalInterThreadInterfaceInStream failed with "
                        "80070005\n"))
        << text;
    EXPECT_NE(std::string::npos,
              text.find("DEBUG] QXInstall: CoMarshalInterThreadInterfaceInStream failed with "
                        "80070005\n"))
        << text;
    EXPECT_EQ(std::string::npos, text.find("ThreadFunc"));
}

TEST_F(Workers, ACallbackThatCannotBeTakenOutIsNeverCalled) {
    UnmarshallableFunction function(false);
    bool stepRan = false;
    object->download = [&](const std::wstring&) { return stepRan = true, 0; };
    object->install = [&](const std::wstring&, const std::wstring&) { return stepRan = true, 0; };
    const LONG idle = object->References();
    EXPECT_EQ(S_OK, InvokeWithCallback(object, 3, L"http://h/p.zip", &function));
    EXPECT_EQ(S_OK, InvokeWithCallback(object, 4, L"/quiet", &function));
    // Both workers end, dropping their references, without running their step.
    EXPECT_TRUE(coretest::PumpUntil(
        [&] {
            const std::string text = Log();
            return coretest::Count(text, "CoGetInterfaceAndReleaseStream  failed with: ") == 2 &&
                   object->References() == idle;
        },
        20000))
        << Log();
    EXPECT_FALSE(stepRan);
    EXPECT_EQ(0, function.invoked);
    const std::string text = Log();
    EXPECT_NE(std::string::npos,
              text.find("ERROR] DownloadThreadFunc CoGetInterfaceAndReleaseStream  failed with: "));
    EXPECT_NE(std::string::npos,
              text.find("ERROR] InstallThreadFunc CoGetInterfaceAndReleaseStream  failed with: "));
    EXPECT_EQ(std::string::npos, text.find("call js callback."));
}

// A run's end closes the page once no worker is left. By then each worker
// has let go of the page function it was handed (through this apartment), so
// the engine closes with nothing of the page still held from outside.
TEST_F(Workers, AFinishedWorkerNoLongerHoldsThePageFunction) {
    htmltest::FakeFunction function(false);
    function.AddRef(); // the page's own reference
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    object->download = [&](const std::wstring&) {
        WaitForSingleObject(release, 20000);
        return 0;
    };
    ASSERT_EQ(S_OK, InvokeWithCallback(object, 3, L"http://h/p.zip", &function));
    EXPECT_LT(1, function.refs) << "held for the worker while its step runs";
    SetEvent(release);
    EXPECT_TRUE(coretest::PumpUntil([this] { return object->RunningWorkers() == 0; }, 20000));
    ASSERT_EQ(1u, function.calls.size());
    EXPECT_EQ(1, function.refs);
    CloseHandle(release);
}

} // namespace
