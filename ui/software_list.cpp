#include "ui/software_list.h"

#include <algorithm>
#include <cwchar>

#include "base/folders.h"
#include "res/resource.h"
#include "ui/fonts.h"
#include "ui/installed_mark.h"
#include "ui/messages.h"
#include "ui/scale.h"

namespace {

constexpr UINT kInstallButtonId = IDC_TILE_INSTALL;
constexpr UINT kCheckBoxId = IDC_TILE_CHECK_BOX;
constexpr UINT kScrollBarId = IDC_LIST_SCROLL_BAR;
constexpr UINT kFirstTileId = IDC_FIRST_TILE;

// Lengths in 96-dpi pixels, shown through ui::Scaled.
constexpr int kColumns = 4;
constexpr int kRowsInView = 5;
constexpr int kTilesWithoutScrolling = 16;
constexpr int kScrollBarWidth = 16;
constexpr int kWheelDivisor = 3;  // one notch of 120 moves the tiles 40 pixels

// Tile layout: the install button's bottom edge and left edge, the box 6 pixels right of it.
constexpr int kButtonsBottom = 72;
constexpr int kInstallButtonLeft = 94;
constexpr int kCheckBoxGap = 6;
constexpr int kCheckBoxSize = 14;
constexpr RECT kIconRect = {36, 24, 36 + 48, 24 + 48};
constexpr int kNameLeft = 94;
constexpr int kNameTop = 22;
constexpr int kNameBottom = 47;
constexpr size_t kNameBufferLength = 512;

void SendToParent(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    SendMessageW(GetParent(hwnd), message, wParam, lParam);
}

RECT WindowRectOf(HWND hwnd)
{
    RECT rect = {};
    GetWindowRect(hwnd, &rect);
    return rect;
}

const ui::WindowClass kListClass = ui::SelfDrawnClass(L"Tovarin:CSWListBox");
const ui::WindowClass kTileClass = ui::SelfDrawnClass(L"Tovarin:CSWListBoxItem");
}  // namespace

// --- Tile ---------------------------------------------------------------------------------

CProgramIcon* CProgramIcons::Find(const std::wstring& path)
{
    const auto found = m_icons.find(path);
    if (found != m_icons.end())
        return found->second.get();
    auto icon = std::make_unique<CProgramIcon>();
    if (!icon->picture.LoadFromFile(path))
        return nullptr;
    return m_icons.emplace(path, std::move(icon)).first->second.get();
}

void CProgramIcons::Prefetch(const std::vector<std::unique_ptr<CatalogueProgram>>& programs, size_t count) const
{
    std::vector<PictureSource> icons;
    for (size_t k = 0; k < programs.size() && k < count; ++k) {
        if (programs[k]->icon.empty())
            continue;
        std::wstring path = ProgramIconPath(*programs[k]);
        if (m_icons.find(path) == m_icons.end())
            icons.push_back(PictureSource::File(std::move(path)));
    }
    CPicturePrefetch::Request(icons);
}

CSWListBoxItem::CSWListBoxItem(const CatalogueProgram& program, const TileArt& art)
    : ui::Window(kTileClass), m_program(&program), m_iconPending(!program.icon.empty()), m_art(art)
{
}

CSWListBoxItem* CSWListBoxItem::CreateTile(HWND list, const RECT& rect, UINT id, const CatalogueProgram& program,
                                           const TileArt& art)
{
    auto* tile = new CSWListBoxItem(program, art);
    if (!tile->Create(list, rect, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, 0, id)) {
        delete tile;  // a refused creation's OnFinalMessage left it to us
        return nullptr;
    }
    tile->m_ownedByWindow = true;
    return tile;
}

void CSWListBoxItem::OnFinalMessage(HWND)
{
    if (m_ownedByWindow)
        delete this;
}

LRESULT CSWListBoxItem::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE: return OnCreate();
    case WM_ERASEBKGND: return 1;
    case WM_PAINT: return OnPaint();
    case WM_DRAWITEM: return OnDrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
    case WM_COMMAND: return OnCommand(wParam, lParam);
    case WM_LBUTTONUP: return OnLButtonUp();
    case WM_MOUSEMOVE: return OnMouseMove();
    case WM_MOUSELEAVE: return OnMouseLeave();
    default: return DefaultHandling(message, wParam, lParam);
    }
}

// The install button is one image slice with its bottom at y = 72; the box is centred on
// the button's height.
LRESULT CSWListBoxItem::OnCreate()
{
    const int sliceWidth = SliceWidth(*m_art.installImage);
    const int height = m_art.installImage->Height();
    const int top = kButtonsBottom - height;
    m_installButton.Create(m_hwnd,
                           ui::Scaled(RECT{kInstallButtonLeft, top, kInstallButtonLeft + sliceWidth, kButtonsBottom}),
                           L"Install", WS_CHILD | WS_VISIBLE | BS_OWNERDRAW, 0, kInstallButtonId);
    const int inset = (height - kCheckBoxSize) / 2;
    const int boxLeft = kInstallButtonLeft + sliceWidth + kCheckBoxGap;
    const RECT box = ui::Scaled(RECT{boxLeft, top + inset, boxLeft + kCheckBoxSize, top + height - inset});
    m_checkBox = CreateWindowExW(0, L"BUTTON", L"", WS_CHILD | WS_VISIBLE | BS_AUTOCHECKBOX, box.left, box.top,
                                 ui::Width(box), ui::Height(box), m_hwnd,
                                 reinterpret_cast<HMENU>(static_cast<UINT_PTR>(kCheckBoxId)), ui::ModuleInstance(),
                                 nullptr);
    m_hover.Leave();
    return 0;
}

LRESULT CSWListBoxItem::OnPaint()
{
    ui::PaintScope paint(m_hwnd);
    const RECT client = ui::ClientRect(m_hwnd);
    CMemorySurface surface(paint.dc(), client);
    FillWhite(surface.dc(), client);
    DrawIcon(surface.dc());

    wchar_t name[kNameBufferLength] = {};
    wcsncpy(name, m_program->name.c_str(), kNameBufferLength - 1);  // longer names are cut
    SetBkMode(surface.dc(), TRANSPARENT);
    SetTextColor(surface.dc(), RGB(0, 0, 0));
    ui::SelectedObject font(surface.dc(), m_art.nameFont);
    RECT nameRect = {ui::Scaled(kNameLeft), ui::Scaled(kNameTop), client.right, ui::Scaled(kNameBottom)};
    // As written and on one line: no "&" prefix, and a line break does not start a second line.
    DrawTextW(surface.dc(), name, -1, &nameRect, DT_SINGLELINE | DT_NOPREFIX);
    DrawInstalledMark(surface.dc(), m_installedState, m_art.markFont);
    return 0;
}

// The icon is looked up at the first paint: building a group costs its windows only, and
// tiles never scrolled into view never read their file. Decoding (about 1.3 ms per icon under
// Wine) happens once per file for the list's life.
void CSWListBoxItem::DrawIcon(HDC dc)
{
    if (m_iconPending) {
        m_iconPending = false;
        m_icon = m_art.icons->Find(ProgramIconPath(*m_program));
    }
    if (m_icon)
        m_icon->ready.Draw(dc, m_icon->picture, ui::Scaled(kIconRect),
                          {0, 0, m_icon->picture.Width(), m_icon->picture.Height()});
}

LRESULT CSWListBoxItem::OnDrawItem(const DRAWITEMSTRUCT& item)
{
    if (item.CtlID == kInstallButtonId) {
        const int slice = (item.itemState & ODS_SELECTED) ? SlicePressed
                          : m_installButton.IsHover()     ? SliceHover
                                                          : SliceNormal;
        m_art.installFaces->Draw(item.hDC, *m_art.installImage, slice, item.rcItem);
    }
    return TRUE;
}

// The list's parent may do anything in answer, even replace the tiles: nothing here touches
// the tile after notifying.
LRESULT CSWListBoxItem::OnCommand(WPARAM wParam, LPARAM lParam)
{
    switch (LOWORD(wParam)) {
    case kCheckBoxId: NotifyCheckChanged(); return 0;
    case kInstallButtonId: NotifyList(ITEMN_INSTALL); return 0;
    default: return DefaultHandling(WM_COMMAND, wParam, lParam);
    }
}

// A click anywhere on the tile's free area toggles its mark.
LRESULT CSWListBoxItem::OnLButtonUp()
{
    SetChecked(!IsChecked());
    NotifyCheckChanged();
    return 0;
}

// The tile looks the same with and without hover; the state only arms the leave notification.
LRESULT CSWListBoxItem::OnMouseMove()
{
    if (m_hover.Enter(m_hwnd))
        InvalidateRect(m_hwnd, nullptr, TRUE);
    return 0;
}

LRESULT CSWListBoxItem::OnMouseLeave()
{
    m_hover.Leave();
    InvalidateRect(m_hwnd, nullptr, TRUE);
    return 0;
}

bool CSWListBoxItem::IsChecked() const
{
    return SendMessageW(m_checkBox, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void CSWListBoxItem::SetChecked(bool checked)
{
    SendMessageW(m_checkBox, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

void CSWListBoxItem::SetInstalledState(InstalledState state)
{
    if (state == m_installedState)
        return;
    m_installedState = state;
    InvalidateRect(m_hwnd, nullptr, FALSE);
}

void CSWListBoxItem::NotifyCheckChanged()
{
    NotifyList(IsChecked() ? ITEMN_CHECKED : ITEMN_UNCHECKED);
}

void CSWListBoxItem::NotifyList(WORD code)
{
    const auto id = static_cast<WORD>(GetDlgCtrlID(m_hwnd));
    SendToParent(m_hwnd, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(m_hwnd));
}

// --- List ---------------------------------------------------------------------------------

CSWListBox::~CSWListBox()
{
    if (m_hwnd)
        DestroyWindow(m_hwnd);
}

CSWListBox::CSWListBox() : ui::Window(kListClass) {}

LRESULT CSWListBox::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE: return OnCreate();
    case WM_DESTROY: return OnDestroy();
    case WM_ERASEBKGND: return OnEraseBackground(reinterpret_cast<HDC>(wParam));
    case WM_COMMAND: return OnCommand(wParam, lParam);
    case WM_VSCROLL: return OnVScroll(wParam);
    case WM_MOUSEWHEEL: return OnMouseWheel(wParam);
    default: return DefaultHandling(message, wParam, lParam);
    }
}

LRESULT CSWListBox::OnCreate()
{
    const RECT client = ui::ClientRect(m_hwnd);
    m_scrollBar.Create(m_hwnd, {client.right - ui::Scaled(kScrollBarWidth), client.top, client.right, client.bottom},
                       L"Scrollbar", WS_CHILD | WS_VISIBLE, 0, kScrollBarId);
    if (!m_installImage.LoadFromFile(GetSkinDir() + L"\\" + kInstallButtonFile)) {
        ShowSkinError(L"加载Skin/item_install_button.png出错");
        return -1;  // fail CreateWindowEx
    }
    m_nameFont = ui::CreateSkinFont(FW_BOLD);
    m_markFont = CreateInstalledMarkFont();
    UpdateScrollRange();
    return 0;
}

LRESULT CSWListBox::OnDestroy()
{
    DestroyItems();
    return 0;
}

// The list has no painting of its own: its white ground shows between and below the tiles.
LRESULT CSWListBox::OnEraseBackground(HDC dc)
{
    const RECT client = ui::ClientRect(m_hwnd);
    CMemorySurface surface(dc, client);
    FillWhite(surface.dc(), client);
    return 1;
}

// Every tile's notifications go to the parent, however many tiles there are.
LRESULT CSWListBox::OnCommand(WPARAM wParam, LPARAM lParam)
{
    const UINT id = LOWORD(wParam);
    if (id < kFirstTileId || id - kFirstTileId >= m_items.size())
        return DefaultHandling(WM_COMMAND, wParam, lParam);
    const WPARAM index = id - kFirstTileId;
    switch (HIWORD(wParam)) {
    case ITEMN_CHECKED: SendToParent(m_hwnd, WM_ITEM_CHECK_CHANGED, index, 1); break;
    case ITEMN_UNCHECKED: SendToParent(m_hwnd, WM_ITEM_CHECK_CHANGED, index, 0); break;
    case ITEMN_INSTALL: SendToParent(m_hwnd, WM_ITEM_INSTALL, index, 0); break;
    default: break;
    }
    return 0;
}

// wParam is the absolute position the bar asks for.
LRESULT CSWListBox::OnVScroll(WPARAM wParam)
{
    ScrollBy(m_scrollOffset - static_cast<int>(static_cast<INT_PTR>(wParam)));
    return 0;
}

LRESULT CSWListBox::OnMouseWheel(WPARAM wParam)
{
    ScrollBy(ui::Scaled(GET_WHEEL_DELTA_WPARAM(wParam) / kWheelDivisor));
    return 0;
}

void CSWListBox::SetItems(const std::vector<std::unique_ptr<CatalogueProgram>>& programs)
{
    DestroyItems();
    const RECT client = ui::ClientRect(m_hwnd);
    const int columnWidth = (ui::Width(client) - ui::Scaled(kScrollBarWidth)) / kColumns;
    const int rowHeight = ui::Height(client) / kRowsInView;
    RECT rect = {0, 0, columnWidth, rowHeight};
    const TileArt art = {m_nameFont.get(), m_markFont.get(), &m_installImage, &m_installFaces, &m_icons};
    m_icons.Prefetch(programs, kColumns * kRowsInView);
    m_items.reserve(programs.size());
    for (size_t k = 0; k < programs.size(); ++k) {
        CSWListBoxItem* tile =
            CSWListBoxItem::CreateTile(m_hwnd, rect, static_cast<UINT>(kFirstTileId + k), *programs[k], art);
        if (!tile)
            break;  // tile k must show program k: no gaps
        m_items.push_back(tile);
        if ((k + 1) % kColumns == 0)
            rect = {0, rect.top + rowHeight, columnWidth, rect.bottom + rowHeight};
        else
            rect = {rect.left + columnWidth, rect.top, rect.left + 2 * columnWidth, rect.bottom};
    }
    UpdateScrollRange();
}

void CSWListBox::DestroyItems()
{
    for (CSWListBoxItem* tile : m_items)
        DestroyWindow(tile->hwnd());  // deletes the tile
    m_items.clear();
}

// The range is how far the rows really reach below the list, so the bar's ends are the
// tiles' ends. 17 to 20 tiles fit in the list: their bar shows an empty range.
void CSWListBox::UpdateScrollRange()
{
    const int count = static_cast<int>(m_items.size());
    const int height = ui::Height(ui::ClientRect(m_hwnd));
    if (count <= kTilesWithoutScrolling) {
        m_scrollBar.SetScrollState(ScrollStateChange().Visible(false));  // the offset stays as it is
    } else {
        const int rows = (count + kColumns - 1) / kColumns;
        const int overhang = std::max(rows * (height / kRowsInView) - height, 0);
        m_scrollBar.SetScrollState(ScrollStateChange().Page(height).Pos(0).Min(0).Max(overhang).Visible(true));
        m_scrollOffset = 0;
    }
    InvalidateRect(m_scrollBar.hwnd(), nullptr, TRUE);
}

// Positive distances move the tiles down, towards the start. The limits come from where the
// first and last tiles really are, not from the bar's range.
void CSWListBox::ScrollBy(int distance)
{
    if (m_items.empty() || distance == 0)
        return;
    const RECT list = WindowRectOf(m_hwnd);
    if (distance < 0) {
        const RECT last = WindowRectOf(m_items.back()->hwnd());
        if (last.bottom <= list.bottom)
            return;  // already at the end
        distance = std::max(distance, static_cast<int>(list.bottom - last.bottom));
    } else {
        const RECT first = WindowRectOf(m_items.front()->hwnd());
        if (first.top >= list.top)
            return;  // already at the start
        distance = std::min(distance, static_cast<int>(list.top - first.top));
    }

    // The leading tile moves first, so no tile lands on one that has not moved yet.
    const auto move = [&](CSWListBoxItem* tile) {
        const RECT rect = WindowRectOf(tile->hwnd());
        MoveWindow(tile->hwnd(), rect.left - list.left, rect.top - list.top + distance, ui::Width(rect),
                   ui::Height(rect), TRUE);
    };
    if (distance < 0) {
        for (auto it = m_items.begin(); it != m_items.end(); ++it)
            move(*it);
    } else {
        for (auto it = m_items.rbegin(); it != m_items.rend(); ++it)
            move(*it);
    }

    m_scrollOffset -= distance;
    SyncScrollBarPos();
}

void CSWListBox::SyncScrollBarPos()
{
    if (m_scrollOffset < m_scrollBar.Min() || m_scrollOffset > m_scrollBar.Max())
        return;
    m_scrollBar.SetScrollState(ScrollStateChange().Pos(m_scrollOffset));
    InvalidateRect(m_scrollBar.hwnd(), nullptr, TRUE);
}

int CSWListBox::CountChecked() const
{
    int count = 0;
    for (const CSWListBoxItem* tile : m_items)
        count += tile->IsChecked() ? 1 : 0;
    return count;
}

void CSWListBox::CollectChecked(std::vector<const CatalogueProgram*>& programs) const
{
    for (const CSWListBoxItem* tile : m_items) {
        if (tile->IsChecked())
            programs.push_back(tile->program());
    }
}

void CSWListBox::CollectOne(std::vector<const CatalogueProgram*>& programs, size_t index) const
{
    if (index < m_items.size())
        programs.push_back(m_items[index]->program());
}

void CSWListBox::SetAllChecked(bool checked)
{
    for (CSWListBoxItem* tile : m_items)
        tile->SetChecked(checked);
}

void CSWListBox::ShowInstalledStates(const InstalledStates& states)
{
    for (CSWListBoxItem* tile : m_items)
        tile->SetInstalledState(StateOf(*tile->program(), states));
}
