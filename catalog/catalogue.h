#pragma once
// The catalogue of installable software: groups of programs, loaded from a property list.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct CatalogueProgram {
    std::wstring name;
    std::wstring url;      // where the installer is downloaded from
    std::wstring install;  // installer file name, optionally followed by a blank and its arguments
    std::wstring icon;     // http URL or bare file name
    // The installer's SHA-256 from the optional "sha256" key, as 64 lowercase hex digits.
    // Empty when the key is absent or malformed: the installer is then taken as it comes.
    std::wstring sha256;
    bool malformedSha256 = false;  // the key is there but holds no 64 hex digits
    // The name on the installer's signing certificate, from the optional "signer" key; compared
    // whole, without regard to case. Empty when the key is absent or malformed.
    std::wstring signer;
    bool malformedSigner = false;  // the key is there but is no string of 1 to 256 characters
    // How the program shows among the installed programs (optional "installed" key): the
    // name of its Uninstall entry, or the start of that entry's DisplayName. Empty when the
    // key is absent or malformed: the program is then never taken as installed.
    std::wstring installed;
    bool malformedInstalled = false;  // the key is there but is no string, is empty or holds "\"
    // The version its installer brings (optional "version" key). Empty when the key is absent
    // or malformed: an installed copy then never counts as up to date.
    std::wstring version;
    bool malformedVersion = false;  // the key is there but is no string or begins with no number
};

struct CatalogueGroup {
    std::wstring name;
    std::wstring icon;  // http URL or bare file name
    std::vector<std::unique_ptr<CatalogueProgram>> applications;
};

// Owns its groups, which own their programs. Everything else holds borrowed pointers.
struct Catalogue : std::vector<std::unique_ptr<CatalogueGroup>> {
    // The publisher's serial, which only grows from one catalogue to the next: an integer
    // "catalogueSerial" in a dictionary that is the file's first entry and no group, so that
    // builds that know nothing of it skip it. Empty when the file has none.
    std::optional<int64_t> serial;
};

// Appends the groups of the property list at `path`, and takes its serial when it has one;
// the catalogue is not cleared first.
// False, with nothing appended, when the file cannot be read as an array.
bool LoadCatalogue(Catalogue& catalogue, const std::wstring& path);
// The same from bytes already in memory, so that what is checked is what is parsed.
bool LoadCatalogueFromBytes(Catalogue& catalogue, const std::string& bytes);

// True when a downloaded catalogue may replace the local one; otherwise `message` says why.
bool CheckCatalogue(const Catalogue& catalogue, std::wstring& message);

void ClearCatalogue(Catalogue& catalogue);

// "http://" or "https://" in any letter case, followed by at least one character.
bool StartsWithHttp(const std::wstring& text);

// The text after the last '/', or the whole text when it has none.
std::wstring FileNameFromUrl(const std::wstring& text);

// A bare file name that stays inside the folder it is joined to and opens that one file: not
// empty; without "\", "/", ":", wildcards, "<>\"|" or control characters; not ending in a point
// or a space (so not "." or ".."); not a device name such as "con.exe" or "LPT1.png". Names
// from the catalogue server (icons, installers) must pass before anything is written or
// started under them: one that could reach beyond its folder (say, a DLL beside the
// executable) or open a device is never used.
bool IsPlainFileName(const std::wstring& name);

// Local file name of an icon reference: the URL's last segment, or a bare name unchanged.
std::wstring LocalIconName(const std::wstring& iconReference);

std::wstring GroupIconPath(const CatalogueGroup& group);
std::wstring ProgramIconPath(const CatalogueProgram& program);

// UTF-8 to UTF-16; malformed sequences become U+FFFD, a failed conversion gives "".
std::wstring WideFromUtf8(const std::string& text);
// UTF-16 to UTF-8; unpaired surrogates become U+FFFD, a failed conversion gives "".
std::string Utf8FromWide(const std::wstring& text);
