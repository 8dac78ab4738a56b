/*
 * draw_bench.cpp - polygon fills and rect drawing on the standard drawing
 * page, against OpenCV's fillPoly and against our own codec.
 *
 * The page is page.pbm (13244 x 9356 bilevel, QUILL_BENCH_PAGES), read once
 * into a bilevel raster of ours (PBM's 1 = black inverted), into an 8-bit
 * OpenCV matrix (0 or 255) and into a memory frame. Two polygon sets:
 *  - star: one star of 2000 vertices (1000 points between radii 2500 and
 *    4500 round the page's centre);
 *  - hatch: 500 thin parallelograms (6 pixels wide, 20 apart) slanting
 *    across the whole page.
 * Per set, one iteration of:
 *  - draw/<set>/buffer: QI_DmriFillPoly_BW into the page raster;
 *  - cv/<set>/fillPoly: cv::fillPoly of the same polygons into the matrix,
 *    one thread (the same job: the even-odd inside of the polygons painted
 *    into the page as bytes, 8 times the bytes we write);
 *  - draw/<set>/frame: QI_FrameFillPoly of the set, black, into the frame;
 *  - draw/<set>/codec: decode and code again every tile of the set's box
 *    clipped to the page, the floor of a fill through the tiles.
 * And for the whole page: draw/page/xor (QI_FrameDrawRect, mode 2, white,
 * null rect, twice: the page inverted and back) against draw/page/codec
 * (every tile of the page and of a frame holding the inverted page decoded
 * and coded again: the same decodes and codes of the same two pictures; an
 * inverted drawing codes at half the speed of the drawing, so a single
 * inversion against a single re-coding compares different work), and
 * draw/page/memcpy (the raster's bytes) as the floor of everything. Before timing, the buffer fill of each set is checked
 * against the frame fill (same pixels) and against OpenCV on the pixels
 * that differ between the two only near edges (reported in the notes).
 */
#include "bench/bench_support.h"

#include "quillimg.h"
#include "raster/core/tiles.h"

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <math.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

struct Set {
    const char *key;
    std::vector<std::vector<cv::Point>> polygons;
    std::vector<int32_t> block; // our integer form
    QI_Rect box{};
};

struct Page {
    const char *error = nullptr;
    int32_t width = 0, height = 0;
    uint32_t line = 0;
    std::vector<uint8_t> raster; // ours, 1 = white
    cv::Mat bytes;               // 255 = black
    int frame = -1;
    int inverted = -1; // the page inverted, for the floor of the inversion
    Set sets[2];
    ~Page() {
        if (frame >= 0)
            QI_FrameDelete(frame);
        if (inverted >= 0)
            QI_FrameDelete(inverted);
    }
};

bool read_pbm(const std::string &path, Page &p) {
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    int w = 0, h = 0;
    bool ok = fscanf(f, "P4 %d %d", &w, &h) == 2 && fgetc(f) != EOF && w > 0 && h > 0;
    if (ok) {
        p.width = w;
        p.height = h;
        p.line = QI_GetLineBWi(1, w);
        p.raster.assign(static_cast<size_t>(p.line) * h, 0xFF);
        size_t rowBytes = (static_cast<size_t>(w) + 7) / 8;
        for (int y = 0; ok && y < h; ++y) {
            uint8_t *row = p.raster.data() + static_cast<size_t>(y) * p.line;
            ok = fread(row, 1, rowBytes, f) == rowBytes;
            for (size_t i = 0; i < rowBytes; ++i)
                row[i] = static_cast<uint8_t>(~row[i]);
        }
    }
    fclose(f);
    return ok;
}

void finish_set(Set &s) {
    s.block = {static_cast<int32_t>(s.polygons.size())};
    s.box = QI_Rect{INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN};
    for (const auto &polygon : s.polygons) {
        s.block.push_back(static_cast<int32_t>(polygon.size()));
        for (const cv::Point &p : polygon) {
            s.block.push_back(p.x);
            s.block.push_back(p.y);
            s.box.left = std::min(s.box.left, p.x);
            s.box.top = std::min(s.box.top, p.y);
            s.box.right = std::max(s.box.right, p.x - 1);
            s.box.bottom = std::max(s.box.bottom, p.y - 1);
        }
    }
}

void make_sets(Page &p) {
    Set &star = p.sets[0];
    star.key = "star";
    star.polygons.emplace_back();
    for (int i = 0; i < 2000; ++i) {
        double angle = 2 * M_PI * i / 2000, radius = i % 2 ? 2500 : 4500;
        star.polygons.back().emplace_back(static_cast<int>(lround(p.width / 2 + radius * cos(angle))),
                                          static_cast<int>(lround(p.height / 2 + radius * sin(angle))));
    }
    Set &hatch = p.sets[1];
    hatch.key = "hatch";
    for (int i = 0; i < 500; ++i) {
        int x = i * 26 - 3000;
        hatch.polygons.push_back({{x, 0}, {x + 6, 0}, {x + 3006, p.height}, {x + 3000, p.height}});
    }
    finish_set(star);
    finish_set(hatch);
}

// Pixels that differ between two rasters of the page (pad bits not compared).
int64_t differing(const Page &p, const std::vector<uint8_t> &a, const std::vector<uint8_t> &b) {
    int64_t n = 0;
    uint32_t whole = static_cast<uint32_t>(p.width) / 8, rest = static_cast<uint32_t>(p.width) % 8;
    for (int32_t y = 0; y < p.height; ++y) {
        const uint8_t *ra = a.data() + static_cast<size_t>(y) * p.line, *rb = b.data() + static_cast<size_t>(y) * p.line;
        for (uint32_t i = 0; i < whole; ++i)
            n += __builtin_popcount(static_cast<unsigned>(ra[i] ^ rb[i]));
        if (rest)
            n += __builtin_popcount(static_cast<unsigned>(ra[whole] ^ rb[whole]) & (0xFF00u >> rest) & 0xFFu);
    }
    return n;
}

std::vector<uint8_t> frame_raster(const Page &p) {
    std::vector<uint8_t> out(p.raster.size());
    QI_FrameLock(p.frame);
    QI_FrameGetRect(p.frame, nullptr, out.data());
    QI_FrameUnlock(p.frame);
    return out;
}

bool put_page(Page &p) {
    return QI_FrameLock(p.frame) && QI_FrameSetRect(p.frame, nullptr, p.raster.data(), 1, -1, -1) &&
           QI_FrameUnlock(p.frame);
}

// Fills each set into a copy of the raster, into the frame and with OpenCV,
// and notes how the three agree.
const char *check_sets(Page &p) {
    for (Set &s : p.sets) {
        std::vector<uint8_t> buffer = p.raster;
        if (!QI_DmriFillPoly_BW(buffer.data(), p.width, p.height, s.block.data()))
            return "the buffer fill failed";
        if (!put_page(p) || !QI_FrameFillPoly(p.frame, s.block.data(), 1, QI_COLOR_BLACK, 0, nullptr))
            return "the frame fill failed";
        if (differing(p, frame_raster(p), buffer) != 0)
            return "the frame fill and the buffer fill differ";
        cv::Mat peer = p.bytes.clone();
        cv::fillPoly(peer, s.polygons, cv::Scalar(255));
        int64_t differ = 0;
        for (int32_t y = 0; y < p.height; ++y)
            for (int32_t x = 0; x < p.width; ++x)
                differ += (((buffer[static_cast<size_t>(y) * p.line + x / 8] >> (7 - x % 8)) & 1) == 0) !=
                          (peer.at<uint8_t>(y, x) != 0);
        quill_bench::note(std::string("draw/") + s.key,
                          std::string("draw/") + s.key + ": buffer and frame fills identical; " +
                              std::to_string(differ) + " pixels differ from OpenCV's fillPoly (edge pixels: " +
                              "its pixel centres lie half a row above ours)");
    }
    return put_page(p) ? nullptr : "the page could not be put back";
}

const char *build(Page &p) {
    if (!quill_bench::start_library())
        return "the library could not be started";
    if (!read_pbm(std::string(QUILL_BENCH_PAGES) + "/page.pbm", p))
        return "page.pbm could not be read";
    cv::setNumThreads(1);
    p.bytes = cv::Mat(p.height, p.width, CV_8UC1);
    for (int32_t y = 0; y < p.height; ++y)
        for (int32_t x = 0; x < p.width; ++x)
            p.bytes.at<uint8_t>(y, x) = (p.raster[static_cast<size_t>(y) * p.line + x / 8] >> (7 - x % 8)) & 1 ? 0 : 255;
    p.frame = QI_FrameCreate(p.width, p.height, 1, QI_STORAGE_MEMORY, nullptr, 0);
    if (p.frame < 0 || !put_page(p))
        return "the page frame could not be made";
    make_sets(p);
    p.inverted = QI_FrameClone(p.frame, nullptr, 0, QI_STORAGE_MEMORY);
    if (p.inverted < 0 || !QI_FrameDrawRect(p.inverted, nullptr, QI_COLOR_WHITE, 2, 0))
        return "the inverted page could not be made";
    return check_sets(p);
}

Page &page() { return quill_bench::lazy_fixture<Page, build>(); }

// Decodes and codes again every tile that `rect` touches.
bool recode(int frame, const QI_Rect &rect) {
    if (!QI_FrameLock(frame))
        return false;
    const QI_FrameRecord *f = QI_FrameGetData(frame);
    int32_t columns = quill::tile_columns(*f);
    bool ok = true;
    for (int32_t ty = rect.top / 128; ok && ty <= rect.bottom / 128; ++ty)
        for (int32_t tx = rect.left / 128; ok && tx <= rect.right / 128; ++tx)
            ok = quill::get_tile(frame, ty * columns + tx) && quill::put_tile(frame, ty * columns + tx);
    QI_FrameUnlock(frame);
    return ok;
}

QI_Rect clipped_box(const Page &p, const Set &s) {
    QI_Rect whole{0, 0, p.width - 1, p.height - 1}, out;
    QI_IntersectRects(&whole, &s.box, &out);
    return out;
}

template <typename Body>
void run(benchmark::State &state, Body body) {
    Page *p = quill_bench::ready_or_skip(state, page());
    if (!p)
        return;
    for (auto _ : state)
        if (!body(*p)) {
            state.SkipWithError("the operation failed");
            break;
        }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(p->raster.size()));
}

int register_benchmarks() {
    auto add = [](const std::string &name, void (*function)(benchmark::State &, int), int which) {
        benchmark::RegisterBenchmark(name.c_str(), [function, which](benchmark::State &s) { function(s, which); })
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    };
    add("draw/page/memcpy", [](benchmark::State &state, int) {
        std::vector<uint8_t> out;
        run(state, [&](Page &p) {
            out.resize(p.raster.size());
            memcpy(out.data(), p.raster.data(), out.size());
            benchmark::ClobberMemory();
            return true;
        });
    }, 0);
    for (int which = 0; which < 2; ++which) {
        std::string key = which == 0 ? "star" : "hatch";
        add("draw/" + key + "/buffer", [](benchmark::State &state, int w) {
            std::vector<uint8_t> buffer;
            run(state, [&](Page &p) {
                if (buffer.empty()) // filling again paints the same pixels: set up once
                    buffer = p.raster;
                return QI_DmriFillPoly_BW(buffer.data(), p.width, p.height, p.sets[w].block.data()) == 1;
            });
        }, which);
        add("cv/" + key + "/fillPoly", [](benchmark::State &state, int w) {
            cv::Mat peer;
            run(state, [&](Page &p) {
                if (peer.empty())
                    p.bytes.copyTo(peer);
                cv::fillPoly(peer, p.sets[w].polygons, cv::Scalar(255));
                return true;
            });
        }, which);
        add("draw/" + key + "/frame", [](benchmark::State &state, int w) {
            run(state, [&](Page &p) {
                return QI_FrameFillPoly(p.frame, p.sets[w].block.data(), 1, QI_COLOR_BLACK, 0, nullptr) == 1;
            });
        }, which);
        add("draw/" + key + "/codec", [](benchmark::State &state, int w) {
            run(state, [&](Page &p) { return recode(p.frame, clipped_box(p, p.sets[w])); });
        }, which);
        quill_bench::compare("draw/" + key + "/buffer", "cv/" + key + "/fillPoly");
        quill_bench::compare("draw/" + key + "/frame", "draw/" + key + "/codec");
    }
    add("draw/page/xor", [](benchmark::State &state, int) {
        run(state, [&](Page &p) {
            return QI_FrameDrawRect(p.frame, nullptr, QI_COLOR_WHITE, 2, 0) == 1 &&
                   QI_FrameDrawRect(p.frame, nullptr, QI_COLOR_WHITE, 2, 0) == 1;
        });
    }, 0);
    add("draw/page/codec", [](benchmark::State &state, int) {
        run(state, [&](Page &p) {
            QI_Rect whole{0, 0, p.width - 1, p.height - 1};
            return recode(p.frame, whole) && recode(p.inverted, whole);
        });
    }, 0);
    quill_bench::compare("draw/page/xor", "draw/page/codec");
    quill_bench::compare("draw/page/codec", "draw/page/memcpy");
    return 0;
}

const int registered = register_benchmarks();

} // namespace
