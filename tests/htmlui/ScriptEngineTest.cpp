// The script object driven by the platform's real JScript engine, hosted
// through IActiveScript with the object as the named item "external", the
// way a page reaches window.external.

#include "base/LogFile.h"
#include "base/Utf8.h"
#include "htmlui/MSHTMLExternal.h"
#include "htmlui/ScriptHost.h"
#include "tests/common/TestUtil.h"
#include "tests/htmlui/TestExternal.h"

#include <gtest/gtest.h>

#include <thread>

#include <algorithm>
#include <string>
#include <vector>

using htmltest::TestExternal;
using htmlui::ScriptHost;

namespace {

const DISPID Dynamic0 = static_cast<DISPID>(0x80000000u);

class ScriptEngine : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        comReady = true;
        object = new TestExternal(&log);
        host = new ScriptHost({{L"external", static_cast<IDispatchEx*>(object)}});
        ASSERT_TRUE(host->Ready()) << ToUtf8(host->lastError);
    }

    void TearDown() override {
        if (object) {
            EXPECT_TRUE(object->JoinWorkers(10000));
        }
        if (host) {
            EXPECT_EQ(0u, host->Close());
            EXPECT_EQ(0, host->SiteReferences());
            delete host;
        }
        if (object) {
            // The engine let go of every reference it took, functions included.
            EXPECT_EQ(0u, object->Release());
        }
        if (comReady) {
            CoUninitialize();
        }
    }

    // Runs script text; S_OK when it ran without an uncaught error.
    HRESULT Run(const wchar_t* code) { return host->Run(code); }

    std::string Errors() const { return host->Errors(); }

    LogFile log;
    bool comReady = false;
    TestExternal* object = nullptr;
    ScriptHost* host = nullptr;
};

TEST_F(ScriptEngine, PageCallsMethodsOfTheTable) {
    ASSERT_EQ(S_OK, Run(L"external.record(external.add(2, 3));\n"
                        L"external.download('http://packages.test/p.zip');\n"
                        L"var s = external.echo('h\\u00e9llo');\n"
                        L"external.recordText(s + '!');\n"))
        << Errors();
    EXPECT_EQ(std::vector<long>{5}, object->recorded);
    EXPECT_EQ((std::vector<std::wstring>{L"http://packages.test/p.zip", L"h\u00e9llo!"}),
              object->texts);
}

TEST_F(ScriptEngine, HandlerErrorsReachThePageAsExceptions) {
    ASSERT_EQ(S_OK,
              Run(L"function code(f) { try { f(); return 0; } catch (e) { return e.number; } }\n"
                  L"external.record(code(function () { var v = external.add(1.5, 2); }));\n"
                  L"external.record(code(function () { var v = external.add('1', 2); }));\n"
                  L"external.record(code(function () { var v = external.add(1); }));\n"
                  L"external.record(code(function () { external.add(1, 2); }));\n"
                  L"external.record(code(function () { external.record(); }));\n"
                  L"external.record(code(function () { external.download(7); }));\n"
                  L"external.record(code(function () { var v = external.record(1); }));\n"
                  L"external.record(code(function () { external.Record(1); }) != 0 ? 1 : 0);\n"
                  L"external.record(code(function () { var v = external.add(1, 2); }));\n"
                  L"external.record(code(function () { external.record(2147483648); }));\n"
                  L"external.record(code(function () { external.record(-1); }));\n"))
        << Errors();
    // A call whose value the page uses comes with flags 3, a statement with 1.
    const std::vector<long> expected = {
        DISP_E_TYPEMISMATCH,   // a fraction is no VT_I4
        DISP_E_TYPEMISMATCH,   // nor is a numeric string
        DISP_E_BADPARAMCOUNT,  // one argument short
        DISP_E_MEMBERNOTFOUND, // "add" returns a value: a statement call is refused
        DISP_E_BADPARAMCOUNT,  // no argument
        DISP_E_TYPEMISMATCH,   // a number where text is expected
        DISP_E_MEMBERNOTFOUND, // the value of a method that returns nothing
        1,                     // names are case-sensitive: "Record" is no method
        0,                     // a correct call
        DISP_E_TYPEMISMATCH,   // beyond 32 bits the engine passes a double
        -1,                    // recorded by the inner call...
        0,                     // ...which succeeded
    };
    EXPECT_EQ(expected, object->recorded);
}

TEST_F(ScriptEngine, ExpandoMembersAreAssignedReadAndDeleted) {
    ASSERT_EQ(S_OK, Run(L"external.x = 5;\n"
                        L"external.record(external.x);\n"
                        L"external.x = external.x + 1;\n"
                        L"external.record(external.x);\n"
                        L"external.label = 'ready';\n"
                        L"external.recordText(external.label);\n"))
        << Errors();
    EXPECT_EQ((std::vector<long>{5, 6}), object->recorded);
    ASSERT_EQ(2u, object->DynamicMemberCount());
    EXPECT_STREQ(L"x", object->DynamicMembers()[0].name);
    EXPECT_EQ(VT_I4, object->DynamicMembers()[0].value.vt);

    ASSERT_EQ(S_OK, Run(L"delete external.x;\n"
                        L"external.recordText(typeof external.x);\n"))
        << Errors();
    EXPECT_EQ((std::vector<std::wstring>{L"ready", L"undefined"}), object->texts);

    BSTR x = SysAllocString(L"x");
    DISPID id = 0;
    EXPECT_EQ(DISP_E_UNKNOWNNAME, object->GetDispID(x, 0, &id));
    EXPECT_EQ(-1, id);
    EXPECT_EQ(S_OK, object->GetDispID(x, fdexNameEnsure, &id));
    EXPECT_EQ(Dynamic0, id);
    EXPECT_EQ(VT_EMPTY, object->DynamicMembers()[0].value.vt);
    SysFreeString(x);

    // Assigned again from the page after deletion: the same row lives again.
    ASSERT_EQ(S_OK, Run(L"delete external.x; external.x = 9; external.record(external.x);"))
        << Errors();
    EXPECT_EQ((std::vector<long>{5, 6, 9}), object->recorded);
    EXPECT_EQ(2u, object->DynamicMemberCount());
}

TEST_F(ScriptEngine, ExpandoFunctionIsCalledWithTheArguments) {
    ASSERT_EQ(S_OK, Run(L"external.f = function (a, b) { external.record(a * 10 + b); };\n"
                        L"external.f(4, 2);\n"
                        L"external.n = 7;\n"
                        L"external.n(1);\n"
                        L"external.record(99);\n"
                        // A call whose value is used comes with flags 3: the
                        // stored function is still called and its value returned.
                        L"external.g = function (a, b) { return a * b; };\n"
                        L"var r = external.g(3, 4); external.record(r);\n"
                        // A value that is not a function cannot be called for its value.
                        L"try { var q = external.n(1); external.record(-1); }\n"
                        L"catch (e) { external.record(e.number); }\n"))
        << Errors();
    EXPECT_EQ((std::vector<long>{42, 99, 12, DISP_E_BADPARAMCOUNT}), object->recorded);
}

TEST_F(ScriptEngine, WorkerThreadCallsThePageFunctionBack) {
    ASSERT_EQ(S_OK, Run(L"external.runLater(function (v) { external.record(v); }, 3);\n"
                        L"external.runLater(function (v) { external.record(v * 100); }, 4);\n"))
        << Errors();
    // The calls arrive only while this (UI) thread pumps its messages.
    EXPECT_TRUE(object->recorded.empty());
    EXPECT_TRUE(htmltest::PumpUntil([this] { return object->recorded.size() == 2; }, 15000))
        << "callbacks seen: " << object->recorded.size();
    ASSERT_TRUE(object->JoinWorkers(10000));
    std::vector<long> seen = object->recorded;
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ((std::vector<long>{3, 400}), seen);
    EXPECT_EQ((std::vector<HRESULT>{S_OK, S_OK}), object->callbackResults);

    const std::string text = testutil::ReadFileBytes(log.path);
    size_t calls = 0;
    for (size_t at = text.find("DEBUG] call js callback."); at != std::string::npos;
         at = text.find("DEBUG] call js callback.", at + 1)) {
        ++calls;
    }
    EXPECT_EQ(2u, calls) << text;
    EXPECT_NE(std::string::npos, text.find("DEBUG] callJscallback return 0.")) << text;
}

TEST_F(ScriptEngine, FunctionThatThrowsReportsAFailureToTheWorker) {
    ASSERT_EQ(S_OK, Run(L"external.runLater(function (v) { external.record(v); throw 1; }, 5);"))
        << Errors();
    EXPECT_TRUE(htmltest::PumpUntil([this] { return !object->recorded.empty(); }, 15000));
    ASSERT_TRUE(object->JoinWorkers(10000));
    EXPECT_EQ(std::vector<long>{5}, object->recorded);
    ASSERT_EQ(1u, object->callbackResults.size());
    EXPECT_TRUE(FAILED(object->callbackResults[0]));
    char expected[64];
    snprintf(expected, sizeof expected, "DEBUG] callJscallback return %x.",
             static_cast<unsigned>(object->callbackResults[0]));
    EXPECT_NE(std::string::npos, testutil::ReadFileBytes(log.path).find(expected));
}

// An engine that cannot start (here: no COM on the thread, as for a
// caller that forgot it) leaves a host that says why and fails every call,
// instead of a host that crashes on its first use.
TEST(ScriptHostWithoutEngine, SaysWhyAndFailsEveryCall) {
    bool done = false;
    std::thread thread([&done] {
        LogFile log;
        TestExternal* object = new TestExternal(&log);
        {
            ScriptHost host({{L"external", static_cast<IDispatchEx*>(object)}});
            EXPECT_FALSE(host.Ready());
            EXPECT_EQ(L"the JScript engine is not available", host.lastError);
            VARIANT value;
            EXPECT_EQ(E_UNEXPECTED, host.Parse(L"var a = 1;"));
            EXPECT_EQ(E_UNEXPECTED, host.Run(L"external.record(1);"));
            EXPECT_EQ(E_UNEXPECTED, host.Evaluate(L"1 + 1", &value));
            EXPECT_EQ(VT_EMPTY, V_VT(&value));
            EXPECT_EQ(E_UNEXPECTED, host.Call(L"f"));
            EXPECT_EQ(0u, host.Close());
            EXPECT_TRUE(object->recorded.empty());
        }
        // The host let go of the object it was given.
        EXPECT_EQ(0u, object->Release());
        done = true;
    });
    thread.join();
    EXPECT_TRUE(done);
}

} // namespace
