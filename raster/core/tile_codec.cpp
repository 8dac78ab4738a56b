/*
 * tile_codec.cpp - the plain tile coding: all-white bilevel tiles become the
 * blank mark, every other tile is stored as its raw lines (a raw record is
 * valid under every coding: it is the largest record a store is sized for).
 * Frames with a palette end each record with a flag byte: 1 when the tile
 * holds palette indices, 0 when it holds colour pixels.
 */
#include "tile_codec.h"

#include "../../base/raster_line.h"
#include "tile_store.h"

#include <string.h>

namespace quill {

namespace {
uint32_t raw_bytes(const QI_FrameRecord &frame, int32_t width, int32_t height) {
    return raster_line_bytes(frame.kind, width) * static_cast<uint32_t>(height);
}

bool has_palette_flag(const QI_FrameRecord &frame) { return frame.palette != 0; }
} // namespace

bool bilevel_tile_is_white(const uint8_t *tile, int32_t width, int32_t height) {
    uint32_t line = raster_line_bytes(1, width);
    uint32_t fullBytes = static_cast<uint32_t>(width) / 8;
    uint8_t lastMask = static_cast<uint8_t>(0xFF00u >> (width & 7));
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t *row = tile + static_cast<size_t>(y) * line;
        for (uint32_t i = 0; i < fullBytes; ++i)
            if (row[i] != 0xFF)
                return false;
        if ((width & 7) && (row[fullBytes] & lastMask) != lastMask)
            return false;
    }
    return true;
}

int32_t tile_encode(const QI_FrameRecord &frame, int32_t width, int32_t height,
                    const uint8_t *tile, uint8_t *record) {
    if (frame.kind == 1 && bilevel_tile_is_white(tile, width, height))
        return kRecordBlank;
    uint32_t bytes = raw_bytes(frame, width, height);
    memcpy(record, tile, bytes);
    if (has_palette_flag(frame))
        record[bytes++] = 0; // colour pixels, not palette indices
    return static_cast<int32_t>(bytes);
}

bool tile_decode(const QI_FrameRecord &frame, int32_t width, int32_t height,
                 const uint8_t *record, int32_t length, uint8_t *tile) {
    uint32_t bytes = raw_bytes(frame, width, height);
    uint32_t expected = bytes + (has_palette_flag(frame) ? 1 : 0);
    if (length < 0 || static_cast<uint32_t>(length) != expected)
        return false;
    memcpy(tile, record, bytes);
    return true;
}

} // namespace quill
