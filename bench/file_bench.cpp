/*
 * file_bench.cpp - image files: our loads and saves through the public file
 * functions against libtiff doing the same job on the same file.
 *
 * Our side is what a host calls: QI_FrameFileLoad into a frame kept in a
 * swap file (storage 2, as a host loads a large page), and QI_FrameFileSave
 * of such a frame; so our times include coding every tile and writing the
 * swap file (loads) or fetching and decoding every tile (saves), which
 * libtiff does not do. libtiff's side decodes the file into a strip buffer
 * (TIFFOpen, TIFFReadEncodedStrip for every strip, TIFFClose), or encodes
 * the page held in memory (TIFFOpen, tags, TIFFWriteEncodedStrip, TIFFClose).
 * Both sides open, read or write and close real files in the run's
 * temporary directory; the frames made by a timed load are deleted outside
 * the timing.
 *
 *  - tiff/g4/load/quill, .../quill-memory, .../libtiff: page-g4.tif of the
 *    standard pages (13244 x 9356 bilevel, one Group 4 strip written by
 *    ghostscript); quill-memory loads into a memory frame, for the cost of
 *    the swap file; quill-rows loads into a swap frame by the row path that
 *    CCITT strips took before the run-list load (decoded rows gathered and
 *    written as pixels, every tile scanned again for its runs).
 *  - tiff/g4/save/quill, .../libtiff: the page back to a Group 4 TIFF (ours
 *    from the swap frame loaded once at setup; libtiff from the page's rows
 *    as it decoded them, one strip, as we write it).
 *  - tiff/grey/<c>/load/..., tiff/rgb/<c>/load/...: the 4000 x 3000 grey
 *    and RGB pages (ghostscript's, uncompressed, 2 and 1 rows a strip) and
 *    copies made at setup by libtiff with LZW (no predictor: we do not undo
 *    one) and with PackBits, in strips of libtiff's default size (about
 *    8 KB, as tiffcp makes them).
 *  - tiff/g4/frame-only, tiff/grey/frame-only, tiff/rgb/frame-only: the
 *    floor under our row-path loads, the page's rows already decoded (and
 *    colour already converted) put into a new swap frame 128 rows at a
 *    time, as the row path puts them; a load's time beyond this is reading
 *    and decoding. The G4 load codes tiles from run lists and never makes
 *    these rows, so it may take less than its "floor".
 * Rates are megabytes of raw pixels (the rows as libtiff decodes them).
 * Each of our loads and saves is compared with libtiff on the same job, and
 * each load with its floor; a ratio above 1 means we take longer.
 *
 * Checks, outside the timing (a failed check fails the benchmarks of that
 * file): every file loads in ours equal to libtiff's decoding pixel for
 * pixel (colour after taking libtiff's R,G,B through the library's own
 * B,G,R -> Y,U,V conversion); libtiff reads our Group 4 file as the page;
 * the notes give the file sizes.
 */
#include "bench/bench_support.h"

#include "quillimg.h"
#include "raster/core/run_tiles.h"

#include <benchmark/benchmark.h>
#include <tiffio.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

std::string page_file(const char *name) { return std::string(QUILL_BENCH_PAGES) + "/" + name; }

std::string temporary_file(const std::string &name) { return quill_bench::swap_directory() + "/" + name; }

long long file_size(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

// ---- libtiff ------------------------------------------------------------------

struct TiffImage {
    uint32_t width = 0, height = 0;
    uint16_t samples = 0, bits = 0, photometric = 0;
    size_t rowBytes = 0;
    std::vector<uint8_t> rows; // as libtiff decodes them, rows back to back
};

// Decodes the whole image, strip by strip, into `image.rows`; false when
// libtiff cannot.
bool tiff_decode(const std::string &path, TiffImage &image) {
    TIFF *t = TIFFOpen(path.c_str(), "r");
    if (!t)
        return false;
    bool ok = TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &image.width) && TIFFGetField(t, TIFFTAG_IMAGELENGTH, &image.height);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &image.samples);
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &image.bits);
    TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &image.photometric);
    image.rowBytes = static_cast<size_t>(TIFFScanlineSize(t));
    image.rows.assign(image.rowBytes * image.height, 0);
    size_t at = 0;
    for (tstrip_t s = 0; ok && s < TIFFNumberOfStrips(t); ++s) {
        tmsize_t n = TIFFReadEncodedStrip(t, s, image.rows.data() + at, static_cast<tmsize_t>(image.rows.size() - at));
        ok = n >= 0;
        at += ok ? static_cast<size_t>(n) : 0;
    }
    TIFFClose(t);
    return ok && at == image.rows.size();
}

// The timed peer of our loads: decode every strip into one strip buffer.
bool tiff_read_strips(const std::string &path, std::vector<uint8_t> &strip) {
    TIFF *t = TIFFOpen(path.c_str(), "r");
    if (!t)
        return false;
    size_t size = static_cast<size_t>(TIFFStripSize(t));
    if (strip.size() < size)
        strip.resize(size);
    bool ok = true;
    for (tstrip_t s = 0; ok && s < TIFFNumberOfStrips(t); ++s)
        ok = TIFFReadEncodedStrip(t, s, strip.data(), static_cast<tmsize_t>(size)) >= 0;
    TIFFClose(t);
    return ok;
}

// Writes `image` to `path` with `compression`, in strips of `rowsPerStrip`
// (0: libtiff's default strip size).
bool tiff_write(const std::string &path, const TiffImage &image, uint16_t compression, uint32_t rowsPerStrip) {
    TIFF *t = TIFFOpen(path.c_str(), "w");
    if (!t)
        return false;
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, image.width);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, image.height);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, image.bits);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, image.samples);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, image.photometric);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, compression);
    if (compression == COMPRESSION_CCITTFAX4)
        TIFFSetField(t, TIFFTAG_FILLORDER, FILLORDER_MSB2LSB);
    uint32_t rows = rowsPerStrip ? rowsPerStrip : TIFFDefaultStripSize(t, 0);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rows);
    bool ok = true;
    for (uint32_t y = 0, s = 0; ok && y < image.height; y += rows, ++s) {
        uint32_t n = std::min(rows, image.height - y);
        ok = TIFFWriteEncodedStrip(t, s, const_cast<uint8_t *>(image.rows.data() + y * image.rowBytes),
                                   static_cast<tmsize_t>(n * image.rowBytes)) >= 0;
    }
    TIFFClose(t);
    return ok;
}

// ---- Our frames against libtiff's rows -------------------------------------------

// Frames are read back a tile row at a time.
constexpr uint32_t kBandRows = 128;

int32_t kind_of(const TiffImage &image) { return image.samples == 3 ? 4 : image.bits == 1 ? 1 : 2; }

// Rows first to first + n - 1 of libtiff's decoding in our form (white is
// 1 in bilevel rows, 255 in grey ones, whatever the file's photometric
// says), R,G,B taken to Y,U,V with our own conversion.
void to_our_rows(const TiffImage &image, uint32_t first, uint32_t n, uint8_t *out) {
    int32_t kind = kind_of(image), width = static_cast<int32_t>(image.width);
    uint32_t line = QI_GetLineBWi(kind, width);
    bool whiteIsZero = image.photometric == PHOTOMETRIC_MINISWHITE;
    for (uint32_t y = 0; y < n; ++y) {
        const uint8_t *src = image.rows.data() + (first + y) * image.rowBytes;
        uint8_t *row = out + static_cast<size_t>(y) * line;
        memset(row, 0xFF, line);
        if (kind == 4) {
            for (int32_t x = 0; x < width; ++x) { // R,G,B to B,G,R
                row[3 * x] = src[3 * x + 2];
                row[3 * x + 1] = src[3 * x + 1];
                row[3 * x + 2] = src[3 * x];
            }
        } else if (whiteIsZero) {
            for (size_t i = 0; i < image.rowBytes; ++i)
                row[i] = static_cast<uint8_t>(~src[i]);
            if (kind == 1 && width % 8) // the pad bits of the last byte stay white
                row[image.rowBytes - 1] |= static_cast<uint8_t>(0xFFu >> (width % 8));
        } else {
            memcpy(row, src, image.rowBytes);
        }
    }
    if (kind == 4)
        QI_DmriBGRtoYUV(out, width, static_cast<int32_t>(n));
}

// Pixels of `frame` that differ from libtiff's decoding of the same file
// (taken to our form by to_our_rows); -1 when the frame is of another size
// or kind or cannot be read.
int64_t frame_differs(int32_t frame, const TiffImage &image) {
    const QI_FrameRecord *f = QI_FrameGetData(frame);
    int32_t kind = kind_of(image);
    if (!f || f->width != static_cast<int32_t>(image.width) || f->height != static_cast<int32_t>(image.height) ||
        f->kind != kind)
        return -1;
    int32_t width = f->width;
    uint32_t line = QI_GetLineBWi(kind, width);
    std::vector<uint8_t> ours(static_cast<size_t>(line) * kBandRows), theirs(ours.size());
    int64_t wrong = 0;
    if (!QI_FrameLock(frame))
        return -1;
    for (uint32_t top = 0; top < image.height; top += kBandRows) {
        uint32_t n = std::min(kBandRows, image.height - top);
        QI_Rect band = {0, static_cast<int32_t>(top), width - 1, static_cast<int32_t>(top + n - 1)};
        if (!QI_FrameGetRect(frame, &band, ours.data())) {
            wrong = -1;
            break;
        }
        to_our_rows(image, top, n, theirs.data());
        for (uint32_t y = 0; y < n; ++y) {
            const uint8_t *a = ours.data() + static_cast<size_t>(y) * line, *b = theirs.data() + static_cast<size_t>(y) * line;
            for (int32_t x = 0; x < width; ++x) {
                if (kind == 1)
                    wrong += (a[x >> 3] ^ b[x >> 3]) >> (7 - (x & 7)) & 1;
                else if (kind == 2)
                    wrong += a[x] != b[x];
                else
                    wrong += memcmp(a + 3 * x, b + 3 * x, 3) != 0;
            }
        }
    }
    QI_FrameUnlock(frame);
    return wrong;
}

// ---- The fixture ----------------------------------------------------------------

// A file our loads and libtiff's reads are timed on.
struct Source {
    const char *name;  // benchmark name part: "g4", "grey/lzw", ...
    std::string path;
    int64_t rawBytes = 0;
    const char *error = nullptr; // its check failed
};

// A page as our frames take it: rows of QI_GetLineBWi(kind, width) bytes.
struct Raster {
    const char *name; // "g4", "grey", "rgb"
    int32_t kind = 0, width = 0, height = 0;
    std::vector<uint8_t> rows;
};

struct Fixture {
    const char *error = nullptr;
    std::vector<Source> sources;
    std::vector<Raster> rasters;
    TiffImage page;                  // page-g4.tif as libtiff decodes it
    int32_t pageFrame = -1;          // the page loaded once, for the save benchmarks
    const char *saveError = nullptr; // our saved page failed its check
};

// Loads the source in ours and compares with libtiff's decoding of it; a
// failure is kept in the source's `error`, else its size becomes a note.
void check_source(Source &s, const TiffImage &image) {
    s.rawBytes = static_cast<int64_t>(image.rows.size());
    int32_t frame = QI_FrameFileLoad(s.path.c_str(), QI_STORAGE_SWAP);
    if (frame < 0) {
        s.error = "our load of the file failed";
        return;
    }
    int64_t wrong = frame_differs(frame, image);
    QI_FrameDelete(frame);
    if (wrong != 0) {
        s.error = "our load differs from libtiff's decoding";
        return;
    }
    char line[200];
    snprintf(line, sizeof line, "tiff: %-14s %lld bytes (%lld bytes of raw pixels)", s.name, file_size(s.path),
             static_cast<long long>(s.rawBytes));
    quill_bench::note(std::string("tiff/size/") + s.name, line);
}

Source *find_source(Fixture &fx, const std::string &name) {
    for (Source &s : fx.sources)
        if (name == s.name)
            return &s;
    return nullptr;
}

void keep_raster(Fixture &fx, const char *name, const TiffImage &image) {
    Raster r;
    r.name = name;
    r.kind = kind_of(image);
    r.width = static_cast<int32_t>(image.width);
    r.height = static_cast<int32_t>(image.height);
    r.rows.resize(static_cast<size_t>(QI_GetLineBWi(r.kind, r.width)) * image.height);
    to_our_rows(image, 0, image.height, r.rows.data());
    fx.rasters.push_back(std::move(r));
}

// The grey and RGB pages, and their LZW and PackBits copies made by libtiff.
const char *add_picture(Fixture &fx, const char *page, const char *kind) {
    TiffImage image;
    if (!tiff_decode(page_file(page), image))
        return "libtiff cannot read the grey or RGB page: make bench_pages";
    const struct {
        const char *suffix;
        uint16_t compression; // 0: the page itself
    } copies[] = {{"none", 0}, {"lzw", COMPRESSION_LZW}, {"packbits", COMPRESSION_PACKBITS}};
    for (const auto &c : copies) {
        Source *s = find_source(fx, std::string(kind) + "/" + c.suffix);
        s->path = c.compression ? temporary_file(std::string(kind) + "-" + c.suffix + ".tif") : page_file(page);
        if (c.compression && !tiff_write(s->path, image, c.compression, 0))
            s->error = "libtiff could not write the compressed copy";
        else
            check_source(*s, image);
    }
    keep_raster(fx, kind, image);
    return nullptr;
}

const char *add_page(Fixture &fx) {
    if (!tiff_decode(page_file("page-g4.tif"), fx.page) || fx.page.bits != 1)
        return "libtiff cannot read page-g4.tif: make bench_pages";
    Source &g4 = fx.sources[0];
    g4.path = page_file("page-g4.tif");
    check_source(g4, fx.page);
    keep_raster(fx, "g4", fx.page);
    fx.pageFrame = QI_FrameFileLoad(g4.path.c_str(), QI_STORAGE_SWAP);
    if (fx.pageFrame < 0) {
        fx.saveError = "our load of page-g4.tif failed";
        return nullptr;
    }
    // Our Group 4 file must read back in libtiff as the page.
    std::string ours = temporary_file("ours-g4.tif");
    TiffImage back;
    if (!QI_FrameFileSave(fx.pageFrame, ours.c_str()) || !tiff_decode(ours, back) || back.rows != fx.page.rows)
        fx.saveError = "libtiff does not read our Group 4 file as the page";
    std::string peer = temporary_file("libtiff-g4.tif");
    if (tiff_write(peer, fx.page, COMPRESSION_CCITTFAX4, fx.page.height)) {
        char line[200];
        snprintf(line, sizeof line, "tiff: page-g4.tif saved: ours %lld bytes, libtiff's %lld bytes (both one strip)",
                 file_size(ours), file_size(peer));
        quill_bench::note("tiff/size/g4-saved", line);
    }
    unlink(ours.c_str());
    unlink(peer.c_str());
    return nullptr;
}

const char *build_fixture(Fixture &fx) {
    if (!quill_bench::start_library())
        return "the library did not start";
    TIFFSetWarningHandler(nullptr);
    for (const char *name : {"g4", "grey/none", "grey/lzw", "grey/packbits", "rgb/none", "rgb/lzw", "rgb/packbits"}) {
        Source s;
        s.name = name;
        fx.sources.push_back(s);
    }
    if (const char *e = add_page(fx))
        return e;
    if (const char *e = add_picture(fx, "grey.tif", "grey"))
        return e;
    return add_picture(fx, "rgb.tif", "rgb");
}

Fixture &fixture() { return quill_bench::lazy_fixture<Fixture, build_fixture>(); }

// The source named, or null after marking the benchmark skipped.
const Source *ready(benchmark::State &state, const char *name) {
    Fixture *fx = quill_bench::ready_or_skip(state, fixture());
    if (!fx)
        return nullptr;
    for (const Source &s : fx->sources) {
        if (strcmp(s.name, name) != 0)
            continue;
        if (s.error) {
            state.SkipWithError(s.error);
            return nullptr;
        }
        return &s;
    }
    state.SkipWithError("no such file");
    return nullptr;
}

// ---- Benchmarks ------------------------------------------------------------------

// rows: the row path (decoded rows gathered 128 at a time and written as
// pixels), which CCITT strips took before they went from run lists
// straight into coded tiles; the test hook switches the run-list path off.
void load_quill(benchmark::State &state, const char *name, int storage, bool rows = false) {
    const Source *s = ready(state, name);
    if (!s)
        return;
    qi_test_run_paths(rows ? 0 : 1);
    bool ok = true;
    for (auto _ : state) {
        int32_t frame = QI_FrameFileLoad(s->path.c_str(), storage);
        ok = ok && frame >= 0;
        state.PauseTiming();
        QI_FrameDelete(frame);
        state.ResumeTiming();
    }
    qi_test_run_paths(1);
    if (!ok)
        state.SkipWithError("a load failed");
    state.SetBytesProcessed(state.iterations() * s->rawBytes);
}

void load_libtiff(benchmark::State &state, const char *name) {
    const Source *s = ready(state, name);
    if (!s)
        return;
    std::vector<uint8_t> strip;
    bool ok = true;
    for (auto _ : state) {
        ok = tiff_read_strips(s->path, strip) && ok;
        benchmark::ClobberMemory();
    }
    if (!ok)
        state.SkipWithError("libtiff failed to read the file");
    state.SetBytesProcessed(state.iterations() * s->rawBytes);
}

// The floor under our loads: the page's rows, already decoded and in our
// form, put into a new swap frame a tile row at a time as the line protocol
// puts them; what a load costs beyond this is reading and decoding the file.
void frame_only(benchmark::State &state, const char *raster, const char *source) {
    const Source *s = ready(state, source);
    if (!s)
        return;
    const Raster *r = nullptr;
    for (const Raster &known : fixture().rasters)
        if (strcmp(known.name, raster) == 0)
            r = &known;
    if (!r) {
        state.SkipWithError("no such page");
        return;
    }
    uint32_t line = QI_GetLineBWi(r->kind, r->width);
    bool ok = true;
    for (auto _ : state) {
        int32_t frame = QI_FrameCreate(r->width, r->height, r->kind, QI_STORAGE_SWAP, nullptr, 0);
        ok = ok && frame >= 0 && QI_FrameLock(frame) == 1;
        for (int32_t top = 0; ok && top < r->height; top += static_cast<int32_t>(kBandRows)) {
            QI_Rect band = {0, top, r->width - 1, std::min(r->height, top + static_cast<int32_t>(kBandRows)) - 1};
            ok = QI_FrameSetRect(frame, &band, r->rows.data() + static_cast<size_t>(top) * line, r->kind, -1, -1) == 1;
        }
        QI_FrameUnlock(frame);
        state.PauseTiming();
        QI_FrameDelete(frame);
        state.ResumeTiming();
    }
    if (!ok)
        state.SkipWithError("building the frame failed");
    state.SetBytesProcessed(state.iterations() * s->rawBytes);
}

void save_quill(benchmark::State &state) {
    const Source *s = ready(state, "g4");
    if (!s)
        return;
    if (fixture().saveError) {
        state.SkipWithError(fixture().saveError);
        return;
    }
    std::string path = temporary_file("save-quill.tif");
    bool ok = true;
    for (auto _ : state)
        ok = QI_FrameFileSave(fixture().pageFrame, path.c_str()) == 1 && ok;
    if (!ok)
        state.SkipWithError("a save failed");
    unlink(path.c_str());
    state.SetBytesProcessed(state.iterations() * s->rawBytes);
}

void save_libtiff(benchmark::State &state) {
    const Source *s = ready(state, "g4");
    if (!s)
        return;
    const TiffImage &page = fixture().page;
    std::string path = temporary_file("save-libtiff.tif");
    bool ok = true;
    for (auto _ : state)
        ok = tiff_write(path, page, COMPRESSION_CCITTFAX4, page.height) && ok;
    if (!ok)
        state.SkipWithError("libtiff failed to write the page");
    unlink(path.c_str());
    state.SetBytesProcessed(state.iterations() * s->rawBytes);
}

int register_benchmarks() {
    auto add = [](const std::string &name, auto function) {
        benchmark::RegisterBenchmark(name.c_str(), function)->Unit(benchmark::kMillisecond)->UseRealTime();
    };
    add("tiff/g4/load/libtiff", [](benchmark::State &s) { load_libtiff(s, "g4"); });
    add("tiff/g4/load/quill", [](benchmark::State &s) { load_quill(s, "g4", QI_STORAGE_SWAP); });
    add("tiff/g4/load/quill-memory", [](benchmark::State &s) { load_quill(s, "g4", QI_STORAGE_MEMORY); });
    add("tiff/g4/load/quill-rows", [](benchmark::State &s) { load_quill(s, "g4", QI_STORAGE_SWAP, true); });
    add("tiff/g4/frame-only", [](benchmark::State &s) { frame_only(s, "g4", "g4"); });
    add("tiff/g4/save/libtiff", save_libtiff);
    add("tiff/g4/save/quill", save_quill);
    quill_bench::compare("tiff/g4/load/quill", "tiff/g4/load/libtiff");
    quill_bench::compare("tiff/g4/load/quill", "tiff/g4/frame-only");
    quill_bench::compare("tiff/g4/load/quill-memory", "tiff/g4/load/libtiff");
    quill_bench::compare("tiff/g4/load/quill-rows", "tiff/g4/load/libtiff");
    quill_bench::note("tiff/goal", "tiff: goal: tiff/g4/load/quill at most 1.30 x tiff/g4/load/libtiff");
    quill_bench::compare("tiff/g4/save/quill", "tiff/g4/save/libtiff");
    static const char *const kPictures[] = {"grey/none", "grey/lzw", "grey/packbits",
                                            "rgb/none",  "rgb/lzw",  "rgb/packbits"};
    for (const char *raster : {"grey", "rgb"}) {
        std::string source = std::string(raster) + "/none";
        add(std::string("tiff/") + raster + "/frame-only",
            [raster, source](benchmark::State &s) { frame_only(s, raster, source.c_str()); });
    }
    for (const char *picture : kPictures) {
        std::string base = std::string("tiff/") + picture + "/load/";
        std::string floor = std::string("tiff/") + (picture[0] == 'g' ? "grey" : "rgb") + "/frame-only";
        add(base + "libtiff", [picture](benchmark::State &s) { load_libtiff(s, picture); });
        add(base + "quill", [picture](benchmark::State &s) { load_quill(s, picture, QI_STORAGE_SWAP); });
        quill_bench::compare(base + "quill", base + "libtiff");
        quill_bench::compare(base + "quill", floor);
    }
    return 0;
}

const int registered = register_benchmarks();

} // namespace
