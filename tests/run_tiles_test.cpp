/*
 * run_tiles_test.cpp - the run-list paths of bilevel frames held to the
 * pixel paths they replace: CCITT TIFF loads, the half turn and the two
 * mirrors must give the same pixels and the same tile records (coded
 * records byte for byte, raw ones pixel for pixel) on sizes that cut tiles
 * every way, on drawing-like, noisy (raw tiles) and rendered content; the
 * run grid is held to per-pixel oracles; failures on the new paths fail
 * cleanly.
 */
#include "file_support.h"
#include "fault_steps.h"
#include "outline_support.h"
#include "raster_support.h"
#include "test_support.h"
#include "tile_records_support.h"

#include "raster/codecs/black_runs.h"
#include "raster/codecs/bilevel_tables.h"
#include "raster/core/run_tiles.h"
#include "raster/core/tile_store.h"
#include "raster/core/tiles.h"

#include <tiffio.h>

#include <random>
#include <string>
#include <vector>

using namespace quill_test;

namespace {

class RunTiles : public LibraryFixture {
protected:
    void TearDown() override {
        qi_test_run_paths(1);
        LibraryFixture::TearDown();
    }
    std::string path(const std::string &name) const { return files_.path() + "/" + name; }
    TempDir files_; // the TIFF files, apart from the swap files
};

struct Size {
    int32_t width, height;
};
const Size kSizes[] = {{1, 1}, {127, 127}, {128, 128}, {129, 129}, {300, 257}, {1000, 390}, {17, 300}};

// Drawing-like content with a noisy block, so that some tiles take the raw
// record and some stay blank.
Raster drawing(int32_t w, int32_t h, std::mt19937 &random) {
    Raster r(w, h, 1);
    r.fill_sparse(random, 1);
    for (int32_t k = 0; k < 6; ++k) { // long lines across tile edges
        int32_t y = static_cast<int32_t>(random() % static_cast<uint32_t>(h));
        int32_t x = static_cast<int32_t>(random() % static_cast<uint32_t>(w));
        for (int32_t i = 0; i < w; ++i)
            r.set(i, y, 0);
        for (int32_t i = 0; i < h; ++i)
            r.set(x, i, 0);
    }
    int32_t nw = w / 3 + 1, nh = h / 3 + 1;
    for (int32_t y = 0; y < nh; ++y)
        for (int32_t x = 0; x < nw; ++x)
            r.set(x + w - nw, y + h - nh, random() & 1);
    return r;
}

// Writes a bilevel raster (1 = white) as a CCITT TIFF with libtiff.
bool write_ccitt(const std::string &file, const Raster &r, uint16_t compression, uint16_t photometric,
                 uint32_t rowsPerStrip) {
    TIFF *tif = TIFFOpen(file.c_str(), "w");
    if (!tif)
        return false;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(r.width));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(r.height));
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    std::vector<uint8_t> row((static_cast<size_t>(r.width) + 7) / 8);
    bool ok = true;
    for (int32_t y = 0; y < r.height && ok; ++y) {
        std::fill(row.begin(), row.end(), 0);
        for (int32_t x = 0; x < r.width; ++x)
            if ((r.get(x, y) == 0) == (photometric == PHOTOMETRIC_MINISWHITE)) // a set bit
                row[static_cast<size_t>(x >> 3)] |= static_cast<uint8_t>(0x80 >> (x & 7));
        ok = TIFFWriteScanline(tif, row.data(), static_cast<uint32_t>(y), 0) == 1;
    }
    TIFFClose(tif);
    return ok;
}

// Loads a file with the run-list path and with the row path: both frames,
// or -1s.
std::pair<int, int> load_both(const std::string &file, int storage) {
    qi_test_run_paths(1);
    int runs = QI_FrameFileLoad(file.c_str(), storage);
    qi_test_run_paths(0);
    int rows = QI_FrameFileLoad(file.c_str(), storage);
    qi_test_run_paths(1);
    return {runs, rows};
}

int frame_count() {
    int count = 0;
    QI_FrameLibraryInfo(&count, nullptr);
    return count;
}

enum class Op { HalfTurn, MirrorX, MirrorY };
const Op kOps[] = {Op::HalfTurn, Op::MirrorX, Op::MirrorY};

int run_op(Op op, int frame) {
    switch (op) {
    case Op::HalfTurn:
        return QI_FrameRotate180(frame);
    case Op::MirrorX:
        return QI_FrameMirrorX(frame);
    default:
        return QI_FrameMirrorY(frame);
    }
}

// The plain per-pixel result of an operation.
Raster expected(const Raster &s, Op op) {
    Raster r(s.width, s.height, 1);
    for (int32_t y = 0; y < s.height; ++y)
        for (int32_t x = 0; x < s.width; ++x) {
            int32_t sx = op == Op::MirrorY ? x : s.width - 1 - x, sy = op == Op::MirrorX ? y : s.height - 1 - y;
            r.set(x, y, s.get(sx, sy));
        }
    return r;
}

// Runs the operation on two frames of the raster, one on each path, and
// checks pixels against the per-pixel oracle and records against each other.
void hold_op_to_pixel_path(const Raster &source, Op op, int storage) {
    int runs = frame_from(source, storage), pixels = frame_from(source, storage);
    ASSERT_GE(runs, 0);
    ASSERT_GE(pixels, 0);
    qi_test_run_paths(0);
    EXPECT_EQ(run_op(op, pixels), 1);
    qi_test_run_paths(1);
    EXPECT_EQ(run_op(op, runs), 1);
    EXPECT_TRUE(same_pixels(frame_pixels(runs), expected(source, op)));
    EXPECT_TRUE(same_records(runs, pixels));
    QI_FrameDelete(runs);
    QI_FrameDelete(pixels);
}

// ---- The run grid --------------------------------------------------------

TEST_F(RunTiles, GridRowsGoInCutAtTileColumnsAndComeOutAsThePixelsRuns) {
    std::mt19937 random(41);
    for (int32_t width : {1, 2, 127, 128, 129, 255, 256, 300, 1000}) {
        SCOPED_TRACE(width);
        quill::RunGrid grid;
        ASSERT_TRUE(grid.init(width));
        int32_t rows = 1 + static_cast<int32_t>(random() % 128);
        grid.start(rows);
        Raster source(width, rows, 1);
        std::vector<uint16_t> pairs(2 * grid.row_capacity() + 4), out(2 * grid.row_capacity());
        for (int32_t y = 0; y < rows; ++y) {
            // Runs that touch (pairs split at random points) and empty ones
            // go in; the joined runs of the pixels come out.
            std::vector<uint16_t> in;
            for (int32_t x = 0; x < width;) {
                int32_t len = 1 + static_cast<int32_t>(random() % (y % 3 == 0 ? 300 : 4));
                int32_t end = std::min(width, x + len);
                if (random() % 3 == 0) {
                    in.insert(in.end(), {static_cast<uint16_t>(x), static_cast<uint16_t>(end)});
                    for (int32_t i = x; i < end; ++i)
                        source.set(i, y, 0);
                } else if (random() % 5 == 0) {
                    in.insert(in.end(), {static_cast<uint16_t>(x), static_cast<uint16_t>(x)});
                }
                x = end;
            }
            ASSERT_TRUE(grid.add_row(in.data(), static_cast<uint32_t>(in.size() / 2)));
        }
        EXPECT_FALSE(grid.add_row(nullptr, 0)) << "the band is full";
        for (int32_t y = 0; y < rows; ++y) {
            uint32_t want = quill::pack_black_runs(source.data() + y * source.line(), width, pairs.data(),
                                                   quill::g_runTable);
            uint32_t got = grid.row(y, out.data());
            ASSERT_EQ(got, want) << "row " << y;
            EXPECT_EQ(0, memcmp(out.data(), pairs.data(), 4 * got)) << "row " << y;
        }
        // Mirrored runs draw the reversed row.
        for (int32_t y = 0; y < rows; ++y) {
            uint32_t n = grid.row(y, out.data());
            quill::mirror_runs(out.data(), n, width);
            std::vector<uint8_t> bits(source.line());
            quill::unpack_black_runs(bits.data(), width, out.data(), n);
            for (int32_t x = 0; x < width; ++x)
                ASSERT_EQ((bits[x / 8] >> (7 - x % 8)) & 1, source.get(width - 1 - x, y));
        }
    }
    // Descending or overlapping pairs are refused.
    quill::RunGrid grid;
    ASSERT_TRUE(grid.init(300));
    grid.start(2);
    const uint16_t overlap[] = {10, 50, 40, 60};
    EXPECT_FALSE(grid.add_row(overlap, 2));
}

// ---- Loads -----------------------------------------------------------------

TEST_F(RunTiles, CcittLoadsGiveThePixelsAndRecordsOfTheRowPath) {
    std::mt19937 random(42);
    for (const Size &size : kSizes)
        for (uint16_t compression : {COMPRESSION_CCITTRLE, COMPRESSION_CCITTFAX4})
            for (uint16_t photometric : {PHOTOMETRIC_MINISWHITE, PHOTOMETRIC_MINISBLACK})
                for (uint32_t rowsPerStrip : {1u, 50u, 128u, 200u, 100000u}) {
                    SCOPED_TRACE(testing::Message() << size.width << "x" << size.height << " c" << compression << " p"
                                                    << photometric << " r" << rowsPerStrip);
                    Raster image = drawing(size.width, size.height, random);
                    std::string file = path("load.tif");
                    ASSERT_TRUE(write_ccitt(file, image, compression, photometric, rowsPerStrip));
                    int storage = random() % 2 ? QI_STORAGE_SWAP : QI_STORAGE_MEMORY;
                    std::pair<int, int> frames = load_both(file, storage);
                    ASSERT_GE(frames.first, 0);
                    ASSERT_GE(frames.second, 0);
                    EXPECT_TRUE(same_pixels(frame_pixels(frames.first), image));
                    EXPECT_TRUE(same_records(frames.first, frames.second));
                    QI_FrameDelete(frames.first);
                    QI_FrameDelete(frames.second);
                }
}

// Damaged strips: each path must fail cleanly (no frame left) or load the
// same pixels as the other.
TEST_F(RunTiles, DamagedCcittStripsFailCleanlyOrLoadAsTheRowPathDoes) {
    std::mt19937 random(43);
    Raster image = drawing(300, 257, random);
    for (uint16_t compression : {COMPRESSION_CCITTRLE, COMPRESSION_CCITTFAX4}) {
        std::string file = path("good.tif");
        ASSERT_TRUE(write_ccitt(file, image, compression, PHOTOMETRIC_MINISWHITE, 100));
        std::vector<uint8_t> good = read_file(file);
        int failed = 0;
        for (int trial = 0; trial < 60; ++trial) {
            std::vector<uint8_t> bad = good;
            // Past the 8-byte header, inside the strips (libtiff writes the
            // directory last).
            size_t span = bad.size() / 2;
            for (int k = 0; k < 1 + trial % 4; ++k)
                bad[8 + random() % span] ^= static_cast<uint8_t>(1u << (random() % 8));
            if (trial % 5 == 0)
                bad.resize(8 + random() % span); // cut short
            ASSERT_TRUE(write_file(path("bad.tif"), bad));
            int before = frame_count();
            std::pair<int, int> frames = load_both(path("bad.tif"), trial % 2 ? QI_STORAGE_SWAP : QI_STORAGE_MEMORY);
            EXPECT_EQ(frames.first < 0, frames.second < 0) << "trial " << trial;
            if (frames.first >= 0 && frames.second >= 0) {
                EXPECT_TRUE(same_pixels(frame_pixels(frames.first), frame_pixels(frames.second)));
            }
            failed += frames.first < 0;
            EXPECT_EQ(frame_count(), before + (frames.first >= 0) + (frames.second >= 0));
            if (frames.first >= 0)
                QI_FrameDelete(frames.first);
            if (frames.second >= 0)
                QI_FrameDelete(frames.second);
        }
        EXPECT_GT(failed, 10) << "the damage must break some loads";
    }
}

TEST_F(RunTiles, RunLoadsOutOfMemoryOrDiskLeaveNoFrame) {
    std::mt19937 random(44);
    Raster image = drawing(300, 257, random);
    std::string file = path("faults.tif");
    ASSERT_TRUE(write_ccitt(file, image, COMPRESSION_CCITTFAX4, PHOTOMETRIC_MINISWHITE, 60));
    for (int step : {kFailAllocation, static_cast<int>(quill::FileOp::Write)}) {
        int storage = step == kFailAllocation ? QI_STORAGE_MEMORY : QI_STORAGE_SWAP;
        int frame = -1, failures = 0;
        fail_each_step(
            step, [&] { return (frame = QI_FrameFileLoad(file.c_str(), storage)) >= 0; },
            [&](int64_t n) {
                ++failures;
                EXPECT_EQ(frame_count(), 0) << "step " << n;
                EXPECT_TRUE(swap_.files().empty()) << "no swap file left";
            });
        EXPECT_GE(failures, 3);
        ASSERT_GE(frame, 0);
        EXPECT_TRUE(same_pixels(frame_pixels(frame), image));
        QI_FrameDelete(frame);
    }
}

// ---- Half turn and mirrors -----------------------------------------------

TEST_F(RunTiles, HalfTurnAndMirrorsGiveThePixelsAndRecordsOfThePixelPath) {
    std::mt19937 random(45);
    for (const Size &size : kSizes)
        for (Op op : kOps)
            for (int storage : {QI_STORAGE_MEMORY, QI_STORAGE_SWAP}) {
                SCOPED_TRACE(testing::Message() << size.width << "x" << size.height << " op " << static_cast<int>(op));
                hold_op_to_pixel_path(drawing(size.width, size.height, random), op, storage);
            }
}

TEST_F(RunTiles, RenderedDrawingsTurnAndLoadAsOnThePixelPaths) {
    if (!have_ghostscript())
        GTEST_SKIP() << "no ghostscript";
    int rendered = 0;
    for (const char *name : {"escher.ps", "snowflak.ps", "golfer.eps"}) {
        BitRaster page = render_ps(std::string(QUILL_SHARED_DIR) + "/samples/ps/" + name, 40);
        if (page.width == 0)
            continue;
        ++rendered;
        SCOPED_TRACE(name);
        Raster r(page.width, page.height, 1);
        for (int32_t y = 0; y < r.height; ++y)
            for (int32_t x = 0; x < r.width; ++x)
                r.set(x, y, page.black(x, y) ? 0 : 1);
        for (Op op : kOps)
            hold_op_to_pixel_path(r, op, QI_STORAGE_SWAP);
        std::string file = path("drawing.tif");
        ASSERT_TRUE(write_ccitt(file, r, COMPRESSION_CCITTFAX4, PHOTOMETRIC_MINISWHITE, 64));
        std::pair<int, int> frames = load_both(file, QI_STORAGE_SWAP);
        ASSERT_GE(frames.first, 0);
        ASSERT_GE(frames.second, 0);
        EXPECT_TRUE(same_pixels(frame_pixels(frames.first), r));
        EXPECT_TRUE(same_records(frames.first, frames.second));
        QI_FrameDelete(frames.first);
        QI_FrameDelete(frames.second);
    }
    if (rendered == 0)
        GTEST_SKIP() << "no sample drawing rendered";
}

} // namespace

namespace {

// Records as a tile file may carry them: longer than the raw lines (read as
// raw), or T.6 code of a tile that is white. The run-list paths read them
// as the pixel path does.
TEST_F(RunTiles, UnusualRecordsReadAsOnThePixelPath) {
    std::mt19937 random(46);
    Raster source = drawing(300, 257, random);
    for (Op op : kOps) {
        int frames[2] = {frame_from(source), frame_from(source)};
        for (int frame : frames) {
            ASSERT_GE(frame, 0);
            QI_FrameLock(frame);
            const QI_FrameRecord *f = QI_FrameGetData(frame);
            std::vector<uint8_t> raw(2100, 0x5A); // rows of 16 bytes, then bytes past the tile
            ASSERT_TRUE(quill::tile_store_write(f->tileStore, 0, raw.data(), static_cast<int32_t>(raw.size())));
            std::vector<uint8_t> white(16, 0xFF); // 128 rows of V0: a white tile coded
            ASSERT_TRUE(quill::tile_store_write(f->tileStore, 1, white.data(), 16));
            QI_FrameUnlock(frame);
        }
        Raster before = frame_pixels(frames[0]);
        qi_test_run_paths(0);
        EXPECT_EQ(run_op(op, frames[1]), 1);
        qi_test_run_paths(1);
        EXPECT_EQ(run_op(op, frames[0]), 1);
        EXPECT_TRUE(same_pixels(frame_pixels(frames[0]), expected(before, op)));
        EXPECT_TRUE(same_pixels(frame_pixels(frames[0]), frame_pixels(frames[1])));
        QI_FrameDelete(frames[0]);
        QI_FrameDelete(frames[1]);
    }
}

} // namespace
