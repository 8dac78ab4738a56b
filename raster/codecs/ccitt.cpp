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
 */
#include "ccitt.h"

#include "black_runs.h"

namespace quill {

namespace {

constexpr uint32_t kSentinels = 4;

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
    // Writes the complete bytes; fewer than 8 bits stay.
    void flush_bytes() {
        for (; count >= 8; count -= 8, bits <<= 8) {
            if (out == end) {
                overflow = true;
                return;
            }
            *out++ = static_cast<uint8_t>(bits >> 56);
        }
    }
};

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

// decode_symbol for a table with one sub-table (the mode table: with k = 3
// only the prefix 000 has one), the reader filled by the caller. The
// second-level entry is loaded before the first-level one is tested, so the
// load is under way when the branch resolves: the codes that need it (pass,
// VL2, VR2, VL3, VR3: 15% of the mode codes of the standard drawing) come at
// random. This decoded the drawing's rows in 23.4 ms against 25.4 ms through
// decode_symbol, which reaches the sub-table through its header.
__attribute__((always_inline)) inline uint32_t decode_one_sub(const CodeTable &table, BitReader &reader) {
    const uint32_t bits = reader.peek16();
    const uint32_t first = table.first[bits >> (16 - table.k)];
    const uint32_t second = table.firstSub[((bits << table.k) & 0xFFFF) >> (16 - table.firstSubWidth)];
    if ((first & 0xFF) != kContinue) {
        if (first == kNoCode)
            return kNoSymbol;
        reader.skip(first & 0xFF);
        return first >> 8;
    }
    if (second == kNoCode)
        return kNoSymbol;
    reader.skip(table.k + (second & 0xFF));
    return second >> 8;
}

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
    if (!width_valid(width) || !tables_ready() || mode_code_table().subTables != 1)
        return false;
    if (!workspace && !memory_.allocate(t6_workspace_entries(width)))
        return false;
    width_ = width;
    reference_ = workspace ? workspace : memory_.get();
    coding_ = reference_ + line_entries(width);
    white_ = white_code_table();
    black_ = black_code_table();
    modes_ = mode_code_table();
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
int32_t decode_elements(BitReader &reader, const uint16_t *reference, uint16_t *line, uint32_t rowWidth,
                        const CodeTable &modeTable, const CodeTable &whiteTable, const CodeTable &blackTable) {
    BitReader in = reader;
    const CodeTable modes = modeTable, white = whiteTable, black = blackTable;
    const int32_t width = static_cast<int32_t>(rowWidth);
    uint32_t n = 0, j = 0;
    int32_t a0 = -1; // before the row
    while (a0 < width) {
        in.ensure16();
        uint32_t mode = decode_one_sub(modes, in);
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
        } else if (mode == kModeHorizontal) {
            const bool isBlack = n & 1;
            uint32_t start = a0 < 0 ? 0 : static_cast<uint32_t>(a0);
            int32_t first = run_length(isBlack ? black : white, in, rowWidth - start);
            if (first < 0)
                return -1;
            uint32_t a1 = start + static_cast<uint32_t>(first);
            int32_t second = run_length(isBlack ? white : black, in, rowWidth - a1);
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

bool T6Decoder::decode_line(BitReader &reader) {
    const uint16_t width = static_cast<uint16_t>(width_);
    uint16_t *line = coding_;
    int32_t count = decode_elements(reader, reference_, line, width_, modes_, white_, black_);
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
    carried_ = 0;
    carriedBits_ = 0;
}

int32_t T6Encoder::encode_row(const uint16_t *pairs, uint32_t count, uint8_t *out, uint32_t capacity) {
    // Copy into the coding line, joining touching pairs: the coder needs
    // strictly ascending elements.
    uint16_t *line = coding_;
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

uint32_t t6_workspace_entries(uint32_t width) { return 2 * line_entries(width); }

int32_t t6_encode_raster(const uint8_t *raster, uint32_t stride, uint32_t width, uint32_t height,
                         uint8_t *out, uint32_t capacity, uint16_t *workspace) {
    T6Encoder encoder;
    if (!encoder.init(width, workspace))
        return -1;
    uint32_t length = 0;
    for (uint32_t y = 0; y < height; ++y) {
        int32_t n = encoder.encode_pixels(raster + static_cast<size_t>(y) * stride, out + length, capacity - length);
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
    for (uint32_t y = 0; y < height; ++y) {
        if (!decoder.decode_row(reader))
            return false;
        decoder.unpack_row(raster + static_cast<size_t>(y) * stride);
    }
    return true;
}

} // namespace quill
