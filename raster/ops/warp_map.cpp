/*
 * warp_map.cpp - the maps of QI_FrameTransform, from result pixels back to
 * source pixels.
 *
 * Method 1 (affine). The caller's matrix maps a result position to a source
 * position. The result is the bounding box of the source's corners mapped
 * backwards by the inverse; the map's translation is shifted so that result
 * pixel (0, 0) is the box's top-left. Result pixel (x, y) samples the source
 * at the image of its centre, P = M (x + 1/2, y + 1/2) + t - (1/2, 1/2),
 * that is, in coordinates where source pixel i has its centre at i. P is
 * rounded to the nearest pixel with an exact half going down (to the upper
 * or left pixel): integer part, plus one when the fraction exceeds one half.
 * Per tile the image of the first pixel's centre is computed in doubles and
 * converted to fixed point (32 fraction bits); every other pixel adds the
 * fixed-point matrix entries along the row and from row to row, so the
 * inner loop is integer additions and one shift per coordinate. Rounding
 * is (X + 2^31 - 1) >> 32, which is the rule above for every sign.
 *
 * Method 2 (quadrilateral). The source corners (0, 0), (W, 0), (W, H) and
 * (0, H) land on P0, P1, P2 and P3. The source x coordinate comes from the
 * edge pair P0-P3 (x = 0) and P1-P2 (x = W), y from P0-P1 (y = 0) and
 * P3-P2 (y = H). For a pair A-B, C-D with span S:
 *  - linear, when the lines are parallel or their distances vary by at most
 *    half a pixel of the span over the edges ((dmax - dmin) / (dmax + dmin)
 *    x S <= 0.5): coordinate = S a / (a + b), with a and b the signed
 *    distances of the point from the lines AB and CD (each positive towards
 *    the other edge). For parallel lines a + b is the constant gap, so the
 *    map is affine and a parallelogram gives the same pixels as method 1;
 *    in every case it is exactly 0 on AB and S on CD.
 *  - angular otherwise: with K the lines' meeting point, coordinate =
 *    S phi / theta, where phi is the angle at K from the ray through AB to
 *    the point and theta the angle from that ray to the ray through CD:
 *    again exactly 0 on AB and S on CD, and constant along each ray from K.
 * Result pixel (x, y) is the plane point (L + x + 1/2, T + y + 1/2) with L
 * and T the floors of the corners' least x and y; it takes the source pixel
 * whose area holds its image (floor of each coordinate).
 *
 * Decisions:
 *  - Sampling at pixel centres in both methods. Sampling at the image of a
 *    pixel's corner while the extent is the box of the source's corners
 *    shifts the picture by up to a pixel: an exact quarter turn by matrix
 *    lost the source's top row and gained a column of background; a method-2
 *    rectangle of the source's own size, rounding centres to the nearest
 *    integer, moved the source by one pixel. With centres, the identity,
 *    the factor-2 reduction and the translation by 10.5 keep the pixels they
 *    had, and quarter turns by matrix or by corner order equal the quarter
 *    turns.
 *  - Positions are int32 with -1 as the outside mark: frames reach about
 *    92000 pixels a side, beyond what 16-bit positions with 0xFFFF for
 *    outside can hold.
 *  - Method 2 sets each coordinate from its own geometric edge pair, so the
 *    warp is right for every source shape (pairing the edges to the other
 *    span was right only for square sources), and scales the angular case by
 *    S / theta so that the far edge lands on S. Distances are signed, so
 *    points beyond an edge map outside instead of mirroring back in.
 *  - Method 2's result starts at the floor of the corners' box rather than
 *    at the plane's origin: a quadrilateral away from the origin would
 *    otherwise fall outside its own result. Its width and height are
 *    ceil(max) - floor(min), covering every pixel the corners touch.
 *  - The parallel test takes the sine of the angle between the edges (below
 *    1e-5), not the unnormalised cross product, so it does not depend on the
 *    edges' lengths. An edge of zero length, or opposite edges on one line,
 *    give no coordinate: the setup fails.
 *  - Method 1 keeps the extent, shift and determinant test (|det| >= 1e-6).
 *    A tile whose fixed-point positions could leave the 64-bit range (its
 *    first centre more than 2^31 - 128 (|m0| + |m1|) pixels away, which no
 *    sensible map gives) stops the work, as a failed conversion does.
 *  - The extent's width and height are ceil(max - min - 1e-7): a box a
 *    hair wider than a whole number of pixels (rounding of the inverse) does
 *    not gain a column of background.
 *  - Extents beyond the int32 range (a nearly singular matrix, huge
 *    corners) fail in the setup, before any frame is made.
 */
#include "warp_map.h"

#include <math.h>

namespace quill {

namespace {

constexpr double kTwo31 = 2147483648.0;
// Result sides stay a tile below the int32 limit, so that tile positions
// (a multiple of 128 plus 128) never overflow.
constexpr double kMaxSide = kTwo31 - 256;
constexpr double kTwo32 = 4294967296.0;
constexpr int32_t kStride = 128; // positions per tile row
// The inverse map's rounding can put an extent a hair above a whole number
// of pixels (a parallelogram 290 pixels wide measured 290 + 6e-14); the
// ceiling of that added a column of background.
constexpr double kExtentSlack = 1e-7;

struct Point {
    double x, y;
};

bool fits_int32(double v) { return v > -kTwo31 && v < kTwo31; }

// ---- Method 1 ---------------------------------------------------------

bool setup_affine(const double *p, int32_t W, int32_t H, WarpMap &map) {
    double m0 = p[0], m1 = p[1], m2 = p[2], m3 = p[3], m4 = p[4], m5 = p[5];
    double det = m0 * m4 - m1 * m3;
    if (!(fabs(det) >= 1e-6) || !isfinite(det))
        return false;
    // The inverse map, result = Minv (source - t).
    double ia = m4 / det, ib = -m1 / det, id = -m3 / det, ie = m0 / det;
    double ic = -(ia * m2 + ib * m5), ifx = -(id * m2 + ie * m5);
    const double cx[4] = {0, static_cast<double>(W), static_cast<double>(W), 0};
    const double cy[4] = {0, 0, static_cast<double>(H), static_cast<double>(H)};
    double minX = INFINITY, minY = INFINITY, maxX = -INFINITY, maxY = -INFINITY;
    for (int k = 0; k < 4; ++k) {
        double rx = ia * cx[k] + ib * cy[k] + ic, ry = id * cx[k] + ie * cy[k] + ifx;
        minX = fmin(minX, rx);
        maxX = fmax(maxX, rx);
        minY = fmin(minY, ry);
        maxY = fmax(maxY, ry);
    }
    if (!fits_int32(minX) || !fits_int32(minY) || !fits_int32(maxX) || !fits_int32(maxY))
        return false;
    double width = ceil(maxX - minX - kExtentSlack), height = ceil(maxY - minY - kExtentSlack);
    if (!(width >= 1 && height >= 1 && width < kMaxSide && height < kMaxSide))
        return false;
    map.m[0] = m0;
    map.m[1] = m1;
    map.m[2] = m2 + m0 * minX + m1 * minY;
    map.m[3] = m3;
    map.m[4] = m4;
    map.m[5] = m5 + m3 * minX + m4 * minY;
    if (!isfinite(map.m[2]) || !isfinite(map.m[5]))
        return false;
    if (!to_fixed(m0, map.m0) || !to_fixed(m1, map.m1) || !to_fixed(m3, map.m3) || !to_fixed(m4, map.m4))
        return false;
    map.extentLeft = minX;
    map.extentTop = minY;
    map.resultWidth = static_cast<int32_t>(width);
    map.resultHeight = static_cast<int32_t>(height);
    return true;
}

// floor(n / d) and ceil(n / d) for d > 0, in 128 bits: the run bounds
// below subtract positions near +-2^63 from limits near 2^63.
using Wide = __int128;
Wide floor_div(Wide n, Wide d) { return n >= 0 ? n / d : -((-n + d - 1) / d); }
Wide ceil_div(Wide n, Wide d) { return -floor_div(-n, d); }

// Narrows [b, e) to the i for which lo <= a + i d <= hi.
void narrow_run(Fixed a, Fixed d, Wide lo, Wide hi, int32_t &b, int32_t &e) {
    Wide first, last;
    if (d == 0) {
        if (a < lo || a > hi)
            e = b;
        return;
    }
    if (d > 0) {
        first = ceil_div(lo - a, d);
        last = floor_div(hi - a, d);
    } else {
        first = ceil_div(a - hi, -static_cast<Wide>(d));
        last = floor_div(a - lo, -static_cast<Wide>(d));
    }
    if (first > b)
        b = first > e ? e : static_cast<int32_t>(first);
    if (last + 1 < e)
        e = last + 1 < b ? b : static_cast<int32_t>(last + 1);
}

void widen_box(PixelBox &box, int64_t sx, int64_t sy) {
    box.left = sx < box.left ? static_cast<int32_t>(sx) : box.left;
    box.right = sx > box.right ? static_cast<int32_t>(sx) : box.right;
    box.top = sy < box.top ? static_cast<int32_t>(sy) : box.top;
    box.bottom = sy > box.bottom ? static_cast<int32_t>(sy) : box.bottom;
}

// The pixel of fixed-point position v is in [0, n) exactly when v lies in
// [-(2^31 - 1), n 2^32 - 2^31] (see fixed_pixel).
constexpr Wide kLowest = -static_cast<Wide>(0x7FFFFFFF);
Wide highest(int64_t n) { return static_cast<Wide>(n) * (static_cast<Wide>(1) << 32) - 0x80000000LL; }
inline bool within(Fixed v, Wide high) { return v >= kLowest && v <= high; }

} // namespace

bool warp_affine_rows(const WarpMap &map, int32_t x0, int32_t y0, int32_t w, int32_t h, AffineRows &rows,
                      PixelBox &box) {
    const double *m = map.m;
    double cx = x0 + 0.5, cy = y0 + 0.5;
    double px = m[0] * cx + m[1] * cy + m[2] - 0.5, py = m[3] * cx + m[4] * cy + m[5] - 0.5;
    // Every position of the tile stays below 2^31 in magnitude, so neither
    // the steps nor the rounding can overflow 64 bits.
    double reachX = fabs(px) + kStride * (fabs(m[0]) + fabs(m[1])) + 2;
    double reachY = fabs(py) + kStride * (fabs(m[3]) + fabs(m[4])) + 2;
    Fixed X0, Y0;
    if (!(reachX < kTwo31 && reachY < kTwo31) || !to_fixed(px, X0) || !to_fixed(py, Y0))
        return false;
    Wide highX = highest(map.sourceWidth), highY = highest(map.sourceHeight);
    rows.dx = map.m0;
    rows.dy = map.m3;
    box = PixelBox{INT32_MAX, INT32_MAX, -1, -1};
    for (int32_t j = 0; j < h; ++j) {
        Fixed X = X0 + j * map.m1, Y = Y0 + j * map.m4;
        int32_t b = 0, e = w;
        // Inside is an interval along the row: when both ends are inside,
        // so is the row, and no division is needed (most rows of a tile).
        Fixed lastX = X + (w - 1) * map.m0, lastY = Y + (w - 1) * map.m3;
        if (!(within(X, highX) && within(lastX, highX) && within(Y, highY) && within(lastY, highY))) {
            narrow_run(X, map.m0, kLowest, highX, b, e);
            narrow_run(Y, map.m3, kLowest, highY, b, e);
        }
        rows.begin[j] = b;
        rows.end[j] = e;
        rows.x[j] = X + b * map.m0;
        rows.y[j] = Y + b * map.m3;
        if (b < e) {
            // Affine along the row: the extremes are at the run's ends.
            widen_box(box, fixed_pixel(rows.x[j]), fixed_pixel(rows.y[j]));
            widen_box(box, fixed_pixel(X + (e - 1) * map.m0), fixed_pixel(Y + (e - 1) * map.m3));
        }
    }
    if (box.right < 0)
        box = PixelBox{0, 0, -1, -1};
    return true;
}

void warp_rows_positions(const AffineRows &rows, int32_t w, int32_t h, int32_t *xs, int32_t *ys) {
    for (int32_t j = 0; j < h; ++j) {
        int32_t *rowX = xs + j * kStride, *rowY = ys + j * kStride;
        Fixed X = rows.x[j], Y = rows.y[j];
        for (int32_t i = 0; i < w; ++i) {
            if (i < rows.begin[j] || i >= rows.end[j]) {
                rowX[i] = kOutside;
                continue;
            }
            rowX[i] = static_cast<int32_t>(fixed_pixel(X));
            rowY[i] = static_cast<int32_t>(fixed_pixel(Y));
            X += rows.dx;
            Y += rows.dy;
        }
    }
}

namespace {

// ---- Method 2 ---------------------------------------------------------

double cross(double ax, double ay, double bx, double by) { return ax * by - ay * bx; }

// The line through a and b as n.p + c, n a unit normal pointing towards
// `inside`; false when a == b or `inside` lies on the line.
bool side_line(Point a, Point b, Point inside, double &nx, double &ny, double &c) {
    double dx = b.x - a.x, dy = b.y - a.y, length = hypot(dx, dy);
    if (!(length > 0) || !isfinite(length))
        return false;
    nx = -dy / length;
    ny = dx / length;
    c = -(nx * a.x + ny * a.y);
    double s = nx * inside.x + ny * inside.y + c;
    if (!(fabs(s) > 1e-9))
        return false;
    if (s < 0) {
        nx = -nx;
        ny = -ny;
        c = -c;
    }
    return true;
}

bool setup_axis(Point A, Point B, Point C, Point D, double span, QuadAxis &axis) {
    Point midAB{(A.x + B.x) / 2, (A.y + B.y) / 2}, midCD{(C.x + D.x) / 2, (C.y + D.y) / 2};
    axis = QuadAxis{};
    axis.span = span;
    if (!side_line(A, B, midCD, axis.abX, axis.abY, axis.abC) || !side_line(C, D, midAB, axis.cdX, axis.cdY, axis.cdC))
        return false;
    auto ab = [&](Point p) { return axis.abX * p.x + axis.abY * p.y + axis.abC; };
    auto cd = [&](Point p) { return axis.cdX * p.x + axis.cdY * p.y + axis.cdC; };
    double d[4] = {fabs(ab(C)), fabs(ab(D)), fabs(cd(A)), fabs(cd(B))};
    double dmin = fmin(fmin(d[0], d[1]), fmin(d[2], d[3])), dmax = fmax(fmax(d[0], d[1]), fmax(d[2], d[3]));
    // The edges' directions are unit normals turned back: their cross
    // product is the sine of the angle between the lines.
    double sine = cross(axis.abY, -axis.abX, axis.cdY, -axis.cdX);
    if (fabs(sine) < 1e-5 || (dmax - dmin) / (dmax + dmin) * span <= 0.5)
        return true; // linear
    // K on AB where the distance from CD vanishes.
    double dA = cd(A), dB = cd(B), t = dA / (dA - dB);
    double kx = A.x + t * (B.x - A.x), ky = A.y + t * (B.y - A.y);
    double rx = midAB.x - kx, ry = midAB.y - ky, qx = midCD.x - kx, qy = midCD.y - ky;
    double theta = atan2(cross(rx, ry, qx, qy), rx * qx + ry * qy);
    if (!isfinite(kx) || !isfinite(ky) || !(fabs(theta) > 1e-12))
        return true; // K too far to matter: linear
    axis.angular = true;
    axis.kX = kx;
    axis.kY = ky;
    axis.rX = rx;
    axis.rY = ry;
    axis.theta = theta;
    return true;
}

double axis_value(const QuadAxis &axis, double px, double py) {
    if (axis.angular) {
        double vx = px - axis.kX, vy = py - axis.kY;
        double phi = atan2(cross(axis.rX, axis.rY, vx, vy), axis.rX * vx + axis.rY * vy);
        return axis.span * phi / axis.theta;
    }
    double a = axis.abX * px + axis.abY * py + axis.abC, b = axis.cdX * px + axis.cdY * py + axis.cdC;
    double gap = a + b;
    return gap > 0 ? axis.span * a / gap : NAN;
}

bool setup_quad(const double *p, int32_t W, int32_t H, WarpMap &map) {
    Point P[4];
    double minX = INFINITY, minY = INFINITY, maxX = -INFINITY, maxY = -INFINITY;
    for (int k = 0; k < 4; ++k) {
        P[k] = Point{p[2 * k], p[2 * k + 1]};
        minX = fmin(minX, P[k].x);
        maxX = fmax(maxX, P[k].x);
        minY = fmin(minY, P[k].y);
        maxY = fmax(maxY, P[k].y);
    }
    if (!fits_int32(minX) || !fits_int32(minY) || !fits_int32(maxX) || !fits_int32(maxY))
        return false;
    double left = floor(minX), top = floor(minY), width = ceil(maxX) - left, height = ceil(maxY) - top;
    if (!(width >= 1 && height >= 1 && width < kMaxSide && height < kMaxSide))
        return false;
    if (!setup_axis(P[0], P[3], P[1], P[2], W, map.x) || !setup_axis(P[0], P[1], P[3], P[2], H, map.y))
        return false;
    map.planeLeft = left;
    map.planeTop = top;
    map.resultWidth = static_cast<int32_t>(width);
    map.resultHeight = static_cast<int32_t>(height);
    return true;
}

// The source pixel of a coordinate, or -1 outside [0, limit) (NaN too).
inline int32_t quad_pixel(double v, int32_t limit) {
    return v >= 0 && v < static_cast<double>(limit) ? static_cast<int32_t>(v) : kOutside;
}

void quad_positions(const WarpMap &map, int32_t x0, int32_t y0, int32_t w, int32_t h, int32_t *xs, int32_t *ys,
                    PixelBox &box) {
    int32_t left = INT32_MAX, top = INT32_MAX, right = -1, bottom = -1;
    for (int32_t j = 0; j < h; ++j) {
        double py = map.planeTop + y0 + j + 0.5;
        for (int32_t i = 0; i < w; ++i) {
            double px = map.planeLeft + x0 + i + 0.5;
            int32_t sx = quad_pixel(axis_value(map.x, px, py), map.sourceWidth);
            int32_t sy = sx == kOutside ? kOutside : quad_pixel(axis_value(map.y, px, py), map.sourceHeight);
            int32_t k = j * kStride + i;
            if (sy == kOutside) {
                xs[k] = kOutside;
                continue;
            }
            xs[k] = sx;
            ys[k] = sy;
            left = sx < left ? sx : left;
            right = sx > right ? sx : right;
            top = sy < top ? sy : top;
            bottom = sy > bottom ? sy : bottom;
        }
    }
    box = right < 0 ? PixelBox{0, 0, -1, -1} : PixelBox{left, top, right, bottom};
}

} // namespace

bool to_fixed(double v, Fixed &out) {
    double magnitude = fabs(v);
    if (!(magnitude < kTwo31))
        return false;
    double whole = floor(magnitude);
    uint64_t bits = (static_cast<uint64_t>(whole) << 32) | static_cast<uint64_t>(floor((magnitude - whole) * kTwo32));
    out = v < 0 ? -static_cast<Fixed>(bits) : static_cast<Fixed>(bits);
    return true;
}

bool warp_setup(int32_t method, const double *params, int32_t sourceWidth, int32_t sourceHeight, WarpMap &map) {
    map = WarpMap{};
    map.method = method;
    map.sourceWidth = sourceWidth;
    map.sourceHeight = sourceHeight;
    if (sourceWidth < 1 || sourceHeight < 1)
        return false;
    if (method == 1)
        return setup_affine(params, sourceWidth, sourceHeight, map);
    if (method == 2)
        return setup_quad(params, sourceWidth, sourceHeight, map);
    return false;
}

void warp_plane_point(const WarpMap &map, double px, double py, double &sx, double &sy) {
    sx = axis_value(map.x, px, py);
    sy = axis_value(map.y, px, py);
}

void warp_point(const WarpMap &map, double x, double y, double &sx, double &sy) {
    if (map.method == 1) {
        sx = map.m[0] * x + map.m[1] * y + map.m[2];
        sy = map.m[3] * x + map.m[4] * y + map.m[5];
        return;
    }
    warp_plane_point(map, map.planeLeft + x, map.planeTop + y, sx, sy);
}

void warp_tile_region(const WarpMap &map, int32_t x0, int32_t y0, int32_t w, int32_t h, double &left, double &top,
                      double &right, double &bottom) {
    // Method 1 is affine: the centres' images lie in the box of the corners'
    // images (shifted by -1/2); the margin of 2 also covers the fixed-point
    // steps' truncation and the rounding.
    const double cx[4] = {0, static_cast<double>(w), static_cast<double>(w), 0};
    const double cy[4] = {0, 0, static_cast<double>(h), static_cast<double>(h)};
    double minX = INFINITY, minY = INFINITY, maxX = -INFINITY, maxY = -INFINITY;
    for (int k = 0; k < 4; ++k) {
        double sx, sy;
        warp_point(map, x0 + cx[k], y0 + cy[k], sx, sy);
        minX = fmin(minX, sx);
        maxX = fmax(maxX, sx);
        minY = fmin(minY, sy);
        maxY = fmax(maxY, sy);
    }
    left = floor(minX) - 2;
    top = floor(minY) - 2;
    right = ceil(maxX) + 2;
    bottom = ceil(maxY) + 2;
}

void warp_tile_positions(const WarpMap &map, int32_t x0, int32_t y0, int32_t w, int32_t h, int32_t *xs,
                         int32_t *ys, PixelBox &box) {
    quad_positions(map, x0, y0, w, h, xs, ys, box);
}

} // namespace quill
