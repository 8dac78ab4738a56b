/*
 * frame_rect_test.cpp - rectangles in and out of frames, masked writes,
 * raster conversion and flipping, through the exported functions.
 *
 * Each frame is shadowed by a model of its whole raster kept in the test
 * (one value per pixel: bilevel 0 or 1, grey level, colour Y | U << 8 |
 * V << 16). Random rects are written into both, rects that straddle tile
 * edges (128) and frame edges with sides of 1, 127, 128, 129, 255, 256 and
 * 257 pixels among them; the whole frame and random rects are then read
 * back and compared pixel by pixel. Bilevel pad bits carry random values on
 * the way in and are ignored on the way out.
 *
 * The colour-key rules are checked with expected pixels written out by hand
 * per case, so that they do not lean on the same reasoning as the copy
 * engine's own differential test.
 */
#include "test_support.h"

#include <stdint.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using namespace quill_test;

namespace {

constexpr int32_t kWhite = QI_COLOR_WHITE;
constexpr int32_t kBlack = QI_COLOR_BLACK;
constexpr int32_t kNone = QI_COLOR_NONE;

int32_t rect_width(const QI_Rect &r) { return r.right - r.left + 1; }
int32_t rect_height(const QI_Rect &r) { return r.bottom - r.top + 1; }

std::string describe(const QI_Rect &r) {
    std::ostringstream os;
    os << "(" << r.left << ", " << r.top << ", " << r.right << ", " << r.bottom << ")";
    return os.str();
}

// One pixel of a raster as a value: bilevel 0/1, grey level, or colour.
uint32_t read_pixel(int32_t kind, const uint8_t *raster, uint32_t line, int32_t x, int32_t y) {
    const uint8_t *row = raster + static_cast<size_t>(y) * line;
    if (kind == 1)
        return (row[x >> 3] >> (7 - (x & 7))) & 1u;
    if (kind == 2)
        return row[x];
    const uint8_t *p = row + 3 * x;
    return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16);
}

void write_pixel(int32_t kind, uint8_t *raster, uint32_t line, int32_t x, int32_t y, uint32_t value) {
    uint8_t *row = raster + static_cast<size_t>(y) * line;
    if (kind == 1) {
        uint8_t bit = static_cast<uint8_t>(0x80u >> (x & 7));
        row[x >> 3] = static_cast<uint8_t>(value ? row[x >> 3] | bit : row[x >> 3] & ~bit);
    } else if (kind == 2) {
        row[x] = static_cast<uint8_t>(value);
    } else {
        row[3 * x] = static_cast<uint8_t>(value);
        row[3 * x + 1] = static_cast<uint8_t>(value >> 8);
        row[3 * x + 2] = static_cast<uint8_t>(value >> 16);
    }
}

// A pixel value of one kind as a pixel value of another, by the rules of
// the kinds: bilevel to grey 255/0, up to colour as (level, 127, 127),
// colour to grey by its first byte, down to bilevel white at 128.
uint32_t convert(int32_t from, uint32_t value, int32_t to) {
    if (from == to)
        return value;
    uint32_t level = from == 1 ? (value ? 255u : 0u) : value & 0xFFu;
    if (to == 1)
        return level >= 128 ? 1u : 0u;
    if (to == 2)
        return level;
    return from == 4 ? value : level | 0x7F7F00u;
}

std::vector<uint8_t> random_raster(std::mt19937 &rng, int32_t kind, int32_t width, int32_t height) {
    std::vector<uint8_t> raster(static_cast<size_t>(QI_GetLineBWi(kind, width)) * height);
    for (uint8_t &b : raster)
        b = static_cast<uint8_t>(rng());
    return raster;
}

// A source raster rich in the values that keyed passes treat specially:
// pure white and black in every kind, and near misses of them.
std::vector<uint8_t> keyish_raster(std::mt19937 &rng, int32_t kind, int32_t width, int32_t height) {
    std::vector<uint8_t> raster = random_raster(rng, kind, width, height);
    if (kind == 1)
        return raster;
    const uint32_t values[] = {0x7F7FFFu, 0x7F7F00u, 0x7F80FFu, 0x807F00u, 0x7F7FFEu, 0x7F7F01u};
    uint32_t line = QI_GetLineBWi(kind, width);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x)
            if (rng() % 3 != 0) {
                uint32_t v = values[rng() % 6];
                write_pixel(kind, raster.data(), line, x, y, kind == 2 ? (v & 0xFF) : v);
            }
    return raster;
}

QI_Rect random_rect(std::mt19937 &rng, int32_t width, int32_t height) {
    int32_t w = 1 + static_cast<int32_t>(rng() % width), h = 1 + static_cast<int32_t>(rng() % height);
    int32_t x = static_cast<int32_t>(rng() % (width - w + 1)), y = static_cast<int32_t>(rng() % (height - h + 1));
    return QI_Rect{x, y, x + w - 1, y + h - 1};
}

// The whole raster of a frame, as the test expects it to be.
struct Model {
    int32_t width, height, kind;
    std::vector<uint32_t> pixels;

    Model(int32_t w, int32_t h, int32_t k) : width(w), height(h), kind(k), pixels(static_cast<size_t>(w) * h) {}
    uint32_t &at(int32_t x, int32_t y) { return pixels[static_cast<size_t>(y) * width + x]; }
    uint32_t at(int32_t x, int32_t y) const { return pixels[static_cast<size_t>(y) * width + x]; }

    // What QI_FrameSetRect with A = B = -1 does.
    void write(const QI_Rect &r, const uint8_t *raster, int32_t sourceKind) {
        uint32_t line = QI_GetLineBWi(sourceKind, rect_width(r));
        for (int32_t y = r.top; y <= r.bottom; ++y)
            for (int32_t x = r.left; x <= r.right; ++x)
                at(x, y) = convert(sourceKind, read_pixel(sourceKind, raster, line, x - r.left, y - r.top), kind);
    }
};

class FrameRect : public LibraryFixture {
protected:
    // A locked frame of random content, written as a whole, and its model.
    int make_frame(int32_t width, int32_t height, int32_t kind, int32_t storage, Model &model, std::mt19937 &rng) {
        int frame = QI_FrameCreate(width, height, kind, storage, nullptr, 0);
        EXPECT_GE(frame, 0);
        EXPECT_EQ(QI_FrameLock(frame), 1);
        std::vector<uint8_t> raster = random_raster(rng, kind, width, height);
        EXPECT_EQ(QI_FrameSetRect(frame, nullptr, raster.data(), kind, kNone, kNone), 1);
        model = Model(width, height, kind);
        model.write(QI_Rect{0, 0, width - 1, height - 1}, raster.data(), kind);
        return frame;
    }

    // Reads `r` (null: all) of the frame and compares it with the model.
    static ::testing::AssertionResult reads_as_model(int frame, const Model &model, const QI_Rect *r = nullptr) {
        QI_Rect rect = r ? *r : QI_Rect{0, 0, model.width - 1, model.height - 1};
        uint32_t line = QI_GetLineBWi(model.kind, rect_width(rect));
        std::vector<uint8_t> raster(static_cast<size_t>(line) * rect_height(rect));
        if (QI_FrameGetRect(frame, r, raster.data()) != 1)
            return ::testing::AssertionFailure() << "QI_FrameGetRect failed for " << describe(rect);
        for (int32_t y = rect.top; y <= rect.bottom; ++y)
            for (int32_t x = rect.left; x <= rect.right; ++x) {
                uint32_t got = read_pixel(model.kind, raster.data(), line, x - rect.left, y - rect.top);
                if (got != model.at(x, y))
                    return ::testing::AssertionFailure()
                           << "pixel (" << x << ", " << y << ") of " << describe(rect) << " is " << std::hex << got
                           << ", expected " << model.at(x, y);
            }
        return ::testing::AssertionSuccess();
    }
};

const int32_t kKinds[] = {1, 2, 4};
const int32_t kStorages[] = {QI_STORAGE_MEMORY, QI_STORAGE_SWAP};

} // namespace

TEST(FrameRectKeys, IsTranspOperationTellsWhetherDestinationPixelsSurvive) {
    struct Case {
        int32_t kind, a, b;
        int expected;
    } cases[] = {
        {1, kNone, kNone, 0},     // plain copy
        {1, kWhite, kBlack, 0},   // both painted
        {1, kBlack, kWhite, 0},   // both painted, inverted
        {1, kNone, kBlack, 1},    // white keeps the destination
        {1, kWhite, kNone, 1},    // black keeps the destination
        {1, 0x2040A0, kNone, 1},  // any colour counts as painting
        {2, kWhite, kNone, 0},    // A is not used by grey sources
        {2, kNone, 0x7F7F80, 1},  // a grey key
        {2, kNone, kNone, 0},     //
        {2, kWhite, kBlack, 1},   // B is a key whatever A is
        {4, kNone, kNone, 0},     //
        {4, 0x2040A0, kNone, 0},  // A is not used by colour sources
        {4, kNone, kWhite, 1},    // a colour key
    };
    for (const Case &c : cases)
        EXPECT_EQ(QI_IsTranspOperation(c.kind, c.a, c.b), c.expected)
            << "kind " << c.kind << std::hex << " A " << c.a << " B " << c.b;
}

// Rects of every awkward side at offsets on and beside tile and frame
// edges, in every kind and storage: each write reads back as written, and
// the frame as a whole (also after an unlock and a lock) matches the model.
TEST_F(FrameRect, RectsRoundTripAcrossTileAndFrameEdges) {
    const int32_t width = 300, height = 290; // 3 x 3 tiles, the last ones partial
    const int32_t sides[] = {1, 127, 128, 129, 255, 256, 257};
    for (int32_t kind : kKinds)
        for (int32_t storage : kStorages) {
            SCOPED_TRACE(::testing::Message() << "kind " << kind << " storage " << storage);
            std::mt19937 rng(static_cast<uint32_t>(kind * 10 + storage));
            Model model(1, 1, kind);
            int frame = make_frame(width, height, kind, storage, model, rng);
            ASSERT_GE(frame, 0);
            ASSERT_TRUE(reads_as_model(frame, model));
            int step = 0;
            for (int32_t w : sides)
                for (int32_t h : sides) {
                    // Offsets on a tile edge, one either side of it, and
                    // flush with the right or bottom edge of the frame.
                    const int32_t xs[] = {0, 1, 127, 128, 129, width - w, 43};
                    const int32_t ys[] = {0, 127, 128, 1, height - h, 129, 200};
                    int32_t x = xs[(step * 3) % 7], y = ys[step % 7];
                    if (x + w > width)
                        x = width - w;
                    if (y + h > height)
                        y = height - h;
                    ++step;
                    QI_Rect r{x, y, x + w - 1, y + h - 1};
                    std::vector<uint8_t> raster = random_raster(rng, kind, w, h);
                    ASSERT_EQ(QI_FrameSetRect(frame, &r, raster.data(), kind, kNone, kNone), 1) << describe(r);
                    model.write(r, raster.data(), kind);
                    ASSERT_TRUE(reads_as_model(frame, model, &r));
                    if (step % 8 == 0) {
                        ASSERT_TRUE(reads_as_model(frame, model)) << "after " << describe(r);
                    }
                }
            ASSERT_EQ(QI_FrameUnlock(frame), 1);
            ASSERT_EQ(QI_FrameLock(frame), 1);
            EXPECT_TRUE(reads_as_model(frame, model));
            for (int i = 0; i < 25; ++i) {
                QI_Rect r = random_rect(rng, width, height);
                EXPECT_TRUE(reads_as_model(frame, model, &r));
            }
            EXPECT_EQ(QI_FrameUnlock(frame), 1);
            EXPECT_EQ(QI_FrameDelete(frame), 1);
        }
}

// Frames of one pixel, and frames whose last tile column or row is one
// pixel wide.
TEST_F(FrameRect, SmallAndSliverFramesRoundTrip) {
    struct Size {
        int32_t w, h;
    } sizes[] = {{1, 1}, {129, 128}, {128, 129}, {257, 1}, {1, 257}, {7, 3}};
    std::mt19937 rng(4);
    for (int32_t kind : kKinds)
        for (int32_t storage : kStorages)
            for (const Size &s : sizes) {
                SCOPED_TRACE(::testing::Message()
                             << "kind " << kind << " storage " << storage << " size " << s.w << "x" << s.h);
                Model model(1, 1, kind);
                int frame = make_frame(s.w, s.h, kind, storage, model, rng);
                ASSERT_GE(frame, 0);
                EXPECT_TRUE(reads_as_model(frame, model));
                QI_Rect corner{s.w - 1, s.h - 1, s.w - 1, s.h - 1};
                std::vector<uint8_t> pixel = random_raster(rng, kind, 1, 1);
                ASSERT_EQ(QI_FrameSetRect(frame, &corner, pixel.data(), kind, kNone, kNone), 1);
                model.write(corner, pixel.data(), kind);
                EXPECT_TRUE(reads_as_model(frame, model, &corner));
                EXPECT_TRUE(reads_as_model(frame, model));
                EXPECT_EQ(QI_FrameUnlock(frame), 1);
                EXPECT_EQ(QI_FrameDelete(frame), 1);
            }
}

TEST_F(FrameRect, RectsOutsideTheFrameAndUnlockedFramesAreRefusedWithoutWriting) {
    const int32_t width = 200, height = 150;
    const QI_Rect outside[] = {
        {-1, 0, 9, 9}, {0, -1, 9, 9}, {190, 0, 200, 9}, {0, 140, 9, 150}, {0, 0, 200, 149}, {0, 0, 199, 150},
    };
    std::mt19937 rng(8);
    for (int32_t kind : kKinds) {
        SCOPED_TRACE(::testing::Message() << "kind " << kind);
        Model model(1, 1, kind);
        int frame = make_frame(width, height, kind, QI_STORAGE_MEMORY, model, rng);
        ASSERT_GE(frame, 0);
        // Large enough for any of the rects above.
        std::vector<uint8_t> source = random_raster(rng, kind, width + 1, height + 1);
        std::vector<uint8_t> mask = random_raster(rng, 1, width + 1, height + 1);
        for (const QI_Rect &r : outside) {
            std::vector<uint8_t> read(source.size(), 0xA5);
            EXPECT_EQ(QI_FrameGetRect(frame, &r, read.data()), 0) << describe(r);
            EXPECT_EQ(read, std::vector<uint8_t>(source.size(), 0xA5)) << describe(r);
            EXPECT_EQ(QI_FrameSetRect(frame, &r, source.data(), kind, kNone, kNone), 0) << describe(r);
            EXPECT_EQ(QI_FrameSetRectTransp(frame, &r, source.data(), mask.data(), kind), 0) << describe(r);
            EXPECT_EQ(QI_FrameSetRectTransp(frame, &r, source.data(), nullptr, kind), 0) << describe(r);
        }
        EXPECT_TRUE(reads_as_model(frame, model));

        // A source kind above the frame's kind.
        for (int32_t sourceKind : kKinds)
            if (sourceKind > kind) {
                QI_Rect r{3, 4, 60, 70};
                std::vector<uint8_t> raster = random_raster(rng, sourceKind, 58, 67);
                EXPECT_EQ(QI_FrameSetRect(frame, &r, raster.data(), sourceKind, kNone, kNone), 0) << sourceKind;
                EXPECT_EQ(QI_FrameSetRect(frame, nullptr, source.data(), sourceKind, kNone, kNone), 0);
                EXPECT_EQ(QI_FrameSetRectTransp(frame, &r, raster.data(), mask.data(), sourceKind), 0);
                EXPECT_EQ(QI_FrameSetRectTransp(frame, &r, raster.data(), nullptr, sourceKind), 0);
            }
        EXPECT_TRUE(reads_as_model(frame, model));

        // Unknown handles.
        std::vector<uint8_t> read(source.size(), 0xA5);
        EXPECT_EQ(QI_FrameGetRect(frame + 1, nullptr, read.data()), 0);
        EXPECT_EQ(QI_FrameGetRect(-1, nullptr, read.data()), 0);
        EXPECT_EQ(QI_FrameSetRect(-1, nullptr, source.data(), kind, kNone, kNone), 0);
        EXPECT_EQ(QI_FrameSetRectTransp(-1, nullptr, source.data(), nullptr, kind), 0);

        // An unlocked frame: nothing read, nothing written.
        ASSERT_EQ(QI_FrameUnlock(frame), 1);
        QI_Rect inside{0, 0, 9, 9};
        EXPECT_EQ(QI_FrameGetRect(frame, nullptr, read.data()), 0);
        EXPECT_EQ(QI_FrameGetRect(frame, &inside, read.data()), 0);
        EXPECT_EQ(read, std::vector<uint8_t>(source.size(), 0xA5));
        EXPECT_EQ(QI_FrameSetRect(frame, nullptr, source.data(), kind, kNone, kNone), 0);
        EXPECT_EQ(QI_FrameSetRect(frame, &inside, source.data(), kind, kNone, kNone), 0);
        EXPECT_EQ(QI_FrameSetRectTransp(frame, nullptr, source.data(), mask.data(), kind), 0);
        EXPECT_EQ(QI_FrameSetRectTransp(frame, &inside, source.data(), nullptr, kind), 0);
        ASSERT_EQ(QI_FrameLock(frame), 1);
        EXPECT_TRUE(reads_as_model(frame, model));
        EXPECT_EQ(QI_FrameUnlock(frame), 1);
        EXPECT_EQ(QI_FrameDelete(frame), 1);
    }
}

// Every colour-key rule, on a 16-pixel run that crosses the edge between
// two tiles, written over a known background. kKeep in the expectations
// means the background pixel survives.
namespace {

constexpr uint32_t kKeep = 0xFFFFFFFFu;
const QI_Rect kKeyRect{120, 0, 135, 1}; // crosses x = 128, two lines

// Background pixel x of a frame of `kind`. Bilevel backgrounds alternate so
// that every source value meets both destination values.
uint32_t background(int32_t kind, int32_t x) {
    if (kind == 1)
        return static_cast<uint32_t>(x & 1);
    return kind == 2 ? 0x40u : 0xE01040u;
}

class FrameRectKeyTest : public FrameRect {
protected:
    // Writes `values` (16 source pixels of `sourceKind`, both lines alike)
    // over the background with keys A and B and checks every pixel.
    void check(int32_t frameKind, int32_t sourceKind, const uint32_t *values, int32_t a, int32_t b,
               const uint32_t *expected) {
        SCOPED_TRACE(::testing::Message() << "frame kind " << frameKind << ", source kind " << sourceKind
                                          << std::hex << ", A " << a << ", B " << b);
        const int32_t width = 136, height = 2;
        int frame = QI_FrameCreate(width, height, frameKind, QI_STORAGE_MEMORY, nullptr, 0);
        ASSERT_GE(frame, 0);
        ASSERT_EQ(QI_FrameLock(frame), 1);
        Model model(width, height, frameKind);
        uint32_t line = QI_GetLineBWi(frameKind, width);
        std::vector<uint8_t> whole(static_cast<size_t>(line) * height);
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x) {
                write_pixel(frameKind, whole.data(), line, x, y, background(frameKind, x));
                model.at(x, y) = background(frameKind, x);
            }
        ASSERT_EQ(QI_FrameSetRect(frame, nullptr, whole.data(), frameKind, kNone, kNone), 1);

        uint32_t sourceLine = QI_GetLineBWi(sourceKind, 16);
        std::vector<uint8_t> source(static_cast<size_t>(sourceLine) * height, 0x5A);
        for (int32_t y = 0; y < height; ++y)
            for (int32_t i = 0; i < 16; ++i) {
                write_pixel(sourceKind, source.data(), sourceLine, i, y, values[i]);
                if (expected[i] != kKeep)
                    model.at(kKeyRect.left + i, y) = expected[i];
            }
        ASSERT_EQ(QI_FrameSetRect(frame, &kKeyRect, source.data(), sourceKind, a, b), 1);
        EXPECT_TRUE(reads_as_model(frame, model));
        EXPECT_EQ(QI_FrameUnlock(frame), 1);
        EXPECT_EQ(QI_FrameDelete(frame), 1);
    }
};

} // namespace

TEST_F(FrameRectKeyTest, BilevelSourcesPaintAWhereWhiteAndBWhereBlack) {
    // Source bits 0011 repeated: with the 0101 background of bilevel
    // frames every source value meets every destination value.
    uint32_t bits[16];
    for (int i = 0; i < 16; ++i)
        bits[i] = (i & 2) ? 1u : 0u;
    struct Case {
        int32_t frameKind, a, b;
        uint32_t onWhite, onBlack;
    } cases[] = {
        {1, kNone, kNone, 1, 0},
        {1, kWhite, kBlack, 1, 0},
        {1, kBlack, kWhite, 0, 1},
        {1, kNone, kBlack, kKeep, 0},
        {1, kWhite, kNone, 1, kKeep},
        {1, kNone, 0x7F7F80, kKeep, 1}, // 128 counts as white
        {1, 0x7F7F7F, kNone, 0, kKeep}, // 127 as black
        {1, 0x2040A0, 0x10E060, 1, 0},  // by the first byte only
        {1, kBlack, kBlack, 0, 0},
        {1, kWhite, kWhite, 1, 1},
        {2, kNone, kNone, 255, 0},
        {2, kWhite, kBlack, 255, 0},
        {2, kBlack, kWhite, 0, 255},
        {2, kNone, kBlack, kKeep, 0},
        {2, kWhite, kNone, 255, kKeep},
        {2, kNone, 0x7F7F80, kKeep, 0x80},
        {2, 0x2040A0, 0x10E060, 0xA0, 0x60},
        {4, kNone, kNone, 0x7F7FFF, 0x7F7F00},
        {4, kWhite, kBlack, 0x7F7FFF, 0x7F7F00},
        {4, kBlack, kWhite, 0x7F7F00, 0x7F7FFF},
        {4, kNone, kBlack, kKeep, 0x7F7F00},
        {4, kWhite, kNone, 0x7F7FFF, kKeep},
        {4, 0x2040A0, 0x10E060, 0x2040A0, 0x10E060},
        {4, kNone, 0x123480, kKeep, 0x123480},
    };
    for (const Case &c : cases) {
        uint32_t expected[16];
        for (int i = 0; i < 16; ++i)
            expected[i] = bits[i] ? c.onWhite : c.onBlack;
        check(c.frameKind, 1, bits, c.a, c.b, expected);
    }
}

TEST_F(FrameRectKeyTest, GreySourcesSkipTheLowByteOfB) {
    const uint32_t levels[16] = {0x00, 0xFF, 0x80, 0x7F, 0x33, 0x34, 0x33, 0xFF,
                                 0x00, 0x80, 0x01, 0xFE, 0x33, 0x7F, 0xC0, 0x10};
    struct Case {
        int32_t a, b;
        int32_t skipped; // the level left out, -1 for none
    } cases[] = {
        {kNone, kNone, -1},    {kWhite, kNone, -1},     {kBlack, kNone, -1},  // A is not used
        {kNone, 0x7F7F33, 0x33}, {kNone, 0x123433, 0x33},                     // only the low byte counts
        {kNone, kWhite, 0xFF}, {kNone, kBlack, 0x00},   {kBlack, 0x7F7F80, 0x80},
    };
    for (int32_t frameKind : {2, 4})
        for (const Case &c : cases) {
            uint32_t expected[16];
            for (int i = 0; i < 16; ++i)
                expected[i] = static_cast<int32_t>(levels[i]) == c.skipped ? kKeep
                              : frameKind == 2                             ? levels[i]
                                                                           : (levels[i] | 0x7F7F00u);
            check(frameKind, 2, levels, c.a, c.b, expected);
        }
}

TEST_F(FrameRectKeyTest, ColourSourcesSkipPixelsEqualToB) {
    // Near misses of the keys differ in one byte only.
    const uint32_t colours[16] = {0x7F7FFF, 0x7F7F00, 0x2040A0, 0x2041A0, 0x2140A0, 0x2040A1, 0x7F7F80, 0x123480,
                                  0x2040A0, 0x7E7FFF, 0x7F7EFF, 0x7F7FFF, 0x000000, 0xFFFFFF, 0x7F7F00, 0x7F0000};
    struct Case {
        int32_t a, b;
        int32_t skipped; // the colour left out, -1 for none
    } cases[] = {
        {kNone, kNone, -1},          {0x2040A0, kNone, -1},      // A is not used
        {kNone, 0x2040A0, 0x2040A0}, {kNone, kWhite, 0x7F7FFF},  {kWhite, kBlack, 0x7F7F00},
        {kNone, 0x7F7F80, 0x7F7F80}, // not (0x80, 0x34, 0x12): all three bytes count
    };
    for (const Case &c : cases) {
        uint32_t expected[16];
        for (int i = 0; i < 16; ++i)
            expected[i] = static_cast<int32_t>(colours[i]) == c.skipped ? kKeep : colours[i];
        check(4, 4, colours, c.a, c.b, expected);
    }
}

// A mask with no white pixel writes everything, one with no black pixel
// nothing; pad bits of the mask are not pixels and do not count.
TEST_F(FrameRect, UniformMasksWriteAllOrNothing) {
    const int32_t width = 300, height = 290;
    const QI_Rect r{100, 90, 260, 200}; // 161 x 111, over four tiles; 161 leaves pad bits
    int32_t w = rect_width(r), h = rect_height(r);
    uint32_t maskLine = QI_GetLineBWi(1, w);
    std::mt19937 rng(16);
    for (int32_t kind : kKinds)
        for (int32_t sourceKind : kKinds) {
            if (sourceKind > kind)
                continue;
            SCOPED_TRACE(::testing::Message() << "frame kind " << kind << ", source kind " << sourceKind);
            Model model(1, 1, kind);
            int frame = make_frame(width, height, kind, QI_STORAGE_MEMORY, model, rng);
            ASSERT_GE(frame, 0);

            // Pixel 160 is the first bit of byte 20; the rest of that byte
            // and byte 21 are pad bits, given the other colour.
            std::vector<uint8_t> mask(static_cast<size_t>(maskLine) * h, 0xFF);
            for (int32_t y = 0; y < h; ++y) {
                mask[static_cast<size_t>(y) * maskLine + 20] = 0x80;
                mask[static_cast<size_t>(y) * maskLine + 21] = 0x00;
            }
            std::vector<uint8_t> source = keyish_raster(rng, sourceKind, w, h);
            qs_test_reset_allocation_count();
            EXPECT_EQ(QI_FrameSetRectTransp(frame, &r, source.data(), mask.data(), sourceKind), 1);
            EXPECT_EQ(qs_test_allocation_count(), 0) << "an all-white mask needs no temporary";
            EXPECT_TRUE(reads_as_model(frame, model)) << "an all-white mask wrote";

            for (int32_t y = 0; y < h; ++y)
                for (uint32_t i = 0; i < maskLine; ++i)
                    mask[static_cast<size_t>(y) * maskLine + i] = i < 20 ? 0x00 : i == 20 ? 0x7F : 0xFF;
            EXPECT_EQ(QI_FrameSetRectTransp(frame, &r, source.data(), mask.data(), sourceKind), 1);
            model.write(r, source.data(), sourceKind);
            EXPECT_TRUE(reads_as_model(frame, model)) << "an all-black mask";
            // An all-black mask is dropped: the write costs what a plain one
            // does, with no temporary copy.
            qs_test_reset_allocation_count();
            EXPECT_EQ(QI_FrameSetRectTransp(frame, &r, source.data(), mask.data(), sourceKind), 1);
            int64_t maskedAllocations = qs_test_allocation_count();
            qs_test_reset_allocation_count();
            EXPECT_EQ(QI_FrameSetRect(frame, &r, source.data(), sourceKind, kNone, kNone), 1);
            EXPECT_EQ(maskedAllocations, qs_test_allocation_count());

            source = keyish_raster(rng, sourceKind, w, h);
            EXPECT_EQ(QI_FrameSetRectTransp(frame, &r, source.data(), nullptr, sourceKind), 1);
            model.write(r, source.data(), sourceKind);
            EXPECT_TRUE(reads_as_model(frame, model)) << "no mask";

            source = keyish_raster(rng, sourceKind, width, height);
            EXPECT_EQ(QI_FrameSetRectTransp(frame, nullptr, source.data(), nullptr, sourceKind), 1);
            model.write(QI_Rect{0, 0, width - 1, height - 1}, source.data(), sourceKind);
            EXPECT_TRUE(reads_as_model(frame, model)) << "no mask, no rect";
            EXPECT_EQ(QI_FrameUnlock(frame), 1);
            EXPECT_EQ(QI_FrameDelete(frame), 1);
        }
}

// Mixed masks: the source where the mask is black, the old frame where it
// is white, whatever the source pixel (white and black source pixels are
// the keys of the two passes inside, so the sources are full of them).
TEST_F(FrameRect, MixedMasksWriteTheSourceUnderBlackOnly) {
    const int32_t width = 300, height = 290;
    std::mt19937 rng(23);
    for (int32_t kind : kKinds)
        for (int32_t storage : kStorages)
            for (int32_t sourceKind : kKinds) {
                if (sourceKind > kind)
                    continue;
                SCOPED_TRACE(::testing::Message()
                             << "frame kind " << kind << ", storage " << storage << ", source kind " << sourceKind);
                Model model(1, 1, kind);
                int frame = make_frame(width, height, kind, storage, model, rng);
                ASSERT_GE(frame, 0);
                for (int i = 0; i < 6; ++i) {
                    // A rect over four tiles, the whole frame (whole tiles,
                    // which keyed writes must still decode), random rects.
                    QI_Rect r = i == 0   ? QI_Rect{100, 90, 260, 200}
                                : i == 1 ? QI_Rect{0, 0, width - 1, height - 1}
                                         : random_rect(rng, width, height);
                    int32_t w = rect_width(r), h = rect_height(r);
                    std::vector<uint8_t> source = keyish_raster(rng, sourceKind, w, h);
                    std::vector<uint8_t> mask = random_raster(rng, 1, w, h);
                    if (i == 5) // mostly white: a few black pixels
                        for (size_t j = 0; j < mask.size(); ++j)
                            mask[j] = static_cast<uint8_t>(j % 7 ? 0xFF : 0xEF);
                    uint32_t line = QI_GetLineBWi(sourceKind, w), maskLine = QI_GetLineBWi(1, w);
                    ASSERT_EQ(QI_FrameSetRectTransp(frame, i == 1 ? nullptr : &r, source.data(), mask.data(),
                                                    sourceKind),
                              1)
                        << describe(r);
                    for (int32_t y = 0; y < h; ++y)
                        for (int32_t x = 0; x < w; ++x)
                            if (read_pixel(1, mask.data(), maskLine, x, y) == 0)
                                model.at(r.left + x, r.top + y) =
                                    convert(sourceKind, read_pixel(sourceKind, source.data(), line, x, y), kind);
                    ASSERT_TRUE(reads_as_model(frame, model)) << "after " << describe(r);
                }
                EXPECT_EQ(QI_FrameUnlock(frame), 1);
                EXPECT_EQ(QI_FrameDelete(frame), 1);
            }
}

// Every allocation of a masked write made to fail in turn: the write
// reports failure and holds on to nothing. Over a frame whose tiles all
// exist the temporary copy is the only allocation, and its failure leaves
// the frame as it was; over a new memory frame the store also grows.
TEST_F(FrameRect, MaskedWriteFailsCleanlyAtEveryAllocation) {
    const int32_t width = 300, height = 290;
    std::mt19937 rng(42);
    for (int32_t kind : kKinds)
        for (int32_t storage : kStorages) {
            SCOPED_TRACE(::testing::Message() << "kind " << kind << ", storage " << storage);
            Model model(1, 1, kind);
            int frame = make_frame(width, height, kind, storage, model, rng);
            ASSERT_GE(frame, 0);
            const QI_Rect r{100, 90, 260, 200};
            int32_t w = rect_width(r), h = rect_height(r);
            std::vector<uint8_t> source = keyish_raster(rng, kind, w, h);
            std::vector<uint8_t> mask = random_raster(rng, 1, w, h);
            int failures = 0;
            for (int64_t n = 1; n < 100; ++n) {
                int64_t live = qs_test_live_blocks();
                qs_test_fail_allocation(n);
                int result = QI_FrameSetRectTransp(frame, &r, source.data(), mask.data(), kind);
                bool hit = qs_test_allocation_count() >= n;
                qs_test_fail_allocation(0);
                if (!hit) {
                    EXPECT_EQ(result, 1);
                    break;
                }
                ++failures;
                EXPECT_EQ(result, 0) << "allocation " << n;
                EXPECT_EQ(qs_test_live_blocks(), live) << "allocation " << n << " leaked";
                EXPECT_TRUE(reads_as_model(frame, model)) << "allocation " << n << " changed the frame";
            }
            EXPECT_GE(failures, 1);
            EXPECT_EQ(QI_FrameUnlock(frame), 1);
            EXPECT_EQ(QI_FrameDelete(frame), 1);
        }

    for (int32_t kind : kKinds) {
        SCOPED_TRACE(::testing::Message() << "new memory frame of kind " << kind);
        int frame = QI_FrameCreate(width, height, kind, QI_STORAGE_MEMORY, nullptr, 0);
        ASSERT_GE(frame, 0);
        ASSERT_EQ(QI_FrameLock(frame), 1);
        std::vector<uint8_t> source = keyish_raster(rng, kind, width, height);
        std::vector<uint8_t> mask = random_raster(rng, 1, width, height);
        int failures = 0;
        for (int64_t n = 1; n < 200; ++n) {
            qs_test_fail_allocation(n);
            int result = QI_FrameSetRectTransp(frame, nullptr, source.data(), mask.data(), kind);
            bool hit = qs_test_allocation_count() >= n;
            qs_test_fail_allocation(0);
            if (!hit) {
                EXPECT_EQ(result, 1);
                break;
            }
            ++failures;
            EXPECT_EQ(result, 0) << "allocation " << n;
        }
        EXPECT_GE(failures, 2) << "only the temporary failed; the store never grew";
        EXPECT_EQ(QI_FrameUnlock(frame), 1);
        EXPECT_EQ(QI_FrameDelete(frame), 1);
    }
}

TEST(FrameRectDmri, ConvertFollowsTheKindRulesAndKeepsBilevelPadBits) {
    const int32_t widths[] = {1, 7, 8, 9, 16, 17, 37, 130};
    const int32_t height = 3;
    std::mt19937 rng(99);
    for (int32_t from : kKinds)
        for (int32_t to : kKinds)
            for (int32_t width : widths) {
                SCOPED_TRACE(::testing::Message() << from << " -> " << to << ", width " << width);
                std::vector<uint8_t> source = random_raster(rng, from, width, height);
                uint32_t sourceLine = QI_GetLineBWi(from, width), line = QI_GetLineBWi(to, width);
                // Levels on both sides of the threshold.
                if (from != 1)
                    for (int32_t x = 0; x < width; x += 3)
                        write_pixel(from, source.data(), sourceLine, x, 0, 0x7F7F7Fu + static_cast<uint32_t>(x % 2));
                std::vector<uint8_t> destination = random_raster(rng, to, width, height);
                std::vector<uint8_t> before = destination;
                QI_DmriConvert(source.data(), width, height, from, destination.data(), to);
                if (from == to) {
                    EXPECT_EQ(destination, source) << "equal kinds copy the bytes";
                    continue;
                }
                for (int32_t y = 0; y < height; ++y)
                    for (int32_t x = 0; x < width; ++x)
                        ASSERT_EQ(read_pixel(to, destination.data(), line, x, y),
                                  convert(from, read_pixel(from, source.data(), sourceLine, x, y), to))
                            << "pixel (" << x << ", " << y << ")";
                if (to != 1)
                    continue;
                for (int32_t y = 0; y < height; ++y)
                    for (int32_t x = width; x < static_cast<int32_t>(line) * 8; ++x)
                        ASSERT_EQ(read_pixel(1, destination.data(), line, x, y), read_pixel(1, before.data(), line, x, y))
                            << "pad bit " << x << " of line " << y;
            }
}

TEST(FrameRectDmri, FlipVertSwapsLinesAroundTheMiddle) {
    for (uint32_t lines : {1u, 2u, 3u, 4u, 5u}) {
        const uint32_t lineBytes = 6;
        std::vector<uint8_t> raster(lineBytes * lines);
        for (size_t i = 0; i < raster.size(); ++i)
            raster[i] = static_cast<uint8_t>(i * 7 + 1);
        std::vector<uint8_t> original = raster;
        ASSERT_EQ(QI_DmriFlipVert(raster.data(), lineBytes, lines), 1);
        for (uint32_t y = 0; y < lines; ++y)
            EXPECT_TRUE(std::equal(raster.begin() + y * lineBytes, raster.begin() + (y + 1) * lineBytes,
                                   original.begin() + (lines - 1 - y) * lineBytes))
                << lines << " lines: line " << y;
        // Twice is the identity.
        ASSERT_EQ(QI_DmriFlipVert(raster.data(), lineBytes, lines), 1);
        EXPECT_EQ(raster, original);
    }
    std::vector<uint8_t> raster = {1, 2, 3, 4};
    EXPECT_EQ(QI_DmriFlipVert(raster.data(), 2, 0), 1);
    EXPECT_EQ(QI_DmriFlipVert(raster.data(), 0, 2), 1);
    EXPECT_EQ(raster, (std::vector<uint8_t>{1, 2, 3, 4}));
}

TEST_F(FrameRect, FlipVertReportsAFailedTemporaryAndLeavesTheRasterAlone) {
    std::vector<uint8_t> raster = {1, 2, 3, 4, 5, 6};
    qs_test_fail_allocation(1);
    EXPECT_EQ(QI_DmriFlipVert(raster.data(), 2, 3), 0);
    qs_test_fail_allocation(0);
    EXPECT_EQ(raster, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
    // Nothing to flip needs no temporary.
    qs_test_fail_allocation(1);
    EXPECT_EQ(QI_DmriFlipVert(raster.data(), 2, 0), 1);
    qs_test_fail_allocation(0);
}
