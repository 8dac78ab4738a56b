/*
 * outline_kernels.h - the kernels of the outline tracer (outline.cpp is its
 * shell): framing the raster, the scan for contour corners and start
 * positions, the contour walk, and the grouping of holes into objects.
 *
 * Kernels see a bordered raster: `rows` rows of `stride` bytes, 1 = white,
 * the leftmost pixel in the most significant bit. Row 0, row rows - 1,
 * column 0 and every bit from column columns - 1 to the end of a row are
 * white; the pixels of the given raster sit at (1, 1) .. (columns - 2,
 * rows - 2). A lattice point (x, y) is the top-left corner of pixel (x, y);
 * row boundary y lies between pixel rows y - 1 and y.
 */
#ifndef QUILL_VECTOR_OUTLINE_KERNELS_H
#define QUILL_VECTOR_OUTLINE_KERNELS_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "../base/holder.h"

namespace quill {
namespace outline {

struct Bordered {
    const uint8_t *bits;
    size_t stride;    // bytes per row
    uint32_t columns; // width + 2
    uint32_t rows;    // height + 2

    const uint8_t *row(uint32_t y) const { return bits + size_t{y} * stride; }
    uint32_t white(uint32_t x, uint32_t y) const { return (row(y)[x >> 3] >> (7 - (x & 7))) & 1u; }
};

// Pixels 64k .. 64k + 63 of a row as a big-endian word (pixel 64k in the
// top bit); bytes past the row's end read as white.
inline uint64_t row_word(const uint8_t *row, size_t k, size_t stride) {
    const size_t at = 8 * k;
    uint64_t word;
    if (at + 8 <= stride) {
        memcpy(&word, row + at, 8);
        return __builtin_bswap64(word);
    }
    uint8_t tail[8];
    memset(tail, 0xFF, 8);
    if (at < stride)
        memcpy(tail, row + at, stride - at);
    memcpy(&word, tail, 8);
    return __builtin_bswap64(word);
}

// Where two rows stop holding the values (va, vb) (each 0 or 1): the column
// and the two pixels found there.
struct Change {
    uint32_t column;
    uint32_t a, b;
};

inline Change change_at(size_t k, uint32_t bit, uint64_t wa, uint64_t wb) {
    const uint32_t shift = 63 - bit;
    return Change{static_cast<uint32_t>(64 * k) + bit, static_cast<uint32_t>(wa >> shift) & 1u,
                  static_cast<uint32_t>(wb >> shift) & 1u};
}

// The first column c >= from at which row a is not `va` or row b is not
// `vb`. The caller guarantees one before the rows' padding ends: a white
// column when (va, vb) is not (1, 1).
inline Change first_change(const uint8_t *a, const uint8_t *b, size_t stride, uint32_t from, uint32_t va,
                           uint32_t vb) {
    const uint64_t fa = va ? ~uint64_t{0} : 0, fb = vb ? ~uint64_t{0} : 0;
    size_t k = from >> 6;
    uint64_t wa = row_word(a, k, stride), wb = row_word(b, k, stride);
    uint64_t m = ((wa ^ fa) | (wb ^ fb)) & (~uint64_t{0} >> (from & 63));
    while (m == 0) {
        ++k;
        wa = row_word(a, k, stride);
        wb = row_word(b, k, stride);
        m = (wa ^ fa) | (wb ^ fb);
    }
    return change_at(k, static_cast<uint32_t>(__builtin_clzll(m)), wa, wb);
}

// The last column c <= from at which row a is not `va` or row b is not
// `vb`; the caller guarantees one (column 0 is white, so (va, vb) must not
// be (1, 1)).
inline Change last_change(const uint8_t *a, const uint8_t *b, size_t stride, uint32_t from, uint32_t va,
                          uint32_t vb) {
    const uint64_t fa = va ? ~uint64_t{0} : 0, fb = vb ? ~uint64_t{0} : 0;
    size_t k = from >> 6;
    uint64_t wa = row_word(a, k, stride), wb = row_word(b, k, stride);
    uint64_t m = ((wa ^ fa) | (wb ^ fb)) & (~uint64_t{0} << (63 - (from & 63)));
    while (m == 0) {
        --k;
        wa = row_word(a, k, stride);
        wb = row_word(b, k, stride);
        m = (wa ^ fa) | (wb ^ fb);
    }
    return change_at(k, 63u - static_cast<uint32_t>(__builtin_ctzll(m)), wa, wb);
}

// Frames the `height` rows of `width` pixels at `bits` in place (see
// quillvec.h). `line` is scratch of line_bytes(width + 2) bytes.
void border_raster(uint8_t *bits, uint32_t width, uint32_t height, uint8_t *line);

// Start lists: the x of every start position (at least one per contour),
// boundary by boundary from the top, left to right; boundary y owns entries
// first[y] .. first[y + 1] - 1. A start taken by a contour already traced
// carries kTaken.
struct StartLists {
    HeapBlock<uint32_t> entries;
    HeapBlock<uint32_t> first; // rows + 1 offsets
};
constexpr uint32_t kTaken = 0x80000000u;

// One pass over every row boundary: fills the start lists (growing their
// block as needed) and counts the contour corners, exactly the number of
// points the contours will hold. False when memory runs out.
bool scan_boundaries(const Bordered &r, StartLists &lists, uint64_t &corners);

// Where the walk writes: the contour buffer (count word, then the points of
// each contour, in output coordinates, hole flag set) and its fill.
struct ContourBuffer {
    uint32_t *words;
    size_t capacity;          // words
    uint32_t *heads;          // null, or room for a word index per start:
                              // where each contour's count word stands
    size_t used = 0;
    uint32_t contours = 0;
    uint32_t outers = 0;
};

// Traces every contour from the start lists into `out`. False only if the
// buffer would overflow, which the corner count rules out.
bool trace_contours(const Bordered &r, StartLists &lists, ContourBuffer &out);

// Builds the object list of a traced contour buffer (see quillvec.h), traced
// with heads, into `objects`, which holds out.outers + out.contours words,
// and clears the hole flags. False when working memory runs out, or if a
// hole were found without an owner (checked, not trusted; nothing changed
// then).
bool group_objects(const Bordered &r, ContourBuffer &out, uint32_t *objects);

} // namespace outline
} // namespace quill

#endif
