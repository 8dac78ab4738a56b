/*
 * wide_polyline_fuzz - polylines, half widths, styles and precisions into
 * the wide-polyline operation, and its pieces into a polygon fill. Whatever
 * the values (NaN, infinities, huge and tiny doubles, repeated points,
 * U-turns), the operation must answer -1, 0 or the number of pieces its
 * distinct points call for, hand out well-formed one-polygon sets of at
 * least 3 vertices, and each piece must go through the frame fill without
 * harm. A violation aborts.
 *
 * Input: byte 0 the style (value % 4, 3 being a bad style), byte 1 bit 0
 * raw doubles instead of small coordinates; then the half width and the
 * precision (raw doubles, or small values), then the points.
 */
#include "quillimg.h"
#include "raster/ops/wide_polyline.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

namespace {

void require(bool condition) {
    if (!condition)
        abort();
}

struct Input {
    const uint8_t *data;
    size_t size, at = 0;
    uint8_t byte() { return at < size ? data[at++] : 0; }
    double real(bool raw) {
        if (!raw)
            return (int(byte()) - 64) * 0.75;
        uint64_t bits = 0;
        for (int i = 0; i < 8; ++i)
            bits |= uint64_t(byte()) << (8 * i);
        double d;
        memcpy(&d, &bits, 8);
        return d;
    }
};

int64_t distinct_points(const std::vector<double> &xy) {
    int64_t n = 0;
    for (size_t i = 0; i < xy.size(); i += 2)
        if (i == 0 || xy[i] != xy[i - 2] || xy[i + 1] != xy[i - 1])
            ++n;
    return n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool started = QI_InitFrameFunctions("/nonexistent", "/tmp", nullptr) == 1;
    static int frame = QI_FrameCreate(160, 120, 1, QI_STORAGE_MEMORY, nullptr, 0);
    if (!started || frame < 0 || size < 2 || size > 2048)
        return 0;
    Input in{data, size};
    int32_t style = in.byte() % 4;
    bool raw = in.byte() & 1;
    double h = raw ? in.real(true) : in.byte() / 8.0, precision = raw ? in.real(true) : in.byte() / 64.0;
    std::vector<double> xy;
    while (in.at < in.size && xy.size() < 2 * 64) {
        xy.push_back(in.real(raw) + (raw ? 0 : 80));
        xy.push_back(in.real(raw) + (raw ? 0 : 60));
    }
    std::vector<uint8_t> line(4 + 8 * xy.size());
    int32_t n = int32_t(xy.size() / 2);
    memcpy(line.data(), &n, 4);
    if (!xy.empty())
        memcpy(line.data() + 4, xy.data(), 8 * xy.size());
    void **pieces = nullptr;
    int32_t count = quill::wide_polyline(line.data(), h, style, precision, &pieces);
    require(count >= -1);
    if (count <= 0) {
        require(pieces == nullptr);
        return 0;
    }
    int64_t m = distinct_points(xy);
    require(count == (m - 1) + (m - 2) + (style == 0 ? 0 : 2));
    QI_FrameLock(frame);
    for (int32_t i = 0; i < count; ++i) {
        int32_t head[2];
        memcpy(head, pieces[i], 8);
        require(head[0] == 1 && head[1] >= 3);
        QI_FrameFillPoly(frame, pieces[i], 0, (i & 1) ? QI_COLOR_WHITE : QI_COLOR_BLACK, 0, nullptr);
        qs_free(&pieces[i]);
    }
    QI_FrameUnlock(frame);
    qs_free(reinterpret_cast<void **>(&pieces));
    return 0;
}
