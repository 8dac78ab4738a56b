/*
 * tiff_read_test.cpp - the TIFF reader against its peers: files written by
 * libtiff's tools, ghostscript and ImageMagick load with the pixels
 * tifftopnm decodes from them; strips are decoded independently and CCITT
 * rows take their colours from the photometric interpretation; files the
 * reader does not take are refused by load but still described by
 * get-info; hostile headers fail cleanly; injected allocation and read
 * failures leave nothing behind.
 */
#include "file_support.h"
#include "test_support.h"

#include <tiffio.h>

#include <random>
#include <string>
#include <vector>

using namespace quill_test;

namespace {

class TiffRead : public LibraryFixture {
protected:
    void SetUp() override {
        LibraryFixture::SetUp();
        TIFFSetWarningHandler(nullptr);
    }
    std::string path(const std::string &name) const { return files_.path() + "/" + name; }

    // Loads a file and compares it with tifftopnm's decode of it.
    ::testing::AssertionResult loads_as_tifftopnm(const std::string &file, int32_t expectedKind = 0) {
        return loads_as_peer(file, expectedKind, "tifftopnm -quiet '" + file + "' > '" + file + ".pnm' 2>/dev/null");
    }
    // A grey file against ImageMagick's decode of it to 8 bits, which
    // truncates where the reader rounds sample * 255 / maxval: levels may
    // differ by 1, a misplaced sample by a whole step of 255 / maxval.
    ::testing::AssertionResult loads_near_imagemagick(const std::string &file) {
        std::string pgm = file + ".pgm";
        if (run_command(std::string(imagemagick()) + " '" + file + "' -depth 8 '" + pgm + "' 2>/dev/null") != 0)
            return ::testing::AssertionFailure() << "convert failed on " << file;
        PnmImage peer = read_pnm(pgm);
        int frame = QI_FrameFileLoad(file.c_str(), QI_STORAGE_MEMORY);
        if (frame < 0 || !peer.valid())
            return ::testing::AssertionFailure() << "load refused " << file;
        Raster ours = frame_pixels(frame);
        QI_FrameDelete(frame);
        if (ours.kind != 2 || ours.width != peer.width || ours.height != peer.height)
            return ::testing::AssertionFailure() << "different shapes";
        for (int32_t y = 0; y < ours.height; ++y)
            for (int32_t x = 0; x < ours.width; ++x)
                if (abs(static_cast<int>(ours.get(x, y)) - peer.at(x, y)) > 1)
                    return ::testing::AssertionFailure() << "pixel (" << x << ", " << y << "): " << ours.get(x, y)
                                                         << " vs " << int(peer.at(x, y));
        return ::testing::AssertionSuccess();
    }
    ::testing::AssertionResult loads_as_peer(const std::string &file, int32_t expectedKind, const std::string &peer) {
        std::string pnm = file + ".pnm";
        if (run_command(peer) != 0)
            return ::testing::AssertionFailure() << "the peer failed on " << file;
        int w = 0, h = 0;
        int kind = QI_FrameFileGetInfo(file.c_str(), &w, &h);
        if (kind == 0)
            return ::testing::AssertionFailure() << "get-info refused " << file;
        int frame = QI_FrameFileLoad(file.c_str(), QI_STORAGE_MEMORY);
        if (frame < 0)
            return ::testing::AssertionFailure() << "load refused " << file;
        ::testing::AssertionResult same = frame_matches_pnm(frame, read_pnm(pnm));
        int32_t frameKind = QI_FrameGetData(frame)->kind;
        QI_FrameDelete(frame);
        if (!same)
            return same << " (" << file << ")";
        if (expectedKind && frameKind != expectedKind)
            return ::testing::AssertionFailure() << file << " loaded as kind " << frameKind;
        return ::testing::AssertionSuccess();
    }

    TempDir files_;
};

std::string sh_quote(const std::string &s) { return "'" + s + "'"; }

// Drawing-like bilevel content (1 = black, as PBM): sparse dots, long bars
// (make-up codes) and a run that reaches the right edge.
PnmImage bilevel_image(int32_t width, int32_t height, uint32_t seed) {
    std::mt19937 random(seed);
    PnmImage image;
    image.format = PnmFormat::Bitmap;
    image.width = width;
    image.height = height;
    image.samples.assign(static_cast<size_t>(width) * height, 0);
    for (uint8_t &s : image.samples)
        s = random() % 100 < 4 ? 1 : 0;
    for (int32_t y = 5; y < height; y += 23)
        for (int32_t x = 3; x < width; ++x)
            image.samples[static_cast<size_t>(y) * width + x] = 1;
    for (int32_t y = 0; y < height; ++y)
        image.samples[static_cast<size_t>(y) * width + width - 1] = y % 3 == 0;
    return image;
}

PnmImage random_image(PnmFormat format, int32_t width, int32_t height, uint32_t seed) {
    std::mt19937 random(seed);
    PnmImage image;
    image.format = format;
    image.width = width;
    image.height = height;
    image.samples.resize(static_cast<size_t>(width) * height * image.channels());
    // Smooth content with noise: LZW and PackBits meet both repeats and
    // literals.
    size_t k = 0;
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x)
            for (int c = 0; c < image.channels(); ++c)
                image.samples[k++] = static_cast<uint8_t>(x < width / 3 ? (x * 7 + y * 3 + c * 50) : random());
    return image;
}

// The frame's pixels equal a PNM image (no peer involved).
::testing::AssertionResult loads_as(const std::string &file, const PnmImage &expected) {
    int frame = QI_FrameFileLoad(file.c_str(), QI_STORAGE_MEMORY);
    if (frame < 0)
        return ::testing::AssertionFailure() << "load refused " << file;
    ::testing::AssertionResult same = frame_matches_pnm(frame, expected);
    QI_FrameDelete(frame);
    return same;
}

uint32_t strip_count(const std::string &file) {
    TIFF *tif = TIFFOpen(file.c_str(), "r");
    if (!tif)
        return 0;
    uint32_t n = TIFFNumberOfStrips(tif);
    TIFFClose(tif);
    return n;
}

// ---- Files built byte by byte ------------------------------------------

// A single-directory TIFF file assembled from entries and data blobs, for
// headers no tool writes.
class TiffBuilder {
public:
    explicit TiffBuilder(bool bigEndian = false) : big_(bigEndian) {
        bytes_ = {static_cast<uint8_t>(big_ ? 'M' : 'I'), static_cast<uint8_t>(big_ ? 'M' : 'I')};
        put16(bytes_, 42);
        put32(bytes_, 0); // directory offset, patched by finish()
    }
    // Appends data; returns its offset.
    uint32_t data(const std::vector<uint8_t> &blob) {
        uint32_t at = static_cast<uint32_t>(bytes_.size());
        bytes_.insert(bytes_.end(), blob.begin(), blob.end());
        return at;
    }
    // An entry whose values go inline or behind the data.
    void entry(uint16_t tag, uint16_t type, const std::vector<uint32_t> &values) {
        entries_.push_back({tag, type, static_cast<uint32_t>(values.size()), values, false, 0});
    }
    // An entry with a raw count and value field (for lying headers).
    void raw(uint16_t tag, uint16_t type, uint32_t count, uint32_t field) {
        entries_.push_back({tag, type, count, {}, true, field});
    }
    std::vector<uint8_t> finish() {
        std::vector<uint8_t> out = bytes_;
        std::vector<uint8_t> fields;
        for (Entry &e : entries_) {
            std::vector<uint8_t> field;
            if (e.raw) {
                put32(field, e.field);
            } else {
                for (uint32_t v : e.values) {
                    if (e.type == kShortType)
                        put16(field, v);
                    else if (e.type == kByteType)
                        field.push_back(static_cast<uint8_t>(v));
                    else
                        put32(field, v);
                }
                if (field.size() > 4) {
                    uint32_t at = static_cast<uint32_t>(out.size());
                    out.insert(out.end(), field.begin(), field.end());
                    field.clear();
                    put32(field, at);
                }
                field.resize(4, 0);
            }
            fields.insert(fields.end(), field.begin(), field.end());
        }
        uint32_t directory = static_cast<uint32_t>(out.size());
        std::vector<uint8_t> header;
        put32(header, directory);
        std::copy(header.begin(), header.end(), out.begin() + 4);
        put16(out, static_cast<uint32_t>(entries_.size()));
        for (size_t i = 0; i < entries_.size(); ++i) {
            put16(out, entries_[i].tag);
            put16(out, entries_[i].type);
            put32(out, entries_[i].count);
            out.insert(out.end(), fields.begin() + 4 * i, fields.begin() + 4 * i + 4);
        }
        put32(out, 0);
        return out;
    }

private:
    static constexpr uint16_t kByteType = 1, kShortType = 3;
    struct Entry {
        uint16_t tag, type;
        uint32_t count;
        std::vector<uint32_t> values;
        bool raw;
        uint32_t field;
    };
    void put16(std::vector<uint8_t> &b, uint32_t v) const {
        if (big_) {
            b.push_back(static_cast<uint8_t>(v >> 8));
            b.push_back(static_cast<uint8_t>(v));
        } else {
            b.push_back(static_cast<uint8_t>(v));
            b.push_back(static_cast<uint8_t>(v >> 8));
        }
    }
    void put32(std::vector<uint8_t> &b, uint32_t v) const {
        if (big_) {
            put16(b, v >> 16);
            put16(b, v & 0xFFFF);
        } else {
            put16(b, v & 0xFFFF);
            put16(b, v >> 16);
        }
    }
    bool big_;
    std::vector<uint8_t> bytes_;
    std::vector<Entry> entries_;
};

enum : uint16_t { kByte = 1, kShort = 3, kLong = 4 };

// An uncompressed 8-bit grey image of `width` x `height` with its rows in
// strips of `rowsPerStrip`; the strips stored in the order `order`.
struct GreyStrips {
    PnmImage image;
    std::vector<uint32_t> offsets;
};

GreyStrips grey_strips(TiffBuilder &tiff, int32_t width, int32_t height, int32_t rowsPerStrip,
                       const std::vector<int> &order) {
    GreyStrips g;
    g.image = random_image(PnmFormat::Grey, width, height, 7);
    int strips = (height + rowsPerStrip - 1) / rowsPerStrip;
    g.offsets.assign(static_cast<size_t>(strips), 0);
    for (int s : order) {
        int32_t first = s * rowsPerStrip, last = std::min(height, first + rowsPerStrip);
        std::vector<uint8_t> blob(g.image.samples.begin() + static_cast<size_t>(first) * width,
                                  g.image.samples.begin() + static_cast<size_t>(last) * width);
        g.offsets[static_cast<size_t>(s)] = tiff.data(blob);
    }
    return g;
}

void basic_grey_tags(TiffBuilder &tiff, int32_t width, int32_t height, uint32_t compression = 1) {
    tiff.entry(256, kLong, {static_cast<uint32_t>(width)});
    tiff.entry(257, kLong, {static_cast<uint32_t>(height)});
    tiff.entry(258, kShort, {8});
    tiff.entry(259, kShort, {compression});
    tiff.entry(262, kShort, {1});
}

// ---- libtiff's own files -------------------------------------------------

// Writes a bilevel PBM image (1 = black) with libtiff: compression 2 or 4,
// WhiteIsZero or BlackIsZero (bits complemented), `rowsPerStrip` a strip.
bool write_ccitt(const std::string &file, const PnmImage &image, uint16_t compression, uint16_t photometric,
                 uint32_t rowsPerStrip) {
    TIFF *tif = TIFFOpen(file.c_str(), "w");
    if (!tif)
        return false;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(image.width));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(image.height));
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    std::vector<uint8_t> row((static_cast<size_t>(image.width) + 7) / 8);
    bool ok = true;
    for (int32_t y = 0; y < image.height && ok; ++y) {
        std::fill(row.begin(), row.end(), 0);
        for (int32_t x = 0; x < image.width; ++x) {
            bool bit = image.at(x, y) != 0; // black
            if (photometric == PHOTOMETRIC_MINISBLACK)
                bit = !bit;
            if (bit)
                row[static_cast<size_t>(x >> 3)] |= static_cast<uint8_t>(0x80 >> (x & 7));
        }
        ok = TIFFWriteScanline(tif, row.data(), static_cast<uint32_t>(y), 0) == 1;
    }
    TIFFClose(tif);
    return ok;
}

// ---- Tests ---------------------------------------------------------------

TEST_F(TiffRead, LibtiffCopiesLoadAsTifftopnmDecodesThem) {
    struct Source {
        const char *name;
        PnmImage image;
        const char *pnmtotiff;
    };
    std::vector<Source> sources = {
        {"white0", bilevel_image(203, 157, 1), "-miniswhite"},
        {"black0", bilevel_image(190, 141, 2), "-minisblack"},
        {"grey", random_image(PnmFormat::Grey, 131, 77, 3), ""},
        {"rgb", random_image(PnmFormat::Colour, 97, 61, 4), "-truecolor"},
    };
    for (const Source &source : sources) {
        std::string pnm = path(std::string(source.name) + ".pnm"), base = path(std::string(source.name) + ".tif");
        ASSERT_TRUE(write_pnm(pnm, source.image));
        ASSERT_EQ(run_command("pnmtotiff " + std::string(source.pnmtotiff) + " " + sh_quote(pnm) + " > " + sh_quote(base) +
                              " 2>/dev/null"),
                  0);
        bool bilevel = source.image.format == PnmFormat::Bitmap;
        std::vector<std::string> options = {"-c none", "-c packbits", "-c lzw", "-c none -B", "-c lzw -B -r 7",
                                            "-c packbits -r 5", "-c none -r 3 -B"};
        if (bilevel) {
            options.insert(options.end(), {"-c g4", "-c g4 -r 16", "-c g4 -B -r 1"});
        } else {
            options.insert(options.end(), {"-c lzw:2", "-c lzw:2 -r 9 -B"});
        }
        for (const std::string &option : options) {
            SCOPED_TRACE(std::string(source.name) + " " + option);
            std::string copy = path(std::string(source.name) + "-copy.tif");
            ASSERT_EQ(run_command("tiffcp " + option + " " + sh_quote(base) + " " + sh_quote(copy)), 0);
            EXPECT_TRUE(loads_as_tifftopnm(copy));
            // The peer sees the source image: the comparison means something.
            EXPECT_TRUE(loads_as(copy, source.image));
            if (option.find("-r") != std::string::npos) {
                EXPECT_GT(strip_count(copy), 1u);
            }
        }
    }
}

// T.6 and modified Huffman strips are coded independently, and their code
// colours are read through the photometric interpretation.
TEST_F(TiffRead, CcittStripsRestartAndTakeTheirColoursFromThePhotometric) {
    PnmImage image = bilevel_image(150, 73, 9);
    for (uint16_t compression : {COMPRESSION_CCITTRLE, COMPRESSION_CCITTFAX4})
        for (uint16_t photometric : {PHOTOMETRIC_MINISWHITE, PHOTOMETRIC_MINISBLACK})
            for (uint32_t rows : {10u, 1u, 73u}) {
                SCOPED_TRACE(testing::Message() << compression << " " << photometric << " " << rows);
                std::string file = path("ccitt.tif");
                ASSERT_TRUE(write_ccitt(file, image, compression, photometric, rows));
                EXPECT_TRUE(loads_as_tifftopnm(file, 1));
                EXPECT_TRUE(loads_as(file, image));
            }
}

TEST_F(TiffRead, GhostscriptDevicesLoadAsTifftopnmDecodesThem) {
    std::string eps = std::string(QUILL_SHARED_DIR) + "/samples/ps/golfer.eps";
    if (access(eps.c_str(), R_OK) != 0)
        GTEST_SKIP() << "no " << eps;
    struct Device {
        const char *device;
        const char *extra;
        int32_t kind;
    };
    const Device devices[] = {
        {"tiffg4", "", 1},
        {"tiffg4", "-dMaxStripSize=300", 1},
        {"tiffcrle", "", 1},
        {"tiffcrle", "-dMaxStripSize=300", 1},
        {"tiffpack", "", 1},
        {"tiffgray", "", 2},
        {"tiffgray", "-sCompression=lzw -dMaxStripSize=1000", 2},
        {"tiff24nc", "", 4},
        {"tiff24nc", "-sCompression=pack", 4},
        {"tiff24nc", "-dMaxStripSize=2000", 4},
    };
    for (const Device &d : devices) {
        SCOPED_TRACE(std::string(d.device) + " " + d.extra);
        std::string file = path(std::string(d.device) + ".tif");
        ASSERT_EQ(run_command(std::string("gs -q -dSAFER -dBATCH -dNOPAUSE -r24 -sDEVICE=") + d.device + " " + d.extra +
                              " -sOutputFile=" + sh_quote(file) + " " + sh_quote(eps) + " > /dev/null 2>&1"),
                  0);
        EXPECT_TRUE(loads_as_tifftopnm(file, d.kind));
        if (strstr(d.extra, "MaxStripSize")) {
            EXPECT_GT(strip_count(file), 1u);
        }
    }
}

TEST_F(TiffRead, ImageMagickFilesLoadAsTifftopnmDecodesThem) {
    std::string source = path("source.ppm");
    ASSERT_TRUE(write_pnm(source, random_image(PnmFormat::Colour, 83, 47, 5)));
    std::string grey = path("grey.pgm");
    ASSERT_TRUE(write_pnm(grey, random_image(PnmFormat::Grey, 83, 47, 6)));
    struct Case {
        std::string input, options;
        int32_t kind; // of the frame
    };
    const Case cases[] = {
        {source, "-colors 200 -type Palette", 4},
        {source, "-colors 12 -type Palette -compress lzw", 4},
        {grey, "-colors 40 -type Palette", 2},
        {grey, "-depth 4", 2},
        {grey, "-depth 2 -compress rle", 2},
        // Samples across byte boundaries (checked against ImageMagick's
        // own decode below: tifftopnm 11.1 misplaces such samples; and
        // ImageMagick ignores min-is-white at these depths, so not that).
        {grey, "-depth 3", 2},
        {grey, "-depth 5", 2},
        {grey, "-depth 6 -compress lzw", 2},
        {grey, "-depth 7 -compress rle", 2},
        {grey, "-define quantum:polarity=min-is-white", 2},
        {grey, "-depth 4 -define quantum:polarity=min-is-white -compress lzw", 2},
        {grey, "-threshold 50% -type Bilevel -depth 1", 1},
        {grey, "-threshold 50% -type Bilevel -define quantum:polarity=min-is-white -compress group4", 1},
        {source, "-compress lzw -define tiff:predictor=2", 4},
    };
    int i = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.options);
        std::string file = path("im" + std::to_string(i++) + ".tif");
        ASSERT_EQ(run_command(std::string(imagemagick()) + " " + sh_quote(c.input) + " " + c.options + " " +
                              sh_quote(file) + " 2>/dev/null"),
                  0);
        bool straddling = c.options.find("-depth 3") != std::string::npos ||
                          c.options.find("-depth 5") != std::string::npos ||
                          c.options.find("-depth 6") != std::string::npos ||
                          c.options.find("-depth 7") != std::string::npos;
        if (straddling) {
            EXPECT_TRUE(loads_near_imagemagick(file));
        } else {
            EXPECT_TRUE(loads_as_tifftopnm(file, c.kind));
        }
        if (c.options.find("Palette") != std::string::npos) {
            int frame = QI_FrameFileLoad(file.c_str(), QI_STORAGE_MEMORY);
            ASSERT_GE(frame, 0);
            // Coloured palettes stay with the frame; grey ones become levels.
            EXPECT_EQ(QI_FrameGetData(frame)->palette != 0, c.kind == 4);
            QI_FrameDelete(frame);
        }
        if (c.options.find("-colors 12") == std::string::npos && c.options.find("Palette") != std::string::npos) {
            // With the predictor (8-bit indices only), the indices are
            // differenced.
            std::string lzw2 = path("im-lzw2.tif");
            ASSERT_EQ(run_command("tiffcp -c lzw:2 -B " + sh_quote(file) + " " + sh_quote(lzw2)), 0);
            EXPECT_TRUE(loads_as_tifftopnm(lzw2, c.kind));
        }
    }
}

TEST_F(TiffRead, FilesTheReaderDoesNotTakeAreRefusedButDescribed) {
    std::string bw = path("bw.pbm"), rgb = path("rgb.ppm"), grey = path("grey.pgm");
    ASSERT_TRUE(write_pnm(bw, bilevel_image(64, 40, 3)));
    ASSERT_TRUE(write_pnm(rgb, random_image(PnmFormat::Colour, 64, 40, 3)));
    ASSERT_TRUE(write_pnm(grey, random_image(PnmFormat::Grey, 64, 40, 3)));
    std::string bwTif = path("bw.tif"), rgbTif = path("rgb.tif"), greyTif = path("grey.tif");
    ASSERT_EQ(run_command("pnmtotiff " + sh_quote(bw) + " > " + sh_quote(bwTif)), 0);
    ASSERT_EQ(run_command("pnmtotiff -truecolor " + sh_quote(rgb) + " > " + sh_quote(rgbTif) + " 2>/dev/null"), 0);
    ASSERT_EQ(run_command("pnmtotiff " + sh_quote(grey) + " > " + sh_quote(greyTif)), 0);
    struct Case {
        std::string input, options;
        int kind;
    };
    const Case cases[] = {
        {bwTif, "-c g3", 1},                  // CCITT T.4
        {bwTif, "-f lsb2msb", 1},             // FillOrder 2
        {rgbTif, "-p separate", 4},           // planar RGB
        {greyTif, "-t -w 16 -l 16", 2},       // tiles
        {rgbTif, "-c zip", 4},                // Deflate
    };
    int i = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.options);
        std::string file = path("refused" + std::to_string(i++) + ".tif");
        ASSERT_EQ(run_command("tiffcp " + c.options + " " + sh_quote(c.input) + " " + sh_quote(file)), 0);
        int w = 0, h = 0;
        EXPECT_EQ(QI_FrameFileGetInfo(file.c_str(), &w, &h), c.kind);
        EXPECT_EQ(w, 64);
        EXPECT_EQ(h, 40);
        EXPECT_EQ(QI_FrameFileLoad(file.c_str(), QI_STORAGE_MEMORY), -1);
    }
    // Predictors the reader does not undo: 2 on 4-bit samples, 3.
    std::string four = path("four.tif");
    ASSERT_EQ(run_command(std::string(imagemagick()) + " " + sh_quote(grey) + " -depth 4 -compress lzw " + sh_quote(four)),
              0);
    for (const char *predictor : {"2", "3"}) {
        ASSERT_EQ(run_command("tiffset -s 317 " + std::string(predictor) + " " + sh_quote(four)), 0);
        EXPECT_EQ(QI_FrameFileGetInfo(four.c_str(), nullptr, nullptr), 2);
        EXPECT_EQ(QI_FrameFileLoad(four.c_str(), QI_STORAGE_MEMORY), -1) << predictor;
    }
    // 16-bit grey has no frame kind: refused by get-info too.
    std::string deep = path("deep.tif");
    ASSERT_EQ(run_command(std::string(imagemagick()) + " " + sh_quote(grey) + " -depth 16 " + sh_quote(deep)), 0);
    EXPECT_EQ(QI_FrameFileGetInfo(deep.c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(QI_FrameFileLoad(deep.c_str(), QI_STORAGE_MEMORY), -1);
}

// Strip tables as the file really holds them: out of order, with byte
// counts that lie, with a RowsPerStrip of 2^32 - 1.
TEST_F(TiffRead, StripsAreFoundByTheirOffsetsAlone) {
    const int32_t w = 37, h = 29;
    struct Case {
        const char *name;
        std::vector<int> order;
        int32_t rowsPerStrip;
        uint32_t rowsTag; // RowsPerStrip as written; 0 for none
        uint16_t offsetType;
        bool loads;
    };
    const Case cases[] = {
        {"in order", {0, 1, 2, 3}, 8, 8, kLong, true},
        {"reversed", {3, 2, 1, 0}, 8, 8, kLong, true},
        {"shuffled", {2, 0, 3, 1}, 8, 8, kLong, true},
        {"no RowsPerStrip: 10 rows", {0, 1, 2}, 10, 0, kLong, true},
        {"SHORT offsets for several strips", {0, 1, 2, 3}, 8, 8, kShort, false},
        {"RowsPerStrip 2^32 - 1, one strip of two", {0}, 29, 0xFFFFFFFF, kLong, true},
        {"RowsPerStrip larger than its strip", {0, 1, 2, 3}, 8, 9, kLong, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TiffBuilder tiff;
        GreyStrips g = grey_strips(tiff, w, h, c.rowsPerStrip, c.order);
        std::vector<uint32_t> offsets = g.offsets;
        if (c.rowsTag == 0xFFFFFFFF)
            offsets.push_back(offsets[0]); // a second, unused offset
        basic_grey_tags(tiff, w, h);
        tiff.entry(273, c.offsetType, offsets);
        if (c.rowsTag)
            tiff.entry(278, kLong, {c.rowsTag});
        // Byte counts that lie: each strip claims one byte.
        tiff.entry(279, kLong, std::vector<uint32_t>(offsets.size(), 1));
        std::string file = path("strips.tif");
        ASSERT_TRUE(write_file(file, tiff.finish()));
        if (c.loads) {
            EXPECT_TRUE(loads_as(file, g.image));
        } else {
            EXPECT_EQ(QI_FrameFileLoad(file.c_str(), QI_STORAGE_MEMORY), -1);
        }
    }
}

// PackBits runs that cross from one row into the next decode as the
// strip's stream of bytes, as libtiff reads whole strips; a run past the
// strip's rows is left unread, a strip that ends early fails.
TEST_F(TiffRead, PackBitsStripsAreStreams) {
    struct Case {
        std::vector<uint8_t> code;
        bool loads;
    };
    const Case cases[] = {
        {{0xF9, 0x40}, true},                         // one run of 8 over both rows
        {{0x02, 0x40, 0x40, 0x40, 0xFC, 0x40}, true}, // a copy of 3, a run of 5
        {{0xF7, 0x40}, true},                         // a run of 10: 2 left over
        {{0xFA, 0x40}, false},                        // a run of 7: a byte short
        {{0x80, 0xF9}, false},                        // a run without its byte
    };
    for (const Case &c : cases) {
        // The strip comes last, so that it ends where its code ends: the
        // directory (6 inline entries) is at 8, the strip at 86.
        TiffBuilder tiff;
        basic_grey_tags(tiff, 4, 2, 32773);
        tiff.entry(273, kLong, {86});
        std::vector<uint8_t> bytes = tiff.finish();
        ASSERT_EQ(bytes.size(), 86u);
        bytes.insert(bytes.end(), c.code.begin(), c.code.end());
        std::string file = path("packbits.tif");
        ASSERT_TRUE(write_file(file, bytes));
        if (!c.loads) {
            EXPECT_EQ(QI_FrameFileLoad(file.c_str(), QI_STORAGE_MEMORY), -1);
            continue;
        }
        PnmImage expected;
        expected.format = PnmFormat::Grey;
        expected.width = 4;
        expected.height = 2;
        expected.samples.assign(8, 0x40);
        EXPECT_TRUE(loads_as(file, expected));
    }
}

// Headers whose counts, offsets and sizes reach past the file or past any
// sensible buffer are refused without reading or allocating beyond it.
TEST_F(TiffRead, HostileHeadersAreRefused) {
    const int32_t w = 16, h = 4;
    std::vector<uint8_t> pixels(static_cast<size_t>(w) * h, 0x80);
    struct Case {
        const char *name;
        int getInfo; // expected kind
        void (*tags)(TiffBuilder &, uint32_t data);
    };
    const Case cases[] = {
        {"strip count of 2^30", 2,
         [](TiffBuilder &t, uint32_t) { t.raw(273, kLong, 1u << 30, 8); }},
        {"strip offset past the end", 2,
         [](TiffBuilder &t, uint32_t) { t.entry(273, kLong, {1u << 30}); }},
        {"strip table past the end", 2,
         [](TiffBuilder &t, uint32_t) {
             t.raw(273, kLong, 4, 0xFFFFFFF0u);
             t.entry(278, kShort, {1});
         }},
        {"rows past the file", 2,
         [](TiffBuilder &t, uint32_t data) {
             t.entry(257, kLong, {4000});
             t.entry(273, kLong, {data});
         }},
        {"width above 65536", 2,
         [](TiffBuilder &t, uint32_t data) {
             t.entry(256, kLong, {65537});
             t.entry(273, kLong, {data});
         }},
        {"width of 2^31", 0,
         [](TiffBuilder &t, uint32_t data) {
             t.entry(256, kLong, {0x80000000u});
             t.entry(273, kLong, {data});
         }},
        {"RowsPerStrip 0 with two strips", 2,
         [](TiffBuilder &t, uint32_t data) {
             t.entry(273, kLong, {data, data + 32});
             t.entry(278, kLong, {0});
         }},
        {"colour map past the end", 3,
         [](TiffBuilder &t, uint32_t data) {
             t.entry(273, kLong, {data});
             t.entry(262, kShort, {3});
             t.raw(320, kShort, 768, 0xFFFFFF00u);
         }},
        {"colour map of too few colours", 3,
         [](TiffBuilder &t, uint32_t data) {
             t.entry(273, kLong, {data});
             t.entry(262, kShort, {3});
             t.entry(320, kShort, std::vector<uint32_t>(3 * 16, 0x8000));
         }},
        {"LZW with a predictor on a bad depth", 2,
         [](TiffBuilder &t, uint32_t data) {
             t.entry(259, kShort, {5});
             t.entry(273, kLong, {data});
             t.entry(317, kShort, {3});
         }},
        {"T.6 on grey", 2,
         [](TiffBuilder &t, uint32_t data) {
             t.entry(259, kShort, {4});
             t.entry(273, kLong, {data});
         }},
        {"no strips", 2, [](TiffBuilder &, uint32_t) {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TiffBuilder tiff;
        uint32_t data = tiff.data(pixels);
        // Entries later in the list win: the case's own come last.
        tiff.entry(256, kLong, {static_cast<uint32_t>(w)});
        tiff.entry(257, kLong, {static_cast<uint32_t>(h)});
        tiff.entry(258, kShort, {8});
        c.tags(tiff, data);
        std::string file = path("hostile.tif");
        ASSERT_TRUE(write_file(file, tiff.finish()));
        EXPECT_EQ(QI_FrameFileGetInfo(file.c_str(), nullptr, nullptr), c.getInfo);
        EXPECT_EQ(QI_FrameFileLoad(file.c_str(), QI_STORAGE_MEMORY), -1);
    }
    // A directory that claims more entries than the file holds, and one
    // beyond the limit.
    for (uint16_t entries : {uint16_t(400), uint16_t(6000)}) {
        std::vector<uint8_t> bytes = {'I', 'I', 42, 0, 8, 0, 0, 0, static_cast<uint8_t>(entries),
                                      static_cast<uint8_t>(entries >> 8)};
        bytes.resize(entries == 400 ? 200 : 2 + 8 + 12 * 6000 + 4, 0);
        std::string file = path("directory.tif");
        ASSERT_TRUE(write_file(file, bytes));
        EXPECT_EQ(QI_FrameFileGetInfo(file.c_str(), nullptr, nullptr), 0) << entries;
    }
}

// Colours decided by tags that only some writers use.
TEST_F(TiffRead, PaletteCurvesAndSampleValueTags) {
    // A 2-bit grey image of one row holding samples 0, 1, 2, 3.
    std::vector<uint8_t> row = {0x1B};
    struct Case {
        const char *name;
        uint32_t photometric;
        std::vector<uint32_t> curve; // GrayResponseCurve, hundredths
        uint32_t minSample;
        std::vector<uint8_t> levels;
    };
    const Case cases[] = {
        {"BlackIsZero ramp", 1, {}, 0, {0, 85, 170, 255}},
        {"WhiteIsZero ramp", 0, {}, 0, {255, 170, 85, 0}},
        {"MinSampleValue swaps", 0, {}, 1, {0, 85, 170, 255}},
        // Optical densities 0, 0.30, 0.60, 2.41: 10^-D of 256 levels.
        {"curve", 1, {0, 30, 60, 241}, 0, {255, 128, 64, 0}},
        {"curve, WhiteIsZero: not reversed", 0, {0, 30, 60, 241}, 0, {255, 128, 64, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TiffBuilder tiff;
        uint32_t data = tiff.data(row);
        tiff.entry(256, kLong, {4});
        tiff.entry(257, kLong, {1});
        tiff.entry(258, kShort, {2});
        tiff.entry(262, kShort, {c.photometric});
        tiff.entry(273, kLong, {data});
        if (c.minSample)
            tiff.entry(280, kShort, {c.minSample});
        if (!c.curve.empty())
            tiff.entry(291, kShort, c.curve);
        std::string file = path("levels.tif");
        ASSERT_TRUE(write_file(file, tiff.finish()));
        PnmImage expected;
        expected.format = PnmFormat::Grey;
        expected.width = 4;
        expected.height = 1;
        expected.samples = c.levels;
        EXPECT_TRUE(loads_as(file, expected));
    }
    // A 1-bit palette image: its colour map, not the bits, says which is
    // black.
    for (bool whiteFirst : {true, false}) {
        TiffBuilder tiff(true);
        uint32_t data = tiff.data({0xF0, 0x0F}); // two rows of 8 pixels
        tiff.entry(256, kLong, {8});
        tiff.entry(257, kLong, {2});
        tiff.entry(262, kShort, {3});
        tiff.entry(273, kLong, {data});
        uint32_t a = whiteFirst ? 0xFFFF : 0, b = whiteFirst ? 0 : 0xFFFF;
        tiff.entry(320, kShort, {a, b, a, b, a, b});
        std::string file = path("bitmap.tif");
        ASSERT_TRUE(write_file(file, tiff.finish()));
        PnmImage expected;
        expected.format = PnmFormat::Bitmap;
        expected.width = 8;
        expected.height = 2;
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 8; ++x) {
                bool one = ((y == 0 ? 0xF0 : 0x0F) >> (7 - x)) & 1;
                expected.samples.push_back(static_cast<uint8_t>(one == whiteFirst)); // 1 = black
            }
        EXPECT_TRUE(loads_as(file, expected)) << whiteFirst;
    }
}

// Every allocation and every file read of a load, made to fail in turn,
// fails the load and leaves nothing (the fixture checks at the end; each
// turn is checked here too).
TEST_F(TiffRead, InjectedFailuresFailCleanly) {
    std::string pnm = path("s.ppm"), bw = path("s.pbm");
    ASSERT_TRUE(write_pnm(pnm, random_image(PnmFormat::Colour, 60, 140, 8)));
    ASSERT_TRUE(write_pnm(bw, bilevel_image(60, 140, 8)));
    std::vector<std::string> files;
    std::string palette = path("palette.tif"), g4 = path("g4.tif"), rgb = path("rgb.tif"), mh = path("mh.tif");
    ASSERT_EQ(run_command(std::string(imagemagick()) + " " + sh_quote(pnm) + " -colors 30 -type Palette " +
                          sh_quote(path("p0.tif"))),
              0);
    ASSERT_EQ(run_command("tiffcp -c lzw:2 -r 50 " + sh_quote(path("p0.tif")) + " " + sh_quote(palette)), 0);
    ASSERT_EQ(run_command("pnmtotiff " + sh_quote(bw) + " > " + sh_quote(path("b0.tif"))), 0);
    ASSERT_EQ(run_command("tiffcp -c g4 -r 50 " + sh_quote(path("b0.tif")) + " " + sh_quote(g4)), 0);
    ASSERT_EQ(run_command("pnmtotiff -truecolor " + sh_quote(pnm) + " > " + sh_quote(path("r0.tif")) + " 2>/dev/null"), 0);
    ASSERT_EQ(run_command("tiffcp -c packbits -r 64 " + sh_quote(path("r0.tif")) + " " + sh_quote(rgb)), 0);
    ASSERT_TRUE(write_ccitt(mh, read_pnm(bw), COMPRESSION_CCITTRLE, PHOTOMETRIC_MINISBLACK, 50));
    for (const std::string &file : {palette, g4, rgb, mh}) {
        SCOPED_TRACE(file);
        for (int op : {-1, static_cast<int>(quill::FileOp::Read), static_cast<int>(quill::FileOp::Open)}) {
            bool loaded = false;
            for (int64_t n = 1; n < 400 && !loaded; ++n) {
                int64_t live = qs_test_live_blocks();
                if (op < 0)
                    qs_test_fail_allocation(n);
                else
                    qi_test_fail_file_op(op, n);
                int frame = QI_FrameFileLoad(file.c_str(), QI_STORAGE_SWAP);
                qs_test_fail_allocation(0);
                if (op >= 0)
                    qi_test_fail_file_op(op, 0);
                if (frame >= 0) {
                    loaded = true;
                    EXPECT_TRUE(loads_as_tifftopnm(file));
                    QI_FrameDelete(frame);
                }
                ASSERT_EQ(qs_test_live_blocks(), live) << "op " << op << " failure " << n;
                ASSERT_EQ(qi_test_open_files(), 0) << "op " << op << " failure " << n;
            }
            EXPECT_TRUE(loaded) << "op " << op;
        }
    }
}

} // namespace
