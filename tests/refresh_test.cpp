#include "tests/loopback_http_server.h"  // first: Winsock wants winsock2.h before windows.h

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/folders.h"
#include "base/unique_handle.h"
#include "catalog/catalogue.h"
#include "catalog/catalogue_file.h"
#include "catalog/refresh.h"
#include "net/publisher_key.h"
#include "net/servers.h"
#include "tests/test_files.h"
#include "tests/test_signer.h"

namespace {

std::string Str(const std::string& key, const std::string& value)
{
    return "<key>" + key + "</key><string>" + value + "</string>";
}

std::string Program(const std::string& name, const std::string& icon)
{
    return "<dict>" + Str("name", name) + Str("url", "http://dl.example.com/" + name + ".exe") + Str("icon", icon) +
           "</dict>";
}

std::string Group(const std::string& name, const std::string& icon, const std::string& programs)
{
    return "<dict>" + Str("name", name) + Str("icon", icon) + "<key>applications</key><array>" + programs +
           "</array></dict>";
}

std::string Plist(const std::string& groups)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><array>" + groups +
           "</array></plist>";
}

// Where a name joined to a folder really lands once "." and ".." have been walked.
std::wstring Resolved(const std::wstring& folder, const std::wstring& name)
{
    wchar_t full[MAX_PATH] = {};
    const DWORD length = GetFullPathNameW((folder + L"\\" + name).c_str(), MAX_PATH, full, nullptr);
    return length > 0 && length < MAX_PATH ? full : L"";
}

std::set<std::wstring> FilesIn(const std::wstring& folder)
{
    const std::vector<std::wstring> names = FindFiles(folder + L"\\*");
    return std::set<std::wstring>(names.begin(), names.end());
}

// Runs the refresh against the catalogue server on its compiled-in port, in the data tree
// laid out beside this program, and puts that tree back afterwards.
class Refresh : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.IsListening()) << "catalogue port " << server.Port() << " busy";
        m_originalCatalogue = ReadWholeFile(LocalCatalogue());
        ASSERT_NE(m_originalCatalogue, "<missing>");
        m_groupIcons = FilesIn(GetGroupIconsDir());
        m_programIcons = FilesIn(GetAppIconsDir());
    }

    void TearDown() override { Restore(); }

    // Puts the data tree back as it was before the test.
    void Restore()
    {
        WriteWholeFile(LocalCatalogue(), m_originalCatalogue);
        DeleteFileW(LocalSignature().c_str());
        for (const std::wstring& name : FindFiles(LocalCatalogue() + L".*.new"))
            DeleteFileW((GetAppLibDir() + L"\\" + name).c_str());
        RemoveFilesNotIn(GetGroupIconsDir(), m_groupIcons);
        RemoveFilesNotIn(GetAppIconsDir(), m_programIcons);
        for (const std::wstring& path : m_strayPaths)
            DeleteFileW(path.c_str());
    }

    // A path outside the data tree that the refresh must not write; removed at the end in
    // case it does. False when a file is there already, which the test must not delete.
    bool WatchStrayPath(const std::wstring& path)
    {
        if (path.empty() || PathExists(path))
            return false;
        m_strayPaths.push_back(path);
        return true;
    }

    static std::wstring LocalCatalogue() { return GetAppLibDir() + L"\\AppLib.xml"; }
    // The catalogue, its signature and whatever else stands beside them under their names.
    static std::set<std::wstring> CatalogueFiles()
    {
        const std::vector<std::wstring> names = FindFiles(LocalCatalogue() + L"*");
        return std::set<std::wstring>(names.begin(), names.end());
    }
    static std::wstring LocalSignature() { return LocalCatalogue() + L".sig"; }

    std::string IconUrl(const std::string& path) const { return Narrow(server.Url(path)); }

    // With no key, as an unkeyed build runs it.
    CatalogueRefreshState RunRefresh(const P256PublicKey* publisherKey = nullptr)
    {
        g_catalogueRefreshState = RefreshRunning;
        CatalogueRefreshThread(const_cast<P256PublicKey*>(publisherKey));
        return static_cast<CatalogueRefreshState>(g_catalogueRefreshState.load());
    }

    std::vector<std::string> GetPaths() const
    {
        std::vector<std::string> paths;
        for (const RecordedRequest& request : server.Requests()) {
            if (request.method == "GET")
                paths.push_back(request.path);
        }
        return paths;
    }

    LoopbackHttpServer server{PortOfServer(kCatalogueServer)};
    std::string m_originalCatalogue;

private:
    static void RemoveFilesNotIn(const std::wstring& folder, const std::set<std::wstring>& keep)
    {
        for (const std::wstring& name : FilesIn(folder)) {
            if (!keep.count(name))
                DeleteFileW((folder + L"\\" + name).c_str());
        }
    }

    std::set<std::wstring> m_groupIcons;
    std::set<std::wstring> m_programIcons;
    std::vector<std::wstring> m_strayPaths;
};

TEST_F(Refresh, ReplacesTheCatalogueAfterFetchingMissingIcons)
{
    const std::wstring present = GetAppIconsDir() + L"\\present.png";
    ASSERT_TRUE(WriteWholeFile(present, "icon on disk"));
    const std::string catalogue = Plist(
        Group("Tools", IconUrl("/g/toolbox.png"),
              Program("A", IconUrl("/p/a.png")) + Program("B", IconUrl("/p/present.png")) +
                  Program("C", IconUrl("/p/broken.png")) + Program("D", IconUrl("/mirror/a.png"))) +
        Group("Local", "local.png", Program("E", "HTTP://127.0.0.1/p/e.png")));
    server.Serve("/AppLib/AppLib.xml", Body(catalogue));
    server.Serve("/g/toolbox.png", Body("group icon"));
    server.Serve("/p/a.png", Body("icon a"));
    server.Serve("/p/present.png", Body("changed on the server"));
    server.Serve("/mirror/a.png", Body("mirror of a"));

    EXPECT_EQ(RunRefresh(), RefreshUpdated);

    EXPECT_EQ(ReadWholeFile(LocalCatalogue()), catalogue);
    EXPECT_EQ(CatalogueFiles(), std::set<std::wstring>{L"AppLib.xml"});
    EXPECT_EQ(ReadWholeFile(GetGroupIconsDir() + L"\\toolbox.png"), "group icon");
    EXPECT_EQ(ReadWholeFile(GetAppIconsDir() + L"\\a.png"), "icon a");  // the second a.png shares it
    EXPECT_EQ(ReadWholeFile(present), "icon on disk");
    EXPECT_FALSE(PathExists(GetAppIconsDir() + L"\\broken.png"));  // 404, ignored
    EXPECT_FALSE(PathExists(GetGroupIconsDir() + L"\\local.png"));
    // E's icon names another port's server and fails; a plain group icon name is never fetched.
    EXPECT_EQ(GetPaths(), (std::vector<std::string>{"/AppLib/AppLib.xml", "/g/toolbox.png", "/p/a.png"}));
    EXPECT_EQ(server.CountRequests("HEAD", "/p/broken.png"), 5u);
}

// The server's copy is nearly always the local file itself: the local file is then left as it
// was (not even rewritten) and the refresh says there is nothing to reload. Missing icons
// are still fetched. One byte of difference is a new catalogue.
TEST_F(Refresh, AnIdenticalCatalogueLeavesTheLocalFileAlone)
{
    const std::string catalogue =
        Plist(Group("Tools", IconUrl("/g/same.png"), Program("A", IconUrl("/p/same-a.png"))));
    ASSERT_TRUE(WriteWholeFile(LocalCatalogue(), catalogue));
    const FILETIME old = {0x12345678, 0x01D00000};  // a time in 2014, no download's
    {
        const FileHandle local(CreateFileW(LocalCatalogue().c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(local);
        ASSERT_TRUE(SetFileTime(local.get(), nullptr, nullptr, &old));
    }
    server.Serve("/AppLib/AppLib.xml", Body(catalogue));
    server.Serve("/g/same.png", Body("group icon"));
    server.Serve("/p/same-a.png", Body("icon a"));

    EXPECT_EQ(RunRefresh(), RefreshUnchanged);
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    ASSERT_TRUE(GetFileAttributesExW(LocalCatalogue().c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(CompareFileTime(&data.ftLastWriteTime, &old), 0) << "the local file was replaced";
    EXPECT_EQ(ReadWholeFile(LocalCatalogue()), catalogue);
    EXPECT_EQ(CatalogueFiles(), std::set<std::wstring>{L"AppLib.xml"});
    EXPECT_EQ(ReadWholeFile(GetGroupIconsDir() + L"\\same.png"), "group icon");
    EXPECT_EQ(ReadWholeFile(GetAppIconsDir() + L"\\same-a.png"), "icon a");

    std::string changed = catalogue;
    changed[changed.find("Tools")] = 't';
    server.Serve("/AppLib/AppLib.xml", Body(changed));
    EXPECT_EQ(RunRefresh(), RefreshUpdated);
    EXPECT_EQ(ReadWholeFile(LocalCatalogue()), changed);
    EXPECT_EQ(CatalogueFiles(), std::set<std::wstring>{L"AppLib.xml"});
}

TEST_F(Refresh, EveryMissingIconArrivesBeforeTheCatalogueIsReplaced)
{
    // The main window reloads the catalogue as soon as it is in place and loads its icons then.
    const std::string catalogue =
        Plist(Group("Tools", IconUrl("/g/toolbox.png"), Program("A", IconUrl("/p/a.png"))) +
              Group("Media", IconUrl("/g/movies.png"),
                    Program("B", IconUrl("/p/b.png")) + Program("Z", IconUrl("/p/last.png"))));
    server.Serve("/AppLib/AppLib.xml", Body(catalogue));
    server.ServeAnyOtherPath(Body("icon"));
    const std::string lastIcon(10000, 'z');
    HttpAnswer slow = Body(lastIcon);
    slow.pauseAfter = 4096;
    server.Serve("/p/last.png", Body(lastIcon), slow);  // the last icon in catalogue order

    CatalogueRefreshState state = RefreshIdle;
    std::thread refresh([&] { state = RunRefresh(); });
    const bool paused = server.WaitUntilPaused(10000);
    const std::string localMidway = ReadWholeFile(LocalCatalogue());
    const std::set<std::wstring> filesMidway = CatalogueFiles();
    const LONG stateMidway = g_catalogueRefreshState.load();
    server.Resume();
    refresh.join();

    ASSERT_TRUE(paused);
    EXPECT_TRUE(localMidway == m_originalCatalogue) << "replaced while an icon was still arriving";
    EXPECT_EQ(filesMidway, std::set<std::wstring>{L"AppLib.xml"}) << "the new catalogue waits in memory";
    EXPECT_EQ(stateMidway, RefreshRunning);
    EXPECT_EQ(state, RefreshUpdated);
    EXPECT_EQ(ReadWholeFile(LocalCatalogue()), catalogue);
    EXPECT_EQ(ReadWholeFile(GetAppIconsDir() + L"\\last.png"), lastIcon);
}

TEST_F(Refresh, UnreachableServerFailsAndKeepsTheLocalCatalogue)
{
    server.Serve("/AppLib/AppLib.xml", [] {
        HttpAnswer answer;
        answer.status = 503;
        return answer;
    }());
    EXPECT_EQ(RunRefresh(), RefreshFailed);
    EXPECT_EQ(ReadWholeFile(LocalCatalogue()), m_originalCatalogue);
    EXPECT_EQ(CatalogueFiles(), std::set<std::wstring>{L"AppLib.xml"});
}

// The download is checked in memory: a refused one is never written anywhere.
TEST_F(Refresh, CatalogueWithoutGroupsFailsAndWritesNothing)
{
    server.Serve("/AppLib/AppLib.xml", Body(Plist("")));
    EXPECT_EQ(RunRefresh(), RefreshFailed);
    EXPECT_EQ(ReadWholeFile(LocalCatalogue()), m_originalCatalogue);
    EXPECT_EQ(CatalogueFiles(), std::set<std::wstring>{L"AppLib.xml"});
}

// Cut short with or without the GET's own Content-Length: the HEAD's size still tells. The
// part that arrives is a whole catalogue, so that only the sizes can refuse it.
TEST_F(Refresh, CatalogueCutShortFails)
{
    const std::string catalogue = Plist(Group("Tools", "tools.png", Program("A", IconUrl("/p/a.png"))));
    const std::string announced = catalogue + std::string(4000, '\n');
    HttpAnswer cut = Body(catalogue);
    cut.contentLength = announced.size();
    HttpAnswer cutWithoutLength = Body(catalogue);
    cutWithoutLength.sendContentLength = false;
    for (const HttpAnswer& get : {cut, cutWithoutLength}) {
        SCOPED_TRACE(get.sendContentLength ? "with Content-Length" : "ended by the connection");
        server.Serve("/AppLib/AppLib.xml", Body(announced), get);
        EXPECT_EQ(RunRefresh(), RefreshFailed);
        EXPECT_EQ(ReadWholeFile(LocalCatalogue()), m_originalCatalogue);
        EXPECT_EQ(CatalogueFiles(), std::set<std::wstring>{L"AppLib.xml"});
    }
}

TEST_F(Refresh, IconNamesThatLeaveTheirFolderAreNotFetched)
{
    // Where the names that climb out of their folder would land: beside this program (where a
    // DLL would be loaded from) and one folder higher.
    const std::wstring besideProgram = Resolved(GetGroupIconsDir(), L"..\\..\\group.dll");
    const std::wstring aboveProgram = Resolved(GetAppIconsDir(), L"..\\..\\..\\program.dll");
    ASSERT_EQ(besideProgram, Resolved(GetModuleDir(), L"group.dll"));
    ASSERT_EQ(aboveProgram, Resolved(GetModuleDir(), L"..\\program.dll"));
    ASSERT_TRUE(WatchStrayPath(besideProgram));
    ASSERT_TRUE(WatchStrayPath(aboveProgram));

    const std::string catalogue = Plist(
        Group("Hostile", IconUrl("/g/..\\..\\group.dll"),
              Program("Up", IconUrl("/p/..\\..\\..\\program.dll")) +
                  Program("Stream", IconUrl("/p/icon.png:payload")) + Program("Drive", IconUrl("/p/C:program.dll")) +
                  Program("Dot", IconUrl("/p/.")) + Program("DotDot", IconUrl("/p/..")) +
                  Program("Empty", IconUrl("/p/")) + Program("Fine", IconUrl("/p/fine.png"))));
    server.Serve("/AppLib/AppLib.xml", Body(catalogue));
    server.ServeAnyOtherPath(Body("MZ payload"));

    EXPECT_EQ(RunRefresh(), RefreshUpdated);

    EXPECT_FALSE(PathExists(besideProgram));
    EXPECT_FALSE(PathExists(aboveProgram));
    EXPECT_EQ(ReadWholeFile(GetAppIconsDir() + L"\\fine.png"), "MZ payload");
    EXPECT_EQ(GetPaths(), (std::vector<std::string>{"/AppLib/AppLib.xml", "/p/fine.png"}));
}

// Signed catalogues from tests/signing/refresh, whose icons name this server's port.
std::string SignedFile(const std::string& name)
{
    return ReadWholeFile(GetModuleDir() + L"\\signing\\" + WideFromUtf8(name));
}

const std::vector<std::string> kSignedIconPaths = {"/g/signed-tools.png", "/p/signed-a.png", "/p/signed-b.png"};

// As a build configured with the test key runs the refresh.
class KeyedRefresh : public Refresh {
protected:
    void SetUp() override
    {
        Refresh::SetUp();
        ASSERT_TRUE(PublisherKey().has_value());
        ASSERT_NE(SignedFile("refresh/AppLib.xml"), "<missing>");
        server.ServeAnyOtherPath(Body("icon"));
    }

    CatalogueRefreshState RunKeyedRefresh() { return RunRefresh(&*PublisherKey()); }
};

TEST_F(KeyedRefresh, AGoodSignatureIsAcceptedAndKeptBesideTheCatalogue)
{
    const std::string catalogue = SignedFile("refresh/AppLib.xml");
    const std::string signature = SignedFile("refresh/AppLib.xml.sig");
    server.Serve("/AppLib/AppLib.xml", Body(catalogue));
    server.Serve("/AppLib/AppLib.xml.sig", Body(signature));

    EXPECT_EQ(RunKeyedRefresh(), RefreshUpdated);

    EXPECT_EQ(ReadWholeFile(LocalCatalogue()), catalogue);
    EXPECT_EQ(ReadWholeFile(LocalSignature()), signature);
    EXPECT_EQ(CatalogueFiles(), (std::set<std::wstring>{L"AppLib.xml", L"AppLib.xml.sig"}));
    EXPECT_EQ(ReadWholeFile(GetAppIconsDir() + L"\\signed-a.png"), "icon");
    std::vector<std::string> expected = {"/AppLib/AppLib.xml", "/AppLib/AppLib.xml.sig"};
    expected.insert(expected.end(), kSignedIconPaths.begin(), kSignedIconPaths.end());
    EXPECT_EQ(GetPaths(), expected);
}

TEST_F(KeyedRefresh, RefusedCataloguesChangeNothingAndFetchNoIcon)
{
    const std::string catalogue = SignedFile("refresh/AppLib.xml");
    const std::string signature = SignedFile("refresh/AppLib.xml.sig");
    std::string altered = catalogue;
    altered[altered.find("Tools")] = 't';
    HttpAnswer missing;
    missing.status = 404;
    const struct {
        const char* name;
        std::string catalogue;
        HttpAnswer signature;
    } cases[] = {
        {"no signature", catalogue, missing},
        {"empty signature", catalogue, Body("")},
        {"signature over other bytes", catalogue, Body(SignedFile("signed/catalogue.xml.sig"))},
        {"catalogue altered after signing", altered, Body(signature)},
        {"signature by another key", catalogue, Body(SignedFile("refresh/AppLib.xml.other-key.sig"))},
        {"truncated signature", catalogue, Body(signature.substr(0, signature.size() - 1))},
        {"garbage", catalogue, Body("this is no DER signature at all, just text\n")},
        {"good signature, a program without sha256", SignedFile("refresh/no-sha256.xml"),
         Body(SignedFile("refresh/no-sha256.xml.sig"))},
        {"good signature, a program that starts another file than it downloads",
         SignedFile("refresh/starts-another.xml"), Body(SignedFile("refresh/starts-another.xml.sig"))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t signatureAsked = server.CountRequests("HEAD", "/AppLib/AppLib.xml.sig");
        const size_t requestsBefore = server.Requests().size();
        server.Serve("/AppLib/AppLib.xml", Body(c.catalogue));
        server.Serve("/AppLib/AppLib.xml.sig", c.signature);

        EXPECT_EQ(RunKeyedRefresh(), RefreshFailed);

        EXPECT_EQ(ReadWholeFile(LocalCatalogue()), m_originalCatalogue);
        EXPECT_EQ(CatalogueFiles(), std::set<std::wstring>{L"AppLib.xml"});
        EXPECT_FALSE(PathExists(GetAppIconsDir() + L"\\signed-a.png"));
        EXPECT_GT(server.CountRequests("HEAD", "/AppLib/AppLib.xml.sig"), signatureAsked);
        const std::vector<RecordedRequest> requests = server.Requests();
        for (size_t i = requestsBefore; i < requests.size(); ++i)
            EXPECT_EQ(requests[i].path.rfind("/AppLib/AppLib.xml", 0), 0u) << "requested " << requests[i].path;
        Restore();  // each row on its own, even when one wrongly took its catalogue
    }
}

struct SimulatedCrash {};

// The refresh is cut off after each of its steps in turn, from a local pair that verifies;
// the next start then reads the old pair or the new one, and the pair on disk verifies.
// Nothing is written before the catalogue has been checked in memory.
TEST_F(KeyedRefresh, ACrashAfterAnyStepLeavesAPairThatVerifies)
{
    const std::string oldCatalogue = Plist(Group("Old", "old.png", ""));
    const std::string newCatalogue = SignedFile("refresh/AppLib.xml");
    server.Serve("/AppLib/AppLib.xml", Body(newCatalogue));
    server.Serve("/AppLib/AppLib.xml.sig", Body(SignedFile("refresh/AppLib.xml.sig")));
    const std::set<std::wstring> oldPair = {L"AppLib.xml", L"AppLib.xml.sig"};
    const struct {
        RefreshStep step;
        const char* name;
        bool newPair;  // the next start reads the new catalogue
    } cases[] = {
        {RefreshStep::CatalogueDownloaded, "catalogue downloaded", false},
        {RefreshStep::SignatureVerified, "signature verified", false},
        {RefreshStep::CatalogueChecked, "catalogue checked", false},
        {RefreshStep::IconsFetched, "icons fetched", false},
        {RefreshStep::CatalogueWritten, "catalogue written", false},
        {RefreshStep::SignatureWritten, "signature written", false},
        {RefreshStep::SignatureReplaced, "signature replaced", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(WriteWholeFile(LocalCatalogue(), oldCatalogue));
        ASSERT_TRUE(WriteWholeFile(LocalSignature(), test_signer::Sign(oldCatalogue)));
        std::set<std::wstring> filesAtCrash;
        bool crashed = false;
        try {
            RefreshCatalogue(&*PublisherKey(), [&](RefreshStep step) {
                if (step != c.step)
                    return;
                filesAtCrash = CatalogueFiles();
                throw SimulatedCrash();
            });
        } catch (const SimulatedCrash&) {
            crashed = true;
        }
        ASSERT_TRUE(crashed);
        if (c.step < RefreshStep::CatalogueWritten) {
            EXPECT_EQ(filesAtCrash, oldPair);
        }

        Catalogue catalogue;
        EXPECT_EQ(LoadCatalogueFile(catalogue, LocalCatalogue(), &*PublisherKey()), CatalogueFileLoad::Loaded);
        ASSERT_FALSE(catalogue.empty());
        EXPECT_EQ(catalogue[0]->name, c.newPair ? L"Tools" : L"Old");
        EXPECT_TRUE(ReadWholeFile(LocalCatalogue()) == (c.newPair ? newCatalogue : oldCatalogue));
        EXPECT_EQ(VerifySignature(ReadWholeFile(LocalCatalogue()), ReadWholeFile(LocalSignature()), *PublisherKey()),
                  SignatureVerdict::Good);
        Restore();
    }

    // Run through, the refresh leaves the new pair and nothing else under the catalogue's name.
    ASSERT_TRUE(WriteWholeFile(LocalCatalogue(), oldCatalogue));
    ASSERT_TRUE(WriteWholeFile(LocalSignature(), test_signer::Sign(oldCatalogue)));
    EXPECT_EQ(RefreshCatalogue(&*PublisherKey(), [](RefreshStep) {}), RefreshUpdated);
    EXPECT_EQ(CatalogueFiles(), oldPair);
    EXPECT_TRUE(ReadWholeFile(LocalCatalogue()) == newCatalogue);
}

// Another program holding the catalogue open (a scanner, a second instance) makes its replace
// fail: the old catalogue stays, and the next load, once it is free, finds the new pair.
TEST_F(KeyedRefresh, AReplaceThatFailsLosesNoCatalogue)
{
    const std::string oldCatalogue = Plist(Group("Old", "old.png", ""));
    const std::string newCatalogue = SignedFile("refresh/AppLib.xml");
    server.Serve("/AppLib/AppLib.xml", Body(newCatalogue));
    server.Serve("/AppLib/AppLib.xml.sig", Body(SignedFile("refresh/AppLib.xml.sig")));
    ASSERT_TRUE(WriteWholeFile(LocalCatalogue(), oldCatalogue));
    ASSERT_TRUE(WriteWholeFile(LocalSignature(), test_signer::Sign(oldCatalogue)));
    {
        const FileHandle held(CreateFileW(LocalCatalogue().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(held);
        EXPECT_EQ(RunKeyedRefresh(), RefreshFailed);
        EXPECT_TRUE(ReadWholeFile(LocalCatalogue()) == oldCatalogue);
    }
    Catalogue catalogue;
    EXPECT_EQ(LoadCatalogueFile(catalogue, LocalCatalogue(), &*PublisherKey()), CatalogueFileLoad::Loaded);
    ASSERT_FALSE(catalogue.empty());
    EXPECT_EQ(catalogue[0]->name, L"Tools");
    EXPECT_EQ(CatalogueFiles(), (std::set<std::wstring>{L"AppLib.xml", L"AppLib.xml.sig"}));
}

// The server's very catalogue is taken again when the local one is not vouched for, so that a
// window that refused the local file gets one to show.
TEST_F(KeyedRefresh, TheSameBytesWithoutAGoodSignatureBesideThemAreReplaced)
{
    const std::string catalogue = SignedFile("refresh/AppLib.xml");
    const std::string signature = SignedFile("refresh/AppLib.xml.sig");
    server.Serve("/AppLib/AppLib.xml", Body(catalogue));
    server.Serve("/AppLib/AppLib.xml.sig", Body(signature));
    ASSERT_TRUE(WriteWholeFile(LocalCatalogue(), catalogue));

    EXPECT_EQ(RunKeyedRefresh(), RefreshUpdated);
    EXPECT_EQ(ReadWholeFile(LocalSignature()), signature);
    EXPECT_EQ(RunKeyedRefresh(), RefreshUnchanged);
}

// Today's servers have no signature: an unkeyed build never asks for one, and takes a
// catalogue without hashes.
TEST_F(Refresh, AnUnkeyedBuildNeverRequestsASignature)
{
    const std::string catalogue = SignedFile("refresh/no-sha256.xml");
    server.Serve("/AppLib/AppLib.xml", Body(catalogue));
    server.ServeAnyOtherPath(Body("icon"));

    EXPECT_EQ(RunRefresh(), RefreshUpdated);

    EXPECT_EQ(ReadWholeFile(LocalCatalogue()), catalogue);
    EXPECT_FALSE(PathExists(LocalSignature()));
    std::vector<std::string> expected = {"/AppLib/AppLib.xml"};
    expected.insert(expected.end(), kSignedIconPaths.begin(), kSignedIconPaths.end());
    EXPECT_EQ(GetPaths(), expected);
    EXPECT_EQ(server.CountRequests("HEAD", "/AppLib/AppLib.xml.sig"), 0u);
}

TEST(RefreshOffline, NobodyListeningFails)
{
    const std::wstring local = GetAppLibDir() + L"\\AppLib.xml";
    const std::string before = ReadWholeFile(local);
    g_catalogueRefreshState = RefreshRunning;
    CatalogueRefreshThread(nullptr);
    EXPECT_EQ(g_catalogueRefreshState.load(), RefreshFailed);
    EXPECT_EQ(ReadWholeFile(local), before);
}

}  // namespace
