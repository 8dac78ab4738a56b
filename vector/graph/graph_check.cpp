/*
 * graph_check.cpp - validity checkers of the stroke graph and of the
 * triangulation under it, for tests and fuzz targets (nothing in the
 * library calls them).
 *
 * graph_is_valid() re-quantises every object and checks each non-null
 * block against it: node corners on the object's boundary and counter-
 * clockwise, neighbour links symmetric through backEdge, every edge's link
 * a segment start (or LINK_NONE with NBR_NONE), segments with both flags
 * clear and elements pairing boundary points, a shared edge's segment two
 * equal elements. delaunay_is_valid() checks a triangulation held as lists:
 * symmetric, angular order, and the empty-circle property by brute force
 * with the same exact predicate the sweep uses (O(n) per triangle, so it is
 * meant for objects of up to a few hundred points).
 *
 * Decision: the checkers allocate with qs_malloc like the library (they
 * live in it) and return false, with a reason, on the first violation or
 * when memory runs out; they never abort, so a fuzz target decides what a
 * violation costs.
 */
#include "graph_internal.h"

#include "../../base/holder.h"

#include <string.h>

#include <algorithm>

namespace quill {
namespace graph {

namespace {

bool fail(const char **why, const char *reason) {
    if (why)
        *why = reason;
    return false;
}

inline uint32_t word_at(const void *base, size_t byteOffset) {
    uint32_t w;
    memcpy(&w, static_cast<const uint8_t *>(base) + byteOffset, 4);
    return w;
}

// Sorted point words of an object, for membership tests.
struct PointSet {
    HeapBlock<uint32_t> words;
    uint32_t n = 0;
    bool contains(uint32_t p) const { return std::binary_search(words.get(), words.get() + n, p); }
};

bool object_points(const int32_t *object, const void *base, PointSet &set) {
    uint32_t points, contours;
    if (!measure_object(object, base, points, contours))
        return false;
    HeapBlock<uint8_t> work;
    const size_t p = points;
    if (!work.allocate(12 * (p + 1) + 4 * (size_t{contours} + 1)) || !set.words.allocate(p + 1))
        return false;
    Object obj;
    obj.points = points;
    obj.contours = contours;
    obj.x = reinterpret_cast<int32_t *>(work.get());
    obj.y = obj.x + p + 1;
    obj.contourOf = reinterpret_cast<uint32_t *>(obj.y + p + 1);
    obj.first = obj.contourOf + p + 1;
    quantise_object(object, base, obj);
    for (uint32_t i = 0; i < points; ++i)
        set.words[i] = (static_cast<uint32_t>(obj.x[i]) & 0xFFFFu) | static_cast<uint32_t>(obj.y[i]) << 16;
    std::sort(set.words.get(), set.words.get() + points);
    set.n = points;
    return true;
}

inline int64_t cross(uint32_t u, uint32_t v, uint32_t w) {
    const int64_t ux = u & 0xFFFF, uy = u >> 16, vx = v & 0xFFFF, vy = v >> 16, wx = w & 0xFFFF, wy = w >> 16;
    return (vx - ux) * (wy - uy) - (vy - uy) * (wx - ux);
}

// Checks one segment block; collects the segment starts (byte offsets).
bool check_segments(const void *block, const PointSet &set, HeapBlock<uint32_t> &starts, uint32_t &nStarts,
                    const char **why) {
    const uint32_t nSegs = word_at(block, 0);
    if (nSegs == 0)
        return fail(why, "empty segment block");
    if (!starts.allocate(nSegs))
        return fail(why, "no memory");
    const uint8_t *data = static_cast<const uint8_t *>(block) + 4;
    size_t at = 0;
    for (uint32_t s = 0; s < nSegs; ++s) {
        const uint32_t head = word_at(data, at);
        if (head & QV_SEG_FLAGS)
            return fail(why, "segment flags set");
        if (head == 0)
            return fail(why, "segment without elements");
        starts[s] = static_cast<uint32_t>(at);
        for (uint32_t e = 0; e < 2 * head; ++e)
            if (!set.contains(word_at(data, at + 4 + 4 * size_t{e})))
                return fail(why, "segment element off the object's boundary");
        at += 4 + 8 * size_t{head};
    }
    nStarts = nSegs;
    return true;
}

bool check_nodes(const void *block, const void *segBlock, const PointSet &set, const uint32_t *starts,
                 uint32_t nStarts, const char **why) {
    const uint32_t n = word_at(block, 0);
    if (n == 0)
        return fail(why, "empty node block");
    const uint8_t *base = static_cast<const uint8_t *>(block) + 4;
    auto node = [&](uint32_t i) {
        QV_GraphNode g;
        memcpy(&g, base + sizeof(QV_GraphNode) * size_t{i}, sizeof g);
        return g;
    };
    const uint8_t *segData = static_cast<const uint8_t *>(segBlock) + 4;
    for (uint32_t i = 0; i < n; ++i) {
        const QV_GraphNode g = node(i);
        for (int k = 0; k < 3; ++k)
            if (!set.contains(g.corner[k]))
                return fail(why, "node corner off the object's boundary");
        if (cross(g.corner[0], g.corner[1], g.corner[2]) <= 0)
            return fail(why, "node not counter-clockwise");
        for (int j = 0; j < 3; ++j) {
            const int32_t nb = g.neighbour[j];
            if (nb >= 0) {
                if (static_cast<uint32_t>(nb) >= n || g.backEdge[j] > 2)
                    return fail(why, "neighbour out of range");
                const QV_GraphNode o = node(static_cast<uint32_t>(nb));
                const int k = g.backEdge[j];
                if (o.neighbour[k] != static_cast<int32_t>(i) || o.backEdge[k] != j)
                    return fail(why, "neighbour link not symmetric");
                if (o.link[k] != g.link[j])
                    return fail(why, "linked edges hold different segments");
            } else if (nb != NBR_NONE && nb != NBR_CAP) {
                return fail(why, "bad neighbour code");
            }
            const int32_t link = g.link[j];
            if (link == LINK_NONE) {
                if (nb != NBR_NONE)
                    return fail(why, "linked edge left without a segment");
                continue;
            }
            if (link < 0)
                return fail(why, "link code left after tracing");
            if (!std::binary_search(starts, starts + nStarts, static_cast<uint32_t>(link)))
                return fail(why, "link is not a segment start");
            if (nb >= 0) {
                // A shared edge (same two corners the other way round in
                // the neighbour) gives its edge twice.
                const QV_GraphNode o = node(static_cast<uint32_t>(nb));
                const int k = g.backEdge[j];
                const bool shared = o.corner[k] == g.corner[(j + 1) % 3] && o.corner[(k + 1) % 3] == g.corner[j] &&
                                    static_cast<uint32_t>(nb) != i;
                const uint32_t count = word_at(segData, static_cast<size_t>(link));
                if (shared) {
                    const uint32_t a0 = word_at(segData, static_cast<size_t>(link) + 4);
                    const uint32_t b0 = word_at(segData, static_cast<size_t>(link) + 8);
                    if (count != 2 || word_at(segData, static_cast<size_t>(link) + 12) != a0 ||
                        word_at(segData, static_cast<size_t>(link) + 16) != b0)
                        return fail(why, "shared edge's segment is not its edge twice");
                }
            }
        }
    }
    return true;
}

} // namespace

bool graph_is_valid(void *const *graph, const int32_t *objects, const void *contourBase, int32_t nObj,
                    const char **why) {
    if (nObj == 0)
        return graph == nullptr || fail(why, "array for no objects");
    if (!graph)
        return fail(why, "no graph");
    const int32_t *cursor = objects;
    for (int32_t i = 0; i < nObj; ++i) {
        const int32_t *object = cursor;
        cursor += 1 + (object[0] > 0 ? object[0] : 0);
        const void *nodes = graph[2 * i], *segs = graph[2 * i + 1];
        if (!segs) {
            if (nodes)
                return fail(why, "node block without segments");
            continue;
        }
        PointSet set;
        if (!object_points(object, contourBase, set))
            return fail(why, "blocks for a refused object");
        HeapBlock<uint32_t> starts;
        uint32_t nStarts = 0;
        if (!check_segments(segs, set, starts, nStarts, why))
            return false;
        if (!nodes) {
            if (nStarts != 1)
                return fail(why, "object without nodes has other than one segment");
            continue;
        }
        if (!check_nodes(nodes, segs, set, starts.get(), nStarts, why))
            return false;
    }
    return true;
}

bool triangulate_points(const int32_t *x, const int32_t *y, uint32_t n, Lists &lists) {
    HeapBlock<uint32_t> order(n + 1);
    HeapBlock<uint8_t> work(static_cast<size_t>(delaunay_work_bytes(n)));
    if (!order || !work)
        return false;
    for (uint32_t p = 0; p < n; ++p)
        order[p] = p;
    DelaunayWork dw;
    delaunay_work_carve(work.get(), n, dw);
    return delaunay(x, y, order.get(), n, dw, lists) >= 0;
}

bool delaunay_is_valid(const int32_t *x, const int32_t *y, uint32_t n, const Lists &lists, const char **why) {
    uint64_t triangles = 0, edges = 0;
    for (uint32_t a = 0; a < n; ++a) {
        const uint32_t m = lists.count[a];
        const int32_t *list = lists.entries + lists.start[a];
        edges += m;
        uint32_t negatives = 0;
        for (uint32_t i = 0; i < m; ++i) {
            const uint32_t v = static_cast<uint32_t>(list[i]), w = static_cast<uint32_t>(list[(i + 1) % m]);
            if (v >= n || v == a)
                return fail(why, "bad neighbour");
            if (!has_neighbour(lists, v, a))
                return fail(why, "lists not symmetric");
            if (m < 3 && i + 1 == m)
                continue;
            const int64_t o = orient(x, y, a, v, w);
            if (o <= 0) {
                ++negatives; // at most one gap: the outside of a hull point
                continue;
            }
            if (!has_neighbour(lists, v, w))
                continue;
            if (v < a || w < a)
                continue;
            ++triangles;
            for (uint32_t d = 0; d < n; ++d)
                if (d != a && d != v && d != w && in_circle(x, y, a, v, w, d) > 0)
                    return fail(why, "a point lies inside a triangle's circumcircle");
        }
        if (negatives > 1)
            return fail(why, "list not in angular order");
    }
    // Euler: a triangulation of n points with h on the hull has 2n - 2 - h
    // triangles; at least the count must not exceed 2n - 5 (n >= 3).
    if (n >= 3 && triangles > 2 * uint64_t{n} - 5 + 0)
        return fail(why, "too many triangles");
    (void)edges;
    return true;
}

int64_t retained_points(const int32_t *object, const void *contourBase, int32_t *x, int32_t *y, uint32_t capacity) {
    uint32_t points, contours;
    if (!measure_object(object, contourBase, points, contours))
        return -1;
    HeapBlock<int32_t> ox(size_t{points} + 1), oy(size_t{points} + 1);
    HeapBlock<uint32_t> of(size_t{points} + 1), first(size_t{contours} + 1), count(size_t{points} + 1);
    if (!ox || !oy || !of || !first || !count)
        return -1;
    Object obj;
    obj.points = points, obj.contours = contours, obj.x = ox.get(), obj.y = oy.get();
    obj.contourOf = of.get(), obj.first = first.get();
    quantise_object(object, contourBase, obj);
    exclude_corners(obj, count.get());
    uint32_t n = 0;
    for (uint32_t p = 0; p < points; ++p) {
        if (count[p] == kExcluded)
            continue;
        if (n == capacity)
            return -1;
        x[n] = ox[p], y[n] = oy[p], ++n;
    }
    return n;
}

} // namespace graph
} // namespace quill
