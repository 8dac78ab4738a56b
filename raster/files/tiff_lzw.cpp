/*
 * tiff_lzw.cpp - LZW decoding of TIFF strips (tiff_lzw.h).
 *
 * Strings are kept as (prefix code, last byte) chains with their length and
 * first byte, so a code's string is written backwards from its end in one
 * pass and the first byte needed for a new entry is known without walking.
 * A string that does not fit in what is left of the caller's request goes
 * to the carry-over buffer (a string is at most 4095 bytes long) and is
 * handed out at the start of the next request.
 *
 * Hostile strips: a code above the next free entry, a code of 4095, or a
 * new entry in a table of 4095 fail; so does running out of bits. Every
 * code either produces a byte or is a clear code, and clear codes consume
 * 9 bits each, so a request ends within the strip's bits.
 */
#include "tiff_lzw.h"

#include <string.h>

namespace quill {

namespace {
constexpr uint32_t kClearCode = 256;
constexpr uint32_t kEndCode = 257;
constexpr uint32_t kFirstEntry = 258;
// Codes are at most 12 bits; 4095 is kept out as TIFF writers never use it.
constexpr uint32_t kTableEntries = 4095;
constexpr uint32_t kNone = 0xFFFFFFFF;
constexpr size_t kLongestString = kTableEntries;

uint32_t code_width(uint32_t next) {
    if (next >= 2047)
        return 12;
    if (next >= 1023)
        return 11;
    if (next >= 511)
        return 10;
    return 9;
}
} // namespace

bool LzwDecoder::init() {
    if (!table_.allocate(kTableEntries) || !carry_.allocate(kLongestString))
        return false;
    for (uint32_t i = 0; i < 256; ++i)
        table_[i] = Entry{0, 1, static_cast<uint8_t>(i), static_cast<uint8_t>(i)};
    return true;
}

void LzwDecoder::clear_table() {
    next_ = kFirstEntry;
    previous_ = kNone;
}

void LzwDecoder::start(const uint8_t *data, size_t size) {
    data_ = data;
    size_ = size;
    position_ = 0;
    bits_ = 0;
    bitCount_ = 0;
    carryStart_ = carryEnd_ = 0;
    failed_ = false;
    clear_table();
}

bool LzwDecoder::next_code(uint32_t &code) {
    uint32_t width = code_width(next_);
    while (bitCount_ < width) {
        if (position_ >= size_)
            return false;
        bits_ = (bits_ << 8) | data_[position_++];
        bitCount_ += 8;
    }
    bitCount_ -= width;
    code = static_cast<uint32_t>(bits_ >> bitCount_) & ((1u << width) - 1);
    return true;
}

// Adds the previous string plus the first byte of `code`'s string; when
// `code` is the entry being made (the KwKwK case) that byte is the previous
// string's first.
bool LzwDecoder::add_entry(uint32_t code) {
    if (next_ >= kTableEntries)
        return false;
    const Entry &previous = table_[previous_];
    uint8_t first = code < next_ ? table_[code].first : previous.first;
    table_[next_] = Entry{static_cast<uint16_t>(previous_), static_cast<uint16_t>(previous.length + 1), first,
                          previous.first};
    ++next_;
    return true;
}

void LzwDecoder::write_string(uint32_t code, uint8_t *out) const {
    const Entry *table = table_.get();
    uint8_t *p = out + table[code].length - 1;
    for (;;) {
        const Entry &entry = table[code];
        *p = entry.last;
        if (entry.length == 1)
            break;
        code = entry.prefix;
        --p;
    }
}

bool LzwDecoder::read(uint8_t *out, size_t n) {
    if (failed_)
        return false;
    size_t done = 0;
    if (carryEnd_ > carryStart_) {
        size_t take = carryEnd_ - carryStart_ < n ? carryEnd_ - carryStart_ : n;
        memcpy(out, carry_.get() + carryStart_, take);
        carryStart_ += take;
        done = take;
    }
    while (done < n) {
        uint32_t code;
        if (!next_code(code) || code == kEndCode) {
            failed_ = true;
            return false;
        }
        if (code == kClearCode) {
            clear_table();
            continue;
        }
        bool valid = previous_ == kNone ? code < 256 : code <= next_ && code < kTableEntries;
        if (!valid || (previous_ != kNone && !add_entry(code))) {
            failed_ = true;
            return false;
        }
        previous_ = code;
        size_t length = table_[code].length;
        if (length <= n - done) {
            write_string(code, out + done);
            done += length;
        } else {
            write_string(code, carry_.get());
            size_t take = n - done;
            memcpy(out + done, carry_.get(), take);
            carryStart_ = take;
            carryEnd_ = length;
            done = n;
        }
    }
    return true;
}

} // namespace quill
