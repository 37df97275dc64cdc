// The test products themselves, under the real Windows Installer: they
// install and uninstall with msiexec, and the product-information query
// answers the attributes the controller reads.

#include "product/MsiProductInfo.h"
#include "tests/common/TestUtil.h"
#include "tests/product/ProductFixture.h"

#include <gtest/gtest.h>

#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

using namespace producttest;

namespace {

// Each test starts and ends with none of the milestone products installed.
class TestProducts : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(UninstallAllTestProducts().empty()); }
    void TearDown() override { EXPECT_TRUE(UninstallAllTestProducts().empty()); }
};

TEST(MsiExport, OrdinalSeventyIsTheProductInformationQuery) {
    HMODULE msi = LoadLibraryW(L"msi.dll");
    ASSERT_NE(nullptr, msi);
    FARPROC byOrdinal = GetProcAddress(msi, MAKEINTRESOURCEA(70));
    ASSERT_NE(nullptr, byOrdinal);
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(msi, "MsiGetProductInfoW")),
              reinterpret_cast<void*>(byOrdinal));
}

// The ordinals this program delay-imports from a DLL (msi.dll is not a
// KnownDLL, so it is loaded on first use, after the DLL search has been
// limited to the system folder), read from its own image in memory (the
// thunks of the process's own width: PE32 or PE32+). The linker leaves the
// delay-import directory entry empty, so the descriptors are found where
// they are: RVA-based (attributes 1), every table inside the image.
std::vector<WORD> DelayImportedOrdinals(const char* dllName) {
    std::vector<WORD> ordinals;
    const BYTE* base = reinterpret_cast<const BYTE*>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const DWORD imageSize = nt->OptionalHeader.SizeOfImage;
    const auto inside = [imageSize](DWORD rva) { return rva != 0 && rva < imageSize - 8; };
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    for (WORD n = 0; n < nt->FileHeader.NumberOfSections; ++n, ++section) {
        const DWORD size = std::min(section->SizeOfRawData, section->Misc.VirtualSize);
        for (DWORD offset = 0; offset + sizeof(IMAGE_DELAYLOAD_DESCRIPTOR) <= size; offset += 4) {
            const auto* entry = reinterpret_cast<const IMAGE_DELAYLOAD_DESCRIPTOR*>(
                base + section->VirtualAddress + offset);
            if (entry->Attributes.AllAttributes != 1 || !inside(entry->DllNameRVA) ||
                !inside(entry->ModuleHandleRVA) || !inside(entry->ImportAddressTableRVA) ||
                !inside(entry->ImportNameTableRVA)) {
                continue;
            }
            const char* name = reinterpret_cast<const char*>(base + entry->DllNameRVA);
            if (lstrcmpiA(name, dllName) != 0) {
                continue;
            }
            for (const auto* thunk =
                     reinterpret_cast<const IMAGE_THUNK_DATA*>(base + entry->ImportNameTableRVA);
                 thunk->u1.AddressOfData != 0; ++thunk) {
                if (IMAGE_SNAP_BY_ORDINAL(thunk->u1.Ordinal)) {
                    ordinals.push_back(static_cast<WORD>(IMAGE_ORDINAL(thunk->u1.Ordinal)));
                }
            }
        }
    }
    return ordinals;
}

TEST(QueryProductInfo, IsImportedFromMsiByOrdinalSeventy) {
    EXPECT_EQ(std::vector<WORD>{70}, DelayImportedOrdinals("msi.dll"));
}

TEST(QueryProductInfo, AnUnknownProductIsNotInstalled) {
    wchar_t buffer[260] = L"unchanged";
    DWORD length = 260;
    EXPECT_EQ(static_cast<UINT>(ERROR_UNKNOWN_PRODUCT),
              tlw::QueryProductInfo(L"{00000000-1111-2222-3333-444444444444}", L"InstallLocation",
                                    buffer, &length));
    EXPECT_NE(0u,
              tlw::QueryProductInfo(L"not a product code", L"InstallLocation", buffer, &length));
}

TEST_F(TestProducts, SevenProductsInstallAnswerAndUninstall) {
    const DWORD installStart = GetTickCount();
    for (int i = 0; i < 7; ++i) {
        const std::wstring msi = FixturePath(L"tlwtest" + std::to_wstring(i) + L".msi");
        ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), InstallProduct(msi)) << Narrow(msi);
    }
    const DWORD installMs = ElapsedMs(installStart);
    std::printf("[ timing ] msiexec installs of the seven test products: %lu ms\n",
                static_cast<unsigned long>(installMs));

    for (int i = 0; i < 7; ++i) {
        std::wstring location, version;
        EXPECT_EQ(static_cast<UINT>(ERROR_SUCCESS),
                  QueryProduct(kProductCodes[i], L"InstallLocation", &location))
            << i;
        EXPECT_FALSE(location.empty()) << i;
        EXPECT_EQ(static_cast<UINT>(ERROR_SUCCESS),
                  QueryProduct(kProductCodes[i], L"VersionString", &version))
            << i;
        EXPECT_EQ(i == kMainProduct ? std::wstring(kMainVersion) : L"1.0." + std::to_wstring(i),
                  version);
    }
    std::wstring mainLocation;
    ASSERT_EQ(static_cast<UINT>(ERROR_SUCCESS),
              QueryProduct(kProductCodes[kMainProduct], L"InstallLocation", &mainLocation));
    // The test products are of the tests' own width, so they land in the
    // program folder this process sees: "Program Files" of a 64-bit process
    // on 64-bit Windows, of a 32-bit one on 32-bit Windows.
    wchar_t programFiles[MAX_PATH] = {};
    ASSERT_EQ(S_OK, SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, programFiles));
    EXPECT_EQ(std::wstring(programFiles) + L"\\" + kMainFolderName + L"\\", mainLocation);
    // The controller's query answers as the named export does, and a buffer
    // one character too short for the value is an error.
    wchar_t buffer[260] = {};
    DWORD length = 260;
    ASSERT_EQ(0u, tlw::QueryProductInfo(kProductCodes[kMainProduct], L"InstallLocation", buffer,
                                        &length));
    EXPECT_EQ(mainLocation, std::wstring(buffer));
    EXPECT_EQ(mainLocation.size(), length);
    length = static_cast<DWORD>(mainLocation.size());
    EXPECT_EQ(
        static_cast<UINT>(ERROR_MORE_DATA),
        tlw::QueryProductInfo(kProductCodes[kMainProduct], L"InstallLocation", buffer, &length));

    const std::wstring program = mainLocation + kStartProgramName;
    EXPECT_TRUE(testutil::FileExists(program)) << Narrow(program);

    const DWORD removeStart = GetTickCount();
    EXPECT_TRUE(UninstallAllTestProducts().empty());
    std::printf("[ timing ] msiexec uninstalls of the seven test products: %lu ms\n",
                static_cast<unsigned long>(ElapsedMs(removeStart)));
    for (const wchar_t* code : kProductCodes) {
        EXPECT_EQ(static_cast<UINT>(ERROR_UNKNOWN_PRODUCT),
                  QueryProduct(code, L"InstallLocation", nullptr));
    }
    EXPECT_FALSE(testutil::FileExists(program));
}

// Without ARPINSTALLLOCATION the installer still records the attribute, as
// an empty text: the query succeeds with nothing in it.
TEST_F(TestProducts, WithoutARecordedLocationTheQueryAnswersEmptyText) {
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              InstallProduct(FixturePath(L"tlwtest2-noloc.msi")));
    std::wstring location = L"unchanged";
    EXPECT_EQ(static_cast<UINT>(ERROR_SUCCESS),
              QueryProduct(kProductCodes[kMainProduct], L"InstallLocation", &location));
    EXPECT_EQ(L"", location);
}

} // namespace
