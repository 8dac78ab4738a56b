/*
 * pcx_test.cpp - PCX files: files of the peer tools (netpbm's ppmtopcx,
 * ImageMagick) load with their pixels in every layout they write; files we
 * write are read by pcxtoppm with the frame's pixels and load back
 * unchanged; the header and run coding as written; damaged and hostile
 * headers rejected; saves that fail leave no file.
 */
#include "fault_steps.h"
#include "save_support.h"
#include "test_support.h"

#include <string>
#include <vector>

using namespace quill_test;

namespace {

class Pcx : public LibraryFixture {
protected:
    std::string path(const std::string &name) const { return files_.path() + "/" + name; }
    int frames_alive() const {
        int count = 0;
        QI_FrameLibraryInfo(&count, nullptr);
        return count;
    }
    TempDir files_;
};

// Runs of a PCX file decoded without any checking beyond the vector's end:
// the oracle for what our writer put into a file.
std::vector<uint8_t> unrun(const std::vector<uint8_t> &file, size_t bytes, size_t *end = nullptr) {
    std::vector<uint8_t> out;
    size_t i = 128;
    while (i < file.size() && out.size() < bytes) {
        uint8_t b = file[i++];
        size_t count = 1;
        if ((b & 0xC0) == 0xC0) {
            count = b & 0x3F;
            b = file[i++];
        }
        out.insert(out.end(), count, b);
    }
    if (end)
        *end = i;
    return out;
}

// A peer's image, as a PNM of our making.
PnmImage pnm_image(PnmFormat format, int32_t width, int32_t height, const std::vector<uint8_t> &samples) {
    PnmImage image;
    image.format = format;
    image.width = width;
    image.height = height;
    image.samples = samples;
    return image;
}

PnmImage image_of_colours(int32_t width, int32_t height, uint32_t colours, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> palette(3 * colours);
    for (uint8_t &b : palette)
        b = static_cast<uint8_t>(random());
    std::vector<uint8_t> samples;
    for (int32_t i = 0; i < width * height; ++i) {
        uint32_t c = random() % colours;
        samples.insert(samples.end(), palette.begin() + 3 * c, palette.begin() + 3 * c + 3);
    }
    return pnm_image(PnmFormat::Colour, width, height, samples);
}

PnmImage random_image(PnmFormat format, int32_t width, int32_t height, uint32_t seed) {
    std::mt19937 random(seed);
    size_t count = static_cast<size_t>(width) * height * (format == PnmFormat::Colour ? 3 : 1);
    std::vector<uint8_t> samples(count);
    for (uint8_t &b : samples)
        b = static_cast<uint8_t>(format == PnmFormat::Bitmap ? random() % 3 == 0 : random());
    return pnm_image(format, width, height, samples);
}

TEST_F(Pcx, PeerFilesLoadWithTheirPixels) {
    const int32_t w = 61, h = 23;
    struct Case {
        const char *name;
        PnmImage image;
        std::string tool; // the command before the input file
        uint32_t bitsPerPixel, planes;
        int32_t frameKind;
    } cases[] = {
        {"netpbm bilevel", random_image(PnmFormat::Bitmap, w, h, 1), "ppmtopcx", 1, 1, 1},
        {"netpbm grey", random_image(PnmFormat::Grey, w, h, 2), "ppmtopcx", 8, 1, 2},
        {"netpbm 16 colours, 4 planes", image_of_colours(w, h, 16, 3), "ppmtopcx", 1, 4, 4},
        {"netpbm 16 colours, 4 bits", image_of_colours(w, h, 16, 4), "ppmtopcx -packed", 4, 1, 4},
        {"netpbm 4 colours, 2 bits", image_of_colours(w, h, 4, 5), "ppmtopcx -packed", 2, 1, 4},
        {"netpbm 4 colours, 2 planes", image_of_colours(w, h, 4, 6), "ppmtopcx", 1, 2, 4},
        {"netpbm 8-bit palette", image_of_colours(w, h, 200, 7), "ppmtopcx -8bit", 8, 1, 4},
        {"netpbm 24 bits", random_image(PnmFormat::Colour, w, h, 8), "ppmtopcx -24bit", 8, 3, 4},
        {"ImageMagick 24 bits", random_image(PnmFormat::Colour, w, h, 9), std::string(imagemagick()), 8, 3, 4},
        {"ImageMagick palette", image_of_colours(w, h, 100, 10), std::string(imagemagick()) + " -type palette", 8,
         1, 4},
        // ImageMagick writes grey and bilevel images as 24 bits.
        {"ImageMagick grey", random_image(PnmFormat::Grey, w, h, 11), std::string(imagemagick()), 8, 3, 4},
        {"ImageMagick bilevel", random_image(PnmFormat::Bitmap, w, h, 12), std::string(imagemagick()), 8, 3, 4},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string source = path("source.pnm"), file = path("peer.pcx");
        ASSERT_TRUE(write_pnm(source, c.image));
        std::string out = c.tool.find("ppmtopcx") == 0 ? " > " + file : " pcx:" + file;
        ASSERT_EQ(run_command(c.tool + " " + source + out + " 2>/dev/null"), 0);
        std::vector<uint8_t> b = read_file(file);
        ASSERT_GE(b.size(), 128u);
        // The layout the case is meant to cover.
        EXPECT_EQ(b[3], c.bitsPerPixel);
        EXPECT_EQ(b[65], c.planes);
        int width = 0, height = 0;
        int kind = QI_FrameFileGetInfo(file.c_str(), &width, &height);
        EXPECT_EQ(kind, c.planes * c.bitsPerPixel == 1 ? 1 : c.planes * c.bitsPerPixel == 24 ? 4 : 3);
        EXPECT_EQ(width, w);
        EXPECT_EQ(height, h);
        int frame = QI_FrameFileLoad(file.c_str(), QI_STORAGE_MEMORY);
        ASSERT_GE(frame, 0);
        EXPECT_EQ(QI_FrameGetData(frame)->kind, c.frameKind);
        EXPECT_TRUE(frame_equals_peer(frame, c.image));
        QI_FrameDelete(frame);
    }
}

TEST_F(Pcx, SavedFilesReadByPcxtoppmAndLoadBackUnchanged) {
    struct Size {
        int32_t width, height;
    } sizes[] = {{1, 1}, {129, 129}, {77, 31}, {64, 3}, {200, 2}};
    for (int32_t kind : {1, 2, 3, 4})
        for (const Size &size : sizes) {
            SCOPED_TRACE("kind " + std::to_string(kind) + ", " + std::to_string(size.width) + "x" +
                         std::to_string(size.height));
            SavedFrame s = make_frame(kind, size.width, size.height, 40 + kind + size.width);
            ASSERT_GE(s.frame, 0);
            std::string file = path("saved.PCX"), ppm = path("saved.ppm");
            ASSERT_EQ(QI_FrameFileSave(s.frame, file.c_str()), 1);
            ASSERT_EQ(run_command("pcxtoppm " + file + " > " + ppm + " 2>/dev/null"), 0);
            EXPECT_TRUE(same_rgb(rgb_of(read_pnm(ppm)), rgb_of(s.pixels), size.width));
            EXPECT_TRUE(loads_back_as_saved(file, s, kind));
            QI_FrameDelete(s.frame);
        }
}

TEST_F(Pcx, PageSizedDrawingRoundTrip) {
    Raster page = drawing_raster(5000, 7000, 77);
    int frame = frame_from(page, QI_STORAGE_SWAP);
    ASSERT_GE(frame, 0);
    std::string file = path("page.pcx"), pbm = path("page.pbm");
    ASSERT_EQ(QI_FrameFileSave(frame, file.c_str()), 1);
    int loaded = QI_FrameFileLoad(file.c_str(), QI_STORAGE_SWAP);
    ASSERT_GE(loaded, 0);
    EXPECT_TRUE(same_raster(frame_pixels(loaded), page));
    QI_FrameDelete(loaded);
    QI_FrameDelete(frame);
    // The peer's decode as a bitmap (1 = black), compared row by row with
    // the frame's rows (1 = white).
    ASSERT_EQ(run_command("pcxtoppm " + file + " 2>/dev/null | ppmtopgm | pgmtopbm -threshold > " + pbm), 0);
    std::vector<uint8_t> b = read_file(pbm);
    const std::string head = "P4\n5000 7000\n";
    ASSERT_EQ(b.size(), head.size() + 625 * 7000);
    ASSERT_EQ(std::string(b.begin(), b.begin() + head.size()), head);
    int32_t wrongRows = 0;
    for (int32_t y = 0; y < page.height; ++y) {
        const uint8_t *peer = b.data() + head.size() + 625 * y, *row = page.data() + page.line() * y;
        for (int32_t i = 0; i < 625; ++i)
            if (static_cast<uint8_t>(~peer[i]) != row[i]) {
                ++wrongRows;
                break;
            }
    }
    EXPECT_EQ(wrongRows, 0);
}

// Every byte of a row is compared with the one before it: a last pixel
// that differs from the run before it stays itself. A run of 64 equal
// bytes is coded as 63 and 1.
TEST_F(Pcx, RowsAreCodedByteForByte) {
    struct Case {
        std::vector<uint8_t> row;
        std::vector<uint8_t> coded;
    } cases[] = {
        {{10, 10, 10, 100}, {0xC3, 10, 100}},
        {{10, 10, 10, 0xC5}, {0xC3, 10, 0xC1, 0xC5}},
        {{7, 9}, {7, 9}},
        {{10, 10, 10, 10, 100}, {0xC4, 10, 0xC2, 100}}, // odd: padding repeats the last pixel
        {std::vector<uint8_t>(64, 0x33), {0xFF, 0x33, 0x33}},
        {std::vector<uint8_t>(64, 0xD0), {0xFF, 0xD0, 0xC1, 0xD0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("row of " + std::to_string(c.row.size()) + " ending " + std::to_string(c.row.back()));
        int32_t width = static_cast<int32_t>(c.row.size());
        Raster r(width, 1, 2, 0);
        std::copy(c.row.begin(), c.row.end(), r.data());
        int frame = frame_from(r);
        ASSERT_GE(frame, 0);
        std::string file = path("row.pcx");
        ASSERT_EQ(QI_FrameFileSave(frame, file.c_str()), 1);
        std::vector<uint8_t> b = read_file(file);
        EXPECT_EQ(std::vector<uint8_t>(b.begin() + 128, b.end() - 769), c.coded);
        int loaded = QI_FrameFileLoad(file.c_str(), QI_STORAGE_MEMORY);
        ASSERT_GE(loaded, 0);
        EXPECT_TRUE(same_raster(frame_pixels(loaded), r));
        QI_FrameDelete(loaded);
        QI_FrameDelete(frame);
    }
}

TEST_F(Pcx, HeaderAndPalettesAsWritten) {
    for (int32_t kind : {1, 2, 3, 4}) {
        SCOPED_TRACE("kind " + std::to_string(kind));
        const int32_t width = 21, height = 5;
        SavedFrame s = make_frame(kind, width, height, 3);
        ASSERT_GE(s.frame, 0);
        std::string file = path("header.pcx");
        ASSERT_EQ(QI_FrameFileSave(s.frame, file.c_str()), 1);
        std::vector<uint8_t> b = read_file(file);
        ASSERT_GE(b.size(), 128u);
        EXPECT_EQ(b[0], 10);
        EXPECT_EQ(b[1], 5);
        EXPECT_EQ(b[2], 1);
        EXPECT_EQ(b[3], kind == 1 ? 1 : 8);
        EXPECT_EQ(u32_at(b, 4), 0u);
        EXPECT_EQ(u16_at(b, 8), uint32_t(width - 1));
        EXPECT_EQ(u16_at(b, 10), uint32_t(height - 1));
        EXPECT_EQ(u16_at(b, 12), uint32_t(width));
        EXPECT_EQ(u16_at(b, 14), uint32_t(height));
        EXPECT_EQ(b[64], 0);
        EXPECT_EQ(b[65], kind == 4 ? 3 : 1);
        const uint32_t lineBytes = kind == 1 ? 4 : 22;
        EXPECT_EQ(u16_at(b, 66), lineBytes);
        EXPECT_EQ(u16_at(b, 68), 0u);
        std::vector<uint8_t> palette(b.begin() + 16, b.begin() + 64);
        if (kind == 1) {
            std::vector<uint8_t> expected(48, 1);
            std::fill(expected.begin(), expected.begin() + 3, 0);
            std::fill(expected.begin() + 3, expected.begin() + 6, 255);
            EXPECT_EQ(palette, expected);
        } else {
            for (uint32_t i = 0; i < 48; ++i)
                EXPECT_EQ(palette[i], 17 * (i / 3));
        }
        EXPECT_EQ(std::vector<uint8_t>(b.begin() + 70, b.begin() + 118), palette);
        EXPECT_EQ(std::vector<uint8_t>(b.begin() + 118, b.begin() + 128),
                  std::vector<uint8_t>(palette.begin(), palette.begin() + 10));

        const size_t rowBytes = lineBytes * (kind == 4 ? 3 : 1);
        if (kind == 4) {
            // Plane lines of an odd width end with a copy of their last pixel.
            std::vector<uint8_t> row = unrun(b, rowBytes);
            for (uint32_t plane = 0; plane < 3; ++plane)
                EXPECT_EQ(row[plane * lineBytes + 21], row[plane * lineBytes + 20]);
        }
        if (kind == 1 || kind == 4) {
            size_t end = 0;
            EXPECT_EQ(unrun(b, rowBytes * height, &end).size(), rowBytes * height);
            EXPECT_EQ(end, b.size()) << "no trailing palette";
            QI_FrameDelete(s.frame);
            continue;
        }
        ASSERT_GE(b.size(), 128u + 769);
        size_t at = b.size() - 769;
        EXPECT_EQ(b[at], 12);
        for (uint32_t i = 0; i < 256; ++i) {
            uint8_t rgb[3] = {0, 0, 0};
            if (kind == 2) {
                rgb[0] = rgb[1] = rgb[2] = static_cast<uint8_t>(i);
            } else if (i < 16) {
                const uint8_t *bgr = &s.bgrPalette[1 + 4 * i];
                rgb[0] = bgr[2], rgb[1] = bgr[1], rgb[2] = bgr[0];
            }
            for (uint32_t c = 0; c < 3; ++c)
                ASSERT_EQ(b[at + 1 + 3 * i + c], rgb[c]) << "entry " << i;
        }
        QI_FrameDelete(s.frame);
    }
}

// A valid 8-bit palette file of 10 x 4 grey pixels, as we write it.
std::vector<uint8_t> grey_file(const std::string &file) {
    Raster r(10, 4, 2, 0);
    for (size_t i = 0; i < r.bytes.size(); ++i)
        r.bytes[i] = static_cast<uint8_t>(i * 7);
    int frame = frame_from(r);
    EXPECT_EQ(QI_FrameFileSave(frame, file.c_str()), 1);
    QI_FrameDelete(frame);
    return read_file(file);
}

TEST_F(Pcx, DamagedHeadersAndDataAreRejected) {
    std::string file = path("damaged.pcx");
    const std::vector<uint8_t> good = grey_file(file);
    ASSERT_GT(good.size(), 128u + 769);
    int w = 0, h = 0;
    ASSERT_EQ(QI_FrameFileGetInfo(file.c_str(), &w, &h), 3);
    using Bytes = std::vector<uint8_t>;
    struct Case {
        const char *name;
        void (*damage)(Bytes &);
        bool infoFails; // else only the load fails
    } cases[] = {
        {"encoding 0", [](Bytes &b) { b[2] = 0; }, true},
        {"xmax below xmin", [](Bytes &b) { b[4] = 20; }, true},
        {"ymax below ymin", [](Bytes &b) { b[6] = 9; }, true},
        {"plane line shorter than the width", [](Bytes &b) { b[66] = 9; }, true},
        {"plane line absurdly long", [](Bytes &b) { b[66] = 200; }, true},
        {"3 bits per pixel", [](Bytes &b) { b[3] = 3; }, true},
        {"16 bits per pixel", [](Bytes &b) { b[3] = 16; }, true},
        {"no planes", [](Bytes &b) { b[65] = 0; }, true},
        {"two planes of 8 bits", [](Bytes &b) { b[65] = 2; }, true},
        {"four planes of 8 bits", [](Bytes &b) { b[65] = 4; }, true},
        {"palette mark missing", [](Bytes &b) { b[b.size() - 769] = 11; }, true},
        {"shorter than its palette", [](Bytes &b) { b.resize(128 + 700); }, true},
        {"shorter than a header", [](Bytes &b) { b.resize(100); }, true},
        {"empty", [](Bytes &b) { b.clear(); }, true},
        // 65536 x 65536 pixels cannot be coded in a few hundred bytes: refused
        // before a frame is made.
        {"far more rows than data", [](Bytes &b) { b[10] = b[11] = 0xFF; }, true},
        // Five bytes of rows left: the rows would need the palette's bytes,
        // but the data ends before it.
        {"rows cut short", [](Bytes &b) { b.erase(b.begin() + 133, b.end() - 769); }, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes b = good;
        c.damage(b);
        ASSERT_TRUE(write_file(file, b));
        EXPECT_EQ(QI_FrameFileGetInfo(file.c_str(), &w, &h) == 0, c.infoFails);
        EXPECT_EQ(QI_FrameFileLoad(file.c_str(), QI_STORAGE_MEMORY), -1);
        EXPECT_EQ(frames_alive(), 0);
    }
}

// A run that passes the end of a row is cut there; the next row starts
// with the next byte of the file, and nothing is written past the row.
TEST_F(Pcx, RunsPastARowAreCutAtItsEnd) {
    std::string file = path("runs.pcx");
    std::vector<uint8_t> b = grey_file(file);
    std::vector<uint8_t> data = {0xFF, 0x11, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0xC9, 0x22, 0xC5, 0x23, 0xFF, 0x33};
    std::vector<uint8_t> palette(b.end() - 769, b.end());
    b.resize(128);
    b[66] = 10; // plane lines of 10 bytes
    b.insert(b.end(), data.begin(), data.end());
    b.insert(b.end(), palette.begin(), palette.end());
    ASSERT_TRUE(write_file(file, b));
    int frame = QI_FrameFileLoad(file.c_str(), QI_STORAGE_MEMORY);
    ASSERT_GE(frame, 0);
    Raster r = frame_pixels(frame);
    for (int32_t x = 0; x < 10; ++x) {
        EXPECT_EQ(r.get(x, 0), 0x11u);
        EXPECT_EQ(r.get(x, 1), uint32_t(x + 1));
        EXPECT_EQ(r.get(x, 2), x < 9 ? 0x22u : 0x23u);
        EXPECT_EQ(r.get(x, 3), 0x33u);
    }
    QI_FrameDelete(frame);
}

// A bilevel file's bits mean what its header palette says, as the peers
// read them; equal entries (old writers leave zeros) read 1 as white.
TEST_F(Pcx, BilevelPolarityFollowsTheHeaderPalette) {
    PnmImage image = random_image(PnmFormat::Bitmap, 37, 11, 5);
    std::string source = path("bits.pbm"), file = path("bits.pcx"), ppm = path("bits.ppm");
    ASSERT_TRUE(write_pnm(source, image));
    ASSERT_EQ(run_command("ppmtopcx " + source + " > " + file + " 2>/dev/null"), 0);
    std::vector<uint8_t> original = read_file(file);
    ASSERT_EQ(original[3], 1);
    const std::vector<uint8_t> palettes[] = {
        {0, 0, 0, 255, 255, 255}, {255, 255, 255, 0, 0, 0}, {0, 0, 0, 0, 0, 0}, {250, 240, 230, 10, 0, 0}};
    for (const std::vector<uint8_t> &palette : palettes) {
        std::vector<uint8_t> b = original;
        std::copy(palette.begin(), palette.end(), b.begin() + 16);
        ASSERT_TRUE(write_file(file, b));
        ASSERT_EQ(run_command("pcxtoppm " + file + " > " + ppm + " 2>/dev/null"), 0);
        // The peer shows the palette's colours; the brighter one is white.
        PnmImage peer = read_pnm(ppm), bits = image;
        ASSERT_TRUE(peer.valid());
        for (int32_t y = 0; y < peer.height; ++y)
            for (int32_t x = 0; x < peer.width; ++x)
                bits.samples[y * peer.width + x] = peer.at(x, y, 0) + peer.at(x, y, 1) + peer.at(x, y, 2) < 384;
        int frame = QI_FrameFileLoad(file.c_str(), QI_STORAGE_MEMORY);
        ASSERT_GE(frame, 0);
        EXPECT_EQ(QI_FrameGetData(frame)->kind, 1);
        EXPECT_TRUE(frame_equals_peer(frame, bits)) << "palette starting " << int(palette[0]);
        QI_FrameDelete(frame);
    }
}

// Files before version 5 carry no palette we can trust below 8 bits: the
// adapter colours are used; 8-bit ones take 16 header entries and greys.
TEST_F(Pcx, OlderVersionsUseTheFixedPalettes) {
    std::vector<uint8_t> b(128, 0);
    b[0] = 10, b[1] = 3, b[2] = 1, b[3] = 4, b[8] = 1, b[65] = 1, b[66] = 2; // 2 x 1 pixels, 4 bits
    for (uint32_t i = 0; i < 48; ++i)
        b[16 + i] = static_cast<uint8_t>(i * 5 + 1);
    b.insert(b.end(), {0x19, 0x00}); // indices 1 and 9
    std::string file = path("old.pcx");
    ASSERT_TRUE(write_file(file, b));
    int frame = QI_FrameFileLoad(file.c_str(), QI_STORAGE_MEMORY);
    ASSERT_GE(frame, 0);
    EXPECT_TRUE(frame_equals_peer(frame, pnm_image(PnmFormat::Colour, 2, 1, {0xC0, 0xC0, 0xC0, 0, 0, 255})));
    QI_FrameDelete(frame);

    b[3] = 8; // now 8 bits: index 0x19 is grey, index 0 the header's first entry
    b[66] = 2;
    b.resize(128);
    b.insert(b.end(), {0x19, 0x00});
    ASSERT_TRUE(write_file(file, b));
    frame = QI_FrameFileLoad(file.c_str(), QI_STORAGE_MEMORY);
    ASSERT_GE(frame, 0);
    EXPECT_TRUE(frame_equals_peer(frame, pnm_image(PnmFormat::Colour, 2, 1, {0x19, 0x19, 0x19, 1, 6, 11})));
    QI_FrameDelete(frame);
}

TEST_F(Pcx, FailuresDuringASaveLeaveNoFile) {
    for (int32_t kind : {1, 2, 3, 4}) {
        SavedFrame s = make_frame(kind, 150, 140, 3);
        ASSERT_GE(s.frame, 0);
        std::string file = path("fail.pcx"), ppm = path("fail.ppm");
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
            ASSERT_EQ(run_command("pcxtoppm " + file + " > " + ppm + " 2>/dev/null"), 0);
            EXPECT_TRUE(same_rgb(rgb_of(read_pnm(ppm)), rgb_of(s.pixels), 150));
            unlink(file.c_str());
        }
        QI_FrameDelete(s.frame);
    }
}

// A plane line of an odd width of 65535 would need 65536 bytes, which its
// 16-bit header field cannot say: such a save fails. Bilevel lines are
// short enough.
TEST_F(Pcx, WidestRowsSaveOnlyWhenTheirLinesFit) {
    std::string file = path("wide.pcx");
    int grey = QI_FrameCreate(65535, 1, 2, QI_STORAGE_MEMORY, nullptr, 1);
    ASSERT_GE(grey, 0);
    EXPECT_EQ(QI_FrameFileSave(grey, file.c_str()), 0);
    EXPECT_FALSE(file_exists(file));
    QI_FrameDelete(grey);

    Raster r = drawing_raster(65535, 2, 8);
    int bilevel = frame_from(r);
    ASSERT_GE(bilevel, 0);
    ASSERT_EQ(QI_FrameFileSave(bilevel, file.c_str()), 1);
    int loaded = QI_FrameFileLoad(file.c_str(), QI_STORAGE_MEMORY);
    ASSERT_GE(loaded, 0);
    EXPECT_TRUE(same_raster(frame_pixels(loaded), r));
    QI_FrameDelete(loaded);
    QI_FrameDelete(bilevel);
}

} // namespace
