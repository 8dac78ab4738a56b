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

// Reads bilevel tile `index` of a locked frame from its record and hands
// every `step`-th row of it (rows 0, step, ...) to `sink` as two words
// (pixel 0 in bit 63 of `high`, 1 white, pixels past the tile's width
// white), without drawing the tile: T.6 rows not handed over are decoded
// only, rows repeating the one before are not drawn again. A blank tile
// hands over nothing and succeeds. False when the record cannot be read or
// is not a valid coding of the tile. Uses the frame's work buffer.
bool bilevel_tile_rows(int32_t frame, int32_t index, uint32_t step, void (*sink)(void *, uint32_t, uint64_t, uint64_t),
                       void *context);

// True when the frame's grey or colour tiles take the lossy coding.
bool lossy_frame(const QI_FrameRecord &frame);

// True when the bilevel tile has no black pixel (pad bits are ignored).
bool bilevel_tile_is_white(const uint8_t *tile, int32_t width, int32_t height);

} // namespace quill

#endif
