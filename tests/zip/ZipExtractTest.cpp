#include "zip/ZipExtract.h"

#include "tests/zip/ZipTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>

namespace {

using ziptest::Fixture;
using ziptest::Progress;
using ziptest::Recorder;

// Opens the zip as the product controller does and extracts it.
bool ExtractFile(const std::wstring& zipPath, const std::wstring& folder, zip::ZipReporter* r) {
    HANDLE file = CreateFileW(zipPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, file) << "cannot open fixture";
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool ok = zip::ZipExtractToFolder(file, folder, r);
    CloseHandle(file);
    return ok;
}

// Every file below `folder`, as relative names, in enumeration order of depth-first walk.
void ListFiles(const std::wstring& folder, const std::wstring& prefix,
               std::vector<std::wstring>& out) {
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + prefix + L"*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            out.push_back(prefix + name + L"\\");
            ListFiles(folder, prefix + name + L"\\", out);
        } else {
            out.push_back(prefix + name);
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

std::vector<std::wstring> Tree(const std::wstring& folder) {
    std::vector<std::wstring> files;
    ListFiles(folder, L"", files);
    std::sort(files.begin(), files.end());
    return files;
}

TEST(ZipExtract, MakesParentFoldersForNestedNamesWithoutDirectoryEntries) {
    testutil::ScratchFolder scratch;
    const std::wstring out = scratch / L"out\\";
    Recorder r;
    ASSERT_TRUE(ExtractFile(Fixture("nested.zip"), out, &r));
    EXPECT_EQ("alpha", testutil::ReadFileBytes(out + L"sub\\a.txt"));
    EXPECT_EQ("gamma in b", testutil::ReadFileBytes(out + L"sub\\b\\c.txt"));
    EXPECT_EQ((std::vector<std::wstring>{L"sub\\", L"sub\\a.txt", L"sub\\b\\", L"sub\\b\\c.txt"}),
              Tree(out));
    EXPECT_EQ((Progress{{0, 2}, {1, 2}, {2, 2}}), r.progress);
    EXPECT_TRUE(r.errors.empty());
}

TEST(ZipExtract, CreatesDirectoryEntriesAsFolders) {
    testutil::ScratchFolder scratch;
    const std::wstring out = scratch / L"out";
    ASSERT_TRUE(ExtractFile(Fixture("dirs.zip"), out, nullptr));
    EXPECT_EQ((std::vector<std::wstring>{L"top\\", L"top\\inner\\", L"top\\inner\\f.txt"}),
              Tree(out + L"\\"));
}

TEST(ZipExtract, ReportsEveryEntryThenTheTotal) {
    testutil::ScratchFolder scratch;
    Recorder r;
    ASSERT_TRUE(ExtractFile(Fixture("three.zip"), scratch.path(), &r));
    EXPECT_EQ((Progress{{0, 3}, {1, 3}, {2, 3}, {3, 3}}), r.progress);
    EXPECT_EQ(std::string(1000, '1'), testutil::ReadFileBytes(scratch / L"one.txt"));
    std::string pattern;
    for (int i = 0; i < 40; ++i) {
        for (int b = 0; b < 256; ++b) {
            pattern += static_cast<char>(b);
        }
    }
    EXPECT_EQ(pattern, testutil::ReadFileBytes(scratch / L"two.bin"));
    EXPECT_TRUE(testutil::FileExists(scratch / L"three.txt"));
    EXPECT_EQ("", testutil::ReadFileBytes(scratch / L"three.txt"));
}

TEST(ZipExtract, ExtractsStoredEntries) {
    testutil::ScratchFolder scratch;
    ASSERT_TRUE(ExtractFile(Fixture("stored.zip"), scratch.path(), nullptr));
    EXPECT_EQ(70000u, testutil::ReadFileBytes(scratch / L"s.bin").size());
}

TEST(ZipExtract, AnEmptyZipSucceedsWithOneProgressCall) {
    testutil::ScratchFolder scratch;
    Recorder r;
    EXPECT_TRUE(ExtractFile(Fixture("empty.zip"), scratch.path(), &r));
    EXPECT_EQ((Progress{{0, 0}}), r.progress);
}

TEST(ZipExtract, ANonZipFailsWithoutProgress) {
    testutil::ScratchFolder scratch;
    Recorder r;
    EXPECT_FALSE(ExtractFile(Fixture("not-a-zip.zip"), scratch.path(), &r));
    EXPECT_TRUE(r.progress.empty());
    EXPECT_TRUE(Tree(scratch.path()).empty());
}

TEST(ZipExtract, ACorruptCrcDeletesThatFileAndStops) {
    testutil::ScratchFolder scratch;
    Recorder r;
    EXPECT_FALSE(ExtractFile(Fixture("bad-crc.zip"), scratch.path(), &r));
    EXPECT_EQ((std::vector<std::wstring>{L"good.txt"}), Tree(scratch.path()));
    EXPECT_EQ((Progress{{0, 3}, {1, 3}, {3, 3}}), r.progress);
    EXPECT_TRUE(r.errors.empty());
}

// Every file of mixed.zip comes out byte for byte: small deflated files in
// three folders, a stored entry and a deflated one that each take several
// reads.
TEST(ZipExtract, ManyEntriesComeOutExactly) {
    testutil::ScratchFolder scratch;
    Recorder r;
    ASSERT_TRUE(ExtractFile(Fixture("mixed.zip"), scratch.path(), &r));
    EXPECT_TRUE(r.errors.empty());
    const std::wstring expected = Fixture("mixed-files") + L"\\";
    const std::vector<std::wstring> files = Tree(scratch.path());
    EXPECT_EQ(Tree(expected), files);
    ASSERT_EQ(305u, files.size()) << "302 files in 3 folders";
    for (const std::wstring& name : files) {
        if (name.back() == L'\\') {
            continue;
        }
        EXPECT_TRUE(testutil::ReadFileBytes(scratch / name) ==
                    testutil::ReadFileBytes(expected + name))
            << std::string(name.begin(), name.end());
    }
}

// A CRC that fails only at the end of a large entry still deletes its file
// and stops before the next entry.
TEST(ZipExtract, ABadCrcOfALargeEntryDeletesThatFileAndStops) {
    for (const char* fixture : {"big-bad-crc-stored.zip", "big-bad-crc-deflated.zip"}) {
        testutil::ScratchFolder scratch;
        Recorder r;
        EXPECT_FALSE(ExtractFile(Fixture(fixture), scratch.path(), &r)) << fixture;
        EXPECT_EQ((std::vector<std::wstring>{L"good.txt"}), Tree(scratch.path())) << fixture;
        EXPECT_EQ((Progress{{0, 3}, {1, 3}, {3, 3}}), r.progress) << fixture;
    }
}

TEST(ZipExtract, ANameOverTheLimitFailsThatEntryWithoutWritingAnything) {
    // Cut to 259 bytes the name still cannot be joined to any folder within
    // the path limit, so the entry fails and nothing stray is written.
    testutil::ScratchFolder scratch;
    Recorder r;
    EXPECT_FALSE(ExtractFile(Fixture("long-name.zip"), scratch.path(), &r));
    EXPECT_EQ((std::vector<std::wstring>{L"first.txt"}), Tree(scratch.path()));
    EXPECT_EQ((Progress{{0, 2}, {1, 2}, {2, 2}}), r.progress);
}

// Makes `folder` the process's current directory while it lives, so that a
// name that collapses to a relative path lands where the test can see it.
class CurrentDirectory {
public:
    explicit CurrentDirectory(const std::wstring& folder) {
        GetCurrentDirectoryW(MAX_PATH, saved_);
        CreateDirectoryW(folder.c_str(), nullptr);
        EXPECT_TRUE(SetCurrentDirectoryW(folder.c_str()));
    }
    ~CurrentDirectory() { SetCurrentDirectoryW(saved_); }
    CurrentDirectory(const CurrentDirectory&) = delete;
    CurrentDirectory& operator=(const CurrentDirectory&) = delete;

private:
    wchar_t saved_[MAX_PATH] = {};
};

// The names directly in a folder, sorted.
std::vector<std::wstring> TopLevel(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + L"*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            names.push_back(entry.cFileName);
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    std::sort(names.begin(), names.end());
    return names;
}

class ZipExtractEscape : public testing::TestWithParam<const char*> {};

TEST_P(ZipExtractEscape, RefusesTheEntryAndWritesNothingOutside) {
    testutil::ScratchFolder scratch;
    CurrentDirectory cwd(scratch / L"cwd");
    const std::wstring out = scratch / L"deep\\out\\";
    const std::vector<std::wstring> driveRoot = TopLevel(L"C:\\");
    Recorder r;
    EXPECT_FALSE(ExtractFile(Fixture(GetParam()), out, &r));
    EXPECT_EQ(driveRoot, TopLevel(L"C:\\"));
    EXPECT_EQ(
        (std::vector<std::wstring>{L"cwd\\", L"deep\\", L"deep\\out\\", L"deep\\out\\before.txt"}),
        Tree(scratch.path()));
    EXPECT_EQ((Progress{{0, 3}, {1, 3}, {3, 3}}), r.progress);
    EXPECT_FALSE(testutil::FileExists(L"Z:\\escape.txt"));
}

// The same folder given without its trailing backslash.
TEST_P(ZipExtractEscape, RefusesTheEntryForAFolderWithoutTrailingBackslash) {
    testutil::ScratchFolder scratch;
    CurrentDirectory cwd(scratch / L"cwd");
    const std::wstring out = scratch / L"deep\\out";
    EXPECT_FALSE(ExtractFile(Fixture(GetParam()), out, nullptr));
    EXPECT_EQ(
        (std::vector<std::wstring>{L"cwd\\", L"deep\\", L"deep\\out\\", L"deep\\out\\before.txt"}),
        Tree(scratch.path()));
}

INSTANTIATE_TEST_SUITE_P(Names, ZipExtractEscape,
                         testing::Values("dotdot.zip", "deep-dotdot.zip", "absolute.zip",
                                         "drive.zip", "dots-blank.zip", "dotdot-prefix.zip",
                                         "dotdot-chain.zip", "dotdot-chain-root.zip",
                                         "blank-dotdot.zip"));

class ZipExtractDevice : public testing::TestWithParam<const char*> {};

TEST_P(ZipExtractDevice, RefusesTheEntry) {
    testutil::ScratchFolder scratch;
    Recorder r;
    EXPECT_FALSE(ExtractFile(Fixture(GetParam()), scratch.path(), &r));
    EXPECT_EQ((std::vector<std::wstring>{L"before.txt"}), Tree(scratch.path()));
    EXPECT_EQ((Progress{{0, 3}, {1, 3}, {3, 3}}), r.progress);
}

INSTANTIATE_TEST_SUITE_P(Names, ZipExtractDevice,
                         testing::Values("device-nul.zip", "device-con.zip", "device-aux.zip",
                                         "device-com.zip", "device-lpt.zip", "device-conin.zip",
                                         "device-folder.zip"));

class ZipExtractShortEntry : public testing::TestWithParam<const char*> {};

// Data that ends before the entry's declared size is no whole file, whatever
// the reader says about it.
TEST_P(ZipExtractShortEntry, FailsTheEntryAndDeletesItsFile) {
    testutil::ScratchFolder scratch;
    Recorder r;
    EXPECT_FALSE(ExtractFile(Fixture(GetParam()), scratch.path(), &r));
    EXPECT_EQ((std::vector<std::wstring>{L"before.txt"}), Tree(scratch.path()));
    EXPECT_EQ((Progress{{0, 3}, {1, 3}, {3, 3}}), r.progress);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ZipExtractShortEntry,
                         testing::Values("short-stored.zip", "short-deflated.zip"));

class ZipExtractLongEntry : public testing::TestWithParam<const char*> {};

// Data that goes on past the entry's declared size is no whole file either,
// even when the declared part matches the CRC.
TEST_P(ZipExtractLongEntry, FailsTheEntryAndDeletesItsFile) {
    testutil::ScratchFolder scratch;
    Recorder r;
    EXPECT_FALSE(ExtractFile(Fixture(GetParam()), scratch.path(), &r));
    EXPECT_EQ((std::vector<std::wstring>{L"before.txt"}), Tree(scratch.path()));
    EXPECT_EQ((Progress{{0, 3}, {1, 3}, {3, 3}}), r.progress);
    EXPECT_TRUE(r.errors.empty());
    EXPECT_TRUE(r.lines.empty());
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ZipExtractLongEntry,
                         testing::Values("long-stored.zip", "long-deflated.zip", "long-zeros.zip"));

// Only stored and deflated entries can be unpacked and checked; the reader
// would copy an entry of another method as it is and skip its CRC.
TEST(ZipExtract, AnEntryOfAnotherMethodFailsAndLeavesNoFile) {
    testutil::ScratchFolder scratch;
    Recorder r;
    EXPECT_FALSE(ExtractFile(Fixture("bzip2-method.zip"), scratch.path(), &r));
    EXPECT_EQ((std::vector<std::wstring>{L"before.txt"}), Tree(scratch.path()));
    EXPECT_EQ((Progress{{0, 3}, {1, 3}, {3, 3}}), r.progress);
    EXPECT_TRUE(r.errors.empty());
}

class ZipExtractEntryCount : public testing::TestWithParam<const char*> {};

// An entry count that does not fit the progress count is a directory that
// cannot be read, not an archive with nothing (or less than nothing) in it.
TEST_P(ZipExtractEntryCount, OverTheLimitFailsBeforeAnyEntry) {
    testutil::ScratchFolder scratch;
    Recorder r;
    EXPECT_FALSE(ExtractFile(Fixture(GetParam()), scratch.path(), &r));
    EXPECT_TRUE(r.progress.empty());
    EXPECT_TRUE(Tree(scratch.path()).empty());
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ZipExtractEntryCount,
                         testing::Values("zip64-count-4g.zip", "zip64-count-2g.zip"));

TEST(ZipExtract, ADirectoryRunningPastTheFileStopsAtTheFirstFailedRead) {
    // The second entry's central extra field claims 65535 bytes; reading it
    // runs off the end of the file.
    testutil::ScratchFolder scratch;
    Recorder r;
    EXPECT_FALSE(ExtractFile(Fixture("extra-overrun.zip"), scratch.path(), &r));
    EXPECT_EQ(1u, r.errors.size());
    EXPECT_EQ((std::vector<std::wstring>{L"before.txt"}), Tree(scratch.path()));
    EXPECT_EQ((Progress{{0, 2}, {1, 2}, {2, 2}}), r.progress);
}

// Takes all but kLeave bytes of the small disk's free space just before entry
// `atEntry` is extracted, so that the disk fills while that entry is written.
class DiskFiller : public Recorder {
public:
    static constexpr ULONGLONG kLeave = 256 * 1024;

    DiskFiller(const std::wstring& disk, int atEntry)
        : disk_(disk), filler_(disk + L"filler.bin"), atEntry_(atEntry) {}
    ~DiskFiller() { DeleteFileW(filler_.c_str()); }
    DiskFiller(const DiskFiller&) = delete;
    DiskFiller& operator=(const DiskFiller&) = delete;

    void OnProgress(int current, int total) override {
        Recorder::OnProgress(current, total);
        if (current == atEntry_) {
            Fill();
        }
    }

private:
    void Fill() {
        ULARGE_INTEGER free;
        ASSERT_TRUE(GetDiskFreeSpaceExW(disk_.c_str(), &free, nullptr, nullptr));
        HANDLE file = CreateFileW(filler_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        const std::vector<char> chunk(64 * 1024, 'f');
        ULONGLONG left = free.QuadPart > kLeave ? free.QuadPart - kLeave : 0;
        DWORD wrote = 1;
        while (left > 0 && wrote > 0) {
            const DWORD size = static_cast<DWORD>(std::min<ULONGLONG>(chunk.size(), left));
            if (!WriteFile(file, chunk.data(), size, &wrote, nullptr)) {
                break;
            }
            left -= wrote;
        }
        CloseHandle(file);
        ASSERT_TRUE(GetDiskFreeSpaceExW(disk_.c_str(), &free, nullptr, nullptr));
        EXPECT_LE(free.QuadPart, 2 * kLeave);
    }

    std::wstring disk_;
    std::wstring filler_;
    int atEntry_;
};

// The archive fits the disk when extraction starts; the disk fills while its
// second entry is written.
TEST(ZipExtract, DiskFullReportsTheErrorAndDeletesThePartialFile) {
    const std::wstring disk = testutil::SmallDiskFolder();
    if (disk.empty()) {
        GTEST_SKIP() << "no small file system mounted (BC_SMALL_DISK unset)";
    }
    const std::wstring out = disk + L"zip-extract\\";
    DiskFiller r(disk, 1);
    EXPECT_FALSE(ExtractFile(Fixture("fills-disk.zip"), out, &r));
    ASSERT_FALSE(r.errors.empty());
    EXPECT_EQ(static_cast<unsigned long>(ERROR_DISK_FULL), r.errors.back());
    EXPECT_TRUE(r.lines.empty());
    EXPECT_EQ((Progress{{0, 2}, {1, 2}, {2, 2}}), r.progress);
    EXPECT_EQ("fits", testutil::ReadFileBytes(out + L"small.txt"));
    EXPECT_FALSE(testutil::FileExists(out + L"big.bin"));
    DeleteFileW((out + L"small.txt").c_str());
    RemoveDirectoryW(out.c_str());
}

bool StartsWith(const std::wstring& text, const std::wstring& start) {
    return text.compare(0, start.size(), start) == 0;
}

struct RefusalCase {
    const char* fixture;
    int entries;
    // How the log line starts.
    const wchar_t* line;
};

void PrintTo(const RefusalCase& c, std::ostream* out) {
    *out << c.fixture;
}

class ZipExtractRefusal : public testing::TestWithParam<RefusalCase> {};

// Entries that share bytes unpack one stream many times (a small zip can
// fill a disk that way); bytes outside the archive are none of its entries'.
TEST_P(ZipExtractRefusal, RefusesTheArchiveBeforeWritingAnything) {
    testutil::ScratchFolder scratch;
    const std::wstring out = scratch / L"out\\";
    Recorder r;
    EXPECT_FALSE(ExtractFile(Fixture(GetParam().fixture), out, &r));
    EXPECT_FALSE(testutil::FileExists(out));
    const int total = GetParam().entries;
    EXPECT_EQ((Progress{{total, total}}), r.progress);
    EXPECT_EQ((std::vector<unsigned long>{ERROR_INVALID_DATA}), r.errors);
    ASSERT_EQ(1u, r.lines.size());
    EXPECT_TRUE(StartsWith(r.lines[0], GetParam().line)) << testing::PrintToString(r.lines[0]);

    EXPECT_FALSE(ExtractFile(Fixture(GetParam().fixture), out, nullptr));
    EXPECT_FALSE(testutil::FileExists(out));
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, ZipExtractRefusal,
    testing::Values(
        RefusalCase{"shared-header.zip", 3,
                    L"Unzip refused: entries 0 and 1 share bytes of the archive (local headers "
                    L"at 0 and 0)"},
        RefusalCase{"nested-entry.zip", 3,
                    L"Unzip refused: entries 1 and 2 share bytes of the archive (local headers "
                    L"at 46 and 85)"},
        RefusalCase{"data-past-end.zip", 2,
                    L"Unzip refused: entry 1 (local header at 46, 1000000 compressed bytes from "
                    L"85) does not lie inside the 4218-byte archive"},
        RefusalCase{"header-past-end.zip", 2,
                    L"Unzip refused: the local header of entry 1 cannot be read"}));

// Extracts to a folder on the small disk and removes whatever landed there,
// so that a failing case leaves the next one its free space.
struct FreeSpaceCase {
    const char* fixture;
    int entries;
};

void PrintTo(const FreeSpaceCase& c, std::ostream* out) {
    *out << c.fixture;
}

class ZipExtractFreeSpace : public testing::TestWithParam<FreeSpaceCase> {
protected:
    void SetUp() override {
        disk_ = testutil::SmallDiskFolder();
        if (disk_.empty()) {
            GTEST_SKIP() << "no small file system mounted (BC_SMALL_DISK unset)";
        }
        out_ = disk_ + L"zip-extract\\";
    }
    void TearDown() override {
        if (out_.empty()) {
            return;
        }
        // Sorted names list a folder before what is in it.
        const std::vector<std::wstring> left = Tree(out_);
        for (auto name = left.rbegin(); name != left.rend(); ++name) {
            const std::wstring path = out_ + *name;
            if (!DeleteFileW(path.c_str())) {
                RemoveDirectoryW(path.c_str());
            }
        }
        RemoveDirectoryW(out_.c_str());
    }
    std::wstring disk_;
    std::wstring out_;
};

// big.zip has one entry larger than the disk; over-small-disk.zip three that
// each fit and together do not.
TEST_P(ZipExtractFreeSpace, ADeclaredTotalOverTheFreeSpaceIsRefusedBeforeWriting) {
    const std::vector<std::wstring> before = Tree(disk_);
    Recorder r;
    EXPECT_FALSE(ExtractFile(Fixture(GetParam().fixture), out_, &r));
    EXPECT_EQ((std::vector<unsigned long>{ERROR_DISK_FULL}), r.errors);
    ASSERT_EQ(1u, r.lines.size());
    EXPECT_TRUE(StartsWith(r.lines[0], L"Unzip refused: the files unpack to "))
        << testing::PrintToString(r.lines[0]);
    const int total = GetParam().entries;
    EXPECT_EQ((Progress{{total, total}}), r.progress);
    EXPECT_FALSE(testutil::FileExists(out_));
    EXPECT_EQ(before, Tree(disk_));
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ZipExtractFreeSpace,
                         testing::Values(FreeSpaceCase{"big.zip", 2},
                                         FreeSpaceCase{"over-small-disk.zip", 3}));

TEST_F(ZipExtractFreeSpace, ATotalThatFitsIsExtracted) {
    Recorder r;
    EXPECT_TRUE(ExtractFile(Fixture("fits-small-disk.zip"), out_, &r));
    EXPECT_TRUE(r.errors.empty());
    EXPECT_EQ(std::string(1 << 20, '\0'), testutil::ReadFileBytes(out_ + L"a.bin"));
    EXPECT_EQ(std::string(1 << 20, '\0'), testutil::ReadFileBytes(out_ + L"b.bin"));
}

struct NameCase {
    std::string stored;
    std::wstring expected;
};

class StoredName : public testing::TestWithParam<NameCase> {};

TEST_P(StoredName, BecomesARelativeWindowsPath) {
    std::wstring path;
    ASSERT_TRUE(zip::StoredNameToRelativePath(GetParam().stored, path));
    EXPECT_EQ(GetParam().expected, path);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StoredName,
    testing::Values(NameCase{"a.txt", L"a.txt"}, NameCase{"sub/b/c.txt", L"sub\\b\\c.txt"},
                    NameCase{"dir/", L"dir\\"},
                    NameCase{std::string(259, 'n'), std::wstring(259, L'n')},
                    NameCase{std::string(300, 'n'), std::wstring(259, L'n')},
                    NameCase{"d/" + std::string(298, 'x'), L"d\\" + std::wstring(257, L'x')},
                    NameCase{"", L""}));

} // namespace

namespace {

// Between two entries another process of the user swaps a folder the
// extraction made for a link to a folder of its choosing (a junction on
// Windows; a link of the Unix file system here, which this Wine shows as a
// reparse point). The entry that would go through it is refused and nothing
// lands where the link points.
struct LinkSwapper : Recorder {
    void OnProgress(int current, int total) override {
        Recorder::OnProgress(current, total);
        if (current == 1 && total == 2) {
            swapped = MoveFileW((out + L"sub").c_str(), (out + L"sub-before").c_str()) &&
                      testutil::MakeUnixSymlink(elsewhere, out + L"sub");
        }
    }
    std::wstring out;
    std::wstring elsewhere;
    bool swapped = false;
};

TEST(ZipExtract, AnEntryWhoseFolderBecameALinkIsRefused) {
    testutil::ScratchFolder scratch;
    LinkSwapper r;
    r.out = scratch / L"out\\";
    r.elsewhere = scratch / L"elsewhere";
    ASSERT_TRUE(CreateDirectoryW(r.elsewhere.c_str(), nullptr));
    EXPECT_FALSE(ExtractFile(Fixture("nested.zip"), r.out, &r));
    ASSERT_TRUE(r.swapped);
    EXPECT_EQ("alpha", testutil::ReadFileBytes(r.out + L"sub-before\\a.txt"));
    EXPECT_TRUE(Tree(r.elsewhere + L"\\").empty()) << "written through the link";
    EXPECT_EQ((Progress{{0, 2}, {1, 2}, {2, 2}}), r.progress);
}

// The same archive into the same kind of folder, nothing swapped: both
// entries land (the refusal above is the link's doing).
TEST(ZipExtract, AFolderThatStaysPlainTakesEveryEntry) {
    testutil::ScratchFolder scratch;
    Recorder r;
    ASSERT_TRUE(ExtractFile(Fixture("nested.zip"), scratch / L"out\\", &r));
    EXPECT_EQ("gamma in b", testutil::ReadFileBytes(scratch / L"out\\sub\\b\\c.txt"));
}

// The input a deflated entry leaves unread past the end of its stream is
// not taken as the start of the next entry's.
TEST(ZipExtract, BytesPastADeflateStreamStayWithTheirEntry) {
    testutil::ScratchFolder scratch;
    ASSERT_TRUE(ExtractFile(Fixture("stream-then-more.zip"), scratch / L"out\\", nullptr));
    std::string first, second;
    for (int i = 0; i < 50; ++i) {
        first += "first entry ";
        second += "second entry ";
    }
    EXPECT_EQ(first, testutil::ReadFileBytes(scratch / L"out\\first.txt"));
    EXPECT_EQ(second, testutil::ReadFileBytes(scratch / L"out\\second.txt"));
}

// A name the archive holds twice is written over: the later entry is the file.
TEST(ZipExtract, ANameHeldTwiceTakesTheLaterEntry) {
    testutil::ScratchFolder scratch;
    ASSERT_TRUE(ExtractFile(Fixture("same-name.zip"), scratch / L"out\\", nullptr));
    EXPECT_EQ("second", testutil::ReadFileBytes(scratch / L"out\\twice.txt"));
    EXPECT_EQ("after", testutil::ReadFileBytes(scratch / L"out\\after.txt"));
}

// A link already in place of the extraction folder itself is refused too.
TEST(ZipExtract, AnExtractionFolderThatIsALinkTakesNothing) {
    testutil::ScratchFolder scratch;
    const std::wstring elsewhere = scratch / L"elsewhere";
    ASSERT_TRUE(CreateDirectoryW(elsewhere.c_str(), nullptr));
    ASSERT_TRUE(testutil::MakeUnixSymlink(elsewhere, scratch / L"out"));
    EXPECT_FALSE(ExtractFile(Fixture("nested.zip"), scratch / L"out\\", nullptr));
    EXPECT_TRUE(Tree(elsewhere + L"\\").empty());
}

} // namespace
