/*
 * warp_source_tiles.h - the decoded source tiles that QI_FrameTransform
 * keeps while it walks the result: a small cache, so that a source tile
 * that several result tiles need is decoded once for all of them rather
 * than once for each.
 */
#ifndef QUILL_RASTER_OPS_WARP_SOURCE_TILES_H
#define QUILL_RASTER_OPS_WARP_SOURCE_TILES_H

#include "../../base/holder.h"
#include "quillimg.h"

#include <stdint.h>

namespace quill {

class WarpSourceTiles {
public:
    // Padding behind every held tile (and behind the region buffer of
    // transform.cpp): the row kernels load whole words past a row's last
    // pixel they use.
    static constexpr uint32_t kPadBytes = 32;

    // For the locked `frame` (bilevel, grey or colour), `slots` tiles.
    // False when memory runs out.
    bool allocate(int32_t frame, int32_t slots);

    // Bytes between rows of a held tile (the line of a full tile, also for
    // the narrower tiles at the frame's right edge).
    uint32_t line() const { return line_; }

    // The number of tiles held. Up to this many tiles fetched one after
    // another are all held at once: a miss replaces the least recently
    // used slot, never one fetched since.
    int32_t slots() const { return slots_; }

    // The pixels of tile (tx, ty) of the frame, decoded on a miss into the
    // least recently used slot; null when reading it failed. The pointer
    // stays valid for the next slots() - 1 calls.
    const uint8_t *tile(int32_t tx, int32_t ty);

    // Copies the frame's pixels of `rect` (inside the frame) into `raster`
    // (lines of QI_GetLineBWi(kind, width) bytes), through the held tiles;
    // the pixels QI_FrameGetRect gives. False when a read failed.
    bool read_rect(const QI_Rect &rect, uint8_t *raster);

private:
    bool load(int32_t index, uint8_t *into);

    int32_t frame_ = -1, kind_ = 1, columns_ = 0;
    int32_t slots_ = 0;
    uint32_t line_ = 0, slotBytes_ = 0;
    uint64_t clock_ = 0;
    HeapBlock<uint8_t> pixels_;
    HeapBlock<int64_t> keys_;  // tile index held by each slot, -1 none
    HeapBlock<uint64_t> used_; // clock of each slot's last use
    HeapBlock<uint8_t> white_; // a blank bilevel tile (reads white)
};

} // namespace quill

#endif
