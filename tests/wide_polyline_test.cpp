/*
 * wide_polyline_test.cpp - covering polygons of wide polylines: their
 * shapes and counts, their argument checks, and the property that filled
 * together they cover exactly the band of the line's width.
 */
#include "raster/ops/wide_polyline.h"
#include "raster_support.h"
#include "tests/fault_steps.h"

#include <math.h>
#include <string.h>

#include <random>
#include <vector>

using namespace quill_test;

namespace {

struct V {
    double x, y;
};

std::vector<uint8_t> polyline(const std::vector<V> &points) {
    std::vector<uint8_t> out(4 + 16 * points.size());
    int32_t n = static_cast<int32_t>(points.size());
    memcpy(out.data(), &n, 4);
    memcpy(out.data() + 4, points.data(), 16 * points.size());
    return out;
}

// The polygons handed out, freed on destruction.
struct Pieces {
    int32_t count = 0;
    void **array = nullptr;
    Pieces(const std::vector<V> &points, double h, int style, double precision = 0.1) {
        count = quill::wide_polyline(polyline(points).data(), h, style, precision, &array);
    }
    ~Pieces() {
        for (int32_t i = 0; i < count; ++i)
            qs_free(&array[i]);
        if (array)
            qs_free(reinterpret_cast<void **>(&array));
    }
    int32_t size(int i) const { return static_cast<int32_t *>(array[i])[1]; }
    V at(int i, int j) const {
        V v;
        memcpy(&v, static_cast<uint8_t *>(array[i]) + 8 + 16 * j, 16);
        return v;
    }
};

bool near(V a, V b) { return fabs(a.x - b.x) < 1e-9 && fabs(a.y - b.y) < 1e-9; }

TEST(WidePolyline, ShapesAndCountsOfEachStyle) {
    Pieces rect({{0, 0}, {10, 0}}, 1, 0);
    ASSERT_EQ(rect.count, 1);
    ASSERT_EQ(rect.size(0), 4);
    V want[4] = {{0, -1}, {0, 1}, {10, 1}, {10, -1}};
    for (int j = 0; j < 4; ++j)
        EXPECT_TRUE(near(rect.at(0, j), want[j])) << j;

    // A right-angle turn, square style: 2 segments, a join, two caps; the
    // join's fourth point is the square corner of the outer side.
    Pieces turn({{0, 0}, {10, 0}, {10, 10}}, 1, 1);
    ASSERT_EQ(turn.count, 5);
    ASSERT_EQ(turn.size(2), 4);
    EXPECT_TRUE(near(turn.at(2, 3), V{11, -1}));
    EXPECT_TRUE(near(turn.at(3, 2), V{-1, -1}) && near(turn.at(3, 3), V{-1, 1})); // h behind the start
    Pieces uTurn({{0, 0}, {10, 0}, {0, 0.0000001}}, 1, 1);
    ASSERT_EQ(uTurn.count, 5);
    EXPECT_EQ(uTurn.size(2), 5);

    // Round style with h = 1, p = 0.1: the step is 0.2 radians, a cap has
    // 15 more points and a right-angle join 7.
    Pieces round({{0, 0}, {10, 0}, {10, 10}}, 1, 2, 0.1);
    ASSERT_EQ(round.count, 5);
    EXPECT_EQ(round.size(2), 3 + 7);
    EXPECT_EQ(round.size(3), 2 + 15);
    EXPECT_EQ(round.size(4), 2 + 15);
    for (int i = 2; i < round.count; ++i)
        for (int j = 3; j < round.size(i); ++j) {
            V p = round.at(i, j);
            V centre = i == 3 ? V{0, 0} : i == 2 ? V{10, 0} : V{10, 10};
            EXPECT_NEAR(hypot(p.x - centre.x, p.y - centre.y), 1.0, 1e-9) << i << " " << j;
        }
}

TEST(WidePolyline, BadArgumentsAndRepeatedPoints) {
    const double nan = NAN, inf = INFINITY;
    struct Case {
        std::vector<V> points;
        double h;
        int style;
        double p;
    } bad[] = {{{{0, 0}}, 1, 0, 1},          {{{0, 0}, {1, 1}}, 0, 0, 1},   {{{0, 0}, {1, 1}}, nan, 0, 1},
               {{{0, 0}, {1, 1}}, inf, 0, 1}, {{{0, 0}, {1, 1}}, 1, 3, 1},   {{{0, 0}, {1, 1}}, 1, 2, 0},
               {{{0, 0}, {1, 1}}, 1, 2, nan}, {{{0, 0}, {0, 0}}, 1, 0, 1},   {{{0, nan}, {1, 1}}, 1, 0, 1},
               {{{-1e308, 0}, {1e308, 0}}, 1, 0, 1}};
    for (const Case &c : bad) {
        Pieces p(c.points, c.h, c.style, c.p);
        EXPECT_EQ(p.count, -1);
        EXPECT_EQ(p.array, nullptr);
    }
    // Repeats are dropped: the same pieces as without them.
    Pieces once({{0, 0}, {10, 0}, {10, 5}}, 2, 1), twice({{0, 0}, {0, 0}, {10, 0}, {10, 0}, {10, 5}}, 2, 1);
    ASSERT_EQ(twice.count, once.count);
    for (int i = 0; i < once.count; ++i)
        for (int j = 0; j < once.size(i); ++j)
            EXPECT_TRUE(near(once.at(i, j), twice.at(i, j)));
    // A precision far below a pixel is bounded, not a request for 10^300 points.
    Pieces fine({{0, 0}, {10, 0}}, 1, 2, 1e-300);
    EXPECT_EQ(fine.count, 3);
    EXPECT_LE(fine.size(1), 2 + 65536);
}

// Distance from p to the polyline.
double distance(const std::vector<V> &line, double x, double y) {
    double best = INFINITY;
    for (size_t i = 0; i + 1 < line.size(); ++i) {
        V a = line[i], b = line[i + 1];
        double dx = b.x - a.x, dy = b.y - a.y, t = ((x - a.x) * dx + (y - a.y) * dy) / (dx * dx + dy * dy);
        t = t < 0 ? 0 : t > 1 ? 1 : t;
        best = std::min(best, hypot(x - a.x - t * dx, y - a.y - t * dy));
    }
    return best;
}

// Fills piece i (vertices rounded to whole pixels) black into r.
bool fill_piece(const Pieces &pieces, int i, Raster &r) {
    int32_t n = pieces.size(i);
    std::vector<int32_t> set = {1, n};
    for (int j = 0; j < n; ++j) {
        set.push_back(int32_t(lround(pieces.at(i, j).x)));
        set.push_back(int32_t(lround(pieces.at(i, j).y)));
    }
    return QI_DmriFillPoly_BW(r.data(), r.width, r.height, set.data()) == 1;
}

TEST(WidePolyline, RoundPiecesFilledTogetherCoverTheBandOfTheWidth) {
    std::mt19937 random(3);
    for (int trial = 0; trial < 20; ++trial) {
        std::vector<V> line;
        for (int i = 0; i < 2 + trial % 5; ++i)
            line.push_back({20 + double(random() % 160), 20 + double(random() % 160)});
        double h = 2 + random() % 8;
        Pieces pieces(line, h, 2, 0.05);
        ASSERT_GT(pieces.count, 0);
        Raster r(200, 200, 1);
        for (int i = 0; i < pieces.count; ++i)
            ASSERT_TRUE(fill_piece(pieces, i, r));
        for (int32_t y = 0; y < 200; ++y)
            for (int32_t x = 0; x < 200; ++x) {
                double d = distance(line, x + 0.5, y + 0.5);
                if (d < h - 1.5) {
                    ASSERT_EQ(r.get(x, y), 0u) << trial << ": " << x << "," << y << " at " << d;
                } else if (d > h + 1.5) {
                    ASSERT_EQ(r.get(x, y), 1u) << trial << ": " << x << "," << y << " at " << d;
                }
            }
    }
}

TEST(WidePolyline, MemoryFailuresGiveEverythingBack) {
    std::vector<uint8_t> line = polyline({{0, 0}, {10, 0}, {10, 10}, {30, 12}});
    int64_t live = qs_test_live_blocks();
    void **out = nullptr;
    int32_t count = 0;
    fail_each_step(
        kFailAllocation, [&] { return (count = quill::wide_polyline(line.data(), 3, 2, 0.1, &out)) > 0; },
        [&](int64_t n) {
            EXPECT_EQ(count, 0) << n;
            EXPECT_EQ(qs_test_live_blocks(), live) << n;
        });
    for (int32_t i = 0; i < count; ++i)
        qs_free(&out[i]);
    qs_free(reinterpret_cast<void **>(&out));
}

} // namespace
