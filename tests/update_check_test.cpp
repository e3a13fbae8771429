#include "tests/loopback_http_server.h"  // first: Winsock wants winsock2.h before windows.h

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "base/folders.h"
#include "base/program_version.h"
#include "install/update_check.h"
#include "net/publisher_key.h"
#include "net/servers.h"
#include "tests/test_files.h"

namespace {

const wchar_t kPromptTitle[] = L"Tovarin升级提示";
const wchar_t kBuiltInPrompt[] = L"系统检测到有更新的版本，是否立即体验！";
// Wine 8 reads HKEY_CLASSES_ROOT from the machine's classes only: a handler registered in
// HKCU\Software\Classes, which Windows prefers, is not seen there. The prefix is this
// build's own, and the original command is put back after each test.
const wchar_t kHttpCommandKey[] = L"Software\\Classes\\http\\shell\\open\\command";

TEST(UpdateVersion, ComparesAsCaseFoldedText)
{
    const struct {
        const wchar_t* version;
        bool newer;  // than 1.1.0
    } cases[] = {
        {L"1.1.0", false}, {L"1.1.1", true},  {L"1.2", true},      {L"1.10.0", true},  {L"2", true},
        {L"10.0", true},   {L"1.0.9", false}, {L"1.1", false},     {L"0.9", false},    {L"1.1.0A", true},
        {L"1.1.0a", true}, {L"", false},      {L"v1.0", true},     {L"1.1.0.0", true}, {L"1.1.", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "Version=" << Narrow(c.version));
        EXPECT_EQ(CompareVersionText(c.version, L"1.1.0") > 0, c.newer);
    }
    EXPECT_FALSE(IsNewerThanCurrentVersion(kProgramVersion));
    EXPECT_TRUE(IsNewerThanCurrentVersion(std::wstring(kProgramVersion) + L".1"));
    EXPECT_EQ(CompareVersionText(L"1.1.0A", L"1.1.0a"), 0);
    EXPECT_LT(CompareVersionText(L"1.1", L"1.1.0"), 0);
    EXPECT_GT(CompareVersionText(L"1.1.0", L"1.1"), 0);
}

TEST(UpdatePage, OnlyWebAddressesAreOpened)
{
    const std::wstring page = UpdatePageUrl();
    const struct {
        const wchar_t* updateFile;
        std::wstring opened;
    } cases[] = {
        {L"http://dl.example.com/setup.exe", L"http://dl.example.com/setup.exe"},
        {L"HTTPS://dl.example.com/", L"HTTPS://dl.example.com/"},
        {L"hTtP://dl.example.com/a", L"hTtP://dl.example.com/a"},
        {L"C:\\Windows\\system32\\calc.exe", page},
        {L"\\\\server\\share\\setup.exe", page},
        {L"calc.exe", page},
        {L"file:///C:/Windows/notepad.exe", page},
        {L"ftp://dl.example.com/setup.exe", page},
        {L" http://dl.example.com/", page},
        {L"http:", page},
        {L"", page},
    };
    EXPECT_EQ(Narrow(page), "http://" + Narrow(kUpdateServer) + "/upan/");
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "UpdateFile=" << Narrow(c.updateFile));
        EXPECT_EQ(UpdatePageToOpen(c.updateFile), c.opened);
    }
}

TEST(UpdateDescription, MissingKeysTakeTheirDefaults)
{
    ScratchFolder folder(L"update_description_test");
    const std::wstring path = folder / L"description.txt";
    const std::string long300(300, 'i');
    const struct {
        const char* name;
        std::string ini;
        UpdateDescription expected;
    } cases[] = {
        {"all keys", "[Update]\r\nVersion=2.0\r\nUpdateFile=http://x/y\r\nInfo=New!\r\n", {L"2.0", L"http://x/y", L"New!"}},
        {"only a version", "[Update]\r\nVersion=2.0\r\n", {L"2.0", UpdatePageUrl(), L""}},
        {"empty values", "[Update]\r\nVersion=\r\nUpdateFile=\r\nInfo=\r\n", {L"", L"", L""}},
        {"another section", "[Other]\r\nVersion=2.0\r\n", {kProgramVersion, UpdatePageUrl(), L""}},
        {"not an INI file", "<html>404</html>", {kProgramVersion, UpdatePageUrl(), L""}},
        {"259 characters at most", "[Update]\r\nInfo=" + long300 + "\r\n",
         {kProgramVersion, UpdatePageUrl(), std::wstring(259, L'i')}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(WriteWholeFile(path, c.ini));
        const UpdateDescription read = ReadUpdateDescription(path);
        EXPECT_EQ(read.version, c.expected.version);
        EXPECT_EQ(read.updateFile, c.expected.updateFile);
        EXPECT_EQ(read.info, c.expected.info);
    }
    const UpdateDescription missing = ReadUpdateDescription(folder / L"missing.txt");
    EXPECT_EQ(missing.version, kProgramVersion);
    EXPECT_EQ(missing.updateFile, UpdatePageUrl());
}

namespace {

const std::wstring kChineseInfo = L"新版本已发布，立即体验！";

std::string Encoded(UINT codePage, const std::wstring& text)
{
    const int size = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                         nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
    return bytes;
}

std::wstring Decoded(UINT codePage, const std::string& bytes)
{
    const int size = MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], size);
    return text;
}

std::string Utf16WithMark(const std::wstring& text)
{
    std::string bytes = "\xFF\xFE";
    for (const wchar_t c : text) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>((c >> 8) & 0xFF);
    }
    return bytes;
}

}  // namespace

// Publishers' editors save UTF-8, which the INI reader would take for the ANSI code page. The
// description is decoded first: UTF-8 with or without its mark when the bytes are valid
// UTF-8, UTF-16 with its mark, and anything else in the ANSI code page as before (GBK bytes
// give the Chinese text on a Chinese Windows, whose code page is 936).
TEST(UpdateDescription, ChineseInfoInEachEncoding)
{
    ScratchFolder folder(L"update_encoding_test");
    const std::wstring path = folder / L"description.txt";
    const std::wstring ini = L"[Update]\r\nVersion=2.0\r\nUpdateFile=http://x/y\r\nInfo=" + kChineseInfo + L"\r\n";
    const std::string gbk = Encoded(936, ini);
    // A lead byte with no continuation just before the Chinese text.
    std::string broken = Encoded(CP_UTF8, ini);
    broken.insert(broken.find(Encoded(CP_UTF8, kChineseInfo)), "\xE6");
    const struct {
        const char* name;
        std::string bytes;
        std::wstring info;
    } cases[] = {
        {"UTF-8", Encoded(CP_UTF8, ini), kChineseInfo},
        {"UTF-8 with its mark", "\xEF\xBB\xBF" + Encoded(CP_UTF8, ini), kChineseInfo},
        {"UTF-16 with its mark", Utf16WithMark(ini), kChineseInfo},
        {"GBK: the ANSI code page", gbk, Decoded(CP_ACP, Encoded(936, kChineseInfo))},
        {"UTF-8 with a broken sequence: the ANSI code page", broken,
         Decoded(CP_ACP, "\xE6" + Encoded(CP_UTF8, kChineseInfo))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(WriteWholeFile(path, c.bytes));
        const UpdateDescription read = ReadUpdateDescription(path);
        EXPECT_EQ(read.version, L"2.0");
        EXPECT_EQ(read.updateFile, L"http://x/y");
        EXPECT_EQ(read.info, c.info);
    }
}

struct PromptSeen {
    bool shown = false;
    std::wstring text;
    HWND owner = nullptr;
    bool yesAndNo = false;
};

// Runs UpdateCheckThread against the update server on its compiled-in port, as the main
// window starts it, answers its prompt with `answer` and records what the shell opens:
// the http scheme's open command is replaced by one that writes its argument to a file.
class UpdateCheck : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server->IsListening()) << "update port " << server->Port() << " busy";
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kHttpCommandKey, 0, KEY_READ | KEY_WRITE, m_command.put()),
                  ERROR_SUCCESS);
        DWORD size = sizeof(m_savedCommand);
        m_savedType = 0xdeadbeef;
        ASSERT_EQ(RegQueryValueExW(m_command.get(), nullptr, nullptr, &m_savedType,
                                   reinterpret_cast<BYTE*>(m_savedCommand), &size),
                  ERROR_SUCCESS);
        m_savedSize = size;
        const std::wstring line = L"C:\\windows\\system32\\cmd.exe /c echo %1>\"" + Opened() + L"\"";
        ASSERT_EQ(RegSetValueExW(m_command.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(line.c_str()),
                                 static_cast<DWORD>((line.size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
        m_owner = CreateWindowExW(0, L"STATIC", L"main window", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                                  nullptr, nullptr);
        ASSERT_NE(m_owner, nullptr);
    }

    void TearDown() override
    {
        if (m_owner)
            DestroyWindow(m_owner);
        if (m_savedSize > 0)
            RegSetValueExW(m_command.get(), nullptr, 0, m_savedType, reinterpret_cast<const BYTE*>(m_savedCommand),
                           m_savedSize);
    }

    void Describe(const std::string& ini)
    {
        server->Serve(Narrow(kUpdateDescriptionPath), Body(ini));
    }

    std::wstring Opened() const { return folder / L"opened.txt"; }

    // What the handler was given, or "" when nothing was opened within the time-out.
    std::string WaitForOpened(DWORD timeoutMs = 10000) const
    {
        if (!WaitUntil([&] { return ReadWholeFile(Opened()).find('\n') != std::string::npos; }, timeoutMs))
            return std::string();
        std::string line = ReadWholeFile(Opened());
        return line.substr(0, line.find_first_of("\r\n"));
    }

    // With no key, as an unkeyed build checks.
    PromptSeen RunCheck(int answer, const P256PublicKey* publisherKey = nullptr)
    {
        PromptSeen seen;
        auto request = std::make_unique<UpdateCheckRequest>(UpdateCheckRequest{m_owner, publisherKey});
        KernelHandle thread(CreateThread(nullptr, 0, UpdateCheckThread, request.get(), 0, nullptr));
        EXPECT_TRUE(thread);
        if (thread)
            request.release();  // the thread's now
        const ULONGLONG deadline = GetTickCount64() + 20000;
        for (;;) {
            // The prompt disables its owner, which lives on this thread: keep pumping.
            const HANDLE handles[] = {thread.get()};
            if (MsgWaitForMultipleObjects(1, handles, FALSE, 20, QS_ALLINPUT) == WAIT_OBJECT_0)
                break;
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
            if (!seen.shown) {
                if (const HWND box = FindWindowW(L"#32770", kPromptTitle)) {
                    seen.shown = true;
                    wchar_t text[512] = {};
                    GetDlgItemTextW(box, 0xFFFF, text, 512);
                    seen.text = text;
                    seen.owner = GetWindow(box, GW_OWNER);
                    seen.yesAndNo = GetDlgItem(box, IDYES) && GetDlgItem(box, IDNO) && !GetDlgItem(box, IDOK);
                    PostMessageW(box, WM_COMMAND, static_cast<WPARAM>(answer), 0);
                }
            }
            if (GetTickCount64() > deadline) {
                ADD_FAILURE() << "the update check did not end";
                break;
            }
        }
        return seen;
    }

    std::optional<LoopbackHttpServer> server{std::in_place, PortOfServer(kUpdateServer)};  // reset() takes it down
    ScratchFolder folder{L"update_check_test"};
    HWND m_owner = nullptr;

private:
    RegKey m_command;
    DWORD m_savedType = 0;
    DWORD m_savedSize = 0;
    wchar_t m_savedCommand[1024] = {};
};

TEST_F(UpdateCheck, NewerVersionAsksAndYesOpensTheUpdateFile)
{
    const std::string updateFile = Narrow(server->Url("/download/setup-2.0.exe"));
    Describe("[Update]\r\nVersion=1.10.0\r\nUpdateFile=" + updateFile + "\r\nInfo=Version 1.10 is out\r\n");
    const PromptSeen seen = RunCheck(IDYES);
    ASSERT_TRUE(seen.shown);
    EXPECT_EQ(seen.text, L"Version 1.10 is out");
    EXPECT_EQ(seen.owner, m_owner);
    EXPECT_TRUE(seen.yesAndNo);
    EXPECT_EQ(WaitForOpened(), updateFile);
    EXPECT_EQ(server->CountRequests("GET", Narrow(kUpdateDescriptionPath)), 1u);
    // Today's update servers have no signature: an unkeyed build never asks for one.
    EXPECT_EQ(server->CountRequests("GET", Narrow(kUpdateDescriptionPath) + ".sig"), 0u);
    EXPECT_EQ(server->CountRequests("HEAD", Narrow(kUpdateDescriptionPath) + ".sig"), 0u);

    // The local copy stays in the temporary folder.
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    EXPECT_NE(ReadWholeFile(std::wstring(temp) + L"tovarinup.txt").find("Version=1.10.0"), std::string::npos);
}

TEST_F(UpdateCheck, AUtf8DescriptionShowsItsChineseInfo)
{
    Describe("[Update]\r\nVersion=2.0\r\nInfo=" + Encoded(CP_UTF8, kChineseInfo) + "\r\n");
    const PromptSeen seen = RunCheck(IDNO);
    ASSERT_TRUE(seen.shown);
    EXPECT_EQ(seen.text, kChineseInfo);
}

TEST_F(UpdateCheck, DefaultsGiveTheBuiltInPromptAndTheUpdatePage)
{
    Describe("[Update]\r\nVersion=2\r\nInfo=\r\n");
    const PromptSeen seen = RunCheck(IDYES);
    ASSERT_TRUE(seen.shown);
    EXPECT_EQ(seen.text, kBuiltInPrompt);
    EXPECT_EQ(WaitForOpened(), Narrow(UpdatePageUrl()));
}

TEST_F(UpdateCheck, UpdateFileThatIsNotAWebAddressOpensTheUpdatePage)
{
    const std::string notWeb[] = {"C:\\windows\\system32\\hostname.exe", "\\\\server\\share\\setup.exe"};
    for (const std::string& updateFile : notWeb) {
        SCOPED_TRACE(updateFile);
        DeleteFileW(Opened().c_str());
        Describe("[Update]\r\nVersion=9.9\r\nUpdateFile=" + updateFile + "\r\n");
        ASSERT_TRUE(RunCheck(IDYES).shown);
        EXPECT_EQ(WaitForOpened(), Narrow(UpdatePageUrl()));
    }
}

TEST_F(UpdateCheck, NoOpensNothing)
{
    Describe("[Update]\r\nVersion=9.9\r\n");
    ASSERT_TRUE(RunCheck(IDNO).shown);
    EXPECT_EQ(WaitForOpened(2000), "");
}

TEST_F(UpdateCheck, NoPromptUnlessTheAnnouncedVersionIsNewer)
{
    const std::string descriptions[] = {
        "[Update]\r\nVersion=" + Narrow(kProgramVersion) + "\r\n",
        "[Update]\r\nVersion=1.0.9\r\n",
        "[Update]\r\nVersion=1.1\r\n",
        "[Update]\r\nVersion=\r\n",
        "[Update]\r\nInfo=no version\r\n",
    };
    for (const std::string& description : descriptions) {
        SCOPED_TRACE(description);
        Describe(description);
        EXPECT_FALSE(RunCheck(IDYES).shown);
    }
    // Each run fetched afresh, none from the URL cache.
    EXPECT_EQ(server->CountRequests("GET", Narrow(kUpdateDescriptionPath)), 5u);
}

TEST_F(UpdateCheck, NoTemporaryFolderMeansNoCheck)
{
    Describe("[Update]\r\nVersion=9.9\r\n");
    wchar_t saved[4096] = {};
    const DWORD savedLength = GetEnvironmentVariableW(L"TMP", saved, 4096);
    // A temporary folder longer than the 260-character buffer cannot be used.
    SetEnvironmentVariableW(L"TMP", (L"C:\\" + std::wstring(300, L't')).c_str());
    const bool shown = RunCheck(IDNO).shown;
    SetEnvironmentVariableW(L"TMP", savedLength ? saved : nullptr);
    EXPECT_FALSE(shown);
    EXPECT_EQ(server->CountRequests("GET", Narrow(kUpdateDescriptionPath)), 0u);
    EXPECT_FALSE(PathExists(L"tovarinup.txt"));
}

TEST_F(UpdateCheck, OldLocalCopyIsNotReadWhenTheServerIsDown)
{
    // Left by an earlier run, when a newer version was announced.
    const ScratchFile old(UpdateDescriptionPath(), "[Update]\r\nVersion=9.9\r\n");
    server.reset();
    EXPECT_FALSE(RunCheck(IDYES).shown);
}

TEST_F(UpdateCheck, UnreachableDescriptionEndsQuietly)
{
    // Nothing served at the description's path: 404.
    EXPECT_FALSE(RunCheck(IDYES).shown);
    EXPECT_EQ(server->CountRequests("GET", Narrow(kUpdateDescriptionPath)), 1u);
}

// A signed description from tests/signing/update, announcing version 9.9.
std::string SignedFile(const std::string& name)
{
    return ReadWholeFile(GetModuleDir() + L"\\signing\\update\\" + std::wstring(name.begin(), name.end()));
}

// As a build configured with the test key checks: the signature is fetched from the
// description's URL with ".sig" added, and only a good one lets the prompt appear.
TEST_F(UpdateCheck, AKeyedBuildPromptsOnlyWhenTheSignatureVerifies)
{
    ASSERT_TRUE(PublisherKey().has_value());
    const std::string description = SignedFile("pelmarup.txt");
    const std::string signature = SignedFile("pelmarup.txt.sig");
    ASSERT_NE(signature, "<missing>");
    std::string altered = description;
    altered[altered.find("9.9")] = '8';  // still newer than this version
    HttpAnswer missing;
    missing.status = 404;
    const struct {
        const char* name;
        std::string description;
        HttpAnswer signature;
        bool prompt;
    } cases[] = {
        {"good signature", description, Body(signature), true},
        {"no signature", description, missing, false},
        {"description altered after signing", altered, Body(signature), false},
        {"signature by another key", description, Body(SignedFile("pelmarup.txt.other-key.sig")), false},
        {"truncated signature", description, Body(signature.substr(0, signature.size() - 1)), false},
        {"garbage", description, Body("no signature\n"), false},
    };
    const std::string signaturePath = Narrow(kUpdateDescriptionPath) + ".sig";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t earlier = server->CountRequests("GET", signaturePath);
        Describe(c.description);
        server->Serve(signaturePath, c.signature);
        const PromptSeen seen = RunCheck(IDNO, &*PublisherKey());
        EXPECT_EQ(seen.shown, c.prompt);
        if (seen.shown) {
            EXPECT_EQ(seen.text, L"Signed by the publisher");
        }
        EXPECT_EQ(server->CountRequests("GET", signaturePath), earlier + 1);
    }
}

}  // namespace
