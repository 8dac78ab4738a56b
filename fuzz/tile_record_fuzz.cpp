/*
 * tile_record_fuzz - feeds arbitrary records to the tile decoders of every
 * kind and coding: bilevel (T.6 or raw), grey and colour in plain coding
 * (run codes, packed bytes, palette indices with their flag) and in the
 * lossy modes 2 to 4. A record as a damaged swap file or tile file would
 * present it must fail cleanly or decode within the tile.
 *
 * A bilevel record then goes through a half turn or a mirror (picked by
 * byte 0 too), whose run-list path decodes it apart from the tile decoder:
 * repeated rows taken many at a time, cells shared between rows.
 *
 * Input: byte 0 picks the kind and coding, bytes 1 and 2 the tile's width
 * and height (1 to 128); the rest is the record.
 */
#include "quillimg.h"
#include "raster/core/tile_store.h"
#include "raster/core/tiles.h"

#include <stddef.h>
#include <stdint.h>

namespace {
struct Coding {
    int32_t kind, mode;
    bool palette;
};
const Coding kCodings[] = {{1, 0, false}, {2, 1, false}, {4, 1, false}, {4, 1, true}, {2, 2, false},
                           {2, 4, false}, {4, 2, false}, {4, 3, false}, {4, 4, false}};
const uint8_t kPalette[] = {2, 0, 127, 127, 0, 255, 127, 127, 0, 90, 40, 200, 0};

bool g_started = false;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3 || size > 60000)
        return 0;
    if (!g_started)
        g_started = QI_InitFrameFunctions(QUILL_DATA_DIR, "", nullptr) == 1;
    if (!g_started)
        return 0;
    const Coding &c = kCodings[data[0] % (sizeof kCodings / sizeof kCodings[0])];
    int32_t width = 1 + data[1] % 128, height = 1 + data[2] % 128;
    int frame = QI_FrameCreate(width, height, c.kind, 1, c.palette ? kPalette : nullptr, c.mode);
    if (frame < 0 || QI_FrameLock(frame) != 1)
        return 0;
    const QI_FrameRecord *f = QI_FrameGetData(frame);
    int32_t length = static_cast<int32_t>(size - 3);
    if (static_cast<uint32_t>(length) <= quill::largest_record(c.kind) &&
        quill::tile_store_write(f->tileStore, 0, data + 3, length))
        quill::get_tile(frame, 0);
    QI_FrameUnlock(frame);
    if (c.kind == 1) {
        switch (data[0] / 9 % 3) {
        case 0:
            QI_FrameRotate180(frame);
            break;
        case 1:
            QI_FrameMirrorX(frame);
            break;
        default:
            QI_FrameMirrorY(frame);
            break;
        }
    }
    QI_FrameDelete(frame);
    return 0;
}
