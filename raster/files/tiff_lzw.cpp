/*
 * tiff_lzw.cpp - LZW decoding of TIFF strips (tiff_lzw.h).
 *
 * Decoded bytes go to a history that restarts at each clear code; a table
 * entry is the place in that history where its string was decoded. When
 * code c follows code p, the new entry is p's string plus the first byte
 * of c's string: exactly the bytes from where p's string was decoded, one
 * longer, since c's string follows it there. Handing a string out is then
 * a copy, and the bytes a request cannot take stay pending in the history
 * for the next request.
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
constexpr size_t kFirstHistory = 64 * 1024;

uint32_t code_width(uint32_t next) {
    if (next >= 2047)
        return 12;
    if (next >= 1023)
        return 11;
    if (next >= 511)
        return 10;
    return 9;
}

// Copies a short string byte by byte (most are a few bytes long; a call to
// memcpy costs more), a long one with memcpy. The ranges never overlap.
inline void copy_string(uint8_t *to, const uint8_t *from, size_t n) {
    if (n <= 16) {
        for (size_t i = 0; i < n; ++i)
            to[i] = from[i];
    } else {
        memcpy(to, from, n);
    }
}
} // namespace

bool LzwDecoder::init() {
    historyCapacity_ = kFirstHistory;
    return table_.allocate(kTableEntries) && history_.allocate(historyCapacity_);
}

void LzwDecoder::clear_table() {
    next_ = kFirstEntry;
    previous_ = kNone;
    // Bytes still pending move to the front; the new generation follows.
    if (pending_ > 0 && pendingStart_ > 0)
        memmove(history_.get(), history_.get() + pendingStart_, pending_);
    pendingStart_ = 0;
    historyEnd_ = pending_;
}

void LzwDecoder::start(const uint8_t *data, size_t size) {
    data_ = data;
    size_ = size;
    position_ = 0;
    bits_ = 0;
    bitCount_ = 0;
    pending_ = pendingStart_ = 0;
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

bool LzwDecoder::grow_history(size_t more) {
    if (historyEnd_ + more <= historyCapacity_)
        return true;
    size_t capacity = historyCapacity_;
    while (capacity < historyEnd_ + more)
        capacity *= 2;
    if (!history_.resize(capacity))
        return false;
    historyCapacity_ = capacity;
    return true;
}

bool LzwDecoder::take_code(uint32_t code) {
    if (previous_ == kNone) {
        if (code >= 256 || !grow_history(1))
            return false;
        history_[historyEnd_++] = static_cast<uint8_t>(code);
        previous_ = code;
        return true;
    }
    if (code > next_ || next_ >= kTableEntries)
        return false;
    // Where the previous string was decoded: the new entry starts there.
    const uint32_t previousLength = previous_ < 256 ? 1 : table_[previous_].length;
    const size_t previousOffset = historyEnd_ - previousLength;
    uint32_t length;
    if (code < 256) {
        length = 1;
        if (!grow_history(1))
            return false;
        history_[historyEnd_] = static_cast<uint8_t>(code);
    } else {
        length = code < next_ ? table_[code].length : previousLength + 1;
        if (!grow_history(length))
            return false;
        uint8_t *end = history_.get() + historyEnd_;
        if (code < next_) {
            copy_string(end, history_.get() + table_[code].offset, length);
        } else {
            // The entry being made: the previous string and its first byte.
            copy_string(end, history_.get() + previousOffset, previousLength);
            end[previousLength] = history_[previousOffset];
        }
    }
    table_[next_++] = Entry{static_cast<uint32_t>(previousOffset), previousLength + 1};
    historyEnd_ += length;
    previous_ = code;
    return true;
}

bool LzwDecoder::read(uint8_t *out, size_t n) {
    if (failed_)
        return false;
    size_t done = 0;
    for (;;) {
        size_t take = pending_ < n - done ? pending_ : n - done;
        copy_string(out + done, history_.get() + pendingStart_, take);
        done += take;
        pending_ -= take;
        pendingStart_ += take;
        if (done == n)
            return true;
        uint32_t code;
        if (!next_code(code) || code == kEndCode) {
            failed_ = true;
            return false;
        }
        if (code == kClearCode) {
            clear_table();
            continue;
        }
        size_t before = historyEnd_;
        if (!take_code(code)) {
            failed_ = true;
            return false;
        }
        pendingStart_ = before - pending_;
        pending_ += historyEnd_ - before;
    }
}

} // namespace quill
