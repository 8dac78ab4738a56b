/*
 * yx_file.cpp - the library's own tile files ("YX"): a frame's coded tile
 * records copied to a file and back without decoding a pixel.
 *
 * Layout (little-endian): 53 signature bytes, a 16-bit version (1), the
 * frame kind, width, height and mode (32 bits each), the record count N,
 * N 16-bit record sizes, then the records back to back. N is the tile
 * count, plus one when a colour frame's palette record comes first. A tile
 * without a record is written as the 4 bytes of the blank mark.
 *
 * Loading checks the whole header and size table against the file before a
 * frame exists: the sizes must add up within the file, each tile record
 * must fit what a tile of the kind can hold, a palette record must agree
 * with its own count and may only come with a colour frame of mode 1, and
 * the mode must be one the kind takes. A hostile header can then neither
 * make the loader allocate more than the file holds nor build a frame
 * whose records do not fit its store. The records themselves are not
 * decoded here (that is the point of the format); the tile decoders check
 * them when the frame is read.
 *
 * Decisions:
 *  - Blank tiles of every kind are written as the mark. For grey and colour
 *    frames these are tiles never written (their pixels are undefined) and
 *    they load as such again, so a round trip keeps the store as it was.
 *    Rejected: writing such a tile as white pixels, which would invent
 *    content, and a zero-length record, which would be a second way of
 *    saying blank. No grey or colour record can equal the mark: a plain one
 *    ends in a palette flag byte of 0 or 1, and a lossy one of 4 bytes
 *    cannot hold the values its own zero map announces.
 *  - A raw bilevel record of a tile whose lines are exactly 4 bytes (tiles
 *    of 1 or 2 lines at the right or bottom edge) can hold the same bytes
 *    as the mark: a 16 x 2 tile with one black pixel at (7, 0). Today's
 *    coder codes that tile in 2 bytes of T.6, but the raw record is valid
 *    in any store, and written as it is it would load as a white tile.
 *    Such a record is written with a zero byte behind it: the tile decoder
 *    takes any record at least as long as the raw lines as raw, so the
 *    pixels load unchanged.
 *  - A record of no bytes is no coding of any tile and is rejected, as is
 *    a grey or colour frame of mode 0 (frames never carry it) or a bilevel
 *    frame of any mode but 0.
 *  - Versions 0 and 1 load; the writer writes 1.
 *  - Saves report percentages like loads and end with 100: the progress
 *    protocol of every long operation. The answers are not consulted.
 *  - The frame keeps its lock state across a save.
 */
#include "file_formats.h"
#include "file_io.h"

#include "../../base/holder.h"
#include "../core/frame_lock.h"
#include "../core/library_state.h"
#include "../core/new_frame.h"
#include "../core/progress.h"
#include "../core/tile_store.h"
#include "../core/tiles.h"
#include "quillimg.h"

#include <string.h>

namespace quill {

namespace {

constexpr size_t kSignatureBytes = 53;
// 52 characters and the terminating zero: all 53 bytes are compared.
const char kSignature[kSignatureBytes] = "Quill tile file (YX): coded 128 x 128 frame tiles\r\n\x1a";
static_assert(sizeof kSignature == kSignatureBytes, "the signature fills its field");

constexpr uint16_t kVersion = 1;
constexpr size_t kVersionAt = 53;
constexpr size_t kKindAt = 55;
constexpr size_t kWidthAt = 59;
constexpr size_t kHeightAt = 63;
constexpr size_t kModeAt = 67;
constexpr size_t kCountAt = 71;
constexpr size_t kHeaderBytes = 75;

constexpr int32_t kHighestMode = 4;
constexpr uint32_t kMarkBytes = 4;
const uint8_t kBlankMark[kMarkBytes] = {0xFE, 0xFF, 0xFF, 0xFF}; // 0xFFFFFFFE
constexpr uint32_t kSmallestPalette = 5;
constexpr int64_t kProgressEvery = 64;

struct YxHeader {
    int32_t kind;
    int32_t width;
    int32_t height;
    int32_t mode;
    uint32_t count;
};

int64_t tiles_of(int32_t width, int32_t height) {
    int64_t columns = (static_cast<int64_t>(width) + kTileSide - 1) / kTileSide;
    int64_t rows = (static_cast<int64_t>(height) + kTileSide - 1) / kTileSide;
    return columns * rows;
}

// A frame's record headers address a limited number of records (frame.cpp).
bool frame_can_hold(int32_t kind, int32_t width, int32_t height) {
    return tiles_of(width, height) <= tile_store_max_records(tile_store_length_bits(largest_record(kind)));
}


bool mode_fits_kind(int32_t kind, int32_t mode) { return kind == 1 ? mode == 0 : mode >= 1 && mode <= kHighestMode; }

int32_t get_i32le(const uint8_t *p) { return static_cast<int32_t>(get_u32le(p)); }

bool read_header(InputFile &file, YxHeader &header) {
    uint8_t b[kHeaderBytes];
    if (!file.read(0, b, sizeof b) || memcmp(b, kSignature, kSignatureBytes) != 0 ||
        get_u16le(b + kVersionAt) > kVersion)
        return false;
    header.kind = get_i32le(b + kKindAt);
    header.width = get_i32le(b + kWidthAt);
    header.height = get_i32le(b + kHeightAt);
    header.mode = get_i32le(b + kModeAt);
    header.count = get_u32le(b + kCountAt);
    if (header.kind != 1 && header.kind != 2 && header.kind != 4)
        return false;
    return header.width >= 1 && header.height >= 1 && frame_can_hold(header.kind, header.width, header.height) &&
           mode_fits_kind(header.kind, header.mode);
}

bool is_blank_mark(const uint8_t *record, uint32_t size) {
    return size == kMarkBytes && memcmp(record, kBlankMark, kMarkBytes) == 0;
}

// What the size table says, checked against the header and the file.
struct RecordPlan {
    HeapBlock<uint8_t> sizes; // N 16-bit sizes as in the file
    uint32_t count;
    bool palette; // the first record is the palette record
    uint64_t recordsAt;

    uint32_t size(uint32_t i) const { return get_u16le(sizes.get() + 2 * static_cast<size_t>(i)); }
};

bool plan_records(InputFile &file, const YxHeader &header, RecordPlan &plan) {
    int64_t tiles = tiles_of(header.width, header.height);
    plan.count = header.count;
    plan.palette = static_cast<int64_t>(header.count) == tiles + 1;
    if (static_cast<int64_t>(header.count) != tiles && !plan.palette)
        return false;
    if (plan.palette && (header.kind != 4 || header.mode != 1))
        return false;
    uint64_t tableBytes = 2 * static_cast<uint64_t>(header.count);
    if (!file.holds(kHeaderBytes, tableBytes) || !plan.sizes.allocate(static_cast<size_t>(tableBytes)) ||
        !file.read(kHeaderBytes, plan.sizes.get(), static_cast<size_t>(tableBytes)))
        return false;
    plan.recordsAt = kHeaderBytes + tableBytes;
    uint64_t total = 0;
    uint32_t largest = largest_record(header.kind);
    for (uint32_t i = 0; i < plan.count; ++i) {
        uint32_t size = plan.size(i);
        bool isPalette = plan.palette && i == 0;
        if (isPalette ? size < kSmallestPalette || size > kPaletteRecordBytes || (size - 1) % 4 != 0
                      : size == 0 || size > largest)
            return false;
        total += size;
    }
    return file.holds(plan.recordsAt, total);
}

// Reads the palette record, which must be as long as its own count says.
bool read_palette(InputFile &file, const RecordPlan &plan, HeapBlock<uint8_t> &palette) {
    uint32_t size = plan.size(0);
    if (!palette.allocate(kPaletteRecordBytes))
        return false;
    memset(palette.get(), 0, kPaletteRecordBytes);
    return file.read(plan.recordsAt, palette.get(), size) && 4u * palette[0] + kSmallestPalette == size;
}

// The frame QI_FrameCreate made must code its tiles as the file's did: a
// grey or colour mode of 2 or more needs the lossy tables, and without
// them the library's default would take over.
bool frame_matches(int32_t frame, const YxHeader &header, bool palette) {
    const QI_FrameRecord *f = frame_lookup(frame);
    return f && f->kind == header.kind && f->mode == header.mode && (f->palette != 0) == palette;
}

// Puts the tile records into the locked frame's store, in order (the
// palette record, when first, is already in through QI_FrameCreate).
bool store_tiles(InputFile &file, const RecordPlan &plan, int32_t frame) {
    const QI_FrameRecord *f = frame_lookup(frame);
    HeapBlock<uint8_t> record(largest_record(f->kind));
    if (!record)
        return false;
    uint64_t at = plan.recordsAt;
    uint32_t first = plan.palette ? 1 : 0;
    for (uint32_t i = 0; i < plan.count; ++i) {
        if (i % kProgressEvery == 0)
            progress_notify(static_cast<intptr_t>(static_cast<int64_t>(i) * 99 / plan.count + 1));
        uint32_t size = plan.size(i);
        if (i < first) {
            at += size;
            continue;
        }
        if (!file.read(at, record.get(), size))
            return false;
        at += size;
        // A new frame's tiles are all blank: a mark needs no write.
        if (!is_blank_mark(record.get(), size) &&
            !tile_store_write(f->tileStore, static_cast<int32_t>(i - first), record.get(), static_cast<int32_t>(size)))
            return false;
    }
    return true;
}

int32_t load_frame(const char *name, int32_t storage) {
    InputFile file;
    YxHeader header{};
    RecordPlan plan{};
    if (!file.open(name) || !read_header(file, header) || !plan_records(file, header, plan))
        return -1;
    HeapBlock<uint8_t> palette;
    if (plan.palette && !read_palette(file, plan, palette))
        return -1;
    NewFrame frame(QI_FrameCreate(header.width, header.height, header.kind, storage, palette.get(), header.mode));
    bool ok = frame.ok() && frame_matches(frame.handle(), header, plan.palette) &&
              store_tiles(file, plan, frame.handle());
    return ok ? frame.release() : -1;
}

bool write_header(OutputFile &out, const QI_FrameRecord &f, uint32_t count) {
    return out.write(kSignature, kSignatureBytes) && out.write_u16(kVersion) &&
           out.write_u32(static_cast<uint32_t>(f.kind)) && out.write_u32(static_cast<uint32_t>(f.width)) &&
           out.write_u32(static_cast<uint32_t>(f.height)) && out.write_u32(static_cast<uint32_t>(f.mode)) &&
           out.write_u32(count);
}

// Writes one tile's record and notes its size; false when it fails.
bool write_tile(OutputFile &out, const QI_FrameRecord &f, int32_t index, uint8_t *record, uint32_t capacity,
                uint8_t *sizeAt) {
    int32_t length = tile_store_read(f.tileStore, index, record, capacity);
    if (length == kRecordFailed)
        return false;
    uint32_t size;
    if (length < 0) {
        memcpy(record, kBlankMark, kMarkBytes);
        size = kMarkBytes;
    } else {
        size = static_cast<uint32_t>(length);
        if (is_blank_mark(record, size)) {
            // Only raw bilevel lines can look like the mark (see the head
            // of this file); a longer raw record decodes the same.
            if (f.kind != 1 || capacity <= kMarkBytes)
                return false;
            record[size++] = 0;
        }
    }
    put_u16le(sizeAt, size);
    return out.write(record, size);
}

bool save_frame(OutputFile &out, int32_t frame) {
    const QI_FrameRecord *f = frame_lookup(frame);
    int64_t tiles = tile_count(*f);
    const uint8_t *palette = frame_loaded_palette(*f);
    uint32_t first = palette ? 1 : 0;
    uint32_t count = static_cast<uint32_t>(tiles) + first;
    HeapBlock<uint8_t> sizes(2 * static_cast<size_t>(count));
    // One byte more than a record: room to lengthen a raw bilevel record.
    uint32_t capacity = largest_record(f->kind) + 1;
    HeapBlock<uint8_t> record(capacity);
    if (!sizes || !record)
        return false;
    memset(sizes.get(), 0, 2 * static_cast<size_t>(count));
    if (!write_header(out, *f, count) || !out.write(sizes.get(), 2 * static_cast<size_t>(count)))
        return false;
    if (palette) {
        uint32_t size = 4u * palette[0] + kSmallestPalette;
        put_u16le(sizes.get(), size);
        if (!out.write(palette, size))
            return false;
    }
    for (uint32_t i = first; i < count; ++i) {
        if (i % kProgressEvery == 0)
            progress_notify(static_cast<intptr_t>(static_cast<int64_t>(i) * 99 / count + 1));
        if (!write_tile(out, *f, static_cast<int32_t>(i - first), record.get(), capacity,
                        sizes.get() + 2 * static_cast<size_t>(i)))
            return false;
    }
    return out.patch(kHeaderBytes, sizes.get(), 2 * static_cast<size_t>(count));
}

} // namespace

int yx_get_info(const char *name, FileInfo &info) {
    InputFile file;
    YxHeader header{};
    if (!file.open(name) || !read_header(file, header))
        return 0;
    info.width = header.width;
    info.height = header.height;
    info.kind = header.kind;
    return 1;
}

int32_t yx_load(const char *name, int32_t storage) {
    progress_notify(0);
    progress_notify(progress_message(kMsgYXLoad));
    int32_t frame = load_frame(name, storage);
    progress_notify(100);
    return frame;
}

int yx_save(int32_t frame, const char *name) {
    OutputFile out;
    if (!out.create(name))
        return 0;
    bool ok;
    {
        ScopedFrameLock lock(frame);
        progress_notify(0);
        progress_notify(progress_message(kMsgYXSave));
        ok = lock.ok() && save_frame(out, frame) && out.commit();
    }
    progress_notify(100);
    return ok ? 1 : 0;
}

} // namespace quill
