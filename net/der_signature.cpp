#include "net/der_signature.h"

#include <algorithm>
#include <cstddef>

namespace {

constexpr unsigned char kSequenceTag = 0x30;
constexpr unsigned char kIntegerTag = 0x02;
constexpr size_t kHalfBytes = 32;
// Long-form lengths of more than two bytes would announce 64 KiB and more; a P-256
// signature is at most 72 bytes, so they only ever come from a forged or broken file.
constexpr size_t kMostLengthBytes = 2;

// Takes one tag-length-value after another off the front of its bytes.
class DerReader {
public:
    explicit DerReader(std::string_view bytes) : m_rest(bytes) {}

    // The contents of the next value into `value`, when it has this tag and fits.
    bool Read(unsigned char tag, std::string_view& value)
    {
        if (m_rest.size() < 2 || Byte(0) != tag)
            return false;
        size_t length = Byte(1);
        size_t header = 2;
        if (length & 0x80) {
            const size_t lengthBytes = length & 0x7f;
            // 0x80 is BER's indefinite length, which DER forbids.
            if (lengthBytes == 0 || lengthBytes > kMostLengthBytes || m_rest.size() < 2 + lengthBytes)
                return false;
            length = 0;
            for (size_t i = 0; i < lengthBytes; ++i)
                length = (length << 8) | Byte(2 + i);
            header += lengthBytes;
            // The shortest form: no leading zero byte, and short form for less than 0x80.
            if (Byte(2) == 0 || length < 0x80)
                return false;
        }
        if (length > m_rest.size() - header)
            return false;
        value = m_rest.substr(header, length);
        m_rest.remove_prefix(header + length);
        return true;
    }

    bool AtEnd() const { return m_rest.empty(); }

private:
    unsigned char Byte(size_t index) const { return static_cast<unsigned char>(m_rest[index]); }

    std::string_view m_rest;
};

// A positive INTEGER's contents into 32 big-endian bytes, right-aligned.
bool ReadHalf(DerReader& reader, unsigned char* half)
{
    std::string_view value;
    if (!reader.Read(kIntegerTag, value) || value.empty())
        return false;
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(value[i]); };
    if (byte(0) & 0x80)
        return false;  // negative
    if (byte(0) == 0) {
        // Zero itself, or a leading zero byte, which is only allowed to keep a high first
        // bit from reading as a sign.
        if (value.size() == 1 || !(byte(1) & 0x80))
            return false;
        value.remove_prefix(1);
    }
    if (value.size() > kHalfBytes)
        return false;
    std::fill(half, half + kHalfBytes, static_cast<unsigned char>(0));
    std::copy(value.begin(), value.end(), half + (kHalfBytes - value.size()));
    return true;
}

}  // namespace

std::optional<RawP256Signature> ReadDerSignature(std::string_view der)
{
    DerReader outer(der);
    std::string_view sequence;
    if (!outer.Read(kSequenceTag, sequence) || !outer.AtEnd())
        return std::nullopt;
    DerReader inner(sequence);
    RawP256Signature signature{};
    if (!ReadHalf(inner, signature.data()) || !ReadHalf(inner, signature.data() + kHalfBytes) || !inner.AtEnd())
        return std::nullopt;
    return signature;
}
