/*
 * rects_test.cpp - line lengths, the arithmetic of inclusive rectangles and
 * the minimum pixel kind of a colour value.
 *
 * Rect difference is checked by a property over random pairs, pixel by pixel
 * on a small grid: every pixel of A lies either in B or in exactly one of the
 * returned rects, and no returned pixel lies outside A.
 */
#include "quillimg.h"
#include "raster/core/rect_utils.h"

#include <gtest/gtest.h>

#include <math.h>
#include <stdint.h>

#include <algorithm>
#include <limits>
#include <ostream>
#include <random>
#include <vector>

// In the global namespace, next to QI_Rect, so that GoogleTest finds them.
static bool operator==(const QI_Rect &a, const QI_Rect &b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

static std::ostream &operator<<(std::ostream &os, const QI_Rect &r) {
    return os << "(" << r.left << ", " << r.top << ", " << r.right << ", " << r.bottom << ")";
}

namespace {

int64_t area(const QI_Rect &r) {
    return (static_cast<int64_t>(r.right) - r.left + 1) * (static_cast<int64_t>(r.bottom) - r.top + 1);
}

bool contains(const QI_Rect &r, int32_t x, int32_t y) {
    return r.left <= x && x <= r.right && r.top <= y && y <= r.bottom;
}

// Whether two rects share a pixel, computed without the function under test.
bool overlap(const QI_Rect &a, const QI_Rect &b) {
    return a.left <= b.right && b.left <= a.right && a.top <= b.bottom && b.top <= a.bottom;
}

const QI_Rect kSentinel{-777, -777, -777, -777};

// ---- Line length -------------------------------------------------------

TEST(LineWidth, BytesPerLineForEachKind) {
    struct Case {
        int32_t kind;
        int32_t width;
        uint32_t bytes;
    };
    const Case cases[] = {
        {1, 0, 0},      {1, 1, 2},      {1, 15, 2},   {1, 16, 2},       {1, 17, 4},
        {1, 32, 4},     {1, 33, 6},     {1, 1000, 126},
        {2, 0, 0},      {2, 1, 4},      {2, 4, 4},    {2, 5, 8},        {2, 1001, 1004},
        {3, 5, 8},      {3, 8, 8},
        {4, 0, 0},      {4, 1, 4},      {4, 2, 8},    {4, 3, 12},       {4, 4, 12},
        {4, 5, 16},     {4, 1000, 3000},
        // Only the low 8 bits of the kind count; other values take the
        // three-byte rule.
        {0x101, 17, 4}, {0x102, 5, 8},  {0x104, 1, 4}, {0, 4, 12},      {5, 1, 4},
        {8, 3, 12},
    };
    for (const Case &c : cases)
        EXPECT_EQ(QI_GetLineBWi(c.kind, c.width), c.bytes) << "kind " << c.kind << " width " << c.width;
}

// ---- Intersection ------------------------------------------------------

TEST(RectIntersect, CommonPartOrNothing) {
    struct Case {
        QI_Rect a, b;
        int meets;
        QI_Rect common;
    };
    const Case cases[] = {
        // Corners touching meet in one pixel.
        {{0, 0, 9, 9}, {9, 9, 20, 20}, 1, {9, 9, 9, 9}},
        // Side by side without a shared column.
        {{0, 0, 9, 9}, {10, 0, 20, 9}, 0, {}},
        {{0, 0, 9, 9}, {0, 10, 9, 20}, 0, {}},
        {{10, 0, 20, 9}, {0, 0, 9, 9}, 0, {}},
        // Overlapping in x but not in y, and the reverse.
        {{0, 0, 9, 9}, {2, 12, 5, 15}, 0, {}},
        {{0, 0, 9, 9}, {12, 2, 15, 5}, 0, {}},
        // Sharing one column.
        {{0, 0, 9, 9}, {9, -5, 30, 3}, 1, {9, 0, 9, 3}},
        {{0, 0, 9, 9}, {3, 3, 5, 5}, 1, {3, 3, 5, 5}},
        {{3, 3, 5, 5}, {0, 0, 9, 9}, 1, {3, 3, 5, 5}},
        {{-10, -10, 4, 4}, {-2, -3, 10, 10}, 1, {-2, -3, 4, 4}},
        {{0, 0, 0, 0}, {0, 0, 0, 0}, 1, {0, 0, 0, 0}},
        {{7, 7, 7, 7}, {8, 7, 8, 7}, 0, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "A " << c.a << " B " << c.b);
        QI_Rect out = kSentinel;
        EXPECT_EQ(QI_IntersectRects(&c.a, &c.b, &out), c.meets);
        if (c.meets)
            EXPECT_EQ(out, c.common);
        else
            EXPECT_EQ(out, kSentinel) << "the output must stay untouched";
        // Without an output the answer is the same.
        EXPECT_EQ(QI_IntersectRects(&c.a, &c.b, nullptr), c.meets);
    }
}

TEST(RectIntersect, OutputMayBeEitherInput) {
    const QI_Rect a{-10, -10, 4, 4};
    const QI_Rect b{-2, -3, 10, 10};
    const QI_Rect common{-2, -3, 4, 4};

    QI_Rect intoA = a;
    EXPECT_EQ(QI_IntersectRects(&intoA, &b, &intoA), 1);
    EXPECT_EQ(intoA, common);

    QI_Rect intoB = b;
    EXPECT_EQ(QI_IntersectRects(&a, &intoB, &intoB), 1);
    EXPECT_EQ(intoB, common);

    // Disjoint: the aliased input is not changed.
    QI_Rect apart{20, 20, 30, 30};
    EXPECT_EQ(QI_IntersectRects(&apart, &b, &apart), 0);
    EXPECT_EQ(apart, (QI_Rect{20, 20, 30, 30}));
}

// ---- Containment -------------------------------------------------------

TEST(RectCover, BMustLieWhollyInsideA) {
    const QI_Rect a{0, 0, 9, 9};
    struct Case {
        QI_Rect b;
        int covered;
    };
    const Case cases[] = {
        {{0, 0, 9, 9}, 1},
        {{3, 3, 5, 5}, 1},
        {{9, 9, 9, 9}, 1},
        {{0, 0, 0, 0}, 1},
        {{0, 0, 10, 9}, 0}, // one pixel wider
        {{-1, 0, 9, 9}, 0},
        {{0, -1, 9, 9}, 0},
        {{0, 0, 9, 10}, 0},
        {{-5, -5, 20, 20}, 0}, // B covers A instead
        {{20, 20, 30, 30}, 0},
        {{5, 5, 12, 7}, 0},
        {{10, 0, 12, 9}, 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(QI_RectAcoverB(&a, &c.b), c.covered) << "B " << c.b;
}

// ---- Bounding rect -----------------------------------------------------

TEST(RectAdd, BoundingRectOfBoth) {
    struct Case {
        QI_Rect a, b, bound;
    };
    const Case cases[] = {
        {{0, 0, 9, 9}, {3, 3, 5, 5}, {0, 0, 9, 9}},
        {{3, 3, 5, 5}, {0, 0, 9, 9}, {0, 0, 9, 9}},
        {{0, 0, 1, 1}, {10, 20, 11, 21}, {0, 0, 11, 21}},
        {{10, -5, 12, 0}, {-3, 4, 0, 8}, {-3, -5, 12, 8}},
        {{2, 2, 2, 2}, {2, 2, 2, 2}, {2, 2, 2, 2}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "A " << c.a << " B " << c.b);
        QI_Rect out = kSentinel;
        QI_AddRects(&c.a, &c.b, &out);
        EXPECT_EQ(out, c.bound);

        QI_Rect intoA = c.a;
        QI_AddRects(&intoA, &c.b, &intoA);
        EXPECT_EQ(intoA, c.bound);

        QI_Rect intoB = c.b;
        QI_AddRects(&c.a, &intoB, &intoB);
        EXPECT_EQ(intoB, c.bound);
    }
}

// ---- Difference --------------------------------------------------------

TEST(RectSubtract, BandsInOrderTopLeftRightBottom) {
    const QI_Rect a{0, 0, 9, 9};
    struct Case {
        QI_Rect b;
        std::vector<QI_Rect> parts;
    };
    const Case cases[] = {
        {{3, 3, 5, 5}, {{0, 0, 9, 2}, {0, 3, 2, 5}, {6, 3, 9, 5}, {0, 6, 9, 9}}},
        {{0, 0, 9, 4}, {{0, 5, 9, 9}}},
        {{0, 5, 9, 9}, {{0, 0, 9, 4}}},
        {{0, 0, 4, 9}, {{5, 0, 9, 9}}},
        {{5, 0, 9, 9}, {{0, 0, 4, 9}}},
        // B reaching beyond A on three sides leaves one band.
        {{-5, -5, 20, 6}, {{0, 7, 9, 9}}},
        {{-5, 3, 20, 20}, {{0, 0, 9, 2}}},
        // B in a corner: a full-width band and a side band of I's rows.
        {{-2, -2, 3, 4}, {{4, 0, 9, 4}, {0, 5, 9, 9}}},
        {{6, 7, 12, 12}, {{0, 0, 9, 6}, {0, 7, 5, 9}}},
        // B a vertical stripe through A: left and right bands.
        {{4, -1, 5, 10}, {{0, 0, 3, 9}, {6, 0, 9, 9}}},
        // B a horizontal stripe through A: top and bottom bands.
        {{-1, 4, 10, 5}, {{0, 0, 9, 3}, {0, 6, 9, 9}}},
        // B sharing only A's right column.
        {{9, 2, 15, 3}, {{0, 0, 9, 1}, {0, 2, 8, 3}, {0, 4, 9, 9}}},
        // B covers A exactly, or more.
        {{0, 0, 9, 9}, {}},
        {{-1, -1, 10, 10}, {}},
        // Disjoint: A itself.
        {{10, 0, 20, 9}, {{0, 0, 9, 9}}},
        {{-20, -20, -1, -1}, {{0, 0, 9, 9}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "B " << c.b);
        QI_Rect out[4] = {kSentinel, kSentinel, kSentinel, kSentinel};
        const int16_t n = QI_RectAsubB(&a, &c.b, out);
        ASSERT_EQ(n, static_cast<int16_t>(c.parts.size()));
        for (int16_t i = 0; i < n; ++i)
            EXPECT_EQ(out[i], c.parts[static_cast<size_t>(i)]) << "rect " << i;
        // Nothing is written beyond the count, except that out[0] may hold
        // the intersection when nothing is left.
        for (int16_t i = std::max<int16_t>(n, 1); i < 4; ++i)
            EXPECT_EQ(out[i], kSentinel) << "rect " << i << " written beyond the count";
    }
}

TEST(RectSubtract, PartsTileTheRestOfAPixelByPixel) {
    std::mt19937 rng(20240611u);
    std::uniform_int_distribution<int32_t> coord(-12, 12);
    auto random_rect = [&]() {
        int32_t x0 = coord(rng), x1 = coord(rng), y0 = coord(rng), y1 = coord(rng);
        return QI_Rect{std::min(x0, x1), std::min(y0, y1), std::max(x0, x1), std::max(y0, y1)};
    };
    int counts[5] = {};
    for (int trial = 0; trial < 4000; ++trial) {
        const QI_Rect a = random_rect();
        const QI_Rect b = random_rect();
        SCOPED_TRACE(testing::Message() << "A " << a << " B " << b);
        QI_Rect out[4];
        const int16_t n = QI_RectAsubB(&a, &b, out);
        ASSERT_GE(n, 0);
        ASSERT_LE(n, 4);
        ++counts[n];

        int64_t partsArea = 0;
        for (int16_t i = 0; i < n; ++i) {
            const QI_Rect &r = out[i];
            ASSERT_LE(r.left, r.right) << "rect " << i;
            ASSERT_LE(r.top, r.bottom) << "rect " << i;
            EXPECT_TRUE(QI_RectAcoverB(&a, &r)) << "rect " << i << " " << r << " leaves A";
            EXPECT_FALSE(overlap(r, b)) << "rect " << i << " " << r << " meets B";
            for (int16_t j = 0; j < i; ++j)
                EXPECT_FALSE(overlap(r, out[j])) << "rects " << j << " and " << i << " overlap";
            partsArea += area(r);
        }
        const QI_Rect common{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
                             std::min(a.bottom, b.bottom)};
        const int64_t commonArea = overlap(a, b) ? area(common) : 0;
        EXPECT_EQ(partsArea + commonArea, area(a));

        // Pixel by pixel: each pixel of A is in B or in exactly one part.
        for (int32_t y = a.top; y <= a.bottom; ++y)
            for (int32_t x = a.left; x <= a.right; ++x) {
                int hits = contains(b, x, y) ? 1 : 0;
                for (int16_t i = 0; i < n; ++i)
                    hits += contains(out[i], x, y) ? 1 : 0;
                ASSERT_EQ(hits, 1) << "pixel (" << x << ", " << y << ")";
            }
    }
    // The random pairs reached every possible count.
    for (int k = 0; k <= 4; ++k)
        EXPECT_GT(counts[k], 0) << "no pair gave " << k << " rects";
}

TEST(RectSubtract, OutputMayStartAtA) {
    struct Case {
        QI_Rect a, b;
        std::vector<QI_Rect> parts;
    };
    const Case cases[] = {
        {{0, 0, 9, 9}, {3, 3, 5, 5}, {{0, 0, 9, 2}, {0, 3, 2, 5}, {6, 3, 9, 5}, {0, 6, 9, 9}}},
        {{0, 0, 9, 9}, {0, 0, 9, 4}, {{0, 5, 9, 9}}},
        {{0, 0, 9, 9}, {-2, -2, 3, 4}, {{4, 0, 9, 4}, {0, 5, 9, 9}}},
        {{0, 0, 9, 9}, {20, 20, 30, 30}, {{0, 0, 9, 9}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "A " << c.a << " B " << c.b);
        QI_Rect buffer[4] = {c.a, kSentinel, kSentinel, kSentinel};
        const int16_t n = QI_RectAsubB(&buffer[0], &c.b, buffer);
        ASSERT_EQ(n, static_cast<int16_t>(c.parts.size()));
        for (int16_t i = 0; i < n; ++i)
            EXPECT_EQ(buffer[i], c.parts[static_cast<size_t>(i)]) << "rect " << i;
    }
}

// ---- Scaled rects ------------------------------------------------------

TEST(RectRoundupScaled, SubpixelCoordinatesMapToThePixelsTheyLieIn) {
    // The values named in the documentation, one in each position.
    QI_Rect r{255, 256, -1, -256};
    QI_RoundupScaledRect(&r);
    EXPECT_EQ(r, (QI_Rect{0, 1, -1, -1}));

    QI_Rect s{-257, 0, 511, 512};
    QI_RoundupScaledRect(&s);
    EXPECT_EQ(s, (QI_Rect{-2, 0, 1, 2}));

    QI_Rect extremes{std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), -2147483647,
                     2147483392};
    QI_RoundupScaledRect(&extremes);
    EXPECT_EQ(extremes, (QI_Rect{-8388608, 8388607, -8388608, 8388607}));

    // A sweep against floor(v / 256) in double arithmetic, every coordinate
    // given a different value so that a mixed-up field shows.
    for (int32_t v = -2000; v <= 2000; ++v) {
        QI_Rect q{v, v + 97, v - 300, v + 1000};
        QI_RoundupScaledRect(&q);
        const QI_Rect expected{static_cast<int32_t>(floor(v / 256.0)), static_cast<int32_t>(floor((v + 97) / 256.0)),
                               static_cast<int32_t>(floor((v - 300) / 256.0)),
                               static_cast<int32_t>(floor((v + 1000) / 256.0))};
        ASSERT_EQ(q, expected) << "v = " << v;
    }
}

// ---- Minimum kind of a colour ------------------------------------------

TEST(ColorKind, SmallestKindThatHoldsTheColour) {
    struct Case {
        int32_t color;
        int32_t kind;
    };
    const Case cases[] = {
        {-1, 0},
        {QI_COLOR_WHITE, 1},
        {QI_COLOR_BLACK, 1},
        {0x7F7FFF, 1},
        {0x7F7F00, 1},
        {0x7F7F80, 2},
        {0x7F7F01, 2},
        {0x7F7FFE, 2},
        {0x7F8080, 4},
        {0x807F80, 4},
        {0x7F807F, 4},
        {0x000000, 4},
        {0xFFFFFF, 4},
        {0x7E7F80, 4},
        {0x7F7E80, 4},
        {-2, 4},
    };
    for (const Case &c : cases)
        EXPECT_EQ(quill::color_kind(c.color), c.kind) << std::hex << "colour 0x" << c.color;
}

} // namespace
