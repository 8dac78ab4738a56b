// The fast paths of the T.6 coder and of the reduced views, held to peers
// and plain references:
//  - tile and strip streams from t6_encode_raster (the two-word tile rows,
//    repeated rows coded without finding runs, runs of V0 coded at once)
//    are bit for bit libtiff's Group 4 coding of the same rows, without its
//    end-of-block mark;
//  - t6_decode_raster and the row decoder (repeated rows kept as they
//    stand, runs of V0 copied at once, one-lookup tables) read libtiff's
//    Group 4 streams as the pixels libtiff coded;
//  - a stream cut short by one byte fails, whatever path its rows take;
//  - the bilevel views, sampled from the coded tiles, are the base sampled
//    directly, for drawing-like, noisy and rendered rasters of sizes that
//    cut tiles; building them fails cleanly at every allocation.
// Content stresses what the fast paths turn on: rows repeated, rows ending
// black at the width (a repeated row then has no V0 for its end), rows
// with more changes than the 56 bits a repeat check can look at, blank
// tiles, tiles stored raw.
#include "fault_steps.h"
#include "outline_support.h"
#include "raster_support.h"
#include "test_support.h"

#include "raster/codecs/ccitt.h"

#include <tiffio.h>

#include <random>
#include <string>
#include <vector>

using namespace quill_test;

namespace {

// ---- Content: packed bilevel rows (1 white), QI_GetLineBWi(1, w) apart -----

// Drawing-like content: blank rows, rows repeated for a while, vertical and
// horizontal strokes (some touching the right edge), dense noise rows with
// many changes, and rows all black.
Raster drawing(std::mt19937 &random, int32_t width, int32_t height) {
    Raster r(width, height, 1);
    std::vector<uint8_t> row(width, 1);
    for (int32_t y = 0; y < height; ++y) {
        switch (random() % 10) {
        case 0: // start over white
            row.assign(width, 1);
            break;
        case 1: // a vertical stroke starts or ends, maybe at the right edge
        case 2: {
            int32_t x = random() % 3 == 0 ? width - 1 - static_cast<int32_t>(random() % 3) : random() % width;
            int32_t w = 1 + random() % 6;
            for (int32_t i = std::max(0, x); i < std::min(width, x + w); ++i)
                row[i] ^= 1;
            break;
        }
        case 3: // a dense row: many changes
            for (int32_t x = 0; x < width; ++x)
                row[x] = (random() & 3) != 0;
            break;
        case 4: // all black
            row.assign(width, 0);
            break;
        default: // repeat the row
            break;
        }
        std::vector<uint8_t> shown = row;
        if (random() % 8 == 0) // a horizontal stroke on this row only
            for (int32_t x = random() % width; x < width; ++x)
                shown[x] = 0;
        for (int32_t x = 0; x < width; ++x)
            r.set(x, y, shown[x]);
    }
    return r;
}

// Alternating runs of 1 to 3 pixels on every row, the same for `repeat`
// rows: far more than 56 changes a row, so that repeated rows go through
// the element loop's V0 copying instead of the repeat check.
Raster busy(std::mt19937 &random, int32_t width, int32_t height, int32_t repeat) {
    Raster r(width, height, 1);
    for (int32_t y = 0; y < height; ++y) {
        if (y % repeat != 0) {
            memcpy(r.data() + static_cast<size_t>(y) * r.line(), r.data() + static_cast<size_t>(y - 1) * r.line(),
                   r.line());
            continue;
        }
        uint32_t colour = random() & 1;
        for (int32_t x = 0; x < width;) {
            for (int32_t n = 1 + random() % 3; n > 0 && x < width; --n)
                r.set(x++, y, colour);
            colour ^= 1;
        }
    }
    return r;
}

// The standard drawing rendered at 100 dpi (3311 x 2339), or an empty
// raster when ghostscript or the drawing is missing.
Raster rendered_drawing() {
    if (!have_ghostscript())
        return Raster();
    const std::string shared = QUILL_SHARED_DIR;
    BitRaster page = render_ps(shared + "/bench/drawing.ps", 100,
                               "-sEXDIR=" + shared + "/samples/ps --permit-file-read=" + shared + "/samples/ps/");
    if (page.width == 0)
        return Raster();
    Raster r(page.width, page.height, 1);
    for (int32_t y = 0; y < page.height; ++y)
        memcpy(r.data() + static_cast<size_t>(y) * r.line(), page.bytes.data() + static_cast<size_t>(y) * page.line,
               r.line());
    return r;
}

// The w x h part of `r` at (left, top), as a raster of its own.
Raster cut(const Raster &r, int32_t left, int32_t top, int32_t w, int32_t h) {
    Raster part(w, h, 1);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x)
            part.set(x, y, r.get(left + x, top + y));
    return part;
}

// libtiff's Group 4 strip of the raster (rows of ceil(w / 8) bytes, 1
// black for WhiteIsZero), as it stores it: with EOFB.
std::vector<uint8_t> libtiff_g4(const Raster &r, const std::string &path) {
    TIFF *out = TIFFOpen(path.c_str(), "w");
    if (!out)
        return {};
    const uint32_t w = static_cast<uint32_t>(r.width), h = static_cast<uint32_t>(r.height);
    TIFFSetField(out, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(out, TIFFTAG_IMAGELENGTH, h);
    TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, h);
    TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(out, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
    TIFFSetField(out, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    for (int32_t y = 0; y < r.height; ++y) {
        std::vector<uint8_t> row((w + 7) / 8, 0);
        for (int32_t x = 0; x < r.width; ++x)
            if (!r.get(x, y))
                row[x >> 3] |= static_cast<uint8_t>(0x80u >> (x & 7));
        TIFFWriteScanline(out, row.data(), static_cast<uint32_t>(y), 0);
    }
    TIFFClose(out);
    TIFF *in = TIFFOpen(path.c_str(), "r");
    if (!in)
        return {};
    std::vector<uint8_t> raw(static_cast<size_t>(TIFFRawStripSize(in, 0)));
    tmsize_t got = TIFFReadRawStrip(in, 0, raw.data(), static_cast<tmsize_t>(raw.size()));
    TIFFClose(in);
    raw.resize(got < 0 ? 0 : static_cast<size_t>(got));
    return raw;
}

// A Group 4 stream without its EOFB (000000000001 twice, the last one bits
// of the stream), zero-padded to whole bytes: what our coder makes.
std::vector<uint8_t> without_eofb(const std::vector<uint8_t> &stream) {
    size_t bits = stream.size() * 8;
    while (bits > 0 && !((stream[(bits - 1) >> 3] >> (7 - ((bits - 1) & 7))) & 1))
        --bits;
    if (bits < 24)
        return {};
    bits -= 24;
    std::vector<uint8_t> out((bits + 7) / 8, 0);
    for (size_t i = 0; i < bits; ++i)
        if ((stream[i >> 3] >> (7 - (i & 7))) & 1)
            out[i >> 3] |= static_cast<uint8_t>(0x80u >> (i & 7));
    return out;
}

// ---- Our coder -------------------------------------------------------------

std::vector<uint8_t> our_g4(const Raster &r) {
    std::vector<uint8_t> out(static_cast<size_t>(r.line()) * r.height * 4 + 64);
    int32_t n = quill::t6_encode_raster(r.data(), r.line(), static_cast<uint32_t>(r.width),
                                        static_cast<uint32_t>(r.height), out.data(), static_cast<uint32_t>(out.size()));
    out.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return out;
}

// t6_decode_raster of a stream held in a buffer of its exact size (the
// sanitizers see any read past it); false when it fails.
bool our_decode(const std::vector<uint8_t> &stream, int32_t width, int32_t height, Raster &out) {
    std::vector<uint8_t> exact(stream);
    out = Raster(width, height, 1, 0x00);
    return quill::t6_decode_raster(exact.data(), exact.size(), static_cast<uint32_t>(width),
                                   static_cast<uint32_t>(height), out.data(), out.line());
}

// The rows decoded one by one through the row interface, drawn from pairs().
bool row_decode(const std::vector<uint8_t> &stream, int32_t width, int32_t height, Raster &out) {
    quill::T6Decoder decoder;
    if (!decoder.init(static_cast<uint32_t>(width)))
        return false;
    quill::BitReader reader(stream.data(), stream.size());
    out = Raster(width, height, 1);
    for (int32_t y = 0; y < height; ++y) {
        if (!decoder.decode_row(reader))
            return false;
        const uint16_t *pairs = decoder.pairs();
        for (uint32_t i = 0; i < decoder.pair_count(); ++i)
            for (uint32_t x = pairs[2 * i]; x < pairs[2 * i + 1]; ++x)
                out.set(static_cast<int32_t>(x), y, 0);
    }
    return true;
}

struct Shape {
    int32_t width, height;
};

// Tile shapes (whole, and cut at the right or bottom edge of a frame), then
// strip shapes wider than a tile.
const Shape kShapes[] = {{128, 128}, {60, 12},  {1, 1},     {1, 128},    {7, 40},    {63, 128},  {64, 128},
                         {65, 77},   {127, 128}, {128, 3},   {129, 60},   {300, 90},  {1000, 70}, {1728, 40},
                         {5000, 24}};

class T6FastPaths : public LibraryFixture {};

} // namespace

// Our coding of every shape and content (and of tiles of the rendered
// drawing, edge tiles included) is libtiff's without its end mark, and
// libtiff's coding decodes, through the raster and the row interfaces, to
// the pixels it coded with the pad bits white.
TEST_F(T6FastPaths, CodingIsLibtiffsAndLibtiffsDecodesToItsPixels) {
    std::mt19937 random(61);
    std::vector<Raster> sources;
    for (const Shape &s : kShapes) {
        sources.push_back(drawing(random, s.width, s.height));
        sources.push_back(busy(random, s.width, s.height, 1 + random() % 9));
        sources.push_back(Raster(s.width, s.height, 1, static_cast<uint8_t>(random() & 1 ? 0 : 0xFF)));
    }
    Raster page = rendered_drawing(); // empty without ghostscript
    for (int32_t top = 0; top < page.height; top += 128 * 3)
        for (int32_t left = (top / 128) % 5 * 128; left < page.width; left += 128 * 4)
            sources.push_back(cut(page, left, top, std::min(128, page.width - left), std::min(128, page.height - top)));
    TempDir dir;
    for (const Raster &r : sources) {
        const std::string what = std::to_string(r.width) + "x" + std::to_string(r.height);
        std::vector<uint8_t> theirs = libtiff_g4(r, dir.path() + "/g4.tif");
        ASSERT_FALSE(theirs.empty()) << what;
        ASSERT_EQ(our_g4(r), without_eofb(theirs)) << what;
        Raster byRaster, byRow;
        ASSERT_TRUE(our_decode(theirs, r.width, r.height, byRaster)) << what;
        ASSERT_TRUE(same_pixels(byRaster, r)) << what;
        for (int32_t y = 0; y < r.height; ++y)
            for (int32_t x = r.width; x < static_cast<int32_t>(byRaster.line() * 8); ++x)
                ASSERT_EQ(byRaster.get(x, y), 1u) << what << " pad (" << x << ", " << y << ")";
        ASSERT_TRUE(row_decode(theirs, r.width, r.height, byRow)) << what;
        ASSERT_TRUE(same_pixels(byRow, r)) << what;
    }
}



// For our streams of every shape and content:
//  - a stream one byte short fails in every decoder (the last byte holds
//    bits of the last row), whichever path its rows take (repeated, V0
//    runs, the element loop);
//  - a flipped bit fails in the raster and the row decoders alike or gives
//    both the same pixels, and no decoder reads past the data.
TEST_F(T6FastPaths, DecodersAgreeAndStopAtTheEndOfTheData) {
    std::mt19937 random(63);
    for (const Shape &s : kShapes) {
        for (int content = 0; content < 3; ++content) {
            const std::string what = std::to_string(s.width) + "x" + std::to_string(s.height) + " content " +
                                     std::to_string(content);
            Raster r = content == 0   ? drawing(random, s.width, s.height)
                       : content == 1 ? busy(random, s.width, s.height, 1 + random() % 9)
                                      : Raster(s.width, s.height, 1, 0xFF);
            std::vector<uint8_t> stream = our_g4(r), shorter(stream.begin(), stream.end() - 1);
            Raster drawn, a, b;
            ASSERT_TRUE(our_decode(stream, s.width, s.height, drawn)) << what;
            EXPECT_FALSE(our_decode(shorter, s.width, s.height, a)) << what;
            EXPECT_FALSE(row_decode(shorter, s.width, s.height, a)) << what;
            for (int flip = 0; flip < 20; ++flip) {
                std::vector<uint8_t> damaged = stream;
                size_t bit = random() % (damaged.size() * 8);
                damaged[bit >> 3] ^= static_cast<uint8_t>(0x80u >> (bit & 7));
                bool byRaster = our_decode(damaged, s.width, s.height, a);
                ASSERT_EQ(byRaster, row_decode(damaged, s.width, s.height, b)) << what << " bit " << bit;
                ASSERT_TRUE(!byRaster || same_pixels(a, b)) << what << " bit " << bit;
            }
        }
    }
}

// Near the end of the data the reader's buffer can hold 64 bits, all ones:
// 8 left in it when the last 7 bytes are loaded one by one. The count of
// leading ones stops at 56, so that the decoders' skip of them is never a
// shift by 64 (undefined; the sanitizer build trapped on it while building
// the views of the rendered drawing, and a plain build could have kept the
// ones and read rows that are not there).
TEST_F(T6FastPaths, LeadingOnesNeverCoverTheWholeBuffer) {
    const std::vector<uint8_t> ones(14, 0xFF);
    quill::BitReader reader(ones.data(), ones.size());
    reader.ensure16();
    reader.skip(48);
    reader.ensure(56);
    const uint32_t count = reader.leading_ones();
    EXPECT_EQ(count, 56u);
    reader.skip(count);
    EXPECT_EQ(reader.bit_position(), 104u);
    EXPECT_EQ(reader.leading_ones(), 8u) << "the last byte's ones, and no more";
    reader.skip(8);
    EXPECT_EQ(reader.leading_ones(), 0u);
    EXPECT_FALSE(reader.overrun());
}


// ---- Views sampled from the coded tiles ------------------------------------

namespace {

std::vector<int> view_chain(int frame) {
    std::vector<int> views;
    for (int v = QI_FrameGetData(frame)->nextView; v != -1; v = QI_FrameGetData(v)->nextView)
        views.push_back(v);
    return views;
}

// Each view of the frame is the base sampled at (f x, f y).
::testing::AssertionResult views_sample(int frame, const Raster &base) {
    std::vector<int> views = view_chain(frame);
    if (views.size() != 3)
        return ::testing::AssertionFailure() << views.size() << " views";
    for (int i = 0; i < 3; ++i) {
        const int f = 2 << i;
        Raster view = frame_pixels(views[i]);
        if (view.width != (base.width + f - 1) / f || view.height != (base.height + f - 1) / f)
            return ::testing::AssertionFailure() << "1/" << f << " view is " << view.width << "x" << view.height;
        Raster expected(view.width, view.height, 1);
        for (int32_t y = 0; y < view.height; ++y)
            for (int32_t x = 0; x < view.width; ++x)
                expected.set(x, y, base.get(f * x, f * y));
        ::testing::AssertionResult same = same_pixels(view, expected);
        if (!same)
            return same << " in the 1/" << f << " view";
    }
    return ::testing::AssertionSuccess();
}

} // namespace

TEST_F(T6FastPaths, BilevelViewsAreTheBaseSampledForSizesThatCutTiles) {
    Raster page = rendered_drawing();
    if (page.width != 0) {
        int frame = frame_from(page);
        ASSERT_GE(frame, 0);
        ASSERT_EQ(QI_FrameViewOptimize(frame, 1), 1);
        EXPECT_TRUE(views_sample(frame, page)) << "the rendered drawing";
        EXPECT_EQ(QI_FrameDelete(frame), 1);
    }
    std::mt19937 random(64);
    const Shape shapes[] = {{129, 129}, {300, 290}, {1000, 129}, {129, 700}, {517, 389}, {1030, 260}, {136, 1031}};
    for (const Shape &s : shapes) {
        for (int content = 0; content < 3; ++content) {
            Raster base(s.width, s.height, 1);
            if (content == 0) {
                base = drawing(random, s.width, s.height);
            } else if (content == 1) {
                base = busy(random, s.width, s.height, 3); // tiles stored raw
            } else {
                // Mostly blank: a few strokes, so most tiles have no record.
                for (int n = 0; n < 6; ++n) {
                    int32_t x = random() % s.width, y = random() % s.height;
                    for (int32_t i = 0; i < 200; ++i)
                        base.set(std::min(s.width - 1, x + i), y, 0);
                }
            }
            for (int32_t storage : {1, 2}) {
                int frame = frame_from(base, storage);
                ASSERT_GE(frame, 0);
                ASSERT_EQ(QI_FrameViewOptimize(frame, 1), 1);
                EXPECT_TRUE(views_sample(frame, base))
                    << s.width << "x" << s.height << " content " << content << " storage " << storage;
                EXPECT_EQ(QI_FrameDelete(frame), 1);
            }
        }
    }
}


TEST_F(T6FastPaths, BuildingBilevelViewsFailsCleanlyAtEveryAllocation) {
    std::mt19937 random(65);
    Raster base = drawing(random, 300, 270);
    int frame = frame_from(base);
    ASSERT_GE(frame, 0);
    int64_t failures = 0;
    fail_each_step(
        kFailAllocation, [&] { return QI_FrameViewOptimize(frame, 1) == 1; },
        [&](int64_t n) {
            failures = n;
            EXPECT_TRUE(view_chain(frame).empty()) << "views left after failing allocation " << n;
            int count = 0;
            QI_FrameLibraryInfo(&count, nullptr);
            EXPECT_EQ(count, 1) << "frames left after failing allocation " << n;
        });
    EXPECT_GE(failures, 4) << "the three views and their buffers are allocated";
    EXPECT_TRUE(views_sample(frame, base));
    EXPECT_EQ(QI_FrameDelete(frame), 1);
}
