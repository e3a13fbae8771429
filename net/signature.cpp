#include "net/signature.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstring>
#include <optional>
#include <utility>

#include "base/unique_handle.h"
#include "net/cng.h"
#include "net/der_signature.h"
#include "net/sha256.h"

namespace {

// The largest download the program takes; anything larger is no file of its servers.
constexpr LONGLONG kLargestFile = 0x40000000;

// BCRYPT_ECCPUBLIC_BLOB: the header, then X and Y.
struct EccPublicBlob {
    BCRYPT_ECCKEY_BLOB header;
    unsigned char coordinates[64];
};

KeyHandle ImportKey(BCRYPT_ALG_HANDLE algorithm, const P256PublicKey& key)
{
    EccPublicBlob blob{};
    blob.header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    blob.header.cbKey = static_cast<ULONG>(key.x.size());
    std::memcpy(blob.coordinates, key.x.data(), key.x.size());
    std::memcpy(blob.coordinates + key.x.size(), key.y.data(), key.y.size());
    KeyHandle imported;
    const NTSTATUS status = BCryptImportKeyPair(algorithm, nullptr, BCRYPT_ECCPUBLIC_BLOB, imported.put(),
                                                reinterpret_cast<PUCHAR>(&blob), sizeof(blob), 0);
    return CngSucceeded(status) ? std::move(imported) : KeyHandle();
}

}  // namespace

SignatureVerdict VerifySignature(std::string_view bytes, std::string_view derSignature, const P256PublicKey& key)
{
    if (derSignature.empty())
        return SignatureVerdict::NoSignature;
    std::optional<RawP256Signature> signature = ReadDerSignature(derSignature);
    if (!signature)
        return SignatureVerdict::Malformed;
    std::optional<Sha256Digest> digest = Sha256OfBytes(bytes);
    AlgorithmHandle algorithm;
    if (!digest ||
        !CngSucceeded(BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0)))
        return SignatureVerdict::Mismatch;
    const KeyHandle publicKey = ImportKey(algorithm.get(), key);
    if (!publicKey)
        return SignatureVerdict::Mismatch;
    const NTSTATUS status = BCryptVerifySignature(publicKey.get(), nullptr, digest->data(),
                                                  static_cast<ULONG>(digest->size()), signature->data(),
                                                  static_cast<ULONG>(signature->size()), 0);
    return CngSucceeded(status) ? SignatureVerdict::Good : SignatureVerdict::Mismatch;
}

bool ReadFileBytes(const std::wstring& path, std::string& bytes)
{
    const FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size{};
    bytes.clear();
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart > kLargestFile)
        return false;
    bytes.assign(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr) && read == bytes.size())
        return true;
    bytes.clear();
    return false;
}
