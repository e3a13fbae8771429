#pragma once
// An ECDSA P-256 public key, the form in which the publisher's key signs catalogues.
// Portable: no platform code.

#include <array>
#include <optional>
#include <string_view>

struct P256PublicKey {
    std::array<unsigned char, 32> x;  // big-endian coordinates of the point
    std::array<unsigned char, 32> y;
};

// The key of a PEM file as `openssl ec -pubout` writes it: the first "PUBLIC KEY" block,
// whose base64 must decode to exactly the 91-byte SubjectPublicKeyInfo of a P-256 key with
// an uncompressed point. Text around the block is allowed, as in any PEM file. Nothing
// when the text holds anything else (a private key, another curve, a compressed point).
std::optional<P256PublicKey> ReadPublicKeyPem(std::string_view pem);
