/*
 * warp_source_tiles.cpp - a least-recently-used cache of decoded source
 * tiles for QI_FrameTransform.
 *
 * The warp builds the result a tile at a time; the source region of one
 * result tile (about 143 x 143 pixels for a 7-degree turn) touches four to
 * nine source tiles, and each source tile lies under about four result
 * tiles. Reading every region straight from the frame decoded each source
 * tile about 4.3 times (3308 decodes for the 768 tiles of the grey page);
 * tile decoding was then a quarter of the grey warp's time and a third of
 * the bilevel one's. The cache keeps the last `slots` decoded tiles, each
 * with the line of a full tile and padding behind it.
 *
 * A miss reads the tile through the core's tile walk and pixel-copy engine
 * (the same pixels QI_FrameGetRect gives; a bilevel tile with no record
 * reads white without a walk) into the least recently used slot. Slots
 * are found by a linear scan: with at most a few hundred slots and a few
 * look-ups per result tile it costs far less than one decode.
 *
 * Decision: least recently used, not a policy that knows the walk. The
 * result is walked in bands of tile rows; a tile is reused by the next
 * result tiles of its band at once, and by the next band only when the
 * cache holds a whole band's tiles (about 230 bilevel tiles of the drawing
 * page, 75 grey tiles of the grey page). transform.cpp sizes the cache by
 * bytes, which holds the bilevel band but not the grey one. Measured on the
 * 7-degree turns: the drawing page's tiles were decoded 26134 times and are
 * now 9679 (it has 7696 tiles, blank ones never decoded); the grey page's
 * 768 tiles 3308 times and now 2596.
 */
#include "warp_source_tiles.h"

#include "../../base/raster_line.h"
#include "../core/pixel_copy.h"
#include "../core/tile_walk.h"
#include "../core/tiles.h"

#include <string.h>

namespace quill {

bool WarpSourceTiles::allocate(int32_t frame, int32_t slots) {
    const QI_FrameRecord *f = frame_lookup(frame);
    if (!f || slots < 1)
        return false;
    frame_ = frame;
    kind_ = f->kind;
    columns_ = tile_columns(*f);
    slots_ = slots;
    line_ = raster_line_bytes(kind_, kTileSide);
    slotBytes_ = tile_bytes(kind_) + kPadBytes;
    if (!pixels_.allocate(static_cast<size_t>(slotBytes_) * static_cast<size_t>(slots)) ||
        !keys_.allocate(static_cast<size_t>(slots)) || !used_.allocate(static_cast<size_t>(slots)))
        return false;
    for (int32_t s = 0; s < slots; ++s) {
        keys_[s] = -1;
        used_[s] = 0;
    }
    memset(pixels_.get(), 0, static_cast<size_t>(slotBytes_) * static_cast<size_t>(slots));
    if (kind_ == 1) {
        if (!white_.allocate(slotBytes_))
            return false;
        memset(white_.get(), 0xFF, slotBytes_);
    }
    return true;
}

bool WarpSourceTiles::load(int32_t index, uint8_t *into) {
    const QI_FrameRecord *f = frame_lookup(frame_);
    QI_Rect rect = tile_rect_at(*f, index % columns_, index / columns_);
    PixelCopier copier(kind_, kind_, -1, -1);
    uint32_t line = line_;
    return walk_tiles(frame_, rect, TileAccess::Read, [&](const TilePart &part) {
        copier.block(part.row, part.stride, part.x, into, line, 0, part.width, part.height);
        return true;
    });
}

const uint8_t *WarpSourceTiles::tile(int32_t tx, int32_t ty) {
    int64_t index = static_cast<int64_t>(ty) * columns_ + tx;
    if (kind_ == 1 && tile_is_blank(frame_, static_cast<int32_t>(index)))
        return white_.get();
    ++clock_;
    int32_t oldest = 0;
    for (int32_t s = 0; s < slots_; ++s) {
        if (keys_[s] == index) {
            used_[s] = clock_;
            return pixels_.get() + static_cast<size_t>(s) * slotBytes_;
        }
        if (used_[s] < used_[oldest])
            oldest = s;
    }
    uint8_t *slot = pixels_.get() + static_cast<size_t>(oldest) * slotBytes_;
    keys_[oldest] = -1; // a failed read leaves the slot empty
    if (!load(static_cast<int32_t>(index), slot))
        return nullptr;
    keys_[oldest] = index;
    used_[oldest] = clock_;
    return slot;
}

bool WarpSourceTiles::read_rect(const QI_Rect &rect, uint8_t *raster) {
    PixelCopier copier(kind_, kind_, -1, -1);
    uint32_t line = raster_line_bytes(kind_, rect.right - rect.left + 1);
    for (int32_t ty = rect.top / kTileSide; ty <= rect.bottom / kTileSide; ++ty) {
        int32_t top = ty * kTileSide > rect.top ? ty * kTileSide : rect.top;
        int32_t bottom = ty * kTileSide + kTileSide - 1 < rect.bottom ? ty * kTileSide + kTileSide - 1 : rect.bottom;
        for (int32_t tx = rect.left / kTileSide; tx <= rect.right / kTileSide; ++tx) {
            int32_t left = tx * kTileSide > rect.left ? tx * kTileSide : rect.left;
            int32_t right = tx * kTileSide + kTileSide - 1 < rect.right ? tx * kTileSide + kTileSide - 1 : rect.right;
            const uint8_t *pixels = tile(tx, ty);
            if (!pixels)
                return false;
            copier.block(pixels + static_cast<size_t>(top - ty * kTileSide) * line_, line_, left - tx * kTileSide,
                         raster + static_cast<size_t>(top - rect.top) * line, line, left - rect.left,
                         right - left + 1, bottom - top + 1);
        }
    }
    return true;
}

} // namespace quill
