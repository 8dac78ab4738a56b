/*
 * tiff_lzw.h - LZW decoding of TIFF strips (compression 5), as a stream of
 * bytes taken a row at a time.
 *
 * Codes are read most significant bit first, 9 bits wide after a clear
 * code and growing to 10, 11 and 12 bits one code early (when the next free
 * entry is 511, 1023 and 2047), as TIFF's LZW has it. 256 clears the table,
 * 257 ends the strip, entries start at 258.
 *
 * The decoder stops as soon as it has produced the bytes asked for: a strip
 * is decoded row by row into the caller's row, never as a whole, so a
 * header that claims a strip of 2^32 - 1 rows costs nothing but the table
 * and the history of one table generation (see below). What follows the last row
 * asked for (normally the end code) is not read, as libtiff does not read it.
 */
#ifndef QUILL_RASTER_FILES_TIFF_LZW_H
#define QUILL_RASTER_FILES_TIFF_LZW_H

#include "../../base/holder.h"

#include <stddef.h>
#include <stdint.h>

namespace quill {

class LzwDecoder {
public:
    // Takes the table and history memory; false when memory runs out.
    bool init();
    // Starts decoding the strip (data, size) with a clear table; the data
    // must stay alive.
    void start(const uint8_t *data, size_t size);
    // Writes the next n decoded bytes to `out`. False on a malformed code
    // (past the table, or at or above 4095), a table full without a clear
    // code, or a strip that ends (in bits or by its end code) first; the
    // strip is then unusable until start().
    bool read(uint8_t *out, size_t n);

private:
    // A string of the table: `length` bytes of the history at `offset`.
    struct Entry {
        uint32_t offset;
        uint32_t length;
    };
    bool next_code(uint32_t &code);
    // Appends the string of `code` to the history (and adds the table entry
    // it implies); false on a malformed code or a full table.
    bool take_code(uint32_t code);
    bool grow_history(size_t more);
    void clear_table();

    HeapBlock<Entry> table_;
    // Every byte decoded since the last clear code. Each table string is a
    // previous string plus the byte that followed it, so it already lies in
    // the history, and a code's string is one copy instead of a walk along
    // a chain of prefixes (a dependent load per byte). A table generation
    // decodes to at most about 7.4 MB (3837 codes of growing length), which
    // bounds the history whatever the strip claims.
    HeapBlock<uint8_t> history_;
    size_t historyCapacity_ = 0;
    size_t historyEnd_ = 0;
    size_t pending_ = 0; // history bytes not yet handed out (from pendingStart_)
    size_t pendingStart_ = 0;
    const uint8_t *data_ = nullptr;
    size_t size_ = 0;
    size_t position_ = 0;
    uint64_t bits_ = 0;     // unread bits in the low bitCount_ bits
    uint32_t bitCount_ = 0;
    uint32_t next_ = 0;     // next free entry
    uint32_t previous_ = 0; // last code, or kNone after a clear
    bool failed_ = false;
};

} // namespace quill

#endif
