/*
 * base_test.cpp - the shared heap, the rounding rule and the polygon point
 * conversions of quillstd, and the line length that quillvec exports.
 *
 * Heap tests run against the test twin of quillstd, whose hooks fail the
 * n-th allocation on purpose and count the blocks held, so every case also
 * proves that nothing was lost or released twice.
 */
#include "base/test_hooks.h"
#include "quillimg.h"
#include "quillstd.h"
#include "quillvec.h"

#include <gtest/gtest.h>

#include <math.h>
#include <stdint.h>
#include <string.h>

#include <limits>
#include <vector>

namespace {

// Switches allocation failure off again whatever the test did.
class BaseHeap : public ::testing::Test {
protected:
    void SetUp() override { liveBefore_ = qs_test_live_blocks(); }
    void TearDown() override {
        qs_test_fail_allocation(0);
        EXPECT_EQ(qs_test_live_blocks(), liveBefore_) << "heap blocks leaked";
    }
    int64_t liveBefore_ = 0;
};

using BasePolygons = BaseHeap;

// A Wpoly laid out byte by byte: int32 count, then (uint16 x, uint16 y) pairs.
std::vector<uint8_t> make_wpoly(const std::vector<std::pair<uint16_t, uint16_t>> &points) {
    std::vector<uint8_t> bytes(4 + 4 * points.size());
    int32_t count = static_cast<int32_t>(points.size());
    memcpy(bytes.data(), &count, 4);
    for (size_t i = 0; i < points.size(); ++i) {
        memcpy(bytes.data() + 4 + 4 * i, &points[i].first, 2);
        memcpy(bytes.data() + 6 + 4 * i, &points[i].second, 2);
    }
    return bytes;
}

int32_t read_i32(const void *block, size_t offset) {
    int32_t v;
    memcpy(&v, static_cast<const uint8_t *>(block) + offset, 4);
    return v;
}

uint16_t read_u16(const void *block, size_t offset) {
    uint16_t v;
    memcpy(&v, static_cast<const uint8_t *>(block) + offset, 2);
    return v;
}

// ---- Heap -------------------------------------------------------------

TEST_F(BaseHeap, MallocOfZeroBytesGivesDistinctFreeableBlocks) {
    void *a = qs_malloc(0);
    void *b = qs_malloc(0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(qs_test_live_blocks(), liveBefore_ + 2);
    // The block holds at least one byte that can be written.
    static_cast<uint8_t *>(a)[0] = 0xA5;
    qs_free(&a);
    qs_free(&b);
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(b, nullptr);
}

TEST_F(BaseHeap, FreeNullsTheCallersPointerAndIgnoresNull) {
    void *block = qs_malloc(64);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(qs_test_live_blocks(), liveBefore_ + 1);
    qs_free(&block);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(qs_test_live_blocks(), liveBefore_);

    // A second free through the same variable sees null and does nothing.
    qs_free(&block);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(qs_test_live_blocks(), liveBefore_);
}

TEST_F(BaseHeap, MallocFailureReturnsNullAndHoldsNothing) {
    qs_test_fail_allocation(1);
    EXPECT_EQ(qs_malloc(16), nullptr);
    EXPECT_EQ(qs_test_live_blocks(), liveBefore_);
    // Only the chosen attempt fails.
    void *block = qs_malloc(16);
    EXPECT_NE(block, nullptr);
    qs_free(&block);
}

TEST_F(BaseHeap, ReallocFromNullAllocates) {
    void *block = nullptr;
    ASSERT_EQ(qs_realloc(&block, 32), 1);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(qs_test_live_blocks(), liveBefore_ + 1);
    memset(block, 0x5A, 32);
    qs_free(&block);
}

TEST_F(BaseHeap, ReallocFromNullFailingLeavesNull) {
    void *block = nullptr;
    qs_test_fail_allocation(1);
    EXPECT_EQ(qs_realloc(&block, 32), 0);
    EXPECT_EQ(block, nullptr);
}

TEST_F(BaseHeap, ReallocKeepsContentsWhenGrowingAndShrinking) {
    void *block = qs_malloc(16);
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 16; ++i)
        static_cast<uint8_t *>(block)[i] = static_cast<uint8_t>(i * 7 + 1);

    // Large enough that the block almost certainly moves.
    ASSERT_EQ(qs_realloc(&block, 1u << 20), 1);
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(static_cast<uint8_t *>(block)[i], static_cast<uint8_t>(i * 7 + 1)) << "byte " << i;

    ASSERT_EQ(qs_realloc(&block, 8), 1);
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(static_cast<uint8_t *>(block)[i], static_cast<uint8_t>(i * 7 + 1)) << "byte " << i;
    EXPECT_EQ(qs_test_live_blocks(), liveBefore_ + 1);
    qs_free(&block);
}

TEST_F(BaseHeap, ReallocToZeroReleasesTheBlockAndNullsThePointer) {
    void *block = qs_malloc(40);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(qs_realloc(&block, 0), 1);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(qs_test_live_blocks(), liveBefore_);
    // What the byte store does after shrinking its directory to nothing.
    qs_free(&block);
    EXPECT_EQ(qs_test_live_blocks(), liveBefore_);
}

TEST_F(BaseHeap, FailedReallocKeepsTheOldBlockIntact) {
    for (uint32_t newSize : {8u, 64u, 4096u}) {
        SCOPED_TRACE(newSize);
        void *block = qs_malloc(64);
        ASSERT_NE(block, nullptr);
        for (int i = 0; i < 64; ++i)
            static_cast<uint8_t *>(block)[i] = static_cast<uint8_t>(255 - i);
        void *const before = block;

        qs_test_fail_allocation(1);
        EXPECT_EQ(qs_realloc(&block, newSize), 0);
        EXPECT_EQ(block, before);
        EXPECT_EQ(qs_test_live_blocks(), liveBefore_ + 1);
        for (int i = 0; i < 64; ++i)
            ASSERT_EQ(static_cast<uint8_t *>(block)[i], static_cast<uint8_t>(255 - i)) << "byte " << i;

        // The block is still the caller's: it can be resized and freed.
        ASSERT_EQ(qs_realloc(&block, newSize), 1);
        qs_free(&block);
        EXPECT_EQ(qs_test_live_blocks(), liveBefore_);
    }
}

// ---- Rounding ----------------------------------------------------------

TEST(BaseRounding, HalvesGoTowardsPlusInfinity) {
    struct Case {
        double x;
        int32_t expected;
    };
    const Case cases[] = {
        {0.5, 1},
        {-0.5, 0},
        {1.5, 2},
        {-1.5, -1},
        {2.5, 3},
        {-2.5, -2},
        {-2.6, -3},
        {-2.4, -2},
        {2.6, 3},
        {0.49999, 0},
        {-0.49999, 0},
        {-0.50001, -1},
        // The largest double below one half: floor(x + 0.5) would give 1
        // because the addition rounds up to exactly 1.0.
        {0.49999999999999994, 0},
        {3.0, 3},
        {-3.0, -3},
        {0.0, 0},
        {-0.0, 0},
        {1e-300, 0},
        {-1e-300, 0},
        {1000000.5, 1000001},
        {-1000000.5, -1000000},
        {2147483646.5, 2147483647},
        {-2147483648.0, std::numeric_limits<int32_t>::min()},
        {-2147483647.5, -2147483647},
    };
    for (const Case &c : cases)
        EXPECT_EQ(qs_dround(c.x), c.expected) << "x = " << c.x;
}

TEST(BaseRounding, SignOfZeroIsZeroAndNaNCountsAsPositive) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double x;
        int32_t expected;
    };
    const Case cases[] = {
        {0.0, 0},
        {-0.0, 0},
        {1.0, 1},
        {-1.0, -1},
        {1e-310, 1}, // subnormal
        {-1e-310, -1},
        {inf, 1},
        {-inf, -1},
        {nan, 1},
        {copysign(nan, -1.0), 1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(qs_dsign(c.x), c.expected) << "x = " << c.x;
}

// ---- Polygon points ----------------------------------------------------

TEST_F(BasePolygons, WidenReadsCoordinatesAsUnsignedBeforeTheOffset) {
    std::vector<uint8_t> src = make_wpoly({{65535, 0}, {0, 65535}, {32768, 32767}, {1, 2}});
    const std::vector<uint8_t> untouched = src;
    void *dw = qs_WpolyToDWpoly(src.data(), 1, -1);
    ASSERT_NE(dw, nullptr);
    EXPECT_EQ(qs_test_live_blocks(), liveBefore_ + 1);

    const int32_t expected[][2] = {{65536, -1}, {1, 65534}, {32769, 32766}, {2, 1}};
    EXPECT_EQ(read_i32(dw, 0), 4);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(read_i32(dw, 4 + 8 * i), expected[i][0]) << "x of point " << i;
        EXPECT_EQ(read_i32(dw, 8 + 8 * i), expected[i][1]) << "y of point " << i;
    }
    EXPECT_EQ(src, untouched) << "the source must not change";
    qs_free(&dw);
}

TEST_F(BasePolygons, WidenWrapsInTwosComplement) {
    std::vector<uint8_t> src = make_wpoly({{65535, 0}});
    void *dw = qs_WpolyToDWpoly(src.data(), std::numeric_limits<int32_t>::max(),
                                std::numeric_limits<int32_t>::min());
    ASSERT_NE(dw, nullptr);
    // 65535 + 0x7FFFFFFF = 0x8000FFFE; 0 + INT32_MIN stays INT32_MIN.
    EXPECT_EQ(read_i32(dw, 4), static_cast<int32_t>(0x8000FFFEu));
    EXPECT_EQ(read_i32(dw, 8), std::numeric_limits<int32_t>::min());
    qs_free(&dw);
}

TEST_F(BasePolygons, WidenOfAnEmptyPolygonGivesJustTheCount) {
    std::vector<uint8_t> src = make_wpoly({});
    void *dw = qs_WpolyToDWpoly(src.data(), 10, 20);
    ASSERT_NE(dw, nullptr);
    EXPECT_EQ(read_i32(dw, 0), 0);
    EXPECT_EQ(qs_test_live_blocks(), liveBefore_ + 1);
    // The block is exactly 4 bytes: it can be shrunk to 4 without loss.
    ASSERT_EQ(qs_realloc(&dw, 4), 1);
    EXPECT_EQ(read_i32(dw, 0), 0);
    qs_free(&dw);
}

TEST_F(BasePolygons, WidenReturnsNullWhenMemoryRunsOut) {
    std::vector<uint8_t> src = make_wpoly({{1, 2}, {3, 4}});
    qs_test_fail_allocation(1);
    EXPECT_EQ(qs_WpolyToDWpoly(src.data(), 0, 0), nullptr);
    EXPECT_EQ(qs_test_live_blocks(), liveBefore_);
}

TEST_F(BasePolygons, NarrowKeepsTheLow16BitsInPlace) {
    const int32_t coords[][2] = {
        {65537, -1},
        {0x12345678, -2},
        {70000, 3},
        {-65536, 65535},
        {0, std::numeric_limits<int32_t>::min()},
    };
    const uint16_t expected[][2] = {
        {1, 65535}, {0x5678, 65534}, {4464, 3}, {0, 65535}, {0, 0},
    };
    const int32_t n = 5;
    void *block = qs_malloc(4 + 8 * n);
    ASSERT_NE(block, nullptr);
    uint8_t *bytes = static_cast<uint8_t *>(block);
    memcpy(bytes, &n, 4);
    memcpy(bytes + 4, coords, sizeof coords);

    qs_DWpolyToWpoly(block);
    EXPECT_EQ(read_i32(block, 0), n);
    for (size_t i = 0; i < static_cast<size_t>(n); ++i) {
        EXPECT_EQ(read_u16(block, 4 + 4 * i), expected[i][0]) << "x of point " << i;
        EXPECT_EQ(read_u16(block, 6 + 4 * i), expected[i][1]) << "y of point " << i;
    }
    qs_free(&block);
}

TEST_F(BasePolygons, NarrowOfAnEmptyPolygonKeepsTheCount) {
    void *block = qs_malloc(4);
    ASSERT_NE(block, nullptr);
    const int32_t zero = 0;
    memcpy(block, &zero, 4);
    qs_DWpolyToWpoly(block);
    EXPECT_EQ(read_i32(block, 0), 0);
    qs_free(&block);
}

TEST_F(BasePolygons, WidenThenNarrowWithoutOffsetGivesTheSourceBack) {
    std::vector<std::pair<uint16_t, uint16_t>> points;
    for (uint32_t i = 0; i < 300; ++i)
        points.emplace_back(static_cast<uint16_t>(i * 2654435761u >> 16),
                            static_cast<uint16_t>(i * 40503u + 65000u));
    std::vector<uint8_t> src = make_wpoly(points);
    void *dw = qs_WpolyToDWpoly(src.data(), 0, 0);
    ASSERT_NE(dw, nullptr);
    qs_DWpolyToWpoly(dw);
    EXPECT_EQ(memcmp(dw, src.data(), src.size()), 0);
    qs_free(&dw);
}

// ---- Line length -------------------------------------------------------

// The plain rule, in 64-bit arithmetic so that it cannot overflow.
uint64_t line_bytes_oracle(int32_t kind, int64_t width) {
    switch (kind & 0xFF) {
    case 1:
        return 2 * ((width + 15) / 16);
    case 2:
    case 3:
        return (width + 3) / 4 * 4;
    default:
        return (3 * width + 3) / 4 * 4;
    }
}

TEST(LineWidth, VectorAndRasterLibrariesAgreeWithTheRule) {
    std::vector<int32_t> widths;
    for (int32_t w = 0; w <= 200; ++w)
        widths.push_back(w);
    for (int32_t w : {255, 256, 257, 1023, 1024, 1025, 4095, 4096, 4097, 65535, 65536, 100001, 1000000})
        widths.push_back(w);
    // Kinds 1 to 4, then other values: only the low 8 bits count, and
    // anything but 1, 2 and 3 takes the three-byte rule.
    for (int32_t kind : {1, 2, 3, 4, 0, 5, 9, 255, 0x101, 0x109, 0x7F02, 0x7F03, -255}) {
        for (int32_t w : widths) {
            SCOPED_TRACE(testing::Message() << "kind " << kind << " width " << w);
            const uint32_t raster = QI_GetLineBWi(kind, w);
            EXPECT_EQ(QV_GetLineBWi(kind, w), raster);
            EXPECT_EQ(raster, line_bytes_oracle(kind, w));
        }
    }
}

} // namespace
