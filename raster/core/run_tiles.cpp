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

#if defined(QUILL_TEST_HOOKS)
bool g_runPathsOff = false;
#endif

int32_t min32(int32_t a, int32_t b) { return a < b ? a : b; }

// Bytes of a tile's raw lines, and the T.6 code's bound below 6/8 of them.
uint32_t raw_bytes(int32_t width, int32_t height) { return raster_line_bytes(1, width) * static_cast<uint32_t>(height); }
uint32_t code_bound(uint32_t raw) { return (6 * raw - 1) / 8; }

int32_t tile_width(int32_t frameWidth, int32_t column) { return min32(kTileSide, frameWidth - column * kTileSide); }

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
    return cells_.allocate(static_cast<size_t>(columns_) * kRows) && pairs_.allocate(capacity_) &&
           record_.allocate(kRawTileBytes) && coder_.allocate(t6_workspace_entries(kTileSide));
}

void RunGrid::start(int32_t rows) {
    rows_ = rows;
    added_ = 0;
    used_ = 0;
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

bool RunGrid::column_blank(int32_t c) const {
    const Cell *k = cells_.get() + static_cast<size_t>(c) * kRows;
    for (int32_t y = 0; y < rows_; ++y)
        if (k[y].count != 0)
            return false;
    return true;
}

bool RunGrid::add_row(const uint16_t *pairs, uint32_t count) {
    if (added_ >= rows_)
        return false;
    // A pair crossing k tile edges becomes k + 1 pieces: count + columns
    // pieces at most.
    if (!reserve(used_ + 2 * (static_cast<size_t>(count) + static_cast<size_t>(columns_))))
        return false;
    const int32_t y = added_;
    for (int32_t c = 0; c < columns_; ++c)
        cells_[static_cast<size_t>(c) * kRows + static_cast<size_t>(y)] = Cell{0, 0};
    uint16_t *out = pairs_.get();
    uint32_t lastEnd = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t start = pairs[2 * i], end = pairs[2 * i + 1];
        if (end > static_cast<uint32_t>(width_))
            end = static_cast<uint32_t>(width_);
        if (start >= end)
            continue;
        if (start < lastEnd)
            return false;
        lastEnd = end;
        for (uint32_t t = start / kTileSide; t <= (end - 1) / kTileSide; ++t) {
            uint32_t origin = t * kTileSide;
            uint32_t s = (start > origin ? start : origin) - origin;
            uint32_t e = (end < origin + kTileSide ? end : origin + kTileSide) - origin;
            Cell &k = cells_[static_cast<size_t>(t) * kRows + static_cast<size_t>(y)];
            if (k.count != 0 && out[used_ - 1] == s) {
                out[used_ - 1] = static_cast<uint16_t>(e); // touches the cell's last piece
                continue;
            }
            if (k.count == 0)
                k.start = static_cast<uint32_t>(used_);
            out[used_++] = static_cast<uint16_t>(s);
            out[used_++] = static_cast<uint16_t>(e);
            ++k.count;
        }
    }
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
    int32_t length = tile_store_read(f->tileStore, index, record_.get(), kRawTileBytes);
    if (length == kRecordFailed)
        return false;
    if (length < 0) {
        for (int32_t y = 0; y < rows_; ++y)
            k[y] = Cell{0, 0};
        return true;
    }
    if (static_cast<uint32_t>(length) >= raw_bytes(tileWidth, rows_))
        return cells_from_raw(column, record_.get(), tileWidth);
    T6Decoder decoder;
    if (!decoder.init(static_cast<uint32_t>(tileWidth), coder_.get()))
        return false;
    BitReader reader(record_.get(), static_cast<size_t>(length));
    for (int32_t y = 0; y < rows_; ++y) {
        if (!decoder.decode_row(reader))
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

size_t run_coder_scratch() { return kRawTileBytes + 2 * static_cast<size_t>(t6_workspace_entries(kTileSide)); }

namespace {

// Codes column c of the grid as tile_encode() would code its pixels: the
// record's length in `out`, or kRecordBlank.
int32_t code_column(const RunGrid &grid, int32_t c, int32_t tileWidth, uint8_t *out, uint16_t *workspace) {
    if (grid.column_blank(c))
        return kRecordBlank;
    const int32_t rows = grid.rows();
    const uint32_t raw = raw_bytes(tileWidth, rows), bound = code_bound(raw);
    T6Encoder encoder;
    if (encoder.init(static_cast<uint32_t>(tileWidth), workspace)) {
        uint32_t length = 0;
        int32_t y = 0;
        for (; y < rows; ++y) {
            uint32_t count;
            const uint16_t *pairs = grid.cell(c, y, count);
            int32_t n = encoder.encode_row(pairs, count, out + length, bound - length);
            if (n < 0)
                break;
            length += static_cast<uint32_t>(n);
        }
        if (y == rows) {
            int32_t last = encoder.finish(out + length, bound - length);
            if (last >= 0)
                return static_cast<int32_t>(length) + last;
        }
    }
    // Too busy to code below the bound: the raw lines.
    uint32_t line = raster_line_bytes(1, tileWidth);
    for (int32_t y = 0; y < rows; ++y) {
        uint32_t count;
        const uint16_t *pairs = grid.cell(c, y, count);
        unpack_black_runs(out + static_cast<size_t>(y) * line, static_cast<uint32_t>(tileWidth), pairs, count);
    }
    return static_cast<int32_t>(raw);
}

} // namespace

bool code_tile_row(int32_t frame, int32_t tileRow, const RunGrid &grid, uint8_t *scratch) {
    const QI_FrameRecord *f = frame_lookup(frame);
    if (!f || !f->locked || f->kind != 1 || f->width != grid.width() || tileRow < 0 || tileRow >= tile_rows(*f) ||
        grid.rows() != min32(kTileSide, f->height - tileRow * kTileSide))
        return false;
    const int32_t store = f->tileStore, columns = grid.columns(), width = grid.width();
    uint16_t *workspace = reinterpret_cast<uint16_t *>(scratch + kRawTileBytes);
    for (int32_t c = 0; c < columns; ++c) {
        int32_t length = code_column(grid, c, tile_width(width, c), scratch, workspace);
        if (!tile_store_write(store, tileRow * columns + c, scratch, length))
            return false;
    }
    return true;
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
