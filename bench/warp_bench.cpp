/*
 * warp_bench.cpp - a 7-degree turn (nearest neighbour) of the standard pages
 * by QI_FrameTransform, against leptonica's pixAffineSampled and OpenCV's
 * warpAffine (INTER_NEAREST, one thread) on the same pixels in memory.
 *
 * Pages (of the standard pages, QUILL_BENCH_PAGES):
 *  - page: page.pbm, the 13244 x 9356 bilevel drawing;
 *  - grey: grey.tif, the 4000 x 3000 grey page.
 * Ours reads a memory frame holding the page (bilevel inverted: PBM and
 * leptonica have 1 = black) and builds a new memory frame, the bounding box
 * of the turned page with a white background, then deletes it; the frame
 * stays unlocked between calls, as a host holds it. Leptonica turns its PIX
 * (1 or 8 bits) with L_BRING_IN_WHITE; its result keeps the page's size, so
 * it makes fewer pixels than we do (the notes give both counts). OpenCV
 * turns the page as bytes (bilevel unpacked to 0 / 255) into a byte matrix
 * of our result's size, single-threaded (cv::setNumThreads(1)).
 *
 * The peers get the same map as ours, written for their sampling: both
 * sample the image of the result pixel's corner (leptonica rounds it,
 * OpenCV rounds in its own fixed point), so their translation is ours plus
 * (M - I)(1/2, 1/2), which moves their sampling point to our pixel centres.
 * Before timing, our result is compared with each peer's over the pixels
 * both make; the share of differing pixels (ties and the peers' float
 * precision) is given in the notes and must stay below 1%.
 *
 * Memory, in the notes: leptonica and OpenCV hold the page and their
 * result. We hold the page's tile records (QI_FrameResourceSize) and,
 * during a call, what malloc holds above its level before the call,
 * sampled at every progress report (once per band of 128 result rows; this
 * includes the result's growing tile records); the working memory alone is
 * that rise less the finished result's records.
 */
#include "bench/bench_support.h"

#include "quillimg.h"

#include <benchmark/benchmark.h>
#include <leptonica/allheaders.h>
#include <malloc.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

constexpr int32_t kStorageMemory = 1;
constexpr uint32_t kWhite = 0x7F7FFF;

struct Page {
    Page(const char *k, const char *f) : key(k), file(f) {}
    Page(const Page &) = delete;
    Page &operator=(const Page &) = delete;
    ~Page() { pixDestroy(&pix); }
    const char *key;
    const char *file;
    const char *error = nullptr;
    PIX *pix = nullptr;
    int32_t width = 0, height = 0, kind = 1;
    std::vector<uint8_t> raster; // our layout
    cv::Mat bytes;               // one byte a pixel, white 255
    int frame = -1;
    double params[6] = {};       // the turn as given to us (m2, m5 before the shift)
    double shifted[6] = {};      // after our call: the map of our result
    int32_t resultWidth = 0, resultHeight = 0;
};

double megabytes(double bytes) { return bytes / 1e6; }

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

// Our raster and the byte matrix of a 1- or 8-bit PIX.
void unpack(Page &p) {
    int32_t depth = pixGetDepth(p.pix);
    p.width = pixGetWidth(p.pix);
    p.height = pixGetHeight(p.pix);
    p.kind = depth == 1 ? 1 : 2;
    uint32_t line = QI_GetLineBWi(p.kind, p.width);
    p.raster.assign(static_cast<size_t>(line) * p.height, 0);
    p.bytes = cv::Mat(p.height, p.width, CV_8UC1);
    const l_uint32 *data = pixGetData(p.pix);
    int32_t wpl = pixGetWpl(p.pix);
    for (int32_t y = 0; y < p.height; ++y) {
        const l_uint32 *words = data + static_cast<size_t>(y) * static_cast<size_t>(wpl);
        uint8_t *row = p.raster.data() + static_cast<size_t>(y) * line;
        uint8_t *byteRow = p.bytes.ptr<uint8_t>(y);
        for (int32_t x = 0; x < p.width; ++x) {
            if (depth == 1) {
                bool black = GET_DATA_BIT(words, x);
                if (!black)
                    row[x >> 3] = static_cast<uint8_t>(row[x >> 3] | (0x80u >> (x & 7)));
                byteRow[x] = black ? 0 : 255;
            } else {
                row[x] = static_cast<uint8_t>(GET_DATA_BYTE(words, x));
                byteRow[x] = row[x];
            }
        }
    }
}

// Our result as bytes, white 255.
cv::Mat frame_bytes(int frame) {
    const QI_FrameRecord *f = QI_FrameGetData(frame);
    cv::Mat out(f->height, f->width, CV_8UC1);
    uint32_t line = QI_GetLineBWi(f->kind, f->width);
    std::vector<uint8_t> raster(static_cast<size_t>(line) * f->height);
    int32_t kind = f->kind, width = f->width, height = f->height;
    QI_FrameLock(frame);
    bool ok = QI_FrameGetRect(frame, nullptr, raster.data()) == 1;
    QI_FrameUnlock(frame);
    if (!ok)
        return cv::Mat();
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t *row = raster.data() + static_cast<size_t>(y) * line;
        uint8_t *target = out.ptr<uint8_t>(y);
        for (int32_t x = 0; x < width; ++x)
            target[x] = kind == 1 ? (((row[x >> 3] >> (7 - (x & 7))) & 1) ? 255 : 0) : row[x];
    }
    return out;
}

cv::Mat pix_bytes(PIX *pix) {
    int32_t w = pixGetWidth(pix), h = pixGetHeight(pix), depth = pixGetDepth(pix), wpl = pixGetWpl(pix);
    cv::Mat out(h, w, CV_8UC1);
    const l_uint32 *data = pixGetData(pix);
    for (int32_t y = 0; y < h; ++y) {
        const l_uint32 *words = data + static_cast<size_t>(y) * static_cast<size_t>(wpl);
        uint8_t *target = out.ptr<uint8_t>(y);
        for (int32_t x = 0; x < w; ++x)
            target[x] = depth == 1 ? (GET_DATA_BIT(words, x) ? 0 : 255) : static_cast<uint8_t>(GET_DATA_BYTE(words, x));
    }
    return out;
}

// Share of differing pixels over the rows and columns both have.
double differing_share(const cv::Mat &a, const cv::Mat &b) {
    int32_t w = std::min(a.cols, b.cols), h = std::min(a.rows, b.rows);
    if (w <= 0 || h <= 0)
        return 1;
    int64_t differ = 0;
    for (int32_t y = 0; y < h; ++y) {
        const uint8_t *ra = a.ptr<uint8_t>(y), *rb = b.ptr<uint8_t>(y);
        for (int32_t x = 0; x < w; ++x)
            differ += ra[x] != rb[x];
    }
    return static_cast<double>(differ) / (static_cast<double>(w) * h);
}

// The peers' translation: ours plus (M - I)(1/2, 1/2).
void peer_map(const Page &p, double out[6]) {
    const double *m = p.shifted;
    out[0] = m[0];
    out[1] = m[1];
    out[2] = m[2] + 0.5 * (m[0] + m[1] - 1);
    out[3] = m[3];
    out[4] = m[4];
    out[5] = m[5] + 0.5 * (m[3] + m[4] - 1);
}

int run_ours(Page &p) {
    double params[6];
    memcpy(params, p.params, sizeof params);
    return QI_FrameTransform(p.frame, 1, params, nullptr, kStorageMemory, kWhite);
}

PIX *run_leptonica(const Page &p) {
    double m[6];
    peer_map(p, m);
    l_float32 vc[6];
    for (int i = 0; i < 6; ++i)
        vc[i] = static_cast<l_float32>(m[i]);
    return pixAffineSampled(p.pix, vc, L_BRING_IN_WHITE);
}

void run_opencv(const Page &p, cv::Mat &out) {
    double m[6];
    peer_map(p, m);
    cv::Mat map(2, 3, CV_64F, m);
    cv::warpAffine(p.bytes, out, map, cv::Size(p.resultWidth, p.resultHeight), cv::INTER_NEAREST | cv::WARP_INVERSE_MAP,
                   cv::BORDER_CONSTANT, cv::Scalar(255));
}

const char *load(Page &p) {
    std::string path = std::string(QUILL_BENCH_PAGES) + "/" + p.file;
    p.pix = pixRead(path.c_str());
    if (!p.pix)
        return "leptonica could not read the page (build the bench_pages target)";
    if (pixGetDepth(p.pix) != 1 && pixGetDepth(p.pix) != 8)
        return "the page is neither 1 nor 8 bits deep";
    unpack(p);
    if (!quill_bench::start_library())
        return "the library did not start";
    p.frame = QI_FrameCreate(p.width, p.height, p.kind, kStorageMemory, nullptr, 0);
    if (p.frame < 0 || !QI_FrameLock(p.frame) ||
        !QI_FrameSetRect(p.frame, nullptr, p.raster.data(), p.kind, -1, -1) || !QI_FrameUnlock(p.frame))
        return "writing the page into a frame failed";
    double c = cos(7 * M_PI / 180), s = sin(7 * M_PI / 180);
    const double params[6] = {c, s, 0, -s, c, 0};
    memcpy(p.params, params, sizeof params);
    memcpy(p.shifted, params, sizeof params);
    // One call of ours, measured and checked against both peers.
    size_t before = held_bytes();
    g_peakHeld = before;
    quill_bench::observe_progress(sample_held);
    int result = QI_FrameTransform(p.frame, 1, p.shifted, nullptr, kStorageMemory, kWhite);
    quill_bench::observe_progress(nullptr);
    if (result < 0)
        return "our warp failed";
    double rise = static_cast<double>(g_peakHeld - before);
    double resultRecords = static_cast<double>(QI_FrameResourceSize(result));
    cv::Mat ours = frame_bytes(result);
    p.resultWidth = ours.cols;
    p.resultHeight = ours.rows;
    QI_FrameDelete(result);
    PIX *lept = run_leptonica(p);
    if (!lept)
        return "leptonica's warp failed";
    cv::Mat theirs = pix_bytes(lept);
    size_t leptBytes = static_cast<size_t>(pixGetWpl(lept)) * 4 * static_cast<size_t>(pixGetHeight(lept));
    size_t pageBytes = static_cast<size_t>(pixGetWpl(p.pix)) * 4 * static_cast<size_t>(p.height);
    pixDestroy(&lept);
    cv::Mat opencv;
    run_opencv(p, opencv);
    double leptDiffer = differing_share(ours, theirs), cvDiffer = differing_share(ours, opencv);
    if (leptDiffer > 0.01 || cvDiffer > 0.01)
        return "our result differs from the peers' in more than 1% of the pixels";
    double pageRecords = static_cast<double>(QI_FrameResourceSize(p.frame));
    double oursTotal = pageRecords + rise;
    double leptTotal = static_cast<double>(pageBytes + leptBytes);
    double cvTotal = static_cast<double>(p.bytes.total() + opencv.total());
    char line[600];
    snprintf(line, sizeof line,
             "warp: %s %d x %d %s turned 7 degrees: ours %d x %d pixels, leptonica %d x %d; differing pixels %.4f%% "
             "(leptonica), %.4f%% (OpenCV)",
             p.file, p.width, p.height, p.kind == 1 ? "bilevel" : "grey", p.resultWidth, p.resultHeight, p.width,
             p.height, 100 * leptDiffer, 100 * cvDiffer);
    quill_bench::note(std::string("warp/") + p.key, line);
    snprintf(line, sizeof line,
             "warp/%s memory: ours %.2f MB (page records %.2f + at most %.2f more during the call, of which %.2f "
             "the result's records and %.2f working memory); leptonica %.2f MB (%.3f of it), OpenCV %.2f MB "
             "(%.3f of it)",
             p.key, megabytes(oursTotal), megabytes(pageRecords), megabytes(rise), megabytes(resultRecords),
             megabytes(rise - resultRecords), megabytes(leptTotal), oursTotal / leptTotal, megabytes(cvTotal),
             oursTotal / cvTotal);
    quill_bench::note(std::string("warp/") + p.key + "/memory", line);
    return nullptr;
}

Page &page(int which) {
    static Page pages[2] = {{"page", "page.pbm"}, {"grey", "grey.tif"}};
    static bool loaded[2] = {false, false};
    Page &p = pages[which];
    if (!loaded[which]) {
        loaded[which] = true;
        cv::setNumThreads(1);
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
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(p.raster.size()));
}

void bench_ours(benchmark::State &state, int which) {
    Page *p = ready(state, which);
    if (!p)
        return;
    for (auto _ : state) {
        int result = run_ours(*p);
        if (result < 0) {
            state.SkipWithError("our warp failed");
            break;
        }
        QI_FrameDelete(result);
    }
    set_rate(state, *p);
}

void bench_leptonica(benchmark::State &state, int which) {
    Page *p = ready(state, which);
    if (!p)
        return;
    for (auto _ : state) {
        PIX *result = run_leptonica(*p);
        if (!result) {
            state.SkipWithError("leptonica's warp failed");
            break;
        }
        benchmark::DoNotOptimize(pixGetData(result));
        pixDestroy(&result);
    }
    set_rate(state, *p);
}

void bench_opencv(benchmark::State &state, int which) {
    Page *p = ready(state, which);
    if (!p)
        return;
    for (auto _ : state) {
        cv::Mat out;
        run_opencv(*p, out);
        benchmark::DoNotOptimize(out.data);
    }
    set_rate(state, *p);
}

void bench_memcpy(benchmark::State &state, int which) {
    Page *p = ready(state, which);
    if (!p)
        return;
    std::vector<uint8_t> out(p->raster.size(), 0);
    for (auto _ : state) {
        benchmark::DoNotOptimize(out.data());
        memcpy(out.data(), p->raster.data(), out.size());
        benchmark::ClobberMemory();
    }
    set_rate(state, *p);
}

int register_benchmarks() {
    for (int which = 0; which < 2; ++which) {
        std::string prefix = std::string("warp/") + (which == 0 ? "page" : "grey") + "/";
        auto add = [](const std::string &name, auto function) {
            benchmark::RegisterBenchmark(name.c_str(), function)->Unit(benchmark::kMillisecond)->UseRealTime();
        };
        add(prefix + "memcpy", [which](benchmark::State &s) { bench_memcpy(s, which); });
        add(prefix + "leptonica", [which](benchmark::State &s) { bench_leptonica(s, which); });
        add(prefix + "opencv", [which](benchmark::State &s) { bench_opencv(s, which); });
        add(prefix + "turn7", [which](benchmark::State &s) { bench_ours(s, which); });
        quill_bench::compare(prefix + "turn7", prefix + "leptonica");
        quill_bench::compare(prefix + "turn7", prefix + "opencv");
        quill_bench::compare(prefix + "turn7", prefix + "memcpy");
    }
    return 0;
}

const int registered = register_benchmarks();

} // namespace
