// A small binary property-list writer for tests and sample data. It lays out every byte
// itself, so tests can also build hostile files: wrong widths, offsets into nowhere,
// forged counts, reference cycles.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace BplistTest {

using Bytes = std::string;

// The low `width` bytes of value, most significant first.
inline Bytes BigEndian(uint64_t value, size_t width)
{
    Bytes bytes(width, '\0');
    for (size_t i = width; i-- > 0; value >>= 8)
        bytes[i] = static_cast<char>(value & 0xFF);
    return bytes;
}

inline Bytes Marker(unsigned kind, unsigned info)
{
    return Bytes(1, static_cast<char>((kind << 4) | info));
}

// Integer object of width 2^log2Width holding the low bytes of bits.
inline Bytes IntOfWidth(uint64_t bits, unsigned log2Width)
{
    return Marker(0x1, log2Width) + BigEndian(bits, size_t{1} << log2Width);
}

inline Bytes Int(int64_t value)
{
    return IntOfWidth(static_cast<uint64_t>(value), 3);
}

// Marker with the count inline, or 0xF and an integer object for counts of 15 and more.
inline Bytes CountHeader(unsigned kind, uint64_t count)
{
    if (count < 15)
        return Marker(kind, static_cast<unsigned>(count));
    return Marker(kind, 0xF) + IntOfWidth(count, 3);
}

inline Bytes Bool(bool value)
{
    return Bytes(1, value ? '\x09' : '\x08');
}

inline Bytes Real64(double value)
{
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return Marker(0x2, 3) + BigEndian(bits, 8);
}

inline Bytes Real32(float value)
{
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return Marker(0x2, 2) + BigEndian(bits, 4);
}

inline Bytes Date(double secondsSince2001)
{
    uint64_t bits;
    std::memcpy(&bits, &secondsSince2001, sizeof bits);
    return Marker(0x3, 3) + BigEndian(bits, 8);
}

inline Bytes Ascii(const std::string& text)
{
    return CountHeader(0x5, text.size()) + text;
}

inline Bytes Data(const std::string& bytes)
{
    return CountHeader(0x4, bytes.size()) + bytes;
}

inline Bytes References(const std::vector<uint64_t>& objects, size_t refSize)
{
    Bytes bytes;
    for (const uint64_t object : objects)
        bytes += BigEndian(object, refSize);
    return bytes;
}

inline Bytes Array(const std::vector<uint64_t>& items, size_t refSize = 1)
{
    return CountHeader(0xA, items.size()) + References(items, refSize);
}

inline Bytes Dict(const std::vector<uint64_t>& keys, const std::vector<uint64_t>& values, size_t refSize = 1)
{
    return CountHeader(0xD, keys.size()) + References(keys, refSize) + References(values, refSize);
}

// Trailer fields and hostile extras; the defaults describe a well-formed file.
struct Layout {
    unsigned offsetIntSize = 1;
    unsigned objectRefSize = 1;
    uint64_t topObject = 0;
    std::optional<uint64_t> objectCount;        // default: number of offset entries
    std::optional<uint64_t> offsetTableOffset;  // default: where the table really starts
    Bytes offsetTableTail;                      // raw bytes appended to the offset table
};

class Writer {
public:
    // Appends an object after the previous ones; returns its object index.
    uint64_t Add(const Bytes& object)
    {
        m_offsets.push_back(kHeader.size() + m_objects.size());
        m_objects += object;
        return m_offsets.size() - 1;
    }

    // An offset-table entry with any position, for aliases and offsets into nowhere.
    uint64_t AddOffset(uint64_t position)
    {
        m_offsets.push_back(position);
        return m_offsets.size() - 1;
    }

    Bytes Build(const Layout& layout = {}) const
    {
        const uint64_t tableStart = kHeader.size() + m_objects.size();
        Bytes file = kHeader + m_objects;
        for (const uint64_t offset : m_offsets)
            file += BigEndian(offset, layout.offsetIntSize);
        file += layout.offsetTableTail;
        file += Bytes(6, '\0');
        file += static_cast<char>(layout.offsetIntSize);
        file += static_cast<char>(layout.objectRefSize);
        file += BigEndian(layout.objectCount.value_or(m_offsets.size()), 8);
        file += BigEndian(layout.topObject, 8);
        file += BigEndian(layout.offsetTableOffset.value_or(tableStart), 8);
        return file;
    }

private:
    inline static const Bytes kHeader = "bplist00";
    Bytes m_objects;
    std::vector<uint64_t> m_offsets;
};

}  // namespace BplistTest
