// Segments, fitting and features: the operations on hand-made segments
// whose answers are known; the fitted centre line and mean width of drawn
// strokes against their true geometry; merging strokes through junctions;
// features picked on small drawings (bar ends, an L's corner, an X's
// crossing, a T's junction, an O's loop); the refusals of hostile
// arguments; every allocation failure.
#include "graph_support.h"

#include "base/test_hooks.h"
#include "fault_steps.h"

#include <gtest/gtest.h>

#include <math.h>

#include <functional>
#include <random>
#include <vector>

using namespace quill_test;

namespace {

class SegmentsTest : public ::testing::Test {
protected:
    void SetUp() override { live_ = qs_test_live_blocks(); }
    void TearDown() override {
        qs_test_fail_allocation(0);
        EXPECT_EQ(qs_test_live_blocks(), live_) << "heap blocks leaked";
    }
    int64_t live_ = 0;
};

uint32_t word(int x, int y) { return static_cast<uint32_t>(x) | static_cast<uint32_t>(y) << 16; }

// A segment record from elements (a, b).
std::vector<uint32_t> segment(const std::vector<std::pair<Pt, Pt>> &elements, uint32_t flags = 0) {
    std::vector<uint32_t> s{static_cast<uint32_t>(elements.size()) | flags};
    for (const auto &e : elements) {
        s.push_back(word(e.first.x, e.first.y));
        s.push_back(word(e.second.x, e.second.y));
    }
    return s;
}

struct Vertex {
    double x, y;
};

// Takes a centre-line polyline block apart and releases it.
std::vector<Vertex> take_polyline(void *block) {
    std::vector<Vertex> out;
    if (block == nullptr)
        return out;
    uint32_t n;
    memcpy(&n, block, 4);
    out.resize(n);
    memcpy(out.data(), static_cast<uint8_t *>(block) + 4, 16 * size_t{n});
    qs_free(&block);
    return out;
}

// A straight stroke between two sides: elements across a bar from
// (x0, y0) to (x1, y1) of half width h, in unit steps along it.
std::vector<std::pair<Pt, Pt>> straight_elements(int x0, int y0, int x1, int y1, int h) {
    std::vector<std::pair<Pt, Pt>> e;
    const int steps = std::max(abs(x1 - x0), abs(y1 - y0));
    const double len = hypot(x1 - x0, y1 - y0);
    const double nx = -(y1 - y0) / len, ny = (x1 - x0) / len;
    for (int i = 0; i <= steps; ++i) {
        const double cx = x0 + (x1 - x0) * double(i) / steps, cy = y0 + (y1 - y0) * double(i) / steps;
        e.push_back({{int(lround(cx + h * nx)), int(lround(cy + h * ny))}, {int(lround(cx - h * nx)), int(lround(cy - h * ny))}});
    }
    return e;
}

// ---- Reversal, polygon, raw centre line --------------------------------------

TEST_F(SegmentsTest, ReversalExchangesEndsSidesAndFlags) {
    struct Case {
        const char *name;
        std::vector<std::pair<Pt, Pt>> elements;
        uint32_t flags, reversedFlags;
    };
    const Case cases[] = {
        {"one element", {{{1, 2}, {3, 4}}}, 0, 0},
        {"two, flag 31", {{{1, 2}, {3, 4}}, {{5, 6}, {7, 8}}}, 0x80000000u, 0x40000000u},
        {"three, flag 30", {{{1, 2}, {3, 4}}, {{5, 6}, {7, 8}}, {{9, 10}, {11, 12}}}, 0x40000000u, 0x80000000u},
        {"four, both", {{{1, 1}, {2, 2}}, {{3, 3}, {4, 4}}, {{5, 5}, {6, 6}}, {{7, 7}, {8, 8}}}, 0xC0000000u, 0xC0000000u},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint32_t> original = segment(c.elements, c.flags);
        std::vector<uint32_t> s = original;
        QV_SegmentReverse(s.data());
        const size_t n = c.elements.size();
        EXPECT_EQ(s[0], n | c.reversedFlags);
        for (size_t k = 0; k < n; ++k) {
            const auto &old = c.elements[n - 1 - k];
            EXPECT_EQ(s[1 + 2 * k], word(old.second.x, old.second.y)) << k;
            EXPECT_EQ(s[2 + 2 * k], word(old.first.x, old.first.y)) << k;
        }
        QV_SegmentReverse(s.data());
        EXPECT_EQ(s, original);
    }
    QV_SegmentReverse(nullptr);
}

TEST_F(SegmentsTest, StrokePolygonRunsAlongSideAAndBackAlongSideB) {
    struct Case {
        const char *name;
        std::vector<std::pair<Pt, Pt>> elements;
        std::vector<Pt> polygon;
    };
    const Case cases[] = {
        {"all (P, P)", {{{4, 4}, {4, 4}}, {{4, 4}, {4, 4}}, {{4, 4}, {4, 4}}}, {{4, 4}}},
        {"a bar", {{{0, 0}, {0, 3}}, {{1, 0}, {1, 3}}, {{2, 0}, {2, 3}}}, {{0, 0}, {1, 0}, {2, 0}, {2, 3}, {1, 3}, {0, 3}}},
        {"a fan", {{{0, 0}, {5, 5}}, {{0, 0}, {6, 5}}, {{1, 0}, {6, 5}}}, {{0, 0}, {1, 0}, {6, 5}, {5, 5}}},
        {"empty", {}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint32_t> s = segment(c.elements);
        std::vector<uint32_t> out(2 + 4 * c.elements.size() + 2, 0xDEADBEEF);
        QV_ConvertSegmentToPoly(s.data(), out.data());
        EXPECT_EQ(out[0], 1u);
        ASSERT_EQ(out[1], c.polygon.size());
        for (size_t i = 0; i < c.polygon.size(); ++i) {
            EXPECT_EQ(out[2 + 2 * i], uint32_t(c.polygon[i].x)) << i;
            EXPECT_EQ(out[3 + 2 * i], uint32_t(c.polygon[i].y)) << i;
        }
    }
}

TEST_F(SegmentsTest, RawCentreLineTakesElementCentresAndOptionalEnds) {
    const std::vector<uint32_t> s = segment({{{0, 0}, {0, 3}}, {{1, 0}, {2, 3}}, {{4, 1}, {4, 2}}});
    const double first[2] = {-1.5, 1.5}, last[2] = {7.25, 1.5};
    struct Case {
        const double *first, *last;
        std::vector<Vertex> expected;
    };
    const Case cases[] = {
        {first, last, {{-1.5, 1.5}, {0, 1.5}, {1.5, 1.5}, {4, 1.5}, {7.25, 1.5}}},
        {nullptr, last, {{0, 1.5}, {1.5, 1.5}, {4, 1.5}, {7.25, 1.5}}},
        {first, nullptr, {{-1.5, 1.5}, {0, 1.5}, {1.5, 1.5}, {4, 1.5}}},
        {nullptr, nullptr, {{0, 1.5}, {1.5, 1.5}, {4, 1.5}}},
    };
    for (const Case &c : cases) {
        const std::vector<Vertex> v = take_polyline(QV_SegExtractCenterline(s.data(), c.first, c.last));
        ASSERT_EQ(v.size(), c.expected.size());
        for (size_t i = 0; i < v.size(); ++i) {
            EXPECT_EQ(v[i].x, c.expected[i].x) << i;
            EXPECT_EQ(v[i].y, c.expected[i].y) << i;
        }
    }
    EXPECT_EQ(QV_SegExtractCenterline(nullptr, first, last), nullptr);
}

// ---- Fitted centre lines -------------------------------------------------------

TEST_F(SegmentsTest, FittedCentreLineOfHandMadeSegments) {
    // Null below 3 elements.
    const std::vector<uint32_t> two = segment({{{0, 0}, {0, 4}}, {{9, 0}, {9, 4}}});
    EXPECT_EQ(QV_SegmentCenterOptimize(two.data(), nullptr, 2, nullptr, nullptr), nullptr);
    // A straight segment: 2 vertices on its centre line, mean width 4.
    const std::vector<uint32_t> bar = segment(straight_elements(10, 20, 90, 20, 2));
    double width = -1;
    std::vector<Vertex> v = take_polyline(QV_SegmentCenterOptimize(bar.data(), &width, 2, nullptr, nullptr));
    ASSERT_EQ(v.size(), 2u);
    EXPECT_NEAR(v[0].x, 10, 1e-9);
    EXPECT_NEAR(v[0].y, 20, 1e-9);
    EXPECT_NEAR(v[1].x, 90, 1e-9);
    EXPECT_NEAR(v[1].y, 20, 1e-9);
    EXPECT_NEAR(width, 4, 1e-9);
    // A negative tolerance is taken as 0, not as a huge unsigned one.
    for (int tol : {-1, -2147483647 - 1}) {
        const std::vector<uint32_t> bent = segment(
            {{{0, 0}, {0, 2}}, {{1, 0}, {1, 2}}, {{2, 0}, {2, 2}}, {{3, 1}, {3, 3}}, {{4, 2}, {4, 4}}, {{5, 3}, {5, 5}}});
        const std::vector<Vertex> neg = take_polyline(QV_SegmentCenterOptimize(bent.data(), nullptr, tol, nullptr, nullptr));
        const std::vector<Vertex> zero = take_polyline(QV_SegmentCenterOptimize(bent.data(), nullptr, 0, nullptr, nullptr));
        ASSERT_EQ(neg.size(), zero.size());
        EXPECT_GE(neg.size(), 3u); // the bend is kept
        for (size_t i = 0; i < neg.size(); ++i)
            EXPECT_EQ(neg[i].x, zero[i].x);
    }
    // An L of centres: three vertices, the middle one at the corner.
    std::vector<std::pair<Pt, Pt>> l = straight_elements(10, 10, 60, 10, 3);
    std::vector<std::pair<Pt, Pt>> down = straight_elements(60, 11, 60, 60, 3);
    l.insert(l.end(), down.begin(), down.end());
    const std::vector<uint32_t> ls = segment(l);
    v = take_polyline(QV_SegmentCenterOptimize(ls.data(), &width, 4, nullptr, nullptr));
    ASSERT_EQ(v.size(), 3u);
    EXPECT_NEAR(v[1].x, 60, 1.0);
    EXPECT_NEAR(v[1].y, 10, 1.0);
    // Start and end points extend it; non-finite or huge ones are refused.
    const double start[2] = {0, 10}, end[2] = {60, 70}, bad[2] = {NAN, 0}, far[2] = {1e9, 0};
    v = take_polyline(QV_SegmentCenterOptimize(ls.data(), nullptr, 4, start, end));
    ASSERT_GE(v.size(), 3u);
    EXPECT_NEAR(v.front().x, 0, 1e-6);
    EXPECT_NEAR(v.back().y, 70, 1e-6);
    EXPECT_EQ(QV_SegmentCenterOptimize(ls.data(), nullptr, 4, bad, nullptr), nullptr);
    EXPECT_EQ(QV_SegmentCenterOptimize(ls.data(), nullptr, 4, nullptr, far), nullptr);
    // Input untouched.
    EXPECT_EQ(ls, segment(l));
}

TEST_F(SegmentsTest, ClosedSegmentIsFittedAsARingFromItsLeftmostCentre) {
    // A square ring of centres (5,5)-(45,45), closed: first element = last.
    std::vector<std::pair<Pt, Pt>> e;
    auto add = [&](int cx, int cy) { e.push_back({{cx - 1, cy - 1}, {cx + 1, cy + 1}}); };
    for (int x = 25; x < 45; ++x) add(x, 5);
    for (int y = 5; y < 45; ++y) add(45, y);
    for (int x = 45; x > 5; --x) add(x, 45);
    for (int y = 45; y > 5; --y) add(5, y);
    for (int x = 5; x <= 25; ++x) add(x, 5);
    const std::vector<uint32_t> s = segment(e);
    EXPECT_EQ(QV_CircleSeg(s.data()), 1);
    const double start[2] = {100, 100};
    const std::vector<Vertex> v = take_polyline(QV_SegmentCenterOptimize(s.data(), nullptr, 2, start, start));
    ASSERT_EQ(v.size(), 5u); // four sides, ends on the first vertex again
    EXPECT_EQ(v.front().x, v.back().x);
    EXPECT_EQ(v.front().y, v.back().y);
    for (const Vertex &p : v) { // every vertex is a corner of the square
        EXPECT_NEAR(std::min(fabs(p.x - 5), fabs(p.x - 45)), 0, 0.5);
        EXPECT_NEAR(std::min(fabs(p.y - 5), fabs(p.y - 45)), 0, 0.5);
    }
}

TEST_F(SegmentsTest, FittedVerticesStayOnTheStroke) {
    // Strokes of two to four straight pieces with gentle or sharp bends, at
    // every direction: each fitted vertex lies within 5 pixels of the
    // element centres' bounding box (nearly parallel runs meet far away;
    // such a meeting point must not become a vertex).
    std::mt19937 random(5);
    std::uniform_real_distribution<double> unit(0, 1);
    for (int round = 0; round < 300; ++round) {
        std::vector<std::pair<Pt, Pt>> e;
        double x = 600 + 100 * unit(random), y = 600 + 100 * unit(random), a = 2 * M_PI * unit(random);
        const int pieces = 2 + round % 3;
        for (int p = 0; p < pieces; ++p) {
            const double len = 20 + 80 * unit(random);
            a += (round % 2 ? 0.05 : 0.8) * (unit(random) - 0.5);
            for (double t = 0; t < len; t += 0.7) {
                const double cx = x + t * cos(a), cy = y + t * sin(a), nx = -sin(a) * 2, ny = cos(a) * 2;
                const Pt pa{int(lround(cx + nx)), int(lround(cy + ny))}, pb{int(lround(cx - nx)), int(lround(cy - ny))};
                if (e.empty() || e.back().first != pa || e.back().second != pb)
                    e.push_back({pa, pb});
            }
            x += len * cos(a), y += len * sin(a);
        }
        double minX = 1e9, minY = 1e9, maxX = -1e9, maxY = -1e9;
        for (const auto &el : e) {
            const double cx = (el.first.x + el.second.x) / 2.0, cy = (el.first.y + el.second.y) / 2.0;
            minX = std::min(minX, cx), maxX = std::max(maxX, cx), minY = std::min(minY, cy), maxY = std::max(maxY, cy);
        }
        const std::vector<uint32_t> s = segment(e);
        const std::vector<Vertex> v = take_polyline(QV_SegmentCenterOptimize(s.data(), nullptr, 4, nullptr, nullptr));
        ASSERT_GE(v.size(), 2u) << round;
        for (const Vertex &p : v) {
            EXPECT_GE(p.x, minX - 5) << round;
            EXPECT_LE(p.x, maxX + 5) << round;
            EXPECT_GE(p.y, minY - 5) << round;
            EXPECT_LE(p.y, maxY + 5) << round;
        }
    }
}

// ---- Intersections and closed segments -----------------------------------------

TEST_F(SegmentsTest, LineIntersections) {
    struct Case {
        const char *name;
        double p1[2], p2[2], q1[2], q2[2];
        int32_t result;
        double x, y;
    };
    const Case cases[] = {
        {"crossing diagonals", {0, 0}, {10, 10}, {0, 10}, {10, 0}, 1, 5, 5},
        {"steep and flat", {3, 0}, {4, 100}, {0, 50}, {100, 50}, 1, 3.5, 50},
        {"p1 = p2", {1, 1}, {1, 1}, {0, 10}, {10, 0}, 0, 0, 0},
        {"q1 = q2", {0, 0}, {10, 10}, {4, 4}, {4, 4}, 0, 0, 0},
        {"parallel", {0, 0}, {10, 10}, {0, 1}, {10, 11}, 0, 0, 0},
        {"parallel steep", {0, 0}, {1, 10}, {5, 0}, {6, 10}, 0, 0, 0},
        {"meets at negative x", {0, 0}, {10, 10}, {0, -20}, {10, -30}, 0, 0, 0},
        {"meets beyond 65535", {0, 0}, {10, 10}, {70000, 0}, {70000, 1}, 0, 0, 0},
        {"nearly parallel, far away", {0, 0}, {1000, 1}, {0, 1}, {1000, 2.000001}, 0, 0, 0},
        {"not finite", {0, 0}, {NAN, 10}, {0, 10}, {10, 0}, 0, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        double x = -7, y = -7;
        EXPECT_EQ(QV_GetLineIntersect(c.p1, c.p2, c.q1, c.q2, &x, &y), c.result);
        if (c.result) {
            EXPECT_NEAR(x, c.x, 1e-9);
            EXPECT_NEAR(y, c.y, 1e-9);
        } else {
            EXPECT_EQ(x, -7); // nothing written
            EXPECT_EQ(y, -7);
        }
    }
}

TEST_F(SegmentsTest, ClosedSegments) {
    EXPECT_EQ(QV_CircleSeg(segment({{{3, 4}, {5, 6}}}).data()), 1);
    EXPECT_EQ(QV_CircleSeg(segment({{{3, 4}, {5, 6}}, {{4, 4}, {5, 7}}, {{3, 4}, {5, 6}}}).data()), 1);
    EXPECT_EQ(QV_CircleSeg(segment({{{3, 4}, {5, 6}}, {{3, 4}, {5, 7}}}).data()), 0);
    EXPECT_EQ(QV_CircleSeg(segment({{{3, 4}, {5, 6}}, {{5, 6}, {3, 4}}}).data()), 0);
    EXPECT_EQ(QV_CircleSeg(segment({}).data()), 0);
    EXPECT_EQ(QV_CircleSeg(nullptr), 0);
}

// ---- Contours -----------------------------------------------------------------------

std::vector<uint32_t> wpoly(const std::vector<Pt> &pts, uint32_t flags = 0) {
    std::vector<uint32_t> w{static_cast<uint32_t>(pts.size()) | flags};
    for (const Pt &p : pts)
        w.push_back(word(p.x, p.y));
    return w;
}

TEST_F(SegmentsTest, ContourFitting) {
    // A closed rectangle: 4 pieces, 5 vertices at its corners.
    std::vector<Vertex> v = take_polyline(QV_ContourOptimize(wpoly({{10, 10}, {50, 10}, {50, 30}, {10, 30}, {10, 10}}).data(), 1));
    ASSERT_EQ(v.size(), 5u);
    EXPECT_EQ(v.front().x, v.back().x);
    EXPECT_EQ(v.front().y, v.back().y);
    for (const Vertex &p : v) {
        EXPECT_NEAR(std::min(fabs(p.x - 10), fabs(p.x - 50)), 0, 0.5);
        EXPECT_NEAR(std::min(fabs(p.y - 10), fabs(p.y - 30)), 0, 0.5);
    }
    // The same contour without the repeated point is open: its ends stay.
    v = take_polyline(QV_ContourOptimize(wpoly({{10, 10}, {50, 10}, {50, 30}, {10, 30}}).data(), 1));
    ASSERT_EQ(v.size(), 4u);
    EXPECT_NEAR(v.front().x, 10, 1e-9);
    EXPECT_NEAR(v.back().y, 30, 1e-9);
    // A closed contour that fits in fewer than 3 pieces gives null: a
    // there-and-back line.
    EXPECT_EQ(QV_ContourOptimize(wpoly({{10, 10}, {50, 10}, {10, 10}}).data(), 1), nullptr);
    // A staircase within tolerance is one piece; with 0 it keeps steps.
    const std::vector<uint32_t> stairs = wpoly({{0, 0}, {6, 0}, {6, 3}, {12, 3}, {12, 6}, {18, 6}});
    EXPECT_EQ(take_polyline(QV_ContourOptimize(stairs.data(), 8)).size(), 2u);
    EXPECT_GT(take_polyline(QV_ContourOptimize(stairs.data(), 0)).size(), 2u);
    EXPECT_EQ(take_polyline(QV_ContourOptimize(stairs.data(), -5)).size(),
              take_polyline(QV_ContourOptimize(stairs.data(), 0)).size());
    // Refusals: flags in the count, empty, null.
    EXPECT_EQ(QV_ContourOptimize(wpoly({{0, 0}, {4, 0}, {4, 4}, {0, 4}, {0, 0}}, QV_HOLE_FLAG).data(), 1), nullptr);
    EXPECT_EQ(QV_ContourOptimize(wpoly({}).data(), 1), nullptr);
    EXPECT_EQ(QV_ContourOptimize(nullptr, 1), nullptr);
}

// ---- Graphs of drawings -----------------------------------------------------------

// A traced and built graph held for the test, released at the end.
struct Drawing {
    std::vector<uint8_t> bytes;
    void *contours = nullptr, *objects = nullptr;
    void **graph = nullptr;
    int32_t nObj = 0;
    explicit Drawing(const BitRaster &r, int32_t width) : bytes(r.bytes) {
        nObj = QV_BWDmriOutline(bytes.data(), r.width, r.height, &contours, &objects);
        if (nObj > 0) {
            EXPECT_EQ(QV_MakeGraph(static_cast<const int32_t *>(objects), contours, nObj, width, &graph), 1);
        }
    }
    ~Drawing() {
        QV_FreeGraphData(graph, nObj);
        qs_free(&contours);
        qs_free(&objects);
    }
    ObjectGraph object(int32_t i) const { return take_apart(graph, nObj)[static_cast<size_t>(i)]; }
};

void draw_disc(BitRaster &r, double cx, double cy, double rad) {
    for (int y = 0; y < r.height; ++y)
        for (int x = 0; x < r.width; ++x)
            if (hypot(x + 0.5 - cx, y + 0.5 - cy) <= rad)
                r.set(x, y, true);
}
void draw_ring(BitRaster &r, double cx, double cy, double rad, double t) {
    for (int y = 0; y < r.height; ++y)
        for (int x = 0; x < r.width; ++x) {
            const double d = hypot(x + 0.5 - cx, y + 0.5 - cy);
            if (d >= rad - t / 2 && d <= rad + t / 2)
                r.set(x, y, true);
        }
}

TEST_F(SegmentsTest, StrokeOfABarIsItsCentreLineWithItsWidth) {
    for (int t : {3, 5, 8, 12})
        for (int angle : {0, 30, 90}) {
            SCOPED_TRACE(::testing::Message() << "thickness " << t << " angle " << angle);
            if (t < 4 && angle % 90)
                continue; // a 3-pixel slanted bar is not one 4-connected object
            BitRaster r(140, 140);
            const double a = angle * M_PI / 180, x0 = 70 - 50 * cos(a), y0 = 70 - 50 * sin(a);
            const double x1 = 70 + 50 * cos(a), y1 = 70 + 50 * sin(a);
            draw_bar(r, x0, y0, x1, y1, t);
            Drawing d(r, t);
            ASSERT_EQ(d.nObj, 1);
            // The nearest stroke to a point beside the bar's middle: the
            // centre lies on the bar's axis, its width is the bar's.
            QV_Feature f;
            const int32_t dist = QV_LocateFeature(d.graph, d.nObj, 70 + int(20 * sin(a)), 70 - int(20 * cos(a)),
                                                  QV_FEATURE_STROKE, 2, &f);
            ASSERT_NE(dist, QV_FEATURE_NONE);
            const double off = fabs((f.x - x0) * sin(a) - (f.y - y0) * cos(a));
            EXPECT_LT(off, 1.0);
            // The true width: the bar's pixels over its length.
            EXPECT_NEAR(f.x2, r.black_pixels() / 100.0, 0.05 * t + 0.3);
            EXPECT_NEAR(dist, (f.x - (70 + int(20 * sin(a)))) * (f.x - (70 + int(20 * sin(a)))) +
                                  (f.y - (70 - int(20 * cos(a)))) * (f.y - (70 - int(20 * cos(a)))),
                        1.5 * sqrt(dist) + 1);
            // Its ends are the bar's ends: where the sides meet, on the
            // square cap (within its half width of the cap's middle).
            for (double e : {-1.0, 1.0}) {
                const int32_t qx = int(70 + e * 55 * cos(a)), qy = int(70 + e * 55 * sin(a));
                ASSERT_NE(QV_LocateFeature(d.graph, d.nObj, qx, qy, QV_FEATURE_END, 2, &f), QV_FEATURE_NONE);
                EXPECT_LT(hypot(f.x - (70 + e * 50 * cos(a)), f.y - (70 + e * 50 * sin(a))), t + 1.0);
            }
        }
}

TEST_F(SegmentsTest, FeaturesOfSmallDrawings) {
    for (int t : {4, 6, 9}) {
        SCOPED_TRACE(::testing::Message() << "thickness " << t);
        QV_Feature f;
        { // L: the corner at (30, 80)
            BitRaster r(120, 120);
            draw_bar(r, 30, 10, 30, 80 + t / 2.0, t);
            draw_bar(r, 30 - t / 2.0, 80, 100, 80, t);
            Drawing d(r, t);
            ASSERT_NE(QV_LocateFeature(d.graph, d.nObj, 40, 70, QV_FEATURE_CORNER, 2, &f), QV_FEATURE_NONE);
            EXPECT_NEAR(f.x, 30, std::max(2.0, t / 2.0));
            EXPECT_NEAR(f.y, 80, std::max(2.0, t / 2.0));
        }
        { // X: the crossing at (60, 60)
            BitRaster r(120, 120);
            draw_bar(r, 10, 60, 110, 60, t);
            draw_bar(r, 60, 10, 60, 110, t);
            Drawing d(r, t);
            const int32_t dist = QV_LocateFeature(d.graph, d.nObj, 70, 75, QV_FEATURE_CROSSING, 2, &f);
            ASSERT_NE(dist, QV_FEATURE_NONE);
            EXPECT_NEAR(f.x, 60, 2.0);
            EXPECT_NEAR(f.y, 60, 2.0);
            EXPECT_NEAR(dist, hypot(f.x - 70, f.y - 75), 1.0);
        }
        { // T: the junction at (60, 20)
            BitRaster r(120, 120);
            draw_bar(r, 10, 20, 110, 20, t);
            draw_bar(r, 60, 20, 60, 110, t);
            Drawing d(r, t);
            ASSERT_NE(QV_LocateFeature(d.graph, d.nObj, 50, 40, QV_FEATURE_JUNCTION, 2, &f), QV_FEATURE_NONE);
            EXPECT_NEAR(f.x, 60, 2.0);
            EXPECT_NEAR(f.y, 20, 2.0);
            // No crossing in a T.
            EXPECT_EQ(QV_LocateFeature(d.graph, d.nObj, 50, 40, QV_FEATURE_CROSSING, 2, &f), QV_FEATURE_NONE);
        }
        { // O beside a disc: the loop's centre; the disc has no loop.
            BitRaster r(160, 100);
            draw_ring(r, 50, 50, 30, t);
            draw_disc(r, 130, 50, 12);
            Drawing d(r, t);
            ASSERT_NE(QV_LocateFeature(d.graph, d.nObj, 120, 50, QV_FEATURE_LOOP, 2, &f), QV_FEATURE_NONE);
            EXPECT_NEAR(f.x, 50, 1.0);
            EXPECT_NEAR(f.y, 50, 1.0);
            EXPECT_NEAR(f.x2, t, 0.2 * t + 0.5);
        }
    }
}

TEST_F(SegmentsTest, UnknownKindsAndBadArguments) {
    BitRaster r(60, 60);
    draw_bar(r, 10, 30, 50, 30, 5);
    Drawing d(r, 5);
    QV_Feature f{1, 2, 3, 4, 5, 6};
    for (int32_t kind : {0, 3, 5, 7, 65, 128, -1, 2147483647})
        EXPECT_EQ(QV_LocateFeature(d.graph, d.nObj, 30, 30, kind, 2, &f), QV_FEATURE_NONE) << kind;
    EXPECT_EQ(QV_LocateFeature(nullptr, 1, 30, 30, QV_FEATURE_STROKE, 2, &f), QV_FEATURE_NONE);
    EXPECT_EQ(QV_LocateFeature(d.graph, 0, 30, 30, QV_FEATURE_STROKE, 2, &f), QV_FEATURE_NONE);
    EXPECT_EQ(QV_LocateFeature(d.graph, d.nObj, 30, 30, QV_FEATURE_STROKE, 2, nullptr), QV_FEATURE_NONE);
    EXPECT_EQ(f.x, 1); // untouched
    // A bar has no crossing, junction or loop.
    for (int32_t kind : {QV_FEATURE_CROSSING, QV_FEATURE_JUNCTION, QV_FEATURE_LOOP})
        EXPECT_EQ(QV_LocateFeature(d.graph, d.nObj, 30, 30, kind, 2, &f), QV_FEATURE_NONE) << kind;
    EXPECT_EQ(f.x, 1);
    // Far-away queries are clamped, not overflowed.
    EXPECT_EQ(QV_LocateFeature(d.graph, d.nObj, 2147483647, -2147483647 - 1, QV_FEATURE_SIDE, 2, &f), 2147483646);
}

// ---- Merging strokes --------------------------------------------------------------

// The offsets of an object's cap segments (edges marked NBR_CAP).
std::vector<int32_t> cap_segments(const ObjectGraph &g) {
    std::vector<int32_t> caps;
    for (const QV_GraphNode &n : g.nodes)
        for (int j = 0; j < 3; ++j)
            if (n.neighbour[j] == NBR_CAP && n.link[j] >= 0)
                caps.push_back(n.link[j]);
    return caps;
}

std::vector<std::pair<Pt, Pt>> take_segment(void *block) {
    std::vector<std::pair<Pt, Pt>> e;
    if (block == nullptr)
        return e;
    uint32_t n;
    memcpy(&n, block, 4);
    EXPECT_EQ(n & 0xC0000000u, 0u);
    for (uint32_t k = 0; k < (n & 0x3FFFFFFF); ++k) {
        uint32_t w[2];
        memcpy(w, static_cast<uint8_t *>(block) + 4 + 8 * k, 8);
        e.push_back({to_pt(w[0]), to_pt(w[1])});
    }
    qs_free(&block);
    return e;
}

// Consecutive elements of a merged stroke stay close: no element jumps
// across the drawing (a segment copied the wrong way round would).
double largest_step(const std::vector<std::pair<Pt, Pt>> &e) {
    double worst = 0;
    for (size_t k = 1; k < e.size(); ++k) {
        const double cx0 = (e[k - 1].first.x + e[k - 1].second.x) / 2.0, cy0 = (e[k - 1].first.y + e[k - 1].second.y) / 2.0;
        const double cx1 = (e[k].first.x + e[k].second.x) / 2.0, cy1 = (e[k].first.y + e[k].second.y) / 2.0;
        worst = std::max(worst, hypot(cx1 - cx0, cy1 - cy0));
    }
    return worst;
}

TEST_F(SegmentsTest, MergingThroughAJunctionGivesOneContinuousStroke) {
    for (int t : {4, 6, 9}) {
        SCOPED_TRACE(::testing::Message() << "thickness " << t);
        BitRaster r(120, 120);
        draw_bar(r, 10, 20, 110, 20, t);
        draw_bar(r, 60, 20, 60, 110, t);
        Drawing d(r, t);
        ASSERT_EQ(d.nObj, 1);
        const ObjectGraph g = d.object(0);
        std::vector<int32_t> caps = cap_segments(g);
        ASSERT_GE(caps.size(), 3u);
        // Every pair of stroke ends merges into one stroke whose ends are
        // the two ends, each step short.
        for (size_t i = 0; i < caps.size(); ++i)
            for (size_t j = i + 1; j < caps.size(); ++j) {
                int32_t list[2] = {caps[i], caps[j]};
                const auto merged = take_segment(QV_ConcatSegments(d.graph, 0, list, 2, 20));
                ASSERT_FALSE(merged.empty());
                EXPECT_LE(largest_step(merged), t + 2.0);
                size_t total = 0;
                std::vector<int32_t> none;
                (void)none;
                total = merged.size();
                EXPECT_GE(total, g.segments.size() > 0 ? 2u : 0u);
                // QV_ChainSegments of the path's two ends alone writes both.
                std::vector<uint32_t> out(2 * (g.segments.size() * 200 + 16));
                EXPECT_NE(QV_ChainSegments(list, 2, out.data()), nullptr);
            }
        // k = 1 copies; collapsed runs of equal offsets; k = -1 of a bar
        // finds no loop.
        int32_t one[1] = {caps[0]};
        const auto copy = take_segment(QV_ConcatSegments(d.graph, 0, one, 1, 8));
        size_t at = 0;
        while (g.segmentOffsets[at] != uint32_t(caps[0]))
            ++at;
        ASSERT_EQ(copy.size(), g.segments[at].size());
        for (size_t k = 0; k < copy.size(); ++k)
            EXPECT_EQ(copy[k].first, g.segments[at][k].a);
        int32_t repeated[4] = {caps[0], caps[0], caps[1], caps[1]};
        EXPECT_FALSE(take_segment(QV_ConcatSegments(d.graph, 0, repeated, 4, 20)).empty());
        EXPECT_EQ(repeated[0], caps[0]);
        EXPECT_EQ(repeated[1], caps[1]); // the list was collapsed in place
        EXPECT_EQ(QV_ConcatSegments(d.graph, 0, one, -1, 8), nullptr);
    }
}

TEST_F(SegmentsTest, LoopThroughARingOfNodes) {
    // A ring with a tail on either side: the ring is a loop through the
    // two junction nodes.
    BitRaster r(100, 100);
    draw_ring(r, 50, 50, 25, 5);
    draw_bar(r, 2, 50, 26, 50, 5);
    draw_bar(r, 74, 50, 98, 50, 5);
    Drawing d(r, 5);
    const ObjectGraph g = d.object(0);
    ASSERT_FALSE(g.nodes.empty());
    bool found = false;
    for (int32_t off : g.segmentOffsets) {
        int32_t list[1] = {off};
        const auto loop = take_segment(QV_ConcatSegments(d.graph, 0, list, -1, 8));
        if (loop.empty())
            continue;
        found = true;
        EXPECT_EQ(loop.front(), loop.back()); // a closed result
        EXPECT_LE(largest_step(loop), 7.0);
    }
    EXPECT_TRUE(found);
    QV_Feature f;
    ASSERT_NE(QV_LocateFeature(d.graph, d.nObj, 40, 30, QV_FEATURE_LOOP, 2, &f), QV_FEATURE_NONE);
    EXPECT_NEAR(f.x, 50, 2.0);
    EXPECT_NEAR(f.y, 50, 2.0);
    // A P: its bowl is one segment from a node back to itself.
    BitRaster p(100, 100);
    draw_bar(p, 20, 10, 20, 90, 5);
    draw_bar(p, 20, 10, 60, 10, 5);
    draw_bar(p, 60, 10, 60, 50, 5);
    draw_bar(p, 20, 50, 60, 50, 5);
    Drawing dp(p, 5);
    ASSERT_NE(QV_LocateFeature(dp.graph, dp.nObj, 40, 30, QV_FEATURE_LOOP, 2, &f), QV_FEATURE_NONE);
    EXPECT_NEAR(f.x, 40, 3.0);
    EXPECT_NEAR(f.y, 30, 3.0);
}

TEST_F(SegmentsTest, MergingRefusesBadOffsetsCountsAndGaps) {
    BitRaster r(120, 120);
    draw_bar(r, 10, 20, 110, 20, 5);
    draw_bar(r, 60, 20, 60, 110, 5);
    Drawing d(r, 5);
    const ObjectGraph g = d.object(0);
    const std::vector<int32_t> caps = cap_segments(g);
    ASSERT_GE(caps.size(), 2u);
    const int32_t last = static_cast<int32_t>(g.segmentOffsets.back());
    struct Case {
        const char *name;
        std::vector<int32_t> list;
        int32_t count, maxGap;
    };
    const Case cases[] = {
        {"maxGap 50", {caps[0], caps[1]}, 2, 50},
        {"maxGap 0", {caps[0], caps[1]}, 2, 0},
        {"maxGap negative", {caps[0], caps[1]}, 2, -3},
        {"count 0", {caps[0], caps[1]}, 0, 8},
        {"count -2", {caps[0], caps[1]}, -2, 8},
        {"offset inside a segment", {caps[0], caps[1] + 4}, 2, 8},
        {"offset past the data", {caps[0], last + 1000000}, 2, 8},
        {"negative offset", {-4, caps[1]}, 2, 8},
        {"huge offset", {2147483647, caps[1]}, 2, 8},
        {"loop from a bad offset", {caps[0] + 8}, -1, 8},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<int32_t> list = c.list;
        EXPECT_EQ(QV_ConcatSegments(d.graph, 0, list.data(), c.count, c.maxGap), nullptr);
    }
    EXPECT_EQ(QV_ConcatSegments(nullptr, 0, std::vector<int32_t>(caps).data(), 2, 8), nullptr);
    EXPECT_EQ(QV_ConcatSegments(d.graph, -1, std::vector<int32_t>(caps).data(), 2, 8), nullptr);
    // QV_ChainSegments checks its offsets against the selected object.
    std::vector<uint32_t> out(4096);
    int32_t good[2] = {caps[0], caps[1]}, bad[2] = {caps[0], caps[1] + 4}, negative[1] = {-8};
    int32_t list[2] = {caps[0], caps[1]};
    void *m = QV_ConcatSegments(d.graph, 0, list, 2, 8);
    ASSERT_NE(m, nullptr);
    qs_free(&m);
    EXPECT_NE(QV_ChainSegments(good, 2, out.data()), nullptr);
    EXPECT_EQ(QV_ChainSegments(bad, 2, out.data()), nullptr);
    EXPECT_EQ(QV_ChainSegments(negative, 1, out.data()), nullptr);
    EXPECT_EQ(QV_ChainSegments(good, 0, out.data()), nullptr);
    EXPECT_EQ(QV_ChainSegments(good, 2, nullptr), nullptr);
    // An object without nodes gives a copy of its one segment.
    BitRaster bar(60, 20);
    draw_bar(bar, 5, 10, 55, 10, 4);
    Drawing b(bar, 4);
    const ObjectGraph bg = b.object(0);
    ASSERT_TRUE(bg.nodes.empty());
    int32_t zero[2] = {0, 0};
    EXPECT_EQ(take_segment(QV_ConcatSegments(b.graph, 0, zero, 2, 8)).size(), bg.segments[0].size());
}

// ---- Allocation failures ------------------------------------------------------------

TEST_F(SegmentsTest, EveryAllocationFailureGivesNullAndLeaksNothing) {
    BitRaster r(120, 120);
    draw_bar(r, 10, 60, 110, 60, 6);
    draw_bar(r, 60, 10, 60, 110, 6);
    draw_bar(r, 10, 10, 40, 10, 6);
    draw_ring(r, 90, 25, 12, 5);
    Drawing d(r, 6);
    ASSERT_GT(d.nObj, 0);
    int32_t cross = 0; // the object with the crossing
    while (cross < d.nObj && cap_segments(d.object(cross)).size() < 4)
        ++cross;
    ASSERT_LT(cross, d.nObj);
    std::vector<int32_t> caps = cap_segments(d.object(cross));
    const int64_t held = qs_test_live_blocks(); // the drawing's own blocks
    const std::vector<uint32_t> bar = segment(straight_elements(10, 20, 90, 30, 2));
    const std::vector<uint32_t> rect = wpoly({{10, 10}, {50, 10}, {50, 30}, {10, 30}, {10, 10}});
    const double start[2] = {5, 19};
    struct Op {
        const char *name;
        std::function<void *()> run;
    };
    const Op ops[] = {
        {"extract", [&] { return QV_SegExtractCenterline(bar.data(), start, start); }},
        {"optimize", [&] { return QV_SegmentCenterOptimize(bar.data(), nullptr, 2, start, nullptr); }},
        {"contour", [&] { return QV_ContourOptimize(rect.data(), 1); }},
        {"concat", [&] {
             int32_t list[2] = {caps[0], caps[1]};
             return QV_ConcatSegments(d.graph, cross, list, 2, 20);
         }},
    };
    for (const Op &op : ops) {
        SCOPED_TRACE(op.name);
        fail_each_step(kFailAllocation, [&] {
            void *p = op.run();
            if (p == nullptr)
                return false;
            qs_free(&p);
            return true;
        }, [&](int64_t) { EXPECT_EQ(qs_test_live_blocks(), held); });
    }
    // The chain engine's own allocation.
    int32_t list[2] = {caps[0], caps[1]};
    void *m = QV_ConcatSegments(d.graph, cross, list, 2, 20);
    qs_free(&m);
    std::vector<uint32_t> out(1 << 16);
    fail_each_step(kFailAllocation, [&] { return QV_ChainSegments(list, 2, out.data()) != nullptr; },
                   [&](int64_t) { EXPECT_EQ(qs_test_live_blocks(), held); });
    // Every feature kind: nothing found while an allocation fails, the
    // same answer as without failures once they succeed.
    for (int32_t kind : {1, 2, 4, 8, 16, 32, 64}) {
        SCOPED_TRACE(kind);
        QV_Feature want{}, got{};
        const int32_t expected = QV_LocateFeature(d.graph, d.nObj, 62, 58, kind, 2, &want);
        fail_each_step(kFailAllocation, [&] {
            const int32_t v = QV_LocateFeature(d.graph, d.nObj, 62, 58, kind, 2, &got);
            return v == expected;
        }, [&](int64_t) { EXPECT_EQ(qs_test_live_blocks(), held); });
        if (expected != QV_FEATURE_NONE) {
            EXPECT_EQ(got.x, want.x);
        }
    }
}

} // namespace
