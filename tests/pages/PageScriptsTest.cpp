// The page set as the program carries it: packed into this test program,
// unpacked by the payload reader, its scripts compiled by the platform's own
// JScript engine, and the installing flow run there against a stand-in that
// keeps the program's call rules.

#include "base/LogFile.h"
#include "base/Utf8.h"
#include "htmlui/ScriptHost.h"
#include "payload/PayloadArchive.h"
#include "tests/common/TestUtil.h"
#include "tests/pages/FakeScriptObject.h"
#include "tests/pages/InlineScripts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using htmlui::ScriptHost;
using pagetest::FakeScriptObject;
using pagetest::InlineScripts;

namespace {

std::wstring FromUtf8(const std::string& bytes) {
    return ::FromUtf8(bytes.data(), bytes.size());
}

std::wstring Widen(const char* text) {
    std::wstring wide;
    for (const char* c = text; *c; ++c) {
        wide += static_cast<wchar_t>(static_cast<unsigned char>(*c));
    }
    return wide;
}

// The test-side scripts next to this file.
std::wstring TestScript(const wchar_t* name) {
    const std::wstring path = testutil::UnixToWindowsPath(Widen(BC_PAGES_TEST_DIR)) + L"\\" + name;
    return FromUtf8(testutil::ReadFileBytes(path));
}

class ComApartment : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    }
    void TearDown() override { CoUninitialize(); }
};

// The pages unpacked from this program's own file, as the installer does.
class PackedPages : public ComApartment {
protected:
    void SetUp() override {
        ComApartment::SetUp();
        archive = new PayloadArchive(log);
        ASSERT_TRUE(archive->isLoaded) << "the pages are packed into the test program";
    }
    void TearDown() override {
        delete archive;
        ComApartment::TearDown();
    }

    std::wstring Read(const std::wstring& name) const {
        return FromUtf8(testutil::ReadFileBytes(archive->temporaryFolder + name));
    }

    // Relative names of every file of the set with `extension`.
    std::vector<std::wstring> Files(const std::wstring& folder, const wchar_t* extension) const {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW found;
        const std::wstring pattern = archive->temporaryFolder + folder + L"*" + extension;
        HANDLE search = FindFirstFileW(pattern.c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                names.push_back(folder + found.cFileName);
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    LogFile log;
    PayloadArchive* archive = nullptr;
};

TEST(InlineScripts, FindsWhatAPageRunsFromItsOwnText) {
    struct Case {
        const wchar_t* html;
        std::vector<std::wstring> expected;
    } cases[] = {
        {L"<p>no script</p>", {}},
        {L"<script src=\"a.js\"></script><script>go();</script>", {L"go();"}},
        {L"<SCRIPT type=\"text/javascript\">\nx = 1;\n</SCRIPT >", {L"\nx = 1;\n"}},
        {L"<script SRC='a.js'>ignored()</script>", {}},
        {L"<script data-x=\"a>b\">y();</script>", {L"y();"}},
        {L"<script>var s = '<b>';</script>", {L"var s = '<b>';"}},
        {L"<button onclick=\"run(&quot;a&quot;)\" id=b>", {L"run(\"a\")"}},
        {L"<body onLoad='start()' class=x><a href=\"#\" onmousedown=drag()>",
         {L"start()", L"drag()"}},
        {L"<!-- <script>commented()</script> --><script>real()</script>", {L"real()"}},
        {L"<script>unterminated()", {L"unterminated()"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, InlineScripts(c.html)) << ToUtf8(c.html);
    }
}

class Syntax : public ComApartment {};

// The checker itself: the engine refuses what is newer than ES3, and takes
// the forms the pages use. Parsing runs nothing.
TEST_F(Syntax, TheEngineRefusesNewerSyntaxAndRunsNothing) {
    const wchar_t* refused[] = {
        L"let x = 1;",
        L"const x = 1;",
        L"var f = (a) => a + 1;",
        L"var f = a => a;",
        L"var o = {a: 1, b: 2,};",
        L"class A {}",
        L"var s = `text`;",
        L"function f(a = 1) { return a; }",
        L"var a = [...b];",
        L"for (var x of list) {}",
        L"var o = {a, b};",
        L"function f( { }",
    };
    for (const wchar_t* code : refused) {
        ScriptHost host;
        ASSERT_TRUE(host.Ready()) << ToUtf8(host.lastError);
        EXPECT_TRUE(FAILED(host.Parse(code))) << ToUtf8(code);
        EXPECT_FALSE(host.lastError.empty()) << ToUtf8(code);
    }
    const wchar_t* accepted[] = {
        L"var x = 1; function f(a, b) { return a + b; }",
        L"var o = {\"a\": [1, 2], b: function () { return /x\\/y/g.test('x/y'); }};",
        L"try { throw new Error('x'); } catch (e) { } finally { }",
        L"for (var k in {a: 1}) { if (k === 'a') { break; } }",
        L"var s = 'a'.replace(/a/g, function (m) { return m + '\\u00e9'; });",
        L"external.neverCalled(); undefinedFunction();",
    };
    for (const wchar_t* code : accepted) {
        ScriptHost host;
        EXPECT_EQ(S_OK, host.Parse(code)) << ToUtf8(code) << ": " << ToUtf8(host.lastError);
    }
}

TEST_F(PackedPages, TheProgramReadsTheLanguageList) {
    EXPECT_EQ((std::vector<std::wstring>{L"en", L"fr", L"de", L"it", L"jp", L"es", L"pt", L"nl",
                                         L"ko", L"ru", L"cs", L"zh", L"tw"}),
              archive->ReadLanguageList());
}

// Every script of the set, files and the pages' own text, as the platform's
// engine compiles it.
TEST_F(PackedPages, EveryScriptCompilesInTheEngineThatRunsIt) {
    std::vector<std::wstring> checked;
    for (const std::wstring& name : Files(L"js\\", L".js")) {
        ScriptHost host;
        ASSERT_TRUE(host.Ready()) << ToUtf8(host.lastError);
        EXPECT_EQ(S_OK, host.Parse(Read(name))) << ToUtf8(name) << ": " << ToUtf8(host.lastError);
        checked.push_back(name);
    }
    for (const std::wstring& name : Files(L"", L".html")) {
        const std::vector<std::wstring> scripts = InlineScripts(Read(name));
        for (size_t i = 0; i < scripts.size(); ++i) {
            ScriptHost host;
            EXPECT_EQ(S_OK, host.Parse(scripts[i]))
                << ToUtf8(name) << " script " << i + 1 << ": " << ToUtf8(host.lastError);
            checked.push_back(name + L"#" + std::to_wstring(i + 1));
        }
    }
    // Nothing that should have been checked slipped past the listing.
    const std::vector<std::wstring> required = {
        L"js\\installparams.js", L"js\\stubparams.js", L"js\\external.js", L"js\\flow.js",
        L"js\\pages.js",         L"Load.html#1",       L"Welcome.html#1",  L"Agreement.html#1",
        L"Installing.html#1",    L"Complete.html#1"};
    for (const std::wstring& name : required) {
        EXPECT_NE(checked.end(), std::find(checked.begin(), checked.end(), name)) << ToUtf8(name);
    }
}

// The stand-in keeps the program's convention, so that a flow that passes
// here calls the real object the way it accepts.
TEST_F(Syntax, TheStandInRefusesCallsTheProgramRefuses) {
    struct Case {
        const wchar_t* code;
        HRESULT expected;
    } cases[] = {
        {L"external.getProperty('lang');", DISP_E_MEMBERNOTFOUND},
        {L"var v = external.setInstallStatus(2);", DISP_E_MEMBERNOTFOUND},
        // The engine asks for a value with flags 3 only when the call has
        // arguments: a used closeWindow() comes with flags 1, as a statement.
        {L"var v = external.closeWindow();", S_OK},
        {L"external.setWindowSize(647.5, 505);", DISP_E_TYPEMISMATCH},
        {L"external.setWindowSize('647', 505);", DISP_E_TYPEMISMATCH},
        {L"external.disableCloseWindow(1);", DISP_E_TYPEMISMATCH},
        {L"external.messageBox('text');", DISP_E_BADPARAMCOUNT},
        {L"external.download('http://x/p.zip', 'not a function');", DISP_E_TYPEMISMATCH},
        {L"external.setInstallStatus(5);", STG_E_INVALIDPARAMETER},
        {L"var v = external.getProperty('lang'); external.setInstallStatus(4);", S_OK},
        {L"if (external.retryMessageBox('again?')) { } external.disableCloseWindow(true);", S_OK},
    };
    for (const Case& c : cases) {
        FakeScriptObject* object = new FakeScriptObject;
        {
            ScriptHost host({{L"external", object}});
            ASSERT_TRUE(host.Ready()) << ToUtf8(host.lastError);
            const std::wstring wrapped = std::wstring(L"var caught = 0; try { ") + c.code +
                                         L" } catch (e) { caught = e.number; }";
            ASSERT_EQ(S_OK, host.Run(wrapped)) << ToUtf8(host.lastError);
            VARIANT caught;
            ASSERT_EQ(S_OK, host.Evaluate(L"caught", &caught)) << ToUtf8(host.lastError);
            ASSERT_EQ(S_OK, VariantChangeType(&caught, &caught, 0, VT_I4));
            EXPECT_EQ(c.expected, caught.lVal) << ToUtf8(c.code);
        }
        object->Release();
    }
}

// The scenario table of the installing flow, in the platform's JScript, with
// German texts (non-ASCII text through the calls and back).
TEST_F(PackedPages, TheInstallingFlowRunsItsScenariosInTheEngine) {
    FakeScriptObject* object = new FakeScriptObject;
    {
        ScriptHost host({{L"external", object}});
        ASSERT_TRUE(host.Ready()) << ToUtf8(host.lastError);
        ASSERT_EQ(S_OK, host.Run(Read(L"js\\stubparams.js"))) << ToUtf8(host.lastError);
        ASSERT_EQ(S_OK, host.Run(Read(L"js\\flow.js"))) << ToUtf8(host.lastError);
        ASSERT_EQ(S_OK, host.Run(TestScript(L"flow_scenarios.js"))) << ToUtf8(host.lastError);
        ASSERT_EQ(S_OK, host.Run(TestScript(L"flow_driver.js"))) << ToUtf8(host.lastError);
        ASSERT_EQ(S_OK, host.Run(L"var texts = pickTexts(stubParams, 'de');"));

        VARIANT count;
        ASSERT_EQ(S_OK, host.Evaluate(L"flowScenarios.length", &count)) << ToUtf8(host.lastError);
        ASSERT_EQ(S_OK, VariantChangeType(&count, &count, 0, VT_I4));
        ASSERT_GT(count.lVal, 0);
        for (long i = 0; i < count.lVal; ++i) {
            const std::wstring index = std::to_wstring(i);
            VARIANT name, report;
            ASSERT_EQ(S_OK, host.Evaluate(L"flowScenarios[" + index + L"].name", &name));
            const std::string label = ToUtf8(name.bstrVal ? name.bstrVal : L"");
            VariantClear(&name);
            const HRESULT hr =
                host.Evaluate(L"flowScenarioReport(" + index + L", external, texts)", &report);
            EXPECT_EQ(S_OK, hr) << label << ": " << ToUtf8(host.lastError);
            if (SUCCEEDED(hr)) {
                ASSERT_EQ(VT_BSTR, report.vt) << label;
                EXPECT_EQ("", ToUtf8(report.bstrVal ? report.bstrVal : L"")) << label;
            }
            VariantClear(&report);
        }
        // The German texts went through the calls unchanged.
        ASSERT_EQ(S_OK, host.Run(L"for (var i = 0; i < flowScenarios.length; i++) {\n"
                                 L"  if (flowScenarios[i].name === 'download: disk full') {\n"
                                 L"    runFlowScenario(flowScenarios[i], external, texts);\n"
                                 L"  }\n"
                                 L"}"))
            << ToUtf8(host.lastError);
        const std::wstring diskFull =
            L"messageBox(\"Es ist nicht gen\u00fcgend freier Speicherplatz vorhanden. Bitte "
            L"schaffen Sie Platz und starten Sie das Setup erneut.\", \"Brightcast Suite Setup\")";
        EXPECT_NE(object->calls.end(),
                  std::find(object->calls.begin(), object->calls.end(), diskFull));
    }
    EXPECT_TRUE(object->pending.empty());
    object->Release();
}

} // namespace
