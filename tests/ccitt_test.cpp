// The bilevel run codecs: black-run lists to packed rows and back, the T.4
// code tables, modified Huffman and T.6 row decoding, T.6 row encoding.
//
// Oracles: plain per-pixel versions of the run finder and the run drawer
// kept here; the code lists of T.4 for the table properties; libtiff for the
// streams (our T.6 code read by libtiff, libtiff's Group 4 and modified
// Huffman strips read by us). Hostile input: truncated, bit-flipped and
// random streams in buffers of their exact size, so that the sanitizer build
// catches any read past the end.
#include "test_support.h"

#include "raster/codecs/bilevel_tables.h"
#include "raster/codecs/black_runs.h"
#include "raster/codecs/ccitt.h"

#include <tiffio.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

using namespace quill_test;

namespace {

// ---- Rows as one byte per pixel: the plain model ---------------------------

using Pixels = std::vector<uint8_t>; // 1 white, 0 black
using Pairs = std::vector<uint16_t>; // start, end, start, end ...

uint32_t row_bytes(uint32_t width) { return ((width + 15) / 16) * 2; }

// The packed row of `pixels` with its pad bits white.
std::vector<uint8_t> packed(const Pixels &pixels) {
    std::vector<uint8_t> row(row_bytes(static_cast<uint32_t>(pixels.size())), 0xFF);
    for (size_t x = 0; x < pixels.size(); ++x)
        if (!pixels[x])
            row[x >> 3] &= static_cast<uint8_t>(~(0x80u >> (x & 7)));
    return row;
}

// Per-pixel run finder: the oracle of the table-driven one.
Pairs runs_of(const Pixels &pixels) {
    Pairs pairs;
    for (size_t x = 0; x < pixels.size();) {
        if (pixels[x]) {
            ++x;
            continue;
        }
        size_t start = x;
        while (x < pixels.size() && !pixels[x])
            ++x;
        pairs.push_back(static_cast<uint16_t>(start));
        pairs.push_back(static_cast<uint16_t>(x));
    }
    return pairs;
}

// Per-pixel run drawer (clipping ends to the width, skipping empty pairs).
Pixels pixels_of(const Pairs &pairs, uint32_t width) {
    Pixels pixels(width, 1);
    for (size_t i = 0; i + 1 < pairs.size(); i += 2)
        for (uint32_t x = pairs[i]; x < std::min<uint32_t>(pairs[i + 1], width); ++x)
            pixels[x] = 0;
    return pixels;
}

// Runs are canonical: ascending, non-empty, inside the width, not touching.
::testing::AssertionResult canonical(const uint16_t *pairs, uint32_t count, uint32_t width) {
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t start = pairs[2 * i], end = pairs[2 * i + 1];
        if (start >= end || end > width)
            return ::testing::AssertionFailure() << "pair " << i << " (" << start << ", " << end << ")";
        if (i > 0 && start <= pairs[2 * i - 1])
            return ::testing::AssertionFailure() << "pair " << i << " touches or precedes the one before";
    }
    return ::testing::AssertionSuccess();
}

// ---- Content ---------------------------------------------------------------

Pixels noise_row(std::mt19937 &random, uint32_t width, uint32_t percentBlack) {
    Pixels row(width);
    for (uint8_t &p : row)
        p = random() % 100 < percentBlack ? 0 : 1;
    return row;
}

// Runs of random lengths from 1 to `longest`, alternating colours.
Pixels run_row(std::mt19937 &random, uint32_t width, uint32_t longest, bool blackFirst) {
    Pixels row(width);
    uint8_t colour = blackFirst ? 0 : 1;
    for (uint32_t x = 0; x < width;) {
        uint32_t n = 1 + random() % longest;
        for (uint32_t i = 0; i < n && x < width; ++i)
            row[x++] = colour;
        colour ^= 1;
    }
    return row;
}

// The previous row with its edges moved by up to 4 pixels and a few runs
// added: what vertical and pass modes are for.
Pixels drift_row(std::mt19937 &random, const Pixels &previous) {
    uint32_t width = static_cast<uint32_t>(previous.size());
    Pixels row = previous;
    for (uint32_t x = 1; x < width; ++x) {
        if (previous[x] == previous[x - 1] || random() % 3 == 0)
            continue;
        int shift = static_cast<int>(random() % 9) - 4;
        for (int s = 0; s != shift; s += shift > 0 ? 1 : -1) {
            int32_t at = static_cast<int32_t>(x) + (shift > 0 ? s : s - 1);
            if (at >= 0 && at < static_cast<int32_t>(width))
                row[at] = shift > 0 ? previous[x - 1] : previous[x];
        }
    }
    if (random() % 4 == 0) {
        uint32_t at = random() % width, n = 1 + random() % 40;
        for (uint32_t i = at; i < std::min(width, at + n); ++i)
            row[i] = 0;
    }
    return row;
}

// A mix of rows: drifting drawings, noise of three densities, long runs,
// uniform rows and rows that start or end black.
std::vector<Pixels> image(std::mt19937 &random, uint32_t width, uint32_t height) {
    std::vector<Pixels> rows;
    Pixels row = run_row(random, width, 300, false);
    for (uint32_t y = 0; y < height; ++y) {
        switch (random() % 12) {
        case 0:
            row = noise_row(random, width, 50);
            break;
        case 1:
            row = noise_row(random, width, 3);
            break;
        case 2:
            row = noise_row(random, width, 97);
            break;
        case 3:
            row = run_row(random, width, 6000, random() & 1);
            break;
        case 4:
            row = Pixels(width, random() & 1);
            break;
        case 5:
            row = run_row(random, width, 70, true);
            break;
        default:
            row = drift_row(random, row);
            break;
        }
        rows.push_back(row);
    }
    return rows;
}

// ---- Bit strings -----------------------------------------------------------

std::string bit_string(const std::vector<uint8_t> &bytes, size_t bits) {
    std::string s;
    for (size_t i = 0; i < bits; ++i)
        s += (bytes[i >> 3] >> (7 - (i & 7))) & 1 ? '1' : '0';
    return s;
}

std::vector<uint8_t> bytes_of_bits(const std::string &bits) {
    std::vector<uint8_t> bytes((bits.size() + 7) / 8, 0);
    for (size_t i = 0; i < bits.size(); ++i)
        if (bits[i] == '1')
            bytes[i >> 3] |= static_cast<uint8_t>(0x80u >> (i & 7));
    return bytes;
}

std::string code_string(const quill::CodeWord &word) {
    std::string s;
    for (int i = word.length - 1; i >= 0; --i)
        s += (word.code >> i) & 1 ? '1' : '0';
    return s;
}

// ---- Coding whole images with our coder ------------------------------------

// Encodes rows as one T.6 stream; even rows through encode_pixels, odd rows
// through encode_row with the oracle's pairs, so both entries are exercised.
std::vector<uint8_t> encode(const std::vector<Pixels> &rows, uint32_t width) {
    quill::T6Encoder encoder;
    EXPECT_TRUE(encoder.init(width));
    std::vector<uint8_t> out(4 * (width + 64) * (rows.size() + 1));
    size_t length = 0;
    for (size_t y = 0; y < rows.size(); ++y) {
        int32_t n;
        if (y % 2 == 0) {
            n = encoder.encode_pixels(packed(rows[y]).data(), out.data() + length, out.size() - length);
        } else {
            Pairs pairs = runs_of(rows[y]);
            n = encoder.encode_row(pairs.data(), pairs.size() / 2, out.data() + length, out.size() - length);
        }
        EXPECT_GE(n, 0) << "row " << y;
        length += n;
    }
    length += encoder.finish(out.data() + length, out.size() - length);
    out.resize(length);
    return out;
}

// Decodes `height` rows; each row's pairs, or fewer rows on failure.
std::vector<Pairs> decode(const std::vector<uint8_t> &stream, uint32_t width, size_t height) {
    quill::T6Decoder decoder;
    EXPECT_TRUE(decoder.init(width));
    quill::BitReader reader(stream.data(), stream.size());
    std::vector<Pairs> rows;
    for (size_t y = 0; y < height; ++y) {
        if (!decoder.decode_row(reader))
            break;
        rows.emplace_back(decoder.pairs(), decoder.pairs() + 2 * decoder.pair_count());
    }
    return rows;
}

class Ccitt : public LibraryFixture {};

} // namespace

// ---- Black runs ------------------------------------------------------------

TEST_F(Ccitt, PackBlackRunsSetsPadBitsAndJoinsRunsAcrossBytes) {
    struct Case {
        uint16_t width;
        std::vector<uint8_t> row, rowAfter;
        Pairs pairs;
    } cases[] = {
        {10, {0x00, 0x3F}, {0x00, 0x3F}, {0, 10}},   // pad bits already white
        {10, {0x00, 0x00}, {0x00, 0x3F}, {0, 10}},   // pad bits set to white
        {16, {0xFF, 0xFF}, {0xFF, 0xFF}, {}},        // white
        {16, {0xF0, 0x0F}, {0xF0, 0x0F}, {4, 12}},   // one run over a byte edge
        {8, {0x55, 0x00}, {0x55, 0x00}, {0, 1, 2, 3, 4, 5, 6, 7}},
        {24, {0xFE, 0x00, 0x7F, 0xAA}, {0xFE, 0x00, 0x7F, 0xAA}, {7, 17}},
        {1, {0x00, 0x00}, {0x7F, 0x00}, {0, 1}},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> row = c.row;
        Pairs pairs(c.width + 2, 0xEEEE);
        uint16_t count = QI_PackBlackRuns(pairs.data(), row.data(), c.width);
        ASSERT_EQ(count * 2, c.pairs.size()) << "width " << c.width;
        EXPECT_TRUE(std::equal(c.pairs.begin(), c.pairs.end(), pairs.begin())) << "width " << c.width;
        EXPECT_EQ(pairs[2 * count], 0xEEEE) << "wrote past its pairs";
        EXPECT_EQ(row, c.rowAfter) << "width " << c.width;
    }
}

TEST_F(Ccitt, UnpackBlackRunsWritesWholeUnitsAndSkipsEmptyPairs) {
    struct Case {
        uint16_t width;
        Pairs pairs;
        std::vector<uint8_t> row; // the row's bytes; one more byte must stay untouched
    } cases[] = {
        {10, {}, {0xFF, 0xFF}},
        {17, {}, {0xFF, 0xFF, 0xFF, 0xFF}},
        {10, {10, 10}, {0xFF, 0xFF}},                       // the closing (width, width) pair
        {10, {0xFFFF, 3, 2, 4}, {0xCF, 0xFF}},              // start 0xFFFF skipped
        {10, {8, 20}, {0xFF, 0x3F}},                        // end clipped to the width
        {16, {0, 16}, {0x00, 0x00}},
        {20, {3, 5, 9, 18}, {0xE7, 0x80, 0x3F, 0xFF}},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> row(c.row.size() + 1, 0x5A);
        QI_UnpackBlackRuns(row.data(), c.width, c.pairs.data(), static_cast<uint16_t>(c.pairs.size() / 2));
        EXPECT_TRUE(std::equal(c.row.begin(), c.row.end(), row.begin())) << "width " << c.width;
        EXPECT_EQ(row.back(), 0x5A) << "wrote past the row, width " << c.width;
    }
}

TEST_F(Ccitt, PackAndUnpackAgreeWithPerPixelVersions) {
    std::mt19937 random(11);
    std::vector<uint32_t> widths;
    for (uint32_t w = 1; w <= 2000; ++w)
        widths.push_back(w);
    widths.insert(widths.end(), {4095, 4096, 4097, 30000, 65534, 65535});
    for (uint32_t width : widths) {
        for (int variant = 0; variant < 3; ++variant) {
            Pixels pixels = variant == 0   ? noise_row(random, width, 50)
                            : variant == 1 ? run_row(random, width, 100, random() & 1)
                                           : run_row(random, width, 9000, true);
            std::vector<uint8_t> row = packed(pixels);
            // Black pad bits: the finder must take them as white.
            for (uint32_t x = width; x < row.size() * 8; ++x)
                row[x >> 3] &= static_cast<uint8_t>(~(0x80u >> (x & 7)));
            Pairs pairs((width + 1) / 2 * 2 + 2, 0xEEEE);
            uint32_t count = quill::pack_black_runs(row.data(), width, pairs.data(), quill::g_runTable);
            Pairs expected = runs_of(pixels);
            ASSERT_EQ(count * 2, expected.size()) << "width " << width;
            ASSERT_TRUE(std::equal(expected.begin(), expected.end(), pairs.begin())) << "width " << width;
            ASSERT_EQ(pairs[2 * count], 0xEEEE);
            std::vector<uint8_t> back(row.size() + 1, 0x5A);
            quill::unpack_black_runs(back.data(), width, pairs.data(), count);
            ASSERT_EQ(back.back(), 0x5A);
            back.pop_back();
            ASSERT_EQ(back, packed(pixels)) << "width " << width;
        }
    }
}

TEST_F(Ccitt, UnpackDrawsOverlappingAndUnorderedPairsLikeThePlainDrawer) {
    std::mt19937 random(12);
    for (int trial = 0; trial < 2000; ++trial) {
        uint32_t width = 1 + random() % 300;
        Pairs pairs;
        for (uint32_t i = random() % 12; i > 0; --i) {
            uint16_t start = static_cast<uint16_t>(random() % (width + 20));
            pairs.push_back(start);
            pairs.push_back(static_cast<uint16_t>(start + random() % 90));
        }
        std::vector<uint8_t> row(row_bytes(width));
        quill::unpack_black_runs(row.data(), width, pairs.data(), pairs.size() / 2);
        ASSERT_EQ(row, packed(pixels_of(pairs, width))) << "trial " << trial;
    }
}

// ---- Code tables -----------------------------------------------------------

namespace {

struct NamedList {
    const char *name;
    const quill::CodeWord *codes;
    uint32_t count;
    quill::CodeTable (*table)();
};

const NamedList kLists[] = {
    {"white", quill::kWhiteCodes, quill::kRunSymbols, quill::white_code_table},
    {"black", quill::kBlackCodes, quill::kRunSymbols, quill::black_code_table},
    {"mode", quill::kModeCodes, quill::kModeSymbols, quill::mode_code_table},
};

// The size of a decoding table with first-level width k, counted from the
// code list: 6 bytes per header, 2 per entry.
uint32_t table_size(const NamedList &list, uint32_t k) {
    std::vector<uint32_t> excess(1u << k, 0);
    for (uint32_t s = 0; s < list.count; ++s)
        if (list.codes[s].length > k) {
            uint32_t e = list.codes[s].length - k;
            uint32_t &w = excess[list.codes[s].code >> e];
            w = std::max(w, e);
        }
    uint32_t size = 6 + 2 * (1u << k);
    for (uint32_t w : excess)
        if (w)
            size += 6 + 2 * (1u << w);
    return size;
}

} // namespace

TEST_F(Ccitt, EveryCodeWordDecodesToItsSymbolAndNothingElseDecodes) {
    for (const NamedList &list : kLists) {
        quill::CodeTable table = list.table();
        ASSERT_NE(table.first, nullptr) << list.name;
        // Every 16-bit pattern: the symbol whose code starts it, consuming
        // exactly the code's bits, or no symbol and nothing consumed.
        for (uint32_t pattern = 0; pattern < 65536; ++pattern) {
            uint32_t expected = quill::kNoSymbol, length = 0;
            for (uint32_t s = 0; s < list.count; ++s) {
                uint32_t l = list.codes[s].length;
                if ((pattern >> (16 - l)) == list.codes[s].code) {
                    ASSERT_EQ(expected, quill::kNoSymbol) << list.name << ": two codes start " << pattern;
                    expected = s;
                    length = l;
                }
            }
            // The pattern and zeros, as a reader of the two bytes alone would
            // see them; a block of 16 keeps gcc 12 at -O2 from taking the
            // reader's 8-byte loads for reads before a 2-byte array (a false
            // array-bounds warning).
            uint8_t bytes[16] = {static_cast<uint8_t>(pattern >> 8), static_cast<uint8_t>(pattern)};
            quill::BitReader reader(bytes, sizeof bytes);
            ASSERT_EQ(quill::decode_symbol(table, reader), expected) << list.name << " pattern " << pattern;
            ASSERT_EQ(reader.bit_position(), length) << list.name << " pattern " << pattern;
        }
    }
}

TEST_F(Ccitt, FirstLevelWidthIsTheSmallestTableOrThreeForModes) {
    EXPECT_EQ(quill::mode_code_table().k, 3u);
    for (int i = 0; i < 2; ++i) {
        const NamedList &list = kLists[i];
        uint32_t chosen = list.table().k;
        ASSERT_GE(chosen, 1u);
        ASSERT_LE(chosen, 8u);
        for (uint32_t k = 1; k <= 8; ++k) {
            if (k < chosen)
                EXPECT_GT(table_size(list, k), table_size(list, chosen)) << list.name << " k " << k;
            else
                EXPECT_GE(table_size(list, k), table_size(list, chosen)) << list.name << " k " << k;
        }
        EXPECT_EQ(quill::decode_table_bytes(list.codes, list.count, chosen), table_size(list, chosen));
    }
}

TEST_F(Ccitt, ConflictingOrMalformedCodeListsFailTheBuildWithoutLeaks) {
    using quill::CodeWord;
    struct Case {
        const char *what;
        std::vector<CodeWord> codes;
        uint32_t k;
    } cases[] = {
        {"short code before its extension", {{0b1, 1}, {0b10, 2}, {0b0, 1}}, 0},
        {"long code before its prefix", {{0b10, 2}, {0b1, 1}, {0b0, 1}}, 0},
        {"prefix beyond the first level", {{0b0000001, 7}, {0b00000011, 8}}, 3},
        {"prefix of a sub-table", {{0b000, 3}, {0b00001, 5}}, 2},
        {"same code twice", {{0b011, 3}, {0b011, 3}}, 3},
        {"first level too wide", {{0b1, 1}, {0b0, 1}}, 9},
        {"bits above the length", {{0b101, 2}}, 0},
        {"empty code", {{0, 0}}, 0},
        {"code longer than 16 bits", {{1, 17}}, 0},
    };
    for (const Case &c : cases) {
        int64_t live = qs_test_live_blocks();
        uint8_t *table = nullptr;
        uint32_t bytes = 0;
        EXPECT_FALSE(quill::build_decode_table(c.codes.data(), c.codes.size(), c.k, &table, &bytes)) << c.what;
        EXPECT_EQ(table, nullptr) << c.what;
        EXPECT_EQ(qs_test_live_blocks(), live) << c.what;
    }
    // The same build succeeds when nothing conflicts.
    const CodeWord fine[] = {{0b1, 1}, {0b01, 2}, {0b001, 3}, {0b0001, 4}};
    uint8_t *table = nullptr;
    uint32_t bytes = 0;
    ASSERT_TRUE(quill::build_decode_table(fine, 4, 0, &table, &bytes));
    void *block = table;
    qs_free(&block);
}

TEST_F(Ccitt, RunLengthsSumMakeUpCodesAndRespectTheLimit) {
    using quill::kWhiteCodes;
    // 2560 + 2560 + 64 + 16 = 5200 white pixels; a limit of 5199 refuses it.
    std::string bits = code_string(kWhiteCodes[103]) + code_string(kWhiteCodes[103]) +
                       code_string(kWhiteCodes[64]) + code_string(kWhiteCodes[16]);
    std::vector<uint8_t> bytes = bytes_of_bits(bits);
    quill::CodeTable white = quill::white_code_table();
    quill::BitReader a(bytes.data(), bytes.size());
    EXPECT_EQ(quill::decode_run(white, a, 5200), 5200);
    EXPECT_EQ(a.bit_position(), bits.size());
    quill::BitReader b(bytes.data(), bytes.size());
    EXPECT_EQ(quill::decode_run(white, b, 5199), -1);
    // A black code in a white run is no code: EOL-like zeros.
    std::vector<uint8_t> zeros(4, 0);
    quill::BitReader c(zeros.data(), zeros.size());
    EXPECT_EQ(quill::decode_run(white, c, 100), -1);
}

// ---- T.6 coding: the words chosen ------------------------------------------

TEST_F(Ccitt, HorizontalRunsUseMakeUpCodesAsT4Prescribes) {
    using quill::kBlackCodes;
    using quill::kModeCodes;
    using quill::kWhiteCodes;
    const std::string H = "001", V0 = "1";
    struct Case {
        const char *what;
        uint32_t width;
        Pairs pairs;
        std::string bits; // written from the code tables of T.4
    } cases[] = {
        // White 2600 = make-up 2560 (000000011111) + terminating 40
        // (00101001); black 10 (0000100); then V0 at the width.
        {"white run of 2600", 3000, {2600, 2610}, H + "000000011111" + "00101001" + "0000100" + V0},
        // White 10 (00111); black 64 = make-up 64 (0000001111) + terminating
        // 0 (0000110111).
        {"black run of 64", 200, {10, 74}, H + "00111" + "0000001111" + "0000110111" + V0},
        // A row that starts black: white run 0 (00110101), black 3 (10).
        {"row starting black", 100, {0, 3}, H + "00110101" + "10" + V0},
        // An all-white row against an all-white reference: V0 at the width.
        {"white row", 100, {}, V0},
        // The closing pair (width, width) adds nothing.
        {"closing pair", 100, {100, 100}, V0},
        // All black: white 0, black 100 = make-up 64 (0000001111) +
        // terminating 36 (000011010100); a0 reaches the width.
        {"black row", 100, {0, 100}, H + "00110101" + "0000001111" + "000011010100"},
    };
    for (const Case &c : cases) {
        quill::T6Encoder encoder;
        ASSERT_TRUE(encoder.init(c.width));
        std::vector<uint8_t> out(64, 0xA5);
        int32_t n = encoder.encode_row(c.pairs.data(), c.pairs.size() / 2, out.data(), out.size());
        ASSERT_EQ(n, static_cast<int32_t>(c.bits.size() / 8)) << c.what;
        n += encoder.finish(out.data() + n, out.size() - n);
        ASSERT_EQ(n, static_cast<int32_t>((c.bits.size() + 7) / 8)) << c.what;
        out.resize(n);
        EXPECT_EQ(bit_string(out, n * 8), c.bits + std::string(n * 8 - c.bits.size(), '0')) << c.what;
    }
    // The words above match the code lists the coder uses.
    EXPECT_EQ(code_string(kModeCodes[quill::kModeHorizontal]), H);
    EXPECT_EQ(code_string(kWhiteCodes[103]), "000000011111");
    EXPECT_EQ(code_string(kBlackCodes[64]), "0000001111");
}

TEST_F(Ccitt, ARowEqualToTheOneBeforeIsCodedWithV0Only) {
    std::mt19937 random(5);
    for (uint32_t width : {1u, 9u, 128u, 1000u, 13244u}) {
        for (int trial = 0; trial < 20; ++trial) {
            Pixels row = trial % 3 == 0 ? noise_row(random, width, 50) : run_row(random, width, 40, trial & 1);
            std::vector<uint8_t> stream = encode({row, row}, width);
            // Find where the second row starts by decoding the first.
            quill::T6Decoder decoder;
            ASSERT_TRUE(decoder.init(width));
            quill::BitReader reader(stream.data(), stream.size());
            ASSERT_TRUE(decoder.decode_row(reader));
            Pairs pairs = runs_of(row);
            // One V0 per changing element, plus one at the width unless the
            // row ends black (its last element is the width).
            size_t codes = pairs.size() + (pairs.empty() || pairs.back() < width ? 1 : 0);
            for (size_t i = 0; i < codes; ++i)
                ASSERT_EQ(quill::decode_symbol(quill::mode_code_table(), reader), quill::kModeV0)
                    << "width " << width << " code " << i;
            size_t rest = stream.size() * 8 - reader.bit_position();
            ASSERT_LT(rest, 8u) << "more than the padding follows";
            for (size_t i = reader.bit_position(); i < stream.size() * 8; ++i)
                ASSERT_EQ((stream[i >> 3] >> (7 - (i & 7))) & 1, 0) << "padding bits are 0";
        }
    }
}

// ---- T.6 round trips -------------------------------------------------------

TEST_F(Ccitt, EncodeThenDecodeRestoresTheRunsOfEveryWidth) {
    std::mt19937 random(7);
    std::vector<std::pair<uint32_t, uint32_t>> sizes; // width, rows
    for (uint32_t w = 1; w <= 2000; ++w)
        sizes.emplace_back(w, 3 + w % 5);
    for (uint32_t w : {2559u, 2560u, 2561u, 2623u, 2624u, 5120u, 5184u, 13244u, 40000u, 65534u, 65535u})
        sizes.emplace_back(w, 24);
    for (auto [width, height] : sizes) {
        std::vector<Pixels> rows = image(random, width, height);
        std::vector<uint8_t> stream = encode(rows, width);
        std::vector<Pairs> decoded = decode(stream, width, rows.size());
        ASSERT_EQ(decoded.size(), rows.size()) << "width " << width;
        for (size_t y = 0; y < rows.size(); ++y)
            ASSERT_EQ(decoded[y], runs_of(rows[y])) << "width " << width << " row " << y;
    }
}

TEST_F(Ccitt, StreamsRestartFromAWhiteReferenceAndCarryTheirLastByte) {
    std::mt19937 random(8);
    const uint32_t width = 700;
    std::vector<Pixels> first = image(random, width, 9), second = image(random, width, 5);
    quill::T6Encoder encoder;
    ASSERT_TRUE(encoder.init(width));
    std::vector<uint8_t> strips[2];
    for (int s = 0; s < 2; ++s) {
        encoder.reset();
        std::vector<uint8_t> out(1 << 16);
        size_t length = 0;
        for (const Pixels &row : s == 0 ? first : second) {
            int32_t n = encoder.encode_pixels(packed(row).data(), out.data() + length, out.size() - length);
            ASSERT_GE(n, 0);
            length += n;
        }
        length += encoder.finish(out.data() + length, out.size() - length);
        out.resize(length);
        strips[s] = out;
    }
    EXPECT_EQ(strips[0], encode(first, width)) << "a reset encoder codes like a new one";
    EXPECT_EQ(strips[1], encode(second, width));
    quill::T6Decoder decoder;
    ASSERT_TRUE(decoder.init(width));
    for (int s = 0; s < 2; ++s) {
        decoder.reset();
        quill::BitReader reader(strips[s].data(), strips[s].size());
        for (const Pixels &row : s == 0 ? first : second) {
            ASSERT_TRUE(decoder.decode_row(reader));
            ASSERT_EQ(Pairs(decoder.pairs(), decoder.pairs() + 2 * decoder.pair_count()), runs_of(row));
        }
        EXPECT_EQ((reader.bit_position() + 7) / 8, strips[s].size()) << "the whole strip and no more";
    }
}

TEST_F(Ccitt, EncoderNeverWritesPastItsCapacity) {
    std::mt19937 random(9);
    const uint32_t width = 300;
    std::vector<Pixels> rows = image(random, width, 12);
    std::vector<uint8_t> full = encode(rows, width);
    for (size_t capacity = 0; capacity <= full.size(); ++capacity) {
        std::vector<uint8_t> out(capacity + 8, 0x5A);
        quill::T6Encoder encoder;
        ASSERT_TRUE(encoder.init(width));
        size_t length = 0;
        bool fitted = true;
        for (const Pixels &row : rows) {
            int32_t n = encoder.encode_pixels(packed(row).data(), out.data() + length, capacity - length);
            if (n < 0) {
                fitted = false;
                break;
            }
            length += n;
        }
        if (fitted) {
            int32_t last = encoder.finish(out.data() + length, capacity - length);
            fitted = last >= 0;
            length += fitted ? last : 0;
        }
        EXPECT_EQ(fitted, capacity == full.size()) << "capacity " << capacity;
        for (size_t i = capacity; i < out.size(); ++i)
            ASSERT_EQ(out[i], 0x5A) << "capacity " << capacity;
        if (fitted) {
            EXPECT_TRUE(std::equal(full.begin(), full.end(), out.begin()));
        }
    }
}

TEST_F(Ccitt, RunListsThatDescendOrOverlapAreRefusedAndTouchingOnesJoined) {
    quill::T6Encoder encoder;
    ASSERT_TRUE(encoder.init(100));
    std::vector<uint8_t> out(256), joined(256);
    const uint16_t descending[] = {50, 60, 10, 20};
    const uint16_t overlapping[] = {10, 30, 20, 40};
    EXPECT_EQ(encoder.encode_row(descending, 2, out.data(), out.size()), -1);
    encoder.reset();
    EXPECT_EQ(encoder.encode_row(overlapping, 2, out.data(), out.size()), -1);
    // Touching and empty pairs code as the one run they draw.
    const uint16_t touching[] = {10, 20, 20, 20, 20, 30};
    const uint16_t single[] = {10, 30};
    encoder.reset();
    int32_t n = encoder.encode_row(touching, 3, out.data(), out.size());
    n += encoder.finish(out.data() + n, out.size() - n);
    quill::T6Encoder other;
    ASSERT_TRUE(other.init(100));
    int32_t m = other.encode_row(single, 1, joined.data(), joined.size());
    m += other.finish(joined.data() + m, joined.size() - m);
    ASSERT_EQ(n, m);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + n, joined.begin()));
}

TEST_F(Ccitt, TileRasterHelpersRoundTripAndReportOverflow) {
    std::mt19937 random(10);
    for (uint32_t width : {1u, 8u, 31u, 128u}) {
        std::vector<Pixels> rows = image(random, width, 128);
        uint32_t stride = row_bytes(width);
        std::vector<uint8_t> tile;
        for (const Pixels &row : rows) {
            std::vector<uint8_t> r = packed(row);
            tile.insert(tile.end(), r.begin(), r.end());
        }
        std::vector<uint8_t> out(stride * 128 * 8);
        int32_t length = quill::t6_encode_raster(tile.data(), stride, width, 128, out.data(), out.size());
        ASSERT_GT(length, 0);
        EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + length), encode(rows, width));
        std::vector<uint8_t> back(tile.size(), 0);
        std::vector<uint8_t> exact(out.begin(), out.begin() + length);
        ASSERT_TRUE(quill::t6_decode_raster(exact.data(), exact.size(), width, 128, back.data(), stride));
        EXPECT_EQ(back, tile) << "width " << width;
        EXPECT_EQ(quill::t6_encode_raster(tile.data(), stride, width, 128, out.data(), length - 1), -1);
    }
}

// ---- Hostile input ---------------------------------------------------------

TEST_F(Ccitt, TruncatedT6StreamsFailOrDecodeTheSameRows) {
    std::mt19937 random(13);
    for (uint32_t width : {5u, 128u, 1000u, 3000u}) {
        std::vector<Pixels> rows = image(random, width, 16);
        std::vector<uint8_t> stream = encode(rows, width);
        for (size_t size = 0; size < stream.size(); ++size) {
            std::vector<uint8_t> cut(stream.begin(), stream.begin() + size); // exact size: the sanitizer sees over-reads
            std::vector<Pairs> decoded = decode(cut, width, rows.size());
            for (size_t y = 0; y < decoded.size(); ++y)
                ASSERT_EQ(decoded[y], runs_of(rows[y])) << "width " << width << " size " << size;
            // Every byte holds bits of some row (a last byte is written only
            // when bits remain), so any cut loses at least the last row.
            ASSERT_LT(decoded.size(), rows.size()) << "width " << width << " size " << size;
        }
    }
}

TEST_F(Ccitt, ARowWhoseLastBitsLieBeyondTheDataFails) {
    // A black row of 100: H, white 0, black make-up 64, black 36
    // (000011010100), 33 bits. Cut to 32 bits, the missing last bit is a 0,
    // the very bit a reader yields past the end: the row must still fail,
    // in both coders.
    std::vector<uint8_t> t6 = encode({Pixels(100, 0)}, 100);
    ASSERT_EQ(t6.size(), 5u);
    t6.pop_back();
    EXPECT_TRUE(decode(t6, 100, 1).empty());
    // Modified Huffman, a black row of 18: white 0 (00110101), black 18
    // (0000001000), 18 bits; cut to 16, the two missing bits are 0s.
    std::string bits = "00110101" "0000001000";
    std::vector<uint8_t> mh = bytes_of_bits(bits.substr(0, 16));
    quill::BitReader reader(mh.data(), mh.size());
    uint16_t pairs[2 * 9];
    uint32_t count = 0;
    EXPECT_FALSE(quill::mh_decode_row(reader, 18, pairs, 9, count));
    std::vector<uint8_t> whole = bytes_of_bits(bits);
    quill::BitReader complete(whole.data(), whole.size());
    ASSERT_TRUE(quill::mh_decode_row(complete, 18, pairs, 9, count));
    EXPECT_EQ(count, 1u);
}

TEST_F(Ccitt, RandomAndDamagedStreamsGiveCanonicalRowsOrFail) {
    std::mt19937 random(14);
    for (int trial = 0; trial < 3000; ++trial) {
        uint32_t width = trial % 10 == 0 ? 1 + random() % 65535 : 1 + random() % 400;
        std::vector<uint8_t> data;
        if (trial % 2 == 0) {
            data.resize(random() % 200);
            for (uint8_t &b : data)
                b = static_cast<uint8_t>(random());
        } else if (width < 5000) {
            data = encode(image(random, width, 6), width);
            for (int flips = 1 + random() % 3; flips > 0 && !data.empty(); --flips)
                data[random() % data.size()] ^= static_cast<uint8_t>(1u << (random() % 8));
        }
        std::vector<uint16_t> pairs((width + 1) / 2 * 2);
        // T.6: rows until one fails.
        quill::T6Decoder decoder;
        ASSERT_TRUE(decoder.init(width));
        quill::BitReader t6(data.data(), data.size());
        for (int row = 0; row < 50 && decoder.decode_row(t6); ++row) {
            ASSERT_TRUE(canonical(decoder.pairs(), decoder.pair_count(), width)) << "trial " << trial;
            ASSERT_LE(t6.bit_position(), data.size() * 8);
        }
        // Modified Huffman: the same bytes.
        quill::BitReader mh(data.data(), data.size());
        uint32_t count = 0;
        for (int row = 0; row < 50 && quill::mh_decode_row(mh, width, pairs.data(), pairs.size() / 2, count); ++row) {
            ASSERT_TRUE(canonical(pairs.data(), count, width)) << "trial " << trial;
            ASSERT_LE(mh.bit_position(), data.size() * 8);
        }
    }
}

TEST_F(Ccitt, DecodersRefuseBadWidthsAndFullOutputs) {
    uint8_t ones[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    quill::T6Decoder decoder;
    EXPECT_FALSE(decoder.init(0));
    EXPECT_FALSE(decoder.init(65536));
    uint16_t pairs[2 * 8]; // room for 8 pairs
    uint32_t count = 7;
    quill::BitReader reader(ones, 4);
    EXPECT_FALSE(quill::mh_decode_row(reader, 0, pairs, 4, count));
    EXPECT_EQ(count, 0u);
    // Eight black runs of one pixel between white runs of one pixel:
    // white 1 (000111), black 1 (010), eight times; room for only 4 pairs.
    std::string bits;
    for (int i = 0; i < 8; ++i)
        bits += "000111010";
    std::vector<uint8_t> row = bytes_of_bits(bits);
    quill::BitReader full(row.data(), row.size());
    EXPECT_FALSE(quill::mh_decode_row(full, 16, pairs, 4, count));
    quill::BitReader roomy(row.data(), row.size());
    ASSERT_TRUE(quill::mh_decode_row(roomy, 16, pairs, 8, count));
    EXPECT_EQ(count, 8u);
    EXPECT_EQ(roomy.bit_position(), row.size() * 8) << "the next row starts on the next byte";
}

TEST_F(Ccitt, ModifiedHuffmanReadsTheTerminatingCodeAfterAMakeUpAtTheWidth) {
    using quill::kWhiteCodes;
    // Row 1 of 64 white pixels: make-up 64 then terminating 0, padded; row 2
    // the same. Without its terminating code the row is malformed.
    std::string row = code_string(kWhiteCodes[64]) + code_string(kWhiteCodes[0]);
    std::string padded = row + std::string((8 - row.size() % 8) % 8, '0');
    std::vector<uint8_t> two = bytes_of_bits(padded + padded);
    quill::BitReader reader(two.data(), two.size());
    uint16_t pairs[40];
    uint32_t count = 9;
    ASSERT_TRUE(quill::mh_decode_row(reader, 64, pairs, 32, count));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(reader.bit_position(), padded.size());
    ASSERT_TRUE(quill::mh_decode_row(reader, 64, pairs, 32, count));
    std::vector<uint8_t> cut = bytes_of_bits(code_string(kWhiteCodes[64]));
    quill::BitReader truncated(cut.data(), cut.size());
    EXPECT_FALSE(quill::mh_decode_row(truncated, 64, pairs, 32, count));
    // A white run past the width: 64 pixels into a row of 63.
    quill::BitReader tooLong(two.data(), two.size());
    EXPECT_FALSE(quill::mh_decode_row(tooLong, 63, pairs, 32, count));
}

// ---- Memory and library state ----------------------------------------------

TEST_F(Ccitt, AllocationFailuresFailTheCodersWithoutLeaks) {
    std::vector<uint8_t> tile(16 * 128, 0x0F), out(8192);
    int64_t live = qs_test_live_blocks();
    qs_test_fail_allocation(1);
    EXPECT_EQ(quill::t6_encode_raster(tile.data(), 16, 128, 128, out.data(), out.size()), -1);
    qs_test_fail_allocation(1);
    EXPECT_FALSE(quill::t6_decode_raster(out.data(), out.size(), 128, 128, tile.data(), 16));
    qs_test_fail_allocation(1);
    quill::T6Encoder encoder;
    EXPECT_FALSE(encoder.init(128));
    qs_test_fail_allocation(0);
    EXPECT_EQ(qs_test_live_blocks(), live);
}

TEST(CcittLibraryState, CodersNeedAStartedLibrary) {
    uint16_t pairs[8];
    uint8_t row[2] = {0x00, 0x00};
    EXPECT_EQ(QI_PackBlackRuns(pairs, row, 10), 0);
    EXPECT_EQ(row[1], 0x00) << "the row is left alone";
    quill::T6Encoder encoder;
    quill::T6Decoder decoder;
    EXPECT_FALSE(encoder.init(10));
    EXPECT_FALSE(decoder.init(10));
    uint32_t count = 0;
    quill::BitReader reader(row, 2);
    EXPECT_FALSE(quill::mh_decode_row(reader, 10, pairs, 4, count));
    TempDir dir;
    ASSERT_EQ(QI_InitFrameFunctions(dir.path().c_str(), dir.path().c_str(), nullptr), 1);
    EXPECT_EQ(QI_PackBlackRuns(pairs, row, 10), 1);
    EXPECT_TRUE(decoder.init(10));
    EXPECT_TRUE(encoder.init(10));
    EXPECT_EQ(QI_CloseFrameFunctions(), 1);
}

// ---- libtiff as the oracle -------------------------------------------------

namespace {

// libtiff's rows for WhiteIsZero: bit 1 is black, the inverse of ours.
std::vector<uint8_t> tiff_row(const Pixels &pixels) {
    std::vector<uint8_t> row((pixels.size() + 7) / 8, 0);
    for (size_t x = 0; x < pixels.size(); ++x)
        if (!pixels[x])
            row[x >> 3] |= static_cast<uint8_t>(0x80u >> (x & 7));
    return row;
}

void set_bilevel_tags(TIFF *tiff, uint32_t width, uint32_t height, uint16_t compression, uint32_t rowsPerStrip) {
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, compression);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(tiff, TIFFTAG_FILLORDER, FILLORDER_MSB2LSB);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
}

struct Sample {
    uint32_t width, height;
};
const Sample kSamples[] = {{1, 7}, {8, 20}, {13, 33}, {128, 128}, {1000, 60}, {1728, 40},
                           {2600, 30}, {5000, 20}, {65535, 4}};

} // namespace

TEST_F(Ccitt, LibtiffReadsOurT6StripsAsTheRowsWeCoded) {
    std::mt19937 random(21);
    TempDir dir;
    for (const Sample &s : kSamples) {
        std::vector<Pixels> rows = image(random, s.width, s.height);
        std::vector<uint8_t> stream = encode(rows, s.width);
        std::string path = dir.path() + "/ours.tif";
        TIFF *out = TIFFOpen(path.c_str(), "w");
        ASSERT_NE(out, nullptr);
        set_bilevel_tags(out, s.width, s.height, COMPRESSION_CCITTFAX4, s.height);
        ASSERT_EQ(TIFFWriteRawStrip(out, 0, stream.data(), stream.size()), static_cast<tmsize_t>(stream.size()));
        TIFFClose(out);
        TIFF *in = TIFFOpen(path.c_str(), "r");
        ASSERT_NE(in, nullptr);
        std::vector<uint8_t> line(TIFFScanlineSize(in));
        for (uint32_t y = 0; y < s.height; ++y) {
            ASSERT_EQ(TIFFReadScanline(in, line.data(), y), 1) << "width " << s.width << " row " << y;
            ASSERT_EQ(line, tiff_row(rows[y])) << "width " << s.width << " row " << y;
        }
        TIFFClose(in);
    }
}

TEST_F(Ccitt, WeDecodeLibtiffGroup4AndModifiedHuffmanStrips) {
    std::mt19937 random(22);
    TempDir dir;
    for (uint16_t compression : {uint16_t(COMPRESSION_CCITTFAX4), uint16_t(COMPRESSION_CCITTRLE)}) {
        for (const Sample &s : kSamples) {
            for (uint32_t rowsPerStrip : {s.height, 7u}) {
                std::string what = "compression " + std::to_string(compression) + " width " +
                                   std::to_string(s.width) + " strip rows " + std::to_string(rowsPerStrip);
                std::vector<Pixels> rows = image(random, s.width, s.height);
                std::string path = dir.path() + "/theirs.tif";
                TIFF *out = TIFFOpen(path.c_str(), "w");
                ASSERT_NE(out, nullptr);
                set_bilevel_tags(out, s.width, s.height, compression, rowsPerStrip);
                for (uint32_t y = 0; y < s.height; ++y) {
                    std::vector<uint8_t> line = tiff_row(rows[y]);
                    ASSERT_EQ(TIFFWriteScanline(out, line.data(), y, 0), 1) << what;
                }
                TIFFClose(out);

                TIFF *in = TIFFOpen(path.c_str(), "r");
                ASSERT_NE(in, nullptr);
                quill::T6Decoder decoder;
                ASSERT_TRUE(decoder.init(s.width));
                Pairs pairs((s.width + 1) / 2 * 2);
                uint32_t y = 0;
                for (uint32_t strip = 0; strip < TIFFNumberOfStrips(in); ++strip) {
                    std::vector<uint8_t> raw(TIFFRawStripSize(in, strip));
                    ASSERT_EQ(TIFFReadRawStrip(in, strip, raw.data(), raw.size()), static_cast<tmsize_t>(raw.size()));
                    quill::BitReader reader(raw.data(), raw.size());
                    decoder.reset();
                    for (uint32_t r = 0; r < rowsPerStrip && y < s.height; ++r, ++y) {
                        uint32_t count = 0;
                        bool ok = compression == COMPRESSION_CCITTFAX4
                                      ? decoder.decode_row(reader, pairs.data(), pairs.size() / 2, count)
                                      : quill::mh_decode_row(reader, s.width, pairs.data(), pairs.size() / 2, count);
                        ASSERT_TRUE(ok) << what << " row " << y;
                        ASSERT_EQ(Pairs(pairs.begin(), pairs.begin() + 2 * count), runs_of(rows[y]))
                            << what << " row " << y;
                    }
                }
                EXPECT_EQ(y, s.height) << what;
                TIFFClose(in);
            }
        }
    }
}
