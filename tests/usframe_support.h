/*
 * usframe_support.h - USFrames for tests: the fixture (frame library and
 * USFrame tables started, leaks checked), bases made from rasters, the
 * eight orthogonal orientations with their reference turns, turned
 * placements, and zoomed windows that release their buffers.
 */
#ifndef QUILL_TESTS_USFRAME_SUPPORT_H
#define QUILL_TESTS_USFRAME_SUPPORT_H

#include "raster_support.h"
#include "test_support.h"

#include <math.h>
#include <string.h>

#include <functional>
#include <random>
#include <string>

namespace quill_test {

class USFrameTest : public LibraryFixture {
protected:
    void SetUp() override {
        LibraryFixture::SetUp();
        ASSERT_EQ(QI_USFramesInit(), 1);
    }
    void TearDown() override {
        QI_USFramesClose();
        LibraryFixture::TearDown();
    }
};

inline int frames_alive() {
    int count = 0, highest = 0;
    QI_FrameLibraryInfo(&count, &highest);
    return count;
}

inline int base_of(int usf) { return QI_USFrameGetData(usf)->baseFrame; }

inline int view_frame(int usf, int id) {
    int frame = -1;
    QI_USFrameGetBaseViewInx(usf, id, nullptr, &frame, nullptr);
    return frame;
}

// A USFrame whose base holds the raster (with reduced views).
inline int usframe_from(const Raster &r) {
    int usf = QI_USFrameCreateNew(r.width, r.height, r.kind, -1);
    if (usf == 0)
        return 0;
    int base = base_of(usf);
    QI_FrameLock(base);
    QI_FrameSetRect(base, nullptr, r.data(), r.kind, -1, -1);
    QI_FrameUnlock(base);
    QI_FrameViewUpdate(base, nullptr);
    return usf;
}

inline Raster random_raster(int w, int h, int kind, unsigned seed) {
    std::mt19937 random(seed);
    Raster r(w, h, kind);
    if (kind == 1)
        r.fill_sparse(random, 30);
    else
        r.fill_random(random);
    return r;
}

struct Placement {
    double p[8];
};

// The eight orthogonal orientations: where a base point (u, v) lands in the
// view, for a base of W x H.
struct Orientation {
    const char *name;
    std::function<void(double u, double v, double W, double H, double &x, double &y)> map;
    bool transposed;
};

inline const Orientation kOrientations[] = {
    {"upright", [](double u, double v, double, double, double &x, double &y) { x = u, y = v; }, false},
    {"turn90", [](double u, double v, double, double H, double &x, double &y) { x = H - v, y = u; }, true},
    {"turn270", [](double u, double v, double W, double, double &x, double &y) { x = v, y = W - u; }, true},
    {"turn180", [](double u, double v, double W, double H, double &x, double &y) { x = W - u, y = H - v; }, false},
    {"turn90 flip", [](double u, double v, double W, double H, double &x, double &y) { x = H - v, y = W - u; }, true},
    {"transpose", [](double u, double v, double, double, double &x, double &y) { x = v, y = u; }, true},
    {"flip", [](double u, double v, double, double H, double &x, double &y) { x = u, y = H - v; }, false},
    {"mirror", [](double u, double v, double W, double, double &x, double &y) { x = W - u, y = v; }, false},
};

// World corners (y up) of the base placed by `o` with its box's top-left
// at world (ox, oy).
inline Placement place_orthogonal(const Orientation &o, int W, int H, double ox, double oy) {
    const double cu[4] = {0, 1.0 * W, 1.0 * W, 0}, cv[4] = {0, 0, 1.0 * H, 1.0 * H};
    Placement pl;
    for (int i = 0; i < 4; ++i) {
        double x, y;
        o.map(cu[i], cv[i], W, H, x, y);
        pl.p[2 * i] = ox + x;
        pl.p[2 * i + 1] = oy - y;
    }
    return pl;
}

inline Raster orient(const Raster &base, const Orientation &o) {
    int w = o.transposed ? base.height : base.width, h = o.transposed ? base.width : base.height;
    Raster out(w, h, base.kind, 0);
    for (int v = 0; v < base.height; ++v)
        for (int u = 0; u < base.width; ++u) {
            double x, y;
            o.map(u + 0.5, v + 0.5, base.width, base.height, x, y);
            out.set(static_cast<int>(floor(x)), static_cast<int>(floor(y)), base.get(u, v));
        }
    return out;
}

// A placement turned by `degrees` about the base's centre, offset in world.
inline Placement place_turned(int W, int H, double degrees, double cx, double cy) {
    double a = degrees * M_PI / 180, c = cos(a), s = sin(a);
    const double cu[4] = {-W / 2.0, W / 2.0, W / 2.0, -W / 2.0}, cv[4] = {-H / 2.0, -H / 2.0, H / 2.0, H / 2.0};
    Placement pl;
    for (int i = 0; i < 4; ++i) {
        pl.p[2 * i] = cx + c * cu[i] - s * cv[i];
        pl.p[2 * i + 1] = cy - (s * cu[i] + c * cv[i]);
    }
    return pl;
}

inline int place(int usf, int id, Placement pl) { return QI_USFramePlaceExt(usf, id, pl.p); }

struct Zoomed {
    int kind = 0;
    QI_Rect rect{};
    uint8_t *raster = nullptr, *mask = nullptr;
    ~Zoomed() {
        qs_free(reinterpret_cast<void **>(&raster));
        qs_free(reinterpret_cast<void **>(&mask));
    }
    Raster as_raster() const {
        Raster r(rect.right - rect.left + 1, rect.bottom - rect.top + 1, kind, 0);
        memcpy(r.data(), raster, r.bytes.size());
        return r;
    }
    bool masked(int x, int y) const {
        uint32_t line = QI_GetLineBWi(1, rect.right - rect.left + 1);
        return (mask[y * line + (x >> 3)] >> (7 - (x & 7))) & 1;
    }
};

inline void zoom(Zoomed &z, int usf, int id, int ww, int wh, double x0, double y0, double x1, double y1) {
    z.kind = QI_USFrameZoomExt(usf, id, ww, wh, x0, y0, x1, y1, &z.rect, &z.raster, &z.mask);
}

} // namespace quill_test

#endif
