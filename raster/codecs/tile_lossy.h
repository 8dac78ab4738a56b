/*
 * tile_lossy.h - the lossy block coding of grey and colour tiles (frame
 * modes 2, 3 and 4): 8 x 8 blocks, 16 transform coefficients each through
 * the loaded YX tables (lossy_tables.h), quantised per mode and component, and
 * a record of zero map, 4-bit magnitudes, sign map and escapes.
 *
 * Both functions need the YX tables (g_yx) loaded and prepared; without
 * them they fail. They keep working values in the tables' work areas, so
 * calls must not overlap (as for every tile transfer).
 */
#ifndef QUILL_RASTER_CODECS_TILE_LOSSY_H
#define QUILL_RASTER_CODECS_TILE_LOSSY_H

#include <stdint.h>

namespace quill {

// The longest record of one component: zero map 512, magnitudes 2048, sign
// map 512 and escapes 4096 bytes for a full tile whose 4096 values are all
// escapes. A grey record is therefore at most 7168 bytes and a colour one
// 21504, well inside the tile store's largest records (16384 and 49153):
// the lossy code never needs a fall back to plain storage.
constexpr uint32_t kLossyComponentMax = 7168;

// Upper bound of the record length for a tile of this kind and size
// (0 for a kind or size the coding does not take).
uint32_t lossy_record_bound(int32_t kind, int32_t width, int32_t height);

// True when the YX tables are loaded, that is when modes 2..4 can be coded.
bool lossy_available();

// Codes a tile.
//  kind    2 (grey, one byte a pixel) or 4 (colour, three bytes a pixel);
//  mode    2, 3 or 4 (the quantisation; 4 is the coarsest);
//  width, height   the tile's size, 1..128 each;
//  tile    in: `height` rows of pixels, `tileLine` bytes apart (tileLine at
//          least width * bytes a pixel; padding is not read);
//  record  out: the record, at most `capacity` bytes written.
// Returns the record's length, or -1 when an argument is out of range, the
// tables are absent, or the record would not fit `capacity` (the bytes
// written up to then are of no meaning). lossy_record_bound() bytes of
// capacity always suffice.
int32_t lossy_encode(int32_t kind, int32_t mode, int32_t width, int32_t height,
                     const uint8_t *tile, uint32_t tileLine, uint8_t *record, uint32_t capacity);

// Decodes a record of `length` bytes made by lossy_encode with the same
// kind, mode, width and height into the tile (out: `height` rows of
// `width` pixels, `tileLine` bytes apart; padding bytes and anything beyond
// the rows are not written). Returns false, with the tile untouched, when an
// argument is out of range, the tables are absent, or the record is not a
// whole valid record of that tile: it ends early, has bytes left over, or
// holds an escape outside 16..128. Reads stay within the `length` bytes.
bool lossy_decode(int32_t kind, int32_t mode, int32_t width, int32_t height,
                  const uint8_t *record, int32_t length, uint8_t *tile, uint32_t tileLine);

} // namespace quill

#endif
