#include "base/file_replace.h"

#include <algorithm>
#include <cwchar>

#include "base/unique_handle.h"

namespace {

bool Fail(DWORD* error)
{
    if (error)
        *error = GetLastError();
    return false;
}

}  // namespace

std::wstring OwnTemporaryName(const std::wstring& path)
{
    wchar_t suffix[16];
    std::swprintf(suffix, 16, L".%lx.new", static_cast<unsigned long>(GetCurrentProcessId()));
    return path + suffix;
}

bool ReplaceFileInOneStep(const std::wstring& source, const std::wstring& destination, DWORD* error)
{
    if (!MoveFileExW(source.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return Fail(error);
    return true;
}

bool WriteFileFlushed(const std::wstring& path, const std::string& bytes, DWORD* error)
{
    FileHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return Fail(error);
    size_t written = 0;
    while (written < bytes.size()) {
        // WriteFile takes at most 4 GiB - 1 at a time; files here are far smaller, but a
        // short write must still be carried on, not taken as the end.
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - written, 1u << 30));
        DWORD done = 0;
        if (!WriteFile(file.get(), bytes.data() + written, chunk, &done, nullptr) || done == 0)
            return Fail(error);
        written += done;
    }
    if (!FlushFileBuffers(file.get()))
        return Fail(error);
    return true;
}

bool ReplaceFileContents(const std::wstring& path, const std::string& bytes, DWORD* error)
{
    const std::wstring temporary = OwnTemporaryName(path);
    if (WriteFileFlushed(temporary, bytes, error) && ReplaceFileInOneStep(temporary, path, error))
        return true;
    const DWORD failure = GetLastError();
    DeleteFileW(temporary.c_str());
    SetLastError(failure);
    return false;
}
