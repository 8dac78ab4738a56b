/*
 * run_codes.h - the lossless run codes of grey and colour tiles.
 *
 *  - byte run code: pairs (value, count), count 1 to 255; longer runs are
 *    split into pieces of 255 and a remainder;
 *  - pixel run code: groups of four bytes (the three bytes of a pixel, then
 *    a count 1 to 255), split the same way.
 * Items are read from rows with padding (a tile's lines) as one packed
 * sequence: runs go on across row ends. The coders stop as soon as the code
 * would reach `limit` bytes, so that the caller can store the bytes uncoded
 * instead; the decoders accept a code only when it fills the output exactly.
 */
#ifndef QUILL_RASTER_CODECS_RUN_CODES_H
#define QUILL_RASTER_CODECS_RUN_CODES_H

#include <stdint.h>

namespace quill {

// Rows of `width` items of `size` bytes (1 or 3), `line` bytes apart.
struct ItemRows {
    const uint8_t *data;
    uint32_t line;
    int32_t width, height;
    uint32_t size;
};

// Codes the items; returns the code's length, or -1 when it would reach
// `limit` bytes.
int32_t run_encode(const ItemRows &rows, uint8_t *code, uint32_t limit);

// Decodes whole groups of `code` until n items of `size` bytes are out, packed;
// bytes left over after that are ignored. False when the code ends early,
// holds a count of 0, or would write past n items.
bool run_decode(const uint8_t *code, uint32_t length, uint32_t size, uint8_t *items, uint32_t n);

} // namespace quill

#endif
