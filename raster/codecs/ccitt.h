/*
 * ccitt.h - the CCITT bilevel coder: modified Huffman rows (TIFF compression
 * 2) and T.6 two-dimensional rows (TIFF compression 4, and the tile store's
 * bilevel tiles). One engine for every user: the tile coder and the TIFF
 * reader and writer call these classes; nothing else codes T.4 words.
 *
 * Rows cross this interface as black-run lists: pairs of 16-bit (start, end),
 * start the first black pixel of a run, end the first pixel after it. Lists
 * made here ascend and never touch; rows are 1 to 65535 pixels wide. The
 * code tables are built at library start (bilevel_tables.h): the coders are
 * used while the library is started, and init() fails otherwise.
 *
 * Decoding a T.6 stream of rows (a strip, or a 128 x 128 tile):
 *
 *     quill::T6Decoder decoder;
 *     if (!decoder.init(width)) ...;            // qs_malloc; all-white reference
 *     quill::BitReader reader(data, size);       // never reads past data + size
 *     for (row = 0; row < rows; ++row) {
 *         if (!decoder.decode_row(reader)) ...;  // malformed or truncated
 *         use decoder.pairs(), decoder.pair_count();  // or decoder.unpack_row(bits)
 *     }
 *
 * A new strip starts from an all-white reference line: decoder.reset() and a
 * new reader. T.6 rows are not byte-aligned and no EOL or EOFB is looked
 * for; whatever follows the last row is not read. Modified Huffman rows are
 * decoded by mh_decode_row(), one call per row, each row starting on a byte.
 *
 * Encoding, the tile coder's way (one stream per tile, all-white reference,
 * no EOFB, length = completed bytes + 1 when bits remain):
 *
 *     quill::T6Encoder encoder;
 *     if (!encoder.init(128)) ...;
 *     int32_t length = 0;
 *     for (y = 0; y < rows; ++y) {
 *         int32_t n = encoder.encode_pixels(tile + y * 16, out + length, capacity - length);
 *         if (n < 0) ...;                        // does not fit: store the tile raw
 *         length += n;
 *     }
 *     int32_t last = encoder.finish(out + length, capacity - length);  // 0 or 1 byte
 *
 * The TIFF writer does the same with encode_row() on the run lists it is
 * given, writing each row's completed bytes as they come: the bits of an
 * incomplete last byte are carried into the next row, and finish() writes them
 * after the last row. t6_encode_raster() and t6_decode_raster() do a whole
 * raster (a tile) in one call.
 *
 * Decoded rows are canonical: a zero-length run in the code (which T.6
 * allows, at the start and the end of a row) leaves no empty or touching
 * pair, and a row never ends with a pair starting at the width. The decoders
 * check the stream as they go: an invalid code word, a run outside the row,
 * a vertical position not right of a0 or past the width, or a row that
 * needs bits past the end of the data fails the row. Failure leaves the
 * decoder's reference line undefined: reset() before decoding another
 * stream.
 *
 * Hot paths are inline or in ccitt.cpp; the BitReader keeps a 64-bit buffer
 * filled 7 bytes at a time, and a code word costs at most two table lookups.
 */
#ifndef QUILL_RASTER_CODECS_CCITT_H
#define QUILL_RASTER_CODECS_CCITT_H

#include "../../base/holder.h"
#include "bilevel_tables.h"

#include <stddef.h>
#include <stdint.h>
#include <string.h>

namespace quill {

constexpr uint32_t kNoSymbol = 0xFFFF;
constexpr uint32_t kWidestRow = 65535;

// Reads bits most significant first from (data, size). Past the end it
// yields zero bits (which start no T.4 code word, so a decoder stops at
// once) and counts them: overrun() tells whether a decoder used any.
class BitReader {
public:
    BitReader(const uint8_t *data, size_t size) : data_(data), size_(size) { refill(); }

    // The next 16 bits, first bit in bit 15. Needs ensure16() before.
    uint32_t peek16() const { return static_cast<uint32_t>(buffer_ >> 48); }
    void ensure16() {
        if (count_ < 16)
            refill();
    }
    // Consumes n bits (n <= bits loaded, and below 64; 16 after ensure16()).
    void skip(uint32_t n) {
        buffer_ <<= n;
        count_ -= n;
    }
    // Bits consumed from the start of the data.
    size_t bit_position() const { return (loaded_ << 3) - count_; }
    // True when more bits were consumed than the data holds.
    bool overrun() const { return bit_position() > (size_ << 3); }
    // Makes at least n bits (n <= 56) available to peek.
    void ensure(uint32_t n) {
        if (count_ < n)
            refill();
    }
    // The number of one bits that start the loaded bits, at most the bits
    // loaded and at most 56 (so that skipping them is never a shift by 64:
    // near the end of the data the buffer can hold 64 bits, all ones).
    // Past the end of the data the reader yields zeros, so these are always
    // bits of the data.
    uint32_t leading_ones() const {
        const uint64_t inverse = ~buffer_;
        uint32_t ones = inverse ? static_cast<uint32_t>(__builtin_clzll(inverse)) : 64;
        ones = ones < count_ ? ones : count_;
        return ones < 56 ? ones : 56;
    }
    // Moves to the next byte boundary (nothing when on one).
    void align_to_byte() {
        skip(count_ & 7); // loaded_ counts whole bytes, so count_ % 8 is the partial byte
        ensure16();
    }

private:
    // Tops the buffer up to at least 56 bits. The fast path loads 8 bytes
    // and keeps the whole ones; the bits of the partial byte it also ORs in
    // are the same bits the next load puts in the same place.
    void refill() {
        if (loaded_ + 8 <= size_) {
            load_word();
            return;
        }
        while (count_ <= 56) {
            uint64_t byte = loaded_ < size_ ? data_[loaded_] : 0;
            buffer_ |= byte << (56 - count_);
            ++loaded_;
            count_ += 8;
        }
    }

    // Needs 8 bytes at loaded_; with 56 bits or more already in the buffer
    // it adds nothing.
    void load_word() {
        uint64_t word;
        memcpy(&word, data_ + loaded_, 8);
        buffer_ |= __builtin_bswap64(word) >> count_;
        uint32_t bytes = (63 - count_) >> 3;
        loaded_ += bytes;
        count_ += bytes << 3;
    }

    const uint8_t *data_;
    size_t size_;
    size_t loaded_ = 0;  // bytes moved into the buffer, zeros past the end included
    uint64_t buffer_ = 0; // next bit in bit 63
    uint32_t count_ = 0;  // bits in the buffer
};

// A view of a built decoding table (bilevel_tables.h): the first-level
// entries and width, and the block for the sub-table headers.
struct CodeTable {
    const uint8_t *block = nullptr;
    const uint16_t *first = nullptr;
    uint32_t k = 0;
    uint32_t subTables = 0;
    const uint16_t *firstSub = nullptr; // sub-table 0, if any
    uint32_t firstSubWidth = 0;
};

// The view of a table block; an empty view (block null) for a null block.
CodeTable code_table(const uint8_t *block);

// The three tables of the started library (empty views when stopped).
CodeTable white_code_table();
CodeTable black_code_table();
CodeTable mode_code_table();

// Reads the next code word of `table`; returns its symbol and consumes it,
// or returns kNoSymbol (consuming nothing) when the bits start no code word.
// At most two table lookups.
inline uint32_t decode_symbol(const CodeTable &table, BitReader &reader) {
    reader.ensure16();
    const uint32_t bits = reader.peek16();
    uint32_t entry = table.first[bits >> (16 - table.k)];
    uint32_t used = 0;
    if ((entry & 0xFF) == kContinue) {
        const uint8_t *header = table.block + kTableHeaderBytes * (1 + (entry >> 8));
        uint32_t offset;
        uint16_t width;
        memcpy(&offset, header, 4);
        memcpy(&width, header + 4, 2);
        const uint16_t *sub = reinterpret_cast<const uint16_t *>(table.block + offset);
        entry = sub[((bits << table.k) & 0xFFFF) >> (16 - width)];
        used = table.k;
    }
    if (entry == kNoCode)
        return kNoSymbol;
    reader.skip(used + (entry & 0xFF));
    return entry >> 8;
}

// Reads one run of the table's colour: make-up codes, then the terminating
// code. Returns its length, or -1 for an invalid code or a run longer than
// `limit` (the pixels left in the row).
int32_t decode_run(const CodeTable &table, BitReader &reader, uint32_t limit);

// Decodes one modified Huffman row (TIFF compression 2: white run, black
// run, ... to the width; no EOL) of `width` pixels into `pairs` (room for
// `capacity` pairs; (width + 1) / 2 always suffice), sets `count`, and moves
// the reader to the next byte boundary, where the next row starts. Returns
// false on an invalid code, a run past the width, a full `pairs`, a reader
// past the end of the data, a bad width or a stopped library.
bool mh_decode_row(BitReader &reader, uint32_t width, uint16_t *pairs, uint32_t capacity, uint32_t &count);

// True when the `n` elements are strictly ascending and none is past the
// width: a run list with no empty, touching or clipped pair, as the
// decoder's rows are. One compare an element, no branch in the loop.
inline bool elements_ascend(const uint16_t *elements, uint32_t n, uint32_t width) {
    if (n == 0)
        return true;
    uint32_t ascending = elements[n - 1] <= width;
    for (uint32_t i = 1; i < n; ++i)
        ascending &= elements[i - 1] < elements[i];
    return ascending != 0;
}

// Decodes T.6 rows, keeping the reference line (the previous row) between
// calls. Holds working memory for two lines; not copyable.
class T6Decoder {
public:
    // Prepares for rows of `width` pixels (1 to 65535) with an all-white
    // reference line. False when the width is out of range, memory runs out
    // or the library is stopped.
    // workspace: null to allocate, or t6_workspace_entries(width) entries
    // that the caller owns and keeps alive while the coder is used.
    bool init(uint32_t width, uint16_t *workspace = nullptr);
    // Makes the reference line all white again: the start of a strip or tile.
    void reset();
    // Decodes the next row from `reader`. On success the row's run list is
    // pairs() / pair_count() until the next call, and it becomes the
    // reference line of the next row. False on malformed or truncated code.
    bool decode_row(BitReader &reader);
    // The same, copying the row's pairs to `pairs` (room for `capacity`
    // pairs; (width + 1) / 2 always suffice); false also when they do not fit.
    bool decode_row(BitReader &reader, uint16_t *pairs, uint32_t capacity, uint32_t &count);
    const uint16_t *pairs() const { return reference_; }
    uint32_t pair_count() const { return referenceElements_ / 2; }
    // Draws the last decoded row into `row` ((width + 15) / 16 * 2 bytes).
    void unpack_row(uint8_t *row) const;
    // True when the last decoded row is the row before it (its code was
    // vertical mode 0 for every changing element and the row's end): its
    // pixels are the previous row's, which a caller drawing rows can copy.
    bool row_repeated() const { return repeated_; }
    // Decodes, while the stream holds them, up to `most` rows that repeat
    // the reference line, and returns how many (0 when the next row is not
    // one, or when the line has more than 55 elements: decode_row() then
    // takes it). A fast path for callers drawing rows: each of them is the
    // previous row again. row_repeated() is left as it was.
    uint32_t decode_repeats(BitReader &reader, uint32_t most);
    // decode_row() for a row that decode_repeats() has just found not to
    // repeat the reference line (it returned fewer rows than `most`): the
    // bits are not looked at for a repeat again.
    bool decode_new_row(BitReader &reader);
    uint32_t width() const { return width_; }

private:
    bool decode_line(BitReader &reader);
    bool decode_changes(BitReader &reader);
    bool repeat_row(BitReader &reader);
    HeapBlock<uint16_t> memory_;
    uint16_t *reference_ = nullptr; // changing elements, then sentinels at the width
    uint16_t *coding_ = nullptr;
    uint32_t referenceElements_ = 0;
    uint32_t width_ = 0;
    bool repeated_ = false;
};

// Encodes T.6 rows, keeping the reference line and the bits of the last
// incomplete byte between calls. Not copyable.
class T6Encoder {
public:
    // Prepares for rows of `width` pixels (1 to 65535): all-white reference,
    // nothing carried. False when the width is out of range, memory runs out
    // or the library is stopped.
    // workspace: null to allocate, or t6_workspace_entries(width) entries
    // that the caller owns and keeps alive while the coder is used.
    bool init(uint32_t width, uint16_t *workspace = nullptr);
    // Starts a new stream: all-white reference, carried bits dropped.
    void reset();
    // Codes the row given as a black-run list (ascending pairs; touching
    // pairs are joined, empty ones and a closing (width, width) skipped, ends
    // past the width clipped) against the reference line. Writes the row's
    // completed bytes, after the bits carried from the previous row, to
    // `out` and returns their number; the remaining bits (fewer than 8) are
    // carried. Returns -1 when the bytes do not fit in `capacity` or the
    // pairs descend or overlap; the stream is then unusable until reset().
    int32_t encode_row(const uint16_t *pairs, uint32_t count, uint8_t *out, uint32_t capacity);
    // The same for a packed bilevel row (pixels past the width are taken as
    // white and not written).
    int32_t encode_pixels(const uint8_t *row, uint8_t *out, uint32_t capacity);
    // The same for a row of at most 128 pixels held as two words, pixel 0
    // in bit 63 of `high` and pixel 64 in bit 63 of `low` (1 white); the
    // pixels past the width must be white (narrow_row_words() makes them).
    // -1 also when the width is above 128.
    int32_t encode_words(uint64_t high, uint64_t low, uint8_t *out, uint32_t capacity);
    // Codes a row equal to the reference line (the previous row, or white
    // for the first row): vertical mode 0 at each of its changing elements
    // and at its end, the bytes encode_row() would write for it.
    int32_t encode_repeat(uint8_t *out, uint32_t capacity);
    // encode_repeat() for `rows` (at least 1) rows in a row.
    int32_t encode_repeats(uint32_t rows, uint8_t *out, uint32_t capacity);
    // True when the black-run list is the reference line exactly, pair for
    // pair: encode_repeat() then codes it. Touching, empty or clipped pairs
    // never match (encode_row() takes them), which only costs speed.
    bool repeats_reference(const uint16_t *pairs, uint32_t count) const {
        return 2 * count == referenceElements_ && (count == 0 || memcmp(pairs, reference_, 4 * count) == 0);
    }
    // Writes the carried bits as a last byte (zero-padded): returns 1, or 0
    // when no bits are carried, or -1 when capacity is 0 and a byte is due.
    int32_t finish(uint8_t *out, uint32_t capacity);
    uint32_t width() const { return width_; }

private:
    int32_t code_line(uint32_t elements, uint8_t *out, uint32_t capacity);
    HeapBlock<uint16_t> memory_;
    uint16_t *reference_ = nullptr;
    uint16_t *coding_ = nullptr;
    uint32_t referenceElements_ = 0;
    uint32_t width_ = 0;
    uint64_t carried_ = 0;    // carried bits, first in bit 63
    uint32_t carriedBits_ = 0; // 0 to 7
};

// Codes `height` rows of a packed bilevel raster (rows `stride` bytes apart;
// pixels past the width ignored) as one T.6 stream from an all-white
// reference, without EOFB, into `out`. Returns the stream's length
// (completed bytes + 1 when bits remain), or -1 when it does not fit in
// `capacity`, memory runs out or the library is stopped.
int32_t t6_encode_raster(const uint8_t *raster, uint32_t stride, uint32_t width, uint32_t height,
                         uint8_t *out, uint32_t capacity, uint16_t *workspace = nullptr);

// Decodes `height` rows of a T.6 stream (all-white reference) into a packed
// raster (rows `stride` bytes apart, each row's (width + 15) / 16 * 2 bytes
// written, pad bits white). Returns false on malformed or truncated code,
// memory or a stopped library; rows already written stay written.
bool t6_decode_raster(const uint8_t *data, size_t size, uint32_t width, uint32_t height,
                      uint8_t *raster, uint32_t stride, uint16_t *workspace = nullptr);

// The first `width` (1 to 128) pixels of a packed row as two words for
// T6Encoder::encode_words, the pixels past the width made white; reads
// (width + 7) / 8 bytes of the row.
void narrow_row_words(const uint8_t *row, uint32_t width, uint64_t &high, uint64_t &low);

// Entries of uint16 working memory that a coder of this width needs when the
// caller provides it (the tile coder passes part of the frame's work buffer,
// so coding a tile allocates nothing).
uint32_t t6_workspace_entries(uint32_t width);

} // namespace quill

#endif
