/*
 * delaunay.cpp - the Delaunay triangulation of an object's retained
 * boundary points, by incremental insertion in randomised rounds along a
 * Hilbert curve with exact integer predicates and ties broken by a fixed
 * perturbation, handed out as neighbour lists in angular order.
 *
 * Insertion order. The points go in 16 rounds of growing size (a hash of
 * each point's index puts half of them in the last round, a quarter in the
 * one before, ...), each round in order along a Hilbert curve over the
 * 16-bit plane, so that each point lies near the one before; they are
 * inserted one at a time. Each is located by a visibility walk from the
 * last triangle made (cross the first edge that has the point strictly on
 * its outer side; in a Delaunay triangulation this walk always ends), and:
 *   - inside a triangle: the triangle is split in three round it;
 *   - on an edge: both triangles on the edge are split in two;
 *   - beyond a hull edge: the point sees a chain of hull edges, found by
 *     walking the hull both ways from that edge, and is joined to each of
 *     them by a new triangle, replacing the chain on the hull:
 *
 *        hull (counter-clockwise)          here (b, a) and (a, z): p is
 *          c ---- b                        joined to b, a and z, and
 *         /        \      . p              replaces a on the hull.
 *        d          a  .'
 *         \        / .'
 *          e ---- z'
 *   - on a point already seen: the object is refused (the tracer never
 *     makes two retained points of one object coincide).
 * Lawson's flips then restore the empty-circle property: the edge of each
 * new triangle opposite p is tested against the triangle across it; when
 * that triangle's far corner d lies inside the circle through the edge and
 * p, the edge is flipped to (p, d) and the two new edges opposite p are
 * tested in turn. A flip only ever makes triangles that contain p, so a
 * stack of triangles with p at corner 2 is all the bookkeeping (one entry
 * per triangle at most). Every edge holds its twin (edge 4t + k, from
 * corner k to corner k + 1, is linked to the same edge the other way in
 * the triangle across), so a flip finds the far corner and relinks its
 * neighbours without searching. The hull is kept as a ring of vertices,
 * each with its hull edge.
 *
 * The start. The first points may lie on one line; they wait until the
 * first point p off that line arrives, are put in order along the line, and
 * p is joined to all of them (a fan of triangles, each with two of the
 * line's points). The fan is Delaunay already: the circle through two
 * neighbours on the line meets the line only in them. If every point lies
 * on one line the result is the path through them in order along it, and
 * there is no triangle.
 *
 * Predicates. orient() is a 64-bit cross product (coordinate differences
 * below 2^17, products below 2^34). in_circle() needs squared lengths
 * (below 2^35) times cross products (below 2^35): 2^70, beyond 64 bits, so
 * it is taken in 128-bit integers unless every difference is below 2^14
 * (the common case, where 64 bits hold it); exact either way, so no point
 * is ever on the wrong side of a circle and the flips terminate.
 *
 * Co-circular points (on a pixel lattice, every rectangle of four points):
 * a tie is broken as if each point's lifted height x^2 + y^2 were raised
 * by e^(index + 1) for an infinitely small e, which decides it by the
 * point of smallest index (in_circle_ties_broken). That is a perturbation of
 * the whole point set, so the triangulation is its unique Delaunay
 * triangulation whatever the order of insertion; and each interior point's
 * list starts at its least neighbour, so the lists, and the graph built
 * from them, do not depend on the order either.
 *
 * Neighbour lists. Around each point the triangles are walked across their
 * edges, counter-clockwise, starting for a hull point from its hull edge
 * (which has nothing beyond it); each list is written once, in point
 * order, into one store: a list holds its start and count, and pruning
 * later compacts each list in place.
 *
 * Decisions:
 *  - Triangles with twin links during the sweep, lists only at the end,
 *    rather than lists edited point by point during the flips: a flip is
 *    then a dozen word writes instead of four list insertions and removals
 *    (each a shift of the list), and the lists come out in angular order by
 *    construction. The price is 36 bytes a triangle of working memory,
 *    allocated once for the largest object: a triangle's corners and
 *    twins share 32 bytes (edge e = 4t + k, a shift instead of a division
 *    by 3), so a flip touches two cache lines, not four; that took the
 *    graph stage from about 2.2 s to 1.75 s on the standard page.
 *    Edge numbers stay below 2^31: the work block (at most 4 GiB) holds
 *    fewer than 2^27 triangles.
 *  - Randomised rounds in Hilbert order with a walk. A sweep by x needs no
 *    point location (every new point is outside the hull), but on the
 *    standard drawing page it took 61 s, almost all of it in flips,
 *    because each point of a long curve or frame line joins a thin fan
 *    that later points flip again and again; a sweep by distance from the
 *    object's centre still took 27 s. One pass along the Hilbert curve
 *    took 5.7 s with pruning and linking, but a curve that follows the
 *    boundary inserts long runs of collinear points one after the other,
 *    and the page's 4.2 million points cost 84 million circle tests and
 *    39 million flips (9 a point). The rounds (as in biased randomised
 *    insertion orders) spread each boundary run over the whole object
 *    first and fill it in later: 22 million tests and 6.5 million flips,
 *    for 2 % more walking.
 *  - Ties broken by the perturbation rather than by keeping whichever
 *    diagonal came first: the older rule made the graph depend on the
 *    insertion order, so any change of order (such as the rounds) changed
 *    the output at co-circular points; now the order is free, and the
 *    tests compare the triangulation with a brute-force one exactly.
 *  - The hull front and the flip stack are sized from the largest object
 *    (a front of one entry per point, a stack of one per triangle), not
 *    fixed at 32768 entries: no object is refused for its size and nothing
 *    can be written past them.
 */
#include "graph_internal.h"

#include <math.h>

#include <algorithm>

namespace quill {
namespace graph {

namespace {

__extension__ typedef __int128 wide;

struct Mesh {
    const int32_t *x;
    const int32_t *y;
    int32_t *tri; // 8 words a triangle: corners 0-2, twins 4-6
    int32_t *next;
    int32_t *prev;
    int32_t *hullEdge;
    int32_t *stack;
    uint32_t triangles;
    uint32_t capacity;
    uint32_t depth;
    // Edge e = 4t + k (k < 3) runs from corner k of triangle t to corner
    // k + 1; its corner and its twin share the triangle's cache line.
    int32_t &corner(int64_t e) const { return tri[e + (e & ~int64_t{3})]; }
    int32_t &twin(int64_t e) const { return tri[e + (e & ~int64_t{3}) + 4]; }
};

inline int64_t at3(int32_t t, int k) { return 4 * int64_t{t} + k; }
inline int32_t edge3(int32_t t, int k) { return 4 * t + k; }
inline uint32_t u(int32_t v) { return static_cast<uint32_t>(v); }
// The edges after and before edge e in its triangle.
inline int32_t succ(int32_t e) { return (e & 3) == 2 ? e - 2 : e + 1; }
inline int32_t pred(int32_t e) { return (e & 3) == 0 ? e + 2 : e - 1; }

int32_t add_triangle(Mesh &m, int32_t a, int32_t b, int32_t c) {
    if (m.triangles >= m.capacity)
        return -1;
    const int32_t t = static_cast<int32_t>(m.triangles++);
    m.corner(at3(t, 0)) = a;
    m.corner(at3(t, 1)) = b;
    m.corner(at3(t, 2)) = c;
    m.twin(at3(t, 0)) = m.twin(at3(t, 1)) = m.twin(at3(t, 2)) = -1;
    return t;
}

// Makes the edges e and f (either may be -1, the outside) each other's
// twin.
inline void link(Mesh &m, int32_t e, int32_t f) {
    if (e >= 0)
        m.twin(e) = f;
    if (f >= 0)
        m.twin(f) = e;
}

void push(Mesh &m, int32_t t) {
    if (m.depth < m.capacity)
        m.stack[m.depth++] = t;
}

// The in-circle test of the sweep, inlined: see in_circle().
inline int in_circle_inline(const int32_t *x, const int32_t *y, uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    const int64_t adx = int64_t{x[a]} - x[d], ady = int64_t{y[a]} - y[d];
    const int64_t bdx = int64_t{x[b]} - x[d], bdy = int64_t{y[b]} - y[d];
    const int64_t cdx = int64_t{x[c]} - x[d], cdy = int64_t{y[c]} - y[d];
    const int64_t alift = adx * adx + ady * ady, blift = bdx * bdx + bdy * bdy, clift = cdx * cdx + cdy * cdy;
    const int64_t bc = bdx * cdy - cdx * bdy, ca = cdx * ady - adx * cdy, ab = adx * bdy - bdx * ady;
    // Differences below 2^14 keep each lift below 2^29 and each cross
    // product below 2^29: the sum of three products fits in 64 bits. Wider
    // ones (objects more than 16384 pixels across) take 128 bits.
    const uint64_t span = static_cast<uint64_t>(adx + (int64_t{1} << 14)) | static_cast<uint64_t>(ady + (int64_t{1} << 14)) |
                          static_cast<uint64_t>(bdx + (int64_t{1} << 14)) | static_cast<uint64_t>(bdy + (int64_t{1} << 14)) |
                          static_cast<uint64_t>(cdx + (int64_t{1} << 14)) | static_cast<uint64_t>(cdy + (int64_t{1} << 14));
    if (span < (uint64_t{1} << 15)) {
        const int64_t det = alift * bc + blift * ca + clift * ab;
        return det > 0 ? 1 : det < 0 ? -1 : 0;
    }
    const wide det = wide{alift} * bc + wide{blift} * ca + wide{clift} * ab;
    return det > 0 ? 1 : det < 0 ? -1 : 0;
}

// The in-circle test with ties broken as if each point's lifted height
// x^2 + y^2 were raised by e^(index + 1) for an infinitely small e: when d
// lies exactly on the circle through a, b, c, the sign is that of the
// height's cofactor for the point of smallest index among the four (for
// d: -orient(a, b, c), so a raised d goes outside). Never 0 for a triangle
// a, b, c of positive area and a distinct d (no three points of a circle
// are collinear).
inline int in_circle_ties_broken(const int32_t *x, const int32_t *y, uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    const int s = in_circle_inline(x, y, a, b, c, d);
    if (s != 0)
        return s;
    const uint32_t least = std::min(std::min(a, b), std::min(c, d));
    int64_t cofactor;
    if (least == a)
        cofactor = orient(x, y, b, c, d);
    else if (least == b)
        cofactor = -orient(x, y, a, c, d);
    else if (least == c)
        cofactor = orient(x, y, a, b, d);
    else
        cofactor = -orient(x, y, a, b, c);
    return cofactor > 0 ? 1 : cofactor < 0 ? -1 : 0;
}

// Restores the empty-circle property around the point at corner 2 of every
// stacked triangle.
void legalise(Mesh &m) {
    while (m.depth > 0) {
        const int32_t t = m.stack[--m.depth];
        const int32_t a = m.corner(at3(t, 0)), b = m.corner(at3(t, 1)), p = m.corner(at3(t, 2));
        const int32_t oe = m.twin(at3(t, 0)); // (b, a) in the triangle across
        if (oe < 0)
            continue;
        const int32_t o = oe >> 2;
        const int32_t d = m.corner(pred(oe));
        if (in_circle_ties_broken(m.x, m.y, u(a), u(b), u(p), u(d)) <= 0)
            continue;
        const int32_t nAD = m.twin(succ(oe)), nDB = m.twin(pred(oe));
        const int32_t nBP = m.twin(at3(t, 1)), nPA = m.twin(at3(t, 2));
        // The quadrilateral a, d, b, p (counter-clockwise) gets the diagonal
        // (p, d): t becomes (a, d, p) and o becomes (d, b, p).
        m.corner(at3(t, 0)) = a, m.corner(at3(t, 1)) = d, m.corner(at3(t, 2)) = p;
        m.corner(at3(o, 0)) = d, m.corner(at3(o, 1)) = b, m.corner(at3(o, 2)) = p;
        link(m, edge3(t, 0), nAD);
        link(m, edge3(t, 1), edge3(o, 2));
        link(m, edge3(t, 2), nPA);
        link(m, edge3(o, 0), nDB);
        link(m, edge3(o, 1), nBP);
        // Hull edges run the way their triangle does.
        if (nAD < 0)
            m.hullEdge[a] = edge3(t, 0);
        if (nDB < 0)
            m.hullEdge[d] = edge3(o, 0);
        if (nBP < 0)
            m.hullEdge[b] = edge3(o, 1);
        if (nPA < 0)
            m.hullEdge[p] = edge3(t, 2);
        push(m, t);
        push(m, o);
    }
}

// The fan of p over the collinear points line[0 .. k-1] (in sweep order).
bool start_fan(Mesh &m, const uint32_t *line, uint32_t k, int32_t p) {
    const bool ccw = orient(m.x, m.y, line[0], line[1], u(p)) > 0;
    int32_t prevT = -1;
    for (uint32_t i = 0; i + 1 < k; ++i) {
        const int32_t a = static_cast<int32_t>(line[i]), b = static_cast<int32_t>(line[i + 1]);
        const int32_t t = ccw ? add_triangle(m, a, b, p) : add_triangle(m, b, a, p);
        if (t < 0)
            return false;
        // ccw: T(i-1) edge 1 (line[i], p) meets T(i) edge 2 (p, line[i]);
        // otherwise T(i-1) edge 2 (p, line[i]) meets T(i) edge 1.
        if (prevT >= 0)
            link(m, edge3(prevT, ccw ? 1 : 2), edge3(t, ccw ? 2 : 1));
        m.hullEdge[ccw ? a : b] = edge3(t, 0);
        prevT = t;
    }
    const int32_t first = static_cast<int32_t>(line[0]), last = static_cast<int32_t>(line[k - 1]);
    const int32_t t0 = 0, tLast = prevT;
    if (ccw) {
        // Hull: line[0] -> ... -> line[k-1] -> p -> line[0].
        for (uint32_t i = 0; i + 1 < k; ++i) {
            m.next[line[i]] = static_cast<int32_t>(line[i + 1]);
            m.prev[line[i + 1]] = static_cast<int32_t>(line[i]);
        }
        m.next[last] = p, m.prev[p] = last, m.next[p] = first, m.prev[first] = p;
        m.hullEdge[last] = edge3(tLast, 1); // (last, p)
        m.hullEdge[p] = edge3(t0, 2);       // (p, first)
    } else {
        // Hull: line[k-1] -> ... -> line[0] -> p -> line[k-1].
        for (uint32_t i = 0; i + 1 < k; ++i) {
            m.next[line[i + 1]] = static_cast<int32_t>(line[i]);
            m.prev[line[i]] = static_cast<int32_t>(line[i + 1]);
        }
        m.next[first] = p, m.prev[p] = first, m.next[p] = last, m.prev[last] = p;
        m.hullEdge[first] = edge3(t0, 1);  // (first, p)
        m.hullEdge[p] = edge3(tLast, 2);   // (p, last)
    }
    return true;
}

// Adds p, which lies strictly outside the hull, next to the hull vertex s.
bool insert(Mesh &m, int32_t s, int32_t p) {
    auto visible = [&](int32_t a, int32_t b) { return orient(m.x, m.y, u(a), u(b), u(p)) < 0; };
    int32_t l = s, r = s;
    for (uint32_t guard = 0; visible(m.prev[l], l); ++guard) {
        l = m.prev[l];
        if (l == s || guard > m.capacity)
            return false;
    }
    for (uint32_t guard = 0; visible(r, m.next[r]); ++guard) {
        r = m.next[r];
        if (r == s || guard > m.capacity)
            return false;
    }
    if (l == r)
        return false; // nothing visible: p is not beyond the hull
    int32_t firstT = -1, prevT = -1;
    for (int32_t a = l; a != r;) {
        const int32_t b = m.next[a];
        const int32_t t = add_triangle(m, b, a, p); // edges (b, a), (a, p), (p, b)
        if (t < 0)
            return false;
        link(m, edge3(t, 0), m.hullEdge[a]); // against the hull edge (a, b)
        if (prevT >= 0)
            link(m, edge3(t, 1), edge3(prevT, 2)); // (a, p) against the previous (p, a)
        else
            firstT = t;
        prevT = t;
        push(m, t);
        if (a != l)
            m.next[a] = -1; // off the hull now
        a = b;
    }
    m.hullEdge[l] = edge3(firstT, 1); // (l, p)
    m.hullEdge[p] = edge3(prevT, 2);  // (p, r)
    m.next[l] = p, m.prev[p] = l, m.next[p] = r, m.prev[r] = p;
    legalise(m);
    return true;
}

// Rotates an interior point's list (a closed ring) to start at its least
// index, so that the list does not depend on which triangle the walk
// started from, that is on the order of insertion.
void start_at_least(int32_t *list, uint32_t count) {
    uint32_t least = 0;
    for (uint32_t i = 1; i < count; ++i)
        if (list[i] < list[least])
            least = i;
    std::rotate(list, list + least, list + count);
}

// Writes the neighbour lists of the n points of order[], in index order.
// Each list is walked from an edge leaving its point: a hull point's hull
// edge, an interior point's edge in the last triangle made that has it as
// a corner (the ring is then turned to start at its least neighbour).
// Returns the entries written or -1.
int64_t write_lists(Mesh &m, const uint32_t *order, uint32_t n, int32_t last, Lists &lists, uint32_t entryCapacity) {
    // A starting edge for every point: interior points in prev[], hull
    // points marked by next[] = -2 - hull edge.
    // Points without one (prev[] = -1) are not the triangulation's: the
    // excluded ones between the retained, whose entries are left alone.
    uint32_t highest = 0;
    for (uint32_t i = 0; i < n; ++i)
        highest = order[i] > highest ? order[i] : highest;
    for (uint32_t v = 0; v <= highest; ++v)
        m.prev[v] = -1;
    for (int32_t t = 0; t < static_cast<int32_t>(m.triangles); ++t)
        for (int k = 0; k < 3; ++k)
            m.prev[m.corner(at3(t, k))] = edge3(t, k);
    int32_t h = last;
    do {
        const int32_t following = m.next[h];
        m.next[h] = -2 - m.hullEdge[h];
        h = following;
    } while (h != last && h >= 0);
    for (uint32_t i = 0; i < n; ++i)
        if (m.next[order[i]] >= 0)
            m.next[order[i]] = -1; // interior
    // The lists in point order (contour order), not in the order of
    // insertion: neighbouring points share triangles, so the walks stay in
    // cache, and pruning reads the store front to back.
    uint32_t cursor = 0;
    for (uint32_t i = 0; i <= highest; ++i) {
        const int32_t v = static_cast<int32_t>(i);
        if (m.prev[v] < 0)
            continue;
        const int32_t e0 = m.next[v] <= -2 ? -2 - m.next[v] : m.prev[v];
        lists.start[v] = cursor;
        if (cursor >= entryCapacity)
            return -1;
        lists.entries[cursor++] = m.corner(succ(e0));
        // Round v counter-clockwise: the edge into v of this triangle, then
        // its twin, which leaves v in the next triangle.
        int32_t e = e0;
        for (uint32_t guard = 0;; ++guard) {
            const int32_t in = pred(e);
            const int32_t twin = m.twin(in);
            if (twin == e0 || guard > m.triangles)
                break;
            if (cursor >= entryCapacity)
                return -1;
            lists.entries[cursor++] = m.corner(in);
            if (twin < 0)
                break;
            e = twin;
        }
        lists.count[v] = cursor - lists.start[v];
        if (m.next[v] > -2)
            start_at_least(lists.entries + lists.start[v], lists.count[v]);
    }
    return cursor;
}

// All points on one line: the path through them in sweep order.
int64_t write_path(const uint32_t *order, uint32_t n, Lists &lists) {
    uint32_t cursor = 0;
    for (uint32_t i = 0; i < n; ++i) {
        lists.start[order[i]] = cursor;
        if (i > 0)
            lists.entries[cursor++] = static_cast<int32_t>(order[i - 1]);
        if (i + 1 < n)
            lists.entries[cursor++] = static_cast<int32_t>(order[i + 1]);
        lists.count[order[i]] = cursor - lists.start[order[i]];
    }
    return cursor;
}


// The insertion round of point index i (0 .. 15): a hash of the index
// with t trailing zero bits puts it in round 15 - t, so half the points go
// in the last round, a quarter in the one before, and so on.
inline uint64_t insertion_round(uint32_t i) {
    uint32_t z = i * 0x9E3779B1u;
    z ^= z >> 15;
    z *= 0x85EBCA77u;
    z ^= z >> 13;
    const uint32_t zeros = z == 0 ? 15 : static_cast<uint32_t>(__builtin_ctz(z));
    return 15 - (zeros > 15 ? 15 : zeros);
}

} // namespace

void radix_sort_high(uint64_t *keys, uint64_t *spare, uint32_t n) {
    constexpr uint32_t kDigits = 1u << 12;
    uint32_t count[kDigits];
    for (int shift = 28; shift < 64; shift += 12) {
        for (uint32_t d = 0; d < kDigits; ++d)
            count[d] = 0;
        for (uint32_t i = 0; i < n; ++i)
            ++count[(keys[i] >> shift) & (kDigits - 1)];
        if (count[(keys[0] >> shift) & (kDigits - 1)] == n)
            continue;
        uint32_t sum = 0;
        for (uint32_t d = 0; d < kDigits; ++d) {
            const uint32_t c = count[d];
            count[d] = sum;
            sum += c;
        }
        for (uint32_t i = 0; i < n; ++i)
            spare[count[(keys[i] >> shift) & (kDigits - 1)]++] = keys[i];
        std::copy(spare, spare + n, keys);
    }
}

namespace {

// Sorts order[] into rounds of growing size, each along the Hilbert curve
// (ties by index): consecutive points of a round are near each other, so
// each walk from the last point is short. Key: round (4 bits), Hilbert
// position (32), index (28). Large objects are sorted by radix on the round
// and position alone: order[] comes in index order and the sort is stable,
// so ties keep their index order as in a sort of the whole key (ties can
// only be coincident points, which the triangulation refuses anyway).
// Decision: radix from 2048 points on; below that the 3 x 4096 counters
// cost more than the comparison sort, which took 3 % of `quill vectorise`
// on the standard page.
void sort_spatially(const int32_t *x, const int32_t *y, uint32_t *order, uint32_t n, uint64_t *keys,
                    uint64_t *spare) {
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t h = hilbert_position(static_cast<uint32_t>(x[order[i]]) & 0xFFFFu, static_cast<uint32_t>(y[order[i]]) & 0xFFFFu);
        keys[i] = insertion_round(order[i]) << 60 | uint64_t{h} << 28 | order[i]; // an index is below 2^28
    }
    bool ascending = true;
    for (uint32_t i = 1; i < n && ascending; ++i)
        ascending = order[i - 1] < order[i];
    if (n >= 2048 && ascending)
        radix_sort_high(keys, spare, n);
    else
        std::sort(keys, keys + n);
    for (uint32_t i = 0; i < n; ++i)
        order[i] = static_cast<uint32_t>(keys[i] & 0x0FFFFFFFu);
}

// Puts the k collinear points of order[] in order along their line (by x,
// then y); false when two coincide.
bool sort_along_line(const int32_t *x, const int32_t *y, uint32_t *order, uint32_t k) {
    std::sort(order, order + k, [&](uint32_t a, uint32_t b) { return x[a] != x[b] ? x[a] < x[b] : y[a] < y[b]; });
    for (uint32_t i = 1; i < k; ++i)
        if (x[order[i]] == x[order[i - 1]] && y[order[i]] == y[order[i - 1]])
            return false;
    return true;
}

// Records every hull edge of triangle t as its start's hull edge.
void claim_hull_edges(Mesh &m, int32_t t) {
    for (int k = 0; k < 3; ++k)
        if (m.twin(at3(t, k)) < 0)
            m.hullEdge[m.corner(at3(t, k))] = edge3(t, k);
}

// Sets t's corners and links its edges with the given twins.
void set_triangle(Mesh &m, int32_t t, int32_t a, int32_t b, int32_t c, int32_t na, int32_t nb, int32_t nc) {
    m.corner(at3(t, 0)) = a, m.corner(at3(t, 1)) = b, m.corner(at3(t, 2)) = c;
    link(m, edge3(t, 0), na);
    link(m, edge3(t, 1), nb);
    link(m, edge3(t, 2), nc);
}

// p strictly inside triangle t: three triangles round p.
bool split_triangle(Mesh &m, int32_t t, int32_t p) {
    const int32_t a = m.corner(at3(t, 0)), b = m.corner(at3(t, 1)), c = m.corner(at3(t, 2));
    const int32_t nAB = m.twin(at3(t, 0)), nBC = m.twin(at3(t, 1)), nCA = m.twin(at3(t, 2));
    const int32_t t2 = add_triangle(m, 0, 0, 0), t3 = add_triangle(m, 0, 0, 0);
    if (t2 < 0 || t3 < 0)
        return false;
    set_triangle(m, t, a, b, p, nAB, edge3(t2, 2), edge3(t3, 1));
    set_triangle(m, t2, b, c, p, nBC, edge3(t3, 2), edge3(t, 1));
    set_triangle(m, t3, c, a, p, nCA, edge3(t, 2), edge3(t2, 1));
    for (int32_t n : {t, t2, t3}) {
        claim_hull_edges(m, n);
        push(m, n);
    }
    legalise(m);
    return true;
}

// p on edge 0 of triangle t (strictly between its corners): the edge is
// split, and so are both triangles on it.
bool split_edge(Mesh &m, int32_t t, int32_t p) {
    const int32_t a = m.corner(at3(t, 0)), b = m.corner(at3(t, 1)), c = m.corner(at3(t, 2));
    const int32_t oe = m.twin(at3(t, 0));
    const int32_t nBC = m.twin(at3(t, 1)), nCA = m.twin(at3(t, 2));
    const int32_t t2 = add_triangle(m, 0, 0, 0);
    if (t2 < 0)
        return false;
    if (oe < 0) {
        // A hull edge: a -> p -> b on the hull.
        set_triangle(m, t, b, c, p, nBC, edge3(t2, 2), -1);
        set_triangle(m, t2, c, a, p, nCA, -1, edge3(t, 1));
        m.next[a] = p, m.prev[p] = a, m.next[p] = b, m.prev[b] = p;
        m.hullEdge[a] = edge3(t2, 1); // (a, p)
        m.hullEdge[p] = edge3(t, 2);  // (p, b)
        for (int32_t n : {t, t2}) {
            claim_hull_edges(m, n);
            push(m, n);
        }
        legalise(m);
        return true;
    }
    const int32_t o = oe >> 2;
    const int32_t d = m.corner(pred(oe));
    const int32_t nAD = m.twin(succ(oe)), nDB = m.twin(pred(oe));
    const int32_t t4 = add_triangle(m, 0, 0, 0);
    if (t4 < 0)
        return false;
    set_triangle(m, t, b, c, p, nBC, edge3(t2, 2), edge3(t4, 1));
    set_triangle(m, t2, c, a, p, nCA, edge3(o, 2), edge3(t, 1));
    set_triangle(m, o, a, d, p, nAD, edge3(t4, 2), edge3(t2, 1));
    set_triangle(m, t4, d, b, p, nDB, edge3(t, 2), edge3(o, 1));
    for (int32_t n : {t, t2, o, t4}) {
        claim_hull_edges(m, n);
        push(m, n);
    }
    legalise(m);
    return true;
}

// Walks from triangle t towards p and inserts it where it lands. Returns a
// triangle that has p as a corner, or -1 (p coincides with a point, or the
// walk does not end: neither happens on distinct points).
int32_t locate_and_insert(Mesh &m, int32_t t, int32_t p) {
    for (uint32_t guard = 0; guard <= 2 * m.capacity + 8; ++guard) {
        int crossed = -1, onEdge = -1;
        for (int k = 0; k < 3 && crossed < 0; ++k) {
            const int32_t a = m.corner(at3(t, k)), b = m.corner(at3(t, (k + 1) % 3));
            const int64_t o = orient(m.x, m.y, u(a), u(b), u(p));
            if (o < 0)
                crossed = k;
            else if (o == 0)
                onEdge = k;
        }
        if (crossed >= 0) {
            const int32_t next = m.twin(at3(t, crossed));
            if (next >= 0) {
                t = next >> 2;
                continue;
            }
            // Beyond a hull edge: it runs from its start vertex on the hull.
            const int32_t s = m.corner(at3(t, crossed));
            const uint32_t before = m.triangles;
            if (!insert(m, s, p))
                return -1;
            return static_cast<int32_t>(before); // the first new triangle
        }
        if (onEdge >= 0) {
            const int32_t a = m.corner(at3(t, onEdge)), b = m.corner(at3(t, (onEdge + 1) % 3));
            if ((m.x[a] == m.x[p] && m.y[a] == m.y[p]) || (m.x[b] == m.x[p] && m.y[b] == m.y[p]))
                return -1; // a point seen already
            // Rotate t so that the edge is edge 0.
            const int32_t c = m.corner(at3(t, (onEdge + 2) % 3));
            const int32_t n0 = m.twin(at3(t, onEdge)), n1 = m.twin(at3(t, (onEdge + 1) % 3)),
                          n2 = m.twin(at3(t, (onEdge + 2) % 3));
            set_triangle(m, t, a, b, c, n0, n1, n2);
            claim_hull_edges(m, t);
            return split_edge(m, t, p) ? t : -1;
        }
        return split_triangle(m, t, p) ? t : -1;
    }
    return -1;
}

} // namespace

int in_circle(const int32_t *x, const int32_t *y, uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    return in_circle_inline(x, y, a, b, c, d);
}

namespace {

// Position along a Hilbert curve, two bits a level from the top. The
// curve's orientation inside the current square is a transform of the
// coordinates' remaining bits: both inverted or not, then exchanged or not
// (the two commute). A quadrant with ry = 0 turns the transform: it is
// exchanged, and inverted too when rx = 1. The transform is a state of two
// bits (invert, exchange), so four levels at once are a table look-up:
// for each state and each 4 bits of x and of y, the 8 bits of position and
// the state after them (4 x 256 entries of 16 bits, made at compile time).
// One level at a time, the sort keys of the triangulation took 6 % of the
// instructions of `quill vectorise`.
struct HilbertTable {
    uint16_t entry[4][256] = {}; // position byte | next state << 8
};

constexpr HilbertTable make_hilbert_table() {
    HilbertTable t;
    for (uint32_t state = 0; state < 4; ++state)
        for (uint32_t xy = 0; xy < 256; ++xy) {
            const uint32_t x = xy >> 4, y = xy & 15;
            uint32_t d = 0, invert = state & 1, exchange = state >> 1;
            for (int level = 3; level >= 0; --level) {
                const uint32_t bx = ((x >> level) & 1) ^ invert, by = ((y >> level) & 1) ^ invert;
                const uint32_t rx = exchange ? by : bx, ry = exchange ? bx : by;
                d = d << 2 | ((3 * rx) ^ ry);
                const uint32_t turn = ry ^ 1;
                invert ^= turn & rx;
                exchange ^= turn;
            }
            t.entry[state][xy] = static_cast<uint16_t>(d | (invert | exchange << 1) << 8);
        }
    return t;
}

constexpr HilbertTable kHilbert = make_hilbert_table();

} // namespace

// Position of (x, y) along a Hilbert curve over the 16-bit plane.
uint32_t hilbert_position(uint32_t x, uint32_t y) {
    uint32_t d = 0, state = 0;
    for (int shift = 12; shift >= 0; shift -= 4) {
        const uint32_t e = kHilbert.entry[state][((x >> shift) & 15) << 4 | ((y >> shift) & 15)];
        d = d << 8 | (e & 0xFF);
        state = e >> 8;
    }
    return d;
}

int in_circle_perturbed(const int32_t *x, const int32_t *y, uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    return in_circle_ties_broken(x, y, a, b, c, d);
}

uint64_t delaunay_work_bytes(uint64_t points) {
    // corners and twins: 8 words a triangle, stack: 1; hull: 3 a point,
    // the angle table 1, sort keys 2.
    return 4 * (9 * 2 * points + 6 * points) + 160;
}

void delaunay_work_carve(void *block, uint32_t points, DelaunayWork &w) {
    int32_t *at = static_cast<int32_t *>(block);
    const size_t triangles = 2 * size_t{points} + 2;
    w.triangleCapacity = static_cast<uint32_t>(triangles);
    w.entryCapacity = 6 * points;
    w.triangles = at, at += 8 * triangles;
    w.stack = at, at += triangles;
    w.hullNext = at, at += points;
    w.hullPrev = at, at += points;
    w.hullEdge = at, at += points;
    if (reinterpret_cast<uintptr_t>(at) % 8)
        ++at;
    w.keys = reinterpret_cast<uint64_t *>(at);
}

int64_t delaunay(const int32_t *x, const int32_t *y, uint32_t *order, uint32_t n, DelaunayWork &w, Lists &lists) {
    if (n < 2) {
        if (n == 1)
            lists.start[order[0]] = 0, lists.count[order[0]] = 0;
        return 0;
    }
    // The flip stack (a word per triangle, two triangles a point) is free
    // until the first insertion: the sort's spare keys.
    sort_spatially(x, y, order, n, w.keys, reinterpret_cast<uint64_t *>(w.stack));
    // The first point off the line of the first two; those before it are
    // put in order along their line.
    if (x[order[0]] == x[order[1]] && y[order[0]] == y[order[1]])
        return -1;
    uint32_t k = 2;
    while (k < n && orient(x, y, order[0], order[1], order[k]) == 0)
        ++k;
    if (!sort_along_line(x, y, order, k))
        return -1;
    if (k == n)
        return write_path(order, n, lists);
    Mesh m{x, y, w.triangles, w.hullNext, w.hullPrev, w.hullEdge, w.stack, 0, w.triangleCapacity, 0};
    for (uint32_t i = 0; i < n; ++i)
        m.next[order[i]] = -1; // not on the hull (yet)
    if (!start_fan(m, order, k, static_cast<int32_t>(order[k])))
        return -1;
    int32_t last = static_cast<int32_t>(order[k]), lastTri = 0;
    for (uint32_t i = k + 1; i < n; ++i) {
        const int32_t p = static_cast<int32_t>(order[i]);
        lastTri = locate_and_insert(m, lastTri, p);
        if (lastTri < 0)
            return -1;
        last = p;
    }
    (void)last;
    // A hull vertex to start the hull walk from: the start of any edge with
    // nothing beyond it.
    int32_t h = -1;
    for (uint32_t t = 0; t < m.triangles && h < 0; ++t)
        for (int c = 0; c < 3 && h < 0; ++c)
            if (m.twin(at3(static_cast<int32_t>(t), c)) < 0)
                h = m.corner(at3(static_cast<int32_t>(t), c));
    return h < 0 ? -1 : write_lists(m, order, n, h, lists, w.entryCapacity);
}

} // namespace graph
} // namespace quill
