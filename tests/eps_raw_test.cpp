/*
 * eps_raw_test.cpp - the TIFF preview of EPS files and raw bilevel rows
 * ("_PA" with their ".bvl" header).
 *
 * EPS files are built here around a preview that ghostscript renders from
 * a sample drawing; the loaded frame must hold the pixels that libtiff's
 * tifftopnm decodes from that preview, and the temporary copy must never
 * outlive the call.
 */
#include "raster/files/file_io.h"

#include "fault_steps.h"
#include "file_support.h"
#include "raster_support.h"
#include "test_support.h"

#include <math.h>
#include <string.h>

#include <limits>
#include <string>
#include <vector>

using namespace quill_test;

namespace {

int frame_count() {
    int count = -1;
    QI_FrameLibraryInfo(&count, nullptr);
    return count;
}

void append32(std::vector<uint8_t> &b, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// An EPS file with a binary header: PostScript section, then the preview.
std::vector<uint8_t> eps_file(const std::vector<uint8_t> &postscript, const std::vector<uint8_t> &preview) {
    std::vector<uint8_t> b = {0xC5, 0xD0, 0xD3, 0xC6};
    append32(b, 30);
    append32(b, static_cast<uint32_t>(postscript.size()));
    append32(b, 0); // no metafile
    append32(b, 0);
    append32(b, static_cast<uint32_t>(30 + postscript.size()));
    append32(b, static_cast<uint32_t>(preview.size()));
    b.push_back(0xFF);
    b.push_back(0xFF);
    b.insert(b.end(), postscript.begin(), postscript.end());
    b.insert(b.end(), preview.begin(), preview.end());
    return b;
}

class EpsTest : public LibraryFixture {
protected:
    std::string path(const std::string &name) const { return swap_.path() + "/" + name; }
    std::string golfer() const { return std::string(QUILL_SHARED_DIR) + "/samples/ps/golfer.eps"; }
    bool temporary_left() const { return quill::pf_exists(path("tiffile.tmp").c_str()); }
    // Renders the sample with ghostscript's device into a TIFF preview.
    std::vector<uint8_t> preview(const char *device, int dpi) {
        std::string tif = path("preview.tif");
        std::string command = "gs -q -dSAFER -dBATCH -dNOPAUSE -dEPSCrop -r" + std::to_string(dpi) +
                              " -sDEVICE=" + device + " -sOutputFile=" + tif + " " + golfer() + " >/dev/null 2>&1";
        if (run_command(command) != 0)
            return {};
        std::vector<uint8_t> bytes = read_file(tif);
        return bytes;
    }
    // libtiff's decode of the preview written by preview().
    PnmImage peer_decode() {
        std::string pnm = path("preview.pnm");
        EXPECT_EQ(run_command("tifftopnm " + path("preview.tif") + " > " + pnm + " 2>/dev/null"), 0);
        PnmImage image = read_pnm(pnm);
        unlink(pnm.c_str());
        return image;
    }
    void TearDown() override {
        unlink(path("preview.tif").c_str());
        unlink(path("page.eps").c_str());
        LibraryFixture::TearDown();
    }
};

TEST_F(EpsTest, PreviewLoadsWithThePixelsLibtiffDecodes) {
    std::vector<uint8_t> postscript = read_file(golfer());
    ASSERT_FALSE(postscript.empty()) << golfer();
    struct Case {
        const char *device;
        int kind;
    } cases[] = {{"tiffg4", 1}, {"tiffpack", 1}, {"tiffgray", 2}, {"tiff24nc", 4}};
    for (const Case &c : cases) {
        std::vector<uint8_t> tiff = preview(c.device, 24);
        ASSERT_FALSE(tiff.empty()) << c.device;
        PnmImage expected = peer_decode();
        std::string eps = path("page.eps");
        ASSERT_TRUE(write_file(eps, eps_file(postscript, tiff)));
        int w = 0, h = 0;
        EXPECT_EQ(QI_FrameFileGetInfo(eps.c_str(), &w, &h), c.kind) << c.device;
        EXPECT_EQ(w, expected.width);
        EXPECT_EQ(h, expected.height);
        EXPECT_FALSE(temporary_left());
        int frame = QI_FrameFileLoad(eps.c_str(), QI_STORAGE_MEMORY);
        EXPECT_FALSE(temporary_left());
        ASSERT_GE(frame, 0) << c.device;
        EXPECT_EQ(QI_FrameGetData(frame)->kind, c.kind);
        EXPECT_TRUE(frame_matches_pnm(frame, expected)) << c.device;
        QI_FrameDelete(frame);
    }
}

TEST_F(EpsTest, DamagedHeadersAreRefusedAndLeaveNoCopy) {
    std::vector<uint8_t> tiff = preview("tiffg4", 10);
    ASSERT_FALSE(tiff.empty());
    std::vector<uint8_t> good = eps_file(std::vector<uint8_t>(100, '%'), tiff);
    uint32_t previewAt = 130, length = static_cast<uint32_t>(tiff.size());
    struct Damage {
        const char *what;
        size_t at;
        uint32_t value;
    } damages[] = {
        {"magic", 0, 0xC6D3D0C4u},
        {"offset 0", 20, 0},
        {"length 25", 24, 25},
        {"length past the end", 24, length + 1},
        {"offset past the end", 20, previewAt + length},
        {"length 0xFFFFFFFF", 24, 0xFFFFFFFFu},
        {"offset 0xFFFFFFFF", 20, 0xFFFFFFFFu},
    };
    std::string eps = path("page.eps");
    for (const Damage &d : damages) {
        std::vector<uint8_t> bad = good;
        quill::put_u32le(bad.data() + d.at, d.value);
        ASSERT_TRUE(write_file(eps, bad));
        EXPECT_EQ(QI_FrameFileGetInfo(eps.c_str(), nullptr, nullptr), 0) << d.what;
        EXPECT_EQ(QI_FrameFileLoad(eps.c_str(), QI_STORAGE_MEMORY), -1) << d.what;
        EXPECT_FALSE(temporary_left()) << d.what;
        EXPECT_EQ(frame_count(), 0);
    }
    // A file shorter than the header, and a preview that is no TIFF.
    ASSERT_TRUE(write_file(eps, std::vector<uint8_t>(good.begin(), good.begin() + 20)));
    EXPECT_EQ(QI_FrameFileLoad(eps.c_str(), QI_STORAGE_MEMORY), -1);
    ASSERT_TRUE(write_file(eps, eps_file({}, std::vector<uint8_t>(500, 0x41))));
    EXPECT_EQ(QI_FrameFileGetInfo(eps.c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(QI_FrameFileLoad(eps.c_str(), QI_STORAGE_MEMORY), -1);
    EXPECT_FALSE(temporary_left());
    // The good one loads, and EPS files are never written.
    ASSERT_TRUE(write_file(eps, good));
    int frame = QI_FrameFileLoad(eps.c_str(), QI_STORAGE_MEMORY);
    EXPECT_GE(frame, 0);
    EXPECT_EQ(QI_FrameFileSave(frame, path("out.eps").c_str()), 0);
    EXPECT_FALSE(quill::pf_exists(path("out.eps").c_str()));
    QI_FrameDelete(frame);
}

TEST_F(EpsTest, InjectedFailuresFailCleanly) {
    std::vector<uint8_t> tiff = preview("tiffgray", 12);
    ASSERT_FALSE(tiff.empty());
    std::string eps = path("page.eps");
    ASSERT_TRUE(write_file(eps, eps_file(std::vector<uint8_t>(10, '%'), tiff)));
    using quill::FileOp;
    for (int step : {kFailAllocation, int(FileOp::Open), int(FileOp::Read), int(FileOp::Write)}) {
        int frame = -1;
        fail_each_step(
            step, [&] { return (frame = QI_FrameFileLoad(eps.c_str(), QI_STORAGE_SWAP)) >= 0; },
            [&](int64_t n) {
                EXPECT_EQ(frame_count(), 0) << step << " " << n;
                EXPECT_FALSE(temporary_left()) << step << " " << n;
            });
        EXPECT_FALSE(temporary_left());
        QI_FrameDelete(frame);
    }
}

// ---- Raw bilevel rows ---------------------------------------------------

class RawRowsTest : public LibraryFixture {
protected:
    std::string rows_path() const { return swap_.path() + "/scan.v1._pa"; }
    std::string header_path() const { return swap_.path() + "/scan.v1.bvl"; }
    void write_header(double height, double width, double rowBytes) {
        std::vector<uint8_t> b(24);
        double values[3] = {height, width, rowBytes};
        for (int i = 0; i < 3; ++i) {
            uint64_t bits;
            memcpy(&bits, &values[i], 8);
            quill::put_u32le(b.data() + 8 * i, static_cast<uint32_t>(bits));
            quill::put_u32le(b.data() + 8 * i + 4, static_cast<uint32_t>(bits >> 32));
        }
        ASSERT_TRUE(write_file(header_path(), b));
    }
    // Stores the raster's rows `rowBytes` apart (cut or padded with `pad`).
    void write_rows(const Raster &r, size_t rowBytes, uint8_t pad = 0x00) {
        std::vector<uint8_t> b;
        for (int32_t y = 0; y < r.height; ++y) {
            std::vector<uint8_t> row(rowBytes, pad);
            memcpy(row.data(), r.data() + static_cast<size_t>(y) * r.line(), std::min<size_t>(rowBytes, r.line()));
            b.insert(b.end(), row.begin(), row.end());
        }
        ASSERT_TRUE(write_file(rows_path(), b));
    }
    int load() { return QI_FrameFileLoad(rows_path().c_str(), QI_STORAGE_MEMORY); }
    void TearDown() override {
        unlink(rows_path().c_str());
        unlink(header_path().c_str());
        LibraryFixture::TearDown();
    }
};

Raster random_bilevel(int32_t w, int32_t h, uint32_t seed) {
    std::mt19937 random(seed);
    Raster r(w, h, 1);
    r.fill_random(random);
    return r;
}

// Rows at or below `first` of the raster turned white (pad bits too).
Raster white_from(Raster r, int32_t first) {
    for (int32_t y = first; y < r.height; ++y)
        memset(r.data() + static_cast<size_t>(y) * r.line(), 0xFF, r.line());
    return r;
}

TEST_F(RawRowsTest, RowsLoadExactly) {
    for (int32_t width : {1, 100, 128, 1000}) {
        Raster r = random_bilevel(width, 300, width);
        write_header(300, width, r.line());
        write_rows(r, r.line());
        int frame = load();
        ASSERT_GE(frame, 0) << width;
        EXPECT_EQ(QI_FrameGetData(frame)->kind, 1);
        EXPECT_TRUE(same_pixels(frame_pixels(frame), r)) << width;
        QI_FrameDelete(frame);
    }
}

TEST_F(RawRowsTest, ShortFileLoadsWithTheMissingRowsWhite) {
    Raster r = random_bilevel(100, 300, 1);
    write_rows(r, r.line());
    std::vector<uint8_t> b = read_file(rows_path());
    b.resize(150 * r.line() + r.line() / 2); // 150 rows and half of one
    ASSERT_TRUE(write_file(rows_path(), b));
    write_header(300, 100, r.line());
    int frame = load();
    ASSERT_GE(frame, 0);
    EXPECT_TRUE(same_pixels(frame_pixels(frame), white_from(r, 150)));
    QI_FrameDelete(frame);
    // No rows at all: a white frame.
    truncate(rows_path().c_str(), 0);
    frame = load();
    ASSERT_GE(frame, 0);
    EXPECT_TRUE(same_pixels(frame_pixels(frame), white_from(r, 0)));
    QI_FrameDelete(frame);
}

TEST_F(RawRowsTest, StoredRowsWiderOrNarrowerThanTheLine) {
    // 100 pixels take 14 bytes a line. Wider stored rows are cut to the
    // line and each row still starts at its own offset.
    Raster r = random_bilevel(100, 260, 2);
    for (size_t rowBytes : {15u, 40u, 5000u}) {
        write_header(260, 100, static_cast<double>(rowBytes));
        write_rows(r, rowBytes, 0x00);
        int frame = load();
        ASSERT_GE(frame, 0) << rowBytes;
        EXPECT_TRUE(same_pixels(frame_pixels(frame), r)) << rowBytes;
        QI_FrameDelete(frame);
    }
    // Narrower stored rows: the rest of the line is white.
    write_header(260, 100, 5);
    write_rows(r, 5);
    int frame = load();
    ASSERT_GE(frame, 0);
    Raster expected = r;
    for (int32_t y = 0; y < r.height; ++y)
        for (int32_t x = 40; x < r.width; ++x)
            expected.set(x, y, 1);
    EXPECT_TRUE(same_pixels(frame_pixels(frame), expected));
    QI_FrameDelete(frame);
}

TEST_F(RawRowsTest, GetInfoReadsTheHeaderAlone) {
    write_header(7000.0, 5000.0, 626.0);
    int w = 0, h = 0;
    EXPECT_EQ(QI_FrameFileGetInfo(rows_path().c_str(), &w, &h), 1);
    EXPECT_EQ(w, 5000);
    EXPECT_EQ(h, 7000);
    // Fractions are truncated.
    write_header(10.9, 20.5, 3.99);
    EXPECT_EQ(QI_FrameFileGetInfo(rows_path().c_str(), &w, &h), 1);
    EXPECT_EQ(w, 20);
    EXPECT_EQ(h, 10);
}

TEST_F(RawRowsTest, HeadersOutOfRangeAreRefused) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const double bad[][3] = {
        {nan, 10, 2},  {10, nan, 2},   {10, 10, nan},   {-1, 10, 2},  {10, -5, 2},       {10, 10, -2},
        {0, 10, 2},    {10, 0.5, 2},   {10, 10, 0},     {inf, 10, 2}, {10, 10, inf},     {1e300, 10, 2},
        {65537, 1, 2}, {1, 65537, 2},  {10, 10, 3e9},   {-inf, 1, 1}, {10, 10, -1e300},
    };
    Raster r = random_bilevel(10, 10, 3);
    write_rows(r, 2);
    for (const auto &values : bad) {
        write_header(values[0], values[1], values[2]);
        EXPECT_EQ(QI_FrameFileGetInfo(rows_path().c_str(), nullptr, nullptr), 0)
            << values[0] << " " << values[1] << " " << values[2];
        EXPECT_EQ(load(), -1);
        EXPECT_EQ(frame_count(), 0);
    }
    // A header that is too short, and none at all.
    ASSERT_TRUE(write_file(header_path(), std::vector<uint8_t>(23, 0)));
    EXPECT_EQ(QI_FrameFileGetInfo(rows_path().c_str(), nullptr, nullptr), 0);
    unlink(header_path().c_str());
    EXPECT_EQ(load(), -1);
    // The largest sides load.
    write_header(1, 65536, 8192);
    int frame = load();
    ASSERT_GE(frame, 0);
    EXPECT_EQ(QI_FrameGetData(frame)->width, 65536);
    QI_FrameDelete(frame);
    // Raw rows are never written.
    frame = QI_FrameCreate(8, 8, 1, QI_STORAGE_MEMORY, nullptr, 0);
    EXPECT_EQ(QI_FrameFileSave(frame, rows_path().c_str()), 0);
    QI_FrameDelete(frame);
}

TEST_F(RawRowsTest, InjectedFailuresFailCleanly) {
    Raster r = random_bilevel(300, 300, 4);
    write_header(300, 300, r.line());
    write_rows(r, r.line());
    using quill::FileOp;
    for (int step : {kFailAllocation, int(FileOp::Open), int(FileOp::Read), int(FileOp::Write)}) {
        int frame = -1;
        fail_each_step(
            step, [&] { return (frame = QI_FrameFileLoad(rows_path().c_str(), QI_STORAGE_SWAP)) >= 0; },
            [&](int64_t n) { EXPECT_EQ(frame_count(), 0) << step << " " << n; });
        EXPECT_TRUE(same_pixels(frame_pixels(frame), r));
        QI_FrameDelete(frame);
    }
}

} // namespace
