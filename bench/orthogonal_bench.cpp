/*
 * orthogonal_bench.cpp - quarter turns, the half turn and the mirrors of
 * the standard pages, against leptonica on the same rasters in memory, and
 * against the codec's own decoding and coding of every tile of the page.
 *
 * Pages (of the standard pages, QUILL_BENCH_PAGES):
 *  - page: page.pbm, the 13244 x 9356 bilevel drawing (A1 at 400 dpi);
 *  - grey: grey.tif, a 4000 x 3000 grey page (8 bits, uncompressed).
 * Each is read by leptonica (pixRead, not timed) and the same pixels are
 * written into a memory frame of ours (bilevel inverted: PBM and leptonica
 * have 1 = black, we have 1 = white). Frames are unlocked between calls, as
 * a host holds them; every call of ours locks, works and unlocks inside the
 * timing.
 *
 * Per page, one iteration of each benchmark:
 *  - ortho/<page>/rotate90, /rotate270: QI_FrameRotate90 / 270 into a new
 *    memory frame, and QI_FrameDelete of it;
 *  - ortho/<page>/rotate180, /mirrorX, /mirrorY: the operation in place
 *    (the frame alternates between the page and its image);
 *  - ortho/page/rotate180-pixels, /mirrorX-pixels, /mirrorY-pixels: the
 *    same on the pixel path that bilevel frames took before these worked
 *    on run lists (kept for grey and colour frames), for the gain;
 *  - lept/<page>/rotate90, /rotate270, /rotate180, /flipLR, /flipTB:
 *    pixRotate90(pix, 1 or -1), pixRotate180(NULL, pix), pixFlipLR(NULL,
 *    pix), pixFlipTB(NULL, pix) and pixDestroy of the result (making the
 *    result is part of the job, as our new frame or rewritten tiles are);
 *  - ortho/<page>/codec: lock the page's frame, get and put every tile
 *    (decode it into the work buffer, code and store it again), unlock:
 *    what re-coding the whole page costs the codec alone, the floor of an
 *    operation that rewrites every tile through pixels. The bilevel half
 *    turn and mirrors never make the pixels (run lists from decoder to
 *    encoder), so they can go below it: their goal is 0.8 of it;
 *  - ortho/<page>/rect-copy: lock, read each band of 128 rows with
 *    QI_FrameGetRect and write it back unchanged with QI_FrameSetRect,
 *    unlock: the codec's work plus the rectangle interface's copies, what
 *    MirrorX costs without reversing a row;
 *  - ortho/<page>/memcpy: memcpy of the page's bytes, the floor of all.
 * The summary gives each of ours over its leptonica peer and the half turn
 * and mirrors (and the quarter turns) over the codec.
 *
 * Checks, outside the timing (a failed check fails the benchmark and the
 * run): before timing, each operation's result is read back and compared
 * pixel for pixel with leptonica's result of the same operation (pad bits
 * ignored); after timing, an in-place operation is applied once more if the
 * count was odd, and the frame must hold the page again.
 *
 * Memory, in the notes: leptonica holds its page and its result. We hold the
 * page's tile records (QI_FrameResourceSize) and, during a call, whatever
 * it takes on top: the bytes held by malloc are sampled at every progress
 * report of one untimed call and the largest rise over the value before the
 * call is given (for the quarter turns this includes the new frame's
 * records; the operations report at every band or chunk).
 */
#include "bench/bench_support.h"

#include "quillimg.h"
#include "raster/core/tiles.h"
#include "raster/core/run_tiles.h"

#include <benchmark/benchmark.h>
#include <leptonica/allheaders.h>
#include <malloc.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

constexpr int32_t kStorageMemory = 1;

enum class Op { Rotate90, Rotate270, Rotate180, MirrorX, MirrorY };

struct OpInfo {
    Op op;
    const char *ours;  // name under ortho/<page>/
    const char *peer;  // name under lept/<page>/
};
const OpInfo kOps[] = {{Op::Rotate90, "rotate90", "rotate90"},
                       {Op::Rotate270, "rotate270", "rotate270"},
                       {Op::Rotate180, "rotate180", "rotate180"},
                       {Op::MirrorX, "mirrorX", "flipLR"},
                       {Op::MirrorY, "mirrorY", "flipTB"}};

bool in_place(Op op) { return op == Op::Rotate180 || op == Op::MirrorX || op == Op::MirrorY; }

// A raster in our layout, lines of QI_GetLineBWi(kind, width) bytes.
struct Raster {
    int32_t width = 0, height = 0, kind = 1;
    uint32_t line = 0;
    std::vector<uint8_t> bytes;
    void allocate(int32_t w, int32_t h, int32_t k) {
        width = w;
        height = h;
        kind = k;
        line = QI_GetLineBWi(k, w);
        bytes.assign(static_cast<size_t>(line) * static_cast<size_t>(h), 0);
    }
    uint8_t *row(int32_t y) { return bytes.data() + static_cast<size_t>(y) * line; }
    const uint8_t *row(int32_t y) const { return bytes.data() + static_cast<size_t>(y) * line; }
};

// Our raster of a 1- or 8-bpp PIX (1 bpp: inverted, 1 = white).
Raster raster_of_pix(PIX *pix) {
    Raster out;
    int32_t depth = pixGetDepth(pix);
    out.allocate(pixGetWidth(pix), pixGetHeight(pix), depth == 1 ? 1 : 2);
    const l_uint32 *data = pixGetData(pix);
    int32_t wpl = pixGetWpl(pix);
    for (int32_t y = 0; y < out.height; ++y) {
        const l_uint32 *words = data + static_cast<size_t>(y) * static_cast<size_t>(wpl);
        uint8_t *target = out.row(y);
        if (depth == 1) {
            uint32_t bytes = (static_cast<uint32_t>(out.width) + 7) / 8;
            for (uint32_t i = 0; i < bytes; ++i)
                target[i] = static_cast<uint8_t>(~(words[i / 4] >> (24 - 8 * (i % 4))));
        } else {
            for (int32_t x = 0; x < out.width; ++x)
                target[x] = static_cast<uint8_t>(GET_DATA_BYTE(words, x));
        }
    }
    return out;
}

// Pixels that differ (pad bits and bytes not compared).
int64_t differing_pixels(const Raster &a, const Raster &b) {
    if (a.width != b.width || a.height != b.height || a.kind != b.kind)
        return -1;
    int64_t count = 0;
    for (int32_t y = 0; y < a.height; ++y) {
        const uint8_t *ra = a.row(y), *rb = b.row(y);
        if (a.kind == 2) {
            for (int32_t x = 0; x < a.width; ++x)
                count += ra[x] != rb[x];
            continue;
        }
        uint32_t whole = static_cast<uint32_t>(a.width) / 8, rest = static_cast<uint32_t>(a.width) % 8;
        if (memcmp(ra, rb, whole) != 0)
            for (uint32_t i = 0; i < whole; ++i)
                count += __builtin_popcount(static_cast<unsigned>(ra[i] ^ rb[i]));
        if (rest)
            count += __builtin_popcount(static_cast<unsigned>(ra[whole] ^ rb[whole]) & (0xFF00u >> rest) & 0xFFu);
    }
    return count;
}

// Bytes held by malloc in the process.
size_t held_bytes() {
    struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

size_t g_peakHeld = 0;
void sample_held(intptr_t) {
    size_t now = held_bytes();
    if (now > g_peakHeld)
        g_peakHeld = now;
}

double megabytes(double bytes) { return bytes / 1e6; }

struct Page {
    Page(const char *k, const char *f) : key(k), file(f) {}
    Page(const Page &) = delete;
    Page &operator=(const Page &) = delete;
    const char *key;  // "page" or "grey"
    const char *file; // in QUILL_BENCH_PAGES
    const char *error = nullptr;
    PIX *pix = nullptr; // leptonica's page
    Raster raster;      // the same pixels in our layout
    int frame = -1;     // memory frame, unlocked between calls
    ~Page() { pixDestroy(&pix); }
};

Raster read_frame(int frame) {
    Raster out;
    const QI_FrameRecord *f = QI_FrameGetData(frame);
    if (!f)
        return out;
    out.allocate(f->width, f->height, f->kind);
    bool locked = f->locked;
    if ((locked || QI_FrameLock(frame)) && !QI_FrameGetRect(frame, nullptr, out.bytes.data()))
        out.bytes.clear();
    if (!locked)
        QI_FrameUnlock(frame);
    return out;
}

// Ours: the result frame (quarter turns) or the frame itself; -1 on failure.
int run_ours(Op op, int frame) {
    switch (op) {
    case Op::Rotate90:
        return QI_FrameRotate90(frame, kStorageMemory);
    case Op::Rotate270:
        return QI_FrameRotate270(frame, kStorageMemory);
    case Op::Rotate180:
        return QI_FrameRotate180(frame) ? frame : -1;
    case Op::MirrorX:
        return QI_FrameMirrorX(frame) ? frame : -1;
    case Op::MirrorY:
        return QI_FrameMirrorY(frame) ? frame : -1;
    }
    return -1;
}

PIX *run_peer(Op op, PIX *pix) {
    switch (op) {
    case Op::Rotate90:
        return pixRotate90(pix, 1);
    case Op::Rotate270:
        return pixRotate90(pix, -1);
    case Op::Rotate180:
        return pixRotate180(nullptr, pix);
    case Op::MirrorX:
        return pixFlipLR(nullptr, pix);
    case Op::MirrorY:
        return pixFlipTB(nullptr, pix);
    }
    return nullptr;
}

const char *load(Page &p) {
    std::string path = std::string(QUILL_BENCH_PAGES) + "/" + p.file;
    p.pix = pixRead(path.c_str());
    if (!p.pix)
        return "leptonica could not read the page (build the bench_pages target)";
    if (pixGetDepth(p.pix) != 1 && pixGetDepth(p.pix) != 8)
        return "the page is neither 1 nor 8 bits deep";
    p.raster = raster_of_pix(p.pix);
    if (!quill_bench::start_library())
        return "the library did not start";
    const Raster &r = p.raster;
    p.frame = QI_FrameCreate(r.width, r.height, r.kind, kStorageMemory, nullptr, 0);
    if (p.frame < 0 || !QI_FrameLock(p.frame) ||
        !QI_FrameSetRect(p.frame, nullptr, r.bytes.data(), r.kind, -1, -1) || !QI_FrameUnlock(p.frame))
        return "writing the page into a frame failed";
    if (differing_pixels(read_frame(p.frame), r) != 0)
        return "the frame does not hold the page";
    char line[200];
    snprintf(line, sizeof line, "ortho: %s %d x %d %s (%.2f MB of pixels), tile records %.2f MB in memory",
             p.file, r.width, r.height, r.kind == 1 ? "bilevel" : "grey", megabytes(static_cast<double>(r.bytes.size())),
             megabytes(static_cast<double>(QI_FrameResourceSize(p.frame))));
    quill_bench::note(std::string("ortho/") + p.key, line);
    return nullptr;
}

Page &page(int which) {
    static Page pages[2] = {{"page", "page.pbm"}, {"grey", "grey.tif"}};
    static bool loaded[2] = {false, false};
    Page &p = pages[which];
    if (!loaded[which]) {
        loaded[which] = true;
        p.error = load(p);
    }
    return p;
}

Page *ready(benchmark::State &state, int which) {
    Page &p = page(which);
    if (p.error) {
        state.SkipWithError(p.error);
        return nullptr;
    }
    return &p;
}

void set_rate(benchmark::State &state, const Page &p) {
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(p.raster.bytes.size()));
}

// One call of ours, checked against leptonica's result, with the memory it
// holds sampled. Returns an error text, or null.
const char *check_and_measure(Page &p, const OpInfo &info) {
    PIX *theirs = run_peer(info.op, p.pix);
    if (!theirs)
        return "leptonica's operation failed";
    size_t leptonicaBytes = static_cast<size_t>(pixGetWpl(theirs)) * 4 * static_cast<size_t>(pixGetHeight(theirs));
    Raster want = raster_of_pix(theirs);
    pixDestroy(&theirs);

    size_t before = held_bytes();
    g_peakHeld = before;
    quill_bench::observe_progress(sample_held);
    int result = run_ours(info.op, p.frame);
    quill_bench::observe_progress(nullptr);
    if (result < 0)
        return "our operation failed";
    int64_t differ = differing_pixels(read_frame(result), want);
    double pageRecords = static_cast<double>(QI_FrameResourceSize(p.frame));
    if (in_place(info.op)) {
        if (run_ours(info.op, p.frame) < 0 || differing_pixels(read_frame(p.frame), p.raster) != 0)
            return "the operation applied twice did not give the page back";
    } else {
        QI_FrameDelete(result);
    }
    if (differ != 0)
        return "our result differs from leptonica's";
    double rise = static_cast<double>(g_peakHeld - before);
    double ours = pageRecords + rise;
    double peer = static_cast<double>(leptonicaBytes) + static_cast<double>(p.raster.bytes.size());
    char line[300];
    snprintf(line, sizeof line,
             "ortho/%s/%s: same pixels as leptonica's; memory: leptonica %.2f MB (page and result), ours %.2f MB "
             "(tile records %.2f MB + at most %.2f MB more during the call) = %.3f of leptonica's",
             p.key, info.ours, megabytes(peer), megabytes(ours), megabytes(pageRecords), megabytes(rise), ours / peer);
    quill_bench::note(std::string("ortho/") + p.key + "/" + info.ours, line);
    return nullptr;
}

// pixels: the pixel path (bands of rows through the rectangle interface)
// that bilevel frames took before the half turn and mirrors worked on run
// lists; the test hook switches the run-list paths off.
void bench_ours(benchmark::State &state, int which, const OpInfo &info, bool pixels = false) {
    Page *p = ready(state, which);
    if (!p)
        return;
    qi_test_run_paths(pixels ? 0 : 1);
    const char *error = check_and_measure(*p, info);
    int64_t done = 0;
    for (auto _ : state) {
        if (error)
            break;
        int result = run_ours(info.op, p->frame);
        if (result < 0) {
            error = "our operation failed";
            break;
        }
        if (result != p->frame)
            QI_FrameDelete(result);
        ++done;
    }
    if (!error && in_place(info.op) && done % 2 == 1 && run_ours(info.op, p->frame) < 0)
        error = "our operation failed";
    if (!error && differing_pixels(read_frame(p->frame), p->raster) != 0)
        error = "the frame does not hold the page after the timing";
    qi_test_run_paths(1);
    if (error)
        state.SkipWithError(error);
    set_rate(state, *p);
}

void bench_peer(benchmark::State &state, int which, const OpInfo &info) {
    Page *p = ready(state, which);
    if (!p)
        return;
    for (auto _ : state) {
        PIX *result = run_peer(info.op, p->pix);
        if (!result) {
            state.SkipWithError("leptonica's operation failed");
            break;
        }
        benchmark::DoNotOptimize(pixGetData(result));
        pixDestroy(&result);
    }
    set_rate(state, *p);
}

// Every tile of the page decoded and coded again, as an operation that
// rewrites the whole page does at the least.
bool recode_every_tile(int frame) {
    if (!QI_FrameLock(frame))
        return false;
    int64_t tiles = quill::tile_count(*QI_FrameGetData(frame));
    bool ok = true;
    for (int32_t i = 0; ok && i < tiles; ++i)
        ok = quill::get_tile(frame, i) && quill::put_tile(frame, i);
    QI_FrameUnlock(frame);
    return ok;
}

void bench_codec(benchmark::State &state, int which) {
    Page *p = ready(state, which);
    if (!p)
        return;
    for (auto _ : state) {
        if (!recode_every_tile(p->frame)) {
            state.SkipWithError("a tile could not be decoded or coded");
            break;
        }
    }
    if (differing_pixels(read_frame(p->frame), p->raster) != 0)
        state.SkipWithError("the frame does not hold the page after re-coding");
    set_rate(state, *p);
}

// Every band of 128 rows read and written back through the rectangles.
bool copy_every_band(int frame, std::vector<uint8_t> &band) {
    if (!QI_FrameLock(frame))
        return false;
    const QI_FrameRecord *f = QI_FrameGetData(frame);
    int32_t width = f->width, height = f->height, kind = f->kind;
    bool ok = true;
    for (int32_t top = 0; ok && top < height; top += 128) {
        QI_Rect rect{0, top, width - 1, top + 127 < height ? top + 127 : height - 1};
        ok = QI_FrameGetRect(frame, &rect, band.data()) && QI_FrameSetRect(frame, &rect, band.data(), kind, -1, -1);
    }
    QI_FrameUnlock(frame);
    return ok;
}

void bench_rect_copy(benchmark::State &state, int which) {
    Page *p = ready(state, which);
    if (!p)
        return;
    std::vector<uint8_t> band(static_cast<size_t>(p->raster.line) * 128, 0);
    for (auto _ : state) {
        if (!copy_every_band(p->frame, band)) {
            state.SkipWithError("a band could not be read or written");
            break;
        }
    }
    if (differing_pixels(read_frame(p->frame), p->raster) != 0)
        state.SkipWithError("the frame does not hold the page after the copies");
    set_rate(state, *p);
}

void bench_memcpy(benchmark::State &state, int which) {
    Page *p = ready(state, which);
    if (!p)
        return;
    std::vector<uint8_t> out(p->raster.bytes.size(), 0);
    for (auto _ : state) {
        benchmark::DoNotOptimize(out.data());
        memcpy(out.data(), p->raster.bytes.data(), out.size());
        benchmark::ClobberMemory();
    }
    set_rate(state, *p);
}

int register_benchmarks() {
    for (int which = 0; which < 2; ++which) {
        std::string key = which == 0 ? "page" : "grey";
        std::string ours = "ortho/" + key + "/", peer = "lept/" + key + "/";
        auto add = [](const std::string &name, auto function) {
            benchmark::RegisterBenchmark(name.c_str(), function)->Unit(benchmark::kMillisecond)->UseRealTime();
        };
        add(ours + "memcpy", [which](benchmark::State &s) { bench_memcpy(s, which); });
        add(ours + "codec", [which](benchmark::State &s) { bench_codec(s, which); });
        add(ours + "rect-copy", [which](benchmark::State &s) { bench_rect_copy(s, which); });
        for (const OpInfo &info : kOps) {
            add(peer + info.peer, [which, &info](benchmark::State &s) { bench_peer(s, which, info); });
            add(ours + info.ours, [which, &info](benchmark::State &s) { bench_ours(s, which, info); });
            quill_bench::compare(ours + info.ours, peer + info.peer);
            quill_bench::compare(ours + info.ours, ours + "codec");
            if (which == 0 && in_place(info.op)) {
                std::string before = ours + info.ours + "-pixels";
                add(before, [which, &info](benchmark::State &s) { bench_ours(s, which, info, true); });
                quill_bench::compare(before, ours + "codec");
            }
        }
        if (which == 0)
            quill_bench::note("ortho/goal", "ortho: goal: ortho/page/rotate180, mirrorX and mirrorY at most 0.80 x "
                                            "ortho/page/codec (every tile decoded to pixels and coded from pixels)");
        quill_bench::compare(ours + "codec", ours + "memcpy");
        quill_bench::compare(ours + "rect-copy", ours + "codec");
    }
    return 0;
}

const int registered = register_benchmarks();

} // namespace
