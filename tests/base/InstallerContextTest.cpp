#include "base/InstallerContext.h"

#include <gtest/gtest.h>

namespace {

TEST(InstallerContext, StartsAsAPlainRecord) {
    // No machine facts yet: those are gathered by the telemetry layer.
    InstallerContext context(L"TLW", L"1.0.25.1");
    EXPECT_EQ(L"XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX", context.requestToken);
    EXPECT_EQ(L"TLW", context.productId);
    EXPECT_EQ(L"1.0.25.1", context.managerVersion);
    EXPECT_EQ(4, context.installStatus);
    EXPECT_EQ(0, context.failureStage);
    EXPECT_EQ(0, context.failureCode);
    EXPECT_EQ(0, context.installLanguage);
    EXPECT_EQ(0, context.uiLanguage);
    EXPECT_TRUE(context.machineId.empty());
    EXPECT_TRUE(context.properties.empty());
    EXPECT_TRUE(context.externalProperties.empty());
}

struct OsBitsCase {
    const wchar_t* architecture;
    const wchar_t* expected;
};

TEST(OsBitsFor, IsSixtyFourOnlyForExactlyX64) {
    const OsBitsCase cases[] = {
        {L"x64", L"64"}, {L"x86", L"32"}, {L"X64", L"32"}, {L"x64 ", L"32"}, {L"", L"32"}};
    for (const OsBitsCase& c : cases) {
        EXPECT_EQ(std::wstring(c.expected), OsBitsFor(c.architecture)) << c.architecture;
    }
}
} // namespace
