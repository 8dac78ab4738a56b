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
 * header that claims a strip of 2^32 - 1 rows costs nothing but the 4096
 * table entries and one string of carry-over. What follows the last row
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
    // Takes the table and carry-over memory; false when memory runs out.
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
    struct Entry {
        uint16_t prefix; // code of the string without its last byte
        uint16_t length; // bytes in the string
        uint8_t last;    // its last byte
        uint8_t first;   // its first byte
    };
    bool next_code(uint32_t &code);
    bool add_entry(uint32_t code);
    // Writes the string of `code` (length bytes) ending at out + length - 1.
    void write_string(uint32_t code, uint8_t *out) const;
    void clear_table();

    HeapBlock<Entry> table_;
    HeapBlock<uint8_t> carry_; // the part of a string that did not fit
    size_t carryStart_ = 0, carryEnd_ = 0;
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
