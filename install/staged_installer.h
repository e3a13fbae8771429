#pragma once
// An installer copied, for one start, into a fresh folder that holds nothing but it. An
// elevated installer loads DLLs from its own folder before the system's; started from the
// installers folder, anything planted there would load into it with the user's consent to
// the elevation prompt. The copy is held open so that others may only read it: from the
// hash check until the start it cannot be written to, replaced, renamed or deleted.

#include <windows.h>

#include <string>

#include "base/unique_handle.h"
#include "catalog/start_rule.h"

// Each start has a staging folder of its own (kStagingFolderNameLength); folders left by an
// earlier run are removed when the next installer is staged beside them.

class StagedInstaller {
public:
    StagedInstaller() = default;
    // Removes the copy and its folder; either stays while its installer still runs.
    ~StagedInstaller();
    StagedInstaller(StagedInstaller&& other) noexcept;
    StagedInstaller& operator=(StagedInstaller&&) = delete;
    StagedInstaller(const StagedInstaller&) = delete;
    StagedInstaller& operator=(const StagedInstaller&) = delete;

    // Copies `source` into a new staging folder under `folder` and holds the copy. With a
    // hash, the copy's bytes are hashed through that hold and must match. False, with
    // nothing left behind, when any step fails or the hash differs.
    bool Stage(const std::wstring& source, const std::wstring& folder, const std::wstring& sha256);

    const std::wstring& file() const { return m_file; }
    // Lets go of the hold, once the installer has been started from the copy.
    void Release() { m_hold.reset(); }

private:
    void Remove();

    std::wstring m_folder;
    std::wstring m_file;
    FileHandle m_hold;  // shares reading only
};
