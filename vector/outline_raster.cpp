/*
 * outline_raster.cpp - the raster passes of the outline tracer: framing the
 * raster in place, and one pass that counts the contour corners and lists
 * the start positions, 64 pixels at a time.
 *
 * Framing copies the rows from the last to the first into rows of the wider
 * stride, one bit to the right, then whitens the frame and every padding
 * bit. Each row goes through a scratch line first: the shift loop then
 * reads and writes distinct memory and the compiler vectorises it (rejected:
 * a byte loop running backwards over the overlapping rows in place, which
 * cannot be vectorised).
 *
 * The scan looks at every lattice point of every row boundary through its
 * 2 x 2 window of pixels: TL, TR above the boundary, BL, BR below, TR and BR
 * being the pixels of the point's own column. With the rows as big-endian
 * words T and B (1 = white) and Tp, Bp the same rows moved one column to the
 * right (so a bit holds the pixel to the left):
 *  - hL = Tp ^ Bp and hR = T ^ B mark a horizontal edge to the left and to
 *    the right of the point. The contour turns at the point when exactly one
 *    of them is there; when both are, and a vertical edge (Tp ^ T) too, the
 *    window is a diagonal pair and two contour passes turn there. So
 *    corners = popcount(hL ^ hR) + 2 popcount(hL & hR & (Tp ^ T)), exactly
 *    the number of points the contours will hold.
 *  - The start positions are the points where BR differs from TR and from
 *    BL, except the diagonal pair whose TL and BR are both white: a single
 *    black BR (the top-left corner of an object), black TL and BR with
 *    white TR and BL, and a single white BR (the top-left corner of a
 *    hole). Exactly one contour pass turns at each of them, either from up
 *    to right or from left to down, so the walk can retire each start it
 *    meets without knowing whether its contour is an outer one or a hole.
 *    Every contour begins at one of them: the left end of its topmost edge
 *    is an up-to-right turn there.
 *   Rejected: listing every corner where a contour arrives moving left,
 *   besides the up-to-right turns. Where TR is the only black pixel, or TR
 *   and BL are black and the others white, a contour arrives moving left
 *   only if it is an outer contour; where TR is the only white pixel, only
 *   if it is a hole; a window cannot tell which. Nor can lists sized by one
 *   start per contour hold those corners: a single pixel has two.
 * The corners are counted and the starts listed in the same pass.
 * All-white words with white carries are skipped: on a drawing most are.
 */
#include "outline_kernels.h"

#include "../base/bit_words.h"
#include "../base/raster_line.h"

namespace quill {
namespace outline {

namespace {

// The masks of one 64-pixel stretch of a row boundary.
struct Window {
    uint64_t turns;    // points where one contour pass turns
    uint64_t diagonal; // diagonal pairs: two turns each
    uint64_t starts;   // start positions
};

// Calls visit(k, window) for every word k of boundary y that is not all
// white. Carries hold the last pixel of the previous word; column -1 is
// white.
template <typename Visit>
void for_each_window(const Bordered &r, uint32_t y, Visit visit) {
    const uint8_t *top = r.row(y - 1), *bottom = r.row(y);
    const size_t words = (r.stride + 7) / 8;
    uint64_t carryT = 1, carryB = 1;
    for (size_t k = 0; k < words; ++k) {
        const uint64_t t = row_word(top, k, r.stride), b = row_word(bottom, k, r.stride);
        if ((t & b) == ~uint64_t{0} && (carryT & carryB)) // all white: carries stay white
            continue;
        const uint64_t tp = (t >> 1) | (carryT << 63), bp = (b >> 1) | (carryB << 63);
        carryT = t & 1;
        carryB = b & 1;
        const uint64_t hL = tp ^ bp, hR = t ^ b;
        Window w;
        w.turns = hL ^ hR;
        w.diagonal = hL & hR & (tp ^ t);
        w.starts = (b ^ t) & (b ^ bp) & ~(tp & b);
        visit(k, w);
    }
}

// dst = the scratch line one bit to the right, the first bit white.
void shift_line(const uint8_t *__restrict line, uint8_t *__restrict dst, size_t bytes) {
    dst[0] = static_cast<uint8_t>(0x80u | (line[0] >> 1));
    for (size_t j = 1; j < bytes; ++j)
        dst[j] = static_cast<uint8_t>((line[j - 1] << 7) | (line[j] >> 1));
}

// Sets every bit of the row from column `column` to its end.
void whiten_from(uint8_t *row, uint32_t column, size_t bytes) {
    const size_t at = column >> 3;
    row[at] = static_cast<uint8_t>(row[at] | (0xFFu >> (column & 7)));
    memset(row + at + 1, 0xFF, bytes - at - 1);
}

} // namespace

void border_raster(uint8_t *bits, uint32_t width, uint32_t height, uint8_t *line) {
    const size_t given = raster_line_bytes(1, static_cast<int32_t>(width));
    const size_t stride = raster_line_bytes(1, static_cast<int32_t>(width + 2));
    // Row r moves from r * given to (r + 1) * stride, never below where it
    // was, so going from the last row up never overwrites a row not yet
    // moved.
    for (uint32_t r = height; r-- > 0;) {
        memmove(line, bits + size_t{r} * given, given);
        memset(line + given, 0xFF, stride - given);
        uint8_t *dst = bits + (size_t{r} + 1) * stride;
        shift_line(line, dst, stride);
        whiten_from(dst, width + 1, stride);
    }
    memset(bits, 0xFF, stride);
    memset(bits + (size_t{height} + 1) * stride, 0xFF, stride);
}

bool scan_boundaries(const Bordered &r, StartLists &lists, uint64_t &corners) {
    // The lists grow by doubling from a guess of a few starts per row; a
    // drawing page needs two or three doublings, and a census pass before
    // the listing would cost as much as the listing itself.
    size_t capacity = 4 * size_t{r.rows} + 64, used = 0;
    if (!lists.first.allocate(size_t{r.rows} + 1) || !lists.entries.allocate(capacity))
        return false;
    corners = 0;
    lists.first[0] = 0;
    for (uint32_t y = 1; y < r.rows; ++y) {
        lists.first[y] = static_cast<uint32_t>(used);
        bool grown = true;
        for_each_window(r, y, [&](size_t k, const Window &w) {
            corners += bit_count(w.turns) + 2 * bit_count(w.diagonal);
            if (capacity - used < 64) { // room for a whole word of starts
                grown = grown && lists.entries.resize(2 * capacity);
                if (!grown)
                    return;
                capacity *= 2;
            }
            uint32_t *out = lists.entries.get() + used;
            // From the top bit down: left to right.
            for (uint64_t m = w.starts; m != 0;) {
                const uint32_t bit = static_cast<uint32_t>(__builtin_clzll(m));
                *out++ = static_cast<uint32_t>(64 * k) + bit;
                m &= ~(uint64_t{1} << (63 - bit));
            }
            used = static_cast<size_t>(out - lists.entries.get());
        });
        // Entries are indexed by 32 bits: a raster with more starts than
        // that is refused like one whose lists do not fit in memory.
        if (!grown || used > UINT32_MAX - 64)
            return false;
    }
    lists.first[r.rows] = static_cast<uint32_t>(used);
    return true;
}

} // namespace outline
} // namespace quill
