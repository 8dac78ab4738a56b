/*
 * palette_cache_fuzz - the palette cache-file reader on any bytes.
 *
 * Input: byte 0 is the count less 1 (1 to 256 colours); then count x 4
 * bytes of colours; then one control byte c; the rest is the file. When c
 * is even the file is the rest as it stands (short, long or foreign files);
 * when odd, the rest is padded with the byte c >> 1 to the exact size of a
 * cache for the count, so that full-size files, valid or with an index out
 * of range, come from small inputs (the smoke run caps inputs at 64 KB, a
 * cache is 256 KB and more).
 *
 * Checks: a file the reader accepts holds only indices below the count, and
 * QI_PaletteCreate then takes its map without building one (no progress
 * report) and maps pixels to indices below the count; a file it refuses is
 * rewritten by the cache writer and then accepted. Every input leaves the
 * heap as it found it (a leak aborts under LeakSanitizer at exit).
 */
#include "quillimg.h"

#include "fuzz_files.h"
#include "raster/colour/palette_cache.h"

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

namespace {

int g_reports = 0;
int count_report(intptr_t) {
    ++g_reports;
    return 1;
}

bool started(const quill_fuzz::ScratchDir &dir) {
    static bool ok = QI_InitFrameFunctions("", dir.path().c_str(), count_report) == 1;
    return ok;
}

void check_served_palette(const uint8_t *colours, int count, const std::string &path, const uint8_t *map) {
    g_reports = 0;
    PaletteObject *p = QI_PaletteCreate(colours, count, 3, path.c_str());
    if (!p || g_reports != 0 || memcmp(p->colourMap, map, 262144) != 0 || p->blackIndex >= count ||
        p->whiteIndex >= count)
        abort();
    uint8_t pixels[3 * 16 + 4];
    for (size_t i = 0; i < sizeof pixels; ++i)
        pixels[i] = static_cast<uint8_t>(i * 53);
    QI_DmriToPaletteColors(pixels, 16, 1, 4, p, 2, 0, 0);
    for (int i = 0; i < 16; ++i)
        if (pixels[i] >= count)
            abort();
    QI_PaletteDelete(p);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static quill_fuzz::ScratchDir dir;
    static std::vector<uint8_t> map(262144);
    if (!dir.ok() || !started(dir) || size < 1)
        return 0;
    const int count = data[0] + 1;
    const size_t colourBytes = 4 * static_cast<size_t>(count);
    if (size < 2 + colourBytes)
        return 0;
    const uint8_t *colours = data + 1;
    const uint8_t control = data[1 + colourBytes];
    const uint8_t *rest = data + 2 + colourBytes;
    size_t restSize = size - 2 - colourBytes;

    std::vector<uint8_t> file(rest, rest + restSize);
    if (control & 1) {
        size_t full = static_cast<size_t>(quill::palette_cache_size(count));
        if (file.size() < full)
            file.resize(full, static_cast<uint8_t>(control >> 1));
    }
    const std::string path = dir.file("cache.pal");
    if (!quill_fuzz::write_bytes(path, file.data(), file.size()))
        return 0;

    if (quill::palette_cache_read(path.c_str(), colours, count, map.data())) {
        for (uint8_t index : map)
            if (index >= count)
                abort();
        check_served_palette(colours, count, path, map.data());
    } else {
        // The writer's file is one the reader takes.
        memset(map.data(), count - 1, map.size());
        quill::palette_cache_write(path.c_str(), colours, count, map.data());
        std::vector<uint8_t> back(262144);
        if (!quill::palette_cache_read(path.c_str(), colours, count, back.data()) || back != map)
            abort();
    }
    return 0;
}
