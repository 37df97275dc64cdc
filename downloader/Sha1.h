#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <cstddef>
#include <cstdint>

namespace downloader {

// SHA-1 digests for the package's blocks. Where the processor has the SHA
// instructions, they hash (two to three times the speed of the platform's
// SHA-1 here, which otherwise takes most of a core during a download);
// elsewhere CryptoAPI does, with one provider context acquired for the first
// digest and kept (acquiring one per block costs several times the hashing
// itself where the provider is set up anew each time its last context is
// released) and a fresh hash object for each digest.
class Sha1Hasher {
public:
    Sha1Hasher() = default;
    ~Sha1Hasher();
    Sha1Hasher(const Sha1Hasher&) = delete;
    Sha1Hasher& operator=(const Sha1Hasher&) = delete;

    // False when a CryptoAPI call fails; the processor's hashing cannot.
    bool Digest(const void* data, size_t size, uint8_t digest[20]);

private:
    HCRYPTPROV provider_ = 0;
};

// SHA-1 of `size` bytes as Sha1Hasher gives it, with a hasher of its own.
bool Sha1Digest(const void* data, size_t size, uint8_t digest[20]);

// The processor has the SHA instructions and the SSSE3 and SSE4.1 ones that
// the hashing with them needs.
bool ProcessorHasSha1();

// SHA-1 of `size` bytes with the processor's SHA instructions; only where
// ProcessorHasSha1().
void Sha1WithProcessor(const void* data, size_t size, uint8_t digest[20]);

// Makes every Sha1Hasher use CryptoAPI (true), or the processor again where it
// can (false); returns the previous setting. For the tests of what a failing
// CryptoAPI does to the hashing; the program never sets it.
bool UsePlatformSha1Only(bool only);

} // namespace downloader
