/*
 * draw_test.cpp - rect drawing, polygon fills, run matrices and lines.
 *
 * Polygon fills are held to a plain per-row reference that applies the
 * crossing rule to every edge at every row (no event rows, no active list,
 * no stepping), and to OpenCV's fillPoly on the pixels away from the edges.
 * Rect drawing is held to a per-pixel reference of the combining modes.
 */
#include "draw_support.h"
#include "raster/ops/draw.h"
#include "raster_support.h"
#include "tests/fault_steps.h"
#include "test_support.h"

#include <opencv2/imgproc.hpp>

#include <math.h>
#include <random>
#include <vector>

using namespace quill_test;

namespace {

// ---- Rect drawing ------------------------------------------------------------

uint8_t combine(uint8_t pixel, uint8_t colour, int mode) {
    switch (mode) {
    case 1: return colour;
    case 2: return pixel ^ colour;
    case 3: return pixel | colour;
    case 4: return pixel & colour;
    default: return pixel;
    }
}

// The frame after QI_FrameDrawRect, pixel by pixel.
Raster drawn(const Raster &before, const QI_Rect *rect, uint32_t colour, int mode, bool outside) {
    Raster r = before;
    for (int32_t y = 0; y < r.height; ++y)
        for (int32_t x = 0; x < r.width; ++x) {
            bool in = !rect || (x >= rect->left && x <= rect->right && y >= rect->top && y <= rect->bottom);
            if (in == outside)
                continue;
            uint32_t v = r.get(x, y), out = 0;
            if (r.kind == 1)
                out = combine(v ? 0xFF : 0, (colour & 0xFF) >= 128 ? 0xFF : 0, mode) & 1;
            for (int b = 0; r.kind != 1 && b < (r.kind == 4 ? 3 : 1); ++b)
                out |= uint32_t(combine(uint8_t(v >> 8 * b), uint8_t(colour >> 8 * b), mode)) << 8 * b;
            r.set(x, y, out);
        }
    return r;
}

class DrawRectTest : public LibraryFixture {};
class FrameFillTest : public LibraryFixture {};

TEST_F(DrawRectTest, EveryModeKindAndPieceMatchesThePerPixelRule) {
    std::mt19937 random(11);
    const QI_Rect straddling{100, 90, 300, 140}, covering{-5, -5, 500, 500}, missing{600, 0, 700, 10},
        cut{-10, 200, 140, 400}, onePixel{127, 128, 127, 128};
    const QI_Rect *rects[] = {nullptr, &straddling, &covering, &missing, &cut, &onePixel};
    for (int kind : {1, 2, 4})
        for (int mode : {1, 2, 3, 4, 9})
            for (int outside : {0, 1})
                for (const QI_Rect *rect : rects) {
                    Raster before(301, 259, kind);
                    before.fill_random(random);
                    int frame = frame_from(before, kind == 2 ? QI_STORAGE_SWAP : QI_STORAGE_MEMORY);
                    ASSERT_GE(frame, 0);
                    uint32_t colour = random() & 0xFFFFFF;
                    EXPECT_EQ(QI_FrameDrawRect(frame, rect, colour, mode, outside), 1);
                    EXPECT_TRUE(same_pixels(frame_pixels(frame), drawn(before, rect, colour, mode, outside)))
                        << "kind " << kind << " mode " << mode << " outside " << outside << " rect "
                        << (rect ? rect->left : -1);
                    EXPECT_EQ(QI_FrameGetData(frame)->locked, 0);
                    QI_FrameDelete(frame);
                }
}

TEST_F(DrawRectTest, XorWithWhiteInvertsAndLockStaysAsFound) {
    Raster before(3, 2, 4);
    before.set(1, 1, 0x302010);
    int frame = frame_from(before);
    ASSERT_TRUE(QI_FrameLock(frame));
    EXPECT_EQ(QI_FrameDrawRect(frame, nullptr, QI_COLOR_WHITE, 2, 0), 1);
    EXPECT_EQ(QI_FrameGetData(frame)->locked, 1);
    // The first byte inverts fully, the others in their low seven bits.
    EXPECT_EQ(frame_pixels(frame).get(1, 1), 0x4F5FEFu);
    QI_FrameUnlock(frame);
    EXPECT_EQ(QI_FrameDrawRect(frame + 1, nullptr, 0, 1, 0), 0);
    QI_FrameDelete(frame);
}

// ---- Polygon fills -----------------------------------------------------------------

// Pixel (x, y) of a bilevel raster is black.
bool black(const Raster &r, int32_t x, int32_t y) { return r.get(x, y) == 0; }

TEST(PolygonFill, SquareStarSharedEdgesAndGapsFollowTheCentreLineRule) {
    Raster square(16, 16, 1);
    ASSERT_EQ(QI_DmriFillPoly_BW(square.data(), 16, 16, PolySet().add({{0, 0}, {10, 0}, {10, 10}, {0, 10}}).data()), 1);
    for (int32_t y = 0; y < 16; ++y)
        for (int32_t x = 0; x < 16; ++x)
            EXPECT_EQ(black(square, x, y), x < 10 && y < 10) << x << "," << y;

    // A five-pointed star drawn with crossing edges keeps its centre white.
    PolySet star;
    std::vector<Vertex> points;
    for (int i = 0; i < 5; ++i) {
        double angle = -M_PI / 2 + i * 4 * M_PI / 5;
        points.push_back({100 + lround(90 * cos(angle)), 100 + lround(90 * sin(angle))});
    }
    star.add(points);
    Raster starred(200, 200, 1);
    ASSERT_EQ(QI_DmriFillPoly_BW(starred.data(), 200, 200, star.data()), 1);
    EXPECT_FALSE(black(starred, 100, 100));
    EXPECT_TRUE(black(starred, 100, 30));
    EXPECT_TRUE(same_pixels(starred, reference_fill(star, 200, 200).raster));

    // Two squares sharing an edge fill as one.
    Raster joined(24, 12, 1);
    PolySet pair;
    pair.add({{0, 0}, {10, 0}, {10, 10}, {0, 10}}).add({{10, 0}, {20, 0}, {20, 10}, {10, 10}});
    ASSERT_EQ(QI_DmriFillPoly_BW(joined.data(), 24, 12, pair.data()), 1);
    for (int32_t x = 0; x < 24; ++x)
        EXPECT_EQ(black(joined, x, 5), x < 20);

    // Rows between two triangles that no edge crosses fail the fill, which
    // then paints nothing; so do two vertices, and a box too wide.
    Raster untouched(40, 40, 1), target = untouched;
    PolySet apart, two, wide, none;
    apart.add({{0, 0}, {10, 0}, {5, 8}}).add({{0, 20}, {10, 20}, {5, 28}});
    two.add({{0, 0}, {10, 10}});
    wide.add({{0, 0}, {131072, 0}, {0, 5}});
    for (const PolySet *bad : {&apart, &two, &wide, &none})
        EXPECT_EQ(QI_DmriFillPoly_BW(target.data(), 40, 40, bad->data()), 0);
    EXPECT_TRUE(same_pixels(target, untouched));
    PolySet widest;
    widest.add({{0, 0}, {131071, 0}, {0, 5}});
    EXPECT_EQ(QI_DmriFillPoly_BW(target.data(), 40, 40, widest.data()), 1);
}

TEST_F(FrameFillTest, RandomSetsOfBothFormsMatchTheReferenceAndOpenCv) {
    std::mt19937 random(7);
    int compared = 0, failed = 0;
    for (int trial = 0; trial < 300; ++trial) {
        const int32_t w = 160 + random() % 120, h = 120 + random() % 120;
        PolySet set = random_set(random, w, h, trial % 3 == 0 ? 300 : 12);
        // The floating form goes through a bilevel frame of the same size.
        bool floating = trial % 2 == 1;
        Raster got(w, h, 1);
        int ok = QI_DmriFillPoly_BW(got.data(), w, h, set.data());
        if (floating) {
            int frame = frame_from(Raster(w, h, 1));
            std::vector<uint8_t> doubles = set.floating();
            QI_Rect touched;
            int filled = QI_FrameFillPoly(frame, doubles.data(), 0, QI_COLOR_BLACK, 0, &touched);
            EXPECT_EQ(filled, ok && touched.left <= touched.right ? 1 : 0) << "trial " << trial;
            got = frame_pixels(frame);
            QI_FrameDelete(frame);
        }
        Reference want = reference_fill(set, w, h);
        ASSERT_EQ(ok, want.ok ? 1 : 0) << "trial " << trial;
        ASSERT_TRUE(same_pixels(got, want.raster)) << "trial " << trial;
        if (!ok) {
            ++failed;
            continue;
        }
        if (trial % 3 == 0)
            continue; // the peer check costs pixels x edges: the small sets only
        // OpenCV fills pixel centres at whole coordinates, we at half rows:
        // the two agree on every pixel more than two pixels from an edge.
        cv::Mat peer(h, w, CV_8UC1, cv::Scalar(0));
        std::vector<std::vector<cv::Point>> contours;
        for (const auto &polygon : set.polygons) {
            contours.emplace_back();
            for (const Vertex &p : polygon)
                contours.back().emplace_back(int(p.x), int(p.y));
        }
        cv::fillPoly(peer, contours, cv::Scalar(255));
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < w; ++x)
                if (distance_to_edges(set, x + 0.5, y + 0.5) > 2.0) {
                    ASSERT_EQ(black(got, x, y), peer.at<uint8_t>(y, x) != 0) << trial << ": " << x << "," << y;
                    ++compared;
                }
    }
    EXPECT_GT(compared, 1000000);
    EXPECT_GT(failed, 0);
    EXPECT_LT(failed, 200);
}

TEST_F(FrameFillTest, FloatingVerticesRoundHalvesUpAndMustBeInRange) {
    Raster a(16, 16, 1);
    PolySet set;
    set.add({{0, 0}, {10, 0}, {10, 10}, {0, 10}});
    std::vector<uint8_t> halves = set.floating(-0.5); // -0.5 rounds to 0
    ASSERT_EQ(QI_DmriFillPoly_BW(a.data(), 16, 16, set.data()), 1);
    int b = frame_from(Raster(16, 16, 1));
    ASSERT_EQ(QI_FrameFillPoly(b, halves.data(), 0, QI_COLOR_BLACK, 0, nullptr), 1);
    EXPECT_TRUE(same_pixels(a, frame_pixels(b)));
    QI_FrameDelete(b);
    Raster f(16, 16, 1);
    int frame = frame_from(f);
    for (double bad : {2147483646.0, -2147483646.0, double(NAN), double(INFINITY)}) {
        PolySet big;
        big.add({{0, 0}, {10, 0}, {10, 10}});
        std::vector<uint8_t> bytes = big.floating();
        memcpy(bytes.data() + 8 + 16, &bad, 8);
        EXPECT_EQ(QI_FrameFillPoly(frame, bytes.data(), 0, 0, 0, nullptr), 0) << bad;
    }
    QI_FrameDelete(frame);
}

TEST_F(FrameFillTest, InsideAndOutsideOnEveryKindMatchTheReference) {
    std::mt19937 random(5);
    for (int kind : {1, 2, 4})
        for (int outside : {0, 1})
            for (int trial = 0; trial < 6; ++trial) {
                Raster before(390, 300, kind);
                before.fill_random(random);
                int frame = frame_from(before, trial % 2 ? QI_STORAGE_SWAP : QI_STORAGE_MEMORY);
                // Sets reach past the frame on some trials.
                PolySet set = random_set(random, trial < 3 ? 390 : 700, trial < 3 ? 300 : 500, 40, -150);
                Reference inside = reference_fill(set, 390, 300);
                uint32_t colour = random() & 0xFFFFFF;
                QI_Rect touched{};
                int ok = QI_FrameFillPoly(frame, set.data(), 1, colour, outside, &touched);
                QI_Rect frameRect{0, 0, 389, 299}, box = set.box(), clipped;
                bool meets = QI_IntersectRects(&frameRect, &box, &clipped);
                Raster want = before;
                for (int32_t y = 0; inside.ok && (meets || outside) && y < 300; ++y)
                    for (int32_t x = 0; x < 390; ++x)
                        if (black(inside.raster, x, y) != (outside != 0))
                            want.set(x, y, kind == 1 ? (colour & 0xFF) >= 128 : kind == 2 ? colour & 0xFF : colour);
                if (inside.ok && meets) {
                    EXPECT_EQ(touched.left, clipped.left);
                    EXPECT_EQ(touched.bottom, clipped.bottom);
                }
                EXPECT_EQ(ok, inside.ok && (meets || outside) ? 1 : 0);
                EXPECT_TRUE(same_pixels(frame_pixels(frame), want)) << kind << " " << outside << " " << trial;
                QI_FrameDelete(frame);
            }
}

TEST_F(FrameFillTest, PolygonsOutsideTheFrameFillAllOfItOnlyWhenOutside) {
    Raster before(200, 140, 2, 7);
    int frame = frame_from(before);
    PolySet far;
    far.add({{1000, 1000}, {1010, 1000}, {1005, 1020}});
    QI_Rect touched;
    EXPECT_EQ(QI_FrameFillPoly(frame, far.data(), 1, 200, 0, &touched), 0);
    EXPECT_TRUE(same_pixels(frame_pixels(frame), before));
    EXPECT_EQ(QI_FrameFillPoly(frame, far.data(), 1, 200, 1, &touched), 1);
    EXPECT_TRUE(same_pixels(frame_pixels(frame), Raster(200, 140, 2, 200)));
    // A triangle reaching far out paints only its part in the frame.
    PolySet reaching;
    reaching.add({{-100000, 50}, {150, 0}, {150, 100}});
    EXPECT_EQ(QI_FrameFillPoly(frame, reaching.data(), 1, 9, 0, &touched), 1);
    EXPECT_EQ(touched.left, 0);
    EXPECT_EQ(touched.right, 149);
    EXPECT_EQ(frame_pixels(frame).get(149, 50), 9u);
    EXPECT_EQ(frame_pixels(frame).get(150, 50), 200u);
    QI_FrameDelete(frame);
}

TEST_F(FrameFillTest, ProgressIsPolyFillAndCannotCancel) {
    static std::vector<intptr_t> heard;
    heard.clear();
    QI_CloseFrameFunctions();
    ASSERT_EQ(QI_InitFrameFunctions(swap_.path().c_str(), swap_.path().c_str(),
                                    [](intptr_t v) { heard.push_back(v); return 0; }), 1);
    int frame = frame_from(Raster(700, 300, 1));
    PolySet set;
    set.add({{0, 0}, {690, 10}, {300, 290}});
    EXPECT_EQ(QI_FrameFillPoly(frame, set.data(), 1, 0, 0, nullptr), 1);
    ASSERT_GE(heard.size(), 4u);
    EXPECT_EQ(heard[0], 0);
    EXPECT_STREQ(reinterpret_cast<const char *>(heard[1]), "PolyFill");
    EXPECT_EQ(heard.back(), 100);
    EXPECT_EQ(std::count(heard.begin(), heard.end(), 101), 0);
    QI_FrameDelete(frame);
}

TEST_F(FrameFillTest, FailedAllocationsAndTileWritesFailCleanly) {
    Raster before(300, 300, 1);
    int frame = frame_from(before, QI_STORAGE_SWAP);
    PolySet set;
    set.add({{10, 10}, {290, 40}, {150, 280}});
    int64_t live = qs_test_live_blocks();
    fail_each_step(
        kFailAllocation, [&] { return QI_FrameFillPoly(frame, set.data(), 1, 0, 1, nullptr) == 1; },
        [&](int64_t n) { EXPECT_EQ(qs_test_live_blocks(), live) << n; });
    fail_each_step(
        int(quill::FileOp::Write), [&] { return QI_FrameFillPoly(frame, set.data(), 1, 0, 0, nullptr) == 1; },
        [&](int64_t) {});
    fail_each_step(
        kFailAllocation, [&] { return QI_FrameDrawRect(frame, nullptr, 0, 2, 0) == 1; },
        [&](int64_t n) { EXPECT_EQ(qs_test_live_blocks(), live) << n; });
    Raster buffer(300, 300, 1);
    fail_each_step(
        kFailAllocation, [&] { return QI_DmriFillPoly_BW(buffer.data(), 300, 300, set.data()) == 1; },
        [&](int64_t n) {
            EXPECT_EQ(qs_test_live_blocks(), live) << n;
            EXPECT_TRUE(same_pixels(buffer, before));
        });
    QI_FrameDelete(frame);
}

// ---- Run matrices and lines -------------------------------------------------------

TEST(RunMatrix, RowsWiderThan65535PaintLikeNarrowOnes) {
    const int32_t width = 100000;
    std::vector<int32_t> runs = {2, 5, 70000, 99990, 100000, 0, 1, -50, 3};
    QI_Rect runsRect{-10, 7, 99999, 9}, pixelsRect{0, 8, width - 1, 9};
    Raster r(width, 2, 1);
    ASSERT_EQ(QI_DmriFillRunMatxI_BW(r.data(), &pixelsRect, runs.data(), &runsRect), 1);
    for (int32_t x : {0, 4, 5, 69999, 70000, 99989, 99990, 99999})
        EXPECT_EQ(black(r, x, 0), false) << x;  // matrix row 7 lies above the raster
    // Row 8 has no runs; row 9 has (-50, 3), clipped at the raster's left.
    for (int32_t x = 0; x < 6; ++x)
        EXPECT_EQ(black(r, x, 1), x < 3);
    Raster s(width, 1, 1);
    QI_Rect one{0, 0, width - 1, 0}, oneRuns{0, 0, width - 1, 0};
    ASSERT_EQ(QI_DmriFillRunMatxI_BW(s.data(), &one, runs.data(), &oneRuns), 1);
    for (int32_t x : {4, 5, 69999, 70000, 99989, 99990, 99999})
        EXPECT_EQ(black(s, x, 0), (x >= 5 && x < 70000) || x >= 99990) << x;
    QI_Rect missing{0, 5, 10, 6};
    EXPECT_EQ(QI_DmriFillRunMatxI_BW(s.data(), &missing, runs.data(), &oneRuns), 1);
}

TEST(DmriLine, PointsOfTheMajorAxisRuleAtAnyWidth) {
    Raster r(4, 2, 1);
    QI_Point a{0, 0}, b{3, 1};
    ASSERT_EQ(QI_DmriLine_BW(r.data(), 4, 2, &a, &b, 0), 1);
    for (int32_t y = 0; y < 2; ++y)
        for (int32_t x = 0; x < 4; ++x)
            EXPECT_EQ(black(r, x, y), (y == 0 && x < 3) || (x == 3 && y == 1));
    Raster same = r;
    ASSERT_EQ(QI_DmriLine_BW(r.data(), 4, 2, &b, &b, 0), 1);
    EXPECT_TRUE(same_pixels(r, same));
    ASSERT_EQ(QI_DmriLine_BW(r.data(), 4, 2, &b, &a, QI_COLOR_WHITE), 1); // same points, reversed
    EXPECT_TRUE(same_pixels(r, Raster(4, 2, 1)));

    // 40000 pixels wide, from far outside: every point is where 64-bit
    // stepping puts it and nothing wraps.
    const int32_t w = 40000;
    Raster wide(w, 40, 1);
    QI_Point from{-5000, 3}, to{w + 5000, 33};
    ASSERT_EQ(QI_DmriLine_BW(wide.data(), w, 40, &from, &to, 0), 1);
    int64_t n = to.x - from.x, d = to.y - from.y, blacks = 0;
    for (int32_t x = 0; x < w; ++x) {
        int64_t y = from.y + (x - from.x) * d / n;
        EXPECT_TRUE(black(wide, x, int32_t(y))) << x;
    }
    for (uint8_t byte : wide.bytes)
        blacks += 8 - __builtin_popcount(byte);
    EXPECT_EQ(blacks, w);
}

} // namespace
