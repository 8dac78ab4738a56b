/*
 * scaled_read.cpp - the scaled read, and the frame-to-frame stretch on it
 * (QI_FrameStretchBlt's engine; its shell is raster/ops/stretch.cpp).
 *
 * The scaled read maps destination pixel d of an axis to source index
 * floor(a + (d + 0.5) * (b - a) / n): the source pixel under the centre of
 * the destination pixel (nearest neighbour). The maps are monotone, so the
 * destination pixels served by one source tile form one run per axis; the
 * read visits each source tile once, row of tiles by row of tiles, and
 * copies through the maps with the pixel-copy engine.
 *
 * Reductions read from the deepest reduced view whose factor does not
 * exceed the scale; when that view matches the scale the read becomes a
 * straight copy. Bilevel reductions by 2 or more fold the rows and columns
 * that nearest neighbour would skip into the ones it picks: on a mostly
 * white tile with AND (thin black lines survive), on a mostly black tile
 * with OR (thin white gaps survive). The rows above the first picked row and
 * below the last fold into them; columns likewise at both ends (our choice
 * for the open last column: a line at a tile's right edge must survive too).
 *
 * Decisions of the stretch:
 *  - Whole-factor scaling: the factor per axis is source / destination in
 *    integer division. An enlargement would give the factor 0 and read
 *    nothing, leaving undefined pixels in the destination; it uses the real
 *    ratio instead (nearest-neighbour enlargement).
 *  - Destination pixels whose source lies outside the source frame keep the
 *    destination's pixels (the destination share is read first).
 */
#include "scaled_read.h"

#include "../../base/holder.h"
#include "../../base/raster_line.h"
#include "frame_lock.h"
#include "frame_rect.h"
#include "library_state.h"
#include "pixel_copy.h"
#include "progress.h"
#include "tile_walk.h"
#include "rect_utils.h"
#include "tiles.h"

#include <math.h>
#include <string.h>

namespace quill {

namespace {

constexpr double kOneToOne = 0.01;

// The right or bottom edge of a straight copy: an edge on a whole number
// ends at the pixel before it.
int32_t last_before(double edge) {
    return edge == floor(edge) ? static_cast<int32_t>(edge) - 1 : static_cast<int32_t>(edge);
}

// Source index of every destination index along an axis, -1 outside the
// source's [0, limit).
void build_axis(double a, double b, int32_t n, int32_t limit, int32_t *out) {
    double step = (b - a) / n;
    for (int32_t d = 0; d < n; ++d) {
        double p = floor(a + (d + 0.5) * step);
        out[d] = p >= 0 && p < limit ? static_cast<int32_t>(p) : -1;
    }
}

// The run [begin, end) of destination indices from `from` on whose source
// index lies in one tile; begin == n when no valid index is left.
void next_run(const int32_t *map, int32_t n, int32_t from, int32_t &begin, int32_t &end) {
    begin = from;
    while (begin < n && map[begin] < 0)
        ++begin;
    end = begin;
    if (begin == n)
        return;
    int32_t tile = map[begin] / kTileSide;
    while (end < n && map[end] >= 0 && map[end] / kTileSide == tile)
        ++end;
}

bool bit_is_white(const uint8_t *row, int32_t x) { return (row[x >> 3] >> (7 - (x & 7))) & 1; }

void set_bit(uint8_t *row, int32_t x, bool white) {
    uint8_t bit = static_cast<uint8_t>(0x80u >> (x & 7));
    row[x >> 3] = static_cast<uint8_t>(white ? row[x >> 3] | bit : row[x >> 3] & ~bit);
}

// True when a pixel in [lo, hi] of the row has the colour `white`.
bool range_has(const uint8_t *row, int32_t lo, int32_t hi, bool white) {
    for (int32_t x = lo; x <= hi;) {
        if ((x & 7) == 0 && x + 7 <= hi) {
            uint8_t byte = row[x >> 3];
            if (white ? byte != 0 : byte != 0xFF)
                return true;
            x += 8;
            continue;
        }
        if (bit_is_white(row, x) == white)
            return true;
        ++x;
    }
    return false;
}

// Distinct source indices (relative to the tile) picked by a run.
int32_t picked(const int32_t *map, int32_t begin, int32_t end, int32_t origin, int32_t *out) {
    int32_t count = 0;
    for (int32_t d = begin; d < end; ++d)
        if (count == 0 || out[count - 1] != map[d] - origin)
            out[count++] = map[d] - origin;
    return count;
}

// Folds the skipped rows and columns of a bilevel tile into the picked ones.
void fold_bilevel_tile(uint8_t *tile, int32_t width, int32_t height, const int32_t *rows, int32_t rowCount,
                       const int32_t *columns, int32_t columnCount) {
    uint32_t line = raster_line_bytes(1, width);
    uint32_t whole = static_cast<uint32_t>(width) / 8;
    int64_t black = 0, white = 0;
    for (int32_t y = 0; y < height; ++y)
        for (uint32_t i = 0; i < whole; ++i) {
            uint8_t byte = tile[y * line + i];
            black += byte == 0x00;
            white += byte == 0xFF;
        }
    bool mostlyWhite = 2 * black <= white;
    if (!mostlyWhite && black < 2 * white)
        return; // mixed: plain nearest neighbour
    for (int32_t k = 0; k < rowCount; ++k) {
        uint8_t *target = tile + static_cast<size_t>(rows[k]) * line;
        int32_t from = k == 0 ? 0 : rows[k];
        int32_t to = k == rowCount - 1 ? height - 1 : rows[k + 1] - 1;
        for (int32_t y = from; y <= to; ++y) {
            if (y == rows[k])
                continue;
            const uint8_t *other = tile + static_cast<size_t>(y) * line;
            for (uint32_t i = 0; i < line; ++i)
                target[i] = static_cast<uint8_t>(mostlyWhite ? target[i] & other[i] : target[i] | other[i]);
        }
        // The picked column turns to the minority colour when its span
        // holds any pixel of it.
        for (int32_t j = 0; j < columnCount; ++j) {
            int32_t lo = j == 0 ? 0 : columns[j];
            int32_t hi = j == columnCount - 1 ? width - 1 : columns[j + 1] - 1;
            bool minorityWhite = !mostlyWhite;
            set_bit(target, columns[j], range_has(target, lo, hi, minorityWhite) ? minorityWhite : !minorityWhite);
        }
    }
}

struct ReadPlan {
    int32_t frame;         // the frame or view read from
    double x0, y0, x1, y1; // region in its coordinates
    double scale;          // the larger source-per-destination scale
};

// Picks the deepest view whose factor does not exceed the scale.
ReadPlan choose_source(const ScaledRead &r, double scale) {
    ReadPlan plan{r.frame, r.x0, r.y0, r.x1, r.y1, scale};
    int32_t factor = 1;
    for (const QI_FrameRecord *f = frame_lookup(plan.frame); f && f->nextView != -1 && f->nextViewFactor <= scale;
         f = frame_lookup(plan.frame)) {
        factor = f->nextViewFactor;
        plan.frame = f->nextView;
    }
    plan.x0 /= factor;
    plan.y0 /= factor;
    plan.x1 /= factor;
    plan.y1 /= factor;
    return plan;
}

// Straight copy: buffer pixel (i, j) is source pixel (trunc(x0) + i, trunc(y0) + j).
bool read_one_to_one(const ScaledRead &r, int32_t frame, double x0, double y0, double x1, double y1,
                     bool skipBlank) {
    ScopedFrameLock lock(frame);
    if (!lock.ok())
        return false;
    const QI_FrameRecord *f = frame_lookup(frame);
    int32_t originX = static_cast<int32_t>(x0), originY = static_cast<int32_t>(y0);
    int32_t right = last_before(x1), bottom = last_before(y1);
    QI_Rect want{originX, originY, right, bottom};
    QI_Rect limit{0, 0, f->width - 1, f->height - 1}, buffer{originX, originY, originX + r.width - 1,
                                                               originY + r.height - 1};
    QI_Rect region;
    if (!rect_intersect(want, limit, &region) || !rect_intersect(region, buffer, &region))
        return true;
    PixelCopier copier(f->kind, r.kind, r.colourA, r.colourB);
    uint32_t bufferLine = raster_line_bytes(r.kind, r.width);
    TileAccess access = skipBlank ? TileAccess::ReadCoded : TileAccess::Read;
    return walk_tiles(frame, region, access, [&](const TilePart &part) {
        copier.block(part.row, part.stride, part.x,
                     r.buffer + static_cast<size_t>(part.rect.top - originY) * bufferLine, bufferLine,
                     part.rect.left - originX, part.width, part.height);
        return true;
    });
}

// Nearest-neighbour read through per-axis maps.
bool read_sampled(const ScaledRead &r, const ReadPlan &plan, bool skipBlank, bool fold) {
    ScopedFrameLock lock(plan.frame);
    if (!lock.ok())
        return false;
    const QI_FrameRecord *f = frame_lookup(plan.frame);
    HeapBlock<int32_t> maps(2 * static_cast<size_t>(r.width) + static_cast<size_t>(r.height));
    if (!maps)
        return false;
    int32_t *columnOf = maps.get(), *relative = columnOf + r.width, *rowOf = relative + r.width;
    build_axis(plan.x0, plan.x1, r.width, f->width, columnOf);
    build_axis(plan.y0, plan.y1, r.height, f->height, rowOf);
    for (int32_t d = 0; d < r.width; ++d)
        relative[d] = columnOf[d] % kTileSide;
    PixelCopier copier(f->kind, r.kind, r.colourA, r.colourB);
    uint32_t bufferLine = raster_line_bytes(r.kind, r.width);
    int32_t columns = tile_columns(*f);
    int32_t pickedRows[kTileSide], pickedColumns[kTileSide];
    int32_t rowBegin, rowEnd;
    for (next_run(rowOf, r.height, 0, rowBegin, rowEnd); rowBegin < r.height;
         next_run(rowOf, r.height, rowEnd, rowBegin, rowEnd)) {
        int32_t ty = rowOf[rowBegin] / kTileSide;
        int32_t columnBegin, columnEnd;
        for (next_run(columnOf, r.width, 0, columnBegin, columnEnd); columnBegin < r.width;
             next_run(columnOf, r.width, columnEnd, columnBegin, columnEnd)) {
            int32_t tx = columnOf[columnBegin] / kTileSide;
            int32_t index = ty * columns + tx;
            if (skipBlank && tile_is_blank(plan.frame, index))
                continue;
            if (!get_tile(plan.frame, index))
                return false;
            f = frame_lookup(plan.frame);
            int32_t tileWidth, tileHeight;
            tile_extent(*f, index, tileWidth, tileHeight);
            uint32_t tileLine = raster_line_bytes(f->kind, tileWidth);
            if (fold) {
                int32_t rows = picked(rowOf, rowBegin, rowEnd, ty * kTileSide, pickedRows);
                int32_t cols = picked(columnOf, columnBegin, columnEnd, tx * kTileSide, pickedColumns);
                fold_bilevel_tile(f->workBuffer, tileWidth, tileHeight, pickedRows, rows, pickedColumns, cols);
            }
            for (int32_t d = rowBegin; d < rowEnd; ++d)
                copier.row_indexed(f->workBuffer + static_cast<size_t>(rowOf[d] - ty * kTileSide) * tileLine,
                                   relative + columnBegin, r.buffer + static_cast<size_t>(d) * bufferLine,
                                   columnBegin, columnEnd - columnBegin);
        }
    }
    return true;
}

bool near_one(double s) { return fabs(1.0 - s) <= kOneToOne; }

// The straight copy's map of an axis: pixel i reads trunc(a) + i while that
// lies in the frame and not past the region's edge b.
void build_straight_axis(double a, double b, int32_t n, int32_t limit, int32_t *out) {
    int32_t origin = static_cast<int32_t>(a), last = last_before(b);
    for (int32_t d = 0; d < n; ++d) {
        int64_t p = static_cast<int64_t>(origin) + d;
        out[d] = p >= 0 && p < limit && p <= last ? static_cast<int32_t>(p) : -1;
    }
}

} // namespace

bool choose_sampling(const ScaledRead &r, SampleChoice &choice) {
    double sx = (r.x1 - r.x0) / r.width, sy = (r.y1 - r.y0) / r.height;
    if (!(sx > 0) || !(sy > 0))
        return false; // an empty region reads nothing
    choice = SampleChoice{r.frame, true, r.x0, r.y0, r.x1, r.y1, 1.0};
    if (near_one(sx) && near_one(sy))
        return true;
    double scale = sx > sy ? sx : sy;
    ReadPlan plan = choose_source(r, scale);
    // A view that matches the scale is read straight.
    bool straight = near_one((plan.x1 - plan.x0) / r.width) && near_one((plan.y1 - plan.y0) / r.height);
    choice = SampleChoice{plan.frame, straight, plan.x0, plan.y0, plan.x1, plan.y1, scale};
    return true;
}

void sample_maps(const SampleChoice &c, int32_t frameWidth, int32_t frameHeight, int32_t width, int32_t height,
                 int32_t *columnOf, int32_t *rowOf) {
    auto axis = c.straight ? build_straight_axis : build_axis;
    axis(c.x0, c.x1, width, frameWidth, columnOf);
    axis(c.y0, c.y1, height, frameHeight, rowOf);
}

void next_tile_run(const int32_t *map, int32_t n, int32_t from, int32_t &begin, int32_t &end) {
    next_run(map, n, from, begin, end);
}

bool scaled_read(const ScaledRead &r) {
    if (r.width < 1 || r.height < 1)
        return true;
    if (!frame_lookup(r.frame))
        return false;
    bool greyOff = !(g_library.scaleToGrey > 0);
    bool plainKeys = (r.colourA == -1 && r.colourB == -1) ||
                     (r.colourA == QI_COLOR_WHITE && r.colourB == QI_COLOR_BLACK);
    bool skipBlank = r.kind == 1 && greyOff && plainKeys;
    if (skipBlank)
        memset(r.buffer, 0xFF, static_cast<size_t>(raster_line_bytes(1, r.width)) * r.height);
    SampleChoice c;
    if (!choose_sampling(r, c))
        return true;
    if (c.straight)
        return read_one_to_one(r, c.frame, c.x0, c.y0, c.x1, c.y1, skipBlank);
    ReadPlan plan{c.frame, c.x0, c.y0, c.x1, c.y1, c.scale};
    const QI_FrameRecord *source = frame_lookup(plan.frame);
    bool fold = source && source->kind == 1 && greyOff && c.scale >= 2;
    return read_sampled(r, plan, skipBlank, fold);
}

namespace {
// Integer factor for reductions and 1:1, the real ratio for enlargements.
double stretch_factor(int32_t source, int32_t destination) {
    return source >= destination ? static_cast<double>(source / destination)
                                 : static_cast<double>(source) / destination;
}

// The destination tiles that the clipped target meets.
int64_t tiles_in(const QI_Rect &target) {
    return static_cast<int64_t>(target.right / kTileSide - target.left / kTileSide + 1) *
           (target.bottom / kTileSide - target.top / kTileSide + 1);
}
} // namespace

bool frame_stretch(const FrameStretch &s) {
    if (s.sw < 1 || s.sh < 1 || s.dw < 1 || s.dh < 1)
        return true;
    const QI_FrameRecord *source = frame_lookup(s.source), *destination = frame_lookup(s.destination);
    if (!source || !destination)
        return false;
    int32_t sourceKind = source->kind, destinationKind = destination->kind;
    QI_Rect sourceFrame{0, 0, source->width - 1, source->height - 1};
    QI_Rect sourceRect{s.sx, s.sy, s.sx + s.sw - 1, s.sy + s.sh - 1};
    bool sourceInside = rect_covers(sourceFrame, sourceRect);
    double kx = stretch_factor(s.sw, s.dw), ky = stretch_factor(s.sh, s.dh);
    // The reduced view that every scaled read of this call will choose stays
    // locked for the whole call, instead of once per destination tile.
    ScaledRead probe{s.source, s.colourA, s.colourB, 0, 0, 0, 0, nullptr, destinationKind, 1, 1};
    int32_t readFrame = near_one(kx) && near_one(ky) ? s.source : choose_source(probe, kx > ky ? kx : ky).frame;
    ScopedFrameLock sourceLock(s.source), destinationLock(s.destination), viewLock(readFrame);
    HeapBlock<uint8_t> tile(tile_bytes(destinationKind));
    if (!sourceLock.ok() || !destinationLock.ok() || !viewLock.ok() || !tile)
        return false;
    // A keyed copy keeps destination pixels: read the destination share first.
    bool keeps = PixelCopier(sourceKind, destinationKind, s.colourA, s.colourB).keeps_destination();
    destination = frame_lookup(s.destination);
    QI_Rect whole{0, 0, destination->width - 1, destination->height - 1};
    QI_Rect wanted{s.dx, s.dy, s.dx + s.dw - 1, s.dy + s.dh - 1}, target;
    if (!rect_intersect(whole, wanted, &target))
        return true;
    int64_t total = tiles_in(target), done = 0;
    for (int32_t ty = target.top / kTileSide; ty <= target.bottom / kTileSide; ++ty) {
        for (int32_t tx = target.left / kTileSide; tx <= target.right / kTileSide; ++tx) {
            QI_Rect cell{tx * kTileSide, ty * kTileSide, tx * kTileSide + kTileSide - 1, ty * kTileSide + kTileSide - 1};
            QI_Rect part;
            rect_intersect(cell, target, &part);
            int32_t pw = part.right - part.left + 1, ph = part.bottom - part.top + 1;
            if ((keeps || !sourceInside) && !frame_get_rect(s.destination, part, tile.get()))
                return false;
            ScaledRead read{s.source, s.colourA, s.colourB,
                            s.sx + (part.left - s.dx) * kx - s.phase, s.sy + (part.top - s.dy) * ky - s.phase,
                            s.sx + (part.right - s.dx + 1) * kx - s.phase,
                            s.sy + (part.bottom - s.dy + 1) * ky - s.phase,
                            tile.get(), destinationKind, pw, ph};
            if (!scaled_read(read) || !frame_set_rect(s.destination, part, tile.get(), destinationKind, -1, -1))
                return false;
            if (s.report)
                progress_fraction(++done, total);
        }
    }
    return true;
}

} // namespace quill
