/*
 * warp_test.cpp - QI_FrameTransform (affine and quadrilateral warps) and
 * QI_DmriUniformFill.
 *
 * Method 1 is checked against a plain per-pixel reference kept here: the
 * extent from the source corners mapped backwards, and for each result
 * pixel the image of its centre rounded to the nearest source pixel (an
 * exact half going to the upper or left one), computed in doubles. Pixels
 * whose image lies within 1e-6 of a rounding boundary may differ (the
 * operation steps in fixed point); with dyadic matrices, where both are
 * exact, none may. Method 2 is checked by its geometry: a rectangle gives
 * the source, a parallelogram the pixels of method 1, corner orders the
 * quarter turns, and the source corners and edges land on the given ones.
 */
#include "fault_steps.h"
#include "outline_support.h"
#include "raster_support.h"
#include "test_support.h"

#include "base/test_hooks.h"
#include "raster/ops/warp_map.h"
#include "raster/ops/warp_sample.h"

#include <math.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

using namespace quill_test;

namespace {

constexpr uint32_t kWhite = 0x7F7FFF, kBlack = 0x7F7F00;

// The pixel value (as Raster::get gives it) that a background colour puts
// into a raster of the kind (bilevel: patterns 0x00 and 0xFF only).
uint32_t background_pixel(int32_t kind, uint32_t colour) {
    if (kind == 1)
        return colour & 1u;
    return kind == 2 ? colour & 0xFF : colour & 0xFFFFFF;
}

Raster random_raster(int32_t w, int32_t h, int32_t kind, std::mt19937 &random) {
    Raster r(w, h, kind);
    r.fill_random(random);
    return r;
}

int frame_count() {
    int n = 0;
    for (int i = 0; i < 256; ++i)
        n += QI_FrameGetData(i) != nullptr;
    return n;
}

// QI_FrameTransform on a copy of a parameter block (6 or 8 values, the
// rest read as 0), which the caller may see afterwards in `after`.
int warp(int frame, int method, const double *params, uint32_t background, int *origin = nullptr,
         double *after = nullptr, int storage = QI_STORAGE_MEMORY) {
    double block[8] = {};
    memcpy(block, params, (method == 1 ? 6 : 8) * sizeof(double));
    int result = QI_FrameTransform(frame, method, block, origin, storage, background);
    if (after)
        memcpy(after, block, sizeof block);
    return result;
}

// ---- The method-1 reference ---------------------------------------------

struct AffineReference {
    int32_t width = 0, height = 0;
    double left = 0, top = 0;
};

AffineReference affine_extent(const double m[6], int32_t W, int32_t H) {
    double det = m[0] * m[4] - m[1] * m[3];
    AffineReference ref;
    double minX = 1e300, minY = 1e300, maxX = -1e300, maxY = -1e300;
    const double cx[4] = {0, 1.0 * W, 1.0 * W, 0}, cy[4] = {0, 0, 1.0 * H, 1.0 * H};
    for (int k = 0; k < 4; ++k) {
        // Solve M r = c - t for the result position r.
        double bx = cx[k] - m[2], by = cy[k] - m[5];
        double rx = (m[4] * bx - m[1] * by) / det, ry = (-m[3] * bx + m[0] * by) / det;
        minX = fmin(minX, rx);
        maxX = fmax(maxX, rx);
        minY = fmin(minY, ry);
        maxY = fmax(maxY, ry);
    }
    // A hair above a whole number is rounding of the inverse, not a column.
    ref.width = static_cast<int32_t>(ceil(maxX - minX - 1e-7));
    ref.height = static_cast<int32_t>(ceil(maxY - minY - 1e-7));
    ref.left = minX;
    ref.top = minY;
    return ref;
}

// Nearest pixel of a position in pixel-centre coordinates, halves down;
// `near` is set when the position lies within 1e-6 of a boundary.
int64_t round_half_down(double p, bool &nearHalf) {
    double f = p - floor(p);
    if (fabs(f - 0.5) < 1e-6)
        nearHalf = true;
    return static_cast<int64_t>(ceil(p - 0.5));
}

struct Compared {
    int64_t differ = 0, ambiguous = 0;
    std::string first;
};

// Compares `got` with the reference pixels of method 1 for the caller's
// matrix `m`; differences at ambiguous pixels count only when `exact`.
Compared compare_affine(const Raster &source, const double m[6], uint32_t background, const Raster &got,
                        bool exact, int32_t columnStep = 1, int32_t fromColumn = 0) {
    AffineReference ref = affine_extent(m, source.width, source.height);
    Compared c;
    if (got.width != ref.width || got.height != ref.height) {
        c.differ = 1;
        c.first = "size " + std::to_string(got.width) + " x " + std::to_string(got.height) + ", want " +
                  std::to_string(ref.width) + " x " + std::to_string(ref.height);
        return c;
    }
    uint32_t bg = background_pixel(source.kind, background);
    for (int32_t y = 0; y < got.height; ++y)
        for (int32_t x = 0; x < got.width; ++x) {
            if (x < fromColumn && x % columnStep != 0)
                continue;
            double qx = ref.left + x + 0.5, qy = ref.top + y + 0.5;
            bool nearHalf = false;
            int64_t sx = round_half_down(m[0] * qx + m[1] * qy + m[2] - 0.5, nearHalf);
            int64_t sy = round_half_down(m[3] * qx + m[4] * qy + m[5] - 0.5, nearHalf);
            bool inside = sx >= 0 && sy >= 0 && sx < source.width && sy < source.height;
            uint32_t want = inside ? source.get(static_cast<int32_t>(sx), static_cast<int32_t>(sy)) : bg;
            c.ambiguous += nearHalf;
            if (got.get(x, y) != want && (exact || !nearHalf)) {
                if (c.differ++ == 0)
                    c.first = "pixel (" + std::to_string(x) + ", " + std::to_string(y) + ") from (" +
                              std::to_string(sx) + ", " + std::to_string(sy) + ")";
            }
        }
    return c;
}

class WarpTest : public LibraryFixture {};

// ---- Uniform fill ---------------------------------------------------------

TEST(UniformFill, FillsEveryByteOrEveryPixelAndSkipsNoColour) {
    struct Case {
        int32_t kind, width;
        uint32_t colour;
    } cases[] = {{1, 13, kWhite}, {1, 40, kBlack}, {2, 7, 0x123456}, {2, 64, 0x80}, {4, 5, 0x123456}, {4, 9, kWhite}};
    for (const Case &c : cases) {
        Raster r(c.width, 3, c.kind, 0xA5);
        QI_DmriUniformFill(r.data(), c.width, 3, c.colour, c.kind);
        for (int32_t y = 0; y < 3; ++y) {
            const uint8_t *row = r.data() + y * r.line();
            for (uint32_t i = 0; i < r.line(); ++i) {
                uint8_t want = static_cast<uint8_t>(c.colour);
                if (c.kind == 4)
                    want = i < 3u * c.width ? static_cast<uint8_t>(c.colour >> (8 * (i % 3))) : 0xA5;
                ASSERT_EQ(row[i], want) << "kind " << c.kind << " row " << y << " byte " << i;
            }
        }
        Raster untouched(c.width, 3, c.kind, 0xA5);
        QI_DmriUniformFill(untouched.data(), c.width, 3, 0xFFFFFFFFu, c.kind);
        EXPECT_EQ(untouched.bytes, Raster(c.width, 3, c.kind, 0xA5).bytes) << "-1 paints nothing";
    }
}

// ---- Method 1 against the reference ----------------------------------------

double rad(double degrees) { return degrees * M_PI / 180; }

struct Matrix {
    const char *name;
    double m[6];
    bool exact; // dyadic entries: the reference is exact too
};

std::vector<Matrix> matrices() {
    std::vector<Matrix> list;
    for (double degrees : {7.0, 30.0, 45.0, 93.0, 200.0, -12.5}) {
        double c = cos(rad(degrees)), s = sin(rad(degrees));
        list.push_back({"turn", {c, s, 3.25, -s, c, -1.5}, false});
    }
    list.push_back({"enlarge", {0.37, 0, 0, 0, 0.41, 0}, false});
    list.push_back({"reduce", {3.3, 0, 0, 0, 2.7, 0}, false});
    list.push_back({"shear", {1, 0.4, 0, 0.25, 1, 0}, false});
    list.push_back({"mirror", {-1, 0, 0, 0, 1, 0}, true});
    list.push_back({"dyadic", {0.75, 0.25, 3, -0.5, 1.25, 0}, true});
    list.push_back({"halves", {1.5, 0, 0.5, 0, 0.5, 0.25}, true});
    return list;
}

TEST_F(WarpTest, AffineWarpsMatchThePerPixelReference) {
    std::mt19937 random(21);
    const uint32_t backgrounds[5] = {0, kBlack, 0x55, 0, 0x123456};
    for (int32_t kind : {1, 2, 4})
        for (auto size : {std::make_pair(300, 200), std::make_pair(130, 257)}) {
            Raster source = random_raster(size.first, size.second, kind, random);
            int frame = frame_from(source);
            for (const Matrix &mx : matrices()) {
                int result = warp(frame, 1, mx.m, backgrounds[kind]);
                ASSERT_GE(result, 0) << mx.name;
                Compared c = compare_affine(source, mx.m, backgrounds[kind], frame_pixels(result), mx.exact);
                EXPECT_EQ(c.differ, 0) << mx.name << " kind " << kind << ": " << c.first;
                EXPECT_LE(c.ambiguous, source.width * source.height / 100) << mx.name;
                QI_FrameDelete(result);
            }
            QI_FrameDelete(frame);
        }
}

// Reductions that spread one result tile over more source than the region
// buffer holds are read one source tile at a time: same pixels.
TEST_F(WarpTest, StrongReductionsReadSourceTilesSeparatelyWithTheSamePixels) {
    std::mt19937 random(22);
    for (int32_t kind : {1, 2, 4}) {
        // Sources larger than the 2 MB region buffer.
        int32_t w = kind == 1 ? 6000 : kind == 2 ? 2000 : 1500, h = kind == 1 ? 4000 : 1500;
        Raster source = random_raster(w, h, kind, random);
        int frame = frame_from(source);
        const Matrix cases[] = {{"reduce", {kind == 1 ? 130.0 : 25.0, 3, 0, -2, kind == 1 ? 90.0 : 21.0, 0}, false},
                                {"reduce-turned", {18, 11, 0, -11, 18, 0}, false}};
        for (const Matrix &mx : cases) {
            int result = warp(frame, 1, mx.m, kWhite);
            ASSERT_GE(result, 0);
            Compared c = compare_affine(source, mx.m, kWhite, frame_pixels(result), false);
            EXPECT_EQ(c.differ, 0) << mx.name << " kind " << kind << ": " << c.first;
            QI_FrameDelete(result);
        }
        QI_FrameDelete(frame);
    }
}

// ---- The row kernels against per-pixel stepping ------------------------------

// The plain kernel kept as the oracle: each inside pixel of each row run
// steps the fixed-point position by one pixel and copies its source pixel.
void reference_rows(const quill::AffineRows &rows, const Raster &source, Raster &tile) {
    for (int32_t j = 0; j < tile.height; ++j) {
        quill::Fixed X = rows.x[j], Y = rows.y[j];
        for (int32_t i = rows.begin[j]; i < rows.end[j]; ++i, X += rows.dx, Y += rows.dy)
            tile.set(i, j, source.get(static_cast<int32_t>(quill::fixed_pixel(X)), static_cast<int32_t>(quill::fixed_pixel(Y))));
    }
}

// The source's tiles as the warp holds them: each in a block of a full
// tile's lines with 32 bytes behind, narrow edge tiles included.
struct HeldTiles {
    std::vector<std::vector<uint8_t>> blocks;
    std::vector<const uint8_t *> pointers;
    int32_t columns = 0;
    uint32_t line = 0;
    explicit HeldTiles(const Raster &source) {
        columns = (source.width + 127) / 128;
        int32_t tileRows = (source.height + 127) / 128;
        line = QI_GetLineBWi(source.kind, 128);
        for (int32_t ty = 0; ty < tileRows; ++ty)
            for (int32_t tx = 0; tx < columns; ++tx) {
                Raster tile(128, 128, source.kind, 0x5A);
                for (int32_t y = 0; y < 128 && ty * 128 + y < source.height; ++y)
                    for (int32_t x = 0; x < 128 && tx * 128 + x < source.width; ++x)
                        tile.set(x, y, source.get(tx * 128 + x, ty * 128 + y));
                tile.bytes.resize(tile.bytes.size() + 32, 0x5A);
                blocks.push_back(tile.bytes);
            }
        for (const auto &b : blocks)
            pointers.push_back(b.data());
    }
};

// Small turns, scales near 1 and shears copy stretches of source rows
// (warp_sample_rows in pieces, from a region or from held tiles); every
// other map goes pixel by pixel. Both must give exactly the pixels of
// per-pixel stepping, at run ends, tile edges, exact halves and steps of
// exactly one pixel or none.
TEST_F(WarpTest, RowKernelsGiveThePixelsOfPerPixelStepping) {
    std::mt19937 random(41);
    std::uniform_real_distribution<double> unit(-1, 1);
    std::vector<std::vector<double>> maps = {
        {1, 0, 0, 0, 1, 0},           {1, 0, 0.5, 0, 1, 0.5},        {1, 0.25, 0, -0.25, 1, 0},
        {0.75, 0, 0.25, 0, 1.25, 0},  {1.25, 0.1, 3, 0.25, 0.8, -2}, {cos(rad(7)), sin(rad(7)), 0, -sin(rad(7)), cos(rad(7)), 0},
        {1, 0, 0, 1.0 / 1024, 1, 0},  {1 + 1.0 / 4096, 0, 0, 0, 1, 0}, {0.5, 0, 0, 0, 0.5, 0},
        {cos(rad(30)), sin(rad(30)), 0, -sin(rad(30)), cos(rad(30)), 0}, {-1, 0, 0, 0, 1, 0}};
    for (int n = 0; n < 12; ++n) {
        double a = rad(14 * unit(random)), scale = 1 + 0.2 * unit(random);
        maps.push_back({scale * cos(a), sin(a), 10 * unit(random), -sin(a), scale * cos(a), 10 * unit(random)});
    }
    for (int32_t kind : {1, 2, 4}) {
        Raster source = random_raster(300 + 37 * kind, 270 + 11 * kind, kind, random);
        HeldTiles held(source);
        Raster padded = source;
        padded.bytes.resize(padded.bytes.size() + 32, 0x5A);
        for (const auto &m : maps) {
            quill::WarpMap map;
            ASSERT_TRUE(quill::warp_setup(1, m.data(), source.width, source.height, map));
            int64_t pieceTiles = 0;
            for (int32_t y0 = 0; y0 < map.resultHeight; y0 += 128)
                for (int32_t x0 = 0; x0 < map.resultWidth; x0 += 128) {
                    int32_t w = std::min(128, map.resultWidth - x0), h = std::min(128, map.resultHeight - y0);
                    quill::AffineRows rows;
                    quill::PixelBox box;
                    ASSERT_TRUE(quill::warp_affine_rows(map, x0, y0, w, h, rows, box));
                    Raster want = random_raster(w, h, kind, random), fromPart = want, fromGrid = want;
                    reference_rows(rows, source, want);
                    quill::TileRaster part{fromPart.data(), fromPart.line(), w, h};
                    quill::warp_sample_rows(kind, rows, quill::SourcePart{padded.data(), source.line(), 0, 0}, part);
                    EXPECT_EQ(fromPart.bytes, want.bytes) << "kind " << kind << " map " << m[0] << " " << m[1] << " "
                                                          << m[3] << " tile " << x0 << ", " << y0;
                    if (box.empty() || !quill::warp_rows_in_pieces(rows))
                        continue;
                    ++pieceTiles;
                    int32_t tx0 = box.left / 128, ty0 = box.top / 128;
                    std::vector<const uint8_t *> grid;
                    for (int32_t ty = ty0; ty <= box.bottom / 128; ++ty)
                        for (int32_t tx = tx0; tx <= box.right / 128; ++tx)
                            grid.push_back(held.pointers[ty * held.columns + tx]);
                    quill::TileRaster gridTile{fromGrid.data(), fromGrid.line(), w, h};
                    quill::SourceGrid g{grid.data(), tx0, ty0, box.right / 128 - tx0 + 1, held.line};
                    quill::warp_sample_rows_grid(kind, rows, g, gridTile);
                    EXPECT_EQ(fromGrid.bytes, want.bytes) << "grid, kind " << kind << " map " << m[0] << " " << m[1]
                                                          << " " << m[3] << " tile " << x0 << ", " << y0;
                }
            bool pieces = fabs(m[3]) <= 0.25 && fabs(m[0] - 1) <= 0.25;
            EXPECT_EQ(pieceTiles > 0, pieces) << "map " << m[0] << " " << m[3];
        }
    }
}

// ---- The documented cases ---------------------------------------------------

TEST_F(WarpTest, IdentityHalvingTranslationSingularAndTurnCases) {
    std::mt19937 random(23);
    for (int32_t kind : {1, 2, 4}) {
        const int32_t W = 301, H = 203;
        Raster source = random_raster(W, H, kind, random);
        int frame = frame_from(source);
        struct Case {
            const char *name;
            double m[6];
            int32_t width, height; // -1: refused
            double m2, m5;         // written back
            int origin[2];
        } cases[] = {
            {"identity", {1, 0, 0, 0, 1, 0}, W, H, 0, 0, {0, 0}},
            {"factor 2", {2, 0, 0, 0, 2, 0}, (W + 1) / 2, (H + 1) / 2, 0, 0, {0, 0}},
            {"translation 10.5", {1, 0, 10.5, 0, 1, 0}, W, H, 0, 0, {-10, 0}},
            {"singular", {0, 0, 0, 0, 1, 0}, -1, 0, 0, 0, {77, 88}},
        };
        for (const Case &c : cases) {
            double params[8];
            int origin[2] = {77, 88};
            int before = frame_count();
            int result = warp(frame, 1, c.m, kBlack, origin, params);
            if (c.width < 0) {
                EXPECT_EQ(result, -1) << c.name;
                EXPECT_EQ(frame_count(), before);
                EXPECT_EQ(params[2], c.m[2]) << "a refused call leaves the block alone";
                EXPECT_EQ(origin[0], 77);
                continue;
            }
            ASSERT_GE(result, 0) << c.name;
            Raster got = frame_pixels(result);
            EXPECT_EQ(got.width, c.width) << c.name;
            EXPECT_EQ(got.height, c.height) << c.name;
            EXPECT_EQ(params[2], c.m2) << c.name;
            EXPECT_EQ(params[5], c.m5) << c.name;
            EXPECT_EQ(origin[0], c.origin[0]) << c.name;
            EXPECT_EQ(origin[1], c.origin[1]) << c.name;
            int32_t step = c.m[0] == 2 ? 2 : 1;
            for (int32_t y = 0; y < got.height; ++y)
                for (int32_t x = 0; x < got.width; ++x)
                    ASSERT_EQ(got.get(x, y), source.get(step * x, step * y)) << c.name << " (" << x << ", " << y << ")";
            QI_FrameDelete(result);
        }
        // 45 degrees: the bounding box of the turned source, with the four
        // corner triangles in the background.
        double s = sqrt(0.5), turn45[6] = {s, s, 0, -s, s, 0};
        int result = warp(frame, 1, turn45, kBlack);
        ASSERT_GE(result, 0);
        Raster got = frame_pixels(result);
        EXPECT_EQ(got.width, static_cast<int32_t>(ceil((W + H) * s)));
        uint32_t bg = background_pixel(kind, kBlack);
        for (int32_t d = 0; d < 40; ++d)
            for (int32_t e = 0; e + d < 40; ++e) {
                EXPECT_EQ(got.get(d, e), bg);
                EXPECT_EQ(got.get(got.width - 1 - d, e), bg);
                EXPECT_EQ(got.get(d, got.height - 1 - e), bg);
                EXPECT_EQ(got.get(got.width - 1 - d, got.height - 1 - e), bg);
            }
        QI_FrameDelete(result);
        QI_FrameDelete(frame);
    }
}

// A 30-degree turn: tiles in the corner triangles whose corners' box,
// widened as the region test widens it, meets the source while no pixel
// centre maps inside it are background.
TEST_F(WarpTest, TileWhoseBoxTouchesTheSourceButNoPixelIsInsideIsBackground) {
    std::mt19937 random(24);
    const int32_t W = 650, H = 650;
    Raster source = random_raster(W, H, 2, random);
    int frame = frame_from(source);
    double c = cos(rad(30)), s = sin(rad(30)), m[6] = {c, s, 0, -s, c, 0}, params[8];
    int result = warp(frame, 1, m, 0x5A, nullptr, params);
    ASSERT_GE(result, 0);
    Raster got = frame_pixels(result);
    auto map = [&](double x, double y, double &sx, double &sy) {
        sx = params[0] * x + params[1] * y + params[2];
        sy = params[3] * x + params[4] * y + params[5];
    };
    int tiles = 0;
    for (int32_t y0 = 0; y0 < got.height; y0 += 128)
        for (int32_t x0 = 0; x0 < got.width; x0 += 128) {
            int32_t x1 = std::min(x0 + 128, got.width), y1 = std::min(y0 + 128, got.height);
            double minX = 1e9, maxX = -1e9, minY = 1e9, maxY = -1e9, sx, sy;
            for (double cx : {1.0 * x0, 1.0 * x1})
                for (double cy : {1.0 * y0, 1.0 * y1}) {
                    map(cx, cy, sx, sy);
                    minX = fmin(minX, sx), maxX = fmax(maxX, sx), minY = fmin(minY, sy), maxY = fmax(maxY, sy);
                }
            if (!(floor(minX) - 2 <= W - 1 && ceil(maxX) + 2 >= 0 && floor(minY) - 2 <= H - 1 && ceil(maxY) + 2 >= 0))
                continue;
            bool anyInside = false;
            for (int32_t y = y0; y < y1 && !anyInside; ++y)
                for (int32_t x = x0; x < x1 && !anyInside; ++x) {
                    map(x + 0.5, y + 0.5, sx, sy);
                    anyInside = sx > 0 && sy > 0 && sx <= W && sy <= H; // its nearest pixel is inside
                }
            if (anyInside)
                continue;
            ++tiles;
            for (int32_t y = y0; y < y1; ++y)
                for (int32_t x = x0; x < x1; ++x)
                    ASSERT_EQ(got.get(x, y), 0x5Au) << "tile at (" << x0 << ", " << y0 << ")";
        }
    EXPECT_GE(tiles, 1) << "some tile touches the source only with its box";
    QI_FrameDelete(result);
    QI_FrameDelete(frame);
}

// ---- Quarter turns by matrix and by corner order ------------------------------

TEST_F(WarpTest, QuarterTurnsByMatrixAndByCornersEqualTheQuarterTurns) {
    std::mt19937 random(25);
    for (int32_t kind : {1, 2, 4})
        for (auto size : {std::make_pair(300, 170), std::make_pair(129, 257)}) {
            const int32_t W = size.first, H = size.second;
            Raster source = random_raster(W, H, kind, random);
            int frame = frame_from(source);
            int turned90 = QI_FrameRotate90(frame, QI_STORAGE_MEMORY);
            int turned270 = QI_FrameRotate270(frame, QI_STORAGE_MEMORY);
            const struct {
                const char *name;
                int method;
                double params[8];
                int want;
            } cases[] = {
                {"matrix 90", 1, {0, 1, 0, -1, 0, 0}, turned90},
                {"matrix 270", 1, {0, -1, 0, 1, 0, 0}, turned270},
                {"corners 90", 2, {1.0 * H, 0, 1.0 * H, 1.0 * W, 0, 1.0 * W, 0, 0}, turned90},
                {"corners 270", 2, {0, 1.0 * W, 0, 0, 1.0 * H, 0, 1.0 * H, 1.0 * W}, turned270},
            };
            for (const auto &c : cases) {
                int result = warp(frame, c.method, c.params, kBlack);
                ASSERT_GE(result, 0) << c.name;
                EXPECT_TRUE(same_pixels(frame_pixels(result), frame_pixels(c.want)))
                    << c.name << " kind " << kind << " " << W << " x " << H;
                QI_FrameDelete(result);
            }
            QI_FrameDelete(turned90);
            QI_FrameDelete(turned270);
            QI_FrameDelete(frame);
        }
}

// ---- Method 2 -----------------------------------------------------------------

TEST_F(WarpTest, RectangleOfTheSourceSizeGivesTheSourceWherEverItLies) {
    std::mt19937 random(26);
    for (int32_t kind : {1, 2, 4}) {
        const int32_t W = 270, H = 150;
        Raster source = random_raster(W, H, kind, random);
        int frame = frame_from(source);
        for (double dx : {0.0, 37.0, -1000.0})
            for (double dy : {0.0, 11.0}) {
                const double quad[8] = {dx, dy, dx + W, dy, dx + W, dy + H, dx, dy + H};
                int result = warp(frame, 2, quad, kBlack);
                ASSERT_GE(result, 0);
                EXPECT_TRUE(same_pixels(frame_pixels(result), source)) << "kind " << kind << " at " << dx << ", " << dy;
                QI_FrameDelete(result);
            }
        QI_FrameDelete(frame);
    }
}

TEST_F(WarpTest, ParallelogramGivesThePixelsOfTheMatchingMatrix) {
    std::mt19937 random(27);
    const struct {
        double p0x, p0y, e1x, e1y, e2x, e2y;
    } shapes[] = {{40, 0, 250, 60, -40, 130}, {0, 100, 180, -100, 30, 90}, {0, 0, 400, 0, 100, 100}};
    for (int32_t kind : {1, 2, 4})
        for (const auto &sh : shapes) {
            const int32_t W = 230, H = 120;
            Raster source = random_raster(W, H, kind, random);
            int frame = frame_from(source);
            double quad[8] = {sh.p0x, sh.p0y, sh.p0x + sh.e1x, sh.p0y + sh.e1y, sh.p0x + sh.e1x + sh.e2x,
                              sh.p0y + sh.e1y + sh.e2y, sh.p0x + sh.e2x, sh.p0y + sh.e2y};
            // source = diag(W, H) E^-1 (q - P0), E = [e1 e2].
            double det = sh.e1x * sh.e2y - sh.e2x * sh.e1y;
            double m[6] = {W * sh.e2y / det, -W * sh.e2x / det, 0, -H * sh.e1y / det, H * sh.e1x / det, 0};
            m[2] = -(m[0] * sh.p0x + m[1] * sh.p0y);
            m[5] = -(m[3] * sh.p0x + m[4] * sh.p0y);
            int byQuad = warp(frame, 2, quad, kBlack);
            int byMatrix = warp(frame, 1, m, kBlack);
            ASSERT_GE(byQuad, 0);
            ASSERT_GE(byMatrix, 0);
            Raster a = frame_pixels(byQuad), b = frame_pixels(byMatrix);
            ASSERT_EQ(a.width, b.width);
            ASSERT_EQ(a.height, b.height);
            double left = floor(fmin(fmin(quad[0], quad[2]), fmin(quad[4], quad[6])));
            double top = floor(fmin(fmin(quad[1], quad[3]), fmin(quad[5], quad[7])));
            int64_t compared = 0;
            for (int32_t y = 0; y < a.height; ++y)
                for (int32_t x = 0; x < a.width; ++x) {
                    double qx = left + x + 0.5, qy = top + y + 0.5;
                    double sx = m[0] * qx + m[1] * qy + m[2], sy = m[3] * qx + m[4] * qy + m[5];
                    if (fabs(sx - round(sx)) < 0.01 || fabs(sy - round(sy)) < 0.01)
                        continue; // on a boundary: the methods may choose either side
                    ++compared;
                    ASSERT_EQ(a.get(x, y), b.get(x, y)) << "kind " << kind << " pixel (" << x << ", " << y << ")";
                }
            EXPECT_GT(compared, static_cast<int64_t>(a.width) * a.height * 3 / 4);
            QI_FrameDelete(byQuad);
            QI_FrameDelete(byMatrix);
            QI_FrameDelete(frame);
        }
}

// Corners and edge midpoints through `origin`: the source corners land on
// P0..P3, and each coordinate is 0 on one edge of its pair and its span on
// the other, in linear and angular coordinates alike. Each quadrilateral
// has half-integer corners, so that origin (an integer point plus 1/2)
// can name them.
TEST_F(WarpTest, QuadrilateralCornersAndEdgesLandOnTheSourceEdges) {
    const int32_t W = 300, H = 90;
    Raster source(W, H, 2, 0x40);
    int frame = frame_from(source);
    const double quads[][8] = {
        {20.5, 0.5, 180.5, 0.5, 240.5, 100.5, 0.5, 100.5},     // x angular, y linear
        {30.5, 10.5, 200.5, 0.5, 250.5, 150.5, 0.5, 120.5},    // both angular
        {100.5, 0.5, 300.5, 100.5, 200.5, 300.5, 0.5, 200.5},  // a turned square
        {0.5, 0.5, 600.5, 40.5, 620.5, 200.5, 10.5, 180.5},    // nearly a parallelogram
    };
    for (const auto &q : quads) {
        auto source_of = [&](double px, double py, int &sx, int &sy) {
            int origin[2] = {static_cast<int>(floor(px)), static_cast<int>(floor(py))};
            int result = warp(frame, 2, q, kBlack, origin);
            ASSERT_GE(result, 0);
            QI_FrameDelete(result);
            sx = origin[0];
            sy = origin[1];
        };
        const int corner[4][2] = {{0, 0}, {W, 0}, {W, H}, {0, H}};
        for (int k = 0; k < 4; ++k) {
            int sx, sy;
            source_of(q[2 * k], q[2 * k + 1], sx, sy);
            EXPECT_EQ(sx, corner[k][0]) << "corner " << k;
            EXPECT_EQ(sy, corner[k][1]) << "corner " << k;
            // The midpoint of the edge from this corner to the next.
            int n = (k + 1) % 4;
            source_of((q[2 * k] + q[2 * n]) / 2, (q[2 * k + 1] + q[2 * n + 1]) / 2, sx, sy);
            // The coordinate that is constant along edge k.
            const int along[4] = {sy, sx, sy, sx}, want[4] = {0, W, H, 0};
            EXPECT_EQ(along[k], want[k]) << "edge from P" << k;
        }
    }
    QI_FrameDelete(frame);
}

// The source fills the quadrilateral: pixels well inside come from the
// source, pixels well outside are background.
TEST_F(WarpTest, QuadrilateralResultIsTheSourceInsideAndBackgroundOutside) {
    const int32_t W = 211, H = 97;
    Raster source(W, H, 2);
    for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x)
            source.set(x, y, 1 + (x * 7 + y * 3) % 250); // never 0
    int frame = frame_from(source);
    const double quads[][8] = {{20, 3, 180, 0, 240, 100, 0, 110}, {30, 10, 200, 0, 250, 150, 0, 120}};
    for (const auto &q : quads) {
        int result = warp(frame, 2, q, 0);
        ASSERT_GE(result, 0);
        Raster got = frame_pixels(result);
        // Signed distance of a point from the edges (positive inside for a
        // clockwise quadrilateral in y-down coordinates).
        auto inside_by = [&](double px, double py) {
            double least = 1e300;
            for (int k = 0; k < 4; ++k) {
                int n = (k + 1) % 4;
                double ex = q[2 * n] - q[2 * k], ey = q[2 * n + 1] - q[2 * k + 1];
                double d = (ex * (py - q[2 * k + 1]) - ey * (px - q[2 * k])) / hypot(ex, ey);
                least = fmin(least, d);
            }
            return least;
        };
        for (int32_t y = 0; y < got.height; ++y)
            for (int32_t x = 0; x < got.width; ++x) {
                double d = inside_by(x + 0.5, y + 0.5);
                if (d > 1.0) {
                    ASSERT_NE(got.get(x, y), 0u) << "(" << x << ", " << y << ") lies inside";
                } else if (d < -1.0) {
                    ASSERT_EQ(got.get(x, y), 0u) << "(" << x << ", " << y << ") lies outside";
                }
            }
        QI_FrameDelete(result);
    }
    QI_FrameDelete(frame);
}

// ---- Wide sources, blank sources, memory ---------------------------------------

TEST_F(WarpTest, SourcesWiderThan65535PixelsPutTheirRightHandPixelsWhereTheyBelong) {
    std::mt19937 random(28);
    const int32_t W = 70000, H = 300;
    Raster source(W, H, 1);
    source.fill_sparse(random, 30);
    int frame = frame_from(source);
    double c = cos(rad(0.2)), s = sin(rad(0.2));
    double m[6] = {c, s, 0, -s, c, 0};
    int result = warp(frame, 1, m, kBlack);
    ASSERT_GE(result, 0);
    Raster got = frame_pixels(result);
    // Every column from 60000 on, every 17th before.
    Compared cmp = compare_affine(source, m, kBlack, got, false, 17, 60000);
    EXPECT_EQ(cmp.differ, 0) << cmp.first;
    QI_FrameDelete(result);
    QI_FrameDelete(frame);
}

// A bilevel source whose tiles were never written reads white: the result
// is white where the source is and background elsewhere, and no tile is
// read (a failing first read would stop the work).
TEST_F(WarpTest, BlankBilevelSourceIsWarpedWithoutReading) {
    const int32_t W = 600, H = 400;
    int frame = QI_FrameCreate(W, H, 1, QI_STORAGE_SWAP, nullptr, 0);
    ASSERT_GE(frame, 0);
    ASSERT_EQ(QI_FrameLock(frame), 1);
    Raster white(W, H, 1, 0xFF);
    double c = cos(rad(7)), s = sin(rad(7)), m[6] = {c, s, 0, -s, c, 0};
    for (uint32_t background : {kWhite, kBlack}) {
        qi_test_fail_file_op(static_cast<int>(quill::FileOp::Read), 1);
        int result = warp(frame, 1, m, background);
        qi_test_fail_file_op(static_cast<int>(quill::FileOp::Read), 0);
        ASSERT_GE(result, 0) << "a blank source needs no read";
        Compared cmp = compare_affine(white, m, background, frame_pixels(result), false);
        EXPECT_EQ(cmp.differ, 0) << cmp.first;
        QI_FrameDelete(result);
    }
    // One written tile is read, and its read failing fails the warp.
    Raster tile(128, 128, 1, 0x0F);
    QI_Rect rect{256, 128, 383, 255};
    ASSERT_EQ(QI_FrameSetRect(frame, &rect, tile.data(), 1, -1, -1), 1);
    qi_test_fail_file_op(static_cast<int>(quill::FileOp::Read), 1);
    EXPECT_EQ(warp(frame, 1, m, kWhite), -1);
    qi_test_fail_file_op(static_cast<int>(quill::FileOp::Read), 0);
    EXPECT_EQ(frame_count(), 1);
    QI_FrameUnlock(frame);
    QI_FrameDelete(frame);
}

// A 1/1000 reduction of the standard drawing page: without a bound, one
// result tile would need 128000 x 128000 source pixels in memory.
TEST_F(WarpTest, ThousandfoldReductionOfTheDrawingPageKeepsItsMemoryBounded) {
    if (!have_ghostscript())
        GTEST_SKIP() << "ghostscript (gs) is not installed";
    const std::string shared = QUILL_SHARED_DIR;
    BitRaster page = render_ps(shared + "/bench/drawing.ps", 400,
                               "-sEXDIR=" + shared + "/samples/ps --permit-file-read=" + shared + "/samples/ps/");
    if (page.width == 0)
        GTEST_SKIP() << "the drawing could not be rendered from " << shared << "/bench";
    Raster source(page.width, page.height, 1);
    for (int32_t y = 0; y < page.height; ++y)
        memcpy(source.data() + static_cast<size_t>(y) * source.line(), page.bytes.data() + static_cast<size_t>(y) * page.line,
               source.line());
    int frame = frame_from(source);
    ASSERT_GE(frame, 0);
    double m[6] = {1000, 0, 0, 0, 1000, 0};
    int64_t before = qs_test_live_bytes();
    qs_test_reset_peak_bytes();
    int result = warp(frame, 1, m, kBlack);
    int64_t peak = qs_test_peak_bytes() - before;
    ASSERT_GE(result, 0);
    EXPECT_LT(peak, 4 << 20) << "working memory of the warp";
    RecordProperty("peak_bytes", std::to_string(peak));
    Compared cmp = compare_affine(source, m, kBlack, frame_pixels(result), true);
    EXPECT_EQ(cmp.differ, 0) << cmp.first;
    QI_FrameDelete(result);
    QI_FrameDelete(frame);
}

// ---- Arguments, reports, cancellation, faults ------------------------------------

struct Reports {
    std::vector<intptr_t> values;
    int refuseAt = 0; // refuse the n-th percentage (1-based), 0 never
    int percentages = 0;
};
Reports g_reports;

int record_report(intptr_t value) {
    g_reports.values.push_back(value);
    if (g_reports.values.size() > 2 && value >= 1 && value <= 99 && ++g_reports.percentages == g_reports.refuseAt)
        return 0;
    return 1;
}

class WarpReportTest : public WarpTest {
protected:
    void SetUp() override {
        WarpTest::SetUp();
        QI_CloseFrameFunctions();
        ASSERT_EQ(QI_InitFrameFunctions("", swap_.path().c_str(), record_report), 1);
        ASSERT_EQ(QI_SetMessage(10, 5010), 1);
    }
    void reset(int refuse = 0) {
        g_reports = Reports{};
        g_reports.refuseAt = refuse;
    }
};

TEST_F(WarpReportTest, RefusedArgumentsGiveMinusOneWithoutReportOrFrame) {
    std::mt19937 random(29);
    int frame = frame_from(random_raster(50, 40, 2, random));
    const double inf = INFINITY, nan = NAN;
    const struct {
        const char *name;
        int frame, method;
        double params[8];
    } cases[] = {
        {"unknown frame", 7, 1, {1, 0, 0, 0, 1, 0}},
        {"method 0", frame, 0, {1, 0, 0, 0, 1, 0}},
        {"method 3", frame, 3, {1, 0, 0, 0, 1, 0}},
        {"NaN", frame, 1, {1, 0, nan, 0, 1, 0}},
        {"infinity", frame, 1, {1, 0, 0, 0, inf, 0}},
        {"NaN corner", frame, 2, {0, 0, 10, 0, 10, 10, 0, nan}},
        {"singular", frame, 1, {1, 2, 0, 2, 4, 0}},
        {"nearly singular", frame, 1, {1e-4, 0, 0, 0, 1e-3, 0}},
        {"huge", frame, 1, {1e300, 0, 0, 0, 1e300, 0}},
        {"too large a result", frame, 1, {2e-9, 0, 0, 0, 1e3, 0}},
        {"far translation", frame, 1, {1, 0, 1e12, 0, 1, 0}},
        {"point quadrilateral", frame, 2, {5, 5, 5, 5, 5, 5, 5, 5}},
        {"flat quadrilateral", frame, 2, {0, 0, 10, 0, 20, 0, 30, 0}},
    };
    for (const auto &c : cases) {
        double params[8];
        for (int i = 0; i < 8; ++i)
            params[i] = c.params[i];
        int origin[2] = {3, 4};
        reset();
        EXPECT_EQ(QI_FrameTransform(c.frame, c.method, params, origin, QI_STORAGE_MEMORY, kWhite), -1) << c.name;
        EXPECT_TRUE(g_reports.values.empty()) << c.name;
        EXPECT_EQ(frame_count(), 1) << c.name;
        EXPECT_EQ(origin[0], 3) << c.name;
        EXPECT_EQ(memcmp(params, c.params, sizeof params), 0) << c.name << ": the block is left alone";
    }
    reset();
    EXPECT_EQ(QI_FrameTransform(frame, 1, nullptr, nullptr, QI_STORAGE_MEMORY, kWhite), -1);
    EXPECT_TRUE(g_reports.values.empty());
    QI_FrameDelete(frame);
}

TEST_F(WarpReportTest, ReportsAndLockStates) {
    std::mt19937 random(30);
    // Tall enough for several bands of rows (a colour band is 3 tile rows).
    int frame = frame_from(random_raster(300, 1200, 4, random));
    for (bool locked : {false, true}) {
        if (locked) {
            ASSERT_EQ(QI_FrameLock(frame), 1);
        }
        reset();
        const double turn[6] = {cos(0.3), sin(0.3), 0, -sin(0.3), cos(0.3), 0};
        int result = warp(frame, 1, turn, 0xFFFFFFFFu);
        ASSERT_GE(result, 0);
        EXPECT_EQ(QI_FrameGetData(frame)->locked != 0, locked) << "the source keeps its lock state";
        EXPECT_EQ(QI_FrameGetData(result)->locked, 0);
        EXPECT_EQ(QI_FrameGetData(result)->kind, 4);
        const std::vector<intptr_t> &v = g_reports.values;
        ASSERT_GE(v.size(), 7u) << "0, the message, a report per band of rows, 100";
        EXPECT_EQ(v[0], 0);
        EXPECT_EQ(v[1], 5010);
        EXPECT_EQ(v.back(), 100);
        for (size_t i = 2; i + 1 < v.size(); ++i) {
            EXPECT_GE(v[i], 1);
            EXPECT_LE(v[i], 99);
            if (i > 2) {
                EXPECT_GT(v[i], v[i - 1]);
            }
        }
        // Background -1 is white: the corner pixel.
        Raster got = frame_pixels(result);
        EXPECT_EQ(got.get(0, 0), kWhite);
        QI_FrameDelete(result);
    }
    QI_FrameUnlock(frame);
    QI_FrameDelete(frame);
}

TEST_F(WarpReportTest, CancelledWarpsLeaveNoFrameAndReport100) {
    std::mt19937 random(31);
    for (int storage : {QI_STORAGE_MEMORY, QI_STORAGE_SWAP}) {
        // Three bands of rows (a grey band is 8 tile rows): a refusal at
        // each report, then at none.
        int frame = frame_from(random_raster(200, 2600, 2, random), storage);
        for (int refuse = 1;; ++refuse) {
            reset(refuse);
            const double turn[6] = {0.9, 0.2, 0, -0.2, 0.9, 0};
            int result = warp(frame, 1, turn, kWhite, nullptr, nullptr, storage);
            if (result >= 0) {
                EXPECT_GT(refuse, 3);
                QI_FrameDelete(result);
                break;
            }
            const std::vector<intptr_t> &v = g_reports.values;
            ASSERT_GE(v.size(), 3u);
            EXPECT_EQ(v[v.size() - 2], 101);
            EXPECT_EQ(v.back(), 100) << "100 follows a cancel";
            EXPECT_EQ(frame_count(), 1);
            EXPECT_EQ(swap_.files().size(), storage == QI_STORAGE_SWAP ? 1u : 0u);
            EXPECT_EQ(QI_FrameGetData(frame)->locked, 0);
        }
        QI_FrameDelete(frame);
    }
}

TEST_F(WarpTest, EveryAllocationAndTileWriteFailureGivesMinusOneAndLeavesNothing) {
    std::mt19937 random(32);
    struct Case {
        int32_t kind, w, h, method;
        double params[8];
    } cases[] = {
        {1, 300, 200, 1, {0.96, 0.28, 0, -0.28, 0.96, 0}},
        {2, 200, 150, 2, {10, 0, 200, 20, 180, 170, 0, 150}},
        {4, 1000, 800, 1, {30, 2, 0, -2, 30, 0}}, // sources read tile by tile
    };
    for (const Case &c : cases) {
        Raster source = random_raster(c.w, c.h, c.kind, random);
        int frame = frame_from(source, QI_STORAGE_SWAP);
        Raster want;
        int first = warp(frame, c.method, c.params, kBlack);
        ASSERT_GE(first, 0);
        want = frame_pixels(first);
        QI_FrameDelete(first);
        for (int step : {kFailAllocation, static_cast<int>(quill::FileOp::Write), static_cast<int>(quill::FileOp::Read)}) {
            int failures = 0;
            int64_t live = qs_test_live_blocks();
            int result = -1;
            fail_each_step(
                step,
                [&] {
                    result = warp(frame, c.method, c.params, kBlack, nullptr, nullptr, QI_STORAGE_SWAP);
                    return result >= 0;
                },
                [&](int64_t n) {
                    ++failures;
                    EXPECT_EQ(frame_count(), 1) << "step " << step << " failure " << n;
                    EXPECT_EQ(swap_.files().size(), 1u);
                    EXPECT_EQ(qs_test_live_blocks(), live) << "failure " << n;
                    EXPECT_EQ(QI_FrameGetData(frame)->locked, 0);
                });
            EXPECT_GE(failures, 1) << "kind " << c.kind << " step " << step;
            ASSERT_GE(result, 0);
            EXPECT_TRUE(same_pixels(frame_pixels(result), want));
            QI_FrameDelete(result);
        }
        QI_FrameDelete(frame);
    }
}

} // namespace
