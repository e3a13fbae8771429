#pragma once
// Why a download failed, in the terms its user can act on, and the one wording of each
// reason: the progress dialog's box, the install log and applib all say FailureWords.

#include <windows.h>

#include <string>

#include "net/download.h"

enum class FailureKind {
    None,
    Network,       // no connection, a time-out, a dropped connection
    Certificate,   // the host's certificate was refused: `code` is WinINet's error
    HostStatus,    // the host answered with status `code` (404, 403, 410, 5xx...)
    WebPage,       // a web page came instead of the file: the network may want a login first
    HashMismatch,  // the whole file came, and is not the one the catalogue names
    BadLink,       // a link that is not http(s), leads nowhere, or names no usable size
    Disk,          // the file could not be written or put in place
    Cancelled,
};

struct FailureReason {
    FailureKind kind = FailureKind::None;
    DWORD code = 0;
};

FailureReason ReasonOf(const LinkReport& report);
FailureReason ReasonOf(const DownloadReport& report);

// WinINet's errors for a secure connection that was refused, in words; null for others.
const char* CertificateFaultWords(DWORD error);

// The reason in words, for the second line of the failure box, the log and applib.
std::wstring FailureWords(const FailureReason& reason);
