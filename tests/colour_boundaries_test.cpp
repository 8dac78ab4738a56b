/*
 * colour_boundaries_test.cpp - QI_FrameColorBoundaries.
 *
 * The result is checked against the boundary rule applied pixel by pixel
 * here, on frames of every kind made of patches of few colours (so that
 * both outcomes of every comparison occur), at sizes around a byte, the
 * 128-row bands and the tiles; and against hand-worked cases: uniform
 * frames, a vertical and a horizontal change, changes at the seam between
 * two bands, the first row of a bilevel frame, and the last column of
 * bilevel rows (compared with the pixel above only, whatever the pad bits).
 * Then the reports, a cancel, failed allocations and tile writes: -1 and no
 * frame left.
 */
#include "raster_support.h"
#include "test_support.h"

#include <stdint.h>

#include <random>
#include <string>
#include <vector>

using namespace quill_test;

namespace {

// The rule, pixel by pixel: white when (x, y) equals the pixel above and
// that one equals its right neighbour; the row above row 0 is zero; the
// last pixel of a row compares with the pixel above only.
Raster boundaries(const Raster &s) {
    Raster out(s.width, s.height, 1, 0);
    for (int32_t y = 0; y < s.height; ++y)
        for (int32_t x = 0; x < s.width; ++x) {
            uint32_t above = y > 0 ? s.get(x, y - 1) : 0;
            bool white = s.get(x, y) == above;
            if (x + 1 < s.width)
                white = white && above == (y > 0 ? s.get(x + 1, y - 1) : 0);
            out.set(x, y, white ? 1 : 0);
        }
    return out;
}

// Patches of a few colours: each pixel copies its left or upper neighbour
// most of the time.
Raster patches(int32_t w, int32_t h, int32_t kind, std::mt19937 &random) {
    const uint32_t grey[] = {0, 10, 20, 200};
    const uint32_t colour[] = {0, 0x7F7FFF, 0x7F7F00, 0x7F80FF, 0x017F00};
    Raster r(w, h, kind);
    r.fill_random(random); // pad bits and bytes stay random
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            uint32_t pick = random() % 10;
            uint32_t v;
            if (pick < 5 && x > 0)
                v = r.get(x - 1, y);
            else if (pick < 8 && y > 0)
                v = r.get(x, y - 1);
            else if (kind == 1)
                v = random() % 2;
            else if (kind == 2)
                v = grey[random() % 4];
            else
                v = colour[random() % 5];
            r.set(x, y, v);
        }
    return r;
}

int frame_count() {
    int count = 0;
    QI_FrameLibraryInfo(&count, nullptr);
    return count;
}

std::vector<intptr_t> g_reports;
int g_refuseAt = 0; // refuse the n-th report after the message; 0 never
bool g_refuseFirst = false;
int record_report(intptr_t value) {
    g_reports.push_back(value);
    if (g_reports.size() == 1 && g_refuseFirst)
        return 0;
    return g_reports.size() > 2 && static_cast<int>(g_reports.size()) - 2 == g_refuseAt ? 0 : 1;
}

class ColourBoundariesTest : public LibraryFixture {
protected:
    void restart_with_reports() {
        QI_CloseFrameFunctions();
        ASSERT_EQ(QI_InitFrameFunctions("", swap_.path().c_str(), record_report), 1);
    }
    // The boundary frame of `source`, read back and deleted; the frame
    // itself is checked for kind, size, storage and lock state.
    Raster boundaries_of(const Raster &source, int storage = QI_STORAGE_MEMORY) {
        int frame = frame_from(source, storage);
        EXPECT_GE(frame, 0);
        int result = QI_FrameColorBoundaries(frame);
        EXPECT_GE(result, 0);
        if (result < 0)
            return Raster();
        const QI_FrameRecord *r = QI_FrameGetData(result);
        EXPECT_EQ(r->kind, 1);
        EXPECT_EQ(r->width, source.width);
        EXPECT_EQ(r->height, source.height);
        EXPECT_EQ(r->storage, storage);
        EXPECT_EQ(r->palette, 0);
        EXPECT_EQ(r->locked, 0);
        Raster marks = frame_pixels(result);
        EXPECT_TRUE(same_pixels(frame_pixels(frame), source)) << "the source changed";
        QI_FrameDelete(result);
        QI_FrameDelete(frame);
        return marks;
    }
};

TEST_F(ColourBoundariesTest, EveryPixelFollowsTheBoundaryRule) {
    std::mt19937 random(1);
    const struct {
        int32_t w, h;
    } sizes[] = {{1, 1},  {1, 5},   {5, 1},    {7, 3},     {8, 8},     {9, 9},    {15, 4},
                 {16, 20}, {17, 130}, {129, 257}, {300, 260}, {200, 200}, {640, 129}};
    for (int32_t kind : {1, 2, 4})
        for (const auto &size : sizes)
            for (int storage : {QI_STORAGE_MEMORY, QI_STORAGE_SWAP}) {
                Raster source = patches(size.w, size.h, kind, random);
                EXPECT_TRUE(same_pixels(boundaries_of(source, storage), boundaries(source)))
                    << "kind " << kind << " " << size.w << " x " << size.h << " storage " << storage;
            }
}

TEST_F(ColourBoundariesTest, AUniformFrameIsWhiteBelowItsFirstRow) {
    for (uint8_t v : {0, 7, 255}) {
        Raster marks = boundaries_of(Raster(90, 200, 2, v));
        for (int32_t y = 0; y < 200; ++y)
            for (int32_t x = 0; x < 90; ++x)
                ASSERT_EQ(marks.get(x, y), y == 0 && v != 0 ? 0u : 1u) << "value " << int(v) << " at " << x << ", " << y;
    }
}

TEST_F(ColourBoundariesTest, AVerticalChangeMarksTheColumnLeftOfIt) {
    Raster source(100, 50, 2);
    for (int32_t y = 0; y < 50; ++y)
        for (int32_t x = 0; x < 100; ++x)
            source.set(x, y, x < 50 ? 10 : 20);
    Raster marks = boundaries_of(source);
    for (int32_t y = 0; y < 50; ++y)
        for (int32_t x = 0; x < 100; ++x)
            ASSERT_EQ(marks.get(x, y), y == 0 || x == 49 ? 0u : 1u) << x << ", " << y;
}

TEST_F(ColourBoundariesTest, AHorizontalChangeMarksTheRowBelowIt) {
    for (int32_t change : {50, 127, 128, 129}) {
        // 127 and 128 sit on the seam of the first two bands: the row after
        // the seam is compared with the last row of the band before it, as
        // it was read.
        Raster source(70, 200, 4);
        for (int32_t y = 0; y < 200; ++y)
            for (int32_t x = 0; x < 70; ++x)
                source.set(x, y, y < change ? 0x7F7F10u : 0x7F8010u);
        Raster marks = boundaries_of(source);
        for (int32_t y = 0; y < 200; ++y)
            for (int32_t x = 0; x < 70; ++x)
                ASSERT_EQ(marks.get(x, y), y == 0 || y == change ? 0u : 1u)
                    << "change at " << change << ": " << x << ", " << y;
    }
}

TEST_F(ColourBoundariesTest, TheFirstBilevelRowComesOutInverted) {
    std::mt19937 random(2);
    Raster source(77, 3, 1);
    source.fill_random(random);
    Raster marks = boundaries_of(source);
    for (int32_t x = 0; x < 77; ++x)
        ASSERT_EQ(marks.get(x, 0), 1u - source.get(x, 0)) << x;
}

TEST_F(ColourBoundariesTest, TheLastBilevelPixelComparesWithThePixelAboveOnly) {
    // White frames whose widths end anywhere in a byte and on a 16-bit
    // line end: the pad bit after the last pixel must not decide it, so
    // below the first row everything is white.
    for (int32_t w : {1, 7, 8, 9, 13, 15, 16, 17, 31, 32, 33, 129}) {
        Raster source(w, 140, 1, 0xFF);
        Raster marks = boundaries_of(source);
        for (int32_t y = 1; y < 140; ++y)
            for (int32_t x = 0; x < w; ++x)
                ASSERT_EQ(marks.get(x, y), 1u) << "width " << w << " at " << x << ", " << y;
        // The last column changing alone is marked where it changes.
        for (int32_t y = 0; y < 140; ++y)
            source.set(w - 1, y, (y / 3) % 2);
        marks = boundaries_of(source);
        for (int32_t y = 1; y < 140; ++y) {
            bool changed = source.get(w - 1, y) != source.get(w - 1, y - 1);
            ASSERT_EQ(marks.get(w - 1, y), changed ? 0u : 1u) << "width " << w << " row " << y;
        }
    }
}

TEST_F(ColourBoundariesTest, ReportsTheMessagePercentagesAnd100) {
    restart_with_reports();
    ASSERT_EQ(QI_SetMessage(11, 4242), 1);
    std::mt19937 random(3);
    int frame = frame_from(patches(100, 300, 2, random));
    g_reports.clear();
    g_refuseAt = 0;
    int result = QI_FrameColorBoundaries(frame);
    ASSERT_GE(result, 0);
    ASSERT_EQ(g_reports.size(), 6u) << "0, the message, three bands, 100";
    EXPECT_EQ(g_reports[0], 0);
    EXPECT_EQ(g_reports[1], 4242);
    EXPECT_EQ(g_reports[2], 1) << "100 - 99 * 300 / 300";
    EXPECT_EQ(g_reports[3], 100 - 99 * 172 / 300);
    EXPECT_EQ(g_reports[4], 100 - 99 * 44 / 300);
    EXPECT_EQ(g_reports[5], 100);
    QI_FrameDelete(result);
    QI_FrameDelete(frame);
}

TEST_F(ColourBoundariesTest, ACancelDeletesTheNewFrameAndStillReports100) {
    restart_with_reports();
    std::mt19937 random(4);
    for (int storage : {QI_STORAGE_MEMORY, QI_STORAGE_SWAP}) {
        int frame = frame_from(patches(100, 300, 4, random), storage);
        for (int refuse = 1; refuse <= 3; ++refuse) {
            g_reports.clear();
            g_refuseAt = refuse;
            EXPECT_EQ(QI_FrameColorBoundaries(frame), -1) << "refused at band " << refuse;
            ASSERT_GE(g_reports.size(), 2u);
            EXPECT_EQ(g_reports[g_reports.size() - 2], 101);
            EXPECT_EQ(g_reports.back(), 100);
            EXPECT_EQ(frame_count(), 1);
            EXPECT_EQ(swap_.files().size(), storage == QI_STORAGE_SWAP ? 1u : 0u);
            EXPECT_EQ(QI_FrameGetData(frame)->locked, 0);
        }
        // Refused at the first report: nothing made, nothing locked, no 100.
        g_reports.clear();
        g_refuseAt = 0;
        g_refuseFirst = true;
        EXPECT_EQ(QI_FrameColorBoundaries(frame), -1);
        g_refuseFirst = false;
        EXPECT_EQ(g_reports.back(), 101);
        EXPECT_EQ(frame_count(), 1);
        QI_FrameDelete(frame);
    }
}

TEST_F(ColourBoundariesTest, UnknownFramesGiveMinusOneWithoutReportingDone) {
    restart_with_reports();
    g_refuseAt = 0;
    for (int frame : {-1, 0, 5}) {
        g_reports.clear();
        EXPECT_EQ(QI_FrameColorBoundaries(frame), -1);
        EXPECT_EQ(g_reports.size(), 2u) << "0 and the message only";
    }
}

TEST_F(ColourBoundariesTest, ALockedSourceStaysLocked) {
    std::mt19937 random(5);
    Raster source = patches(140, 140, 2, random);
    int frame = frame_from(source);
    ASSERT_EQ(QI_FrameLock(frame), 1);
    int result = QI_FrameColorBoundaries(frame);
    ASSERT_GE(result, 0);
    EXPECT_EQ(QI_FrameGetData(frame)->locked, 1);
    EXPECT_TRUE(same_pixels(frame_pixels(result), boundaries(source)));
    QI_FrameUnlock(frame);
    QI_FrameDelete(result);
    QI_FrameDelete(frame);
}

TEST_F(ColourBoundariesTest, FailedAllocationsAndTileWritesLeaveNoFrame) {
    std::mt19937 random(6);
    for (int32_t kind : {1, 2, 4})
        for (int storage : {QI_STORAGE_MEMORY, QI_STORAGE_SWAP}) {
            Raster source = patches(300, 270, kind, random);
            Raster want = boundaries(source);
            int frame = frame_from(source, storage);
            int failures = 0;
            for (int64_t n = 1;; ++n) {
                qs_test_fail_allocation(n);
                int result = QI_FrameColorBoundaries(frame);
                bool hit = qs_test_allocation_count() >= n;
                qs_test_fail_allocation(0);
                if (result < 0) {
                    ++failures;
                    EXPECT_EQ(frame_count(), 1) << "allocation " << n;
                    EXPECT_EQ(QI_FrameGetData(frame)->locked, 0);
                    continue;
                }
                EXPECT_TRUE(same_pixels(frame_pixels(result), want)) << "allocation " << n;
                QI_FrameDelete(result);
                if (!hit)
                    break;
            }
            EXPECT_GE(failures, 4) << "locks, the new frame and three buffers allocate";
            if (storage == QI_STORAGE_SWAP) {
                for (quill::FileOp failing : {quill::FileOp::Write, quill::FileOp::Read})
                    for (int n = 1; n <= 12; ++n) {
                        qi_test_fail_file_op(static_cast<int>(failing), n);
                        int result = QI_FrameColorBoundaries(frame);
                        qi_test_fail_file_op(static_cast<int>(failing), 0);
                        if (result < 0) {
                            EXPECT_EQ(frame_count(), 1);
                            EXPECT_EQ(swap_.files().size(), 1u);
                        } else {
                            EXPECT_TRUE(same_pixels(frame_pixels(result), want));
                            QI_FrameDelete(result);
                        }
                    }
            }
            QI_FrameDelete(frame);
        }
}

} // namespace
