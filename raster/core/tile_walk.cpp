/*
 * tile_walk.cpp - the out-of-line pieces of the tile walk (tile_walk.h).
 */
#include "tile_walk.h"
#include "../../base/raster_line.h"

namespace quill {

QI_Rect tile_rect_at(const QI_FrameRecord &frame, int32_t tx, int32_t ty) {
    int32_t left = tx * kTileSide, top = ty * kTileSide;
    int32_t right = left + kTileSide - 1 < frame.width - 1 ? left + kTileSide - 1 : frame.width - 1;
    int32_t bottom = top + kTileSide - 1 < frame.height - 1 ? top + kTileSide - 1 : frame.height - 1;
    return QI_Rect{left, top, right, bottom};
}

bool tile_walk_load(int32_t frame, int32_t index, TileAccess access, bool covered) {
    if (access == TileAccess::Overwrite && covered)
        return true;
    return get_tile(frame, index);
}

TilePart tile_walk_part(const QI_FrameRecord &frame, const QI_Rect &tile, const QI_Rect &part, int32_t index) {
    TilePart p;
    p.rect = part;
    p.stride = raster_line_bytes(frame.kind, tile.right - tile.left + 1);
    p.row = frame.workBuffer + static_cast<size_t>(part.top - tile.top) * p.stride;
    p.x = part.left - tile.left;
    p.width = part.right - part.left + 1;
    p.height = part.bottom - part.top + 1;
    p.kind = frame.kind;
    p.index = index;
    return p;
}

} // namespace quill
