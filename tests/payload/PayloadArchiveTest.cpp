#include "base/LogFile.h"
#include "base/TempFolders.h"
#include "payload/PayloadArchive.h"
#include "tests/common/TestUtil.h"
#include "tests/payload/PayloadTestSupport.h"

#include <gtest/gtest.h>

using namespace payloadtest;

namespace {

std::vector<std::string> Messages(const LogFile& log) {
    return LogMessages(testutil::ReadFileBytes(log.path));
}

std::vector<std::string> MessagesFrom(const LogFile& log, size_t first) {
    const std::vector<std::string> all = Messages(log);
    return first < all.size() ? std::vector<std::string>(all.begin() + first, all.end())
                              : std::vector<std::string>();
}

struct NameCase {
    const wchar_t* name;
    bool safe;
};

class RecordName : public testing::TestWithParam<NameCase> {};

TEST_P(RecordName, IsSafeOnlyWhenItStaysInsideTheFolder) {
    EXPECT_EQ(GetParam().safe, IsSafeRecordName(GetParam().name));
}

INSTANTIATE_TEST_SUITE_P(
    Table, RecordName,
    testing::Values(NameCase{L"Load.html", true}, NameCase{L"js\\installparams.js", true},
                    NameCase{L"images\\icons\\close.gif", true}, NameCase{L".hidden", false},
                    NameCase{L"a..b.txt", true}, NameCase{L"se\u00f1al.png", true},
                    NameCase{L"console.txt", true}, NameCase{L"COM10", true}, NameCase{L"", false},
                    NameCase{L"..", false}, NameCase{L".", false}, NameCase{L"..\\x.txt", false},
                    NameCase{L"js\\..\\..\\x.txt", false}, NameCase{L"js\\.\\x.txt", false},
                    NameCase{L"js\\.. \\x.txt", false}, NameCase{L"...\\x.txt", false},
                    NameCase{L"x.txt.", false}, NameCase{L"x.txt ", false},
                    NameCase{L"\\x.txt", false}, NameCase{L"\\\\server\\share\\x.txt", false},
                    NameCase{L"C:\\x.txt", false}, NameCase{L"C:x.txt", false},
                    NameCase{L"Load.html:stream", false}, NameCase{L"js/../../x.txt", false},
                    NameCase{L"js\\\\x.txt", false}, NameCase{L"js\\", false},
                    NameCase{L"a\tb", false}, NameCase{L"a?b", false}, NameCase{L"a*b", false},
                    NameCase{L"a|b", false}, NameCase{L"a<b>", false}, NameCase{L"a\"b", false},
                    NameCase{L"CON", false}, NameCase{L"con.txt", false},
                    NameCase{L"js\\nul", false}, NameCase{L"Aux .html", false},
                    NameCase{L"COM1", false}, NameCase{L"lpt9.log", false},
                    NameCase{L"CONOUT$", false}, NameCase{L"a\\..x\\b.txt", false}));

TEST(RecordName, AcceptsTheLongestNameAndRefusesLonger) {
    EXPECT_TRUE(IsSafeRecordName(std::wstring(259, L'a').c_str()));
    EXPECT_FALSE(IsSafeRecordName(std::wstring(260, L'a').c_str()));
}

TEST(PayloadArchive, UnpacksTheProgramsOwnPagesIntoANewFolderAndDeletesItAtTheEnd) {
    std::wstring temp;
    ASSERT_TRUE(GetTempFolderPath(temp));
    LogFile log;
    std::wstring folder;
    {
        PayloadArchive archive(log);
        EXPECT_TRUE(archive.isLoaded);
        folder = archive.temporaryFolder;
        ASSERT_EQ(0u, folder.find(temp));
        EXPECT_GT(folder.size(), temp.size());
        EXPECT_EQ(L'\\', folder.back()) << "so that \"Load.html\" can be appended directly";
        EXPECT_TRUE(testutil::FileExists(folder + L"Load.html"));
        EXPECT_EQ(Pages(), ReadTree(folder));
        EXPECT_EQ((std::vector<std::string>{
                      "DEBUG Load Resource from pe.",
                      "DEBUG Load Resource from pe finished.",
                      "DEBUG load resource success, temporary folder path : " + Utf8(folder),
                  }),
                  Messages(log));
    }
    EXPECT_FALSE(testutil::FileExists(folder));
    EXPECT_EQ(3u, Messages(log).size()) << "a clean deletion logs nothing";
}

TEST(PayloadArchive, TwoArchivesUnpackIntoTwoFolders) {
    LogFile log;
    PayloadArchive first(log);
    PayloadArchive second(log);
    EXPECT_NE(first.temporaryFolder, second.temporaryFolder);
    EXPECT_EQ(Pages(), ReadTree(second.temporaryFolder));
}

TEST(PayloadArchive, WithoutATemporaryFolderLogsItAndTouchesNothing) {
    testutil::ScratchFolder scratch;
    const std::wstring notAFolder = scratch / L"temp-is-a-file";
    ASSERT_TRUE(testutil::WriteFileBytes(notAFolder, "content"));
    const std::wstring requests = testutil::ServerDir(L"LICENSE") + L"requests.log";
    LogFile log;
    {
        testutil::TempFolderOverride override(notAFolder);
        PayloadArchive archive(log);
        EXPECT_FALSE(archive.isLoaded);
        EXPECT_TRUE(archive.temporaryFolder.empty());
        EXPECT_TRUE(archive.ReadLanguageList().empty());
        const std::string before = testutil::ReadFileBytes(requests);
        archive.PrepareLicensePage(
            L"TLW", L"en", L"http://127.0.0.1:" + std::to_wstring(testutil::ServerPort(L"LICENSE")),
            5000);
        EXPECT_EQ(before, testutil::ReadFileBytes(requests)) << "no licence request";
    }
    EXPECT_EQ(std::vector<std::string>{"ERROR create temporary folder failed!"}, Messages(log))
        << "nothing else, also not at destruction";
    EXPECT_EQ("content", testutil::ReadFileBytes(notAFolder));
}

TEST(PayloadArchive, SaysSoWhenItsFolderCannotBeDeleted) {
    LogFile log;
    std::wstring folder;
    HANDLE held = INVALID_HANDLE_VALUE;
    {
        PayloadArchive archive(log);
        folder = archive.temporaryFolder;
        // Open without delete sharing: the file, and so the folder, cannot go.
        held = CreateFileW((folder + L"Load.html").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, held);
    }
    CloseHandle(held);
    const std::vector<std::string> messages = Messages(log);
    ASSERT_EQ(4u, messages.size());
    EXPECT_EQ("ERROR Delete Temp folder failed!", messages.back());
    EXPECT_EQ((std::map<std::wstring, std::string>{{L"Load.html", Pages().at(L"Load.html")}}),
              ReadTree(folder))
        << "everything else was deleted";
    EXPECT_TRUE(DeleteFolderTree(folder));
}

// An archive reader over a crafted file next to its own unpacking folder.
class ArchiveFile : public testing::Test {
protected:
    void SetUp() override {
        archive_.reset(new PayloadArchive(log_));
        ASSERT_TRUE(archive_->isLoaded);
        logged_ = Messages(log_).size();
        target_ = scratch_ / L"unpacked\\";
        ASSERT_TRUE(CreateDirectoryW(target_.c_str(), nullptr));
    }

    // Loads `bytes` as a program file into the folder; the log lines it wrote.
    std::vector<std::string> Load(const std::string& bytes, bool expected) {
        const std::wstring file = scratch_ / L"program.exe";
        EXPECT_TRUE(testutil::WriteFileBytes(file, bytes));
        EXPECT_EQ(expected, archive_->LoadFromFile(file, target_));
        return MessagesFrom(log_, logged_);
    }

    std::string CreateFailed() const { return "ERROR create " + Utf8(target_) + " failed!"; }

    const std::string program_ = "MZ a program that carries pages";
    testutil::ScratchFolder scratch_;
    LogFile log_;
    std::unique_ptr<PayloadArchive> archive_;
    size_t logged_ = 0;
    std::wstring target_;
};

const char kFinished[] = "DEBUG Load Resource from pe finished.";

TEST_F(ArchiveFile, WritesNestedNamesAndEmptyRecordsWithoutFolderRecords) {
    const std::string data(70000, 'd');
    const std::string archive = Record(L"a\\b\\c\\deep.txt", data) + Record(L"empty.txt", "") +
                                Record(L"Load.html", "<html/>") + Terminator() + "pad";
    EXPECT_EQ(std::vector<std::string>{kFinished}, Load(AppendArchive(program_, archive), true));
    EXPECT_EQ((std::map<std::wstring, std::string>{
                  {L"a\\b\\c\\deep.txt", data}, {L"empty.txt", ""}, {L"Load.html", "<html/>"}}),
              ReadTree(target_));
}

TEST_F(ArchiveFile, OverwritesAFileThatIsAlreadyThere) {
    ASSERT_TRUE(testutil::WriteFileBytes(target_ + L"Load.html", std::string(5000, 'o')));
    EXPECT_EQ(std::vector<std::string>{kFinished},
              Load(AppendArchive(program_, Record(L"Load.html", "new") + Terminator()), true));
    EXPECT_EQ("new", testutil::ReadFileBytes(target_ + L"Load.html"));
}

TEST_F(ArchiveFile, AHeaderCutShortFailsAfterTheRecordsBeforeIt) {
    const std::string archive =
        Record(L"Load.html", "kept") + RecordHeader(L"next", 4).substr(0, 100);
    EXPECT_EQ((std::vector<std::string>{"ERROR read file info failed!", kFinished}),
              Load(AppendArchive(program_, archive), false));
    EXPECT_EQ((std::map<std::wstring, std::string>{{L"Load.html", "kept"}}), ReadTree(target_));
}

TEST_F(ArchiveFile, RecordDataCutShortFails) {
    const std::string archive =
        Record(L"Load.html", "kept") + RecordHeader(L"short.bin", 5000) + std::string(10, 's');
    EXPECT_EQ((std::vector<std::string>{"ERROR read file data failed!", kFinished}),
              Load(AppendArchive(program_, archive), false));
    EXPECT_EQ((std::map<std::wstring, std::string>{{L"Load.html", "kept"}}), ReadTree(target_));
}

TEST_F(ArchiveFile, RefusesARecordOfFourGibibytesOrMore) {
    const std::string archive = RecordHeader(L"big.bin", 4, 1) + "data" + Terminator();
    EXPECT_EQ((std::vector<std::string>{"ERROR read file data failed!", kFinished}),
              Load(AppendArchive(program_, archive), false));
    EXPECT_TRUE(ReadTree(target_).empty());
}

TEST_F(ArchiveFile, RefusesASizeTheFileCannotHoldWithoutReadingIt) {
    const std::string archive = RecordHeader(L"huge.bin", 0xFFFFFFF0u) + Terminator();
    EXPECT_EQ((std::vector<std::string>{"ERROR read file data failed!", kFinished}),
              Load(AppendArchive(program_, archive), false));
    EXPECT_TRUE(ReadTree(target_).empty());
}

TEST_F(ArchiveFile, AFileShorterThanTheOffsetFails) {
    EXPECT_EQ(std::vector<std::string>{"ERROR read end of certification table failed!"},
              Load("MZ", false));
}

TEST_F(ArchiveFile, AMissingFileFailsNamingIt) {
    const std::wstring missing = scratch_ / L"missing.exe";
    EXPECT_FALSE(archive_->LoadFromFile(missing, target_));
    EXPECT_EQ(std::vector<std::string>{"ERROR open file : " + Utf8(missing) + " failed!"},
              MessagesFrom(log_, logged_));
}

TEST_F(ArchiveFile, ANameWithoutItsEndFailsTheEntry) {
    const std::string archive = RecordHeader(std::wstring(260, L'n'), 1) + "x" + Terminator();
    EXPECT_EQ((std::vector<std::string>{CreateFailed(), kFinished}),
              Load(AppendArchive(program_, archive), false));
    EXPECT_TRUE(ReadTree(target_).empty());
}

TEST_F(ArchiveFile, ANameTooLongForAPathFailsTheEntry) {
    const std::wstring name = std::wstring(250, L'n') + L".txt";
    EXPECT_EQ((std::vector<std::string>{CreateFailed(), kFinished}),
              Load(AppendArchive(program_, Record(name, "x") + Terminator()), false));
    EXPECT_TRUE(ReadTree(target_).empty());
}

TEST_F(ArchiveFile, ARecordBelowAFileFailsTheEntry) {
    const std::string archive =
        Record(L"Load.html", "page") + Record(L"Load.html\\inner.txt", "x") + Terminator();
    EXPECT_EQ((std::vector<std::string>{CreateFailed(), kFinished}),
              Load(AppendArchive(program_, archive), false));
    EXPECT_EQ((std::map<std::wstring, std::string>{{L"Load.html", "page"}}), ReadTree(target_));
}

// The folder named with and without its trailing backslash: a record may not
// land beside it ("<folder>x") nor anywhere but under its own name.
TEST_F(ArchiveFile, ARecordLandsOnlyUnderItsOwnNameInsideTheFolder) {
    const std::wstring bare = target_.substr(0, target_.size() - 1);
    const struct {
        std::wstring folder;
        const wchar_t* name;
    } cases[] = {
        {bare, L"a\\..x\\escaped-payload.txt"},
        {target_, L"sub\\a\\..x\\escaped-payload.txt"},
        {bare, L"..x\\escaped-payload.txt"},
    };
    for (const auto& c : cases) {
        const std::string header = RecordHeader(c.name, 7);
        PayloadRecordHeader record;
        memcpy(&record, header.data(), sizeof record);
        EXPECT_FALSE(archive_->WriteArchiveEntry(record, "escaped", c.folder))
            << testing::PrintToString(std::wstring(c.name));
        EXPECT_EQ((std::map<std::wstring, std::string>{}), ReadTree(scratch_.path()))
            << testing::PrintToString(std::wstring(c.name));
    }
    // A plain name is written, with or without the backslash.
    const std::string header = RecordHeader(L"sub\\ok.txt", 2);
    PayloadRecordHeader record;
    memcpy(&record, header.data(), sizeof record);
    EXPECT_TRUE(archive_->WriteArchiveEntry(record, "ok", bare));
    EXPECT_EQ((std::map<std::wstring, std::string>{{L"unpacked\\sub\\ok.txt", "ok"}}),
              ReadTree(scratch_.path()));
}

class UnsafeRecord : public ArchiveFile, public testing::WithParamInterface<const wchar_t*> {};

TEST_P(UnsafeRecord, IsRefusedAndNothingIsWrittenOutsideTheFolder) {
    const std::wstring name = GetParam();
    const std::string archive = Record(L"first.txt", "1") + Record(name, "escaped") +
                                Record(L"last.txt", "3") + Terminator();
    EXPECT_EQ((std::vector<std::string>{CreateFailed(), kFinished}),
              Load(AppendArchive(program_, archive), false));
    EXPECT_EQ((std::map<std::wstring, std::string>{{L"first.txt", "1"}}), ReadTree(target_));
    EXPECT_EQ((std::map<std::wstring, std::string>{
                  {L"program.exe", testutil::ReadFileBytes(scratch_ / L"program.exe")},
                  {L"unpacked\\first.txt", "1"}}),
              ReadTree(scratch_.path()))
        << "nothing beside the folder";
    EXPECT_FALSE(testutil::FileExists(L"C:\\escaped-payload.txt"));
    EXPECT_FALSE(testutil::FileExists(L"C:\\windows\\escaped-payload.txt"));
}

INSTANTIATE_TEST_SUITE_P(
    Names, UnsafeRecord,
    testing::Values(L"..\\escaped-payload.txt", L"sub\\..\\..\\escaped-payload.txt",
                    L"..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\windows\\escaped-payload.txt",
                    L"C:\\escaped-payload.txt", L"C:escaped-payload.txt", L"\\escaped-payload.txt",
                    L"\\\\127.0.0.1\\c$\\escaped-payload.txt", L"sub/../../escaped-payload.txt",
                    L"sub\\.. \\escaped-payload.txt", L"first.txt:stream", L"CON", L"nul.txt",
                    L"sub\\\\x.txt", L"..x\\escaped-payload.txt",
                    L"a\\..b\\..c\\..d\\..e\\..f\\..g\\..h\\escaped-payload.txt"));

} // namespace
