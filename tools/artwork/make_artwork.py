#!/usr/bin/python3
"""Draws every picture of the installer: embedded images, skin files and icons.

Shapes are drawn with cairo, text with Pillow and the WenQuanYi Micro Hei font.
The output is deterministic (no PNG metadata, fixed JPEG settings), so running
the script again leaves the committed files byte-identical.

    make_artwork.py            draw everything, then check it
    make_artwork.py --check    only check the committed files
    make_artwork.py --preview  also compose build/preview*.png (not committed)
"""

import argparse
import contextlib
import io
import math
import struct
import sys
from pathlib import Path

import cairo
from PIL import Image, ImageDraw, ImageFont

ROOT = Path(__file__).resolve().parents[2]
RES_DIR = ROOT / "res" / "images"
SKIN_DIR = ROOT / "AppLib" / "Skin"
GROUP_ICON_DIR = ROOT / "AppLib" / "GroupIcons"
APP_ICON_DIR = ROOT / "AppLib" / "AppIcons"
PREVIEW_DIR = ROOT / "build"

FONT_FILE = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc"
TITLE = "U盘装系统装机必备软件包"

# Palette: one blue family for the chrome, white body, orange for the main action.
BLUE_LIGHT = (0x1A, 0x73, 0xD1)
BLUE = (0x12, 0x62, 0xB8)
BLUE_DEEP = (0x0B, 0x4F, 0x9C)
BLUE_NIGHT = (0x08, 0x3B, 0x75)
ORANGE_LIGHT = (0xFF, 0xA7, 0x3C)
ORANGE = (0xF5, 0x7C, 0x0F)
ORANGE_DEEP = (0xD9, 0x62, 0x00)
WHITE = (0xFF, 0xFF, 0xFF)
RED_LIGHT = (0xF2, 0x4B, 0x3F)
RED = (0xD4, 0x2A, 0x1F)
RED_DARK = (0x9E, 0x1B, 0x12)

SCROLL_TRACK_BORDER, SCROLL_TRACK_INSIDE = (208, 208, 208), (222, 222, 222)
SCROLL_THUMB_BORDER, SCROLL_THUMB_INSIDE = (210, 210, 210), (247, 247, 247)
FILL_BORDER, FILL_INSIDE = (0, 82, 157), (18, 107, 188)

JPEG_SETTINGS = dict(quality=92, subsampling=0, optimize=False, progressive=False)


# ---------------------------------------------------------------- basics

def rgb(c, a=1.0):
    """cairo colour tuple from 0-255 components."""
    return (c[0] / 255.0, c[1] / 255.0, c[2] / 255.0, a)


def mix(c1, c2, t):
    return tuple(round(a + (b - a) * t) for a, b in zip(c1, c2))


def new_canvas(w, h):
    surface = cairo.ImageSurface(cairo.FORMAT_ARGB32, w, h)
    return surface, cairo.Context(surface)


def to_image(surface):
    """Cairo ARGB32 (premultiplied, native-endian) to a straight-alpha RGBA image."""
    surface.flush()
    w, h, stride = surface.get_width(), surface.get_height(), surface.get_stride()
    raw = bytes(surface.get_data())
    return Image.frombuffer("RGBa", (w, h), raw, "raw", "BGRa", stride, 1).convert("RGBA")


# ---------------------------------------------------------------- drawing scale

# Every picture is laid out in 96-dpi pixels. A picture for a larger display is the same
# drawing at a scale: the context of paint() is scaled, put_text() takes the scaled font size,
# and pixel-built pictures place their rows and columns through px().
_scale = 1


@contextlib.contextmanager
def drawing_scale(scale):
    global _scale
    previous, _scale = _scale, scale
    try:
        yield
    finally:
        _scale = previous


def px(length):
    """A 96-dpi length in pixels at the drawing scale, halves away from zero as the
    program rounds it (lround), so an edge lands on the pixel the program cuts at."""
    return int(math.copysign(math.floor(abs(length) * _scale + 0.5), length))


def hairline():
    """Whole pixels of a one-pixel line: 1 at 1.5x keeps it crisp, 2 at 2x."""
    return max(1, int(_scale))


def paint(w, h, painter):
    """A w x h picture (96-dpi pixels) of px(w) x px(h) pixels. Where the scaled size is
    rounded (17 at 1.5x is 26, not 25.5) the context is stretched that fraction of a pixel,
    so grounds still fill the picture to its edges."""
    surface, ctx = new_canvas(px(w), px(h))
    if _scale != 1:
        ctx.scale(px(w) / float(w), px(h) / float(h))
    painter(ctx)
    return to_image(surface)


def rounded_rect(ctx, x, y, w, h, r):
    r = min(r, w / 2.0, h / 2.0)
    ctx.new_sub_path()
    ctx.arc(x + w - r, y + r, r, -math.pi / 2, 0)
    ctx.arc(x + w - r, y + h - r, r, 0, math.pi / 2)
    ctx.arc(x + r, y + h - r, r, math.pi / 2, math.pi)
    ctx.arc(x + r, y + r, r, math.pi, 3 * math.pi / 2)
    ctx.close_path()


def device_box(ctx, x, y, w, h):
    """The pixel edges of a rectangle, rounded as the program rounds its layout."""
    x0, y0 = ctx.user_to_device(x, y)
    x1, y1 = ctx.user_to_device(x + w, y + h)
    return tuple(math.floor(v + 0.5) for v in (x0, y0, x1, y1))


def box(ctx, x, y, w, h):
    """A rectangle with its edges on whole pixels, so a band or a bar stays crisp at 1.5x
    and meets what the program draws beside it."""
    x0, y0, x1, y1 = device_box(ctx, x, y, w, h)
    left, top = ctx.device_to_user(x0, y0)
    right, bottom = ctx.device_to_user(x1, y1)
    ctx.rectangle(left, top, right - left, bottom - top)


def fill_frame(ctx, x, y, w, h):
    """Fills a frame of one hairline just inside the rectangle, with the current source."""
    x0, y0, x1, y1 = device_box(ctx, x, y, w, h)
    line = hairline()
    ctx.save()
    ctx.identity_matrix()
    ctx.set_fill_rule(cairo.FILL_RULE_EVEN_ODD)
    ctx.rectangle(x0, y0, x1 - x0, y1 - y0)
    ctx.rectangle(x0 + line, y0 + line, x1 - x0 - 2 * line, y1 - y0 - 2 * line)
    ctx.fill()
    ctx.restore()


def vertical_gradient(y0, y1, stops):
    """stops: sequence of (offset, rgb, alpha)."""
    pattern = cairo.LinearGradient(0, y0, 0, y1)
    for offset, colour, alpha in stops:
        pattern.add_color_stop_rgba(offset, *rgb(colour, alpha))
    return pattern


def two_tone(y0, y1, top, bottom):
    return vertical_gradient(y0, y1, [(0, top, 1), (1, bottom, 1)])


# ---------------------------------------------------------------- text

_fonts = {}


def font(size):
    if size not in _fonts:
        _fonts[size] = ImageFont.truetype(FONT_FILE, size, index=0)
    return _fonts[size]


BOLD_SCALE = 4


def text_mask(text, size, bold=False):
    """Anti-aliased coverage of text of size pixels, cropped to its ink. The font has no
    bold face, so bold is a stroke of half a 96-dpi pixel drawn at four times the size and
    scaled down; a whole-pixel stroke at the real size fills the counters of Chinese glyphs.
    The font takes whole sizes only: a half size (13 at 1.5x) is drawn twice as large."""
    scale = BOLD_SCALE if bold else 1 if size == int(size) else 2
    f = font(int(size * scale))
    stroke = round(BOLD_SCALE * _scale / 2) if bold else 0
    left, top, right, bottom = f.getbbox(text, stroke_width=stroke)
    pad = 2 * scale
    w, h = right - left + 2 * pad, bottom - top + 2 * pad
    w, h = -(-w // scale) * scale, -(-h // scale) * scale
    mask = Image.new("L", (w, h), 0)
    ImageDraw.Draw(mask).text((pad - left, pad - top), text, font=f, fill=255,
                              stroke_width=stroke, stroke_fill=255)
    if scale > 1:
        mask = mask.resize((w // scale, h // scale), Image.BOX)
    return mask.crop(mask.getbbox())


def text_width(text, size):
    return math.ceil(font(size).getlength(text))


def put_text(image, text, size, colour, x, y, alpha=1.0, bold=False,
             align="left", valign="top", shadow=None):
    """Composites text onto image. size and (x, y) are in 96-dpi pixels; (x, y) is the
    ink box's anchor given by align ("left", "center", "right") and valign ("top",
    "middle"); shadow is (colour, alpha, dx, dy) or None."""
    mask = text_mask(text, size * _scale, bold)
    x, y = x * _scale, y * _scale
    w, h = mask.size
    if align == "center":
        x -= w / 2.0
    elif align == "right":
        x -= w
    if valign == "middle":
        y -= h / 2.0
    x, y = round(x), round(y)
    if shadow:
        s_colour, s_alpha, dx, dy = shadow
        _composite_mask(image, mask, s_colour, s_alpha, x + px(dx), y + px(dy))
    _composite_mask(image, mask, colour, alpha, x, y)
    return image


def _composite_mask(image, mask, colour, alpha, x, y):
    layer = Image.new("RGBA", mask.size, tuple(colour) + (0,))
    layer.putalpha(mask.point(lambda v: round(v * alpha)))
    image.alpha_composite(layer, (x, y))


# ---------------------------------------------------------------- saving

def png_bytes(image, mode):
    buffer = io.BytesIO()
    # No pnginfo: Pillow then writes no text or time chunks.
    image.convert(mode).save(buffer, format="PNG", optimize=False, compress_level=9)
    return buffer.getvalue()


def jpeg_bytes(image):
    buffer = io.BytesIO()
    image.convert("RGB").save(buffer, format="JPEG", **JPEG_SETTINGS)
    return buffer.getvalue()


def ico_dib_entry(image):
    """32-bit BGRA DIB with an all-zero AND mask, as an icon directory stores it."""
    w, h = image.size
    header = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = []
    bgra = image.convert("RGBA").tobytes("raw", "BGRA")
    for y in reversed(range(h)):  # bottom-up rows
        rows.append(bgra[y * w * 4:(y + 1) * w * 4])
    mask_stride = ((w + 31) // 32) * 4
    and_mask = bytes(mask_stride * h)
    return header + b"".join(rows) + and_mask


def ico_bytes(images):
    """images: RGBA images largest first; those of 128 pixels and more are stored as PNG."""
    entries = []
    for image in images:
        if image.size[0] >= 128:
            buffer = io.BytesIO()
            image.save(buffer, format="PNG", optimize=False, compress_level=9)
            entries.append((image.size, buffer.getvalue()))
        else:
            entries.append((image.size, ico_dib_entry(image)))
    offset = 6 + 16 * len(entries)
    directory = struct.pack("<HHH", 0, 1, len(entries))
    blobs = b""
    for (w, h), blob in entries:
        directory += struct.pack("<BBBBHHII", w % 256, h % 256, 0, 0, 1, 32,
                                 len(blob), offset + len(blobs))
        blobs += blob
    return directory + blobs


def side_by_side(slices, slice_width):
    """A strip of slices slice_width 96-dpi pixels wide. Slice k fills the pixels from
    px(k * slice_width) to px((k + 1) * slice_width), where the program cuts it: at 1.5x
    a 29-pixel slice is 44 or 43 pixels wide, and a narrower one loses its last column."""
    h = slices[0].size[1]
    strip = Image.new("RGBA", (px(slice_width * len(slices)), h), (0, 0, 0, 0))
    for k, image in enumerate(slices):
        left, right = px(k * slice_width), px((k + 1) * slice_width)
        strip.alpha_composite(image.crop((0, 0, right - left, h)), (left, 0))
    return strip


# ---------------------------------------------------------------- window buttons

def window_button_ground(w, h, top, bottom, alpha=1.0):
    def painter(ctx):
        ctx.rectangle(0, 0, w, h)
        ctx.set_source(vertical_gradient(0, h, [(0, top, alpha), (1, bottom, alpha)]))
        ctx.fill()
    return painter


def close_slice(ground, glyph=True):
    def painter(ctx):
        if ground:
            ground(ctx)
        if glyph:
            ctx.set_source_rgba(*rgb(WHITE))
            ctx.set_line_width(1.6)
            ctx.set_line_cap(cairo.LINE_CAP_ROUND)
            cx, cy, d = 14.5, 8.5, 4.0
            ctx.move_to(cx - d, cy - d)
            ctx.line_to(cx + d, cy + d)
            ctx.move_to(cx + d, cy - d)
            ctx.line_to(cx - d, cy + d)
            ctx.stroke()
    return paint(29, 17, painter)


def make_close():
    return side_by_side([
        close_slice(None),
        close_slice(window_button_ground(29, 17, RED_LIGHT, RED)),
        close_slice(window_button_ground(29, 17, RED, RED_DARK)),
        close_slice(None, glyph=False),
    ], 29)


def minimize_slice(ground, drop=0, glyph=True):
    def painter(ctx):
        if ground:
            ground(ctx)
        if glyph:
            ctx.set_source_rgba(*rgb(WHITE))
            box(ctx, 10, 10 + drop, 9, 2)
            ctx.fill()
    return paint(29, 17, painter)


def make_minimize():
    return side_by_side([
        minimize_slice(None),
        minimize_slice(window_button_ground(29, 17, WHITE, WHITE, alpha=0.22)),
        minimize_slice(window_button_ground(29, 17, BLUE_NIGHT, BLUE_NIGHT, alpha=0.35), drop=1),
        minimize_slice(None, glyph=False),
    ], 29)


# ---------------------------------------------------------------- scroll bar and progress

def framed(w, h, border, inside):
    """A w x h picture (96-dpi pixels) in one colour inside a frame of one hairline."""
    line, w, h = hairline(), px(w), px(h)
    image = Image.new("RGB", (w, h), border)
    image.paste(inside, (line, line, w - line, h - line))
    return image


def framed_rows(row, h):
    """The pixel rows of 96-dpi row `row` inside a frame h rows high: the first and the
    last inside row reach the hairline, the others are cut where px() cuts them."""
    line = hairline()

    def edge(y):
        return line if y == 1 else px(h) - line if y == h - 1 else px(y)
    return edge(row), edge(row + 1)


def make_scroll_track():
    return framed(8, 410, SCROLL_TRACK_BORDER, SCROLL_TRACK_INSIDE)


def make_scroll_thumb():
    image = framed(12, 25, SCROLL_THUMB_BORDER, SCROLL_THUMB_INSIDE)
    # Round the corners a little: the thumb sits on the white ground of the bar,
    # and only the 5-pixel caps carry corners, so stretching never smears them.
    soft = mix(SCROLL_THUMB_BORDER, WHITE, 0.6)
    right, bottom = image.size[0] - 1, image.size[1] - 1
    for x, y in ((0, 0), (right, 0), (0, bottom), (right, bottom)):
        image.putpixel((x, y), soft)
    return image


def make_progress_fill():
    image = framed(310, 14, FILL_BORDER, FILL_INSIDE)
    # A faint sheen on the top rows of the inside; the rest keeps the plain colour.
    right = image.size[0] - hairline()
    for y, colour in ((1, mix(FILL_INSIDE, WHITE, 0.22)), (2, mix(FILL_INSIDE, WHITE, 0.12)),
                      (3, mix(FILL_INSIDE, WHITE, 0.05)), (12, mix(FILL_INSIDE, FILL_BORDER, 0.3))):
        top, bottom = framed_rows(y, 14)
        image.paste(colour, (hairline(), top, right, bottom))
    return image


def spinner_frame(frame, spokes=16, trail=7):
    def painter(ctx):
        ctx.translate(20, 20)
        ctx.set_line_cap(cairo.LINE_CAP_ROUND)
        ctx.set_line_width(2.6)
        dim = (0xD3, 0xDD, 0xEA)
        for k in range(spokes):
            # Spokes behind the highlighted one fade out like a comet tail.
            age = (frame - k) % spokes
            t = age / float(trail) if age < trail else 1.0
            colour = mix(BLUE_LIGHT, dim, t)
            angle = -math.pi / 2 + 2 * math.pi * k / spokes
            c, s = math.cos(angle), math.sin(angle)
            ctx.set_source_rgba(*rgb(colour))
            ctx.move_to(c * 9.5, s * 9.5)
            ctx.line_to(c * 17.0, s * 17.0)
            ctx.stroke()
    return paint(40, 40, painter)


def make_spinner():
    return side_by_side([spinner_frame(i) for i in range(16)], 40)


def make_progress_background():
    w, h, band = 401, 122, 30

    def painter(ctx):
        ctx.rectangle(0, 0, w, h)
        ctx.set_source_rgba(*rgb(WHITE))
        ctx.fill()
        box(ctx, 0, 0, w, band)
        ctx.set_source(two_tone(0, band, BLUE_LIGHT, BLUE_DEEP))
        ctx.fill()
        box(ctx, 0, band - 1, w, 1)
        ctx.set_source_rgba(*rgb(BLUE_NIGHT, 0.6))
        ctx.fill()
        # Frame of the dialog's body.
        ctx.set_source_rgba(*rgb(BLUE_DEEP, 0.75))
        fill_frame(ctx, 0, band - 1, w, h - band + 1)
        # Empty track around the bar rectangle (76, 79, 310 x 14).
        box(ctx, 75, 78, 312, 16)
        ctx.set_source_rgba(*rgb((0xBF, 0xC9, 0xD6)))
        ctx.fill()
        box(ctx, 76, 79, 310, 14)
        ctx.set_source(two_tone(79, 93, (0xE4, 0xE8, 0xEE), (0xF0, 0xF3, 0xF6)))
        ctx.fill()
        # A small mark on the band.
        ctx.save()
        ctx.translate(8, 7)
        draw_app_mark(ctx, 16)
        ctx.restore()

    image = paint(w, h, painter)
    put_text(image, TITLE, 13, WHITE, 30, 15, align="left", valign="middle",
             shadow=(BLUE_NIGHT, 0.5, 0, 1))
    return image.convert("RGB")


# ---------------------------------------------------------------- application mark

def draw_app_mark(ctx, size):
    """The product mark (a USB stick with a download arrow on a blue tile), drawn
    into a size x size square at the origin. Small sizes get a simpler drawing
    with pixel-aligned strokes so they stay legible; a scaled one is not small."""
    if size * _scale <= 16:
        _draw_small_mark(ctx, size)
        return
    ctx.save()
    ctx.scale(size / 48.0, size / 48.0)
    # Tile.
    rounded_rect(ctx, 2, 2, 44, 44, 10)
    ctx.set_source(two_tone(2, 46, (0x2E, 0x8C, 0xEA), BLUE_DEEP))
    ctx.fill()
    rounded_rect(ctx, 2.5, 2.5, 43, 43, 9.5)
    ctx.set_source(vertical_gradient(2, 46, [(0, WHITE, 0.35), (0.5, WHITE, 0.0)]))
    ctx.set_line_width(1)
    ctx.stroke()
    # USB stick, leaning slightly.
    ctx.save()
    ctx.translate(20, 23)
    ctx.rotate(math.radians(-12))
    ctx.set_source_rgba(*rgb(WHITE))
    rounded_rect(ctx, -5, -11, 10, 7, 1.2)  # connector
    ctx.fill()
    ctx.set_source_rgba(*rgb(BLUE_DEEP))
    ctx.rectangle(-3, -9, 2, 2)
    ctx.rectangle(1, -9, 2, 2)
    ctx.fill()
    ctx.set_source_rgba(*rgb(WHITE))
    rounded_rect(ctx, -8, -4, 16, 22, 3)  # body
    ctx.fill()
    ctx.set_source_rgba(*rgb(BLUE_LIGHT, 0.55))
    ctx.rectangle(-5, 1, 10, 1.5)
    ctx.fill()
    ctx.restore()
    # Orange badge with a down arrow.
    ctx.arc(33, 33, 9.5, 0, 2 * math.pi)
    ctx.set_source_rgba(*rgb(WHITE))
    ctx.fill()
    ctx.arc(33, 33, 8, 0, 2 * math.pi)
    ctx.set_source(two_tone(25, 41, ORANGE_LIGHT, ORANGE_DEEP))
    ctx.fill()
    ctx.set_source_rgba(*rgb(WHITE))
    ctx.move_to(31.3, 27.5)
    ctx.line_to(34.7, 27.5)
    ctx.line_to(34.7, 32.5)
    ctx.line_to(37.5, 32.5)
    ctx.line_to(33, 37.8)
    ctx.line_to(28.5, 32.5)
    ctx.line_to(31.3, 32.5)
    ctx.close_path()
    ctx.fill()
    ctx.restore()


def _draw_small_mark(ctx, size):
    ctx.save()
    ctx.scale(size / 16.0, size / 16.0)
    rounded_rect(ctx, 0.5, 0.5, 15, 15, 3.2)
    ctx.set_source(two_tone(0, 16, (0x2E, 0x8C, 0xEA), BLUE_DEEP))
    ctx.fill()
    # Stick: connector and body, on whole pixels.
    ctx.set_source_rgba(*rgb(WHITE))
    ctx.rectangle(4, 2, 4, 2)
    ctx.fill()
    rounded_rect(ctx, 3, 4, 6, 9, 1)
    ctx.fill()
    # Arrow on the right, orange.
    ctx.set_source_rgba(*rgb(ORANGE_LIGHT))
    ctx.rectangle(11, 5, 2, 5)
    ctx.fill()
    ctx.move_to(9, 9)
    ctx.line_to(15, 9)
    ctx.line_to(12, 13)
    ctx.close_path()
    ctx.fill()
    ctx.restore()


def make_app_icon_images():
    return [paint(s, s, lambda ctx, s=s: draw_app_mark(ctx, s)) for s in (128, 48, 32, 24, 16)]


# ---------------------------------------------------------------- window background

def make_window_background():
    w, h = 800, 599
    header, bottom = 87, 543

    def painter(ctx):
        # Header band.
        box(ctx, 0, 0, w, header)
        ctx.set_source(two_tone(0, header, BLUE_LIGHT, BLUE_DEEP))
        ctx.fill()
        # Soft light circles on the right, kept faint so text stays calm.
        for cx, cy, r, a in ((700, -30, 110, 0.06), (610, 95, 80, 0.045), (790, 70, 60, 0.05)):
            ctx.arc(cx, cy, r, 0, 2 * math.pi)
            ctx.set_source_rgba(*rgb(WHITE, a))
            ctx.fill()
        box(ctx, 0, header - 1, w, 1)
        ctx.set_source_rgba(*rgb(BLUE_NIGHT, 0.8))
        ctx.fill()
        # Side strips beside the list and the bottom band: one frame colour.
        box(ctx, 0, header, w, bottom - header)
        ctx.set_source_rgba(*rgb(BLUE_DEEP))
        ctx.fill()
        box(ctx, 4, header, 792, bottom - header)
        ctx.set_source_rgba(*rgb((0xF4, 0xF7, 0xFB)))
        ctx.fill()
        box(ctx, 0, bottom, w, h - bottom)
        ctx.set_source(two_tone(bottom, h, BLUE, BLUE_DEEP))
        ctx.fill()
        box(ctx, 0, bottom, w, 1)
        ctx.set_source_rgba(*rgb(WHITE, 0.12))
        ctx.fill()
        # Mark at the left of the bottom band.
        ctx.save()
        ctx.translate(14, 555)
        draw_app_mark(ctx, 32)
        ctx.restore()
        # Window frame.
        ctx.set_source_rgba(*rgb(BLUE_NIGHT))
        fill_frame(ctx, 0, 0, w, h)

    image = paint(w, h, painter)
    shadow = (BLUE_NIGHT, 0.45, 0, 1)
    put_text(image, "U盘装系统", 14, WHITE, 54, 564, bold=False, shadow=shadow)
    put_text(image, "装机必备软件包", 11, WHITE, 54, 582, alpha=0.7)
    # Title under the window buttons; only a catalogue of 7+ groups covers it.
    put_text(image, TITLE, 18, WHITE, 780, 48, alpha=0.92, align="right", valign="middle",
             shadow=shadow)
    put_text(image, "新装系统  一键装好常用软件", 12, WHITE, 780, 70, alpha=0.6,
             align="right", valign="middle")
    return image.convert("RGB")


# ---------------------------------------------------------------- skin buttons

def onekey_slice(top, bottom, border, text_colour, drop=0, glow=0.35, text_shadow=True):
    w, h = 150, 40

    def painter(ctx):
        rounded_rect(ctx, 0.5, 0.5, w - 1, h - 1, 7)
        ctx.set_source(two_tone(0, h, top, bottom))
        ctx.fill_preserve()
        ctx.set_source_rgba(*rgb(border))
        ctx.set_line_width(1)
        ctx.stroke()
        rounded_rect(ctx, 1.5, 1.5, w - 3, h - 3, 6)
        ctx.set_source(vertical_gradient(1, h, [(0, WHITE, glow), (0.5, WHITE, 0.0)]))
        ctx.stroke()
        # Download arrow before the text.
        ctx.save()
        ctx.translate(30, 20 + drop)
        ctx.set_source_rgba(*rgb(text_colour))
        ctx.move_to(-2, -8)
        ctx.line_to(2, -8)
        ctx.line_to(2, -1)
        ctx.line_to(6, -1)
        ctx.line_to(0, 6)
        ctx.line_to(-6, -1)
        ctx.line_to(-2, -1)
        ctx.close_path()
        ctx.fill()
        ctx.rectangle(-7, 8, 14, 2)
        ctx.fill()
        ctx.restore()

    image = paint(w, h, painter)
    shadow = (border, 0.6, 0, 1) if text_shadow else None
    put_text(image, "一键安装", 18, text_colour, 86, 20 + drop, bold=True,
             align="center", valign="middle", shadow=shadow)
    return image


def make_onekey_button():
    grey = (0xBF, 0xC4, 0xCA)
    return side_by_side([
        onekey_slice(ORANGE_LIGHT, ORANGE, ORANGE_DEEP, WHITE),
        onekey_slice(mix(ORANGE_LIGHT, WHITE, 0.2), mix(ORANGE, WHITE, 0.15),
                     ORANGE_DEEP, WHITE, glow=0.5),
        onekey_slice(ORANGE, ORANGE_DEEP, mix(ORANGE_DEEP, (0, 0, 0), 0.25), WHITE,
                     drop=1, glow=0.12),
        onekey_slice(grey, mix(grey, (0, 0, 0), 0.12), (0xA8, 0xAD, 0xB3), (0xF4, 0xF5, 0xF6),
                     glow=0.25, text_shadow=False),
    ], 150)


def group_slice(fill_alpha, line_alpha, notch=False):
    w, h = 80, 85

    def painter(ctx):
        if fill_alpha == 0:
            return
        rounded_rect(ctx, 3.5, 2.5, w - 7, h - 4, 6)
        ctx.set_source(vertical_gradient(2, h, [(0, WHITE, fill_alpha * 1.3),
                                                (1, WHITE, fill_alpha * 0.7)]))
        ctx.fill_preserve()
        ctx.set_source(vertical_gradient(2, h, [(0, WHITE, line_alpha), (1, WHITE, line_alpha * 0.4)]))
        ctx.set_line_width(1)
        ctx.stroke()
        if notch:
            # Points down at the list, in the list's white.
            ctx.move_to(w / 2.0 - 7, h)
            ctx.line_to(w / 2.0, h - 6)
            ctx.line_to(w / 2.0 + 7, h)
            ctx.close_path()
            ctx.set_source_rgba(*rgb(WHITE))
            ctx.fill()

    return paint(w, h, painter)


def make_group_button_background():
    return side_by_side([
        group_slice(0, 0),
        group_slice(0.09, 0.26),
        group_slice(0.22, 0.55, notch=True),
        group_slice(0, 0),
    ], 80)


def install_slice(fill_top, fill_bottom, border, text_colour, drop=0):
    w, h = 64, 24

    def painter(ctx):
        # Opaque white ground: the tile is white, and an owner-drawn button's DC
        # has nothing of the tile behind it.
        ctx.rectangle(0, 0, w, h)
        ctx.set_source_rgba(*rgb(WHITE))
        ctx.fill()
        rounded_rect(ctx, 0.5, 0.5, w - 1, h - 1, 4)
        ctx.set_source(two_tone(0, h, fill_top, fill_bottom))
        ctx.fill_preserve()
        ctx.set_source_rgba(*rgb(border))
        ctx.set_line_width(1)
        ctx.stroke()

    image = paint(w, h, painter)
    put_text(image, "安装", 13, text_colour, 32, 12 + drop, align="center", valign="middle")
    return image


def make_item_install_button():
    return side_by_side([
        install_slice((0xF5, 0xFA, 0xFF), (0xE3, 0xEF, 0xFC), BLUE_LIGHT, BLUE_DEEP),
        install_slice((0x3A, 0x8D, 0xE6), BLUE_LIGHT, BLUE_DEEP, WHITE),
        install_slice(BLUE_DEEP, BLUE_NIGHT, BLUE_NIGHT, WHITE, drop=1),
        install_slice((0xF3, 0xF4, 0xF5), (0xE6, 0xE8, 0xEB), (0xC8, 0xCC, 0xD1), (0xA0, 0xA6, 0xAE)),
    ], 64)


# ---------------------------------------------------------------- group icons (white, on the header)

def white_glyph_icon(draw_glyph):
    """A white glyph on transparent ground with a soft dark-blue shadow below it."""
    glyph = paint(48, 48, draw_glyph)
    alpha = glyph.getchannel("A")
    shadow = Image.new("RGBA", (48, 48), BLUE_NIGHT + (0,))
    shadow.putalpha(alpha.point(lambda v: v * 40 // 100))
    out = Image.new("RGBA", (48, 48), (0, 0, 0, 0))
    out.alpha_composite(shadow, (0, 1))
    out.alpha_composite(glyph)
    return out


def group_essentials(ctx):
    # An open-ready parcel seen from above the corner, with a check on its face.
    top, left, right = (24, 6), (6, 15), (42, 15)
    centre, bottom = (24, 24), (24, 44)
    faces = [
        ([top, right, centre, left], 1.0),
        ([left, centre, bottom, (6, 35)], 0.92),
        ([centre, right, (42, 35), bottom], 0.72),
    ]
    for points, alpha in faces:
        ctx.move_to(*points[0])
        for p in points[1:]:
            ctx.line_to(*p)
        ctx.close_path()
        ctx.set_source_rgba(*rgb(WHITE, alpha))
        ctx.fill()
    ctx.set_operator(cairo.OPERATOR_CLEAR)
    ctx.set_line_width(2.4)
    ctx.set_line_cap(cairo.LINE_CAP_ROUND)
    ctx.set_line_join(cairo.LINE_JOIN_ROUND)
    ctx.move_to(11, 31)
    ctx.line_to(15, 35.5)
    ctx.line_to(21, 28)
    ctx.stroke()
    ctx.set_line_width(1.2)
    ctx.move_to(*left)
    ctx.line_to(*centre)
    ctx.line_to(*right)
    ctx.move_to(*centre)
    ctx.line_to(*bottom)
    ctx.stroke()


def group_browser(ctx):
    ctx.set_source_rgba(*rgb(WHITE))
    ctx.set_line_width(2.6)
    ctx.arc(24, 24, 17, 0, 2 * math.pi)
    ctx.stroke()
    ctx.set_line_width(2.0)
    ctx.save()
    ctx.translate(24, 24)
    ctx.scale(7.5, 17)
    ctx.arc(0, 0, 1, 0, 2 * math.pi)
    ctx.restore()
    ctx.stroke()
    ctx.move_to(24, 7)
    ctx.line_to(24, 41)
    for y, half in ((24, 17), (15.5, 14.7), (32.5, 14.7)):
        ctx.move_to(24 - half, y)
        ctx.line_to(24 + half, y)
    ctx.stroke()


def speech_bubble(ctx, x, y, w, h, tail_left=True):
    rounded_rect(ctx, x, y, w, h, h / 2.6)
    if tail_left:
        ctx.move_to(x + w * 0.22, y + h - 2)
        ctx.line_to(x + w * 0.12, y + h + 7)
        ctx.line_to(x + w * 0.45, y + h - 1)
    else:
        ctx.move_to(x + w * 0.78, y + h - 2)
        ctx.line_to(x + w * 0.88, y + h + 7)
        ctx.line_to(x + w * 0.55, y + h - 1)
    ctx.close_path()


def group_chat(ctx):
    ctx.set_source_rgba(*rgb(WHITE, 0.7))
    speech_bubble(ctx, 18, 14, 25, 19, tail_left=False)
    ctx.fill()
    ctx.set_operator(cairo.OPERATOR_CLEAR)
    speech_bubble(ctx, 3, 5, 29, 22)
    ctx.set_line_width(4)
    ctx.stroke()
    ctx.set_operator(cairo.OPERATOR_OVER)
    ctx.set_source_rgba(*rgb(WHITE))
    speech_bubble(ctx, 5, 7, 25, 18)
    ctx.fill()
    ctx.set_operator(cairo.OPERATOR_CLEAR)
    for x in (11.5, 17.5, 23.5):
        ctx.arc(x, 16, 1.9, 0, 2 * math.pi)
        ctx.fill()


def group_media(ctx):
    # Film frame with a play sign cut out of it.
    ctx.set_source_rgba(*rgb(WHITE))
    rounded_rect(ctx, 5, 9, 38, 30, 5)
    ctx.fill()
    ctx.set_operator(cairo.OPERATOR_CLEAR)
    for y in (12, 33):
        for x in range(9, 41, 6):
            ctx.rectangle(x, y, 3, 3)
    ctx.fill()
    ctx.move_to(20, 17.5)
    ctx.line_to(30.5, 24)
    ctx.line_to(20, 30.5)
    ctx.close_path()
    ctx.fill()


def group_office(ctx):
    # A page with a folded corner and lines, and a pencil across it.
    ctx.set_source_rgba(*rgb(WHITE))
    ctx.move_to(9, 5)
    ctx.line_to(29, 5)
    ctx.line_to(37, 13)
    ctx.line_to(37, 43)
    ctx.line_to(9, 43)
    ctx.close_path()
    ctx.fill()
    ctx.set_operator(cairo.OPERATOR_CLEAR)
    ctx.move_to(29, 5)
    ctx.line_to(29, 13)
    ctx.line_to(37, 13)
    ctx.close_path()
    ctx.set_line_width(1.6)
    ctx.stroke()
    for y, right in ((19, 31), (25, 31), (31, 25)):
        ctx.rectangle(14, y, right - 14, 2.2)
    ctx.fill()
    ctx.set_operator(cairo.OPERATOR_OVER)
    ctx.save()
    ctx.translate(36, 33)
    ctx.rotate(math.radians(45))
    ctx.set_operator(cairo.OPERATOR_CLEAR)
    ctx.rectangle(-4.5, -15, 9, 25)
    ctx.fill()
    ctx.set_operator(cairo.OPERATOR_OVER)
    ctx.set_source_rgba(*rgb(WHITE))
    ctx.rectangle(-2.8, -13, 5.6, 16)
    ctx.fill()
    ctx.move_to(-2.8, 4)
    ctx.line_to(2.8, 4)
    ctx.line_to(0, 9)
    ctx.close_path()
    ctx.fill()
    ctx.restore()


def gear_path(ctx, cx, cy, outer, inner, teeth):
    step = 2 * math.pi / teeth
    for i in range(teeth):
        a = i * step
        for da, r in ((-0.30, inner), (-0.17, outer), (0.17, outer), (0.30, inner)):
            x, y = cx + r * math.cos(a + da * step * 1.6), cy + r * math.sin(a + da * step * 1.6)
            if i == 0 and da == -0.30:
                ctx.move_to(x, y)
            else:
                ctx.line_to(x, y)
    ctx.close_path()


def group_tools(ctx):
    ctx.set_source_rgba(*rgb(WHITE))
    gear_path(ctx, 20, 20, 15, 11, 9)
    ctx.fill()
    ctx.set_operator(cairo.OPERATOR_CLEAR)
    ctx.arc(20, 20, 5, 0, 2 * math.pi)
    ctx.fill()
    # Wrench over the lower right of the gear, with a clear gap around it.
    ctx.save()
    ctx.translate(37, 37)
    ctx.rotate(math.radians(-135))  # +x runs from the head up-left into the gear
    rounded_rect(ctx, -2, -4.6, 22, 9.2, 4.6)
    ctx.arc(0, 0, 8.6, 0, 2 * math.pi)
    ctx.fill()
    ctx.set_operator(cairo.OPERATOR_OVER)
    ctx.set_source_rgba(*rgb(WHITE))
    rounded_rect(ctx, 0, -2.6, 19, 5.2, 2.6)
    ctx.fill()
    ctx.arc(0, 0, 6.4, 0, 2 * math.pi)
    ctx.fill()
    ctx.set_operator(cairo.OPERATOR_CLEAR)
    ctx.rectangle(-8, -2.4, 6.5, 4.8)
    ctx.fill()
    ctx.restore()


GROUP_ICONS = {
    "essentials": group_essentials,
    "browser": group_browser,
    "chat": group_chat,
    "media": group_media,
    "office": group_office,
    "tools": group_tools,
}


# ---------------------------------------------------------------- program icons (badges on white tiles)

def badge(top, bottom, round_badge=False):
    """Returns a painter that draws the badge ground: a soft shadow, a gradient
    tile or disc, and a thin light rim at the top."""
    def shape(ctx, inset=0.0):
        if round_badge:
            ctx.arc(24, 23, 21 - inset, 0, 2 * math.pi)
        else:
            rounded_rect(ctx, 3 + inset, 2 + inset, 42 - 2 * inset, 42 - 2 * inset, 10 - inset)

    def painter(ctx):
        for dy, a in ((2.0, 0.10), (1.0, 0.12)):
            ctx.save()
            ctx.translate(0, dy)
            shape(ctx)
            ctx.set_source_rgba(0, 0, 0, a)
            ctx.fill()
            ctx.restore()
        shape(ctx)
        ctx.set_source(two_tone(2, 44, top, bottom))
        ctx.fill()
        shape(ctx, 0.5)
        ctx.set_line_width(1)
        ctx.set_source(vertical_gradient(2, 44, [(0, WHITE, 0.45), (0.45, WHITE, 0.0)]))
        ctx.stroke()
    return painter


def white(ctx, a=1.0):
    ctx.set_source_rgba(1, 1, 1, a)


def glyph_zip(ctx, colour):
    white(ctx)
    rounded_rect(ctx, 13, 9, 22, 28, 3)
    ctx.fill()
    ctx.set_source_rgba(*rgb(colour))
    for i in range(5):
        y = 9 + i * 3
        ctx.rectangle(21 if i % 2 == 0 else 24, y, 3, 3)
    ctx.fill()
    rounded_rect(ctx, 20, 25, 8, 8, 1.5)
    ctx.fill()
    white(ctx)
    ctx.rectangle(22.5, 28, 3, 3)
    ctx.fill()


def glyph_picture(ctx, colour):
    white(ctx)
    rounded_rect(ctx, 10, 12, 28, 22, 3)
    ctx.fill()
    ctx.set_source_rgba(*rgb(colour))
    ctx.arc(30.5, 18.5, 2.8, 0, 2 * math.pi)
    ctx.fill()
    ctx.move_to(13, 31)
    ctx.line_to(20.5, 21.5)
    ctx.line_to(26, 28)
    ctx.line_to(29, 25)
    ctx.line_to(35, 31)
    ctx.close_path()
    ctx.fill()


def glyph_font(ctx, colour):
    white(ctx)
    ctx.set_line_width(4.2)
    ctx.set_line_cap(cairo.LINE_CAP_ROUND)
    ctx.set_line_join(cairo.LINE_JOIN_ROUND)
    ctx.move_to(12, 35)
    ctx.line_to(21, 10.5)
    ctx.line_to(30, 35)
    ctx.move_to(15.5, 27)
    ctx.line_to(26.5, 27)
    ctx.stroke()
    # A small "a" beside the capital.
    ctx.set_line_width(2.6)
    ctx.arc(34, 31, 3.6, 0, 2 * math.pi)
    ctx.stroke()
    ctx.move_to(37.6, 26.5)
    ctx.line_to(37.6, 35)
    ctx.stroke()


def glyph_bolt_ring(ctx, colour):
    # A bolt in a ring that opens at the upper left, like a speed swoosh.
    white(ctx)
    ctx.set_line_width(2.6)
    ctx.set_line_cap(cairo.LINE_CAP_ROUND)
    ctx.arc(24, 23, 14.5, math.radians(-60), math.radians(190))
    ctx.stroke()
    ctx.move_to(27, 11)
    ctx.line_to(17, 25)
    ctx.line_to(23, 25)
    ctx.line_to(21, 35)
    ctx.line_to(31.5, 20.5)
    ctx.line_to(25.5, 20.5)
    ctx.close_path()
    ctx.fill()


def glyph_globe_leaf(ctx, colour):
    white(ctx)
    ctx.set_line_width(2.2)
    ctx.arc(24, 23, 12.5, 0, 2 * math.pi)
    ctx.stroke()
    ctx.save()
    ctx.translate(24, 23)
    ctx.scale(5.5, 12.5)
    ctx.arc(0, 0, 1, 0, 2 * math.pi)
    ctx.restore()
    ctx.set_line_width(1.8)
    ctx.stroke()
    ctx.move_to(11.5, 23)
    ctx.line_to(36.5, 23)
    ctx.stroke()
    # A breeze curl sweeping across the lower half.
    ctx.set_source_rgba(*rgb(colour))
    ctx.set_line_width(5)
    ctx.move_to(8, 32)
    ctx.curve_to(18, 26, 28, 36, 40, 28)
    ctx.stroke()
    white(ctx)
    ctx.set_line_width(2.6)
    ctx.set_line_cap(cairo.LINE_CAP_ROUND)
    ctx.move_to(9, 32)
    ctx.curve_to(18, 26, 28, 36, 39, 28.5)
    ctx.stroke()


def glyph_chat(ctx, colour):
    white(ctx)
    speech_bubble(ctx, 9, 10, 30, 21)
    ctx.fill()
    ctx.set_source_rgba(*rgb(colour))
    for x in (17, 24, 31):
        ctx.arc(x, 20.5, 2.2, 0, 2 * math.pi)
        ctx.fill()


def glyph_mail(ctx, colour):
    white(ctx)
    rounded_rect(ctx, 9, 13, 30, 21, 3)
    ctx.fill()
    ctx.set_source_rgba(*rgb(colour))
    ctx.set_line_width(2.2)
    ctx.set_line_join(cairo.LINE_JOIN_ROUND)
    ctx.move_to(11, 15.5)
    ctx.line_to(24, 25.5)
    ctx.line_to(37, 15.5)
    ctx.stroke()


def glyph_play(ctx, colour):
    white(ctx)
    ctx.arc(24, 23, 13.5, 0, 2 * math.pi)
    ctx.fill()
    ctx.set_source_rgba(*rgb(colour))
    ctx.move_to(20, 16)
    ctx.line_to(31, 23)
    ctx.line_to(20, 30)
    ctx.close_path()
    ctx.set_line_join(cairo.LINE_JOIN_ROUND)
    ctx.set_line_width(1.5)
    ctx.fill_preserve()
    ctx.stroke()


def glyph_cloud_note(ctx, colour):
    white(ctx)
    ctx.arc(17, 24, 6.5, 0, 2 * math.pi)
    ctx.fill()
    ctx.arc(25, 19, 9, 0, 2 * math.pi)
    ctx.fill()
    ctx.arc(33, 24.5, 6, 0, 2 * math.pi)
    ctx.fill()
    rounded_rect(ctx, 11, 22, 28, 8.5, 4.2)
    ctx.fill()
    ctx.set_source_rgba(*rgb(colour))
    ctx.arc(22, 26.5, 2.6, 0, 2 * math.pi)
    ctx.fill()
    ctx.rectangle(23.2, 15, 1.8, 11.5)
    ctx.fill()
    ctx.move_to(25, 15)
    ctx.curve_to(27.5, 16, 29, 17.5, 29, 20.5)
    ctx.curve_to(28, 18.5, 26.5, 18, 25, 18)
    ctx.close_path()
    ctx.fill()


def glyph_screen_rec(ctx, colour):
    white(ctx)
    rounded_rect(ctx, 9, 11, 30, 20, 2.5)
    ctx.fill()
    ctx.rectangle(21, 31, 6, 4)
    ctx.rectangle(16, 35, 16, 2.2)
    ctx.fill()
    ctx.set_source_rgba(*rgb(colour))
    ctx.rectangle(11, 13, 26, 16)
    ctx.fill()
    ctx.arc(24, 21, 5.2, 0, 2 * math.pi)
    ctx.set_source_rgba(*rgb((0xFF, 0x45, 0x3A)))
    ctx.fill()
    ctx.arc(24, 21, 6.6, 0, 2 * math.pi)
    ctx.set_line_width(1)
    white(ctx, 0.8)
    ctx.stroke()


def page_path(ctx, x, y, w, h, fold):
    ctx.move_to(x, y)
    ctx.line_to(x + w - fold, y)
    ctx.line_to(x + w, y + fold)
    ctx.line_to(x + w, y + h)
    ctx.line_to(x, y + h)
    ctx.close_path()


def glyph_document(ctx, colour):
    white(ctx)
    page_path(ctx, 14, 9, 20, 28, 6)
    ctx.fill()
    ctx.set_source_rgba(*rgb(colour, 0.45))
    ctx.move_to(28, 9)
    ctx.line_to(28, 15)
    ctx.line_to(34, 15)
    ctx.close_path()
    ctx.fill()
    ctx.set_source_rgba(*rgb(colour))
    for y, right in ((19, 30), (23.5, 30), (28, 30), (32.5, 25)):
        ctx.rectangle(18, y, right - 18, 2)
    ctx.fill()


def glyph_pdf_leaf(ctx, colour):
    white(ctx)
    page_path(ctx, 13, 8, 22, 30, 7)
    ctx.fill()
    ctx.set_source_rgba(*rgb(colour, 0.45))
    ctx.move_to(28, 8)
    ctx.line_to(28, 15)
    ctx.line_to(35, 15)
    ctx.close_path()
    ctx.fill()
    # Leaf with its vein.
    ctx.set_source_rgba(*rgb(colour))
    ctx.move_to(17, 33)
    ctx.curve_to(16, 24, 22, 18, 31, 18)
    ctx.curve_to(31, 27, 26, 33, 17, 33)
    ctx.close_path()
    ctx.fill()
    white(ctx)
    ctx.set_line_width(1.3)
    ctx.set_line_cap(cairo.LINE_CAP_ROUND)
    ctx.move_to(16, 35)
    ctx.curve_to(21, 28, 25, 24, 28.5, 21)
    ctx.stroke()


def glyph_word_book(ctx, colour):
    # An open book with a "W" on its pages.
    white(ctx)
    ctx.move_to(24, 14)
    ctx.curve_to(19, 10.5, 13, 10.5, 8, 12)
    ctx.line_to(8, 35)
    ctx.curve_to(13, 33.5, 19, 33.5, 24, 37)
    ctx.curve_to(29, 33.5, 35, 33.5, 40, 35)
    ctx.line_to(40, 12)
    ctx.curve_to(35, 10.5, 29, 10.5, 24, 14)
    ctx.close_path()
    ctx.fill()
    ctx.set_source_rgba(*rgb(colour))
    ctx.set_line_width(1.2)
    ctx.move_to(24, 14.5)
    ctx.line_to(24, 36)
    ctx.stroke()
    ctx.set_line_width(2.4)
    ctx.set_line_join(cairo.LINE_JOIN_ROUND)
    ctx.set_line_cap(cairo.LINE_CAP_ROUND)
    ctx.move_to(13.5, 17)
    ctx.line_to(16.5, 29)
    ctx.line_to(19, 21)
    ctx.line_to(21.5, 29)
    ctx.line_to(24.5, 17)
    ctx.stroke()
    ctx.set_line_width(1.8)
    for y in (19, 23.5, 28):
        ctx.move_to(28, y)
        ctx.line_to(35, y)
    ctx.stroke()


def glyph_chip(ctx, colour):
    white(ctx)
    for i in range(4):
        offset = 15.5 + i * 5
        ctx.rectangle(offset, 8, 2.2, 6)
        ctx.rectangle(offset, 32, 2.2, 6)
        ctx.rectangle(9, offset - 1, 6, 2.2)
        ctx.rectangle(33, offset - 1, 6, 2.2)
    ctx.fill()
    rounded_rect(ctx, 14, 13, 20, 20, 3)
    ctx.fill()
    ctx.set_source_rgba(*rgb(colour))
    rounded_rect(ctx, 18.5, 17.5, 11, 11, 1.5)
    ctx.fill()


def glyph_disk_tidy(ctx, colour):
    # A drive with a sparkle: a clean disk.
    white(ctx)
    rounded_rect(ctx, 8, 17, 28, 17, 4)
    ctx.fill()
    ctx.set_source_rgba(*rgb(colour))
    ctx.rectangle(8, 26, 28, 1.4)
    ctx.fill()
    ctx.rectangle(12, 29.5, 10, 1.8)
    ctx.fill()
    ctx.arc(31, 30.4, 1.6, 0, 2 * math.pi)
    ctx.fill()
    white(ctx)

    def sparkle(cx, cy, r):
        ctx.move_to(cx, cy - r)
        ctx.curve_to(cx + r * 0.15, cy - r * 0.15, cx + r * 0.15, cy - r * 0.15, cx + r, cy)
        ctx.curve_to(cx + r * 0.15, cy + r * 0.15, cx + r * 0.15, cy + r * 0.15, cx, cy + r)
        ctx.curve_to(cx - r * 0.15, cy + r * 0.15, cx - r * 0.15, cy + r * 0.15, cx - r, cy)
        ctx.curve_to(cx - r * 0.15, cy - r * 0.15, cx - r * 0.15, cy - r * 0.15, cx, cy - r)
        ctx.close_path()
        ctx.fill()
    sparkle(35, 10.5, 5.5)
    sparkle(40, 19, 3)


def glyph_shield(ctx, colour):
    white(ctx)
    ctx.move_to(24, 8)
    ctx.curve_to(29, 11, 33, 12, 37, 12)
    ctx.curve_to(37, 25, 33, 33, 24, 38.5)
    ctx.curve_to(15, 33, 11, 25, 11, 12)
    ctx.curve_to(15, 12, 19, 11, 24, 8)
    ctx.close_path()
    ctx.fill()
    ctx.set_source_rgba(*rgb(colour))
    ctx.set_line_width(3)
    ctx.set_line_cap(cairo.LINE_CAP_ROUND)
    ctx.set_line_join(cairo.LINE_JOIN_ROUND)
    ctx.move_to(17.5, 23)
    ctx.line_to(22.5, 28)
    ctx.line_to(31, 18.5)
    ctx.stroke()


def hexc(value):
    return ((value >> 16) & 255, (value >> 8) & 255, value & 255)


# name: (top colour, bottom colour, round badge, glyph)
APP_ICONS = {
    "ziptool": (0xF7BE3F, 0xD98A0E, False, glyph_zip),
    "quickview": (0x36C2E8, 0x0B7FC0, False, glyph_picture),
    "fontpack": (0xA77BF3, 0x6A3CC9, False, glyph_font),
    "swiftbrowser": (0x4B8CFF, 0x1F46D1, True, glyph_bolt_ring),
    "breezebrowser": (0x4FDC9E, 0x11A06B, True, glyph_globe_leaf),
    "chatter": (0x8DD64C, 0x3E9F1E, False, glyph_chat),
    "maildesk": (0xFF8E62, 0xE9532C, False, glyph_mail),
    "omniplayer": (0xFF5C7C, 0xCF1F4B, False, glyph_play),
    "cloudtunes": (0xF06ACB, 0x9B3FD6, False, glyph_cloud_note),
    "screenrec": (0x56606E, 0x222A35, False, glyph_screen_rec),
    "docsuite": (0x4F86FF, 0x2546C0, False, glyph_document),
    "pdfleaf": (0xF2604E, 0xBC271C, False, glyph_pdf_leaf),
    "wordpal": (0x22C1AE, 0x0A7E80, False, glyph_word_book),
    "driverkit": (0x4CC66E, 0x1C8744, False, glyph_chip),
    "disktidy": (0xFFAE45, 0xEE6A05, False, glyph_disk_tidy),
    "shieldguard": (0x3D9BFF, 0x1D55C9, True, glyph_shield),
}


def make_app_icon(name):
    top, bottom, round_badge, glyph = APP_ICONS[name]
    top, bottom = hexc(top), hexc(bottom)

    def painter(ctx):
        badge(top, bottom, round_badge)(ctx)
        ctx.save()
        glyph(ctx, mix(top, bottom, 0.6))
        ctx.restore()
    return paint(48, 48, painter)


# ---------------------------------------------------------------- the file table

# The pictures the program also looks for at 144 and 192 dpi, with the marks it looks for:
# "@2x" before a file's extension, "_2X" after an embedded picture's resource type.
SCALED_SETS = ((1.5, "@1.5x", "_1_5X"), (2, "@2x", "_2X"))


def scaled_path(path, file_mark):
    return path.with_name(path.stem + file_mark + path.suffix)


def drawn_at(scale, producer):
    def draw():
        with drawing_scale(scale):
            return producer()
    return draw


def outputs():
    """path -> (producer, mode, size). Mode 'ICO' marks the icon file. Every skin picture
    and embedded image but the icon is drawn a second and third time, at 1.5x and 2x."""
    table = {
        RES_DIR / "close.png": (make_close, "RGBA", (116, 17)),
        RES_DIR / "minimize.png": (make_minimize, "RGBA", (116, 17)),
        RES_DIR / "scroll_track.png": (make_scroll_track, "RGB", (8, 410)),
        RES_DIR / "scroll_thumb.png": (make_scroll_thumb, "RGB", (12, 25)),
        RES_DIR / "spinner.png": (make_spinner, "RGBA", (640, 40)),
        RES_DIR / "progress_background.jpg": (make_progress_background, "RGB", (401, 122)),
        RES_DIR / "progress_fill.png": (make_progress_fill, "RGB", (310, 14)),
        RES_DIR / "app.ico": (make_app_icon_images, "ICO", None),
        SKIN_DIR / "window_background.jpg": (make_window_background, "RGB", (800, 599)),
        SKIN_DIR / "onekey_button.png": (make_onekey_button, "RGBA", (600, 40)),
        SKIN_DIR / "group_button_background.png": (make_group_button_background, "RGBA", (320, 85)),
        SKIN_DIR / "item_install_button.png": (make_item_install_button, "RGBA", (256, 24)),
    }
    for name, draw in GROUP_ICONS.items():
        table[GROUP_ICON_DIR / (name + ".png")] = (lambda d=draw: white_glyph_icon(d), "RGBA", (48, 48))
    for name in APP_ICONS:
        table[APP_ICON_DIR / (name + ".png")] = (lambda n=name: make_app_icon(n), "RGBA", (48, 48))
    for path, (producer, mode, size) in list(table.items()):
        if path.parent not in (RES_DIR, SKIN_DIR) or mode == "ICO":
            continue
        for scale, file_mark, _type_mark in SCALED_SETS:
            with drawing_scale(scale):
                scaled_size = (px(size[0]), px(size[1]))
            table[scaled_path(path, file_mark)] = (drawn_at(scale, producer), mode, scaled_size)
    return table


def encoded(path, producer, mode):
    image = producer()
    if mode == "ICO":
        return ico_bytes(image)
    return jpeg_bytes(image) if path.suffix == ".jpg" else png_bytes(image, mode)


def generate():
    for path, (producer, mode, _size) in outputs().items():
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(encoded(path, producer, mode))
    for keep in (SKIN_DIR, GROUP_ICON_DIR, APP_ICON_DIR):
        (keep / ".gitkeep").unlink(missing_ok=True)


# ---------------------------------------------------------------- checks

def check_framed(image, border, inside, name, dominant_only=False):
    """At the drawing scale: a frame of one hairline, corners aside, around the inside."""
    w, h = image.size
    line = hairline()
    edge = [(x, y) for x in range(w) for y in list(range(line)) + list(range(h - line, h))] + \
           [(x, y) for y in range(h) for x in list(range(line)) + list(range(w - line, w))]
    corners = {(0, 0), (w - 1, 0), (0, h - 1), (w - 1, h - 1)}
    problems = []
    for p in edge:
        if p not in corners and image.getpixel(p) != border:
            problems.append("%s: border pixel %s is %s" % (name, p, image.getpixel(p)))
            break
    inner = image.crop((line, line, w - line, h - line))
    colours = inner.getcolors(w * h)
    top_count, top_colour = max(colours)
    if dominant_only:
        if top_colour != inside or top_count * 2 < (w - 2) * (h - 2):
            problems.append("%s: inside is mostly %s, not %s" % (name, top_colour, inside))
    elif len(colours) != 1 or top_colour != inside:
        problems.append("%s: inside is not plain %s" % (name, inside))
    return problems


def read_ico_sizes(path):
    data = path.read_bytes()
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    sizes = []
    for i in range(count):
        w, h, _, _, _, bits, length, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        blob = data[offset:offset + length]
        png = blob.startswith(b"\x89PNG")
        if png:
            actual = Image.open(io.BytesIO(blob)).size
            alpha_ok = Image.open(io.BytesIO(blob)).mode == "RGBA"
        else:
            _, dib_w, dib_h, _, dib_bits = struct.unpack_from("<IiiHH", blob, 0)
            actual, alpha_ok = (dib_w, dib_h // 2), dib_bits == 32
        sizes.append((w or 256, h or 256, bits, actual, alpha_ok, png))
    return (reserved, kind), sizes


def check():
    problems = []
    for path, (producer, mode, size) in outputs().items():
        name = path.relative_to(ROOT)
        if not path.exists():
            problems.append("%s: missing" % name)
            continue
        if path.read_bytes() != encoded(path, producer, mode):
            problems.append("%s: not what the script draws" % name)
        if mode == "ICO":
            header, entries = read_ico_sizes(path)
            if header != (0, 1):
                problems.append("%s: not an icon file" % name)
            if [e[0] for e in entries] != [128, 48, 32, 24, 16]:
                problems.append("%s: sizes %s" % (name, [e[0] for e in entries]))
            for w, h, bits, actual, alpha_ok, _png in entries:
                if (w, h) != actual or bits != 32 or not alpha_ok:
                    problems.append("%s: bad %dx%d entry" % (name, w, h))
            continue
        image = Image.open(path)
        expected_format = "JPEG" if path.suffix == ".jpg" else "PNG"
        if image.format != expected_format:
            problems.append("%s: format %s" % (name, image.format))
        if image.size != size:
            problems.append("%s: size %s, want %s" % (name, image.size, size))
        if image.mode != mode:
            problems.append("%s: mode %s, want %s" % (name, image.mode, mode))
        if path.suffix == ".png" and set(image.info) - {"dpi"}:
            problems.append("%s: metadata %s" % (name, sorted(image.info)))
    if any(p.endswith(": missing") for p in problems):
        return problems  # the pictures' own checks below would only fail to open them
    for scale, file_mark in ((1, ""),) + tuple((s, m) for s, m, _ in SCALED_SETS):
        with drawing_scale(scale):
            problems += check_scaled_set(file_mark)
    problems += check_resource_script()
    return problems


def check_scaled_set(file_mark):
    """The fixed colours and the clear slices of the pictures drawn at the drawing scale."""
    def open_rgba(path):
        return Image.open(scaled_path(path, file_mark)).convert("RGBA")

    def name(path):
        return scaled_path(path, file_mark).name

    problems = []
    for path, border, inside, dominant_only in (
            (RES_DIR / "scroll_track.png", SCROLL_TRACK_BORDER, SCROLL_TRACK_INSIDE, False),
            (RES_DIR / "scroll_thumb.png", SCROLL_THUMB_BORDER, SCROLL_THUMB_INSIDE, False),
            (RES_DIR / "progress_fill.png", FILL_BORDER, FILL_INSIDE, True)):
        problems += check_framed(Image.open(scaled_path(path, file_mark)), border, inside,
                                 name(path), dominant_only)
    # The slices that must let the window show through really do.
    for path in (RES_DIR / "close.png", RES_DIR / "minimize.png"):
        image = open_rgba(path)
        if image.getpixel((px(1), px(1)))[3] != 0:
            problems.append("%s: normal slice has a ground" % name(path))
        if image.getpixel((px(29 + 1), px(1)))[3] == 0 or image.getpixel((px(58 + 1), px(1)))[3] == 0:
            problems.append("%s: hover or pressed slice has no ground" % name(path))
        blank = image.crop((px(87), 0, px(116), px(17)))
        if blank.getchannel("A").getextrema() != (0, 0):
            problems.append("%s: blank slice is not blank" % name(path))
    group = open_rgba(SKIN_DIR / "group_button_background.png")
    if group.crop((0, 0, px(80), px(85))).getchannel("A").getextrema()[1] > 8:
        problems.append("%s: normal slice is not clear" % name(SKIN_DIR / "group_button_background.png"))
    onekey = open_rgba(SKIN_DIR / "onekey_button.png")
    for k in range(4):
        if onekey.getpixel((px(k * 150), 0))[3] != 0:
            problems.append("%s: slice %d has no clear corner" % (name(SKIN_DIR / "onekey_button.png"), k))
    return problems


def check_resource_script():
    """Every embedded picture but the icon is in res/skin.rc at each scale too, under its
    own id, with the type the program asks for."""
    script = ROOT / "res" / "skin.rc"
    entries = set()
    for line in script.read_text().splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[2].startswith('"images/'):
            entries.add((parts[0], parts[1], parts[2].strip('"')))
    problems = []
    for ident, kind, file in sorted(entries):
        if kind == "ICON" or kind.endswith(tuple(mark for _, _, mark in SCALED_SETS)):
            continue
        for _, file_mark, type_mark in SCALED_SETS:
            wanted = (ident, kind + type_mark, str(scaled_path(Path(file), file_mark)))
            if wanted not in entries:
                problems.append("skin.rc: no %s %s \"%s\"" % wanted)
    return problems


# ---------------------------------------------------------------- previews

def preview_main():
    window = Image.open(SKIN_DIR / "window_background.jpg").convert("RGBA")
    group_bg = Image.open(SKIN_DIR / "group_button_background.png").convert("RGBA")
    groups = [("装机必备", "essentials"), ("网络浏览", "browser"), ("聊天通讯", "chat"),
              ("影音娱乐", "media"), ("办公学习", "office"), ("系统工具", "tools")]
    for i, (caption, icon) in enumerate(groups):
        state = 2 if i == 0 else 1 if i == 2 else 0
        x = 22 + 80 * i
        window.alpha_composite(group_bg.crop((state * 80, 0, state * 80 + 80, 85)), (x, 2))
        window.alpha_composite(Image.open(GROUP_ICON_DIR / (icon + ".png")).convert("RGBA"),
                               (x + 16, 2 + 7))
        put_text(window, caption, 13, WHITE, x + 40, 2 + 85 - 12, align="center", valign="middle")
    strip = Image.open(RES_DIR / "minimize.png").convert("RGBA")
    window.alpha_composite(strip.crop((0, 0, 29, 17)), (741, 1))
    strip = Image.open(RES_DIR / "close.png").convert("RGBA")
    window.alpha_composite(strip.crop((29, 0, 58, 17)), (770, 1))

    # The list: white ground, 4 x 4 tiles of 194 x 91 at (4, 87).
    window.paste((255, 255, 255, 255), (4, 87, 796, 543))
    names = ["ZipTool 压缩工具", "快看图片查看器", "FontPack 常用字体包", "极速浏览器",
             "清风浏览器", "畅聊 Chatter", "邮件大师 MailDesk", "万能播放器",
             "云音乐 CloudTunes", "录屏助手", "文档办公套件", "PDF 阅读器",
             "词典通 WordPal", "驱动精灵 DriverKit", "磁盘清理大师", "安全卫士 ShieldGuard"]
    install = Image.open(SKIN_DIR / "item_install_button.png").convert("RGBA")
    for k, (name, icon) in enumerate(zip(names, APP_ICONS)):
        tx, ty = 4 + (k % 4) * 194, 87 + (k // 4) * 91
        window.alpha_composite(Image.open(APP_ICON_DIR / (icon + ".png")).convert("RGBA"),
                               (tx + 36, ty + 24))
        put_text(window, name, 13, (0, 0, 0), tx + 94, ty + 25, bold=True)
        state = {1: 1, 2: 2}.get(k, 0)
        window.alpha_composite(install.crop((state * 64, 0, state * 64 + 64, 24)),
                               (tx + 94, ty + 48))
        draw_check_box(window, tx + 164, ty + 53, checked=k % 3 != 1)

    draw_check_box(window, 169, 565, checked=False, partial=True)
    put_text(window, "全选", 13, WHITE, 191, 572, valign="middle")
    onekey = Image.open(SKIN_DIR / "onekey_button.png").convert("RGBA")
    window.alpha_composite(onekey.crop((0, 0, 150, 40)), (647, 550))
    # Beside it, the hover and pressed slices, for comparison only.
    sheet = Image.new("RGBA", (800, 599 + 60), (230, 230, 230, 255))
    sheet.alpha_composite(window, (0, 0))
    for k in range(4):
        sheet.alpha_composite(onekey.crop((k * 150, 0, k * 150 + 150, 40)), (10 + k * 160, 609))
    return sheet


def draw_check_box(image, x, y, checked, partial=False):
    draw = ImageDraw.Draw(image)
    draw.rectangle((x, y, x + 13, y + 13), fill=(255, 255, 255, 255), outline=(0x70, 0x70, 0x70, 255))
    if partial:
        draw.rectangle((x + 4, y + 4, x + 9, y + 9), fill=(5, 90, 170, 255))
    elif checked:
        draw.line((x + 3, y + 7, x + 5, y + 10, x + 10, y + 3), fill=(0x20, 0x20, 0x20, 255), width=2)


def preview_dialog():
    dialog = Image.open(RES_DIR / "progress_background.jpg").convert("RGBA")
    spinner = Image.open(RES_DIR / "spinner.png").convert("RGBA")
    dialog.alpha_composite(spinner.crop((3 * 40, 0, 4 * 40, 40)), (23, 56))
    fill = Image.open(RES_DIR / "progress_fill.png").convert("RGBA")
    dialog.alpha_composite(fill.crop((0, 0, 155, 14)), (76, 79))
    put_text(dialog, "正在下载(50%) - 极速浏览器", 12, (10, 66, 107), 74, 53)
    close = Image.open(RES_DIR / "close.png").convert("RGBA")
    dialog.alpha_composite(close.crop((0, 0, 29, 17)), (372, 0))
    # Below: every spinner frame, the close states and the app icon sizes, scaled 2x.
    sheet = Image.new("RGBA", (401, 122 + 240), (255, 255, 255, 255))
    sheet.alpha_composite(dialog, (0, 0))
    sheet.alpha_composite(spinner.crop((0, 0, 400, 40)), (0, 130))
    sheet.alpha_composite(spinner.crop((400, 0, 640, 40)), (0, 172))
    band = Image.new("RGBA", (116, 17), BLUE + (255,))
    band.alpha_composite(close)
    sheet.alpha_composite(band, (250, 180))
    band = Image.new("RGBA", (116, 17), BLUE + (255,))
    band.alpha_composite(Image.open(RES_DIR / "minimize.png").convert("RGBA"))
    sheet.alpha_composite(band, (250, 200))
    x = 4
    with Image.open(RES_DIR / "app.ico") as ico:
        for size in (128, 48, 32, 24, 16):
            ico.size = (size, size)
            icon = ico.convert("RGBA")
            sheet.alpha_composite(icon, (x, 226 + (128 - size) // 2))
            x += size + 12
    return sheet


def write_previews():
    PREVIEW_DIR.mkdir(parents=True, exist_ok=True)
    preview_main().convert("RGB").save(PREVIEW_DIR / "preview.png")
    preview_dialog().convert("RGB").save(PREVIEW_DIR / "preview_dialog.png")
    icons = Image.new("RGBA", (16 * 56 + 8, 2 * 64 + 8), (255, 255, 255, 255))
    icons.paste(BLUE + (255,), (0, 68, icons.size[0], icons.size[1]))
    for k, name in enumerate(APP_ICONS):
        icons.alpha_composite(Image.open(APP_ICON_DIR / (name + ".png")).convert("RGBA"),
                              (8 + k * 56, 8))
    for k, name in enumerate(GROUP_ICONS):
        icons.alpha_composite(Image.open(GROUP_ICON_DIR / (name + ".png")).convert("RGBA"),
                              (8 + k * 56, 76))
    icons.resize((icons.size[0] * 2, icons.size[1] * 2), Image.NEAREST).convert("RGB").save(
        PREVIEW_DIR / "preview_icons.png")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="only check the files")
    parser.add_argument("--preview", action="store_true", help="also write build/preview*.png")
    args = parser.parse_args()
    if sys.byteorder != "little":
        sys.exit("cairo's pixel layout is read as little-endian BGRA")
    if not args.check:
        generate()
    problems = check()
    for p in problems:
        print("FAIL", p)
    if problems:
        return 1
    print("artwork ok: %d files" % len(outputs()))
    if args.preview:
        write_previews()
        print("previews in %s" % PREVIEW_DIR.relative_to(ROOT))
    return 0


if __name__ == "__main__":
    sys.exit(main())
