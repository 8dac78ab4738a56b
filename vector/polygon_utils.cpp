/*
 * polygon_utils.cpp - small operations on Wpolys, point arrays and poly
 * objects: bounding rectangles, shifts, zooming by two, widening, nearest
 * point, point in contour, and the measuring and unit-step expansion of
 * poly objects that the graph builder stands on.
 *
 * None of them allocates. Each walks its points once; the only state kept
 * between calls is the origin of the last object measured.
 *
 * Decisions:
 *  - Bit 31 of every count word (the tracer's hole flag) is masked off by
 *    every operation, including those that would otherwise read the
 *    count whole. Read whole, a flagged count is negative (or 2^31 points
 *    when read unsigned): shifting the tracer's raw contour buffer would
 *    stop at the first hole or run off the block, and a hole would never
 *    contain a point. Masked, the flag costs nothing and cannot hurt.
 *  - Coordinates of poly objects are read as unsigned 16-bit and their
 *    differences taken in 32 bits (rejected: 16-bit differences, which
 *    turn an edge longer than 32767 pixels into a short one the wrong way
 *    round; the tracer makes such edges on rasters wider than 32767).
 *  - QV_GetPolyObjParms counts |dx| + |dy| per edge and QV_QuantPolyData
 *    takes exactly that many steps, x first, then y. The alternative,
 *    |dx + dy| for the count and diagonal steps for the walk, agrees on
 *    axis-parallel edges only; on any other edge the walk would overrun the
 *    buffer sized by the count (an edge (3, -3) counts 0 and walks 6).
 *  - QV_GetMinWpntDist saturates at 2147483647: two differences of -32768
 *    sum to 2^31, which wraps to the most negative int and would win every
 *    comparison.
 */
#include "quillvec.h"

#include "polygon_utils.h"

#include <stdint.h>
#include <string.h>

namespace quill {

namespace {

uint32_t g_origin = 0; // see poly_object_origin()

inline uint32_t load_word(const void *at) {
    uint32_t word;
    memcpy(&word, at, sizeof word);
    return word;
}

// Point k of the Wpoly at `poly` (the count word is point -1).
inline uint32_t wpoly_point(const uint8_t *poly, uint32_t k) { return load_word(poly + 4 + 4 * size_t{k}); }

// The contour `index` of a poly object, or null for an object without it.
inline const uint8_t *object_contour(const int32_t *object, const void *base, int32_t index) {
    return static_cast<const uint8_t *>(base) + static_cast<uint32_t>(object[1 + index]);
}

inline uint32_t magnitude(int32_t v) { return static_cast<uint32_t>(v < 0 ? -v : v); }

// Unit steps of the edge from a to b: |dx| + |dy| with unsigned coordinates.
inline uint32_t edge_steps(uint32_t a, uint32_t b) {
    int32_t dx = static_cast<int32_t>(point_x(b)) - static_cast<int32_t>(point_x(a));
    int32_t dy = static_cast<int32_t>(point_y(b)) - static_cast<int32_t>(point_y(a));
    return magnitude(dx) + magnitude(dy);
}

// Writes the positions reached walking from a to b one pixel at a time, x
// first, then y; b itself is the last one written. Returns past the last.
uint32_t *walk_edge(uint32_t a, uint32_t b, uint32_t *out) {
    int32_t x = static_cast<int32_t>(point_x(a)), y = static_cast<int32_t>(point_y(a));
    const int32_t tx = static_cast<int32_t>(point_x(b)), ty = static_cast<int32_t>(point_y(b));
    const int32_t sx = tx > x ? 1 : -1, sy = ty > y ? 1 : -1;
    while (x != tx) {
        x += sx;
        *out++ = make_point(static_cast<uint32_t>(x), static_cast<uint32_t>(y));
    }
    while (y != ty) {
        y += sy;
        *out++ = make_point(static_cast<uint32_t>(x), static_cast<uint32_t>(y));
    }
    return out;
}

} // namespace

uint32_t poly_object_origin() { return g_origin; }

} // namespace quill

using quill::load_word;
using quill::make_point;
using quill::point_x;
using quill::point_y;

extern "C" QV_API void QV_PolyGetBndRect(const void *wpoly, QV_BndRect *rect) {
    if (!wpoly || !rect)
        return;
    const uint8_t *poly = static_cast<const uint8_t *>(wpoly);
    const uint32_t count = quill::wpoly_count(load_word(poly));
    int16_t minX = 32767, minY = 32767, maxX = -1, maxY = -1;
    for (uint32_t k = 0; k < count; ++k) {
        const uint32_t p = quill::wpoly_point(poly, k);
        const int16_t x = static_cast<int16_t>(point_x(p)), y = static_cast<int16_t>(point_y(p));
        minX = x < minX ? x : minX;
        maxX = x > maxX ? x : maxX;
        minY = y < minY ? y : minY;
        maxY = y > maxY ? y : maxY;
    }
    rect->minX = minX;
    rect->minY = minY;
    rect->maxX = maxX;
    rect->maxY = maxY;
}

extern "C" QV_API void QV_PolySetShift(void *wpolys, int32_t count, int16_t dx, int16_t dy) {
    if (!wpolys)
        return;
    uint8_t *poly = static_cast<uint8_t *>(wpolys);
    const uint32_t shift = make_point(static_cast<uint16_t>(dx), static_cast<uint16_t>(dy));
    for (int32_t i = 0; i < count; ++i) {
        const uint32_t n = quill::wpoly_count(load_word(poly));
        uint8_t *at = poly + 4;
        for (uint32_t k = 0; k < n; ++k, at += 4) {
            const uint32_t p = load_word(at);
            // Each half wraps on its own: no carry from x into y.
            const uint32_t moved = make_point(point_x(p) + point_x(shift), point_y(p) + point_y(shift));
            memcpy(at, &moved, 4);
        }
        poly = at;
    }
}

extern "C" QV_API void QV_WpolyZoom2In(uint32_t *points, int32_t count) {
    if (!points)
        return;
    for (int32_t i = 0; i < count; ++i)
        points[i] = (points[i] << 1) & 0xFFFEFFFEu;
}

extern "C" QV_API void QV_WpolyZoom2Out(uint32_t *points, int32_t count) {
    if (!points)
        return;
    for (int32_t i = 0; i < count; ++i)
        points[i] = (points[i] >> 1) & 0x7FFF7FFFu;
}

extern "C" QV_API void QV_WpolyToDWpoly(const void *wpoly, void *dwpoly) {
    if (!wpoly || !dwpoly)
        return;
    const uint8_t *poly = static_cast<const uint8_t *>(wpoly);
    uint8_t *out = static_cast<uint8_t *>(dwpoly);
    const uint32_t word = load_word(poly);
    memcpy(out, &word, 4);
    const uint32_t count = quill::wpoly_count(word);
    for (uint32_t k = 0; k < count; ++k) {
        const uint32_t p = quill::wpoly_point(poly, k);
        const uint32_t xy[2] = {point_x(p), point_y(p)};
        memcpy(out + 4 + 8 * size_t{k}, xy, 8);
    }
}

extern "C" QV_API int32_t QV_GetMinWpntDist(uint32_t point, const uint32_t *points, int32_t count) {
    int64_t best = INT32_MAX;
    if (!points)
        return INT32_MAX;
    for (int32_t i = 0; i < count; ++i) {
        const int16_t dx = static_cast<int16_t>(point_x(point) - point_x(points[i]));
        const int16_t dy = static_cast<int16_t>(point_y(point) - point_y(points[i]));
        const int64_t d = int64_t{dx} * dx + int64_t{dy} * dy;
        best = d < best ? d : best;
    }
    return static_cast<int32_t>(best);
}

extern "C" QV_API int32_t QV_PointInPoly(const uint32_t *point, const void *wpoly) {
    if (!point || !wpoly)
        return 0;
    const uint8_t *poly = static_cast<const uint8_t *>(wpoly);
    const uint32_t px = point_x(*point), py = point_y(*point);
    const uint32_t edges = quill::wpoly_count(load_word(poly)) / 2;
    uint32_t crossings = 0;
    int32_t touch = 0;
    for (uint32_t k = 0; k < edges; ++k) {
        const uint32_t a = quill::wpoly_point(poly, 2 * k), b = quill::wpoly_point(poly, 2 * k + 1);
        if (point_y(a) >= py)
            continue; // only edges strictly above the point meet the ray
        const uint32_t ax = point_x(a), bx = point_x(b);
        const uint32_t lo = ax < bx ? ax : bx, hi = ax < bx ? bx : ax;
        if (px == lo || px == hi)
            touch += bx > ax ? 1 : -1;
        else if (px > lo && px < hi)
            ++crossings;
    }
    // Touches pair up: a step through the ray's line adds +-2 (one crossing),
    // a bump that only meets it adds 0.
    const uint32_t touches = static_cast<uint32_t>(touch < 0 ? -touch : touch) / 2;
    return static_cast<int32_t>((crossings + touches) & 1u);
}

extern "C" QV_API void QV_GetPolyObjParms(const int32_t *object, const void *contourBase, uint16_t *xExtent,
                                          int32_t *totalSteps) {
    if (!object || !contourBase || !xExtent || !totalSteps)
        return;
    const int32_t n = object[0];
    uint64_t steps = 0;
    uint32_t minX = 0xFFFF, maxX = 0, origin = 0;
    for (int32_t c = 0; c < n; ++c) {
        const uint8_t *poly = quill::object_contour(object, contourBase, c);
        const uint32_t count = quill::wpoly_count(load_word(poly));
        for (uint32_t k = 0; k < count; ++k) {
            const uint32_t p = quill::wpoly_point(poly, k);
            steps += quill::edge_steps(p, quill::wpoly_point(poly, k + 1 < count ? k + 1 : 0));
            if (c == 0) {
                minX = point_x(p) < minX ? point_x(p) : minX;
                maxX = point_x(p) > maxX ? point_x(p) : maxX;
            }
        }
        if (c == 0 && count > 0)
            origin = make_point(minX, point_y(quill::wpoly_point(poly, 0)));
    }
    *xExtent = static_cast<uint16_t>(maxX >= minX ? maxX - minX + 1 : 0);
    *totalSteps = static_cast<int32_t>(steps < INT32_MAX ? steps : INT32_MAX);
    quill::g_origin = origin;
}

extern "C" QV_API void QV_QuantPolyData(const int32_t *object, const void *contourBase, uint32_t *points,
                                        int32_t *counts) {
    if (!object || !contourBase || !points || !counts)
        return;
    const int32_t n = object[0];
    for (int32_t c = 0; c < n; ++c) {
        const uint8_t *poly = quill::object_contour(object, contourBase, c);
        const uint32_t count = quill::wpoly_count(load_word(poly));
        uint32_t *start = points;
        for (uint32_t k = 0; k < count; ++k)
            points = quill::walk_edge(quill::wpoly_point(poly, k), quill::wpoly_point(poly, k + 1 < count ? k + 1 : 0),
                                      points);
        counts[c] = static_cast<int32_t>(points - start);
    }
}
