// USFrames and views: the tables, placements, rendering at any zoom, the
// group rendering, and every failure path leaving nothing behind.
#include "fault_steps.h"
#include "usframe_support.h"

using namespace quill_test;

namespace {

// ---- Tables and views --------------------------------------------------

TEST_F(USFrameTest, HandlesViewsAndSharing) {
    EXPECT_EQ(QI_USFramesInit(), 0);
    EXPECT_EQ(QI_USFrameGetData(0), nullptr);
    EXPECT_EQ(QI_USFrameDelete(0), 0);
    int usf = usframe_from(random_raster(300, 200, 1, 1));
    ASSERT_GT(usf, 0);
    int base = base_of(usf);
    // The identity orientation shows the base itself, corners in either turn.
    Placement upright{{0, 0, 300, 0, 300, -200, 0, -200}};
    ASSERT_EQ(place(usf, 1, upright), 1);
    EXPECT_EQ(view_frame(usf, 1), base);
    Placement reversed{{0, 0, 0, -200, 300, -200, 300, 0}}; // counter-clockwise: a transpose-like order
    EXPECT_EQ(place(usf, 9, reversed), 1);
    Placement bowTie{{0, 0, 300, -200, 300, 0, 0, -200}};
    EXPECT_EQ(QI_USFramePlaceExt(usf, 2, bowTie.p), 0);
    EXPECT_EQ(bowTie.p[3], 200) << "y values are left negated";
    Placement nan{{0, 0, NAN, 0, 300, -200, 0, -200}};
    EXPECT_EQ(place(usf, 2, nan), 0);
    EXPECT_EQ(place(usf, -1, upright), 0);
    // Two views placed alike share one turned frame until the last goes.
    Placement turned = place_orthogonal(kOrientations[1], 300, 200, 10, 0);
    ASSERT_EQ(place(usf, 2, turned), 1);
    ASSERT_EQ(place(usf, 3, turned), 1);
    int shared = view_frame(usf, 2);
    EXPECT_EQ(view_frame(usf, 3), shared);
    EXPECT_NE(shared, base);
    QI_USFrameDeleteExt(usf, 2);
    EXPECT_NE(QI_FrameGetData(shared), nullptr);
    QI_USFrameDeleteExt(usf, 3);
    EXPECT_EQ(QI_FrameGetData(shared), nullptr);
    QI_USFrameDeleteExt(usf, 9);
    QI_USFrameDeleteExt(usf, 1);
    EXPECT_EQ(QI_USFrameGetData(usf), nullptr) << "the last view takes the USFrame with it";
    EXPECT_EQ(frames_alive(), 0);
}

TEST_F(USFrameTest, DeletingAUSFrameDeletesItsViews) {
    int usf = usframe_from(random_raster(200, 150, 2, 2));
    ASSERT_EQ(place(usf, 1, place_orthogonal(kOrientations[3], 200, 150, 0, 0)), 1);
    ASSERT_EQ(place(usf, 2, place_turned(200, 150, 30, 0, 0)), 1);
    EXPECT_EQ(QI_USFrameDelete(usf), 1);
    EXPECT_EQ(frames_alive(), 0);
    int again = QI_USFrameCreateNew(50, 50, 1, QI_COLOR_WHITE);
    EXPECT_EQ(again, usf) << "the slot is reused";
    EXPECT_EQ(QI_USFrameGetBaseViewInx(again, 1, nullptr, nullptr, nullptr), 0);
}

TEST_F(USFrameTest, SettingsAndColourLists) {
    int usf = QI_USFrameCreateNew(64, 64, 1, QI_COLOR_WHITE);
    QI_USFrameRecord *u = QI_USFrameGetData(usf);
    EXPECT_EQ(u->modified, 1);
    EXPECT_EQ(u->displayMode, 4);
    ASSERT_EQ(QI_USFrameInvertFrgBkg(usf), 1);
    EXPECT_EQ(u->foreground, QI_COLOR_BLACK);
    EXPECT_EQ(u->background, QI_COLOR_WHITE);
    ASSERT_EQ(QI_USFrameInvertFrgBkg(usf), 1);
    EXPECT_EQ(u->foreground, QI_COLOR_WHITE);
    EXPECT_EQ(u->background, QI_COLOR_BLACK);
    const int32_t both[2] = {5, 7}, five[1] = {5};
    ASSERT_EQ(QI_USFrameSetVis(usf, both, 2, 1), 1);
    ASSERT_EQ(QI_USFrameSetVis(usf, five, 1, 2), 1);
    ASSERT_EQ(u->colourCount, 1);
    EXPECT_EQ(u->colours[0], 7);
    // A duplicate owns its copy of the list; closing releases both.
    int copy = QI_USFrameDuplicate(usf);
    ASSERT_GT(copy, 0);
    u = QI_USFrameGetData(usf);
    QI_USFrameRecord *c = QI_USFrameGetData(copy);
    EXPECT_NE(c->colours, u->colours);
    EXPECT_EQ(c->colourCount, 1);
    EXPECT_EQ(c->colours[0], 7);
    EXPECT_EQ(QI_USFrameSetVis(usf, nullptr, 0, 3), 1);
    EXPECT_EQ(u->displayMode, 3);
    EXPECT_EQ(QI_USFrameSetVis(usf, nullptr, 0, 0), 1);
    EXPECT_EQ(u->colours, nullptr);
}

TEST_F(USFrameTest, NormalPositionAndCover) {
    int usf = usframe_from(random_raster(200, 100, 1, 3));
    ASSERT_EQ(place(usf, 1, Placement{{-50, 60, 150, 60, 150, -40, -50, -40}}), 1);
    ASSERT_EQ(place(usf, 2, place_orthogonal(kOrientations[1], 200, 100, 0, 0)), 1);
    ASSERT_EQ(place(usf, 3, place_turned(200, 100, 30, 500, 500)), 1);
    EXPECT_EQ(QI_USFrameNormalPos(usf, 1), 1);
    EXPECT_EQ(QI_USFrameNormalPos(usf, 2), 0);
    EXPECT_EQ(QI_USFrameNormalPos(usf, 3), 0);
    const double inside[4] = {0, 50, 100, 0}, across[4] = {0, 50, 400, 0};
    EXPECT_EQ(QI_AllViewsCoverRect(nullptr, 0, inside), 1);
    EXPECT_EQ(QI_AllViewsCoverRect(nullptr, 0, across), 0);
    const int32_t onlyTurned[2] = {usf, 3};
    EXPECT_EQ(QI_AllViewsCoverRect(onlyTurned, 1, inside), 0);
    double box[4];
    QI_DoubleBoundRect(Placement{{3, 4, 9, -2, 1, 0, 5, 7}}.p, box);
    EXPECT_EQ(box[0], 1);
    EXPECT_EQ(box[1], -2);
    EXPECT_EQ(box[2], 9);
    EXPECT_EQ(box[3], 7);
}

// ---- Rendering ------------------------------------------------------------

// Each orthogonal view rendered at 1:1 is the base turned and mirrored the
// same way, pixel for pixel, for a whole window and for a window that
// starts inside the view at a whole offset.
TEST_F(USFrameTest, OrthogonalViewsAtOneToOne) {
    for (int kind : {1, 2, 4}) {
        Raster base = random_raster(301, 170, kind, 10 + kind);
        int usf = usframe_from(base);
        int id = 0;
        for (const Orientation &o : kOrientations) {
            SCOPED_TRACE(std::string(o.name) + " kind " + std::to_string(kind));
            Raster expected = orient(base, o);
            ASSERT_EQ(place(usf, ++id, place_orthogonal(o, base.width, base.height, 1000, 500)), 1);
            Zoomed whole;
            zoom(whole, usf, id, expected.width, expected.height, 1000, 500, 1000 + expected.width,
                 500 - expected.height);
            ASSERT_EQ(whole.kind, kind);
            EXPECT_EQ(whole.mask, nullptr);
            EXPECT_EQ(whole.rect.right, expected.width - 1);
            EXPECT_EQ(whole.rect.bottom, expected.height - 1);
            EXPECT_TRUE(same_pixels(whole.as_raster(), expected));
            // A 100 x 80 window starting 13 pixels in and 7 pixels above.
            Zoomed part;
            zoom(part, usf, id, 100, 80, 1013, 507, 1113, 427);
            ASSERT_EQ(part.kind, kind);
            EXPECT_EQ(part.rect.left, 0);
            EXPECT_EQ(part.rect.top, 7);
            Raster got = part.as_raster();
            for (int y = 0; y < got.height; ++y)
                for (int x = 0; x < got.width; ++x)
                    ASSERT_EQ(got.get(x, y), expected.get(x + 13, y)) << x << "," << y;
        }
    }
}

TEST_F(USFrameTest, ZoomCases) {
    Raster base = random_raster(320, 160, 1, 20);
    int usf = usframe_from(base);
    ASSERT_EQ(place(usf, 1, Placement{{0, 0, 320, 0, 320, -160, 0, -160}}), 1);
    Zoomed miss;
    zoom(miss, usf, 1, 50, 50, 1000, 1000, 1100, 900);
    EXPECT_EQ(miss.kind, 0);
    EXPECT_EQ(miss.raster, nullptr);
    Zoomed bad;
    zoom(bad, usf, 1, 50, 50, 0, -10, 100, 0); // y0 below y1
    EXPECT_EQ(bad.kind, 0);
    // 1:8 with scale to grey on: 8-fold oversampling reads the base 1:1, so
    // each grey pixel is 4 x the white pixels of its 8 x 8 block.
    QI_SetScaleToGrayState(1.0);
    Zoomed grey;
    zoom(grey, usf, 1, 40, 20, 0, 0, 320, -160);
    ASSERT_EQ(grey.kind, 2);
    Raster g = grey.as_raster();
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 40; ++x) {
            int white = 0;
            for (int k = 0; k < 64; ++k)
                white += base.get(8 * x + k % 8, 8 * y + k / 8);
            ASSERT_EQ(g.get(x, y), static_cast<uint32_t>(std::min(255, 4 * white))) << x << "," << y;
        }
    Zoomed tenth;
    zoom(tenth, usf, 1, 32, 16, 0, 0, 320, -160);
    EXPECT_EQ(tenth.kind, 2);
    QI_SetScaleToGrayState(-1.0);
    Zoomed plain;
    zoom(plain, usf, 1, 32, 16, 0, 0, 320, -160);
    EXPECT_EQ(plain.kind, 1);
    // A grey foreground gives a grey result, never scaled to grey.
    QI_SetScaleToGrayState(1.0);
    ASSERT_EQ(QI_USFrameSetFrgBkg(usf, 0x7F7F80, QI_COLOR_BLACK), 1);
    Zoomed keyed;
    zoom(keyed, usf, 1, 320, 160, 0, 0, 320, -160);
    ASSERT_EQ(keyed.kind, 2);
    Raster k = keyed.as_raster();
    for (int y = 0; y < 160; ++y)
        for (int x = 0; x < 320; ++x)
            ASSERT_EQ(k.get(x, y), base.get(x, y) ? 0x80u : 0u);
    QI_SetScaleToGrayState(-1.0);
}

TEST_F(USFrameTest, ColourFilterMasks) {
    Raster base = random_raster(200, 130, 1, 30);
    int usf = usframe_from(base);
    ASSERT_EQ(place(usf, 1, Placement{{0, 0, 200, 0, 200, -130, 0, -130}}), 1);
    const int32_t white[1] = {QI_COLOR_WHITE};
    ASSERT_EQ(QI_USFrameSetVis(usf, white, 1, 1), 1);
    for (int mode : {3, 4}) {
        ASSERT_EQ(QI_USFrameSetVis(usf, nullptr, 0, mode), 1);
        Zoomed z;
        zoom(z, usf, 1, 200, 130, 0, 0, 200, -130);
        ASSERT_EQ(z.kind, 1);
        ASSERT_NE(z.mask, nullptr);
        for (int y = 0; y < 130; ++y)
            for (int x = 0; x < 200; ++x) {
                bool hidden = mode == 3 ? base.get(x, y) == 0 : base.get(x, y) == 1;
                ASSERT_EQ(z.masked(x, y), hidden) << "mode " << mode << " at " << x << "," << y;
            }
    }
    ASSERT_EQ(QI_USFrameSetVis(usf, nullptr, 0, 5), 1);
    Zoomed open;
    zoom(open, usf, 1, 200, 130, 0, 0, 200, -130);
    EXPECT_EQ(open.mask, nullptr);
}

// A view turned by 30 degrees: away from its edges, every painted pixel is
// the base pixel under its centre and every pixel outside is masked.
TEST_F(USFrameTest, ObliqueViewFollowsThePlacement) {
    for (int kind : {1, 4}) {
        Raster base = random_raster(260, 140, kind, 40 + kind);
        int usf = usframe_from(base);
        Placement pl = place_turned(260, 140, 30, 400.3, 300.6);
        Placement stored = pl;
        ASSERT_EQ(place(usf, 1, pl), 1);
        double box[4];
        QI_DoubleBoundRect(stored.p, box);
        double x0 = floor(box[0]), top = ceil(box[3]);
        int ww = static_cast<int>(ceil(box[2]) - x0), wh = static_cast<int>(top - floor(box[1]));
        Zoomed z;
        zoom(z, usf, 1, ww, wh, x0, top, x0 + ww, top - wh);
        ASSERT_EQ(z.kind, kind);
        ASSERT_NE(z.mask, nullptr);
        Raster got = z.as_raster();
        double a = 30 * M_PI / 180;
        int checked = 0;
        for (int y = 0; y < got.height; ++y)
            for (int x = 0; x < got.width; ++x) {
                double wx = x0 + z.rect.left + x + 0.5 - 400.3, wy = (top - z.rect.top - y - 0.5) - 300.6;
                // Back through the turn: world offset to base pixels.
                double u = cos(a) * wx + sin(a) * (-wy) + 130, v = -sin(a) * wx + cos(a) * (-wy) + 70;
                double margin = fmin(fmin(u, 260 - u), fmin(v, 140 - v));
                if (fabs(margin) < 1.0)
                    continue;
                ASSERT_EQ(z.masked(x, y), margin < 0) << x << "," << y;
                if (margin < 0 || fabs(u - round(u)) < 0.01 || fabs(v - round(v)) < 0.01)
                    continue;
                ASSERT_EQ(got.get(x, y), base.get(static_cast<int>(u), static_cast<int>(v))) << x << "," << y;
                ++checked;
            }
        EXPECT_GT(checked, 20000);
    }
}

TEST_F(USFrameTest, GroupOfOverlappingViews) {
    int dark = QI_USFrameCreateNew(100, 100, 1, QI_COLOR_BLACK);
    int light = QI_USFrameCreateNew(100, 100, 2, 0x7F7F90);
    ASSERT_EQ(place(dark, 1, Placement{{0, 0, 100, 0, 100, -100, 0, -100}}), 1);
    ASSERT_EQ(place(light, 1, Placement{{50, 0, 150, 0, 150, -100, 50, -100}}), 1);
    const int32_t pairs[4] = {dark, 1, light, 1};
    EXPECT_EQ(QI_USFrameGroupFixView(nullptr, 0, 0, 0, nullptr, nullptr, 0, -1), 0);
    for (int order : {0, 1}) {
        double area[4] = {};
        int group = QI_USFrameGroupFixView(pairs, 2, order, 0, nullptr, area, 0, QI_COLOR_WHITE);
        ASSERT_GT(group, 0);
        EXPECT_EQ(area[0], 0);
        EXPECT_EQ(area[1], -100);
        EXPECT_EQ(area[2], 150);
        EXPECT_EQ(area[3], 0);
        Raster r = frame_pixels(base_of(group));
        ASSERT_EQ(r.kind, 2);
        ASSERT_EQ(r.width, 150);
        // Order 0 draws the list from the last to the first: the first ends on top.
        EXPECT_EQ(r.get(75, 50), order == 0 ? 0u : 0x90u);
        EXPECT_EQ(r.get(25, 50), 0u);
        EXPECT_EQ(r.get(125, 50), 0x90u);
        QI_USFrameDelete(group);
    }
    EXPECT_GT(QI_USFrameGroupFixView(pairs, 2, 1, 1, nullptr, nullptr, 2, -1), 0);
    EXPECT_EQ(QI_USFrameGetData(dark), nullptr) << "the listed views were removed";
}

TEST_F(USFrameTest, SavesBaseAndViewParts) {
    TempDir dir;
    Raster base = random_raster(150, 90, 1, 50);
    int usf = usframe_from(base);
    ASSERT_EQ(place(usf, 1, place_orthogonal(kOrientations[1], 150, 90, 0, 0)), 1);
    std::string whole = dir.path() + "/base.tif", part = dir.path() + "/part.tif";
    ASSERT_EQ(QI_USFrameSaveExt(usf, -1, nullptr, whole.c_str()), 1);
    EXPECT_EQ(QI_USFrameGetData(usf)->modified, 0);
    const double rect[4] = {10, -20, 50, -80}; // 40 x 60 pixels of the turned view
    ASSERT_EQ(QI_USFrameSaveExt(usf, 1, rect, part.c_str()), 1);
    int loaded = QI_FrameFileLoad(part.c_str(), 1);
    ASSERT_GE(loaded, 0);
    Raster got = frame_pixels(loaded), turned = orient(base, kOrientations[1]);
    ASSERT_EQ(got.width, 40);
    ASSERT_EQ(got.height, 60);
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 40; ++x)
            ASSERT_EQ(got.get(x, y), turned.get(x + 10, y + 20));
    QI_FrameDelete(loaded);
    int reloaded = QI_USFrameLoad(whole.c_str());
    ASSERT_GT(reloaded, 0);
    EXPECT_TRUE(same_pixels(frame_pixels(base_of(reloaded)), base));
}

TEST_F(USFrameTest, ReplaceBaseRebuildsOrRestores) {
    Raster first = random_raster(200, 140, 1, 60), second = random_raster(200, 140, 1, 61);
    int usf = usframe_from(first);
    ASSERT_EQ(place(usf, 1, place_orthogonal(kOrientations[1], 200, 140, 0, 0)), 1);
    ASSERT_EQ(place(usf, 2, Placement{{0, 0, 200, 0, 200, -140, 0, -140}}), 1);
    int old = base_of(usf);
    int replacement = frame_from(second, 2);
    fail_each_step(
        kFailAllocation, [&] { return QI_USFrameReplaceBase(usf, replacement) == 1; },
        [&](int64_t) {
            ASSERT_EQ(base_of(usf), old);
            ASSERT_NE(QI_FrameGetData(replacement), nullptr) << "the caller keeps its frame";
            ASSERT_EQ(view_frame(usf, 2), old);
            ASSERT_TRUE(same_pixels(frame_pixels(view_frame(usf, 1)), orient(first, kOrientations[1])));
        });
    EXPECT_EQ(base_of(usf), replacement);
    EXPECT_EQ(QI_FrameGetData(old), nullptr);
    EXPECT_TRUE(same_pixels(frame_pixels(view_frame(usf, 1)), orient(second, kOrientations[1])));
    EXPECT_EQ(view_frame(usf, 2), replacement);
}

// Every allocation failure gives the failure result and leaves no frame,
// view or block behind.
TEST_F(USFrameTest, AllocationFailuresLeaveNothing) {
    TempDir dir;
    std::string name = dir.path() + "/page.tif";
    Raster base = random_raster(300, 260, 1, 70);
    int source = frame_from(base, 1);
    ASSERT_EQ(QI_FrameFileSave(source, name.c_str()), 1);
    QI_FrameDelete(source);
    int usf = 0;
    fail_each_step(
        kFailAllocation, [&] { return (usf = QI_USFrameLoad(name.c_str())) > 0; },
        [&](int64_t) { ASSERT_EQ(frames_alive(), 0); });
    int alive = frames_alive();
    int id = 0;
    for (Placement pl : {place_orthogonal(kOrientations[4], 300, 260, 0, 0), place_turned(300, 260, 30, 0, 0)}) {
        ++id;
        fail_each_step(
            kFailAllocation, [&] { Placement p = pl; return place(usf, id, p) == 1; },
            [&](int64_t) {
                ASSERT_EQ(frames_alive(), alive);
                ASSERT_EQ(QI_USFrameGetBaseViewInx(usf, id, nullptr, nullptr, nullptr), 0);
            });
        alive = frames_alive();
    }
    // With the colour filter on (masks), then off with scale to grey.
    const int32_t hide[1] = {QI_COLOR_BLACK};
    for (bool filtered : {true, false}) {
        QI_SetScaleToGrayState(filtered ? -1.0 : 1.0);
        QI_USFrameSetVis(usf, hide, filtered ? 1 : 0, filtered ? 1 : 0);
        for (int view : {1, 2}) {
            fail_each_step(
                kFailAllocation,
                [&] {
                    Zoomed z;
                    zoom(z, usf, view, 60, 50, -200, 200, 200, -200);
                    return z.kind > 0;
                },
                [&](int64_t) {});
        }
    }
    QI_SetScaleToGrayState(-1.0);
    const int32_t pairs[4] = {usf, 1, usf, 2};
    fail_each_step(
        kFailAllocation,
        [&] {
            int group = QI_USFrameGroupFixView(pairs, 2, 0, 0, nullptr, nullptr, 1, QI_COLOR_WHITE);
            if (group > 0)
                QI_USFrameDelete(group);
            return group > 0;
        },
        [&](int64_t) { ASSERT_EQ(frames_alive(), alive); });
    fail_each_step(
        kFailAllocation,
        [&] {
            int made = QI_USFrameCreateNew(300, 300, 2, 0x7F7F40);
            if (made > 0)
                QI_USFrameDelete(made);
            return made > 0;
        },
        [&](int64_t) {
            ASSERT_EQ(frames_alive(), alive);
            ASSERT_EQ(QI_USFrameGetData(0), nullptr);
        });
    // A window whose raster cannot be held fails cleanly.
    Zoomed huge;
    zoom(huge, usf, 1, 1000000000, 1000000000, -1, 1, 1, -1);
    EXPECT_EQ(huge.kind, 0);
}

} // namespace
