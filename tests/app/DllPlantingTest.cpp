// DLLs planted beside the program, as an attacker with the user's rights can
// put them into the Downloads folder the elevated program runs from. Each
// planted DLL leaves a marker file when it is loaded. Under Wine a DLL is
// looked for beside the program only when its load order says native first,
// which is how Windows treats every DLL that is not a KnownDLL; the runs here
// set that order for each planted name (NativeFirstOrder).
#include "tests/app/AppTestSupport.h"
#include "tests/common/TestUtil.h"

#include <gtest/gtest.h>

#include <objbase.h>

namespace {

using apptest::Narrow;

// Every DLL the program imports that is not a KnownDLL, all delay-loaded.
const wchar_t* const kPlantedNames[] = {L"msi",     L"winhttp", L"crypt32", L"wintrust", L"bcrypt",
                                        L"dbghelp", L"urlmon",  L"wininet", L"comctl32"};

// Native first for every planted name, in this Wine's per-program settings
// (a WINEDLLOVERRIDES set here would not reach a program this process starts:
// Wine keeps its own value for the child). Removed again afterwards.
class NativeFirstOrder {
public:
    explicit NativeFirstOrder(const wchar_t* program)
        : key_(std::wstring(L"Software\\Wine\\AppDefaults\\") + program) {
        HKEY overrides = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, (key_ + L"\\DllOverrides").c_str(), 0, nullptr, 0,
                            KEY_SET_VALUE, nullptr, &overrides, nullptr) != ERROR_SUCCESS) {
            return;
        }
        const wchar_t order[] = L"native,builtin";
        for (const wchar_t* name : kPlantedNames) {
            set_ = RegSetValueExW(overrides, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(order),
                                  sizeof order) == ERROR_SUCCESS;
        }
        RegCloseKey(overrides);
    }
    ~NativeFirstOrder() { RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str()); }
    bool set() const { return set_; }

private:
    std::wstring key_;
    bool set_ = false;
};

class PlantedDlls : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        downloads = scratch / L"Downloads\\";
        temp = scratch / L"temp\\";
        ASSERT_TRUE(CreateDirectoryW(downloads.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
        for (const wchar_t* name : kPlantedNames) {
            ASSERT_TRUE(CopyFileW(apptest::SiblingProgram(L"planted.dll").c_str(),
                                  (downloads + name + L".dll").c_str(), FALSE))
                << Narrow(name);
        }
    }
    void TearDown() override {
        DeleteFileW(ShortcutPath().c_str());
        CoUninitialize();
    }

    static std::wstring ShortcutPath() {
        return apptest::DesktopFolder() + L"Continue Brightcast Suite Installation.lnk";
    }

    // The names of the planted DLLs that were loaded (their markers).
    std::vector<std::wstring> Loaded() const {
        std::vector<std::wstring> loaded;
        for (const wchar_t* name : kPlantedNames) {
            if (testutil::FileExists(downloads + name + L".dll.loaded")) {
                loaded.push_back(name);
            }
        }
        return loaded;
    }

    std::wstring Copy(const wchar_t* program) {
        const std::wstring copy = downloads + program;
        EXPECT_TRUE(CopyFileW(apptest::SiblingProgram(program).c_str(), copy.c_str(), FALSE));
        return copy;
    }

    testutil::ScratchFolder scratch;
    std::wstring downloads;
    std::wstring temp;
};

std::string Names(const std::vector<std::wstring>& names) {
    std::string text;
    for (const std::wstring& name : names) {
        text += Narrow(name) + " ";
    }
    return text;
}

// The fixture itself: without the restriction a load by name takes the planted
// DLL and its marker appears; with the program's restriction the same load
// takes the system's DLL and leaves no marker.
TEST_F(PlantedDlls, ALoadByNameTakesThePlantedDllUnlessTheSearchIsRestricted) {
    const std::wstring probe = Copy(L"app_probe.exe");
    NativeFirstOrder order(L"app_probe.exe");
    ASSERT_TRUE(order.set());
    for (const wchar_t* name : kPlantedNames) {
        const std::wstring dll = std::wstring(name) + L".dll";
        const std::wstring marker = downloads + dll + L".loaded";

        apptest::ProcessRun open =
            apptest::RunProgram(probe, L"load " + dll + L" open", temp, 60000);
        ASSERT_TRUE(open.finished) << Narrow(dll);
        EXPECT_EQ(10u, open.exitCode) << Narrow(dll) << " did not come from the program's folder";
        EXPECT_TRUE(testutil::FileExists(marker)) << Narrow(dll) << " left no marker";
        DeleteFileW(marker.c_str());

        apptest::ProcessRun restricted =
            apptest::RunProgram(probe, L"load " + dll + L" restricted", temp, 60000);
        ASSERT_TRUE(restricted.finished) << Narrow(dll);
        EXPECT_EQ(11u, restricted.exitCode) << Narrow(dll) << " not loaded from the system";
        EXPECT_FALSE(testutil::FileExists(marker)) << Narrow(dll) << " was loaded";
    }
}

// A whole run of the program (start report, pages unpacked, licence fetched,
// end report) from a folder holding a planted DLL of every name it loads on
// demand loads none of them.
TEST_F(PlantedDlls, AWholeRunOfTheProgramLoadsNoneOfThem) {
    const std::wstring program = Copy(L"BrightcastSetupPacked.exe");
    const size_t before = apptest::SinkRequestCount();
    NativeFirstOrder order(L"BrightcastSetupPacked.exe");
    ASSERT_TRUE(order.set());
    const apptest::ProcessRun run = apptest::RunProgram(program, L"", temp);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_TRUE(Loaded().empty()) << "loaded from the program's folder: " << Names(Loaded());

    // The run went all the way: both analytics documents were sent.
    const auto posts =
        apptest::Only(apptest::SinkRequestsSince(before), "POST", "/v1/logAnalytics");
    ASSERT_EQ(2u, posts.size());
    EXPECT_EQ("started", apptest::ElementText(posts[0].body, "status"));
    EXPECT_EQ("environment not supported", apptest::ElementText(posts[1].body, "status"));
}

} // namespace
