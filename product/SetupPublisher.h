#pragma once

#include <windows.h>

#include <string>

namespace tlw {

// Whether the package's setup may run: it must carry a signature that
// WinVerifyTrust accepts, made by the signer of this program itself. A
// package that fits its companion may still come from whoever served both;
// only the signer ties setup to the maker of this program. A developer build
// carries no signature, so there is nothing to compare with: setup runs.

// What the two files' signatures say, as read by ReadSignature.
struct SignatureFacts {
    // WinVerifyTrust's answer (generic verify action, no UI, no revocation
    // check): 0 when accepted; TRUST_E_NOSIGNATURE (0x800B0100) unsigned;
    // TRUST_E_BAD_DIGEST (0x80096010) changed since it was signed.
    long trust = E_FAIL;
    // The signer certificate's subject as an X.500 string; empty when it
    // could not be read.
    std::wstring subject;
};

enum class PublisherVerdict {
    Run,                // accepted, and the same signer as this program
    RunUnsignedProgram, // this program is unsigned: no signer to compare with
    Refuse,
};

// The rule, as a function of values: this program unsigned -> run
// (skipped); this program's signer unknown, setup not accepted, setup's
// signer unknown or a different subject -> refuse; otherwise run.
PublisherVerdict DecideSetupPublisher(const SignatureFacts& program, const SignatureFacts& setup);

// The failureCode of a refusal: setup's trust result when WinVerifyTrust
// refused it, otherwise TRUST_E_SUBJECT_NOT_TRUSTED (another signer, or a
// signer that could not be read).
long PublisherRefusalCode(const SignatureFacts& setup);

// WinVerifyTrust on the file open on `file` (named `path`), then the signer's
// subject from its embedded signature. `file` may be INVALID_HANDLE_VALUE:
// the path is opened then.
SignatureFacts ReadSignature(const std::wstring& path, HANDLE file);

} // namespace tlw
