/*
 * wide_polyline.h - a polyline drawn with a width, as small convex polygons
 * that together cover it.
 */
#ifndef QUILL_RASTER_OPS_WIDE_POLYLINE_H
#define QUILL_RASTER_OPS_WIDE_POLYLINE_H

#include <stdint.h>

namespace quill {

enum WideStyle : int32_t { kWidePlain = 0, kWideSquare = 1, kWideRound = 2 };

// Covers `polyline` (an int32 point count n, then n points of two doubles)
// drawn with half width `halfWidth` on each side by polygons: one
// quadrilateral per segment, one join per inner vertex and, for the square
// and round styles, a cap at each end. `precision` is the arc step length
// of the round style. Each polygon is a floating polygon set of one polygon
// (int32 1, int32 vertex count, the vertices as double pairs); *out receives
// an array of pointers to them, segments first, then joins, then the start
// and end caps. The array and every block come from qs_malloc; the caller
// frees each with qs_free. Returns the number of polygons, -1 for bad
// arguments (fewer than 2 distinct points, a width or precision not finite
// or not above 0, an unknown style, a coordinate not finite) and 0 when
// memory runs out; in both failures nothing is handed out.
int32_t wide_polyline(const void *polyline, double halfWidth, int32_t style, double precision, void ***out);

} // namespace quill

#endif
