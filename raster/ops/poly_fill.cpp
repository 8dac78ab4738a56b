/*
 * poly_fill.cpp - polygon fills into bilevel buffers and frames, and run
 * matrices painted into bilevel buffers: QI_DmriFillRunMatxI_BW,
 * QI_DmriFillPoly_BW and QI_FrameFillPoly.
 *
 * Every fill checks its polygons whole first (run_matrix.cpp: nothing is
 * painted when the set fails), then sweeps them from the top a band of 128
 * matrix rows at a time and paints the runs: a run clears its pixels in the
 * row directly, whole bytes at a time, so rows of any width up to the
 * matrix limit (131072) paint the same pixels; the old way through a 16-bit
 * black-run row would have cut rows wider than 65535. The band holds 128
 * rows of the widest row's runs, whatever the set's height: a hatch of 500
 * strokes across the standard page needed a 37 MB matrix at once, and the
 * page faults of writing it cost as much as the crossings themselves (the
 * band takes the frame fill from 2.0 to 1.2 times the codec's floor).
 *
 * The frame fill walks the tiles of the polygons' box clipped to the frame.
 * It keeps one run cursor per row of the current tile row: the tiles of a
 * tile row are visited left to right and the runs of a row ascend, so each
 * run is looked at about once per tile it crosses, whatever the number of
 * tile columns. A tile whose part holds no run is not decoded at all when
 * only the inside is painted; every other part is painted into a bilevel
 * scratch (white, runs black) and written through the pixel-copy engine with
 * two colours, one keeping the frame's pixels.
 *
 * Decisions:
 *  - With `outside` set and polygons wholly outside the frame, everything of
 *    the frame lies outside them: the whole frame takes the colour and the
 *    result is 1 (reporting failure for a fill that has a meaning would
 *    leave the host's picture unpainted).
 *  - A colour of -1 (no colour) paints nothing; the fill still converts and
 *    reports as usual. Written as a two-colour copy it would paint the
 *    pixels that should keep their colour.
 *  - A host's run matrix is read row by row as its counts say; a negative
 *    count is taken as 0 (no runs) and runs whose end is not after their
 *    start paint nothing.
 */
#include "run_matrix.h"
#include "../../base/raster_line.h"

#include "../core/frame_lock.h"
#include "../core/pixel_copy.h"
#include "../core/progress.h"
#include "../core/tile_walk.h"
#include "../core/rect_utils.h"
#include "../core/tiles.h"
#include "draw.h"

#include <string.h>

namespace quill {

namespace {

int64_t rect_width(const QI_Rect &r) { return static_cast<int64_t>(r.right) - r.left + 1; }

// Paints `runs` (covering `runsRect`) into a bilevel buffer that holds
// `pixelsRect` of the matrix space.
void paint_matrix(const int32_t *runs, const QI_Rect &runsRect, uint8_t *pixels, const QI_Rect &pixelsRect) {
    QI_Rect both;
    if (!rect_intersect(runsRect, pixelsRect, &both))
        return;
    uint32_t line = raster_line_bytes(1, static_cast<int32_t>(rect_width(pixelsRect)));
    const int32_t *row = runs;
    for (int64_t y = runsRect.top; y <= both.bottom; ++y) {
        int32_t k = row[0] > 0 ? row[0] : 0;
        if (y >= both.top) {
            uint8_t *out = pixels + static_cast<size_t>(y - pixelsRect.top) * line;
            paint_row_runs(row + 1, k, 0, both.left, both.right, pixelsRect.left, out);
        }
        row += 1 + 2 * static_cast<size_t>(k);
    }
}

bool sane_rect(const QI_Rect *r) {
    return r && r->left <= r->right && r->top <= r->bottom && rect_width(*r) <= INT32_MAX &&
           static_cast<int64_t>(r->bottom) - r->top < INT32_MAX;
}

// A band of matrix rows: up to 128 rows of the sweep, with each row's offset.
class RunBand {
public:
    // Room for 128 rows of the widest row; false when memory runs out.
    bool allocate(const RunSweep &sweep) {
        // One word to spare: the growth rule grows a block that the next
        // rows would fill exactly, and a band must never grow.
        uint64_t words = static_cast<uint64_t>(kTileSide) * (static_cast<uint64_t>(sweep.widest()) + 1) + 1;
        if (words > UINT32_MAX / 4 || !m_.block.allocate(static_cast<size_t>(words)))
            return false;
        m_.capacity = static_cast<size_t>(words);
        return true;
    }
    // Rows first..last (at most 128, at or below the sweep's current row).
    bool load(RunSweep &sweep, int32_t first, int32_t last) {
        sweep.skip_to(first);
        m_.words = 0;
        m_.rect = QI_Rect{sweep.rect().left, first, sweep.rect().right, last};
        if (!sweep.write_rows(last, m_))
            return false;
        size_t at = 0;
        for (int32_t r = 0; r <= last - first; ++r) {
            rowAt_[r] = static_cast<uint32_t>(at);
            at += 1 + 2 * static_cast<size_t>(m_.block[at]);
        }
        return true;
    }
    const int32_t *runs_of(int32_t y, int32_t &k) const {
        const int32_t *row = m_.block.get() + rowAt_[y - m_.rect.top];
        k = row[0];
        return row + 1;
    }
    const RunMatrix &matrix() const { return m_; }

private:
    RunMatrix m_;
    uint32_t rowAt_[kTileSide];
};

// ---- The frame fill -------------------------------------------------------------

class PolygonTiles {
public:
    PolygonTiles(RunSweep &sweep, RunBand &band, int32_t frameKind, uint32_t colour, bool outside,
                 uint8_t *scratch, const QI_Rect &touched)
        : sweep_(sweep), band_(band), copier_(1, frameKind, outside ? static_cast<int32_t>(colour) : -1,
                                              outside ? -1 : static_cast<int32_t>(colour)),
          outside_(outside), white_((colour & 0xFF) >= 128), scratch_(scratch) {
        tiles_ = (static_cast<int64_t>(touched.right / kTileSide) - touched.left / kTileSide + 1) *
                 (static_cast<int64_t>(touched.bottom / kTileSide) - touched.top / kTileSide + 1);
    }

    // Decides what a tile's part needs; at a new tile row, makes its band.
    TileAccess choose(const QI_Rect &part) {
        progress_notify(25 + 72 * done_++ / tiles_);
        if (part.top != bandTop_) {
            memset(cursor_, 0, sizeof cursor_);
            bandTop_ = part.top;
            bandOk_ = band_.load(sweep_, part.top, part.bottom);
        }
        if (!bandOk_)
            return TileAccess::Read; // the paint step reports the failure
        bool runs = false;
        for (int32_t y = part.top; y <= part.bottom && !runs; ++y) {
            int32_t k;
            const int32_t *r = band_.runs_of(y, k);
            int32_t &c = cursor_[y - bandTop_];
            while (c < k && r[2 * c + 1] <= part.left)
                ++c;
            runs = c < k && r[2 * c] <= part.right;
        }
        if (!runs && !outside_)
            return TileAccess::Skip;
        // Outside with no runs: every pixel of the part takes the colour.
        bool covers = part.left % kTileSide == 0 && part.top % kTileSide == 0 &&
                      part.right - part.left == kTileSide - 1 && part.bottom - part.top == kTileSide - 1;
        return !runs && covers ? TileAccess::Overwrite : TileAccess::Modify;
    }

    bool paint(const TilePart &part) {
        if (!bandOk_)
            return false;
        if (part.kind == 1 && !outside_) {
            // A bilevel frame takes the runs straight into the tile.
            for (int32_t y = 0; y < part.height; ++y) {
                int32_t k, row = part.rect.top + y;
                const int32_t *r = band_.runs_of(row, k);
                int32_t &c = cursor_[row - bandTop_];
                c = paint_row_runs(r, k, c, part.rect.left, part.rect.right, part.rect.left - part.x,
                                   part.row_at(y), white_);
            }
            return true;
        }
        uint32_t line = raster_line_bytes(1, part.width);
        memset(scratch_, 0xFF, static_cast<size_t>(line) * part.height);
        for (int32_t y = 0; y < part.height; ++y) {
            int32_t k, row = part.rect.top + y;
            const int32_t *r = band_.runs_of(row, k);
            int32_t &c = cursor_[row - bandTop_];
            c = paint_row_runs(r, k, c, part.rect.left, part.rect.right, part.rect.left,
                               scratch_ + static_cast<size_t>(y) * line);
        }
        copier_.block(scratch_, line, 0, part.row, part.stride, part.x, part.width, part.height);
        return true;
    }

private:
    RunSweep &sweep_;
    RunBand &band_;
    PixelCopier copier_;
    bool outside_;
    bool white_; // the colour on a bilevel frame
    uint8_t *scratch_;
    int64_t tiles_ = 1, done_ = 0;
    int32_t bandTop_ = -1;
    bool bandOk_ = false;
    int32_t cursor_[kTileSide];
};

// Paints the sweep's rows into the tiles that `touched` meets.
bool paint_tiles(int32_t frame, RunSweep &sweep, const QI_Rect &touched, uint32_t colour, bool outside) {
    HeapBlock<uint8_t> scratch(tile_bytes(1));
    RunBand band;
    if (!scratch || !band.allocate(sweep))
        return false;
    PolygonTiles tiles(sweep, band, frame_lookup(frame)->kind, colour, outside, scratch.get(), touched);
    return walk_tiles(
        frame, touched, [&](const QI_Rect &part) { return tiles.choose(part); },
        [&](const TilePart &part) { return tiles.paint(part); });
}

// Steps after the conversion's checks; the caller reports 100 whatever they
// give.
bool fill_frame(int32_t frame, RunSweep &sweep, uint32_t colour, bool outside, QI_Rect *touched) {
    progress_notify(25);
    const QI_FrameRecord *f = frame_lookup(frame);
    QI_Rect whole{0, 0, f->width - 1, f->height - 1}, clipped;
    const QI_Rect &box = sweep.rect();
    bool meets = box.bottom >= box.top && rect_intersect(box, whole, &clipped);
    if (touched)
        *touched = meets ? clipped : QI_Rect{0, 0, -1, -1};
    if (!meets)
        return outside && frame_draw_rect(frame, nullptr, colour, 1, false);
    if (colour == static_cast<uint32_t>(QI_COLOR_NONE))
        return true;
    ScopedFrameLock lock(frame);
    if (!lock.ok() || !paint_tiles(frame, sweep, clipped, colour, outside))
        return false;
    return !outside || frame_draw_rect(frame, &clipped, colour, 1, true);
}

// Paints the sweep's rows into a bilevel buffer that holds `whole` of the
// polygons' space, a band at a time.
bool fill_buffer_rect(RunSweep &sweep, uint8_t *pixels, const QI_Rect &whole) {
    QI_Rect rows;
    const QI_Rect &box = sweep.rect();
    if (box.bottom < box.top || !rect_intersect(box, whole, &rows))
        return true;
    RunBand band;
    if (!band.allocate(sweep))
        return false;
    for (int32_t top = rows.top; top <= rows.bottom; top += kTileSide) {
        int32_t bottom = rows.bottom - top < kTileSide ? rows.bottom : top + kTileSide - 1;
        if (!band.load(sweep, top, bottom))
            return false;
        paint_matrix(band.matrix().block.get(), band.matrix().rect, pixels, whole);
    }
    return true;
}

bool fill_buffer(RunSweep &sweep, uint8_t *pixels, int32_t width, int32_t height) {
    return fill_buffer_rect(sweep, pixels, QI_Rect{0, 0, width - 1, height - 1});
}

} // namespace

bool fill_polygons_into(const void *polygons, bool integerPoints, uint8_t *pixels, const QI_Rect &pixelsRect) {
    RunSweep sweep;
    return sweep.start(polygons, integerPoints) && fill_buffer_rect(sweep, pixels, pixelsRect);
}

} // namespace quill

using namespace quill;

extern "C" QI_API int QI_DmriFillRunMatxI_BW(uint8_t *pixels, const QI_Rect *pixelsRect, const int32_t *runs,
                                             const QI_Rect *runsRect) {
    if (!pixels || !runs || !sane_rect(pixelsRect) || !sane_rect(runsRect))
        return 0;
    paint_matrix(runs, *runsRect, pixels, *pixelsRect);
    return 1;
}

extern "C" QI_API int QI_DmriFillPoly_BW(uint8_t *pixels, int width, int height, const void *polygons) {
    if (!pixels || width < 1 || height < 1)
        return 0;
    RunSweep sweep;
    return sweep.start(polygons, true) && fill_buffer(sweep, pixels, width, height) ? 1 : 0;
}

FillResult quill::frame_fill_poly(int32_t frame, const void *polygons, bool integerPoints, uint32_t colour,
                                  bool outside, QI_Rect *touched) {
    progress_notify(0);
    progress_notify(progress_message(kMsgPolyFill));
    if (!frame_lookup(frame))
        return FillResult::Failed;
    RunSweep sweep;
    if (!sweep.start(polygons, integerPoints))
        return FillResult::Failed;
    QI_Rect box;
    bool ok = fill_frame(frame, sweep, colour, outside, &box);
    progress_notify(100);
    if (touched)
        *touched = box;
    if (ok)
        return FillResult::Done;
    return !outside && box.right < box.left ? FillResult::Missed : FillResult::Failed;
}

extern "C" QI_API int QI_FrameFillPoly(int frame, const void *polygons, int integerPoints, uint32_t colour,
                                       int outside, QI_Rect *touched) {
    return frame_fill_poly(frame, polygons, integerPoints != 0, colour, outside != 0, touched) == FillResult::Done
               ? 1
               : 0;
}
