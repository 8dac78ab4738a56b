/*
 * outline_objects.cpp - grouping the traced contours into poly objects: each
 * outer contour with the holes that its object encloses directly.
 *
 * The owner of a hole is the object whose pixels border it. At the hole's
 * first point (its top-left corner) the pixel just above the first edge is
 * such a pixel; follow its black run to the left to the run's first pixel:
 * the vertical edge on that pixel's left belongs to one contour of the same
 * object, either its outer contour (then that is the owner) or another of
 * its holes. That hole's first point lies on an earlier row boundary (its
 * contour passes above the boundary of the first hole's first point), so,
 * taking holes in buffer order, its owner is already known and is the
 * owner sought. The edges are found by bucketing the queries by column and
 * running once over the vertical edges of all contours (every other edge;
 * one load tells whether its column has a query in its rows). The work is linear
 * in the contours' points plus a left scan per hole, 64 pixels at a time.
 *
 * This assigns every hole as the plain rule does (outer contours from
 * the last to the first, each taking the holes not yet taken whose bounding
 * rectangle lies inside its own and whose first point QV_PointInPoly puts
 * inside it): the objects claiming a hole by that rule are its owner and
 * the objects around the owner, which begin higher and so come later in
 * that order. The rule itself was rejected as the method: it tests every
 * hole against every outer contour whose rectangle holds it, which on a
 * drawing page (a frame around everything) is quadratic, and on a hostile
 * raster (a large spiral around thousands of rings) is so with a long
 * contour in every test. The tests keep the rule as the oracle.
 */
#include "outline_kernels.h"

#include "../base/holder.h"
#include "quillvec.h"
#include "polygon_utils.h"

namespace quill {
namespace outline {

namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;

bool is_hole(const ContourBuffer &out, const uint32_t *heads, uint32_t c) {
    return (out.words[heads[c]] & QV_HOLE_FLAG) != 0;
}

// The holes' queries: the left edge of the black run just above each hole's
// first edge, as its lattice column and pixel row in output coordinates.
struct Queries {
    HeapBlock<uint32_t> contour, column, row, match;
    uint32_t count = 0;

    bool allocate(uint32_t holes) {
        count = holes;
        return contour.allocate(holes) && column.allocate(holes) && row.allocate(holes) && match.allocate(holes);
    }
};

void make_queries(const Bordered &r, const ContourBuffer &out, const uint32_t *heads, Queries &q) {
    uint32_t h = 0;
    for (uint32_t c = 0; c < out.contours; ++c) {
        if (!is_hole(out, heads, c))
            continue;
        const uint32_t first = out.words[heads[c] + 1];
        // Output (px, py) is bordered lattice (px + 1, py + 1); the pixel
        // above the first edge is bordered pixel (px + 1, py), black. The
        // first white pixel to its left is at bordered column w, so the
        // run's left edge is bordered lattice column w + 1, output w.
        const uint32_t px = point_x(first), py = point_y(first);
        const uint8_t *row = r.row(py);
        q.contour[h] = c;
        q.column[h] = last_change(row, row, r.stride, px + 1, 0, 0).column;
        q.row[h] = py - 1;
        q.match[h] = kNone;
        ++h;
    }
}

// The rows of a column's queries, first and last; first > last for a
// column without any.
struct RowRange {
    uint32_t first, last;
};

// Finds, for every query, the contour that runs along its edge. `bucket`
// holds columns + 1 offsets, `order` the queries sorted by column; within
// a column they stay in buffer order, so their rows do not decrease.
void match_queries(const ContourBuffer &out, const uint32_t *heads, Queries &q, const uint32_t *bucket,
                   const uint32_t *order, const RowRange *rows) {
    for (uint32_t c = 0; c < out.contours; ++c) {
        const uint32_t *points = out.words + heads[c] + 1;
        const uint32_t n = wpoly_count(out.words[heads[c]]);
        // Edges alternate, the first horizontal: the vertical ones run from
        // the odd points, the last back to point 0.
        for (uint32_t k = 1; k < n; k += 2) {
            const uint32_t a = points[k], b = points[k + 1 < n ? k + 1 : 0];
            const uint32_t x = point_x(a);
            const uint32_t lo = point_y(a) < point_y(b) ? point_y(a) : point_y(b);
            const uint32_t hi = point_y(a) ^ point_y(b) ^ lo; // the other one
            // The edge covers pixel rows lo .. hi - 1; most columns have no
            // query in that range, one load tells.
            if (rows[x].first >= hi || rows[x].last < lo)
                continue;
            uint32_t i = bucket[x], end = bucket[x + 1];
            while (i < end) { // first query of the column at row lo or below
                const uint32_t mid = i + (end - i) / 2;
                if (q.row[order[mid]] < lo)
                    i = mid + 1;
                else
                    end = mid;
            }
            for (; i < bucket[x + 1] && q.row[order[i]] < hi; ++i)
                q.match[order[i]] = c;
        }
    }
}

// Sorts the queries by column (stable) into order, with bucket offsets,
// and notes each column's range of rows.
void bucket_queries(const Queries &q, uint32_t columns, uint32_t *bucket, uint32_t *order, RowRange *rows) {
    memset(bucket, 0, (size_t{columns} + 1) * sizeof *bucket);
    for (uint32_t x = 0; x < columns; ++x)
        rows[x] = RowRange{UINT32_MAX, 0};
    for (uint32_t h = 0; h < q.count; ++h) {
        const uint32_t x = q.column[h];
        ++bucket[x + 1];
        rows[x].first = q.row[h] < rows[x].first ? q.row[h] : rows[x].first;
        rows[x].last = q.row[h] > rows[x].last ? q.row[h] : rows[x].last;
    }
    for (uint32_t x = 0; x < columns; ++x)
        bucket[x + 1] += bucket[x];
    // Fill from per-column cursors (bucket[x] moves up) and then move the
    // offsets back down by one column.
    for (uint32_t h = 0; h < q.count; ++h)
        order[bucket[q.column[h]]++] = h;
    for (uint32_t x = columns; x > 0; --x)
        bucket[x] = bucket[x - 1];
    bucket[0] = 0;
}

// owner[c] for every contour: itself for an outer contour, the outer
// contour of its object for a hole. False if a hole has no owner, which a
// framed raster rules out; checked rather than trusted.
bool resolve_owners(const ContourBuffer &out, const uint32_t *heads, const Queries &q, uint32_t *owner) {
    for (uint32_t c = 0; c < out.contours; ++c)
        owner[c] = c;
    for (uint32_t h = 0; h < q.count; ++h) {
        const uint32_t edge = q.match[h];
        if (edge >= q.contour[h]) // kNone, or not an earlier contour
            return false;
        owner[q.contour[h]] = is_hole(out, heads, edge) ? owner[edge] : edge;
    }
    return true;
}

// Writes the object list: outer contours from the last to the first, each
// followed by its holes in buffer order, as byte offsets.
void write_objects(const ContourBuffer &out, const uint32_t *heads, const uint32_t *owner, uint32_t *holeFirst,
                   uint32_t *holes, uint32_t *objects) {
    const uint32_t n = out.contours;
    memset(holeFirst, 0, (size_t{n} + 1) * sizeof *holeFirst);
    for (uint32_t c = 0; c < n; ++c)
        if (owner[c] != c)
            ++holeFirst[owner[c] + 1];
    for (uint32_t c = 0; c < n; ++c)
        holeFirst[c + 1] += holeFirst[c];
    for (uint32_t c = 0; c < n; ++c) // buffer order kept within each owner
        if (owner[c] != c)
            holes[holeFirst[owner[c]]++] = c;
    // holeFirst[c] now ends owner c's holes; its start is the previous end.
    uint32_t *at = objects;
    for (uint32_t c = n; c-- > 0;) {
        if (owner[c] != c)
            continue;
        const uint32_t begin = c == 0 ? 0 : holeFirst[c - 1], end = holeFirst[c];
        *at++ = 1 + end - begin;
        *at++ = 4 * heads[c];
        for (uint32_t i = begin; i < end; ++i)
            *at++ = 4 * heads[holes[i]];
    }
}

} // namespace

bool group_objects(const Bordered &r, ContourBuffer &out, uint32_t *objects) {
    const uint32_t n = out.contours, holeCount = out.contours - out.outers;
    const uint32_t columns = r.columns - 1; // output lattice columns 0 .. width
    const uint32_t *heads = out.heads;
    HeapBlock<uint32_t> owner(n), holeFirst(size_t{n} + 1), holes(holeCount);
    HeapBlock<uint32_t> bucket(size_t{columns} + 1), order(holeCount);
    HeapBlock<RowRange> rows(columns);
    Queries q;
    if (!owner || !holeFirst || !holes || !bucket || !order || !rows || !q.allocate(holeCount))
        return false;
    make_queries(r, out, heads, q);
    bucket_queries(q, columns, bucket.get(), order.get(), rows.get());
    match_queries(out, heads, q, bucket.get(), order.get(), rows.get());
    if (!resolve_owners(out, heads, q, owner.get()))
        return false;
    write_objects(out, heads, owner.get(), holeFirst.get(), holes.get(), objects);
    for (uint32_t c = 0; c < n; ++c)
        out.words[heads[c]] &= ~QV_HOLE_FLAG;
    return true;
}

} // namespace outline
} // namespace quill
