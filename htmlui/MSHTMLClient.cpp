#include "htmlui/MSHTMLClient.h"

#include "base/ComPtr.h"
#include "htmlui/MSHTMLExternal.h"
#include "htmlui/PageOrigin.h"

#include <idispids.h>
#include <mshtmdid.h>
#include <urlmon.h>

// Identifiers that the import libraries do not carry; selectany so that a
// later definition elsewhere cannot clash.
EXTERN_C const GUID DECLSPEC_SELECTANY CLSID_HTMLDocument = {
    0x25336920, 0x03f9, 0x11cf, {0x8f, 0xd0, 0x00, 0xaa, 0x00, 0x68, 0x6f, 0x13}};
EXTERN_C const GUID DECLSPEC_SELECTANY CGID_DocHostCommandHandler = {
    0xf38bc242, 0xb950, 0x11d1, {0x89, 0x18, 0x00, 0xc0, 0x4f, 0xc2, 0xc8, 0x36}};

namespace htmlui {

namespace {

// Two commands of the document's host group, which the platform's headers do
// not name, that the document sends to ask its host for browser-window
// behaviour. A dialog-like host has nothing to do for them; acknowledging
// them keeps the document from falling back to behaviour of its own.
const DWORD IgnoredHostCommand1 = 6041;
const DWORD IgnoredHostCommand2 = 6;

// Context menu kinds for which the document shows its standard menu. Spelled
// out: the cross-compiler's headers number the scroll-bar kinds one too low.
const DWORD MenuForControl = 2;
const DWORD MenuForTextSelection = 4;
const DWORD MenuForVerticalScrollBar = 10;
const DWORD MenuForHorizontalScrollBar = 11;

} // namespace

MSHTMLClient::MSHTMLClient(HWND hostWindow_, MSHTMLExternal* external_)
    : refCount(1), hostWindow(hostWindow_), document(nullptr), activeView(nullptr),
      external(external_), sinkCookie(0) {}

MSHTMLClient::~MSHTMLClient() {}

// ---------------------------------------------------------------------------
// Operations of the host window

namespace {

// The failure of a step that may also "succeed" without giving an object.
HRESULT Missing(HRESULT hr) {
    return FAILED(hr) ? hr : E_NOINTERFACE;
}

} // namespace

HRESULT MSHTMLClient::CreateBrowser() {
    ComPtr<IHTMLDocument2> created;
    const HRESULT hr =
        CoCreateInstance(CLSID_HTMLDocument, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&created));
    if (FAILED(hr) || !created) {
        return Missing(hr);
    }
    // The site keeps the creation reference as its own.
    return AttachBrowser(created.Detach());
}

HRESULT MSHTMLClient::AttachBrowser(IHTMLDocument2* newDocument) {
    DetachBrowser();
    if (!newDocument) {
        return E_POINTER;
    }
    document = newDocument;

    ComPtr<IConnectionPointContainer> container;
    HRESULT hr = document->QueryInterface(IID_PPV_ARGS(&container));
    if (FAILED(hr) || !container) {
        return Missing(hr);
    }
    ComPtr<IConnectionPoint> point;
    hr = container->FindConnectionPoint(IID_IPropertyNotifySink, &point);
    container.Reset();
    if (FAILED(hr) || !point) {
        return Missing(hr);
    }
    DWORD cookie = 0;
    hr = point->Advise(static_cast<IPropertyNotifySink*>(this), &cookie);
    point.Reset();
    if (FAILED(hr)) {
        return hr;
    }
    sinkCookie = cookie;

    ComPtr<IOleObject> oleObject;
    hr = document->QueryInterface(IID_PPV_ARGS(&oleObject));
    if (FAILED(hr) || !oleObject) {
        return Missing(hr);
    }
    hr = oleObject->SetClientSite(static_cast<IOleClientSite*>(this));
    if (FAILED(hr)) {
        return hr;
    }
    RECT client = ClientRect();
    return oleObject->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, static_cast<IOleClientSite*>(this),
                             0, hostWindow, &client);
}

HRESULT MSHTMLClient::NavigateTo(const wchar_t* url) {
    if (!url || !document) {
        return E_POINTER;
    }
    if (IsOwnPage(url, pagesFolder)) {
        lastOwnPage = url;
    }
    ComPtr<IMoniker> moniker;
    HRESULT hr = CreateURLMonikerEx(nullptr, url, &moniker, URL_MK_UNIFORM);
    if (FAILED(hr) || !moniker) {
        return Missing(hr);
    }
    ComPtr<IBindCtx> bindContext;
    hr = CreateBindCtx(0, &bindContext);
    ComPtr<IPersistMoniker> persist;
    if (SUCCEEDED(hr)) {
        hr = document->QueryInterface(IID_PPV_ARGS(&persist));
    }
    if (SUCCEEDED(hr) && persist) {
        hr = persist->Load(FALSE, moniker.Get(), bindContext.Get(), STGM_READ);
    } else if (SUCCEEDED(hr)) {
        hr = E_NOINTERFACE;
    }
    return hr;
}

void MSHTMLClient::UpdateBrowserRect() {
    RECT client = ClientRect();
    if (activeView) {
        activeView->SetRect(&client);
        return;
    }
    if (!document) {
        return;
    }
    ComPtr<IOleInPlaceObject> inPlace;
    if (SUCCEEDED(document->QueryInterface(IID_PPV_ARGS(&inPlace))) && inPlace) {
        inPlace->SetObjectRects(&client, &client);
    }
}

void MSHTMLClient::DetachBrowser() {
    // The document may hold the last other references to this site and drop
    // them during these calls; keep the object alive until they are done.
    AddRef();
    if (activeView) {
        IOleDocumentView* view = activeView;
        activeView = nullptr;
        view->CloseView(0);
        view->Release();
    }
    if (sinkCookie != 0) {
        const DWORD cookie = sinkCookie;
        sinkCookie = 0;
        ComPtr<IConnectionPointContainer> container;
        if (document && SUCCEEDED(document->QueryInterface(IID_PPV_ARGS(&container))) &&
            container) {
            ComPtr<IConnectionPoint> point;
            if (SUCCEEDED(container->FindConnectionPoint(IID_IPropertyNotifySink, &point)) &&
                point) {
                point->Unadvise(cookie);
            }
        }
    }
    if (document) {
        IHTMLDocument2* old = document;
        document = nullptr;
        ComPtr<IOleObject> oleObject;
        if (SUCCEEDED(old->QueryInterface(IID_PPV_ARGS(&oleObject))) && oleObject) {
            oleObject->SetClientSite(nullptr);
        }
        oleObject.Reset();
        old->Release();
    }
    Release();
}

RECT MSHTMLClient::ClientRect() const {
    RECT client = {0, 0, 0, 0};
    if (!hostWindow || !GetClientRect(hostWindow, &client)) {
        SetRectEmpty(&client);
    }
    return client;
}

// ---------------------------------------------------------------------------
// IUnknown

HRESULT STDMETHODCALLTYPE MSHTMLClient::QueryInterface(REFIID iid, void** object) {
    if (!object) {
        return E_POINTER;
    }
    if (iid == IID_IUnknown || iid == IID_IDispatch) {
        *object = static_cast<IDispatch*>(this);
    } else if (iid == __uuidof(IDocHostUIHandler) || iid == __uuidof(IDocHostUIHandler2)) {
        *object = static_cast<IDocHostUIHandler2*>(this);
    } else if (iid == __uuidof(IDocHostShowUI)) {
        *object = static_cast<IDocHostShowUI*>(this);
    } else if (iid == IID_IOleClientSite) {
        *object = static_cast<IOleClientSite*>(this);
    } else if (iid == IID_IOleDocumentSite) {
        *object = static_cast<IOleDocumentSite*>(this);
    } else if (iid == IID_IOleWindow || iid == IID_IOleInPlaceSite ||
               iid == IID_IOleInPlaceSiteEx) {
        *object = static_cast<IOleInPlaceSiteEx*>(this);
    } else if (iid == IID_IOleInPlaceUIWindow || iid == IID_IOleInPlaceFrame) {
        *object = static_cast<IOleInPlaceFrame*>(this);
    } else if (iid == IID_IPropertyNotifySink) {
        *object = static_cast<IPropertyNotifySink*>(this);
    } else if (iid == IID_IOleCommandTarget) {
        *object = static_cast<IOleCommandTarget*>(this);
    } else {
        // Refused on purpose among the rest: IHlinkFrame, IServiceProvider,
        // IOleInPlaceSiteWindowless, IOleControlSite.
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE MSHTMLClient::AddRef() {
    return static_cast<ULONG>(++refCount);
}

ULONG STDMETHODCALLTYPE MSHTMLClient::Release() {
    const LONG count = --refCount;
    if (count == 0) {
        // Hold the object while the document lets go of it, so that its
        // Release calls cannot free it a second time.
        refCount = 1;
        DetachBrowser();
        delete this;
    }
    return static_cast<ULONG>(count);
}

// ---------------------------------------------------------------------------
// IDispatch: ambient properties

HRESULT STDMETHODCALLTYPE MSHTMLClient::GetTypeInfoCount(UINT*) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::GetTypeInfo(UINT, LCID, ITypeInfo**) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*,
                                               VARIANT* result, EXCEPINFO*, UINT*) {
    if (id != DISPID_AMBIENT_DLCONTROL) {
        return DISP_E_MEMBERNOTFOUND;
    }
    if (!result) {
        return E_POINTER;
    }
    VariantInit(result);
    result->vt = VT_I4;
    result->lVal = AmbientDownloadControl;
    return S_OK;
}

// ---------------------------------------------------------------------------
// IDocHostUIHandler2

HRESULT STDMETHODCALLTYPE MSHTMLClient::ShowContextMenu(DWORD id, POINT*, IUnknown*, IDispatch*) {
    switch (id) {
    case MenuForControl:
    case MenuForTextSelection:
    case MenuForVerticalScrollBar:
    case MenuForHorizontalScrollBar:
        return S_FALSE; // the document's own menu
    default:
        return S_OK; // no menu at all
    }
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::GetHostInfo(DOCHOSTUIINFO* info) {
    if (!info) {
        return E_POINTER;
    }
    info->dwFlags = HostInfoFlags;
    info->dwDoubleClick = DOCHOSTUIDBLCLK_DEFAULT;
    info->pchHostCss = nullptr;
    info->pchHostNS = nullptr;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::ShowUI(DWORD id, IOleInPlaceActiveObject* activeObject,
                                               IOleCommandTarget*, IOleInPlaceFrame*,
                                               IOleInPlaceUIWindow*) {
    DebugTrace("ShowUI %d %p\n", static_cast<int>(id), static_cast<void*>(activeObject));
    return S_FALSE;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::HideUI() {
    return S_OK;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::UpdateUI() {
    return S_OK;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::EnableModeless(WINBOOL) {
    return S_OK;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::OnDocWindowActivate(WINBOOL) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::OnFrameWindowActivate(WINBOOL) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, WINBOOL) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::TranslateAccelerator(LPMSG, const GUID*, DWORD) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::GetOptionKeyPath(LPOLESTR* key, DWORD) {
    if (key) {
        *key = nullptr;
    }
    return S_FALSE;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::GetDropTarget(IDropTarget*, IDropTarget**) {
    return E_FAIL;
}

std::wstring MSHTMLClient::DocumentUrl() const {
    BSTR url = nullptr;
    if (!document || FAILED(document->get_URL(&url)) || !url) {
        return std::wstring();
    }
    std::wstring text(url, SysStringLen(url));
    SysFreeString(url);
    return text;
}

void MSHTMLClient::LeaveForeignDocument(const std::wstring& url) {
    // The page it came from is shown again; nothing is shown when the
    // program's own pages were never shown.
    if (!lastOwnPage.empty()) {
        const std::wstring back = lastOwnPage;
        NavigateTo(back.c_str());
    }
    if (external) {
        external->OpenOutside(url.c_str());
    }
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::GetExternal(IDispatch** object) {
    if (!object) {
        return E_POINTER;
    }
    // The document asking is the attached one. The script object holds the
    // program's rights: only the program's own pages get it.
    if (!external || (document && !IsOwnPage(DocumentUrl(), pagesFolder))) {
        *object = nullptr;
        return S_FALSE;
    }
    external->AddRef();
    *object = static_cast<IDispatch*>(external);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::TranslateUrl(DWORD, LPWSTR, LPWSTR* translated) {
    if (translated) {
        *translated = nullptr;
    }
    return S_FALSE;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::FilterDataObject(IDataObject*, IDataObject**) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::GetOverrideKeyPath(LPOLESTR* key, DWORD) {
    if (key) {
        *key = nullptr;
    }
    return S_FALSE;
}

// ---------------------------------------------------------------------------
// IDocHostShowUI

HRESULT STDMETHODCALLTYPE MSHTMLClient::ShowMessage(HWND window, LPOLESTR text, LPOLESTR caption,
                                                    DWORD type, LPOLESTR, DWORD, LRESULT*) {
    // The document's message boxes, script alerts included, are never shown.
    DebugTrace("ShowMessage %p %d\n  %S\n  %S\n", static_cast<void*>(window),
               static_cast<int>(type), caption, text);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::ShowHelp(HWND, LPOLESTR, UINT, DWORD, POINT, IDispatch*) {
    return E_NOTIMPL;
}

// ---------------------------------------------------------------------------
// IOleClientSite

HRESULT STDMETHODCALLTYPE MSHTMLClient::SaveObject() {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::GetMoniker(DWORD, DWORD, IMoniker**) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::GetContainer(IOleContainer** container) {
    if (container) {
        *container = nullptr;
    }
    return E_NOINTERFACE;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::ShowObject() {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::OnShowWindow(WINBOOL) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::RequestNewObjectLayout() {
    return E_NOTIMPL;
}

// ---------------------------------------------------------------------------
// IOleDocumentSite

void MSHTMLClient::ActivateView(IOleDocumentView* view) {
    RECT client = ClientRect();
    view->SetInPlaceSite(static_cast<IOleInPlaceSiteEx*>(this));
    view->SetRect(&client);
    view->UIActivate(TRUE);
    view->Show(TRUE);
    view->AddRef();
    if (activeView) {
        activeView->Release();
    }
    activeView = view;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::ActivateMe(IOleDocumentView* view) {
    if (view) {
        ActivateView(view);
        return S_OK;
    }
    if (!document) {
        return E_UNEXPECTED;
    }
    ComPtr<IOleDocument> oleDocument;
    HRESULT hr = document->QueryInterface(IID_PPV_ARGS(&oleDocument));
    if (FAILED(hr) || !oleDocument) {
        return FAILED(hr) ? hr : E_NOINTERFACE;
    }
    ComPtr<IOleDocumentView> created;
    hr = oleDocument->CreateView(static_cast<IOleInPlaceSiteEx*>(this), nullptr, 0, &created);
    oleDocument.Reset();
    if (FAILED(hr) || !created) {
        return FAILED(hr) ? hr : E_FAIL;
    }
    ActivateView(created.Get());
    return S_OK;
}

// ---------------------------------------------------------------------------
// IOleWindow, IOleInPlaceSiteEx

HRESULT STDMETHODCALLTYPE MSHTMLClient::GetWindow(HWND* window) {
    if (!window) {
        return E_POINTER;
    }
    *window = hostWindow;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::ContextSensitiveHelp(WINBOOL) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::CanInPlaceActivate() {
    return S_OK;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::OnInPlaceActivate() {
    return S_OK;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::OnUIActivate() {
    return S_OK;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::GetWindowContext(IOleInPlaceFrame** frame,
                                                         IOleInPlaceUIWindow** documentWindow,
                                                         LPRECT position, LPRECT clip,
                                                         LPOLEINPLACEFRAMEINFO frameInfo) {
    if (frame) {
        *frame = static_cast<IOleInPlaceFrame*>(this);
        AddRef();
    }
    if (documentWindow) {
        *documentWindow = nullptr;
    }
    const RECT client = ClientRect();
    if (position) {
        *position = client;
    }
    if (clip) {
        *clip = client;
    }
    if (frameInfo) {
        frameInfo->fMDIApp = FALSE;
        frameInfo->hwndFrame = hostWindow;
        frameInfo->haccel = nullptr;
        frameInfo->cAccelEntries = 0;
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::Scroll(SIZE) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::OnUIDeactivate(WINBOOL) {
    return S_OK;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::OnInPlaceDeactivate() {
    return S_OK;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::DiscardUndoState() {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::DeactivateAndUndo() {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::OnPosRectChange(LPCRECT) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::OnInPlaceActivateEx(WINBOOL* noRedraw, DWORD) {
    if (noRedraw) {
        *noRedraw = TRUE;
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::OnInPlaceDeactivateEx(WINBOOL) {
    return S_OK;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::RequestUIActivate() {
    return S_OK;
}

// ---------------------------------------------------------------------------
// IOleInPlaceUIWindow, IOleInPlaceFrame

HRESULT STDMETHODCALLTYPE MSHTMLClient::GetBorder(LPRECT) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::RequestBorderSpace(LPCBORDERWIDTHS) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::SetBorderSpace(LPCBORDERWIDTHS) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::SetActiveObject(IOleInPlaceActiveObject*, LPCOLESTR) {
    return S_OK;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::SetMenu(HMENU, HOLEMENU, HWND) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::RemoveMenus(HMENU) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::SetStatusText(LPCOLESTR text) {
    if (text) {
        DebugTrace("StatusText: %S\n", text);
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::TranslateAccelerator(LPMSG, WORD) {
    return E_NOTIMPL;
}

// ---------------------------------------------------------------------------
// IPropertyNotifySink

HRESULT STDMETHODCALLTYPE MSHTMLClient::OnChanged(DISPID id) {
    if (id != DISPID_READYSTATE || !document) {
        return S_OK;
    }
    // Every step of a load reports its ready state, the first as it starts:
    // a document from elsewhere (a link or a script that took the whole
    // window) is stopped there. A document that names no URL has loaded
    // nothing yet; it still gets no script object (GetExternal).
    const std::wstring url = DocumentUrl();
    if (!url.empty() && !IsOwnPage(url, pagesFolder)) {
        LeaveForeignDocument(url);
        return S_OK;
    }
    if (!url.empty()) {
        lastOwnPage = url;
    }
    if (!external) {
        return S_OK;
    }
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    VARIANT state;
    VariantInit(&state);
    const HRESULT hr = document->Invoke(DISPID_READYSTATE, IID_NULL, LOCALE_SYSTEM_DEFAULT,
                                        DISPATCH_PROPERTYGET, &none, &state, nullptr, nullptr);
    const bool complete = SUCCEEDED(hr) && state.vt == VT_I4 && state.lVal == READYSTATE_COMPLETE;
    VariantClear(&state);
    if (complete) {
        external->OnDocumentComplete(this);
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::OnRequestEdit(DISPID) {
    return S_OK;
}

// ---------------------------------------------------------------------------
// IOleCommandTarget

HRESULT STDMETHODCALLTYPE MSHTMLClient::QueryStatus(const GUID*, ULONG, OLECMD*, OLECMDTEXT*) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MSHTMLClient::Exec(const GUID* group, DWORD command, DWORD, VARIANT* in,
                                             VARIANT*) {
    if (!group) {
        if (command != OLECMDID_SETTITLE) {
            return E_NOTIMPL;
        }
        if (in && in->vt == VT_BSTR && hostWindow) {
            SetWindowTextW(hostWindow, in->bstrVal ? in->bstrVal : L"");
        }
        return S_OK;
    }
    if (*group == CGID_DocHostCommandHandler) {
        if (command == IgnoredHostCommand1 || command == IgnoredHostCommand2) {
            return S_OK;
        }
        return OLECMDERR_E_NOTSUPPORTED;
    }
    return OLECMDERR_E_UNKNOWNGROUP;
}

} // namespace htmlui
