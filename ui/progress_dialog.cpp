#include "ui/progress_dialog.h"

#include "base/folders.h"
#include "install/install_log.h"
#include "res/resource.h"
#include "ui/scale.h"

namespace {

constexpr UINT_PTR kAnimationTimer = 1;
constexpr UINT kAnimationPeriodMs = 100;
constexpr UINT_PTR kRunTimer = 2;
constexpr UINT kRunPeriodMs = 200;
constexpr INT_PTR kDialogResult = 1;

// Places on the background in 96-dpi pixels, shown through ui::Scaled.
constexpr RECT kCloseButtonRect = {372, 0, 401, 17};
constexpr int kSpinnerFrames = 16;
constexpr RECT kSpinnerRect = {23, 56, 23 + 40, 56 + 40};
constexpr int kBarLeft = 76;
constexpr int kBarTop = 79;
constexpr int kBarHeight = 14;
constexpr RECT kStatusRect = {74, 53, 401, 65};
constexpr LONG kStatusFontHeight = 12;
constexpr COLORREF kStatusColour = RGB(10, 66, 107);
constexpr UINT kStatusFormat = DT_BOTTOM | DT_NOPREFIX | DT_END_ELLIPSIS;  // not single-line

}  // namespace

void ShowInstallReport(HWND owner, const std::vector<ProgramResult>& results)
{
    const std::wstring report = InstallReport(results);
    if (!report.empty())
        MessageBoxW(owner, report.c_str(), L"安装结果", MB_OK | MB_ICONINFORMATION);
}

const ProgressPictures& ProgramProgressPictures()
{
    static const ProgressPictures pictures{{IDR_IMAGES_PROGRESS_BACKGROUND, L"IMAGES"},
                                           {IDR_PNG_CLOSE, L"PNG"},
                                           {IDR_PNG_SPINNER, L"PNG"},
                                           {IDR_PNG_PROGRESS_FILL, L"PNG"}};
    return pictures;
}

INT_PTR CProgressDlg::DoModal(HWND owner)
{
    return ui::Dialog::DoModal(owner, IDD_PROGRESS);
}

LRESULT CProgressDlg::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG: return OnInitDialog();
    case WM_PAINT: return OnPaint();
    case WM_PRINTCLIENT: return OnPrintClient(reinterpret_cast<HDC>(wParam));
    case WM_ERASEBKGND: return 1;
    case WM_NCHITTEST: return HTCAPTION;  // dragged by any point outside the close button
    case WM_DRAWITEM: return OnDrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
    case WM_COMMAND: return LOWORD(wParam) == IDC_PROGRESS_CLOSE ? OnClose() : DefaultHandling(message, wParam, lParam);
    case WM_TIMER: return OnTimer(wParam);
    case WM_DESTROY: return OnDestroy();
    default: return DefaultHandling(message, wParam, lParam);
    }
}

void CProgressDlg::LoadPictures()
{
    m_background.LoadFromResource(m_pictures.background.id, m_pictures.background.type);
    m_closeImage.LoadFromResource(m_pictures.closeButton.id, m_pictures.closeButton.type);
    m_spinner.LoadFromResource(m_pictures.spinner.id, m_pictures.spinner.type);
    m_progressFill.LoadFromResource(m_pictures.progressFill.id, m_pictures.progressFill.type);
}

LRESULT CProgressDlg::OnInitDialog()
{
    LOGFONTW font = {};
    font.lfHeight = ui::Scaled(kStatusFontHeight);
    font.lfWeight = FW_NORMAL;
    lstrcpynW(font.lfFaceName, L"宋体", LF_FACESIZE);
    m_font.reset(CreateFontIndirectW(&font));
    LoadPictures();
    m_closeButton.Create(m_hwnd, ui::Scaled(kCloseButtonRect), L"关闭", WS_CHILD | WS_VISIBLE | BS_OWNERDRAW, 0,
                         IDC_PROGRESS_CLOSE);
    SetTimer(m_hwnd, kAnimationTimer, kAnimationPeriodMs, nullptr);
    SetTimer(m_hwnd, kRunTimer, kRunPeriodMs, nullptr);
    m_spinFrame = 0;
    MoveToWorkAreaCorner();
    m_run.emplace(m_programs, InstallerPlaces(GetSoftDir(), m_everyProgram.empty() ? m_programs : m_everyProgram),
                  m_platform, m_keyedBuild);
    for (const CatalogueProgram* program : m_upToDate)
        m_run->MarkUpToDate(*program);
    m_run->WriteLogTo(GetAppLibDir() + L"\\" + kInstallLogName);
    m_run->Start();
    return 0;  // no default focus
}

// Right and bottom edges on the work area's own: measured from its origin instead, the
// dialog would stand a taskbar's width short of the corner when the taskbar is at the left
// or the top.
void CProgressDlg::MoveToWorkAreaCorner()
{
    RECT workArea = {};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &workArea, 0);
    RECT window = {};
    GetWindowRect(m_hwnd, &window);
    SetWindowPos(m_hwnd, nullptr, workArea.right - ui::Width(window), workArea.bottom - ui::Height(window), 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// --- Painting ------------------------------------------------------------------------------

LRESULT CProgressDlg::OnPaint()
{
    ui::PaintScope paint(m_hwnd);
    CMemorySurface surface(paint.dc(), ui::ClientRect(m_hwnd));
    DrawBackground(surface.dc());
    DrawSpinnerAndBar(surface.dc());
    DrawStatusLine(surface.dc());
    return 0;
}

// What stands behind the close button, asked for by its drawing (DrawParentBackground).
LRESULT CProgressDlg::OnPrintClient(HDC dc)
{
    DrawBackground(dc);
    return 0;
}

void CProgressDlg::DrawBackground(HDC dc)
{
    const RECT client = ui::ClientRect(m_hwnd);
    if (!m_background.bitmap()) {
        FillWhite(dc, client);  // not whatever the surface happened to hold
        return;
    }
    // Onto the surface's black, like the window's background: a template larger than the
    // picture stretches it both ways.
    m_readyBackground.DrawOverBlack(dc, m_background, client, {0, 0, m_background.Width(), m_background.Height()});
}

void CProgressDlg::DrawSpinnerAndBar(HDC dc)
{
    const int frameWidth = m_spinner.Width() / kSpinnerFrames;
    m_readySpinner.Draw(dc, m_spinner, ui::Scaled(kSpinnerRect),
                        {m_spinFrame * frameWidth, 0, (m_spinFrame + 1) * frameWidth, m_spinner.Height()});
    const int fillWidth = static_cast<int>(m_run->Percent() / 100.0 * m_progressFill.Width());
    const RECT bar = {kBarLeft, kBarTop, kBarLeft + fillWidth, kBarTop + kBarHeight};
    if (fillWidth > 0)
        m_readyFill.Draw(dc, m_progressFill, ui::Scaled(bar), {0, 0, fillWidth, m_progressFill.Height()});
}

// GDI text over the pictures.
void CProgressDlg::DrawStatusLine(HDC dc)
{
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, kStatusColour);
    ui::SelectedObject font(dc, m_font.get());
    RECT rect = ui::Scaled(kStatusRect);
    const std::wstring& status = m_run->StatusText();
    DrawTextW(dc, status.c_str(), static_cast<int>(status.size()), &rect, kStatusFormat);
}

LRESULT CProgressDlg::OnDrawItem(const DRAWITEMSTRUCT& item)
{
    if (item.CtlID == IDC_PROGRESS_CLOSE)
        DrawCloseButton(item);
    return 1;
}

// The normal state is a cross on a clear ground: the dialog's background goes under it, or
// the clear pixels would show whatever the item DC held (the hover state drawn last, say).
void CProgressDlg::DrawCloseButton(const DRAWITEMSTRUCT& item)
{
    int slice = SliceNormal;
    if (item.itemState & ODS_SELECTED)
        slice = SlicePressed;
    else if (m_closeButton.IsHover())
        slice = SliceHover;
    CMemorySurface surface(item.hDC, item.rcItem);
    DrawParentBackground(item.hwndItem, surface.dc());
    m_readyClose.Draw(surface.dc(), m_closeImage, slice, item.rcItem);
}

// --- The run -------------------------------------------------------------------------------

LRESULT CProgressDlg::OnTimer(UINT_PTR id)
{
    if (id == kAnimationTimer) {
        InvalidateRect(m_hwnd, nullptr, FALSE);
        m_spinFrame = (m_spinFrame + 1) % kSpinnerFrames;
    } else if (id == kRunTimer) {
        TickRun();
    }
    return 0;
}

// The run never repaints: the animation's timer shows its changes.
void CProgressDlg::TickRun()
{
    switch (m_run->Tick()) {
    case InstallRun::Step::Going: break;
    case InstallRun::Step::Finished:
        m_endedNormally = true;
        EndDialog(kDialogResult);
        break;
    case InstallRun::Step::DownloadFailed:
    case InstallRun::Step::Refused: FailRun(m_run->FailureOfRun()); break;
    case InstallRun::Step::WindowsInstallerStuck: AskAboutWindowsInstaller(); break;
    case InstallRun::Step::StillInstallingStuck: AskAboutStillInstalling(); break;
    }
}

// The run's timer stops while the box is up: the box's own message loop would tick the run,
// and ask again, underneath it. True unless the user answers "否".
bool CProgressDlg::UserKeepsWaiting(const std::wstring& text, const wchar_t* caption)
{
    KillTimer(m_hwnd, kRunTimer);
    const bool keep = MessageBoxW(m_hwnd, text.c_str(), caption, MB_YESNO | MB_ICONINFORMATION) != IDNO;
    SetTimer(m_hwnd, kRunTimer, kRunPeriodMs, nullptr);
    return keep;
}

void CProgressDlg::AskAboutWindowsInstaller()
{
    const std::wstring text = L"其他安装程序已运行两分钟以上，仍未完成。\n\n继续等待吗？选择“否”跳过“" +
                              m_run->WaitingProgram()->name + L"”。";
    if (UserKeepsWaiting(text, L"正在等待其他安装程序完成"))
        m_run->KeepWaiting();
    else
        m_run->SkipWaitingProgram();
}

// About a process the last installer started that has been installing for long.
void CProgressDlg::AskAboutStillInstalling()
{
    const std::wstring text = m_run->StillRunningName() + L" 仍在运行。继续等待，还是开始下一个？\n\n选择“否”开始下一个。";
    if (UserKeepsWaiting(text, L"正在等待安装完成"))
        m_run->KeepWaiting();
    else
        m_run->StartNextProgram();
}

namespace {

// Why the run could not fetch the program: its download failed, or this keyed build cannot
// vouch for what it would start, which no network can mend.
std::wstring FailureText(const InstallRun::Failure& failure)
{
    const std::wstring quoted = L"\"" + failure.program->name + L"\"";
    switch (failure.verdict) {
    case StartVerdict::NoPin:
        return quoted + L"没有sha256校验值，本程序只下载和安装发布者校验过的安装程序";
    case StartVerdict::StartsAnotherFile:
        return quoted + L"的安装值启动的不是它下载的文件，本程序不启动未经校验的文件";
    default: break;
    }
    // A network failure keeps the one sentence; any other reason has a line of its own.
    if (failure.reason.kind == FailureKind::Network)
        return L"下载" + quoted + L"失败，" + FailureWords(failure.reason);
    return L"下载" + quoted + L"失败\r\n" + FailureWords(failure.reason);
}

}  // namespace

void CProgressDlg::FailRun(const InstallRun::Failure& failure)
{
    KillTimer(m_hwnd, kAnimationTimer);
    KillTimer(m_hwnd, kRunTimer);
    MessageBoxW(m_hwnd, FailureText(failure).c_str(), L"下载失败", MB_OK | MB_ICONINFORMATION);
    EndDialog(kDialogResult);
}

LRESULT CProgressDlg::OnClose()
{
    m_run->Stop();
    EndDialog(kDialogResult);
    return 0;
}

LRESULT CProgressDlg::OnDestroy()
{
    KillTimer(m_hwnd, kAnimationTimer);
    KillTimer(m_hwnd, kRunTimer);
    return 0;
}
