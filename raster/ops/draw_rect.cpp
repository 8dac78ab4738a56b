/*
 * draw_rect.cpp - QI_FrameDrawRect: a rect of a frame, or everything of the
 * frame outside it, combined with a colour.
 *
 * Modes: 1 replaces each pixel byte by the colour's, 2 exclusive-ors,
 * 3 inclusive-ors, 4 ands. Bilevel frames take the colour as one byte, 0xFF
 * when its low byte is 128 or more, else 0x00, and combine whole bytes of
 * their rows (masked at the part's edges, so that no pixel outside the rect
 * changes); grey frames the low byte; colour frames the three low bytes.
 * Outside the rect, the frame minus the rect is cut into up to four bands
 * (QI_RectAsubB) done in turn.
 *
 * Each piece goes through the tile walk and its kernel changes the decoded
 * tile in place: mode 1 never decodes a tile that the piece covers, the
 * other modes decode, combine and code back.
 *
 * Decisions:
 *  - A mode other than 1 to 4 changes no pixel; the call still locks the
 *    frame (a frame that cannot be locked fails) but walks no tile, since
 *    decoding and re-coding unchanged tiles would only cost time.
 */
#include "draw.h"

#include "../core/frame_lock.h"
#include "../core/tile_walk.h"
#include "../core/rect_utils.h"
#include "../core/tiles.h"

#include <string.h>

namespace quill {

namespace {

enum Mode : int32_t { kReplace = 1, kXor = 2, kOr = 3, kAnd = 4 };

inline uint8_t combine(uint8_t pixel, uint8_t colour, int32_t mode) {
    switch (mode) {
    case kReplace: return colour;
    case kXor: return static_cast<uint8_t>(pixel ^ colour);
    case kOr: return static_cast<uint8_t>(pixel | colour);
    default: return static_cast<uint8_t>(pixel & colour);
    }
}

// Combines the bits `mask` of one byte.
inline uint8_t combine_masked(uint8_t pixel, uint8_t colour, uint8_t mask, int32_t mode) {
    return static_cast<uint8_t>((pixel & ~mask) | (combine(pixel, colour, mode) & mask));
}

void combine_bilevel_row(uint8_t *row, int32_t x, int32_t width, uint8_t colour, int32_t mode) {
    int32_t first = x >> 3, last = (x + width - 1) >> 3;
    uint8_t head = static_cast<uint8_t>(0xFFu >> (x & 7));
    uint8_t tail = static_cast<uint8_t>(0xFFu << (7 - ((x + width - 1) & 7)));
    if (first == last) {
        row[first] = combine_masked(row[first], colour, head & tail, mode);
        return;
    }
    row[first] = combine_masked(row[first], colour, head, mode);
    if (mode == kReplace)
        memset(row + first + 1, colour, static_cast<size_t>(last - first - 1));
    else
        for (int32_t i = first + 1; i < last; ++i)
            row[i] = combine(row[i], colour, mode);
    row[last] = combine_masked(row[last], colour, tail, mode);
}

void combine_grey_row(uint8_t *row, int32_t width, uint8_t colour, int32_t mode) {
    if (mode == kReplace) {
        memset(row, colour, static_cast<size_t>(width));
        return;
    }
    for (int32_t i = 0; i < width; ++i)
        row[i] = combine(row[i], colour, mode);
}

void combine_colour_row(uint8_t *row, int32_t width, const uint8_t colour[3], int32_t mode) {
    for (int32_t i = 0; i < width; ++i, row += 3)
        for (int c = 0; c < 3; ++c)
            row[c] = combine(row[c], colour[c], mode);
}

// The kernel: combines every pixel of a tile's part with the colour.
void combine_part(const TilePart &part, uint32_t colour, int32_t mode) {
    uint8_t bytes[3] = {static_cast<uint8_t>(colour), static_cast<uint8_t>(colour >> 8),
                        static_cast<uint8_t>(colour >> 16)};
    uint8_t bilevel = bytes[0] >= 128 ? 0xFF : 0x00;
    for (int32_t y = 0; y < part.height; ++y) {
        uint8_t *row = part.row_at(y);
        if (part.kind == 1)
            combine_bilevel_row(row, part.x, part.width, bilevel, mode);
        else if (part.kind == 2)
            combine_grey_row(row + part.x, part.width, bytes[0], mode);
        else
            combine_colour_row(row + static_cast<size_t>(part.x) * 3, part.width, bytes, mode);
    }
}

bool draw_piece(int32_t frame, const QI_Rect &piece, uint32_t colour, int32_t mode) {
    TileAccess access = mode == kReplace ? TileAccess::Overwrite : TileAccess::Modify;
    return walk_tiles(frame, piece, access, [&](const TilePart &part) {
        combine_part(part, colour, mode);
        return true;
    });
}

} // namespace

bool frame_draw_rect(int32_t frame, const QI_Rect *rect, uint32_t colour, int32_t mode, bool outside) {
    const QI_FrameRecord *f = frame_lookup(frame);
    if (!f)
        return false;
    QI_Rect whole{0, 0, f->width - 1, f->height - 1};
    ScopedFrameLock lock(frame);
    if (!lock.ok())
        return false;
    if (mode < kReplace || mode > kAnd)
        return true;
    QI_Rect pieces[4];
    int32_t count = 0;
    if (!rect) {
        if (outside)
            return true;
        pieces[count++] = whole;
    } else if (!outside) {
        if (rect_intersect(*rect, whole, &pieces[0]))
            count = 1;
    } else {
        count = rect_subtract(whole, *rect, pieces);
    }
    for (int32_t i = 0; i < count; ++i)
        if (!draw_piece(frame, pieces[i], colour, mode))
            return false;
    return true;
}

} // namespace quill

using namespace quill;

extern "C" QI_API int QI_FrameDrawRect(int frame, const QI_Rect *rect, uint32_t colour, int mode, int outside) {
    return frame_draw_rect(frame, rect, colour, mode, outside != 0) ? 1 : 0;
}
