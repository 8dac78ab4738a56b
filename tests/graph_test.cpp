// Stroke graph: the triangulation checked for the empty-circle property by
// brute force on point sets made to be awkward (lattice points, co-circular
// rings, lines); the graphs of drawn strokes as a reader sees them (bars,
// T, cross, ring, a letter with a hole); the library's validity checker on
// random and rendered rasters; the refusals, the width rules, and every
// allocation failure of both passes.
#include "graph_support.h"

#include "base/test_hooks.h"
#include "fault_steps.h"

#include <gtest/gtest.h>

#include <math.h>

#include <algorithm>
#include <random>
#include <vector>

using namespace quill_test;
namespace gr = quill::graph;

namespace {

#ifndef QUILL_SHARED_DIR
#define QUILL_SHARED_DIR "../shared"
#endif

class GraphTest : public ::testing::Test {
protected:
    void SetUp() override { live_ = qs_test_live_blocks(); }
    void TearDown() override {
        qs_test_fail_allocation(0);
        EXPECT_EQ(qs_test_live_blocks(), live_) << "heap blocks leaked";
    }
    int64_t live_ = 0;
    void **last_ = nullptr; // graphOut after the last failed build
};

// ---- The triangulation ----------------------------------------------------

struct Triangulated {
    std::vector<uint32_t> start, count;
    std::vector<int32_t> entries;
    gr::Lists lists() {
        gr::Lists l;
        l.start = start.data(), l.count = count.data(), l.entries = entries.data();
        return l;
    }
};

// Points on the hull's boundary, collinear ones included: the strict hull
// by a monotone chain, then every point tested against its edges.
size_t hull_points(const std::vector<int32_t> &x, const std::vector<int32_t> &y) {
    const size_t n = x.size();
    std::vector<size_t> idx(n);
    for (size_t i = 0; i < n; ++i)
        idx[i] = i;
    std::sort(idx.begin(), idx.end(), [&](size_t a, size_t b) { return x[a] != x[b] ? x[a] < x[b] : y[a] < y[b]; });
    auto cross = [&](size_t o, size_t a, size_t b) {
        return int64_t{x[a] - x[o]} * (y[b] - y[o]) - int64_t{y[a] - y[o]} * (x[b] - x[o]);
    };
    std::vector<size_t> h(2 * n);
    size_t k = 0;
    for (size_t i = 0; i < n; ++i) {
        while (k >= 2 && cross(h[k - 2], h[k - 1], idx[i]) <= 0)
            --k;
        h[k++] = idx[i];
    }
    for (size_t i = n - 1, lower = k + 1; i-- > 0;) {
        while (k >= lower && cross(h[k - 2], h[k - 1], idx[i]) <= 0)
            --k;
        h[k++] = idx[i];
    }
    h.resize(k - 1);
    size_t on = 0;
    for (size_t p = 0; p < n; ++p)
        for (size_t e = 0; e < h.size(); ++e) {
            const size_t a = h[e], b = h[(e + 1) % h.size()];
            if (cross(a, b, p) == 0 && std::min(x[a], x[b]) <= x[p] && x[p] <= std::max(x[a], x[b]) &&
                std::min(y[a], y[b]) <= y[p] && y[p] <= std::max(y[a], y[b])) {
                ++on;
                break;
            }
        }
    return on;
}

TEST_F(GraphTest, SweepTriangulationIsDelaunayOnAwkwardPointSets) {
    std::mt19937 random(11);
    struct Case {
        const char *name;
        int count, range;
        int kind; // 0 random, 1 lattice circle, 2 two lines, 3 one line
    };
    const Case cases[] = {{"dense lattice", 200, 16, 0}, {"sparse lattice", 120, 400, 0}, {"full range", 300, 65536, 0},
                          {"co-circular ring", 0, 25, 1}, {"two lines", 60, 0, 2},      {"one line", 40, 0, 3},
                          {"three points", 3, 4, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        for (int round = 0; round < 6; ++round) {
            std::vector<int32_t> x, y;
            std::vector<std::pair<int32_t, int32_t>> seen;
            auto add = [&](int32_t px, int32_t py) {
                if (std::find(seen.begin(), seen.end(), std::make_pair(px, py)) != seen.end())
                    return;
                seen.push_back({px, py});
                x.push_back(px), y.push_back(py);
            };
            if (c.kind == 0)
                while (static_cast<int64_t>(x.size()) < std::min<int64_t>(c.count, int64_t{c.range} * c.range))
                    add(static_cast<int32_t>(random() % c.range), static_cast<int32_t>(random() % c.range));
            if (c.kind == 1) // every lattice point at distance 25 (and 5) from the centre
                for (int32_t dx = -25; dx <= 25; ++dx)
                    for (int32_t dy = -25; dy <= 25; ++dy)
                        if (dx * dx + dy * dy == 625 || dx * dx + dy * dy == 25)
                            add(100 + dx, 100 + dy);
            if (c.kind == 2)
                for (int i = 0; i < c.count; ++i)
                    add(i % 2 ? i : 3 * i + round, i % 2 ? 7 : 0);
            if (c.kind == 3)
                for (int i = 0; i < c.count; ++i)
                    add(2 * i, 3 * i + 1);
            const uint32_t n = static_cast<uint32_t>(x.size());
            Triangulated t;
            t.start.resize(n), t.count.resize(n), t.entries.resize(6 * n + 6);
            gr::Lists l = t.lists();
            ASSERT_TRUE(gr::triangulate_points(x.data(), y.data(), n, l));
            const char *why = "";
            ASSERT_TRUE(gr::delaunay_is_valid(x.data(), y.data(), n, l, &why)) << why;
            // Euler: 2n - 2 - h triangles, h the points on the hull's
            // boundary; none when all points lie on one line.
            size_t triangles = 0;
            for (uint32_t a = 0; a < n; ++a)
                for (uint32_t i = 0; i < l.count[a]; ++i) {
                    const uint32_t v = l.entries[l.start[a] + i], w = l.entries[l.start[a] + (i + 1) % l.count[a]];
                    triangles += v > a && w > a && gr::orient(x.data(), y.data(), a, v, w) > 0 && l.count[a] > 1;
                }
            EXPECT_EQ(triangles, c.kind == 3 ? 0 : 2 * n - 2 - hull_points(x, y));
        }
    }
}

// The triangulation under every object of random rasters, before pruning:
// the retained points (corners excluded) of each object triangulated by the
// same engine and checked by brute force.
TEST_F(GraphTest, ObjectsTriangulateToDelaunayBeforePruning) {
    std::mt19937 random(3);
    size_t checked = 0;
    for (int round = 0; round < 30; ++round) {
        BitRaster r(40 + round, 30);
        r.fill_random(random, 0.55);
        std::vector<uint8_t> bytes = r.bytes;
        void *contours = nullptr, *objects = nullptr;
        const int32_t nObj = QV_BWDmriOutline(bytes.data(), r.width, r.height, &contours, &objects);
        const int32_t *object = static_cast<const int32_t *>(objects);
        for (int32_t i = 0; i < nObj; ++i, object += 1 + object[0]) {
            uint32_t points, contoursN;
            ASSERT_TRUE(gr::measure_object(object, contours, points, contoursN));
            if (points > 400)
                continue;
            std::vector<int32_t> x(points + 1), y(points + 1);
            const int64_t kept = gr::retained_points(object, contours, x.data(), y.data(), points + 1);
            ASSERT_GE(kept, 0);
            x.resize(size_t(kept)), y.resize(size_t(kept));
            const uint32_t n = static_cast<uint32_t>(x.size());
            if (n < 3)
                continue;
            Triangulated t;
            t.start.resize(n), t.count.resize(n), t.entries.resize(6 * n + 6);
            gr::Lists l = t.lists();
            ASSERT_TRUE(gr::triangulate_points(x.data(), y.data(), n, l)) << "coinciding retained points";
            const char *why = "";
            ASSERT_TRUE(gr::delaunay_is_valid(x.data(), y.data(), n, l, &why)) << why;
            ++checked;
        }
        qs_free(&contours);
        qs_free(&objects);
    }
    EXPECT_GT(checked, 100u);
}

// ---- Graphs of drawn strokes ------------------------------------------------

// Segments with more than `minLength` elements: the strokes, not the short
// pieces that join nodes.
size_t long_segments(const ObjectGraph &g, size_t minLength) {
    size_t n = 0;
    for (const auto &s : g.segments)
        n += s.size() > minLength;
    return n;
}

// Nodes whose three edges each carry a segment to somewhere else: where
// three strokes meet.
size_t three_way_nodes(const ObjectGraph &g) {
    size_t n = 0;
    for (const auto &node : g.nodes) {
        int ways = 0;
        for (int j = 0; j < 3; ++j)
            ways += node.link[j] >= 0;
        n += ways == 3;
    }
    return n;
}

TEST_F(GraphTest, BarIsOneStrokeWithoutJunctions) {
    for (int thickness = 1; thickness <= 12; ++thickness)
        for (int angle : {0, 20, 45, 70, 90, 135}) {
            SCOPED_TRACE(::testing::Message() << "thickness " << thickness << " angle " << angle);
            BitRaster r(120, 120);
            const double a = angle * M_PI / 180;
            // Thin slanted bars need a pixel more to stay 4-connected.
            draw_bar(r, 60 - 45 * cos(a), 60 - 45 * sin(a), 60 + 45 * cos(a), 60 + 45 * sin(a),
                     thickness + (angle % 90 ? 1.5 : 0));
            GraphResult g = graph_of(r, thickness);
            ASSERT_EQ(g.result, 1);
            ASSERT_EQ(g.objects.size(), 1u);
            const ObjectGraph &o = g.objects[0];
            ASSERT_TRUE(o.present);
            const Shape s = shape_of(o);
            EXPECT_EQ(s.junctions, 0u); // no node is joined to three others
            if (s.nodes == 0) {
                // A straight stroke keeps no triangle: every Delaunay
                // triangle of a bar has two corners next to each other on
                // one side, an edge that the contour-neighbour or exterior
                // pruning removes. One segment runs along it.
                ASSERT_EQ(o.segments.size(), 1u);
                EXPECT_GT(o.segments[0].size(), 60u);
            } else {
                // Staircase notches may leave a node or two: still one piece,
                // and no more than two long strokes leaving it.
                EXPECT_EQ(s.components, 1u);
                EXPECT_LE(long_segments(o, 20), 2u);
                EXPECT_GE(long_segments(o, 20), 1u);
            }
        }
}

struct Drawn {
    const char *name;
    void (*draw)(BitRaster &, double);
};

void draw_t(BitRaster &r, double t) {
    draw_bar(r, 10, 20, 90, 20, t);
    draw_bar(r, 50, 20, 50, 90, t);
}
void draw_cross(BitRaster &r, double t) {
    draw_bar(r, 10, 50, 90, 50, t);
    draw_bar(r, 50, 10, 50, 90, t);
}
void draw_ring(BitRaster &r, double t) {
    for (int y = 0; y < r.height; ++y)
        for (int x = 0; x < r.width; ++x) {
            const double d = hypot(x + 0.5 - 50, y + 0.5 - 50);
            if (d >= 30 - t / 2 && d <= 30 + t / 2)
                r.set(x, y, true);
        }
}
void draw_p(BitRaster &r, double t) { // a letter P: a stem and a closed bowl
    draw_bar(r, 20, 10, 20, 90, t);
    draw_bar(r, 20, 10, 60, 10, t);
    draw_bar(r, 60, 10, 60, 50, t);
    draw_bar(r, 20, 50, 60, 50, t);
}

TEST_F(GraphTest, JunctionsCapsAndLoopsWhereAReaderSeesThem) {
    for (int t : {3, 4, 5, 6, 8, 10, 12}) {
        SCOPED_TRACE(::testing::Message() << "thickness " << t);
        BitRaster shapes[4] = {BitRaster(100, 100), BitRaster(100, 100), BitRaster(100, 100), BitRaster(100, 100)};
        draw_t(shapes[0], t);
        draw_cross(shapes[1], t);
        draw_ring(shapes[2], t);
        draw_p(shapes[3], t);
        GraphResult g[4];
        for (int i = 0; i < 4; ++i) {
            g[i] = graph_of(shapes[i], t);
            ASSERT_EQ(g[i].result, 1);
            ASSERT_EQ(g[i].objects.size(), 1u);
            ASSERT_TRUE(g[i].objects[0].present);
        }
        // T: a node where three strokes meet, three long strokes, one piece.
        const ObjectGraph &T = g[0].objects[0];
        EXPECT_GE(three_way_nodes(T), 1u);
        EXPECT_EQ(long_segments(T, 20), 3u);
        EXPECT_EQ(shape_of(T).components, 1u);
        // Cross: four long strokes, all from one piece of nodes.
        const ObjectGraph &X = g[1].objects[0];
        EXPECT_GE(three_way_nodes(X), 1u);
        EXPECT_EQ(long_segments(X, 20), 4u);
        EXPECT_EQ(shape_of(X).components, 1u);
        // Ring: no node; one segment that walks the outer contour and the
        // hole side by side all the way round.
        const ObjectGraph &R = g[2].objects[0];
        EXPECT_TRUE(R.nodes.empty());
        ASSERT_EQ(R.segments.size(), 1u);
        std::vector<Pt> sideA, sideB;
        for (const Element &e : R.segments[0])
            sideA.push_back(e.a), sideB.push_back(e.b);
        const double circumference = 2 * M_PI * 30;
        auto distinct = [](std::vector<Pt> v) {
            std::sort(v.begin(), v.end(), [](Pt a, Pt b) { return a.x != b.x ? a.x < b.x : a.y < b.y; });
            return static_cast<double>(std::unique(v.begin(), v.end()) - v.begin());
        };
        EXPECT_GT(distinct(sideA), circumference);     // outer: longer than the mid circle
        EXPECT_GT(distinct(sideB), circumference / 2); // hole: shorter, still all round
        // P: the bowl closes on itself (a node linked round the hole, or a
        // cycle of nodes) and the stem ends in a cap.
        const ObjectGraph &P = g[3].objects[0];
        const Shape ps = shape_of(P);
        ASSERT_GT(ps.nodes, 0u);
        EXPECT_GE(ps.links, ps.nodes); // more links than a tree has: a loop
        EXPECT_GE(ps.caps, 1u);
    }
}

// ---- Rules of the build -------------------------------------------------------

// A contour buffer built by hand: each contour a count word and points.
struct HandOutlines {
    std::vector<uint32_t> words;
    std::vector<int32_t> objects;
    int32_t count = 0;
    uint32_t add_contour(const std::vector<Pt> &pts, uint32_t flags = 0) {
        const uint32_t offset = static_cast<uint32_t>(4 * words.size());
        words.push_back(static_cast<uint32_t>(pts.size()) | flags);
        for (const Pt &p : pts)
            words.push_back(static_cast<uint32_t>(p.x) | static_cast<uint32_t>(p.y) << 16);
        return offset;
    }
    void add_object(const std::vector<uint32_t> &offsets) {
        objects.push_back(static_cast<int32_t>(offsets.size()));
        for (uint32_t o : offsets)
            objects.push_back(static_cast<int32_t>(o));
        ++count;
    }
};

std::vector<Pt> rectangle(int x, int y, int w, int h) { return {{x, y}, {x + w, y}, {x + w, y + h}, {x, y + h}}; }
std::vector<Pt> l_shape(int x, int y, int t, int len) {
    return {{x, y}, {x + t, y}, {x + t, y + len - t}, {x + len, y + len - t}, {x + len, y + len}, {x, y + len}};
}

TEST_F(GraphTest, RefusedObjectsGetNullSlotsWhileOthersBuild) {
    HandOutlines h;
    const uint32_t good = h.add_contour(l_shape(10, 10, 5, 40));
    const uint32_t pixel = h.add_contour(rectangle(0, 0, 1, 1));                 // 4 corners, all excluded
    const uint32_t diagonal = h.add_contour({{0, 0}, {5, 0}, {6, 3}, {0, 3}});   // a step in x and y
    const uint32_t flagged = h.add_contour(l_shape(60, 10, 5, 40), QV_HOLE_FLAG); // count word bit 31
    const uint32_t still = h.add_contour({{3, 3}, {3, 3}});                      // no step at all
    for (uint32_t off : {good, pixel, diagonal, flagged, still, good})
        h.add_object({off});
    void **graph = nullptr;
    ASSERT_EQ(QV_MakeGraph(h.objects.data(), h.words.data(), h.count, 5, &graph), 1);
    const char *why = "";
    EXPECT_TRUE(gr::graph_is_valid(graph, h.objects.data(), h.words.data(), h.count, &why)) << why;
    std::vector<ObjectGraph> g = take_apart(graph, h.count);
    EXPECT_TRUE(g[0].present);
    for (int i = 1; i <= 4; ++i) {
        EXPECT_FALSE(g[i].present) << "object " << i;
        EXPECT_TRUE(g[i].nodes.empty()) << "object " << i;
    }
    EXPECT_TRUE(g[5].present);
    EXPECT_EQ(g[5].segments.size(), g[0].segments.size()); // objects do not interact
    QV_FreeGraphData(graph, h.count);
}

TEST_F(GraphTest, ArgumentsAndEmptyInputs) {
    HandOutlines h;
    h.add_object({h.add_contour(l_shape(0, 0, 4, 20))});
    void **graph = reinterpret_cast<void **>(&h); // a value the call must not touch
    void **const untouched = graph;
    EXPECT_EQ(QV_MakeGraph(nullptr, h.words.data(), 1, 5, &graph), 0);
    EXPECT_EQ(QV_MakeGraph(h.objects.data(), nullptr, 1, 5, &graph), 0);
    EXPECT_EQ(QV_MakeGraph(h.objects.data(), h.words.data(), -1, 5, &graph), 0);
    EXPECT_EQ(QV_MakeGraph(h.objects.data(), h.words.data(), 1, 5, nullptr), 0);
    EXPECT_EQ(graph, untouched);
    std::vector<int32_t> negative = {-3, 0, 0, 0};
    EXPECT_EQ(QV_MakeGraph(negative.data(), h.words.data(), 1, 5, &graph), 0);
    EXPECT_EQ(graph, untouched);
    EXPECT_EQ(QV_MakeGraph(h.objects.data(), h.words.data(), 0, 5, &graph), 1);
    EXPECT_EQ(graph, nullptr);
    QV_FreeGraphData(nullptr, 5); // does nothing
    // An array of null slots only.
    HandOutlines p;
    p.add_object({p.add_contour(rectangle(0, 0, 1, 1))});
    p.add_object({p.add_contour(rectangle(4, 0, 1, 1))});
    ASSERT_EQ(QV_MakeGraph(p.objects.data(), p.words.data(), 2, 5, &graph), 1);
    ASSERT_NE(graph, nullptr);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(graph[i], nullptr);
    QV_FreeGraphData(graph, 2);
}

// Graphs compared whole: the same blocks, byte for byte.
bool same_graphs(const BitRaster &r, int32_t w1, int32_t w2) {
    std::vector<uint8_t> bytes = r.bytes;
    void *contours = nullptr, *objects = nullptr;
    const int32_t n = QV_BWDmriOutline(bytes.data(), r.width, r.height, &contours, &objects);
    void **g1 = nullptr, **g2 = nullptr;
    const int32_t *obj = static_cast<const int32_t *>(objects);
    bool same = QV_MakeGraph(obj, contours, n, w1, &g1) == 1 && QV_MakeGraph(obj, contours, n, w2, &g2) == 1;
    const std::vector<ObjectGraph> a = take_apart(g1, n), b = take_apart(g2, n);
    for (size_t i = 0; same && i < a.size(); ++i) {
        same = a[i].present == b[i].present && a[i].nodes.size() == b[i].nodes.size() &&
               a[i].segments.size() == b[i].segments.size() &&
               memcmp(a[i].nodes.data(), b[i].nodes.data(), a[i].nodes.size() * sizeof(QV_GraphNode)) == 0;
        for (size_t s = 0; same && s < a[i].segments.size(); ++s)
            same = a[i].segments[s].size() == b[i].segments[s].size() &&
                   memcmp(a[i].segments[s].data(), b[i].segments[s].data(), a[i].segments[s].size() * sizeof(Element)) == 0;
    }
    QV_FreeGraphData(g1, n);
    QV_FreeGraphData(g2, n);
    qs_free(&contours);
    qs_free(&objects);
    return same;
}

TEST_F(GraphTest, WidthRules) {
    std::mt19937 random(8);
    BitRaster r(160, 120);
    for (int k = 0; k < 14; ++k)
        draw_bar(r, random() % 160, random() % 120, random() % 160, random() % 120, 2 + random() % 12);
    // width <= 0: no contour-neighbour pruning and r2 = 0, however negative
    // (a plain ((width - 1) / 2)^2 would give -7 an r2 of 16).
    EXPECT_TRUE(same_graphs(r, 0, -7));
    // Above 8 the contour-neighbour pruning stops at 8: 9 and 10 share their
    // r2 (16) and differ only there.
    EXPECT_TRUE(same_graphs(r, 9, 10));
    // ... while the widths do matter below.
    EXPECT_FALSE(same_graphs(r, 1, 5));
}

TEST_F(GraphTest, ObjectWithoutTrianglesIsOneTrimmedSegment) {
    // A bar two pixels high keeps rungs and diagonals across it, no triangle.
    BitRaster r = BitRaster::from_rows({"..........................", ".####################.....",
                                        ".####################.....", ".........................."});
    GraphResult g = graph_of(r, 2);
    ASSERT_EQ(g.objects.size(), 1u);
    const ObjectGraph &o = g.objects[0];
    ASSERT_TRUE(o.present);
    EXPECT_TRUE(o.nodes.empty());
    ASSERT_EQ(o.segments.size(), 1u);
    const auto &s = o.segments[0];
    // Every element pairs the top with the bottom side, and the trimming
    // left no run of elements along one row at either end.
    for (const Element &e : s) {
        EXPECT_TRUE((e.a.y == 1 && e.b.y == 3) || (e.a.y == 3 && e.b.y == 1) || e.a.x == 1 || e.a.x == 21 ||
                    e.b.x == 1 || e.b.x == 21)
            << e.a << " " << e.b;
    }
    // The sides take turns along the 20 pixels: about one element a step of
    // either side, less the trimmed ends.
    EXPECT_GE(s.size(), 19u);
    EXPECT_LE(s.size(), 42u);
}

// ---- Invariants on many inputs ---------------------------------------------

TEST_F(GraphTest, RandomRastersGiveValidGraphsAtEveryWidth) {
    std::mt19937 random(21);
    for (int round = 0; round < 60; ++round) {
        const int w = 5 + random() % 90, h = 5 + random() % 60;
        BitRaster r(w, h);
        if (round % 2)
            r.fill_random(random, 0.3 + 0.5 * (random() % 100) / 100.0);
        else
            for (int k = 0; k < 6; ++k)
                draw_bar(r, random() % w, random() % h, random() % w, random() % h, 1 + random() % 9);
        for (int width : {-2, 0, 1, 3, 5, 8, 12}) {
            GraphResult g = graph_of(r, width); // graph_is_valid inside
            ASSERT_EQ(g.result, 1);
        }
    }
}

TEST_F(GraphTest, LargeObjectsBuildPastSixteenBitCounts) {
    // A frame 40000 pixels wide: 80,000 boundary points on each contour, far
    // past a sweep front of 32768 entries.
    BitRaster r(40004, 6);
    for (int x = 1; x < 40003; ++x)
        for (int y = 1; y < 5; ++y)
            r.set(x, y, y == 1 || y == 4 || x < 3 || x > 40000);
    GraphResult g = graph_of(r, 2);
    ASSERT_EQ(g.result, 1);
    ASSERT_EQ(g.objects.size(), 1u);
    EXPECT_TRUE(g.objects[0].present);
}

TEST_F(GraphTest, StandardDrawingPageGivesAValidGraph) {
    if (!have_ghostscript())
        GTEST_SKIP() << "ghostscript (gs) is not installed";
    const std::string shared = QUILL_SHARED_DIR;
    BitRaster r = render_ps(shared + "/bench/drawing.ps", 400,
                            "-sEXDIR=" + shared + "/samples/ps --permit-file-read=" + shared + "/samples/ps/");
    if (r.width == 0)
        GTEST_SKIP() << "the drawing could not be rendered from " << shared << "/bench";
    GraphResult g = graph_of(r, 5);
    ASSERT_EQ(g.result, 1);
    size_t withNodes = 0, present = 0;
    for (const auto &o : g.objects)
        withNodes += !o.nodes.empty(), present += o.present;
    EXPECT_GT(present, 10000u); // most of the 250,000 objects are specks of a few pixels
    EXPECT_GT(withNodes, 1000u);
}

// ---- Allocation failures -------------------------------------------------------

TEST_F(GraphTest, EveryAllocationFailureGivesItsPassResultAndLeaksNothing) {
    BitRaster r(90, 60);
    draw_t(r, 5);
    draw_bar(r, 5, 35, 35, 55, 4);
    r.set(2, 2, true); // an object with no result
    std::vector<uint8_t> bytes = r.bytes;
    void *contours = nullptr, *objects = nullptr;
    const int32_t n = QV_BWDmriOutline(bytes.data(), r.width, r.height, &contours, &objects);
    ASSERT_EQ(n, 3);
    const int32_t *obj = static_cast<const int32_t *>(objects);
    void **reference = nullptr;
    ASSERT_EQ(QV_MakeGraph(obj, contours, n, 5, &reference), 1);
    const std::vector<ObjectGraph> full = take_apart(reference, n);
    QV_FreeGraphData(reference, n);
    // Pass 1 takes the result array, its work block and one kept result per
    // object that gets one (2 here); pass 2 its array, work block and
    // segment store, then each object's blocks.
    int kept = 0;
    for (const auto &o : full)
        kept += o.present;
    ASSERT_EQ(kept, 2);
    void *sentinel = &r;
    int32_t lastResult = -1;
    void **lastGraph = nullptr;
    int64_t failures = 0;
    fail_each_step(kFailAllocation,
                   [&] {
                       void **graph = reinterpret_cast<void **>(sentinel);
                       lastResult = QV_MakeGraph(obj, contours, n, 5, &graph);
                       qs_test_fail_allocation(0); // the checks below allocate too
                       lastGraph = graph;
                       if (lastResult != 1)
                           return false;
                       const char *why = "";
                       EXPECT_TRUE(gr::graph_is_valid(graph, obj, contours, n, &why)) << why;
                       const std::vector<ObjectGraph> got = take_apart(graph, n);
                       bool whole = true;
                       for (int i = 0; i < n; ++i)
                           whole = whole && got[i].present == full[i].present;
                       QV_FreeGraphData(graph, n);
                       return whole;
                   },
                   [&](int64_t step) {
                       ++failures;
                       if (step <= 2) { // pass 1's array and work block
                           EXPECT_EQ(lastResult, 0) << "step " << step;
                           EXPECT_EQ(lastGraph, reinterpret_cast<void **>(sentinel)) << "step " << step;
                       } else if (step <= 4) { // a kept result: that object refused
                           EXPECT_EQ(lastResult, 1) << "step " << step;
                       } else if (step <= 7) { // pass 2's array, work block, store
                           EXPECT_EQ(lastResult, 0) << "step " << step;
                           EXPECT_EQ(lastGraph, nullptr) << "step " << step;
                       } else { // an object's blocks: its slots null
                           EXPECT_EQ(lastResult, 1) << "step " << step;
                       }
                       EXPECT_EQ(qs_test_live_blocks(), live_ + 2) << "step " << step; // the outlines only
                   });
    EXPECT_GE(failures, 9); // both passes and the blocks of both objects were reached
    qs_free(&contours);
    qs_free(&objects);
}

} // namespace
