/*
 * views.cpp - the reduced views of a frame (1/2, 1/4, 1/8), chained from
 * the base through the next-view field, and their upkeep.
 *
 * View pixel (x, y) of the 1/f view is base pixel (f x, f y): every second
 * pixel of every second line of the level above, which is the same pixel.
 * Each level is collected in a 128-line buffer that is written into its
 * view (QI_FrameSetRect's engine) whenever it is full.
 *
 * Bilevel frames are sampled from their coded tiles, a tile row at a time
 * (no full-width band): a blank tile (no record) is skipped without
 * decoding (the buffers start white); any other is decoded row by row
 * (bilevel_tile_rows) and every second row of it is handed over as two
 * 64-bit words, never drawn into a tile: the T.6 rows between are decoded
 * only, and a row repeating the one before costs nothing more. The 1/2 row
 * is the even pixels of those words (a mask and five shift-or steps per
 * word gather them), the 1/4 and 1/8 rows the even pixels of the row above
 * them, kept while rows repeat, and stored at the tile's place in each
 * buffer (a tile is 64, 32 or 16 view pixels across there: whole bytes);
 * white rows are not stored at all.
 * This replaced reading the base in 128-line bands through the rect engine
 * and halving every level from the one above through two byte tables: that
 * decoded every tile into a full-width band (copying 1.6 MB per band row)
 * and looked at every byte of it. Between the two, sampling tiles decoded
 * through the tile walk (drawing all 128 rows, then reading back the even
 * ones) was tried: it spent 12% of the build drawing and re-reading rows.
 * On the standard drawing (13244 x 9356, 7696 tiles, 55% of them blank)
 * the build took 87 to 94 ms the old way and 50 to 60 ms this way in the
 * same minutes of the shared machine (74 ms the old way when it was
 * quiet); in instructions (callgrind) decoding the base is 55% of it,
 * coding the views' tiles 28%, sampling 8%.
 *
 * Grey and colour frames keep the band pass: one pass over the base in
 * bands of 128 lines, each level sampled from the level above it.
 * Updating a changed area re-samples it with the stretch, which folds thin
 * bilevel lines in.
 */
#include "../../base/holder.h"
#include "../../base/raster_line.h"
#include "bit_tables.h"
#include "frame_lock.h"
#include "frame_rect.h"
#include "progress.h"
#include "scaled_read.h"
#include "tiles.h"
#include "tile_codec.h"

#include <string.h>

namespace quill {

namespace {
constexpr int32_t kLevels = 3;
constexpr int32_t kBand = 128;
constexpr int32_t kMinimumSide = 129;

// Halves one line: every second pixel.
void halve_line(const uint8_t *source, int32_t width, int32_t kind, uint8_t *out) {
    int32_t half = (width + 1) / 2;
    if (kind == 1) {
        uint32_t sourceBytes = (static_cast<uint32_t>(width) + 7) / 8;
        uint32_t outBytes = (static_cast<uint32_t>(half) + 7) / 8;
        for (uint32_t i = 0; i < outBytes; ++i) {
            uint32_t a = 2 * i, b = 2 * i + 1;
            uint8_t first = a < sourceBytes ? source[a] : 0xFF;
            uint8_t second = b < sourceBytes ? source[b] : 0xFF;
            if ((first & second) == 0xFF)
                continue; // a white word: the buffer is white already
            out[i] = static_cast<uint8_t>(kEvenBitsHigh.value[first] | kEvenBitsLow.value[second]);
        }
        return;
    }
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

void clear_lines(Level &level, int32_t kind) {
    memset(level.lines, kind == 1 ? 0xFF : 0, static_cast<size_t>(level.line) * kBand);
    level.filled = 0;
}

bool flush(Level &level, int32_t kind) {
    if (level.filled == 0)
        return true;
    QI_Rect rect{0, level.top, level.width - 1, level.top + level.filled - 1};
    bool ok = frame_set_rect(level.frame, rect, level.lines, kind, -1, -1);
    level.top += level.filled;
    clear_lines(level, kind);
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

bool create_views(int32_t base, Level levels[kLevels]) {
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
        levels[i].lines = static_cast<uint8_t *>(qs_malloc(levels[i].line * kBand));
        if (!levels[i].lines)
            return false;
        clear_lines(levels[i], kind);
        levels[i].top = 0;
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

// The even pixels of a row of 64 (pixel 0 in bit 63), as 32 pixels in the
// high half: a bit pattern compress, each step halving the gaps.
inline uint64_t even_pixels(uint64_t pixels) {
    uint64_t x = (pixels >> 1) & 0x5555555555555555ull;
    x = (x | (x >> 1)) & 0x3333333333333333ull;
    x = (x | (x >> 2)) & 0x0F0F0F0F0F0F0F0Full;
    x = (x | (x >> 4)) & 0x00FF00FF00FF00FFull;
    x = (x | (x >> 8)) & 0x0000FFFF0000FFFFull;
    x = (x | (x >> 16)) & 0x00000000FFFFFFFFull;
    return x << 32;
}

// Stores `pixels` sampled pixels (pixel 0 in bit 63; 1 to 64) at view pixel
// `x` (a multiple of 8) of a level line, the bits after them white.
// The whole tile's 8, 4 or 2 bytes are stored with copies of constant size
// (a call to memcpy per row took 4% of the build).
inline void store_sampled(uint8_t *line, int32_t x, uint64_t sampled, int32_t pixels) {
    if (pixels < 64)
        sampled |= ~0ull >> pixels;
    const uint64_t bytes = __builtin_bswap64(sampled);
    uint8_t *to = line + x / 8;
    switch (pixels) {
    case 64:
        memcpy(to, &bytes, 8);
        break;
    case 32:
        memcpy(to, &bytes, 4);
        break;
    case 16:
        memcpy(to, &bytes, 2);
        break;
    default:
        memcpy(to, &bytes, static_cast<size_t>((pixels + 7) / 8));
        break;
    }
}

// What the row sink needs of the tile being sampled: where its samples go,
// and the samples of the last row seen (rows of a tile repeat often).
struct TileSampler {
    Level *levels;
    int32_t left, width; // the tile's first column and width in the base
    uint64_t lastHigh, lastLow;
    uint64_t samples[kLevels]; // of the last row, the first `sampled` levels
    int32_t sampled;
};

// The row sink of bilevel_tile_rows (every second row of the tile): stores
// the row's samples into each level whose factor divides y (the tile's top
// is a multiple of 128, so the row's base y has the same remainders).
void sample_row(void *context, uint32_t y, uint64_t high, uint64_t low) {
    TileSampler &t = *static_cast<TileSampler *>(context);
    if ((high & low) == ~0ull)
        return; // a white row: the buffers are white already
    if (high != t.lastHigh || low != t.lastLow) {
        t.lastHigh = high;
        t.lastLow = low;
        t.sampled = 0;
    }
    // Level i (factor 2 << i) takes the rows whose y is a multiple of its
    // factor; its samples are made from the level above, once per row seen.
    for (int32_t i = 0; i < kLevels && (y & ((2u << i) - 1)) == 0; ++i) {
        if (i == t.sampled) {
            t.samples[i] = i == 0 ? even_pixels(high) | (even_pixels(low) >> 32) : even_pixels(t.samples[i - 1]);
            ++t.sampled;
        }
        const int32_t shift = i + 1;
        Level &level = t.levels[i];
        uint8_t *line = level.lines + static_cast<size_t>(level.filled + static_cast<int32_t>(y >> shift)) * level.line;
        store_sampled(line, t.left >> shift, t.samples[i], (t.width + (1 << shift) - 1) >> shift);
    }
}

// fill_views for bilevel frames, from the coded tiles a tile row at a time.
// A tile row gives each level 128 / f lines (fewer at the bottom), so a
// buffer of 128 lines fills exactly and is flushed when full.
bool fill_bilevel_views(int32_t base, Level levels[kLevels]) {
    const QI_FrameRecord *f = frame_lookup(base);
    const int32_t width = f->width, height = f->height, columns = tile_columns(*f);
    for (int32_t top = 0; top < height; top += kTileSide) {
        const int32_t count = height - top < kTileSide ? height - top : kTileSide;
        for (int32_t tx = 0; tx < columns; ++tx) {
            const int32_t index = top / kTileSide * columns + tx;
            if (tile_is_blank(base, index))
                continue;
            const int32_t left = tx * kTileSide;
            TileSampler sampler{levels, left, width - left < kTileSide ? width - left : kTileSide, ~0ull, ~0ull, {}, 0};
            if (!bilevel_tile_rows(base, index, 2, sample_row, &sampler))
                return false;
        }
        progress_report(static_cast<intptr_t>(98 * static_cast<int64_t>(top) / height + 1));
        for (int32_t i = 0; i < kLevels; ++i) {
            const int32_t factor = 2 << i;
            levels[i].filled += (count + factor - 1) / factor;
            if (levels[i].filled == kBand && !flush(levels[i], 1))
                return false;
        }
    }
    for (int32_t i = 0; i < kLevels; ++i)
        if (!flush(levels[i], 1))
            return false;
    return true;
}

bool build_views(int32_t base) {
    Level levels[kLevels];
    for (Level &level : levels)
        level = Level{-1, 0, 0, 0, nullptr, 0, 0};
    const bool bilevel = frame_lookup(base)->kind == 1;
    bool ok = create_views(base, levels) && (bilevel ? fill_bilevel_views(base, levels) : fill_views(base, levels));
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
