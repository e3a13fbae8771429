#include "ui/main_window.h"

#include <memory>
#include <process.h>

#include "base/autorun.h"
#include "base/folders.h"
#include "catalog/catalogue_file.h"
#include "catalog/refresh.h"
#include "install/update_check.h"
#include "net/download.h"
#include "ui/fonts.h"
#include "ui/messages.h"
#include "ui/progress_dialog.h"
#include "ui/scale.h"

namespace {

// Posted to itself: says that the catalogue on disk was refused, once the window shows.
constexpr UINT WM_TELL_CATALOGUE_REFUSED = WM_APP + 16;
constexpr wchar_t kRefusedCatalogueCaption[] = L"出错了";
// Between the catalogue's path and the rest of the refusal's text.
constexpr wchar_t kNotVerifiedReason[] = L"”未通过发布者的签名验证";
constexpr wchar_t kOlderReason[] = L"”比本机已经用过的目录旧，可能被人换成了旧版";

constexpr UINT kRefreshWatchPeriodMs = 500;
constexpr UINT kNetworkWaitPeriodMs = 10000;

// Layout, in 96-dpi client pixels, shown through ui::Scaled.
constexpr RECT kMinimizeRect = {741, 1, 770, 18};
constexpr RECT kCloseRect = {770, 1, 799, 18};
constexpr RECT kSelectAllRect = {169, 560, 269, 584};
constexpr RECT kListRect = {4, 87, 796, 543};
constexpr RECT kFirstGroupRect = {22, 2, 102, 87};
constexpr LONG kGroupButtonStep = 80;
constexpr LONG kOneKeyRight = 797;
constexpr LONG kOneKeyBottom = 590;

// In the skin folder.
constexpr wchar_t kBackgroundFile[] = L"window_background.jpg";
constexpr wchar_t kOneKeyFile[] = L"onekey_button.png";
constexpr wchar_t kGroupBackgroundFile[] = L"group_button_background.png";

constexpr DWORD kImageButtonStyle = WS_CHILD | WS_VISIBLE;
constexpr int kSelectAllBoxSize = 14;
constexpr int kSelectAllLabelOffset = 22;
constexpr int kSomeSelectedInset = 4;  // the square of "some" inside the box
constexpr COLORREF kSomeSelectedColour = RGB(5, 90, 170);

ui::UniqueIcon LoadAppIcon(int size)
{
    return ui::UniqueIcon(static_cast<HICON>(
        LoadImageW(ui::ModuleInstance(), MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON, size, size, LR_DEFAULTCOLOR)));
}

const ui::WindowClass kWindowClass = ui::SelfDrawnClass(L"Tovarin:CMainWindow");
}  // namespace

CMainWindow::~CMainWindow()
{
    ClearCatalogue(m_catalogue);
}

CMainWindow::CMainWindow(const P256PublicKey* publisherKey)
    : ui::Window(kWindowClass), m_publisherKey(publisherKey)
{
}

std::vector<PictureSource> CMainWindow::StartUpPictures()
{
    std::vector<PictureSource> pictures;
    for (const wchar_t* file : {kBackgroundFile, kOneKeyFile, kGroupBackgroundFile, CSWListBox::kInstallButtonFile})
        pictures.push_back(PictureSource::File(GetSkinDir() + L"\\" + file));
    for (UINT id : {IDR_PNG_MINIMIZE, IDR_PNG_CLOSE, IDR_PNG_SCROLL_TRACK, IDR_PNG_SCROLL_THUMB})
        pictures.push_back(PictureSource::Resource(id, L"PNG"));
    return pictures;
}

LRESULT CMainWindow::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE: return OnCreate();
    case WM_DESTROY: return OnDestroy();
    case WM_ERASEBKGND: return 1;
    case WM_NCHITTEST: return HTCAPTION;  // dragged by any point of its background
    case WM_PAINT: return OnPaint();
    case WM_PRINTCLIENT: PaintBackground(reinterpret_cast<HDC>(wParam)); return 0;
    case WM_SETFOCUS: SetFocus(m_list.hwnd()); return 0;
    // Clicked, the select-all box keeps the focus, and wheel input sent to it ends up here.
    case WM_MOUSEWHEEL: return SendMessageW(m_list.hwnd(), message, wParam, lParam);
    case WM_TIMER: return OnTimer(wParam);
    case WM_DRAWITEM: return OnDrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
    case WM_ITEM_INSTALL: InstallOne(wParam); return 0;
    case WM_ITEM_CHECK_CHANGED: UpdateSelectAllState(); return 0;
    case WM_READ_INSTALLED: ReadInstalledStates(); return 0;
    case WM_START_BACKGROUND_TASKS: StartBackgroundTasks(); return 0;
    case WM_COMMAND: return OnCommand(message, wParam, lParam);
    case WM_SHOWWINDOW: return OnShowWindow(message, wParam, lParam);
    case WM_TELL_CATALOGUE_REFUSED: TellCatalogueRefused(); return 0;
    default: return DefaultHandling(message, wParam, lParam);
    }
}

LRESULT CMainWindow::OnCreate()
{
    SetWindowIcons();
    LoadCatalogueFromDisk();  // an unreadable or refused one shows no group
    // Decoded on a worker, where a prefetch runs, while the other children are made.
    CPicturePrefetch::Request(GroupIcons());
    if (!m_background.LoadFromFile(GetSkinDir() + L"\\" + kBackgroundFile)) {
        ShowSkinError(L"加载Skin/window_background.jpg出错");
        return -1;  // fail CreateWindowEx
    }
    if (!CreateChildren())
        return -1;
    if (!LoadGroupSkin())
        return -1;
    CreateGroupButtons();
    SelectFirstGroup();
    // The registry is read and the background threads start after the first paint: the
    // tiles show without their marks first.
    PostMessageW(m_hwnd, WM_READ_INSTALLED, 0, 0);
    if (g_autorunMode)
        SetTimer(m_hwnd, kNetworkWaitTimer, kNetworkWaitPeriodMs, nullptr);
    else
        PostMessageW(m_hwnd, WM_START_BACKGROUND_TASKS, 0, 0);
    return 0;
}

void CMainWindow::SetWindowIcons()
{
    m_bigIcon = LoadAppIcon(ui::Scaled(32));
    m_smallIcon = LoadAppIcon(ui::Scaled(16));
    SendMessageW(m_hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_bigIcon.get()));
    SendMessageW(m_hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_smallIcon.get()));
}

// The window buttons, the select-all box, the one-key button and the list. False (after
// the list or this window has told the user why) when the window cannot be built.
bool CMainWindow::CreateChildren()
{
    // A window button whose picture does not load is simply absent.
    m_minimizeButton.CreateFromResource(m_hwnd, ui::Scaled(kMinimizeRect), L"最小化", IDC_MINIMIZE, IDR_PNG_MINIMIZE);
    m_closeButton.CreateFromResource(m_hwnd, ui::Scaled(kCloseRect), L"关闭", IDC_CLOSE, IDR_PNG_CLOSE);

    m_selectAllState = SelectNone;
    m_selectAllBox.Create(m_hwnd, ui::Scaled(kSelectAllRect), IDC_SELECT_ALL);
    m_font = ui::CreateSkinFont(FW_NORMAL);

    // The one-key button is sized from its picture: one slice wide, as tall as the picture.
    const std::wstring oneKeyPath = GetSkinDir() + L"\\" + kOneKeyFile;
    CGdiPlusBitmapResource oneKeyPicture;
    if (!oneKeyPicture.LoadFromFile(oneKeyPath)) {
        ShowSkinError(L"加载Skin/onekey_button.png出错");
        return false;
    }
    const RECT oneKeyRect = {kOneKeyRight - SliceWidth(oneKeyPicture), kOneKeyBottom - oneKeyPicture.Height(),
                             kOneKeyRight, kOneKeyBottom};
    m_installButton.CreateFromPicture(m_hwnd, ui::Scaled(oneKeyRect), IDC_ONE_KEY_INSTALL, oneKeyPicture);

    // Clipping its children keeps the list's white ground from going under every tile first.
    if (!m_list.Create(m_hwnd, ui::Scaled(kListRect), L"软件列表", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0,
                       IDC_SOFTWARE_LIST))
        return false;  // the list has shown its own message
    SetFocus(m_list.hwnd());
    return true;
}

LRESULT CMainWindow::OnDestroy()
{
    m_installed.clear();
    ClearCatalogue(m_catalogue);  // the tiles go with their windows right after this
    KillTimer(m_hwnd, kRefreshWatchTimer);
    KillTimer(m_hwnd, kNetworkWaitTimer);
    PostQuitMessage(0);
    return 0;
}

LRESULT CMainWindow::OnPaint()
{
    ui::PaintScope paint(m_hwnd);
    PaintBackground(paint.dc());
    return 0;
}

// The background picture stretched over the client area, from its ready copy: one BitBlt,
// clipped to what the DC shows. Children ask for the part behind them through
// WM_PRINTCLIENT, with the DC's origin moved to their position.
void CMainWindow::PaintBackground(HDC dc)
{
    m_backgroundReady.DrawOverBlack(dc, m_background, ui::ClientRect(m_hwnd),
                                    {0, 0, m_background.Width(), m_background.Height()});
}

bool CMainWindow::LoadGroupSkin()
{
    if (!m_groupBackground.LoadFromFile(GetSkinDir() + L"\\" + kGroupBackgroundFile)) {
        ShowSkinError(L"加载Skin/group_button_background.png失败");
        return false;
    }
    return true;
}

// One button per group, side by side from the left and never wrapped: from the tenth on
// they run past the window's right edge. Groups after the twentieth get none.
void CMainWindow::CreateGroupButtons()
{
    m_currentGroup = -1;
    RECT rect = kFirstGroupRect;
    for (size_t i = 0; i < m_catalogue.size() && i < kMaxGroupButtons; ++i) {
        const CatalogueGroup& group = *m_catalogue[i];
        CGroupButton& button = m_groupButtons[i];
        button.SetSkin(&m_groupBackground, m_font.get());
        // Button 9 reaches under the minimise and close buttons: clipped by them, it never
        // paints over them.
        button.Create(m_hwnd, ui::Scaled(rect), group.name.c_str(), WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, 0,
                      IDC_FIRST_GROUP + static_cast<UINT>(i));
        button.icon().LoadFromFile(GroupIconPath(group));  // a missing icon leaves the place empty
        OffsetRect(&rect, kGroupButtonStep, 0);
    }
}

std::vector<PictureSource> CMainWindow::GroupIcons() const
{
    std::vector<PictureSource> icons;
    for (size_t i = 0; i < m_catalogue.size() && i < kMaxGroupButtons; ++i)
        icons.push_back(PictureSource::File(GroupIconPath(*m_catalogue[i])));
    return icons;
}

void CMainWindow::DestroyGroupButtons()
{
    for (CGroupButton& button : m_groupButtons) {
        if (!button.IsWindow())
            continue;
        button.ClearLooks();
        button.icon().Empty();
        DestroyWindow(button.hwnd());
    }
}

// Pressing the first button selects its group exactly as a user's press would: the button
// marks itself and its WM_COMMAND reaches SelectGroup before the send returns.
void CMainWindow::SelectFirstGroup()
{
    if (m_groupButtons[0].IsWindow())
        SendMessageW(m_groupButtons[0].hwnd(), WM_LBUTTONDOWN, 0, 0);
}

void CMainWindow::ReloadCatalogue()
{
    // The tiles borrow the programs about to be deleted: empty the list first, so that a new
    // catalogue without groups leaves no tile behind either.
    m_list.SetItems({});
    m_installed.clear();
    ClearCatalogue(m_catalogue);
    LoadCatalogueFromDisk();
    DestroyGroupButtons();
    CreateGroupButtons();
    m_selectAllState = SelectNone;
    InvalidateSelectAllBox();
    SelectFirstGroup();
    ReadInstalledStates();
}

// One pass over the Uninstall entries for the whole catalogue.
void CMainWindow::ReadInstalledStates()
{
    m_installed = FindInstalledPrograms(m_catalogue, ReadUninstallEntries());
    m_list.ShowInstalledStates(m_installed);
}

// In a keyed build a catalogue is shown only when its signature beside it verifies and it is
// not older than one this user has taken; one refused is not used at all, as if there were
// none, and the user hears why.
void CMainWindow::LoadCatalogueFromDisk()
{
    const CatalogueFileLoad load = LoadCatalogueFileUnlessOlder(m_catalogue, GetCatalogueFile(), m_publisherKey);
    m_refusalToTell.reset();
    if (load == CatalogueFileLoad::NotVerified || load == CatalogueFileLoad::Older)
        m_refusalToTell = load;
    if (m_refusalToTell && IsWindowVisible(m_hwnd))
        PostMessageW(m_hwnd, WM_TELL_CATALOGUE_REFUSED, 0, 0);
}

// Told once the window is on screen, after an /autorun start too; the refresh is already
// under way then, and a catalogue it brings is swapped in behind the message.
LRESULT CMainWindow::OnShowWindow(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (wParam && m_refusalToTell)
        PostMessageW(m_hwnd, WM_TELL_CATALOGUE_REFUSED, 0, 0);
    return DefaultHandling(message, wParam, lParam);
}

void CMainWindow::TellCatalogueRefused()
{
    if (!m_refusalToTell)
        return;  // told already, or a good catalogue came meanwhile
    const wchar_t* reason = *m_refusalToTell == CatalogueFileLoad::Older ? kOlderReason : kNotVerifiedReason;
    m_refusalToTell.reset();
    const std::wstring text = L"软件目录文件“" + GetCatalogueFile() + reason +
                              L"，其中的软件不会显示，也不会安装，程序将等待从服务器取得新的目录。";
    MessageBoxW(m_hwnd, text.c_str(), kRefusedCatalogueCaption, MB_OK | MB_ICONINFORMATION);
}

void CMainWindow::SelectGroup(int index)
{
    if (m_currentGroup >= 0)
        m_groupButtons[m_currentGroup].SetSelected(false);
    m_selectAllState = SelectNone;
    InvalidateSelectAllBox();
    m_currentGroup = index;
    m_list.SetItems(m_catalogue[static_cast<size_t>(index)]->applications);  // new tiles start unchecked
    m_list.ShowInstalledStates(m_installed);
}

LRESULT CMainWindow::OnCommand(UINT message, WPARAM wParam, LPARAM lParam)
{
    const UINT id = LOWORD(wParam);
    switch (id) {
    case IDC_MINIMIZE: ShowWindow(m_hwnd, SW_MINIMIZE); return 0;
    case IDC_CLOSE: PostMessageW(m_hwnd, WM_CLOSE, 0, 0); return 0;
    case IDC_SELECT_ALL:
        if (HIWORD(wParam) == BN_CLICKED)
            ToggleSelectAll();
        return 0;  // other notifications of the box are swallowed
    case IDC_ONE_KEY_INSTALL: InstallChecked(); return 0;
    default: break;
    }
    if (id >= IDC_FIRST_GROUP && id < IDC_FIRST_GROUP + kMaxGroupButtons) {
        const int index = static_cast<int>(id - IDC_FIRST_GROUP);
        if (index != m_currentGroup && static_cast<size_t>(index) < m_catalogue.size())
            SelectGroup(index);
        return 0;
    }
    return DefaultHandling(message, wParam, lParam);
}

void CMainWindow::ToggleSelectAll()
{
    const bool checkAll = m_selectAllState == SelectNone;
    m_list.SetAllChecked(checkAll);  // raises no tile notification
    m_selectAllState = checkAll ? SelectAll : SelectNone;
    // The button repainted itself before telling us of the click, with the old state.
    InvalidateSelectAllBox();
}

void CMainWindow::UpdateSelectAllState()
{
    const int checked = m_list.CountChecked();
    if (checked == 0)
        m_selectAllState = SelectNone;
    else if (static_cast<size_t>(checked) == m_list.ItemCount())
        m_selectAllState = SelectAll;
    else
        m_selectAllState = SelectSome;
    InvalidateSelectAllBox();
}

void CMainWindow::InvalidateSelectAllBox()
{
    if (m_selectAllBox.IsWindow())
        InvalidateRect(m_selectAllBox.hwnd(), nullptr, TRUE);
}

void CMainWindow::InstallChecked()
{
    if (m_list.CountChecked() == 0) {
        MessageBoxW(m_hwnd, L"请选择要安装的软件", nullptr, MB_OK | MB_ICONINFORMATION);
        return;
    }
    std::vector<const CatalogueProgram*> programs;
    m_list.CollectChecked(programs);
    RunInstallDialog(programs, UpToDatePrograms(programs, m_installed));
}

void CMainWindow::InstallOne(size_t index)
{
    std::vector<const CatalogueProgram*> programs;
    m_list.CollectOne(programs, index);
    if (!programs.empty())
        RunInstallDialog(programs, {});  // the user's explicit request: a repair or a reinstall
}

// The run lives inside the modal dialog; this window's timers keep firing meanwhile, and it
// comes back with the same group and check marks, and the marks of what the run installed.
void CMainWindow::RunInstallDialog(const std::vector<const CatalogueProgram*>& programs,
                                   const std::vector<const CatalogueProgram*>& upToDate)
{
    ShowWindow(m_hwnd, SW_HIDE);
    CProgressDlg dialog;
    dialog.m_programs = programs;
    dialog.m_upToDate = upToDate;
    dialog.m_everyProgram = EveryProgram(m_catalogue);
    dialog.m_keyedBuild = m_publisherKey != nullptr;
    dialog.DoModal(m_hwnd);
    ReadInstalledStates();
    ShowWindow(m_hwnd, SW_SHOW);
    if (dialog.EndedNormally())
        ShowInstallReport(m_hwnd, dialog.run().Results());
}

void CMainWindow::StartBackgroundTasks()
{
    g_catalogueRefreshState = RefreshRunning;
    void* key = const_cast<P256PublicKey*>(m_publisherKey);
    const uintptr_t refresh = _beginthreadex(nullptr, 0, CatalogueRefreshThread, key, 0, nullptr);
    if (refresh)
        CloseHandle(reinterpret_cast<HANDLE>(refresh));  // detached: never joined
    else
        g_catalogueRefreshState = RefreshFailed;  // nothing will ever report otherwise
    auto request = std::make_unique<UpdateCheckRequest>(UpdateCheckRequest{m_hwnd, m_publisherKey});
    const HANDLE update = CreateThread(nullptr, 0, UpdateCheckThread, request.get(), 0, nullptr);
    if (update) {
        request.release();  // the thread owns it now
        CloseHandle(update);
    }
    SetTimer(m_hwnd, kRefreshWatchTimer, kRefreshWatchPeriodMs, nullptr);
}

LRESULT CMainWindow::OnTimer(UINT_PTR id)
{
    if (id == kRefreshWatchTimer)
        OnRefreshWatchTick();
    else if (id == kNetworkWaitTimer)
        OnNetworkWaitTick();
    return 0;
}

// A refresh that finished while the window is hidden (an install run is open) is not
// reloaded: the new file is read at the next start.
void CMainWindow::OnRefreshWatchTick()
{
    LONG state = g_catalogueRefreshState;
    if (state == RefreshUpdated || state == RefreshFailed || state == RefreshUnchanged) {
        KillTimer(m_hwnd, kRefreshWatchTimer);
        state = g_catalogueRefreshState;
    }
    if (state == RefreshUpdated && IsWindowVisible(m_hwnd))
        ReloadCatalogue();
}

// After an /autorun start the window stays hidden until the catalogue server answers.
void CMainWindow::OnNetworkWaitTick()
{
    if (!IsCatalogueReachable())
        return;
    KillTimer(m_hwnd, kNetworkWaitTimer);
    if (IsAutorunRegistered())
        RemoveAutorunRegistration();
    ShowWindow(m_hwnd, SW_SHOWNORMAL);
    UpdateWindow(m_hwnd);
    StartBackgroundTasks();
}

LRESULT CMainWindow::OnDrawItem(const DRAWITEMSTRUCT& item)
{
    if (item.CtlID == IDC_SELECT_ALL)
        DrawSelectAllBox(item);
    return TRUE;
}

// The box in its three states and the white label, straight onto the item DC. No focus,
// pressed or hover look.
void CMainWindow::DrawSelectAllBox(const DRAWITEMSTRUCT& item)
{
    const HDC dc = item.hDC;
    const RECT& r = item.rcItem;
    DrawParentBackground(m_selectAllBox.hwnd(), dc);

    const LONG boxSize = ui::Scaled(kSelectAllBoxSize);
    const LONG margin = (r.bottom - r.top - boxSize) / 2;
    RECT box = {r.left, r.top + margin, r.left + boxSize, r.bottom - margin};
    if (m_selectAllState == SelectAll) {
        DrawFrameControl(dc, &box, DFC_BUTTON, DFCS_BUTTONCHECK | DFCS_CHECKED);
    } else {
        DrawFrameControl(dc, &box, DFC_BUTTON, DFCS_BUTTONCHECK);
        if (m_selectAllState == SelectSome) {
            RECT square = box;
            InflateRect(&square, -ui::Scaled(kSomeSelectedInset), -ui::Scaled(kSomeSelectedInset));
            FillSolid(dc, square, kSomeSelectedColour);
        }
    }

    RECT label = {r.left + ui::Scaled(kSelectAllLabelOffset), r.top, r.right, r.bottom};
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(255, 255, 255));
    ui::SelectedObject font(dc, m_font.get());
    wchar_t text[] = L"全选";
    DrawTextExW(dc, text, -1, &label, DT_SINGLELINE | DT_VCENTER, nullptr);
}
