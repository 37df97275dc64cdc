// The browser site's answers to the document, called directly.

#include "htmlui/MSHTMLClient.h"
#include "tests/htmlui/FakeDocument.h"
#include "tests/htmlui/TestExternal.h"

#include <gtest/gtest.h>
#include <hlink.h>
#include <mshtmdid.h>

#include <string>

using htmltest::FakeDocument;
using htmltest::FakeDocumentBehaviour;
using htmltest::FakeView;
using htmltest::TestExternal;
using htmlui::MSHTMLClient;

namespace {

std::wstring WindowText(HWND window) {
    wchar_t text[256] = {};
    GetWindowTextW(window, text, 256);
    return text;
}

class Site : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 320, 240, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(nullptr, window);
        external = new TestExternal();
        site = new MSHTMLClient(window, external);
    }
    void TearDown() override {
        if (site) {
            EXPECT_EQ(0u, site->Release());
        }
        EXPECT_EQ(0u, external->Release());
        DestroyWindow(window);
        CoUninitialize();
    }

    template <typename T>
    T* As(REFIID iid) {
        T* answer = nullptr;
        EXPECT_EQ(S_OK, site->QueryInterface(iid, reinterpret_cast<void**>(&answer)));
        return answer;
    }

    HWND window = nullptr;
    TestExternal* external = nullptr;
    MSHTMLClient* site = nullptr;
};

TEST_F(Site, OneIdentityOverItsInterfaces) {
    IUnknown* identity = As<IUnknown>(IID_IUnknown);
    const IID* accepted[] = {&IID_IDispatch,
                             &IID_IDocHostUIHandler,
                             &__uuidof(IDocHostUIHandler2),
                             &__uuidof(IDocHostShowUI),
                             &IID_IOleClientSite,
                             &IID_IOleDocumentSite,
                             &IID_IOleWindow,
                             &IID_IOleInPlaceSite,
                             &IID_IOleInPlaceSiteEx,
                             &IID_IOleInPlaceUIWindow,
                             &IID_IOleInPlaceFrame,
                             &IID_IPropertyNotifySink,
                             &IID_IOleCommandTarget};
    for (const IID* iid : accepted) {
        IUnknown* answer = nullptr;
        ASSERT_EQ(S_OK, site->QueryInterface(*iid, reinterpret_cast<void**>(&answer)));
        ASSERT_NE(nullptr, answer);
        IUnknown* back = nullptr;
        ASSERT_EQ(S_OK, answer->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&back)));
        EXPECT_EQ(identity, back);
        back->Release();
        answer->Release();
    }
    const IID* refused[] = {&IID_IHlinkFrame,
                            &IID_IServiceProvider,
                            &IID_IOleInPlaceSiteWindowless,
                            &IID_IOleControlSite,
                            &IID_IOleContainer,
                            &__uuidof(IDispatchEx),
                            &IID_IOleInPlaceActiveObject};
    for (const IID* iid : refused) {
        void* answer = reinterpret_cast<void*>(1);
        EXPECT_EQ(E_NOINTERFACE, site->QueryInterface(*iid, &answer));
        EXPECT_EQ(nullptr, answer);
    }
    EXPECT_EQ(1u, identity->Release()); // only the creator's reference is left
}

TEST_F(Site, AmbientDownloadControlIsTheOnlyAmbientProperty) {
    IDispatch* ambient = As<IDispatch>(IID_IDispatch);
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    VARIANT result;
    VariantInit(&result);
    EXPECT_EQ(S_OK, ambient->Invoke(DISPID_AMBIENT_DLCONTROL, IID_NULL, 0, DISPATCH_PROPERTYGET,
                                    &none, &result, nullptr, nullptr));
    EXPECT_EQ(VT_I4, result.vt);
    EXPECT_EQ(0x2070, result.lVal);
    EXPECT_EQ(DLCTL_DLIMAGES | DLCTL_VIDEOS | DLCTL_BGSOUNDS | DLCTL_RESYNCHRONIZE, result.lVal);
    // Flags and interface id are not examined.
    VariantInit(&result);
    EXPECT_EQ(S_OK, ambient->Invoke(DISPID_AMBIENT_DLCONTROL, IID_IDispatch, 0, DISPATCH_METHOD,
                                    &none, &result, nullptr, nullptr));
    EXPECT_EQ(0x2070, result.lVal);
    for (DISPID other : {DISPID_AMBIENT_USERMODE, DISPID_AMBIENT_USERAGENT, 0, 1}) {
        VariantInit(&result);
        EXPECT_EQ(DISP_E_MEMBERNOTFOUND, ambient->Invoke(other, IID_NULL, 0, DISPATCH_PROPERTYGET,
                                                         &none, &result, nullptr, nullptr));
        EXPECT_EQ(VT_EMPTY, result.vt);
    }
    UINT count = 0;
    EXPECT_EQ(E_NOTIMPL, ambient->GetTypeInfoCount(&count));
    ITypeInfo* info = nullptr;
    EXPECT_EQ(E_NOTIMPL, ambient->GetTypeInfo(0, 0, &info));
    LPOLESTR name = const_cast<LPOLESTR>(L"x");
    DISPID id = 0;
    EXPECT_EQ(E_NOTIMPL, ambient->GetIDsOfNames(IID_NULL, &name, 1, 0, &id));
    ambient->Release();
}

TEST_F(Site, ContextMenusOnlyForControlsSelectionsAndScrollBars) {
    IDocHostUIHandler2* handler = As<IDocHostUIHandler2>(__uuidof(IDocHostUIHandler2));
    POINT point = {10, 10};
    for (DWORD id = 0; id <= 16; ++id) {
        // Form control, text selection, vertical and horizontal scroll bar.
        const bool standard = id == 2 || id == 4 || id == 10 || id == 11;
        EXPECT_EQ(standard ? S_FALSE : S_OK, handler->ShowContextMenu(id, &point, nullptr, nullptr))
            << id;
    }
    handler->Release();
}

TEST_F(Site, UiHandlerAnswers) {
    IDocHostUIHandler2* handler = As<IDocHostUIHandler2>(__uuidof(IDocHostUIHandler2));
    DOCHOSTUIINFO info;
    memset(&info, 0xAB, sizeof info);
    info.cbSize = 12345;
    EXPECT_EQ(S_OK, handler->GetHostInfo(&info));
    EXPECT_EQ(12345u, info.cbSize);
    EXPECT_EQ(0x40250003u, info.dwFlags);
    EXPECT_EQ(0u, info.dwDoubleClick);
    EXPECT_EQ(nullptr, info.pchHostCss);
    EXPECT_EQ(nullptr, info.pchHostNS);

    EXPECT_EQ(S_FALSE, handler->ShowUI(DOCHOSTUITYPE_BROWSE, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(S_OK, handler->HideUI());
    EXPECT_EQ(S_OK, handler->UpdateUI());
    EXPECT_EQ(S_OK, handler->EnableModeless(TRUE));
    EXPECT_EQ(E_NOTIMPL, handler->OnDocWindowActivate(TRUE));
    EXPECT_EQ(E_NOTIMPL, handler->OnFrameWindowActivate(TRUE));
    RECT border = {0, 0, 1, 1};
    EXPECT_EQ(E_NOTIMPL, handler->ResizeBorder(&border, nullptr, TRUE));
    MSG msg = {};
    EXPECT_EQ(E_NOTIMPL, handler->TranslateAccelerator(&msg, nullptr, 0));
    LPOLESTR key = reinterpret_cast<LPOLESTR>(1);
    EXPECT_EQ(S_FALSE, handler->GetOptionKeyPath(&key, 0));
    EXPECT_EQ(nullptr, key);
    key = reinterpret_cast<LPOLESTR>(1);
    EXPECT_EQ(S_FALSE, handler->GetOverrideKeyPath(&key, 0));
    EXPECT_EQ(nullptr, key);
    IDropTarget* target = nullptr;
    EXPECT_EQ(E_FAIL, handler->GetDropTarget(nullptr, &target));
    LPWSTR translated = reinterpret_cast<LPWSTR>(1);
    EXPECT_EQ(S_FALSE, handler->TranslateUrl(0, const_cast<LPWSTR>(L"http://x/"), &translated));
    EXPECT_EQ(nullptr, translated);
    IDataObject* data = nullptr;
    EXPECT_EQ(E_NOTIMPL, handler->FilterDataObject(nullptr, &data));

    IDispatch* page = nullptr;
    EXPECT_EQ(S_OK, handler->GetExternal(&page));
    EXPECT_EQ(static_cast<IDispatch*>(external), page);
    EXPECT_EQ(2, external->References());
    page->Release();
    site->SetExternalObject(nullptr);
    page = reinterpret_cast<IDispatch*>(1);
    EXPECT_EQ(S_FALSE, handler->GetExternal(&page));
    EXPECT_EQ(nullptr, page);
    handler->Release();
}

TEST_F(Site, DocumentMessageBoxesAreSwallowed) {
    IDocHostShowUI* show = As<IDocHostShowUI>(__uuidof(IDocHostShowUI));
    LRESULT result = 12345;
    // Returns at once (no modal box under the test display) and leaves the result.
    EXPECT_EQ(S_OK, show->ShowMessage(window, const_cast<LPOLESTR>(L"Hello"),
                                      const_cast<LPOLESTR>(L"Alert"), MB_OK, nullptr, 0, &result));
    EXPECT_EQ(12345, result);
    POINT point = {0, 0};
    EXPECT_EQ(E_NOTIMPL, show->ShowHelp(window, nullptr, 0, 0, point, nullptr));
    show->Release();
}

TEST_F(Site, ClientSiteInPlaceSiteAndFrameAnswers) {
    IOleClientSite* client = As<IOleClientSite>(IID_IOleClientSite);
    IOleContainer* container = reinterpret_cast<IOleContainer*>(1);
    EXPECT_EQ(E_NOINTERFACE, client->GetContainer(&container));
    EXPECT_EQ(nullptr, container);
    IMoniker* moniker = nullptr;
    EXPECT_EQ(E_NOTIMPL, client->SaveObject());
    EXPECT_EQ(E_NOTIMPL, client->GetMoniker(0, 0, &moniker));
    EXPECT_EQ(E_NOTIMPL, client->ShowObject());
    EXPECT_EQ(E_NOTIMPL, client->OnShowWindow(TRUE));
    EXPECT_EQ(E_NOTIMPL, client->RequestNewObjectLayout());
    client->Release();

    IOleInPlaceSiteEx* inPlace = As<IOleInPlaceSiteEx>(IID_IOleInPlaceSiteEx);
    HWND answer = nullptr;
    EXPECT_EQ(S_OK, inPlace->GetWindow(&answer));
    EXPECT_EQ(window, answer);
    EXPECT_EQ(E_NOTIMPL, inPlace->ContextSensitiveHelp(TRUE));
    SIZE extent = {1, 1};
    EXPECT_EQ(E_NOTIMPL, inPlace->Scroll(extent));
    EXPECT_EQ(E_NOTIMPL, inPlace->DiscardUndoState());
    EXPECT_EQ(E_NOTIMPL, inPlace->DeactivateAndUndo());
    RECT rect = {0, 0, 1, 1};
    EXPECT_EQ(E_NOTIMPL, inPlace->OnPosRectChange(&rect));
    EXPECT_EQ(S_OK, inPlace->CanInPlaceActivate());
    EXPECT_EQ(S_OK, inPlace->OnInPlaceActivate());
    EXPECT_EQ(S_OK, inPlace->OnUIActivate());
    EXPECT_EQ(S_OK, inPlace->OnUIDeactivate(FALSE));
    EXPECT_EQ(S_OK, inPlace->OnInPlaceDeactivate());
    EXPECT_EQ(S_OK, inPlace->OnInPlaceDeactivateEx(TRUE));
    EXPECT_EQ(S_OK, inPlace->RequestUIActivate());
    WINBOOL noRedraw = FALSE;
    EXPECT_EQ(S_OK, inPlace->OnInPlaceActivateEx(&noRedraw, 0));
    EXPECT_EQ(TRUE, noRedraw);

    IOleInPlaceFrame* frame = nullptr;
    IOleInPlaceUIWindow* documentWindow = reinterpret_cast<IOleInPlaceUIWindow*>(1);
    RECT position = {}, clip = {};
    OLEINPLACEFRAMEINFO info = {};
    info.cb = sizeof info;
    info.fMDIApp = TRUE;
    info.cAccelEntries = 5;
    EXPECT_EQ(S_OK, inPlace->GetWindowContext(&frame, &documentWindow, &position, &clip, &info));
    EXPECT_EQ(nullptr, documentWindow);
    EXPECT_EQ(320, position.right);
    EXPECT_EQ(240, position.bottom);
    EXPECT_EQ(320, clip.right);
    EXPECT_EQ(240, clip.bottom);
    EXPECT_EQ(FALSE, info.fMDIApp);
    EXPECT_EQ(window, info.hwndFrame);
    EXPECT_EQ(nullptr, info.haccel);
    EXPECT_EQ(0u, info.cAccelEntries);
    ASSERT_NE(nullptr, frame);
    inPlace->Release();

    answer = nullptr;
    EXPECT_EQ(S_OK, frame->GetWindow(&answer));
    EXPECT_EQ(window, answer);
    EXPECT_EQ(S_OK, frame->SetActiveObject(nullptr, nullptr));
    EXPECT_EQ(S_OK, frame->EnableModeless(FALSE));
    EXPECT_EQ(S_OK, frame->SetStatusText(L"Done"));
    EXPECT_EQ(S_OK, frame->SetStatusText(nullptr));
    EXPECT_EQ(E_NOTIMPL, frame->ContextSensitiveHelp(FALSE));
    EXPECT_EQ(E_NOTIMPL, frame->GetBorder(&rect));
    BORDERWIDTHS widths = {0, 0, 0, 0};
    EXPECT_EQ(E_NOTIMPL, frame->RequestBorderSpace(&widths));
    EXPECT_EQ(E_NOTIMPL, frame->SetBorderSpace(&widths));
    OLEMENUGROUPWIDTHS groups = {};
    EXPECT_EQ(E_NOTIMPL, frame->InsertMenus(nullptr, &groups));
    EXPECT_EQ(E_NOTIMPL, frame->SetMenu(nullptr, nullptr, nullptr));
    EXPECT_EQ(E_NOTIMPL, frame->RemoveMenus(nullptr));
    MSG msg = {};
    EXPECT_EQ(E_NOTIMPL, frame->TranslateAccelerator(&msg, 0));
    frame->Release();

    IPropertyNotifySink* sink = As<IPropertyNotifySink>(IID_IPropertyNotifySink);
    EXPECT_EQ(S_OK, sink->OnRequestEdit(DISPID_READYSTATE));
    EXPECT_EQ(S_OK, sink->OnChanged(DISPID_READYSTATE)); // no document: nothing to read
    EXPECT_TRUE(external->completedSites.empty());
    sink->Release();
}

TEST_F(Site, CommandsFollowTheirGroup) {
    IOleCommandTarget* target = As<IOleCommandTarget>(IID_IOleCommandTarget);
    const GUID other = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    struct Case {
        const GUID* group;
        DWORD command;
        HRESULT hr;
    };
    const Case cases[] = {
        {nullptr, OLECMDID_SETTITLE, S_OK},
        {nullptr, OLECMDID_REFRESH, E_NOTIMPL},
        {nullptr, 6041, E_NOTIMPL},
        {&CGID_DocHostCommandHandler, 6041, S_OK},
        {&CGID_DocHostCommandHandler, 6, S_OK},
        {&CGID_DocHostCommandHandler, 40, OLECMDERR_E_NOTSUPPORTED},
        {&CGID_DocHostCommandHandler, OLECMDID_SETTITLE, OLECMDERR_E_NOTSUPPORTED},
        {&other, 6041, OLECMDERR_E_UNKNOWNGROUP},
        {&other, OLECMDID_SETTITLE, OLECMDERR_E_UNKNOWNGROUP},
    };
    SetWindowTextW(window, L"before");
    for (const Case& c : cases) {
        VARIANT in;
        VariantInit(&in);
        in.vt = VT_BSTR;
        in.bstrVal = SysAllocString(L"Ignored");
        EXPECT_EQ(c.hr, target->Exec(c.group, c.command, 0, &in, nullptr)) << c.command;
        VariantClear(&in);
    }
    // Only the title command of the standard set changed the text.
    EXPECT_EQ(L"Ignored", WindowText(window));
    OLECMD command = {OLECMDID_SETTITLE, 0};
    EXPECT_EQ(E_NOTIMPL, target->QueryStatus(nullptr, 1, &command, nullptr));
    target->Release();
}

TEST_F(Site, DocumentThatIsNeverActivatedIsSizedThroughItsInPlaceObject) {
    FakeDocumentBehaviour behaviour;
    behaviour.activateOnDoVerb = false;
    FakeDocument* document = new FakeDocument(behaviour);
    document->AddRef(); // the test's own reference
    ASSERT_EQ(S_OK, site->AttachBrowser(document));
    EXPECT_EQ(nullptr, site->GetActiveView());
    SetWindowPos(window, nullptr, 0, 0, 200, 100, SWP_NOZORDER | SWP_NOMOVE | SWP_NOACTIVATE);
    site->UpdateBrowserRect();
    EXPECT_TRUE(document->Saw("SetObjectRects 0,0,200,100 0,0,200,100"));
    site->DetachBrowser();
    EXPECT_EQ(nullptr, site->GetDocument());
    EXPECT_EQ(1, document->References());
    // Calls after detaching find nothing and do nothing.
    const size_t seen = document->events.size();
    site->UpdateBrowserRect();
    EXPECT_TRUE(FAILED(site->NavigateTo(L"C:\\pages\\Load.html")));
    IOleDocumentSite* documentSite = As<IOleDocumentSite>(IID_IOleDocumentSite);
    EXPECT_TRUE(FAILED(documentSite->ActivateMe(nullptr)));
    documentSite->Release();
    site->DetachBrowser();
    EXPECT_EQ(seen, document->events.size());
    IOleClientSite* extra = document->firstSite;
    EXPECT_EQ(0u, static_cast<IHTMLDocument2*>(document)->Release());
    ASSERT_NE(nullptr, extra);
    EXPECT_EQ(1u, extra->Release()); // the creator's reference is all that is left
}

TEST_F(Site, ReadyStateCompleteWithoutAScriptObjectReachesNobody) {
    FakeDocument* document = new FakeDocument(FakeDocumentBehaviour());
    document->AddRef();
    ASSERT_EQ(S_OK, site->AttachBrowser(document));
    site->SetExternalObject(nullptr);
    document->SetReadyState(4);
    EXPECT_EQ(-1, document->IndexOf("Invoke readyState")); // not even asked
    site->SetExternalObject(external);
    document->SetReadyState(4);
    EXPECT_EQ(1u, external->completedSites.size());
    EXPECT_EQ(site, external->completedSites[0]);
    site->DetachBrowser();
    IOleClientSite* extra = document->firstSite;
    EXPECT_EQ(0u, static_cast<IHTMLDocument2*>(document)->Release());
    EXPECT_EQ(1u, extra->Release());
}

TEST_F(Site, RefusedServicesAreRefusedToTheDocument) {
    FakeDocumentBehaviour behaviour;
    behaviour.askForRefusedServices = true;
    FakeDocument* document = new FakeDocument(behaviour);
    document->AddRef();
    ASSERT_EQ(S_OK, site->AttachBrowser(document));
    EXPECT_EQ((std::vector<HRESULT>{E_NOINTERFACE, E_NOINTERFACE, E_NOINTERFACE, E_NOINTERFACE}),
              document->refusedServiceAnswers);
    site->DetachBrowser();
    IOleClientSite* extra = document->firstSite;
    EXPECT_EQ(0u, static_cast<IHTMLDocument2*>(document)->Release());
    EXPECT_EQ(1u, extra->Release());
}

TEST_F(Site, LastReleaseWhileAttachedDetachesFirst) {
    FakeDocument* document = new FakeDocument(FakeDocumentBehaviour());
    document->AddRef(); // the test's own reference
    ASSERT_EQ(S_OK, site->AttachBrowser(document));
    IOleClientSite* extra = document->firstSite;
    document->firstSite = nullptr;
    EXPECT_EQ(4u, extra->Release());
    // The creator lets go without detaching: the document still holds the site
    // (client site, view site, ready-state sink).
    EXPECT_EQ(3u, site->Release());
    site = nullptr;
    // The document drops them one by one; the last one frees the site, which
    // first detaches: it closes its view and lets go of the document.
    document->view->CloseView(0);
    document->point.Unadvise(7);
    const LONG viewsBefore = FakeView::live;
    EXPECT_EQ(S_OK, document->SetClientSite(nullptr));
    EXPECT_EQ(1, document->References());
    EXPECT_EQ(viewsBefore, FakeView::live); // the document still keeps its own view
    EXPECT_EQ("SetClientSite null", document->events.back());
    EXPECT_EQ(0u, static_cast<IHTMLDocument2*>(document)->Release());
    EXPECT_EQ(0, FakeView::live);
}

} // namespace

namespace {

std::string Narrow(const wchar_t* text) {
    std::string narrow;
    for (; *text; ++text) {
        narrow += static_cast<char>(*text);
    }
    return narrow;
}

// A site whose pages are in C:\pages\, showing the first of them.
class OwnPagesSite : public Site {
protected:
    void SetUp() override {
        Site::SetUp();
        site->SetPagesFolder(L"C:\\pages\\");
        document = new FakeDocument(FakeDocumentBehaviour());
        document->AddRef();
        ASSERT_EQ(S_OK, site->AttachBrowser(document));
        ASSERT_EQ(S_OK, site->NavigateTo(L"C:\\pages\\Load.html"));
        ASSERT_EQ(L"file:///C:/pages/Load.html", document->loadedUrl);
        handler = As<IDocHostUIHandler>(IID_IDocHostUIHandler);
    }
    void TearDown() override {
        handler->Release();
        site->DetachBrowser();
        IOleClientSite* extra = document->firstSite;
        EXPECT_EQ(0u, static_cast<IHTMLDocument2*>(document)->Release());
        EXPECT_EQ(1u, extra->Release());
        Site::TearDown();
    }

    FakeDocument* document = nullptr;
    IDocHostUIHandler* handler = nullptr;
};

TEST_F(OwnPagesSite, TheScriptObjectGoesOnlyToDocumentsFromThePagesFolder) {
    struct Case {
        const wchar_t* url; // what the document says it shows
        bool given;
    } cases[] = {
        {L"", true}, // the page it loaded: file:///C:/pages/Load.html
        {L"file:///C:/pages/Agreement.html", true},
        {L"file:///C:/pages/js/../../evil.html", false},
        {L"file:///C:/other/Load.html", false},
        {L"http://attacker.test/Load.html", false},
        {L"https://attacker.test/", false},
        {L"about:blank", false},
    };
    for (const Case& c : cases) {
        document->reportedUrl = c.url;
        IDispatch* page = reinterpret_cast<IDispatch*>(1);
        EXPECT_EQ(c.given ? S_OK : S_FALSE, handler->GetExternal(&page)) << Narrow(c.url);
        if (c.given) {
            EXPECT_EQ(static_cast<IDispatch*>(external), page);
            EXPECT_EQ(2, external->References());
            page->Release();
        } else {
            EXPECT_EQ(nullptr, page) << Narrow(c.url);
            EXPECT_EQ(1, external->References()) << Narrow(c.url);
        }
    }
}

TEST_F(OwnPagesSite, AWindowTakenElsewhereGoesBackToItsLastPageAndTheAddressOutside) {
    document->reportedUrl = L"file:///C:/pages/Agreement.html";
    document->SetReadyState(4);
    ASSERT_EQ(1u, external->completedSites.size());
    const size_t loads = document->events.size();

    // A link in the licence that takes the whole window: stopped as it starts.
    document->reportedUrl = L"http://attacker.test/phish";
    document->SetReadyState(1);
    EXPECT_EQ(std::vector<std::wstring>{L"http://attacker.test/phish"}, external->openedOutside);
    ASSERT_GT(document->events.size(), loads);
    const std::string reload = document->events.back();
    EXPECT_EQ(0u, reload.find("Load ")) << reload;
    EXPECT_NE(std::string::npos, reload.find(" file:///C:/pages/Agreement.html")) << reload;
    EXPECT_EQ(L"file:///C:/pages/Agreement.html", document->loadedUrl);
    // Its completion reaches nobody either.
    document->SetReadyState(4);
    EXPECT_EQ(1u, external->completedSites.size());
    EXPECT_EQ(2u, external->openedOutside.size());

    // Back on the page: it completes as before.
    document->reportedUrl.clear();
    document->SetReadyState(4);
    EXPECT_EQ(2u, external->completedSites.size());
    EXPECT_EQ(2u, external->openedOutside.size());
}

TEST_F(OwnPagesSite, AnotherLocalFileIsStoppedToo) {
    document->reportedUrl = L"file:///C:/Users/Public/Downloads/fake.html";
    document->SetReadyState(1);
    EXPECT_EQ(std::vector<std::wstring>{L"file:///C:/Users/Public/Downloads/fake.html"},
              external->openedOutside);
    EXPECT_EQ(L"file:///C:/pages/Load.html", document->loadedUrl);
    EXPECT_TRUE(external->completedSites.empty());
}

} // namespace
