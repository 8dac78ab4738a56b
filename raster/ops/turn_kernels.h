/*
 * turn_kernels.h - the pixel work of quarter turns, half turns and mirrors
 * on rasters in memory: (data, stride, width, height), one kernel per pixel
 * kind. The frame operations in orthogonal.cpp read a band of a frame into
 * a buffer, call one of these, and write the result back; the kernels know
 * nothing of frames.
 *
 * Rows are laid out as everywhere in the library: bilevel rows with pixel 0
 * in the most significant bit of byte 0 (1 white), grey rows of one byte a
 * pixel, colour rows of three bytes a pixel. Strides are in bytes and are at
 * least the row's used bytes; pad bits and bytes are never read as pixels.
 */
#ifndef QUILL_RASTER_OPS_TURN_KERNELS_H
#define QUILL_RASTER_OPS_TURN_KERNELS_H

#include <stddef.h>
#include <stdint.h>

namespace quill {

enum class Turn : uint8_t {
    Clockwise,        // result (x', y') = source (y', h - 1 - x')
    CounterClockwise, // result (x', y') = source (w - 1 - y', x')
};

// Turns a w x h raster of `kind` (1, 2 or 4) a quarter into `to`, an h x w
// raster. `from` and `to` must not overlap.
void turn_quarter(int32_t kind, const uint8_t *from, size_t fromStride, int32_t width, int32_t height,
                  uint8_t *to, size_t toStride, Turn turn);

// Kind-specific quarter turns behind turn_quarter. The bilevel one moves
// whole 16 x 16 blocks with turn_block16 and the pixels left over at the
// edges one by one.
void turn_bilevel(const uint8_t *from, size_t fromStride, int32_t width, int32_t height, uint8_t *to,
                  size_t toStride, Turn turn);
void turn_grey(const uint8_t *from, size_t fromStride, int32_t width, int32_t height, uint8_t *to,
               size_t toStride, Turn turn);
void turn_colour(const uint8_t *from, size_t fromStride, int32_t width, int32_t height, uint8_t *to,
                 size_t toStride, Turn turn);

// Turns one 16 x 16 bilevel block: 16 rows of 2 bytes at `from` (rows
// `fromStride` apart) into 16 rows of 2 bytes at `to`. Both blocks start on
// a byte; the 16 pixels of a row are its two bytes.
void turn_block16(const uint8_t *from, size_t fromStride, uint8_t *to, size_t toStride, Turn turn);

// Writes the first `width` pixels of row `from` into row `to` in reverse
// order: pixel x of `to` is pixel width - 1 - x of `from`. The rows must not
// overlap. Pixels are written whole bytes at a time: bilevel pad bits after
// the width are left undefined.
void reverse_row(int32_t kind, const uint8_t *from, uint8_t *to, int32_t width);
void reverse_bilevel_row(const uint8_t *from, uint8_t *to, int32_t width);
void reverse_grey_row(const uint8_t *from, uint8_t *to, int32_t width);
void reverse_colour_row(const uint8_t *from, uint8_t *to, int32_t width);

} // namespace quill

#endif
