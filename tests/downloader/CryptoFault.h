#pragma once

#include "downloader/Sha1.h"

#include <windows.h>

#include <string>

namespace testutil {

// Makes CryptoAPI unable to give a default provider of type PROV_RSA_FULL
// while it lives: the user's default provider for that type (the per-user
// setting that CryptAcquireContext reads before the machine's) names one that
// is not installed, so acquiring a context without a provider name fails, as
// on a machine whose cryptographic configuration is damaged. The previous
// setting comes back at the end; a setting of ours that a crashed run left
// behind is removed first. The package's hashing uses CryptoAPI meanwhile,
// also where the processor would hash.
class BrokenDefaultHashProvider {
public:
    BrokenDefaultHashProvider() : platformOnlyBefore_(downloader::UsePlatformSha1Only(true)) {
        Restore(); // a leftover of an earlier, interrupted run
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr) != ERROR_SUCCESS) {
            return;
        }
        wchar_t previous[256] = {};
        DWORD size = sizeof previous - sizeof(wchar_t);
        DWORD type = 0;
        if (RegQueryValueExW(key, L"Name", nullptr, &type, reinterpret_cast<BYTE*>(previous),
                             &size) == ERROR_SUCCESS &&
            type == REG_SZ) {
            hadPrevious_ = true;
            previous_ = previous;
        }
        active_ = RegSetValueExW(key, L"Name", 0, REG_SZ, reinterpret_cast<const BYTE*>(kMissing),
                                 sizeof kMissing) == ERROR_SUCCESS;
        RegCloseKey(key);
    }
    ~BrokenDefaultHashProvider() {
        downloader::UsePlatformSha1Only(platformOnlyBefore_);
        if (!active_) {
            return;
        }
        if (hadPrevious_) {
            HKEY key = nullptr;
            if (RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
                RegSetValueExW(key, L"Name", 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(previous_.c_str()),
                               static_cast<DWORD>((previous_.size() + 1) * sizeof(wchar_t)));
                RegCloseKey(key);
            }
        } else {
            Restore();
        }
    }
    BrokenDefaultHashProvider(const BrokenDefaultHashProvider&) = delete;
    BrokenDefaultHashProvider& operator=(const BrokenDefaultHashProvider&) = delete;

    bool active() const { return active_; }

private:
    static constexpr const wchar_t* kKey = L"Software\\Microsoft\\Cryptography\\Provider Type 001";
    static constexpr wchar_t kMissing[] = L"bc-tests provider that is not installed";

    // Removes the setting when it is ours.
    static void Restore() {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
            return;
        }
        wchar_t value[256] = {};
        DWORD size = sizeof value - sizeof(wchar_t);
        DWORD type = 0;
        const bool ours =
            RegQueryValueExW(key, L"Name", nullptr, &type, reinterpret_cast<BYTE*>(value), &size) ==
                ERROR_SUCCESS &&
            type == REG_SZ && std::wstring(value) == kMissing;
        if (ours) {
            RegDeleteValueW(key, L"Name");
        }
        DWORD subKeys = 0;
        DWORD values = 0;
        const bool empty =
            RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values,
                             nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
            subKeys == 0 && values == 0;
        RegCloseKey(key);
        // An empty key of ours would still hide the machine's default.
        if (ours && empty) {
            RegDeleteKeyW(HKEY_CURRENT_USER, kKey);
        }
    }

    bool platformOnlyBefore_;
    bool active_ = false;
    bool hadPrevious_ = false;
    std::wstring previous_;
};

} // namespace testutil
