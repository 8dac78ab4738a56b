/*
 * lossy_bench.cpp - quality, size and speed of the lossy tile coding
 * (modes 2, 3 and 4, raster/codecs/tile_lossy.h) on real images.
 *
 * Images: ImageMagick's built-in samples made into the build tree by
 * bench/CMakeLists.txt (rose 70 x 46, logo 640 x 480 and wizard 480 x 640
 * in colour; granite 128 x 128 as grey), and the standard grey and colour
 * pages (grey.tif, rgb.tif, 4000 x 3000) read with libtiff. Colour images
 * are turned into the library's luminance-chrominance form (Y, U, V with
 * neutral 127, the integer formula of the colour conversions), which is
 * what colour frames hold and what the coding's per-component quantisation
 * is made for; PSNR is measured in that form. Every image is cut into
 * 128 x 128 tiles like a frame (edge tiles smaller) and each tile is coded
 * and decoded on its own.
 *
 * Quality (lossy/quality, run once; the table goes to the notes):
 *  - PSNR of modes 2, 3 and 4: of the first component (Y, or grey) and of
 *    all components together;
 *  - ceiling: the PSNR of a float reconstruction from the same 16
 *    coefficients unquantised (orthonormal DCT of each 8 x 8 block,
 *    completed at tile edges as the coder does, the 4 x 4 lowest
 *    frequencies kept, inverse in double, rounded and clamped). That is the
 *    best any table pair of this design can do; the gap to it is what the
 *    integer tables, the coefficient quantisation and the byte arithmetic
 *    of the reconstruction cost;
 *  - size: the records against the raw pixel bytes, and against the
 *    lossless mode 1 record (byte run code for grey, pixel run code for
 *    colour, packed bytes when the code reaches 6/8 of them, plus the one
 *    extra byte), both summed over the tiles.
 *
 * Speed (medians per tile, 128 x 128 tiles of the pages only, cycling
 * through all of them so that flat and busy tiles both count):
 *  - lossy/encode/<grey|colour>/mode<m> and lossy/decode/...;
 *  - baselines: memcpy of the tile's bytes (the floor) and the lossless
 *    run code of the same tile (lossy/runcode/...), the coding the lossy
 *    modes replace.
 */
#include "bench/bench_support.h"

#include "base/raster_line.h"
#include "raster/codecs/run_codes.h"
#include "raster/codecs/tile_lossy.h"
#include "raster/core/yx_tables.h"

#include <benchmark/benchmark.h>
#include <tiffio.h>

#include <ctype.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace {

struct Image {
    std::string name;
    int components = 0; // 1 grey, 3 colour (Y, U, V)
    int width = 0, height = 0;
    std::vector<uint8_t> pixels; // packed rows
    std::string error;
};

bool tables_ready() {
    return quill::lossy_available() || quill::yx_tables_load(QUILL_DATA_DIR);
}

// The library's conversion of blue-green-red to Y, U, V.
void to_yuv(uint8_t *p) {
    int r = p[0], g = p[1], b = p[2];
    p[0] = static_cast<uint8_t>((117 * b + 601 * g + 306 * r) >> 10);
    p[1] = static_cast<uint8_t>((512 * b - 339 * g - 173 * r + 130048) >> 10);
    p[2] = static_cast<uint8_t>((-83 * b - 429 * g + 512 * r + 130048) >> 10);
}

// Reads a binary PGM or PPM with maxval 255 (comments allowed).
bool read_pnm(const std::string &path, Image &image) {
    FILE *file = fopen(path.c_str(), "rb");
    if (!file)
        return false;
    auto token = [file]() {
        int ch = fgetc(file);
        while (ch == '#' || (ch != EOF && isspace(ch))) {
            if (ch == '#')
                while (ch != '\n' && ch != EOF)
                    ch = fgetc(file);
            ch = fgetc(file);
        }
        long value = 0;
        while (ch != EOF && isdigit(ch)) {
            value = value * 10 + (ch - '0');
            ch = fgetc(file);
        }
        return value;
    };
    char magic[2];
    bool ok = fread(magic, 1, 2, file) == 2 && magic[0] == 'P' && (magic[1] == '5' || magic[1] == '6');
    if (ok) {
        image.components = magic[1] == '6' ? 3 : 1;
        image.width = static_cast<int>(token());
        image.height = static_cast<int>(token());
        ok = token() == 255 && image.width > 0 && image.height > 0;
    }
    if (ok) {
        image.pixels.resize(static_cast<size_t>(image.width) * image.height * image.components);
        ok = fread(image.pixels.data(), 1, image.pixels.size(), file) == image.pixels.size();
    }
    fclose(file);
    return ok;
}

bool read_tiff(const std::string &path, Image &image) {
    TIFFSetWarningHandler(nullptr);
    TIFF *tif = TIFFOpen(path.c_str(), "r");
    if (!tif)
        return false;
    uint32_t w = 0, h = 0;
    uint16_t spp = 1, bps = 8, photometric = 0, planar = PLANARCONFIG_CONTIG;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    bool ok = bps == 8 && (spp == 1 || spp == 3) && planar == PLANARCONFIG_CONTIG && w > 0 && h > 0;
    if (ok) {
        image.components = spp;
        image.width = static_cast<int>(w);
        image.height = static_cast<int>(h);
        size_t line = static_cast<size_t>(w) * spp;
        image.pixels.resize(line * h);
        for (uint32_t y = 0; ok && y < h; ++y)
            ok = TIFFReadScanline(tif, image.pixels.data() + line * y, y, 0) == 1;
        if (ok && spp == 1 && photometric == PHOTOMETRIC_MINISWHITE)
            for (uint8_t &p : image.pixels)
                p = static_cast<uint8_t>(255 - p);
    }
    TIFFClose(tif);
    return ok;
}

const Image &image_named(const std::string &name) {
    static std::map<std::string, Image> cache;
    auto found = cache.find(name);
    if (found != cache.end())
        return found->second;
    Image &image = cache[name];
    image.name = name;
    bool ok;
    std::string path;
    if (name == "grey.tif" || name == "rgb.tif") {
        path = std::string(QUILL_BENCH_PAGES) + "/" + name;
        ok = read_tiff(path, image);
    } else {
        path = std::string(QUILL_BENCH_IMAGES) + "/" + name;
        ok = read_pnm(path, image);
    }
    if (!ok) {
        image.error = "cannot read " + path;
        image.components = 0;
        return image;
    }
    if (image.components == 3)
        for (size_t i = 0; i < image.pixels.size(); i += 3)
            to_yuv(&image.pixels[i]);
    return image;
}

// One tile of an image in the frame's line layout.
struct Tile {
    int32_t width, height;
    uint32_t line;
    int x0, y0;
    std::vector<uint8_t> bytes;
};

int32_t kind_of(const Image &image) { return image.components == 3 ? 4 : 2; }

std::vector<Tile> cut_tiles(const Image &image, bool fullOnly) {
    std::vector<Tile> tiles;
    int32_t kind = kind_of(image);
    for (int y0 = 0; y0 < image.height; y0 += 128)
        for (int x0 = 0; x0 < image.width; x0 += 128) {
            Tile t;
            t.width = std::min(128, image.width - x0);
            t.height = std::min(128, image.height - y0);
            if (fullOnly && (t.width < 128 || t.height < 128))
                continue;
            t.line = quill::raster_line_bytes(kind, t.width);
            t.x0 = x0;
            t.y0 = y0;
            t.bytes.assign(static_cast<size_t>(t.line) * t.height, 0);
            size_t rowBytes = static_cast<size_t>(t.width) * image.components;
            for (int y = 0; y < t.height; ++y)
                memcpy(&t.bytes[static_cast<size_t>(y) * t.line],
                       &image.pixels[(static_cast<size_t>(y0 + y) * image.width + x0) * image.components],
                       rowBytes);
            tiles.push_back(std::move(t));
        }
    return tiles;
}

// Orthonormal 8-point DCT basis, rows u = 0..3.
struct Basis {
    double b[4][8];
    Basis() {
        for (int u = 0; u < 4; ++u)
            for (int x = 0; x < 8; ++x)
                b[u][x] = (u == 0 ? sqrt(1.0 / 8.0) : 0.5) * cos((2 * x + 1) * u * M_PI / 16.0);
    }
};

// Squared error of the float reconstruction from the 16 lowest DCT
// coefficients, per component, over the pixels inside the tile.
void ceiling_error(const Tile &t, int components, double *sse) {
    static const Basis basis;
    for (int c = 0; c < components; ++c)
        for (int by = 0; by < t.height; by += 8)
            for (int bx = 0; bx < t.width; bx += 8) {
                double block[8][8];
                for (int y = 0; y < 8; ++y)
                    for (int x = 0; x < 8; ++x) {
                        int sx = std::min(bx + x, t.width - 1), sy = std::min(by + y, t.height - 1);
                        block[y][x] = t.bytes[static_cast<size_t>(sy) * t.line +
                                              static_cast<size_t>(sx) * components + c];
                    }
                double rows[8][4], coef[4][4];
                for (int y = 0; y < 8; ++y)
                    for (int u = 0; u < 4; ++u) {
                        rows[y][u] = 0;
                        for (int x = 0; x < 8; ++x)
                            rows[y][u] += basis.b[u][x] * block[y][x];
                    }
                for (int v = 0; v < 4; ++v)
                    for (int u = 0; u < 4; ++u) {
                        coef[v][u] = 0;
                        for (int y = 0; y < 8; ++y)
                            coef[v][u] += basis.b[v][y] * rows[y][u];
                    }
                for (int y = 0; y < 8 && by + y < t.height; ++y)
                    for (int x = 0; x < 8 && bx + x < t.width; ++x) {
                        double r = 0;
                        for (int v = 0; v < 4; ++v)
                            for (int u = 0; u < 4; ++u)
                                r += coef[v][u] * basis.b[v][y] * basis.b[u][x];
                        double p = fmin(255.0, fmax(0.0, nearbyint(r)));
                        double d = p - block[y][x];
                        sse[c] += d * d;
                    }
            }
}

// The lossless (mode 1) record length of a tile: run code, or the packed
// bytes when the code reaches 6/8 of them, plus the extra byte.
uint32_t lossless_bytes(const Tile &t, int components, std::vector<uint8_t> &scratch) {
    uint32_t packed = static_cast<uint32_t>(t.width) * t.height * components;
    scratch.resize(packed);
    quill::ItemRows rows{t.bytes.data(), t.line, t.width, t.height, static_cast<uint32_t>(components)};
    int32_t coded = quill::run_encode(rows, scratch.data(), packed / 8 * 6);
    return (coded >= 0 ? static_cast<uint32_t>(coded) : packed) + 1;
}

double psnr(double sse, double count) {
    if (sse == 0)
        return 99.0;
    return 10.0 * log10(255.0 * 255.0 * count / sse);
}

// Codes every tile of the image in every mode and leaves the table row in
// the notes. Returns an error text or "".
std::string measure_image(const std::string &name) {
    const Image &image = image_named(name);
    if (!image.error.empty())
        return image.error;
    int32_t kind = kind_of(image);
    std::vector<Tile> tiles = cut_tiles(image, false);
    double ceiling[3] = {0, 0, 0};
    double raw = 0, lossless = 0;
    std::vector<uint8_t> scratch;
    for (const Tile &t : tiles) {
        ceiling_error(t, image.components, ceiling);
        raw += static_cast<double>(t.width) * t.height * image.components;
        lossless += lossless_bytes(t, image.components, scratch);
    }
    double perComponent = static_cast<double>(image.width) * image.height;
    char line[512];
    snprintf(line, sizeof line, "%-11s %s %4dx%-4d  ceiling %5.2f dB%s", name.c_str(),
             image.components == 3 ? "colour" : "grey  ", image.width, image.height,
             psnr(ceiling[0], perComponent), image.components == 3 ? " (Y)" : "");
    std::string text = line;
    if (image.components == 3) {
        snprintf(line, sizeof line, ", %5.2f dB (Y, U, V)",
                 psnr(ceiling[0] + ceiling[1] + ceiling[2], 3 * perComponent));
        text += line;
    }
    snprintf(line, sizeof line, "; raw %.0f bytes, mode 1 %.0f bytes (%.1f %%)", raw, lossless,
             100.0 * lossless / raw);
    text += line;
    for (int mode = 2; mode <= 4; ++mode) {
        double sse[3] = {0, 0, 0}, bytes = 0;
        for (const Tile &t : tiles) {
            std::vector<uint8_t> record(quill::lossy_record_bound(kind, t.width, t.height));
            int32_t length = quill::lossy_encode(kind, mode, t.width, t.height, t.bytes.data(), t.line,
                                                 record.data(), static_cast<uint32_t>(record.size()));
            std::vector<uint8_t> out(t.bytes.size(), 0);
            if (length < 0 || !quill::lossy_decode(kind, mode, t.width, t.height, record.data(), length,
                                                   out.data(), t.line))
                return name + ": a tile failed to code";
            bytes += length;
            for (int y = 0; y < t.height; ++y)
                for (int x = 0; x < t.width; ++x)
                    for (int c = 0; c < image.components; ++c) {
                        size_t at = static_cast<size_t>(y) * t.line + static_cast<size_t>(x) * image.components + c;
                        double d = static_cast<double>(out[at]) - t.bytes[at];
                        sse[c] += d * d;
                    }
        }
        double first = psnr(sse[0], perComponent);
        snprintf(line, sizeof line, "\n    mode %d: %5.2f dB%s (%+.2f to ceiling)", mode, first,
                 image.components == 3 ? " Y" : "", first - psnr(ceiling[0], perComponent));
        text += line;
        if (image.components == 3) {
            double all = psnr(sse[0] + sse[1] + sse[2], 3 * perComponent);
            snprintf(line, sizeof line, ", %5.2f dB Y,U,V (%+.2f)", all,
                     all - psnr(ceiling[0] + ceiling[1] + ceiling[2], 3 * perComponent));
            text += line;
        }
        snprintf(line, sizeof line, "; %8.0f bytes = %5.1f %% of raw, %5.1f %% of mode 1", bytes,
                 100.0 * bytes / raw, 100.0 * bytes / lossless);
        text += line;
    }
    quill_bench::note("lossy/" + name, text);
    return "";
}

const char *const kImages[] = {"rose.ppm", "logo.ppm", "wizard.ppm", "granite.pgm", "grey.tif", "rgb.tif"};

void quality(benchmark::State &state) {
    if (!tables_ready()) {
        state.SkipWithError("the YX tables did not load from " QUILL_DATA_DIR);
        return;
    }
    std::string error;
    for (auto _ : state)
        for (const char *name : kImages) {
            std::string e = measure_image(name);
            if (!e.empty())
                error += (error.empty() ? "" : "; ") + e;
        }
    if (!error.empty())
        state.SkipWithError(error.c_str());
}

// The full tiles of a page, with their records in each mode.
struct PageTiles {
    int32_t kind = 0;
    int components = 0;
    std::vector<Tile> tiles;
    std::vector<std::vector<uint8_t>> records[5]; // by mode, 2..4
    std::vector<std::vector<uint8_t>> runCodes;
    std::string error;
};

const PageTiles &page_tiles(const std::string &name) {
    static std::map<std::string, PageTiles> cache;
    auto found = cache.find(name);
    if (found != cache.end())
        return found->second;
    PageTiles &p = cache[name];
    const Image &image = image_named(name);
    if (!image.error.empty()) {
        p.error = image.error;
        return p;
    }
    if (!tables_ready()) {
        p.error = "the YX tables did not load";
        return p;
    }
    p.kind = kind_of(image);
    p.components = image.components;
    p.tiles = cut_tiles(image, true);
    for (const Tile &t : p.tiles) {
        for (int mode = 2; mode <= 4; ++mode) {
            std::vector<uint8_t> record(quill::lossy_record_bound(p.kind, t.width, t.height));
            int32_t length = quill::lossy_encode(p.kind, mode, t.width, t.height, t.bytes.data(), t.line,
                                                 record.data(), static_cast<uint32_t>(record.size()));
            if (length < 0) {
                p.error = "a tile failed to code";
                return p;
            }
            record.resize(static_cast<size_t>(length));
            p.records[mode].push_back(std::move(record));
        }
        uint32_t packed = static_cast<uint32_t>(t.width) * t.height * p.components;
        std::vector<uint8_t> code(packed);
        quill::ItemRows rows{t.bytes.data(), t.line, t.width, t.height, static_cast<uint32_t>(p.components)};
        int32_t coded = quill::run_encode(rows, code.data(), packed);
        code.resize(coded < 0 ? 0 : static_cast<size_t>(coded));
        p.runCodes.push_back(std::move(code));
    }
    if (p.tiles.empty())
        p.error = "no full tile";
    return p;
}

const PageTiles *page_or_skip(benchmark::State &state, const char *page) {
    const PageTiles &p = page_tiles(page);
    if (!p.error.empty()) {
        state.SkipWithError(p.error.c_str());
        return nullptr;
    }
    // Another benchmark may have restarted the library without tables.
    if (!tables_ready()) {
        state.SkipWithError("the YX tables did not load");
        return nullptr;
    }
    return &p;
}

void encode_tiles(benchmark::State &state, const char *page, int mode) {
    const PageTiles *p = page_or_skip(state, page);
    if (!p)
        return;
    std::vector<uint8_t> record(quill::kLossyComponentMax * 3);
    size_t i = 0;
    for (auto _ : state) {
        const Tile &t = p->tiles[i];
        int32_t length = quill::lossy_encode(p->kind, mode, t.width, t.height, t.bytes.data(), t.line,
                                             record.data(), static_cast<uint32_t>(record.size()));
        benchmark::DoNotOptimize(length);
        i = i + 1 == p->tiles.size() ? 0 : i + 1;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 128 * 128 * p->components);
}

void decode_tiles(benchmark::State &state, const char *page, int mode) {
    const PageTiles *p = page_or_skip(state, page);
    if (!p)
        return;
    std::vector<uint8_t> out(p->tiles[0].bytes.size());
    size_t i = 0;
    bool ok = true;
    for (auto _ : state) {
        const Tile &t = p->tiles[i];
        const std::vector<uint8_t> &r = p->records[mode][i];
        ok &= quill::lossy_decode(p->kind, mode, t.width, t.height, r.data(), static_cast<int32_t>(r.size()),
                                  out.data(), t.line);
        benchmark::ClobberMemory();
        i = i + 1 == p->tiles.size() ? 0 : i + 1;
    }
    if (!ok)
        state.SkipWithError("a record failed to decode");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 128 * 128 * p->components);
}

void run_encode_tiles(benchmark::State &state, const char *page) {
    const PageTiles *p = page_or_skip(state, page);
    if (!p)
        return;
    std::vector<uint8_t> code(128 * 128 * 3);
    size_t i = 0;
    for (auto _ : state) {
        const Tile &t = p->tiles[i];
        quill::ItemRows rows{t.bytes.data(), t.line, t.width, t.height, static_cast<uint32_t>(p->components)};
        int32_t length = quill::run_encode(rows, code.data(), static_cast<uint32_t>(code.size()) / 8 * 6);
        benchmark::DoNotOptimize(length);
        i = i + 1 == p->tiles.size() ? 0 : i + 1;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 128 * 128 * p->components);
}

void run_decode_tiles(benchmark::State &state, const char *page) {
    const PageTiles *p = page_or_skip(state, page);
    if (!p)
        return;
    std::vector<uint8_t> out(128 * 128 * 3);
    size_t i = 0;
    for (auto _ : state) {
        const std::vector<uint8_t> &code = p->runCodes[i];
        uint32_t n = 128 * 128;
        // Tiles whose code reached the limit are stored packed: a copy.
        if (code.empty())
            memcpy(out.data(), p->tiles[i].bytes.data(), n * p->components);
        else
            benchmark::DoNotOptimize(quill::run_decode(code.data(), static_cast<uint32_t>(code.size()),
                                                       static_cast<uint32_t>(p->components), out.data(), n));
        benchmark::ClobberMemory();
        i = i + 1 == p->tiles.size() ? 0 : i + 1;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 128 * 128 * p->components);
}

void memcpy_tiles(benchmark::State &state, const char *page) {
    const PageTiles *p = page_or_skip(state, page);
    if (!p)
        return;
    std::vector<uint8_t> out(p->tiles[0].bytes.size());
    size_t i = 0;
    for (auto _ : state) {
        memcpy(out.data(), p->tiles[i].bytes.data(), out.size());
        benchmark::ClobberMemory();
        i = i + 1 == p->tiles.size() ? 0 : i + 1;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 128 * 128 * p->components);
}

int register_benchmarks() {
    benchmark::RegisterBenchmark("lossy/quality", quality)->Iterations(1)->Repetitions(1)->Unit(benchmark::kSecond);
    for (const char *kindName : {"grey", "colour"}) {
        const char *page = kindName[0] == 'g' ? "grey.tif" : "rgb.tif";
        std::string k = kindName;
        std::string floor = "lossy/memcpy/" + k;
        std::string runEncode = "lossy/runcode/encode/" + k, runDecode = "lossy/runcode/decode/" + k;
        benchmark::RegisterBenchmark(floor.c_str(), memcpy_tiles, page)->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(runEncode.c_str(), run_encode_tiles, page)->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(runDecode.c_str(), run_decode_tiles, page)->Unit(benchmark::kMicrosecond);
        quill_bench::compare(runEncode, floor);
        quill_bench::compare(runDecode, floor);
        for (int mode = 2; mode <= 4; ++mode) {
            std::string m = "/mode" + std::to_string(mode);
            std::string encode = "lossy/encode/" + k + m, decode = "lossy/decode/" + k + m;
            benchmark::RegisterBenchmark(encode.c_str(), encode_tiles, page, mode)->Unit(benchmark::kMicrosecond);
            benchmark::RegisterBenchmark(decode.c_str(), decode_tiles, page, mode)->Unit(benchmark::kMicrosecond);
            quill_bench::compare(encode, floor);
            quill_bench::compare(encode, runEncode);
            quill_bench::compare(decode, floor);
            quill_bench::compare(decode, runDecode);
        }
    }
    return 0;
}

const int registered = register_benchmarks();

} // namespace
