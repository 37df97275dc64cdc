#include "app/DesktopShortcut.h"

#include "base/ComPtr.h"

#include <shlobj.h>
#include <shlwapi.h>

const wchar_t kDesktopShortcutName[] = L"Continue Brightcast Suite Installation.lnk";

std::wstring GetDesktopShortcutPath(const std::wstring& name) {
    wchar_t desktop[MAX_PATH] = {};
    // Without a desktop folder the bare name would be a file in the current
    // folder, which is nobody's shortcut.
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT,
                                desktop)) ||
        desktop[0] == L'\0') {
        return std::wstring();
    }
    wchar_t combined[MAX_PATH] = {};
    if (!PathCombineW(combined, desktop, name.c_str())) {
        return std::wstring();
    }
    return combined;
}

HRESULT CreateShellLink(const std::wstring& target, const std::wstring& link) {
    ComPtr<IShellLinkW> shellLink;
    HRESULT hr =
        CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&shellLink));
    if (FAILED(hr)) {
        return hr;
    }
    hr = shellLink->SetPath(target.c_str());
    if (FAILED(hr)) {
        return hr;
    }
    wchar_t folder[MAX_PATH] = {};
    if (target.size() >= MAX_PATH) {
        return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    }
    target.copy(folder, target.size());
    PathRemoveFileSpecW(folder);
    hr = shellLink->SetWorkingDirectory(folder);
    if (FAILED(hr)) {
        return hr;
    }
    ComPtr<IPersistFile> file;
    hr = shellLink.As(&file);
    if (FAILED(hr)) {
        return hr;
    }
    return file->Save(link.c_str(), TRUE);
}

void UpdateDesktopShortcut(const std::wstring& name, bool create) {
    const std::wstring link = GetDesktopShortcutPath(name);
    if (link.empty()) {
        return;
    }
    if (!create) {
        DeleteFileW(link.c_str());
        return;
    }
    wchar_t program[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
    // A truncated path would name another file.
    if (length == 0 || length >= MAX_PATH) {
        return;
    }
    CreateShellLink(program, link);
}
