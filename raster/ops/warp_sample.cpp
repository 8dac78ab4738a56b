/*
 * warp_sample.cpp - nearest-neighbour copies from a source part in memory
 * into a result tile, through per-pixel source positions.
 *
 * The tile arrives filled with the background; each inside pixel takes its
 * source pixel. Bilevel rows are built a byte at a time: the bits of up to
 * eight source pixels and the mask of which of them are inside, merged
 * into the byte once, so outside pixels keep the background without a
 * branch per bit on the tile. Grey and colour pixels are plain byte copies.
 *
 * Method-1 tiles come as runs of inside pixels per row (warp_map.h): the
 * sampler steps the fixed-point position itself, so no list of positions
 * is written and read back and no pixel is tested for being inside. Against
 * a position list per tile this took the 7-degree turn of the drawing page
 * from 516 to 394 ms of CPU time and of the grey page from 78 to 46 ms
 * (bench/warp_bench.cpp; the rest is mostly tile decoding and coding).
 *
 * Decision: the list variants (used when a tile's sources are read one
 * source tile at a time, see transform.cpp) go pixel by pixel; they serve
 * strong reductions, where a result tile has few pixels per source tile and
 * the decoding of source tiles, not the copy, is the cost.
 */
#include "warp_sample.h"

#include <stddef.h>

namespace quill {

namespace {

constexpr int32_t kStride = 128;

inline uint32_t source_bit(const SourcePart &part, int32_t sx, int32_t sy) {
    int32_t x = sx - part.left;
    const uint8_t *row = part.pixels + static_cast<size_t>(sy - part.top) * part.line;
    return (row[x >> 3] >> (7 - (x & 7))) & 1u;
}

inline void set_bit(uint8_t *row, int32_t i, uint32_t white) {
    uint8_t bit = static_cast<uint8_t>(0x80u >> (i & 7));
    row[i >> 3] = static_cast<uint8_t>(white ? row[i >> 3] | bit : row[i >> 3] & ~bit);
}

void sample_bilevel(const TilePositions &p, const SourcePart &part, TileRaster &tile) {
    for (int32_t j = 0; j < tile.height; ++j) {
        const int32_t *xs = p.xs + j * kStride, *ys = p.ys + j * kStride;
        uint8_t *out = tile.pixels + static_cast<size_t>(j) * tile.line;
        for (int32_t i0 = 0; i0 < tile.width; i0 += 8) {
            int32_t n = tile.width - i0 < 8 ? tile.width - i0 : 8;
            uint32_t inside = 0, bits = 0;
            for (int32_t k = 0; k < n; ++k) {
                int32_t sx = xs[i0 + k];
                if (sx < 0)
                    continue;
                inside |= 0x80u >> k;
                bits |= source_bit(part, sx, ys[i0 + k]) << (7 - k);
            }
            uint8_t &byte = out[i0 >> 3];
            byte = static_cast<uint8_t>((byte & ~inside) | (bits & inside));
        }
    }
}

template <int Bytes>
void sample_bytes(const TilePositions &p, const SourcePart &part, TileRaster &tile) {
    for (int32_t j = 0; j < tile.height; ++j) {
        const int32_t *xs = p.xs + j * kStride, *ys = p.ys + j * kStride;
        uint8_t *out = tile.pixels + static_cast<size_t>(j) * tile.line;
        for (int32_t i = 0; i < tile.width; ++i) {
            if (xs[i] < 0)
                continue;
            const uint8_t *from = part.pixels + static_cast<size_t>(ys[i] - part.top) * part.line +
                                  static_cast<size_t>(xs[i] - part.left) * Bytes;
            for (int b = 0; b < Bytes; ++b)
                out[Bytes * i + b] = from[b];
        }
    }
}

// Positions relative to the part: the part's corner subtracted in fixed
// point once per row.
inline Fixed part_relative(Fixed v, int32_t corner) { return v - (static_cast<Fixed>(corner) << 32); }

void sample_rows_bilevel(const AffineRows &rows, const SourcePart &part, TileRaster &tile) {
    for (int32_t j = 0; j < tile.height; ++j) {
        int32_t b = rows.begin[j], e = rows.end[j];
        if (b >= e)
            continue;
        Fixed X = part_relative(rows.x[j], part.left), Y = part_relative(rows.y[j], part.top);
        uint8_t *out = tile.pixels + static_cast<size_t>(j) * tile.line;
        for (int32_t i = b; i < e;) {
            int32_t stop = ((i >> 3) + 1) << 3;
            stop = stop < e ? stop : e;
            uint32_t inside = 0, bits = 0;
            for (; i < stop; ++i, X += rows.dx, Y += rows.dy) {
                int64_t sx = fixed_pixel(X), sy = fixed_pixel(Y);
                const uint8_t *row = part.pixels + static_cast<size_t>(sy) * part.line;
                uint32_t shift = 7 - static_cast<uint32_t>(i & 7);
                inside |= 1u << shift;
                bits |= ((row[sx >> 3] >> (7 - (sx & 7))) & 1u) << shift;
            }
            uint8_t &byte = out[(i - 1) >> 3];
            byte = static_cast<uint8_t>((byte & ~inside) | (bits & inside));
        }
    }
}

template <int Bytes>
void sample_rows_bytes(const AffineRows &rows, const SourcePart &part, TileRaster &tile) {
    for (int32_t j = 0; j < tile.height; ++j) {
        int32_t b = rows.begin[j], e = rows.end[j];
        Fixed X = part_relative(rows.x[j], part.left), Y = part_relative(rows.y[j], part.top);
        uint8_t *out = tile.pixels + static_cast<size_t>(j) * tile.line + static_cast<size_t>(b) * Bytes;
        for (int32_t i = b; i < e; ++i, X += rows.dx, Y += rows.dy, out += Bytes) {
            const uint8_t *from = part.pixels + static_cast<size_t>(fixed_pixel(Y)) * part.line +
                                  static_cast<size_t>(fixed_pixel(X)) * Bytes;
            for (int k = 0; k < Bytes; ++k)
                out[k] = from[k];
        }
    }
}

void sample_one(int32_t kind, int32_t sx, int32_t sy, const SourcePart &part, TileRaster &tile, int32_t i,
                int32_t j) {
    uint8_t *out = tile.pixels + static_cast<size_t>(j) * tile.line;
    if (kind == 1) {
        set_bit(out, i, source_bit(part, sx, sy));
        return;
    }
    int32_t bytes = kind == 4 ? 3 : 1;
    const uint8_t *from = part.pixels + static_cast<size_t>(sy - part.top) * part.line +
                          static_cast<size_t>(sx - part.left) * bytes;
    for (int32_t b = 0; b < bytes; ++b)
        out[bytes * i + b] = from[b];
}

} // namespace

void warp_sample_tile(int32_t kind, const TilePositions &positions, const SourcePart &part, TileRaster &tile) {
    if (kind == 1)
        sample_bilevel(positions, part, tile);
    else if (kind == 4)
        sample_bytes<3>(positions, part, tile);
    else
        sample_bytes<1>(positions, part, tile);
}

void warp_sample_rows(int32_t kind, const AffineRows &rows, const SourcePart &part, TileRaster &tile) {
    if (kind == 1)
        sample_rows_bilevel(rows, part, tile);
    else if (kind == 4)
        sample_rows_bytes<3>(rows, part, tile);
    else
        sample_rows_bytes<1>(rows, part, tile);
}

void warp_whiten_rows(const AffineRows &rows, TileRaster &tile) {
    for (int32_t j = 0; j < tile.height; ++j) {
        uint8_t *out = tile.pixels + static_cast<size_t>(j) * tile.line;
        for (int32_t i = rows.begin[j]; i < rows.end[j]; ++i)
            set_bit(out, i, 1);
    }
}

void warp_sample_list(int32_t kind, const uint64_t *keys, int32_t count, const TilePositions &positions,
                      const SourcePart &part, TileRaster &tile) {
    for (int32_t n = 0; n < count; ++n) {
        int32_t k = key_pixel(keys[n]);
        sample_one(kind, positions.xs[k], positions.ys[k], part, tile, k % kStride, k / kStride);
    }
}

void warp_whiten_inside(const TilePositions &positions, TileRaster &tile) {
    for (int32_t j = 0; j < tile.height; ++j) {
        const int32_t *xs = positions.xs + j * kStride;
        uint8_t *out = tile.pixels + static_cast<size_t>(j) * tile.line;
        for (int32_t i = 0; i < tile.width; ++i)
            if (xs[i] >= 0)
                set_bit(out, i, 1);
    }
}

void warp_whiten_list(const uint64_t *keys, int32_t count, TileRaster &tile) {
    for (int32_t n = 0; n < count; ++n) {
        int32_t k = key_pixel(keys[n]);
        set_bit(tile.pixels + static_cast<size_t>(k / kStride) * tile.line, k % kStride, 1);
    }
}

} // namespace quill
