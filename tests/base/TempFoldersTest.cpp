#include "base/TempFolders.h"
#include "base/Utf8.h"
#include "tests/common/TestUtil.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>
#include <shlwapi.h>

#include <set>
#include <thread>
#include <vector>

namespace {

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

TEST(GetTempFolderPath, GivesTheLongFormOfAnExistingFolderWithTrailingBackslash) {
    std::wstring path;
    ASSERT_TRUE(GetTempFolderPath(path));
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(L'\\', path.back());
    EXPECT_TRUE(IsFolder(path));
    wchar_t longForm[2 * MAX_PATH] = {};
    ASSERT_NE(0u, GetLongPathNameW(path.c_str(), longForm, 2 * MAX_PATH));
    EXPECT_EQ(std::wstring(longForm), path);
}

TEST(CreateUniqueSubfolder, NamesTheFolderByTheTickCountInHex) {
    testutil::ScratchFolder scratch;
    std::wstring path = scratch.path();
    const DWORD before = GetTickCount();
    ASSERT_TRUE(CreateUniqueSubfolder(path));
    const DWORD after = GetTickCount();
    ASSERT_EQ(0u, path.find(scratch.path()));
    ASSERT_EQ(L'\\', path.back());
    EXPECT_TRUE(IsFolder(path));
    const std::wstring name =
        path.substr(scratch.path().size(), path.size() - scratch.path().size() - 1);
    const DWORD value = wcstoul(name.c_str(), nullptr, 16);
    wchar_t formatted[16];
    swprintf(formatted, 16, L"%x", static_cast<unsigned>(value));
    EXPECT_EQ(std::wstring(formatted), name) << "lower-case hex without leading zeros";
    EXPECT_LE(before, value);
    EXPECT_GE(after, value);
}

struct CollisionCase {
    DWORD first;
    std::vector<std::wstring> taken; // folders, or files when the name ends in '*'
    std::wstring expected;
};

class CreateUniqueSubfolderCollision : public testing::TestWithParam<CollisionCase> {};

TEST_P(CreateUniqueSubfolderCollision, TriesTheNextNumber) {
    const CollisionCase& c = GetParam();
    testutil::ScratchFolder scratch;
    for (const std::wstring& name : c.taken) {
        if (name.back() == L'*') {
            ASSERT_TRUE(testutil::WriteFileBytes(scratch / name.substr(0, name.size() - 1), "x"));
        } else {
            ASSERT_TRUE(CreateDirectoryW((scratch / name).c_str(), nullptr));
        }
    }
    std::wstring path = scratch.path();
    ASSERT_TRUE(CreateUniqueSubfolderFrom(path, c.first));
    EXPECT_EQ(scratch / (c.expected + L"\\"), path);
    EXPECT_TRUE(IsFolder(path));
}

INSTANTIATE_TEST_SUITE_P(
    Names, CreateUniqueSubfolderCollision,
    testing::Values(CollisionCase{0x1a2b, {}, L"1a2b"}, CollisionCase{0x1a2b, {L"1a2b"}, L"1a2c"},
                    CollisionCase{0x1a2b, {L"1a2b", L"1a2c*"}, L"1a2d"},
                    CollisionCase{0xabcdef, {L"abcdef", L"abcdf0", L"abcdf1"}, L"abcdf2"},
                    CollisionCase{0xffffffff, {L"ffffffff"}, L"0"},
                    CollisionCase{0x00000fff, {}, L"fff"}));

// What a failed CreateDirectoryW on a candidate name means: taken (try the
// next number) or no folder can be made here (give up).
TEST(IsCandidateNameTaken, TellsATakenNameFromAFolderThatRefusesAll) {
    const struct {
        DWORD createError;
        DWORD probeError; // 0: the name exists
        bool taken;
    } cases[] = {
        {ERROR_ALREADY_EXISTS, 0, true},
        {ERROR_ALREADY_EXISTS, ERROR_FILE_NOT_FOUND, true},
        // Someone else's folder of that name is being deleted.
        {ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, true},
        {ERROR_ACCESS_DENIED, 0, true},
        // The name is free, but this folder lets nobody create anything.
        {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, false},
        {ERROR_ACCESS_DENIED, ERROR_PATH_NOT_FOUND, false},
        {ERROR_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND, false},
        {ERROR_DISK_FULL, ERROR_FILE_NOT_FOUND, false},
        {ERROR_WRITE_PROTECT, 0, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.taken, IsCandidateNameTaken(c.createError, c.probeError))
            << c.createError << " / " << c.probeError;
    }
}

TEST(CreateUniqueSubfolder, FailsOnAMissingParentAndLeavesThePath) {
    testutil::ScratchFolder scratch;
    const std::wstring missing = scratch / L"no such folder\\";
    std::wstring path = missing;
    EXPECT_FALSE(CreateUniqueSubfolder(path));
    EXPECT_EQ(missing, path);
    EXPECT_FALSE(testutil::FileExists(missing));
}

TEST(CreateUniqueSubfolder, FailsUnderAFileAndLeavesThePath) {
    testutil::ScratchFolder scratch;
    const std::wstring file = scratch / L"plain.txt";
    ASSERT_TRUE(testutil::WriteFileBytes(file, "data"));
    std::wstring path = file;
    EXPECT_FALSE(CreateUniqueSubfolderFrom(path, 0x10));
    EXPECT_EQ(file, path);
}

TEST(CreateUniqueSubfolder, ThreadsStartingFromOneNumberGetDistinctFolders) {
    testutil::ScratchFolder scratch;
    constexpr int kThreads = 8;
    std::vector<std::wstring> made(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            std::wstring path = scratch.path();
            if (CreateUniqueSubfolderFrom(path, 0x5000)) {
                made[i] = path;
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    std::set<std::wstring> distinct;
    for (const std::wstring& path : made) {
        EXPECT_FALSE(path.empty());
        distinct.insert(path);
    }
    EXPECT_EQ(static_cast<size_t>(kThreads), distinct.size());
}

TEST(DeleteFolderTree, RemovesNestedFoldersAndFiles) {
    testutil::ScratchFolder scratch;
    const std::wstring root = scratch / L"tree\\";
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((root + L"a").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((root + L"a\\b c").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((root + L"empty").c_str(), nullptr));
    ASSERT_TRUE(testutil::WriteFileBytes(root + L"top.txt", "1"));
    ASSERT_TRUE(testutil::WriteFileBytes(root + L"a\\mid.bin", "22"));
    ASSERT_TRUE(testutil::WriteFileBytes(root + L"a\\b c\\deep file.txt", "333"));
    ASSERT_TRUE(testutil::WriteFileBytes(root + L".hidden", "4"));

    EXPECT_TRUE(DeleteFolderTree(root));
    EXPECT_FALSE(testutil::FileExists(root));
    EXPECT_TRUE(IsFolder(scratch.path())) << "the parent stays";
}

TEST(DeleteFolderTree, WorksWithoutTrailingBackslash) {
    testutil::ScratchFolder scratch;
    const std::wstring root = scratch / L"plain";
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    ASSERT_TRUE(testutil::WriteFileBytes(root + L"\\f.txt", "1"));
    EXPECT_TRUE(DeleteFolderTree(root));
    EXPECT_FALSE(testutil::FileExists(root));
}

TEST(DeleteFolderTree, KeepsAReadOnlyFileAndItsFoldersAndDeletesTheRest) {
    testutil::ScratchFolder scratch;
    const std::wstring root = scratch / L"tree\\";
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((root + L"sub").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((root + L"other").c_str(), nullptr));
    const std::wstring locked = root + L"sub\\locked.txt";
    ASSERT_TRUE(testutil::WriteFileBytes(locked, "keep"));
    ASSERT_TRUE(testutil::WriteFileBytes(root + L"sub\\free.txt", "go"));
    ASSERT_TRUE(testutil::WriteFileBytes(root + L"other\\free.txt", "go"));
    ASSERT_TRUE(testutil::WriteFileBytes(root + L"free.txt", "go"));
    ASSERT_TRUE(SetFileAttributesW(locked.c_str(), FILE_ATTRIBUTE_READONLY));

    EXPECT_FALSE(DeleteFolderTree(root));
    EXPECT_TRUE(testutil::FileExists(locked));
    EXPECT_FALSE(testutil::FileExists(root + L"sub\\free.txt"));
    EXPECT_FALSE(testutil::FileExists(root + L"other"));
    EXPECT_FALSE(testutil::FileExists(root + L"free.txt"));
    // Let the scratch folder clean up.
    SetFileAttributesW(locked.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(DeleteFolderTree, FailsOnAMissingFolder) {
    testutil::ScratchFolder scratch;
    EXPECT_FALSE(DeleteFolderTree(scratch / L"missing\\"));
}

// Makes `folder` the process's current directory while it lives.
class CurrentDirectory {
public:
    explicit CurrentDirectory(const std::wstring& folder) {
        GetCurrentDirectoryW(MAX_PATH, saved_);
        EXPECT_TRUE(SetCurrentDirectoryW(folder.c_str()));
    }
    ~CurrentDirectory() { SetCurrentDirectoryW(saved_); }
    CurrentDirectory(const CurrentDirectory&) = delete;
    CurrentDirectory& operator=(const CurrentDirectory&) = delete;

private:
    wchar_t saved_[MAX_PATH] = {};
};

// A path that does not say where it starts would be taken from the current
// directory (or drive); the helper refuses it and touches nothing.
TEST(DeleteFolderTree, RefusesAnEmptyOrRelativePathAndTouchesNothing) {
    testutil::ScratchFolder scratch;
    const std::wstring cwd = scratch / L"cwd\\";
    ASSERT_TRUE(CreateDirectoryW(cwd.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((cwd + L"sub").c_str(), nullptr));
    ASSERT_TRUE(testutil::WriteFileBytes(cwd + L"top.txt", "1"));
    ASSERT_TRUE(testutil::WriteFileBytes(cwd + L"sub\\inner.txt", "2"));
    CurrentDirectory inside(cwd);
    ASSERT_EQ(L':', cwd[1]);
    const std::wstring drive = cwd.substr(0, 2); // "C:"
    const std::wstring rooted = cwd.substr(2);   // "\users\...\cwd\"
    const std::wstring paths[] = {
        L"", L"sub", L"sub\\", L".", L".\\sub", L"..\\cwd", rooted + L"sub", drive + L"sub",
    };
    for (const std::wstring& path : paths) {
        EXPECT_FALSE(DeleteFolderTree(path)) << testing::PrintToString(path);
        EXPECT_EQ("1", testutil::ReadFileBytes(cwd + L"top.txt")) << testing::PrintToString(path);
        EXPECT_EQ("2", testutil::ReadFileBytes(cwd + L"sub\\inner.txt"))
            << testing::PrintToString(path);
    }
}

TEST(DeleteFolderTree, RemovesALinkedFolderWithoutEnteringIt) {
    testutil::ScratchFolder scratch;
    const std::wstring outside = scratch / L"outside";
    const std::wstring root = scratch / L"tree";
    ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    ASSERT_TRUE(testutil::WriteFileBytes(outside + L"\\precious.txt", "keep"));
    const std::wstring link = root + L"\\link";
    if (!CreateSymbolicLinkW(link.c_str(), outside.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY)) {
        GTEST_SKIP() << "this system cannot make a folder link (error " << GetLastError() << ")";
    }
    EXPECT_TRUE(DeleteFolderTree(root));
    EXPECT_FALSE(testutil::FileExists(root));
    EXPECT_EQ("keep", testutil::ReadFileBytes(outside + L"\\precious.txt"));
}

// ---- users of a folder, and the folders of earlier runs --------------------

TEST(ParseFolderUsers, ReadsOnlyWellFormedLines) {
    struct Case {
        const char* text;
        bool ok;
        std::vector<std::pair<DWORD, ULONGLONG>> users;
    };
    const Case cases[] = {
        {"4120 01dc6a2b3c4d5e6f\r\n", true, {{4120, 0x01dc6a2b3c4d5e6full}}},
        {"1 0000000000000000\r\n4294967295 ffffffffffffffff\r\n",
         true,
         {{1, 0}, {4294967295u, 0xffffffffffffffffull}}},
        {"", false, {}},                                    // names nobody
        {"4120 01dc6a2b3c4d5e6f", false, {}},               // line not ended
        {"4120 01dc6a2b3c4d5e6f\n", false, {}},             // LF alone
        {"4120 01DC6A2B3C4D5E6F\r\n", false, {}},           // upper-case hex
        {"4120 1dc6a2b3c4d5e6f\r\n", false, {}},            // 15 digits
        {"4120  01dc6a2b3c4d5e6f\r\n", false, {}},          // two blanks
        {"04120 01dc6a2b3c4d5e6f\r\n", false, {}},          // leading zero
        {"4294967296 01dc6a2b3c4d5e6f\r\n", false, {}},     // id beyond 32 bits
        {"-1 01dc6a2b3c4d5e6f\r\n", false, {}},             // sign
        {"4120 01dc6a2b3c4d5e6f\r\nrm -rf\r\n", false, {}}, // anything else
        {"<html>\r\n", false, {}},
    };
    for (const Case& c : cases) {
        std::vector<FolderUser> users;
        EXPECT_EQ(c.ok, ParseFolderUsers(c.text, users)) << c.text;
        if (c.ok) {
            ASSERT_EQ(c.users.size(), users.size()) << c.text;
            std::string written;
            for (size_t i = 0; i < users.size(); ++i) {
                EXPECT_EQ(c.users[i].first, users[i].processId);
                EXPECT_EQ(c.users[i].second, users[i].created);
                written += FormatFolderUser(users[i]);
            }
            EXPECT_EQ(c.text, written) << "the lines read back as they were written";
        }
    }
    // A bounded number of users.
    std::string many;
    for (size_t i = 0; i <= kMaxFolderUsers; ++i) {
        many += FormatFolderUser(FolderUser{static_cast<DWORD>(i + 1), 1});
    }
    std::vector<FolderUser> users;
    EXPECT_FALSE(ParseFolderUsers(many, users));
    EXPECT_TRUE(ParseFolderUsers(many.substr(many.find("\r\n") + 2), users));
}

TEST(IsUniqueSubfolderName, TakesOnlyTheNamesCreateUniqueSubfolderGives) {
    const std::pair<const wchar_t*, bool> cases[] = {
        {L"1", true},           {L"59be12", true},    {L"ffffffff", true}, {L"", false},
        {L"0", false},          {L"0a", false},       {L"FF", false},      {L"100000000", false},
        {L"bctest-1-2", false}, {L"1a2b.tmp", false}, {L"g1", false},      {L"..", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.second, IsUniqueSubfolderName(c.first)) << ToUtf8(c.first);
    }
}

// A process for the users files: cmd.exe held suspended until it is ended.
class ChildProcess {
public:
    ChildProcess() {
        wchar_t command[] = L"cmd.exe /c exit 0";
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info = {};
        if (CreateProcessW(nullptr, command, nullptr, nullptr, FALSE,
                           CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                           &info)) {
            process_ = info.hProcess;
            CloseHandle(info.hThread);
        }
    }
    ~ChildProcess() {
        if (process_) {
            End();
            CloseHandle(process_);
        }
    }
    HANDLE handle() const { return process_; }
    void End() {
        TerminateProcess(process_, 1);
        WaitForSingleObject(process_, 10000);
    }

private:
    HANDLE process_ = nullptr;
};

std::string UsersFileOf(const std::wstring& folder) {
    return testutil::ReadFileBytes(folder + kFolderUsersFileName);
}

TEST(CreateUniqueSubfolder, NamesThisProcessAsTheFoldersUser) {
    testutil::ScratchFolder scratch;
    std::wstring path = scratch.path();
    ASSERT_TRUE(CreateUniqueSubfolder(path));
    std::vector<FolderUser> users;
    ASSERT_TRUE(ParseFolderUsers(UsersFileOf(path), users)) << UsersFileOf(path);
    ASSERT_EQ(1u, users.size());
    EXPECT_EQ(GetCurrentProcessId(), users[0].processId);
    EXPECT_TRUE(IsFolderUserRunning(users[0]));
    // The same id with another creation time is another process.
    EXPECT_FALSE(IsFolderUserRunning(FolderUser{users[0].processId, users[0].created + 1}));
    EXPECT_FALSE(IsFolderUsedByOthers(path)) << "this process alone uses it";
}

TEST(IsFolderUsedByOthers, WhileAProcessStartedThereRuns) {
    testutil::ScratchFolder scratch;
    std::wstring path = scratch.path();
    ASSERT_TRUE(CreateUniqueSubfolder(path));
    ChildProcess setup;
    ASSERT_NE(nullptr, setup.handle());
    ASSERT_TRUE(AddFolderUser(path, setup.handle()));
    EXPECT_TRUE(IsFolderUsedByOthers(path));
    setup.End();
    EXPECT_FALSE(IsFolderUsedByOthers(path));
}

TEST(RemoveAbandonedFolders, RemovesOnlyOurFoldersWhoseUsersAreAllGone) {
    testutil::ScratchFolder scratch;
    ChildProcess ended, running;
    ASSERT_NE(nullptr, ended.handle());
    ASSERT_NE(nullptr, running.handle());
    ended.End();
    const auto make = [&](const wchar_t* name, const std::vector<HANDLE>& users,
                          const char* usersText = nullptr) {
        const std::wstring folder = scratch / name + L"\\";
        EXPECT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        EXPECT_TRUE(testutil::WriteFileBytes(folder + L"page.html", "<p>"));
        for (HANDLE user : users) {
            EXPECT_TRUE(AddFolderUser(folder, user));
        }
        if (usersText) {
            EXPECT_TRUE(testutil::WriteFileBytes(folder + kFolderUsersFileName, usersText));
        }
        return folder;
    };
    const std::wstring abandoned = make(L"1a2b", {ended.handle()});
    const std::wstring ours = make(L"1a2c", {GetCurrentProcess()});
    const std::wstring unmarked = make(L"1a2d", {});
    const std::wstring otherName = make(L"setup-1a2e", {ended.handle()});
    const std::wstring unreadable = make(L"1a2f", {}, "4120 not a time\r\n");
    const std::wstring setupRuns = make(L"1a30", {ended.handle(), running.handle()});
    std::vector<FolderUser> self;
    ASSERT_TRUE(ParseFolderUsers(UsersFileOf(ours), self));
    // This process's id with another creation time: an earlier process that
    // had the id, so the folder is abandoned.
    const std::wstring reusedId = make(
        L"1a31", {}, FormatFolderUser(FolderUser{self[0].processId, self[0].created - 1}).c_str());
    ASSERT_TRUE(testutil::WriteFileBytes(scratch / L"1a32", "a file, not a folder"));

    const std::vector<std::wstring> removed = RemoveAbandonedFolders(scratch.path());
    const std::set<std::wstring> removedSet(removed.begin(), removed.end());
    EXPECT_EQ((std::set<std::wstring>{abandoned, reusedId}), removedSet);
    EXPECT_FALSE(IsFolder(abandoned));
    EXPECT_FALSE(IsFolder(reusedId));
    for (const std::wstring& kept : {ours, unmarked, otherName, unreadable, setupRuns}) {
        EXPECT_TRUE(testutil::FileExists(kept + L"page.html")) << ToUtf8(kept);
    }
    EXPECT_TRUE(testutil::FileExists(scratch / L"1a32"));

    // Once setup has ended too, its folder goes on the next sweep.
    running.End();
    EXPECT_EQ(std::vector<std::wstring>{setupRuns}, RemoveAbandonedFolders(scratch.path()));
}

TEST(RemoveAbandonedFolders, NeverEntersALinkedFolder) {
    testutil::ScratchFolder scratch;
    const std::wstring outside = scratch / L"outside\\";
    ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
    ChildProcess ended;
    ASSERT_NE(nullptr, ended.handle());
    ended.End();
    ASSERT_TRUE(AddFolderUser(outside, ended.handle()));
    ASSERT_TRUE(testutil::WriteFileBytes(outside + L"precious.txt", "keep"));
    const std::wstring link = scratch / L"1a2b";
    if (!CreateSymbolicLinkW(link.c_str(), outside.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY)) {
        GTEST_SKIP() << "this system cannot make a folder link (error " << GetLastError() << ")";
    }
    EXPECT_TRUE(RemoveAbandonedFolders(scratch.path()).empty());
    EXPECT_EQ("keep", testutil::ReadFileBytes(outside + L"precious.txt"));
}

} // namespace

namespace {

// The access list of a file or folder as the system keeps it, in the
// security descriptor definition language; empty when it cannot be read.
std::wstring StoredAccess(const std::wstring& path) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return std::wstring();
    }
    LPWSTR text = nullptr;
    std::wstring access;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
        access = text;
        LocalFree(text);
    }
    LocalFree(descriptor);
    return access;
}

// The SIDs that are given access by the allowed entries of `path`'s access
// list, as text; {"?"} when it cannot be read.
std::vector<std::wstring> AllowedSids(const std::wstring& path) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return {L"?"};
    }
    std::vector<std::wstring> sids;
    for (DWORD n = 0; dacl && n < dacl->AceCount; ++n) {
        void* ace = nullptr;
        if (!GetAce(dacl, n, &ace) ||
            static_cast<ACE_HEADER*>(ace)->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            continue;
        }
        LPWSTR text = nullptr;
        if (ConvertSidToStringSidW(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart, &text)) {
            sids.push_back(text);
            LocalFree(text);
        }
    }
    LocalFree(descriptor);
    return sids;
}

// This process's user, as text.
std::wstring OwnUserSid() {
    HANDLE token = nullptr;
    std::wstring sid;
    BYTE buffer[256];
    DWORD size = 0;
    LPWSTR text = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
        GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) {
        sid = text;
        LocalFree(text);
    }
    if (token) {
        CloseHandle(token);
    }
    return sid;
}

// The program runs elevated (its manifest asks for it), and so does
// everything under this Wine: the folders it makes are closed to the user's
// other processes. Windows keeps the protected list as asked
// (kElevatedFolderSecurity); this Wine keeps no access lists on files but
// turns them into Unix permissions and back, the owner standing for the
// Administrators. Either way only SYSTEM, the Administrators and the owner
// have an entry, where a folder made the plain way lets everyone read.
TEST(PrivateFolder, AnElevatedProcessClosesItToEveryoneButSystemAndAdministrators) {
    ASSERT_TRUE(IsProcessHighIntegrity()) << "the tests run elevated, as the program does";
    testutil::ScratchFolder scratch;
    std::wstring path = scratch.path();
    ASSERT_TRUE(CreateUniqueSubfolder(path));
    const std::set<std::wstring> closed = {L"S-1-5-18", L"S-1-5-32-544", OwnUserSid()};
    const std::vector<std::wstring> sids = AllowedSids(path);
    ASSERT_FALSE(sids.empty());
    for (const std::wstring& sid : sids) {
        EXPECT_EQ(1u, closed.count(sid)) << ToUtf8(sid) << " may use the folder";
    }
    // The same place, the plain way: someone else may read it.
    const std::wstring plain = scratch / L"plain";
    ASSERT_TRUE(CreateDirectoryW(plain.c_str(), nullptr));
    bool open = false;
    for (const std::wstring& sid : AllowedSids(plain)) {
        open = open || closed.count(sid) == 0;
    }
    EXPECT_TRUE(open) << "a plain folder here is closed as well: the check above shows nothing";
    EXPECT_TRUE(DeleteFolderTree(path));
}

// The descriptor the program asks for: a protected list (nothing inherited
// from the temporary folder) of two entries, SYSTEM and the Administrators
// with full control, passed on to every file and folder below.
TEST(PrivateFolder, TheDescriptorAskedForIsProtectedWithTwoInheritedEntries) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        kElevatedFolderSecurity, SDDL_REVISION_1, &descriptor, nullptr));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
    EXPECT_NE(0, control & SE_DACL_PROTECTED);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl);
    ASSERT_EQ(2u, dacl->AceCount);
    const wchar_t* expected[] = {L"S-1-5-18", L"S-1-5-32-544"};
    for (DWORD n = 0; n < 2; ++n) {
        void* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, n, &ace));
        const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, allowed->Header.AceType);
        EXPECT_EQ(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, allowed->Header.AceFlags);
        EXPECT_EQ(static_cast<DWORD>(FILE_ALL_ACCESS), allowed->Mask);
        LPWSTR text = nullptr;
        ASSERT_TRUE(ConvertSidToStringSidW(const_cast<DWORD*>(&allowed->SidStart), &text));
        EXPECT_EQ(std::wstring(expected[n]), text);
        LocalFree(text);
    }
    LocalFree(descriptor);
}

TEST(PrivateFolder, WithoutElevationItKeepsWhatItInherits) {
    testutil::ScratchFolder scratch;
    const std::wstring plain = scratch / L"plain";
    const std::wstring closed = scratch / L"closed";
    ASSERT_TRUE(CreatePrivateFolder(plain, false));
    ASSERT_TRUE(CreatePrivateFolder(closed, true));
    EXPECT_EQ(std::wstring::npos, StoredAccess(plain).find(L"D:P")) << "not protected";
    EXPECT_EQ(AllowedSids(scratch.path()), AllowedSids(plain)) << "inherited as it is";
    EXPECT_NE(AllowedSids(plain), AllowedSids(closed));
    // An existing name fails as CreateDirectoryW does.
    EXPECT_FALSE(CreatePrivateFolder(closed, true));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
}

} // namespace
