/*
 * outline.cpp - QV_BWDmriOutline, the outline tracer's shell: it checks the
 * arguments, frames the raster in place, scans it for start positions and
 * corners, allocates the contour buffer from the counts, and runs the
 * kernels (outline_raster.cpp, outline_trace.cpp, outline_objects.cpp).
 *
 * The contours are walked along pixel edges from corner to corner; the scan
 * counts the corners exactly and bounds the contours by the starts, so the
 * buffer is allocated once (count words + corners) and shrunk to what was
 * used.
 * On the standard drawing page (13244 x 9356, 250,692 objects, 3.9 million
 * corners) the call with the object list takes 78 ms of CPU time, OpenCV's
 * findContours on the same page as bytes 1.09 s (bench/outline_bench.cpp).
 *
 * Decisions:
 *  - Sides are limited to QV_OUTLINE_MAX_SIDE (65534): points are 16-bit,
 *    and an object's x-extent (max x - min x + 1, which the graph builder
 *    keeps in 16 bits) must fit too. Larger rasters fail (-1) before
 *    anything is touched, rather than coming back with coordinates wrapped.
 *  - A width or height of 0 or below is an empty raster: 0, nothing
 *    touched (there are no rows to frame).
 *  - Every size is computed in 64 bits; a buffer beyond 4 GiB is refused
 *    by the holder like a failed allocation (-1).
 *  - The start lists, cursors and counters live in the call, not in
 *    library-wide variables: nothing is gained by keeping them, and the
 *    tracer is then re-entrant.
 *  - A failed shrink of the contour buffer keeps the larger block: the
 *    contours are all there, so the call succeeds.
 */
#include "quillvec.h"

#include "../base/holder.h"
#include "../base/raster_line.h"
#include "outline_kernels.h"

namespace {

using quill::HeapBlock;
namespace ol = quill::outline;

int32_t fail(void **contoursOut, void **objectsOut) {
    if (contoursOut)
        *contoursOut = nullptr;
    if (objectsOut)
        *objectsOut = nullptr;
    return -1;
}

// Traces and, when asked, groups; on success the blocks go to the caller.
int32_t outline(uint8_t *bits, uint32_t width, uint32_t height, void **contoursOut, void **objectsOut) {
    const size_t stride = quill::raster_line_bytes(1, static_cast<int32_t>(width + 2));
    HeapBlock<uint8_t> line(stride);
    if (!line)
        return fail(contoursOut, objectsOut);
    ol::border_raster(bits, width, height, line.get());
    line.reset();
    const ol::Bordered raster{bits, stride, width + 2, height + 2};

    ol::StartLists lists;
    uint64_t corners = 0;
    if (!ol::scan_boundaries(raster, lists, corners))
        return fail(contoursOut, objectsOut);
    const uint32_t starts = lists.first[raster.rows];
    if (starts == 0)
        return 0; // no black pixel: outputs untouched
    // A count word per contour (at most one per start) and the corners;
    // where each contour begins, for the grouping.
    HeapBlock<uint32_t> words(size_t{starts} + corners), heads;
    if (!words || (objectsOut && !heads.allocate(starts)))
        return fail(contoursOut, objectsOut);
    ol::ContourBuffer out{words.get(), size_t{starts} + corners, heads.get()};
    if (!ol::trace_contours(raster, lists, out))
        return fail(contoursOut, objectsOut);
    lists.entries.reset();
    lists.first.reset();

    HeapBlock<uint32_t> objects;
    if (objectsOut) {
        if (!objects.allocate(size_t{out.outers} + out.contours) || !ol::group_objects(raster, out, objects.get()))
            return fail(contoursOut, objectsOut);
    }
    void *block = words.release();
    qs_realloc(&block, static_cast<uint32_t>(out.used * sizeof(uint32_t))); // may fail: keep the block
    *contoursOut = block;
    if (objectsOut) {
        *objectsOut = objects.release();
        return static_cast<int32_t>(out.outers);
    }
    return static_cast<int32_t>(out.contours);
}

} // namespace

extern "C" QV_API int32_t QV_BWDmriOutline(uint8_t *bits, int32_t width, int32_t height, void **contoursOut,
                                           void **objectsOut) {
    if (!bits || !contoursOut)
        return fail(contoursOut, objectsOut);
    if (width > QV_OUTLINE_MAX_SIDE || height > QV_OUTLINE_MAX_SIDE)
        return fail(contoursOut, objectsOut);
    if (width <= 0 || height <= 0)
        return 0;
    return outline(bits, static_cast<uint32_t>(width), static_cast<uint32_t>(height), contoursOut, objectsOut);
}
