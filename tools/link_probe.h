#pragma once
// `applib probe`: every link of a catalogue, checked the way the installer will fetch it.

#include <functional>
#include <string>
#include <vector>

#include "catalog/catalogue.h"
#include "net/download.h"

// What a link fetches, as the reports name it.
inline constexpr char kInstallerLink[] = "installer";  // one address in every file
inline constexpr char kIconLink[] = "icon";

struct CatalogueLink {
    std::wstring group;
    std::wstring program;  // empty for a group's icon
    const char* kind;      // "installer" or "icon"
    std::wstring url;
    const CatalogueProgram* entry;  // borrowed from the catalogue; null for a group's icon
};

// In catalogue order: each group's icon, then each of its programs' installer and icon.
// Icons named by a bare file name are no links and are left out; installer URLs are all
// taken, http(s) or not.
std::vector<CatalogueLink> CatalogueLinks(const Catalogue& catalogue);

// Why a request failed, naming the request: "status 404 (HEAD, 5 attempts)". A refused
// secure connection is named in words before WinINet's error number: "certificate not
// trusted (HEAD: HttpSendRequest error 12045, 5 attempts)".
std::string LinkFailureReason(const LinkReport& report);

// The announced size of a good link ("12345 bytes"), or "failed: " and the reason, with the
// request that failed.
std::string DescribeLinkReport(const LinkReport& report);

// Probes the links with ProbeLink, up to `jobs` at once. On the calling thread, `onResult`
// gets each link's report in the links' order as soon as it and all before it are done,
// and `onProgress` the number of links done whenever it grows.
void ProbeLinks(const std::vector<CatalogueLink>& links, int jobs,
                const std::function<void(size_t index, const LinkReport& report)>& onResult,
                const std::function<void(size_t done)>& onProgress);
