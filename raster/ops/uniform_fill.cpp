/*
 * uniform_fill.cpp - QI_DmriUniformFill: one colour over a whole raw raster.
 *
 * Kinds of one byte or less a pixel (bilevel, grey, palette index) are one
 * memset of the whole buffer with the colour's low byte, row padding
 * included: for a bilevel raster that byte is the pattern of eight pixels
 * (0xFF white, 0x00 black; other values give the stripes they spell). Colour
 * rasters (three bytes a pixel) lay the colour's three low bytes on each
 * row's pixels and leave the padding alone: the first row is built pixel by
 * pixel and copied into the others, which is as fast as a memset for rows of
 * any length and keeps the pattern's phase right at every row start.
 *
 * Decisions:
 *  - A null buffer, a size below 1 or a kind other than 1 to 4 does
 *    nothing: the function has no result to report a refusal with, and
 *    touching memory it cannot size would be worse.
 *  - The buffer's size is height lines of QI_GetLineBWi(kind, width) bytes,
 *    computed in 64 bits so that no product wraps.
 */
#include "draw.h"

#include "../../base/raster_line.h"
#include "quillimg.h"

#include <string.h>

namespace quill {

namespace {

void fill_colour_rows(uint8_t *pixels, int32_t width, int32_t height, uint32_t colour) {
    size_t line = quill::raster_line_bytes(4, width);
    uint8_t y = static_cast<uint8_t>(colour), u = static_cast<uint8_t>(colour >> 8),
            v = static_cast<uint8_t>(colour >> 16);
    for (int32_t x = 0; x < width; ++x) {
        pixels[3 * static_cast<size_t>(x)] = y;
        pixels[3 * static_cast<size_t>(x) + 1] = u;
        pixels[3 * static_cast<size_t>(x) + 2] = v;
    }
    size_t used = 3 * static_cast<size_t>(width);
    for (int32_t r = 1; r < height; ++r)
        memcpy(pixels + r * line, pixels, used);
}

} // namespace

void uniform_fill(uint8_t *pixels, int32_t width, int32_t height, uint32_t colour, int32_t kind) {
    if (kind == 4) {
        fill_colour_rows(pixels, width, height, colour);
        return;
    }
    size_t bytes = static_cast<size_t>(raster_line_bytes(kind, width)) * static_cast<size_t>(height);
    memset(pixels, static_cast<uint8_t>(colour), bytes);
}

} // namespace quill

extern "C" QI_API void QI_DmriUniformFill(uint8_t *pixels, int width, int height, uint32_t colour, int kind) {
    if (!pixels || width < 1 || height < 1 || colour == 0xFFFFFFFFu || kind < 1 || kind > 4)
        return;
    quill::uniform_fill(pixels, width, height, colour, kind);
}
