#include <windows.h>

#include <gtest/gtest.h>

#include "base/folders.h"

namespace {

std::wstring ModulePath()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

bool IsDirectory(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

TEST(Folders, ModuleDirIsTheExecutablesFolder)
{
    const std::wstring dir = GetModuleDir();
    ASSERT_FALSE(dir.empty());
    EXPECT_NE(dir.back(), L'\\');
    EXPECT_EQ(dir + L"\\folders_test.exe", ModulePath());
}

TEST(Folders, DataTreeHangsOffTheExecutablesFolder)
{
    const std::wstring module = GetModuleDir();
    const struct {
        const wchar_t* name;
        std::wstring (*getter)();
        const wchar_t* suffix;
        bool ships;  // present beside the executable, as the build lays the tree out
    } cases[] = {
        {L"AppLib", GetAppLibDir, L"\\AppLib", true},
        {L"GroupIcons", GetGroupIconsDir, L"\\AppLib\\GroupIcons", true},
        {L"AppIcons", GetAppIconsDir, L"\\AppLib\\AppIcons", true},
        {L"Skin", GetSkinDir, L"\\AppLib\\Skin", true},
        {L"Soft", GetSoftDir, L"\\AppLib\\Soft", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "folder " << c.name);
        const std::wstring dir = c.getter();
        EXPECT_EQ(dir, module + c.suffix);
        EXPECT_EQ(IsDirectory(dir), c.ships);
    }
    EXPECT_NE(GetFileAttributesW((GetAppLibDir() + L"\\AppLib.xml").c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
