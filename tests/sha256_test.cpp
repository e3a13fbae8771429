// SHA-256 of files and bytes through the platform's provider, against published test vectors.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "net/sha256.h"
#include "tests/test_files.h"

namespace {

TEST(Sha256OfFile, KnownVectors)
{
    const ScratchFolder folder(L"sha256_test");
    const struct {
        const char* name;
        std::string content;
        const wchar_t* sha256;
    } cases[] = {
        {"empty", "", L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "abc", L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         L"248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"896 bits",
         "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
         L"cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {"a million times a, over many read blocks", std::string(1000000, 'a'),
         L"cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ScratchFile file(folder / L"vector.bin", c.content);
        EXPECT_EQ(Sha256OfFile(file.path()), c.sha256);
    }
}

TEST(Sha256OfFile, NoFileOrACancelGivesNoHash)
{
    const ScratchFolder folder(L"sha256_test");
    EXPECT_EQ(Sha256OfFile(folder / L"missing.bin"), L"");
    EXPECT_EQ(Sha256OfFile(folder.path()), L"") << "a folder";

    const ScratchFile file(folder / L"some.bin", "abc");
    const std::atomic<bool> cancelled{true};
    EXPECT_EQ(Sha256OfFile(file.path(), &cancelled), L"");
    const std::atomic<bool> going{false};
    EXPECT_EQ(Sha256OfFile(file.path(), &going), L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Sha256OfBytes, KnownVectors)
{
    const struct {
        std::string bytes;
        const wchar_t* sha256;
    } cases[] = {
        {"", L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {std::string(1000000, 'a'), L"cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.sha256)));
        const std::optional<Sha256Digest> digest = Sha256OfBytes(c.bytes);
        ASSERT_TRUE(digest.has_value());
        std::wstring hex;
        for (const unsigned char byte : *digest) {
            hex += L"0123456789abcdef"[byte >> 4];
            hex += L"0123456789abcdef"[byte & 0x0f];
        }
        EXPECT_EQ(hex, c.sha256);
    }
}

}  // namespace
