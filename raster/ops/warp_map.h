/*
 * warp_map.h - the geometry of QI_FrameTransform: setting up an affine
 * (method 1) or quadrilateral (method 2) map from result positions to source
 * positions, and mapping one result tile to the source pixel of each of its
 * pixels. Pure functions of numbers: no handles, no frames.
 */
#ifndef QUILL_RASTER_OPS_WARP_MAP_H
#define QUILL_RASTER_OPS_WARP_MAP_H

#include <stdint.h>

namespace quill {

// A source position that is no pixel of the source. Positions are held as
// int32 (every frame side fits) and are never negative.
constexpr int32_t kOutside = -1;

// One fixed-point value: value x 2^32 in a signed 64-bit integer.
using Fixed = int64_t;

// Converts v to fixed point as the conversion of the map does: the whole
// part of |v| must be below 2^31; the fraction is truncated to 32 bits and
// negative values negated. False when v is out of range or not finite.
bool to_fixed(double v, Fixed &out);

// The bounding box of the inside positions of a tile.
struct PixelBox {
    int32_t left, top, right, bottom; // inclusive; right < left when empty
    bool empty() const { return right < left; }
};

// Method 2, one source coordinate set up from a pair of opposite edges
// A-B (coordinate 0) and C-D (coordinate `span`).
struct QuadAxis {
    bool angular;
    double span;
    // Signed distances from the lines AB and CD: n.x * x + n.y * y + c,
    // each positive on the side of the other edge.
    double abX, abY, abC;
    double cdX, cdY, cdC;
    // Angular: the lines' meeting point K, the direction r from K along AB
    // and the angle from r to CD (signed).
    double kX, kY, rX, rY, theta;
};

struct WarpMap {
    int32_t method;
    int32_t sourceWidth, sourceHeight;
    int32_t resultWidth, resultHeight;
    // Method 1: source = M (x, y) + t, shifted so that result pixel (0, 0)
    // is the top-left of the extent; the matrix entries in fixed point.
    double m[6];
    Fixed m0, m1, m3, m4;
    // Method 1: left and top of the extent in the result plane.
    double extentLeft, extentTop;
    // Method 2: the plane position of result pixel (0, 0)'s top-left corner,
    // and the two coordinates.
    double planeLeft, planeTop;
    QuadAxis x, y;
};

// Sets up the map of `method` (1 or 2) from its parameter block (6 or 8
// finite doubles; checked by the caller) for a source of W x H pixels.
// False for a singular or too large matrix, a degenerate quadrilateral, or
// an empty or too large result. Nothing is written back here: the caller
// copies map.m[2] and map.m[5] into a method-1 block when it goes on.
bool warp_setup(int32_t method, const double *params, int32_t sourceWidth, int32_t sourceHeight, WarpMap &map);

// The source position (as doubles) of a point of the result frame's own
// coordinates (pixel (x, y) covers [x, x + 1) x [y, y + 1)). Method 1: the
// affine map; method 2: the warp, which may give a non-finite value where
// it does not reach.
void warp_point(const WarpMap &map, double x, double y, double &sx, double &sy);

// Method 2: the warp at a point of the plane in which the corners were
// given (used for the caller's `origin`).
void warp_plane_point(const WarpMap &map, double px, double py, double &sx, double &sy);

// The box of source positions that the tile at (x0, y0) of w x h result
// pixels can map to, widened by 2 pixels (see warp_map.cpp), as inclusive
// doubles. Exact for method 1; method 2 uses the tile's corners only.
void warp_tile_region(const WarpMap &map, int32_t x0, int32_t y0, int32_t w, int32_t h, double &left,
                      double &top, double &right, double &bottom);


// Rounds a fixed-point position to its pixel (exact halves go down).
inline int64_t fixed_pixel(Fixed v) { return (v + 0x7FFFFFFF) >> 32; }

// Method 1, one result tile as rows: the pixels of row j whose source is
// inside form the run [begin[j], end[j]) (the map is affine, so they are
// consecutive); x[j], y[j] hold the fixed-point position of pixel begin[j],
// and each pixel along the row adds (dx, dy). Sampling steps through these
// without a per-pixel inside test and without a list of positions.
struct AffineRows {
    int32_t begin[128], end[128];
    Fixed x[128], y[128];
    Fixed dx, dy;
};

// The rows of the w x h tile at (x0, y0) of a method-1 map, and the
// bounding box of its inside positions. False when the tile lies so far
// off that its fixed-point positions would not fit (the work stops then).
bool warp_affine_rows(const WarpMap &map, int32_t x0, int32_t y0, int32_t w, int32_t h, AffineRows &rows,
                      PixelBox &box);

// Writes the positions of the rows into xs and ys (the layout of
// warp_tile_positions), kOutside outside their runs.
void warp_rows_positions(const AffineRows &rows, int32_t w, int32_t h, int32_t *xs, int32_t *ys);

// Method 2: the source pixel of every pixel of the w x h tile at (x0, y0)
// of the result: xs[j * 128 + i], ys[j * 128 + i] for pixel (x0 + i,
// y0 + j), or xs = kOutside for a pixel outside the source. `box` receives
// the bounding box of the inside positions. (Method 1 goes by rows,
// warp_affine_rows, and writes positions only with warp_rows_positions.)
void warp_tile_positions(const WarpMap &map, int32_t x0, int32_t y0, int32_t w, int32_t h, int32_t *xs,
                         int32_t *ys, PixelBox &box);

} // namespace quill

#endif
