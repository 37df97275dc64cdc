#include "base/Utf8.h"

#include <windows.h>

#include <climits>

std::string ToUtf8(const std::wstring& text) {
    if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) {
        return std::string();
    }
    const int length = static_cast<int>(text.size());
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return std::string();
    }
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, &bytes[0], size, nullptr, nullptr);
    return bytes;
}

std::wstring FromUtf8(const char* bytes, size_t size) {
    if (size == 0 || size > static_cast<size_t>(INT_MAX)) {
        return std::wstring();
    }
    const int byteCount = static_cast<int>(size);
    const int length = MultiByteToWideChar(CP_UTF8, 0, bytes, byteCount, nullptr, 0);
    if (length <= 0) {
        return std::wstring();
    }
    std::wstring text(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes, byteCount, &text[0], length);
    return text;
}
