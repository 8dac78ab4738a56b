/*
 * view_draw.cpp - drawing through a view: polygons and wide polylines given
 * in world coordinates reach the base and every view frame of the USFrame,
 * so that all views stay consistent without being placed again.
 *
 * The polygons are filled into the base through the affine map of the
 * drawing view's placement (p0 to (0, 0), p1 to (W, 0), p3 to (0, H)).
 * Then each other view frame (each frame once; the base and frames shared
 * by several views are not painted twice) takes the change:
 *  - an orthogonal view's frame is the base turned or mirrored, pixel for
 *    pixel, so the base's touched rect is copied into it through the same
 *    turn, a band of 128 base rows at a time. Filling the polygons there
 *    instead would not do: the fill rounds vertices to whole pixels and
 *    truncates crossings along rows, so a polygon filled on rows of the
 *    base and on columns of a turned frame differs along its slanted
 *    edges (measured: a few pixels on every edge of a 130-pixel square);
 *  - a warped view's frame is filled through its own frame map, the map
 *    its frame was built with: its pixel shows the base pixel under its
 *    centre, so the two agree away from the polygons' edges (copying would
 *    mean warping the touched rect again).
 * After each change the frame's reduced views are brought up to date over
 * the touched rect widened by one pixel on each side: the views' update
 * leaves a rect one pixel wide or high alone, and a one-pixel stroke
 * would otherwise never reach the reduced views.
 *
 * Decisions:
 *  - Polygons that miss a frame are no failure (a stroke that leaves the
 *    sheet is drawn where it is on it); a set that fails its checks in the
 *    base fails the call.
 *  - A wide polyline returns 0 when any piece or the final rebuild fails;
 *    the pieces drawn before stay, as for a fill that fails in one view.
 */
#include "usframes.h"

#include "../../base/holder.h"
#include "../../base/raster_line.h"
#include "../core/frame_lock.h"
#include "../core/frame_rect.h"
#include "../core/rect_utils.h"
#include "../core/tiles.h"
#include "../ops/draw.h"
#include "../ops/wide_polyline.h"

#include <algorithm>
#include <math.h>
#include <stdint.h>
#include <string.h>

namespace quill {

namespace {

constexpr int64_t kMostPoints = int64_t(1) << 26;

// Bytes of a floating polygon set (count, then per polygon n and n points);
// 0 when a count is out of range.
size_t polygon_set_bytes(const void *polygons) {
    const uint8_t *p = static_cast<const uint8_t *>(polygons);
    int32_t count;
    memcpy(&count, p, 4);
    if (count < 1 || count > kMostPoints / 3)
        return 0;
    int64_t offset = 4, points = 0;
    for (int32_t k = 0; k < count; ++k) {
        int32_t n;
        memcpy(&n, p + offset, 4);
        points += n;
        if (n < 3 || points > kMostPoints)
            return 0;
        offset += 4 + 16 * static_cast<int64_t>(n);
    }
    return static_cast<size_t>(offset);
}

// Applies x' = a x + b y + c, y' = d x + e y + f to every point of a set.
void map_points(uint8_t *set, const double m[6]) {
    int32_t count;
    memcpy(&count, set, 4);
    size_t offset = 4;
    for (int32_t k = 0; k < count; ++k) {
        int32_t n;
        memcpy(&n, set + offset, 4);
        offset += 4;
        for (int32_t i = 0; i < n; ++i, offset += 16) {
            double xy[2];
            memcpy(xy, set + offset, 16);
            double x = m[0] * xy[0] + m[1] * xy[1] + m[2], y = m[3] * xy[0] + m[4] * xy[1] + m[5];
            xy[0] = x;
            xy[1] = y;
            memcpy(set + offset, xy, 16);
        }
    }
}

// The map from base pixels to a view frame's pixels: through the view's
// placement into the world (p0 + a u / W + b v / H, y negated), then
// through its frame map. Drawing through one view and showing the change in
// another goes world -> base (the drawing view) -> world of the other view
// -> its frame: views are placed at different places in the world, so the
// world polygon itself says nothing about another view's frame.
void base_to_frame(const double *placement, int32_t W, int32_t H, const FrameMap &f, double m[6]) {
    const double *p = placement;
    double ax = (p[2] - p[0]) / W, ay = (p[3] - p[1]) / W, bx = (p[6] - p[0]) / H, by = (p[7] - p[1]) / H;
    m[0] = ax / f.unitX, m[1] = bx / f.unitX, m[2] = (p[0] - f.originX) / f.unitX;
    m[3] = ay / f.unitY, m[4] = by / f.unitY, m[5] = (p[1] - f.originY) / f.unitY;
}

// The map from world (y up) to base pixels through a placement.
bool world_to_base(const double *placement, int32_t width, int32_t height, double m[6]) {
    double toBase[6];
    if (!placement_to_base(placement, width, height, toBase))
        return false;
    m[0] = toBase[0], m[1] = -toBase[1], m[2] = toBase[2];
    m[3] = toBase[3], m[4] = -toBase[4], m[5] = toBase[5];
    return true;
}

// Updates the frame's reduced views over `touched` widened by a pixel on
// each side (the whole frame for an outside fill).
bool update_views(int32_t frame, const QI_Rect &touched, bool outside) {
    const QI_FrameRecord *f = frame_lookup(frame);
    QI_Rect all{0, 0, f->width - 1, f->height - 1}, changed = all;
    if (!outside) {
        QI_Rect widened{touched.left - 1, touched.top - 1, touched.right + 1, touched.bottom + 1};
        rect_intersect(widened, all, &changed);
    }
    return QI_FrameViewUpdate(frame, &changed) == 1;
}

// Maps a copy of the set into a frame, fills it there and updates
// the frame's reduced views. `touched` receives the rect changed (left >
// right when the polygons miss the frame).
bool fill_mapped(int32_t frame, const void *set, size_t bytes, const double m[6], uint32_t colour, bool outside,
                 QI_Rect &touched) {
    HeapBlock<uint8_t> copy(bytes);
    if (!copy)
        return false;
    memcpy(copy.get(), set, bytes);
    map_points(copy.get(), m);
    touched = {0, 0, -1, -1};
    FillResult result = frame_fill_poly(frame, copy.get(), false, colour, outside, &touched);
    if (result != FillResult::Done)
        return result == FillResult::Missed;
    if (outside) {
        const QI_FrameRecord *f = frame_lookup(frame);
        touched = {0, 0, f->width - 1, f->height - 1};
    }
    return update_views(frame, touched, outside);
}

void copy_pixel(int32_t kind, const uint8_t *from, int32_t u, uint8_t *to, int32_t x) {
    if (kind == 1) {
        uint8_t bit = static_cast<uint8_t>(0x80u >> (x & 7));
        bool white = (from[u >> 3] >> (7 - (u & 7))) & 1;
        to[x >> 3] = static_cast<uint8_t>(white ? to[x >> 3] | bit : to[x >> 3] & ~bit);
    } else if (kind == 4) {
        memcpy(to + 3 * x, from + 3 * u, 3);
    } else {
        to[x] = from[u];
    }
}

// The frame rect that base rect `r` becomes under orientation o.
QI_Rect oriented_rect(int o, int32_t W, int32_t H, const QI_Rect &r) {
    int32_t x0, y0, x1, y1;
    orient_pixel(o, W, H, r.left, r.top, x0, y0);
    orient_pixel(o, W, H, r.right, r.bottom, x1, y1);
    return {x0 < x1 ? x0 : x1, y0 < y1 ? y0 : y1, x0 < x1 ? x1 : x0, y0 < y1 ? y1 : y0};
}

// Copies `rect` of the base into an orthogonal view's frame through its
// orientation, band by band, and updates the frame's reduced views.
bool copy_oriented(int32_t base, const QI_Rect &rect, int32_t frame, int o) {
    const QI_FrameRecord *b = frame_lookup(base);
    int32_t W = b->width, H = b->height, kind = b->kind, width = rect.right - rect.left + 1;
    constexpr int32_t kBand = 128;
    uint32_t line = raster_line_bytes(kind, width);
    size_t across = static_cast<size_t>(line) * kBand, down = static_cast<size_t>(raster_line_bytes(kind, kBand)) * width;
    HeapBlock<uint8_t> band(across), turned(across > down ? across : down);
    ScopedFrameLock lockBase(base), lockFrame(frame);
    if (!band || !turned || !lockBase.ok() || !lockFrame.ok())
        return false;
    for (int32_t top = rect.top; top <= rect.bottom; top += kBand) {
        QI_Rect part{rect.left, top, rect.right, top + kBand - 1 < rect.bottom ? top + kBand - 1 : rect.bottom};
        if (!frame_get_rect(base, part, band.get()))
            return false;
        QI_Rect target = oriented_rect(o, W, H, part);
        uint32_t targetLine = raster_line_bytes(kind, target.right - target.left + 1);
        for (int32_t v = part.top; v <= part.bottom; ++v)
            for (int32_t u = part.left; u <= part.right; ++u) {
                int32_t x, y;
                orient_pixel(o, W, H, u, v, x, y);
                copy_pixel(kind, band.get() + static_cast<size_t>(v - part.top) * line, u - part.left,
                           turned.get() + static_cast<size_t>(y - target.top) * targetLine, x - target.left);
            }
        if (!frame_set_rect(frame, target, turned.get(), kind, -1, -1))
            return false;
    }
    return update_views(frame, oriented_rect(o, W, H, rect), false);
}

// True when an earlier view of the USFrame shows `frame`.
bool frame_done_before(int32_t usframe, int32_t index, int32_t frame) {
    for (int32_t j = 0; j < index; ++j) {
        const ViewRecord *v = view_at(j);
        if (v && v->usframe == usframe && v->frame == frame)
            return true;
    }
    return false;
}

bool fill_through_view(int32_t usframe, int32_t viewId, const void *polygons, uint32_t colour, bool outside) {
    QI_USFrameRecord *u = usframe_lookup(usframe);
    const ViewRecord *v = view_at(view_find(usframe, viewId));
    const QI_FrameRecord *base = u ? frame_lookup(u->baseFrame) : nullptr;
    if (!v || !base || !polygons)
        return false;
    size_t bytes = polygon_set_bytes(polygons);
    double m[6];
    if (bytes == 0 || !world_to_base(v->placement, base->width, base->height, m))
        return false;
    int32_t baseFrame = u->baseFrame, W = base->width, H = base->height;
    HeapBlock<uint8_t> inBase(bytes);
    if (!inBase)
        return false;
    memcpy(inBase.get(), polygons, bytes);
    map_points(inBase.get(), m);
    const double identity[6] = {1, 0, 0, 0, 1, 0};
    QI_Rect touched, unused;
    if (!fill_mapped(baseFrame, inBase.get(), bytes, identity, colour, outside, touched))
        return false;
    if (touched.right < touched.left)
        return true; // the polygons miss the base: nothing changed anywhere
    usframe_lookup(usframe)->modified = 1;
    for (int32_t i = 0; i <= slot_table_highest(g_views.views); ++i) {
        const ViewRecord *w = view_at(i);
        if (!w || w->usframe != usframe || w->frame == baseFrame || frame_done_before(usframe, i, w->frame))
            continue;
        int32_t frame = w->frame;
        int o = placement_orientation(w->placement);
        base_to_frame(w->placement, W, H, w->map, m);
        bool ok = o >= 0 ? copy_oriented(baseFrame, touched, frame, o)
                         : fill_mapped(frame, inBase.get(), bytes, m, colour, outside, unused);
        if (!ok)
            return false;
    }
    return true;
}

// ---- Wide polylines --------------------------------------------------------
//
// A polyline's covering pieces overlap at every joint, so each must be
// filled on its own (one even-odd set would cut the overlaps out), and
// filling them one by one through the views cost 0.9 ms a piece: every
// piece decoded and coded the tiles under it in the base and in each view
// frame and updated their reduced views, 1.8 s for a polyline of 1000
// points on the standard page, more than placing the view afresh. The
// pieces are painted together instead, tile cell by tile cell (128 x 128
// pixels of the frame): each piece that reaches a cell is filled into one
// bilevel mask of the cell, and the mask is written once with the colour.
// Painting the union with one colour is what filling the pieces in turn
// gives. Only cells that a piece reaches are visited; bands of whole rows
// were tried first and re-coded, copied and re-sampled every tile of a
// band that a long stroke crossed (0.6 s of the same polyline).

// The rects changed, one per cell.
struct Bands {
    HeapBlock<QI_Rect> rects;
    int32_t count = 0;
    bool add(const QI_Rect &r) {
        if ((count & 63) == 0 && !rects.resize(static_cast<size_t>(count) + 64))
            return false;
        rects[count++] = r;
        return true;
    }
};

size_t piece_bytes(const void *piece) {
    int32_t n;
    memcpy(&n, static_cast<const uint8_t *>(piece) + 4, 4);
    return 8 + 16 * static_cast<size_t>(n);
}

// The pixels a one-polygon set can paint, from its vertices rounded as the
// fill rounds them; false when it misses `limit` or is not finite.
bool piece_box(const uint8_t *set, const QI_Rect &limit, QI_Rect &box) {
    int32_t n;
    memcpy(&n, set + 4, 4);
    double x0 = INFINITY, y0 = INFINITY, x1 = -INFINITY, y1 = -INFINITY;
    for (int32_t i = 0; i < n; ++i) {
        double xy[2];
        memcpy(xy, set + 8 + 16 * static_cast<size_t>(i), 16);
        x0 = fmin(x0, xy[0]), x1 = fmax(x1, xy[0]), y0 = fmin(y0, xy[1]), y1 = fmax(y1, xy[1]);
    }
    const double big = 1e9;
    if (!(x0 > -big && x1 < big && y0 > -big && y1 < big))
        return false;
    QI_Rect r{qs_dround(x0), qs_dround(y0), qs_dround(x1), qs_dround(y1)};
    return rect_intersect(r, limit, &box);
}

bool meets(const QI_Rect &a, const QI_Rect &b) {
    return a.right >= a.left && a.left <= b.right && a.right >= b.left && a.top <= b.bottom && a.bottom >= b.top;
}

// Paints the union of the pieces (mapped by m) into the frame with the
// colour; the cells it changed go to `changed`.
bool paint_pieces(int32_t frame, void *const *pieces, int32_t count, const double m[6], uint32_t colour,
                  Bands &changed) {
    const QI_FrameRecord *f = frame_lookup(frame);
    QI_Rect all{0, 0, f->width - 1, f->height - 1};
    size_t largest = 0;
    for (int32_t i = 0; i < count; ++i)
        largest = std::max(largest, piece_bytes(pieces[i]));
    HeapBlock<uint8_t> scratch(largest), mask(static_cast<size_t>(raster_line_bytes(1, kTileSide)) * kTileSide);
    HeapBlock<QI_Rect> boxes(static_cast<size_t>(count));
    HeapBlock<int32_t> inBand(static_cast<size_t>(count));
    if (!scratch || !boxes || !mask || !inBand)
        return false;
    auto mapped = [&](int32_t i) {
        memcpy(scratch.get(), pieces[i], piece_bytes(pieces[i]));
        map_points(scratch.get(), m);
        return scratch.get();
    };
    QI_Rect box{0, 0, -1, -1};
    for (int32_t i = 0; i < count; ++i) {
        if (!piece_box(mapped(i), all, boxes[i]))
            boxes[i] = {0, 0, -1, -1};
        else if (box.right < box.left)
            box = boxes[i];
        else
            QI_AddRects(&box, &boxes[i], &box);
    }
    ScopedFrameLock lock(frame);
    if (!lock.ok())
        return false;
    for (int32_t top = box.top / kTileSide * kTileSide; box.right >= box.left && top <= box.bottom; top += kTileSide) {
        QI_Rect band{box.left, top, box.right, std::min(top + kTileSide - 1, all.bottom)};
        int32_t n = 0;
        for (int32_t i = 0; i < count; ++i)
            if (meets(boxes[i], band))
                inBand[n++] = i;
        for (int32_t left = box.left / kTileSide * kTileSide; n > 0 && left <= box.right; left += kTileSide) {
            QI_Rect cell{left, band.top, std::min(left + kTileSide - 1, all.right), band.bottom};
            bool painted = false;
            for (int32_t k = 0; k < n; ++k) {
                int32_t i = inBand[k];
                if (!meets(boxes[i], cell))
                    continue;
                if (!painted)
                    memset(mask.get(), 0xFF, static_cast<size_t>(raster_line_bytes(1, kTileSide)) * kTileSide);
                painted = true;
                if (!fill_polygons_into(mapped(i), false, mask.get(), cell))
                    return false;
            }
            if (painted && (!frame_set_rect(frame, cell, mask.get(), 1, -1, static_cast<int32_t>(colour)) ||
                            !changed.add(cell)))
                return false;
        }
    }
    return true;
}

// Spreads painted bands of the base to a view frame: copied through an
// orthogonal view's turn, or the pieces painted again through a warped
// view's map; then the frame's reduced views.
bool spread_bands(const ViewRecord &w, int32_t baseFrame, const Bands &changed, void *const *pieces, int32_t count,
                  uint32_t colour) {
    int o = placement_orientation(w.placement);
    if (o >= 0) {
        for (int32_t k = 0; k < changed.count; ++k)
            if (!copy_oriented(baseFrame, changed.rects[k], w.frame, o))
                return false;
        return true;
    }
    const QI_FrameRecord *b = frame_lookup(baseFrame);
    double m[6];
    base_to_frame(w.placement, b->width, b->height, w.map, m);
    Bands own;
    if (!paint_pieces(w.frame, pieces, count, m, colour, own))
        return false;
    for (int32_t k = 0; k < own.count; ++k)
        if (!update_views(w.frame, own.rects[k], false))
            return false;
    return true;
}

bool draw_pieces(int32_t usframe, int32_t viewId, void *const *pieces, int32_t count, uint32_t colour) {
    QI_USFrameRecord *u = usframe_lookup(usframe);
    const ViewRecord *v = view_at(view_find(usframe, viewId));
    const QI_FrameRecord *base = u ? frame_lookup(u->baseFrame) : nullptr;
    double m[6];
    if (!v || !base || !world_to_base(v->placement, base->width, base->height, m))
        return false;
    int32_t baseFrame = u->baseFrame;
    for (int32_t i = 0; i < count; ++i)
        map_points(static_cast<uint8_t *>(pieces[i]), m); // now in base pixels
    const double identity[6] = {1, 0, 0, 0, 1, 0};
    Bands changed;
    if (!paint_pieces(baseFrame, pieces, count, identity, colour, changed))
        return false;
    if (changed.count == 0)
        return true;
    usframe_lookup(usframe)->modified = 1;
    for (int32_t k = 0; k < changed.count; ++k)
        if (!update_views(baseFrame, changed.rects[k], false))
            return false;
    for (int32_t i = 0; i <= slot_table_highest(g_views.views); ++i) {
        const ViewRecord *w = view_at(i);
        if (!w || w->usframe != usframe || w->frame == baseFrame || frame_done_before(usframe, i, w->frame))
            continue;
        ViewRecord view = *w;
        if (!spread_bands(view, baseFrame, changed, pieces, count, colour))
            return false;
    }
    return true;
}

// Releases the pieces of a wide polyline.
class Pieces {
public:
    ~Pieces() {
        for (int32_t i = 0; i < count_; ++i)
            heap_release(pieces_[i]);
        heap_release(pieces_);
    }
    int32_t make(const void *polyline, double halfWidth) {
        count_ = wide_polyline(polyline, halfWidth, kWideSquare, 0.1, &pieces_);
        if (count_ < 0)
            count_ = 0;
        return count_;
    }
    void *const *get() const { return pieces_; }

private:
    void **pieces_ = nullptr;
    int32_t count_ = 0;
};

} // namespace

bool usframe_draw_polyline(int32_t usframe, int32_t viewId, const void *polyline, double halfWidth, uint32_t colour) {
    if (!view_at(view_find(usframe, viewId)) || !polyline)
        return false;
    Pieces pieces;
    int32_t count = pieces.make(polyline, halfWidth);
    return count > 0 && draw_pieces(usframe, viewId, pieces.get(), count, colour);
}

} // namespace quill

using namespace quill;

extern "C" QI_API int QI_USFrameBaseFillPolyExt(int usframe, int viewId, const void *polygons, uint32_t colour,
                                                int outside) {
    return fill_through_view(usframe, viewId, polygons, colour, outside != 0) ? 1 : 0;
}

extern "C" QI_API int QI_USFrameWidePolyline(int usframe, int viewId, const void *polyline, double halfWidth,
                                             uint32_t colour) {
    return usframe_draw_polyline(usframe, viewId, polyline, halfWidth, colour) && usframe_update_views(usframe) ? 1
                                                                                                                 : 0;
}
