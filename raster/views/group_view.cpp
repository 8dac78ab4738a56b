/*
 * group_view.cpp - QI_USFrameGroupFixView: several views rendered into one
 * new frame at a common resolution, wrapped in a new USFrame.
 *
 * The new frame is filled block by block (at most 128 x 128 pixels, bands
 * top to bottom, blocks left to right): the block is painted with the fill
 * colour, then every view is rendered into the block's world rect through
 * the zoom engine and written through its mask, from the last pair to the
 * first or the other way round. Working memory is one block and one zoom
 * result, whatever the size of the group.
 *
 * Decisions:
 *  - No pairs and no world rect: 0 at once (there is no area).
 *  - The resolution of a view is its frame map's (pixels per world unit),
 *    which for a warped view is the warp's scale.
 *  - Scale to grey is not used inside a group: the group's kind is fixed
 *    before rendering, and a grey block would not fit a bilevel group.
 *  - A fill of -1 paints white, so that no block is left undefined.
 *  - A block that a view does not reach is skipped; a view that fails to
 *    render (memory) fails the whole call.
 */
#include "usframes.h"

#include "../../base/holder.h"
#include "../../base/raster_line.h"
#include "../core/frame_lock.h"
#include "../core/frame_rect.h"
#include "../core/rect_utils.h"
#include "../core/tiles.h"
#include "../ops/draw.h"

#include <algorithm>
#include <math.h>
#include <string.h>

namespace quill {

namespace {

constexpr int32_t kBlock = 128;
constexpr double kLargestSide = 1073741824.0; // 2^30 pixels

struct Group {
    const int32_t *pairs;
    int32_t count;
    bool forward;
    double minX, minY, maxX, maxY; // y negated
    double scale;
    int32_t kind, mode;
    int32_t fill;
};

const ViewRecord *pair_view(const int32_t *pairs, int32_t k) { return view_at(view_find(pairs[2 * k], pairs[2 * k + 1])); }

// Scale, area, kind and mode from the views; false when one is missing.
bool survey(Group &g, int scaleMode) {
    g.kind = g.fill == -1 ? 1 : color_kind(g.fill);
    g.mode = 1;
    for (int32_t k = 0; k < g.count; ++k) {
        const ViewRecord *v = pair_view(g.pairs, k);
        const QI_FrameRecord *f = v ? frame_lookup(v->frame) : nullptr;
        if (!f)
            return false;
        double box[4];
        placement_box(v->placement, box);
        double sx = 1 / v->map.unitX, sy = 1 / v->map.unitY;
        if (k == 0)
            g.scale = scaleMode == 2 ? 1.0 : sx;
        if (scaleMode == 0)
            g.scale = std::max({g.scale, sx, sy});
        else if (scaleMode == 1)
            g.scale = std::min({g.scale, sx, sy});
        if (k == 0) {
            g.minX = box[0], g.minY = box[1], g.maxX = box[2], g.maxY = box[3];
        } else {
            g.minX = fmin(g.minX, box[0]), g.minY = fmin(g.minY, box[1]);
            g.maxX = fmax(g.maxX, box[2]), g.maxY = fmax(g.maxY, box[3]);
        }
        g.kind = std::max(g.kind, f->kind);
        g.mode = std::max(g.mode, f->mode);
        const QI_USFrameRecord *u = usframe_lookup(v->usframe);
        if (f->kind == 1 && u) {
            if (u->foreground >= 0)
                g.kind = std::max(g.kind, color_kind(u->foreground));
            if (u->background >= 0)
                g.kind = std::max(g.kind, color_kind(u->background));
        }
    }
    return true;
}

bool side_of(double extent, double scale, int32_t &side) {
    double s = scale * extent;
    if (!isfinite(s) || !(s < kLargestSide))
        return false;
    side = std::max(1, qs_dround(s));
    return true;
}

// Renders one view into a block; false on failure.
bool draw_view(const Group &g, int32_t k, int32_t frame, const QI_Rect &block, double px, double py) {
    int32_t bw = block.right - block.left + 1, bh = block.bottom - block.top + 1;
    QI_Rect shown;
    uint8_t *raster = nullptr, *mask = nullptr;
    int32_t kind = usframe_zoom(g.pairs[2 * k], g.pairs[2 * k + 1], bw, bh, block.left * px + g.minX,
                                -(block.top * py + g.minY), (block.right + 1.0) * px + g.minX,
                                -((block.bottom + 1.0) * py + g.minY), &shown, &raster, &mask, false);
    if (kind <= 0)
        return kind == 0;
    QI_Rect at{shown.left + block.left, shown.top + block.top, shown.right + block.left, shown.bottom + block.top};
    bool ok = QI_FrameSetRectTransp(frame, &at, raster, mask, kind) == 1;
    qs_free(reinterpret_cast<void **>(&raster));
    qs_free(reinterpret_cast<void **>(&mask));
    return ok;
}

bool render_blocks(const Group &g, int32_t frame, int32_t W, int32_t H) {
    ScopedFrameLock lock(frame);
    HeapBlock<uint8_t> buffer(static_cast<size_t>(raster_line_bytes(g.kind, kBlock)) * kBlock);
    if (!lock.ok() || !buffer)
        return false;
    double px = (g.maxX - g.minX) / W, py = (g.maxY - g.minY) / H;
    uint32_t fill = static_cast<uint32_t>(g.fill == -1 ? QI_COLOR_WHITE : g.fill);
    for (int32_t top = 0; top < H; top += kBlock)
        for (int32_t left = 0; left < W; left += kBlock) {
            QI_Rect block{left, top, std::min(W, left + kBlock) - 1, std::min(H, top + kBlock) - 1};
            int32_t bw = block.right - left + 1, bh = block.bottom - top + 1;
            uniform_fill(buffer.get(), bw, bh, fill, g.kind);
            if (!frame_set_rect(frame, block, buffer.get(), g.kind, -1, -1))
                return false;
            for (int32_t i = 0; i < g.count; ++i)
                if (!draw_view(g, g.forward ? i : g.count - 1 - i, frame, block, px, py))
                    return false;
        }
    return true;
}

bool rect_is_finite(const double *r) {
    return isfinite(r[0]) && isfinite(r[1]) && isfinite(r[2]) && isfinite(r[3]);
}

} // namespace

} // namespace quill

using namespace quill;

extern "C" QI_API int QI_USFrameGroupFixView(const int32_t *pairs, int32_t count, int order, int deleteViews,
                                             const double *rect, double *areaOut, int scaleMode, int32_t fill) {
    if (!g_views.usframes || count < 0 || (count > 0 && !pairs) || (count == 0 && !rect))
        return 0;
    Group g{pairs, count, order != 0, 0, 0, 0, 0, 1.0, 1, 1, fill};
    if (!survey(g, scaleMode))
        return 0;
    if (rect) {
        if (!rect_is_finite(rect))
            return 0;
        g.minX = fmin(rect[0], rect[2]), g.maxX = fmax(rect[0], rect[2]);
        g.minY = fmin(-rect[1], -rect[3]), g.maxY = fmax(-rect[1], -rect[3]);
    }
    int32_t W, H;
    if (!(g.maxX > g.minX && g.maxY > g.minY) || !side_of(g.maxX - g.minX, g.scale, W) ||
        !side_of(g.maxY - g.minY, g.scale, H))
        return 0;
    int32_t frame = QI_FrameCreate(W, H, g.kind, QI_STORAGE_SWAP, nullptr, g.mode);
    if (frame < 0)
        return 0;
    int32_t handle = render_blocks(g, frame, W, H) ? usframe_create_record(frame) : 0;
    if (handle == 0) {
        QI_FrameDelete(frame);
        return 0;
    }
    usframe_lookup(handle)->modified = 1;
    if (deleteViews)
        for (int32_t k = 0; k < count; ++k)
            QI_USFrameDeleteExt(pairs[2 * k], pairs[2 * k + 1]);
    if (areaOut) {
        areaOut[0] = g.minX, areaOut[1] = -g.maxY, areaOut[2] = g.maxX, areaOut[3] = -g.minY;
    }
    return handle;
}
