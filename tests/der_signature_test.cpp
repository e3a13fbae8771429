// The DER signature reader: one input per rule it enforces, each refused, beside the forms it
// must take. Bytes are built by hand so that each case breaks exactly one rule.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "net/der_signature.h"

namespace {

std::string Bytes(std::initializer_list<int> values)
{
    std::string bytes;
    for (const int value : values)
        bytes += static_cast<char>(value);
    return bytes;
}

// Tag, short-form length, contents.
std::string Tlv(int tag, const std::string& contents)
{
    return Bytes({tag, static_cast<int>(contents.size())}) + contents;
}

std::string Integer(const std::string& contents)
{
    return Tlv(0x02, contents);
}

std::string Sequence(const std::string& contents)
{
    return Tlv(0x30, contents);
}

// `size` bytes: `first`, then 0x5a.
std::string Magnitude(int first, size_t size)
{
    return Bytes({first}) + std::string(size - 1, '\x5a');
}

// A magnitude behind the zero byte that keeps its high bit from reading as a sign.
std::string WithSignByte(const std::string& magnitude)
{
    return std::string(1, '\0') + magnitude;
}

// Reads from a heap block of exactly the input's size, so that AddressSanitizer (host build)
// stops at the first byte read beyond it.
std::optional<RawP256Signature> ReadExactly(const std::string& der)
{
    const std::unique_ptr<char[]> block(new char[der.size()]);
    std::copy(der.begin(), der.end(), block.get());
    return ReadDerSignature(std::string_view(block.get(), der.size()));
}

// The 64-byte r‖s the reader should give for these big-endian magnitudes.
RawP256Signature Raw(const std::string& r, const std::string& s)
{
    RawP256Signature raw{};
    std::copy(r.begin(), r.end(), raw.begin() + static_cast<std::ptrdiff_t>(32 - r.size()));
    std::copy(s.begin(), s.end(), raw.begin() + static_cast<std::ptrdiff_t>(64 - s.size()));
    return raw;
}

TEST(ReadDerSignature, TakesStrictDerOfTwoPositiveIntegers)
{
    const std::string one = Bytes({0x01});
    const std::string full = Magnitude(0x7f, 32);
    const std::string high = Magnitude(0x80, 32);
    const std::string shortHalf = Magnitude(0x12, 20);
    const struct {
        const char* name;
        std::string der;
        RawP256Signature raw;
    } cases[] = {
        {"the smallest values", Sequence(Integer(one) + Integer(one)), Raw(one, one)},
        {"32 bytes without a sign byte", Sequence(Integer(full) + Integer(full)), Raw(full, full)},
        {"a sign byte before a high first bit", Sequence(Integer(WithSignByte(high)) + Integer(full)), Raw(high, full)},
        {"both with sign bytes: the longest signature, 72 bytes",
         Sequence(Integer(WithSignByte(high)) + Integer(WithSignByte(high))), Raw(high, high)},
        {"short values are padded on the left", Sequence(Integer(shortHalf) + Integer(one)), Raw(shortHalf, one)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<RawP256Signature> raw = ReadExactly(c.der);
        ASSERT_TRUE(raw.has_value());
        EXPECT_EQ(*raw, c.raw);
    }
}

TEST(ReadDerSignature, RefusesEveryBreachOfItsRules)
{
    const std::string one = Bytes({0x01});
    const std::string good = Integer(one);
    const std::string high = Magnitude(0x80, 32);
    const struct {
        const char* name;
        std::string der;
    } cases[] = {
        {"nothing", ""},
        {"a tag alone", Bytes({0x30})},
        {"a SET, not a SEQUENCE", Tlv(0x31, good + good)},
        {"r not an INTEGER", Sequence(Tlv(0x03, one) + good)},
        {"s not an INTEGER", Sequence(good + Tlv(0x04, one))},
        {"only r", Sequence(good)},
        {"a third INTEGER", Sequence(good + good + good)},
        {"a byte after s, inside the SEQUENCE", Sequence(good + good + Bytes({0x00}))},
        {"a byte after the SEQUENCE", Sequence(good + good) + Bytes({0x00})},
        {"the SEQUENCE longer than the bytes", Bytes({0x30, 0x07}) + good + good},
        {"the SEQUENCE far longer than the bytes", Bytes({0x30, 0x7f}) + good + good},
        {"r longer than the SEQUENCE", Sequence(Bytes({0x02, 0x05, 0x01}) + good)},
        {"s longer than the bytes", Sequence(good + Bytes({0x02, 0x02, 0x01}))},
        {"the indefinite length", Bytes({0x30, 0x80}) + good + good + Bytes({0x00, 0x00})},
        {"a long-form length under 0x80", Bytes({0x30, 0x81, 0x06}) + good + good},
        {"a long-form length with a leading zero byte", Bytes({0x30, 0x82, 0x00, 0x06}) + good + good},
        {"a long-form length of three bytes", Bytes({0x30, 0x83, 0x00, 0x00, 0x06}) + good + good},
        {"a long-form length of four 0xff bytes", Bytes({0x30, 0x84, 0xff, 0xff, 0xff, 0xff}) + good + good},
        {"a long-form length cut off", Bytes({0x30, 0x82, 0x01})},
        {"a long-form INTEGER length", Sequence(Bytes({0x02, 0x81, 0x01, 0x01}) + good)},
        {"an empty r", Sequence(Integer("") + good)},
        {"a negative r", Sequence(Integer(Bytes({0x80})) + good)},
        {"a negative s of 32 bytes", Sequence(good + Integer(high))},
        {"r zero", Sequence(Integer(Bytes({0x00})) + good)},
        {"s zero", Sequence(good + Integer(Bytes({0x00})))},
        {"a needless leading zero byte", Sequence(Integer(Bytes({0x00, 0x01})) + good)},
        {"two leading zero bytes before a high bit", Sequence(Integer(Bytes({0x00, 0x00, 0x80})) + good)},
        {"r of 33 bytes", Sequence(Integer(Magnitude(0x01, 33)) + good)},
        {"s of 33 bytes after its sign byte", Sequence(good + Integer(WithSignByte(Magnitude(0x80, 33))))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(ReadExactly(c.der).has_value());
    }
}

// What openssl writes, from the committed signing data; every shorter prefix is refused.
TEST(ReadDerSignature, TakesOpensslSignaturesButNoneOfTheirPrefixes)
{
    for (const char* path : {"signing/signed/catalogue.xml.sig", "signing/signed/catalogue.xml.other-key.sig"}) {
        SCOPED_TRACE(path);
        std::ifstream file(path, std::ios::binary);
        const std::string der((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        ASSERT_GE(der.size(), 8u);
        EXPECT_TRUE(ReadExactly(der).has_value());
        for (size_t size = 0; size < der.size(); ++size)
            EXPECT_FALSE(ReadExactly(der.substr(0, size)).has_value()) << size << " bytes";
    }
}

}  // namespace
