/*
 * tile_codec.h - the one seam between the frame core and the tile coding.
 *
 * put tile codes the decoded tile at the front of the work buffer into the
 * scratch area behind it; get tile decodes a record from the scratch area
 * back into the front. A tile is w x h pixels (edge tiles are smaller) in
 * lines of QI_GetLineBWi(kind, w) bytes.
 */
#ifndef QUILL_RASTER_CORE_TILE_CODEC_H
#define QUILL_RASTER_CORE_TILE_CODEC_H

#include "quillimg.h"

#include <stdint.h>

namespace quill {

// Codes the tile into `record` (room for largest_record(kind) bytes).
// Returns the record length, kRecordBlank (-2) when the tile needs no
// record (an all-white bilevel tile), or kRecordFailed (-1) when it cannot
// be coded.
int32_t tile_encode(const QI_FrameRecord &frame, int32_t width, int32_t height,
                    const uint8_t *tile, uint8_t *record);

// Decodes a record of `length` bytes into the tile; false when the record is
// not a valid coding of a tile of this size.
bool tile_decode(const QI_FrameRecord &frame, int32_t width, int32_t height,
                 const uint8_t *record, int32_t length, uint8_t *tile);

// True when the frame's grey or colour tiles take the lossy coding.
bool lossy_frame(const QI_FrameRecord &frame);

// True when the bilevel tile has no black pixel (pad bits are ignored).
bool bilevel_tile_is_white(const uint8_t *tile, int32_t width, int32_t height);

} // namespace quill

#endif
