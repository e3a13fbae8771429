#pragma once
// The install run and its progress dialog: downloads each chosen program's installer into
// the installers folder and starts it elevated, one after another, the next download
// overlapping the running installer, under a small always-on-top dialog with a spinner, a
// bar and one status line. The run lives inside the modal dialog and ends with it.

#include <windows.h>

#include <string>
#include <vector>

#include "app/unique_handle.h"
#include "catalog/catalogue.h"
#include "net/download.h"
#include "ui/buttons.h"
#include "ui/skin.h"
#include "ui/window.h"

class CProgressDlg : public ui::Dialog {
public:
    CProgressDlg() = default;
    ~CProgressDlg() override = default;

    // Runs the whole install of m_programs modally (template IDD_PROGRESS); always 1, or -1
    // when the dialog could not be made.
    INT_PTR DoModal(HWND owner);

    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

    // The run's programs in order, filled by the caller before DoModal. Borrowed from the
    // main window's catalogue, which outlives the dialog.
    std::vector<const CatalogueProgram*> m_programs;

    // What the dialog shows and where the run stands, for its tests.
    const std::wstring& StatusText() const { return m_statusText; }
    int Percent() const { return m_percent; }
    int SpinFrame() const { return m_spinFrame; }
    HWND CloseButton() const { return m_closeButton.hwnd(); }
    size_t DownloadIndex() const { return m_downloadIndex; }
    size_t InstallIndex() const { return m_installIndex; }
    HANDLE InstallerProcess() const { return m_installerProcess.get(); }  // borrowed

protected:
    // Loads the four pictures from the program's resources. One that does not load stays
    // empty and draws nothing.
    virtual void LoadPictures();

    CGdiPlusBitmapResource m_background;    // "IMAGES" 115, 401 x 122
    CGdiPlusBitmapResource m_closeImage;    // "PNG" 103: normal, hover, pressed, unused
    CGdiPlusBitmapResource m_spinner;       // "PNG" 114: sixteen frames side by side
    CGdiPlusBitmapResource m_progressFill;  // "PNG" 116, 310 x 14

private:
    LRESULT OnInitDialog();
    LRESULT OnPaint();
    LRESULT OnPrintClient(HDC dc);
    LRESULT OnDrawItem(const DRAWITEMSTRUCT& item);
    LRESULT OnClose();
    LRESULT OnTimer(UINT_PTR id);
    LRESULT OnDestroy();

    void MoveToWorkAreaCorner();
    void DrawBackground(HDC dc);
    void DrawSpinnerAndBar(HDC dc);
    void DrawStatusLine(HDC dc);
    void DrawCloseButton(const DRAWITEMSTRUCT& item);

    // The three phases of a tick of the run's timer, in this order.
    bool CollectFinishedDownload();  // false when the run has ended
    void WatchInstaller();
    void TakeNextStep();
    void FailDownload(const CatalogueProgram& program);
    void ShowDownloadProgress(const CatalogueProgram& program);

    void StartNextDownload();
    void RunInstaller(const CatalogueProgram& program);

    CAtlBitmapButton m_closeButton;  // control 157, a child of the dialog
    int m_percent = 0;               // bar fill, 0..100
    int m_spinFrame = 0;             // 0..15
    std::wstring m_statusText;
    ui::UniqueFont m_font;           // status line
    CAsyncDownload m_download;       // the download in progress, or empty
    KernelHandle m_installerProcess;  // the running installer, until it is seen to exit
    bool m_installerRunning = false;  // an installer of this run has not been seen to exit
    size_t m_downloadIndex = 0;       // programs before it have their installer on disk
    size_t m_installIndex = 0;        // next to install; only while below m_downloadIndex
};
