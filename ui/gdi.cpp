#include "ui/gdi.h"

namespace ui {

GdiplusSession::GdiplusSession()
{
    const Gdiplus::GdiplusStartupInput input;  // version 1, no callback, nothing suppressed
    Gdiplus::GdiplusStartup(&m_token, &input, nullptr);
}

GdiplusSession::~GdiplusSession()
{
    if (m_token)
        Gdiplus::GdiplusShutdown(m_token);
}

}  // namespace ui
