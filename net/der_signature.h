#pragma once
// The DER form of an ECDSA signature (ECDSA-Sig-Value: a SEQUENCE of the INTEGERs r and s),
// as `openssl dgst -sign` writes it, turned into the raw r‖s that the platform verifies.
// Portable: no platform code. The bytes come from the network, so nothing is trusted.

#include <array>
#include <optional>
#include <string_view>

// r then s, each 32 bytes big-endian: a P-256 signature as CNG takes it.
using RawP256Signature = std::array<unsigned char, 64>;

// Nothing unless `der` is exactly one SEQUENCE of two INTEGERs in strict DER: definite
// lengths in their shortest form, within the buffer, no bytes after either; each integer
// minimally encoded, positive, not zero and at most 32 bytes once its sign byte is dropped.
std::optional<RawP256Signature> ReadDerSignature(std::string_view der);
