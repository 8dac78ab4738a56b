/*
 * frame_clone.cpp - copies of frames, whole or in part, of the same or
 * another kind and storage.
 *
 * Three paths:
 *  - the whole frame at the same kind: coded records are copied as they are,
 *    without decoding, in batches through a 1 MB buffer (at most 512 records
 *    or until it holds 983041 bytes), the palette record with them;
 *  - a part at the same kind: a one-to-one stretch;
 *  - another kind: tile by tile of the clone, the source block under it
 *    read and converted straight into the decoded tile.
 * A bilevel frame cloned to grey or colour is created with plain coding (the
 * YX state is 1 for the length of the call). On failure the new frame is
 * deleted; the source keeps its lock state.
 */
#include "../../base/holder.h"
#include "../../base/raster_line.h"
#include "frame_lock.h"
#include "frame_rect.h"
#include "library_state.h"
#include "new_frame.h"
#include "pixel_copy.h"
#include "progress.h"
#include "scaled_read.h"
#include "tile_store.h"
#include "tile_walk.h"
#include "rect_utils.h"
#include "tiles.h"

namespace quill {

namespace {
constexpr uint32_t kBatchBytes = 1u << 20;
constexpr int32_t kBatchRecords = 512;
constexpr uint32_t kBatchFull = 983041;

// Copies every record of `from` to `to`, blank ones as blank.
bool copy_records(int32_t fromStore, int32_t toStore) {
    HeapBlock<uint8_t> buffer(kBatchBytes);
    if (!buffer)
        return false;
    int32_t count = tile_store_lookup(fromStore)->recordCount;
    int32_t lengths[kBatchRecords];
    for (int32_t first = 0; first < count;) {
        uint32_t used = 0;
        int32_t n = 0;
        // A record is at most 49153 bytes: one more always fits below 1 MB
        // while the batch holds less than 983041 bytes.
        while (first + n < count && n < kBatchRecords && used < kBatchFull) {
            int32_t length = tile_store_read(fromStore, first + n, buffer.get() + used, kBatchBytes - used);
            if (length == kRecordFailed)
                return false;
            lengths[n++] = length;
            if (length > 0)
                used += static_cast<uint32_t>(length);
        }
        used = 0;
        for (int32_t i = 0; i < n; ++i) {
            int32_t length = lengths[i] < 0 ? kRecordBlank : lengths[i];
            if (!tile_store_write(toStore, first + i, buffer.get() + used, length))
                return false;
            if (length > 0)
                used += static_cast<uint32_t>(length);
        }
        first += n;
        progress_report(static_cast<intptr_t>(99 * static_cast<int64_t>(first) / count + 1));
    }
    return true;
}

// Fills every tile of the clone with the source pixels under it, read and
// converted to the clone's kind.
bool convert_blocks(int32_t source, const QI_Rect &rect, int32_t clone) {
    const QI_FrameRecord *from = frame_lookup(source), *to = frame_lookup(clone);
    int32_t fromKind = from->kind, toKind = to->kind;
    HeapBlock<uint8_t> read(tile_bytes(fromKind));
    if (!read)
        return false;
    PixelCopier copier(fromKind, toKind, -1, -1);
    QI_Rect whole{0, 0, to->width - 1, to->height - 1};
    // The clone's rect starts at (0, 0), so every part is a whole tile and
    // its rows are exactly the converted block's rows.
    return walk_tiles(clone, whole, TileAccess::Overwrite, [&](const TilePart &part) {
        QI_Rect block{rect.left + part.rect.left, rect.top + part.rect.top, rect.left + part.rect.right,
                      rect.top + part.rect.bottom};
        if (part.x != 0 || !frame_get_rect(source, block, read.get()))
            return false;
        copier.block(read.get(), raster_line_bytes(fromKind, part.width), 0, part.row, part.stride, 0, part.width,
                     part.height);
        return true;
    });
}

// Creates the clone's frame: the rect's size, the kind and storage asked
// for, the source's palette and mode.
int32_t create_clone(int32_t source, const QI_Rect &rect, int32_t kind, int32_t storage) {
    const QI_FrameRecord *f = frame_lookup(source);
    const uint8_t *palette = frame_loaded_palette(*f);
    int32_t mode = f->mode;
    int32_t savedState = g_library.yxState;
    if (f->kind == 1 && kind != 1)
        g_library.yxState = 1;
    int32_t clone = QI_FrameCreate(rect.right - rect.left + 1, rect.bottom - rect.top + 1, kind, storage, palette,
                                   mode);
    g_library.yxState = savedState;
    return clone;
}
} // namespace

} // namespace quill

using namespace quill;

extern "C" QI_API int QI_FrameClone(int frame, const QI_Rect *rect, int32_t kind, int32_t storage) {
    QI_FrameRecord *f = frame_lookup(frame);
    if (!f)
        return -1;
    QI_Rect whole{0, 0, f->width - 1, f->height - 1}, part = whole;
    if (rect && !rect_intersect(whole, *rect, &part))
        return -1;
    progress_begin(kMsgCloning);
    int32_t newKind = kind == 0 ? f->kind : kind;
    int32_t newStorage = storage == 0 ? f->storage : storage;
    ScopedFrameLock sourceLock(frame);
    if (!sourceLock.ok())
        return -1;
    NewFrame clone(create_clone(frame, part, newKind, newStorage));
    if (clone.handle() < 0)
        return -1;
    f = frame_lookup(frame);
    const QI_FrameRecord *c = frame_lookup(clone.handle());
    bool sameKind = newKind == f->kind;
    bool wholeFrame = part.left == 0 && part.top == 0 && part.right == whole.right && part.bottom == whole.bottom;
    bool sameCoding = c->mode == f->mode &&
                      tile_store_lookup(c->tileStore)->recordCount == tile_store_lookup(f->tileStore)->recordCount;
    bool ok = clone.ok();
    if (ok && sameKind && wholeFrame && sameCoding)
        ok = copy_records(f->tileStore, c->tileStore);
    else if (ok && sameKind)
        ok = frame_stretch(FrameStretch{clone.handle(), 0, 0, part.right - part.left + 1, part.bottom - part.top + 1,
                                        frame, part.left, part.top, part.right - part.left + 1,
                                        part.bottom - part.top + 1, -1, -1, true});
    else if (ok)
        ok = convert_blocks(frame, part, clone.handle());
    progress_report(100);
    return ok ? clone.release() : -1;
}
