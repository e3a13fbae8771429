#pragma once
// The process's live GDI objects, for benchmarks that show whether they come back to where
// they were.

#include <windows.h>

// Wine does not implement GetGuiResources: it answers 0 with ERROR_CALL_NOT_IMPLEMENTED. A
// process with windows always owns USER objects, so 0 means it cannot count.
inline bool GuiResourcesCount()
{
    static const bool counts = GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS) != 0;
    return counts;
}

// Without GetGuiResources: Wine's GDI handle table takes a handle whose upper word is 0 for
// whatever object holds that index, so asking every index for its type counts the process's
// live GDI objects.
inline long CountGdiObjects()
{
    if (GuiResourcesCount())
        return static_cast<long>(GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS));
    long live = 0;
    for (ULONG_PTR index = 1; index <= 0xFFFF; ++index)
        live += GetObjectType(reinterpret_cast<HGDIOBJ>(index)) ? 1 : 0;
    return live;
}
