#include "telemetry/MachineId.h"

#include "tests/common/TestUtil.h"

#include <gtest/gtest.h>

#include <shlobj.h>
#include <wincrypt.h>

#include <thread>

namespace {

using testutil::IsGuidText;
using testutil::IsUpperHex;

const wchar_t kExampleMac[] = L"00:1A:2B:3C:4D:5E";
const wchar_t kExampleId[] = L"P-001A2B3C-4D5E-001A-2B3C-4D5E001A2B3C";

std::string Utf16Bytes(const std::wstring& text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}

// Decrypts a storage file the way any other program sharing it would.
bool DecryptWithEntropy(const std::string& blob, const char* entropyText, std::string& plain) {
    DATA_BLOB in = {static_cast<DWORD>(blob.size()),
                    reinterpret_cast<BYTE*>(const_cast<char*>(blob.data()))};
    DATA_BLOB entropy = {static_cast<DWORD>(strlen(entropyText)),
                         reinterpret_cast<BYTE*>(const_cast<char*>(entropyText))};
    DATA_BLOB out = {};
    if (!CryptUnprotectData(&in, nullptr, &entropy, nullptr, nullptr, 0, &out)) {
        return false;
    }
    plain.assign(reinterpret_cast<const char*>(out.pbData), out.cbData);
    LocalFree(out.pbData);
    return true;
}

// --- Deriving an identifier from MAC addresses -------------------------------

struct DerivationCase {
    std::vector<std::wstring> macs;
    const wchar_t* expected; // null: no identifier
};

class MacDerivation : public testing::TestWithParam<DerivationCase> {};

TEST_P(MacDerivation, GivesTheIdentifier) {
    const DerivationCase& c = GetParam();
    std::wstring id = L"unchanged";
    const bool made = MachineIdFromMacAddresses(c.macs, id);
    if (c.expected) {
        ASSERT_TRUE(made);
        EXPECT_EQ(std::wstring(c.expected), id);
        EXPECT_EQ(kMachineIdLength, id.size());
    } else {
        EXPECT_FALSE(made);
        EXPECT_EQ(L"unchanged", id);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, MacDerivation,
    testing::Values(
        DerivationCase{{kExampleMac}, kExampleId},
        // The lowest text wins, whatever the order of the adapters.
        DerivationCase{{L"00:50:56:C0:00:08", kExampleMac}, kExampleId},
        DerivationCase{{kExampleMac, L"00:50:56:C0:00:08"}, kExampleId},
        DerivationCase{{L"FF:FF:FF:FF:FF:FF", L"0A:00:00:00:00:01", L"00:00:00:00:00:02"},
                       L"P-00000000-0002-0000-0000-000200000000"},
        // Code-unit order: digits sort before letters.
        DerivationCase{{L"A0:00:00:00:00:00", L"90:00:00:00:00:00"},
                       L"P-90000000-0000-9000-0000-000090000000"},
        DerivationCase{{L"01:23:45:67:89:AB"}, L"P-01234567-89AB-0123-4567-89AB01234567"},
        // Other texts are cycled as well; non-alphanumerics are skipped.
        DerivationCase{{L"a-1"}, L"P-a1a1a1a1-a1a1-a1a1-a1a1-a1a1a1a1a1a1"},
        DerivationCase{{L"7"}, L"P-77777777-7777-7777-7777-777777777777"},
        DerivationCase{{}, nullptr}, DerivationCase{{L""}, nullptr},
        DerivationCase{{L":-:"}, nullptr}));

TEST(FormatMacAddress, PrintsSixUpperCaseHexPairs) {
    const BYTE address[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
    EXPECT_EQ(kExampleMac, FormatMacAddress(address));
    const BYTE ones[6] = {0xff, 0x01, 0x10, 0xab, 0x00, 0x9c};
    EXPECT_EQ(L"FF:01:10:AB:00:9C", FormatMacAddress(ones));
}

// --- Adapter filter ------------------------------------------------------------

struct AdapterCase {
    const wchar_t* path;
    const wchar_t* description;
    bool physical;
};

class AdapterFilter : public testing::TestWithParam<AdapterCase> {};

TEST_P(AdapterFilter, KeepsOnlyPhysicalHardware) {
    const AdapterCase& c = GetParam();
    EXPECT_EQ(c.physical, IsPhysicalAdapter(c.path, c.description))
        << "path " << testing::PrintToString(std::wstring(c.path)) << " description "
        << testing::PrintToString(std::wstring(c.description));
}

INSTANTIATE_TEST_SUITE_P(
    Table, AdapterFilter,
    testing::Values(
        AdapterCase{L"\\\\?\\pci#ven_8086&dev_10d3#3&11583659&0&18#{ad498944}",
                    L"Intel(R) 82574L Gigabit Network Connection", true},
        // The enumerator right after the four-character prefix.
        AdapterCase{L"\\\\?\\root#net#0000#{ad498944}", L"Loopback", false},
        AdapterCase{L"\\\\?\\usb#vid_0b95&pid_1790#000001#{ad498944}", L"USB Ethernet", false},
        AdapterCase{L"\\\\?\\bth#ms_bthpan#7&1c5f&0&2#{ad498944}", L"Bluetooth PAN", false},
        AdapterCase{L"\\\\?\\ROOT#NET#0001#{ad498944}", L"", false},
        AdapterCase{L"\\\\?\\UsB#x", L"", false},
        // Only occurrences starting at positions 0 to 7 count.
        AdapterCase{L"1234567usb", L"", false}, AdapterCase{L"12345678usb", L"", true},
        AdapterCase{L"1234567root", L"", false}, AdapterCase{L"12345678root", L"", true},
        AdapterCase{L"\\\\?\\pci#ven_usb0#1", L"", true},
        AdapterCase{L"\\\\?\\pci#dev#bth#root", L"", true},
        // The description test is case-sensitive and also near the start.
        AdapterCase{L"\\\\?\\pci#x", L"microsoft kernel debug adapter", false},
        AdapterCase{L"\\\\?\\pci#x", L"virtual microsoft", true},
        AdapterCase{L"\\\\?\\pci#x", L"Intel microsoft", false},
        AdapterCase{L"\\\\?\\pci#x", L"Microsoft Loopback Adapter", true},
        AdapterCase{L"\\\\?\\pci#x", L"", true}));

// --- Virtual machine table -----------------------------------------------------

struct ModelCase {
    const wchar_t* model;
    const wchar_t* manufacturer;
    bool isVirtual;
};

TEST(IsVirtualMachineModel, MatchesTheTableExactly) {
    const ModelCase cases[] = {
        {L"VirtualBox", L"innotek GmbH", true},
        {L"VMware Virtual Platform", L"VMware, Inc.", true},
        {L"Virtual Machine", L"Microsoft Corporation", true},
        {L"virtualbox", L"innotek GmbH", false},
        {L"VirtualBox", L"Innotek GmbH", false},
        {L"VirtualBox ", L"innotek GmbH", false},
        {L"VirtualBox", L"VMware, Inc.", false},
        {L"innotek GmbH", L"VirtualBox", false},
        {L"Virtual Machine", L"", false},
        {L"", L"", false},
    };
    for (const ModelCase& c : cases) {
        EXPECT_EQ(c.isVirtual, IsVirtualMachineModel(c.model, c.manufacturer))
            << testing::PrintToString(std::wstring(c.model)) << " / "
            << testing::PrintToString(std::wstring(c.manufacturer));
    }
}

// --- GUID text ------------------------------------------------------------------

TEST(NewGuidString, GivesDistinctUpperCaseGuidsWithoutBraces) {
    std::wstring first;
    std::wstring second;
    ASSERT_TRUE(NewGuidString(first));
    ASSERT_TRUE(NewGuidString(second));
    EXPECT_TRUE(IsGuidText(first)) << first.c_str();
    EXPECT_TRUE(IsGuidText(second)) << second.c_str();
    EXPECT_NE(first, second);
}

// --- Protected storage (real DPAPI and files) ----------------------------------------

TEST(StoredId, RoundTripsThroughAProtectedFile) {
    testutil::ScratchFolder scratch;
    const std::wstring path = scratch / L"data";
    ASSERT_TRUE(StoreIdAt(path, kExampleId));
    std::wstring id;
    ASSERT_TRUE(ReadStoredIdAt(path, id));
    EXPECT_EQ(kExampleId, id);

    // The file is the protected UTF-16LE text, readable by anyone who knows
    // the entropy, and by no one who does not.
    const std::string blob = testutil::ReadFileBytes(path);
    EXPECT_EQ(std::string::npos, blob.find(Utf16Bytes(L"001A2B3C"))) << "stored in the clear";
    std::string plain;
    ASSERT_TRUE(DecryptWithEntropy(blob, "quorvel", plain));
    EXPECT_EQ(Utf16Bytes(kExampleId), plain);
    EXPECT_EQ(76u, plain.size()) << "no terminator";
    EXPECT_FALSE(DecryptWithEntropy(blob, "quorvelX", plain));
    DATA_BLOB in = {static_cast<DWORD>(blob.size()),
                    reinterpret_cast<BYTE*>(const_cast<char*>(blob.data()))};
    DATA_BLOB out = {};
    EXPECT_FALSE(CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, 0, &out));
}

TEST(StoredId, ReplacesAnEarlierFileWhole) {
    testutil::ScratchFolder scratch;
    const std::wstring path = scratch / L"data";
    ASSERT_TRUE(testutil::WriteFileBytes(path, std::string(4096, 'x')));
    ASSERT_TRUE(StoreIdAt(path, L"V-0123"));
    std::wstring id;
    ASSERT_TRUE(ReadStoredIdAt(path, id));
    EXPECT_EQ(L"V-0123", id);
    EXPECT_LT(testutil::ReadFileBytes(path).size(), 4096u);
}

TEST(StoredId, FilesThatHoldNoIdentifierAreNotRead) {
    testutil::ScratchFolder scratch;
    std::wstring id = L"unchanged";
    EXPECT_FALSE(ReadStoredIdAt(scratch / L"missing", id));
    ASSERT_TRUE(testutil::WriteFileBytes(scratch / L"empty", ""));
    EXPECT_FALSE(ReadStoredIdAt(scratch / L"empty", id));
    ASSERT_TRUE(testutil::WriteFileBytes(scratch / L"plain", Utf16Bytes(kExampleId)));
    EXPECT_FALSE(ReadStoredIdAt(scratch / L"plain", id));
    // A file far larger than any identifier's blob.
    std::string big;
    ASSERT_TRUE(ProtectIdBytes(Utf16Bytes(kExampleId), big));
    big.append(70 * 1024, '\0');
    ASSERT_TRUE(testutil::WriteFileBytes(scratch / L"big", big));
    EXPECT_FALSE(ReadStoredIdAt(scratch / L"big", id));
    EXPECT_EQ(L"unchanged", id);
}

TEST(StoredId, StoringIntoAMissingFolderFails) {
    testutil::ScratchFolder scratch;
    EXPECT_FALSE(StoreIdAt(scratch / L"no such folder\\data", kExampleId));
    EXPECT_FALSE(testutil::FileExists(scratch / L"no such folder"));
}

// What a process of the user can prepare before the elevated program runs:
// the folder as a link to a folder it wants written into, or "data" as a
// second name (hard link) of a file it wants overwritten. Nothing is read or
// written through either; a plain folder still takes the identifier. ("data"
// as a symbolic link to a file is refused by the same check, through the
// reparse attribute; this Wine shows such a link as the file itself, so the
// table below stands in for it.)
TEST(StoredId, NothingIsStoredOrReadThroughALink) {
    testutil::ScratchFolder scratch;
    std::wstring id = L"unchanged";

    // The folder a link (a junction would do the same on Windows).
    const std::wstring elsewhere = scratch / L"elsewhere";
    ASSERT_TRUE(CreateDirectoryW(elsewhere.c_str(), nullptr));
    ASSERT_TRUE(testutil::MakeUnixSymlink(elsewhere, scratch / L"linked"));
    EXPECT_FALSE(StoreIdIn(scratch / L"linked", kExampleId));
    EXPECT_FALSE(testutil::FileExists(elsewhere + L"\\data")) << "written through the link";
    FileHandle held;
    EXPECT_FALSE(OpenStoreFolder(scratch / L"linked", held));
    EXPECT_FALSE(held);
    ASSERT_TRUE(StoreIdAt(elsewhere + L"\\data", kExampleId));
    EXPECT_FALSE(ReadStoredIdIn(scratch / L"linked", id));
    EXPECT_EQ(L"unchanged", id);

    // "data" another name of the victim file.
    const std::wstring victim = scratch / L"victim.txt";
    ASSERT_TRUE(testutil::WriteFileBytes(victim, "keep me"));
    ASSERT_TRUE(CreateDirectoryW((scratch / L"store").c_str(), nullptr));
    ASSERT_TRUE(CreateHardLinkW((scratch / L"store\\data").c_str(), victim.c_str(), nullptr));
    EXPECT_FALSE(StoreIdIn(scratch / L"store", kExampleId));
    EXPECT_FALSE(StoreIdAt(scratch / L"store\\data", kExampleId));
    EXPECT_EQ("keep me", testutil::ReadFileBytes(victim));
    std::string blob;
    ASSERT_TRUE(ProtectIdBytes(Utf16Bytes(kExampleId), blob));
    ASSERT_TRUE(testutil::WriteFileBytes(victim, blob));
    EXPECT_FALSE(ReadStoredIdIn(scratch / L"store", id));
    EXPECT_EQ(L"unchanged", id);

    // The same, plain: made, stored and read back.
    ASSERT_TRUE(StoreIdIn(scratch / L"plain", kExampleId));
    ASSERT_TRUE(ReadStoredIdIn(scratch / L"plain", id));
    EXPECT_EQ(kExampleId, id);
    ASSERT_TRUE(OpenStoreFolder(scratch / L"plain", held));
    EXPECT_TRUE(held);
}

TEST(StoredId, OnlyPlainEntriesAreUsed) {
    const DWORD file = FILE_ATTRIBUTE_NORMAL;
    const DWORD folder = FILE_ATTRIBUTE_DIRECTORY;
    const DWORD link = FILE_ATTRIBUTE_REPARSE_POINT;
    struct Case {
        DWORD path, handle, links;
        bool isFolder, plain;
    } cases[] = {
        {file, file, 1, false, true},
        {FILE_ATTRIBUTE_ARCHIVE, FILE_ATTRIBUTE_ARCHIVE, 1, false, true},
        {file | link, file, 1, false, false}, // seen by the path only
        {file, file | link, 1, false, false}, // seen by the handle only
        {file, file, 2, false, false},        // a second name of another file
        {folder, folder, 1, false, false},    // a folder named "data"
        {INVALID_FILE_ATTRIBUTES, file, 1, false, false},
        {folder, folder, 1, true, true},
        {folder, folder, 3, true, true},         // folders count their subfolders
        {folder | link, folder, 1, true, false}, // a junction or link
        {folder, folder | link, 1, true, false},
        {file, file, 1, true, false}, // a file named like the folder
        {folder, file, 1, true, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.plain, IsPlainEntry(c.path, c.handle, c.links, c.isFolder))
            << std::hex << c.path << " " << c.handle << " " << c.links << " " << c.isFolder;
    }
}

TEST(StoredId, AShortWriteLeavesNoFile) {
    const std::wstring disk = testutil::SmallDiskFolder();
    if (disk.empty()) {
        GTEST_SKIP() << "no small file system mounted (BC_SMALL_DISK)";
    }
    const std::wstring filler = disk + L"machine-id-filler.bin";
    const std::wstring path = disk + L"machine-id-data";
    HANDLE file = CreateFileW(filler.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    // Fill the file system to the last byte.
    std::string chunk(64 * 1024, 'f');
    for (DWORD size = 64 * 1024; size > 0; size /= 2) {
        DWORD wrote = 0;
        while (WriteFile(file, chunk.data(), size, &wrote, nullptr) && wrote == size) {
        }
    }
    CloseHandle(file);

    EXPECT_FALSE(StoreIdAt(path, kExampleId));
    EXPECT_FALSE(testutil::FileExists(path)) << "a truncated blob was left behind";
    DeleteFileW(filler.c_str());
    DeleteFileW(path.c_str());
}

TEST(StoredId, WaitsForAnotherHolderToLetGo) {
    testutil::ScratchFolder scratch;
    const std::wstring path = scratch / L"data";
    ASSERT_TRUE(StoreIdAt(path, kExampleId));
    HANDLE held = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    std::thread releaser([held] {
        Sleep(300);
        CloseHandle(held);
    });
    std::wstring id;
    const DWORD start = GetTickCount();
    const bool read = ReadStoredIdAt(path, id);
    const DWORD waited = GetTickCount() - start;
    releaser.join();
    ASSERT_TRUE(read);
    EXPECT_EQ(kExampleId, id);
    EXPECT_GE(waited, 250u) << "read before the holder let go";
}

TEST(StoredId, GivesUpOnAFileHeldTooLong) {
    testutil::ScratchFolder scratch;
    const std::wstring path = scratch / L"data";
    ASSERT_TRUE(StoreIdAt(path, kExampleId));
    HANDLE held = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    std::wstring id;
    DWORD start = GetTickCount();
    EXPECT_FALSE(ReadStoredIdAt(path, id));
    DWORD waited = GetTickCount() - start;
    EXPECT_GE(waited, kStoreOpenTimeoutMs - 50);
    start = GetTickCount();
    EXPECT_FALSE(StoreIdAt(path, L"V-other"));
    waited = GetTickCount() - start;
    EXPECT_GE(waited, kStoreOpenTimeoutMs - 50);
    CloseHandle(held);
    ASSERT_TRUE(ReadStoredIdAt(path, id));
    EXPECT_EQ(kExampleId, id) << "the held file was changed";
}

// --- Obtaining an identifier, with the machine's facts given --------------------------

// A machine described by the test; storage is a real protected file.
struct FakeMachine {
    explicit FakeMachine(std::wstring storagePath) : path(std::move(storagePath)) {}

    MachineIdSources Sources() {
        MachineIdSources sources;
        sources.isVirtualMachine = [this](bool& isVirtual) {
            ++wmiQueries;
            isVirtual = IsVirtualMachineModel(model, manufacturer);
            return wmiWorks;
        };
        sources.getAdapterMacAddresses = [this](std::vector<std::wstring>& list) {
            list = macs;
            return !list.empty();
        };
        sources.readStoredId = [this](std::wstring& id) { return ReadStoredIdAt(path, id); };
        sources.storeId = [this](const std::wstring& id) {
            ++stores;
            return StoreIdAt(path, id);
        };
        return sources;
    }

    std::wstring Stored() {
        std::wstring id;
        return ReadStoredIdAt(path, id) ? id : L"(none)";
    }

    std::wstring path;
    std::wstring model = L"Standard PC";
    std::wstring manufacturer = L"Some Maker";
    bool wmiWorks = true;
    std::vector<std::wstring> macs;
    int wmiQueries = 0;
    int stores = 0;
};

TEST(ObtainMachineId, AStoredIdentifierIsReturnedUnchangedAlsoOnAVirtualMachine) {
    testutil::ScratchFolder scratch;
    FakeMachine machine(scratch / L"data");
    machine.model = L"VirtualBox";
    machine.manufacturer = L"innotek GmbH";
    ASSERT_TRUE(StoreIdAt(machine.path, kExampleId));
    std::wstring id;
    ASSERT_TRUE(ObtainMachineId(machine.Sources(), id));
    EXPECT_EQ(kExampleId, id);
    EXPECT_EQ(0, machine.stores);
}

TEST(ObtainMachineId, AVirtualMachineGetsANewStoredIdentifierThatLasts) {
    testutil::ScratchFolder scratch;
    FakeMachine machine(scratch / L"data");
    machine.model = L"VirtualBox";
    machine.manufacturer = L"innotek GmbH";
    machine.macs = {kExampleMac};
    std::wstring first;
    ASSERT_TRUE(ObtainMachineId(machine.Sources(), first));
    ASSERT_EQ(kMachineIdLength, first.size());
    EXPECT_EQ(L"V-", first.substr(0, 2));
    EXPECT_TRUE(IsGuidText(first.substr(2))) << first.c_str();
    EXPECT_EQ(first, machine.Stored());
    std::wstring second;
    ASSERT_TRUE(ObtainMachineId(machine.Sources(), second));
    EXPECT_EQ(first, second);
    EXPECT_EQ(1, machine.stores);
}

TEST(ObtainMachineId, AModelInAnotherCaseIsPhysicalHardware) {
    testutil::ScratchFolder scratch;
    FakeMachine machine(scratch / L"data");
    machine.model = L"virtualbox";
    machine.manufacturer = L"innotek GmbH";
    machine.macs = {kExampleMac};
    std::wstring id;
    ASSERT_TRUE(ObtainMachineId(machine.Sources(), id));
    EXPECT_EQ(kExampleId, id);
}

TEST(ObtainMachineId, AStoredValueOfAnotherLengthIsReplaced) {
    testutil::ScratchFolder scratch;
    FakeMachine machine(scratch / L"data");
    machine.macs = {L"00:50:56:C0:00:08", kExampleMac};
    const std::wstring shortId = std::wstring(kExampleId).substr(2); // 36 units
    ASSERT_TRUE(StoreIdAt(machine.path, shortId));
    std::wstring id;
    ASSERT_TRUE(ObtainMachineId(machine.Sources(), id));
    EXPECT_EQ(kExampleId, id);
    EXPECT_EQ(kExampleId, machine.Stored());

    // The same on a virtual machine, with a new random identifier.
    ASSERT_TRUE(StoreIdAt(machine.path, shortId));
    machine.model = L"VMware Virtual Platform";
    machine.manufacturer = L"VMware, Inc.";
    ASSERT_TRUE(ObtainMachineId(machine.Sources(), id));
    EXPECT_EQ(L"V-", id.substr(0, 2));
    EXPECT_EQ(id, machine.Stored());
}

TEST(ObtainMachineId, AStoredValueWithCharactersNoIdentifierHoldsIsReplaced) {
    // The file is shared with other programs; what it holds goes unencoded
    // into the report's query string.
    const std::wstring base = kExampleId;
    const std::wstring cases[] = {
        base.substr(0, 28) + L"&token=abc", base.substr(0, 36) + L"\r\n",
        base.substr(0, 31) + L" HTTP/1",    base.substr(0, 37) + L"#",
        base.substr(0, 37) + L"?",          base.substr(0, 37) + std::wstring(1, L'\0'),
        base.substr(0, 37) + L"\u00c4",
    };
    for (size_t n = 0; n < sizeof cases / sizeof cases[0]; ++n) {
        const std::wstring& bad = cases[n];
        ASSERT_EQ(kMachineIdLength, bad.size()) << "case " << n;
        testutil::ScratchFolder scratch;
        FakeMachine machine(scratch / L"data");
        machine.macs = {kExampleMac};
        ASSERT_TRUE(StoreIdAt(machine.path, bad));
        std::wstring id;
        ASSERT_TRUE(ObtainMachineId(machine.Sources(), id));
        EXPECT_EQ(kExampleId, id) << "case " << n;
        EXPECT_EQ(kExampleId, machine.Stored()) << "case " << n;
    }
}

TEST(ObtainMachineId, AFileThatDoesNotDecryptIsReplaced) {
    testutil::ScratchFolder scratch;
    FakeMachine machine(scratch / L"data");
    machine.macs = {kExampleMac};
    ASSERT_TRUE(testutil::WriteFileBytes(machine.path, "not a protected blob"));
    std::wstring id;
    ASSERT_TRUE(ObtainMachineId(machine.Sources(), id));
    EXPECT_EQ(kExampleId, id);
    EXPECT_EQ(kExampleId, machine.Stored());
}

TEST(ObtainMachineId, PhysicalHardwareWithoutAdaptersHasNoIdentifierAndStoresNothing) {
    testutil::ScratchFolder scratch;
    FakeMachine machine(scratch / L"data");
    std::wstring id = L"unchanged";
    EXPECT_FALSE(ObtainMachineId(machine.Sources(), id));
    EXPECT_EQ(L"unchanged", id);
    EXPECT_EQ(0, machine.stores);
    EXPECT_FALSE(testutil::FileExists(machine.path));
}

TEST(ObtainMachineId, AFailedQueryCountsAsPhysicalHardware) {
    testutil::ScratchFolder scratch;
    FakeMachine machine(scratch / L"data");
    machine.model = L"VirtualBox";
    machine.manufacturer = L"innotek GmbH";
    machine.wmiWorks = false;
    machine.macs = {kExampleMac};
    std::wstring id;
    ASSERT_TRUE(ObtainMachineId(machine.Sources(), id));
    EXPECT_EQ(kExampleId, id);
}

TEST(ObtainMachineId, AVirtualMachineIdentifierThatCannotBeStoredIsNotUsed) {
    testutil::ScratchFolder scratch;
    FakeMachine machine(scratch / L"no such folder\\data");
    machine.model = L"Virtual Machine";
    machine.manufacturer = L"Microsoft Corporation";
    machine.macs = {kExampleMac};
    std::wstring id = L"unchanged";
    EXPECT_FALSE(ObtainMachineId(machine.Sources(), id));
    EXPECT_EQ(L"unchanged", id);
    EXPECT_EQ(1, machine.stores);
}

TEST(ObtainMachineId, APhysicalIdentifierIsUsedEvenUnstored) {
    testutil::ScratchFolder scratch;
    FakeMachine machine(scratch / L"no such folder\\data");
    machine.macs = {kExampleMac};
    std::wstring id;
    ASSERT_TRUE(ObtainMachineId(machine.Sources(), id));
    EXPECT_EQ(kExampleId, id);
    EXPECT_EQ(1, machine.stores);
}

// --- The real machine ------------------------------------------------------------------

class ComApartment {
public:
    ComApartment() : hr_(CoInitialize(nullptr)) {}
    ~ComApartment() {
        if (SUCCEEDED(hr_)) {
            CoUninitialize();
        }
    }

private:
    HRESULT hr_;
};

TEST(RealMachine, TheManagementQueryAnswers) {
    ComApartment com;
    bool isVirtual = false;
    const DWORD start = GetTickCount();
    EXPECT_TRUE(IsVirtualMachine(isVirtual));
    std::printf("management query: %s, %lu ms\n", isVirtual ? "virtual" : "not virtual",
                GetTickCount() - start);
}

TEST(RealMachine, AdapterAddressesAreWellFormed) {
    std::vector<std::wstring> macs;
    const bool found = GetAdapterMacAddresses(macs);
    EXPECT_EQ(found, !macs.empty());
    std::printf("physical adapters with a permanent address: %u\n",
                static_cast<unsigned>(macs.size()));
    for (const std::wstring& mac : macs) {
        ASSERT_EQ(17u, mac.size());
        for (size_t i = 0; i < mac.size(); ++i) {
            EXPECT_TRUE(i % 3 == 2 ? mac[i] == L':' : IsUpperHex(mac[i])) << mac.c_str();
        }
    }
}

TEST(RealMachine, AskingOnAMultithreadedThreadLeavesItsApartmentAlone) {
    HRESULT before = E_FAIL;
    std::wstring id;
    HRESULT after = E_FAIL;
    std::thread worker([&] {
        before = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        id = GetMachineIdString();
        // Still in the apartment: joining it again only counts up.
        after = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (SUCCEEDED(after)) {
            CoUninitialize();
        }
        if (SUCCEEDED(before)) {
            CoUninitialize();
        }
    });
    worker.join();
    ASSERT_EQ(S_OK, before);
    EXPECT_EQ(S_FALSE, after) << "the caller's apartment was left";
    EXPECT_EQ(kMachineIdLength, id.size());
}

// Keeps the machine's storage file as it was before the test.
class RealStoreGuard {
public:
    RealStoreGuard() {
        ok_ = GetStoredIdPath(path_);
        existed_ = ok_ && testutil::FileExists(path_);
        if (existed_) {
            saved_ = testutil::ReadFileBytes(path_);
        }
    }
    ~RealStoreGuard() {
        if (!ok_) {
            return;
        }
        if (existed_) {
            testutil::WriteFileBytes(path_, saved_);
        } else {
            DeleteFileW(path_.c_str());
        }
    }
    const std::wstring& path() const { return path_; }
    bool ok() const { return ok_; }

private:
    std::wstring path_;
    std::string saved_;
    bool ok_ = false;
    bool existed_ = false;
};

TEST(RealMachine, TheStorageFileIsInTheCommonApplicationDataFolder) {
    RealStoreGuard guard;
    ASSERT_TRUE(guard.ok());
    wchar_t common[MAX_PATH] = {};
    ASSERT_EQ(S_OK,
              SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common));
    EXPECT_EQ(std::wstring(common) + L"\\UniqueId\\data", guard.path());

    ASSERT_TRUE(StoreId(L"V-11111111-2222-3333-4444-555555555555"));
    std::string plain;
    ASSERT_TRUE(DecryptWithEntropy(testutil::ReadFileBytes(guard.path()), "quorvel", plain));
    EXPECT_EQ(Utf16Bytes(L"V-11111111-2222-3333-4444-555555555555"), plain);
    std::wstring id;
    ASSERT_TRUE(ReadStoredId(id));
    EXPECT_EQ(L"V-11111111-2222-3333-4444-555555555555", id);
}

TEST(RealMachine, ASecondRequestUsesTheProcessCache) {
    RealStoreGuard guard;
    ASSERT_TRUE(guard.ok());
    // Whatever this process kept before, a stored identifier guarantees that
    // the first request below ends with one kept.
    ASSERT_TRUE(StoreId(L"P-AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE"));
    const std::wstring first = GetMachineIdString();
    ASSERT_EQ(kMachineIdLength, first.size());
    ASSERT_NE(kMachineIdPlaceholder, first);

    // Another identifier on disk, and the file held open: a request that
    // went to storage would now wait and then see something else.
    ASSERT_TRUE(StoreId(L"P-99999999-8888-7777-6666-555555555555"));
    HANDLE held =
        CreateFileW(guard.path().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    const DWORD start = GetTickCount();
    const std::wstring second = GetMachineIdString();
    const DWORD took = GetTickCount() - start;
    CloseHandle(held);
    EXPECT_EQ(first, second);
    EXPECT_LT(took, kStoreOpenTimeoutMs) << "the storage file was opened";
    std::wstring id;
    ASSERT_TRUE(GetMachineId(id));
    EXPECT_EQ(first, id);
}

} // namespace
