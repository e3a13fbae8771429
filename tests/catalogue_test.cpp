#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "base/folders.h"
#include "catalog/catalogue.h"
#include "catalog/catalogue_serial.h"
#include "tests/bplist_writer.h"
#include "tests/test_files.h"

namespace {

// Each catalogue file of a test goes into this program's scratch folder.
std::wstring ScratchPath()
{
    static const ScratchFolder folder(L"catalogue_test");
    return folder / L"AppLib.xml";
}

std::string Plist(const std::string& body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">" + body + "</plist>";
}

std::string Str(const std::string& key, const std::string& value)
{
    return "<key>" + key + "</key><string>" + value + "</string>";
}

std::string Program(const std::string& name, const std::string& extra = "")
{
    return "<dict>" + Str("name", name) + Str("url", "http://dl.example.com/" + name + ".exe") +
           Str("icon", "http://img.example.com/" + name + ".png") + extra + "</dict>";
}

std::string Group(const std::string& name, const std::string& applications)
{
    return "<dict>" + Str("name", name) + Str("icon", name + ".png") + "<key>applications</key><array>" +
           applications + "</array></dict>";
}

std::vector<std::wstring> GroupNames(const Catalogue& catalogue)
{
    std::vector<std::wstring> names;
    for (const auto& group : catalogue)
        names.push_back(group->name);
    return names;
}

std::vector<std::wstring> ProgramNames(const CatalogueGroup& group)
{
    std::vector<std::wstring> names;
    for (const auto& program : group.applications)
        names.push_back(program->name);
    return names;
}

TEST(LoadCatalogue, ReadsGroupsAndProgramsInFileOrder)
{
    ScratchFile file(ScratchPath(), Plist("<array>" +
                           Group("办公", Program("A", Str("install", "a.exe /S")) + Program("B")) +
                           Group("Media", Program("C")) + "</array>"));
    Catalogue catalogue;
    ASSERT_TRUE(LoadCatalogue(catalogue, file.path()));
    ASSERT_EQ(GroupNames(catalogue), (std::vector<std::wstring>{L"办公", L"Media"}));
    const CatalogueGroup& office = *catalogue[0];
    EXPECT_EQ(office.icon, L"办公.png");
    EXPECT_EQ(ProgramNames(office), (std::vector<std::wstring>{L"A", L"B"}));
    const CatalogueProgram& a = *office.applications[0];
    EXPECT_EQ(a.url, L"http://dl.example.com/A.exe");
    EXPECT_EQ(a.icon, L"http://img.example.com/A.png");
    EXPECT_EQ(a.install, L"a.exe /S");
    EXPECT_EQ(office.applications[1]->install, L"");
}

TEST(LoadCatalogue, UnreadableFilesAppendNothing)
{
    const struct {
        const char* name;
        std::string content;
    } cases[] = {
        {"empty file", ""},
        {"not well-formed", "<plist><array>"},
        {"top level is a dictionary", Plist("<dict>" + Str("name", "x") + "</dict>")},
        {"no plist element", "<array/>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchFile file(ScratchPath(), c.content);
        Catalogue catalogue;
        catalogue.push_back(std::make_unique<CatalogueGroup>());
        EXPECT_FALSE(LoadCatalogue(catalogue, file.path()));
        EXPECT_EQ(catalogue.size(), 1u);
    }
    Catalogue catalogue;
    EXPECT_FALSE(LoadCatalogue(catalogue, L"C:\\no\\such\\folder\\AppLib.xml"));
    EXPECT_TRUE(catalogue.empty());
}

TEST(LoadCatalogue, SkipRules)
{
    const std::string good = Program("Good");
    const struct {
        const char* name;
        std::string array;
        std::vector<std::wstring> groups;
        std::vector<std::wstring> firstGroupPrograms;
    } cases[] = {
        {"empty top-level array", "", {}, {}},
        {"a non-dictionary element stops the walk",
         Group("A", good) + "<string>stop</string>" + Group("B", good), {L"A"}, {L"Good"}},
        {"group without name", "<dict>" + Str("icon", "i") + "<key>applications</key><array/></dict>" + Group("B", good),
         {L"B"}, {L"Good"}},
        {"group without icon", "<dict>" + Str("name", "n") + "<key>applications</key><array/></dict>", {}, {}},
        {"group without applications", "<dict>" + Str("name", "n") + Str("icon", "i") + "</dict>", {}, {}},
        {"group name of another kind",
         "<dict><key>name</key><integer>1</integer>" + Str("icon", "i") + "<key>applications</key><array/></dict>", {}, {}},
        {"applications not an array",
         "<dict>" + Str("name", "n") + Str("icon", "i") + Str("applications", "x") + "</dict>", {}, {}},
        {"an application that is not a dictionary drops the group",
         Group("A", good + "<integer>3</integer>") + Group("B", good), {L"B"}, {L"Good"}},
        {"empty applications", Group("Empty", ""), {L"Empty"}, {}},
        {"program without url is skipped",
         Group("A", "<dict>" + Str("name", "NoUrl") + Str("icon", "http://x/i.png") + "</dict>" + good), {L"A"}, {L"Good"}},
        {"program without name is skipped",
         Group("A", "<dict>" + Str("url", "http://x/a.exe") + Str("icon", "http://x/i.png") + "</dict>" + good), {L"A"},
         {L"Good"}},
        {"program without icon is skipped",
         Group("A", "<dict>" + Str("name", "N") + Str("url", "http://x/a.exe") + "</dict>" + good), {L"A"}, {L"Good"}},
        {"program whose install is an integer is skipped",
         Group("A", Program("Bad", "<key>install</key><integer>5</integer>") + good), {L"A"}, {L"Good"}},
        {"program whose url is a boolean is skipped",
         Group("A", "<dict>" + Str("name", "N") + "<key>url</key><true/>" + Str("icon", "i") + "</dict>" + good), {L"A"},
         {L"Good"}},
        {"keys are case-sensitive",
         Group("A", "<dict>" + Str("Name", "N") + Str("url", "http://x/a.exe") + Str("icon", "i") + "</dict>"), {L"A"}, {}},
        {"unknown keys are ignored", Group("A", Program("Good", Str("size", "12MB"))), {L"A"}, {L"Good"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchFile file(ScratchPath(), Plist("<array>" + c.array + "</array>"));
        Catalogue catalogue;
        EXPECT_TRUE(LoadCatalogue(catalogue, file.path()));
        EXPECT_EQ(GroupNames(catalogue), c.groups);
        if (!catalogue.empty()) {
            EXPECT_EQ(ProgramNames(*catalogue[0]), c.firstGroupPrograms);
        }
    }
}

// [{catalogueSerial: 2026120901}, {name: "A", icon: "A", applications: []}]
std::string BinaryWithSerial()
{
    using namespace BplistTest;
    Writer writer;
    for (const Bytes& object : {Array({1, 4}), Dict({2}, {3}), Ascii("catalogueSerial"), Int(2026120901),
                                Dict({5, 6, 7}, {8, 8, 9}), Ascii("name"), Ascii("icon"), Ascii("applications"),
                                Ascii("A"), Array({})})
        writer.Add(object);
    return writer.Build();
}

// The serial's entry is a dictionary that is no group: every reader, older ones too, skips
// it without a word. Only the first entry's integer counts.
TEST(LoadCatalogue, TheSerialEntryIsNoGroupAndGivesTheSerial)
{
    const std::string serial = "<dict><key>catalogueSerial</key><integer>2026120901</integer></dict>";
    const struct {
        const char* name;
        std::string bytes;
        std::optional<int64_t> serial;
    } cases[] = {
        {"xml", Plist("<array>" + serial + Group("A", "") + "</array>"), 2026120901},
        {"binary", BinaryWithSerial(), 2026120901},
        {"not first", Plist("<array>" + Group("A", "") + serial + "</array>"), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Catalogue catalogue;
        ASSERT_TRUE(LoadCatalogueFromBytes(catalogue, c.bytes));
        EXPECT_EQ(GroupNames(catalogue), std::vector<std::wstring>{L"A"});
        EXPECT_EQ(catalogue.serial, c.serial);
    }
}

// Lower is refused; so is none once one has been taken.
TEST(CatalogueSerial, TakenUnlessLowerOrMissingAfterOne)
{
    const struct {
        std::optional<int64_t> offered;
        std::optional<int64_t> highestTaken;
        bool taken;
    } cases[] = {{2, 1, true}, {2, 2, true}, {1, 2, false}, {std::nullopt, std::nullopt, true}, {std::nullopt, 2, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.offered.value_or(-1) << " after " << c.highestTaken.value_or(-1));
        EXPECT_EQ(TakesCatalogueSerial(c.offered, c.highestTaken), c.taken);
    }
}

// The optional installer hash: 64 hex digits in either case, kept in lowercase. Anything
// else leaves the program as if it had no key, flagged for the publisher's check.
TEST(LoadCatalogue, Sha256Values)
{
    const std::string lower = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    const std::wstring lowerWide(lower.begin(), lower.end());
    const struct {
        const char* name;
        std::string key;
        std::wstring sha256;
        bool malformed;
    } cases[] = {
        {"absent", "", L"", false},
        {"lowercase", Str("sha256", lower), lowerWide, false},
        {"uppercase", Str("sha256", "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855"), lowerWide,
         false},
        {"63 digits", Str("sha256", lower.substr(1)), L"", true},
        {"65 digits", Str("sha256", lower + "0"), L"", true},
        {"a letter past f", Str("sha256", "g" + lower.substr(1)), L"", true},
        {"blank inside", Str("sha256", lower.substr(0, 32) + " " + lower.substr(33)), L"", true},
        {"empty", Str("sha256", ""), L"", true},
        {"an integer", "<key>sha256</key><integer>5</integer>", L"", true},
        {"key in another case is another key", Str("SHA256", lower), L"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchFile file(ScratchPath(), Plist("<array>" + Group("A", Program("P", c.key)) + "</array>"));
        Catalogue catalogue;
        ASSERT_TRUE(LoadCatalogue(catalogue, file.path()));
        ASSERT_EQ(catalogue.size(), 1u);
        ASSERT_EQ(catalogue[0]->applications.size(), 1u) << "the program stays in its group";
        EXPECT_EQ(catalogue[0]->applications[0]->sha256, c.sha256);
        EXPECT_EQ(catalogue[0]->applications[0]->malformedSha256, c.malformed);
    }
}

// Both keys are optional: a malformed value is flagged for `applib check` and ignored, and
// the program stays, as an older build that knows neither key would keep it.
TEST(LoadCatalogue, InstalledAndVersionValues)
{
    const struct {
        const char* name;
        std::string keys;
        std::wstring installed;
        bool malformedInstalled;
        std::wstring version;
        bool malformedVersion;
    } cases[] = {
        {"absent", "", L"", false, L"", false},
        {"a subkey name and a version", Str("installed", "7-Zip") + Str("version", "24.08"), L"7-Zip", false,
         L"24.08", false},
        {"a product code", Str("installed", "{23170F69-40C1-2702-2408-000001000000}"),
         L"{23170F69-40C1-2702-2408-000001000000}", false, L"", false},
        {"a DisplayName start in Chinese", Str("installed", "快看图片"), L"快看图片", false, L"", false},
        {"a version with a suffix", Str("version", "3.12.7 (x64)"), L"", false, L"3.12.7 (x64)", false},
        {"empty installed", Str("installed", ""), L"", true, L"", false},
        {"installed with a backslash", Str("installed", "Uninstall\\7-Zip"), L"", true, L"", false},
        {"installed an integer", "<key>installed</key><integer>7</integer>", L"", true, L"", false},
        {"version without a number", Str("installed", "A") + Str("version", "latest"), L"A", false, L"", true},
        {"version empty", Str("version", ""), L"", false, L"", true},
        {"version a real", "<key>version</key><real>2.5</real>", L"", false, L"", true},
        {"keys in another case are other keys", Str("Installed", "A") + Str("VERSION", "x"), L"", false, L"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchFile file(ScratchPath(), Plist("<array>" + Group("A", Program("P", c.keys)) + "</array>"));
        Catalogue catalogue;
        ASSERT_TRUE(LoadCatalogue(catalogue, file.path()));
        ASSERT_EQ(catalogue.size(), 1u);
        ASSERT_EQ(catalogue[0]->applications.size(), 1u) << "the program stays in its group";
        const CatalogueProgram& program = *catalogue[0]->applications[0];
        EXPECT_EQ(program.installed, c.installed);
        EXPECT_EQ(program.malformedInstalled, c.malformedInstalled);
        EXPECT_EQ(program.version, c.version);
        EXPECT_EQ(program.malformedVersion, c.malformedVersion);
        std::wstring message;
        EXPECT_TRUE(CheckCatalogue(catalogue, message)) << "a refresh takes it: the program ignores a bad value";
    }
}

TEST(LoadCatalogue, AppendsWithoutClearingAndClearEmpties)
{
    ScratchFile file(ScratchPath(), Plist("<array>" + Group("A", Program("P")) + "</array>"));
    Catalogue catalogue;
    ASSERT_TRUE(LoadCatalogue(catalogue, file.path()));
    ASSERT_TRUE(LoadCatalogue(catalogue, file.path()));
    EXPECT_EQ(GroupNames(catalogue), (std::vector<std::wstring>{L"A", L"A"}));
    ClearCatalogue(catalogue);
    EXPECT_TRUE(catalogue.empty());
}

TEST(LoadCatalogue, MalformedUtf8BecomesReplacementCharacter)
{
    // pugixml keeps the bytes as they are; the widening marks each bad sequence.
    const struct {
        const char* utf8;
        std::wstring wide;
    } cases[] = {
        {"a\xFFz", L"a\xFFFDz"},
        {"ok\xE4", L"ok\xFFFD"},  // cut short at the end of the text
        {"\xE5\x8A\x9E\xE5\x85\xAC", L"办公"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.utf8);
        ScratchFile file(ScratchPath(), Plist("<array>" + Group(c.utf8, "") + "</array>"));
        Catalogue catalogue;
        ASSERT_TRUE(LoadCatalogue(catalogue, file.path()));
        ASSERT_EQ(catalogue.size(), 1u);
        EXPECT_EQ(catalogue[0]->name, c.wide);
    }
}

TEST(LoadCatalogue, ShippedSampleLoadsAndPassesTheCheck)
{
    Catalogue catalogue;
    ASSERT_TRUE(LoadCatalogue(catalogue, GetAppLibDir() + L"\\applib.xml"));
    ASSERT_GE(catalogue.size(), 3u);
    size_t programs = 0;
    for (const auto& group : catalogue)
        programs += group->applications.size();
    EXPECT_GE(programs, 12u);
    std::wstring message = L"untouched";
    EXPECT_TRUE(CheckCatalogue(catalogue, message));
    EXPECT_EQ(message, L"untouched");
}

std::unique_ptr<CatalogueProgram> MakeProgram(const std::wstring& name, const std::wstring& url, const std::wstring& icon)
{
    auto program = std::make_unique<CatalogueProgram>();
    program->name = name;
    program->url = url;
    program->icon = icon;
    return program;
}

TEST(CheckCatalogue, Verdicts)
{
    const struct {
        const char* name;
        std::wstring url;
        std::wstring icon;
        bool passes;
        std::wstring message;
    } cases[] = {
        {"http url and icon", L"http://a.example/z.exe", L"http://a.example/z.png", true, L"before"},
        {"capital scheme", L"HTTP://A.EXAMPLE/Z.EXE", L"Http://a/z.png", true, L"before"},
        {"https url and icon", L"https://a.example/z.exe", L"HTTPS://a.example/z.png", true, L"before"},
        {"bare http scheme", L"http://", L"http://a.example/z.png", false, L"ZipTool的下载url不正确"},
        {"bare https scheme", L"https://", L"http://a.example/z.png", false, L"ZipTool的下载url不正确"},
        {"https icon without a host", L"http://a.example/z.exe", L"https://", false, L"ZipTool的icon不正确"},
        {"one s too many", L"httpss://a.example/z.exe", L"http://a.example/z.png", false, L"ZipTool的下载url不正确"},
        {"one character after the scheme", L"http://a", L"http://a.example/z.png", true, L"before"},
        {"bare icon name", L"http://a.example/z.exe", L"z.png", false, L"ZipTool的icon不正确"},
        {"both bad: url decides", L"ftp://a/z.exe", L"z.png", false, L"ZipTool的下载url不正确"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Catalogue catalogue;
        catalogue.push_back(std::make_unique<CatalogueGroup>());
        catalogue[0]->applications.push_back(MakeProgram(L"ZipTool", c.url, c.icon));
        std::wstring message = L"before";
        EXPECT_EQ(CheckCatalogue(catalogue, message), c.passes);
        EXPECT_EQ(message, c.message);
    }
}

TEST(CheckCatalogue, NoGroupsFailsAndTheFirstBadProgramNamesTheMessage)
{
    Catalogue catalogue;
    std::wstring message;
    EXPECT_FALSE(CheckCatalogue(catalogue, message));
    EXPECT_EQ(message, L"没有分组数据");

    catalogue.push_back(std::make_unique<CatalogueGroup>());  // a group without programs passes
    catalogue[0]->icon = L"not-a-url.png";                    // group icons are not checked
    catalogue.push_back(std::make_unique<CatalogueGroup>());
    catalogue[1]->applications.push_back(MakeProgram(L"好", L"http://a/1.exe", L"http://a/1.png"));
    catalogue[1]->applications.push_back(MakeProgram(L"第一", L"http://a/2.exe", L"2.png"));
    catalogue[1]->applications.push_back(MakeProgram(L"第二", L"bad", L"bad"));
    EXPECT_FALSE(CheckCatalogue(catalogue, message));
    EXPECT_EQ(message, L"第一的icon不正确");
    EXPECT_EQ(catalogue[1]->applications.size(), 3u);
}

TEST(IconNames, HttpReferencesAndBareNames)
{
    const struct {
        std::wstring text;
        bool startsWithHttp;
        std::wstring fileName;
        std::wstring localName;
    } cases[] = {
        {L"http://img.example.com/icons/ziptool.png", true, L"ziptool.png", L"ziptool.png"},
        {L"ziptool.png", false, L"ziptool.png", L"ziptool.png"},
        {L"HTTP://IMG/G/OFFICE.PNG", true, L"OFFICE.PNG", L"OFFICE.PNG"},
        {L"http://img.example.com/icons/", true, L"", L""},
        {L"http://", false, L"", L"http://"},
        {L"http://x", true, L"x", L"x"},
        {L"https://img/a.png", true, L"a.png", L"a.png"},
        {L"HtTpS://IMG/B.PNG", true, L"B.PNG", L"B.PNG"},
        {L"https://x", true, L"x", L"x"},
        {L"https://", false, L"", L"https://"},
        {L"https:/img/a.png", false, L"a.png", L"https:/img/a.png"},
        {L"http://img/a.png?v=2", true, L"a.png?v=2", L"a.png?v=2"},
        {L"", false, L"", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "text " << testing::PrintToString(c.text));
        EXPECT_EQ(StartsWithHttp(c.text), c.startsWithHttp);
        EXPECT_EQ(FileNameFromUrl(c.text), c.fileName);
        EXPECT_EQ(LocalIconName(c.text), c.localName);
    }
}

// Every name here would open a device or another file than the one named on Windows.
TEST(IconNames, OnlyPlainFileNamesPass)
{
    const struct {
        std::wstring name;
        bool plain;
    } cases[] = {
        {L"setup.exe", true},
        {L"ziptool.png", true},
        {L"软件.exe", true},
        {L".hidden", true},
        {L"a.b.c", true},
        {L"console.exe", true},
        {L"com10.exe", true},
        {L"com0.exe", true},
        {L"lpt.png", true},
        {L"nul_setup.exe", true},
        {L"xcon.exe", true},
        {L"", false},
        {L".", false},
        {L"..", false},
        {L"a\\b.exe", false},
        {L"a/b.exe", false},
        {L"C:x.exe", false},
        // Devices, in any letter case, with or without an extension.
        {L"con.exe", false},
        {L"CON", false},
        {L"NUL", false},
        {L"nul.txt", false},
        {L"Nul.tar.gz", false},
        {L"aux .png", false},
        {L"prn.exe", false},
        {L"com1.exe", false},
        {L"COM9", false},
        {L"lpt1.png", false},
        {L"LpT9.png", false},
        {L"com\u00B9.exe", false},
        {L"lpt\u00B3", false},
        {L"conin$.exe", false},
        {L"CONOUT$", false},
        // Windows drops a trailing point or space.
        {L"setup.exe.", false},
        {L"setup.exe ", false},
        {L"setup. ", false},
        // Wildcards and the other reserved characters.
        {L"set?p.exe", false},
        {L"*.exe", false},
        {L"a<b.exe", false},
        {L"a>b.exe", false},
        {L"a\"b.exe", false},
        {L"a|b.exe", false},
        {L"a.png?v=2", false},
        // Control characters.
        {L"a\tb.exe", false},
        {L"a\x01.exe", false},
        {L"a\x1f.exe", false},
        {std::wstring(L"a\0b.exe", 6), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "name " << testing::PrintToString(c.name));
        EXPECT_EQ(IsPlainFileName(c.name), c.plain);
    }
}

TEST(IconNames, IconFilesLiveInTheirFolders)
{
    CatalogueProgram viaUrl;
    viaUrl.icon = L"http://img.example.com/icons/ziptool.png";
    CatalogueProgram bare;
    bare.icon = L"ziptool.png";
    EXPECT_EQ(ProgramIconPath(viaUrl), GetAppIconsDir() + L"\\ziptool.png");
    EXPECT_EQ(ProgramIconPath(bare), GetAppIconsDir() + L"\\ziptool.png");

    CatalogueGroup group;
    group.icon = L"http://img.example.com/g/office.png";
    EXPECT_EQ(GroupIconPath(group), GetGroupIconsDir() + L"\\office.png");
}

}  // namespace
