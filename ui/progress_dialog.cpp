#include "install/progress_dialog.h"

#include <algorithm>

#include "app/folders.h"
#include "install/install_run.h"
#include "res/resource.h"

namespace {

constexpr UINT_PTR kAnimationTimer = 1;
constexpr UINT kAnimationPeriodMs = 100;
constexpr UINT_PTR kRunTimer = 2;
constexpr UINT kRunPeriodMs = 200;
constexpr INT_PTR kDialogResult = 1;

constexpr RECT kCloseButtonRect = {372, 0, 401, 17};
constexpr int kSpinnerFrames = 16;
constexpr RECT kSpinnerRect = {23, 56, 23 + 40, 56 + 40};
constexpr int kBarLeft = 76;
constexpr int kBarTop = 79;
constexpr int kBarHeight = 14;
constexpr RECT kStatusRect = {74, 53, 401, 65};
constexpr COLORREF kStatusColour = RGB(10, 66, 107);
constexpr UINT kStatusFormat = DT_BOTTOM | DT_NOPREFIX | DT_END_ELLIPSIS;  // not single-line

// Replaces a plain file standing where the folder belongs.
void MakeSureFolderExists(const std::wstring& folder)
{
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return;
    DeleteFileW(folder.c_str());
    CreateDirectoryW(folder.c_str(), nullptr);
}

}  // namespace

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
    m_background.LoadFromResource(IDR_IMAGES_PROGRESS_BACKGROUND, L"IMAGES");
    m_closeImage.LoadFromResource(IDR_PNG_CLOSE, L"PNG");
    m_spinner.LoadFromResource(IDR_PNG_SPINNER, L"PNG");
    m_progressFill.LoadFromResource(IDR_PNG_PROGRESS_FILL, L"PNG");
}

LRESULT CProgressDlg::OnInitDialog()
{
    LOGFONTW font = {};
    font.lfHeight = 12;
    font.lfWeight = FW_NORMAL;
    lstrcpynW(font.lfFaceName, L"宋体", LF_FACESIZE);
    m_font.reset(CreateFontIndirectW(&font));
    LoadPictures();
    m_closeButton.Create(m_hwnd, kCloseButtonRect, L"关闭", WS_CHILD | WS_VISIBLE | BS_OWNERDRAW, 0,
                         IDC_PROGRESS_CLOSE);
    SetTimer(m_hwnd, kAnimationTimer, kAnimationPeriodMs, nullptr);
    SetTimer(m_hwnd, kRunTimer, kRunPeriodMs, nullptr);
    m_spinFrame = 0;
    m_statusText = L"正在下载...";
    MoveToWorkAreaCorner();
    m_downloadIndex = 0;
    m_installIndex = 0;
    m_percent = 0;
    m_installerProcess.reset();
    m_installerRunning = false;
    StartNextDownload();
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
    Gdiplus::Graphics graphics(dc);
    DrawImagePart(graphics, m_background, client, 0, 0, m_background.Width(), m_background.Height());
}

void CProgressDlg::DrawSpinnerAndBar(HDC dc)
{
    Gdiplus::Graphics graphics(dc);
    const int frameWidth = m_spinner.Width() / kSpinnerFrames;
    DrawImagePart(graphics, m_spinner, kSpinnerRect, m_spinFrame * frameWidth, 0, frameWidth, m_spinner.Height());
    const int fillWidth = static_cast<int>(m_percent / 100.0 * m_progressFill.Width());
    if (fillWidth > 0)
        DrawImagePart(graphics, m_progressFill, {kBarLeft, kBarTop, kBarLeft + fillWidth, kBarTop + kBarHeight}, 0, 0,
                      fillWidth, m_progressFill.Height());
}

// GDI text after the GDI+ drawing is done with the DC.
void CProgressDlg::DrawStatusLine(HDC dc)
{
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, kStatusColour);
    ui::SelectedObject font(dc, m_font.get());
    RECT rect = kStatusRect;
    DrawTextW(dc, m_statusText.c_str(), static_cast<int>(m_statusText.size()), &rect, kStatusFormat);
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
    Gdiplus::Graphics graphics(surface.dc());
    DrawSlice(graphics, m_closeImage, slice, item.rcItem);
}

// --- The run -------------------------------------------------------------------------------

LRESULT CProgressDlg::OnTimer(UINT_PTR id)
{
    if (id == kAnimationTimer) {
        InvalidateRect(m_hwnd, nullptr, FALSE);
        m_spinFrame = (m_spinFrame + 1) % kSpinnerFrames;
    } else if (id == kRunTimer) {
        if (CollectFinishedDownload()) {
            WatchInstaller();
            TakeNextStep();
        }
    }
    return 0;
}

bool CProgressDlg::CollectFinishedDownload()
{
    if (!m_download.IsFinished())
        return true;
    const bool succeeded = m_download.Succeeded();
    m_download.Release();
    if (m_downloadIndex >= m_programs.size())
        return true;
    const CatalogueProgram& program = *m_programs[m_downloadIndex];
    if (!succeeded) {
        FailDownload(program);
        return false;
    }
    ++m_downloadIndex;
    StartNextDownload();
    return true;
}

void CProgressDlg::FailDownload(const CatalogueProgram& program)
{
    KillTimer(m_hwnd, kAnimationTimer);
    KillTimer(m_hwnd, kRunTimer);
    const std::wstring text = L"下载\"" + program.name + L"\"失败，请检查网络连接，然后重试";
    MessageBoxW(m_hwnd, text.c_str(), L"下载失败", MB_OK | MB_ICONINFORMATION);
    EndDialog(kDialogResult);
}

void CProgressDlg::WatchInstaller()
{
    if (!m_installerRunning || !m_installerProcess)
        return;
    DWORD exitCode = 0;
    if (GetExitCodeProcess(m_installerProcess.get(), &exitCode) && exitCode != STILL_ACTIVE) {
        m_installerRunning = false;
        m_installerProcess.reset();  // nothing needs it any more; one handle per program would leak
    }
}

void CProgressDlg::TakeNextStep()
{
    if (m_installerRunning)
        return;
    if (m_installIndex >= m_programs.size()) {
        EndDialog(kDialogResult);
        return;
    }
    const CatalogueProgram& program = *m_programs[m_installIndex];
    if (m_installIndex < m_downloadIndex) {
        m_statusText = L"正在安装 - " + program.name;
        const double share = static_cast<double>(m_installIndex) / static_cast<double>(m_programs.size());
        m_percent = static_cast<int>(share * 100);
        ++m_installIndex;
        RunInstaller(program);
    } else {
        ShowDownloadProgress(program);
    }
}

// A GET longer than its HEAD announced counts past 100; the bar stops at its track's end.
void CProgressDlg::ShowDownloadProgress(const CatalogueProgram& program)
{
    m_statusText = L"正在下载 - " + program.name;
    if (m_download.IsFinished())  // an empty handle reads as finished
        return;
    m_percent = std::clamp(m_download.GetPercent(), 0, 100);
    m_statusText = L"正在下载(" + std::to_wstring(m_percent) + L"%) - " + program.name;
}

void CProgressDlg::StartNextDownload()
{
    if (m_downloadIndex >= m_programs.size())
        return;
    const std::wstring folder = GetSoftDir();
    MakeSureFolderExists(folder);
    for (; m_downloadIndex < m_programs.size(); ++m_downloadIndex) {
        const CatalogueProgram& program = *m_programs[m_downloadIndex];
        if (!IsAcceptedInstall(program.install, folder))
            continue;  // refused: never downloaded, never started
        const std::wstring path = InstallerPath(folder, InstallerFileName(program.install));
        // With a hash, the download's thread checks a file already there and fetches it again
        // when it differs.
        if (!PathExists(path) || !program.sha256.empty()) {
            m_download.Start(program.url, path, program.sha256);
            return;
        }
        // On disk from an earlier run and no hash to check it against: used as it is.
    }
}

void CProgressDlg::RunInstaller(const CatalogueProgram& program)
{
    m_installerProcess.reset();
    const std::wstring folder = GetSoftDir();
    std::wstring file;
    std::wstring parameters;
    if (!IsAcceptedInstall(program.install, folder) || !SplitInstallCommand(program.install, file, parameters))
        return;  // nothing started; the next tick moves on
    m_installerRunning = true;
    m_installerProcess = RunElevated(InstallerPath(folder, file), parameters);
    if (!m_installerProcess)
        m_installerRunning = false;
}

LRESULT CProgressDlg::OnClose()
{
    m_download.Cancel();           // the download thread removes its temporary file itself
    m_installerProcess.reset();    // the installer keeps running
    EndDialog(kDialogResult);
    return 0;
}

LRESULT CProgressDlg::OnDestroy()
{
    KillTimer(m_hwnd, kAnimationTimer);
    KillTimer(m_hwnd, kRunTimer);
    return 0;
}
