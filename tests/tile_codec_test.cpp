// Tile coding of grey and colour tiles: run codes, packed fallbacks,
// palette indices and their flag, every edge size, and damaged records.
#include "raster_support.h"
#include "test_support.h"

#include "raster/core/tile_store.h"
#include "raster/core/tiles.h"

#include <math.h>
#include <string.h>

using namespace quill_test;

namespace {

class TileCodecTest : public LibraryFixture {
protected:
    uint8_t *work(int frame) { return QI_FrameGetData(frame)->workBuffer; }
    std::vector<uint8_t> record(int frame, int index) {
        std::vector<uint8_t> bytes(60000);
        int32_t length = quill::tile_store_read(QI_FrameGetData(frame)->tileStore, index, bytes.data(), 60000);
        EXPECT_GE(length, 0);
        bytes.resize(length > 0 ? length : 0);
        return bytes;
    }
    // Replaces record `index` by `bytes` as they are.
    void plant(int frame, int index, const std::vector<uint8_t> &bytes) {
        ASSERT_TRUE(quill::tile_store_write(QI_FrameGetData(frame)->tileStore, index, bytes.data(),
                                            static_cast<int32_t>(bytes.size())));
    }
};

// A palette of n colours (n - 1, then n entries of Y, U, V, 0).
std::vector<uint8_t> palette_of(const std::vector<uint32_t> &colours) {
    std::vector<uint8_t> p{static_cast<uint8_t>(colours.size() - 1)};
    for (uint32_t c : colours) {
        p.push_back(static_cast<uint8_t>(c));
        p.push_back(static_cast<uint8_t>(c >> 8));
        p.push_back(static_cast<uint8_t>(c >> 16));
        p.push_back(0);
    }
    return p;
}

} // namespace

TEST_F(TileCodecTest, FlatGreyTileIsStoredAsByteRuns) {
    int frame = frame_from(Raster(128, 128, 2, 0x42));
    QI_FrameLock(frame);
    std::vector<uint8_t> bytes = record(frame, 0);
    // 16384 = 64 * 255 + 64: 64 full pairs, a remainder pair, the extra byte.
    ASSERT_EQ(bytes.size(), 65u * 2 + 1);
    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(bytes[2 * i], 0x42);
        EXPECT_EQ(bytes[2 * i + 1], 255);
    }
    EXPECT_EQ(bytes[128], 0x42);
    EXPECT_EQ(bytes[129], 64);
}

TEST_F(TileCodecTest, RandomTilesAreStoredPackedAndUncoded) {
    std::mt19937 random(13);
    for (int kind : {2, 4}) {
        Raster noise(128, 100, kind);
        noise.fill_random(random);
        int frame = frame_from(noise);
        QI_FrameLock(frame);
        uint32_t packed = 128u * 100u * (kind == 4 ? 3 : 1);
        std::vector<uint8_t> bytes = record(frame, 0);
        ASSERT_EQ(bytes.size(), packed + 1) << "kind " << kind;
        EXPECT_EQ(memcmp(bytes.data(), noise.data(), kind == 4 ? 384 : 128), 0) << "the first row, unpadded";
        QI_FrameUnlock(frame);
        EXPECT_TRUE(same_pixels(frame_pixels(frame), noise));
    }
}

TEST_F(TileCodecTest, EveryEdgeSizeRoundTrips) {
    std::mt19937 random(14);
    for (int kind : {2, 4}) {
        for (int size = 1; size <= 128; size += (size < 10 ? 1 : 13)) {
            // Runs and noise side by side, so both codings and the fallback
            // meet every tile geometry.
            Raster r(size + 128, size, kind);
            r.fill_random(random);
            for (int y = 0; y < size; ++y)
                for (int x = 0; x < 128; ++x)
                    r.set(x, y, (x / 7 + y / 5) % 3 * 0x101010u);
            int frame = frame_from(r, size % 2 ? 1 : 2);
            ASSERT_GE(frame, 0);
            EXPECT_TRUE(same_pixels(frame_pixels(frame), r)) << "kind " << kind << " size " << size;
            QI_FrameDelete(frame);
        }
    }
}

TEST_F(TileCodecTest, PaletteTilesAreStoredAsIndicesWithTheirFlag) {
    std::vector<uint32_t> colours = {0x7F7F00, 0x7F7FFF, 0x204080, 0x7F7F80, 0x204080};
    std::vector<uint8_t> palette = palette_of(colours);
    int frame = QI_FrameCreate(256, 128, 4, 1, palette.data(), 1);
    ASSERT_EQ(QI_FrameLock(frame), 1);
    Raster inPalette(256, 128, 4);
    for (int y = 0; y < 128; ++y)
        for (int x = 0; x < 256; ++x)
            inPalette.set(x, y, colours[(x / 16 + y / 32) % 4]);
    inPalette.set(200, 70, 0x123456); // tile 1 holds a colour outside it
    ASSERT_EQ(QI_FrameSetRect(frame, nullptr, inPalette.data(), 4, -1, -1), 1);
    std::vector<uint8_t> indexed = record(frame, 0), pixels = record(frame, 1);
    EXPECT_EQ(indexed.back(), 1);
    EXPECT_EQ(pixels.back(), 0);
    EXPECT_LT(indexed.size(), 128u * 128u) << "indices, run coded";
    // Index runs: tile 0 starts with 16 pixels of colour 0.
    EXPECT_EQ(indexed[0], 0);
    EXPECT_EQ(indexed[1], 16);
    EXPECT_EQ(QI_FramePalletteValid(frame), 0) << "tile 1 holds pixels";
    QI_FrameUnlock(frame);
    EXPECT_TRUE(same_pixels(frame_pixels(frame), inPalette));

    inPalette.set(200, 70, colours[2]);
    QI_FrameLock(frame);
    ASSERT_EQ(QI_FrameSetRect(frame, nullptr, inPalette.data(), 4, -1, -1), 1);
    EXPECT_EQ(QI_FramePalletteValid(frame), 1);
    QI_FrameUnlock(frame);
    EXPECT_TRUE(same_pixels(frame_pixels(frame), inPalette));
}

TEST_F(TileCodecTest, RecordsWrittenFromTheFormatDecode) {
    // Records made by hand from the format, not by the coder.
    int grey = frame_from(Raster(10, 3, 2, 0));
    QI_FrameLock(grey);
    plant(grey, 0, {9, 12, 200, 18, 0xEE}); // 12 nines, 18 two-hundreds, extra byte
    ASSERT_TRUE(quill::get_tile(grey, 0));
    const uint8_t *tile = work(grey);
    EXPECT_EQ(tile[0], 9);
    EXPECT_EQ(tile[9], 9);
    EXPECT_EQ(tile[12], 9) << "row 1, x 0: the 11th item";
    EXPECT_EQ(tile[13], 9);
    EXPECT_EQ(tile[14], 200);
    EXPECT_EQ(tile[2 * 12 + 9], 200) << "lines are 12 bytes apart";
    QI_FrameUnlock(grey);

    int colour = frame_from(Raster(2, 2, 4, 0));
    QI_FrameLock(colour);
    plant(colour, 0, {1, 2, 3, 3, 4, 5, 6, 1, 0});
    ASSERT_TRUE(quill::get_tile(colour, 0));
    tile = work(colour);
    EXPECT_EQ(std::vector<uint8_t>(tile, tile + 6), (std::vector<uint8_t>{1, 2, 3, 1, 2, 3}));
    EXPECT_EQ(std::vector<uint8_t>(tile + 8, tile + 14), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
}

TEST_F(TileCodecTest, DamagedRecordsFailTheRead) {
    std::vector<uint32_t> colours = {0x7F7F00, 0x7F7FFF};
    std::vector<uint8_t> palette = palette_of(colours);
    int grey = frame_from(Raster(128, 128, 2, 7));
    int coloured = QI_FrameCreate(64, 64, 4, 2, palette.data(), 1);
    QI_FrameLock(grey);
    QI_FrameLock(coloured);
    struct Case {
        int frame;
        std::vector<uint8_t> bytes;
        const char *what;
    } cases[] = {
        {grey, {}, "empty"},
        {grey, {7, 255, 0}, "too short"},
        {grey, {7, 0, 7, 255}, "a count of 0"},
        {grey, std::vector<uint8_t>(131, 255), "runs past the tile"},
        {coloured, {0, 0, 0, 255}, "no flag left"},
        {coloured, {0, 255, 2}, "a flag of 2"},
        {coloured, {}, "index past the palette"},
        {coloured, {}, "coded indices past the palette"},
    };
    // Uncoded indices (4096 of them, then the flag) and their coded form
    // (16 pairs of 255 and one of 16), all naming entry 5 of a 2-entry palette.
    cases[6].bytes.assign(4096, 5);
    cases[6].bytes.push_back(1);
    for (int i = 0; i < 16; ++i)
        cases[7].bytes.insert(cases[7].bytes.end(), {5, 255});
    cases[7].bytes.insert(cases[7].bytes.end(), {5, 16, 1});
    for (const Case &c : cases) {
        plant(c.frame, 0, c.bytes);
        EXPECT_FALSE(quill::get_tile(c.frame, 0)) << c.what;
    }
}

TEST(TileCodecLossy, FramesInModes2To4StoreCloseApproximations) {
    TempDir swap;
    ASSERT_EQ(QI_InitFrameFunctions(QUILL_DATA_DIR, swap.path().c_str(), nullptr), 1);
    for (int kind : {2, 4}) {
        for (int mode : {2, 3, 4}) {
            // Smooth content: what the block coding is made for.
            Raster r(300, 200, kind);
            for (int y = 0; y < 200; ++y)
                for (int x = 0; x < 300; ++x)
                    r.set(x, y, kind == 2 ? (x + 2 * y) / 3 : ((x / 2) | (y / 2) << 8 | ((x + y) / 4) << 16));
            int frame = QI_FrameCreate(300, 200, kind, 2, nullptr, mode);
            ASSERT_GE(frame, 0);
            EXPECT_EQ(QI_FrameGetData(frame)->mode, mode);
            QI_FrameLock(frame);
            ASSERT_EQ(QI_FrameSetRect(frame, nullptr, r.data(), kind, -1, -1), 1);
            QI_FrameUnlock(frame);
            EXPECT_LT(QI_FrameResourceSize(frame), static_cast<int64_t>(r.bytes.size()) / 4)
                << "kind " << kind << " mode " << mode;
            Raster back = frame_pixels(frame);
            double squared = 0;
            int bytes = kind == 4 ? 3 : 1;
            for (int y = 0; y < 200; ++y)
                for (int x = 0; x < 300 * bytes; ++x) {
                    double d = r.bytes[y * r.line() + x] - back.bytes[y * r.line() + x];
                    squared += d * d;
                }
            double psnr = 10 * log10(255.0 * 255.0 / (squared / (300.0 * 200 * bytes) + 1e-9));
            EXPECT_GT(psnr, 36) << "kind " << kind << " mode " << mode;
            int clone = QI_FrameClone(frame, nullptr, 0, 1);
            ASSERT_GE(clone, 0);
            EXPECT_TRUE(same_pixels(frame_pixels(clone), back)) << "records copied as they are";
            QI_FrameDelete(clone);
            QI_FrameDelete(frame);
        }
    }
    EXPECT_EQ(QI_FrameCreate(10, 10, 2, 1, nullptr, 5), -1) << "no coding level 5";
    QI_CloseFrameFunctions();
}

TEST_F(TileCodecTest, BilevelTilesAreCodedUnlessCodeWouldNotPay) {
    Raster page(384, 128, 1, 0xFF);
    page.set(200, 60, 0); // tile 1: a single black pixel
    for (int y = 0; y < 128; ++y)
        for (int x = 256; x < 384; ++x)
            page.set(x, y, (x + y) & 1); // tile 2: a checkerboard
    int frame = frame_from(page);
    QI_FrameLock(frame);
    EXPECT_TRUE(quill::tile_is_blank(frame, 0)) << "a white tile keeps no record";
    std::vector<uint8_t> dot = record(frame, 1), board = record(frame, 2);
    EXPECT_LT(dot.size(), 20u) << "one pixel codes far below the 2048 raw bytes";
    EXPECT_EQ(board.size(), 2048u) << "alternating pixels are stored raw";
    QI_FrameUnlock(frame);
    EXPECT_TRUE(same_pixels(frame_pixels(frame), page));
}

TEST_F(TileCodecTest, BilevelTilesOfEveryEdgeSizeRoundTrip) {
    std::mt19937 random(15);
    for (int size = 1; size <= 128; ++size) {
        // Sparse lines and dots (coded), with a noisy tile beside (raw).
        Raster r(size + 128, size, 1, 0xFF);
        r.fill_sparse(random, 2);
        for (int i = 0; i < size; ++i) {
            r.set(i, i, 0);
            r.set(size - 1, i, 0);
        }
        for (int y = 0; y < size; ++y)
            for (int x = size; x < size + 128 && x < 128; ++x)
                r.set(x, y, random() & 1);
        int frame = frame_from(r, size % 2 ? 1 : 2);
        ASSERT_GE(frame, 0);
        ASSERT_TRUE(same_pixels(frame_pixels(frame), r)) << "size " << size;
        QI_FrameDelete(frame);
    }
}

TEST_F(TileCodecTest, DamagedBilevelCodeFailsTheRead) {
    Raster page(128, 128, 1, 0xFF);
    for (int i = 0; i < 128; ++i)
        page.set(i, (i * 7) % 128, 0);
    int frame = frame_from(page);
    QI_FrameLock(frame);
    std::vector<uint8_t> good = record(frame, 0);
    ASSERT_LT(good.size(), 2048u);
    std::vector<uint8_t> truncated(good.begin(), good.begin() + good.size() / 2);
    // (All one bits would be valid: V0 codes over a white reference line.)
    std::vector<uint8_t> zeros(good.size(), 0x00);
    for (const auto &bad : {truncated, zeros, std::vector<uint8_t>{0x00}}) {
        plant(frame, 0, bad);
        EXPECT_FALSE(quill::get_tile(frame, 0));
    }
    plant(frame, 0, good);
    EXPECT_TRUE(quill::get_tile(frame, 0));
}
