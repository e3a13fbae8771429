#pragma once
// Watches an installer and every process it starts, directly or through processes that have
// already ended. Many installers hand over to a child (an extracted real installer, msiexec)
// and exit at once; the installer counts as done only once that whole tree has ended, or
// what is left of it is no longer installing: many installers start the program they
// installed, a tray helper or an updater as they end, and those run for good.
//
// No job object: the installer runs elevated, often at another integrity level than this
// program, and may already be in a job of its own, so it cannot always be assigned to ours.
// Instead each Poll lists every process with its parent's id and its creation time, from one
// system call, which needs no access to the processes at all. A listed process whose parent
// is a member of the tree joins it when it was created after that parent: a long-lived
// process that names a parent id long since recycled to one of our members is no member.
// Creation times are compared with each other only, never with the clock, and a process
// first listed after its parent joined is its child whatever the times say, so a clock set
// back during the run cannot end a tree early. Each member that may be opened is held open
// (SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, which Windows grants across integrity
// levels), so its id cannot be recycled while the tree is watched; one that may not be
// opened runs while the list holds its id with its creation time.

#include <windows.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/unique_handle.h"

// One process of the system's list.
struct ListedProcess {
    DWORD id;
    DWORD parentId;
    ULONGLONG created;  // FILETIME units
    std::wstring name;  // its image's file name
};

// Every process running, from one NtQuerySystemInformation call; empty when it fails.
std::vector<ListedProcess> EveryProcess();

// The folders a process started from is said to be installing in: the user's %TEMP% and
// %TMP% and the Windows temporary folder, in their long forms, without a final backslash.
std::vector<std::wstring> TemporaryFolders();

// Whether a process an installer started, still running after the installer itself ended, is
// still installing: msiexec, an image under one of `temporaryFolders` (where launchers unpack
// the real installer), or an image whose name says it installs or removes ("setup",
// "install", "unins", or the extension ".tmp"), letter case ignored. `imagePath` is empty
// when it could not be read; the name alone then decides.
bool IsStillInstalling(const std::wstring& name, const std::wstring& imagePath,
                       const std::vector<std::wstring>& temporaryFolders);

class ProcessTree {
public:
    // Takes the installer's own process handle.
    explicit ProcessTree(KernelHandle root);

    // Looks for new members and answers whether the installer has ended and no member still
    // installing runs, as seen on polls at least kSettleMs apart: a child started just before
    // its parent ended can be missing from one list (seen under Wine, about one start in four
    // of a launcher that exits at once).
    bool Poll();
    static constexpr ULONGLONG kSettleMs = 400;
    // While the installer itself has ended and a member still installing runs on: its file
    // name ("msiexec.exe"); otherwise empty. As of the last Poll.
    const std::wstring& RemainingName() const { return m_remainingName; }
    // The file names of the members running, as of the last Poll, that were not waited for:
    // what the installer started and left running. Each name once.
    std::vector<std::wstring> LeftRunning() const;
    HANDLE root() const { return m_members.front().process.get(); }

private:
    struct Member {
        DWORD id;
        ULONGLONG created;     // FILETIME units
        KernelHandle process;  // null for one we may not open
        std::wstring name;
        bool installing;       // IsStillInstalling, decided as it joins
        unsigned joinedPoll;   // the Poll that found it; 0 for the installer
        bool running = true;   // as of the last Poll
    };
    using ProcessKey = std::pair<DWORD, ULONGLONG>;  // id and creation time: one process ever

    void TakeInNewMembers(const std::vector<ListedProcess>& processes);
    bool IsChildOf(const ListedProcess& process, const Member& parent,
                   const std::vector<ListedProcess>& processes) const;
    bool IsMemberRunning(const Member& member, const std::vector<ListedProcess>& processes) const;
    bool IsMember(const ListedProcess& process) const;
    const Member* MemberById(DWORD id) const;

    std::vector<Member> m_members;  // the installer first
    std::set<ProcessKey> m_listedBefore;  // every process of the previous list
    unsigned m_polls = 0;
    bool m_childStarting = false;  // the last list held a member's child still starting
    std::vector<std::wstring> m_temporaryFolders;
    std::wstring m_remainingName;
    ULONGLONG m_seenEndedMs = 0;  // when the tree was first seen done; 0 while it is not
};
