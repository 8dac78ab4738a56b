/*
 * bilevel_views.cpp - the reduced views (1/2, 1/4, 1/8) of a bilevel frame,
 * sampled from the base's coded tiles a tile row at a time and coded into
 * the views' tiles a band at a time; no full-width pixel band anywhere.
 *
 * View pixel (x, y) of the 1/f view is base pixel (f x, f y): every second
 * pixel of every second row of the level above, which is the same pixel.
 *
 * Algorithm.
 *  1. Each base tile holding a record is decoded row by row: T.6 rows to
 *     changing elements (every row, since each row is coded against the one
 *     above; rows repeating the one above are recognised from the bits and
 *     cost almost nothing), raw records taken as they are. Blank tiles (no
 *     record) are skipped: the views start white.
 *  2. The even rows are sampled straight from their elements into one
 *     64-bit word: pixel i of the 1/2 row is pixel 2i, so the colour
 *     changes at ceil(x / 2) for an element x; toggling those bits and
 *     taking the prefix parity gives the sampled pixels (two changes that
 *     land on one place cancel in the XOR, as the pixels between them held
 *     no even one). The 1/4 and 1/8 samples are the even pixels of the word
 *     above (a mask and five shift-or steps), made only for the rows they
 *     take and kept while rows repeat. White rows are not stored.
 *  3. Samples go straight into the views' tile areas: each view keeps one
 *     tile row of its tiles as the tile coder takes them (128 lines of the
 *     tile's line bytes), a base tile filling 64, 32 or 16 pixels of a view
 *     tile row (whole bytes). When a view's tile row is complete its tiles
 *     are coded with tile_encode() (the decision every tile gets: no record
 *     for white, T.6 below 6/8 of the raw size, else the raw lines) and
 *     appended to the view's store in one request; tiles no sample touched
 *     are white and get no record without being looked at.
 *
 * Decisions, measured on the standard drawing (13244 x 9356, 7696 tiles,
 * 55% of them blank; CPU time of the build alone, the same minutes of the
 * shared machine, best of 20):
 *  - Before this file the samples were drawn as two words per even row
 *    (all 128 pixels, then halved), stored in 128-line full-width buffers
 *    and written into the views through the set-rect engine, which copied
 *    them into each tile again. Sampling from the elements into one word
 *    and coding the tile areas where they lie took 34.2 to 36.5 ms against
 *    38.6 to 42.7 ms for that, in four alternating runs (load average 3.3),
 *    and 29.0 to 29.4 ms against 31.2 to 31.6 ms in three more (4.7);
 *    in samples (perf) the part besides decoding and T.6 coding went from
 *    about 29% of the build to 24%.
 *  - Run lists throughout (elements halved as x -> ceil(x / 2) with
 *    cancelling, joined into the views' rows and coded with the band run
 *    coder) were built and measured: 37.5 to 39.2 ms against 32.4 to
 *    33.3 ms for the two-word path in the same minutes. A view cell is
 *    made of 2, 4 or 8 base cells whose elements must all be copied and
 *    halved, where a word takes a tile row in a few instructions whatever
 *    its runs; and the run coder draws busy tiles again from runs to store
 *    them raw.
 *  - What is left is the floor of the job: decoding every row of every
 *    tile with a record and T.6-coding the views' tiles take about 70% of
 *    the build (perf; views/floor/decode and views/floor/code time them).
 */
#include "bilevel_views.h"

#include "../../base/bit_words.h"
#include "../../base/holder.h"
#include "../../base/raster_line.h"
#include "../codecs/ccitt.h"
#include "progress.h"
#include "tile_codec.h"
#include "tile_store.h"
#include "tiles.h"

#include <string.h>

namespace quill {

uint64_t even_pixels(uint64_t pixels) {
    uint64_t x = (pixels >> 1) & 0x5555555555555555ull;
    x = (x | (x >> 1)) & 0x3333333333333333ull;
    x = (x | (x >> 2)) & 0x0F0F0F0F0F0F0F0Full;
    x = (x | (x >> 4)) & 0x00FF00FF00FF00FFull;
    x = (x | (x >> 8)) & 0x0000FFFF0000FFFFull;
    x = (x | (x >> 16)) & 0x00000000FFFFFFFFull;
    return x << 32;
}

// An element at 127 or 128 lands on 64, the first pixel past the word: it
// toggles nothing (mask of zero), as the colour after the word is not kept.
uint64_t even_pixels_of_changes(const uint16_t *elements, uint32_t count) {
    uint64_t toggles = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t at = (elements[i] + 1u) >> 1;
        toggles ^= (0x8000000000000000ull >> (at & 63)) & (0 - static_cast<uint64_t>(at < 64));
    }
    return ~prefix_parity(toggles);
}

namespace {

constexpr int32_t kLevels = 3;
constexpr size_t kTileArea = 2048;  // a 128 x 128 bilevel tile's lines
constexpr size_t kHeaderRoom = 4;   // before each record, for the store's header

int32_t min32(int32_t a, int32_t b) { return a < b ? a : b; }

// One view: one tile row of its tiles being filled.
struct ViewBand {
    int32_t frame;
    int32_t width, height, columns;
    int32_t band;   // the view's tile row being filled
    int32_t filled; // its rows given by the base tile rows done so far
    HeapBlock<uint8_t> tiles;   // per column a tile area of kTileArea bytes
    HeapBlock<uint8_t> inked;   // per column: 1 once a sample was stored
    HeapBlock<int32_t> lengths; // per column: the record length or blank
    HeapBlock<uint8_t> records; // the band's records, each behind kHeaderRoom

    int32_t tile_width(int32_t column) const { return min32(kTileSide, width - column * kTileSide); }
};

bool prepare_band(ViewBand &v, int32_t frame, int32_t baseWidth, int32_t baseHeight, int32_t factor) {
    v.frame = frame;
    v.width = (baseWidth + factor - 1) / factor;
    v.height = (baseHeight + factor - 1) / factor;
    v.columns = (v.width + kTileSide - 1) / kTileSide;
    v.band = 0;
    v.filled = 0;
    const size_t columns = static_cast<size_t>(v.columns);
    if (!v.tiles.allocate(columns * kTileArea) || !v.inked.allocate(columns) || !v.lengths.allocate(columns) ||
        !v.records.allocate(columns * (kHeaderRoom + kTileArea)))
        return false;
    memset(v.tiles.get(), 0xFF, columns * kTileArea);
    memset(v.inked.get(), 0, columns);
    return true;
}

// Codes the view's band (its `filled` rows) tile by tile, as put_tile()
// codes a tile, and appends the records to the view's store in one
// request; then whitens the touched tile areas for the next band.
bool flush_band(ViewBand &v) {
    if (v.filled == 0)
        return true;
    QI_FrameRecord *f = frame_lookup(v.frame);
    uint8_t *scratch = f->workBuffer + tile_bytes(1);
    uint8_t *records = v.records.get();
    size_t at = 0;
    for (int32_t c = 0; c < v.columns; ++c) {
        int32_t length = kRecordBlank;
        if (v.inked[static_cast<size_t>(c)]) {
            length = tile_encode(*f, v.tile_width(c), v.filled, v.tiles.get() + static_cast<size_t>(c) * kTileArea,
                                 scratch);
            if (length == kRecordFailed)
                return false;
        }
        v.lengths[static_cast<size_t>(c)] = length;
        if (length >= 0) {
            memcpy(records + at + kHeaderRoom, scratch, static_cast<size_t>(length));
            at += kHeaderRoom + static_cast<size_t>(length);
        }
    }
    if (!tile_store_append(f->tileStore, v.band * v.columns, v.columns, v.lengths.get(), records))
        return false;
    for (int32_t c = 0; c < v.columns; ++c) {
        if (v.inked[static_cast<size_t>(c)])
            memset(v.tiles.get() + static_cast<size_t>(c) * kTileArea, 0xFF, kTileArea);
        v.inked[static_cast<size_t>(c)] = 0;
    }
    ++v.band;
    v.filled = 0;
    return true;
}

// Where one base tile's samples go in each view, and the samples of the
// last row stored (rows of a tile repeat often).
struct TileSampler {
    uint8_t *origin[kLevels]; // the tile's first byte in its view tile's row 0
    uint32_t line[kLevels];   // that view tile's line bytes
    int32_t pixels[kLevels];  // samples the tile gives a view row
    int32_t filled[kLevels];  // the view's rows before this tile row
    uint64_t last;            // the 1/2 samples of the last row stored
    uint64_t samples[kLevels];
    int32_t sampled; // levels of `samples` made from `last`
};

void aim_sampler(TileSampler &t, ViewBand views[kLevels], int32_t column, int32_t tileWidth) {
    for (int32_t i = 0; i < kLevels; ++i) {
        const int32_t shift = i + 1;
        ViewBand &v = views[i];
        const int32_t viewColumn = column >> shift;
        const int32_t part = column & ((1 << shift) - 1); // base tiles left of it in the view tile
        t.origin[i] = v.tiles.get() + static_cast<size_t>(viewColumn) * kTileArea +
                      static_cast<size_t>(part) * static_cast<size_t>(16 >> shift);
        t.line[i] = raster_line_bytes(1, v.tile_width(viewColumn));
        t.pixels[i] = (tileWidth + (1 << shift) - 1) >> shift;
        t.filled[i] = v.filled;
        v.inked[static_cast<size_t>(viewColumn)] = 1;
    }
    t.last = ~0ull;
    t.sampled = 0;
}

// Stores `pixels` samples (pixel 0 in bit 63; 1 to 64) at `to`, the bits
// after them white. The whole 8, 4 or 2 bytes of a full tile are copied
// with constant sizes (a call to memcpy per row took 4% of the build).
inline void store_sampled(uint8_t *to, uint64_t sampled, int32_t pixels) {
    if (pixels < 64)
        sampled |= ~0ull >> pixels;
    const uint64_t bytes = __builtin_bswap64(sampled);
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

// Stores the samples of even tile row y (its 1/2 samples `half`) into each
// view whose factor divides y (the tile's top is a multiple of 128, so the
// row's base y has the same remainders).
inline void store_row(TileSampler &t, uint32_t y, uint64_t half) {
    if (half == ~0ull)
        return; // white: the tile areas are white already
    if (half != t.last) {
        t.last = half;
        t.samples[0] = half;
        t.sampled = 1;
    }
    for (int32_t i = 0; i < kLevels && (y & ((2u << i) - 1)) == 0; ++i) {
        if (i == t.sampled) {
            t.samples[i] = even_pixels(t.samples[i - 1]);
            ++t.sampled;
        }
        const uint32_t row = static_cast<uint32_t>(t.filled[i]) + (y >> (i + 1));
        store_sampled(t.origin[i] + static_cast<size_t>(row) * t.line[i], t.samples[i], t.pixels[i]);
    }
}

// Samples a T.6-coded tile: every row decoded, the even ones sampled from
// their elements; rows repeating the reference line (found from the bits)
// take the samples of the line, made once.
bool sample_coded_tile(TileSampler &t, const uint8_t *record, int32_t length, int32_t tileWidth, int32_t rows,
                       uint16_t *workspace) {
    T6Decoder decoder;
    if (!decoder.init(static_cast<uint32_t>(tileWidth), workspace))
        return false;
    BitReader reader(record, static_cast<size_t>(length));
    uint64_t half = ~0ull; // the samples of the reference line: white at first
    bool current = true;   // whether `half` is those of the reference line
    const uint32_t height = static_cast<uint32_t>(rows);
    for (uint32_t y = 0; y < height;) {
        const uint32_t end = y + decoder.decode_repeats(reader, height - y);
        uint32_t even = (y + 1) & ~1u;
        if (even < end && !current) {
            half = even_pixels_of_changes(decoder.pairs(), 2 * decoder.pair_count());
            current = true;
        }
        for (; even < end; even += 2)
            store_row(t, even, half);
        y = end;
        if (y == height)
            break;
        if (!decoder.decode_new_row(reader))
            return false;
        current = (y & 1) == 0;
        if (current) {
            half = even_pixels_of_changes(decoder.pairs(), 2 * decoder.pair_count());
            store_row(t, y, half);
        }
        ++y;
    }
    return true;
}

// Samples a raw tile (its lines as they are).
void sample_raw_tile(TileSampler &t, const uint8_t *record, int32_t tileWidth, int32_t rows) {
    const uint32_t line = raster_line_bytes(1, tileWidth);
    for (int32_t y = 0; y < rows; y += 2) {
        uint64_t high, low;
        narrow_row_words(record + static_cast<size_t>(y) * line, static_cast<uint32_t>(tileWidth), high, low);
        store_row(t, static_cast<uint32_t>(y), even_pixels(high) | (even_pixels(low) >> 32));
    }
}

// Samples base tile (column, tileRow) into the views. A record is read as
// tile_decode() reads it: shorter than the raw lines it is T.6 code, else
// the raw lines; a tile without a record is white and skipped. The record
// is read into the base's work buffer, as get_tile() reads it.
bool sample_tile(int32_t base, int32_t tileRow, int32_t column, int32_t rows, ViewBand views[kLevels],
                 uint16_t *workspace) {
    const QI_FrameRecord *f = frame_lookup(base);
    const int32_t index = tileRow * tile_columns(*f) + column;
    uint8_t *record = f->workBuffer + tile_bytes(1);
    const int32_t length = tile_store_read(f->tileStore, index, record, work_buffer_bytes(1) - tile_bytes(1));
    if (length == kRecordFailed)
        return false;
    if (length < 0)
        return true; // blank
    const int32_t tileWidth = min32(kTileSide, f->width - column * kTileSide);
    TileSampler t;
    aim_sampler(t, views, column, tileWidth);
    if (static_cast<uint32_t>(length) < raster_line_bytes(1, tileWidth) * static_cast<uint32_t>(rows))
        return sample_coded_tile(t, record, length, tileWidth, rows, workspace);
    sample_raw_tile(t, record, tileWidth, rows);
    return true;
}

} // namespace

// A base tile row gives view i 128 / f rows (fewer at the bottom), so a
// view's band fills exactly after f / 2 tile rows and is coded then; the
// last, shorter one after the last tile row.
bool fill_bilevel_views(int32_t base, const int32_t frames[kLevels]) {
    const QI_FrameRecord *f = frame_lookup(base);
    if (!f || !f->locked || f->kind != 1)
        return false;
    const int32_t width = f->width, height = f->height, columns = tile_columns(*f);
    ViewBand views[kLevels];
    HeapBlock<uint16_t> workspace(t6_workspace_entries(kTileSide));
    if (!workspace)
        return false;
    for (int32_t i = 0; i < kLevels; ++i)
        if (!prepare_band(views[i], frames[i], width, height, 2 << i))
            return false;
    for (int32_t tileRow = 0, top = 0; top < height; ++tileRow, top += kTileSide) {
        const int32_t rows = min32(kTileSide, height - top);
        for (int32_t column = 0; column < columns; ++column)
            if (!sample_tile(base, tileRow, column, rows, views, workspace.get()))
                return false;
        progress_report(static_cast<intptr_t>(98 * static_cast<int64_t>(top) / height + 1));
        for (int32_t i = 0; i < kLevels; ++i) {
            const int32_t factor = 2 << i;
            views[i].filled += (rows + factor - 1) / factor;
            if (views[i].filled == kTileSide && !flush_band(views[i]))
                return false;
        }
    }
    for (ViewBand &v : views)
        if (!flush_band(v))
            return false;
    return true;
}

} // namespace quill
