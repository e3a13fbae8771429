#pragma once
// The skin's fonts: the system icon-title font, 1.1 times as large, in "Microsoft Yahei".

#include "ui/gdi.h"

namespace ui {

// Height and width are scaled by 1.1 and truncated toward zero (-12 becomes -13); every
// other field of the icon-title font is kept but the weight.
UniqueFont CreateSkinFont(LONG weight);

}  // namespace ui
