#include "downloader/Sha1.h"

#include <cpuid.h>
#include <immintrin.h>

#include <atomic>
#include <cstring>

namespace downloader {

namespace {

std::atomic<bool> platformOnly{false};

#define BC_SHA_TARGET __attribute__((target("sha,ssse3,sse4.1")))
// 32-bit Windows keeps the stack aligned to 4 bytes only, and the SSE
// instructions that take a spilled vector from the stack need 16.
#if defined(__i386__)
#define BC_SHA_ENTRY BC_SHA_TARGET __attribute__((force_align_arg_pointer))
#else
#define BC_SHA_ENTRY BC_SHA_TARGET
#endif

// Four of the 80 rounds, group `i` of 20: extends the message schedule held
// in `w` (the last four groups of words, group i at w[i % 4]) and runs the
// rounds with the round function F. `prev` is the state before the group
// before, whose A gives this group's E.
template <int F>
BC_SHA_TARGET __attribute__((always_inline)) inline void Rounds(int i, __m128i* w, __m128i& prev,
                                                                __m128i& abcd) {
    if (i >= 4) {
        w[i % 4] = _mm_sha1msg2_epu32(
            _mm_xor_si128(_mm_sha1msg1_epu32(w[i % 4], w[(i + 1) % 4]), w[(i + 2) % 4]),
            w[(i + 3) % 4]);
    }
    const __m128i e = _mm_sha1nexte_epu32(prev, w[i % 4]);
    prev = abcd;
    abcd = _mm_sha1rnds4_epu32(abcd, e, F);
}

// `count` groups from `first`, all with the round function F.
template <int F>
BC_SHA_TARGET __attribute__((always_inline)) inline void Groups(int first, int count, __m128i* w,
                                                                __m128i& prev, __m128i& abcd) {
#pragma GCC unroll 5
    for (int i = first; i < first + count; ++i) {
        Rounds<F>(i, w, prev, abcd);
    }
}

// Runs the compression over `blocks` whole 64-byte blocks.
BC_SHA_ENTRY void Compress(uint32_t state[5], const uint8_t* data, size_t blocks) {
    // The words are big-endian; the instructions take A..D with A highest.
    const __m128i swap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
    __m128i abcd =
        _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
    __m128i e = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
    for (; blocks != 0; --blocks, data += 64) {
        const __m128i abcdBefore = abcd;
        const __m128i eBefore = e;
        __m128i w[4];
        for (int i = 0; i < 4; ++i) {
            w[i] = _mm_shuffle_epi8(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), swap);
        }
        __m128i prev = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, _mm_add_epi32(e, w[0]), 0);
        Groups<0>(1, 4, w, prev, abcd);
        Groups<1>(5, 5, w, prev, abcd);
        Groups<2>(10, 5, w, prev, abcd);
        Groups<3>(15, 5, w, prev, abcd);
        e = _mm_sha1nexte_epu32(prev, eBefore);
        abcd = _mm_add_epi32(abcd, abcdBefore);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1B));
    state[4] = static_cast<uint32_t>(_mm_extract_epi32(e, 3));
}

bool DetectSha1Instructions() {
    unsigned int a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) {
        return false;
    }
    const bool ssse3 = (c & bit_SSSE3) != 0;
    const bool sse41 = (c & bit_SSE4_1) != 0;
    if (__get_cpuid_max(0, nullptr) < 7) {
        return false;
    }
    a = b = c = d = 0;
    __cpuid_count(7, 0, a, b, c, d);
    return ssse3 && sse41 && (b & bit_SHA) != 0;
}

} // namespace

bool ProcessorHasSha1() {
    static const bool has = DetectSha1Instructions();
    return has;
}

void Sha1WithProcessor(const void* data, size_t size, uint8_t digest[20]) {
    uint32_t state[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    const size_t whole = size / 64;
    Compress(state, bytes, whole);
    // The padding: 0x80, zeros, and the length in bits, big-endian, ending a
    // block; one more block when fewer than 9 bytes are left in this one.
    uint8_t tail[128] = {};
    const size_t rest = size % 64;
    memcpy(tail, bytes + whole * 64, rest);
    tail[rest] = 0x80;
    const size_t tailSize = rest < 56 ? 64 : 128;
    const uint64_t bits = static_cast<uint64_t>(size) * 8;
    for (int i = 0; i < 8; ++i) {
        tail[tailSize - 1 - i] = static_cast<uint8_t>(bits >> (8 * i));
    }
    Compress(state, tail, tailSize / 64);
    for (int i = 0; i < 5; ++i) {
        for (int j = 0; j < 4; ++j) {
            digest[4 * i + j] = static_cast<uint8_t>(state[i] >> (24 - 8 * j));
        }
    }
}

bool UsePlatformSha1Only(bool only) {
    return platformOnly.exchange(only);
}

Sha1Hasher::~Sha1Hasher() {
    if (provider_ != 0) {
        CryptReleaseContext(provider_, 0);
    }
}

bool Sha1Hasher::Digest(const void* data, size_t size, uint8_t digest[20]) {
    if (!platformOnly.load() && ProcessorHasSha1()) {
        Sha1WithProcessor(data, size, digest);
        return true;
    }
    if (provider_ == 0 &&
        !CryptAcquireContextW(&provider_, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        provider_ = 0;
        return false;
    }
    HCRYPTHASH hash = 0;
    if (!CryptCreateHash(provider_, CALG_SHA1, 0, 0, &hash)) {
        return false;
    }
    DWORD length = 20;
    bool ok = CryptHashData(hash, static_cast<const BYTE*>(data), static_cast<DWORD>(size), 0) &&
              CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0) && length == 20;
    if (!CryptDestroyHash(hash)) {
        ok = false;
    }
    return ok;
}

bool Sha1Digest(const void* data, size_t size, uint8_t digest[20]) {
    Sha1Hasher hasher;
    return hasher.Digest(data, size, digest);
}

} // namespace downloader
