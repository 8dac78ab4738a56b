/*
 * polygons.cpp - widening and narrowing of polygon points.
 *
 * Wpoly points are unsigned 16-bit and are zero-extended before the offset is
 * added; DWpoly points are signed 32-bit and are cut to their low 16 bits on
 * the way back. The narrowing runs forwards in place: the k-th 16-bit word
 * lands at byte 4 + 2k, never beyond the 32-bit value it comes from
 * (byte 4 + 4k), so no value is overwritten before it has been read.
 * Points are read and written with memcpy: the blocks come from the host and
 * carry no alignment promise beyond bytes.
 */
#include "quillstd.h"

#include <string.h>

extern "C" QS_API void *qs_WpolyToDWpoly(const void *wpoly, int32_t dx, int32_t dy) {
    if (!wpoly)
        return nullptr;
    const uint8_t *src = static_cast<const uint8_t *>(wpoly);
    int32_t count;
    memcpy(&count, src, 4);
    if (count < 0 || count > (INT32_MAX - 4) / 8)
        return nullptr;
    uint8_t *dst = static_cast<uint8_t *>(qs_malloc(4u + 8u * static_cast<uint32_t>(count)));
    if (!dst)
        return nullptr;
    memcpy(dst, &count, 4);
    for (int32_t i = 0; i < count; ++i) {
        uint16_t p[2];
        memcpy(p, src + 4 + 4 * static_cast<size_t>(i), 4);
        uint32_t out[2] = {static_cast<uint32_t>(p[0]) + static_cast<uint32_t>(dx),
                           static_cast<uint32_t>(p[1]) + static_cast<uint32_t>(dy)};
        memcpy(dst + 4 + 8 * static_cast<size_t>(i), out, 8);
    }
    return dst;
}

extern "C" QS_API void qs_DWpolyToWpoly(void *dwpoly) {
    if (!dwpoly)
        return;
    uint8_t *poly = static_cast<uint8_t *>(dwpoly);
    int32_t count;
    memcpy(&count, poly, 4);
    for (int64_t k = 0; k < 2 * static_cast<int64_t>(count); ++k) {
        uint32_t value;
        memcpy(&value, poly + 4 + 4 * k, 4);
        uint16_t low = static_cast<uint16_t>(value);
        memcpy(poly + 4 + 2 * k, &low, 2);
    }
}
