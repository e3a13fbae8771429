// Signatures made by openssl (tests/signing), verified through the platform's CNG provider
// with the key the tests' keyed build carries.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "base/folders.h"
#include "net/publisher_key.h"
#include "net/signature.h"
#include "tests/test_files.h"

// Verdicts by name in failure messages.
void PrintTo(SignatureVerdict verdict, std::ostream* out)
{
    static const char* const kNames[] = {"Good", "NoSignature", "Malformed", "Mismatch"};
    *out << kNames[static_cast<int>(verdict)];
}

namespace {

std::string SigningFile(const wchar_t* name)
{
    return ReadWholeFile(GetModuleDir() + L"\\signing\\" + name);
}

class VerifySignatureTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(HasPublisherKey());
        ASSERT_NE(catalogue, "<missing>");
        ASSERT_NE(signature, "<missing>");
    }

    SignatureVerdict Verify(const std::string& bytes, const std::string& der) const
    {
        return VerifySignature(bytes, der, *PublisherKey());
    }

    const std::string catalogue = SigningFile(L"signed\\catalogue.xml");
    const std::string signature = SigningFile(L"signed\\catalogue.xml.sig");
};

TEST_F(VerifySignatureTest, AGoodSignatureOverTheExactBytes)
{
    EXPECT_EQ(Verify(catalogue, signature), SignatureVerdict::Good);
}

TEST_F(VerifySignatureTest, AlteredBytesAreAMismatch)
{
    std::string flipped = catalogue;
    flipped[flipped.size() / 2] ^= 0x01;
    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"one bit flipped", flipped},
        {"a byte more", catalogue + "\n"},
        {"the last byte gone", catalogue.substr(0, catalogue.size() - 1)},
        {"no bytes", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Verify(c.bytes, signature), SignatureVerdict::Mismatch);
    }
}

TEST_F(VerifySignatureTest, AnotherKeysSignatureIsAMismatch)
{
    EXPECT_EQ(Verify(catalogue, SigningFile(L"signed\\catalogue.xml.other-key.sig")), SignatureVerdict::Mismatch);

    const std::optional<P256PublicKey> other = ReadPublicKeyPem(SigningFile(L"keys\\other_publisher.pub.pem"));
    ASSERT_TRUE(other.has_value());
    EXPECT_EQ(VerifySignature(catalogue, signature, *other), SignatureVerdict::Mismatch);
}

// Well-formed DER that is not the signature: the provider's answer, not the reader's, says no.
TEST_F(VerifySignatureTest, AWellFormedButAlteredSignatureIsAMismatch)
{
    std::string altered = signature;
    altered.back() = static_cast<char>(altered.back() == 0x01 ? 0x02 : 0x01);
    EXPECT_EQ(Verify(catalogue, altered), SignatureVerdict::Mismatch);
}

TEST_F(VerifySignatureTest, TruncatedOrGarbageSignaturesAreMalformed)
{
    for (size_t size = 1; size < signature.size(); ++size)
        EXPECT_EQ(Verify(catalogue, signature.substr(0, size)), SignatureVerdict::Malformed) << size << " bytes";
    for (const std::string& garbage : {std::string("not a signature"), std::string(72, '\xff'), catalogue,
                                       signature + signature}) {
        SCOPED_TRACE(garbage);
        EXPECT_EQ(Verify(catalogue, garbage), SignatureVerdict::Malformed);
    }
}

TEST_F(VerifySignatureTest, NoBytesAreNoSignature)
{
    EXPECT_EQ(Verify(catalogue, ""), SignatureVerdict::NoSignature);
}

// A point off the curve verifies nothing rather than everything. Wine 8 imports such a key
// and refuses at verification; a provider that refuses it at import gives the same verdict.
TEST_F(VerifySignatureTest, AKeyOffTheCurveVerifiesNothing)
{
    P256PublicKey offCurve = *PublisherKey();
    offCurve.y[31] ^= 0x01;
    EXPECT_EQ(VerifySignature(catalogue, signature, offCurve), SignatureVerdict::Mismatch);
}

TEST(ReadFileBytes, WholeFilesEmptyOnesIncluded)
{
    const ScratchFolder folder(L"signature_test");
    std::string bytes = "stale";
    const ScratchFile empty(folder / L"empty.bin", "");
    EXPECT_TRUE(ReadFileBytes(empty.path(), bytes));
    EXPECT_EQ(bytes, "");
    const std::string binary("a\0b\r\n\xff", 6);
    const ScratchFile file(folder / L"binary.bin", binary);
    EXPECT_TRUE(ReadFileBytes(file.path(), bytes));
    EXPECT_EQ(bytes, binary);

    bytes = "stale";
    EXPECT_FALSE(ReadFileBytes(folder / L"missing.bin", bytes));
    EXPECT_EQ(bytes, "");
    EXPECT_FALSE(ReadFileBytes(folder.path(), bytes)) << "a folder";
}

}  // namespace
