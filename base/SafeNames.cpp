#include "base/SafeNames.h"

#include <windows.h>

#include <cwchar>

namespace {

bool IsDigitOfDeviceNumber(wchar_t c) {
    // Windows also takes the superscript digits one to three for COM and LPT.
    return (c >= L'0' && c <= L'9') || c == L'\u00b9' || c == L'\u00b2' || c == L'\u00b3';
}

// Windows opens a device for these in any folder and with any extension.
bool IsDeviceName(const wchar_t* segment, size_t length) {
    size_t stem = 0;
    while (stem < length && segment[stem] != L'.') {
        ++stem;
    }
    while (stem > 0 && segment[stem - 1] == L' ') {
        --stem;
    }
    const std::wstring base(segment, stem);
    static const wchar_t* const kNames[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (const wchar_t* device : kNames) {
        if (_wcsicmp(base.c_str(), device) == 0) {
            return true;
        }
    }
    return base.size() == 4 &&
           (_wcsnicmp(base.c_str(), L"COM", 3) == 0 || _wcsnicmp(base.c_str(), L"LPT", 3) == 0) &&
           IsDigitOfDeviceNumber(base[3]);
}

bool IsSafeSegment(const wchar_t* segment, size_t length) {
    if (length == 0) {
        return false;
    }
    const wchar_t first = segment[0];
    const wchar_t last = segment[length - 1];
    if (first == L'.' || first == L' ' || last == L'.' || last == L' ') {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        const wchar_t c = segment[i];
        if (c < 0x20 || wcschr(L"<>:\"/|?*", c)) {
            return false;
        }
    }
    return !IsDeviceName(segment, length);
}

// The absolute form of `path`, empty when there is none within the path limit.
std::wstring FullPath(const std::wstring& path) {
    wchar_t full[MAX_PATH] = {};
    const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH) {
        return std::wstring();
    }
    return std::wstring(full, length);
}

} // namespace

bool IsSafeRelativeName(const std::wstring& name) {
    if (name.empty()) {
        return false;
    }
    size_t start = 0;
    for (;;) {
        size_t end = name.find(L'\\', start);
        if (end == std::wstring::npos) {
            end = name.size();
        }
        if (!IsSafeSegment(name.c_str() + start, end - start)) {
            return false;
        }
        if (end == name.size()) {
            return true;
        }
        start = end + 1;
    }
}

std::wstring ResolveInsideFolder(const std::wstring& folder, const std::wstring& name) {
    std::wstring base = FullPath(folder);
    if (base.empty()) {
        return std::wstring();
    }
    if (base.back() != L'\\') {
        base += L'\\';
    }
    // Joined as text: no canonicalisation may reinterpret the segments on the
    // way; only the full path decides whether the result is still inside.
    const std::wstring path = FullPath(base + name);
    if (path.size() <= base.size() ||
        CompareStringOrdinal(path.c_str(), static_cast<int>(base.size()), base.c_str(),
                             static_cast<int>(base.size()), TRUE) != CSTR_EQUAL) {
        return std::wstring();
    }
    return path;
}
