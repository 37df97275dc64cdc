#pragma once

#include "base/UniqueHandle.h"

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// This machine's identifier: "V-" + a random GUID on a virtual machine, "P-"
// + 36 characters derived from the lowest permanent MAC address on physical
// hardware. Made once per machine and kept DPAPI-protected (readable by every
// account) in "UniqueId\data" under the common application-data folder.

// Reported when no identifier can be had.
extern const wchar_t kMachineIdPlaceholder[]; // "X-XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX"
// Length of every identifier, stored or made.
constexpr size_t kMachineIdLength = 38;

// How long a storage file held open by another process is waited for, and
// the pause between attempts.
constexpr DWORD kStoreOpenTimeoutMs = 3000;
constexpr DWORD kStoreOpenRetryMs = 5;

// How long the query for the computer's model may take before the machine
// counts as physical.
constexpr long kWmiQueryTimeoutMs = 10000;

// The identifier, or the placeholder. Brackets its COM use with
// CoInitialize/CoUninitialize on the calling thread.
std::wstring GetMachineIdString();

// The identifier kept for this process, or a newly obtained one (then kept).
// False, with nothing kept, when none can be had; a later call tries again.
bool GetMachineId(std::wstring& id);

// What obtaining an identifier needs from the machine; GetMachineId uses the
// real ones below.
struct MachineIdSources {
    std::function<bool(bool& isVirtual)> isVirtualMachine;
    std::function<bool(std::vector<std::wstring>& macs)> getAdapterMacAddresses;
    std::function<bool(std::wstring& id)> readStoredId;
    std::function<bool(const std::wstring& id)> storeId;
};

// Whether a stored text can serve as the identifier: 38 units, each an ASCII
// letter, digit or hyphen. Its prefix is not examined.
bool IsUsableStoredId(const std::wstring& id);

// The identifier for a machine described by `sources`, without the process
// cache: a usable stored identifier wins; otherwise a virtual
// machine gets a new "V-" identifier (used only when it could be stored), a
// physical one the "P-" identifier of its lowest MAC address (stored, used
// even when storing fails).
bool ObtainMachineId(const MachineIdSources& sources, std::wstring& id);

// True when WMI answered; `isVirtual` tells whether the computer's model and
// manufacturer are those of a known virtual machine. COM must be initialised.
bool IsVirtualMachine(bool& isVirtual);

// Whether a (model, manufacturer) pair names a known virtual machine; exact,
// case-sensitive.
bool IsVirtualMachineModel(const std::wstring& model, const std::wstring& manufacturer);

// Permanent MAC addresses of the physical network adapters, "%02X:..." texts
// in enumeration order. False when there is none.
bool GetAdapterMacAddresses(std::vector<std::wstring>& macs);

// Whether an adapter looks like physical hardware: "root", "usb" and "bth"
// (any case) do not start in the first eight characters of its device path,
// and "microsoft" (this case only) does not start in the first eight of its
// description.
bool IsPhysicalAdapter(const std::wstring& devicePath, const std::wstring& description);

// "%02X:%02X:%02X:%02X:%02X:%02X".
std::wstring FormatMacAddress(const BYTE address[6]);

// "P-" + 36 characters in GUID layout made by cycling the letters and digits
// of the lowest (code-unit order) MAC text. False for an empty list or texts
// without letters or digits.
bool MachineIdFromMacAddresses(std::vector<std::wstring> macs, std::wstring& id);

// The storage folder, "UniqueId" under the common application-data folder.
bool GetStoreFolder(std::wstring& folder);

// The storage file's full path, with its folder created; false when the
// folder cannot be had or is not a plain folder (OpenStoreFolder).
bool GetStoredIdPath(std::wstring& path);

// Whether a storage entry is plain, from the attributes of its path and of a
// handle opened on the entry itself: no reparse point (a junction or a
// symbolic link, through which an elevated write would land elsewhere), a
// folder where a folder is expected and a file with one name otherwise (a
// hard link would be another file's second name).
bool IsPlainEntry(DWORD pathAttributes, DWORD handleAttributes, DWORD links, bool folder);

// Creates `folder` when missing and opens it, without following a reparse
// point and without delete sharing (it cannot be renamed or replaced while
// held). False, nothing held, when it is not a plain folder.
bool OpenStoreFolder(const std::wstring& folder, FileHandle& handle);

// The stored identifier, read from the default file, from "data" in
// `folder` (held as OpenStoreFolder holds it), or from `path`. Nothing is read
// through a reparse point.
bool ReadStoredId(std::wstring& id);
bool ReadStoredIdIn(const std::wstring& folder, std::wstring& id);
bool ReadStoredIdAt(const std::wstring& path, std::wstring& id);

// Protects and writes `id` to the default file, to "data" in `folder` (held
// as OpenStoreFolder holds it) or to `path`; a short write removes the file.
// Nothing is stored where the folder or the file is not plain.
bool StoreId(const std::wstring& id);
bool StoreIdIn(const std::wstring& folder, const std::wstring& id);
bool StoreIdAt(const std::wstring& path, const std::wstring& id);

// DPAPI protection as the storage file holds it: machine scope, fixed entropy.
bool ProtectIdBytes(const std::string& plain, std::string& blob);
bool UnprotectIdBytes(const std::string& blob, std::string& plain);

// Opens `path` without sharing, retrying while another holder has it open
// (up to kStoreOpenTimeoutMs). INVALID_HANDLE_VALUE on failure, also when the
// entry is not a plain file (IsPlainEntry); a link is never followed.
HANDLE OpenStoreFileExclusive(const std::wstring& path, DWORD access, DWORD disposition);

// A new GUID as 36 upper-case characters without braces; `text` is left
// unchanged on failure.
bool NewGuidString(std::wstring& text);
