// The script API driven as the pages drive it: the platform's JScript engine
// with the object as the named item "external".

#include "base/InstallerContext.h"
#include "base/LogFile.h"
#include "base/TempFolders.h"
#include "tests/common/TestUtil.h"
#include "tests/core/CoreTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using coretest::ProbeExternal;
using coretest::ScriptHost;

namespace {

using ScriptApi = coretest::PageTest;

TEST_F(ScriptApi, PropertiesStartWithTheDownloadTotalAtOne) {
    EXPECT_EQ(L"1", host->Text(L"external.getProperty('downloadTotal')"));
    EXPECT_EQ(L"0", host->Text(L"external.getProperty('downloadCurrent')"));
    EXPECT_EQ(L"0", host->Text(L"external.getProperty('installProgress')"));
    // So a page's percentage before any download is 0, not a division by zero.
    EXPECT_EQ(0, host->Number(L"external.getProperty('downloadCurrent') * 100 / "
                              L"external.getProperty('downloadTotal')"));

    // A name never set reads as "" and is then in the map with that value.
    EXPECT_EQ(0u, context->properties.count(L"neverSet"));
    EXPECT_EQ(L"string:", host->Text(L"typeof external.getProperty('neverSet') + ':' + "
                                     L"external.getProperty('neverSet')"));
    ASSERT_EQ(1u, context->properties.count(L"neverSet"));
    EXPECT_EQ(L"", context->properties[L"neverSet"]);

    // Values written by the native side read back as text.
    object->SetDownloadTotal(123456789);
    object->SetDownloadCurrent(-5);
    object->SetInstallProgress(37);
    EXPECT_EQ(L"123456789/-5/37", host->Text(L"external.getProperty('downloadTotal') + '/' + "
                                             L"external.getProperty('downloadCurrent') + '/' + "
                                             L"external.getProperty('installProgress')"));
    EXPECT_TRUE(object->PropertyLockFree());
    // getProperty writes no log line.
    EXPECT_EQ(std::string::npos, Log().find("QX")) << Log();
}

TEST_F(ScriptApi, ChannelAndInstallStatusAreStoredAndLogged) {
    ASSERT_EQ(S_OK, host->Run(L"external.setChannel('spring-web');\n"
                              L"external.setInstallStatus(0);\n"))
        << host->Errors();
    EXPECT_EQ(L"spring-web", context->channel);
    EXPECT_EQ(0, context->installStatus);
    const std::string text = Log();
    EXPECT_NE(std::string::npos, text.find("DEBUG] QXSetChannel: spring-web\n")) << text;
    EXPECT_NE(std::string::npos, text.find("DEBUG] QXSetInstallStatus: 0\n")) << text;

    for (int status = 0; status <= 4; ++status) {
        EXPECT_EQ(0,
                  host->ErrorOf(L"external.setInstallStatus(" + std::to_wstring(status) + L");"));
        EXPECT_EQ(status, context->installStatus);
    }
}

TEST_F(ScriptApi, InstallStatusOutsideZeroToFourIsRefused) {
    ASSERT_EQ(S_OK, host->Run(L"external.setInstallStatus(2);")) << host->Errors();
    const std::string before = Log();
    for (const wchar_t* status : {L"5", L"-1", L"2147483647", L"-2147483648"}) {
        EXPECT_EQ(static_cast<long>(STG_E_INVALIDPARAMETER),
                  host->ErrorOf(std::wstring(L"external.setInstallStatus(") + status + L");"))
            << status;
        EXPECT_EQ(2, context->installStatus);
    }
    // Refused values are not logged.
    EXPECT_EQ(before, Log());
}

TEST_F(ScriptApi, ArgumentErrorsAreRefusedAndChangeNothing) {
    struct Case {
        const wchar_t* statement;
        long error;
    };
    const Case cases[] = {
        // Methods that return nothing may not be used for a value, and those
        // that return one may not be called as a statement. (The engine asks
        // for a value only in calls with arguments.)
        {L"var v = external.setChannel('x');", DISP_E_MEMBERNOTFOUND},
        {L"var v = external.setWindowSize(1, 2);", DISP_E_MEMBERNOTFOUND},
        {L"external.getProperty('downloadTotal');", DISP_E_MEMBERNOTFOUND},
        {L"external.retryMessageBox('again?');", DISP_E_MEMBERNOTFOUND},
        // Exact types, no conversion.
        {L"external.setWindowSize(647.5, 505);", DISP_E_TYPEMISMATCH},
        {L"external.setWindowSize('647', 505);", DISP_E_TYPEMISMATCH},
        {L"external.setWindowSize(647, true);", DISP_E_TYPEMISMATCH},
        {L"external.setInstallStatus('1');", DISP_E_TYPEMISMATCH},
        {L"external.setInstallStatus(1.5);", DISP_E_TYPEMISMATCH},
        {L"external.setChannel(7);", DISP_E_TYPEMISMATCH},
        {L"var v = external.getProperty(null);", DISP_E_TYPEMISMATCH},
        {L"external.disableCloseWindow(1);", DISP_E_TYPEMISMATCH},
        {L"external.download(5, function () {});", DISP_E_TYPEMISMATCH},
        {L"external.download('http://h/p.zip', 'not a function');", DISP_E_TYPEMISMATCH},
        {L"external.install('/S', 3);", DISP_E_TYPEMISMATCH},
        // Counts.
        {L"external.setWindowSize(647);", DISP_E_BADPARAMCOUNT},
        {L"external.download('http://h/p.zip');", DISP_E_BADPARAMCOUNT},
        {L"external.closeWindow(1);", DISP_E_BADPARAMCOUNT},
        {L"external.messageBox('text');", DISP_E_BADPARAMCOUNT},
        {L"external.getProperty('a', 'b');", DISP_E_MEMBERNOTFOUND},
        {L"var v = external.getProperty('a', 'b');", DISP_E_BADPARAMCOUNT},
        {L"var v = external.getProperty();", DISP_E_MEMBERNOTFOUND},
    };
    ASSERT_EQ(S_OK, host->Run(L"var page = typeof external;"));
    const LONG idle = object->References();
    context->installStatus = 3;
    for (const Case& c : cases) {
        EXPECT_EQ(c.error, host->ErrorOf(c.statement)) << c.statement;
    }
    // A caller that asks for the value of a method without arguments.
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    VARIANT value;
    VariantInit(&value);
    for (DISPID id : {2, 9, 10, 13}) {
        EXPECT_EQ(DISP_E_MEMBERNOTFOUND,
                  object->Invoke(id, IID_NULL, 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none,
                                 &value, nullptr, nullptr))
            << id;
        EXPECT_EQ(VT_EMPTY, value.vt);
    }
    EXPECT_EQ(3, context->installStatus);
    EXPECT_EQ(L"", context->channel);
    EXPECT_FALSE(object->CloseDisabled());
    EXPECT_EQ(0, object->LastWidth());
    // Argument errors are not logged, and no worker was started.
    const std::string text = Log();
    EXPECT_EQ(std::string::npos, text.find("QX")) << text;
    EXPECT_EQ(std::string::npos, text.find("ThreadFunc")) << text;
    EXPECT_EQ(idle, object->References());
    EXPECT_TRUE(host->Errors().empty()) << host->Errors();
}

TEST_F(ScriptApi, MessageBoxShowsTheTextAndCaption) {
    coretest::MessageBoxAnswerer answerer(IDOK);
    ASSERT_EQ(S_OK, host->Run(L"external.messageBox('Disk space is low', 'Brightcast');"))
        << host->Errors();
    ASSERT_EQ(1u, answerer.boxes.size());
    EXPECT_EQ(L"Brightcast", answerer.boxes[0].caption);
    EXPECT_EQ(L"Disk space is low", answerer.boxes[0].text);
    EXPECT_NE(std::string::npos, Log().find("DEBUG] QXMessageBox: Disk space is low Brightcast\n"));
}

TEST_F(ScriptApi, RetryMessageBoxAnswersWhetherToRetry) {
    {
        coretest::MessageBoxAnswerer answerer(IDRETRY);
        EXPECT_EQ(L"boolean:true",
                  host->Text(L"typeof external.retryMessageBox('Another setup is running') + "
                             L"':' + external.retryMessageBox('Again')"));
        ASSERT_EQ(2u, answerer.boxes.size());
        EXPECT_EQ(L"Another setup is running", answerer.boxes[0].text);
        // No caption given: the system's own.
        EXPECT_FALSE(answerer.boxes[0].caption.empty());
        EXPECT_NE(L"Another setup is running", answerer.boxes[0].caption);
    }
    {
        coretest::MessageBoxAnswerer answerer(IDCANCEL);
        EXPECT_EQ(L"false", host->Text(L"external.retryMessageBox('Give up?')"));
        EXPECT_EQ(1u, answerer.boxes.size());
    }
    EXPECT_NE(std::string::npos, Log().find("DEBUG] QXRetryMessageBox: Give up?\n"));
}

TEST_F(ScriptApi, RetryMessageBoxWithoutAResultSlotShowsNothing) {
    coretest::MessageBoxAnswerer answerer(IDRETRY);
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(L"not shown");
    DISPPARAMS params = {&text, nullptr, 1, 0};
    EXPECT_EQ(S_OK, object->Invoke(15, IID_NULL, 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &params,
                                   nullptr, nullptr, nullptr));
    // getProperty with no result slot reads nothing either.
    EXPECT_EQ(S_OK, object->Invoke(5, IID_NULL, 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &params,
                                   nullptr, nullptr, nullptr));
    EXPECT_EQ(0u, context->properties.count(L"not shown"));
    VariantClear(&text);
    EXPECT_TRUE(answerer.boxes.empty());
}

// The top-level windows of this thread.
BOOL CALLBACK CollectWindow(HWND window, LPARAM windows) {
    reinterpret_cast<std::vector<HWND>*>(windows)->push_back(window);
    return TRUE;
}

std::vector<HWND> ThreadWindows() {
    std::vector<HWND> windows;
    EnumThreadWindows(GetCurrentThreadId(), CollectWindow, reinterpret_cast<LPARAM>(&windows));
    return windows;
}

TEST_F(ScriptApi, WindowMethodsWithoutAWindowDoNothing) {
    // A window of this thread that the object was never given: it must come
    // out as it went in, and no window may appear.
    HWND other = CreateWindowExW(0, L"STATIC", L"other", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40,
                                 300, 200, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, other);
    RECT before = {};
    GetWindowRect(other, &before);
    const std::vector<HWND> windowsBefore = ThreadWindows();
    ASSERT_EQ(S_OK, host->Run(L"external.setWindowSize(647, 505);\n"
                              L"external.hideWindow();\n"
                              L"external.restoreWindow();\n"
                              L"external.dragWindow();\n"
                              L"external.disableCloseWindow(true);\n"
                              L"external.closeWindow();\n"))
        << host->Errors();
    // No size is remembered for a window that does not exist.
    EXPECT_EQ(0, object->LastWidth());
    EXPECT_TRUE(object->CloseDisabled());
    RECT after = {};
    GetWindowRect(other, &after);
    EXPECT_TRUE(EqualRect(&before, &after));
    EXPECT_TRUE(IsWindowVisible(other));
    EXPECT_FALSE(IsIconic(other));
    EXPECT_EQ(windowsBefore, ThreadWindows());
    DestroyWindow(other);
    const std::string text = Log();
    for (const char* line :
         {"DEBUG] QXWindowSize: 647\n", "DEBUG] QXHideWindow\n", "DEBUG] QXRestoreWindow\n",
          "DEBUG] QXDragWindow\n", "DEBUG] QXDisableWindowClose: -1\n", "DEBUG] QXClose\n"}) {
        EXPECT_NE(std::string::npos, text.find(line)) << line << text;
    }
    ASSERT_EQ(S_OK, host->Run(L"external.disableCloseWindow(false);")) << host->Errors();
    EXPECT_FALSE(object->CloseDisabled());
    EXPECT_NE(std::string::npos, Log().find("DEBUG] QXDisableWindowClose: 0\n"));
}

// What the object asked the shell to start, in order.
std::vector<std::pair<std::wstring, std::wstring>> launches;

HRESULT RecordLaunch(const std::wstring& file, const std::wstring& parameters) {
    launches.emplace_back(file, parameters);
    return S_OK;
}

TEST_F(ScriptApi, StartInstallProgramStartsTheInstalledProgramAndNothingElse) {
    launches.clear();
    object->SetLauncher(RecordLaunch);
    // Nothing installed: an empty name would let the shell open what it likes.
    ASSERT_EQ(S_OK, host->Run(L"external.startInstallProgram('');")) << host->Errors();
    EXPECT_TRUE(launches.empty());
    EXPECT_NE(std::string::npos, Log().find("startInstallProgram: no installed program"));

    object->SetStartProgramPath(L"C:\\Program Files\\Brightcast\\brightcast.exe");
    ASSERT_EQ(S_OK, host->Run(L"external.startInstallProgram('/first-run');")) << host->Errors();
    ASSERT_EQ(1u, launches.size());
    EXPECT_EQ(L"C:\\Program Files\\Brightcast\\brightcast.exe", launches[0].first);
    EXPECT_EQ(L"/first-run", launches[0].second);

    // A web page goes to the shell with its ampersands escaped.
    ASSERT_EQ(S_OK, host->Run(L"external.openPage('http://h/t?a=1&b=2');")) << host->Errors();
    ASSERT_EQ(2u, launches.size());
    EXPECT_EQ(L"http://h/t?a=1^&b=2", launches[1].first);
    EXPECT_EQ(L"", launches[1].second);
}

TEST_F(ScriptApi, DownloadFolderLivesAsLongAsTheObject) {
    std::wstring temp;
    ASSERT_TRUE(GetTempFolderPath(temp));
    const std::wstring folder = object->DownloadFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(L'\\', folder.back());
    EXPECT_EQ(0u, folder.find(temp));
    EXPECT_GT(folder.size(), temp.size());
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(folder.c_str()));
    ASSERT_TRUE(testutil::WriteFileBytes(folder + L"package.zip", "content"));
    ASSERT_TRUE(CreateDirectoryW((folder + L"pkg").c_str(), nullptr));
    ASSERT_TRUE(testutil::WriteFileBytes(folder + L"pkg\\setup.exe", "MZ"));

    delete host;
    host = nullptr;
    EXPECT_EQ(0u, object->Release());
    object = nullptr;
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(folder.c_str()));
    // The user's temporary folder itself stays.
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(temp.c_str()));
}

TEST_F(ScriptApi, AnObjectWithoutADownloadFolderDeletesNothing) {
    // As when no folder could be made: nothing is deleted at the end.
    testutil::ScratchFolder scratch;
    const std::wstring made = object->DownloadFolder();
    object->ForgetDownloadFolder();
    delete host;
    host = nullptr;
    EXPECT_EQ(0u, object->Release());
    object = nullptr;
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(scratch.path().c_str()));
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(made.c_str()));
    RemoveDirectoryW(made.c_str());
}

} // namespace
