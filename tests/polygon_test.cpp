// Polygon utilities: the worked cases, each operation against a plain
// oracle or a property (zoom in then out is the identity, widening agrees
// with quillstd's own, quantising writes exactly the measured number of unit
// steps and ends each contour on its first point), point-in-contour against
// a crossing count along the other axis on traced contours, and the bounds
// that keep the operations inside their buffers.
#include "outline_support.h"

#include "vector/polygon_utils.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <random>
#include <vector>

using namespace quill_test;

namespace {

uint32_t pt(uint32_t x, uint32_t y) { return (x & 0xFFFF) | y << 16; }

// A Wpoly as words: the count (with any flags), then the points.
std::vector<uint32_t> wpoly(const std::vector<uint32_t> &points, uint32_t flags = 0) {
    std::vector<uint32_t> out{static_cast<uint32_t>(points.size()) | flags};
    out.insert(out.end(), points.begin(), points.end());
    return out;
}

// A contour buffer and a poly object addressing it, built from contours.
struct Object {
    std::vector<uint32_t> buffer;
    std::vector<int32_t> object;

    explicit Object(const std::vector<std::vector<uint32_t>> &contours) {
        object.push_back(static_cast<int32_t>(contours.size()));
        for (const auto &c : contours) {
            object.push_back(static_cast<int32_t>(4 * buffer.size()));
            std::vector<uint32_t> w = wpoly(c);
            buffer.insert(buffer.end(), w.begin(), w.end());
        }
    }
};

} // namespace

TEST(PolygonUtils, BoundingRectangleComparesSigned16BitAndIgnoresTheHoleFlag) {
    struct Case {
        std::vector<uint32_t> points;
        uint32_t flags;
        QV_BndRect want;
    } cases[] = {
        {{pt(5, 9)}, 0, {5, 9, 5, 9}},                                    // one point: min = max
        {{pt(3, 4), pt(10, 4), pt(10, 1), pt(3, 1)}, QV_HOLE_FLAG, {3, 1, 10, 4}},
        {{pt(0xFFFE, 0xFFFD), pt(0xFFF0, 0xFFFE)}, 0, {-16, -3, -1, -1}}, // all below -1: maxima stay -1
        {{pt(0x8000, 0x7FFF), pt(0, 0)}, 0, {-32768, 0, 0, 32767}},
        {{}, 0, {32767, 32767, -1, -1}},                                   // no points
    };
    for (const Case &c : cases) {
        std::vector<uint32_t> poly = wpoly(c.points, c.flags);
        QV_BndRect r{1, 2, 3, 4};
        QV_PolyGetBndRect(poly.data(), &r);
        EXPECT_EQ(r.minX, c.want.minX);
        EXPECT_EQ(r.minY, c.want.minY);
        EXPECT_EQ(r.maxX, c.want.maxX);
        EXPECT_EQ(r.maxY, c.want.maxY);
    }
}

TEST(PolygonUtils, ShiftMovesEveryPolygonWithoutCarryBetweenHalves) {
    // Three polygons back to back, the middle one flagged as a hole: the
    // flag must not change where the next polygon is found.
    std::vector<uint32_t> block;
    const std::vector<std::vector<uint32_t>> polys = {
        {pt(1, 2), pt(0xFFFF, 3)}, {pt(0, 0xFFFF), pt(7, 7), pt(8, 8)}, {pt(100, 200)}};
    for (size_t i = 0; i < polys.size(); ++i) {
        std::vector<uint32_t> w = wpoly(polys[i], i == 1 ? QV_HOLE_FLAG : 0);
        block.insert(block.end(), w.begin(), w.end());
    }
    block.push_back(0xDEADBEEF); // beyond the last polygon: untouched
    const std::vector<uint32_t> before = block;

    QV_PolySetShift(block.data(), 0, 5, 5);
    EXPECT_EQ(block, before);

    QV_PolySetShift(block.data(), 3, 1, -1);
    std::vector<uint32_t> want;
    for (size_t i = 0; i < polys.size(); ++i) {
        want.push_back(before[want.size()]);
        for (uint32_t p : polys[i])
            want.push_back(pt((p & 0xFFFF) + 1, ((p >> 16) - 1) & 0xFFFF));
    }
    want.push_back(0xDEADBEEF);
    EXPECT_EQ(block, want);
    // x 0xFFFF + 1 wraps to 0 and y 0xFFFF - 1 is 0xFFFE: no carry crosses.
    EXPECT_EQ(block[2], pt(0, 2));

    QV_PolySetShift(block.data(), 3, -1, 1);
    EXPECT_EQ(block, before);
}

TEST(PolygonUtils, ZoomInThenOutGivesThePointsBackAndOutRoundsDown) {
    std::mt19937 random(11);
    std::vector<uint32_t> points(1000);
    for (uint32_t &p : points)
        p = pt(random() & 0x7FFF, random() & 0x7FFF);
    std::vector<uint32_t> zoomed = points;
    QV_WpolyZoom2In(zoomed.data(), static_cast<int32_t>(zoomed.size()));
    for (size_t i = 0; i < points.size(); ++i)
        ASSERT_EQ(zoomed[i], pt(2 * (points[i] & 0xFFFF), 2 * (points[i] >> 16)));
    QV_WpolyZoom2Out(zoomed.data(), static_cast<int32_t>(zoomed.size()));
    EXPECT_EQ(zoomed, points);

    // Odd coordinates round down, unsigned; the top bits do not leak into
    // the other half either way.
    uint32_t odd[] = {pt(7, 0xFFFF), pt(0x8001, 1)};
    QV_WpolyZoom2Out(odd, 2);
    EXPECT_EQ(odd[0], pt(3, 0x7FFF));
    EXPECT_EQ(odd[1], pt(0x4000, 0));
    uint32_t high[] = {pt(0x8001, 0xC000)};
    QV_WpolyZoom2In(high, 1);
    EXPECT_EQ(high[0], pt(2, 0x8000));
    uint32_t untouched[] = {pt(9, 9)};
    QV_WpolyZoom2In(untouched, 0);
    QV_WpolyZoom2Out(untouched, -5);
    EXPECT_EQ(untouched[0], pt(9, 9));
}

TEST(PolygonUtils, WideningAgreesWithQuillstdAndKeepsTheCountWord) {
    std::mt19937 random(3);
    for (uint32_t flags : {0u, QV_HOLE_FLAG}) {
        for (size_t n : {size_t{1}, size_t{2}, size_t{37}}) {
            std::vector<uint32_t> points(n);
            for (uint32_t &p : points)
                p = static_cast<uint32_t>(random());
            std::vector<uint32_t> poly = wpoly(points, flags), plain = wpoly(points);
            std::vector<uint32_t> wide(1 + 2 * n + 1, 0xA5A5A5A5);
            QV_WpolyToDWpoly(poly.data(), wide.data());
            EXPECT_EQ(wide[0], poly[0]);
            EXPECT_EQ(wide.back(), 0xA5A5A5A5u) << "wrote past 4 + 8n bytes";
            void *theirs = qs_WpolyToDWpoly(plain.data(), 0, 0); // the base library's widening
            ASSERT_NE(theirs, nullptr);
            EXPECT_EQ(memcmp(static_cast<uint8_t *>(theirs) + 4, wide.data() + 1, 8 * n), 0);
            qs_free(&theirs);
        }
    }
}

TEST(PolygonUtils, NearestPointIsTheSmallestSquaredDistance) {
    std::mt19937 random(17);
    for (int round = 0; round < 200; ++round) {
        const int n = 1 + static_cast<int>(random() % 20);
        std::vector<uint32_t> points(n);
        // Small coordinates: 16-bit differences are then true differences.
        for (uint32_t &p : points)
            p = pt(random() % 3000, random() % 3000);
        const uint32_t q = pt(random() % 3000, random() % 3000);
        int64_t best = INT64_MAX;
        for (uint32_t p : points) {
            const int64_t dx = int64_t(q & 0xFFFF) - (p & 0xFFFF), dy = int64_t(q >> 16) - (p >> 16);
            best = std::min(best, dx * dx + dy * dy);
        }
        ASSERT_EQ(QV_GetMinWpntDist(q, points.data(), n), best);
    }
    uint32_t one = pt(3, 4);
    EXPECT_EQ(QV_GetMinWpntDist(pt(0, 0), &one, 1), 25);
    EXPECT_EQ(QV_GetMinWpntDist(pt(0, 0), &one, 0), INT32_MAX);
    EXPECT_EQ(QV_GetMinWpntDist(pt(0, 0), nullptr, 3), INT32_MAX);
    // Differences wrap to 16-bit signed: 0 to 0xFFFF is -1 away.
    uint32_t wrapped = pt(0xFFFF, 0xFFFF);
    EXPECT_EQ(QV_GetMinWpntDist(pt(0, 0), &wrapped, 1), 2);
    // Both differences -32768: 2^31 does not fit and must not wrap negative.
    uint32_t far = pt(0x8000, 0x8000), near = pt(100, 100);
    uint32_t both[] = {far, near};
    EXPECT_EQ(QV_GetMinWpntDist(pt(0, 0), &far, 1), INT32_MAX);
    EXPECT_EQ(QV_GetMinWpntDist(pt(0, 0), both, 2), 20000);
}

TEST(PolygonUtils, PointInPolyWorkedCases) {
    std::vector<uint32_t> square = wpoly({pt(0, 0), pt(2, 0), pt(2, 2), pt(0, 2)});
    struct Case {
        uint32_t point;
        int32_t inside;
    } cases[] = {
        {pt(1, 1), 1}, // one crossing
        {pt(1, 3), 0}, // two crossings
        {pt(1, 0), 0}, // no edge strictly above
        {pt(0, 1), 0}, // a single touch: |1| / 2 = 0
        {pt(5, 1), 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(QV_PointInPoly(&c.point, square.data()), c.inside) << std::hex << c.point;
    // The hole flag does not hide the polygon.
    std::vector<uint32_t> hole = wpoly({pt(0, 0), pt(2, 0), pt(2, 2), pt(0, 2)}, QV_HOLE_FLAG);
    const uint32_t centre = pt(1, 1);
    EXPECT_EQ(QV_PointInPoly(&centre, hole.data()), 1);
}

// For traced contours, a lattice point off the contour is inside exactly
// when the pixel to its lower right is: an odd number of the contour's
// vertical edges lie on its row to the left of it (a ray along the other
// axis than the function's).
TEST(PolygonUtils, PointInPolyAgreesWithCrossingsAlongTheRowOnTracedContours) {
    std::mt19937 random(23);
    for (int round = 0; round < 12; ++round) {
        BitRaster r(40, 30);
        r.fill_random(random, 0.55);
        Outlines o = trace(r, false);
        ASSERT_GT(o.result, 0);
        for (const Contour &c : o.contours) {
            std::vector<uint32_t> poly{static_cast<uint32_t>(c.points.size())};
            std::vector<std::vector<bool>> onContour(r.height + 1, std::vector<bool>(r.width + 1));
            for (size_t i = 0; i < c.points.size(); ++i) {
                poly.push_back(pt(c.points[i].x, c.points[i].y));
                const Pt a = c.points[i], b = c.points[(i + 1) % c.points.size()];
                for (int32_t x = std::min(a.x, b.x); x <= std::max(a.x, b.x); ++x)
                    for (int32_t y = std::min(a.y, b.y); y <= std::max(a.y, b.y); ++y)
                        onContour[y][x] = true;
            }
            for (int32_t y = 0; y <= r.height; ++y)
                for (int32_t x = 0; x <= r.width; ++x) {
                    if (onContour[y][x])
                        continue;
                    int crossings = 0;
                    for (size_t i = 0; i < c.points.size(); ++i) {
                        const Pt a = c.points[i], b = c.points[(i + 1) % c.points.size()];
                        if (a.x == b.x && a.x <= x && y >= std::min(a.y, b.y) && y < std::max(a.y, b.y))
                            ++crossings;
                    }
                    const uint32_t p = pt(x, y);
                    ASSERT_EQ(QV_PointInPoly(&p, poly.data()), crossings % 2) << "(" << x << ", " << y << ")";
                }
        }
    }
}

TEST(PolygonUtils, SinglePixelObjectMeasuresAndQuantisesItsFourSteps) {
    const uint32_t x = 7, y = 3;
    Object obj({{pt(x, y), pt(x + 1, y), pt(x + 1, y + 1), pt(x, y + 1)}});
    uint16_t extent = 0;
    int32_t steps = 0;
    QV_GetPolyObjParms(obj.object.data(), obj.buffer.data(), &extent, &steps);
    EXPECT_EQ(steps, 4);
    EXPECT_EQ(extent, 2);
    EXPECT_EQ(quill::poly_object_origin(), pt(x, y));
    std::vector<uint32_t> points(5, 0xEEEEEEEE);
    int32_t count = -1;
    QV_QuantPolyData(obj.object.data(), obj.buffer.data(), points.data(), &count);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(points, (std::vector<uint32_t>{pt(x + 1, y), pt(x + 1, y + 1), pt(x, y + 1), pt(x, y), 0xEEEEEEEE}));
}

// On the objects of traced rasters: the steps measured are the points
// written; every point written is one unit step from the one before (from
// the contour's first point for its first), each contour ends on its first
// point, and the origin is the outer contour's minimum x and first y.
TEST(PolygonUtils, QuantisingWritesExactlyTheMeasuredUnitSteps) {
    std::mt19937 random(29);
    for (int round = 0; round < 6; ++round) {
        BitRaster r(70, 50);
        r.fill_random(random, 0.4 + 0.1 * round);
        std::vector<uint8_t> bytes = r.bytes;
        void *contours = nullptr, *objects = nullptr;
        const int32_t n = QV_BWDmriOutline(bytes.data(), r.width, r.height, &contours, &objects);
        ASSERT_GT(n, 0);
        const int32_t *obj = static_cast<const int32_t *>(objects);
        const uint8_t *base = static_cast<const uint8_t *>(contours);
        for (int32_t i = 0; i < n; ++i, obj += 1 + obj[0]) {
            uint16_t extent = 0;
            int32_t steps = 0;
            QV_GetPolyObjParms(obj, base, &extent, &steps);
            std::vector<uint32_t> out(static_cast<size_t>(steps) + 1, 0xEEEEEEEE);
            std::vector<int32_t> counts(obj[0] + 1, -7);
            QV_QuantPolyData(obj, base, out.data(), counts.data());
            ASSERT_EQ(out.back(), 0xEEEEEEEEu) << "wrote past the measured steps";
            ASSERT_EQ(counts.back(), -7);
            size_t at = 0;
            uint32_t minX = 0xFFFF, maxX = 0;
            for (int32_t c = 0; c < obj[0]; ++c) {
                const uint32_t *poly = reinterpret_cast<const uint32_t *>(base + obj[1 + c]);
                const uint32_t first = poly[1];
                uint32_t prev = first;
                for (int32_t k = 0; k < counts[c]; ++k, ++at) {
                    const int dx = int(out[at] & 0xFFFF) - int(prev & 0xFFFF);
                    const int dy = int(out[at] >> 16) - int(prev >> 16);
                    ASSERT_EQ(std::abs(dx) + std::abs(dy), 1);
                    prev = out[at];
                }
                ASSERT_EQ(prev, first) << "contour " << c << " does not end on its first point";
                if (c == 0)
                    for (uint32_t k = 1; k <= poly[0]; ++k) {
                        minX = std::min(minX, poly[k] & 0xFFFF);
                        maxX = std::max(maxX, poly[k] & 0xFFFF);
                    }
            }
            ASSERT_EQ(at, static_cast<size_t>(steps));
            ASSERT_EQ(extent, maxX - minX + 1);
            const uint32_t *outer = reinterpret_cast<const uint32_t *>(base + obj[1]);
            ASSERT_EQ(quill::poly_object_origin(), pt(minX, outer[1] >> 16));
        }
        qs_free(&contours);
        qs_free(&objects);
    }
}

TEST(PolygonUtils, QuantisingStaysInsideItsBufferOnAnyEdge) {
    // Edges that are not axis-parallel and edges longer than 32767: the
    // measured steps are |dx| + |dy| and the walk takes exactly those, x
    // first; a flagged count word reads as its count.
    struct Case {
        std::vector<uint32_t> contour;
        int32_t steps;
    } cases[] = {
        {{pt(0, 0), pt(3, 3)}, 12},
        {{pt(10, 0), pt(7, 3), pt(10, 6)}, 18},
        {{pt(0, 5), pt(40000, 5), pt(40000, 6), pt(0, 6)}, 80002},
        {{pt(4, 4)}, 0},
    };
    for (const Case &c : cases) {
        Object obj({c.contour});
        obj.buffer[0] |= QV_HOLE_FLAG;
        uint16_t extent;
        int32_t steps = -1;
        QV_GetPolyObjParms(obj.object.data(), obj.buffer.data(), &extent, &steps);
        EXPECT_EQ(steps, c.steps);
        std::vector<uint32_t> out(static_cast<size_t>(c.steps) + 1, 0xEEEEEEEE);
        int32_t count = -1;
        QV_QuantPolyData(obj.object.data(), obj.buffer.data(), out.data(), &count);
        EXPECT_EQ(count, c.steps);
        EXPECT_EQ(out.back(), 0xEEEEEEEEu);
        if (c.steps > 0) {
            EXPECT_EQ(out[c.steps - 1], c.contour[0]);
        }
    }
    // The diagonal is walked along x, then along y.
    Object diag({{pt(0, 0), pt(2, 1)}});
    std::vector<uint32_t> out(6);
    int32_t count;
    QV_QuantPolyData(diag.object.data(), diag.buffer.data(), out.data(), &count);
    EXPECT_EQ(out, (std::vector<uint32_t>{pt(1, 0), pt(2, 0), pt(2, 1), pt(1, 1), pt(0, 1), pt(0, 0)}));
}
