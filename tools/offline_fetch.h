#pragma once
// `applib fetch`: the files that a catalogue's install runs and icons need, brought into the
// tree beside the catalogue, so that a copy of that tree installs everything with no network.

#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "catalog/catalogue.h"
#include "net/download.h"

// One file of the tree.
struct FetchItem {
    std::wstring group;
    std::wstring program;       // empty for a group's icon
    const char* kind;           // kInstallerLink or kIconLink
    std::wstring url;
    std::wstring relativePath;  // from the catalogue's folder: "Soft\setup.exe", "AppIcons\a.png"
    InstallerPin pin;           // an installer's expected hash and signer; empty: checked by its size
    std::string refusal;        // why the file is not fetched; empty when it is
    std::string conflict;       // why the entry fails without a fetch: it contradicts an earlier one
};

// In catalogue order, each group's icon, then each of its programs' installer and icon:
// every installer an install run of the whole catalogue would download, under the name and
// in the folder where the run looks for it, and every icon given by URL. Programs the start
// rule refuses (DecideStart, for a keyed build with `keyedBuild`) and icons whose names are
// unsafe are listed with their refusal. A file that several accepted entries name is
// listed once, at its first, with the hash and signer any of them gives; a later entry that
// gives another hash or signer for it is listed with its conflict. `folder` is the catalogue's folder.
std::vector<FetchItem> PlanFetch(const Catalogue& catalogue, const std::wstring& folder, bool keyedBuild);

enum class FetchOutcome { Downloaded, UpToDate, KeptUnchecked, Skipped, Failed };

struct FetchResult {
    FetchOutcome outcome = FetchOutcome::Failed;
    uint64_t bytes = 0;  // Downloaded: the body's size
    std::string why;     // Skipped and Failed
};

// The bytes of the downloads a fetch has begun, for its progress line. Workers add and
// remove their jobs; any thread reads the totals.
class FetchProgress {
public:
    void Add(const DownloadJob& job);     // borrowed until Remove
    void Remove(const DownloadJob& job);  // its bytes stay counted
    // Bytes received, and bytes announced, by every download begun so far.
    void Totals(uint64_t& done, uint64_t& announced) const;

private:
    mutable std::mutex m_mutex;  // guards the three below
    std::set<const DownloadJob*> m_jobs;
    uint64_t m_doneOfEnded = 0;
    uint64_t m_announcedOfEnded = 0;
};

// Brings one file into place under the catalogue's `folder`, with the program's own
// download. A file already there is kept when it matches the item's hash or, without one,
// when its size is what the server announces (one HEAD); when that HEAD fails it is kept
// unchecked. Otherwise it is downloaded again.
FetchResult FetchFile(const std::wstring& folder, const FetchItem& item, FetchProgress& progress);

// "downloaded N bytes", "up to date", "kept (not checked)", "skipped: why" or "failed: why".
std::string DescribeFetchResult(const FetchResult& result);
