/*
 * tile_store_fuzz - feeds arbitrary bytes to the tile store as the content of
 * a memory store, as a damaged store would present them: the directory walk
 * at open, reading every record, rewriting records over the damage, and the
 * compaction at close must neither crash nor read or write out of bounds.
 *
 * Input: byte 0 picks the pixel kind (length bits 12, 15 or 16), byte 1 the
 * record count; the rest is the store's content.
 */
#include "quillimg.h"
#include "raster/core/byte_store.h"
#include "raster/core/tile_store.h"

#include <stddef.h>
#include <stdint.h>
#include <string.h>

namespace {
const uint32_t kLargest[3] = {2048, 16384, 49153};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2 || size > (1u << 20))
        return 0;
    if (QI_InitFrameFunctions("", "", nullptr) != 1)
        return 0;
    int32_t records = 1 + data[1] % 64;
    int32_t store = quill::tile_store_create(1, records, kLargest[data[0] % 3]);
    quill::TileStore *ts = quill::tile_store_lookup(store);
    uint32_t length = static_cast<uint32_t>(size - 2);
    quill::byte_store_open(ts->bytes);
    quill::byte_store_write(ts->bytes, 0, data + 2, length);
    quill::byte_store_close(ts->bytes);
    ts->end = length;
    static uint8_t buffer[49160];
    if (quill::tile_store_open(store)) {
        for (int32_t i = 0; i < records; ++i)
            quill::tile_store_read(store, i, buffer, sizeof buffer);
        memset(buffer, 0x5A, 64);
        for (int32_t i = 0; i < records; i += 2)
            quill::tile_store_write(store, i, buffer, i % 60);
        quill::tile_store_write(store, records - 1, nullptr, quill::kRecordBlank);
        ts = quill::tile_store_lookup(store);
        ts->freeBytes = 1; // force the compaction walk over whatever is there
        quill::tile_store_close(store);
    }
    QI_CloseFrameFunctions();
    return 0;
}
