// The grey count engine against the fine raster it replaces: the scaled
// read of the region n times finer, counted block by block, must give the
// same white count for every pixel, over straight reads, repeated samples,
// reduced views, regions reaching outside the frame, and failed allocations.
#include "fault_steps.h"
#include "raster_support.h"
#include "test_support.h"

#include "base/raster_line.h"
#include "raster/core/run_tiles.h"
#include "raster/core/scaled_read.h"

#include <random>
#include <string>
#include <vector>

using namespace quill_test;

namespace {

struct Region {
    const char *what;
    double x0, y0, x1, y1;
    int n, width, height;
};

// White samples per pixel from the fine raster of the scaled read.
std::vector<uint8_t> counts_from_fine_raster(int frame, const Region &g) {
    int fw = g.n * g.width, fh = g.n * g.height;
    uint32_t line = quill::raster_line_bytes(1, fw);
    std::vector<uint8_t> fine(static_cast<size_t>(line) * fh, 0xFF);
    quill::ScaledRead read{frame, -1, -1, g.x0, g.y0, g.x1, g.y1, fine.data(), 1, fw, fh};
    EXPECT_TRUE(quill::scaled_read(read));
    std::vector<uint8_t> counts(static_cast<size_t>(g.width) * g.height, 0);
    for (int y = 0; y < fh; ++y)
        for (int x = 0; x < fw; ++x)
            counts[(y / g.n) * g.width + x / g.n] += (fine[y * line + x / 8] >> (7 - x % 8)) & 1;
    return counts;
}

class GreyCountTest : public LibraryFixture {
protected:
    void SetUp() override {
        LibraryFixture::SetUp();
        QI_SetScaleToGrayState(1.0); // the scaled read samples without folding
    }
    void TearDown() override {
        QI_SetScaleToGrayState(-1.0);
        if (frame_ >= 0)
            QI_FrameDelete(frame_);
        LibraryFixture::TearDown();
    }
    void make_frame(int w, int h) {
        std::mt19937 random(w * 31 + h);
        Raster r(w, h, 1);
        r.fill_sparse(random, 35);
        frame_ = QI_FrameCreate(w, h, 1, QI_STORAGE_MEMORY, nullptr, 0);
        ASSERT_GE(frame_, 0);
        QI_FrameLock(frame_);
        ASSERT_EQ(QI_FrameSetRect(frame_, nullptr, r.data(), 1, -1, -1), 1);
        QI_FrameUnlock(frame_);
        ASSERT_EQ(QI_FrameViewOptimize(frame_, 1), 1);
    }
    int frame_ = -1;
};

TEST_F(GreyCountTest, CountsEqualTheFineRasterOfTheScaledRead) {
    make_frame(1000, 700); // tiles cut on both axes, with three reduced views
    const Region regions[] = {
        {"straight 1:4", 128, 64, 128 + 4 * 100, 64 + 4 * 60, 4, 100, 60},
        {"straight at a fraction", 3.4, 7.8, 3.4 + 4 * 90, 7.8 + 4 * 50, 4, 90, 50},
        {"repeated samples 1:2.5", 10.3, 20.7, 10.3 + 2.5 * 150, 20.7 + 2.5 * 80, 4, 150, 80},
        {"8-fold, the whole frame", 0, 0, 1000, 700, 8, 115, 81},
        {"8-fold through the 1/2 view", 0, 0, 1000, 700, 8, 60, 42},
        {"8-fold past the 1/8 view", 0, 0, 1000, 700, 8, 9, 7},
        {"reaching outside", -300.5, -50.25, 1200.75, 900, 8, 170, 110},
        {"wholly outside", 2000, 2000, 2400, 2300, 4, 40, 30},
        {"one pixel", 500.5, 300.5, 504.5, 304.5, 4, 1, 1},
    };
    // From runs, and from pieces (the path of frames too wide for runs).
    for (int runs : {1, 0}) {
        for (const Region &g : regions) {
            SCOPED_TRACE(std::string(g.what) + (runs ? ", from runs" : ", from pieces"));
            qi_test_run_paths(runs);
            std::vector<uint8_t> want = counts_from_fine_raster(frame_, g);
            std::vector<uint8_t> got(want.size(), 0xEE);
            quill::GreyCount count{frame_, g.x0, g.y0, g.x1, g.y1, g.n, g.width, g.height, got.data()};
            ASSERT_TRUE(quill::grey_count_read(count));
            size_t differ = 0;
            for (size_t i = 0; i < want.size(); ++i)
                differ += want[i] != got[i];
            EXPECT_EQ(differ, 0u) << "of " << want.size() << " pixels";
        }
    }
    qi_test_run_paths(1);
}

TEST_F(GreyCountTest, FailedAllocationsFailCleanly) {
    make_frame(300, 260);
    std::vector<uint8_t> counts(64 * 64);
    for (int runs : {1, 0}) {
        qi_test_run_paths(runs);
        int failures = 0;
        fail_each_step(
            kFailAllocation,
            [&] {
                quill::GreyCount count{frame_, 0, 0, 300, 260, 8, 64, 64, counts.data()};
                return quill::grey_count_read(count);
            },
            [&](int64_t) { ++failures; });
        EXPECT_GE(failures, 1) << "the maps at least; the fixture checks for leaks";
    }
    qi_test_run_paths(1);
}

} // namespace
