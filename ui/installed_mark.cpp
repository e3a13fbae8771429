#include "ui/installed_mark.h"

#include <cwchar>

#include "ui/scale.h"
#include "ui/skin.h"

namespace {

constexpr LONG kMarkFontHeight = -12;  // 96-dpi pixels, the cell without its internal leading
constexpr int kCornerDiameter = 8;
constexpr COLORREF kUpToDateTextColour = RGB(0x0B, 0x4F, 0x9C);
constexpr COLORREF kOlderTextColour = RGB(0xFF, 0xFF, 0xFF);

// A rounded pill, smoothed at its corners; its inside is the plain colour.
void FillPill(HDC dc, const RECT& rect, COLORREF colour)
{
    const int d = ui::Scaled(kCornerDiameter);
    const int right = rect.right - d - 1;
    const int bottom = rect.bottom - d - 1;
    Gdiplus::GraphicsPath path;
    path.AddArc(rect.left, rect.top, d, d, 180, 90);
    path.AddArc(right, rect.top, d, d, 270, 90);
    path.AddArc(right, bottom, d, d, 0, 90);
    path.AddArc(rect.left, bottom, d, d, 90, 90);
    path.CloseFigure();
    Gdiplus::Graphics graphics(dc);
    graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
    const Gdiplus::SolidBrush brush(Gdiplus::Color(GetRValue(colour), GetGValue(colour), GetBValue(colour)));
    graphics.FillPath(&brush, &path);
}

}  // namespace

ui::UniqueFont CreateInstalledMarkFont()
{
    LOGFONTW font = {};
    font.lfHeight = ui::Scaled(kMarkFontHeight);
    font.lfWeight = FW_NORMAL;
    font.lfCharSet = DEFAULT_CHARSET;
    wcsncpy(font.lfFaceName, L"Microsoft Yahei", LF_FACESIZE - 1);
    return ui::UniqueFont(CreateFontIndirectW(&font));
}

void DrawInstalledMark(HDC dc, InstalledState state, HFONT font)
{
    if (state == InstalledState::NotInstalled)
        return;
    const bool upToDate = state == InstalledState::UpToDate;
    RECT rect = ui::Scaled(kInstalledMarkRect);
    FillPill(dc, rect, upToDate ? kUpToDateMarkColour : kOlderMarkColour);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, upToDate ? kUpToDateTextColour : kOlderTextColour);
    ui::SelectedObject selected(dc, font);
    const wchar_t* text = upToDate ? L"已安装" : L"可更新";
    DrawTextW(dc, text, -1, &rect, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
}
