/*
 * draw_support.h - polygon sets for tests, and the plain reference fill.
 *
 * The reference applies the fill's rule straight from its definition: for
 * every row of the set's box, every edge that crosses the row's centre line
 * gives xa + trunc((xb - xa) (2 (r - ya) + 1) / (2 (yb - ya))), (xa, ya)
 * being its upper end; the sorted
 * crossings pair into runs, a pair of equal crossings into one pixel; a row
 * that no edge crosses fails the whole set.
 */
#ifndef QUILL_TESTS_DRAW_SUPPORT_H
#define QUILL_TESTS_DRAW_SUPPORT_H

#include "raster_support.h"

#include <math.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <vector>

namespace quill_test {

struct Vertex {
    int64_t x, y;
};

struct PolySet {
    std::vector<std::vector<Vertex>> polygons;

    PolySet &add(const std::vector<Vertex> &polygon) {
        polygons.push_back(polygon);
        return *this;
    }
    // The integer form.
    const void *data() const {
        bytes_ = encode(false, 0);
        return bytes_.data();
    }
    // The floating form, every coordinate moved by `shift`.
    std::vector<uint8_t> floating(double shift = 0) const { return encode(true, shift); }
    QI_Rect box() const {
        QI_Rect r{INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN};
        for (const auto &polygon : polygons)
            for (const Vertex &p : polygon) {
                r.left = std::min<int32_t>(r.left, p.x);
                r.top = std::min<int32_t>(r.top, p.y);
                r.right = std::max<int32_t>(r.right, p.x - 1);
                r.bottom = std::max<int32_t>(r.bottom, p.y - 1);
            }
        return r;
    }

private:
    std::vector<uint8_t> encode(bool asDoubles, double shift) const {
        std::vector<uint8_t> out;
        auto put = [&](const void *p, size_t n) {
            const uint8_t *b = static_cast<const uint8_t *>(p);
            out.insert(out.end(), b, b + n);
        };
        int32_t count = static_cast<int32_t>(polygons.size());
        put(&count, 4);
        for (const auto &polygon : polygons) {
            int32_t n = static_cast<int32_t>(polygon.size());
            put(&n, 4);
            for (const Vertex &p : polygon) {
                if (asDoubles) {
                    double v[2] = {double(p.x) + shift, double(p.y) + shift};
                    put(v, 16);
                } else {
                    int32_t v[2] = {int32_t(p.x), int32_t(p.y)};
                    put(v, 8);
                }
            }
        }
        return out;
    }
    mutable std::vector<uint8_t> bytes_;
};

struct Reference {
    bool ok = false;
    Raster raster;
};

inline Reference reference_fill(const PolySet &set, int32_t width, int32_t height) {
    Reference result{false, Raster(width, height, 1)};
    if (set.polygons.empty())
        return result;
    int64_t minY = INT64_MAX, maxY = INT64_MIN, minX = INT64_MAX, maxX = INT64_MIN;
    for (const auto &polygon : set.polygons) {
        if (polygon.size() < 3)
            return result;
        for (const Vertex &p : polygon) {
            minY = std::min(minY, p.y);
            maxY = std::max(maxY, p.y);
            minX = std::min(minX, p.x);
            maxX = std::max(maxX, p.x);
        }
    }
    if (maxX - minX + 1 > 131072 || maxY - minY + 1 > 131072)
        return result;
    std::vector<std::vector<std::pair<int64_t, int64_t>>> rows;
    for (int64_t r = minY; r < maxY; ++r) {
        std::vector<int64_t> xs;
        for (const auto &polygon : set.polygons)
            for (size_t i = 0; i < polygon.size(); ++i) {
                Vertex a = polygon[i], b = polygon[(i + 1) % polygon.size()];
                if (a.y > b.y)
                    std::swap(a, b); // from the upper end
                if (a.y <= r && r < b.y)
                    xs.push_back(a.x + (b.x - a.x) * (2 * (r - a.y) + 1) / (2 * (b.y - a.y)));
            }
        if (xs.empty())
            return result;
        std::sort(xs.begin(), xs.end());
        rows.emplace_back();
        for (size_t i = 0; i + 1 < xs.size(); i += 2)
            rows.back().push_back({xs[i], xs[i + 1] == xs[i] ? xs[i] + 1 : xs[i + 1]});
    }
    for (int64_t r = minY; r < maxY; ++r)
        for (auto run : rows[size_t(r - minY)])
            // Runs stop at the box: a one-pixel run at its right edge stays out.
            for (int64_t x = std::max<int64_t>(run.first, 0); x < std::min<int64_t>({run.second, width, maxX}); ++x)
                if (r >= 0 && r < height)
                    result.raster.set(int32_t(x), int32_t(r), 0);
    result.ok = true;
    return result;
}

// One to three polygons of 3 to `maxVertices` vertices, each inside a
// random box of the area [origin, origin + width) x [origin, origin + height).
inline PolySet random_set(std::mt19937 &random, int32_t width, int32_t height, int maxVertices,
                          int32_t origin = -20) {
    PolySet set;
    int polygons = 1 + random() % 3;
    for (int p = 0; p < polygons; ++p) {
        int32_t w = 20 + random() % (width - 20), h = 20 + random() % (height - 20);
        int32_t left = origin + random() % (width - w + 1), top = origin + random() % (height - h + 1);
        std::vector<Vertex> polygon(3 + random() % (maxVertices - 2));
        for (Vertex &pt : polygon)
            pt = {left + int64_t(random() % w), top + int64_t(random() % h)};
        set.add(polygon);
    }
    return set;
}

// Distance from (x, y) to the nearest edge of the set.
inline double distance_to_edges(const PolySet &set, double x, double y) {
    double best = INFINITY;
    for (const auto &polygon : set.polygons)
        for (size_t i = 0; i < polygon.size(); ++i) {
            Vertex a = polygon[i], b = polygon[(i + 1) % polygon.size()];
            double dx = double(b.x - a.x), dy = double(b.y - a.y), len = dx * dx + dy * dy;
            double t = len > 0 ? ((x - a.x) * dx + (y - a.y) * dy) / len : 0;
            t = t < 0 ? 0 : t > 1 ? 1 : t;
            best = std::min(best, hypot(x - (a.x + t * dx), y - (a.y + t * dy)));
        }
    return best;
}

} // namespace quill_test

#endif
