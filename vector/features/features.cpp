/*
 * features.cpp - closed segments, line intersections and the pick query
 * QV_LocateFeature over a stroke graph.
 *
 * Every kind walks all objects and keeps the candidate nearest to the query
 * point. The strokes a node leaves through its edges are the fitted centre
 * lines of the segments on those edges (the fitting engine of vector/fit
 * through the segment engines), turned to run away from the node: a
 * stroke's first vertex is the one nearer to the node's centre.
 *
 *   stroke (1)    nearest element centre, in doubled units as exact integers
 *   side (2)      nearest boundary point of any element
 *   end (4)       the tip of every cap segment; the two ends of an object
 *                 without nodes whose single segment is open
 *   corner (8)    inner vertices of the nearest stroke's fitted line
 *   crossing (16) two nodes across a shared edge whose four strokes make
 *                 two straight lines through each other:
 *
 *                       \   /          opposite strokes nearly collinear
 *                        \ /           (sin^2 < 1/2), pointing apart, each
 *                        [u]           one's first vertex within squared
 *                        [t]           distance 96 of the other's line
 *                        / \
 *
 *   junction (32) nodes with three strokes that are not part of a crossing
 *   loop (64)     the closed segment of an object without nodes, or the
 *                 loop QV_ConcatSegments finds through a segment
 *
 * Decisions where the behaviour was ours to choose:
 * - Distances of kinds 1 and 2 are to element centres and side points
 *   (not to the nearest point of a line between them): a pick lands on the
 *   stroke's run of centres anyway, and exact integers keep ties stable.
 *   Query coordinates are clamped to +-2^24 so that squares fit 64 bits;
 *   results beyond 2147483646 are reported as 2147483646.
 * - A segment too short to fit (fewer than 3 elements, or a fit refused)
 *   stands as its raw centre line; only a failed allocation fails the
 *   query.
 * - Junction point: for each edge of the node, its stroke is the stem and
 *   the other two the bar; when the bar's strokes are nearly collinear and
 *   point apart (the crossing test), the junction is where the stem's first
 *   piece meets the bar's line, accepted when it lies on the stem's
 *   backward continuation (at most one pixel ahead of the stem's first
 *   vertex) and within squared distance 96 of both bar strokes' lines. The
 *   first edge that gives such a point wins; a node where none does (a Y
 *   of three equal angles) takes the centre of its triangle.
 * - Loops of nodes are searched through every segment of the object with
 *   at most 8 segments per gap; the loop centre is the mean of all points
 *   of the loop's elements, and x2 carries the loop's mean width.
 */
#include "quillvec.h"

#include "../fit/fit.h"
#include "../segments/segments.h"

#include <math.h>

namespace quill {
namespace features {
namespace {

using fit::Status;

constexpr int32_t kNone = 2147483647;
constexpr int64_t kClamp = int64_t{1} << 24;
constexpr double kNearLine = 96.0;

struct Best {
    double value = INFINITY;
    QV_Feature feature{};
    bool found = false;
    // Keeps the candidate when strictly nearer, or on equal values when
    // `later` (kinds that keep the later one).
    bool offer(double v, bool later = false) {
        if (v < value || (later && v == value && found)) {
            value = v;
            found = true;
            return true;
        }
        return false;
    }
};

struct Query {
    void **graph;
    int32_t nObj;
    int64_t x, y; // clamped
    int32_t tol;
};

const uint8_t *segment_block(const Query &q, int32_t o) { return static_cast<const uint8_t *>(q.graph[2 * size_t(o) + 1]); }
const uint8_t *node_block(const Query &q, int32_t o) { return static_cast<const uint8_t *>(q.graph[2 * size_t(o)]); }
uint32_t node_count(const uint8_t *block) { return block ? fit::word_at(block, 0) : 0; }
const QV_GraphNode *nodes_of(const uint8_t *block) { return reinterpret_cast<const QV_GraphNode *>(block + 4); }

// Calls f(offset, segment pointer) for every segment of an object.
template <typename F>
void each_segment(const uint8_t *block, F f) {
    if (block == nullptr)
        return;
    const uint32_t n = fit::word_at(block, 0);
    const uint8_t *data = block + 4;
    size_t at = 0;
    for (uint32_t s = 0; s < n && at <= 0x7FFFFFFF; ++s) {
        f(static_cast<int32_t>(at), data + at);
        at += 4 + 8 * size_t{seg::count_of(data + at)};
    }
}

// The segment at a node edge's link, when the link is one of the object's
// segment starts (links come from QV_MakeGraph; they are checked anyway).
const uint8_t *linked_segment(const uint8_t *segBlock, int32_t link) {
    if (segBlock == nullptr || link < 0)
        return nullptr;
    const uint8_t *found = nullptr;
    each_segment(segBlock, [&](int32_t off, const uint8_t *s) {
        if (off == link)
            found = s;
    });
    return found;
}

// The fitted centre line of a segment, or its raw centre line when it
// cannot be fitted. False only without memory.
bool stroke_line(const uint8_t *s, int32_t tol, fit::Polyline &line, double &width) {
    const Status st = seg::centre_optimize(s, tol, nullptr, nullptr, line, &width);
    if (st == Status::ok)
        return true;
    if (st == Status::no_memory)
        return false;
    if (seg::raw_centre(s, line) != Status::ok)
        return false;
    width = seg::mean_width(s, line.xy.get(), line.count);
    return true;
}

double dist2(double ax, double ay, double bx, double by) { return (ax - bx) * (ax - bx) + (ay - by) * (ay - by); }

int32_t as_result(double v) {
    if (!(v < 2147483646.0))
        return 2147483646;
    return static_cast<int32_t>(v);
}

// ---- kinds 1, 2 and 8: the nearest element ---------------------------------

struct Nearest {
    int32_t object = -1, offset = -1;
    const uint8_t *segment = nullptr;
    uint32_t element = 0;
    int64_t d = INT64_MAX;
};

Nearest nearest_element(const Query &q) {
    Nearest n;
    for (int32_t o = 0; o < q.nObj; ++o)
        each_segment(segment_block(q, o), [&](int32_t off, const uint8_t *s) {
            const uint32_t c = seg::count_of(s);
            for (uint32_t k = 0; k < c; ++k) {
                const uint32_t a = seg::side(s, k, 0), b = seg::side(s, k, 1);
                const int64_t dx = int64_t{fit::px(a)} + fit::px(b) - 2 * q.x;
                const int64_t dy = int64_t{fit::py(a)} + fit::py(b) - 2 * q.y;
                const int64_t d = dx * dx + dy * dy;
                if (d < n.d)
                    n = {o, off, s, k, d};
            }
        });
    return n;
}

int32_t locate_stroke(const Query &q, QV_Feature &out) {
    const Nearest n = nearest_element(q);
    if (n.segment == nullptr)
        return kNone;
    fit::Polyline line;
    double width = 0;
    if (!stroke_line(n.segment, q.tol, line, width))
        return kNone;
    const uint32_t a = seg::side(n.segment, n.element, 0), b = seg::side(n.segment, n.element, 1);
    out = QV_Feature{(fit::px(a) + fit::px(b)) * 0.5, (fit::py(a) + fit::py(b)) * 0.5, width, 0, n.object, n.offset};
    return as_result(static_cast<double>(n.d / 4));
}

int32_t locate_side(const Query &q, QV_Feature &out) {
    int64_t best = INT64_MAX;
    for (int32_t o = 0; o < q.nObj; ++o)
        each_segment(segment_block(q, o), [&](int32_t off, const uint8_t *s) {
            const uint32_t c = seg::count_of(s);
            for (uint32_t k = 0; k < c; ++k)
                for (int side = 0; side < 2; ++side) {
                    const uint32_t p = seg::side(s, k, side), f = seg::side(s, k, 1 - side);
                    const int64_t dx = fit::px(p) - q.x, dy = fit::py(p) - q.y;
                    const int64_t d = dx * dx + dy * dy;
                    if (d < best) {
                        best = d;
                        out = QV_Feature{double(fit::px(p)), double(fit::py(p)), double(fit::px(f)), double(fit::py(f)),
                                         o, off};
                    }
                }
        });
    return best == INT64_MAX ? kNone : as_result(static_cast<double>(best));
}

// The nearest stroke continued through the node at each of its ends into
// the longest other stroke leaving that node, merged by the concatenation
// engine: a stroke turns a corner at a node wherever the triangulation puts
// one there (an L keeps one triangle in its corner), so the corner is a
// vertex of the continued stroke, not of either leg. Null in *merged when
// there is nothing to continue into; false only without memory.
bool continued_stroke(const Query &q, const Nearest &n, void **merged) {
    *merged = nullptr;
    const uint8_t *nb = node_block(q, n.object), *sb = segment_block(q, n.object);
    const uint32_t nn = node_count(nb);
    if (nn == 0)
        return true;
    const QV_GraphNode *nodes = nodes_of(nb);
    int32_t list[3], k = 0, before = -1, after = -1;
    uint32_t beforeCount = 0, afterCount = 0;
    bool first = true;
    for (uint32_t i = 0; i < nn; ++i)
        for (int j = 0; j < 3; ++j) {
            if (nodes[i].link[j] != n.offset)
                continue;
            // The longest other stroke of this node.
            int32_t pick = -1;
            uint32_t most = 0;
            for (int e = 0; e < 3; ++e) {
                const uint8_t *s = e == j ? nullptr : linked_segment(sb, nodes[i].link[e]);
                if (s != nullptr && nodes[i].link[e] != n.offset && seg::count_of(s) > most)
                    most = seg::count_of(s), pick = nodes[i].link[e];
            }
            if (first)
                before = pick, beforeCount = most, first = false;
            else
                after = pick, afterCount = most;
        }
    (void)beforeCount, (void)afterCount;
    if (before >= 0)
        list[k++] = before;
    list[k++] = n.offset;
    if (after >= 0 && after != before)
        list[k++] = after;
    if (k == 1)
        return true;
    return seg::concat(q.graph, n.object, list, k, 1, merged) != Status::no_memory;
}

int32_t locate_corner(const Query &q, QV_Feature &out) {
    const Nearest n = nearest_element(q);
    if (n.segment == nullptr)
        return kNone;
    void *merged = nullptr;
    if (!continued_stroke(q, n, &merged))
        return kNone;
    const uint8_t *stroke = merged ? static_cast<const uint8_t *>(merged) : n.segment;
    fit::Polyline line;
    double width = 0;
    const bool fitted = stroke_line(stroke, q.tol, line, width);
    const bool closed = seg::is_closed(stroke);
    qs_free(&merged);
    if (!fitted)
        return kNone;
    const uint32_t from = closed ? 0 : 1, to = closed ? line.count : (line.count > 0 ? line.count - 1 : 0);
    Best best;
    for (uint32_t i = from; i < to; ++i) {
        const double vx = line.xy[2 * i], vy = line.xy[2 * i + 1];
        if (vx == -1)
            continue;
        if (best.offer(dist2(vx, vy, double(q.x), double(q.y)), true))
            best.feature = QV_Feature{vx, vy, width, 0, n.object, n.offset};
    }
    if (!best.found)
        return kNone;
    out = best.feature;
    return as_result(best.value);
}

// ---- strokes leaving nodes -------------------------------------------------

struct Stroke {
    fit::Polyline line;
    double width = 0;
    bool present = false;
    double x0 = 0, y0 = 0, dx = 0, dy = 0; // first vertex, first piece's direction
};

void node_centre(const QV_GraphNode &nd, double &cx, double &cy) {
    cx = (fit::px(nd.corner[0]) + fit::px(nd.corner[1]) + fit::px(nd.corner[2])) / 3.0;
    cy = (fit::py(nd.corner[0]) + fit::py(nd.corner[1]) + fit::py(nd.corner[2])) / 3.0;
}

// The stroke through edge j of a node, turned away from it. False only
// without memory; `present` tells whether the edge has a usable stroke.
bool node_stroke(const uint8_t *segBlock, const QV_GraphNode &nd, int j, int32_t tol, Stroke &st) {
    st.present = false;
    const uint8_t *s = linked_segment(segBlock, nd.link[j]);
    if (s == nullptr || seg::count_of(s) == 0)
        return true;
    if (!stroke_line(s, tol, st.line, st.width))
        return false;
    const uint32_t n = st.line.count;
    if (n < 2)
        return true;
    double cx, cy;
    node_centre(nd, cx, cy);
    double *v = st.line.xy.get();
    if (dist2(v[2 * n - 2], v[2 * n - 1], cx, cy) < dist2(v[0], v[1], cx, cy))
        for (uint32_t i = 0, k = n - 1; i < k; ++i, --k) {
            const double tx = v[2 * i], ty = v[2 * i + 1];
            v[2 * i] = v[2 * k], v[2 * i + 1] = v[2 * k + 1];
            v[2 * k] = tx, v[2 * k + 1] = ty;
        }
    // The first piece that has a length gives the direction.
    for (uint32_t i = 1; i < n; ++i) {
        st.dx = v[2 * i] - v[0], st.dy = v[2 * i + 1] - v[1];
        if (st.dx != 0 || st.dy != 0)
            break;
    }
    st.x0 = v[0], st.y0 = v[1];
    st.present = st.dx != 0 || st.dy != 0;
    return true;
}

double line_distance2(const Stroke &s, double x, double y) {
    const double c = (x - s.x0) * s.dy - (y - s.y0) * s.dx;
    return c * c / (s.dx * s.dx + s.dy * s.dy);
}

// Two strokes make one straight line through the node(s) between them.
bool opposite(const Stroke &s, const Stroke &t) {
    if (!s.present || !t.present)
        return false;
    const double cr = s.dx * t.dy - s.dy * t.dx, dot = s.dx * t.dx + s.dy * t.dy;
    const double l2 = (s.dx * s.dx + s.dy * s.dy) * (t.dx * t.dx + t.dy * t.dy);
    return cr * cr * 256 < 128 * l2 && dot < 0 && line_distance2(t, s.x0, s.y0) < kNearLine &&
           line_distance2(s, t.x0, t.y0) < kNearLine;
}

// The three strokes of a node (false only without memory).
bool strokes_of(const uint8_t *segBlock, const QV_GraphNode &nd, int32_t tol, Stroke st[3]) {
    for (int j = 0; j < 3; ++j)
        if (!node_stroke(segBlock, nd, j, tol, st[j]))
            return false;
    return true;
}

bool valid_neighbour(const QV_GraphNode &nd, int j, uint32_t nNodes) {
    return nd.neighbour[j] >= 0 && static_cast<uint32_t>(nd.neighbour[j]) < nNodes && nd.backEdge[j] < 3;
}

// Crossing test of nodes u and t joined through u's edge j. -1 without
// memory, 1 for a crossing, 0 otherwise.
int is_crossing(const uint8_t *segBlock, const QV_GraphNode &u, int j, const QV_GraphNode &t, int k, int32_t tol) {
    Stroke su[3], stt[3];
    if (!strokes_of(segBlock, u, tol, su) || !strokes_of(segBlock, t, tol, stt))
        return -1;
    const Stroke &u1 = su[(j + 1) % 3], &u2 = su[(j + 2) % 3];
    const Stroke &t1 = stt[(k + 1) % 3], &t2 = stt[(k + 2) % 3];
    return (opposite(u1, t1) && opposite(u2, t2)) || (opposite(u1, t2) && opposite(u2, t1));
}

int32_t locate_crossing(const Query &q, QV_Feature &out) {
    Best best;
    for (int32_t o = 0; o < q.nObj; ++o) {
        const uint8_t *nb = node_block(q, o), *sb = segment_block(q, o);
        const uint32_t nn = node_count(nb);
        const QV_GraphNode *nodes = nb ? nodes_of(nb) : nullptr;
        for (uint32_t i = 0; i < nn; ++i)
            for (int j = 0; j < 3; ++j) {
                if (!valid_neighbour(nodes[i], j, nn) || static_cast<uint32_t>(nodes[i].neighbour[j]) <= i)
                    continue;
                const uint32_t t = static_cast<uint32_t>(nodes[i].neighbour[j]);
                const int c = is_crossing(sb, nodes[i], j, nodes[t], nodes[i].backEdge[j], q.tol);
                if (c < 0)
                    return kNone; // no memory
                if (c == 0)
                    continue;
                double ax, ay, bx, by;
                node_centre(nodes[i], ax, ay);
                node_centre(nodes[t], bx, by);
                const double cx = (ax + bx) / 2, cy = (ay + by) / 2;
                if (best.offer(dist2(cx, cy, double(q.x), double(q.y))))
                    best.feature = QV_Feature{cx, cy, ax, ay, o, -1};
            }
    }
    if (!best.found)
        return kNone;
    out = best.feature;
    return as_result(sqrt(best.value));
}

// ---- kind 32: junctions ----------------------------------------------------

bool junction_point(const QV_GraphNode &nd, const Stroke st[3], double &jx, double &jy) {
    for (int e = 0; e < 3; ++e) {
        const Stroke &stem = st[e], &a = st[(e + 1) % 3], &b = st[(e + 2) % 3];
        if (!stem.present || !a.present || !b.present)
            continue;
        const double cr = a.dx * b.dy - a.dy * b.dx, dot = a.dx * b.dx + a.dy * b.dy;
        const double l2 = (a.dx * a.dx + a.dy * a.dy) * (b.dx * b.dx + b.dy * b.dy);
        if (!(cr * cr * 256 < 128 * l2 && dot < 0))
            continue;
        // Stem line against the bar's line through a's first piece.
        const double det = stem.dx * a.dy - stem.dy * a.dx;
        if (det == 0)
            continue;
        const double t = ((a.x0 - stem.x0) * a.dy - (a.y0 - stem.y0) * a.dx) / det;
        const double px = stem.x0 + t * stem.dx, py = stem.y0 + t * stem.dy;
        const double ahead = t * sqrt(stem.dx * stem.dx + stem.dy * stem.dy);
        if (!isfinite(px) || !isfinite(py) || ahead > 1.0)
            continue;
        if (line_distance2(a, px, py) < kNearLine && line_distance2(b, px, py) < kNearLine) {
            jx = px, jy = py;
            return true;
        }
    }
    node_centre(nd, jx, jy);
    return true;
}

int32_t locate_junction(const Query &q, QV_Feature &out) {
    Best best;
    for (int32_t o = 0; o < q.nObj; ++o) {
        const uint8_t *nb = node_block(q, o), *sb = segment_block(q, o);
        const uint32_t nn = node_count(nb);
        if (nn == 0)
            continue;
        const QV_GraphNode *nodes = nodes_of(nb);
        HeapBlock<uint8_t> inCrossing;
        if (!inCrossing.allocate(nn))
            return kNone;
        memset(inCrossing.get(), 0, nn);
        // Mark the nodes of this object's crossings.
        for (uint32_t i = 0; i < nn; ++i)
            for (int j = 0; j < 3; ++j) {
                if (!valid_neighbour(nodes[i], j, nn) || static_cast<uint32_t>(nodes[i].neighbour[j]) <= i)
                    continue;
                const uint32_t t = static_cast<uint32_t>(nodes[i].neighbour[j]);
                const int c = is_crossing(sb, nodes[i], j, nodes[t], nodes[i].backEdge[j], q.tol);
                if (c < 0)
                    return kNone;
                if (c > 0)
                    inCrossing[i] = inCrossing[t] = 1;
            }
        for (uint32_t i = 0; i < nn; ++i) {
            if (inCrossing[i])
                continue;
            Stroke st[3];
            if (!strokes_of(sb, nodes[i], q.tol, st))
                return kNone;
            if (!st[0].present || !st[1].present || !st[2].present)
                continue;
            double jx, jy, cx, cy;
            junction_point(nodes[i], st, jx, jy);
            node_centre(nodes[i], cx, cy);
            if (best.offer(dist2(jx, jy, double(q.x), double(q.y))))
                best.feature = QV_Feature{jx, jy, cx, cy, o, -1};
        }
    }
    if (!best.found)
        return kNone;
    out = best.feature;
    return as_result(sqrt(best.value));
}

// ---- kind 4: stroke ends ---------------------------------------------------

int32_t locate_end(const Query &q, QV_Feature &out) {
    Best best;
    auto offer = [&](double vx, double vy, double px, double py, int32_t o, int32_t off) {
        if (best.offer(dist2(vx, vy, double(q.x), double(q.y))))
            best.feature = QV_Feature{vx, vy, px, py, o, off};
    };
    for (int32_t o = 0; o < q.nObj; ++o) {
        const uint8_t *nb = node_block(q, o), *sb = segment_block(q, o);
        if (sb == nullptr)
            continue;
        const uint32_t nn = node_count(nb);
        if (nb == nullptr) {
            // An object without nodes: its single segment, when open.
            if (fit::word_at(sb, 0) == 0 || seg::is_closed(sb + 4))
                continue;
            fit::Polyline line;
            double width;
            if (!stroke_line(sb + 4, q.tol, line, width))
                return kNone;
            const uint32_t n = line.count;
            if (n == 0)
                continue;
            const double *v = line.xy.get();
            offer(v[0], v[1], n > 1 ? v[2] : v[0], n > 1 ? v[3] : v[1], o, 0);
            offer(v[2 * n - 2], v[2 * n - 1], n > 1 ? v[2 * n - 4] : v[0], n > 1 ? v[2 * n - 3] : v[1], o, 0);
            continue;
        }
        const QV_GraphNode *nodes = nodes_of(nb);
        for (uint32_t i = 0; i < nn; ++i)
            for (int j = 0; j < 3; ++j) {
                if (nodes[i].neighbour[j] != NBR_CAP)
                    continue;
                const uint8_t *s = linked_segment(sb, nodes[i].link[j]);
                if (s == nullptr || seg::count_of(s) == 0)
                    continue;
                fit::Polyline line;
                double width;
                if (!stroke_line(s, q.tol, line, width))
                    return kNone;
                const uint32_t n = line.count;
                if (n == 0)
                    continue;
                const double *v = line.xy.get();
                offer(v[2 * n - 2], v[2 * n - 1], n > 1 ? v[2 * n - 4] : v[0], n > 1 ? v[2 * n - 3] : v[1], o,
                      nodes[i].link[j]);
            }
    }
    if (!best.found)
        return kNone;
    out = best.feature;
    return as_result(sqrt(best.value));
}

// ---- kind 64: closed loops -------------------------------------------------

bool loop_centre(const uint8_t *s, double &cx, double &cy) {
    const uint32_t n = seg::count_of(s);
    if (n == 0)
        return false;
    double sx = 0, sy = 0;
    for (uint32_t k = 0; k < n; ++k)
        for (int side = 0; side < 2; ++side) {
            const uint32_t p = seg::side(s, k, side);
            sx += fit::px(p), sy += fit::py(p);
        }
    cx = sx / (2.0 * n), cy = sy / (2.0 * n);
    return true;
}

int32_t locate_loop(const Query &q, QV_Feature &out) {
    Best best;
    auto consider = [&](const uint8_t *loop, int32_t o, int32_t off) {
        double cx, cy;
        if (!loop_centre(loop, cx, cy))
            return true;
        const double d = dist2(cx, cy, double(q.x), double(q.y));
        if (!(d < best.value))
            return true;
        fit::Polyline line;
        double width = 0;
        if (!stroke_line(loop, q.tol, line, width))
            return false;
        best.offer(d);
        best.feature = QV_Feature{cx, cy, width, 0, o, off};
        return true;
    };
    for (int32_t o = 0; o < q.nObj; ++o) {
        const uint8_t *nb = node_block(q, o), *sb = segment_block(q, o);
        if (sb == nullptr)
            continue;
        if (nb == nullptr) {
            if (fit::word_at(sb, 0) != 0 && seg::is_closed(sb + 4) && !consider(sb + 4, o, 0))
                return kNone;
            continue;
        }
        // A segment that leaves a node and comes back to it (a node linked
        // to itself round a hole) is a loop on its own; QV_ConcatSegments
        // refuses it as a loop that finds only its segment.
        const uint32_t nn = node_count(nb);
        const QV_GraphNode *nodes = nodes_of(nb);
        for (uint32_t i = 0; i < nn; ++i)
            for (int j = 0; j < 3; ++j)
                if (nodes[i].neighbour[j] == static_cast<int32_t>(i) && nodes[i].link[j] >= 0) {
                    const uint8_t *s = linked_segment(sb, nodes[i].link[j]);
                    if (s != nullptr && !consider(s, o, nodes[i].link[j]))
                        return kNone;
                }
        bool memory = true;
        each_segment(sb, [&](int32_t off, const uint8_t *) {
            if (!memory)
                return;
            int32_t list[1] = {off};
            void *loop = nullptr;
            const Status st = seg::concat(q.graph, o, list, -1, 8, &loop);
            if (st == Status::no_memory) {
                memory = false;
                return;
            }
            if (st == Status::ok) {
                memory = consider(static_cast<const uint8_t *>(loop), o, off);
                qs_free(&loop);
            }
        });
        if (!memory)
            return kNone;
    }
    if (!best.found)
        return kNone;
    out = best.feature;
    return as_result(sqrt(best.value));
}

} // namespace
} // namespace features
} // namespace quill

using namespace quill;

extern "C" QV_API int32_t QV_CircleSeg(const void *segment) {
    return segment != nullptr && seg::is_closed(segment) ? 1 : 0;
}

extern "C" QV_API int32_t QV_GetLineIntersect(const double *p1, const double *p2, const double *q1, const double *q2,
                                              double *x, double *y) {
    if (!p1 || !p2 || !q1 || !q2 || !x || !y)
        return 0;
    const double *points[4] = {p1, p2, q1, q2};
    for (const double *p : points)
        if (!isfinite(p[0]) || !isfinite(p[1]))
            return 0;
    if ((p1[0] == p2[0] && p1[1] == p2[1]) || (q1[0] == q2[0] && q1[1] == q2[1]))
        return 0;
    const fit::Line a = fit::line_through(p1[0], p1[1], p2[0], p2[1]);
    const fit::Line b = fit::line_through(q1[0], q1[1], q2[0], q2[1]);
    return fit::intersect(a, b, *x, *y) ? 1 : 0;
}

extern "C" QV_API int32_t QV_LocateFeature(void **graph, int32_t nObj, int32_t x, int32_t y, int32_t kind,
                                           int32_t tolerance, QV_Feature *result) {
    using namespace quill::features;
    if (graph == nullptr || nObj <= 0 || result == nullptr)
        return kNone;
    auto clamp = [](int64_t v) { return v < -kClamp ? -kClamp : v > kClamp ? kClamp : v; };
    const Query q{graph, nObj, clamp(x), clamp(y), tolerance < 0 ? 0 : tolerance};
    QV_Feature found{};
    int32_t d = kNone;
    switch (kind) {
    case QV_FEATURE_STROKE: d = locate_stroke(q, found); break;
    case QV_FEATURE_SIDE: d = locate_side(q, found); break;
    case QV_FEATURE_END: d = locate_end(q, found); break;
    case QV_FEATURE_CORNER: d = locate_corner(q, found); break;
    case QV_FEATURE_CROSSING: d = locate_crossing(q, found); break;
    case QV_FEATURE_JUNCTION: d = locate_junction(q, found); break;
    case QV_FEATURE_LOOP: d = locate_loop(q, found); break;
    default: return kNone;
    }
    if (d == kNone)
        return kNone;
    *result = found;
    return d;
}
