#include "catalog/catalogue.h"

#include <windows.h>

#include <boost/any.hpp>

#include <algorithm>
#include <climits>
#include <cstring>
#include <cwchar>

#include "base/folders.h"
#include "base/text.h"
#include "base/version.h"
#include "catalog/plist.h"

namespace {

const wchar_t kNoGroupsMessage[] = L"没有分组数据";
const wchar_t kBadUrlMessage[] = L"的下载url不正确";   // follows the program's name
const wchar_t kBadIconMessage[] = L"的icon不正确";     // follows the program's name
const char kSerialKey[] = "catalogueSerial";
constexpr size_t kSha256Digits = 64;                    // a SHA-256 in hexadecimal
constexpr size_t kLongestSigner = 256;                   // characters of a "signer" value

// A present string value, or null when the key is missing or holds another kind.
const std::string* FindString(const Plist::dictionary_type& dict, const char* key)
{
    const auto it = dict.find(key);
    return it == dict.end() ? nullptr : boost::any_cast<std::string>(&it->second);
}

bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The key is optional and newer than the format: a value that is not 64 hex digits in either
// letter case is flagged and otherwise ignored, never a reason to drop the program.
void ReadSha256(const Plist::dictionary_type& dict, CatalogueProgram& program)
{
    const auto entry = dict.find("sha256");
    if (entry == dict.end())
        return;
    const std::string* text = boost::any_cast<std::string>(&entry->second);
    if (!text || text->size() != kSha256Digits || !std::all_of(text->begin(), text->end(), IsHexDigit)) {
        program.malformedSha256 = true;
        return;
    }
    for (const char c : *text)
        program.sha256 += static_cast<wchar_t>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
}

// Flagged and ignored when malformed, as the hash is.
void ReadSigner(const Plist::dictionary_type& dict, CatalogueProgram& program)
{
    const auto entry = dict.find("signer");
    if (entry == dict.end())
        return;
    const std::string* text = boost::any_cast<std::string>(&entry->second);
    const std::wstring wide = text ? WideFromUtf8(*text) : std::wstring();
    if (wide.empty() || wide.size() > kLongestSigner)
        program.malformedSigner = true;
    else
        program.signer = wide;
}

// The installed-program keys are optional and newer than the format too: a malformed value is
// flagged and ignored, and the program stays.
void ReadInstalledKeys(const Plist::dictionary_type& dict, CatalogueProgram& program)
{
    const auto installed = dict.find("installed");
    if (installed != dict.end()) {
        const std::string* text = boost::any_cast<std::string>(&installed->second);
        // A backslash would name a key path, never one entry.
        if (text && !text->empty() && text->find('\\') == std::string::npos)
            program.installed = WideFromUtf8(*text);
        else
            program.malformedInstalled = true;
    }
    const auto version = dict.find("version");
    if (version != dict.end()) {
        const std::string* text = boost::any_cast<std::string>(&version->second);
        const std::wstring wide = text ? WideFromUtf8(*text) : std::wstring();
        if (HasVersionNumber(wide))
            program.version = wide;
        else
            program.malformedVersion = true;
    }
}

std::unique_ptr<CatalogueProgram> BuildProgram(const Plist::dictionary_type& dict)
{
    const std::string* name = FindString(dict, "name");
    const std::string* url = FindString(dict, "url");
    const std::string* icon = FindString(dict, "icon");
    if (!name || !url || !icon)
        return nullptr;

    auto program = std::make_unique<CatalogueProgram>();
    program->name = WideFromUtf8(*name);
    program->url = WideFromUtf8(*url);
    program->icon = WideFromUtf8(*icon);

    const auto install = dict.find("install");
    if (install != dict.end()) {
        const std::string* text = boost::any_cast<std::string>(&install->second);
        if (!text)
            return nullptr;
        program->install = WideFromUtf8(*text);
    }
    ReadSha256(dict, *program);
    ReadSigner(dict, *program);
    ReadInstalledKeys(dict, *program);
    return program;
}

// Null when the group is unusable: a missing or mistyped field, or an application entry
// that is not a dictionary. Programs that are merely incomplete are left out.
std::unique_ptr<CatalogueGroup> BuildGroup(const Plist::dictionary_type& dict)
{
    const std::string* name = FindString(dict, "name");
    const std::string* icon = FindString(dict, "icon");
    const auto applications = dict.find("applications");
    if (!name || !icon || applications == dict.end())
        return nullptr;
    const auto* entries = boost::any_cast<Plist::array_type>(&applications->second);
    if (!entries)
        return nullptr;

    auto group = std::make_unique<CatalogueGroup>();
    group->name = WideFromUtf8(*name);
    group->icon = WideFromUtf8(*icon);
    for (const boost::any& entry : *entries) {
        const auto* programDict = boost::any_cast<Plist::dictionary_type>(&entry);
        if (!programDict)
            return nullptr;
        if (auto program = BuildProgram(*programDict))
            group->applications.push_back(std::move(program));
    }
    return group;
}

std::unique_ptr<CatalogueGroup> BuildGroupOrNull(const Plist::dictionary_type& dict)
{
    try {
        return BuildGroup(dict);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

std::wstring WideFromUtf8(const std::string& text)
{
    // The text up to its first NUL, passed with its length rather than as -1: Wine lets a
    // malformed sequence at the very end swallow the terminator, which would cost a character.
    const int size = static_cast<int>(std::min<size_t>(std::strlen(text.c_str()), INT_MAX));
    if (size == 0)
        return std::wstring();
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), size, nullptr, 0);
    if (length <= 0)
        return std::wstring();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    if (MultiByteToWideChar(CP_UTF8, 0, text.c_str(), size, &wide[0], length) != length)
        return std::wstring();
    return wide;
}

std::string Utf8FromWide(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    if (length <= 0)
        return std::string();
    std::string utf8(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0], length,
                        nullptr, nullptr);
    return utf8;
}

namespace {

// Only the first entry may carry the serial: its place is fixed, so no later entry can
// override it.
void ReadSerial(Catalogue& catalogue, const Plist::array_type& root)
{
    const auto* first = root.empty() ? nullptr : boost::any_cast<Plist::dictionary_type>(&root.front());
    if (!first)
        return;
    const auto entry = first->find(kSerialKey);
    if (entry == first->end())
        return;
    if (const auto* serial = boost::any_cast<int64_t>(&entry->second))
        catalogue.serial = *serial;
}

// The serial's entry is no group and is skipped like any other such dictionary.
void AppendGroups(Catalogue& catalogue, const Plist::array_type& root)
{
    ReadSerial(catalogue, root);
    for (const boost::any& element : root) {
        const auto* dict = boost::any_cast<Plist::dictionary_type>(&element);
        if (!dict)
            break;  // the groups taken so far stay
        if (auto group = BuildGroupOrNull(*dict))
            catalogue.push_back(std::move(group));
    }
}

}  // namespace

bool LoadCatalogue(Catalogue& catalogue, const std::wstring& path)
{
    Plist::array_type root;
    try {
        root = Plist::readFile(path);
    } catch (...) {
        // Any reader failure (I/O, syntax, wrong top-level kind) means an unreadable file.
        return false;
    }
    AppendGroups(catalogue, root);
    return true;
}

bool LoadCatalogueFromBytes(Catalogue& catalogue, const std::string& bytes)
{
    Plist::array_type root;
    try {
        root = Plist::readBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    } catch (...) {
        return false;
    }
    AppendGroups(catalogue, root);
    return true;
}

bool CheckCatalogue(const Catalogue& catalogue, std::wstring& message)
{
    if (catalogue.empty()) {
        message = kNoGroupsMessage;
        return false;
    }
    for (const auto& group : catalogue) {
        for (const auto& program : group->applications) {
            if (!StartsWithHttp(program->url)) {
                message = program->name + kBadUrlMessage;
                return false;
            }
            if (!StartsWithHttp(program->icon)) {
                message = program->name + kBadIconMessage;
                return false;
            }
        }
    }
    return true;
}

void ClearCatalogue(Catalogue& catalogue)
{
    catalogue.clear();
    catalogue.serial.reset();
}

bool StartsWithHttp(const std::wstring& text)
{
    return (text.size() > 7 && StartsWithIgnoringAsciiCase(text, L"http://")) ||
           (text.size() > 8 && StartsWithIgnoringAsciiCase(text, L"https://"));
}

std::wstring FileNameFromUrl(const std::wstring& text)
{
    const size_t lastSlash = text.rfind(L'/');
    return lastSlash == std::wstring::npos ? text : text.substr(lastSlash + 1);
}

namespace {

bool EqualsIgnoringAsciiCase(const std::wstring& text, const wchar_t* other)
{
    return text.size() == std::wcslen(other) && StartsWithIgnoringAsciiCase(text, other);
}

// Windows opens a device for these whatever follows the first point ("con.exe", "NUL.tar.gz")
// and whatever spaces come before it ("aux .png").
bool NamesDevice(const std::wstring& name)
{
    std::wstring base = name.substr(0, name.find(L'.'));
    base.erase(base.find_last_not_of(L' ') + 1);
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"}) {
        if (EqualsIgnoringAsciiCase(base, device))
            return true;
    }
    // COM1 to COM9 and LPT1 to LPT9; Windows counts the superscript digits 1, 2 and 3 too.
    const std::wstring digits = L"123456789\u00B9\u00B2\u00B3";
    const bool port = StartsWithIgnoringAsciiCase(base, L"COM") || StartsWithIgnoringAsciiCase(base, L"LPT");
    return base.size() == 4 && port && digits.find(base[3]) != std::wstring::npos;
}

bool HasControlCharacter(const std::wstring& name)
{
    return std::any_of(name.begin(), name.end(), [](wchar_t c) { return c < 0x20; });
}

}  // namespace

bool IsPlainFileName(const std::wstring& name)
{
    // Windows drops a trailing point or space when it opens a name, so "a.exe." is "a.exe";
    // "." and ".." end in a point too. Wildcards and the other reserved characters either
    // fail the open or, for "?" and "*", match other files.
    return !name.empty() && name.back() != L'.' && name.back() != L' ' &&
           name.find_first_of(L"\\/:<>\"|?*") == std::wstring::npos && !HasControlCharacter(name) &&
           !NamesDevice(name);
}

std::wstring LocalIconName(const std::wstring& iconReference)
{
    return StartsWithHttp(iconReference) ? FileNameFromUrl(iconReference) : iconReference;
}

std::wstring GroupIconPath(const CatalogueGroup& group)
{
    return GetGroupIconsDir() + L"\\" + LocalIconName(group.icon);
}

std::wstring ProgramIconPath(const CatalogueProgram& program)
{
    return GetAppIconsDir() + L"\\" + LocalIconName(program.icon);
}
