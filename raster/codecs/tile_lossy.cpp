/*
 * tile_lossy.cpp - the lossy block coding of grey and colour tiles (modes 2,
 * 3 and 4).
 *
 * Algorithm. The tile is cut into 8 x 8 blocks, row by row; a block that
 * reaches past the right or bottom edge is completed by repeating the last
 * pixel of each row to the right, then the last row down (a clamp of the
 * coordinates). Each component (grey: the pixel byte; colour: the first,
 * second and third byte of a pixel, one after the other) is coded on its
 * own:
 *  1. transform: block values x_k (k = 8 * row + column) give 16
 *     coefficients c_j = (sum_k F[k][x_k][j]) >> 5, modulo 256 as a signed
 *     byte (F bytes summed as unsigned values; tools/make_yx_tables.cpp
 *     explains the tables: a DCT restricted to the 4 x 4 lowest frequencies);
 *  2. planes: plane p holds coefficient kScan[p] of every block, in block
 *     order; each value is quantised by a right shift of its magnitude by
 *     q_p (kShift: by mode and by first / other component), sign kept;
 *     plane 0 (the DC) is then replaced by its differences modulo 256;
 *  3. record of the N = 16 * blocks values: zero map (N / 8 bytes, bit i of
 *     the map set when value i is not 0, least significant bit first),
 *     the M non-zero magnitudes minus 1 as nibbles (low nibble first; 15
 *     marks a magnitude of 16 or more, which also goes to the escape list),
 *     the sign map ((M + 7) / 8 bytes, most significant bit first, set for
 *     negative), then the escapes (one byte, the full magnitude, each).
 * Decoding reverses 3 and 2 (running sum of plane 0, magnitude shifted back
 * left, sign kept, all modulo 256) and rebuilds each block: when
 * coefficients 1..15 are all 0 the block is (c_0 + 128) mod 256; otherwise
 * each pixel is 128 + 2 * (t + r) clamped to 0..255, where t is the term
 * G[j][c_j][k] (signed) of the lowest non-zero coefficient and r the sum
 * modulo 256 (as a signed byte) of the terms of the others. Only the part
 * of a block inside the tile is written back.
 *
 * Decisions:
 *  - Record size: a component's record is at most 512 + 2048 + 512 + 4096 =
 *    7168 bytes (every value an escape), so a grey record stays under 16384
 *    and a colour one (21504) under 49153, the tile store's largest records.
 *    The coder therefore never has to fall back to plain storage, and fails
 *    only on a caller's too small `capacity`. Rejected: capping the code at
 *    6/8 of the raw tile like the run codes; a lossy record is a quality
 *    choice of the frame's owner, and a noisy tile is still coded within
 *    the store's record size.
 *  - One pass per component on encoding: the zero map and the nibbles go
 *    straight into the record, the sign bits into the 512-byte work area
 *    and the escapes into the 4096-byte one (exactly their largest sizes),
 *    and both are appended when the component ends. Rejected: counting the
 *    non-zero values first to place the sign map; a second walk over the
 *    values for the same result.
 *  - Decoding validates before it writes: all components are parsed into
 *    the coefficient work area (3 x 4096 values) and checked (whole record
 *    used, no read past `length`, escapes 16..128) before a pixel of the
 *    tile is touched, so a damaged record leaves the tile as it was.
 *    Rejected: decoding component by component into the tile; a record
 *    damaged in its last component would leave a half-written tile.
 *  - Exactly the record's length must be used: a record with bytes left
 *    over is as damaged as one that ends early (store records carry their
 *    exact length).
 *  - Flat blocks skip the transform: the prepared table (see
 *    yx_prepare_tables) holds, per value x, the DC coefficient of a flat
 *    block of x as F gives it and whether F gives all its other
 *    coefficients as 0; the encoder then takes that instead of the 1024
 *    table reads. The table is derived from the loaded F, so the shortcut
 *    gives the same coefficients as the full transform for any tables.
 *    Large flat areas (page backgrounds) are the commonest blocks.
 *  - Arithmetic on coefficients is modulo 256 throughout, as the format
 *    states; a hostile record can make a value that no encoder makes (for
 *    instance a magnitude of 128 shifted left), and it simply wraps: the
 *    table index is always a byte, so no lookup leaves the tables.
 */
#include "tile_lossy.h"

#include "lossy_tables.h"

#include <string.h>

namespace quill {

YXTables g_yx;

namespace {

// Set bits of a byte (the non-zero values a zero-map byte announces), by
// halves; the core's byte tables sit above this folder, and three adds
// cost no more than a table load here.
inline uint32_t bits_set(uint8_t b) {
    uint32_t v = b - ((b >> 1) & 0x55u);
    v = (v & 0x33u) + ((v >> 2) & 0x33u);
    return (v + (v >> 4)) & 0x0Fu;
}

constexpr int kBlockSide = 8;
constexpr int kCoefficients = 16;
constexpr int32_t kTileSide = 128;
constexpr uint32_t kMaxValues = kCoefficients * (kTileSide / kBlockSide) * (kTileSide / kBlockSide);
constexpr uint32_t kForwardPlane = 4096; // F: bytes per pixel position k
constexpr uint32_t kInversePlane = 16384; // G: bytes per coefficient j

// Plane p holds coefficient kScan[p]: lowest frequencies first (with
// j = 4 * v + u, shell by shell of max(u, v)).
constexpr uint8_t kScan[kCoefficients] = {0, 1, 4, 5, 2, 8, 6, 9, 10, 3, 12, 7, 13, 11, 14, 15};

// Quantisation shifts per plane: [mode - 2][0 first component, 1 others].
constexpr uint8_t kShift[3][2][kCoefficients] = {
    {{1, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
     {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2}},
    {{1, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
     {1, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3}},
    {{1, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2},
     {2, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 4, 4, 4, 4, 4}},
};

// Layout of the 1024-byte prepared table (yx_prepare_tables).
constexpr uint32_t kFlatDC = 0;      // [x]: c_0 of a flat block of value x
constexpr uint32_t kFlatPure = 256;  // [x]: 1 when that block's c_1..c_15 are 0

// Nibble value that marks an escape (magnitude 16 or more).
constexpr uint32_t kEscapeNibble = 15;

inline uint8_t as_byte(int value) { return static_cast<uint8_t>(value & 0xFF); }
inline int as_signed(uint8_t value) { return static_cast<int8_t>(value); }

// The tile's geometry as the kernels need it: one component of `width` x
// `height` pixels, `step` bytes apart in a row, rows `line` bytes apart.
struct Plane {
    int32_t width, height;
    uint32_t step, line;
};

uint32_t block_count(int32_t width, int32_t height) {
    return static_cast<uint32_t>(((width + 7) / 8) * ((height + 7) / 8));
}

uint32_t components_of(int32_t kind) { return kind == 4 ? 3u : 1u; }

bool geometry_ok(int32_t kind, int32_t mode, int32_t width, int32_t height, uint32_t tileLine) {
    if (kind != 2 && kind != 4)
        return false;
    if (mode < 2 || mode > 4)
        return false;
    if (width < 1 || width > kTileSide || height < 1 || height > kTileSide)
        return false;
    return tileLine >= static_cast<uint32_t>(width) * components_of(kind);
}

// Gathers block (bx, by) of one component, completing it past the tile's
// edges by repeating the last column and then the last row.
void gather_block(const uint8_t *data, const Plane &g, int32_t bx, int32_t by, uint8_t block[64]) {
    for (int y = 0; y < kBlockSide; ++y) {
        int32_t sy = by * kBlockSide + y;
        if (sy >= g.height)
            sy = g.height - 1;
        const uint8_t *row = data + static_cast<size_t>(sy) * g.line;
        for (int x = 0; x < kBlockSide; ++x) {
            int32_t sx = bx * kBlockSide + x;
            if (sx >= g.width)
                sx = g.width - 1;
            block[y * kBlockSide + x] = row[static_cast<size_t>(sx) * g.step];
        }
    }
}

// c_j of one block through F. The shortcut for flat blocks gives the same
// result (the prepared table was computed from F).
void forward_block(const uint8_t block[64], const uint8_t *forward, const uint8_t *prepared,
                   int8_t coef[kCoefficients]) {
    bool flat = true;
    for (int k = 1; k < 64 && flat; ++k)
        flat = block[k] == block[0];
    if (flat && prepared[kFlatPure + block[0]]) {
        memset(coef, 0, kCoefficients);
        coef[0] = static_cast<int8_t>(prepared[kFlatDC + block[0]]);
        return;
    }
    // 64 bytes of at most 255 sum to at most 16320: 16 bits suffice.
    uint16_t sum[kCoefficients] = {};
    for (int k = 0; k < 64; ++k) {
        const uint8_t *row = forward + kForwardPlane * static_cast<uint32_t>(k) + 16u * block[k];
        for (int j = 0; j < kCoefficients; ++j)
            sum[j] = static_cast<uint16_t>(sum[j] + row[j]);
    }
    for (int j = 0; j < kCoefficients; ++j)
        coef[j] = static_cast<int8_t>(as_byte(sum[j] >> 5));
}

// Transform and quantisation of one component into `values` (plane p of
// block b at p * blocks + b), then the DC differences.
void quantise_component(const uint8_t *data, const Plane &g, const uint8_t shift[kCoefficients],
                        const YXTables &t, int8_t *values) {
    int32_t across = (g.width + 7) / 8, down = (g.height + 7) / 8;
    uint32_t blocks = static_cast<uint32_t>(across * down);
    uint32_t b = 0;
    for (int32_t by = 0; by < down; ++by)
        for (int32_t bx = 0; bx < across; ++bx, ++b) {
            uint8_t block[64];
            int8_t coef[kCoefficients];
            gather_block(data, g, bx, by, block);
            forward_block(block, t.forward, t.prepared, coef);
            for (int p = 0; p < kCoefficients; ++p) {
                int c = coef[kScan[p]];
                // Toward zero: the magnitude is shifted, the sign kept. A
                // magnitude of 128 (c = -128, shift 0) stays -128.
                int m = (c < 0 ? -c : c) >> shift[p];
                values[static_cast<uint32_t>(p) * blocks + b] = static_cast<int8_t>(c < 0 ? -m : m);
            }
        }
    // Differences from the end backwards, so each still sees its original
    // predecessor.
    for (uint32_t i = blocks - 1; i > 0; --i)
        values[i] = static_cast<int8_t>(as_byte(values[i] - values[i - 1]));
}

// Writes the record of `n` values (n a multiple of 8); returns its length,
// or 0 when it would pass `capacity`. `signs` (512 bytes) and `escapes`
// (4096 bytes) are work areas.
uint32_t write_component(const int8_t *values, uint32_t n, uint8_t *out, uint32_t capacity,
                         uint8_t *signs, uint8_t *escapes) {
    uint32_t mapBytes = n / 8;
    if (mapBytes > capacity)
        return 0;
    memset(out, 0, mapBytes);
    memset(signs, 0, (n + 7) / 8);
    uint32_t at = mapBytes; // next nibble byte
    uint32_t count = 0;     // non-zero values so far (M)
    uint32_t escapeCount = 0;
    for (uint32_t i = 0; i < n; ++i) {
        int v = values[i];
        if (v == 0)
            continue;
        out[i >> 3] = static_cast<uint8_t>(out[i >> 3] | (1u << (i & 7)));
        uint32_t magnitude = static_cast<uint32_t>(v < 0 ? -v : v);
        uint32_t nibble = magnitude - 1;
        if (magnitude >= 16) {
            nibble = kEscapeNibble;
            escapes[escapeCount++] = static_cast<uint8_t>(magnitude);
        }
        if ((count & 1) == 0) {
            if (at >= capacity)
                return 0;
            out[at++] = static_cast<uint8_t>(nibble);
        } else {
            out[at - 1] = static_cast<uint8_t>(out[at - 1] | (nibble << 4));
        }
        if (v < 0)
            signs[count >> 3] = static_cast<uint8_t>(signs[count >> 3] | (0x80u >> (count & 7)));
        ++count;
    }
    uint32_t signBytes = (count + 7) / 8;
    if (capacity - at < signBytes || capacity - at - signBytes < escapeCount)
        return 0;
    memcpy(out + at, signs, signBytes);
    at += signBytes;
    memcpy(out + at, escapes, escapeCount);
    return at + escapeCount;
}

// Reads the record of `n` values from `in` (at most `avail` bytes) into
// `values`; returns the bytes used, or 0 when the record is shorter than it
// claims or holds an escape outside 16..128. Nothing is read past `avail`.
uint32_t read_component(const uint8_t *in, uint32_t avail, uint32_t n, int8_t *values) {
    uint32_t mapBytes = n / 8;
    if (mapBytes > avail)
        return 0;
    uint32_t count = 0;
    for (uint32_t i = 0; i < mapBytes; ++i)
        count += bits_set(in[i]);
    uint32_t nibbleBytes = (count + 1) / 2, signBytes = (count + 7) / 8;
    if (avail - mapBytes < nibbleBytes + signBytes)
        return 0;
    const uint8_t *nibbles = in + mapBytes;
    const uint8_t *signs = nibbles + nibbleBytes;
    const uint8_t *escapes = signs + signBytes;
    uint32_t escapeRoom = avail - mapBytes - nibbleBytes - signBytes;
    uint32_t m = 0, e = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (!(in[i >> 3] & (1u << (i & 7)))) {
            values[i] = 0;
            continue;
        }
        uint32_t magnitude = ((nibbles[m >> 1] >> ((m & 1) * 4)) & 0xF) + 1;
        if (magnitude - 1 == kEscapeNibble) {
            if (e >= escapeRoom)
                return 0;
            magnitude = escapes[e++];
            if (magnitude < 16 || magnitude > 128)
                return 0;
        }
        bool negative = (signs[m >> 3] & (0x80u >> (m & 7))) != 0;
        int v = static_cast<int>(magnitude);
        values[i] = static_cast<int8_t>(as_byte(negative ? -v : v));
        ++m;
    }
    return mapBytes + nibbleBytes + signBytes + e;
}

// Rebuilds one component from its parsed values (DC still as differences)
// into the tile, writing only the pixels inside it.
void reconstruct_component(const int8_t *values, const uint8_t shift[kCoefficients],
                           const uint8_t *inverse, uint8_t *data, const Plane &g) {
    int32_t across = (g.width + 7) / 8, down = (g.height + 7) / 8;
    uint32_t blocks = static_cast<uint32_t>(across * down);
    uint8_t dc = 0; // running sum of plane 0, modulo 256
    uint32_t b = 0;
    for (int32_t by = 0; by < down; ++by)
        for (int32_t bx = 0; bx < across; ++bx, ++b) {
            uint8_t coef[kCoefficients]; // dequantised c_j as bytes
            dc = as_byte(dc + values[b]);
            for (int p = 0; p < kCoefficients; ++p) {
                int v = p == 0 ? as_signed(dc) : values[static_cast<uint32_t>(p) * blocks + b];
                int m = (v < 0 ? -v : v) << shift[p];
                coef[kScan[p]] = as_byte(v < 0 ? -m : m);
            }
            uint8_t pixels[64];
            const uint8_t *rows[kCoefficients]; // G rows of the non-zero coefficients
            int terms = 0;
            bool acZero = true;
            for (int j = 0; j < kCoefficients; ++j) {
                if (coef[j] == 0)
                    continue;
                acZero = acZero && j == 0;
                rows[terms++] = inverse + kInversePlane * static_cast<uint32_t>(j) + 64u * coef[j];
            }
            if (acZero) {
                memset(pixels, as_byte(coef[0] + 128), sizeof pixels);
            } else {
                // The later terms add up modulo 256 (bytes wrap); the first
                // is added to that sum as a signed value.
                uint8_t rest[64] = {};
                for (int i = 1; i < terms; ++i)
                    for (int k = 0; k < 64; ++k)
                        rest[k] = static_cast<uint8_t>(rest[k] + rows[i][k]);
                for (int k = 0; k < 64; ++k) {
                    int v = 128 + 2 * (as_signed(rows[0][k]) + as_signed(rest[k]));
                    pixels[k] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
                }
            }
            int32_t w = g.width - bx * kBlockSide, h = g.height - by * kBlockSide;
            w = w > kBlockSide ? kBlockSide : w;
            h = h > kBlockSide ? kBlockSide : h;
            for (int32_t y = 0; y < h; ++y) {
                uint8_t *row = data + static_cast<size_t>(by * kBlockSide + y) * g.line +
                               static_cast<size_t>(bx * kBlockSide) * g.step;
                for (int32_t x = 0; x < w; ++x)
                    row[static_cast<size_t>(x) * g.step] = pixels[y * kBlockSide + x];
            }
        }
}

} // namespace

bool lossy_available() {
    return g_yx.forward && g_yx.inverse && g_yx.prepared && g_yx.coefficients && g_yx.small &&
           g_yx.codeBuffer;
}

uint32_t lossy_record_bound(int32_t kind, int32_t width, int32_t height) {
    if (!geometry_ok(kind, 2, width, height, static_cast<uint32_t>(width) * components_of(kind)))
        return 0;
    // Per component: zero map n/8, nibbles n/2, signs n/8, escapes n.
    uint32_t n = kCoefficients * block_count(width, height);
    return components_of(kind) * (n / 8 + n / 2 + n / 8 + n);
}

int32_t lossy_encode(int32_t kind, int32_t mode, int32_t width, int32_t height,
                     const uint8_t *tile, uint32_t tileLine, uint8_t *record, uint32_t capacity) {
    if (!lossy_available() || !tile || !record || !geometry_ok(kind, mode, width, height, tileLine))
        return -1;
    uint32_t components = components_of(kind);
    uint32_t n = kCoefficients * block_count(width, height);
    Plane g{width, height, components, tileLine};
    int8_t *values = reinterpret_cast<int8_t *>(g_yx.coefficients);
    uint32_t length = 0;
    for (uint32_t c = 0; c < components; ++c) {
        quantise_component(tile + c, g, kShift[mode - 2][c == 0 ? 0 : 1], g_yx, values);
        uint32_t part = write_component(values, n, record + length, capacity - length, g_yx.small,
                                        g_yx.codeBuffer);
        if (part == 0)
            return -1;
        length += part;
    }
    return static_cast<int32_t>(length);
}

bool lossy_decode(int32_t kind, int32_t mode, int32_t width, int32_t height,
                  const uint8_t *record, int32_t length, uint8_t *tile, uint32_t tileLine) {
    if (!lossy_available() || !tile || length < 0 || (length > 0 && !record) ||
        !geometry_ok(kind, mode, width, height, tileLine))
        return false;
    uint32_t components = components_of(kind);
    uint32_t n = kCoefficients * block_count(width, height);
    uint32_t avail = static_cast<uint32_t>(length);
    int8_t *values = reinterpret_cast<int8_t *>(g_yx.coefficients);
    uint32_t at = 0;
    for (uint32_t c = 0; c < components; ++c) {
        uint32_t part = read_component(record + at, avail - at, n, values + c * kMaxValues);
        if (part == 0)
            return false;
        at += part;
    }
    if (at != avail)
        return false;
    Plane g{width, height, components, tileLine};
    for (uint32_t c = 0; c < components; ++c)
        reconstruct_component(values + c * kMaxValues, kShift[mode - 2][c == 0 ? 0 : 1],
                              g_yx.inverse, tile + c, g);
    return true;
}

// Derives the coder's tables from the two file images (see lossy_tables.h).
// The prepared table (1024 bytes):
//   [0, 256)    c_0 of a block whose 64 pixels all have the value x, through
//               F exactly as the transform computes it;
//   [256, 512)  1 when F gives that flat block 0 for c_1..c_15 (then the
//               encoder takes [x] instead of transforming; tables that do
//               not make flat blocks pure DC simply lose the shortcut);
//   [512, 1024) unused, kept 0.
// Then 128 is added to every byte of the inverse table, so that its bytes
// read as signed terms (the file stores term - 128).
void yx_prepare_tables(YXTables &t) {
    memset(t.prepared, 0, 1024);
    for (uint32_t x = 0; x < 256; ++x) {
        uint32_t sum[kCoefficients] = {};
        for (uint32_t k = 0; k < 64; ++k)
            for (int j = 0; j < kCoefficients; ++j)
                sum[j] += t.forward[kForwardPlane * k + 16 * x + static_cast<uint32_t>(j)];
        bool pure = true;
        for (int j = 1; j < kCoefficients; ++j)
            pure = pure && as_byte(static_cast<int>(sum[j] >> 5)) == 0;
        t.prepared[kFlatDC + x] = as_byte(static_cast<int>(sum[0] >> 5));
        t.prepared[kFlatPure + x] = pure ? 1 : 0;
    }
    for (uint32_t i = 0; i < kYXFileBytes; ++i)
        t.inverse[i] = static_cast<uint8_t>(t.inverse[i] + 128);
}

} // namespace quill
