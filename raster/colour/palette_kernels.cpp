/*
 * palette_kernels.cpp - the work behind palette objects: the inverse colour
 * map's nearest-entry search, the grey map, the ordered-dither tables and
 * the mapping of grey, colour and bilevel rasters to palette indices.
 *
 * Nearest entries. Every cell centre gets the entry at the smallest
 * squared distance (dB^2 + dG^2 + dR^2), entries taken from the last to the
 * first with only a strictly smaller distance replacing the best, so that a
 * tie goes to the highest index. Two things make this cheap:
 *  - Blocks of 8 x 8 x 4 cells (Y, U, V), whose centres lie close together
 *    in (B, G, R), first narrow the entries down to the candidates: those
 *    whose least distance to the block's bounding box is at most the
 *    smallest greatest distance of any entry to it. An entry left out is
 *    strictly farther than that one entry from every point of the box, so
 *    it can neither win nor tie, and the result (ties included) is that of
 *    the full search. On the cube of 216 colours plus 40 greys a block
 *    keeps 19 of the 256 on average.
 *  - The search runs candidate by candidate over the block's 256 cells held
 *    as planar int32 rows, not cell by cell over the entries: the inner
 *    loop has no dependency between iterations and a fixed trip count, and
 *    the compiler turns it into vector compares and blends.
 * Measured for that palette over the 262144 centres on the (loaded, noisy)
 * 2-core build machine: 10 to 22 ms pruned and blocked, 50 to 150 ms
 * blocked without pruning, 95 to 220 ms cell by cell with an early exit on
 * distance 0. A k-d tree over the entries was not tried: with at most 256
 * entries the candidate pass costs 256 box distances a block, less than
 * the search it saves.
 *
 * Mapping. Each output pixel depends on its input pixel and its position
 * modulo 8 only, so lines are independent and a raster mapped in pieces
 * (with the pieces' origins) equals the raster mapped whole. The outputs
 * that are narrower than their inputs (one index byte for three colour
 * bytes, one bit for a grey byte) are written in place from the start of
 * the buffer: output line y begins at y * outStride <= y * stride, and
 * within a line an output byte is written only after every input byte at or
 * before its position has been read, so nothing unread is overwritten.
 */
#include "palette_kernels.h"

#include <string.h>

namespace quill {

const uint8_t kBayer8[64] = {
    0,  32, 8,  40, 2,  34, 10, 42, //
    48, 16, 56, 24, 50, 18, 58, 26, //
    12, 44, 4,  36, 14, 46, 6,  38, //
    60, 28, 52, 20, 62, 30, 54, 22, //
    3,  35, 11, 43, 1,  33, 9,  41, //
    51, 19, 59, 27, 49, 17, 57, 25, //
    15, 47, 7,  39, 13, 45, 5,  37, //
    63, 31, 55, 23, 61, 29, 53, 21,
};

namespace {

inline uint8_t clamp_byte(int32_t v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// A block of the map: 8 levels of Y by 8 of U by 4 of V, 256 cells whose
// centres lie close together in (B, G, R).
constexpr int kBlockY = 8, kBlockU = 8, kBlockV = 4;
static_assert(kBlockY * kBlockU * kBlockV == kNearestBlock, "a block is kNearestBlock cells");
static_assert(kNearestChunk % (64 * 64 * kBlockV) == 0, "a chunk is whole blocks of V planes");

inline int32_t square(int32_t v) { return v * v; }

// The entries that can be nearest (or tie for nearest) to some point of the
// box lo..hi, highest index first: those whose least distance to the box is
// at most the smallest of all entries' greatest distances to it. Returns
// their number.
int candidate_entries(const uint8_t *colours, int count, const int32_t lo[3], const int32_t hi[3],
                      uint8_t *candidates) {
    int32_t least[256];
    int32_t bound = INT32_MAX;
    for (int e = 0; e < count; ++e) {
        int32_t dMin = 0, dMax = 0;
        for (int k = 0; k < 3; ++k) {
            int32_t c = colours[4 * e + k];
            dMin += square(c < lo[k] ? lo[k] - c : c > hi[k] ? c - hi[k] : 0);
            dMax += square(c - lo[k] > hi[k] - c ? c - lo[k] : hi[k] - c);
        }
        least[e] = dMin;
        bound = dMax < bound ? dMax : bound;
    }
    int n = 0;
    for (int e = count - 1; e >= 0; --e)
        if (least[e] <= bound)
            candidates[n++] = static_cast<uint8_t>(e);
    return n;
}

// One block: cell i of the block is cell `offset[i]` of the chunk.
void nearest_block(const uint8_t *bgr, const uint32_t *offset, const uint8_t *colours, int count, uint8_t *out) {
    int32_t b[kNearestBlock], g[kNearestBlock], r[kNearestBlock];
    int32_t best[kNearestBlock], bestIndex[kNearestBlock];
    int32_t lo[3] = {255, 255, 255}, hi[3] = {0, 0, 0};
    for (size_t i = 0; i < kNearestBlock; ++i) {
        const uint8_t *p = bgr + 3 * offset[i];
        b[i] = p[0];
        g[i] = p[1];
        r[i] = p[2];
        for (int k = 0; k < 3; ++k) {
            lo[k] = p[k] < lo[k] ? p[k] : lo[k];
            hi[k] = p[k] > hi[k] ? p[k] : hi[k];
        }
        best[i] = INT32_MAX;
        bestIndex[i] = 0;
    }
    uint8_t candidates[256];
    int n = candidate_entries(colours, count, lo, hi, candidates);
    // Candidates come highest index first and only a strictly smaller
    // distance replaces the best: a tie keeps the higher index.
    for (int c = 0; c < n; ++c) {
        const int e = candidates[c];
        const int32_t eb = colours[4 * e], eg = colours[4 * e + 1], er = colours[4 * e + 2];
        for (size_t i = 0; i < kNearestBlock; ++i) {
            int32_t d = square(b[i] - eb) + square(g[i] - eg) + square(r[i] - er);
            bool closer = d < best[i];
            best[i] = closer ? d : best[i];
            bestIndex[i] = closer ? e : bestIndex[i];
        }
    }
    for (size_t i = 0; i < kNearestBlock; ++i)
        out[offset[i]] = static_cast<uint8_t>(bestIndex[i]);
}

} // namespace

void nearest_entries(const uint8_t *bgr, size_t cells, const uint8_t *colours, int count, uint8_t *out) {
    uint32_t offset[kNearestBlock];
    for (size_t plane = 0; plane + kBlockV * 4096 <= cells; plane += kBlockV * 4096)
        for (uint32_t u0 = 0; u0 < 64; u0 += kBlockU)
            for (uint32_t y0 = 0; y0 < 64; y0 += kBlockY) {
                size_t i = 0;
                for (uint32_t v = 0; v < kBlockV; ++v)
                    for (uint32_t u = u0; u < u0 + kBlockU; ++u)
                        for (uint32_t y = y0; y < y0 + kBlockY; ++y)
                            offset[i++] = static_cast<uint32_t>(plane) + v * 4096 + u * 64 + y;
                nearest_block(bgr, offset, colours, count, out);
            }
}

int build_grey_map(const uint8_t *colours, int count, uint8_t *greyMap) {
    // The grey entries in index order; "<=" below lets the later of two
    // equally near entries win.
    uint8_t level[256], index[256];
    int greys = 0;
    for (int e = 0; e < count; ++e) {
        const uint8_t *c = colours + 4 * e;
        if (c[0] == c[1] && c[1] == c[2]) {
            level[greys] = c[0];
            index[greys++] = static_cast<uint8_t>(e);
        }
    }
    if (greys == 0) {
        level[0] = 0;
        index[0] = 0;
        greys = 1;
    }
    for (int l = 0; l < 256; ++l) {
        int bestDistance = 256, best = 0;
        for (int k = 0; k < greys; ++k) {
            int d = level[k] > l ? level[k] - l : l - level[k];
            if (d <= bestDistance) {
                bestDistance = d;
                best = index[k];
            }
        }
        greyMap[l] = static_cast<uint8_t>(best);
    }
    return greys;
}

int dither_amplitude(int32_t divisor) { return (255 / (divisor < 1 ? 1 : divisor)) & ~1; }

void fill_dither(int amplitude, int8_t *table) {
    for (int i = 0; i < 64; ++i)
        table[i] = static_cast<int8_t>(kBayer8[i] * amplitude / 63 - amplitude / 2);
}

void fill_bilevel_dither(int8_t *table) {
    for (int i = 0; i < 64; ++i)
        table[i] = static_cast<int8_t>(4 * kBayer8[i] - 126);
}

void grey_to_indices(uint8_t *raster, size_t bytes, const uint8_t *greyMap) {
    for (size_t i = 0; i < bytes; ++i)
        raster[i] = greyMap[raster[i]];
}

void grey_dither_to_indices(uint8_t *raster, size_t stride, int32_t height, const int8_t *table,
                            const uint8_t *greyMap, uint32_t x0, uint32_t y0) {
    for (int32_t y = 0; y < height; ++y) {
        uint8_t *line = raster + static_cast<size_t>(y) * stride;
        const int8_t *row = table + ((static_cast<uint32_t>(y) + y0) & 7) * 8;
        for (size_t x = 0; x < stride; ++x)
            line[x] = greyMap[clamp_byte(line[x] + row[(x + x0) & 7])];
    }
}

void grey_dither_to_bilevel(uint8_t *raster, size_t stride, size_t outStride, int32_t width, int32_t height,
                            const int8_t *table, uint32_t x0, uint32_t y0) {
    const size_t pixelBytes = (static_cast<size_t>(width) + 7) / 8;
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t *in = raster + static_cast<size_t>(y) * stride;
        uint8_t *out = raster + static_cast<size_t>(y) * outStride;
        const int8_t *row = table + ((static_cast<uint32_t>(y) + y0) & 7) * 8;
        for (size_t j = 0; j < pixelBytes; ++j) {
            unsigned bits = 0;
            for (size_t k = 0; k < 8; ++k) {
                size_t x = 8 * j + k;
                // Clamping to 0..255 cannot move a sum across 128, so the
                // threshold is taken on the sum itself. Pad bits are white.
                bool white = x >= static_cast<size_t>(width) || in[x] + row[(x + x0) & 7] >= 128;
                bits = bits << 1 | (white ? 1u : 0u);
            }
            out[j] = static_cast<uint8_t>(bits);
        }
        memset(out + pixelBytes, 0xFF, outStride - pixelBytes);
    }
}

void colour_to_indices(uint8_t *raster, size_t stride, size_t outStride, int32_t width, int32_t height,
                       const uint8_t *colourMap, const int8_t *table, uint32_t x0, uint32_t y0) {
    const size_t w = static_cast<size_t>(width);
    // The cell level of Y (Y >> 2, after the dither value of the pixel's
    // table position when dithering) is looked up: for each of the 64
    // positions when dithering (16 KB, clamp and shift done once, in the
    // first-level cache), once for all when not. Plain and dithered
    // mapping are then the same loop.
    uint8_t level[64][256];
    const int rows = table ? 64 : 1;
    for (int i = 0; i < rows; ++i)
        for (int v = 0; v < 256; ++v)
            level[i][v] = static_cast<uint8_t>(clamp_byte(v + (table ? table[i] : 0)) >> 2);
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t *in = raster + static_cast<size_t>(y) * stride;
        uint8_t *out = raster + static_cast<size_t>(y) * outStride;
        // The table columns in the order the pixels meet them, so that in
        // each group of eight pixels the k-th uses column[k].
        const uint8_t *column[8];
        for (uint32_t k = 0; k < 8; ++k)
            column[k] = table ? level[((static_cast<uint32_t>(y) + y0) & 7) * 8 + ((x0 + k) & 7)] : level[0];
        size_t x = 0;
        for (; x + 8 <= w; x += 8, in += 24)
            for (size_t k = 0; k < 8; ++k)
                out[x + k] = colourMap[(in[3 * k + 2] >> 2) << 12 | (in[3 * k + 1] >> 2) << 6 | column[k][in[3 * k]]];
        for (; x < w; ++x, in += 3)
            out[x] = colourMap[(in[2] >> 2) << 12 | (in[1] >> 2) << 6 | column[x & 7][in[0]]];
        memset(out + w, 0, outStride - w);
    }
}

void bilevel_to_indices(const uint8_t *source, size_t stride, int32_t width, int32_t height, uint8_t *out,
                        size_t outStride, uint8_t white, uint8_t black) {
    const size_t w = static_cast<size_t>(width);
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t *in = source + static_cast<size_t>(y) * stride;
        uint8_t *line = out + static_cast<size_t>(y) * outStride;
        for (size_t x = 0; x < w; ++x)
            line[x] = (in[x >> 3] >> (7 - (x & 7))) & 1 ? white : black;
        memset(line + w, 0, outStride - w);
    }
}

} // namespace quill
