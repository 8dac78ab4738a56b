// The stroke graph's faster engines against references: the triangulation
// (randomised insertion order, ties broken by a perturbation) against a
// brute-force Delaunay triangulation under the same tie rule, on point sets
// full of co-circular quadruples; the one-pass pruning against the step by
// step pruning it replaced; the vectoriser's number formatting against
// printf; the radix sort of the insertion keys, the refusal of objects
// before triangulation and the fitter's quick searches against the plain
// paths they stand in for.
#include "graph_support.h"
#include "vector/fit/fit.h"

#include "tools/fixed_format.h"

#include <gtest/gtest.h>

#include <math.h>
#include <stdio.h>

#include <algorithm>
#include <array>
#include <random>
#include <set>
#include <vector>

using namespace quill_test;
namespace gr = quill::graph;

namespace {

using Triangle = std::array<uint32_t, 3>; // rotated to start at its least index

Triangle canonical(uint32_t a, uint32_t b, uint32_t c) {
    if (b < a && b < c)
        return {b, c, a};
    if (c < a && c < b)
        return {c, a, b};
    return {a, b, c};
}

// Every counter-clockwise triangle with no point inside its circle under
// the tie rule: the Delaunay triangulation of the perturbed points, which
// is unique. O(n^4), for a few dozen points.
std::set<Triangle> brute_force(const std::vector<int32_t> &x, const std::vector<int32_t> &y) {
    const uint32_t n = static_cast<uint32_t>(x.size());
    std::set<Triangle> out;
    for (uint32_t a = 0; a < n; ++a)
        for (uint32_t b = a + 1; b < n; ++b)
            for (uint32_t c = a + 1; c < n; ++c) {
                if (c == b || gr::orient(x.data(), y.data(), a, b, c) <= 0)
                    continue;
                bool empty = true;
                for (uint32_t d = 0; d < n && empty; ++d)
                    if (d != a && d != b && d != c)
                        empty = gr::in_circle_perturbed(x.data(), y.data(), a, b, c, d) < 0;
                if (empty)
                    out.insert(canonical(a, b, c));
            }
    return out;
}

struct Triangulation {
    std::vector<uint32_t> start, count;
    std::vector<int32_t> entries;
    std::set<Triangle> triangles;
    bool ok = false;
};

Triangulation triangulate(const std::vector<int32_t> &x, const std::vector<int32_t> &y) {
    const uint32_t n = static_cast<uint32_t>(x.size());
    Triangulation t;
    t.start.resize(n), t.count.resize(n), t.entries.resize(6 * size_t{n} + 6);
    gr::Lists l;
    l.start = t.start.data(), l.count = t.count.data(), l.entries = t.entries.data();
    t.ok = gr::triangulate_points(x.data(), y.data(), n, l);
    for (uint32_t a = 0; t.ok && a < n; ++a)
        for (uint32_t i = 0; l.count[a] > 1 && i < l.count[a]; ++i) {
            const uint32_t v = static_cast<uint32_t>(l.entries[l.start[a] + i]);
            const uint32_t w = static_cast<uint32_t>(l.entries[l.start[a] + (i + 1) % l.count[a]]);
            if (gr::orient(x.data(), y.data(), a, v, w) > 0)
                t.triangles.insert(canonical(a, v, w));
        }
    return t;
}

// Point sets where most quadruples are co-circular, so the tie rule
// decides most of the triangulation.
std::vector<std::pair<int32_t, int32_t>> point_set(int kind, std::mt19937 &random) {
    std::vector<std::pair<int32_t, int32_t>> p;
    auto add = [&](int32_t px, int32_t py) {
        if (std::find(p.begin(), p.end(), std::make_pair(px, py)) == p.end())
            p.push_back({px, py});
    };
    switch (kind) {
    case 0: // a full lattice block
        for (int32_t i = 0; i < 5; ++i)
            for (int32_t j = 0; j < 6; ++j)
                add(10 + 3 * i, 20 + 3 * j);
        break;
    case 1: // random points of a small lattice
        while (p.size() < 28)
            add(static_cast<int32_t>(random() % 7), static_cast<int32_t>(random() % 7));
        break;
    case 2: // two co-circular rings round one centre
        for (int32_t dx = -5; dx <= 5; ++dx)
            for (int32_t dy = -5; dy <= 5; ++dy)
                if (dx * dx + dy * dy == 25 || dx * dx + dy * dy == 2)
                    add(40 + dx, 40 + dy);
        break;
    case 3: // the outline of a pixel bar, as the graph sees it
        for (int32_t i = 0; i < 14; ++i)
            add(i, 0), add(i, 3);
        for (int32_t j = 1; j < 3; ++j)
            add(0, j), add(13, j);
        break;
    default: // random points far apart (the 128-bit branch)
        while (p.size() < 24)
            add(static_cast<int32_t>(random() % 6 * 13000), static_cast<int32_t>(random() % 6 * 13000));
        break;
    }
    std::shuffle(p.begin(), p.end(), random); // the indices, which the tie rule reads
    return p;
}

TEST(GraphOrderTest, TriangulationIsTheUniquePerturbedDelaunayTriangulation) {
    std::mt19937 random(5);
    const char *const names[] = {"lattice block", "small lattice", "rings", "pixel bar", "far apart"};
    for (int kind = 0; kind < 5; ++kind) {
        SCOPED_TRACE(names[kind]);
        for (int round = 0; round < 8; ++round) {
            const auto p = point_set(kind, random);
            std::vector<int32_t> x, y;
            for (const auto &q : p)
                x.push_back(q.first), y.push_back(q.second);
            const Triangulation t = triangulate(x, y);
            ASSERT_TRUE(t.ok);
            const std::set<Triangle> expected = brute_force(x, y);
            ASSERT_FALSE(expected.empty());
            EXPECT_EQ(t.triangles, expected);
            // An interior point's list is a ring starting at its least
            // neighbour; the tie rule leaves no ring without triangles.
            for (uint32_t a = 0; a < x.size(); ++a) {
                const int32_t *list = t.entries.data() + t.start[a];
                const uint32_t m = t.count[a];
                bool closed = m >= 3;
                for (uint32_t i = 0; closed && i < m; ++i)
                    closed = t.triangles.count(canonical(a, static_cast<uint32_t>(list[i]),
                                                         static_cast<uint32_t>(list[(i + 1) % m]))) == 1;
                if (closed) {
                    EXPECT_EQ(*std::min_element(list, list + m), list[0]) << "point " << a;
                }
            }
        }
    }
}

// The Hilbert curve as first written (coordinates rotated in place level
// by level), against the branch-free one the insertion order now uses.
uint32_t hilbert_by_rotation(uint32_t x, uint32_t y) {
    uint32_t d = 0;
    for (uint32_t s = 1u << 15; s > 0; s >>= 1) {
        const uint32_t rx = (x & s) ? 1 : 0, ry = (y & s) ? 1 : 0;
        d += s * s * ((3 * rx) ^ ry);
        if (ry == 0) {
            if (rx == 1) {
                x = s - 1 - (x & (s - 1)) + (x & ~(2 * s - 1));
                y = s - 1 - (y & (s - 1)) + (y & ~(2 * s - 1));
            }
            std::swap(x, y);
        }
    }
    return d;
}

TEST(GraphOrderTest, HilbertPositionsEqualTheRotatingConstruction) {
    std::mt19937 random(29);
    for (uint32_t x = 0; x < 64; ++x) // every cell of a corner block, the curve's start
        for (uint32_t y = 0; y < 64; ++y)
            ASSERT_EQ(gr::hilbert_position(x, y), hilbert_by_rotation(x, y)) << x << ", " << y;
    for (int i = 0; i < 200000; ++i) {
        const uint32_t x = random() & 0xFFFF, y = random() & 0xFFFF;
        ASSERT_EQ(gr::hilbert_position(x, y), hilbert_by_rotation(x, y)) << x << ", " << y;
    }
    EXPECT_EQ(gr::hilbert_position(0xFFFF, 0), 0xFFFFFFFFu); // the curve ends at the far corner on x
}

// ---- The one-pass pruning against the step-by-step one ---------------------

// The three local steps as they were done one after the other: contour
// neighbours (a), exterior edges by the tables (b), wedges at excluded
// corners (c), each followed by a compaction.
namespace reference {

constexpr uint8_t kDiagonalOuter[4][4][4] = {
    {{1, 1, 0, 0}, {0, 1, 0, 0}, {2, 2, 2, 2}, {1, 1, 0, 1}},
    {{1, 1, 1, 0}, {0, 1, 1, 0}, {0, 0, 1, 0}, {2, 2, 2, 2}},
    {{2, 2, 2, 2}, {0, 1, 1, 1}, {0, 0, 1, 1}, {0, 0, 0, 1}},
    {{1, 0, 0, 0}, {2, 2, 2, 2}, {1, 0, 1, 1}, {1, 0, 0, 1}},
};
constexpr uint8_t kAxisOuter[4][4][4] = {
    {{0, 1, 0, 0}, {0, 0, 0, 0}, {2, 2, 2, 2}, {1, 1, 0, 0}},
    {{0, 1, 1, 0}, {0, 0, 1, 0}, {0, 0, 0, 0}, {2, 2, 2, 2}},
    {{2, 2, 2, 2}, {0, 0, 1, 1}, {0, 0, 0, 1}, {0, 0, 0, 0}},
    {{0, 0, 0, 0}, {2, 2, 2, 2}, {1, 0, 0, 1}, {1, 0, 0, 0}},
};
constexpr uint8_t kAxisHole[4][4][4] = {
    {{0, 0, 0, 1}, {1, 0, 0, 1}, {2, 2, 2, 2}, {0, 0, 0, 0}},
    {{0, 0, 0, 0}, {1, 0, 0, 0}, {1, 1, 0, 0}, {2, 2, 2, 2}},
    {{2, 2, 2, 2}, {0, 0, 0, 0}, {0, 1, 0, 0}, {0, 1, 1, 0}},
    {{0, 0, 1, 1}, {2, 2, 2, 2}, {0, 0, 0, 0}, {0, 0, 1, 0}},
};

uint32_t cyclic(const gr::Object &obj, uint32_t p, int32_t step) {
    const uint32_t c = obj.contourOf[p], f = obj.first[c], n = obj.first[c + 1] - f;
    const int64_t i = (int64_t{p - f} + step) % int64_t{n};
    return f + static_cast<uint32_t>(i < 0 ? i + n : i);
}

bool retained(const uint32_t *count, uint32_t p) { return count[p] != gr::kExcluded; }

int step_code(const gr::Object &obj, uint32_t a, uint32_t b) {
    const int32_t dx = obj.x[b] - obj.x[a], dy = obj.y[b] - obj.y[a];
    return dx > 0 ? 1 : dy > 0 ? 2 : dx < 0 ? 3 : 0;
}

int sign(int64_t v) { return (v > 0) - (v < 0); }

void contour_neighbours(const gr::Object &obj, gr::Lists &lists, int32_t width) {
    const uint32_t kMax = width > 8 ? 8 : width < 0 ? 0 : static_cast<uint32_t>(width);
    for (uint32_t k = 1; k <= kMax; ++k) {
        for (uint32_t c = 0; c < obj.contours; ++c) {
            const uint32_t f = obj.first[c], n = obj.first[c + 1] - f;
            for (uint32_t j = 0; n > k && j < n; ++j)
                if (retained(lists.count, f + j))
                    gr::remove_edge(lists, f + j, f + (j + k) % n);
        }
        gr::compact_lists(lists, lists.count, obj.points);
    }
}

void exterior(const gr::Object &obj, gr::Lists &lists) {
    for (uint32_t p = 0; p < obj.points; ++p) {
        if (!retained(lists.count, p) || lists.count[p] == 0)
            continue;
        const bool hole = obj.contourOf[p] != 0;
        const int in = step_code(obj, cyclic(obj, p, -1), p), out = step_code(obj, p, cyclic(obj, p, 1));
        for (uint32_t e = 0; e < lists.count[p]; ++e) {
            const int32_t q = lists.entries[lists.start[p] + e];
            if (q < 0)
                continue;
            const int32_t dx = obj.x[q] - obj.x[p], dy = obj.y[q] - obj.y[p];
            uint8_t verdict;
            if (dx != 0 && dy != 0) {
                verdict = kDiagonalOuter[in][out][dx > 0 ? (dy > 0 ? 1 : 0) : (dy > 0 ? 2 : 3)];
                if (hole && verdict < 2)
                    verdict = static_cast<uint8_t>(1 - verdict);
            } else {
                verdict = (hole ? kAxisHole : kAxisOuter)[in][out][dy == 0 ? (dx >= 0 ? 1 : 3) : (dy > 0 ? 2 : 0)];
            }
            if (verdict == 0)
                gr::remove_edge(lists, p, static_cast<uint32_t>(q));
        }
    }
    gr::compact_lists(lists, lists.count, obj.points);
}

int64_t nearest_retained(const gr::Object &obj, const uint32_t *count, uint32_t p, int32_t step, bool &direct) {
    uint32_t q = p;
    for (int i = 0; i < 3; ++i) {
        q = cyclic(obj, q, step);
        if (q == p)
            return -1;
        if (retained(count, q)) {
            direct = i == 0;
            return q;
        }
    }
    return -1;
}

void wedges(const gr::Object &obj, gr::Lists &lists) {
    for (uint32_t p = 0; p < obj.points; ++p) {
        if (!retained(lists.count, p) || lists.count[p] == 0)
            continue;
        bool directA = true, directB = true;
        const int64_t a = nearest_retained(obj, lists.count, p, -1, directA);
        const int64_t b = nearest_retained(obj, lists.count, p, 1, directB);
        if (a < 0 || b < 0 || (directA && directB))
            continue;
        const bool hole = obj.contourOf[p] != 0;
        const uint32_t A = static_cast<uint32_t>(hole ? b : a), B = static_cast<uint32_t>(hole ? a : b);
        const int64_t ax = obj.x[A] - obj.x[p], ay = obj.y[A] - obj.y[p];
        const int64_t bx = obj.x[B] - obj.x[p], by = obj.y[B] - obj.y[p];
        const int t = sign(bx * ay - ax * by) == 1 ? 1 : -1;
        for (uint32_t e = 0; e < lists.count[p]; ++e) {
            const int32_t q = lists.entries[lists.start[p] + e];
            if (q < 0)
                continue;
            const int64_t qx = obj.x[q] - obj.x[p], qy = obj.y[q] - obj.y[p];
            const int s1 = sign(bx * qy - qx * by), s2 = sign(qx * ay - ax * qy);
            if (!(s1 + s2 == 2 || (t == -1 && s1 != s2)))
                gr::remove_edge(lists, p, static_cast<uint32_t>(q));
        }
    }
    gr::compact_lists(lists, lists.count, obj.points);
}

} // namespace reference

// One object's points and triangulated lists, in vectors.
struct ObjectLists {
    std::vector<int32_t> x, y;
    std::vector<uint32_t> first, contourOf, start, count;
    std::vector<int32_t> entries;
    gr::Object obj;
    gr::Lists lists;
    void bind() {
        obj.x = x.data(), obj.y = y.data(), obj.first = first.data(), obj.contourOf = contourOf.data();
        lists.start = start.data(), lists.count = count.data(), lists.entries = entries.data();
    }
};

bool triangulated_object(const int32_t *object, const void *contours, ObjectLists &o) {
    uint32_t points, n;
    if (!gr::measure_object(object, contours, points, n))
        return false;
    o.x.resize(points + 1), o.y.resize(points + 1), o.contourOf.resize(points + 1), o.first.resize(n + 1);
    o.start.resize(points + 1), o.count.resize(points + 1), o.entries.resize(6 * size_t{points} + 8);
    o.obj.points = points, o.obj.contours = n;
    o.bind();
    gr::quantise_object(object, contours, o.obj);
    if (gr::exclude_corners(o.obj, o.lists.count) < 3)
        return false;
    std::vector<uint32_t> order(points + 1);
    const uint32_t kept = gr::sweep_order(o.obj, o.lists.count, order.data());
    // The hull arrays are indexed by point, so the work is sized for all
    // points, as the graph sizes it.
    std::vector<uint8_t> work(static_cast<size_t>(gr::delaunay_work_bytes(points)) + 64);
    gr::DelaunayWork dw;
    gr::delaunay_work_carve(work.data(), points, dw);
    return gr::delaunay(o.obj.x, o.obj.y, order.data(), kept, dw, o.lists) >= 0;
}

std::vector<std::vector<int32_t>> lists_of(const ObjectLists &o) {
    std::vector<std::vector<int32_t>> out(o.obj.points);
    for (uint32_t p = 0; p < o.obj.points; ++p)
        if (o.count[p] != gr::kExcluded)
            out[p].assign(o.entries.begin() + o.start[p], o.entries.begin() + o.start[p] + o.count[p]);
    return out;
}

TEST(GraphOrderTest, OnePassPruningEqualsTheStepByStepPruning) {
    std::mt19937 random(17);
    const int32_t widths[] = {-1, 0, 1, 3, 6, 8, 12};
    size_t compared = 0, removed = 0;
    for (int round = 0; round < 24; ++round) {
        BitRaster r(30 + round, 26);
        r.fill_random(random, round % 2 ? 0.6 : 0.75);
        std::vector<uint8_t> bytes = r.bytes;
        void *contours = nullptr, *objects = nullptr;
        const int32_t nObj = QV_BWDmriOutline(bytes.data(), r.width, r.height, &contours, &objects);
        const int32_t *object = static_cast<const int32_t *>(objects);
        for (int32_t i = 0; i < nObj; ++i, object += 1 + object[0]) {
            ObjectLists base;
            if (!triangulated_object(object, contours, base))
                continue;
            for (int32_t width : widths) {
                SCOPED_TRACE(testing::Message() << "round " << round << " object " << i << " width " << width);
                ObjectLists stepwise = base, fused = base;
                stepwise.bind(), fused.bind();
                reference::contour_neighbours(stepwise.obj, stepwise.lists, width);
                reference::exterior(stepwise.obj, stepwise.lists);
                reference::wedges(stepwise.obj, stepwise.lists);
                std::vector<uint32_t> info(base.obj.points + 1);
                gr::prune_local(fused.obj, fused.lists, width, info.data());
                const auto expected = lists_of(stepwise), got = lists_of(fused), before = lists_of(base);
                ASSERT_EQ(got, expected);
                for (size_t p = 0; p < before.size(); ++p)
                    removed += before[p].size() - expected[p].size();
                ++compared;
            }
        }
        qs_free(&contours);
        qs_free(&objects);
    }
    EXPECT_GT(compared, 300u);
    EXPECT_GT(removed, 1000u); // the steps did cut, so the comparison meant something
}

// ---- Numbers as the vectoriser writes them --------------------------------

TEST(GraphOrderTest, FixedFormattingEqualsPrintf) {
    std::mt19937_64 random(23);
    std::uniform_real_distribution<double> coordinate(-100.0, 70000.0);
    struct Kind {
        const char *name;
        int count;
    };
    const Kind kinds[] = {{"coordinates", 200000}, {"halves and ties", 20000}, {"tiny and huge", 20000},
                          {"special", 1}};
    for (int k = 0; k < 4; ++k) {
        SCOPED_TRACE(kinds[k].name);
        std::vector<double> values;
        for (int i = 0; i < kinds[k].count; ++i) {
            if (k == 0)
                values.push_back(coordinate(random));
            if (k == 1) // multiples of 1/16: many exact ties at 3 and 4 decimals
                values.push_back(static_cast<double>(static_cast<int64_t>(random() % 2000000) - 1000000) / 16.0 +
                                 (i % 3 == 0 ? 0.0005 : 0.0));
            if (k == 2)
                values.push_back(ldexp(static_cast<double>(random() % 1000000), static_cast<int>(random() % 80) - 50) *
                                 (i % 2 ? -1 : 1));
        }
        if (k == 3)
            values = {0.0, -0.0, -0.0004, 0.0005, 0.00049999999999999999, 2147483.6475, 1e300, -1e300,
                      HUGE_VAL, -HUGE_VAL, NAN, 0.5, 1.5, 2.5, 999.9995, 4294967295.0};
        for (double v : values)
            for (int decimals : {0, 3, 4, 6}) {
                char got[QUILL_FIXED_MAX], expected[QUILL_FIXED_MAX];
                const size_t n = quill_format_fixed(got, v, decimals);
                snprintf(expected, sizeof expected, "%.*f", decimals, v);
                ASSERT_STREQ(got, expected) << "value " << v << " decimals " << decimals;
                ASSERT_EQ(n, strlen(expected));
            }
    }
}

} // namespace

// ---- Shortcuts of the graph's speed work -----------------------------------

// The radix sort of the triangulation's keys against a stable sort by the
// same bits: random keys, keys sharing their high digits (passes skipped),
// and keys tied on all 36 bits (their input order must stay).
TEST(GraphOrderTest, RadixSortOfKeysEqualsAStableSortOfTheirHighBits) {
    std::mt19937_64 random(31);
    const uint32_t sizes[] = {1, 2, 2047, 5000, 70000};
    for (int kind = 0; kind < 3; ++kind)
        for (uint32_t n : sizes) {
            SCOPED_TRACE(testing::Message() << "kind " << kind << " n " << n);
            std::vector<uint64_t> keys(n), spare(n);
            for (uint64_t &k : keys) {
                const uint64_t r = random();
                k = kind == 0 ? r : kind == 1 ? (uint64_t{0x5A5} << 52 | (r & 0xFFFFFFFFFFull)) : (r % 5) << 28 | (r >> 40);
            }
            std::vector<uint64_t> expected = keys;
            std::stable_sort(expected.begin(), expected.end(),
                             [](uint64_t a, uint64_t b) { return (a >> 28) < (b >> 28); });
            gr::radix_sort_high(keys.data(), spare.data(), n);
            ASSERT_EQ(keys, expected);
        }
}

// Objects of more than 2048 points are sorted by radix: the lists of such
// a point set equal those of the same set inserted in another order (the
// comparison sort), and pass the brute-force Delaunay check.
TEST(GraphOrderTest, LargePointSetsTriangulateAlikeInBothSortPaths) {
    std::mt19937 random(37);
    std::vector<int32_t> x, y;
    std::set<std::pair<int32_t, int32_t>> seen;
    while (x.size() < 2600) { // a lattice block: co-circular quadruples everywhere
        const int32_t px = static_cast<int32_t>(random() % 80), py = static_cast<int32_t>(random() % 60);
        if (seen.insert({px, py}).second)
            x.push_back(100 + px), y.push_back(200 + py);
    }
    const uint32_t n = static_cast<uint32_t>(x.size());
    const Triangulation radix = triangulate(x, y);
    ASSERT_TRUE(radix.ok);
    gr::Lists l;
    l.start = const_cast<uint32_t *>(radix.start.data()), l.count = const_cast<uint32_t *>(radix.count.data());
    l.entries = const_cast<int32_t *>(radix.entries.data());
    const char *why = "";
    EXPECT_TRUE(gr::delaunay_is_valid(x.data(), y.data(), n, l, &why)) << why;

    std::vector<uint32_t> order(n), start(n), count(n);
    std::vector<int32_t> entries(6 * size_t{n} + 6);
    for (uint32_t i = 0; i < n; ++i)
        order[i] = n - 1 - i; // descending: the comparison sort
    std::vector<uint8_t> work(static_cast<size_t>(gr::delaunay_work_bytes(n)) + 64);
    gr::DelaunayWork dw;
    gr::delaunay_work_carve(work.data(), n, dw);
    gr::Lists other;
    other.start = start.data(), other.count = count.data(), other.entries = entries.data();
    ASSERT_GE(gr::delaunay(x.data(), y.data(), order.data(), n, dw, other), 0);
    for (uint32_t p = 0; p < n; ++p) {
        ASSERT_EQ(count[p], radix.count[p]) << p;
        ASSERT_TRUE(std::equal(entries.begin() + start[p], entries.begin() + start[p] + count[p],
                               radix.entries.begin() + radix.start[p]))
            << p;
    }
}

// The graph refuses single-contour objects of at most 2 min(width, 8) + 1
// points without triangulating them: triangulated and pruned, each indeed
// keeps no edge.
TEST(GraphOrderTest, ObjectsRefusedUntriangulatedKeepNoEdgeWhenTriangulated) {
    std::mt19937 random(41);
    const int32_t widths[] = {1, 2, 3, 6, 8, 12};
    size_t refused = 0;
    for (int round = 0; round < 16; ++round) {
        BitRaster r(40 + round, 30);
        r.fill_random(random, round % 2 ? 0.25 : 0.4);
        std::vector<uint8_t> bytes = r.bytes;
        void *contours = nullptr, *objects = nullptr;
        const int32_t nObj = QV_BWDmriOutline(bytes.data(), r.width, r.height, &contours, &objects);
        const int32_t *object = static_cast<const int32_t *>(objects);
        for (int32_t i = 0; i < nObj; ++i, object += 1 + object[0]) {
            uint32_t points, n;
            ObjectLists o;
            if (!gr::measure_object(object, contours, points, n) || !triangulated_object(object, contours, o))
                continue;
            for (int32_t width : widths) {
                if (!gr::pruned_away(points, n, width))
                    continue;
                SCOPED_TRACE(testing::Message() << "round " << round << " object " << i << " width " << width);
                ObjectLists pruned = o;
                pruned.bind();
                std::vector<uint32_t> tris(6 * size_t{points} + 6);
                EXPECT_EQ(gr::prune_and_enumerate(pruned.obj, pruned.lists, width, tris.data()), 0u);
                for (const auto &list : lists_of(pruned))
                    ASSERT_TRUE(list.empty());
                ++refused;
            }
        }
        qs_free(&contours);
        qs_free(&objects);
    }
    EXPECT_GT(refused, 200u);
}

// ---- The fitter's quick searches ---------------------------------------------

// Chains of the kinds the fitter meets, in the units it meets them.
std::vector<std::pair<int32_t, int32_t>> chain_of(int kind, std::mt19937 &random) {
    std::vector<std::pair<int32_t, int32_t>> c;
    std::uniform_int_distribution<int> step(0, 3);
    int32_t x = 5000, y = 5000;
    switch (kind) {
    case 0: // a rectilinear random walk (contours: unit steps)
        for (int i = 0; i < 400; ++i) {
            const int s = step(random);
            x += s == 0 ? 1 : s == 1 ? -1 : 0, y += s == 2 ? 1 : s == 3 ? -1 : 0;
            c.push_back({x, y});
        }
        break;
    case 1: // a closed ring: a noisy circle in doubled units, the first point repeated
    case 2: // an open arc of it
        for (int i = 0; i < 300; ++i) {
            const double a = (kind == 1 ? 6.2831853 : 2.5) * i / 300;
            c.push_back({static_cast<int32_t>(4000 + 300 * cos(a)) + step(random) % 2,
                         static_cast<int32_t>(4000 + 300 * sin(a)) + step(random) % 2});
        }
        if (kind == 1)
            c.push_back(c.front());
        break;
    case 3: // straight legs with sharp bends and a leg run back over itself
        for (int leg = 0; leg < 8; ++leg) {
            const int32_t dx = leg % 4 == 0 ? 2 : leg % 4 == 1 ? 1 : leg % 4 == 2 ? -1 : 0;
            const int32_t dy = leg % 4 == 0 ? 1 : leg % 4 == 1 ? -2 : leg % 4 == 2 ? 0 : 3;
            for (int i = 0; i < 25 + leg * 3; ++i)
                c.push_back({x += dx, y += dy});
        }
        for (int i = 0; i < 40; ++i) // back along the last leg: points repeat
            c.push_back(c[c.size() - 2 - 2 * static_cast<size_t>(i)]);
        break;
    default: // a gentle zigzag with noise
        for (int i = 0; i < 500; ++i)
            c.push_back({x + 2 * i, y + static_cast<int32_t>(12 * sin(i / 9.0)) + step(random) % 3});
        break;
    }
    return c;
}

// The straight-run search outwards from the last breaking point and the
// refinement that refits only moved runs, against the plain searches: the
// same polyline to the last bit, at every tolerance.
TEST(GraphOrderTest, QuickFitSearchesEqualTheExhaustiveOnes) {
    std::mt19937 random(43);
    const uint32_t tolerances[] = {0, 1, 3, 10, 60};
    size_t compared = 0, refinedRuns = 0;
    for (int round = 0; round < 10; ++round)
        for (int kind = 0; kind < 5; ++kind) {
            const auto points = chain_of(kind, random);
            std::vector<int32_t> x, y;
            for (const auto &p : points)
                x.push_back(p.first), y.push_back(p.second);
            quill::fit::Chain chain;
            chain.x = x.data(), chain.y = y.data(), chain.n = static_cast<uint32_t>(x.size());
            chain.ring = x.front() == x.back() && y.front() == y.back();
            for (uint32_t tol : tolerances) {
                SCOPED_TRACE(testing::Message() << "round " << round << " kind " << kind << " tol " << tol);
                quill::fit::Polyline quick, plain;
                const auto a = quill::fit::fit_chain(chain, tol, quick);
                const auto b = quill::fit::fit_chain(chain, tol, plain, true);
                ASSERT_EQ(a, b);
                ASSERT_EQ(quick.count, plain.count);
                ASSERT_EQ(quick.runs, plain.runs);
                if (quick.count > 0) {
                    ASSERT_EQ(memcmp(quick.xy.get(), plain.xy.get(), 16 * size_t{quick.count}), 0);
                }
                compared += a == quill::fit::Status::ok;
                refinedRuns += quick.runs >= 3 ? quick.runs : 0;
            }
        }
    EXPECT_GT(compared, 150u);
    EXPECT_GT(refinedRuns, 2000u); // long fits with many boundaries to refine
}

// ---- Refused shapes remembered --------------------------------------------------

bool same_graph(const ObjectGraph &a, const ObjectGraph &b) {
    if (a.present != b.present || a.segmentOffsets != b.segmentOffsets || a.nodes.size() != b.nodes.size() ||
        a.segments.size() != b.segments.size())
        return false;
    if (!a.nodes.empty() && memcmp(a.nodes.data(), b.nodes.data(), sizeof(QV_GraphNode) * a.nodes.size()) != 0)
        return false;
    for (size_t s = 0; s < a.segments.size(); ++s)
        for (size_t e = 0; e < a.segments[s].size(); ++e) {
            const Element &x = a.segments[s][e], &y = b.segments[s][e];
            if (x.a.x != y.a.x || x.a.y != y.a.y || x.b.x != y.b.x || x.b.y != y.b.y)
                return false;
        }
    return true;
}

// Specks of a few random shapes stamped all over a raster: the graph of all
// of them at once (later copies of a refused shape are refused from the
// memo) equals each object's graph made on its own (an empty memo).
TEST(GraphOrderTest, RememberedRefusalsEqualGraphsMadeOneByOne) {
    std::mt19937 random(47);
    for (int32_t width : {1, 3, 5, 6, 8}) {
        SCOPED_TRACE(testing::Message() << "width " << width);
        std::vector<std::array<uint8_t, 25>> shapes(80);
        for (auto &s : shapes)
            for (auto &pixel : s)
                pixel = random() % 3 != 0;
        BitRaster r(240, 180);
        for (int32_t y = 1; y + 6 < r.height; y += 7)
            for (int32_t x = 1; x + 6 < r.width; x += 7) {
                const auto &s = shapes[random() % shapes.size()];
                for (int32_t i = 0; i < 25; ++i)
                    r.set(x + i % 5, y + i / 5, s[static_cast<size_t>(i)] != 0);
            }
        std::vector<uint8_t> bytes = r.bytes;
        void *contours = nullptr, *objects = nullptr;
        const int32_t nObj = QV_BWDmriOutline(bytes.data(), r.width, r.height, &contours, &objects);
        ASSERT_GT(nObj, 500);
        const int32_t *obj = static_cast<const int32_t *>(objects);
        void **all = nullptr;
        ASSERT_EQ(QV_MakeGraph(obj, contours, nObj, width, &all), 1);
        const std::vector<ObjectGraph> together = take_apart(all, nObj);
        QV_FreeGraphData(all, nObj);
        size_t refused = 0, kept = 0;
        const int32_t *object = obj;
        for (int32_t i = 0; i < nObj; ++i, object += 1 + object[0]) {
            void **one = nullptr;
            ASSERT_EQ(QV_MakeGraph(object, contours, 1, width, &one), 1);
            const std::vector<ObjectGraph> alone = take_apart(one, 1);
            QV_FreeGraphData(one, 1);
            ASSERT_TRUE(same_graph(together[static_cast<size_t>(i)], alone[0])) << "object " << i;
            refused += !alone[0].present, kept += alone[0].present;
        }
        EXPECT_GT(refused, 100u); // copies of refused shapes: the memo was used
        EXPECT_GT(kept, 0u);
        qs_free(&contours);
        qs_free(&objects);
    }
}
