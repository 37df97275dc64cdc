#pragma once

#include <string>
#include <vector>

namespace pagetest {

// The scripts inside an HTML page that the page runs from its own text: the
// bodies of <script> elements without a src attribute, and the values of
// on... event attributes, in document order.
std::vector<std::wstring> InlineScripts(const std::wstring& html);

} // namespace pagetest
