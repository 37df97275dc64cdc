// The host window, its message loop and the browser site, run for real under
// the test display against a test double of the HTML document registered for
// the document's class id in this process.

#include "htmlui/HostWindow.h"
#include "htmlui/MSHTMLClient.h"
#include "tests/htmlui/FakeDocument.h"
#include "tests/htmlui/OwnHostWindow.h"
#include "tests/htmlui/TestExternal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <string>
#include <vector>

using htmltest::FakeDocument;
using htmltest::FakeDocumentFactory;
using htmltest::FakeView;
using htmltest::TestExternal;
using htmlui::HostWindowData;

namespace {

const wchar_t PagePath[] = L"C:\\pages\\Load.html";

// Runs RunHostWindow while a thread timer plays the steps, one per tick, from
// inside the window's own message loop. After the last step it asks the window
// to close; if the steps do not finish within the bound, the window is closed
// anyway and the run counts as timed out.
class Scenario {
public:
    typedef std::function<void()> Step;

    bool Run(const wchar_t* url, htmlui::MSHTMLExternal* external, std::vector<Step> steps,
             DWORD boundMs = 20000) {
        steps_ = std::move(steps);
        next_ = 0;
        deadline_ = GetTickCount64() + boundMs;
        timedOut = false;
        closePosted = false;
        current_ = this;
        const UINT_PTR timer = SetTimer(nullptr, 0, 20, Tick);
        const bool result = SUCCEEDED(htmlui::RunHostWindow(url, external));
        KillTimer(nullptr, timer);
        current_ = nullptr;
        stepsRun = next_;
        return result;
    }

    bool timedOut = false;
    bool closePosted = false;
    size_t stepsRun = 0;

private:
    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
        Scenario* self = current_;
        if (!self) {
            return;
        }
        HWND window = testutil::FindOwnHostWindow();
        if (GetTickCount64() > self->deadline_) {
            self->timedOut = true;
            if (HostWindowData* data = window ? htmlui::GetHostWindowData(window) : nullptr) {
                *data->quitFlag = true;
            }
            return;
        }
        if (self->next_ < self->steps_.size()) {
            self->steps_[self->next_++]();
        } else if (!self->closePosted && window) {
            self->closePosted = true;
            PostMessageW(window, WM_CLOSE, 0, 0);
        }
    }

    std::vector<Step> steps_;
    size_t next_ = 0;
    ULONGLONG deadline_ = 0;
    static Scenario* current_;
};

Scenario* Scenario::current_ = nullptr;

// Messages that reach the window procedure after the loop dispatched them.
std::vector<MSG> dispatched;
WNDPROC hostProc = nullptr;

LRESULT CALLBACK Recorder(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if ((message >= WM_KEYFIRST && message <= WM_KEYLAST) || message == WM_APP) {
        MSG msg = {window, message, wParam, lParam, 0, {0, 0}};
        dispatched.push_back(msg);
    }
    return CallWindowProcW(hostProc, window, message, wParam, lParam);
}

std::wstring WindowText(HWND window) {
    wchar_t text[256] = {};
    GetWindowTextW(window, text, 256);
    return text;
}

class HostWindow : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        comReady = true;
        ASSERT_TRUE(htmlui::RegisterHostWindowClass());
        external = new TestExternal();
        documentsBefore = FakeDocument::live;
    }

    void TearDown() override {
        factory.Revoke();
        if (external) {
            EXPECT_EQ(0u, external->Release());
        }
        for (FakeDocument* document : factory.made) {
            // Only the factory's reference is left: the site let go of the document.
            EXPECT_EQ(1, document->References());
            if (document->firstSite) {
                // And everyone let go of the site: this is its last reference.
                EXPECT_EQ(0u, document->firstSite->Release());
                document->firstSite = nullptr;
            }
        }
        EXPECT_EQ(nullptr, testutil::FindOwnHostWindow());
        factory.ReleaseDocuments();
        EXPECT_EQ(documentsBefore, FakeDocument::live);
        EXPECT_EQ(0, FakeView::live);
        if (comReady) {
            CoUninitialize();
        }
    }

    FakeDocument* Document() { return factory.made.empty() ? nullptr : factory.made.back(); }
    HWND Window() { return external->Window(); }
    HostWindowData* Data() { return htmlui::GetHostWindowData(Window()); }

    bool comReady = false;
    TestExternal* external = nullptr;
    FakeDocumentFactory factory;
    LONG documentsBefore = 0;
    Scenario scenario;
};

TEST_F(HostWindow, ClassIsRegisteredOnceWithTheHostProcedure) {
    const ATOM atom = htmlui::HostWindowClassAtom();
    EXPECT_NE(0, atom);
    EXPECT_TRUE(htmlui::RegisterHostWindowClass());
    EXPECT_EQ(atom, htmlui::HostWindowClassAtom());
    WNDCLASSEXW info = {};
    info.cbSize = sizeof info;
    ASSERT_EQ(atom, GetClassInfoExW(GetModuleHandleW(nullptr), L"HTMLUI", &info));
    EXPECT_EQ(0u, info.style);
    EXPECT_EQ(htmlui::HostWindowProc, info.lpfnWndProc);
    EXPECT_EQ(0, info.cbClsExtra);
    EXPECT_EQ(static_cast<int>(sizeof(void*)), info.cbWndExtra);
    EXPECT_EQ(nullptr, info.hIcon);
    EXPECT_EQ(nullptr, info.hIconSm);
    EXPECT_EQ(LoadCursorW(nullptr, IDC_ARROW), info.hCursor);
    EXPECT_EQ(nullptr, info.hbrBackground);
    EXPECT_EQ(nullptr, info.lpszMenuName);
}

TEST_F(HostWindow, WithoutAnHtmlEngineTheWindowRefusesCreation) {
    // Nothing registered for the document's class id: the platform's own
    // document object is all there is, and it cannot be created here.
    IUnknown* document = nullptr;
    const HRESULT none = CoCreateInstance(CLSID_HTMLDocument, nullptr, CLSCTX_INPROC_SERVER,
                                          IID_IHTMLDocument2, reinterpret_cast<void**>(&document));
    EXPECT_TRUE(FAILED(none));
    htmlui::MSHTMLClient* site = new htmlui::MSHTMLClient(nullptr, external);
    EXPECT_EQ(none, site->CreateBrowser());
    EXPECT_EQ(nullptr, site->GetDocument());
    EXPECT_EQ(0u, site->Release());

    // The caller learns why: the document's own failure.
    EXPECT_EQ(none, htmlui::RunHostWindow(PagePath, external));
    // The half-made window told the script object about itself and took it back.
    ASSERT_EQ(2u, external->hostWindows.size());
    EXPECT_NE(nullptr, external->hostWindows[0]);
    EXPECT_EQ(nullptr, external->hostWindows[1]);
    EXPECT_FALSE(IsWindow(external->hostWindows[0]));
    EXPECT_EQ(1, external->References());
}

TEST_F(HostWindow, MissingUrlRefusesCreation) {
    ASSERT_EQ(S_OK, factory.Register());
    EXPECT_EQ(E_POINTER, htmlui::RunHostWindow(nullptr, external));
    EXPECT_TRUE(factory.made.empty());
    EXPECT_TRUE(external->hostWindows.empty());
}

TEST_F(HostWindow, UnregisteredClassCannotMakeAWindowEither) {
    // Creating through atom 0 is refused by the system, not crashed on.
    bool quit = false;
    htmlui::HostWindowParams params = {PagePath, external, &quit, S_OK};
    EXPECT_EQ(nullptr,
              CreateWindowExW(WS_EX_APPWINDOW, MAKEINTATOM(0), nullptr, WS_POPUP | WS_VISIBLE, 0, 0,
                              0, 0, nullptr, nullptr, GetModuleHandleW(nullptr), &params));
}

TEST_F(HostWindow, DocumentIsCreatedActivatedInPlaceAndLoaded) {
    ASSERT_EQ(S_OK, factory.Register());
    HWND seen = nullptr;
    ASSERT_TRUE(scenario.Run(
        PagePath, external, {[&] {
            seen = Window();
            ASSERT_NE(nullptr, seen);
            wchar_t className[32] = {};
            GetClassNameW(seen, className, 32);
            EXPECT_STREQ(L"HTMLUI", className);
            EXPECT_EQ(static_cast<LONG>(WS_POPUP | WS_VISIBLE),
                      GetWindowLongW(seen, GWL_STYLE) & ~(WS_CLIPSIBLINGS | WS_CLIPCHILDREN));
            EXPECT_TRUE(GetWindowLongW(seen, GWL_EXSTYLE) & WS_EX_APPWINDOW);
            EXPECT_EQ(nullptr, GetParent(seen));
            EXPECT_EQ(L"", WindowText(seen));
            RECT rect;
            GetWindowRect(seen, &rect);
            EXPECT_EQ(0, rect.left);
            EXPECT_EQ(0, rect.top);
            EXPECT_EQ(0, rect.right);
            EXPECT_EQ(0, rect.bottom);

            HostWindowData* data = Data();
            ASSERT_NE(nullptr, data);
            EXPECT_NE(nullptr, data->client);
            EXPECT_EQ(external, data->external);
            EXPECT_EQ(nullptr, data->focusChild);
            ASSERT_NE(nullptr, data->quitFlag);
            EXPECT_FALSE(*data->quitFlag);
            EXPECT_EQ(seen, data->client->GetHostWindow());
            EXPECT_EQ(external, data->client->GetExternalObject());

            FakeDocument* document = Document();
            ASSERT_NE(nullptr, document);
            EXPECT_EQ(static_cast<IHTMLDocument2*>(document), data->client->GetDocument());
            EXPECT_EQ(static_cast<IOleDocumentView*>(document->view),
                      data->client->GetActiveView());
            // The document's view of its host.
            EXPECT_EQ(seen, document->doVerbParent);
            EXPECT_EQ(0, document->doVerbRect.right);
            EXPECT_TRUE(document->contextFrameGiven);
            EXPECT_TRUE(document->contextDocumentWindowNull);
            EXPECT_EQ(FALSE, document->frameInfo.fMDIApp);
            EXPECT_EQ(seen, document->frameInfo.hwndFrame);
            EXPECT_EQ(nullptr, document->frameInfo.haccel);
            EXPECT_EQ(0u, document->frameInfo.cAccelEntries);
            EXPECT_EQ(0, document->contextPosition.right);
            EXPECT_EQ(0, document->contextClip.bottom);
            EXPECT_EQ(S_OK, document->activateMeResult);
            // The page object behind window.external is the script object.
            IDocHostUIHandler* handler = nullptr;
            ASSERT_EQ(S_OK, document->clientSite->QueryInterface(
                                IID_IDocHostUIHandler, reinterpret_cast<void**>(&handler)));
            IDispatch* page = nullptr;
            EXPECT_EQ(S_OK, handler->GetExternal(&page));
            EXPECT_EQ(static_cast<IDispatch*>(external), page);
            EXPECT_EQ(2, external->References());
            page->Release();
            handler->Release();
        }}));
    EXPECT_FALSE(scenario.timedOut);
    EXPECT_EQ(1u, scenario.stepsRun);
    EXPECT_TRUE(scenario.closePosted);

    FakeDocument* document = Document();
    ASSERT_NE(nullptr, document);
    EXPECT_EQ(std::vector<IID>{IID_IHTMLDocument2}, factory.askedFor);
    const std::vector<std::string> expected = {
        "Advise",
        "SetClientSite",
        "DoVerb -5",
        "CanInPlaceActivate",
        "GetWindowContext",
        "OnInPlaceActivate",
        "CreateView",
        "View.SetInPlaceSite",
        "View.SetInPlaceSite",
        "View.SetRect 0,0,0,0",
        "View.UIActivate 1",
        "View.Show 1",
        "ActivateMe done",
        "Load 0 0 file:///C:/pages/Load.html",
    };
    ASSERT_GE(document->events.size(), expected.size() + 3);
    EXPECT_EQ(expected, std::vector<std::string>(document->events.begin(),
                                                 document->events.begin() + expected.size()));
    // Between them, only the sizing of the still empty window.
    for (size_t i = expected.size(); i + 3 < document->events.size(); ++i) {
        EXPECT_EQ("View.SetRect 0,0,0,0", document->events[i]);
    }
    const std::vector<std::string> closing = {"View.CloseView 0", "Unadvise 7",
                                              "SetClientSite null"};
    EXPECT_EQ(closing,
              std::vector<std::string>(document->events.end() - 3, document->events.end()));
    EXPECT_EQ((std::vector<HWND>{seen, nullptr}), external->hostWindows);
    EXPECT_FALSE(IsWindow(seen));
}

TEST_F(HostWindow, SizingTheWindowFitsTheDocument) {
    ASSERT_EQ(S_OK, factory.Register());
    ASSERT_TRUE(scenario.Run(PagePath, external, {[&] {
                                 ASSERT_TRUE(SetWindowPos(Window(), nullptr, 10, 20, 300, 200,
                                                          SWP_NOZORDER | SWP_NOACTIVATE));
                                 FakeView* view = Document()->view;
                                 ASSERT_NE(nullptr, view);
                                 EXPECT_EQ(0, view->rect.left);
                                 EXPECT_EQ(0, view->rect.top);
                                 EXPECT_EQ(300, view->rect.right);
                                 EXPECT_EQ(200, view->rect.bottom);
                                 RECT child;
                                 GetClientRect(view->window, &child);
                                 EXPECT_EQ(300, child.right);
                                 ASSERT_TRUE(
                                     SetWindowPos(Window(), nullptr, 0, 0, 647, 505,
                                                  SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE));
                                 EXPECT_EQ(647, view->rect.right);
                                 EXPECT_EQ(505, view->rect.bottom);
                             }}));
    EXPECT_FALSE(scenario.timedOut);
    EXPECT_TRUE(Document()->Saw("View.SetRect 0,0,647,505"));
}

TEST_F(HostWindow, CompletedPagesReachTheScriptObject) {
    ASSERT_EQ(S_OK, factory.Register());
    ASSERT_TRUE(scenario.Run(PagePath, external, {[&] {
                                 FakeDocument* document = Document();
                                 htmlui::MSHTMLClient* client = Data()->client;
                                 document->SetReadyState(3); // interactive: not yet
                                 EXPECT_TRUE(external->completedSites.empty());
                                 EXPECT_EQ(0x800u, document->readyStateLocale);
                                 EXPECT_EQ(DISPATCH_PROPERTYGET, document->readyStateFlags);
                                 document->readyState = 4;
                                 document->NotifyChanged(DISPID_READYSTATE - 1); // another property
                                 document->NotifyChanged(0);
                                 EXPECT_TRUE(external->completedSites.empty());
                                 document->SetReadyState(4);
                                 EXPECT_EQ(std::vector<htmlui::MSHTMLClient*>{client},
                                           external->completedSites);
                                 // The next page that the document loads in place completes again.
                                 document->SetReadyState(1);
                                 document->SetReadyState(4);
                                 EXPECT_EQ((std::vector<htmlui::MSHTMLClient*>{client, client}),
                                           external->completedSites);
                             }}));
    EXPECT_FALSE(scenario.timedOut);
    EXPECT_EQ(4, std::count(Document()->events.begin(), Document()->events.end(),
                            std::string("Invoke readyState")));
}

TEST_F(HostWindow, PageTitleBecomesTheWindowText) {
    ASSERT_EQ(S_OK, factory.Register());
    ASSERT_TRUE(scenario.Run(
        PagePath, external, {[&] {
            IOleCommandTarget* target = nullptr;
            ASSERT_EQ(S_OK, Document()->clientSite->QueryInterface(
                                IID_IOleCommandTarget, reinterpret_cast<void**>(&target)));
            VARIANT title;
            VariantInit(&title);
            title.vt = VT_BSTR;
            title.bstrVal = SysAllocString(L"Setup");
            EXPECT_EQ(S_OK, target->Exec(nullptr, OLECMDID_SETTITLE, OLECMDEXECOPT_DONTPROMPTUSER,
                                         &title, nullptr));
            VariantClear(&title);
            EXPECT_EQ(L"Setup", WindowText(Window()));
            VARIANT number;
            VariantInit(&number);
            number.vt = VT_I4;
            number.lVal = 5;
            EXPECT_EQ(S_OK, target->Exec(nullptr, OLECMDID_SETTITLE, 0, &number, nullptr));
            EXPECT_EQ(S_OK, target->Exec(nullptr, OLECMDID_SETTITLE, 0, nullptr, nullptr));
            EXPECT_EQ(L"Setup", WindowText(Window()));
            target->Release();
        }}));
    EXPECT_FALSE(scenario.timedOut);
}

TEST_F(HostWindow, DocumentSeesKeysFirstAndKeepsThoseItTranslates) {
    ASSERT_EQ(S_OK, factory.Register());
    dispatched.clear();
    ASSERT_TRUE(
        scenario.Run(PagePath, external,
                     {[&] {
                          hostProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
                              Window(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(Recorder)));
                          // F5 is the document's own accelerator; "A" is not.
                          PostMessageW(Window(), WM_KEYDOWN, VK_F5, 0x003F0001);
                          PostMessageW(Window(), WM_KEYDOWN, 'A', 0x001E0001);
                          PostMessageW(Window(), WM_APP, 1, 2);
                      },
                      [&] {
                          const std::vector<MSG>& offered = Document()->translated;
                          ASSERT_GE(offered.size(), 2u);
                          EXPECT_EQ(static_cast<UINT>(WM_KEYDOWN), offered[0].message);
                          EXPECT_EQ(static_cast<WPARAM>(VK_F5), offered[0].wParam);
                          EXPECT_EQ(static_cast<WPARAM>('A'), offered[1].wParam);
                          bool sawF5 = false, sawA = false, sawChar = false, sawApp = false;
                          for (const MSG& msg : dispatched) {
                              sawF5 |= msg.message == WM_KEYDOWN && msg.wParam == VK_F5;
                              sawA |= msg.message == WM_KEYDOWN && msg.wParam == 'A';
                              sawChar |= msg.message == WM_CHAR; // TranslateMessage ran
                              sawApp |= msg.message == WM_APP && msg.wParam == 1 && msg.lParam == 2;
                          }
                          EXPECT_FALSE(sawF5) << "a translated message was dispatched again";
                          EXPECT_TRUE(sawA);
                          EXPECT_TRUE(sawChar);
                          EXPECT_TRUE(sawApp);
                          // The character message went past the document first as well.
                          bool offeredChar = false;
                          for (const MSG& msg : offered) {
                              offeredChar |= msg.message == WM_CHAR;
                          }
                          EXPECT_TRUE(offeredChar);
                      }}));
    EXPECT_FALSE(scenario.timedOut);
}

TEST_F(HostWindow, FocusReturnsToThePageElementAfterReactivation) {
    ASSERT_EQ(S_OK, factory.Register());
    ASSERT_TRUE(scenario.Run(PagePath, external, {[&] {
                                 HWND window = Window();
                                 HWND element = Document()->view->window;
                                 ASSERT_NE(nullptr, element);
                                 SetForegroundWindow(window);
                                 SetFocus(element);
                                 ASSERT_EQ(element, GetFocus());
                                 // Switched away (deactivated) and back.
                                 SendMessageW(window, WM_ACTIVATE, WA_INACTIVE, 0);
                                 EXPECT_EQ(element, Data()->focusChild);
                                 SetFocus(window);
                                 EXPECT_EQ(element, GetFocus());
                                 // A deactivation while the window itself has the focus remembers
                                 // nothing.
                                 Data()->focusChild = nullptr;
                                 SetFocus(window);
                                 ASSERT_EQ(window, GetFocus());
                                 SendMessageW(window, WM_ACTIVATE, WA_INACTIVE, 0);
                                 EXPECT_EQ(nullptr, Data()->focusChild);
                                 SetFocus(nullptr);
                                 SetFocus(window);
                                 EXPECT_EQ(window, GetFocus());
                             }}));
    EXPECT_FALSE(scenario.timedOut);
}

TEST_F(HostWindow, CloseRequestEndsTheLoopAndTheWindowIsDestroyedAfterwards) {
    ASSERT_EQ(S_OK, factory.Register());
    HWND window = nullptr;
    bool* quit = nullptr;
    ASSERT_TRUE(scenario.Run(PagePath, external, {[&] {
                                 window = Window();
                                 quit = Data()->quitFlag;
                                 EXPECT_EQ(0, SendMessageW(window, WM_CLOSE, 0, 0));
                                 EXPECT_TRUE(*quit);
                                 EXPECT_TRUE(IsWindow(window)); // not destroyed by the close itself
                                 EXPECT_EQ(0, SendMessageW(window, WM_CLOSE, 0, 0));
                                 EXPECT_TRUE(*quit);
                                 EXPECT_TRUE(IsWindow(window));
                             }}));
    EXPECT_FALSE(scenario.timedOut);
    // The scenario's own close request never came: this one ended the loop.
    EXPECT_FALSE(scenario.closePosted);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ((std::vector<HWND>{window, nullptr}), external->hostWindows);
}

TEST_F(HostWindow, WindowDestroyedWhileTheLoopRunsEndsTheLoop) {
    ASSERT_EQ(S_OK, factory.Register());
    HWND window = nullptr;
    ASSERT_TRUE(scenario.Run(PagePath, external, {[&] {
                                 window = Window();
                                 ASSERT_TRUE(DestroyWindow(window));
                                 EXPECT_EQ(nullptr, Document()->clientSite); // detached at once
                             }}));
    EXPECT_FALSE(scenario.timedOut);
    EXPECT_FALSE(scenario.closePosted);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ((std::vector<HWND>{window, nullptr}), external->hostWindows);
}

TEST_F(HostWindow, QuitMessageEndsTheLoopAndStaysForTheOuterLoop) {
    ASSERT_EQ(S_OK, factory.Register());
    HWND window = nullptr;
    ASSERT_TRUE(scenario.Run(PagePath, external, {[&] {
                                 window = Window();
                                 PostQuitMessage(7);
                             }}));
    EXPECT_FALSE(scenario.timedOut);
    EXPECT_FALSE(IsWindow(window));
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(7u, msg.wParam);
}

struct FailureCase {
    const char* what;
    void (*configure)(htmltest::FakeDocumentBehaviour& behaviour);
};

class HostWindowFailure : public HostWindow, public testing::WithParamInterface<FailureCase> {};

TEST_P(HostWindowFailure, RefusesCreationAndReleasesTheDocument) {
    GetParam().configure(factory.behaviour);
    ASSERT_EQ(S_OK, factory.Register());
    EXPECT_TRUE(FAILED(htmlui::RunHostWindow(PagePath, external)));
    ASSERT_EQ(1u, factory.made.size());
    FakeDocument* document = Document();
    EXPECT_TRUE(document->Saw("SetClientSite null") || !document->Saw("SetClientSite"));
    EXPECT_EQ(nullptr, document->clientSite);
    EXPECT_EQ(nullptr, document->point.sink);
    ASSERT_EQ(2u, external->hostWindows.size());
    EXPECT_EQ(nullptr, external->hostWindows[1]);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostWindowFailure,
    testing::Values(
        FailureCase{"activation fails",
                    [](htmltest::FakeDocumentBehaviour& b) { b.doVerbResult = E_FAIL; }},
        FailureCase{"first page cannot start loading",
                    [](htmltest::FakeDocumentBehaviour& b) { b.loadResult = E_ACCESSDENIED; }},
        FailureCase{"no ready-state notifications",
                    [](htmltest::FakeDocumentBehaviour& b) { b.hasConnectionPoint = false; }}),
    [](const testing::TestParamInfo<FailureCase>& info) {
        std::string name;
        for (const char* c = info.param.what; *c; ++c) {
            name += isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
        }
        return name;
    });

} // namespace
