/*
 * usframe_fuzz - places views of a small USFrame with fuzzed corners and
 * renders fuzzed windows of them: whatever doubles the bytes spell
 * (degenerate, bow-tie, huge, tiny, not finite), the calls must neither
 * crash nor touch memory they do not own, and must hold together: a
 * rendered window has a pixel rect inside the window and a raster (and a
 * mask for oblique views or a colour filter); a failed placement leaves no
 * view and no frame; the group rendering leaves only its new USFrame;
 * nothing leaks, also when an allocation is made to fail on purpose.
 * A violation aborts.
 *
 * Input: byte 0: bits 0-1 the kind (1, 2, 4), bit 2 scale to grey, bit 3 a
 * colour filter, bit 4 display mode 3 instead of 4, bit 5 a grey
 * foreground; bytes 1-2 the base's width and height (1 + value % 300);
 * byte 3 the allocation to fail (0 none); bytes 4-67 the placement (eight
 * doubles, world form); bytes 68-71 the window (two 16-bit sizes, 1 +
 * value % 2048); bytes 72-103 the window's world rect (four doubles); the
 * rest the base's pixels, repeated. A window or group whose raster would
 * exceed 8 million pixels is not asked for, so that each input stays quick.
 */
#include "base/test_hooks.h"
#include "quillimg.h"

#include <math.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

namespace {

bool g_started = false;

void require(bool condition) {
    if (!condition)
        abort();
}

int frame_count() {
    int n = 0, highest = 0;
    QI_FrameLibraryInfo(&n, &highest);
    return n;
}

int make_usframe(int32_t kind, int32_t w, int32_t h, const uint8_t *bytes, size_t count) {
    int usf = QI_USFrameCreateNew(w, h, kind, QI_COLOR_WHITE);
    if (!usf)
        return 0;
    int base = QI_USFrameGetData(usf)->baseFrame;
    std::vector<uint8_t> pixels(static_cast<size_t>(QI_GetLineBWi(kind, w)) * h, 0xFF);
    for (size_t i = 0; count > 0 && i < pixels.size(); ++i)
        pixels[i] = bytes[i % count];
    QI_FrameLock(base);
    QI_FrameSetRect(base, nullptr, pixels.data(), kind, -1, -1);
    QI_FrameUnlock(base);
    QI_FrameViewUpdate(base, nullptr);
    return usf;
}

// At most a million window pixels for the view's box.
bool window_is_modest(const double *placement, int32_t ww, int32_t wh, const double *rect) {
    double box[4];
    QI_DoubleBoundRect(placement, box);
    double sx = (rect[2] - rect[0]) / ww, sy = (rect[1] - rect[3]) / wh;
    if (!(sx > 0) || !(sy > 0))
        return true; // refused before any raster
    double w = fmin(ww, (box[2] - box[0]) / sx + 2), h = fmin(wh, (box[3] - box[1]) / sy + 2);
    return w * h <= 1e6;
}

// A warped view's frame has about the base's pixels times the ratio of the
// placement's box to its area: at most four million pixels are asked for.
bool view_frame_is_modest(const double *p, int32_t w, int32_t h) {
    double area = 0, box[4];
    for (int i = 0; i < 4; ++i) {
        int j = (i + 1) % 4;
        area += p[2 * i] * p[2 * j + 1] - p[2 * j] * p[2 * i + 1];
    }
    QI_DoubleBoundRect(p, box);
    double pixels = (box[2] - box[0]) * (box[3] - box[1]) / fabs(area / 2) * w * h;
    return !isfinite(pixels) || pixels <= 4e6; // non-finite ones are refused
}

void check_zoom(int usf, int32_t ww, int32_t wh, const double *r) {
    QI_Rect rect;
    uint8_t *raster = nullptr, *mask = nullptr;
    int kind = QI_USFrameZoomExt(usf, 1, ww, wh, r[0], r[1], r[2], r[3], &rect, &raster, &mask);
    if (kind) {
        require(kind == 1 || kind == 2 || kind == 4);
        require(raster != nullptr);
        require(rect.left >= 0 && rect.top >= 0 && rect.right < ww && rect.bottom < wh);
        require(rect.left <= rect.right && rect.top <= rect.bottom);
        // Touch the last byte of each buffer: ASan checks their sizes.
        size_t rows = static_cast<size_t>(rect.bottom - rect.top + 1);
        volatile uint8_t last = raster[QI_GetLineBWi(kind, rect.right - rect.left + 1) * rows - 1];
        if (mask)
            last = mask[QI_GetLineBWi(1, rect.right - rect.left + 1) * rows - 1];
        (void)last;
    } else {
        require(raster == nullptr && mask == nullptr);
    }
    qs_free(reinterpret_cast<void **>(&raster));
    qs_free(reinterpret_cast<void **>(&mask));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 104 || size > 4096)
        return 0;
    if (!g_started)
        g_started = QI_InitFrameFunctions("", "", nullptr) == 1 && QI_USFramesInit() == 1;
    if (!g_started)
        return 0;
    const int32_t kinds[4] = {1, 2, 4, 1};
    int32_t kind = kinds[data[0] & 3];
    int32_t w = 1 + data[1] % 300, h = 1 + data[2] % 300;
    int failAt = data[3];
    double placement[8], rect[4];
    memcpy(placement, data + 4, sizeof placement);
    int32_t ww = 1 + (data[68] | data[69] << 8) % 2048, wh = 1 + (data[70] | data[71] << 8) % 2048;
    memcpy(rect, data + 72, sizeof rect);
    QI_SetScaleToGrayState(data[0] & 4 ? 1.0 : -1.0);

    int64_t live = qs_test_live_blocks();
    int usf = make_usframe(kind, w, h, data + 104, size - 104);
    require(usf != 0);
    if (data[0] & 8) {
        const int32_t colours[2] = {QI_COLOR_WHITE, static_cast<int32_t>(data[5] | data[6] << 8)};
        QI_USFrameSetVis(usf, colours, 2, 1);
        QI_USFrameSetVis(usf, nullptr, 0, data[0] & 16 ? 3 : 4);
    }
    if (data[0] & 32)
        QI_USFrameSetFrgBkg(usf, 0x7F7F60, QI_COLOR_BLACK);
    int before = frame_count();
    double stored[8];
    memcpy(stored, placement, sizeof stored);
    if (!view_frame_is_modest(placement, w, h)) {
        QI_USFrameDelete(usf);
        return 0;
    }
    qs_test_fail_allocation(failAt);
    int placed = QI_USFramePlaceExt(usf, 1, stored);
    qs_test_fail_allocation(0);
    int viewFrame = -1;
    if (placed) {
        require(QI_USFrameGetBaseViewInx(usf, 1, nullptr, &viewFrame, nullptr) == 1);
        require(QI_FrameGetData(viewFrame) != nullptr);
        if (window_is_modest(stored, ww, wh, rect)) {
            qs_test_fail_allocation(failAt);
            check_zoom(usf, ww, wh, rect);
            qs_test_fail_allocation(0);
            check_zoom(usf, ww, wh, rect);
            double box[4];
            QI_DoubleBoundRect(stored, box);
            const int32_t pairs[2] = {usf, 1};
            if ((box[2] - box[0]) * (box[3] - box[1]) < 4e6 && w * h < 40000) {
                int groupBefore = frame_count();
                int group = QI_USFrameGroupFixView(pairs, 1, 0, 0, nullptr, nullptr, 1, -1);
                require(group == 0 || frame_count() == groupBefore + 1 ||
                        frame_count() == groupBefore + 4); // the new base and its reduced views
                if (group)
                    QI_USFrameDelete(group);
            }
        }
    } else {
        require(QI_USFrameGetBaseViewInx(usf, 1, nullptr, nullptr, nullptr) == 0);
        require(frame_count() == before);
    }
    QI_USFrameNormalPos(usf, 1);
    require(QI_USFrameDelete(usf) == 1);
    require(frame_count() == 0);
    require(qs_test_live_blocks() == live);
    return 0;
}
