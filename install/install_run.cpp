#include "install/install_run.h"

#include <shellapi.h>

#include <algorithm>

#include "app/text.h"
#include "catalog/catalogue.h"

namespace {

constexpr size_t kElevatedArgumentBuffer = 512;  // characters, terminator included
constexpr wchar_t kWhiteSpace[] = L" \t\n\v\f\r";
constexpr wchar_t kExeThenSpace[] = L".exe ";
constexpr wchar_t kExe[] = L".exe";
constexpr size_t kExeLength = 4;

std::wstring Trim(const std::wstring& text)
{
    const size_t first = text.find_first_not_of(kWhiteSpace);
    if (first == std::wstring::npos)
        return std::wstring();
    return text.substr(first, text.find_last_not_of(kWhiteSpace) - first + 1);
}

// ".exe" holds only ASCII letters, so an ASCII lower-case copy finds it wherever any
// lower-casing would, and keeps every position of the original.
std::wstring AsciiLowerCopy(const std::wstring& text)
{
    std::wstring lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), AsciiLower);
    return lower;
}

}  // namespace

std::wstring InstallerFileName(const std::wstring& install)
{
    const std::wstring trimmed = Trim(install);
    return trimmed.substr(0, trimmed.find(L' '));
}

bool SplitInstallCommand(const std::wstring& install, std::wstring& file, std::wstring& parameters)
{
    file.clear();
    parameters.clear();
    const std::wstring command = Trim(install);
    const std::wstring lower = AsciiLowerCopy(command);
    size_t exe = lower.find(kExeThenSpace);
    if (exe == std::wstring::npos)
        exe = lower.find(kExe);
    if (exe == std::wstring::npos)
        return false;
    const size_t fileLength = exe + kExeLength;
    file = Trim(command.substr(0, fileLength));
    parameters = Trim(command.substr(fileLength));
    return true;
}

std::wstring InstallerPath(const std::wstring& folder, const std::wstring& name)
{
    return folder + L"\\" + name;
}

bool FitsElevatedArgument(const std::wstring& text)
{
    return text.size() < kElevatedArgumentBuffer;
}

bool IsAcceptedInstall(const std::wstring& install, const std::wstring& folder)
{
    if (!IsPlainFileName(InstallerFileName(install)))
        return false;
    std::wstring file;
    std::wstring parameters;
    if (!SplitInstallCommand(install, file, parameters))
        return true;  // downloaded, never started
    return IsPlainFileName(file) && FitsElevatedArgument(InstallerPath(folder, file)) &&
           FitsElevatedArgument(parameters);
}

KernelHandle RunElevated(const std::wstring& file, const std::wstring& parameters)
{
    if (!FitsElevatedArgument(file) || !FitsElevatedArgument(parameters))
        return KernelHandle();
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    // No error box: an installer that cannot be started is passed over silently, where a box
    // would hold the run up until someone pressed it. The elevation prompt still shows.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.hwnd = nullptr;
    info.lpVerb = L"runas";
    info.lpFile = file.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = nullptr;
    info.nShow = SW_SHOW;
    if (!ShellExecuteExW(&info))
        return KernelHandle();
    return KernelHandle(info.hProcess);
}
