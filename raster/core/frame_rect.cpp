/*
 * frame_rect.cpp - rectangles in and out of locked frames.
 *
 * Both directions walk the tiles that the rectangle touches, tile rows from
 * the top and tiles from the left, and copy each tile's share row by row
 * through the pixel-copy engine. A tile that the rectangle covers wholly is
 * not decoded before it is overwritten, unless the copy keeps some
 * destination pixels (colour keys). A failure stops the walk; the tiles
 * written before it stay written, each one whole.
 */
#include "../../base/holder.h"
#include "frame_rect.h"
#include "pixel_copy.h"
#include "tiles.h"

#include <string.h>

namespace quill {

bool frame_whole_rect(const QI_FrameRecord &f, const QI_Rect *rect, QI_Rect &out) {
    QI_Rect whole{0, 0, f.width - 1, f.height - 1};
    if (!rect) {
        out = whole;
        return true;
    }
    if (!QI_RectAcoverB(&whole, rect))
        return false;
    out = *rect;
    return true;
}

namespace {
// The tile under (tx, ty) as a rect, and its index.
QI_Rect tile_rect(const QI_FrameRecord &f, int32_t tx, int32_t ty) {
    int32_t left = tx * kTileSide, top = ty * kTileSide;
    int32_t right = left + kTileSide - 1 < f.width - 1 ? left + kTileSide - 1 : f.width - 1;
    int32_t bottom = top + kTileSide - 1 < f.height - 1 ? top + kTileSide - 1 : f.height - 1;
    return QI_Rect{left, top, right, bottom};
}

bool rects_equal(const QI_Rect &a, const QI_Rect &b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

// Copies the share `part` of a rect between a tile and a raster. When
// `intoTile` the raster is the source, else the destination.
void copy_share(const PixelCopier &copier, const QI_FrameRecord &f, const QI_Rect &tile, const QI_Rect &part,
                const QI_Rect &rect, uint8_t *raster, uint32_t rasterLine, bool intoTile) {
    uint32_t tileLine = QI_GetLineBWi(f.kind, tile.right - tile.left + 1);
    uint8_t *tileRow = f.workBuffer + static_cast<size_t>(part.top - tile.top) * tileLine;
    uint8_t *rasterRow = raster + static_cast<size_t>(part.top - rect.top) * rasterLine;
    int32_t count = part.right - part.left + 1, rows = part.bottom - part.top + 1;
    if (intoTile)
        copier.block(rasterRow, rasterLine, part.left - rect.left, tileRow, tileLine, part.left - tile.left, count,
                     rows);
    else
        copier.block(tileRow, tileLine, part.left - tile.left, rasterRow, rasterLine, part.left - rect.left, count,
                     rows);
}

int32_t tile_index(const QI_FrameRecord &f, int32_t tx, int32_t ty) { return ty * tile_columns(f) + tx; }
} // namespace

bool frame_get_rect(int32_t frame, const QI_Rect &rect, uint8_t *raster) {
    QI_FrameRecord *f = frame_lookup(frame);
    PixelCopier copier(f->kind, f->kind, -1, -1);
    uint32_t line = QI_GetLineBWi(f->kind, rect.right - rect.left + 1);
    for (int32_t ty = rect.top / kTileSide; ty <= rect.bottom / kTileSide; ++ty) {
        for (int32_t tx = rect.left / kTileSide; tx <= rect.right / kTileSide; ++tx) {
            if (!get_tile(frame, tile_index(*f, tx, ty)))
                return false;
            f = frame_lookup(frame);
            QI_Rect tile = tile_rect(*f, tx, ty), part;
            QI_IntersectRects(&tile, &rect, &part);
            copy_share(copier, *f, tile, part, rect, raster, line, false);
        }
    }
    return true;
}

bool frame_set_rect(int32_t frame, const QI_Rect &rect, const uint8_t *raster, int32_t kind, int32_t colourA,
                    int32_t colourB) {
    QI_FrameRecord *f = frame_lookup(frame);
    PixelCopier copier(kind, f->kind, colourA, colourB);
    bool keeps = QI_IsTranspOperation(kind, colourA, colourB) != 0;
    uint32_t line = QI_GetLineBWi(kind, rect.right - rect.left + 1);
    for (int32_t ty = rect.top / kTileSide; ty <= rect.bottom / kTileSide; ++ty) {
        for (int32_t tx = rect.left / kTileSide; tx <= rect.right / kTileSide; ++tx) {
            int32_t index = tile_index(*f, tx, ty);
            QI_Rect tile = tile_rect(*f, tx, ty), part;
            QI_IntersectRects(&tile, &rect, &part);
            if ((keeps || !rects_equal(tile, part)) && !get_tile(frame, index))
                return false;
            f = frame_lookup(frame);
            copy_share(copier, *f, tile, part, rect, const_cast<uint8_t *>(raster), line, true);
            if (!put_tile(frame, index))
                return false;
        }
    }
    return true;
}

} // namespace quill

using namespace quill;

extern "C" QI_API int QI_IsTranspOperation(int32_t kind, int32_t colourA, int32_t colourB) {
    if (kind == 1)
        return (colourA == -1) != (colourB == -1);
    return colourB != -1;
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
    uint32_t line = QI_GetLineBWi(1, width);
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
    uint32_t line = QI_GetLineBWi(kind, width), maskLine = QI_GetLineBWi(1, width);
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
    HeapBlock<uint8_t> copy(static_cast<size_t>(QI_GetLineBWi(kind, width)) * height);
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
