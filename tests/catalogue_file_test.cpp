// How every part of the program loads a catalogue file: as it is in an unkeyed build, and in a
// keyed build only when the signature beside it verifies over its bytes, with a refresh that
// was cut off between its two replaces completed by the load.
#include "tests/loopback_http_server.h"  // first: Winsock wants winsock2.h before windows.h

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "catalog/catalogue_file.h"
#include "net/publisher_key.h"
#include "tests/catalogue_xml.h"
#include "tests/test_files.h"
#include "tests/test_signer.h"

namespace {

std::string OneGroup(const std::string& name)
{
    return XmlCatalogue(XmlGroup(name, "g.png", XmlProgram(name + "-a", L"http://dl.example.com/a.exe", "a.png")));
}

class CatalogueFile : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(PublisherKey().has_value()); }

    // Writes the catalogue and, when given, its signature; a file not given is removed.
    void Put(const std::optional<std::string>& catalogue, const std::optional<std::string>& signature) const
    {
        DeleteFileW(m_path.c_str());
        DeleteFileW(SignaturePathOf(m_path).c_str());
        if (catalogue) {
            ASSERT_TRUE(WriteWholeFile(m_path, *catalogue));
        }
        if (signature) {
            ASSERT_TRUE(WriteWholeFile(SignaturePathOf(m_path), *signature));
        }
    }

    CatalogueFileLoad Load(Catalogue& catalogue, bool keyed = true) const
    {
        return LoadCatalogueFile(catalogue, m_path, keyed ? &*PublisherKey() : nullptr);
    }

    bool PairOnDiskVerifies() const
    {
        return VerifySignature(ReadWholeFile(m_path), ReadWholeFile(SignaturePathOf(m_path)), *PublisherKey()) ==
               SignatureVerdict::Good;
    }

    ScratchFolder m_folder{L"catalogue-file"};
    const std::wstring m_path = m_folder / L"AppLib.xml";
};

TEST_F(CatalogueFile, AKeyedLoadTakesOnlyACatalogueItsSignatureVouchesFor)
{
    const std::string signedCatalogue = OneGroup("Signed");
    const std::string signature = test_signer::Sign(signedCatalogue);
    ASSERT_FALSE(signature.empty());
    std::string added = signedCatalogue;
    added.insert(added.find("</array></dict>"), XmlProgram("added", L"http://evil.example.com/x.exe", "x.png"));
    const struct {
        const char* name;
        std::optional<std::string> catalogue;
        std::optional<std::string> signature;
        CatalogueFileLoad keyed;
        CatalogueFileLoad unkeyed;
    } cases[] = {
        {"signed", signedCatalogue, signature, CatalogueFileLoad::Loaded, CatalogueFileLoad::Loaded},
        {"a program added after signing", added, signature, CatalogueFileLoad::NotVerified, CatalogueFileLoad::Loaded},
        {"no signature file", signedCatalogue, std::nullopt, CatalogueFileLoad::NotVerified, CatalogueFileLoad::Loaded},
        {"an empty signature", signedCatalogue, std::string(), CatalogueFileLoad::NotVerified,
         CatalogueFileLoad::Loaded},
        {"the signature of other bytes", signedCatalogue, test_signer::Sign(OneGroup("Other")),
         CatalogueFileLoad::NotVerified, CatalogueFileLoad::Loaded},
        {"no catalogue", std::nullopt, signature, CatalogueFileLoad::Unreadable, CatalogueFileLoad::Unreadable},
        {"signed, but no property list", std::string("not a plist"), test_signer::Sign("not a plist"),
         CatalogueFileLoad::Unreadable, CatalogueFileLoad::Unreadable},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Put(c.catalogue, c.signature);
        Catalogue keyed;
        EXPECT_EQ(Load(keyed), c.keyed);
        EXPECT_EQ(keyed.size(), c.keyed == CatalogueFileLoad::Loaded ? 1u : 0u) << "groups of a refused catalogue";
        Catalogue unkeyed;
        EXPECT_EQ(Load(unkeyed, false), c.unkeyed);
    }
}

// A refresh replaces the signature first: cut off before the catalogue's replace, it leaves
// the new signature beside the old catalogue and the new catalogue under its pending name.
TEST_F(CatalogueFile, ALoadCompletesARefreshCutOffBetweenItsReplaces)
{
    const std::string oldCatalogue = OneGroup("Old");
    const std::string newCatalogue = OneGroup("New");
    const std::wstring pending = m_path + L".1f2e.new";
    const std::wstring otherPending = m_path + L".a0.new";  // an older leftover, vouched for by nothing
    Put(oldCatalogue, test_signer::Sign(newCatalogue));
    ASSERT_TRUE(WriteWholeFile(otherPending, OneGroup("Leftover")));
    ASSERT_TRUE(WriteWholeFile(pending, newCatalogue));

    Catalogue catalogue;
    ASSERT_EQ(Load(catalogue), CatalogueFileLoad::Loaded);
    ASSERT_EQ(catalogue.size(), 1u);
    EXPECT_EQ(catalogue[0]->name, L"New");
    EXPECT_EQ(ReadWholeFile(m_path), newCatalogue);
    EXPECT_TRUE(PairOnDiskVerifies());
    EXPECT_FALSE(PathExists(pending));
    EXPECT_TRUE(PathExists(otherPending)) << "only the file the signature vouches for is taken";

    // A second load finds a pair that verifies and touches nothing.
    Catalogue again;
    EXPECT_EQ(Load(again), CatalogueFileLoad::Loaded);
    EXPECT_TRUE(PathExists(otherPending));
}

TEST_F(CatalogueFile, APendingFileTheSignatureDoesNotVouchForIsNotTaken)
{
    const std::string altered = OneGroup("Altered");
    const struct {
        const char* name;
        std::wstring pendingName;  // beside AppLib.xml
        std::string pendingBytes;
        bool keyed;
    } cases[] = {
        {"other bytes under a pending name", L"AppLib.xml.1f2e.new", OneGroup("Unsigned"), true},
        {"an unkeyed build never looks", L"AppLib.xml.1f2e.new", OneGroup("New"), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        m_folder.Clear();
        Put(altered, test_signer::Sign(OneGroup("New")));
        const std::wstring pending = m_folder / c.pendingName;
        ASSERT_TRUE(WriteWholeFile(pending, c.pendingBytes));

        Catalogue catalogue;
        EXPECT_EQ(Load(catalogue, c.keyed), c.keyed ? CatalogueFileLoad::NotVerified : CatalogueFileLoad::Loaded);
        EXPECT_EQ(ReadWholeFile(m_path), altered);
        EXPECT_EQ(ReadWholeFile(pending), c.pendingBytes);
    }
}

}  // namespace
