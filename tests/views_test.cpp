// Reduced views: sizes, sampled pixels, removal, updates of changed areas,
// and the progress of building them.
#include "raster_support.h"
#include "test_support.h"

#include <math.h>

using namespace quill_test;

namespace {

class ViewTest : public LibraryFixture {};

std::vector<int> chain_of(int frame) {
    std::vector<int> views;
    for (int v = QI_FrameGetData(frame)->nextView; v != -1; v = QI_FrameGetData(v)->nextView)
        views.push_back(v);
    return views;
}

int g_calls = 0;
intptr_t g_last = 0;
int always_cancel(intptr_t value) {
    ++g_calls;
    g_last = value;
    return 0;
}

} // namespace

TEST_F(ViewTest, SmallFramesGetNoViews) {
    int narrow = frame_from(Raster(128, 1000, 1));
    int low = frame_from(Raster(1000, 128, 2));
    EXPECT_EQ(QI_FrameViewOptimize(narrow, 1), 1);
    EXPECT_EQ(QI_FrameViewOptimize(low, 1), 1);
    EXPECT_TRUE(chain_of(narrow).empty());
    EXPECT_TRUE(chain_of(low).empty());
    EXPECT_EQ(QI_FrameViewOptimize(99, 1), 0);
}

TEST_F(ViewTest, ViewsHoldTheSampledPixelsAtHalfQuarterAndEighth) {
    std::mt19937 random(7);
    struct Case {
        int width, height;
    } sizes[] = {{129, 129}, {1000, 700}, {301, 517}};
    for (int kind : {1, 2, 4}) {
        for (const Case &size : sizes) {
            Raster base(size.width, size.height, kind);
            base.fill_random(random);
            int frame = frame_from(base, kind == 2 ? 2 : 1);
            ASSERT_EQ(QI_FrameViewOptimize(frame, 1), 1);
            std::vector<int> views = chain_of(frame);
            ASSERT_EQ(views.size(), 3u);
            EXPECT_EQ(QI_FrameGetData(frame)->nextViewFactor, 2);
            const int factors[] = {2, 4, 8};
            for (int i = 0; i < 3; ++i) {
                const QI_FrameRecord *v = QI_FrameGetData(views[i]);
                int f = factors[i];
                EXPECT_EQ(v->width, (size.width + f - 1) / f);
                EXPECT_EQ(v->height, (size.height + f - 1) / f);
                EXPECT_EQ(v->kind, kind);
                EXPECT_EQ(v->nextViewFactor, i < 2 ? factors[i + 1] : 1);
                Raster expected(v->width, v->height, kind);
                for (int y = 0; y < v->height; ++y)
                    for (int x = 0; x < v->width; ++x)
                        expected.set(x, y, base.get(f * x, f * y));
                EXPECT_TRUE(same_pixels(frame_pixels(views[i]), expected))
                    << "kind " << kind << " " << size.width << "x" << size.height << " view 1/" << f;
            }
            int count = 0;
            QI_FrameLibraryInfo(&count, nullptr);
            EXPECT_EQ(count, 4);
            EXPECT_EQ(QI_FrameViewOptimize(frame, 1), 1) << "views exist: nothing to do";
            EXPECT_EQ(chain_of(frame).size(), 3u);
            EXPECT_EQ(QI_FrameDelete(frame), 1);
            QI_FrameLibraryInfo(&count, nullptr);
            EXPECT_EQ(count, 0) << "the views go with the base";
        }
    }
}

TEST_F(ViewTest, RemovedViewsAreNotUpdated) {
    int frame = frame_from(Raster(300, 300, 2, 9));
    ASSERT_EQ(QI_FrameViewOptimize(frame, 1), 1);
    ASSERT_EQ(QI_FrameViewOptimize(frame, 0), 1);
    EXPECT_EQ(QI_FrameGetData(frame)->nextView, -1);
    EXPECT_EQ(QI_FrameGetData(frame)->nextViewFactor, 1);
    int count = 0;
    QI_FrameLibraryInfo(&count, nullptr);
    EXPECT_EQ(count, 1);
    QI_Rect rect{0, 0, 100, 100};
    EXPECT_EQ(QI_FrameViewUpdate(frame, &rect), 1);
    EXPECT_EQ(QI_FrameViewUpdate(frame, nullptr), 1);
    EXPECT_EQ(QI_FrameGetData(frame)->nextView, -1);
    EXPECT_EQ(QI_FrameViewUpdate(42, &rect), 0);
}

TEST_F(ViewTest, UpdateRefreshesAChangedAreaAndIgnoresAThinOne) {
    Raster base(640, 512, 2, 50);
    int frame = frame_from(base);
    ASSERT_EQ(QI_FrameViewOptimize(frame, 1), 1);
    std::vector<int> views = chain_of(frame);
    // Change the base without telling the views, then tell them.
    std::mt19937 random(8);
    Raster patch(200, 150, 2);
    patch.fill_random(random);
    QI_Rect area{101, 77, 300, 226};
    QI_FrameLock(frame);
    ASSERT_EQ(QI_FrameSetRect(frame, &area, patch.data(), 2, -1, -1), 1);
    QI_FrameUnlock(frame);
    for (int i = 0; i < 200; ++i)
        for (int j = 0; j < 150; ++j)
            base.set(101 + i, 77 + j, patch.get(i, j));

    QI_Rect thin{10, 10, 10, 20};
    EXPECT_EQ(QI_FrameViewUpdate(frame, &thin), 1);
    EXPECT_EQ(frame_pixels(views[0]).get(60, 50), 50u) << "a one-pixel-wide rect is not propagated";

    ASSERT_EQ(QI_FrameViewUpdate(frame, &area), 1);
    EXPECT_EQ(QI_FrameGetData(frame)->nextView, views[0]) << "the chain is hooked back";
    const int factors[] = {2, 4, 8};
    for (int i = 0; i < 3; ++i) {
        int f = factors[i];
        Raster view = frame_pixels(views[i]);
        int x0 = area.left - area.left % f, y0 = area.top - area.top % f;
        for (int y = 0; y < view.height; ++y) {
            for (int x = 0; x < view.width; ++x) {
                int bx = f * x, by = f * y;
                bool inside = bx >= x0 && bx <= area.right && by >= y0 && by <= area.bottom;
                // Inside the aligned area: each block's first pixel, as a
                // build samples it; outside: untouched.
                uint32_t expected = inside ? base.get(f * x, f * y) : 50u;
                ASSERT_EQ(view.get(x, y), expected) << "view 1/" << f << " at " << x << "," << y;
            }
        }
    }
}

TEST_F(ViewTest, UpdateWithoutRectRebuildsTheViews) {
    int frame = frame_from(Raster(400, 400, 1, 0xFF));
    ASSERT_EQ(QI_FrameViewOptimize(frame, 1), 1);
    Raster black(400, 400, 1, 0x00);
    QI_FrameLock(frame);
    QI_FrameSetRect(frame, nullptr, black.data(), 1, -1, -1);
    QI_FrameUnlock(frame);
    ASSERT_EQ(QI_FrameViewUpdate(frame, nullptr), 1);
    std::vector<int> views = chain_of(frame);
    ASSERT_EQ(views.size(), 3u);
    EXPECT_EQ(frame_pixels(views[2]).get(20, 20), 0u);
}

TEST_F(ViewTest, BuildingCarriesOnWhenTheHostCancels) {
    QI_CloseFrameFunctions();
    ASSERT_EQ(QI_InitFrameFunctions("", swap_.path().c_str(), always_cancel), 1);
    int frame = frame_from(Raster(300, 300, 2, 1));
    g_calls = 0;
    ASSERT_EQ(QI_FrameViewOptimize(frame, 1), 1);
    EXPECT_EQ(chain_of(frame).size(), 3u);
    EXPECT_EQ(g_last, 101) << "each cancel answer is followed by 101";
    EXPECT_GE(g_calls, 8);
}

TEST_F(ViewTest, FailedBuildLeavesNoViewAndNoLeak) {
    int frame = frame_from(Raster(700, 300, 1, 0xAA), 2);
    for (int64_t n = 1; n < 200; ++n) {
        qs_test_fail_allocation(n);
        int ok = QI_FrameViewOptimize(frame, 1);
        bool hit = qs_test_allocation_count() >= n;
        qs_test_fail_allocation(0);
        if (ok && !hit)
            break;
        if (!ok) {
            EXPECT_TRUE(chain_of(frame).empty()) << "allocation " << n;
            int count = 0;
            QI_FrameLibraryInfo(&count, nullptr);
            EXPECT_EQ(count, 1) << "allocation " << n;
            EXPECT_EQ(swap_.files().size(), 1u) << "allocation " << n;
        } else {
            QI_FrameViewOptimize(frame, 0);
        }
    }
    EXPECT_EQ(chain_of(frame).size(), 3u);
}
