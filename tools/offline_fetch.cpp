#include "tools/offline_fetch.h"

#include <windows.h>

#include <algorithm>
#include <map>

#include "base/folders.h"
#include "catalog/start_rule.h"
#include "net/failure_reason.h"
#include "tools/link_probe.h"

namespace {


constexpr char kUnsafeName[] = "unsafe file name";
constexpr char kOtherHash[] = "the same file as an earlier program, with another sha256";
constexpr char kOtherSigner[] = "the same file as an earlier program, with another signer";

// Empty for a program the rule lets start.
const char* RefusalText(StartVerdict verdict)
{
    switch (verdict) {
    case StartVerdict::NoFileName: return "no file name in the install value";
    case StartVerdict::UnsafeFileName: return kUnsafeName;
    case StartVerdict::PathTooLong: return "installer path too long to start";
    case StartVerdict::ParametersTooLong: return "parameters too long to start";
    case StartVerdict::NothingToStart: return "no file name ending in .exe or .msi to start";
    case StartVerdict::NoPin: return "no sha256, which this build requires";
    case StartVerdict::StartsAnotherFile: return "starts another file than it downloads, which this build refuses";
    case StartVerdict::Accepted:
    case StartVerdict::UpToDate: break;
    }
    return "";
}

FetchItem InstallerItem(const CatalogueLink& link, const InstallerPlaces& places, const std::wstring& folder,
                        bool keyedBuild)
{
    const CatalogueProgram& program = *link.entry;
    const std::wstring programFolder = places.FolderOf(program);
    return {link.group,
            link.program,
            kInstallerLink,
            link.url,
            programFolder.substr(folder.size() + 1) + L"\\" + InstallerFileName(program.install),
            PinOf(program),
            RefusalText(DecideStart(program, keyedBuild)),
            std::string()};
}

// Gives the first entry of a file the parts of a later entry's pin it lacks, so that the file
// must pass the later entry's check too. One file cannot have two hashes or two signers: the
// stick would fail one of the two programs. Empty, or the conflict.
std::string MergePin(InstallerPin& first, const InstallerPin& later)
{
    if (first.sha256.empty())
        first.sha256 = later.sha256;
    else if (!later.sha256.empty() && later.sha256 != first.sha256)
        return kOtherHash;
    if (first.signer.empty())
        first.signer = later.signer;
    else if (!later.signer.empty() && !SameSignerName(later.signer, first.signer))
        return kOtherSigner;
    return std::string();
}

FetchItem IconItem(const CatalogueLink& link)
{
    const std::wstring name = FileNameFromUrl(link.url);
    const wchar_t* iconFolder = link.entry ? kAppIconsFolderName : kGroupIconsFolderName;
    return {link.group, link.program, kIconLink, link.url, std::wstring(iconFolder) + L"\\" + name, InstallerPin(),
            IsPlainFileName(name) ? std::string() : std::string(kUnsafeName), std::string()};
}

// Creates the folders of a relative path under `folder`; those already there are kept.
void MakeFolders(const std::wstring& folder, const std::wstring& relativePath)
{
    for (size_t slash = relativePath.find(L'\\'); slash != std::wstring::npos;
         slash = relativePath.find(L'\\', slash + 1))
        CreateDirectoryW((folder + L"\\" + relativePath.substr(0, slash)).c_str(), nullptr);
}

// The size of a plain file at `path`; false when none is there.
bool ExistingFileSize(const std::wstring& path, uint64_t& size)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

std::string DownloadFailureReason(const DownloadReport& report)
{
    switch (report.fault) {
    case DownloadFault::Request: return LinkFailureReason(report.request);
    case DownloadFault::CutShort:
        return "cut short (GET: " + std::to_string(report.receivedBytes) +
               (report.bodyLength > 0 ? " of " + std::to_string(report.bodyLength) : std::string()) + " bytes)";
    case DownloadFault::WriteFailed: return "cannot write the file (error " + std::to_string(report.error) + ")";
    case DownloadFault::HashMismatch: return "the download's sha256 differs from the catalogue's";
    case DownloadFault::WebPage: return "a web page came instead of the file: the network may want a login first";
    case DownloadFault::MoveFailed: return "cannot replace the file (error " + std::to_string(report.error) + ")";
    case DownloadFault::SignerRefused: return Utf8FromWide(FailureWords(ReasonOf(report)));
    case DownloadFault::Cancelled: return "cancelled";
    case DownloadFault::None: break;
    }
    return std::string();
}

FetchResult Download(const FetchItem& item, const std::wstring& path, FetchProgress& progress)
{
    DownloadJob job(item.url, path, item.pin);
    progress.Add(job);
    const DownloadReport report = RunDownload(job);
    progress.Remove(job);
    if (report.alreadyThere)
        return {FetchOutcome::UpToDate, 0, std::string()};
    if (report.fault != DownloadFault::None)
        return {FetchOutcome::Failed, 0, DownloadFailureReason(report)};
    return {FetchOutcome::Downloaded, report.receivedBytes, std::string()};
}

}  // namespace

std::vector<FetchItem> PlanFetch(const Catalogue& catalogue, const std::wstring& folder, bool keyedBuild)
{
    const InstallerPlaces places(folder + L"\\" + kSoftFolderName, EveryProgram(catalogue));
    std::vector<FetchItem> items;
    std::map<std::wstring, size_t> accepted;  // path key -> the item that fetches it
    for (const CatalogueLink& link : CatalogueLinks(catalogue)) {
        FetchItem item = link.kind == kInstallerLink ? InstallerItem(link, places, folder, keyedBuild) : IconItem(link);
        if (!item.refusal.empty()) {
            items.push_back(std::move(item));  // a refused entry takes no path from a later one
            continue;
        }
        const auto planned = accepted.emplace(FileNameKey(item.relativePath), items.size());
        if (planned.second) {
            items.push_back(std::move(item));
            continue;
        }
        item.conflict = MergePin(items[planned.first->second].pin, item.pin);
        if (!item.conflict.empty())
            items.push_back(std::move(item));
    }
    return items;
}

void FetchProgress::Add(const DownloadJob& job)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_jobs.insert(&job);
}

void FetchProgress::Remove(const DownloadJob& job)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_doneOfEnded += job.receivedBytes.load(std::memory_order_relaxed);
    m_announcedOfEnded += job.totalBytes.load(std::memory_order_relaxed);
    m_jobs.erase(&job);
}

void FetchProgress::Totals(uint64_t& done, uint64_t& announced) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    done = m_doneOfEnded;
    announced = m_announcedOfEnded;
    for (const DownloadJob* job : m_jobs) {
        done += job->receivedBytes.load(std::memory_order_relaxed);
        announced += job->totalBytes.load(std::memory_order_relaxed);
    }
    announced = std::max(announced, done);  // a body may run past what its HEAD announced
}

FetchResult FetchFile(const std::wstring& folder, const FetchItem& item, FetchProgress& progress)
{
    if (!item.refusal.empty())
        return {FetchOutcome::Skipped, 0, item.refusal};
    if (!item.conflict.empty())
        return {FetchOutcome::Failed, 0, item.conflict};
    const std::wstring path = folder + L"\\" + item.relativePath;
    MakeFolders(folder, item.relativePath);
    uint64_t size = 0;
    // A file that does not begin as an installer (a login page an older build kept) is
    // fetched again, as the install run would.
    if (item.pin.empty() && HoldsInstallerSignature(path) && ExistingFileSize(path, size)) {
        const LinkReport head = ProbeLink(item.url);
        if (head.fault != LinkFault::None)
            return {FetchOutcome::KeptUnchecked, 0, std::string()};
        if (head.size == size)
            return {FetchOutcome::UpToDate, 0, std::string()};
    }
    // With a pin, the download itself keeps a file already there that holds it.
    return Download(item, path, progress);
}

std::string DescribeFetchResult(const FetchResult& result)
{
    switch (result.outcome) {
    case FetchOutcome::Downloaded: return "downloaded " + std::to_string(result.bytes) + " bytes";
    case FetchOutcome::UpToDate: return "up to date";
    case FetchOutcome::KeptUnchecked: return "kept (not checked)";
    case FetchOutcome::Skipped: return "skipped: " + result.why;
    case FetchOutcome::Failed: break;
    }
    return "failed: " + result.why;
}
