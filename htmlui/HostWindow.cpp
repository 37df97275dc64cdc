#include "htmlui/HostWindow.h"

#include "base/ComPtr.h"
#include "base/HResult.h"
#include "htmlui/MSHTMLClient.h"
#include "htmlui/PageOrigin.h"
#include "htmlui/MSHTMLExternal.h"

#include <climits>
#include <new>

namespace htmlui {

const wchar_t HostWindowClassName[] = L"HTMLUI";

namespace {

ATOM hostWindowClassAtom = 0;

// Scaling and centring are done in 64 bits so that absurd sizes from a page
// cannot overflow; results are brought back into the 32-bit range.
LONG ClampToLong(long long value) {
    if (value > LONG_MAX) {
        return LONG_MAX;
    }
    if (value < LONG_MIN) {
        return LONG_MIN;
    }
    return static_cast<LONG>(value);
}

// Start of an extent of `size` centred on [refLow, refHigh] and pushed inside
// [workLow, workHigh], the low edge taking priority.
long long PlaceAxis(long long refLow, long long refHigh, long long workLow, long long workHigh,
                    long long size) {
    long long high = (refLow + refHigh + size) / 2;
    if (high > workHigh) {
        high = workHigh;
    }
    long long low = high - size;
    if (low < workLow) {
        low = workLow;
    }
    return low;
}

} // namespace

ATOM HostWindowClassAtom() {
    return hostWindowClassAtom;
}

bool RegisterHostWindowClass() {
    if (hostWindowClassAtom != 0) {
        return true;
    }
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = 0;
    windowClass.lpfnWndProc = HostWindowProc;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = sizeof(HostWindowData*);
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hIcon = nullptr;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = nullptr;
    windowClass.lpszMenuName = nullptr;
    windowClass.lpszClassName = HostWindowClassName;
    windowClass.hIconSm = nullptr;
    hostWindowClassAtom = RegisterClassExW(&windowClass);
    return hostWindowClassAtom != 0;
}

HRESULT RunHostWindow(const wchar_t* url, MSHTMLExternal* external, const SessionHooks* session) {
    bool quit = false;
    HostWindowParams params = {url, external, &quit, S_OK, session};
    HWND window = CreateWindowExW(WS_EX_APPWINDOW, MAKEINTATOM(hostWindowClassAtom), nullptr,
                                  WS_POPUP | WS_VISIBLE, 0, 0, 0, 0, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), &params);
    if (!window) {
        return FAILED(params.failure) ? params.failure : HResultFromLastError();
    }
    HostWindowData* data = GetHostWindowData(window);
    // The loop's own reference: the window may be destroyed while it runs.
    MSHTMLClient* client = data ? data->client : nullptr;
    if (client) {
        client->AddRef();
    }
    RunMessageLoop(client, &quit);
    DestroyWindow(window);
    if (client) {
        client->Release();
    }
    return S_OK;
}

HostWindowData* GetHostWindowData(HWND window) {
    return reinterpret_cast<HostWindowData*>(GetWindowLongPtrW(window, 0));
}

namespace {

void OnDestroy(HWND window);

const UINT_PTR kSessionTimerId = 0x5E55;

// Registers the block reason while work runs and withdraws it once none
// does; whether work runs.
bool UpdateBlockReason(HWND window, HostWindowData* data) {
    const SessionHooks* session = data->session;
    const bool busy = session && session->busy && session->busy();
    if (busy && !data->blockReasonAsked) {
        data->blockReasonAsked = true;
        data->blockReasonSet =
            ShutdownBlockReasonCreate(window, session->blockReason ? session->blockReason : L"") !=
            FALSE;
    } else if (!busy && data->blockReasonAsked) {
        if (data->blockReasonSet) {
            ShutdownBlockReasonDestroy(window);
        }
        data->blockReasonAsked = false;
        data->blockReasonSet = false;
    }
    return busy;
}

// Refuses creation after undoing what WM_CREATE made: not every system sends
// WM_DESTROY to a window whose WM_CREATE failed.
LRESULT RefuseCreation(HWND window) {
    OnDestroy(window);
    return -1;
}

LRESULT OnCreate(HWND window, const CREATESTRUCTW* create) {
    HostWindowParams* params =
        create ? static_cast<HostWindowParams*>(create->lpCreateParams) : nullptr;
    if (!params) {
        return -1;
    }
    if (!params->url) {
        params->failure = E_POINTER;
        return -1;
    }
    HostWindowData* data = new (std::nothrow) HostWindowData;
    if (!data) {
        params->failure = E_OUTOFMEMORY;
        return -1;
    }
    data->client = new (std::nothrow) MSHTMLClient(window, params->external);
    data->external = params->external;
    data->focusChild = nullptr;
    data->quitFlag = params->quitFlag;
    data->session = params->session;
    SetWindowLongPtrW(window, 0, reinterpret_cast<LONG_PTR>(data));
    if (!data->client) {
        params->failure = E_OUTOFMEMORY;
        return RefuseCreation(window);
    }
    if (data->external) {
        data->external->SetHostWindow(window);
    }
    // The first page's folder holds every page of the program's own.
    data->client->SetPagesFolder(PageFolder(params->url));
    HRESULT hr = data->client->CreateBrowser();
    if (SUCCEEDED(hr)) {
        hr = data->client->NavigateTo(params->url);
    }
    if (FAILED(hr)) {
        params->failure = hr;
        return RefuseCreation(window);
    }
    return 0;
}

void OnDestroy(HWND window) {
    HostWindowData* data = GetHostWindowData(window);
    if (!data) {
        return;
    }
    SetWindowLongPtrW(window, 0, 0);
    // A window destroyed from elsewhere still ends its message loop.
    if (data->quitFlag) {
        *data->quitFlag = true;
    }
    if (MSHTMLClient* client = data->client) {
        client->DetachBrowser();
        client->SetHostWindow(nullptr);
        client->SetExternalObject(nullptr);
        client->Release();
    }
    if (data->external) {
        data->external->SetHostWindow(nullptr);
    }
    delete data;
}

} // namespace

LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE: {
        const LRESULT created = OnCreate(window, reinterpret_cast<const CREATESTRUCTW*>(lParam));
        HostWindowData* data = created == 0 ? GetHostWindowData(window) : nullptr;
        if (data && data->session) {
            SetTimer(window, kSessionTimerId, kSessionCheckMs, nullptr);
        }
        return created;
    }

    case WM_DESTROY:
        KillTimer(window, kSessionTimerId);
        if (HostWindowData* data = GetHostWindowData(window)) {
            if (data->blockReasonSet) {
                ShutdownBlockReasonDestroy(window);
                data->blockReasonSet = false;
            }
        }
        OnDestroy(window);
        return 0;

    case WM_TIMER:
        if (wParam == kSessionTimerId) {
            if (HostWindowData* data = GetHostWindowData(window)) {
                UpdateBlockReason(window, data);
            }
            return 0;
        }
        break;

    case WM_QUERYENDSESSION:
        // Declined while work runs: a log-off now would cut an install short.
        if (HostWindowData* data = GetHostWindowData(window)) {
            return UpdateBlockReason(window, data) ? FALSE : TRUE;
        }
        return TRUE;

    case WM_ENDSESSION:
        if (wParam) {
            HostWindowData* data = GetHostWindowData(window);
            // Once: the end of the run lets messages in while it waits.
            if (data && data->session && data->session->ending && !data->sessionEnding) {
                data->sessionEnding = true;
                data->session->ending();
            }
        }
        return 0;

    case WM_SIZE:
        if (HostWindowData* data = GetHostWindowData(window)) {
            if (data->client) {
                data->client->UpdateBrowserRect();
            }
        }
        return 0;

    case WM_ACTIVATE:
        if (wParam == 0) {
            if (HostWindowData* data = GetHostWindowData(window)) {
                HWND focus = GetFocus();
                data->focusChild = focus == window ? nullptr : focus;
            }
        }
        break;

    case WM_SETFOCUS:
        if (HostWindowData* data = GetHostWindowData(window)) {
            if (data->focusChild) {
                // The keyboard focus goes back to the page element that had it.
                SetFocus(data->focusChild);
                return 0;
            }
        }
        break;

    case WM_CLOSE:
        if (HostWindowData* data = GetHostWindowData(window)) {
            if (data->quitFlag) {
                // The loop ends and RunHostWindow destroys the window.
                *data->quitFlag = true;
                return 0;
            }
        }
        break;

    default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void RunMessageLoop(MSHTMLClient* client, bool* quitFlag) {
    while (!*quitFlag) {
        MSG msg;
        if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (*quitFlag) {
                break;
            }
            WaitMessage();
            continue;
        }
        if (msg.message == WM_QUIT) {
            // An outer loop of the thread must still see it.
            PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        HRESULT translated = S_FALSE;
        IHTMLDocument2* document = client ? client->GetDocument() : nullptr;
        if (document) {
            ComPtr<IOleInPlaceActiveObject> active;
            if (SUCCEEDED(document->QueryInterface(IID_PPV_ARGS(&active))) && active) {
                translated = active->TranslateAccelerator(&msg);
            }
        }
        if (translated != S_OK) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

RECT ComputeWindowPlacement(int dpi, DWORD style, DWORD exStyle, const RECT& reference,
                            const RECT& workArea, int width, int height) {
    // A negative request from a page counts as an empty client area.
    const long long clientWidth = static_cast<long long>(width < 0 ? 0 : width) * dpi / 96;
    const long long clientHeight = static_cast<long long>(height < 0 ? 0 : height) * dpi / 96;
    RECT frame = {0, 0, ClampToLong(clientWidth), ClampToLong(clientHeight)};
    AdjustWindowRectEx(&frame, style, FALSE, exStyle);
    const long long outerWidth = static_cast<long long>(frame.right) - frame.left;
    const long long outerHeight = static_cast<long long>(frame.bottom) - frame.top;

    const long long left =
        PlaceAxis(reference.left, reference.right, workArea.left, workArea.right, outerWidth);
    const long long top =
        PlaceAxis(reference.top, reference.bottom, workArea.top, workArea.bottom, outerHeight);
    RECT placement = {ClampToLong(left), ClampToLong(top), ClampToLong(left + outerWidth),
                      ClampToLong(top + outerHeight)};
    return placement;
}

RECT ComputeWindowPlacement(HWND window, int width, int height) {
    HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSX) : 96;
    if (screen) {
        ReleaseDC(nullptr, screen);
    }
    const DWORD style = static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE));
    const DWORD exStyle = static_cast<DWORD>(GetWindowLongW(window, GWL_EXSTYLE));

    RECT reference = {0, 0, 0, 0};
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    HWND owner = window ? GetWindow(window, GW_OWNER) : nullptr;
    if (owner && GetWindowRect(owner, &reference)) {
        GetMonitorInfoW(MonitorFromRect(&reference, MONITOR_DEFAULTTONEAREST), &monitor);
    } else {
        POINT cursor = {0, 0};
        GetCursorPos(&cursor);
        GetMonitorInfoW(MonitorFromPoint(cursor, MONITOR_DEFAULTTONEAREST), &monitor);
        reference = monitor.rcWork;
    }
    return ComputeWindowPlacement(dpi, style, exStyle, reference, monitor.rcWork, width, height);
}

} // namespace htmlui
