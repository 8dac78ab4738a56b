// The lossy block coding of grey and colour tiles (modes 2, 3 and 4):
// records against a plain coder and decoder written here from the record
// format alone, round-trip quality against a float DCT, flat and edge
// tiles, the generated tables' range guarantees, and damaged records.
//
// The plain coder reads the two data files itself (QUILL_DATA_DIR) and
// follows the format step by step: no shortcut, no work area, no shared
// code with the library's coder.
#include "test_support.h"

#include "raster/core/library_state.h"
#include "raster/codecs/tile_lossy.h"
#include "raster/core/yx_tables.h"

#include <math.h>
#include <stdio.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

using namespace quill_test;

namespace {

// ---------------------------------------------------------------------
// The format, as stated.

constexpr int kScan[16] = {0, 1, 4, 5, 2, 8, 6, 9, 10, 3, 12, 7, 13, 11, 14, 15};
// [mode - 2][first component 0, others 1][plane]
constexpr int kShift[3][2][16] = {
    {{1, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2}},
    {{1, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, {1, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3}},
    {{1, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2}, {2, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 4, 4, 4, 4, 4}},
};

struct FileTables {
    std::vector<uint8_t> f, g; // g with the 128 added that loading adds
    bool ok = false;
};

const FileTables &file_tables() {
    static FileTables t;
    if (t.ok)
        return t;
    auto load = [](const char *name, std::vector<uint8_t> &into) {
        std::string path = std::string(QUILL_DATA_DIR) + "/" + name;
        FILE *file = fopen(path.c_str(), "rb");
        if (!file)
            return false;
        into.resize(262144);
        bool read = fread(into.data(), 1, into.size(), file) == into.size();
        fclose(file);
        return read;
    };
    t.ok = load("magadan.XY", t.f) && load("urupinsk.XY", t.g);
    for (uint8_t &b : t.g)
        b = static_cast<uint8_t>(b + 128);
    return t;
}

int8_t s8(int v) { return static_cast<int8_t>(static_cast<uint8_t>(v & 0xFF)); }

// A tile in the frame's layout: `height` lines of `line` bytes, `bpp`
// bytes a pixel (1 grey, 3 colour).
struct Tile {
    int32_t kind, width, height;
    uint32_t line;
    std::vector<uint8_t> bytes;
    int bpp() const { return kind == 4 ? 3 : 1; }
    uint8_t &at(int x, int y, int c) { return bytes[static_cast<size_t>(y) * line + x * bpp() + c]; }
    uint8_t at(int x, int y, int c) const { return bytes[static_cast<size_t>(y) * line + x * bpp() + c]; }
};

Tile make_tile(int32_t kind, int32_t w, int32_t h, uint32_t padding = 0) {
    Tile t{kind, w, h, static_cast<uint32_t>(w * (kind == 4 ? 3 : 1)) + padding, {}};
    t.bytes.assign(static_cast<size_t>(t.line) * h, 0);
    return t;
}

// The 16 coefficients of one block through F (bytes summed unsigned).
void plain_forward(const FileTables &t, const uint8_t block[64], int c[16]) {
    for (int j = 0; j < 16; ++j) {
        unsigned sum = 0;
        for (int k = 0; k < 64; ++k)
            sum += t.f[4096 * k + 16 * block[k] + j];
        c[j] = s8(static_cast<int>(sum >> 5));
    }
}

std::vector<uint8_t> plain_encode(const Tile &tile, int mode) {
    const FileTables &t = file_tables();
    int across = (tile.width + 7) / 8, down = (tile.height + 7) / 8, blocks = across * down;
    int n = 16 * blocks;
    std::vector<uint8_t> record;
    for (int comp = 0; comp < tile.bpp(); ++comp) {
        const int *q = kShift[mode - 2][comp == 0 ? 0 : 1];
        std::vector<int> value(n);
        for (int b = 0; b < blocks; ++b) {
            int bx = b % across, by = b / across;
            uint8_t block[64];
            for (int k = 0; k < 64; ++k) {
                int x = std::min(bx * 8 + k % 8, tile.width - 1), y = std::min(by * 8 + k / 8, tile.height - 1);
                block[k] = tile.at(x, y, comp);
            }
            int c[16];
            plain_forward(t, block, c);
            for (int p = 0; p < 16; ++p) {
                int v = c[kScan[p]], m = std::abs(v) >> q[p];
                value[p * blocks + b] = v < 0 ? -m : m;
            }
        }
        for (int b = blocks - 1; b > 0; --b)
            value[b] = s8(value[b] - value[b - 1]);
        std::vector<uint8_t> map(n / 8, 0), nibbles, signs, escapes;
        int m = 0;
        for (int i = 0; i < n; ++i) {
            if (value[i] == 0)
                continue;
            map[i / 8] |= static_cast<uint8_t>(1 << (i % 8));
            int magnitude = std::abs(value[i]);
            int nibble = magnitude >= 16 ? 15 : magnitude - 1;
            if (magnitude >= 16)
                escapes.push_back(static_cast<uint8_t>(magnitude));
            if (m % 2 == 0)
                nibbles.push_back(static_cast<uint8_t>(nibble));
            else
                nibbles.back() |= static_cast<uint8_t>(nibble << 4);
            if (m % 8 == 0)
                signs.push_back(0);
            if (value[i] < 0)
                signs.back() |= static_cast<uint8_t>(0x80 >> (m % 8));
            ++m;
        }
        for (auto *part : {&map, &nibbles, &signs, &escapes})
            record.insert(record.end(), part->begin(), part->end());
    }
    return record;
}

enum class Plain { Ok, Short, LeftOver, BadEscape };

// Decodes into `out` (packed, width * height * bpp) when the record is good.
Plain plain_decode(const Tile &shape, int mode, const std::vector<uint8_t> &record, std::vector<uint8_t> &out) {
    const FileTables &t = file_tables();
    int across = (shape.width + 7) / 8, down = (shape.height + 7) / 8, blocks = across * down;
    int n = 16 * blocks, bpp = shape.bpp();
    std::vector<std::vector<int>> values(bpp, std::vector<int>(n));
    size_t at = 0;
    for (int comp = 0; comp < bpp; ++comp) {
        if (record.size() - at < static_cast<size_t>(n / 8))
            return Plain::Short;
        const uint8_t *map = &record[at];
        int m = 0;
        for (int i = 0; i < n; ++i)
            m += (map[i / 8] >> (i % 8)) & 1;
        size_t nibbleAt = at + n / 8, signAt = nibbleAt + (m + 1) / 2, escapeAt = signAt + (m + 7) / 8;
        if (escapeAt > record.size())
            return Plain::Short;
        int seen = 0;
        for (int i = 0; i < n; ++i) {
            if (!((map[i / 8] >> (i % 8)) & 1)) {
                values[comp][i] = 0;
                continue;
            }
            int magnitude = ((record[nibbleAt + seen / 2] >> (4 * (seen % 2))) & 15) + 1;
            if (magnitude == 16) {
                if (escapeAt >= record.size())
                    return Plain::Short;
                magnitude = record[escapeAt++];
                if (magnitude < 16 || magnitude > 128)
                    return Plain::BadEscape;
            }
            bool negative = (record[signAt + seen / 8] >> (7 - seen % 8)) & 1;
            values[comp][i] = s8(negative ? -magnitude : magnitude);
            ++seen;
        }
        at = escapeAt;
    }
    if (at != record.size())
        return Plain::LeftOver;
    out.assign(static_cast<size_t>(shape.width) * shape.height * bpp, 0);
    for (int comp = 0; comp < bpp; ++comp) {
        const int *q = kShift[mode - 2][comp == 0 ? 0 : 1];
        std::vector<int> &v = values[comp];
        for (int b = 1; b < blocks; ++b)
            v[b] = s8(v[b] + v[b - 1]);
        for (int b = 0; b < blocks; ++b) {
            int c[16];
            for (int p = 0; p < 16; ++p) {
                int x = v[p * blocks + b], m = std::abs(x) << q[p];
                c[kScan[p]] = s8(x < 0 ? -m : m);
            }
            bool acZero = true;
            for (int j = 1; j < 16; ++j)
                acZero = acZero && c[j] == 0;
            int bx = b % across, by = b / across;
            for (int k = 0; k < 64; ++k) {
                int x = bx * 8 + k % 8, y = by * 8 + k / 8;
                if (x >= shape.width || y >= shape.height)
                    continue;
                int pixel;
                if (acZero) {
                    pixel = (c[0] + 128) & 0xFF;
                } else {
                    int first = 0, rest = 0;
                    bool haveFirst = false;
                    for (int j = 0; j < 16; ++j) {
                        if (c[j] == 0)
                            continue;
                        int term = s8(t.g[16384 * j + 64 * (c[j] & 0xFF) + k]);
                        if (!haveFirst)
                            first = term;
                        else
                            rest += term;
                        haveFirst = true;
                    }
                    pixel = std::clamp(128 + 2 * (first + s8(rest)), 0, 255);
                }
                out[(static_cast<size_t>(y) * shape.width + x) * bpp + comp] = static_cast<uint8_t>(pixel);
            }
        }
    }
    return Plain::Ok;
}

// ---------------------------------------------------------------------
// Content.

void fill_smooth(Tile &t, int seed) {
    for (int y = 0; y < t.height; ++y)
        for (int x = 0; x < t.width; ++x)
            for (int c = 0; c < t.bpp(); ++c) {
                double v = 128 + 70 * sin((x + 3 * seed) / 23.0 + y / 37.0 + c) +
                           40 * cos(x / 41.0 - (y + seed) / 19.0 + 2 * c) + 0.4 * (x - y);
                t.at(x, y, c) = static_cast<uint8_t>(std::clamp(lround(v), 0L, 255L));
            }
}

void fill_noise(Tile &t, unsigned seed) {
    std::mt19937 rng(seed);
    for (int y = 0; y < t.height; ++y)
        for (int x = 0; x < t.width * t.bpp(); ++x)
            t.bytes[static_cast<size_t>(y) * t.line + x] = static_cast<uint8_t>(rng());
}

// Text-like: dark strokes and boxes on a light ground, hard edges.
void fill_edges(Tile &t) {
    for (int y = 0; y < t.height; ++y)
        for (int x = 0; x < t.width; ++x) {
            bool ink = (x % 13 < 2) || (y % 11 == 5) || ((x / 16 + y / 16) % 5 == 0 && x % 16 < 9);
            for (int c = 0; c < t.bpp(); ++c)
                t.at(x, y, c) = static_cast<uint8_t>(ink ? 20 + 30 * c : 235 - 40 * c);
        }
}

// Packed copy of the pixels inside the tile.
std::vector<uint8_t> packed(const Tile &t) {
    std::vector<uint8_t> out;
    for (int y = 0; y < t.height; ++y)
        out.insert(out.end(), t.bytes.begin() + static_cast<size_t>(y) * t.line,
                   t.bytes.begin() + static_cast<size_t>(y) * t.line + t.width * t.bpp());
    return out;
}

double psnr(const Tile &a, const Tile &b, int comp = -1) {
    double sse = 0, count = 0;
    for (int y = 0; y < a.height; ++y)
        for (int x = 0; x < a.width; ++x)
            for (int c = 0; c < a.bpp(); ++c) {
                if (comp >= 0 && c != comp)
                    continue;
                double d = double(a.at(x, y, c)) - b.at(x, y, c);
                sse += d * d;
                ++count;
            }
    return sse == 0 ? 99.0 : 10 * log10(255.0 * 255.0 * count / sse);
}

// PSNR of a float reconstruction from the 16 lowest orthonormal DCT
// coefficients of each block (completed at the edges like the coder):
// what any integer tables of this design can at best reach.
double float_ceiling(const Tile &t, int comp) {
    auto basis = [](int u, int x) { return (u == 0 ? sqrt(0.125) : 0.5) * cos((2 * x + 1) * u * M_PI / 16); };
    double sse = 0, count = 0;
    for (int by = 0; by < t.height; by += 8)
        for (int bx = 0; bx < t.width; bx += 8) {
            double block[64], coef[16] = {};
            for (int k = 0; k < 64; ++k)
                block[k] = t.at(std::min(bx + k % 8, t.width - 1), std::min(by + k / 8, t.height - 1), comp);
            for (int j = 0; j < 16; ++j)
                for (int k = 0; k < 64; ++k)
                    coef[j] += basis(j % 4, k % 8) * basis(j / 4, k / 8) * block[k];
            for (int k = 0; k < 64; ++k) {
                if (bx + k % 8 >= t.width || by + k / 8 >= t.height)
                    continue;
                double r = 0;
                for (int j = 0; j < 16; ++j)
                    r += coef[j] * basis(j % 4, k % 8) * basis(j / 4, k / 8);
                double d = std::clamp(nearbyint(r), 0.0, 255.0) - block[k];
                sse += d * d;
                ++count;
            }
        }
    return 10 * log10(255.0 * 255.0 * count / sse);
}

std::vector<uint8_t> encode(const Tile &t, int mode) {
    std::vector<uint8_t> record(quill::lossy_record_bound(t.kind, t.width, t.height));
    int32_t length = quill::lossy_encode(t.kind, mode, t.width, t.height, t.bytes.data(), t.line, record.data(),
                                         static_cast<uint32_t>(record.size()));
    EXPECT_GT(length, 0);
    record.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return record;
}

bool decode(const std::vector<uint8_t> &record, int mode, Tile &into) {
    return quill::lossy_decode(into.kind, mode, into.width, into.height, record.data(),
                               static_cast<int32_t>(record.size()), into.bytes.data(), into.line);
}

Tile round_trip(const Tile &t, int mode) {
    Tile out = make_tile(t.kind, t.width, t.height, t.line - t.width * t.bpp());
    EXPECT_TRUE(decode(encode(t, mode), mode, out));
    return out;
}

// The library started with the generated data files, so the tables are
// loaded and prepared exactly as a host gets them; stopped after each test
// with the leak checks of the other library tests.
class Lossy : public ::testing::Test {
protected:
    void SetUp() override {
        liveBefore_ = qs_test_live_blocks();
        ASSERT_TRUE(file_tables().ok) << "data files missing in " << QUILL_DATA_DIR;
        ASSERT_EQ(QI_InitFrameFunctions(QUILL_DATA_DIR, swap_.path().c_str(), nullptr), 1);
        ASSERT_EQ(quill::g_library.yxTablesPresent, 1);
    }
    void TearDown() override {
        QI_CloseFrameFunctions();
        EXPECT_EQ(qs_test_live_blocks(), liveBefore_) << "heap blocks leaked";
    }
    TempDir swap_;
    int64_t liveBefore_ = 0;
};

// ---------------------------------------------------------------------

TEST_F(Lossy, RecordsAreWhatAPlainCoderOfTheFormatWritesAndReads) {
    struct Case {
        int32_t kind, w, h;
        int content; // 0 smooth, 1 noise (escapes), 2 edges
    };
    const Case cases[] = {{2, 128, 128, 0}, {2, 128, 128, 1}, {2, 128, 128, 2}, {4, 128, 128, 0},
                          {4, 128, 128, 1}, {4, 128, 128, 2}, {2, 1, 1, 1},     {4, 1, 1, 1},
                          {2, 37, 5, 0},    {4, 9, 17, 1},    {2, 8, 8, 2},     {4, 120, 127, 2}};
    for (const Case &c : cases)
        for (int mode = 2; mode <= 4; ++mode) {
            SCOPED_TRACE("kind " + std::to_string(c.kind) + " " + std::to_string(c.w) + "x" +
                         std::to_string(c.h) + " content " + std::to_string(c.content) + " mode " +
                         std::to_string(mode));
            Tile t = make_tile(c.kind, c.w, c.h, 3);
            if (c.content == 0)
                fill_smooth(t, c.w);
            else if (c.content == 1)
                fill_noise(t, static_cast<unsigned>(c.w * 7 + c.h));
            else
                fill_edges(t);
            std::vector<uint8_t> ours = encode(t, mode);
            ASSERT_EQ(ours, plain_encode(t, mode));
            std::vector<uint8_t> expected;
            ASSERT_EQ(plain_decode(t, mode, ours, expected), Plain::Ok);
            Tile out = make_tile(c.kind, c.w, c.h, 3);
            ASSERT_TRUE(decode(ours, mode, out));
            EXPECT_EQ(packed(out), expected);
        }
}

TEST_F(Lossy, SmoothTilesStayAboveThePsnrBoundOfEachMode) {
    // The bounds follow from the coding's steps, not from a run: on content
    // this smooth the 16 coefficients lose almost nothing (the float ceiling
    // is checked to be high), and what remains is the DC step (2 levels),
    // the output step of 2 levels, a step of about 1 / 0.135 = 7.4 DCT
    // units per coefficient unit times 2^q, and rounding of the table
    // terms. Mode 2 and 3 quantise the first component alike; mode 4 and
    // the colour components of modes 3 and 4 up to 16 times coarser.
    const double firstBound[3] = {38.0, 38.0, 34.0};
    const double colourBound[3] = {36.0, 33.0, 29.0};
    for (int32_t kind : {2, 4})
        for (int seed = 0; seed < 3; ++seed) {
            Tile t = make_tile(kind, 128, 128);
            fill_smooth(t, seed * 17);
            ASSERT_GT(float_ceiling(t, 0), 45.0) << "the content is not smooth";
            for (int mode = 2; mode <= 4; ++mode) {
                Tile out = round_trip(t, mode);
                EXPECT_GE(psnr(t, out, 0), firstBound[mode - 2]) << "kind " << kind << " mode " << mode;
                if (kind == 4) {
                    EXPECT_GE(psnr(t, out), colourBound[mode - 2]) << "all components, mode " << mode;
                }
            }
        }
}

TEST_F(Lossy, ModeTwoComesWithinOneDecibelOfTheFloatCeilingOnTexture) {
    // A textured tile (smooth waves plus edges plus mild noise), where the
    // 16 coefficients themselves lose a lot: mode 2 must stay within 1 dB
    // of the float reconstruction from the same coefficients, the design
    // target of the tables (tools/make_yx_tables.cpp).
    std::mt19937 rng(42);
    Tile t = make_tile(2, 128, 128);
    fill_smooth(t, 5);
    for (int y = 0; y < 128; ++y)
        for (int x = 0; x < 128; ++x) {
            int v = t.at(x, y, 0) + static_cast<int>(rng() % 17) - 8;
            if ((x / 5 + y / 7) % 6 == 0)
                v = v / 3;
            t.at(x, y, 0) = static_cast<uint8_t>(std::clamp(v, 0, 255));
        }
    double ceiling = float_ceiling(t, 0);
    Tile out = round_trip(t, 2);
    EXPECT_GE(psnr(t, out), ceiling - 1.0) << "ceiling " << ceiling;
}

TEST_F(Lossy, FlatTilesDecodeToTheirValueAsTheDcStepKeepsIt) {
    // A flat block transforms to c_0 = value - 128 and nothing else (the
    // tables' design), so a flat tile comes back flat, at the value that
    // the DC shift q keeps: 128 + sign * ((|value - 128| >> q) << q), exact
    // for every value that the step represents.
    for (int32_t kind : {2, 4})
        for (int mode = 2; mode <= 4; ++mode)
            for (auto size : {std::make_pair(128, 128), std::make_pair(37, 5)})
                for (int value = 0; value < 256; ++value) {
                    Tile t = make_tile(kind, size.first, size.second, 2);
                    for (int y = 0; y < t.height; ++y)
                        for (int x = 0; x < t.width; ++x)
                            for (int c = 0; c < t.bpp(); ++c)
                                t.at(x, y, c) = static_cast<uint8_t>(value);
                    Tile out = round_trip(t, mode);
                    for (int c = 0; c < t.bpp(); ++c) {
                        int q = kShift[mode - 2][c == 0 ? 0 : 1][0];
                        int d = value - 128, kept = (std::abs(d) >> q) << q;
                        int expected = 128 + (d < 0 ? -kept : kept);
                        for (int y = 0; y < t.height; ++y)
                            for (int x = 0; x < t.width; ++x)
                                if (out.at(x, y, c) != expected) {
                                    ADD_FAILURE() << "kind " << kind << " mode " << mode << " value " << value
                                                  << " component " << c << ": " << int(out.at(x, y, c))
                                                  << " at " << x << "," << y << ", expected " << expected;
                                    return;
                                }
                    }
                }
}

TEST_F(Lossy, EdgeTilesOfEverySizeDecodeWithoutWritingOutsideTheTile) {
    // Every width 1..128 with a spread of heights and every height with a
    // spread of widths. The decode target is a buffer with 5 guard bytes
    // after each line's pixels and 2 guard lines after the tile, all 0xA5:
    // they must stay. Sizes of 1 and 2 test the completion by repetition,
    // which must keep such tiles close to the source (a narrow smooth strip
    // decodes well above 30 dB).
    const int spread[] = {1, 2, 3, 7, 8, 9, 63, 127, 128};
    std::vector<std::pair<int, int>> sizes;
    for (int a = 1; a <= 128; ++a)
        for (int b : spread) {
            sizes.emplace_back(a, b);
            sizes.emplace_back(b, a);
        }
    for (int32_t kind : {2, 4})
        for (auto [w, h] : sizes) {
            int mode = 2 + (w + h) % 3;
            Tile t = make_tile(kind, w, h);
            fill_smooth(t, w + h);
            std::vector<uint8_t> record = encode(t, mode);
            Tile out = make_tile(kind, w, h + 2, 5);
            std::fill(out.bytes.begin(), out.bytes.end(), 0xA5);
            ASSERT_TRUE(quill::lossy_decode(kind, mode, w, h, record.data(), static_cast<int32_t>(record.size()),
                                            out.bytes.data(), out.line))
                << w << "x" << h;
            bool guardsKept = true;
            for (int y = 0; y < h + 2; ++y)
                for (uint32_t i = 0; i < out.line; ++i)
                    if ((y >= h || i >= static_cast<uint32_t>(w * t.bpp())) &&
                        out.bytes[static_cast<size_t>(y) * out.line + i] != 0xA5)
                        guardsKept = false;
            ASSERT_TRUE(guardsKept) << "kind " << kind << " " << w << "x" << h << ": a byte outside the tile";
            out.height = h;
            EXPECT_GT(psnr(t, out, 0), 30.0) << "kind " << kind << " " << w << "x" << h << " mode " << mode;
        }
}

TEST_F(Lossy, ExtremeBlocksNeverWrapTheirCoefficients) {
    // For each coefficient the two blocks with its largest and smallest
    // value (255 where the basis function is positive, 0 elsewhere, and
    // the reverse) must give a coefficient of the right sign and near the
    // top of the byte, never one wrapped to the other sign.
    const FileTables &ft = file_tables();
    for (int j = 1; j < 16; ++j)
        for (int polarity : {1, -1}) {
            uint8_t block[64];
            for (int k = 0; k < 64; ++k) {
                double b = cos((2 * (k % 8) + 1) * (j % 4) * M_PI / 16) * cos((2 * (k / 8) + 1) * (j / 4) * M_PI / 16);
                block[k] = (b * polarity > 0) ? 255 : 0;
            }
            int c[16];
            plain_forward(ft, block, c);
            EXPECT_GT(c[j] * polarity, 100) << "coefficient " << j << " polarity " << polarity;
        }
    // And through the coder: black and white halves in every block, in both
    // orientations, come back with the right side dark.
    for (bool vertical : {false, true}) {
        Tile t = make_tile(2, 128, 128);
        for (int y = 0; y < 128; ++y)
            for (int x = 0; x < 128; ++x)
                t.at(x, y, 0) = ((vertical ? y : x) % 8 < 4) ? 0 : 255;
        Tile out = round_trip(t, 2);
        for (int y = 0; y < 128; ++y)
            for (int x = 0; x < 128; ++x) {
                int p = vertical ? y : x;
                if (p % 8 == 0) {
                    ASSERT_LT(out.at(x, y, 0), 40) << x << "," << y;
                }
                if (p % 8 == 7) {
                    ASSERT_GT(out.at(x, y, 0), 215) << x << "," << y;
                }
            }
    }
}

TEST_F(Lossy, RecordsStayWithinTheStoreLimitsAndTheCapacity) {
    for (int32_t kind : {2, 4}) {
        const uint32_t storeLimit = kind == 2 ? 16384 : 49153;
        Tile t = make_tile(kind, 128, 128);
        fill_noise(t, 7);
        for (int mode = 2; mode <= 4; ++mode) {
            std::vector<uint8_t> record = encode(t, mode);
            EXPECT_LE(record.size(), quill::lossy_record_bound(kind, 128, 128));
            EXPECT_LE(quill::lossy_record_bound(kind, 128, 128), storeLimit);
            // One byte short of what it needs: -1, and nothing written past
            // the capacity.
            std::vector<uint8_t> small(record.size() + 16, 0x5A);
            uint32_t capacity = static_cast<uint32_t>(record.size() - 1);
            EXPECT_EQ(quill::lossy_encode(kind, mode, 128, 128, t.bytes.data(), t.line, small.data(), capacity), -1);
            EXPECT_TRUE(std::all_of(small.begin() + capacity, small.end(), [](uint8_t b) { return b == 0x5A; }));
            // Exactly enough: the same record.
            std::vector<uint8_t> exact(record.size());
            EXPECT_EQ(quill::lossy_encode(kind, mode, 128, 128, t.bytes.data(), t.line, exact.data(),
                                          static_cast<uint32_t>(exact.size())),
                      static_cast<int32_t>(record.size()));
            EXPECT_EQ(exact, record);
        }
        // Capacities from 0 up: the coder never writes past any of them.
        std::vector<uint8_t> record = encode(t, 2);
        for (uint32_t capacity = 0; capacity < record.size(); capacity += 97) {
            std::vector<uint8_t> buffer(capacity); // exact size: ASan sees any overrun
            EXPECT_EQ(quill::lossy_encode(kind, 2, 128, 128, t.bytes.data(), t.line, buffer.data(), capacity), -1);
        }
    }
}

TEST_F(Lossy, CoarserModesNeverMakeLargerRecords) {
    // Larger shifts only shrink magnitudes (and differences of shrunk DC
    // values), so no value gains a bit, a nibble or an escape.
    for (int32_t kind : {2, 4})
        for (int content = 0; content < 3; ++content) {
            Tile t = make_tile(kind, 100, 90);
            if (content == 0)
                fill_smooth(t, 3);
            else if (content == 1)
                fill_noise(t, 11);
            else
                fill_edges(t);
            size_t two = encode(t, 2).size(), three = encode(t, 3).size(), four = encode(t, 4).size();
            EXPECT_LE(three, two) << "kind " << kind << " content " << content;
            EXPECT_LE(four, three) << "kind " << kind << " content " << content;
        }
}

TEST_F(Lossy, BadArgumentsFailBothWays) {
    Tile t = make_tile(2, 16, 16);
    fill_smooth(t, 1);
    std::vector<uint8_t> record = encode(t, 2);
    std::vector<uint8_t> buffer(8000);
    uint8_t *out = buffer.data();
    struct Args {
        int32_t kind, mode, w, h;
        uint32_t line;
    };
    const Args bad[] = {{1, 2, 16, 16, 16},  {3, 2, 16, 16, 16},  {2, 0, 16, 16, 16},  {2, 1, 16, 16, 16},
                        {2, 5, 16, 16, 16},  {2, 2, 0, 16, 16},   {2, 2, 16, 0, 16},   {2, 2, 129, 16, 200},
                        {2, 2, 16, 129, 16}, {2, 2, 16, 16, 15},  {4, 2, 16, 16, 47},  {2, 2, -1, 16, 16}};
    for (const Args &a : bad) {
        EXPECT_EQ(quill::lossy_encode(a.kind, a.mode, a.w, a.h, t.bytes.data(), a.line, out, 8000), -1)
            << a.kind << " " << a.mode << " " << a.w << "x" << a.h << " line " << a.line;
        EXPECT_FALSE(quill::lossy_decode(a.kind, a.mode, a.w, a.h, record.data(), static_cast<int32_t>(record.size()),
                                         out, a.line));
    }
    EXPECT_EQ(quill::lossy_encode(2, 2, 16, 16, nullptr, 16, out, 8000), -1);
    EXPECT_EQ(quill::lossy_encode(2, 2, 16, 16, t.bytes.data(), 16, nullptr, 8000), -1);
    EXPECT_FALSE(quill::lossy_decode(2, 2, 16, 16, nullptr, 10, out, 16));
    EXPECT_FALSE(quill::lossy_decode(2, 2, 16, 16, record.data(), -1, out, 16));
    EXPECT_FALSE(quill::lossy_decode(2, 2, 16, 16, record.data(), static_cast<int32_t>(record.size()), nullptr, 16));
    EXPECT_EQ(quill::lossy_record_bound(1, 16, 16), 0u);
    EXPECT_EQ(quill::lossy_record_bound(2, 0, 16), 0u);

    // Without the tables (the library stopped) nothing codes.
    QI_CloseFrameFunctions();
    EXPECT_FALSE(quill::lossy_available());
    EXPECT_EQ(quill::lossy_encode(2, 2, 16, 16, t.bytes.data(), 16, out, 8000), -1);
    EXPECT_FALSE(quill::lossy_decode(2, 2, 16, 16, record.data(), static_cast<int32_t>(record.size()), out, 16));
    ASSERT_EQ(QI_InitFrameFunctions(QUILL_DATA_DIR, swap_.path().c_str(), nullptr), 1);
}

TEST_F(Lossy, TruncatedOrOverlongRecordsFailAndLeaveTheTileAlone) {
    for (int32_t kind : {2, 4})
        for (int content = 0; content < 2; ++content) {
            Tile t = make_tile(kind, 40, 24);
            if (content == 0)
                fill_edges(t);
            else
                fill_noise(t, 5);
            std::vector<uint8_t> record = encode(t, 3);
            Tile out = make_tile(kind, 40, 24);
            for (size_t length = 0; length < record.size(); ++length) {
                std::vector<uint8_t> cut(record.begin(), record.begin() + length); // exact size for ASan
                std::fill(out.bytes.begin(), out.bytes.end(), 0x3C);
                ASSERT_FALSE(quill::lossy_decode(kind, 3, 40, 24, cut.data(), static_cast<int32_t>(cut.size()),
                                                 out.bytes.data(), out.line))
                    << "length " << length << " of " << record.size();
                ASSERT_TRUE(std::all_of(out.bytes.begin(), out.bytes.end(), [](uint8_t b) { return b == 0x3C; }));
            }
            std::vector<uint8_t> longer = record;
            longer.push_back(0);
            EXPECT_FALSE(decode(longer, 3, out));
            // A record of the wrong tile size is the wrong length too.
            EXPECT_FALSE(quill::lossy_decode(kind, 3, 40, 32, record.data(), static_cast<int32_t>(record.size()),
                                             out.bytes.data(), out.line));
        }
}

TEST_F(Lossy, EscapesOutsideSixteenToOneHundredTwentyEightAreRejected) {
    // One non-zero value, stored as an escape: zero map, one nibble (15),
    // one sign byte, one escape byte. A 1 x 1 grey tile has 16 values.
    for (int escape : {0, 15, 16, 128, 129, 255}) {
        std::vector<uint8_t> record = {0x02, 0x00, 0x0F, 0x00, static_cast<uint8_t>(escape)};
        Tile out = make_tile(2, 1, 1);
        bool ok = decode(record, 2, out);
        EXPECT_EQ(ok, escape >= 16 && escape <= 128) << "escape " << escape;
        std::vector<uint8_t> expected;
        EXPECT_EQ(plain_decode(out, 2, record, expected) == Plain::Ok, ok);
        if (ok) {
            EXPECT_EQ(packed(out), expected);
        }
    }
    // A zero map that promises every value non-zero, in a record that ends
    // after the map.
    std::vector<uint8_t> record(16 * 256 / 8, 0xFF);
    Tile out = make_tile(2, 128, 128);
    EXPECT_FALSE(decode(record, 2, out));
}

TEST_F(Lossy, DamagedRecordsFailOrDecodeLikeThePlainDecoder) {
    // Random damage to good records: byte changes, bit flips, runs of
    // zeros or 0xFF, cuts and insertions. Whatever the record, the decoder
    // reads only its bytes (each record is an exact-size buffer for ASan),
    // writes only the tile, and agrees with the plain decoder: it succeeds
    // exactly when that one does, with the same pixels, and leaves the tile
    // alone when it fails.
    std::mt19937 rng(2024);
    for (int32_t kind : {2, 4})
        for (int content = 0; content < 3; ++content) {
            Tile t = make_tile(kind, content == 2 ? 128 : 33, content == 2 ? 128 : 20);
            if (content == 0)
                fill_smooth(t, 9);
            else
                fill_noise(t, 3);
            int mode = 2 + content;
            std::vector<uint8_t> good = encode(t, mode);
            int succeeded = 0;
            for (int trial = 0; trial < 300; ++trial) {
                std::vector<uint8_t> bad = good;
                switch (rng() % 5) {
                case 0:
                    bad[rng() % bad.size()] = static_cast<uint8_t>(rng());
                    break;
                case 1:
                    bad[rng() % bad.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
                    break;
                case 2: {
                    size_t at = rng() % bad.size(), n = std::min<size_t>(1 + rng() % 40, bad.size() - at);
                    std::fill(bad.begin() + at, bad.begin() + at + n, (rng() & 1) ? 0xFF : 0x00);
                    break;
                }
                case 3:
                    bad.erase(bad.begin() + rng() % bad.size());
                    break;
                default:
                    bad.insert(bad.begin() + rng() % bad.size(), static_cast<uint8_t>(rng()));
                    break;
                }
                Tile out = make_tile(kind, t.width, t.height, 4);
                std::fill(out.bytes.begin(), out.bytes.end(), 0x77);
                Tile before = out;
                bool ok = decode(bad, mode, out);
                std::vector<uint8_t> expected;
                Plain plain = plain_decode(t, mode, bad, expected);
                ASSERT_EQ(ok, plain == Plain::Ok) << "trial " << trial;
                if (ok) {
                    ++succeeded;
                    ASSERT_EQ(packed(out), expected) << "trial " << trial;
                    for (int y = 0; y < out.height; ++y)
                        for (uint32_t i = out.width * out.bpp(); i < out.line; ++i)
                            ASSERT_EQ(out.bytes[static_cast<size_t>(y) * out.line + i], 0x77);
                } else {
                    ASSERT_EQ(out.bytes, before.bytes) << "trial " << trial;
                }
            }
            // Changes inside the magnitudes or signs keep a record valid,
            // so both outcomes must have been exercised.
            EXPECT_GT(succeeded, 0) << "kind " << kind << " content " << content;
            EXPECT_LT(succeeded, 300) << "kind " << kind << " content " << content;
        }
}

} // namespace
