#pragma once

// The signed companion: the vendor signs the exact bytes of a package's
// ".meta" companion with its package key (ECDSA on P-256 over SHA-256) and
// publishes the signature, raw r||s, next to it as ".meta.sig". A download
// handed the public key refuses a companion whose signature is missing,
// malformed or wrong, so a server on the path cannot describe a package of
// its own.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace downloader {

// The public point of a P-256 package key: X then Y, 32 bytes each, big-endian.
struct PackageKey {
    std::array<uint8_t, 64> point = {};
};

// NTE_BAD_SIGNATURE: the companion's signature is missing (404 or 410),
// malformed (not kSignatureBytes long) or does not verify with the key. The
// companion cannot be trusted; asking the same server again cannot change
// that, so the download is not retried.
constexpr long kErrorBadSignature = static_cast<long>(0x80090006UL);

// A signature is r then s, 32 bytes each, big-endian.
constexpr size_t kSignatureBytes = 64;
// The signature's fetch is bounded by this: a few bytes more than a valid one,
// so that a longer answer is read whole and refused for its length, and a
// server that announces more is refused before anything is read.
constexpr int64_t kMaxSignatureFetchBytes = 256;

// Whether a fetched signature has the one length a valid one has.
constexpr bool SignatureHasItsLength(size_t length) {
    return length == kSignatureBytes;
}

// The key of a DER SubjectPublicKeyInfo of an EC public key on P-256 in
// uncompressed form (what "openssl pkey -pubout" writes): false for anything
// else, and `key` is left unchanged then.
bool PackageKeyFromSpki(const uint8_t* der, size_t length, PackageKey& key);

// The key of a PEM "PUBLIC KEY" block (base64 of the SubjectPublicKeyInfo
// above, with blanks and line breaks anywhere in it); text before the block
// and after it is ignored. False when there is no such block, its base64 is
// broken or it does not hold a P-256 key.
bool PackageKeyFromPem(const std::string& text, PackageKey& key);

// Verifies `signature` over SHA-256 of the companion bytes with CNG
// (bcrypt.dll, loaded on first use). S_OK when it verifies; kErrorBadSignature
// when it has the wrong length, does not verify, or the key is not a point CNG
// accepts; E_OUTOFMEMORY when CNG has no memory for the check.
long VerifyCompanionSignature(const PackageKey& key, const void* companion, size_t companionBytes,
                              const void* signature, size_t signatureBytes);

} // namespace downloader
