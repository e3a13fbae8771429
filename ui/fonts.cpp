#include "ui/fonts.h"

#include <cwchar>

namespace ui {

namespace {

LONG ScaledByOnePointOne(LONG value)
{
    return static_cast<LONG>(static_cast<double>(value) * 1.1);
}

}  // namespace

UniqueFont CreateSkinFont(LONG weight)
{
    LOGFONTW font = {};
    SystemParametersInfoW(SPI_GETICONTITLELOGFONT, sizeof(font), &font, 0);
    font.lfWeight = weight;
    font.lfHeight = ScaledByOnePointOne(font.lfHeight);
    font.lfWidth = ScaledByOnePointOne(font.lfWidth);
    wcsncpy(font.lfFaceName, L"Microsoft Yahei", LF_FACESIZE - 1);
    font.lfFaceName[LF_FACESIZE - 1] = L'\0';
    return UniqueFont(CreateFontIndirectW(&font));
}

}  // namespace ui
