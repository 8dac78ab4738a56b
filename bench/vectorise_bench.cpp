/*
 * vectorise_bench.cpp - `quill vectorise` of the standard drawing page
 * (page.pbm of the standard pages: an A1 drawing at 400 dpi, 13244 x 9356)
 * end to end, against potrace on the same page.
 *
 *  - vectorise/quill: the tool's own vectoriser (tools/quill_vectorise.c,
 *    compiled in) on the page's rows: outlines, stroke graph, merging of
 *    every stroke between its ends and junctions, fitting of centre lines
 *    and area outlines, and the SVG text written to /dev/null (formatted,
 *    not stored). The note gives each stage's share of the time.
 *  - vectorise/potrace: potrace_trace with its default parameters (curve
 *    optimisation on, specks of 2 pixels dropped) of the same page as a
 *    potrace bitmap; potrace outlines and fits curves but writes nothing.
 * The jobs differ: potrace fits the outlines of the black, we find centre
 * lines with widths (a graph of every object first), which is the work a
 * CAD user wants; the ratio says what that costs.
 */
#include "bench/bench_support.h"

#include "quillvec.h"
#include "tools/quill_vectorise.h"

#include <benchmark/benchmark.h>
#if defined(QUILL_HAVE_POTRACE)
#include <potracelib.h>
#endif

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

const char *const kQuill = "vectorise/quill";
const char *const kPotrace = "vectorise/potrace";

struct Fixture {
    const char *error = nullptr;
    int32_t width = 0, height = 0;
    std::vector<uint8_t> rows; // ours: 0 black, rows of QV_GetLineBWi(1, width)
#if defined(QUILL_HAVE_POTRACE)
    std::vector<potrace_word> words;
    potrace_bitmap_t bitmap{};
#endif
};

const char *build(Fixture &fx) {
    const std::string path = std::string(QUILL_BENCH_PAGES) + "/page.pbm";
    FILE *in = fopen(path.c_str(), "rb");
    if (!in)
        return "cannot open page.pbm (build the bench_pages target)";
    std::vector<uint8_t> pbm;
    uint8_t piece[1 << 16];
    size_t got;
    while ((got = fread(piece, 1, sizeof piece, in)) > 0)
        pbm.insert(pbm.end(), piece, piece + got);
    fclose(in);
    int w = 0, h = 0, used = 0;
    if (pbm.size() < 8 || sscanf(reinterpret_cast<const char *>(pbm.data()), "P4 %d %d%n", &w, &h, &used) != 2 ||
        w < 1 || h < 1)
        return "page.pbm is not a raw PBM";
    const size_t at = static_cast<size_t>(used) + 1, pbmLine = (static_cast<size_t>(w) + 7) / 8;
    if (pbm.size() < at + pbmLine * static_cast<size_t>(h))
        return "page.pbm is truncated";
    fx.width = w, fx.height = h;
    const size_t line = QV_GetLineBWi(1, w);
    fx.rows.assign(line * static_cast<size_t>(h), 0xFF);
#if defined(QUILL_HAVE_POTRACE)
    const size_t perWord = 8 * sizeof(potrace_word);
    const size_t wordsPerLine = (static_cast<size_t>(w) + perWord - 1) / perWord;
    fx.words.assign(wordsPerLine * static_cast<size_t>(h), 0);
#endif
    for (int32_t y = 0; y < h; ++y) {
        const uint8_t *source = pbm.data() + at + static_cast<size_t>(y) * pbmLine;
        for (size_t i = 0; i < pbmLine; ++i) // PBM: 1 black; ours: 0 black
            fx.rows[static_cast<size_t>(y) * line + i] = static_cast<uint8_t>(~source[i]);
#if defined(QUILL_HAVE_POTRACE)
        for (int32_t x = 0; x < w; ++x)
            if ((source[x >> 3] >> (7 - (x & 7))) & 1)
                fx.words[static_cast<size_t>(y) * wordsPerLine + static_cast<size_t>(x) / perWord] |=
                    potrace_word{1} << (perWord - 1 - static_cast<size_t>(x) % perWord);
#endif
    }
#if defined(QUILL_HAVE_POTRACE)
    fx.bitmap.w = w;
    fx.bitmap.h = h;
    fx.bitmap.dy = static_cast<int>(wordsPerLine);
    fx.bitmap.map = fx.words.data();
#endif
    return nullptr;
}

Fixture &fixture() { return quill_bench::lazy_fixture<Fixture, build>(); }

void quill_vectorise(benchmark::State &state) {
    Fixture *fx = quill_bench::ready_or_skip(state, fixture());
    if (!fx)
        return;
    QuillVectoriseOptions options;
    quill_vectorise_defaults(&options);
    QuillVectoriseStats total{};
    int64_t runs = 0;
    for (auto _ : state) {
        FILE *out = fopen("/dev/null", "w");
        QuillVectoriseStats st{};
        const int ok = out && quill_vectorise_raster(fx->rows.data(), fx->width, fx->height, &options, out, nullptr, &st);
        if (out)
            fclose(out);
        if (!ok) {
            state.SkipWithError("quill_vectorise_raster failed");
            return;
        }
        total.outlines += st.outlines, total.graph += st.graph, total.merging += st.merging;
        total.fitting += st.fitting, total.writing += st.writing;
        total.strokes = st.strokes, total.areas = st.areas;
        ++runs;
    }
    const double sum = total.outlines + total.graph + total.merging + total.fitting + total.writing;
    if (runs == 0 || sum <= 0)
        return;
    char line[400];
    snprintf(line, sizeof line,
             "vectorise/quill: %ld strokes, %ld areas; stage shares: outlines %.1f %%, graph %.1f %%, merging %.1f %%, "
             "fitting %.1f %%, writing %.1f %% (of %.3f s a run)",
             total.strokes, total.areas, 100 * total.outlines / sum, 100 * total.graph / sum, 100 * total.merging / sum,
             100 * total.fitting / sum, 100 * total.writing / sum, sum / static_cast<double>(runs));
    quill_bench::note(kQuill, line);
}

#if defined(QUILL_HAVE_POTRACE)
void potrace_vectorise(benchmark::State &state) {
    Fixture *fx = quill_bench::ready_or_skip(state, fixture());
    if (!fx)
        return;
    potrace_param_t *param = potrace_param_default();
    if (!param) {
        state.SkipWithError("potrace_param_default failed");
        return;
    }
    long paths = 0;
    for (auto _ : state) {
        potrace_state_t *traced = potrace_trace(param, &fx->bitmap);
        if (!traced || traced->status != POTRACE_STATUS_OK) {
            potrace_state_free(traced);
            state.SkipWithError("potrace_trace failed");
            break;
        }
        paths = 0;
        for (const potrace_path_t *p = traced->plist; p; p = p->next)
            ++paths;
        potrace_state_free(traced);
    }
    potrace_param_free(param);
    char line[160];
    snprintf(line, sizeof line, "vectorise/potrace: default parameters, %ld paths (outlines with curves)", paths);
    quill_bench::note(kPotrace, line);
}
#endif

int register_benchmarks() {
    benchmark::RegisterBenchmark(kQuill, quill_vectorise)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
#if defined(QUILL_HAVE_POTRACE)
    benchmark::RegisterBenchmark(kPotrace, potrace_vectorise)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Iterations(3);
    quill_bench::compare(kQuill, kPotrace);
    quill_bench::note("vectorise/goal", "vectorise: goal: vectorise/quill at most 0.50 x vectorise/potrace");
#endif
    return 0;
}

const int registered = register_benchmarks();

} // namespace
