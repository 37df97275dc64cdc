// The desktop shortcut, made by a program that lives in a folder with blanks
// in its name, and read back through the shell link object.
#include "app/DesktopShortcut.h"
#include "tests/app/AppTestSupport.h"
#include "tests/common/TestUtil.h"

#include <gtest/gtest.h>

#include <objbase.h>
#include <shlobj.h>

namespace {

using apptest::Narrow;

const wchar_t kLinkName[] = L"App Test Shortcut.lnk";

class Shortcut : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        link = apptest::DesktopFolder() + kLinkName;
        DeleteFileW(link.c_str());
    }
    void TearDown() override {
        DeleteFileW(link.c_str());
        CoUninitialize();
    }

    // A copy of the probe in `folder` (created), and its path.
    std::wstring ProbeIn(const std::wstring& folder) {
        SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
        const std::wstring probe = folder + L"app probe.exe";
        EXPECT_TRUE(
            CopyFileW(apptest::SiblingProgram(L"app_probe.exe").c_str(), probe.c_str(), FALSE));
        return probe;
    }

    DWORD RunProbe(const std::wstring& probe, const std::wstring& action) {
        const apptest::ProcessRun run = apptest::RunProgram(
            probe, L"shortcut " + action + L" \"" + kLinkName + L"\"", scratch / L"");
        EXPECT_TRUE(run.finished);
        return run.exitCode;
    }

    testutil::ScratchFolder scratch;
    std::wstring link;
};

TEST_F(Shortcut, PointsAtTheProgramAndItsFolderWithTheBlanksKept) {
    const std::wstring folder = scratch / L"Program Files\\Bright  cast setup\\";
    const std::wstring probe = ProbeIn(folder);
    ASSERT_EQ(0u, RunProbe(probe, L"create"));
    ASSERT_TRUE(testutil::FileExists(link));

    const apptest::ShellLinkInfo info = apptest::ReadShellLink(link);
    ASSERT_EQ(S_OK, info.loaded);
    EXPECT_EQ(probe, info.target);
    EXPECT_EQ(folder.substr(0, folder.size() - 1), info.workingDirectory);
    EXPECT_EQ(L"", info.arguments);
}

TEST_F(Shortcut, ALaterRunFromElsewhereOverwritesIt) {
    const std::wstring first = ProbeIn(scratch / L"first place\\");
    const std::wstring second = ProbeIn(scratch / L"second place\\");
    ASSERT_EQ(0u, RunProbe(first, L"create"));
    ASSERT_EQ(0u, RunProbe(second, L"create"));
    EXPECT_EQ(second, apptest::ReadShellLink(link).target);
}

TEST_F(Shortcut, DeletingRemovesItAndDeletingAgainDoesNothing) {
    const std::wstring probe = ProbeIn(scratch / L"some place\\");
    ASSERT_EQ(0u, RunProbe(probe, L"create"));
    ASSERT_TRUE(testutil::FileExists(link));
    EXPECT_EQ(0u, RunProbe(probe, L"delete"));
    EXPECT_FALSE(testutil::FileExists(link));
    EXPECT_EQ(0u, RunProbe(probe, L"delete"));
    EXPECT_FALSE(testutil::FileExists(link));
}

TEST(ShortcutPath, IsTheDesktopFolderJoinedWithTheName) {
    EXPECT_EQ(apptest::DesktopFolder() + L"Continue Brightcast Suite Installation.lnk",
              GetDesktopShortcutPath(kDesktopShortcutName));
}

TEST(ShellLink, AFailedSaveIsReported) {
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    testutil::ScratchFolder scratch;
    EXPECT_TRUE(
        FAILED(CreateShellLink(L"C:\\windows\\notepad.exe", scratch / L"missing folder\\x.lnk")));
    CoUninitialize();
}

} // namespace
