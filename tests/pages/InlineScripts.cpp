#include "tests/pages/InlineScripts.h"

#include <cwctype>

namespace pagetest {

namespace {

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) {
        c = static_cast<wchar_t>(std::towlower(c));
    }
    return text;
}

// Decodes the few character references that attribute values use.
std::wstring DecodeAttribute(const std::wstring& value) {
    static const struct {
        const wchar_t* entity;
        wchar_t c;
    } entities[] = {{L"&quot;", L'"'}, {L"&#39;", L'\''}, {L"&apos;", L'\''},
                    {L"&lt;", L'<'},   {L"&gt;", L'>'},   {L"&amp;", L'&'}};
    std::wstring out;
    for (size_t i = 0; i < value.size();) {
        bool replaced = false;
        for (const auto& e : entities) {
            const size_t length = wcslen(e.entity);
            if (value.compare(i, length, e.entity) == 0) {
                out += e.c;
                i += length;
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            out += value[i++];
        }
    }
    return out;
}

} // namespace

std::vector<std::wstring> InlineScripts(const std::wstring& html) {
    std::vector<std::wstring> scripts;
    const std::wstring lower = Lower(html);
    size_t at = 0;
    while ((at = html.find(L'<', at)) != std::wstring::npos) {
        if (lower.compare(at, 4, L"<!--") == 0) {
            const size_t end = html.find(L"-->", at + 4);
            at = end == std::wstring::npos ? html.size() : end + 3;
            continue;
        }
        size_t i = at + 1;
        if (i >= html.size() || !std::iswalpha(html[i])) {
            ++at;
            continue;
        }
        const size_t nameStart = i;
        while (i < html.size() && (std::iswalnum(html[i]) || html[i] == L'-')) {
            ++i;
        }
        const std::wstring tag = lower.substr(nameStart, i - nameStart);
        bool hasSource = false;
        // Attributes up to the end of the tag; quoted values may hold ">".
        while (i < html.size() && html[i] != L'>') {
            if (std::iswspace(html[i]) || html[i] == L'/') {
                ++i;
                continue;
            }
            const size_t attrStart = i;
            while (i < html.size() && !std::iswspace(html[i]) && html[i] != L'=' &&
                   html[i] != L'>') {
                ++i;
            }
            const std::wstring name = lower.substr(attrStart, i - attrStart);
            while (i < html.size() && std::iswspace(html[i])) {
                ++i;
            }
            std::wstring value;
            if (i < html.size() && html[i] == L'=') {
                ++i;
                while (i < html.size() && std::iswspace(html[i])) {
                    ++i;
                }
                if (i < html.size() && (html[i] == L'"' || html[i] == L'\'')) {
                    const wchar_t quote = html[i++];
                    const size_t end = html.find(quote, i);
                    const size_t stop = end == std::wstring::npos ? html.size() : end;
                    value = html.substr(i, stop - i);
                    i = stop == html.size() ? stop : stop + 1;
                } else {
                    const size_t valueStart = i;
                    while (i < html.size() && !std::iswspace(html[i]) && html[i] != L'>') {
                        ++i;
                    }
                    value = html.substr(valueStart, i - valueStart);
                }
            }
            if (name == L"src") {
                hasSource = true;
            } else if (name.size() > 2 && name.compare(0, 2, L"on") == 0) {
                scripts.push_back(DecodeAttribute(value));
            }
        }
        at = i < html.size() ? i + 1 : i;
        if (tag == L"script") {
            const size_t end = lower.find(L"</script", at);
            const size_t stop = end == std::wstring::npos ? html.size() : end;
            if (!hasSource) {
                scripts.push_back(html.substr(at, stop - at));
            }
            at = stop;
        }
    }
    return scripts;
}

} // namespace pagetest
