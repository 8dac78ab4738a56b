/*
 * zoom.cpp - rendering the part of a view under a world rect for a window:
 * QI_USFrameZoomExt and the engine behind it.
 *
 * Steps: the world rect is cut to the view's placement box and rounded to
 * whole window pixels (the pixel rect); the pixel rect's edges are mapped
 * back to the world and through the view's frame map into the frame, and
 * the scaled read fills the raster from the frame (or its nearest reduced
 * view). Because the frame region comes from the rounded pixel edges, a
 * window whose pixels fall on whole frame pixels (1:1 at a whole offset)
 * reads each frame pixel once, unscaled.
 *
 * Scale to grey samples a bilevel view n times finer (n = 4 or 8) and
 * counts the white samples of each n x n block. The counts come straight
 * from the tiles (the grey count engine beside the scaled read), without
 * building the fine raster, in bands of at most 1 MiB of counts: a large
 * window never holds more than its result and one band. Bands that are too
 * thin cost tile decodes (a tile row shared by two bands is decoded twice),
 * so they are as tall as that bound allows: 546 rows of a 1920-pixel window.
 *
 * The mask marks what must not be painted: the colours hidden by the
 * filter, and for an oblique view the parts of each row outside the
 * placement, measured on the row's centre line.
 *
 * Decisions:
 *  - Unset foreground or background colours show as white and black when
 *    the other one is set (the result then has a colour kind).
 *  - A span of half a pixel to one pixel becomes the pixel that holds its
 *    centre.
 *  - The engine returns -1 for a failure and 0 for "nothing to show", so
 *    that the group rendering, which calls it per block, does not take a
 *    failed allocation for an empty block.
 */
#include "usframes.h"

#include "../../base/holder.h"
#include "../core/library_state.h"
#include "../core/rect_utils.h"
#include "../core/scaled_read.h"
#include "../core/tiles.h"
#include "../ops/draw.h"

#include <algorithm>
#include <math.h>
#include <string.h>

namespace quill {

namespace {

constexpr size_t kBandBytes = size_t(1) << 20;

struct Window {
    double x0, top;  // world position of window pixel (0, 0)'s corner, y negated
    double dx, dy;   // world units per window pixel
    int32_t width, height;
};

struct Render {
    const QI_USFrameRecord *u;
    const ViewRecord *v;
    const QI_FrameRecord *frame;
    QI_Rect pixels;            // in window pixels
    int32_t w, h;              // its size
    double fx0, fy0, fx1, fy1; // the frame region it shows
    int32_t kind;              // result kind
    bool orthogonal, filter;
    int32_t colourA, colourB;
};

bool colour_set(int32_t c) { return c >= 0; }

uint64_t line_bytes(int32_t kind, int32_t width) {
    uint64_t w = static_cast<uint64_t>(width);
    if (kind == 1)
        return 2 * ((w + 15) / 16);
    return ((kind == 4 ? 3 * w : w) + 3) / 4 * 4;
}

int32_t result_kind(const QI_USFrameRecord &u, const QI_FrameRecord &f) {
    if (f.kind != 1)
        return f.kind;
    int32_t kind = 1;
    if (colour_set(u.foreground))
        kind = std::max(kind, color_kind(u.foreground));
    if (colour_set(u.background))
        kind = std::max(kind, color_kind(u.background));
    return kind;
}

int32_t round_clamped(double v, int32_t lo, int32_t hi) {
    return qs_dround(fmin(fmax(v, static_cast<double>(lo)), static_cast<double>(hi)));
}

// The pixel rect and frame region; false when the rect misses the view.
bool plan_region(const Window &win, const double box[4], const FrameMap &m, Render &r) {
    double ix0 = fmax(win.x0, box[0]), ix1 = fmin(win.x0 + win.dx * win.width, box[2]);
    double iy0 = fmax(win.top, box[1]), iy1 = fmin(win.top + win.dy * win.height, box[3]);
    if (!(ix0 < ix1 && iy0 < iy1))
        return false;
    r.pixels.left = round_clamped((ix0 - win.x0) / win.dx, 0, win.width);
    r.pixels.top = round_clamped((iy0 - win.top) / win.dy, 0, win.height);
    r.pixels.right = round_clamped((ix1 - win.x0) / win.dx, 0, win.width) - 1;
    r.pixels.bottom = round_clamped((iy1 - win.top) / win.dy, 0, win.height) - 1;
    if (r.pixels.right < r.pixels.left || r.pixels.bottom < r.pixels.top)
        return false;
    r.w = r.pixels.right - r.pixels.left + 1;
    r.h = r.pixels.bottom - r.pixels.top + 1;
    r.fx0 = (win.x0 + r.pixels.left * win.dx - m.originX) / m.unitX;
    r.fx1 = (win.x0 + (r.pixels.right + 1.0) * win.dx - m.originX) / m.unitX;
    r.fy0 = (win.top + r.pixels.top * win.dy - m.originY) / m.unitY;
    r.fy1 = (win.top + (r.pixels.bottom + 1.0) * win.dy - m.originY) / m.unitY;
    return isfinite(r.fx0) && isfinite(r.fx1) && isfinite(r.fy0) && isfinite(r.fy1);
}

void choose_keys(Render &r) {
    r.colourA = r.colourB = -1;
    if (r.frame->kind == 1 && r.kind > 1) {
        r.colourA = colour_set(r.u->foreground) ? r.u->foreground : QI_COLOR_WHITE;
        r.colourB = colour_set(r.u->background) ? r.u->background : QI_COLOR_BLACK;
    }
}

bool read_region(const Render &r, double y0, double y1, uint8_t *buffer, int32_t kind, int32_t width,
                 int32_t height, int32_t a, int32_t b) {
    uniform_fill(buffer, width, height, static_cast<uint32_t>(a == -1 ? QI_COLOR_WHITE : a), kind);
    ScaledRead read{r.v->frame, a, b, r.fx0, y0, r.fx1, y1, buffer, kind, width, height};
    return scaled_read(read);
}

// Renders the bilevel view n-fold reduced to grey, in bands of rows: the
// white samples of each pixel counted straight from the tiles, then scaled
// to 0..255 (64 samples of 4 each, 16 of 16 each; all white clips to 255).
bool render_grey(const Render &r, int32_t n, uint8_t *raster) {
    int32_t band = static_cast<int32_t>(std::min<uint64_t>(r.h, std::max<uint64_t>(1, kBandBytes / r.w)));
    HeapBlock<uint8_t> counts;
    if (!counts.allocate(static_cast<size_t>(r.w) * band))
        return false;
    uint64_t line = line_bytes(2, r.w);
    double step = (r.fy1 - r.fy0) / r.h;
    uint32_t weight = static_cast<uint32_t>(256 / (n * n));
    for (int32_t row = 0; row < r.h; row += band) {
        int32_t rows = std::min(band, r.h - row);
        GreyCount count{r.v->frame, r.fx0, r.fy0 + row * step, r.fx1, r.fy0 + (row + rows) * step,
                        n, r.w, rows, counts.get()};
        if (!grey_count_read(count))
            return false;
        for (int32_t k = 0; k < rows; ++k) {
            const uint8_t *in = counts.get() + static_cast<size_t>(k) * r.w;
            uint8_t *out = raster + (row + k) * line;
            for (int32_t x = 0; x < r.w; ++x)
                out[x] = static_cast<uint8_t>(std::min<uint32_t>(255, in[x] * weight));
        }
    }
    return true;
}

// The oversampling of scale to grey, 0 when it does not apply.
int32_t grey_factor(const Render &r, bool allowGrey) {
    double f = g_library.scaleToGrey;
    if (!allowGrey || r.kind != 1 || !(f > 0) || r.filter)
        return 0;
    double W = (r.fx1 - r.fx0) * f, H = (r.fy1 - r.fy0) * f;
    if (!(W > r.w + 1 || H > r.h + 1))
        return 0;
    return (r.w + 1 < W / 4 || r.h + 1 < H / 4) ? 8 : 4;
}

// ---- The mask -------------------------------------------------------------

void invert_pixels(uint8_t *mask, uint64_t line, int32_t width, int32_t height) {
    for (int32_t y = 0; y < height; ++y) {
        uint8_t *row = mask + y * line;
        for (int32_t x = 0; x < width / 8; ++x)
            row[x] = static_cast<uint8_t>(~row[x]);
        if (width & 7)
            row[width / 8] ^= static_cast<uint8_t>(0xFF00u >> (width & 7));
    }
}

// Marks the pixels hidden or kept by the colour filter.
bool mark_filtered(const Render &r, const uint8_t *raster, uint8_t *mask) {
    const int32_t *list = r.u->colours;
    int32_t count = r.u->colourCount;
    HeapBlock<int32_t> twoTone;
    HeapBlock<uint8_t> bilevel;
    if (r.frame->kind == 1) {
        // Only white and black entries count: white stands for the pixels
        // shown in the foreground colour, black for the background ones.
        if (!twoTone.allocate(static_cast<size_t>(count)))
            return false;
        int32_t k = 0;
        for (int32_t i = 0; i < count; ++i)
            if (list[i] == QI_COLOR_WHITE || list[i] == QI_COLOR_BLACK)
                twoTone[k++] = list[i];
        list = twoTone.get();
        count = k;
        if (r.kind != 1) {
            if (!bilevel.allocate(line_bytes(1, r.w) * r.h) ||
                !read_region(r, r.fy0, r.fy1, bilevel.get(), 1, r.w, r.h, -1, -1))
                return false;
            raster = bilevel.get();
        }
    }
    uint64_t line = line_bytes(1, r.w);
    memset(mask, 0, line * r.h);
    if (count > 0)
        QI_DmriMarkColors(raster, r.w, r.h, r.frame->kind == 1 ? 1 : r.kind, mask, list, count);
    if (r.u->displayMode == 3)
        invert_pixels(mask, line, r.w, r.h);
    return true;
}

// Sets the mask bits of pixels [from, to) of a row, whole bytes at a time.
void set_bits(uint8_t *row, int32_t from, int32_t to) {
    while (from < to && (from & 7) != 0)
        row[from >> 3] |= static_cast<uint8_t>(0x80u >> (from & 7)), ++from;
    int32_t bytes = (to - from) >> 3;
    if (bytes > 0) {
        memset(row + (from >> 3), 0xFF, static_cast<size_t>(bytes));
        from += bytes << 3;
    }
    for (; from < to; ++from)
        row[from >> 3] |= static_cast<uint8_t>(0x80u >> (from & 7));
}

void mark_outside(uint8_t *row, int32_t width, int32_t from, int32_t to) {
    from = std::min(std::max(from, 0), width);
    to = std::min(std::max(to, from), width);
    set_bits(row, 0, from);
    set_bits(row, to, width);
}

// The window columns [from, to) of the placement on the centre line of a
// row; from == to when the row is empty.
void row_span(const Render &r, const Window &win, int32_t row, int32_t &from, int32_t &to) {
    double y = win.top + (row + 0.5) * win.dy, a, b;
    from = to = 0;
    if (!placement_row_span(r.v->placement, y, a, b))
        return;
    double lo = r.pixels.left, hi = r.pixels.right + 1.0;
    double pa = fmin(fmax((a - win.x0) / win.dx, lo), hi), pb = fmin(fmax((b - win.x0) / win.dx, lo), hi);
    if (pb - pa < 0.5)
        return;
    if (pb - pa > 1) {
        from = qs_dround(pa);
        to = qs_dround(pb);
    } else {
        from = static_cast<int32_t>(floor((pa + pb) / 2));
        to = from + 1;
    }
}

void mark_spans(const Render &r, const Window &win, uint8_t *mask) {
    uint64_t line = line_bytes(1, r.w);
    for (int32_t y = 0; y < r.h; ++y) {
        int32_t from, to;
        row_span(r, win, r.pixels.top + y, from, to);
        mark_outside(mask + y * line, r.w, from - r.pixels.left, to - r.pixels.left);
    }
}

bool window_is_valid(int32_t width, int32_t height, double x0, double y0, double x1, double y1) {
    return width >= 1 && height >= 1 && isfinite(x0) && isfinite(y0) && isfinite(x1) && isfinite(y1) &&
           x1 > x0 && y1 < y0;
}

} // namespace

int32_t usframe_zoom(int32_t usframe, int32_t viewId, int32_t windowWidth, int32_t windowHeight, double x0,
                     double y0, double x1, double y1, QI_Rect *pixelRect, uint8_t **rasterOut, uint8_t **maskOut,
                     bool allowGrey) {
    Render r;
    r.u = usframe_lookup(usframe);
    r.v = view_at(view_find(usframe, viewId));
    if (!r.u || !r.v || !window_is_valid(windowWidth, windowHeight, x0, y0, x1, y1))
        return 0;
    r.frame = frame_lookup(r.v->frame);
    if (!r.frame)
        return 0;
    Window win{x0, -y0, (x1 - x0) / windowWidth, (y0 - y1) / windowHeight, windowWidth, windowHeight};
    if (!(win.dx > 0) || !(win.dy > 0) || !isfinite(win.dx) || !isfinite(win.dy))
        return 0;
    double box[4];
    placement_box(r.v->placement, box);
    if (!plan_region(win, box, r.v->map, r))
        return 0;
    r.orthogonal = placement_is_orthogonal(r.v->placement);
    r.filter = r.u->displayMode != 5 && r.u->colourCount > 0;
    r.kind = result_kind(*r.u, *r.frame);
    choose_keys(r);
    int32_t n = grey_factor(r, allowGrey);
    int32_t kind = n ? 2 : r.kind;
    HeapBlock<uint8_t> raster, mask;
    if (!raster.allocate(line_bytes(kind, r.w) * r.h))
        return -1;
    bool rendered = n ? render_grey(r, n, raster.get())
                      : read_region(r, r.fy0, r.fy1, raster.get(), kind, r.w, r.h, r.colourA, r.colourB);
    if (!rendered)
        return -1;
    if (r.filter || !r.orthogonal) {
        if (!mask.allocate(line_bytes(1, r.w) * r.h))
            return -1;
        memset(mask.get(), 0, line_bytes(1, r.w) * r.h);
        if (r.filter && !mark_filtered(r, raster.get(), mask.get()))
            return -1;
        if (!r.orthogonal)
            mark_spans(r, win, mask.get());
    }
    if (pixelRect)
        *pixelRect = r.pixels;
    if (rasterOut)
        *rasterOut = raster.release();
    if (maskOut)
        *maskOut = mask.release();
    return kind;
}

} // namespace quill

using namespace quill;

extern "C" QI_API int QI_USFrameZoomExt(int usframe, int viewId, int32_t windowWidth, int32_t windowHeight,
                                        double x0, double y0, double x1, double y1, QI_Rect *pixelRect,
                                        uint8_t **raster, uint8_t **mask) {
    if (mask)
        *mask = nullptr;
    int32_t kind = usframe_zoom(usframe, viewId, windowWidth, windowHeight, x0, y0, x1, y1, pixelRect, raster,
                                mask, true);
    return kind > 0 ? kind : 0;
}
