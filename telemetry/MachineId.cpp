#include "telemetry/MachineId.h"

#include "base/ComPtr.h"
#include "base/OleValues.h"
#include "base/UniqueHandle.h"

#include <objbase.h>
#include <setupapi.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <wbemidl.h>
#include <wincrypt.h>

#include <algorithm>
#include <cwchar>

const wchar_t kMachineIdPlaceholder[] = L"X-XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX";

namespace {

// Device interface class of network adapters.
const GUID kNdisLanClass = {
    0xad498944, 0x762f, 0x11d0, {0x8d, 0xcb, 0x00, 0xc0, 0x4f, 0xc3, 0x35, 0x8c}};
const DWORD kIoctlNdisQueryGlobalStats = 0x00170002;
const DWORD kOid8023PermanentAddress = 0x01010101;

// Every program using this scheme protects with the same entropy.
const char kEntropy[] = "quorvel";
const DWORD kEntropyLength = 7;

// The blob of a 38-character identifier is a few hundred bytes; a file far
// larger than that is not one of ours and is replaced rather than read whole.
const size_t kMaxStoredBytes = 64 * 1024;

struct VirtualMachineRow {
    const wchar_t* model;
    const wchar_t* manufacturer;
};

const VirtualMachineRow kVirtualMachines[] = {
    {L"VirtualBox", L"innotek GmbH"},
    {L"VMware Virtual Platform", L"VMware, Inc."},
    {L"Virtual Machine", L"Microsoft Corporation"},
};

// A string property of a WMI object; anything but a string reads as empty.
bool ReadStringProperty(IWbemClassObject* object, const wchar_t* name, std::wstring& value) {
    Variant v;
    if (FAILED(object->Get(name, 0, v.Receive(), nullptr, nullptr))) {
        return false;
    }
    value.clear();
    if (v.Type() == VT_BSTR && v.Get()->bstrVal) {
        value.assign(v.Get()->bstrVal, SysStringLen(v.Get()->bstrVal));
    }
    return true;
}

bool IsAsciiAlnum(wchar_t c) {
    return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

// Whether `needle` first occurs in `text` at a position from 0 to 7.
bool OccursNearStart(const std::wstring& text, const wchar_t* needle) {
    const size_t position = text.find(needle);
    return position != std::wstring::npos && position <= 7;
}

std::wstring& MachineIdCache() {
    static std::wstring cache;
    return cache;
}

} // namespace

std::wstring GetMachineIdString() {
    std::wstring result = kMachineIdPlaceholder;
    // On a thread already in the multithreaded apartment this fails with
    // RPC_E_CHANGED_MODE, COM is usable anyway, and there is nothing to undo.
    const HRESULT init = CoInitialize(nullptr);
    std::wstring id;
    if (GetMachineId(id)) {
        result = id;
    }
    if (SUCCEEDED(init)) {
        CoUninitialize();
    }
    return result;
}

bool GetMachineId(std::wstring& id) {
    std::wstring& cache = MachineIdCache();
    if (!cache.empty()) {
        id = cache;
        return true;
    }
    MachineIdSources sources;
    sources.isVirtualMachine = IsVirtualMachine;
    sources.getAdapterMacAddresses = GetAdapterMacAddresses;
    sources.readStoredId = [](std::wstring& stored) { return ReadStoredId(stored); };
    sources.storeId = [](const std::wstring& value) { return StoreId(value); };
    std::wstring obtained;
    if (!ObtainMachineId(sources, obtained)) {
        return false;
    }
    cache = obtained;
    id = obtained;
    return true;
}

bool ObtainMachineId(const MachineIdSources& sources, std::wstring& id) {
    // A failed query counts as physical hardware.
    bool isVirtual = false;
    const bool virtualMachine = sources.isVirtualMachine(isVirtual) && isVirtual;

    // A stored identifier is used whatever its prefix says.
    std::wstring stored;
    if (sources.readStoredId(stored) && IsUsableStoredId(stored)) {
        id = stored;
        return true;
    }

    if (virtualMachine) {
        std::wstring guid;
        if (!NewGuidString(guid)) {
            return false;
        }
        // A random identifier that cannot be stored would change every run.
        const std::wstring made = L"V-" + guid;
        if (!sources.storeId(made)) {
            return false;
        }
        id = made;
        return true;
    }

    std::vector<std::wstring> macs;
    if (!sources.getAdapterMacAddresses(macs)) {
        return false;
    }
    std::wstring made;
    if (!MachineIdFromMacAddresses(macs, made)) {
        return false;
    }
    // Derived again the same way next time, so it is used even unstored.
    sources.storeId(made);
    id = made;
    return true;
}

bool IsUsableStoredId(const std::wstring& id) {
    // Every identifier of the scheme is letters, digits and hyphens; the file
    // is shared with other programs, and its text goes unencoded into a URL.
    return id.size() == kMachineIdLength && std::all_of(id.begin(), id.end(), [](wchar_t c) {
               return IsAsciiAlnum(c) || c == L'-';
           });
}

bool IsVirtualMachineModel(const std::wstring& model, const std::wstring& manufacturer) {
    for (const VirtualMachineRow& row : kVirtualMachines) {
        if (model == row.model && manufacturer == row.manufacturer) {
            return true;
        }
    }
    return false;
}

bool IsVirtualMachine(bool& isVirtual) {
    ComPtr<IWbemLocator> locator;
    if (FAILED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER,
                                IID_PPV_ARGS(&locator)))) {
        return false;
    }
    ComPtr<IWbemServices> services;
    const Bstr space(L"ROOT\\CIMV2");
    if (FAILED(locator->ConnectServer(space.Get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                      &services))) {
        return false;
    }
    if (FAILED(CoSetProxyBlanket(services.Get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                                 RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr,
                                 EOAC_NONE))) {
        return false;
    }
    ComPtr<IEnumWbemClassObject> enumerator;
    const Bstr language(L"WQL");
    const Bstr query(L"SELECT * FROM Win32_ComputerSystem");
    if (FAILED(services->ExecQuery(language.Get(), query.Get(),
                                   WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                                   &enumerator))) {
        return false;
    }
    ComPtr<IWbemClassObject> object;
    ULONG returned = 0;
    // Bounded, so a stuck management service cannot hold up the start.
    const HRESULT next = enumerator->Next(kWmiQueryTimeoutMs, 1, &object, &returned);
    if (FAILED(next) || next == WBEM_S_TIMEDOUT) {
        return false;
    }
    std::wstring model;
    std::wstring manufacturer;
    if (returned == 1 && object) {
        if (!ReadStringProperty(object.Get(), L"model", model) ||
            !ReadStringProperty(object.Get(), L"manufacturer", manufacturer)) {
            return false;
        }
    }
    isVirtual = IsVirtualMachineModel(model, manufacturer);
    return true;
}

bool IsPhysicalAdapter(const std::wstring& devicePath, const std::wstring& description) {
    std::wstring lower = devicePath;
    for (wchar_t& c : lower) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
    }
    if (OccursNearStart(lower, L"root") || OccursNearStart(lower, L"usb") ||
        OccursNearStart(lower, L"bth")) {
        return false;
    }
    return !OccursNearStart(description, L"microsoft");
}

std::wstring FormatMacAddress(const BYTE address[6]) {
    wchar_t text[32] = {};
    _snwprintf(text, 31, L"%02X:%02X:%02X:%02X:%02X:%02X", address[0], address[1], address[2],
               address[3], address[4], address[5]);
    return text;
}

bool GetAdapterMacAddresses(std::vector<std::wstring>& macs) {
    struct Adapter {
        std::wstring path;
        std::wstring description;
    };
    std::vector<Adapter> adapters;
    HDEVINFO set = SetupDiGetClassDevsW(&kNdisLanClass, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        return false;
    }
    for (DWORD n = 0;; ++n) {
        SP_DEVICE_INTERFACE_DATA interfaceData = {};
        interfaceData.cbSize = sizeof interfaceData;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kNdisLanClass, n, &interfaceData)) {
            break;
        }
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, nullptr, 0, &size, nullptr);
        if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
            break;
        }
        // One spare unit keeps the path terminated whatever the call writes.
        std::vector<BYTE> buffer(size + sizeof(wchar_t), 0);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, detail, size, nullptr,
                                              nullptr)) {
            break;
        }
        Adapter adapter;
        adapter.path = detail->DevicePath;
        SP_DEVINFO_DATA deviceData = {};
        deviceData.cbSize = sizeof deviceData;
        wchar_t description[1024 + 1] = {};
        if (SetupDiEnumDeviceInfo(set, n, &deviceData) &&
            SetupDiGetDeviceRegistryPropertyW(set, &deviceData, SPDRP_DEVICEDESC, nullptr,
                                              reinterpret_cast<BYTE*>(description), 2048,
                                              nullptr)) {
            adapter.description = description;
        }
        adapters.push_back(adapter);
    }
    SetupDiDestroyDeviceInfoList(set);

    for (const Adapter& adapter : adapters) {
        if (!IsPhysicalAdapter(adapter.path, adapter.description)) {
            continue;
        }
        const FileHandle device(CreateFileW(adapter.path.c_str(), 0,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
        if (!device) {
            continue;
        }
        DWORD oid = kOid8023PermanentAddress;
        BYTE address[8] = {};
        DWORD returned = 0;
        if (DeviceIoControl(device.Get(), kIoctlNdisQueryGlobalStats, &oid, sizeof oid, address,
                            sizeof address, &returned, nullptr) &&
            returned == 6) {
            macs.push_back(FormatMacAddress(address));
        }
    }
    return !macs.empty();
}

bool MachineIdFromMacAddresses(std::vector<std::wstring> macs, std::wstring& id) {
    if (macs.empty()) {
        return false;
    }
    std::sort(macs.begin(), macs.end());
    const std::wstring& source = macs.front();
    // Without a letter or digit the cycle below would never fill the text.
    if (std::none_of(source.begin(), source.end(), IsAsciiAlnum)) {
        return false;
    }
    std::wstring out;
    size_t i = 0;
    while (out.size() < 36) {
        const size_t length = out.size();
        if (length == 8 || length == 13 || length == 18 || length == 23) {
            out += L'-';
            continue;
        }
        if (IsAsciiAlnum(source[i])) {
            out += source[i];
        }
        i = (i + 1) % source.size();
    }
    id = L"P-" + out;
    return true;
}

bool IsPlainEntry(DWORD pathAttributes, DWORD handleAttributes, DWORD links, bool folder) {
    const DWORD kind = folder ? FILE_ATTRIBUTE_DIRECTORY : 0;
    return pathAttributes != INVALID_FILE_ATTRIBUTES &&
           ((pathAttributes | handleAttributes) & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
           (pathAttributes & FILE_ATTRIBUTE_DIRECTORY) == kind &&
           (handleAttributes & FILE_ATTRIBUTE_DIRECTORY) == kind && (folder || links == 1);
}

namespace {

// Whether the entry open in `handle` at `path` is plain (see IsPlainEntry).
// Both the handle's and the path's attributes are asked: some systems tell
// a link only by one of them. The handle, opened without delete sharing,
// keeps the name from being replaced between the two.
bool IsPlainOpenEntry(HANDLE handle, const std::wstring& path, bool folder) {
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(handle, &info)) {
        return false;
    }
    return IsPlainEntry(GetFileAttributesW(path.c_str()), info.dwFileAttributes,
                        info.nNumberOfLinks, folder);
}

} // namespace

bool OpenStoreFolder(const std::wstring& folder, FileHandle& handle) {
    if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        return false;
    }
    // The folder itself, never where a junction or link in its place points.
    handle.Reset(CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle || !IsPlainOpenEntry(handle.Get(), folder, true)) {
        handle.Reset();
        return false;
    }
    return true;
}

bool GetStoreFolder(std::wstring& folder) {
    wchar_t common[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr,
                                SHGFP_TYPE_CURRENT, common))) {
        return false;
    }
    wchar_t path[MAX_PATH] = {};
    if (!PathCombineW(path, common, L"UniqueId")) {
        return false;
    }
    folder = path;
    return true;
}

bool GetStoredIdPath(std::wstring& path) {
    std::wstring folder;
    FileHandle held;
    wchar_t file[MAX_PATH] = {};
    if (!GetStoreFolder(folder) || !OpenStoreFolder(folder, held) ||
        !PathCombineW(file, folder.c_str(), L"data")) {
        return false;
    }
    path = file;
    return true;
}

HANDLE OpenStoreFileExclusive(const std::wstring& path, DWORD access, DWORD disposition) {
    const DWORD start = GetTickCount();
    for (;;) {
        // The entry itself: a link in its place is refused, never followed.
        HANDLE file = CreateFileW(path.c_str(), access, 0, nullptr, disposition,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            if (IsPlainOpenEntry(file, path, false)) {
                return file;
            }
            CloseHandle(file);
            SetLastError(ERROR_REPARSE_ATTRIBUTE_CONFLICT);
            return INVALID_HANDLE_VALUE;
        }
        if (GetLastError() != ERROR_SHARING_VIOLATION ||
            GetTickCount() - start >= kStoreOpenTimeoutMs) {
            return INVALID_HANDLE_VALUE;
        }
        Sleep(kStoreOpenRetryMs);
    }
}

bool ProtectIdBytes(const std::string& plain, std::string& blob) {
    DATA_BLOB in = {static_cast<DWORD>(plain.size()),
                    reinterpret_cast<BYTE*>(const_cast<char*>(plain.data()))};
    DATA_BLOB entropy = {kEntropyLength, reinterpret_cast<BYTE*>(const_cast<char*>(kEntropy))};
    DATA_BLOB out = {};
    if (!CryptProtectData(&in, nullptr, &entropy, nullptr, nullptr, CRYPTPROTECT_LOCAL_MACHINE,
                          &out)) {
        return false;
    }
    blob.assign(reinterpret_cast<const char*>(out.pbData), out.cbData);
    LocalFree(out.pbData);
    return true;
}

bool UnprotectIdBytes(const std::string& blob, std::string& plain) {
    DATA_BLOB in = {static_cast<DWORD>(blob.size()),
                    reinterpret_cast<BYTE*>(const_cast<char*>(blob.data()))};
    DATA_BLOB entropy = {kEntropyLength, reinterpret_cast<BYTE*>(const_cast<char*>(kEntropy))};
    DATA_BLOB out = {};
    if (!CryptUnprotectData(&in, nullptr, &entropy, nullptr, nullptr, CRYPTPROTECT_LOCAL_MACHINE,
                            &out)) {
        return false;
    }
    plain.assign(reinterpret_cast<const char*>(out.pbData), out.cbData);
    LocalFree(out.pbData);
    return true;
}

bool ReadStoredId(std::wstring& id) {
    std::wstring folder;
    return GetStoreFolder(folder) && ReadStoredIdIn(folder, id);
}

bool ReadStoredIdIn(const std::wstring& folder, std::wstring& id) {
    FileHandle held;
    return OpenStoreFolder(folder, held) && ReadStoredIdAt(folder + L"\\data", id);
}

bool ReadStoredIdAt(const std::wstring& path, std::wstring& id) {
    std::string blob;
    {
        const FileHandle file(OpenStoreFileExclusive(path, GENERIC_READ, OPEN_EXISTING));
        if (!file) {
            return false;
        }
        char chunk[64];
        DWORD got = 0;
        while (ReadFile(file.Get(), chunk, sizeof chunk, &got, nullptr) && got > 0) {
            blob.append(chunk, got);
            if (blob.size() > kMaxStoredBytes) {
                return false;
            }
        }
    }
    if (blob.empty()) {
        return false;
    }
    std::string plain;
    if (!UnprotectIdBytes(blob, plain)) {
        return false;
    }
    id.assign(reinterpret_cast<const wchar_t*>(plain.data()), plain.size() / sizeof(wchar_t));
    return true;
}

bool StoreId(const std::wstring& id) {
    std::wstring folder;
    return GetStoreFolder(folder) && StoreIdIn(folder, id);
}

bool StoreIdIn(const std::wstring& folder, const std::wstring& id) {
    // Held open while the file is written, so the folder cannot be swapped
    // for a junction after it was looked at.
    FileHandle held;
    return OpenStoreFolder(folder, held) && StoreIdAt(folder + L"\\data", id);
}

bool StoreIdAt(const std::wstring& path, const std::wstring& id) {
    const std::string plain(reinterpret_cast<const char*>(id.data()), id.size() * sizeof(wchar_t));
    std::string blob;
    if (!ProtectIdBytes(plain, blob)) {
        return false;
    }
    DWORD written = 0;
    {
        // Opened as it is, then emptied: CREATE_ALWAYS would act on a link
        // before it could be looked at.
        const FileHandle file(OpenStoreFileExclusive(path, GENERIC_WRITE, OPEN_ALWAYS));
        if (!file) {
            return false;
        }
        if (!SetEndOfFile(file.Get()) ||
            !WriteFile(file.Get(), blob.data(), static_cast<DWORD>(blob.size()), &written,
                       nullptr)) {
            written = 0;
        }
    }
    if (written < blob.size()) {
        // Never leave a truncated blob for the next run to trip over.
        DeleteFileW(path.c_str());
        return false;
    }
    return true;
}

bool NewGuidString(std::wstring& text) {
    GUID guid;
    if (FAILED(CoCreateGuid(&guid))) {
        return false;
    }
    wchar_t braced[64] = {};
    const int length = StringFromGUID2(guid, braced, 64);
    if (length < 3) {
        return false;
    }
    // length counts the terminator; drop it and the braces.
    text.assign(braced + 1, static_cast<size_t>(length - 3));
    return true;
}
