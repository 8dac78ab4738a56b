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

inline uint32_t cyclic(const Object &obj, uint32_t p, int32_t step) {
    const uint32_t c = obj.contourOf[p], f = obj.first[c], n = obj.first[c + 1] - f;
    const int64_t i = (int64_t{p - f} + step) % int64_t{n};
    return f + static_cast<uint32_t>(i < 0 ? i + n : i);
}

inline bool retained(const uint32_t *count, uint32_t p) { return count[p] != kExcluded; }

// Step code of the unit step from a to b: +x 1, +y 2, -x 3, -y 0.
inline int step_code(const Object &obj, uint32_t a, uint32_t b) {
    const int32_t dx = obj.x[b] - obj.x[a], dy = obj.y[b] - obj.y[a];
    return dx > 0 ? 1 : dy > 0 ? 2 : dx < 0 ? 3 : 0;
}

inline int sign(int64_t v) { return (v > 0) - (v < 0); }

// Step a: edges between points k apart on one contour.
void prune_contour_neighbours(const Object &obj, Lists &lists, int32_t width) {
    const uint32_t kMax = width > 8 ? 8 : width < 0 ? 0 : static_cast<uint32_t>(width);
    for (uint32_t k = 1; k <= kMax; ++k) {
        for (uint32_t c = 0; c < obj.contours; ++c) {
            const uint32_t f = obj.first[c], n = obj.first[c + 1] - f;
            if (n <= k)
                continue;
            for (uint32_t j = 0; j < n; ++j)
                if (retained(lists.count, f + j))
                    remove_edge(lists, f + j, f + (j + k) % n);
        }
        compact_lists(lists, lists.count, obj.points);
    }
}

// Step b: exterior edges by the tables.
void prune_exterior(const Object &obj, Lists &lists) {
    for (uint32_t p = 0; p < obj.points; ++p) {
        if (!retained(lists.count, p) || lists.count[p] == 0)
            continue;
        const bool hole = obj.contourOf[p] != 0;
        const int in = step_code(obj, cyclic(obj, p, -1), p), out = step_code(obj, p, cyclic(obj, p, 1));
        const uint8_t *diagonal = kDiagonalOuter[in][out];
        const uint8_t *axis = hole ? kAxisHole[in][out] : kAxisOuter[in][out];
        for (uint32_t e = 0; e < lists.count[p]; ++e) {
            const int32_t q = lists.entries[lists.start[p] + e];
            if (q < 0)
                continue;
            const int32_t dx = obj.x[q] - obj.x[p], dy = obj.y[q] - obj.y[p];
            uint8_t verdict;
            if (dx != 0 && dy != 0) {
                const int code = dx > 0 ? (dy > 0 ? 1 : 0) : (dy > 0 ? 2 : 3);
                verdict = diagonal[code];
                if (hole && verdict < 2)
                    verdict = static_cast<uint8_t>(1 - verdict);
            } else {
                const int code = dy == 0 ? (dx >= 0 ? 1 : 3) : (dy > 0 ? 2 : 0);
                verdict = axis[code];
            }
            if (verdict == 0)
                remove_edge(lists, p, static_cast<uint32_t>(q));
        }
    }
    compact_lists(lists, lists.count, obj.points);
}

// The nearest retained point from p going `step` (+1 or -1) along its
// contour, past at most two excluded points; -1 when there is none.
int64_t nearest_retained(const Object &obj, const uint32_t *count, uint32_t p, int32_t step, bool &direct) {
    uint32_t q = p;
    for (int i = 0; i < 3; ++i) {
        q = cyclic(obj, q, step);
        if (q == p)
            return -1;
        if (retained(count, q)) {
            direct = i == 0;
            return q;
        }
    }
    return -1;
}

// Step c: the wedge test next to excluded corners.
void prune_wedges(const Object &obj, Lists &lists) {
    for (uint32_t p = 0; p < obj.points; ++p) {
        if (!retained(lists.count, p) || lists.count[p] == 0)
            continue;
        bool directA = true, directB = true;
        const int64_t a = nearest_retained(obj, lists.count, p, -1, directA);
        const int64_t b = nearest_retained(obj, lists.count, p, 1, directB);
        if (a < 0 || b < 0 || (directA && directB))
            continue;
        const bool hole = obj.contourOf[p] != 0;
        const uint32_t A = static_cast<uint32_t>(hole ? b : a), B = static_cast<uint32_t>(hole ? a : b);
        const int64_t ax = obj.x[A] - obj.x[p], ay = obj.y[A] - obj.y[p];
        const int64_t bx = obj.x[B] - obj.x[p], by = obj.y[B] - obj.y[p];
        int t = sign(bx * ay - ax * by);
        t = t == 0 ? -1 : t;
        for (uint32_t e = 0; e < lists.count[p]; ++e) {
            const int32_t q = lists.entries[lists.start[p] + e];
            if (q < 0)
                continue;
            const int64_t qx = obj.x[q] - obj.x[p], qy = obj.y[q] - obj.y[p];
            const int s1 = sign(bx * qy - qx * by), s2 = sign(qx * ay - ax * qy);
            if (!(s1 + s2 == 2 || (t == -1 && s1 != s2)))
                remove_edge(lists, p, static_cast<uint32_t>(q));
        }
    }
    compact_lists(lists, lists.count, obj.points);
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
            for (uint32_t r = cyclic(obj, p, 1); r != q; r = cyclic(obj, r, 1)) {
                if (chord_distance(obj, p, q, r) > r2 || reaches_other_contour(obj, lists, r)) {
                    bump = false;
                    break;
                }
            }
            if (!bump)
                continue;
            for (uint32_t r = cyclic(obj, p, 1); r != q; r = cyclic(obj, r, 1))
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
    prune_contour_neighbours(obj, lists, width);
    prune_exterior(obj, lists);
    prune_wedges(obj, lists);
    prune_bumps(obj, lists, width);
    return enumerate_triangles(obj, lists, tris);
}

} // namespace graph
} // namespace quill
