/*
 * view_filter.cpp - QI_USFrameApplyFilter: what the display shows, made
 * the base itself. The views are removed first; the host places them
 * again on the new base.
 *
 * Filters: 1 a grey copy, 2 a bilevel copy, 3 the listed colours painted
 * white, 4 a colour copy in which white and black become the foreground and
 * background colours; a bilevel base shown in black on white (foreground
 * black, background white) is inverted in place instead.
 *
 * Decision: after that inversion the base's pixels show what the colours
 * showed, so the foreground and background are unset; left set, they would
 * invert the picture a second time on screen and the filter would seem to
 * do nothing.
 */
#include "usframes.h"

#include "../../base/holder.h"
#include "../core/rect_utils.h"
#include "../core/tiles.h"
#include "../ops/draw.h"

namespace quill {

namespace {

bool needs_colour(int32_t c) { return c >= 0 && color_kind(c) > 1; }

int invert_in_place(QI_USFrameRecord *u, int32_t usframe) {
    int32_t base = u->baseFrame;
    const QI_FrameRecord *f = frame_lookup(base);
    QI_Rect all{0, 0, f->width - 1, f->height - 1};
    bool ok = QI_FrameViewOptimize(base, 0) && frame_draw_rect(base, &all, QI_COLOR_WHITE, 2, false) &&
              QI_FrameViewOptimize(base, 1);
    if (!ok)
        return 0;
    u = usframe_lookup(usframe);
    u->foreground = u->background = -1;
    u->modified = 1;
    return 1;
}

// A copy of the base of `kind`, with its reduced views; -1 on failure.
int32_t copy_as(int32_t base, int32_t kind) {
    int32_t copy = QI_FrameClone(base, nullptr, kind, 0);
    if (copy >= 0 && !QI_FrameViewOptimize(copy, 1)) {
        QI_FrameDelete(copy);
        return -1;
    }
    return copy;
}

int32_t colour_copy(const QI_USFrameRecord &u) {
    int32_t copy = QI_FrameClone(u.baseFrame, nullptr, QI_KIND_COLOUR, 0);
    const int32_t table[4] = {QI_COLOR_WHITE, QI_COLOR_BLACK, u.foreground, u.background};
    if (copy >= 0 && (!QI_FrameReplaceColors(copy, nullptr, table, 2) || !QI_FrameViewOptimize(copy, 1))) {
        QI_FrameDelete(copy);
        return -1;
    }
    return copy;
}

bool whiten_listed(const QI_USFrameRecord &u) {
    int32_t n = u.colourCount;
    HeapBlock<int32_t> table(2 * static_cast<size_t>(n));
    if (!table)
        return false;
    for (int32_t i = 0; i < n; ++i) {
        table[i] = u.colours[i];
        table[n + i] = QI_COLOR_WHITE;
    }
    return QI_FrameReplaceColors(u.baseFrame, nullptr, table.get(), n) == 1 && QI_FrameViewOptimize(u.baseFrame, 0) &&
           QI_FrameViewOptimize(u.baseFrame, 1);
}

} // namespace

} // namespace quill

using namespace quill;

extern "C" QI_API int QI_USFrameApplyFilter(int usframe, int reserved, int filter) {
    QI_USFrameRecord *u = usframe_lookup(usframe);
    if (reserved != 0 || !u || !frame_lookup(u->baseFrame))
        return 0;
    if (filter == 3 && u->colourCount == 0)
        return 1;
    usframe_delete_views(usframe);
    u = usframe_lookup(usframe);
    const QI_FrameRecord *base = frame_lookup(u->baseFrame);
    if (filter == 4 && base->kind == 1 && !needs_colour(u->foreground) && !needs_colour(u->background)) {
        if (u->background == QI_COLOR_WHITE && u->foreground == QI_COLOR_BLACK)
            return invert_in_place(u, usframe);
        return 1;
    }
    int32_t copy = -1;
    switch (filter) {
    case 1:
        copy = copy_as(u->baseFrame, QI_KIND_GREY);
        break;
    case 2:
        copy = copy_as(u->baseFrame, QI_KIND_BILEVEL);
        break;
    case 3:
        if (!whiten_listed(*u))
            return 0;
        usframe_lookup(usframe)->modified = 1;
        return 1;
    case 4:
        copy = colour_copy(*u);
        break;
    default:
        return 1;
    }
    if (copy < 0)
        return 0;
    u = usframe_lookup(usframe);
    QI_FrameDelete(u->baseFrame);
    u->baseFrame = copy;
    u->modified = 1;
    return 1;
}
