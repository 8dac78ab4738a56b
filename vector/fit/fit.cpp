/*
 * fit.cpp - the line-fitting engine: integer chains into straight pieces.
 *
 * Algorithm, in four steps over a chain of points (the centres of a
 * segment's elements in doubled units, or a contour's unit steps):
 *
 * 1. Straight runs. A run is straight when every interior point lies within
 *    the tolerance of the chord from its first to its last point, measured
 *    as floor(cross^2 / |chord|^2) <= T in exact integers (128-bit squares:
 *    in doubled units a cross product reaches 2^35 and its square 2^70). The
 *    remaining points are cut from both ends towards the middle: the longest
 *    straight run from the front (dropping one point at a time from its end,
 *    halving instead when its ends coincide, as on a ring) and the longest
 *    from the back; when they overlap the middle is shared out, when they
 *    meet both are kept, and otherwise each gives up its innermost point to
 *    the next round, which works on the points between them.
 *
 *        front runs ->  |----|---|-----| ... |----|--|  <- back runs
 *
 *    Dropping one point at a time is quadratic in the worst case. The test
 *    remembers the last point that broke straightness and tries it first:
 *    a run that is too long usually fails on the same point again, so each
 *    shorter candidate costs one cross product instead of a pass. When the
 *    witness holds, the search for another goes outwards from it rather
 *    than from the run's first point: the deviation from the chord moves
 *    little when the chord loses a point, so the point that breaks it is
 *    usually a neighbour. On the standard drawing page that took the
 *    point tests from 95 to 35 million (the answer of the test does not
 *    depend on the order, so neither does the output).
 *    Trying every shorter candidate from the whole rest of the chain made
 *    the cut quadratic in the number of runs (14 million tests for the
 *    page's 16,000 long chains). Before a search, the cone of directions
 *    that keep the points after its start within the tolerance is walked
 *    until it empties (cone_limit): no chord can reach past that point, so
 *    longer candidates are skipped without a test, except the ones that end
 *    on the start's own point (they halve), which a Manhattan-distance jump
 *    finds. The search then costs about its run's length: straightness
 *    tests on the page fell from 14.8 to 1.6 million, the same runs.
 * 2. Least squares. Each run gets the line minimising vertical distances
 *    (y = a x + b) when its x spread is at least its y spread, else the
 *    steep form x = a y + b; the moment sums are exact 64-bit integers and
 *    the spreads n * sum(x^2) - sum(x)^2 are compared in 128 bits.
 * 3. Refinement, up to 8 rounds when there are at least two runs: at every
 *    boundary between neighbouring runs (for a ring also between the last
 *    and the first), the 2w points around it, w = min(shorter run / 2, 8),
 *    are given to the run whose line is nearer (the second one only when
 *    strictly nearer); the boundary moves to after the points that stay with
 *    the first, and both runs are refitted. Rounds stop when the largest
 *    distance of any point from its run's line stops shrinking. Only runs
 *    whose boundaries moved are refitted and measured again (most
 *    boundaries settle in the first round, and refitting every run in
 *    every round took a sixth of the fitting time). On a ring
 *    the boundary between the last and first runs moves too, so the first
 *    run may start before point 0 or after it (decision: the ring's seam is
 *    an arbitrary point, the leftmost centre of a closed stroke, and pinning
 *    a run boundary there left a visible kink on round strokes such as an
 *    O; indices are then taken modulo the ring).
 * 4. Vertices: the intersections of neighbouring lines; the ends of an open
 *    chain where the first and last lines meet an axis-parallel line through
 *    the first and last points. When two lines do not meet in range, or
 *    meet farther from the last point of the earlier run than twice the
 *    shorter run's chord (plus 4 units), the vertex is placed on the earlier
 *    line through the last point of the earlier run. The distance test
 *    (decision) catches nearly parallel runs of a gently bending stroke,
 *    whose lines meet far outside the stroke yet inside the range: on a
 *    75-degree bar of 4 pixels such a vertex landed 750 pixels off.
 *
 * Intersections (decision): lines are written as A x + B y = C and solved
 * by Cramer's rule; they are rejected when the determinant is exactly 0 or
 * when the solution is not finite or lies outside 0 .. 65535 on either
 * axis. A near-parallel pair gives a far-away solution that the range test
 * rejects; a relative threshold on the determinant was rejected because it
 * would also refuse meetings of nearly collinear runs that lie well inside
 * the drawing (the common case at a slight bend), which the range test
 * accepts as it should.
 */
#include "fit.h"

#include "quillstd.h"

#include <math.h>
#include <string.h>

namespace quill {
namespace fit {

Line line_through(double px, double py, double qx, double qy) {
    Line l;
    const double dx = qx - px, dy = qy - py;
    l.steep = fabs(dy) > fabs(dx);
    if (l.steep) {
        l.a = dx / dy;
        l.b = px - l.a * py;
    } else {
        l.a = dy / dx;
        l.b = py - l.a * px;
    }
    return l;
}

namespace {

bool in_range(double x, double y) {
    // NaN fails both comparisons.
    return x >= 0 && x <= kRangeMax && y >= 0 && y <= kRangeMax;
}

// A x + B y = C of a line.
void equation(const Line &l, double &A, double &B, double &C) {
    if (l.steep) { // x - a y = b
        A = 1, B = -l.a, C = l.b;
    } else { // -a x + y = b
        A = -l.a, B = 1, C = l.b;
    }
}

} // namespace

bool intersect(const Line &l1, const Line &l2, double &x, double &y) {
    double A1, B1, C1, A2, B2, C2;
    equation(l1, A1, B1, C1);
    equation(l2, A2, B2, C2);
    const double det = A1 * B2 - A2 * B1;
    if (det == 0 || !isfinite(det))
        return false;
    const double ix = (C1 * B2 - C2 * B1) / det;
    const double iy = (A1 * C2 - A2 * C1) / det;
    if (!in_range(ix, iy))
        return false;
    x = ix, y = iy;
    return true;
}

bool axis_point(const Line &l, double px, double py, double &x, double &y) {
    // First the axis line that always meets l: vertical for a flat line,
    // horizontal for a steep one; then the other one.
    double ax, ay;
    if (!l.steep) {
        ax = px, ay = l.a * px + l.b;
        if (in_range(ax, ay)) {
            x = ax, y = ay;
            return true;
        }
        if (l.a == 0)
            return false;
        ay = py, ax = (py - l.b) / l.a;
    } else {
        ay = py, ax = l.a * py + l.b;
        if (in_range(ax, ay)) {
            x = ax, y = ay;
            return true;
        }
        if (l.a == 0)
            return false;
        ax = px, ay = (px - l.b) / l.a;
    }
    if (!in_range(ax, ay))
        return false;
    x = ax, y = ay;
    return true;
}

void *polyline_block(const double *xy, uint32_t count) {
    const uint64_t bytes = 4 + 16 * uint64_t{count};
    if (bytes > UINT32_MAX)
        return nullptr;
    uint8_t *block = static_cast<uint8_t *>(qs_malloc(static_cast<uint32_t>(bytes)));
    if (block == nullptr)
        return nullptr;
    memcpy(block, &count, 4);
    if (count != 0)
        memcpy(block + 4, xy, 16 * size_t{count});
    return block;
}

double distance2(const Line &l, double x, double y) {
    const double r = l.steep ? x - l.a * y - l.b : y - l.a * x - l.b;
    return r * r / (l.a * l.a + 1);
}

namespace {

using i128 = __int128;

// The engine's working state for one chain.
class Fitter {
public:
    Fitter(const Chain &c, uint32_t tol, bool exhaustive) : c_(c), tol_(tol), exhaustive_(exhaustive) {}

    Status run(Polyline &out);

private:
    int64_t px(int64_t i) const { return c_.x[wrap(i)]; }
    int64_t py(int64_t i) const { return c_.y[wrap(i)]; }
    // Indices are mostly within one turn of the ring, which a compare
    // settles; the division (tens of cycles, and every point read goes
    // through here) is left for the rest.
    uint32_t wrap(int64_t i) const {
        const int64_t n = c_.n;
        if (i >= 0 && i < n)
            return static_cast<uint32_t>(i);
        if (i >= n && i < 2 * n)
            return static_cast<uint32_t>(i - n);
        i %= n;
        return static_cast<uint32_t>(i < 0 ? i + n : i);
    }
    bool same(int64_t i, int64_t j) const { return px(i) == px(j) && py(i) == py(j); }
    int64_t manhattan(int64_t i, int64_t j) const {
        const int64_t dx = px(j) - px(i), dy = py(j) - py(i);
        return (dx < 0 ? -dx : dx) + (dy < 0 ? -dy : dy);
    }
    int64_t cone_limit(int64_t at, int64_t stop, int dir) const;
    bool straight(int64_t first, int64_t last);
    uint32_t longest_front(int64_t lo, uint32_t r);
    uint32_t longest_back(int64_t hi, uint32_t r);
    void cut();
    int64_t run_end(uint32_t j) const { // one past the run's last point
        if (j + 1 < runs_)
            return start_[j + 1];
        return c_.ring ? start_[0] + c_.n : c_.n;
    }
    void fit_run(uint32_t j);
    void refine_pair(uint32_t j);
    double run_worst(uint32_t j) const;
    double worst();
    void refine();
    bool near_boundary(uint32_t j, uint32_t k, double x, double y) const;
    bool vertices(Polyline &out);

    const Chain &c_;
    uint32_t tol_;
    bool exhaustive_;
    int64_t witness_ = -1;
    int64_t maxStep_ = 1; // the largest Manhattan step between neighbours
    // One working block per chain (one allocation rather than three: the
    // page's 280,000 chains are mostly specks of a few runs):
    HeapBlock<uint8_t> work_;
    int64_t *start_ = nullptr; // 2n run starts (the first may be negative or
                               // past 0 on a ring after refinement)
    Line *line_ = nullptr;     // n lines
    // Per run: the largest squared distance of its points from its line,
    // or a negative value when the run was refitted since it was measured.
    double *worst_ = nullptr;
    uint32_t runs_ = 0;
};

bool Fitter::straight(int64_t first, int64_t last) {
    if (last - first < 2 || same(first, last))
        return true;
    const int64_t dx = px(last) - px(first), dy = py(last) - py(first);
    const int64_t x0 = px(first), y0 = py(first);
    // floor(c^2 / len2) <= T  <=>  c^2 < (T + 1) * len2. A chord below 2^29
    // on both axes keeps each cross product of 32-bit coordinates within
    // 64 bits, and its square fits too while |c| < 2^31: that settles
    // almost every test without 128-bit products (chains in doubled units
    // stay below 2^17); the rest take the exact wide path. A limit of 2^62
    // or more exceeds every such square.
    const bool narrow = dx > -(int64_t{1} << 29) && dx < (int64_t{1} << 29) && dy > -(int64_t{1} << 29) &&
                        dy < (int64_t{1} << 29);
    int64_t limit64 = 0;
    bool limitFits = false;
    if (narrow) {
        const int64_t len2 = dx * dx + dy * dy;
        limitFits = !__builtin_mul_overflow(int64_t{tol_} + 1, len2, &limit64) && limit64 < (int64_t{1} << 62);
    }
    auto fails = [&](int64_t k) {
        if (narrow) {
            const int64_t c = (px(k) - x0) * dy - (py(k) - y0) * dx;
            if (c > -(int64_t{1} << 31) && c < (int64_t{1} << 31))
                return limitFits && c * c >= limit64;
        }
        const i128 limit = (i128{tol_} + 1) * (i128{dx} * dx + i128{dy} * dy);
        const i128 cr = i128{px(k) - x0} * dy - i128{py(k) - y0} * dx;
        return cr * cr >= limit;
    };
    auto failed_at = [&](int64_t k) {
        if (!fails(k))
            return false;
        witness_ = k;
        return true;
    };
    if (exhaustive_ || witness_ <= first || witness_ >= last) {
        for (int64_t k = first + 1; k < last; ++k)
            if (failed_at(k))
                return false;
        return true;
    }
    if (fails(witness_))
        return false;
    // Outwards from the witness, alternately after and before it: the
    // point that breaks a slightly shorter chord lies near the one that
    // broke the longer one.
    for (int64_t after = witness_ + 1, before = witness_ - 1; after < last || before > first;) {
        if (after < last && failed_at(after++))
            return false;
        if (before > first && failed_at(before--))
            return false;
    }
    return true;
}

// The cone of chord directions from point `at` that keep the points after
// it (walking by dir, +1 or -1, up to `stop`) inside the tolerance strip:
// returns the first point at which no direction is left, or stop + dir.
// A chord from `at` to a point e that does not coincide with it can then
// be straight only if e lies no farther than that point: every point
// strictly between them is a constraint that the chord's direction meets.
//
// Each point k at squared distance l2 > 4 (T + 1) from `at` allows the
// directions within asin(sqrt((T + 1) / l2)) < 30 degrees of the line
// through it (either way along the line); nearer points are left out,
// which only widens the cone. The cone is kept as two unit vectors, its
// clockwise and counter-clockwise bounds, and narrowed by cross products;
// of the two opposite arcs of a point the one nearer the cone is taken
// (both are under 60 degrees wide, so only that one can meet it). Doubles
// round the bounds by about 1e-15 radians; the cone counts as empty only
// when its bounds have crossed by more than 1e-9, so it never loses a
// direction that the exact test would accept.
int64_t Fitter::cone_limit(int64_t at, int64_t stop, int dir) const {
    const double t1 = static_cast<double>(tol_) + 1, w = sqrt(t1), nearest = 4 * t1;
    const int64_t x0 = px(at), y0 = py(at);
    bool open = false;
    double lx = 0, ly = 0, hx = 0, hy = 0; // clockwise and counter-clockwise bounds
    for (int64_t k = at + dir; dir > 0 ? k <= stop : k >= stop; k += dir) {
        double vx = static_cast<double>(px(k) - x0), vy = static_cast<double>(py(k) - y0);
        const double l2 = vx * vx + vy * vy;
        if (!(l2 > nearest))
            continue;
        if (open && vx * (lx + hx) + vy * (ly + hy) < 0)
            vx = -vx, vy = -vy;
        const double c = sqrt(l2 - t1) / l2, s = w / l2;
        const double ax = vx * c + vy * s, ay = vy * c - vx * s; // v turned clockwise
        const double bx = vx * c - vy * s, by = vy * c + vx * s; // and counter-clockwise
        if (!open) {
            lx = ax, ly = ay, hx = bx, hy = by;
            open = true;
            continue;
        }
        if (lx * ay - ly * ax > 0)
            lx = ax, ly = ay;
        if (hx * by - hy * bx < 0)
            hx = bx, hy = by;
        if (lx * hy - ly * hx < -1e-9)
            return k;
    }
    return stop + dir;
}

// The longest straight run from lo among the r points lo .. lo + r - 1: the
// longest candidate first, one point shorter at a time (halving when its
// ends coincide). Candidates ending past the cone's limit are known to
// fail; among them only those that end on lo's own point matter (they
// halve), and a candidate end at Manhattan distance d from lo is at least
// ceil(d / maxStep_) points from the nearest that can.
uint32_t Fitter::longest_front(int64_t lo, uint32_t r) {
    const int64_t limit = exhaustive_ ? lo + r : cone_limit(lo, lo + r - 1, 1);
    uint32_t i = r;
    while (i > 2) {
        const int64_t e = lo + i - 1;
        if (e > limit) {
            const int64_t d = manhattan(lo, e);
            if (d == 0) {
                i = i / 2 < 2 ? 2 : i / 2;
                continue;
            }
            const int64_t next = e - (d + maxStep_ - 1) / maxStep_;
            i = static_cast<uint32_t>((next > limit ? next : limit) - lo + 1);
            continue;
        }
        if (same(lo, lo + i - 1)) {
            i = i / 2 < 2 ? 2 : i / 2;
            continue;
        }
        if (straight(lo, lo + i - 1))
            return i;
        --i;
    }
    return r < 2 ? r : 2;
}

// As longest_front, from the back.
uint32_t Fitter::longest_back(int64_t hi, uint32_t r) {
    const int64_t limit = exhaustive_ ? hi - r : cone_limit(hi, hi - r + 1, -1);
    uint32_t b = r;
    while (b > 2) {
        const int64_t s = hi - b + 1;
        if (s < limit) {
            const int64_t d = manhattan(s, hi);
            if (d == 0) {
                b = b / 2 < 2 ? 2 : b / 2;
                continue;
            }
            const int64_t next = s + (d + maxStep_ - 1) / maxStep_;
            b = static_cast<uint32_t>(hi - (next < limit ? next : limit) + 1);
            continue;
        }
        if (same(hi - b + 1, hi)) {
            b = b / 2 < 2 ? 2 : b / 2;
            continue;
        }
        if (straight(hi - b + 1, hi))
            return b;
        --b;
    }
    return r < 2 ? r : 2;
}

// Step 1: front runs fill start_ from the front, back runs are collected in
// the back half of the same block and moved down at the end.
void Fitter::cut() {
    const uint32_t n = c_.n;
    int64_t *front = start_;
    int64_t *back = start_ + n; // back runs in the order found
    uint32_t nf = 0, nb = 0;
    int64_t lo = 0, hi = static_cast<int64_t>(n) - 1;
    witness_ = -1;
    maxStep_ = 1;
    for (int64_t k = 1; k <= hi; ++k) {
        const int64_t d = manhattan(k - 1, k);
        maxStep_ = d > maxStep_ ? d : maxStep_;
    }
    for (;;) {
        const uint32_t r = static_cast<uint32_t>(hi - lo + 1);
        const uint32_t i = longest_front(lo, r);
        if (i >= r) {
            front[nf++] = lo;
            break;
        }
        const uint32_t b = longest_back(hi, r);
        if (b >= r) {
            back[nb++] = lo;
            break;
        }
        if (i + b > r) {
            const uint32_t fi = (i + r - b - 1) / 2;
            if (fi > 0)
                front[nf++] = lo;
            back[nb++] = lo + fi;
            break;
        }
        if (i + b == r) {
            front[nf++] = lo;
            back[nb++] = hi - b + 1;
            break;
        }
        front[nf++] = lo;
        back[nb++] = hi - b + 2;
        lo += i - 1;
        hi -= b - 1;
    }
    for (uint32_t k = 0; k < nb; ++k)
        front[nf + k] = back[nb - 1 - k];
    runs_ = nf + nb;
}

void Fitter::fit_run(uint32_t j) {
    const int64_t s = start_[j], e = run_end(j);
    const int64_t m = e - s;
    Line &l = line_[j];
    if (m <= 0) {
        l = Line{};
        return;
    }
    // Moments relative to the run's first point keep the sums small.
    const int64_t ox = px(s), oy = py(s);
    int64_t sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
    for (int64_t k = s; k < e; ++k) {
        const int64_t x = px(k) - ox, y = py(k) - oy;
        sx += x, sy += y, sxx += x * x, syy += y * y, sxy += x * y;
    }
    const i128 dxx = i128{m} * sxx - i128{sx} * sx;
    const i128 dyy = i128{m} * syy - i128{sy} * sy;
    const i128 dxy = i128{m} * sxy - i128{sx} * sy;
    const double fm = static_cast<double>(m);
    if ((dxx < 0 ? -dxx : dxx) >= (dyy < 0 ? -dyy : dyy)) {
        l.steep = false;
        l.a = dxx == 0 ? 0.0 : static_cast<double>(dxy) / static_cast<double>(dxx);
        l.b = (static_cast<double>(sy) - l.a * static_cast<double>(sx)) / fm;
        l.b += static_cast<double>(oy) - l.a * static_cast<double>(ox);
    } else {
        l.steep = true;
        l.a = static_cast<double>(dxy) / static_cast<double>(dyy);
        l.b = (static_cast<double>(sx) - l.a * static_cast<double>(sy)) / fm;
        l.b += static_cast<double>(ox) - l.a * static_cast<double>(oy);
    }
}

void Fitter::refine_pair(uint32_t j) {
    const uint32_t k = j + 1 < runs_ ? j + 1 : 0;
    const int64_t boundary = run_end(j);
    const int64_t len1 = boundary - start_[j], len2 = run_end(k) - start_[k];
    const int64_t m = len1 < len2 ? len1 : len2;
    const int64_t w = m / 2 < 8 ? m / 2 : 8;
    if (w <= 0)
        return;
    int64_t stay = 0;
    for (int64_t p = boundary - w; p < boundary + w; ++p) {
        const double x = static_cast<double>(px(p)), y = static_cast<double>(py(p));
        stay += !(distance2(line_[k], x, y) < distance2(line_[j], x, y));
    }
    const int64_t moved = boundary - w + stay;
    // A boundary that stays leaves both runs as they are: their lines are
    // those of their current points already (fitting is deterministic).
    if (moved == boundary && !exhaustive_)
        return;
    if (k == 0)
        start_[0] = moved - c_.n; // the ring's seam moves with its boundary
    else
        start_[k] = moved;
    fit_run(j);
    fit_run(k);
    worst_[j] = worst_[k] = -1;
}

double Fitter::run_worst(uint32_t j) const {
    double w = 0;
    for (int64_t p = start_[j], e = run_end(j); p < e; ++p) {
        const double d = distance2(line_[j], static_cast<double>(px(p)), static_cast<double>(py(p)));
        w = d > w ? d : w;
    }
    return w;
}

// The largest distance of any point from its run's line; only the runs
// refitted since the last call are measured again.
double Fitter::worst() {
    double w = 0;
    for (uint32_t j = 0; j < runs_; ++j) {
        if (worst_[j] < 0 || exhaustive_)
            worst_[j] = run_worst(j);
        w = worst_[j] > w ? worst_[j] : w;
    }
    return w;
}

void Fitter::refine() {
    if (runs_ < 2)
        return;
    for (uint32_t j = 0; j < runs_; ++j)
        worst_[j] = -1;
    double previous = worst();
    for (int round = 0; round < 8; ++round) {
        const uint32_t pairs = c_.ring ? runs_ : runs_ - 1;
        for (uint32_t j = 0; j < pairs; ++j)
            refine_pair(j);
        const double now = worst();
        if (!(now < previous))
            break;
        previous = now;
    }
}

// Whether the meeting point of runs j and k lies near where they meet:
// within twice the shorter run's chord (plus 4 units) of the last point of
// run j. Two nearly parallel lines fitted to a gently bending stroke meet
// far away, still inside the range; such a vertex is no corner.
bool Fitter::near_boundary(uint32_t j, uint32_t k, double x, double y) const {
    auto chord = [&](uint32_t r) {
        const int64_t s = start_[r], e = run_end(r) - 1;
        return hypot(static_cast<double>(px(e) - px(s)), static_cast<double>(py(e) - py(s)));
    };
    const int64_t b = run_end(j) - 1;
    const double cj = chord(j), ck = chord(k);
    const double limit = 2 * (cj < ck ? cj : ck) + 4;
    return hypot(x - static_cast<double>(px(b)), y - static_cast<double>(py(b))) <= limit;
}

bool Fitter::vertices(Polyline &out) {
    const uint32_t count = runs_ + 1;
    if (!out.xy.allocate(2 * size_t{count}))
        return false;
    double *v = out.xy.get();
    uint32_t at = 0;
    bool ok = true;
    auto put_axis = [&](const Line &l, int64_t p) {
        double x, y;
        if (!axis_point(l, static_cast<double>(px(p)), static_cast<double>(py(p)), x, y))
            return false;
        v[2 * at] = x, v[2 * at + 1] = y, ++at;
        return true;
    };
    if (!c_.ring)
        ok = put_axis(line_[0], 0);
    const uint32_t pairs = c_.ring ? runs_ : runs_ - 1;
    for (uint32_t j = 0; ok && j < pairs; ++j) {
        const uint32_t k = j + 1 < runs_ ? j + 1 : 0;
        double x, y;
        if (intersect(line_[j], line_[k], x, y) && near_boundary(j, k, x, y)) {
            v[2 * at] = x, v[2 * at + 1] = y, ++at;
        } else {
            ok = put_axis(line_[j], run_end(j) - 1);
        }
    }
    if (ok && !c_.ring)
        ok = put_axis(line_[runs_ - 1], static_cast<int64_t>(c_.n) - 1);
    if (ok && c_.ring) {
        v[2 * at] = v[0], v[2 * at + 1] = v[1];
        ++at;
    }
    out.count = at;
    out.runs = runs_;
    return ok;
}

Status Fitter::run(Polyline &out) {
    const uint32_t n = c_.n;
    if (n == 0)
        return Status::refused;
    // Room for up to n front and n back runs while cutting.
    if (!work_.allocate((2 * sizeof(int64_t) + sizeof(Line) + sizeof(double)) * size_t{n}))
        return Status::no_memory;
    start_ = reinterpret_cast<int64_t *>(work_.get());
    line_ = reinterpret_cast<Line *>(start_ + 2 * size_t{n});
    worst_ = reinterpret_cast<double *>(line_ + n);
    cut();
    for (uint32_t j = 0; j < runs_; ++j)
        fit_run(j);
    refine();
    for (uint32_t j = 0; j < runs_; ++j)
        if (run_end(j) - start_[j] < 2)
            return Status::refused;
    if (!vertices(out)) {
        const bool memory = !out.xy;
        out.xy.reset();
        out.count = 0;
        return memory ? Status::no_memory : Status::refused;
    }
    return Status::ok;
}

} // namespace

Status fit_chain(const Chain &chain, uint32_t tol, Polyline &out, bool exhaustive) {
    out.xy.reset();
    out.count = out.runs = 0;
    if (chain.x == nullptr || chain.y == nullptr)
        return Status::refused;
    Fitter f(chain, tol, exhaustive);
    return f.run(out);
}

} // namespace fit
} // namespace quill
