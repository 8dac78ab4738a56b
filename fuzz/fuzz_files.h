/*
 * fuzz_files.h - the file readers' fuzz targets hand their input to the
 * library as files: a scratch directory per process (also the swap
 * directory), removed at exit.
 */
#ifndef QUILL_FUZZ_FUZZ_FILES_H
#define QUILL_FUZZ_FUZZ_FILES_H

#include "quillimg.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

namespace quill_fuzz {

class ScratchDir {
public:
    ScratchDir() {
        char pattern[] = "/tmp/quill-fuzz-XXXXXX";
        const char *made = mkdtemp(pattern);
        path_ = made ? made : "";
    }
    ~ScratchDir() {
        // The readers leave nothing else behind; anything more is a finding
        // of its own and stays for inspection.
        for (const char *name : {"in.tif", "in.pcx", "out.pcx", "in.yx", "in.eps", "in._pa", "in.bvl",
                                 "cache.pal", "cache.pal.tmp"})
            unlink(file(name).c_str());
        rmdir(path_.c_str());
    }
    bool ok() const { return !path_.empty(); }
    const std::string &path() const { return path_; }
    std::string file(const char *name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Starts the library once per process, with the scratch directory as the
// swap directory; inputs then cost no table building.
inline bool library_started(const char *dataDir, const ScratchDir &dir) {
    static bool started = QI_InitFrameFunctions(dataDir, dir.path().c_str(), nullptr) == 1;
    return started;
}

// A reader that fails must delete the frame it began; every input leaves
// the frame table empty (the targets delete what loaded).
inline void expect_no_frames() {
    int count = 0;
    QI_FrameLibraryInfo(&count, nullptr);
    if (count != 0)
        abort();
}

inline bool write_bytes(const std::string &path, const uint8_t *data, size_t size) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}

// Reads every tile of a frame through the rectangle interface, so that each
// stored record is decoded (at most `limit` tiles: a frame of many blank
// tiles would only slow the fuzzer down).
inline void read_every_tile(int frame, int limit) {
    const QI_FrameRecord *f = QI_FrameGetData(frame);
    if (!f || QI_FrameLock(frame) != 1)
        return;
    static uint8_t tile[128 * 128 * 3];
    int read = 0;
    for (int32_t y = 0; y < f->height && read < limit; y += 128)
        for (int32_t x = 0; x < f->width && read < limit; x += 128, ++read) {
            QI_Rect rect{x, y, x + 127 < f->width ? x + 127 : f->width - 1,
                         y + 127 < f->height ? y + 127 : f->height - 1};
            QI_FrameGetRect(frame, &rect, tile);
        }
    QI_FrameUnlock(frame);
}

} // namespace quill_fuzz

#endif
