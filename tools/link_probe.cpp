#include "tools/link_probe.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

namespace {

constexpr char kInstallerLink[] = "installer";
constexpr char kIconLink[] = "icon";

// The size request is the first request of every download, and the only one probed.
constexpr char kProbedRequest[] = "HEAD";

std::string AttemptsText(int attempts)
{
    return std::to_string(attempts) + (attempts == 1 ? " attempt" : " attempts");
}

std::string FailureReason(const LinkReport& report)
{
    const std::string request = kProbedRequest;
    switch (report.fault) {
    case LinkFault::NotHttp: return "not http";
    case LinkFault::NoAnswer:
        return "no answer (" + request + ": " + report.failedCall + " error " + std::to_string(report.error) +
               (report.attempts > 0 ? ", " + AttemptsText(report.attempts) : std::string()) + ")";
    case LinkFault::Status:
        return "status " + std::to_string(report.status) + " (" + request + ", " + AttemptsText(report.attempts) + ")";
    case LinkFault::NoContentLength: return "no Content-Length (" + request + ")";
    case LinkFault::TooLarge: return "too large (" + request + ": " + std::to_string(report.size) + " bytes)";
    case LinkFault::None: break;
    }
    return std::string();
}

// Hands out the links' indexes to the workers and collects their reports.
class ProbeQueue {
public:
    explicit ProbeQueue(const std::vector<CatalogueLink>& links) : m_links(links), m_reports(links.size()) {}

    void Work()
    {
        for (;;) {
            size_t index = 0;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_next == m_links.size())
                    return;
                index = m_next++;
            }
            const LinkReport report = ProbeLink(m_links[index].url);
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_reports[index] = report;
                ++m_done;
            }
            m_changed.notify_one();
        }
    }

    // Waits until more links are done than `seen`; then the ready reports from `delivered` on.
    size_t WaitForMore(size_t seen, size_t delivered, std::vector<LinkReport>& ready)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return m_done > seen; });
        for (size_t index = delivered; index < m_reports.size() && m_reports[index]; ++index)
            ready.push_back(*m_reports[index]);
        return m_done;
    }

private:
    const std::vector<CatalogueLink>& m_links;
    std::mutex m_mutex;  // guards everything below
    std::condition_variable m_changed;
    std::vector<std::optional<LinkReport>> m_reports;
    size_t m_next = 0;
    size_t m_done = 0;
};

}  // namespace

std::vector<CatalogueLink> CatalogueLinks(const Catalogue& catalogue)
{
    std::vector<CatalogueLink> links;
    for (const auto& group : catalogue) {
        if (StartsWithHttp(group->icon))
            links.push_back({group->name, std::wstring(), kIconLink, group->icon});
        for (const auto& program : group->applications) {
            links.push_back({group->name, program->name, kInstallerLink, program->url});
            if (StartsWithHttp(program->icon))
                links.push_back({group->name, program->name, kIconLink, program->icon});
        }
    }
    return links;
}

std::string DescribeLinkReport(const LinkReport& report)
{
    if (report.fault == LinkFault::None)
        return std::to_string(report.size) + " bytes";
    return "failed: " + FailureReason(report);
}

void ProbeLinks(const std::vector<CatalogueLink>& links, int jobs,
                const std::function<void(size_t index, const LinkReport& report)>& onResult,
                const std::function<void(size_t done)>& onProgress)
{
    ProbeQueue queue(links);
    std::vector<std::thread> workers;
    const size_t workerCount = std::min(links.size(), static_cast<size_t>(std::max(jobs, 1)));
    for (size_t i = 0; i < workerCount; ++i)
        workers.emplace_back([&queue] { queue.Work(); });

    size_t done = 0;
    size_t delivered = 0;
    while (done < links.size()) {
        std::vector<LinkReport> ready;
        done = queue.WaitForMore(done, delivered, ready);
        for (const LinkReport& report : ready)
            onResult(delivered++, report);
        onProgress(done);
    }
    for (std::thread& worker : workers)
        worker.join();
}
