#include "catalog/start_rule.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <utility>

#include "base/folders.h"
#include "base/text.h"

namespace {

constexpr size_t kElevatedArgumentBuffer = 512;  // characters, terminator included
constexpr wchar_t kWhiteSpace[] = L" \t\n\v\f\r";
constexpr wchar_t kExe[] = L".exe";
constexpr wchar_t kMsi[] = L".msi";
constexpr size_t kExtensionLength = 4;
constexpr wchar_t kMsiexec[] = L"msiexec.exe";

std::wstring Trim(const std::wstring& text)
{
    const size_t first = text.find_first_not_of(kWhiteSpace);
    if (first == std::wstring::npos)
        return std::wstring();
    return text.substr(first, text.find_last_not_of(kWhiteSpace) - first + 1);
}

// One space-separated word of an install value. A word that opens with a double quote runs to
// the next one, which must end it, and is the text between them.
struct InstallWord {
    std::wstring text;
    size_t end;  // just past the word in the value, its closing quote included
};

// The value's words, in order. A quote left open ends the list with the rest of the value as
// one word, quote and all, which no file name can be.
std::vector<InstallWord> InstallWords(const std::wstring& value)
{
    std::vector<InstallWord> words;
    for (size_t at = 0; at < value.size();) {
        if (value[at] == L' ') {
            ++at;
            continue;
        }
        const size_t close = value[at] == L'"' ? value.find(L'"', at + 1) : std::wstring::npos;
        if (value[at] == L'"' && close != std::wstring::npos &&
            (close + 1 == value.size() || value[close + 1] == L' ')) {
            words.push_back({value.substr(at + 1, close - at - 1), close + 1});
            at = close + 1;
            continue;
        }
        const size_t end = value[at] == L'"' ? value.size() : std::min(value.find(L' ', at), value.size());
        words.push_back({value.substr(at, end - at), end});
        at = end;
    }
    return words;
}

// ".exe" and ".msi" hold only ASCII letters, so an ASCII lower-case copy ends in one wherever
// any lower-casing would.
bool EndsWith(const std::wstring& text, const wchar_t* extension)
{
    std::wstring lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), AsciiLower);
    return lower.size() > kExtensionLength && lower.compare(lower.size() - kExtensionLength, kExtensionLength, extension) == 0;
}

InstallerKind KindOfWord(const std::wstring& word)
{
    if (EndsWith(word, kExe))
        return InstallerKind::Program;
    return EndsWith(word, kMsi) ? InstallerKind::Package : InstallerKind::None;
}

// The install value's own faults, whatever the build.
StartVerdict InstallValueVerdict(const std::wstring& install)
{
    const std::wstring name = InstallerFileName(install);
    if (name.empty())
        return StartVerdict::NoFileName;
    if (!IsPlainFileName(name))
        return StartVerdict::UnsafeFileName;
    std::wstring file;
    std::wstring parameters;
    const InstallerKind kind = SplitInstallCommand(install, file, parameters);
    if (kind == InstallerKind::None)
        return StartVerdict::NothingToStart;
    if (!IsPlainFileName(file))
        return StartVerdict::UnsafeFileName;
    // Measured on a staged path of the longest kind: every staging folder's name has one length.
    const std::wstring staged(StagedPathLength(file), L'x');
    const StartCommand command = StartCommandFor(kind, staged, parameters);
    if (!FitsElevatedArgument(command.file))
        return StartVerdict::PathTooLong;
    if (!FitsElevatedArgument(command.parameters))
        return kind == InstallerKind::Package && FitsElevatedArgument(parameters) ? StartVerdict::PathTooLong
                                                                                  : StartVerdict::ParametersTooLong;
    return StartVerdict::Accepted;
}

}  // namespace

std::wstring InstallerFileName(const std::wstring& install)
{
    const std::vector<InstallWord> words = InstallWords(Trim(install));
    return words.empty() ? std::wstring() : words.front().text;
}

InstallerKind SplitInstallCommand(const std::wstring& install, std::wstring& file, std::wstring& parameters)
{
    file.clear();
    parameters.clear();
    const std::wstring command = Trim(install);
    const std::vector<InstallWord> words = InstallWords(command);
    for (size_t i = 0; i < words.size(); ++i) {
        const InstallerKind kind = KindOfWord(words[i].text);
        if (kind == InstallerKind::None)
            continue;
        // Words before the installer's are part of its name, which then is not the file the
        // value downloads (StartsAnotherFile).
        file = i == 0 ? words[i].text : command.substr(0, words[i].end);
        parameters = Trim(command.substr(words[i].end));
        return kind;
    }
    return InstallerKind::None;
}

bool StartsAnotherFile(const std::wstring& install)
{
    std::wstring file;
    std::wstring parameters;
    return SplitInstallCommand(install, file, parameters) != InstallerKind::None && file != InstallerFileName(install);
}

std::wstring SystemMsiexecPath()
{
    wchar_t folder[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder, length > 0 && length < MAX_PATH ? length : 0) + L"\\" + kMsiexec;
}

StartCommand StartCommandFor(InstallerKind kind, const std::wstring& path, const std::wstring& parameters)
{
    if (kind != InstallerKind::Package)
        return {path, parameters};
    return {SystemMsiexecPath(), L"/i \"" + path + L"\"" + (parameters.empty() ? L"" : L" " + parameters)};
}

std::wstring InstallerPath(const std::wstring& folder, const std::wstring& name)
{
    return folder + L"\\" + name;
}

bool FitsElevatedArgument(const std::wstring& text)
{
    return text.size() < kElevatedArgumentBuffer;
}

std::wstring StagingRoot()
{
    wchar_t folder[MAX_PATH + 1] = {};
    DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH)
        return std::wstring();
    while (length > 0 && folder[length - 1] == L'\\')
        --length;
    return std::wstring(folder, length);
}

size_t StagedPathLength(const std::wstring& file)
{
    return StagingRoot().size() + 1 + kStagingFolderNameLength + 1 + file.size();
}

StartVerdict DecideStart(const CatalogueProgram& program, bool keyedBuild, bool upToDate)
{
    if (upToDate)
        return StartVerdict::UpToDate;
    // Before the value's own faults: a keyed build takes no catalogue with a program its
    // publisher gave neither a hash nor a signer, whatever else is wrong with it.
    if (keyedBuild && program.sha256.empty() && program.signer.empty())
        return StartVerdict::NoPin;
    const StartVerdict verdict = InstallValueVerdict(program.install);
    if (verdict == StartVerdict::Accepted && keyedBuild && StartsAnotherFile(program.install))
        return StartVerdict::StartsAnotherFile;
    return verdict;
}

bool IsRefusal(StartVerdict verdict)
{
    return verdict != StartVerdict::Accepted && verdict != StartVerdict::UpToDate;
}

InstallerPin PinOf(const CatalogueProgram& program)
{
    return {program.sha256, program.signer};
}

bool IsKeyRefusal(StartVerdict verdict)
{
    return verdict == StartVerdict::NoPin || verdict == StartVerdict::StartsAnotherFile;
}

InstallerPlaces::InstallerPlaces(std::wstring installersFolder,
                                 const std::vector<const CatalogueProgram*>& everyProgram)
    : m_installersFolder(std::move(installersFolder))
{
    std::map<std::wstring, std::wstring> firstSubfolder;  // by name: the first installer's subfolder
    for (const CatalogueProgram* program : everyProgram) {
        const std::wstring name = FileNameKey(InstallerFileName(program->install));
        const std::wstring subfolder = InstallerSubfolder(*program);
        const auto [first, added] = firstSubfolder.emplace(name, subfolder);
        if (!added && first->second != subfolder)
            m_sharedNames.insert(name);
    }
}

std::wstring InstallerPlaces::FolderOf(const CatalogueProgram& program) const
{
    if (m_sharedNames.count(FileNameKey(InstallerFileName(program.install))) == 0)
        return m_installersFolder;
    return m_installersFolder + L"\\" + InstallerSubfolder(program);
}

std::wstring InstallerSubfolder(const CatalogueProgram& program)
{
    uint64_t hash = 0xcbf29ce484222325u;  // FNV-1a, 64 bits, over the UTF-16 code units' bytes
    for (const wchar_t c : program.url) {
        for (const unsigned octet : {static_cast<unsigned>(c) & 0xFFu, (static_cast<unsigned>(c) >> 8) & 0xFFu}) {
            hash ^= octet;
            hash *= 0x100000001b3u;
        }
    }
    wchar_t digits[17] = {};
    for (int i = 15; i >= 0; --i, hash >>= 4)
        digits[i] = L"0123456789abcdef"[hash & 0xF];
    return digits;
}

std::vector<const CatalogueProgram*> EveryProgram(const Catalogue& catalogue)
{
    std::vector<const CatalogueProgram*> programs;
    for (const auto& group : catalogue) {
        for (const auto& program : group->applications)
            programs.push_back(program.get());
    }
    return programs;
}

bool KeyedBuildTakes(const Catalogue& catalogue)
{
    const std::vector<const CatalogueProgram*> programs = EveryProgram(catalogue);
    return std::none_of(programs.begin(), programs.end(), [](const CatalogueProgram* program) {
        return IsKeyRefusal(DecideStart(*program, true));
    });
}
