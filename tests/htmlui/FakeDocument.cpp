#include "tests/htmlui/FakeDocument.h"

#include <hlink.h>
#include <idispids.h>
#include <mshtmhst.h>

#include <cstdio>

namespace htmltest {

namespace {

std::string RectText(const RECT& r) {
    char text[96];
    snprintf(text, sizeof text, "%ld,%ld,%ld,%ld", r.left, r.top, r.right, r.bottom);
    return text;
}

std::string Narrow(const wchar_t* text) {
    std::string narrow;
    for (; text && *text; ++text) {
        narrow += *text < 128 ? static_cast<char>(*text) : '?';
    }
    return narrow;
}

} // namespace

// ---------------------------------------------------------------------------
// FakeView

LONG FakeView::live = 0;

FakeView::FakeView(FakeDocument* owner_) : owner(owner_) {
    ++live;
}

FakeView::~FakeView() {
    if (window) {
        DestroyWindow(window);
    }
    if (site) {
        site->Release();
    }
    --live;
}

HRESULT STDMETHODCALLTYPE FakeView::QueryInterface(REFIID iid, void** object) {
    if (iid == IID_IUnknown || iid == IID_IOleDocumentView) {
        *object = static_cast<IOleDocumentView*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE FakeView::AddRef() {
    return static_cast<ULONG>(++refs);
}

ULONG STDMETHODCALLTYPE FakeView::Release() {
    const LONG count = --refs;
    if (count == 0) {
        delete this;
    }
    return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE FakeView::SetInPlaceSite(IOleInPlaceSite* newSite) {
    owner->events.push_back(newSite ? "View.SetInPlaceSite" : "View.SetInPlaceSite null");
    if (newSite) {
        newSite->AddRef();
    }
    IOleInPlaceSite* old = site;
    site = newSite;
    if (old) {
        old->Release();
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeView::GetInPlaceSite(IOleInPlaceSite** result) {
    *result = site;
    if (site) {
        site->AddRef();
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeView::GetDocument(IUnknown**) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE FakeView::SetRect(LPRECT newRect) {
    rect = *newRect;
    owner->events.push_back("View.SetRect " + RectText(rect));
    if (window) {
        MoveWindow(window, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
                   TRUE);
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeView::GetRect(LPRECT result) {
    *result = rect;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeView::SetRectComplex(LPRECT, LPRECT, LPRECT, LPRECT) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE FakeView::Show(WINBOOL show) {
    owner->events.push_back(show ? "View.Show 1" : "View.Show 0");
    if (show && !window && site) {
        HWND parent = nullptr;
        site->GetWindow(&parent);
        // The document's own window, in which page elements take the focus.
        window = CreateWindowExW(0, L"EDIT", L"", WS_CHILD | WS_VISIBLE, rect.left, rect.top,
                                 rect.right - rect.left, rect.bottom - rect.top, parent, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeView::UIActivate(WINBOOL activate) {
    owner->events.push_back(activate ? "View.UIActivate 1" : "View.UIActivate 0");
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeView::Open() {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE FakeView::CloseView(DWORD reserved) {
    owner->events.push_back("View.CloseView " + std::to_string(reserved));
    if (window) {
        DestroyWindow(window);
        window = nullptr;
    }
    IOleInPlaceSite* old = site;
    site = nullptr;
    if (old) {
        old->Release();
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeView::SaveViewState(LPSTREAM) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE FakeView::ApplyViewState(LPSTREAM) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE FakeView::Clone(IOleInPlaceSite*, IOleDocumentView**) {
    return E_NOTIMPL;
}

// ---------------------------------------------------------------------------
// FakeConnectionPoint (shares the document's lifetime)

HRESULT STDMETHODCALLTYPE FakeConnectionPoint::QueryInterface(REFIID iid, void** object) {
    if (iid == IID_IUnknown || iid == IID_IConnectionPoint) {
        *object = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE FakeConnectionPoint::AddRef() {
    return static_cast<IHTMLDocument2*>(owner)->AddRef();
}

ULONG STDMETHODCALLTYPE FakeConnectionPoint::Release() {
    return static_cast<IHTMLDocument2*>(owner)->Release();
}

HRESULT STDMETHODCALLTYPE FakeConnectionPoint::GetConnectionInterface(IID* iid) {
    *iid = IID_IPropertyNotifySink;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE
FakeConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer**) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE FakeConnectionPoint::Advise(IUnknown* unknown, DWORD* cookie) {
    owner->events.push_back("Advise");
    if (sink) {
        return CONNECT_E_ADVISELIMIT;
    }
    HRESULT hr = unknown->QueryInterface(IID_IPropertyNotifySink, reinterpret_cast<void**>(&sink));
    if (FAILED(hr)) {
        return CONNECT_E_CANNOTCONNECT;
    }
    *cookie = 7;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeConnectionPoint::Unadvise(DWORD cookie) {
    owner->events.push_back("Unadvise " + std::to_string(cookie));
    if (cookie != 7 || !sink) {
        return CONNECT_E_NOCONNECTION;
    }
    IPropertyNotifySink* old = sink;
    sink = nullptr;
    old->Release();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeConnectionPoint::EnumConnections(IEnumConnections**) {
    return E_NOTIMPL;
}

// ---------------------------------------------------------------------------
// FakeDocument

LONG FakeDocument::live = 0;

FakeDocument::FakeDocument(const FakeDocumentBehaviour& behaviour_)
    : behaviour(behaviour_), point(this) {
    ++live;
}

FakeDocument::~FakeDocument() {
    if (view) {
        view->Release();
    }
    if (point.sink) {
        point.sink->Release();
    }
    if (clientSite) {
        clientSite->Release();
    }
    --live;
}

bool FakeDocument::Saw(const std::string& event) const {
    for (const std::string& seen : events) {
        if (seen == event) {
            return true;
        }
    }
    return false;
}

int FakeDocument::IndexOf(const std::string& prefix) const {
    for (size_t i = 0; i < events.size(); ++i) {
        if (events[i].compare(0, prefix.size(), prefix) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void FakeDocument::SetReadyState(long state) {
    readyState = state;
    NotifyChanged(DISPID_READYSTATE);
}

void FakeDocument::NotifyChanged(DISPID id) {
    if (point.sink) {
        point.sink->OnChanged(id);
    }
}

HRESULT STDMETHODCALLTYPE FakeDocument::QueryInterface(REFIID iid, void** object) {
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IHTMLDocument ||
        iid == IID_IHTMLDocument2) {
        *object = static_cast<IHTMLDocument2*>(this);
    } else if (iid == IID_IOleObject) {
        *object = static_cast<IOleObject*>(this);
    } else if (iid == IID_IConnectionPointContainer && behaviour.hasConnectionPoint) {
        *object = static_cast<IConnectionPointContainer*>(this);
    } else if (iid == IID_IPersistMoniker) {
        *object = static_cast<IPersistMoniker*>(this);
    } else if (iid == IID_IOleDocument) {
        *object = static_cast<IOleDocument*>(this);
    } else if (iid == IID_IOleInPlaceActiveObject) {
        *object = static_cast<IOleInPlaceActiveObject*>(this);
    } else if (iid == IID_IOleInPlaceObject) {
        *object = static_cast<IOleInPlaceObject*>(this);
    } else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE FakeDocument::AddRef() {
    return static_cast<ULONG>(++refs);
}

ULONG STDMETHODCALLTYPE FakeDocument::Release() {
    const LONG count = --refs;
    if (count == 0) {
        delete this;
    }
    return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE FakeDocument::get_URL(BSTR* url) {
    if (!url) {
        return E_POINTER;
    }
    const std::wstring& text = reportedUrl.empty() ? loadedUrl : reportedUrl;
    *url = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *url ? S_OK : E_OUTOFMEMORY;
}

HRESULT STDMETHODCALLTYPE FakeDocument::Invoke(DISPID id, REFIID iid, LCID locale, WORD flags,
                                               DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                                               UINT*) {
    if (id != DISPID_READYSTATE) {
        return DISP_E_MEMBERNOTFOUND;
    }
    events.push_back(std::string("Invoke readyState") + (iid == IID_NULL ? "" : " iid?") +
                     (params && params->cArgs == 0 && params->cNamedArgs == 0 ? "" : " args?"));
    readyStateLocale = locale;
    readyStateFlags = flags;
    if (!result) {
        return E_POINTER;
    }
    VariantInit(result);
    result->vt = VT_I4;
    result->lVal = readyState;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeDocument::SetClientSite(IOleClientSite* site) {
    events.push_back(site ? "SetClientSite" : "SetClientSite null");
    if (site) {
        site->AddRef();
        if (!firstSite) {
            firstSite = site;
            site->AddRef();
        }
    }
    // Swapped before the release: releasing may call back into this document.
    IOleClientSite* old = clientSite;
    clientSite = site;
    if (old) {
        old->Release();
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeDocument::GetClientSite(IOleClientSite** site) {
    *site = clientSite;
    if (clientSite) {
        clientSite->AddRef();
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeDocument::DoVerb(LONG verb, LPMSG, IOleClientSite* site, LONG,
                                               HWND parent, LPCRECT rect) {
    events.push_back("DoVerb " + std::to_string(verb) + (site == clientSite ? "" : " site?"));
    doVerbParent = parent;
    if (rect) {
        doVerbRect = *rect;
    }
    if (behaviour.askForRefusedServices && site) {
        for (const IID* iid : {&IID_IHlinkFrame, &IID_IServiceProvider,
                               &IID_IOleInPlaceSiteWindowless, &IID_IOleControlSite}) {
            IUnknown* answer = reinterpret_cast<IUnknown*>(1);
            refusedServiceAnswers.push_back(
                site->QueryInterface(*iid, reinterpret_cast<void**>(&answer)));
            if (answer == reinterpret_cast<IUnknown*>(1)) {
                refusedServiceAnswers.push_back(E_UNEXPECTED); // out pointer not cleared
            } else if (answer) {
                answer->Release();
            }
        }
    }
    if (FAILED(behaviour.doVerbResult)) {
        return behaviour.doVerbResult;
    }
    if (!behaviour.activateOnDoVerb || !site) {
        return S_OK;
    }
    // What the real document does when asked to activate in place.
    IOleInPlaceSite* inPlace = nullptr;
    if (SUCCEEDED(site->QueryInterface(IID_IOleInPlaceSite, reinterpret_cast<void**>(&inPlace)))) {
        if (inPlace->CanInPlaceActivate() == S_OK) {
            events.push_back("CanInPlaceActivate");
        }
        IOleInPlaceFrame* frame = nullptr;
        IOleInPlaceUIWindow* documentWindow = reinterpret_cast<IOleInPlaceUIWindow*>(1);
        frameInfo.cb = sizeof frameInfo;
        frameInfo.fMDIApp = TRUE;
        frameInfo.haccel = reinterpret_cast<HACCEL>(1);
        frameInfo.cAccelEntries = 99;
        if (SUCCEEDED(inPlace->GetWindowContext(&frame, &documentWindow, &contextPosition,
                                                &contextClip, &frameInfo))) {
            events.push_back("GetWindowContext");
            contextFrameGiven = frame != nullptr;
            contextDocumentWindowNull = documentWindow == nullptr;
            if (frame) {
                frame->Release();
            }
            if (documentWindow && documentWindow != reinterpret_cast<IOleInPlaceUIWindow*>(1)) {
                documentWindow->Release();
            }
        }
        if (inPlace->OnInPlaceActivate() == S_OK) {
            events.push_back("OnInPlaceActivate");
        }
        inPlace->Release();
    }
    IOleDocumentSite* documentSite = nullptr;
    if (SUCCEEDED(
            site->QueryInterface(IID_IOleDocumentSite, reinterpret_cast<void**>(&documentSite)))) {
        activateMeResult = documentSite->ActivateMe(nullptr);
        events.push_back("ActivateMe done");
        documentSite->Release();
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeDocument::FindConnectionPoint(REFIID iid, IConnectionPoint** result) {
    if (iid != IID_IPropertyNotifySink) {
        *result = nullptr;
        return CONNECT_E_NOCONNECTION;
    }
    *result = &point;
    point.AddRef();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeDocument::Load(WINBOOL fullyAvailable, IMoniker* moniker,
                                             LPBC bindContext, DWORD mode) {
    LPOLESTR name = nullptr;
    if (moniker && SUCCEEDED(moniker->GetDisplayName(bindContext, nullptr, &name)) && name) {
        loadedUrl = name;
        CoTaskMemFree(name);
    }
    events.push_back("Load " + std::to_string(fullyAvailable) + " " + std::to_string(mode) +
                     (bindContext ? " " : " nobind ") + Narrow(loadedUrl.c_str()));
    return behaviour.loadResult;
}

HRESULT STDMETHODCALLTYPE FakeDocument::CreateView(IOleInPlaceSite* site, IStream* stream,
                                                   DWORD reserved, IOleDocumentView** result) {
    events.push_back(std::string("CreateView") + (site ? "" : " nosite") +
                     (stream ? " stream" : "") + (reserved ? " reserved" : ""));
    if (view) {
        view->Release();
    }
    view = new FakeView(this);
    if (site) {
        view->SetInPlaceSite(site);
    }
    *result = view;
    view->AddRef();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeDocument::GetWindow(HWND* window) {
    *window = view ? view->window : nullptr;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeDocument::TranslateAccelerator(LPMSG message) {
    if (message->message >= WM_KEYFIRST && message->message <= WM_KEYLAST) {
        translated.push_back(*message);
    }
    if (message->message == WM_KEYDOWN && message->wParam == behaviour.swallowedKey) {
        return S_OK;
    }
    return S_FALSE;
}

HRESULT STDMETHODCALLTYPE FakeDocument::SetObjectRects(LPCRECT position, LPCRECT clip) {
    events.push_back("SetObjectRects " + RectText(*position) + " " + RectText(*clip));
    objectRects.push_back(*position);
    return S_OK;
}

// ---------------------------------------------------------------------------
// FakeDocumentFactory

FakeDocumentFactory::~FakeDocumentFactory() {
    Revoke();
    ReleaseDocuments();
}

void FakeDocumentFactory::ReleaseDocuments() {
    for (FakeDocument* document : made) {
        static_cast<IHTMLDocument2*>(document)->Release();
    }
    made.clear();
}

HRESULT STDMETHODCALLTYPE FakeDocumentFactory::QueryInterface(REFIID iid, void** object) {
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
        *object = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT STDMETHODCALLTYPE FakeDocumentFactory::CreateInstance(IUnknown* outer, REFIID iid,
                                                              void** object) {
    *object = nullptr;
    if (outer) {
        return CLASS_E_NOAGGREGATION;
    }
    askedFor.push_back(iid);
    FakeDocument* document = new FakeDocument(behaviour);
    const HRESULT hr = static_cast<IHTMLDocument2*>(document)->QueryInterface(iid, object);
    made.push_back(document); // keeps the creation reference
    return hr;
}

HRESULT FakeDocumentFactory::Register() {
    return CoRegisterClassObject(CLSID_HTMLDocument, static_cast<IClassFactory*>(this),
                                 CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
}

void FakeDocumentFactory::Revoke() {
    if (cookie) {
        CoRevokeClassObject(cookie);
        cookie = 0;
    }
}

} // namespace htmltest
