/*
 * yx_fuzz - arbitrary bytes as a tile file ("*.yx"): get-info, load, and
 * reading every tile of a loaded frame, so that the records the loader
 * copied without decoding meet the tile decoders. Nothing may crash, read
 * or write out of bounds, leak, or leave a file open.
 */
#include "quillimg.h"

#include "fuzz_files.h"

#include <stddef.h>
#include <stdint.h>

namespace {
constexpr int kTileLimit = 256;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static quill_fuzz::ScratchDir dir;
    if (!dir.ok() || size > (1u << 20))
        return 0;
    std::string file = dir.file("in.yx");
    if (!quill_fuzz::write_bytes(file, data, size))
        return 0;
    // The data directory lets frames of the lossy modes load.
    if (!quill_fuzz::library_started(QUILL_DATA_DIR, dir))
        return 0;
    int width = 0, height = 0;
    QI_FrameFileGetInfo(file.c_str(), &width, &height);
    int frame = QI_FrameFileLoad(file.c_str(), size % 2 ? QI_STORAGE_SWAP : QI_STORAGE_MEMORY);
    if (frame >= 0) {
        quill_fuzz::read_every_tile(frame, kTileLimit);
        QI_FrameDelete(frame);
    }
    quill_fuzz::expect_no_frames();
    return 0;
}
