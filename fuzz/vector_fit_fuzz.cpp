/*
 * vector_fit_fuzz - every segment, fitting and feature operation on the
 * stroke graph of a fuzzed raster, with segment offsets and lists taken from
 * the fuzz bytes, valid and invalid. Results must keep their promises: the
 * fitted centre lines and contours have finite vertices inside the range
 * that intersections are confined to, a reversal twice restores the
 * segment, merged segments have flags clear, QV_ChainSegments writes no
 * more than the segments it names, and intersections lie in 0 .. 65535. A
 * violation aborts; the sanitizers catch the rest.
 *
 * Input: byte 0 picks the graph width (1 + byte % 12); byte 1 the tolerance
 * (signed: negative values too); bytes 2 and 3 the raster width,
 * 1 + (little-endian value % 96); bytes 4 .. 35 drive the lists, queries and
 * line points; the rest are rows of QV_GetLineBWi(1, width) bytes (at most
 * 96 rows).
 */
#include "quillvec.h"

#include <math.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

namespace {

constexpr size_t kControl = 32;

void require(bool condition, const char *why) {
    if (!condition) {
        fprintf(stderr, "vector_fit_fuzz: %s\n", why);
        abort();
    }
}

// Reads control bytes cyclically.
struct Control {
    const uint8_t *bytes;
    size_t at = 0;
    uint8_t next() { return bytes[at++ % kControl]; }
    int32_t next32() { return int32_t(uint32_t(next()) | uint32_t(next()) << 8 | uint32_t(next()) << 16 | uint32_t(next()) << 24); }
};

// Checks a polyline block (vertices within lo .. hi) and releases it.
void check_polyline(void *block, double hi) {
    if (block == nullptr)
        return;
    uint32_t n;
    memcpy(&n, block, 4);
    for (uint32_t i = 0; i < n; ++i) {
        double v[2];
        memcpy(v, static_cast<uint8_t *>(block) + 4 + 16 * size_t{i}, 16);
        require(v[0] >= 0 && v[0] <= hi && v[1] >= 0 && v[1] <= hi, "vertex outside range");
    }
    qs_free(&block);
}

struct Segments {
    std::vector<int32_t> offsets;
    std::vector<const uint8_t *> records;
    uint32_t total = 0; // elements
};

Segments segments_of(const void *block) {
    Segments s;
    if (block == nullptr)
        return s;
    uint32_t n;
    memcpy(&n, block, 4);
    size_t at = 0;
    const uint8_t *data = static_cast<const uint8_t *>(block) + 4;
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t c;
        memcpy(&c, data + at, 4);
        s.offsets.push_back(int32_t(at));
        s.records.push_back(data + at);
        s.total += c & 0x3FFFFFFF;
        at += 4 + 8 * size_t{c & 0x3FFFFFFF};
    }
    return s;
}

void single_segment_operations(const uint8_t *record, Control &c, int32_t tol) {
    uint32_t word;
    memcpy(&word, record, 4);
    const uint32_t n = word & 0x3FFFFFFF;
    std::vector<uint8_t> copy(record, record + 4 + 8 * size_t{n});
    const uint32_t flags = uint32_t(c.next() & 3) << 30;
    word = n | flags;
    memcpy(copy.data(), &word, 4);
    const std::vector<uint8_t> original = copy;
    QV_SegmentReverse(copy.data());
    QV_SegmentReverse(copy.data());
    require(copy == original, "reversal twice did not restore");
    memcpy(copy.data(), record, 4);
    std::vector<uint8_t> poly(8 + 16 * size_t{n} + 8);
    QV_ConvertSegmentToPoly(record, poly.data());
    uint32_t m;
    memcpy(&m, poly.data() + 4, 4);
    require(m <= 2 * n, "stroke polygon too long");
    const double ends[4] = {double(int8_t(c.next())) * 3, double(c.next()), c.next() == 7 ? NAN : double(c.next()),
                            c.next() == 9 ? 1e12 : double(c.next())};
    const double *start = c.next() & 1 ? ends : nullptr, *end = c.next() & 1 ? ends + 2 : nullptr;
    void *raw = QV_SegExtractCenterline(record, start, end);
    if (raw != nullptr)
        qs_free(&raw);
    double width = -1;
    void *fitted = QV_SegmentCenterOptimize(record, &width, tol, start, end);
    if (fitted != nullptr)
        require(width >= 0 && isfinite(width), "bad mean width");
    check_polyline(fitted, 32767.5);
    const int32_t closed = QV_CircleSeg(record);
    require(closed == 0 || closed == 1, "QV_CircleSeg not 0 or 1");
}

void merging(void **graph, int32_t object, const Segments &segs, Control &c) {
    if (segs.offsets.empty())
        return;
    int32_t list[6];
    const int32_t count = int32_t(c.next() % 8) - 2; // -2 .. 5
    const int32_t maxGap = int32_t(c.next() % 54) - 2;
    for (int i = 0; i < 6; ++i) {
        const uint8_t pick = c.next();
        if (pick < 200)
            list[i] = segs.offsets[pick % segs.offsets.size()];
        else
            list[i] = c.next32(); // anything at all
    }
    void *merged = QV_ConcatSegments(graph, object, list, count, maxGap);
    uint64_t expected = 0;
    if (merged != nullptr) {
        uint32_t w;
        memcpy(&w, merged, 4);
        require((w & 0xC0000000u) == 0, "merged segment has flags");
        qs_free(&merged);
    }
    // QV_ChainSegments on the same list, into a buffer sized for exactly the
    // named segments (plus a guard the sanitizer watches).
    const int32_t n = count < 0 ? 1 : count;
    bool valid = count >= 1;
    for (int32_t i = 0; i < n && valid; ++i) {
        size_t k = 0;
        while (k < segs.offsets.size() && segs.offsets[k] != list[i])
            ++k;
        if (k == segs.offsets.size()) {
            valid = false;
            break;
        }
        uint32_t w;
        memcpy(&w, segs.records[k], 4);
        expected += w & 0x3FFFFFFF;
    }
    std::vector<uint8_t> out(8 * expected + 1);
    uint8_t *end = static_cast<uint8_t *>(QV_ChainSegments(list, count, out.data()));
    if (valid)
        require(end == out.data() + 8 * expected, "chain wrote a different length");
    else
        require(end == nullptr, "chain accepted a bad list");
}

void contours(const void *contourBuffer, const int32_t *objects, int32_t nObj, int32_t tol) {
    const int32_t *object = objects;
    for (int32_t i = 0; i < nObj && i < 6; ++i, object += 1 + object[0])
        for (int32_t k = 0; k < object[0] && k < 3; ++k) {
            const uint8_t *contour = static_cast<const uint8_t *>(contourBuffer) + object[1 + k];
            uint32_t n;
            memcpy(&n, contour, 4);
            check_polyline(QV_ContourOptimize(contour, tol), 65535);
            // Closed: the first point repeated.
            std::vector<uint8_t> closed(contour, contour + 4 + 4 * size_t{n});
            closed.insert(closed.end(), contour + 4, contour + 8);
            const uint32_t m = n + 1;
            memcpy(closed.data(), &m, 4);
            check_polyline(QV_ContourOptimize(closed.data(), tol), 65535);
        }
}

void features(void **graph, int32_t nObj, Control &c, int32_t tol) {
    const int32_t kinds[] = {1, 2, 4, 8, 16, 32, 64, int32_t(c.next()) - 1};
    for (int32_t kind : kinds) {
        QV_Feature f;
        memset(&f, 0, sizeof f);
        const int32_t x = c.next() == 0 ? c.next32() : int32_t(c.next()) - 16;
        const int32_t y = int32_t(c.next()) - 16;
        const int32_t d = QV_LocateFeature(graph, nObj, x, y, kind, tol, &f);
        require(d >= 0, "negative distance");
        if (d != QV_FEATURE_NONE)
            require(isfinite(f.x) && isfinite(f.y) && f.object >= 0 && f.object < nObj, "bad feature record");
    }
    double p[8];
    for (double &v : p)
        v = c.next() == 0 ? INFINITY : double(int8_t(c.next())) * (c.next() == 1 ? 1e4 : 1.0);
    double x = -1, y = -1;
    if (QV_GetLineIntersect(p, p + 2, p + 4, p + 6, &x, &y))
        require(x >= 0 && x <= 65535 && y >= 0 && y <= 65535, "intersection outside range");
    else
        require(x == -1 && y == -1, "failed intersection wrote");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4 + kControl || size > (1u << 13))
        return 0;
    const int32_t gw = 1 + data[0] % 12;
    const int32_t tol = int32_t(int8_t(data[1]));
    const int32_t width = 1 + static_cast<int32_t>((data[2] | data[3] << 8) % 96);
    Control c{data + 4};
    const uint8_t *rows = data + 4 + kControl;
    const size_t line = QV_GetLineBWi(1, width);
    size_t nRows = (size - 4 - kControl) / line;
    nRows = nRows > 96 ? 96 : nRows;
    if (nRows == 0)
        return 0;
    const int32_t height = static_cast<int32_t>(nRows);
    std::vector<uint8_t> raster(static_cast<size_t>(height + 2) * QV_GetLineBWi(1, width + 2), 0xFF);
    memcpy(raster.data(), rows, nRows * line);
    void *contourBuffer = nullptr, *objects = nullptr;
    const int32_t nObj = QV_BWDmriOutline(raster.data(), width, height, &contourBuffer, &objects);
    require(nObj >= 0, "tracer failed");
    if (nObj == 0)
        return 0;
    const int32_t *list = static_cast<const int32_t *>(objects);
    void **graph = nullptr;
    require(QV_MakeGraph(list, contourBuffer, nObj, gw, &graph) == 1, "graph build failed");
    for (int32_t o = 0; o < nObj && o < 8; ++o) {
        const Segments segs = segments_of(graph[2 * o + 1]);
        for (size_t s = 0; s < segs.records.size() && s < 24; ++s)
            single_segment_operations(segs.records[s], c, tol);
        for (int round = 0; round < 3; ++round)
            merging(graph, o, segs, c);
    }
    contours(contourBuffer, list, nObj, tol);
    features(graph, nObj, c, tol);
    QV_FreeGraphData(graph, nObj);
    qs_free(&contourBuffer);
    qs_free(&objects);
    return 0;
}
