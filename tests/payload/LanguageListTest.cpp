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

// Writes `head` and then makes the file `size` bytes long (the rest holes of
// zeros, so even a huge file costs no disk).
bool WriteSizedFile(const std::wstring& path, const std::string& head, ULONGLONG size) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD wrote = 0;
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    const bool ok =
        WriteFile(file, head.data(), static_cast<DWORD>(head.size()), &wrote, nullptr) &&
        wrote == head.size() && SetFilePointerEx(file, end, nullptr, FILE_BEGIN) &&
        SetEndOfFile(file);
    CloseHandle(file);
    return ok;
}

// The install parameters are a few hundred bytes; a file far larger than any
// such script is not read at all.
TEST(ReadLanguageList, IsEmptyForAFileOverTheSizeLimit) {
    const std::string head = "var installParams = {\"LANG\":[\"en\",\"fr\"]};";
    const struct {
        ULONGLONG size;
        List expected;
    } cases[] = {
        {kMaxInstallParamsBytes, {L"en", L"fr"}},
        {kMaxInstallParamsBytes + 1, {}},
        {300ull << 20, {}},
        // The low 32 bits of the size alone would look small.
        {(4ull << 30) + 100, {}},
    };
    for (const auto& c : cases) {
        LogFile log;
        PayloadArchive archive(log);
        ASSERT_TRUE(archive.isLoaded);
        const std::wstring file = archive.temporaryFolder + L"js\\installparams.js";
        ASSERT_TRUE(WriteSizedFile(file, head, c.size)) << c.size;
        EXPECT_EQ(c.expected, archive.ReadLanguageList()) << c.size;
        DeleteFileW(file.c_str());
    }
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
