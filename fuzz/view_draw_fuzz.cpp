/*
 * view_draw_fuzz - draws fuzzed polygon sets and wide polylines in world
 * coordinates through views of every placement kind (the eight quarter
 * turns and mirrors, and an oblique placement from the bytes), with picks
 * and hit tests beside them. Whatever the numbers (degenerate, huge, not
 * finite, counts that lie), the calls must neither crash nor touch memory
 * they do not own, and must hold together: nothing leaks and no frame is
 * left behind, also when an allocation is made to fail; after every draw,
 * each orthogonal view's frame is the base turned or mirrored, pixel for
 * pixel. A violation aborts.
 *
 * Input: byte 0: bits 0-1 the kind (1, 2, 4), bit 2 outside fill, bit 3
 * draw a polyline instead of polygons, bit 4 draw through the oblique view;
 * byte 1: the orthogonal orientation (0-7) of view 1; bytes 2-3 the base's
 * width and height (1 + value % 200); byte 4 the allocation to fail (0
 * none); byte 5 the polygon count claimed; bytes 6-7 the vertex count of
 * each polygon; bytes 8-71 an oblique placement (eight doubles); the rest
 * doubles, the vertices (world units about the views), repeated as needed.
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

// Where base point (u, v) of a W x H base lands in orientation o's frame
// (corners: pixel maps with W, H instead of W - 1, H - 1).
void orient_point(int o, double W, double H, double u, double v, double &x, double &y) {
    switch (o) {
    case 1: x = H - v, y = u; break;
    case 2: x = v, y = W - u; break;
    case 3: x = W - u, y = H - v; break;
    case 4: x = H - v, y = W - u; break;
    case 5: x = v, y = u; break;
    case 6: x = u, y = H - v; break;
    case 7: x = W - u, y = v; break;
    default: x = u, y = v; break;
    }
}

void orthogonal_placement(int o, int W, int H, double p[8]) {
    const double cu[4] = {0, 1.0 * W, 1.0 * W, 0}, cv[4] = {0, 0, 1.0 * H, 1.0 * H};
    for (int i = 0; i < 4; ++i) {
        double x, y;
        orient_point(o, W, H, cu[i], cv[i], x, y);
        p[2 * i] = x;
        p[2 * i + 1] = -y;
    }
}

std::vector<uint8_t> pixels_of(int frame) {
    const QI_FrameRecord *f = QI_FrameGetData(frame);
    std::vector<uint8_t> out(static_cast<size_t>(QI_GetLineBWi(f->kind, f->width)) * f->height);
    QI_FrameLock(frame);
    require(QI_FrameGetRect(frame, nullptr, out.data()) == 1);
    QI_FrameUnlock(frame);
    return out;
}

uint32_t pixel(const std::vector<uint8_t> &r, int kind, int width, int x, int y) {
    const uint8_t *row = r.data() + static_cast<size_t>(y) * QI_GetLineBWi(kind, width);
    if (kind == 1)
        return (row[x >> 3] >> (7 - (x & 7))) & 1u;
    if (kind == 4)
        return row[3 * x] | row[3 * x + 1] << 8 | static_cast<uint32_t>(row[3 * x + 2]) << 16;
    return row[x];
}

// The orthogonal view's frame is the base turned: checked pixel for pixel.
void check_orthogonal(int usf, int o) {
    int base = QI_USFrameGetData(usf)->baseFrame, view = -1;
    require(QI_USFrameGetBaseViewInx(usf, 1, nullptr, &view, nullptr) == 1);
    const QI_FrameRecord *b = QI_FrameGetData(base);
    int W = b->width, H = b->height, kind = b->kind;
    int vw = QI_FrameGetData(view)->width;
    std::vector<uint8_t> bp = pixels_of(base), vp = pixels_of(view);
    for (int v = 0; v < H; ++v)
        for (int u = 0; u < W; ++u) {
            double x, y;
            orient_point(o, W, H, u + 0.5, v + 0.5, x, y);
            require(pixel(bp, kind, W, u, v) == pixel(vp, kind, vw, static_cast<int>(x), static_cast<int>(y)));
        }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 72 || size > 4096)
        return 0;
    if (!g_started)
        g_started = QI_InitFrameFunctions("", "", nullptr) == 1 && QI_USFramesInit() == 1;
    if (!g_started)
        return 0;
    const int32_t kinds[4] = {1, 2, 4, 1};
    int32_t kind = kinds[data[0] & 3];
    bool outside = data[0] & 4, line = data[0] & 8, oblique = data[0] & 16;
    int o = data[1] & 7;
    int32_t W = 1 + data[2] % 200, H = 1 + data[3] % 200;
    int failAt = data[4];
    int32_t polygons = 1 + data[5] % 4, vertices = 2 + data[6] % 8;
    double obliquePlacement[8];
    memcpy(obliquePlacement, data + 8, sizeof obliquePlacement);
    const uint8_t *rest = data + 72;
    size_t restDoubles = (size - 72) / 8;

    int64_t live = qs_test_live_blocks();
    int usf = QI_USFrameCreateNew(W, H, kind, data[7] & 1 ? QI_COLOR_WHITE : 0x7F7F40);
    require(usf != 0);
    double p[8];
    orthogonal_placement(o, W, H, p);
    require(QI_USFramePlaceExt(usf, 1, p) == 1);
    // The oblique view only when its frame stays small.
    double area = 0, box[4];
    for (int i = 0; i < 4; ++i)
        area += obliquePlacement[2 * i] * obliquePlacement[(2 * i + 3) % 8] -
                obliquePlacement[(2 * i + 2) % 8] * obliquePlacement[2 * i + 1];
    QI_DoubleBoundRect(obliquePlacement, box);
    double pixels = (box[2] - box[0]) * (box[3] - box[1]) / fabs(area / 2) * W * H;
    bool haveOblique = isfinite(pixels) && pixels <= 250000 && QI_USFramePlaceExt(usf, 2, obliquePlacement) == 1;
    int drawView = oblique && haveOblique ? 2 : 1;

    // The shape: polygons of `vertices` points, or a polyline.
    std::vector<double> xy;
    int32_t total = line ? vertices : polygons * vertices;
    for (int32_t i = 0; i < 2 * total; ++i) {
        double v = 0;
        if (restDoubles > 0)
            memcpy(&v, rest + 8 * (static_cast<size_t>(i) % restDoubles), 8);
        xy.push_back(v);
    }
    std::vector<uint8_t> shape;
    auto put = [&](const void *bytes, size_t n) {
        const uint8_t *b = static_cast<const uint8_t *>(bytes);
        shape.insert(shape.end(), b, b + n);
    };
    if (line) {
        put(&vertices, 4);
        put(xy.data(), 16 * static_cast<size_t>(vertices));
    } else {
        put(&polygons, 4);
        for (int32_t k = 0; k < polygons; ++k) {
            put(&vertices, 4);
            put(xy.data() + 2 * k * vertices, 16 * static_cast<size_t>(vertices));
        }
    }
    int before = frame_count();
    uint32_t colour = data[7] & 2 ? QI_COLOR_BLACK : 0x7F7FA0;
    qs_test_fail_allocation(failAt);
    int drawn = line ? QI_USFrameWidePolyline(usf, drawView, shape.data(), 0.5 + (data[7] >> 2), colour)
                     : QI_USFrameBaseFillPolyExt(usf, drawView, shape.data(), colour, outside);
    qs_test_fail_allocation(0);
    require(drawn == 0 || drawn == 1);
    require(frame_count() == before || line); // a polyline rebuilds the views
    if (drawn)
        check_orthogonal(usf, o);

    // Picks and hits about the first vertex.
    double x = xy[0], y = xy[1], rect[4] = {x - 3, y - 3, x + 3, y + 3};
    int32_t count = 0;
    int32_t *colours = QI_USFrameWinColorsExt(usf, 1, rect, &count);
    if (colours) {
        require(count >= 1 && count <= 49);
        qs_free(reinterpret_cast<void **>(&colours));
    }
    QI_USFrameHitTestExt(usf, drawView, x, y, 2);
    int32_t hitU = 0, hitV = 0;
    QI_UEpairArrHitTest(nullptr, 0, x, y, 2, &hitU, &hitV);
    require(QI_USFrameDelete(usf) == 1);
    require(frame_count() == 0);
    require(qs_test_live_blocks() == live);
    return 0;
}
