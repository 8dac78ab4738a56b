/*
 * warp_fuzz - warps small frames of every kind through QI_FrameTransform
 * with fuzzed parameter blocks: both methods, and whatever doubles the bytes
 * spell (degenerate, huge, tiny, negative, not finite). Whatever the
 * parameters, the call must neither crash nor touch memory it does not
 * own, and must hold together: a result has the source's kind, the size
 * that the setup of the map predicts and is unlocked; a failure leaves no
 * frame; nothing leaks, also when an allocation is made to fail on purpose.
 * A violation aborts.
 *
 * Input: byte 0: bits 0-1 the kind (1, 2, 4), bit 2 the method, bit 3
 * leaves every other source tile blank (bilevel shortcut), bit 4 locks the
 * source first; bytes 1-2 and 3-4 the source width and height (1 + value %
 * 400); byte 5 the background (0 white, 1 black, 2 none, else a grey
 * level); byte 6 the allocation to fail (0 none); bytes 7-70 eight doubles,
 * the parameter block (method 1 takes the first six); the rest the source
 * pixels, repeated. Results larger than 1500 x 1500 pixels are cancelled at
 * the first report, so that each input stays quick.
 */
#include "base/test_hooks.h"
#include "quillimg.h"
#include "raster/ops/warp_map.h"

#include <math.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

namespace {

bool g_started = false;
bool g_cancelAtOnce = false;

void require(bool condition) {
    if (!condition)
        abort();
}

int progress(intptr_t) { return g_cancelAtOnce ? 0 : 1; }

int frame_count() {
    int n = 0;
    for (int i = 0; i < 64; ++i)
        n += QI_FrameGetData(i) != nullptr;
    return n;
}

// A frame of the kind filled from the bytes; every other tile left blank
// when asked.
int make_source(int32_t kind, int32_t w, int32_t h, bool gaps, const uint8_t *bytes, size_t count) {
    int frame = QI_FrameCreate(w, h, kind, 1, nullptr, 0);
    if (frame < 0 || QI_FrameLock(frame) != 1)
        return -1;
    for (int32_t ty = 0; ty * 128 < h; ++ty)
        for (int32_t tx = 0; tx * 128 < w; ++tx) {
            if (gaps && (tx + ty) % 2 == 1)
                continue;
            QI_Rect r{tx * 128, ty * 128, tx * 128 + 127 < w ? tx * 128 + 127 : w - 1,
                      ty * 128 + 127 < h ? ty * 128 + 127 : h - 1};
            size_t n = static_cast<size_t>(r.bottom - r.top + 1) * QI_GetLineBWi(kind, r.right - r.left + 1);
            std::vector<uint8_t> pixels(n, 0xFF);
            for (size_t i = 0; count > 0 && i < n; ++i)
                pixels[i] = bytes[(i + static_cast<size_t>(tx * 7 + ty * 13)) % count];
            QI_FrameSetRect(frame, &r, pixels.data(), kind, -1, -1);
        }
    QI_FrameUnlock(frame);
    return frame;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 71 || size > 4096)
        return 0;
    if (!g_started)
        g_started = QI_InitFrameFunctions("", "", progress) == 1;
    if (!g_started)
        return 0;
    const int32_t kinds[4] = {1, 2, 4, 1};
    int32_t kind = kinds[data[0] & 3], method = 1 + ((data[0] >> 2) & 1);
    bool gaps = data[0] & 8, lockFirst = data[0] & 16;
    int32_t w = 1 + (data[1] | data[2] << 8) % 400, h = 1 + (data[3] | data[4] << 8) % 400;
    uint32_t background = data[5] == 0 ? 0x7F7FFFu : data[5] == 1 ? 0x7F7F00u : data[5] == 2 ? 0xFFFFFFFFu : data[5];
    int failAt = data[6];
    double params[8];
    memcpy(params, data + 7, sizeof params);
    int frame = make_source(kind, w, h, gaps, data + 71, size - 71);
    if (frame < 0)
        return 0;
    if (lockFirst)
        require(QI_FrameLock(frame) == 1);

    quill::WarpMap map;
    bool finite = true;
    for (int i = 0; i < (method == 1 ? 6 : 8); ++i)
        finite = finite && isfinite(params[i]);
    bool predicted = finite && quill::warp_setup(method, params, w, h, map);
    g_cancelAtOnce = predicted && static_cast<int64_t>(map.resultWidth) * map.resultHeight > 1500 * 1500;

    int before = frame_count();
    int64_t live = qs_test_live_blocks();
    int origin[2] = {data[7] % 50, data[8] % 50};
    qs_test_fail_allocation(failAt);
    int result = QI_FrameTransform(frame, method, params, origin, 1, background);
    qs_test_fail_allocation(0);
    if (result >= 0) {
        require(predicted && !g_cancelAtOnce);
        const QI_FrameRecord *r = QI_FrameGetData(result);
        require(r && r->kind == kind && !r->locked);
        require(r->width == map.resultWidth && r->height == map.resultHeight);
        QI_FrameDelete(result);
    } else {
        require(frame_count() == before);
    }
    require(qs_test_live_blocks() == live);
    require((QI_FrameGetData(frame)->locked != 0) == lockFirst);
    QI_FrameUnlock(frame);
    QI_FrameDelete(frame);
    g_cancelAtOnce = false;
    return 0;
}
