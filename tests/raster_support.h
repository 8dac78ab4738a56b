/*
 * raster_support.h - rasters for tests: random content, pixel access, and
 * moving whole rasters in and out of frames through the public interface.
 */
#ifndef QUILL_TESTS_RASTER_SUPPORT_H
#define QUILL_TESTS_RASTER_SUPPORT_H

#include "quillimg.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace quill_test {

struct Raster {
    int32_t width = 0, height = 0, kind = 1;
    std::vector<uint8_t> bytes;

    Raster() = default;
    Raster(int32_t w, int32_t h, int32_t k, uint8_t fill = 0xFF)
        : width(w), height(h), kind(k), bytes(static_cast<size_t>(QI_GetLineBWi(k, w)) * h, fill) {}
    uint32_t line() const { return QI_GetLineBWi(kind, width); }
    uint8_t *data() { return bytes.data(); }
    const uint8_t *data() const { return bytes.data(); }

    // Bilevel: 1 white, 0 black; grey: the byte; colour: Y | U << 8 | V << 16.
    uint32_t get(int32_t x, int32_t y) const {
        const uint8_t *row = bytes.data() + static_cast<size_t>(y) * line();
        if (kind == 1)
            return (row[x >> 3] >> (7 - (x & 7))) & 1u;
        if (kind == 4)
            return row[3 * x] | row[3 * x + 1] << 8 | static_cast<uint32_t>(row[3 * x + 2]) << 16;
        return row[x];
    }
    void set(int32_t x, int32_t y, uint32_t v) {
        uint8_t *row = bytes.data() + static_cast<size_t>(y) * line();
        if (kind == 1) {
            uint8_t bit = static_cast<uint8_t>(0x80u >> (x & 7));
            row[x >> 3] = static_cast<uint8_t>(v ? row[x >> 3] | bit : row[x >> 3] & ~bit);
        } else if (kind == 4) {
            row[3 * x] = static_cast<uint8_t>(v);
            row[3 * x + 1] = static_cast<uint8_t>(v >> 8);
            row[3 * x + 2] = static_cast<uint8_t>(v >> 16);
        } else {
            row[x] = static_cast<uint8_t>(v);
        }
    }
    void fill_random(std::mt19937 &random) {
        for (uint8_t &b : bytes)
            b = static_cast<uint8_t>(random());
    }
    // Drawing-like bilevel content: white with sparse black.
    void fill_sparse(std::mt19937 &random, int percentBlack) {
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x)
                set(x, y, static_cast<int>(random() % 100) < percentBlack ? 0 : 1);
    }
};

// Pixels of two rasters of the same size, the first difference reported.
inline ::testing::AssertionResult same_pixels(const Raster &a, const Raster &b) {
    if (a.width != b.width || a.height != b.height || a.kind != b.kind)
        return ::testing::AssertionFailure() << "different shapes";
    for (int32_t y = 0; y < a.height; ++y)
        for (int32_t x = 0; x < a.width; ++x)
            if (a.get(x, y) != b.get(x, y))
                return ::testing::AssertionFailure()
                       << "pixel (" << x << ", " << y << "): " << a.get(x, y) << " vs " << b.get(x, y);
    return ::testing::AssertionSuccess();
}

// A new frame holding the raster; -1 on failure.
inline int frame_from(const Raster &r, int32_t storage = 1) {
    int frame = QI_FrameCreate(r.width, r.height, r.kind, storage, nullptr, 0);
    if (frame < 0 || QI_FrameLock(frame) != 1)
        return -1;
    int ok = QI_FrameSetRect(frame, nullptr, r.data(), r.kind, -1, -1);
    QI_FrameUnlock(frame);
    return ok ? frame : -1;
}

// The whole frame as a raster (the frame keeps its lock state).
inline Raster frame_pixels(int frame) {
    const QI_FrameRecord *f = QI_FrameGetData(frame);
    Raster r(f->width, f->height, f->kind, 0);
    bool locked = f->locked;
    if (!locked)
        QI_FrameLock(frame);
    EXPECT_EQ(QI_FrameGetRect(frame, nullptr, r.data()), 1);
    if (!locked)
        QI_FrameUnlock(frame);
    return r;
}

} // namespace quill_test

#endif
