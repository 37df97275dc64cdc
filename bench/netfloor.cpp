// netfloor URL FILE
//
// The least a verified download can cost on this platform, for the
// download benchmark: a plain synchronous WinINet read of the whole resource
// into FILE (1 MiB reads, no range, no verification), then the SHA-1 of FILE
// in 1 MiB blocks through CryptoAPI (one provider context, one hash object
// per block). Prints "bytes N", "download_ms N", "hash_ms N" and "blocks N"
// on stdout; exits 0 on success, 1 on any failure (with a message on stderr).

#include <windows.h>
#include <wincrypt.h>
#include <wininet.h>

#include <cstdio>
#include <vector>

namespace {

constexpr DWORD kBlock = 1048576;

int Fail(const char* what) {
    std::fprintf(stderr, "netfloor: %s failed (error %lu)\n", what, GetLastError());
    return 1;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: netfloor URL FILE\n");
        return 1;
    }
    std::vector<BYTE> buffer(kBlock);

    const DWORD downloadStart = GetTickCount();
    HINTERNET root = InternetOpenA("netfloor", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (root == nullptr) {
        return Fail("InternetOpenA");
    }
    DWORD timeout = 30000;
    InternetSetOptionA(root, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);
    HINTERNET request = InternetOpenUrlW(root, argv[1], nullptr, 0,
                                         INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                             INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_UI,
                                         0);
    if (request == nullptr) {
        return Fail("InternetOpenUrlW");
    }
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                        nullptr) ||
        status != 200) {
        std::fprintf(stderr, "netfloor: status %lu\n", status);
        return 1;
    }
    HANDLE file = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return Fail("CreateFileW");
    }
    long long bytes = 0;
    for (;;) {
        DWORD got = 0;
        if (!InternetReadFile(request, buffer.data(), kBlock, &got)) {
            return Fail("InternetReadFile");
        }
        if (got == 0) {
            break;
        }
        DWORD written = 0;
        if (!WriteFile(file, buffer.data(), got, &written, nullptr) || written != got) {
            return Fail("WriteFile");
        }
        bytes += got;
    }
    CloseHandle(file);
    InternetCloseHandle(request);
    InternetCloseHandle(root);
    const DWORD downloadMs = GetTickCount() - downloadStart;

    const DWORD hashStart = GetTickCount();
    file = CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return Fail("CreateFileW for reading");
    }
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        return Fail("CryptAcquireContextW");
    }
    long blocks = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer.data(), kBlock, &got, nullptr)) {
            return Fail("ReadFile");
        }
        if (got == 0) {
            break;
        }
        HCRYPTHASH hash = 0;
        BYTE digest[20];
        DWORD digestSize = sizeof digest;
        if (!CryptCreateHash(provider, CALG_SHA1, 0, 0, &hash) ||
            !CryptHashData(hash, buffer.data(), got, 0) ||
            !CryptGetHashParam(hash, HP_HASHVAL, digest, &digestSize, 0)) {
            return Fail("hashing");
        }
        CryptDestroyHash(hash);
        ++blocks;
    }
    CryptReleaseContext(provider, 0);
    CloseHandle(file);
    const DWORD hashMs = GetTickCount() - hashStart;

    std::printf("bytes %lld\ndownload_ms %lu\nhash_ms %lu\nblocks %ld\n", bytes, downloadMs, hashMs,
                blocks);
    return 0;
}
