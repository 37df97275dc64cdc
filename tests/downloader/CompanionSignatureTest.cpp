#include "downloader/CompanionSignature.h"
#include "downloader/DownloadSimpleTask.h"

#include "tests/downloader/DownloadRecorders.h"
#include "tests/downloader/ServerFixture.h"

#include <bcrypt.h>

#include <cstring>
#include <functional>

namespace {

using downloader::ITask;
using downloader::kErrorBadSignature;
using downloader::PackageKey;
using testutil::DownloadRecorder;
using testutil::MakeRecorder;
using testutil::PkgRequest;
using testutil::Ref;

constexpr long kIncorrectFormat = static_cast<long>(0x80072EFB);

// A P-256 public key as "openssl pkey -pubout" writes it, and its point.
const char kPem[] = "-----BEGIN PUBLIC KEY-----\n"
                    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEp116PT6aHDQoYwoqZJJFZaIIbWdJ\n"
                    "00qP6iPaunewQ9GC12AonYJN8Xm4B2ozZ+Yb3gwg1dHK6RcONocWp9ggaQ==\n"
                    "-----END PUBLIC KEY-----\n";
const char kPemBody[] = "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEp116PT6aHDQoYwoqZJJFZaIIbWdJ"
                        "00qP6iPaunewQ9GC12AonYJN8Xm4B2ozZ+Yb3gwg1dHK6RcONocWp9ggaQ==";
const char kPoint[] = "A75D7A3D3E9A1C3428630A2A64924565A2086D6749D34A8FEA23DABA77B043D1"
                      "82D760289D824DF179B8076A3367E61BDE0C20D5D1CAE9170E368716A7D82069";

std::string Hex(const uint8_t* bytes, size_t length) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

std::string Pem(const std::string& body, const char* label = "PUBLIC KEY") {
    return std::string("-----BEGIN ") + label + "-----\n" + body + "\n-----END " + label +
           "-----\n";
}

TEST(PackageKeyFromPem, TakesOnlyAnUncompressedP256PublicKey) {
    const std::string body = kPemBody;
    const struct {
        const char* what;
        std::string text;
        bool taken;
    } cases[] = {
        {"as openssl writes it", kPem, true},
        {"one line, CRLF, text around it", "key:\r\n" + Pem(body) + "trailer\r\n", true},
        {"blanks inside the base64", Pem(body.substr(0, 10) + " \t" + body.substr(10)), true},
        {"no block", body, false},
        {"no end line", "-----BEGIN PUBLIC KEY-----\n" + body + "\n", false},
        {"a private key block", Pem(body, "PRIVATE KEY"), false},
        {"a character outside base64", Pem(body.substr(0, 20) + "*" + body.substr(21)), false},
        {"padding missing", Pem(body.substr(0, body.size() - 2)), false},
        {"a group after the padding", Pem(body + "AAAA"), false},
        {"one character short", Pem(body.substr(1)), false},
        {"another curve (P-384)",
         Pem("MHYwEAYHKoZIzj0CAQYFK4EEACIDYgAEb/O8FQll0NF+fpxHVig5i4inZP1216xm"
             "FiHjVnd2DweWgzzOanusFWIX8N81g4b6kSP9PInPMGP/7gjiW42MJdM9sSxSSbWg"
             "PMtaunSfSBeYOlbiGiec0y7XE/7JU9P+"),
         false},
        {"the same key, compressed point",
         Pem("MDkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDIgADp116PT6aHDQoYwoqZJJFZaIIbWdJ00qP6iPaunewQ9E="),
         false},
        {"another algorithm (Ed25519)",
         Pem("MCowBQYDK2VwAyEAGeY1GPWwbzvKfHfM8D+0q0vZ7H7ZO3f81WdCrKGUpc8="), false},
    };
    for (const auto& c : cases) {
        PackageKey key;
        key.point.fill(0xEE);
        EXPECT_EQ(c.taken, downloader::PackageKeyFromPem(c.text, key)) << c.what;
        if (c.taken) {
            EXPECT_EQ(kPoint, Hex(key.point.data(), key.point.size())) << c.what;
        } else {
            EXPECT_EQ(std::string(128, 'E'), Hex(key.point.data(), key.point.size()))
                << c.what << ": left unchanged";
        }
    }
}

TEST(PackageKeyFromSpki, ChecksEveryByteBeforeThePointAndTheLength) {
    // The DER of kPem: 27 bytes of algorithm and framing, then X and Y.
    std::string der = {0x30,       0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, char(0x86), 0x48,
                       char(0xCE), 0x3D, 0x02, 0x01, 0x06, 0x08, 0x2A, char(0x86), 0x48,
                       char(0xCE), 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00,       0x04};
    for (int i = 0; i < 128; i += 2) {
        der += static_cast<char>(std::stoi(std::string(kPoint + i, 2), nullptr, 16));
    }
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(der.data());
    PackageKey key;
    ASSERT_TRUE(downloader::PackageKeyFromSpki(bytes, der.size(), key));
    EXPECT_EQ(kPoint, Hex(key.point.data(), 64));
    EXPECT_FALSE(downloader::PackageKeyFromSpki(bytes, der.size() - 1, key));
    EXPECT_FALSE(downloader::PackageKeyFromSpki(nullptr, der.size(), key));
    std::string longer = der + '\0';
    EXPECT_FALSE(downloader::PackageKeyFromSpki(reinterpret_cast<const uint8_t*>(longer.data()),
                                                longer.size(), key));
    for (size_t i = 0; i < 27; ++i) {
        std::string changed = der;
        changed[i] = static_cast<char>(changed[i] ^ 0x01);
        EXPECT_FALSE(downloader::PackageKeyFromSpki(
            reinterpret_cast<const uint8_t*>(changed.data()), changed.size(), key))
            << "byte " << i;
    }
}

TEST(SignatureHasItsLength, OnlySixtyFourBytes) {
    const struct {
        size_t length;
        bool valid;
    } cases[] = {{0, false}, {32, false}, {63, false}, {64, true}, {65, false}, {72, false}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.valid, downloader::SignatureHasItsLength(c.length)) << c.length;
    }
}

// A key pair made by CNG itself, for a second key and signatures the test makes.
class CngKeyPair {
public:
    CngKeyPair() {
        if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm_, BCRYPT_ECDSA_P256_ALGORITHM,
                                                        nullptr, 0)) ||
            !BCRYPT_SUCCESS(BCryptGenerateKeyPair(algorithm_, &key_, 256, 0)) ||
            !BCRYPT_SUCCESS(BCryptFinalizeKeyPair(key_, 0))) {
            return;
        }
        uint8_t blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64] = {};
        ULONG written = 0;
        ok_ = BCRYPT_SUCCESS(BCryptExportKey(key_, nullptr, BCRYPT_ECCPUBLIC_BLOB, blob,
                                             sizeof(blob), &written, 0)) &&
              written == sizeof(blob);
        std::memcpy(publicKey_.point.data(), blob + sizeof(BCRYPT_ECCKEY_BLOB), 64);
    }
    ~CngKeyPair() {
        if (key_ != nullptr) {
            BCryptDestroyKey(key_);
        }
        if (algorithm_ != nullptr) {
            BCryptCloseAlgorithmProvider(algorithm_, 0);
        }
    }
    CngKeyPair(const CngKeyPair&) = delete;
    CngKeyPair& operator=(const CngKeyPair&) = delete;

    bool ok() const { return ok_; }
    const PackageKey& publicKey() const { return publicKey_; }

    // r||s over SHA-256 of `data`.
    std::string Sign(const std::string& data) const {
        uint8_t digest[32] = {};
        BCRYPT_ALG_HANDLE sha = nullptr;
        if (!BCRYPT_SUCCESS(
                BCryptOpenAlgorithmProvider(&sha, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
            return std::string();
        }
        BCRYPT_HASH_HANDLE hash = nullptr;
        bool hashed = BCRYPT_SUCCESS(BCryptCreateHash(sha, &hash, nullptr, 0, nullptr, 0, 0));
        hashed = hashed &&
                 BCRYPT_SUCCESS(
                     BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())),
                                    static_cast<ULONG>(data.size()), 0)) &&
                 BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, sizeof(digest), 0));
        if (hash != nullptr) {
            BCryptDestroyHash(hash);
        }
        BCryptCloseAlgorithmProvider(sha, 0);
        std::string signature(64, '\0');
        ULONG written = 0;
        if (!hashed ||
            !BCRYPT_SUCCESS(BCryptSignHash(key_, nullptr, digest, sizeof(digest),
                                           reinterpret_cast<PUCHAR>(&signature[0]), 64, &written,
                                           0)) ||
            written != 64) {
            return std::string();
        }
        return signature;
    }

private:
    BCRYPT_ALG_HANDLE algorithm_ = nullptr;
    BCRYPT_KEY_HANDLE key_ = nullptr;
    PackageKey publicKey_;
    bool ok_ = false;
};

long Verify(const PackageKey& key, const std::string& data, const std::string& signature) {
    return downloader::VerifyCompanionSignature(key, data.data(), data.size(), signature.data(),
                                                signature.size());
}

TEST(VerifyCompanionSignature, AcceptsOnlyTheSignatureOfTheseBytesByThisKey) {
    CngKeyPair signer;
    CngKeyPair other;
    ASSERT_TRUE(signer.ok() && other.ok()) << "CNG could not make a P-256 key pair";
    const std::string companion = testutil::PatternBytes(8 + 20 * 3, 5);
    const std::string signature = signer.Sign(companion);
    ASSERT_EQ(64u, signature.size());

    std::string changedCompanion = companion;
    changedCompanion[30] = static_cast<char>(changedCompanion[30] ^ 0x01);
    std::string changedR = signature;
    changedR[0] = static_cast<char>(changedR[0] ^ 0x80);
    std::string changedS = signature;
    changedS[63] = static_cast<char>(changedS[63] ^ 0x01);
    PackageKey offCurve = signer.publicKey();
    offCurve.point[63] = static_cast<uint8_t>(offCurve.point[63] ^ 0x01);
    const struct {
        const char* what;
        const PackageKey& key;
        std::string data;
        std::string signature;
        long expected;
    } cases[] = {
        {"its own signature", signer.publicKey(), companion, signature, S_OK},
        {"another key", other.publicKey(), companion, signature, kErrorBadSignature},
        {"one bit of the companion changed", signer.publicKey(), changedCompanion, signature,
         kErrorBadSignature},
        {"a companion one byte longer", signer.publicKey(), companion + '\0', signature,
         kErrorBadSignature},
        {"r changed", signer.publicKey(), companion, changedR, kErrorBadSignature},
        {"s changed", signer.publicKey(), companion, changedS, kErrorBadSignature},
        {"63 bytes", signer.publicKey(), companion, signature.substr(0, 63), kErrorBadSignature},
        {"65 bytes", signer.publicKey(), companion, signature + '\0', kErrorBadSignature},
        {"empty", signer.publicKey(), companion, std::string(), kErrorBadSignature},
        {"a key that is not a point of the curve", offCurve, companion, signature,
         kErrorBadSignature},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, Verify(c.key, c.data, c.signature)) << c.what;
    }
}

// The verified download with and without a key, against the package server,
// which signs companions with the tree's package key (BC_PACKAGE_SIGNING_KEY).
class SignedCompanionTest : public testutil::ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        const std::wstring pem = testutil::Env(L"BC_PACKAGE_PUBLIC_KEY");
        ASSERT_FALSE(pem.empty()) << "no package key for the tests (scripts/build makes one)";
        ASSERT_TRUE(downloader::PackageKeyFromPem(
            testutil::ReadFileBytes(testutil::UnixToWindowsPath(pem)), treeKey))
            << "BC_PACKAGE_PUBLIC_KEY is not a P-256 public key";
    }

    // Publishes a package with its companion, signed by the tree's key.
    std::string PublishSigned(const std::wstring& name, size_t size, unsigned seed) {
        std::string bytes = Publish(name, size, seed);
        const std::string path(name.begin(), name.end());
        EXPECT_TRUE(server.Control("meta?path=/" + path));
        EXPECT_EQ(64u, testutil::ReadFileBytes(server.FilePath(name + L".meta.sig")).size());
        return bytes;
    }

    long Run(const std::wstring& name, const std::wstring& target, const PackageKey* key) {
        Ref<DownloadRecorder> recorder(MakeRecorder<DownloadRecorder>());
        return testutil::RunDownload(UrlOf(name), target, recorder.get(), key);
    }

    // The targets the server saw, in order.
    std::vector<std::string> Targets() const {
        std::vector<std::string> targets;
        for (const PkgRequest& request : server.Log()) {
            targets.push_back(request.target);
        }
        return targets;
    }

    PackageKey treeKey;
    testutil::ScratchFolder scratch;
};

void FlipByte(const std::wstring& path, size_t offset) {
    std::string bytes = testutil::ReadFileBytes(path);
    ASSERT_LT(offset, bytes.size());
    bytes[offset] = static_cast<char>(bytes[offset] ^ 0x01);
    ASSERT_TRUE(testutil::WriteFileBytes(path, bytes));
}

TEST_F(SignedCompanionTest, OnlyACompanionSignedByTheKeyLetsThePackageBeRequested) {
    CngKeyPair other;
    ASSERT_TRUE(other.ok());
    const std::wstring meta = server.FilePath(L"pkg.bin.meta");
    const std::wstring sig = meta + L".sig";
    const struct {
        const char* what;
        std::function<void()> change;
        const PackageKey* key;
        long expected;
        const char* signatureStatus; // rule for the signature's answer, or null
    } cases[] = {
        {"signed, valid", [] {}, &treeKey, S_OK, nullptr},
        {"signature missing", [&] { ASSERT_TRUE(DeleteFileW(sig.c_str())); }, &treeKey,
         kErrorBadSignature, nullptr},
        {"signature gone (410)", [] {}, &treeKey, kErrorBadSignature, "410"},
        {"another key", [] {}, &other.publicKey(), kErrorBadSignature, nullptr},
        {"one byte of the companion changed (a digest)", [&] { FlipByte(meta, 8 + 20 + 7); },
         &treeKey, kErrorBadSignature, nullptr},
        {"one byte of the companion changed (the size)", [&] { FlipByte(meta, 0); }, &treeKey,
         kErrorBadSignature, nullptr},
        {"the signature of another companion",
         [&] {
             ASSERT_TRUE(
                 CopyFileW(server.FilePath(L"other.bin.meta.sig").c_str(), sig.c_str(), FALSE));
         },
         &treeKey, kErrorBadSignature, nullptr},
        {"one byte of the signature changed", [&] { FlipByte(sig, 40); }, &treeKey,
         kErrorBadSignature, nullptr},
        {"63 bytes",
         [&] {
             ASSERT_TRUE(testutil::WriteFileBytes(sig, testutil::ReadFileBytes(sig).substr(0, 63)));
         },
         &treeKey, kErrorBadSignature, nullptr},
        {"65 bytes",
         [&] { ASSERT_TRUE(testutil::WriteFileBytes(sig, testutil::ReadFileBytes(sig) + 'x')); },
         &treeKey, kErrorBadSignature, nullptr},
        {"empty", [&] { ASSERT_TRUE(testutil::WriteFileBytes(sig, std::string())); }, &treeKey,
         kErrorBadSignature, nullptr},
        {"longer than any signature is fetched",
         [&] { ASSERT_TRUE(testutil::WriteFileBytes(sig, std::string(100000, 'x'))); }, &treeKey,
         kErrorBadSignature, nullptr},
        // A failure of the request is no answer about the companion: it is
        // reported as such (and may pass), still before the package.
        {"the server fails the signature's request", [] {}, &treeKey, kIncorrectFormat, "500"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(server.Reset());
        const std::string content = PublishSigned(L"pkg.bin", 3 * 1048576 + 5, 1);
        PublishSigned(L"other.bin", 3 * 1048576 + 5, 2);
        c.change();
        if (c.signatureStatus != nullptr) {
            ASSERT_TRUE(
                server.AddRule(std::string("path=/pkg.bin.meta.sig&status=") + c.signatureStatus));
        }
        // (Control requests are not logged: the log starts with the download.)
        const std::wstring target = scratch / L"pkg.bin";
        DeleteFileW(target.c_str());
        EXPECT_EQ(c.expected, Run(L"pkg.bin", target, c.key));

        const std::vector<std::string> targets = Targets();
        ASSERT_LE(2u, targets.size());
        EXPECT_EQ("/pkg.bin.meta", targets[0]);
        EXPECT_EQ("/pkg.bin.meta.sig", targets[1]);
        if (c.expected == S_OK) {
            EXPECT_EQ(std::vector<std::string>({"/pkg.bin.meta", "/pkg.bin.meta.sig", "/pkg.bin"}),
                      targets);
            EXPECT_TRUE(testutil::ReadFileBytes(target) == content);
        } else {
            EXPECT_EQ(2u, targets.size()) << "no package byte is requested after a refusal";
            EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(target.c_str()))
                << "the package file is not touched";
        }
    }
}

TEST_F(SignedCompanionTest, WithoutAKeyNoSignatureIsAskedFor) {
    const struct {
        const char* what;
        bool signatureServed;
    } cases[] = {{"a signature is served", true}, {"none is served", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(server.Reset());
        const std::string content = PublishSigned(L"plain.bin", 2 * 1048576 + 1, 3);
        if (!c.signatureServed) {
            ASSERT_TRUE(DeleteFileW(server.FilePath(L"plain.bin.meta.sig").c_str()));
        }
        const std::wstring target = scratch / L"plain.bin";
        DeleteFileW(target.c_str());
        EXPECT_EQ(S_OK, Run(L"plain.bin", target, nullptr));
        EXPECT_EQ(std::vector<std::string>({"/plain.bin.meta", "/plain.bin"}), Targets());
        EXPECT_TRUE(testutil::ReadFileBytes(target) == content);
    }
}

TEST_F(SignedCompanionTest, CancelWhileFetchingTheSignatureEndsBeforeThePackage) {
    PublishSigned(L"slow.bin", 1048576, 6);
    // The signature's answer stalls; Wine's WinINet ends the receive when the stall does.
    ASSERT_TRUE(server.AddRule("path=/slow.bin.meta.sig&stall=3"));
    const std::wstring target = scratch / L"slow.bin";
    Ref<DownloadRecorder> recorder(MakeRecorder<DownloadRecorder>());
    Ref<ITask> task(downloader::CreateDownloadSimpleTask(UrlOf(L"slow.bin").c_str(), target.c_str(),
                                                         recorder.get(), &treeKey));
    ASSERT_TRUE(task);
    task->Start();
    for (int i = 0; i < 100 && Targets().size() < 2; ++i) {
        Sleep(50);
    }
    ASSERT_EQ(2u, Targets().size()) << "the signature was asked for";
    task->Cancel();
    ASSERT_TRUE(recorder->WaitDone());
    EXPECT_EQ(E_ABORT, recorder->result());
    EXPECT_EQ(1, recorder->completions());
    EXPECT_EQ(std::vector<std::string>({"/slow.bin.meta", "/slow.bin.meta.sig"}), Targets());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(target.c_str()));
}

TEST_F(SignedCompanionTest, TheSignatureOfACompanionWithAQueryComesAfterTheQuery) {
    PublishSigned(L"q.bin", 1048576, 4);
    const std::wstring target = scratch / L"q.bin";
    EXPECT_EQ(S_OK, Run(L"q.bin?channel=7", target, &treeKey));
    EXPECT_EQ(std::vector<std::string>(
                  {"/q.bin?channel=7.meta", "/q.bin?channel=7.meta.sig", "/q.bin?channel=7"}),
              Targets());
}

} // namespace
