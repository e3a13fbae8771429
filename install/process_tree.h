#pragma once
// Watches an installer and every process it starts, directly or through processes that have
// already ended. Many installers hand over to a child (an extracted real installer, msiexec)
// and exit at once; the installer counts as done only once that whole tree has ended.
//
// No job object: the installer runs elevated, often at another integrity level than this
// program, and may already be in a job of its own, so it cannot always be assigned to ours.
// Instead each Poll takes a snapshot of every process with its parent's id, which needs no
// access to the processes at all. A process whose parent is a member of the tree joins it
// once its creation time shows it is younger than that parent and not younger than the
// snapshot: a recycled process id then never makes a stranger a member. Each member found
// is held open (SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, which Windows grants across
// integrity levels), so its id cannot be recycled while the tree is watched.

#include <windows.h>

#include <string>
#include <vector>

#include "base/unique_handle.h"

class ProcessTree {
public:
    // Takes the installer's own process handle.
    explicit ProcessTree(KernelHandle root);

    // Looks for new members and answers whether every member has ended, as seen on polls at
    // least kSettleMs apart: a child started just before its parent ended can be missing from
    // one snapshot (seen under Wine, about one start in four of a launcher that exits at once).
    bool Poll();
    static constexpr ULONGLONG kSettleMs = 400;
    // While the installer itself has ended and others run on: one of theirs' file name
    // ("Code.exe"); otherwise empty. As of the last Poll.
    const std::wstring& RemainingName() const { return m_remainingName; }
    HANDLE root() const { return m_members.front().process.get(); }

private:
    struct Member {
        DWORD id;
        ULONGLONG created;     // FILETIME units; 0 when it could not be read
        KernelHandle process;  // null for one we may not open
        std::wstring name;
    };
    void TakeInNewMembers();
    bool IsMemberRunning(const Member& member) const;
    Member* MemberById(DWORD id);

    std::vector<Member> m_members;  // the installer first
    std::vector<DWORD> m_unopenable;  // members of this Poll we may not open: running while listed
    std::wstring m_remainingName;
    ULONGLONG m_seenEndedMs = 0;  // when every member was first seen ended; 0 while one runs
};
