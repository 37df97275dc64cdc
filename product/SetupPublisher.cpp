#include "product/SetupPublisher.h"

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <vector>

namespace tlw {

PublisherVerdict DecideSetupPublisher(const SignatureFacts& program, const SignatureFacts& setup) {
    if (program.trust == TRUST_E_NOSIGNATURE) {
        return PublisherVerdict::RunUnsignedProgram;
    }
    if (program.subject.empty() || setup.trust != S_OK || setup.subject.empty() ||
        setup.subject != program.subject) {
        return PublisherVerdict::Refuse;
    }
    return PublisherVerdict::Run;
}

long PublisherRefusalCode(const SignatureFacts& setup) {
    return setup.trust != S_OK ? setup.trust : TRUST_E_SUBJECT_NOT_TRUSTED;
}

namespace {

// WinVerifyTrust's generic verify action without any UI. No revocation
// check: it would go to the network for certificate revocation lists while
// the install waits, and fail offline or behind a proxy that needs sign-in;
// what it would catch, a revoked vendor certificate, also signed this very
// program.
long VerifyTrust(const std::wstring& path, HANDLE file) {
    WINTRUST_FILE_INFO info = {};
    info.cbStruct = sizeof info;
    info.pcwszFilePath = path.c_str();
    info.hFile = file != INVALID_HANDLE_VALUE ? file : nullptr;
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &info;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_REVOCATION_CHECK_NONE;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const long result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return result;
}

// The subject of the certificate that signed the file's embedded signature,
// as an X.500 string; empty when there is none or it cannot be read.
std::wstring SignerSubject(const std::wstring& path) {
    HCERTSTORE store = nullptr;
    HCRYPTMSG message = nullptr;
    DWORD encoding = 0, content = 0, format = 0;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(),
                          CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY,
                          0, &encoding, &content, &format, &store, &message, nullptr)) {
        return std::wstring();
    }
    std::wstring subject;
    DWORD size = 0;
    // The signer's issuer and serial number name its certificate in the store.
    if (CryptMsgGetParam(message, CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr, &size) && size > 0 &&
        size < 64 * 1024) {
        std::vector<BYTE> buffer(size);
        if (CryptMsgGetParam(message, CMSG_SIGNER_CERT_INFO_PARAM, 0, buffer.data(), &size)) {
            PCCERT_CONTEXT signer = CertFindCertificateInStore(
                store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_SUBJECT_CERT,
                reinterpret_cast<CERT_INFO*>(buffer.data()), nullptr);
            if (signer) {
                DWORD type = CERT_X500_NAME_STR;
                const DWORD length =
                    CertGetNameStringW(signer, CERT_NAME_RDN_TYPE, 0, &type, nullptr, 0);
                if (length > 1) {
                    std::vector<wchar_t> name(length);
                    CertGetNameStringW(signer, CERT_NAME_RDN_TYPE, 0, &type, name.data(), length);
                    subject = name.data();
                }
                CertFreeCertificateContext(signer);
            }
        }
    }
    CryptMsgClose(message);
    CertCloseStore(store, 0);
    return subject;
}

} // namespace

SignatureFacts ReadSignature(const std::wstring& path, HANDLE file) {
    SignatureFacts facts;
    facts.trust = VerifyTrust(path, file);
    if (facts.trust != TRUST_E_NOSIGNATURE) {
        facts.subject = SignerSubject(path);
    }
    return facts;
}

} // namespace tlw
