#include "telemetry/RunFacts.h"

#include "telemetry/MachineId.h"
#include "telemetry/SystemInfo.h"
#include "tests/common/TestUtil.h"

#include <gtest/gtest.h>

#include <cwctype>

namespace {

using testutil::IsGuidText;

TEST(InstallerContext, StartsAFreshRun) {
    InstallerContext context(L"TLW", L"1.0.25.1");
    GatherRunFacts(context);
    EXPECT_TRUE(IsGuidText(context.requestToken)) << "token: " << context.requestToken.c_str();
    EXPECT_EQ(L"TLW", context.productId);
    EXPECT_EQ(L"1.0.25.1", context.managerVersion);
    EXPECT_EQ(L"", context.productVersion);
    EXPECT_EQ(L"", context.channel);
    EXPECT_EQ(0, context.installLanguage);
    EXPECT_EQ(InstallStatusEnvironmentNotSupported, context.installStatus);
    EXPECT_EQ(4, context.installStatus);
    EXPECT_EQ(0, context.failureStage);
    EXPECT_EQ(0, context.failureCode);
    EXPECT_TRUE(context.externalProperties.empty());
    ASSERT_EQ(1u, context.properties.size());
    EXPECT_EQ(OsBitsFor(context.architecture), context.properties.at(L"osbits"));
}

TEST(InstallerContext, GathersTheMachinesFacts) {
    InstallerContext context(L"TLW", L"1.0.25.1");
    GatherRunFacts(context);
    EXPECT_EQ(GetOsName(), context.osName);
    EXPECT_EQ(GetArchitecture(), context.architecture);
    EXPECT_EQ(GetDefaultBrowser(), context.defaultBrowser);
    EXPECT_EQ(GetCountryCode(), context.country);
    EXPECT_EQ(GetUiLanguageIndex(), context.uiLanguage);
    // The identifier or its placeholder: both have the fixed length.
    EXPECT_EQ(kMachineIdLength, context.machineId.size()) << context.machineId.c_str();
    EXPECT_EQ(L'-', context.machineId[1]);
    const bool x64 = context.architecture == L"x64";
    EXPECT_TRUE(x64 || context.architecture == L"x86");
    EXPECT_EQ(x64 ? L"64" : L"32", context.properties.at(L"osbits"));
}

TEST(InstallerContext, EachRunHasItsOwnToken) {
    InstallerContext first(L"TLW", L"1.0.25.1");
    GatherRunFacts(first);
    InstallerContext second(L"TLW", L"1.0.25.1");
    GatherRunFacts(second);
    EXPECT_NE(first.requestToken, second.requestToken);
    EXPECT_TRUE(IsGuidText(second.requestToken));
}

TEST(InstallerContext, SetInstallLanguageSetsTheLangProperty) {
    InstallerContext context(L"TLW", L"1.0.25.1");
    GatherRunFacts(context);
    context.SetInstallLanguage(5);
    EXPECT_EQ(5, context.installLanguage);
    EXPECT_EQ(L"jp", context.properties.at(L"lang"));
    context.SetInstallLanguage(1);
    EXPECT_EQ(1, context.installLanguage);
    EXPECT_EQ(L"en", context.properties.at(L"lang"));
    EXPECT_EQ(2u, context.properties.size());
}

TEST(InstallerContext, PropertiesAreOrderedByCodeUnits) {
    InstallerContext context(L"TLW", L"1.0.25.1");
    GatherRunFacts(context);
    context.properties[L"installProgress"] = L"0";
    context.properties[L"Zeta"] = L"1";
    context.properties[L"downloadTotal"] = L"1";
    std::wstring keys;
    for (const auto& entry : context.properties) {
        keys += entry.first + L",";
    }
    EXPECT_EQ(L"Zeta,downloadTotal,installProgress,osbits,", keys);
}

} // namespace
