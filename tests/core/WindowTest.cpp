// The window methods against a real host window: the "HTMLUI" class, its
// window procedure and its message loop (RunHostWindow), with only the
// document left out (there is no HTML engine here). Page calls are made from
// inside the window's own loop, as the page makes them.

#include "base/InstallerContext.h"
#include "base/LogFile.h"
#include "htmlui/HostWindow.h"
#include "tests/core/CoreTestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

// Rectangles compared and printed by the checks (RECT lives in the global
// namespace, where the checks look for these).
static bool operator==(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

static std::ostream& operator<<(std::ostream& out, const RECT& r) {
    return out << "(" << r.left << "," << r.top << "," << r.right << "," << r.bottom << ")";
}

using coretest::ProbeExternal;
using coretest::ScriptHost;

namespace {

// The host window without a document: WM_CREATE makes the window's record
// with no browser site and attaches the script object, as the real one does;
// everything else goes to the real window procedure.
LRESULT CALLBACK WithoutDocument(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CREATE) {
        const CREATESTRUCTW* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        const htmlui::HostWindowParams* params =
            static_cast<const htmlui::HostWindowParams*>(create->lpCreateParams);
        htmlui::HostWindowData* data =
            new htmlui::HostWindowData{nullptr, params->external, nullptr, params->quitFlag};
        SetWindowLongPtrW(window, 0, reinterpret_cast<LONG_PTR>(data));
        if (params->external) {
            params->external->SetHostWindow(window);
        }
        return 0;
    }
    return CallWindowProcW(htmlui::HostWindowProc, window, message, wParam, lParam);
}

LRESULT CALLBACK CreationHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND) {
        HWND window = reinterpret_cast<HWND>(wParam);
        wchar_t name[32] = {};
        GetClassNameW(window, name, 32);
        if (wcscmp(name, htmlui::HostWindowClassName) == 0) {
            SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(WithoutDocument));
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// Runs RunHostWindow while a thread timer plays the steps, one per tick, from
// inside the window's loop. Returns whether the loop ended by itself after
// the steps (the last step is expected to close the window); past the bound
// the window is closed anyway and timedOut is set.
class WindowRun {
public:
    typedef std::function<void(HWND)> Step;

    bool Run(ProbeExternal* external, std::vector<Step> steps, DWORD boundMs = 20000) {
        external_ = external;
        steps_ = std::move(steps);
        next_ = 0;
        deadline_ = GetTickCount64() + boundMs;
        current_ = this;
        HHOOK hook = SetWindowsHookExW(WH_CBT, CreationHook, nullptr, GetCurrentThreadId());
        const UINT_PTR timer = SetTimer(nullptr, 0, 30, Tick);
        const bool created = SUCCEEDED(htmlui::RunHostWindow(L"about:blank", external));
        KillTimer(nullptr, timer);
        UnhookWindowsHookEx(hook);
        current_ = nullptr;
        stepsRun = next_;
        return created;
    }

    bool timedOut = false;
    size_t stepsRun = 0;
    HWND window = nullptr; // the host window the steps ran on

private:
    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
        WindowRun* self = current_;
        if (!self || self->inStep_) {
            return;
        }
        HWND window = self->external_->Window();
        if (!window) {
            return;
        }
        self->window = window;
        if (GetTickCount64() > self->deadline_ || self->next_ >= self->steps_.size()) {
            // Out of steps or time: the window did not close itself.
            self->timedOut = true;
            if (htmlui::HostWindowData* data = htmlui::GetHostWindowData(window)) {
                *data->quitFlag = true;
            }
            return;
        }
        self->inStep_ = true;
        self->steps_[self->next_++](window);
        self->inStep_ = false;
    }

    ProbeExternal* external_ = nullptr;
    std::vector<Step> steps_;
    size_t next_ = 0;
    ULONGLONG deadline_ = 0;
    bool inStep_ = false;
    static WindowRun* current_;
};

WindowRun* WindowRun::current_ = nullptr;

RECT WindowRect(HWND window) {
    RECT rect = {0, 0, 0, 0};
    GetWindowRect(window, &rect);
    return rect;
}

// Where the window should be for a client size of width x height 96-dpi
// units: centred on the work area of the monitor under the cursor.
RECT ExpectedPlacement(HWND window, int width, int height) {
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    POINT cursor = {0, 0};
    GetCursorPos(&cursor);
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromPoint(cursor, MONITOR_DEFAULTTONEAREST), &monitor);
    return htmlui::ComputeWindowPlacement(dpi,
                                          static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE)),
                                          static_cast<DWORD>(GetWindowLongW(window, GWL_EXSTYLE)),
                                          monitor.rcWork, monitor.rcWork, width, height);
}

// The UI thread of the window tests, on a desktop of its own. Other test
// programs run at the same time on the shared desktop and look for "HTMLUI"
// windows there; ours stay out of their sight, and theirs out of ours. One
// thread serves every test: a thread can move to another desktop only before
// it has windows or hooks.
class DesktopThread {
public:
    static DesktopThread& Get() {
        static DesktopThread* thread = new DesktopThread();
        return *thread;
    }

    // Runs `job` on the thread and waits for it; false when the thread could
    // not be moved to the private desktop (then nothing ran).
    bool Run(const std::function<void()>& job) {
        if (!onDesktop_) {
            return false;
        }
        job_ = &job;
        SetEvent(jobReady_);
        WaitForSingleObject(jobDone_, INFINITE);
        return true;
    }

private:
    DesktopThread() {
        const std::wstring name = L"coretest-" + std::to_wstring(GetCurrentProcessId());
        desktop_ = CreateDesktopW(name.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
        jobReady_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        jobDone_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        started_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (desktop_ && CreateThread(nullptr, 0, Main, this, 0, nullptr)) {
            WaitForSingleObject(started_, 30000);
        }
    }

    static DWORD WINAPI Main(void* parameter) {
        DesktopThread* self = static_cast<DesktopThread*>(parameter);
        self->onDesktop_ = SetThreadDesktop(self->desktop_) != FALSE;
        SetEvent(self->started_);
        for (;;) {
            WaitForSingleObject(self->jobReady_, INFINITE);
            (*self->job_)();
            SetEvent(self->jobDone_);
        }
    }

    HDESK desktop_ = nullptr;
    HANDLE jobReady_ = nullptr;
    HANDLE jobDone_ = nullptr;
    HANDLE started_ = nullptr;
    bool onDesktop_ = false;
    const std::function<void()>* job_ = nullptr;
};

class HostWindowMethods : public testing::Test {
protected:
    // Runs `body` as the UI thread of the private desktop: COM as a
    // single-threaded apartment, the script object and its page engine made
    // before and checked after.
    void OnPrivateDesktop(const std::function<void()>& body) {
        const bool ran = DesktopThread::Get().Run([&] { RunBody(body); });
        ASSERT_TRUE(ran) << "no private desktop for the window tests";
    }

    void RunBody(const std::function<void()>& body) {
        if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
            ADD_FAILURE() << "no apartment";
            return;
        }
        EXPECT_TRUE(htmlui::RegisterHostWindowClass());
        context = &coretest::SharedContext();
        coretest::ResetContext(*context);
        log = new LogFile();
        object = new ProbeExternal(context, log);
        host = new ScriptHost(object);
        EXPECT_TRUE(host->Ready());
        if (host->Ready()) {
            body();
        }
        delete host;
        EXPECT_EQ(nullptr, object->Window());
        EXPECT_EQ(0u, object->Release());
        delete log;
        CoUninitialize();
    }

    // A statement run from a step; failures are recorded, not thrown.
    void Script(const std::wstring& code) {
        const HRESULT hr = host->Run(code);
        EXPECT_EQ(S_OK, hr) << code << "\n" << host->Errors();
    }

    InstallerContext* context = nullptr;
    LogFile* log = nullptr;
    ProbeExternal* object = nullptr;
    ScriptHost* host = nullptr;
};

TEST_F(HostWindowMethods, SizeCentreMinimiseRestoreAndClose) {
    OnPrivateDesktop([&] {
        WindowRun run;
        RECT sized = {};
        const bool created = run.Run(
            object, {
                        [&](HWND window) {
                            EXPECT_EQ(window, object->Window());
                            RECT client = {};
                            GetClientRect(window, &client);
                            EXPECT_EQ(0, client.right); // still at its creation size
                            Script(L"external.setWindowSize(647, 505);");
                            sized = WindowRect(window);
                            EXPECT_EQ(ExpectedPlacement(window, 647, 505), sized);
                            EXPECT_EQ(sized.right - sized.left, object->LastWidth());
                            EXPECT_EQ(sized.bottom - sized.top, object->LastHeight());
                        },
                        [&](HWND window) {
                            // Moved away by the user: an equal request leaves it there.
                            SetWindowPos(window, nullptr, 3, 4, 0, 0,
                                         SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
                            Script(L"external.setWindowSize(647, 505);");
                            const RECT rect = WindowRect(window);
                            EXPECT_EQ(3, rect.left);
                            EXPECT_EQ(4, rect.top);
                            // A wrong type changes nothing either.
                            EXPECT_EQ(DISP_E_TYPEMISMATCH,
                                      host->ErrorOf(L"external.setWindowSize(400.5, 300);"));
                            EXPECT_EQ(3, WindowRect(window).left);
                            // A different size is applied and centred again.
                            Script(L"external.setWindowSize(400, 300);");
                            EXPECT_EQ(ExpectedPlacement(window, 400, 300), WindowRect(window));
                            // A page that finished loading keeps the size it chose.
                            object->OnDocumentComplete(nullptr);
                            EXPECT_EQ(ExpectedPlacement(window, 400, 300), WindowRect(window));
                        },
                        [&](HWND window) {
                            Script(L"external.hideWindow();");
                            EXPECT_TRUE(IsIconic(window));
                        },
                        [&](HWND window) {
                            Script(L"external.restoreWindow();");
                            EXPECT_FALSE(IsIconic(window));
                            EXPECT_TRUE(IsWindowVisible(window));
                        },
                        [&](HWND window) {
                            // Closing is refused during installation: the window minimises.
                            Script(L"external.disableCloseWindow(true);");
                            SendMessageW(window, WM_CLOSE, 0, 0);
                            EXPECT_TRUE(IsWindow(window));
                            EXPECT_TRUE(IsIconic(window));
                            EXPECT_FALSE(*htmlui::GetHostWindowData(window)->quitFlag);
                        },
                        [&](HWND window) {
                            Script(L"external.restoreWindow();");
                            EXPECT_FALSE(IsIconic(window));
                            // The page's own close still closes it.
                            Script(L"external.closeWindow();");
                            EXPECT_TRUE(*htmlui::GetHostWindowData(window)->quitFlag);
                        },
                    });
        EXPECT_TRUE(created);
        EXPECT_FALSE(run.timedOut);
        EXPECT_FALSE(IsWindow(run.window));
        EXPECT_EQ(6u, run.stepsRun);
        const std::string text = coretest::LogText(*log);
        EXPECT_EQ(3u, coretest::Count(text, "DEBUG] QXWindowSize: "));
        EXPECT_NE(std::string::npos, text.find("DEBUG] QXClose\n"));
    });
}

TEST_F(HostWindowMethods, PermittedCloseEndsTheLoop) {
    OnPrivateDesktop([&] {
        WindowRun run;
        const bool created = run.Run(object, {
                                                 [&](HWND window) {
                                                     Script(L"external.disableCloseWindow(true);");
                                                     Script(L"external.disableCloseWindow(false);");
                                                     PostMessageW(window, WM_CLOSE, 0, 0);
                                                 },
                                             });
        EXPECT_TRUE(created);
        EXPECT_FALSE(run.timedOut);
        EXPECT_FALSE(IsWindow(run.window));
    });
}

TEST_F(HostWindowMethods, UnsizedWindowGetsTheDefaultSizeWhenThePageCompletes) {
    OnPrivateDesktop([&] {
        WindowRun run;
        context->failureStage = 4;
        context->failureCode = 112;
        const bool created = run.Run(object, {
                                                 [&](HWND window) {
                                                     object->OnDocumentComplete(nullptr);
                                                     EXPECT_EQ(ExpectedPlacement(window, 400, 200),
                                                               WindowRect(window));
                                                     EXPECT_EQ(0, context->failureStage);
                                                     EXPECT_EQ(0, context->failureCode);
                                                     Script(L"external.closeWindow();");
                                                 },
                                             });
        EXPECT_TRUE(created);
        EXPECT_FALSE(run.timedOut);
        EXPECT_FALSE(IsWindow(run.window));
    });
}

TEST_F(HostWindowMethods, MessageBoxesBelongToTheHostWindow) {
    OnPrivateDesktop([&] {
        WindowRun run;
        coretest::MessageBoxAnswerer answerer(IDRETRY);
        const bool created = run.Run(
            object, {
                        [&](HWND window) {
                            Script(L"external.messageBox('Ready', 'Setup');");
                            EXPECT_EQ(L"true", host->Text(L"external.retryMessageBox('Again?')"));
                            ASSERT_EQ(2u, answerer.boxes.size());
                            EXPECT_EQ(window, answerer.boxes[0].owner);
                            EXPECT_EQ(window, answerer.boxes[1].owner);
                            Script(L"external.closeWindow();");
                        },
                    });
        EXPECT_TRUE(created);
        EXPECT_FALSE(run.timedOut);
        EXPECT_FALSE(IsWindow(run.window));
    });
}

TEST_F(HostWindowMethods, DragWindowReturnsWhenTheMoveIsCancelled) {
    OnPrivateDesktop([&] {
        WindowRun run;
        const bool created = run.Run(object, {
                                                 [&](HWND window) {
                                                     Script(L"external.setWindowSize(300, 200);");
                                                     const RECT before = WindowRect(window);
                                                     // The system's move loop ends on Escape.
                                                     PostMessageW(window, WM_KEYDOWN, VK_ESCAPE, 0);
                                                     PostMessageW(window, WM_LBUTTONUP, 0, 0);
                                                     Script(L"external.dragWindow();");
                                                     EXPECT_EQ(before, WindowRect(window));
                                                     Script(L"external.closeWindow();");
                                                 },
                                             });
        EXPECT_TRUE(created);
        EXPECT_FALSE(run.timedOut);
        EXPECT_FALSE(IsWindow(run.window));
    });
}

// A plain window that counts the WM_CLOSE messages that reach it.
int plainCloses = 0;
LRESULT CALLBACK PlainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CLOSE) {
        ++plainCloses;
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND MakePlainWindow() {
    static ATOM atom = 0;
    if (!atom) {
        WNDCLASSEXW windowClass = {};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = PlainProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"CoreTestPlain";
        atom = RegisterClassExW(&windowClass);
    }
    return CreateWindowExW(0, L"CoreTestPlain", nullptr, WS_POPUP | WS_VISIBLE, 0, 0, 100, 100,
                           nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
}

TEST_F(HostWindowMethods, TheCloseGuardMovesWithTheHostWindow) {
    OnPrivateDesktop([&] {
        HWND first = MakePlainWindow();
        HWND second = MakePlainWindow();
        ASSERT_TRUE(first && second);
        plainCloses = 0;
        object->SetHostWindow(first);
        Script(L"external.disableCloseWindow(true);");
        SendMessageW(first, WM_CLOSE, 0, 0);
        EXPECT_EQ(0, plainCloses);
        EXPECT_TRUE(IsIconic(first));

        object->SetHostWindow(second);
        SendMessageW(first, WM_CLOSE, 0, 0);
        EXPECT_EQ(1, plainCloses); // the old window is no longer guarded
        SendMessageW(second, WM_CLOSE, 0, 0);
        EXPECT_EQ(1, plainCloses);
        EXPECT_TRUE(IsIconic(second));

        // The same window again changes nothing.
        object->SetHostWindow(second);
        SendMessageW(second, WM_CLOSE, 0, 0);
        EXPECT_EQ(1, plainCloses);

        // closeWindow acts only on a host window of our own class.
        Script(L"external.closeWindow();");
        EXPECT_TRUE(IsWindow(second));

        object->SetHostWindow(nullptr);
        SendMessageW(second, WM_CLOSE, 0, 0);
        EXPECT_EQ(2, plainCloses);
        DestroyWindow(first);
        DestroyWindow(second);
    });
}

} // namespace
