/*
 * colour_frames.cpp - colour marking of rasters and colour edits of frames:
 * QI_DmriMarkColors, QI_FrameChangeIntensity and QI_FrameReplaceColors.
 *
 * QI_DmriMarkColors sets, in a bilevel mask of the raster's size, the bit
 * of every pixel whose colour is in a list: bilevel pixels by their class
 * (a colour whose first byte is 128 or more is white, below is black), grey
 * pixels by the low byte of a colour, colour pixels by all three bytes.
 *
 * The frame edits go through the tile walk: the part of each tile inside
 * the rect is changed in the decoded tile by a kernel that sees only
 * (data, stride, width, height), and the tile is coded back. No working
 * memory beyond the frame's own work buffer, whatever the frame's size, and
 * each tile is decoded and coded once.
 *
 * Decisions:
 *  - Both frame edits keep the frame's lock state as they found it: a
 *    frame the caller had locked stays locked, one it had not is unlocked
 *    again. Unlocking a caller's lock would leave it unable to read the
 *    pixels it was about to look at.
 *  - Tile by tile, not one raster of the whole rect: a page of
 *    13244 x 9356 colour pixels would need 372 MB at once and its size
 *    does not fit every 32-bit count on the way.
 *  - Intensity scaling scales every byte of the pixels, the chrominance
 *    bytes too, as min(255, byte * factor >> 8): that is what callers and
 *    stored results of this operation expect, although it shifts the hue
 *    of colour pixels (a neutral (100, 127, 127) times 2 becomes
 *    (200, 254, 254)).
 *  - A negative intensity factor has no meaning (its products would wrap
 *    into arbitrary bytes): the call returns 0 and changes nothing.
 *  - -1 (no colour) in a list of colours to mark marks nothing: its low
 *    byte would otherwise mark white grey pixels and, for a bilevel
 *    raster, white. As a source colour of QI_FrameReplaceColors it never
 *    matches a pixel (pixels are 24-bit); as a replacement it leaves the
 *    matched pixel as it is rather than writing (255, 255, 255).
 *  - Bilevel marking follows the colours given, not their count: a list
 *    that names only white (twice, say) marks white pixels only. Pad bits
 *    of the mask stay 0, so "some pixel was marked" is exactly "some byte
 *    of the mask is not 0"; an inverted line would otherwise carry set pad
 *    bits and report a mark where none was made.
 */
#include "../../base/holder.h"
#include "../../base/raster_line.h"
#include "../core/frame_lock.h"
#include "../core/frame_rect.h"
#include "../core/tile_walk.h"
#include "../core/tiles.h"

#include <limits.h>
#include <string.h>

namespace quill {

namespace {

constexpr int32_t kNoColour = -1;

int32_t min32(int32_t a, int32_t b) { return a < b ? a : b; }

inline uint32_t pixel24(const uint8_t *p) {
    return p[0] | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16;
}

// ---- Marking kernels: `mask` lines start cleared ------------------------

// Clears the bits after the first `width` pixels of a bilevel line.
void clear_pad_bits(uint8_t *line, int32_t width, uint32_t lineBytes) {
    uint32_t full = static_cast<uint32_t>(width) >> 3;
    if (width & 7)
        line[full] = static_cast<uint8_t>(line[full] & (0xFF00u >> (width & 7)));
    for (uint32_t i = (static_cast<uint32_t>(width) + 7) >> 3; i < lineBytes; ++i)
        line[i] = 0;
}

void mark_bilevel(const uint8_t *source, int32_t width, int32_t height, uint8_t *mask, bool white, bool black) {
    uint32_t line = raster_line_bytes(1, width);
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t *s = source + static_cast<size_t>(y) * line;
        uint8_t *m = mask + static_cast<size_t>(y) * line;
        for (uint32_t i = 0; i < line; ++i)
            m[i] = white && black ? 0xFF : white ? s[i] : static_cast<uint8_t>(~s[i]);
        clear_pad_bits(m, width, line);
    }
}

void mark_grey(const uint8_t *source, int32_t width, int32_t height, uint8_t *mask, const bool *wanted) {
    uint32_t line = raster_line_bytes(2, width), maskLine = raster_line_bytes(1, width);
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t *s = source + static_cast<size_t>(y) * line;
        uint8_t *m = mask + static_cast<size_t>(y) * maskLine;
        for (int32_t x = 0; x < width; ++x)
            if (wanted[s[x]])
                m[x >> 3] = static_cast<uint8_t>(m[x >> 3] | 0x80u >> (x & 7));
    }
}

void mark_colour(const uint8_t *source, int32_t width, int32_t height, uint8_t *mask, const int32_t *colours,
                 int32_t count) {
    uint32_t line = raster_line_bytes(4, width), maskLine = raster_line_bytes(1, width);
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t *s = source + static_cast<size_t>(y) * line;
        uint8_t *m = mask + static_cast<size_t>(y) * maskLine;
        for (int32_t x = 0; x < width; ++x) {
            uint32_t v = pixel24(s + 3 * x);
            for (int32_t i = 0; i < count; ++i)
                if (static_cast<uint32_t>(colours[i]) == v) {
                    m[x >> 3] = static_cast<uint8_t>(m[x >> 3] | 0x80u >> (x & 7));
                    break;
                }
        }
    }
}

int mark_colours(const uint8_t *source, int32_t width, int32_t height, int32_t kind, uint8_t *mask,
                 const int32_t *colours, int32_t count) {
    if (kind != 1 && kind != 2 && kind != 4)
        return 0;
    if (!source || !mask || width < 1 || height < 1 || width > INT32_MAX / 3 || count < 0 ||
        (count > 0 && !colours))
        return 0;
    size_t maskBytes = static_cast<size_t>(raster_line_bytes(1, width)) * static_cast<size_t>(height);
    memset(mask, 0, maskBytes);
    if (kind == 1) {
        bool white = false, black = false;
        for (int32_t i = 0; i < count; ++i)
            if (colours[i] != kNoColour)
                (static_cast<uint8_t>(colours[i]) >= 128 ? white : black) = true;
        if (white || black)
            mark_bilevel(source, width, height, mask, white, black);
    } else if (kind == 2) {
        bool wanted[256] = {};
        for (int32_t i = 0; i < count; ++i)
            if (colours[i] != kNoColour)
                wanted[static_cast<uint8_t>(colours[i])] = true;
        mark_grey(source, width, height, mask, wanted);
    } else {
        mark_colour(source, width, height, mask, colours, count);
    }
    for (size_t i = 0; i < maskBytes; ++i)
        if (mask[i])
            return 1;
    return 0;
}

// ---- Frame edit kernels ---------------------------------------------------

struct IntensityTables {
    uint8_t level[256]; // every byte of grey and colour pixels
};

void build_intensity_tables(int32_t factor, IntensityTables &t) {
    for (int32_t b = 0; b < 256; ++b)
        t.level[b] = static_cast<uint8_t>(min32(255, (b * factor) >> 8));
}

void intensity_grey(uint8_t *data, uint32_t stride, int32_t width, int32_t height, const IntensityTables &t) {
    for (int32_t y = 0; y < height; ++y) {
        uint8_t *p = data + static_cast<size_t>(y) * stride;
        for (int32_t x = 0; x < width; ++x)
            p[x] = t.level[p[x]];
    }
}

void intensity_colour(uint8_t *data, uint32_t stride, int32_t width, int32_t height, const IntensityTables &t) {
    for (int32_t y = 0; y < height; ++y) {
        uint8_t *p = data + static_cast<size_t>(y) * stride;
        for (int32_t x = 0; x < width; ++x, p += 3) {
            p[0] = t.level[p[0]];
            p[1] = t.level[p[1]];
            p[2] = t.level[p[2]];
        }
    }
}

// `table` holds `count` source colours followed by `count` replacements.
void replace_colour(uint8_t *data, uint32_t stride, int32_t width, int32_t height, const int32_t *table,
                    int32_t count) {
    for (int32_t y = 0; y < height; ++y) {
        uint8_t *p = data + static_cast<size_t>(y) * stride;
        for (int32_t x = 0; x < width; ++x, p += 3) {
            uint32_t v = pixel24(p);
            for (int32_t i = 0; i < count; ++i) {
                if (static_cast<uint32_t>(table[i]) != v)
                    continue;
                int32_t r = table[count + i];
                if (r != kNoColour) {
                    p[0] = static_cast<uint8_t>(r);
                    p[1] = static_cast<uint8_t>(r >> 8);
                    p[2] = static_cast<uint8_t>(r >> 16);
                }
                break;
            }
        }
    }
}

// ---- The tile walk ----------------------------------------------------------

// Hands each tile's part of `rect` (inside the locked frame) to
// edit(data, stride, width, height) in place and codes the tile back; false
// at the first decode or code that fails.
template <typename Edit>
bool edit_by_tiles(int32_t frame, const QI_Rect &rect, int32_t kind, Edit edit) {
    int32_t pixelBytes = kind == 4 ? 3 : 1;
    return walk_tiles(frame, rect, TileAccess::Modify, [&](const TilePart &part) {
        edit(part.row + static_cast<size_t>(part.x) * pixelBytes, part.stride, part.width, part.height);
        return true;
    });
}

int change_intensity(int32_t frame, const QI_Rect *rect, int32_t factor) {
    const QI_FrameRecord *f = frame_lookup(frame);
    if (!f)
        return 0;
    if (f->kind == 1)
        return 1; // bilevel pixels have no intensity to scale
    QI_Rect area;
    if ((f->kind != 2 && f->kind != 4) || factor < 0 || !frame_whole_rect(*f, rect, area))
        return 0;
    int32_t kind = f->kind;
    ScopedFrameLock lock(frame);
    if (!lock.ok())
        return 0;
    IntensityTables tables;
    build_intensity_tables(factor, tables);
    return edit_by_tiles(frame, area, kind, [&](uint8_t *data, uint32_t stride, int32_t width, int32_t height) {
        if (kind == 2)
            intensity_grey(data, stride, width, height, tables);
        else
            intensity_colour(data, stride, width, height, tables);
    });
}

int replace_colours(int32_t frame, const QI_Rect *rect, const int32_t *table, int32_t count) {
    if (count == 0)
        return 1;
    if (count < 0 || !table)
        return 0;
    const QI_FrameRecord *f = frame_lookup(frame);
    QI_Rect area;
    if (!f || f->kind != 4 || !frame_whole_rect(*f, rect, area))
        return 0;
    ScopedFrameLock lock(frame);
    if (!lock.ok())
        return 0;
    return edit_by_tiles(frame, area, 4, [&](uint8_t *data, uint32_t stride, int32_t width, int32_t height) {
        replace_colour(data, stride, width, height, table, count);
    });
}

} // namespace

} // namespace quill

using namespace quill;

extern "C" QI_API int QI_DmriMarkColors(const uint8_t *source, int32_t width, int32_t height, int32_t kind,
                                        uint8_t *mask, const int32_t *colours, int32_t count) {
    return mark_colours(source, width, height, kind, mask, colours, count);
}

extern "C" QI_API int QI_FrameChangeIntensity(int frame, const QI_Rect *rect, int16_t factor) {
    return change_intensity(frame, rect, factor);
}

extern "C" QI_API int QI_FrameReplaceColors(int frame, const QI_Rect *rect, const int32_t *table, int32_t count) {
    return replace_colours(frame, rect, table, count);
}
