/*
 * palette_bench.cpp - palette objects on the standard colour page
 * (rgb.tif, 4000 x 3000), against leptonica's octcube quantisation to a
 * given colour map at level 6 (64 levels a component, as our map).
 *
 * The colours: the 6 x 6 x 6 cube (levels 0, 51, ... 255) and 40 greys
 * (6, 12, ... 240): 256 entries, the same for both libraries (ours as
 * B, G, R, 0; leptonica's as a PIXCMAP). The page is read with libtiff,
 * converted to (Y, U, V) with QI_DmriBGRtoYUV for us and packed into a
 * 32-bit PIX for leptonica, neither timed.
 *
 *  - palette/build/quill: QI_PaletteCreate without a cache file (the 262144
 *    nearest-entry searches) and QI_PaletteDelete.
 *  - palette/build/leptonica: pixcmapToOctcubeLUT(cmap, 6, Euclidean), the
 *    table that pixOctcubeQuantFromCmap builds first (the same 262144
 *    searches over RGB cells), and its release.
 *  - palette/create/cached: QI_PaletteCreate served by a cache file written
 *    beforehand; against the build.
 *  - palette/map/quill: QI_DmriToPaletteColors of the whole page, kind 4,
 *    mode 1 (a fresh copy of the page is made before each call, untimed).
 *  - palette/map/quill-dither: the same with ordered dither (mode 2);
 *    against plain mapping.
 *  - palette/map/leptonica: the mapping part of pixOctcubeQuantFromCmap:
 *    each iteration times the whole call and, right after it,
 *    pixcmapToOctcubeLUT alone, and counts the difference (manual time).
 *    Leptonica's API has no call that maps with a table built earlier.
 *  - palette/map/memcpy: memcpy of the page's bytes, the floor.
 *  - palette/build-and-map/quill and .../leptonica: both jobs in one, as a
 *    host does them once (pixOctcubeQuantFromCmap whole).
 * The two libraries' cells differ (ours in Y, U, V, theirs in R, G, B), so
 * the indices differ; the notes give the share of pixels on which they
 * agree and check that every index of ours is below 256.
 */
#include "bench/bench_support.h"

#include "quillimg.h"

#include <benchmark/benchmark.h>
#include <leptonica/allheaders.h>
#include <tiffio.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

struct Fixture {
    const char *error = nullptr;
    int32_t width = 0, height = 0;
    std::vector<uint8_t> yuv;  // our page, lines of QI_GetLineBWi(4, width)
    std::vector<uint8_t> work; // a copy that the mapping overwrites
    std::vector<uint8_t> colours;
    PIX *pix = nullptr;
    PIXCMAP *cmap = nullptr;
    std::string cache;
};

void make_colours(Fixture &f) {
    for (int r = 0; r < 6; ++r)
        for (int g = 0; g < 6; ++g)
            for (int b = 0; b < 6; ++b)
                f.colours.insert(f.colours.end(), {uint8_t(51 * b), uint8_t(51 * g), uint8_t(51 * r), 0});
    for (int i = 1; i <= 40; ++i)
        f.colours.insert(f.colours.end(), {uint8_t(6 * i), uint8_t(6 * i), uint8_t(6 * i), 0});
    f.cmap = pixcmapCreate(8);
    for (size_t e = 0; e < f.colours.size(); e += 4)
        pixcmapAddColor(f.cmap, f.colours[e + 2], f.colours[e + 1], f.colours[e]);
}

// The page as R, G, B bytes; false when it cannot be read.
bool read_page(Fixture &f, std::vector<uint8_t> &rgb) {
    TIFFSetWarningHandler(nullptr);
    std::string path = std::string(QUILL_BENCH_PAGES) + "/rgb.tif";
    TIFF *tif = TIFFOpen(path.c_str(), "r");
    if (!tif)
        return false;
    uint32_t w = 0, h = 0;
    uint16_t spp = 0, bps = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bps);
    bool ok = spp == 3 && bps == 8 && w > 0 && h > 0;
    if (ok) {
        f.width = static_cast<int32_t>(w);
        f.height = static_cast<int32_t>(h);
        rgb.resize(static_cast<size_t>(w) * h * 3);
        for (uint32_t y = 0; ok && y < h; ++y)
            ok = TIFFReadScanline(tif, rgb.data() + static_cast<size_t>(w) * 3 * y, y, 0) == 1;
    }
    TIFFClose(tif);
    return ok;
}

const char *build_fixture(Fixture &f) {
    if (!quill_bench::start_library())
        return "library did not start";
    std::vector<uint8_t> rgb;
    if (!read_page(f, rgb))
        return "cannot read rgb.tif (build the bench_pages target)";
    make_colours(f);
    const size_t line = QI_GetLineBWi(4, f.width);
    f.yuv.assign(line * f.height, 0);
    f.pix = pixCreate(f.width, f.height, 32);
    for (int32_t y = 0; y < f.height; ++y) {
        const uint8_t *in = rgb.data() + static_cast<size_t>(f.width) * 3 * y;
        uint8_t *out = f.yuv.data() + line * y;
        l_uint32 *pixLine = pixGetData(f.pix) + static_cast<size_t>(pixGetWpl(f.pix)) * y;
        for (int32_t x = 0; x < f.width; ++x) {
            out[3 * x] = in[3 * x + 2];
            out[3 * x + 1] = in[3 * x + 1];
            out[3 * x + 2] = in[3 * x];
            composeRGBPixel(in[3 * x], in[3 * x + 1], in[3 * x + 2], pixLine + x);
        }
    }
    QI_DmriBGRtoYUV(f.yuv.data(), f.width, f.height);
    f.work = f.yuv;
    f.cache = quill_bench::swap_directory() + "/bench.pal";
    PaletteObject *p = QI_PaletteCreate(f.colours.data(), 256, 0, f.cache.c_str());
    if (!p)
        return "QI_PaletteCreate failed";
    QI_PaletteDelete(p);
    return nullptr;
}

Fixture &fixture() { return quill_bench::lazy_fixture<Fixture, build_fixture>(); }

int64_t page_pixels(const Fixture &f) { return static_cast<int64_t>(f.width) * f.height; }

void build_quill(benchmark::State &state) {
    Fixture *f = quill_bench::ready_or_skip(state, fixture());
    if (!f)
        return;
    for (auto _ : state) {
        PaletteObject *p = QI_PaletteCreate(f->colours.data(), 256, 0, nullptr);
        benchmark::DoNotOptimize(p);
        QI_PaletteDelete(p);
    }
}

void build_leptonica(benchmark::State &state) {
    Fixture *f = quill_bench::ready_or_skip(state, fixture());
    if (!f)
        return;
    for (auto _ : state) {
        l_int32 *table = pixcmapToOctcubeLUT(f->cmap, 6, L_EUCLIDEAN_DISTANCE);
        benchmark::DoNotOptimize(table);
        lept_free(table);
    }
}

void create_cached(benchmark::State &state) {
    Fixture *f = quill_bench::ready_or_skip(state, fixture());
    if (!f)
        return;
    for (auto _ : state) {
        PaletteObject *p = QI_PaletteCreate(f->colours.data(), 256, 0, f->cache.c_str());
        benchmark::DoNotOptimize(p);
        QI_PaletteDelete(p);
    }
}

// Agreement of our indices with leptonica's on the page, and our range.
void note_agreement(Fixture &f, const PaletteObject *p) {
    PIX *theirs = pixOctcubeQuantFromCmap(f.pix, f.cmap, 8, 6, L_EUCLIDEAN_DISTANCE);
    if (!theirs)
        return;
    memcpy(f.work.data(), f.yuv.data(), f.yuv.size());
    QI_DmriToPaletteColors(f.work.data(), f.width, f.height, 4, p, 1, 0, 0);
    const size_t line = QI_GetLineBWi(2, f.width);
    int64_t same = 0, near = 0;
    for (int32_t y = 0; y < f.height; ++y) {
        l_uint32 *row = pixGetData(theirs) + static_cast<size_t>(pixGetWpl(theirs)) * y;
        for (int32_t x = 0; x < f.width; ++x) {
            int ours = f.work[line * y + x], other = GET_DATA_BYTE(row, x);
            same += ours == other;
            const uint8_t *a = &f.colours[4 * ours], *b = &f.colours[4 * other];
            near += abs(a[0] - b[0]) <= 51 && abs(a[1] - b[1]) <= 51 && abs(a[2] - b[2]) <= 51;
        }
    }
    pixDestroy(&theirs);
    char text[200];
    snprintf(text, sizeof text,
             "palette: %dx%d page, 256 colours; our index = leptonica's on %.1f%% of pixels, within one cube step "
             "on %.1f%%",
             f.width, f.height, 100.0 * static_cast<double>(same) / static_cast<double>(page_pixels(f)),
             100.0 * static_cast<double>(near) / static_cast<double>(page_pixels(f)));
    quill_bench::note("palette/agreement", text);
}

void map_quill(benchmark::State &state, int mode) {
    Fixture *f = quill_bench::ready_or_skip(state, fixture());
    if (!f)
        return;
    PaletteObject *p = QI_PaletteCreate(f->colours.data(), 256, 0, f->cache.c_str());
    if (!p) {
        state.SkipWithError("QI_PaletteCreate failed");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        memcpy(f->work.data(), f->yuv.data(), f->yuv.size());
        state.ResumeTiming();
        QI_DmriToPaletteColors(f->work.data(), f->width, f->height, 4, p, mode, 0, 0);
        benchmark::ClobberMemory();
    }
    static bool noted = false;
    if (mode == 1 && !noted) {
        noted = true;
        note_agreement(*f, p);
    }
    QI_PaletteDelete(p);
    state.SetItemsProcessed(state.iterations() * page_pixels(*f));
}

void map_leptonica(benchmark::State &state) {
    Fixture *f = quill_bench::ready_or_skip(state, fixture());
    if (!f)
        return;
    using Clock = std::chrono::steady_clock;
    for (auto _ : state) {
        Clock::time_point start = Clock::now();
        PIX *out = pixOctcubeQuantFromCmap(f->pix, f->cmap, 8, 6, L_EUCLIDEAN_DISTANCE);
        Clock::time_point whole = Clock::now();
        l_int32 *table = pixcmapToOctcubeLUT(f->cmap, 6, L_EUCLIDEAN_DISTANCE);
        Clock::time_point built = Clock::now();
        lept_free(table);
        pixDestroy(&out);
        double seconds = std::chrono::duration<double>((whole - start) - (built - whole)).count();
        state.SetIterationTime(seconds > 0 ? seconds : 0);
    }
    state.SetItemsProcessed(state.iterations() * page_pixels(*f));
}

void map_memcpy(benchmark::State &state) {
    Fixture *f = quill_bench::ready_or_skip(state, fixture());
    if (!f)
        return;
    for (auto _ : state) {
        memcpy(f->work.data(), f->yuv.data(), f->yuv.size());
        benchmark::ClobberMemory();
    }
}

void build_and_map_quill(benchmark::State &state) {
    Fixture *f = quill_bench::ready_or_skip(state, fixture());
    if (!f)
        return;
    for (auto _ : state) {
        state.PauseTiming();
        memcpy(f->work.data(), f->yuv.data(), f->yuv.size());
        state.ResumeTiming();
        PaletteObject *p = QI_PaletteCreate(f->colours.data(), 256, 0, nullptr);
        QI_DmriToPaletteColors(f->work.data(), f->width, f->height, 4, p, 1, 0, 0);
        QI_PaletteDelete(p);
        benchmark::ClobberMemory();
    }
}

void build_and_map_leptonica(benchmark::State &state) {
    Fixture *f = quill_bench::ready_or_skip(state, fixture());
    if (!f)
        return;
    for (auto _ : state) {
        PIX *out = pixOctcubeQuantFromCmap(f->pix, f->cmap, 8, 6, L_EUCLIDEAN_DISTANCE);
        benchmark::DoNotOptimize(out);
        pixDestroy(&out);
    }
}

int register_benchmarks() {
    auto add = [](const char *name, auto function) {
        return benchmark::RegisterBenchmark(name, function)->Unit(benchmark::kMillisecond);
    };
    add("palette/build/quill", build_quill)->UseRealTime();
    add("palette/build/leptonica", build_leptonica)->UseRealTime();
    add("palette/create/cached", create_cached)->UseRealTime();
    add("palette/map/quill", [](benchmark::State &s) { map_quill(s, 1); })->UseRealTime();
    add("palette/map/quill-dither", [](benchmark::State &s) { map_quill(s, 2); })->UseRealTime();
    add("palette/map/leptonica", map_leptonica)->UseManualTime();
    add("palette/map/memcpy", map_memcpy)->UseRealTime();
    add("palette/build-and-map/quill", build_and_map_quill)->UseRealTime();
    add("palette/build-and-map/leptonica", build_and_map_leptonica)->UseRealTime();
    quill_bench::compare("palette/build/quill", "palette/build/leptonica");
    quill_bench::compare("palette/create/cached", "palette/build/quill");
    quill_bench::compare("palette/map/quill", "palette/map/leptonica");
    quill_bench::compare("palette/map/quill", "palette/map/memcpy");
    quill_bench::compare("palette/map/quill-dither", "palette/map/quill");
    quill_bench::compare("palette/build-and-map/quill", "palette/build-and-map/leptonica");
    return 0;
}

const int registered = register_benchmarks();

} // namespace
