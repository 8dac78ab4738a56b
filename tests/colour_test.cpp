/*
 * colour_test.cpp - conversions between blue-green-red and (Y, U, V), colour
 * marking, intensity scaling and colour replacement in frames, and the
 * colour-list utilities.
 *
 * Expected values come from the conversion formulas worked by hand (the
 * extremes) or from plain per-pixel references below that evaluate the same
 * formulas another way (in doubles, with floor and trunc), never from our
 * own output.
 */
#include "raster/colour/colour_lists.h"
#include "raster_support.h"
#include "test_support.h"

#include <math.h>
#include <stdint.h>

#include <random>
#include <vector>

using namespace quill_test;

namespace {

struct Px {
    int a, b, c;
    bool operator==(const Px &o) const { return a == o.a && b == o.b && c == o.c; }
};
std::ostream &operator<<(std::ostream &os, const Px &p) {
    return os << "(" << p.a << ", " << p.b << ", " << p.c << ")";
}

int clamp255(double v) { return v < 0 ? 0 : v > 255 ? 255 : static_cast<int>(v); }

// (B, G, R) -> (Y, U, V): rows of M in 1/1024, floor, clamp.
Px ref_to_yuv(Px bgr) {
    const double m[3][3] = {{117, 601, 306}, {512, -339, -173}, {-83, -429, 512}};
    const double offset[3] = {0, 127 * 1024.0, 127 * 1024.0};
    int out[3];
    for (int i = 0; i < 3; ++i)
        out[i] = clamp255(floor((m[i][0] * bgr.a + m[i][1] * bgr.b + m[i][2] * bgr.c + offset[i]) / 1024.0));
    return {out[0], out[1], out[2]};
}

// (Y, U, V) -> (B, G, R): adjugate rows over the determinant, truncated.
Px ref_to_bgr(Px yuv) {
    const double adj[3][3] = {{-247785, -438986, -239}, {-247785, 85302, 176913}, {-247785, 310, -347375}};
    double y = yuv.a, u = yuv.b - 127, v = yuv.c - 127;
    int out[3];
    for (int i = 0; i < 3; ++i)
        out[i] = clamp255(trunc((adj[i][0] * y + adj[i][1] * u + adj[i][2] * v) * 1024.0 / -253731840.0));
    return {out[0], out[1], out[2]};
}

using Convert = void (*)(uint8_t *, int32_t, int32_t);

Px convert_one(Convert convert, Px p) {
    uint8_t pixel[4] = {static_cast<uint8_t>(p.a), static_cast<uint8_t>(p.b), static_cast<uint8_t>(p.c), 0xEE};
    convert(pixel, 1, 1);
    EXPECT_EQ(pixel[3], 0xEE) << "pad byte";
    return {pixel[0], pixel[1], pixel[2]};
}

// A colour raster holding every (a, b, c) on a grid of `step` (255 included).
Raster grid_raster(int step) {
    std::vector<int> levels;
    for (int v = 0; v < 255; v += step)
        levels.push_back(v);
    levels.push_back(255);
    int n = static_cast<int>(levels.size());
    Raster r(n * n, n, 4, 0);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
            for (int k = 0; k < n; ++k)
                r.set(j * n + k, i, levels[i] | levels[j] << 8 | static_cast<uint32_t>(levels[k]) << 16);
    return r;
}

Px px_of(uint32_t v) {
    return {static_cast<int>(v & 0xFF), static_cast<int>(v >> 8 & 0xFF), static_cast<int>(v >> 16 & 0xFF)};
}

} // namespace

// ---- BGR <-> YUV ------------------------------------------------------------

TEST(ColourConvertTest, ExtremesGiveTheValuesOfTheFormulas) {
    // Worked by hand from the formulas; sums in brackets.
    struct Case {
        Px bgr, yuv;
    } cases[] = {
        {{0, 0, 0}, {0, 127, 127}},         {{255, 255, 255}, {255, 127, 127}}, // Y: 1024 * 255; U, V: 0 + 130048
        {{255, 0, 0}, {29, 254, 106}},                                          // 29835, 260608, 108883
        {{0, 0, 255}, {76, 83, 254}},                                           // 78030, 85933, 260608
        {{0, 255, 0}, {149, 42, 20}},                                           // 153255, 43603, 20653
        {{0, 255, 255}, {225, 0, 147}},                                         // U sum -512 clamps to 0
        {{128, 128, 128}, {128, 127, 127}},                                     // greys keep their level
    };
    for (const Case &c : cases)
        EXPECT_EQ(convert_one(QI_DmriBGRtoYUV, c.bgr), c.yuv) << c.bgr;

    struct Back {
        Px yuv, bgr;
    } backs[] = {
        {{0, 127, 127}, {0, 0, 0}},         {{255, 127, 127}, {255, 255, 255}}, // 247785 * 1024 is the determinant
        {{29, 254, 106}, {253, 0, 0}},                                          // pure blue comes back as 253
        {{0, 255, 127}, {226, 0, 0}},                                           // B 56190208 / 247785; G -44 clamps
        {{255, 255, 127}, {255, 210, 254}},                                     // B 481 clamps; G 210.9; R 254.8
        {{0, 0, 0}, {0, 134, 0}}, // u = v = -127: G 262215 * 127 / 247785; B, R < 0
    };
    for (const Back &b : backs)
        EXPECT_EQ(convert_one(QI_DmriYUVtoBGR, b.yuv), b.bgr) << b.yuv;
}

TEST(ColourConvertTest, EveryPixelOfAGridMatchesThePlainFormulas) {
    Raster source = grid_raster(5);
    for (bool forward : {true, false}) {
        Raster r = source;
        (forward ? QI_DmriBGRtoYUV : QI_DmriYUVtoBGR)(r.data(), r.width, r.height);
        int wrong = 0;
        for (int32_t y = 0; y < r.height; ++y)
            for (int32_t x = 0; x < r.width; ++x) {
                Px in = px_of(source.get(x, y));
                Px want = forward ? ref_to_yuv(in) : ref_to_bgr(in);
                if (!(px_of(r.get(x, y)) == want) && ++wrong < 5)
                    ADD_FAILURE() << (forward ? "to YUV " : "to BGR ") << in << ": " << px_of(r.get(x, y)) << " want "
                                  << want;
            }
        EXPECT_EQ(wrong, 0);
    }
}

TEST(ColourConvertTest, RoundTripStaysWithinThreeAndGreysComeBackExactly) {
    // Each of Y, U, V loses under 1 to the shift; the way back weighs those
    // losses by the adjugate row over 247785 (sums 2.77, 2.06 and 2.40) and
    // truncates once more, so no component can move by more than 3.
    Raster source = grid_raster(3);
    Raster r = source;
    QI_DmriBGRtoYUV(r.data(), r.width, r.height);
    QI_DmriYUVtoBGR(r.data(), r.width, r.height);
    int worst = 0;
    for (int32_t y = 0; y < r.height; ++y)
        for (int32_t x = 0; x < r.width; ++x) {
            Px a = px_of(source.get(x, y)), b = px_of(r.get(x, y));
            worst = std::max({worst, abs(a.a - b.a), abs(a.b - b.b), abs(a.c - b.c)});
        }
    EXPECT_LE(worst, 3);
    EXPECT_GE(worst, 2) << "pure blue alone loses 2";

    Raster greys(256, 1, 4, 0);
    for (int32_t x = 0; x < 256; ++x)
        greys.set(x, 0, x | x << 8 | static_cast<uint32_t>(x) << 16);
    Raster g = greys;
    QI_DmriBGRtoYUV(g.data(), g.width, 1);
    for (int32_t x = 0; x < 256; ++x)
        EXPECT_EQ(g.get(x, 0), static_cast<uint32_t>(x | 127 << 8 | 127 << 16)) << x;
    QI_DmriYUVtoBGR(g.data(), g.width, 1);
    EXPECT_TRUE(same_pixels(g, greys));
}

TEST(ColourConvertTest, LinesFollowTheStrideAndPadBytesAndBadArgumentsAreLeftAlone) {
    // Width 5: 15 pixel bytes in a line of 16.
    for (Convert convert : {QI_DmriBGRtoYUV, QI_DmriYUVtoBGR}) {
        Raster r(5, 3, 4, 0xEE);
        std::mt19937 random(1);
        for (int32_t y = 0; y < 3; ++y)
            for (int32_t x = 0; x < 5; ++x)
                r.set(x, y, random() & 0xFFFFFF);
        Raster before = r;
        convert(r.data(), 5, 3);
        for (int32_t y = 0; y < 3; ++y) {
            EXPECT_EQ(r.bytes[y * 16 + 15], 0xEE) << "pad of line " << y;
            for (int32_t x = 0; x < 5; ++x)
                EXPECT_EQ(px_of(r.get(x, y)), convert == QI_DmriBGRtoYUV ? ref_to_yuv(px_of(before.get(x, y)))
                                                                         : ref_to_bgr(px_of(before.get(x, y))));
        }
        Raster untouched = r;
        convert(r.data(), 0, 3);
        convert(r.data(), 5, 0);
        convert(r.data(), -5, 3);
        convert(nullptr, 5, 3);
        EXPECT_EQ(r.bytes, untouched.bytes);
    }
}

TEST(ColourConvertTest, SwapBlueRedExchangesTheOuterBytesOnly) {
    uint8_t pixel[4] = {1, 2, 3, 4};
    QI_SwapBlueRed(pixel);
    EXPECT_EQ(pixel[0], 3);
    EXPECT_EQ(pixel[1], 2);
    EXPECT_EQ(pixel[2], 1);
    EXPECT_EQ(pixel[3], 4);
    QI_SwapBlueRed(nullptr);
}

// ---- Marking ----------------------------------------------------------------

namespace {

bool ref_marked(const Raster &r, int32_t x, int32_t y, const std::vector<int32_t> &colours) {
    for (int32_t c : colours) {
        if (c == -1)
            continue;
        uint32_t v = r.get(x, y);
        if (r.kind == 1   ? v == ((c & 0xFF) >= 128 ? 1u : 0u)
            : r.kind == 2 ? v == (c & 0xFFu)
                          : v == static_cast<uint32_t>(c))
            return true;
    }
    return false;
}

} // namespace

TEST(ColourMarkTest, MarksExactlyThePixelsOfTheGivenColours) {
    struct Case {
        int32_t kind;
        std::vector<int32_t> colours;
        const char *what;
    } cases[] = {
        {1, {0x7F7FFF}, "white"},
        {1, {0x7F7F00}, "black"},
        {1, {0x7F7F00, 0x7F7FFF}, "both"},
        {1, {0x7F7FFF, 0x7F7FFF}, "white twice marks white only"},
        {1, {-1}, "none marks nothing"},
        {1, {}, "empty list"},
        {2, {0x7F7F40, 0x10}, "grey by the low byte"},
        {2, {0x7F7FFF, -1}, "grey: -1 does not stand for 255"},
        {2, {0x300}, "grey 0 with other bytes"},
        {4, {0x7F7F40, 0x7F8040, 0x112233}, "colour by 24 bits"},
        {4, {-1, 0xFFFFFF}, "colour: -1 is not white"},
    };
    std::mt19937 random(2);
    for (const Case &c : cases)
        for (int32_t width : {1, 7, 16, 17, 33}) {
            Raster source(width, 5, c.kind, 0);
            // Few distinct values so that matches occur.
            const uint32_t values[] = {0x7F7F40, 0x7F8040, 0x10, 0x7F7FFF, 0xFFFFFF, 0, 0x112233};
            for (int32_t y = 0; y < 5; ++y)
                for (int32_t x = 0; x < width; ++x) {
                    uint32_t v = values[random() % 7];
                    source.set(x, y, c.kind == 1 ? random() & 1 : c.kind == 2 ? v & 0xFF : v);
                }
            if (c.kind == 1) // pad bits of the source set and cleared at random
                for (int32_t y = 0; y < 5; ++y)
                    source.bytes[y * source.line() + source.line() - 1] ^= static_cast<uint8_t>(random());
            Raster mask(width, 5, 1, 0xA5);
            int result = QI_DmriMarkColors(source.data(), width, 5, c.kind, mask.data(), c.colours.data(),
                                           static_cast<int32_t>(c.colours.size()));
            bool any = false;
            for (int32_t y = 0; y < 5; ++y) {
                for (int32_t x = 0; x < width; ++x) {
                    bool want = ref_marked(source, x, y, c.colours);
                    any = any || want;
                    ASSERT_EQ(mask.get(x, y), want ? 1u : 0u)
                        << c.what << " width " << width << " at " << x << "," << y;
                }
                Raster padOnly = mask;
                for (int32_t x = 0; x < width; ++x)
                    padOnly.set(x, y, 0);
                for (uint32_t i = 0; i < mask.line(); ++i)
                    ASSERT_EQ(padOnly.bytes[y * mask.line() + i], 0) << c.what << ": pad bits of line " << y;
            }
            EXPECT_EQ(result, any ? 1 : 0) << c.what << " width " << width;
        }
}

TEST(ColourMarkTest, NoMatchClearsTheMaskAndBadArgumentsLeaveItAlone) {
    Raster grey(20, 3, 2, 0x80);
    Raster mask(20, 3, 1, 0x5A);
    int32_t colours[] = {0x7F7F81};
    EXPECT_EQ(QI_DmriMarkColors(grey.data(), 20, 3, 2, mask.data(), colours, 1), 0);
    EXPECT_EQ(mask.bytes, std::vector<uint8_t>(mask.bytes.size(), 0)) << "all black";

    // A white bilevel raster asked for black: nothing, even though the
    // inverted line's pad bits would have been set.
    Raster white(20, 3, 1, 0x00);
    for (int32_t y = 0; y < 3; ++y)
        for (int32_t x = 0; x < 20; ++x)
            white.set(x, y, 1);
    int32_t black[] = {0x7F7F00};
    EXPECT_EQ(QI_DmriMarkColors(white.data(), 20, 3, 1, mask.data(), black, 1), 0);

    struct Bad {
        const uint8_t *source;
        int32_t width, height, kind;
        uint8_t *mask;
        const int32_t *colours;
        int32_t count;
        const char *what;
    } bads[] = {
        {grey.data(), 20, 3, 3, mask.data(), colours, 1, "kind 3"},
        {grey.data(), 20, 3, 0, mask.data(), colours, 1, "kind 0"},
        {nullptr, 20, 3, 2, mask.data(), colours, 1, "no source"},
        {grey.data(), 20, 3, 2, nullptr, colours, 1, "no mask"},
        {grey.data(), 20, 3, 2, mask.data(), nullptr, 1, "no colours"},
        {grey.data(), 20, 3, 2, mask.data(), colours, -1, "negative count"},
        {grey.data(), 0, 3, 2, mask.data(), colours, 1, "no width"},
        {grey.data(), 20, -1, 2, mask.data(), colours, 1, "negative height"},
    };
    for (const Bad &b : bads) {
        std::fill(mask.bytes.begin(), mask.bytes.end(), 0x5A);
        EXPECT_EQ(QI_DmriMarkColors(b.source, b.width, b.height, b.kind, b.mask, b.colours, b.count), 0) << b.what;
        EXPECT_EQ(mask.bytes, std::vector<uint8_t>(mask.bytes.size(), 0x5A)) << b.what;
    }
}

// ---- Frame edits ------------------------------------------------------------

namespace {

int scaled_level(int b, int f) { return std::min(255, b * f / 256); }

uint32_t ref_intensity(uint32_t v, int32_t kind, int f) {
    if (kind == 2)
        return scaled_level(static_cast<int>(v), f);
    Px p = px_of(v);
    // Every byte scales, the chrominance bytes too.
    return scaled_level(p.a, f) | scaled_level(p.b, f) << 8 | static_cast<uint32_t>(scaled_level(p.c, f)) << 16;
}

bool inside(const QI_Rect *r, int32_t x, int32_t y) {
    return !r || (x >= r->left && x <= r->right && y >= r->top && y <= r->bottom);
}

// A colour raster painted with a few colours.
Raster few_colours(int32_t w, int32_t h, std::mt19937 &random, const std::vector<uint32_t> &palette) {
    Raster r(w, h, 4, 0);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x)
            r.set(x, y, palette[random() % palette.size()]);
    return r;
}

uint32_t ref_replace(uint32_t v, const std::vector<int32_t> &table) {
    size_t n = table.size() / 2;
    for (size_t i = 0; i < n; ++i)
        if (static_cast<uint32_t>(table[i]) == v)
            return table[n + i] == -1 ? v : static_cast<uint32_t>(table[n + i]);
    return v;
}

class ColourFrameTest : public LibraryFixture {};

} // namespace

TEST_F(ColourFrameTest, IntensityWorkedValues) {
    struct Case {
        int32_t kind;
        uint32_t before;
        int16_t factor;
        uint32_t after;
    } cases[] = {
        {2, 100, 512, 200},           {2, 200, 512, 255}, // clips
        {2, 200, 128, 100},           {2, 77, 256, 77},   {2, 255, 0, 0},
        {4, 0x7F7F64, 512, 0xFEFEC8}, // the chrominance bytes scale too: 127 -> 254
        {4, 0x758964, 512, 0xEAFFC8}, // U 137 -> 274 clips, V 117 -> 234
        {4, 0x00FF80, 512, 0x00FFFF}, // Y 128 -> 256 clips, U 255 clips, V 0 stays
        {4, 0x758964, 128, 0x3A4432}, // Y 100 -> 50, U 137 -> 68, V 117 -> 58
        {4, 0x7E8064, 128, 0x3F4032}, // U 128 -> 64, V 126 -> 63
    };
    for (const Case &c : cases) {
        Raster r(3, 2, c.kind, 0);
        r.set(1, 1, c.before);
        int frame = frame_from(r);
        ASSERT_GE(frame, 0);
        EXPECT_EQ(QI_FrameChangeIntensity(frame, nullptr, c.factor), 1);
        EXPECT_EQ(frame_pixels(frame).get(1, 1), c.after) << std::hex << c.before << " x " << std::dec << c.factor;
        QI_FrameDelete(frame);
    }
}

TEST_F(ColourFrameTest, IntensityScalesTheRectOnlyInEveryStorageAndKeepsTheLockState) {
    std::mt19937 random(3);
    QI_Rect cut{100, 50, 260, 180};
    for (int32_t kind : {2, 4})
        for (int storage : {QI_STORAGE_MEMORY, QI_STORAGE_SWAP})
            for (const QI_Rect *rect : {static_cast<const QI_Rect *>(nullptr), static_cast<const QI_Rect *>(&cut)})
                for (int16_t factor : {0, 128, 256, 300, 512, 32767})
                    for (bool locked : {false, true}) {
                        Raster source(300, 200, kind, 0);
                        source.fill_random(random);
                        int frame = frame_from(source, storage);
                        ASSERT_GE(frame, 0);
                        if (locked)
                            QI_FrameLock(frame);
                        ASSERT_EQ(QI_FrameChangeIntensity(frame, rect, factor), 1);
                        EXPECT_EQ(QI_FrameGetData(frame)->locked, locked ? 1 : 0);
                        Raster want = source;
                        for (int32_t y = 0; y < 200; ++y)
                            for (int32_t x = 0; x < 300; ++x)
                                if (inside(rect, x, y))
                                    want.set(x, y, ref_intensity(source.get(x, y), kind, factor));
                        EXPECT_TRUE(same_pixels(frame_pixels(frame), want))
                            << "kind " << kind << " storage " << storage << " factor " << factor
                            << (rect ? " cut" : "");
                        QI_FrameDelete(frame);
                    }
}

TEST_F(ColourFrameTest, IntensityRefusalsChangeNothing) {
    Raster grey(40, 30, 2, 90);
    int frame = frame_from(grey);
    Raster bilevel(40, 30, 1, 0x0F);
    int bw = frame_from(bilevel);
    ASSERT_GE(frame, 0);
    ASSERT_GE(bw, 0);
    QI_Rect outside{10, 10, 40, 20}, negative{-1, 0, 5, 5};
    EXPECT_EQ(QI_FrameChangeIntensity(bw, nullptr, 512), 1) << "bilevel: nothing to do";
    EXPECT_TRUE(same_pixels(frame_pixels(bw), bilevel));
    EXPECT_EQ(QI_FrameChangeIntensity(frame + 7, nullptr, 512), 0) << "unknown frame";
    EXPECT_EQ(QI_FrameChangeIntensity(-1, nullptr, 512), 0);
    EXPECT_EQ(QI_FrameChangeIntensity(frame, nullptr, -256), 0) << "negative factor";
    EXPECT_EQ(QI_FrameChangeIntensity(frame, &outside, 512), 0) << "rect past the edge";
    EXPECT_EQ(QI_FrameChangeIntensity(frame, &negative, 512), 0);
    EXPECT_TRUE(same_pixels(frame_pixels(frame), grey));
    EXPECT_EQ(QI_FrameGetData(frame)->locked, 0);
    QI_FrameDelete(frame);
    QI_FrameDelete(bw);
}

TEST_F(ColourFrameTest, ReplaceColorsFirstMatchWinsInTheRectOnly) {
    const uint32_t a = 0x7F7F10, b = 0x8040C0, c = 0x123456, d = 0x7F7FFF;
    struct Case {
        std::vector<int32_t> table;
        const char *what;
    } cases[] = {
        {{static_cast<int32_t>(a), static_cast<int32_t>(b)}, "one colour"},
        {{static_cast<int32_t>(a), static_cast<int32_t>(b), static_cast<int32_t>(b), static_cast<int32_t>(a)},
         "swap: replacements are not matched again"},
        {{static_cast<int32_t>(a), static_cast<int32_t>(a), static_cast<int32_t>(c), static_cast<int32_t>(d)},
         "first match wins"},
        {{static_cast<int32_t>(a), static_cast<int32_t>(b), -1, static_cast<int32_t>(d)}, "-1 keeps the pixel"},
        {{-1, static_cast<int32_t>(c)}, "-1 matches nothing"},
        {{static_cast<int32_t>(a | 0x01000000u), static_cast<int32_t>(c)}, "high byte set matches nothing"},
    };
    std::mt19937 random(4);
    QI_Rect cut{100, 50, 260, 200};
    for (const Case &k : cases)
        for (int storage : {QI_STORAGE_MEMORY, QI_STORAGE_SWAP})
            for (const QI_Rect *rect : {static_cast<const QI_Rect *>(nullptr), static_cast<const QI_Rect *>(&cut)})
                for (bool locked : {false, true}) {
                    Raster source = few_colours(300, 270, random, {a, b, c, d, 0xFFFFFF});
                    int frame = frame_from(source, storage);
                    ASSERT_GE(frame, 0);
                    if (locked)
                        QI_FrameLock(frame);
                    int32_t n = static_cast<int32_t>(k.table.size() / 2);
                    ASSERT_EQ(QI_FrameReplaceColors(frame, rect, k.table.data(), n), 1) << k.what;
                    EXPECT_EQ(QI_FrameGetData(frame)->locked, locked ? 1 : 0);
                    Raster want = source;
                    for (int32_t y = 0; y < source.height; ++y)
                        for (int32_t x = 0; x < source.width; ++x)
                            if (inside(rect, x, y))
                                want.set(x, y, ref_replace(source.get(x, y), k.table));
                    EXPECT_TRUE(same_pixels(frame_pixels(frame), want)) << k.what << " storage " << storage;
                    QI_FrameDelete(frame);
                }
}

TEST_F(ColourFrameTest, ReplaceColorsRefusals) {
    int32_t table[] = {0x7F7F10, 0x7F7F20};
    Raster grey(50, 50, 2, 0x10);
    int g = frame_from(grey);
    Raster colour(50, 50, 4, 0x7F);
    int frame = frame_from(colour);
    ASSERT_GE(g, 0);
    ASSERT_GE(frame, 0);
    EXPECT_EQ(QI_FrameReplaceColors(99, nullptr, table, 0), 1) << "nothing to replace";
    EXPECT_EQ(QI_FrameReplaceColors(99, nullptr, table, 1), 0) << "unknown frame";
    EXPECT_EQ(QI_FrameReplaceColors(g, nullptr, table, 1), 0) << "grey frame";
    EXPECT_EQ(QI_FrameGetData(g)->locked, 0);
    QI_FrameLock(g);
    EXPECT_EQ(QI_FrameReplaceColors(g, nullptr, table, 1), 0);
    EXPECT_EQ(QI_FrameGetData(g)->locked, 1) << "the caller's lock stays";
    QI_FrameUnlock(g);
    QI_Rect outside{0, 0, 50, 10};
    EXPECT_EQ(QI_FrameReplaceColors(frame, &outside, table, 1), 0) << "rect past the edge";
    EXPECT_EQ(QI_FrameReplaceColors(frame, nullptr, nullptr, 1), 0) << "no table";
    EXPECT_EQ(QI_FrameReplaceColors(frame, nullptr, table, -1), 0) << "negative count";
    EXPECT_TRUE(same_pixels(frame_pixels(g), grey));
    EXPECT_TRUE(same_pixels(frame_pixels(frame), colour));
    QI_FrameDelete(g);
    QI_FrameDelete(frame);
}

TEST_F(ColourFrameTest, FailedAllocationsAndTileWritesReportZeroAndKeepTheLockState) {
    const uint32_t a = 0x7F7F10, b = 0x8040C0;
    std::vector<int32_t> swapAB = {static_cast<int32_t>(a), static_cast<int32_t>(b), static_cast<int32_t>(b),
                                   static_cast<int32_t>(a)};
    std::mt19937 random(5);
    enum Op { Intensity, Replace };
    for (Op op : {Intensity, Replace})
        for (int storage : {QI_STORAGE_MEMORY, QI_STORAGE_SWAP}) {
            Raster source = few_colours(300, 270, random, {a, b, 0x7F7F80});
            auto changed = [&](uint32_t v) {
                return op == Intensity ? ref_intensity(v, 4, 512) : ref_replace(v, swapAB);
            };
            auto run = [&](int frame) {
                return op == Intensity ? QI_FrameChangeIntensity(frame, nullptr, 512)
                                       : QI_FrameReplaceColors(frame, nullptr, swapAB.data(), 2);
            };
            // Every pixel either as it was or as it becomes: a failure may
            // leave some tiles done, but none half done or damaged.
            auto each_pixel_old_or_new = [&](int frame) {
                Raster got = frame_pixels(frame);
                for (int32_t y = 0; y < got.height; ++y)
                    for (int32_t x = 0; x < got.width; ++x)
                        if (got.get(x, y) != source.get(x, y) && got.get(x, y) != changed(source.get(x, y)))
                            return false;
                return true;
            };
            Raster want = source;
            for (int32_t y = 0; y < source.height; ++y)
                for (int32_t x = 0; x < source.width; ++x)
                    want.set(x, y, changed(source.get(x, y)));
            int failures = 0;
            for (int64_t n = 1;; ++n) {
                int frame = frame_from(source, storage);
                ASSERT_GE(frame, 0);
                qs_test_fail_allocation(n);
                int result = run(frame);
                bool hit = qs_test_allocation_count() >= n;
                qs_test_fail_allocation(0);
                EXPECT_EQ(QI_FrameGetData(frame)->locked, 0) << "allocation " << n;
                if (result == 0) {
                    ++failures;
                    EXPECT_TRUE(each_pixel_old_or_new(frame)) << "allocation " << n;
                } else {
                    EXPECT_TRUE(same_pixels(frame_pixels(frame), want)) << "allocation " << n;
                }
                QI_FrameDelete(frame);
                if (result == 1 && !hit)
                    break;
            }
            EXPECT_GE(failures, 2) << "the lock and the tile buffer allocate";
            if (storage == QI_STORAGE_SWAP)
                for (quill::FileOp failing : {quill::FileOp::Write, quill::FileOp::Read})
                    for (int n = 1; n <= 8; n += 3) {
                        int frame = frame_from(source, storage);
                        ASSERT_GE(frame, 0);
                        qi_test_fail_file_op(static_cast<int>(failing), n);
                        int result = run(frame);
                        qi_test_fail_file_op(static_cast<int>(failing), 0);
                        EXPECT_EQ(result, 0) << "file op " << static_cast<int>(failing) << " #" << n;
                        EXPECT_EQ(QI_FrameGetData(frame)->locked, 0);
                        EXPECT_TRUE(each_pixel_old_or_new(frame));
                        QI_FrameDelete(frame);
                    }
        }
}

// ---- Colour lists -----------------------------------------------------------

TEST(ColourListTest, UniqueKeepsTheLastOccurrenceInOrderAndDropsNone) {
    struct Case {
        std::vector<int32_t> list, want;
    } cases[] = {
        {{5, 7, 5, -1}, {7, 5}},
        {{1, 2, 3}, {1, 2, 3}},
        {{4, 4, 4}, {4}},
        {{1, 2, 1, 2}, {1, 2}},
        {{2, 1, 2, 1, 3}, {2, 1, 3}},
        {{-1, -1}, {}},
        {{-1, 0x7F7FFF, -1}, {0x7F7FFF}},
        {{0xFFFFFF, -1, 0xFFFFFF}, {0xFFFFFF}}, // -1 is not white
        {{}, {}},
    };
    for (const Case &c : cases) {
        std::vector<int32_t> list = c.list;
        int32_t n = quill::colour_list_unique(list.data(), static_cast<int32_t>(list.size()));
        ASSERT_EQ(n, static_cast<int32_t>(c.want.size()));
        EXPECT_EQ(std::vector<int32_t>(list.begin(), list.begin() + n), c.want);
    }
    EXPECT_EQ(quill::colour_list_unique(nullptr, 3), 0);
}

TEST(ColourListTest, ShareAndAllIn) {
    struct Case {
        std::vector<int32_t> a, b;
        bool share, allIn;
    } cases[] = {
        {{1, 2}, {2, 3}, true, false},   {{1, 2}, {3, 4}, false, false},
        {{1, 2}, {2, 1, 5}, true, true}, {{3}, {3}, true, true},
        {{1}, {}, false, true},                                                   // an empty b accepts everything
        {{}, {1}, false, false},                                                  // an empty a is not contained
        {{}, {}, false, true},           {{0x7F7FFF}, {0x17F7FFF}, false, false}, // all 32 bits compare
    };
    for (const Case &c : cases) {
        int32_t na = static_cast<int32_t>(c.a.size()), nb = static_cast<int32_t>(c.b.size());
        EXPECT_EQ(quill::colour_lists_share(c.a.data(), na, c.b.data(), nb), c.share);
        EXPECT_EQ(quill::colour_list_all_in(c.a.data(), na, c.b.data(), nb), c.allIn);
    }
    int32_t one[] = {1};
    EXPECT_FALSE(quill::colour_lists_share(nullptr, 1, one, 1));
    EXPECT_TRUE(quill::colour_list_all_in(one, 1, nullptr, 4));
}
