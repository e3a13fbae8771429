#include "catalog/plist.h"
#include "catalog/plist_binary.h"
#include "tests/bplist_writer.h"

#include <gtest/gtest.h>

#include <limits>
#include <sstream>
#include <stdexcept>

namespace {

using namespace BplistTest;

// Objects laid out in order: object 0 first.
Bytes Objects(const std::vector<Bytes>& objects, const Layout& layout = {})
{
    Writer writer;
    for (const Bytes& object : objects)
        writer.Add(object);
    return writer.Build(layout);
}

Layout Widths(unsigned offsetIntSize, unsigned objectRefSize, uint64_t topObject = 0)
{
    Layout layout;
    layout.offsetIntSize = offsetIntSize;
    layout.objectRefSize = objectRefSize;
    layout.topObject = topObject;
    return layout;
}

// A type-tagged rendering, so 1 and 1.0 or "a" and data "a" never compare equal;
// the message for a refused file.
std::string Describe(const boost::any& value)
{
    std::ostringstream out;
    out.precision(17);
    if (const auto* dictionary = boost::any_cast<Plist::dictionary_type>(&value)) {
        out << '{';
        for (const auto& [key, item] : *dictionary)
            out << key << '=' << Describe(item) << ';';
        out << '}';
    } else if (const auto* array = boost::any_cast<Plist::array_type>(&value)) {
        out << '[';
        for (const auto& item : *array)
            out << Describe(item) << ';';
        out << ']';
    } else if (const auto* text = boost::any_cast<std::string>(&value)) {
        out << "s:" << *text;
    } else if (const auto* integer = boost::any_cast<int64_t>(&value)) {
        out << "i:" << *integer;
    } else if (const auto* real = boost::any_cast<double>(&value)) {
        out << "r:" << *real;
    } else if (const auto* boolean = boost::any_cast<bool>(&value)) {
        out << "b:" << *boolean;
    } else if (const auto* date = boost::any_cast<Plist::PlistDate>(&value)) {
        out << "d:" << date->time;
    } else if (const auto* data = boost::any_cast<std::vector<char>>(&value)) {
        out << "x:";
        for (const char byte : *data)
            out << static_cast<int>(static_cast<unsigned char>(byte)) << ',';
    }
    return out.str();
}

std::string Outcome(const Bytes& file)
{
    try {
        return Describe(Plist::readBuffer(file.data(), static_cast<int64_t>(file.size())));
    } catch (const std::runtime_error& error) {
        return error.what();
    }
}

struct Case {
    const char* name;
    Bytes file;
    std::string expected;
};

void Check(const std::vector<Case>& cases)
{
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Outcome(c.file), c.expected);
    }
}

Bytes Wrapped(const Bytes& object)
{
    return Objects({Array({1}), object});
}

TEST(PlistBinary, DecodesEachKind)
{
    Check({
        {"1-byte integer is unsigned", Wrapped(IntOfWidth(0xFF, 0)), "[i:255;]"},
        {"4-byte integer is unsigned", Wrapped(IntOfWidth(0xFFFFFFFF, 2)), "[i:4294967295;]"},
        {"8-byte integer is signed", Wrapped(Int(-1)), "[i:-1;]"},
        {"16-byte integer keeps its low half", Wrapped(Marker(0x1, 4) + BigEndian(1, 8) + BigEndian(5, 8)), "[i:5;]"},
        {"8-byte real", Wrapped(Real64(-2.5)), "[r:-2.5;]"},
        {"4-byte real widens", Wrapped(Real32(0.1f)), "[r:0.10000000149011612;]"},
        {"date at the 2001 epoch", Wrapped(Date(0.0)), "[d:978307200;]"},
        {"date truncates toward zero", Wrapped(Date(-978307200.9)), "[d:0;]"},
        {"empty string", Wrapped(Marker(0x5, 0)), "[s:;]"},
        {"string bytes unchanged", Wrapped(Ascii("\xC3\xA9\x7F")), "[s:\xC3\xA9\x7F;]"},
        {"count extension", Wrapped(Ascii("abcdefghijklmnopqrst")), "[s:abcdefghijklmnopqrst;]"},
        {"count extension of width 1", Wrapped(Marker(0x4, 0xF) + IntOfWidth(2, 0) + "\x01\xFF"), "[x:1,255,;]"},
        {"booleans", Objects({Array({1, 2}), Bool(false), Bool(true)}), "[b:0;b:1;]"},
        {"empty containers", Objects({Array({1, 2}), Marker(0xA, 0), Marker(0xD, 0)}), "[[];{};]"},
        {"repeated key keeps the last value", Objects({Array({1}), Dict({2, 2}, {3, 4}), Ascii("a"), Int(1), Int(2)}), "[{a=i:2;};]"},
        {"shared objects are no cycle", Objects({Array({1, 1}), Array({2, 2}), Ascii("x")}), "[[s:x;s:x;];[s:x;s:x;];]"},
    });
}

TEST(PlistBinary, LayoutVariants)
{
    const auto file = [](unsigned refSize, const Layout& layout) {
        return Objects({Array({1}, refSize), Dict({2}, {3}, refSize), Ascii("k"), Ascii("v"), Array({3}, refSize)}, layout);
    };
    Check({
        {"wide fields with leading zeros", file(8, Widths(8, 8)), "[{k=s:v;};]"},
        {"3-byte offsets, 2-byte references", file(2, Widths(3, 2)), "[{k=s:v;};]"},
        {"top object other than 0 is ignored", file(1, Widths(1, 1, 4)), "[{k=s:v;};]"},
    });
}

TEST(PlistBinary, RefusesMalformedFiles)
{
    const Bytes simple = Objects({Array({1}), Int(1)});
    Layout tableAt7;
    tableAt7.offsetTableOffset = 7;
    Layout tablePastTrailer;
    tablePastTrailer.offsetTableOffset = simple.size() - 31;
    Layout partialEntry = Widths(2, 1);
    partialEntry.offsetTableTail = "\x01";
    Writer offsetAtTable;
    offsetAtTable.Add(Array({1}));
    offsetAtTable.AddOffset(8 + 2);

    Check({
        {"39 bytes", Bytes("bplist00") + Bytes(31, '\0'), "Plist: binary data too short for header and trailer"},
        {"offset width 0", Objects({Array({})}, Widths(0, 1)), "Plist: binary offset width must be 1 to 8 bytes"},
        {"offset width 9", Objects({Array({})}, Widths(9, 1)), "Plist: binary offset width must be 1 to 8 bytes"},
        {"reference width 0", Objects({Array({})}, Widths(1, 0)), "Plist: binary reference width must be 1 to 8 bytes"},
        {"reference width 9", Objects({Array({})}, Widths(1, 9)), "Plist: binary reference width must be 1 to 8 bytes"},
        {"table inside the header", Objects({Array({})}, tableAt7), "Plist: binary offset table position out of range"},
        {"table past the trailer", Objects({Array({1}), Int(1)}, tablePastTrailer), "Plist: binary offset table position out of range"},
        {"partial offset entry", Objects({Array({})}, partialEntry), "Out of bounds getRange"},
        {"empty offset table", Objects({}), "Plist: binary object reference out of range"},
        {"reference past the table", Wrapped(Array({9})), "Plist: binary object reference out of range"},
        {"offset at the offset table", offsetAtTable.Build(), "Plist: binary object offset out of range"},
        {"null marker", Wrapped(Bytes(1, '\0')), "Plist: null byte encountered, unsure how to parse"},
        {"fill marker", Wrapped("\x0F"), "Plist: fill byte encountered, unsure how to parse"},
        {"marker 0x05", Wrapped("\x05"), "Plist: unknown header \x05"},
        {"UTF-16 string", Wrapped(Marker(0x6, 1) + "ab"), "This type is not supported"},
        {"set", Wrapped(Marker(0xC, 0)), "This type is not supported"},
        {"2-byte real", Wrapped(Marker(0x2, 1) + "ab"), "Plist: binary real must be 4 or 8 bytes wide"},
        {"16-byte real", Wrapped(Marker(0x2, 4) + Bytes(16, '\0')), "Plist: binary real must be 4 or 8 bytes wide"},
        {"NaN date", Wrapped(Date(std::numeric_limits<double>::quiet_NaN())), "Plist: binary date out of range"},
        {"date past 2038", Wrapped(Date(1e10)), "Plist: binary date out of range"},
        {"integer past the end", Wrapped(Marker(0x1, 0xF)), "Out of bounds getRange"},
        {"string past the end", Wrapped(Marker(0x5, 4) + "abc"), "Out of bounds getRange"},
        {"count extension cut off", Wrapped(Marker(0x4, 0xF)), "Out of bounds getRange"},
        {"negative count", Wrapped(Marker(0x4, 0xF) + Int(-1)), "Plist: binary object count is negative"},
        {"array byte length overflows", Wrapped(Marker(0xA, 0xF) + Int(int64_t{1} << 61)), "Out of bounds getRange"},
        {"dictionary byte length overflows", Wrapped(Marker(0xD, 0xF) + Int(int64_t{1} << 62)), "Out of bounds getRange"},
        {"non-string key", Objects({Array({1}), Dict({2}, {2}), Int(3)}), "Error parsing dictionary.  Key can't be parsed as a string"},
        {"array holding itself", Objects({Array({0})}), "Plist: binary object references itself"},
        {"cycle through a dictionary", Objects({Array({1}), Dict({2}, {0}), Ascii("k")}), "Plist: binary object references itself"},
    });
}

TEST(PlistBinary, RefusesCyclesAndOffsetsHiddenBehindOtherIndexes)
{
    Writer alias;  // object 1 is object 0 again
    alias.Add(Array({1}));
    alias.AddOffset(8);
    Writer negative;
    negative.AddOffset(0xFFFFFFFF);
    EXPECT_EQ(Outcome(alias.Build()), "Plist: binary object references itself");
    EXPECT_EQ(Outcome(negative.Build(Widths(4, 1))), "Plist: binary object offset out of range");
}

TEST(PlistBinary, TopLevelOtherThanArrayIsABadCast)
{
    const Bytes file = Objects({Marker(0xD, 0)});
    EXPECT_THROW(Plist::readBuffer(file.data(), static_cast<int64_t>(file.size())), boost::bad_any_cast);
}

TEST(PlistBinary, Limits)
{
    // Object i is an array holding object i + 1; the last one is empty.
    const auto nested = [](int levels) {
        std::vector<Bytes> objects;
        for (int i = 1; i < levels; ++i)
            objects.push_back(Array({static_cast<uint64_t>(i)}, 2));
        objects.push_back(Marker(0xA, 0));
        return Objects(objects, Widths(4, 2));
    };
    std::vector<Bytes> doubling;  // 40 levels, each naming the next twice: 2^40 leaves
    for (uint64_t i = 1; i < 40; ++i)
        doubling.push_back(Array({i, i}));
    doubling.push_back(Int(0));
    const Bytes repeatedString = Objects({Array(std::vector<uint64_t>(20000, 1), 2), Ascii(std::string(4000, 's'))}, Widths(4, 2));

    EXPECT_EQ(Outcome(nested(Plist::kMaxNestingDepth)).substr(0, 3), "[[[");
    EXPECT_EQ(Outcome(nested(Plist::kMaxNestingDepth + 1)), "Plist: arrays and dictionaries nested too deeply");
    EXPECT_EQ(Outcome(Objects(doubling)), "Plist: binary data expands to too many values");
    EXPECT_EQ(Outcome(repeatedString), "Plist: binary data expands to too many bytes");
}

TEST(PlistBinary, GetRange)
{
    const Plist::ByteVector abc{'a', 'b', 'c'};
    const auto range = [](const Plist::ByteVector& source, int64_t start, int64_t size) {
        try {
            const Plist::ByteVector bytes = Plist::getRange(source, start, size);
            return std::string(bytes.begin(), bytes.end());
        } catch (const std::runtime_error& error) {
            return std::string(error.what());
        }
    };
    EXPECT_EQ(range(abc, 1, 2), "bc");
    EXPECT_EQ(range(abc, 3, 0), "");
    EXPECT_EQ(range(abc, 2, 2), "Out of bounds getRange");
    EXPECT_EQ(range(abc, -1, 1), "Out of bounds getRange");
    EXPECT_EQ(range(abc, 1, std::numeric_limits<int64_t>::max()), "Out of bounds getRange");  // start + size wraps
    EXPECT_EQ(range({}, 0, 0), "Plist::vecData trying to get pointer to empty std::vector");
}

}  // namespace
