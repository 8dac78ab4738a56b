/*
 * run_matrix.cpp - polygon sets to run matrices, and runs painted into rows.
 *
 * The conversion fills rows by the even-odd rule, sampled on each row's
 * centre line:
 *  1. Every polygon must have at least 3 vertices; floating vertices must lie
 *     strictly inside +-2147483646 and are rounded with qs_dround. Each
 *     polygon is closed (its last vertex joins its first).
 *  2. The bounding box may be at most 131072 pixels wide and tall. Every row
 *     that holds a vertex is an event row.
 *  3. Between two event rows y and next the set of crossing edges cannot
 *     change: the active edges are exactly those with min(ya, yb) <= y and
 *     max(ya, yb) >= next. They are rebuilt only at event rows: edges sorted
 *     by their top row join the active list there, edges whose bottom row
 *     has been reached leave it. Horizontal edges never cross a centre line.
 *     A span that no edge crosses (two polygons one above the other) fails
 *     the conversion: the matrix cannot describe an empty band.
 *  4. Row r's crossing with edge (xa, ya) -> (xb, yb), ya < yb, is
 *         xa + trunc((xb - xa) * (2 (r - ya) + 1) / (2 (yb - ya)))
 *     its position on the row's centre line, truncated toward zero. An edge
 *     is always taken from its upper end, whichever way its polygon runs:
 *     truncated from the other end the same edge can cross a row one pixel
 *     away, and two polygons that share an edge (adjacent polygons run it in
 *     opposite directions) would leave a pixel between them unpainted, or
 *     paint one twice (measured: 1 row in 4 of a shared diagonal, and white
 *     specks inside every wide stroke whose pieces meet on slanted edges).
 *     Edges given top to bottom cross exactly where the raw formula says. The
 *     numerator grows by 2 (xb - xa) from row to row, so each active edge
 *     keeps the floor quotient and remainder of that division and steps
 *     them with one addition and one compare per row: exactly the same
 *     value as the 64-bit product and division, without a division per
 *     crossing (a division took 40% of the fill of a 2000-vertex star).
 *  5. The crossings of a row are sorted and paired (start, end); a pair with
 *     start == end becomes the one-pixel run (start, start + 1). The active
 *     list itself is kept in crossing order by an insertion sort, which is
 *     linear on the nearly sorted order that the previous row leaves.
 *  6. The matrix rect is (min x, min y, max x - 1, max y - 1): a vertex on
 *     the box's right or bottom edge lies just outside the painted pixels, so
 *     a square from (0, 0) to (10, 10) paints pixels 0 to 9 both ways.
 *
 * The matrix block starts at 64 KB and grows before each span to the bytes
 * the span needs plus 64 KB, and is shrunk to its used size at the end.
 * Every size on the way is checked before it is formed: a hostile set fails
 * instead of wrapping a count.
 *
 * Decisions:
 *  - A set of no polygons (count 0 or less) fails like a polygon of fewer
 *    than 3 vertices: it has no inside to paint and no rect to report.
 *  - At most 2^24 vertices in all: the edge and active lists then stay
 *    below 1 GB, and a set whose counts claim more is not a drawing.
 */
#include "run_matrix.h"

#include <algorithm>
#include <string.h>

namespace quill {

namespace {

constexpr int64_t kMaxVertices = int64_t(1) << 24;
constexpr double kCoordinateLimit = 2147483646.0;
constexpr uint64_t kGrowBytes = 65536;

using Edge = SweepEdge;
using ActiveEdge = SweepActive;

int64_t floor_div(int64_t n, int64_t d) {
    int64_t q = n / d;
    return (n % d != 0 && ((n < 0) != (d < 0))) ? q - 1 : q;
}

// Reads the vertex at `p` (integer or double pair) into (x, y); false when
// a floating coordinate is out of range or not a number.
bool read_vertex(const uint8_t *p, bool integerPoints, int32_t &x, int32_t &y) {
    if (integerPoints) {
        memcpy(&x, p, 4);
        memcpy(&y, p + 4, 4);
        return true;
    }
    double v[2];
    memcpy(v, p, 16);
    for (double c : v)
        if (!(c > -kCoordinateLimit && c < kCoordinateLimit))
            return false;
    x = qs_dround(v[0]);
    y = qs_dround(v[1]);
    return true;
}

struct Outline {
    HeapBlock<Edge> &edges;
    int64_t edgeCount = 0;
    int64_t minX = INT64_MAX, minY = INT64_MAX, maxX = INT64_MIN, maxY = INT64_MIN;
};

// Counts the vertices of the set; -1 when a polygon has fewer than 3, the
// set has none, or the total passes the limit.
int64_t count_vertices(const uint8_t *set, bool integerPoints) {
    int32_t polygons;
    memcpy(&polygons, set, 4);
    if (polygons < 1)
        return -1;
    size_t pointBytes = integerPoints ? 8 : 16;
    const uint8_t *p = set + 4;
    int64_t total = 0;
    for (int32_t i = 0; i < polygons; ++i) {
        int32_t n;
        memcpy(&n, p, 4);
        if (n < 3 || n > kMaxVertices - total)
            return -1;
        total += n;
        p += 4 + static_cast<size_t>(n) * pointBytes;
    }
    return total;
}

// Reads every polygon's edges and the bounding box; false on a bad vertex
// or when memory runs out.
bool read_edges(const uint8_t *set, bool integerPoints, int64_t vertices, Outline &o) {
    if (!o.edges.allocate(static_cast<size_t>(vertices)))
        return false;
    int32_t polygons;
    memcpy(&polygons, set, 4);
    size_t pointBytes = integerPoints ? 8 : 16;
    const uint8_t *p = set + 4;
    for (int32_t i = 0; i < polygons; ++i) {
        int32_t n;
        memcpy(&n, p, 4);
        p += 4;
        int32_t firstX = 0, firstY = 0, lastX = 0, lastY = 0;
        for (int32_t j = 0; j <= n; ++j) {
            int32_t x = firstX, y = firstY;
            if (j < n && !read_vertex(p + static_cast<size_t>(j) * pointBytes, integerPoints, x, y))
                return false;
            if (j == 0) {
                firstX = x;
                firstY = y;
            } else if (y != lastY) {
                // Every edge is taken from its upper end (see the header).
                o.edges[static_cast<size_t>(o.edgeCount++)] =
                    y > lastY ? Edge{lastX, lastY, x, y, lastY, y} : Edge{x, y, lastX, lastY, y, lastY};
            }
            o.minX = std::min<int64_t>(o.minX, x);
            o.maxX = std::max<int64_t>(o.maxX, x);
            o.minY = std::min<int64_t>(o.minY, y);
            o.maxY = std::max<int64_t>(o.maxY, y);
            lastX = x;
            lastY = y;
        }
        p += static_cast<size_t>(n) * pointBytes;
    }
    return o.maxX - o.minX + 1 <= kMaxPolygonSpan && o.maxY - o.minY + 1 <= kMaxPolygonSpan;
}

// Sets up the stepping of an edge's crossing from row r on.
ActiveEdge start_edge(const Edge &e, int64_t r) {
    int64_t dx = static_cast<int64_t>(e.xb) - e.xa, dy = static_cast<int64_t>(e.yb) - e.ya;
    int64_t n = dx * (2 * (r - e.ya) + 1), d = 2 * dy, step = 2 * dx;
    if (d < 0) {
        n = -n;
        d = -d;
        step = -step;
    }
    ActiveEdge a;
    a.d = d;
    a.q = floor_div(n, d);
    a.rem = n - a.q * d;
    a.stepQ = floor_div(step, d);
    a.stepRem = step - a.stepQ * d;
    a.xa = e.xa;
    a.bottom = e.bottom;
    a.x = 0;
    return a;
}

// The crossing on the current row (truncated toward zero), then one row on.
inline int32_t step_edge(ActiveEdge &a) {
    int64_t t = (a.q < 0 && a.rem != 0) ? a.q + 1 : a.q;
    a.rem += a.stepRem;
    a.q += a.stepQ;
    if (a.rem >= a.d) {
        a.rem -= a.d;
        a.q += 1;
    }
    return static_cast<int32_t>(a.xa + t);
}

void sort_by_crossing(ActiveEdge *active, int64_t count) {
    for (int64_t i = 1; i < count; ++i) {
        ActiveEdge e = active[i];
        int64_t j = i;
        while (j > 0 && active[j - 1].x > e.x) {
            active[j] = active[j - 1];
            --j;
        }
        active[j] = e;
    }
}

// Makes room for `more` int32 values after the used ones, by the growth
// rule; a block already large enough (a band) never grows.
bool reserve(RunMatrix &m, uint64_t more) {
    uint64_t usedBytes = static_cast<uint64_t>(m.words) * 4, needBytes = more * 4;
    if (usedBytes + needBytes < m.capacity * 4)
        return true;
    uint64_t grown = usedBytes + needBytes + kGrowBytes;
    if (grown > UINT32_MAX || !m.block.resize(static_cast<size_t>(grown / 4)))
        return false;
    m.capacity = static_cast<size_t>(grown / 4);
    return true;
}

// Writes rows [y, next) with `count` active edges: the crossings of every
// active edge, sorted and paired.
void write_span(RunMatrix &m, ActiveEdge *active, int64_t count, int64_t y, int64_t next) {
    int32_t *out = m.block.get() + m.words;
    for (int64_t r = y; r < next; ++r) {
        for (int64_t i = 0; i < count; ++i)
            active[i].x = step_edge(active[i]);
        sort_by_crossing(active, count);
        *out++ = static_cast<int32_t>(count / 2);
        for (int64_t i = 0; i < count; i += 2) {
            int32_t start = active[i].x, end = active[i + 1].x;
            *out++ = start;
            *out++ = end == start ? start + 1 : end;
        }
    }
    m.words = static_cast<size_t>(out - m.block.get());
}

} // namespace

bool RunSweep::start(const void *polygons, bool integerPoints) {
    if (!polygons)
        return false;
    const uint8_t *set = static_cast<const uint8_t *>(polygons);
    int64_t vertices = count_vertices(set, integerPoints);
    Outline o{edges_};
    if (vertices < 3 || !read_edges(set, integerPoints, vertices, o))
        return false;
    edgeCount_ = o.edgeCount;
    std::sort(edges_.get(), edges_.get() + edgeCount_, [](const Edge &a, const Edge &b) { return a.top < b.top; });
    minY_ = o.minY;
    maxY_ = o.maxY;
    rect_ = QI_Rect{static_cast<int32_t>(o.minX), static_cast<int32_t>(o.minY), static_cast<int32_t>(o.maxX - 1),
                    static_cast<int32_t>(o.maxY - 1)};
    if (!active_.allocate(static_cast<size_t>(edgeCount_) + 1) || !check_spans())
        return false;
    count_ = 0;
    nextEdge_ = 0;
    row_ = minY_;
    event_ = minY_;
    return true;
}

// Every span of rows between two event rows must be crossed by an even,
// non-zero number of edges. The counts follow from the sorted tops and
// bottoms alone, so the check costs no crossing and the set fails before a
// row is written.
bool RunSweep::check_spans() {
    HeapBlock<int32_t> bottoms(static_cast<size_t>(edgeCount_) + 1);
    if (!bottoms)
        return false;
    for (int64_t i = 0; i < edgeCount_; ++i)
        bottoms[static_cast<size_t>(i)] = edges_[static_cast<size_t>(i)].bottom;
    std::sort(bottoms.get(), bottoms.get() + edgeCount_);
    widest_ = 0;
    int64_t tops = 0, ends = 0;
    for (int64_t y = minY_; y < maxY_;) {
        while (tops < edgeCount_ && edges_[static_cast<size_t>(tops)].top <= y)
            ++tops;
        while (ends < edgeCount_ && bottoms[static_cast<size_t>(ends)] <= y)
            ++ends;
        int64_t count = tops - ends;
        if (count == 0 || count % 2 != 0)
            return false;
        widest_ = std::max(widest_, count);
        int64_t next = maxY_;
        if (tops < edgeCount_)
            next = std::min<int64_t>(next, edges_[static_cast<size_t>(tops)].top);
        if (ends < edgeCount_)
            next = std::min<int64_t>(next, bottoms[static_cast<size_t>(ends)]);
        y = next;
    }
    return true;
}

// At an event row: edges that end there leave the active list, edges that
// start there join it; the next event is the nearest top or bottom below.
void RunSweep::update_active() {
    int64_t kept = 0;
    for (int64_t i = 0; i < count_; ++i)
        if (active_[static_cast<size_t>(i)].bottom > row_)
            active_[static_cast<size_t>(kept++)] = active_[static_cast<size_t>(i)];
    count_ = kept;
    for (; nextEdge_ < edgeCount_ && edges_[static_cast<size_t>(nextEdge_)].top <= row_; ++nextEdge_)
        if (edges_[static_cast<size_t>(nextEdge_)].bottom > row_)
            active_[static_cast<size_t>(count_++)] = start_edge(edges_[static_cast<size_t>(nextEdge_)], row_);
    event_ = maxY_;
    if (nextEdge_ < edgeCount_)
        event_ = edges_[static_cast<size_t>(nextEdge_)].top;
    for (int64_t i = 0; i < count_; ++i)
        event_ = std::min<int64_t>(event_, active_[static_cast<size_t>(i)].bottom);
}

void RunSweep::skip_to(int64_t row) {
    if (row <= row_)
        return;
    // Edges that start above the row and still cross it join with their
    // stepping set up at the row itself: no row is stepped through.
    row_ = row;
    count_ = 0;
    nextEdge_ = 0;
    for (; nextEdge_ < edgeCount_ && edges_[static_cast<size_t>(nextEdge_)].top < row_; ++nextEdge_)
        if (edges_[static_cast<size_t>(nextEdge_)].bottom > row_)
            active_[static_cast<size_t>(count_++)] = start_edge(edges_[static_cast<size_t>(nextEdge_)], row_);
    event_ = row_; // update_active at this row adds the edges starting here
}

bool RunSweep::write_rows(int64_t last, RunMatrix &out) {
    last = std::min(last, maxY_ - 1);
    while (row_ <= last) {
        if (row_ == event_)
            update_active();
        int64_t end = std::min(event_, last + 1);
        if (!reserve(out, static_cast<uint64_t>(count_ + 1) * static_cast<uint64_t>(end - row_)))
            return false;
        write_span(out, active_.get(), count_, row_, end);
        row_ = end;
    }
    return true;
}

bool polygons_to_runs(const void *polygons, bool integerPoints, RunMatrix &out) {
    out.block.reset();
    out.words = out.capacity = 0;
    RunSweep sweep;
    if (!sweep.start(polygons, integerPoints) || !out.block.allocate(kGrowBytes / 4)) {
        out.block.reset();
        return false;
    }
    out.capacity = kGrowBytes / 4;
    out.rect = sweep.rect();
    if (!sweep.write_rows(out.rect.bottom, out)) {
        out.block.reset();
        out.words = out.capacity = 0;
        return false;
    }
    // Shrinking never fails in practice; if it does the larger block serves.
    if (out.words > 0 && out.block.resize(out.words))
        out.capacity = out.words;
    return true;
}

bool run_matrix_is_valid(const RunMatrix &m) {
    int64_t rows = static_cast<int64_t>(m.rect.bottom) - m.rect.top + 1;
    if (rows < 0 || (rows > 0 && !m.block))
        return false;
    size_t at = 0;
    for (int64_t r = 0; r < rows; ++r) {
        if (at >= m.words || m.block[at] < 0 || m.words - at - 1 < 2 * static_cast<size_t>(m.block[at]))
            return false;
        int32_t k = m.block[at];
        const int32_t *run = m.block.get() + at + 1;
        for (int32_t i = 0; i < k; ++i) {
            int32_t start = run[2 * i], end = run[2 * i + 1];
            // A pair of equal crossings at the box's right edge becomes a
            // run of its one pixel past the rect.
            if (start >= end || start < m.rect.left || end > static_cast<int64_t>(m.rect.right) + 2)
                return false;
            if (i > 0 && (start < run[2 * i - 2] || end < run[2 * i - 1]))
                return false;
        }
        at += 1 + 2 * static_cast<size_t>(k);
    }
    return at == m.words;
}

void clear_pixels(uint8_t *row, int32_t start, int32_t end, bool white) {
    int32_t first = start >> 3, last = (end - 1) >> 3;
    uint8_t head = static_cast<uint8_t>(0xFFu >> (start & 7));
    uint8_t tail = static_cast<uint8_t>(0xFFu << (7 - ((end - 1) & 7)));
    auto paint = [white](uint8_t &byte, uint8_t mask) {
        byte = static_cast<uint8_t>(white ? byte | mask : byte & ~mask);
    };
    if (first == last) {
        paint(row[first], head & tail);
        return;
    }
    paint(row[first], head);
    memset(row + first + 1, white ? 0xFF : 0, static_cast<size_t>(last - first - 1));
    paint(row[last], tail);
}

int32_t paint_row_runs(const int32_t *runs, int32_t k, int32_t from, int64_t left, int64_t right, int64_t origin,
                       uint8_t *row, bool white) {
    int32_t i = from;
    while (i < k && runs[2 * i + 1] <= left)
        ++i;
    int32_t resume = i;
    for (int32_t j = i; j < k; ++j) {
        int64_t start = runs[2 * j], end = runs[2 * j + 1];
        if (start > right)
            break;
        int64_t s = std::max(start, left), e = std::min(end, right + 1);
        if (s < e)
            clear_pixels(row, static_cast<int32_t>(s - origin), static_cast<int32_t>(e - origin), white);
    }
    while (resume < k && runs[2 * resume + 1] <= right + 1)
        ++resume;
    return resume;
}

} // namespace quill
