#include "telemetry/SystemInfo.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

struct OsCase {
    DWORD major;
    DWORD minor;
    BYTE productType;
    WORD architecture;
    const wchar_t* expected;
    const char* what;
};

const BYTE kWorkstation = VER_NT_WORKSTATION;
const BYTE kServer = VER_NT_SERVER;
const BYTE kController = VER_NT_DOMAIN_CONTROLLER;
const WORD kX86 = PROCESSOR_ARCHITECTURE_INTEL;
const WORD kAmd64 = PROCESSOR_ARCHITECTURE_AMD64;
const WORD kIa64 = PROCESSOR_ARCHITECTURE_IA64;

TEST(OsNameFromVersion, NamesEachVersion) {
    const OsCase cases[] = {
        {5, 0, kWorkstation, kX86, L"Other", "2000"},
        {5, 1, kWorkstation, kX86, L"Windows XP", "XP"},
        {5, 1, kServer, kX86, L"Windows XP", "5.1 is XP whatever the product type"},
        {5, 2, kWorkstation, kAmd64, L"Windows XP", "XP Professional x64"},
        {5, 2, kServer, kX86, L"Other", "Server 2003"},
        {5, 2, kServer, kAmd64, L"Other", "Server 2003 x64"},
        {5, 2, kWorkstation, kIa64, L"Other", "5.2 workstation on Itanium"},
        {5, 2, kWorkstation, kX86, L"Other", "5.2 workstation on x86"},
        {6, 0, kWorkstation, kX86, L"Windows Vista", "Vista"},
        {6, 0, kServer, kX86, L"Other", "Server 2008"},
        {6, 1, kWorkstation, kAmd64, L"Windows 7", "7"},
        {6, 1, kServer, kAmd64, L"Other", "Server 2008 R2"},
        {6, 1, kController, kAmd64, L"Other", "Server 2008 R2 domain controller"},
        {6, 2, kWorkstation, kX86, L"Windows 8", "8"},
        {6, 3, kWorkstation, kX86, L"Windows 8", "8.1"},
        {6, 3, kServer, kAmd64, L"Other", "Server 2012 R2"},
        {6, 4, kWorkstation, kAmd64, L"Windows 10", "10 previews"},
        {6, 5, kWorkstation, kAmd64, L"Other", "6.5"},
        {10, 0, kWorkstation, kAmd64, L"Windows 10", "10"},
        {10, 0, kServer, kAmd64, L"Other", "Server 2016"},
        {11, 0, kWorkstation, kAmd64, L"Other", "11.0"},
        {4, 0, kWorkstation, kX86, L"Other", "NT 4"},
        {0, 0, 0, kX86, L"Other", "nothing known"},
    };
    for (const OsCase& c : cases) {
        EXPECT_EQ(std::wstring(c.expected),
                  OsNameFromVersion(c.major, c.minor, c.productType, c.architecture))
            << c.what;
    }
}

TEST(ArchitectureFromProcessor, IsX64OnlyForSixtyFourBitIntelFamilies) {
    EXPECT_EQ(L"x64", ArchitectureFromProcessor(PROCESSOR_ARCHITECTURE_AMD64));
    EXPECT_EQ(L"x64", ArchitectureFromProcessor(PROCESSOR_ARCHITECTURE_IA64));
    EXPECT_EQ(L"x86", ArchitectureFromProcessor(PROCESSOR_ARCHITECTURE_INTEL));
    EXPECT_EQ(L"x86", ArchitectureFromProcessor(PROCESSOR_ARCHITECTURE_ARM));
    EXPECT_EQ(L"x86", ArchitectureFromProcessor(12)); // ARM64
    EXPECT_EQ(L"x86", ArchitectureFromProcessor(PROCESSOR_ARCHITECTURE_UNKNOWN));
}

TEST(RealSystem, OsNameAndVersionTextAgree) {
    const std::wstring name = GetOsName();
    const std::set<std::wstring> names = {L"Windows XP", L"Windows Vista", L"Windows 7",
                                          L"Windows 8",  L"Windows 10",    L"Other"};
    EXPECT_EQ(1u, names.count(name)) << name.c_str();

    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    ASSERT_TRUE(GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version)));
    const std::wstring text = GetOsVersionText();
    EXPECT_EQ(std::to_wstring(version.dwMajorVersion) + L"." +
                  std::to_wstring(version.dwMinorVersion),
              text);
    EXPECT_NE(L"0.0", text);
    if (version.wProductType == VER_NT_WORKSTATION) {
        if (text == L"6.1") {
            EXPECT_EQ(L"Windows 7", name);
        } else if (text == L"6.2" || text == L"6.3") {
            EXPECT_EQ(L"Windows 8", name);
        } else if (text == L"10.0") {
            EXPECT_EQ(L"Windows 10", name);
        }
    }
    std::printf("system: %ls (%ls)\n", name.c_str(), text.c_str());
}

TEST(RealSystem, ArchitectureIsTheNativeOne) {
    BOOL wow64 = FALSE;
    ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
    // A 64-bit process runs only on 64-bit Windows; a 32-bit one is on 64-bit
    // Windows when it runs under WOW64. Either way the answer is the system's.
    const bool system64 = sizeof(void*) == 8 || wow64;
    EXPECT_EQ(system64 ? L"x64" : L"x86", GetArchitecture());
}

TEST(RealSystem, CountryIsTheUsersNationNumber) {
    const std::wstring country = GetCountryCode();
    EXPECT_EQ(std::to_wstring(static_cast<int>(GetUserGeoID(GEOCLASS_NATION))), country);
}

// Keys under a private test key stand in for the user's and the machine's
// hives, so the cases do not touch the real browser entries.
class DefaultBrowser : public testing::Test {
protected:
    void SetUp() override {
        root_ = L"Software\\BrightcastTest-" + std::to_wstring(GetCurrentProcessId());
        ASSERT_EQ(ERROR_SUCCESS,
                  RegCreateKeyExW(HKEY_CURRENT_USER, (root_ + L"\\user").c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &user_, nullptr));
        ASSERT_EQ(ERROR_SUCCESS,
                  RegCreateKeyExW(HKEY_CURRENT_USER, (root_ + L"\\machine").c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &machine_, nullptr));
    }
    void TearDown() override {
        if (user_) {
            RegCloseKey(user_);
        }
        if (machine_) {
            RegCloseKey(machine_);
        }
        RegDeleteTreeW(HKEY_CURRENT_USER, root_.c_str());
    }

    // Creates the browser key under `hive` with a default value of `type`.
    void SetEntry(HKEY hive, const wchar_t* subkey, DWORD type, const void* data, DWORD size) {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(hive, subkey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &key, nullptr));
        if (data) {
            ASSERT_EQ(ERROR_SUCCESS,
                      RegSetValueExW(key, nullptr, 0, type, static_cast<const BYTE*>(data), size));
        }
        RegCloseKey(key);
    }
    void SetUserText(const wchar_t* text) {
        SetEntry(user_, L"Software\\Clients\\StartMenuInternet", REG_SZ, text,
                 static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
    }
    void SetMachineText(const wchar_t* text) {
        SetEntry(machine_, L"SOFTWARE\\Clients\\StartMenuInternet", REG_SZ, text,
                 static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
    }
    std::wstring Read() { return ReadDefaultBrowser(user_, machine_); }

    std::wstring root_;
    HKEY user_ = nullptr;
    HKEY machine_ = nullptr;
};

TEST_F(DefaultBrowser, IsTheUsersEntry) {
    SetUserText(L"ExampleBrowser.exe");
    SetMachineText(L"MachineBrowser.exe");
    EXPECT_EQ(L"ExampleBrowser.exe", Read());
}

TEST_F(DefaultBrowser, IsTheMachinesEntryWhenTheUserHasNoKey) {
    SetMachineText(L"MachineBrowser.exe");
    EXPECT_EQ(L"MachineBrowser.exe", Read());
}

TEST_F(DefaultBrowser, AUserKeyWithoutADefaultValueGivesOther) {
    SetEntry(user_, L"Software\\Clients\\StartMenuInternet", REG_SZ, nullptr, 0);
    SetMachineText(L"MachineBrowser.exe");
    EXPECT_EQ(L"Other", Read());
}

TEST_F(DefaultBrowser, NoKeyGivesOther) {
    EXPECT_EQ(L"Other", Read());
}

TEST_F(DefaultBrowser, ALongestValueWithoutTerminatorIsReadWhole) {
    const std::wstring name(MAX_PATH, L'B');
    SetEntry(user_, L"Software\\Clients\\StartMenuInternet", REG_BINARY, name.data(),
             static_cast<DWORD>(name.size() * sizeof(wchar_t)));
    EXPECT_EQ(name, Read());
}

TEST_F(DefaultBrowser, AValueTooLongForTheBufferGivesOther) {
    const std::wstring name(MAX_PATH + 20, L'C');
    SetUserText(name.c_str());
    EXPECT_EQ(L"Other", Read());
}

TEST_F(DefaultBrowser, TheValueTypeIsNotExamined) {
    const wchar_t text[] = L"Expanded%Browser%";
    SetEntry(user_, L"Software\\Clients\\StartMenuInternet", REG_EXPAND_SZ, text, sizeof text);
    EXPECT_EQ(L"Expanded%Browser%", Read());
}

} // namespace
