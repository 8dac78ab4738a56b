/*
 * file_support.h - image files for the file tests: running the peer tools
 * (libtiff's tools, netpbm, ImageMagick, ghostscript), and PNM images as
 * the common ground between their pixels and our frames.
 *
 * PNM is what netpbm's converters and tifftopnm speak, so a peer's view of
 * a file is read here as a PnmImage and compared with a frame's pixels:
 * bilevel samples 1 = black (as PBM defines them; our frames use 1 = white),
 * grey one byte, colour R, G, B. Colour frames hold Y, U, V; a peer's colour
 * pixels are compared after the library's own B, G, R -> Y, U, V conversion,
 * which is exactly what a load does.
 */
#ifndef QUILL_TESTS_FILE_SUPPORT_H
#define QUILL_TESTS_FILE_SUPPORT_H

#include "quillimg.h"
#include "raster_support.h"

#include <gtest/gtest.h>

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <string>
#include <vector>

namespace quill_test {

// Runs a shell command; its exit status, or -1 when it could not run.
inline int run_command(const std::string &command) {
    int status = system(command.c_str());
    if (status == -1 || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// ImageMagick's convert by its Debian path (a same-named wrapper may sit
// earlier on PATH).
inline const char *imagemagick() { return "/usr/bin/convert"; }

enum class PnmFormat { Bitmap, Grey, Colour }; // P4, P5, P6

struct PnmImage {
    PnmFormat format = PnmFormat::Grey;
    int32_t width = 0, height = 0;
    // One byte per sample: bitmap 1 = black, grey 0..255, colour R, G, B.
    std::vector<uint8_t> samples;

    int channels() const { return format == PnmFormat::Colour ? 3 : 1; }
    bool valid() const { return width > 0 && height > 0; }
    uint8_t at(int32_t x, int32_t y, int c = 0) const {
        return samples[(static_cast<size_t>(y) * width + x) * channels() + c];
    }
};

inline std::vector<uint8_t> read_file(const std::string &path) {
    std::vector<uint8_t> bytes;
    if (FILE *f = fopen(path.c_str(), "rb")) {
        uint8_t buffer[65536];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
            bytes.insert(bytes.end(), buffer, buffer + n);
        fclose(f);
    }
    return bytes;
}

inline bool write_file(const std::string &path, const std::vector<uint8_t> &bytes) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

// Writes a binary PNM (P4, P5 or P6, maxval 255).
inline bool write_pnm(const std::string &path, const PnmImage &image) {
    std::string header;
    const char *magic = image.format == PnmFormat::Bitmap ? "P4" : image.format == PnmFormat::Grey ? "P5" : "P6";
    header = std::string(magic) + "\n" + std::to_string(image.width) + " " + std::to_string(image.height) + "\n";
    if (image.format != PnmFormat::Bitmap)
        header += "255\n";
    std::vector<uint8_t> bytes(header.begin(), header.end());
    if (image.format == PnmFormat::Bitmap) {
        size_t rowBytes = (static_cast<size_t>(image.width) + 7) / 8;
        for (int32_t y = 0; y < image.height; ++y) {
            std::vector<uint8_t> row(rowBytes, 0);
            for (int32_t x = 0; x < image.width; ++x)
                if (image.at(x, y))
                    row[x >> 3] = static_cast<uint8_t>(row[x >> 3] | (0x80 >> (x & 7)));
            bytes.insert(bytes.end(), row.begin(), row.end());
        }
    } else {
        bytes.insert(bytes.end(), image.samples.begin(), image.samples.end());
    }
    return write_file(path, bytes);
}

namespace detail {
// Next header number of a PNM, skipping white space and comments.
inline bool pnm_number(const std::vector<uint8_t> &b, size_t &i, int64_t &value) {
    while (i < b.size() && (isspace(b[i]) || b[i] == '#')) {
        if (b[i] == '#')
            while (i < b.size() && b[i] != '\n')
                ++i;
        else
            ++i;
    }
    if (i >= b.size() || !isdigit(b[i]))
        return false;
    value = 0;
    while (i < b.size() && isdigit(b[i]) && value < (1 << 24))
        value = value * 10 + (b[i++] - '0');
    return true;
}
} // namespace detail

// Reads a binary PNM (P4, P5, P6; maxval up to 255, or 65535 taking the
// high bytes). An invalid image (width 0) when the file is not one.
inline PnmImage read_pnm(const std::string &path) {
    PnmImage image;
    std::vector<uint8_t> b = read_file(path);
    if (b.size() < 3 || b[0] != 'P' || b[1] < '4' || b[1] > '6')
        return image;
    PnmFormat format = b[1] == '4' ? PnmFormat::Bitmap : b[1] == '5' ? PnmFormat::Grey : PnmFormat::Colour;
    size_t i = 2;
    int64_t w, h, maxval = 1;
    if (!detail::pnm_number(b, i, w) || !detail::pnm_number(b, i, h) ||
        (format != PnmFormat::Bitmap && !detail::pnm_number(b, i, maxval)) || w < 1 || h < 1)
        return image;
    ++i; // the single white-space character before the samples
    PnmImage out;
    out.format = format;
    out.width = static_cast<int32_t>(w);
    out.height = static_cast<int32_t>(h);
    size_t channels = static_cast<size_t>(out.channels());
    size_t count = static_cast<size_t>(w) * static_cast<size_t>(h) * channels;
    out.samples.resize(count);
    if (format == PnmFormat::Bitmap) {
        size_t rowBytes = (static_cast<size_t>(w) + 7) / 8;
        if (b.size() < i + rowBytes * static_cast<size_t>(h))
            return image;
        for (int64_t y = 0; y < h; ++y)
            for (int64_t x = 0; x < w; ++x)
                out.samples[static_cast<size_t>(y * w + x)] =
                    (b[i + static_cast<size_t>(y) * rowBytes + static_cast<size_t>(x >> 3)] >> (7 - (x & 7))) & 1;
        return out;
    }
    size_t sampleBytes = maxval > 255 ? 2 : 1;
    if (b.size() < i + count * sampleBytes)
        return image;
    for (size_t k = 0; k < count; ++k) {
        uint32_t v = sampleBytes == 2 ? b[i + 2 * k] : b[i + k];
        out.samples[k] = static_cast<uint8_t>(maxval == 255 || sampleBytes == 2 ? v : (v * 255 + maxval / 2) / maxval);
    }
    return out;
}

// Our raster in PNM terms: bilevel as a bitmap (1 = black), grey as grey,
// colour (Y, U, V) converted to R, G, B by the library's conversion.
inline PnmImage pnm_from_raster(const Raster &r) {
    PnmImage image;
    image.width = r.width;
    image.height = r.height;
    image.format = r.kind == 1 ? PnmFormat::Bitmap : r.kind == 4 ? PnmFormat::Colour : PnmFormat::Grey;
    image.samples.resize(static_cast<size_t>(r.width) * r.height * image.channels());
    Raster bgr = r;
    if (r.kind == 4)
        QI_DmriYUVtoBGR(bgr.data(), bgr.width, bgr.height);
    size_t k = 0;
    for (int32_t y = 0; y < r.height; ++y) {
        const uint8_t *row = bgr.data() + static_cast<size_t>(y) * bgr.line();
        for (int32_t x = 0; x < r.width; ++x) {
            if (r.kind == 1) {
                image.samples[k++] = static_cast<uint8_t>(r.get(x, y) ? 0 : 1);
            } else if (r.kind == 4) {
                image.samples[k++] = row[3 * x + 2];
                image.samples[k++] = row[3 * x + 1];
                image.samples[k++] = row[3 * x];
            } else {
                image.samples[k++] = row[x];
            }
        }
    }
    return image;
}

// A peer's image as the raster a load should give: bitmap to bilevel,
// grey to grey, colour through the library's B, G, R -> Y, U, V.
inline Raster raster_from_pnm(const PnmImage &image) {
    int32_t kind = image.format == PnmFormat::Bitmap ? 1 : image.format == PnmFormat::Colour ? 4 : 2;
    Raster r(image.width, image.height, kind, 0xFF);
    for (int32_t y = 0; y < image.height; ++y) {
        uint8_t *row = r.data() + static_cast<size_t>(y) * r.line();
        for (int32_t x = 0; x < image.width; ++x) {
            if (kind == 1) {
                r.set(x, y, image.at(x, y) ? 0 : 1);
            } else if (kind == 4) {
                row[3 * x] = image.at(x, y, 2);
                row[3 * x + 1] = image.at(x, y, 1);
                row[3 * x + 2] = image.at(x, y, 0);
            } else {
                row[x] = image.at(x, y);
            }
        }
    }
    if (kind == 4)
        QI_DmriBGRtoYUV(r.data(), r.width, r.height);
    return r;
}

// Pixels of a frame and a peer's image, compared in the frame's terms.
inline ::testing::AssertionResult frame_matches_pnm(int frame, const PnmImage &image) {
    if (!image.valid())
        return ::testing::AssertionFailure() << "the peer's image could not be read";
    Raster expected = raster_from_pnm(image);
    Raster actual = frame_pixels(frame);
    if (actual.kind == 2 && expected.kind == 4) {
        // A grey frame against a colour image whose pixels are all neutral.
        Raster grey(expected.width, expected.height, 2, 0);
        for (int32_t y = 0; y < expected.height; ++y)
            for (int32_t x = 0; x < expected.width; ++x)
                grey.set(x, y, expected.get(x, y) & 0xFF);
        expected = grey;
    }
    return same_pixels(actual, expected);
}

} // namespace quill_test

#endif
