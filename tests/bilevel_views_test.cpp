/*
 * bilevel_views_test.cpp - the views of bilevel frames held to a direct
 * sampling of the base (view pixel (x, y) = base pixel (f x, f y)) and to
 * the pixel path's records (the views' tiles coded as QI_FrameSetRect codes
 * the same pixels), on sizes that cut tiles every way and on drawing-like,
 * noisy (raw tiles), sparse and rendered content; the word kernels held to
 * per-pixel oracles; damaged base records and failing steps fail the build
 * cleanly.
 */
#include "fault_steps.h"
#include "outline_support.h"
#include "raster_support.h"
#include "test_support.h"
#include "tile_records_support.h"

#include "raster/core/bilevel_views.h"
#include "raster/core/tile_store.h"
#include "raster/core/tiles.h"

#include <random>
#include <string>
#include <vector>

using namespace quill_test;

namespace {

class BilevelViews : public LibraryFixture {};

std::vector<int> views_of(int frame) {
    std::vector<int> views;
    for (int v = QI_FrameGetData(frame)->nextView; v != -1; v = QI_FrameGetData(v)->nextView)
        views.push_back(v);
    return views;
}

Raster sampled(const Raster &base, int32_t factor) {
    Raster r((base.width + factor - 1) / factor, (base.height + factor - 1) / factor, 1);
    for (int32_t y = 0; y < r.height; ++y)
        for (int32_t x = 0; x < r.width; ++x)
            r.set(x, y, base.get(factor * x, factor * y));
    return r;
}

// Drawing-like content: sparse dots, long lines across tile edges, thin
// stripes (runs and gaps of one pixel, which sampling drops or keeps by
// their place), and a noisy block whose tiles are stored raw.
Raster drawing(int32_t w, int32_t h, std::mt19937 &random) {
    Raster r(w, h, 1);
    r.fill_sparse(random, 1);
    for (int32_t k = 0; k < 6; ++k) {
        int32_t y = static_cast<int32_t>(random() % static_cast<uint32_t>(h));
        int32_t x = static_cast<int32_t>(random() % static_cast<uint32_t>(w));
        for (int32_t i = 0; i < w; ++i)
            r.set(i, y, 0);
        for (int32_t i = 0; i < h; ++i)
            r.set(x, i, 0);
    }
    for (int32_t y = 0; y < h / 4; ++y)
        for (int32_t x = w / 4; x < w / 2; ++x)
            r.set(x, y, (x % 3 == 0 || y % 5 == 1) ? 0 : 1);
    int32_t nw = w / 3 + 1, nh = h / 3 + 1;
    for (int32_t y = 0; y < nh; ++y)
        for (int32_t x = 0; x < nw; ++x)
            r.set(x + w - nw, y + h - nh, random() & 1);
    return r;
}

// Builds the views of `base` in a frame of the storage and holds each to
// the sampled base and to the records the pixel path writes for it.
void hold_views(const Raster &base, int storage) {
    int frame = frame_from(base, storage);
    ASSERT_GE(frame, 0);
    ASSERT_EQ(QI_FrameViewOptimize(frame, 1), 1);
    std::vector<int> views = views_of(frame);
    ASSERT_EQ(views.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(testing::Message() << "1/" << (2 << i));
        Raster expected = sampled(base, 2 << i);
        EXPECT_TRUE(same_pixels(frame_pixels(views[i]), expected));
        int direct = frame_from(expected, storage);
        ASSERT_GE(direct, 0);
        EXPECT_TRUE(same_records(views[i], direct));
        QI_FrameDelete(direct);
    }
    QI_FrameDelete(frame);
}

struct Size {
    int32_t width, height;
};
// Sides past one tile by one pixel, odd sides (last samples from the last
// base pixel), widths not multiples of 8, 16, 128 or 1024 (a 1/8 view tile
// taking part of a base tile row), and several view bands down.
const Size kSizes[] = {{129, 129}, {130, 131}, {300, 257}, {1031, 390}, {257, 1100}, {2049, 300}, {640, 2560}};

} // namespace

TEST(BilevelViewWords, EvenPixelsOfChangesAreTheDrawnRowSampled) {
    std::mt19937 random(3);
    for (uint32_t width : {1u, 2u, 7u, 63u, 64u, 65u, 100u, 127u, 128u}) {
        for (int trial = 0; trial < 300; ++trial) {
            // Canonical elements as the decoder leaves them: ascending, at
            // most the width, an even count (a last black run closed at
            // the width).
            std::vector<uint16_t> elements;
            int density = 1 + trial % 5;
            for (uint32_t x = 0; x < width; ++x)
                if (static_cast<int>(random() % 8) < density)
                    elements.push_back(static_cast<uint16_t>(x));
            if (elements.size() & 1)
                elements.push_back(static_cast<uint16_t>(width));
            uint64_t expected = ~0ull;
            for (uint32_t i = 0; 2 * i < width; ++i) {
                uint32_t changes = 0;
                for (uint16_t e : elements)
                    changes += e <= 2 * i;
                if (changes & 1)
                    expected &= ~(0x8000000000000000ull >> i);
            }
            ASSERT_EQ(quill::even_pixels_of_changes(elements.data(), static_cast<uint32_t>(elements.size())),
                      expected)
                << "width " << width << " trial " << trial;
        }
    }
}

TEST_F(BilevelViews, ViewsAreTheBaseSampledWithThePixelPathsRecords) {
    std::mt19937 random(11);
    for (const Size &size : kSizes) {
        Raster contents[3] = {drawing(size.width, size.height, random), Raster(size.width, size.height, 1),
                              Raster(size.width, size.height, 1)};
        contents[1].fill_random(random);
        contents[2].fill_sparse(random, 3);
        for (int c = 0; c < 3; ++c)
            for (int storage : {QI_STORAGE_MEMORY, QI_STORAGE_SWAP}) {
                SCOPED_TRACE(testing::Message() << size.width << "x" << size.height << " content " << c
                                                << " storage " << storage);
                hold_views(contents[c], storage);
            }
    }
}

TEST_F(BilevelViews, RenderedDrawingsGetTheirSampledViews) {
    if (!have_ghostscript())
        GTEST_SKIP() << "no ghostscript";
    int rendered = 0;
    for (const char *name : {"escher.ps", "snowflak.ps", "golfer.eps"}) {
        BitRaster page = render_ps(std::string(QUILL_SHARED_DIR) + "/samples/ps/" + name, 60);
        if (page.width < 129 || page.height < 129)
            continue;
        ++rendered;
        SCOPED_TRACE(name);
        Raster r(page.width, page.height, 1);
        for (int32_t y = 0; y < r.height; ++y)
            for (int32_t x = 0; x < r.width; ++x)
                r.set(x, y, page.black(x, y) ? 0 : 1);
        hold_views(r, QI_STORAGE_SWAP);
    }
    if (rendered == 0)
        GTEST_SKIP() << "no sample drawing rendered";
}

// A base record that does not decode fails the build: no view is left,
// nothing leaks (the fixture checks), and the base reads as before except
// for the damaged tile.
TEST_F(BilevelViews, DamagedBaseRecordsFailTheBuildCleanly) {
    std::mt19937 random(17);
    Raster base = drawing(300, 257, random);
    // Damages of tile 1's record (T.6 code of a tile with dots, lines and
    // stripes): the code cut in half, no code word at all, code that ends
    // after 16 repeated rows.
    enum Damage { kCut, kNoCode, kShort };
    for (Damage d : {kCut, kNoCode, kShort}) {
        SCOPED_TRACE(static_cast<int>(d));
        int frame = frame_from(base, QI_STORAGE_SWAP);
        ASSERT_GE(frame, 0);
        QI_FrameLock(frame);
        const QI_FrameRecord *f = QI_FrameGetData(frame);
        std::vector<uint8_t> record(4096);
        int32_t length = quill::tile_store_read(f->tileStore, 1, record.data(), 4096);
        ASSERT_GT(length, 8);
        ASSERT_LT(length, 2048) << "tile 1 is to be T.6 code";
        if (d == kCut)
            record.resize(static_cast<size_t>(length) / 2);
        else if (d == kNoCode)
            record.assign(40, 0x00);
        else
            record.assign(2, 0xFF);
        ASSERT_TRUE(quill::tile_store_write(f->tileStore, 1, record.data(), static_cast<int32_t>(record.size())));
        QI_FrameUnlock(frame);
        EXPECT_EQ(QI_FrameViewOptimize(frame, 1), 0);
        EXPECT_TRUE(views_of(frame).empty());
        int count = 0;
        QI_FrameLibraryInfo(&count, nullptr);
        EXPECT_EQ(count, 1);
        QI_FrameDelete(frame);
    }
}

TEST_F(BilevelViews, FailedStepsLeaveNoViewAndNoLeak) {
    std::mt19937 random(23);
    Raster base = drawing(1031, 390, random);
    for (int storage : {QI_STORAGE_MEMORY, QI_STORAGE_SWAP}) {
        SCOPED_TRACE(storage);
        int frame = frame_from(base, storage);
        ASSERT_GE(frame, 0);
        for (int step : {kFailAllocation, static_cast<int>(quill::FileOp::Write)}) {
            if (storage == QI_STORAGE_MEMORY && step != kFailAllocation)
                continue;
            int failures = 0;
            fail_each_step(
                step, [&] { return QI_FrameViewOptimize(frame, 1) == 1; },
                [&](int64_t n) {
                    ++failures;
                    EXPECT_TRUE(views_of(frame).empty()) << "step " << n;
                    int count = 0;
                    QI_FrameLibraryInfo(&count, nullptr);
                    EXPECT_EQ(count, 1) << "step " << n;
                });
            EXPECT_GT(failures, 0) << "no step of the build failed";
            std::vector<int> views = views_of(frame);
            ASSERT_EQ(views.size(), 3u);
            EXPECT_TRUE(same_pixels(frame_pixels(views[2]), sampled(base, 8)));
            QI_FrameViewOptimize(frame, 0);
        }
        QI_FrameDelete(frame);
    }
}
