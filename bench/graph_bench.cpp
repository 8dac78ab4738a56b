/*
 * graph_bench.cpp - the stroke graph of the standard drawing page (page.pbm
 * of the standard pages: 13244 x 9356, 250,692 objects) against two peers'
 * Delaunay triangulations of the same page's points.
 *
 *  - graph/quill: QV_MakeGraph of the page's outlines (traced once, outside
 *    the timing) at width 5, then QV_FreeGraphData: the whole build, two
 *    passes, triangulation, pruning, linking and tracing of every object.
 *  - graph/cgal: CGAL's Delaunay_triangulation_2 with the Epick kernel
 *    (exact predicates, inexact constructions) of the page's quantised
 *    boundary points (QV_QuantPolyData of every object, about 4.3 million
 *    points; made once, not timed), inserted as one range (CGAL sorts it
 *    spatially first). One triangulation of all points, where we make one
 *    per object: the work is comparable (the same points), CGAL's point
 *    location is shared across objects.
 *  - graph/opencv: cv::Subdiv2D of the contour corner points (3.9 million;
 *    Subdiv2D takes float points and locates each from scratch), which is
 *    what a user of OpenCV would reach for.
 * The notes give the graph's memory (node and segment blocks and the
 * result array) against its input's (the contour buffer and object list).
 */
#include "bench/bench_support.h"

#include "quillvec.h"

#include <benchmark/benchmark.h>
#include <CGAL/Delaunay_triangulation_2.h>
#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <opencv2/imgproc.hpp>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

using Kernel = CGAL::Exact_predicates_inexact_constructions_kernel;
using Delaunay = CGAL::Delaunay_triangulation_2<Kernel>;

const char *const kQuill = "graph/quill";
const char *const kCgal = "graph/cgal";
const char *const kOpenCV = "graph/opencv";

struct Fixture {
    const char *error = nullptr;
    int32_t width = 0, height = 0;
    void *contours = nullptr;
    void *objects = nullptr;
    int32_t nObj = 0;
    size_t inputBytes = 0;
    std::vector<Kernel::Point_2> quantised;
    std::vector<cv::Point2f> corners;
};

// The page as a bilevel raster in our layout, read from the raw PBM.
const char *load_raster(Fixture &fx, std::vector<uint8_t> &raster) {
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
    size_t at = 2;
    int32_t *fields[2] = {&fx.width, &fx.height};
    if (pbm.size() < 8 || pbm[0] != 'P' || pbm[1] != '4')
        return "page.pbm is not a raw PBM";
    for (int32_t *field : fields) {
        while (at < pbm.size() && (pbm[at] == ' ' || pbm[at] == '\n' || pbm[at] == '\t' || pbm[at] == '\r' || pbm[at] == '#')) {
            if (pbm[at] == '#')
                while (at < pbm.size() && pbm[at] != '\n')
                    ++at;
            else
                ++at;
        }
        int64_t v = 0;
        while (at < pbm.size() && pbm[at] >= '0' && pbm[at] <= '9' && v < 100000)
            v = v * 10 + (pbm[at++] - '0');
        *field = static_cast<int32_t>(v);
    }
    ++at;
    const size_t pbmLine = (static_cast<size_t>(fx.width) + 7) / 8, line = QV_GetLineBWi(1, fx.width);
    if (fx.width <= 0 || fx.height <= 0 || pbm.size() - at < pbmLine * static_cast<size_t>(fx.height))
        return "page.pbm is truncated";
    raster.assign(static_cast<size_t>(fx.height + 2) * QV_GetLineBWi(1, fx.width + 2), 0xFF);
    for (int32_t y = 0; y < fx.height; ++y)
        for (size_t i = 0; i < pbmLine; ++i) // PBM: 1 black; ours: 0 black
            raster[static_cast<size_t>(y) * line + i] = static_cast<uint8_t>(~pbm[at + static_cast<size_t>(y) * pbmLine + i]);
    return nullptr;
}

const char *build(Fixture &fx) {
    std::vector<uint8_t> raster;
    if (const char *error = load_raster(fx, raster))
        return error;
    fx.nObj = QV_BWDmriOutline(raster.data(), fx.width, fx.height, &fx.contours, &fx.objects);
    if (fx.nObj <= 0)
        return "the page has no outlines";
    // The peers' points: every object's quantised points, and its corners.
    const int32_t *object = static_cast<const int32_t *>(fx.objects);
    const uint8_t *base = static_cast<const uint8_t *>(fx.contours);
    size_t contourWords = 0, listWords = 0;
    std::vector<uint32_t> points;
    std::vector<int32_t> counts;
    for (int32_t i = 0; i < fx.nObj; ++i) {
        uint16_t extent;
        int32_t steps;
        QV_GetPolyObjParms(object, fx.contours, &extent, &steps);
        points.resize(static_cast<size_t>(steps));
        counts.resize(static_cast<size_t>(object[0]));
        QV_QuantPolyData(object, fx.contours, points.data(), counts.data());
        for (uint32_t p : points)
            fx.quantised.emplace_back(p & 0xFFFF, p >> 16);
        for (int32_t c = 0; c < object[0]; ++c) {
            uint32_t n;
            memcpy(&n, base + object[1 + c], 4);
            contourWords += 1 + n;
            for (uint32_t k = 0; k < n; ++k) {
                uint32_t p;
                memcpy(&p, base + object[1 + c] + 4 + 4 * k, 4);
                fx.corners.emplace_back(static_cast<float>(p & 0xFFFF), static_cast<float>(p >> 16));
            }
        }
        listWords += 1 + static_cast<size_t>(object[0]);
        object += 1 + object[0];
    }
    fx.inputBytes = 4 * (contourWords + listWords);
    return nullptr;
}

Fixture &fixture() { return quill_bench::lazy_fixture<Fixture, build>(); }
Fixture *ready(benchmark::State &state) { return quill_bench::ready_or_skip(state, fixture()); }

// The bytes of a graph's blocks and array.
size_t graph_bytes(void **graph, int32_t nObj, size_t &nodes, size_t &segments) {
    size_t total = sizeof(void *) * 2 * static_cast<size_t>(nObj);
    nodes = segments = 0;
    for (int32_t i = 0; i < nObj; ++i) {
        if (graph[2 * i]) {
            uint32_t n;
            memcpy(&n, graph[2 * i], 4);
            total += 4 + sizeof(QV_GraphNode) * n;
            nodes += n;
        }
        if (const uint8_t *s = static_cast<const uint8_t *>(graph[2 * i + 1])) {
            uint32_t n;
            memcpy(&n, s, 4);
            size_t at = 4;
            for (uint32_t k = 0; k < n; ++k) {
                uint32_t count;
                memcpy(&count, s + at, 4);
                at += 4 + 8 * static_cast<size_t>(count & 0x3FFFFFFF);
            }
            total += at;
            segments += n;
        }
    }
    return total;
}

void quill_graph(benchmark::State &state) {
    Fixture *fx = ready(state);
    if (!fx)
        return;
    for (auto _ : state) {
        void **graph = nullptr;
        if (QV_MakeGraph(static_cast<const int32_t *>(fx->objects), fx->contours, fx->nObj, 5, &graph) != 1) {
            state.SkipWithError("QV_MakeGraph failed");
            return;
        }
        state.PauseTiming();
        size_t nodes, segments;
        const size_t bytes = graph_bytes(graph, fx->nObj, nodes, segments);
        char line[256];
        snprintf(line, sizeof line,
                 "graph/quill: %zu nodes, %zu segments; graph %.1f MB for input %.1f MB (%.2f x)", nodes, segments,
                 bytes / 1e6, fx->inputBytes / 1e6, static_cast<double>(bytes) / static_cast<double>(fx->inputBytes));
        quill_bench::note("graph/quill", line);
        state.ResumeTiming();
        QV_FreeGraphData(graph, fx->nObj);
    }
}

void cgal_graph(benchmark::State &state) {
    Fixture *fx = ready(state);
    if (!fx)
        return;
    for (auto _ : state) {
        Delaunay dt;
        dt.insert(fx->quantised.begin(), fx->quantised.end());
        benchmark::DoNotOptimize(dt.number_of_faces());
        state.PauseTiming();
        char line[160];
        snprintf(line, sizeof line, "graph/cgal: %zu points, %zu vertices, %zu faces", fx->quantised.size(),
                 static_cast<size_t>(dt.number_of_vertices()), static_cast<size_t>(dt.number_of_faces()));
        quill_bench::note("graph/cgal", line);
        state.ResumeTiming();
    }
}

void opencv_graph(benchmark::State &state) {
    Fixture *fx = ready(state);
    if (!fx)
        return;
    for (auto _ : state) {
        cv::Subdiv2D subdiv(cv::Rect(0, 0, fx->width + 1, fx->height + 1));
        subdiv.insert(fx->corners);
        benchmark::DoNotOptimize(&subdiv);
    }
    char line[160];
    snprintf(line, sizeof line, "graph/opencv: %zu corner points", fx->corners.size());
    quill_bench::note("graph/opencv", line);
}

int register_benchmarks() {
    auto page = [](const char *name, void (*function)(benchmark::State &)) {
        return benchmark::RegisterBenchmark(name, function)->Unit(benchmark::kMillisecond)->UseRealTime();
    };
    page(kQuill, quill_graph)->Iterations(5);
    page(kCgal, cgal_graph)->Iterations(3);
    page(kOpenCV, opencv_graph)->Iterations(1);
    quill_bench::compare(kCgal, kQuill);
    quill_bench::compare(kOpenCV, kQuill);
    quill_bench::note("graph/goal", "graph: goal: graph/cgal at least 2.00 x graph/quill");
    return 0;
}

const int registered = register_benchmarks();

} // namespace
