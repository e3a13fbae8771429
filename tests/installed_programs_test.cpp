// Finding the catalogue's programs among the Uninstall entries: versions compared as dotted
// numbers, then entries the tests write themselves into HKLM's 64-bit and 32-bit views and
// into HKCU, under scratch names removed before and after each case.

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/version.h"
#include "install/installed_programs.h"
#include "tests/uninstall_entries.h"

namespace {

TEST(CompareVersions, DottedNumbersPartByPart)
{
    const struct {
        const wchar_t* left;
        const wchar_t* right;
        int order;
    } cases[] = {
        {L"1.10", L"1.9", 1},
        {L"1.9", L"1.10", -1},
        {L"2.0", L"2.0.0", 0},
        {L"2", L"2.0.0.0", 0},
        {L"2.0.0.1", L"2", 1},
        {L"24.08", L"24.8", 0},
        {L"3.12.7", L"3.12.10", -1},
        {L"0010.0", L"10", 0},
        {L" 5.0", L"5", 0},  // white space before it
        {L"23.01 (x64)", L"23.01", 0},
        {L"1.2.3-rc1", L"1.2.3", 0},
        {L"1.2.x.9", L"1.2.0.9", -1},  // "x" ends it: 1.2
        {L"1..2", L"1.0.2", -1},       // an empty part ends it: 1
        {L"1.0.", L"1", 0},
        {L"120.0.1", L"99.9.9", 1},
        {L"99999999999999999999.1", L"99999999999999999999.0", 1},  // past 64 bits
        {L"100000000000000000000", L"99999999999999999999", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << '"' << c.left << "\" against \"" << c.right << '"');
        const auto order = CompareVersions(c.left, c.right);
        ASSERT_TRUE(order.has_value());
        EXPECT_EQ(*order, c.order);
        const auto reverse = CompareVersions(c.right, c.left);
        ASSERT_TRUE(reverse.has_value());
        EXPECT_EQ(*reverse, -c.order);
    }
}

TEST(CompareVersions, NoNumberOnEitherSideIsUnknown)
{
    for (const wchar_t* unknown : {L"", L"   ", L"latest", L"v1.2", L".5", L"-1", L"x64 23.01"}) {
        SCOPED_TRACE(testing::Message() << '"' << unknown << '"');
        EXPECT_FALSE(HasVersionNumber(unknown));
        EXPECT_FALSE(CompareVersions(unknown, L"1.0").has_value());
        EXPECT_FALSE(CompareVersions(L"1.0", unknown).has_value());
    }
    EXPECT_FALSE(CompareVersions(L"latest", L"latest").has_value()) << "equal texts, still unknown";
    for (const wchar_t* known : {L"0", L"7", L"1.0 beta", L" 24.08"}) {
        SCOPED_TRACE(testing::Message() << '"' << known << '"');
        EXPECT_TRUE(HasVersionNumber(known));
    }
}

CatalogueProgram Looked(const std::wstring& installed, const std::wstring& version)
{
    CatalogueProgram program;
    program.name = installed;
    program.installed = installed;
    program.version = version;
    return program;
}

TEST(FindInstalled, MatchesBySubkeyNameOrDisplayNameStart)
{
    const std::vector<UninstallEntry> entries = {
        {L"7-Zip", L"7-Zip 24.08 (x64)", L"24.08"},
        {L"{3A8F9C21-0B7D-4E55-9C1A-6D2E8F4B7A10}", L"Mozilla Firefox 120.0 (x64 en-US)", L"120.0"},
        {L"Viewer", L"", L"4.2"},
        {L"{0B1D}", L"GitHub Desktop", L"3.4"},
        {L"{51A0}", L"QQ音乐", L"20.1"},
    };
    const struct {
        const wchar_t* installed;
        bool found;
    } cases[] = {
        {L"7-Zip", true},
        {L"7-zip", true},  // a subkey name in any letter case
        {L"{3a8f9c21-0b7d-4e55-9c1a-6d2e8f4b7a10}", true},
        {L"Mozilla Firefox", true},
        {L"Mozilla Firefox 120.0 (x64 en-US)", true},
        {L"mozilla firefox", false},  // a DisplayName's start as written
        {L"Firefox", false},          // its start, not any part of it
        {L"7-Zip 24.08", true},       // a prefix that ends before a space
        {L"7-Zi", false},             // a prefix ends where a word does
        {L"Git", false},              // not "GitHub Desktop"
        {L"GitHub", true},
        {L"QQ", false},               // a Chinese character is a letter too
        {L"Vie", false},              // a subkey name is matched whole
        {L"Mozilla Firefox 121", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << '"' << c.installed << '"');
        const InstalledProgram found = FindInstalled(Looked(c.installed, L"1"), entries);
        EXPECT_EQ(found.state != InstalledState::NotInstalled, c.found);
    }
    // No "installed" value looks for nothing, though an empty text starts every name.
    EXPECT_EQ(FindInstalled(Looked(L"", L"1"), entries).state, InstalledState::NotInstalled);
}

TEST(FindInstalled, TheHighestVersionAmongTheMatchesDecidesTheState)
{
    const std::vector<UninstallEntry> entries = {
        {L"A", L"App (x86)", L"1.9"},
        {L"A", L"App (x64)", L"1.10"},  // the same key name from the other view
        {L"A-user", L"App for one user", L"1.2"},
        {L"B", L"Bee", L"unknown"},
        {L"B", L"Bee", L"3.0"},
        {L"C", L"Sea", L""},
        {L"C", L"Sea", L"build"},
    };
    const struct {
        const wchar_t* name;
        CatalogueProgram program;
        InstalledState state;
        const wchar_t* version;
    } cases[] = {
        {L"older than the catalogue", Looked(L"App", L"1.11"), InstalledState::Older, L"1.10"},
        {L"as new as the catalogue", Looked(L"App", L"1.10.0"), InstalledState::UpToDate, L"1.10"},
        {L"newer than the catalogue", Looked(L"App", L"1.9.9"), InstalledState::UpToDate, L"1.10"},
        {L"a number beats no number", Looked(L"Bee", L"3"), InstalledState::UpToDate, L"3.0"},
        {L"no installed number", Looked(L"Sea", L"1"), InstalledState::Older, L""},
        {L"no catalogue version", Looked(L"App", L""), InstalledState::Older, L"1.10"},
        {L"a catalogue version without a number", Looked(L"App", L"latest"), InstalledState::Older, L"1.10"},
        {L"not there", Looked(L"Dee", L"1"), InstalledState::NotInstalled, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const InstalledProgram found = FindInstalled(c.program, entries);
        EXPECT_EQ(found.state, c.state);
        EXPECT_EQ(found.version, c.version);
    }
}

TEST(UpToDatePrograms, OnlyThoseUpToDateInTheRunsOrder)
{
    const std::vector<UninstallEntry> entries = {{L"a", L"", L"2.0"}, {L"b", L"", L"1.0"}, {L"c", L"", L"5"}};
    Catalogue catalogue;
    catalogue.push_back(std::make_unique<CatalogueGroup>());
    for (const auto& program : {Looked(L"c", L"5"), Looked(L"b", L"2.0"), Looked(L"a", L"2.0"), Looked(L"d", L"1"),
                                Looked(L"", L"")})
        catalogue[0]->applications.push_back(std::make_unique<CatalogueProgram>(program));
    const auto& p = catalogue[0]->applications;
    const InstalledStates states = FindInstalledPrograms(catalogue, entries);
    EXPECT_EQ(states.size(), 3u) << "the programs not installed have no entry";
    EXPECT_EQ(StateOf(*p[0], states), InstalledState::UpToDate);
    EXPECT_EQ(StateOf(*p[1], states), InstalledState::Older);
    EXPECT_EQ(StateOf(*p[3], states), InstalledState::NotInstalled);

    const std::vector<const CatalogueProgram*> run = {p[4].get(), p[2].get(), p[1].get(), p[0].get(), p[3].get()};
    EXPECT_EQ(UpToDatePrograms(run, states), (std::vector<const CatalogueProgram*>{p[2].get(), p[0].get()}));
    EXPECT_TRUE(UpToDatePrograms(run, {}).empty()) << "nothing read yet: nothing skipped";
}

// --- The registry ----------------------------------------------------------------------------

const UninstallEntry* FindEntry(const std::vector<UninstallEntry>& entries, const std::wstring& keyName)
{
    for (const UninstallEntry& entry : entries) {
        if (entry.keyName == keyName)
            return &entry;
    }
    return nullptr;
}

TEST(ReadUninstallEntries, ReadsBothViewsOfHklmAndHkcu)
{
    const std::vector<std::wstring> names = {L"TovarinReadTest HKLM 64", L"TovarinReadTest HKLM 32",
                                             L"TovarinReadTest HKCU"};
    const ScratchUninstallEntries scratch(names);
    for (size_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(scratch.Write(names[i], L"1." + std::to_wstring(i), L"Tovarin Read Test " + std::to_wstring(i),
                                  kUninstallPlaces[i]));
    }
    // The two views are apart, so that reading only one of them misses an entry.
    ASSERT_FALSE(UninstallEntryExists(kHklm32, names[0]));
    ASSERT_FALSE(UninstallEntryExists(kHklm64, names[1]));

    const std::vector<UninstallEntry> entries = ReadUninstallEntries();
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(kUninstallPlaces[i].name);
        const UninstallEntry* entry = FindEntry(entries, names[i]);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->displayName, L"Tovarin Read Test " + std::to_wstring(i));
        EXPECT_EQ(entry->displayVersion, L"1." + std::to_wstring(i));
    }
}

// Each place, by subkey name and by DisplayName: the catalogue's programs found in one pass.
TEST(FindInstalledPrograms, EntriesInEachPlaceBySubkeyNameAndDisplayName)
{
    const ScratchUninstallEntries scratch({L"TovarinFindTest-64", L"{0D5A7C1E-TOVARIN-FIND-64}", L"TovarinFindTest-32",
                                  L"{0D5A7C1E-TOVARIN-FIND-32}", L"TovarinFindTest-User", L"{0D5A7C1E-TOVARIN-FIND-USER}",
                                  L"TovarinFindTest-Twice"});
    for (size_t i = 0; i < 3; ++i) {
        const UninstallPlace& place = kUninstallPlaces[i];
        const std::wstring tag = i == 0 ? L"64" : (i == 1 ? L"32" : L"User");
        ASSERT_TRUE(scratch.Write(L"TovarinFindTest-" + tag, L"2.0", L"", place));
        ASSERT_TRUE(scratch.Write(L"{0D5A7C1E-TOVARIN-FIND-" + std::wstring(i == 2 ? L"USER" : tag) + L"}", L"3.1",
                                  L"Tovarin Find Test " + tag + L" 3.1 (x86 zh-CN)", place));
    }
    // One program in both HKLM views: the higher version counts.
    ASSERT_TRUE(scratch.Write(L"TovarinFindTest-Twice", L"1.10", L"", kHklm64));
    ASSERT_TRUE(scratch.Write(L"TovarinFindTest-Twice", L"1.9", L"", kHklm32));

    Catalogue catalogue;
    catalogue.push_back(std::make_unique<CatalogueGroup>());
    auto add = [&](const std::wstring& installed, const std::wstring& version) {
        catalogue[0]->applications.push_back(std::make_unique<CatalogueProgram>(Looked(installed, version)));
        return catalogue[0]->applications.back().get();
    };
    const struct {
        const char* name;
        const CatalogueProgram* program;
        InstalledState state;
        const wchar_t* version;
    } cases[] = {
        {"HKLM 64-bit view, subkey name", add(L"tovarinfindtest-64", L"2"), InstalledState::UpToDate, L"2.0"},
        {"HKLM 64-bit view, DisplayName", add(L"Tovarin Find Test 64", L"3.2"), InstalledState::Older, L"3.1"},
        {"HKLM 32-bit view, subkey name", add(L"TovarinFindTest-32", L"2.1"), InstalledState::Older, L"2.0"},
        {"HKLM 32-bit view, DisplayName", add(L"Tovarin Find Test 32", L"3.1"), InstalledState::UpToDate, L"3.1"},
        {"HKCU, subkey name", add(L"TOVARINFINDTEST-USER", L"2.0.0"), InstalledState::UpToDate, L"2.0"},
        {"HKCU, DisplayName", add(L"Tovarin Find Test User", L"3.10"), InstalledState::Older, L"3.1"},
        {"both HKLM views", add(L"TovarinFindTest-Twice", L"1.10"), InstalledState::UpToDate, L"1.10"},
        {"nowhere", add(L"Tovarin Find Test Elsewhere", L"1"), InstalledState::NotInstalled, L""},
    };
    const InstalledStates states = FindInstalledPrograms(catalogue, ReadUninstallEntries());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(StateOf(*c.program, states), c.state);
        const auto found = states.find(c.program);
        EXPECT_EQ(found == states.end() ? L"" : found->second.version, c.version);
    }
}

}  // namespace
