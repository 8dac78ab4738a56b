// Clones: coded records copied as they are, rect clones, kind changes,
// progress and failure clean-up.
#include "raster_support.h"
#include "test_support.h"

#include "raster/core/tile_store.h"
#include "raster/core/tiles.h"

#include <string>

using namespace quill_test;

namespace {

class CloneTest : public LibraryFixture {};

// Every record of the frame's store, blank ones as empty vectors.
std::vector<std::vector<uint8_t>> records_of(int frame) {
    QI_FrameLock(frame);
    const QI_FrameRecord *f = QI_FrameGetData(frame);
    int32_t count = quill::tile_store_lookup(f->tileStore)->recordCount;
    std::vector<std::vector<uint8_t>> records;
    std::vector<uint8_t> buffer(60000);
    for (int32_t i = 0; i < count; ++i) {
        int32_t length = quill::tile_store_read(f->tileStore, i, buffer.data(), 60000);
        EXPECT_NE(length, quill::kRecordFailed);
        records.emplace_back(buffer.begin(), buffer.begin() + (length > 0 ? length : 0));
    }
    QI_FrameUnlock(frame);
    return records;
}

std::vector<intptr_t> g_reports;
int remember(intptr_t value) {
    g_reports.push_back(value);
    return 1;
}

const uint8_t kPalette[] = {1, 9, 8, 7, 0, 6, 5, 4, 0};

} // namespace

TEST_F(CloneTest, WholeFrameCopiesTheCodedRecords) {
    std::mt19937 random(9);
    for (int kind : {1, 2, 4}) {
        for (int storage : {1, 2}) {
            Raster page(700, 300, kind);
            if (kind == 1)
                page.fill_sparse(random, 3);
            else
                page.fill_random(random);
            if (kind == 1) // leave white tiles, which are stored blank
                for (int y = 0; y < 128; ++y)
                    for (int x = 0; x < 256; ++x)
                        page.set(x, y, 1);
            int source = frame_from(page, storage);
            int other = storage == 1 ? 2 : 1;
            int clone = QI_FrameClone(source, nullptr, 0, other);
            ASSERT_GE(clone, 0);
            EXPECT_EQ(QI_FrameGetData(clone)->storage, other);
            EXPECT_EQ(QI_FrameGetData(clone)->locked, 0);
            EXPECT_EQ(QI_FrameGetData(source)->locked, 0);
            EXPECT_EQ(records_of(clone), records_of(source)) << "kind " << kind;
            EXPECT_EQ(QI_FrameResourceSize(clone), QI_FrameResourceSize(source));
            EXPECT_TRUE(same_pixels(frame_pixels(clone), page));
            QI_FrameDelete(clone);
            QI_FrameDelete(source);
        }
    }
}

TEST_F(CloneTest, PaletteTravelsWithTheRecords) {
    int source = QI_FrameCreate(200, 200, 4, 1, kPalette, 1);
    int clone = QI_FrameClone(source, nullptr, 0, 2);
    ASSERT_GE(clone, 0);
    EXPECT_EQ(QI_FrameGetData(clone)->palette, 1);
    EXPECT_EQ(records_of(clone), records_of(source));
    QI_FrameLock(clone);
    const uint8_t *loaded = reinterpret_cast<const uint8_t *>(QI_FrameGetData(clone)->palette);
    EXPECT_EQ(std::vector<uint8_t>(loaded, loaded + 9), std::vector<uint8_t>(kPalette, kPalette + 9));
    QI_FrameUnlock(clone);
}

TEST_F(CloneTest, RectCloneHoldsTheClippedRect) {
    std::mt19937 random(10);
    for (int kind : {1, 2, 4}) {
        Raster page(400, 300, kind);
        page.fill_random(random);
        int source = frame_from(page);
        QI_Rect rect{130, 50, 520, 250}; // reaches past the right edge
        int clone = QI_FrameClone(source, &rect, 0, 0);
        ASSERT_GE(clone, 0);
        Raster expected(270, 201, kind);
        for (int y = 0; y < 201; ++y)
            for (int x = 0; x < 270; ++x)
                expected.set(x, y, page.get(130 + x, 50 + y));
        EXPECT_TRUE(same_pixels(frame_pixels(clone), expected)) << "kind " << kind;
        QI_Rect outside{400, 0, 500, 10};
        EXPECT_EQ(QI_FrameClone(source, &outside, 0, 0), -1);
    }
    EXPECT_EQ(QI_FrameClone(77, nullptr, 0, 0), -1);
}

TEST_F(CloneTest, KindChangeConvertsEveryPixel) {
    std::mt19937 random(11);
    struct Case {
        int from, to;
    } cases[] = {{1, 2}, {1, 4}, {2, 4}, {2, 1}, {4, 2}, {4, 1}};
    for (const Case &c : cases) {
        Raster page(300, 140, c.from);
        page.fill_random(random);
        int source = frame_from(page, 2);
        QI_Rect rect{5, 3, 290, 139};
        int clone = QI_FrameClone(source, &rect, c.to, 1);
        ASSERT_GE(clone, 0);
        EXPECT_EQ(QI_FrameGetData(clone)->kind, c.to);
        if (c.to != 1) {
            EXPECT_EQ(QI_FrameGetData(clone)->mode, 1);
        }
        Raster result = frame_pixels(clone);
        for (int y = 0; y < result.height; ++y) {
            for (int x = 0; x < result.width; ++x) {
                uint32_t v = page.get(x + 5, y + 3);
                uint32_t level = c.from == 1 ? (v ? 255u : 0u) : (v & 0xFF);
                uint32_t expected = c.to == 1   ? (level >= 128 ? 1u : 0u)
                                    : c.to == 2 ? level
                                    : c.from == 4 ? v
                                                  : (level | 0x7F7F00u);
                ASSERT_EQ(result.get(x, y), expected) << c.from << "->" << c.to << " at " << x << "," << y;
            }
        }
        QI_FrameDelete(clone);
        QI_FrameDelete(source);
    }
}

TEST_F(CloneTest, ReportsProgressAndFailsCleanly) {
    QI_CloseFrameFunctions();
    ASSERT_EQ(QI_InitFrameFunctions("", swap_.path().c_str(), remember), 1);
    std::mt19937 random(12);
    Raster page(2000, 300, 2);
    page.fill_random(random);
    int source = frame_from(page, 2);
    g_reports.clear();
    int clone = QI_FrameClone(source, nullptr, 0, 0);
    ASSERT_GE(clone, 0);
    ASSERT_GE(g_reports.size(), 4u);
    EXPECT_EQ(g_reports[0], 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(g_reports[1])), "Cloning");
    EXPECT_EQ(g_reports[g_reports.size() - 2], 100) << "the last batch";
    EXPECT_EQ(g_reports.back(), 100);
    QI_FrameDelete(clone);

    for (int kind : {0, 4}) {
        for (int64_t n = 1; n < 300; ++n) {
            qs_test_fail_allocation(n);
            clone = QI_FrameClone(source, nullptr, kind, 1);
            bool hit = qs_test_allocation_count() >= n;
            qs_test_fail_allocation(0);
            int count = 0;
            QI_FrameLibraryInfo(&count, nullptr);
            if (clone < 0) {
                EXPECT_EQ(count, 1) << "allocation " << n << ": the new frame is deleted";
                EXPECT_EQ(QI_FrameGetData(source)->locked, 0);
                continue;
            }
            QI_FrameDelete(clone);
            if (!hit)
                break;
        }
    }
    EXPECT_EQ(swap_.files().size(), 1u);
}
