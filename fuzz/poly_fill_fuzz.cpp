/*
 * poly_fill_fuzz - polygon sets of both forms into QI_DmriFillPoly_BW and
 * QI_FrameFillPoly, host run matrices into QI_DmriFillRunMatxI_BW, and
 * lines into QI_DmriLine_BW. The fuzz input is turned into well-formed host
 * blocks (the counts agree with what follows: a host's block is as long as
 * its counts say), with any values in them: huge, negative, degenerate and
 * self-crossing polygons, NaN and infinite doubles. Every converted matrix
 * must pass run_matrix_is_valid, a buffer fill must leave every pixel
 * outside the polygons' box alone and match the frame fill of the same set,
 * and frames keep their lock state. A violation aborts.
 *
 * Input: byte 0 flags (bit 0 floating form, bit 1 outside, bits 2-3 the
 * frame kind, bit 4 coordinates as raw 32-bit values instead of small
 * ones); bytes 1-4 frame width and height; then polygons: a byte of vertex
 * count (value % 48) and the coordinates.
 */
#include "quillimg.h"
#include "raster/ops/run_matrix.h"

#include <stdlib.h>
#include <string.h>

#include <vector>

namespace {

void require(bool condition) {
    if (!condition)
        abort();
}

class Input {
public:
    Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    bool more() const { return at_ < size_; }
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint32_t word() {
        uint32_t w = 0;
        for (int i = 0; i < 4; ++i)
            w |= uint32_t(byte()) << (8 * i);
        return w;
    }
    double real() {
        uint64_t bits = uint64_t(word()) | uint64_t(word()) << 32;
        double d;
        memcpy(&d, &bits, 8);
        return d;
    }

private:
    const uint8_t *data_;
    size_t size_, at_ = 0;
};

template <typename T>
void put(std::vector<uint8_t> &out, T v) {
    const uint8_t *b = reinterpret_cast<const uint8_t *>(&v);
    out.insert(out.end(), b, b + sizeof v);
}

struct Sets {
    std::vector<uint8_t> integer, floating;
};

// Builds the same polygons in both forms (the floating form takes raw
// doubles half of the time, so its values differ then).
Sets build_sets(Input &in, bool raw) {
    Sets s;
    std::vector<std::vector<int32_t>> polygons;
    while (in.more() && polygons.size() < 6) {
        int n = in.byte() % 48;
        polygons.emplace_back();
        for (int i = 0; i < 2 * n; ++i)
            polygons.back().push_back(raw ? int32_t(in.word()) : int32_t(in.byte()) * 2 - 60);
    }
    put(s.integer, int32_t(polygons.size()));
    put(s.floating, int32_t(polygons.size()));
    bool rawDoubles = in.byte() & 1;
    for (const auto &p : polygons) {
        put(s.integer, int32_t(p.size() / 2));
        put(s.floating, int32_t(p.size() / 2));
        for (int32_t v : p) {
            put(s.integer, v);
            put(s.floating, rawDoubles ? in.real() : v + 0.25);
        }
    }
    return s;
}

void check_conversion(const std::vector<uint8_t> &set, bool integer) {
    quill::RunMatrix m;
    if (quill::polygons_to_runs(set.data(), integer, m))
        require(quill::run_matrix_is_valid(m));
}

// Fills into a buffer; pixels outside the box must not change.
void check_buffer_fill(const std::vector<uint8_t> &set, int32_t w, int32_t h, std::vector<uint8_t> &pixels) {
    pixels.assign(size_t(QI_GetLineBWi(1, w)) * h, 0xFF);
    int ok = QI_DmriFillPoly_BW(pixels.data(), w, h, set.data());
    quill::RunMatrix m;
    bool converted = quill::polygons_to_runs(set.data(), true, m);
    require((ok == 1) == converted);
    uint32_t line = QI_GetLineBWi(1, w);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            bool black = !((pixels[size_t(y) * line + x / 8] >> (7 - x % 8)) & 1);
            bool inBox = converted && x >= m.rect.left && x <= int64_t(m.rect.right) + 1 && y >= m.rect.top &&
                         y <= m.rect.bottom;
            require(!black || inBox);
        }
}

void check_frame_fill(const Sets &s, bool floating, bool outside, int kind, int32_t w, int32_t h,
                      const std::vector<uint8_t> &buffer) {
    int frame = QI_FrameCreate(w, h, kind, QI_STORAGE_MEMORY, nullptr, 0);
    if (frame < 0)
        return;
    QI_Rect touched;
    int ok = QI_FrameFillPoly(frame, floating ? s.floating.data() : s.integer.data(), floating ? 0 : 1,
                              QI_COLOR_BLACK, outside, &touched);
    require(QI_FrameGetData(frame)->locked == 0);
    if (ok && kind == 1 && !floating && !outside) {
        // The same set through the frame paints the buffer's pixels.
        std::vector<uint8_t> got(buffer.size());
        require(QI_FrameLock(frame) == 1 && QI_FrameGetRect(frame, nullptr, got.data()) == 1);
        QI_FrameUnlock(frame);
        uint32_t line = QI_GetLineBWi(1, w);
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < w; ++x)
                require(((got[size_t(y) * line + x / 8] ^ buffer[size_t(y) * line + x / 8]) >> (7 - x % 8) & 1) == 0);
    }
    QI_FrameDelete(frame);
}

void check_matrix_and_line(Input &in, int32_t w, int32_t h, std::vector<uint8_t> &pixels) {
    std::vector<int32_t> runs;
    int32_t rows = in.byte() % 8 + 1;
    for (int32_t r = 0; r < rows; ++r) {
        int32_t k = in.byte() % 6;
        runs.push_back(k);
        for (int32_t i = 0; i < 2 * k; ++i)
            runs.push_back(int32_t(in.word()) >> (in.byte() % 32));
    }
    QI_Rect runsRect{int32_t(in.word()) >> 20, int32_t(in.byte()) - 128, 0, 0};
    runsRect.right = runsRect.left + (in.byte() + 1) * 300;
    runsRect.bottom = runsRect.top + rows - 1;
    QI_Rect pixelsRect{int32_t(in.byte()) - 128, int32_t(in.byte()) - 128, 0, 0};
    pixelsRect.right = pixelsRect.left + w - 1;
    pixelsRect.bottom = pixelsRect.top + h - 1;
    require(QI_DmriFillRunMatxI_BW(pixels.data(), &pixelsRect, runs.data(), &runsRect) == 1);
    QI_Point a{int32_t(in.word()), int32_t(in.word())}, b{int32_t(in.word()) >> (in.byte() % 32), int32_t(in.word())};
    require(QI_DmriLine_BW(pixels.data(), w, h, &a, &b, in.word()) == 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool started = QI_InitFrameFunctions("/nonexistent", "/tmp", nullptr) == 1;
    if (!started || size < 5 || size > 4096)
        return 0;
    Input in(data, size);
    uint8_t flags = in.byte();
    int kinds[4] = {1, 2, 4, 1};
    int32_t w = 1 + (in.byte() | in.byte() << 8) % 400, h = 1 + (in.byte() | in.byte() << 8) % 300;
    Sets s = build_sets(in, flags & 16);
    check_conversion(s.integer, true);
    check_conversion(s.floating, false);
    std::vector<uint8_t> pixels;
    check_buffer_fill(s.integer, w, h, pixels);
    check_frame_fill(s, flags & 1, flags & 2, kinds[(flags >> 2) & 3], w, h, pixels);
    check_matrix_and_line(in, w, h, pixels);
    return 0;
}
