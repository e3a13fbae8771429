// Reading a P-256 public key from PEM, and the key that CMake decoded from the same file for
// the tests' keyed build: the two decoders must agree.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "net/public_key.h"
#include "net/publisher_key.h"

namespace {

std::string ReadText(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

std::string Replaced(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

const std::string kTestKeyPath = "signing/keys/test_publisher.pub.pem";

bool SameKey(const P256PublicKey& a, const P256PublicKey& b)
{
    return a.x == b.x && a.y == b.y;
}

// Linked with the test key's library: CMake's decoding of the file at configure time.
TEST(PublicKey, TheTestBuildCarriesTheKeyOfItsPemFile)
{
    const std::optional<P256PublicKey> read = ReadPublicKeyPem(ReadText(kTestKeyPath));
    ASSERT_TRUE(read.has_value());
    ASSERT_TRUE(HasPublisherKey());
    EXPECT_TRUE(SameKey(*PublisherKey(), *read));

    const std::optional<P256PublicKey> other = ReadPublicKeyPem(ReadText("signing/keys/other_publisher.pub.pem"));
    ASSERT_TRUE(other.has_value());
    EXPECT_FALSE(SameKey(*other, *read));
}

TEST(PublicKey, TakesThePemThatOpensslWritesWithTextAroundIt)
{
    const std::string pem = ReadText(kTestKeyPath);
    const std::optional<P256PublicKey> key = ReadPublicKeyPem(pem);
    ASSERT_TRUE(key.has_value());
    const struct {
        const char* name;
        std::string pem;
    } cases[] = {
        {"CRLF line ends", Replaced(pem, "\n", "\r\n")},
        {"no text before the block", pem.substr(pem.find("-----BEGIN"))},
        {"text after the block", pem + "trailing words\n"},
        {"blanks in place of line ends", Replaced(Replaced(pem, "\n", " "), "----- ", "-----\n")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<P256PublicKey> read = ReadPublicKeyPem(c.pem);
        ASSERT_TRUE(read.has_value());
        EXPECT_TRUE(SameKey(*read, *key));
    }
}

TEST(PublicKey, RefusesAnythingButAnUncompressedP256PublicKey)
{
    const std::string pem = ReadText(kTestKeyPath);
    const size_t body = pem.find("-----BEGIN PUBLIC KEY-----\n") + 27;
    const size_t secondLine = pem.find('\n', body) + 1;
    const struct {
        const char* name;
        std::string pem;
    } cases[] = {
        {"nothing", ""},
        {"a P-384 key", ReadText("signing/refused/p384.pub.pem")},
        {"a compressed point", ReadText("signing/refused/compressed.pub.pem")},
        {"an RSA key", ReadText("signing/refused/rsa.pub.pem")},
        {"a private key", ReadText("signing/refused/private.pem")},
        {"a private key under the public label",
         Replaced(ReadText("signing/refused/private.pem"), "EC PRIVATE KEY", "PUBLIC KEY")},
        {"a point in hybrid form (0x06), the same size", Replaced(pem, "DQgAE", "DQgAG")},
        {"another label", Replaced(pem, "PUBLIC KEY", "CERTIFICATE")},
        {"no END line", Replaced(pem, "-----END PUBLIC KEY-----", "")},
        {"a character outside base64", pem.substr(0, body) + "*" + pem.substr(body + 1)},
        {"a line dropped: too short", pem.substr(0, body) + pem.substr(secondLine)},
        {"its padding dropped", Replaced(pem, "==", "")},
        {"a padding character too many", Replaced(pem, "==", "===")},
        {"padding in the middle", pem.substr(0, body) + "====" + pem.substr(body)},
        {"five bytes more", Replaced(pem, "==\n", "AAAAAA\n")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(ReadPublicKeyPem(c.pem).has_value());
    }
}

}  // namespace
