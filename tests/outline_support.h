/*
 * outline_support.h - what the outline and polygon tests share: bilevel
 * rasters in the tracer's layout, the tracer's results taken apart, rasters
 * rendered by ghostscript, and the invariants every tracing must keep,
 * checked against a connected-components oracle of the test's own.
 */
#ifndef QUILL_TESTS_OUTLINE_SUPPORT_H
#define QUILL_TESTS_OUTLINE_SUPPORT_H

#include "quillvec.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace quill_test {

struct Pt {
    int32_t x, y;
    bool operator==(const Pt &o) const { return x == o.x && y == o.y; }
    bool operator!=(const Pt &o) const { return !(*this == o); }
};

inline std::ostream &operator<<(std::ostream &out, const Pt &p) { return out << "(" << p.x << ", " << p.y << ")"; }

// A bilevel raster in rows of QV_GetLineBWi(1, width) bytes (1 white), in a
// block large enough for the tracer to frame it in place.
struct BitRaster {
    int32_t width = 0, height = 0;
    uint32_t line = 0;
    std::vector<uint8_t> bytes;

    BitRaster() = default;
    BitRaster(int32_t w, int32_t h) : width(w), height(h), line(QV_GetLineBWi(1, w)) {
        size_t framed = static_cast<size_t>(h + 2) * QV_GetLineBWi(1, w + 2);
        bytes.assign(std::max(framed, static_cast<size_t>(line) * h), 0xFF);
    }
    // Rows of text, '#' for black.
    static BitRaster from_rows(const std::vector<std::string> &rows) {
        BitRaster r(rows.empty() ? 0 : static_cast<int32_t>(rows[0].size()), static_cast<int32_t>(rows.size()));
        for (int32_t y = 0; y < r.height; ++y)
            for (int32_t x = 0; x < r.width; ++x)
                r.set(x, y, rows[y][x] == '#');
        return r;
    }
    bool black(int32_t x, int32_t y) const {
        if (x < 0 || y < 0 || x >= width || y >= height)
            return false;
        return !((bytes[static_cast<size_t>(y) * line + (x >> 3)] >> (7 - (x & 7))) & 1);
    }
    void set(int32_t x, int32_t y, bool isBlack) {
        uint8_t &b = bytes[static_cast<size_t>(y) * line + (x >> 3)];
        const uint8_t bit = static_cast<uint8_t>(0x80u >> (x & 7));
        b = static_cast<uint8_t>(isBlack ? b & ~bit : b | bit);
    }
    // Random content: each pixel black with the given chance; the padding
    // bits of every row get random values too, which the tracer must ignore.
    void fill_random(std::mt19937 &random, double black) {
        std::bernoulli_distribution pick(black);
        for (int32_t y = 0; y < height; ++y) {
            for (uint32_t i = 0; i < line; ++i)
                bytes[static_cast<size_t>(y) * line + i] = static_cast<uint8_t>(random());
            for (int32_t x = 0; x < width; ++x)
                set(x, y, pick(random));
        }
    }
    int64_t black_pixels() const {
        int64_t n = 0;
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x)
                n += black(x, y);
        return n;
    }
};

struct Contour {
    bool hole = false;     // hole flag as found in the count word
    uint32_t offset = 0;   // byte offset of the count word in the buffer
    std::vector<Pt> points;
};

// One call of the tracer on a copy of the raster, its blocks taken apart
// and released.
struct Outlines {
    int32_t result = 0;
    bool gotObjects = false;
    std::vector<Contour> contours;
    std::vector<std::vector<uint32_t>> objects; // per object: contour byte offsets
    std::vector<uint8_t> framed;                // the raster block after the call
};

inline Outlines trace(const BitRaster &r, bool withObjects) {
    Outlines o;
    o.framed = r.bytes;
    void *contours = nullptr, *objects = nullptr;
    o.result = QV_BWDmriOutline(o.framed.data(), r.width, r.height, &contours, withObjects ? &objects : nullptr);
    o.gotObjects = withObjects;
    if (o.result <= 0) {
        EXPECT_EQ(contours, nullptr);
        EXPECT_EQ(objects, nullptr);
        return o;
    }
    const uint8_t *base = static_cast<const uint8_t *>(contours);
    int64_t count = o.result;
    if (withObjects) {
        const uint8_t *at = static_cast<const uint8_t *>(objects);
        count = 0;
        for (int32_t i = 0; i < o.result; ++i) {
            uint32_t n;
            memcpy(&n, at, 4);
            std::vector<uint32_t> offsets(n);
            memcpy(offsets.data(), at + 4, 4 * size_t{n});
            o.objects.push_back(offsets);
            at += 4 + 4 * size_t{n};
            count += n;
        }
    }
    size_t at = 0;
    for (int64_t c = 0; c < count; ++c) {
        uint32_t word;
        memcpy(&word, base + at, 4);
        Contour k;
        k.offset = static_cast<uint32_t>(at);
        k.hole = (word & QV_HOLE_FLAG) != 0;
        const uint32_t n = word & ~QV_HOLE_FLAG;
        for (uint32_t i = 0; i < n; ++i) {
            uint32_t p;
            memcpy(&p, base + at + 4 + 4 * size_t{i}, 4);
            k.points.push_back(Pt{static_cast<int32_t>(p & 0xFFFF), static_cast<int32_t>(p >> 16)});
        }
        at += 4 + 4 * size_t{n};
        o.contours.push_back(std::move(k));
    }
    qs_free(&contours);
    qs_free(&objects);
    return o;
}

// Twice the area enclosed, positive for a contour running clockwise on the
// screen (y downwards), which both outer contours and holes do.
inline int64_t twice_area(const std::vector<Pt> &p) {
    int64_t sum = 0;
    for (size_t i = 0; i < p.size(); ++i) {
        const Pt &a = p[i], &b = p[(i + 1) % p.size()];
        sum += int64_t{a.x} * b.y - int64_t{b.x} * a.y;
    }
    return sum;
}

// Connected components by runs: black runs joined 4-connected, white runs
// 8-connected; white components that reach the raster's edge are not holes.
class Components {
public:
    explicit Components(const BitRaster &r) : r_(r) {
        rowFirst_.push_back(0);
        for (int32_t y = 0; y < r.height; ++y) {
            find_runs(y);
            rowFirst_.push_back(static_cast<uint32_t>(runs_.size()));
        }
        parent_.resize(runs_.size());
        std::iota(parent_.begin(), parent_.end(), 0u);
        for (int32_t y = 1; y < r.height; ++y)
            join_rows(y);
        pixels_.assign(runs_.size(), 0);
        edge_.assign(runs_.size(), false);
        for (uint32_t i = 0; i < runs_.size(); ++i) {
            const uint32_t root = find(i);
            pixels_[root] += runs_[i].end - runs_[i].begin;
            const int32_t y = runs_[i].y;
            edge_[root] = edge_[root] || runs_[i].begin == 0 || runs_[i].end == r.width || y == 0 ||
                          y == r.height - 1;
            if (root == i) {
                if (runs_[i].black)
                    ++blackComponents_;
                else
                    ++whiteRoots_;
            }
        }
        for (uint32_t i = 0; i < runs_.size(); ++i)
            if (find(i) == i && !runs_[i].black && !edge_[i])
                ++enclosedWhite_;
    }

    int64_t black_components() const { return blackComponents_; }
    int64_t enclosed_white_components() const { return enclosedWhite_; }
    // The component of pixel (x, y), as the index of its root run.
    uint32_t component(int32_t x, int32_t y) {
        uint32_t lo = rowFirst_[y], hi = rowFirst_[y + 1];
        while (hi - lo > 1) {
            const uint32_t mid = (lo + hi) / 2;
            if (runs_[mid].begin <= x)
                lo = mid;
            else
                hi = mid;
        }
        return find(lo);
    }
    int64_t pixels(uint32_t component) const { return pixels_[component]; }
    bool reaches_edge(uint32_t component) const { return edge_[component]; }

private:
    struct Run {
        int32_t y, begin, end; // pixels begin .. end - 1
        bool black;
    };

    void find_runs(int32_t y) {
        int32_t x = 0;
        const uint8_t *row = r_.bytes.data() + static_cast<size_t>(y) * r_.line;
        while (x < r_.width) {
            const bool isBlack = r_.black(x, y);
            int32_t end = x + 1;
            // Whole bytes of the same colour at once: pages are mostly white.
            while (end < r_.width) {
                if ((end & 7) == 0 && end + 8 <= r_.width && row[end >> 3] == (isBlack ? 0x00 : 0xFF)) {
                    end += 8;
                    continue;
                }
                if (r_.black(end, y) != isBlack)
                    break;
                ++end;
            }
            runs_.push_back(Run{y, x, end, isBlack});
            x = end;
        }
    }
    void join_rows(int32_t y) {
        // Runs of one colour that share a column, found by walking both rows'
        // runs in step.
        uint32_t a = rowFirst_[y - 1], b = rowFirst_[y];
        const uint32_t aEnd = rowFirst_[y], bEnd = rowFirst_[y + 1];
        while (a < aEnd && b < bEnd) {
            const Run &ra = runs_[a], &rb = runs_[b];
            if (ra.black == rb.black && ra.begin < rb.end && rb.begin < ra.end)
                unite(a, b);
            if (ra.end < rb.end)
                ++a;
            else
                ++b;
        }
        // White runs also join across a corner: the pixel diagonally below
        // either end of a white run.
        for (uint32_t i = rowFirst_[y - 1]; i < aEnd; ++i) {
            const Run &ra = runs_[i];
            if (ra.black)
                continue;
            for (int32_t x : {ra.begin - 1, ra.end})
                if (x >= 0 && x < r_.width && !r_.black(x, y))
                    unite(i, run_at(y, x));
        }
    }
    uint32_t run_at(int32_t y, int32_t x) const {
        uint32_t lo = rowFirst_[y], hi = rowFirst_[y + 1];
        while (hi - lo > 1) {
            const uint32_t mid = (lo + hi) / 2;
            if (runs_[mid].begin <= x)
                lo = mid;
            else
                hi = mid;
        }
        return lo;
    }
    uint32_t find(uint32_t i) {
        while (parent_[i] != i) {
            parent_[i] = parent_[parent_[i]];
            i = parent_[i];
        }
        return i;
    }
    void unite(uint32_t a, uint32_t b) {
        a = find(a);
        b = find(b);
        if (a != b)
            parent_[std::max(a, b)] = std::min(a, b);
    }

    const BitRaster &r_;
    std::vector<Run> runs_;
    std::vector<uint32_t> rowFirst_, parent_;
    std::vector<int64_t> pixels_;
    std::vector<bool> edge_;
    int64_t blackComponents_ = 0, whiteRoots_ = 0, enclosedWhite_ = 0;
};

// The number of unit edges between a black and a white pixel, counting the
// outside of the raster as white; whole bytes at a time.
inline int64_t boundary_edges(const BitRaster &r) {
    const size_t bytes = (static_cast<size_t>(r.width) + 7) / 8 + 1; // one byte of white beyond
    const uint8_t lastMask = static_cast<uint8_t>(0xFFu >> (r.width & 7)); // padding of the last byte
    std::vector<uint8_t> above(bytes, 0xFF), row(bytes, 0xFF);
    int64_t count = 0;
    for (int32_t y = 0; y <= r.height; ++y) {
        std::fill(row.begin(), row.end(), 0xFF);
        if (y < r.height) {
            memcpy(row.data(), r.bytes.data() + static_cast<size_t>(y) * r.line, bytes - 1);
            if (r.width & 7)
                row[bytes - 2] |= lastMask;
        }
        uint32_t carry = 1; // the white pixel left of the row
        for (size_t i = 0; i < bytes; ++i) {
            count += __builtin_popcount(static_cast<unsigned>(row[i] ^ above[i])); // edges across
            const unsigned shifted = (row[i] >> 1) | (carry << 7);               // left neighbours
            count += __builtin_popcount((row[i] ^ shifted) & 0xFFu);              // edges along
            carry = row[i] & 1u;
        }
        above.swap(row);
    }
    return count;
}

// Checks everything a tracing of `r` must satisfy; `o` from trace().
inline ::testing::AssertionResult outlines_hold(const BitRaster &r, const Outlines &o) {
    using ::testing::AssertionFailure;
    Components comp(r);
    const int64_t expectContours = comp.black_components() + comp.enclosed_white_components();
    if (expectContours == 0)
        return o.result == 0 ? ::testing::AssertionSuccess() : AssertionFailure() << "contours on a white raster";
    if (o.result <= 0)
        return AssertionFailure() << "result " << o.result;
    if (static_cast<int64_t>(o.contours.size()) != expectContours)
        return AssertionFailure() << o.contours.size() << " contours, expected " << comp.black_components()
                                  << " objects + " << comp.enclosed_white_components() << " holes";

    // Each unit edge of the lattice: horizontal ones (x, y)-(x + 1, y) and
    // vertical ones (x, y)-(x, y + 1), marked when a contour runs along them.
    const size_t w = static_cast<size_t>(r.width), h = static_cast<size_t>(r.height);
    std::vector<bool> horizontal((w + 1) * (h + 1)), vertical((w + 1) * (h + 1));
    int64_t contourEdges = 0, outers = 0;
    std::vector<int64_t> outerOfComponent;
    std::vector<uint32_t> componentOfContour(o.contours.size());
    std::vector<bool> seenComponent;
    for (size_t c = 0; c < o.contours.size(); ++c) {
        const Contour &k = o.contours[c];
        const std::vector<Pt> &p = k.points;
        if (p.size() < 4 || p.size() % 2 != 0)
            return AssertionFailure() << "contour " << c << " has " << p.size() << " points";
        // The first point: the left end of the topmost edge, left of every
        // point on that row; the first edge runs to the right.
        for (const Pt &q : p)
            if (q.y < p[0].y || (q.y == p[0].y && q.x < p[0].x))
                return AssertionFailure() << "contour " << c << " starts at " << p[0] << ", not its top left";
        if (p[1].y != p[0].y || p[1].x <= p[0].x)
            return AssertionFailure() << "contour " << c << " does not start to the right";
        if (c > 0) {
            const Pt &prev = o.contours[c - 1].points[0];
            if (prev.y > p[0].y || (prev.y == p[0].y && prev.x >= p[0].x))
                return AssertionFailure() << "contour " << c << " out of order";
        }
        // The object pixel at the first edge: below it for an outer contour,
        // above it for a hole.
        const bool hole = !r.black(p[0].x, p[0].y);
        if (o.gotObjects ? k.hole : k.hole != hole)
            return AssertionFailure() << "contour " << c << " has the wrong hole flag";
        for (size_t i = 0; i < p.size(); ++i) {
            const Pt a = p[i], b = p[(i + 1) % p.size()];
            const bool across = i % 2 == 0; // edges alternate, the first horizontal
            if (a.x < 0 || a.y < 0 || a.x > r.width || a.y > r.height)
                return AssertionFailure() << "contour " << c << " point " << a << " outside";
            if (across ? (a.y != b.y || a.x == b.x) : (a.x != b.x || a.y == b.y))
                return AssertionFailure() << "contour " << c << " edge " << a << "-" << b << " out of turn";
            const int32_t steps = std::abs(b.x - a.x) + std::abs(b.y - a.y);
            const int32_t dx = (b.x > a.x) - (b.x < a.x), dy = (b.y > a.y) - (b.y < a.y);
            for (int32_t s = 0; s < steps; ++s) {
                const int32_t x = a.x + s * dx, y = a.y + s * dy;
                // The pixels on the right- and left-hand side of this step.
                Pt right, left;
                if (dx > 0) {
                    right = {x, y};
                    left = {x, y - 1};
                } else if (dx < 0) {
                    right = {x - 1, y - 1};
                    left = {x - 1, y};
                } else if (dy > 0) {
                    right = {x - 1, y};
                    left = {x, y};
                } else {
                    right = {x, y - 1};
                    left = {x - 1, y - 1};
                }
                const Pt object = hole ? left : right, background = hole ? right : left;
                if (!r.black(object.x, object.y) || r.black(background.x, background.y))
                    return AssertionFailure() << "contour " << c << " step from (" << x << ", " << y
                                              << ") is not between its object and the background";
                const int32_t ex = dx < 0 ? x - 1 : x, ey = dy < 0 ? y - 1 : y;
                std::vector<bool> &marks = dx != 0 ? horizontal : vertical;
                const size_t at = static_cast<size_t>(ey) * (w + 1) + static_cast<size_t>(ex);
                if (marks[at])
                    return AssertionFailure() << "edge at (" << ex << ", " << ey << ") traced twice";
                marks[at] = true;
                ++contourEdges;
            }
        }
        // The pixel below the first edge: the object's for an outer
        // contour, the hole's own background for a hole.
        const uint32_t id = comp.component(p[0].x, p[0].y);
        componentOfContour[c] = id;
        if (seenComponent.size() <= id)
            seenComponent.resize(id + 1);
        if (seenComponent[id])
            return AssertionFailure() << "two contours start in component of contour " << c;
        seenComponent[id] = true;
        if (hole && comp.reaches_edge(id))
            return AssertionFailure() << "hole " << c << " is background that reaches the edge";
        if (twice_area(p) <= 0)
            return AssertionFailure() << "contour " << c << " runs the wrong way round";
        outers += !hole;
    }
    // Every boundary between a black and a white pixel, the raster's edge
    // included, is a contour edge.
    const int64_t boundaryEdges = boundary_edges(r);
    if (boundaryEdges != contourEdges)
        return AssertionFailure() << contourEdges << " edges traced of " << boundaryEdges;
    if (!o.gotObjects)
        return o.result == static_cast<int32_t>(o.contours.size()) ? ::testing::AssertionSuccess()
                                                                  : AssertionFailure() << "result " << o.result;

    // Objects: one per outer contour, in reverse order, each with the holes
    // its own pixels border, and every area adds up.
    if (o.result != outers || static_cast<int64_t>(o.objects.size()) != outers)
        return AssertionFailure() << o.result << " objects for " << outers << " outer contours";
    std::vector<size_t> byOffset(o.contours.size());
    std::vector<uint32_t> offsets;
    for (const Contour &k : o.contours)
        offsets.push_back(k.offset);
    std::vector<int> listed(o.contours.size(), 0);
    size_t previousOuter = o.contours.size();
    for (size_t i = 0; i < o.objects.size(); ++i) {
        const std::vector<uint32_t> &obj = o.objects[i];
        std::vector<size_t> members;
        for (uint32_t off : obj) {
            auto it = std::lower_bound(offsets.begin(), offsets.end(), off);
            if (it == offsets.end() || *it != off)
                return AssertionFailure() << "object " << i << " lists offset " << off << ", no contour";
            members.push_back(static_cast<size_t>(it - offsets.begin()));
        }
        const size_t outer = members[0];
        if (!r.black(o.contours[outer].points[0].x, o.contours[outer].points[0].y) || outer >= previousOuter)
            return AssertionFailure() << "object " << i << " does not begin with the next outer contour";
        previousOuter = outer;
        const uint32_t id = componentOfContour[outer];
        int64_t area = twice_area(o.contours[outer].points);
        for (size_t m = 0; m < members.size(); ++m) {
            ++listed[members[m]];
            if (m == 0)
                continue;
            const Contour &hole = o.contours[members[m]];
            if (r.black(hole.points[0].x, hole.points[0].y) || (m > 1 && members[m] <= members[m - 1]))
                return AssertionFailure() << "object " << i << " member " << m << " is not a hole in order";
            // The pixel above the hole's first edge is the owner's.
            if (comp.component(hole.points[0].x, hole.points[0].y - 1) != id)
                return AssertionFailure() << "object " << i << " holds a hole of another object";
            area -= twice_area(hole.points);
        }
        if (area != 2 * comp.pixels(id))
            return AssertionFailure() << "object " << i << " encloses " << area / 2.0 << " pixels, has "
                                      << comp.pixels(id);
    }
    for (size_t c = 0; c < listed.size(); ++c)
        if (listed[c] != 1)
            return AssertionFailure() << "contour " << c << " listed " << listed[c] << " times";
    return ::testing::AssertionSuccess();
}

// Renders a PostScript file with ghostscript into a raster (pbmraw, 1 =
// black). Empty when ghostscript or the file is missing or fails.
inline BitRaster render_ps(const std::string &path, int dpi, const std::string &extra = "") {
    BitRaster none;
    FILE *probe = fopen(path.c_str(), "rb");
    if (!probe)
        return none;
    fclose(probe);
    std::string command = "gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pbmraw -r" + std::to_string(dpi) + " " + extra +
                          " -o - '" + path + "' 2>/dev/null";
    FILE *in = popen(command.c_str(), "r");
    if (!in)
        return none;
    std::vector<uint8_t> file;
    uint8_t piece[1 << 16];
    size_t got;
    while ((got = fread(piece, 1, sizeof piece, in)) > 0)
        file.insert(file.end(), piece, piece + got);
    if (pclose(in) != 0 || file.size() < 8 || file[0] != 'P' || file[1] != '4')
        return none;
    // Header: "P4", whitespace and comments, width, height, one whitespace.
    size_t at = 2;
    auto number = [&](int32_t &v) {
        for (;;) {
            while (at < file.size() && isspace(file[at]))
                ++at;
            if (at < file.size() && file[at] == '#') {
                while (at < file.size() && file[at] != '\n')
                    ++at;
                continue;
            }
            break;
        }
        v = 0;
        while (at < file.size() && isdigit(file[at]))
            v = v * 10 + (file[at++] - '0');
    };
    int32_t w = 0, h = 0;
    number(w);
    number(h);
    ++at;
    const size_t pbmLine = (static_cast<size_t>(w) + 7) / 8;
    if (w <= 0 || h <= 0 || file.size() - at < pbmLine * h)
        return none;
    BitRaster r(w, h);
    for (int32_t y = 0; y < h; ++y)
        for (size_t i = 0; i < pbmLine; ++i)
            r.bytes[static_cast<size_t>(y) * r.line + i] = static_cast<uint8_t>(~file[at + y * pbmLine + i]);
    return r;
}

inline bool have_ghostscript() { return system("gs --version >/dev/null 2>&1") == 0; }

} // namespace quill_test

#endif
