/*
 * wide_polyline.cpp - covering polygons of a polyline drawn with a width.
 *
 * For segment i from P_i to P_i+1, d_i is its unit direction and
 * v_i = h (d_i.y, -d_i.x) its offset: the direction turned a quarter, of
 * the half width's length. P + v is the plus side, P - v the minus side.
 *
 *   segment i:  P_i + v_i, P_i - v_i, P_i+1 - v_i, P_i+1 + v_i
 *
 *   join at P = P_i+1, turning by (c, s) = (cos, sin) of the turn:
 *
 *            Q  mitre tip                 the outer side is the minus side
 *      ------+  +                         when s >= 0, else the plus side;
 *            | /                          Q = P +- v_i, N = P +- v_i+1 on it.
 *      ---P--+--N                         The polygon is N, P, Q, then
 *         |  |                            style 0: nothing (a bevel);
 *                                         style 1: the mitre tip, or for a
 *                                           turn sharper than about 154
 *                                           degrees (c <= -0.9) two points
 *                                           of a cut mitre;
 *                                         style 2: points on the arc of
 *                                           radius h round P, a apart.
 *
 *   caps (styles 1 and 2): the start cap reaches h behind P_0, the end cap h
 *   past P_n-1, as a square or a half circle (taken as 3.14 radians).
 *
 * The arc step is a = 2 p / h for precision p, so an arc of angle A has
 * trunc(A / a) points besides its ends.
 *
 * Decisions:
 *  - Repeated consecutive points are dropped before anything is built: a
 *    segment of length 0 has no direction, and its offset would be NaN. A
 *    polyline with fewer than 2 distinct points is a bad argument.
 *  - Half widths, precisions and coordinates that are not finite are bad
 *    arguments, as is a precision of 0 or less with any style.
 *  - A round cap always has at least 2 arc points (the step is at most half
 *    its half turn): with a precision coarser than the half width the rule
 *    would give it none, and a cap of 2 vertices has no inside to fill.
 *  - An arc never has more than 65536 points: a precision far finer than a
 *    pixel (p = 1e-300, say) would otherwise ask for more points than memory
 *    holds. At that count the chord of a 10000-pixel radius strays from the
 *    arc by 3e-6 pixel.
 */
#include "wide_polyline.h"

#include "../../base/holder.h"

#include <math.h>
#include <string.h>

namespace quill {

namespace {

constexpr double kHalfTurn = 3.14;
constexpr double kMaxArcPoints = 65536.0;
constexpr int64_t kMaxPoints = int64_t(1) << 24;

struct Vec {
    double x, y;
};
inline Vec operator+(Vec a, Vec b) { return {a.x + b.x, a.y + b.y}; }
inline Vec operator-(Vec a, Vec b) { return {a.x - b.x, a.y - b.y}; }
inline Vec operator*(double k, Vec a) { return {k * a.x, k * a.y}; }
inline Vec rotate(Vec v, double phi) {
    return {v.x * cos(phi) - v.y * sin(phi), v.x * sin(phi) + v.y * cos(phi)};
}

// The polygons handed out so far; all given back unless released.
class PolygonList {
public:
    ~PolygonList() {
        for (int32_t i = 0; i < count_; ++i)
            heap_release(array_[static_cast<size_t>(i)]);
    }
    bool reserve(int32_t capacity) { return array_.allocate(static_cast<size_t>(capacity)); }
    bool add(const Vec *points, int32_t n) {
        HeapBlock<uint8_t> block(8 + static_cast<size_t>(n) * 16);
        if (!block)
            return false;
        int32_t head[2] = {1, n};
        memcpy(block.get(), head, 8);
        memcpy(block.get() + 8, points, static_cast<size_t>(n) * 16);
        array_[static_cast<size_t>(count_++)] = block.release();
        return true;
    }
    int32_t count() const { return count_; }
    void **release() {
        count_ = 0;
        return reinterpret_cast<void **>(array_.release());
    }

private:
    HeapBlock<uint8_t *> array_;
    int32_t count_ = 0;
};

// Reads the polyline's points, dropping repeats; -1 when a coordinate is
// not finite or the count is out of range, else the distinct count.
int64_t read_points(const void *polyline, HeapBlock<Vec> &points) {
    int32_t n;
    memcpy(&n, polyline, 4);
    if (n < 2 || n > kMaxPoints || !points.allocate(static_cast<size_t>(n)))
        return n < 2 || n > kMaxPoints ? -1 : 0;
    const uint8_t *p = static_cast<const uint8_t *>(polyline) + 4;
    int64_t kept = 0;
    for (int32_t i = 0; i < n; ++i) {
        Vec v;
        memcpy(&v, p + static_cast<size_t>(i) * 16, 16);
        if (!isfinite(v.x) || !isfinite(v.y))
            return -1;
        if (kept > 0) {
            Vec last = points[static_cast<size_t>(kept - 1)];
            if (last.x == v.x && last.y == v.y)
                continue;
            // Points so far apart that their distance overflows have no
            // direction either.
            if (!isfinite(hypot(v.x - last.x, v.y - last.y)))
                return -1;
        }
        points[static_cast<size_t>(kept++)] = v;
    }
    return kept;
}

struct Builder {
    const Vec *p;
    int64_t n;
    double h;
    int32_t style;
    double a;
    PolygonList &out;
    HeapBlock<Vec> &scratch;

    Vec direction(int64_t i) const {
        Vec d = p[i + 1] - p[i];
        double length = hypot(d.x, d.y);
        return {d.x / length, d.y / length};
    }
    Vec offset(Vec d) const { return {h * d.y, -h * d.x}; }
    int32_t arc_points(double angle) const {
        double k = floor(angle / a);
        return static_cast<int32_t>(k < kMaxArcPoints ? k : kMaxArcPoints);
    }

    bool segment(int64_t i) {
        Vec v = offset(direction(i));
        Vec q[4] = {p[i] + v, p[i] - v, p[i + 1] - v, p[i + 1] + v};
        return out.add(q, 4);
    }

    bool join(int64_t i) {
        Vec di = direction(i), dn = direction(i + 1), vi = offset(di), vn = offset(dn), at = p[i + 1];
        double c = (vi.x * vn.x + vi.y * vn.y) / (h * h);
        double s = (vi.y * vn.x - vn.y * vi.x) / (h * h);
        bool minus = s >= 0;
        double side = minus ? -1.0 : 1.0;
        Vec nPoint = at + side * vn, qPoint = at + side * vi;
        Vec *q = scratch.get();
        int32_t m = 0;
        q[m++] = nPoint;
        q[m++] = at;
        q[m++] = qPoint;
        if (style == kWideSquare && c > -0.9) {
            double t = s == 0 ? 0.0 : (1 - c) / fabs(s);
            q[m++] = qPoint + (t * h) * di;
        } else if (style == kWideSquare) {
            q[m++] = qPoint + h * di;
            q[m++] = nPoint - h * dn;
        } else if (style == kWideRound) {
            double sigma = minus ? 1.0 : -1.0;
            int32_t k = arc_points(acos(c < -1 ? -1 : c > 1 ? 1 : c));
            for (int32_t j = 1; j <= k; ++j)
                q[m++] = qPoint + (sigma * (1 - cos(j * a))) * vi + (sin(j * a) * h) * di;
        }
        return out.add(q, m);
    }

    // The cap at the start (end = false) or the end of the line.
    bool cap(bool end) {
        int64_t i = end ? n - 2 : 0;
        Vec d = direction(i), v = offset(d), at = end ? p[n - 1] : p[0];
        Vec *q = scratch.get();
        int32_t m = 0;
        q[m++] = at - v;
        q[m++] = at + v;
        double reach = end ? h : -h;
        if (style == kWideSquare) {
            q[m++] = at + v + reach * d;
            q[m++] = at - v + reach * d;
        } else {
            int32_t k = arc_points(kHalfTurn);
            for (int32_t j = 1; j <= k; ++j)
                q[m++] = at + rotate(v, end ? j * a : -j * a);
        }
        return out.add(q, m);
    }
};

bool bad_arguments(const void *polyline, double h, int32_t style, double precision) {
    return !polyline || !isfinite(h) || h <= 0 || style < kWidePlain || style > kWideRound || !isfinite(precision) ||
           (style == kWideRound && precision <= 0);
}

} // namespace

int32_t wide_polyline(const void *polyline, double halfWidth, int32_t style, double precision, void ***out) {
    if (!out || bad_arguments(polyline, halfWidth, style, precision))
        return -1;
    *out = nullptr;
    HeapBlock<Vec> points;
    int64_t n = read_points(polyline, points);
    if (n < 2)
        return n == 0 ? 0 : -1;
    double a = style == kWideRound ? 2 * precision / halfWidth : 1.0;
    if (style == kWideRound && !(a >= kHalfTurn / kMaxArcPoints))
        a = kHalfTurn / kMaxArcPoints;
    if (style == kWideRound && a > kHalfTurn / 2)
        a = kHalfTurn / 2;
    int64_t polygons = (n - 1) + (n - 2) + (style == kWidePlain ? 0 : 2);
    PolygonList list;
    HeapBlock<Vec> scratch(static_cast<size_t>(kMaxArcPoints) + 8);
    if (!scratch || !list.reserve(static_cast<int32_t>(polygons)))
        return 0;
    Builder b{points.get(), n, halfWidth, style, a, list, scratch};
    for (int64_t i = 0; i + 1 < n; ++i)
        if (!b.segment(i))
            return 0;
    for (int64_t i = 0; i + 2 < n; ++i)
        if (!b.join(i))
            return 0;
    if (style != kWidePlain && (!b.cap(false) || !b.cap(true)))
        return 0;
    int32_t count = list.count();
    *out = list.release();
    return count;
}

} // namespace quill
