/*
 * segments.cpp - single-segment operations: reversal, the stroke polygon,
 * the raw centre line and the fitted centre line with its mean width.
 *
 * The fitted centre line works in doubled units: each element (A, B) gives
 * the integer point A + B, twice its centre, so the fit runs on exact
 * integers and the vertices are halved at the end. A closed segment (first
 * element equal to the last) is a ring: its repeated last element is
 * dropped, the ring is rotated to start at the leftmost centre (the last of
 * equal ones) and closed again, and any start and end points are ignored.
 *
 * The mean width is the stroke's area over the centre line's length: the
 * area is summed over the quadrilaterals (A_k, B_k, B_k+1, A_k+1) between
 * consecutive elements as two triangles sharing the diagonal A_k+1 - B_k,
 * each left out when its side collapses to a point (A_k = A_k+1 or
 * B_k = B_k+1), with exact 64-bit cross products.
 *
 * Decisions on hostile input: the count word is read with the flags masked
 * (0x3FFFFFFF), so a caller's flags never turn into a huge count; a
 * tolerance below 0 is taken as 0; start and end points must be finite and
 * within +-2^19 pixels, so that their doubled, rounded values keep every
 * product of the fit within 64 bits (they are refused, not clamped: a
 * clamped end point would put a vertex where the caller did not ask).
 */
#include "segments.h"

#include "quillvec.h"

#include <math.h>

namespace quill {
namespace seg {

bool is_closed(const void *seg) {
    const uint32_t n = count_of(seg);
    return n > 0 && side(seg, 0, 0) == side(seg, n - 1, 0) && side(seg, 0, 1) == side(seg, n - 1, 1);
}

double mean_width(const void *seg, const double *xy, uint32_t count) {
    double length = 0;
    for (uint32_t i = 1; i < count; ++i)
        length += hypot(xy[2 * i] - xy[2 * i - 2], xy[2 * i + 1] - xy[2 * i - 1]);
    const uint32_t n = count_of(seg);
    if (!(length > 0)) {
        double sum = 0;
        for (uint32_t k = 0; k < n; ++k) {
            const uint32_t a = side(seg, k, 0), b = side(seg, k, 1);
            sum += hypot(px(a) - px(b), py(a) - py(b));
        }
        return n ? sum / n : 0.0;
    }
    int64_t area2 = 0;
    for (uint32_t k = 0; k + 1 < n; ++k) {
        const uint32_t a0 = side(seg, k, 0), b0 = side(seg, k, 1);
        const uint32_t a1 = side(seg, k + 1, 0), b1 = side(seg, k + 1, 1);
        const int64_t dx = px(a1) - px(b0), dy = py(a1) - py(b0);
        if (a0 != a1) {
            const int64_t c = dx * (py(a0) - py(b0)) - dy * (px(a0) - px(b0));
            area2 += c < 0 ? -c : c;
        }
        if (b0 != b1) {
            const int64_t c = dx * (py(a1) - py(b1)) - dy * (px(a1) - px(b1));
            area2 += c < 0 ? -c : c;
        }
    }
    return static_cast<double>(area2) / length * 0.5;
}

fit::Status raw_centre(const void *seg, fit::Polyline &out) {
    const uint32_t n = count_of(seg);
    out.count = 0;
    if (!out.xy.allocate(2 * size_t{n} + 2))
        return fit::Status::no_memory;
    for (uint32_t k = 0; k < n; ++k) {
        const uint32_t a = side(seg, k, 0), b = side(seg, k, 1);
        out.xy[2 * k] = (px(a) + px(b)) * 0.5;
        out.xy[2 * k + 1] = (py(a) + py(b)) * 0.5;
    }
    out.count = n;
    out.runs = 0;
    return fit::Status::ok;
}

namespace {

constexpr double kEndLimit = 524288.0; // 2^19 pixels

bool doubled_point(const double *p, int32_t &x, int32_t &y) {
    if (!(fabs(p[0]) <= kEndLimit) || !(fabs(p[1]) <= kEndLimit))
        return false;
    x = qs_dround(2 * p[0]);
    y = qs_dround(2 * p[1]);
    return true;
}

} // namespace

fit::Status centre_optimize(const void *seg, int32_t tol, const double *start, const double *end,
                            fit::Polyline &out, double *width) {
    out.xy.reset();
    out.count = 0;
    const uint32_t n = count_of(seg);
    if (n < 3)
        return fit::Status::refused;
    const bool closed = is_closed(seg);
    int32_t sx = 0, sy = 0, ex = 0, ey = 0;
    const bool useStart = !closed && start != nullptr, useEnd = !closed && end != nullptr;
    if ((useStart && !doubled_point(start, sx, sy)) || (useEnd && !doubled_point(end, ex, ey)))
        return fit::Status::refused;
    const size_t total = size_t{n} + useStart + useEnd;
    HeapBlock<int32_t> xy;
    if (!xy.allocate(2 * total))
        return fit::Status::no_memory;
    int32_t *x = xy.get(), *y = xy.get() + total;
    auto centre = [&](uint32_t k, size_t at) {
        const uint32_t a = side(seg, k, 0), b = side(seg, k, 1);
        x[at] = px(a) + px(b);
        y[at] = py(a) + py(b);
    };
    size_t at = 0;
    if (closed) {
        // The ring without its repeated element, from the leftmost centre.
        const uint32_t ring = n - 1;
        uint32_t first = 0;
        int32_t best = INT32_MAX;
        for (uint32_t k = 0; k < ring; ++k) {
            const int32_t cx = px(side(seg, k, 0)) + px(side(seg, k, 1));
            if (cx <= best)
                best = cx, first = k;
        }
        for (uint32_t k = 0; k < ring; ++k)
            centre((first + k) % ring, at++);
        x[at] = x[0], y[at] = y[0], ++at;
    } else {
        if (useStart)
            x[at] = sx, y[at] = sy, ++at;
        for (uint32_t k = 0; k < n; ++k)
            centre(k, at++);
        if (useEnd)
            x[at] = ex, y[at] = ey, ++at;
    }
    fit::Chain chain;
    chain.x = x, chain.y = y, chain.n = static_cast<uint32_t>(total), chain.ring = closed;
    const fit::Status s = fit::fit_chain(chain, tol < 0 ? 0u : static_cast<uint32_t>(tol), out);
    if (s != fit::Status::ok)
        return s;
    for (uint32_t i = 0; i < 2 * out.count; ++i)
        out.xy[i] *= 0.5;
    if (width != nullptr)
        *width = mean_width(seg, out.xy.get(), out.count);
    return fit::Status::ok;
}

} // namespace seg
} // namespace quill

using namespace quill;
using namespace quill::seg;

extern "C" QV_API void QV_SegmentReverse(void *segment) {
    if (segment == nullptr)
        return;
    const uint32_t word = word_at(segment, 0);
    const uint32_t n = word & kCountMask;
    for (uint32_t k = 0, m = n - 1; n != 0 && k <= m; ++k, --m) {
        const uint32_t ak = side(segment, k, 0), bk = side(segment, k, 1);
        const uint32_t am = side(segment, m, 0), bm = side(segment, m, 1);
        put_word(segment, 4 + 8 * size_t{k}, bm);
        put_word(segment, 8 + 8 * size_t{k}, am);
        put_word(segment, 4 + 8 * size_t{m}, bk);
        put_word(segment, 8 + 8 * size_t{m}, ak);
        if (m == 0)
            break;
    }
    // The end flags follow their ends: bit 30 <-> bit 31.
    const uint32_t flags = ((word >> 1) & 0x40000000u) | ((word << 1) & 0x80000000u);
    put_word(segment, 0, n | flags);
}

extern "C" QV_API void QV_ConvertSegmentToPoly(const void *segment, void *out) {
    if (segment == nullptr || out == nullptr)
        return;
    const uint32_t n = count_of(segment);
    uint8_t *o = static_cast<uint8_t *>(out);
    put_word(o, 0, 1);
    // Side A forward, then side B backward, as point words at o + 8, with
    // runs of equal points collapsed as they are written.
    uint32_t kept = 0, last = 0;
    auto keep = [&](uint32_t p) {
        if (kept != 0 && p == last)
            return;
        put_word(o, 8 + 4 * size_t{kept}, p);
        last = p;
        ++kept;
    };
    for (uint32_t k = 0; k < n; ++k)
        keep(side(segment, k, 0));
    for (uint32_t k = n; k-- > 0;)
        keep(side(segment, k, 1));
    put_word(o, 4, kept);
    // Widen from the end: point i moves from o + 8 + 4i to o + 8 + 8i, never
    // over a point still to be read.
    for (uint32_t i = kept; i-- > 0;) {
        const uint32_t p = word_at(o, 8 + 4 * size_t{i});
        put_word(o, 8 + 8 * size_t{i}, p & 0xFFFF);
        put_word(o, 12 + 8 * size_t{i}, p >> 16);
    }
}

extern "C" QV_API void *QV_SegExtractCenterline(const void *segment, const double *first, const double *last) {
    if (segment == nullptr)
        return nullptr;
    fit::Polyline centre;
    if (raw_centre(segment, centre) != fit::Status::ok)
        return nullptr;
    const uint32_t n = centre.count;
    const uint32_t total = n + (first != nullptr) + (last != nullptr);
    HeapBlock<double> xy;
    if (!xy.allocate(2 * size_t{total} + 2))
        return nullptr;
    uint32_t at = 0;
    if (first != nullptr)
        xy[0] = first[0], xy[1] = first[1], at = 1;
    if (n != 0)
        memcpy(xy.get() + 2 * at, centre.xy.get(), 16 * size_t{n});
    at += n;
    if (last != nullptr)
        xy[2 * at] = last[0], xy[2 * at + 1] = last[1];
    return polyline_block(xy.get(), total);
}

extern "C" QV_API void *QV_SegmentCenterOptimize(const void *segment, double *meanWidth, int32_t tolerance,
                                                 const double *start, const double *end) {
    if (segment == nullptr)
        return nullptr;
    fit::Polyline line;
    double width = 0;
    if (centre_optimize(segment, tolerance, start, end, line, &width) != fit::Status::ok)
        return nullptr;
    void *block = polyline_block(line.xy.get(), line.count);
    if (block != nullptr && meanWidth != nullptr)
        *meanWidth = width;
    return block;
}
