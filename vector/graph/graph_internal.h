/*
 * graph_internal.h - what the stroke-graph files share inside quillvec: one
 * object's quantised points, the neighbour-list store, the kept result that
 * pass 1 hands to pass 2, and the engines of each file.
 *
 * The graph is built in two passes (graph.cpp): pass 1 quantises each poly
 * object (graph_points.cpp), triangulates its retained points (delaunay.cpp)
 * and prunes the triangulation to the stroke's inside (prune.cpp); pass 2
 * links the surviving triangles into nodes and traces the segments between
 * them (link_trace.cpp). graph_check.cpp holds the validity checkers that
 * tests and fuzz targets run on every result.
 *
 * Points of an object are numbered in quantised order (contour 0 first) and
 * every structure names them by that index; coordinates are the raster's,
 * read as unsigned 16-bit values and held in 32-bit integers, so that no
 * difference, square or product of them can wrap (see delaunay.cpp).
 */
#ifndef QUILL_VECTOR_GRAPH_INTERNAL_H
#define QUILL_VECTOR_GRAPH_INTERNAL_H

#include "quillvec.h"

#include "../../base/holder.h"

#include <stddef.h>
#include <stdint.h>

namespace quill {
namespace graph {

// One object's quantised points. Contour c holds the points first[c] ..
// first[c + 1] - 1; contour 0 is the outer contour, the others are holes.
struct Object {
    uint32_t points = 0;
    uint32_t contours = 0;
    int32_t *x = nullptr;
    int32_t *y = nullptr;
    uint32_t *first = nullptr;     // contours + 1 entries
    uint32_t *contourOf = nullptr; // per point: its contour
};

// Neighbour lists of an object's points in one store: the list of point p
// is entries[start[p] .. start[p] + count[p]), in angular order
// (counter-clockwise in the (x, y) axes: each entry and the next one, the
// last and the first included, form a triangle (p, a, b) with
// (a - p) x (b - p) > 0 unless the edge between them was removed). A
// removed entry is -1 until the list is compacted.
struct Lists {
    uint32_t *start = nullptr;
    uint32_t *count = nullptr;
    int32_t *entries = nullptr;
};

// Excluded points (convex corners, pass 1 step 4) carry this count: they
// take no part in the triangulation.
constexpr uint32_t kExcluded = 0xFFFFFFFFu;

// The largest quantised point count of one object that the graph accepts:
// point indices, list starts and node indices must fit in 31 bits, and a
// segment's element count in 30.
constexpr uint32_t kMaxObjectPoints = 0x0FFFFFFFu;

// ---- graph_points.cpp ---------------------------------------------------

// Measures one poly object and checks its contours against the input rules:
// n >= 1, every count word below 2^31 and at least 2, successive corners
// (the closing pair included) differing in exactly one coordinate. Gives the
// number of quantised points (at most kMaxObjectPoints) and contours.
// False for an object that breaks a rule or is too large.
bool measure_object(const int32_t *object, const void *contourBase, uint32_t &points, uint32_t &contours);

// Walks every contour of a measured object one pixel at a time into obj
// (its arrays sized for the object), as QV_QuantPolyData does: the
// positions reached from point 0, the last one being point 0 again.
void quantise_object(const int32_t *object, const void *contourBase, Object &obj);

// Pass 1 step 4: marks the convex corners (turn > 0 on the outer contour,
// < 0 on a hole) with kExcluded in count[] and clears the others; returns
// the number of retained points.
uint32_t exclude_corners(const Object &obj, uint32_t *count);

// Pass 1 step 5, first half: the retained points' indices into order[]
// (delaunay() sorts them into its sweep order). Returns their number.
uint32_t sweep_order(const Object &obj, const uint32_t *count, uint32_t *order);

// ---- delaunay.cpp -------------------------------------------------------

// Working memory of the triangulation, sized for `points` points.
struct DelaunayWork {
    int32_t *triangles = nullptr;  // 8 per triangle: corners k < 3 at 8t + k, the
                                   // twin of edge 4t + k (or -1) at 8t + 4 + k
    int32_t *hullNext = nullptr;   // per point
    int32_t *hullPrev = nullptr;   // per point
    int32_t *hullEdge = nullptr;   // per point: the edge (p, next) on the hull
    int32_t *stack = nullptr;      // one per triangle
    uint64_t *keys = nullptr;      // sort keys, one per point
    uint32_t triangleCapacity = 0; // 2 * points
    uint32_t entryCapacity = 0;    // 6 * points
};

// Bytes of DelaunayWork for `points` points (64-bit: the caller checks).
uint64_t delaunay_work_bytes(uint64_t points);
// Carves the work areas out of one block of delaunay_work_bytes(points).
void delaunay_work_carve(void *block, uint32_t points, DelaunayWork &w);

// Delaunay triangulation of the n points whose indices are in order[]
// (reordered in place into the sweep order), written as neighbour lists:
// lists.start and lists.count of every point of order[] are set (other
// points are not touched), entries are written from 0 on. Returns the
// number of entries written, or -1 when two points coincide.
int64_t delaunay(const int32_t *x, const int32_t *y, uint32_t *order, uint32_t n, DelaunayWork &w, Lists &lists);

// The orientation (b - a) x (c - a) of three points: > 0 counter-clockwise
// in the (x, y) axes.
inline int64_t orient(const int32_t *x, const int32_t *y, uint32_t a, uint32_t b, uint32_t c) {
    const int64_t abx = int64_t{x[b]} - x[a], aby = int64_t{y[b]} - y[a];
    const int64_t acx = int64_t{x[c]} - x[a], acy = int64_t{y[c]} - y[a];
    return abx * acy - aby * acx;
}

// > 0 when d lies strictly inside the circle through a, b, c (which run
// counter-clockwise), 0 on it, < 0 outside; exact.
int in_circle(const int32_t *x, const int32_t *y, uint32_t a, uint32_t b, uint32_t c, uint32_t d);

// in_circle() with its ties broken as the triangulation breaks them: as if
// each point's lifted height were raised by e^(index + 1) for an
// infinitely small e (delaunay.cpp). Nonzero for a, b, c counter-clockwise
// and d distinct from them.
int in_circle_perturbed(const int32_t *x, const int32_t *y, uint32_t a, uint32_t b, uint32_t c, uint32_t d);

// Position of (x, y) (each below 2^16) along the Hilbert curve over the
// 16-bit plane that orders the insertions.
uint32_t hilbert_position(uint32_t x, uint32_t y);

// Stable sort of the n keys by their bits 28 to 63 (the insertion round and
// Hilbert position of the sort keys), least significant 12-bit digit first,
// through spare[] of n keys.
void radix_sort_high(uint64_t *keys, uint64_t *spare, uint32_t n);

// ---- graph.cpp ----------------------------------------------------------

// Whether pruning step a removes every edge of an object of `points`
// quantised points and `contours` contours whatever its triangulation (a
// single contour of at most 2 min(width, 8) + 1 points): the graph refuses
// such an object without triangulating it.
bool pruned_away(uint32_t points, uint32_t contours, int32_t width);

// ---- refused_shapes.cpp -------------------------------------------------

// The shapes (corners relative to the first) of small single-contour
// objects that the graph refused at the call's width: a later object of the
// same shape is refused without being triangulated. Lives in a block of
// bytes() bytes of the caller; without one (never bound) it remembers
// nothing.
class RefusedShapes {
public:
    static constexpr uint32_t kSlots = 4096;   // a power of two
    static constexpr uint32_t kProbes = 8;
    static constexpr uint32_t kMaxCorners = 16;
    static constexpr uint32_t kMaxPoints = 32; // quantised points

    static uint64_t bytes();
    // Takes the block and empties the table.
    void bind(void *block);
    // Whether an object of this shape was refused before.
    bool refused(const int32_t *object, const void *contourBase, uint32_t points, uint32_t contours) const;
    // Remembers the shape of a refused object (when it is small enough and
    // there is room).
    void remember(const int32_t *object, const void *contourBase, uint32_t points, uint32_t contours);

private:
    struct Slot {
        uint8_t corners; // 0: empty
        int8_t dx[kMaxCorners];
        int8_t dy[kMaxCorners];
    };
    bool key_of(const int32_t *object, const void *contourBase, uint32_t points, uint32_t contours, Slot &key,
                uint32_t &hash) const;
    Slot *slots_ = nullptr;
};

// ---- prune.cpp ----------------------------------------------------------

// Pass 1 steps 7 and 8: prunes the lists of obj's points (count[p] ==
// kExcluded for excluded points) for a stroke of `width` pixels, compacts
// them, and enumerates the triangles into tris (3 indices each, room for
// 2 * points triangles). Returns the number of triangles.
uint32_t prune_and_enumerate(const Object &obj, Lists &lists, int32_t width, uint32_t *tris);

// Pruning steps a, b and c at once (the first part of
// prune_and_enumerate), lists compacted; info holds a word per point.
void prune_local(const Object &obj, Lists &lists, int32_t width, uint32_t *info);

// Removes the edge (a, b) from both lists (entries become -1).
void remove_edge(Lists &lists, uint32_t a, uint32_t b);
// Drops the -1 entries of every list of the n points (excluded ones
// skipped); each list keeps its start.
void compact_lists(Lists &lists, const uint32_t *excludedCount, uint32_t n);
// Whether b is in a's list.
bool has_neighbour(const Lists &lists, uint32_t a, uint32_t b);

// ---- the kept result of pass 1 ------------------------------------------

// One qs_malloc block per object: a header, then the triangles (3 indices
// each), the neighbour count of every point (0 for excluded points), and
// the lists back to back in point order.
struct KeptHeader {
    uint32_t triangles;
    uint32_t points;
    uint32_t entries;
    uint32_t contours; // with points: the object's measures, for pass 2
};

// ---- link_trace.cpp -----------------------------------------------------

// Working memory of pass 2, sized from the maxima of pass 1.
struct LinkWork {
    QV_GraphNode *nodes = nullptr;    // maxTriangles
    uint32_t *incStart = nullptr;     // maxPoints + 1
    uint32_t *incEntries = nullptr;   // 3 * maxTriangles
    int32_t *lead = nullptr;          // maxPoints
    int32_t *trail = nullptr;         // maxPoints
    HeapBlock<uint32_t> *segments = nullptr; // the segment store, grown on demand
    size_t segmentCapacity = 0;              // its words
};

// Bytes of LinkWork's fixed areas (everything but the segments).
uint64_t link_work_bytes(uint64_t maxPoints, uint64_t maxTriangles);
void link_work_carve(void *block, uint32_t maxPoints, uint32_t maxTriangles, LinkWork &w);

// Pass 2 steps 2 to 5 for one object: from its points and kept result,
// makes its node block (null when it has no triangle) and its segment
// block. False when a block cannot be allocated or the object's outlines
// contradict themselves (both blocks then null, nothing held).
bool build_object_graph(const Object &obj, const KeptHeader &kept, const uint32_t *keptTris, Lists &lists,
                        LinkWork &w, void **nodeBlock, void **segmentBlock);

// ---- graph_check.cpp ----------------------------------------------------

// Checks a graph that QV_MakeGraph built from these objects: every node's
// corners are points of its object's quantised contours and run
// counter-clockwise; neighbour links are symmetric through backEdge; every
// edge is linked to a segment (its offset is a segment's start), marked
// NBR_CAP, or left without one (NBR_NONE and LINK_NONE); every segment has
// at least one element, both flags clear, and pairs boundary points of its
// object; a shared segment is two equal elements. Returns true when all
// hold; `why` (may be null) receives a short reason otherwise.
bool graph_is_valid(void *const *graph, const int32_t *objects, const void *contourBase, int32_t nObj,
                    const char **why);

// Triangulates the given distinct points on their own (for tests): lists
// are returned in blocks of the caller (start, count of n, entries of 6n).
bool triangulate_points(const int32_t *x, const int32_t *y, uint32_t n, Lists &lists);

// Checks a triangulation held as lists: symmetric, in angular order, every
// triangle positive, and, by brute force in exact integers, no point
// strictly inside any triangle's circumcircle. For n up to a few hundred.
bool delaunay_is_valid(const int32_t *x, const int32_t *y, uint32_t n, const Lists &lists, const char **why);

// The points of one traced object that the triangulation keeps (quantised,
// corners excluded), in contour order, into x and y of `capacity` entries:
// what tests and fuzz targets triangulate on their own to check it against
// brute force. Returns their number, or -1 when the object is refused, more
// than `capacity` points would be written or memory runs out.
int64_t retained_points(const int32_t *object, const void *contourBase, int32_t *x, int32_t *y, uint32_t capacity);

} // namespace graph
} // namespace quill

#endif
