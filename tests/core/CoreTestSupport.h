#pragma once

#include "core/ScriptObject.h"
#include "htmlui/ScriptHost.h"
#include "tests/common/TestUtil.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class InstallerContext;
class LogFile;

namespace coretest {

// The run's context record, built once per test program (it gathers the
// machine's facts, which takes a while); tests reset the fields they use.
InstallerContext& SharedContext();
// Puts the fields the script object writes back to their start values.
void ResetContext(InstallerContext& context);

// A script object whose product steps are played by the test. Every field is
// set before the object is handed to script and read after the workers have
// called back. Instances live in whole pages of their own; when one is
// destroyed its pages are made inaccessible rather than freed, so that any use
// after destruction faults at once.
class ProbeExternal : public downloadmanagercore::ScriptObject {
public:
    ProbeExternal(InstallerContext* context, LogFile* log);
    ~ProbeExternal() override;

    static void* operator new(size_t size);
    static void operator delete(void* block);

    // The steps, played by the test; without one a step fails (download 1,
    // extract 1, install 2 "not supported", no start program).
    std::function<int(const std::wstring& url)> download;
    std::function<int(const std::wstring& packagePath, const std::wstring& parameters)> install;
    std::function<bool(std::wstring& path)> startProgram;

    // Access for the tests, by the names the tests use.
    LONG References() const { return refCount; }
    HWND Window() { return window().window(); }
    const std::wstring& DownloadFolder() const { return downloadFolder(); }
    // As when no folder could be made.
    void ForgetDownloadFolder() { downloadFolder_.clear(); }
    std::wstring DownloadedFilePath() { return record().PackagePath(); }
    void SetDownloadedFilePath(const std::wstring& path) { record().SetPackagePath(path); }
    std::wstring StartProgramPath() { return record().StartProgramPath(); }
    void SetStartProgramPath(const std::wstring& path) { record().SetStartProgramPath(path); }
    bool CloseDisabled() { return window().closeDisabled(); }
    int LastWidth() { return window().lastWidth(); }
    int LastHeight() { return window().lastHeight(); }
    bool PropertyLockFree() { return record().LockIsFree(); }
    LONG RunningWorkers() const { return workers().Running(); }
    bool IsStopping() const { return workers().IsStopping(); }
    HANDLE StopRequested() const { return workers().StopRequested(); }
    std::wstring GetProperty(const std::wstring& name) { return record().GetProperty(name); }
    void SetProperty(const std::wstring& name, const std::wstring& value) {
        record().SetProperty(name, value);
    }
    void SetDownloadTotal(int value) { record().SetNumber(L"downloadTotal", value); }
    void SetDownloadCurrent(int value) { record().SetNumber(L"downloadCurrent", value); }
    void SetInstallProgress(int value) { record().SetNumber(L"installProgress", value); }
    void SetProductVersion(const std::wstring& version) { record().SetProductVersion(version); }

    // Where and on which thread the last instance was destroyed.
    static std::atomic<int> live;
    static std::atomic<DWORD> destroyedOnThread;
    static HANDLE destroyingThread; // opened by the destructor; the test closes it
};

// The platform's JScript engine with one object as the named item
// "external", the way a page reaches window.external, and the readings the
// tests take from the page.
class ScriptHost : public htmlui::ScriptHost {
public:
    explicit ScriptHost(IDispatchEx* external);

    // The value of an expression as text; "<error>" when it fails.
    std::wstring Text(const std::wstring& expression);
    // The value of an expression as a number; 0x7FFFFFFF when it is none.
    long Number(const std::wstring& expression);
    // The error number a statement throws, 0 when it throws nothing.
    long ErrorOf(const std::wstring& statement);
};

// A test's script object: the shared context reset, a log and the object.
// TearDown checks that the test's reference is the object's last; a test
// that releases the object itself sets `object` to NULL.
class ObjectTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The log's text so far.
    std::string Log() const;

    InstallerContext* context = nullptr;
    LogFile* log = nullptr;
    ProbeExternal* object = nullptr;
};

// The script object driven from a page: this thread in a single-threaded
// apartment and the JScript engine hosting the object as "external". A test
// that closes the page early deletes `host` and sets it to NULL.
class PageTest : public ObjectTest {
protected:
    void SetUp() override;
    void TearDown() override;

    bool comReady = false;
    ScriptHost* host = nullptr;
};

// A page for the workers: its callback "done" stores the result in "got" and
// counts its calls in "calls". The page has used the object already, so the
// engine's own references are taken before a test counts any.
class WorkerPageTest : public PageTest {
protected:
    void SetUp() override;
};

using testutil::PumpUntil;

// Answers every message box that this thread shows with `button` (a command
// id such as IDOK, IDRETRY, IDCANCEL), recording its caption and text.
class MessageBoxAnswerer {
public:
    explicit MessageBoxAnswerer(int button);
    ~MessageBoxAnswerer();
    MessageBoxAnswerer(const MessageBoxAnswerer&) = delete;
    MessageBoxAnswerer& operator=(const MessageBoxAnswerer&) = delete;

    struct Box {
        std::wstring caption;
        std::wstring text;
        HWND owner;
    };
    std::vector<Box> boxes;
    int button;

private:
    static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam);
    HHOOK hook_;
};

// Runs `body` on a new thread in the multithreaded apartment, as the script
// API's workers run; false when it did not end within `timeoutMs`.
bool RunOnWorkerThread(const std::function<void()>& body, DWORD timeoutMs = 30000);

// The log file's text, lines ending in "\n".
std::string LogText(const LogFile& log);
// How often `needle` occurs in `text`.
size_t Count(const std::string& text, const std::string& needle);

} // namespace coretest
