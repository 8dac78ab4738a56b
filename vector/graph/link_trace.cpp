/*
 * link_trace.cpp - pass 2 for one object: its triangles become nodes, the
 * nodes are linked to each other across the boundary stretches between
 * them, and a segment is traced through every link.
 *
 * Nodes and incidence. Each triangle is a node (corners as point indices
 * until the end). For every point the nodes that have it as a corner are
 * listed. Along every contour the triangulated points (those with nodes)
 * get their previous and next triangulated point; for a corner the one
 * that side A reaches first is its leading neighbour (the next one on the
 * outer contour, the previous one on a hole, because side A runs forward
 * on the outer contour and backward on holes, keeping the object on the
 * same hand), the other its trailing neighbour.
 *
 * Links, in this order, each only for edges still without a neighbour:
 *   -16 shared: another node has the same edge the other way round.
 *    -9 self:   a corner alone on its contour (a small hole keeping one
 *               triangulated point): the node's two edges at it are joined
 *               round that contour.
 *    -2 cap:    the edge's two corners follow each other on the contour
 *               and the stretch between them has no node: a stroke end.
 *    -8/-7/-9 gaps: edge (PA, PB); A' = leading neighbour of PA, B' =
 *               trailing neighbour of PB. A later node with an edge
 *               (PB, A') is reached by side A alone (-8), one with
 *               (B', PA) by side B alone (-7), one with (B', A') by both
 *               (-9):
 *
 *          A' . . . . . PA          side A walks PA -> A' along its
 *          |  node t    |  node u   contour, side B PB -> B' along its
 *          B' . . . . . PB          own; elements pair them as they go.
 *
 * Segments. Through every linked edge, in node order, one segment is
 * traced: it starts with (PA, PB) and ends with the partner edge's
 * corners; in between the sides take turns, a side moving on while the
 * point it reached has fewer than 2 neighbours (it lost its edges in the
 * pruning) and handing over at a point with 2 or more. A shared edge gives
 * the edge twice. A cap gives a segment from (PA, PB) to the tip where the
 * sides meet. Its offset goes into the link of both edges it joins.
 *
 * Decisions (the points that the algorithm leaves open):
 *  - A contour with a single triangulated point P: walking round the
 *    contour from P leads back to P, so P itself stands in for its missing
 *    leading or trailing neighbour in the gap search; a side that must
 *    cross such a gap walks the whole contour round. No orientation test
 *    is needed to turn -8 or -7 into -9: the search finds the edge that
 *    closes the gap and the code says which sides move.
 *  - An edge for which no partner is found keeps NBR_NONE and LINK_NONE and
 *    gets no segment (nothing can be traced to an unknown end).
 *  - The tail of a cap: the sides take turns by the rule above while a
 *    point with 2 or more neighbours lies between them; over the last,
 *    neighbourless stretch both sides then step together, one point each
 *    per element (the side A alone for an odd last step), so that they
 *    reach the tip in the same element, which pairs the tip with itself.
 *  - The object without triangles: with one contour (or when its first hole
 *    keeps no point with neighbours) the segment starts across the longest
 *    stretch of the contour whose points have no neighbours (a stroke end),
 *    and runs as a cap does to the far end; with holes it starts at the
 *    first outer point with a neighbour on the first hole, paired with that
 *    neighbour, and walks both contours once round, side by side.
 *  - A contour without any triangulated point needs nothing: no node has a
 *    corner on it, so no link or trace starts there, and traces only walk
 *    the contours of their own corners.
 *  - A trace whose side does not reach its end within one round of its
 *    contour (possible only for contours that contradict each other) gives
 *    the object null slots rather than a segment that stops anywhere.
 *  - The segment store starts at 36 bytes a triangle plus 8 a point and
 *    grows by half when a trace needs more (a doubling would waste most
 *    of a large store); its growth failing is an allocation failure of the
 *    object's blocks.
 */
#include "graph_internal.h"

#include <string.h>

namespace quill {
namespace graph {

namespace {

constexpr int32_t kUnset = -3;

struct Build {
    const Object &obj;
    const Lists &lists;
    LinkWork &w;
    QV_GraphNode *nodes;
    uint32_t nodeCount;
    size_t used;    // words of segment data written
    uint32_t segs;  // segments written
};

inline uint32_t neighbours(const Build &b, uint32_t p) { return b.lists.count[p]; }

inline uint32_t contour_length(const Build &b, uint32_t p) {
    const uint32_t c = b.obj.contourOf[p];
    return b.obj.first[c + 1] - b.obj.first[c];
}

// The point one step from p in direction dir (+1 forward, -1 backward).
inline uint32_t step(const Build &b, uint32_t p, int dir) {
    const uint32_t c = b.obj.contourOf[p], f = b.obj.first[c], n = b.obj.first[c + 1] - f;
    const uint32_t i = p - f;
    return f + (dir > 0 ? (i + 1 == n ? 0 : i + 1) : (i == 0 ? n - 1 : i - 1));
}

// Side A (0) runs forward on the outer contour and backward on holes, side
// B (1) the other way.
inline int direction(const Build &b, int side, uint32_t p) {
    const bool hole = b.obj.contourOf[p] != 0;
    return (side == 0) != hole ? 1 : -1;
}

bool reserve(Build &b, size_t words) {
    if (b.used + words <= b.w.segmentCapacity)
        return true;
    size_t want = b.w.segmentCapacity + b.w.segmentCapacity / 2 + words + 16;
    if (!b.w.segments->resize(want))
        return false;
    b.w.segmentCapacity = want;
    return true;
}

// A segment under construction: its count word is at `head`.
struct Segment {
    size_t head;
    uint32_t count;
};

bool begin(Build &b, Segment &s) {
    if (!reserve(b, 1))
        return false;
    s.head = b.used++;
    s.count = 0;
    (*b.w.segments)[s.head] = 0;
    return true;
}

bool emit(Build &b, Segment &s, uint32_t a, uint32_t bb) {
    if (!reserve(b, 2) || s.count >= 0x3FFFFFFFu)
        return false;
    uint32_t *data = b.w.segments->get();
    data[b.used++] = a;
    data[b.used++] = bb;
    ++s.count;
    return true;
}

// Ends the segment; its byte offset in the segment data.
int32_t finish(Build &b, Segment &s) {
    (*b.w.segments)[s.head] = s.count;
    ++b.segs;
    return static_cast<int32_t>(s.head * 4);
}

// The number of words, read from the segment's elements in `order` (+1
// from side A of the first element, -1 from side B of the last), whose
// coordinate (y when useY, else x) equals the first one's.
uint32_t run_length(const Build &b, const Segment &s, int order, bool useY) {
    const uint32_t *words = b.w.segments->get() + s.head + 1;
    const uint32_t total = 2 * s.count;
    auto coord = [&](uint32_t k) {
        const uint32_t p = words[order > 0 ? k : total - 1 - k];
        return useY ? b.obj.y[p] : b.obj.x[p];
    };
    uint32_t m = 1;
    while (m < total && coord(m) == coord(0))
        ++m;
    return m;
}

// Trims one end of the segment: e = m / 2 of the run of equal y (else x)
// there; e - 1 elements go.
void trim(Build &b, Segment &s, int order) {
    uint32_t e = run_length(b, s, order, true) / 2;
    if (e == 0)
        e = run_length(b, s, order, false) / 2;
    if (e <= 1)
        return;
    const uint32_t drop = e - 1;
    uint32_t *words = b.w.segments->get() + s.head + 1;
    if (order > 0)
        memmove(words, words + 2 * size_t{drop}, 8 * size_t{s.count - drop});
    s.count -= drop;
    (*b.w.segments)[s.head] = s.count;
    b.used = s.head + 1 + 2 * size_t{s.count};
}

// The -9 choice: side B starts when its next point with neighbours is not
// PB and is a neighbour of PA; side A otherwise.
int start_side(const Build &b, uint32_t pa, uint32_t pb) {
    const int dir = direction(b, 1, pb);
    uint32_t q = pb;
    const uint32_t n = contour_length(b, pb);
    for (uint32_t i = 0; i < n; ++i) {
        q = step(b, q, dir);
        if (neighbours(b, q) > 0)
            break;
    }
    return q != pb && has_neighbour(b.lists, pa, q) ? 1 : 0;
}

// Traces from (pa, pb) to (qa, qb); a side that does not cross stays put.
// Returns the segment's offset, or -1.
int32_t trace(Build &b, uint32_t pa, uint32_t pb, uint32_t qa, uint32_t qb, bool crossA, bool crossB, int side,
              Segment &s) {
    if (!begin(b, s) || !emit(b, s, pa, pb))
        return -1;
    uint32_t pos[2] = {pa, pb};
    const uint32_t target[2] = {qa, qb};
    const int dir[2] = {direction(b, 0, pa), direction(b, 1, pb)};
    const uint32_t limit[2] = {contour_length(b, pa), contour_length(b, pb)};
    uint32_t steps[2] = {0, 0};
    bool done[2] = {!crossA, !crossB};
    while (!done[0] || !done[1]) {
        if (done[side])
            side ^= 1;
        pos[side] = step(b, pos[side], dir[side]);
        if (++steps[side] > limit[side] || !emit(b, s, pos[0], pos[1]))
            return -1;
        if (pos[side] == target[side]) {
            done[side] = true;
            side ^= 1;
        } else if (neighbours(b, pos[side]) >= 2) {
            side ^= 1;
        }
    }
    return finish(b, s);
}

// Traces a cap: side A from pa and side B from pb walk towards each other
// over the stretch from pa to pb (in side A's direction) until they meet.
int32_t trace_cap(Build &b, uint32_t pa, uint32_t pb, int side, Segment &s) {
    if (!begin(b, s) || !emit(b, s, pa, pb))
        return -1;
    const int dirA = direction(b, 0, pa);
    const uint32_t n = contour_length(b, pa);
    uint32_t length = 0, heavy = 0;
    for (uint32_t q = pa;;) {
        q = step(b, q, dirA);
        ++length;
        if (q == pb)
            break;
        if (length > n)
            return -1; // pb is not on pa's contour
        heavy += neighbours(b, q) >= 2;
    }
    uint32_t pos[2] = {pa, pb};
    const int dir[2] = {dirA, -dirA};
    uint32_t left = length; // steps between the sides
    while (heavy > 0 && left > 0) {
        pos[side] = step(b, pos[side], dir[side]);
        --left;
        if (!emit(b, s, pos[0], pos[1]))
            return -1;
        if (neighbours(b, pos[side]) >= 2) {
            --heavy;
            side ^= 1;
        }
    }
    while (left > 0) {
        pos[0] = step(b, pos[0], dir[0]);
        --left;
        if (left > 0) {
            pos[1] = step(b, pos[1], dir[1]);
            --left;
        }
        if (!emit(b, s, pos[0], pos[1]))
            return -1;
    }
    return finish(b, s);
}

// ---- Linking ------------------------------------------------------------

void make_nodes(Build &b, const uint32_t *tris) {
    for (uint32_t t = 0; t < b.nodeCount; ++t) {
        QV_GraphNode &n = b.nodes[t];
        for (int k = 0; k < 3; ++k) {
            n.corner[k] = tris[3 * size_t{t} + k];
            n.neighbour[k] = NBR_NONE;
            n.link[k] = LINK_NONE;
            n.backEdge[k] = 0;
        }
        n.spare = 0;
    }
}

inline uint32_t inc_begin(const Build &b, uint32_t p) { return b.w.incStart[p]; }
inline uint32_t inc_end(const Build &b, uint32_t p) { return b.w.incStart[p + 1]; }

void make_incidence(Build &b) {
    uint32_t *start = b.w.incStart;
    memset(start, 0, 4 * (size_t{b.obj.points} + 1));
    for (uint32_t t = 0; t < b.nodeCount; ++t)
        for (int k = 0; k < 3; ++k)
            ++start[b.nodes[t].corner[k] + 1];
    for (uint32_t p = 0; p < b.obj.points; ++p)
        start[p + 1] += start[p];
    // The lead array is free until the neighbours are found: fill cursors.
    int32_t *cursor = b.w.lead;
    for (uint32_t p = 0; p < b.obj.points; ++p)
        cursor[p] = static_cast<int32_t>(start[p]);
    for (uint32_t t = 0; t < b.nodeCount; ++t)
        for (int k = 0; k < 3; ++k)
            b.w.incEntries[cursor[b.nodes[t].corner[k]]++] = t;
}

void find_leading_trailing(Build &b) {
    int32_t *lead = b.w.lead, *trail = b.w.trail;
    for (uint32_t p = 0; p < b.obj.points; ++p)
        lead[p] = trail[p] = kUnset;
    for (uint32_t c = 0; c < b.obj.contours; ++c) {
        const uint32_t f = b.obj.first[c], n = b.obj.first[c + 1] - f;
        int32_t first = -1, last = -1;
        uint32_t m = 0;
        for (uint32_t p = f; p < f + n; ++p) {
            if (inc_begin(b, p) == inc_end(b, p))
                continue;
            if (last >= 0)
                lead[last] = static_cast<int32_t>(p), trail[p] = last; // next, previous
            else
                first = static_cast<int32_t>(p);
            last = static_cast<int32_t>(p);
            ++m;
        }
        if (m == 0)
            continue;
        if (m == 1) {
            lead[first] = -1;
            trail[first] = static_cast<int32_t>(f + (static_cast<uint32_t>(first) - f + 1) % n);
            continue;
        }
        lead[last] = first, trail[first] = last;
        if (c != 0) // a hole: side A reaches the previous point first
            for (uint32_t p = f; p < f + n; ++p)
                if (lead[p] != kUnset) {
                    const int32_t t = lead[p];
                    lead[p] = trail[p];
                    trail[p] = t;
                }
    }
}

inline uint32_t corner(const QV_GraphNode &n, int k) { return n.corner[k % 3]; }

void join(Build &b, uint32_t u, int j, uint32_t t, int k, int32_t code, bool codeBoth) {
    QV_GraphNode &nu = b.nodes[u], &nt = b.nodes[t];
    nu.neighbour[j] = static_cast<int32_t>(t);
    nu.backEdge[j] = static_cast<uint8_t>(k);
    nu.link[j] = code;
    nt.neighbour[k] = static_cast<int32_t>(u);
    nt.backEdge[k] = static_cast<uint8_t>(j);
    if (codeBoth)
        nt.link[k] = code;
}

// A node t > u incident to s with a free edge (a, b); its edge index in k.
int64_t find_edge(const Build &b, uint32_t u, uint32_t s, uint32_t a, uint32_t bb, int &k) {
    for (uint32_t i = inc_begin(b, s); i < inc_end(b, s); ++i) {
        const uint32_t t = b.w.incEntries[i];
        if (t <= u)
            continue;
        for (k = 0; k < 3; ++k)
            if (b.nodes[t].corner[k] == a && corner(b.nodes[t], k + 1) == bb && b.nodes[t].neighbour[k] == NBR_NONE)
                return t;
    }
    return -1;
}

void link_shared(Build &b) {
    for (uint32_t u = 0; u < b.nodeCount; ++u)
        for (int j = 0; j < 3; ++j) {
            if (b.nodes[u].neighbour[j] != NBR_NONE)
                continue;
            const uint32_t a = corner(b.nodes[u], j), bb = corner(b.nodes[u], j + 1);
            int k;
            const int64_t t = find_edge(b, u, a, bb, a, k);
            if (t >= 0)
                join(b, u, j, static_cast<uint32_t>(t), k, LINK_SHARED, true);
        }
}

void link_self(Build &b) {
    const int32_t *lead = b.w.lead, *trail = b.w.trail;
    for (uint32_t u = 0; u < b.nodeCount; ++u)
        for (int j = 0; j < 3; ++j) {
            QV_GraphNode &n = b.nodes[u];
            const int j2 = (j + 2) % 3;
            const uint32_t c0 = corner(n, j), c1 = corner(n, j + 1), c2 = corner(n, j + 2);
            if (lead[c0] != -1 || n.neighbour[j] != NBR_NONE || n.neighbour[j2] != NBR_NONE)
                continue;
            if (trail[c1] == static_cast<int32_t>(c2) && lead[c2] == static_cast<int32_t>(c1)) {
                join(b, u, j, u, j2, LINK_GAP_TEST, false);
                n.link[j] = LINK_GAP_TEST;
            }
        }
}

void link_caps(Build &b) {
    const int32_t *lead = b.w.lead, *trail = b.w.trail;
    for (uint32_t u = 0; u < b.nodeCount; ++u)
        for (int j = 0; j < 3; ++j) {
            QV_GraphNode &n = b.nodes[u];
            const uint32_t pa = corner(n, j), pb = corner(n, j + 1);
            if (n.neighbour[j] == NBR_NONE && lead[pa] == static_cast<int32_t>(pb) && trail[pb] == static_cast<int32_t>(pa))
                n.neighbour[j] = NBR_CAP;
        }
}

void link_gaps(Build &b) {
    const int32_t *lead = b.w.lead, *trail = b.w.trail;
    for (uint32_t u = 0; u < b.nodeCount; ++u)
        for (int j = 0; j < 3; ++j) {
            if (b.nodes[u].neighbour[j] != NBR_NONE)
                continue;
            const uint32_t pa = corner(b.nodes[u], j), pb = corner(b.nodes[u], j + 1);
            // A contour with one triangulated point leads back to it.
            const uint32_t a2 = lead[pa] >= 0 ? static_cast<uint32_t>(lead[pa]) : pa;
            const uint32_t b2 = lead[pb] >= 0 ? static_cast<uint32_t>(trail[pb]) : pb;
            int k;
            int64_t t = find_edge(b, u, pb, pb, a2, k);
            int32_t code = LINK_GAP_A;
            if (t < 0)
                t = find_edge(b, u, b2, b2, pa, k), code = LINK_GAP_B;
            if (t < 0)
                t = find_edge(b, u, b2, b2, a2, k), code = LINK_GAP_TEST;
            if (t >= 0)
                join(b, u, j, static_cast<uint32_t>(t), k, code, false);
        }
}

// ---- Tracing ------------------------------------------------------------

bool trace_links(Build &b) {
    for (uint32_t i = 0; i < b.nodeCount; ++i)
        for (int j = 0; j < 3; ++j) {
            QV_GraphNode &n = b.nodes[i];
            const int32_t code = n.link[j];
            if (n.neighbour[j] < 0 ||
                (code != LINK_SHARED && code != LINK_GAP_A && code != LINK_GAP_B && code != LINK_GAP_TEST))
                continue;
            const uint32_t t = static_cast<uint32_t>(n.neighbour[j]);
            const int k = n.backEdge[j];
            const uint32_t pa = corner(n, j), pb = corner(n, j + 1);
            const uint32_t qa = corner(b.nodes[t], k + 1), qb = corner(b.nodes[t], k);
            Segment s;
            int32_t offset;
            if (code == LINK_SHARED) {
                if (!begin(b, s) || !emit(b, s, pa, pb) || !emit(b, s, pa, pb))
                    return false;
                offset = finish(b, s);
            } else {
                const bool crossA = code != LINK_GAP_B, crossB = code != LINK_GAP_A;
                const int side = code == LINK_GAP_A ? 0 : code == LINK_GAP_B ? 1 : start_side(b, pa, pb);
                offset = trace(b, pa, pb, qa, qb, crossA, crossB, side, s);
            }
            if (offset < 0)
                return false;
            b.nodes[i].link[j] = offset;
            b.nodes[t].link[k] = offset;
        }
    for (uint32_t i = 0; i < b.nodeCount; ++i)
        for (int j = 0; j < 3; ++j) {
            QV_GraphNode &n = b.nodes[i];
            if (n.neighbour[j] != NBR_CAP)
                continue;
            const uint32_t pa = corner(n, j), pb = corner(n, j + 1);
            Segment s;
            const int32_t offset = trace_cap(b, pa, pb, start_side(b, pa, pb), s);
            if (offset < 0)
                return false;
            trim(b, s, -1);
            b.nodes[i].link[j] = offset;
        }
    return true;
}

// The first point of contour c (in side A's order from its first index)
// with neighbours, or -1.
int64_t first_with_neighbours(const Build &b, uint32_t c) {
    for (uint32_t p = b.obj.first[c]; p < b.obj.first[c + 1]; ++p)
        if (neighbours(b, p) > 0)
            return p;
    return -1;
}

// The single segment round an object without triangles.
bool trace_round(Build &b) {
    Segment s;
    int64_t a0 = first_with_neighbours(b, 0), b0 = -1;
    if (b.obj.contours > 1 && a0 >= 0 && first_with_neighbours(b, 1) >= 0) {
        for (uint32_t p = b.obj.first[0]; p < b.obj.first[1] && b0 < 0; ++p)
            for (uint32_t e = 0; e < neighbours(b, p) && b0 < 0; ++e) {
                const int32_t q = b.lists.entries[b.lists.start[p] + e];
                if (b.obj.contourOf[q] == 1)
                    a0 = p, b0 = q;
            }
        if (b0 < 0)
            b0 = first_with_neighbours(b, 1);
        const uint32_t pa = static_cast<uint32_t>(a0), pb = static_cast<uint32_t>(b0);
        if (trace(b, pa, pb, pa, pb, true, true, 0, s) < 0)
            return false;
    } else {
        // One contour: start across its longest stretch without neighbours.
        uint32_t c = 0;
        while (c < b.obj.contours && first_with_neighbours(b, c) < 0)
            ++c;
        if (c == b.obj.contours)
            return false;
        const uint32_t f = b.obj.first[c], n = b.obj.first[c + 1] - f;
        const int dirA = direction(b, 0, f);
        // Walk from a point with neighbours once round in side A's
        // direction, measuring runs of points without.
        uint32_t p = static_cast<uint32_t>(first_with_neighbours(b, c)), bestLen = 0, run = 0;
        uint32_t before = p, bestBefore = p, bestAfter = step(b, p, dirA);
        for (uint32_t i = 0; i < n; ++i) {
            const uint32_t q = step(b, p, dirA);
            if (neighbours(b, q) == 0) {
                ++run;
            } else {
                if (run > bestLen)
                    bestLen = run, bestBefore = before, bestAfter = q;
                run = 0;
                before = q;
            }
            p = q;
        }
        if (trace_cap(b, bestAfter, bestBefore, 0, s) < 0)
            return false;
    }
    trim(b, s, -1);
    trim(b, s, +1);
    return true;
}

inline uint32_t point_word(const Object &obj, uint32_t p) {
    return (static_cast<uint32_t>(obj.x[p]) & 0xFFFFu) | static_cast<uint32_t>(obj.y[p]) << 16;
}

// The segment block: its count, then the segment data with points.
void *segment_block(const Build &b) {
    void *block = qs_malloc(static_cast<uint32_t>(4 * (b.used + 1)));
    if (!block)
        return nullptr;
    uint32_t *out = static_cast<uint32_t *>(block);
    const uint32_t *in = b.w.segments->get();
    out[0] = b.segs;
    for (size_t at = 0; at < b.used;) {
        const uint32_t count = in[at];
        out[1 + at] = count;
        for (size_t k = 0; k < 2 * size_t{count}; ++k)
            out[2 + at + k] = point_word(b.obj, in[at + 1 + k]);
        at += 1 + 2 * size_t{count};
    }
    return block;
}

void *node_block(const Build &b) {
    void *block = qs_malloc(static_cast<uint32_t>(4 + sizeof(QV_GraphNode) * size_t{b.nodeCount}));
    if (!block)
        return nullptr;
    memcpy(block, &b.nodeCount, 4);
    QV_GraphNode *out = reinterpret_cast<QV_GraphNode *>(static_cast<uint8_t *>(block) + 4);
    for (uint32_t t = 0; t < b.nodeCount; ++t) {
        QV_GraphNode n = b.nodes[t];
        for (int k = 0; k < 3; ++k)
            n.corner[k] = point_word(b.obj, n.corner[k]);
        memcpy(out + t, &n, sizeof n);
    }
    return block;
}

} // namespace

uint64_t link_work_bytes(uint64_t maxPoints, uint64_t maxTriangles) {
    return sizeof(QV_GraphNode) * maxTriangles + 4 * (maxPoints + 1) + 4 * 3 * maxTriangles + 8 * maxPoints + 16;
}

void link_work_carve(void *block, uint32_t maxPoints, uint32_t maxTriangles, LinkWork &w) {
    uint8_t *at = static_cast<uint8_t *>(block);
    w.nodes = reinterpret_cast<QV_GraphNode *>(at), at += sizeof(QV_GraphNode) * size_t{maxTriangles};
    w.incStart = reinterpret_cast<uint32_t *>(at), at += 4 * (size_t{maxPoints} + 1);
    w.incEntries = reinterpret_cast<uint32_t *>(at), at += 12 * size_t{maxTriangles};
    w.lead = reinterpret_cast<int32_t *>(at), at += 4 * size_t{maxPoints};
    w.trail = reinterpret_cast<int32_t *>(at);
}

bool build_object_graph(const Object &obj, const KeptHeader &kept, const uint32_t *keptTris, Lists &lists,
                        LinkWork &w, void **nodeBlock, void **segmentBlock) {
    *nodeBlock = *segmentBlock = nullptr;
    Build b{obj, lists, w, w.nodes, kept.triangles, 0, 0};
    if (b.nodeCount > 0) {
        make_nodes(b, keptTris);
        make_incidence(b);
        find_leading_trailing(b);
        link_shared(b);
        link_self(b);
        link_caps(b);
        link_gaps(b);
        if (!trace_links(b))
            return false;
    } else if (!trace_round(b)) {
        return false;
    }
    void *segments = segment_block(b);
    if (!segments)
        return false;
    if (b.nodeCount > 0) {
        void *nodes = node_block(b);
        if (!nodes) {
            qs_free(&segments);
            return false;
        }
        *nodeBlock = nodes;
    }
    *segmentBlock = segments;
    return true;
}

} // namespace graph
} // namespace quill
