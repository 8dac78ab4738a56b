/*
 * place_view.cpp - placing a view: checking the placement, sharing the
 * frame of a view placed the same way, and building the view's frame.
 *
 * A placement whose edges all run along the axes is one of eight
 * orientations of the base, built by the quarter turns and mirrors (or the
 * base itself when upright), at the base's own resolution; its frame map
 * stretches the frame over the placement's box. Any other placement is a
 * warp of the base at the scale s = sqrt(area / (W H)) world units per
 * pixel, which keeps the number of pixels of the base. The warp works in
 * the plane of world coordinates divided by s:
 *  - a parallelogram goes through the affine warp, whose matrix maps a
 *    plane point to the base pixel that the world point s (X, Y) falls on
 *    (the map through p0, p1 and p3 that drawing uses too, so drawing and
 *    the view agree); its result starts at the exact top-left of the
 *    extent. When that corner lies more than 0.51 pixel from its
 *    truncation (the position the warp reports), the quadrilateral warp is
 *    used instead: its grid starts on whole plane pixels;
 *  - any other convex quadrilateral goes through the quadrilateral warp,
 *    which puts all four corners where they were given (an affine map can
 *    place only three).
 * Either way the warp's own setup gives the exact plane position of the
 * result's first pixel, and the frame map is built from it, so rendering
 * and drawing land on the warped frame's pixels exactly.
 */
#include "usframes.h"

#include "../core/tiles.h"
#include "../ops/warp_map.h"

#include <math.h>
#include <string.h>

namespace quill {

namespace {

int32_t copy_of(int32_t base, int32_t media) { return QI_FrameClone(base, nullptr, 0, media); }

// Applies an in-place operation to a new frame, deleting it on failure.
int32_t then(int32_t frame, int (*operation)(int)) {
    if (frame < 0)
        return -1;
    if (!operation(frame)) {
        QI_FrameDelete(frame);
        return -1;
    }
    return frame;
}

int32_t upright(int32_t base, int32_t) { return base; }
int32_t turn90(int32_t base, int32_t media) { return QI_FrameRotate90(base, media); }
int32_t turn270(int32_t base, int32_t media) { return QI_FrameRotate270(base, media); }
int32_t turn180(int32_t base, int32_t media) { return then(copy_of(base, media), QI_FrameRotate180); }
int32_t turn90_flip(int32_t base, int32_t media) { return then(turn90(base, media), QI_FrameMirrorY); }
int32_t turn270_flip(int32_t base, int32_t media) { return then(turn270(base, media), QI_FrameMirrorY); }
int32_t flip(int32_t base, int32_t media) { return then(copy_of(base, media), QI_FrameMirrorY); }
int32_t mirror(int32_t base, int32_t media) { return then(copy_of(base, media), QI_FrameMirrorX); }

// The builders of the eight orientations, in placement_orientation's order.
int32_t (*const kBuilders[8])(int32_t, int32_t) = {upright,     turn90,       turn270, turn180,
                                                   turn90_flip, turn270_flip, flip,    mirror};

// The orthogonal frame is stretched over the placement's box.
FrameMap box_map(const double *placement, int32_t frame) {
    const QI_FrameRecord *f = frame_lookup(frame);
    double box[4];
    placement_box(placement, box);
    return {box[0], box[1], (box[2] - box[0]) / f->width, (box[3] - box[1]) / f->height};
}

double triangle_area(const double *p, int a, int b, int c) {
    double ux = p[2 * b] - p[2 * a], uy = p[2 * b + 1] - p[2 * a + 1];
    double vx = p[2 * c] - p[2 * a], vy = p[2 * c + 1] - p[2 * a + 1];
    return fabs(ux * vy - uy * vx) / 2;
}

bool is_parallelogram(const double *p) {
    double box[4];
    placement_box(p, box);
    double size = box[2] - box[0] + box[3] - box[1];
    return fabs(p[0] + p[4] - p[2] - p[6]) <= 1e-9 * size && fabs(p[1] + p[5] - p[3] - p[7]) <= 1e-9 * size;
}

bool far_from_truncation(double v) { return fabs(v - trunc(v)) > 0.51; }

// Builds the warped frame of an oblique placement and its frame map.
int32_t build_warped(const double *placement, int32_t base, int32_t media, FrameMap &map) {
    const QI_FrameRecord *b = frame_lookup(base);
    double s = sqrt((triangle_area(placement, 0, 1, 2) + triangle_area(placement, 0, 2, 3)) /
                    (static_cast<double>(b->width) * b->height));
    double toBase[6];
    if (!(s > 0) || !isfinite(s) || !placement_to_base(placement, b->width, b->height, toBase))
        return -1;
    double affine[6] = {toBase[0] * s, toBase[1] * s, toBase[2], toBase[3] * s, toBase[4] * s, toBase[5]};
    double corners[8];
    for (int i = 0; i < 8; ++i)
        corners[i] = placement[i] / s;
    WarpMap warp;
    int method = 1;
    if (!is_parallelogram(placement) || !warp_setup(1, affine, b->width, b->height, warp) ||
        far_from_truncation(warp.extentLeft) || far_from_truncation(warp.extentTop))
        method = 2;
    if (method == 2 && !warp_setup(2, corners, b->width, b->height, warp))
        return -1;
    double left = method == 1 ? warp.extentLeft : warp.planeLeft;
    double top = method == 1 ? warp.extentTop : warp.planeTop;
    map = {left * s, top * s, s, s};
    return QI_FrameTransform(base, method, method == 1 ? affine : corners, nullptr, media, QI_COLOR_WHITE);
}

// Adds a view record; false (nothing added) when the table cannot grow.
bool add_view(int32_t usframe, int32_t viewId, const double *placement, int32_t frame, const FrameMap &map) {
    ViewRecord record;
    memset(&record, 0, sizeof record);
    record.usframe = usframe;
    record.viewId = viewId;
    memcpy(record.placement, placement, sizeof record.placement);
    record.frame = frame;
    record.map = map;
    int32_t index = slot_table_acquire(g_views.views);
    if (index < 0)
        return false;
    slot_table_store(g_views.views, index, &record);
    return true;
}

// Another view of the USFrame placed the same way, or -1.
int32_t find_equal_placement(int32_t usframe, const double *placement) {
    for (int32_t i = slot_table_highest(g_views.views); i >= 0; --i) {
        const ViewRecord *v = view_at(i);
        if (v && v->usframe == usframe && placements_equal(v->placement, placement))
            return i;
    }
    return -1;
}

int32_t share_frame(int32_t usframe, int32_t viewId, const double *placement, int32_t own, int32_t equal) {
    if (equal == own) {
        memcpy(view_at(own)->placement, placement, 8 * sizeof(double));
        return 1;
    }
    ViewRecord found = *view_at(equal);
    view_remove(own);
    return add_view(usframe, viewId, placement, found.frame, found.map) ? 1 : 0;
}

void delete_unless_base(int32_t frame, int32_t base) {
    if (frame >= 0 && frame != base)
        QI_FrameDelete(frame);
}

} // namespace

int32_t usframe_place(int32_t usframe, int32_t viewId, double *placement) {
    const QI_USFrameRecord *u = usframe_lookup(usframe);
    if (!u || viewId == -1 || !g_views.views || !placement || !frame_lookup(u->baseFrame))
        return 0;
    negate_placement_y(placement);
    if (!placement_is_finite(placement) || !placement_is_convex(placement))
        return 0;
    int32_t own = view_find(usframe, viewId);
    int32_t equal = find_equal_placement(usframe, placement);
    if (equal >= 0)
        return share_frame(usframe, viewId, placement, own, equal);
    view_remove(own);
    u = usframe_lookup(usframe);
    int32_t base = u->baseFrame, media = u->media;
    int o = placement_orientation(placement);
    FrameMap map;
    int32_t frame = o >= 0 ? kBuilders[o](base, media) : build_warped(placement, base, media, map);
    if (frame < 0)
        return 0;
    if (o >= 0)
        map = box_map(placement, frame);
    if (!QI_FrameViewOptimize(frame, 1) || !add_view(usframe, viewId, placement, frame, map)) {
        delete_unless_base(frame, base);
        return 0;
    }
    return 1;
}

} // namespace quill

using namespace quill;

extern "C" QI_API int QI_USFramePlaceExt(int usframe, int viewId, double *placement) {
    return usframe_place(usframe, viewId, placement);
}
