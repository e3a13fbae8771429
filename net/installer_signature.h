#pragma once
// An installer's Authenticode signature and who signed it. A catalogue may pin a program to
// its publisher's signer instead of (or beside) a hash: the signer stays the same from one
// release to the next, where the bytes, and so the hash, change with each.

#include <windows.h>

#include <string>

// What a catalogue vouches for in an installer. Each pin that is not empty must hold.
struct InstallerPin {
    std::wstring sha256;  // 64 lowercase hex digits, or empty
    std::wstring signer;  // the signing certificate's name, or empty
    bool empty() const { return sha256.empty() && signer.empty(); }
};

enum class SignerVerdict {
    Vouched,      // a good signature from a trusted chain, by the expected signer when one is named
    Unsigned,     // no signature at all
    BadSignature, // a signature that does not cover these bytes, or cannot be read
    OtherSigner,  // a good, trusted signature by another name
    Untrusted,    // the chain ends in no root this machine trusts, or is otherwise unacceptable
    Revoked,      // a certificate of the chain is known to be revoked
};

struct SignerCheck {
    SignerVerdict verdict = SignerVerdict::Unsigned;
    std::wstring signer;    // the name on the signing certificate, once a signature was read
    std::wstring expected;  // the name asked for; empty when any signer would do
};

// Whether two signer names are the same, compared whole, without regard to case.
bool SameSignerName(const std::wstring& a, const std::wstring& b);

// Checks the Authenticode signature of the open file `file` (read through that handle; `path`
// names it for the file's kind, ".exe" or ".msi"). Revocation is looked up in the local cache
// only, so an offline machine never waits: "revoked" refuses, "could not be checked" does not.
// A timestamped signature stays good after its certificate expires. An empty `expected`
// accepts any signer and only reads the name. Never shows any window.
SignerCheck CheckInstallerSigner(HANDLE file, const std::wstring& path, const std::wstring& expected);

// The same of a file by its path; BadSignature when it cannot be opened.
SignerCheck CheckInstallerSignerOfFile(const std::wstring& path, const std::wstring& expected);
