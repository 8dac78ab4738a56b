/*
 * outline_bench.cpp - tracing the outlines of the standard drawing page
 * (page.pbm of the standard pages: 13244 x 9356, 1 = black in PBM) against
 * OpenCV's findContours and potrace.
 *
 *  - outline/memcpy: one memcpy of the framed raster block (15.5 MB) into
 *    the working block: the floor, and part of each of our iterations,
 *    since QV_BWDmriOutline reworks its raster in place (the working block
 *    is faulted in before the timing).
 *  - outline/quill/contours: memcpy of the page into the working block,
 *    then QV_BWDmriOutline without an object list, and qs_free of the
 *    contour buffer.
 *  - outline/quill/objects: the same with the object list (what the graph
 *    builder needs), both blocks freed.
 *  - outline/opencv: cv::findContours(RETR_CCOMP, CHAIN_APPROX_SIMPLE) on
 *    the page unpacked to one byte a pixel (black 255, white 0; made once,
 *    not timed), keeping the hierarchy: the two-level outer/hole grouping is
 *    the nearest to our object list, and SIMPLE keeps only the corners of
 *    straight runs (diagonal runs too, which we do not have). OpenCV does
 *    not change its input since 3.2, so it needs no copy.
 *  - outline/potrace: potrace_trace of the page as a potrace bitmap (made
 *    once) with turdsize 0 (every path kept, like ours) and curve
 *    optimisation off. potrace copies the bitmap, decomposes it into paths
 *    and then fits polygons and curves to them, which is more work than a
 *    decomposition; its API offers no way to stop after the paths, so the
 *    ratio is an upper bound of what its decomposition costs. Built only
 *    when libpotrace is found.
 *
 * Checks outside the timing (a failure fails the run): the number of our
 * objects equals OpenCV's count of 4-connected black components
 * (connectedComponents), and our holes the number of 8-connected white
 * components that do not touch the page's edge (its components of the
 * inverted page, those with a pixel on the edge left out). The notes give
 * the counts of contours and corners of each tracer: OpenCV joins black
 * pixels that meet at a corner (8-connected objects), and potrace decides
 * such corners by its turn policy, so their counts differ from ours.
 */
#include "bench/bench_support.h"

#include "quillvec.h"

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#if defined(QUILL_HAVE_POTRACE)
#include <potracelib.h>
#endif

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

const char *const kMemcpy = "outline/memcpy";
const char *const kContours = "outline/quill/contours";
const char *const kObjects = "outline/quill/objects";
const char *const kOpenCV = "outline/opencv";
const char *const kPotrace = "outline/potrace";

std::string page_path() { return std::string(QUILL_BENCH_PAGES) + "/page.pbm"; }

struct Fixture {
    const char *error = nullptr;
    int32_t width = 0, height = 0;
    std::vector<uint8_t> framed;  // the page in our layout, in a block the tracer may frame
    std::vector<uint8_t> working; // where each iteration copies it
    cv::Mat bytes;                // the page unpacked, black 255
#if defined(QUILL_HAVE_POTRACE)
    std::vector<potrace_word> words;
    potrace_bitmap_t bitmap{};
#endif
};

// Reads a raw PBM (P4): "P4", whitespace and comments, width, height, one
// whitespace byte, rows of ceil(width / 8) bytes. Returns an error or null.
const char *load_page(Fixture &fx, std::vector<uint8_t> &pbm, size_t &at) {
    FILE *in = fopen(page_path().c_str(), "rb");
    if (!in)
        return "cannot open page.pbm (build the bench_pages target)";
    uint8_t piece[1 << 16];
    size_t got;
    while ((got = fread(piece, 1, sizeof piece, in)) > 0)
        pbm.insert(pbm.end(), piece, piece + got);
    fclose(in);
    if (pbm.size() < 8 || pbm[0] != 'P' || pbm[1] != '4')
        return "page.pbm is not a raw PBM";
    at = 2;
    int32_t *fields[2] = {&fx.width, &fx.height};
    for (int32_t *field : fields) {
        for (;;) {
            while (at < pbm.size() && (pbm[at] == ' ' || pbm[at] == '\t' || pbm[at] == '\n' || pbm[at] == '\r'))
                ++at;
            if (at < pbm.size() && pbm[at] == '#') {
                while (at < pbm.size() && pbm[at] != '\n')
                    ++at;
                continue;
            }
            break;
        }
        int64_t v = 0;
        while (at < pbm.size() && pbm[at] >= '0' && pbm[at] <= '9' && v < 100000)
            v = v * 10 + (pbm[at++] - '0');
        *field = static_cast<int32_t>(v);
    }
    ++at; // the whitespace byte that ends the header
    if (fx.width < 1 || fx.height < 1 || fx.width > QV_OUTLINE_MAX_SIDE || fx.height > QV_OUTLINE_MAX_SIDE ||
        pbm.size() - at < static_cast<size_t>((fx.width + 7) / 8) * static_cast<size_t>(fx.height))
        return "bad or short page.pbm";
    return nullptr;
}

const char *build_fixture(Fixture &fx) {
    std::vector<uint8_t> pbm;
    size_t at = 0;
    if (const char *error = load_page(fx, pbm, at))
        return error;
    const size_t pbmLine = (static_cast<size_t>(fx.width) + 7) / 8;
    const size_t line = QV_GetLineBWi(1, fx.width);
    fx.framed.assign(static_cast<size_t>(fx.height + 2) * QV_GetLineBWi(1, fx.width + 2), 0xFF);
    fx.working.assign(fx.framed.size(), 0);
    fx.bytes = cv::Mat(fx.height, fx.width, CV_8UC1);
#if defined(QUILL_HAVE_POTRACE)
    const size_t perWord = 8 * sizeof(potrace_word);
    const size_t wordsPerLine = (static_cast<size_t>(fx.width) + perWord - 1) / perWord;
    fx.words.assign(wordsPerLine * static_cast<size_t>(fx.height), 0);
#endif
    for (int32_t y = 0; y < fx.height; ++y) {
        const uint8_t *source = pbm.data() + at + static_cast<size_t>(y) * pbmLine;
        uint8_t *ours = fx.framed.data() + static_cast<size_t>(y) * line;
        uint8_t *unpacked = fx.bytes.ptr<uint8_t>(y);
        for (int32_t x = 0; x < fx.width; ++x) {
            const bool black = (source[x >> 3] >> (7 - (x & 7))) & 1;
            if (black)
                ours[x >> 3] = static_cast<uint8_t>(ours[x >> 3] & ~(0x80u >> (x & 7)));
            unpacked[x] = black ? 255 : 0;
#if defined(QUILL_HAVE_POTRACE)
            if (black)
                fx.words[static_cast<size_t>(y) * wordsPerLine + x / perWord] |=
                    potrace_word{1} << (perWord - 1 - x % perWord);
#endif
        }
    }
#if defined(QUILL_HAVE_POTRACE)
    fx.bitmap.w = fx.width;
    fx.bitmap.h = fx.height;
    fx.bitmap.dy = static_cast<int>(wordsPerLine);
    fx.bitmap.map = fx.words.data();
#endif
    return nullptr;
}

Fixture &fixture() { return quill_bench::lazy_fixture<Fixture, build_fixture>(); }

Fixture *ready(benchmark::State &state) { return quill_bench::ready_or_skip(state, fixture()); }

void set_rate(benchmark::State &state, const Fixture &fx) {
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(fx.framed.size()));
}

void copy_page(benchmark::State &state) {
    Fixture *fx = ready(state);
    if (!fx)
        return;
    for (auto _ : state) {
        memcpy(fx->working.data(), fx->framed.data(), fx->framed.size());
        benchmark::ClobberMemory();
    }
    set_rate(state, *fx);
}

// What one tracing found, for the notes.
struct Counts {
    int64_t contours = 0, holes = 0, corners = 0, objects = 0;
};

// Walks a contour buffer of `contours` contours.
Counts count_contours(const void *buffer, int64_t contours) {
    Counts c;
    const uint8_t *at = static_cast<const uint8_t *>(buffer);
    for (int64_t i = 0; i < contours; ++i) {
        uint32_t word;
        memcpy(&word, at, 4);
        c.holes += (word & QV_HOLE_FLAG) != 0;
        c.corners += word & ~QV_HOLE_FLAG;
        at += 4 + 4 * static_cast<size_t>(word & ~QV_HOLE_FLAG);
    }
    c.contours = contours;
    return c;
}

// The 4-connected black components and the 8-connected white components
// that do not reach the edge, counted by OpenCV.
const char *check_against_components(const Fixture &fx, const Counts &ours) {
    cv::Mat labels;
    const int black = cv::connectedComponents(fx.bytes, labels, 4, CV_32S) - 1;
    cv::Mat white = 255 - fx.bytes;
    const int whiteLabels = cv::connectedComponents(white, labels, 8, CV_32S);
    std::vector<bool> touches(static_cast<size_t>(whiteLabels), false);
    for (int32_t x = 0; x < fx.width; ++x) {
        touches[labels.at<int>(0, x)] = true;
        touches[labels.at<int>(fx.height - 1, x)] = true;
    }
    for (int32_t y = 0; y < fx.height; ++y) {
        touches[labels.at<int>(y, 0)] = true;
        touches[labels.at<int>(y, fx.width - 1)] = true;
    }
    int64_t enclosed = 0;
    for (int label = 1; label < whiteLabels; ++label)
        enclosed += !touches[label];
    char line[240];
    snprintf(line, sizeof line,
             "outline: OpenCV's connectedComponents: %d black (4-connected), %lld enclosed white (8-connected)",
             black, static_cast<long long>(enclosed));
    quill_bench::note("outline/components", line);
    if (ours.objects != black || ours.holes != enclosed)
        return "our objects or holes differ from the components that OpenCV counts";
    return nullptr;
}

void trace_page(benchmark::State &state, bool withObjects) {
    Fixture *fx = ready(state);
    if (!fx)
        return;
    int32_t result = 0;
    for (auto _ : state) {
        memcpy(fx->working.data(), fx->framed.data(), fx->framed.size());
        void *contours = nullptr, *objects = nullptr;
        result = QV_BWDmriOutline(fx->working.data(), fx->width, fx->height, &contours,
                                  withObjects ? &objects : nullptr);
        if (result <= 0) {
            state.SkipWithError("QV_BWDmriOutline failed");
            break;
        }
        qs_free(&contours);
        qs_free(&objects);
    }
    set_rate(state, *fx);
    if (result <= 0)
        return;
    // Untimed: the counts, and the check against OpenCV's components.
    memcpy(fx->working.data(), fx->framed.data(), fx->framed.size());
    void *contours = nullptr;
    const int32_t plain = QV_BWDmriOutline(fx->working.data(), fx->width, fx->height, &contours, nullptr);
    Counts c = count_contours(contours, plain);
    qs_free(&contours);
    c.objects = c.contours - c.holes;
    if (withObjects && result != c.objects) {
        state.SkipWithError("the object list does not have one object per outer contour");
        return;
    }
    char line[240];
    snprintf(line, sizeof line,
             "outline: page %d x %d: %lld contours (%lld objects, %lld holes), %lld corners", fx->width,
             fx->height, static_cast<long long>(c.contours), static_cast<long long>(c.objects),
             static_cast<long long>(c.holes), static_cast<long long>(c.corners));
    quill_bench::note("outline/quill", line);
    if (withObjects)
        if (const char *error = check_against_components(*fx, c))
            state.SkipWithError(error);
}

void opencv_page(benchmark::State &state) {
    Fixture *fx = ready(state);
    if (!fx)
        return;
    std::vector<std::vector<cv::Point>> contours;
    std::vector<cv::Vec4i> hierarchy;
    for (auto _ : state) {
        contours.clear();
        hierarchy.clear();
        cv::findContours(fx->bytes, contours, hierarchy, cv::RETR_CCOMP, cv::CHAIN_APPROX_SIMPLE);
        benchmark::DoNotOptimize(contours.data());
    }
    set_rate(state, *fx);
    int64_t holes = 0, points = 0;
    for (size_t i = 0; i < contours.size(); ++i) {
        holes += hierarchy[i][3] >= 0; // a contour with a parent is a hole in CCOMP
        points += static_cast<int64_t>(contours[i].size());
    }
    char line[240];
    snprintf(line, sizeof line, "outline: OpenCV: %zu contours (%lld holes), %lld points (8-connected objects)",
             contours.size(), static_cast<long long>(holes), static_cast<long long>(points));
    quill_bench::note("outline/opencv", line);
}

#if defined(QUILL_HAVE_POTRACE)
void potrace_page(benchmark::State &state) {
    Fixture *fx = ready(state);
    if (!fx)
        return;
    potrace_param_t *param = potrace_param_default();
    if (!param) {
        state.SkipWithError("potrace_param_default failed");
        return;
    }
    param->turdsize = 0;
    param->opticurve = 0;
    int64_t paths = 0, holes = 0;
    for (auto _ : state) {
        potrace_state_t *traced = potrace_trace(param, &fx->bitmap);
        if (!traced || traced->status != POTRACE_STATUS_OK) {
            potrace_state_free(traced);
            state.SkipWithError("potrace_trace failed");
            break;
        }
        paths = holes = 0;
        for (const potrace_path_t *p = traced->plist; p; p = p->next) {
            ++paths;
            holes += p->sign == '-';
        }
        potrace_state_free(traced);
    }
    potrace_param_free(param);
    set_rate(state, *fx);
    char line[240];
    snprintf(line, sizeof line,
             "outline: potrace (turdsize 0, no curve optimisation; includes its curve fitting): %lld paths (%lld "
             "holes)",
             static_cast<long long>(paths), static_cast<long long>(holes));
    quill_bench::note("outline/potrace", line);
}
#endif

int register_benchmarks() {
    auto page = [](const char *name, auto function) {
        benchmark::RegisterBenchmark(name, function)->Unit(benchmark::kMillisecond)->UseRealTime();
    };
    page(kMemcpy, copy_page);
    page(kContours, [](benchmark::State &s) { trace_page(s, false); });
    page(kObjects, [](benchmark::State &s) { trace_page(s, true); });
    page(kOpenCV, opencv_page);
#if defined(QUILL_HAVE_POTRACE)
    page(kPotrace, potrace_page);
#endif
    // The peers are listed as multiples of our times: 3.00 x means three
    // times as long as ours.
    quill_bench::compare(kContours, kMemcpy);
    quill_bench::compare(kObjects, kMemcpy);
    quill_bench::compare(kObjects, kContours);
    quill_bench::compare(kOpenCV, kObjects);
    quill_bench::compare(kOpenCV, kContours);
#if defined(QUILL_HAVE_POTRACE)
    quill_bench::compare(kPotrace, kObjects);
    quill_bench::compare(kPotrace, kContours);
#endif
    quill_bench::note("outline/goal", "outline: goal: outline/opencv at least 3.00 x outline/quill/objects");
    return 0;
}

const int registered = register_benchmarks();

} // namespace
