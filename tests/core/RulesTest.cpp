// The script API's pure rules: the caret escaping of URLs and the method
// table, whose rows the one check of every script call reads.

#include "core/ScriptObject.h"
#include "core/ShellExecuteFromDesktop.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using downloadmanagercore::ScriptObject;

namespace {

TEST(EscapeAmpersands, CaretBeforeEveryAmpersand) {
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"x?a=1&b=2", L"x?a=1^&b=2"},
        {L"a&&b", L"a^&^&b"},
        {L"http://example.test/page", L"http://example.test/page"},
        {L"x?a=1&", L"x?a=1^&"},
        {L"&", L"^&"},
        {L"", L""},
        {L"^&", L"^^&"}, // an existing caret is left alone
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.second, downloadmanagercore::EscapeAmpersands(c.first));
    }
}

TEST(ScriptMethodTable, SixteenRowsInIdentifierOrderWithTheirCallFormsAndTypes) {
    const WORD call = DISPATCH_METHOD;
    const WORD value = DISPATCH_METHOD | DISPATCH_PROPERTYGET;
    struct Row {
        const wchar_t* name;
        WORD flags;
        std::vector<VARTYPE> types;
    };
    const Row rows[] = {
        {L"setWindowSize", call, {VT_I4, VT_I4}},
        {L"closeWindow", call, {}},
        {L"download", call, {VT_BSTR, VT_DISPATCH}},
        {L"install", call, {VT_BSTR, VT_DISPATCH}},
        {L"getProperty", value, {VT_BSTR}},
        {L"setChannel", call, {VT_BSTR}},
        {L"setInstallStatus", call, {VT_I4}},
        {L"startInstallProgram", call, {VT_BSTR}},
        {L"hideWindow", call, {}},
        {L"dragWindow", call, {}},
        {L"messageBox", call, {VT_BSTR, VT_BSTR}},
        {L"disableCloseWindow", call, {VT_BOOL}},
        {L"restoreWindow", call, {}},
        {L"openPage", call, {VT_BSTR}},
        {L"retryMessageBox", value, {VT_BSTR}},
        {L"extract", call, {VT_DISPATCH}},
    };
    ASSERT_EQ(sizeof rows / sizeof rows[0], ScriptObject::kScriptMethodCount);
    for (unsigned i = 0; i < ScriptObject::kScriptMethodCount; ++i) {
        const htmlui::MethodEntry& entry = ScriptObject::scriptMethods[i];
        EXPECT_STREQ(rows[i].name, entry.name) << i;
        EXPECT_EQ(rows[i].flags, entry.flags) << i;
        ASSERT_EQ(rows[i].types.size(), htmlui::ArgumentCount(entry)) << i;
        for (size_t t = 0; t < rows[i].types.size(); ++t) {
            EXPECT_EQ(rows[i].types[t], entry.types[t]) << i << " argument " << t;
        }
        EXPECT_TRUE(entry.handler != nullptr) << i;
    }
}

} // namespace
