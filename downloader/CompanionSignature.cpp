#include "downloader/CompanionSignature.h"

#include "base/UniqueHandle.h"

#include <windows.h>

#include <bcrypt.h>

#include <cstring>
#include <vector>

namespace downloader {

namespace {

// SubjectPublicKeyInfo { AlgorithmIdentifier { id-ecPublicKey, prime256v1 },
// BIT STRING { 0 unused bits, 0x04 (uncompressed) ... } }: everything but X
// and Y. A key in any other form (another curve, explicit parameters, a
// compressed point) is not ours.
const uint8_t kP256SpkiPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48,
                                   0xCE, 0x3D, 0x02, 0x01, 0x06, 0x08, 0x2A, 0x86, 0x48,
                                   0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '+') {
        return 62;
    }
    if (c == '/') {
        return 63;
    }
    return -1;
}

// Strict base64: the alphabet, blanks and line breaks between characters,
// '=' only as the padding of the last group, whole groups of four.
bool DecodeBase64(const std::string& text, std::vector<uint8_t>& out) {
    out.clear();
    uint32_t group = 0;
    int inGroup = 0;
    int padding = 0;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            continue;
        }
        if (c == '=') {
            if (inGroup < 2 || ++padding > 2) {
                return false;
            }
            group <<= 6;
            ++inGroup;
        } else {
            const int value = Base64Value(c);
            if (value < 0 || padding > 0) {
                return false;
            }
            group = (group << 6) | static_cast<uint32_t>(value);
            ++inGroup;
        }
        if (inGroup == 4) {
            out.push_back(static_cast<uint8_t>(group >> 16));
            if (padding < 2) {
                out.push_back(static_cast<uint8_t>(group >> 8));
            }
            if (padding < 1) {
                out.push_back(static_cast<uint8_t>(group));
            }
            group = 0;
            inGroup = 0;
            if (padding > 0) {
                padding = 3; // nothing may follow a padded group
            }
        }
    }
    return inGroup == 0;
}

struct AlgorithmTraits {
    typedef BCRYPT_ALG_HANDLE Type;
    static BCRYPT_ALG_HANDLE Invalid() { return nullptr; }
    static void Close(BCRYPT_ALG_HANDLE handle) { BCryptCloseAlgorithmProvider(handle, 0); }
};
struct KeyTraits {
    typedef BCRYPT_KEY_HANDLE Type;
    static BCRYPT_KEY_HANDLE Invalid() { return nullptr; }
    static void Close(BCRYPT_KEY_HANDLE handle) { BCryptDestroyKey(handle); }
};
struct HashTraits {
    typedef BCRYPT_HASH_HANDLE Type;
    static BCRYPT_HASH_HANDLE Invalid() { return nullptr; }
    static void Close(BCRYPT_HASH_HANDLE handle) { BCryptDestroyHash(handle); }
};

constexpr NTSTATUS kStatusNoMemory = static_cast<NTSTATUS>(0xC0000017L);

long ResultOfFailure(NTSTATUS status) {
    return status == kStatusNoMemory ? E_OUTOFMEMORY : kErrorBadSignature;
}

} // namespace

bool PackageKeyFromSpki(const uint8_t* der, size_t length, PackageKey& key) {
    const size_t prefix = sizeof(kP256SpkiPrefix);
    if (der == nullptr || length != prefix + 64 || std::memcmp(der, kP256SpkiPrefix, prefix) != 0) {
        return false;
    }
    std::memcpy(key.point.data(), der + prefix, 64);
    return true;
}

bool PackageKeyFromPem(const std::string& text, PackageKey& key) {
    static const char kBegin[] = "-----BEGIN PUBLIC KEY-----";
    static const char kEnd[] = "-----END PUBLIC KEY-----";
    const size_t begin = text.find(kBegin);
    if (begin == std::string::npos) {
        return false;
    }
    const size_t body = begin + sizeof(kBegin) - 1;
    const size_t end = text.find(kEnd, body);
    if (end == std::string::npos) {
        return false;
    }
    std::vector<uint8_t> der;
    return DecodeBase64(text.substr(body, end - body), der) &&
           PackageKeyFromSpki(der.data(), der.size(), key);
}

long VerifyCompanionSignature(const PackageKey& key, const void* companion, size_t companionBytes,
                              const void* signature, size_t signatureBytes) {
    if (!SignatureHasItsLength(signatureBytes) || signature == nullptr ||
        (companion == nullptr && companionBytes != 0) || companionBytes > 0xFFFFFFFFu) {
        return kErrorBadSignature;
    }
    // SHA-256 of the exact bytes. BCryptCreateHash with a buffer CNG keeps
    // itself: Windows 7 has no BCryptHash.
    UniqueHandle<AlgorithmTraits> sha256;
    NTSTATUS status =
        BCryptOpenAlgorithmProvider(sha256.Receive(), BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    if (!BCRYPT_SUCCESS(status)) {
        return ResultOfFailure(status);
    }
    UniqueHandle<HashTraits> hash;
    status = BCryptCreateHash(sha256.Get(), hash.Receive(), nullptr, 0, nullptr, 0, 0);
    if (!BCRYPT_SUCCESS(status)) {
        return ResultOfFailure(status);
    }
    uint8_t digest[32] = {};
    status = BCryptHashData(hash.Get(), static_cast<PUCHAR>(const_cast<void*>(companion)),
                            static_cast<ULONG>(companionBytes), 0);
    if (BCRYPT_SUCCESS(status)) {
        status = BCryptFinishHash(hash.Get(), digest, sizeof(digest), 0);
    }
    if (!BCRYPT_SUCCESS(status)) {
        return ResultOfFailure(status);
    }

    UniqueHandle<AlgorithmTraits> ecdsa;
    status = BCryptOpenAlgorithmProvider(ecdsa.Receive(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
    if (!BCRYPT_SUCCESS(status)) {
        return ResultOfFailure(status);
    }
    struct {
        BCRYPT_ECCKEY_BLOB header;
        uint8_t point[64];
    } blob = {};
    blob.header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    blob.header.cbKey = 32;
    std::memcpy(blob.point, key.point.data(), sizeof(blob.point));
    static_assert(sizeof(blob) == sizeof(BCRYPT_ECCKEY_BLOB) + 64, "the blob has no padding");
    UniqueHandle<KeyTraits> publicKey;
    status = BCryptImportKeyPair(ecdsa.Get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, publicKey.Receive(),
                                 reinterpret_cast<PUCHAR>(&blob), sizeof(blob), 0);
    if (!BCRYPT_SUCCESS(status)) {
        return ResultOfFailure(status);
    }
    status = BCryptVerifySignature(publicKey.Get(), nullptr, digest, sizeof(digest),
                                   static_cast<PUCHAR>(const_cast<void*>(signature)),
                                   static_cast<ULONG>(signatureBytes), 0);
    return BCRYPT_SUCCESS(status) ? S_OK : ResultOfFailure(status);
}

} // namespace downloader
