#include "net/sha256.h"

#include <windows.h>
#include <bcrypt.h>

#include <vector>

#include "base/unique_handle.h"

namespace {

constexpr DWORD kReadBlockSize = 64 * 1024;
constexpr ULONG kDigestBytes = 32;

struct AlgorithmTraits {
    using Handle = BCRYPT_ALG_HANDLE;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle handle) { BCryptCloseAlgorithmProvider(handle, 0); }
};
using AlgorithmHandle = UniqueHandle<AlgorithmTraits>;

struct HashTraits {
    using Handle = BCRYPT_HASH_HANDLE;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle handle) { BCryptDestroyHash(handle); }
};
using HashHandle = UniqueHandle<HashTraits>;

bool Succeeded(NTSTATUS status)
{
    return status >= 0;
}

std::wstring HexDigits(const unsigned char* bytes, size_t count)
{
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring text;
    text.reserve(count * 2);
    for (size_t i = 0; i < count; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0f];
    }
    return text;
}

// Feeds the whole file into the hash, a block at a time.
bool HashFileContents(HANDLE file, BCRYPT_HASH_HANDLE hash, const std::atomic<bool>* cancel)
{
    std::vector<unsigned char> buffer(kReadBlockSize);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, buffer.data(), kReadBlockSize, &read, nullptr))
            return false;
        if (cancel && cancel->load())
            return false;
        if (read == 0)
            return true;
        if (!Succeeded(BCryptHashData(hash, buffer.data(), read, 0)))
            return false;
    }
}

}  // namespace

std::wstring Sha256OfFile(const std::wstring& path, const std::atomic<bool>* cancel)
{
    // Nobody may write to the file while it is hashed.
    const FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file)
        return std::wstring();
    AlgorithmHandle algorithm;
    if (!Succeeded(BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        return std::wstring();
    HashHandle hash;
    if (!Succeeded(BCryptCreateHash(algorithm.get(), hash.put(), nullptr, 0, nullptr, 0, 0)))
        return std::wstring();
    if (!HashFileContents(file.get(), hash.get(), cancel))
        return std::wstring();
    unsigned char digest[kDigestBytes] = {};
    if (!Succeeded(BCryptFinishHash(hash.get(), digest, kDigestBytes, 0)))
        return std::wstring();
    return HexDigits(digest, kDigestBytes);
}
