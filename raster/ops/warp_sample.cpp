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
 * Rows in pieces. Under a small turn or a scale near 1 the source pixels
 * of a row come in stretches of consecutive pixels of one source row (a
 * 7-degree turn changes source row every 8 pixels and skips a column every
 * 134). Each stretch is found from two counters, the pixels left before y
 * or x - i leaves its rounding cell, refilled at a cell change by one
 * comparison (CellSteps), and copied whole: one 16- or 32-byte copy for
 * grey and colour, one shifted 64-bit word for bits. The positions are the
 * same fixed-point ones, so the pixels are the same as stepping pixel by
 * pixel (tests/warp_test.cpp keeps that as the oracle). On the 7-degree
 * turns this took the sampling from 11 to 4.7 instructions a pixel (grey,
 * 170 to 70 million a call) and from 22 to 9 (bilevel, from the held
 * tiles). Other maps (strong turns, mirrors, reductions) would give
 * stretches of one or two pixels and go pixel by pixel.
 *
 * Decision: the list variants (used when a tile's sources are read one
 * source tile at a time, see transform.cpp) go pixel by pixel; they serve
 * strong reductions, where a result tile has few pixels per source tile and
 * the decoding of source tiles, not the copy, is the cost.
 */
#include "warp_sample.h"

#include <stddef.h>
#include <string.h>

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

// ---- Pieces -------------------------------------------------------------
//
// Along a row of a method-1 tile the position steps by (dx, dy). A piece
// is a stretch of the row whose sources are consecutive pixels of one
// source row: sy keeps its rounding cell, and so does sx - k for the k-th
// pixel of the piece (X - k 2^32 steps by dx - 2^32). Each piece is one
// copy (bytes) or one shifted word (bits) instead of a position, a load
// and a store per pixel. A piece ends where either cell is left, where the
// run ends, or at the copy's width.

constexpr Fixed kOne = static_cast<Fixed>(1) << 32;
constexpr uint64_t kUnbounded = UINT64_MAX;

// The number of pixels, from the one at v on, for which a coordinate
// stepping by d stays in its rounding cell (at least 1). The pixel is
// (v + 2^31 - 1) >> 32 (fixed_pixel), so with r the low 32 bits of
// v + 2^31 - 1 the cell is kept while r + k d stays in [0, 2^32): that is
// ceil(need / |d|) pixels, need = 2^32 - r forward and r + 1 backward.
//  - from(v) divides, once per run;
//  - next(v), at the first pixel of a new cell, where need lies in
//    (2^32 - |d|, 2^32], has only two answers: Q = ceil(2^32 / |d|) when
//    need exceeds (Q - 1) |d|, else Q - 1. One comparison per cell instead
//    of a division. Valid for |d| < 2^32 (Q >= 2).
class CellSteps {
public:
    explicit CellSteps(Fixed d)
        : forward_(d > 0), step_(d < 0 ? 0 - static_cast<uint64_t>(d) : static_cast<uint64_t>(d)) {
        if (step_ != 0) {
            whole_ = (kCell + step_ - 1) / step_;
            threshold_ = (whole_ - 1) * step_;
        }
    }

    uint64_t from(Fixed v) const { return step_ == 0 ? kUnbounded : (need(v) + step_ - 1) / step_; }

    uint64_t next(Fixed v) const {
        if (step_ == 0)
            return kUnbounded;
        return need(v) > threshold_ ? whole_ : whole_ - 1;
    }

private:
    static constexpr uint64_t kCell = static_cast<uint64_t>(1) << 32;
    uint64_t need(Fixed v) const {
        uint64_t r = (static_cast<uint64_t>(v) + 0x7FFFFFFFu) & (kCell - 1);
        return forward_ ? kCell - r : r + 1;
    }
    bool forward_;
    uint64_t step_;
    uint64_t whole_ = 0, threshold_ = 0;
};

inline uint64_t least(uint64_t a, uint64_t b) { return a < b ? a : b; }

// Pieces pay when they are long: the source row changes at most every
// fourth pixel and sx skips or repeats at most every fourth (a turn by up
// to 14 degrees, scales from 3/4 to 5/4, shears to 1/4). Other maps go
// pixel by pixel.
bool pieces_pay(const AffineRows &rows) {
    Fixed skew = rows.dx - kOne;
    return rows.dy >= -kOne / 4 && rows.dy <= kOne / 4 && skew >= -kOne / 4 && skew <= kOne / 4;
}

struct RowSteps {
    explicit RowSteps(const AffineRows &rows) : x(rows.dx - kOne), y(rows.dy) {}
    CellSteps x, y;
};

// Where the pieces come from. A source gives, for a source pixel, the row
// that holds it and its index in that row, and how many pixels the row has
// from it on (a piece never leaves its row).
//  - a part of the source read into one raster (positions relative to it);
struct PartSource {
    explicit PartSource(const SourcePart &part)
        : pixels(part.pixels), line(part.line), leftEdge(part.left), topEdge(part.top) {}
    const uint8_t *pixels;
    size_t line;
    int32_t leftEdge, topEdge;
    Fixed left() const { return static_cast<Fixed>(leftEdge) << 32; }
    Fixed top() const { return static_cast<Fixed>(topEdge) << 32; }
    uint64_t room(int64_t) const { return kUnbounded; }
    const uint8_t *row(int64_t sx, int64_t sy, int64_t &x) const {
        x = sx;
        return pixels + static_cast<size_t>(sy) * line;
    }
};
//  - the source tiles themselves, held in memory (absolute positions).
struct GridSource {
    explicit GridSource(const SourceGrid &grid)
        : tiles(grid.tiles), line(grid.line), tx0(grid.tx0), ty0(grid.ty0), columns(grid.columns) {}
    const uint8_t *const *tiles;
    size_t line;
    int64_t tx0, ty0, columns;
    Fixed left() const { return 0; }
    Fixed top() const { return 0; }
    uint64_t room(int64_t sx) const { return static_cast<uint64_t>(kStride - (sx & (kStride - 1))); }
    const uint8_t *row(int64_t sx, int64_t sy, int64_t &x) const {
        x = sx & (kStride - 1);
        const uint8_t *tile = tiles[((sy >> 7) - ty0) * columns + (sx >> 7) - tx0];
        return tile + static_cast<size_t>(sy & (kStride - 1)) * line;
    }
};

// The row's stepping, shared by the kernels: calls copy(i, from, x, n) for
// each piece of row j's run, `from` the source row and x the index in it of
// the piece's first source pixel.
template <uint64_t kCap, typename Source, typename Copy>
inline void for_each_piece(const AffineRows &rows, const RowSteps &steps, int32_t j, const Source source,
                           Copy &&copy) {
    // Locals, so that the copies' stores cannot make the compiler reload them.
    const CellSteps stepsX = steps.x, stepsY = steps.y;
    const Fixed dx = rows.dx, dy = rows.dy;
    int32_t b = rows.begin[j], e = rows.end[j];
    Fixed X = rows.x[j] - source.left(), Y = rows.y[j] - source.top();
    uint64_t leftX = stepsX.from(X), leftY = stepsY.from(Y);
    for (int32_t i = b; i < e;) {
        int64_t sx = fixed_pixel(X), sy = fixed_pixel(Y), x;
        const uint8_t *from = source.row(sx, sy, x);
        uint64_t n = least(least(leftX, leftY), least(static_cast<uint64_t>(e - i), kCap));
        n = least(n, source.room(sx));
        copy(i, from, x, static_cast<int32_t>(n));
        i += static_cast<int32_t>(n);
        X += static_cast<Fixed>(n) * dx;
        Y += static_cast<Fixed>(n) * dy;
        leftX -= n;
        leftY -= n;
        if (leftX == 0)
            leftX = stepsX.next(X);
        if (leftY == 0)
            leftY = stepsY.next(Y);
    }
}

// Bytes: each piece is one fixed-size copy into a staging row (reading up
// to 32 bytes from the piece's start, which the source's padding allows),
// and the run goes from the staging row to the tile in one copy, so the
// copies never spill over the background beside the run.
template <int Bytes, typename Source>
void sample_pieces_bytes(const AffineRows &rows, const Source &source, TileRaster &tile) {
    constexpr uint64_t kCap = Bytes == 1 ? 16 : 10;
    constexpr size_t kCopy = Bytes == 1 ? 16 : 32;
    uint8_t staging[kStride * Bytes + kCopy];
    RowSteps steps(rows);
    for (int32_t j = 0; j < tile.height; ++j) {
        int32_t b = rows.begin[j], e = rows.end[j];
        if (b >= e)
            continue;
        for_each_piece<kCap>(rows, steps, j, source, [&](int32_t i, const uint8_t *from, int64_t x, int32_t) {
            memcpy(staging + static_cast<size_t>(i) * Bytes, from + static_cast<size_t>(x) * Bytes, kCopy);
        });
        uint8_t *out = tile.pixels + static_cast<size_t>(j) * tile.line;
        memcpy(out + static_cast<size_t>(b) * Bytes, staging + static_cast<size_t>(b) * Bytes,
               static_cast<size_t>(e - b) * Bytes);
    }
}

inline uint64_t load_bits(const uint8_t *p) {
    uint64_t v;
    memcpy(&v, p, sizeof v);
    return __builtin_bswap64(v);
}

inline void store_bits(uint8_t *p, uint64_t v) {
    v = __builtin_bswap64(v);
    memcpy(p, &v, sizeof v);
}

// The bits of positions [b, e) within the 64 positions from `base`, most
// significant first.
inline uint64_t run_mask(int32_t b, int32_t e, int32_t base) {
    int32_t lo = (b > base ? b : base) - base, hi = (e < base + 64 ? e : base + 64) - base;
    if (lo >= hi)
        return 0;
    uint64_t mask = ~static_cast<uint64_t>(0) >> lo;
    return hi == 64 ? mask : mask & ~(~static_cast<uint64_t>(0) >> hi);
}

// Bits: a piece of up to 56 pixels is one word loaded at its first source
// byte (reading up to 8 bytes from there, which the padding allows) and
// shifted into place in the row's 128 bits; the run then goes into the
// tile row under a mask, so the background beside it stays.
template <typename Source>
void sample_pieces_bilevel(const AffineRows &rows, const Source &source, TileRaster &tile) {
    RowSteps steps(rows);
    for (int32_t j = 0; j < tile.height; ++j) {
        int32_t b = rows.begin[j], e = rows.end[j];
        if (b >= e)
            continue;
        uint64_t bits[3] = {0, 0, 0};
        for_each_piece<56>(rows, steps, j, source, [&](int32_t i, const uint8_t *from, int64_t x, int32_t n) {
            uint64_t word = (load_bits(from + (x >> 3)) << (x & 7)) & ~(~static_cast<uint64_t>(0) >> n);
            int32_t at = i >> 6, offset = i & 63;
            bits[at] |= word >> offset;
            if (offset)
                bits[at + 1] |= word << (64 - offset);
        });
        uint8_t *out = tile.pixels + static_cast<size_t>(j) * tile.line;
        uint8_t row[16] = {};
        size_t bytes = tile.line < sizeof row ? tile.line : sizeof row;
        memcpy(row, out, bytes);
        for (int32_t w = 0; w < 2; ++w) {
            uint64_t mask = run_mask(b, e, 64 * w), old = load_bits(row + 8 * w);
            store_bits(row + 8 * w, (old & ~mask) | (bits[w] & mask));
        }
        memcpy(out, row, bytes);
    }
}

template <typename Source>
void sample_pieces(int32_t kind, const AffineRows &rows, const Source &source, TileRaster &tile) {
    if (kind == 1)
        sample_pieces_bilevel(rows, source, tile);
    else if (kind == 4)
        sample_pieces_bytes<3>(rows, source, tile);
    else
        sample_pieces_bytes<1>(rows, source, tile);
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
    if (pieces_pay(rows)) {
        sample_pieces(kind, rows, PartSource(part), tile);
        return;
    }
    if (kind == 1)
        sample_rows_bilevel(rows, part, tile);
    else if (kind == 4)
        sample_rows_bytes<3>(rows, part, tile);
    else
        sample_rows_bytes<1>(rows, part, tile);
}

bool warp_rows_in_pieces(const AffineRows &rows) { return pieces_pay(rows); }

void warp_sample_rows_grid(int32_t kind, const AffineRows &rows, const SourceGrid &grid, TileRaster &tile) {
    sample_pieces(kind, rows, GridSource(grid), tile);
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
