/*
 * segments.h - what the segment operations share inside quillvec with the
 * features: reading segment records, the fitted and raw centre lines as
 * engine calls (the exported functions are shells over these), and the
 * block format of a centre-line polyline.
 *
 * A segment record is a count word (bits 0-29 the element count, bits 30
 * and 31 end flags) followed by elements of two point words (side A, side
 * B); coordinates are read as unsigned 16-bit values.
 */
#ifndef QUILL_VECTOR_SEGMENTS_SEGMENTS_H
#define QUILL_VECTOR_SEGMENTS_SEGMENTS_H

#include "../fit/fit.h"

#include <stdint.h>
#include <string.h>

namespace quill {
namespace seg {

constexpr uint32_t kCountMask = 0x3FFFFFFFu;

using fit::word_at;
using fit::put_word;
using fit::px;
using fit::py;
using fit::polyline_block;

inline uint32_t count_of(const void *seg) { return word_at(seg, 0) & kCountMask; }
// Side A (side 0) or B (side 1) of element k.
inline uint32_t side(const void *seg, uint32_t k, int s) { return word_at(seg, 4 + 8 * size_t{k} + 4 * s); }

// The fitted centre line of a segment, in pixels (steps 1 to 8 of the fit:
// closed segments rotated to their leftmost centre, optional start and end
// points, tolerance below 0 taken as 0). `width` (may be null) receives the
// mean stroke width. Refused for fewer than 3 elements, start or end points
// that are not finite or lie beyond +-2^19 pixels, or a failed fit.
fit::Status centre_optimize(const void *seg, int32_t tol, const double *start, const double *end,
                            fit::Polyline &out, double *width);

// The element centres of a segment as a polyline in pixels.
fit::Status raw_centre(const void *seg, fit::Polyline &out);

// The mean width of a segment's stroke along a polyline of length L: the
// stroke's area (twice it, S, summed over the quadrilaterals between
// consecutive elements) / L. A polyline of length 0 gives the mean
// distance between the sides instead.
double mean_width(const void *seg, const double *xy, uint32_t count);

// QV_ConcatSegments as an engine: the merged segment in *result (null
// unless ok); refused for bad arguments or no path, no_memory otherwise.
fit::Status concat(void **graph, int32_t object, int32_t *offsets, int32_t count, int32_t maxGap, void **result);

// Whether the first element equals the last (an empty segment is not).
bool is_closed(const void *seg);

} // namespace seg
} // namespace quill

#endif
