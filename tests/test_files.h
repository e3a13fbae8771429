#pragma once
// File-system helpers shared by the Windows tests.

#include <windows.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "base/folders.h"  // PathExists
#include "base/unique_handle.h"
#include "tests/wait_until.h"

// The whole file as bytes; "<missing>" when it cannot be opened.
inline std::string ReadWholeFile(const std::wstring& path)
{
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return "<missing>";
    std::string content;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
        content.append(buffer, read);
    return content;
}

inline bool WriteWholeFile(const std::wstring& path, const std::string& content)
{
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
           written == content.size();
}

// A file written for one test and removed when the test is done with it.
class ScratchFile {
public:
    ScratchFile(std::wstring path, const std::string& content) : m_path(std::move(path))
    {
        WriteWholeFile(m_path, content);
    }
    ~ScratchFile() { DeleteFileW(m_path.c_str()); }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    const std::wstring& path() const { return m_path; }

private:
    std::wstring m_path;
};

// Names (not paths) of the entries matching a pattern such as L"C:\\dir\\setup.exe.*".
inline std::vector<std::wstring> FindFiles(const std::wstring& pattern)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found = {};
    const FindHandle search(FindFirstFileW(pattern.c_str(), &found));
    if (!search)
        return names;
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(name);
    } while (FindNextFileW(search.get(), &found));
    return names;
}

// A folder of the test's own under the temporary folder, removed with its files at the end.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::wstring& name)
    {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        m_path = std::wstring(temp) + name + L"-" + std::to_wstring(GetCurrentProcessId());
        Clear();
        CreateDirectoryW(m_path.c_str(), nullptr);
    }
    ~ScratchFolder()
    {
        Clear();
        RemoveDirectoryW(m_path.c_str());
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::wstring& path() const { return m_path; }
    std::wstring operator/(const std::wstring& name) const { return m_path + L"\\" + name; }

    void Clear() const
    {
        for (const std::wstring& name : FindFiles(m_path + L"\\*"))
            DeleteFileW((m_path + L"\\" + name).c_str());
    }

private:
    std::wstring m_path;
};

// Removes a folder tree; missing is fine.
inline void RemoveTree(const std::wstring& dir)
{
    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring path = dir + L"\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path);
            else
                DeleteFileW(path.c_str());
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryW(dir.c_str());
}
