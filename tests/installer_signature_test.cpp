#include "tests/loopback_http_server.h"  // first: Winsock wants winsock2.h before windows.h

#include <gtest/gtest.h>

#include <string>

#include "install/staged_installer.h"
#include "net/download.h"
#include "net/failure_reason.h"
#include "net/installer_signature.h"
#include "net/sha256.h"
#include "tests/catalogue_xml.h"
#include "tests/console_run.h"
#include "tests/test_files.h"

// The files are signed by tests/authenticode/sign_installers.sh; its CA is trusted through
// tests/tls/with_https_fronts.sh, as a publisher's CA is on a user's machine.
namespace {

constexpr wchar_t kPublisher[] = L"Tovarin Test Publisher";

std::wstring Signed(const std::wstring& name)
{
    return L"signed_installers\\" + name;
}

ConsoleRun RunApplib(const std::wstring& arguments)
{
    ConsoleProcess applib(L"\"" + GetModuleDir() + L"\\applib.exe\" " + arguments);
    EXPECT_TRUE(applib.started());
    return applib.Finish();
}

}  // namespace

// Each way a file can be signed, as the check reads it and as staging takes it through its hold.
TEST(InstallerSigner, EachSignedFileHasItsVerdict)
{
    const struct {
        const wchar_t* file;
        const wchar_t* expected;
        SignerVerdict verdict;
        const wchar_t* signer;
    } cases[] = {
        {L"signed.exe", kPublisher, SignerVerdict::Vouched, kPublisher},
        {L"signed.exe", L"TOVARIN test PUBLISHER", SignerVerdict::Vouched, kPublisher},
        {L"signed.exe", L"Tovarin Test", SignerVerdict::OtherSigner, kPublisher},
        {L"signed.exe", L"", SignerVerdict::Vouched, kPublisher},
        {L"signed.msi", kPublisher, SignerVerdict::Vouched, kPublisher},
        {L"unsigned.exe", kPublisher, SignerVerdict::Unsigned, L""},
        {L"other.exe", kPublisher, SignerVerdict::OtherSigner, L"Other Test Publisher"},
        {L"self.exe", kPublisher, SignerVerdict::Untrusted, kPublisher},
        {L"changed.exe", kPublisher, SignerVerdict::BadSignature, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << Narrow(std::wstring(c.file) + L" for " + c.expected));
        const SignerCheck check = CheckInstallerSignerOfFile(Signed(c.file), c.expected);
        EXPECT_EQ(check.verdict, c.verdict);
        EXPECT_EQ(check.signer, c.signer);
        StagedInstaller staged;
        EXPECT_EQ(staged.Stage(Signed(c.file), {L"", c.expected}), c.verdict == SignerVerdict::Vouched);
    }
}

// A download holds each part of its pin before it takes the final name, and says why not.
// (The real program's test words each other refusal.)
TEST(InstallerSigner, DownloadsKeepOnlyWhatThePinVouchesFor)
{
    LoopbackHttpServer server;
    ASSERT_TRUE(server.IsListening());
    ScratchFolder folder(L"installer_signature_test");
    const std::wstring signedHash = Sha256OfFile(Signed(L"signed.exe"));
    const std::wstring otherHash = Sha256OfFile(Signed(L"other.exe"));
    const struct {
        const wchar_t* served;
        InstallerPin pin;
        const wchar_t* words;  // empty: kept
    } cases[] = {
        {L"signed.exe", {L"", kPublisher}, L""},
        {L"signed.exe", {signedHash, kPublisher}, L""},
        {L"other.exe", {otherHash, kPublisher}, L"签名者是 Other Test Publisher，不是 Tovarin Test Publisher"},
        {L"signed.exe", {otherHash, kPublisher}, L"文件校验失败"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.served));
        const std::string body = ReadWholeFile(Signed(c.served));
        server.Serve("/setup.exe", Body(body));
        const std::wstring target = folder / L"setup.exe";
        DeleteFileW(target.c_str());
        DownloadJob job(server.Url("/setup.exe"), target, c.pin);
        const DownloadReport report = RunDownload(job);
        EXPECT_EQ(FailureWords(ReasonOf(report)), c.words);
        EXPECT_EQ(ReadWholeFile(target), *c.words ? "<missing>" : body);
    }
}

// The publisher's tool prints the name to pin, and fetches only files that name vouches for.
TEST(InstallerSigner, ApplibHashPrintsTheSignerAndFetchChecksIt)
{
    const ConsoleRun hash = RunApplib(L"hash signed_installers\\signed.exe signed_installers\\unsigned.exe");
    EXPECT_EQ(hash.out, Narrow(Sha256OfFile(Signed(L"signed.exe"))) + "  signed_installers\\signed.exe\n" +
                            "signer: Tovarin Test Publisher\n" + Narrow(Sha256OfFile(Signed(L"unsigned.exe"))) +
                            "  signed_installers\\unsigned.exe\nsigner: unsigned\n");

    LoopbackHttpServer server;
    ASSERT_TRUE(server.IsListening());
    server.Serve("/a.exe", Body(ReadWholeFile(Signed(L"signed.exe"))));
    server.Serve("/b.exe", Body(ReadWholeFile(Signed(L"other.exe"))));
    const std::string pin = "<key>signer</key><string>Tovarin Test Publisher</string>";
    const std::wstring tree = GetModuleDir() + L"\\signer-fetch";
    RemoveTree(tree);
    CreateDirectoryW(tree.c_str(), nullptr);
    const ScratchFile catalogue(tree + L"\\AppLib.xml",
                                XmlCatalogue(XmlGroup("G", "g.png",
                                                      XmlProgram("A", server.Url("/a.exe"), "a.png",
                                                                 "<key>install</key><string>a.exe</string>" + pin) +
                                                          XmlProgram("B", server.Url("/b.exe"), "b.png",
                                                                     "<key>install</key><string>b.exe</string>" + pin))));
    const ConsoleRun fetch = RunApplib(L"fetch \"" + catalogue.path() + L"\"");
    EXPECT_NE(fetch.out.find("G\tA\tinstaller\tSoft\\a.exe\tdownloaded"), std::string::npos) << fetch.out;
    EXPECT_NE(fetch.out.find("G\tB\tinstaller\tSoft\\b.exe\tfailed: "
                             "签名者是 Other Test Publisher，不是 Tovarin Test Publisher"),
              std::string::npos)
        << fetch.out;
    EXPECT_FALSE(PathExists(tree + L"\\Soft\\b.exe"));
}
