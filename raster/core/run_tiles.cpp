/*
 * run_tiles.cpp - bilevel tile rows as black-run lists: the run grid and the
 * run coder of a band (run_tiles.h).
 *
 * Algorithm. A full-width row enters the grid as a walk over its pairs: each
 * pair is cut at the multiples of 128 it crosses and each piece, shifted to
 * its tile's origin, is appended to the cell of its tile column (pieces of
 * one cell come one after another, so a cell is a contiguous slice of one
 * pair array; a piece that touches the cell's last one is joined to it).
 * Coding a tile column runs one T.6 encoder down the column's cells from an
 * all-white reference; reading a full row back walks the row's cells left
 * to right and joins the pairs that touch at a tile edge. Decoding a tile
 * row fills the cells column by column, straight from the T.6 decoder's
 * changing elements (raw records are scanned for runs with the run table).
 *
 * The record decision is tile_encode()'s, taken on runs instead of pixels:
 *  - no pair in any of the column's cells: the blank mark (no record);
 *  - the T.6 stream, when it fits in (6 x raw - 1) / 8 bytes, raw being the
 *    tile's lines of (width + 15) / 16 * 2 bytes: the same bound and the
 *    same coder fed the same changing elements, so the same bytes;
 *  - else the raw lines, drawn from the cells (pad bits white).
 *
 * Decisions.
 *  - Cells hold tile coordinates rather than frame ones: the coder and the
 *    decoder then take a cell as it is, and only the rarer full-row reads
 *    add the tile's origin.
 *  - One pair array grown by doubling for the whole band, against a fixed
 *    worst case per cell (64 pairs x 128 rows x 104 columns = 3.4 MB for the
 *    drawing page, which holds about 60 KB of pairs a band): the grid's
 *    memory follows the drawing.
 *  - Coding works column by column from a finished band, not row by row
 *    with one encoder per column: one encoder and one output area serve
 *    every tile, and a tile that ends raw still has its rows in the cells.
 *    A coded band is never drawn as pixels: the raw fallback draws only the
 *    tiles that take it (none on the drawing page).
 */
#include "run_tiles.h"

#include "../../base/raster_line.h"
#include "../codecs/bilevel_tables.h"
#include "../codecs/black_runs.h"
#include "../codecs/ccitt.h"
#include "tile_store.h"
#include "tiles.h"

#include <string.h>

namespace quill {

namespace {

constexpr uint32_t kRawTileBytes = 2048; // a 128 x 128 bilevel tile's lines
static_assert(kTileSide == 128, "cells are cut with shifts by 7");

#if defined(QUILL_TEST_HOOKS)
bool g_runPathsOff = false;
#endif

int32_t min32(int32_t a, int32_t b) { return a < b ? a : b; }

// Bytes of a tile's raw lines, and the T.6 code's bound below 6/8 of them.
uint32_t raw_bytes(int32_t width, int32_t height) { return raster_line_bytes(1, width) * static_cast<uint32_t>(height); }
uint32_t code_bound(uint32_t raw) { return (6 * raw - 1) / 8; }

int32_t tile_width(int32_t frameWidth, int32_t column) { return min32(kTileSide, frameWidth - column * kTileSide); }

// The longest record get_tile() reads (the work buffer's scratch area): a
// record past the raw size (a tile file may carry one) reads as raw lines
// there, and must here too.
uint32_t record_capacity() { return work_buffer_bytes(1) - tile_bytes(1); }

} // namespace

bool run_paths_take(int32_t width) {
#if defined(QUILL_TEST_HOOKS)
    if (g_runPathsOff)
        return false;
#endif
    return width >= 1 && width <= static_cast<int32_t>(kWidestRow);
}

// ---- RunGrid ---------------------------------------------------------------

bool RunGrid::init(int32_t width) {
    if (width < 1 || width > static_cast<int32_t>(kWidestRow))
        return false;
    width_ = width;
    columns_ = (width + kTileSide - 1) / kTileSide;
    capacity_ = static_cast<size_t>(columns_) * 512;
    used_ = 0;
    rows_ = added_ = 0;
    return cells_.allocate(static_cast<size_t>(columns_) * kRows) && blank_.allocate(static_cast<size_t>(columns_)) &&
           pairs_.allocate(capacity_) &&
           record_.allocate(record_capacity()) && coder_.allocate(t6_workspace_entries(kTileSide));
}

// Every cell starts empty, so that a row only touches the cells its runs
// reach: clearing a band's cells in one pass costs less than clearing each
// row's cells across the columns (a 1 KB stride) as rows come; on the
// drawing page that took a third of the time spent cutting rows.
void RunGrid::start(int32_t rows) {
    rows_ = rows;
    added_ = 0;
    used_ = 0;
    memset(cells_.get(), 0, sizeof(Cell) * static_cast<size_t>(columns_) * kRows);
    memset(blank_.get(), 0, static_cast<size_t>(columns_));
}

bool RunGrid::reserve(size_t entries) {
    if (entries <= capacity_)
        return true;
    size_t grown = capacity_ * 2 > entries ? capacity_ * 2 : entries;
    if (!pairs_.resize(grown))
        return false;
    capacity_ = grown;
    return true;
}

// Appends the piece (s, e) of one row to its cell, or lengthens the cell's
// last piece when the piece touches it; `out` and `used` are the grid's
// pairs, the cell's pieces of this row the last ones written.
inline void RunGrid::put_piece(Cell &k, uint16_t *out, size_t &used, uint32_t s, uint32_t e) {
    if (k.count == 0) {
        k.start = static_cast<uint32_t>(used);
    } else if (out[used - 1] == s) {
        out[used - 1] = static_cast<uint16_t>(e);
        return;
    }
    out[used] = static_cast<uint16_t>(s);
    out[used + 1] = static_cast<uint16_t>(e);
    used += 2;
    ++k.count;
}

// add_row() for a row whose elements strictly ascend up to the width, as
// the decoder's rows do: no piece can touch another in its cell, so the
// pieces are written one after another and each cell's place and count
// are set once, when the row moves on to the next tile. The general loop,
// which reads and updates the cell for every piece, took 44 instructions a
// pair on the drawing page's load (72 before it had a short path for pairs
// inside one tile); this takes 34 with the check of the row (callgrind).
void RunGrid::add_ascending_row(const uint16_t *pairs, uint32_t count) {
    Cell *cells = cells_.get() + added_;
    uint16_t *out = pairs_.get();
    size_t used = used_, first = used; // first: the current cell's first entry
    uint32_t tile = 0;
    bool open = false; // a cell of this row has pieces not yet counted
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t start = pairs[2 * i], end = pairs[2 * i + 1];
        uint32_t t = start >> 7;
        const uint32_t last = (end - 1) >> 7;
        if (!open || t != tile) {
            if (open)
                cells[static_cast<size_t>(tile) * kRows] = Cell{static_cast<uint32_t>(first), static_cast<uint32_t>((used - first) / 2)};
            tile = t;
            first = used;
            open = true;
        }
        out[used] = static_cast<uint16_t>(start - (t << 7));
        out[used + 1] = static_cast<uint16_t>(t == last ? end - (t << 7) : kTileSide);
        used += 2;
        if (t == last)
            continue;
        // Cut at each tile edge: the tiles between hold one whole piece.
        cells[static_cast<size_t>(t) * kRows] = Cell{static_cast<uint32_t>(first), static_cast<uint32_t>((used - first) / 2)};
        for (++t; t < last; ++t) {
            cells[static_cast<size_t>(t) * kRows] = Cell{static_cast<uint32_t>(used), 1};
            out[used] = 0;
            out[used + 1] = static_cast<uint16_t>(kTileSide);
            used += 2;
        }
        tile = last;
        first = used;
        out[used] = 0;
        out[used + 1] = static_cast<uint16_t>(end - (last << 7));
        used += 2;
    }
    if (open)
        cells[static_cast<size_t>(tile) * kRows] = Cell{static_cast<uint32_t>(first), static_cast<uint32_t>((used - first) / 2)};
    used_ = used;
    ++added_;
}

bool RunGrid::add_row(const uint16_t *pairs, uint32_t count) {
    if (added_ >= rows_)
        return false;
    // A pair crossing k tile edges becomes k + 1 pieces: count + columns
    // pieces at most.
    if (!reserve(used_ + 2 * (static_cast<size_t>(count) + static_cast<size_t>(columns_))))
        return false;
    // Strictly ascending elements up to the width are width + 1 at most.
    if (2 * static_cast<uint64_t>(count) <= static_cast<uint64_t>(width_) + 1 &&
        elements_ascend(pairs, 2 * count, static_cast<uint32_t>(width_))) {
        add_ascending_row(pairs, count);
        return true;
    }
    // Cells of row y lie 128 apart. A pair inside one tile (most, on a
    // drawing) is one piece and takes the short path; a longer one is cut
    // at each tile edge.
    Cell *cells = cells_.get() + added_;
    uint16_t *out = pairs_.get();
    size_t used = used_;
    const uint32_t width = static_cast<uint32_t>(width_);
    uint32_t lastEnd = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t start = pairs[2 * i], end = pairs[2 * i + 1] < width ? pairs[2 * i + 1] : width;
        if (start >= end)
            continue;
        if (start < lastEnd)
            return false;
        lastEnd = end;
        uint32_t t = start >> 7;
        const uint32_t last = (end - 1) >> 7;
        if (t == last) {
            put_piece(cells[static_cast<size_t>(t) * kRows], out, used, start - (t << 7), end - (t << 7));
            continue;
        }
        put_piece(cells[static_cast<size_t>(t) * kRows], out, used, start - (t << 7), kTileSide);
        for (++t; t < last; ++t)
            put_piece(cells[static_cast<size_t>(t) * kRows], out, used, 0, kTileSide);
        put_piece(cells[static_cast<size_t>(last) * kRows], out, used, 0, end - (last << 7));
    }
    used_ = used;
    ++added_;
    return true;
}

uint32_t RunGrid::row(int32_t y, uint16_t *out) const {
    uint32_t n = 0;
    for (int32_t c = 0; c < columns_; ++c) {
        uint32_t count;
        const uint16_t *p = cell(c, y, count);
        uint32_t origin = static_cast<uint32_t>(c) * kTileSide;
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t s = p[2 * i] + origin, e = p[2 * i + 1] + origin;
            if (n != 0 && out[2 * n - 1] == s) {
                out[2 * n - 1] = static_cast<uint16_t>(e); // joined across the tile edge
            } else {
                out[2 * n] = static_cast<uint16_t>(s);
                out[2 * n + 1] = static_cast<uint16_t>(e);
                ++n;
            }
        }
    }
    return n;
}

bool RunGrid::cells_from_raw(int32_t column, const uint8_t *raw, int32_t tileWidth) {
    uint32_t line = raster_line_bytes(1, tileWidth), most = (static_cast<uint32_t>(tileWidth) + 1) / 2;
    for (int32_t y = 0; y < rows_; ++y) {
        if (!reserve(used_ + 2 * static_cast<size_t>(most)))
            return false;
        Cell &k = cells_[static_cast<size_t>(column) * kRows + static_cast<size_t>(y)];
        k.start = static_cast<uint32_t>(used_);
        k.count = pack_black_runs(raw + static_cast<size_t>(y) * line, static_cast<uint32_t>(tileWidth),
                                  pairs_.get() + used_, g_runTable);
        used_ += 2 * static_cast<size_t>(k.count);
    }
    return true;
}

// Decodes one tile into column `column`'s cells, as tile_decode() reads its
// record: no record is white, a record shorter than the raw lines is T.6
// code, any other holds the raw lines.
bool RunGrid::load_tile(int32_t frame, int32_t column, int32_t index, int32_t tileWidth) {
    const QI_FrameRecord *f = frame_lookup(frame);
    Cell *k = cells_.get() + static_cast<size_t>(column) * kRows;
    int32_t length = tile_store_read(f->tileStore, index, record_.get(), record_capacity());
    if (length == kRecordFailed)
        return false;
    if (length < 0) {
        for (int32_t y = 0; y < rows_; ++y)
            k[y] = Cell{0, 0};
        blank_[static_cast<size_t>(column)] = 1;
        return true;
    }
    if (static_cast<uint32_t>(length) >= raw_bytes(tileWidth, rows_))
        return cells_from_raw(column, record_.get(), tileWidth);
    T6Decoder decoder;
    if (!decoder.init(static_cast<uint32_t>(tileWidth), coder_.get()))
        return false;
    BitReader reader(record_.get(), static_cast<size_t>(length));
    // Rows repeating the one above (most rows of a drawing's tile) are
    // found many at a time and share the cell of the row above: its pairs
    // are neither copied nor stored again.
    for (int32_t y = 0; y < rows_; ++y) {
        if (y != 0) {
            for (uint32_t same = decoder.decode_repeats(reader, static_cast<uint32_t>(rows_ - y)); same != 0; --same) {
                k[y] = k[y - 1];
                ++y;
            }
            if (y == rows_)
                break;
        }
        if (!(y != 0 ? decoder.decode_new_row(reader) : decoder.decode_row(reader)))
            return false;
        uint32_t count = decoder.pair_count();
        if (!reserve(used_ + 2 * static_cast<size_t>(count)))
            return false;
        memcpy(pairs_.get() + used_, decoder.pairs(), 4 * static_cast<size_t>(count));
        k[y] = Cell{static_cast<uint32_t>(used_), count};
        used_ += 2 * static_cast<size_t>(count);
    }
    return true;
}

bool RunGrid::load_tile_row(int32_t frame, int32_t tileRow) {
    return load_tile_columns(frame, tileRow, 0, columns_ - 1);
}

bool RunGrid::load_tile_columns(int32_t frame, int32_t tileRow, int32_t first, int32_t last) {
    const QI_FrameRecord *f = frame_lookup(frame);
    if (!f || !f->locked || f->kind != 1 || f->width != width_ || tileRow < 0 || tileRow >= tile_rows(*f) ||
        first < 0 || last >= columns_ || first > last)
        return false;
    start(min32(kTileSide, f->height - tileRow * kTileSide));
    added_ = rows_;
    for (int32_t c = first; c <= last; ++c)
        if (!load_tile(frame, c, tileRow * columns_ + c, tile_width(width_, c)))
            return false;
    return true;
}

// ---- The run coder -----------------------------------------------------------

// Scratch of the coder: the encoder's lines, each column's record length,
// and the band's records one after another, each behind room for the tile
// store's 4-byte header.
constexpr size_t kHeaderRoom = 4;

// In order: the column lengths (at the block's start, aligned), the
// encoder's lines, a cell buffer, the records.
size_t run_coder_scratch(int32_t width) {
    size_t columns = static_cast<size_t>((width + kTileSide - 1) / kTileSide);
    return columns * sizeof(int32_t) + 2 * static_cast<size_t>(t6_workspace_entries(kTileSide)) + 4 * kCellPairs +
           columns * (kHeaderRoom + kRawTileBytes);
}

namespace {

// Codes `pending` rows that repeat the reference line at `length`, if any.
bool put_repeats(T6Encoder &encoder, uint32_t &pending, uint8_t *out, uint32_t bound, uint32_t &length) {
    if (pending == 0)
        return true;
    const int32_t n = encoder.encode_repeats(pending, out + length, bound - length);
    pending = 0;
    length += n > 0 ? static_cast<uint32_t>(n) : 0;
    return n >= 0;
}

// Codes column c as tile_encode() would code its pixels: the record's
// length in `out`, or kRecordBlank. White rows before the first black one
// are counted and coded only once a black row comes: a blank tile, the
// commonest on a drawing, costs no coding at all. Rows equal to the row
// above (and those white rows, against the white reference) are gathered
// and coded as repeats in one call, with the bytes the element coder would
// write. On the drawing page's load 418,000 of the 619,000 rows coded
// repeat the one above; comparing their pairs and putting their ones in one
// call took the coder from 217 to 166 million instructions (callgrind).
template <typename Cells>
int32_t code_column(const Cells &cells, int32_t c, int32_t tileWidth, int32_t rows, uint8_t *out,
                    uint16_t *workspace, uint16_t *buffer) {
    if (cells.known_blank(c, rows))
        return kRecordBlank;
    const uint32_t raw = raw_bytes(tileWidth, rows), bound = code_bound(raw);
    T6Encoder encoder;
    bool started = false; // a black row came and the encoder is set up
    uint32_t pending = 0; // rows repeating the reference line, not yet coded
    uint32_t length = 0;
    bool fits = true;
    for (int32_t y = 0; y < rows && fits; ++y) {
        uint32_t count;
        const uint16_t *pairs = cells.cell_pairs(c, y, buffer, count);
        if (!started) {
            if (count == 0) {
                ++pending;
                continue;
            }
            started = true;
            if (!encoder.init(static_cast<uint32_t>(tileWidth), workspace)) {
                fits = false; // the raw lines, below
                break;
            }
        } else if (encoder.repeats_reference(pairs, count)) {
            ++pending;
            continue;
        }
        fits = put_repeats(encoder, pending, out, bound, length);
        const int32_t n = fits ? encoder.encode_row(pairs, count, out + length, bound - length) : -1;
        fits = n >= 0;
        length += fits ? static_cast<uint32_t>(n) : 0;
    }
    if (!started)
        return kRecordBlank;
    fits = fits && put_repeats(encoder, pending, out, bound, length);
    if (fits) {
        int32_t last = encoder.finish(out + length, bound - length);
        if (last >= 0)
            return static_cast<int32_t>(length) + last;
    }
    // Too busy to code below the bound: the raw lines.
    uint32_t line = raster_line_bytes(1, tileWidth);
    for (int32_t y = 0; y < rows; ++y) {
        uint32_t count;
        const uint16_t *pairs = cells.cell_pairs(c, y, buffer, count);
        unpack_black_runs(out + static_cast<size_t>(y) * line, static_cast<uint32_t>(tileWidth), pairs, count);
    }
    return static_cast<int32_t>(raw);
}

// A band of tiles that hold no record yet (a load) goes to the store in one
// write; a band that replaces records (the turns) goes tile by tile, each
// record to its old place where it fits, as the pixel path writes it.
// Made for each final cell source: its cell_pairs() is then inlined into
// the row loop, with what depends on the column alone taken out of it (a
// call through the interface cost the half turn of the drawing page about
// 7 ms, a tenth of its time).
template <typename Cells>
bool code_cells(int32_t frame, int32_t tileRow, const Cells &cells, int32_t rows, uint8_t *scratch) {
    const QI_FrameRecord *f = frame_lookup(frame);
    if (!f || !f->locked || f->kind != 1 || tileRow < 0 || tileRow >= tile_rows(*f) ||
        rows != min32(kTileSide, f->height - tileRow * kTileSide))
        return false;
    const int32_t store = f->tileStore, columns = tile_columns(*f), width = f->width, first = tileRow * columns;
    int32_t *lengths = reinterpret_cast<int32_t *>(scratch);
    uint16_t *workspace = reinterpret_cast<uint16_t *>(lengths + columns);
    uint16_t *buffer = workspace + t6_workspace_entries(kTileSide);
    uint8_t *records = reinterpret_cast<uint8_t *>(buffer + 2 * kCellPairs);
    bool fresh = true;
    size_t at = 0;
    for (int32_t c = 0; c < columns; ++c) {
        lengths[c] = code_column(cells, c, tile_width(width, c), rows, records + at + kHeaderRoom, workspace, buffer);
        if (lengths[c] >= 0)
            at += kHeaderRoom + static_cast<size_t>(lengths[c]);
        fresh = fresh && tile_is_blank(frame, first + c);
    }
    if (fresh)
        return tile_store_append(store, first, columns, lengths, records);
    at = 0;
    for (int32_t c = 0; c < columns; ++c) {
        if (!tile_store_write(store, first + c, records + at + kHeaderRoom, lengths[c]))
            return false;
        if (lengths[c] >= 0)
            at += kHeaderRoom + static_cast<size_t>(lengths[c]);
    }
    return true;
}

} // namespace

bool code_tile_row(int32_t frame, int32_t tileRow, const RunGrid &cells, int32_t rows, uint8_t *scratch) {
    return code_cells(frame, tileRow, cells, rows, scratch);
}

bool code_tile_row(int32_t frame, int32_t tileRow, const TurnedCells &cells, int32_t rows, uint8_t *scratch) {
    return code_cells(frame, tileRow, cells, rows, scratch);
}

// ---- Turned cells ------------------------------------------------------------

// Blank when every source tile that result column c takes, in each grid the
// rows come from (two at most, in runs), is known blank.
bool TurnedCells::known_blank(int32_t c, int32_t rows) const {
    int32_t low = c, high = c;
    if (mirror_) {
        const int32_t x0 = c * kTileSide, x1 = min32(x0 + kTileSide, width_);
        low = (width_ - x1) / kTileSide;
        high = (width_ - x0 - 1) / kTileSide;
    }
    const RunGrid *last = nullptr;
    for (int32_t y = 0; y < rows; ++y) {
        if (grids_[y] == last)
            continue;
        last = grids_[y];
        for (int32_t t = low; t <= high; ++t)
            if (!last->known_blank(t, rows))
                return false;
    }
    return true;
}

// Result tile c covers result pixels [x0, x1), source pixels [W - x1, W - x0):
// the source cells are walked right to left and pair by pair backwards, so
// that the mirrored pieces come out ascending; a piece that touches the one
// before (across the source tile edge) is joined to it.
namespace {
// Appends to `out` (n pairs so far) the first `k` pairs of a source cell
// whose tile starts at `origin`, mirrored about `high`, last first: the
// parts inside [low, high) of each, stopping at the first pair ending at or
// left of `low`. The upper and the lower source tile of a result tile both
// go through here; only the upper one can hold pairs reaching past `high`.
template <bool ClipHigh>
inline uint32_t put_mirrored(const uint16_t *p, uint32_t k, uint32_t origin, uint32_t low, uint32_t high,
                             uint16_t *out, uint32_t n) {
    for (uint32_t i = k; i-- > 0;) {
        uint32_t s = p[2 * i] + origin, e = p[2 * i + 1] + origin;
        if (ClipHigh && e > high)
            e = high;
        if (e <= low)
            break;
        if (s < low)
            s = low;
        out[2 * n] = static_cast<uint16_t>(high - e);
        out[2 * n + 1] = static_cast<uint16_t>(high - s);
        ++n;
    }
    return n;
}
} // namespace

const uint16_t *TurnedCells::cell_pairs(int32_t c, int32_t y, uint16_t *buffer, uint32_t &count) const {
    const RunGrid &grid = *grids_[y];
    const int32_t row = rows_[y];
    if (!mirror_)
        return grid.cell(c, row, count);
    const uint32_t w = static_cast<uint32_t>(width_), x0 = static_cast<uint32_t>(c) * kTileSide;
    const uint32_t x1 = x0 + kTileSide < w ? x0 + kTileSide : w;
    const uint32_t low = w - x1, high = w - x0; // the source range
    const uint32_t top = (high - 1) / kTileSide, bottom = low / kTileSide;
    uint32_t k;
    const uint16_t *p = grid.cell(static_cast<int32_t>(top), row, k);
    // Pairs of the upper tile starting at or past `high` belong to the
    // result tile on the left: the ones to take come first.
    const uint32_t edge = high - top * kTileSide;
    uint32_t taken = 0;
    while (taken < k && p[2 * taken] < edge)
        ++taken;
    uint32_t n = put_mirrored<true>(p, taken, top * kTileSide, low, high, buffer, 0);
    if (bottom != top) {
        // The lower source tile: its first pair is joined to the last piece
        // when they touch at the tile edge.
        p = grid.cell(static_cast<int32_t>(bottom), row, k);
        const uint32_t origin = bottom * kTileSide, joint = high - (origin + kTileSide);
        if (k != 0 && n != 0 && p[2 * k - 1] == kTileSide && buffer[2 * n - 1] == joint) {
            --k;
            const uint32_t s = p[2 * k] + origin;
            buffer[2 * n - 1] = static_cast<uint16_t>(high - (s < low ? low : s));
        }
        n = put_mirrored<false>(p, k, origin, low, high, buffer, n);
    }
    count = n;
    return buffer;
}

void mirror_runs(uint16_t *pairs, uint32_t count, uint32_t width) {
    for (uint32_t i = 0, j = count; i < j;) {
        --j;
        uint16_t si = pairs[2 * i], ei = pairs[2 * i + 1];
        uint16_t sj = pairs[2 * j], ej = pairs[2 * j + 1];
        pairs[2 * i] = static_cast<uint16_t>(width - ej);
        pairs[2 * i + 1] = static_cast<uint16_t>(width - sj);
        if (i != j) {
            pairs[2 * j] = static_cast<uint16_t>(width - ei);
            pairs[2 * j + 1] = static_cast<uint16_t>(width - si);
        }
        ++i;
    }
}

} // namespace quill

#if defined(QUILL_TEST_HOOKS)
extern "C" void qi_test_run_paths(int on) { quill::g_runPathsOff = on == 0; }
#endif
