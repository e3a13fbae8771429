#pragma once
// Skin images and the painting helpers every skinned window shares: image holders decoded
// with GDI+ from resources or files, four-slice state images, an off-screen surface, the
// parent's background behind a child, and the white ground.

#include <windows.h>

#include <list>
#include <string>
#include <vector>

#include "ui/gdi.h"

// Holds one GDI+ bitmap, or nothing; what draws and measures the skin's images.
class CGdiPlusBitmap {
public:
    CGdiPlusBitmap() = default;
    virtual ~CGdiPlusBitmap();
    CGdiPlusBitmap(const CGdiPlusBitmap&) = delete;
    CGdiPlusBitmap& operator=(const CGdiPlusBitmap&) = delete;

    Gdiplus::Bitmap* bitmap() const { return m_bitmap; }
    // The picture's size in 96-dpi pixels, the unit every layout and source rectangle is in;
    // a picture drawn for a larger scale ("name@2x.png") holds more pixels than that.
    int Width() const;   // 0 while empty
    int Height() const;  // 0 while empty
    // A rectangle of the picture in 96-dpi pixels as the bitmap's own pixels.
    RECT PixelRect(const RECT& rect) const;
    // A number of its own for every picture decoded in this process, 0 while empty: what is
    // made from a picture (a ready bitmap) is made again when this changes.
    ULONGLONG PictureId() const { return m_pictureId; }

protected:
    void Release();

    Gdiplus::Bitmap* m_bitmap = nullptr;  // owned
    ULONGLONG m_pictureId = 0;
    double m_pixelScale = 1.0;  // the bitmap's pixels per 96-dpi pixel
};

// Where a picture comes from: a file, or a resource of the program's own module such as
// ("PNG", 103).
struct PictureSource {
    std::wstring path;  // empty for a resource
    UINT resourceId = 0;
    std::wstring resourceType;

    static PictureSource File(std::wstring path) { return {std::move(path), 0, {}}; }
    static PictureSource Resource(UINT id, const wchar_t* type) { return {{}, id, type}; }
    bool operator==(const PictureSource& other) const
    {
        return path == other.path && resourceId == other.resourceId && resourceType == other.resourceType;
    }
};

// The one loader of images: a bitmap decoded from encoded bytes kept in movable global
// memory for the bitmap's life, checked right after decoding. Above 96 dpi the picture drawn
// for the nearest scale below the display's is taken where there is one: a file beside the
// named one with "@1.5x" or "@2x" before its extension, or a resource of the same id whose
// type ends in "_1_5X" or "_2X".
class CGdiPlusBitmapResource : public CGdiPlusBitmap {
public:
    CGdiPlusBitmapResource() = default;
    ~CGdiPlusBitmapResource() override;

    // True when a decoded bitmap is held; false leaves the holder empty.
    bool LoadFromResource(UINT id, const wchar_t* type);
    bool LoadFromFile(const std::wstring& path);
    void Empty();
    // Takes the picture `other` holds, which is left empty: a picture measured by one owner
    // and drawn by another is decoded once.
    void TakeFrom(CGdiPlusBitmapResource& other);

private:
    friend class CPicturePrefetch;
    bool Load(const PictureSource& source);
    bool Decode(const PictureSource& source);
    bool DecodeAtScale(const PictureSource& source, double pixelScale);
    bool DecodeFile(const std::wstring& path);
    bool DecodeResource(UINT id, const wchar_t* type);
    void* AllocateBuffer(DWORD size);
    bool DecodeBuffer();

    HGLOBAL m_buffer = nullptr;  // owned, locked while m_bitmap exists
};

// Pictures decoded on worker threads ahead of their first use, so that a window's creation
// does not wait for them. While a prefetch exists, LoadFromFile and LoadFromResource of a
// picture it was asked for take the one decoded there: at once when it is ready, after
// waiting when its decoding is under way. A picture whose turn has not come yet is decoded by
// the caller, and so is one the worker could not decode, which then fails the caller's way.
// One prefetch at a time, made and destroyed on the UI thread while GDI+ runs.
class CPicturePrefetch {
public:
    explicit CPicturePrefetch(const std::vector<PictureSource>& sources);
    // Waits for the decoding under way and frees the pictures nobody took.
    ~CPicturePrefetch();
    CPicturePrefetch(const CPicturePrefetch&) = delete;
    CPicturePrefetch& operator=(const CPicturePrefetch&) = delete;

    // More pictures for the prefetch that exists, if one does, on a worker of their own.
    static void Request(const std::vector<PictureSource>& sources);
    // True when a worker is done with the picture and what it decoded, if anything, waits to
    // be taken.
    static bool IsReady(const PictureSource& source);

private:
    friend class CGdiPlusBitmapResource;
    struct Entry;
    // The decoded picture moved into `picture`; false when there is none to take.
    static bool Take(const PictureSource& source, CGdiPlusBitmapResource& picture);
    void Add(const std::vector<PictureSource>& sources);
    static unsigned __stdcall WorkerMain(void* self);
    Entry* NextQueued();

    SRWLOCK m_lock = SRWLOCK_INIT;
    CONDITION_VARIABLE m_decoded = CONDITION_VARIABLE_INIT;
    std::list<Entry> m_entries;     // a node stays put while a worker decodes into it
    std::vector<HANDLE> m_workers;  // owned; UI thread only

    static CPicturePrefetch* s_current;  // the one that exists, or null
};

// Slice k of a four-slice state image: normal, hover, pressed (selected); the fourth, for a
// disabled look, is never shown.
enum StateSlice { SliceNormal = 0, SliceHover = 1, SlicePressed = 2 };
int SliceWidth(const CGdiPlusBitmap& image);

// Draws slice k into the destination rectangle, stretched when the sizes differ. An empty
// holder draws nothing.
void DrawSlice(Gdiplus::Graphics& graphics, const CGdiPlusBitmap& image, int slice, const RECT& destination);

// Draws the source rectangle of an image into the destination, in pixel units.
void DrawImagePart(Gdiplus::Graphics& graphics, const CGdiPlusBitmap& image, const RECT& destination, int sourceX,
                   int sourceY, int sourceWidth, int sourceHeight);

// Slice k of a state image as a source rectangle.
RECT SliceRect(const CGdiPlusBitmap& image, int slice);

// A part of a picture drawn once at the size it is shown and kept as a 32-bit bitmap with
// premultiplied alpha, so that a paint copies pixels instead of asking GDI+ to decode,
// convert and resample again. The ready copy is drawn by the very GDI+ call a paint would
// make, onto a transparent ground, and put on the target the way that call ends: blended
// (AlphaBlend) where the picture has alpha or is stretched, whose edge pixels GDI+ blends
// with the ground; copied (BitBlt) otherwise. So a paint shows the pixels GDI+ gives, with
// one exception measured under Wine: the edge pixels of an opaque picture stretched both ways
// come out other than GDI+ blends them into a coloured ground. Such a picture, a window's
// background, is drawn with DrawOverBlack. Above 96 dpi a stretched copy is resampled with
// high quality instead: that is where every picture is brought to the display's scale.
class CReadyBitmap {
public:
    CReadyBitmap() = default;
    CReadyBitmap(const CReadyBitmap&) = delete;
    CReadyBitmap& operator=(const CReadyBitmap&) = delete;

    // Draws `source` of `image` into `destination`, stretched when the sizes differ, like
    // DrawImagePart. The ready copy is made first when the picture, the part or the size
    // changed since the last call. An empty holder draws nothing.
    void Draw(HDC dc, const CGdiPlusBitmap& image, const RECT& destination, const RECT& source);
    // The same onto black: the whole ready copy is copied, and what the picture lets through
    // stays black. A window's background was drawn so, on a new off-screen surface.
    void DrawOverBlack(HDC dc, const CGdiPlusBitmap& image, const RECT& destination, const RECT& source);

private:
    bool Prepare(const CGdiPlusBitmap& image, const RECT& destination, const RECT& source);
    static bool ConvertInto(const CGdiPlusBitmap& image, const RECT& pixels, bool alpha, void* bits);
    static void Resample(const CGdiPlusBitmap& image, const RECT& pixels, SIZE size, void* bits);

    ULONGLONG m_pictureId = 0;  // of the picture the copy was made from; 0 while there is none
    RECT m_source = {};
    SIZE m_size = {};
    bool m_blended = false;  // put on the target with AlphaBlend, not BitBlt
    ui::UniqueBitmap m_bitmap;  // a DIB section, selected into m_dc
    ui::UniqueMemoryDc m_dc;    // goes first: the bitmap is deleted once no DC holds it
};

// The slices of a state image, each made ready when it is first drawn.
class CReadySlices {
public:
    void Draw(HDC dc, const CGdiPlusBitmap& image, int slice, const RECT& destination);

private:
    CReadyBitmap m_slices[4];
};

// An off-screen surface over a rectangle of a target DC, in the target's coordinates;
// its destruction copies it to the target.
class CMemorySurface {
public:
    CMemorySurface(HDC target, const RECT& rect);
    ~CMemorySurface();
    CMemorySurface(const CMemorySurface&) = delete;
    CMemorySurface& operator=(const CMemorySurface&) = delete;

    HDC dc() const { return m_dc.get(); }

private:
    HDC m_target;  // borrowed
    RECT m_rect;
    ui::UniqueMemoryDc m_dc;
    ui::UniqueBitmap m_bitmap;
    HGDIOBJ m_previousBitmap = nullptr;  // borrowed: the DC's own, selected back at the end
};

// Fills dc, a DC in the child's client coordinates, with what the parent paints behind the
// child (its WM_PRINTCLIENT answer). A window without a parent gets nothing.
void DrawParentBackground(HWND child, HDC dc);

// The message a window shows when a skin image it cannot do without does not load: no owner,
// captioned "出错了".
void ShowSkinError(const wchar_t* text);

// Opaque white over the rectangle; the DC's background colour is restored afterwards.
void FillWhite(HDC dc, const RECT& rect);

// Fills the rectangle with a solid colour the same way, restoring the background colour.
void FillSolid(HDC dc, const RECT& rect, COLORREF colour);
