/*
 * orthogonal.cpp - quarter turns, the half turn and the two mirrors of
 * whole frames: QI_FrameRotate90, QI_FrameRotate270, QI_FrameRotate180,
 * QI_FrameMirrorX and QI_FrameMirrorY.
 *
 * Each operation checks its frame, locks it, takes its working memory and
 * then moves pixels band by band through the frame's rectangles
 * (frame_get_rect / frame_set_rect), handing each band in memory to the
 * kernels of turn_kernels.h. Every band is laid on the 128 x 128 tile grid
 * of the frame that is written, so that each written tile is coded once
 * and, being covered whole, is not decoded first.
 *
 * Quarter turns build a new frame of the turned size. They work through
 * chunks whose turned image is one tile row (clockwise) or one tile column
 * (counter-clockwise) of the result and a run of whole tiles the other way:
 * clockwise a source strip of up to 128 columns and a run of rows counted
 * from the bottom; counter-clockwise a source band of up to 128 rows and a
 * run of columns counted from the right. A chunk and its turned image hold
 * at most 131072 bytes each (at least one tile): runs of 8192 bilevel, 1024
 * grey or 256 colour pixels for a whole tile across. The source side of a
 * chunk straddles one more tile than it covers, so source tiles are
 * decoded 1 + 1/k times for runs of k tiles.
 *
 * MirrorX reverses the rows of bands of 128 rows from the top into a second
 * band and writes that where the first was read.
 *
 * The half turn and MirrorY exchange rows top to bottom in place. Result
 * tile row t takes the source rows that mirror it, which straddle two
 * source tile rows unless the height is a multiple of 128. A sweep writes
 * result tile rows in pairs from the outside in (top t, then bottom
 * T - 1 - t) and keeps in memory the original content of each source tile
 * row from its first use until no unwritten tile row needs it: at most four
 * tile rows, read once each. Each pair's result is assembled in an output
 * band (rows in reverse order, each reversed for the half turn) and
 * written whole.
 *
 * Decisions:
 *  - Bands follow the tile grid instead of the simpler bands that start at
 *    the frame's edges: for quarter turns whole source rows from the top
 *    (64 rows a band on the drawing page, 13244 x 9356) and strip pieces
 *    of 16 pixels each read and written on their own; for the half turn
 *    and MirrorY 128 rows from the top paired with 128 rows from the
 *    bottom. Those bands cut result tiles in two, so each is decoded and
 *    coded again for its second half; on the drawing page every tile of
 *    the lower half would be decoded four times and coded twice by a half
 *    turn, against once each here. A written tile costs the codec the
 *    same whatever the band, so re-coding the page once is the floor that
 *    the tiled bands approach (see bench/orthogonal_bench.cpp).
 *  - The sweep holds four tile rows and an output band (5 x 128 rows)
 *    where the two-band scheme held 2 x 129 rows: the price of reading
 *    each tile once. MirrorX holds two bands, not one: rows are reversed
 *    in one pass from one band into the other, and the band as read is
 *    there to be put back should the write fail. Quarter-turn chunks keep
 *    to the 131072-byte bound whatever the frame's width, where bands of
 *    whole rows would not: a longer row made a band of one row.
 *  - Pixel kinds other than 1, 2 and 4 cannot be created; should a record
 *    carry one, the quarter turns return -1 rather than a frame left
 *    unfilled, and the in-place operations return 0 and change nothing.
 *  - A refusal of the first reports (0 and the message) stops the
 *    operation before it changes anything: -1 or 0, and no 100 (the
 *    working memory was not in place yet).
 *  - Stopping an in-place operation (refused report, failed read or write)
 *    leaves the frame as if the operation had done whole bands and nothing
 *    else: MirrorX the top bands, the half turn and MirrorY the top and
 *    bottom bands of the same height. A write that fails part-way through a
 *    band would leave some of its tiles written and the band's original
 *    pixels lost; the band's original is then written back from memory.
 *    The sweep, which writes bottom tile rows that do not mirror its top
 *    ones exactly, writes the missing rows on stopping (the tail of the
 *    last top tile row, mirrored) so that top and bottom match. These
 *    repairs are writes too; should they fail as well, the frame keeps
 *    what they managed.
 */
#include "turn_kernels.h"

#include "../../base/holder.h"
#include "../../base/raster_line.h"
#include "../core/frame_lock.h"
#include "../core/frame_rect.h"
#include "../core/progress.h"
#include "../core/run_tiles.h"
#include "../codecs/black_runs.h"
#include "../core/tiles.h"
#include "../core/new_frame.h"

#include <string.h>

namespace quill {

namespace {

// The most source bytes a quarter turn holds at a time.
constexpr uint32_t kChunkBytes = 131072;

bool handled_kind(int32_t kind) { return kind == 1 || kind == 2 || kind == 4; }

int32_t min32(int32_t a, int32_t b) { return a < b ? a : b; }

int32_t ceil_div(int32_t a, int32_t b) { return (a + b - 1) / b; }

QI_Rect rect_of(int32_t left, int32_t top, int32_t right, int32_t bottom) { return QI_Rect{left, top, right, bottom}; }

// ---- Quarter turns ----------------------------------------------------

struct QuarterPlan {
    int32_t bands; // result tile rows (clockwise) or tile columns (counter-clockwise)
    int32_t along; // chunk length across the bands, a multiple of 128
    int32_t runs;  // chunks per band
    int32_t chunkWidth, chunkHeight; // largest source chunk
    int32_t leadMax; // most columns read in front of a chunk (see below)
};

// Counter-clockwise, bilevel: a chunk's source columns are counted from the
// right edge and start anywhere in a byte, so reading them shifts every byte
// of the chunk into place bit by bit (the drawing page took 52 ms counter-
// clockwise against 35 ms clockwise). The read starts instead at the
// 16-pixel boundary at or before the chunk (31 ms); the lead columns turn
// into rows past the chunk's result, which are not written.
int32_t lead_columns(int32_t kind, Turn turn, int32_t left) {
    return kind == 1 && turn == Turn::CounterClockwise ? left % 16 : 0;
}

// A chunk is `across` pixels one way (a tile or less) and `along` pixels,
// m whole tiles, the other way. Lines of m tiles are m times a tile's line,
// so the source chunk and its turned image each hold at most 131072 bytes
// when m <= 131072 / (across * tile line) and m <= 131072 / (128 * line of
// `across` pixels); at least one tile.
int32_t chunk_tiles(int32_t kind, int32_t across) {
    uint32_t tileLine = raster_line_bytes(kind, kTileSide), acrossLine = raster_line_bytes(kind, across);
    uint32_t bySource = kChunkBytes / (static_cast<uint32_t>(across) * tileLine);
    uint32_t byImage = kChunkBytes / (static_cast<uint32_t>(kTileSide) * acrossLine);
    uint32_t tiles = bySource < byImage ? bySource : byImage;
    return static_cast<int32_t>(tiles > 0 ? tiles : 1);
}

QuarterPlan plan_quarter_turn(int32_t kind, int32_t width, int32_t height, Turn turn) {
    QuarterPlan p{};
    if (turn == Turn::Clockwise) {
        // Source strips of up to 128 columns; runs of source rows.
        p.chunkWidth = min32(kTileSide, width);
        p.along = kTileSide * chunk_tiles(kind, p.chunkWidth);
        p.chunkHeight = min32(p.along, height);
        p.bands = ceil_div(width, kTileSide);
        p.runs = ceil_div(height, p.along);
    } else {
        // Source bands of up to 128 rows; runs of source columns.
        p.chunkHeight = min32(kTileSide, height);
        p.along = kTileSide * chunk_tiles(kind, p.chunkHeight);
        p.chunkWidth = min32(p.along, width);
        p.bands = ceil_div(height, kTileSide);
        p.runs = ceil_div(width, p.along);
        p.leadMax = kind == 1 ? 15 : 0;
    }
    return p;
}

// The result rect of chunk (band, run) and the source rect it comes from.
void chunk_rects(const QuarterPlan &p, int32_t width, int32_t height, Turn turn, int32_t band, int32_t run,
                 QI_Rect &source, QI_Rect &result) {
    int32_t a0 = band * kTileSide, b0 = run * p.along;
    if (turn == Turn::Clockwise) {
        // Result rows are source columns; result column x' is source row
        // H - 1 - x'.
        int32_t a1 = min32(a0 + kTileSide, width) - 1, b1 = min32(b0 + p.along, height) - 1;
        result = rect_of(b0, a0, b1, a1);
        source = rect_of(a0, height - 1 - b1, a1, height - 1 - b0);
    } else {
        // Result columns are source rows; result row y' is source column
        // W - 1 - y'.
        int32_t a1 = min32(a0 + kTileSide, height) - 1, b1 = min32(b0 + p.along, width) - 1;
        result = rect_of(a0, b0, a1, b1);
        source = rect_of(width - 1 - b1, a0, width - 1 - b0, a1);
    }
}

// Turns every chunk; false when a read, a write or a report fails.
bool turn_chunks(int32_t source, int32_t result, const QuarterPlan &p, int32_t kind, int32_t width,
                 int32_t height, Turn turn, uint8_t *from, uint8_t *to) {
    int64_t chunks = static_cast<int64_t>(p.bands) * p.runs, done = 0;
    for (int32_t band = 0; band < p.bands; ++band) {
        for (int32_t run = 0; run < p.runs; ++run, ++done) {
            if (!progress_remaining(chunks - done, chunks))
                return false;
            QI_Rect in, out;
            chunk_rects(p, width, height, turn, band, run, in, out);
            in.left -= lead_columns(kind, turn, in.left);
            int32_t w = in.right - in.left + 1, h = in.bottom - in.top + 1;
            if (!frame_get_rect(source, in, from))
                return false;
            turn_quarter(kind, from, raster_line_bytes(kind, w), w, h, to, raster_line_bytes(kind, h), turn);
            if (!frame_set_rect(result, out, to, kind, -1, -1))
                return false;
        }
    }
    return true;
}

int32_t quarter_turn(int32_t frame, int32_t storage, Turn turn) {
    if (!progress_begin(turn == Turn::Clockwise ? kMsgRotate90 : kMsgRotate270))
        return -1;
    const QI_FrameRecord *f = frame_lookup(frame);
    if (!f || !handled_kind(f->kind))
        return -1;
    ScopedFrameLock sourceLock(frame);
    if (!sourceLock.ok())
        return -1;
    f = frame_lookup(frame);
    int32_t width = f->width, height = f->height, kind = f->kind;
    QuarterPlan plan = plan_quarter_turn(kind, width, height, turn);
    int32_t readWidth = plan.chunkWidth + plan.leadMax;
    HeapBlock<uint8_t> from(static_cast<size_t>(plan.chunkHeight) * raster_line_bytes(kind, readWidth));
    HeapBlock<uint8_t> to(static_cast<size_t>(readWidth) * raster_line_bytes(kind, plan.chunkHeight));
    if (!from || !to)
        return -1;
    // Creating a frame may move the frame records: f is not used after it.
    NewFrame result(QI_FrameCreate(height, width, kind, storage, frame_loaded_palette(*f), f->mode));
    if (!result.ok())
        return -1;
    if (!turn_chunks(frame, result.handle(), plan, kind, width, height, turn, from.get(), to.get()))
        return -1;
    progress_report(100);
    return result.release();
}

// ---- MirrorX ----------------------------------------------------------

// Writes the rows of a band reversed into another band.
void reverse_band_rows(int32_t kind, const uint8_t *band, uint8_t *reversed, uint32_t line, int32_t rows,
                       int32_t width) {
    for (int32_t r = 0; r < rows; ++r)
        reverse_row(kind, band + static_cast<size_t>(r) * line, reversed + static_cast<size_t>(r) * line, width);
}

// What an in-place operation got to: NotStarted when it stopped before its
// working memory was in place (no 100 is reported then).
enum class Outcome { NotStarted, Stopped, Done };

// Bilevel MirrorX on run lists: each tile row is decoded to runs, every
// row's runs are mirrored (x -> W - x, pairs reversed) and cut at the tile
// columns again, and the band is coded back. Should the band's write fail
// part-way, the tile row is coded back from the runs as read.
Outcome mirror_runs_in_bands(int32_t frame, const QI_FrameRecord &f) {
    int32_t width = f.width, height = f.height;
    RunGrid source, result;
    HeapBlock<uint16_t> row;
    HeapBlock<uint8_t> scratch;
    if (!source.init(width) || !result.init(width) || !row.allocate(2 * static_cast<size_t>(source.row_capacity())) ||
        !scratch.allocate(run_coder_scratch()))
        return Outcome::NotStarted;
    for (int32_t tileRow = 0, top = 0; top < height; ++tileRow, top += kTileSide) {
        if (!progress_remaining(height - top, height) || !source.load_tile_row(frame, tileRow))
            return Outcome::Stopped;
        result.start(source.rows());
        for (int32_t y = 0; y < source.rows(); ++y) {
            uint32_t n = source.row(y, row.get());
            mirror_runs(row.get(), n, static_cast<uint32_t>(width));
            if (!result.add_row(row.get(), n))
                return Outcome::Stopped;
        }
        if (!code_tile_row(frame, tileRow, result, scratch.get())) {
            code_tile_row(frame, tileRow, source, scratch.get());
            return Outcome::Stopped;
        }
    }
    return Outcome::Done;
}

Outcome mirror_rows_in_bands(int32_t frame, const QI_FrameRecord &f) {
    int32_t width = f.width, height = f.height, kind = f.kind;
    uint32_t line = raster_line_bytes(kind, width);
    size_t bandBytes = static_cast<size_t>(min32(kTileSide, height)) * line;
    // The band as read, and its rows reversed.
    HeapBlock<uint8_t> bands(2 * bandBytes);
    if (!bands)
        return Outcome::NotStarted;
    uint8_t *band = bands.get(), *reversed = band + bandBytes;
    for (int32_t top = 0; top < height; top += kTileSide) {
        if (!progress_remaining(height - top, height))
            return Outcome::Stopped;
        int32_t rows = min32(kTileSide, height - top);
        QI_Rect rect = rect_of(0, top, width - 1, top + rows - 1);
        if (!frame_get_rect(frame, rect, band))
            return Outcome::Stopped;
        reverse_band_rows(kind, band, reversed, line, rows, width);
        if (!frame_set_rect(frame, rect, reversed, kind, -1, -1)) {
            // Some tiles of the band may be written: put the band back.
            frame_set_rect(frame, rect, band, kind, -1, -1);
            return Outcome::Stopped;
        }
    }
    return Outcome::Done;
}

// ---- Half turn and MirrorY: the sweep ---------------------------------

class MirrorSweep {
public:
    MirrorSweep(int32_t frame, const QI_FrameRecord &f, bool reverseRows)
        : frame_(frame), width_(f.width), height_(f.height), kind_(f.kind),
          tileRows_(ceil_div(f.height, kTileSide)), line_(raster_line_bytes(f.kind, f.width)),
          reverseRows_(reverseRows), runs_(f.kind == 1 && run_paths_take(f.width)) {}

    // Pixel bands for the slots and the output band; or, on run lists, a
    // run grid for each slot and the output, and one pixel band for the
    // rows that settle() writes through the rectangle interface.
    bool allocate() {
        size_t bandBytes = static_cast<size_t>(min32(kTileSide, height_)) * line_;
        int32_t pixelSlots = runs_ ? 0 : kSlots;
        if (!memory_.allocate((pixelSlots + 1) * bandBytes))
            return false;
        for (int32_t i = 0; i < kSlots; ++i)
            slots_[i] = Slot{-1, runs_ ? nullptr : memory_.get() + i * bandBytes, &grids_[i]};
        output_ = memory_.get() + pixelSlots * bandBytes;
        if (!runs_)
            return true;
        for (RunGrid &g : grids_)
            if (!g.init(width_))
                return false;
        return outGrid_.init(width_) && row_.allocate(2 * static_cast<size_t>(outGrid_.row_capacity())) &&
               scratch_.allocate(run_coder_scratch());
    }

    // Writes every result tile row; false when stopped (refused, or a read
    // or write failed), the frame then holding whole band pairs done.
    bool run() {
        lo_ = 0;
        hi_ = tileRows_ - 1;
        while (lo_ <= hi_) {
            int64_t remaining = static_cast<int64_t>(last_row(hi_)) - first_row(lo_) + 1;
            if (!progress_remaining(remaining, height_)) {
                settle();
                return false;
            }
            Write top = write_tile_row(lo_);
            topWritten_ = top != Write::NotWritten;
            if (top != Write::Done) {
                if (top == Write::Torn)
                    restore(lo_);
                settle();
                return false;
            }
            if (hi_ != lo_) {
                Write bottom = write_tile_row(hi_);
                if (bottom != Write::Done) {
                    if (bottom == Write::Torn)
                        restore(hi_);
                    restore(lo_);
                    settle();
                    return false;
                }
            }
            ++lo_;
            --hi_;
            topWritten_ = false;
            drop_unneeded();
        }
        return true;
    }

private:
    // Pair t needs tile rows t - 1 and t (the bottom's sources), T - 2 - t
    // and T - 1 - t (the top's): four at most. Should a fifth be wanted, the
    // sweep stops as on a failed read; it never reads a tile row twice.
    static constexpr int32_t kSlots = 4;
    struct Slot {
        int32_t tileRow; // -1: free
        uint8_t *rows;   // the tile row's original rows (pixel bands)
        RunGrid *grid;   // or its original runs (run lists)
    };
    enum class Write { NotWritten, Torn, Done };

    int32_t first_row(int32_t tileRow) const { return tileRow * kTileSide; }
    int32_t last_row(int32_t tileRow) const { return min32(first_row(tileRow) + kTileSide, height_) - 1; }
    int32_t mirror(int32_t row) const { return height_ - 1 - row; }
    QI_Rect tile_row_rect(int32_t tileRow) const { return rect_of(0, first_row(tileRow), width_ - 1, last_row(tileRow)); }

    Slot *find(int32_t tileRow) {
        for (Slot &s : slots_)
            if (s.tileRow == tileRow)
                return &s;
        return nullptr;
    }

    // The original rows of a tile row, read on first use; null when it
    // cannot be had. Only tile rows not written yet are read.
    Slot *original(int32_t tileRow) {
        if (Slot *s = find(tileRow))
            return s;
        // A tile row already overwritten cannot be read for its original.
        bool written = tileRow < lo_ || tileRow > hi_ || (tileRow == lo_ && topWritten_);
        Slot *free = find(-1);
        if (!free || written)
            return nullptr;
        bool read = runs_ ? free->grid->load_tile_row(frame_, tileRow)
                          : frame_get_rect(frame_, tile_row_rect(tileRow), free->rows);
        if (!read)
            return nullptr;
        free->tileRow = tileRow;
        return free;
    }

    // An original row held in memory, or null.
    const uint8_t *original_row(int32_t row) {
        Slot *s = find(row / kTileSide);
        return s ? s->rows + static_cast<size_t>(row % kTileSide) * line_ : nullptr;
    }

    // Fills the output band with result rows [top, bottom]: the mirrored
    // original rows, reversed for the half turn. Their tile rows are held
    // by then; should one not be, nothing is to be written (false).
    bool assemble(int32_t top, int32_t bottom) {
        for (int32_t y = top; y <= bottom; ++y) {
            if (runs_) {
                int32_t n = result_runs(y);
                if (n < 0)
                    return false;
                unpack_black_runs(output_ + static_cast<size_t>(y - top) * line_, static_cast<uint32_t>(width_),
                                  row_.get(), static_cast<uint32_t>(n));
                continue;
            }
            const uint8_t *in = original_row(mirror(y));
            if (!in)
                return false;
            uint8_t *out = output_ + static_cast<size_t>(y - top) * line_;
            if (reverseRows_)
                reverse_row(kind_, in, out, width_);
            else
                memcpy(out, in, line_);
        }
        return true;
    }

    // Result row y as runs in row_: its source row's original runs,
    // mirrored for the half turn. The count, or -1 when the source is not
    // held.
    int32_t result_runs(int32_t y) {
        int32_t row = mirror(y);
        Slot *s = find(row / kTileSide);
        if (!s)
            return -1;
        uint32_t n = s->grid->row(row % kTileSide, row_.get());
        if (reverseRows_)
            mirror_runs(row_.get(), n, static_cast<uint32_t>(width_));
        return static_cast<int32_t>(n);
    }

    // The result tile row as runs, coded into the frame's tiles.
    Write code_result(int32_t tileRow) {
        outGrid_.start(last_row(tileRow) - first_row(tileRow) + 1);
        for (int32_t y = first_row(tileRow); y <= last_row(tileRow); ++y) {
            int32_t n = result_runs(y);
            if (n < 0 || !outGrid_.add_row(row_.get(), static_cast<uint32_t>(n)))
                return Write::NotWritten;
        }
        return code_tile_row(frame_, tileRow, outGrid_, scratch_.get()) ? Write::Done : Write::Torn;
    }

    Write write_tile_row(int32_t tileRow) {
        // Its own original first (it is about to be overwritten), then the
        // source tile rows of its mirror image.
        int32_t sourceTop = mirror(last_row(tileRow)), sourceBottom = mirror(first_row(tileRow));
        if (!original(tileRow))
            return Write::NotWritten;
        for (int32_t t = sourceTop / kTileSide; t <= sourceBottom / kTileSide; ++t)
            if (!original(t))
                return Write::NotWritten;
        if (runs_)
            return code_result(tileRow);
        if (!assemble(first_row(tileRow), last_row(tileRow)))
            return Write::NotWritten;
        if (!frame_set_rect(frame_, tile_row_rect(tileRow), output_, kind_, -1, -1))
            return Write::Torn;
        return Write::Done;
    }

    void restore(int32_t tileRow) {
        Slot *s = find(tileRow);
        if (s && runs_)
            code_tile_row(frame_, tileRow, *s->grid, scratch_.get());
        else if (s)
            frame_set_rect(frame_, tile_row_rect(tileRow), s->rows, kind_, -1, -1);
    }

    // Frees the tile rows that no unwritten result tile row [lo_, hi_] needs.
    void drop_unneeded() {
        int32_t first = 0, last = -1;
        if (lo_ <= hi_) {
            first = mirror(last_row(hi_)) / kTileSide;
            last = mirror(first_row(lo_)) / kTileSide;
        }
        for (Slot &s : slots_)
            if (s.tileRow >= 0 && (s.tileRow < first || s.tileRow > last))
                s.tileRow = -1;
    }

    // After the pairs before lo_: the top 128 * lo_ rows are written, the
    // bottom ones from first_row(hi_ + 1) on. Writes the rows between
    // height - 128 * lo_ and there, so that both ends are the same height.
    void settle() {
        if (lo_ == 0)
            return;
        int32_t top = height_ - first_row(lo_), bottom = first_row(hi_ + 1) - 1;
        if (top <= bottom && assemble(top, bottom))
            frame_set_rect(frame_, rect_of(0, top, width_ - 1, bottom), output_, kind_, -1, -1);
    }

    int32_t frame_, width_, height_, kind_, tileRows_;
    uint32_t line_;
    bool reverseRows_;
    bool runs_; // bilevel frames: slots and output held as run lists
    HeapBlock<uint8_t> memory_;
    RunGrid grids_[kSlots], outGrid_;
    HeapBlock<uint16_t> row_; // a full-width row's runs
    HeapBlock<uint8_t> scratch_;
    Slot slots_[kSlots] = {};
    uint8_t *output_ = nullptr;
    int32_t lo_ = 0, hi_ = -1; // result tile rows not written yet
    bool topWritten_ = false;  // tile row lo_ is written (in this pair)
};

Outcome mirror_vertically(int32_t frame, const QI_FrameRecord &f, bool reverseRows) {
    MirrorSweep sweep(frame, f, reverseRows);
    if (!sweep.allocate())
        return Outcome::NotStarted;
    return sweep.run() ? Outcome::Done : Outcome::Stopped;
}

enum class InPlace { MirrorX, MirrorY, HalfTurn };

Outcome run_in_place(int32_t frame, InPlace operation) {
    const QI_FrameRecord *f = frame_lookup(frame);
    if (!f || !handled_kind(f->kind))
        return Outcome::NotStarted;
    ScopedFrameLock lock(frame);
    if (!lock.ok())
        return Outcome::NotStarted;
    f = frame_lookup(frame);
    if (operation == InPlace::MirrorX)
        return f->kind == 1 && run_paths_take(f->width) ? mirror_runs_in_bands(frame, *f) : mirror_rows_in_bands(frame, *f);
    return mirror_vertically(frame, *f, operation == InPlace::HalfTurn);
}

int32_t in_place(int32_t frame, InPlace operation, int slot) {
    if (!progress_begin(slot))
        return 0;
    Outcome outcome = run_in_place(frame, operation);
    // 100 comes once the memory was in place, whether the work was
    // completed or stopped.
    if (outcome != Outcome::NotStarted)
        progress_report(100);
    return outcome == Outcome::Done ? 1 : 0;
}

} // namespace

} // namespace quill

using namespace quill;

extern "C" QI_API int QI_FrameRotate90(int frame, int storage) { return quarter_turn(frame, storage, Turn::Clockwise); }

extern "C" QI_API int QI_FrameRotate270(int frame, int storage) {
    return quarter_turn(frame, storage, Turn::CounterClockwise);
}

extern "C" QI_API int QI_FrameRotate180(int frame) { return in_place(frame, InPlace::HalfTurn, kMsgRotate180); }

extern "C" QI_API int QI_FrameMirrorX(int frame) { return in_place(frame, InPlace::MirrorX, kMsgMirrorX); }

extern "C" QI_API int QI_FrameMirrorY(int frame) { return in_place(frame, InPlace::MirrorY, kMsgMirrorY); }
