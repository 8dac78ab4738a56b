/*
 * delaunay.cpp - the Delaunay triangulation of an object's retained
 * boundary points, by a sweep with exact integer predicates, handed out as
 * neighbour lists in angular order.
 *
 * The sweep. Points arrive sorted by x, then y. Each new point p is then
 * the largest point so far in that order, hence a vertex of the hull of the
 * points seen so far with p, and strictly outside the old hull:
 *
 *        hull (counter-clockwise)          p sees the hull edges on whose
 *          c ---- b                        outer side it lies strictly:
 *         /        \      . p              (b, a) and (a, z) here; it is
 *        d          a  .'                  joined to b, a and z, one new
 *         \        / .'                    triangle per visible edge, and
 *          e ---- z'                       replaces a on the hull.
 *
 * The point inserted just before p is the old hull's largest vertex, and
 * one of its two hull edges is always visible from p (the hull lies in the
 * half-plane x <= its x, and on its column below it), so the visible chain
 * is found by walking the hull both ways from there: no search structure,
 * and the walk costs what it removes from the hull (amortised O(1)).
 * After the new triangles are made, Lawson's flips restore the empty-circle
 * property: the edge of each new triangle opposite p is tested against the
 * triangle across it; when that triangle's far corner d lies strictly
 * inside the circle through the edge and p, the edge is flipped to (p, d)
 * and the two new edges opposite p are tested in turn. A flip only ever
 * makes triangles that contain p, so a stack of triangles with p at
 * corner 2 is all the bookkeeping (one entry per triangle at most).
 *
 * The start. The first points may lie on one line; they wait, in order,
 * until the first point p off that line arrives, which is joined to all of
 * them (a fan of triangles, each with two of the line's points). The fan is
 * Delaunay already: the circle through two neighbours on the line meets the
 * line only in them. If every point lies on one line the result is the path
 * through them in order, and there is no triangle.
 *
 * Predicates. orient() is a 64-bit cross product (coordinate differences
 * below 2^17, products below 2^34). in_circle() needs squared lengths
 * (below 2^35) times cross products (below 2^35): 2^70, beyond 64 bits, so
 * it is taken in 128-bit integers; exact, so no point is ever on the wrong
 * side of a circle and the flips terminate.
 *
 * Co-circular points: an edge is flipped only when the far point lies
 * strictly inside the circle, so four co-circular points keep whichever
 * diagonal the sweep made first. Both are Delaunay; the choice is the
 * cheapest and it never flips back and forth.
 *
 * Neighbour lists. Around each point the triangles are walked across their
 * edges, counter-clockwise, starting for a hull point from its hull
 * triangle (whose edge to the next hull vertex has nothing beyond it); each
 * list is written once, in point order, into one store: a list holds its
 * start and count, and pruning later compacts each list in place.
 *
 * Decisions:
 *  - Triangles with neighbour pointers during the sweep, lists only at the
 *    end, rather than lists edited point by point during the flips: a flip
 *    is then six word writes instead of four list insertions and removals
 *    (each a shift of the list), and the lists come out in angular order by
 *    construction. The price is 48 bytes a triangle of working memory,
 *    allocated once for the largest object.
 *  - The hull front and the flip stack are sized from the largest object
 *    (a front of one entry per point, a stack of one per triangle), not
 *    fixed at 32768 entries: no object is refused for its size and nothing
 *    can be written past them.
 */
#include "graph_internal.h"

namespace quill {
namespace graph {

namespace {

__extension__ typedef __int128 wide;

struct Mesh {
    const int32_t *x;
    const int32_t *y;
    int32_t *corners;
    int32_t *across;
    int32_t *next;
    int32_t *prev;
    int32_t *hullTri;
    int32_t *stack;
    uint32_t triangles;
    uint32_t capacity;
    uint32_t depth;
};

inline size_t at3(int32_t t, int k) { return 3 * static_cast<size_t>(t) + static_cast<size_t>(k); }
inline uint32_t u(int32_t v) { return static_cast<uint32_t>(v); }

int32_t add_triangle(Mesh &m, int32_t a, int32_t b, int32_t c) {
    if (m.triangles >= m.capacity)
        return -1;
    const int32_t t = static_cast<int32_t>(m.triangles++);
    m.corners[at3(t, 0)] = a;
    m.corners[at3(t, 1)] = b;
    m.corners[at3(t, 2)] = c;
    m.across[at3(t, 0)] = m.across[at3(t, 1)] = m.across[at3(t, 2)] = -1;
    return t;
}

// The index of edge (a, b) in triangle t (edge k runs from corner k to
// corner k + 1), or -1.
int edge_of(const Mesh &m, int32_t t, int32_t a, int32_t b) {
    for (int k = 0; k < 3; ++k)
        if (m.corners[at3(t, k)] == a && m.corners[at3(t, (k + 1) % 3)] == b)
            return k;
    return -1;
}

// Makes the edge (a, b) of triangle t (if any) point across at `to`.
void repoint(Mesh &m, int32_t t, int32_t a, int32_t b, int32_t to) {
    if (t < 0)
        return;
    const int k = edge_of(m, t, a, b);
    if (k >= 0)
        m.across[at3(t, k)] = to;
}

void push(Mesh &m, int32_t t) {
    if (m.depth < m.capacity)
        m.stack[m.depth++] = t;
}

// Restores the empty-circle property around the point at corner 2 of every
// stacked triangle.
void legalise(Mesh &m) {
    while (m.depth > 0) {
        const int32_t t = m.stack[--m.depth];
        const int32_t a = m.corners[at3(t, 0)], b = m.corners[at3(t, 1)], p = m.corners[at3(t, 2)];
        const int32_t o = m.across[at3(t, 0)];
        if (o < 0)
            continue;
        const int k = edge_of(m, o, b, a);
        if (k < 0)
            continue;
        const int32_t d = m.corners[at3(o, (k + 2) % 3)];
        if (in_circle(m.x, m.y, u(a), u(b), u(p), u(d)) <= 0)
            continue;
        const int32_t nAD = m.across[at3(o, (k + 1) % 3)], nDB = m.across[at3(o, (k + 2) % 3)];
        const int32_t nBP = m.across[at3(t, 1)], nPA = m.across[at3(t, 2)];
        // The quadrilateral a, d, b, p (counter-clockwise) gets the diagonal
        // (p, d): t becomes (a, d, p) and o becomes (d, b, p).
        m.corners[at3(t, 0)] = a, m.corners[at3(t, 1)] = d, m.corners[at3(t, 2)] = p;
        m.across[at3(t, 0)] = nAD, m.across[at3(t, 1)] = o, m.across[at3(t, 2)] = nPA;
        m.corners[at3(o, 0)] = d, m.corners[at3(o, 1)] = b, m.corners[at3(o, 2)] = p;
        m.across[at3(o, 0)] = nDB, m.across[at3(o, 1)] = nBP, m.across[at3(o, 2)] = t;
        repoint(m, nAD, d, a, t);
        repoint(m, nBP, p, b, o);
        // Hull edges run the way their triangle does.
        if (nAD < 0)
            m.hullTri[a] = t;
        if (nDB < 0)
            m.hullTri[d] = o;
        if (nBP < 0)
            m.hullTri[b] = o;
        if (nPA < 0)
            m.hullTri[p] = t;
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
        if (prevT >= 0) {
            // ccw: T(i-1) edge 1 (line[i], p) meets T(i) edge 2 (p, line[i]);
            // otherwise T(i-1) edge 2 (p, line[i]) meets T(i) edge 1.
            m.across[at3(prevT, ccw ? 1 : 2)] = t;
            m.across[at3(t, ccw ? 2 : 1)] = prevT;
        }
        m.hullTri[ccw ? a : b] = t;
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
        m.hullTri[last] = tLast;
        m.hullTri[p] = t0;
    } else {
        // Hull: line[k-1] -> ... -> line[0] -> p -> line[k-1].
        for (uint32_t i = 0; i + 1 < k; ++i) {
            m.next[line[i + 1]] = static_cast<int32_t>(line[i]);
            m.prev[line[i]] = static_cast<int32_t>(line[i + 1]);
        }
        m.next[first] = p, m.prev[p] = first, m.next[p] = last, m.prev[last] = p;
        m.hullTri[first] = t0;
        m.hullTri[p] = tLast;
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
        const int32_t outer = m.hullTri[a];
        m.across[at3(t, 0)] = outer;
        repoint(m, outer, a, b, t);
        if (prevT >= 0) {
            m.across[at3(t, 1)] = prevT; // (a, p) against the previous (p, a)
            m.across[at3(prevT, 2)] = t;
        } else {
            firstT = t;
        }
        prevT = t;
        push(m, t);
        a = b;
    }
    m.hullTri[l] = firstT; // its edge (l, p)
    m.hullTri[p] = prevT;  // its edge (p, r)
    m.next[l] = p, m.prev[p] = l, m.next[p] = r, m.prev[r] = p;
    legalise(m);
    return true;
}

// The corner of t that is v.
inline int corner_of(const Mesh &m, int32_t t, int32_t v) {
    return m.corners[at3(t, 0)] == v ? 0 : m.corners[at3(t, 1)] == v ? 1 : 2;
}

// Writes the neighbour lists of the n points of order[]; hullTri is reused
// as each point's starting triangle. Returns the entries written or -1.
int64_t write_lists(Mesh &m, const uint32_t *order, uint32_t n, int32_t last, Lists &lists, uint32_t entryCapacity) {
    // A starting triangle for every point: interior points take any, hull
    // points their hull triangle (marked by next[] = -2 - triangle).
    for (uint32_t t = 0; t < m.triangles; ++t)
        for (int k = 0; k < 3; ++k)
            m.prev[m.corners[at3(static_cast<int32_t>(t), k)]] = static_cast<int32_t>(t);
    int32_t h = last;
    do {
        const int32_t following = m.next[h];
        m.next[h] = -2 - m.hullTri[h];
        h = following;
    } while (h != last && h >= 0);
    for (uint32_t i = 0; i < n; ++i)
        if (m.next[order[i]] >= 0)
            m.next[order[i]] = -1; // interior
    uint32_t cursor = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const int32_t v = static_cast<int32_t>(order[i]);
        const bool onHull = m.next[v] <= -2;
        const int32_t t0 = onHull ? -2 - m.next[v] : m.prev[v];
        lists.start[v] = cursor;
        int32_t t = t0;
        int c = corner_of(m, t, v);
        if (cursor >= entryCapacity)
            return -1;
        lists.entries[cursor++] = m.corners[at3(t, (c + 1) % 3)];
        for (uint32_t guard = 0;; ++guard) {
            const int32_t b = m.corners[at3(t, (c + 2) % 3)];
            const int32_t nt = m.across[at3(t, (c + 2) % 3)];
            if (nt == t0 || guard > m.triangles)
                break;
            if (cursor >= entryCapacity)
                return -1;
            lists.entries[cursor++] = b;
            if (nt < 0)
                break;
            t = nt;
            c = corner_of(m, t, v);
        }
        lists.count[v] = cursor - lists.start[v];
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

} // namespace

int in_circle(const int32_t *x, const int32_t *y, uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    const int64_t adx = int64_t{x[a]} - x[d], ady = int64_t{y[a]} - y[d];
    const int64_t bdx = int64_t{x[b]} - x[d], bdy = int64_t{y[b]} - y[d];
    const int64_t cdx = int64_t{x[c]} - x[d], cdy = int64_t{y[c]} - y[d];
    const wide alift = wide{adx * adx + ady * ady}, blift = wide{bdx * bdx + bdy * bdy}, clift = wide{cdx * cdx + cdy * cdy};
    const wide det = alift * (bdx * cdy - cdx * bdy) + blift * (cdx * ady - adx * cdy) + clift * (adx * bdy - bdx * ady);
    return det > 0 ? 1 : det < 0 ? -1 : 0;
}

uint64_t delaunay_work_bytes(uint64_t points) {
    // corners, across: 3 words a triangle each, stack: 1; hull: 3 a point.
    return 4 * (7 * 2 * points + 3 * points) + 64;
}

void delaunay_work_carve(void *block, uint32_t points, DelaunayWork &w) {
    int32_t *at = static_cast<int32_t *>(block);
    const size_t triangles = 2 * size_t{points} + 2;
    w.triangleCapacity = static_cast<uint32_t>(triangles);
    w.entryCapacity = 6 * points;
    w.corners = at, at += 3 * triangles;
    w.across = at, at += 3 * triangles;
    w.stack = at, at += triangles;
    w.hullNext = at, at += points;
    w.hullPrev = at, at += points;
    w.hullTri = at;
}

int64_t delaunay(const int32_t *x, const int32_t *y, const uint32_t *order, uint32_t n, DelaunayWork &w,
                 Lists &lists) {
    if (n < 2) {
        if (n == 1)
            lists.start[order[0]] = 0, lists.count[order[0]] = 0;
        return 0;
    }
    // The first point off the line of the first two.
    uint32_t k = 2;
    while (k < n && orient(x, y, order[0], order[1], order[k]) == 0)
        ++k;
    if (k == n)
        return write_path(order, n, lists);
    Mesh m{x, y, w.corners, w.across, w.hullNext, w.hullPrev, w.hullTri, w.stack, 0, w.triangleCapacity, 0};
    if (!start_fan(m, order, k, static_cast<int32_t>(order[k])))
        return -1;
    int32_t last = static_cast<int32_t>(order[k]);
    for (uint32_t i = k + 1; i < n; ++i) {
        const int32_t p = static_cast<int32_t>(order[i]);
        if (!insert(m, last, p))
            return -1;
        last = p;
    }
    return write_lists(m, order, n, last, lists, w.entryCapacity);
}

} // namespace graph
} // namespace quill
