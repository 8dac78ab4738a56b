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

// ---- libtiff's Group 4 coding, through a one-strip file --------------------

// libtiff's rows for WhiteIsZero: 1 black, ceil(w / 8) bytes.
std::vector<uint8_t> tiff_row(const Raster &r, int32_t y) {
    std::vector<uint8_t> row((r.width + 7) / 8, 0);
    for (int32_t x = 0; x < r.width; ++x)
        if (!r.get(x, y))
            row[x >> 3] |= static_cast<uint8_t>(0x80u >> (x & 7));
    return row;
}

void set_g4_tags(TIFF *tiff, const Raster &r) {
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(r.width));
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(r.height));
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(tiff, TIFFTAG_FILLORDER, FILLORDER_MSB2LSB);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(r.height));
}

// libtiff's Group 4 strip of the raster, as it stores it (with EOFB).
std::vector<uint8_t> libtiff_g4(const Raster &r, const std::string &path) {
    TIFF *out = TIFFOpen(path.c_str(), "w");
    if (!out)
        return {};
    set_g4_tags(out, r);
    for (int32_t y = 0; y < r.height; ++y) {
        std::vector<uint8_t> row = tiff_row(r, y);
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

TEST_F(T6FastPaths, OurStreamsAreLibtiffsGroup4CodingWithoutItsEndMark) {
    std::mt19937 random(61);
    TempDir dir;
    const std::string path = dir.path() + "/g4.tif";
    for (const Shape &s : kShapes) {
        for (int content = 0; content < 3; ++content) {
            Raster r = content == 0   ? drawing(random, s.width, s.height)
                       : content == 1 ? busy(random, s.width, s.height, 1 + random() % 9)
                                      : Raster(s.width, s.height, 1, static_cast<uint8_t>(random() & 1 ? 0 : 0xFF));
            std::vector<uint8_t> ours = our_g4(r);
            ASSERT_FALSE(ours.empty()) << s.width << "x" << s.height << " content " << content;
            std::vector<uint8_t> theirs = libtiff_g4(r, path);
            ASSERT_FALSE(theirs.empty());
            EXPECT_EQ(ours, without_eofb(theirs)) << s.width << "x" << s.height << " content " << content;
        }
    }
}

TEST_F(T6FastPaths, WeDecodeLibtiffStreamsToItsPixelsByRasterAndByRow) {
    std::mt19937 random(62);
    TempDir dir;
    const std::string path = dir.path() + "/g4.tif";
    for (const Shape &s : kShapes) {
        for (int content = 0; content < 2; ++content) {
            Raster r = content == 0 ? drawing(random, s.width, s.height)
                                    : busy(random, s.width, s.height, 1 + random() % 9);
            std::vector<uint8_t> stream = libtiff_g4(r, path);
            ASSERT_FALSE(stream.empty());
            Raster byRaster, byRow;
            ASSERT_TRUE(our_decode(stream, s.width, s.height, byRaster)) << s.width << "x" << s.height;
            EXPECT_TRUE(same_pixels(byRaster, r)) << s.width << "x" << s.height << " content " << content;
            // Pad bits white, as the decoder promises.
            for (int32_t y = 0; y < s.height; ++y)
                for (int32_t x = s.width; x < static_cast<int32_t>(byRaster.line() * 8); ++x)
                    ASSERT_EQ(byRaster.get(x, y), 1u) << s.width << "x" << s.height << " pad (" << x << ", " << y << ")";
            ASSERT_TRUE(row_decode(stream, s.width, s.height, byRow)) << s.width << "x" << s.height;
            EXPECT_TRUE(same_pixels(byRow, r)) << s.width << "x" << s.height << " content " << content;
        }
    }
}

TEST_F(T6FastPaths, TilesOfTheRenderedDrawingCodeAsLibtiffAndDecodeBack) {
    Raster page = rendered_drawing();
    if (page.width == 0)
        GTEST_SKIP() << "the drawing could not be rendered (ghostscript or " << QUILL_SHARED_DIR << " missing)";
    TempDir dir;
    const std::string path = dir.path() + "/g4.tif";
    int32_t compared = 0;
    // Every third tile of the page (edge tiles included), against libtiff.
    for (int32_t top = 0; top < page.height; top += 128) {
        for (int32_t left = 0; left < page.width; left += 128) {
            if (((top + left) / 128) % 3 != 0 && left + 128 < page.width && top + 128 < page.height)
                continue;
            Raster tile = cut(page, left, top, std::min(128, page.width - left), std::min(128, page.height - top));
            std::vector<uint8_t> ours = our_g4(tile);
            ASSERT_EQ(ours, without_eofb(libtiff_g4(tile, path))) << "tile at (" << left << ", " << top << ")";
            Raster back;
            ASSERT_TRUE(our_decode(ours, tile.width, tile.height, back));
            ASSERT_TRUE(same_pixels(back, tile)) << "tile at (" << left << ", " << top << ")";
            ++compared;
        }
    }
    EXPECT_GT(compared, 150);
}

// Truncation by one byte always takes bits of the last row away (a stream
// ends with its last row's bits, padded only within its last byte), so it
// must fail, whether that row is repeated (all one bits), copies V0 runs or
// takes the element loop; flipping a bit gives a failure or some raster,
// never a read past the data.
TEST_F(T6FastPaths, StreamsCutShortFailAndDamagedOnesStayInsideTheirData) {
    std::mt19937 random(63);
    for (const Shape &s : kShapes) {
        for (int content = 0; content < 3; ++content) {
            Raster r = content == 0   ? drawing(random, s.width, s.height)
                       : content == 1 ? busy(random, s.width, s.height, 4)
                                      : Raster(s.width, s.height, 1, 0xFF);
            std::vector<uint8_t> stream = our_g4(r);
            ASSERT_FALSE(stream.empty());
            Raster out;
            std::vector<uint8_t> shorter(stream.begin(), stream.end() - 1);
            EXPECT_FALSE(our_decode(shorter, s.width, s.height, out))
                << s.width << "x" << s.height << " content " << content;
            EXPECT_FALSE(row_decode(shorter, s.width, s.height, out))
                << s.width << "x" << s.height << " content " << content;
            for (int flip = 0; flip < 20; ++flip) {
                std::vector<uint8_t> damaged = stream;
                size_t bit = random() % (damaged.size() * 8);
                damaged[bit >> 3] ^= static_cast<uint8_t>(0x80u >> (bit & 7));
                Raster a, b;
                bool byRaster = our_decode(damaged, s.width, s.height, a);
                bool byRow = row_decode(damaged, s.width, s.height, b);
                ASSERT_EQ(byRaster, byRow) << s.width << "x" << s.height << " bit " << bit;
                if (byRaster) {
                    ASSERT_TRUE(same_pixels(a, b)) << s.width << "x" << s.height << " bit " << bit;
                }
            }
        }
    }
}

namespace {

struct HandedRow {
    uint32_t y;
    uint64_t high, low;
    bool operator==(const HandedRow &o) const { return y == o.y && high == o.high && low == o.low; }
};

void collect_row(void *context, uint32_t y, uint64_t high, uint64_t low) {
    static_cast<std::vector<HandedRow> *>(context)->push_back(HandedRow{y, high, low});
}

} // namespace

// The row decoder that the views use hands over every step-th row as the
// raster decoder draws it (pixels past the width white), decoding the rows
// between without drawing them; it fails where the raster decoder fails.
TEST_F(T6FastPaths, NarrowRowDecodingHandsOverTheRowsTheRasterDecoderDraws) {
    std::mt19937 random(66);
    for (const Shape &s : kShapes) {
        if (s.width > 128)
            continue;
        for (int content = 0; content < 3; ++content) {
            Raster r = content == 0   ? drawing(random, s.width, s.height)
                       : content == 1 ? busy(random, s.width, s.height, 1 + random() % 9)
                                      : Raster(s.width, s.height, 1, 0xFF);
            std::vector<uint8_t> stream = our_g4(r);
            Raster drawn;
            ASSERT_TRUE(our_decode(stream, s.width, s.height, drawn));
            for (uint32_t step : {1u, 2u, 3u, 8u, 200u}) {
                std::vector<HandedRow> expected, got;
                for (int32_t y = 0; y < s.height; y += static_cast<int32_t>(step)) {
                    HandedRow row{static_cast<uint32_t>(y), 0, 0};
                    quill::narrow_row_words(drawn.data() + static_cast<size_t>(y) * drawn.line(),
                                            static_cast<uint32_t>(s.width), row.high, row.low);
                    expected.push_back(row);
                }
                ASSERT_TRUE(quill::t6_decode_narrow_rows(stream.data(), stream.size(), static_cast<uint32_t>(s.width),
                                                         static_cast<uint32_t>(s.height), step, collect_row, &got))
                    << s.width << "x" << s.height << " step " << step;
                EXPECT_TRUE(got == expected) << s.width << "x" << s.height << " content " << content << " step " << step;
                std::vector<uint8_t> shorter(stream.begin(), stream.end() - 1);
                EXPECT_FALSE(quill::t6_decode_narrow_rows(shorter.data(), shorter.size(), static_cast<uint32_t>(s.width),
                                                          static_cast<uint32_t>(s.height), step, collect_row, &got));
            }
        }
    }
    std::vector<HandedRow> none;
    const uint8_t ones[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_FALSE(quill::t6_decode_narrow_rows(ones, 4, 129, 1, 1, collect_row, &none)) << "wider than a tile";
    EXPECT_FALSE(quill::t6_decode_narrow_rows(ones, 4, 128, 1, 0, collect_row, &none)) << "no step";
    EXPECT_TRUE(none.empty());
}

// Repeated rows coded as a block are the bytes of coding them one by one
// from their runs, and the decoder takes them back as a block, row count
// for row count, leaving the reader at the next row.
TEST_F(T6FastPaths, RepeatedRowsCodeAndDecodeAsBlocks) {
    struct Case {
        uint32_t width;
        std::vector<uint16_t> pairs; // the row repeated
        uint32_t repeats;
    } cases[] = {
        {128, {}, 200},                 // white: one bit a row
        {128, {3, 9, 100, 128}, 40},    // ends black at the width: no V0 for the end
        {60, {0, 60}, 70},              // all black
        {1000, {5, 6, 990, 1000}, 30},  // a strip row
        {128, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27,
               28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51, 52, 53,
               54, 55, 56, 57},
         9}, // 58 elements: too many for one look at the bits
    };
    for (const Case &c : cases) {
        const uint32_t count = static_cast<uint32_t>(c.pairs.size() / 2);
        std::vector<uint8_t> blocks(4096), single(4096);
        quill::T6Encoder a, b;
        ASSERT_TRUE(a.init(c.width));
        ASSERT_TRUE(b.init(c.width));
        int32_t na = a.encode_row(c.pairs.data(), count, blocks.data(), 4096);
        int32_t nb = b.encode_row(c.pairs.data(), count, single.data(), 4096);
        ASSERT_GE(na, 0);
        ASSERT_GE(nb, 0);
        int32_t m = a.encode_repeats(c.repeats, blocks.data() + na, 4096 - static_cast<uint32_t>(na));
        ASSERT_GE(m, 0);
        na += m;
        for (uint32_t i = 0; i < c.repeats; ++i) {
            m = b.encode_row(c.pairs.data(), count, single.data() + nb, 4096 - static_cast<uint32_t>(nb));
            ASSERT_GE(m, 0);
            nb += m;
        }
        // One more row, a different one, so that the decoder meets a row
        // that is not a repeat.
        const std::vector<uint16_t> last = c.pairs.empty() ? std::vector<uint16_t>{0, 1} : std::vector<uint16_t>{};
        const uint32_t lastCount = static_cast<uint32_t>(last.size() / 2);
        m = a.encode_row(last.data(), lastCount, blocks.data() + na, 4096 - static_cast<uint32_t>(na));
        na += m + a.finish(blocks.data() + na + m, 4096 - static_cast<uint32_t>(na + m));
        m = b.encode_row(last.data(), lastCount, single.data() + nb, 4096 - static_cast<uint32_t>(nb));
        nb += m + b.finish(single.data() + nb + m, 4096 - static_cast<uint32_t>(nb + m));
        blocks.resize(static_cast<size_t>(na));
        single.resize(static_cast<size_t>(nb));
        EXPECT_EQ(blocks, single) << "width " << c.width << " elements " << c.pairs.size();

        quill::T6Decoder decoder;
        ASSERT_TRUE(decoder.init(c.width));
        quill::BitReader reader(blocks.data(), blocks.size());
        ASSERT_TRUE(decoder.decode_row(reader));
        const uint32_t taken = decoder.decode_repeats(reader, c.repeats + 5);
        uint32_t rows = taken;
        // Lines too long for the look at the bits repeat through decode_row.
        while (rows < c.repeats) {
            ASSERT_TRUE(decoder.decode_row(reader));
            ASSERT_EQ(std::vector<uint16_t>(decoder.pairs(), decoder.pairs() + 2 * decoder.pair_count()), c.pairs);
            ++rows;
        }
        EXPECT_EQ(taken, c.pairs.size() + 1 > 56 ? 0u : c.repeats) << "width " << c.width;
        ASSERT_TRUE(decoder.decode_row(reader));
        EXPECT_EQ(std::vector<uint16_t>(decoder.pairs(), decoder.pairs() + 2 * decoder.pair_count()), last)
            << "the row after the repeats";
        EXPECT_FALSE(decoder.row_repeated());
        EXPECT_FALSE(reader.overrun());
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

// A stream of k one bytes holds 8k white rows (one V0 each) and no more:
// the repeated-row paths must not read a row from bits past the data. The
// reader's buffer holds 64 one bits at some k near the data's end, where a
// skip of them all would be a shift by 64 (the sanitizer build traps on it;
// a plain build kept the ones and went on reading rows that are not there).
TEST_F(T6FastPaths, RowsOfOneBitsEndWithTheData) {
    for (uint32_t k = 1; k <= 40; ++k) {
        const std::vector<uint8_t> ones(k, 0xFF);
        for (uint32_t width : {1u, 128u, 300u}) {
            Raster out;
            EXPECT_TRUE(our_decode(ones, static_cast<int32_t>(width), static_cast<int32_t>(8 * k), out))
                << k << " bytes, width " << width;
            EXPECT_TRUE(same_pixels(out, Raster(static_cast<int32_t>(width), static_cast<int32_t>(8 * k), 1)));
            EXPECT_FALSE(our_decode(ones, static_cast<int32_t>(width), static_cast<int32_t>(8 * k + 1), out))
                << k << " bytes, width " << width << ": a row past the data";
            std::vector<HandedRow> rows;
            if (width <= 128) {
                EXPECT_TRUE(quill::t6_decode_narrow_rows(ones.data(), ones.size(), width, 8 * k, 1, collect_row, &rows));
                EXPECT_EQ(rows.size(), 8 * k);
                EXPECT_FALSE(quill::t6_decode_narrow_rows(ones.data(), ones.size(), width, 8 * k + 1, 1, collect_row, &rows));
            }
        }
    }
    // A first row of m changes, then R repeats of it (m + 1 one bits each, or
    // m when the row ends black at the width): every phase of the ones
    // against the reader's refills. R + 1 rows decode, R + 2 do not.
    for (uint32_t m = 0; m <= 40; ++m) {
        const uint32_t width = 128;
        std::vector<uint16_t> pairs;
        for (uint32_t i = 0; i < m; ++i)
            pairs.push_back(static_cast<uint16_t>(3 * i + 2));
        if (m % 2 == 1) // odd: the last pair closes at the width
            pairs.back() = static_cast<uint16_t>(width);
        if (pairs.size() % 2 == 1)
            pairs.pop_back();
        for (uint32_t repeats = 1; repeats <= 150; ++repeats) {
            quill::T6Encoder encoder;
            ASSERT_TRUE(encoder.init(width));
            std::vector<uint8_t> stream(4096);
            int32_t n = encoder.encode_row(pairs.data(), static_cast<uint32_t>(pairs.size() / 2), stream.data(), 4096);
            ASSERT_GE(n, 0);
            int32_t r = encoder.encode_repeats(repeats, stream.data() + n, 4096 - static_cast<uint32_t>(n));
            ASSERT_GE(r, 0);
            n += r;
            n += encoder.finish(stream.data() + n, 4096 - static_cast<uint32_t>(n));
            stream.resize(static_cast<size_t>(n));
            Raster out;
            ASSERT_TRUE(our_decode(stream, width, static_cast<int32_t>(repeats + 1), out)) << m << " changes, " << repeats;
            ASSERT_FALSE(our_decode(stream, width, static_cast<int32_t>(repeats + 2), out)) << m << " changes, " << repeats;
            std::vector<HandedRow> rows;
            ASSERT_FALSE(quill::t6_decode_narrow_rows(stream.data(), stream.size(), width, repeats + 2, 1, collect_row,
                                                      &rows))
                << m << " changes, " << repeats;
        }
    }
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

TEST_F(T6FastPaths, ViewsOfTheRenderedDrawingAreItsSamples) {
    Raster page = rendered_drawing();
    if (page.width == 0)
        GTEST_SKIP() << "the drawing could not be rendered (ghostscript or " << QUILL_SHARED_DIR << " missing)";
    int frame = frame_from(page);
    ASSERT_GE(frame, 0);
    ASSERT_EQ(QI_FrameViewOptimize(frame, 1), 1);
    EXPECT_TRUE(views_sample(frame, page));
    EXPECT_EQ(QI_FrameDelete(frame), 1);
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
