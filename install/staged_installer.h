#pragma once
// An installer copied, for one start, into a fresh folder that holds nothing but it. An
// elevated installer loads DLLs from its own folder before the system's; started from the
// installers folder, anything planted there would load into it with the user's consent to
// the elevation prompt. So the folder is made under the user's temporary folder
// (StagingRoot), with a protected DACL that lets only SYSTEM, the Administrators and this
// user in, and is checked to hold the installer alone right before the start. The copy is
// held open so that others may only read it: from the hash and signer checks until the
// installer and everything it waits for have ended (msiexec reads a package only after its
// process exists), it cannot be written to, replaced, renamed or deleted.

#include <windows.h>

#include <string>

#include "base/unique_handle.h"
#include "catalog/start_rule.h"
#include "net/installer_signature.h"

// Each start has a staging folder of its own (kStagingFolderNameLength); folders left by an
// earlier run are removed when the next installer is staged beside them, except what is a
// reparse point (a junction or a link), which is never followed.

class StagedInstaller {
public:
    StagedInstaller() = default;
    // Removes the copy and its folder; either stays while its installer still runs.
    ~StagedInstaller();
    StagedInstaller(StagedInstaller&& other) noexcept;
    StagedInstaller& operator=(StagedInstaller&&) = delete;
    StagedInstaller(const StagedInstaller&) = delete;
    StagedInstaller& operator=(const StagedInstaller&) = delete;

    // Copies `source` into a new staging folder under StagingRoot() and holds the copy. Each
    // part of the pin is checked through that hold: the copy's hash must match, its signature
    // must vouch for it. False, with nothing left behind, when any step or check fails.
    bool Stage(const std::wstring& source, const InstallerPin& pin);
    // Whether the staging folder still holds the copy and nothing else.
    bool StandsAlone() const;

    const std::wstring& file() const { return m_file; }

private:
    void Remove();

    std::wstring m_folder;
    std::wstring m_file;
    FileHandle m_hold;  // shares reading only
};
