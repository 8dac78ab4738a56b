// Stretching: one-to-one copies, whole-factor reductions with thin bilevel
// lines kept, enlargements, colour keys, and the choice of reduced view.
#include "raster_support.h"
#include "test_support.h"

#include "raster/core/library_state.h"

#include <math.h>

#include <string>

using namespace quill_test;

namespace {

class StretchTest : public LibraryFixture {};

// The destination index that a source row or column folds into under a
// whole-factor reduction: the picked index at or before it within its tile
// (the first picked one for the leading indices of a tile).
int folded_into(int source, int factor, int destinationSize) {
    int tile = source / 128, best = -1;
    for (int d = 0; d < destinationSize; ++d) {
        int pick = static_cast<int>(floor((d + 0.5) * factor));
        if (pick / 128 != tile)
            continue;
        if (best == -1 || pick <= source)
            best = d;
        if (pick > source)
            break;
    }
    return best;
}

std::vector<intptr_t> g_reports;
int remember(intptr_t value) {
    g_reports.push_back(value);
    return 1;
}

} // namespace

TEST_F(StretchTest, OneToOneCopiesTheRectangleExactly) {
    std::mt19937 random(1);
    for (int kind : {1, 2, 4}) {
        for (int storage : {1, 2}) {
            Raster source(300, 260, kind);
            source.fill_random(random);
            Raster target(320, 300, kind);
            target.fill_random(random);
            int src = frame_from(source, storage), dst = frame_from(target, storage);
            ASSERT_EQ(QI_FrameStretchBlt(dst, 7, 131, 250, 150, src, 33, 100, 250, 150, -1, -1), 1);
            Raster expected = target;
            for (int y = 0; y < 150; ++y)
                for (int x = 0; x < 250; ++x)
                    expected.set(7 + x, 131 + y, source.get(33 + x, 100 + y));
            EXPECT_TRUE(same_pixels(frame_pixels(dst), expected)) << "kind " << kind << " storage " << storage;
            EXPECT_EQ(QI_FrameGetData(src)->locked, 0);
            EXPECT_EQ(QI_FrameGetData(dst)->locked, 0);
            QI_FrameDelete(src);
            QI_FrameDelete(dst);
        }
    }
}

TEST_F(StretchTest, WholeFactorReductionSamplesBlockCentres) {
    std::mt19937 random(2);
    for (int kind : {2, 4}) {
        Raster source(520, 400, kind);
        source.fill_random(random);
        int src = frame_from(source);
        for (int factor : {2, 3, 4, 8}) {
            int dw = 520 / factor, dh = 400 / factor;
            Raster target(dw, dh, kind, 0);
            int dst = frame_from(target);
            ASSERT_EQ(QI_FrameStretchBlt(dst, 0, 0, dw, dh, src, 0, 0, 520, 400, -1, -1), 1);
            Raster expected(dw, dh, kind);
            for (int y = 0; y < dh; ++y)
                for (int x = 0; x < dw; ++x)
                    expected.set(x, y, source.get(static_cast<int>(floor((x + 0.5) * factor)),
                                                  static_cast<int>(floor((y + 0.5) * factor))));
            EXPECT_TRUE(same_pixels(frame_pixels(dst), expected)) << "kind " << kind << " factor " << factor;
            QI_FrameDelete(dst);
        }
    }
}

TEST_F(StretchTest, TruncatedFactorReadsOnlyAsManySourceColumns) {
    std::mt19937 random(3);
    Raster source(300, 100, 2);
    source.fill_random(random);
    int src = frame_from(source);
    int dst = frame_from(Raster(200, 100, 2, 0));
    // 300 / 200 truncates to 1: the left 200 columns, unscaled.
    ASSERT_EQ(QI_FrameStretchBlt(dst, 0, 0, 200, 100, src, 0, 0, 300, 100, -1, -1), 1);
    Raster expected(200, 100, 2);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 200; ++x)
            expected.set(x, y, source.get(x, y));
    EXPECT_TRUE(same_pixels(frame_pixels(dst), expected));
}

TEST_F(StretchTest, EmptySizesDoNothing) {
    Raster target(50, 50, 2, 77);
    int dst = frame_from(target), src = frame_from(Raster(50, 50, 2, 1));
    EXPECT_EQ(QI_FrameStretchBlt(dst, 0, 0, 0, 50, src, 0, 0, 50, 50, -1, -1), 1);
    EXPECT_EQ(QI_FrameStretchBlt(dst, 0, 0, 50, 50, src, 0, 0, 0, 50, -1, -1), 1);
    EXPECT_EQ(QI_FrameStretchBlt(dst, 0, 0, 50, 50, src, 0, 0, 50, -3, -1, -1), 1);
    EXPECT_TRUE(same_pixels(frame_pixels(dst), target));
}

TEST_F(StretchTest, RefusesUnknownFramesAndAHigherSourceKind) {
    int grey = frame_from(Raster(20, 20, 2, 5)), bilevel = frame_from(Raster(20, 20, 1));
    EXPECT_EQ(QI_FrameStretchBlt(bilevel, 0, 0, 20, 20, grey, 0, 0, 20, 20, -1, -1), 0);
    EXPECT_EQ(QI_FrameStretchBlt(grey, 0, 0, 20, 20, 9, 0, 0, 20, 20, -1, -1), 0);
    EXPECT_EQ(QI_FrameStretchBlt(9, 0, 0, 20, 20, grey, 0, 0, 20, 20, -1, -1), 0);
}

TEST_F(StretchTest, BilevelReductionKeepsThinBlackLinesOnWhite) {
    // Lines on even rows and columns: block-centre sampling by 2 picks the
    // odd ones and would lose them.
    for (int factor : {2, 3, 4}) {
        Raster page(384, 384, 1, 0xFF);
        for (int i = 0; i < 384; ++i) {
            page.set(i, 100, 0); // horizontal line
            page.set(40, i, 0);  // vertical line
            page.set(i, i, 0);   // diagonal
        }
        page.set(300, 300, 0); // a lone dot
        int src = frame_from(page);
        int side = 384 / factor;
        int dst = frame_from(Raster(side, side, 1, 0xFF));
        ASSERT_EQ(QI_FrameStretchBlt(dst, 0, 0, side, side, src, 0, 0, 384, 384, -1, -1), 1);
        Raster small = frame_pixels(dst);
        int row = folded_into(100, factor, side), column = folded_into(40, factor, side);
        int blackRow = 0, blackColumn = 0, blackDiagonal = 0;
        for (int i = 0; i < side; ++i) {
            blackRow += small.get(i, row) == 0;
            blackColumn += small.get(column, i) == 0;
            blackDiagonal += small.get(i, i) == 0;
        }
        EXPECT_EQ(blackRow, side) << "factor " << factor;
        EXPECT_EQ(blackColumn, side) << "factor " << factor;
        EXPECT_EQ(blackDiagonal, side) << "factor " << factor;
        int dot = folded_into(300, factor, side);
        EXPECT_EQ(small.get(dot, dot), 0u) << "factor " << factor;
        QI_FrameDelete(src);
        QI_FrameDelete(dst);
    }
}

TEST_F(StretchTest, BilevelReductionKeepsThinWhiteGapsInBlack) {
    Raster area(256, 256, 1, 0x00);
    for (int i = 0; i < 256; ++i) {
        area.set(i, 64, 1);
        area.set(130, i, 1);
    }
    int src = frame_from(area);
    int dst = frame_from(Raster(128, 128, 1, 0x00));
    ASSERT_EQ(QI_FrameStretchBlt(dst, 0, 0, 128, 128, src, 0, 0, 256, 256, -1, -1), 1);
    Raster small = frame_pixels(dst);
    int row = folded_into(64, 2, 128), column = folded_into(130, 2, 128);
    for (int i = 0; i < 128; ++i) {
        EXPECT_EQ(small.get(i, row), 1u) << i;
        EXPECT_EQ(small.get(column, i), 1u) << i;
    }
    EXPECT_EQ(small.get(10, 10), 0u);
}

TEST_F(StretchTest, ScaleToGreyOffIsNeededForFolding) {
    Raster page(256, 256, 1, 0xFF);
    for (int i = 0; i < 256; ++i)
        page.set(i, 100, 0);
    int src = frame_from(page);
    int dst = frame_from(Raster(128, 128, 1, 0xFF));
    QI_SetScaleToGrayState(2.0);
    ASSERT_EQ(QI_FrameStretchBlt(dst, 0, 0, 128, 128, src, 0, 0, 256, 256, -1, -1), 1);
    QI_SetScaleToGrayState(-1.0);
    Raster small = frame_pixels(dst);
    for (int x = 0; x < 128; ++x)
        ASSERT_EQ(small.get(x, folded_into(100, 2, 128)), 1u) << "plain sampling skips row 100";
}

TEST_F(StretchTest, EnlargementRepeatsPixels) {
    std::mt19937 random(4);
    Raster source(70, 50, 2);
    source.fill_random(random);
    int src = frame_from(source);
    int dst = frame_from(Raster(140, 150, 2, 0));
    ASSERT_EQ(QI_FrameStretchBlt(dst, 0, 0, 140, 150, src, 0, 0, 70, 50, -1, -1), 1);
    Raster big = frame_pixels(dst);
    for (int y = 0; y < 150; ++y)
        for (int x = 0; x < 140; ++x)
            ASSERT_EQ(big.get(x, y), source.get(x / 2, y / 3)) << x << "," << y;
}

TEST_F(StretchTest, BilevelSourceWithOneKeyPaintsOnlyItsBlackPixels) {
    std::mt19937 random(5);
    Raster mask(200, 150, 1);
    mask.fill_random(random);
    Raster background(200, 150, 2);
    background.fill_random(random);
    int src = frame_from(mask), dst = frame_from(background);
    ASSERT_EQ(QI_FrameStretchBlt(dst, 0, 0, 200, 150, src, 0, 0, 200, 150, -1, 0x7F7F40), 1);
    Raster result = frame_pixels(dst);
    for (int y = 0; y < 150; ++y)
        for (int x = 0; x < 200; ++x)
            ASSERT_EQ(result.get(x, y), mask.get(x, y) ? background.get(x, y) : 0x40u) << x << "," << y;
}

TEST_F(StretchTest, SourceBeyondTheFrameKeepsTheDestination) {
    std::mt19937 random(6);
    Raster source(100, 100, 2), target(100, 100, 2);
    source.fill_random(random);
    target.fill_random(random);
    int src = frame_from(source), dst = frame_from(target);
    ASSERT_EQ(QI_FrameStretchBlt(dst, 0, 0, 100, 100, src, 50, 0, 100, 100, -1, -1), 1);
    Raster result = frame_pixels(dst);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 100; ++x)
            ASSERT_EQ(result.get(x, y), x < 50 ? source.get(x + 50, y) : target.get(x, y)) << x << "," << y;
}

TEST_F(StretchTest, ReadsTheDeepestViewThatTheScaleAllows) {
    Raster base(1024, 1024, 2, 10);
    int src = frame_from(base);
    ASSERT_EQ(QI_FrameViewOptimize(src, 1), 1);
    // Mark each view with its own level so that the reads show their source.
    int view = QI_FrameGetData(src)->nextView;
    for (uint8_t mark : {20, 40, 80}) {
        const QI_FrameRecord *v = QI_FrameGetData(view);
        Raster level(v->width, v->height, 2, mark);
        QI_FrameLock(view);
        ASSERT_EQ(QI_FrameSetRect(view, nullptr, level.data(), 2, -1, -1), 1);
        QI_FrameUnlock(view);
        view = v->nextView;
    }
    struct Case {
        int side;
        uint32_t expected;
    } cases[] = {{1024, 10}, {700, 10}, {512, 20}, {341, 20}, {256, 40}, {200, 40}, {128, 80}, {64, 80}};
    for (const Case &c : cases) {
        int dst = frame_from(Raster(c.side, c.side, 2, 0));
        ASSERT_EQ(QI_FrameStretchBlt(dst, 0, 0, c.side, c.side, src, 0, 0, 1024, 1024, -1, -1), 1);
        Raster result = frame_pixels(dst);
        EXPECT_EQ(result.get(c.side / 2, c.side / 3), c.expected) << "side " << c.side;
        QI_FrameDelete(dst);
    }
}

// The reports after the announcement are the share of destination tiles
// done: one per tile, never falling, inside 1..99, the last at 99; then 100.
void expect_tile_shares(const std::vector<intptr_t> &reports, size_t first, size_t tiles) {
    ASSERT_EQ(reports.size(), first + tiles + 1);
    for (size_t i = first; i < first + tiles; ++i) {
        EXPECT_GE(reports[i], 1) << "report " << i;
        EXPECT_LE(reports[i], 99) << "report " << i;
        if (i > first) {
            EXPECT_GE(reports[i], reports[i - 1]) << "report " << i;
        }
    }
    if (tiles > 1) {
        EXPECT_LT(reports[first], reports[first + tiles - 1]) << "the bar moves";
    }
    EXPECT_EQ(reports[first + tiles - 1], 99);
    EXPECT_EQ(reports.back(), 100);
}

// A host that presses cancel on the bar: it answers 0 to every share.
int answer_cancel(intptr_t value) {
    g_reports.push_back(value);
    return value >= 1 && value <= 99 ? 0 : 1;
}

TEST_F(StretchTest, ReportsTheShareOfTilesDoneAndIgnoresTheAnswers) {
    struct Case {
        int dx, dy, dw, dh; // destination rect in a 700 x 400 frame
        int sw, sh;         // source rect from (0, 0) of a 600 x 600 frame
        size_t tiles;       // destination tiles the rect meets
        bool cancel;        // the host answers 0 to every share
    } cases[] = {
        {0, 0, 300, 300, 300, 300, 9, false},  // one to one, 3 x 3 tiles
        {10, 20, 100, 100, 100, 100, 1, false}, // inside one tile
        {100, 0, 600, 400, 600, 600, 24, false}, // clipped at the right: 6 x 4 tiles
        {0, 0, 300, 300, 600, 600, 9, true},  // a reduction, answers ignored
    };
    for (const Case &c : cases) {
        QI_CloseFrameFunctions();
        ASSERT_EQ(QI_InitFrameFunctions("", swap_.path().c_str(), c.cancel ? answer_cancel : remember), 1);
        std::mt19937 random(7);
        Raster source(600, 600, 2);
        source.fill_random(random);
        int src = frame_from(source), dst = frame_from(Raster(700, 400, 2));
        g_reports.clear();
        ASSERT_EQ(QI_FrameStretchBlt(dst, c.dx, c.dy, c.dw, c.dh, src, 0, 0, c.sw, c.sh, -1, -1), 1)
            << "a stretch runs to its end whatever the host answers";
        ASSERT_GE(g_reports.size(), 2u);
        EXPECT_EQ(g_reports[0], 0);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(g_reports[1])), "Stretch");
        std::vector<intptr_t> shares;
        for (intptr_t r : g_reports)
            if (r != 101) { // the host's cancel is acknowledged, not obeyed
                shares.push_back(r);
            }
        expect_tile_shares(shares, 2, c.tiles);
        Raster result = frame_pixels(dst);
        int step = c.sw / c.dw;
        EXPECT_EQ(result.get(c.dx + 5, c.dy + 7), source.get(5 * step + step / 2, 7 * step + step / 2))
            << "tiles " << c.tiles;
        QI_FrameDelete(src);
        QI_FrameDelete(dst);
    }
}

TEST_F(StretchTest, ACloneOfAPartReportsUnderItsOwnName) {
    // The clone reads through the stretch engine, not the exported stretch:
    // its host hears "Cloning" and the share of tiles, never a nested
    // "Stretch" announcement.
    QI_CloseFrameFunctions();
    ASSERT_EQ(QI_InitFrameFunctions("", swap_.path().c_str(), remember), 1);
    std::mt19937 random(3);
    Raster page(500, 300, 4);
    page.fill_random(random);
    int src = frame_from(page);
    QI_Rect part{10, 20, 409, 269}; // 400 x 250: 4 x 2 tiles of the clone
    g_reports.clear();
    int clone = QI_FrameClone(src, &part, 0, 0);
    ASSERT_GE(clone, 0);
    ASSERT_GE(g_reports.size(), 2u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(g_reports[1])), "Cloning");
    expect_tile_shares(g_reports, 2, 8);
    Raster result = frame_pixels(clone);
    EXPECT_EQ(result.get(0, 0), page.get(10, 20));
    EXPECT_EQ(result.get(399, 249), page.get(409, 269));
    QI_FrameDelete(clone);
    QI_FrameDelete(src);
}
