/*
 * tile_walk.h - the one walk over the tiles of a locked frame that every
 * tile-wise read and every frame edit goes through.
 *
 * For each tile that a rect touches (tile rows from the top, tiles from the
 * left) the walk asks the caller what it needs of the tile's part of the
 * rect, decodes the tile into the frame's work buffer when the old pixels
 * are needed, hands the part to a kernel as rows of the frame's own kind
 * inside the decoded tile, and codes the tile back when the kernel changed
 * it. A part that covers its tile and that the kernel writes whole is never
 * decoded; a tile the caller skips is neither decoded nor coded.
 *
 * Decisions:
 *  - Kernels work in place on the decoded tile instead of on a copy of the
 *    part: a copy costs one more pass over the pixels and, for a part that
 *    does not cover its tile, a second decode when it is written back (the
 *    old walks of the colour edits did both).
 *  - The access is chosen per tile (a callable given the part), so an
 *    operation can skip the tiles it leaves alone (a polygon fill touches
 *    only the tiles its runs cross) and overwrite the ones it paints whole.
 *  - A kernel must not read or write tiles of the walked frame itself: they
 *    share its work buffer. Reading another frame is fine.
 *  - The first failure (decode, kernel, code) stops the walk; tiles coded
 *    before it stay written, each one whole.
 */
#ifndef QUILL_RASTER_CORE_TILE_WALK_H
#define QUILL_RASTER_CORE_TILE_WALK_H

#include "quillimg.h"
#include "rect_utils.h"
#include "tiles.h"

#include <stddef.h>
#include <stdint.h>

namespace quill {

// What an operation needs of one tile's part.
enum class TileAccess : uint8_t {
    Skip,      // leave the tile alone
    Read,      // decode it; the kernel only reads
    ReadCoded, // as Read, but a blank tile (no record) is skipped
    Modify,    // decode it; the kernel changes the part; code it back
    Overwrite, // the kernel sets every pixel of the part; code it back
};

// One tile's part of the walked rect, inside the decoded tile.
struct TilePart {
    QI_Rect rect;    // the part in frame coordinates
    uint8_t *row;    // the tile row that holds the part's top row
    uint32_t stride; // bytes from one tile row to the next
    int32_t x;       // pixel index of the part's left column within `row`
    int32_t width;   // pixels of the part across
    int32_t height;  // rows of the part
    int32_t kind;    // the frame's pixel kind
    int32_t index;   // the tile's index in the frame

    // The first byte of the part's row y (0 = top). Bilevel pixels start at
    // bit (7 - x % 8) of byte x / 8 of that row.
    uint8_t *row_at(int32_t y) const { return row + static_cast<size_t>(y) * stride; }
};

// The rect of tile (tx, ty), cut at the frame's right and bottom edges.
QI_Rect tile_rect_at(const QI_FrameRecord &frame, int32_t tx, int32_t ty);
// Decodes or codes what `access` asks of tile `index`, covered by its
// part or not; false on failure. Used by walk_tiles only.
bool tile_walk_load(int32_t frame, int32_t index, TileAccess access, bool covered);
TilePart tile_walk_part(const QI_FrameRecord &frame, const QI_Rect &tile, const QI_Rect &part, int32_t index);

// Walks the tiles that `rect` touches (the frame is locked, the rect inside
// it). choose(const QI_Rect &part) -> TileAccess; kernel(const TilePart &)
// -> bool, false to stop the walk. True when every tile was done.
template <typename Choose, typename Kernel>
bool walk_tiles(int32_t frame, const QI_Rect &rect, Choose &&choose, Kernel &&kernel) {
    const QI_FrameRecord *f = frame_lookup(frame);
    if (!f)
        return false;
    int32_t columns = tile_columns(*f);
    for (int32_t ty = rect.top / kTileSide; ty <= rect.bottom / kTileSide; ++ty) {
        for (int32_t tx = rect.left / kTileSide; tx <= rect.right / kTileSide; ++tx) {
            QI_Rect tile = tile_rect_at(*f, tx, ty), part;
            rect_intersect(tile, rect, &part);
            TileAccess access = choose(static_cast<const QI_Rect &>(part));
            if (access == TileAccess::Skip)
                continue;
            int32_t index = ty * columns + tx;
            if (access == TileAccess::ReadCoded && tile_is_blank(frame, index))
                continue;
            bool covered = part.left == tile.left && part.top == tile.top && part.right == tile.right &&
                           part.bottom == tile.bottom;
            if (!tile_walk_load(frame, index, access, covered))
                return false;
            f = frame_lookup(frame);
            if (!kernel(tile_walk_part(*f, tile, part, index)))
                return false;
            if ((access == TileAccess::Modify || access == TileAccess::Overwrite) && !put_tile(frame, index))
                return false;
            f = frame_lookup(frame);
        }
    }
    return true;
}

// The same access for every tile.
template <typename Kernel>
bool walk_tiles(int32_t frame, const QI_Rect &rect, TileAccess access, Kernel &&kernel) {
    return walk_tiles(
        frame, rect, [access](const QI_Rect &) { return access; }, static_cast<Kernel &&>(kernel));
}

} // namespace quill

#endif
