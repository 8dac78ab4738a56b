/*
 * graph_fuzz - turns the fuzz bytes into a small bilevel raster, traces it
 * (QV_BWDmriOutline with the object list) and builds its stroke graph at
 * several widths. Every build must succeed and pass the library's own
 * checker (graph_is_valid: corners on the object's boundary and counter-
 * clockwise, symmetric neighbour links, every edge linked to a segment,
 * marked as a cap or left without one, segments pairing boundary points);
 * the triangulation under the first objects of up to 300 retained points
 * must be Delaunay (brute force). A violation aborts.
 *
 * Input: byte 0 picks the widths (0, 1 + byte % 12, and 9 + byte / 16);
 * bytes 1 and 2 give the raster width, 1 + (little-endian value % 160);
 * the rest are rows of QV_GetLineBWi(1, width) bytes, as many whole rows as
 * there are (at most 160).
 */
#include "quillvec.h"
#include "vector/graph/graph_internal.h"

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

namespace gr = quill::graph;

namespace {

void require(bool condition, const char *why) {
    if (!condition) {
        fprintf(stderr, "graph_fuzz: %s\n", why);
        abort();
    }
}

// The Delaunay check of one object's retained points.
void check_triangulation(const int32_t *object, const void *contours) {
    uint32_t points, nc;
    require(gr::measure_object(object, contours, points, nc), "traced object refused");
    if (points > 1200)
        return;
    std::vector<int32_t> x(points + 1), y(points + 1);
    const int64_t kept = gr::retained_points(object, contours, x.data(), y.data(), points + 1);
    require(kept >= 0, "retained points refused");
    x.resize(size_t(kept)), y.resize(size_t(kept));
    const uint32_t n = static_cast<uint32_t>(x.size());
    if (n < 3 || n > 300)
        return;
    std::vector<uint32_t> start(n), cnt(n);
    std::vector<int32_t> entries(6 * size_t{n} + 6);
    gr::Lists l;
    l.start = start.data(), l.count = cnt.data(), l.entries = entries.data();
    require(gr::triangulate_points(x.data(), y.data(), n, l), "retained points coincide");
    const char *why = "";
    require(gr::delaunay_is_valid(x.data(), y.data(), n, l, &why), why);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3 || size > (1u << 14))
        return 0;
    const int32_t width = 1 + static_cast<int32_t>((data[1] | data[2] << 8) % 160);
    const size_t line = QV_GetLineBWi(1, width);
    size_t rows = (size - 3) / line;
    rows = rows > 160 ? 160 : rows;
    const int32_t height = static_cast<int32_t>(rows);
    if (height == 0)
        return 0;
    std::vector<uint8_t> raster(static_cast<size_t>(height + 2) * QV_GetLineBWi(1, width + 2), 0xFF);
    memcpy(raster.data(), data + 3, rows * line);
    void *contours = nullptr, *objects = nullptr;
    const int32_t nObj = QV_BWDmriOutline(raster.data(), width, height, &contours, &objects);
    require(nObj >= 0, "tracer failed");
    if (nObj == 0)
        return 0;
    const int32_t *list = static_cast<const int32_t *>(objects);
    const int32_t widths[3] = {0, 1 + data[0] % 12, 9 + data[0] / 16};
    for (int32_t w : widths) {
        void **graph = nullptr;
        require(QV_MakeGraph(list, contours, nObj, w, &graph) == 1, "graph build failed");
        const char *why = "";
        require(gr::graph_is_valid(graph, list, contours, nObj, &why), why);
        QV_FreeGraphData(graph, nObj);
    }
    const int32_t *object = list;
    for (int32_t i = 0; i < nObj && i < 4; ++i, object += 1 + object[0])
        check_triangulation(object, contours);
    qs_free(&contours);
    qs_free(&objects);
    return 0;
}
