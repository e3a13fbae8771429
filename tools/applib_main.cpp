// applib: lets a catalogue publisher see what the installer will make of a catalogue file.
//   applib dump FILE    the property list as JSON
//   applib check FILE   the catalogue's serial, the groups the installer loads, and whether a
//                        refresh would accept it
//   applib probe [--jobs N] FILE   every installer and icon link, asked as the installer asks
//   applib fetch [--jobs N] FILE   every installer and icon the catalogue needs, downloaded
//                        into the tree beside it, so that a copy installs with no network
//   applib installed FILE   each program's state on this machine, from its "installed" key
//   applib hash FILE...  each file's SHA-256 and signer, for a program's "sha256" and
//                        "signer" keys
//   applib verify [--key KEY.pem] FILE [SIG]   the publisher's signature over FILE (SIG:
//                        FILE.sig), checked with KEY.pem or the key this build carries

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tools/plist_json.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <wininet.h>

#include "base/folders.h"
#include "base/version.h"
#include "catalog/catalogue.h"
#include "catalog/start_rule.h"
#include "install/installed_programs.h"
#include "catalog/catalogue_file.h"
#include "net/failure_reason.h"
#include "net/installer_signature.h"
#include "net/publisher_key.h"
#include "net/sha256.h"
#include "net/signature.h"
#include "tools/link_probe.h"
#include "tools/offline_fetch.h"
#include "tools/ordered_jobs.h"
#else
#include <clocale>
#include <cstdlib>
#endif

namespace {

enum ExitCode { kExitOk = 0, kExitFailed = 1, kExitUsage = 2, kExitUnreadable = 3 };

#ifdef _WIN32
const char kUsage[] =
    "usage: applib dump FILE\n       applib check FILE\n       applib probe [--jobs N] FILE\n"
    "       applib fetch [--jobs N] CATALOGUE\n       applib installed CATALOGUE\n"
    "       applib hash FILE...\n"
    "       applib verify [--key KEY.pem] FILE [SIG]\n";
constexpr int kDefaultProbeJobs = 8;
constexpr int kMostProbeJobs = 64;
constexpr int kDefaultFetchJobs = 4;  // fetch_bench: 8 gain little over 4 and hold twice the connections
constexpr int kMostFetchJobs = 16;
constexpr std::chrono::milliseconds kProgressTick{250};
constexpr double kBytesPerMegabyte = 1e6;
#else
const char kUsage[] = "usage: applib dump FILE\n";
#endif

#ifdef _WIN32
// The handle writes to a console, not to a pipe or a file.
bool IsConsole(HANDLE handle)
{
    DWORD mode = 0;
    return GetConsoleMode(handle, &mode) != FALSE;
}
#endif

// UTF-8 text: raw bytes into a pipe or a file, and to a terminal on Linux. A Windows
// console shows bytes in its own code page (936 on a Chinese system), so it gets the
// text as UTF-16.
void WriteBytes(FILE* stream, const std::string& bytes)
{
    fflush(stream);
#ifdef _WIN32
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    if (IsConsole(handle)) {
        const std::wstring text = WideFromUtf8(bytes);
        DWORD written = 0;
        WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
#endif
    fwrite(bytes.data(), 1, bytes.size(), stream);
    fflush(stream);
}

int Dump(const std::wstring& path)
{
    std::string out;
    std::string err;
    const int code = RunDump(path, out, err);
    WriteBytes(stdout, out);
    WriteBytes(stderr, err);
    return code;
}

#ifdef _WIN32
// What the start rule makes of a program, in the check's words; empty when there is nothing
// to say. A value whose started file is not the file it downloads is named in every build,
// though only a keyed one refuses it. A malformed hash or signer has a line of its own.
std::string StartRemarks(const CatalogueProgram& program, StartVerdict verdict)
{
    const std::string name = Utf8FromWide(program.name);
    switch (verdict) {
    case StartVerdict::UnsafeFileName: return name + "的安装值不是安全的文件名，不会下载\n";
    case StartVerdict::PathTooLong: return name + "的安装路径太长，不会启动\n";
    case StartVerdict::ParametersTooLong: return name + "的安装参数太长，不会启动\n";
    case StartVerdict::NothingToStart: return name + "的安装值读不出安装程序：没有以.exe或.msi结尾的文件名，不会启动\n";
    case StartVerdict::NoPin:
        return program.malformedSha256 || program.malformedSigner ? std::string() : name + "没有sha256\n";
    case StartVerdict::NoFileName:  // no value at all: nothing to name but its absence
    case StartVerdict::UpToDate: return std::string();
    case StartVerdict::Accepted:
    case StartVerdict::StartsAnotherFile: break;
    }
    if (!StartsAnotherFile(program.install))
        return std::string();
    std::wstring file;
    std::wstring parameters;
    SplitInstallCommand(program.install, file, parameters);
    return name + "的安装值下载" + Utf8FromWide(InstallerFileName(program.install)) + "，却启动" +
           Utf8FromWide(file) + "\n";
}

const char* DescribeVerdict(SignatureVerdict verdict)
{
    switch (verdict) {
    case SignatureVerdict::Good:
        return "good";
    case SignatureVerdict::NoSignature:
        return "no signature";
    case SignatureVerdict::Malformed:
        return "malformed signature";
    case SignatureVerdict::Mismatch:
        break;
    }
    return "wrong key or altered bytes";
}

// Every command that reads a catalogue reads it here, as the program does: in a keyed build
// only when its signature beside it verifies. False, with the reason on standard error, when
// the catalogue is not to be used.
bool LoadCatalogueForCommand(const std::wstring& path, Catalogue& catalogue)
{
    const std::optional<P256PublicKey>& key = PublisherKey();
    SignatureVerdict verdict = SignatureVerdict::Good;
    switch (LoadCatalogueFile(catalogue, path, key ? &*key : nullptr, &verdict)) {
    case CatalogueFileLoad::Loaded:
        return true;
    case CatalogueFileLoad::NotVerified:
        WriteBytes(stderr, "not used: " + Utf8FromWide(path) + " does not verify against " +
                               Utf8FromWide(SignaturePathOf(path)) + " (" + DescribeVerdict(verdict) + ")\n");
        return false;
    case CatalogueFileLoad::Older:  // only the program's own load compares serials
    case CatalogueFileLoad::Unreadable:
        break;
    }
    WriteBytes(stderr, "cannot load " + Utf8FromWide(path) + "\n");
    return false;
}

// The catalogue's folder, where Soft, GroupIcons and AppIcons stand.
std::wstring FolderOfFile(const std::wstring& path)
{
    wchar_t full[MAX_PATH * 4] = {};
    const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH * 4, full, nullptr);
    const std::wstring absolute = length > 0 && length < MAX_PATH * 4 ? std::wstring(full, length) : path;
    const size_t slash = absolute.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : absolute.substr(0, slash);
}

int Check(const std::wstring& path)
{
    Catalogue catalogue;
    if (!LoadCatalogueForCommand(path, catalogue))
        return kExitUnreadable;
    // A keyed build refuses a catalogue whose serial is below one it has taken.
    std::string report = catalogue.serial ? "catalogueSerial: " + std::to_string(*catalogue.serial) + "\n" : "";
    for (const auto& group : catalogue)
        report += Utf8FromWide(group->name) + ": " + std::to_string(group->applications.size()) + " programs\n";

    // An unkeyed installer ignores a malformed hash, so its refresh still takes the catalogue;
    // the publisher has to hear of it all the same. A keyed build takes no catalogue with a
    // program the start rule refuses for want of the key's vouching (KeyedBuildTakes).
    const bool keyedBuild = HasPublisherKey();
    bool keysWellFormed = true;
    bool installsStartable = true;
    for (const auto& group : catalogue) {
        for (const auto& program : group->applications) {
            const StartVerdict verdict = DecideStart(*program, keyedBuild);
            if (program->malformedSha256) {
                report += Utf8FromWide(program->name) + "的sha256不正确\n";
                keysWellFormed = false;
            }
            if (program->malformedSigner) {
                report += Utf8FromWide(program->name) + "的signer不正确\n";
                keysWellFormed = false;
            }
            // The installer ignores these too, so a refresh takes the catalogue all the same.
            if (program->malformedInstalled) {
                report += Utf8FromWide(program->name) + "的installed不正确\n";
                keysWellFormed = false;
            }
            if (program->malformedVersion) {
                report += Utf8FromWide(program->name) + "的version不正确\n";
                keysWellFormed = false;
            }
            report += StartRemarks(*program, verdict);
            installsStartable = installsStartable && !IsKeyRefusal(verdict);
        }
    }

    std::wstring message;
    const bool passed = CheckCatalogue(catalogue, message);
    report += passed ? std::string("ok") : Utf8FromWide(message);
    report += "\n";
    WriteBytes(stdout, report);
    return passed && keysWellFormed && installsStartable ? kExitOk : kExitFailed;
}

// A line of progress on standard error, only when that is a console; a redirected stream
// stays quiet.
class ConsoleProgress {
public:
    ConsoleProgress() : m_shown(IsConsole(GetStdHandle(STD_ERROR_HANDLE))) {}
    ~ConsoleProgress() { Clear(); }
    ConsoleProgress(const ConsoleProgress&) = delete;
    ConsoleProgress& operator=(const ConsoleProgress&) = delete;

    void Show(const std::string& text)
    {
        if (!m_shown)
            return;
        // Blanks over whatever a longer line before it left.
        const size_t width = text.size();
        WriteBytes(stderr, "\r" + text + std::string(m_width > width ? m_width - width : 0, ' '));
        m_width = std::max(m_width, width);
    }

    // Before a line on standard output, which may share the console.
    void Clear()
    {
        if (m_width == 0)
            return;
        WriteBytes(stderr, "\r" + std::string(m_width, ' ') + "\r");
        m_width = 0;
    }

private:
    const bool m_shown;
    size_t m_width = 0;  // of the widest text on the console since it was last cleared
};

// A catalogue's text as one field of a tab-separated line: a tab or a line break in a name
// would start another field or a line of its own.
std::string OutputField(const std::wstring& text)
{
    std::wstring field(text);
    std::replace_if(field.begin(), field.end(), [](wchar_t c) { return c < L' ' || c == 0x7F; }, L' ');
    return Utf8FromWide(field);
}

// WinINet would otherwise hold all but a few requests to one server back, whatever the
// number of jobs.
void AllowConnectionsPerServer(int jobs)
{
    DWORD connections = static_cast<DWORD>(jobs);
    InternetSetOptionW(nullptr, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &connections, sizeof(connections));
    InternetSetOptionW(nullptr, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, &connections, sizeof(connections));
}

std::string LinkLine(const CatalogueLink& link, const LinkReport& report)
{
    return OutputField(link.group) + "\t" + OutputField(link.program) + "\t" + link.kind + "\t" +
           OutputField(link.url) + "\t" + DescribeLinkReport(report) + "\n";
}

int Probe(const std::wstring& path, int jobs)
{
    Catalogue catalogue;
    if (!LoadCatalogueForCommand(path, catalogue))
        return kExitUnreadable;
    const std::vector<CatalogueLink> links = CatalogueLinks(catalogue);
    AllowConnectionsPerServer(jobs);
    ConsoleProgress progress;
    size_t good = 0;
    ProbeLinks(
        links, jobs,
        [&](size_t index, const LinkReport& report) {
            progress.Clear();
            WriteBytes(stdout, LinkLine(links[index], report));
            good += report.fault == LinkFault::None ? 1 : 0;
        },
        [&](size_t done) {
            progress.Show("checked " + std::to_string(done) + " of " + std::to_string(links.size()) + " links");
        });
    progress.Clear();
    WriteBytes(stdout, std::to_string(links.size()) + " links, " + std::to_string(good) + " good, " +
                           std::to_string(links.size() - good) + " failed\n");
    return good == links.size() ? kExitOk : kExitFailed;
}

// "--jobs N" anywhere after the command, N from 1 to `mostJobs`, and exactly one file.
bool ParseJobsArguments(int count, wchar_t** arguments, int mostJobs, std::wstring& path, int& jobs)
{
    bool havePath = false;
    for (int i = 0; i < count; ++i) {
        const std::wstring argument = arguments[i];
        if (argument == L"--jobs") {
            if (++i == count)
                return false;
            const std::wstring number = arguments[i];
            if (number.empty() || number.size() > 2 ||
                number.find_first_not_of(L"0123456789") != std::wstring::npos)
                return false;
            jobs = std::stoi(number);
            if (jobs < 1 || jobs > mostJobs)
                return false;
        } else if (!havePath) {
            path = argument;
            havePath = true;
        } else {
            return false;
        }
    }
    return havePath;
}

std::string Megabytes(uint64_t bytes)
{
    char text[32] = {};
    snprintf(text, sizeof(text), "%.1f MB", static_cast<double>(bytes) / kBytesPerMegabyte);
    return text;
}

std::string FetchLine(const FetchItem& item, const FetchResult& result)
{
    return OutputField(item.group) + "\t" + OutputField(item.program) + "\t" + item.kind + "\t" +
           OutputField(item.relativePath) + "\t" + DescribeFetchResult(result) + "\n";
}

// What a fetch did to its files, by outcome.
class FetchCounts {
public:
    void Count(const FetchResult& result)
    {
        ++m_files[result.outcome];
        m_downloadedBytes += result.bytes;
    }
    size_t operator[](FetchOutcome outcome) const
    {
        const auto found = m_files.find(outcome);
        return found == m_files.end() ? 0 : found->second;
    }
    uint64_t downloadedBytes() const { return m_downloadedBytes; }

private:
    std::map<FetchOutcome, size_t> m_files;
    uint64_t m_downloadedBytes = 0;
};

std::string FetchSummary(size_t files, const FetchCounts& counts)
{
    return std::to_string(files) + " files: " + std::to_string(counts[FetchOutcome::Downloaded]) + " downloaded (" +
           Megabytes(counts.downloadedBytes()) + "), " + std::to_string(counts[FetchOutcome::UpToDate]) +
           " up to date, " + std::to_string(counts[FetchOutcome::KeptUnchecked]) + " kept (not checked), " +
           std::to_string(counts[FetchOutcome::Skipped]) + " skipped, " +
           std::to_string(counts[FetchOutcome::Failed]) + " failed\n";
}

std::string FetchProgressText(size_t done, size_t files, const FetchProgress& progress, ULONGLONG started)
{
    uint64_t bytes = 0;
    uint64_t announced = 0;
    progress.Totals(bytes, announced);
    const double seconds = static_cast<double>(GetTickCount64() - started) / 1000.0;
    const uint64_t perSecond = seconds > 0 ? static_cast<uint64_t>(static_cast<double>(bytes) / seconds) : 0;
    return "fetched " + std::to_string(done) + " of " + std::to_string(files) + " files, " + Megabytes(bytes) +
           " of " + Megabytes(announced) + ", " + Megabytes(perSecond) + "/s";
}

int FetchAll(const std::wstring& path, int jobs)
{
    Catalogue catalogue;
    if (!LoadCatalogueForCommand(path, catalogue))
        return kExitUnreadable;
    const std::wstring folder = FolderOfFile(path);
    const std::vector<FetchItem> items = PlanFetch(catalogue, folder, HasPublisherKey());
    AllowConnectionsPerServer(jobs);
    ConsoleProgress console;
    FetchProgress progress;
    FetchCounts counts;
    const ULONGLONG started = GetTickCount64();
    RunInOrder<FetchResult>(
        items.size(), jobs, kProgressTick,
        [&](size_t index) { return FetchFile(folder, items[index], progress); },
        [&](size_t index, const FetchResult& result) {
            console.Clear();
            WriteBytes(stdout, FetchLine(items[index], result));
            counts.Count(result);
        },
        [&](size_t done) { console.Show(FetchProgressText(done, items.size(), progress, started)); });
    console.Clear();
    WriteBytes(stdout, FetchSummary(items.size(), counts));
    return counts[FetchOutcome::Failed] == 0 ? kExitOk : kExitFailed;
}

std::string DescribeInstalled(const CatalogueProgram& program, const InstalledProgram& found)
{
    if (program.installed.empty())
        return "not looked for";
    switch (found.state) {
    case InstalledState::NotInstalled: return "not installed";
    case InstalledState::UpToDate: return "up to date";
    case InstalledState::Older: break;
    }
    // An unknown version on either side is installed, but never up to date.
    return CompareVersions(found.version, program.version) ? "older" : "installed, version unknown";
}

// One tab-separated line per program: group, name, its state here, the installed version.
int Installed(const std::wstring& path)
{
    Catalogue catalogue;
    if (!LoadCatalogueForCommand(path, catalogue))
        return kExitUnreadable;
    const std::vector<UninstallEntry> entries = ReadUninstallEntries();
    std::string report;
    for (const auto& group : catalogue) {
        for (const auto& program : group->applications) {
            const InstalledProgram found = FindInstalled(*program, entries);
            report += OutputField(group->name) + "\t" + OutputField(program->name) + "\t" +
                      DescribeInstalled(*program, found) + "\t" + OutputField(found.version) + "\n";
        }
    }
    WriteBytes(stdout, report);
    return kExitOk;
}

// The line under a file's hash: the name to give as its "signer", "unsigned", or a name that
// does not vouch for the file with the reason.
std::string SignerLine(const std::wstring& path)
{
    const SignerCheck check = CheckInstallerSignerOfFile(path, std::wstring());
    if (check.verdict == SignerVerdict::Unsigned)
        return "signer: unsigned\n";
    std::string line = "signer: " + Utf8FromWide(check.signer);
    if (check.verdict != SignerVerdict::Vouched)
        line += " (" + Utf8FromWide(FailureWords(ReasonOf(check))) + ")";
    return line + "\n";
}

// One "HASH  FILE" line per file, as sha256sum writes them, and its signer line; a file that
// cannot be read is named on standard error and the others are still hashed.
int Hash(int count, wchar_t** files)
{
    int code = kExitOk;
    for (int i = 0; i < count; ++i) {
        const std::wstring hash = Sha256OfFile(files[i]);
        if (hash.empty()) {
            WriteBytes(stderr, "cannot read " + Utf8FromWide(files[i]) + "\n");
            code = kExitUnreadable;
            continue;
        }
        WriteBytes(stdout, Utf8FromWide(hash) + "  " + Utf8FromWide(files[i]) + "\n" + SignerLine(files[i]));
    }
    return code;
}

// "--key KEY" anywhere after the command, then FILE and an optional SIG.
bool ParseVerifyArguments(int count, wchar_t** arguments, std::wstring& keyPath, std::wstring& file,
                          std::wstring& signature)
{
    std::vector<std::wstring> paths;
    for (int i = 0; i < count; ++i) {
        const std::wstring argument = arguments[i];
        if (argument == L"--key") {
            if (++i == count || !keyPath.empty())
                return false;
            keyPath = arguments[i];
            if (keyPath.empty())
                return false;  // it would read as no --key at all
        } else {
            paths.push_back(argument);
        }
    }
    if (paths.empty() || paths.size() > 2)
        return false;
    file = paths[0];
    signature = paths.size() == 2 ? paths[1] : file + L".sig";
    return true;
}

// The key from --key, or else the build's own; a message and nothing when there is none.
std::optional<P256PublicKey> VerifyingKey(const std::wstring& keyPath)
{
    if (keyPath.empty()) {
        if (!HasPublisherKey())
            WriteBytes(stderr, "this build carries no publisher key: give one with --key KEY.pem\n");
        return PublisherKey();
    }
    std::string pem;
    if (!ReadFileBytes(keyPath, pem)) {
        WriteBytes(stderr, "cannot read the key " + Utf8FromWide(keyPath) + "\n");
        return std::nullopt;
    }
    std::optional<P256PublicKey> key = ReadPublicKeyPem(pem);
    if (!key)
        WriteBytes(stderr, Utf8FromWide(keyPath) + " is not an ECDSA P-256 public key (openssl ec -pubout)\n");
    return key;
}

// A signature file that is missing or cannot be read is no signature, like an empty one.
int Verify(const std::wstring& keyPath, const std::wstring& file, const std::wstring& signaturePath)
{
    const std::optional<P256PublicKey> key = VerifyingKey(keyPath);
    if (!key)
        return kExitUsage;
    std::string bytes;
    if (!ReadFileBytes(file, bytes)) {
        WriteBytes(stdout, "unreadable file\n");
        return kExitUnreadable;
    }
    std::string signature;
    ReadFileBytes(signaturePath, signature);
    const SignatureVerdict verdict = VerifySignature(bytes, signature, *key);
    WriteBytes(stdout, std::string(DescribeVerdict(verdict)) + "\n");
    return verdict == SignatureVerdict::Good ? kExitOk : kExitFailed;
}

int Run(int argc, wchar_t** argv)
{
    const std::wstring command = argc >= 2 ? argv[1] : L"";
    if (command == L"dump" && argc == 3)
        return Dump(argv[2]);
    if (command == L"check" && argc == 3)
        return Check(argv[2]);
    std::wstring path;
    int jobs = kDefaultProbeJobs;
    if (command == L"probe" && ParseJobsArguments(argc - 2, argv + 2, kMostProbeJobs, path, jobs))
        return Probe(path, jobs);
    jobs = kDefaultFetchJobs;
    if (command == L"fetch" && ParseJobsArguments(argc - 2, argv + 2, kMostFetchJobs, path, jobs))
        return FetchAll(path, jobs);
    if (command == L"installed" && argc == 3)
        return Installed(argv[2]);
    if (command == L"hash" && argc >= 3)
        return Hash(argc - 2, argv + 2);
    std::wstring keyPath;
    std::wstring file;
    std::wstring signature;
    if (command == L"verify" && ParseVerifyArguments(argc - 2, argv + 2, keyPath, file, signature))
        return Verify(keyPath, file, signature);
    WriteBytes(stderr, kUsage);
    return kExitUsage;
}
#else
int Run(int argc, char** argv)
{
    if (argc != 3 || std::string(argv[1]) != "dump") {
        WriteBytes(stderr, kUsage);
        return kExitUsage;
    }
    std::setlocale(LC_CTYPE, "C.UTF-8");
    const size_t length = std::mbstowcs(nullptr, argv[2], 0);
    if (length == static_cast<size_t>(-1)) {
        WriteBytes(stderr, "applib: the file name is not valid UTF-8\n");
        return kExitUsage;
    }
    std::wstring path(length, L'\0');
    std::mbstowcs(&path[0], argv[2], length);
    return Dump(path);
}
#endif

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv)
{
    // Text mode would turn every "\n" into "\r\n" inside the JSON and the report.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    return Run(argc, argv);
}
#else
int main(int argc, char** argv)
{
    return Run(argc, argv);
}
#endif
