#pragma once
// The progress dialog of an install run: a small always-on-top dialog with a spinner, a bar
// and one status line. It is the view of an InstallRun: it ticks the run every 200 ms,
// paints what the run reports, and stops it when the close button is pressed. The run lives
// inside the modal dialog and ends with it.

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "catalog/catalogue.h"
#include "install/install_run.h"
#include "ui/buttons.h"
#include "ui/skin.h"
#include "ui/window.h"

// One picture of the dialog: a resource of the program's module.
struct PictureResource {
    UINT id;
    const wchar_t* type;
};

// Where the dialog's four pictures come from. One that does not load stays empty and draws
// nothing.
struct ProgressPictures {
    PictureResource background;    // "IMAGES" 115, 401 x 122
    PictureResource closeButton;   // "PNG" 103: normal, hover, pressed, unused
    PictureResource spinner;       // "PNG" 114: sixteen frames side by side
    PictureResource progressFill;  // "PNG" 116, 310 x 14
};

// The program's own pictures.
const ProgressPictures& ProgramProgressPictures();

// After a run that ended normally: one message box owned by `owner` listing each program that
// did not end in plain success (InstallReport); nothing when there is none.
void ShowInstallReport(HWND owner, const std::vector<ProgramResult>& results);

class CProgressDlg : public ui::Dialog {
public:
    // The platform is borrowed and must outlive the dialog.
    explicit CProgressDlg(InstallPlatform& platform = SystemInstallPlatform(),
                          const ProgressPictures& pictures = ProgramProgressPictures())
        : m_platform(platform), m_pictures(pictures)
    {
    }
    ~CProgressDlg() override = default;

    // Runs the whole install of m_programs modally (template IDD_PROGRESS); always 1, or -1
    // when the dialog could not be made.
    INT_PTR DoModal(HWND owner);

    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

    // The run's programs in order, filled by the caller before DoModal. Borrowed from the
    // main window's catalogue, which outlives the dialog.
    std::vector<const CatalogueProgram*> m_programs;
    // Every program of that catalogue, borrowed the same way: which installer names they
    // share decides where each installer stands. Left empty, the run's own programs decide.
    std::vector<const CatalogueProgram*> m_everyProgram;
    // A keyed build's run: no installer starts unless its bytes match the program's hash.
    bool m_keyedBuild = false;
    // Programs of m_programs installed already and up to date, borrowed the same way: they
    // are neither downloaded nor started (InstallRun::MarkUpToDate).
    std::vector<const CatalogueProgram*> m_upToDate;

    // The run the dialog shows; from its creation until the dialog object goes, so that the
    // owner can read the results after DoModal.
    const InstallRun& run() const { return *m_run; }
    // The run reached its end: every installer it started has exited. Not after a failed
    // download or the close button.
    bool EndedNormally() const { return m_endedNormally; }

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
    void TickRun();
    void FailRun(const InstallRun::Failure& failure);
    bool UserKeepsWaiting(const std::wstring& text, const wchar_t* caption);
    void AskAboutWindowsInstaller();
    void AskAboutStillInstalling();
    void LoadPictures();

    InstallPlatform& m_platform;
    ProgressPictures m_pictures;
    CGdiPlusBitmapResource m_background;
    CGdiPlusBitmapResource m_closeImage;
    CGdiPlusBitmapResource m_spinner;
    CGdiPlusBitmapResource m_progressFill;
    // The pictures at the size they are shown: the background at the client's, the rest at
    // their places' scaled to the display.
    CReadyBitmap m_readyBackground;
    CReadyBitmap m_readySpinner;  // the frame shown
    CReadyBitmap m_readyFill;     // the part of the bar shown
    CReadySlices m_readyClose;
    std::optional<InstallRun> m_run;  // made when the dialog is
    CAtlBitmapButton m_closeButton;   // control 157, a child of the dialog
    int m_spinFrame = 0;              // 0..15
    bool m_endedNormally = false;
    ui::UniqueFont m_font;            // status line
};
