/*
 * palette_test.cpp - palette objects: the inverse colour map against a
 * brute-force search, the cache file (served, rebuilt when stale or
 * damaged, written safely), the grey map and dither tables, the mapping of
 * rasters against plain per-pixel references, mapping in pieces, and every
 * allocation and file failure of the create.
 *
 * The references evaluate the rules another way: cell centres through the
 * conversion formulas in doubles, nearest entries scanned first to last
 * with "<=" (so the last of equals wins), the Bayer matrix by its recursive
 * construction.
 */
#include "fault_steps.h"
#include "raster_support.h"
#include "test_support.h"

#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

using namespace quill_test;

namespace {

constexpr size_t kCells = 262144;

std::vector<intptr_t> g_reports;
int record_report(intptr_t value) {
    g_reports.push_back(value);
    return 0; // asks to cancel: palette building must go on regardless
}

using Colours = std::vector<uint8_t>;

Colours random_colours(int n, unsigned seed) {
    std::mt19937 random(seed);
    Colours c(4 * static_cast<size_t>(n));
    for (uint8_t &b : c)
        b = static_cast<uint8_t>(random());
    return c;
}

// The 6 x 6 x 6 cube and 40 greys between its levels: a typical display set.
Colours cube_and_greys() {
    Colours c;
    for (int r = 0; r < 6; ++r)
        for (int g = 0; g < 6; ++g)
            for (int b = 0; b < 6; ++b)
                c.insert(c.end(), {uint8_t(51 * b), uint8_t(51 * g), uint8_t(51 * r), 0});
    for (int i = 0; i < 40; ++i) {
        uint8_t l = static_cast<uint8_t>(6 + i * 6);
        c.insert(c.end(), {l, l, l, 0});
    }
    return c;
}

int clamp255(double v) { return v < 0 ? 0 : v > 255 ? 255 : static_cast<int>(v); }

// (B, G, R) of a cell's centre: the adjugate rows over the determinant.
void centre_bgr(size_t cell, int bgr[3]) {
    const double adj[3][3] = {{-247785, -438986, -239}, {-247785, 85302, 176913}, {-247785, 310, -347375}};
    double y = 4.0 * (cell & 63) + 2, u = 4.0 * (cell >> 6 & 63) + 2 - 127, v = 4.0 * (cell >> 12) + 2 - 127;
    for (int i = 0; i < 3; ++i)
        bgr[i] = clamp255(trunc((adj[i][0] * y + adj[i][1] * u + adj[i][2] * v) * 1024.0 / -253731840.0));
}

int brute_nearest(const int bgr[3], const Colours &c) {
    int best = -1;
    long bestDistance = 0;
    for (size_t e = 0; e < c.size() / 4; ++e) {
        long d = 0;
        for (int k = 0; k < 3; ++k)
            d += long(bgr[k] - c[4 * e + k]) * (bgr[k] - c[4 * e + k]);
        if (best < 0 || d <= bestDistance) {
            best = static_cast<int>(e);
            bestDistance = d;
        }
    }
    return best;
}

// Grey map: for each level the nearest grey entry, the later on a tie.
std::vector<int> reference_grey_map(const Colours &c) {
    std::vector<int> levels, indices;
    for (size_t e = 0; e < c.size() / 4; ++e)
        if (c[4 * e] == c[4 * e + 1] && c[4 * e] == c[4 * e + 2]) {
            levels.push_back(c[4 * e]);
            indices.push_back(static_cast<int>(e));
        }
    std::vector<int> map(256, 0);
    for (int l = 0; l < 256; ++l) {
        int best = -1;
        for (int k = static_cast<int>(levels.size()) - 1; k >= 0; --k)
            if (best < 0 || abs(levels[k] - l) < abs(levels[best] - l))
                best = k;
        map[l] = best < 0 ? 0 : indices[best];
    }
    return map;
}

// The 8 x 8 Bayer matrix by doubling: B(2n) = [[4B, 4B + 2], [4B + 3, 4B + 1]].
std::vector<int> bayer8() {
    std::vector<int> m{0};
    for (int n = 1; n < 8; n *= 2) {
        std::vector<int> next(4 * n * n);
        const int add[2][2] = {{0, 2}, {3, 1}};
        for (int qy = 0; qy < 2; ++qy)
            for (int qx = 0; qx < 2; ++qx)
                for (int y = 0; y < n; ++y)
                    for (int x = 0; x < n; ++x)
                        next[(qy * n + y) * 2 * n + qx * n + x] = 4 * m[y * n + x] + add[qy][qx];
        m = next;
    }
    return m;
}

int table_amplitude(int divisor) { return (255 / (divisor < 1 ? 1 : divisor)) & ~1; }

int dither_at(const int8_t *table, int64_t x, int64_t y) { return table[(y & 7) * 8 + (x & 7)]; }

// The expected result of QI_DmriToPaletteColors, pixel by pixel, in the
// layout the function writes (all bytes of the output lines, pad included).
std::vector<uint8_t> reference_mapping(const Raster &in, const PaletteObject *p, int mode, int x0, int y0) {
    std::vector<uint8_t> out = in.bytes;
    const uint32_t inLine = in.line();
    auto clamp = [](int v) { return v < 0 ? 0 : v > 255 ? 255 : v; };
    if (in.kind == 2 && mode == 3) {
        uint32_t outLine = QI_GetLineBWi(1, in.width);
        for (int y = 0; y < in.height; ++y) {
            for (uint32_t j = 0; j < outLine; ++j)
                out[y * outLine + j] = 0xFF;
            for (int x = 0; x < in.width; ++x)
                if (in.bytes[y * inLine + x] + dither_at(p->bilevelDither, int64_t(x) + x0, int64_t(y) + y0) < 128)
                    out[y * outLine + x / 8] &= static_cast<uint8_t>(~(0x80 >> (x % 8)));
        }
    } else if (in.kind == 2) {
        for (int y = 0; y < in.height; ++y)
            for (uint32_t x = 0; x < inLine; ++x) {
                int v = in.bytes[y * inLine + x];
                if (mode >= 2)
                    v = clamp(v + dither_at(p->greyDither, int64_t(x) + x0, int64_t(y) + y0));
                out[y * inLine + x] = p->greyMap[v];
            }
    } else {
        uint32_t outLine = QI_GetLineBWi(2, in.width);
        for (int y = 0; y < in.height; ++y) {
            for (uint32_t x = 0; x < outLine; ++x)
                out[y * outLine + x] = 0;
            for (int x = 0; x < in.width; ++x) {
                uint32_t c = in.get(x, y);
                int yy = c & 0xFF;
                if (mode >= 2)
                    yy = clamp(yy + dither_at(p->colourDither, int64_t(x) + x0, int64_t(y) + y0));
                out[y * outLine + x] = p->colourMap[(c >> 18 & 63) * 4096 + (c >> 10 & 63) * 64 + (yy >> 2)];
            }
        }
    }
    return out;
}

std::vector<uint8_t> file_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> cache_bytes(const Colours &c, const uint8_t *map) {
    uint32_t n = static_cast<uint32_t>(c.size() / 4);
    std::vector<uint8_t> bytes(4 + c.size() + kCells);
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<uint8_t>(n >> (8 * i));
    std::copy(c.begin(), c.end(), bytes.begin() + 4);
    std::copy(map, map + kCells, bytes.begin() + 4 + static_cast<long>(c.size()));
    return bytes;
}

class PaletteTest : public LibraryFixture {
protected:
    void SetUp() override {
        LibraryFixture::SetUp();
        QI_CloseFrameFunctions();
        ASSERT_EQ(QI_InitFrameFunctions(swap_.path().c_str(), swap_.path().c_str(), record_report), 1);
        g_reports.clear();
    }
    PaletteObject *create(const Colours &c, const char *cache = nullptr, int levels = 0) {
        return QI_PaletteCreate(c.data(), static_cast<int32_t>(c.size() / 4), levels, cache);
    }
    // True when the reports since the last call were those of a build:
    // 0, "NewPalette", 1 + 100 c / 16 for the 16 chunks, 100.
    bool built() {
        std::vector<intptr_t> heard = g_reports;
        g_reports.clear();
        if (heard.empty())
            return false;
        EXPECT_EQ(heard.size(), 19u);
        if (heard.size() == 19u) {
            EXPECT_EQ(heard[0], 0);
            EXPECT_STREQ(reinterpret_cast<const char *>(heard[1]), "NewPalette");
            for (int c = 0; c < 16; ++c)
                EXPECT_EQ(heard[2 + c], 100 * c / 16 + 1);
            EXPECT_EQ(heard[18], 100);
        }
        return true;
    }
    std::string cachePath() const { return cacheDir_.path() + "/colours.pal"; }
    bool temporaryLeft() const {
        for (const std::string &name : cacheDir_.files())
            if (name != "colours.pal")
                return true;
        return false;
    }
    TempDir cacheDir_;
};

void expect_same_object(const PaletteObject *a, const PaletteObject *b) {
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->count, b->count);
    EXPECT_EQ(memcmp(a->colours, b->colours, 4u * a->count), 0);
    EXPECT_EQ(memcmp(a->colourMap, b->colourMap, kCells), 0) << "colour maps differ";
    EXPECT_EQ(memcmp(a->greyMap, b->greyMap, 256), 0);
    EXPECT_EQ(a->blackIndex, b->blackIndex);
    EXPECT_EQ(a->whiteIndex, b->whiteIndex);
}

} // namespace

// ---- Creating ---------------------------------------------------------------

TEST_F(PaletteTest, CountsBelowOneGiveNullAndCountsAbove256AreCut) {
    Colours many = random_colours(300, 7);
    struct Case {
        int32_t count;
        int expected; // -1: null
    } cases[] = {{-5, -1}, {0, -1}, {INT32_MIN, -1}, {1, 1}, {300, 256}};
    for (const Case &c : cases) {
        PaletteObject *p = QI_PaletteCreate(many.data(), c.count, 0, nullptr);
        if (c.expected < 0) {
            EXPECT_EQ(p, nullptr) << c.count;
            EXPECT_FALSE(built()) << "nothing is built for a count of " << c.count;
            continue;
        }
        ASSERT_NE(p, nullptr) << c.count;
        EXPECT_TRUE(built());
        EXPECT_EQ(p->count, c.expected);
        EXPECT_EQ(memcmp(p->colours, many.data(), 4u * c.expected), 0);
        uint8_t largest = 0;
        for (size_t i = 0; i < kCells; ++i)
            largest = std::max(largest, p->colourMap[i]);
        EXPECT_LT(largest, c.expected);
        QI_PaletteDelete(p);
    }
    EXPECT_EQ(QI_PaletteCreate(nullptr, 4, 0, nullptr), nullptr);
    QI_PaletteDelete(nullptr);
}

TEST_F(PaletteTest, InverseMapIsTheNearestEntryToEachCellCentre) {
    for (int n : {2, 16, 256}) {
        Colours c = random_colours(n, 100 + n);
        PaletteObject *p = create(c);
        ASSERT_NE(p, nullptr);
        // Every cell for the small palettes, every 5th for 256 entries.
        size_t step = n == 256 ? 5 : 1;
        int wrong = 0;
        for (size_t cell = 0; cell < kCells; cell += step) {
            int bgr[3];
            centre_bgr(cell, bgr);
            int expected = brute_nearest(bgr, c);
            if (p->colourMap[cell] != expected && ++wrong <= 3)
                ADD_FAILURE() << n << " colours, cell " << cell << ": " << int(p->colourMap[cell]) << " not "
                              << expected;
        }
        EXPECT_EQ(wrong, 0) << n << " colours";
        QI_PaletteDelete(p);
    }
}

TEST_F(PaletteTest, EqualDistancesGoToTheHigherIndex) {
    // Cell 0x20820, centre (Y, U, V) = (130, 130, 130), (B, G, R) = (135,
    // 126, 134): entries one step either side of it in blue are equally
    // far, in both orders; a third entry identical to the first takes over
    // from it.
    const size_t cell = 0x20820;
    int bgr[3];
    centre_bgr(cell, bgr);
    ASSERT_GT(bgr[0], 0);
    ASSERT_LT(bgr[0], 255);
    auto entry = [&](int db) { return Colours{uint8_t(bgr[0] + db), uint8_t(bgr[1]), uint8_t(bgr[2]), 0}; };
    struct Case {
        std::vector<int> offsets;
        int expected;
    } cases[] = {{{-1, 1}, 1}, {{1, -1}, 1}, {{1, -1, 1}, 2}, {{0, 0, 0, 40}, 2}};
    for (const Case &k : cases) {
        Colours c;
        for (int d : k.offsets) {
            Colours e = entry(d);
            c.insert(c.end(), e.begin(), e.end());
        }
        PaletteObject *p = create(c);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->colourMap[cell], k.expected);
        QI_PaletteDelete(p);
    }
    // Identical entries: every cell goes to the last of them.
    Colours twins{10, 200, 30, 0, 10, 200, 30, 0};
    PaletteObject *p = create(twins);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::count(p->colourMap, p->colourMap + kCells, 1), static_cast<long>(kCells));
    QI_PaletteDelete(p);
}

TEST_F(PaletteTest, GreyMapPicksTheNearestGreyEntryTheLaterOnATie) {
    struct Case {
        const char *what;
        Colours colours;
    } cases[] = {
        {"no grey entry", {0, 0, 255, 0, 255, 0, 0, 0, 10, 20, 30, 0}},
        {"black and white among colours", {0, 0, 255, 0, 0, 0, 0, 0, 40, 50, 60, 0, 255, 255, 255, 0}},
        {"tie between 100 and 102", {100, 100, 100, 0, 9, 8, 7, 0, 102, 102, 102, 0}},
        {"the same level twice", {60, 60, 60, 1, 60, 60, 60, 2, 200, 200, 200, 0}},
    };
    for (const Case &c : cases) {
        PaletteObject *p = create(c.colours);
        ASSERT_NE(p, nullptr) << c.what;
        std::vector<int> expected = reference_grey_map(c.colours);
        for (int l = 0; l < 256; ++l)
            ASSERT_EQ(p->greyMap[l], expected[l]) << c.what << ", level " << l;
        QI_PaletteDelete(p);
    }
}

TEST_F(PaletteTest, DitherTablesFollowTheBayerMatrixAndTheAmplitudes) {
    std::vector<int> bayer = bayer8();
    struct Case {
        int32_t levels;
        int greys;
        int a1, a2;
    } cases[] = {
        {-3, 0, 254, 254}, {0, 1, 254, 254}, {1, 2, 254, 126}, {2, 3, 126, 84}, {3, 0, 84, 254}, {255, 0, 0, 254},
    };
    for (const Case &c : cases) {
        Colours colours{1, 2, 3, 0};
        for (int g = 0; g < c.greys; ++g)
            colours.insert(colours.end(), {uint8_t(g * 50), uint8_t(g * 50), uint8_t(g * 50), 0});
        PaletteObject *p = create(colours, nullptr, c.levels);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(table_amplitude(c.levels), c.a1);
        for (int i = 0; i < 64; ++i) {
            EXPECT_EQ(p->bilevelDither[i], 4 * bayer[i] - 126) << i;
            EXPECT_EQ(p->colourDither[i], static_cast<int>(floor(bayer[i] * c.a1 / 63.0)) - c.a1 / 2)
                << "levels " << c.levels << ", entry " << i;
            EXPECT_EQ(p->greyDither[i], static_cast<int>(floor(bayer[i] * c.a2 / 63.0)) - c.a2 / 2)
                << c.greys << " greys, entry " << i;
        }
        EXPECT_EQ(p->greyDitherTable, p->greyDither);
        QI_PaletteDelete(p);
    }
}

TEST_F(PaletteTest, BlackAndWhiteIndicesAreWhereBlackAndWhiteMap) {
    Colours c = cube_and_greys();
    PaletteObject *p = create(c);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->blackIndex, 0) << "the cube's (0, 0, 0)";
    EXPECT_EQ(p->whiteIndex, 215) << "the cube's (255, 255, 255)";
    QI_PaletteDelete(p);
}

// ---- The cache file ---------------------------------------------------------

TEST_F(PaletteTest, CacheServesTheSameColoursAndAnyChangedByteRebuilds) {
    Colours c = random_colours(8, 3);
    const std::string path = cachePath();
    PaletteObject *first = create(c, path.c_str());
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(built());
    EXPECT_EQ(file_bytes(path), cache_bytes(c, first->colourMap));

    PaletteObject *second = create(c, path.c_str());
    EXPECT_FALSE(built()) << "the second create reads the map";
    expect_same_object(first, second);
    QI_PaletteDelete(second);

    for (int byte = 0; byte < 4; ++byte) {
        Colours changed = c;
        changed[4 * 5 + byte] ^= 0x40;
        PaletteObject *p = create(changed, path.c_str());
        ASSERT_NE(p, nullptr);
        EXPECT_TRUE(built()) << "byte " << byte << " of entry 5 changed";
        EXPECT_EQ(file_bytes(path), cache_bytes(changed, p->colourMap)) << "rewritten for the new colours";
        PaletteObject *plain = create(changed);
        built();
        expect_same_object(p, plain);
        QI_PaletteDelete(plain);
        QI_PaletteDelete(p);
        // Back to the first colours: rebuilt once more, then served again.
        QI_PaletteDelete(create(c, path.c_str()));
        EXPECT_TRUE(built());
    }
    EXPECT_FALSE(temporaryLeft());
    QI_PaletteDelete(first);
}

TEST_F(PaletteTest, DamagedCacheIsRebuiltAndRewritten) {
    Colours c = random_colours(5, 11);
    const std::string path = cachePath();
    PaletteObject *good = create(c, path.c_str());
    ASSERT_NE(good, nullptr);
    const std::vector<uint8_t> sound = cache_bytes(c, good->colourMap);
    struct Case {
        const char *what;
        void (*damage)(std::vector<uint8_t> &);
    } cases[] = {
        {"count one more", [](std::vector<uint8_t> &f) { f[0]++; }},
        {"count in the wrong byte order", [](std::vector<uint8_t> &f) { std::swap(f[0], f[3]); }},
        {"short by a byte", [](std::vector<uint8_t> &f) { f.pop_back(); }},
        {"only the header", [](std::vector<uint8_t> &f) { f.resize(24); }},
        {"empty", [](std::vector<uint8_t> &f) { f.clear(); }},
        {"a byte longer", [](std::vector<uint8_t> &f) { f.push_back(0); }},
        {"an index equal to the count", [](std::vector<uint8_t> &f) { f[24 + 70000] = 5; }},
        {"an index of 255 in the last cell", [](std::vector<uint8_t> &f) { f.back() = 255; }},
        {"a fourth byte differs", [](std::vector<uint8_t> &f) { f[4 + 7] ^= 1; }},
    };
    for (const Case &k : cases) {
        std::vector<uint8_t> damaged = sound;
        k.damage(damaged);
        write_file(path, damaged);
        g_reports.clear();
        PaletteObject *p = create(c, path.c_str());
        ASSERT_NE(p, nullptr) << k.what;
        EXPECT_TRUE(built()) << k.what;
        expect_same_object(p, good);
        EXPECT_EQ(file_bytes(path), sound) << k.what << ": the file is rewritten";
        QI_PaletteDelete(p);
    }
    EXPECT_FALSE(temporaryLeft());
    QI_PaletteDelete(good);
}

TEST_F(PaletteTest, FailedCacheWritesLeaveTheOldFileAndNoTemporary) {
    // The cache holds colours A; colours B (the same count, so the file is
    // read to the end) are created with one file step failing.
    Colours a = random_colours(6, 21), b = random_colours(6, 22);
    const std::string path = cachePath();
    PaletteObject *pa = create(a, path.c_str());
    PaletteObject *pb = create(b);
    ASSERT_TRUE(pa && pb);
    const std::vector<uint8_t> old = file_bytes(path), renewed = cache_bytes(b, pb->colourMap);
    struct Case {
        quill::FileOp op;
        int nth;
        bool rewritten;
    } cases[] = {
        {quill::FileOp::Open, 1, true},    // the cache cannot be read: built and written
        {quill::FileOp::Read, 1, true},    // likewise
        {quill::FileOp::Open, 2, false},   // the temporary cannot be created
        {quill::FileOp::Write, 1, false},  // the temporary cannot be written
        {quill::FileOp::Rename, 1, false}, // it cannot be put in place
    };
    for (const Case &k : cases) {
        write_file(path, old);
        qi_test_fail_file_op(static_cast<int>(k.op), k.nth);
        PaletteObject *p = create(b, path.c_str());
        qi_test_fail_file_op(static_cast<int>(k.op), 0);
        ASSERT_NE(p, nullptr) << "file step " << int(k.op) << " #" << k.nth;
        expect_same_object(p, pb);
        EXPECT_EQ(file_bytes(path), k.rewritten ? renewed : old) << "file step " << int(k.op) << " #" << k.nth;
        EXPECT_FALSE(temporaryLeft()) << "file step " << int(k.op) << " #" << k.nth;
        QI_PaletteDelete(p);
    }
    // A cache in a directory that does not exist is skipped silently.
    std::string nowhere = cacheDir_.path() + "/missing/colours.pal";
    PaletteObject *p = create(b, nowhere.c_str());
    ASSERT_NE(p, nullptr);
    expect_same_object(p, pb);
    QI_PaletteDelete(p);
    QI_PaletteDelete(pa);
    QI_PaletteDelete(pb);
}

TEST_F(PaletteTest, EveryAllocationFailureGivesNullOrTheWholePalette) {
    Colours c = random_colours(4, 31);
    PaletteObject *reference = create(c);
    ASSERT_NE(reference, nullptr);
    const std::string path = cachePath();
    // Built without a cache, built and written, then served from the cache.
    for (int run = 0; run < 3; ++run) {
        if (run == 1)
            unlink(path.c_str());
        const char *cache = run == 0 ? nullptr : path.c_str();
        int nulls = 0;
        int64_t step = 0;
        fail_each_step(
            kFailAllocation,
            [&] {
                ++step;
                int64_t live = qs_test_live_blocks();
                PaletteObject *p = create(c, cache);
                bool failureReached = qs_test_allocation_count() >= step;
                if (!p) {
                    EXPECT_TRUE(failureReached);
                    EXPECT_EQ(qs_test_live_blocks(), live) << "run " << run << ", step " << step;
                    ++nulls;
                    return false;
                }
                // A failed step of the file layer's (the cache file could
                // not be opened): the palette still comes whole.
                expect_same_object(p, reference);
                QI_PaletteDelete(p);
                EXPECT_EQ(qs_test_live_blocks(), live);
                return !failureReached;
            },
            [](int64_t) {});
        EXPECT_GE(nulls, 4) << "run " << run << ": map, object, colours and grey map at least";
    }
    EXPECT_FALSE(temporaryLeft());
    QI_PaletteDelete(reference);
}

// ---- Mapping ----------------------------------------------------------------

TEST_F(PaletteTest, MappingMatchesThePerPixelReference) {
    Colours c = cube_and_greys();
    PaletteObject *p = create(c, nullptr, 5);
    ASSERT_NE(p, nullptr);
    std::mt19937 random(5);
    struct Case {
        int kind, mode;
    } cases[] = {{2, 0}, {2, 1}, {2, -4}, {2, 2}, {2, 3}, {2, 9}, {4, 0}, {4, 1}, {4, -1}, {4, 2}, {4, 3}};
    for (const Case &k : cases)
        for (int width : {1, 7, 16, 33})
            for (int height : {1, 6}) {
                Raster r(width, height, k.kind);
                r.fill_random(random);
                int x0 = static_cast<int>(random() % 41) - 20, y0 = static_cast<int>(random() % 41) - 20;
                std::vector<uint8_t> expected = reference_mapping(r, p, k.mode, x0, y0);
                QI_DmriToPaletteColors(r.data(), width, height, k.kind, p, k.mode, x0, y0);
                ASSERT_EQ(r.bytes, expected) << "kind " << k.kind << " mode " << k.mode << ", " << width << " x "
                                             << height << " at (" << x0 << ", " << y0 << ")";
            }
    QI_PaletteDelete(p);
}

TEST_F(PaletteTest, PiecesMappedWithTheirOriginsEqualTheWhole) {
    Colours c = cube_and_greys();
    PaletteObject *p = create(c, nullptr, 4);
    ASSERT_NE(p, nullptr);
    std::mt19937 random(9);
    struct Case {
        int kind, mode, outKind;
    } cases[] = {{4, 2, 2}, {4, 0, 2}, {2, 2, 2}, {2, 3, 1}, {2, 0, 2}};
    const int width = 37, height = 29, cutX = 13, cutY = 10;
    for (const Case &k : cases) {
        Raster whole(width, height, k.kind);
        whole.fill_random(random);
        Raster source = whole;
        QI_DmriToPaletteColors(whole.data(), width, height, k.kind, p, k.mode, 0, 0);
        Raster wholeOut(width, height, k.outKind);
        std::copy(whole.bytes.begin(), whole.bytes.begin() + wholeOut.bytes.size(), wholeOut.bytes.begin());
        const int xs[] = {0, cutX, width}, ys[] = {0, cutY, height};
        for (int i = 0; i < 2; ++i)
            for (int j = 0; j < 2; ++j) {
                int w = xs[i + 1] - xs[i], h = ys[j + 1] - ys[j];
                Raster piece(w, h, k.kind);
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x)
                        piece.set(x, y, source.get(xs[i] + x, ys[j] + y));
                QI_DmriToPaletteColors(piece.data(), w, h, k.kind, p, k.mode, xs[i], ys[j]);
                Raster out(w, h, k.outKind);
                std::copy(piece.bytes.begin(), piece.bytes.begin() + out.bytes.size(), out.bytes.begin());
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x)
                        ASSERT_EQ(out.get(x, y), wholeOut.get(xs[i] + x, ys[j] + y))
                            << "kind " << k.kind << " mode " << k.mode << ", piece " << i << j << " pixel (" << x
                            << ", " << y << ")";
            }
    }
    QI_PaletteDelete(p);
}

TEST_F(PaletteTest, BilevelDitherOfFlatGreysAndWhatDoesNothing) {
    Colours c = cube_and_greys();
    PaletteObject *p = create(c);
    ASSERT_NE(p, nullptr);
    // 127 + 4d - 126 reaches 128 for d >= 32: half of every 8 x 8 block;
    // 130 + 4d - 126 for d >= 31.
    struct Flat {
        uint8_t level;
        int whitePerBlock;
    } flats[] = {{127, 32}, {255, 64}, {0, 0}, {128, 32}, {130, 33}};
    for (const Flat &f : flats) {
        Raster r(16, 16, 2, f.level);
        QI_DmriToPaletteColors(r.data(), 16, 16, 2, p, 3, 0, 0);
        Raster bits(16, 16, 1);
        std::copy(r.bytes.begin(), r.bytes.begin() + bits.bytes.size(), bits.bytes.begin());
        for (int by = 0; by < 16; by += 8)
            for (int bx = 0; bx < 16; bx += 8) {
                int white = 0;
                for (int y = 0; y < 8; ++y)
                    for (int x = 0; x < 8; ++x)
                        white += bits.get(bx + x, by + y);
                EXPECT_EQ(white, f.whitePerBlock) << "level " << int(f.level);
            }
    }
    // Other kinds, empty sizes and a null palette change nothing.
    std::mt19937 random(2);
    struct Nothing {
        int kind, width, height;
        bool palette;
    } nothings[] = {{1, 16, 4, true}, {3, 16, 4, true}, {0, 16, 4, true}, {4, 0, 4, true},
                    {2, 16, 0, true}, {2, -3, 4, true}, {4, 16, 4, false}, {2, 16, 4, false}};
    for (const Nothing &n : nothings) {
        Raster r(16, 4, 4);
        r.fill_random(random);
        std::vector<uint8_t> before = r.bytes;
        QI_DmriToPaletteColors(r.data(), n.width, n.height, n.kind, n.palette ? p : nullptr, 2, 0, 0);
        EXPECT_EQ(r.bytes, before) << "kind " << n.kind << " " << n.width << " x " << n.height;
    }
    QI_PaletteDelete(p);
}

TEST_F(PaletteTest, BilevelPixelsBecomeTheWhiteAndBlackIndices) {
    Colours c = cube_and_greys();
    PaletteObject *p = create(c);
    ASSERT_NE(p, nullptr);
    std::mt19937 random(4);
    for (int width : {1, 9, 40}) {
        Raster source(width, 5, 1);
        source.fill_random(random);
        Raster out(width, 5, 3, 0xAB);
        QI_BW_DmriToPaletteColors(source.data(), width, 5, out.data(), p);
        for (int y = 0; y < 5; ++y)
            for (uint32_t x = 0; x < out.line(); ++x)
                ASSERT_EQ(out.bytes[y * out.line() + x],
                          x >= uint32_t(width) ? 0 : source.get(x, y) ? p->whiteIndex : p->blackIndex)
                    << width << " wide, (" << x << ", " << y << ")";
    }
    Raster source(8, 2, 1), out(8, 2, 3, 0xAB);
    QI_BW_DmriToPaletteColors(source.data(), 8, 2, out.data(), nullptr);
    EXPECT_EQ(out.bytes, std::vector<uint8_t>(out.bytes.size(), 0xAB)) << "null palette";
    QI_PaletteDelete(p);
}
