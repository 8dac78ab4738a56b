/*
 * turn_kernels.cpp - quarter turns and row reversal of rasters in memory.
 *
 * Bilevel quarter turn: the raster is cut into 16 x 16 blocks whose rows
 * are one 16-bit word each. A clockwise block turn is a transpose of the
 * block with its rows taken bottom up; a counter-clockwise one is a
 * transpose stored bottom up. The transpose holds the block in four 64-bit
 * words (four rows each) and swaps bit groups with shifts and masks, the
 * recursive way: the off-diagonal 8 x 8 quadrants, then the 4 x 4, 2 x 2
 * and 1 x 1 sub-blocks, 12 masked swaps in all. Two of the four stages
 * pair words (rows 8 and 4 apart), the other two pair 16-bit lanes inside
 * a word (rows 2 and 1 apart) as delta swaps. A block of one colour is its
 * own transpose and is copied without the swaps: on drawings most blocks
 * are white. Blocks are placed so that the destination's blocks start on
 * 16-bit words: clockwise, whole blocks are counted from the bottom of the
 * source (the top h mod 16 rows are left over), counter-clockwise from the
 * top; in both, from the left. The left-over strips and their corner are
 * turned pixel by pixel.
 *
 * Grey and colour quarter turns copy pixels in 16 x 16 blocks of the
 * destination, so that the reads down a source column stay within a few
 * cache lines.
 *
 * Row reversal copies a row into another, last pixel first. A bilevel row
 * of n bytes with p pad bits in its last byte is read backwards a byte at a
 * time, each byte mirrored through the 256-entry bit-reversal table
 * (bit_tables.h); output byte i is mirrored byte i shifted left by p bits
 * with the top bits of mirrored byte i + 1 behind it, which brings the last
 * pixel to the front. Eight output bytes whose nine input bytes are white
 * are written white at once.
 *
 * Decisions:
 *  - Blocks go from the source band into registers and from there into the
 *    destination band; no 64-byte block buffer is copied in between, and
 *    the strips are turned inside the same bands rather than read and
 *    written piece by piece (a 16-pixel piece would cost a tile's decoding
 *    and coding each).
 *  - The transpose works on 64-bit words, not on 16 separate row words:
 *    the lane stages then cost one delta swap per word for four rows.
 *    Measured on 128 x 8192-pixel chunks: 23 ns a block of mixed content,
 *    14 ns a white one.
 *  - The bit-reversal table is a compile-time constant rather than a block
 *    built per call: it cannot fail and needs no library-wide state.
 *  - Rows are reversed into another buffer rather than in place: one pass
 *    (an in-place reversal needs a second pass for the shift), and callers
 *    keep the original row.
 */
#include "turn_kernels.h"

#include "../core/bit_tables.h"

#include <string.h>

namespace quill {

namespace {

// A 16 x 16 bilevel block in four 64-bit words: w0 holds rows 0-3, w1 rows
// 4-7, w2 rows 8-11, w3 rows 12-15, the first of each four in the top 16
// bits; in each row, pixel 0 is the row's bit 15.
struct Block16 {
    uint64_t w0, w1, w2, w3;
};

// A row's 16 pixels as a number, pixel 0 in bit 15 (one 16-bit load).
inline uint64_t row_bits(const uint8_t *p) {
    uint16_t v;
    memcpy(&v, p, 2);
    return static_cast<uint64_t>(static_cast<uint16_t>(v << 8 | v >> 8));
}

inline void put_row_bits(uint8_t *p, uint64_t bits) {
    uint16_t v = static_cast<uint16_t>(bits);
    v = static_cast<uint16_t>(v << 8 | v >> 8);
    memcpy(p, &v, 2);
}

inline uint64_t four_rows(const uint8_t *p, ptrdiff_t step) {
    return row_bits(p) << 48 | row_bits(p + step) << 32 | row_bits(p + 2 * step) << 16 | row_bits(p + 3 * step);
}

inline void put_four_rows(uint8_t *p, ptrdiff_t step, uint64_t w) {
    put_row_bits(p, w >> 48);
    put_row_bits(p + step, w >> 32);
    put_row_bits(p + 2 * step, w >> 16);
    put_row_bits(p + 3 * step, w);
}

// Loads 16 rows starting at `p`, `step` bytes apart (negative: upwards).
inline Block16 load_block(const uint8_t *p, ptrdiff_t step) {
    return Block16{four_rows(p, step), four_rows(p + 4 * step, step), four_rows(p + 8 * step, step),
                   four_rows(p + 12 * step, step)};
}

inline void store_block(const Block16 &b, uint8_t *p, ptrdiff_t step) {
    put_four_rows(p, step, b.w0);
    put_four_rows(p + 4 * step, step, b.w1);
    put_four_rows(p + 8 * step, step, b.w2);
    put_four_rows(p + 12 * step, step, b.w3);
}

// Exchanges the bits of `a` under `mask` with the bits of `b` `shift`
// places higher: rows a and b, columns c of a with columns c - shift of b.
inline void swap_between(uint64_t &a, uint64_t &b, int shift, uint64_t mask) {
    uint64_t t = (a ^ (b >> shift)) & mask;
    a ^= t;
    b ^= t << shift;
}

// Exchanges the bits of `x` under `mask` with the bits `delta` places lower.
inline void swap_within(uint64_t &x, int delta, uint64_t mask) {
    uint64_t t = (x ^ (x << delta)) & mask;
    x ^= t ^ (t >> delta);
}

// Rows 2 apart are two lanes (32 bits) apart: the partner of column c sits
// 32 - 2 bits lower. Rows 1 apart: 16 - 1 bits lower.
inline void swap_lanes(uint64_t &w) {
    swap_within(w, 30, 0x3333333300000000ull);
    swap_within(w, 15, 0x5555000055550000ull);
}

// Element (r, c) changes place with (c, r). Each stage exchanges the
// elements whose row and column differ in one bit of their index (8, 4, 2,
// 1); the stages commute.
inline void transpose(Block16 &b) {
    // Rows 8 apart: the right half of rows 0-7 with the left half of 8-15.
    swap_between(b.w0, b.w2, 8, 0x00FF00FF00FF00FFull);
    swap_between(b.w1, b.w3, 8, 0x00FF00FF00FF00FFull);
    // Rows 4 apart.
    swap_between(b.w0, b.w1, 4, 0x0F0F0F0F0F0F0F0Full);
    swap_between(b.w2, b.w3, 4, 0x0F0F0F0F0F0F0F0Full);
    swap_lanes(b.w0);
    swap_lanes(b.w1);
    swap_lanes(b.w2);
    swap_lanes(b.w3);
}

inline bool one_colour(const Block16 &b) {
    uint64_t all = b.w0 & b.w1 & b.w2 & b.w3, any = b.w0 | b.w1 | b.w2 | b.w3;
    return all == ~0ull || any == 0;
}

inline bool bit_at(const uint8_t *row, int32_t x) { return (row[x >> 3] >> (7 - (x & 7))) & 1u; }

inline void set_bit_at(uint8_t *row, int32_t x, bool white) {
    uint8_t bit = static_cast<uint8_t>(0x80u >> (x & 7));
    row[x >> 3] = static_cast<uint8_t>(white ? row[x >> 3] | bit : row[x >> 3] & ~bit);
}

// Turns the destination pixels of rows [r0, r1) x columns [c0, c1) one by
// one; the source is w x h.
void turn_bits_one_by_one(const uint8_t *from, size_t fromStride, int32_t w, int32_t h, uint8_t *to,
                          size_t toStride, Turn turn, int32_t r0, int32_t r1, int32_t c0, int32_t c1) {
    for (int32_t y = r0; y < r1; ++y) {
        uint8_t *out = to + static_cast<size_t>(y) * toStride;
        for (int32_t x = c0; x < c1; ++x) {
            int32_t sx = turn == Turn::Clockwise ? y : w - 1 - y;
            int32_t sy = turn == Turn::Clockwise ? h - 1 - x : x;
            set_bit_at(out, x, bit_at(from + static_cast<size_t>(sy) * fromStride, sx));
        }
    }
}

inline int32_t min32(int32_t a, int32_t b) { return a < b ? a : b; }

// Grey and colour quarter turn, `Bytes` bytes a pixel.
template <int Bytes, Turn Direction>
void turn_pixels(const uint8_t *from, size_t fromStride, int32_t w, int32_t h, uint8_t *to, size_t toStride) {
    constexpr int32_t kBlock = 16;
    for (int32_t y0 = 0; y0 < w; y0 += kBlock) {
        int32_t y1 = min32(y0 + kBlock, w);
        for (int32_t x0 = 0; x0 < h; x0 += kBlock) {
            int32_t x1 = min32(x0 + kBlock, h);
            for (int32_t y = y0; y < y1; ++y) {
                uint8_t *out = to + static_cast<size_t>(y) * toStride + static_cast<size_t>(x0) * Bytes;
                int32_t sx = Direction == Turn::Clockwise ? y : w - 1 - y;
                const uint8_t *column = from + static_cast<size_t>(sx) * Bytes;
                for (int32_t x = x0; x < x1; ++x, out += Bytes) {
                    int32_t sy = Direction == Turn::Clockwise ? h - 1 - x : x;
                    memcpy(out, column + static_cast<size_t>(sy) * fromStride, Bytes);
                }
            }
        }
    }
}

template <int Bytes>
void turn_pixels(const uint8_t *from, size_t fromStride, int32_t w, int32_t h, uint8_t *to, size_t toStride,
                 Turn turn) {
    if (turn == Turn::Clockwise)
        turn_pixels<Bytes, Turn::Clockwise>(from, fromStride, w, h, to, toStride);
    else
        turn_pixels<Bytes, Turn::CounterClockwise>(from, fromStride, w, h, to, toStride);
}

// Eight bytes of a row as a number, the first byte in the top bits.
inline uint64_t load_be64(const uint8_t *p) {
    uint64_t v;
    memcpy(&v, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

inline void store_be64(uint8_t *p, uint64_t v) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    memcpy(p, &v, 8);
}

} // namespace

void turn_block16(const uint8_t *from, size_t fromStride, uint8_t *to, size_t toStride, Turn turn) {
    ptrdiff_t in = static_cast<ptrdiff_t>(fromStride), out = static_cast<ptrdiff_t>(toStride);
    Block16 b = turn == Turn::Clockwise ? load_block(from + 15 * in, -in) : load_block(from, in);
    if (!one_colour(b))
        transpose(b);
    if (turn == Turn::Clockwise)
        store_block(b, to, out);
    else
        store_block(b, to + 15 * out, -out);
}

void turn_bilevel(const uint8_t *from, size_t fromStride, int32_t width, int32_t height, uint8_t *to,
                  size_t toStride, Turn turn) {
    int32_t blockColumns = width / 16, blockRows = height / 16;
    bool clockwise = turn == Turn::Clockwise;
    // Clockwise, source block row i counts from the bottom and lands in
    // destination columns 16i..; counter-clockwise it counts from the top.
    // Block column j lands in 16 destination rows.
    auto turn_block = [&](int32_t i, int32_t j) {
        int32_t top = clockwise ? height - 16 * (i + 1) : 16 * i;
        int32_t destinationRow = clockwise ? 16 * j : width - 16 * (j + 1);
        turn_block16(from + static_cast<size_t>(top) * fromStride + 2 * j, fromStride,
                     to + static_cast<size_t>(destinationRow) * toStride + 2 * i, toStride, turn);
    };
    // The inner loop keeps the 16 rows of the raster with the longer rows
    // in place and walks along them. Walking the other way touches a row of
    // that raster per block row, and rows a power of two apart (1024 bytes
    // in a chunk of 8192 pixels) share a few cache sets: 128 of them evict
    // each other. Measured on 128 x 8192-pixel chunks: 45 ns a block the
    // wrong way round, 23 ns (14 ns white) the right way.
    if (toStride >= fromStride) {
        for (int32_t j = 0; j < blockColumns; ++j)
            for (int32_t i = 0; i < blockRows; ++i)
                turn_block(i, j);
    } else {
        for (int32_t i = 0; i < blockRows; ++i)
            for (int32_t j = 0; j < blockColumns; ++j)
                turn_block(i, j);
    }
    // Left over: the destination columns past the whole blocks (source rows
    // at the top clockwise, at the bottom counter-clockwise), then the rest
    // of the destination rows that no block filled.
    int32_t blockedColumns = 16 * blockRows, blockedRows = 16 * blockColumns;
    turn_bits_one_by_one(from, fromStride, width, height, to, toStride, turn, 0, width, blockedColumns, height);
    int32_t r0 = clockwise ? blockedRows : 0, r1 = clockwise ? width : width - blockedRows;
    turn_bits_one_by_one(from, fromStride, width, height, to, toStride, turn, r0, r1, 0, blockedColumns);
}

void turn_grey(const uint8_t *from, size_t fromStride, int32_t width, int32_t height, uint8_t *to,
               size_t toStride, Turn turn) {
    turn_pixels<1>(from, fromStride, width, height, to, toStride, turn);
}

void turn_colour(const uint8_t *from, size_t fromStride, int32_t width, int32_t height, uint8_t *to,
                 size_t toStride, Turn turn) {
    turn_pixels<3>(from, fromStride, width, height, to, toStride, turn);
}

void turn_quarter(int32_t kind, const uint8_t *from, size_t fromStride, int32_t width, int32_t height,
                  uint8_t *to, size_t toStride, Turn turn) {
    if (kind == 1)
        turn_bilevel(from, fromStride, width, height, to, toStride, turn);
    else if (kind == 2)
        turn_grey(from, fromStride, width, height, to, toStride, turn);
    else
        turn_colour(from, fromStride, width, height, to, toStride, turn);
}

void reverse_bilevel_row(const uint8_t *from, uint8_t *to, int32_t width) {
    if (width < 1)
        return;
    uint32_t bytes = (static_cast<uint32_t>(width) + 7) / 8;
    uint32_t pad = bytes * 8 - static_cast<uint32_t>(width);
    const uint8_t *mirror = kBitReversed.value;
    // Output byte i is mirrored byte i (the i-th from the end of `from`,
    // mirrored) shifted left by the pad bits, the next one's top bits
    // behind it. `current` carries mirrored byte i from one step to the
    // next, so each byte is looked up once.
    auto mirrored = [&](uint32_t k) -> uint32_t { return k < bytes ? mirror[from[bytes - 1 - k]] : 0u; };
    uint32_t current = mirrored(0), i = 0;
    // Eight bytes at a time while a ninth follows: white in, white out.
    for (; i + 9 <= bytes; i += 8) {
        const uint8_t *in = from + bytes - 9 - i; // in[8 - k] feeds mirrored byte i + k
        if (load_be64(in + 1) == ~0ull && (pad == 0 || in[0] == 0xFF)) {
            store_be64(to + i, ~0ull);
            current = mirror[in[0]];
            continue;
        }
        for (uint32_t k = 0; k < 8; ++k) {
            uint32_t next = mirror[in[7 - k]];
            to[i + k] = static_cast<uint8_t>(current << pad | next >> (8 - pad));
            current = next;
        }
    }
    for (; i < bytes; ++i) {
        uint32_t next = mirrored(i + 1);
        to[i] = static_cast<uint8_t>(current << pad | next >> (8 - pad));
        current = next;
    }
}

void reverse_grey_row(const uint8_t *from, uint8_t *to, int32_t width) {
    for (int32_t x = 0; x < width; ++x)
        to[x] = from[width - 1 - x];
}

void reverse_colour_row(const uint8_t *from, uint8_t *to, int32_t width) {
    for (int32_t x = 0; x < width; ++x)
        memcpy(to + 3 * x, from + 3 * (width - 1 - x), 3);
}

void reverse_row(int32_t kind, const uint8_t *from, uint8_t *to, int32_t width) {
    if (kind == 1)
        reverse_bilevel_row(from, to, width);
    else if (kind == 2)
        reverse_grey_row(from, to, width);
    else
        reverse_colour_row(from, to, width);
}

} // namespace quill
