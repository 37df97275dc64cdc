#include "base/ComPtr.h"
#include "base/OleValues.h"
#include "core/ShellExecuteFromDesktop.h"

#include <exdisp.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>
#include <shlwapi.h>

namespace downloadmanagercore {

namespace {

// The failure of a step that may also "succeed" without giving an object.
HRESULT Missing(HRESULT hr) {
    return FAILED(hr) ? hr : E_FAIL;
}

} // namespace

std::wstring EscapeAmpersands(const std::wstring& url) {
    std::wstring escaped;
    escaped.reserve(url.size() + 8);
    for (wchar_t c : url) {
        if (c == L'&') {
            escaped += L'^';
        }
        escaped += c;
    }
    return escaped;
}

HRESULT ShellExecuteFromDesktop(const std::wstring& file, const std::wstring& parameters) {
    // The elevated process asks the desktop's own shell window to start the
    // file, so it runs as the interactive user with the shell's default verb.
    ComPtr<IShellWindows> windows;
    HRESULT hr =
        CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&windows));
    if (FAILED(hr) || !windows) {
        return Missing(hr);
    }

    Variant location;
    Variant root;
    long desktopWindow = 0;
    ComPtr<IDispatch> desktop;
    hr = windows->FindWindowSW(location.Get(), root.Get(), SWC_DESKTOP, &desktopWindow,
                               SWFO_NEEDDISPATCH, &desktop);
    if (hr != S_OK || !desktop) {
        return E_FAIL;
    }

    ComPtr<IShellBrowser> browser;
    hr = IUnknown_QueryService(desktop.Get(), SID_STopLevelBrowser, IID_PPV_ARGS(&browser));
    if (FAILED(hr) || !browser) {
        return Missing(hr);
    }
    ComPtr<IShellView> activeView;
    hr = browser->QueryActiveShellView(&activeView);
    if (FAILED(hr) || !activeView) {
        return Missing(hr);
    }
    ComPtr<IShellView> view;
    hr = activeView.As(&view);
    if (FAILED(hr) || !view) {
        return Missing(hr);
    }

    ComPtr<IDispatch> background;
    hr = view->GetItemObject(SVGIO_BACKGROUND, IID_PPV_ARGS(&background));
    if (FAILED(hr) || !background) {
        return Missing(hr);
    }
    ComPtr<IShellFolderViewDual> folderView;
    hr = background.As(&folderView);
    if (FAILED(hr) || !folderView) {
        return Missing(hr);
    }
    ComPtr<IDispatch> application;
    hr = folderView->get_Application(&application);
    if (FAILED(hr) || !application) {
        return Missing(hr);
    }
    ComPtr<IShellDispatch2> shell;
    hr = application.As(&shell);
    if (FAILED(hr) || !shell) {
        return Missing(hr);
    }

    Bstr fileText;
    fileText.Reset(SysAllocStringLen(file.data(), static_cast<UINT>(file.size())));
    Variant arguments;
    arguments.Get()->vt = VT_BSTR;
    arguments.Get()->bstrVal =
        SysAllocStringLen(parameters.data(), static_cast<UINT>(parameters.size()));
    if (!fileText.Get() || !arguments.Get()->bstrVal) {
        return E_OUTOFMEMORY;
    }
    Variant directory;
    Variant operation;
    Variant show;
    return shell->ShellExecute(fileText.Get(), *arguments.Get(), *directory.Get(), *operation.Get(),
                               *show.Get());
}

} // namespace downloadmanagercore
