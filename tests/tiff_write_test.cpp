/*
 * tiff_write_test.cpp - the TIFF writer: the fixed layout of its files,
 * libtiff reading every kind back, without a warning, with the pixels
 * the frame holds, round trips through our own reader, and saves that fail
 * part-way leaving no file.
 */
#include "fault_steps.h"
#include "save_support.h"
#include "test_support.h"

#include <tiffio.h>

#include <stdarg.h>

#include <string>
#include <vector>

using namespace quill_test;

namespace {

// Warnings libtiff raised while reading our files: a file it merely
// tolerates is not a good file.
int g_tiffWarnings = 0;
void count_warning(const char *, const char *, va_list) { ++g_tiffWarnings; }

class TiffWrite : public LibraryFixture {
protected:
    void SetUp() override {
        LibraryFixture::SetUp();
        TIFFSetWarningHandler(count_warning);
        g_tiffWarnings = 0;
    }
    std::string path(const std::string &name) const { return files_.path() + "/" + name; }
    TempDir files_;
};

struct Entry {
    uint32_t tag, type, count, value;
};

std::vector<Entry> directory_of(const std::vector<uint8_t> &b) {
    std::vector<Entry> entries;
    uint32_t n = u16_at(b, 40);
    for (uint32_t i = 0; i < n; ++i) {
        size_t at = 42 + 12 * i;
        entries.push_back({u16_at(b, at), u16_at(b, at + 2), u32_at(b, at + 4), u32_at(b, at + 8)});
    }
    return entries;
}

// What libtiff decodes from a file, as (R, G, B) bytes.
std::vector<uint8_t> libtiff_rgb(const std::string &file, uint16_t &photometric) {
    std::vector<uint8_t> rgb;
    TIFF *tif = TIFFOpen(file.c_str(), "r");
    if (!tif)
        return rgb;
    uint32_t width = 0, height = 0;
    uint16_t bits = 0, samples = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
    if (photometric == PHOTOMETRIC_PALETTE)
        TIFFGetField(tif, TIFFTAG_COLORMAP, &red, &green, &blue);
    std::vector<uint8_t> line(TIFFScanlineSize(tif));
    for (uint32_t y = 0; y < height; ++y) {
        if (TIFFReadScanline(tif, line.data(), y, 0) != 1) {
            rgb.clear();
            break;
        }
        for (uint32_t x = 0; x < width; ++x) {
            if (samples == 3) {
                rgb.insert(rgb.end(), {line[3 * x], line[3 * x + 1], line[3 * x + 2]});
            } else if (bits == 1) {
                // WhiteIsZero: a set bit is black.
                uint8_t v = (line[x >> 3] >> (7 - (x & 7))) & 1 ? 0 : 255;
                rgb.insert(rgb.end(), {v, v, v});
            } else if (photometric == PHOTOMETRIC_PALETTE) {
                uint8_t i = line[x];
                rgb.insert(rgb.end(), {static_cast<uint8_t>(red[i] >> 8), static_cast<uint8_t>(green[i] >> 8),
                                       static_cast<uint8_t>(blue[i] >> 8)});
            } else {
                rgb.insert(rgb.end(), {line[x], line[x], line[x]});
            }
        }
    }
    TIFFClose(tif);
    return rgb;
}

// A bilevel file against a bilevel raster, row by row as libtiff decodes
// it (the rows are WhiteIsZero: each file bit is the frame bit inverted).
::testing::AssertionResult libtiff_matches_bilevel(const std::string &file, const Raster &r) {
    TIFF *tif = TIFFOpen(file.c_str(), "r");
    if (!tif)
        return ::testing::AssertionFailure() << "libtiff cannot open the file";
    std::vector<uint8_t> line(TIFFScanlineSize(tif));
    const size_t full = r.width / 8, tail = r.width % 8;
    const uint8_t mask = static_cast<uint8_t>(0xFF00u >> tail);
    ::testing::AssertionResult result = ::testing::AssertionSuccess();
    for (int32_t y = 0; y < r.height && result; ++y) {
        if (line.size() != (r.width + 7u) / 8 || TIFFReadScanline(tif, line.data(), y, 0) != 1) {
            result = ::testing::AssertionFailure() << "row " << y << " cannot be read";
            break;
        }
        const uint8_t *row = r.data() + static_cast<size_t>(y) * r.line();
        for (size_t i = 0; i < full + (tail ? 1 : 0) && result; ++i) {
            uint8_t differ = static_cast<uint8_t>(~line[i] ^ row[i]);
            if (i == full)
                differ &= mask;
            if (differ)
                result = ::testing::AssertionFailure() << "row " << y << " differs in byte " << i;
        }
    }
    TIFFClose(tif);
    return result;
}

uint32_t data_offset(int32_t kind) { return kind == 3 ? 1774 : kind == 4 ? 208 : 202; }

TEST_F(TiffWrite, LayoutIsFixedByTheKind) {
    struct Case {
        int32_t kind, width, height;
    } cases[] = {{1, 1, 1}, {2, 3, 2}, {4, 5, 3}, {3, 7, 4}, {1, 130, 3}};
    for (const Case &c : cases) {
        SCOPED_TRACE("kind " + std::to_string(c.kind) + ", width " + std::to_string(c.width));
        SavedFrame s;
        if (c.kind == 1 && c.width == 1) { // a single white pixel
            s.pixels = Raster(1, 1, 1, 0xFF);
            s.frame = frame_from(s.pixels);
        } else {
            s = make_frame(c.kind, c.width, c.height, 7);
        }
        ASSERT_GE(s.frame, 0);
        std::string file = path("layout.tif");
        ASSERT_EQ(QI_FrameFileSave(s.frame, file.c_str()), 1);
        std::vector<uint8_t> b = read_file(file);
        ASSERT_GT(b.size(), data_offset(c.kind));
        EXPECT_EQ(std::string(b.begin(), b.begin() + 4), std::string("II*\0", 4));
        EXPECT_EQ(u32_at(b, 4), 40u);
        EXPECT_EQ(std::string(b.begin() + 8, b.begin() + 40), std::string("Brightquill version 2.1        \0", 32));

        std::vector<Entry> d = directory_of(b);
        const bool palette = c.kind == 3;
        std::vector<uint32_t> tags = {254, 255, 256, 257, 258, 259, 262, 273, 277, 278, 279, 284, 305};
        if (palette)
            tags = {254, 255, 256, 257, 258, 259, 262, 273, 277, 278, 279, 280, 281, 284, 305, 320};
        ASSERT_EQ(d.size(), tags.size());
        for (size_t i = 0; i < d.size(); ++i)
            EXPECT_EQ(d[i].tag, tags[i]) << "entry " << i;
        EXPECT_EQ(u32_at(b, 42 + 12 * d.size()), 0u) << "no further directory";
        auto value = [&](uint32_t tag) {
            for (const Entry &e : d)
                if (e.tag == tag)
                    return e;
            return Entry{0, 0, 0, 0xDEADu};
        };
        EXPECT_EQ(value(256).value, static_cast<uint32_t>(c.width));
        EXPECT_EQ(value(257).value, static_cast<uint32_t>(c.height));
        EXPECT_EQ(value(278).value, static_cast<uint32_t>(c.height));
        EXPECT_EQ(value(259).value, c.kind == 1 ? 4u : 1u);
        const uint32_t photometric[] = {0, 0, 1, 3, 2};
        EXPECT_EQ(value(262).value, photometric[c.kind]);
        EXPECT_EQ(value(277).value, c.kind == 4 ? 3u : 1u);
        EXPECT_EQ(value(284).value, 1u);
        Entry software = value(305);
        EXPECT_TRUE(software.type == 2 && software.count == 32 && software.value == 8);

        const uint32_t offset = data_offset(c.kind);
        EXPECT_EQ(value(273).value, offset);
        // Byte 170 holds the strip length, which runs to the end of the file.
        EXPECT_EQ(u32_at(b, 170), b.size() - offset);
        EXPECT_EQ(value(279).value, b.size() - offset);
        if (c.kind != 1) {
            uint32_t samples = c.kind == 4 ? 3 : 1;
            EXPECT_EQ(b.size() - offset, samples * c.width * c.height) << "uncompressed rows";
        }

        Entry bits = value(258);
        if (c.kind == 4) {
            EXPECT_TRUE(bits.type == 3 && bits.count == 3 && bits.value == 202);
            EXPECT_EQ(std::vector<uint8_t>(b.begin() + 202, b.begin() + 208), (std::vector<uint8_t>{8, 0, 8, 0, 8, 0}));
        } else {
            EXPECT_EQ(bits.value, c.kind == 1 ? 1u : 8u);
        }
        if (palette) {
            EXPECT_EQ(value(280).value, 0u);
            EXPECT_EQ(value(281).value, 15u) << "MaxSampleValue: entries - 1";
            Entry map = value(320);
            EXPECT_TRUE(map.type == 3 && map.count == 768 && map.value == 238);
            for (uint32_t plane = 0; plane < 3; ++plane)
                for (uint32_t i = 0; i < 256; ++i) {
                    uint32_t expected = i < 16 ? s.bgrPalette[1 + 4 * i + (2 - plane)] * 257u : 0u;
                    ASSERT_EQ(u16_at(b, 238 + 2 * (plane * 256 + i)), expected) << "plane " << plane << " entry " << i;
                }
        }
        QI_FrameDelete(s.frame);
    }
}

TEST_F(TiffWrite, LibtiffReadsEveryKindWithTheFramesPixels) {
    struct Size {
        int32_t width, height;
    } sizes[] = {{1, 1}, {129, 129}, {77, 31}};
    for (int32_t kind : {1, 2, 3, 4})
        for (const Size &size : sizes) {
            SCOPED_TRACE("kind " + std::to_string(kind) + ", " + std::to_string(size.width) + "x" +
                         std::to_string(size.height));
            g_tiffWarnings = 0;
            SavedFrame s = make_frame(kind, size.width, size.height, 11 + kind);
            ASSERT_GE(s.frame, 0);
            std::string file = path("peer.tif");
            ASSERT_EQ(QI_FrameFileSave(s.frame, file.c_str()), 1);
            uint16_t photometric = 99;
            std::vector<uint8_t> rgb = libtiff_rgb(file, photometric);
            const uint16_t expected[] = {0, 0, 1, 3, 2};
            EXPECT_EQ(photometric, expected[kind]);
            EXPECT_TRUE(same_rgb(rgb, rgb_of(s.pixels), size.width));
            EXPECT_EQ(g_tiffWarnings, 0);
            QI_FrameDelete(s.frame);
        }
}

TEST_F(TiffWrite, RoundTripKeepsEveryPixel) {
    struct Size {
        int32_t width, height;
    } sizes[] = {{1, 1}, {129, 129}, {77, 31}, {300, 257}};
    for (int32_t kind : {1, 2, 3, 4})
        for (const Size &size : sizes) {
            SCOPED_TRACE("kind " + std::to_string(kind) + ", " + std::to_string(size.width) + "x" +
                         std::to_string(size.height));
            SavedFrame s = make_frame(kind, size.width, size.height, 23 + kind);
            ASSERT_GE(s.frame, 0);
            std::string file = path("round.TIF");
            ASSERT_EQ(QI_FrameFileSave(s.frame, file.c_str()), 1);
            EXPECT_TRUE(loads_back_as_saved(file, s, kind));
            QI_FrameDelete(s.frame);
        }
}

TEST_F(TiffWrite, PageSizedDrawingRoundTrip) {
    Raster page = drawing_raster(5000, 7000, 99);
    int frame = frame_from(page, QI_STORAGE_SWAP);
    ASSERT_GE(frame, 0);
    std::string file = path("page.tif");
    ASSERT_EQ(QI_FrameFileSave(frame, file.c_str()), 1);
    EXPECT_TRUE(libtiff_matches_bilevel(file, page));
    int loaded = QI_FrameFileLoad(file.c_str(), QI_STORAGE_SWAP);
    ASSERT_GE(loaded, 0);
    EXPECT_TRUE(same_raster(frame_pixels(loaded), page));
    QI_FrameDelete(loaded);
    QI_FrameDelete(frame);
}

// Every allocation, open and write of a save may fail: the save returns 0
// and leaves no file; sooner or later the same save succeeds.
TEST_F(TiffWrite, FailuresDuringASaveLeaveNoFile) {
    for (int32_t kind : {1, 2, 3, 4}) {
        SavedFrame s = make_frame(kind, 150, 140, 3);
        ASSERT_GE(s.frame, 0);
        std::string file = path("fail.tif");
        for (int step : {kFailAllocation, static_cast<int>(quill::FileOp::Open),
                         static_cast<int>(quill::FileOp::Write)}) {
            int failures = 0;
            fail_each_step(
                step, [&] { return QI_FrameFileSave(s.frame, file.c_str()) == 1; },
                [&](int64_t n) {
                    ++failures;
                    EXPECT_FALSE(file_exists(file)) << "a failed save left its file: step " << step << ", n " << n
                                                    << ", kind " << kind;
                });
            EXPECT_GT(failures, 0) << "step " << step << ": no fault reached the save";
            uint16_t photometric = 0;
            EXPECT_TRUE(same_rgb(libtiff_rgb(file, photometric), rgb_of(s.pixels), 150));
            unlink(file.c_str());
        }
        QI_FrameDelete(s.frame);
    }
}

} // namespace
