/*
 * quillvec.h - the vectorisation library over bilevel rasters.
 *
 * Bilevel rows are stored top row first, one bit a pixel (leftmost pixel in
 * the most significant bit, 1 white, 0 black), each row padded to 16 bits.
 * Blocks that the library hands out come from qs_malloc and are released
 * with qs_free. Usable from C and C++; not thread-safe.
 *
 * Points are 32-bit words: x in the low 16 bits, y in the high 16 bits.
 * A Wpoly is a 32-bit count word followed by that many points; bit 31 of
 * the count word marks a hole (QV_HOLE_FLAG) and every function here reads
 * the count with that bit masked off. A poly object is a run of 32-bit
 * words: n (1 + number of holes), then n byte offsets from the start of a
 * contour buffer, the outer contour first. Poly objects lie back to back.
 * On Windows the functions keep the fixed ordinals of quillvec.def.
 */
#ifndef QUILLVEC_H
#define QUILLVEC_H

#include <stdint.h>
#include "quillstd.h"

#if defined(_WIN32)
#  if defined(QUILLVEC_BUILD)
#    define QV_API __declspec(dllexport)
#  else
#    define QV_API __declspec(dllimport)
#  endif
#else
#  define QV_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Bytes of one raster line of `width` pixels of `kind` (low 8 bits count),
 * the same rule as the raster library's: kind 1 gives 2 * ceil(width / 16),
 * kinds 2 and 3 width rounded up to 4, other kinds 3 * width rounded up to 4.
 */
QV_API uint32_t QV_GetLineBWi(int32_t kind, int32_t width);

/* ---- Outlines ---------------------------------------------------------- */

/* Bit 31 of a contour's count word: the contour is a hole. */
#define QV_HOLE_FLAG 0x80000000u
/* Largest width and height that QV_BWDmriOutline accepts: its lattice points
 * (0 .. width, 0 .. height) must fit in 16 bits, with room for the frame of
 * background that it adds around the raster. */
#define QV_OUTLINE_MAX_SIDE 65534

/*
 * Traces the outlines of every object (4-connected black pixels; the
 * background is 8-connected) of a bilevel raster.
 * bits (in/out): the raster, `height` rows of QV_GetLineBWi(1, width) bytes.
 *   The block must hold height + 2 rows of QV_GetLineBWi(1, width + 2)
 *   bytes: it is reworked in place into the raster framed by one pixel of
 *   background on every side (pixel (x, y) moves to (x + 1, y + 1), padding
 *   bits become white), which it holds on return (except when width or
 *   height is out of range, when it is not touched).
 * width, height: pixels; 1 .. QV_OUTLINE_MAX_SIDE each. A width or height
 *   of 0 or below is an empty raster (result 0, nothing touched).
 * contoursOut (out): receives the contour buffer: Wpolys back to back, one
 *   per contour, ordered by the row of their first point, then its x. The
 *   points are the contour's corners on the pixel lattice ((x, y) is the top
 *   left corner of pixel (x, y)); the edge from the last point back to the
 *   first is implied. The first point is the left end of the contour's
 *   topmost edge, and the first edge runs to the right. Outer contours have
 *   their object on the right (y grows downwards), holes on the left;
 *   holes have QV_HOLE_FLAG set unless objectsOut is given.
 * objectsOut (out, may be null): when given, receives the object list: one
 *   poly object per outer contour, in the reverse order of the outer
 *   contours in the contour buffer, each listing the outer contour and then
 *   the holes of that object (the holes that its pixels enclose directly;
 *   a hole of an island inside a hole belongs to the island) in buffer
 *   order; QV_HOLE_FLAG is then cleared in every count word.
 * Returns the number of objects when objectsOut is given, else the number of
 * contours; 0 when the raster has no black pixel (outputs untouched); -1 on
 * failure (null bits or contoursOut, a side above QV_OUTLINE_MAX_SIDE, no
 * memory), with *contoursOut and *objectsOut set to null where given.
 * Both blocks are the caller's, released with qs_free.
 */
QV_API int32_t QV_BWDmriOutline(uint8_t *bits, int32_t width, int32_t height, void **contoursOut,
                                void **objectsOut);

/* ---- Polygon utilities ------------------------------------------------- */

/* Bounding rectangle of QV_PolyGetBndRect, inclusive, signed 16-bit. */
typedef struct QV_BndRect {
    int16_t minX;
    int16_t minY;
    int16_t maxX;
    int16_t maxY;
} QV_BndRect;

/*
 * Bounding rectangle of a Wpoly, coordinates compared as signed 16-bit.
 * The minima start at 32767 and the maxima at -1, so a polygon of 0 points
 * gives (32767, 32767, -1, -1) and one whose coordinates are all below -1
 * reports -1 as its maxima. Nothing happens when either pointer is null.
 */
QV_API void QV_PolyGetBndRect(const void *wpoly, QV_BndRect *rect);

/*
 * Adds (dx, dy) to every point of `count` Wpolys lying back to back from
 * `wpolys`, with 16-bit wrap-around. count <= 0 or a null pointer does
 * nothing.
 */
QV_API void QV_PolySetShift(void *wpolys, int32_t count, int16_t dx, int16_t dy);

/* Doubles both coordinates of `count` points in place (16-bit shift left). */
QV_API void QV_WpolyZoom2In(uint32_t *points, int32_t count);

/* Halves both coordinates of `count` points in place (unsigned 16-bit shift
 * right: 7 becomes 3). */
QV_API void QV_WpolyZoom2Out(uint32_t *points, int32_t count);

/*
 * Widens a Wpoly into `dwpoly`, a caller's buffer of 4 + 8 * n bytes (n the
 * point count): the count word is copied as it is (hole flag included), then
 * every coordinate zero-extended to 32 bits, x then y per point.
 */
QV_API void QV_WpolyToDWpoly(const void *wpoly, void *dwpoly);

/*
 * Smallest squared distance dx * dx + dy * dy from `point` to the `count`
 * points of `points`; dx and dy are the 16-bit signed differences. A sum
 * beyond 2147483647 (both differences -32768) is reported as 2147483647,
 * which is also the result when count <= 0 or points is null.
 */
QV_API int32_t QV_GetMinWpntDist(uint32_t point, const uint32_t *points, int32_t count);

/*
 * Whether *point lies inside a contour whose edges alternate horizontal and
 * vertical, starting with a horizontal one (as QV_BWDmriOutline makes
 * them): a ray is cast upwards through the horizontal edges above the point
 * (points 2k to 2k + 1). An edge whose x range strictly contains the
 * point's x is a crossing; one that ends at the point's x adds +1 (running
 * to larger x) or -1 to a touch sum. Returns 1 when crossings + |touch
 * sum| / 2 is odd (inside), else 0 (also for null pointers).
 */
QV_API int32_t QV_PointInPoly(const uint32_t *point, const void *wpoly);

/*
 * Measures a poly object whose offsets are relative to `contourBase`.
 * xExtent (out): max x - min x + 1 over the points of the first contour
 *   (unsigned), as 16 bits; 0 for an object without points.
 * totalSteps (out): the number of points QV_QuantPolyData writes for the
 *   object, the sum over its contours of |dx| + |dy| of every edge, the
 *   closing edge included (coordinates read as unsigned); at most
 *   2147483647.
 * It also records the object's origin, the minimum x of the first contour
 * and the y of its first point, for the graph builder that runs right
 * after it. An object with n < 1 gives 0 and 0. Not re-entrant.
 */
QV_API void QV_GetPolyObjParms(const int32_t *object, const void *contourBase, uint16_t *xExtent,
                               int32_t *totalSteps);

/*
 * Expands a poly object into unit steps: for each contour, from point 0,
 * every edge to the next point (the closing edge back to point 0 included)
 * is walked one pixel at a time and every position reached is written to
 * `points`, so the last point written for a contour is its point 0.
 * counts[k] receives the number of points written for contour k. `points`
 * must hold the total that QV_GetPolyObjParms reports. An edge that is not
 * axis-parallel is walked along x first, then along y.
 */
QV_API void QV_QuantPolyData(const int32_t *object, const void *contourBase, uint32_t *points,
                             int32_t *counts);

/* ---- Stroke graph ------------------------------------------------------ */

/* Neighbour codes of a node edge without a node on its other side. */
#define NBR_NONE (-1) /* no neighbour */
#define NBR_CAP (-2)  /* the edge closes a cap: the boundary between its two
                         corners (consecutive triangulated points of one
                         contour) has no triangles */
/* Link codes of a node edge; after QV_MakeGraph an edge holds the byte
 * offset of its segment in the segment data, or LINK_NONE when it has no
 * segment. The other codes exist only while the graph is built. */
#define LINK_NONE (-1)
#define LINK_SHARED (-16)  /* the two nodes share the edge */
#define LINK_GAP_B (-7)    /* joined across a gap, side B crosses it */
#define LINK_GAP_A (-8)    /* joined across a gap, side A crosses it */
#define LINK_GAP_TEST (-9) /* joined across a gap, both sides cross it */
/* Bits 30 and 31 of a segment's count word (end flags, clear as built);
 * bits 0 to 29 hold its number of elements. */
#define QV_SEG_FLAGS 0xC0000000u

/*
 * A node: one triangle of an object's pruned triangulation, 40 bytes.
 * corner: the corners as points, with (v - u) x (w - u) > 0 for
 *   (u, v, w) = corner[0..2] (counter-clockwise in x, y axes).
 * neighbour[j], for edge j from corner j to corner (j + 1) % 3: the index
 *   of the node across it, NBR_NONE or NBR_CAP.
 * link[j]: the byte offset, from the start of the segment data, of the
 *   segment that leaves the node through edge j, or LINK_NONE.
 * backEdge[j]: for an edge with a neighbour, the same edge's index in the
 *   neighbour.
 */
typedef struct QV_GraphNode {
    uint32_t corner[3];
    int32_t neighbour[3];
    int32_t link[3];
    uint8_t backEdge[3];
    uint8_t spare;
} QV_GraphNode;

/*
 * Builds the stroke graph of nObj poly objects (as QV_BWDmriOutline lists
 * them): per object, the Delaunay triangulation of its boundary points less
 * the convex corners, pruned to the inside of strokes about `width` pixels
 * wide, whose triangles become nodes linked by segments (runs of pairs of
 * boundary points facing each other across the stroke).
 * objects (in): the first of nObj poly objects lying back to back.
 * contourBase (in): the contour buffer the objects' offsets address. Every
 *   contour must have its hole flag clear, at least 2 points, and
 *   successive points (the last and the first included) differing in
 *   exactly one coordinate.
 * nObj: number of objects; 0 gives 1 with *graphOut null.
 * width: expected stroke width in pixels (<= 0: no contour-neighbour
 *   pruning; above 8 prunes as 8).
 * graphOut (out): receives an array of 2 * nObj pointers: for object i,
 *   [2i] its node block (int32 count, then that many QV_GraphNode) and
 *   [2i + 1] its segment block (int32 count nSegs, then the segment data:
 *   nSegs records of a count word and that many elements of two points,
 *   side A then side B). Both are null for an object that yields no graph
 *   (fewer than 3 boundary points kept, no edge left, contours that break
 *   the rules above, no memory for its blocks); the node block alone is
 *   null for an object whose pruning left edges but no triangle (its
 *   segment block then holds one segment traced round it).
 * Returns 1 on success; 0 on failure: null pointers, nObj < 0, an object
 *   with a negative contour count, or no memory for the work buffers. When
 *   the failure strikes before the second pass *graphOut is left as it was,
 *   after it *graphOut is set to null; nothing is left allocated.
 * The array and every block are the caller's; release them with
 * QV_FreeGraphData. Not re-entrant.
 */
QV_API int32_t QV_MakeGraph(const int32_t *objects, const void *contourBase, int32_t nObj, int32_t width,
                            void ***graphOut);

/*
 * Releases a graph of QV_MakeGraph: the 2 * nObj blocks from the last to the
 * first, skipping null slots, then the array. A null graph does nothing.
 */
QV_API void QV_FreeGraphData(void **graph, int32_t nObj);

/* ---- Segments and line fitting ----------------------------------------- */

/*
 * Segments are given as a pointer to their count word (bits 0-29 the
 * element count, bits 30 and 31 end flags; every function here reads the
 * count with the flags masked), then the elements, two point words each
 * (side A, side B). Coordinates are read as unsigned 16-bit values.
 *
 * A centre-line polyline (QV_SegExtractCenterline, QV_SegmentCenterOptimize,
 * QV_ContourOptimize) is one block: a 32-bit count n, then n vertices of two
 * 64-bit floats x, y in pixels (the doubles follow the count word directly,
 * so they are not 8-byte aligned: read them with memcpy). The caller owns it
 * and releases it with qs_free.
 */

/*
 * Reverses a segment in place: element k and element n - 1 - k exchange
 * places and sides (the new element k is (B, A) of the old element
 * n - 1 - k), and the end flags exchange: bit 30 takes the old bit 31 and
 * bit 31 the old bit 30. Reversing twice restores the segment. Null does
 * nothing.
 */
QV_API void QV_SegmentReverse(void *segment);

/*
 * The outline of the stroke area a segment covers, into `out` (the caller's
 * buffer of at least 8 + 16 * count bytes): the word 1, then a DWpoly (a
 * 32-bit point count m, then m points of two 32-bit values x, y): side A of
 * the elements forward, then side B backward, with runs of equal points
 * collapsed to one. Null pointers do nothing.
 */
QV_API void QV_ConvertSegmentToPoly(const void *segment, void *out);

/*
 * The raw centre line of a segment: `first` (two doubles, may be null), the
 * centre of every element, then `last` (may be null). Returns a new
 * centre-line polyline, or null (null segment, no memory).
 */
QV_API void *QV_SegExtractCenterline(const void *segment, const double *first, const double *last);

/*
 * The fitted centre line of a segment: its element centres (in doubled
 * units, exact integers) cut into straight runs within `tolerance` (a
 * squared distance in doubled units; below 0 is taken as 0), least-squares
 * lines refined at their boundaries, and vertices where neighbouring lines
 * meet. r runs give r + 1 vertices. A closed segment (first element equal
 * to the last) is fitted as a ring starting at its leftmost element centre
 * and ends on its first vertex again; `start` and `end` are then ignored.
 * Otherwise `start` and `end` (two doubles each, may be null) are put
 * before and after the centres; they must be finite and within +-524288.
 * meanWidth (out, may be null): the stroke's area over the line's length.
 * Returns a new centre-line polyline, or null: fewer than 3 elements, a run
 * left with fewer than 2 points, a vertex outside 0 .. 32767.5 pixels, a
 * bad start or end point, no memory. Not re-entrant.
 */
QV_API void *QV_SegmentCenterOptimize(const void *segment, double *meanWidth, int32_t tolerance,
                                      const double *start, const double *end);

/*
 * Merges the chain of segments joining listed segments of one object of a
 * graph into one new segment.
 * graph: the graph of QV_MakeGraph; object: the object's index (the caller
 *   guarantees it is below the graph's object count).
 * offsets (in/out): byte offsets of segments in the object's segment data;
 *   each must be the start of one of its segments. Runs of equal offsets
 *   are collapsed in place.
 * count: the number of offsets; -1 asks for the loop through offsets[0]
 *   back to itself. A list whose first and last offsets are equal is closed:
 *   the result's last element repeats its first.
 * maxGap: 1 .. 49, the most segments the path between two listed segments
 *   may take (the segment reached included).
 * Returns the new segment (count word with flags clear, then the elements of
 * every segment on the path, each turned to continue the one before), a
 * copy of the first segment when the object has no nodes or the list has
 * one entry, or null: bad arguments (count 0 or below -1, maxGap out of
 * range, an offset that does not start a segment), no segment block, no
 * path for some gap, a loop that finds only its own segment, no memory.
 * Selects the object's segment data for QV_ChainSegments. The graph is not
 * written. Not re-entrant.
 */
QV_API void *QV_ConcatSegments(void **graph, int32_t object, int32_t *offsets, int32_t count, int32_t maxGap);

/*
 * Writes the elements of `count` segments of the segment data selected by
 * the last QV_ConcatSegments call (which must still be alive) to `out`, a
 * buffer of 8 bytes per element: with one segment a copy; otherwise the
 * first is turned to run towards the second and each segment is copied
 * forward or reversed so that it starts at the end of the one before.
 * Returns the end of what was written, or null (nothing written): no data
 * selected, count below 1, an offset that does not start a segment, null
 * pointers, no memory.
 */
QV_API void *QV_ChainSegments(const int32_t *offsets, int32_t count, void *out);

/*
 * Fits a polygon of straight pieces to a contour of axis-parallel edges (a
 * Wpoly with its count word's bits 30 and 31 clear): its unit steps, in
 * pixels, are fitted like a centre line within `tolerance` (squared pixels;
 * below 0 taken as 0). The contour is closed when its last point repeats
 * the first (the outline tracer's contours do not: append the first point
 * to fit one as a closed shape); a closed result ends on its first vertex.
 * Returns a new centre-line polyline, or null: null contour, count 0 or
 * with flags, more than 2^26 unit steps, a failed fit, a closed contour
 * giving fewer than 3 pieces, no memory. Not re-entrant.
 */
QV_API void *QV_ContourOptimize(const void *contour, int32_t tolerance);

/* ---- Features, circles and intersections ------------------------------- */

/* Whether a segment is closed: 1 when its first element equals its last
 * (both points), else 0 (also for a null or empty segment). */
QV_API int32_t QV_CircleSeg(const void *segment);

/*
 * Intersects the line through p1 and p2 with the line through q1 and q2
 * (each a pointer to two doubles x, y). Returns 1 and writes the
 * intersection to *x and *y; 0 (nothing written) when p1 = p2, q1 = q2,
 * the lines are parallel, an input is not finite, or the intersection lies
 * outside 0 .. 65535 on either axis.
 */
QV_API int32_t QV_GetLineIntersect(const double *p1, const double *p2, const double *q1, const double *q2,
                                   double *x, double *y);

/* Feature kinds of QV_LocateFeature. */
#define QV_FEATURE_STROKE 1
#define QV_FEATURE_SIDE 2
#define QV_FEATURE_END 4
#define QV_FEATURE_CORNER 8
#define QV_FEATURE_CROSSING 16
#define QV_FEATURE_JUNCTION 32
#define QV_FEATURE_LOOP 64
/* What QV_LocateFeature returns when it finds nothing. */
#define QV_FEATURE_NONE 2147483647

/*
 * A feature found by QV_LocateFeature, in pixels.
 * x, y: the feature's position: the nearest element centre (stroke), side
 *   point (side), end vertex (end), vertex (corner), crossing centre,
 *   junction point, loop centre.
 * x2, y2: stroke and corner: the stroke's mean width in x2 (y2 0); side:
 *   the facing point across the stroke; end: the vertex before the end
 *   (the stroke's direction); crossing: the centre of the first of its two
 *   nodes; junction: the centre of its node; loop: the loop's mean width in
 *   x2 (y2 0).
 * object: the object's index; segment: the segment's byte offset in the
 *   object's segment data, or -1 where the feature has none.
 */
typedef struct QV_Feature {
    double x, y;
    double x2, y2;
    int32_t object;
    int32_t segment;
} QV_Feature;

/*
 * Finds the feature of `kind` (one QV_FEATURE_ value) nearest to (x, y) in
 * the graph of `nObj` objects. Strokes and sides return the squared
 * distance in pixels^2, the other kinds the Euclidean distance in pixels,
 * truncated; tolerance is that of the centre-line fits. Writes *result only
 * when something is found. Returns QV_FEATURE_NONE for an unknown kind, no
 * feature of the kind, bad arguments or no memory. Not re-entrant.
 */
QV_API int32_t QV_LocateFeature(void **graph, int32_t nObj, int32_t x, int32_t y, int32_t kind, int32_t tolerance,
                                QV_Feature *result);

#ifdef __cplusplus
}
#endif

#endif /* QUILLVEC_H */
