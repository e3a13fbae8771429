// The demo behind `./dev run`: the real program against a local catalogue server on the
// compiled-in ports. The server hands out the sample catalogue rewritten to point at
// itself, its icons, and the harmless demo installer under every installer's name.
//
//   demo_run                      runs the program until the user closes it
//   demo_run --screenshots DIR    clicks through a one-key install of three programs,
//                                 writes main.png and progress.png into DIR, and ends

#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "base/folders.h"
#include "catalog/catalogue.h"
#include "net/servers.h"
#include "res/resource.h"
#include "tests/gui_harness.h"
#include "tests/loopback_http_server.h"
#include "tests/program_driver.h"
#include "tests/test_files.h"

namespace {

const wchar_t kTitle[] = L"U盘装系统装机必备软件包";

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// The sample catalogue names placeholder hosts; the demo serves them all itself.
std::string RewrittenCatalogue(const std::string& xml)
{
    const std::string self = "http://" + Narrow(kCatalogueServer);
    return ReplaceAll(ReplaceAll(xml, "http://applib.example.com", self), "http://download.example.com", self);
}

void ServeFolder(LoopbackHttpServer& server, const std::wstring& dir, const std::string& urlPath)
{
    for (const auto& name : FindFiles(dir + L"\\*.png"))
        server.Serve(urlPath + "/" + Narrow(name), Body(ReadWholeFile(dir + L"\\" + name)));
}

void ServeInstallers(LoopbackHttpServer& server, const std::wstring& catalogueFile)
{
    const std::string installer = ReadWholeFile(GetModuleDir() + L"\\demo_installer.exe");
    Catalogue catalogue;
    LoadCatalogue(catalogue, catalogueFile);
    const std::wstring prefix = L"http://" + std::wstring(kCatalogueServer);
    for (const auto& group : catalogue) {
        for (const auto& program : group->applications) {
            if (program->url.rfind(prefix, 0) == 0)
                server.Serve(Narrow(program->url.substr(prefix.size())), Body(installer));
        }
    }
}

bool Save(HWND hwnd, const std::wstring& path)
{
    const bool saved = gui_test::Capture(hwnd).SavePng(path);
    std::printf("%s %ls\n", saved ? "screenshot" : "could not write", path.c_str());
    return saved;
}

// The servers the program talks to, and the catalogue they hand out.
struct DemoServers {
    LoopbackHttpServer& catalogue;
    LoopbackHttpServer& update;
    const std::wstring& catalogueFile;
};

bool Painted(HWND hwnd)
{
    return !GetUpdateRect(hwnd, nullptr, FALSE);
}

// The window as it stays: the start's refresh has fetched the catalogue (the same bytes, so
// nothing is reloaded) and the update check its description, and nothing waits to be painted.
bool WaitUntilSettled(HWND main, const DemoServers& servers)
{
    return WaitUntil([&] {
        if (servers.catalogue.CountRequests("GET", "/AppLib/AppLib.xml") == 0 ||
            servers.update.CountRequests("GET", "/up/pelmarup.txt") == 0 || !Painted(main))
            return false;
        for (HWND child = GetWindow(main, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
            if (!Painted(child))
                return false;
        }
        return true;
    }, 30000);
}

// The title of the demo installer's window for program `index` of the first group: it names
// itself by its file name, the install value's first word without ".exe".
std::wstring InstallerTitle(const std::wstring& catalogueFile, size_t index)
{
    Catalogue catalogue;
    LoadCatalogue(catalogue, catalogueFile);
    if (catalogue.empty() || catalogue.front()->applications.size() <= index)
        return L"";
    std::wstring file = catalogue.front()->applications[index]->install;
    file = file.substr(0, file.find(L' '));
    return L"正在安装 " + file.substr(0, file.rfind(L'.'));
}

// A one-key install of the first three programs of the first group, photographed mid-run.
int TakeScreenshots(driver::RunningProgram& program, const DemoServers& servers, const std::wstring& dir)
{
    const HWND main = program.WaitForTopLevel(kTitle, true, 30000);
    if (!main)
        return 1;
    const HWND list = driver::ChildById(main, IDC_SOFTWARE_LIST);
    WaitUntil([&] { return driver::ChildById(list, IDC_FIRST_TILE) != nullptr; }, 10000);
    if (!WaitUntilSettled(main, servers))
        std::fprintf(stderr, "demo: the window did not settle; the screenshot shows it as it is\n");
    RedrawWindow(main, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    bool ok = Save(main, dir + L"\\main.png");

    for (int id = IDC_FIRST_TILE; id < IDC_FIRST_TILE + 3; ++id)
        SendMessageW(driver::ChildById(driver::ChildById(list, id), IDC_TILE_CHECK_BOX), BM_CLICK, 0, 0);
    const HWND oneKey = driver::ChildById(main, IDC_ONE_KEY_INSTALL);
    SendMessageW(oneKey, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
    PostMessageW(oneKey, WM_LBUTTONUP, 0, MAKELPARAM(3, 3));

    HWND dialog = nullptr;
    WaitUntil([&] {
        for (HWND hwnd : program.TopLevelWindows(true)) {
            if (driver::ClassName(hwnd) == L"#32770" && (GetWindowLongW(hwnd, GWL_EXSTYLE) & WS_EX_TOPMOST))
                dialog = hwnd;
        }
        return dialog != nullptr;
    }, 10000);
    if (!dialog)
        return 1;
    // Mid-run: the second installer shows its window, and the bar shows the share of
    // installers started.
    const std::wstring second = InstallerTitle(servers.catalogueFile, 1);
    WaitUntil([&] {
        const HWND installer = FindWindowW(nullptr, second.c_str());
        return installer && IsWindowVisible(installer) && Painted(dialog);
    }, 30000);
    ok = Save(dialog, dir + L"\\progress.png") && ok;
    SendMessageW(driver::ChildById(dialog, 157), BM_CLICK, 0, 0);
    WaitUntil([&] { return IsWindowVisible(main) != FALSE; }, 10000);
    SendMessageW(driver::ChildById(main, IDC_CLOSE), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
    SendMessageW(driver::ChildById(main, IDC_CLOSE), WM_LBUTTONUP, 0, MAKELPARAM(3, 3));
    program.WaitForExit(10000);
    return ok ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const bool screenshots = argc >= 3 && std::wstring(argv[1]) == L"--screenshots";
    driver::ProgramCopy copy(L"demo");
    const std::wstring catalogueFile = copy.appLib() + L"\\AppLib.xml";
    const std::string catalogue = RewrittenCatalogue(ReadWholeFile(catalogueFile));
    WriteWholeFile(catalogueFile, catalogue);

    LoopbackHttpServer catalogueServer(PortOfServer(kCatalogueServer));
    LoopbackHttpServer updateServer(PortOfServer(kUpdateServer));
    if (!catalogueServer.IsListening() || !updateServer.IsListening()) {
        std::fprintf(stderr, "demo: the ports of %ls and %ls are taken\n", kCatalogueServer, kUpdateServer);
        return 1;
    }
    catalogueServer.Serve("/AppLib/AppLib.xml", Body(catalogue));
    ServeFolder(catalogueServer, copy.appLib() + L"\\GroupIcons", "/AppLib/GroupIcons");
    ServeFolder(catalogueServer, copy.appLib() + L"\\AppIcons", "/AppLib/AppIcons");
    ServeInstallers(catalogueServer, catalogueFile);
    updateServer.Serve("/up/pelmarup.txt", Body("[Update]\r\nVersion=1.1.0\r\n"));

    driver::RunningProgram program(copy.exe());
    if (!program.started()) {
        std::fprintf(stderr, "demo: SoftwareInstaller.exe did not start\n");
        return 1;
    }
    if (screenshots)
        return TakeScreenshots(program, {catalogueServer, updateServer, catalogueFile}, argv[2]);
    std::printf("demo: the program runs; close its window to end the demo\n");
    std::fflush(stdout);
    const DWORD code = program.WaitForExit(INFINITE);
    return static_cast<int>(code);
}
