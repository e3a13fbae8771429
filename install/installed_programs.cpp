#include "install/installed_programs.h"

#include <windows.h>

#include "base/unique_handle.h"
#include "base/version.h"

namespace {

constexpr DWORD kLongestKeyName = 255;  // the registry's limit, in characters

// A string value, or "" when it is missing or of another type.
std::wstring ReadText(HKEY key, const wchar_t* name)
{
    DWORD bytes = 0;
    if (RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, nullptr, &bytes) != ERROR_SUCCESS || bytes == 0)
        return std::wstring();
    std::wstring text(bytes / sizeof(wchar_t), L'\0');
    if (RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, &text[0], &bytes) != ERROR_SUCCESS)
        return std::wstring();
    text.resize(bytes / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0')
        text.pop_back();
    return text;
}

void ReadEntriesOf(HKEY root, REGSAM view, std::vector<UninstallEntry>& entries)
{
    RegKey uninstall;
    if (RegOpenKeyExW(root, kUninstallKey, 0, KEY_READ | view, uninstall.put()) != ERROR_SUCCESS)
        return;
    for (DWORD index = 0;; ++index) {
        wchar_t name[kLongestKeyName + 1] = {};
        DWORD length = kLongestKeyName + 1;
        const LONG status = RegEnumKeyExW(uninstall.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS)
            return;
        if (status != ERROR_SUCCESS)
            continue;
        UninstallEntry entry;
        entry.keyName.assign(name, length);
        RegKey program;
        if (RegOpenKeyExW(uninstall.get(), name, 0, KEY_QUERY_VALUE | view, program.put()) == ERROR_SUCCESS) {
            entry.displayName = ReadText(program.get(), L"DisplayName");
            entry.displayVersion = ReadText(program.get(), L"DisplayVersion");
        }
        entries.push_back(std::move(entry));
    }
}

// Key names compare as the registry compares them: without regard to letter case.
bool SameKeyName(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

// "Git" starts "Git 2.47.1" and "Git (64-bit)", not "GitHub Desktop": the character after
// the prefix, if any, is no letter or digit of any script.
bool StartsWithWord(const std::wstring& displayName, const std::wstring& prefix)
{
    if (displayName.compare(0, prefix.size(), prefix) != 0)
        return false;
    if (displayName.size() == prefix.size())
        return true;
    WORD type = 0;
    return GetStringTypeW(CT_CTYPE1, &displayName[prefix.size()], 1, &type) && !(type & (C1_ALPHA | C1_DIGIT));
}

bool Matches(const std::wstring& installed, const UninstallEntry& entry)
{
    return SameKeyName(entry.keyName, installed) || StartsWithWord(entry.displayName, installed);
}

}  // namespace

std::vector<UninstallEntry> ReadUninstallEntries()
{
    std::vector<UninstallEntry> entries;
    ReadEntriesOf(HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY, entries);
    ReadEntriesOf(HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY, entries);
    ReadEntriesOf(HKEY_CURRENT_USER, 0, entries);
    return entries;
}

InstalledProgram FindInstalled(const CatalogueProgram& program, const std::vector<UninstallEntry>& entries)
{
    InstalledProgram found;
    if (program.installed.empty())
        return found;
    bool matched = false;
    bool comparable = false;
    for (const UninstallEntry& entry : entries) {
        if (!Matches(program.installed, entry))
            continue;
        const bool numbered = HasVersionNumber(entry.displayVersion);
        if (!matched || (numbered && (!comparable || CompareVersions(entry.displayVersion, found.version).value_or(0) > 0))) {
            found.version = entry.displayVersion;
            comparable = numbered;
        }
        matched = true;
    }
    if (!matched)
        return found;
    const auto order = CompareVersions(found.version, program.version);
    found.state = order && *order >= 0 ? InstalledState::UpToDate : InstalledState::Older;
    return found;
}

InstalledStates FindInstalledPrograms(const Catalogue& catalogue, const std::vector<UninstallEntry>& entries)
{
    InstalledStates states;
    for (const auto& group : catalogue) {
        for (const auto& program : group->applications) {
            InstalledProgram found = FindInstalled(*program, entries);
            if (found.state != InstalledState::NotInstalled)
                states.emplace(program.get(), std::move(found));
        }
    }
    return states;
}

InstalledState StateOf(const CatalogueProgram& program, const InstalledStates& states)
{
    const auto found = states.find(&program);
    return found == states.end() ? InstalledState::NotInstalled : found->second.state;
}

std::vector<const CatalogueProgram*> UpToDatePrograms(const std::vector<const CatalogueProgram*>& programs,
                                                      const InstalledStates& states)
{
    std::vector<const CatalogueProgram*> upToDate;
    for (const CatalogueProgram* program : programs) {
        if (StateOf(*program, states) == InstalledState::UpToDate)
            upToDate.push_back(program);
    }
    return upToDate;
}
