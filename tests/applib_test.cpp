// Runs applib.exe as a publisher would: its output bytes and exit codes.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "app/folders.h"
#include "app/unique_handle.h"
#include "tests/bplist_writer.h"
#include "tests/test_files.h"

namespace {

struct RunResult {
    DWORD exitCode = 0xdeadbeef;
    std::string out;
    std::string err;
};

// A pipe drained on a thread of its own, so a full pipe never stalls the child.
class PipeReader {
public:
    PipeReader()
    {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        CreatePipe(m_read.put(), m_write.put(), &inherit, 0);
        SetHandleInformation(m_read.get(), HANDLE_FLAG_INHERIT, 0);
    }
    HANDLE WriteEnd() const { return m_write.get(); }
    void StartReading()
    {
        m_write.reset();  // the child holds the only write end now
        m_thread.reset(CreateThread(nullptr, 0, Drain, this, 0, nullptr));
    }
    std::string Finish()
    {
        WaitForSingleObject(m_thread.get(), INFINITE);
        return m_text;
    }

private:
    static DWORD WINAPI Drain(void* self)
    {
        auto* reader = static_cast<PipeReader*>(self);
        char buffer[4096];
        DWORD count = 0;
        while (ReadFile(reader->m_read.get(), buffer, sizeof buffer, &count, nullptr) && count > 0)
            reader->m_text.append(buffer, count);
        return 0;
    }

    KernelHandle m_read;
    KernelHandle m_write;
    KernelHandle m_thread;
    std::string m_text;
};

RunResult RunApplib(const std::wstring& arguments)
{
    RunResult result;
    PipeReader out;
    PipeReader err;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out.WriteEnd();
    startup.hStdError = err.WriteEnd();
    std::wstring commandLine = L"\"" + GetModuleDir() + L"\\applib.exe\" " + arguments;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        ADD_FAILURE() << "applib.exe did not start, error " << GetLastError();
        return result;
    }
    const KernelHandle child(process.hProcess);
    const KernelHandle childThread(process.hThread);
    out.StartReading();
    err.StartReading();
    WaitForSingleObject(child.get(), INFINITE);
    GetExitCodeProcess(child.get(), &result.exitCode);
    result.out = out.Finish();
    result.err = err.Finish();
    return result;
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
    RunResult result = RunApplib(L"dump dump.xml");
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
        const RunResult result = RunApplib(c.arguments);
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
    const struct {
        const wchar_t* arguments;
        DWORD exitCode;
        const char* out;
    } cases[] = {
        {L"check check.bplist", 0, "Tools: 1 programs\nok\n"},
        {L"check check.xml", 1, "办公: 1 programs\n文档的下载url不正确\n"},
        {L"check empty.xml", 1, "没有分组数据\n"},
        {L"check dict.xml", 3, ""},
        {L"check missing.xml", 3, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << c.out);
        const RunResult result = RunApplib(c.arguments);
        EXPECT_EQ(result.exitCode, c.exitCode);
        EXPECT_EQ(result.out, c.out);
    }
}

TEST(Applib, ShippedSamplePassesTheCheck)
{
    const RunResult result = RunApplib(L"check AppLib\\AppLib.xml");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_NE(result.out.find("装机必备: 3 programs\n"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.substr(result.out.size() - 3), "ok\n");
}

TEST(Applib, WrongUsageExitsTwo)
{
    for (const wchar_t* arguments : {L"", L"dump", L"list AppLib\\AppLib.xml", L"dump a b"}) {
        SCOPED_TRACE(testing::Message() << "arguments " << testing::PrintToString(std::wstring(arguments)));
        const RunResult result = RunApplib(arguments);
        EXPECT_EQ(result.exitCode, 2u);
        EXPECT_NE(result.err.find("usage"), std::string::npos);
    }
}

}  // namespace
