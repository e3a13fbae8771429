#include "install/staged_installer.h"

#include <sddl.h>

#include <utility>

#include "net/sha256.h"

namespace {

constexpr wchar_t kStagingPrefix[] = L"start-";
constexpr unsigned kStagingAttempts = 64;  // names already taken before giving up
// Full control for SYSTEM, the Administrators and the user (whose SID and ")" follow),
// inherited by the copy, and nothing inherited from the folder above.
constexpr wchar_t kStagingDacl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;";
constexpr DWORD kHoldAccess = GENERIC_READ | GENERIC_EXECUTE;

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

// Staging folders an earlier run could not remove while their installers ran. A junction or
// a link named like one is left alone: removing through it would delete its target's files.
void RemoveLeftStagingFolders(const std::wstring& folder)
{
    WIN32_FIND_DATAW found = {};
    const FindHandle search(FindFirstFileW((folder + L"\\" + kStagingPrefix + L"*").c_str(), &found));
    for (BOOL more = static_cast<bool>(search); more; more = FindNextFileW(search.get(), &found)) {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
            wcslen(found.cFileName) == kStagingFolderNameLength)
            RemoveFolderAndFiles(folder + L"\\" + found.cFileName);
    }
}

// This process's user, as an SDDL SID string; empty when it cannot be read.
std::wstring CurrentUserSid()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return std::wstring();
    const KernelHandle owned(token);
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    DWORD size = 0;
    wchar_t* text = nullptr;
    if (!GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size) ||
        !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text))
        return std::wstring();
    const std::wstring sid(text);
    LocalFree(text);
    return sid;
}

// The protected DACL of a staging folder, as a self-relative security descriptor that the
// caller frees with LocalFree; null when it cannot be made.
PSECURITY_DESCRIPTOR StagingSecurity()
{
    const std::wstring sid = CurrentUserSid();
    if (sid.empty())
        return nullptr;
    const std::wstring sddl = kStagingDacl + sid + L")";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    return ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)
               ? descriptor
               : nullptr;
}

// A new, empty folder of this process's own under `folder`, that no one but SYSTEM, the
// Administrators and this user may write to; empty when none could be made.
std::wstring MakeStagingFolder(const std::wstring& folder)
{
    static DWORD counter = 0;  // the run lives on the UI thread
    const PSECURITY_DESCRIPTOR descriptor = StagingSecurity();
    if (!descriptor)
        return std::wstring();
    SECURITY_ATTRIBUTES security = {sizeof(security), descriptor, FALSE};
    std::wstring made;
    for (unsigned attempt = 0; attempt < kStagingAttempts && made.empty(); ++attempt) {
        const std::wstring path =
            folder + L"\\" + kStagingPrefix + Hex8(GetCurrentProcessId()) + L"-" + Hex8(counter++);
        if (CreateDirectoryW(path.c_str(), &security))
            made = path;
        else if (GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    LocalFree(descriptor);
    return made;
}

// Each check reads the held copy from its start.
bool HoldsPin(HANDLE file, const std::wstring& path, const InstallerPin& pin)
{
    const LARGE_INTEGER start = {};
    if (!pin.sha256.empty() &&
        (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN) || Sha256OfOpenFile(file) != pin.sha256))
        return false;
    return pin.signer.empty() || (SetFilePointerEx(file, start, nullptr, FILE_BEGIN) &&
                                  CheckInstallerSigner(file, path, pin.signer).verdict == SignerVerdict::Vouched);
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

bool StagedInstaller::Stage(const std::wstring& source, const InstallerPin& pin)
{
    Remove();
    const std::wstring root = StagingRoot();
    if (root.empty())
        return false;
    RemoveLeftStagingFolders(root);
    m_folder = MakeStagingFolder(root);
    if (m_folder.empty())
        return false;
    m_file = m_folder + source.substr(source.rfind(L'\\'));
    if (CopyFileW(source.c_str(), m_file.c_str(), TRUE)) {
        m_hold.reset(CreateFileW(m_file.c_str(), kHoldAccess, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    }
    if (m_hold && HoldsPin(m_hold.get(), m_file, pin))
        return true;
    Remove();
    return false;
}

bool StagedInstaller::StandsAlone() const
{
    const std::wstring name = m_file.substr(m_file.rfind(L'\\') + 1);
    WIN32_FIND_DATAW found = {};
    const FindHandle search(FindFirstFileW((m_folder + L"\\*").c_str(), &found));
    bool seenCopy = false;
    for (BOOL more = static_cast<bool>(search); more; more = FindNextFileW(search.get(), &found)) {
        const std::wstring entry = found.cFileName;
        if (entry == L"." || entry == L"..")
            continue;
        if (entry != name || (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
            return false;
        seenCopy = true;
    }
    return seenCopy;
}

void StagedInstaller::Remove()
{
    m_hold.reset();
    if (!m_folder.empty())
        RemoveFolderAndFiles(m_folder);
    m_folder.clear();
    m_file.clear();
}
