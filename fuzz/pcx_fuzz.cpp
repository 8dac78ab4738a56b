/*
 * pcx_fuzz - arbitrary bytes as a PCX file ("*.pcx"): get-info and load.
 * Nothing may crash, read or write out of bounds, leak, or leave a file
 * open. A frame that loads is saved as PCX and loaded again; bilevel and
 * grey frames must come back with the same pixels (colour ones pass through
 * the colour conversions, which are not exact, so only their save and load
 * are exercised).
 *
 * Images above kMostPixels are only asked for their info: a small file can
 * describe a large image of long runs, which would only slow the fuzzer.
 *
 * Seeds (fuzz/corpus/pcx): small files written by netpbm's ppmtopcx
 * (bilevel, 8-bit grey palette, 16 colours as 4 planes of 1 bit and as one
 * plane of 4 bits, 4 colours in 2 bits, 24 bits) and by ImageMagick
 * (24 bits, 8-bit palette), from random images of at most 37 x 9 pixels.
 */
#include "quillimg.h"

#include "fuzz_files.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

constexpr int64_t kMostPixels = 1 << 20;

std::vector<uint8_t> pixels(int frame) {
    const QI_FrameRecord *f = QI_FrameGetData(frame);
    std::vector<uint8_t> raster(static_cast<size_t>(QI_GetLineBWi(f->kind, f->width)) * f->height);
    if (QI_FrameLock(frame) != 1 || QI_FrameGetRect(frame, nullptr, raster.data()) != 1)
        abort();
    QI_FrameUnlock(frame);
    return raster;
}

// Bilevel and grey frames survive a save and a load exactly.
void check_round_trip(int frame, const std::string &out) {
    const QI_FrameRecord *f = QI_FrameGetData(frame);
    if (f->kind == 4)
        return;
    std::vector<uint8_t> before = pixels(frame);
    if (QI_FrameFileSave(frame, out.c_str()) != 1)
        abort();
    int again = QI_FrameFileLoad(out.c_str(), QI_STORAGE_MEMORY);
    if (again < 0 || QI_FrameGetData(again)->kind != QI_FrameGetData(frame)->kind || pixels(again) != before)
        abort();
    QI_FrameDelete(again);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static quill_fuzz::ScratchDir dir;
    if (!dir.ok() || size > (1u << 20))
        return 0;
    std::string in = dir.file("in.pcx");
    if (!quill_fuzz::write_bytes(in, data, size) || !quill_fuzz::library_started("", dir))
        return 0;
    int width = 0, height = 0;
    int kind = QI_FrameFileGetInfo(in.c_str(), &width, &height);
    if (kind != 0 && static_cast<int64_t>(width) * height <= kMostPixels) {
        int frame = QI_FrameFileLoad(in.c_str(), size % 2 ? QI_STORAGE_SWAP : QI_STORAGE_MEMORY);
        if (frame >= 0) {
            check_round_trip(frame, dir.file("out.pcx"));
            QI_FrameDelete(frame);
        }
    }
    quill_fuzz::expect_no_frames();
    return 0;
}
