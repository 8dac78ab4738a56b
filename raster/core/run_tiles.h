/*
 * run_tiles.h - one tile row of a bilevel frame held as black-run lists, and
 * the engine that codes such a tile row into the frame's tile store without
 * ever drawing a pixel row.
 *
 * A RunGrid holds the runs of a band of up to 128 rows across the frame's
 * tile columns: one cell per (tile column, row) with that tile's pairs in
 * tile coordinates (0 to 128). Full-width rows go in cut at the tile columns
 * (add_row) and come out joined across them (row); a frame's coded tile row
 * goes in decoded tile by tile (load_tile_row). The run coder of a band
 * codes each tile column of a grid as one T.6 stream from the cells and
 * stores it under exactly the decision tile_encode() takes on the pixels
 * (blank mark, T.6 code below 6/8 of the raw size, else raw lines), so the
 * records are those the pixel path writes.
 *
 * Users: the TIFF reader's CCITT strips (decoded changing elements straight
 * into tiles) and the half turn and mirrors of bilevel frames (source tile
 * rows decoded to runs, rows reversed or taken bottom up, coded back).
 */
#ifndef QUILL_RASTER_CORE_RUN_TILES_H
#define QUILL_RASTER_CORE_RUN_TILES_H

#include "../../base/holder.h"

#include <stddef.h>
#include <stdint.h>

namespace quill {

// Most pairs a cell of a tile 128 pixels wide holds.
constexpr uint32_t kCellPairs = 64;

// What the run coder codes: the pairs of tile column c in band row y, in
// tile coordinates, ascending, none empty (pairs may touch). `buffer` has
// room for kCellPairs pairs for a source that has to build them.
class CellSource {
public:
    virtual const uint16_t *cell_pairs(int32_t c, int32_t y, uint16_t *buffer, uint32_t &count) const = 0;
    // True when column c is known to be white in all `rows` rows (false
    // when unknown): the coder then asks for none of its cells.
    virtual bool known_blank(int32_t c, int32_t rows) const = 0;

protected:
    ~CellSource() = default;
};

class RunGrid final : public CellSource {
public:
    // Prepares a grid for a frame `width` pixels wide (1 to 65535), bands of
    // up to 128 rows. False when memory runs out.
    bool init(int32_t width);
    // Empties the grid for a band of `rows` rows (1 to 128).
    void start(int32_t rows);
    // Appends the next row as a full-width black-run list (ascending pairs,
    // which may touch; empty ones skipped, ends clipped to the width). False
    // when memory runs out, the band is full or the pairs descend.
    bool add_row(const uint16_t *pairs, uint32_t count);
    // Fills the grid with tile row `tileRow` of the locked bilevel frame
    // (band height from the frame). False when a record cannot be read or
    // decoded, or memory runs out.
    bool load_tile_row(int32_t frame, int32_t tileRow);
    // The same for tile columns first to last only; the cells of the other
    // columns are not to be read until the next start or load.
    bool load_tile_columns(int32_t frame, int32_t tileRow, int32_t first, int32_t last);
    // Writes row y as a full-width black-run list into `out` (room for
    // (width + 1) / 2 pairs): ascending, not touching. Returns the count.
    uint32_t row(int32_t y, uint16_t *out) const;
    // The pairs of tile column c in row y, in tile coordinates.
    const uint16_t *cell(int32_t c, int32_t y, uint32_t &count) const {
        const Cell &k = cells_[static_cast<size_t>(c) * kRows + static_cast<size_t>(y)];
        count = k.count;
        return pairs_.get() + k.start;
    }
    int32_t width() const { return width_; }
    int32_t rows() const { return rows_; }
    int32_t columns() const { return columns_; }
    // Widest pair list a row of this grid can need.
    uint32_t row_capacity() const { return (static_cast<uint32_t>(width_) + 1) / 2; }
    const uint16_t *cell_pairs(int32_t c, int32_t y, uint16_t *, uint32_t &count) const override {
        return cell(c, y, count);
    }
    // Known for a tile row loaded from a frame: its tiles without a record.
    bool known_blank(int32_t c, int32_t) const override { return blank_[static_cast<size_t>(c)] != 0; }

private:
    static constexpr int32_t kRows = 128;
    struct Cell {
        uint32_t start; // in uint16 entries of pairs_
        uint32_t count; // pairs
    };
    bool reserve(size_t entries);
    static void put_piece(Cell &k, uint16_t *out, size_t &used, uint32_t s, uint32_t e);
    void add_ascending_row(const uint16_t *pairs, uint32_t count);
    bool append_pair(uint32_t start, uint32_t end);
    bool load_tile(int32_t frame, int32_t column, int32_t index, int32_t tileWidth);
    bool cells_from_raw(int32_t column, const uint8_t *raw, int32_t tileWidth);

    HeapBlock<Cell> cells_;     // column-major: cell (c, y) at c * 128 + y
    HeapBlock<uint8_t> blank_;  // per column: 1 when known white
    HeapBlock<uint16_t> pairs_; // cells' pairs, each cell's contiguous
    HeapBlock<uint8_t> record_; // a tile record while decoding
    HeapBlock<uint16_t> coder_; // decoder workspace of a tile's width
    size_t used_ = 0, capacity_ = 0;
    int32_t width_ = 0, columns_ = 0, rows_ = 0, added_ = 0;
};

// A band seen through a half turn or a mirror: band row y is row rows[y]
// of grids[y] (grids of the frame's width), mirrored left to right when
// `mirror`. Mirrored cells are built from the one or two source cells that
// the result tile covers (a result tile straddles two source tiles unless
// the width is a multiple of 128), so no full row is joined or cut again.
class TurnedCells final : public CellSource {
public:
    TurnedCells(int32_t width, bool mirror) : width_(width), mirror_(mirror) {}
    void set_row(int32_t y, const RunGrid *grid, int32_t row) {
        grids_[y] = grid;
        rows_[y] = row;
    }
    const uint16_t *cell_pairs(int32_t c, int32_t y, uint16_t *buffer, uint32_t &count) const override;
    bool known_blank(int32_t c, int32_t rows) const override;

private:
    int32_t width_;
    bool mirror_;
    const RunGrid *grids_[128] = {};
    int32_t rows_[128] = {};
};

// Codes every tile column of `cells` into tile row `tileRow` of the locked
// bilevel frame (`rows` must be that tile row's height and the cells' width
// the frame's), tiles from the left. `scratch` is
// run_coder_scratch(width) bytes, aligned for uint32. False when a tile
// cannot be coded or stored; the tiles before it stay written, each one
// whole (a band of tiles that had no record is written all or nothing).
bool code_tile_row(int32_t frame, int32_t tileRow, const RunGrid &cells, int32_t rows, uint8_t *scratch);
bool code_tile_row(int32_t frame, int32_t tileRow, const TurnedCells &cells, int32_t rows, uint8_t *scratch);
size_t run_coder_scratch(int32_t width);

// Reverses a full-width black-run list in place: pixel x goes to
// width - 1 - x, so (start, end) becomes (width - end, width - start) and
// the pairs' order is reversed.
void mirror_runs(uint16_t *pairs, uint32_t count, uint32_t width);

// True when a bilevel frame or image of this width takes the run-list
// paths: run lists hold 16-bit positions, so rows past 65535 pixels keep
// the pixel paths; and a test may switch the run-list paths off, so that
// loads and turns take their pixel paths (the oracle of the run-list ones).
bool run_paths_take(int32_t width);

} // namespace quill

#if defined(QUILL_TEST_HOOKS)
extern "C" void qi_test_run_paths(int on);
#endif

#endif
