#include <windows.h>

#include <gtest/gtest.h>

#include "base/file_replace.h"
#include "base/folders.h"
#include "tests/test_files.h"

namespace {

std::wstring Here(const wchar_t* name) { return GetModuleDir() + L"\\" + name; }

// Holds a file open the way a scanner or a second instance may: reading, sharing reading
// and writing but not deletion, so that nothing can take its name meanwhile.
FileHandle HoldOpen(const std::wstring& path)
{
    return FileHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

TEST(FileReplace, TakesTheNameInOneStep)
{
    const ScratchFile target(Here(L"target.bin"), "old");
    const ScratchFile source(Here(L"source.bin"), "new body");
    DWORD error = 0xdeadbeef;
    ASSERT_TRUE(ReplaceFileInOneStep(source.path(), target.path(), &error));
    EXPECT_EQ("new body", ReadWholeFile(target.path()));
    EXPECT_FALSE(PathExists(source.path()));
}

TEST(FileReplace, AHeldTargetKeepsTheOldFileAndTheNewOne)
{
    const ScratchFile target(Here(L"held.bin"), "old");
    const ScratchFile source(Here(L"held-new.bin"), "new body");
    {
        const FileHandle holder = HoldOpen(target.path());
        ASSERT_TRUE(holder);
        DWORD error = 0;
        EXPECT_FALSE(ReplaceFileInOneStep(source.path(), target.path(), &error));
        EXPECT_NE(0u, error);
        EXPECT_EQ("old", ReadWholeFile(target.path()));
        EXPECT_EQ("new body", ReadWholeFile(source.path()));
    }
}

// A scanner reading the new file: deleting the old one first would lose it, as the new one
// cannot take its name.
TEST(FileReplace, AHeldSourceKeepsTheOldFile)
{
    const ScratchFile target(Here(L"kept.bin"), "old");
    const ScratchFile source(Here(L"kept-new.bin"), "new body");
    const FileHandle holder = HoldOpen(source.path());
    ASSERT_TRUE(holder);
    EXPECT_FALSE(ReplaceFileInOneStep(source.path(), target.path()));
    EXPECT_EQ("old", ReadWholeFile(target.path()));
}

TEST(FileReplace, ContentsReplaceOrLeaveTheOldFileWithNoTemporaryBehind)
{
    const ScratchFile target(Here(L"contents.bin"), "old");
    const std::string body(100000, 'x');
    ASSERT_TRUE(ReplaceFileContents(target.path(), body));
    EXPECT_EQ(body, ReadWholeFile(target.path()));
    EXPECT_TRUE(FindFiles(target.path() + L".*.new").empty());

    {
        const FileHandle holder = HoldOpen(target.path());
        ASSERT_TRUE(holder);
        DWORD error = 0;
        EXPECT_FALSE(ReplaceFileContents(target.path(), "newer", &error));
        EXPECT_NE(0u, error);
    }
    EXPECT_EQ(body, ReadWholeFile(target.path()));
    EXPECT_TRUE(FindFiles(target.path() + L".*.new").empty()) << "the temporary file stays behind";
}

TEST(FileReplace, AMissingFolderFailsWithoutAFile)
{
    const std::wstring path = Here(L"no-such-folder\\file.bin");
    DWORD error = 0;
    EXPECT_FALSE(ReplaceFileContents(path, "body", &error));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), error);
    EXPECT_FALSE(PathExists(path));
}

}  // namespace
