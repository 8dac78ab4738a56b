/*
 * usframe_bench.cpp - what a display host pays: a 1920 x 1080 window of the
 * standard drawing page (page-g4.tif, 13244 x 9356, held in a USFrame with a
 * swap-file base) rendered by QI_USFrameZoomExt at 1:1, at 1:2.5 and 1:4
 * with scale to grey, and fitted to the window (the whole page), for the
 * upright view and for a view turned 30 degrees; the load of the page with
 * its reduced views; the placement of each kind of view; and a wide
 * polyline of 1000 points drawn through a quarter-turned view, its time
 * split into the fills (the base and the view's frame with their reduced
 * views) and the views' rebuild at its end, against placing that view
 * afresh, which is what a host would pay to see a change without drawing
 * through views.
 *
 * Peers, on the raw page in memory (page.pbm in a leptonica PIX), doing the
 * same window's work:
 *  - 1:1: pixClipRectangle of the window's region. A peer holding raw rows
 *    only copies them, while we decode the window's tiles, so 1:1 is also
 *    compared with our own QI_FrameGetRect of the same rect of the base;
 *  - 1:2.5 and 1:4: pixClipRectangle of the region and pixScaleToGray of it
 *    at 0.4 and 0.25;
 *  - fitted: pixScaleToGray of the whole page at the fitting scale.
 * The oblique view's windows show the same world sizes about its centre;
 * their peer is the same leptonica work (it has no turned view to read).
 */
#include "bench/bench_support.h"

#include "quillimg.h"
#include "raster/ops/wide_polyline.h"
#include "raster/views/usframes.h"

#include <benchmark/benchmark.h>
#include <leptonica/allheaders.h>

#include <algorithm>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

constexpr int kWindowWidth = 1920, kWindowHeight = 1080;
constexpr int kUpright = 1, kTurned = 2, kQuarter = 3, kScratchView = 7;

struct Fixture {
    const char *error = nullptr;
    PIX *page = nullptr;
    int usframe = 0;
    int drawing = 0; // a second USFrame of the page, with a quarter-turned view
    std::vector<double> polyline; // 1000 points: count, then x, y pairs
    int base = -1;
    int width = 0, height = 0;
    double turned[8] = {};
};

double megabytes(double bytes) { return bytes / 1e6; }

void placement_upright(const Fixture &f, double p[8]) {
    const double q[8] = {0, 0, 1.0 * f.width, 0, 1.0 * f.width, -1.0 * f.height, 0, -1.0 * f.height};
    memcpy(p, q, sizeof q);
}

void placement_quarter(const Fixture &f, double p[8]) {
    const double q[8] = {1.0 * f.height, 0, 1.0 * f.height, -1.0 * f.width, 0, -1.0 * f.width, 0, 0};
    memcpy(p, q, sizeof q);
}

void placement_turned(const Fixture &f, double degrees, double p[8]) {
    double a = degrees * M_PI / 180, c = cos(a), s = sin(a);
    const double u[4] = {-f.width / 2.0, f.width / 2.0, f.width / 2.0, -f.width / 2.0};
    const double v[4] = {-f.height / 2.0, -f.height / 2.0, f.height / 2.0, f.height / 2.0};
    for (int i = 0; i < 4; ++i) {
        p[2 * i] = f.width / 2.0 + c * u[i] - s * v[i];
        p[2 * i + 1] = -f.height / 2.0 - (s * u[i] + c * v[i]);
    }
}

const char *build(Fixture &f) {
    std::string pages(QUILL_BENCH_PAGES);
    f.page = pixRead((pages + "/page.pbm").c_str());
    if (!f.page)
        return "leptonica could not read page.pbm (build the bench_pages target)";
    if (!quill_bench::start_library() || !QI_USFramesInit())
        return "the library did not start";
    f.usframe = QI_USFrameLoad((pages + "/page-g4.tif").c_str());
    if (!f.usframe)
        return "the page did not load into a USFrame";
    f.base = QI_USFrameGetData(f.usframe)->baseFrame;
    f.width = QI_FrameGetData(f.base)->width;
    f.height = QI_FrameGetData(f.base)->height;
    double p[8];
    placement_upright(f, p);
    placement_turned(f, 30, f.turned);
    if (!QI_USFramePlaceExt(f.usframe, kUpright, p))
        return "the upright view could not be placed";
    memcpy(p, f.turned, sizeof p);
    if (!QI_USFramePlaceExt(f.usframe, kTurned, p))
        return "the turned view could not be placed";
    f.drawing = QI_USFrameLoad((pages + "/page-g4.tif").c_str());
    placement_quarter(f, p);
    if (!f.drawing || !QI_USFramePlaceExt(f.drawing, kQuarter, p))
        return "the drawing USFrame could not be made";
    // A random walk of 1000 points across the quarter-turned view's world
    // box (x 0 .. height, y 0 .. -width), steps of up to 40 units.
    uint32_t state = 12345;
    auto next = [&state]() { state = state * 1103515245u + 12345u; return (state >> 8) % 1000 / 1000.0; };
    double x = f.height / 2.0, y = -f.width / 2.0;
    for (int i = 0; i < 1000; ++i) {
        f.polyline.push_back(x);
        f.polyline.push_back(y);
        x = std::min(std::max(x + 80 * (next() - 0.5), 10.0), f.height - 10.0);
        y = std::min(std::max(y + 80 * (next() - 0.5), 10.0 - f.width), -10.0);
    }
    return nullptr;
}

Fixture &fixture() { return quill_bench::lazy_fixture<Fixture, build>(); }

// The world rect of a window showing `scale` world units per window pixel
// about the view's centre; scale 0 fits the view's box.
void window_rect(const Fixture &f, int view, double scale, double r[4]) {
    double p[8], box[4];
    QI_USFrameGetBaseViewInx(f.usframe, view, nullptr, nullptr, p);
    QI_DoubleBoundRect(p, box);
    double cx = floor((box[0] + box[2]) / 2), cy = floor((box[1] + box[3]) / 2);
    if (scale == 0)
        scale = fmax((box[2] - box[0]) / kWindowWidth, (box[3] - box[1]) / kWindowHeight);
    r[0] = cx - scale * kWindowWidth / 2, r[2] = cx + scale * kWindowWidth / 2;
    r[1] = cy + scale * kWindowHeight / 2, r[3] = cy - scale * kWindowHeight / 2;
}

void bench_zoom(benchmark::State &state, int view, double scale) {
    Fixture *f = quill_bench::ready_or_skip(state, fixture());
    if (!f)
        return;
    double r[4];
    window_rect(*f, view, scale, r);
    QI_SetScaleToGrayState(1.0);
    for (auto _ : state) {
        QI_Rect rect;
        uint8_t *raster = nullptr, *mask = nullptr;
        int kind = QI_USFrameZoomExt(f->usframe, view, kWindowWidth, kWindowHeight, r[0], r[1], r[2], r[3], &rect,
                                     &raster, &mask);
        if (!kind) {
            state.SkipWithError("the zoom failed");
            break;
        }
        benchmark::DoNotOptimize(raster);
        qs_free(reinterpret_cast<void **>(&raster));
        qs_free(reinterpret_cast<void **>(&mask));
    }
    QI_SetScaleToGrayState(-1.0);
}

// The same window's rect of the base, read as the zoom would at 1:1.
void bench_get_rect(benchmark::State &state) {
    Fixture *f = quill_bench::ready_or_skip(state, fixture());
    if (!f)
        return;
    QI_Rect rect{f->width / 2 - kWindowWidth / 2, f->height / 2 - kWindowHeight / 2, 0, 0};
    rect.right = rect.left + kWindowWidth - 1;
    rect.bottom = rect.top + kWindowHeight - 1;
    std::vector<uint8_t> raster(static_cast<size_t>(QI_GetLineBWi(1, kWindowWidth)) * kWindowHeight);
    for (auto _ : state) {
        QI_FrameLock(f->base);
        int ok = QI_FrameGetRect(f->base, &rect, raster.data());
        QI_FrameUnlock(f->base);
        if (!ok) {
            state.SkipWithError("the rect read failed");
            break;
        }
        benchmark::DoNotOptimize(raster.data());
    }
}

// Leptonica: the window's region clipped, then scaled to grey (scale < 1).
void bench_leptonica(benchmark::State &state, double scale, bool whole) {
    Fixture *f = quill_bench::ready_or_skip(state, fixture());
    if (!f)
        return;
    int w = static_cast<int>(kWindowWidth * scale), h = static_cast<int>(kWindowHeight * scale);
    BOX *box = boxCreate(f->width / 2 - w / 2, f->height / 2 - h / 2, w, h);
    float fit = static_cast<float>(std::min(1.0 * kWindowWidth / f->width, 1.0 * kWindowHeight / f->height));
    for (auto _ : state) {
        PIX *clip = whole ? pixClone(f->page) : pixClipRectangle(f->page, box, nullptr);
        PIX *grey = scale > 1 || whole ? pixScaleToGray(clip, whole ? fit : static_cast<float>(1 / scale)) : nullptr;
        benchmark::DoNotOptimize(grey ? pixGetData(grey) : pixGetData(clip));
        pixDestroy(&grey);
        pixDestroy(&clip);
    }
    boxDestroy(&box);
}

void bench_load(benchmark::State &state) {
    Fixture *f = quill_bench::ready_or_skip(state, fixture());
    if (!f)
        return;
    std::string name = std::string(QUILL_BENCH_PAGES) + "/page-g4.tif";
    int64_t bytes = 0;
    for (auto _ : state) {
        int usframe = QI_USFrameLoad(name.c_str());
        if (!usframe) {
            state.SkipWithError("the load failed");
            break;
        }
        bytes = QI_FrameResourceSize(QI_USFrameGetData(usframe)->baseFrame);
        QI_USFrameDelete(usframe);
    }
    char line[200];
    snprintf(line, sizeof line, "usframe/load: the G4 page with its reduced views holds %.2f MB of tile records",
             megabytes(static_cast<double>(bytes)));
    quill_bench::note("usframe/load", line);
}

void bench_place(benchmark::State &state, const char *kind, void (*make)(const Fixture &, double *)) {
    Fixture *f = quill_bench::ready_or_skip(state, fixture());
    if (!f)
        return;
    int64_t bytes = 0;
    for (auto _ : state) {
        double p[8];
        make(*f, p);
        if (!QI_USFramePlaceExt(f->usframe, kScratchView, p)) {
            state.SkipWithError("the placement failed");
            break;
        }
        int frame = -1;
        QI_USFrameGetBaseViewInx(f->usframe, kScratchView, nullptr, &frame, nullptr);
        bytes = frame == f->base ? 0 : QI_FrameResourceSize(frame);
        QI_USFrameDeleteExt(f->usframe, kScratchView);
    }
    char line[200];
    snprintf(line, sizeof line, "usframe/place/%s: the view's own frame with its reduced views holds %.2f MB", kind,
             megabytes(static_cast<double>(bytes)));
    quill_bench::note(std::string("usframe/place/") + kind, line);
}

// A 30-degree placement moved by 100 units: not shared with the fixture's.
void turned30(const Fixture &f, double *p) {
    memcpy(p, f.turned, 8 * sizeof(double));
    for (int i = 0; i < 8; i += 2)
        p[i] += 100;
}

std::vector<uint8_t> polyline_block(const Fixture &f) {
    int32_t n = static_cast<int32_t>(f.polyline.size() / 2);
    std::vector<uint8_t> block(4 + 8 * f.polyline.size());
    memcpy(block.data(), &n, 4);
    memcpy(block.data() + 4, f.polyline.data(), 8 * f.polyline.size());
    return block;
}

// The whole call: pieces filled through the view, then the views rebuilt.
void bench_polyline(benchmark::State &state) {
    Fixture *f = quill_bench::ready_or_skip(state, fixture());
    if (!f)
        return;
    std::vector<uint8_t> line = polyline_block(*f);
    for (auto _ : state)
        if (!QI_USFrameWidePolyline(f->drawing, kQuarter, line.data(), 2.0, 0x7F7F00)) {
            state.SkipWithError("the polyline failed");
            break;
        }
}

// Its first part alone: the covering pieces painted through the view into
// the base and the view's frame, with their reduced views.
void bench_polyline_fills(benchmark::State &state) {
    Fixture *f = quill_bench::ready_or_skip(state, fixture());
    if (!f)
        return;
    std::vector<uint8_t> line = polyline_block(*f);
    for (auto _ : state)
        if (!quill::usframe_draw_polyline(f->drawing, kQuarter, line.data(), 2.0, 0x7F7F00)) {
            state.SkipWithError("the drawing failed");
            break;
        }
    void **pieces = nullptr;
    int32_t count = quill::wide_polyline(line.data(), 2.0, quill::kWideSquare, 0.1, &pieces);
    for (int32_t i = 0; i < count; ++i)
        qs_free(&pieces[i]);
    qs_free(reinterpret_cast<void **>(&pieces));
    quill_bench::note("usframe/draw", "usframe/draw: a polyline of 1000 points, half width 2, drawn through a "
                                      "quarter-turned view of the page as " + std::to_string(count) + " pieces");
}

// Its second part alone: the views rebuilt.
void bench_rebuild(benchmark::State &state) {
    Fixture *f = quill_bench::ready_or_skip(state, fixture());
    if (!f)
        return;
    for (auto _ : state)
        if (!QI_USFrameUpdateViews(f->drawing, nullptr)) {
            state.SkipWithError("the rebuild failed");
            break;
        }
}

int register_benchmarks() {
    auto add = [](const std::string &name, auto function) {
        return benchmark::RegisterBenchmark(name.c_str(), function)->Unit(benchmark::kMillisecond)->UseRealTime();
    };
    add("usframe/getrect/1:1", [](benchmark::State &s) { bench_get_rect(s); });
    add("usframe/leptonica/clip", [](benchmark::State &s) { bench_leptonica(s, 1, false); });
    add("usframe/leptonica/grey 1:2.5", [](benchmark::State &s) { bench_leptonica(s, 2.5, false); });
    add("usframe/leptonica/grey 1:4", [](benchmark::State &s) { bench_leptonica(s, 4, false); });
    add("usframe/leptonica/grey fitted", [](benchmark::State &s) { bench_leptonica(s, 0, true); });
    const struct {
        const char *name;
        double scale;
        const char *peer;
    } zooms[] = {{"1:1", 1, "usframe/leptonica/clip"},
                 {"1:2.5", 2.5, "usframe/leptonica/grey 1:2.5"},
                 {"1:4", 4, "usframe/leptonica/grey 1:4"},
                 {"fitted", 0, "usframe/leptonica/grey fitted"}};
    for (int view : {kUpright, kTurned})
        for (const auto &z : zooms) {
            std::string name = std::string("usframe/zoom/") + (view == kUpright ? "upright/" : "turned30/") + z.name;
            double scale = z.scale;
            add(name, [view, scale](benchmark::State &s) { bench_zoom(s, view, scale); });
            quill_bench::compare(name, z.peer);
            if (scale == 1)
                quill_bench::compare(name, "usframe/getrect/1:1");
        }
    add("usframe/load/g4 page", [](benchmark::State &s) { bench_load(s); })->Iterations(3);
    add("usframe/place/base", [](benchmark::State &s) { bench_place(s, "base", placement_upright); });
    add("usframe/place/quarter", [](benchmark::State &s) { bench_place(s, "quarter", placement_quarter); })
        ->Iterations(3);
    add("usframe/place/30 degrees", [](benchmark::State &s) { bench_place(s, "30 degrees", turned30); })
        ->Iterations(2);
    add("usframe/draw/polyline 1000", [](benchmark::State &s) { bench_polyline(s); })->Iterations(2);
    add("usframe/draw/polyline fills", [](benchmark::State &s) { bench_polyline_fills(s); })->Iterations(2);
    add("usframe/draw/views rebuilt", [](benchmark::State &s) { bench_rebuild(s); })->Iterations(2);
    quill_bench::compare("usframe/draw/polyline 1000", "usframe/place/quarter");
    quill_bench::compare("usframe/draw/polyline fills", "usframe/place/quarter");
    return 0;
}

const int registered = register_benchmarks();

} // namespace
