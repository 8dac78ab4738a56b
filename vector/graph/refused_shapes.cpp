/*
 * refused_shapes.cpp - a memo of the small object shapes that the graph
 * refused, so that a drawing's many specks and dots of one shape are
 * triangulated once rather than each time.
 *
 * Why it is exact: whether the graph refuses an object depends on its
 * shape alone, not on where it lies. The triangulation's predicates
 * (orientation, in-circle) read coordinate differences only, and its
 * result does not depend on the insertion order that the absolute
 * positions choose (ties are broken by point index, and indices follow
 * the contour from its first corner); corner exclusion and pruning read
 * steps and differences along the contour. So two single-contour objects
 * whose corners, taken relative to the first one, are equal get the same
 * verdict at one width.
 *
 * The key is that relative corner list, for objects of one contour and at
 * most kMaxPoints quantised points (so that every relative coordinate fits
 * a signed byte). Only refusals are remembered: a kept object needs its
 * own graph anyway. The table has kSlots slots probed linearly up to
 * kProbes; a key that finds no room is simply not remembered.
 *
 * Measured on the standard drawing page: about 136,000 of its 250,000
 * objects are specks of 14 or 16 boundary points that the pruning leaves
 * without an edge; their triangulations took about a sixth of the
 * vectoriser's instructions. They come in a few hundred shapes.
 *
 * Rejected: deciding such specks by a local test of every pair of points
 * before triangulating (no pair passes the contour, exterior and wedge
 * tests): 9,500 of 155,000 small objects were settled that way, most keep
 * such a pair and lose it only with the triangulation, and the quadratic
 * test cost more than it saved.
 */
#include "graph_internal.h"

#include <string.h>

namespace quill {
namespace graph {

namespace {

inline uint32_t word_at(const void *base, size_t offset) {
    uint32_t w;
    memcpy(&w, static_cast<const uint8_t *>(base) + offset, 4);
    return w;
}

} // namespace

uint64_t RefusedShapes::bytes() { return sizeof(Slot) * uint64_t{kSlots}; }

void RefusedShapes::bind(void *block) {
    slots_ = static_cast<Slot *>(block);
    memset(slots_, 0, sizeof(Slot) * size_t{kSlots});
}

bool RefusedShapes::key_of(const int32_t *object, const void *contourBase, uint32_t points, uint32_t contours,
                           Slot &key, uint32_t &hash) const {
    if (!slots_ || contours != 1 || points > kMaxPoints)
        return false;
    const uint8_t *contour = static_cast<const uint8_t *>(contourBase) + object[1];
    const uint32_t corners = word_at(contour, 0) & 0x7FFFFFFFu;
    if (corners == 0 || corners > kMaxCorners)
        return false;
    memset(&key, 0, sizeof key);
    key.corners = static_cast<uint8_t>(corners);
    const uint32_t first = word_at(contour, 4);
    const int32_t x0 = static_cast<int32_t>(first & 0xFFFF), y0 = static_cast<int32_t>(first >> 16);
    hash = 2166136261u ^ corners;
    for (uint32_t i = 0; i < corners; ++i) {
        const uint32_t w = word_at(contour, 4 + 4 * size_t{i});
        const int32_t dx = static_cast<int32_t>(w & 0xFFFF) - x0, dy = static_cast<int32_t>(w >> 16) - y0;
        // A measured contour of at most kMaxPoints unit steps spans less
        // than kMaxPoints / 2 on each axis; anything else is not keyed.
        if (dx < -127 || dx > 127 || dy < -127 || dy > 127)
            return false;
        key.dx[i] = static_cast<int8_t>(dx), key.dy[i] = static_cast<int8_t>(dy);
        hash = (hash ^ static_cast<uint8_t>(dx)) * 16777619u;
        hash = (hash ^ static_cast<uint8_t>(dy)) * 16777619u;
    }
    return true;
}

bool RefusedShapes::refused(const int32_t *object, const void *contourBase, uint32_t points,
                            uint32_t contours) const {
    Slot key;
    uint32_t hash;
    if (!key_of(object, contourBase, points, contours, key, hash))
        return false;
    for (uint32_t probe = 0; probe < kProbes; ++probe) {
        const Slot &s = slots_[(hash + probe) & (kSlots - 1)];
        if (s.corners == 0)
            return false;
        if (memcmp(&s, &key, sizeof key) == 0)
            return true;
    }
    return false;
}

void RefusedShapes::remember(const int32_t *object, const void *contourBase, uint32_t points, uint32_t contours) {
    Slot key;
    uint32_t hash;
    if (!key_of(object, contourBase, points, contours, key, hash))
        return;
    for (uint32_t probe = 0; probe < kProbes; ++probe) {
        Slot &s = slots_[(hash + probe) & (kSlots - 1)];
        if (s.corners == 0) {
            s = key;
            return;
        }
        if (memcmp(&s, &key, sizeof key) == 0)
            return;
    }
}

} // namespace graph
} // namespace quill
