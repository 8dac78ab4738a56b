/*
 * pcx_file.cpp - get-info, load and save of PCX files: a 128-byte header,
 * then run-length coded rows, each row its planes one after the other.
 *
 * Run-length code: a byte whose two top bits are set carries a count in its
 * low six bits and repeats the byte after it that many times; any other
 * byte stands for itself. Files hold bilevel images (one plane of 1 bit),
 * palette images of up to 8 bits (one plane of 2, 4 or 8 bits, or several
 * planes whose bits together form the index) and 24-bit images (three
 * planes of 8 bits: red, green, blue).
 *
 * Loading. The header is checked against the file before anything is
 * allocated: the sides, a bits / planes combination we can assemble, a
 * plane line long enough for the width and not absurdly longer, a file
 * long enough for its trailing palette and for the least data its rows can
 * be coded in. Rows are decoded from a buffered window over the data (at
 * most 1 MB); a run that passes the row's end is cut there, and running out
 * of data fails the load. The data never extends into a trailing palette.
 * Multi-plane pixels are assembled with the first plane as the least
 * significant bits of the index, which is what every writer means by it,
 * so the palette is used as the file gives it.
 *
 * Saving writes version 5: bilevel as one plane of 1 bit, grey and palette
 * images as one plane of 8 bits followed by a 768-byte palette, colour as
 * three planes of 8 bits. Every byte of a row is compared with the one
 * before it when runs are formed, so a row always decodes to what was
 * given (merging the last byte of a row into the run before it unseen
 * would change the last pixel whenever it differs).
 */
#include "file_formats.h"
#include "../../base/raster_line.h"

#include "file_io.h"
#include "line_transfer.h"
#include "quillimg.h"

#include <string.h>

namespace quill {

namespace {

constexpr uint32_t kHeaderBytes = 128;
constexpr uint32_t kHeaderPaletteOffset = 16;
constexpr uint32_t kHeaderPaletteBytes = 48;
constexpr uint8_t kPaletteMark = 12;
constexpr uint32_t kTrailingPaletteBytes = 1 + 768;
constexpr uint8_t kRunFlag = 0xC0;
constexpr uint32_t kLongestRun = 63;
constexpr uint32_t kLargestWindow = 1u << 20;
constexpr uint8_t kWrittenVersion = 5;

struct PcxHeader {
    uint8_t version;
    uint32_t bitsPerPixel; // per plane
    uint32_t planes;
    uint32_t lineBytes; // bytes of one plane line
    int32_t width;
    int32_t height;
    int32_t kind;
    uint32_t bits; // planes * bits per pixel
    uint8_t palette[kHeaderPaletteBytes];
};

uint32_t row_bytes(const PcxHeader &h) { return h.planes * h.lineBytes; }

bool has_trailing_palette(const PcxHeader &h) { return h.kind == kImagePalette && h.version == 5 && h.bits > 4; }

// Layouts whose pixels we can assemble: 1, 2, 4 or 8 bits in up to eight
// planes making at most 8 bits an index, or three planes of 8 bits.
bool layout_supported(uint32_t bitsPerPixel, uint32_t planes) {
    if (bitsPerPixel != 1 && bitsPerPixel != 2 && bitsPerPixel != 4 && bitsPerPixel != 8)
        return false;
    uint32_t bits = bitsPerPixel * planes;
    return planes >= 1 && (bits <= 8 || (bitsPerPixel == 8 && planes == 3));
}

// Decision: a plane line may be longer than its pixels need (writers pad
// to even or to a word), but one more than twice as long plus a few bytes
// is no padding any writer makes; such a header is damaged, and taking it
// at its word would decode mostly padding.
bool line_bytes_plausible(uint32_t lineBytes, uint32_t needed) {
    return lineBytes >= needed && lineBytes <= 2 * needed + 16;
}

// The fewest data bytes that can code the rows: a run of two bytes gives at
// most 63 bytes, so no file byte gives more than 63.
uint64_t least_data_bytes(const PcxHeader &h) {
    uint64_t perRow = (row_bytes(h) + kLongestRun - 1) / kLongestRun;
    return perRow * static_cast<uint64_t>(h.height);
}

bool parse_header(const uint8_t *b, PcxHeader &h) {
    if (b[2] != 1) // encoding: only run-length coding exists
        return false;
    uint32_t xmin = get_u16le(b + 4), ymin = get_u16le(b + 6);
    uint32_t xmax = get_u16le(b + 8), ymax = get_u16le(b + 10);
    if (xmax < xmin || ymax < ymin)
        return false;
    h.version = b[1];
    h.bitsPerPixel = b[3];
    h.planes = b[65];
    h.lineBytes = get_u16le(b + 66);
    h.width = static_cast<int32_t>(xmax - xmin + 1);
    h.height = static_cast<int32_t>(ymax - ymin + 1);
    if (!layout_supported(h.bitsPerPixel, h.planes))
        return false;
    uint32_t needed = (static_cast<uint32_t>(h.width) * h.bitsPerPixel + 7) / 8;
    if (!line_bytes_plausible(h.lineBytes, needed))
        return false;
    h.bits = h.bitsPerPixel * h.planes;
    h.kind = h.bits == 1 ? kImageBilevel : h.bits == 24 ? kImageColour : kImagePalette;
    memcpy(h.palette, b + kHeaderPaletteOffset, kHeaderPaletteBytes);
    return true;
}

// Reads and checks the header against the file; `dataEnd` is where the
// coded rows must end (before a trailing palette).
bool open_pcx(InputFile &file, const char *name, PcxHeader &h, uint64_t &dataEnd) {
    uint8_t header[kHeaderBytes];
    if (!file.open(name) || !file.read(0, header, sizeof header) || !parse_header(header, h))
        return false;
    dataEnd = file.length();
    if (has_trailing_palette(h)) {
        uint8_t mark = 0;
        if (!file.holds(kHeaderBytes, kTrailingPaletteBytes))
            return false;
        dataEnd = file.length() - kTrailingPaletteBytes;
        if (!file.read(dataEnd, &mark, 1) || mark != kPaletteMark)
            return false;
    }
    return dataEnd - kHeaderBytes >= least_data_bytes(h);
}

// ---- Loading ----------------------------------------------------------------

// A window over the coded rows, refilled from the file as it is used up.
class CodedData {
public:
    bool begin(InputFile &file, uint64_t start, uint64_t end) {
        file_ = &file;
        next_ = start;
        end_ = end;
        uint64_t size = end - start;
        capacity_ = static_cast<size_t>(size < kLargestWindow ? size : kLargestWindow);
        return capacity_ == 0 || window_.allocate(capacity_);
    }
    // The next byte; false at the end of the data or when a read fails.
    bool next(uint8_t &byte) {
        if (position_ == filled_ && !refill())
            return false;
        byte = window_[position_++];
        return true;
    }

private:
    bool refill() {
        uint64_t left = end_ - next_;
        if (left == 0)
            return false;
        filled_ = static_cast<size_t>(left < capacity_ ? left : capacity_);
        if (!file_->read(next_, window_.get(), filled_))
            return false;
        next_ += filled_;
        position_ = 0;
        return true;
    }

    InputFile *file_ = nullptr;
    HeapBlock<uint8_t> window_;
    size_t capacity_ = 0, filled_ = 0, position_ = 0;
    uint64_t next_ = 0, end_ = 0;
};

// Decodes exactly n bytes of one row. A run longer than what is left of the
// row is cut at its end: runs do not cross rows.
bool decode_row(CodedData &data, uint8_t *out, uint32_t n) {
    uint32_t filled = 0;
    while (filled < n) {
        uint8_t byte;
        if (!data.next(byte))
            return false;
        uint32_t count = 1;
        if ((byte & kRunFlag) == kRunFlag) {
            count = byte & kLongestRun;
            if (!data.next(byte))
                return false;
        }
        if (count > n - filled)
            count = n - filled;
        memset(out + filled, byte, count);
        filled += count;
    }
    return true;
}

uint8_t *put_entry(uint8_t *record, uint32_t i, uint8_t red, uint8_t green, uint8_t blue) {
    uint8_t *e = record + 1 + 4 * i;
    e[0] = blue;
    e[1] = green;
    e[2] = red;
    e[3] = 0;
    return e;
}

// The palette of a file without the version-5 rules: the colours of the
// old 16-colour adapters (bit 0 blue, 1 green, 2 red, bit 3 bright).
void fixed_palette(uint8_t *record, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        uint8_t level = (i & 8) ? 255 : 128;
        put_entry(record, i, (i & 4) ? level : 0, (i & 2) ? level : 0, (i & 1) ? level : 0);
    }
    put_entry(record, 1, 0xC0, 0xC0, 0xC0);
}

// Builds the palette record (B, G, R, 0 entries) of a palette image.
bool build_palette(InputFile &file, const PcxHeader &h, uint8_t *record) {
    const uint32_t n = 1u << h.bits;
    memset(record, 0, kPaletteRecordBytes);
    record[0] = static_cast<uint8_t>(n - 1);
    const uint8_t *rgb = h.palette;
    uint8_t trailing[768];
    if (has_trailing_palette(h)) {
        if (!file.read(file.length() - 768, trailing, sizeof trailing))
            return false;
        rgb = trailing;
    } else if (h.version != 5 && h.bits <= 4) {
        fixed_palette(record, n);
        return true;
    }
    for (uint32_t i = 0; i < n; ++i) {
        if (rgb == h.palette && i >= 16) {
            put_entry(record, i, static_cast<uint8_t>(i), static_cast<uint8_t>(i), static_cast<uint8_t>(i));
            continue;
        }
        put_entry(record, i, rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]);
    }
    return true;
}

// Decision: a bilevel file's bits are taken as the header palette says
// when its two entries differ (white at entry 0 makes a 1 bit black, as
// the peer tools read it); files whose entries are equal, such as the
// all-zero palettes of old writers, read 1 as white.
bool bilevel_inverted(const PcxHeader &h) {
    uint32_t first = h.palette[0] + h.palette[1] + h.palette[2];
    uint32_t second = h.palette[3] + h.palette[4] + h.palette[5];
    return first > second;
}

void bilevel_row(const PcxHeader &h, const uint8_t *in, uint8_t *out, uint32_t outBytes, bool inverted) {
    uint32_t used = (static_cast<uint32_t>(h.width) + 7) / 8;
    for (uint32_t i = 0; i < used; ++i)
        out[i] = inverted ? static_cast<uint8_t>(~in[i]) : in[i];
    // Bits past the width are white, as in every bilevel row of the library.
    uint32_t tail = static_cast<uint32_t>(h.width) & 7;
    if (tail)
        out[used - 1] = static_cast<uint8_t>(out[used - 1] | (0xFFu >> tail));
    memset(out + used, 0xFF, outBytes - used);
}

// Three planes of red, green and blue become (B, G, R) pixels.
void colour_row(const PcxHeader &h, const uint8_t *in, uint8_t *out) {
    const uint8_t *red = in, *green = in + h.lineBytes, *blue = in + 2 * h.lineBytes;
    for (int32_t x = 0; x < h.width; ++x, out += 3) {
        out[0] = blue[x];
        out[1] = green[x];
        out[2] = red[x];
    }
}

// Indices of any other layout: plane p gives bits p * bpp and up.
void index_row(const PcxHeader &h, const uint8_t *in, uint8_t *out) {
    if (h.planes == 1 && h.bitsPerPixel == 8) {
        memcpy(out, in, static_cast<size_t>(h.width));
        return;
    }
    const uint32_t bpp = h.bitsPerPixel, mask = (1u << bpp) - 1;
    for (uint32_t x = 0; x < static_cast<uint32_t>(h.width); ++x) {
        uint32_t bit = x * bpp, shift = 8 - bpp - (bit & 7), value = 0;
        for (uint32_t p = 0; p < h.planes; ++p)
            value |= ((in[p * h.lineBytes + (bit >> 3)] >> shift) & mask) << (p * bpp);
        out[x] = static_cast<uint8_t>(value);
    }
}

bool load_rows(InputFile &file, const PcxHeader &h, uint64_t dataEnd) {
    const int32_t lineKind = h.kind == kImagePalette ? kImageGrey : h.kind;
    const uint32_t lineBytes = raster_line_bytes(lineKind, h.width);
    const bool inverted = h.kind == kImageBilevel && bilevel_inverted(h);
    CodedData data;
    HeapBlock<uint8_t> row;
    if (!data.begin(file, kHeaderBytes, dataEnd) || !row.allocate(row_bytes(h)))
        return false;
    uint8_t *out = load_line(0, -1);
    for (int32_t y = 0; y < h.height && out; ++y) {
        if (!decode_row(data, row.get(), row_bytes(h)))
            return false;
        if (h.kind == kImageBilevel)
            bilevel_row(h, row.get(), out, lineBytes, inverted);
        else if (h.kind == kImageColour)
            colour_row(h, row.get(), out);
        else
            index_row(h, row.get(), out);
        out = load_line(static_cast<int32_t>(lineBytes), y);
    }
    return out != nullptr;
}

int pcx_load(const char *name) {
    InputFile file;
    PcxHeader h;
    uint64_t dataEnd = 0;
    if (!open_pcx(file, name, h, dataEnd))
        return 0;
    if (h.kind == kImagePalette) {
        uint8_t *record = load_line(0, -1);
        if (!record || !build_palette(file, h, record))
            return 0;
        int32_t recordBytes = static_cast<int32_t>(4 * (1u << h.bits) + 1);
        if (!load_line(recordBytes, -2))
            return 0;
    }
    return load_rows(file, h, dataEnd) ? 1 : 0;
}

int pcx_get_info(const char *name, FileInfo &info) {
    InputFile file;
    PcxHeader h;
    uint64_t dataEnd = 0;
    if (!open_pcx(file, name, h, dataEnd))
        return 0;
    info.width = h.width;
    info.height = h.height;
    info.kind = h.kind;
    return 1;
}

// ---- Saving -----------------------------------------------------------------

// Codes n bytes into `out` (room for 2 * n bytes): runs of up to 63 equal
// bytes, each byte compared with the one before it; a single byte that
// would read as a count is written as a run of one.
uint32_t encode_runs(const uint8_t *in, uint32_t n, uint8_t *out) {
    uint32_t o = 0;
    for (uint32_t i = 0; i < n;) {
        uint8_t byte = in[i];
        uint32_t run = 1;
        while (run < kLongestRun && i + run < n && in[i + run] == byte)
            ++run;
        if (run > 1 || (byte & kRunFlag) == kRunFlag)
            out[o++] = static_cast<uint8_t>(kRunFlag | run);
        out[o++] = byte;
        i += run;
    }
    return o;
}

uint32_t plane_line_bytes(const FileInfo &info) {
    uint32_t width = static_cast<uint32_t>(info.width);
    return info.kind == kImageBilevel ? (width + 15) / 16 * 2 : (width + 1) & ~1u;
}

void write_header(uint8_t *b, const FileInfo &info, uint32_t lineBytes) {
    memset(b, 0, kHeaderBytes);
    b[0] = 10; // manufacturer
    b[1] = kWrittenVersion;
    b[2] = 1; // run-length coding
    b[3] = info.kind == kImageBilevel ? 1 : 8;
    put_u16le(b + 8, static_cast<uint32_t>(info.width - 1));
    put_u16le(b + 10, static_cast<uint32_t>(info.height - 1));
    put_u16le(b + 12, static_cast<uint32_t>(info.width));
    put_u16le(b + 14, static_cast<uint32_t>(info.height));
    uint8_t *palette = b + kHeaderPaletteOffset;
    if (info.kind == kImageBilevel) {
        memset(palette, 0x01, kHeaderPaletteBytes);
        memset(palette, 0x00, 3);
        memset(palette + 3, 0xFF, 3);
    } else {
        for (uint32_t i = 0; i < 16; ++i)
            memset(palette + 3 * i, static_cast<int>(17 * i), 3);
    }
    // Decision: byte 64 is reserved and written 0, as readers expect.
    b[65] = info.kind == kImageColour ? 3 : 1;
    put_u16le(b + 66, lineBytes);
    memcpy(b + 70, palette, kHeaderPaletteBytes);
    memcpy(b + 118, palette, 10);
}

// The bytes to code for one row, planes one after the other. Padding
// repeats the row's last pixel (it is never shown, and so it joins the
// run before it); bilevel padding bits are white.
void form_row(const FileInfo &info, const uint8_t *row, uint32_t lineBytes, uint8_t *out) {
    const uint32_t width = static_cast<uint32_t>(info.width);
    if (info.kind == kImageBilevel) {
        memcpy(out, row, lineBytes);
        uint32_t used = (width + 7) / 8, tail = width & 7;
        if (tail)
            out[used - 1] = static_cast<uint8_t>(out[used - 1] | (0xFFu >> tail));
        memset(out + used, 0xFF, lineBytes - used);
        return;
    }
    if (info.kind != kImageColour) {
        memcpy(out, row, width);
        if (lineBytes > width)
            out[width] = row[width - 1];
        return;
    }
    for (uint32_t plane = 0; plane < 3; ++plane) {
        // Protocol pixels are (B, G, R); the planes are red, green, blue.
        const uint8_t *in = row + 2 - plane;
        uint8_t *line = out + plane * lineBytes;
        for (uint32_t x = 0; x < width; ++x)
            line[x] = in[3 * x];
        if (lineBytes > width)
            line[width] = line[width - 1];
    }
}

// The 768-byte trailing palette: a grey ramp for grey images, the frame's
// palette for palette images. Decision: entries past the frame palette's
// size are written black (0), a colour no index of the image uses.
bool trailing_palette(const FileInfo &info, uint8_t *out) {
    out[0] = kPaletteMark;
    uint8_t *rgb = out + 1;
    memset(rgb, 0, 768);
    if (info.kind == kImageGrey) {
        for (uint32_t i = 0; i < 256; ++i)
            memset(rgb + 3 * i, static_cast<int>(i), 3);
        return true;
    }
    uint8_t record[kPaletteRecordBytes];
    if (!save_line(record, -2, false))
        return false;
    uint32_t entries = static_cast<uint32_t>(record[0]) + 1;
    for (uint32_t i = 0; i < entries; ++i) {
        const uint8_t *e = record + 1 + 4 * i; // (B, G, R, 0)
        rgb[3 * i] = e[2];
        rgb[3 * i + 1] = e[1];
        rgb[3 * i + 2] = e[0];
    }
    return true;
}

int pcx_save(const char *name, const FileInfo &info) {
    if (info.kind < kImageBilevel || info.kind > kImageColour || info.width < 1 || info.height < 1 ||
        info.width > 65535 || info.height > 65535)
        return 0;
    const uint32_t lineBytes = plane_line_bytes(info);
    // A plane line of 65536 bytes (an odd width of 65535) has no header field.
    if (lineBytes > 0xFFFF)
        return 0;
    const uint32_t planes = info.kind == kImageColour ? 3 : 1;
    const uint32_t codedRow = planes * lineBytes;
    uint8_t palette[kTrailingPaletteBytes];
    if (info.kind != kImageBilevel && info.kind != kImageColour && !trailing_palette(info, palette))
        return 0;
    HeapBlock<uint8_t> row, formed, coded;
    OutputFile file;
    if (!row.allocate(raster_line_bytes(info.kind, info.width)) || !formed.allocate(codedRow) ||
        !coded.allocate(2 * static_cast<size_t>(codedRow)) || !file.create(name))
        return 0;
    uint8_t header[kHeaderBytes];
    write_header(header, info, lineBytes);
    if (!file.write(header, sizeof header))
        return 0;
    for (int32_t y = 0; y < info.height; ++y) {
        if (!save_line(row.get(), y, false))
            return 0;
        form_row(info, row.get(), lineBytes, formed.get());
        if (!file.write(coded.get(), encode_runs(formed.get(), codedRow, coded.get())))
            return 0;
    }
    if (info.kind == kImageGrey || info.kind == kImagePalette) {
        if (!file.write(palette, sizeof palette))
            return 0;
    }
    return file.commit() ? 1 : 0;
}

} // namespace

int pcx_operation(const char *name, int32_t operation, FileInfo &info) {
    switch (operation) {
    case kOpGetInfo:
        return pcx_get_info(name, info);
    case kOpLoad:
        return pcx_load(name);
    case kOpSave:
        return pcx_save(name, info);
    default:
        return 0;
    }
}

} // namespace quill
