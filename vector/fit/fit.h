/*
 * fit.h - quillvec's one line-fitting engine, shared by the fitted centre
 * lines of segments (QV_SegmentCenterOptimize, the features) and the fitted
 * contours (QV_ContourOptimize): a chain of integer points, open or a ring,
 * becomes a polyline of straight pieces within a squared-distance
 * tolerance. Also the line representation and intersection that
 * QV_GetLineIntersect answers with. fit.cpp carries the algorithm.
 */
#ifndef QUILL_VECTOR_FIT_FIT_H
#define QUILL_VECTOR_FIT_FIT_H

#include "../../base/holder.h"

#include <stdint.h>
#include <string.h>

namespace quill {
namespace fit {

// 32-bit words of caller's blocks, which need not be aligned.
inline uint32_t word_at(const void *base, size_t byteOffset) {
    uint32_t w;
    memcpy(&w, static_cast<const uint8_t *>(base) + byteOffset, 4);
    return w;
}
inline void put_word(void *base, size_t byteOffset, uint32_t w) {
    memcpy(static_cast<uint8_t *>(base) + byteOffset, &w, 4);
}
// The coordinates of a point word, read as unsigned 16-bit values.
inline int32_t px(uint32_t w) { return static_cast<int32_t>(w & 0xFFFF); }
inline int32_t py(uint32_t w) { return static_cast<int32_t>(w >> 16); }

// A line either y = a * x + b, or, when steep, x = a * y + b.
struct Line {
    bool steep = false;
    double a = 0;
    double b = 0;
};

// Intersections and axis constructions are accepted only inside this range
// on both axes (the units of the points: doubled pixels for segments, pixels
// for contours and QV_GetLineIntersect), so that every vertex written fits
// the 16-bit coordinates of the rest of the system.
constexpr double kRangeMax = 65535.0;

// The line through p and q: steep when |q.y - p.y| > |q.x - p.x|. p != q.
Line line_through(double px, double py, double qx, double qy);

// Intersection of two lines. False (x, y untouched) when they are parallel
// (the determinant of their equations is exactly 0), or the intersection is
// not finite or outside 0 .. kRangeMax on either axis: the range test is
// applied to the result itself, so nothing outside it is ever written.
bool intersect(const Line &l1, const Line &l2, double &x, double &y);

// The point of `l` on an axis-parallel line through (px, py): for a flat
// line the vertical line first and the horizontal one if that fails, the
// other way round for a steep line. The same range test as intersect().
bool axis_point(const Line &l, double px, double py, double &x, double &y);

// Squared distance of (x, y) from `l`.
double distance2(const Line &l, double x, double y);

enum class Status { ok, refused, no_memory };

// A fitted polyline: `count` vertices, x and y each, in the points' units.
struct Polyline {
    HeapBlock<double> xy;
    uint32_t count = 0;
    uint32_t runs = 0;
};

// Points of the chain. A ring's last point is followed by its first.
struct Chain {
    const int32_t *x = nullptr;
    const int32_t *y = nullptr;
    uint32_t n = 0;
    bool ring = false;
};

// Cuts the chain into straight runs (tolerance `tol`, squared distance in
// the points' units), fits a least-squares line to each, refines the
// boundaries between neighbouring runs and builds the vertices: r runs give
// r + 1 vertices (a ring ends on its first vertex again). Coordinates must
// lie within +-2^24. Refused when a run ends with fewer than 2 points or a
// vertex cannot be placed in range. `exhaustive` takes the plain searches
// instead of the quick ones (every straightness test scans its run from the
// first point; every refinement round refits and measures every run): the
// same result by construction, kept as the reference that the tests hold the
// quick searches to.
Status fit_chain(const Chain &chain, uint32_t tol, Polyline &out, bool exhaustive = false);

// The exported block of a polyline: a 32-bit count, then x, y as 64-bit
// floats per vertex (unaligned, written byte-wise). Null without memory.
void *polyline_block(const double *xy, uint32_t count);

} // namespace fit
} // namespace quill

#endif
