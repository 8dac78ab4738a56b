/*
 * views_fuzz - builds the reduced views of a bilevel frame whose tile
 * records are arbitrary bytes, as a damaged swap file or tile file would
 * present them. The build must fail cleanly (no views, nothing left), or
 * succeed with views that are the base sampled: view pixel (x, y) equal to
 * base pixel (f x, f y), the base read through the tile decoder of
 * QI_FrameGetRect (a differential check of the views' own decoding).
 *
 * Input: bytes 0 and 1 give the width and height (129 to 384: two or three
 * tiles a side, the last one cut); then records, each as a 2-byte length
 * (little-endian, taken modulo 2100) and that many bytes, for tiles 0, 1,
 * ... while input remains; tiles without one stay blank.
 */
#include "quillimg.h"
#include "raster/core/tile_store.h"
#include "raster/core/tiles.h"

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <vector>

namespace {
bool g_started = false;

bool white(const std::vector<uint8_t> &r, uint32_t line, int32_t x, int32_t y) {
    return (r[static_cast<size_t>(y) * line + static_cast<size_t>(x >> 3)] >> (7 - (x & 7))) & 1;
}

// Every pixel of each view against the base sampled; traps on a mismatch.
void check_views(int frame, const std::vector<uint8_t> &base, uint32_t line) {
    int view = QI_FrameGetData(frame)->nextView;
    for (int32_t factor = 2; view >= 0; factor *= 2, view = QI_FrameGetData(view)->nextView) {
        const QI_FrameRecord *v = QI_FrameGetData(view);
        uint32_t viewLine = QI_GetLineBWi(1, v->width);
        std::vector<uint8_t> pixels(static_cast<size_t>(viewLine) * static_cast<size_t>(v->height));
        if (QI_FrameLock(view) != 1 || QI_FrameGetRect(view, nullptr, pixels.data()) != 1)
            abort(); // the views' own records must read back
        QI_FrameUnlock(view);
        for (int32_t y = 0; y < v->height; ++y)
            for (int32_t x = 0; x < v->width; ++x)
                if (white(pixels, viewLine, x, y) != white(base, line, factor * x, factor * y))
                    abort();
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2 || size > 60000)
        return 0;
    if (!g_started)
        g_started = QI_InitFrameFunctions("", "", nullptr) == 1;
    if (!g_started)
        return 0;
    const int32_t width = 129 + data[0], height = 129 + data[1];
    int frame = QI_FrameCreate(width, height, 1, 1, nullptr, 0);
    if (frame < 0 || QI_FrameLock(frame) != 1)
        return 0;
    const QI_FrameRecord *f = QI_FrameGetData(frame);
    size_t at = 2;
    for (int32_t tile = 0; tile < quill::tile_count(*f) && at + 2 <= size; ++tile) {
        size_t length = (data[at] | static_cast<size_t>(data[at + 1]) << 8) % 2100;
        at += 2;
        if (length > size - at)
            length = size - at;
        if (length != 0)
            quill::tile_store_write(f->tileStore, tile, data + at, static_cast<int32_t>(length));
        at += length;
    }
    QI_FrameUnlock(frame);
    int built = QI_FrameViewOptimize(frame, 1);
    int views = QI_FrameGetData(frame)->nextView;
    if (!built && views != -1)
        abort(); // a failed build leaves no view
    if (built) {
        uint32_t line = QI_GetLineBWi(1, width);
        std::vector<uint8_t> base(static_cast<size_t>(line) * static_cast<size_t>(height));
        if (QI_FrameLock(frame) != 1 || QI_FrameGetRect(frame, nullptr, base.data()) != 1)
            abort(); // the views decoded every record: so must the tile decoder
        QI_FrameUnlock(frame);
        check_views(frame, base, line);
    }
    QI_FrameDelete(frame);
    int count = 0;
    QI_FrameLibraryInfo(&count, nullptr);
    if (count != 0)
        abort(); // the views went with their base
    return 0;
}
