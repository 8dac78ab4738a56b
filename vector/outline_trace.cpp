/*
 * outline_trace.cpp - the contour walk of the outline tracer.
 *
 * The start lists are read boundary by boundary from the top, left to
 * right; every start not yet taken begins a contour, first moving right: an
 * outer contour when the pixel below and to the right of the start is black
 * (object on the right-hand side, y downwards), a hole otherwise (object on
 * the left). At each lattice point the two pixels ahead decide: turn
 * towards the object side when the one on the object side is white, else go
 * straight when the one on the other side is white, else turn away. That
 * keeps objects 4-connected (an outer contour turns away from a black pixel
 * met only at a corner) and the background 8-connected (a hole turns into a
 * white one). The walk ends when it comes back up to its start.
 *
 * On the standard drawing page (3.9 million corners, stretches 1.6 pixels
 * long on average: its halftones) the walk takes about 11 ns a corner.
 *
 * The walk goes from corner to corner, not pixel by pixel: a horizontal
 * stretch ends at the first column where either of its two rows changes,
 * found 64 pixels at a time; a vertical one at the first row where either
 * of its two columns changes. Every place a stretch ends is a turn, so each
 * stop stores one point. The 2 x 2 window of the stop is made of the
 * stretch's two pixels and the two that changed, so the walk reads each
 * pixel it needs once (rejected: reading the four pixels of the window at
 * every stop, about 6% more time for the walk on the standard page).
 *
 * Each start is met by exactly one contour pass, as an up-to-right or a
 * left-to-down turn (outline_raster.cpp); the walk marks it taken there,
 * found by binary search in its boundary's list, so every contour is traced
 * once. Rejected: a bitmap of starts beside the raster, which would mark in
 * constant time but doubles the memory on large rasters (the lists hold a
 * few entries per object).
 *
 * The buffer was sized by the scan to hold every contour; the walk still
 * checks its room at every point rather than trust that arithmetic.
 */
#include "outline_kernels.h"

#include "quillvec.h"
#include "polygon_utils.h"

namespace quill {
namespace outline {

namespace {

enum Direction : uint32_t { kRight = 0, kDown = 1, kLeft = 2, kUp = 3 }; // clockwise: +1 turns right

// Window code of a lattice point: TL + 2 BL + 4 TR + 8 BR, 1 for white.
constexpr uint32_t kTL = 1, kBL = 2, kTR = 4, kBR = 8;

// The direction after a lattice point, for a contour of either kind
// arriving in direction d at a point whose window is `code`.
constexpr uint32_t turn_at(bool hole, uint32_t d, uint32_t code) {
    // The pixels ahead on the left- and right-hand side of the travel.
    const uint32_t leftAhead[4] = {kTR, kBR, kBL, kTL}, rightAhead[4] = {kBR, kBL, kTL, kTR};
    const bool aheadLeftWhite = (code & leftAhead[d]) != 0, aheadRightWhite = (code & rightAhead[d]) != 0;
    const uint32_t right = (d + 1) & 3, left = (d + 3) & 3;
    if (!hole) // object on the right
        return aheadRightWhite ? right : aheadLeftWhite ? d : left;
    return aheadLeftWhite ? left : aheadRightWhite ? d : right;
}

// Per kind, arriving direction and window: the next direction in bits 0-1,
// and kTakes when the turn is one that every start position is (up to
// right, left to down).
constexpr uint8_t kTakes = 4;

struct TurnTable {
    uint8_t next[2][4][16];
};

constexpr TurnTable make_turn_table() {
    TurnTable table{};
    for (uint32_t hole = 0; hole < 2; ++hole)
        for (uint32_t d = 0; d < 4; ++d)
            for (uint32_t code = 0; code < 16; ++code) {
                const uint32_t next = turn_at(hole != 0, d, code);
                const bool takes = (d == kUp && next == kRight) || (d == kLeft && next == kDown);
                table.next[hole][d][code] = static_cast<uint8_t>(next | (takes ? kTakes : 0));
            }
    return table;
}

constexpr TurnTable kTurns = make_turn_table();

// The walk from corner to corner. A stretch starts at a lattice point whose
// window is known and ends at the next point where a pixel beside it
// changes; the window there is the stretch's own two pixels and the two
// that changed, so no pixel is read twice.
class Walk {
public:
    explicit Walk(const Bordered &r) : r_(r) {}

    uint32_t code(uint32_t x, uint32_t y) const {
        return r_.white(x - 1, y - 1) * kTL + r_.white(x - 1, y) * kBL + r_.white(x, y - 1) * kTR +
               r_.white(x, y) * kBR;
    }

    // Each moves (x, y) to the next turn in its direction and returns the
    // window there; the frame of white guarantees a turn.
    uint32_t right(uint32_t &x, uint32_t y, uint32_t window) const {
        const uint32_t t = (window >> 2) & 1, b = window >> 3; // TR, BR
        const Change c = first_change(r_.row(y - 1), r_.row(y), r_.stride, x + 1, t, b);
        x = c.column;
        return t * kTL + b * kBL + c.a * kTR + c.b * kBR;
    }
    uint32_t left(uint32_t &x, uint32_t y, uint32_t window) const {
        const uint32_t t = window & 1, b = (window >> 1) & 1; // TL, BL
        const Change c = last_change(r_.row(y - 1), r_.row(y), r_.stride, x - 2, t, b);
        x = c.column + 1;
        return c.a * kTL + c.b * kBL + t * kTR + b * kBR;
    }
    uint32_t down(uint32_t x, uint32_t &y, uint32_t window) const {
        const Column col(x);
        const uint32_t pair = ((window >> 1) & 1) << 1 | window >> 3; // BL, BR
        const uint8_t *at = r_.row(y);
        uint32_t now;
        do {
            at += r_.stride;
            ++y;
            now = col.pair(at);
        } while (now == pair);
        return (pair >> 1) * kTL + (pair & 1) * kTR + (now >> 1) * kBL + (now & 1) * kBR;
    }
    uint32_t up(uint32_t x, uint32_t &y, uint32_t window) const {
        const Column col(x);
        const uint32_t pair = (window & 1) << 1 | ((window >> 2) & 1); // TL, TR
        const uint8_t *at = r_.row(y - 1);
        uint32_t now;
        do {
            at -= r_.stride;
            --y;
            now = col.pair(at);
        } while (now == pair);
        return (now >> 1) * kTL + (now & 1) * kTR + (pair >> 1) * kBL + (pair & 1) * kBR;
    }

private:
    // The two pixels either side of lattice column x in a row, left one in
    // bit 1.
    struct Column {
        size_t leftByte, rightByte;
        uint32_t leftShift, rightShift;
        explicit Column(uint32_t x)
            : leftByte((x - 1) >> 3), rightByte(x >> 3), leftShift(7 - ((x - 1) & 7)), rightShift(7 - (x & 7)) {}
        uint32_t pair(const uint8_t *row) const {
            return ((row[leftByte] >> leftShift) & 1u) << 1 | ((row[rightByte] >> rightShift) & 1u);
        }
    };

    const Bordered &r_;
};

// Marks the start at (x, y) taken. It is in its boundary's list: each
// up-to-right and left-to-down turn is one (outline_raster.cpp). The search
// is branch-free: the boundary's lists are short and the outcome of each
// comparison is a coin toss.
void take_start(StartLists &lists, uint32_t x, uint32_t y) {
    uint32_t *at = lists.entries.get() + lists.first[y];
    uint32_t n = lists.first[y + 1] - lists.first[y];
    if (n == 0)
        return;
    while (n > 1) { // at[0] <= x holds once at moves; x < at[n] stays true
        const uint32_t half = n / 2;
        at = (at[half] & 0xFFFFu) <= x ? at + half : at;
        n -= half;
    }
    if ((*at & 0xFFFFu) == x)
        *at |= kTaken;
}

// Stores the point a stretch ended at and returns the direction after it,
// marking the point's start taken where it is one. False in `room` when the
// buffer is full.
inline uint32_t turn_and_store(const uint8_t (&turns)[4][16], StartLists &lists, uint32_t d, uint32_t window,
                               uint32_t x, uint32_t y, uint32_t *out, size_t &n, size_t room, bool &full) {
    const uint32_t turn = turns[d][window];
    if (turn & kTakes)
        take_start(lists, x, y);
    if (n == room)
        full = true;
    else
        out[n++] = make_point(x - 1, y - 1);
    return turn & 3;
}

// Traces the contour that starts at (x0, y0) into out[0 ..), at most `room`
// points, in output coordinates. Returns the number of points, 0 when they
// do not fit. Stretches alternate, the first horizontal, so the loop takes
// one horizontal and one vertical stretch a round, and only a vertical one
// can close the contour.
size_t trace_one(const Walk &walk, StartLists &lists, uint32_t x0, uint32_t y0, bool hole, uint32_t *out,
                 size_t room) {
    if (room == 0)
        return 0;
    const uint8_t(&turns)[4][16] = kTurns.next[hole];
    out[0] = make_point(x0 - 1, y0 - 1);
    size_t n = 1;
    bool full = false;
    uint32_t x = x0, y = y0, d = kRight, window = walk.code(x0, y0);
    for (;;) {
        window = d == kRight ? walk.right(x, y, window) : walk.left(x, y, window);
        d = turn_and_store(turns, lists, d, window, x, y, out, n, room, full);
        window = d == kDown ? walk.down(x, y, window) : walk.up(x, y, window);
        // The start is the one point where this contour turns from up to
        // right; coming up into it closes the contour.
        if (d == kUp && x == x0 && y == y0)
            return full ? 0 : n;
        d = turn_and_store(turns, lists, d, window, x, y, out, n, room, full);
        if (full)
            return 0;
    }
}

} // namespace

bool trace_contours(const Bordered &r, StartLists &lists, ContourBuffer &out) {
    const Walk walk(r);
    for (uint32_t y = 1; y < r.rows; ++y) {
        for (uint32_t i = lists.first[y]; i < lists.first[y + 1]; ++i) {
            const uint32_t x = lists.entries[i];
            if (x & kTaken)
                continue;
            const bool hole = r.white(x, y) != 0;
            if (out.used >= out.capacity)
                return false;
            const size_t head = out.used;
            const size_t n = trace_one(walk, lists, x, y, hole, out.words + head + 1, out.capacity - head - 1);
            if (n == 0)
                return false;
            out.words[head] = static_cast<uint32_t>(n) | (hole ? QV_HOLE_FLAG : 0u);
            if (out.heads)
                out.heads[out.contours] = static_cast<uint32_t>(head);
            out.used = head + 1 + n;
            ++out.contours;
            out.outers += hole ? 0u : 1u;
        }
    }
    return true;
}

} // namespace outline
} // namespace quill
