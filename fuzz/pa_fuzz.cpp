/*
 * pa_fuzz - raw bilevel rows: the first 24 bytes of the input are the
 * ".bvl" header (three doubles; fewer when the input is shorter), the
 * rest the "_PA" rows. Get-info and load.
 */
#include "quillimg.h"

#include "fuzz_files.h"

#include <stddef.h>
#include <stdint.h>

namespace {
constexpr size_t kHeaderBytes = 24;
// A header may name 65536 x 65536 pixels of rows the file does not hold
// (they load white); loading that is slow and tests nothing more.
constexpr int64_t kPixelLimit = 1 << 20;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static quill_fuzz::ScratchDir dir;
    if (!dir.ok() || size > (1u << 20))
        return 0;
    size_t header = size < kHeaderBytes ? size : kHeaderBytes;
    std::string rows = dir.file("in._pa");
    if (!quill_fuzz::write_bytes(dir.file("in.bvl"), data, header) ||
        !quill_fuzz::write_bytes(rows, data + header, size - header))
        return 0;
    if (!quill_fuzz::library_started("", dir))
        return 0;
    int width = 0, height = 0;
    if (QI_FrameFileGetInfo(rows.c_str(), &width, &height) == 1 &&
        static_cast<int64_t>(width) * height <= kPixelLimit) {
        int frame = QI_FrameFileLoad(rows.c_str(), QI_STORAGE_MEMORY);
        if (frame >= 0)
            QI_FrameDelete(frame);
    }
    quill_fuzz::expect_no_frames();
    return 0;
}
