/*
 * tile_store_bench.cpp - writing and reading back every tile of a large
 * bilevel frame, with the tiles in memory and in a swap file, against
 * memcpy of the same bytes.
 *
 * The frame is 20000 x 20000 bilevel pixels (a sheet 1.27 m square at
 * 400 dpi, larger than A0): 157 x 157 = 24649 tiles of 128 x 128 pixels, 2048 bytes
 * each, the last column and row 32 pixels wide and high; 50,000,000 bytes
 * of pixels in all.
 *
 * One iteration of each benchmark:
 *  - tiles/write/<storage>: lock a new frame, copy each tile into the front
 *    of the work buffer and put it (code it and store its record), unlock
 *    (a memory store is compacted and trimmed, a swap file trimmed and
 *    closed). Creating and deleting the frame are not timed.
 *  - tiles/read/<storage>: lock the written frame, get each tile (read its
 *    record and decode it into the work buffer) and copy it out, unlock.
 *    Locking a memory frame rebuilds its directory by walking the records;
 *    a swap frame keeps its directory and only reopens its file.
 *  - memcpy/50MB: one memcpy of the same 50,000,000 bytes between two
 *    buffers that are already faulted in: the floor for all four.
 * The copies into and out of the work buffer belong to the timed work: they
 * are what a rectangle write or read does around put tile and get tile.
 *
 * Two more references say where the time above the floor goes:
 *  - memcpy/50MB/fresh-pages: the same memcpy into a new anonymous mapping,
 *    so the kernel's page faults are paid as they are by a new memory frame,
 *    whose 64 KB chunks come from the process heap, which hands freed
 *    memory back to the system (measured: about 10,000 minor faults per
 *    write of the 12,200 pages).
 *  - file/write/50MB and file/read/50MB: the same bytes written to a new
 *    file in the swap directory and read back, in 64 KB pieces with
 *    pwrite and pread (open and close timed, as lock and unlock are): the
 *    file system's own rate, without anything per tile.
 *
 * Content: a drawing-like page made from a fixed-seed generator (frame
 * border, walls, thin diagonal lines, circles, text-like marks, sparse
 * speckle), with one more speckle in any tile that would otherwise stay
 * white. An all-white bilevel tile is stored as a mark without a record, so
 * a white page would measure nothing but the white test; here every tile
 * gets a record, and the benchmark checks that it did.
 *
 * Checks, outside the timing (a failed check fails the benchmark and the
 * run): after writing, every tile has a record; the pixels read back equal
 * the page byte for byte (the read destination is cleared first, because
 * the memcpy benchmark leaves the page in it).
 *
 * Swap files go to a temporary directory under $TMPDIR (else /tmp). Nothing
 * forces them to disk, so the swap figures are those of the system's file
 * cache, which is what the library's users get for frames that fit in
 * memory. Set TMPDIR to measure another file system.
 */
#include "bench/bench_support.h"

#include "quillimg.h"
#include "raster/core/tiles.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int32_t kSide = 20000;
constexpr int32_t kStorageMemory = 1;
constexpr int32_t kStorageSwap = 2;
const char *const kMemcpy = "memcpy/50MB";
const char *const kMemcpyFresh = "memcpy/50MB/fresh-pages";
const char *const kFileWrite = "file/write/50MB";
const char *const kFileRead = "file/read/50MB";
constexpr size_t kFilePiece = 65536;

// splitmix64: a fixed seed gives the same page with every compiler and
// standard library (std:: distributions differ between libraries).
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, n).
    int32_t below(int32_t n) {
        return static_cast<int32_t>(((next() >> 32) * static_cast<uint64_t>(n)) >> 32);
    }
    int32_t between(int32_t lo, int32_t hi) { return lo + below(hi - lo + 1); }

private:
    uint64_t state_;
};

// A bilevel page kept as its tiles in index order, each tile in the line
// layout that put tile takes (lines of QI_GetLineBWi(1, tile width) bytes),
// so that a tile is one contiguous block to copy into the work buffer.
class TiledPage {
public:
    TiledPage(int32_t width, int32_t height) {
        geometry_ = QI_FrameRecord{};
        geometry_.width = width;
        geometry_.height = height;
        geometry_.kind = 1;
        columns_ = quill::tile_columns(geometry_);
        int32_t count = static_cast<int32_t>(quill::tile_count(geometry_));
        offset_.resize(static_cast<size_t>(count));
        size_.resize(static_cast<size_t>(count));
        line_.resize(static_cast<size_t>(count));
        size_t total = 0;
        for (int32_t i = 0; i < count; ++i) {
            int32_t w, h;
            quill::tile_extent(geometry_, i, w, h);
            line_[i] = QI_GetLineBWi(1, w);
            size_[i] = line_[i] * static_cast<uint32_t>(h);
            offset_[i] = total;
            total += size_[i];
        }
        bytes_.assign(total, 0xFF);
    }

    int32_t width() const { return geometry_.width; }
    int32_t height() const { return geometry_.height; }
    int32_t tiles() const { return static_cast<int32_t>(size_.size()); }
    const uint8_t *tile(int32_t i) const { return bytes_.data() + offset_[i]; }
    uint32_t tile_size(int32_t i) const { return size_[i]; }
    size_t tile_offset(int32_t i) const { return offset_[i]; }
    const uint8_t *data() const { return bytes_.data(); }
    size_t bytes() const { return bytes_.size(); }

    void black(int32_t x, int32_t y) {
        if (x < 0 || y < 0 || x >= geometry_.width || y >= geometry_.height)
            return;
        int32_t i = (y / quill::kTileSide) * columns_ + x / quill::kTileSide;
        uint8_t *row = bytes_.data() + offset_[i] + (y % quill::kTileSide) * line_[i];
        int32_t tx = x % quill::kTileSide;
        row[tx >> 3] = static_cast<uint8_t>(row[tx >> 3] & ~(0x80u >> (tx & 7)));
    }

    // Inclusive corners.
    void fill(int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
        for (int32_t y = y0; y <= y1; ++y)
            for (int32_t x = x0; x <= x1; ++x)
                black(x, y);
    }

    // A straight line drawn with a square pen of `pen` pixels.
    void line(int32_t x0, int32_t y0, int32_t x1, int32_t y1, int32_t pen) {
        int32_t dx = x1 > x0 ? x1 - x0 : x0 - x1, sx = x0 < x1 ? 1 : -1;
        int32_t dy = y1 > y0 ? y0 - y1 : y1 - y0, sy = y0 < y1 ? 1 : -1;
        int32_t err = dx + dy;
        for (;;) {
            fill(x0, y0, x0 + pen - 1, y0 + pen - 1);
            if (x0 == x1 && y0 == y1)
                break;
            int32_t e2 = 2 * err;
            if (e2 >= dy) {
                err += dy;
                x0 += sx;
            }
            if (e2 <= dx) {
                err += dx;
                y0 += sy;
            }
        }
    }

    // A circle outline `pen` pixels wide (midpoint circles, one per radius).
    void circle(int32_t cx, int32_t cy, int32_t radius, int32_t pen) {
        for (int32_t r = radius; r > radius - pen && r > 0; --r) {
            int32_t x = r, y = 0, err = 1 - r;
            while (x >= y) {
                const int32_t px[8] = {x, y, -y, -x, -x, -y, y, x};
                const int32_t py[8] = {y, x, x, y, -y, -x, -x, -y};
                for (int k = 0; k < 8; ++k)
                    black(cx + px[k], cy + py[k]);
                ++y;
                if (err < 0) {
                    err += 2 * y + 1;
                } else {
                    --x;
                    err += 2 * (y - x) + 1;
                }
            }
        }
    }

    bool tile_has_black(int32_t i) const {
        const uint8_t *t = tile(i);
        for (uint32_t k = 0; k < size_[i]; ++k)
            if (t[k] != 0xFF)
                return true;
        return false;
    }

    // Black pixels (no pad bits: every tile width here is a multiple of 16).
    int64_t black_pixels() const {
        int64_t count = 0;
        for (uint8_t b : bytes_)
            count += __builtin_popcount(static_cast<unsigned>(static_cast<uint8_t>(~b)));
        return count;
    }

private:
    QI_FrameRecord geometry_;
    int32_t columns_ = 0;
    std::vector<size_t> offset_;
    std::vector<uint32_t> size_;
    std::vector<uint32_t> line_;
    std::vector<uint8_t> bytes_;
};

TiledPage make_page() {
    TiledPage page(kSide, kSide);
    Random random(20000);
    const int32_t w = page.width(), h = page.height();
    // Sheet border.
    const int32_t m = 150, t = 12;
    page.fill(m, m, w - 1 - m, m + t - 1);
    page.fill(m, h - m - t, w - 1 - m, h - 1 - m);
    page.fill(m, m, m + t - 1, h - 1 - m);
    page.fill(w - m - t, m, w - 1 - m, h - 1 - m);
    // Walls: thick axis-parallel strokes.
    for (int k = 0; k < 400; ++k) {
        int32_t x = random.below(w), y = random.below(h);
        int32_t length = random.between(300, 6000), pen = random.between(2, 10);
        if (random.below(2))
            page.fill(x, y, x + length, y + pen - 1);
        else
            page.fill(x, y, x + pen - 1, y + length);
    }
    // Thin lines in any direction (hatching, dimension lines).
    for (int k = 0; k < 300; ++k) {
        int32_t x = random.below(w), y = random.below(h);
        page.line(x, y, x + random.between(-4000, 4000), y + random.between(-4000, 4000),
                  random.between(1, 2));
    }
    for (int k = 0; k < 150; ++k)
        page.circle(random.below(w), random.below(h), random.between(20, 800), random.between(1, 4));
    // Text: words of 20 x 30 pixel characters, each a few short strokes.
    for (int k = 0; k < 3000; ++k) {
        int32_t x = random.below(w), y = random.below(h);
        int32_t letters = random.between(3, 10);
        for (int32_t c = 0; c < letters; ++c, x += 24) {
            for (int s = random.between(2, 4); s > 0; --s) {
                int32_t sx = x + random.below(18), sy = y + random.below(28);
                if (random.below(2))
                    page.fill(sx, sy, sx + random.between(3, 16), sy + 2);
                else
                    page.fill(sx, sy, sx + 2, sy + random.between(3, 26));
            }
        }
    }
    // Speckle: about one pixel in 5000.
    for (int64_t k = 0; k < static_cast<int64_t>(w) * h / 5000; ++k)
        page.black(random.below(w), random.below(h));
    // No tile may stay white (it would be stored without a record).
    for (int32_t i = 0; i < page.tiles(); ++i) {
        if (page.tile_has_black(i))
            continue;
        int32_t columns = (w + quill::kTileSide - 1) / quill::kTileSide;
        int32_t x = (i % columns) * quill::kTileSide, y = (i / columns) * quill::kTileSide;
        int32_t tw = w - x < quill::kTileSide ? w - x : quill::kTileSide;
        int32_t th = h - y < quill::kTileSide ? h - y : quill::kTileSide;
        page.black(x + random.below(tw), y + random.below(th));
    }
    return page;
}

const TiledPage &page() {
    static const TiledPage instance = [] {
        TiledPage p = make_page();
        char line[160];
        snprintf(line, sizeof line,
                 "page: %d x %d bilevel, %d tiles, %zu bytes of pixels, %.2f%% black",
                 p.width(), p.height(), p.tiles(), p.bytes(),
                 100.0 * static_cast<double>(p.black_pixels()) /
                     (static_cast<double>(p.width()) * p.height()));
        quill_bench::note("page", line);
        return p;
    }();
    return instance;
}

// Where reads and the memcpy floor copy to; value-initialised, so its pages
// are faulted in before any timing.
std::vector<uint8_t> &destination() {
    static std::vector<uint8_t> buffer(page().bytes(), 0);
    return buffer;
}

const char *storage_name(int32_t storage) { return storage == kStorageSwap ? "swap" : "memory"; }

// Writes every tile of the page into the (unlocked) frame, locking and
// unlocking it around the tiles.
bool write_tiles(int frame, const TiledPage &p) {
    if (!QI_FrameLock(frame))
        return false;
    uint8_t *work = QI_FrameGetData(frame)->workBuffer;
    for (int32_t i = 0; i < p.tiles(); ++i) {
        memcpy(work, p.tile(i), p.tile_size(i));
        if (!quill::put_tile(frame, i)) {
            QI_FrameUnlock(frame);
            return false;
        }
    }
    return QI_FrameUnlock(frame) == 1;
}

// Reads every tile of the frame into `out`, in the page's layout.
bool read_tiles(int frame, const TiledPage &p, uint8_t *out) {
    if (!QI_FrameLock(frame))
        return false;
    const uint8_t *work = QI_FrameGetData(frame)->workBuffer;
    for (int32_t i = 0; i < p.tiles(); ++i) {
        if (!quill::get_tile(frame, i)) {
            QI_FrameUnlock(frame);
            return false;
        }
        memcpy(out + p.tile_offset(i), work, p.tile_size(i));
    }
    return QI_FrameUnlock(frame) == 1;
}

// Tiles of the frame that have no record; -1 when the frame cannot be locked.
int32_t blank_tiles(int frame, const TiledPage &p) {
    if (!QI_FrameLock(frame))
        return -1;
    int32_t blank = 0;
    for (int32_t i = 0; i < p.tiles(); ++i)
        blank += quill::tile_is_blank(frame, i) ? 1 : 0;
    QI_FrameUnlock(frame);
    return blank;
}

// Checks that every tile of a written frame has a record, and notes the
// frame's stored size. Returns an error text, or null.
const char *check_written(int frame, const TiledPage &p, int32_t storage) {
    int32_t blank = blank_tiles(frame, p);
    if (blank != 0)
        return blank < 0 ? "cannot lock the written frame" : "a tile was stored without a record";
    char line[160];
    snprintf(line, sizeof line, "QI_FrameResourceSize of the %s frame: %lld bytes (%.3f x the pixels)",
             storage_name(storage), static_cast<long long>(QI_FrameResourceSize(frame)),
             static_cast<double>(QI_FrameResourceSize(frame)) / static_cast<double>(p.bytes()));
    quill_bench::note(std::string("size/") + storage_name(storage), line);
    return nullptr;
}

// The frame that the read benchmarks read, written once per storage and
// kept until the library stops.
int written_frame(int32_t storage) {
    static int frames[3] = {-1, -1, -1};
    int &frame = frames[storage];
    if (frame >= 0)
        return frame;
    const TiledPage &p = page();
    int created = QI_FrameCreate(p.width(), p.height(), 1, storage, nullptr, 0);
    if (created < 0)
        return -1;
    if (!write_tiles(created, p) || check_written(created, p, storage)) {
        QI_FrameDelete(created);
        return -1;
    }
    frame = created;
    return frame;
}

void memcpy_floor(benchmark::State &state) {
    const TiledPage &p = page();
    uint8_t *out = destination().data();
    for (auto _ : state) {
        benchmark::DoNotOptimize(out);
        memcpy(out, p.data(), p.bytes());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(p.bytes()));
}

void write_all_tiles(benchmark::State &state, int32_t storage) {
    const TiledPage &p = page();
    if (!quill_bench::start_library()) {
        state.SkipWithError("the library did not start");
        return;
    }
    int frame = -1;
    const char *error = nullptr;
    for (auto _ : state) {
        state.PauseTiming();
        if (frame >= 0)
            QI_FrameDelete(frame);
        frame = QI_FrameCreate(p.width(), p.height(), 1, storage, nullptr, 0);
        state.ResumeTiming();
        if (frame < 0) {
            error = "QI_FrameCreate failed";
            break;
        }
        if (!write_tiles(frame, p)) {
            error = "writing a tile failed";
            break;
        }
    }
    if (!error && frame >= 0)
        error = check_written(frame, p, storage);
    if (frame >= 0) {
        state.counters["store_bytes"] = static_cast<double>(QI_FrameResourceSize(frame));
        QI_FrameUnlock(frame);
        QI_FrameDelete(frame);
    }
    if (error)
        state.SkipWithError(error);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(p.bytes()));
}

void read_all_tiles(benchmark::State &state, int32_t storage) {
    const TiledPage &p = page();
    if (!quill_bench::start_library()) {
        state.SkipWithError("the library did not start");
        return;
    }
    int frame = written_frame(storage);
    if (frame < 0) {
        state.SkipWithError("the frame to read could not be written");
        return;
    }
    std::vector<uint8_t> &out = destination();
    memset(out.data(), 0, out.size());
    const char *error = nullptr;
    for (auto _ : state) {
        if (!read_tiles(frame, p, out.data())) {
            error = "reading a tile failed";
            break;
        }
    }
    if (!error && memcmp(out.data(), p.data(), p.bytes()) != 0)
        error = "the pixels read back differ from the pixels written";
    if (error)
        state.SkipWithError(error);
    state.counters["store_bytes"] = static_cast<double>(QI_FrameResourceSize(frame));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(p.bytes()));
}

void memcpy_fresh_pages(benchmark::State &state) {
    const TiledPage &p = page();
    const char *error = nullptr;
    for (auto _ : state) {
        state.PauseTiming();
        void *out = mmap(nullptr, p.bytes(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        state.ResumeTiming();
        if (out == MAP_FAILED) {
            error = "mmap failed";
            break;
        }
        memcpy(out, p.data(), p.bytes());
        benchmark::ClobberMemory();
        state.PauseTiming();
        munmap(out, p.bytes());
        state.ResumeTiming();
    }
    if (error)
        state.SkipWithError(error);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(p.bytes()));
}

// Writes `n` bytes to a new file at `path` in 64 KB pieces; false on error.
bool write_file(const std::string &path, const uint8_t *data, size_t n) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    bool ok = true;
    for (size_t at = 0; ok && at < n; at += kFilePiece) {
        size_t piece = n - at < kFilePiece ? n - at : kFilePiece;
        ok = pwrite(fd, data + at, piece, static_cast<off_t>(at)) == static_cast<ssize_t>(piece);
    }
    return close(fd) == 0 && ok;
}

bool read_file(const std::string &path, uint8_t *out, size_t n) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    bool ok = true;
    for (size_t at = 0; ok && at < n; at += kFilePiece) {
        size_t piece = n - at < kFilePiece ? n - at : kFilePiece;
        ok = pread(fd, out + at, piece, static_cast<off_t>(at)) == static_cast<ssize_t>(piece);
    }
    return close(fd) == 0 && ok;
}

void file_write(benchmark::State &state) {
    const TiledPage &p = page();
    if (!quill_bench::start_library()) {
        state.SkipWithError("no swap directory");
        return;
    }
    std::string path = quill_bench::swap_directory() + "/file-write.bin";
    const char *error = nullptr;
    for (auto _ : state) {
        if (!write_file(path, p.data(), p.bytes())) {
            error = "writing the file failed";
            break;
        }
        state.PauseTiming();
        unlink(path.c_str());
        state.ResumeTiming();
    }
    unlink(path.c_str());
    if (error)
        state.SkipWithError(error);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(p.bytes()));
}

void file_read(benchmark::State &state) {
    const TiledPage &p = page();
    if (!quill_bench::start_library()) {
        state.SkipWithError("no swap directory");
        return;
    }
    std::string path = quill_bench::swap_directory() + "/file-read.bin";
    if (!write_file(path, p.data(), p.bytes())) {
        unlink(path.c_str());
        state.SkipWithError("writing the file failed");
        return;
    }
    std::vector<uint8_t> &out = destination();
    memset(out.data(), 0, out.size());
    const char *error = nullptr;
    for (auto _ : state) {
        if (!read_file(path, out.data(), p.bytes())) {
            error = "reading the file failed";
            break;
        }
    }
    unlink(path.c_str());
    if (!error && memcmp(out.data(), p.data(), p.bytes()) != 0)
        error = "the bytes read back differ from the bytes written";
    if (error)
        state.SkipWithError(error);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(p.bytes()));
}

int register_benchmarks() {
    // Real time throughout: the swap benchmarks spend much of theirs in the
    // kernel, and rates must be per second of wall time to compare.
    for (auto entry : {std::make_pair(kMemcpy, memcpy_floor), std::make_pair(kMemcpyFresh, memcpy_fresh_pages),
                       std::make_pair(kFileWrite, file_write), std::make_pair(kFileRead, file_read)})
        benchmark::RegisterBenchmark(entry.first, entry.second)->Unit(benchmark::kMillisecond)->UseRealTime();
    for (int32_t storage : {kStorageMemory, kStorageSwap}) {
        std::string write = std::string("tiles/write/") + storage_name(storage);
        std::string read = std::string("tiles/read/") + storage_name(storage);
        benchmark::RegisterBenchmark(write.c_str(), write_all_tiles, storage)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark(read.c_str(), read_all_tiles, storage)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
        quill_bench::compare(write, kMemcpy);
        quill_bench::compare(read, kMemcpy);
        if (storage == kStorageMemory) {
            quill_bench::compare(write, kMemcpyFresh);
        } else {
            quill_bench::compare(write, kFileWrite);
            quill_bench::compare(read, kFileRead);
        }
    }
    quill_bench::compare(kMemcpyFresh, kMemcpy);
    quill_bench::compare(kFileWrite, kMemcpy);
    quill_bench::compare(kFileRead, kMemcpy);
    return 0;
}

const int registered = register_benchmarks();

} // namespace
