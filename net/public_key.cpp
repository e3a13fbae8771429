#include "net/public_key.h"

#include <algorithm>
#include <iterator>
#include <string>

namespace {

constexpr std::string_view kBegin = "-----BEGIN PUBLIC KEY-----";
constexpr std::string_view kEnd = "-----END PUBLIC KEY-----";

// SubjectPublicKeyInfo up to X and Y: SEQUENCE, AlgorithmIdentifier (id-ecPublicKey,
// prime256v1), BIT STRING of 66 bytes, 0x04 for an uncompressed point.
constexpr unsigned char kP256Prefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d,
                                         0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01,
                                         0x07, 0x03, 0x42, 0x00, 0x04};
constexpr size_t kCoordinateBytes = 32;
constexpr size_t kKeyInfoBytes = sizeof(kP256Prefix) + 2 * kCoordinateBytes;

// The digit's value, or -1 for a character outside the alphabet (padding included).
int Base64Value(char c)
{
    static constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const size_t at = kAlphabet.find(c);
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

bool IsLineSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Strict base64: whole groups of four, padding only at the very end. Line breaks and
// blanks between the characters are skipped, as PEM wraps its text at 64 columns.
std::optional<std::string> DecodeBase64(std::string_view text)
{
    std::string digits;
    std::copy_if(text.begin(), text.end(), std::back_inserter(digits), [](char c) { return !IsLineSpace(c); });
    size_t padding = 0;
    while (padding < digits.size() && digits[digits.size() - 1 - padding] == '=')
        ++padding;
    if (digits.empty() || digits.size() % 4 != 0 || padding > 2)
        return std::nullopt;
    std::string bytes;
    unsigned bits = 0;
    int count = 0;
    for (size_t i = 0; i < digits.size() - padding; ++i) {
        const int value = Base64Value(digits[i]);
        if (value < 0)
            return std::nullopt;
        bits = ((bits << 6) | static_cast<unsigned>(value)) & 0xffff;
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes += static_cast<char>((bits >> count) & 0xff);
        }
    }
    return bytes;
}

}  // namespace

std::optional<P256PublicKey> ReadPublicKeyPem(std::string_view pem)
{
    const size_t begin = pem.find(kBegin);
    if (begin == std::string_view::npos)
        return std::nullopt;
    const std::string_view rest = pem.substr(begin + kBegin.size());
    const size_t end = rest.find(kEnd);
    if (end == std::string_view::npos)
        return std::nullopt;
    const std::optional<std::string> der = DecodeBase64(rest.substr(0, end));
    if (!der || der->size() != kKeyInfoBytes ||
        der->compare(0, sizeof(kP256Prefix), reinterpret_cast<const char*>(kP256Prefix), sizeof(kP256Prefix)) != 0)
        return std::nullopt;
    P256PublicKey key{};
    const auto coordinates = der->begin() + sizeof(kP256Prefix);
    std::copy(coordinates, coordinates + kCoordinateBytes, key.x.begin());
    std::copy(coordinates + kCoordinateBytes, coordinates + 2 * kCoordinateBytes, key.y.begin());
    return key;
}
