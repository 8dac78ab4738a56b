// Frames: geometry, blank tiles, lock and unlock, swap files, palettes,
// view chains, resource sizes.
#include "test_support.h"

#include "raster/core/byte_store.h"
#include "raster/core/tile_store.h"
#include "raster/core/tiles.h"

#include <sys/stat.h>

#include <string>
#include <vector>

using namespace quill_test;

namespace {

class FrameTest : public LibraryFixture {
protected:
    QI_FrameRecord &record(int frame) { return *QI_FrameGetData(frame); }
    uint8_t *work(int frame) { return QI_FrameGetData(frame)->workBuffer; }

    // Paints tile `index` with a pattern of its own and stores it.
    void put_pattern(int frame, int index, uint8_t seed) {
        uint32_t bytes = quill::tile_bytes(record(frame).kind);
        for (uint32_t i = 0; i < bytes; ++i)
            work(frame)[i] = static_cast<uint8_t>(seed + i * 29 + (i >> 7));
        ASSERT_TRUE(quill::put_tile(frame, index));
    }
    // The tile's pixels (its own lines, pad bits of bilevel lines cleared).
    std::vector<uint8_t> tile_pixels(int frame, int index) {
        EXPECT_TRUE(quill::get_tile(frame, index));
        int32_t w, h;
        quill::tile_extent(record(frame), index, w, h);
        uint32_t line = QI_GetLineBWi(record(frame).kind, w);
        std::vector<uint8_t> pixels(work(frame), work(frame) + line * h);
        if (record(frame).kind == 1 && (w & 7))
            for (int32_t y = 0; y < h; ++y)
                pixels[y * line + w / 8] &= static_cast<uint8_t>(0xFF00u >> (w & 7));
        return pixels;
    }
    std::string swap_file(int frame) {
        quill::TileStore *ts = quill::tile_store_lookup(record(frame).tileStore);
        char path[300];
        EXPECT_TRUE(quill::byte_store_path(ts->bytes, path, sizeof path));
        return path;
    }
    static long long file_length(const std::string &path) {
        struct stat info;
        return stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
    }
};

const uint8_t kPalette[] = {2, 10, 20, 30, 0, 40, 50, 60, 0, 70, 80, 90, 0};

} // namespace

TEST_F(FrameTest, TileGeometryFollowsTheFrameEdges) {
    struct Case {
        int32_t w, h, tiles, lastW, lastH;
    } cases[] = {{1, 1, 1, 1, 1}, {129, 128, 2, 1, 128}, {128, 129, 2, 128, 1},
                 {256, 256, 4, 128, 128}, {300, 200, 6, 44, 72}};
    for (const Case &c : cases) {
        int frame = QI_FrameCreate(c.w, c.h, 1, 1, nullptr, 0);
        ASSERT_GE(frame, 0);
        EXPECT_EQ(quill::tile_count(record(frame)), c.tiles);
        int32_t w, h;
        quill::tile_extent(record(frame), c.tiles - 1, w, h);
        EXPECT_EQ(w, c.lastW) << c.w << "x" << c.h;
        EXPECT_EQ(h, c.lastH) << c.w << "x" << c.h;
        EXPECT_EQ(QI_FrameDelete(frame), 1);
    }
}

TEST_F(FrameTest, CreateRejectsWhatTheStoreCannotHold) {
    EXPECT_EQ(QI_FrameCreate(10, 10, 1, 0, nullptr, 0), -1) << "storage 0 marks a free slot";
    EXPECT_EQ(QI_FrameCreate(0, 10, 1, 1, nullptr, 0), -1);
    EXPECT_EQ(QI_FrameCreate(10, -1, 1, 1, nullptr, 0), -1);
    EXPECT_EQ(QI_FrameCreate(10, 10, 3, 1, nullptr, 0), -1) << "kind 3 is for rasters only";
    EXPECT_EQ(QI_FrameCreate(10, 10, 2, 1, nullptr, -1), -1);
    EXPECT_EQ(QI_FrameCreate(40000, 40000, 2, 1, nullptr, 0), -1) << "more grey tiles than headers address";
    int big = QI_FrameCreate(30000, 30000, 2, 1, nullptr, 0);
    EXPECT_GE(big, 0);
    int frames = -1;
    QI_FrameLibraryInfo(&frames, nullptr);
    EXPECT_EQ(frames, 1);
}

TEST_F(FrameTest, NewBilevelFrameReadsWhiteAndWhiteTilesKeepNoRecord) {
    int frame = QI_FrameCreate(300, 200, 1, 1, nullptr, 0);
    ASSERT_EQ(QI_FrameLock(frame), 1);
    memset(work(frame), 0x00, 2048);
    ASSERT_TRUE(quill::get_tile(frame, 5));
    for (int i = 0; i < 2048; ++i)
        ASSERT_EQ(work(frame)[i], 0xFF);
    EXPECT_EQ(QI_FrameResourceSize(frame), 0);

    put_pattern(frame, 5, 1);
    EXPECT_FALSE(quill::tile_is_blank(frame, 5));
    EXPECT_GT(QI_FrameResourceSize(frame), 0);
    // White pixels with black pad bits are still a white tile (44 pixels wide).
    for (int y = 0; y < 72; ++y) {
        memset(work(frame) + y * 6, 0xFF, 5);
        work(frame)[y * 6 + 5] = 0xF0;
    }
    ASSERT_TRUE(quill::put_tile(frame, 5));
    EXPECT_TRUE(quill::tile_is_blank(frame, 5));
    ASSERT_EQ(QI_FrameUnlock(frame), 1);
    EXPECT_EQ(QI_FrameResourceSize(frame), 0) << "compaction dropped the gap";
}

TEST_F(FrameTest, GreyBlankTileLeavesTheWorkBufferAlone) {
    int frame = QI_FrameCreate(130, 130, 2, 1, nullptr, 0);
    ASSERT_EQ(QI_FrameLock(frame), 1);
    memset(work(frame), 0x5A, 16384);
    ASSERT_TRUE(quill::get_tile(frame, 3));
    EXPECT_EQ(work(frame)[0], 0x5A);
    EXPECT_EQ(work(frame)[16383], 0x5A);
}

TEST_F(FrameTest, UnlockCompactsMemoryFramesWithoutChangingPixels) {
    for (int kind : {1, 2, 4}) {
        int frame = QI_FrameCreate(500, 300, kind, 1, nullptr, 0);
        ASSERT_EQ(QI_FrameLock(frame), 1);
        int tiles = static_cast<int>(quill::tile_count(record(frame)));
        for (int i = 0; i < tiles; ++i)
            put_pattern(frame, i, static_cast<uint8_t>(i));
        if (kind == 1) { // white tiles turn records into gaps
            memset(work(frame), 0xFF, 2048);
            ASSERT_TRUE(quill::put_tile(frame, 2));
            ASSERT_TRUE(quill::put_tile(frame, 7));
        }
        std::vector<std::vector<uint8_t>> before;
        for (int i = 0; i < tiles; ++i)
            before.push_back(tile_pixels(frame, i));
        quill::TileStore *ts = quill::tile_store_lookup(record(frame).tileStore);
        uint32_t live = ts->end - ts->freeBytes;
        ASSERT_EQ(QI_FrameUnlock(frame), 1);
        EXPECT_EQ(QI_FrameResourceSize(frame), live) << "kind " << kind;
        EXPECT_EQ(ts->freeBytes, 0u);
        ASSERT_EQ(QI_FrameLock(frame), 1);
        for (int i = 0; i < tiles; ++i)
            EXPECT_EQ(tile_pixels(frame, i), before[i]) << "kind " << kind << " tile " << i;
        QI_FrameUnlock(frame);
        EXPECT_EQ(QI_FrameDelete(frame), 1);
    }
}

TEST_F(FrameTest, SwapFileExistsFromCreationToDeletionAndIsTrimmedAtUnlock) {
    int frame = QI_FrameCreate(400, 400, 2, 2, nullptr, 0);
    ASSERT_GE(frame, 0);
    std::string path = swap_file(frame);
    EXPECT_EQ(file_length(path), 0);
    ASSERT_EQ(QI_FrameLock(frame), 1);
    for (int i = 0; i < 16; ++i)
        put_pattern(frame, i, static_cast<uint8_t>(i));
    quill::TileStore *ts = quill::tile_store_lookup(record(frame).tileStore);
    ASSERT_TRUE(quill::byte_store_resize(ts->bytes, ts->end - 1000)); // shrinks at close
    ASSERT_EQ(QI_FrameUnlock(frame), 1);
    EXPECT_EQ(file_length(path), QI_FrameResourceSize(frame));
    EXPECT_EQ(QI_FrameLock(frame), 1);
    EXPECT_EQ(QI_FrameDelete(frame), 0) << "a locked frame is not deleted";
    EXPECT_EQ(file_length(path), QI_FrameResourceSize(frame));
    QI_FrameUnlock(frame);
    EXPECT_EQ(QI_FrameDelete(frame), 1);
    EXPECT_EQ(file_length(path), -1);
    EXPECT_EQ(QI_FrameDelete(frame), 0) << "already gone";
}

TEST_F(FrameTest, SwapFramePixelsSurviveUnlockAndLock) {
    int frame = QI_FrameCreate(300, 300, 4, 2, nullptr, 1);
    ASSERT_EQ(QI_FrameLock(frame), 1);
    for (int i = 0; i < 9; ++i)
        put_pattern(frame, i, static_cast<uint8_t>(3 * i));
    std::vector<std::vector<uint8_t>> before;
    for (int i = 0; i < 9; ++i)
        before.push_back(tile_pixels(frame, i));
    QI_FrameUnlock(frame);
    ASSERT_EQ(QI_FrameLock(frame), 1);
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(tile_pixels(frame, i), before[i]) << "tile " << i;
}

TEST_F(FrameTest, LockIsNotCounted) {
    int frame = QI_FrameCreate(10, 10, 1, 1, nullptr, 0);
    EXPECT_EQ(QI_FrameUnlock(frame), 1) << "not locked: nothing to do";
    EXPECT_EQ(QI_FrameLock(frame), 1);
    uint8_t *buffer = work(frame);
    EXPECT_EQ(QI_FrameLock(frame), 1);
    EXPECT_EQ(work(frame), buffer);
    EXPECT_EQ(QI_FrameUnlock(frame), 1);
    EXPECT_EQ(record(frame).locked, 0);
    EXPECT_EQ(work(frame), nullptr);
    EXPECT_EQ(QI_FrameLock(99), 0);
    EXPECT_EQ(QI_FrameUnlock(99), 0);
}

TEST_F(FrameTest, PaletteIsStoredAfterTheTilesAndLoadedWhileLocked) {
    int frame = QI_FrameCreate(200, 100, 4, 1, kPalette, 1);
    ASSERT_GE(frame, 0);
    EXPECT_EQ(record(frame).palette, 1);
    EXPECT_EQ(quill::tile_store_lookup(record(frame).tileStore)->recordCount, 3);
    EXPECT_EQ(QI_FrameResourceSize(frame), 4 + 13);
    ASSERT_EQ(QI_FrameLock(frame), 1);
    const uint8_t *loaded = reinterpret_cast<const uint8_t *>(record(frame).palette);
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(loaded, loaded + 13), std::vector<uint8_t>(kPalette, kPalette + 13));
    EXPECT_EQ(QI_FramePalletteValid(frame), 0) << "blank tiles are not palette-coded";
    put_pattern(frame, 0, 1);
    put_pattern(frame, 1, 2);
    EXPECT_EQ(QI_FramePalletteValid(frame), 0) << "colour pixels, flag 0";
    ASSERT_EQ(QI_FrameUnlock(frame), 1);
    EXPECT_EQ(record(frame).palette, 1);
    EXPECT_EQ(QI_FramePalletteValid(frame), 0) << "not locked";
}

TEST_F(FrameTest, PaletteIsTakenOnlyByColourFramesInPlainMode) {
    int grey = QI_FrameCreate(10, 10, 2, 1, kPalette, 1);
    EXPECT_EQ(record(grey).palette, 0);
    int bilevel = QI_FrameCreate(10, 10, 1, 1, kPalette, 0);
    EXPECT_EQ(record(bilevel).palette, 0);
    int noPalette = QI_FrameCreate(10, 10, 4, 1, nullptr, 1);
    ASSERT_EQ(QI_FrameLock(noPalette), 1);
    EXPECT_EQ(QI_FramePalletteValid(noPalette), 0);
}

TEST_F(FrameTest, DeleteTakesTheViewChainAndUnlinksADeletedView) {
    int base = QI_FrameCreate(1000, 1000, 1, 2, nullptr, 0);
    int half = QI_FrameCreate(500, 500, 1, 2, nullptr, 0);
    int quarter = QI_FrameCreate(250, 250, 1, 2, nullptr, 0);
    record(base).nextView = half;
    record(base).nextViewFactor = 2;
    record(half).nextView = quarter;
    record(half).nextViewFactor = 4;
    EXPECT_EQ(QI_FrameResourceSize(base), 0);
    int count = 0;
    QI_FrameLibraryInfo(&count, nullptr);
    EXPECT_EQ(count, 3) << "views are frames";

    // Deleting a view on its own unlinks it from the frame before it, so a
    // later frame in the same slot is not taken for a view.
    EXPECT_EQ(QI_FrameDelete(quarter), 1);
    EXPECT_EQ(record(half).nextView, -1);
    EXPECT_EQ(record(half).nextViewFactor, 1);
    int unrelated = QI_FrameCreate(20, 20, 1, 1, nullptr, 0);
    EXPECT_EQ(unrelated, quarter);
    EXPECT_EQ(QI_FrameDelete(base), 1);
    EXPECT_EQ(QI_FrameGetData(half), nullptr);
    EXPECT_NE(QI_FrameGetData(unrelated), nullptr);
    EXPECT_EQ(swap_.files().size(), 0u);
}

TEST_F(FrameTest, DeleteStopsAtALockedView) {
    int base = QI_FrameCreate(300, 300, 2, 1, nullptr, 0);
    int view = QI_FrameCreate(150, 150, 2, 1, nullptr, 0);
    record(base).nextView = view;
    record(base).nextViewFactor = 2;
    ASSERT_EQ(QI_FrameLock(view), 1);
    EXPECT_EQ(QI_FrameDelete(base), 0);
    EXPECT_EQ(QI_FrameGetData(base), nullptr);
    EXPECT_NE(QI_FrameGetData(view), nullptr);
}

TEST_F(FrameTest, ResourceSizeOfHandlesAndChains) {
    EXPECT_EQ(QI_FrameResourceSize(-1), 0);
    EXPECT_EQ(QI_FrameResourceSize(7), -1);
    int base = QI_FrameCreate(256, 128, 2, 1, nullptr, 0);
    int view = QI_FrameCreate(128, 64, 2, 2, nullptr, 0);
    EXPECT_EQ(QI_FrameResourceSize(base), 0);
    ASSERT_EQ(QI_FrameLock(base), 1);
    ASSERT_EQ(QI_FrameLock(view), 1);
    put_pattern(base, 0, 1);
    put_pattern(view, 0, 1);
    QI_FrameUnlock(base);
    QI_FrameUnlock(view);
    int64_t own = QI_FrameResourceSize(base), viewOwn = QI_FrameResourceSize(view);
    quill::TileStore *ts = quill::tile_store_lookup(record(base).tileStore);
    EXPECT_EQ(own, ts->end) << "one record: the store's logical size";
    EXPECT_GT(viewOwn, 4);
    record(base).nextView = view;
    EXPECT_EQ(QI_FrameResourceSize(base), own + viewOwn);
    record(base).nextView = 9; // a broken chain
    EXPECT_EQ(QI_FrameResourceSize(base), -1);
    record(base).nextView = -1;
}
