/*
 * run_codes.cpp - byte and pixel run codes over tile rows.
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
} // namespace

int32_t run_encode(const ItemRows &rows, uint8_t *code, uint32_t limit) {
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
            memset(items + out, code[in], count);
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
