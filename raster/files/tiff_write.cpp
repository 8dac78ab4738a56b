/*
 * tiff_write.cpp - saves the frame of a save transfer as a little-endian
 * TIFF file with one directory and one strip.
 *
 * The layout is fixed: header, software text, directory, then the extra
 * values of the directory (the three BitsPerSample values of a colour
 * image, the colour map of a palette image), then the strip. Every offset
 * follows from the image kind alone, so the directory is written before any
 * row; only the strip length is unknown until the end (T.6 output has no
 * size known in advance) and is patched into the StripByteCounts value
 * field, which lies at file offset 170 for every kind (the entries that only
 * palette images carry come after it).
 *
 * Rows are fetched once each, in order, through the line protocol. Bilevel
 * rows arrive as black-run lists and go through the library's one T.6
 * coder, which carries the bits of an incomplete byte from row to row; the
 * strip is one continuous bit stream without EOFB, its last partial byte
 * padded with zeros. Other kinds are written uncompressed, colour as
 * (R, G, B) as TIFF wants, where the protocol hands (B, G, R).
 *
 * A strip that 32-bit offsets cannot address fails the save rather than
 * writing a wrapped strip length. Frames are far smaller today (a colour
 * frame's tile limit is about 1.6 GB), so this guards against a change of
 * those limits, not against any frame that exists now.
 */
#include "tiff.h"
#include "../../base/raster_line.h"

#include "../codecs/ccitt.h"
#include "file_io.h"
#include "line_transfer.h"
#include "quillimg.h"

#include <string.h>

namespace quill {

namespace {

constexpr uint32_t kDirectoryOffset = 40;
constexpr uint32_t kSoftwareOffset = 8;
constexpr uint32_t kSoftwareBytes = 32;
constexpr uint64_t kStripLengthOffset = 170;
constexpr uint32_t kColourBitsOffset = 202;
constexpr uint32_t kColourMapOffset = 238;
constexpr uint32_t kColourMapEntries = 256;

// The text padded with blanks to its 32-byte field. Decision: the field's
// last byte is a zero instead of a ninth blank: TIFF ends every ASCII value
// with one, and readers (libtiff among them) warn about each file without.
constexpr char kSoftware[kSoftwareBytes] = "Brightquill version 2.1        ";
static_assert(sizeof kSoftware == kSoftwareBytes, "software text fills its field");

enum TagType : uint16_t { kAscii = 2, kShort = 3, kLong = 4 };

struct Layout {
    uint16_t entries;
    uint32_t dataOffset;
};

Layout layout_of(int32_t kind) {
    switch (kind) {
    case kImagePalette:
        return {16, kColourMapOffset + 3 * kColourMapEntries * 2};
    case kImageColour:
        return {13, kColourBitsOffset + 6};
    default:
        return {13, kColourBitsOffset};
    }
}

uint64_t uncompressed_strip_bytes(const FileInfo &info) {
    uint64_t samples = info.kind == kImageColour ? 3 : 1;
    return samples * static_cast<uint64_t>(info.width) * static_cast<uint64_t>(info.height);
}

// The directory entries are built in memory: 16 * 12 bytes at most.
class Directory {
public:
    void add(uint16_t tag, TagType type, uint32_t count, uint32_t value) {
        uint8_t *e = bytes_ + 12 * entries_++;
        put_u16le(e, tag);
        put_u16le(e + 2, type);
        put_u32le(e + 4, count);
        // A SHORT value sits in the first two bytes of the field, the rest 0.
        put_u32le(e + 8, type == kShort ? (value & 0xFFFFu) : value);
    }
    const uint8_t *bytes() const { return bytes_; }
    uint32_t size() const { return 12 * entries_; }
    uint16_t entries() const { return static_cast<uint16_t>(entries_); }

private:
    uint8_t bytes_[16 * 12] = {};
    uint32_t entries_ = 0;
};

uint16_t bits_per_sample(int32_t kind) { return kind == kImageBilevel ? 1 : 8; }

uint16_t photometric(int32_t kind) {
    switch (kind) {
    case kImageColour:
        return 2; // RGB
    case kImagePalette:
        return 3;
    case kImageGrey:
        return 1; // BlackIsZero: the frame's grey bytes as they are
    default:
        return 0; // WhiteIsZero: T.6 runs are black runs, the frame's 0 bits
    }
}

void build_directory(Directory &d, const FileInfo &info, uint32_t paletteEntries) {
    const int32_t kind = info.kind;
    const uint32_t width = static_cast<uint32_t>(info.width), height = static_cast<uint32_t>(info.height);
    d.add(254, kLong, 1, 0);  // NewSubfileType
    d.add(255, kShort, 1, 1); // SubfileType: full resolution
    d.add(256, kLong, 1, width);
    d.add(257, kLong, 1, height);
    if (kind == kImageColour)
        d.add(258, kShort, 3, kColourBitsOffset);
    else
        d.add(258, kShort, 1, bits_per_sample(kind));
    d.add(259, kShort, 1, kind == kImageBilevel ? 4 : 1); // T.6 or none
    d.add(262, kShort, 1, photometric(kind));
    d.add(273, kLong, 1, layout_of(kind).dataOffset);
    d.add(277, kShort, 1, kind == kImageColour ? 3 : 1);
    d.add(278, kLong, 1, height); // one strip
    // Its value field (file offset 170) is patched with the strip length.
    d.add(279, kLong, 1, static_cast<uint32_t>(kStripLengthOffset));
    if (kind == kImagePalette) {
        d.add(280, kShort, 1, 0);
        d.add(281, kShort, 1, paletteEntries - 1);
    }
    d.add(284, kShort, 1, 1); // chunky
    d.add(305, kAscii, kSoftwareBytes, kSoftwareOffset);
    if (kind == kImagePalette)
        d.add(320, kShort, 3 * kColourMapEntries, kColourMapOffset);
}

bool write_header(OutputFile &file, const FileInfo &info, uint32_t paletteEntries) {
    Directory d;
    build_directory(d, info, paletteEntries);
    uint8_t head[8] = {'I', 'I'};
    put_u16le(head + 2, 42);
    put_u32le(head + 4, kDirectoryOffset);
    return file.write(head, sizeof head) && file.write(kSoftware, kSoftwareBytes) &&
           file.write_u16(d.entries()) && file.write(d.bytes(), d.size()) && file.write_u32(0);
}

// The colour map: all red values, then green, then blue, each a palette
// byte times 257 (the byte in both halves, so 255 becomes full scale).
// Entries past the palette stay 0.
bool write_colour_map(OutputFile &file, const uint8_t *record) {
    uint32_t entries = static_cast<uint32_t>(record[0]) + 1;
    uint8_t map[3 * kColourMapEntries * 2] = {};
    for (uint32_t plane = 0; plane < 3; ++plane) {
        // Record entries are (B, G, R, 0): red is byte 2.
        uint32_t byte = 2 - plane;
        for (uint32_t i = 0; i < entries; ++i)
            put_u16le(map + 2 * (plane * kColourMapEntries + i), record[1 + 4 * i + byte] * 257u);
    }
    return file.write(map, sizeof map);
}

bool write_extra_values(OutputFile &file, int32_t kind, const uint8_t *palette) {
    if (kind == kImageColour) {
        const uint8_t bits[6] = {8, 0, 8, 0, 8, 0};
        return file.write(bits, sizeof bits);
    }
    if (kind == kImagePalette)
        return write_colour_map(file, palette);
    return true;
}

void bgr_to_rgb(uint8_t *row, int32_t width) {
    for (int32_t x = 0; x < width; ++x, row += 3) {
        uint8_t blue = row[0];
        row[0] = row[2];
        row[2] = blue;
    }
}

bool write_byte_rows(OutputFile &file, const FileInfo &info) {
    HeapBlock<uint8_t> row;
    if (!row.allocate(raster_line_bytes(info.kind, info.width)))
        return false;
    size_t rowBytes = static_cast<size_t>(info.width) * (info.kind == kImageColour ? 3 : 1);
    for (int32_t y = 0; y < info.height; ++y) {
        if (!save_line(row.get(), y, false))
            return false;
        if (info.kind == kImageColour)
            bgr_to_rgb(row.get(), info.width);
        if (!file.write(row.get(), rowBytes))
            return false;
    }
    return true;
}

bool write_t6_rows(OutputFile &file, const FileInfo &info) {
    const uint32_t width = static_cast<uint32_t>(info.width);
    // No row codes to more than about one byte a pixel (a horizontal mode
    // for every two pixels costs at most 12 bits; a pass code at most four
    // bits for every two reference pixels); twice the width is ample.
    const uint32_t capacity = 2 * width + 16;
    HeapBlock<uint16_t> runs;
    HeapBlock<uint8_t> coded;
    T6Encoder encoder;
    if (!runs.allocate(run_list_bytes(info.width) / 2) || !coded.allocate(capacity) || !encoder.init(width))
        return false;
    const uint64_t limit = UINT32_MAX;
    for (int32_t y = 0; y < info.height; ++y) {
        if (!save_line(runs.get(), y, true))
            return false;
        int32_t n = encoder.encode_row(runs.get() + 1, runs[0], coded.get(), capacity);
        if (n < 0 || !file.write(coded.get(), static_cast<size_t>(n)) || file.position() > limit)
            return false;
    }
    int32_t last = encoder.finish(coded.get(), capacity);
    return last >= 0 && file.write(coded.get(), static_cast<size_t>(last)) && file.position() <= limit;
}

} // namespace

int tiff_save(const char *name, const FileInfo &info) {
    if (info.kind < kImageBilevel || info.kind > kImageColour || info.width < 1 || info.height < 1)
        return 0;
    const Layout layout = layout_of(info.kind);
    if (info.kind != kImageBilevel && uncompressed_strip_bytes(info) > UINT32_MAX - layout.dataOffset)
        return 0;
    uint8_t palette[kPaletteRecordBytes] = {};
    if (info.kind == kImagePalette && !save_line(palette, -2, false))
        return 0;
    uint32_t paletteEntries = info.kind == kImagePalette ? palette[0] + 1u : 0;
    OutputFile file;
    if (!file.create(name) || !write_header(file, info, paletteEntries) ||
        !write_extra_values(file, info.kind, palette) || file.position() != layout.dataOffset)
        return 0;
    bool rows = info.kind == kImageBilevel ? write_t6_rows(file, info) : write_byte_rows(file, info);
    if (!rows)
        return 0;
    uint8_t length[4];
    put_u32le(length, static_cast<uint32_t>(file.position() - layout.dataOffset));
    return file.patch(kStripLengthOffset, length, sizeof length) && file.commit() ? 1 : 0;
}

} // namespace quill
