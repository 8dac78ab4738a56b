/*
 * dmri_line.cpp - QI_DmriLine_BW: a one-pixel line in a bilevel buffer.
 *
 * The line runs along its major axis (x unless it is steeper than 45
 * degrees), from the end with the smaller major coordinate; point i of the
 * n + 1 has the minor offset trunc(i * d / n), d the signed minor
 * difference, so both ends are drawn and the points are the same whichever
 * end is given first along the major axis.
 *
 * Decisions:
 *  - Coordinates step in 64-bit arithmetic: a line in a buffer wider or
 *    taller than 32767 pixels lands on its own pixels (16-bit steps would
 *    wrap), and lines within 32767 pixels keep exactly the points of the
 *    16-bit stepping, since trunc(i * d / n) is the same number.
 *  - Only the points whose major coordinate lies in the buffer are
 *    stepped: a line from far outside costs what its visible part costs,
 *    not 2^32 steps.
 */
#include "quillimg.h"
#include "../../base/raster_line.h"

#include <stddef.h>
#include <stdint.h>

namespace {

struct Ends {
    int64_t major0, minor0, major1, minor1;
};

void put_point(uint8_t *pixels, uint32_t line, int64_t x, int64_t y, bool white) {
    uint8_t *byte = pixels + static_cast<size_t>(y) * line + static_cast<size_t>(x >> 3);
    uint8_t bit = static_cast<uint8_t>(0x80u >> (x & 7));
    *byte = static_cast<uint8_t>(white ? *byte | bit : *byte & ~bit);
}

} // namespace

extern "C" QI_API int QI_DmriLine_BW(uint8_t *pixels, int width, int height, const QI_Point *from,
                                     const QI_Point *to, uint32_t colour) {
    if (!pixels || !from || !to || width < 1 || height < 1)
        return 0;
    int64_t dx = static_cast<int64_t>(to->x) - from->x, dy = static_cast<int64_t>(to->y) - from->y;
    int64_t adx = dx < 0 ? -dx : dx, ady = dy < 0 ? -dy : dy;
    if (adx + ady == 0)
        return 1;
    bool alongX = ady <= adx;
    Ends e = alongX ? Ends{from->x, from->y, to->x, to->y} : Ends{from->y, from->x, to->y, to->x};
    if (e.major1 < e.major0)
        e = Ends{e.major1, e.minor1, e.major0, e.minor0};
    int64_t n = e.major1 - e.major0, d = e.minor1 - e.minor0;
    int64_t majorLimit = alongX ? width : height, minorLimit = alongX ? height : width;
    int64_t first = e.major0 < 0 ? -e.major0 : 0;
    int64_t last = e.major0 + n >= majorLimit ? majorLimit - 1 - e.major0 : n;
    uint32_t line = quill::raster_line_bytes(1, width);
    bool white = colour == QI_COLOR_WHITE;
    for (int64_t i = first; i <= last; ++i) {
        // The product reaches 2^64 for ends far outside: 128 bits. C++
        // division truncates toward zero.
        int64_t minor = e.minor0 + static_cast<int64_t>(static_cast<__int128>(i) * d / n);
        if (minor < 0 || minor >= minorLimit)
            continue;
        int64_t major = e.major0 + i;
        put_point(pixels, line, alongX ? major : minor, alongX ? minor : major, white);
    }
    return 1;
}
