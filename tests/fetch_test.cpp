// `applib fetch` against the loopback server: the tree beside a catalogue filled so that no
// install and no icon needs the network, what it reports, and what it leaves on disk.
#include "tests/loopback_http_server.h"  // first: Winsock wants winsock2.h before windows.h

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/folders.h"
#include "catalog/catalogue.h"
#include "install/install_run.h"
#include "net/sha256.h"
#include "tests/catalogue_xml.h"
#include "tests/console_run.h"
#include "tests/https_fronts.h"
#include "tests/test_files.h"
#include "tests/test_signer.h"
#include "tests/wait_until.h"

namespace {

// Bytes that differ from file to file, so that a file fetched into the wrong place shows.
// They begin as a program does, so that an installer of them is kept.
std::string Bytes(const std::string& name, size_t size = 3000)
{
    std::string bytes = "MZ";
    while (bytes.size() < size)
        bytes += name + ";";
    bytes.resize(size);
    return bytes;
}

std::string HashOf(const std::string& bytes)
{
    const ScratchFile file(GetModuleDir() + L"\\hash-me.bin", bytes);
    return Narrow(Sha256OfFile(file.path()));
}

std::string Sha256Key(const std::string& hash)
{
    return "<key>sha256</key><string>" + hash + "</string>";
}

std::string InstallKey(const std::string& install)
{
    return "<key>install</key><string>" + install + "</string>";
}

// A program whose installer is downloaded to and started as `file`, with an icon by name.
std::string Program(const std::string& name, const std::wstring& url, const std::string& file,
                    const std::string& extra = "")
{
    return XmlProgram(name, url, "a.png", InstallKey(file) + extra);
}

// Where the run keeps the installer of a program whose file name other programs share.
std::string SharedNameFolder(const std::wstring& url)
{
    CatalogueProgram program;
    program.url = url;
    return "Soft\\" + Narrow(InstallerSubfolder(program));
}

// Each case fetches into a tree of its own beside this program: a catalogue and what
// applib brings beside it.
class Fetch : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.IsListening());
        RemoveTree(m_tree);
        ASSERT_TRUE(CreateDirectoryW(m_tree.c_str(), nullptr));
    }
    void TearDown() override { RemoveTree(m_tree); }

    void WriteCatalogue(const std::string& xml) { ASSERT_TRUE(WriteWholeFile(m_tree + L"\\AppLib.xml", xml)); }
    // Signs the catalogue as it stands, with the test key, for applib_test_key.exe.
    void SignCatalogue() const
    {
        const std::string signature = test_signer::Sign(ReadWholeFile(m_tree + L"\\AppLib.xml"));
        ASSERT_FALSE(signature.empty());
        ASSERT_TRUE(WriteWholeFile(m_tree + L"\\AppLib.xml.sig", signature));
    }

    std::wstring CommandLine(const std::wstring& options, const wchar_t* program) const
    {
        return L"\"" + GetModuleDir() + L"\\" + program + L"\" fetch " + options + L"\"" + m_tree + L"\\AppLib.xml\"";
    }

    ConsoleRun RunFetch(const std::wstring& options = L"", const wchar_t* program = L"applib.exe") const
    {
        ConsoleProcess applib(CommandLine(options, program));
        EXPECT_TRUE(applib.started());
        return applib.Finish();
    }

    // A path in the tree, relative to the catalogue's folder: "Soft\\a.exe".
    std::wstring LocalPath(const std::string& relativePath) const
    {
        return m_tree + L"\\" + WideFromUtf8(relativePath);
    }
    std::string Local(const std::string& relativePath) const { return ReadWholeFile(LocalPath(relativePath)); }
    void PutLocal(const std::string& relativePath, const std::string& bytes) const
    {
        const std::wstring path = LocalPath(relativePath);
        CreateDirectoryW(path.substr(0, path.rfind(L'\\')).c_str(), nullptr);
        ASSERT_TRUE(WriteWholeFile(path, bytes));
    }
    // Names in one folder of the tree matching a pattern such as "Soft\\a.exe*".
    std::vector<std::wstring> LocalFiles(const std::string& pattern) const { return FindFiles(LocalPath(pattern)); }

    std::string Link(const std::string& path) const { return Narrow(server.Url(path)); }

    LoopbackHttpServer server;

private:
    const std::wstring m_tree =
        GetModuleDir() + L"\\fetch-" + WideFromUtf8(testing::UnitTest::GetInstance()->current_test_info()->name());
};

// The catalogue of the first cases and what the server holds for it.
class FetchCatalogue : public Fetch {
protected:
    void SetUp() override
    {
        Fetch::SetUp();
        for (const char* path : {"/a.exe", "/b.exe", "/c/setup.exe", "/d/setup.exe", "/notes.txt", "/g.exe"})
            server.Serve(path, Body(Bytes(path)));
        for (const char* path : {"/icons/g.png", "/icons/a.png", "/icons/b.png", "/icons/g2.png"})
            server.Serve(path, Body(Bytes(path, 700)));
        // Two programs download "setup.exe" from different places; two share a.exe and an
        // icon; one install value names neither ".exe" nor ".msi": it starts nothing, so its
        // file is skipped.
        WriteCatalogue(XmlCatalogue(
            XmlGroup("常用", Link("/icons/g.png"),
                     XmlProgram("A", server.Url("/a.exe"), Link("/icons/a.png"), InstallKey("a.exe /S")) +
                         XmlProgram("B", server.Url("/b.exe"), Link("/icons/b.png"),
                                    InstallKey("b.exe") + Sha256Key(HashOf(Bytes("/b.exe")))) +
                         XmlProgram("C", server.Url("/c/setup.exe"), Link("/icons/a.png"), InstallKey("setup.exe /q")) +
                         XmlProgram("D", server.Url("/d/setup.exe"), "d.png", InstallKey("Setup.exe")) +
                         XmlProgram("E", server.Url("/a.exe"), Link("/icons/a.png"), InstallKey("a.exe /S")) +
                         XmlProgram("F", server.Url("/notes.txt"), "f.png", InstallKey("notes.txt"))) +
            XmlGroup("其他", "other.png",
                     XmlProgram("G", server.Url("/g.exe"), Link("/icons/g2.png"), InstallKey("g.exe")))));
    }

    // Each file's line, in catalogue order, with the outcome given for it.
    struct Line {
        std::string head;  // group, program, kind and path
        std::string server;  // the path it comes from
        std::string outcome;
    };
    std::vector<Line> ExpectedLines() const
    {
        const std::string c = SharedNameFolder(server.Url("/c/setup.exe"));
        const std::string d = SharedNameFolder(server.Url("/d/setup.exe"));
        return {{"常用\t\ticon\tGroupIcons\\g.png", "/icons/g.png", ""},
                {"常用\tA\tinstaller\tSoft\\a.exe", "/a.exe", ""},
                {"常用\tA\ticon\tAppIcons\\a.png", "/icons/a.png", ""},
                {"常用\tB\tinstaller\tSoft\\b.exe", "/b.exe", ""},
                {"常用\tB\ticon\tAppIcons\\b.png", "/icons/b.png", ""},
                {"常用\tC\tinstaller\t" + c + "\\setup.exe", "/c/setup.exe", ""},
                {"常用\tD\tinstaller\t" + d + "\\Setup.exe", "/d/setup.exe", ""},
                {"常用\tF\tinstaller\tSoft\\notes.txt", "/notes.txt", ""},
                {"其他\tG\tinstaller\tSoft\\g.exe", "/g.exe", ""},
                {"其他\tG\ticon\tAppIcons\\g2.png", "/icons/g2.png", ""}};
    }

    static std::string PathOf(const Line& line) { return line.head.substr(line.head.rfind('\t') + 1); }
    static bool StartsNothing(const Line& line) { return line.server == "/notes.txt"; }
};

}  // namespace

// A fresh tree gets every file once, each under the name the run looks for; a second run
// downloads nothing: hashed files are read, the others cost a HEAD.
TEST_F(FetchCatalogue, FillsAFreshTreeThenFindsItUpToDate)
{
    ConsoleRun first = RunFetch();
    EXPECT_EQ(first.exitCode, 0u);
    EXPECT_EQ(first.err, "") << "no progress on a pipe";
    std::vector<std::string> expected;
    for (const Line& line : ExpectedLines()) {
        if (StartsNothing(line)) {
            expected.push_back(line.head + "\tskipped: no file name ending in .exe or .msi to start");
            continue;
        }
        const std::string bytes = Bytes(line.server, line.server.find("/icons/") == 0 ? 700 : 3000);
        expected.push_back(line.head + "\tdownloaded " + std::to_string(bytes.size()) + " bytes");
        EXPECT_TRUE(Local(PathOf(line)) == bytes) << PathOf(line);
    }
    expected.push_back("10 files: 9 downloaded (0.0 MB), 0 up to date, 0 kept (not checked), 1 skipped, 0 failed");
    EXPECT_EQ(Lines(first.out), expected);
    for (const Line& line : ExpectedLines())
        EXPECT_EQ(server.CountRequests("GET", line.server), StartsNothing(line) ? 0u : 1u) << line.server;

    const ConsoleRun second = RunFetch();
    EXPECT_EQ(second.exitCode, 0u);
    expected.clear();
    for (const Line& line : ExpectedLines())
        expected.push_back(line.head + (StartsNothing(line) ? "\tskipped: no file name ending in .exe or .msi to start" : "\tup to date"));
    expected.push_back("10 files: 0 downloaded (0.0 MB), 9 up to date, 0 kept (not checked), 1 skipped, 0 failed");
    EXPECT_EQ(Lines(second.out), expected);
    for (const Line& line : ExpectedLines())
        EXPECT_EQ(server.CountRequests("GET", line.server), StartsNothing(line) ? 0u : 1u)
            << "no second GET of " << line.server;
    EXPECT_EQ(server.CountRequests("HEAD", "/b.exe"), 1u) << "a hashed file is checked by its bytes alone";
    EXPECT_EQ(server.CountRequests("HEAD", "/a.exe"), 2u);
}

// A hashed file is kept only with its hash, an unhashed one only with the announced size:
// a file of the right size is taken as it is.
TEST_F(FetchCatalogue, ReplacesStaleFilesAndKeepsTheRightSize)
{
    PutLocal("Soft\\a.exe", "the release before");           // no hash, another size
    PutLocal("Soft\\b.exe", Bytes("the release before"));    // hashed, same size, other bytes
    PutLocal("Soft\\g.exe", Bytes("another build"));         // no hash, same size
    PutLocal("AppIcons\\a.png", Bytes("old icon", 700));     // same size

    const ConsoleRun result = RunFetch();

    EXPECT_EQ(result.exitCode, 0u);
    const std::vector<std::string> lines = Lines(result.out);
    ASSERT_EQ(lines.size(), 11u) << result.out;
    EXPECT_EQ(lines[1], "常用\tA\tinstaller\tSoft\\a.exe\tdownloaded 3000 bytes");
    EXPECT_EQ(lines[2], "常用\tA\ticon\tAppIcons\\a.png\tup to date");
    EXPECT_EQ(lines[3], "常用\tB\tinstaller\tSoft\\b.exe\tdownloaded 3000 bytes");
    EXPECT_EQ(lines[8], "其他\tG\tinstaller\tSoft\\g.exe\tup to date");
    EXPECT_EQ(lines[10], "10 files: 7 downloaded (0.0 MB), 2 up to date, 0 kept (not checked), 1 skipped, 0 failed");
    EXPECT_TRUE(Local("Soft\\a.exe") == Bytes("/a.exe"));
    EXPECT_TRUE(Local("Soft\\b.exe") == Bytes("/b.exe"));
    EXPECT_TRUE(Local("Soft\\g.exe") == Bytes("another build"));
    EXPECT_EQ(server.CountRequests("GET", "/g.exe"), 0u);
}

// With the server out of reach, files already there stay, unchecked, and a hashed one is
// still known to be right; a missing one fails, and so does one that is no installer.
TEST_F(Fetch, KeepsFilesUncheckedWhenTheServerIsGone)
{
    const std::wstring gone = UrlNobodyServes("/");
    WriteCatalogue(XmlCatalogue(XmlGroup(
        "G", "g.png",
        Program("A", gone + L"a.exe", "a.exe") + Program("B", gone + L"b.exe", "b.exe", Sha256Key(HashOf("hashed"))) +
            Program("C", gone + L"c.exe", "c.exe"))));
    PutLocal("Soft\\a.exe", "MZ whatever size");
    PutLocal("Soft\\b.exe", "hashed");
    PutLocal("Soft\\c.exe", "<html>a login page an older build kept</html>");

    const ConsoleRun result = RunFetch();

    EXPECT_EQ(result.exitCode, 1u);
    // 12029: ERROR_INTERNET_CANNOT_CONNECT
    EXPECT_EQ(Lines(result.out),
              (std::vector<std::string>{
                  "G\tA\tinstaller\tSoft\\a.exe\tkept (not checked)",
                  "G\tB\tinstaller\tSoft\\b.exe\tup to date",
                  "G\tC\tinstaller\tSoft\\c.exe\tfailed: no answer (HEAD: HttpSendRequest error 12029, 5 attempts)",
                  "3 files: 0 downloaded (0.0 MB), 1 up to date, 1 kept (not checked), 0 skipped, 1 failed"}));
    EXPECT_EQ(Local("Soft\\a.exe"), "MZ whatever size");
}

// Every way a download fails is reported with the request or the check that failed; the
// others still arrive, and nothing stands under a failed file's name, nor a temporary file.
TEST_F(Fetch, FailuresAreReportedAndTheOthersStillArrive)
{
    server.Serve("/one.exe", Body(Bytes("one")));
    HttpAnswer getFails;
    getFails.status = 500;
    server.Serve("/get.exe", Body(Bytes("get")), getFails);
    HttpAnswer cut = Body(Bytes("cut", 5000));
    cut.contentLength = 100000;  // the connection closes after 5000 bytes
    server.Serve("/cut.exe", cut);
    server.Serve("/changed.exe", Body(Bytes("changed")));
    server.Serve("/three.exe", Body(Bytes("three")));
    HttpAnswer loginPage = Body("<html>log in first</html>");
    loginPage.contentType = "text/html";
    server.Serve("/page.exe", loginPage);
    WriteCatalogue(XmlCatalogue(XmlGroup(
        "G", "g.png",
        Program("1", server.Url("/one.exe"), "one.exe") + Program("404", server.Url("/missing.exe"), "missing.exe") +
            Program("GET", server.Url("/get.exe"), "get.exe") + Program("cut", server.Url("/cut.exe"), "cut.exe") +
            Program("changed", server.Url("/changed.exe"), "changed.exe", Sha256Key(HashOf("the catalogue's"))) +
            Program("page", server.Url("/page.exe"), "page.exe") + Program("3", server.Url("/three.exe"), "three.exe"))));

    const ConsoleRun result = RunFetch();

    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(Lines(result.out),
              (std::vector<std::string>{
                  "G\t1\tinstaller\tSoft\\one.exe\tdownloaded 3000 bytes",
                  "G\t404\tinstaller\tSoft\\missing.exe\tfailed: status 404 (HEAD, 5 attempts)",
                  "G\tGET\tinstaller\tSoft\\get.exe\tfailed: status 500 (GET, 5 attempts)",
                  "G\tcut\tinstaller\tSoft\\cut.exe\tfailed: cut short (GET: 5000 of 100000 bytes)",
                  "G\tchanged\tinstaller\tSoft\\changed.exe\tfailed: the download's sha256 differs from the catalogue's",
                  "G\tpage\tinstaller\tSoft\\page.exe\tfailed: a web page came instead of the file: the network may want a login first",
                  "G\t3\tinstaller\tSoft\\three.exe\tdownloaded 3000 bytes",
                  "7 files: 2 downloaded (0.0 MB), 0 up to date, 0 kept (not checked), 0 skipped, 5 failed"}));
    EXPECT_TRUE(Local("Soft\\three.exe") == Bytes("three"));
    for (const char* name : {"missing.exe", "get.exe", "cut.exe", "changed.exe", "page.exe"})
        EXPECT_EQ(LocalFiles(std::string("Soft\\") + name + "*"), std::vector<std::wstring>()) << name;
}

// The run refuses these programs, so the fetch names them and sends nothing for them; a
// keyed build also skips a program without a hash. Names cannot break a line's fields.
TEST_F(Fetch, ProgramsTheRunRefusesAreSkipped)
{
    server.ServeAnyOtherPath(Body("MZany"));
    const std::string parameters(600, 'p');
    WriteCatalogue(XmlCatalogue(XmlGroup(
        "G", "g.png",
        XmlProgram("up", server.Url("/a.exe"), "a.png", InstallKey("..\\up.exe")) +
            XmlProgram("device", server.Url("/b.exe"), "a.png", InstallKey("con.exe /S")) +
            XmlProgram("blank", server.Url("/c.exe"), "a.png", InstallKey("  ")) +
            XmlProgram("long", server.Url("/d.exe"), "a.png", InstallKey("d.exe " + parameters)) +
            XmlProgram("icon", server.Url("/e.exe"), Link("/icons/a:b.png"),
                       InstallKey("e.exe") + Sha256Key(HashOf("MZany"))) +
            XmlProgram("tab&#9;line&#10;break", server.Url("/f.exe"), "a.png", InstallKey("f.exe")))));

    ConsoleRun result = RunFetch();

    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(Lines(result.out),
              (std::vector<std::string>{
                  "G\tup\tinstaller\tSoft\\..\\up.exe\tskipped: unsafe file name",
                  "G\tdevice\tinstaller\tSoft\\con.exe\tskipped: unsafe file name",
                  "G\tblank\tinstaller\tSoft\\\tskipped: no file name in the install value",
                  "G\tlong\tinstaller\tSoft\\d.exe\tskipped: parameters too long to start",
                  "G\ticon\tinstaller\tSoft\\e.exe\tdownloaded 5 bytes",
                  "G\ticon\ticon\tAppIcons\\a:b.png\tskipped: unsafe file name",
                  "G\ttab line break\tinstaller\tSoft\\f.exe\tdownloaded 5 bytes",
                  "7 files: 2 downloaded (0.0 MB), 0 up to date, 0 kept (not checked), 5 skipped, 0 failed"}));
    for (const RecordedRequest& request : server.Requests())
        EXPECT_TRUE(request.path == "/e.exe" || request.path == "/f.exe") << request.method << " " << request.path;

    RemoveTree(LocalPath("Soft"));
    SignCatalogue();
    result = RunFetch(L"", L"applib_test_key.exe");
    const std::vector<std::string> keyed = Lines(result.out);
    ASSERT_EQ(keyed.size(), 8u) << result.out;
    EXPECT_EQ(keyed[4], "G\ticon\tinstaller\tSoft\\e.exe\tdownloaded 5 bytes");
    EXPECT_EQ(keyed[6], "G\ttab line break\tinstaller\tSoft\\f.exe\tskipped: no sha256, which this build requires");
}

// A keyed applib reads only the catalogue its signature vouches for: one with a program added
// after signing is not used at all, and nothing is requested for it.
TEST_F(Fetch, AKeyedFetchUsesNoCatalogueAlteredAfterSigning)
{
    server.ServeAnyOtherPath(Body("MZsigned"));
    const std::string hash = Sha256Key(HashOf("MZsigned"));
    WriteCatalogue(XmlCatalogue(XmlGroup("G", "g.png", Program("signed", server.Url("/signed.exe"), "signed.exe", hash))));
    SignCatalogue();
    std::string altered = Local("AppLib.xml");
    altered.insert(altered.find("</array></dict>"),
                   Program("added", server.Url("/added.exe"), "added.exe", Sha256Key(HashOf("MZsigned"))));
    WriteCatalogue(altered);

    ConsoleRun result = RunFetch(L"", L"applib_test_key.exe");
    EXPECT_EQ(result.exitCode, 3u);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("AppLib.xml.sig (wrong key or altered bytes)"), std::string::npos) << result.err;
    EXPECT_TRUE(server.Requests().empty());
    EXPECT_FALSE(PathExists(LocalPath("Soft")));

    // The unkeyed tool reads it as it stands; the keyed one the signed catalogue.
    EXPECT_EQ(RunFetch().exitCode, 0u);
    EXPECT_EQ(Local("Soft\\added.exe"), "MZsigned");
    WriteCatalogue(XmlCatalogue(XmlGroup("G", "g.png", Program("signed", server.Url("/signed.exe"), "signed.exe", hash))));
    RemoveTree(LocalPath("Soft"));
    result = RunFetch(L"", L"applib_test_key.exe");
    EXPECT_EQ(result.exitCode, 0u) << result.err;
    EXPECT_EQ(Lines(result.out)[0], "G\tsigned\tinstaller\tSoft\\signed.exe\tdownloaded 8 bytes");
}

// Entries that name one file: a refused entry takes the file from no later one, and two
// accepted ones that give it two hashes are a fault of the catalogue, not a stick to trust.
TEST_F(Fetch, EntriesSharingAFileAreComparedOnlyWhenAccepted)
{
    server.Serve("/a.exe", Body("MZa"));
    server.Serve("/b.exe", Body("MZb"));
    WriteCatalogue(XmlCatalogue(XmlGroup(
        "G", "g.png",
        Program("no hash", server.Url("/a.exe"), "a.exe") +
            Program("hashed", server.Url("/a.exe"), "a.exe", Sha256Key(HashOf("MZa"))) +
            Program("same hash", server.Url("/a.exe"), "a.exe /S", Sha256Key(HashOf("MZa"))) +
            Program("other hash", server.Url("/a.exe"), "a.exe /q", Sha256Key(HashOf("not a"))) +
            Program("B", server.Url("/b.exe"), "b.exe", Sha256Key(HashOf("MZb"))))));
    SignCatalogue();

    // Keyed, the first entry is refused for its missing hash: the second brings the file.
    ConsoleRun result = RunFetch(L"", L"applib_test_key.exe");
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(Lines(result.out),
              (std::vector<std::string>{
                  "G\tno hash\tinstaller\tSoft\\a.exe\tskipped: no sha256, which this build requires",
                  "G\thashed\tinstaller\tSoft\\a.exe\tdownloaded 3 bytes",
                  "G\tother hash\tinstaller\tSoft\\a.exe\tfailed: the same file as an earlier program, with another sha256",
                  "G\tB\tinstaller\tSoft\\b.exe\tdownloaded 3 bytes",
                  "4 files: 2 downloaded (0.0 MB), 0 up to date, 0 kept (not checked), 1 skipped, 1 failed"}));
    EXPECT_EQ(Local("Soft\\a.exe"), "MZa");
    EXPECT_EQ(server.CountRequests("GET", "/a.exe"), 1u);

    // Unkeyed, the first entry is accepted and takes the later entry's hash as its check.
    PutLocal("Soft\\a.exe", "xyz");  // the size the server announces, other bytes
    result = RunFetch();
    EXPECT_EQ(result.exitCode, 1u);
    const std::vector<std::string> lines = Lines(result.out);
    ASSERT_EQ(lines.size(), 4u) << result.out;
    EXPECT_EQ(lines[0], "G\tno hash\tinstaller\tSoft\\a.exe\tdownloaded 3 bytes");
    EXPECT_EQ(lines[1], "G\tother hash\tinstaller\tSoft\\a.exe\tfailed: the same file as an earlier program, with another sha256");
    EXPECT_EQ(Local("Soft\\a.exe"), "MZa");
}

// A file that fails its hash is replaced only by a download that passes it: until then it
// stays, whatever ends the download.
TEST_F(Fetch, AFileFailingItsCheckStaysUntilACheckedOneReplacesIt)
{
    HttpAnswer missing;
    missing.status = 404;
    const std::string expected = "MZ the catalogue's release";
    const struct {
        const char* name;
        HttpAnswer answer;
        std::string outcome;
        std::string left;  // Soft\setup.exe afterwards
    } cases[] = {
        {"no answer", missing, "failed: status 404 (HEAD, 5 attempts)", "an older release"},
        {"a body with another hash", Body("MZ a broken mirror's"),
         "failed: the download's sha256 differs from the catalogue's", "an older release"},
        {"the body the catalogue names", Body(expected), "downloaded 26 bytes", expected},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.Serve("/setup.exe", c.answer);
        WriteCatalogue(XmlCatalogue(
            XmlGroup("G", "g.png", Program("S", server.Url("/setup.exe"), "setup.exe", Sha256Key(HashOf(expected))))));
        PutLocal("Soft\\setup.exe", "an older release");

        const ConsoleRun result = RunFetch();

        const std::vector<std::string> lines = Lines(result.out);
        ASSERT_EQ(lines.size(), 2u) << result.out;
        EXPECT_EQ(lines[0], "G\tS\tinstaller\tSoft\\setup.exe\t" + c.outcome);
        EXPECT_EQ(Local("Soft\\setup.exe"), c.left);
        EXPECT_EQ(LocalFiles("Soft\\setup.exe*"), std::vector<std::wstring>{L"setup.exe"});
    }
}

// Early files answer last; the lines still come in catalogue order.
TEST_F(Fetch, LinesStayInCatalogueOrderUnderEightJobs)
{
    std::string programs;
    std::vector<std::string> expected;
    constexpr int kFiles = 16;
    for (int i = 0; i < kFiles; ++i) {
        const std::string name = "p" + std::to_string(i) + ".exe";
        HttpAnswer answer = Body("MZ" + std::string(static_cast<size_t>(i + 1), 'b'));
        answer.delayMs = static_cast<DWORD>((kFiles - i) * 40);
        server.Serve("/" + name, answer);
        programs += Program("P" + std::to_string(i), server.Url("/" + name), name);
        expected.push_back("G\tP" + std::to_string(i) + "\tinstaller\tSoft\\" + name + "\tdownloaded " +
                           std::to_string(i + 3) + " bytes");
    }
    expected.push_back("16 files: 16 downloaded (0.0 MB), 0 up to date, 0 kept (not checked), 0 skipped, 0 failed");
    WriteCatalogue(XmlCatalogue(XmlGroup("G", "g.png", programs)));

    const ConsoleRun result = RunFetch(L"--jobs 8 ");

    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(Lines(result.out), expected);
}

// Killed mid-body, the tool leaves only its temporary file, which the next fetch clears
// away as it brings the whole file into place.
TEST_F(Fetch, AKilledFetchLeavesNothingUnderTheFinalName)
{
    HttpAnswer paused = Body(Bytes("big", 200000));
    paused.pauseAfter = 100000;
    server.Serve("/big.exe", paused);
    WriteCatalogue(XmlCatalogue(XmlGroup("G", "g.png", Program("big", server.Url("/big.exe"), "big.exe"))));

    ConsoleProcess applib(CommandLine(L"", L"applib.exe"));
    ASSERT_TRUE(applib.started());
    ASSERT_TRUE(server.WaitUntilPaused(30000));
    // The first half has reached the temporary file.
    ASSERT_TRUE(WaitUntil([&] { return LocalFiles("Soft\\big.exe.*").size() == 1; }, 10000));
    TerminateProcess(applib.process(), 9);
    EXPECT_EQ(applib.Finish().exitCode, 9u);
    server.Resume();
    EXPECT_FALSE(PathExists(LocalPath("Soft\\big.exe")));

    server.Serve("/big.exe", Body(Bytes("big", 200000)));
    const ConsoleRun again = RunFetch();
    EXPECT_EQ(again.exitCode, 0u);
    ASSERT_EQ(Lines(again.out).size(), 2u) << again.out;
    EXPECT_EQ(Lines(again.out)[0], "G\tbig\tinstaller\tSoft\\big.exe\tdownloaded 200000 bytes");
    EXPECT_EQ(LocalFiles("Soft\\big.exe*"), std::vector<std::wstring>{L"big.exe"});
    EXPECT_TRUE(Local("Soft\\big.exe") == Bytes("big", 200000));
}

TEST_F(Fetch, ExitCodesAndTheSummaryInMegabytes)
{
    HttpAnswer large = Body("MZ" + std::string(999998, 'x'));
    large.bodyRepeats = 3;  // 3,000,000 bytes
    server.Serve("/large.exe", large);
    WriteCatalogue(XmlCatalogue(XmlGroup("G", "g.png", Program("L", server.Url("/large.exe"), "large.exe"))));
    ConsoleRun result = RunFetch(L"--jobs 1 ");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(LastLine(result.out),
              "1 files: 1 downloaded (3.0 MB), 0 up to date, 0 kept (not checked), 0 skipped, 0 failed");

    WriteCatalogue("<plist><dict/></plist>");
    result = RunFetch();
    EXPECT_EQ(result.exitCode, 3u);
    EXPECT_NE(result.err.find("cannot load "), std::string::npos) << result.err;

    WriteCatalogue(XmlCatalogue(""));
    result = RunFetch(L"--jobs 16 ");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.out, "0 files: 0 downloaded (0.0 MB), 0 up to date, 0 kept (not checked), 0 skipped, 0 failed\n");
}

namespace {

// The text on the console of another process, its rows joined by line ends with their
// trailing blanks dropped; the caller is attached to that console.
std::wstring ConsoleText()
{
    const FileHandle screen(CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, 0, nullptr));
    CONSOLE_SCREEN_BUFFER_INFO info = {};
    if (!screen || !GetConsoleScreenBufferInfo(screen.get(), &info))
        return L"<no console>";
    std::wstring text;
    const SHORT width = info.dwSize.X;
    std::wstring row(static_cast<size_t>(width), L' ');
    for (SHORT y = 0; y <= info.dwCursorPosition.Y; ++y) {
        DWORD read = 0;
        ReadConsoleOutputCharacterW(screen.get(), &row[0], static_cast<DWORD>(width), COORD{0, y}, &read);
        const size_t end = row.find_last_not_of(L' ', read == 0 ? 0 : read - 1);
        text += (end == std::wstring::npos ? std::wstring() : row.substr(0, end + 1)) + L"\n";
    }
    return text;
}

}  // namespace

// On a console the progress shows while a file downloads and is gone before the lines,
// which read as the catalogue's Chinese names, whatever the console's code page.
TEST_F(Fetch, OnAConsoleTheProgressShowsAndTheNamesReadRight)
{
    HttpAnswer paused = Body(Bytes("big", 200000));
    paused.pauseAfter = 100000;
    server.Serve("/big.exe", paused);
    WriteCatalogue(XmlCatalogue(XmlGroup("常用", "g.png", Program("看图", server.Url("/big.exe"), "big.exe"))));

    std::wstring commandLine = CommandLine(L"", L"applib.exe");
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION started = {};
    ASSERT_TRUE(CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE, nullptr, nullptr,
                               &startup, &started));
    const KernelHandle applib(started.hProcess);
    const KernelHandle thread(started.hThread);
    ASSERT_TRUE(server.WaitUntilPaused(30000));
    FreeConsole();
    // Attached, this process also keeps the console once applib has ended.
    ASSERT_TRUE(AttachConsole(started.dwProcessId)) << GetLastError();
    EXPECT_TRUE(WaitUntil([] { return ConsoleText().find(L"fetched 0 of 1 files, 0.1 MB of 0.2 MB, ") != std::wstring::npos; },
                          10000))
        << Utf8FromWide(ConsoleText());
    server.Resume();
    ASSERT_EQ(WaitForSingleObject(applib.get(), 30000), WAIT_OBJECT_0);
    DWORD exitCode = 0;
    GetExitCodeProcess(applib.get(), &exitCode);
    EXPECT_EQ(exitCode, 0u);
    const std::wstring text = ConsoleText();
    FreeConsole();
    EXPECT_NE(text.find(L"常用"), std::wstring::npos) << Utf8FromWide(text);
    EXPECT_NE(text.find(L"看图"), std::wstring::npos);
    EXPECT_NE(text.find(L"downloaded 200000 bytes"), std::wstring::npos);
    EXPECT_EQ(text.find(L"fetched "), std::wstring::npos) << "the progress is cleared";
}

// Today's hosts, through the https fronts of tests/tls/with_https_fronts.sh: the ctest entry
// fetch_test_https runs these; without the fronts they are skipped.
class FetchHttps : public Fetch {
protected:
    void SetUp() override
    {
        if (!m_fronts)
            GTEST_SKIP() << "no https fronts; run through ctest's fetch_test_https";
        ASSERT_TRUE(backend.IsListening()) << "backend port " << m_fronts->backend << " busy";
        Fetch::SetUp();
    }

    ConsoleRun RunProbe() const
    {
        ConsoleProcess applib(L"\"" + GetModuleDir() + L"\\applib.exe\" probe \"" + CatalogueFile() + L"\"");
        EXPECT_TRUE(applib.started());
        return applib.Finish();
    }

    std::wstring CatalogueFile() const { return LocalPath("AppLib.xml"); }

    const std::optional<HttpsFronts> m_fronts = HttpsFrontsFromEnvironment();
    LoopbackHttpServer backend{m_fronts ? m_fronts->backend : static_cast<unsigned short>(0)};
};

// The link check calls a link good exactly when fetch, which downloads as the program does,
// brings it, and a failure reads the same in both, certificate errors in words.
TEST_F(FetchHttps, ProbeAndFetchSayTheSameOfEachLink)
{
    const HttpsFronts& fronts = *m_fronts;
    backend.Serve("/c.exe", Body(Bytes("c")));
    backend.Serve("/b.exe", Body(Bytes("b")));
    backend.Serve("/a.exe", Body(Bytes("a")));
    backend.Serve("/r/a.exe", RedirectTo(HttpsUrl(fronts.good, "/a.exe")));
    HttpAnswer refusesHead;
    refusesHead.status = 405;
    backend.Serve("/nohead.exe", refusesHead, Body(Bytes("n")));
    backend.Serve("/down.exe", RedirectTo(Narrow(backend.Url("/c.exe"))));
    const struct {
        const char* name;
        std::wstring url;
        std::string reason;  // empty for a good link
    } links[] = {
        {"plain", backend.Url("/c.exe"), ""},
        {"https", WideUrl(HttpsUrl(fronts.good, "/b.exe")), ""},
        {"redirected", backend.Url("/r/a.exe"), ""},
        {"no HEAD", WideUrl(HttpsUrl(fronts.good, "/nohead.exe")), ""},
        {"downgraded", WideUrl(HttpsUrl(fronts.good, "/down.exe")),
         "https link redirected to plain http (HEAD: " + Narrow(backend.Url("/c.exe")) + ")"},
        {"wrong name", WideUrl(HttpsUrl(fronts.wrongName, "/b.exe")),
         "certificate for another name (HEAD: HttpSendRequest error 12038, 5 attempts)"},
        {"expired", WideUrl(HttpsUrl(fronts.expired, "/b.exe")),
         "certificate expired or not yet valid (HEAD: HttpSendRequest error 12037, 5 attempts)"},
        {"old TLS", WideUrl(HttpsUrl(fronts.tls13Only, "/b.exe")),
         "no TLS version could be agreed (HEAD: HttpSendRequest error 12157, 5 attempts)"},
    };
    std::string programs;
    int index = 0;
    for (const auto& link : links)
        programs += Program(link.name, link.url, "p" + std::to_string(++index) + ".exe");
    WriteCatalogue(XmlCatalogue(XmlGroup("G", "g.png", programs)));

    const std::vector<std::string> probed = Lines(RunProbe().out);
    const std::vector<std::string> fetched = Lines(RunFetch().out);
    ASSERT_EQ(probed.size(), std::size(links) + 1);
    ASSERT_EQ(fetched.size(), std::size(links) + 1);
    const auto result = [](const std::string& line) { return line.substr(line.rfind('\t') + 1); };
    for (size_t i = 0; i < std::size(links); ++i) {
        const auto& link = links[i];
        SCOPED_TRACE(link.name);
        const std::string probeResult = result(probed[i]);
        const std::string fetchResult = result(fetched[i]);
        if (link.reason.empty()) {
            // "3000 bytes", with a note when the HEAD was refused; "downloaded 3000 bytes".
            EXPECT_EQ(probeResult.substr(0, 10), "3000 bytes") << probeResult;
            EXPECT_EQ(fetchResult, "downloaded 3000 bytes");
            EXPECT_EQ(Local("Soft\\p" + std::to_string(i + 1) + ".exe").size(), 3000u);
        } else {
            EXPECT_EQ(probeResult, "failed: " + link.reason);
            EXPECT_EQ(fetchResult, "failed: " + link.reason);
        }
    }
}
