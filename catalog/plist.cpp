#include "catalog/plist.h"

#include "catalog/plist_binary.h"

#include <pugixml.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

namespace Plist {
namespace {

[[noreturn]] void fail(const std::string& message)
{
    throw std::runtime_error(message);
}

// ---- PlistDate helpers ----------------------------------------------------------

[[noreturn]] void failDate()
{
    fail("PlistDate::set() date invalid");
}

int32_t saturateToInt32(int64_t value)
{
    return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

// mktime on a copy: reads the fields as local standard time.
int64_t secondsFromLocalFields(std::tm fields)
{
    fields.tm_isdst = 0;
    const std::time_t seconds = std::mktime(&fields);
    // Windows' mktime refuses instants before 1970 with -1; refuse them everywhere alike.
    if (seconds == static_cast<std::time_t>(-1) || seconds < 0 || seconds > std::numeric_limits<int32_t>::max())
        failDate();
    return static_cast<int64_t>(seconds);
}

// Breaks down into the caller's record: the shared static one of gmtime is not thread-safe.
std::tm utcFields(int64_t seconds)
{
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm fields{};
#ifdef _WIN32
    if (gmtime_s(&fields, &t) != 0)
        failDate();
#else
    if (gmtime_r(&t, &fields) == nullptr)
        failDate();
#endif
    return fields;
}

// ---- Text of XML elements --------------------------------------------------------

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

const char* skipBlanks(const char* text)
{
    while (isBlank(*text))
        ++text;
    return text;
}

const char* skipDigits(const char* text)
{
    while (isDigit(*text))
        ++text;
    return text;
}

// Leading blanks, optional sign, digits up to the first other character; clamps to
// the 32-bit range, as the catalogue format has always read integers.
int64_t parseInteger(const char* text)
{
    const char* cursor = skipBlanks(text);
    const bool negative = *cursor == '-';
    if (*cursor == '-' || *cursor == '+')
        ++cursor;
    constexpr int64_t limit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    int64_t magnitude = 0;
    for (; isDigit(*cursor); ++cursor)
        magnitude = std::min(limit, magnitude * 10 + (*cursor - '0'));
    return std::clamp<int64_t>(negative ? -magnitude : magnitude, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max());
}

// The decimal number at the start of a real's text, without sign.
struct DecimalText {
    const char* begin;
    const char* end;
    bool hasDigits;
    int64_t leadingExponent;  // power of ten of the first non-zero digit, for range errors
};

int64_t readExponent(const char*& cursor)
{
    const char* digits = cursor + 1;
    const bool negative = *digits == '-';
    if (*digits == '-' || *digits == '+')
        ++digits;
    if (!isDigit(*digits))
        return 0;  // "1e" or "1e+": the exponent is not part of the number
    int64_t exponent = 0;
    for (; isDigit(*digits); ++digits)
        exponent = std::min<int64_t>(exponent * 10 + (*digits - '0'), 100000);
    cursor = digits;
    return negative ? -exponent : exponent;
}

DecimalText scanDecimal(const char* text)
{
    DecimalText number{text, text, false, 0};
    const char* cursor = text;
    const char* integerEnd = skipDigits(cursor);
    const char* firstNonZero = std::find_if(cursor, integerEnd, [](char c) { return c != '0'; });
    number.leadingExponent = integerEnd - firstNonZero - 1;
    number.hasDigits = integerEnd != cursor;
    cursor = integerEnd;
    if (*cursor == '.') {
        const char* fraction = cursor + 1;
        cursor = skipDigits(fraction);
        number.hasDigits = number.hasDigits || cursor != fraction;
        if (firstNonZero == integerEnd)
            number.leadingExponent = -1 - (std::find_if(fraction, cursor, [](char c) { return c != '0'; }) - fraction);
    }
    if (number.hasDigits && (*cursor == 'e' || *cursor == 'E'))
        number.leadingExponent += readExponent(cursor);
    number.end = cursor;
    return number;
}

// Leading blanks, optional sign, decimal digits with optional point and exponent; no
// "inf", "nan" or hexadecimal forms. Independent of the C locale's decimal point.
double parseReal(const char* text)
{
    const char* cursor = skipBlanks(text);
    const bool negative = *cursor == '-';
    if (*cursor == '-' || *cursor == '+')
        ++cursor;
    const DecimalText number = scanDecimal(cursor);
    if (!number.hasDigits)
        return 0.0;
    double value = 0.0;
    if (std::from_chars(number.begin, number.end, value, std::chars_format::general).ec == std::errc::result_out_of_range)
        value = number.leadingExponent >= 0 ? HUGE_VAL : 0.0;
    return negative ? -value : value;
}

int base64Digit(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// Characters outside the alphabet are skipped; "=" ends the data, keeping the whole
// bytes of its group; a group cut short without "=" yields nothing.
std::vector<char> decodeBase64(const char* text)
{
    std::vector<char> bytes;
    uint32_t group = 0;
    int digits = 0;
    const char* cursor = text;
    for (; *cursor != '\0' && *cursor != '='; ++cursor) {
        const int digit = base64Digit(*cursor);
        if (digit < 0)
            continue;
        group = (group << 6) | static_cast<uint32_t>(digit);
        if (++digits == 4) {
            bytes.push_back(static_cast<char>(group >> 16));
            bytes.push_back(static_cast<char>(group >> 8));
            bytes.push_back(static_cast<char>(group));
            group = 0;
            digits = 0;
        }
    }
    const bool padded = *cursor == '=';
    if (padded && digits == 2) {
        bytes.push_back(static_cast<char>(group >> 4));
    } else if (padded && digits == 3) {
        bytes.push_back(static_cast<char>(group >> 10));
        bytes.push_back(static_cast<char>(group >> 2));
    }
    return bytes;
}

// A date that does not fill all six fields is refused rather than completed with guesses.
// Whatever follows the seconds (the "Z", a fraction, nothing at all) is ignored: writers
// differ there, and one odd date must not make a whole catalogue unreadable.
PlistDate parseDate(const char* text)
{
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (std::sscanf(text, "%4d-%2d-%2dT%2d:%2d:%2dZ", &year, &month, &day, &hour, &minute, &second) != 6)
        fail("Plist: XML date not in the form YYYY-MM-DDTHH:MM:SSZ");
    PlistDate date;
    date.set(month, day, year, hour, minute, second);
    return date;
}

// ---- XML form ---------------------------------------------------------------------

bool named(const pugi::xml_node& node, const char* name)
{
    return std::strcmp(node.name(), name) == 0;
}

// The value of the first child (text or CDATA); "" for an element without children.
const char* nodeText(const pugi::xml_node& node)
{
    return node.first_child().value();
}

void checkDepth(int level)
{
    if (level > kMaxNestingDepth)
        fail("Plist: arrays and dictionaries nested too deeply");
}

boost::any decodeNode(const pugi::xml_node& node, int level);

array_type decodeArray(const pugi::xml_node& node, int level)
{
    checkDepth(level);
    array_type array;
    for (const pugi::xml_node& child : node.children())
        array.push_back(decodeNode(child, level + 1));
    return array;
}

dictionary_type decodeDictionary(const pugi::xml_node& node, int level)
{
    checkDepth(level);
    dictionary_type dictionary;
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
        if (!named(child, "key"))
            fail("Plist: XML dictionary key expected but not found");
        std::string key = nodeText(child);
        child = child.next_sibling();
        if (!child)
            fail("Plist: XML dictionary value expected for key " + key + "but not found");
        if (named(child, "key"))
            fail("Plist: XML dictionary value expected for key " + key + "but found another key node");
        dictionary.insert_or_assign(std::move(key), decodeNode(child, level + 1));
    }
    return dictionary;
}

// level: the nesting level a container at this node would have.
boost::any decodeNode(const pugi::xml_node& node, int level)
{
    if (named(node, "dict"))
        return decodeDictionary(node, level);
    if (named(node, "array"))
        return decodeArray(node, level);
    if (named(node, "string"))
        return std::string(nodeText(node));
    if (named(node, "integer"))
        return parseInteger(nodeText(node));
    if (named(node, "real"))
        return parseReal(nodeText(node));
    if (named(node, "false"))
        return false;
    if (named(node, "true"))
        return true;
    if (named(node, "data"))
        return decodeBase64(nodeText(node));
    if (named(node, "date"))
        return parseDate(nodeText(node));
    fail(std::string("Plist: XML unknown node type ") + node.name());
}

boost::any readXml(const char* data, size_t size)
{
    pugi::xml_document document;
    const pugi::xml_parse_result result = document.load_buffer(data, size);
    if (!result)
        fail(std::string("Plist: XML parsed with error ") + result.description());
    return decodeNode(document.child("plist").first_child(), 1);
}

bool isBinary(const char* data, size_t size)
{
    static const char kMagic[] = "bplist00";
    constexpr size_t kMagicSize = sizeof kMagic - 1;
    return size >= kMagicSize && std::memcmp(data, kMagic, kMagicSize) == 0;
}

// ---- Files ----------------------------------------------------------------------

// Sizes a 32-bit process cannot hold must fail here rather than be truncated.
std::vector<char> allocateFileBuffer(int64_t length)
{
    if (static_cast<uint64_t>(length) > std::vector<char>().max_size())
        fail("Plist: file too large to read");
    try {
        return std::vector<char>(static_cast<size_t>(length));
    } catch (const std::bad_alloc&) {
        fail("Plist: file too large to read");
    }
}

[[noreturn]] void failOpen()
{
    fail("Can't open file: ");
}

[[noreturn]] void failZeroLength()
{
    fail("Can't read zero length data");
}

[[noreturn]] void failRead()
{
    fail("Can't read file data");
}

#ifdef _WIN32

// The standard library opens wide paths itself on Windows (_wfopen), sharing read and write.
const wchar_t* nativePath(const std::wstring& path)
{
    return path.c_str();
}

#else

// Paths are UTF-8 on the host; a code point that cannot be encoded names no file.
std::string nativePath(const std::wstring& path)
{
    static_assert(sizeof(wchar_t) == 4, "host wide strings hold code points");
    std::string bytes;
    for (const wchar_t wide : path) {
        const uint32_t c = static_cast<uint32_t>(wide);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            failOpen();
        if (c < 0x80) {
            bytes += static_cast<char>(c);
        } else if (c < 0x800) {
            bytes += static_cast<char>(0xC0 | (c >> 6));
            bytes += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            bytes += static_cast<char>(0xE0 | (c >> 12));
            bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            bytes += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            bytes += static_cast<char>(0xF0 | (c >> 18));
            bytes += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            bytes += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return bytes;
}

#endif

std::vector<char> readWholeFile(const std::wstring& path)
{
    std::ifstream file(nativePath(path), std::ios::binary);
    if (!file.is_open())
        failOpen();
    file.seekg(0, std::ios::end);
    const int64_t length = static_cast<int64_t>(file.tellg());
    if (length <= 0)
        failZeroLength();
    std::vector<char> bytes = allocateFileBuffer(length);
    file.seekg(0, std::ios::beg);
    file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (static_cast<uint64_t>(file.gcount()) != bytes.size())
        failRead();
    return bytes;
}

}  // namespace

PlistDate::PlistDate() : time(saturateToInt32(static_cast<int64_t>(std::time(nullptr))))
{
}

void PlistDate::set(int month, int day, int year, int hour, int minute, int second)
{
    constexpr int kMinInt = std::numeric_limits<int>::min();
    if (year < kMinInt + 1900 || month < kMinInt + 1)
        failDate();
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    // mktime reads local time; redoing it on t's own UTC fields measures the zone's
    // offset, which 2t - L cancels.
    const int64_t local = secondsFromLocalFields(fields);
    const int64_t offsetProbe = secondsFromLocalFields(utcFields(local));
    const int64_t utc = 2 * local - offsetProbe;
    if (utc < 0 || utc > std::numeric_limits<int32_t>::max())
        failDate();
    time = static_cast<int32_t>(utc);
}

array_type readFile(const std::wstring& path)
{
    const std::vector<char> bytes = readWholeFile(path);
    return readBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
}

array_type readBuffer(const char* data, int64_t size)
{
    if (data == nullptr || size <= 0)
        fail("Plist: Empty plist data");
    if (static_cast<uint64_t>(size) > std::numeric_limits<size_t>::max())
        fail("Plist: data too large to read");
    const size_t length = static_cast<size_t>(size);
    boost::any root = isBinary(data, length) ? readBinary(data, length) : readXml(data, length);
    // Moves the tree out rather than copying it.
    return boost::any_cast<array_type&&>(std::move(root));
}

}  // namespace Plist
