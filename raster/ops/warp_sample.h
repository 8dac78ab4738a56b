/*
 * warp_sample.h - the pixel kernels of QI_FrameTransform: copying source
 * pixels into a result tile through the positions of warp_map.h. Each
 * works on rasters in memory (lines of QI_GetLineBWi(kind, width) bytes)
 * and on one pixel kind at a time: 1 bilevel (a bit, most significant
 * first), 2 grey (a byte), 4 colour (three bytes).
 */
#ifndef QUILL_RASTER_OPS_WARP_SAMPLE_H
#define QUILL_RASTER_OPS_WARP_SAMPLE_H

#include "warp_map.h"

#include <stdint.h>

namespace quill {

// A part of the source in memory: the pixels from (left, top) on.
struct SourcePart {
    const uint8_t *pixels;
    uint32_t line;
    int32_t left, top;
};

// The result tile being built, w x h pixels.
struct TileRaster {
    uint8_t *pixels;
    uint32_t line;
    int32_t width, height;
};

// Positions of a tile: xs[j * 128 + i], ys[j * 128 + i] for pixel (i, j);
// xs < 0 marks a pixel outside the source.
struct TilePositions {
    const int32_t *xs, *ys;
};

// Copies the source pixel of every inside pixel of the tile from `part`,
// which holds all of them; outside pixels keep what the tile has.
void warp_sample_tile(int32_t kind, const TilePositions &positions, const SourcePart &part, TileRaster &tile);

// As warp_sample_tile for the runs of a method-1 tile, stepping through
// the fixed-point positions as it goes.
void warp_sample_rows(int32_t kind, const AffineRows &rows, const SourcePart &part, TileRaster &tile);

// Source tiles held in memory: tile (tx, ty) of the source, for tx0 <= tx
// < tx0 + columns and ty0 <= ty < ty0 + rows, at tiles[(ty - ty0) *
// columns + tx - tx0]; rows `line` bytes apart, 32 bytes readable behind
// each tile.
struct SourceGrid {
    const uint8_t *const *tiles;
    int32_t tx0, ty0, columns;
    uint32_t line;
};

// True when the rows' steps make the source pixels of a row come in long
// stretches of one source row (small turns, scales near 1): then
// warp_sample_rows copies stretches, and warp_sample_rows_grid may be used.
bool warp_rows_in_pieces(const AffineRows &rows);

// As warp_sample_rows, for rows in pieces (warp_rows_in_pieces), straight
// from the source tiles of `grid`, which holds every inside position.
void warp_sample_rows_grid(int32_t kind, const AffineRows &rows, const SourceGrid &grid, TileRaster &tile);

// As warp_sample_tile for the pixels listed in `keys` (the pixel index
// j * 128 + i in the low 14 bits of each), whose sources `part` holds.
void warp_sample_list(int32_t kind, const uint64_t *keys, int32_t count, const TilePositions &positions,
                      const SourcePart &part, TileRaster &tile);

// Bilevel: makes every inside pixel of the tile white (its source is a
// blank tile, which reads white), or only those listed in `keys`.
void warp_whiten_inside(const TilePositions &positions, TileRaster &tile);
void warp_whiten_rows(const AffineRows &rows, TileRaster &tile);
void warp_whiten_list(const uint64_t *keys, int32_t count, TileRaster &tile);

// The pixel index held in a key of the lists above.
constexpr uint64_t kKeyPixelBits = 14;
inline int32_t key_pixel(uint64_t key) { return static_cast<int32_t>(key & ((1u << kKeyPixelBits) - 1)); }

} // namespace quill

#endif
