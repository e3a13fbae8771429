#include "net/sha256.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <vector>

#include "base/unique_handle.h"
#include "net/cng.h"

namespace {

constexpr DWORD kReadBlockSize = 64 * 1024;
// BCryptHashData takes a 32-bit count.
constexpr size_t kLargestPiece = size_t{1} << 30;

// One SHA-256 computation and its provider.
class Sha256Hash {
public:
    bool Open()
    {
        return CngSucceeded(BCryptOpenAlgorithmProvider(m_algorithm.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
               CngSucceeded(BCryptCreateHash(m_algorithm.get(), m_hash.put(), nullptr, 0, nullptr, 0, 0));
    }

    bool Add(const void* bytes, size_t count)
    {
        auto* piece = static_cast<unsigned char*>(const_cast<void*>(bytes));  // CNG only reads it
        while (count > 0) {
            const ULONG size = static_cast<ULONG>(std::min(count, kLargestPiece));
            if (!CngSucceeded(BCryptHashData(m_hash.get(), piece, size, 0)))
                return false;
            piece += size;
            count -= size;
        }
        return true;
    }

    std::optional<Sha256Digest> Finish()
    {
        Sha256Digest digest{};
        if (!CngSucceeded(BCryptFinishHash(m_hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0)))
            return std::nullopt;
        return digest;
    }

private:
    AlgorithmHandle m_algorithm;  // declared first, so that the hash goes before its provider
    HashHandle m_hash;
};

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
bool HashFileContents(HANDLE file, Sha256Hash& hash, const std::atomic<bool>* cancel)
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
        if (!hash.Add(buffer.data(), read))
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
    return Sha256OfOpenFile(file.get(), cancel);
}

std::wstring Sha256OfOpenFile(HANDLE file, const std::atomic<bool>* cancel)
{
    Sha256Hash hash;
    if (!hash.Open() || !HashFileContents(file, hash, cancel))
        return std::wstring();
    const std::optional<Sha256Digest> digest = hash.Finish();
    return digest ? HexDigits(digest->data(), digest->size()) : std::wstring();
}

std::optional<Sha256Digest> Sha256OfBytes(std::string_view bytes)
{
    Sha256Hash hash;
    if (!hash.Open() || !hash.Add(bytes.data(), bytes.size()))
        return std::nullopt;
    return hash.Finish();
}
