#include "install/process_tree.h"

#include <tlhelp32.h>

#include <algorithm>
#include <utility>

namespace {

constexpr DWORD kMemberAccess = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION;

ULONGLONG FromFileTime(const FILETIME& time)
{
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

ULONGLONG CreationTime(HANDLE process)
{
    FILETIME created = {};
    FILETIME exited = {};
    FILETIME kernel = {};
    FILETIME user = {};
    return GetProcessTimes(process, &created, &exited, &kernel, &user) ? FromFileTime(created) : 0;
}

ULONGLONG SystemTimeNow()
{
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    return FromFileTime(now);
}

std::vector<PROCESSENTRY32W> EveryProcess()
{
    std::vector<PROCESSENTRY32W> processes;
    const FileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return processes;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry))
        processes.push_back(entry);
    return processes;
}

}  // namespace

ProcessTree::ProcessTree(KernelHandle root)
{
    const HANDLE process = root.get();
    m_members.push_back({GetProcessId(process), CreationTime(process), std::move(root), std::wstring()});
}

bool ProcessTree::Poll()
{
    TakeInNewMembers();
    m_remainingName.clear();
    bool anyRunning = !m_unopenable.empty();
    for (size_t i = 0; i < m_members.size(); ++i) {
        if (!IsMemberRunning(m_members[i]))
            continue;
        anyRunning = true;
        if (i > 0 && m_remainingName.empty())
            m_remainingName = m_members[i].name;
    }
    if (IsMemberRunning(m_members.front()))
        m_remainingName.clear();  // the installer itself still runs: nothing to explain
    if (anyRunning) {
        m_seenEndedMs = 0;
        return false;
    }
    const ULONGLONG now = GetTickCount64();
    if (m_seenEndedMs == 0)
        m_seenEndedMs = now;
    return now - m_seenEndedMs >= kSettleMs;
}

// Repeats over the snapshot until nothing joins: a grandchild may be listed before the child
// that makes it a member.
void ProcessTree::TakeInNewMembers()
{
    const ULONGLONG snapshotTime = SystemTimeNow();  // taken first: every process listed is older
    const std::vector<PROCESSENTRY32W> processes = EveryProcess();
    m_unopenable.clear();
    for (bool joined = true; joined;) {
        joined = false;
        for (const PROCESSENTRY32W& entry : processes) {
            const Member* parent = MemberById(entry.th32ParentProcessID);
            if (!parent || MemberById(entry.th32ProcessID) || entry.th32ProcessID == entry.th32ParentProcessID)
                continue;
            KernelHandle process(OpenProcess(kMemberAccess, FALSE, entry.th32ProcessID));
            if (!process) {
                // Counted while the snapshots list it under that parent; its own children
                // cannot be told from strangers and are not followed.
                if (std::find(m_unopenable.begin(), m_unopenable.end(), entry.th32ProcessID) == m_unopenable.end())
                    m_unopenable.push_back(entry.th32ProcessID);
                continue;
            }
            const ULONGLONG created = CreationTime(process.get());
            if (created < parent->created || created > snapshotTime)
                continue;  // older than the parent: not its child; younger than the snapshot: a recycled id
            m_members.push_back({entry.th32ProcessID, created, std::move(process), entry.szExeFile});
            joined = true;
        }
    }
}

bool ProcessTree::IsMemberRunning(const Member& member) const
{
    return WaitForSingleObject(member.process.get(), 0) == WAIT_TIMEOUT;
}

ProcessTree::Member* ProcessTree::MemberById(DWORD id)
{
    for (Member& member : m_members) {
        if (member.id == id)
            return &member;
    }
    return nullptr;
}
