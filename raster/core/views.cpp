/*
 * views.cpp - the reduced views of a frame (1/2, 1/4, 1/8), chained from
 * the base through the next-view field, and their upkeep.
 *
 * View pixel (x, y) of the 1/f view is base pixel (f x, f y): every second
 * pixel of every second line of the level above, which is the same pixel.
 * Each level is collected in a 128-line buffer that is written into its
 * view (QI_FrameSetRect's engine) whenever it is full.
 *
 * Bilevel frames are sampled from their coded tiles a tile row at a time
 * and their views' tiles coded a band at a time, without these buffers
 * (bilevel_views.cpp). Before that, the tile rows were sampled into the
 * buffers and written through the rect engine; before that again, the
 * base was read in 128-line bands through the rect engine and every level
 * halved from the one above through two byte tables, which decoded every
 * tile into a full-width band (copying 1.6 MB per band row) and looked at
 * every byte of it: 87 to 94 ms on the standard drawing against 50 to 60 ms
 * sampling tile rows, in the same minutes of the shared machine.
 *
 * Grey and colour frames keep the band pass: one pass over the base in
 * bands of 128 lines, each level sampled from the level above it.
 * Updating a changed area re-samples it with the stretch, which folds thin
 * bilevel lines in.
 */
#include "../../base/holder.h"
#include "../../base/raster_line.h"
#include "frame_lock.h"
#include "frame_rect.h"
#include "progress.h"
#include "scaled_read.h"
#include "bilevel_views.h"
#include "tiles.h"

#include <string.h>

namespace quill {

namespace {
constexpr int32_t kLevels = 3;
constexpr int32_t kBand = 128;
constexpr int32_t kMinimumSide = 129;

// Halves one grey or colour line: every second pixel. (Bilevel frames take
// bilevel_views.cpp.)
void halve_line(const uint8_t *source, int32_t width, int32_t kind, uint8_t *out) {
    int32_t half = (width + 1) / 2;
    int32_t size = kind == 4 ? 3 : 1;
    for (int32_t x = 0; x < half; ++x)
        memcpy(out + x * size, source + 2 * x * size, static_cast<size_t>(size));
}

struct Level {
    int32_t frame;
    int32_t width, height;
    uint32_t line;
    uint8_t *lines; // kBand lines
    int32_t filled; // lines in the buffer
    int32_t top;    // view line of the buffer's first line
};

void clear_lines(Level &level) {
    memset(level.lines, 0, static_cast<size_t>(level.line) * kBand);
    level.filled = 0;
}

bool flush(Level &level, int32_t kind) {
    if (level.filled == 0)
        return true;
    QI_Rect rect{0, level.top, level.width - 1, level.top + level.filled - 1};
    bool ok = frame_set_rect(level.frame, rect, level.lines, kind, -1, -1);
    level.top += level.filled;
    clear_lines(level);
    return ok;
}

// Reduces `count` lines of `source` (width w) into the level, every second
// line; the halved lines, left in the level's buffer, feed the next level.
// A buffer is flushed only at the end of a band, when it is full: a band of
// 128 lines gives a level at most 64 lines, and the fill of a level before a
// band is a multiple of what one band gives it, so it never overflows.
bool reduce_into(Level &level, const uint8_t *source, uint32_t sourceLine, int32_t width, int32_t count,
                 int32_t kind, const uint8_t *&reduced, int32_t &reducedCount) {
    reduced = level.lines + static_cast<size_t>(level.filled) * level.line;
    reducedCount = 0;
    for (int32_t y = 0; y < count; y += 2) {
        if (level.filled == kBand)
            return false;
        halve_line(source + static_cast<size_t>(y) * sourceLine, width, kind,
                   level.lines + static_cast<size_t>(level.filled) * level.line);
        ++level.filled;
        ++reducedCount;
    }
    return true;
}

// `buffers`: the levels' 128-line buffers, which bilevel frames do without.
bool create_views(int32_t base, Level levels[kLevels], bool buffers) {
    const QI_FrameRecord *f = frame_lookup(base);
    int32_t width = f->width, height = f->height, kind = f->kind, storage = f->storage, mode = f->mode;
    const uint8_t *palette = frame_loaded_palette(*f);
    for (int32_t i = 0; i < kLevels; ++i) {
        int32_t factor = 2 << i;
        levels[i].width = (width + factor - 1) / factor;
        levels[i].height = (height + factor - 1) / factor;
        levels[i].frame = QI_FrameCreate(levels[i].width, levels[i].height, kind, storage, palette, mode);
        if (levels[i].frame < 0 || QI_FrameLock(levels[i].frame) != 1)
            return false;
        levels[i].line = raster_line_bytes(kind, levels[i].width);
        levels[i].top = 0;
        if (!buffers)
            continue;
        levels[i].lines = static_cast<uint8_t *>(qs_malloc(levels[i].line * kBand));
        if (!levels[i].lines)
            return false;
        clear_lines(levels[i]);
    }
    return true;
}

// One pass over the base, band by band.
bool fill_views(int32_t base, Level levels[kLevels]) {
    const QI_FrameRecord *f = frame_lookup(base);
    int32_t width = f->width, height = f->height, kind = f->kind;
    uint32_t line = raster_line_bytes(kind, width);
    HeapBlock<uint8_t> band(static_cast<size_t>(line) * kBand);
    if (!band)
        return false;
    for (int32_t top = 0; top < height; top += kBand) {
        int32_t count = height - top < kBand ? height - top : kBand;
        QI_Rect rect{0, top, width - 1, top + count - 1};
        if (!frame_get_rect(base, rect, band.get()))
            return false;
        progress_report(static_cast<intptr_t>(98 * static_cast<int64_t>(top) / height + 1));
        const uint8_t *source = band.get();
        uint32_t sourceLine = line;
        int32_t sourceWidth = width, sourceCount = count;
        for (int32_t i = 0; i < kLevels; ++i) {
            const uint8_t *reduced;
            int32_t reducedCount;
            if (!reduce_into(levels[i], source, sourceLine, sourceWidth, sourceCount, kind, reduced, reducedCount))
                return false;
            source = reduced;
            sourceLine = levels[i].line;
            sourceWidth = levels[i].width;
            sourceCount = reducedCount;
        }
        for (int32_t i = 0; i < kLevels; ++i)
            if (levels[i].filled == kBand && !flush(levels[i], kind))
                return false;
    }
    for (int32_t i = 0; i < kLevels; ++i)
        if (!flush(levels[i], kind))
            return false;
    return true;
}

bool build_views(int32_t base) {
    Level levels[kLevels];
    for (Level &level : levels)
        level = Level{-1, 0, 0, 0, nullptr, 0, 0};
    const bool bilevel = frame_lookup(base)->kind == 1;
    bool ok = create_views(base, levels, !bilevel);
    if (ok && bilevel) {
        const int32_t views[kLevels] = {levels[0].frame, levels[1].frame, levels[2].frame};
        ok = fill_bilevel_views(base, views);
    } else if (ok) {
        ok = fill_views(base, levels);
    }
    for (Level &level : levels) {
        heap_release(level.lines);
        if (level.frame >= 0)
            QI_FrameUnlock(level.frame);
    }
    if (ok) {
        static const uint8_t kFactors[kLevels + 1] = {2, 4, 8, 1};
        QI_FrameRecord *f = frame_lookup(base);
        f->nextView = levels[0].frame;
        f->nextViewFactor = kFactors[0];
        for (int32_t i = 0; i < kLevels; ++i) {
            QI_FrameRecord *view = frame_lookup(levels[i].frame);
            view->nextView = i + 1 < kLevels ? levels[i + 1].frame : -1;
            view->nextViewFactor = kFactors[i + 1];
        }
        return true;
    }
    for (Level &level : levels)
        if (level.frame >= 0)
            QI_FrameDelete(level.frame);
    return false;
}

void remove_views(int32_t frame) {
    QI_FrameRecord *f = frame_lookup(frame);
    int32_t next = f->nextView;
    f->nextView = -1;
    f->nextViewFactor = 1;
    if (next != -1)
        QI_FrameDelete(next);
}
} // namespace

} // namespace quill

using namespace quill;

namespace {
// Builds the views of an existing frame unless it has them or is too small
// for them, under the "optimize" announcement.
bool optimize_views(int32_t frame) {
    const QI_FrameRecord *f = frame_lookup(frame);
    if (f->nextView != -1 || f->width < kMinimumSide || f->height < kMinimumSide)
        return true;
    // The views are built whatever the progress callback answers.
    progress_begin(kMsgOptimize);
    bool ok = false;
    {
        ScopedFrameLock lock(frame);
        ok = lock.ok() && build_views(frame);
    }
    progress_report(100);
    return ok;
}
} // namespace

extern "C" QI_API int QI_FrameViewOptimize(int frame, int on) {
    if (!frame_lookup(frame))
        return 0;
    if (!on) {
        remove_views(frame);
        return 1;
    }
    return optimize_views(frame) ? 1 : 0;
}

extern "C" QI_API int QI_FrameViewUpdate(int frame, const QI_Rect *rect) {
    QI_FrameRecord *f = frame_lookup(frame);
    if (!f)
        return 0;
    if (f->nextView == -1)
        return 1;
    if (!rect) {
        remove_views(frame);
        return optimize_views(frame) ? 1 : 0;
    }
    if (rect->left >= rect->right || rect->top >= rect->bottom)
        return 1;
    // Writing into the views must not recurse into them: unhook the chain
    // from the base for the length of the update.
    int32_t chain = f->nextView;
    int32_t factor = f->nextViewFactor;
    f->nextView = -1;
    bool ok = true;
    for (int32_t view = chain; ok && view != -1;) {
        int32_t x0 = rect->left - rect->left % factor, y0 = rect->top - rect->top % factor;
        int32_t width = (rect->right - x0 + 1 + factor - 1) / factor * factor;
        int32_t height = (rect->bottom - y0 + 1 + factor - 1) / factor * factor;
        ok = frame_stretch(FrameStretch{view, x0 / factor, y0 / factor, width / factor, height / factor, frame, x0,
                                        y0, width, height, -1, -1, false, (factor - 1) / 2.0});
        const QI_FrameRecord *v = frame_lookup(view);
        if (!v)
            break;
        factor = v->nextViewFactor;
        view = v->nextView;
    }
    frame_lookup(frame)->nextView = chain;
    return ok ? 1 : 0;
}
