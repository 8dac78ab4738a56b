/*
 * raw_rows.cpp - raw bilevel rows ("_PA") described by a companion header
 * (the same name ending in ".bvl"): three little-endian doubles, the
 * height, the width and the bytes of each stored row. The rows are the
 * frame's own bilevel rows (bit 7 of byte 0 is pixel 0, 1 is white).
 *
 * Row y starts at y * bytes-per-row in the file and is read with one
 * positioned read. A row that the file does not hold whole (a short file)
 * loads white, and loading goes on; a read that the system fails stops
 * the load.
 *
 * Decisions:
 *  - Stored rows wider than the frame's line (bytes per row above
 *    QI_GetLineBWi(1, width)) are read whole and cut to the line; narrower
 *    ones are padded white. Each row is still taken from its own offset, so
 *    the rows below stay in place either way. Rejected: reading the stored
 *    row into the line buffer as it is, which writes past the line and
 *    into the rows after it (or past the buffer at the last row of a
 *    block).
 *  - The header's doubles are truncated to integers only when they are
 *    finite and in range: width and height 1 to 65536, bytes per row 1 to
 *    2^31 - 1. NaN, infinities, negative or larger values reject the file
 *    (converting them to an integer would be undefined). Fractions are
 *    truncated as the format always did.
 */
#include "file_formats.h"
#include "../../base/raster_line.h"
#include "file_io.h"
#include "line_transfer.h"

#include "quillimg.h"

#include <string.h>

namespace quill {

namespace {

constexpr size_t kHeaderBytes = 24;
constexpr size_t kNameBytes = 260; // 255 characters, the dot and "bvl"
constexpr double kLargestRowBytes = 2147483647.0;

struct RawHeader {
    int32_t height;
    int32_t width;
    int64_t rowBytes;
};

double get_f64le(const uint8_t *p) {
    uint64_t bits = static_cast<uint64_t>(get_u32le(p)) | static_cast<uint64_t>(get_u32le(p + 4)) << 32;
    double value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

// Truncates `value` into `out` when it is a number from 1 to `largest`.
bool whole_in_range(double value, double largest, int64_t &out) {
    if (!(value >= 1.0 && value <= largest)) // false for NaN too
        return false;
    out = static_cast<int64_t>(value);
    return true;
}

// The header's name: the name up to and including its last dot, then "bvl".
bool header_name(const char *name, char *out) {
    const char *dot = strrchr(name, '.');
    if (!dot)
        return false;
    size_t keep = static_cast<size_t>(dot - name) + 1;
    if (keep + 4 > kNameBytes)
        return false;
    memcpy(out, name, keep);
    memcpy(out + keep, "bvl", 4);
    return true;
}

bool read_header(const char *name, RawHeader &header) {
    char path[kNameBytes];
    InputFile file;
    uint8_t b[kHeaderBytes];
    if (!name || !header_name(name, path) || !file.open(path) || !file.read(0, b, sizeof b))
        return false;
    int64_t height, width;
    if (!whole_in_range(get_f64le(b), kMaxFileSide, height) || !whole_in_range(get_f64le(b + 8), kMaxFileSide, width) ||
        !whole_in_range(get_f64le(b + 16), kLargestRowBytes, header.rowBytes))
        return false;
    header.height = static_cast<int32_t>(height);
    header.width = static_cast<int32_t>(width);
    return true;
}

// Reads row `y` into `line` (`lineBytes` long): the stored row's first
// bytes, white where the stored row is shorter, all white when the file
// does not hold the whole row. False only when the system fails a read of
// bytes the file holds: that is no short file, and loading it as white
// would hide the failure.
bool read_row(InputFile &file, const RawHeader &header, int32_t y, uint8_t *line, uint32_t lineBytes) {
    uint64_t stored = static_cast<uint64_t>(header.rowBytes);
    uint64_t at = static_cast<uint64_t>(y) * stored;
    size_t take = stored < lineBytes ? static_cast<size_t>(stored) : lineBytes;
    if (!file.holds(at, stored))
        take = 0;
    else if (!file.read(at, line, take))
        return false;
    memset(line + take, 0xFF, lineBytes - take);
    return true;
}

int load_rows(const char *name, const RawHeader &header) {
    InputFile file;
    if (!file.open(name))
        return 0;
    uint32_t lineBytes = raster_line_bytes(kImageBilevel, header.width);
    uint8_t *line = load_line(static_cast<int32_t>(lineBytes), -1);
    for (int32_t y = 0; y < header.height && line; ++y) {
        if (!read_row(file, header, y, line, lineBytes))
            return 0;
        line = load_line(static_cast<int32_t>(lineBytes), y);
    }
    return line ? 1 : 0;
}

} // namespace

int raw_rows_operation(const char *name, int32_t operation, FileInfo &info) {
    RawHeader header{};
    if ((operation != kOpGetInfo && operation != kOpLoad) || !read_header(name, header))
        return 0;
    if (operation == kOpGetInfo) {
        info.width = header.width;
        info.height = header.height;
        info.kind = kImageBilevel;
        return 1;
    }
    // The load was set up from this header's info; a header changed since
    // would not match the transfer.
    if (header.width != info.width || header.height != info.height)
        return 0;
    return load_rows(name, header);
}

} // namespace quill
