/*
 * tiles.cpp - get tile, put tile and the tile geometry of frames.
 *
 * The work buffer of a locked frame holds the decoded tile in its first T
 * bytes and coding scratch behind it; records are read into and coded into
 * the scratch area, so reading a record never disturbs the decoded tile
 * until decoding succeeds.
 */
#include "tiles.h"

#include "../../base/raster_line.h"
#include "library_state.h"
#include "tile_codec.h"
#include "tile_store.h"

#include <string.h>

namespace quill {

namespace {
// The bilevel coder keeps a run table of 33540 bytes behind two tile areas.
constexpr uint32_t kBilevelWorkBytes = 2 * 2048 + 33540;
} // namespace

uint32_t tile_bytes(int32_t kind) {
    return raster_line_bytes(kind, kTileSide) * kTileSide;
}

// A plain grey or colour record is the packed tile and its flag byte; a
// bilevel record is at most the raw tile.
uint32_t largest_record(int32_t kind) { return tile_bytes(kind) + (kind == 1 ? 0 : 1); }

uint32_t work_buffer_bytes(int32_t kind) {
    return kind == 1 ? kBilevelWorkBytes : 2 * tile_bytes(kind) + 1;
}

int32_t tile_columns(const QI_FrameRecord &frame) { return (frame.width + kTileSide - 1) / kTileSide; }

int32_t tile_rows(const QI_FrameRecord &frame) { return (frame.height + kTileSide - 1) / kTileSide; }

int64_t tile_count(const QI_FrameRecord &frame) {
    return static_cast<int64_t>(tile_columns(frame)) * tile_rows(frame);
}

void tile_extent(const QI_FrameRecord &frame, int32_t index, int32_t &width, int32_t &height) {
    int32_t columns = tile_columns(frame);
    int32_t x = (index % columns) * kTileSide;
    int32_t y = (index / columns) * kTileSide;
    width = frame.width - x < kTileSide ? frame.width - x : kTileSide;
    height = frame.height - y < kTileSide ? frame.height - y : kTileSide;
}

QI_FrameRecord *frame_lookup(int32_t frame) {
    return static_cast<QI_FrameRecord *>(slot_table_lookup(g_library.frames, frame));
}

bool get_tile(int32_t frame, int32_t index) {
    QI_FrameRecord *f = frame_lookup(frame);
    if (!f || !f->locked || index < 0 || index >= tile_count(*f))
        return false;
    uint32_t front = tile_bytes(f->kind);
    uint8_t *scratch = f->workBuffer + front;
    int32_t length = tile_store_read(f->tileStore, index, scratch, work_buffer_bytes(f->kind) - front);
    if (length == kRecordFailed)
        return false;
    if (length < 0) {
        // Blank: bilevel tiles read white; grey and colour keep the buffer.
        if (f->kind == 1)
            memset(f->workBuffer, 0xFF, front);
        return true;
    }
    int32_t width, height;
    tile_extent(*f, index, width, height);
    return tile_decode(*f, width, height, scratch, length, f->workBuffer);
}

bool put_tile(int32_t frame, int32_t index) {
    QI_FrameRecord *f = frame_lookup(frame);
    if (!f || !f->locked || index < 0 || index >= tile_count(*f))
        return false;
    int32_t width, height;
    tile_extent(*f, index, width, height);
    uint8_t *scratch = f->workBuffer + tile_bytes(f->kind);
    int32_t length = tile_encode(*f, width, height, f->workBuffer, scratch);
    return length != kRecordFailed && tile_store_write(f->tileStore, index, scratch, length);
}

bool tile_is_blank(int32_t frame, int32_t index) {
    QI_FrameRecord *f = frame_lookup(frame);
    if (!f)
        return false;
    uint32_t entry = tile_store_entry(f->tileStore, index);
    return entry == kNoRecord || entry == kReserved;
}

} // namespace quill
