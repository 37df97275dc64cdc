#include "core/HtmlExternal.h"

#include <exdisp.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>
#include <shlwapi.h>

namespace downloadmanagercore {

namespace {

// Releases a held interface pointer at the end of a scope.
template <typename T>
class Held {
public:
    Held() : pointer(nullptr) {}
    ~Held() {
        if (pointer) {
            pointer->Release();
        }
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

    T* operator->() const { return pointer; }
    T** out() { return &pointer; }
    void** outVoid() { return reinterpret_cast<void**>(&pointer); }

    T* pointer;
};

} // namespace

HRESULT ShellExecuteFromDesktop(const std::wstring& file, const std::wstring& parameters) {
    // The elevated process asks the desktop's own shell window to start the
    // file, so it runs as the interactive user with the shell's default verb.
    Held<IShellWindows> windows;
    HRESULT hr = CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER,
                                  IID_IShellWindows, windows.outVoid());
    if (FAILED(hr) || !windows.pointer) {
        return FAILED(hr) ? hr : E_FAIL;
    }

    VARIANT location;
    VARIANT root;
    VariantInit(&location);
    VariantInit(&root);
    long desktopWindow = 0;
    Held<IDispatch> desktop;
    hr = windows->FindWindowSW(&location, &root, SWC_DESKTOP, &desktopWindow, SWFO_NEEDDISPATCH,
                               desktop.out());
    if (hr != S_OK || !desktop.pointer) {
        return E_FAIL;
    }

    Held<IShellBrowser> browser;
    hr = IUnknown_QueryService(desktop.pointer, SID_STopLevelBrowser, IID_IShellBrowser,
                               browser.outVoid());
    if (FAILED(hr) || !browser.pointer) {
        return FAILED(hr) ? hr : E_FAIL;
    }
    Held<IShellView> activeView;
    hr = browser->QueryActiveShellView(activeView.out());
    if (FAILED(hr) || !activeView.pointer) {
        return FAILED(hr) ? hr : E_FAIL;
    }
    Held<IShellView> view;
    hr = activeView->QueryInterface(IID_IShellView, view.outVoid());
    if (FAILED(hr) || !view.pointer) {
        return FAILED(hr) ? hr : E_FAIL;
    }

    Held<IDispatch> background;
    hr = view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, background.outVoid());
    if (FAILED(hr) || !background.pointer) {
        return FAILED(hr) ? hr : E_FAIL;
    }
    Held<IShellFolderViewDual> folderView;
    hr = background->QueryInterface(IID_IShellFolderViewDual, folderView.outVoid());
    if (FAILED(hr) || !folderView.pointer) {
        return FAILED(hr) ? hr : E_FAIL;
    }
    Held<IDispatch> application;
    hr = folderView->get_Application(application.out());
    if (FAILED(hr) || !application.pointer) {
        return FAILED(hr) ? hr : E_FAIL;
    }
    Held<IShellDispatch2> shell;
    hr = application->QueryInterface(IID_IShellDispatch2, shell.outVoid());
    if (FAILED(hr) || !shell.pointer) {
        return FAILED(hr) ? hr : E_FAIL;
    }

    BSTR fileText = SysAllocStringLen(file.data(), static_cast<UINT>(file.size()));
    VARIANT arguments;
    VariantInit(&arguments);
    arguments.vt = VT_BSTR;
    arguments.bstrVal = SysAllocStringLen(parameters.data(), static_cast<UINT>(parameters.size()));
    if (!fileText || !arguments.bstrVal) {
        SysFreeString(fileText);
        VariantClear(&arguments);
        return E_OUTOFMEMORY;
    }
    VARIANT directory;
    VARIANT operation;
    VARIANT show;
    VariantInit(&directory);
    VariantInit(&operation);
    VariantInit(&show);
    hr = shell->ShellExecute(fileText, arguments, directory, operation, show);
    SysFreeString(fileText);
    VariantClear(&arguments);
    return hr;
}

} // namespace downloadmanagercore
