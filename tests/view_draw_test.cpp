// Drawing, colour picking and hit testing through views: a stroke drawn
// through any view reaches the base and every other view frame as a fresh
// placement would show it; picks and hits read what the view shows.
#include "fault_steps.h"
#include "usframe_support.h"

#include <algorithm>
#include <set>

using namespace quill_test;

namespace {

// A floating polygon set of one polygon.
std::vector<uint8_t> polygon(const std::vector<double> &xy) {
    std::vector<uint8_t> set(8 + 8 * xy.size());
    int32_t one = 1, n = static_cast<int32_t>(xy.size() / 2);
    memcpy(set.data(), &one, 4);
    memcpy(set.data() + 4, &n, 4);
    memcpy(set.data() + 8, xy.data(), 8 * xy.size());
    return set;
}

std::vector<uint8_t> polyline(const std::vector<double> &xy) {
    std::vector<uint8_t> line(4 + 8 * xy.size());
    int32_t n = static_cast<int32_t>(xy.size() / 2);
    memcpy(line.data(), &n, 4);
    memcpy(line.data() + 4, xy.data(), 8 * xy.size());
    return line;
}

int g_fills = 0;
int count_fills(intptr_t value) {
    // Message values are the addresses of the operations' names.
    if (value > 256 && strcmp(reinterpret_cast<const char *>(value), "PolyFill") == 0)
        ++g_fills;
    return 1;
}

// Pixels of `a` that differ from `b` and have no neighbour of their value
// in `b` within one pixel: differences that are not on an edge of `b`.
int64_t differences_off_edges(const Raster &a, const Raster &b) {
    int64_t off = 0;
    for (int y = 0; y < a.height; ++y)
        for (int x = 0; x < a.width; ++x) {
            if (a.get(x, y) == b.get(x, y))
                continue;
            bool near = false;
            for (int dy = -1; dy <= 1 && !near; ++dy)
                for (int dx = -1; dx <= 1 && !near; ++dx) {
                    int u = x + dx, v = y + dy;
                    near = u >= 0 && v >= 0 && u < b.width && v < b.height && b.get(u, v) == a.get(x, y);
                }
            off += !near;
        }
    return off;
}

TEST_F(USFrameTest, DrawingThroughAnyViewKeepsEveryViewConsistent) {
    Raster base = random_raster(290, 170, 1, 80);
    int usf = usframe_from(base);
    const Orientation &turn = kOrientations[1], &mirror = kOrientations[7];
    ASSERT_EQ(place(usf, 1, place_orthogonal(turn, 290, 170, 0, 0)), 1);
    ASSERT_EQ(place(usf, 2, place_orthogonal(mirror, 290, 170, 500, 0)), 1);
    ASSERT_EQ(place(usf, 3, place_turned(290, 170, 30, 1000.25, -300.5)), 1);
    // A polyline through the mirrored view (it rebuilds the views at its
    // end), then a polygon through the turned view and one through the
    // oblique view, which reach the other frames by drawing alone.
    std::vector<uint8_t> line = polyline({540.2, -20.4, 700.7, -90.1, 610.3, -150.9, 760.8, -160.2});
    ASSERT_EQ(QI_USFrameWidePolyline(usf, 2, line.data(), 3.3, QI_COLOR_BLACK), 1);
    std::vector<uint8_t> square = polygon({20.3, -30.7, 150.6, -41.2, 131.9, -250.4, 33.1, -200.8});
    ASSERT_EQ(QI_USFrameBaseFillPolyExt(usf, 1, square.data(), QI_COLOR_BLACK, 0), 1);
    std::vector<uint8_t> wedge = polygon({960.4, -260.2, 1080.9, -290.3, 1010.7, -360.6});
    ASSERT_EQ(QI_USFrameBaseFillPolyExt(usf, 3, wedge.data(), QI_COLOR_WHITE, 0), 1);
    EXPECT_EQ(QI_USFrameGetData(usf)->modified, 1);
    Raster drawn = frame_pixels(base_of(usf));
    EXPECT_FALSE(same_pixels(drawn, base)) << "the base was drawn on";
    EXPECT_TRUE(same_pixels(frame_pixels(view_frame(usf, 1)), orient(drawn, turn)));
    EXPECT_TRUE(same_pixels(frame_pixels(view_frame(usf, 2)), orient(drawn, mirror)));
    // The oblique view against the same placement made afresh from the
    // drawn base: equal except on the edges of the drawing.
    int fresh = QI_USFrameDuplicate(usf);
    ASSERT_EQ(place(fresh, 3, place_turned(290, 170, 30, 1000.25, -300.5)), 1);
    Raster through = frame_pixels(view_frame(usf, 3)), anew = frame_pixels(view_frame(fresh, 3));
    ASSERT_EQ(through.width, anew.width);
    EXPECT_EQ(differences_off_edges(through, anew), 0);
}

TEST_F(USFrameTest, FillsReachEachFrameOnce) {
    TempDir dir;
    QI_USFramesClose();
    QI_CloseFrameFunctions();
    ASSERT_EQ(QI_InitFrameFunctions(dir.path().c_str(), dir.path().c_str(), count_fills), 1);
    ASSERT_EQ(QI_USFramesInit(), 1);
    int usf = QI_USFrameCreateNew(200, 150, 1, QI_COLOR_WHITE);
    ASSERT_EQ(place(usf, 1, Placement{{0, 0, 200, 0, 200, -150, 0, -150}}), 1);
    int alive = frames_alive();
    std::vector<uint8_t> tri = polygon({10.5, -10.5, 90.5, -20.5, 40.5, -80.5});
    g_fills = 0;
    ASSERT_EQ(QI_USFrameBaseFillPolyExt(usf, 1, tri.data(), QI_COLOR_BLACK, 0), 1);
    EXPECT_EQ(g_fills, 1) << "an upright view is the base: one fill";
    EXPECT_EQ(frames_alive(), alive);
    // Two oblique views placed alike share a frame: it is filled once (an
    // orthogonal frame takes a copy of the base's change, no fill).
    ASSERT_EQ(place(usf, 2, place_turned(200, 150, 30, 400, 0)), 1);
    ASSERT_EQ(place(usf, 3, place_turned(200, 150, 30, 400, 0)), 1);
    ASSERT_EQ(place(usf, 4, place_orthogonal(kOrientations[3], 200, 150, 900, 0)), 1);
    g_fills = 0;
    ASSERT_EQ(QI_USFrameBaseFillPolyExt(usf, 1, tri.data(), QI_COLOR_BLACK, 0), 1);
    EXPECT_EQ(g_fills, 2) << "the base and the one frame two views share";
    // A one-pixel stroke reaches the reduced views.
    std::vector<uint8_t> dot = polygon({100.2, -100.2, 100.8, -100.2, 100.8, -100.8, 100.2, -100.8});
    ASSERT_EQ(QI_USFrameBaseFillPolyExt(usf, 1, dot.data(), QI_COLOR_BLACK, 0), 1);
    Zoomed quarter;
    zoom(quarter, usf, 1, 50, 38, 0, 0, 200, -152);
    ASSERT_EQ(quarter.kind, 1);
    EXPECT_EQ(quarter.as_raster().get(25, 25), 0u) << "the dot shows at 1:4";
}

TEST_F(USFrameTest, PicksAndHits) {
    // A grey base of four quadrants.
    Raster base(160, 120, 2);
    for (int y = 0; y < 120; ++y)
        for (int x = 0; x < 160; ++x)
            base.set(x, y, (x < 80 ? 40 : 90) + (y < 60 ? 0 : 100));
    int usf = usframe_from(base);
    ASSERT_EQ(place(usf, 1, place_orthogonal(kOrientations[1], 160, 120, 0, 0)), 1); // turned: 120 x 160
    // World (10..50, -70..-90) of the turned view is base x 70..90, y 70..110.
    const double rect[4] = {10, -70, 50, -90};
    int32_t count = 0;
    int32_t *colours = QI_USFrameWinColorsExt(usf, 1, rect, &count);
    ASSERT_NE(colours, nullptr);
    std::set<int32_t> got(colours, colours + count), want;
    for (int y = 70; y < 110; ++y)
        for (int x = 70; x < 90; ++x)
            want.insert(0x7F7F00 | static_cast<int32_t>(base.get(x, y)));
    EXPECT_EQ(got, want);
    EXPECT_EQ(static_cast<size_t>(count), want.size());
    qs_free(reinterpret_cast<void **>(&colours));
    const double flat[4] = {10, -70, 50, -70}, outside[4] = {100, -10, 130, -30};
    EXPECT_EQ(QI_USFrameWinColorsExt(usf, 1, flat, &count), nullptr);
    EXPECT_EQ(QI_USFrameWinColorsExt(usf, 1, outside, &count), nullptr);
    // Hit tests: mode 5 hits anywhere over the view; mode 3 where a listed
    // colour lies; mode 4 where a colour that is not hidden lies.
    const int32_t listed[1] = {0x7F7F00 | 40};
    ASSERT_EQ(QI_USFrameSetVis(usf, listed, 1, 1), 1);
    ASSERT_EQ(QI_USFrameSetVis(usf, nullptr, 0, 5), 1);
    EXPECT_EQ(QI_USFrameHitTestExt(usf, 1, 30, -150, 1), 1);
    EXPECT_EQ(QI_USFrameHitTestExt(usf, 1, 300, -150, 1), 0);
    // Base (10, 10) holds 40: world x = 120 - 10 - 0.5, y = -(10 + 0.5).
    ASSERT_EQ(QI_USFrameSetVis(usf, nullptr, 0, 3), 1);
    EXPECT_EQ(QI_USFrameHitTestExt(usf, 1, 109.5, -10.5, 2), 1);
    EXPECT_EQ(QI_USFrameHitTestExt(usf, 1, 20, -150, 2), 0);
    ASSERT_EQ(QI_USFrameSetVis(usf, nullptr, 0, 4), 1);
    EXPECT_EQ(QI_USFrameHitTestExt(usf, 1, 109.5, -10.5, 2), 0) << "only hidden colours there";
    EXPECT_EQ(QI_USFrameHitTestExt(usf, 1, 20, -150, 2), 1);
    // Of two overlapping views the one placed last is reported.
    int other = QI_USFrameCreateNew(100, 100, 1, QI_COLOR_BLACK);
    ASSERT_EQ(place(other, 4, Placement{{0, 0, 100, 0, 100, -100, 0, -100}}), 1);
    int32_t hitU = 0, hitV = 0;
    ASSERT_EQ(QI_UEpairArrHitTest(nullptr, 0, 20, -20, 1, &hitU, &hitV), 1);
    EXPECT_EQ(hitU, other);
    EXPECT_EQ(hitV, 4);
    const int32_t pairs[4] = {other, 4, usf, 1};
    ASSERT_EQ(QI_USFrameSetVis(usf, nullptr, 0, 5), 1);
    ASSERT_EQ(QI_UEpairArrHitTest(pairs, 2, 20, -20, 1, &hitU, &hitV), 1);
    EXPECT_EQ(hitU, usf);
    // Picking into the filter.
    int32_t n = 0;
    ASSERT_EQ(QI_USFrameSetVisExt(usf, 1, rect, &n, 1), 1);
    EXPECT_EQ(QI_USFrameGetData(usf)->colourCount, static_cast<int32_t>(want.size()) + 1);
}

TEST_F(USFrameTest, FiltersMakeTheDisplayTheBase) {
    int usf = usframe_from(random_raster(150, 100, 1, 90));
    ASSERT_EQ(place(usf, 1, place_orthogonal(kOrientations[2], 150, 100, 0, 0)), 1);
    EXPECT_EQ(QI_USFrameApplyFilter(usf, 1, 1), 0);
    EXPECT_EQ(QI_USFrameApplyFilter(usf, 0, 3), 1) << "filter 3 with no list";
    EXPECT_EQ(QI_USFrameGetBaseViewInx(usf, 1, nullptr, nullptr, nullptr), 1) << "views kept";
    Raster before = frame_pixels(base_of(usf));
    ASSERT_EQ(QI_USFrameInvertFrgBkg(usf), 1); // black on white
    ASSERT_EQ(QI_USFrameApplyFilter(usf, 0, 4), 1);
    EXPECT_EQ(QI_USFrameGetBaseViewInx(usf, 1, nullptr, nullptr, nullptr), 0) << "views removed";
    Raster inverted = frame_pixels(base_of(usf));
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 150; ++x)
            ASSERT_NE(inverted.get(x, y), before.get(x, y));
    EXPECT_EQ(QI_USFrameGetData(usf)->foreground, -1);
    ASSERT_EQ(QI_USFrameApplyFilter(usf, 0, 1), 1);
    Raster grey = frame_pixels(base_of(usf));
    ASSERT_EQ(grey.kind, 2);
    EXPECT_EQ(grey.get(3, 4), inverted.get(3, 4) ? 255u : 0u);
    ASSERT_EQ(QI_USFrameSetFrgBkg(usf, 1, 2), 0) << "no longer bilevel";
}

TEST_F(USFrameTest, DrawingFailuresLeaveNothing) {
    int usf = usframe_from(random_raster(300, 200, 1, 91));
    ASSERT_EQ(place(usf, 1, place_orthogonal(kOrientations[1], 300, 200, 0, 0)), 1);
    ASSERT_EQ(place(usf, 2, place_turned(300, 200, 30, 600, -100)), 1);
    int alive = frames_alive();
    std::vector<uint8_t> tri = polygon({10.5, -10.5, 150.5, -20.5, 60.5, -180.5});
    fail_each_step(
        kFailAllocation, [&] { return QI_USFrameBaseFillPolyExt(usf, 1, tri.data(), QI_COLOR_BLACK, 0) == 1; },
        [&](int64_t) { ASSERT_EQ(frames_alive(), alive); });
    std::vector<uint8_t> line = polyline({20.5, -20.5, 180.5, -60.5, 100.5, -250.5});
    // A rebuild that fails on the way loses the views not yet placed again;
    // the host places them again.
    fail_each_step(
        kFailAllocation, [&] { return QI_USFrameWidePolyline(usf, 1, line.data(), 2.5, QI_COLOR_BLACK) == 1; },
        [&](int64_t) {
            if (QI_USFrameGetBaseViewInx(usf, 1, nullptr, nullptr, nullptr) == 0) {
                ASSERT_EQ(place(usf, 1, place_orthogonal(kOrientations[1], 300, 200, 0, 0)), 1);
            }
        });
    // Bad sets: too few vertices, not finite, a count that cannot be.
    std::vector<uint8_t> two = polygon({1, 1, 5, 5});
    EXPECT_EQ(QI_USFrameBaseFillPolyExt(usf, 1, two.data(), QI_COLOR_BLACK, 0), 0);
    std::vector<uint8_t> nan = polygon({1, 1, NAN, 5, 9, 9});
    EXPECT_EQ(QI_USFrameBaseFillPolyExt(usf, 1, nan.data(), QI_COLOR_BLACK, 0), 0);
    EXPECT_EQ(QI_USFrameWidePolyline(usf, 1, line.data(), -1, QI_COLOR_BLACK), 0);
    EXPECT_EQ(QI_USFrameWidePolyline(usf, 9, line.data(), 1, QI_COLOR_BLACK), 0);
}

} // namespace
