/*
 * graph_support.h - what the stroke-graph tests share: a raster traced and
 * turned into a graph, checked by the library's own validity checker and
 * taken apart into plain vectors; the shape of each object's node graph
 * (degrees, caps, components, cycles) as a reader would describe it.
 */
#ifndef QUILL_TESTS_GRAPH_SUPPORT_H
#define QUILL_TESTS_GRAPH_SUPPORT_H

#include "outline_support.h"
#include "vector/graph/graph_internal.h"

#include <gtest/gtest.h>

#include <string.h>

#include <vector>

namespace quill_test {

struct Element {
    Pt a, b;
};

struct ObjectGraph {
    bool present = false; // the segment slot is not null
    std::vector<QV_GraphNode> nodes;
    std::vector<std::vector<Element>> segments;
    std::vector<uint32_t> segmentOffsets;
};

struct GraphResult {
    int32_t result = 0;
    std::vector<ObjectGraph> objects;
};

inline Pt to_pt(uint32_t w) { return Pt{static_cast<int32_t>(w & 0xFFFF), static_cast<int32_t>(w >> 16)}; }

// Takes a graph apart (the blocks stay the caller's).
inline std::vector<ObjectGraph> take_apart(void **graph, int32_t nObj) {
    std::vector<ObjectGraph> out(static_cast<size_t>(nObj));
    for (int32_t i = 0; i < nObj; ++i) {
        ObjectGraph &g = out[static_cast<size_t>(i)];
        const uint8_t *nodes = static_cast<const uint8_t *>(graph[2 * i]);
        const uint8_t *segs = static_cast<const uint8_t *>(graph[2 * i + 1]);
        g.present = segs != nullptr;
        if (nodes) {
            uint32_t n;
            memcpy(&n, nodes, 4);
            g.nodes.resize(n);
            memcpy(g.nodes.data(), nodes + 4, sizeof(QV_GraphNode) * n);
        }
        if (segs) {
            uint32_t n;
            memcpy(&n, segs, 4);
            size_t at = 4;
            for (uint32_t s = 0; s < n; ++s) {
                uint32_t count;
                memcpy(&count, segs + at, 4);
                g.segmentOffsets.push_back(static_cast<uint32_t>(at - 4));
                std::vector<Element> elements(count & 0x3FFFFFFF);
                for (auto &e : elements) {
                    uint32_t w[2];
                    at += 4;
                    memcpy(w, segs + at, 8);
                    at += 4;
                    e = {to_pt(w[0]), to_pt(w[1])};
                }
                at += 4;
                g.segments.push_back(elements);
            }
        }
    }
    return out;
}

// Traces the raster, builds its graph at `width`, checks it with
// graph_is_valid and takes it apart.
inline GraphResult graph_of(const BitRaster &r, int32_t width) {
    GraphResult out;
    std::vector<uint8_t> bytes = r.bytes;
    void *contours = nullptr, *objects = nullptr;
    const int32_t nObj = QV_BWDmriOutline(bytes.data(), r.width, r.height, &contours, &objects);
    if (nObj <= 0)
        return out;
    void **graph = nullptr;
    out.result = QV_MakeGraph(static_cast<const int32_t *>(objects), contours, nObj, width, &graph);
    if (out.result == 1) {
        const char *why = "";
        EXPECT_TRUE(quill::graph::graph_is_valid(graph, static_cast<const int32_t *>(objects), contours, nObj, &why))
            << why;
        out.objects = take_apart(graph, nObj);
        QV_FreeGraphData(graph, nObj);
    }
    qs_free(&contours);
    qs_free(&objects);
    return out;
}

// The node graph of one object as a reader sees it.
struct Shape {
    size_t nodes = 0;
    size_t junctions = 0; // nodes joined to three other nodes
    size_t caps = 0;      // NBR_CAP edges
    size_t components = 0;
    size_t links = 0;     // node-to-node links, each counted once
    bool operator==(const Shape &o) const {
        return nodes == o.nodes && junctions == o.junctions && caps == o.caps && components == o.components;
    }
};

inline Shape shape_of(const ObjectGraph &g) {
    Shape s;
    s.nodes = g.nodes.size();
    std::vector<size_t> parent(s.nodes);
    for (size_t i = 0; i < s.nodes; ++i)
        parent[i] = i;
    auto root = [&](size_t i) {
        while (parent[i] != i)
            i = parent[i] = parent[parent[i]];
        return i;
    };
    for (size_t i = 0; i < s.nodes; ++i) {
        int degree = 0;
        for (int j = 0; j < 3; ++j) {
            const int32_t nb = g.nodes[i].neighbour[j];
            s.caps += nb == NBR_CAP;
            if (nb < 0)
                continue;
            ++degree;
            if (static_cast<size_t>(nb) >= i)
                ++s.links;
            parent[root(i)] = root(static_cast<size_t>(nb));
        }
        s.junctions += degree == 3;
    }
    for (size_t i = 0; i < s.nodes; ++i)
        s.components += root(i) == i;
    return s;
}

// Draws a bar of `thickness` pixels from (x0, y0) to (x1, y1): every pixel
// whose centre lies within thickness / 2 of the segment (a square-capped
// stroke by distance to the line, clipped to the segment's extent).
inline void draw_bar(BitRaster &r, double x0, double y0, double x1, double y1, double thickness) {
    const double dx = x1 - x0, dy = y1 - y0, len2 = dx * dx + dy * dy;
    for (int32_t y = 0; y < r.height; ++y)
        for (int32_t x = 0; x < r.width; ++x) {
            const double px = x + 0.5 - x0, py = y + 0.5 - y0;
            const double t = (px * dx + py * dy) / len2;
            if (t < 0 || t > 1)
                continue;
            const double cross = px * dy - py * dx;
            if (cross * cross <= thickness * thickness / 4 * len2)
                r.set(x, y, true);
        }
}

} // namespace quill_test

#endif
