/*
 * placement.cpp - the geometry of a view's placement: four corners p0..p3
 * (top-left, top-right, bottom-right, bottom-left of the base) in world
 * coordinates with y negated, so y grows downwards like raster rows.
 *
 * Map:
 *  - form tests: finite, convex with one turn direction, equal within
 *    0.0001, edge codes (which of the eight orthogonal cases, if any);
 *  - boxes, point-in-quadrilateral and the span of a row;
 *  - the affine map from world to base pixels through p0, p1 and p3;
 *  - QI_DoubleBoundRect, QI_AllViewsCoverRect, QI_USFrameNormalPos.
 *
 * A convex quadrilateral with a consistent turn is tested point by point
 * with the signs of the four edge cross products: a point is inside (or on
 * the boundary) when none of them has the sign opposite to the turn. The
 * span of a row is the range of the crossings of the row's line with the
 * four edges (a convex shape meets a line in one interval), with the
 * corners on the line counted too.
 */
#include "usframes.h"

#include "../core/library_state.h"

#include <math.h>
#include <string.h>

namespace quill {

namespace {

struct Vec {
    double x, y;
};

Vec corner(const double *p, int i) { return {p[2 * (i & 3)], p[2 * (i & 3) + 1]}; }
Vec sub(Vec a, Vec b) { return {a.x - b.x, a.y - b.y}; }
double cross(Vec a, Vec b) { return a.x * b.y - a.y * b.x; }

// Sign of the turn of a convex placement: +1 or -1 (0 when degenerate).
int turn_of(const double *p) {
    int first = 0;
    for (int i = 0; i < 4; ++i) {
        Vec e = sub(corner(p, i + 1), corner(p, i));
        Vec f = sub(corner(p, i + 2), corner(p, i + 1));
        int s = qs_dsign(cross(e, f));
        if (s == 0 || (first != 0 && s != first))
            return 0;
        first = s;
    }
    return first;
}

double snap(double v) { return fabs(v) < kPlacementTolerance ? 0.0 : v; }

int edge_code(Vec e) {
    double x = snap(e.x), y = snap(e.y);
    if (y == 0 && x > 0)
        return 0;
    if (x == 0 && y > 0)
        return 1;
    if (y == 0 && x < 0)
        return 2;
    if (x == 0 && y < 0)
        return 3;
    return 4;
}

} // namespace

void negate_placement_y(double *placement) {
    for (int i = 1; i < 8; i += 2)
        placement[i] = -placement[i];
}

bool placement_is_finite(const double *placement) {
    for (int i = 0; i < 8; ++i)
        if (!isfinite(placement[i]))
            return false;
    return true;
}

bool placement_is_convex(const double *placement) { return turn_of(placement) != 0; }

bool placements_equal(const double *a, const double *b) {
    for (int i = 0; i < 8; ++i)
        if (!(fabs(a[i] - b[i]) <= kPlacementTolerance))
            return false;
    return true;
}

void placement_edge_codes(const double *placement, int codes[4]) {
    for (int i = 0; i < 4; ++i)
        codes[i] = edge_code(sub(corner(placement, i + 1), corner(placement, i)));
}

bool placement_is_orthogonal(const double *placement) {
    int codes[4];
    placement_edge_codes(placement, codes);
    return codes[0] < 4 && codes[1] < 4 && codes[2] < 4 && codes[3] < 4;
}

int placement_orientation(const double *placement) {
    // Edge codes of (e0, e1, e2, e3) for each orientation, in the order of
    // the view frames' builders.
    static const int kCodes[8][4] = {{0, 1, 2, 3}, {1, 2, 3, 0}, {3, 0, 1, 2}, {2, 3, 0, 1},
                                     {3, 2, 1, 0}, {1, 0, 3, 2}, {0, 3, 2, 1}, {2, 1, 0, 3}};
    int codes[4];
    placement_edge_codes(placement, codes);
    for (int o = 0; o < 8; ++o)
        if (memcmp(kCodes[o], codes, sizeof codes) == 0)
            return o;
    return -1;
}

void orient_pixel(int o, int32_t W, int32_t H, int32_t u, int32_t v, int32_t &x, int32_t &y) {
    switch (o) {
    case 1: x = H - 1 - v, y = u; break;
    case 2: x = v, y = W - 1 - u; break;
    case 3: x = W - 1 - u, y = H - 1 - v; break;
    case 4: x = H - 1 - v, y = W - 1 - u; break;
    case 5: x = v, y = u; break;
    case 6: x = u, y = H - 1 - v; break;
    case 7: x = W - 1 - u, y = v; break;
    default: x = u, y = v; break;
    }
}

void placement_box(const double *placement, double box[4]) {
    box[0] = box[2] = placement[0];
    box[1] = box[3] = placement[1];
    for (int i = 1; i < 4; ++i) {
        box[0] = fmin(box[0], placement[2 * i]);
        box[2] = fmax(box[2], placement[2 * i]);
        box[1] = fmin(box[1], placement[2 * i + 1]);
        box[3] = fmax(box[3], placement[2 * i + 1]);
    }
}

bool point_in_placement(const double *placement, double x, double y) {
    int turn = turn_of(placement);
    if (turn == 0)
        return false;
    for (int i = 0; i < 4; ++i) {
        Vec a = corner(placement, i), b = corner(placement, i + 1);
        if (qs_dsign(cross(sub(b, a), {x - a.x, y - a.y})) == -turn)
            return false;
    }
    return true;
}

bool placement_row_span(const double *placement, double y, double &from, double &to) {
    from = INFINITY;
    to = -INFINITY;
    for (int i = 0; i < 4; ++i) {
        Vec a = corner(placement, i), b = corner(placement, i + 1);
        if (a.y == y) {
            from = fmin(from, a.x);
            to = fmax(to, a.x);
        }
        if ((a.y < y && b.y > y) || (a.y > y && b.y < y)) {
            double x = a.x + (y - a.y) * (b.x - a.x) / (b.y - a.y);
            from = fmin(from, x);
            to = fmax(to, x);
        }
    }
    return from <= to;
}

bool placement_to_base(const double *placement, int32_t width, int32_t height, double m[6]) {
    Vec p0 = corner(placement, 0);
    Vec a = sub(corner(placement, 1), p0), b = sub(corner(placement, 3), p0);
    double d = cross(a, b);
    if (!(fabs(d) > 0) || !isfinite(d))
        return false;
    // A zero component stays an exact zero: an axis-parallel placement then
    // maps with no cross term at all.
    m[0] = b.y == 0 ? 0.0 : width * b.y / d;
    m[1] = b.x == 0 ? 0.0 : -width * b.x / d;
    m[3] = a.y == 0 ? 0.0 : -height * a.y / d;
    m[4] = a.x == 0 ? 0.0 : height * a.x / d;
    m[2] = -(m[0] * p0.x + m[1] * p0.y);
    m[5] = -(m[3] * p0.x + m[4] * p0.y);
    for (int i = 0; i < 6; ++i)
        if (!isfinite(m[i]))
            return false;
    return true;
}

} // namespace quill

using namespace quill;

extern "C" QI_API void QI_DoubleBoundRect(const double *placement, double *out) {
    if (placement && out)
        placement_box(placement, out);
}

namespace {

bool view_shows_all_colours(const QI_USFrameRecord &u) {
    return u.colourCount == 0 || u.foreground == -1 || u.background == -1;
}

// True when the view at `index` shows every colour and its placement holds
// the four corners of the rect (y negated).
bool view_covers(int32_t index, const double *rect) {
    const ViewRecord *v = view_at(index);
    if (!v)
        return false;
    const QI_USFrameRecord *u = usframe_lookup(v->usframe);
    if (!u || !view_shows_all_colours(*u))
        return false;
    for (int i = 0; i < 4; ++i)
        if (!point_in_placement(v->placement, rect[(i & 1) * 2], rect[(i >> 1) * 2 + 1]))
            return false;
    return true;
}

} // namespace

extern "C" QI_API int QI_AllViewsCoverRect(const int32_t *pairs, int32_t count, const double *rect) {
    if (!g_views.views || !rect)
        return 0;
    double r[4] = {rect[0], -rect[1], rect[2], -rect[3]};
    for (int i = 0; i < 4; ++i)
        if (!isfinite(r[i]))
            return 0;
    if (pairs) {
        for (int32_t k = count - 1; k >= 0; --k)
            if (view_covers(view_find(pairs[2 * k], pairs[2 * k + 1]), r))
                return 1;
        return 0;
    }
    for (int32_t index = slot_table_highest(g_views.views); index >= 0; --index)
        if (view_covers(index, r))
            return 1;
    return 0;
}

namespace {

// |e.x| or |e.y| small against |e|^2: the edge runs along an axis.
bool axis_parallel(Vec e) {
    double n2 = e.x * e.x + e.y * e.y;
    return fabs(e.x) <= 1e-8 * n2 || fabs(e.y) <= 1e-8 * n2;
}

// Squared cosine of the angle between a and b at most 1e-8.
bool perpendicular(Vec a, Vec b) {
    double dot = a.x * b.x + a.y * b.y;
    double n = (a.x * a.x + a.y * a.y) * (b.x * b.x + b.y * b.y);
    return n > 0 && dot * dot <= 1e-8 * n;
}

} // namespace

extern "C" QI_API int QI_USFrameNormalPos(int usframe, int viewId) {
    int32_t index = view_find(usframe, viewId);
    const ViewRecord *v = view_at(index);
    if (!v)
        return 0;
    double p[8];
    memcpy(p, v->placement, sizeof p);
    negate_placement_y(p); // world form: y up
    Vec p0 = corner(p, 0), p1 = corner(p, 1), p2 = corner(p, 2), p3 = corner(p, 3);
    if (!(p0.x < p1.x) || !(p3.y < p0.y))
        return 0;
    Vec e = sub(p1, p0);
    bool upright = axis_parallel(e) && perpendicular(sub(p3, p0), e) && perpendicular(sub(p1, p2), sub(p3, p2));
    return upright ? 1 : 0;
}
