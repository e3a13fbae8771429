#include "ui/skin.h"

#include <objidl.h>

#include <process.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <iterator>
#include <utility>

#include "base/unique_handle.h"
#include "ui/scale.h"
#include "ui/window.h"

CGdiPlusBitmap::~CGdiPlusBitmap()
{
    Release();
}

void CGdiPlusBitmap::Release()
{
    delete m_bitmap;
    m_bitmap = nullptr;
    m_pictureId = 0;
    m_pixelScale = 1.0;
}

namespace {

int ToPixels(int length, double pixelScale)
{
    return static_cast<int>(std::lround(length * pixelScale));
}

}  // namespace

int CGdiPlusBitmap::Width() const
{
    return m_bitmap ? static_cast<int>(std::lround(m_bitmap->GetWidth() / m_pixelScale)) : 0;
}

int CGdiPlusBitmap::Height() const
{
    return m_bitmap ? static_cast<int>(std::lround(m_bitmap->GetHeight() / m_pixelScale)) : 0;
}

RECT CGdiPlusBitmap::PixelRect(const RECT& rect) const
{
    return {ToPixels(rect.left, m_pixelScale), ToPixels(rect.top, m_pixelScale), ToPixels(rect.right, m_pixelScale),
            ToPixels(rect.bottom, m_pixelScale)};
}

CGdiPlusBitmapResource::~CGdiPlusBitmapResource()
{
    Empty();
}

void CGdiPlusBitmapResource::Empty()
{
    Release();
    if (m_buffer) {
        GlobalUnlock(m_buffer);
        GlobalFree(m_buffer);
        m_buffer = nullptr;
    }
}

bool CGdiPlusBitmapResource::LoadFromResource(UINT id, const wchar_t* type)
{
    return Load(PictureSource::Resource(id, type));
}

bool CGdiPlusBitmapResource::LoadFromFile(const std::wstring& path)
{
    return Load(PictureSource::File(path));
}

bool CGdiPlusBitmapResource::Load(const PictureSource& source)
{
    Empty();
    return CPicturePrefetch::Take(source, *this) || Decode(source);
}

namespace {

// A picture drawn for a larger scale: its name's mark and its pixels per 96-dpi pixel.
struct ScaledArtwork {
    int minimumDpi;
    const wchar_t* fileMark;  // before the file's extension
    const wchar_t* typeMark;  // after the resource's type
    double pixelScale;
};

constexpr ScaledArtwork kScaledArtwork[] = {{192, L"@2x", L"_2X", 2.0}, {144, L"@1.5x", L"_1_5X", 1.5}};

// The artwork for the display's scale: the largest that is not larger; null at 96 to 143 dpi.
const ScaledArtwork* ArtworkForDisplay()
{
    for (const ScaledArtwork& artwork : kScaledArtwork) {
        if (ui::SystemDpi() >= artwork.minimumDpi)
            return &artwork;
    }
    return nullptr;
}

PictureSource ScaledSource(const PictureSource& source, const ScaledArtwork& artwork)
{
    if (source.path.empty())
        return PictureSource::Resource(source.resourceId, (source.resourceType + artwork.typeMark).c_str());
    const size_t name = source.path.find_last_of(L"\\/");
    size_t extension = source.path.rfind(L'.');
    if (extension == std::wstring::npos || (name != std::wstring::npos && extension < name))
        extension = source.path.size();
    std::wstring path = source.path;
    path.insert(extension, artwork.fileMark);
    return PictureSource::File(std::move(path));
}

}  // namespace

bool CGdiPlusBitmapResource::Decode(const PictureSource& source)
{
    const ScaledArtwork* artwork = ArtworkForDisplay();
    return (artwork && DecodeAtScale(ScaledSource(source, *artwork), artwork->pixelScale)) ||
           DecodeAtScale(source, 1.0);
}

bool CGdiPlusBitmapResource::DecodeAtScale(const PictureSource& source, double pixelScale)
{
    const bool decoded = source.path.empty() ? DecodeResource(source.resourceId, source.resourceType.c_str())
                                             : DecodeFile(source.path);
    if (decoded)
        m_pixelScale = pixelScale;
    return decoded;
}

bool CGdiPlusBitmapResource::DecodeResource(UINT id, const wchar_t* type)
{
    const HMODULE module = ui::ModuleInstance();
    const HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(id), type);
    if (!resource)
        return false;
    const DWORD size = SizeofResource(module, resource);
    if (size == 0)
        return false;
    const HGLOBAL loaded = LoadResource(module, resource);
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes)
        return false;

    void* locked = AllocateBuffer(size);
    if (!locked)
        return false;
    CopyMemory(locked, bytes, size);
    return DecodeBuffer();
}

bool CGdiPlusBitmapResource::DecodeFile(const std::wstring& path)
{
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file)
        return false;
    const DWORD size = GetFileSize(file.get(), nullptr);
    if (size == INVALID_FILE_SIZE || size == 0)
        return false;  // an empty file holds no image; GlobalAlloc(0) would not be one either

    void* locked = AllocateBuffer(size);
    if (!locked)
        return false;
    DWORD read = 0;
    if (!ReadFile(file.get(), locked, size, &read, nullptr) || read != size) {
        Empty();
        return false;
    }
    return DecodeBuffer();
}

void CGdiPlusBitmapResource::TakeFrom(CGdiPlusBitmapResource& other)
{
    if (&other == this)
        return;
    Empty();
    std::swap(m_bitmap, other.m_bitmap);
    std::swap(m_buffer, other.m_buffer);
    std::swap(m_pictureId, other.m_pictureId);
    std::swap(m_pixelScale, other.m_pixelScale);
}

// A movable block of `size` bytes, held locked in m_buffer; null, with nothing held, when it
// cannot be had.
void* CGdiPlusBitmapResource::AllocateBuffer(DWORD size)
{
    ui::UniqueGlobalMemory buffer(GlobalAlloc(GMEM_MOVEABLE, size));
    void* locked = buffer ? GlobalLock(buffer.get()) : nullptr;
    if (locked)
        m_buffer = buffer.release();
    return locked;
}

// The stream must not free the block: the bitmap decodes from it for as long as it lives.
bool CGdiPlusBitmapResource::DecodeBuffer()
{
    IStream* stream = nullptr;
    if (FAILED(CreateStreamOnHGlobal(m_buffer, FALSE, &stream)) || !stream) {
        Empty();
        return false;
    }
    m_bitmap = Gdiplus::Bitmap::FromStream(stream);
    stream->Release();
    if (!m_bitmap || m_bitmap->GetLastStatus() != Gdiplus::Ok || m_bitmap->GetWidth() == 0) {
        Empty();
        return false;
    }
    static std::atomic<ULONGLONG> lastPictureId{0};  // prefetch workers decode too
    m_pictureId = ++lastPictureId;
    return true;
}

// --- Prefetch -----------------------------------------------------------------------------

struct CPicturePrefetch::Entry {
    enum State { Queued, Decoding, Decoded };
    PictureSource source;
    State state = Queued;
    CGdiPlusBitmapResource picture;  // written by the worker while Decoding; empty if that failed
};

CPicturePrefetch* CPicturePrefetch::s_current = nullptr;

CPicturePrefetch::CPicturePrefetch(const std::vector<PictureSource>& sources)
{
    if (!s_current)
        s_current = this;
    Add(sources);
}

CPicturePrefetch::~CPicturePrefetch()
{
    AcquireSRWLockExclusive(&m_lock);
    m_entries.remove_if([](const Entry& entry) { return entry.state == Entry::Queued; });
    ReleaseSRWLockExclusive(&m_lock);
    for (HANDLE worker : m_workers) {
        WaitForSingleObject(worker, INFINITE);
        CloseHandle(worker);
    }
    if (s_current == this)
        s_current = nullptr;
}

void CPicturePrefetch::Request(const std::vector<PictureSource>& sources)
{
    if (s_current)
        s_current->Add(sources);
}

bool CPicturePrefetch::IsReady(const PictureSource& source)
{
    if (!s_current)
        return false;
    CPicturePrefetch& self = *s_current;
    AcquireSRWLockShared(&self.m_lock);
    const bool ready = std::any_of(self.m_entries.begin(), self.m_entries.end(), [&](const Entry& entry) {
        return entry.source == source && entry.state == Entry::Decoded;
    });
    ReleaseSRWLockShared(&self.m_lock);
    return ready;
}

void CPicturePrefetch::Add(const std::vector<PictureSource>& sources)
{
    bool added = false;
    AcquireSRWLockExclusive(&m_lock);
    for (const PictureSource& source : sources) {
        const bool asked = std::any_of(m_entries.begin(), m_entries.end(),
                                       [&](const Entry& entry) { return entry.source == source; });
        if (!asked) {
            m_entries.emplace_back().source = source;
            added = true;
        }
    }
    ReleaseSRWLockExclusive(&m_lock);
    if (!added)
        return;
    // Without a worker the pictures stay queued, and every caller decodes its own.
    const uintptr_t worker = _beginthreadex(nullptr, 0, WorkerMain, this, 0, nullptr);
    if (worker)
        m_workers.push_back(reinterpret_cast<HANDLE>(worker));
}

// The first picture no one has started on, now marked as being decoded; null when there is none.
// Called with the lock held.
CPicturePrefetch::Entry* CPicturePrefetch::NextQueued()
{
    for (Entry& entry : m_entries) {
        if (entry.state == Entry::Queued) {
            entry.state = Entry::Decoding;
            return &entry;
        }
    }
    return nullptr;
}

unsigned __stdcall CPicturePrefetch::WorkerMain(void* context)
{
    auto& self = *static_cast<CPicturePrefetch*>(context);
    for (;;) {
        AcquireSRWLockExclusive(&self.m_lock);
        Entry* entry = self.NextQueued();
        ReleaseSRWLockExclusive(&self.m_lock);
        if (!entry)
            return 0;
        entry->picture.Decode(entry->source);
        AcquireSRWLockExclusive(&self.m_lock);
        entry->state = Entry::Decoded;
        ReleaseSRWLockExclusive(&self.m_lock);
        WakeAllConditionVariable(&self.m_decoded);
    }
}

bool CPicturePrefetch::Take(const PictureSource& source, CGdiPlusBitmapResource& picture)
{
    if (!s_current)
        return false;
    CPicturePrefetch& self = *s_current;
    AcquireSRWLockExclusive(&self.m_lock);
    auto found = std::find_if(self.m_entries.begin(), self.m_entries.end(),
                              [&](const Entry& entry) { return entry.source == source; });
    if (found != self.m_entries.end()) {
        while (found->state == Entry::Decoding)
            SleepConditionVariableSRW(&self.m_decoded, &self.m_lock, INFINITE, 0);
        if (found->state == Entry::Decoded)
            picture.TakeFrom(found->picture);
        self.m_entries.erase(found);  // a queued one is the caller's to decode
    }
    ReleaseSRWLockExclusive(&self.m_lock);
    return picture.bitmap() != nullptr;
}

// --- Drawing ------------------------------------------------------------------------------

int SliceWidth(const CGdiPlusBitmap& image)
{
    return image.Width() / 4;
}

void DrawImagePart(Gdiplus::Graphics& graphics, const CGdiPlusBitmap& image, const RECT& destination, int sourceX,
                   int sourceY, int sourceWidth, int sourceHeight)
{
    if (!image.bitmap())
        return;
    const RECT source = image.PixelRect({sourceX, sourceY, sourceX + sourceWidth, sourceY + sourceHeight});
    graphics.DrawImage(image.bitmap(), Gdiplus::Rect(destination.left, destination.top, ui::Width(destination),
                                                     ui::Height(destination)),
                       source.left, source.top, ui::Width(source), ui::Height(source), Gdiplus::UnitPixel);
}

RECT SliceRect(const CGdiPlusBitmap& image, int slice)
{
    const int width = SliceWidth(image);
    return {slice * width, 0, (slice + 1) * width, image.Height()};
}

namespace {

// A 32-bit top-down DIB section. Unlike a bitmap compatible with a window's DC, making and
// selecting one never asks the display driver for its colour depth, which under Wine costs
// a round trip to the server each time.
HBITMAP CreateTopDownDib(SIZE size, void** bits)
{
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = size.cx;
    info.bmiHeader.biHeight = -size.cy;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* ignored = nullptr;
    return CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, bits ? bits : &ignored, nullptr, 0);
}

}  // namespace

void DrawSlice(Gdiplus::Graphics& graphics, const CGdiPlusBitmap& image, int slice, const RECT& destination)
{
    const RECT source = SliceRect(image, slice);
    DrawImagePart(graphics, image, destination, source.left, source.top, ui::Width(source), ui::Height(source));
}

void CReadyBitmap::Draw(HDC dc, const CGdiPlusBitmap& image, const RECT& destination, const RECT& source)
{
    if (!Prepare(image, destination, source))
        return;
    if (m_blended) {
        const BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
        AlphaBlend(dc, destination.left, destination.top, m_size.cx, m_size.cy, m_dc.get(), 0, 0, m_size.cx,
                   m_size.cy, blend);
    } else {
        BitBlt(dc, destination.left, destination.top, m_size.cx, m_size.cy, m_dc.get(), 0, 0, SRCCOPY);
    }
}

void CReadyBitmap::DrawOverBlack(HDC dc, const CGdiPlusBitmap& image, const RECT& destination, const RECT& source)
{
    if (Prepare(image, destination, source))
        BitBlt(dc, destination.left, destination.top, m_size.cx, m_size.cy, m_dc.get(), 0, 0, SRCCOPY);
}

// True when a ready copy of this part at this size is there, made now if need be.
bool CReadyBitmap::Prepare(const CGdiPlusBitmap& image, const RECT& destination, const RECT& source)
{
    const SIZE size = {ui::Width(destination), ui::Height(destination)};
    if (m_dc && image.PictureId() == m_pictureId && EqualRect(&source, &m_source) && size.cx == m_size.cx &&
        size.cy == m_size.cy)
        return true;
    m_dc.reset();
    m_bitmap.reset();
    m_pictureId = 0;
    if (!image.bitmap() || size.cx <= 0 || size.cy <= 0)
        return false;

    void* bits = nullptr;
    ui::UniqueMemoryDc dc(CreateCompatibleDC(nullptr));
    ui::UniqueBitmap bitmap(CreateTopDownDib(size, &bits));  // all zero: transparent
    if (!dc || !bitmap)
        return false;
    SelectObject(dc.get(), bitmap.get());
    const bool alpha = Gdiplus::IsAlphaPixelFormat(image.bitmap()->GetPixelFormat()) != FALSE;
    const RECT pixels = image.PixelRect(source);
    const bool stretched = size.cx != ui::Width(pixels) || size.cy != ui::Height(pixels);
    if (stretched && !ui::IsUnscaled()) {
        Resample(image, pixels, size, bits);
    } else if (stretched || !ConvertInto(image, pixels, alpha, bits)) {
        Gdiplus::Graphics graphics(dc.get());
        DrawImagePart(graphics, image, {0, 0, size.cx, size.cy}, source.left, source.top, ui::Width(source),
                      ui::Height(source));
    }
    GdiFlush();  // GDI+ may have written through the DIB's bits
    m_bitmap = std::move(bitmap);
    m_dc = std::move(dc);
    m_pictureId = image.PictureId();
    m_source = source;
    m_size = size;
    m_blended = alpha || stretched;
    return true;
}

// An unstretched part converted straight into the copy's top-down 32-bit pixels, as GDI+
// converts it before it blends (premultiplied) or copies it: one pass, without drawing.
bool CReadyBitmap::ConvertInto(const CGdiPlusBitmap& image, const RECT& pixels, bool alpha, void* bits)
{
    Gdiplus::BitmapData data = {};
    data.Width = static_cast<UINT>(ui::Width(pixels));
    data.Height = static_cast<UINT>(ui::Height(pixels));
    data.Stride = ui::Width(pixels) * 4;
    data.PixelFormat = alpha ? PixelFormat32bppPARGB : PixelFormat32bppRGB;
    data.Scan0 = bits;
    Gdiplus::Rect rect(pixels.left, pixels.top, ui::Width(pixels), ui::Height(pixels));
    if (image.bitmap()->LockBits(&rect, Gdiplus::ImageLockModeRead | Gdiplus::ImageLockModeUserInputBuf,
                                 data.PixelFormat, &data) != Gdiplus::Ok)
        return false;
    image.bitmap()->UnlockBits(&data);
    return true;
}

// The part resampled to the display's scale, once: high-quality bicubic into premultiplied
// pixels, which AlphaBlend takes as they are, so transparent neighbours leave no dark fringe.
// The edges are mirrored outward, so a slice of a strip or an opaque picture's border does
// not blend with what lies beside it.
void CReadyBitmap::Resample(const CGdiPlusBitmap& image, const RECT& pixels, SIZE size, void* bits)
{
    Gdiplus::Bitmap target(size.cx, size.cy, size.cx * 4, PixelFormat32bppPARGB, static_cast<BYTE*>(bits));
    Gdiplus::Graphics graphics(&target);
    graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
    graphics.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHighQuality);
    graphics.SetCompositingMode(Gdiplus::CompositingModeSourceCopy);
    Gdiplus::ImageAttributes edges;
    edges.SetWrapMode(Gdiplus::WrapModeTileFlipXY);
    graphics.DrawImage(image.bitmap(), Gdiplus::Rect(0, 0, size.cx, size.cy), pixels.left, pixels.top,
                       ui::Width(pixels), ui::Height(pixels), Gdiplus::UnitPixel, &edges);
}

void CReadySlices::Draw(HDC dc, const CGdiPlusBitmap& image, int slice, const RECT& destination)
{
    if (slice >= 0 && slice < static_cast<int>(std::size(m_slices)))
        m_slices[slice].Draw(dc, image, destination, SliceRect(image, slice));
}

CMemorySurface::CMemorySurface(HDC target, const RECT& rect) : m_target(target), m_rect(rect)
{
    m_dc.reset(CreateCompatibleDC(m_target));
    RECT device = m_rect;
    LPtoDP(m_target, reinterpret_cast<POINT*>(&device), 2);
    m_bitmap.reset(CreateTopDownDib({ui::Width(device), ui::Height(device)}, nullptr));
    if (m_dc && m_bitmap)
        m_previousBitmap = SelectObject(m_dc.get(), m_bitmap.get());
    SetWindowOrgEx(m_dc.get(), m_rect.left, m_rect.top, nullptr);
}

CMemorySurface::~CMemorySurface()
{
    if (!m_previousBitmap)
        return;
    BitBlt(m_target, m_rect.left, m_rect.top, ui::Width(m_rect), ui::Height(m_rect), m_dc.get(), m_rect.left,
           m_rect.top, SRCCOPY);
    SelectObject(m_dc.get(), m_previousBitmap);
}

void DrawParentBackground(HWND child, HDC dc)
{
    const HWND parent = GetParent(child);
    if (!parent)
        return;
    RECT rect = ui::ClientRect(child);
    MapWindowPoints(child, parent, reinterpret_cast<POINT*>(&rect), 2);
    POINT previousOrigin = {};
    SetWindowOrgEx(dc, rect.left, rect.top, &previousOrigin);
    SendMessageW(parent, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT | PRF_ERASEBKGND);
    SetWindowOrgEx(dc, previousOrigin.x, previousOrigin.y, nullptr);
}

void ShowSkinError(const wchar_t* text)
{
    MessageBoxW(nullptr, text, L"出错了", MB_OK | MB_ICONINFORMATION);
}

void FillSolid(HDC dc, const RECT& rect, COLORREF colour)
{
    const COLORREF previous = SetBkColor(dc, colour);
    if (previous == CLR_INVALID)
        return;
    ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &rect, nullptr, 0, nullptr);
    SetBkColor(dc, previous);
}

void FillWhite(HDC dc, const RECT& rect)
{
    FillSolid(dc, rect, RGB(255, 255, 255));
}
