#include "catalog/plist.h"
#include "tools/plist_json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <stdexcept>

namespace {

namespace fs = std::filesystem;

Plist::array_type Read(const std::string& text)
{
    return Plist::readBuffer(text.data(), static_cast<int64_t>(text.size()));
}

// The one value of <plist><array>element</array></plist>.
boost::any ValueOf(const std::string& element)
{
    const Plist::array_type root = Read("<plist><array>" + element + "</array></plist>");
    if (root.size() != 1)
        throw std::logic_error("expected one value, got " + std::to_string(root.size()));
    return root[0];
}

template <typename T>
T ValueAs(const std::string& element)
{
    return boost::any_cast<T>(ValueOf(element));
}

// The message a read fails with, or "" when it succeeds.
std::string ErrorOf(const char* data, int64_t size)
{
    try {
        Plist::readBuffer(data, size);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "";
}

std::string ErrorOf(const std::string& text)
{
    return ErrorOf(text.data(), static_cast<int64_t>(text.size()));
}

std::string Nested(const char* open, const char* close, int levels)
{
    std::string text = "<plist>";
    for (int i = 0; i < levels; ++i)
        text += open;
    for (int i = 0; i < levels; ++i)
        text += close;
    return text + "</plist>";
}

TEST(PlistXml, Integers)
{
    const std::pair<const char*, int64_t> cases[] = {
        {"<integer>-5</integer>", -5},
        {"<integer>4294967296</integer>", 2147483647},
        {"<integer>-99999999999999999999</integer>", -2147483648},
        {"<integer>12abc</integer>", 12},
        {"<integer> \n +7</integer>", 7},
        {"<integer>abc</integer>", 0},
        {"<integer/>", 0},
    };
    for (const auto& [element, expected] : cases) {
        SCOPED_TRACE(element);
        EXPECT_EQ(ValueAs<int64_t>(element), expected);
    }
}

TEST(PlistXml, Reals)
{
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<const char*, double> cases[] = {
        {"<real>1.5</real>", 1.5},
        {"<real> -2.5e3x</real>", -2500.0},
        {"<real>+.5</real>", 0.5},
        {"<real>1e</real>", 1.0},
        {"<real>0x10</real>", 0.0},
        {"<real>inf</real>", 0.0},
        {"<real/>", 0.0},
        {"<real>1e400</real>", inf},
        {"<real>-0.001e400</real>", -inf},
        {"<real>1e-400</real>", 0.0},
        {"<real>4.9e-324</real>", std::numeric_limits<double>::denorm_min()},
    };
    for (const auto& [element, expected] : cases) {
        SCOPED_TRACE(element);
        EXPECT_EQ(ValueAs<double>(element), expected);
    }
}

TEST(PlistXml, StringsAndBooleans)
{
    const std::pair<const char*, const char*> strings[] = {
        {"<string/>", ""},
        {"<string>  a b \n</string>", "  a b \n"},
        {"<string>&lt;&amp;&#x4E2D;</string>", "<&\xE4\xB8\xAD"},
        {"<string><![CDATA[<x/>]]></string>", "<x/>"},
        {"<string>a\r\nb</string>", "a\nb"},
    };
    for (const auto& [element, expected] : strings) {
        SCOPED_TRACE(element);
        EXPECT_EQ(ValueAs<std::string>(element), expected);
    }
    EXPECT_TRUE(ValueAs<bool>("<true>ignored</true>"));
    EXPECT_FALSE(ValueAs<bool>("<false/>"));
}

TEST(PlistXml, Base64Data)
{
    const std::pair<const char*, std::string> cases[] = {
        {"QUJD", "ABC"},
        {"QQ==", "A"},
        {"QUI=", "AB"},
        {"QUJ", ""},
        {"QU JD\n", "ABC"},
        {"QQ==QUJD", "A"},
        {"=QUJD", ""},
        {"//8A", "\xFF\xFF" + std::string(1, '\0')},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        const std::vector<char> data = ValueAs<std::vector<char>>(std::string("<data>") + text + "</data>");
        EXPECT_EQ(std::string(data.begin(), data.end()), expected);
    }
}

TEST(PlistXml, Dictionaries)
{
    const auto dictionary = ValueAs<Plist::dictionary_type>(
        "<dict><key>a</key><string>first</string><key/><integer>1</integer>"
        "<key>a</key><string>second</string></dict>");
    ASSERT_EQ(dictionary.size(), 2u);
    EXPECT_EQ(boost::any_cast<std::string>(dictionary.at("a")), "second");
    EXPECT_EQ(boost::any_cast<int64_t>(dictionary.at("")), 1);
}

TEST(PlistXml, DocumentShapes)
{
    const std::string prolog =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Maker//DTD PLIST 1.0//EN\" \"http://example.com/PropertyList-1.0.dtd\">\n";
    EXPECT_EQ(Read(prolog + "<plist version=\"1.0\"><array/></plist>").size(), 0u);
    EXPECT_EQ(Read("<plist><array><!-- note --><?pi x?><true/></array></plist>").size(), 1u);
    EXPECT_THROW(Read("<plist><dict/></plist>"), boost::bad_any_cast);

    const std::string withTail = "<plist><array/></plist><unclosed";
    EXPECT_EQ(Plist::readBuffer(withTail.data(), 23).size(), 0u);  // reads only the given bytes

    // "\xFF\xFE": UTF-16LE; pugixml converts, strings come out as UTF-8.
    const std::u16string wide = u"\uFEFF<plist><array><string>\u4E2D</string></array></plist>";
    const Plist::array_type fromUtf16 = Plist::readBuffer(reinterpret_cast<const char*>(wide.data()), static_cast<int64_t>(wide.size() * 2));
    EXPECT_EQ(boost::any_cast<std::string>(fromUtf16.at(0)), "\xE4\xB8\xAD");
}

TEST(PlistXml, RefusalsCarryTheirMessages)
{
    const std::pair<std::string, const char*> cases[] = {
        {"<plist><array></plist>", "Plist: XML parsed with error Start-end tags mismatch"},
        {"  \n", "Plist: XML parsed with error No document element found"},
        {"bplist0", "Plist: XML parsed with error No document element found"},
        {"<other><array/></other>", "Plist: XML unknown node type "},
        {"<plist/>", "Plist: XML unknown node type "},
        {"<plist>text</plist>", "Plist: XML unknown node type "},
        {"<plist><Array/></plist>", "Plist: XML unknown node type Array"},
        {"<plist><array><null/></array></plist>", "Plist: XML unknown node type null"},
        {"<plist><array><dict><string>a</string></dict></array></plist>", "Plist: XML dictionary key expected but not found"},
        {"<plist><array><dict><key>a</key></dict></array></plist>", "Plist: XML dictionary value expected for key abut not found"},
        {"<plist><array><dict><key>a</key><key>b</key><true/></dict></array></plist>", "Plist: XML dictionary value expected for key abut found another key node"},
        {Nested("<array>", "</array>", Plist::kMaxNestingDepth + 1), "Plist: arrays and dictionaries nested too deeply"},
        {Nested("<array><dict><key>k</key>", "</dict></array>", Plist::kMaxNestingDepth / 2 + 1), "Plist: arrays and dictionaries nested too deeply"},
        {Nested("<array>", "</array>", Plist::kMaxNestingDepth), ""},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text.substr(0, 80));
        EXPECT_EQ(ErrorOf(text), expected);
    }
}

TEST(PlistXml, EmptyBuffers)
{
    const char byte = '<';
    for (const auto& [data, size] : {std::pair<const char*, int64_t>{nullptr, 5}, {&byte, 0}, {&byte, -1}}) {
        SCOPED_TRACE(size);
        EXPECT_EQ(ErrorOf(data, size), "Plist: Empty plist data");
    }
}

// ---- Dates ----------------------------------------------------------------------

TEST(PlistXml, Dates)
{
    const std::pair<const char*, const char*> cases[] = {
        {"2014-03-05T08:09:10Z", "1394006950"},
        {"1970-01-02T00:00:00Z", "86400"},
        {"2014-13-01T00:00:00Z", "1420070400"},  // month 13 is next January
        {"2014-03-00T00:00:00Z", "1393545600"},  // day 0 is the last of February
        {"2038-01-18T00:00:00Z", "2147385600"},
        {"1969-12-31T00:00:00Z", "PlistDate::set() date invalid"},
        {"2038-01-20T00:00:00Z", "PlistDate::set() date invalid"},
        // Six fields decide; what follows the seconds is not looked at.
        {"2014-03-05T08:09:10", "1394006950"},
        {"2014-03-05T08:09:10.5Z", "1394006950"},
        {"2014-03-05T08:09:10+08:00", "1394006950"},
        {"2014-03-05T08:09", "Plist: XML date not in the form YYYY-MM-DDTHH:MM:SSZ"},
        {"2014-03-05", "Plist: XML date not in the form YYYY-MM-DDTHH:MM:SSZ"},
        {"", "Plist: XML date not in the form YYYY-MM-DDTHH:MM:SSZ"},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        std::string got;
        try {
            got = std::to_string(ValueAs<Plist::PlistDate>(std::string("<date>") + text + "</date>").time);
        } catch (const std::runtime_error& error) {
            got = error.what();
        }
        EXPECT_EQ(got, expected);
    }
}

void SetTimeZoneVariable(const char* value)
{
#ifdef _WIN32
    _putenv_s("TZ", value != nullptr ? value : "");  // "" removes it
    _tzset();
#else
    if (value != nullptr)
        setenv("TZ", value, 1);
    else
        unsetenv("TZ");
    tzset();
#endif
}

class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone)
    {
        if (const char* previous = std::getenv("TZ"))
            m_previous = previous;
        SetTimeZoneVariable(zone);
    }
    ~ScopedTimeZone() { SetTimeZoneVariable(m_previous ? m_previous->c_str() : nullptr); }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    std::optional<std::string> m_previous;
};

TEST(PlistDate, SetReadsTheComponentsAsUtcInEveryZone)
{
    // Zones in the form both the C library and the Windows CRT understand.
    const std::pair<const char*, long> zones[] = {
        {"UTC0", 0}, {"EST5EDT", 5 * 3600}, {"JST-9", -9 * 3600}, {"NPT-5:45", -(5 * 3600 + 45 * 60)}, {"CET-1CEST", -3600},
    };
    for (const auto& [zone, secondsWestOfUtc] : zones) {
        SCOPED_TRACE(zone);
        const ScopedTimeZone scoped(zone);
        std::tm epochDay{};
        epochDay.tm_year = 70;
        epochDay.tm_mday = 2;
        ASSERT_EQ(static_cast<long>(std::mktime(&epochDay)), 86400 + secondsWestOfUtc) << "zone not in effect";
        Plist::PlistDate date;
        date.set(3, 5, 2014, 8, 9, 10);
        EXPECT_EQ(date.time, 1394006950);
        date.set(7, 1, 2014, 12, 0, 0);  // summer time where the zone has one
        EXPECT_EQ(date.time, 1404216000);
    }
}

TEST(PlistDate, ExtremeComponentsAreInvalidNotOverflowing)
{
    Plist::PlistDate date;
    EXPECT_THROW(date.set(1, 1, std::numeric_limits<int>::min(), 0, 0, 0), std::runtime_error);
    EXPECT_THROW(date.set(std::numeric_limits<int>::min(), 1, 2000, 0, 0, 0), std::runtime_error);
    EXPECT_THROW(date.set(1, 1, std::numeric_limits<int>::max(), 0, 0, 0), std::runtime_error);
}

// ---- Files and the JSON dump ------------------------------------------------------

class PlistFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
        m_folder = fs::temp_directory_path() / (std::string("plist_xml_test_") + test->name());
        fs::remove_all(m_folder);
        fs::create_directories(m_folder);
    }
    void TearDown() override { fs::remove_all(m_folder); }

    fs::path Write(const fs::path& name, const std::string& bytes) const
    {
        const fs::path path = m_folder / name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    fs::path m_folder;
};

TEST_F(PlistFiles, ReadFile)
{
    const fs::path plain = Write("plain.plist", "<plist><array><string>x</string></array></plist>");
    // Built by hand: converting a non-ASCII path to wide text depends on the C locale.
    Write(fs::u8path("\xE7\x9B\xAE\xE5\xBD\x95.plist"), "<plist><array><true/></array></plist>");
    const std::wstring wideName = m_folder.wstring() + L"/\u76EE\u5F55.plist";
    EXPECT_EQ(Plist::readFile(plain.wstring()).size(), 1u);
    EXPECT_EQ(Plist::readFile(wideName).size(), 1u);

    // Another program may hold the file open for writing meanwhile.
    std::ofstream writer(plain, std::ios::binary | std::ios::app);
    ASSERT_TRUE(writer.is_open());
    EXPECT_EQ(Plist::readFile(plain.wstring()).size(), 1u);
}

TEST_F(PlistFiles, RunDump)
{
    struct DumpCase {
        fs::path path;
        int status;
        const char* out;
        const char* err;
    };
    const DumpCase cases[] = {
        {Write("ok.plist",
               "<plist><array><dict><key>b</key><data>QUJDRA==</data><key>a</key><date>2014-03-05T08:09:10Z</date>"
               "<key>B</key><real>0.1</real></dict><integer>-3</integer><false/></array></plist>"),
         0, "[{\"B\": 0.1, \"a\": {\"date\": 1394006950}, \"b\": {\"data\": \"QUJDRA==\"}}, -3, false]\n", ""},
        {m_folder / "missing.plist", 1, "", "Can't open file: \n"},
        {Write("empty.plist", ""), 1, "", "Can't read zero length data\n"},
        {Write("dict.plist", "<plist><dict/></plist>"), 1, "", "bad_any_cast\n"},
    };
    for (const DumpCase& c : cases) {
        SCOPED_TRACE(c.path.string());
        std::string out = "stale";
        std::string err = "stale";
        EXPECT_EQ(RunDump(c.path.wstring(), out, err), c.status);
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(err, c.err);
    }
}

TEST(PlistJson, Scalars)
{
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<boost::any, const char*> cases[] = {
        {std::string("a\"b\\c/\n\t\b\f\r\x01\x1F\x7F"), R"("a\"b\\c/\n\t\b\f\r\u0001\u001f)" "\x7F\""},
        {std::string("\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80"), "\"\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\""},
        {std::string("\xC0\xAF"), R"("\u00c0\u00af")"},                     // overlong "/"
        {std::string("\xE0\x80\xAF"), R"("\u00e0\u0080\u00af")"},           // overlong "/"
        {std::string("\xED\xA0\x80"), R"("\u00ed\u00a0\u0080")"},           // surrogate
        {std::string("\xF4\x90\x80\x80"), R"("\u00f4\u0090\u0080\u0080")"},  // past U+10FFFF
        {std::string("\xE4\xB8z"), R"("\u00e4\u00b8z")"},                   // cut short
        {std::string("\0", 1), R"("\u0000")"},
        {std::numeric_limits<int64_t>::min(), "-9223372036854775808"},
        {0.1, "0.1"},
        {5.0, "5"},
        {1e300, "1e+300"},
        {std::numeric_limits<double>::quiet_NaN(), R"({"real": "NaN"})"},
        {inf, R"({"real": "Infinity"})"},
        {-inf, R"({"real": "-Infinity"})"},
        {std::vector<char>{}, R"({"data": ""})"},
        {std::vector<char>{'A'}, R"({"data": "QQ=="})"},
        {std::vector<char>{'A', 'B'}, R"({"data": "QUI="})"},
        {std::vector<char>{'\xFF', '\xFE', '\xFD'}, R"({"data": "//79"})"},
        {Plist::dictionary_type{{"\xFF", true}}, R"({"\u00ff": true})"},
    };
    for (const auto& [value, expected] : cases) {
        SCOPED_TRACE(expected);
        EXPECT_EQ(PlistToJson(value), expected);
    }
    EXPECT_THROW(PlistToJson(boost::any(3.0f)), boost::bad_any_cast);
}

}  // namespace
