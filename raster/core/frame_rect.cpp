/*
 * frame_rect.cpp - rectangles in and out of locked frames.
 *
 * Both directions go through the tile walk and copy each tile's share
 * through the pixel-copy engine. A tile that the rectangle covers wholly is
 * not decoded before it is overwritten, unless the copy keeps some
 * destination pixels (colour keys). A failure stops the walk; the tiles
 * written before it stay written, each one whole.
 */
#include "../../base/holder.h"
#include "../../base/raster_line.h"
#include "frame_rect.h"
#include "pixel_copy.h"
#include "tile_walk.h"
#include "rect_utils.h"
#include "tiles.h"

#include <string.h>

namespace quill {

bool frame_whole_rect(const QI_FrameRecord &f, const QI_Rect *rect, QI_Rect &out) {
    QI_Rect whole{0, 0, f.width - 1, f.height - 1};
    if (!rect) {
        out = whole;
        return true;
    }
    if (!rect_covers(whole, *rect))
        return false;
    out = *rect;
    return true;
}

namespace {
// Copies between a tile's part and the rect's raster; `intoTile` when the
// raster is the source.
void copy_share(const PixelCopier &copier, const TilePart &part, const QI_Rect &rect, uint8_t *raster,
                uint32_t rasterLine, bool intoTile) {
    uint8_t *rasterRow = raster + static_cast<size_t>(part.rect.top - rect.top) * rasterLine;
    int32_t rasterX = part.rect.left - rect.left;
    if (intoTile)
        copier.block(rasterRow, rasterLine, rasterX, part.row, part.stride, part.x, part.width, part.height);
    else
        copier.block(part.row, part.stride, part.x, rasterRow, rasterLine, rasterX, part.width, part.height);
}
} // namespace

bool frame_get_rect(int32_t frame, const QI_Rect &rect, uint8_t *raster) {
    const QI_FrameRecord *f = frame_lookup(frame);
    PixelCopier copier(f->kind, f->kind, -1, -1);
    uint32_t line = raster_line_bytes(f->kind, rect.right - rect.left + 1);
    return walk_tiles(frame, rect, TileAccess::Read, [&](const TilePart &part) {
        copy_share(copier, part, rect, raster, line, false);
        return true;
    });
}

bool frame_set_rect(int32_t frame, const QI_Rect &rect, const uint8_t *raster, int32_t kind, int32_t colourA,
                    int32_t colourB) {
    const QI_FrameRecord *f = frame_lookup(frame);
    PixelCopier copier(kind, f->kind, colourA, colourB);
    // A keyed copy leaves some pixels of the part as they were.
    TileAccess access = copier.keeps_destination() ? TileAccess::Modify : TileAccess::Overwrite;
    uint32_t line = raster_line_bytes(kind, rect.right - rect.left + 1);
    return walk_tiles(frame, rect, access, [&](const TilePart &part) {
        copy_share(copier, part, rect, const_cast<uint8_t *>(raster), line, true);
        return true;
    });
}

} // namespace quill

using namespace quill;

extern "C" QI_API int QI_IsTranspOperation(int32_t kind, int32_t colourA, int32_t colourB) {
    // The copier decides which pixels a keyed copy keeps; the destination
    // kind does not change that, so the source kind stands in for it.
    return PixelCopier(kind, kind, colourA, colourB).keeps_destination() ? 1 : 0;
}

extern "C" QI_API int QI_FrameGetRect(int frame, const QI_Rect *rect, uint8_t *raster) {
    QI_FrameRecord *f = frame_lookup(frame);
    QI_Rect r;
    if (!f || !f->locked || !raster || !frame_whole_rect(*f, rect, r))
        return 0;
    return frame_get_rect(frame, r, raster) ? 1 : 0;
}

extern "C" QI_API int QI_FrameSetRect(int frame, const QI_Rect *rect, const uint8_t *raster, int32_t kind,
                                      int32_t colourA, int32_t colourB) {
    QI_FrameRecord *f = frame_lookup(frame);
    QI_Rect r;
    if (!f || !f->locked || !raster || kind < 1 || kind > f->kind || kind == 3 || !frame_whole_rect(*f, rect, r))
        return 0;
    return frame_set_rect(frame, r, raster, kind, colourA, colourB) ? 1 : 0;
}

namespace {
// Which mask pixels are white and which are black.
void mask_census(const uint8_t *mask, int32_t width, int32_t height, bool &anyWhite, bool &anyBlack) {
    uint32_t line = raster_line_bytes(1, width);
    anyWhite = anyBlack = false;
    for (int32_t y = 0; y < height && !(anyWhite && anyBlack); ++y) {
        const uint8_t *row = mask + static_cast<size_t>(y) * line;
        for (int32_t x = 0; x < width; ++x) {
            if ((row[x >> 3] >> (7 - (x & 7))) & 1)
                anyWhite = true;
            else
                anyBlack = true;
        }
    }
}

// Copies the source and paints `colour` wherever the mask is white.
void paint_under_white_mask(const uint8_t *source, const uint8_t *mask, uint8_t *copy, int32_t kind,
                            int32_t width, int32_t height, int32_t colour) {
    uint32_t line = raster_line_bytes(kind, width), maskLine = raster_line_bytes(1, width);
    memcpy(copy, source, static_cast<size_t>(line) * height);
    // The mask itself is the bilevel source: its white pixels paint the
    // colour, its black pixels keep the copy.
    PixelCopier painter(1, kind, colour, -1);
    for (int32_t y = 0; y < height; ++y)
        painter.row(mask + static_cast<size_t>(y) * maskLine, 0, copy + static_cast<size_t>(y) * line, 0, width);
}
} // namespace

extern "C" QI_API int QI_FrameSetRectTransp(int frame, const QI_Rect *rect, const uint8_t *raster,
                                            const uint8_t *mask, int32_t kind) {
    QI_FrameRecord *f = frame_lookup(frame);
    QI_Rect r;
    if (!f || !f->locked || !raster || kind < 1 || kind > f->kind || kind == 3 || !frame_whole_rect(*f, rect, r))
        return 0;
    int32_t width = r.right - r.left + 1, height = r.bottom - r.top + 1;
    bool anyWhite = false, anyBlack = true;
    if (mask)
        mask_census(mask, width, height, anyWhite, anyBlack);
    if (!anyWhite)
        return frame_set_rect(frame, r, raster, kind, -1, -1) ? 1 : 0;
    if (!anyBlack)
        return 1;
    HeapBlock<uint8_t> copy(static_cast<size_t>(raster_line_bytes(kind, width)) * height);
    if (!copy)
        return 0;
    // Pass 1 writes the source's black (bilevel) or non-white pixels under
    // the mask's black; pass 2 writes the rest of them.
    paint_under_white_mask(raster, mask, copy.get(), kind, width, height, QI_COLOR_WHITE);
    bool ok = kind == 1 ? frame_set_rect(frame, r, copy.get(), kind, -1, QI_COLOR_BLACK)
                        : frame_set_rect(frame, r, copy.get(), kind, -1, QI_COLOR_WHITE);
    if (ok) {
        paint_under_white_mask(raster, mask, copy.get(), kind, width, height, QI_COLOR_BLACK);
        ok = kind == 1 ? frame_set_rect(frame, r, copy.get(), kind, QI_COLOR_WHITE, -1)
                       : frame_set_rect(frame, r, copy.get(), kind, -1, QI_COLOR_BLACK);
    }
    return ok ? 1 : 0;
}
