#include "install/process_tree.h"

#include <winternl.h>

#include <algorithm>
#include <utility>


namespace {

constexpr DWORD kMemberAccess = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION;
constexpr ULONG kFirstListSize = 256 * 1024;  // bytes; grown as the system asks
constexpr NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);

// Image names of processes that install or remove, in lower case.
constexpr const wchar_t* kInstallingNameParts[] = {L"setup", L"install", L"unins"};
constexpr wchar_t kTemporaryExtension[] = L".tmp";
constexpr wchar_t kMsiexec[] = L"msiexec.exe";

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

std::wstring LowerCase(std::wstring text)
{
    if (!text.empty())
        CharLowerBuffW(&text[0], static_cast<DWORD>(text.size()));
    return text;
}

// The long form of a path, lower-cased, without a final backslash; empty when it is empty.
std::wstring ComparablePath(const std::wstring& path)
{
    if (path.empty())
        return path;
    std::wstring longPath(MAX_PATH, L'\0');
    DWORD length = GetLongPathNameW(path.c_str(), &longPath[0], static_cast<DWORD>(longPath.size()));
    if (length >= longPath.size()) {
        longPath.resize(length);
        length = GetLongPathNameW(path.c_str(), &longPath[0], length);
    }
    longPath = length > 0 && length < longPath.size() ? longPath.substr(0, length) : path;
    while (!longPath.empty() && longPath.back() == L'\\')
        longPath.pop_back();
    return LowerCase(longPath);
}

std::wstring EnvironmentFolder(const wchar_t* name)
{
    wchar_t value[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(value, length) : std::wstring();
}

std::wstring ImagePath(HANDLE process)
{
    wchar_t path[MAX_PATH * 2] = {};
    DWORD length = MAX_PATH * 2;
    return QueryFullProcessImageNameW(process, 0, path, &length) ? std::wstring(path, length) : std::wstring();
}

}  // namespace

std::vector<ListedProcess> EveryProcess()
{
    std::vector<ListedProcess> processes;
    std::vector<BYTE> buffer(kFirstListSize);
    ULONG needed = 0;
    NTSTATUS status;
    while ((status = NtQuerySystemInformation(SystemProcessInformation, buffer.data(),
                                              static_cast<ULONG>(buffer.size()), &needed)) == kInfoLengthMismatch)
        buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 64 * 1024));  // processes start meanwhile
    if (!NT_SUCCESS(status))
        return processes;
    for (size_t offset = 0;;) {
        const auto* entry = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(buffer.data() + offset);
        processes.push_back({static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(entry->UniqueProcessId)),
                             static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(entry->InheritedFromUniqueProcessId)),
                             static_cast<ULONGLONG>(entry->CreateTime.QuadPart),
                             std::wstring(entry->ImageName.Buffer ? entry->ImageName.Buffer : L"",
                                          entry->ImageName.Length / sizeof(wchar_t))});
        if (entry->NextEntryOffset == 0)
            break;
        offset += entry->NextEntryOffset;
    }
    return processes;
}

std::vector<std::wstring> TemporaryFolders()
{
    wchar_t windows[MAX_PATH] = {};
    const UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    std::vector<std::wstring> folders;
    for (const std::wstring& folder : {EnvironmentFolder(L"TEMP"), EnvironmentFolder(L"TMP"),
                                       length > 0 && length < MAX_PATH ? std::wstring(windows, length) + L"\\Temp"
                                                                       : std::wstring()}) {
        const std::wstring comparable = ComparablePath(folder);
        if (!comparable.empty() && std::find(folders.begin(), folders.end(), comparable) == folders.end())
            folders.push_back(comparable);
    }
    return folders;
}

bool IsStillInstalling(const std::wstring& name, const std::wstring& imagePath,
                       const std::vector<std::wstring>& temporaryFolders)
{
    const std::wstring lowerName = LowerCase(name);
    if (lowerName == kMsiexec)
        return true;
    for (const wchar_t* part : kInstallingNameParts) {
        if (lowerName.find(part) != std::wstring::npos)
            return true;
    }
    const size_t extension = lowerName.size() - std::min(lowerName.size(), wcslen(kTemporaryExtension));
    if (lowerName.compare(extension, std::wstring::npos, kTemporaryExtension) == 0)
        return true;
    const std::wstring path = ComparablePath(imagePath);
    for (const std::wstring& folder : temporaryFolders) {
        if (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == L'\\')
            return true;
    }
    return false;
}

ProcessTree::ProcessTree(KernelHandle root) : m_temporaryFolders(TemporaryFolders())
{
    const HANDLE process = root.get();
    const DWORD id = GetProcessId(process);
    ULONGLONG created = CreationTime(process);
    for (const ListedProcess& listed : EveryProcess()) {
        m_listedBefore.insert({listed.id, listed.created});
        if (listed.id == id && created == 0)
            created = listed.created;
    }
    m_members.push_back({id, created, std::move(root), std::wstring(), true, 0});
}

bool ProcessTree::Poll()
{
    ++m_polls;
    const std::vector<ListedProcess> processes = EveryProcess();
    TakeInNewMembers(processes);
    m_listedBefore.clear();
    for (const ListedProcess& listed : processes)
        m_listedBefore.insert({listed.id, listed.created});

    bool holding = m_childStarting;
    m_remainingName.clear();
    for (Member& member : m_members) {
        member.running = IsMemberRunning(member, processes);
        if (!member.running || !member.installing)
            continue;
        holding = true;
        if (&member != &m_members.front() && m_remainingName.empty())
            m_remainingName = member.name;
    }
    if (m_members.front().running)
        m_remainingName.clear();  // the installer itself still runs: nothing to explain
    if (holding) {
        m_seenEndedMs = 0;
        return false;
    }
    const ULONGLONG now = GetTickCount64();
    if (m_seenEndedMs == 0)
        m_seenEndedMs = now;
    return now - m_seenEndedMs >= kSettleMs;
}

std::vector<std::wstring> ProcessTree::LeftRunning() const
{
    std::vector<std::wstring> names;
    for (const Member& member : m_members) {
        if (member.running && !member.installing &&
            std::find(names.begin(), names.end(), member.name) == names.end())
            names.push_back(member.name);
    }
    return names;
}

// Repeats over the list until nothing joins: a grandchild may be listed before the child that
// makes it a member.
void ProcessTree::TakeInNewMembers(const std::vector<ListedProcess>& processes)
{
    m_childStarting = false;
    for (bool joined = true; joined;) {
        joined = false;
        for (const ListedProcess& listed : processes) {
            // Wine lists a process still starting without its name and creation time: it joins
            // on a later poll, and the tree is not done before it has.
            const Member* parent = MemberById(listed.parentId);
            if (parent && listed.name.empty())
                m_childStarting = true;
            if (!parent || listed.name.empty() || IsMember(listed) || listed.id == listed.parentId ||
                !IsChildOf(listed, *parent, processes))
                continue;
            KernelHandle process(OpenProcess(kMemberAccess, FALSE, listed.id));
            if (process && CreationTime(process.get()) != listed.created)
                process.reset();  // the id was recycled since the list was taken
            const std::wstring imagePath = process ? ImagePath(process.get()) : std::wstring();
            const bool installing = IsStillInstalling(listed.name, imagePath, m_temporaryFolders);
            m_members.push_back({listed.id, listed.created, std::move(process), listed.name, installing, m_polls});
            joined = true;
        }
    }
}

// Created after its parent, or first listed since the last poll while the parent was a member
// already; and the parent's id is still its own: no other process holds it now.
bool ProcessTree::IsChildOf(const ListedProcess& process, const Member& parent,
                            const std::vector<ListedProcess>& processes) const
{
    for (const ListedProcess& listed : processes) {
        if (listed.id == parent.id && listed.created != parent.created)
            return false;
    }
    const bool listedBefore = m_listedBefore.count({process.id, process.created}) != 0;
    return process.created >= parent.created || (!listedBefore && parent.joinedPoll < m_polls);
}

bool ProcessTree::IsMemberRunning(const Member& member, const std::vector<ListedProcess>& processes) const
{
    if (member.process)
        return WaitForSingleObject(member.process.get(), 0) == WAIT_TIMEOUT;
    return std::any_of(processes.begin(), processes.end(), [&](const ListedProcess& listed) {
        return listed.id == member.id && listed.created == member.created;
    });
}

// The same process, not only the same id: an id may come back to another process once a
// member we could not hold open has ended.
bool ProcessTree::IsMember(const ListedProcess& process) const
{
    return std::any_of(m_members.begin(), m_members.end(), [&](const Member& member) {
        return member.id == process.id && member.created == process.created;
    });
}

const ProcessTree::Member* ProcessTree::MemberById(DWORD id) const
{
    for (const Member& member : m_members) {
        if (member.id == id)
            return &member;
    }
    return nullptr;
}
