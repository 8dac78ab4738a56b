/*
 * run_codes_test.cpp - the byte and pixel run codes (raster/codecs/run_codes)
 * against the plain coder and decoder kept here: an item at a time, runs
 * going on across row ends, pieces of at most 255, and the coder giving up
 * as soon as the code would reach its limit. The library codes bytes a word
 * at a time and decodes short runs with whole-word stores; its codes must
 * be the same bytes, and it must accept and refuse the same codes.
 */
#include "raster/codecs/run_codes.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <random>
#include <vector>

namespace {

using quill::ItemRows;

std::vector<uint8_t> reference_encode(const ItemRows &rows, uint32_t limit, bool &gaveUp) {
    std::vector<uint8_t> code;
    gaveUp = false;
    std::vector<const uint8_t *> items;
    for (int32_t y = 0; y < rows.height; ++y)
        for (int32_t x = 0; x < rows.width; ++x)
            items.push_back(rows.data + static_cast<size_t>(y) * rows.line + static_cast<size_t>(x) * rows.size);
    for (size_t k = 0; k < items.size();) {
        if (code.size() + rows.size + 1 >= limit) {
            gaveUp = true;
            return {};
        }
        size_t count = 1;
        while (k + count < items.size() && count < 255 && memcmp(items[k + count], items[k], rows.size) == 0)
            ++count;
        code.insert(code.end(), items[k], items[k] + rows.size);
        code.push_back(static_cast<uint8_t>(count));
        k += count;
    }
    return code;
}

bool reference_decode(const std::vector<uint8_t> &code, uint32_t size, std::vector<uint8_t> &items, uint32_t n) {
    items.clear();
    for (size_t in = 0; items.size() < static_cast<size_t>(n) * size; in += size + 1) {
        if (code.size() - in < size + 1)
            return false;
        uint32_t count = code[in + size];
        if (count == 0 || items.size() / size + count > n)
            return false;
        for (uint32_t k = 0; k < count; ++k)
            items.insert(items.end(), code.begin() + in, code.begin() + in + size);
    }
    return true;
}

// Rows whose runs have lengths drawn around `meanRun` (1: noise; 300: runs
// longer than a piece), with padding bytes that must not be coded.
std::vector<uint8_t> runs_of(std::mt19937 &random, int32_t width, int32_t height, uint32_t size, uint32_t line,
                             int32_t meanRun) {
    std::vector<uint8_t> data(static_cast<size_t>(line) * height + 8, 0xEE);
    std::geometric_distribution<int32_t> length(1.0 / meanRun);
    std::uniform_int_distribution<int> byte(0, 3); // few values: neighbouring runs often repeat one
    uint8_t value[3] = {0, 0, 0};
    int32_t left = 0;
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            if (left-- <= 0) {
                left = length(random);
                for (uint32_t b = 0; b < size; ++b)
                    value[b] = static_cast<uint8_t>(byte(random) * 60);
            }
            memcpy(&data[static_cast<size_t>(y) * line + static_cast<size_t>(x) * size], value, size);
        }
    return data;
}

TEST(RunCodes, CodesAndDecodesAsThePlainCoder) {
    std::mt19937 random(51);
    struct Shape {
        int32_t width, height;
        uint32_t size, padding;
    } shapes[] = {{128, 128, 1, 0}, {1, 1, 1, 0}, {7, 5, 1, 1}, {13, 40, 1, 3}, {128, 128, 3, 0}, {5, 9, 3, 2}, {300, 2, 1, 4}};
    for (const Shape &shape : shapes)
        for (int32_t meanRun : {1, 3, 9, 40, 300}) {
            uint32_t line = shape.width * shape.size + shape.padding;
            std::vector<uint8_t> data = runs_of(random, shape.width, shape.height, shape.size, line, meanRun);
            ItemRows rows{data.data(), line, shape.width, shape.height, shape.size};
            uint32_t n = static_cast<uint32_t>(shape.width * shape.height);
            bool gaveUp;
            std::vector<uint8_t> full = reference_encode(rows, UINT32_MAX, gaveUp);
            uint32_t length = static_cast<uint32_t>(full.size());
            // Limits around the code's own length: the coder gives up exactly
            // when the code would reach the limit.
            for (uint32_t limit : {length + 100, length + 1, length, length - 1, length / 2 + 1}) {
                std::vector<uint8_t> want = reference_encode(rows, limit, gaveUp);
                std::vector<uint8_t> code(length + 16, 0xCC);
                int32_t got = quill::run_encode(rows, code.data(), limit);
                SCOPED_TRACE(testing::Message() << shape.width << " x " << shape.height << " size " << shape.size
                                                << " runs " << meanRun << " limit " << limit);
                if (gaveUp) {
                    EXPECT_EQ(got, -1);
                    continue;
                }
                ASSERT_EQ(got, static_cast<int32_t>(want.size()));
                EXPECT_EQ(std::vector<uint8_t>(code.begin(), code.begin() + got), want);
                EXPECT_EQ(code[got], 0xCC) << "nothing written past the code";
            }
            // Decoding gives the items packed, into an output of exactly n items.
            std::vector<uint8_t> items(static_cast<size_t>(n) * shape.size), want;
            ASSERT_TRUE(quill::run_decode(full.data(), length, shape.size, items.data(), n));
            ASSERT_TRUE(reference_decode(full, shape.size, want, n));
            EXPECT_EQ(items, want);
        }
}

// Damaged codes: cut short, a count of 0, a count running past the output,
// bytes left over. The library accepts exactly what the plain decoder does
// and never writes past the n items.
TEST(RunCodes, DamagedCodesAreRefusedAsByThePlainDecoder) {
    std::mt19937 random(52);
    for (uint32_t size : {1u, 3u})
        for (int trial = 0; trial < 400; ++trial) {
            uint32_t n = 1 + random() % 300;
            std::vector<uint8_t> code;
            uint32_t pairs = 1 + random() % 40;
            for (uint32_t p = 0; p < pairs; ++p) {
                for (uint32_t b = 0; b < size; ++b)
                    code.push_back(static_cast<uint8_t>(random()));
                code.push_back(static_cast<uint8_t>(random() % 64 == 0 ? 0 : random() % 24));
            }
            // Half of the codes fill the output exactly (before any damage).
            uint32_t total = 0;
            for (size_t k = size; k < code.size(); k += size + 1)
                total += code[k];
            if (trial % 2 == 0 && total > 0)
                n = total;
            if (trial % 3 == 0)
                code.resize(random() % (code.size() + 1));
            std::vector<uint8_t> want;
            bool accepted = reference_decode(code, size, want, n);
            std::vector<uint8_t> items(static_cast<size_t>(n) * size + 32, 0xAB);
            bool got = quill::run_decode(code.data(), static_cast<uint32_t>(code.size()), size, items.data(), n);
            ASSERT_EQ(got, accepted) << "trial " << trial;
            if (accepted) {
                EXPECT_EQ(std::vector<uint8_t>(items.begin(), items.begin() + want.size()), want);
            }
            for (size_t k = static_cast<size_t>(n) * size; k < items.size(); ++k)
                ASSERT_EQ(items[k], 0xAB) << "written past the output, trial " << trial;
        }
}

} // namespace
