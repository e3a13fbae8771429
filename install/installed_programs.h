#pragma once
// Which programs of the catalogue this machine already has, from the Uninstall entries that
// Windows lists its installed programs by (Software\Microsoft\Windows\CurrentVersion\Uninstall).
// A program is found by its "installed" value: an entry whose subkey name equals it (letter
// case ignored), or whose DisplayName starts with it as a whole word. Nothing here opens a
// window.

#include <map>
#include <string>
#include <vector>

#include "catalog/catalogue.h"

// The Uninstall key under HKLM and HKCU.
constexpr wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

struct UninstallEntry {
    std::wstring keyName;         // the subkey's name: "7-Zip", a product code "{...}"
    std::wstring displayName;     // empty when the entry has none
    std::wstring displayVersion;  // empty when the entry has none
};

// Every entry of HKLM's 64-bit view, HKLM's 32-bit view and HKCU, in that order: one pass over
// the registry, however many programs are then looked for. A 32-bit program sees the 64-bit
// installs too; on a 32-bit Windows both views are the one key, and its entries come twice.
std::vector<UninstallEntry> ReadUninstallEntries();

enum class InstalledState {
    NotInstalled,
    UpToDate,  // the installed version is at least the catalogue's
    Older,     // older, or either version unknown: installing again may bring something
};

struct InstalledProgram {
    InstalledState state = InstalledState::NotInstalled;
    // The highest DisplayVersion among the matching entries; when none of them holds a
    // number, the first one's text, which may be empty.
    std::wstring version;
};

InstalledProgram FindInstalled(const CatalogueProgram& program, const std::vector<UninstallEntry>& entries);

// The installed programs of a catalogue by record, borrowed from it; programs not installed,
// and those without an "installed" value, have no entry.
using InstalledStates = std::map<const CatalogueProgram*, InstalledProgram>;
InstalledStates FindInstalledPrograms(const Catalogue& catalogue, const std::vector<UninstallEntry>& entries);

InstalledState StateOf(const CatalogueProgram& program, const InstalledStates& states);

// The programs of a one-key run that are installed and up to date, in the run's order: the
// run neither downloads nor starts them.
std::vector<const CatalogueProgram*> UpToDatePrograms(const std::vector<const CatalogueProgram*>& programs,
                                                      const InstalledStates& states);
