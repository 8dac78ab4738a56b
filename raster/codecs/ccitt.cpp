/*
 * ccitt.cpp - modified Huffman row decoding, and T.6 row decoding and
 * encoding with the reference line kept between rows (interface and usage in
 * ccitt.h).
 *
 * Lines. A row is held as its changing elements: the pairs of its black-run
 * list read as one ascending sequence (even index: white to black, odd: black
 * to white), followed by kSentinels entries equal to the width. The
 * sentinels let b1 and b2 be read without bounds checks: a0 stays below the
 * width inside the row loop, so the search for the first element right of
 * a0 always stops on an entry, and the colour adjustment and b2 (two more
 * entries) stay inside the four.
 *
 * Decoding a row (T.6): a0 starts before the row with colour white; the
 * colour of a0 is the parity of the elements recorded so far. b1 is the
 * first reference element right of a0 whose index has that parity; the
 * reference index j only moves forward, because a0 never moves back, so a
 * row costs one pass over each line. Pass sets a0 = b2; vertical records
 * a1 = b1 + offset; horizontal decodes two runs and records both ends.
 * Recording an element equal to the last one removes it instead (two changes
 * at one place are none): T.6 allows zero-length runs at the start and the
 * end of a row, and this keeps the line strictly ascending, hence at most
 * width + 1 elements, whatever the input. At the end of the row an odd count
 * means the row ends black (a closing element at the width is added) or
 * changes to black at the width (that element is dropped).
 *
 * Vertical modes must put a1 right of a0, as T.6 requires (a0 = -1 at the
 * start of a row lets a1 be 0), so they never cancel.
 *
 * Speed (the 13244 x 9356 standard drawing, 3.1 million mode codes, 83%
 * vertical, 9% horizontal, 7% pass): the loop is bound by branches that
 * mispredict, not by instructions. Three changes paid: the reader's state
 * and the tables are held in locals so that they live in registers (the
 * run decoding is inlined for that); the mode's second-level entry is
 * loaded before the branch on the first-level entry; and after V0 and VR
 * the reference index jumps past b1, so the search loop is mostly not
 * entered. Branch-free variants (selecting the mode entry with masks,
 * topping the reader up every code, counting the search steps with
 * compares) cut the mispredictions a simulator counts but made the real
 * loop 5 to 15% slower: they lengthen the chain from one code to the next.
 *
 * Faster still (issue 19; the 7696 tiles of the same drawing, against
 * libtiff's Group 4 decoding of the same tiles in one run): 0.81 of
 * libtiff's time before, 0.37 to 0.58 after over a dozen runs on the
 * shared machine (median about 0.5; ours 20.5 ms of CPU time alone). In
 * instructions (callgrind, one pass over the tiles) 79% of the tile rows
 * are repeated rows and cost 2 to 3% of the pass; the rest is the element
 * loop of the other 201,000 rows (about 830 instructions each, 17 codes).
 * What paid, in order:
 *  - Repeated rows. A row equal to its reference line is coded as one V0
 *    per element and one for the row's end (none when the line ends at the
 *    width: that V0 ends the row), all one bits. When the reader's next
 *    bits are that many ones (checked with one count of leading ones, for
 *    lines of up to 55 elements) the reference line is kept as the new row
 *    and the caller copies the previous pixel row; in drawings most tile
 *    rows are blank or repeat the one above.
 *  - Runs of V0. After V0 at b1, each further one bit is V0 at the next
 *    reference element; they are copied in one go up to the last element
 *    below the width.
 *  - One-lookup tables (t6_lookup.h) for the modes and runs: no sub-table
 *    branch, no header read.
 *  - Tile rows (at most 128 pixels) drawn from the elements in two
 *    registers (draw_narrow_row) and repeated rows copied inline.
 *
 * Hostile input: every vertical position and run is checked against a0 and
 * the width before it is recorded, so the line buffer cannot overflow and
 * a0 cannot move back; every code word consumes at least one bit, and past
 * the end the reader yields zeros, which start no code word, so a row loop
 * ends within the data's bits. A row that used bits past the end fails.
 *
 * Encoding (T.6): the coding line's a1 is simply the next element (the line
 * is strictly ascending), b1 / b2 are found as in decoding, and the mode is
 * pass when b2 < a1, vertical when |a1 - b1| <= 3, else horizontal. Runs are
 * coded as 2560 make-up codes while they last, one make-up code for the rest
 * of 64, and a terminating code. Code words go into a 64-bit accumulator
 * that spills 32 bits at a time; horizontal mode with two short runs (the
 * common case) is put as one word of up to 27 bits. The capacity is checked
 * at each spill, where the bytes are known to be complete.
 *
 * Encoding faster (issue 19): a run of elements equal to the reference's
 * elements after b1 is a run of V0, put as one block of one bits; a row
 * equal to the row before (whole rows compared, before any run finding) is
 * coded by encode_repeat() without looking at its pixels again; tile rows
 * (at most 128 pixels) are loaded as two 64-bit words and their changing
 * elements found with count-leading-zeros on the word XOR itself shifted
 * by one pixel, one step per element instead of a table lookup per byte.
 * The bytes are the same as before (the tests hold them to libtiff's
 * coding). Tiles: 0.43 of libtiff's encoding time before, 0.21 to 0.39
 * after over a dozen runs (median about 0.28).
 */
#include "ccitt.h"

#include "../../base/bit_words.h"
#include "black_runs.h"
#include "t6_lookup.h"

namespace quill {

namespace {

constexpr uint32_t kSentinels = 4;
constexpr uint32_t kNarrowWidth = 128; // a tile's width: two 64-bit words

uint32_t line_entries(uint32_t width) { return width + 1 + kSentinels; }

bool width_valid(uint32_t width) { return width >= 1 && width <= kWidestRow; }

void set_sentinels(uint16_t *line, uint32_t elements, uint32_t width) {
    for (uint32_t i = 0; i < kSentinels; ++i)
        line[elements + i] = static_cast<uint16_t>(width);
}

// Index of b1: the first reference element right of a0 whose index parity
// is the colour of a0 (`parity`). `j` is at or before the first element
// right of a0 (from the last search, or set by the caller) and is moved to
// it here; the sentinels stop the loop.
inline uint32_t find_b1(const uint16_t *reference, uint32_t &j, int32_t a0, uint32_t parity) {
    while (static_cast<int32_t>(reference[j]) <= a0)
        ++j;
    return j + ((j ^ parity) & 1);
}

// The code of a row equal to its reference line of `elements` changing
// elements is V0 at each element, then V0 at the end of the row: one bit
// each, and none for the end when the last element is the width (a row
// ending black closes its last run there, and that V0 ends the row).
inline uint32_t repeat_bits(const uint16_t *reference, uint32_t elements, uint32_t width) {
    return elements + (elements != 0 && reference[elements - 1] == width ? 0 : 1);
}

// Appends a changing element to a line, or cancels the last one when equal.
// Callers guarantee x >= the last element.
inline void record(uint16_t *line, uint32_t &count, int32_t x) {
    if (count != 0 && line[count - 1] == x)
        --count;
    else
        line[count++] = static_cast<uint16_t>(x);
}

// Bits into bytes, first bit most significant, 32 bits at a time.
struct BitWriter {
    uint64_t bits;  // pending bits, first in bit 63
    uint32_t count; // pending bits, below 32 between calls
    uint8_t *out;
    uint8_t *end;
    bool overflow;

    void put(uint32_t code, uint32_t length) {
        bits |= static_cast<uint64_t>(code) << (64 - count - length);
        count += length;
        if (count >= 32)
            spill();
    }
    void put(const CodeWord &word) { put(word.code, word.length); }
    void spill() {
        if (end - out >= 4) {
            uint32_t v = __builtin_bswap32(static_cast<uint32_t>(bits >> 32));
            memcpy(out, &v, 4);
            out += 4;
        } else {
            overflow = true;
        }
        bits <<= 32;
        count -= 32;
    }
    // Writes the complete bytes; fewer than 8 bits stay. With room for 8
    // bytes the whole buffer is stored at once (the bytes past the complete
    // ones are written again later or lie past what the caller counts).
    void flush_bytes() {
        if (end - out >= 8) {
            const uint64_t v = __builtin_bswap64(bits);
            memcpy(out, &v, 8);
            const uint32_t bytes = count >> 3;
            out += bytes;
            count &= 7;
            bits = bytes == 8 ? 0 : bits << (8 * bytes);
            return;
        }
        for (; count >= 8; count -= 8, bits <<= 8) {
            if (out == end) {
                overflow = true;
                return;
            }
            *out++ = static_cast<uint8_t>(bits >> 56);
        }
    }
};

// `count` (at least 1) V0 codes: one bits.
inline void put_ones(BitWriter &writer, uint32_t count) {
    for (; count > 32; count -= 32)
        writer.put(0xFFFFFFFFu, 32);
    writer.put(0xFFFFFFFFu >> (32 - count), count);
}

void put_run(BitWriter &writer, const CodeWord *codes, uint32_t run) {
    for (; run >= kLongestMakeUpRun; run -= kLongestMakeUpRun)
        writer.put(codes[kLongestMakeUp]);
    if (run >= 64) {
        writer.put(codes[63 + (run >> 6)]);
        run &= 63;
    }
    writer.put(codes[run]);
}

// Horizontal mode: the mode code, then the run a0a1 in a0's colour and the
// run a1a2 in the other colour.
void put_horizontal(BitWriter &writer, bool black, uint32_t first, uint32_t second) {
    const CodeWord *firstCodes = black ? kBlackCodes : kWhiteCodes;
    const CodeWord *secondCodes = black ? kWhiteCodes : kBlackCodes;
    const CodeWord &mode = kModeCodes[kModeHorizontal];
    if (first < 64 && second < 64) {
        const CodeWord &a = firstCodes[first], &b = secondCodes[second];
        uint32_t code = (static_cast<uint32_t>(mode.code) << (a.length + b.length)) |
                        (static_cast<uint32_t>(a.code) << b.length) | b.code;
        writer.put(code, mode.length + a.length + b.length);
        return;
    }
    writer.put(mode);
    put_run(writer, firstCodes, first);
    put_run(writer, secondCodes, second);
}

bool tables_ready() { return g_whiteTable && g_blackTable && g_modeTable; }

// One run: make-up codes, then the terminating code; -1 for an invalid code
// or a run past `limit`. Each make-up code adds at least 64, so the loop ends
// within limit / 64 + 1 codes. Inlined into the row decoders, where the
// reader then lives in registers.
__attribute__((always_inline)) inline int32_t run_length(const CodeTable &table, BitReader &reader,
                                                         uint32_t limit) {
    uint32_t run = 0;
    for (;;) {
        uint32_t symbol = decode_symbol(table, reader);
        if (symbol >= kRunSymbols)
            return -1;
        run += run_of_symbol(symbol);
        if (run > limit)
            return -1;
        if (symbol < kFirstMakeUp)
            return static_cast<int32_t>(run);
    }
}

// One run through a one-lookup table (t6_lookup.h): make-up codes, then the
// terminating code; -1 for an invalid code or a run past `limit`. Each
// make-up code adds at least 64, so the loop ends within limit / 64 + 1
// codes.
template <uint32_t Bits>
__attribute__((always_inline)) inline int32_t lookup_run(const uint16_t *table, BitReader &reader, uint32_t limit) {
    uint32_t run = 0;
    for (;;) {
        reader.ensure16();
        const uint32_t entry = table[reader.peek16() >> (16 - Bits)];
        if (entry == 0)
            return -1;
        reader.skip(entry & 15);
        const uint32_t pixels = entry >> 4;
        run += pixels;
        if (run > limit)
            return -1;
        if (pixels < 64)
            return static_cast<int32_t>(run);
    }
}

} // namespace

CodeTable code_table(const uint8_t *block) {
    CodeTable table;
    if (!block)
        return table;
    uint32_t offset;
    uint16_t k;
    memcpy(&offset, block, 4);
    memcpy(&k, block + 4, 2);
    table.block = block;
    table.first = reinterpret_cast<const uint16_t *>(block + offset);
    table.k = k;
    table.subTables = (offset - kTableHeaderBytes) / kTableHeaderBytes;
    if (table.subTables != 0) {
        uint32_t subOffset;
        uint16_t subWidth;
        memcpy(&subOffset, block + kTableHeaderBytes, 4);
        memcpy(&subWidth, block + kTableHeaderBytes + 4, 2);
        table.firstSub = reinterpret_cast<const uint16_t *>(block + subOffset);
        table.firstSubWidth = subWidth;
    }
    return table;
}

CodeTable white_code_table() { return code_table(g_whiteTable); }
CodeTable black_code_table() { return code_table(g_blackTable); }
CodeTable mode_code_table() { return code_table(g_modeTable); }

int32_t decode_run(const CodeTable &table, BitReader &reader, uint32_t limit) {
    return run_length(table, reader, limit);
}

bool mh_decode_row(BitReader &reader, uint32_t width, uint16_t *pairs, uint32_t capacity, uint32_t &count) {
    count = 0;
    if (!width_valid(width) || !tables_ready())
        return false;
    const CodeTable white = white_code_table(), black = black_code_table();
    uint32_t n = 0; // entries written (2 per pair)
    uint32_t x = 0;
    // Each pass consumes at least 6 bits (two terminating codes), and past
    // the end of the data no code decodes, so the loop ends.
    while (x < width) {
        int32_t run = decode_run(white, reader, width - x);
        if (run < 0)
            return false;
        x += static_cast<uint32_t>(run);
        if (x >= width)
            break;
        run = decode_run(black, reader, width - x);
        if (run < 0)
            return false;
        if (run == 0)
            continue; // an empty black run: nothing to record
        uint32_t end = x + static_cast<uint32_t>(run);
        if (n != 0 && pairs[n - 1] == x) {
            pairs[n - 1] = static_cast<uint16_t>(end); // after an empty white run
        } else {
            if (n / 2 >= capacity)
                return false;
            pairs[n] = static_cast<uint16_t>(x);
            pairs[n + 1] = static_cast<uint16_t>(end);
            n += 2;
        }
        x = end;
    }
    reader.align_to_byte();
    count = n / 2;
    return !reader.overrun();
}

// ---- T6Decoder -------------------------------------------------------------

bool T6Decoder::init(uint32_t width, uint16_t *workspace) {
    if (!width_valid(width) || !tables_ready())
        return false;
    if (!workspace && !memory_.allocate(t6_workspace_entries(width)))
        return false;
    width_ = width;
    reference_ = workspace ? workspace : memory_.get();
    coding_ = reference_ + line_entries(width);
    reset();
    return true;
}

void T6Decoder::reset() {
    referenceElements_ = 0;
    set_sentinels(reference_, 0, width_);
}

namespace {

// Decodes the changing elements of one T.6 row into `line`; returns their
// number, or -1 on malformed code. The reader is taken by value and handed
// back through `reader` so that its state stays in registers in the loop.
// Inlined into its one caller: 5% off decoding the drawing's tiles (the
// call, and the reader copied in and out, per row).
__attribute__((always_inline)) inline int32_t decode_elements(BitReader &reader, const uint16_t *reference,
                                                              uint32_t below, uint16_t *line, uint32_t rowWidth) {
    BitReader in = reader;
    const int32_t width = static_cast<int32_t>(rowWidth);
    uint32_t n = 0, j = 0;
    int32_t a0 = -1; // before the row
    while (a0 < width) {
        in.ensure16();
        const uint32_t entry = kModeLookup.entry[in.peek16() >> (16 - kModeLookupBits)];
        in.skip(entry & 7); // nothing for no code, whose symbol 15 fails below
        const uint32_t mode = entry >> 3;
        if (mode <= kModeVR3) {
            const uint32_t b = find_b1(reference, j, a0, n);
            int32_t a1 = static_cast<int32_t>(reference[b]) + static_cast<int32_t>(mode) - 3;
            // a0 < a1 <= width, in one compare. a1 is right of a0 (at the
            // start of the row a0 is -1), so it is right of the last element
            // and needs no cancelling.
            if (static_cast<uint32_t>(a1 - a0 - 1) >= static_cast<uint32_t>(width - a0))
                return -1;
            line[n++] = static_cast<uint16_t>(a1);
            a0 = a1;
            // At or right of b1 (V0, VR), the next search starts after b1,
            // which is where it ends after V0: the search loop is then not
            // entered, where it would have stepped once or twice at random.
            j = mode >= kModeV0 ? b + 1 : j;
            if (mode == kModeV0 && a1 < width) {
                // More V0 codes (one bits) after V0 copy the reference
                // elements after b1 one for one: b1 of each is the next
                // element, whose index has the parity of the next colour.
                // Copied in one go up to the last element below the width;
                // a V0 left over lands on the width and ends the row.
                const uint32_t ones = in.leading_ones(), left = below - j;
                uint32_t copied = ones < left ? ones : left;
                // Four elements at a time, not memcpy: the copies are a few
                // elements long, and a call for each took 8% of the time of
                // decoding tiles. The last group may write up to three
                // entries past the copy, at most to index width + 3 (the
                // copy ends below the width), inside the line's sentinels,
                // which are set after the row.
                for (uint32_t i = 0; i < copied; i += 4) {
                    uint64_t four;
                    memcpy(&four, reference + j + i, 8);
                    memcpy(line + n + i, &four, 8);
                }
                n += copied;
                j += copied;
                a0 = line[n - 1];
                if (ones > copied) {
                    line[n++] = static_cast<uint16_t>(rowWidth);
                    a0 = width;
                    ++copied;
                }
                in.skip(copied);
            }
        } else if (mode == kModeHorizontal) {
            const bool isBlack = n & 1;
            uint32_t start = a0 < 0 ? 0 : static_cast<uint32_t>(a0);
            int32_t first = isBlack ? lookup_run<kBlackLookupBits>(kBlackLookup.entry, in, rowWidth - start)
                                    : lookup_run<kWhiteLookupBits>(kWhiteLookup.entry, in, rowWidth - start);
            if (first < 0)
                return -1;
            uint32_t a1 = start + static_cast<uint32_t>(first);
            int32_t second = isBlack ? lookup_run<kWhiteLookupBits>(kWhiteLookup.entry, in, rowWidth - a1)
                                     : lookup_run<kBlackLookupBits>(kBlackLookup.entry, in, rowWidth - a1);
            if (second < 0)
                return -1;
            record(line, n, static_cast<int32_t>(a1));
            a0 = static_cast<int32_t>(a1) + second;
            record(line, n, a0);
        } else if (mode == kModePass) {
            a0 = reference[find_b1(reference, j, a0, n) + 1];
        } else {
            return -1; // no code word
        }
    }
    reader = in;
    return static_cast<int32_t>(n);
}

} // namespace

// A row that repeats the reference line is coded as repeat_bits() one bits;
// when the next bits are that, the reference line is the new row as it
// stands. Lines of more than 55 elements are left to the element loop (the
// reader holds 56 bits at least after a refill).
bool T6Decoder::repeat_row(BitReader &reader) {
    const uint32_t bits = repeat_bits(reference_, referenceElements_, width_);
    if (bits > 56)
        return false;
    reader.ensure(bits);
    if (reader.leading_ones() < bits)
        return false;
    reader.skip(bits);
    return true;
}

uint32_t T6Decoder::decode_repeats(BitReader &reader, uint32_t most) {
    const uint32_t bits = repeat_bits(reference_, referenceElements_, width_);
    if (bits > 56)
        return 0;
    uint32_t rows = 0;
    while (rows < most) {
        reader.ensure(56);
        uint32_t fit = reader.leading_ones() / bits;
        if (fit == 0)
            break;
        if (fit > most - rows)
            fit = most - rows;
        reader.skip(fit * bits);
        rows += fit;
    }
    return rows;
}

bool T6Decoder::decode_line(BitReader &reader) {
    repeated_ = repeat_row(reader);
    return repeated_ || decode_changes(reader);
}

bool T6Decoder::decode_new_row(BitReader &reader) {
    repeated_ = false;
    return decode_changes(reader);
}

// Decodes a row from its modes into the coding line, which becomes the
// reference line.
bool T6Decoder::decode_changes(BitReader &reader) {
    const uint16_t width = static_cast<uint16_t>(width_);
    uint16_t *line = coding_;
    uint32_t below = referenceElements_;
    if (below != 0 && reference_[below - 1] == width)
        --below; // a row ending black closes its last run at the width
    int32_t count = decode_elements(reader, reference_, below, line, width_);
    if (count < 0)
        return false;
    uint32_t n = static_cast<uint32_t>(count);
    if (n & 1) {
        if (line[n - 1] == width)
            --n; // a change to black at the width: nothing of it is in the row
        else
            line[n++] = static_cast<uint16_t>(width); // the row ends black
    }
    set_sentinels(line, n, width_);
    coding_ = reference_;
    reference_ = line;
    referenceElements_ = n;
    return !reader.overrun();
}

bool T6Decoder::decode_row(BitReader &reader) { return decode_line(reader); }

bool T6Decoder::decode_row(BitReader &reader, uint16_t *pairs, uint32_t capacity, uint32_t &count) {
    count = 0;
    if (!decode_line(reader) || pair_count() > capacity)
        return false;
    memcpy(pairs, reference_, referenceElements_ * sizeof(uint16_t));
    count = pair_count();
    return true;
}

void T6Decoder::unpack_row(uint8_t *row) const { draw_changes(row, width_, reference_, 2 * pair_count()); }

// ---- T6Encoder -------------------------------------------------------------

bool T6Encoder::init(uint32_t width, uint16_t *workspace) {
    if (!width_valid(width) || !g_runTable)
        return false;
    if (!workspace && !memory_.allocate(t6_workspace_entries(width)))
        return false;
    width_ = width;
    reference_ = workspace ? workspace : memory_.get();
    coding_ = reference_ + line_entries(width);
    reset();
    return true;
}

void T6Encoder::reset() {
    set_sentinels(reference_, 0, width_);
    referenceElements_ = 0;
    carried_ = 0;
    carriedBits_ = 0;
}

int32_t T6Encoder::encode_row(const uint16_t *pairs, uint32_t count, uint8_t *out, uint32_t capacity) {
    uint16_t *line = coding_;
    // Most rows come as the coder needs them: taken as they are, with one
    // copy and a check, instead of pair by pair (the copy loop below took
    // 37 of the 465 million instructions of the drawing page's load).
    // Strictly ascending elements up to the width are width + 1 at most,
    // which the line holds.
    if (2 * static_cast<uint64_t>(count) <= width_ + 1 && elements_ascend(pairs, 2 * count, width_)) {
        if (count != 0) // a white row may come as no pairs at all (null)
            memcpy(line, pairs, 4 * static_cast<size_t>(count));
        return code_line(2 * count, out, capacity);
    }
    // Copy into the coding line, joining touching pairs: the coder needs
    // strictly ascending elements.
    uint32_t n = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t start = pairs[2 * i], end = pairs[2 * i + 1];
        if (end > width_)
            end = width_;
        if (start >= end)
            continue;
        if (n != 0 && start < line[n - 1])
            return -1;
        if (n != 0 && start == line[n - 1]) {
            line[n - 1] = static_cast<uint16_t>(end);
        } else {
            line[n] = static_cast<uint16_t>(start);
            line[n + 1] = static_cast<uint16_t>(end);
            n += 2;
        }
    }
    return code_line(n, out, capacity);
}

int32_t T6Encoder::encode_pixels(const uint8_t *row, uint8_t *out, uint32_t capacity) {
    return code_line(2 * pack_black_runs(row, width_, coding_, g_runTable), out, capacity);
}

namespace {

// Appends to `line` the changing elements in a word of 64 pixels (1 black
// here, pixel 0 in bit 63) whose first pixel is `x`; `before` is the colour
// of the pixel before it (1 black). A pixel differs from the one before it
// where the word and itself shifted right by one differ; the set bits of
// that are taken from the left with count-leading-zeros, one step per
// element, no step per pixel or byte.
inline uint32_t word_changes(uint64_t black, uint64_t before, uint32_t x, uint16_t *line, uint32_t n) {
    uint64_t changes = black ^ ((black >> 1) | (before << 63));
    while (changes != 0) {
        const uint32_t at = static_cast<uint32_t>(__builtin_clzll(changes));
        line[n++] = static_cast<uint16_t>(x + at);
        changes ^= 0x8000000000000000ull >> at;
    }
    return n;
}

} // namespace

void narrow_row_words(const uint8_t *row, uint32_t width, uint64_t &high, uint64_t &low) {
    uint8_t bytes[16];
    const uint32_t used = (width + 7) >> 3;
    if (used == 16) {
        memcpy(bytes, row, 16);
    } else {
        memset(bytes, 0xFF, 16);
        memcpy(bytes, row, used);
    }
    memcpy(&high, bytes, 8);
    memcpy(&low, bytes + 8, 8);
    high = __builtin_bswap64(high);
    low = __builtin_bswap64(low);
    if (width < 64) {
        high |= ~0ull >> width;
        low = ~0ull;
    } else if (width < 128) {
        low |= ~0ull >> (width - 64);
    }
}

int32_t T6Encoder::encode_words(uint64_t high, uint64_t low, uint8_t *out, uint32_t capacity) {
    if (width_ > kNarrowWidth)
        return -1;
    // The pixels past the width are white, so a row ending black changes
    // back at the width, inside the words, unless the width is 128.
    const uint64_t blackHigh = ~high, blackLow = ~low;
    uint32_t n = word_changes(blackHigh, 0, 0, coding_, 0);
    n = word_changes(blackLow, blackHigh & 1, 64, coding_, n);
    if (blackLow & 1)
        coding_[n++] = static_cast<uint16_t>(kNarrowWidth);
    return code_line(n, out, capacity);
}

int32_t T6Encoder::code_line(uint32_t elements, uint8_t *out, uint32_t capacity) {
    const int32_t width = static_cast<int32_t>(width_);
    const uint16_t *reference = reference_;
    uint16_t *line = coding_;
    set_sentinels(line, elements, width_);
    BitWriter writer{carried_, carriedBits_, out, out + capacity, false};
    uint32_t c = 0, j = 0; // a1 = line[c]; the colour of a0 is c's parity
    int32_t a0 = -1;
    while (a0 < width) {
        const int32_t a1 = line[c];
        const uint32_t b = find_b1(reference, j, a0, c);
        const int32_t b1 = reference[b], b2 = reference[b + 1];
        if (b2 < a1) {
            writer.put(kModeCodes[kModePass]);
            a0 = b2;
        } else if (a1 == b1) {
            // V0 (one bit), and V0 again for each next element equal to the
            // next reference element (b1 of each is that element); the
            // pair at the width, if reached, is the V0 that ends the row.
            uint32_t same = 1;
            if (a1 < width) {
                while (line[c + same] == reference[b + same] && line[c + same] < width)
                    ++same;
                same += line[c + same] == reference[b + same];
            }
            put_ones(writer, same);
            c += same;
            j = b + same;
            a0 = line[c - 1];
        } else if (a1 - b1 >= -3 && a1 - b1 <= 3) {
            writer.put(kModeCodes[kModeV0 + a1 - b1]);
            a0 = a1;
            ++c;
        } else {
            const int32_t a2 = line[c + 1];
            put_horizontal(writer, c & 1, static_cast<uint32_t>(a1 - (a0 < 0 ? 0 : a0)),
                           static_cast<uint32_t>(a2 - a1));
            a0 = a2;
            c += 2;
        }
    }
    writer.flush_bytes();
    if (writer.overflow)
        return -1;
    carried_ = writer.bits;
    carriedBits_ = writer.count;
    coding_ = reference_;
    reference_ = line;
    referenceElements_ = elements;
    return static_cast<int32_t>(writer.out - out);
}

int32_t T6Encoder::encode_repeat(uint8_t *out, uint32_t capacity) { return encode_repeats(1, out, capacity); }

int32_t T6Encoder::encode_repeats(uint32_t rows, uint8_t *out, uint32_t capacity) {
    BitWriter writer{carried_, carriedBits_, out, out + capacity, false};
    const uint32_t bits = repeat_bits(reference_, referenceElements_, width_);
    for (uint32_t i = 0; i < rows; ++i)
        put_ones(writer, bits);
    writer.flush_bytes();
    if (writer.overflow)
        return -1;
    carried_ = writer.bits;
    carriedBits_ = writer.count;
    return static_cast<int32_t>(writer.out - out);
}

int32_t T6Encoder::finish(uint8_t *out, uint32_t capacity) {
    if (carriedBits_ == 0)
        return 0;
    if (capacity == 0)
        return -1;
    out[0] = static_cast<uint8_t>(carried_ >> 56);
    carried_ = 0;
    carriedBits_ = 0;
    return 1;
}

// ---- Whole rasters ---------------------------------------------------------

namespace {

// The pixels of a row of at most 128 pixels given as changing elements
// (ascending, at most 128, as T6Decoder::pairs() holds them) as two words,
// pixel 0 in bit 63 of `high`, 1 white.
void narrow_words_of_changes(const uint16_t *elements, uint32_t count, uint64_t &high, uint64_t &low) {
    uint64_t toggleHigh = 0, toggleLow = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t x = elements[i];
        const uint64_t bit = 0x8000000000000000ull >> (x & 63);
        toggleHigh ^= x < 64 ? bit : 0;
        toggleLow ^= x - 64 < 64 ? bit : 0;
    }
    const uint64_t blackHigh = prefix_parity(toggleHigh);
    high = ~blackHigh;
    low = ~(prefix_parity(toggleLow) ^ (0 - (blackHigh & 1)));
}

// draw_changes for rows of at most 128 pixels (`rowBytes` of 2 to 16): the
// same toggles and prefix parity, with the two words held in registers
// instead of stored and read back per element, and the word an element
// falls in chosen by selects instead of an index. An element at or past the
// width toggles only pad bits (the decoder's closing element at the width
// turns them back to white), or nothing when it is 128. draw_changes took
// 16% of the time of decoding the drawing's tiles (perf), its stores and
// loads per word the larger part of it.
void draw_narrow_row(uint8_t *row, size_t rowBytes, const uint16_t *elements, uint32_t count) {
    uint64_t high, low;
    narrow_words_of_changes(elements, count, high, low);
    uint8_t bytes[16];
    high = __builtin_bswap64(high);
    low = __builtin_bswap64(low);
    memcpy(bytes, &high, 8);
    memcpy(bytes + 8, &low, 8);
    memcpy(row, bytes, rowBytes);
}

// memcpy, with the 16 bytes of a tile's row copied inline (a call to the
// library's memcpy for them took 8% of the time of decoding tiles).
inline void copy_row(uint8_t *to, const uint8_t *from, size_t bytes) {
    if (bytes == 16)
        memcpy(to, from, 16);
    else
        memcpy(to, from, bytes);
}

// True when the first `width` pixels of two packed rows are equal.
bool same_pixels(const uint8_t *a, const uint8_t *b, uint32_t width) {
    const uint32_t full = width >> 3;
    if (memcmp(a, b, full) != 0)
        return false;
    const uint32_t mask = 0xFF00u >> (width & 7);
    return (width & 7) == 0 || ((a[full] ^ b[full]) & mask & 0xFF) == 0;
}

// t6_encode_raster for rows of at most 128 pixels (tiles): each row is
// loaded once as two words; a row equal to the one before is coded as such
// without finding its runs, any other from its words.
int32_t encode_narrow_raster(T6Encoder &encoder, const uint8_t *raster, uint32_t stride, uint32_t height,
                             uint8_t *out, uint32_t capacity) {
    const uint32_t width = encoder.width();
    uint64_t lastHigh = ~0ull, lastLow = ~0ull; // the reference line: white
    uint32_t length = 0;
    uint32_t repeats = 0; // rows equal to the last one coded, not yet coded
    for (uint32_t y = 0; y < height; ++y) {
        uint64_t high, low;
        narrow_row_words(raster + static_cast<size_t>(y) * stride, width, high, low);
        if (high == lastHigh && low == lastLow) {
            ++repeats;
            continue;
        }
        if (repeats != 0) {
            const int32_t n = encoder.encode_repeats(repeats, out + length, capacity - length);
            if (n < 0)
                return -1;
            length += static_cast<uint32_t>(n);
            repeats = 0;
        }
        const int32_t n = encoder.encode_words(high, low, out + length, capacity - length);
        if (n < 0)
            return -1;
        length += static_cast<uint32_t>(n);
        lastHigh = high;
        lastLow = low;
    }
    if (repeats != 0) {
        const int32_t n = encoder.encode_repeats(repeats, out + length, capacity - length);
        if (n < 0)
            return -1;
        length += static_cast<uint32_t>(n);
    }
    const int32_t last = encoder.finish(out + length, capacity - length);
    return last < 0 ? -1 : static_cast<int32_t>(length) + last;
}

} // namespace

uint32_t t6_workspace_entries(uint32_t width) { return 2 * line_entries(width); }

int32_t t6_encode_raster(const uint8_t *raster, uint32_t stride, uint32_t width, uint32_t height,
                         uint8_t *out, uint32_t capacity, uint16_t *workspace) {
    T6Encoder encoder;
    if (!encoder.init(width, workspace))
        return -1;
    if (width <= kNarrowWidth)
        return encode_narrow_raster(encoder, raster, stride, height, out, capacity);
    uint32_t length = 0;
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t *row = raster + static_cast<size_t>(y) * stride;
        int32_t n = y != 0 && same_pixels(row, row - stride, width)
                        ? encoder.encode_repeat(out + length, capacity - length)
                        : encoder.encode_pixels(row, out + length, capacity - length);
        if (n < 0)
            return -1;
        length += static_cast<uint32_t>(n);
    }
    int32_t last = encoder.finish(out + length, capacity - length);
    return last < 0 ? -1 : static_cast<int32_t>(length) + last;
}

bool t6_decode_raster(const uint8_t *data, size_t size, uint32_t width, uint32_t height, uint8_t *raster,
                      uint32_t stride, uint16_t *workspace) {
    T6Decoder decoder;
    if (!decoder.init(width, workspace))
        return false;
    BitReader reader(data, size);
    const size_t rowBytes = ((width + 15) >> 4) << 1;
    const bool narrow = width <= kNarrowWidth;
    for (uint32_t y = 0; y < height;) {
        // Rows that repeat the one before, many to one check of the bits.
        for (uint32_t n = decoder.decode_repeats(reader, height - y); n > 0; --n, ++y) {
            uint8_t *row = raster + static_cast<size_t>(y) * stride;
            if (y != 0)
                copy_row(row, row - stride, rowBytes);
            else
                memset(row, 0xFF, rowBytes); // the first row's reference is white
        }
        if (y == height)
            break;
        if (!decoder.decode_new_row(reader))
            return false;
        uint8_t *row = raster + static_cast<size_t>(y) * stride;
        if (narrow)
            draw_narrow_row(row, rowBytes, decoder.pairs(), 2 * decoder.pair_count());
        else
            decoder.unpack_row(row);
        ++y;
    }
    return true;
}

} // namespace quill
