// tile_records_support.h - compares the tile records of two bilevel frames,
// for the tests that hold a fast path's records to the pixel path's.
#ifndef QUILL_TESTS_TILE_RECORDS_SUPPORT_H
#define QUILL_TESTS_TILE_RECORDS_SUPPORT_H

#include "quillimg.h"
#include "raster/core/tile_store.h"
#include "raster/core/tiles.h"

#include <gtest/gtest.h>
#include <string.h>

#include <vector>

namespace quill_test {

// Every tile record of a frame the same in both: blank marks, coded records
// byte for byte, raw records in their pixels (pad bits are the pixel path's
// leftovers).
inline ::testing::AssertionResult same_records(int a, int b) {
    const QI_FrameRecord *fa = QI_FrameGetData(a), *fb = QI_FrameGetData(b);
    QI_FrameLock(a);
    QI_FrameLock(b);
    std::vector<uint8_t> ra(4096), rb(4096);
    int64_t tiles = quill::tile_count(*fa);
    ::testing::AssertionResult result = ::testing::AssertionSuccess();
    for (int32_t i = 0; i < tiles && result; ++i) {
        int32_t la = quill::tile_store_read(fa->tileStore, i, ra.data(), 4096);
        int32_t lb = quill::tile_store_read(fb->tileStore, i, rb.data(), 4096);
        int32_t w, h;
        quill::tile_extent(*fa, i, w, h);
        uint32_t line = QI_GetLineBWi(1, w);
        if (la != lb || la == quill::kRecordFailed) {
            result = ::testing::AssertionFailure() << "tile " << i << ": lengths " << la << " and " << lb;
        } else if (la >= 0 && static_cast<uint32_t>(la) < line * h) {
            if (memcmp(ra.data(), rb.data(), static_cast<size_t>(la)) != 0)
                result = ::testing::AssertionFailure() << "tile " << i << ": coded records differ";
        } else if (la >= 0) {
            for (int32_t y = 0; y < h && result; ++y)
                for (int32_t x = 0; x < w; ++x)
                    if (((ra[y * line + x / 8] ^ rb[y * line + x / 8]) >> (7 - x % 8)) & 1) {
                        result = ::testing::AssertionFailure() << "tile " << i << ": raw pixel " << x << ", " << y;
                        break;
                    }
        }
    }
    QI_FrameUnlock(a);
    QI_FrameUnlock(b);
    return result;
}

} // namespace quill_test

#endif
