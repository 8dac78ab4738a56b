/*
 * palette_kernels.h - the pixel and table work of palette objects: the
 * nearest-entry search that fills the inverse colour map, the grey map, the
 * ordered-dither tables, and the mapping of rasters to palette indices.
 * Kernels take raw rows and tables; they never see a palette object, a
 * file or the progress callback (palette.cpp is their shell).
 */
#ifndef QUILL_RASTER_COLOUR_PALETTE_KERNELS_H
#define QUILL_RASTER_COLOUR_PALETTE_KERNELS_H

#include <stddef.h>
#include <stdint.h>

namespace quill {

// Cells of the inverse colour map: 64 levels of each of Y, U and V.
constexpr size_t kColourMapCells = 64 * 64 * 64;
// The nearest-entry search works on blocks of this many cells, taken from
// chunks of this many (four planes of V); callers hand it whole chunks.
constexpr size_t kNearestBlock = 256;
constexpr size_t kNearestChunk = 4 * 4096;

// The standard 8 x 8 ordered-dither (Bayer) matrix, row by row.
extern const uint8_t kBayer8[64];

// For each of the `cells` points of `bgr` (3 bytes each: B, G, R), the
// index of the entry of `colours` (count entries of 4 bytes, B, G, R and
// one unused byte) with the smallest squared distance; ties go to the
// highest index. `bgr` and `out` start at a cell that is a multiple of
// kNearestChunk, and `cells` is a multiple of kNearestChunk.
void nearest_entries(const uint8_t *bgr, size_t cells, const uint8_t *colours, int count, uint8_t *out);

// Fills the 256-byte grey map (the nearest grey entry for every level, the
// later entry on a tie; index 0 when there is no grey entry) and returns
// the number of grey entries, at least 1.
int build_grey_map(const uint8_t *colours, int count, uint8_t *greyMap);

// Amplitude of a dither table for `divisor` levels: 255 / divisor with the
// lowest bit cleared; divisors below 1 count as 1.
int dither_amplitude(int32_t divisor);
// Table entry floor(d * amplitude / 63) - amplitude / 2 for each Bayer d.
void fill_dither(int amplitude, int8_t *table);
// Table entry 4 d - 126 for each Bayer d: centred on the threshold 128.
void fill_bilevel_dither(int8_t *table);

// Grey map applied to `bytes` bytes in place.
void grey_to_indices(uint8_t *raster, size_t bytes, const uint8_t *greyMap);
// Each byte of every line (pad bytes too) dithered with `table` at its
// position (x + x0, y + y0), clamped, and mapped through the grey map.
void grey_dither_to_indices(uint8_t *raster, size_t stride, int32_t height, const int8_t *table,
                            const uint8_t *greyMap, uint32_t x0, uint32_t y0);
// Grey pixels dithered with `table` and thresholded at 128 into bilevel
// lines of `outStride` bytes written from the start of the buffer (in
// place: outStride <= stride); pad bits white.
void grey_dither_to_bilevel(uint8_t *raster, size_t stride, size_t outStride, int32_t width, int32_t height,
                            const int8_t *table, uint32_t x0, uint32_t y0);
// Colour pixels (Y, U, V) to one colour-map index byte each, in lines of
// `outStride` bytes from the start of the buffer (in place: outStride <=
// stride); Y first dithered with `table` unless it is null; pad bytes 0.
void colour_to_indices(uint8_t *raster, size_t stride, size_t outStride, int32_t width, int32_t height,
                       const uint8_t *colourMap, const int8_t *table, uint32_t x0, uint32_t y0);
// Bilevel pixels to `white` (1) or `black` (0) bytes, lines of `outStride`
// bytes; pad bytes 0.
void bilevel_to_indices(const uint8_t *source, size_t stride, int32_t width, int32_t height, uint8_t *out,
                        size_t outStride, uint8_t white, uint8_t black);

} // namespace quill

#endif
