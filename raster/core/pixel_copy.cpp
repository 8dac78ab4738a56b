/*
 * pixel_copy.cpp - row copies with colour keys and kind conversion.
 *
 * Bilevel to bilevel works a byte of destination at a time: eight source
 * bits are fetched at any bit offset and merged under the mask of the
 * destination pixels in range, as
 *     new = (src & W(d)) | (~src & B(d))
 * where W and B are the actions for white and black source pixels (keep the
 * destination bit d, or paint 1 or 0). Aligned plain copies go through
 * memcpy. All other combinations are per pixel: they are a small share of
 * the traffic (kind changes and keyed copies), and the per-pixel form is the
 * one that the tests hold the fast paths to.
 */
#include "pixel_copy.h"

#include "../../base/raster_line.h"

#include <string.h>

namespace quill {

void colour_to_pixel(int32_t colour, int32_t kind, uint8_t out[3]) {
    uint32_t c = static_cast<uint32_t>(colour);
    out[0] = static_cast<uint8_t>(c);
    out[1] = static_cast<uint8_t>(c >> 8);
    out[2] = static_cast<uint8_t>(c >> 16);
    if (kind == 1)
        out[0] = out[0] >= 128 ? 1 : 0;
}

PixelCopier::PixelCopier(int32_t sourceKind, int32_t destinationKind, int32_t colourA, int32_t colourB)
    : sourceKind_(sourceKind), destinationKind_(destinationKind) {
    if (sourceKind == 1) {
        // Plain copy: white stays white, black stays black.
        int32_t a = colourA, b = colourB;
        if (a == -1 && b == -1) {
            a = 0x7F7FFF;
            b = 0x7F7F00;
        }
        whiteAction_ = a == -1 ? Action::Keep : Action::Paint;
        blackAction_ = b == -1 ? Action::Keep : Action::Paint;
        if (a != -1)
            colour_to_pixel(a, destinationKind, white_);
        if (b != -1)
            colour_to_pixel(b, destinationKind, black_);
        keeps_ = whiteAction_ == Action::Keep || blackAction_ == Action::Keep;
        return;
    }
    keyed_ = colourB != -1;
    keeps_ = keyed_;
    if (keyed_)
        colour_to_pixel(colourB, 4, key_);
}

bool PixelCopier::pixel_value(const uint8_t *source, int32_t x, uint8_t value[3]) const {
    if (sourceKind_ == 1) {
        bool white = (source[x >> 3] >> (7 - (x & 7))) & 1;
        if ((white ? whiteAction_ : blackAction_) == Action::Keep)
            return false;
        memcpy(value, white ? white_ : black_, 3);
        return true;
    }
    const uint8_t *p = sourceKind_ == 4 ? source + 3 * x : source + x;
    if (sourceKind_ == 4) {
        if (keyed_ && p[0] == key_[0] && p[1] == key_[1] && p[2] == key_[2])
            return false;
        value[0] = p[0];
        value[1] = p[1];
        value[2] = p[2];
    } else {
        if (keyed_ && p[0] == key_[0])
            return false;
        value[0] = p[0];
        value[1] = 127;
        value[2] = 127;
    }
    if (destinationKind_ == 1)
        value[0] = value[0] >= 128 ? 1 : 0;
    return true;
}

void PixelCopier::store_pixel(uint8_t *destination, int32_t dx, const uint8_t *value) const {
    switch (destinationKind_) {
    case 1: {
        uint8_t bit = static_cast<uint8_t>(0x80u >> (dx & 7));
        if (value[0])
            destination[dx >> 3] |= bit;
        else
            destination[dx >> 3] &= static_cast<uint8_t>(~bit);
        break;
    }
    case 4:
        memcpy(destination + 3 * dx, value, 3);
        break;
    default:
        destination[dx] = value[0];
        break;
    }
}

namespace {
// Eight source bits starting at bit position `bit` (which may be negative),
// reading only bytes 0 .. limit - 1; bits outside read as 1.
inline uint32_t fetch8(const uint8_t *source, int64_t bit, int64_t limit) {
    int64_t at = bit >> 3; // floor, also for negative positions
    uint32_t shift = static_cast<uint32_t>(bit & 7);
    uint32_t high = at >= 0 && at < limit ? source[at] : 0xFFu;
    if (shift == 0)
        return high;
    uint32_t low = at + 1 >= 0 && at + 1 < limit ? source[at + 1] : 0xFFu;
    return ((high << 8 | low) >> (8 - shift)) & 0xFFu;
}

inline uint32_t apply(uint32_t action, uint32_t value, uint32_t d) {
    // action 0 keeps d; 1 paints value (all ones or all zeros)
    return action ? value : d;
}
} // namespace

bool PixelCopier::plain_bilevel() const {
    return sourceKind_ == 1 && destinationKind_ == 1 && whiteAction_ == Action::Paint &&
           blackAction_ == Action::Paint && white_[0] == 1 && black_[0] == 0;
}

void PixelCopier::bilevel_to_bilevel(const uint8_t *source, int32_t sx, uint8_t *destination, int32_t dx,
                                     int32_t count) const {
    if (plain_bilevel() && ((sx ^ dx) & 7) == 0) {
        // Same bit phase: masked edge bytes and a memcpy between them.
        int32_t lead = (8 - (dx & 7)) & 7;
        if (lead > count)
            lead = count;
        for (int32_t i = 0; i < lead; ++i) {
            uint8_t bit = static_cast<uint8_t>(0x80u >> ((dx + i) & 7));
            destination[(dx + i) >> 3] = static_cast<uint8_t>((destination[(dx + i) >> 3] & ~bit) |
                                                              (source[(sx + i) >> 3] & bit));
        }
        int32_t middle = (count - lead) >> 3;
        memcpy(destination + ((dx + lead) >> 3), source + ((sx + lead) >> 3), static_cast<size_t>(middle));
        int32_t tail = count - lead - middle * 8;
        if (tail > 0) { // the last partial byte, merged under a mask
            int32_t at = lead + middle * 8;
            uint8_t mask = static_cast<uint8_t>(0xFF00u >> tail);
            uint8_t &d = destination[(dx + at) >> 3];
            d = static_cast<uint8_t>((d & ~mask) | (source[(sx + at) >> 3] & mask));
        }
        return;
    }
    uint32_t whiteOn = whiteAction_ == Action::Paint, blackOn = blackAction_ == Action::Paint;
    uint32_t whiteValue = white_[0] ? 0xFFu : 0u, blackValue = black_[0] ? 0xFFu : 0u;
    int64_t limit = (static_cast<int64_t>(sx) + count + 7) >> 3;
    int32_t first = dx >> 3, last = (dx + count - 1) >> 3;
    auto one_byte = [&](int32_t j) {
        int32_t from = j == first ? (dx & 7) : 0;
        int32_t to = j == last ? ((dx + count - 1) & 7) : 7;
        uint32_t mask = (0xFFu >> from) & (0xFFu << (7 - to)) & 0xFFu;
        uint32_t bits = fetch8(source, static_cast<int64_t>(sx) + (static_cast<int64_t>(j) * 8 - dx), limit);
        uint32_t d = destination[j];
        uint32_t result = (bits & apply(whiteOn, whiteValue, d)) | (~bits & apply(blackOn, blackValue, d));
        destination[j] = static_cast<uint8_t>((d & ~mask) | (result & mask));
    };
    if (plain_bilevel() && last - first >= 2) {
        // A plain copy in another bit phase: the inner bytes are whole and
        // their source bits lie inside the run, so each is two source bytes
        // shifted, with no masks or bounds (a 1:1 window of a turned view
        // spent a fifth of its time in the general loop below).
        one_byte(first);
        int64_t bit = static_cast<int64_t>(sx) + (static_cast<int64_t>(first + 1) * 8 - dx);
        const uint8_t *s = source + (bit >> 3);
        uint32_t shift = static_cast<uint32_t>(bit & 7);
        for (int32_t j = first + 1; j < last; ++j, ++s)
            destination[j] = static_cast<uint8_t>((static_cast<uint32_t>(s[0]) << 8 | s[1]) >> (8 - shift));
        one_byte(last);
        return;
    }
    for (int32_t j = first; j <= last; ++j)
        one_byte(j);
}

void PixelCopier::row(const uint8_t *source, int32_t sx, uint8_t *destination, int32_t dx, int32_t count) const {
    if (count <= 0)
        return;
    if (sourceKind_ == 1 && destinationKind_ == 1) {
        bilevel_to_bilevel(source, sx, destination, dx, count);
        return;
    }
    if (sourceKind_ == destinationKind_ && !keyed_) {
        uint32_t size = sourceKind_ == 4 ? 3 : 1;
        memcpy(destination + size * static_cast<uint32_t>(dx), source + size * static_cast<uint32_t>(sx),
               size * static_cast<uint32_t>(count));
        return;
    }
    uint8_t value[3];
    for (int32_t i = 0; i < count; ++i)
        if (pixel_value(source, sx + i, value))
            store_pixel(destination, dx + i, value);
}

void PixelCopier::block(const uint8_t *source, uint32_t sourceLine, int32_t sx, uint8_t *destination,
                        uint32_t destinationLine, int32_t dx, int32_t count, int32_t rows) const {
    if (count <= 0)
        return;
    if (plain_bilevel() && (sx & 7) == 0 && (dx & 7) == 0 && (count & 7) == 0) {
        // Whole bytes on both sides (every full tile column of an aligned
        // rectangle): one memcpy per row, no per-row dispatch.
        const uint8_t *s = source + (sx >> 3);
        uint8_t *d = destination + (dx >> 3);
        size_t bytes = static_cast<size_t>(count >> 3);
        for (int32_t y = 0; y < rows; ++y, s += sourceLine, d += destinationLine)
            memcpy(d, s, bytes);
        return;
    }
    for (int32_t y = 0; y < rows; ++y)
        row(source + static_cast<size_t>(y) * sourceLine, sx, destination + static_cast<size_t>(y) * destinationLine,
            dx, count);
}

namespace {

inline uint32_t bit_at(const uint8_t *source, int32_t x) { return (source[x >> 3] >> (7 - (x & 7))) & 1u; }

inline void put_bit(uint8_t *destination, int32_t x, uint32_t white) {
    uint8_t bit = static_cast<uint8_t>(0x80u >> (x & 7));
    destination[x >> 3] = static_cast<uint8_t>(white ? destination[x >> 3] | bit : destination[x >> 3] & ~bit);
}

// Plain bilevel gather: whole destination bytes of eight looked-up bits
// each. The per-pixel path (a call, a colour lookup and a read-modify-write
// of the destination byte per pixel) took 60% of an 8-fold scale-to-grey
// window; this is about six times faster.
void gather_bits(const uint8_t *source, const int32_t *columns, uint8_t *destination, int32_t dx, int32_t count) {
    int32_t i = 0;
    for (; i < count && ((dx + i) & 7) != 0; ++i)
        put_bit(destination, dx + i, bit_at(source, columns[i]));
    for (; i + 8 <= count; i += 8) {
        const int32_t *c = columns + i;
        uint32_t byte = bit_at(source, c[0]) << 7 | bit_at(source, c[1]) << 6 | bit_at(source, c[2]) << 5 |
                        bit_at(source, c[3]) << 4 | bit_at(source, c[4]) << 3 | bit_at(source, c[5]) << 2 |
                        bit_at(source, c[6]) << 1 | bit_at(source, c[7]);
        destination[(dx + i) >> 3] = static_cast<uint8_t>(byte);
    }
    for (; i < count; ++i)
        put_bit(destination, dx + i, bit_at(source, columns[i]));
}

} // namespace

void PixelCopier::row_indexed(const uint8_t *source, const int32_t *columns, uint8_t *destination, int32_t dx,
                              int32_t count) const {
    if (plain_bilevel()) {
        gather_bits(source, columns, destination, dx, count);
        return;
    }
    if (sourceKind_ == 2 && destinationKind_ == 2 && !keyed_) {
        for (int32_t i = 0; i < count; ++i)
            destination[dx + i] = source[columns[i]];
        return;
    }
    uint8_t value[3];
    for (int32_t i = 0; i < count; ++i)
        if (pixel_value(source, columns[i], value))
            store_pixel(destination, dx + i, value);
}

} // namespace quill
