/*
 * frame.cpp - create, lock, unlock, measure and delete frames.
 *
 * Decisions beyond the frame record's contract:
 *  - Widths and heights below 1, kinds other than 1, 2 and 4, storage code 0
 *    (it would mark the tile store's slot free) and negative modes are
 *    rejected: each would corrupt the tables or the tile geometry.
 *  - A frame with more tiles than its record headers can address (the tile
 *    index shifted by the length bits must leave bit 31 clear, which tells a
 *    record from a gap) is rejected instead of storing unreadable records:
 *    about 92000 x 92000 bilevel, 32768 x 32768 grey, 23000 x 23000 colour.
 *  - Deleting a frame that another frame lists as its next view unlinks it
 *    there first, so a stale view handle can never delete a frame created
 *    later in the same slot.
 *  - A palette record read at lock must be as long as its own count says.
 */
#include "../../base/holder.h"
#include "byte_store.h"
#include "library_state.h"
#include "tile_store.h"
#include "tiles.h"

#include <string.h>

namespace quill {

namespace {
constexpr uint32_t kPaletteBlockBytes = 1025;
constexpr int32_t kHighestMode = 4;

uint32_t palette_record_bytes(const uint8_t *palette) { return 4u * palette[0] + 5u; }

int32_t frame_mode(int32_t kind, int32_t mode) {
    if (kind == 1)
        return 0;
    return g_library.yxTablesPresent && mode != 0 ? mode : g_library.yxState;
}

bool valid_arguments(int32_t width, int32_t height, int32_t kind, int32_t storage, int32_t mode) {
    // Modes above 4 name no coding level: they are refused rather than
    // producing frames whose tiles could not be stored.
    if (width < 1 || height < 1 || storage == 0 || mode < 0 || mode > kHighestMode)
        return false;
    if (kind != 1 && kind != 2 && kind != 4)
        return false;
    // Lossy modes need the tables of the data files.
    return kind == 1 || g_library.yxTablesPresent || mode == 0 || mode == 1;
}

// Stores the palette as the record after the last tile.
bool write_palette_record(int32_t store, int32_t index, const uint8_t *palette) {
    if (!tile_store_open(store))
        return false;
    bool ok = tile_store_write(store, index, palette, static_cast<int32_t>(palette_record_bytes(palette)));
    tile_store_close(store);
    return ok;
}

void discard_tile_store(int32_t store) {
    tile_store_close(store);
    tile_store_delete(store);
}

// Reads the palette record into a new 1025-byte block; null on failure.
uint8_t *load_palette(const QI_FrameRecord &f) {
    HeapBlock<uint8_t> block(kPaletteBlockBytes);
    if (!block)
        return nullptr;
    int32_t index = static_cast<int32_t>(tile_count(f));
    int32_t length = tile_store_read(f.tileStore, index, block.get(), kPaletteBlockBytes);
    if (length < 5 || static_cast<uint32_t>(length) != palette_record_bytes(block.get()))
        return nullptr;
    return block.release();
}

// Drops the next-view link that any frame holds to `frame`.
void unlink_as_view(int32_t frame) {
    int32_t highest = slot_table_highest(g_library.frames);
    for (int32_t i = 0; i <= highest; ++i) {
        QI_FrameRecord *f = frame_lookup(i);
        if (f && f->nextView == frame) {
            f->nextView = -1;
            f->nextViewFactor = 1;
        }
    }
}
} // namespace

// Unlocks and deletes every frame; used when the library stops.
void frames_delete_all() {
    for (int32_t i = slot_table_highest(g_library.frames); i >= 0; --i) {
        if (!frame_lookup(i))
            continue;
        QI_FrameUnlock(i);
        QI_FrameDelete(i);
    }
}

} // namespace quill

using namespace quill;

extern "C" QI_API int QI_FrameCreate(int32_t width, int32_t height, int32_t kind, int32_t storage,
                                     const uint8_t *palette, int32_t mode) {
    if (!library_started() || !valid_arguments(width, height, kind, storage, mode))
        return -1;
    QI_FrameRecord record{};
    record.width = width;
    record.height = height;
    record.kind = kind;
    record.storage = storage;
    record.mode = frame_mode(kind, mode);
    const uint8_t *taken = record.mode == 1 && kind == 4 ? palette : nullptr;
    int64_t tiles = tile_count(record);
    int64_t records = tiles + (taken ? 1 : 0);
    uint32_t largest = largest_record(kind);
    if (taken && palette_record_bytes(taken) > largest)
        largest = palette_record_bytes(taken);
    if (records > INT32_MAX)
        return -1;
    int32_t store = tile_store_create(storage, static_cast<int32_t>(records), largest);
    if (store < 0)
        return -1;
    if (taken) {
        record.palette = 1;
        if (!write_palette_record(store, static_cast<int32_t>(tiles), taken)) {
            discard_tile_store(store);
            return -1;
        }
    }
    record.tileStore = store;
    record.nextView = -1;
    record.nextViewFactor = 1;
    int32_t handle = slot_table_acquire(g_library.frames);
    if (handle < 0) {
        discard_tile_store(store);
        return -1;
    }
    slot_table_store(g_library.frames, handle, &record);
    return handle;
}

extern "C" QI_API int QI_FrameDelete(int frame) {
    if (!library_started())
        return 0;
    if (frame_lookup(frame) && !frame_lookup(frame)->locked)
        unlink_as_view(frame);
    int32_t current = frame;
    while (true) {
        QI_FrameRecord *f = frame_lookup(current);
        if (!f || f->locked)
            return 0;
        int32_t next = f->nextView;
        tile_store_delete(f->tileStore);
        slot_table_release(g_library.frames, current);
        if (next == -1)
            return 1;
        current = next;
    }
}

extern "C" QI_API int QI_FrameLock(int frame) {
    QI_FrameRecord *f = frame_lookup(frame);
    if (!f)
        return 0;
    if (f->locked)
        return 1;
    if (!tile_store_open(f->tileStore))
        return 0;
    HeapBlock<uint8_t> work(work_buffer_bytes(f->kind));
    if (!work) {
        tile_store_close(f->tileStore);
        return 0;
    }
    if (f->palette != 0) {
        uint8_t *palette = load_palette(*f);
        if (!palette) {
            f->palette = 1;
            tile_store_close(f->tileStore);
            return 0;
        }
        f->palette = reinterpret_cast<intptr_t>(palette);
    }
    f->workBuffer = work.release();
    f->locked = 1;
    return 1;
}

extern "C" QI_API int QI_FrameUnlock(int frame) {
    QI_FrameRecord *f = frame_lookup(frame);
    if (!f)
        return 0;
    if (!f->locked)
        return 1;
    tile_store_close(f->tileStore);
    heap_release(f->workBuffer);
    if (f->palette != 0 && f->palette != 1) {
        uint8_t *palette = reinterpret_cast<uint8_t *>(f->palette);
        heap_release(palette);
        f->palette = 1;
    }
    f->locked = 0;
    return 1;
}

extern "C" QI_API int64_t QI_FrameResourceSize(int frame) {
    if (frame == -1)
        return 0;
    int64_t total = 0;
    // A view chain is at most a few frames long; the bound only guards
    // against a damaged chain.
    int32_t current = frame;
    for (int32_t steps = 0; current != -1; ++steps) {
        QI_FrameRecord *f = frame_lookup(current);
        TileStore *ts = f ? tile_store_lookup(f->tileStore) : nullptr;
        if (!ts || steps > g_library.frames->capacity)
            return -1;
        total += byte_store_size(ts->bytes);
        current = f->nextView;
    }
    return total;
}

extern "C" QI_API int QI_FramePalletteValid(int frame) {
    QI_FrameRecord *f = frame_lookup(frame);
    if (!f || f->palette == 0 || !f->locked)
        return 0;
    uint32_t front = tile_bytes(f->kind);
    uint8_t *scratch = f->workBuffer + front;
    uint32_t capacity = work_buffer_bytes(f->kind) - front;
    int64_t tiles = tile_count(*f);
    for (int32_t i = 0; i < tiles; ++i) {
        // A blank tile has no flag byte: it is not palette-coded.
        int32_t length = tile_store_read(f->tileStore, i, scratch, capacity);
        if (length <= 0 || scratch[length - 1] != 1)
            return 0;
    }
    return 1;
}
