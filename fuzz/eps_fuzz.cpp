/*
 * eps_fuzz - arbitrary bytes as an EPS file ("*.eps"): the binary header,
 * the copy of the preview to the temporary file and the TIFF reader behind
 * it, for get-info and load.
 */
#include "quillimg.h"

#include "fuzz_files.h"

#include <stddef.h>
#include <stdint.h>

namespace {
// Loads of larger images only cost time: the reader's bounds are met as
// well by small ones.
constexpr int64_t kPixelLimit = 1 << 20;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static quill_fuzz::ScratchDir dir;
    if (!dir.ok() || size > (1u << 20))
        return 0;
    std::string file = dir.file("in.eps");
    if (!quill_fuzz::write_bytes(file, data, size))
        return 0;
    if (!quill_fuzz::library_started("", dir))
        return 0;
    int width = 0, height = 0;
    if (QI_FrameFileGetInfo(file.c_str(), &width, &height) != 0 &&
        static_cast<int64_t>(width) * height <= kPixelLimit) {
        int frame = QI_FrameFileLoad(file.c_str(), QI_STORAGE_MEMORY);
        if (frame >= 0)
            QI_FrameDelete(frame);
    }
    quill_fuzz::expect_no_frames();
    if (access(dir.file("tiffile.tmp").c_str(), F_OK) == 0)
        abort(); // the preview's copy outlived the call
    return 0;
}
