/*
 * transform.cpp - QI_FrameTransform: the shell that validates, locks,
 * creates the result frame and walks its tiles; the geometry is in
 * warp_map.cpp and the pixel copies in warp_sample.cpp.
 *
 * The result is built one 128 x 128 tile at a time through the core's tile
 * walk, bands of tile rows from the top: every result tile is built in
 * place in the frame's work buffer, written whole, once, and never decoded.
 * For each tile:
 *  1. The tile is filled with the background.
 *  2. Method 1 (affine, so the box of the tile's corners bounds every
 *     position): when that box, widened by 2 pixels, misses the source, or
 *     the source is bilevel, the background white and every source tile
 *     under the box blank, the tile is written as it is, without computing
 *     a position.
 *  3. The source position of every pixel and the box of those inside the
 *     source: method 1 as runs of inside pixels per row with their
 *     fixed-point stepping (warp_affine_rows), method 2 as a position per
 *     pixel (warp_tile_positions). No pixel inside: written as filled. A
 *     bilevel source whose tiles under the box are all blank reads white:
 *     the inside pixels turn white, nothing is read.
 *  4. Source pixels come from a cache of decoded source tiles
 *     (warp_source_tiles.cpp), so a source tile under several result tiles
 *     of a band is decoded once for them. Bilevel rows in pieces (small
 *     turns and scales near 1, warp_rows_in_pieces) are sampled straight
 *     from the held tiles under the box (warp_sample_rows_grid).
 *  5. Otherwise the box of inside positions is assembled in the region
 *     buffer from the held tiles when it fits there, and sampled
 *     (warp_sample_rows, warp_sample_tile).
 *  6. Otherwise (a strongly reducing map spreads one result tile over more
 *     source than the buffer holds) the inside pixels are sorted by the
 *     source tile they come from, and each source tile's share is sampled
 *     from the held tile: the working memory stays bounded whatever the
 *     map. The pixels are the same as a single read gives.
 *
 * Working memory: the cache (kCacheBytes), the region buffer, and only
 * where needed the positions (2 x 64 KB: method 2, and method 1 in step 6)
 * and the sort keys (128 KB, step 6). The region buffer is sized by a
 * first pass over the result tiles to the largest source box any of them
 * needs (the corners' box clipped to the source), at least one tile and at
 * most kRegionBytes.
 *
 * Measured on the 7-degree turns of bench/warp_bench.cpp (instructions of
 * one call, valgrind; the pixels are the same bytes):
 *                         drawing page (bilevel)   grey page
 *    before                   7.28 G                 558 M
 *    + tile cache             (decodes 3308 -> 2596 on the grey page)
 *    + rows in pieces,
 *      word-wise run codes    3.13 G                 229 M
 *    + bilevel from tiles     2.54 G                 (263 M: not taken)
 *  The held-tile sampling costs more per piece than sampling an assembled
 *  region (a tile look-up per piece); assembling a bilevel region shifts
 *  every byte (0.82 G), assembling a grey one is a row copy, so only
 *  bilevel sources are sampled from the tiles.
 *
 * Decisions:
 *  - kRegionBytes is 2 MB: a 7-degree turn needs about 143 x 143 source
 *    pixels a tile (a few KB even in colour), an enlargement less; only
 *    reductions beyond about 1/8 in colour (1/22 in grey, 1/90 bilevel)
 *    reach step 6.
 *  - The cache holds 512 KB of tiles (256 bilevel, 32 grey, 12 colour):
 *    enough for the next result tiles of a band to find their tiles, not
 *    for the next band (a grey band touches about 75 tiles, 1.2 MB), which
 *    would take the working memory past what the warp may hold against
 *    its peers (0.15 of their page and result). Without the bound a 1/1000 reduction needed a region of
 *    128000 x 128000 pixels for one tile.
 *  - The blank shortcut of a bilevel source writes white where the source
 *    is blank and the background only outside the source: blank tiles read
 *    white, and filling the whole tile with the background (as a plain
 *    shortcut would) turned white paper into background colour whenever the
 *    background was not white. With a white background that is the whole
 *    tile, and no position is computed.
 *  - A background of -1 (no colour) is taken as white: a new frame has no
 *    pixels underneath to keep, and its grey and colour tiles would
 *    otherwise hold whatever memory held.
 *  - Arguments are checked, and the map set up, before anything is reported
 *    or written: a method other than 1 and 2, a null or non-finite
 *    parameter, an unknown frame or a map that cannot be set up give -1 with
 *    no report and with the caller's block and `origin` unchanged. Once 0
 *    was reported, 100 follows in every case (also after a refusal).
 *  - Method 2 `origin`: when the warp does not reach the given point (a
 *    non-finite position) the value is left as it was; otherwise each
 *    coordinate is rounded with qs_dround (clamped to the int32 range).
 */
#include "draw.h"
#include "warp_map.h"
#include "warp_sample.h"
#include "warp_source_tiles.h"

#include "../../base/holder.h"
#include "../../base/raster_line.h"
#include "../core/frame_lock.h"
#include "../core/progress.h"
#include "../core/tile_walk.h"
#include "../core/tiles.h"
#include "../core/new_frame.h"
#include "quillstd.h"

#include <algorithm>
#include <math.h>

namespace quill {

namespace {

constexpr uint32_t kRegionBytes = 2u << 20;
// Decoded source tiles kept (warp_source_tiles.cpp): 512 KB, which holds a
// band's worth of bilevel tiles of the drawing page (256 tiles), 32 grey or
// 12 colour tiles; never fewer than the 3 x 3 tiles a turned result tile
// usually touches, never more slots than a linear scan finds quickly.
constexpr uint32_t kCacheBytes = 512u << 10;
constexpr int32_t kFewestCachedTiles = 12, kMostCachedTiles = 256;
// Most source tiles looked up for the blank test of one result tile; a
// region larger than this is simply read (or split, step 6).
constexpr int64_t kBlankTestTiles = 256;
constexpr int32_t kPositions = kTileSide * kTileSide;
constexpr uint32_t kWhite = 0x7F7FFF;

bool handled_kind(int32_t kind) { return kind == 1 || kind == 2 || kind == 4; }

int32_t min32(int32_t a, int32_t b) { return a < b ? a : b; }

// The region (doubles, possibly huge or not finite) clipped to the source;
// false when it misses the source.
bool clip_region(double left, double top, double right, double bottom, int32_t W, int32_t H, QI_Rect &out) {
    if (!(right >= 0 && bottom >= 0 && left <= W - 1 && top <= H - 1))
        return false;
    out.left = left > 0 ? static_cast<int32_t>(left) : 0;
    out.top = top > 0 ? static_cast<int32_t>(top) : 0;
    out.right = right < W - 1 ? static_cast<int32_t>(right) : W - 1;
    out.bottom = bottom < H - 1 ? static_cast<int32_t>(bottom) : H - 1;
    return true;
}

uint64_t rect_bytes(int32_t kind, const QI_Rect &r) {
    return static_cast<uint64_t>(r.bottom - r.top + 1) * raster_line_bytes(kind, r.right - r.left + 1);
}

class TransformRun {
public:
    TransformRun(int32_t source, int32_t result, int32_t kind, const WarpMap &map, uint32_t background)
        : source_(source), result_(result), kind_(kind), map_(map), background_(background),
          whiteBackground_(kind == 1 && (background & 0xFF) == 0xFF) {
        const QI_FrameRecord *f = frame_lookup(source);
        sourceColumns_ = tile_columns(*f);
    }

    bool allocate() {
        regionBytes_ = region_size();
        uint32_t slots = kCacheBytes / tile_bytes(kind_);
        slots = std::min<uint32_t>(std::max<uint32_t>(slots, kFewestCachedTiles), kMostCachedTiles);
        // Method 1 steps through rows and needs positions only to read a
        // tile's sources one source tile at a time (step 6).
        if (map_.method != 1 && !(xs_.allocate(kPositions) && ys_.allocate(kPositions)))
            return false;
        return rows_.allocate(1) && region_.allocate(regionBytes_ + WarpSourceTiles::kPadBytes) &&
               tiles_.allocate(source_, static_cast<int32_t>(slots)) && grid_.allocate(slots);
    }

    // Every band of result rows, with its progress report. A band is a few
    // tile rows tall and walked a column of tiles at a time, so that the
    // source tiles under one column are still held when the next column
    // (which shares most of them) comes: walked a tile row at a time, a grey
    // band of a 7-degree turn touched more tiles than the cache holds, and
    // every source tile was decoded 3.4 times; in columns of 8 it is about
    // once (the bands' shared edges).
    bool run() {
        int32_t width = map_.resultWidth, height = map_.resultHeight;
        int32_t bandRows = band_tile_rows() * kTileSide;
        for (int32_t y0 = 0; y0 < height; y0 += bandRows) {
            if (!progress_remaining(height - y0, height))
                return false;
            int32_t bottom = min32(y0 + bandRows, height) - 1;
            for (int32_t x0 = 0; x0 < width; x0 += kTileSide) {
                // The result is new and every part a whole tile: each is
                // built in place in the decoded tile, never read first.
                QI_Rect column{x0, y0, min32(x0 + kTileSide, width) - 1, bottom};
                if (!walk_tiles(result_, column, TileAccess::Overwrite,
                                [&](const TilePart &part) { return do_tile(part); }))
                    return false;
            }
        }
        return true;
    }

private:
    // Tile rows per band: a column of them and its neighbour share their
    // source tiles when the cache holds about four times the column (a
    // turned result tile touches 2 x 2 source tiles, and the walk moves on
    // one column at a time); at most 8, so that progress still comes every
    // 1024 rows.
    int32_t band_tile_rows() const {
        return std::min<int32_t>(8, std::max<int32_t>(1, tiles_.slots() / 4));
    }

    // The first pass: the largest clipped source region of any result tile,
    // within [one tile, kRegionBytes].
    uint32_t region_size() const {
        uint64_t largest = tile_bytes(kind_);
        for (int32_t y0 = 0; y0 < map_.resultHeight && largest < kRegionBytes; y0 += kTileSide)
            for (int32_t x0 = 0; x0 < map_.resultWidth && largest < kRegionBytes; x0 += kTileSide) {
                QI_Rect r;
                if (tile_region(x0, y0, min32(kTileSide, map_.resultWidth - x0),
                                min32(kTileSide, map_.resultHeight - y0), r))
                    largest = std::max(largest, rect_bytes(kind_, r));
            }
        return static_cast<uint32_t>(std::min<uint64_t>(largest, kRegionBytes));
    }

    bool tile_region(int32_t x0, int32_t y0, int32_t w, int32_t h, QI_Rect &r) const {
        double left, top, right, bottom;
        warp_tile_region(map_, x0, y0, w, h, left, top, right, bottom);
        return clip_region(left, top, right, bottom, map_.sourceWidth, map_.sourceHeight, r);
    }

    // True when every source tile under `r` is blank (never written); false
    // also when there are too many to look up.
    bool source_blank(const QI_Rect &r) const {
        int32_t tx0 = r.left / kTileSide, tx1 = r.right / kTileSide;
        int32_t ty0 = r.top / kTileSide, ty1 = r.bottom / kTileSide;
        if (static_cast<int64_t>(tx1 - tx0 + 1) * (ty1 - ty0 + 1) > kBlankTestTiles)
            return false;
        for (int32_t ty = ty0; ty <= ty1; ++ty)
            for (int32_t tx = tx0; tx <= tx1; ++tx)
                if (!tile_is_blank(source_, ty * sourceColumns_ + tx))
                    return false;
        return true;
    }

    bool do_tile(const TilePart &part) {
        TileRaster tile{part.row, part.stride, part.width, part.height};
        if (background_ != 0xFFFFFFFFu) // "no colour": the tile keeps what it holds
            uniform_fill(tile.pixels, part.width, part.height, background_, kind_);
        return fill_tile(part.rect.left, part.rect.top, tile);
    }

    // Steps 2 to 5 of the header: the tile's pixels over the background.
    bool fill_tile(int32_t x0, int32_t y0, TileRaster &tile) {
        if (map_.method != 1)
            return fill_from_positions(x0, y0, tile);
        QI_Rect region;
        if (!tile_region(x0, y0, tile.width, tile.height, region))
            return true;
        if (whiteBackground_ && source_blank(region))
            return true;
        PixelBox box;
        AffineRows &rows = *rows_.get();
        if (!warp_affine_rows(map_, x0, y0, tile.width, tile.height, rows, box))
            return false;
        if (box.empty())
            return true;
        QI_Rect inside{box.left, box.top, box.right, box.bottom};
        if (kind_ == 1 && source_blank(inside)) {
            warp_whiten_rows(rows, tile);
            return true;
        }
        if (kind_ == 1 && warp_rows_in_pieces(rows) && grid_fits(inside))
            return fill_from_grid(inside, rows, tile);
        if (rect_bytes(kind_, inside) > regionBytes_) {
            if (!xs_ && !(xs_.allocate(kPositions) && ys_.allocate(kPositions)))
                return false;
            warp_rows_positions(rows, tile.width, tile.height, xs_.get(), ys_.get());
            return fill_by_source_tiles(TilePositions{xs_.get(), ys_.get()}, tile);
        }
        if (!tiles_.read_rect(inside, region_.get()))
            return false;
        warp_sample_rows(kind_, rows, part_of(inside), tile);
        return true;
    }

    // True when the cache holds every source tile under `r` at once.
    bool grid_fits(const QI_Rect &r) const {
        int64_t count = static_cast<int64_t>(r.right / kTileSide - r.left / kTileSide + 1) *
                        (r.bottom / kTileSide - r.top / kTileSide + 1);
        return count <= tiles_.slots();
    }

    // Rows in pieces: sampled straight from the held source tiles under the
    // box of inside positions, without assembling the box in the region.
    bool fill_from_grid(const QI_Rect &inside, const AffineRows &rows, TileRaster &tile) {
        int32_t tx0 = inside.left / kTileSide, ty0 = inside.top / kTileSide;
        int32_t columns = inside.right / kTileSide - tx0 + 1;
        int32_t k = 0;
        for (int32_t ty = ty0; ty <= inside.bottom / kTileSide; ++ty)
            for (int32_t tx = tx0; tx <= inside.right / kTileSide; ++tx)
                if (!(grid_[k++] = tiles_.tile(tx, ty)))
                    return false;
        warp_sample_rows_grid(kind_, rows, SourceGrid{grid_.get(), tx0, ty0, columns, tiles_.line()}, tile);
        return true;
    }

    // Method 2: a position per pixel.
    bool fill_from_positions(int32_t x0, int32_t y0, TileRaster &tile) {
        PixelBox box;
        warp_tile_positions(map_, x0, y0, tile.width, tile.height, xs_.get(), ys_.get(), box);
        if (box.empty())
            return true;
        TilePositions positions{xs_.get(), ys_.get()};
        QI_Rect inside{box.left, box.top, box.right, box.bottom};
        if (kind_ == 1 && source_blank(inside)) {
            warp_whiten_inside(positions, tile);
            return true;
        }
        if (rect_bytes(kind_, inside) > regionBytes_)
            return fill_by_source_tiles(positions, tile);
        if (!tiles_.read_rect(inside, region_.get()))
            return false;
        warp_sample_tile(kind_, positions, part_of(inside), tile);
        return true;
    }

    // The region buffer holding the source rect `r`.
    SourcePart part_of(const QI_Rect &r) const {
        return SourcePart{region_.get(), raster_line_bytes(kind_, r.right - r.left + 1), r.left, r.top};
    }

    // Step 6: the inside pixels grouped by source tile, each group read on
    // its own.
    bool fill_by_source_tiles(const TilePositions &positions, TileRaster &tile) {
        if (!keys_ && !keys_.allocate(kPositions))
            return false;
        int32_t count = 0;
        for (int32_t j = 0; j < tile.height; ++j)
            for (int32_t i = 0; i < tile.width; ++i) {
                int32_t k = j * kTileSide + i;
                int32_t sx = positions.xs[k];
                if (sx < 0)
                    continue;
                uint64_t sourceTile = static_cast<uint64_t>(positions.ys[k] / kTileSide) * sourceColumns_ +
                                      static_cast<uint64_t>(sx / kTileSide);
                keys_[count++] = sourceTile << kKeyPixelBits | static_cast<uint64_t>(k);
            }
        std::sort(keys_.get(), keys_.get() + count);
        for (int32_t first = 0; first < count;) {
            uint64_t sourceTile = keys_[first] >> kKeyPixelBits;
            int32_t end = first;
            while (end < count && keys_[end] >> kKeyPixelBits == sourceTile)
                ++end;
            if (!fill_group(positions, tile, keys_.get() + first, end - first, static_cast<int32_t>(sourceTile)))
                return false;
            first = end;
        }
        return true;
    }

    // One source tile's share, sampled straight from the held tile.
    bool fill_group(const TilePositions &positions, TileRaster &tile, const uint64_t *keys, int32_t count,
                    int32_t sourceTile) {
        if (kind_ == 1 && tile_is_blank(source_, sourceTile)) {
            warp_whiten_list(keys, count, tile);
            return true;
        }
        int32_t tx = sourceTile % sourceColumns_, ty = sourceTile / sourceColumns_;
        const uint8_t *pixels = tiles_.tile(tx, ty);
        if (!pixels)
            return false;
        SourcePart part{pixels, tiles_.line(), tx * kTileSide, ty * kTileSide};
        warp_sample_list(kind_, keys, count, positions, part, tile);
        return true;
    }

    int32_t source_, result_, kind_;
    const WarpMap &map_;
    uint32_t background_;
    bool whiteBackground_;
    int32_t sourceColumns_ = 0;
    HeapBlock<int32_t> xs_, ys_;
    HeapBlock<uint64_t> keys_;
    HeapBlock<AffineRows> rows_;
    HeapBlock<uint8_t> region_;
    uint32_t regionBytes_ = 0;
    WarpSourceTiles tiles_;
    HeapBlock<const uint8_t *> grid_; // the held tiles of one result tile
};

bool finite_block(const double *params, int32_t count) {
    for (int32_t i = 0; i < count; ++i)
        if (!isfinite(params[i]))
            return false;
    return true;
}

// Method 2's `origin`: the source position of the plane point it holds.
void warp_origin(const WarpMap &map, int *origin) {
    double sx, sy;
    warp_plane_point(map, origin[0] + 0.5, origin[1] + 0.5, sx, sy);
    if (isfinite(sx) && isfinite(sy)) {
        origin[0] = qs_dround(sx);
        origin[1] = qs_dround(sy);
    }
}

// Locks the source, makes the result and fills it; its handle or -1.
int32_t build_result(int32_t frame, const WarpMap &map, int32_t storage, uint32_t background) {
    ScopedFrameLock sourceLock(frame);
    if (!sourceLock.ok())
        return -1;
    const QI_FrameRecord *f = frame_lookup(frame);
    int32_t kind = f->kind;
    // Creating a frame may move the frame records: f is not used after it.
    NewFrame result(QI_FrameCreate(map.resultWidth, map.resultHeight, kind, storage, frame_loaded_palette(*f), f->mode));
    if (!result.ok())
        return -1;
    TransformRun work(frame, result.handle(), kind, map, background);
    if (!work.allocate() || !work.run())
        return -1;
    return result.release();
}

int32_t frame_transform(int32_t frame, int32_t method, double *params, int32_t *origin, int32_t storage,
                        uint32_t background) {
    const QI_FrameRecord *f = frame_lookup(frame);
    if (!f || !handled_kind(f->kind) || (method != 1 && method != 2) || !params)
        return -1;
    if (!finite_block(params, method == 1 ? 6 : 8))
        return -1;
    WarpMap map;
    if (!warp_setup(method, params, f->width, f->height, map))
        return -1;
    if (method == 1) {
        params[2] = map.m[2];
        params[5] = map.m[5];
        if (origin) {
            origin[0] = static_cast<int32_t>(map.extentLeft);
            origin[1] = static_cast<int32_t>(map.extentTop);
        }
    } else if (origin) {
        warp_origin(map, origin);
    }
    int32_t result = -1;
    if (progress_begin(kMsgAffine))
        result = build_result(frame, map, storage, background == 0xFFFFFFFFu ? kWhite : background);
    progress_report(100);
    return result;
}

} // namespace

} // namespace quill

extern "C" QI_API int QI_FrameTransform(int frame, int method, double *params, int *origin, int storage,
                                        uint32_t background) {
    return quill::frame_transform(frame, method, params, origin, storage, background);
}
