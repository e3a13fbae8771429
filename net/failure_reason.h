#pragma once
// Why a download failed, in the terms its user can act on, and the one wording of each
// reason: the progress dialog's box, the install log and applib all say FailureWords.

#include <windows.h>

#include <string>
#include <utility>

#include "net/download.h"

enum class FailureKind {
    None,
    Network,       // no connection, a time-out, a dropped connection
    Certificate,   // the host's certificate was refused: `code` is WinINet's error
    HostStatus,    // the host answered with status `code` (404, 403, 410, 5xx...)
    WebPage,       // a web page came instead of the file: the network may want a login first
    HashMismatch,  // the whole file came, and is not the one the catalogue names
    // The whole file came, and its signature does not vouch for it:
    Unsigned,         // it carries none
    BadSignature,     // it does not cover these bytes
    OtherSigner,      // a good signature by `signer`, not by `expectedSigner`
    UntrustedSigner,  // the signer's chain ends in no trusted root
    RevokedSigner,    // a certificate of the chain is revoked
    BadLink,       // a link that is not http(s), leads nowhere, or names no usable size
    Disk,          // the file could not be written or put in place
    Cancelled,
};

struct FailureReason {
    FailureReason() = default;
    FailureReason(FailureKind reasonKind, DWORD reasonCode, std::wstring signerName = {}, std::wstring expected = {})
        : kind(reasonKind), code(reasonCode), signer(std::move(signerName)), expectedSigner(std::move(expected))
    {
    }

    FailureKind kind = FailureKind::None;
    DWORD code = 0;
    std::wstring signer;          // OtherSigner: who signed
    std::wstring expectedSigner;  // OtherSigner: whom the catalogue names
};

FailureReason ReasonOf(const LinkReport& report);
FailureReason ReasonOf(const DownloadReport& report);
// None for a signature that vouches for its file.
FailureReason ReasonOf(const SignerCheck& check);

// WinINet's errors for a secure connection that was refused, in words; null for others.
const char* CertificateFaultWords(DWORD error);

// The reason in words, for the second line of the failure box, the log and applib.
std::wstring FailureWords(const FailureReason& reason);
