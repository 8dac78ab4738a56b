/*
 * bilevel_tables.cpp - building the tables of the bilevel run codecs at
 * library start: the per-byte run table, and the two-level decoding tables of
 * the white, black and mode code lists (layouts in bilevel_tables.h).
 *
 * Run table: for each byte value the black runs are found by walking its
 * eight bits once; 256 x 8 steps, nothing worth precomputing at compile time,
 * and building it here keeps the table's allocation (and its failure) where
 * the library start expects it.
 *
 * Decoding tables: a code of length L no longer than the first-level width k
 * fills the 2^(k-L) first-level entries that start with it; a longer code
 * marks the entry of its first k bits as a sub-table and fills that
 * sub-table, whose width w is the largest excess L - k of the codes sharing
 * the prefix, the same way with its remaining bits. Every entry starts as
 * kNoCode, and an entry filled twice (a code that is a prefix of another) or
 * a code entry where a sub-table is needed fails the build, so a mistyped
 * code list stops the library from starting instead of decoding wrongly.
 *
 * Choice of k for the run lists: the smallest table over k = 1 to 8 (6 bytes
 * per header, 2 per entry), the first k reaching the minimum. A larger k
 * would save some second lookups at the cost of memory; the mode list, whose
 * common codes are at most 3 bits long, is built with k = 3 and resolves all
 * but the rare 4- to 7-bit codes in one lookup.
 */
#include "bilevel_tables.h"

#include "../../base/holder.h"

#include <string.h>

namespace quill {

uint8_t *g_runTable = nullptr;
uint8_t *g_whiteTable = nullptr;
uint8_t *g_blackTable = nullptr;
uint8_t *g_modeTable = nullptr;

namespace {

constexpr uint32_t kLongestCode = 16; // the decoder peeks 16 bits
constexpr uint32_t kMostSymbols = 254; // high byte; 0xFE and 0xFF are markers
constexpr uint32_t kPrefixes = 1u << kLongestFirstLevel;

constexpr bool lengths_valid(const CodeWord *codes, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i)
        if (codes[i].length == 0 || codes[i].length > kLongestCode)
            return false;
    return true;
}
// A list with a missing initializer would hold a zero-length word.
static_assert(lengths_valid(kWhiteCodes, kRunSymbols), "white code list incomplete");
static_assert(lengths_valid(kBlackCodes, kRunSymbols), "black code list incomplete");
static_assert(lengths_valid(kModeCodes, kModeSymbols), "mode code list incomplete");

// The shape of a decoding table for one k: the sub-table width per
// first-level prefix (0: none) and the resulting sizes.
struct TableShape {
    uint32_t k;
    uint8_t subWidth[kPrefixes];
    uint32_t subCount;
    uint32_t entries; // first level plus all sub-tables
    uint32_t bytes;
};

bool code_valid(const CodeWord &c) {
    return c.length >= 1 && c.length <= kLongestCode && (c.code >> c.length) == 0;
}

bool shape_table(const CodeWord *codes, uint32_t count, uint32_t k, TableShape &shape) {
    if (k < 1 || k > kLongestFirstLevel || count > kMostSymbols)
        return false;
    shape.k = k;
    memset(shape.subWidth, 0, sizeof shape.subWidth);
    for (uint32_t s = 0; s < count; ++s) {
        if (!code_valid(codes[s]))
            return false;
        if (codes[s].length <= k)
            continue;
        uint32_t excess = codes[s].length - k;
        uint32_t prefix = codes[s].code >> excess;
        if (excess > shape.subWidth[prefix])
            shape.subWidth[prefix] = static_cast<uint8_t>(excess);
    }
    shape.subCount = 0;
    shape.entries = 1u << k;
    for (uint32_t p = 0; p < (1u << k); ++p) {
        if (shape.subWidth[p] == 0)
            continue;
        ++shape.subCount;
        shape.entries += 1u << shape.subWidth[p];
    }
    shape.bytes = kTableHeaderBytes * (1 + shape.subCount) + 2 * shape.entries;
    return true;
}

void put_header(uint8_t *at, uint32_t offset, uint32_t width) {
    uint16_t w = static_cast<uint16_t>(width);
    memcpy(at, &offset, 4);
    memcpy(at + 4, &w, 2);
}

// Fills `span` entries from `first` with `value`; false if one was taken.
bool fill_entries(uint16_t *first, uint32_t span, uint16_t value) {
    for (uint32_t i = 0; i < span; ++i) {
        if (first[i] != kNoCode)
            return false;
        first[i] = value;
    }
    return true;
}

uint16_t code_entry(uint32_t symbol, uint32_t bits) { return static_cast<uint16_t>(symbol << 8 | bits); }

// Writes the headers and fills the entries of a table of the given shape.
bool fill_table(const CodeWord *codes, uint32_t count, const TableShape &shape, uint8_t *table) {
    const uint32_t k = shape.k;
    uint32_t offset = kTableHeaderBytes * (1 + shape.subCount);
    put_header(table, offset, k);
    uint16_t *entries = reinterpret_cast<uint16_t *>(table + offset);
    for (uint32_t i = 0; i < shape.entries; ++i)
        entries[i] = kNoCode;
    // Sub-tables are numbered in the order of their prefixes.
    uint8_t subNumber[kPrefixes];
    uint16_t *subEntries[kPrefixes];
    uint32_t next = offset + 2 * (1u << k);
    uint32_t number = 0;
    for (uint32_t p = 0; p < (1u << k); ++p) {
        if (shape.subWidth[p] == 0)
            continue;
        put_header(table + kTableHeaderBytes * (1 + number), next, shape.subWidth[p]);
        subNumber[p] = static_cast<uint8_t>(number++);
        subEntries[p] = reinterpret_cast<uint16_t *>(table + next);
        next += 2u << shape.subWidth[p];
    }
    for (uint32_t s = 0; s < count; ++s) {
        uint32_t length = codes[s].length, code = codes[s].code;
        if (length <= k) {
            if (!fill_entries(entries + (code << (k - length)), 1u << (k - length), code_entry(s, length)))
                return false;
            continue;
        }
        uint32_t excess = length - k, prefix = code >> excess, w = shape.subWidth[prefix];
        uint16_t link = code_entry(subNumber[prefix], kContinue);
        if (entries[prefix] != kNoCode && entries[prefix] != link)
            return false; // a shorter code already owns this prefix
        entries[prefix] = link;
        uint32_t rest = code & ((1u << excess) - 1);
        if (!fill_entries(subEntries[prefix] + (rest << (w - excess)), 1u << (w - excess),
                          code_entry(s, excess)))
            return false;
    }
    return true;
}

bool build_into(uint8_t *&slot, const CodeWord *codes, uint32_t count, uint32_t k) {
    uint32_t bytes = 0;
    return build_decode_table(codes, count, k, &slot, &bytes);
}

} // namespace

void fill_run_table(uint8_t *table) {
    memset(table, 0, kRunTableBytes);
    for (uint32_t v = 0; v < 256; ++v) {
        uint8_t *entry = table + v * kRunEntryBytes;
        uint32_t runs = 0;
        for (uint32_t x = 0; x < 8;) {
            if (v & (0x80u >> x)) {
                ++x;
                continue;
            }
            uint32_t start = x;
            while (x < 8 && !(v & (0x80u >> x)))
                ++x;
            entry[1 + 2 * runs] = static_cast<uint8_t>(start);
            entry[2 + 2 * runs] = static_cast<uint8_t>(x);
            ++runs;
        }
        entry[0] = static_cast<uint8_t>(runs);
    }
}

uint32_t decode_table_bytes(const CodeWord *codes, uint32_t count, uint32_t k) {
    TableShape shape;
    return shape_table(codes, count, k, shape) ? shape.bytes : 0;
}

bool build_decode_table(const CodeWord *codes, uint32_t count, uint32_t k, uint8_t **table,
                        uint32_t *bytes) {
    if (k == 0) {
        uint32_t best = 0;
        for (uint32_t candidate = 1; candidate <= kLongestFirstLevel; ++candidate) {
            uint32_t size = decode_table_bytes(codes, count, candidate);
            if (size != 0 && (best == 0 || size < best)) {
                best = size;
                k = candidate;
            }
        }
    }
    TableShape shape;
    if (!shape_table(codes, count, k, shape))
        return false;
    HeapBlock<uint8_t> block(shape.bytes);
    if (!block || !fill_table(codes, count, shape, block.get()))
        return false;
    *bytes = shape.bytes;
    *table = block.release();
    return true;
}

bool bilevel_run_table_create() {
    HeapBlock<uint8_t> table(kRunTableBytes);
    if (!table)
        return false;
    fill_run_table(table.get());
    g_runTable = table.release();
    return true;
}

void bilevel_run_table_release() { heap_release(g_runTable); }

bool bilevel_code_tables_create() {
    if (build_into(g_whiteTable, kWhiteCodes, kRunSymbols, 0) &&
        build_into(g_blackTable, kBlackCodes, kRunSymbols, 0) &&
        build_into(g_modeTable, kModeCodes, kModeSymbols, kModeFirstLevel))
        return true;
    bilevel_code_tables_release();
    return false;
}

void bilevel_code_tables_release() {
    heap_release(g_whiteTable);
    heap_release(g_blackTable);
    heap_release(g_modeTable);
}

} // namespace quill
