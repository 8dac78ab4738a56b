/*
 * graph_points.cpp - the points of one poly object as the graph builder
 * sees them: the object measured and checked against the input rules, its
 * contours expanded into unit steps, the convex corners excluded, and the
 * retained points put in sweep order.
 *
 * Algorithm: a contour's corners are walked edge by edge (the closing edge
 * included), one pixel at a time; the quantised contour thus starts one
 * step after corner 0 and ends on it. A quantised point is a corner when
 * the steps into and out of it are one horizontal and one vertical, and a
 * convex corner of the object (turn > 0 on the outer contour, which keeps
 * its object on the right, < 0 on a hole, which keeps it on the left) is
 * excluded from the triangulation: it is the pixel corner that sticks out
 * of the stroke, and its triangles would only be cut away again.
 *
 * Decisions:
 *  - The object is checked before anything is walked: a count word with
 *    bit 31 set, a contour of fewer than 2 corners, or two successive
 *    corners that differ in both coordinates or in neither refuse the
 *    object (null slots). The polygon utility's walk would step such an
 *    edge along x and then y, yielding points that are not on a contour
 *    the tracer could have made; the graph's tables assume unit steps.
 *  - The walk is done here rather than through QV_QuantPolyData: the
 *    library calls its engines, not its exported functions, and the graph
 *    wants the coordinates as separate 32-bit arrays and each point's
 *    contour, which the exported layout does not carry.
 *  - Points are not shifted to the object's origin: coordinates are held
 *    in 32 bits and every predicate works in 64 or 128 bits (delaunay.cpp),
 *    so the 16-bit range that the shift protected is not needed; results
 *    are indices, which the shift does not change.
 *  - The sweep order is the triangulation's business (delaunay.cpp puts
 *    the retained points in Hilbert order); this file only hands them on.
 */
#include "graph_internal.h"

#include <string.h>


namespace quill {
namespace graph {

namespace {

inline uint32_t load_word(const void *at) {
    uint32_t word;
    memcpy(&word, at, sizeof word);
    return word;
}

inline const uint8_t *contour_at(const int32_t *object, const void *base, uint32_t c) {
    return static_cast<const uint8_t *>(base) + static_cast<uint32_t>(object[1 + c]);
}

inline int32_t px(uint32_t p) { return static_cast<int32_t>(p & 0xFFFFu); }
inline int32_t py(uint32_t p) { return static_cast<int32_t>(p >> 16); }

inline uint32_t corner_at(const uint8_t *poly, uint32_t k) { return load_word(poly + 4 + 4 * size_t{k}); }

// Unit steps of one edge, 0 when the edge breaks the rules.
inline uint32_t edge_steps(uint32_t a, uint32_t b) {
    const int32_t dx = px(b) - px(a), dy = py(b) - py(a);
    if ((dx == 0) == (dy == 0))
        return 0; // diagonal, or no move at all
    return static_cast<uint32_t>(dx != 0 ? (dx < 0 ? -dx : dx) : (dy < 0 ? -dy : dy));
}

} // namespace

bool measure_object(const int32_t *object, const void *contourBase, uint32_t &points, uint32_t &contours) {
    points = 0;
    contours = 0;
    if (object[0] < 1)
        return false;
    const uint32_t n = static_cast<uint32_t>(object[0]);
    uint64_t total = 0;
    for (uint32_t c = 0; c < n; ++c) {
        const uint8_t *poly = contour_at(object, contourBase, c);
        const uint32_t count = load_word(poly);
        if (count >= 0x80000000u || count < 2)
            return false;
        for (uint32_t k = 0; k < count; ++k) {
            const uint32_t steps = edge_steps(corner_at(poly, k), corner_at(poly, k + 1 < count ? k + 1 : 0));
            if (steps == 0)
                return false;
            total += steps;
        }
        if (total > kMaxObjectPoints)
            return false;
    }
    points = static_cast<uint32_t>(total);
    contours = n;
    return true;
}

void quantise_object(const int32_t *object, const void *contourBase, Object &obj) {
    uint32_t at = 0;
    for (uint32_t c = 0; c < obj.contours; ++c) {
        const uint8_t *poly = contour_at(object, contourBase, c);
        const uint32_t count = load_word(poly);
        obj.first[c] = at;
        for (uint32_t k = 0; k < count; ++k) {
            const uint32_t a = corner_at(poly, k), b = corner_at(poly, k + 1 < count ? k + 1 : 0);
            int32_t x = px(a), y = py(a);
            const int32_t dx = (px(b) > x) - (px(b) < x), dy = (py(b) > y) - (py(b) < y);
            const uint32_t steps = edge_steps(a, b);
            for (uint32_t s = 0; s < steps; ++s) {
                x += dx;
                y += dy;
                obj.x[at] = x;
                obj.y[at] = y;
                obj.contourOf[at] = c;
                ++at;
            }
        }
    }
    obj.first[obj.contours] = at;
    obj.points = at;
}

uint32_t exclude_corners(const Object &obj, uint32_t *count) {
    uint32_t retained = 0;
    for (uint32_t c = 0; c < obj.contours; ++c) {
        const uint32_t f = obj.first[c], n = obj.first[c + 1] - f;
        for (uint32_t i = 0; i < n; ++i) {
            const uint32_t p = f + i, prev = f + (i == 0 ? n - 1 : i - 1), next = f + (i + 1 == n ? 0 : i + 1);
            const int32_t inX = obj.x[p] - obj.x[prev], inY = obj.y[p] - obj.y[prev];
            const int32_t outX = obj.x[next] - obj.x[p], outY = obj.y[next] - obj.y[p];
            const int32_t turn = inX * outY - inY * outX; // unit steps: -1, 0 or 1
            const bool excluded = c == 0 ? turn > 0 : turn < 0;
            count[p] = excluded ? kExcluded : 0;
            retained += !excluded;
        }
    }
    return retained;
}

uint32_t sweep_order(const Object &obj, const uint32_t *count, uint32_t *order) {
    uint32_t n = 0;
    for (uint32_t p = 0; p < obj.points; ++p)
        if (count[p] != kExcluded)
            order[n++] = p;
    return n;
}

} // namespace graph
} // namespace quill
