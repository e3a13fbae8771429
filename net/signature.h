#pragma once
// The publisher's signature over a file the servers send (the catalogue, the update
// description): DER ECDSA-with-SHA-256 as `openssl dgst -sha256 -sign` writes it, checked
// with the platform's CNG provider.

#include <string>
#include <string_view>

#include "net/public_key.h"

enum class SignatureVerdict {
    Good,         // made by the key over exactly these bytes
    NoSignature,  // no signature bytes at all
    Malformed,    // not a DER ECDSA P-256 signature
    Mismatch,     // well-formed, but by another key or over other bytes
};

// Whether `derSignature` is the key's signature over `bytes`. A key that CNG will not take
// (a point off the curve) can verify nothing, so it too gives Mismatch, as does a failing
// provider: nothing but a verified signature is Good.
SignatureVerdict VerifySignature(std::string_view bytes, std::string_view derSignature, const P256PublicKey& key);

// The whole file, an empty one included; false and no bytes when it cannot be opened or
// read, or holds more than 1 GiB.
bool ReadFileBytes(const std::wstring& path, std::string& bytes);
