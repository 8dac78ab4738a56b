/*
 * graph.cpp - QV_MakeGraph and QV_FreeGraphData, the stroke graph's shell:
 * it checks the arguments, measures the objects, sizes the work buffers
 * once from the maxima, and runs the two passes over the objects.
 *
 * Pass 1, per object: quantise and check it (graph_points.cpp), exclude
 * the convex corners, triangulate the rest (delaunay.cpp), prune and list
 * the triangles (prune.cpp), and keep the triangles, neighbour counts and
 * lists in one block per object. Pass 2, per kept object: quantise it
 * again, read the lists where they were kept (only their starts are made
 * again), and build its node and segment blocks (link_trace.cpp). The
 * passes are separate because the buffers of pass 2 are sized by the
 * largest triangle count, which only pass 1 knows.
 *
 * Failure rules: a work buffer that cannot be had (or whose size does not
 * fit in 32 bits) fails the call; before pass 2 *graphOut is left alone,
 * from pass 2 on it is set to null; in both cases every block of the call
 * is released, the kept results included. An object that is refused (its
 * contours break the input rules, fewer than 3 points retained, no edge
 * left, no memory for its kept result or its blocks) gets null slots and
 * the call goes on.
 *
 * Decisions:
 *  - Each pass takes its working memory as one block carved into areas
 *    (pass 2 also the growable segment store and the result array):
 *    allocation is per pass, never per object, and the failure paths stay
 *    few.
 *  - Work sizes are computed in 64 bits from the maxima; a size above
 *    4 GiB is refused by the holder exactly like a failed allocation.
 *  - An object with a negative contour count fails the call: the objects
 *    after it cannot be found. One with n = 0 is refused (null slots) and
 *    the walk goes on one word later.
 *  - nObj = 0 succeeds with *graphOut null (there is nothing to hold).
 *  - Small single-contour objects whose shape was refused before in the
 *    call are refused again without being triangulated (refused_shapes.cpp:
 *    the verdict depends on the shape alone); the memo lives in pass 1's
 *    work block, so it adds no allocation.
 *  - The work buffers are locals of the call rather than library-wide
 *    variables: nothing is gained by keeping them, and the build is then
 *    re-entrant on distinct inputs.
 */
#include "graph_internal.h"

#include <string.h>

namespace quill {
namespace graph {

namespace {

// The kept results of pass 1, released however the call ends.
struct Kept {
    HeapBlock<void *> slots;
    uint32_t count = 0;
    ~Kept() {
        for (uint32_t i = 0; slots && i < count; ++i)
            qs_free(&slots[i]);
    }
};

// The graph array under construction, released with its blocks unless
// handed to the caller.
struct GraphArray {
    HeapBlock<void *> slots;
    uint32_t count = 0;
    ~GraphArray() {
        if (slots)
            QV_FreeGraphData(slots.release(), static_cast<int32_t>(count));
    }
};

struct Maxima {
    uint64_t points = 0, contours = 0, triangles = 0, entries = 0;
};

// Carves successive areas out of one block.
struct Carver {
    uint8_t *at;
    template <typename T>
    T *take(uint64_t count) {
        T *p = reinterpret_cast<T *>(at);
        at += (sizeof(T) * count + 7) & ~uint64_t{7};
        return p;
    }
};

uint64_t object_bytes(uint64_t points, uint64_t contours) { return 3 * (4 * points + 8) + 4 * (contours + 1) + 8; }

void carve_object(Carver &c, uint64_t points, uint64_t contours, Object &obj) {
    obj.x = c.take<int32_t>(points + 1);
    obj.y = c.take<int32_t>(points + 1);
    obj.contourOf = c.take<uint32_t>(points + 1);
    obj.first = c.take<uint32_t>(contours + 1);
}

// The object at `cursor` of the object list; advances the cursor.
const int32_t *next_object(const int32_t *&cursor) {
    const int32_t *object = cursor;
    cursor += 1 + (object[0] > 0 ? object[0] : 0);
    return object;
}

// Pass 1 for one measured object: its kept result, or null (noMemory set
// when that is for want of memory rather than for the object's shape).
void *triangulate_object(const int32_t *object, const void *contourBase, Object &obj, Lists &lists, uint32_t *order,
                         DelaunayWork &dw, uint32_t *tris, int32_t width, Maxima &kept, bool &noMemory) {
    noMemory = false;
    quantise_object(object, contourBase, obj);
    if (exclude_corners(obj, lists.count) < 3)
        return nullptr;
    const uint32_t n = sweep_order(obj, lists.count, order);
    if (n < 3 || delaunay(obj.x, obj.y, order, n, dw, lists) < 0)
        return nullptr;
    const uint32_t triangles = prune_and_enumerate(obj, lists, width, tris);
    uint64_t entries = 0;
    for (uint32_t p = 0; p < obj.points; ++p)
        entries += lists.count[p] == kExcluded ? 0 : lists.count[p];
    if (entries == 0)
        return nullptr;
    const uint64_t bytes = sizeof(KeptHeader) + 12 * uint64_t{triangles} + 4 * uint64_t{obj.points} + 4 * entries;
    if (bytes > UINT32_MAX)
        return nullptr;
    uint32_t *block = static_cast<uint32_t *>(qs_malloc(static_cast<uint32_t>(bytes)));
    if (!block) {
        noMemory = true;
        return nullptr;
    }
    const KeptHeader header{triangles, obj.points, static_cast<uint32_t>(entries), obj.contours};
    memcpy(block, &header, sizeof header);
    uint32_t *at = block + sizeof header / 4;
    memcpy(at, tris, 12 * size_t{triangles});
    at += 3 * size_t{triangles};
    uint32_t *counts = at;
    int32_t *entryOut = reinterpret_cast<int32_t *>(at + obj.points);
    for (uint32_t p = 0; p < obj.points; ++p) {
        const uint32_t c = lists.count[p] == kExcluded ? 0 : lists.count[p];
        counts[p] = c;
        memcpy(entryOut, lists.entries + lists.start[p], 4 * size_t{c});
        entryOut += c;
    }
    kept.points = obj.points > kept.points ? obj.points : kept.points;
    kept.contours = obj.contours > kept.contours ? obj.contours : kept.contours;
    kept.triangles = triangles > kept.triangles ? triangles : kept.triangles;
    kept.entries = entries > kept.entries ? entries : kept.entries;
    return block;
}

// Pass 1 over all objects. False when a work buffer cannot be had or the
// object list is unreadable.
bool pass1(const int32_t *objects, const void *contourBase, uint32_t nObj, int32_t width, Kept &kept,
           Maxima &keptMax) {
    // The slots, and after them each object's measures (its points in the
    // low word, its contours in the high one; all ones when refused), so
    // that the walk below does not measure every object again.
    if (!kept.slots.allocate(2 * size_t{nObj}))
        return false;
    memset(kept.slots.get(), 0, sizeof(void *) * size_t{nObj});
    kept.count = nObj;
    uint64_t *measured = reinterpret_cast<uint64_t *>(kept.slots.get() + nObj);
    Maxima max;
    const int32_t *cursor = objects;
    for (uint32_t i = 0; i < nObj; ++i) {
        if (cursor[0] < 0)
            return false;
        uint32_t points, contours;
        measured[i] = UINT64_MAX;
        if (measure_object(next_object(cursor), contourBase, points, contours)) {
            max.points = points > max.points ? points : max.points;
            max.contours = contours > max.contours ? contours : max.contours;
            measured[i] = points | uint64_t{contours} << 32;
        }
    }
    if (max.points == 0)
        return true;
    const uint64_t p = max.points;
    const uint64_t bytes = object_bytes(p, max.contours) + 8 * (p + 1) + 4 * (6 * p + 8) + 4 * (p + 1) +
                           delaunay_work_bytes(p) + 12 * (2 * p + 2) + RefusedShapes::bytes() + 72;
    HeapBlock<uint8_t> work;
    if (bytes > UINT32_MAX || !work.allocate(static_cast<size_t>(bytes)))
        return false;
    Carver c{work.get()};
    Object obj;
    carve_object(c, p, max.contours, obj);
    Lists lists;
    lists.start = c.take<uint32_t>(p + 1);
    lists.count = c.take<uint32_t>(p + 1);
    lists.entries = c.take<int32_t>(6 * p + 8);
    uint32_t *order = c.take<uint32_t>(p + 1);
    uint32_t *tris = c.take<uint32_t>(3 * (2 * p + 2));
    DelaunayWork dw;
    delaunay_work_carve(c.take<uint8_t>(delaunay_work_bytes(p)), static_cast<uint32_t>(p), dw);
    RefusedShapes shapes;
    shapes.bind(c.take<uint8_t>(RefusedShapes::bytes()));

    cursor = objects;
    for (uint32_t i = 0; i < nObj; ++i) {
        const int32_t *object = next_object(cursor);
        if (measured[i] == UINT64_MAX)
            continue;
        const uint32_t points = static_cast<uint32_t>(measured[i]), contours = static_cast<uint32_t>(measured[i] >> 32);
        if (pruned_away(points, contours, width) || shapes.refused(object, contourBase, points, contours))
            continue;
        obj.points = points;
        obj.contours = contours;
        bool noMemory;
        kept.slots[i] = triangulate_object(object, contourBase, obj, lists, order, dw, tris, width, keptMax, noMemory);
        if (!kept.slots[i] && !noMemory)
            shapes.remember(object, contourBase, points, contours);
    }
    return true;
}

// Pass 2 over the kept objects. False when a work buffer cannot be had.
bool pass2(const int32_t *objects, const void *contourBase, uint32_t nObj, Kept &kept, const Maxima &max,
           GraphArray &graph) {
    if (!graph.slots.allocate(2 * size_t{nObj}))
        return false;
    memset(graph.slots.get(), 0, sizeof(void *) * 2 * size_t{nObj});
    graph.count = nObj;
    if (max.points == 0)
        return true;
    const uint64_t p = max.points, t = max.triangles;
    const uint64_t bytes = object_bytes(p, max.contours) + 4 * (p + 1) + link_work_bytes(p, t) + 64;
    HeapBlock<uint8_t> work;
    if (bytes > UINT32_MAX || !work.allocate(static_cast<size_t>(bytes)))
        return false;
    // The segment store: 36 bytes a triangle, 8 a point, and a header.
    HeapBlock<uint32_t> segments;
    const uint64_t segmentWords = 9 * t + 2 * p + 3;
    if (segmentWords > UINT32_MAX / 4 || !segments.allocate(static_cast<size_t>(segmentWords)))
        return false;
    Carver c{work.get()};
    Object obj;
    carve_object(c, p, max.contours, obj);
    Lists lists; // starts here; counts and entries in each kept block
    lists.start = c.take<uint32_t>(p + 1);
    LinkWork lw;
    link_work_carve(c.take<uint8_t>(link_work_bytes(p, t)), static_cast<uint32_t>(p), static_cast<uint32_t>(t), lw);
    lw.segments = &segments;
    lw.segmentCapacity = static_cast<size_t>(segmentWords);

    const int32_t *cursor = objects;
    for (uint32_t i = 0; i < nObj; ++i) {
        const int32_t *object = next_object(cursor);
        if (!kept.slots[i])
            continue;
        uint32_t *block = static_cast<uint32_t *>(kept.slots[i]);
        KeptHeader header;
        memcpy(&header, block, sizeof header);
        obj.points = header.points;
        obj.contours = header.contours;
        quantise_object(object, contourBase, obj);
        const uint32_t *tris = block + sizeof header / 4;
        // The kept counts and lists are read where they lie (linking only
        // reads them); only the list starts are made again.
        uint32_t *counts = block + sizeof header / 4 + 3 * size_t{header.triangles};
        lists.count = counts;
        lists.entries = reinterpret_cast<int32_t *>(counts + header.points);
        uint32_t at = 0;
        for (uint32_t q = 0; q < header.points; ++q) {
            lists.start[q] = at;
            at += counts[q];
        }
        void *nodes = nullptr, *segs = nullptr;
        if (build_object_graph(obj, header, tris, lists, lw, &nodes, &segs)) {
            graph.slots[2 * size_t{i}] = nodes;
            graph.slots[2 * size_t{i} + 1] = segs;
        }
        qs_free(&kept.slots[i]);
    }
    return true;
}

} // namespace

// Whether pruning step a is sure to remove every edge of an object before
// it is triangulated: on a single contour of n points every pair lies at
// most n / 2 steps apart one way round, so with n <= 2 * min(width, 8) + 1
// no edge survives, no triangle is left and the object is refused. Specks
// and dots are such objects: on the standard drawing page about 130,000 of
// its 250,000 objects, whose triangulations took about a tenth of the graph
// stage for nothing.
bool pruned_away(uint32_t points, uint32_t contours, int32_t width) {
    const uint32_t kMax = width > 8 ? 8 : width < 0 ? 0 : static_cast<uint32_t>(width);
    return kMax > 0 && contours == 1 && points <= 2 * kMax + 1;
}

} // namespace graph
} // namespace quill

extern "C" QV_API int32_t QV_MakeGraph(const int32_t *objects, const void *contourBase, int32_t nObj, int32_t width,
                                       void ***graphOut) {
    namespace gr = quill::graph;
    if (!graphOut || nObj < 0 || (nObj > 0 && (!objects || !contourBase)))
        return 0;
    if (nObj == 0) {
        *graphOut = nullptr;
        return 1;
    }
    const uint32_t n = static_cast<uint32_t>(nObj);
    gr::Kept kept;
    gr::Maxima max;
    if (!gr::pass1(objects, contourBase, n, width, kept, max))
        return 0; // *graphOut untouched
    gr::GraphArray graph;
    if (!gr::pass2(objects, contourBase, n, kept, max, graph)) {
        *graphOut = nullptr;
        return 0;
    }
    graph.count = 0;
    *graphOut = graph.slots.release();
    return 1;
}

extern "C" QV_API void QV_FreeGraphData(void **graph, int32_t nObj) {
    if (!graph)
        return;
    for (int64_t i = 2 * int64_t{nObj} - 1; i >= 0; --i)
        qs_free(&graph[i]);
    void *array = graph;
    qs_free(&array);
}
