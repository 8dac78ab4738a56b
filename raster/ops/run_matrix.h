/*
 * run_matrix.h - polygon sets turned into run matrices, and run matrices
 * painted into bilevel rows: the one polygon-to-runs conversion behind every
 * polygon fill.
 *
 * A run matrix holds, for each row of its rect from the top, an int32 run
 * count k and k runs (first pixel, pixel after the last), ascending.
 */
#ifndef QUILL_RASTER_OPS_RUN_MATRIX_H
#define QUILL_RASTER_OPS_RUN_MATRIX_H

#include "../../base/holder.h"
#include "quillimg.h"

#include <stddef.h>
#include <stdint.h>

namespace quill {

// Widest and tallest bounding box a polygon set may have.
constexpr int64_t kMaxPolygonSpan = 131072;

struct RunMatrix {
    HeapBlock<int32_t> block; // the matrix, in the layout above
    size_t words = 0;         // int32 values used
    QI_Rect rect{0, 0, -1, -1};
};

// Converts a polygon set (int32 count, then per polygon an int32 vertex
// count and its points: int32 pairs when `integerPoints`, else double
// pairs) into a run matrix by the even-odd rule on each row's centre line.
// False, with nothing held, when the set fails its checks, a size
// overflows or memory runs out.
bool polygons_to_runs(const void *polygons, bool integerPoints, RunMatrix &out);

// True when a converted matrix holds together: one row per row of its rect,
// counts not negative, runs non-empty, starting inside the rect, ending at
// most one pixel past it, in ascending order of start and end, and nothing
// after the last row. Tests and fuzz targets call it on every result.
bool run_matrix_is_valid(const RunMatrix &matrix);

// Offsets (in int32 values) of each row's count in a converted matrix;
// false when memory runs out.
bool index_rows(const RunMatrix &matrix, HeapBlock<uint32_t> &rows);

// Clears bits [start, end) of a bilevel row (pixel 0 in the top bit of
// byte 0): those pixels turn black.
void clear_pixels(uint8_t *row, int32_t start, int32_t end);

// Paints the runs of one matrix row (k runs at `runs`) that meet pixels
// [left, right] of the matrix space black into `row`, whose pixel 0 is
// matrix pixel `origin`. `from` is the first run to look at; the index of
// the first run that ends after `right` is returned, for the next part to
// the right. Runs that start past `right` end the walk.
int32_t paint_row_runs(const int32_t *runs, int32_t k, int32_t from, int64_t left, int64_t right, int64_t origin,
                       uint8_t *row);

} // namespace quill

#endif
