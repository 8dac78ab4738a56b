/*
 * usframe_base.cpp - the life of a USFrame's base: loading, creating,
 * duplicating, replacing, negating and saving it, and rebuilding the views
 * after it changed.
 *
 * Rebuilding keeps the views' stacking order: the views are placed again
 * from the lowest index up, so each gets back its rank (the host's hit
 * tests report the last placed view on top). Placing them from the highest
 * index down would turn the stack over at every rebuild.
 *
 * Decisions (failure paths):
 *  - A new USFrame whose painting fails deletes its frame and leaves the
 *    placeholder record alone.
 *  - Replacing the base takes the views off the old base first (an upright
 *    view shows the base itself, so removing it after the swap would delete
 *    the old base), places them on the new one, and when any of them cannot
 *    be placed puts the old base back with its views as they were and
 *    returns 0; the caller keeps the frame it passed.
 */
#include "usframes.h"

#include "../../base/holder.h"
#include "../core/library_state.h"
#include "../core/rect_utils.h"
#include "../core/tiles.h"
#include "../ops/draw.h"

#include <math.h>
#include <string.h>

namespace quill {

namespace {

struct SavedView {
    int32_t viewId;
    double placement[8]; // world form
};

// The views of a USFrame, lowest index first.
class SavedViews {
public:
    bool take(int32_t usframe) {
        int32_t n = 0;
        for (int32_t i = 0; i <= slot_table_highest(g_views.views); ++i)
            n += view_at(i) && view_at(i)->usframe == usframe;
        count_ = n;
        if (n == 0)
            return true;
        if (!views_.allocate(static_cast<size_t>(n)))
            return false;
        int32_t k = 0;
        for (int32_t i = 0; i <= slot_table_highest(g_views.views); ++i) {
            const ViewRecord *v = view_at(i);
            if (!v || v->usframe != usframe)
                continue;
            views_[k].viewId = v->viewId;
            memcpy(views_[k].placement, v->placement, sizeof views_[k].placement);
            negate_placement_y(views_[k].placement);
            ++k;
        }
        return true;
    }
    // Places every saved view again; false when one of them fails (the
    // others are still placed).
    bool place(int32_t usframe) const {
        bool all = true;
        for (int32_t k = 0; k < count_; ++k) {
            double p[8];
            memcpy(p, views_[k].placement, sizeof p);
            all = usframe_place(usframe, views_[k].viewId, p) == 1 && all;
        }
        return all;
    }

private:
    HeapBlock<SavedView> views_;
    int32_t count_ = 0;
};

bool rebuild_reduced_views(int32_t frame) { return QI_FrameViewOptimize(frame, 0) && QI_FrameViewOptimize(frame, 1); }

QI_Rect whole(const QI_FrameRecord &f) { return {0, 0, f.width - 1, f.height - 1}; }

} // namespace

bool usframe_update_views(int32_t usframe) {
    QI_USFrameRecord *u = usframe_lookup(usframe);
    if (!u || !g_views.views || !rebuild_reduced_views(u->baseFrame))
        return false;
    SavedViews saved;
    if (!saved.take(usframe))
        return false;
    usframe_delete_views(usframe);
    return saved.place(usframe);
}

} // namespace quill

using namespace quill;

extern "C" QI_API int QI_USFrameLoad(const char *name) {
    if (!g_views.usframes)
        return 0;
    int32_t frame = QI_FrameFileLoad(name, QI_STORAGE_SWAP);
    if (frame < 0)
        return 0;
    int32_t handle = usframe_create_record(frame);
    if (handle == 0)
        QI_FrameDelete(frame);
    return handle;
}

extern "C" QI_API int QI_USFrameCreateNew(int32_t width, int32_t height, int32_t kind, int32_t fill) {
    if (!g_views.usframes)
        return 0;
    int32_t frame = QI_FrameCreate(width, height, kind, QI_STORAGE_SWAP, nullptr, 1);
    if (frame < 0)
        return 0;
    QI_Rect all = whole(*frame_lookup(frame));
    int32_t handle = 0;
    if (fill == -1 || frame_draw_rect(frame, &all, static_cast<uint32_t>(fill), 1, false))
        handle = usframe_create_record(frame);
    if (handle == 0) {
        QI_FrameDelete(frame);
        return 0;
    }
    usframe_lookup(handle)->modified = 1;
    return handle;
}

extern "C" QI_API int QI_USFrameDuplicate(int usframe) {
    const QI_USFrameRecord *u = usframe_lookup(usframe);
    if (!u)
        return 0;
    HeapBlock<int32_t> colours;
    if (u->colourCount > 0) {
        if (!colours.allocate(static_cast<size_t>(u->colourCount)))
            return 0;
        memcpy(colours.get(), u->colours, static_cast<size_t>(u->colourCount) * 4);
    }
    int32_t copy = QI_FrameClone(u->baseFrame, nullptr, 0, 0);
    if (copy < 0)
        return 0;
    int32_t handle = usframe_create_record(copy);
    if (handle == 0) {
        QI_FrameDelete(copy);
        return 0;
    }
    QI_USFrameRecord *n = usframe_lookup(handle);
    *n = *usframe_lookup(usframe);
    n->baseFrame = copy;
    n->modified = 1;
    n->colours = colours.release();
    return handle;
}

extern "C" QI_API int QI_USFrameReplaceBase(int usframe, int frame) {
    QI_USFrameRecord *u = usframe_lookup(usframe);
    if (!u || frame == -1 || !frame_lookup(frame) || frame == u->baseFrame || !g_views.views)
        return 0;
    SavedViews saved;
    if (!saved.take(usframe))
        return 0;
    int32_t old = u->baseFrame;
    uint8_t wasModified = u->modified;
    usframe_delete_views(usframe);
    u = usframe_lookup(usframe);
    u->baseFrame = frame;
    u->modified = 1;
    if (rebuild_reduced_views(frame) && saved.place(usframe)) {
        QI_FrameDelete(old);
        return 1;
    }
    usframe_delete_views(usframe);
    u = usframe_lookup(usframe);
    u->baseFrame = old;
    u->modified = wasModified;
    saved.place(usframe);
    return 0;
}

extern "C" QI_API int QI_USFrameUpdateViews(int usframe, const QI_Rect *) {
    return usframe_update_views(usframe) ? 1 : 0;
}

extern "C" QI_API int QI_USFrameNegate(int usframe) {
    const QI_USFrameRecord *u = usframe_lookup(usframe);
    const QI_FrameRecord *base = u ? frame_lookup(u->baseFrame) : nullptr;
    if (!base)
        return 0;
    QI_Rect all = whole(*base);
    if (!frame_draw_rect(u->baseFrame, &all, QI_COLOR_WHITE, 2, false))
        return 0;
    return usframe_update_views(usframe) ? 1 : 0;
}

namespace {

// The pixels of the view's frame under a world rect (y up, any order).
bool rect_in_frame(const ViewRecord &v, const double *rect, QI_Rect &out) {
    double x0 = fmin(rect[0], rect[2]), x1 = fmax(rect[0], rect[2]);
    double y0 = fmin(-rect[1], -rect[3]), y1 = fmax(-rect[1], -rect[3]);
    const FrameMap &m = v.map;
    double fx0 = (x0 - m.originX) / m.unitX, fx1 = (x1 - m.originX) / m.unitX;
    double fy0 = (y0 - m.originY) / m.unitY, fy1 = (y1 - m.originY) / m.unitY;
    const double limit = 2147483520.0;
    if (!(fabs(fx0) < limit && fabs(fx1) < limit && fabs(fy0) < limit && fabs(fy1) < limit))
        return false;
    QI_Rect r{qs_dround(fx0), qs_dround(fy0), qs_dround(fx1) - 1, qs_dround(fy1) - 1};
    if (!(r.right > r.left && r.bottom > r.top))
        return false;
    const QI_FrameRecord *f = frame_lookup(v.frame);
    QI_Rect all{0, 0, f->width - 1, f->height - 1};
    return rect_intersect(r, all, &out);
}

int save_part(const ViewRecord &v, const double *rect, const char *name) {
    QI_Rect part;
    if (!rect_in_frame(v, rect, part))
        return 0;
    int32_t clone = QI_FrameClone(v.frame, &part, 0, QI_STORAGE_SWAP);
    if (clone < 0)
        return 0;
    int result = QI_FrameFileSave(clone, name);
    QI_FrameDelete(clone);
    return result;
}

} // namespace

extern "C" QI_API int QI_USFrameSaveExt(int usframe, int viewId, const double *rect, const char *name) {
    QI_USFrameRecord *u = usframe_lookup(usframe);
    if (!u)
        return 0;
    if (viewId == -1) {
        int result = QI_FrameFileSave(u->baseFrame, name);
        if (result == 1)
            usframe_lookup(usframe)->modified = 0;
        return result;
    }
    const ViewRecord *v = view_at(view_find(usframe, viewId));
    if (!v || !frame_lookup(v->frame))
        return 0;
    if (!rect)
        return QI_FrameFileSave(v->frame, name);
    ViewRecord copy = *v;
    return save_part(copy, rect, name);
}
