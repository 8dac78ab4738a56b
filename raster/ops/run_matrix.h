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
    size_t capacity = 0;      // int32 values the block holds
    QI_Rect rect{0, 0, -1, -1};
};

// An edge from its upper end (xa, ya) to (xb, yb), and its row range.
struct SweepEdge {
    int32_t xa, ya, xb, yb;
    int32_t top, bottom;
};

// An edge crossing the current rows, with its crossing stepped row by row:
// the numerator n = q * d + rem (0 <= rem < d) of the offset from xa.
struct SweepActive {
    int64_t q, rem, d, stepQ, stepRem;
    int32_t xa, bottom, x;
};

// The conversion as a sweep from the top that hands out its rows a band at
// a time: a fill walks a frame's tile rows with a band of 128 matrix rows
// instead of the whole matrix (37 MB for a hatch across the standard page,
// and its page faults cost as much as the crossings).
class RunSweep {
public:
    // Reads and checks the whole set (vertex counts, coordinates, the box,
    // an even non-zero crossing count in every span of rows) before any row
    // is made; false when it fails or memory runs out.
    bool start(const void *polygons, bool integerPoints);
    // The matrix rect of the set; rows top to bottom are handed out.
    const QI_Rect &rect() const { return rect_; }
    // Most crossings in any row: a band of n rows takes at most
    // n * (widest / 2 * 2 + 1) values.
    int64_t widest() const { return widest_; }
    // Moves down to `row` without making the rows above it.
    void skip_to(int64_t row);
    // Appends the rows from the current one to `last` (inclusive) to `out`,
    // growing its block by the matrix growth rule when needed; false when
    // memory runs out.
    bool write_rows(int64_t last, RunMatrix &out);

private:
    bool check_spans();
    void update_active();

    HeapBlock<SweepEdge> edges_;
    HeapBlock<SweepActive> active_;
    int64_t edgeCount_ = 0, count_ = 0, nextEdge_ = 0, widest_ = 0;
    int64_t minY_ = 0, maxY_ = 0, row_ = 0, event_ = 0;
    QI_Rect rect_{0, 0, -1, -1};
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

// Clears (or with `white`, sets) bits [start, end) of a bilevel row (pixel 0
// in the top bit of byte 0): those pixels turn black (white).
void clear_pixels(uint8_t *row, int32_t start, int32_t end, bool white = false);

// Paints the runs of one matrix row (k runs at `runs`) that meet pixels
// [left, right] of the matrix space black (or white) into `row`, whose pixel 0 is
// matrix pixel `origin`. `from` is the first run to look at; the index of
// the first run that ends after `right` is returned, for the next part to
// the right. Runs that start past `right` end the walk.
int32_t paint_row_runs(const int32_t *runs, int32_t k, int32_t from, int64_t left, int64_t right, int64_t origin,
                       uint8_t *row, bool white = false);

} // namespace quill

#endif
