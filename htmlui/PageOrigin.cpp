#include "htmlui/PageOrigin.h"

#include "base/Utf8.h"

#include <cwctype>

namespace htmlui {

namespace {

bool StartsWithNoCase(const std::wstring& text, const wchar_t* prefix) {
    size_t i = 0;
    for (; prefix[i]; ++i) {
        if (i >= text.size() || towlower(text[i]) != towlower(prefix[i])) {
            return false;
        }
    }
    return true;
}

int HexValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') {
        return c - L'0';
    }
    if (c >= L'a' && c <= L'f') {
        return c - L'a' + 10;
    }
    if (c >= L'A' && c <= L'F') {
        return c - L'A' + 10;
    }
    return -1;
}

// Percent escapes are UTF-8 bytes; the other characters stay as they are.
bool Unescape(const std::wstring& text, std::wstring& out) {
    out.clear();
    std::string bytes;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'%') {
            if (!bytes.empty()) {
                out += FromUtf8(bytes.data(), bytes.size());
                bytes.clear();
            }
            out += text[i];
            continue;
        }
        const int high = i + 2 < text.size() ? HexValue(text[i + 1]) : -1;
        const int low = high >= 0 ? HexValue(text[i + 2]) : -1;
        if (low < 0) {
            return false;
        }
        bytes += static_cast<char>(high * 16 + low);
        i += 2;
    }
    if (!bytes.empty()) {
        out += FromUtf8(bytes.data(), bytes.size());
    }
    return true;
}

bool IsDriveLetter(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

bool IsSlash(wchar_t c) {
    return c == L'/' || c == L'\\';
}

} // namespace

bool PageFilePath(const std::wstring& url, std::wstring& path) {
    path.clear();
    std::wstring rest = url;
    if (StartsWithNoCase(rest, L"file:")) {
        rest.erase(0, 5);
        size_t slashes = 0;
        while (slashes < rest.size() && IsSlash(rest[slashes])) {
            ++slashes;
        }
        if (slashes > 3) {
            return false;
        }
        rest.erase(0, slashes);
    }
    const size_t end = rest.find_first_of(L"?#");
    if (end != std::wstring::npos) {
        rest.erase(end);
    }
    std::wstring plain;
    if (!Unescape(rest, plain)) {
        return false;
    }
    // A drive, then a path below it.
    if (plain.size() < 4 || !IsDriveLetter(plain[0]) || (plain[1] != L':' && plain[1] != L'|') ||
        !IsSlash(plain[2])) {
        return false;
    }
    path.assign(1, plain[0]);
    path += L":";
    std::wstring step;
    for (size_t i = 3; i <= plain.size(); ++i) {
        const wchar_t c = i < plain.size() ? plain[i] : L'\\';
        if (!IsSlash(c)) {
            if (c < 0x20 || c == 0x7F || c == L':' || c == L'*' || c == L'?' || c == L'"' ||
                c == L'<' || c == L'>' || c == L'|') {
                path.clear();
                return false;
            }
            step += c;
            continue;
        }
        // Only a trailing slash may leave an empty step.
        if (step.empty() && i < plain.size()) {
            path.clear();
            return false;
        }
        if (!step.empty()) {
            if (step.find_first_not_of(L'.') == std::wstring::npos) {
                path.clear();
                return false;
            }
            path += L"\\" + step;
            step.clear();
        }
    }
    return path.size() > 2;
}

std::wstring PageFolder(const std::wstring& url) {
    std::wstring path;
    if (!PageFilePath(url, path)) {
        return std::wstring();
    }
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

bool IsOwnPage(const std::wstring& url, const std::wstring& pagesFolder) {
    std::wstring path;
    if (pagesFolder.size() < 4 || pagesFolder.back() != L'\\' || !PageFilePath(url, path) ||
        path.size() <= pagesFolder.size()) {
        return false;
    }
    return StartsWithNoCase(path, pagesFolder.c_str());
}

bool IsWebAddress(const std::wstring& url) {
    size_t host = 0;
    if (StartsWithNoCase(url, L"http://")) {
        host = 7;
    } else if (StartsWithNoCase(url, L"https://")) {
        host = 8;
    } else {
        return false;
    }
    if (host >= url.size() || url[host] == L'/' || url[host] == L'\\' || url[host] == L'?' ||
        url[host] == L'#' || url[host] == L'@' || url[host] == L':') {
        return false;
    }
    for (const wchar_t c : url) {
        if (c <= 0x20 || c == 0x7F || c == L'"' || c == 0x85 || c == 0xA0 || c == 0x2028 ||
            c == 0x2029 || c == 0x3000 || c == 0xFEFF) {
            return false;
        }
    }
    return true;
}

} // namespace htmlui
