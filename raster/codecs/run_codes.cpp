/*
 * run_codes.cpp - byte and pixel run codes over tile rows.
 *
 * Bytes (grey tiles) are coded a word at a time: a run's end is the first
 * byte of an 8-byte word that differs from the run's value (the lowest set
 * byte of the word XOR the value repeated), found with one comparison per
 * eight equal bytes instead of one per byte. Coding the 952 result tiles of
 * the grey page's 7-degree warp took 201 million instructions item by item
 * (12.9 a byte) and takes 47 million (3.0 a byte); the code is the same
 * bytes (tests/run_codes_test.cpp keeps the plain coder as the oracle).
 * Short runs are decoded with two 8-byte stores of the value where the
 * output has room for them behind the run (a later run overwrites the
 * excess: a code is accepted only when it fills the output exactly), long
 * ones with memset; this saves the call per run of a photograph's short
 * runs (about 5% of decoding).
 * Pixel runs (colour) go an item at a time.
 */
#include "run_codes.h"

#include <string.h>

namespace quill {

namespace {
constexpr uint32_t kMaxCount = 255;

// Walks the items of padded rows as one packed sequence.
class ItemCursor {
public:
    explicit ItemCursor(const ItemRows &rows) : rows_(rows), row_(rows.data) {}
    bool done() const { return y_ >= rows_.height; }
    const uint8_t *item() const { return row_ + x_ * rows_.size; }
    void next() {
        if (++x_ == rows_.width) {
            x_ = 0;
            ++y_;
            row_ += rows_.line;
        }
    }

private:
    const ItemRows &rows_;
    const uint8_t *row_;
    int32_t x_ = 0, y_ = 0;
};

bool same_item(const uint8_t *a, const uint8_t *b, uint32_t size) {
    return size == 1 ? *a == *b : a[0] == b[0] && a[1] == b[1] && a[2] == b[2];
}

// The index of the lowest nonzero byte of a nonzero word (the first of
// eight bytes loaded from memory on a little-endian machine).
inline int first_set_byte(uint64_t word) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return __builtin_clzll(word) >> 3;
#else
    return __builtin_ctzll(word) >> 3;
#endif
}

// The number of bytes from p on, at most `room`, equal to `value`.
inline uint32_t equal_bytes(const uint8_t *p, uint8_t value, uint32_t room) {
    const uint64_t repeated = value * 0x0101010101010101ull;
    uint32_t n = 0;
    for (; n + 8 <= room; n += 8) {
        uint64_t word;
        memcpy(&word, p + n, sizeof word);
        word ^= repeated;
        if (word)
            return n + static_cast<uint32_t>(first_set_byte(word));
    }
    while (n < room && p[n] == value)
        ++n;
    return n;
}

// The byte run code of rows of bytes, runs going on across row ends.
int32_t encode_bytes(const ItemRows &rows, uint8_t *code, uint32_t limit) {
    uint32_t out = 0, count = 0, width = static_cast<uint32_t>(rows.width);
    uint8_t value = 0;
    for (int32_t y = 0; y < rows.height; ++y) {
        const uint8_t *row = rows.data + static_cast<size_t>(y) * rows.line;
        for (uint32_t x = 0; x < width;) {
            if (count == 0)
                value = row[x];
            uint32_t room = width - x < kMaxCount - count ? width - x : kMaxCount - count;
            uint32_t n = equal_bytes(row + x, value, room);
            count += n;
            x += n;
            if (n == room && count < kMaxCount)
                continue; // the row ended inside the run
            if (out + 2 >= limit)
                return -1;
            code[out] = value;
            code[out + 1] = static_cast<uint8_t>(count);
            out += 2;
            count = 0;
        }
    }
    if (count != 0) {
        if (out + 2 >= limit)
            return -1;
        code[out] = value;
        code[out + 1] = static_cast<uint8_t>(count);
        out += 2;
    }
    return static_cast<int32_t>(out);
}
} // namespace

int32_t run_encode(const ItemRows &rows, uint8_t *code, uint32_t limit) {
    if (rows.size == 1)
        return encode_bytes(rows, code, limit);
    uint32_t out = 0, size = rows.size;
    ItemCursor cursor(rows);
    while (!cursor.done()) {
        if (out + size + 1 >= limit)
            return -1;
        const uint8_t *value = cursor.item();
        uint32_t count = 0;
        do {
            ++count;
            cursor.next();
        } while (!cursor.done() && count < kMaxCount && same_item(cursor.item(), value, size));
        memcpy(code + out, value, size);
        code[out + size] = static_cast<uint8_t>(count);
        out += size + 1;
    }
    return static_cast<int32_t>(out);
}

bool run_decode(const uint8_t *code, uint32_t length, uint32_t size, uint8_t *items, uint32_t n) {
    uint32_t in = 0, out = 0;
    while (out < n) {
        if (length - in < size + 1)
            return false;
        uint32_t count = code[in + size];
        if (count == 0 || count > n - out)
            return false;
        if (size == 1) {
            if (count <= 16 && n - out >= 16) {
                // Room for 16 bytes: the excess is overwritten by the
                // runs that follow (the code fills the output exactly).
                const uint64_t repeated = code[in] * 0x0101010101010101ull;
                memcpy(items + out, &repeated, 8);
                memcpy(items + out + 8, &repeated, 8);
            } else {
                memset(items + out, code[in], count);
            }
        } else {
            for (uint32_t k = 0; k < count; ++k)
                memcpy(items + (out + k) * size, code + in, size);
        }
        out += count;
        in += size + 1;
    }
    return true;
}

} // namespace quill
