#pragma once

#include <windows.h>

#include <docobj.h>
#include <mshtmdid.h>
#include <mshtmhst.h>
#include <mshtml.h>
#include <ocidl.h>
#include <oleidl.h>

#include <string>

namespace htmlui {

class MSHTMLExternal;

// Host flags answered by GetHostInfo: a dialog without help menu or outer 3-D
// border, themed, DPI-aware, navigating in place.
const DWORD HostInfoFlags = DOCHOSTUIFLAG_DIALOG | DOCHOSTUIFLAG_DISABLE_HELP_MENU |
                            DOCHOSTUIFLAG_ENABLE_INPLACE_NAVIGATION | DOCHOSTUIFLAG_THEME |
                            DOCHOSTUIFLAG_NO3DOUTERBORDER | DOCHOSTUIFLAG_DPI_AWARE;

// Download control answered as an ambient property: images, videos and
// background sounds load, every load revalidates, scripts stay enabled.
const LONG AmbientDownloadControl =
    DLCTL_DLIMAGES | DLCTL_VIDEOS | DLCTL_BGSOUNDS | DLCTL_RESYNCHRONIZE;

// The OLE container site in which the pages are shown: it creates the HTML
// document object directly, activates it in place in the host window, loads
// the first page through a URL moniker and answers the document's questions
// about its host. One COM identity and one (UI-thread) reference count over
// all of its interfaces.
class MSHTMLClient final : public IDispatch,
                           public IDocHostUIHandler2,
                           public IDocHostShowUI,
                           public IOleClientSite,
                           public IOleDocumentSite,
                           public IOleInPlaceSiteEx,
                           public IOleInPlaceFrame,
                           public IPropertyNotifySink,
                           public IOleCommandTarget {
public:
    // Reference count 1, owned by the caller (the host window).
    MSHTMLClient(HWND hostWindow, MSHTMLExternal* external);

    MSHTMLClient(const MSHTMLClient&) = delete;
    MSHTMLClient& operator=(const MSHTMLClient&) = delete;

    // Creates the HTML document object and attaches it. The HRESULT of the
    // first step that failed.
    HRESULT CreateBrowser();
    // Takes over the caller's reference to `document`, connects the ready-state
    // sink, sets the client site and activates the document in place. The
    // HRESULT of the first step that failed (E_POINTER without a document).
    HRESULT AttachBrowser(IHTMLDocument2* document);
    // Starts loading a URL or a file path into the document. The HRESULT of
    // the first step that failed (E_POINTER without a URL or a document).
    HRESULT NavigateTo(const wchar_t* url);
    // The folder of the program's own pages (ending in a backslash): only a
    // document loaded from a file below it gets the script object, and the
    // window is kept from showing any other document.
    void SetPagesFolder(const std::wstring& folder) { pagesFolder = folder; }
    // The attached document's URL; empty when there is none or it does not say.
    std::wstring DocumentUrl() const;
    // Fits the document to the host window's client rectangle.
    void UpdateBrowserRect();
    // Closes the view, disconnects the sink and lets go of the document.
    void DetachBrowser();

    HWND GetHostWindow() const { return hostWindow; }
    void SetHostWindow(HWND window) { hostWindow = window; }
    MSHTMLExternal* GetExternalObject() const { return external; }
    void SetExternalObject(MSHTMLExternal* object) { external = object; }
    // The attached document (no reference added); NULL when detached.
    IHTMLDocument2* GetDocument() const { return document; }
    // The active view (no reference added); NULL when none.
    IOleDocumentView* GetActiveView() const { return activeView; }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IDispatch: ambient properties
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT nameCount,
                                            LCID locale, DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID locale, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                     UINT* argumentError) override;

    // IDocHostUIHandler2
    HRESULT STDMETHODCALLTYPE ShowContextMenu(DWORD id, POINT* point, IUnknown* commandTarget,
                                              IDispatch* object) override;
    HRESULT STDMETHODCALLTYPE GetHostInfo(DOCHOSTUIINFO* info) override;
    HRESULT STDMETHODCALLTYPE ShowUI(DWORD id, IOleInPlaceActiveObject* activeObject,
                                     IOleCommandTarget* commandTarget, IOleInPlaceFrame* frame,
                                     IOleInPlaceUIWindow* documentWindow) override;
    HRESULT STDMETHODCALLTYPE HideUI() override;
    HRESULT STDMETHODCALLTYPE UpdateUI() override;
    // Also IOleInPlaceFrame::EnableModeless.
    HRESULT STDMETHODCALLTYPE EnableModeless(WINBOOL enable) override;
    HRESULT STDMETHODCALLTYPE OnDocWindowActivate(WINBOOL activate) override;
    HRESULT STDMETHODCALLTYPE OnFrameWindowActivate(WINBOOL activate) override;
    HRESULT STDMETHODCALLTYPE ResizeBorder(LPCRECT border, IOleInPlaceUIWindow* window,
                                           WINBOOL frameWindow) override;
    HRESULT STDMETHODCALLTYPE TranslateAccelerator(LPMSG message, const GUID* group,
                                                   DWORD command) override;
    HRESULT STDMETHODCALLTYPE GetOptionKeyPath(LPOLESTR* key, DWORD reserved) override;
    HRESULT STDMETHODCALLTYPE GetDropTarget(IDropTarget* target, IDropTarget** replaced) override;
    HRESULT STDMETHODCALLTYPE GetExternal(IDispatch** object) override;
    HRESULT STDMETHODCALLTYPE TranslateUrl(DWORD translate, LPWSTR url,
                                           LPWSTR* translated) override;
    HRESULT STDMETHODCALLTYPE FilterDataObject(IDataObject* object,
                                               IDataObject** replaced) override;
    HRESULT STDMETHODCALLTYPE GetOverrideKeyPath(LPOLESTR* key, DWORD reserved) override;

    // IDocHostShowUI
    HRESULT STDMETHODCALLTYPE ShowMessage(HWND window, LPOLESTR text, LPOLESTR caption, DWORD type,
                                          LPOLESTR helpFile, DWORD helpContext,
                                          LRESULT* result) override;
    HRESULT STDMETHODCALLTYPE ShowHelp(HWND window, LPOLESTR helpFile, UINT command, DWORD data,
                                       POINT point, IDispatch* object) override;

    // IOleClientSite
    HRESULT STDMETHODCALLTYPE SaveObject() override;
    HRESULT STDMETHODCALLTYPE GetMoniker(DWORD assign, DWORD which, IMoniker** moniker) override;
    HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer** container) override;
    HRESULT STDMETHODCALLTYPE ShowObject() override;
    HRESULT STDMETHODCALLTYPE OnShowWindow(WINBOOL show) override;
    HRESULT STDMETHODCALLTYPE RequestNewObjectLayout() override;

    // IOleDocumentSite
    HRESULT STDMETHODCALLTYPE ActivateMe(IOleDocumentView* view) override;

    // IOleWindow (for the in-place site and the frame alike)
    HRESULT STDMETHODCALLTYPE GetWindow(HWND* window) override;
    HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(WINBOOL enterMode) override;

    // IOleInPlaceSite / IOleInPlaceSiteEx
    HRESULT STDMETHODCALLTYPE CanInPlaceActivate() override;
    HRESULT STDMETHODCALLTYPE OnInPlaceActivate() override;
    HRESULT STDMETHODCALLTYPE OnUIActivate() override;
    HRESULT STDMETHODCALLTYPE GetWindowContext(IOleInPlaceFrame** frame,
                                               IOleInPlaceUIWindow** documentWindow,
                                               LPRECT position, LPRECT clip,
                                               LPOLEINPLACEFRAMEINFO frameInfo) override;
    HRESULT STDMETHODCALLTYPE Scroll(SIZE extent) override;
    HRESULT STDMETHODCALLTYPE OnUIDeactivate(WINBOOL undoable) override;
    HRESULT STDMETHODCALLTYPE OnInPlaceDeactivate() override;
    HRESULT STDMETHODCALLTYPE DiscardUndoState() override;
    HRESULT STDMETHODCALLTYPE DeactivateAndUndo() override;
    HRESULT STDMETHODCALLTYPE OnPosRectChange(LPCRECT position) override;
    HRESULT STDMETHODCALLTYPE OnInPlaceActivateEx(WINBOOL* noRedraw, DWORD flags) override;
    HRESULT STDMETHODCALLTYPE OnInPlaceDeactivateEx(WINBOOL noRedraw) override;
    HRESULT STDMETHODCALLTYPE RequestUIActivate() override;

    // IOleInPlaceUIWindow / IOleInPlaceFrame
    HRESULT STDMETHODCALLTYPE GetBorder(LPRECT border) override;
    HRESULT STDMETHODCALLTYPE RequestBorderSpace(LPCBORDERWIDTHS widths) override;
    HRESULT STDMETHODCALLTYPE SetBorderSpace(LPCBORDERWIDTHS widths) override;
    HRESULT STDMETHODCALLTYPE SetActiveObject(IOleInPlaceActiveObject* object,
                                              LPCOLESTR name) override;
    HRESULT STDMETHODCALLTYPE InsertMenus(HMENU menu, LPOLEMENUGROUPWIDTHS widths) override;
    HRESULT STDMETHODCALLTYPE SetMenu(HMENU menu, HOLEMENU oleMenu, HWND activeObject) override;
    HRESULT STDMETHODCALLTYPE RemoveMenus(HMENU menu) override;
    HRESULT STDMETHODCALLTYPE SetStatusText(LPCOLESTR text) override;
    HRESULT STDMETHODCALLTYPE TranslateAccelerator(LPMSG message, WORD id) override;

    // IPropertyNotifySink
    HRESULT STDMETHODCALLTYPE OnChanged(DISPID id) override;
    HRESULT STDMETHODCALLTYPE OnRequestEdit(DISPID id) override;

    // IOleCommandTarget
    HRESULT STDMETHODCALLTYPE QueryStatus(const GUID* group, ULONG count, OLECMD commands[],
                                          OLECMDTEXT* text) override;
    HRESULT STDMETHODCALLTYPE Exec(const GUID* group, DWORD command, DWORD options, VARIANT* in,
                                   VARIANT* out) override;

private:
    ~MSHTMLClient();

    // Makes `view` the active view: site, rectangle, UI activation, shown.
    void ActivateView(IOleDocumentView* view);
    RECT ClientRect() const;
    // Takes the window back from a document that is not one of the program's
    // pages to the last page of its own, and has `url` opened outside.
    void LeaveForeignDocument(const std::wstring& url);

    LONG refCount;
    HWND hostWindow;
    IHTMLDocument2* document;
    IOleDocumentView* activeView;
    MSHTMLExternal* external;
    DWORD sinkCookie;
    std::wstring pagesFolder;
    std::wstring lastOwnPage; // the last of the program's pages shown or asked for
};

} // namespace htmlui
