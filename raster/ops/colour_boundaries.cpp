/*
 * colour_boundaries.cpp - QI_FrameColorBoundaries: a bilevel map of where
 * the colour of a frame changes.
 *
 * Rule: result pixel (x, y) is white when source pixel (x, y) equals the
 * pixel above it, A = (x, y - 1), and A equals the pixel to A's right,
 * A' = (x + 1, y - 1); else it is black. Colours compare exactly (all three
 * bytes of a colour pixel). The row above the first row is a row of zero
 * bytes, so the first row is black except where it is zero; the last pixel
 * of a row has no A' and compares with A only.
 *
 * The source is read in bands of 128 rows from the top, which are the
 * result's tile rows, so each result tile is coded once. The rows of a band
 * are compared from the bottom row up, each with the row above it in the
 * band, the first with the last row of the band before (kept aside before
 * the next band is read). The marks go straight into a bilevel band: a
 * source band is never overwritten, so the order is free, and bottom-up
 * keeps the walk the same as an in-place one would need. Bilevel rows are
 * compared eight pixels a byte: with A the byte above and A' that byte
 * shifted left by one pixel (the next byte's first pixel entering at the
 * right), the white bits are ~((row ^ A) | (A ^ A')).
 *
 * Decisions:
 *  - The last pixel of a bilevel row compares with A only, as in the other
 *    kinds. Compared with its A' it would meet the row's first pad bit,
 *    whose value is not defined (a rectangle read leaves pad bits as the
 *    buffer had them), so the right-hand column would depend on leftover
 *    memory: a white page would get a black or white last column by chance.
 *  - Marks are computed as bits directly, not as 0x00 / 0xFF bytes per
 *    pixel converted to bilevel afterwards: the same result without a
 *    second pass over each band.
 *  - A refusal of the first reports (0 and the message) stops before any
 *    frame is locked or created: -1 and no 100.
 */
#include "../../base/holder.h"
#include "../../base/raster_line.h"
#include "../core/frame_lock.h"
#include "../core/frame_rect.h"
#include "../core/progress.h"
#include "../core/tiles.h"
#include "../core/new_frame.h"

#include <string.h>

namespace quill {

namespace {

bool handled_kind(int32_t kind) { return kind == 1 || kind == 2 || kind == 4; }

int32_t min32(int32_t a, int32_t b) { return a < b ? a : b; }

// Sets the bit of pixel x in a bilevel row whose bits start cleared.
inline void mark_white(uint8_t *marks, int32_t x) { marks[x >> 3] = static_cast<uint8_t>(marks[x >> 3] | 0x80u >> (x & 7)); }

void boundaries_bilevel(const uint8_t *row, const uint8_t *above, int32_t width, uint8_t *marks) {
    uint32_t bytes = (static_cast<uint32_t>(width) + 7) / 8;
    for (uint32_t i = 0; i < bytes; ++i) {
        uint32_t a = above[i], next = i + 1 < bytes ? above[i + 1] : 0;
        uint32_t right = (a << 1 | next >> 7) & 0xFFu;
        marks[i] = static_cast<uint8_t>(~((row[i] ^ a) | (a ^ right)));
    }
    uint32_t last = static_cast<uint32_t>(width - 1) >> 3;
    uint32_t bit = 0x80u >> ((width - 1) & 7);
    uint32_t sameAsAbove = ~(row[last] ^ above[last]) & bit;
    marks[last] = static_cast<uint8_t>((marks[last] & ~bit) | sameAsAbove);
}

// Grey (Bytes = 1) and colour (Bytes = 3) rows; `marks` starts cleared.
template <int Bytes>
void boundaries_bytes(const uint8_t *row, const uint8_t *above, int32_t width, uint8_t *marks) {
    for (int32_t x = 0; x + 1 < width; ++x) {
        const uint8_t *p = row + Bytes * x, *a = above + Bytes * x;
        if (memcmp(p, a, Bytes) == 0 && memcmp(a, a + Bytes, Bytes) == 0)
            mark_white(marks, x);
    }
    int32_t x = width - 1;
    if (memcmp(row + Bytes * x, above + Bytes * x, Bytes) == 0)
        mark_white(marks, x);
}

// Marks one row against the row above it.
void boundary_row(int32_t kind, const uint8_t *row, const uint8_t *above, int32_t width, uint8_t *marks,
                  uint32_t markBytes) {
    if (kind == 1) {
        boundaries_bilevel(row, above, width, marks);
        return;
    }
    memset(marks, 0, markBytes);
    if (kind == 2)
        boundaries_bytes<1>(row, above, width, marks);
    else
        boundaries_bytes<3>(row, above, width, marks);
}

// Fills the locked result from the locked source; false when a read, a
// write or a report fails or memory runs out.
bool mark_boundaries(int32_t source, int32_t result, int32_t width, int32_t height, int32_t kind) {
    uint32_t line = raster_line_bytes(kind, width), markLine = raster_line_bytes(1, width);
    int32_t bandRows = min32(kTileSide, height);
    HeapBlock<uint8_t> band(static_cast<size_t>(bandRows) * line);
    HeapBlock<uint8_t> marks(static_cast<size_t>(bandRows) * markLine);
    HeapBlock<uint8_t> above(line);
    if (!band || !marks || !above)
        return false;
    // Pad bytes and bits are never compared, but start them defined.
    memset(band.get(), 0, static_cast<size_t>(bandRows) * line);
    memset(above.get(), 0, line); // the row above the first row
    for (int32_t top = 0; top < height; top += kTileSide) {
        if (!progress_remaining(height - top, height))
            return false;
        int32_t rows = min32(kTileSide, height - top);
        QI_Rect rect{0, top, width - 1, top + rows - 1};
        if (!frame_get_rect(source, rect, band.get()))
            return false;
        for (int32_t r = rows - 1; r >= 0; --r) {
            const uint8_t *row = band.get() + static_cast<size_t>(r) * line;
            const uint8_t *rowAbove = r > 0 ? row - line : above.get();
            boundary_row(kind, row, rowAbove, width, marks.get() + static_cast<size_t>(r) * markLine, markLine);
        }
        memcpy(above.get(), band.get() + static_cast<size_t>(rows - 1) * line, line);
        if (!frame_set_rect(result, rect, marks.get(), 1, -1, -1))
            return false;
    }
    return true;
}

// The new frame's handle or -1; `locked` tells whether both frames were
// locked (the operation then reports 100 whatever happens).
int32_t colour_boundaries(int32_t frame, bool &locked) {
    const QI_FrameRecord *f = frame_lookup(frame);
    if (!f || !handled_kind(f->kind))
        return -1;
    ScopedFrameLock sourceLock(frame);
    if (!sourceLock.ok())
        return -1;
    f = frame_lookup(frame);
    int32_t width = f->width, height = f->height, kind = f->kind;
    NewFrame result(QI_FrameCreate(width, height, 1, f->storage, nullptr, 1));
    if (!result.ok())
        return -1;
    locked = true;
    if (!mark_boundaries(frame, result.handle(), width, height, kind))
        return -1;
    return result.release();
}

} // namespace

} // namespace quill

using namespace quill;

extern "C" QI_API int QI_FrameColorBoundaries(int frame) {
    if (!progress_begin(kMsgColorBounds))
        return -1;
    bool locked = false;
    int32_t result = colour_boundaries(frame, locked);
    if (locked)
        progress_report(100);
    return result;
}
