/*
 * grey_count.cpp - scale to grey without the fine raster: counts the white
 * samples under each destination pixel straight from the decoded tiles.
 *
 * Scale to grey renders a bilevel region n times finer (n = 4 or 8) and
 * counts the white pixels of each n x n block. The first engine built that
 * fine raster bit by bit through the scaled read and then counted it: for a
 * window fitted to the 13244 x 9356 drawing page (1529 x 1080 pixels,
 * 8-fold) that gathered 105 million bits, 55% of the call's 110 ms.
 *
 * Here the n sample columns of a destination pixel are fixed for the whole
 * region, so each pixel's share of a tile is a "piece": a 64-bit mask over
 * a stretch of the tile row, one bit per sample column. Per sampled source
 * row a piece costs one shifted word, an AND and a bit count, instead of
 * n single-bit gathers and a later byte count: n counts per destination
 * pixel and sample row against n * n bit moves. Samples repeat when a fine
 * pixel is smaller than a source pixel (1:2.5 at 4-fold reads some columns
 * twice); a repeated column starts a new piece, so each sample is counted
 * once however often its column recurs.
 *
 * Frames up to 65535 pixels wide are counted from runs instead: each tile
 * row under the region is decoded to black-run lists (the run grid, without
 * drawing a pixel), and a black run takes its samples off the pixels it
 * covers through a per-tile table of the first sample at or right of each
 * column. The work follows the runs, not the pixels. On the drawing page
 * (1920 x 1080 windows, CPU time under the same load) the runs took 1:2.5
 * from 32 to 10 ms and 1:4 from 26 to 19 ms, where the pieces path (kept
 * for wider frames) spent 43% counting bits; what is left at 1:4 is mostly
 * T.6 decoding of the 2040 tiles under the window.
 *
 * The samples are exactly those of the scaled read (the same choice of
 * frame or reduced view and the same axis maps), so the grey levels equal
 * those of the fine-raster engine, which the tests check. Counting starts
 * from all white and takes off the black samples: tiles that were never
 * written (white) and samples outside the frame need no work.
 *
 * Rejected: a 16-bit window per piece (samples of 8-fold reductions past
 * the 1/8 view spread over more than 16 pixels); a per-row table of source
 * bytes (a table lookup per byte is what the fine raster did).
 */
#include "scaled_read.h"

#include "../../base/bit_words.h"
#include "../../base/holder.h"
#include "../../base/raster_line.h"
#include "frame_lock.h"
#include "run_tiles.h"
#include "tiles.h"

#include <string.h>

namespace quill {

namespace {

constexpr int32_t kPieceBits = 64;

// The sample columns of one destination pixel within one tile.
struct Piece {
    int32_t x;     // destination column
    int32_t tile;  // tile column
    int32_t start; // first sample column, relative to the tile
    uint64_t mask; // bit 63 - k: the sample column start + k
};

// Cuts the sample columns into pieces, in column order; returns the count.
int32_t build_pieces(const int32_t *columnOf, int32_t fineWidth, int32_t n, Piece *pieces) {
    int32_t count = 0;
    for (int32_t j = 0; j < fineWidth; ++j) {
        int32_t c = columnOf[j];
        if (c < 0)
            continue;
        int32_t x = j / n, tile = c / kTileSide, rel = c % kTileSide;
        Piece *p = count > 0 ? &pieces[count - 1] : nullptr;
        bool joins = p && p->x == x && p->tile == tile && rel - p->start < kPieceBits &&
                     !((p->mask >> (63 - (rel - p->start))) & 1);
        if (!joins) {
            pieces[count++] = Piece{x, tile, rel, 0};
            p = &pieces[count - 1];
        }
        p->mask |= uint64_t{1} << (63 - (rel - p->start));
    }
    return count;
}

// One tile row as three big-endian words (the third zero), so that any 64
// bits from any column can be taken without reading past the row.
struct RowWords {
    uint64_t w[3];
    void load(const uint8_t *row, uint32_t bytes) {
        uint8_t padded[24] = {};
        memcpy(padded, row, bytes);
        for (int k = 0; k < 3; ++k) {
            uint64_t v;
            memcpy(&v, padded + 8 * k, 8);
            w[k] = __builtin_bswap64(v); // pixels are stored most significant bit first
        }
    }
    uint64_t from(int32_t start) const {
        int32_t word = start >> 6, shift = start & 63;
        return shift == 0 ? w[word] : (w[word] << shift) | (w[word + 1] >> (64 - shift));
    }
};

// Takes the black samples of one sample row of a tile off the counts.
void count_row(const uint8_t *row, uint32_t bytes, const Piece *pieces, int32_t pieceCount, uint8_t *counts) {
    RowWords words;
    words.load(row, bytes);
    for (int32_t k = 0; k < pieceCount; ++k) {
        const Piece &p = pieces[k];
        counts[p.x] = static_cast<uint8_t>(counts[p.x] - bit_count(~words.from(p.start) & p.mask));
    }
}

struct CountPlan {
    int32_t frame;
    int32_t n, width, height;
    const int32_t *rowOf;
    int32_t fineHeight;
    const Piece *pieces;
    int32_t pieceCount;
    uint8_t *counts;
};

// The pieces [first, end) of one tile column, from `first` on.
int32_t tile_column_end(const CountPlan &plan, int32_t first) {
    int32_t end = first;
    while (end < plan.pieceCount && plan.pieces[end].tile == plan.pieces[first].tile)
        ++end;
    return end;
}

bool count_tiles(const CountPlan &plan) {
    int32_t rowBegin, rowEnd;
    for (next_tile_run(plan.rowOf, plan.fineHeight, 0, rowBegin, rowEnd); rowBegin < plan.fineHeight;
         next_tile_run(plan.rowOf, plan.fineHeight, rowEnd, rowBegin, rowEnd)) {
        int32_t ty = plan.rowOf[rowBegin] / kTileSide;
        for (int32_t first = 0, end; first < plan.pieceCount; first = end) {
            end = tile_column_end(plan, first);
            const QI_FrameRecord *f = frame_lookup(plan.frame);
            int32_t index = ty * tile_columns(*f) + plan.pieces[first].tile;
            if (tile_is_blank(plan.frame, index))
                continue; // white
            if (!get_tile(plan.frame, index))
                return false;
            f = frame_lookup(plan.frame);
            int32_t tileWidth, tileHeight;
            tile_extent(*f, index, tileWidth, tileHeight);
            uint32_t tileLine = raster_line_bytes(1, tileWidth);
            for (int32_t d = rowBegin; d < rowEnd; ++d)
                count_row(f->workBuffer + static_cast<size_t>(plan.rowOf[d] - ty * kTileSide) * tileLine, tileLine,
                          plan.pieces + first, end - first, plan.counts + static_cast<size_t>(d / plan.n) * plan.width);
        }
    }
    return true;
}

// ---- Counting from runs
// ------------------------------------------------------

// The tile columns under the samples, and for each the first sample (fine
// column index) at or right of each of its 129 column edges.
struct SampleStarts {
    int32_t first, last; // tile columns
    int32_t *table;      // (last - first + 1) x 129
    const int32_t *of(int32_t tileColumn) const { return table + static_cast<size_t>(tileColumn - first) * 129; }
};

// The valid sample columns [begin, end): the maps are -1 only at the ends.
void valid_span(const int32_t *columnOf, int32_t n, int32_t &begin, int32_t &end) {
    begin = 0;
    while (begin < n && columnOf[begin] < 0)
        ++begin;
    end = begin;
    while (end < n && columnOf[end] >= 0)
        ++end;
}

void fill_sample_starts(const int32_t *columnOf, int32_t begin, int32_t end, SampleStarts &starts) {
    int32_t j = begin;
    for (int32_t t = starts.first; t <= starts.last; ++t) {
        int32_t *row = starts.table + static_cast<size_t>(t - starts.first) * 129;
        for (int32_t c = 0; c <= kTileSide; ++c) {
            int32_t column = t * kTileSide + c;
            while (j < end && columnOf[j] < column)
                ++j;
            row[c] = j;
        }
    }
}

// Takes samples [ja, jb) off the pixels that hold them, 2^shift samples
// each (n is 4 or 8: a shift, where a division cost a fifth of the count).
inline void take_samples(int32_t ja, int32_t jb, int32_t shift, uint8_t *counts) {
    int32_t n = 1 << shift, x = ja >> shift, last = (jb - 1) >> shift;
    if (x == last) {
        counts[x] = static_cast<uint8_t>(counts[x] - (jb - ja));
        return;
    }
    counts[x] = static_cast<uint8_t>(counts[x] - ((x + 1) * n - ja));
    for (++x; x < last; ++x)
        counts[x] = static_cast<uint8_t>(counts[x] - n);
    counts[last] = static_cast<uint8_t>(counts[last] - (jb - last * n));
}

struct RunCount {
    int32_t frame, shift, width; // n = 2^shift
    const int32_t *rowOf;
    int32_t fineHeight;
    const SampleStarts &starts;
    uint8_t *counts;
};

// One sample row: every black run of the tile row's row y.
void count_run_row(const RunCount &c, const RunGrid &grid, int32_t y, uint8_t *counts) {
    for (int32_t t = c.starts.first; t <= c.starts.last; ++t) {
        uint32_t pairs;
        const uint16_t *p = grid.cell(t, y, pairs);
        const int32_t *first = c.starts.of(t);
        for (uint32_t k = 0; k < pairs; ++k) {
            int32_t ja = first[p[2 * k]], jb = first[p[2 * k + 1]];
            if (ja < jb)
                take_samples(ja, jb, c.shift, counts);
        }
    }
}

bool count_by_runs(const RunCount &c, int32_t frameWidth) {
    RunGrid grid;
    if (!grid.init(frameWidth))
        return false;
    int32_t rowBegin, rowEnd;
    for (next_tile_run(c.rowOf, c.fineHeight, 0, rowBegin, rowEnd); rowBegin < c.fineHeight;
         next_tile_run(c.rowOf, c.fineHeight, rowEnd, rowBegin, rowEnd)) {
        int32_t ty = c.rowOf[rowBegin] / kTileSide;
        if (!grid.load_tile_columns(c.frame, ty, c.starts.first, c.starts.last))
            return false;
        for (int32_t d = rowBegin; d < rowEnd; ++d)
            count_run_row(c, grid, c.rowOf[d] - ty * kTileSide, c.counts + static_cast<size_t>(d >> c.shift) * c.width);
    }
    return true;
}

bool count_from_runs(const GreyCount &g, int32_t frame, int32_t frameWidth, const int32_t *columnOf,
                     const int32_t *rowOf) {
    int32_t fineWidth = g.n * g.width, begin, end;
    valid_span(columnOf, fineWidth, begin, end);
    if (begin == end)
        return true; // no sample column inside the frame
    SampleStarts starts{columnOf[begin] / kTileSide, columnOf[end - 1] / kTileSide, nullptr};
    HeapBlock<int32_t> table(static_cast<size_t>(starts.last - starts.first + 1) * 129);
    if (!table)
        return false;
    starts.table = table.get();
    fill_sample_starts(columnOf, begin, end, starts);
    RunCount c{frame, g.n == 8 ? 3 : 2, g.width, rowOf, g.n * g.height, starts, g.counts};
    return count_by_runs(c, frameWidth);
}

// The pieces path: wider frames, whose runs do not fit the 16-bit lists.
bool count_from_pieces(const GreyCount &g, int32_t frame, const int32_t *columnOf, const int32_t *rowOf) {
    int32_t fineWidth = g.n * g.width;
    HeapBlock<Piece> pieces(static_cast<size_t>(fineWidth));
    if (!pieces)
        return false;
    CountPlan plan{frame, g.n, g.width, g.height, rowOf, g.n * g.height, pieces.get(), 0, g.counts};
    plan.pieceCount = build_pieces(columnOf, fineWidth, g.n, pieces.get());
    return count_tiles(plan);
}

} // namespace

bool grey_count_read(const GreyCount &g) {
    if (g.n != 4 && g.n != 8)
        return false;
    if (g.width < 1 || g.height < 1)
        return true;
    memset(g.counts, g.n * g.n, static_cast<size_t>(g.width) * g.height);
    int32_t fineWidth = g.n * g.width, fineHeight = g.n * g.height;
    ScaledRead probe{g.frame, -1, -1, g.x0, g.y0, g.x1, g.y1, nullptr, 1, fineWidth, fineHeight};
    if (!frame_lookup(g.frame))
        return false;
    SampleChoice choice;
    if (!choose_sampling(probe, choice))
        return true; // an empty region: all samples outside, white
    ScopedFrameLock lock(choice.frame);
    if (!lock.ok())
        return false;
    const QI_FrameRecord *f = frame_lookup(choice.frame);
    HeapBlock<int32_t> maps(static_cast<size_t>(fineWidth) + static_cast<size_t>(fineHeight));
    if (!maps)
        return false;
    int32_t *columnOf = maps.get(), *rowOf = columnOf + fineWidth;
    sample_maps(choice, f->width, f->height, fineWidth, fineHeight, columnOf, rowOf);
    if (run_paths_take(f->width))
        return count_from_runs(g, choice.frame, f->width, columnOf, rowOf);
    return count_from_pieces(g, choice.frame, columnOf, rowOf);
}

} // namespace quill
