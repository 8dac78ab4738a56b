// Outline tracer: the small cases worked out by hand, a plain per-pixel
// tracer as the oracle of the fast one on random rasters of awkward widths,
// the plain hole-assignment rule as the oracle of the object lists,
// invariants on large random and rendered drawings (areas, component
// counts, every edge on a black-white boundary), bounds and failures.
#include "outline_support.h"

#include "base/test_hooks.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <map>
#include <string>
#include <vector>

using namespace quill_test;

namespace {

#ifndef QUILL_SHARED_DIR
#define QUILL_SHARED_DIR "../shared"
#endif

// Every test checks that no heap block outlives it.
class OutlineTest : public ::testing::Test {
protected:
    void SetUp() override { live_ = qs_test_live_blocks(); }
    void TearDown() override {
        qs_test_fail_allocation(0);
        EXPECT_EQ(qs_test_live_blocks(), live_) << "heap blocks leaked";
    }
    int64_t live_ = 0;
};

// ---- The plain tracer: one unit edge at a time -------------------------

// Directions clockwise: right, down, left, up.
const int kDx[4] = {1, 0, -1, 0}, kDy[4] = {0, 1, 0, -1};

// The pixels ahead of lattice point (x, y) moving in direction d, on the
// left- and right-hand side of the travel (y downwards).
void ahead(int d, int x, int y, Pt &left, Pt &right) {
    switch (d) {
    case 0: left = {x, y - 1}; right = {x, y}; break;
    case 1: left = {x, y}; right = {x - 1, y}; break;
    case 2: left = {x - 1, y}; right = {x - 1, y - 1}; break;
    default: left = {x - 1, y - 1}; right = {x, y - 1}; break;
    }
}

// Contours as the plain walk makes them: every horizontal unit edge
// not yet traced, taken in raster order, begins a contour moving right; it
// is a hole when the pixel below it is white. At each point the contour
// turns towards its object when the pixel ahead on the object's side is
// white, else goes straight when the other pixel ahead is white, else turns
// away.
std::vector<Contour> reference_contours(const BitRaster &r) {
    std::vector<Contour> out;
    const int w = r.width, h = r.height;
    std::vector<bool> done(static_cast<size_t>(w) * (h + 1));
    for (int y = 0; y <= h; ++y) {
        for (int x = 0; x < w; ++x) {
            if (r.black(x, y - 1) == r.black(x, y) || done[static_cast<size_t>(y) * w + x])
                continue;
            Contour c;
            c.hole = !r.black(x, y);
            c.points.push_back({x, y});
            int px = x, py = y, d = 0;
            for (;;) {
                if (d == 0 || d == 2) // mark the horizontal unit edge
                    done[static_cast<size_t>(py) * w + (d == 0 ? px : px - 1)] = true;
                px += kDx[d];
                py += kDy[d];
                Pt left, right;
                ahead(d, px, py, left, right);
                const bool leftWhite = !r.black(left.x, left.y), rightWhite = !r.black(right.x, right.y);
                int next;
                if (!c.hole)
                    next = rightWhite ? (d + 1) % 4 : leftWhite ? d : (d + 3) % 4;
                else
                    next = leftWhite ? (d + 3) % 4 : rightWhite ? d : (d + 1) % 4;
                if (px == x && py == y && next == 0)
                    break;
                if (next != d)
                    c.points.push_back({px, py});
                d = next;
            }
            out.push_back(std::move(c));
        }
    }
    return out;
}

// The plain assignment of holes: outer contours from the last in the
// buffer to the first each take, in buffer order, every hole not yet taken
// whose bounding rectangle lies inside theirs and whose first point is
// inside them by QV_PointInPoly. Returns per object the contour indices.
std::vector<std::vector<size_t>> reference_objects(const std::vector<Contour> &contours) {
    std::vector<std::vector<uint32_t>> polys;
    std::vector<QV_BndRect> rects;
    for (const Contour &c : contours) {
        std::vector<uint32_t> poly{static_cast<uint32_t>(c.points.size())};
        for (const Pt &p : c.points)
            poly.push_back(static_cast<uint32_t>(p.x) | static_cast<uint32_t>(p.y) << 16);
        QV_BndRect rect;
        QV_PolyGetBndRect(poly.data(), &rect);
        polys.push_back(poly);
        rects.push_back(rect);
    }
    std::vector<bool> taken(contours.size());
    std::vector<std::vector<size_t>> objects;
    for (size_t o = contours.size(); o-- > 0;) {
        if (contours[o].hole)
            continue;
        std::vector<size_t> object{o};
        const QV_BndRect &outer = rects[o];
        for (size_t h = 0; h < contours.size(); ++h) {
            const QV_BndRect &in = rects[h];
            if (!contours[h].hole || taken[h] || in.minX < outer.minX || in.minY < outer.minY ||
                in.maxX > outer.maxX || in.maxY > outer.maxY)
                continue;
            if (QV_PointInPoly(&polys[h][1], polys[o].data())) {
                taken[h] = true;
                object.push_back(h);
            }
        }
        objects.push_back(object);
    }
    return objects;
}

// The object lists of `o` as contour indices.
std::vector<std::vector<size_t>> objects_as_indices(const Outlines &o) {
    std::map<uint32_t, size_t> index;
    for (size_t c = 0; c < o.contours.size(); ++c)
        index[o.contours[c].offset] = c;
    std::vector<std::vector<size_t>> out;
    for (const std::vector<uint32_t> &obj : o.objects) {
        std::vector<size_t> members;
        for (uint32_t off : obj)
            members.push_back(index.count(off) ? index[off] : SIZE_MAX);
        out.push_back(members);
    }
    return out;
}

::testing::AssertionResult same_contours(const std::vector<Contour> &got, const std::vector<Contour> &want) {
    if (got.size() != want.size())
        return ::testing::AssertionFailure() << got.size() << " contours, expected " << want.size();
    for (size_t c = 0; c < got.size(); ++c) {
        if (got[c].hole != want[c].hole)
            return ::testing::AssertionFailure() << "contour " << c << " hole flag";
        if (got[c].points != want[c].points) {
            auto f = ::testing::AssertionFailure() << "contour " << c << ": got";
            for (const Pt &p : got[c].points)
                f << " " << p;
            f << "; expected";
            for (const Pt &p : want[c].points)
                f << " " << p;
            return f;
        }
    }
    return ::testing::AssertionSuccess();
}

BitRaster random_raster(std::mt19937 &random, int32_t w, int32_t h, double black) {
    BitRaster r(w, h);
    r.fill_random(random, black);
    return r;
}

} // namespace

// ---- Small cases, worked out by hand -----------------------------------

TEST_F(OutlineTest, SmallCasesGiveTheContoursWorkedOutByHand) {
    struct Case {
        const char *name;
        std::vector<std::string> rows;
        std::vector<std::vector<Pt>> contours; // in buffer order
        std::vector<bool> holes;
    } cases[] = {
        {"single pixel", {"#"}, {{{0, 0}, {1, 0}, {1, 1}, {0, 1}}}, {false}},
        {"single pixel inside", {"...", ".#.", "..."}, {{{1, 1}, {2, 1}, {2, 2}, {1, 2}}}, {false}},
        {"pixels touching at a corner", {"#.", ".#"},
         {{{0, 0}, {1, 0}, {1, 1}, {0, 1}}, {{1, 1}, {2, 1}, {2, 2}, {1, 2}}}, {false, false}},
        {"pixels touching at the other corner", {".#", "#."},
         {{{1, 0}, {2, 0}, {2, 1}, {1, 1}}, {{0, 1}, {1, 1}, {1, 2}, {0, 2}}}, {false, false}},
        {"ring around one pixel", {"###", "#.#", "###"},
         {{{0, 0}, {3, 0}, {3, 3}, {0, 3}}, {{1, 1}, {2, 1}, {2, 2}, {1, 2}}}, {false, true}},
        {"U: first point left of the two top edges", {"#.#", "###"},
         {{{0, 0}, {1, 0}, {1, 1}, {2, 1}, {2, 0}, {3, 0}, {3, 2}, {0, 2}}}, {false}},
        {"hole whose top has two edges", {"#####", "#.#.#", "#...#", "#####"},
         {{{0, 0}, {5, 0}, {5, 4}, {0, 4}}, {{1, 1}, {2, 1}, {2, 2}, {3, 2}, {3, 1}, {4, 1}, {4, 3}, {1, 3}}},
         {false, true}},
        // Background is 8-connected: the white pixel in the middle joins the
        // outside through the corner at (2, 1), so there is no hole; the
        // object's contour runs into the notch and passes (2, 1) twice.
        {"white corner gap is not a hole", {"##.", "#.#", "###"},
         {{{0, 0}, {2, 0}, {2, 1}, {1, 1}, {1, 2}, {2, 2}, {2, 1}, {3, 1}, {3, 3}, {0, 3}}}, {false}},
        // Objects are 4-connected: the same shape in black and white swapped
        // is two objects, and the contour of the one at the bottom right
        // turns away from the pixel it meets at a corner.
        {"black corner contact is not a join", {"..#", ".#.", "..."},
         {{{2, 0}, {3, 0}, {3, 1}, {2, 1}}, {{1, 1}, {2, 1}, {2, 2}, {1, 2}}}, {false, false}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        BitRaster r = BitRaster::from_rows(c.rows);
        Outlines o = trace(r, false);
        EXPECT_TRUE(outlines_hold(r, o));
        std::vector<Contour> want;
        for (size_t i = 0; i < c.contours.size(); ++i) {
            Contour k;
            k.hole = c.holes[i];
            k.points = c.contours[i];
            want.push_back(k);
        }
        EXPECT_EQ(o.result, static_cast<int32_t>(want.size()));
        EXPECT_TRUE(same_contours(o.contours, want));
    }
}

TEST_F(OutlineTest, RingIsOneObjectOfTwoContoursWithObjectsAndTwoContoursWithout) {
    BitRaster r = BitRaster::from_rows({"###", "#.#", "###"});
    Outlines plain = trace(r, false);
    ASSERT_EQ(plain.result, 2);
    EXPECT_FALSE(plain.contours[0].hole);
    EXPECT_TRUE(plain.contours[1].hole); // bit 31 kept without objects
    Outlines grouped = trace(r, true);
    ASSERT_EQ(grouped.result, 1);
    ASSERT_EQ(grouped.objects.size(), 1u);
    EXPECT_EQ(grouped.objects[0], (std::vector<uint32_t>{0, 4 + 4 * 4})); // byte offsets
    EXPECT_FALSE(grouped.contours[1].hole); // bit 31 cleared with objects
    EXPECT_TRUE(outlines_hold(r, grouped));
}

TEST_F(OutlineTest, IslandsInHolesInObjectsOwnTheirHoles) {
    // A: the outer ring; H1 its hole; B: a ring inside H1; H2 its hole;
    // C: a dot in H2. Buffer order by first point: A, H1, B, H2, C.
    BitRaster r = BitRaster::from_rows({
        "#########",
        "#.......#",
        "#.#####.#",
        "#.#...#.#",
        "#.#.#.#.#",
        "#.#...#.#",
        "#.#####.#",
        "#.......#",
        "#########",
    });
    Outlines o = trace(r, true);
    ASSERT_EQ(o.result, 3);
    ASSERT_EQ(o.contours.size(), 5u);
    const Pt firsts[] = {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}};
    for (size_t c = 0; c < 5; ++c)
        EXPECT_EQ(o.contours[c].points[0], firsts[c]);
    // Objects in the reverse order of their outer contours: C, B with H2,
    // A with H1.
    std::vector<std::vector<size_t>> want = {{4}, {2, 3}, {0, 1}};
    EXPECT_EQ(objects_as_indices(o), want);
    EXPECT_TRUE(outlines_hold(r, o));
}

TEST_F(OutlineTest, ObjectsTouchingTheRasterEdgesAreClosedByTheEdge) {
    struct Case {
        int32_t w, h;
        std::vector<Pt> white; // white pixels in an otherwise black raster
        int32_t contours;
    } cases[] = {
        {1, 1, {}, 1},   {17, 3, {}, 1},        {64, 2, {}, 1},         {65, 5, {}, 1},
        {5, 5, {{0, 2}}, 1},   // a notch in the left edge: no hole
        {5, 5, {{4, 4}}, 1},   // a notch at the bottom-right corner
        {5, 5, {{2, 2}}, 2},   // an enclosed pixel: a hole
        {33, 4, {{32, 1}, {31, 2}}, 1}, // white reaching the right edge diagonally
        {33, 4, {{31, 1}, {30, 2}}, 2}, // the same one column in: a hole
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << " x " << c.h << ", " << c.white.size() << " white");
        BitRaster r(c.w, c.h);
        for (int32_t y = 0; y < c.h; ++y)
            for (int32_t x = 0; x < c.w; ++x)
                r.set(x, y, true);
        for (const Pt &p : c.white)
            r.set(p.x, p.y, false);
        Outlines o = trace(r, false);
        EXPECT_EQ(o.result, c.contours);
        EXPECT_TRUE(outlines_hold(r, o));
        if (c.white.empty()) {
            ASSERT_EQ(o.contours.size(), 1u);
            EXPECT_EQ(o.contours[0].points, (std::vector<Pt>{{0, 0}, {c.w, 0}, {c.w, c.h}, {0, c.h}}));
        }
        EXPECT_TRUE(outlines_hold(r, trace(r, true)));
    }
}

TEST_F(OutlineTest, EmptyRasterReturnsZeroAndLeavesTheOutputsAlone) {
    int sentinel[2];
    struct Case {
        int32_t w, h;
    } cases[] = {{1, 1}, {16, 1}, {17, 9}, {300, 40}, {0, 5}, {5, 0}, {-3, 4}, {4, -3}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << " x " << c.h);
        BitRaster r(std::max(c.w, 1), std::max(c.h, 1));
        void *contours = &sentinel[0], *objects = &sentinel[1];
        EXPECT_EQ(QV_BWDmriOutline(r.bytes.data(), c.w, c.h, &contours, &objects), 0);
        EXPECT_EQ(contours, &sentinel[0]);
        EXPECT_EQ(objects, &sentinel[1]);
        EXPECT_EQ(QV_BWDmriOutline(r.bytes.data(), c.w, c.h, &contours, nullptr), 0);
        EXPECT_EQ(contours, &sentinel[0]);
    }
}

// ---- The fast tracer against the plain one ------------------------------

TEST_F(OutlineTest, RandomRastersOfAwkwardWidthsMatchThePlainTracer) {
    std::mt19937 random(20240607);
    const int32_t widths[] = {1, 2, 7, 8, 9, 14, 15, 16, 17, 31, 33, 63, 64, 65, 66, 127, 129, 200};
    const int32_t heights[] = {1, 2, 3, 17, 40};
    const double blacks[] = {0.05, 0.3, 0.5, 0.7, 0.95};
    for (int32_t w : widths)
        for (int32_t h : heights)
            for (double black : blacks) {
                SCOPED_TRACE(testing::Message() << w << " x " << h << ", " << black << " black");
                BitRaster r = random_raster(random, w, h, black);
                Outlines o = trace(r, false);
                std::vector<Contour> want = reference_contours(r);
                EXPECT_EQ(o.result, static_cast<int32_t>(want.size()));
                ASSERT_TRUE(same_contours(o.contours, want));
                ASSERT_TRUE(outlines_hold(r, o));
            }
}

TEST_F(OutlineTest, ObjectListsFollowThePlainHoleRule) {
    std::mt19937 random(7);
    // Dense noise makes holes within holes within objects; a few shapes
    // drawn on top make long contours with many holes inside.
    for (int round = 0; round < 40; ++round) {
        const int32_t w = 20 + static_cast<int32_t>(random() % 90), h = 10 + static_cast<int32_t>(random() % 60);
        SCOPED_TRACE(testing::Message() << "round " << round << ", " << w << " x " << h);
        BitRaster r = random_raster(random, w, h, 0.35 + 0.3 * (round % 3));
        for (int ring = 0; ring < 3; ++ring) {
            const int32_t x0 = static_cast<int32_t>(random() % w), y0 = static_cast<int32_t>(random() % h);
            const int32_t x1 = std::min(w - 1, x0 + 3 + static_cast<int32_t>(random() % 30));
            const int32_t y1 = std::min(h - 1, y0 + 3 + static_cast<int32_t>(random() % 30));
            for (int32_t x = x0; x <= x1; ++x)
                r.set(x, y0, true), r.set(x, y1, true);
            for (int32_t y = y0; y <= y1; ++y)
                r.set(x0, y, true), r.set(x1, y, true);
        }
        Outlines plain = trace(r, false);
        Outlines grouped = trace(r, true);
        ASSERT_TRUE(outlines_hold(r, grouped));
        ASSERT_EQ(grouped.contours.size(), plain.contours.size());
        for (size_t c = 0; c < plain.contours.size(); ++c) // same contours, flags aside
            ASSERT_EQ(grouped.contours[c].points, plain.contours[c].points);
        EXPECT_EQ(objects_as_indices(grouped), reference_objects(plain.contours));
    }
}

TEST_F(OutlineTest, RasterIsLeftFramedByBackground) {
    std::mt19937 random(99);
    for (int32_t w : {1, 13, 14, 15, 16, 30, 31, 32, 47, 100}) {
        SCOPED_TRACE(testing::Message() << "width " << w);
        BitRaster r = random_raster(random, w, 6, 0.5);
        Outlines o = trace(r, false);
        ASSERT_GT(o.result, 0);
        const uint32_t framed = QV_GetLineBWi(1, w + 2);
        for (int32_t y = 0; y < 8; ++y)
            for (uint32_t x = 0; x < 8 * framed; ++x) {
                const bool white = (o.framed[y * framed + (x >> 3)] >> (7 - (x & 7))) & 1;
                const bool inside = y >= 1 && y <= 6 && x >= 1 && x <= static_cast<uint32_t>(w);
                ASSERT_EQ(white, inside ? !r.black(x - 1, y - 1) : true) << "(" << x << ", " << y << ")";
            }
    }
}

// ---- Invariants on large rasters ----------------------------------------

TEST_F(OutlineTest, LargeRandomRastersKeepTheInvariants) {
    std::mt19937 random(314159);
    struct Case {
        int32_t w, h;
        double black;
    } cases[] = {{1000, 700, 0.5}, {777, 513, 0.6}, {1500, 300, 0.08}, {301, 1201, 0.9}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << " x " << c.h);
        BitRaster r = random_raster(random, c.w, c.h, c.black);
        EXPECT_TRUE(outlines_hold(r, trace(r, false)));
        EXPECT_TRUE(outlines_hold(r, trace(r, true)));
    }
}

TEST_F(OutlineTest, RenderedDrawingsKeepTheInvariants) {
    if (!have_ghostscript())
        GTEST_SKIP() << "ghostscript (gs) is not installed";
    const std::string dir = std::string(QUILL_SHARED_DIR) + "/samples/ps/";
    int rendered = 0;
    for (const char *name : {"escher.ps", "snowflak.ps", "golfer.eps", "tiger.eps", "colorcir.ps"}) {
        SCOPED_TRACE(name);
        BitRaster r = render_ps(dir + name, 100);
        if (r.width == 0)
            continue;
        ++rendered;
        Outlines o = trace(r, true);
        EXPECT_GT(o.result, 0);
        EXPECT_TRUE(outlines_hold(r, o));
    }
    if (rendered == 0)
        GTEST_SKIP() << "no sample drawing in " << dir;
}

TEST_F(OutlineTest, StandardDrawingPageKeepsTheInvariants) {
    if (!have_ghostscript())
        GTEST_SKIP() << "ghostscript (gs) is not installed";
    // The standard page of the benchmarks: the drawing at 400 dpi, which
    // includes renders of the sample drawings.
    const std::string shared = QUILL_SHARED_DIR;
    BitRaster r = render_ps(shared + "/bench/drawing.ps", 400,
                            "-sEXDIR=" + shared + "/samples/ps --permit-file-read=" + shared + "/samples/ps/");
    if (r.width == 0)
        GTEST_SKIP() << "the drawing could not be rendered from " << shared << "/bench";
    ASSERT_EQ(r.width, 13244);
    ASSERT_EQ(r.height, 9356);
    Outlines o = trace(r, true);
    EXPECT_GT(o.result, 200000);
    EXPECT_TRUE(outlines_hold(r, o));
}

// ---- Bounds and failures ------------------------------------------------

TEST_F(OutlineTest, WidestRasterReachesTheLastCoordinateAndWiderFails) {
    const int32_t w = QV_OUTLINE_MAX_SIDE;
    BitRaster r(w, 2);
    r.set(w - 1, 1, true);
    r.set(0, 0, true);
    Outlines o = trace(r, false);
    ASSERT_EQ(o.result, 2);
    EXPECT_EQ(o.contours[1].points, (std::vector<Pt>{{w - 1, 1}, {w, 1}, {w, 2}, {w - 1, 2}}));
    EXPECT_TRUE(outlines_hold(r, o));

    BitRaster wide(w + 1, 1);
    wide.set(0, 0, true);
    const std::vector<uint8_t> before = wide.bytes;
    int sentinel;
    void *contours = &sentinel, *objects = &sentinel;
    EXPECT_EQ(QV_BWDmriOutline(wide.bytes.data(), w + 1, 1, &contours, &objects), -1);
    EXPECT_EQ(contours, nullptr);
    EXPECT_EQ(objects, nullptr);
    EXPECT_EQ(wide.bytes, before) << "a refused raster must not be touched";
    contours = &sentinel;
    EXPECT_EQ(QV_BWDmriOutline(wide.bytes.data(), 1, w + 1, &contours, nullptr), -1);
    EXPECT_EQ(contours, nullptr);
}

TEST_F(OutlineTest, NullArgumentsFail) {
    BitRaster r = BitRaster::from_rows({"#"});
    void *contours = &r, *objects = &r;
    EXPECT_EQ(QV_BWDmriOutline(nullptr, 1, 1, &contours, &objects), -1);
    EXPECT_EQ(contours, nullptr);
    EXPECT_EQ(objects, nullptr);
    objects = &r;
    EXPECT_EQ(QV_BWDmriOutline(r.bytes.data(), 1, 1, nullptr, &objects), -1);
    EXPECT_EQ(objects, nullptr);
}

TEST_F(OutlineTest, EveryFailedAllocationGivesMinusOneAndLeavesNothing) {
    std::mt19937 random(5);
    BitRaster r = random_raster(random, 90, 40, 0.45);
    const Outlines good = trace(r, true);
    ASSERT_GT(good.result, 0);
    for (bool withObjects : {false, true}) {
        int failures = 0;
        bool succeeded = false;
        for (int64_t n = 1; n < 100 && !succeeded; ++n) {
            SCOPED_TRACE(testing::Message() << "allocation " << n << (withObjects ? ", objects" : ""));
            std::vector<uint8_t> bytes = r.bytes;
            int sentinel;
            void *contours = &sentinel, *objects = &sentinel;
            const int64_t live = qs_test_live_blocks();
            qs_test_fail_allocation(n);
            const int32_t result =
                QV_BWDmriOutline(bytes.data(), r.width, r.height, &contours, withObjects ? &objects : nullptr);
            const bool hit = qs_test_allocation_count() >= n;
            qs_test_fail_allocation(0);
            if (result == -1) {
                ++failures;
                EXPECT_EQ(contours, nullptr);
                if (withObjects) {
                    EXPECT_EQ(objects, nullptr);
                }
                EXPECT_EQ(qs_test_live_blocks(), live);
                continue;
            }
            // Success despite the failure is right only for the shrink of
            // the contour buffer, which may fail and keep the block.
            EXPECT_EQ(result, withObjects ? good.result : static_cast<int32_t>(good.contours.size()));
            qs_free(&contours);
            if (withObjects)
                qs_free(&objects);
            EXPECT_EQ(qs_test_live_blocks(), live);
            succeeded = !hit;
        }
        EXPECT_TRUE(succeeded);
        EXPECT_GE(failures, withObjects ? 8 : 4);
    }
}
