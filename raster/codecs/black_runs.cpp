/*
 * black_runs.cpp - packed bilevel rows to black-run lists and back (the
 * exported shells QI_PackBlackRuns and QI_UnpackBlackRuns are in
 * raster/files/black_run_shells.cpp).
 *
 * Finding runs: white bytes are skipped eight at a time (one 64-bit compare),
 * then one at a time; an all-black byte extends or opens a run of 8; any
 * other byte is looked up in the per-byte run table, which lists its black
 * runs. A run that reaches the end of a byte and continues at bit 0 of the
 * next is merged as it is found (the new start equals the last end), so the
 * list never holds two touching pairs; merging on the fly instead of in a
 * second pass over the list keeps the work to one pass and one write per
 * run. The pixels past the width are taken as white by masking the last byte
 * as it is read, so the kernel can run on const rows (tiles being coded);
 * the exported shell also writes the mask into the row, as its callers
 * expect.
 *
 * Drawing runs: a list in ascending order inside the width (what the run
 * finder and the decoders make) is drawn without a branch per run: each
 * start and end toggles one bit, and one pass over the row's 64-bit words
 * turns toggles into pixels (the parity of the toggles up to each pixel, six
 * shifts and XORs a word, the colour carried from word to word). Touching
 * and empty pairs come out right, their toggles cancelling. The standard
 * drawing has 1.6 million runs, nearly all shorter than 8 pixels, and
 * branches on run lengths mispredict there: drawing its decoded rows took
 * 11.5 ms with a masked load and store per run, 8.2 ms with toggles. Lists
 * out of order or overlapping, which the exported function accepts, take
 * the general path: the row is set white and each run clears the bits
 * between two edge masks (one big-endian load, mask and store when the run
 * lies in a 64-bit window inside the row, else whole bytes between the
 * edges).
 */
#include "black_runs.h"

#include "../../base/bit_words.h"
#include "bilevel_tables.h"

#include <string.h>

namespace quill {

namespace {

constexpr uint32_t kNoEnd = 0xFFFFFFFFu; // no run seen yet: matches no start

uint64_t load_be64(const uint8_t *p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return __builtin_bswap64(v);
}

void store_be64(uint8_t *p, uint64_t v) {
    v = __builtin_bswap64(v);
    memcpy(p, &v, 8);
}

// Appends the run [start, end) to the list at `out`, or extends the last run
// when it ends where this one starts. Returns the new end of the list.
inline uint16_t *add_run(uint16_t *out, uint32_t &lastEnd, uint32_t start, uint32_t end) {
    if (start == lastEnd) {
        out[-1] = static_cast<uint16_t>(end);
    } else {
        out[0] = static_cast<uint16_t>(start);
        out[1] = static_cast<uint16_t>(end);
        out += 2;
    }
    lastEnd = end;
    return out;
}

// Adds the black runs of byte value v (not 0xFF) whose pixel 0 is at x.
inline uint16_t *add_byte_runs(uint16_t *out, uint32_t &lastEnd, uint32_t v, uint32_t x,
                               const uint8_t *runTable) {
    if (v == 0)
        return add_run(out, lastEnd, x, x + 8);
    const uint8_t *entry = runTable + v * kRunEntryBytes;
    for (uint32_t i = 0, n = entry[0]; i < n; ++i)
        out = add_run(out, lastEnd, x + entry[1 + 2 * i], x + entry[2 + 2 * i]);
    return out;
}

// Clears pixels [start, end) of a row of rowBytes bytes (start < end).
void clear_run(uint8_t *row, uint32_t rowBytes, uint32_t start, uint32_t end) {
    uint32_t first = start >> 3, shift = start & 7, length = end - start;
    if (length + shift <= 64 && first + 8 <= rowBytes) {
        // The run lies in the 64 bits from byte `first`: bit 63 is pixel 8 * first.
        uint64_t mask = (~0ull >> shift) & ~(length + shift == 64 ? 0 : ~0ull >> (length + shift));
        store_be64(row + first, load_be64(row + first) & ~mask);
        return;
    }
    uint32_t last = (end - 1) >> 3;
    uint8_t head = static_cast<uint8_t>(0xFFu >> shift);
    uint8_t tail = static_cast<uint8_t>(0xFF00u >> (((end - 1) & 7) + 1));
    if (first == last) {
        row[first] = static_cast<uint8_t>(row[first] & ~(head & tail));
        return;
    }
    row[first] = static_cast<uint8_t>(row[first] & ~head);
    memset(row + first + 1, 0, last - first - 1);
    row[last] = static_cast<uint8_t>(row[last] & ~tail);
}

// True when every pair lies inside the width (start <= end <= width) and
// starts at or after the end of the one before it: the lists that the run
// finder and the decoders make, and any sorted disjoint list.
bool ascending(const uint16_t *pairs, uint32_t count, uint32_t width) {
    uint32_t previousEnd = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t start = pairs[2 * i], end = pairs[2 * i + 1];
        if (start < previousEnd || end < start || end > width)
            return false;
        previousEnd = end;
    }
    return true;
}

} // namespace

// A toggle bit at each element, then a prefix parity per 64-bit word, the
// colour carried from word to word; no branch depends on the runs.
//
// Memory traffic is shaped for store-to-load forwarding: the words are
// cleared with 8-byte stores, and the toggles of the word under the
// current element are gathered in a register and the whole word stored
// after each element, so the pass reads each word back with the same width
// it was written. Clearing with memset and toggling single bytes made each
// word's load wait for the stores to drain: decoding a nearly white
// 128 x 128 tile took 24 ns a row that way, 13 ns this way. The last word of a row that is
// not a whole word long (widths not a multiple of 64 up to 48 pixels past
// the last whole word) is handled byte by byte. An element at the row's
// end (a width that is a multiple of 16) lies outside it.
void draw_changes(uint8_t *row, uint32_t width, const uint16_t *elements, uint32_t count) {
    const uint32_t rowBytes = ((width + 15) >> 4) << 1;
    if (count == 0) {
        memset(row, 0xFF, rowBytes);
        return;
    }
    const uint32_t fullWords = rowBytes >> 3, tailBytes = rowBytes & 7;
    for (uint32_t w = 0; w < fullWords; ++w)
        store_be64(row + (w << 3), 0);
    uint64_t toggles = 0, tail = 0;
    uint32_t current = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t x = elements[i], word = x >> 6;
        const uint64_t bit = 0x8000000000000000ull >> (x & 63);
        if (word >= fullWords) {
            if (word == fullWords && (x >> 3) - (fullWords << 3) < tailBytes)
                tail ^= bit;
            continue;
        }
        toggles &= 0 - static_cast<uint64_t>(word == current); // a new word starts from none
        toggles ^= bit;
        current = word;
        store_be64(row + (word << 3), toggles);
    }
    uint64_t carry = 0; // all ones when the pixel before the word is black
    for (uint32_t w = 0; w < fullWords; ++w) {
        uint64_t black = prefix_parity(load_be64(row + (w << 3))) ^ carry;
        carry = 0 - (black & 1);
        store_be64(row + (w << 3), ~black);
    }
    if (tailBytes == 0)
        return;
    uint64_t white = ~(prefix_parity(tail) ^ carry);
    for (uint32_t i = 0; i < tailBytes; ++i)
        row[(fullWords << 3) + i] = static_cast<uint8_t>(white >> (56 - 8 * i));
}

uint32_t pack_black_runs(const uint8_t *row, uint32_t width, uint16_t *pairs, const uint8_t *runTable) {
    const uint32_t full = width >> 3; // bytes wholly inside the width
    uint16_t *out = pairs;
    uint32_t lastEnd = kNoEnd;
    uint32_t i = 0;
    while (i < full) {
        // Invariant: bytes before i are done. Skip white words, then bytes.
        while (i + 8 <= full && load_be64(row + i) == ~0ull)
            i += 8;
        if (i >= full)
            break;
        uint32_t v = row[i];
        if (v != 0xFF)
            out = add_byte_runs(out, lastEnd, v, i << 3, runTable);
        ++i;
    }
    if (width & 7) {
        uint32_t v = row[full] | (0xFFu >> (width & 7)); // pixels past the width are white
        if (v != 0xFF)
            out = add_byte_runs(out, lastEnd, v, full << 3, runTable);
    }
    return static_cast<uint32_t>(out - pairs) / 2;
}

void unpack_black_runs(uint8_t *row, uint32_t width, const uint16_t *pairs, uint32_t count) {
    const uint32_t rowBytes = ((width + 15) >> 4) << 1;
    if (ascending(pairs, count, width)) {
        draw_changes(row, width, pairs, 2 * count);
        return;
    }
    memset(row, 0xFF, rowBytes);
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t start = pairs[2 * i], end = pairs[2 * i + 1];
        if (end > width)
            end = width;
        if (start < end)
            clear_run(row, rowBytes, start, end);
    }
}

} // namespace quill
