/*
 * view_pick.cpp - colour picking and hit testing through views: the
 * distinct colours under a world rect, the display filter set from them,
 * and which view lies under a point.
 *
 * A pick rect is mapped through the view's frame map (the map its frame
 * was built with, so a rect picked through any view reaches the base
 * pixels that view shows there) and covers every frame pixel it overlaps:
 * a click's small square always reads at least the pixel under it.
 * The pixels are read a band of at most 128 rows at a time and their
 * colours gathered into a list made unique after each band, so a large
 * rect holds one band and the distinct colours, not its whole raster.
 *
 * Hit testing in display mode 4, where rendering hides the listed colours:
 * a point hits when some colour under its square is not hidden, that is,
 * when the view shows something there.
 */
#include "usframes.h"

#include "../../base/holder.h"
#include "../../base/raster_line.h"
#include "../colour/colour_lists.h"
#include "../core/frame_lock.h"
#include "../core/frame_rect.h"
#include "../core/rect_utils.h"
#include "../core/tiles.h"

#include <math.h>
#include <string.h>

namespace quill {

namespace {

constexpr int32_t kBandRows = 128;
constexpr double kLargestPixel = 2147483520.0;

// The frame pixels that a world rect (y negated, ordered) overlaps.
bool pick_pixels(const ViewRecord &v, const double r[4], QI_Rect &out) {
    const FrameMap &m = v.map;
    double x0 = (r[0] - m.originX) / m.unitX, x1 = (r[2] - m.originX) / m.unitX;
    double y0 = (r[1] - m.originY) / m.unitY, y1 = (r[3] - m.originY) / m.unitY;
    if (!(fabs(x0) < kLargestPixel && fabs(x1) < kLargestPixel && fabs(y0) < kLargestPixel &&
          fabs(y1) < kLargestPixel))
        return false;
    QI_Rect want{static_cast<int32_t>(floor(x0)), static_cast<int32_t>(floor(y0)),
                 static_cast<int32_t>(ceil(x1)) - 1, static_cast<int32_t>(ceil(y1)) - 1};
    want.right = want.right < want.left ? want.left : want.right;
    want.bottom = want.bottom < want.top ? want.top : want.bottom;
    const QI_FrameRecord *f = frame_lookup(v.frame);
    QI_Rect all{0, 0, f->width - 1, f->height - 1};
    return rect_intersect(want, all, &out);
}

class ColourGather {
public:
    // Appends the colours of `rows` lines of a kind-4 raster and keeps the
    // list unique.
    bool add(const uint8_t *raster, uint32_t line, int32_t width, int32_t rows) {
        size_t needed = static_cast<size_t>(count_) + static_cast<size_t>(width) * rows;
        if (!list_.resize(needed))
            return false;
        for (int32_t y = 0; y < rows; ++y)
            for (int32_t x = 0; x < width; ++x) {
                const uint8_t *p = raster + static_cast<size_t>(y) * line + 3 * static_cast<size_t>(x);
                list_[count_++] = p[0] | p[1] << 8 | p[2] << 16;
            }
        count_ = colour_list_unique(list_.get(), count_);
        return true;
    }
    int32_t *release(int32_t &count) {
        count = count_;
        if (count_ > 0)
            list_.resize(static_cast<size_t>(count_));
        return list_.release();
    }

private:
    HeapBlock<int32_t> list_;
    int32_t count_ = 0;
};

int32_t *colours_in(int32_t frame, const QI_Rect &rect, int32_t &count) {
    const QI_FrameRecord *f = frame_lookup(frame);
    int32_t kind = f->kind, width = rect.right - rect.left + 1;
    uint32_t sourceLine = raster_line_bytes(kind, width), line = raster_line_bytes(4, width);
    HeapBlock<uint8_t> source(static_cast<size_t>(sourceLine) * kBandRows), colour(static_cast<size_t>(line) * kBandRows);
    ScopedFrameLock lock(frame);
    if (!source || !colour || !lock.ok())
        return nullptr;
    ColourGather gather;
    for (int32_t top = rect.top; top <= rect.bottom; top += kBandRows) {
        int32_t rows = rect.bottom - top + 1 < kBandRows ? rect.bottom - top + 1 : kBandRows;
        QI_Rect band{rect.left, top, rect.right, top + rows - 1};
        if (!frame_get_rect(frame, band, source.get()))
            return nullptr;
        QI_DmriConvert(source.get(), width, rows, kind, colour.get(), 4);
        if (!gather.add(colour.get(), line, width, rows))
            return nullptr;
    }
    return gather.release(count);
}

// A world rect (y up, any corner order) as (x0, y0, x1, y1) with y
// negated and each pair ordered; false when not finite.
bool order_rect(const double *rect, double r[4]) {
    r[0] = fmin(rect[0], rect[2]), r[2] = fmax(rect[0], rect[2]);
    r[1] = fmin(-rect[1], -rect[3]), r[3] = fmax(-rect[1], -rect[3]);
    return isfinite(r[0]) && isfinite(r[1]) && isfinite(r[2]) && isfinite(r[3]);
}

int32_t *window_colours(int32_t usframe, int32_t viewId, const double *rect, int32_t *countOut) {
    double r[4];
    if (!rect || !order_rect(rect, r) || r[0] == r[2] || r[1] == r[3])
        return nullptr;
    const ViewRecord *v = view_at(view_find(usframe, viewId));
    if (!v || !usframe_lookup(usframe) || !frame_lookup(v->frame))
        return nullptr;
    for (int i = 0; i < 4; ++i)
        if (!point_in_placement(v->placement, r[(i & 1) * 2], r[(i >> 1) * 2 + 1]))
            return nullptr;
    QI_Rect pixels;
    if (!pick_pixels(*v, r, pixels))
        return nullptr;
    int32_t count = 0;
    int32_t *list = colours_in(v->frame, pixels, count);
    if (list && countOut)
        *countOut = count;
    return list;
}

bool square_meets_view(const ViewRecord &v, double x, double y, double t) {
    // y negated: the square (x - t, -y - t) .. (x + t, -y + t).
    double left = x - t, right = x + t, top = -y - t, bottom = -y + t;
    for (int i = 0; i < 4; ++i)
        if (point_in_placement(v.placement, i & 1 ? right : left, i & 2 ? bottom : top))
            return true;
    for (int i = 0; i < 4; ++i) {
        double px = v.placement[2 * i], py = v.placement[2 * i + 1];
        if (px >= left && px <= right && py >= top && py <= bottom)
            return true;
    }
    return false;
}

int hit_test(int32_t usframe, int32_t viewId, double x, double y, double t) {
    const QI_USFrameRecord *u = usframe_lookup(usframe);
    const ViewRecord *v = view_at(view_find(usframe, viewId));
    if (!u || !v || !isfinite(x) || !isfinite(y) || !isfinite(t) || !square_meets_view(*v, x, y, fabs(t)))
        return 0;
    if (u->displayMode == 5 || u->colourCount == 0)
        return 1;
    const double square[4] = {x - t, y - t, x + t, y + t};
    int32_t count = 0;
    int32_t *list = window_colours(usframe, viewId, square, &count);
    if (!list)
        return 0;
    u = usframe_lookup(usframe);
    bool hit = false;
    if (u->displayMode == 3)
        hit = colour_lists_share(u->colours, u->colourCount, list, count);
    else if (u->displayMode == 4)
        hit = !colour_list_all_in(list, count, u->colours, u->colourCount);
    heap_release(list);
    return hit ? 1 : 0;
}

} // namespace

} // namespace quill

using namespace quill;

extern "C" QI_API int32_t *QI_USFrameWinColorsExt(int usframe, int viewId, const double *rect, int32_t *count) {
    return window_colours(usframe, viewId, rect, count);
}

extern "C" QI_API int QI_USFrameSetVisExt(int usframe, int viewId, const double *rect, int32_t *count, int op) {
    if (op != 1 && op != 2)
        return QI_USFrameSetVis(usframe, nullptr, 0, op);
    int32_t n = 0;
    int32_t *list = window_colours(usframe, viewId, rect, &n);
    if (!list)
        return 0;
    if (count)
        *count = n;
    int result = QI_USFrameSetVis(usframe, list, n, op);
    heap_release(list);
    return result;
}

extern "C" QI_API int QI_USFrameHitTestExt(int usframe, int viewId, double x, double y, double tolerance) {
    return hit_test(usframe, viewId, x, y, tolerance);
}

extern "C" QI_API int QI_UEpairArrHitTest(const int32_t *pairs, int32_t count, double x, double y, double tolerance,
                                          int32_t *usframeOut, int32_t *viewOut) {
    if (!g_views.views)
        return 0;
    if (pairs) {
        for (int32_t k = count - 1; k >= 0; --k)
            if (hit_test(pairs[2 * k], pairs[2 * k + 1], x, y, tolerance)) {
                if (usframeOut)
                    *usframeOut = pairs[2 * k];
                if (viewOut)
                    *viewOut = pairs[2 * k + 1];
                return 1;
            }
        return 0;
    }
    for (int32_t index = slot_table_highest(g_views.views); index >= 0; --index) {
        const ViewRecord *v = view_at(index);
        if (!v)
            continue;
        int32_t owner = v->usframe, id = v->viewId;
        // The view found by (owner, id) is this one unless a higher one has
        // the same id; the highest was tested first, so test this record's
        // own pair only when it is the one the lookup finds.
        if (view_find(owner, id) == index && hit_test(owner, id, x, y, tolerance)) {
            if (usframeOut)
                *usframeOut = owner;
            if (viewOut)
                *viewOut = id;
            return 1;
        }
    }
    return 0;
}
