/*
 * yx_file_test.cpp - the library's tile files: a saved frame loads with the
 * same tile records byte for byte (and so the same pixels) for every kind
 * and coding, blank tiles stay blank, and damaged files are refused with
 * nothing left behind.
 */
#include "raster/core/library_state.h"
#include "raster/core/tile_store.h"
#include "raster/core/tiles.h"
#include "raster/files/file_io.h"

#include "fault_steps.h"
#include "file_support.h"
#include "raster_support.h"
#include "test_support.h"

#include <string.h>

#include <string>
#include <vector>

using namespace quill_test;

namespace {

constexpr uint32_t kBlank = 0xFFFFFFFFu; // length of a record-less tile below

struct Record {
    uint32_t length; // kBlank for a tile without a record
    std::vector<uint8_t> bytes;
    bool operator==(const Record &o) const { return length == o.length && bytes == o.bytes; }
};

// Every record of the frame's store as it holds it (palette record last).
std::vector<Record> stored_records(int frame) {
    std::vector<Record> records;
    const QI_FrameRecord *f = QI_FrameGetData(frame);
    bool locked = f->locked;
    if (!locked) {
        EXPECT_EQ(QI_FrameLock(frame), 1);
    }
    int32_t count = quill::tile_store_lookup(f->tileStore)->recordCount;
    std::vector<uint8_t> buffer(49160);
    for (int32_t i = 0; i < count; ++i) {
        int32_t length = quill::tile_store_read(f->tileStore, i, buffer.data(), buffer.size());
        EXPECT_NE(length, quill::kRecordFailed);
        Record r{length < 0 ? kBlank : static_cast<uint32_t>(length), {}};
        if (length > 0)
            r.bytes.assign(buffer.begin(), buffer.begin() + length);
        records.push_back(r);
    }
    if (!locked)
        QI_FrameUnlock(frame);
    return records;
}

int frame_count() {
    int count = -1;
    QI_FrameLibraryInfo(&count, nullptr);
    return count;
}

// A palette record in frame terms (Y, U, V, 0) of `n` entries.
std::vector<uint8_t> palette_record(int n) {
    std::vector<uint8_t> p(1 + 4 * n, 0);
    p[0] = static_cast<uint8_t>(n - 1);
    for (int i = 0; i < n; ++i) {
        p[1 + 4 * i] = static_cast<uint8_t>(i * 37);
        p[2 + 4 * i] = static_cast<uint8_t>(127 + i * 11);
        p[3 + 4 * i] = static_cast<uint8_t>(127 - i * 5);
    }
    return p;
}

// Content with every kind of tile: noise (raw or escape-heavy records),
// smooth ramps, flat areas and, for bilevel, white tiles and sparse dots.
Raster mixed_content(int32_t w, int32_t h, int32_t kind, uint32_t seed) {
    std::mt19937 random(seed);
    Raster r(w, h, kind, 0xFF);
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            int32_t band = (x / 100 + y / 90) % 4;
            uint32_t v;
            if (kind == 1)
                v = band == 0 ? random() & 1 : band == 1 ? (random() % 50 != 0) : 1;
            else if (band == 0)
                v = random() & 0xFFFFFF;
            else if (band == 1)
                v = static_cast<uint32_t>((x + 2 * y) & 0xFF) | 0x7F7F00u;
            else
                v = 0x4060A0u;
            r.set(x, y, v);
        }
    }
    return r;
}

// A colour raster of palette colours, except a band of others.
Raster palette_content(int32_t w, int32_t h, const std::vector<uint8_t> &palette) {
    Raster r(w, h, 4);
    int n = palette[0] + 1;
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            const uint8_t *e = palette.data() + 1 + 4 * ((x / 7 + y / 5) % n);
            uint32_t v = e[0] | e[1] << 8 | static_cast<uint32_t>(e[2]) << 16;
            r.set(x, y, x >= 128 && y >= 128 ? (v ^ 0x010203u) : v);
        }
    return r;
}

std::vector<intptr_t> g_progress;
int record_progress(intptr_t value) {
    g_progress.push_back(value);
    return 1;
}

class YxFileTest : public LibraryFixture {
protected:
    std::string path(const char *name) const { return swap_.path() + "/" + name; }
    void restart(const char *dataDir, ProgressCallback callback = nullptr) {
        QI_CloseFrameFunctions();
        ASSERT_EQ(QI_InitFrameFunctions(dataDir, swap_.path().c_str(), callback), 1);
    }
    // A frame of the content, with its palette and mode; -1 on failure.
    int make_frame(const Raster &r, int32_t mode, const std::vector<uint8_t> *palette = nullptr,
                   int32_t storage = QI_STORAGE_MEMORY) {
        int frame = QI_FrameCreate(r.width, r.height, r.kind, storage, palette ? palette->data() : nullptr, mode);
        if (frame < 0 || QI_FrameLock(frame) != 1)
            return -1;
        EXPECT_EQ(QI_FrameSetRect(frame, nullptr, r.data(), r.kind, -1, -1), 1);
        QI_FrameUnlock(frame);
        return frame;
    }
    // Saves, loads into the other storage and checks records and pixels.
    void expect_round_trip(int frame, const std::string &what) {
        std::string file = path("frame.yx");
        ASSERT_EQ(QI_FrameFileSave(frame, file.c_str()), 1) << what;
        const QI_FrameRecord *f = QI_FrameGetData(frame);
        int32_t storage = f->storage == QI_STORAGE_SWAP ? QI_STORAGE_MEMORY : QI_STORAGE_SWAP;
        int loaded = QI_FrameFileLoad(file.c_str(), storage);
        ASSERT_GE(loaded, 0) << what;
        const QI_FrameRecord *g = QI_FrameGetData(loaded);
        f = QI_FrameGetData(frame);
        EXPECT_EQ(g->width, f->width) << what;
        EXPECT_EQ(g->height, f->height) << what;
        EXPECT_EQ(g->kind, f->kind) << what;
        EXPECT_EQ(g->mode, f->mode) << what;
        EXPECT_EQ(g->palette != 0, f->palette != 0) << what;
        EXPECT_EQ(g->storage, storage) << what;
        EXPECT_TRUE(stored_records(loaded) == stored_records(frame)) << what;
        EXPECT_TRUE(same_pixels(frame_pixels(loaded), frame_pixels(frame))) << what;
        QI_FrameDelete(loaded);
        unlink(file.c_str());
    }
};

const int32_t kSizes[][2] = {{1, 1}, {129, 129}, {301, 77}};

TEST_F(YxFileTest, PlainFramesOfEveryKindLoadWithTheirRecords) {
    for (int32_t kind : {1, 2, 4})
        for (const auto &size : kSizes) {
            Raster r = mixed_content(size[0], size[1], kind, 7);
            int frame = make_frame(r, kind == 1 ? 0 : 1, nullptr, size[0] == 129 ? QI_STORAGE_SWAP : 1);
            ASSERT_GE(frame, 0);
            expect_round_trip(frame, "kind " + std::to_string(kind) + " " + std::to_string(size[0]));
            EXPECT_TRUE(same_pixels(frame_pixels(frame), r));
            QI_FrameDelete(frame);
        }
}

TEST_F(YxFileTest, LossyFramesLoadWithTheirRecords) {
    restart(QUILL_DATA_DIR);
    ASSERT_EQ(quill::g_library.yxTablesPresent, 1) << "data files missing in " << QUILL_DATA_DIR;
    for (int32_t kind : {2, 4})
        for (int32_t mode : {2, 3, 4})
            for (const auto &size : kSizes) {
                Raster r = mixed_content(size[0], size[1], kind, 11);
                int frame = make_frame(r, mode);
                ASSERT_GE(frame, 0);
                ASSERT_EQ(QI_FrameGetData(frame)->mode, mode);
                expect_round_trip(frame, "kind " + std::to_string(kind) + " mode " + std::to_string(mode) + " " +
                                             std::to_string(size[0]));
                QI_FrameDelete(frame);
            }
}

TEST_F(YxFileTest, ColourFrameWithPaletteKeepsItsPalette) {
    for (int entries : {1, 16, 256}) {
        std::vector<uint8_t> palette = palette_record(entries);
        for (const auto &size : kSizes) {
            Raster r = palette_content(size[0], size[1], palette);
            int frame = make_frame(r, 1, &palette);
            ASSERT_GE(frame, 0);
            expect_round_trip(frame, "palette " + std::to_string(entries));
            QI_FrameDelete(frame);
        }
    }
    // The file's first record is the palette record.
    std::vector<uint8_t> palette = palette_record(3);
    int frame = make_frame(palette_content(10, 10, palette), 1, &palette);
    std::string file = path("p.yx");
    ASSERT_EQ(QI_FrameFileSave(frame, file.c_str()), 1);
    std::vector<uint8_t> bytes = read_file(file);
    ASSERT_GE(bytes.size(), 79u + palette.size());
    EXPECT_EQ(quill::get_u32le(bytes.data() + 71), 2u);
    EXPECT_EQ(quill::get_u16le(bytes.data() + 75), palette.size());
    EXPECT_TRUE(std::equal(palette.begin(), palette.end(), bytes.begin() + 79));
    QI_FrameDelete(frame);
    unlink(file.c_str());
}

TEST_F(YxFileTest, BilevelPageLoadsWithItsRecords) {
    const int32_t w = 5000, h = 7000;
    Raster page(w, h, 1, 0xFF);
    std::mt19937 random(3);
    // A grid of lines, a band of speckle and a block of noise.
    for (int32_t y = 0; y < h; ++y) {
        uint8_t *row = page.data() + static_cast<size_t>(y) * page.line();
        if (y % 250 < 3)
            memset(row, 0, page.line());
        for (int32_t x = 0; x < w; x += 400)
            page.set(x, y, 0);
        if (y > 3000 && y < 3500)
            for (int32_t i = 0; i < 40; ++i)
                page.set(static_cast<int32_t>(random() % w), y, 0);
        if (y > 6000 && y < 6300)
            for (int32_t x = 100; x < 400; x += 8)
                row[x / 8] = static_cast<uint8_t>(random());
    }
    int frame = make_frame(page, 0, nullptr, QI_STORAGE_SWAP);
    ASSERT_GE(frame, 0);
    expect_round_trip(frame, "page");
    QI_FrameDelete(frame);
}

TEST_F(YxFileTest, BlankTilesStayBlank) {
    // Bilevel: white tiles have no record and are written as the mark.
    Raster white(300, 200, 1, 0xFF);
    white.set(5, 5, 0);
    int frame = make_frame(white, 0);
    std::string file = path("blank.yx");
    ASSERT_EQ(QI_FrameFileSave(frame, file.c_str()), 1);
    std::vector<uint8_t> bytes = read_file(file);
    uint32_t n = quill::get_u32le(bytes.data() + 71);
    ASSERT_EQ(n, 6u);
    size_t at = 75 + 2 * n + quill::get_u16le(bytes.data() + 75);
    for (uint32_t i = 1; i < n; ++i) {
        ASSERT_EQ(quill::get_u16le(bytes.data() + 75 + 2 * i), 4u);
        EXPECT_EQ(quill::get_u32le(bytes.data() + at), 0xFFFFFFFEu);
        at += 4;
    }
    EXPECT_EQ(at, bytes.size());
    int loaded = QI_FrameFileLoad(file.c_str(), QI_STORAGE_MEMORY);
    ASSERT_GE(loaded, 0);
    QI_FrameLock(loaded);
    for (int32_t i = 0; i < 6; ++i)
        EXPECT_EQ(quill::tile_is_blank(loaded, i), i != 0) << i;
    QI_FrameUnlock(loaded);
    EXPECT_TRUE(same_pixels(frame_pixels(loaded), white));
    QI_FrameDelete(loaded);
    QI_FrameDelete(frame);

    // Grey and colour: tiles never written stay never written.
    for (int32_t kind : {2, 4}) {
        int part = QI_FrameCreate(300, 200, kind, QI_STORAGE_MEMORY, nullptr, 1);
        Raster block(50, 50, kind, 0x40);
        QI_Rect rect{140, 10, 189, 59};
        QI_FrameLock(part);
        ASSERT_EQ(QI_FrameSetRect(part, &rect, block.data(), kind, -1, -1), 1);
        QI_FrameUnlock(part);
        ASSERT_EQ(QI_FrameFileSave(part, file.c_str()), 1);
        loaded = QI_FrameFileLoad(file.c_str(), QI_STORAGE_SWAP);
        ASSERT_GE(loaded, 0);
        EXPECT_TRUE(stored_records(loaded) == stored_records(part));
        QI_FrameLock(loaded);
        for (int32_t i = 0; i < 6; ++i)
            EXPECT_EQ(quill::tile_is_blank(loaded, i), i != 1) << kind << " " << i;
        Raster back(50, 50, kind, 0);
        ASSERT_EQ(QI_FrameGetRect(loaded, &rect, back.data()), 1);
        EXPECT_TRUE(same_pixels(back, block));
        QI_FrameUnlock(loaded);
        QI_FrameDelete(loaded);
        QI_FrameDelete(part);
    }
    unlink(file.c_str());
}

TEST_F(YxFileTest, BilevelRecordThatLooksLikeTheBlankMarkKeepsItsPixels) {
    // 16 x 2 pixels with one black pixel at (7, 0) as a raw record: the
    // lines FE FF / FF FF, the same bytes as the blank mark. (The coder
    // codes this tile as T.6, but raw records of any tile are valid.)
    int frame = QI_FrameCreate(16, 2, 1, QI_STORAGE_MEMORY, nullptr, 0);
    ASSERT_EQ(QI_FrameLock(frame), 1);
    const uint8_t raw[4] = {0xFE, 0xFF, 0xFF, 0xFF};
    ASSERT_TRUE(quill::tile_store_write(QI_FrameGetData(frame)->tileStore, 0, raw, 4));
    QI_FrameUnlock(frame);
    Raster r(16, 2, 1, 0xFF);
    r.set(7, 0, 0);
    ASSERT_TRUE(same_pixels(frame_pixels(frame), r));
    std::string file = path("mark.yx");
    ASSERT_EQ(QI_FrameFileSave(frame, file.c_str()), 1);
    int loaded = QI_FrameFileLoad(file.c_str(), QI_STORAGE_MEMORY);
    ASSERT_GE(loaded, 0);
    EXPECT_TRUE(same_pixels(frame_pixels(loaded), r));
    QI_FrameDelete(loaded);
    QI_FrameDelete(frame);
    unlink(file.c_str());
}

TEST_F(YxFileTest, GetInfoReadsTheHeader) {
    for (int32_t kind : {1, 2, 4}) {
        int frame = make_frame(mixed_content(131, 7, kind, 1), kind == 1 ? 0 : 1);
        std::string file = path("info.YX");
        ASSERT_EQ(QI_FrameFileSave(frame, file.c_str()), 1);
        int w = 0, h = 0;
        EXPECT_EQ(QI_FrameFileGetInfo(file.c_str(), &w, &h), kind);
        EXPECT_EQ(w, 131);
        EXPECT_EQ(h, 7);
        QI_FrameDelete(frame);
        unlink(file.c_str());
    }
    int w = -5;
    EXPECT_EQ(QI_FrameFileGetInfo(path("missing.yx").c_str(), &w, nullptr), 0);
    EXPECT_EQ(w, -5);
}

TEST_F(YxFileTest, ProgressOfLoadAndSave) {
    restart("", record_progress);
    QI_SetMessage(18, 1018);
    QI_SetMessage(19, 1019);
    int frame = make_frame(mixed_content(1300, 1000, 1, 5), 0); // 88 tiles
    std::string file = path("p.yx");
    g_progress.clear();
    ASSERT_EQ(QI_FrameFileSave(frame, file.c_str()), 1);
    EXPECT_EQ(g_progress, (std::vector<intptr_t>{0, 1019, 1, 64 * 99 / 88 + 1, 100}));
    g_progress.clear();
    int loaded = QI_FrameFileLoad(file.c_str(), QI_STORAGE_MEMORY);
    ASSERT_GE(loaded, 0);
    EXPECT_EQ(g_progress, (std::vector<intptr_t>{0, 1018, 1, 64 * 99 / 88 + 1, 100}));
    g_progress.clear();
    EXPECT_EQ(QI_FrameFileLoad(path("missing.yx").c_str(), QI_STORAGE_MEMORY), -1);
    EXPECT_EQ(g_progress, (std::vector<intptr_t>{0, 1018, 100}));
    QI_FrameDelete(loaded);
    QI_FrameDelete(frame);
    unlink(file.c_str());
}

TEST_F(YxFileTest, SaveKeepsTheFramesLockState) {
    int frame = make_frame(mixed_content(40, 40, 2, 1), 1);
    std::string file = path("lock.yx");
    ASSERT_EQ(QI_FrameFileSave(frame, file.c_str()), 1);
    EXPECT_EQ(QI_FrameGetData(frame)->locked, 0);
    QI_FrameLock(frame);
    ASSERT_EQ(QI_FrameFileSave(frame, file.c_str()), 1);
    EXPECT_EQ(QI_FrameGetData(frame)->locked, 1);
    QI_FrameUnlock(frame);
    QI_FrameDelete(frame);
    unlink(file.c_str());
}

// ---- Damaged files -----------------------------------------------------

struct Damage {
    const char *what;
    void (*apply)(std::vector<uint8_t> &file);
};

void put32(std::vector<uint8_t> &b, size_t at, uint32_t v) { quill::put_u32le(b.data() + at, v); }
void put16(std::vector<uint8_t> &b, size_t at, uint32_t v) { quill::put_u16le(b.data() + at, v); }
size_t size_at(uint32_t i) { return 75 + 2 * i; }

// Damages for a bilevel file of 200 x 130 pixels (4 tiles).
const Damage kBilevelDamage[] = {
    {"empty", [](std::vector<uint8_t> &b) { b.clear(); }},
    {"31 bytes", [](std::vector<uint8_t> &b) { b.resize(31); }},
    {"header cut", [](std::vector<uint8_t> &b) { b.resize(74); }},
    {"size table cut", [](std::vector<uint8_t> &b) { b.resize(80); }},
    {"last byte missing", [](std::vector<uint8_t> &b) { b.pop_back(); }},
    {"signature", [](std::vector<uint8_t> &b) { b[0] ^= 1; }},
    {"signature end", [](std::vector<uint8_t> &b) { b[52] = 'x'; }},
    {"version 2", [](std::vector<uint8_t> &b) { put16(b, 53, 2); }},
    {"version 0xFFFF", [](std::vector<uint8_t> &b) { put16(b, 53, 0xFFFF); }},
    {"kind 3", [](std::vector<uint8_t> &b) { put32(b, 55, 3); }},
    {"kind 0", [](std::vector<uint8_t> &b) { put32(b, 55, 0); }},
    {"width 0", [](std::vector<uint8_t> &b) { put32(b, 59, 0); }},
    {"height -1", [](std::vector<uint8_t> &b) { put32(b, 63, 0xFFFFFFFF); }},
    {"huge sides", [](std::vector<uint8_t> &b) { put32(b, 59, 0x7FFFFFFF), put32(b, 63, 0x7FFFFFFF); }},
    {"bilevel mode 1", [](std::vector<uint8_t> &b) { put32(b, 67, 1); }},
    {"N one short", [](std::vector<uint8_t> &b) { put32(b, 71, 3); }},
    {"N one more (palette on bilevel)", [](std::vector<uint8_t> &b) { put32(b, 71, 5); }},
    {"N huge", [](std::vector<uint8_t> &b) { put32(b, 71, 0xFFFFFFFF); }},
    {"width of more tiles", [](std::vector<uint8_t> &b) { put32(b, 59, 300); }},
    {"record size 0", [](std::vector<uint8_t> &b) { put16(b, size_at(0), 0); }},
    {"record size above a tile", [](std::vector<uint8_t> &b) { put16(b, size_at(1), 2049); }},
    {"record size 0xFFFF", [](std::vector<uint8_t> &b) { put16(b, size_at(3), 0xFFFF); }},
    {"sizes past the end", [](std::vector<uint8_t> &b) { put16(b, size_at(3), quill::get_u16le(&b[size_at(3)]) + 1); }},
};

// Damages for a colour file of 129 x 129 pixels (4 tiles) with a palette
// of 3 entries, mode 1.
const Damage kPaletteDamage[] = {
    {"palette on grey", [](std::vector<uint8_t> &b) { put32(b, 55, 2); }},
    {"palette in mode 2", [](std::vector<uint8_t> &b) { put32(b, 67, 2); }},
    {"mode 5", [](std::vector<uint8_t> &b) { put32(b, 67, 5); }},
    {"mode 0", [](std::vector<uint8_t> &b) { put32(b, 67, 0); }},
    {"palette count disagrees", [](std::vector<uint8_t> &b) { b[size_at(5)] = 1; }},
    {"palette record of 4 bytes", [](std::vector<uint8_t> &b) { put16(b, size_at(0), 4); }},
    {"palette record above 1025", [](std::vector<uint8_t> &b) { put16(b, size_at(0), 1029); }},
    {"palette size not 4n + 1", [](std::vector<uint8_t> &b) { put16(b, size_at(0), 14); }},
    {"record above a colour tile", [](std::vector<uint8_t> &b) { put16(b, size_at(1), 49154); }},
};

class DamagedYxTest : public YxFileTest {
protected:
    void expect_rejected(const std::vector<uint8_t> &good, const Damage &damage, bool infoFails) {
        std::vector<uint8_t> bad = good;
        damage.apply(bad);
        std::string file = path("bad.yx");
        ASSERT_TRUE(write_file(file, bad));
        int loaded = QI_FrameFileLoad(file.c_str(), QI_STORAGE_SWAP);
        EXPECT_EQ(loaded, -1) << damage.what;
        if (loaded >= 0)
            QI_FrameDelete(loaded);
        EXPECT_EQ(frame_count(), 1) << damage.what; // only the original
        if (infoFails) {
            EXPECT_EQ(QI_FrameFileGetInfo(file.c_str(), nullptr, nullptr), 0) << damage.what;
        }
        unlink(file.c_str());
    }
    std::vector<uint8_t> saved(int frame) {
        std::string file = path("good.yx");
        EXPECT_EQ(QI_FrameFileSave(frame, file.c_str()), 1);
        std::vector<uint8_t> bytes = read_file(file);
        unlink(file.c_str());
        return bytes;
    }
};

TEST_F(DamagedYxTest, DamagedFilesAreRefusedWithNothingLeft) {
    int frame = make_frame(mixed_content(200, 130, 1, 9), 0);
    std::vector<uint8_t> good = saved(frame);
    ASSERT_EQ(quill::get_u32le(good.data() + 71), 4u);
    for (const Damage &damage : kBilevelDamage) {
        std::string what = damage.what;
        // Get-info reads the header alone.
        bool headerDamage = what.find("N ") != 0 && what.find("record") == std::string::npos &&
                            what.find("sizes") == std::string::npos && what != "last byte missing" &&
                            what != "size table cut" && what != "width of more tiles";
        expect_rejected(good, damage, headerDamage);
    }
    QI_FrameDelete(frame);

    std::vector<uint8_t> palette = palette_record(3);
    frame = make_frame(palette_content(129, 129, palette), 1, &palette);
    good = saved(frame);
    ASSERT_EQ(quill::get_u32le(good.data() + 71), 5u);
    for (const Damage &damage : kPaletteDamage)
        expect_rejected(good, damage, std::string(damage.what).find("mode ") == 0);
    QI_FrameDelete(frame);
}

TEST_F(DamagedYxTest, LossyFileNeedsTheLossyTables) {
    restart(QUILL_DATA_DIR);
    int frame = make_frame(mixed_content(50, 50, 2, 2), 3);
    ASSERT_GE(frame, 0);
    std::vector<uint8_t> good = saved(frame);
    QI_FrameDelete(frame);
    restart("");
    std::string file = path("lossy.yx");
    ASSERT_TRUE(write_file(file, good));
    EXPECT_EQ(QI_FrameFileLoad(file.c_str(), QI_STORAGE_MEMORY), -1);
    EXPECT_EQ(frame_count(), 0);
    int w = 0;
    EXPECT_EQ(QI_FrameFileGetInfo(file.c_str(), &w, nullptr), 2);
    EXPECT_EQ(w, 50);
    unlink(file.c_str());
}

TEST_F(DamagedYxTest, DamagedRecordsFailWhenRead) {
    // Records are not decoded at load; reading the tile finds the damage.
    Raster r(100, 100, 1, 0xFF);
    for (int32_t i = 0; i < 100; ++i)
        r.set(i, i, 0);
    int frame = make_frame(r, 0);
    std::vector<uint8_t> bad = saved(frame);
    QI_FrameDelete(frame);
    uint32_t size = quill::get_u16le(bad.data() + 75);
    ASSERT_LT(size, r.bytes.size()) << "the test wants a T.6 coded tile";
    std::fill(bad.begin() + 77, bad.end(), 0x00);
    std::string file = path("records.yx");
    ASSERT_TRUE(write_file(file, bad));
    int loaded = QI_FrameFileLoad(file.c_str(), QI_STORAGE_MEMORY);
    ASSERT_GE(loaded, 0);
    QI_FrameLock(loaded);
    std::vector<uint8_t> rows(QI_GetLineBWi(1, 100) * 100);
    EXPECT_EQ(QI_FrameGetRect(loaded, nullptr, rows.data()), 0);
    QI_FrameUnlock(loaded);
    QI_FrameDelete(loaded);
    unlink(file.c_str());
}

TEST_F(YxFileTest, InjectedFailuresFailCleanly) {
    std::vector<uint8_t> palette = palette_record(5);
    int frame = make_frame(palette_content(300, 140, palette), 1, &palette, QI_STORAGE_SWAP);
    std::string file = path("faults.yx"), good = path("good.yx");
    ASSERT_EQ(QI_FrameFileSave(frame, good.c_str()), 1);
    using quill::FileOp;
    for (int step : {kFailAllocation, int(FileOp::Open), int(FileOp::Write)})
        fail_each_step(
            step,
            [&] {
                unlink(file.c_str());
                return QI_FrameFileSave(frame, file.c_str()) == 1;
            },
            [&](int64_t n) { EXPECT_FALSE(quill::pf_exists(file.c_str())) << step << " " << n; });
    for (int step : {kFailAllocation, int(FileOp::Open), int(FileOp::Read), int(FileOp::Write)}) {
        int loaded = -1;
        fail_each_step(
            step, [&] { return (loaded = QI_FrameFileLoad(good.c_str(), QI_STORAGE_SWAP)) >= 0; },
            [&](int64_t n) { EXPECT_EQ(frame_count(), 1) << step << " " << n; });
        EXPECT_TRUE(stored_records(loaded) == stored_records(frame));
        QI_FrameDelete(loaded);
    }
    QI_FrameDelete(frame);
    unlink(file.c_str());
    unlink(good.c_str());
}

} // namespace
