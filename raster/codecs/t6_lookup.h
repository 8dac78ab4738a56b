/*
 * t6_lookup.h - one-lookup decoding tables for the T.6 row decoder, made by
 * the compiler from the code lists of ccitt_codes.h.
 *
 * Each table is indexed by the next L bits of the stream, L the longest
 * code of its list (7 for the modes, 12 for white runs, 13 for black), and
 * an entry holds everything the decoder needs of the code starting there:
 *   modes: symbol * 8 + code length (1 to 7); kModeLookupInvalid (symbol
 *          15, length 0) where no mode code starts;
 *   runs:  pixels * 16 + code length (1 to 13), pixels 0 to 63 for a
 *          terminating code and a multiple of 64 for a make-up code; 0
 *          where no run code starts (EOL and the extension codes are not
 *          in the lists, as for the start-up tables).
 *
 * Why beside the start-up tables (bilevel_tables.h): those are two-level,
 * sized for memory (the smallest table over the first-level widths), and a
 * code reached through a sub-table costs a header read and a second
 * dependent load; the mode table's sub-table is reached on 15% of the mode
 * codes of the standard drawing, and its lookup is branchy. Here a mode is
 * one load from a 128-byte table whose entry needs no test (an invalid
 * entry decodes as the symbol 15, which the decoder's mode dispatch turns
 * down), and a run code is one load and a shift. The tables take 128 +
 * 8192 + 16384 bytes of read-only data. Their gain was not measured apart
 * from the other changes of the decoder (ccitt.cpp): on the shared machine
 * it was within the noise of the tile benchmark when it came in, and the
 * decoder's instruction count fell by about a tenth.
 * The start-up tables stay the engine of the modified Huffman rows and of
 * decode_symbol(), and the tests hold both to the code lists.
 *
 * Built with constexpr functions, so they are constant-initialised data:
 * no code runs at load time and nothing is allocated.
 */
#ifndef QUILL_RASTER_CODECS_T6_LOOKUP_H
#define QUILL_RASTER_CODECS_T6_LOOKUP_H

#include "ccitt_codes.h"

#include <stdint.h>

namespace quill {

constexpr uint32_t kModeLookupBits = 7;
constexpr uint32_t kWhiteLookupBits = 12;
constexpr uint32_t kBlackLookupBits = 13;
constexpr uint8_t kModeLookupInvalid = 15 * 8;

template <typename Entry, uint32_t Bits>
struct LookupTable {
    Entry entry[1u << Bits];
};

// Fills the entries that start with each code of the list. A code longer
// than Bits, or one that overlaps another, leaves an entry not equal to what
// the symbol gives (the static_asserts below check every entry).
template <typename Entry, uint32_t Bits, typename Value>
constexpr LookupTable<Entry, Bits> make_lookup(const CodeWord *codes, uint32_t count, Entry invalid, Value value) {
    LookupTable<Entry, Bits> table{};
    for (uint32_t i = 0; i < (1u << Bits); ++i)
        table.entry[i] = invalid;
    for (uint32_t s = 0; s < count; ++s) {
        const uint32_t length = codes[s].length;
        if (length == 0 || length > Bits)
            continue;
        const uint32_t first = static_cast<uint32_t>(codes[s].code) << (Bits - length);
        for (uint32_t i = 0; i < (1u << (Bits - length)); ++i)
            table.entry[first + i] = value(s, length);
    }
    return table;
}

struct ModeValue {
    constexpr uint8_t operator()(uint32_t symbol, uint32_t length) const {
        return static_cast<uint8_t>(symbol * 8 + length);
    }
};
struct RunValue {
    constexpr uint16_t operator()(uint32_t symbol, uint32_t length) const {
        return static_cast<uint16_t>(run_of_symbol(symbol) * 16 + length);
    }
};

inline constexpr LookupTable<uint8_t, kModeLookupBits> kModeLookup =
    make_lookup<uint8_t, kModeLookupBits>(kModeCodes, kModeSymbols, kModeLookupInvalid, ModeValue{});
inline constexpr LookupTable<uint16_t, kWhiteLookupBits> kWhiteLookup =
    make_lookup<uint16_t, kWhiteLookupBits>(kWhiteCodes, kRunSymbols, uint16_t{0}, RunValue{});
inline constexpr LookupTable<uint16_t, kBlackLookupBits> kBlackLookup =
    make_lookup<uint16_t, kBlackLookupBits>(kBlackCodes, kRunSymbols, uint16_t{0}, RunValue{});

// True when every code of the list owns exactly the entries it starts and
// every other entry is the invalid one: no code too long, none a prefix of
// another.
template <typename Entry, uint32_t Bits, typename Value>
constexpr bool lookup_exact(const LookupTable<Entry, Bits> &table, const CodeWord *codes, uint32_t count,
                            Entry invalid, Value value) {
    uint32_t owned = 0;
    for (uint32_t s = 0; s < count; ++s) {
        const uint32_t length = codes[s].length;
        if (length == 0 || length > Bits)
            return false;
        const uint32_t first = static_cast<uint32_t>(codes[s].code) << (Bits - length);
        for (uint32_t i = 0; i < (1u << (Bits - length)); ++i)
            if (table.entry[first + i] != value(s, length))
                return false;
        owned += 1u << (Bits - length);
    }
    uint32_t invalidCount = 0;
    for (uint32_t i = 0; i < (1u << Bits); ++i)
        invalidCount += table.entry[i] == invalid;
    return owned + invalidCount == (1u << Bits);
}

static_assert(lookup_exact(kModeLookup, kModeCodes, kModeSymbols, kModeLookupInvalid, ModeValue{}),
              "mode lookup table");
static_assert(lookup_exact(kWhiteLookup, kWhiteCodes, kRunSymbols, uint16_t{0}, RunValue{}), "white lookup table");
static_assert(lookup_exact(kBlackLookup, kBlackCodes, kRunSymbols, uint16_t{0}, RunValue{}), "black lookup table");

} // namespace quill

#endif
