#pragma once

#include <string>

// UTF-8 without a byte-order mark or terminator; empty for empty input.
std::string ToUtf8(const std::wstring& text);

// UTF-16 from UTF-8 bytes; invalid sequences become U+FFFD, so one bad byte
// does not hide the rest of the text.
std::wstring FromUtf8(const char* bytes, size_t size);
