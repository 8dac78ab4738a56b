/*
 * tile_codec.cpp - turning a tile's pixels into a record and back.
 *
 * Bilevel tiles: an all-white tile keeps no record (the blank mark); other
 * tiles are coded as one T.6 stream from an all-white reference line (the
 * same coder as TIFF files), unless the code would reach 6/8 of the raw tile
 * size, or cannot be made at all: then the raw lines are stored. A record
 * at least as long as the raw tile is raw; any shorter one is code.
 *
 * Grey and colour tiles of frames in modes 2 to 4 take the lossy block
 * coding (tile_lossy.cpp); its records always fit the store.
 *
 * Grey and colour tiles (plain coding): the rows are packed (padding
 * dropped) and run coded, grey bytes with the byte run code and colour
 * pixels with the pixel run code; when the code would reach 6/8 of the
 * packed size the packed bytes are stored uncoded. A colour frame with a
 * palette first tries to express every pixel as the index of the palette
 * entry equal to it; a tile that succeeds is stored as (coded) indices.
 * Every record ends with one byte: the palette flag (1 indices, 0 pixels)
 * in frames with a palette, else a byte of no meaning. The decoder tells
 * coded from uncoded records by their length alone: an uncoded record is
 * never shorter than the packed size, a coded one always is.
 *
 * The scratch area behind the tile in the work buffer holds T + 1 bytes
 * (T the bytes of a full tile): enough for any record, for the code (less
 * than 6/8 of the packed size) and, in colour frames, for the index bytes
 * parked in its upper half while they are coded into its lower part.
 * Decoding works in the tile's own front area: packed bytes (and indices)
 * are produced at the front and spread to their places from the end
 * backwards, which never overwrites bytes still to be read.
 */
#include "tile_codec.h"

#include "../../base/raster_line.h"
#include "../codecs/ccitt.h"
#include "../codecs/run_codes.h"
#include "../codecs/tile_lossy.h"
#include "tiles.h"
#include "tile_store.h"

#include <string.h>

namespace quill {

namespace {
constexpr uint32_t kColourIndexPark = 32768; // scratch offset of parked indices

uint32_t coded_limit(uint32_t packed) { return packed / 8 * 6 + (packed % 8) * 6 / 8; }

// A small map from colour to the first palette index holding it.
class PaletteIndex {
public:
    explicit PaletteIndex(const uint8_t *palette) {
        memset(keys_, 0xFF, sizeof keys_);
        int32_t count = palette[0] + 1;
        for (int32_t i = count - 1; i >= 0; --i) // first entry wins
            insert(colour_at(palette + 1 + 4 * i), static_cast<uint8_t>(i));
    }
    // The index of the colour, or -1.
    int32_t find(uint32_t colour) const {
        for (uint32_t slot = hash(colour);; slot = (slot + 1) & kMask) {
            if (keys_[slot] == colour)
                return values_[slot];
            if (keys_[slot] == kEmpty)
                return -1;
        }
    }
    static uint32_t colour_at(const uint8_t *p) { return p[0] | p[1] << 8 | static_cast<uint32_t>(p[2]) << 16; }

private:
    static constexpr uint32_t kSlots = 512, kMask = kSlots - 1, kEmpty = 0xFFFFFFFFu;
    static uint32_t hash(uint32_t colour) { return (colour * 2654435761u) >> 23; }
    void insert(uint32_t colour, uint8_t index) {
        uint32_t slot = hash(colour);
        while (keys_[slot] != kEmpty && keys_[slot] != colour)
            slot = (slot + 1) & kMask;
        keys_[slot] = colour;
        values_[slot] = index;
    }
    uint32_t keys_[kSlots];
    uint8_t values_[kSlots];
};

bool frame_has_palette(const QI_FrameRecord &frame) { return frame.palette != 0; }

// Packs rows of `rowBytes` bytes, `line` bytes apart, into `out`.
void pack_rows(const uint8_t *tile, uint32_t line, uint32_t rowBytes, int32_t height, uint8_t *out) {
    for (int32_t y = 0; y < height; ++y)
        memcpy(out + static_cast<size_t>(y) * rowBytes, tile + static_cast<size_t>(y) * line, rowBytes);
}

// Spreads packed rows back to `line` bytes apart, in place, last row first.
void spread_rows(uint8_t *tile, uint32_t line, uint32_t rowBytes, int32_t height) {
    for (int32_t y = height - 1; y > 0; --y)
        memmove(tile + static_cast<size_t>(y) * line, tile + static_cast<size_t>(y) * rowBytes, rowBytes);
}

// Replaces the tile's pixels by palette indices in `indices`; false when a
// pixel is not in the palette.
bool to_indices(const uint8_t *palette, const uint8_t *tile, uint32_t line, int32_t width, int32_t height,
                uint8_t *indices) {
    PaletteIndex index(palette);
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t *row = tile + static_cast<size_t>(y) * line;
        for (int32_t x = 0; x < width; ++x) {
            int32_t i = index.find(PaletteIndex::colour_at(row + 3 * x));
            if (i < 0)
                return false;
            *indices++ = static_cast<uint8_t>(i);
        }
    }
    return true;
}

// Codes `rows` into `record`, or stores them packed; returns the length.
uint32_t code_or_pack(const ItemRows &rows, uint8_t *record) {
    uint32_t packed = static_cast<uint32_t>(rows.width) * static_cast<uint32_t>(rows.height) * rows.size;
    int32_t length = run_encode(rows, record, coded_limit(packed));
    if (length >= 0)
        return static_cast<uint32_t>(length);
    pack_rows(rows.data, rows.line, static_cast<uint32_t>(rows.width) * rows.size, rows.height, record);
    return packed;
}

int32_t lossless_encode(const QI_FrameRecord &frame, int32_t width, int32_t height, const uint8_t *tile,
                        uint8_t *record) {
    uint32_t size = frame.kind == 4 ? 3 : 1;
    uint32_t line = raster_line_bytes(frame.kind, width);
    const uint8_t *palette = frame.kind == 4 ? frame_loaded_palette(frame) : nullptr;
    if (palette) {
        uint8_t *indices = record + kColourIndexPark;
        if (to_indices(palette, tile, line, width, height, indices)) {
            uint32_t length = code_or_pack(ItemRows{indices, static_cast<uint32_t>(width), width, height, 1}, record);
            if (length == static_cast<uint32_t>(width * height))
                memmove(record, indices, length); // packed indices: already in place
            record[length++] = 1;
            return static_cast<int32_t>(length);
        }
    }
    uint32_t length = code_or_pack(ItemRows{tile, line, width, height, size}, record);
    record[length++] = 0; // the palette flag (pixels), or a byte of no meaning
    return static_cast<int32_t>(length);
}

// Expands n indices at the front of `tile` into pixels, last first.
bool expand_indices(const uint8_t *palette, uint8_t *tile, uint32_t n) {
    uint32_t entries = palette[0] + 1u;
    for (uint32_t i = n; i-- > 0;) {
        uint32_t index = tile[i];
        if (index >= entries)
            return false;
        memcpy(tile + 3 * i, palette + 1 + 4 * index, 3);
    }
    return true;
}

// Decodes packed items: uncoded when the record holds at least n items.
bool unpack_items(const uint8_t *record, uint32_t length, uint32_t size, uint8_t *out, uint32_t n) {
    if (length >= n * size) {
        memcpy(out, record, static_cast<size_t>(n) * size);
        return true;
    }
    return run_decode(record, length, size, out, n);
}

bool lossless_decode(const QI_FrameRecord &frame, int32_t width, int32_t height, const uint8_t *record,
                     int32_t length, uint8_t *tile) {
    uint32_t n = static_cast<uint32_t>(width) * static_cast<uint32_t>(height);
    uint32_t size = frame.kind == 4 ? 3 : 1;
    uint32_t line = raster_line_bytes(frame.kind, width);
    uint32_t available = static_cast<uint32_t>(length);
    if (frame_has_palette(frame)) {
        if (available < 1)
            return false;
        uint8_t flag = record[--available];
        if (flag > 1)
            return false;
        if (flag == 1) {
            const uint8_t *palette = frame_loaded_palette(frame);
            if (frame.kind != 4 || !palette || !unpack_items(record, available, 1, tile, n) ||
                !expand_indices(palette, tile, n))
                return false;
            spread_rows(tile, line, static_cast<uint32_t>(width) * size, height);
            return true;
        }
    }
    if (!unpack_items(record, available, size, tile, n))
        return false;
    spread_rows(tile, line, static_cast<uint32_t>(width) * size, height);
    return true;
}
} // namespace

bool bilevel_tile_is_white(const uint8_t *tile, int32_t width, int32_t height) {
    uint32_t line = raster_line_bytes(1, width);
    uint32_t fullBytes = static_cast<uint32_t>(width) / 8;
    uint8_t lastMask = static_cast<uint8_t>(0xFF00u >> (width & 7));
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t *row = tile + static_cast<size_t>(y) * line;
        for (uint32_t i = 0; i < fullBytes; ++i)
            if (row[i] != 0xFF)
                return false;
        if ((width & 7) && (row[fullBytes] & lastMask) != lastMask)
            return false;
    }
    return true;
}

// The T.6 coder's lines live in the bilevel scratch area behind the record
// (which never exceeds the raw tile's 2048 bytes): coding a tile allocates
// nothing. The scratch area holds 35588 bytes; the coder needs about 1 KB.
uint16_t *bilevel_workspace(uint8_t *record) {
    static_assert(2048 + 2 * (128 + 8) * 2 <= 2 * 2048 + 33540 - 2048, "workspace fits the work buffer");
    return reinterpret_cast<uint16_t *>(record + 2048);
}
uint16_t *bilevel_workspace(const uint8_t *record) { return bilevel_workspace(const_cast<uint8_t *>(record)); }

bool lossy_frame(const QI_FrameRecord &frame) { return frame.kind != 1 && frame.mode >= 2; }

int32_t tile_encode(const QI_FrameRecord &frame, int32_t width, int32_t height, const uint8_t *tile,
                    uint8_t *record) {
    if (lossy_frame(frame)) {
        int32_t length = lossy_encode(frame.kind, frame.mode, width, height, tile,
                                      raster_line_bytes(frame.kind, width), record, largest_record(frame.kind));
        return length < 0 ? kRecordFailed : length;
    }
    if (frame.kind != 1)
        return lossless_encode(frame, width, height, tile, record);
    if (bilevel_tile_is_white(tile, width, height))
        return kRecordBlank;
    uint32_t line = raster_line_bytes(1, width);
    uint32_t bytes = line * static_cast<uint32_t>(height);
    // Code only while it stays below 6/8 of the raw size.
    int32_t coded = t6_encode_raster(tile, line, static_cast<uint32_t>(width), static_cast<uint32_t>(height),
                                     record, (6 * bytes - 1) / 8, bilevel_workspace(record));
    if (coded >= 0)
        return coded;
    memcpy(record, tile, bytes);
    return static_cast<int32_t>(bytes);
}

bool tile_decode(const QI_FrameRecord &frame, int32_t width, int32_t height, const uint8_t *record,
                 int32_t length, uint8_t *tile) {
    if (length < 0)
        return false;
    if (lossy_frame(frame))
        return lossy_decode(frame.kind, frame.mode, width, height, record, length, tile,
                            raster_line_bytes(frame.kind, width));
    if (frame.kind != 1)
        return lossless_decode(frame, width, height, record, length, tile);
    uint32_t line = raster_line_bytes(1, width);
    uint32_t bytes = line * static_cast<uint32_t>(height);
    if (static_cast<uint32_t>(length) < bytes)
        return t6_decode_raster(record, static_cast<size_t>(length), static_cast<uint32_t>(width),
                                static_cast<uint32_t>(height), tile, line, bilevel_workspace(record));
    memcpy(tile, record, bytes);
    return true;
}

} // namespace quill
