#pragma once
// The software list: the programs of one group as tiles in four columns, each with its icon,
// its name, a check box for the one-key install and an install button of its own. It scrolls
// with the wheel and its skinned bar, and tells its parent about marks and installs
// (WM_ITEM_CHECK_CHANGED, WM_ITEM_INSTALL).

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "catalog/catalogue.h"
#include "install/installed_programs.h"
#include "ui/buttons.h"
#include "ui/gdi.h"
#include "ui/hover.h"
#include "ui/scroll_bar.h"
#include "ui/skin.h"
#include "ui/window.h"

// Notification codes of a tile's WM_COMMAND to its list (high word of wParam; the low word
// is the tile's id, lParam its window).
constexpr WORD ITEMN_CHECKED = 1;
constexpr WORD ITEMN_UNCHECKED = 2;
constexpr WORD ITEMN_INSTALL = 3;

// A program's icon, decoded once and drawn from its ready copy.
struct CProgramIcon {
    CGdiPlusBitmapResource picture;
    CReadyBitmap ready;
};

// The program icons by file, kept across group changes: a group shown again decodes nothing,
// and the icons of a group are decoded when its tiles first paint. A file that does not load
// is not kept, so a tile made later tries again and finds an icon the refresh fetched since.
class CProgramIcons {
public:
    // Null when the file does not load. The icon lives as long as this object.
    CProgramIcon* Find(const std::wstring& path);
    // Asks a running prefetch for the icons of the first `count` programs that are not here
    // yet: they are decoded while their tiles are built.
    void Prefetch(const std::vector<std::unique_ptr<CatalogueProgram>>& programs, size_t count) const;

private:
    std::map<std::wstring, std::unique_ptr<CProgramIcon>> m_icons;
};

// What the list lends every tile; all of it lives as long as the list.
struct TileArt {
    HFONT nameFont;
    HFONT markFont;  // the installed marks'
    const CGdiPlusBitmapResource* installImage;  // four slices
    CReadySlices* installFaces;                   // its slices at the install button's size
    CProgramIcons* icons;
};

// One tile, a child window of the list. Tiles are made with CreateTile and delete themselves
// in OnFinalMessage when their window is destroyed; nobody else deletes one.
class CSWListBoxItem : public ui::Window {
public:
    // Null when the window could not be created (the object is gone then too).
    static CSWListBoxItem* CreateTile(HWND list, const RECT& rect, UINT id, const CatalogueProgram& program,
                                      const TileArt& art);

    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

    const CatalogueProgram* program() const { return m_program; }
    bool IsChecked() const;
    void SetChecked(bool checked);  // sends no notification
    // Whether the tile shows "已安装", "可更新" or no mark; repainted when it changes.
    InstalledState installedState() const { return m_installedState; }
    void SetInstalledState(InstalledState state);

protected:
    void OnFinalMessage(HWND hwnd) override;

private:
    CSWListBoxItem(const CatalogueProgram& program, const TileArt& art);
    ~CSWListBoxItem() override = default;

    LRESULT OnCreate();
    LRESULT OnPaint();
    LRESULT OnDrawItem(const DRAWITEMSTRUCT& item);
    LRESULT OnCommand(WPARAM wParam, LPARAM lParam);
    LRESULT OnLButtonUp();
    LRESULT OnMouseMove();
    LRESULT OnMouseLeave();
    void DrawIcon(HDC dc);
    void NotifyCheckChanged();
    void NotifyList(WORD code);

    const CatalogueProgram* m_program;  // borrowed from the main window's catalogue
    ui::HoverTracker m_hover;           // the tile looks the same either way
    bool m_iconPending;                 // the program names an icon not yet looked up
    CProgramIcon* m_icon = nullptr;     // borrowed from the list; null when the program has no icon that loads
    CAtlBitmapButton m_installButton;
    HWND m_checkBox = nullptr;  // a child of the tile, destroyed with it
    TileArt m_art;              // borrowed from the list
    InstalledState m_installedState = InstalledState::NotInstalled;
    bool m_ownedByWindow = false;                  // CreateTile owns the object until its window exists
};

class CSWListBox : public ui::Window {
public:
    static constexpr wchar_t kInstallButtonFile[] = L"item_install_button.png";  // in the skin folder

    CSWListBox();
    // Destroys the window while the tiles' borrowed font and image still exist.
    ~CSWListBox() override;

    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

    // Replaces all tiles by tiles for these programs, laid out from the top. The tiles borrow
    // the records: call it again before the programs go away.
    void SetItems(const std::vector<std::unique_ptr<CatalogueProgram>>& programs);

    size_t ItemCount() const { return m_items.size(); }
    int CountChecked() const;
    // Append, in tile order, the programs of the checked tiles / of the tile at `index`
    // (nothing when there is no such tile).
    void CollectChecked(std::vector<const CatalogueProgram*>& programs) const;
    void CollectOne(std::vector<const CatalogueProgram*>& programs, size_t index) const;
    void SetAllChecked(bool checked);  // sends no notifications
    // Marks each tile with its program's state; programs without an entry are not installed.
    void ShowInstalledStates(const InstalledStates& states);

private:
    LRESULT OnCreate();
    LRESULT OnDestroy();
    LRESULT OnEraseBackground(HDC dc);
    LRESULT OnCommand(WPARAM wParam, LPARAM lParam);
    LRESULT OnVScroll(WPARAM wParam);
    LRESULT OnMouseWheel(WPARAM wParam);

    void DestroyItems();
    void UpdateScrollRange();
    void ScrollBy(int distance);
    void SyncScrollBarPos();

    std::vector<CSWListBoxItem*> m_items;  // borrowed: each tile deletes itself with its window
    CDTVerticalScrollBar m_scrollBar;
    int m_scrollOffset = 0;                 // pixels the tiles have moved up from their laid-out places
    CGdiPlusBitmapResource m_installImage;  // four slices, shared by every tile's install button
    CReadySlices m_installFaces;            // its slices, lent to every tile
    CProgramIcons m_icons;                  // lent to every tile
    ui::UniqueFont m_nameFont;              // bold program names, lent to every tile
    ui::UniqueFont m_markFont;              // the installed marks', lent to every tile
};
