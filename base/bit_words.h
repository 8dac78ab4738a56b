/*
 * bit_words.h - word-at-a-time bit arithmetic shared by the raster codecs,
 * the grey counts and the outline tracer. Pixels are held most significant
 * bit first, so pixel 0 of a 64-pixel word is bit 63.
 *
 * The library is built for the baseline x86-64, which has no bit-count
 * instruction: compilers turn __builtin_popcountll into a library call
 * there, where the dozen inline operations below cost less.
 */
#ifndef QUILL_BASE_BIT_WORDS_H
#define QUILL_BASE_BIT_WORDS_H

#include <stdint.h>

namespace quill {

// Bits set in a word.
inline uint32_t bit_count(uint64_t v) {
    v = v - ((v >> 1) & 0x5555555555555555u);
    v = (v & 0x3333333333333333u) + ((v >> 2) & 0x3333333333333333u);
    v = (v + (v >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    return static_cast<uint32_t>((v * 0x0101010101010101u) >> 56);
}

// Bit i of the result is the XOR of bits i to 63 of v: with pixel 0 in bit
// 63 and v marking where the colour changes, the colour at each pixel.
inline uint64_t prefix_parity(uint64_t v) {
    v ^= v >> 1;
    v ^= v >> 2;
    v ^= v >> 4;
    v ^= v >> 8;
    v ^= v >> 16;
    v ^= v >> 32;
    return v;
}

} // namespace quill

#endif
