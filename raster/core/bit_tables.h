/*
 * bit_tables.h - byte tables for bilevel reductions, computed at compile
 * time so that building them can never fail at library start.
 *
 * kEvenBitsHigh[b] gathers bits 7, 5, 3 and 1 of b (the even pixels of a
 * bilevel byte) into the high nibble; kEvenBitsLow[b] into the low nibble:
 * two source bytes give one byte of a half-size line.
 * kFourTimesBitCount[b] is 4 * popcount(b), the white weight of a byte when
 * bilevel blocks are reduced to grey.
 * kBitReversed[b] is b with its 8 bits in reverse order: a bilevel byte
 * mirrored left to right (row reversal of mirrors and half turns).
 */
#ifndef QUILL_RASTER_CORE_BIT_TABLES_H
#define QUILL_RASTER_CORE_BIT_TABLES_H

#include <stdint.h>

namespace quill {

struct ByteTable {
    uint8_t value[256];
};

constexpr uint8_t even_bits(uint32_t b) {
    return static_cast<uint8_t>(((b >> 4) & 8) | ((b >> 3) & 4) | ((b >> 2) & 2) | ((b >> 1) & 1));
}

constexpr ByteTable make_even_bits_table(int shift) {
    ByteTable t{};
    for (uint32_t b = 0; b < 256; ++b)
        t.value[b] = static_cast<uint8_t>(even_bits(b) << shift);
    return t;
}

constexpr ByteTable make_four_times_bit_count() {
    ByteTable t{};
    for (uint32_t b = 0; b < 256; ++b) {
        uint32_t n = 0;
        for (uint32_t v = b; v; v >>= 1)
            n += v & 1;
        t.value[b] = static_cast<uint8_t>(4 * n);
    }
    return t;
}

constexpr ByteTable make_bit_reversal() {
    ByteTable t{};
    for (uint32_t b = 0; b < 256; ++b) {
        uint32_t r = 0;
        for (uint32_t bit = 0; bit < 8; ++bit)
            r |= ((b >> bit) & 1u) << (7 - bit);
        t.value[b] = static_cast<uint8_t>(r);
    }
    return t;
}

inline constexpr ByteTable kEvenBitsHigh = make_even_bits_table(4);
inline constexpr ByteTable kEvenBitsLow = make_even_bits_table(0);
inline constexpr ByteTable kFourTimesBitCount = make_four_times_bit_count();
inline constexpr ByteTable kBitReversed = make_bit_reversal();

} // namespace quill

#endif
