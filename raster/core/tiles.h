/*
 * tiles.h - tile geometry and the tile operations of a locked frame.
 *
 * A frame of w x h pixels has ceil(w / 128) tile columns and ceil(h / 128)
 * tile rows; tile (tx, ty) has index ty * columns + tx. Tiles at the right
 * and bottom edges are as narrow or short as the frame leaves them.
 */
#ifndef QUILL_RASTER_CORE_TILES_H
#define QUILL_RASTER_CORE_TILES_H

#include "quillimg.h"

#include <stdint.h>

namespace quill {

constexpr int32_t kTileSide = 128;

// Bytes of a full 128 x 128 tile of the kind.
uint32_t tile_bytes(int32_t kind);
// Largest record any coding produces for the kind.
uint32_t largest_record(int32_t kind);
// Bytes of the work buffer of a locked frame of the kind.
uint32_t work_buffer_bytes(int32_t kind);

int32_t tile_columns(const QI_FrameRecord &frame);
int32_t tile_rows(const QI_FrameRecord &frame);
int64_t tile_count(const QI_FrameRecord &frame);
// Width and height of tile `index`.
void tile_extent(const QI_FrameRecord &frame, int32_t index, int32_t &width, int32_t &height);

QI_FrameRecord *frame_lookup(int32_t frame);

// The palette block of a locked frame that has one, else null.
inline const uint8_t *frame_loaded_palette(const QI_FrameRecord &frame) {
    return frame.palette > 1 ? reinterpret_cast<const uint8_t *>(frame.palette) : nullptr;
}

// Decodes tile `index` into the front of the work buffer (frame locked).
bool get_tile(int32_t frame, int32_t index);
// Codes the front of the work buffer and stores it as tile `index`.
bool put_tile(int32_t frame, int32_t index);
// True when the tile has no record (it reads as blank).
bool tile_is_blank(int32_t frame, int32_t index);

// Unlocks and deletes every frame; used when the library stops.
void frames_delete_all();

} // namespace quill

#endif
