/*
 * frame_file_test.cpp - the door between frames and image files: names and
 * their extensions, and the row hand-over of loads and saves (blocks of
 * 128 rows, palettes, progress and cancel, rows out of order).
 *
 * The line protocol is driven here directly, the way a format reader or
 * writer drives it, so that its behaviour is pinned down apart from any
 * format.
 */
#include "raster/files/file_io.h"
#include "raster/files/line_transfer.h"

#include "file_support.h"
#include "raster_support.h"
#include "test_support.h"

#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

using namespace quill_test;

namespace {

std::string extension_of(const char *name) {
    char out[8];
    EXPECT_TRUE(quill::file_extension(name, out, sizeof out));
    return out;
}

TEST(FileNames, ExtensionIsWhatFollowsTheLastDotOutsideDirectories) {
    EXPECT_EQ(extension_of("page.tif"), "TIF");
    EXPECT_EQ(extension_of("PAGE.Tif"), "TIF");
    EXPECT_EQ(extension_of("dir.v2/page.pcx"), "PCX");
    EXPECT_EQ(extension_of("scan.001._pa"), "_PA");
    EXPECT_EQ(extension_of("page.tiff"), "TIFF");
    EXPECT_EQ(extension_of("page"), "");
    EXPECT_EQ(extension_of("dir.tif\\page"), "");
    EXPECT_EQ(extension_of("dir.tif/page"), "");
    EXPECT_EQ(extension_of("c.tif:stream"), "");
    EXPECT_EQ(extension_of("page."), "");
    EXPECT_EQ(extension_of("page.muchtoolong"), "");
    char out[8];
    EXPECT_FALSE(quill::file_extension(std::string(256, 'a').c_str(), out, sizeof out));
    EXPECT_TRUE(quill::file_extension((std::string(251, 'a') + ".tif").c_str(), out, sizeof out));
    EXPECT_STREQ(out, "TIF");
}

// ---- Progress capture --------------------------------------------------

struct Reports {
    std::vector<intptr_t> values;
    intptr_t refuse = -1; // answer 0 to this value
    void reset(intptr_t refuseValue = -1) {
        values.clear();
        refuse = refuseValue;
    }
    std::vector<intptr_t> percentages() const {
        std::vector<intptr_t> p;
        for (size_t i = 0; i < values.size(); ++i)
            if (values[i] >= 1 && values[i] <= 99)
                p.push_back(values[i]);
        return p;
    }
};
Reports g_reports;

int record_report(intptr_t value) {
    g_reports.values.push_back(value);
    return value == g_reports.refuse ? 0 : 1;
}

class LineProtocolTest : public LibraryFixture {
protected:
    void restart_with_reports() {
        QI_CloseFrameFunctions();
        ASSERT_EQ(QI_InitFrameFunctions("", swap_.path().c_str(), record_report), 1);
        g_reports.reset();
    }
    // Loads the raster through the protocol as a reader would; the frame or -1.
    int load_through_protocol(const Raster &r, int32_t imageKind, const std::vector<uint8_t> *palette = nullptr) {
        quill::FileInfo info{r.width, r.height, imageKind};
        if (!quill::load_transfer_begin(info, QI_STORAGE_MEMORY))
            return -1;
        uint8_t *slot = quill::load_line(0, -1);
        bool ok = slot != nullptr;
        if (ok && palette) {
            memcpy(slot, palette->data(), palette->size());
            slot = quill::load_line(static_cast<int32_t>(palette->size()), -2);
            ok = slot != nullptr;
        }
        for (int32_t y = 0; ok && y < r.height; ++y) {
            memcpy(slot, r.data() + static_cast<size_t>(y) * r.line(), r.line());
            slot = quill::load_line(static_cast<int32_t>(r.line()), y);
            ok = slot != nullptr;
        }
        return quill::load_transfer_end(ok);
    }
};

Raster random_raster(int32_t w, int32_t h, int32_t kind, uint32_t seed) {
    std::mt19937 random(seed);
    Raster r(w, h, kind);
    r.fill_random(random);
    return r;
}

TEST_F(LineProtocolTest, RowsOfEveryKindArriveInTheFrame) {
    for (int32_t height : {1, 128, 129, 300}) {
        Raster bilevel = random_raster(77, height, 1, 1);
        int frame = load_through_protocol(bilevel, 1);
        ASSERT_GE(frame, 0);
        EXPECT_TRUE(same_pixels(frame_pixels(frame), bilevel)) << height;
        EXPECT_EQ(QI_FrameGetData(frame)->locked, 0);
        QI_FrameDelete(frame);

        Raster grey = random_raster(130, height, 2, 2);
        frame = load_through_protocol(grey, 2);
        ASSERT_GE(frame, 0);
        EXPECT_TRUE(same_pixels(frame_pixels(frame), grey)) << height;
        QI_FrameDelete(frame);

        // Colour rows cross as B, G, R and the frame holds Y, U, V.
        Raster bgr = random_raster(33, height, 4, 3);
        frame = load_through_protocol(bgr, 4);
        ASSERT_GE(frame, 0);
        Raster yuv = bgr;
        QI_DmriBGRtoYUV(yuv.data(), yuv.width, yuv.height);
        EXPECT_TRUE(same_pixels(frame_pixels(frame), yuv)) << height;
        QI_FrameDelete(frame);
    }
}

TEST_F(LineProtocolTest, BlocksOf128RowsReportProgressAtTheirFirstRow) {
    restart_with_reports();
    Raster r = random_raster(40, 129, 2, 4);
    int frame = load_through_protocol(r, 2);
    ASSERT_GE(frame, 0);
    // One block of 128 rows and one of 1: reports at rows 0 and 128.
    EXPECT_EQ(g_reports.percentages(), (std::vector<intptr_t>{1, 128 * 99 / 129 + 1}));
    QI_FrameDelete(frame);
}

std::vector<uint8_t> palette_record(const std::vector<uint32_t> &bgr) {
    std::vector<uint8_t> record(1 + 4 * bgr.size());
    record[0] = static_cast<uint8_t>(bgr.size() - 1);
    for (size_t i = 0; i < bgr.size(); ++i) {
        record[1 + 4 * i] = static_cast<uint8_t>(bgr[i]);
        record[2 + 4 * i] = static_cast<uint8_t>(bgr[i] >> 8);
        record[3 + 4 * i] = static_cast<uint8_t>(bgr[i] >> 16);
    }
    return record;
}

TEST_F(LineProtocolTest, GreyPaletteLoadsAsGreyFrame) {
    std::vector<uint8_t> palette = palette_record({0x000000, 0x404040, 0xC0C0C0, 0xFFFFFF});
    Raster indices(50, 140, 2, 0);
    for (int32_t y = 0; y < indices.height; ++y)
        for (int32_t x = 0; x < indices.width; ++x)
            indices.set(x, y, static_cast<uint32_t>((x + y) % 4));
    int frame = load_through_protocol(indices, 3, &palette);
    ASSERT_GE(frame, 0);
    EXPECT_EQ(QI_FrameGetData(frame)->kind, 2);
    EXPECT_EQ(QI_FrameGetData(frame)->palette, 0);
    // The expected levels are drawn afresh rather than mapped over a copy of
    // `indices`: gcc 12 at -O2 takes the copy's destruction for a free of a
    // non-heap pointer (a false free-nonheap-object warning).
    const uint8_t levels[4] = {0x00, 0x40, 0xC0, 0xFF};
    Raster expected(indices.width, indices.height, 2, 0);
    for (int32_t y = 0; y < expected.height; ++y)
        for (int32_t x = 0; x < expected.width; ++x)
            expected.set(x, y, levels[(x + y) % 4]);
    Raster actual = frame_pixels(frame);
    for (int32_t y = 0; y < actual.height; ++y)
        for (int32_t x = 0; x < actual.width; ++x)
            ASSERT_EQ(actual.get(x, y), expected.get(x, y)) << x << "," << y;
    QI_FrameDelete(frame);
}

TEST_F(LineProtocolTest, ColourPaletteLoadsAsColourFrameAndSavesAsPaletteAgain) {
    std::vector<uint32_t> colours = {0x0000FF, 0x00FF00, 0xFF0000, 0xFFFFFF, 0x123456};
    std::vector<uint8_t> palette = palette_record(colours);
    Raster indices(70, 131, 2, 0);
    for (int32_t y = 0; y < indices.height; ++y)
        for (int32_t x = 0; x < indices.width; ++x)
            indices.set(x, y, static_cast<uint32_t>((x / 3 + y) % 5));
    indices.set(0, 0, 200); // an index past the palette becomes black
    int frame = load_through_protocol(indices, 3, &palette);
    ASSERT_GE(frame, 0);
    ASSERT_EQ(QI_FrameGetData(frame)->kind, 4);
    EXPECT_NE(QI_FrameGetData(frame)->palette, 0);
    Raster actual = frame_pixels(frame);
    for (int32_t y = 0; y < actual.height; ++y)
        for (int32_t x = 0; x < actual.width; ++x) {
            uint8_t pixel[3] = {0, 0, 0};
            if (indices.get(x, y) < colours.size())
                memcpy(pixel, &palette[1 + 4 * indices.get(x, y)], 3);
            QI_DmriBGRtoYUV(pixel, 1, 1);
            ASSERT_EQ(actual.get(x, y), pixel[0] | pixel[1] << 8 | static_cast<uint32_t>(pixel[2]) << 16)
                << x << "," << y;
        }

    // Saved, the frame is a palette image: its palette comes back as B, G, R
    // (through Y, U, V, so within the conversion's rounding) and its rows as
    // the indices (the black pixel, not a palette colour, takes the nearest).
    ASSERT_EQ(QI_FrameLock(frame), 1);
    quill::FileInfo info{};
    ASSERT_TRUE(quill::save_transfer_begin(frame, info));
    EXPECT_EQ(info.kind, 3);
    std::vector<uint8_t> saved(quill::kPaletteRecordBytes);
    ASSERT_TRUE(quill::save_line(saved.data(), -2, false));
    EXPECT_EQ(saved[0], colours.size() - 1);
    for (size_t i = 1; i < 1 + 4 * colours.size(); ++i)
        EXPECT_NEAR(saved[i], palette[i], 3) << i;
    std::vector<uint8_t> row(QI_GetLineBWi(3, indices.width));
    for (int32_t y = 0; y < indices.height; ++y) {
        ASSERT_TRUE(quill::save_line(row.data(), y, false)) << y;
        for (int32_t x = (y == 0 ? 1 : 0); x < indices.width; ++x)
            ASSERT_EQ(row[x], indices.get(x, y)) << x << "," << y;
    }
    EXPECT_FALSE(quill::save_line(row.data(), indices.height, false));
    quill::save_transfer_end();
    QI_FrameUnlock(frame);
    QI_FrameDelete(frame);
}

TEST_F(LineProtocolTest, RowsOutOfOrderOrOfTheWrongLengthFailTheLoad) {
    Raster r = random_raster(64, 10, 2, 5);
    quill::FileInfo info{r.width, r.height, 2};
    struct Case {
        int32_t bytes, line;
    } bad[] = {{static_cast<int32_t>(r.line()), 1},
               {static_cast<int32_t>(r.line()) + 1, 0},
               {0, 0},
               {static_cast<int32_t>(r.line()), -3}};
    for (const Case &c : bad) {
        ASSERT_TRUE(quill::load_transfer_begin(info, QI_STORAGE_MEMORY));
        EXPECT_EQ(quill::load_line(c.bytes, c.line), nullptr) << c.bytes << " " << c.line;
        EXPECT_EQ(quill::load_transfer_end(false), -1);
    }
    // Rows past the height, and a load that ends before its last row.
    ASSERT_TRUE(quill::load_transfer_begin(info, QI_STORAGE_MEMORY));
    for (int32_t y = 0; y < r.height; ++y)
        ASSERT_NE(quill::load_line(static_cast<int32_t>(r.line()), y), nullptr);
    EXPECT_EQ(quill::load_line(static_cast<int32_t>(r.line()), r.height), nullptr);
    int32_t frame = quill::load_transfer_end(true);
    EXPECT_GE(frame, 0);
    QI_FrameDelete(frame);
    ASSERT_TRUE(quill::load_transfer_begin(info, QI_STORAGE_MEMORY));
    ASSERT_NE(quill::load_line(static_cast<int32_t>(r.line()), 0), nullptr);
    EXPECT_EQ(quill::load_transfer_end(true), -1) << "a load missing rows made a frame";
    int count = -1, highest = -2;
    QI_FrameLibraryInfo(&count, &highest);
    EXPECT_EQ(count, 0);
}

TEST_F(LineProtocolTest, NoTransferNoLines) {
    EXPECT_EQ(QI_FrameFile_LoadLine(0, -1), 0);
    uint8_t row[16];
    EXPECT_EQ(QI_FrameFile_SaveLine(row, 0, 0), 0);
    EXPECT_EQ(QI_FrameFile_SaveLine(row, -2, 0), 0);
    // A palette handed to a load of a non-palette image is refused.
    quill::FileInfo info{8, 8, 2};
    ASSERT_TRUE(quill::load_transfer_begin(info, QI_STORAGE_MEMORY));
    EXPECT_EQ(quill::load_line(5, -2), nullptr);
    EXPECT_EQ(quill::load_transfer_end(false), -1);
}

TEST_F(LineProtocolTest, CancelAtABlockStartFailsTheLoadAndLeavesNoFrame) {
    restart_with_reports();
    Raster r = random_raster(20, 300, 2, 6);
    g_reports.reset(128 * 99 / 300 + 1); // the second block's report
    EXPECT_EQ(load_through_protocol(r, 2), -1);
    ASSERT_GE(g_reports.values.size(), 2u);
    EXPECT_EQ(g_reports.values.back(), 101);
    int count = -1;
    QI_FrameLibraryInfo(&count, nullptr);
    EXPECT_EQ(count, 0);
}

TEST_F(LineProtocolTest, SavedBilevelRowsAsRunLists) {
    restart_with_reports();
    Raster r(200, 130, 1);
    std::mt19937 random(7);
    r.fill_sparse(random, 20);
    int frame = frame_from(r);
    ASSERT_GE(frame, 0);
    ASSERT_EQ(QI_FrameLock(frame), 1);
    quill::FileInfo info{};
    ASSERT_TRUE(quill::save_transfer_begin(frame, info));
    EXPECT_EQ(info.kind, 1);
    std::vector<uint16_t> list(quill::run_list_bytes(r.width) / 2);
    for (int32_t y = 0; y < r.height; ++y) {
        ASSERT_TRUE(quill::save_line(list.data(), y, true));
        Raster row(r.width, 1, 1);
        QI_UnpackBlackRuns(row.data(), static_cast<uint16_t>(r.width), list.data() + 1, list[0]);
        for (int32_t x = 0; x < r.width; ++x)
            ASSERT_EQ(row.get(x, 0), r.get(x, y)) << x << "," << y;
    }
    quill::save_transfer_end();
    // A save is not cancelled: its reports are one per block, answers ignored.
    EXPECT_EQ(g_reports.percentages(), (std::vector<intptr_t>{1, 128 * 99 / 130 + 1}));
    QI_FrameUnlock(frame);
    QI_FrameDelete(frame);
}

TEST_F(LineProtocolTest, AllocationFailuresLeaveNothing) {
    Raster r = random_raster(300, 260, 4, 8);
    for (int64_t n = 1; n < 200; ++n) {
        qs_test_fail_allocation(n);
        int frame = load_through_protocol(r, 4);
        qs_test_fail_allocation(0);
        if (frame >= 0) {
            QI_FrameDelete(frame);
            break;
        }
        int count = -1;
        QI_FrameLibraryInfo(&count, nullptr);
        ASSERT_EQ(count, 0) << n;
    }
}

// ---- The public doors ---------------------------------------------------

// A minimal little-endian TIFF directory: width, height, one strip offset.
std::vector<uint8_t> tiny_tiff(uint32_t width, uint32_t height) {
    std::vector<uint8_t> b = {'I', 'I', 42, 0, 8, 0, 0, 0, 3, 0};
    auto entry = [&](uint16_t tag, uint16_t type, uint32_t value) {
        const uint8_t e[12] = {static_cast<uint8_t>(tag), static_cast<uint8_t>(tag >> 8), static_cast<uint8_t>(type), 0,
                               1, 0, 0, 0, static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                               static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
        b.insert(b.end(), e, e + 12);
    };
    entry(256, 4, width);
    entry(257, 4, height);
    entry(273, 4, 50);
    b.insert(b.end(), {0, 0, 0, 0});
    b.resize(50 + 16, 0xFF);
    return b;
}

class FileDoorsTest : public LineProtocolTest {
protected:
    std::string path(const std::string &name) const { return swap_.path() + "/" + name; }
};

TEST_F(FileDoorsTest, TheExtensionAloneChoosesTheFormat) {
    Raster r = random_raster(40, 30, 2, 9);
    int frame = frame_from(r);
    ASSERT_GE(frame, 0);
    for (const char *name : {"a.tif", "b.TIF", "c.Pcx", "d.yx"}) {
        ASSERT_EQ(QI_FrameFileSave(frame, path(name).c_str()), 1) << name;
        int w = 0, h = 0;
        EXPECT_GT(QI_FrameFileGetInfo(path(name).c_str(), &w, &h), 0) << name;
        EXPECT_EQ(w, 40);
        EXPECT_EQ(h, 30);
        int loaded = QI_FrameFileLoad(path(name).c_str(), QI_STORAGE_MEMORY);
        ASSERT_GE(loaded, 0) << name;
        EXPECT_TRUE(same_pixels(frame_pixels(loaded), r)) << name;
        QI_FrameDelete(loaded);
        unlink(path(name).c_str());
    }
    // The same TIFF bytes under names that are not "TIF" are not read.
    ASSERT_EQ(QI_FrameFileSave(frame, path("page.tif").c_str()), 1);
    std::vector<uint8_t> bytes = read_file(path("page.tif"));
    mkdir(path("dir.tif").c_str(), 0700);
    for (const char *name : {"page.tiff", "page", "dir.tif/page", "page.eps"}) {
        ASSERT_TRUE(write_file(path(name), bytes));
        int w = -1, h = -1;
        EXPECT_EQ(QI_FrameFileGetInfo(path(name).c_str(), &w, &h), 0) << name;
        EXPECT_EQ(w, -1) << "written on failure";
        EXPECT_EQ(QI_FrameFileLoad(path(name).c_str(), QI_STORAGE_MEMORY), -1) << name;
        unlink(path(name).c_str());
    }
    rmdir(path("dir.tif").c_str());
    for (const char *name : {"out.tiff", "out", "out.eps", "out._pa"}) {
        EXPECT_EQ(QI_FrameFileSave(frame, path(name).c_str()), 0) << name;
        EXPECT_NE(access(path(name).c_str(), F_OK), 0) << name << " was written";
    }
    unlink(path("page.tif").c_str());
    QI_FrameDelete(frame);
}

TEST_F(FileDoorsTest, ImagesAbove65536AreRefusedBeforeAnyFrameIsMade) {
    restart_with_reports();
    for (uint32_t width : {65536u, 65537u}) {
        ASSERT_TRUE(write_file(path("wide.tif"), tiny_tiff(width, 3)));
        int w = 0, h = 0;
        ASSERT_EQ(QI_FrameFileGetInfo(path("wide.tif").c_str(), &w, &h), 1);
        EXPECT_EQ(static_cast<uint32_t>(w), width);
        g_reports.reset();
        int frame = QI_FrameFileLoad(path("wide.tif").c_str(), QI_STORAGE_SWAP);
        if (width == 65536u) {
            // The strip is too short for three rows: the load starts and fails.
            EXPECT_EQ(frame, -1);
            EXPECT_FALSE(g_reports.values.empty());
        } else {
            EXPECT_EQ(frame, -1);
            EXPECT_TRUE(g_reports.values.empty()) << "the load began";
        }
        int count = -1;
        QI_FrameLibraryInfo(&count, nullptr);
        EXPECT_EQ(count, 0);
    }
    unlink(path("wide.tif").c_str());
}

TEST_F(FileDoorsTest, RawRastersSaveThroughATemporaryFrame) {
    for (int32_t kind : {1, 2, 4}) {
        Raster r = random_raster(131, 70, kind, 10 + kind);
        std::string name = path("raw.yx");
        ASSERT_EQ(QI_DmriFileSave(r.data(), r.width, r.height, kind, name.c_str()), 1) << kind;
        int frame = QI_FrameFileLoad(name.c_str(), QI_STORAGE_MEMORY);
        ASSERT_GE(frame, 0);
        EXPECT_TRUE(same_pixels(frame_pixels(frame), r)) << kind;
        QI_FrameDelete(frame);
        unlink(name.c_str());
    }
    Raster r = random_raster(8, 8, 2, 20);
    EXPECT_EQ(QI_DmriFileSave(r.data(), 8, 8, 3, path("raw.tif").c_str()), 0);
    EXPECT_EQ(QI_DmriFileSave(nullptr, 8, 8, 2, path("raw.tif").c_str()), 0);
    EXPECT_EQ(QI_DmriFileSave(r.data(), 8, 8, 2, path("raw.tiff").c_str()), 0);
    int count = -1;
    QI_FrameLibraryInfo(&count, nullptr);
    EXPECT_EQ(count, 0) << "the temporary frame stayed";
    EXPECT_EQ(QI_FrameFilePreview(), 0);
}

} // namespace
