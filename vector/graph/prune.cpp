/*
 * prune.cpp - pruning an object's triangulation down to the inside of its
 * strokes, and enumerating the triangles that remain.
 *
 * The Delaunay triangulation of the boundary points covers the convex hull:
 * the outside of the object, its holes, and thin slivers along straight
 * runs of the boundary. Four steps cut it back, each followed by dropping
 * the removed entries from every list:
 *  a. Contour neighbours: an edge between points k = 1 .. min(width, 8)
 *     apart on one contour runs along the boundary, not across the stroke.
 *     width <= 0 skips the step.
 *  b. Exterior edges: at each point the steps into and out of it (codes
 *     +x 1, +y 2, -x 3, -y 0) decide, through two tables, which directions
 *     leave the object: a neighbour off both axes is looked up by its
 *     quadrant in the diagonal table, one on an axis in the axis table.
 *     0 removes the edge, 1 keeps it, 2 marks a step pair that cannot occur
 *     (a reversal) and keeps it. Holes keep their object on the other side:
 *     the diagonal table with 0 and 1 exchanged, and an axis table of their
 *     own.
 *  c. Wedges at excluded corners: a retained point next to an excluded
 *     convex corner sees its nearest retained predecessor A and successor B
 *     (looking past at most two excluded points each way); only edges into
 *     the wedge between A - P and B - P, the object's side, are kept.
 *  d. Bumps: an edge P-Q between two points of one contour whose boundary
 *     from P forward to Q stays within r2 = ((width - 1) / 2)^2 of the
 *     chord PQ (and touches no other contour) cuts off a bump narrower than
 *     the stroke; the points between lose all their edges, and PQ goes.
 * Then every triangle (u, v, w) is listed once: u the smallest index, v and
 * w consecutive in u's list (last and first included), w a neighbour of v,
 * and (v - u) x (w - u) > 0.
 *
 *      wedge at an excluded corner E of the outer contour:
 *
 *        A . . . E        the edges of P into the shaded wedge between
 *                .        A - P and B - P are kept, all others go.
 *           P    .
 *                B
 *
 * Decisions:
 *  - Step b reads the real steps into and out of each point, cyclically,
 *    rather than assuming that the step into the contour's first point is
 *    +x: the tracer's contours start with a step to the right, so this is
 *    the same for them, and it stays right for any contour that keeps the
 *    input rules.
 *  - Step c: a point whose nearest retained point on either side lies
 *    more than two excluded points away keeps its edges (no wedge can be
 *    formed; the tracer never makes three excluded points in a row, since
 *    two convex corners cannot follow each other without a step between).
 *  - Step d removes the bump's points from every list that holds them, not
 *    only from the lists of P and Q: a point whose own list is cleared
 *    must not stay in anyone else's, or the lists would no longer be
 *    symmetric and a later step could enumerate a triangle round an edge
 *    that no longer exists. The walk over R stops at the first point that
 *    fails, so the step costs little more than the edges it looks at.
 *  - Steps a, b and c run as one pass over the lists, each list compacted
 *    as it is read: every one of them judges an edge by its geometry and
 *    by the fixed neighbourhoods of its ends (steps along the contour,
 *    excluded corners), never by what the lists hold, so the edges that
 *    survive them are the same in any order. Done step after step (step a
 *    once for every k, with a search of both lists for each removed edge
 *    and a compaction after each) the pruning took 22 % of `quill
 *    vectorise` on the standard page; at once, 3 %. Each point's
 *    neighbourhood (step codes, wedge) is packed into a word first, in the
 *    triangle buffer, which is free until the triangles are listed.
 *  - Lists are compacted in place (each keeps its start, its dead tail is
 *    dropped); the store is written once and is never moved, so no second
 *    store and no threshold are needed.
 */
#include "graph_internal.h"

namespace quill {
namespace graph {

namespace {

// [in][out][neighbour code]; rows and columns are step codes.
constexpr uint8_t kDiagonalOuter[4][4][4] = {
    {{1, 1, 0, 0}, {0, 1, 0, 0}, {2, 2, 2, 2}, {1, 1, 0, 1}},
    {{1, 1, 1, 0}, {0, 1, 1, 0}, {0, 0, 1, 0}, {2, 2, 2, 2}},
    {{2, 2, 2, 2}, {0, 1, 1, 1}, {0, 0, 1, 1}, {0, 0, 0, 1}},
    {{1, 0, 0, 0}, {2, 2, 2, 2}, {1, 0, 1, 1}, {1, 0, 0, 1}},
};
constexpr uint8_t kAxisOuter[4][4][4] = {
    {{0, 1, 0, 0}, {0, 0, 0, 0}, {2, 2, 2, 2}, {1, 1, 0, 0}},
    {{0, 1, 1, 0}, {0, 0, 1, 0}, {0, 0, 0, 0}, {2, 2, 2, 2}},
    {{2, 2, 2, 2}, {0, 0, 1, 1}, {0, 0, 0, 1}, {0, 0, 0, 0}},
    {{0, 0, 0, 0}, {2, 2, 2, 2}, {1, 0, 0, 1}, {1, 0, 0, 0}},
};
constexpr uint8_t kAxisHole[4][4][4] = {
    {{0, 0, 0, 1}, {1, 0, 0, 1}, {2, 2, 2, 2}, {0, 0, 0, 0}},
    {{0, 0, 0, 0}, {1, 0, 0, 0}, {1, 1, 0, 0}, {2, 2, 2, 2}},
    {{2, 2, 2, 2}, {0, 0, 0, 0}, {0, 1, 0, 0}, {0, 1, 1, 0}},
    {{0, 0, 1, 1}, {2, 2, 2, 2}, {0, 0, 0, 0}, {0, 0, 1, 0}},
};

inline bool retained(const uint32_t *count, uint32_t p) { return count[p] != kExcluded; }

// Step code of the unit step from a to b: +x 1, +y 2, -x 3, -y 0.
inline int step_code(const Object &obj, uint32_t a, uint32_t b) {
    const int32_t dx = obj.x[b] - obj.x[a], dy = obj.y[b] - obj.y[a];
    return dx > 0 ? 1 : dy > 0 ? 2 : dx < 0 ? 3 : 0;
}

inline int sign(int64_t v) { return (v > 0) - (v < 0); }

// The point `step` (-3 .. 3) places along p's contour, without a
// division: contours of fewer than 4 points cannot occur (a closed
// rectilinear walk takes at least 4 unit steps), but the loop keeps any
// length right.
inline uint32_t along(const Object &obj, uint32_t p, int32_t step) {
    const uint32_t c = obj.contourOf[p], f = obj.first[c], n = obj.first[c + 1] - f;
    int64_t i = int64_t{p - f} + step;
    while (i < 0)
        i += n;
    while (i >= int64_t{n})
        i -= n;
    return f + static_cast<uint32_t>(i);
}

// The nearest retained point from p going `step` (+1 or -1) along its
// contour, past at most two excluded points; -1 when there is none.
int64_t nearest_retained(const Object &obj, const uint32_t *count, uint32_t p, int32_t step, bool &direct) {
    uint32_t q = p;
    for (int i = 0; i < 3; ++i) {
        q = along(obj, q, step);
        if (q == p)
            return -1;
        if (retained(count, q)) {
            direct = i == 0;
            return q;
        }
    }
    return -1;
}

// What steps b and c need of one retained point, packed in a word: the
// step codes into and out of it (bits 0-1, 2-3), whether it lies on a hole
// (bit 4); when it has a wedge (bit 5), the wedge's sides A and B as
// distances back and forward along the contour (bits 6-7, 8-9, before the
// exchange on holes) and whether A - P x B - P is negative or zero (bit 10).
constexpr uint32_t kHole = 1u << 4, kWedge = 1u << 5, kWedgeWide = 1u << 10;

uint32_t point_info(const Object &obj, const uint32_t *count, uint32_t p) {
    const bool hole = obj.contourOf[p] != 0;
    uint32_t info = static_cast<uint32_t>(step_code(obj, along(obj, p, -1), p)) |
                    static_cast<uint32_t>(step_code(obj, p, along(obj, p, 1))) << 2 | (hole ? kHole : 0);
    bool directA = true, directB = true;
    const int64_t a = nearest_retained(obj, count, p, -1, directA);
    const int64_t b = nearest_retained(obj, count, p, 1, directB);
    if (a < 0 || b < 0 || (directA && directB))
        return info;
    const uint32_t n = obj.first[obj.contourOf[p] + 1] - obj.first[obj.contourOf[p]];
    const uint32_t back = (p + n - static_cast<uint32_t>(a)) % n, forward = (static_cast<uint32_t>(b) + n - p) % n;
    const uint32_t A = static_cast<uint32_t>(hole ? b : a), B = static_cast<uint32_t>(hole ? a : b);
    const int64_t ax = obj.x[A] - obj.x[p], ay = obj.y[A] - obj.y[p];
    const int64_t bx = obj.x[B] - obj.x[p], by = obj.y[B] - obj.y[p];
    const bool wide = bx * ay - ax * by <= 0;
    return info | kWedge | back << 6 | forward << 8 | (wide ? kWedgeWide : 0);
}

// Step b at p for its neighbour q: false when the tables say that the
// direction of q leaves the object.
inline bool exterior_keeps(const Object &obj, uint32_t info, uint32_t p, uint32_t q) {
    const uint32_t in = info & 3, out = (info >> 2) & 3;
    const bool hole = (info & kHole) != 0;
    const int32_t dx = obj.x[q] - obj.x[p], dy = obj.y[q] - obj.y[p];
    if (dx != 0 && dy != 0) {
        const int code = dx > 0 ? (dy > 0 ? 1 : 0) : (dy > 0 ? 2 : 3);
        const uint8_t verdict = kDiagonalOuter[in][out][code];
        return verdict == 2 || (verdict == 1) != hole;
    }
    const int code = dy == 0 ? (dx >= 0 ? 1 : 3) : (dy > 0 ? 2 : 0);
    return (hole ? kAxisHole : kAxisOuter)[in][out][code] != 0;
}

// Step c at p for its neighbour q: false when p has a wedge and q lies
// outside it.
inline bool wedge_keeps(const Object &obj, uint32_t info, uint32_t p, uint32_t q) {
    if (!(info & kWedge))
        return true;
    const uint32_t a = along(obj, p, -static_cast<int32_t>((info >> 6) & 3));
    const uint32_t b = along(obj, p, static_cast<int32_t>((info >> 8) & 3));
    const bool hole = (info & kHole) != 0;
    const uint32_t A = hole ? b : a, B = hole ? a : b;
    const int64_t ax = obj.x[A] - obj.x[p], ay = obj.y[A] - obj.y[p];
    const int64_t bx = obj.x[B] - obj.x[p], by = obj.y[B] - obj.y[p];
    const int64_t qx = obj.x[q] - obj.x[p], qy = obj.y[q] - obj.y[p];
    const int s1 = sign(bx * qy - qx * by), s2 = sign(qx * ay - ax * qy);
    return s1 + s2 == 2 || ((info & kWedgeWide) && s1 != s2);
}

// Step a for the edge (p, q): false when both lie on one contour at most
// kMax points apart either way round.
inline bool apart_enough(const Object &obj, uint32_t p, uint32_t q, uint32_t kMax) {
    const uint32_t c = obj.contourOf[p];
    if (kMax == 0 || obj.contourOf[q] != c)
        return true;
    const uint32_t n = obj.first[c + 1] - obj.first[c];
    const uint32_t d = q > p ? q - p : n - (p - q); // forward distance, 1 .. n - 1
    return d > kMax && n - d > kMax;
}

// Squared distance from r to the chord from p to q, as the bump test
// measures it.
uint64_t chord_distance(const Object &obj, uint32_t p, uint32_t q, uint32_t r) {
    const int64_t dx = obj.x[q] - obj.x[p], dy = obj.y[q] - obj.y[p];
    const int64_t rx = obj.x[r] - obj.x[p], ry = obj.y[r] - obj.y[p];
    const int64_t len = dx * dx + dy * dy, t = rx * dx + ry * dy;
    if (t < 0)
        return static_cast<uint64_t>(rx * rx + ry * ry);
    if (t > len) {
        const int64_t sx = obj.x[r] - obj.x[q], sy = obj.y[r] - obj.y[q];
        return static_cast<uint64_t>(sx * sx + sy * sy);
    }
    const int64_t cross = rx * dy - ry * dx;
    return static_cast<uint64_t>(cross * cross) / static_cast<uint64_t>(len);
}

// Whether point r has a neighbour on another contour.
bool reaches_other_contour(const Object &obj, const Lists &lists, uint32_t r) {
    if (!retained(lists.count, r))
        return false;
    for (uint32_t e = 0; e < lists.count[r]; ++e) {
        const int32_t q = lists.entries[lists.start[r] + e];
        if (q >= 0 && obj.contourOf[q] != obj.contourOf[r])
            return true;
    }
    return false;
}

// Clears r's list and takes r out of every list that holds it.
void isolate(Lists &lists, uint32_t r) {
    if (lists.count[r] == kExcluded)
        return;
    for (uint32_t e = 0; e < lists.count[r]; ++e) {
        const int32_t q = lists.entries[lists.start[r] + e];
        if (q >= 0)
            remove_edge(lists, r, static_cast<uint32_t>(q));
    }
}

// Step d: bumps within r2 of a chord.
void prune_bumps(const Object &obj, Lists &lists, int32_t width) {
    const int64_t half = width <= 0 ? 0 : (int64_t{width} - 1) / 2;
    const uint64_t r2 = static_cast<uint64_t>(half * half);
    for (uint32_t p = 0; p < obj.points; ++p) {
        if (!retained(lists.count, p))
            continue;
        for (uint32_t e = 0; e < lists.count[p]; ++e) {
            const int32_t qi = lists.entries[lists.start[p] + e];
            if (qi < 0 || obj.contourOf[qi] != obj.contourOf[p])
                continue;
            const uint32_t q = static_cast<uint32_t>(qi);
            bool bump = true;
            for (uint32_t r = along(obj, p, 1); r != q; r = along(obj, r, 1)) {
                if (chord_distance(obj, p, q, r) > r2 || reaches_other_contour(obj, lists, r)) {
                    bump = false;
                    break;
                }
            }
            if (!bump)
                continue;
            for (uint32_t r = along(obj, p, 1); r != q; r = along(obj, r, 1))
                isolate(lists, r);
            remove_edge(lists, p, q);
        }
    }
    compact_lists(lists, lists.count, obj.points);
}

uint32_t enumerate_triangles(const Object &obj, const Lists &lists, uint32_t *tris) {
    uint32_t found = 0;
    for (uint32_t a = 0; a < obj.points; ++a) {
        const uint32_t m = lists.count[a];
        if (m == kExcluded || m < 2)
            continue;
        const int32_t *list = lists.entries + lists.start[a];
        for (uint32_t i = 0; i < m; ++i) {
            const uint32_t v = static_cast<uint32_t>(list[i]), w = static_cast<uint32_t>(list[i + 1 < m ? i + 1 : 0]);
            if (v <= a || w <= a || orient(obj.x, obj.y, a, v, w) <= 0 || !has_neighbour(lists, v, w))
                continue;
            tris[3 * size_t{found}] = a;
            tris[3 * size_t{found} + 1] = v;
            tris[3 * size_t{found} + 2] = w;
            ++found;
        }
    }
    return found;
}

} // namespace

// Steps a, b and c at once. Each removes an edge on a test of the edge's
// geometry and of its ends' fixed neighbourhoods, never of what the lists
// hold, so their union is the same in any order; each list then keeps the
// entries that every test of both ends lets through, in their order. The
// tests of an edge are the same from either end, so each edge is tested
// once, from its lower end; the higher end looks its verdict up in the
// lower end's pruned list (a few entries), which took a fifth off the
// step's instructions.
void prune_local(const Object &obj, Lists &lists, int32_t width, uint32_t *info) {
    const uint32_t kMax = width > 8 ? 8 : width < 0 ? 0 : static_cast<uint32_t>(width);
    for (uint32_t p = 0; p < obj.points; ++p)
        if (retained(lists.count, p))
            info[p] = point_info(obj, lists.count, p);
    for (uint32_t p = 0; p < obj.points; ++p) {
        if (!retained(lists.count, p))
            continue;
        int32_t *list = lists.entries + lists.start[p];
        uint32_t kept = 0;
        for (uint32_t e = 0; e < lists.count[p]; ++e) {
            const int32_t qi = list[e];
            if (qi < 0)
                continue;
            const uint32_t q = static_cast<uint32_t>(qi);
            // The tests are symmetric in p and q: an edge to a point
            // already pruned stays exactly when that point kept it.
            const bool keep = q < p ? has_neighbour(lists, q, p)
                                    : apart_enough(obj, p, q, kMax) && exterior_keeps(obj, info[p], p, q) &&
                                          exterior_keeps(obj, info[q], q, p) && wedge_keeps(obj, info[p], p, q) &&
                                          wedge_keeps(obj, info[q], q, p);
            if (keep)
                list[kept++] = qi;
        }
        lists.count[p] = kept;
    }
}

void remove_edge(Lists &lists, uint32_t a, uint32_t b) {
    for (int side = 0; side < 2; ++side) {
        const uint32_t from = side == 0 ? a : b, to = side == 0 ? b : a;
        if (lists.count[from] == kExcluded)
            continue;
        int32_t *list = lists.entries + lists.start[from];
        for (uint32_t e = 0; e < lists.count[from]; ++e)
            if (list[e] == static_cast<int32_t>(to))
                list[e] = -1;
    }
}

void compact_lists(Lists &lists, const uint32_t *excludedCount, uint32_t n) {
    for (uint32_t p = 0; p < n; ++p) {
        if (excludedCount[p] == kExcluded)
            continue;
        int32_t *list = lists.entries + lists.start[p];
        uint32_t kept = 0;
        for (uint32_t e = 0; e < lists.count[p]; ++e)
            if (list[e] >= 0)
                list[kept++] = list[e];
        lists.count[p] = kept;
    }
}

bool has_neighbour(const Lists &lists, uint32_t a, uint32_t b) {
    if (lists.count[a] == kExcluded)
        return false;
    const int32_t *list = lists.entries + lists.start[a];
    for (uint32_t e = 0; e < lists.count[a]; ++e)
        if (list[e] == static_cast<int32_t>(b))
            return true;
    return false;
}

uint32_t prune_and_enumerate(const Object &obj, Lists &lists, int32_t width, uint32_t *tris) {
    // tris is free until the triangles are listed: its first obj.points
    // words (it holds 6 * points) carry each point's packed neighbourhood.
    prune_local(obj, lists, width, tris);
    prune_bumps(obj, lists, width);
    return enumerate_triangles(obj, lists, tris);
}

} // namespace graph
} // namespace quill
