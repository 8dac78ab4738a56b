/*
 * save_support.h - frames to save and what their files must hold, for the
 * TIFF writer and PCX tests.
 *
 * Colour crosses every image file as (B, G, R) and frames hold (Y, U, V);
 * the two conversions are not inverse to the last bit. A colour frame saved
 * and loaded again therefore holds BGRtoYUV(YUVtoBGR(original)), computed
 * here with the library's own conversions: round trips are compared with
 * that, exactly, and files are compared with YUVtoBGR(original), exactly,
 * rather than with a tolerance that could hide a swapped channel.
 */
#ifndef QUILL_TESTS_SAVE_SUPPORT_H
#define QUILL_TESTS_SAVE_SUPPORT_H

#include "file_support.h"
#include "raster_support.h"

#include <gtest/gtest.h>

#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace quill_test {

// Bilevel content like a scanned drawing: white, ruled lines, filled
// blocks, sparse specks, and a border touching every edge.
inline Raster drawing_raster(int32_t width, int32_t height, uint32_t seed) {
    std::mt19937 random(seed);
    Raster r(width, height, 1, 0xFF);
    auto black = [&](int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
        for (int32_t y = std::max(0, y0); y <= std::min(height - 1, y1); ++y)
            for (int32_t x = std::max(0, x0); x <= std::min(width - 1, x1); ++x)
                r.set(x, y, 0);
    };
    black(0, 0, width - 1, 0);
    black(0, height - 1, width - 1, height - 1);
    black(0, 0, 0, height - 1);
    black(width - 1, 0, width - 1, height - 1);
    int32_t lines = 4 + (width + height) / 40;
    for (int32_t i = 0; i < lines; ++i) {
        int32_t x = static_cast<int32_t>(random() % width), y = static_cast<int32_t>(random() % height);
        int32_t thick = 1 + static_cast<int32_t>(random() % 4);
        if (i % 3 == 0)
            black(x, y, x + static_cast<int32_t>(random() % (width / 2 + 1)), y + thick - 1);
        else if (i % 3 == 1)
            black(x, y, x + thick - 1, y + static_cast<int32_t>(random() % (height / 2 + 1)));
        else
            black(x, y, x + static_cast<int32_t>(random() % 40), y + static_cast<int32_t>(random() % 40));
    }
    int64_t specks = static_cast<int64_t>(width) * height / 500 + 1;
    for (int64_t i = 0; i < specks; ++i)
        r.set(static_cast<int32_t>(random() % width), static_cast<int32_t>(random() % height), 0);
    return r;
}

// Grey: random bytes. Colour: random (B, G, R) converted to (Y, U, V), so
// that every pixel is one a load can produce.
inline Raster random_raster(int32_t width, int32_t height, int32_t kind, uint32_t seed) {
    std::mt19937 random(seed);
    if (kind == 1) {
        Raster r(width, height, 1, 0xFF);
        r.fill_sparse(random, 30);
        return r;
    }
    Raster r(width, height, kind, 0);
    r.fill_random(random);
    if (kind == 4)
        QI_DmriBGRtoYUV(r.data(), width, height);
    return r;
}

// What a colour frame holds after its pixels crossed a file.
inline Raster settled(const Raster &r) {
    Raster out = r;
    if (r.kind == 4) {
        QI_DmriYUVtoBGR(out.data(), out.width, out.height);
        QI_DmriBGRtoYUV(out.data(), out.width, out.height);
    }
    return out;
}

// A palette of `colours` coloured entries: (Y, U, V) record as a frame
// holds it, n - 1 first.
inline std::vector<uint8_t> colour_palette(uint32_t colours, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> record(1 + 4 * colours, 0);
    record[0] = static_cast<uint8_t>(colours - 1);
    for (uint32_t i = 0; i < colours; ++i) {
        uint8_t *e = &record[1 + 4 * i];
        e[0] = static_cast<uint8_t>(random());
        e[1] = static_cast<uint8_t>(random());
        e[2] = static_cast<uint8_t>(i * 255 / colours); // distinct, and never all grey
        QI_DmriBGRtoYUV(e, 1, 1);
        e[3] = 0;
    }
    return record;
}

// A colour frame carrying `palette`, its pixels random palette colours
// (in horizontal runs, as real palette images have); the raster it holds
// in `pixels`. -1 on failure.
inline int palette_frame(int32_t width, int32_t height, const std::vector<uint8_t> &palette, uint32_t seed,
                         Raster &pixels) {
    std::mt19937 random(seed);
    uint32_t colours = palette[0] + 1u;
    pixels = Raster(width, height, 4, 0);
    for (int32_t y = 0; y < height; ++y) {
        uint32_t index = 0;
        for (int32_t x = 0; x < width; ++x) {
            if (random() % 4 == 0)
                index = random() % colours;
            const uint8_t *e = &palette[1 + 4 * index];
            pixels.set(x, y, e[0] | e[1] << 8 | static_cast<uint32_t>(e[2]) << 16);
        }
    }
    int frame = QI_FrameCreate(width, height, 4, QI_STORAGE_MEMORY, palette.data(), 1);
    if (frame < 0 || QI_FrameLock(frame) != 1)
        return -1;
    int ok = QI_FrameSetRect(frame, nullptr, pixels.data(), 4, -1, -1);
    QI_FrameUnlock(frame);
    return ok == 1 ? frame : -1;
}

// A frame to save and the pixels it holds. Kind 3 stands for a colour frame
// carrying a palette of 16 colours; `bgrPalette` is then the record (n - 1,
// then (B, G, R, 0) entries) that its files must carry.
struct SavedFrame {
    int frame = -1;
    Raster pixels;
    std::vector<uint8_t> bgrPalette;
};

inline SavedFrame make_frame(int32_t kind, int32_t width, int32_t height, uint32_t seed) {
    SavedFrame s;
    if (kind == 3) {
        std::vector<uint8_t> palette = colour_palette(16, seed);
        s.frame = palette_frame(width, height, palette, seed, s.pixels);
        s.bgrPalette = palette;
        for (uint32_t i = 0; i < 16; ++i)
            QI_DmriYUVtoBGR(&s.bgrPalette[1 + 4 * i], 1, 1);
        return s;
    }
    s.pixels = kind == 1 ? drawing_raster(width, height, seed) : random_raster(width, height, kind, seed);
    s.frame = frame_from(s.pixels);
    return s;
}

// Pixels of two rasters, bilevel ones compared a byte at a time (the page
// sized ones are large).
inline ::testing::AssertionResult same_raster(const Raster &a, const Raster &b) {
    if (a.width != b.width || a.height != b.height || a.kind != b.kind)
        return ::testing::AssertionFailure() << "shapes differ: " << a.width << "x" << a.height << " kind " << a.kind
                                             << " vs " << b.width << "x" << b.height << " kind " << b.kind;
    if (a.kind != 1)
        return same_pixels(a, b);
    uint32_t full = static_cast<uint32_t>(a.width) / 8, tail = static_cast<uint32_t>(a.width) % 8;
    uint8_t mask = static_cast<uint8_t>(0xFF00u >> tail);
    for (int32_t y = 0; y < a.height; ++y) {
        const uint8_t *ra = a.data() + static_cast<size_t>(y) * a.line();
        const uint8_t *rb = b.data() + static_cast<size_t>(y) * b.line();
        if (memcmp(ra, rb, full) != 0 || (tail && ((ra[full] ^ rb[full]) & mask)))
            return same_pixels(a, b); // names the first differing pixel
    }
    return ::testing::AssertionSuccess();
}

// The (R, G, B) bytes a file of the raster must decode to: bilevel 0 / 255,
// grey its byte three times, colour converted by the library.
inline std::vector<uint8_t> rgb_of(const Raster &r) {
    std::vector<uint8_t> out;
    out.reserve(static_cast<size_t>(r.width) * r.height * 3);
    Raster bgr = r;
    if (r.kind == 4)
        QI_DmriYUVtoBGR(bgr.data(), bgr.width, bgr.height);
    for (int32_t y = 0; y < r.height; ++y) {
        const uint8_t *row = bgr.data() + static_cast<size_t>(y) * bgr.line();
        for (int32_t x = 0; x < r.width; ++x) {
            if (r.kind == 4) {
                out.insert(out.end(), {row[3 * x + 2], row[3 * x + 1], row[3 * x]});
            } else {
                uint8_t v = r.kind == 1 ? (r.get(x, y) ? 255 : 0) : row[x];
                out.insert(out.end(), {v, v, v});
            }
        }
    }
    return out;
}

inline std::vector<uint8_t> rgb_of(const PnmImage &image) {
    std::vector<uint8_t> out;
    out.reserve(static_cast<size_t>(image.width) * image.height * 3);
    for (int32_t y = 0; y < image.height; ++y)
        for (int32_t x = 0; x < image.width; ++x) {
            if (image.format == PnmFormat::Colour) {
                out.insert(out.end(), {image.at(x, y, 0), image.at(x, y, 1), image.at(x, y, 2)});
            } else {
                uint8_t v = image.format == PnmFormat::Bitmap ? (image.at(x, y) ? 0 : 255) : image.at(x, y);
                out.insert(out.end(), {v, v, v});
            }
        }
    return out;
}

inline ::testing::AssertionResult same_rgb(const std::vector<uint8_t> &actual, const std::vector<uint8_t> &expected,
                                           int32_t width) {
    if (actual.size() != expected.size())
        return ::testing::AssertionFailure() << "sizes differ: " << actual.size() << " vs " << expected.size();
    for (size_t i = 0; i < actual.size(); ++i)
        if (actual[i] != expected[i]) {
            size_t pixel = i / 3;
            return ::testing::AssertionFailure()
                   << "pixel (" << pixel % width << ", " << pixel / width << ") channel " << i % 3 << ": "
                   << int(actual[i]) << " vs " << int(expected[i]);
        }
    return ::testing::AssertionSuccess();
}

// A loaded frame against a peer tool's decode of the same file, in the
// frame's terms: bilevel frames against black and white, grey against the
// grey level, colour against the library's conversion of the peer's
// (R, G, B), which is exactly what a load computes.
inline ::testing::AssertionResult frame_equals_peer(int frame, const PnmImage &peer) {
    if (!peer.valid())
        return ::testing::AssertionFailure() << "the peer's image could not be read";
    Raster actual = frame_pixels(frame);
    if (actual.width != peer.width || actual.height != peer.height)
        return ::testing::AssertionFailure() << "sizes differ";
    std::vector<uint8_t> rgb = rgb_of(peer);
    Raster expected(peer.width, peer.height, actual.kind, 0xFF);
    for (int32_t y = 0; y < peer.height; ++y)
        for (int32_t x = 0; x < peer.width; ++x) {
            const uint8_t *p = &rgb[(static_cast<size_t>(y) * peer.width + x) * 3];
            if (actual.kind == 1) {
                if ((p[0] != 0 && p[0] != 255) || p[1] != p[0] || p[2] != p[0])
                    return ::testing::AssertionFailure() << "the peer's pixel (" << x << ", " << y << ") is not bilevel";
                expected.set(x, y, p[0] ? 1 : 0);
            } else if (actual.kind == 2) {
                if (p[1] != p[0] || p[2] != p[0])
                    return ::testing::AssertionFailure() << "the peer's pixel (" << x << ", " << y << ") is not grey";
                expected.set(x, y, p[0]);
            } else {
                uint8_t bgr[3] = {p[2], p[1], p[0]};
                QI_DmriBGRtoYUV(bgr, 1, 1);
                expected.set(x, y, bgr[0] | bgr[1] << 8 | static_cast<uint32_t>(bgr[2]) << 16);
            }
        }
    return same_raster(actual, expected);
}

// Loads the file a SavedFrame was saved to and compares it with what the
// save must give back: the pixels as settled, and the palette carried again
// by a palette frame (kind 3).
inline ::testing::AssertionResult loads_back_as_saved(const std::string &file, const SavedFrame &s, int32_t kind) {
    int loaded = QI_FrameFileLoad(file.c_str(), QI_STORAGE_MEMORY);
    if (loaded < 0)
        return ::testing::AssertionFailure() << "the saved file does not load";
    bool hasPalette = QI_FrameGetData(loaded)->palette != 0;
    ::testing::AssertionResult same = same_raster(frame_pixels(loaded), settled(s.pixels));
    QI_FrameDelete(loaded);
    if (!same)
        return same;
    if (hasPalette != (kind == 3))
        return ::testing::AssertionFailure() << (hasPalette ? "a palette appeared" : "the palette was lost");
    return ::testing::AssertionSuccess();
}

// A file's bytes, and little-endian fields in them.
inline uint32_t u16_at(const std::vector<uint8_t> &b, size_t at) { return b[at] | b[at + 1] << 8; }
inline uint32_t u32_at(const std::vector<uint8_t> &b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

inline bool file_exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

} // namespace quill_test

#endif
