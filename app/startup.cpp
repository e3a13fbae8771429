#include "app/startup.h"

#include <shellapi.h>

#include <cwchar>
#include <memory>
#include <optional>

#include "net/publisher_key.h"
#include "ui/main_window.h"
#include "ui/scale.h"

namespace {

const wchar_t kWindowTitle[] = L"U盘装系统装机必备软件包";

struct ArgvDeleter {
    void operator()(wchar_t** argv) const { LocalFree(argv); }
};

}  // namespace

bool IsAutorunCommandLine(const wchar_t* commandLine)
{
    int count = 0;
    const std::unique_ptr<wchar_t*, ArgvDeleter> argv(CommandLineToArgvW(commandLine, &count));
    return argv && count >= 1 && std::wcscmp(argv.get()[0], L"/autorun") == 0;
}

RECT MainWindowRect(const RECT& workArea)
{
    const LONG halfWidth = (workArea.right - workArea.left) / 2;
    const LONG halfHeight = (workArea.bottom - workArea.top) / 2;
    RECT rect = ui::Scaled(RECT{-400, -299, 400, 300});
    OffsetRect(&rect, halfWidth, halfHeight);
    // Scaled, it can outgrow a small screen's work area (1366 x 768 at 125 %): the title and
    // its buttons stay on the screen, and the bottom goes past it.
    OffsetRect(&rect, rect.left < 0 ? -rect.left : 0, rect.top < 0 ? -rect.top : 0);
    return rect;
}

int RunMessageLoop()
{
    MSG msg;
    for (;;) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0)
            return static_cast<int>(msg.wParam);
        if (got == -1)
            continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

int RunMainWindow(int showCommand)
{
    RECT workArea = {};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &workArea, 0);
    const std::optional<P256PublicKey>& key = PublisherKey();
    CMainWindow window(key ? &*key : nullptr);
    {
        // The skin's pictures are decoded on a worker while the window system starts and the
        // window is built; it is over once the window has painted.
        const CPicturePrefetch prefetch(CMainWindow::StartUpPictures());
        if (!window.Create(nullptr, MainWindowRect(workArea), kWindowTitle, CMainWindow::kStyle))
            return 1;
        if (!g_autorunMode) {
            ShowWindow(window.hwnd(), showCommand);
            UpdateWindow(window.hwnd());
        }
    }
    return RunMessageLoop();
}
