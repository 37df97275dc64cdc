#include "base/LogFile.h"
#include "payload/PayloadArchive.h"
#include "tests/common/TestUtil.h"
#include "tests/payload/PayloadTestSupport.h"

#include <gtest/gtest.h>

namespace {

using List = std::vector<std::wstring>;

struct ScanCase {
    const char* label;
    const wchar_t* text;
    List expected;
};

class LanguageScan : public testing::TestWithParam<ScanCase> {};

TEST_P(LanguageScan, ReadsTheQuotedCodesAfterTheKey) {
    EXPECT_EQ(GetParam().expected, ScanLanguageList(GetParam().text));
}

INSTANTIATE_TEST_SUITE_P(
    Table, LanguageScan,
    testing::Values(
        ScanCase{"ShippedForm",
                 L"var installParams = {\"VISIBLE_IN_WEB\":\"1\",\"CHNL\":\"web\","
                 L"\"LANG\":[\"en\",\"fr\",\"de\",\"it\",\"jp\",\"nl\",\"tw\"],\"STUB\":\"0\"};",
                 {L"en", L"fr", L"de", L"it", L"jp", L"nl", L"tw"}},
        ScanCase{"SpacesAroundTheColon", L"{\"LANG\" : [ \"en\" , \"fr\" ]}", {L"en", L"fr"}},
        ScanCase{"LinesAndTabs",
                 L"{\n\t\"LANG\":\n\t[\n\t\t\"en\",\n\t\t\"de\"\n\t]\n}",
                 {L"en", L"de"}},
        ScanCase{"EmptyArray", L"{\"LANG\":[],\"CHNL\":\"web\"}", {}},
        ScanCase{"MissingKey", L"{\"CHNL\":\"web\",\"STUB\":\"0\"}", {}},
        ScanCase{"KeyInOtherCase", L"{\"lang\":[\"en\"]}", {}},
        ScanCase{"KeyWithoutQuotes", L"{LANG:[\"en\"]}", {}},
        ScanCase{"ElementHoldingABracket", L"{\"LANG\":[\"en\",\"f]r\",\"de\"]}", {L"en"}},
        ScanCase{
            "DuplicatesKeptInOrder", L"{\"LANG\":[\"fr\",\"en\",\"fr\"]}", {L"fr", L"en", L"fr"}},
        ScanCase{"FirstKeyWins", L"{\"LANG\":[\"en\"],\"X\":{\"LANG\":[\"de\"]}}", {L"en"}},
        ScanCase{"NoEscapes", L"{\"LANG\":[\"e\\\"n\",\"fr\"]}", {L"e\\", L","}},
        ScanCase{"UnfinishedStringDropped", L"{\"LANG\":[\"en\",\"fr", {L"en"}},
        ScanCase{"NoClosingBracket", L"{\"LANG\":[\"en\",\"fr\"", {L"en", L"fr"}},
        ScanCase{"TextEndsAfterTheKey", L"{\"LANG\"", {}},
        ScanCase{"TextEndsAtTheColon", L"{\"LANG\":", {}},
        ScanCase{"EmptyAndWideCodes", L"{\"LANG\":[\"\",\"zh-\u7e41\"]}", {L"", L"zh-\u7e41"}},
        ScanCase{"EmptyText", L"", {}}),
    [](const testing::TestParamInfo<ScanCase>& info) { return std::string(info.param.label); });

TEST(ReadLanguageList, ReadsTheUnpackedInstallParameters) {
    LogFile log;
    PayloadArchive archive(log);
    ASSERT_TRUE(archive.isLoaded);
    EXPECT_EQ((List{L"en", L"fr", L"de", L"it", L"jp", L"nl", L"tw"}), archive.ReadLanguageList());
}

TEST(ReadLanguageList, DecodesUtf8AndSurvivesBytesThatAreNot) {
    LogFile log;
    PayloadArchive archive(log);
    const std::wstring file = archive.temporaryFolder + L"js\\installparams.js";
    ASSERT_TRUE(testutil::WriteFileBytes(
        file,
        "\xef\xbb\xbf\xff\xfe var p = {\"LANG\":[\"en\",\"zh-\xe7\xb9\x81\",\"x\xc3\"]} \xc3"));
    EXPECT_EQ((List{L"en", L"zh-\u7e41", L"x\ufffd"}), archive.ReadLanguageList());
}

TEST(ReadLanguageList, IsEmptyWithoutTheFile) {
    LogFile log;
    PayloadArchive archive(log);
    ASSERT_TRUE(DeleteFileW((archive.temporaryFolder + L"js\\installparams.js").c_str()));
    EXPECT_TRUE(archive.ReadLanguageList().empty());
    EXPECT_EQ(3u, payloadtest::LogMessages(testutil::ReadFileBytes(log.path)).size())
        << "a missing file is not logged";
}

} // namespace
