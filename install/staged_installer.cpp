#include "install/staged_installer.h"

#include <utility>

#include "net/sha256.h"

namespace {

constexpr wchar_t kStagingPrefix[] = L"start-";
constexpr unsigned kStagingAttempts = 64;  // names already taken before giving up

std::wstring Hex8(DWORD value)
{
    wchar_t digits[9] = {};
    for (int i = 7; i >= 0; --i, value >>= 4)
        digits[i] = L"0123456789abcdef"[value & 0xF];
    return digits;
}

// Removes a folder and the files directly in it; whatever is in use stays.
void RemoveFolderAndFiles(const std::wstring& folder)
{
    WIN32_FIND_DATAW found = {};
    const FindHandle search(FindFirstFileW((folder + L"\\*").c_str(), &found));
    for (BOOL more = static_cast<bool>(search); more; more = FindNextFileW(search.get(), &found)) {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            DeleteFileW((folder + L"\\" + found.cFileName).c_str());
    }
    RemoveDirectoryW(folder.c_str());
}

// Staging folders an earlier run could not remove while their installers ran.
void RemoveLeftStagingFolders(const std::wstring& folder)
{
    WIN32_FIND_DATAW found = {};
    const FindHandle search(FindFirstFileW((folder + L"\\" + kStagingPrefix + L"*").c_str(), &found));
    for (BOOL more = static_cast<bool>(search); more; more = FindNextFileW(search.get(), &found)) {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && wcslen(found.cFileName) == kStagingFolderNameLength)
            RemoveFolderAndFiles(folder + L"\\" + found.cFileName);
    }
}

// A new, empty folder of this process's own under `folder`; empty when none could be made.
std::wstring MakeStagingFolder(const std::wstring& folder)
{
    static DWORD counter = 0;  // the run lives on the UI thread
    for (unsigned attempt = 0; attempt < kStagingAttempts; ++attempt) {
        const std::wstring path =
            folder + L"\\" + kStagingPrefix + Hex8(GetCurrentProcessId()) + L"-" + Hex8(counter++);
        if (CreateDirectoryW(path.c_str(), nullptr))
            return path;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            return std::wstring();
    }
    return std::wstring();
}

}  // namespace

StagedInstaller::~StagedInstaller()
{
    Remove();
}

StagedInstaller::StagedInstaller(StagedInstaller&& other) noexcept
    : m_folder(std::move(other.m_folder)), m_file(std::move(other.m_file)), m_hold(std::move(other.m_hold))
{
    other.m_folder.clear();
    other.m_file.clear();
}

bool StagedInstaller::Stage(const std::wstring& source, const std::wstring& folder, const std::wstring& sha256)
{
    Remove();
    RemoveLeftStagingFolders(folder);
    m_folder = MakeStagingFolder(folder);
    if (m_folder.empty())
        return false;
    m_file = m_folder + source.substr(source.rfind(L'\\'));
    if (CopyFileW(source.c_str(), m_file.c_str(), TRUE)) {
        m_hold.reset(CreateFileW(m_file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    }
    if (m_hold && (sha256.empty() || Sha256OfOpenFile(m_hold.get()) == sha256))
        return true;
    Remove();
    return false;
}

void StagedInstaller::Remove()
{
    m_hold.reset();
    if (!m_folder.empty())
        RemoveFolderAndFiles(m_folder);
    m_folder.clear();
    m_file.clear();
}
