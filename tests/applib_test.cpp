// Runs applib.exe as a publisher would: its output bytes and exit codes.
#include "tests/loopback_http_server.h"  // first: Winsock wants winsock2.h before windows.h

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/folders.h"
#include "base/unique_handle.h"
#include "tests/bplist_writer.h"
#include "tests/catalogue_xml.h"
#include "tests/console_run.h"
#include "tests/test_files.h"
#include "tests/test_signer.h"
#include "tests/uninstall_entries.h"

namespace {

// `program`: applib.exe, built as the presets build it (without a key), or
// applib_test_key.exe, built with the test key.
ConsoleRun RunApplib(const std::wstring& arguments, const wchar_t* program = L"applib.exe")
{
    ConsoleProcess applib(L"\"" + GetModuleDir() + L"\\" + program + L"\" " + arguments);
    if (!applib.started()) {
        ADD_FAILURE() << "applib.exe did not start, error " << GetLastError();
        return ConsoleRun();
    }
    return applib.Finish();
}

// Files the tool reads, beside it in this program's folder.
std::wstring BesideTool(const wchar_t* name)
{
    return GetModuleDir() + L"\\" + name;
}

// A one-group catalogue in binary form: [{name, icon, applications: [{name, url, icon}]}].
std::string BinaryCatalogue(const std::string& url)
{
    BplistTest::Writer writer;
    const uint64_t root = writer.Add(BplistTest::Array({1}));
    writer.Add(BplistTest::Dict({2, 3, 4}, {5, 6, 7}));
    writer.Add(BplistTest::Ascii("applications"));
    writer.Add(BplistTest::Ascii("icon"));
    writer.Add(BplistTest::Ascii("name"));
    writer.Add(BplistTest::Array({8}));
    writer.Add(BplistTest::Ascii("tools.png"));
    writer.Add(BplistTest::Ascii("Tools"));
    writer.Add(BplistTest::Dict({4, 9, 3}, {10, 11, 12}));
    writer.Add(BplistTest::Ascii("url"));
    writer.Add(BplistTest::Ascii("ZipTool"));
    writer.Add(BplistTest::Ascii(url));
    writer.Add(BplistTest::Ascii("http://img.example.com/zip.png"));
    EXPECT_EQ(root, 0u);
    return writer.Build();
}

const char kXmlCatalogue[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><array><dict>"
    "<key>name</key><string>办公</string><key>icon</key><string>office.png</string>"
    "<key>applications</key><array><dict><key>name</key><string>文档</string>"
    "<key>url</key><string>https://dl.example.com/doc.exe</string>"
    "<key>icon</key><string>http://img.example.com/doc.png</string>"
    "<key>size</key><integer>-7</integer><key>ok</key><true/></dict></array></dict></array></plist>";

TEST(Applib, DumpPrintsJsonForBothForms)
{
    ScratchFile xml(BesideTool(L"dump.xml"), kXmlCatalogue);
    ConsoleRun result = RunApplib(L"dump dump.xml");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out,
              "[{\"applications\": [{\"icon\": \"http://img.example.com/doc.png\", \"name\": \"文档\", \"ok\": true, "
              "\"size\": -7, \"url\": \"https://dl.example.com/doc.exe\"}], \"icon\": \"office.png\", \"name\": \"办公\"}]\n");

    ScratchFile binary(BesideTool(L"dump.bplist"), BinaryCatalogue("http://dl.example.com/zip.exe"));
    result = RunApplib(L"dump dump.bplist");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.out,
              "[{\"applications\": [{\"icon\": \"http://img.example.com/zip.png\", \"name\": \"ZipTool\", "
              "\"url\": \"http://dl.example.com/zip.exe\"}], \"icon\": \"tools.png\", \"name\": \"Tools\"}]\n");
}

TEST(Applib, DumpReportsReaderErrorsAlone)
{
    ScratchFile dict(BesideTool(L"dict.xml"), "<plist><dict/></plist>");
    ScratchFile broken(BesideTool(L"broken.xml"), "<plist><array></plist>");
    const struct {
        const wchar_t* arguments;
        const char* err;
    } cases[] = {
        {L"dump missing.xml", "Can't open file: \n"},
        {L"dump dict.xml", "bad_any_cast\n"},
        {L"dump broken.xml", "Plist: XML parsed with error Start-end tags mismatch\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        const ConsoleRun result = RunApplib(c.arguments);
        EXPECT_EQ(result.exitCode, 1u);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, c.err);
    }
}

TEST(Applib, CheckReportsGroupsAndVerdict)
{
    ScratchFile xml(BesideTool(L"check.xml"), kXmlCatalogue);
    ScratchFile binary(BesideTool(L"check.bplist"), BinaryCatalogue("http://dl.example.com/zip.exe"));
    ScratchFile empty(BesideTool(L"empty.xml"), "<plist><array/></plist>");
    ScratchFile dict(BesideTool(L"dict.xml"), "<plist><dict/></plist>");
    std::string ftpCatalogue = kXmlCatalogue;
    ftpCatalogue.replace(ftpCatalogue.find("https://"), 8, "ftp://");
    ScratchFile ftp(BesideTool(L"ftp.xml"), ftpCatalogue);
    std::string serialCatalogue = kXmlCatalogue;
    serialCatalogue.insert(serialCatalogue.find("<array>") + 7,
                           "<dict><key>catalogueSerial</key><integer>2026120901</integer></dict>");
    ScratchFile serial(BesideTool(L"serial.xml"), serialCatalogue);
    const struct {
        const wchar_t* arguments;
        DWORD exitCode;
        const char* out;
    } cases[] = {
        {L"check check.bplist", 0, "Tools: 1 programs\nok\n"},
        {L"check check.xml", 0, "办公: 1 programs\nok\n"},  // an https link
        {L"check ftp.xml", 1, "办公: 1 programs\n文档的下载url不正确\n"},
        {L"check serial.xml", 0, "catalogueSerial: 2026120901\n办公: 1 programs\nok\n"},
        {L"check empty.xml", 1, "没有分组数据\n"},
        {L"check dict.xml", 3, ""},
        {L"check missing.xml", 3, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << c.out);
        const ConsoleRun result = RunApplib(c.arguments);
        EXPECT_EQ(result.exitCode, c.exitCode);
        EXPECT_EQ(result.out, c.out);
    }
}

TEST(Applib, ShippedSamplePassesTheCheck)
{
    const ConsoleRun result = RunApplib(L"check AppLib\\AppLib.xml");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_NE(result.out.find("装机必备: 3 programs\n"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.substr(result.out.size() - 3), "ok\n");
}

TEST(Applib, CheckNamesEveryProgramWithAMalformedHashOrSigner)
{
    const std::string good = "<key>sha256</key><string>" + std::string(64, 'A') + "</string>";
    const auto signer = [](size_t length) {
        return "<key>signer</key><string>" + std::string(length, 's') + "</string>";
    };
    const std::string shortHash = "<key>sha256</key><string>" + std::string(63, 'a') + "</string>";
    const std::string notText = "<key>sha256</key><integer>7</integer>";
    const auto program = [](const std::string& name, const std::string& extra) {
        return XmlProgram(name, L"http://dl.example.com/setup.exe", "http://img.example.com/i.png", extra);
    };
    ScratchFile file(BesideTool(L"hashes.xml"),
                     XmlCatalogue(XmlGroup("G", "g.png",
                                           program("好", good) + program("短", shortHash) + program("数", notText) +
                                               program("无", "") + program("空签", signer(0)) +
                                               program("长签", signer(257)))));
    ConsoleRun result = RunApplib(L"check hashes.xml");
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(result.out, "G: 6 programs\n短的sha256不正确\n数的sha256不正确\n空签的signer不正确\n长签的signer不正确\nok\n");

    ScratchFile wellFormed(BesideTool(L"hashes-ok.xml"),
                           XmlCatalogue(XmlGroup("G", "g.png", program("好", good) + program("无", ""))));
    result = RunApplib(L"check hashes-ok.xml");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.out, "G: 2 programs\nok\n");

    // A keyed build takes no catalogue with a program lacking a hash, so its applib names them.
    const ScratchFile signatures[] = {{BesideTool(L"hashes.xml.sig"), test_signer::Sign(ReadWholeFile(file.path()))},
                                      {BesideTool(L"hashes-ok.xml.sig"), test_signer::Sign(ReadWholeFile(wellFormed.path()))}};
    result = RunApplib(L"check hashes.xml", L"applib_test_key.exe");
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(result.out,
              "G: 6 programs\n短的sha256不正确\n数的sha256不正确\n无没有sha256\n空签的signer不正确\n长签的signer不正确\nok\n");
    result = RunApplib(L"check hashes-ok.xml", L"applib_test_key.exe");
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(result.out, "G: 2 programs\n无没有sha256\nok\n");
    // A signer vouches as a hash does.
    ScratchFile allHashed(BesideTool(L"hashes-all.xml"),
                          XmlCatalogue(XmlGroup("G", "g.png", program("好", good) + program("签", signer(256)))));
    ScratchFile allHashedSignature(BesideTool(L"hashes-all.xml.sig"), test_signer::Sign(ReadWholeFile(allHashed.path())));
    result = RunApplib(L"check hashes-all.xml", L"applib_test_key.exe");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.out, "G: 2 programs\nok\n");
}

TEST(Applib, CheckNamesEveryMalformedInstalledOrVersion)
{
    const auto program = [](const std::string& name, const std::string& installed, const std::string& version) {
        return XmlProgram(name, L"http://dl.example.com/setup.exe", "http://img.example.com/i.png",
                          installed + version);
    };
    const auto text = [](const char* key, const std::string& value) {
        return "<key>" + std::string(key) + "</key><string>" + value + "</string>";
    };
    ScratchFile file(BesideTool(L"installed-keys.xml"),
                     XmlCatalogue(XmlGroup("G", "g.png",
                                           program("好", text("installed", "7-Zip"), text("version", "24.08")) +
                                               program("空", text("installed", ""), "") +
                                               program("斜", text("installed", "Uninstall\\7-Zip"), "") +
                                               program("无号", text("installed", "A"), text("version", "latest")) +
                                               program("数", "", "<key>version</key><integer>3</integer>") +
                                               program("缺", "", ""))));
    ConsoleRun result = RunApplib(L"check installed-keys.xml");
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(result.out,
              "G: 6 programs\n空的installed不正确\n斜的installed不正确\n无号的version不正确\n数的version不正确\nok\n");

    ScratchFile good(BesideTool(L"installed-keys-ok.xml"),
                     XmlCatalogue(XmlGroup("G", "g.png",
                                           program("好", text("installed", "{23170F69-40C1}"), text("version", "3.12.7")) +
                                               program("缺", "", ""))));
    result = RunApplib(L"check installed-keys-ok.xml");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.out, "G: 2 programs\nok\n");
}

// Every state, with the version found, from entries written here; the tool's own process
// reads the registry as the program does.
TEST(Applib, InstalledPrintsEachProgramsStateHere)
{
    const ScratchUninstallEntries entries({L"TovarinApplibUp", L"TovarinApplibOld", L"TovarinApplibOdd"});
    ASSERT_TRUE(entries.Write(L"TovarinApplibUp", L"3.0", L"", kHklm64));
    ASSERT_TRUE(entries.Write(L"TovarinApplibOld", L"1.9", L"Tovarin Applib Old 1.9", kHklm32));
    ASSERT_TRUE(entries.Write(L"TovarinApplibOdd", L"beta", L"", kHkcu));
    const auto program = [](const std::string& name, const std::string& keys) {
        return XmlProgram(name, L"http://dl.example.com/setup.exe", "http://img.example.com/i.png", keys);
    };
    const auto keys = [](const std::string& installed, const std::string& version) {
        return "<key>installed</key><string>" + installed + "</string>" +
               (version.empty() ? "" : "<key>version</key><string>" + version + "</string>");
    };
    ScratchFile file(BesideTool(L"installed.xml"),
                     XmlCatalogue(XmlGroup("常用", "g.png",
                                           program("新", keys("tovarinapplibup", "2.10")) +
                                               program("旧", keys("Tovarin Applib Old", "1.10"))) +
                                  XmlGroup("工具", "t.png",
                                           program("怪", keys("TovarinApplibOdd", "1")) +
                                               program("无版本", keys("TovarinApplibUp", "")) +
                                               program("没装", keys("TovarinApplibNone", "1")) +
                                               program("不查", ""))));
    const ConsoleRun result = RunApplib(L"installed installed.xml");
    EXPECT_EQ(result.exitCode, 0u) << result.err;
    EXPECT_EQ(result.out,
              "常用\t新\tup to date\t3.0\n"
              "常用\t旧\tolder\t1.9\n"
              "工具\t怪\tinstalled, version unknown\tbeta\n"
              "工具\t无版本\tinstalled, version unknown\t3.0\n"
              "工具\t没装\tnot installed\t\n"
              "工具\t不查\tnot looked for\t\n");
    EXPECT_EQ(RunApplib(L"installed missing.xml").exitCode, 3u);
}

// Install values the run passes over are named in every build: one that starts nothing, and
// one that downloads one file and starts another. A keyed build refuses the second kind, so
// only there it fails the check.
TEST(Applib, CheckNamesInstallValuesThatStartNothingOrAnotherFile)
{
    const std::string hash = "<key>sha256</key><string>" + std::string(64, 'a') + "</string>";
    const auto program = [&](const std::string& name, const std::string& install) {
        return XmlProgram(name, L"http://dl.example.com/x", "http://img.example.com/i.png",
                          "<key>install</key><string>" + install + "</string>" + hash);
    };
    // Signed, so that the keyed tool reads them at all.
    const auto signedFile = [](const wchar_t* name, const std::string& catalogue) {
        return std::make_pair(std::make_unique<ScratchFile>(BesideTool(name), catalogue),
                              std::make_unique<ScratchFile>(BesideTool(name) + L".sig", test_signer::Sign(catalogue)));
    };
    const auto file = signedFile(L"installs.xml",
                                 XmlCatalogue(XmlGroup("G", "g.png",
                                                       program("压缩包", "tool.zip") + program("空格", "my setup.exe /S") +
                                                           program("备份", "setup.exe.bak") + program("好", "ok.exe /S") +
                                                           program("包", "pkg.msi /qn") + program("越界", "..\\x.exe"))));
    const std::string named = "G: 6 programs\n"
                              "压缩包的安装值读不出安装程序：没有以.exe或.msi结尾的文件名，不会启动\n"
                              "空格的安装值下载my，却启动my setup.exe\n"
                              "备份的安装值读不出安装程序：没有以.exe或.msi结尾的文件名，不会启动\n"
                              "越界的安装值不是安全的文件名，不会下载\n"
                              "ok\n";
    ConsoleRun result = RunApplib(L"check installs.xml");
    EXPECT_EQ(result.out, named);
    EXPECT_EQ(result.exitCode, 0u);
    result = RunApplib(L"check installs.xml", L"applib_test_key.exe");
    EXPECT_EQ(result.out, named);
    EXPECT_EQ(result.exitCode, 1u);

    const auto startsNothing =
        signedFile(L"installs-zip.xml", XmlCatalogue(XmlGroup("G", "g.png", program("压缩包", "tool.zip"))));
    result = RunApplib(L"check installs-zip.xml", L"applib_test_key.exe");
    EXPECT_EQ(result.exitCode, 0u) << "named, not refused";
}

// A keyed applib checks only the catalogue its signature vouches for, as the program reads
// it; the unkeyed one reads any.
TEST(Applib, AKeyedCheckRefusesACatalogueItsSignatureDoesNotVouchFor)
{
    const std::string good = "<key>sha256</key><string>" + std::string(64, 'a') + "</string>";
    const std::string signedCatalogue = XmlCatalogue(
        XmlGroup("G", "g.png", XmlProgram("好", L"http://dl.example.com/a.exe", "http://img.example.com/a.png", good)));
    std::string altered = signedCatalogue;
    altered.insert(altered.find("</array></dict>"),
                   XmlProgram("added", L"http://dl.example.com/b.exe", "http://img.example.com/b.png", good));
    const struct {
        const char* name;
        std::string catalogue;
        std::string signature;
        DWORD exitCode;
        std::string err;
    } cases[] = {
        {"signed", signedCatalogue, test_signer::Sign(signedCatalogue), 0, ""},
        {"altered after signing", altered, test_signer::Sign(signedCatalogue), 3,
         "not used: signed.xml does not verify against signed.xml.sig (wrong key or altered bytes)\n"},
        {"empty signature", signedCatalogue, "", 3,
         "not used: signed.xml does not verify against signed.xml.sig (no signature)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ScratchFile file(BesideTool(L"signed.xml"), c.catalogue);
        const ScratchFile signature(BesideTool(L"signed.xml.sig"), c.signature);
        const ConsoleRun keyed = RunApplib(L"check signed.xml", L"applib_test_key.exe");
        EXPECT_EQ(keyed.exitCode, c.exitCode);
        EXPECT_EQ(keyed.err, c.err);
        EXPECT_EQ(keyed.out, c.exitCode == 0 ? "G: 1 programs\nok\n" : "");
        EXPECT_EQ(RunApplib(L"check signed.xml").exitCode, 0u);
    }
}

// Published vectors, a million bytes among them, in the sha256sum layout; a file that cannot
// be read does not stop the others.
TEST(Applib, HashPrintsEachFilesSha256)
{
    ScratchFile empty(BesideTool(L"empty.bin"), "");
    ScratchFile abc(BesideTool(L"abc.bin"), "abc");
    ScratchFile million(BesideTool(L"million.bin"), std::string(1000000, 'a'));
    ConsoleRun result = RunApplib(L"hash empty.bin abc.bin million.bin");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out,
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855  empty.bin\nsigner: unsigned\n"
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad  abc.bin\nsigner: unsigned\n"
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0  million.bin\nsigner: unsigned\n");

    result = RunApplib(L"hash missing.bin abc.bin");
    EXPECT_EQ(result.exitCode, 3u);
    EXPECT_EQ(result.err, "cannot read missing.bin\n");
    EXPECT_EQ(result.out, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad  abc.bin\nsigner: unsigned\n");
}

// --- probe ---------------------------------------------------------------------------------

class Probe : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.IsListening()); }

    // The catalogue as a file beside the tool, and the tool run on it.
    ConsoleRun RunProbe(const std::string& catalogue, const std::wstring& options = L"")
    {
        const ScratchFile file(BesideTool(L"probe.xml"), catalogue);
        return RunApplib(L"probe " + options + L"probe.xml");
    }

    std::string Link(const std::string& path) const { return Narrow(server.Url(path)); }

    LoopbackHttpServer server;
};

// Every reason a link fails, with the request that failed, in catalogue order; icons given
// by file name are no links. Only HEADs are sent, with the installer's user agent.
TEST_F(Probe, EachLinkWithItsSizeOrWhyItFails)
{
    server.Serve("/g.png", Body("0123456789"));
    server.Serve("/limit.exe", Announcing(0x40000000));
    server.Serve("/over.exe", Announcing(0x40000001));
    server.Serve("/nolength.exe", WithoutContentLength("x"));
    const std::wstring nobody = UrlNobodyServes("/a.exe");
    const std::string catalogue = XmlCatalogue(
        XmlGroup("常用", Link("/g.png"),
                 XmlProgram("整", server.Url("/limit.exe"), Link("/missing.png")) +
                     XmlProgram("大", server.Url("/over.exe"), "bare.png")) +
        XmlGroup("其他", "other.png",
                 XmlProgram("无长", server.Url("/nolength.exe"), "bare.png") +
                     XmlProgram("传文件", L"ftp://127.0.0.1/a.exe", "bare.png") +
                     XmlProgram("无人", nobody, "bare.png")));

    const ConsoleRun result = RunProbe(catalogue);

    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(result.err, "") << "no progress on a pipe";
    const std::vector<std::string> lines = Lines(result.out);
    ASSERT_EQ(lines.size(), 8u) << result.out;
    EXPECT_EQ(lines[0], "常用\t\ticon\t" + Link("/g.png") + "\t10 bytes");
    EXPECT_EQ(lines[1], "常用\t整\tinstaller\t" + Link("/limit.exe") + "\t1073741824 bytes");
    EXPECT_EQ(lines[2], "常用\t整\ticon\t" + Link("/missing.png") + "\tfailed: status 404 (HEAD, 5 attempts)");
    EXPECT_EQ(lines[3], "常用\t大\tinstaller\t" + Link("/over.exe") + "\tfailed: too large (HEAD: 1073741825 bytes)");
    EXPECT_EQ(lines[4], "其他\t无长\tinstaller\t" + Link("/nolength.exe") + "\tfailed: no Content-Length (HEAD)");
    EXPECT_EQ(lines[5], "其他\t传文件\tinstaller\tftp://127.0.0.1/a.exe\tfailed: not an http or https link");
    // 12029: ERROR_INTERNET_CANNOT_CONNECT
    EXPECT_EQ(lines[6], "其他\t无人\tinstaller\t" + Narrow(nobody) +
                            "\tfailed: no answer (HEAD: HttpSendRequest error 12029, 5 attempts)");
    EXPECT_EQ(lines[7], "7 links, 2 good, 5 failed");

    EXPECT_EQ(server.CountRequests("HEAD", "/missing.png"), 5u);
    for (const RecordedRequest& request : server.Requests()) {
        EXPECT_EQ(request.method, "HEAD") << request.path;
        EXPECT_EQ(request.userAgent, "HttpDownload");
    }
}

// Early links answer last; the lines still come in catalogue order.
TEST_F(Probe, OrderStaysTheCatalogueOrderUnderParallelism)
{
    std::string programs;
    std::vector<std::string> expected;
    constexpr int kLinks = 16;
    for (int i = 0; i < kLinks; ++i) {
        const std::string path = "/p" + std::to_string(i) + ".exe";
        HttpAnswer answer = Body(std::string(static_cast<size_t>(i + 1), 'b'));
        answer.delayMs = static_cast<DWORD>((kLinks - i) * 40);
        server.Serve(path, answer);
        programs += XmlProgram("P" + std::to_string(i), server.Url(path), "bare.png");
        expected.push_back("G\tP" + std::to_string(i) + "\tinstaller\t" + Link(path) + "\t" + std::to_string(i + 1) +
                           " bytes");
    }
    expected.push_back("16 links, 16 good, 0 failed");

    const ConsoleRun result = RunProbe(XmlCatalogue(XmlGroup("G", "g.png", programs)), L"--jobs 16 ");

    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(Lines(result.out), expected);
}

// Two hundred links that each take 50 ms to answer: one after another they could not take
// less than 10 s.
TEST_F(Probe, TwoHundredLinksTakeFarLessThanOneAfterAnother)
{
    HttpAnswer slow = Body("installer");
    slow.delayMs = 50;
    server.ServeAnyOtherPath(slow);
    std::string programs;
    for (int i = 0; i < 100; ++i) {
        const std::string name = std::to_string(i);
        programs += XmlProgram("P" + name, server.Url("/" + name + ".exe"), Link("/" + name + ".png"));
    }

    const ULONGLONG start = GetTickCount64();
    const ConsoleRun result = RunProbe(XmlCatalogue(XmlGroup("G", "g.png", programs)));
    const ULONGLONG elapsed = GetTickCount64() - start;

    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(Lines(result.out).back(), "200 links, 200 good, 0 failed");
    EXPECT_LT(elapsed, 200u * 50 / 2) << "ms";
}

TEST_F(Probe, ExitCodes)
{
    server.Serve("/a.exe", Body("a"));
    const std::string good = XmlCatalogue(XmlGroup("G", "g.png", XmlProgram("A", server.Url("/a.exe"), "a.png")));
    const std::string bad = XmlCatalogue(XmlGroup("G", "g.png", XmlProgram("B", server.Url("/b.exe"), "b.png")));
    EXPECT_EQ(RunProbe(good).exitCode, 0u);
    EXPECT_EQ(RunProbe(good, L"--jobs 1 ").exitCode, 0u);
    EXPECT_EQ(RunProbe(bad).exitCode, 1u);
    const ConsoleRun empty = RunProbe(XmlCatalogue(""));
    EXPECT_EQ(empty.exitCode, 0u);
    EXPECT_EQ(empty.out, "0 links, 0 good, 0 failed\n");
    const ConsoleRun unreadable = RunApplib(L"probe missing.xml");
    EXPECT_EQ(unreadable.exitCode, 3u);
    EXPECT_EQ(unreadable.err, "cannot load missing.xml\n");
    EXPECT_EQ(RunProbe("<plist><dict/></plist>").exitCode, 3u);
}

TEST(Applib, WrongUsageExitsTwo)
{
    for (const wchar_t* arguments :
         {L"", L"dump", L"list AppLib\\AppLib.xml", L"dump a b", L"probe", L"probe a b", L"probe --jobs 0 a",
          L"probe --jobs 65 a", L"probe --jobs x a", L"probe --jobs -1 a", L"probe a --jobs", L"hash", L"fetch",
          L"fetch a b", L"fetch --jobs 0 a", L"fetch --jobs 17 a", L"fetch --jobs 64 a", L"fetch a --jobs",
          L"installed", L"installed a b"}) {
        SCOPED_TRACE(testing::Message() << "arguments " << testing::PrintToString(std::wstring(arguments)));
        const ConsoleRun result = RunApplib(arguments);
        EXPECT_EQ(result.exitCode, 2u);
        EXPECT_NE(result.err.find("usage"), std::string::npos);
    }
}

// --- verify --------------------------------------------------------------------------------

const wchar_t kTestKey[] = L"signing\\keys\\test_publisher.pub.pem";
const wchar_t kSigned[] = L"signing\\signed\\catalogue.xml";

// Every answer of `applib verify` with a key given, against openssl's signatures.
TEST(ApplibVerify, AnswersAndExitCodes)
{
    const std::string catalogue = ReadWholeFile(BesideTool(kSigned));
    const std::string signature = ReadWholeFile(BesideTool(L"signing\\signed\\catalogue.xml.sig"));
    ASSERT_NE(signature, "<missing>");
    ScratchFile altered(BesideTool(L"altered.xml"), catalogue + " ");
    ScratchFile alteredSig(BesideTool(L"altered.xml.sig"), signature);
    ScratchFile unsigned_(BesideTool(L"unsigned.xml"), catalogue);
    ScratchFile emptySig(BesideTool(L"empty.sig"), "");
    ScratchFile truncated(BesideTool(L"truncated.sig"), signature.substr(0, signature.size() - 1));
    ScratchFile garbage(BesideTool(L"garbage.sig"), "not a signature");
    const std::wstring key = std::wstring(L"--key ") + kTestKey + L" ";
    const std::wstring file = std::wstring(kSigned) + L" ";
    const struct {
        std::wstring arguments;
        DWORD exitCode;
        const char* out;
    } cases[] = {
        {key + file, 0, "good\n"},
        {file + key, 0, "good\n"},
        {key + file + L"signing\\signed\\catalogue.xml.sig", 0, "good\n"},
        {key + L"altered.xml", 1, "wrong key or altered bytes\n"},
        {key + file + L"signing\\signed\\catalogue.xml.other-key.sig", 1, "wrong key or altered bytes\n"},
        {L"--key signing\\keys\\other_publisher.pub.pem " + file, 1, "wrong key or altered bytes\n"},
        {key + L"unsigned.xml", 1, "no signature\n"},
        {key + file + L"empty.sig", 1, "no signature\n"},
        {key + file + L"truncated.sig", 1, "malformed signature\n"},
        {key + file + L"garbage.sig", 1, "malformed signature\n"},
        {key + L"missing.xml", 3, "unreadable file\n"},
        {key + L"signing " + L"signing\\signed\\catalogue.xml.sig", 3, "unreadable file\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "arguments " << testing::PrintToString(c.arguments));
        const ConsoleRun result = RunApplib(L"verify " + c.arguments);
        EXPECT_EQ(result.exitCode, c.exitCode);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, "");
    }
}

// Without --key the tool uses the key it was built with; a build without one says so.
TEST(ApplibVerify, TheBuildsOwnKey)
{
    ConsoleRun result = RunApplib(std::wstring(L"verify ") + kSigned, L"applib_test_key.exe");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.out, "good\n");

    result = RunApplib(std::wstring(L"verify ") + kSigned + L" signing\\signed\\catalogue.xml.other-key.sig",
                       L"applib_test_key.exe");
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(result.out, "wrong key or altered bytes\n");

    // A key given on the command line wins over the build's.
    result = RunApplib(std::wstring(L"verify --key signing\\keys\\other_publisher.pub.pem ") + kSigned,
                       L"applib_test_key.exe");
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(result.out, "wrong key or altered bytes\n");

    result = RunApplib(std::wstring(L"verify ") + kSigned);
    EXPECT_EQ(result.exitCode, 2u);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "this build carries no publisher key: give one with --key KEY.pem\n");
}

TEST(ApplibVerify, KeysThatAreNoP256PublicKeyAreWrongUsage)
{
    const struct {
        const wchar_t* key;
        const char* err;
    } cases[] = {
        {L"signing\\keys\\missing.pem", "cannot read the key signing\\keys\\missing.pem\n"},
        {L"signing\\keys\\test_publisher.pem",
         "signing\\keys\\test_publisher.pem is not an ECDSA P-256 public key (openssl ec -pubout)\n"},
        {L"signing\\refused\\p384.pub.pem",
         "signing\\refused\\p384.pub.pem is not an ECDSA P-256 public key (openssl ec -pubout)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        const ConsoleRun result = RunApplib(std::wstring(L"verify --key ") + c.key + L" " + kSigned);
        EXPECT_EQ(result.exitCode, 2u);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, c.err);
    }
}

TEST(ApplibVerify, WrongUsageExitsTwo)
{
    for (const wchar_t* arguments : {L"verify", L"verify a b c", L"verify --key", L"verify --key k.pem",
                                     L"verify a --key", L"verify --key a.pem --key b.pem f",
                                     L"verify --key \"\" signing\\signed\\catalogue.xml"}) {
        SCOPED_TRACE(testing::Message() << "arguments " << testing::PrintToString(std::wstring(arguments)));
        const ConsoleRun result = RunApplib(arguments, L"applib_test_key.exe");
        EXPECT_EQ(result.exitCode, 2u);
        EXPECT_NE(result.err.find("usage"), std::string::npos);
    }
}

}  // namespace
