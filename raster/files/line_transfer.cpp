/*
 * line_transfer.cpp - the transfer state of a load or save and the row
 * hand-over between image formats and frames.
 *
 * Beyond the plain protocol, each call checks what it is given: a load row
 * must be the next one, of the line width, and below the height, and a save
 * row likewise, because a format reader that miscounts would otherwise
 * write past the line buffer or leave part of the frame unwritten.
 */
#include "line_transfer.h"

#include "../../base/holder.h"
#include "../../base/raster_line.h"
#include "../colour/colour_convert.h"
#include "../core/frame_lock.h"
#include "../core/frame_rect.h"
#include "../core/progress.h"
#include "../core/tiles.h"
#include "../codecs/black_runs.h"
#include "../codecs/bilevel_tables.h"
#include "quillimg.h"

#include <string.h>

#include <type_traits>

namespace quill {

namespace {

constexpr uint8_t kNeutralChroma = 0x7F;

// A block of the transfer state: a plain pointer with the holder's calls,
// trivially destructible so that the state below needs neither a global
// constructor nor an exit-time destructor. reset_transfer() gives the
// blocks back on every end path of a transfer.
struct StateBlock {
    uint8_t *block = nullptr;

    bool allocate(size_t bytes) {
        reset();
        if (bytes > UINT32_MAX)
            return false;
        block = static_cast<uint8_t *>(qs_malloc(static_cast<uint32_t>(bytes)));
        return block != nullptr;
    }
    void reset() { heap_release(block); }
    uint8_t *get() const { return block; }
    explicit operator bool() const { return block != nullptr; }
};

struct Transfer {
    bool loading = false;
    bool saving = false;
    int32_t frame = -1;
    FileInfo info = {0, 0, 0};
    int32_t frameKind = 0;
    int32_t storage = 0;
    uint32_t lineBytes = 0;      // a row as it crosses the protocol
    uint32_t frameLineBytes = 0; // a row of the frame's kind
    StateBlock palette;          // 1025 bytes; (Y, U, V) entries
    bool paletteToGrey = false;  // palette image loaded into a grey frame
    StateBlock lines;            // load: 128 rows; save: 128 frame rows
    StateBlock colour;           // load of palette rows into a colour frame
    int32_t blockFirst = 0;
    int32_t blockRows = 0;
    uint32_t writePosition = 0;
    int32_t nextLine = 0;
};

// The one transfer: every member has a constant initialiser and the type is
// trivially destructible, so the object is constant-initialised (alive and
// empty before any code runs) and nothing runs at load or exit time.
// Rejected: raw bytes reinterpreted as a Transfer, whose members were never
// constructed.
Transfer g_transfer;
static_assert(std::is_trivially_destructible<Transfer>::value, "the transfer state must need no exit-time code");
static_assert(Transfer{}.frame == -1, "the transfer state must be constant-initialised");

Transfer &transfer() { return g_transfer; }

void reset_transfer() {
    Transfer &t = transfer();
    t.palette.reset();
    t.lines.reset();
    t.colour.reset();
    t.loading = t.saving = false;
    t.frame = -1;
    t.paletteToGrey = false;
    t.blockFirst = t.blockRows = 0;
    t.writePosition = 0;
    t.nextLine = 0;
}

// The rectangle engines trust their frame; the host runs between two rows
// and holds handles, so check that the transfer's frame is still there and
// locked before each block goes through them.
bool transfer_frame_ready() {
    const QI_FrameRecord *f = frame_lookup(transfer().frame);
    return f && f->locked;
}

uint32_t palette_entries(const uint8_t *record) { return static_cast<uint32_t>(record[0]) + 1; }

bool create_frame(const uint8_t *palette) {
    Transfer &t = transfer();
    t.frame = QI_FrameCreate(t.info.width, t.info.height, t.frameKind, t.storage, palette, 0);
    if (t.frame < 0)
        return false;
    if (QI_FrameLock(t.frame) != 1) {
        QI_FrameDelete(t.frame);
        t.frame = -1;
        return false;
    }
    return true;
}

// Line -2 of a load: the palette record (B, G, R) in the line buffer.
uint8_t *take_palette(int32_t bytes) {
    Transfer &t = transfer();
    if (t.frame >= 0 || t.info.kind != kImagePalette || bytes < 5 ||
        static_cast<uint32_t>(bytes) > kPaletteRecordBytes)
        return nullptr;
    uint32_t entries = palette_entries(t.lines.get());
    if (static_cast<uint32_t>(bytes) < 1 + 4 * entries)
        return nullptr;
    if (!t.palette.allocate(kPaletteRecordBytes))
        return nullptr;
    memset(t.palette.get(), 0, kPaletteRecordBytes);
    memcpy(t.palette.get(), t.lines.get(), 1 + 4 * entries);
    bool grey = true;
    for (uint32_t i = 0; i < entries; ++i) {
        uint8_t *entry = t.palette.get() + 1 + 4 * i;
        bgr_to_yuv_raster(entry, 1, 1);
        entry[3] = 0;
        grey = grey && entry[1] == kNeutralChroma && entry[2] == kNeutralChroma;
    }
    t.paletteToGrey = grey;
    t.frameKind = grey ? kImageGrey : kImageColour;
    if (!grey) {
        uint32_t colourLine = raster_line_bytes(kImageColour, t.info.width);
        if (!t.colour.allocate(static_cast<size_t>(colourLine) * kBlockLines))
            return nullptr;
    }
    if (!create_frame(grey ? nullptr : t.palette.get()))
        return nullptr;
    return t.lines.get();
}

// Palette rows of a grey frame: each index becomes its entry's grey level.
void map_rows_to_grey(uint8_t *rows, int32_t count) {
    Transfer &t = transfer();
    const uint8_t *palette = t.palette.get();
    uint32_t highest = palette[0];
    for (int32_t y = 0; y < count; ++y) {
        uint8_t *row = rows + static_cast<size_t>(y) * t.lineBytes;
        for (int32_t x = 0; x < t.info.width; ++x)
            if (row[x] <= highest)
                row[x] = palette[1 + 4 * row[x]];
    }
}

// Palette rows of a colour frame: each index becomes its entry's (Y, U, V).
// An index past the palette (a file may hold one) becomes black rather than
// whatever the unused entries hold.
void expand_rows_to_colour(const uint8_t *rows, int32_t count) {
    Transfer &t = transfer();
    const uint8_t *palette = t.palette.get();
    uint32_t highest = palette[0];
    static const uint8_t kBlack[3] = {0, kNeutralChroma, kNeutralChroma};
    for (int32_t y = 0; y < count; ++y) {
        const uint8_t *in = rows + static_cast<size_t>(y) * t.lineBytes;
        uint8_t *out = t.colour.get() + static_cast<size_t>(y) * t.frameLineBytes;
        for (int32_t x = 0; x < t.info.width; ++x, out += 3) {
            const uint8_t *entry = in[x] <= highest ? palette + 1 + 4 * in[x] : kBlack;
            out[0] = entry[0];
            out[1] = entry[1];
            out[2] = entry[2];
        }
    }
}

bool store_block(int32_t last) {
    Transfer &t = transfer();
    int32_t count = last - t.blockFirst + 1;
    const uint8_t *data = t.lines.get();
    if (t.info.kind == kImagePalette && t.paletteToGrey) {
        map_rows_to_grey(t.lines.get(), count);
    } else if (t.info.kind == kImagePalette) {
        expand_rows_to_colour(t.lines.get(), count);
        data = t.colour.get();
    } else if (t.info.kind == kImageColour) {
        bgr_to_yuv_raster(t.lines.get(), t.info.width, count);
    }
    QI_Rect rect{0, t.blockFirst, t.info.width - 1, last};
    return transfer_frame_ready() && frame_set_rect(t.frame, rect, data, t.frameKind, -1, -1);
}

// Line 0 or above of a load: row `line` has been placed.
uint8_t *take_row(int32_t bytes, int32_t line) {
    Transfer &t = transfer();
    if (t.frame < 0 || line != t.nextLine || line >= t.info.height || static_cast<uint32_t>(bytes) != t.lineBytes)
        return nullptr;
    if (t.blockRows == 0) {
        t.blockFirst = line;
        t.writePosition = 0;
        intptr_t percent = static_cast<intptr_t>(static_cast<int64_t>(line) * 99 / t.info.height + 1);
        if (!progress_report(percent))
            return nullptr;
    }
    ++t.blockRows;
    ++t.nextLine;
    t.writePosition += t.lineBytes;
    if (t.blockRows < kBlockLines && line != t.info.height - 1)
        return t.lines.get() + t.writePosition;
    if (!store_block(line))
        return nullptr;
    t.blockRows = 0;
    t.writePosition = 0;
    return t.lines.get();
}

// Fetches the block of rows that starts at `line`, as the protocol gives
// them: colour rows as (B, G, R).
bool fetch_block(int32_t line) {
    Transfer &t = transfer();
    int32_t last = line + kBlockLines - 1;
    if (last > t.info.height - 1)
        last = t.info.height - 1;
    QI_Rect rect{0, line, t.info.width - 1, last};
    if (!transfer_frame_ready() || !frame_get_rect(t.frame, rect, t.lines.get()))
        return false;
    if (t.info.kind == kImageColour)
        yuv_to_bgr_raster(t.lines.get(), t.info.width, last - line + 1);
    progress_notify(static_cast<intptr_t>(static_cast<int64_t>(line) * 99 / t.info.height + 1));
    return true;
}

// The palette index of a (Y, U, V) pixel: the entry equal to it, or else
// the nearest one. Pixels written into a palette frame after it was coded
// need not be palette colours; the nearest entry keeps the saved image
// close to the frame where leaving the raw bytes would give arbitrary
// indices.
uint8_t palette_index(const uint8_t *palette, const uint8_t *pixel) {
    uint32_t entries = palette_entries(palette);
    uint32_t best = 0;
    int32_t bestDistance = INT32_MAX;
    for (uint32_t i = 0; i < entries; ++i) {
        const uint8_t *e = palette + 1 + 4 * i;
        int32_t d0 = e[0] - pixel[0], d1 = e[1] - pixel[1], d2 = e[2] - pixel[2];
        int32_t distance = d0 * d0 + d1 * d1 + d2 * d2;
        if (distance < bestDistance) {
            bestDistance = distance;
            best = i;
            if (distance == 0)
                break;
        }
    }
    return static_cast<uint8_t>(best);
}

void row_to_indices(const uint8_t *row, uint8_t *out) {
    Transfer &t = transfer();
    const uint8_t *palette = t.palette.get();
    uint8_t last[3] = {0, 0, 0};
    uint8_t lastIndex = palette_index(palette, last);
    for (int32_t x = 0; x < t.info.width; ++x, row += 3) {
        if (row[0] != last[0] || row[1] != last[1] || row[2] != last[2]) {
            memcpy(last, row, 3);
            lastIndex = palette_index(palette, row);
        }
        out[x] = lastIndex;
    }
    for (uint32_t x = static_cast<uint32_t>(t.info.width); x < t.lineBytes; ++x)
        out[x] = 0;
}

bool copy_palette_out(uint8_t *out) {
    Transfer &t = transfer();
    if (!t.palette)
        return false;
    uint32_t entries = palette_entries(t.palette.get());
    memcpy(out, t.palette.get(), 1 + 4 * entries);
    for (uint32_t i = 0; i < entries; ++i)
        yuv_to_bgr_raster(out + 1 + 4 * i, 1, 1);
    return true;
}

bool hand_out_row(uint8_t *out, int32_t line, bool runs) {
    Transfer &t = transfer();
    if (line != t.nextLine || line >= t.info.height)
        return false;
    if (line % kBlockLines == 0 && !fetch_block(line))
        return false;
    uint8_t *row = t.lines.get() + static_cast<size_t>(line % kBlockLines) * t.frameLineBytes;
    ++t.nextLine;
    if (t.info.kind == kImageBilevel && runs) {
        if (t.info.width > 65535 || !g_runTable)
            return false;
        uint16_t *pairs = reinterpret_cast<uint16_t *>(out) + 1;
        uint32_t count = pack_black_runs(row, static_cast<uint32_t>(t.info.width), pairs, g_runTable);
        uint16_t count16 = static_cast<uint16_t>(count);
        memcpy(out, &count16, 2);
        return true;
    }
    if (t.info.kind == kImagePalette)
        row_to_indices(row, out);
    else
        memcpy(out, row, t.lineBytes);
    return true;
}

} // namespace

bool load_transfer_begin(const FileInfo &info, int32_t storage) {
    reset_transfer();
    Transfer &t = transfer();
    t.info = info;
    t.storage = storage;
    int32_t lineKind = info.kind == kImagePalette ? kImageGrey : info.kind;
    t.lineBytes = raster_line_bytes(lineKind, info.width);
    t.frameKind = lineKind;
    t.frameLineBytes = t.lineBytes;
    size_t bytes = static_cast<size_t>(t.lineBytes) * kBlockLines;
    if (bytes < kPaletteRecordBytes)
        bytes = kPaletteRecordBytes;
    if (!t.lines.allocate(bytes)) {
        reset_transfer();
        return false;
    }
    if (info.kind != kImagePalette) {
        if (!create_frame(nullptr)) {
            reset_transfer();
            return false;
        }
        t.frameLineBytes = raster_line_bytes(t.frameKind, info.width);
    } else {
        t.frameLineBytes = raster_line_bytes(kImageColour, info.width);
    }
    t.loading = true;
    return true;
}

int32_t load_transfer_end(bool ok) {
    Transfer &t = transfer();
    int32_t frame = t.frame;
    bool complete = ok && frame >= 0 && t.nextLine == t.info.height && t.blockRows == 0;
    if (frame >= 0) {
        QI_FrameUnlock(frame);
        if (!complete)
            QI_FrameDelete(frame);
    }
    reset_transfer();
    return complete ? frame : -1;
}

bool save_transfer_begin(int32_t frame, FileInfo &info) {
    reset_transfer();
    Transfer &t = transfer();
    QI_FrameRecord *f = frame_lookup(frame);
    if (!f || !f->locked)
        return false;
    t.frame = frame;
    t.frameKind = f->kind;
    info.width = f->width;
    info.height = f->height;
    info.kind = f->kind;
    const uint8_t *palette = frame_loaded_palette(*f);
    if (f->kind == kImageColour && palette) {
        info.kind = kImagePalette;
        if (!t.palette.allocate(kPaletteRecordBytes)) {
            reset_transfer();
            return false;
        }
        memcpy(t.palette.get(), palette, 1 + 4 * palette_entries(palette));
    }
    t.info = info;
    t.lineBytes = raster_line_bytes(info.kind, info.width);
    // Rows are fetched in the frame's kind: a palette image's block holds
    // colour rows, converted to indices row by row.
    t.frameLineBytes = raster_line_bytes(f->kind, info.width);
    if (!t.lines.allocate(static_cast<size_t>(t.frameLineBytes) * kBlockLines)) {
        reset_transfer();
        return false;
    }
    t.saving = true;
    return true;
}

void save_transfer_end() { reset_transfer(); }

int32_t load_transfer_run_frame() {
    Transfer &t = transfer();
    bool ready = t.loading && t.info.kind == kImageBilevel && t.nextLine == 0 && t.blockRows == 0;
    return ready && transfer_frame_ready() ? t.frame : -1;
}

// A run-list block reports what take_row reports at a block's first row and
// leaves the transfer as take_row leaves it after the block's last row, so
// load_transfer_end() judges both hand-overs alike.
bool load_transfer_block_begin(int32_t line) {
    Transfer &t = transfer();
    if (!t.loading || t.frame < 0 || line != t.nextLine || line % kBlockLines != 0 || line >= t.info.height ||
        t.blockRows != 0 || !transfer_frame_ready())
        return false;
    return progress_report(static_cast<intptr_t>(static_cast<int64_t>(line) * 99 / t.info.height + 1));
}

bool load_transfer_block_stored(int32_t rows) {
    Transfer &t = transfer();
    int32_t expected = t.info.height - t.nextLine < kBlockLines ? t.info.height - t.nextLine : kBlockLines;
    if (!t.loading || rows != expected)
        return false;
    t.nextLine += rows;
    return true;
}

uint8_t *load_line(int32_t bytes, int32_t line) {
    Transfer &t = transfer();
    if (!t.loading)
        return nullptr;
    if (line == -1)
        return t.lines.get();
    if (line == -2)
        return take_palette(bytes);
    if (line < 0)
        return nullptr;
    return take_row(bytes, line);
}

bool save_line(void *out, int32_t line, bool runs) {
    Transfer &t = transfer();
    if (!t.saving || !out)
        return false;
    if (line == -2)
        return copy_palette_out(static_cast<uint8_t *>(out));
    if (line < 0)
        return false;
    return hand_out_row(static_cast<uint8_t *>(out), line, runs);
}

} // namespace quill

extern "C" QI_API intptr_t QI_FrameFile_LoadLine(int bytes, int line) {
    return reinterpret_cast<intptr_t>(quill::load_line(bytes, line));
}

extern "C" QI_API int QI_FrameFile_SaveLine(void *out, int line, int runs) {
    return quill::save_line(out, line, runs != 0) ? 1 : 0;
}
