// The program's own resources, read back from the built file: the privilege
// message in every language it carries, the manifest and the version.
#include "app/Privileges.h"
#include "app/ResourceIds.h"
#include "tests/app/AppTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

struct LocalizedMessage {
    LANGID langId;
    const wchar_t* text;
    const wchar_t* caption;
};

const LocalizedMessage kMessages[] = {
    {0x0409,
     L"You do not have sufficient privileges to complete this installation. Log on as "
     L"administrator and retry this installation.",
     L"Warning"},
    {0x0407,
     L"Sie verfügen nicht über die erforderlichen Rechte, um diese Installation auszuführen. "
     L"Melden Sie sich als Administrator an und versuchen Sie es dann erneut.",
     L"Warnung"},
    {0x040C,
     L"Vous ne disposez pas des droits suffisants pour effectuer cette installation. "
     L"Connectez-vous en tant qu'administrateur et réessayez.",
     L"Avertissement"},
    {0x0410,
     L"Privilegi insufficienti per completare l'installazione. Accedere come amministratore, "
     L"quindi ripetere l'installazione.",
     L"Avviso"},
    {0x0411,
     L"このインストールを行う権限がありません。管理者としてログオンし、再試行してください。",
     L"警告"},
    {0x0C0A,
     L"No dispone de privilegios suficientes para completar esta instalación. Inicie sesión como "
     L"administrador y vuelva a intentar realizar la instalación.",
     L"Advertencia"},
    {0x0416,
     L"Você não dispõe de privilégios suficientes para concluir esta instalação. Faça logon como "
     L"administrador e tente realizar a instalação novamente.",
     L"Aviso"},
    {0x0413,
     L"U bent niet gemachtigd om deze installatie te voltooien. Meld u aan als beheerder en "
     L"probeer de installatie opnieuw uit te voeren.",
     L"Waarschuwing"},
    {0x0412,
     L"충분한 권한이 없어 설치를 완료할 수 없습니다. 관리자로 로그온하고 설치를 다시 시도해주세요.",
     L"경고"},
    {0x0419,
     L"У вас недостаточно полномочий, чтобы выполнить эту установку. Войдите в систему в качестве "
     L"администратора и повторите установку.",
     L"Предупреждение"},
    {0x0405,
     L"Nemáte dostatečná oprávnění k dokončení této instalace. Přihlaste se jako správce a zkuste "
     L"tuto instalaci zopakovat.",
     L"Upozornění"},
    {0x0804, L"您不具备完成此安装的权限。请以管理员身份登录，然后重试此安装。", L"警告"},
    {0x0404, L"您沒有足夠的權限完成此安裝作業。請以管理員的身分登入，然後重新執行安裝作業。",
     L"警告"},
};

// The table row whose LANGID is `langId` (the first after "other").
LanguageIndex IndexOf(LANGID langId) {
    for (LanguageIndex index = 1; index < kLanguageCount; ++index) {
        if (LanguageTable[index].langId == langId) {
            return index;
        }
    }
    return -1;
}

// The shipped program, loaded for its resources only.
class ProgramResources : public testing::Test {
protected:
    void SetUp() override {
        module = LoadLibraryExW(apptest::ShippedProgram().c_str(), nullptr,
                                LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(nullptr, module) << "cannot load " << apptest::Narrow(apptest::ShippedProgram())
                                   << ", error " << GetLastError();
    }
    void TearDown() override {
        if (module) {
            FreeLibrary(module);
        }
    }

    // The text of resource `id` of type `type`, as stored.
    std::string RawResource(LPCWSTR type, LPCWSTR name) {
        HRSRC found = FindResourceW(module, name, type);
        if (!found) {
            return std::string();
        }
        HGLOBAL loaded = LoadResource(module, found);
        const char* data = static_cast<const char*>(LockResource(loaded));
        return data ? std::string(data, SizeofResource(module, found)) : std::string();
    }

    HMODULE module = nullptr;
};

TEST_F(ProgramResources, EveryLanguageHasItsExactTextAndCaption) {
    for (const LocalizedMessage& expected : kMessages) {
        const LanguageIndex index = IndexOf(expected.langId);
        ASSERT_GE(index, 1) << std::hex << expected.langId;
        EXPECT_EQ(expected.text, LoadLocalizedString(module, IDS_PRIVILEGE_TEXT, index))
            << "LANGID " << std::hex << expected.langId;
        EXPECT_EQ(expected.caption, LoadLocalizedString(module, IDS_PRIVILEGE_CAPTION, index))
            << "LANGID " << std::hex << expected.langId;
        const PrivilegeMessage message = LoadPrivilegeMessage(module, index);
        EXPECT_EQ(expected.text, message.text);
        EXPECT_EQ(expected.caption, message.caption);
    }
}

TEST_F(ProgramResources, ALanguageWithoutEntriesReadsEmptyAndTheMessageFallsBackToEnglish) {
    const LanguageIndex afrikaans = 14;
    ASSERT_EQ(std::wstring(L"af"), LanguageTable[afrikaans].code);
    EXPECT_EQ(L"", LoadLocalizedString(module, IDS_PRIVILEGE_TEXT, afrikaans));
    EXPECT_EQ(L"", LoadLocalizedString(module, IDS_PRIVILEGE_CAPTION, afrikaans));
    const PrivilegeMessage message = LoadPrivilegeMessage(module, afrikaans);
    EXPECT_EQ(kMessages[0].text, message.text);
    EXPECT_EQ(std::wstring(L"Warning"), message.caption);
}

TEST_F(ProgramResources, OnlyTheTwoMessageIdsExist) {
    const LanguageIndex german = IndexOf(0x0407);
    EXPECT_EQ(L"", LoadLocalizedString(module, 101, german));
    EXPECT_EQ(L"", LoadLocalizedString(module, 104, german));
    EXPECT_EQ(L"", LoadLocalizedString(module, 102 + 16, german));
}

TEST_F(ProgramResources, TheManifestAsksForAdministratorWithoutUiAccessAndIsDpiAware) {
    const std::string manifest = RawResource(MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(1));
    ASSERT_FALSE(manifest.empty());
    EXPECT_NE(std::string::npos,
              manifest.find("<requestedExecutionLevel level=\"requireAdministrator\" "
                            "uiAccess=\"false\"/>"))
        << manifest;
    const size_t dpi = manifest.find("<dpiAware");
    ASSERT_NE(std::string::npos, dpi);
    EXPECT_EQ(manifest.find(">true</dpiAware>", dpi), manifest.find('>', dpi)) << manifest;
    const char* const kSupportedOs[] = {
        "{e2011457-1546-43c5-a5fe-008deee3d3f0}", // Vista
        "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", // 7
        "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", // 8
        "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", // 8.1
        "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", // 10
    };
    size_t count = 0;
    for (size_t at = manifest.find("<supportedOS"); at != std::string::npos;
         at = manifest.find("<supportedOS", at + 1)) {
        ++count;
    }
    EXPECT_EQ(5u, count);
    for (const char* id : kSupportedOs) {
        EXPECT_NE(std::string::npos, manifest.find(std::string("<supportedOS Id=\"") + id + "\"/>"))
            << id;
    }
}

TEST(ProgramVersion, TheVersionResourceCarriesTheVersionAndTheProductName) {
    const std::wstring program = apptest::ShippedProgram();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(program.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(program.c_str(), 0, size, info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(MAKELONG(0, 1), fixed->dwFileVersionMS);
    EXPECT_EQ(MAKELONG(1, 25), fixed->dwFileVersionLS);
    EXPECT_EQ(fixed->dwFileVersionMS, fixed->dwProductVersionMS);
    EXPECT_EQ(fixed->dwFileVersionLS, fixed->dwProductVersionLS);

    const auto text = [&](const wchar_t* name) {
        wchar_t* value = nullptr;
        UINT units = 0;
        const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        if (!VerQueryValueW(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &units) ||
            !value) {
            return std::wstring();
        }
        return std::wstring(value);
    };
    EXPECT_EQ(L"1.0.25.1", text(L"FileVersion"));
    EXPECT_EQ(L"1.0.25.1", text(L"ProductVersion"));
    EXPECT_EQ(L"Brightcast Suite", text(L"ProductName"));
    EXPECT_EQ(L"BrightcastSetup.exe", text(L"OriginalFilename"));
}

// The shipped program's headers and import table, read from the file as it
// ships: a 32-bit (PE32, i386) GUI program whatever width the tests run at,
// so the structures are the 32-bit ones, named explicitly.
struct ShippedImage {
    std::vector<BYTE> bytes;
    const IMAGE_NT_HEADERS32* nt = nullptr;

    bool Load(const std::wstring& path) {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return false;
        }
        LARGE_INTEGER size = {};
        DWORD read = 0;
        const bool ok =
            GetFileSizeEx(file, &size) && size.QuadPart < (64 << 20) &&
            (bytes.resize(static_cast<size_t>(size.QuadPart)),
             ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) &&
            read == bytes.size();
        CloseHandle(file);
        if (!ok || bytes.size() < sizeof(IMAGE_DOS_HEADER)) {
            return false;
        }
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(bytes.data());
        if (dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew < 0 ||
            static_cast<size_t>(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS32) > bytes.size()) {
            return false;
        }
        nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(bytes.data() + dos->e_lfanew);
        return nt->Signature == IMAGE_NT_SIGNATURE;
    }

    // The file bytes at a relative virtual address, or NULL outside every section.
    const BYTE* At(DWORD rva, DWORD length = 1) const {
        const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
            const DWORD start = section->VirtualAddress;
            if (rva >= start && rva - start + length <= section->SizeOfRawData &&
                section->PointerToRawData + (rva - start) + length <= bytes.size()) {
                return bytes.data() + section->PointerToRawData + (rva - start);
            }
        }
        return nullptr;
    }

    // DLL name (lower case) -> the ordinals imported from it by ordinal.
    std::map<std::string, std::vector<WORD>> ImportsByOrdinal() const {
        std::map<std::string, std::vector<WORD>> imports;
        const IMAGE_DATA_DIRECTORY& directory =
            nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        for (DWORD at = directory.VirtualAddress;; at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
            const auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(
                At(at, sizeof(IMAGE_IMPORT_DESCRIPTOR)));
            if (!entry || entry->Name == 0) {
                break;
            }
            const char* name = reinterpret_cast<const char*>(At(entry->Name));
            std::string dll = name ? name : "?";
            for (char& c : dll) {
                c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
            }
            std::vector<WORD>& ordinals = imports[dll];
            const DWORD lookup =
                entry->OriginalFirstThunk ? entry->OriginalFirstThunk : entry->FirstThunk;
            for (DWORD thunkAt = lookup;; thunkAt += sizeof(IMAGE_THUNK_DATA32)) {
                const auto* thunk = reinterpret_cast<const IMAGE_THUNK_DATA32*>(
                    At(thunkAt, sizeof(IMAGE_THUNK_DATA32)));
                if (!thunk || thunk->u1.AddressOfData == 0) {
                    break;
                }
                if (IMAGE_SNAP_BY_ORDINAL32(thunk->u1.Ordinal)) {
                    ordinals.push_back(static_cast<WORD>(IMAGE_ORDINAL32(thunk->u1.Ordinal)));
                }
            }
        }
        return imports;
    }

    // The same for the delay-loaded DLLs. The linker leaves the delay-import
    // directory entry empty, so their descriptors are found where they are:
    // RVA-based descriptors (attributes 1) whose name, module handle, address
    // table and name table all lie in the image, the name ending in ".dll".
    std::map<std::string, std::vector<WORD>> DelayImportsByOrdinal() const {
        std::map<std::string, std::vector<WORD>> imports;
        const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
        for (WORD n = 0; n < nt->FileHeader.NumberOfSections; ++n, ++section) {
            const DWORD size = std::min(section->SizeOfRawData, section->Misc.VirtualSize);
            for (DWORD offset = 0; offset + sizeof(IMAGE_DELAYLOAD_DESCRIPTOR) <= size;
                 offset += 4) {
                const auto* entry = reinterpret_cast<const IMAGE_DELAYLOAD_DESCRIPTOR*>(
                    At(section->VirtualAddress + offset, sizeof(IMAGE_DELAYLOAD_DESCRIPTOR)));
                if (!entry || entry->Attributes.AllAttributes != 1 || !entry->DllNameRVA ||
                    !At(entry->ModuleHandleRVA, 4) || !At(entry->ImportAddressTableRVA, 4) ||
                    !At(entry->ImportNameTableRVA, 4)) {
                    continue;
                }
                std::string dll;
                for (DWORD at = entry->DllNameRVA; dll.size() < 64; ++at) {
                    const BYTE* c = At(at);
                    if (!c || *c == 0) {
                        break;
                    }
                    dll += static_cast<char>(tolower(*c));
                }
                if (dll.size() < 5 || dll.compare(dll.size() - 4, 4, ".dll") != 0) {
                    continue;
                }
                std::vector<WORD>& ordinals = imports[dll];
                for (DWORD thunkAt = entry->ImportNameTableRVA;; thunkAt += 4) {
                    const auto* thunk = reinterpret_cast<const IMAGE_THUNK_DATA32*>(At(thunkAt, 4));
                    if (!thunk || thunk->u1.AddressOfData == 0) {
                        break;
                    }
                    if (IMAGE_SNAP_BY_ORDINAL32(thunk->u1.Ordinal)) {
                        ordinals.push_back(static_cast<WORD>(IMAGE_ORDINAL32(thunk->u1.Ordinal)));
                    }
                }
            }
        }
        return imports;
    }
};

// DLLs that Windows loads only from its system folder whatever the search
// order says (KnownDLLs, Windows 7 and later), and ntdll, which every
// process has. Anything else named in the import table would be looked for
// beside the program first, and loaded from there before the program runs.
const char* const kKnownDlls[] = {
    "advapi32.dll", "clbcatq.dll",  "combase.dll",  "comdlg32.dll", "gdi32.dll",   "gdiplus.dll",
    "imagehlp.dll", "imm32.dll",    "kernel32.dll", "msctf.dll",    "msvcrt.dll",  "normaliz.dll",
    "nsi.dll",      "ntdll.dll",    "ole32.dll",    "oleaut32.dll", "psapi.dll",   "rpcrt4.dll",
    "sechost.dll",  "setupapi.dll", "shcore.dll",   "shell32.dll",  "shlwapi.dll", "user32.dll",
    "wldap32.dll",  "ws2_32.dll"};

TEST(ShippedProgram, ImportsOnlyKnownDllsAndDelayLoadsTheRest) {
    ShippedImage image;
    ASSERT_TRUE(image.Load(apptest::ShippedProgram()))
        << apptest::Narrow(apptest::ShippedProgram());
    const std::set<std::string> known(std::begin(kKnownDlls), std::end(kKnownDlls));
    const auto imports = image.ImportsByOrdinal();
    EXPECT_EQ(1u, imports.count("kernel32.dll")) << "the import table was read";
    for (const auto& dll : imports) {
        EXPECT_EQ(1u, known.count(dll.first)) << dll.first << " is loaded before the program runs";
    }
    std::set<std::string> delayed;
    for (const auto& dll : image.DelayImportsByOrdinal()) {
        delayed.insert(dll.first);
    }
    const std::set<std::string> expected = {"bcrypt.dll",  "comctl32.dll", "crypt32.dll",
                                            "dbghelp.dll", "msi.dll",      "urlmon.dll",
                                            "winhttp.dll", "wininet.dll",  "wintrust.dll"};
    EXPECT_EQ(expected, delayed);
}

TEST(ShippedProgram, IsA32BitGuiProgramThatImportsMsiOnlyByOrdinalSeventy) {
    ShippedImage image;
    ASSERT_TRUE(image.Load(apptest::ShippedProgram()))
        << apptest::Narrow(apptest::ShippedProgram());
    EXPECT_EQ(IMAGE_FILE_MACHINE_I386, image.nt->FileHeader.Machine);
    EXPECT_NE(0, image.nt->FileHeader.Characteristics & IMAGE_FILE_32BIT_MACHINE);
    EXPECT_EQ(IMAGE_NT_OPTIONAL_HDR32_MAGIC, image.nt->OptionalHeader.Magic);
    EXPECT_EQ(IMAGE_SUBSYSTEM_WINDOWS_GUI, image.nt->OptionalHeader.Subsystem);

    // Delay-loaded, as every DLL that is not a KnownDLL.
    const auto imports = image.DelayImportsByOrdinal();
    ASSERT_EQ(1u, imports.count("msi.dll"));
    EXPECT_EQ(std::vector<WORD>{70}, imports.at("msi.dll"));
    EXPECT_EQ(0u, image.ImportsByOrdinal().count("msi.dll"));
}

// A string-table block: sixteen counted strings, here "", "ab", "", "xyz"
// and twelve empty ones.
std::vector<WCHAR> SampleBlock() {
    std::vector<WCHAR> block = {0, 2, L'a', L'b', 0, 3, L'x', L'y', L'z'};
    block.resize(block.size() + 12, 0);
    return block;
}

TEST(StringBlock, WalksTheCountedStringsAndRefusesToReadPastTheBlock) {
    const std::vector<WCHAR> block = SampleBlock();
    struct Case {
        const WCHAR* data;
        size_t units;
        UINT index;
        const wchar_t* expected;
    } cases[] = {
        {block.data(), block.size(), 0, L""},
        {block.data(), block.size(), 1, L"ab"},
        {block.data(), block.size(), 2, L""},
        {block.data(), block.size(), 3, L"xyz"},
        {block.data(), block.size(), 15, L""},
        {block.data(), block.size(), 16, L""}, // there are only sixteen
        {block.data(), 8, 3, L""},             // "xyz" cut short
        {block.data(), 5, 3, L""},             // block ends before the entry
        {block.data(), 0, 0, L""},             // empty block
        {nullptr, 20, 1, L""},                 // no block at all
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, StringFromBlock(c.data, c.units, c.index))
            << "units " << c.units << " index " << c.index;
    }
}

} // namespace
