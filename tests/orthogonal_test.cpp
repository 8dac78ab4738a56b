/*
 * orthogonal_test.cpp - quarter turns, the half turn and the mirrors.
 *
 * The kernels are checked against plain per-pixel turns and reversals kept
 * here (every block and edge arrangement, both directions, all kinds). The
 * frame operations are checked through the exported functions against the
 * same per-pixel geometry on random frames of every kind, at sizes below,
 * at and around the 16-pixel blocks, the 128-pixel tiles and bands and the
 * chunk runs, and with rows longer than 131072 bytes; and by their
 * properties (a turn and its inverse, two half turns, two mirrors give the
 * source back). Stopped operations (cancel, no memory, failed tile reads and
 * writes) must leave no frame behind (quarter turns) or a frame whose top
 * bands, or top and bottom bands of equal height, are done and whose other
 * rows are as they were (in-place operations).
 */
#include "raster_support.h"
#include "test_support.h"

#include "raster/ops/turn_kernels.h"

#include <stdint.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

using namespace quill_test;

namespace {

enum class Op { Rotate90, Rotate270, Rotate180, MirrorX, MirrorY };
const Op kAllOps[] = {Op::Rotate90, Op::Rotate270, Op::Rotate180, Op::MirrorX, Op::MirrorY};
const Op kInPlaceOps[] = {Op::Rotate180, Op::MirrorX, Op::MirrorY};

const char *op_name(Op op) {
    switch (op) {
    case Op::Rotate90:
        return "Rotate90";
    case Op::Rotate270:
        return "Rotate270";
    case Op::Rotate180:
        return "Rotate180";
    case Op::MirrorX:
        return "MirrorX";
    case Op::MirrorY:
        return "MirrorY";
    }
    return "?";
}

bool is_quarter(Op op) { return op == Op::Rotate90 || op == Op::Rotate270; }

// Pixel access with the line length computed once (Raster::get asks the
// library for it on every pixel, too slow for the large frames here).
uint32_t pixel_at(const uint8_t *data, int32_t kind, uint32_t line, int32_t x, int32_t y) {
    const uint8_t *row = data + static_cast<size_t>(y) * line;
    if (kind == 1)
        return (row[x >> 3] >> (7 - (x & 7))) & 1u;
    if (kind == 2)
        return row[x];
    return row[3 * x] | row[3 * x + 1] << 8 | static_cast<uint32_t>(row[3 * x + 2]) << 16;
}

void put_pixel(uint8_t *data, int32_t kind, uint32_t line, int32_t x, int32_t y, uint32_t v) {
    uint8_t *row = data + static_cast<size_t>(y) * line;
    if (kind == 1) {
        uint8_t bit = static_cast<uint8_t>(0x80u >> (x & 7));
        row[x >> 3] = static_cast<uint8_t>(v ? row[x >> 3] | bit : row[x >> 3] & ~bit);
    } else if (kind == 2) {
        row[x] = static_cast<uint8_t>(v);
    } else {
        row[3 * x] = static_cast<uint8_t>(v);
        row[3 * x + 1] = static_cast<uint8_t>(v >> 8);
        row[3 * x + 2] = static_cast<uint8_t>(v >> 16);
    }
}

// The source pixel that result pixel (x, y) of `op` takes, for a w x h source.
void source_of(Op op, int32_t w, int32_t h, int32_t x, int32_t y, int32_t &sx, int32_t &sy) {
    sx = sy = -1;
    switch (op) {
    case Op::Rotate90:
        sx = y, sy = h - 1 - x;
        return;
    case Op::Rotate270:
        sx = w - 1 - y, sy = x;
        return;
    case Op::Rotate180:
        sx = w - 1 - x, sy = h - 1 - y;
        return;
    case Op::MirrorX:
        sx = w - 1 - x, sy = y;
        return;
    case Op::MirrorY:
        sx = x, sy = h - 1 - y;
        return;
    }
}

// The oracle: the operation done pixel by pixel.
Raster expected(const Raster &s, Op op) {
    bool quarter = is_quarter(op);
    Raster out(quarter ? s.height : s.width, quarter ? s.width : s.height, s.kind, 0);
    uint32_t in = s.line(), line = out.line();
    for (int32_t y = 0; y < out.height; ++y)
        for (int32_t x = 0; x < out.width; ++x) {
            int32_t sx, sy;
            source_of(op, s.width, s.height, x, y, sx, sy);
            put_pixel(out.data(), s.kind, line, x, y, pixel_at(s.data(), s.kind, in, sx, sy));
        }
    return out;
}

bool rows_equal(const Raster &a, const Raster &b, int32_t y) {
    uint32_t la = a.line(), lb = b.line();
    for (int32_t x = 0; x < a.width; ++x)
        if (pixel_at(a.data(), a.kind, la, x, y) != pixel_at(b.data(), b.kind, lb, x, y))
            return false;
    return true;
}

::testing::AssertionResult identical(const Raster &a, const Raster &b) {
    if (a.width != b.width || a.height != b.height || a.kind != b.kind)
        return ::testing::AssertionFailure() << "shapes differ: " << a.width << " x " << a.height << " kind "
                                             << a.kind << " vs " << b.width << " x " << b.height << " kind "
                                             << b.kind;
    uint32_t la = a.line(), lb = b.line();
    for (int32_t y = 0; y < a.height; ++y)
        for (int32_t x = 0; x < a.width; ++x) {
            uint32_t va = pixel_at(a.data(), a.kind, la, x, y), vb = pixel_at(b.data(), b.kind, lb, x, y);
            if (va != vb)
                return ::testing::AssertionFailure() << "pixel (" << x << ", " << y << "): " << va << " vs " << vb;
        }
    return ::testing::AssertionSuccess();
}

Raster random_raster(int32_t w, int32_t h, int32_t kind, std::mt19937 &random) {
    Raster r(w, h, kind);
    r.fill_random(random);
    return r;
}

// Runs `op` on `frame`: the new frame of a quarter turn, the frame itself
// for the others; -1 on failure.
int run_op(Op op, int frame, int storage = QI_STORAGE_MEMORY) {
    switch (op) {
    case Op::Rotate90:
        return QI_FrameRotate90(frame, storage);
    case Op::Rotate270:
        return QI_FrameRotate270(frame, storage);
    case Op::Rotate180:
        return QI_FrameRotate180(frame) == 1 ? frame : -1;
    case Op::MirrorX:
        return QI_FrameMirrorX(frame) == 1 ? frame : -1;
    case Op::MirrorY:
        return QI_FrameMirrorY(frame) == 1 ? frame : -1;
    }
    return -1;
}

int frame_count() {
    int count = 0;
    QI_FrameLibraryInfo(&count, nullptr);
    return count;
}

// Rewrites a frame's pixels (the frame keeps its lock state).
void overwrite(int frame, const Raster &r) {
    bool locked = QI_FrameGetData(frame)->locked;
    ASSERT_EQ(QI_FrameLock(frame), 1);
    ASSERT_EQ(QI_FrameSetRect(frame, nullptr, r.data(), r.kind, -1, -1), 1);
    if (!locked)
        QI_FrameUnlock(frame);
}

// For an in-place operation that stopped: the number s of rows done at
// each end (the top s rows for MirrorX, the top and bottom s rows for the
// others), every other row being the source's; -1 when the frame is in no
// such state.
int32_t rows_done(const Raster &now, const Raster &source, const Raster &done, Op op) {
    int32_t h = now.height;
    bool bothEnds = op != Op::MirrorX;
    int32_t limit = bothEnds ? h / 2 : h;
    int32_t s = 0;
    while (s < limit && rows_equal(now, done, s))
        ++s;
    for (int32_t y = 0; y < h; ++y) {
        bool atEnds = y < s || (bothEnds && y >= h - s);
        if (rows_equal(now, atEnds ? done : source, y))
            continue;
        // The odd middle row, with both halves done: done or not, it is
        // whole (the half turn reverses it only when it gets to it).
        if (bothEnds && s == limit && y == h / 2 && rows_equal(now, done, y))
            continue;
        return -1;
    }
    return s;
}

// ---- Progress reports ----------------------------------------------------

struct Reports {
    std::vector<intptr_t> values;
    int refuseAt = 0; // refuse the n-th percentage report (1-based); 0 never
    bool refuseFirst = false;
    int percentages = 0;
    void reset(int refuse = 0, bool first = false) {
        values.clear();
        refuseAt = refuse;
        refuseFirst = first;
        percentages = 0;
    }
    bool has(intptr_t v) const {
        for (intptr_t x : values)
            if (x == v)
                return true;
        return false;
    }
};
Reports g_reports;

int record_report(intptr_t value) {
    g_reports.values.push_back(value);
    if (g_reports.values.size() == 1 && g_reports.refuseFirst)
        return 0;
    // Reports after the first two (0 and the message) and before 100.
    if (g_reports.values.size() > 2 && value >= 1 && value <= 99 && ++g_reports.percentages == g_reports.refuseAt)
        return 0;
    return 1;
}

class OrthogonalTest : public LibraryFixture {
protected:
    void restart_with_reports() {
        QI_CloseFrameFunctions();
        ASSERT_EQ(QI_InitFrameFunctions("", swap_.path().c_str(), record_report), 1);
    }
};

// ---- Kernels ---------------------------------------------------------------

TEST(TurnKernels, BlockTurnMovesEveryBitLikeThePixelByPixelTurn) {
    std::mt19937 random(1);
    constexpr size_t kStride = 7; // blocks sit at byte 3 of 7-byte rows
    // Random blocks; one-colour blocks (copied without the swaps); white
    // blocks with one black pixel, at each of the 256 places; black blocks
    // with one white pixel.
    for (int trial = 0; trial < 100 + 2 + 2 * 256; ++trial) {
        std::vector<uint8_t> in(16 * kStride), out(16 * kStride);
        for (uint8_t &b : in)
            b = static_cast<uint8_t>(random());
        if (trial >= 100) {
            int odd = trial - 102, place = odd % 256;
            memset(in.data(), trial == 100 || (odd >= 0 && odd < 256) ? 0xFF : 0x00, in.size());
            if (odd >= 0)
                put_pixel(in.data() + 3, 1, kStride, place % 16, place / 16, odd < 256 ? 0 : 1);
        }
        for (quill::Turn turn : {quill::Turn::Clockwise, quill::Turn::CounterClockwise}) {
            for (uint8_t &b : out)
                b = static_cast<uint8_t>(random());
            std::vector<uint8_t> before = out;
            quill::turn_block16(in.data() + 3, kStride, out.data() + 3, kStride, turn);
            for (int y = 0; y < 16; ++y)
                for (int x = 0; x < 16; ++x) {
                    bool clockwise = turn == quill::Turn::Clockwise;
                    uint32_t want = clockwise ? pixel_at(in.data() + 3, 1, kStride, y, 15 - x)
                                              : pixel_at(in.data() + 3, 1, kStride, 15 - y, x);
                    ASSERT_EQ(pixel_at(out.data() + 3, 1, kStride, x, y), want)
                        << "trial " << trial << (clockwise ? " clockwise" : " counter-clockwise") << " at " << x
                        << ", " << y;
                }
            for (size_t i = 0; i < out.size(); ++i) {
                if (i % kStride < 3 || i % kStride > 4) {
                    ASSERT_EQ(out[i], before[i]) << "byte " << i << " outside the block was written";
                }
            }
        }
    }
}

TEST(TurnKernels, QuarterTurnsOfRastersMatchThePixelByPixelTurn) {
    std::mt19937 random(2);
    const int32_t sizes[] = {1, 2, 7, 8, 15, 16, 17, 31, 32, 33, 48, 50};
    for (int32_t kind : {1, 2, 4})
        for (int32_t w : sizes)
            for (int32_t h : sizes)
                for (Op op : {Op::Rotate90, Op::Rotate270}) {
                    // Strides longer than the lines, with random pad bytes.
                    uint32_t inLine = QI_GetLineBWi(kind, w) + 4, outLine = QI_GetLineBWi(kind, h) + 2;
                    std::vector<uint8_t> in(static_cast<size_t>(inLine) * h), out(static_cast<size_t>(outLine) * w);
                    for (uint8_t &b : in)
                        b = static_cast<uint8_t>(random());
                    for (uint8_t &b : out)
                        b = static_cast<uint8_t>(random());
                    quill::turn_quarter(kind, in.data(), inLine, w, h, out.data(), outLine,
                                        op == Op::Rotate90 ? quill::Turn::Clockwise : quill::Turn::CounterClockwise);
                    for (int32_t y = 0; y < w; ++y)
                        for (int32_t x = 0; x < h; ++x) {
                            int32_t sx, sy;
                            source_of(op, w, h, x, y, sx, sy);
                            ASSERT_EQ(pixel_at(out.data(), kind, outLine, x, y), pixel_at(in.data(), kind, inLine, sx, sy))
                                << op_name(op) << " kind " << kind << " " << w << " x " << h << " at " << x << ", "
                                << y;
                        }
                }
}

TEST(TurnKernels, RowReversalMatchesThePixelByPixelReversal) {
    std::mt19937 random(3);
    std::vector<int32_t> widths;
    for (int32_t w = 1; w <= 80; ++w)
        widths.push_back(w);
    for (int32_t w : {127, 128, 129, 1000, 1003, 13244})
        widths.push_back(w);
    auto check = [](int32_t kind, int32_t w, const std::vector<uint8_t> &row, std::vector<uint8_t> &reversed,
                    const char *what) {
        uint32_t line = QI_GetLineBWi(kind, w);
        quill::reverse_row(kind, row.data(), reversed.data(), w);
        for (int32_t x = 0; x < w; ++x)
            if (pixel_at(reversed.data(), kind, line, x, 0) != pixel_at(row.data(), kind, line, w - 1 - x, 0))
                return ::testing::AssertionFailure()
                       << "kind " << kind << " width " << w << " " << what << ": pixel " << x;
        return ::testing::AssertionSuccess();
    };
    for (int32_t kind : {1, 2, 4})
        for (int32_t w : widths) {
            uint32_t line = QI_GetLineBWi(kind, w);
            std::vector<uint8_t> row(line), reversed(line);
            for (uint8_t &b : row)
                b = static_cast<uint8_t>(random()); // pad bits too
            for (uint8_t &b : reversed)
                b = static_cast<uint8_t>(random());
            ASSERT_TRUE(check(kind, w, row, reversed, "random"));
            // White rows with one black pixel, wherever it is: white
            // stretches are skipped, and must not skip a black pixel.
            for (int32_t x = 0; x < w; x += w > 300 ? 1 + static_cast<int32_t>(random() % 97) : 1) {
                for (uint8_t &b : row)
                    b = 0xFF;
                put_pixel(row.data(), kind, line, x, 0, 0);
                ASSERT_TRUE(check(kind, w, row, reversed, ("black at " + std::to_string(x)).c_str()));
            }
        }
}

// ---- Geometry of the frame operations ---------------------------------------

struct Size {
    int32_t width, height;
};

// Below a block, on blocks, around tiles and bands, one-pixel sides, and
// longer than one chunk run (8192 bilevel, 1024 grey, 256 colour pixels).
const Size kSizes[] = {{10, 10}, {20, 10},   {10, 20},   {16, 32},  {32, 16},  {129, 257},
                       {257, 129}, {1, 1},   {300, 1},   {1, 300},  {40, 8300}, {8300, 40},
                       {1100, 33}, {33, 1100}, {128, 256}, {384, 130}};

TEST_F(OrthogonalTest, EveryOperationMovesEveryPixelWhereItsGeometrySays) {
    std::mt19937 random(4);
    for (int32_t kind : {1, 2, 4})
        for (const Size &size : kSizes)
            for (int storage : {QI_STORAGE_MEMORY, QI_STORAGE_SWAP})
                for (Op op : kAllOps) {
                    std::string where = std::string(op_name(op)) + " kind " + std::to_string(kind) + " " +
                                        std::to_string(size.width) + " x " + std::to_string(size.height) +
                                        " storage " + std::to_string(storage);
                    Raster source = random_raster(size.width, size.height, kind, random);
                    int frame = frame_from(source, storage);
                    ASSERT_GE(frame, 0) << where;
                    int result = run_op(op, frame, storage);
                    ASSERT_GE(result, 0) << where;
                    const QI_FrameRecord *r = QI_FrameGetData(result);
                    EXPECT_EQ(r->locked, 0) << where;
                    EXPECT_EQ(r->storage, storage) << where;
                    EXPECT_TRUE(identical(frame_pixels(result), expected(source, op))) << where;
                    if (is_quarter(op)) {
                        EXPECT_TRUE(identical(frame_pixels(frame), source)) << where << ": the source changed";
                        QI_FrameDelete(result);
                    }
                    QI_FrameDelete(frame);
                }
}

TEST_F(OrthogonalTest, RowsLongerThanAChunkAreTurnedWhole) {
    // Rows of more than 131072 bytes: the chunks of a quarter turn then
    // cover part of a row, and the in-place bands are one row high or a few.
    std::mt19937 random(5);
    const struct {
        int32_t kind, width, height;
    } cases[] = {{1, 1048600, 18}, {2, 131100, 5}, {4, 43700, 3}};
    for (const auto &c : cases) {
        ASSERT_GT(QI_GetLineBWi(c.kind, c.width), 131072u);
        Raster source = random_raster(c.width, c.height, c.kind, random);
        for (Op op : kAllOps) {
            int frame = frame_from(source);
            ASSERT_GE(frame, 0);
            int result = run_op(op, frame);
            ASSERT_GE(result, 0) << op_name(op) << " kind " << c.kind;
            EXPECT_TRUE(identical(frame_pixels(result), expected(source, op))) << op_name(op) << " kind " << c.kind;
            if (result != frame)
                QI_FrameDelete(result);
            QI_FrameDelete(frame);
        }
    }
}

TEST_F(OrthogonalTest, HalfTurnAndMirrorYPairEveryArrangementOfTileRows) {
    // Heights that make the tile rows meet in the middle in every way: one
    // tile row, an even or odd count, the last one full or partial, and an
    // odd middle row (turned by the half turn, kept by MirrorY).
    std::mt19937 random(6);
    for (int32_t kind : {1, 2, 4})
        for (int32_t h : {1, 2, 3, 127, 128, 129, 255, 256, 257, 383, 384, 385, 511, 512, 640, 641, 700})
            for (Op op : {Op::Rotate180, Op::MirrorY}) {
                Raster source = random_raster(37, h, kind, random);
                int frame = frame_from(source);
                ASSERT_EQ(run_op(op, frame), frame) << op_name(op) << " kind " << kind << " height " << h;
                EXPECT_TRUE(identical(frame_pixels(frame), expected(source, op)))
                    << op_name(op) << " kind " << kind << " height " << h;
                QI_FrameDelete(frame);
            }
}

TEST_F(OrthogonalTest, AFrameOneRowHigh) {
    std::mt19937 random(7);
    for (int32_t kind : {1, 2, 4}) {
        Raster source = random_raster(77, 1, kind, random);
        int frame = frame_from(source);
        EXPECT_EQ(QI_FrameMirrorY(frame), 1);
        EXPECT_TRUE(identical(frame_pixels(frame), source)) << "MirrorY changes nothing, kind " << kind;
        EXPECT_EQ(QI_FrameRotate180(frame), 1);
        Raster row = frame_pixels(frame);
        for (int32_t x = 0; x < 77; ++x)
            ASSERT_EQ(row.get(x, 0), source.get(76 - x, 0)) << "Rotate180 reverses the row, kind " << kind;
        QI_FrameDelete(frame);
    }
}

TEST_F(OrthogonalTest, InverseOperationsGiveTheSourceBack) {
    std::mt19937 random(8);
    const struct {
        Op first, second;
    } pairs[] = {{Op::Rotate90, Op::Rotate270}, {Op::Rotate270, Op::Rotate90}, {Op::Rotate180, Op::Rotate180},
                 {Op::MirrorX, Op::MirrorX},    {Op::MirrorY, Op::MirrorY}};
    for (int32_t kind : {1, 2, 4})
        for (const Size &size : {Size{129, 257}, Size{300, 203}, Size{20, 10}})
            for (const auto &pair : pairs) {
                Raster source = random_raster(size.width, size.height, kind, random);
                int frame = frame_from(source);
                int once = run_op(pair.first, frame);
                int twice = run_op(pair.second, once);
                ASSERT_GE(twice, 0);
                EXPECT_TRUE(identical(frame_pixels(twice), source))
                    << op_name(pair.first) << " then " << op_name(pair.second) << ", kind " << kind << " "
                    << size.width << " x " << size.height;
                for (int f : {frame, once, twice})
                    QI_FrameDelete(f);
            }
}

TEST_F(OrthogonalTest, FourQuarterTurnsAndTheTwoMirrorsCompose) {
    std::mt19937 random(9);
    for (int32_t kind : {1, 2, 4}) {
        Raster source = random_raster(203, 150, kind, random);
        for (Op op : {Op::Rotate90, Op::Rotate270}) {
            int frame = frame_from(source);
            std::vector<int> made;
            int current = frame;
            for (int i = 0; i < 4; ++i) {
                current = run_op(op, current);
                ASSERT_GE(current, 0);
                made.push_back(current);
            }
            EXPECT_TRUE(identical(frame_pixels(current), source)) << "four " << op_name(op) << ", kind " << kind;
            QI_FrameDelete(frame);
            for (int f : made)
                QI_FrameDelete(f);
        }
        // Mirroring both ways is the half turn.
        int frame = frame_from(source);
        ASSERT_EQ(QI_FrameMirrorX(frame), 1);
        ASSERT_EQ(QI_FrameMirrorY(frame), 1);
        EXPECT_TRUE(identical(frame_pixels(frame), expected(source, Op::Rotate180))) << "kind " << kind;
        QI_FrameDelete(frame);
    }
}

TEST_F(OrthogonalTest, NewFramesTakeKindPaletteAndModeOfTheSource) {
    std::mt19937 random(10);
    // A colour frame in plain coding with a palette of 4 entries, its
    // pixels drawn from the palette.
    uint8_t palette[1 + 4 * 4] = {3};
    const uint32_t colours[4] = {0x7F7FFF, 0x7F7F00, 0x406080, 0x102030};
    for (int i = 0; i < 4; ++i)
        memcpy(palette + 1 + 4 * i, &colours[i], 4);
    Raster source(150, 140, 4);
    for (int32_t y = 0; y < source.height; ++y)
        for (int32_t x = 0; x < source.width; ++x)
            source.set(x, y, colours[random() % 4]);
    int frame = QI_FrameCreate(150, 140, 4, QI_STORAGE_MEMORY, palette, 1);
    ASSERT_GE(frame, 0);
    overwrite(frame, source);
    for (Op op : {Op::Rotate90, Op::Rotate270}) {
        int result = run_op(op, frame, QI_STORAGE_SWAP);
        ASSERT_GE(result, 0);
        const QI_FrameRecord *r = QI_FrameGetData(result);
        EXPECT_EQ(r->kind, 4);
        EXPECT_EQ(r->mode, 1);
        EXPECT_EQ(r->width, 140);
        EXPECT_EQ(r->height, 150);
        EXPECT_EQ(r->storage, QI_STORAGE_SWAP);
        EXPECT_NE(r->palette, 0) << op_name(op) << ": the palette was not taken";
        ASSERT_EQ(QI_FrameLock(result), 1);
        EXPECT_EQ(QI_FramePalletteValid(result), 1) << "every tile coded against the palette";
        EXPECT_EQ(memcmp(reinterpret_cast<const uint8_t *>(QI_FrameGetData(result)->palette), palette, sizeof palette), 0);
        QI_FrameUnlock(result);
        EXPECT_TRUE(identical(frame_pixels(result), expected(source, op)));
        QI_FrameDelete(result);
    }
    QI_FrameDelete(frame);
}

TEST_F(OrthogonalTest, LockStatesAreLeftAsFound) {
    std::mt19937 random(11);
    for (Op op : kAllOps)
        for (bool locked : {false, true}) {
            Raster source = random_raster(140, 130, 2, random);
            int frame = frame_from(source);
            if (locked) {
                ASSERT_EQ(QI_FrameLock(frame), 1);
            }
            int result = run_op(op, frame);
            ASSERT_GE(result, 0) << op_name(op);
            EXPECT_EQ(QI_FrameGetData(frame)->locked, locked ? 1 : 0) << op_name(op);
            if (result != frame) {
                EXPECT_EQ(QI_FrameGetData(result)->locked, 0) << op_name(op) << ": the new frame is unlocked";
                QI_FrameDelete(result);
            }
            QI_FrameUnlock(frame);
            QI_FrameDelete(frame);
        }
}

TEST_F(OrthogonalTest, UnknownFramesAndBadStorageFailWithoutReportingDone) {
    restart_with_reports();
    int frame = frame_from(Raster(30, 30, 1));
    for (Op op : kAllOps) {
        g_reports.reset();
        EXPECT_EQ(run_op(op, 7), -1) << op_name(op);
        EXPECT_EQ(run_op(op, -1), -1) << op_name(op);
        EXPECT_FALSE(g_reports.has(100)) << op_name(op);
    }
    // A storage that QI_FrameCreate refuses: no frame comes of it.
    EXPECT_EQ(QI_FrameRotate90(frame, 0), -1);
    EXPECT_EQ(QI_FrameRotate270(frame, 0), -1);
    EXPECT_EQ(frame_count(), 1);
    EXPECT_EQ(QI_FrameGetData(frame)->locked, 0);
    QI_FrameDelete(frame);
}

// ---- Progress and cancellation ----------------------------------------------

TEST_F(OrthogonalTest, ReportsAreZeroTheMessagePercentagesAnd100) {
    restart_with_reports();
    const struct {
        Op op;
        int slot;
    } cases[] = {{Op::Rotate90, 15}, {Op::Rotate270, 16}, {Op::Rotate180, 14}, {Op::MirrorX, 13}, {Op::MirrorY, 12}};
    std::mt19937 random(12);
    for (const auto &c : cases) {
        ASSERT_EQ(QI_SetMessage(c.slot, 5000 + c.slot), 1);
        int frame = frame_from(random_raster(300, 700, 2, random));
        g_reports.reset();
        int result = run_op(c.op, frame);
        ASSERT_GE(result, 0);
        const std::vector<intptr_t> &v = g_reports.values;
        ASSERT_GE(v.size(), 4u) << op_name(c.op);
        EXPECT_EQ(v[0], 0);
        EXPECT_EQ(v[1], 5000 + c.slot) << op_name(c.op) << " announces itself with its own slot";
        EXPECT_EQ(v.back(), 100);
        for (size_t i = 2; i + 1 < v.size(); ++i) {
            EXPECT_GE(v[i], 1) << op_name(c.op);
            EXPECT_LE(v[i], 99) << op_name(c.op);
            if (i > 2) {
                EXPECT_GE(v[i], v[i - 1]) << op_name(c.op) << ": percentages go up";
            }
        }
        if (result != frame)
            QI_FrameDelete(result);
        QI_FrameDelete(frame);
    }
}

TEST_F(OrthogonalTest, CancelledQuarterTurnsLeaveNoFrame) {
    restart_with_reports();
    std::mt19937 random(13);
    for (int32_t kind : {1, 2, 4})
        for (Op op : {Op::Rotate90, Op::Rotate270})
            for (int storage : {QI_STORAGE_MEMORY, QI_STORAGE_SWAP}) {
                // Three bands of chunks (colour clockwise: two chunks each).
                Raster source = random_raster(300, 300, kind, random);
                int frame = frame_from(source, storage);
                g_reports.reset();
                int first = run_op(op, frame, storage);
                ASSERT_GE(first, 0);
                int chunks = g_reports.percentages;
                EXPECT_GE(chunks, 3);
                for (int refuse = 1; refuse <= chunks; ++refuse) {
                    g_reports.reset(refuse);
                    EXPECT_EQ(run_op(op, frame, storage), -1) << op_name(op) << " refused at " << refuse;
                    EXPECT_EQ(g_reports.values.back(), 101) << "no 100 after a cancelled quarter turn";
                    EXPECT_EQ(frame_count(), 2) << "only the source and the first result are left";
                    EXPECT_EQ(swap_.files().size(), storage == QI_STORAGE_SWAP ? 2u : 0u);
                }
                EXPECT_TRUE(identical(frame_pixels(frame), source));
                EXPECT_EQ(QI_FrameGetData(frame)->locked, 0);
                // Refused at once: nothing is made.
                g_reports.reset(0, true);
                EXPECT_EQ(run_op(op, frame, storage), -1);
                EXPECT_EQ(frame_count(), 2);
                QI_FrameDelete(frame);
                QI_FrameDelete(first);
                ASSERT_EQ(frame_count(), 0);
            }
}

TEST_F(OrthogonalTest, CancelledInPlaceOperationsLeaveWholeBandsDoneAndReport100) {
    restart_with_reports();
    std::mt19937 random(14);
    for (int32_t kind : {1, 2, 4})
        for (Op op : kInPlaceOps)
            for (int32_t h : {600, 640}) {
                // 600 rows: tile rows meet unevenly (the last one 88 rows);
                // 640: five whole tile rows.
                Raster source = random_raster(150, h, kind, random);
                Raster done = expected(source, op);
                int frame = frame_from(source, QI_STORAGE_SWAP);
                for (int refuse = 1;; ++refuse) {
                    g_reports.reset(refuse);
                    int ok = run_op(op, frame) >= 0;
                    Raster now = frame_pixels(frame);
                    if (ok) {
                        EXPECT_TRUE(identical(now, done));
                        EXPECT_GT(refuse, 1);
                        break;
                    }
                    EXPECT_EQ(g_reports.values.back(), 100) << "100 is reported after the cancel";
                    EXPECT_EQ(g_reports.values[g_reports.values.size() - 2], 101);
                    // Refused before band n: n - 1 bands (pairs) are done.
                    int32_t rows = rows_done(now, source, done, op);
                    EXPECT_EQ(rows, 128 * (refuse - 1))
                        << op_name(op) << " kind " << kind << " height " << h << " refused at " << refuse;
                    overwrite(frame, source);
                }
                // Refused at the first report: nothing changes, no 100.
                g_reports.reset(0, true);
                EXPECT_EQ(run_op(op, frame), -1);
                EXPECT_FALSE(g_reports.has(100));
                EXPECT_TRUE(identical(frame_pixels(frame), done));
                QI_FrameDelete(frame);
            }
}

// ---- Faults -----------------------------------------------------------------

TEST_F(OrthogonalTest, QuarterTurnsOutOfMemoryLeaveNoFrameAndNoLeak) {
    std::mt19937 random(15);
    for (int32_t kind : {1, 2, 4})
        for (int storage : {QI_STORAGE_MEMORY, QI_STORAGE_SWAP})
            for (Op op : {Op::Rotate90, Op::Rotate270}) {
                Raster source = random_raster(300, 270, kind, random);
                int frame = frame_from(source, storage);
                Raster want = expected(source, op);
                int failures = 0;
                for (int64_t n = 1;; ++n) {
                    qs_test_fail_allocation(n);
                    int result = run_op(op, frame, storage);
                    bool hit = qs_test_allocation_count() >= n;
                    qs_test_fail_allocation(0);
                    if (result < 0) {
                        ++failures;
                        EXPECT_EQ(frame_count(), 1) << op_name(op) << " allocation " << n << ": the new frame is deleted";
                        EXPECT_EQ(swap_.files().size(), storage == QI_STORAGE_SWAP ? 1u : 0u);
                        EXPECT_EQ(QI_FrameGetData(frame)->locked, 0);
                        continue;
                    }
                    EXPECT_TRUE(identical(frame_pixels(result), want)) << op_name(op) << " allocation " << n;
                    QI_FrameDelete(result);
                    if (!hit)
                        break;
                }
                EXPECT_GE(failures, 3) << "the lock, the two chunk buffers and the new frame allocate";
                EXPECT_TRUE(identical(frame_pixels(frame), source));
                QI_FrameDelete(frame);
            }
}

TEST_F(OrthogonalTest, InPlaceOperationsOutOfMemoryLeaveWholeBandsDone) {
    std::mt19937 random(16);
    for (int32_t kind : {1, 2, 4})
        for (int storage : {QI_STORAGE_MEMORY, QI_STORAGE_SWAP})
            for (Op op : kInPlaceOps) {
                Raster source = random_raster(300, 600, kind, random);
                Raster done = expected(source, op);
                int frame = frame_from(source, storage);
                int failures = 0;
                for (int64_t n = 1;; ++n) {
                    qs_test_fail_allocation(n);
                    int ok = run_op(op, frame) >= 0;
                    bool hit = qs_test_allocation_count() >= n;
                    qs_test_fail_allocation(0);
                    Raster now = frame_pixels(frame);
                    if (!ok) {
                        ++failures;
                        EXPECT_GE(rows_done(now, source, done, op), 0)
                            << op_name(op) << " kind " << kind << " allocation " << n << ": not whole bands";
                    } else {
                        EXPECT_TRUE(identical(now, done));
                    }
                    overwrite(frame, source);
                    if (ok && !hit)
                        break;
                }
                EXPECT_GE(failures, 2) << "the lock and the bands allocate";
                QI_FrameDelete(frame);
            }
}

TEST_F(OrthogonalTest, FailedTileWritesAndReadsLeaveWholeBandsDone) {
    // Swap frames; the n-th file write (or read) fails once. A band write
    // that fails after some of its tiles were written must not leave the
    // band half done: its original comes back and the frame holds whole
    // bands (pairs) done and the rest as it was.
    std::mt19937 random(17);
    for (quill::FileOp failing : {quill::FileOp::Write, quill::FileOp::Read})
        for (int32_t kind : {1, 2, 4})
            for (Op op : kInPlaceOps) {
                Raster source = random_raster(300, 600, kind, random);
                Raster done = expected(source, op);
                int frame = frame_from(source, QI_STORAGE_SWAP);
                int failures = 0, lastFailure = 0;
                for (int n = 1; n <= 36; ++n) {
                    qi_test_fail_file_op(static_cast<int>(failing), n);
                    int ok = run_op(op, frame) >= 0;
                    qi_test_fail_file_op(static_cast<int>(failing), 0);
                    Raster now = frame_pixels(frame);
                    if (!ok) {
                        ++failures;
                        lastFailure = n;
                        EXPECT_GE(rows_done(now, source, done, op), 0)
                            << op_name(op) << " kind " << kind << ": file op " << n << " failed, not whole bands";
                    } else {
                        EXPECT_TRUE(identical(now, done)) << op_name(op) << " kind " << kind << " file op " << n;
                    }
                    overwrite(frame, source);
                }
                EXPECT_GE(failures, 5) << op_name(op);
                EXPECT_LT(lastFailure, 36) << op_name(op) << ": the last calls were past the work";
                QI_FrameDelete(frame);
            }
}

TEST_F(OrthogonalTest, QuarterTurnsWithFailedTileWritesLeaveNoFrame) {
    std::mt19937 random(18);
    for (quill::FileOp failing : {quill::FileOp::Write, quill::FileOp::Read})
        for (Op op : {Op::Rotate90, Op::Rotate270}) {
            Raster source = random_raster(300, 300, 2, random);
            int frame = frame_from(source, QI_STORAGE_SWAP);
            int failures = 0;
            for (int n = 1; n <= 40; ++n) {
                qi_test_fail_file_op(static_cast<int>(failing), n);
                int result = run_op(op, frame, QI_STORAGE_SWAP);
                qi_test_fail_file_op(static_cast<int>(failing), 0);
                if (result < 0) {
                    ++failures;
                    EXPECT_EQ(frame_count(), 1);
                    EXPECT_EQ(swap_.files().size(), 1u) << "the new frame's swap file is gone";
                } else {
                    EXPECT_TRUE(identical(frame_pixels(result), expected(source, op)));
                    QI_FrameDelete(result);
                }
            }
            EXPECT_GE(failures, 5);
            QI_FrameDelete(frame);
        }
}

} // namespace
