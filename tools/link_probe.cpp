#include "tools/link_probe.h"

#include "net/failure_reason.h"
#include "tools/ordered_jobs.h"

namespace {

constexpr std::chrono::milliseconds kProgressTick{250};

std::string AttemptsText(int attempts)
{
    return std::to_string(attempts) + (attempts == 1 ? " attempt" : " attempts");
}

}  // namespace

std::string LinkFailureReason(const LinkReport& report)
{
    const std::string request = report.method;
    switch (report.fault) {
    case LinkFault::NotHttp:
        if (report.attempts == 0)
            return "not an http or https link";
        return "redirected to a link that is not http or https (" + request + ": " + Utf8FromWide(report.url) + ")";
    case LinkFault::Downgraded:
        return "https link redirected to plain http (" + request + ": " + Utf8FromWide(report.url) + ")";
    case LinkFault::RedirectLoop: return "redirect loop (" + request + ", " + AttemptsText(report.attempts) + ")";
    case LinkFault::NoAnswer: {
        const char* secure = CertificateFaultWords(report.error);
        return std::string(secure ? secure : "no answer") + " (" + request + ": " + report.failedCall + " error " +
               std::to_string(report.error) +
               (report.attempts > 0 ? ", " + AttemptsText(report.attempts) : std::string()) + ")";
    }
    case LinkFault::Status:
        return "status " + std::to_string(report.status) + " (" + request + ", " + AttemptsText(report.attempts) + ")";
    case LinkFault::NoContentLength: return "no Content-Length (" + request + ")";
    case LinkFault::TooLarge: return "too large (" + request + ": " + std::to_string(report.size) + " bytes)";
    case LinkFault::None: break;
    }
    return std::string();
}

std::vector<CatalogueLink> CatalogueLinks(const Catalogue& catalogue)
{
    std::vector<CatalogueLink> links;
    for (const auto& group : catalogue) {
        if (StartsWithHttp(group->icon))
            links.push_back({group->name, std::wstring(), kIconLink, group->icon, nullptr});
        for (const auto& program : group->applications) {
            links.push_back({group->name, program->name, kInstallerLink, program->url, program.get()});
            if (StartsWithHttp(program->icon))
                links.push_back({group->name, program->name, kIconLink, program->icon, program.get()});
        }
    }
    return links;
}

std::string DescribeLinkReport(const LinkReport& report)
{
    if (report.fault == LinkFault::None)
        return std::to_string(report.size) + " bytes" + (report.headRefused ? " (HEAD refused; size from the GET)" : "");
    return "failed: " + LinkFailureReason(report);
}

void ProbeLinks(const std::vector<CatalogueLink>& links, int jobs,
                const std::function<void(size_t index, const LinkReport& report)>& onResult,
                const std::function<void(size_t done)>& onProgress)
{
    RunInOrder<LinkReport>(
        links.size(), jobs, kProgressTick, [&links](size_t index) { return ProbeLink(links[index].url); }, onResult,
        onProgress);
}
