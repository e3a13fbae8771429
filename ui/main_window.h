#pragma once
// The program's only top-level window: a borderless skinned popup with the group buttons,
// the software list, the select-all box and the install buttons. It owns the catalogue it
// shows, starts the background refresh and update check, and hands chosen programs to the
// install run.

#include <windows.h>

#include <optional>
#include <vector>

#include "catalog/catalogue.h"
#include "catalog/catalogue_file.h"
#include "install/installed_programs.h"
#include "net/public_key.h"
#include "res/resource.h"  // the control ids
#include "ui/buttons.h"
#include "ui/gdi.h"
#include "ui/group_button.h"
#include "ui/image_button.h"
#include "ui/skin.h"
#include "ui/software_list.h"
#include "ui/window.h"

// The timers of the main window.
enum MainWindowTimer : UINT_PTR {
    kRefreshWatchTimer = 1,   // watches the background refresh
    kNetworkWaitTimer = 2,    // waits for the catalogue server after an /autorun start
};

// The select-all box's three states.
enum SelectAllState : int { SelectNone = 0, SelectAll = 1, SelectSome = 2 };

class CMainWindow : public ui::Window {
public:
    static constexpr int kMaxGroupButtons = 20;
    // No caption bar, no border, no maximise box. The background is never painted under the
    // children: they paint their part of it themselves.
    static constexpr DWORD kStyle = WS_POPUP | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | WS_SYSMENU | WS_MINIMIZEBOX;

    // The skin's pictures the window's creation decodes, for a prefetch that starts before it.
    static std::vector<PictureSource> StartUpPictures();

    // `publisherKey`: borrowed, outlives the window (the build's key); null in an unkeyed build.
    explicit CMainWindow(const P256PublicKey* publisherKey = nullptr);
    ~CMainWindow() override;

    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

    int currentGroup() const { return m_currentGroup; }
    int selectAllState() const { return m_selectAllState; }
    const CSWListBox& list() const { return m_list; }

private:
    LRESULT OnCreate();
    LRESULT OnDestroy();
    LRESULT OnPaint();
    LRESULT OnTimer(UINT_PTR id);
    LRESULT OnDrawItem(const DRAWITEMSTRUCT& item);
    LRESULT OnCommand(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnShowWindow(UINT message, WPARAM wParam, LPARAM lParam);

    void SetWindowIcons();
    bool CreateChildren();
    void PaintBackground(HDC dc);
    bool LoadGroupSkin();
    std::vector<PictureSource> GroupIcons() const;
    void CreateGroupButtons();
    void DestroyGroupButtons();
    void SelectFirstGroup();
    void LoadCatalogueFromDisk();
    void TellCatalogueRefused();
    void ReloadCatalogue();
    void SelectGroup(int index);
    void ToggleSelectAll();
    void UpdateSelectAllState();
    void InstallChecked();
    void InstallOne(size_t index);
    void RunInstallDialog(const std::vector<const CatalogueProgram*>& programs,
                          const std::vector<const CatalogueProgram*>& upToDate);
    void ReadInstalledStates();
    void StartBackgroundTasks();
    void OnRefreshWatchTick();
    void OnNetworkWaitTick();
    void DrawSelectAllBox(const DRAWITEMSTRUCT& item);
    void InvalidateSelectAllBox();

    CGdiPlusBitmapResource m_background;  // "window_background.jpg"
    CReadyBitmap m_backgroundReady;       // the background at the client area's size
    DTImageButton m_closeButton;
    DTImageButton m_minimizeButton;
    DTCheckBox m_selectAllBox;
    const P256PublicKey* m_publisherKey;  // borrowed
    int m_selectAllState = SelectNone;
    ui::UniqueFont m_font;  // the "全选" label's and the group buttons'
    DTImageButton m_installButton;
    CSWListBox m_list;
    CGroupButton m_groupButtons[kMaxGroupButtons];
    CGdiPlusBitmapResource m_groupBackground;  // shared by the group buttons
    ui::UniqueIcon m_bigIcon;
    ui::UniqueIcon m_smallIcon;
    int m_currentGroup = -1;
    Catalogue m_catalogue;  // the tiles and the install run borrow its programs
    InstalledStates m_installed;  // of m_catalogue's programs, borrowed from it like the tiles
    // Why the catalogue on disk was refused, while the user has not yet been told.
    std::optional<CatalogueFileLoad> m_refusalToTell;
};
