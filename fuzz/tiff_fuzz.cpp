/*
 * tiff_fuzz - loads arbitrary bytes as a TIFF file: get-info, then a whole
 * load into a frame kept in memory. A damaged or hostile file must fail
 * cleanly or load; the sanitizers catch any read or write outside a buffer,
 * and libFuzzer's limits catch unbounded allocation or endless loops.
 *
 * The input is written to a temporary file named *.tif (the reader opens
 * files by name) and the library stays started between inputs. Images of
 * more than 2^22 pixels are described but not loaded: a load of such an
 * image may legitimately take long, which would only slow the search.
 *
 * Seeds (fuzz/corpus/tiff), each under 4 KB, made by the peers from small
 * test images: libtiff's tiffcp (g4 in strips of 16 rows, LZW with and
 * without predictor, PackBits, big-endian), ghostscript's tiffcrle (modified
 * Huffman) and ImageMagick (palette, 4-bit grey, WhiteIsZero); and two for
 * the run-list load of CCITT strips, whose 128-row bands span strips and
 * whose tiles straddle the strips' rows: g4-bands-across-strips.tif
 * (tiffcp, 300 x 260, strips of 50 rows, a noisy corner that codes raw)
 * and mh-blackiszero-bands.tif (libtiff, 300 x 140, BlackIsZero, strips
 * of 100 rows).
 */
#include "quillimg.h"

#include "fuzz_files.h"

#include <stddef.h>
#include <stdint.h>

namespace {
constexpr int64_t kMostPixels = 1 << 22;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static quill_fuzz::ScratchDir dir;
    if (!dir.ok() || size > (1u << 20))
        return 0;
    std::string in = dir.file("in.tif");
    if (!quill_fuzz::write_bytes(in, data, size) || !quill_fuzz::library_started("", dir))
        return 0;
    int width = 0, height = 0;
    int kind = QI_FrameFileGetInfo(in.c_str(), &width, &height);
    if (kind != 0 && static_cast<int64_t>(width) * height <= kMostPixels) {
        int frame = QI_FrameFileLoad(in.c_str(), QI_STORAGE_MEMORY);
        if (frame >= 0)
            QI_FrameDelete(frame);
    }
    quill_fuzz::expect_no_frames();
    return 0;
}
