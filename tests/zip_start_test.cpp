// The release zip's own program, started as a user starts it: SoftwareInstaller.exe from the
// folder that zip_start_test.sh unpacked (ZIP_PROGRAM_DIR), with the publisher's server
// names compiled in, so no server answers. Its window must still come up from the shipped
// skin and sample catalogue, and its close button must end it normally.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "catalog/catalogue.h"
#include "res/resource.h"
#include "tests/program_driver.h"

using driver::ChildById;
using driver::RunningProgram;
using driver::WindowText;

namespace {

std::wstring UnpackedFolder()
{
    const wchar_t* dir = _wgetenv(L"ZIP_PROGRAM_DIR");
    return dir ? dir : L"";
}

size_t TileCount(HWND list)
{
    size_t count = 0;
    while (ChildById(list, static_cast<int>(IDC_FIRST_TILE + count)))
        ++count;
    return count;
}

}  // namespace

TEST(ReleaseZip, ItsProgramShowsTheSampleCatalogueAndClosesWithCodeZero)
{
    const std::wstring dir = UnpackedFolder();
    ASSERT_FALSE(dir.empty()) << "ZIP_PROGRAM_DIR is not set";
    Catalogue catalogue;
    ASSERT_TRUE(LoadCatalogue(catalogue, dir + L"\\AppLib\\AppLib.xml"));
    ASSERT_FALSE(catalogue.empty());

    RunningProgram program(dir + L"\\SoftwareInstaller.exe");
    ASSERT_TRUE(program.started());
    const HWND main = program.WaitForTopLevel(L"U盘装系统装机必备软件包", true, 30000);
    ASSERT_NE(main, nullptr);

    for (size_t i = 0; i < catalogue.size(); ++i) {
        SCOPED_TRACE(i);
        const HWND button = ChildById(main, static_cast<int>(IDC_FIRST_GROUP + i));
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(WindowText(button), catalogue[i]->name);
        EXPECT_TRUE(IsWindowVisible(button));
    }
    EXPECT_EQ(ChildById(main, static_cast<int>(IDC_FIRST_GROUP + catalogue.size())), nullptr);
    const HWND list = ChildById(main, IDC_SOFTWARE_LIST);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(TileCount(list), catalogue[0]->applications.size()) << "the first group is shown";

    // The close button, pressed and released over it.
    const HWND close = ChildById(main, IDC_CLOSE);
    ASSERT_NE(close, nullptr);
    SendMessageW(close, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
    PostMessageW(close, WM_LBUTTONUP, 0, MAKELPARAM(3, 3));
    EXPECT_EQ(program.WaitForExit(15000), 0u);
}
