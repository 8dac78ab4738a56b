/*
 * raster_line.h - the byte length of a raster line, shared by quillimg and
 * quillvec (each exports it under its own name; they do not call each other).
 * Bilevel lines end on a 16-bit boundary, all others on a 32-bit one.
 */
#ifndef QUILL_BASE_RASTER_LINE_H
#define QUILL_BASE_RASTER_LINE_H

#include <stdint.h>

namespace quill {

inline uint32_t raster_line_bytes(int32_t kind, int32_t width) {
    uint32_t w = static_cast<uint32_t>(width);
    switch (kind & 0xFF) {
    case 1:
        return ((w + 15u) >> 4) << 1;
    case 2:
    case 3:
        return (w + 3u) & ~3u;
    default:
        return (3u * w + 3u) & ~3u;
    }
}

} // namespace quill

#endif
