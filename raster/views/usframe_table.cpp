/*
 * usframe_table.cpp - the USFrame and view tables: start and close, record
 * lookups, creating and deleting USFrames and views, and the per-USFrame
 * display settings (media, foreground and background, the colour filter).
 *
 * Decisions:
 *  - Deleting a USFrame deletes its views first (as removing them one by
 *    one would). Leaving them in the view table kept their frames alive for
 *    good and handed them to the next USFrame made in the same slot.
 *  - Each USFrame owns its colour list: a duplicate gets its own copy (two
 *    records releasing one block would free it twice), and closing the
 *    tables releases every list.
 */
#include "usframes.h"

#include "../../base/holder.h"
#include "../colour/colour_lists.h"
#include "../core/library_state.h"
#include "../core/tiles.h"

#include <string.h>

namespace quill {

ViewTables g_views;

namespace {

constexpr uint32_t kUSFrameFree = 0xFFFFFFFFu; // base frame -1
constexpr uint32_t kViewFree = 0;              // owner 0

QI_USFrameRecord default_record(int32_t frame) {
    QI_USFrameRecord r;
    memset(&r, 0, sizeof r);
    r.baseFrame = frame;
    r.foreground = -1;
    r.background = -1;
    r.media = QI_STORAGE_SWAP;
    r.displayMode = 4;
    return r;
}

bool frame_in_use_elsewhere(int32_t frame, const QI_USFrameRecord *owner) {
    return views_using_frame(frame) > 0 || (owner && owner->baseFrame == frame);
}

} // namespace

QI_USFrameRecord *usframe_lookup(int32_t usframe) {
    if (!g_views.usframes || usframe <= 0)
        return nullptr;
    return static_cast<QI_USFrameRecord *>(slot_table_lookup(g_views.usframes, usframe));
}

ViewRecord *view_at(int32_t index) {
    if (!g_views.views || index < 0)
        return nullptr;
    return static_cast<ViewRecord *>(slot_table_lookup(g_views.views, index));
}

int32_t view_find(int32_t usframe, int32_t viewId) {
    if (!g_views.views || usframe == 0)
        return -1;
    for (int32_t i = slot_table_highest(g_views.views); i >= 0; --i) {
        const ViewRecord *v = view_at(i);
        if (v && v->usframe == usframe && (viewId == -1 || v->viewId == viewId))
            return i;
    }
    return -1;
}

int32_t views_using_frame(int32_t frame) {
    int32_t count = 0;
    if (!g_views.views)
        return 0;
    for (int32_t i = slot_table_highest(g_views.views); i >= 0; --i) {
        const ViewRecord *v = view_at(i);
        count += v && v->frame == frame;
    }
    return count;
}

void view_remove(int32_t index) {
    ViewRecord *v = view_at(index);
    if (!v)
        return;
    int32_t frame = v->frame;
    const QI_USFrameRecord *owner = usframe_lookup(v->usframe);
    slot_table_release(g_views.views, index);
    if (frame >= 0 && !frame_in_use_elsewhere(frame, owner))
        QI_FrameDelete(frame);
}

int32_t usframe_create_record(int32_t frame) {
    if (!g_views.usframes)
        return 0;
    if (frame >= 0 && !QI_FrameViewOptimize(frame, 1))
        return 0;
    QI_USFrameRecord record = default_record(frame);
    int32_t handle = slot_table_acquire(g_views.usframes);
    if (handle <= 0) {
        if (handle == 0)
            slot_table_release(g_views.usframes, 0);
        return 0;
    }
    slot_table_store(g_views.usframes, handle, &record);
    return handle;
}

void usframe_delete_views(int32_t usframe) {
    for (int32_t index = view_find(usframe, -1); index >= 0; index = view_find(usframe, -1))
        view_remove(index);
}

bool usframe_delete(int32_t usframe) {
    QI_USFrameRecord *u = usframe_lookup(usframe);
    if (!u)
        return false;
    usframe_delete_views(usframe);
    u = usframe_lookup(usframe);
    int32_t base = u->baseFrame;
    heap_release(u->colours);
    u->colourCount = 0;
    slot_table_release(g_views.usframes, usframe);
    if (base >= 0)
        QI_FrameDelete(base);
    return true;
}

} // namespace quill

using namespace quill;

extern "C" QI_API int QI_USFramesInit(void) {
    if (g_views.usframes || g_views.views)
        return 0;
    g_views.views = slot_table_create(sizeof(ViewRecord), kViewFree);
    if (!g_views.views)
        return 0;
    g_views.usframes = slot_table_create(sizeof(QI_USFrameRecord), kUSFrameFree);
    QI_USFrameRecord placeholder = default_record(kPlaceholderFrame);
    if (!g_views.usframes || slot_table_acquire(g_views.usframes) != 0) {
        slot_table_destroy(g_views.usframes);
        slot_table_destroy(g_views.views);
        return 0;
    }
    slot_table_store(g_views.usframes, 0, &placeholder);
    return 1;
}

extern "C" QI_API void QI_USFramesClose(void) {
    if (!g_views.usframes || !g_views.views)
        return;
    for (int32_t i = slot_table_highest(g_views.views); i >= 0; --i)
        if (view_at(i))
            usframe_delete_views(view_at(i)->usframe);
    slot_table_destroy(g_views.views);
    for (int32_t h = slot_table_highest(g_views.usframes); h >= 1; --h)
        if (QI_USFrameRecord *u = usframe_lookup(h)) {
            if (u->baseFrame >= 0)
                QI_FrameDelete(u->baseFrame);
            heap_release(u->colours);
        }
    slot_table_destroy(g_views.usframes);
}

extern "C" QI_API QI_USFrameRecord *QI_USFrameGetData(int usframe) { return usframe_lookup(usframe); }

extern "C" QI_API int QI_USFrameDelete(int usframe) { return usframe_delete(usframe) ? 1 : 0; }

extern "C" QI_API void QI_USFrameDeleteExt(int usframe, int viewId) {
    if (!usframe_lookup(usframe))
        return;
    int32_t index = view_find(usframe, viewId);
    if (index >= 0)
        view_remove(index);
    if (view_find(usframe, -1) < 0)
        usframe_delete(usframe);
}

extern "C" QI_API void QI_USFrameDeleteViewExt(int usframe) {
    if (usframe != 0)
        usframe_delete_views(usframe);
}

extern "C" QI_API int QI_USFrameGetBaseViewInx(int usframe, int viewId, int *baseFrame, int *viewFrame,
                                               double *placement) {
    const QI_USFrameRecord *u = usframe_lookup(usframe);
    const ViewRecord *v = view_at(view_find(usframe, viewId));
    if (!u || !v)
        return 0;
    if (baseFrame)
        *baseFrame = u->baseFrame;
    if (viewFrame)
        *viewFrame = v->frame;
    if (placement) {
        memcpy(placement, v->placement, 8 * sizeof(double));
        negate_placement_y(placement);
    }
    return 1;
}

extern "C" QI_API QI_USFrameRecord *QI_USFrameSetMedia(int usframe, int32_t media) {
    QI_USFrameRecord *u = usframe_lookup(usframe);
    if (u)
        u->media = media;
    return u;
}

namespace {

bool base_is_bilevel(const QI_USFrameRecord &u) {
    const QI_FrameRecord *base = frame_lookup(u.baseFrame);
    return base && base->kind == QI_KIND_BILEVEL;
}

bool colour_unset(int32_t c) { return c == -1 || c == -2; }

} // namespace

extern "C" QI_API int QI_USFrameSetFrgBkg(int usframe, int32_t foreground, int32_t background) {
    QI_USFrameRecord *u = usframe_lookup(usframe);
    if (!u || !base_is_bilevel(*u))
        return 0;
    u->foreground = foreground;
    u->background = background;
    return 1;
}

extern "C" QI_API int QI_USFrameInvertFrgBkg(int usframe) {
    QI_USFrameRecord *u = usframe_lookup(usframe);
    if (!u || !frame_lookup(u->baseFrame))
        return 0;
    if (!base_is_bilevel(*u))
        return 1;
    if (colour_unset(u->foreground) && colour_unset(u->background)) {
        u->foreground = QI_COLOR_BLACK;
        u->background = QI_COLOR_WHITE;
    } else {
        int32_t t = u->foreground;
        u->foreground = u->background;
        u->background = t;
    }
    return 1;
}

namespace {

// Grows the list to hold `extra` more entries after its count.
bool reserve_colours(QI_USFrameRecord &u, int32_t extra) {
    int64_t total = static_cast<int64_t>(u.colourCount) + extra;
    if (total <= 0)
        return true;
    if (total * 4 > INT32_MAX)
        return false;
    void *p = u.colours;
    if (!qs_realloc(&p, static_cast<uint32_t>(total * 4)))
        return false;
    u.colours = static_cast<int32_t *>(p);
    return true;
}

void shrink_colours(QI_USFrameRecord &u) {
    if (u.colourCount == 0) {
        heap_release(u.colours);
        return;
    }
    void *p = u.colours;
    if (qs_realloc(&p, static_cast<uint32_t>(u.colourCount) * 4)) // shrinking keeps the block on failure
        u.colours = static_cast<int32_t *>(p);
}

bool add_colours(QI_USFrameRecord &u, const int32_t *colours, int32_t count) {
    if (!reserve_colours(u, count))
        return false;
    memcpy(u.colours + u.colourCount, colours, static_cast<size_t>(count) * 4);
    u.colourCount = colour_list_unique(u.colours, u.colourCount + count);
    shrink_colours(u);
    return true;
}

// The given colours, made unique, are appended; making the whole list
// unique keeps the last occurrence of each, so they all end up at the tail
// and cutting the count by their number removes them.
bool remove_colours(QI_USFrameRecord &u, const int32_t *colours, int32_t count) {
    HeapBlock<int32_t> given(static_cast<size_t>(count));
    if (!given)
        return false;
    memcpy(given.get(), colours, static_cast<size_t>(count) * 4);
    int32_t m = colour_list_unique(given.get(), count);
    if (!reserve_colours(u, m))
        return false;
    memcpy(u.colours + u.colourCount, given.get(), static_cast<size_t>(m) * 4);
    int32_t unique = colour_list_unique(u.colours, u.colourCount + m);
    u.colourCount = unique - m;
    shrink_colours(u);
    return true;
}

} // namespace

extern "C" QI_API int QI_USFrameSetVis(int usframe, const int32_t *colours, int32_t count, int op) {
    QI_USFrameRecord *u = usframe_lookup(usframe);
    if (!u)
        return 0;
    if (op < 0 || op > 5)
        return 1;
    if (op >= 3) {
        u->displayMode = static_cast<uint8_t>(op);
        return 1;
    }
    if (op == 0) {
        heap_release(u->colours);
        u->colourCount = 0;
        return 1;
    }
    if (!colours || count <= 0)
        return 1; // nothing to add or remove
    return (op == 1 ? add_colours(*u, colours, count) : remove_colours(*u, colours, count)) ? 1 : 0;
}
