#include "catalog/plist_binary.h"

#include "catalog/plist.h"

#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

namespace Plist {
namespace {

constexpr size_t kHeaderSize = 8;
constexpr size_t kTrailerSize = 32;
constexpr double kSecondsFrom1970To2001 = 978307200.0;
constexpr size_t kOffsetWidth = 4;   // offsets and references keep their low 4 bytes
constexpr size_t kIntegerWidth = 8;  // integers and counts keep their low 8 bytes

[[noreturn]] void fail(const char* message)
{
    throw std::runtime_error(message);
}

void checkRange(const ByteVector& source, int64_t start, int64_t size)
{
    const int64_t length = static_cast<int64_t>(source.size());
    // Compared without forming start + size, which could wrap.
    if (start < 0 || size < 0 || start > length || size > length - start)
        fail("Out of bounds getRange");
}

// The working record of one read. objectTable keeps the header, so offsets index it directly.
struct BinaryContext {
    std::vector<int32_t> offsetTable;
    ByteVector objectTable;
    int32_t offsetIntSize = 0;
    int32_t objectRefSize = 0;
};

uint64_t readBigEndian(const char* bytes, size_t width)
{
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i)
        value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    return value;
}

// A big-endian field of any width, narrowed to its low `width` bytes: leading zero bytes
// of wide fields fall away, and so does anything above 2^(8*width).
uint64_t lowBytesValue(const ByteVector& bigEndian, size_t width)
{
    const size_t skipped = bigEndian.size() > width ? bigEndian.size() - width : 0;
    return readBigEndian(bigEndian.data() + skipped, bigEndian.size() - skipped);
}

int64_t toSigned(uint64_t bits)
{
    int64_t value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

int32_t toSigned32(uint64_t lowBits)
{
    const uint32_t narrow = static_cast<uint32_t>(lowBits);
    int32_t value;
    std::memcpy(&value, &narrow, sizeof value);
    return value;
}

// Widths 0 (would split the offset table forever) and above 8 are not binary plists.
int32_t readFieldWidth(const char* trailer, size_t position, const char* message)
{
    const int32_t width = static_cast<unsigned char>(trailer[position]);
    if (width < 1 || width > 8)
        fail(message);
    return width;
}

std::vector<int32_t> splitOffsetTable(const ByteVector& tableBytes, int32_t entryWidth)
{
    std::vector<int32_t> offsets;
    offsets.reserve(tableBytes.size() / static_cast<size_t>(entryWidth));
    const int64_t length = static_cast<int64_t>(tableBytes.size());
    // A trailing partial entry makes getRange throw.
    for (int64_t position = 0; position < length; position += entryWidth)
        offsets.push_back(toSigned32(lowBytesValue(getRange(tableBytes, position, entryWidth), kOffsetWidth)));
    return offsets;
}

BinaryContext readContext(const char* data, size_t size)
{
    if (size < kHeaderSize + kTrailerSize)
        fail("Plist: binary data too short for header and trailer");
    const char* trailer = data + size - kTrailerSize;
    BinaryContext context;
    context.offsetIntSize = readFieldWidth(trailer, 6, "Plist: binary offset width must be 1 to 8 bytes");
    context.objectRefSize = readFieldWidth(trailer, 7, "Plist: binary reference width must be 1 to 8 bytes");
    const uint64_t tableOffset = readBigEndian(trailer + 24, 8);
    if (tableOffset < kHeaderSize || tableOffset > size - kTrailerSize)
        fail("Plist: binary offset table position out of range");
    const size_t tableStart = static_cast<size_t>(tableOffset);
    context.objectTable.assign(data, data + tableStart);
    const ByteVector tableBytes(data + tableStart, trailer);
    context.offsetTable = splitOffsetTable(tableBytes, context.offsetIntSize);
    return context;
}

// Where an object's content starts and how many items it holds.
struct Extent {
    int64_t start;
    int64_t count;
};

class BinaryDecoder {
public:
    BinaryDecoder(BinaryContext context, size_t inputSize)
        : m_context(std::move(context)),
          m_onPath(m_context.offsetTable.size(), false),
          m_byteBudget(static_cast<int64_t>(inputSize) + kMaxBinaryRepeatedBytes)
    {
    }

    // depth: number of arrays and dictionaries enclosing the object.
    boost::any decodeObject(uint64_t index, int depth)
    {
        const int64_t position = objectPosition(index);
        chargeValue();
        const unsigned char marker = static_cast<unsigned char>(m_context.objectTable[static_cast<size_t>(position)]);
        const int info = marker & 0x0F;
        switch (marker >> 4) {
        case 0x0: return decodeSingleton(marker);
        case 0x1: return readInteger(position, info);
        case 0x2: return decodeReal(position, info);
        case 0x3: return decodeDate(position);
        case 0x4: return decodeData(position, info);
        case 0x5: return decodeString(position, info);
        case 0xA: return decodeArray(index, position, info, depth);
        case 0xD: return decodeDictionary(index, position, info, depth);
        default: fail("This type is not supported");
        }
    }

private:
    // Marks a container as being decoded: a reference back to it is a cycle, and the
    // path of open containers may not grow past the nesting limit.
    class PathGuard {
    public:
        PathGuard(std::vector<bool>& onPath, uint64_t index, int depth) : m_onPath(onPath), m_index(static_cast<size_t>(index))
        {
            if (m_onPath[m_index])
                fail("Plist: binary object references itself");
            if (depth >= kMaxNestingDepth)
                fail("Plist: arrays and dictionaries nested too deeply");
            m_onPath[m_index] = true;
        }
        ~PathGuard() { m_onPath[m_index] = false; }
        PathGuard(const PathGuard&) = delete;
        PathGuard& operator=(const PathGuard&) = delete;

    private:
        std::vector<bool>& m_onPath;
        size_t m_index;
    };

    int64_t objectPosition(uint64_t index) const
    {
        if (index >= m_context.offsetTable.size())
            fail("Plist: binary object reference out of range");
        const int32_t position = m_context.offsetTable[static_cast<size_t>(index)];
        if (position < 0 || static_cast<uint64_t>(position) >= m_context.objectTable.size())
            fail("Plist: binary object offset out of range");
        return position;
    }

    void chargeValue()
    {
        if (++m_valueCount > kMaxBinaryValues)
            fail("Plist: binary data expands to too many values");
    }

    // Every content byte read counts, so shared references cannot multiply the work.
    ByteVector readContent(int64_t start, int64_t size)
    {
        ByteVector bytes = getRange(m_context.objectTable, start, size);
        m_byteBudget -= size;
        if (m_byteBudget < 0)
            fail("Plist: binary data expands to too many bytes");
        return bytes;
    }

    boost::any decodeSingleton(unsigned char marker)
    {
        switch (marker) {
        case 0x08: return false;
        case 0x09: return true;
        case 0x00: fail("Plist: null byte encountered, unsure how to parse");
        case 0x0F: fail("Plist: fill byte encountered, unsure how to parse");
        default: throw std::runtime_error("Plist: unknown header " + std::string(1, static_cast<char>(marker)));
        }
    }

    // Integers of width 2^info; also the size integer of a count extension.
    int64_t readInteger(int64_t markerPosition, int info)
    {
        const int64_t width = int64_t{1} << info;
        return toSigned(lowBytesValue(readContent(markerPosition + 1, width), kIntegerWidth));
    }

    boost::any decodeReal(int64_t position, int info)
    {
        const int64_t width = int64_t{1} << info;
        if (width != 4 && width != 8)
            fail("Plist: binary real must be 4 or 8 bytes wide");
        const uint64_t bits = lowBytesValue(readContent(position + 1, width), kIntegerWidth);
        if (width == 8) {
            double value;
            std::memcpy(&value, &bits, sizeof value);
            return value;
        }
        const uint32_t narrowBits = static_cast<uint32_t>(bits);
        float value;
        std::memcpy(&value, &narrowBits, sizeof value);
        return static_cast<double>(value);
    }

    boost::any decodeDate(int64_t position)
    {
        const uint64_t bits = lowBytesValue(readContent(position + 1, 8), kIntegerWidth);
        double secondsSince2001;
        std::memcpy(&secondsSince2001, &bits, sizeof secondsSince2001);
        const double seconds = secondsSince2001 + kSecondsFrom1970To2001;
        // Truncation toward zero; the bounds keep the conversion defined (NaN fails both).
        if (!(seconds > -2147483649.0 && seconds < 2147483648.0))
            fail("Plist: binary date out of range");
        PlistDate date;
        date.time = static_cast<int32_t>(seconds);
        return date;
    }

    // Counts of 15 and more follow the marker as an integer object.
    Extent readExtent(int64_t position, int info)
    {
        if (info != 0x0F)
            return {position + 1, info};
        const int64_t sizeMarker = position + 1;
        const int sizeInfo = static_cast<unsigned char>(readContent(sizeMarker, 1)[0]) & 0x0F;
        const int64_t count = readInteger(sizeMarker, sizeInfo);
        if (count < 0)
            fail("Plist: binary object count is negative");
        return {sizeMarker + 1 + (int64_t{1} << sizeInfo), count};
    }

    boost::any decodeData(int64_t position, int info)
    {
        const Extent extent = readExtent(position, info);
        return readContent(extent.start, extent.count);
    }

    boost::any decodeString(int64_t position, int info)
    {
        const Extent extent = readExtent(position, info);
        const ByteVector bytes = readContent(extent.start, extent.count);
        return std::string(bytes.begin(), bytes.end());
    }

    // referencesPerItem is 1 for arrays, 2 for dictionaries (keys, then values).
    std::vector<uint64_t> readReferences(const Extent& extent, int64_t referencesPerItem)
    {
        const int64_t refSize = m_context.objectRefSize;
        const int64_t maxItems = std::numeric_limits<int64_t>::max() / (refSize * referencesPerItem);
        if (extent.count > maxItems)
            fail("Out of bounds getRange");
        const int64_t total = extent.count * referencesPerItem;
        // The whole run must lie in the data before room is reserved for it.
        checkRange(m_context.objectTable, extent.start, total * refSize);
        std::vector<uint64_t> references;
        references.reserve(static_cast<size_t>(total));
        for (int64_t i = 0; i < total; ++i) {
            const ByteVector field = readContent(extent.start + i * refSize, refSize);
            references.push_back(lowBytesValue(field, kOffsetWidth));
        }
        return references;
    }

    boost::any decodeArray(uint64_t index, int64_t position, int info, int depth)
    {
        const std::vector<uint64_t> references = readReferences(readExtent(position, info), 1);
        const PathGuard guard(m_onPath, index, depth);
        array_type array;
        array.reserve(references.size());
        for (const uint64_t reference : references)
            array.push_back(decodeObject(reference, depth + 1));
        return array;
    }

    boost::any decodeDictionary(uint64_t index, int64_t position, int info, int depth)
    {
        const std::vector<uint64_t> references = readReferences(readExtent(position, info), 2);
        const PathGuard guard(m_onPath, index, depth);
        const size_t count = references.size() / 2;
        dictionary_type dictionary;
        for (size_t i = 0; i < count; ++i) {
            boost::any key = decodeObject(references[i], depth + 1);
            std::string* keyText = boost::any_cast<std::string>(&key);
            if (keyText == nullptr)
                fail("Error parsing dictionary.  Key can't be parsed as a string");
            dictionary.insert_or_assign(std::move(*keyText), decodeObject(references[count + i], depth + 1));
        }
        return dictionary;
    }

    BinaryContext m_context;
    std::vector<bool> m_onPath;
    int64_t m_valueCount = 0;
    int64_t m_byteBudget;
};

}  // namespace

const char* vecData(const ByteVector& bytes)
{
    if (bytes.empty())
        fail("Plist::vecData trying to get pointer to empty std::vector");
    return bytes.data();
}

ByteVector getRange(const ByteVector& source, int64_t start, int64_t size)
{
    checkRange(source, start, size);
    const char* first = vecData(source) + static_cast<size_t>(start);
    return ByteVector(first, first + static_cast<size_t>(size));
}

boost::any readBinary(const char* data, size_t size)
{
    BinaryDecoder decoder(readContext(data, size), size);
    return decoder.decodeObject(0, 0);
}

}  // namespace Plist
