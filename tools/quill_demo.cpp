/*
 * quill_demo - a walk through the frame store: start the library, keep a
 * drawing-sized bilevel frame in memory and a grey frame in a swap file,
 * write and read back their tiles, rewrite some, and show what the store
 * holds at each step. Run with no arguments; an optional argument names the
 * swap directory (default: a fresh directory under /tmp).
 */
#include "quillimg.h"
#include "raster/core/tiles.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A drawing-like bilevel tile: a border, a diagonal and a few dots, white
// elsewhere. Tiles where (index % 5 == 0) stay blank.
void draw_tile(uint8_t *tile, int index, int width, int height) {
    const int line = static_cast<int>(QI_GetLineBWi(1, width));
    memset(tile, 0xFF, static_cast<size_t>(line) * height);
    if (index % 5 == 0)
        return;
    auto black = [&](int x, int y) { tile[y * line + x / 8] &= static_cast<uint8_t>(~(0x80 >> (x % 8))); };
    for (int x = 0; x < width; ++x)
        black(x, 0);
    for (int y = 0; y < height && y < width; ++y)
        black(y, y);
    for (int k = 0; k < index % 17; ++k)
        black((k * 37 + index) % width, (k * 53 + index) % height);
}

void grey_tile(uint8_t *tile, int index, int width, int height) {
    const int line = static_cast<int>(QI_GetLineBWi(2, width));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            tile[y * line + x] = static_cast<uint8_t>((x + y + index * 7) & 0xFF);
}

// Lists the swap files in `dir` with their sizes.
void show_swap_files(const char *dir) {
    int shown = 0;
    if (DIR *listing = opendir(dir)) {
        while (dirent *entry = readdir(listing)) {
            const char *dot = strrchr(entry->d_name, '.');
            if (!dot || strcmp(dot, ".qsw") != 0)
                continue;
            char path[600];
            struct stat info;
            snprintf(path, sizeof path, "%s/%s", dir, entry->d_name);
            if (stat(path, &info) == 0)
                printf("  swap file %s: %lld bytes\n", entry->d_name, static_cast<long long>(info.st_size));
            ++shown;
        }
        closedir(listing);
    }
    if (!shown)
        printf("  (no swap files)\n");
}

bool write_all_tiles(int frame, void (*paint)(uint8_t *, int, int, int)) {
    QI_FrameRecord *f = QI_FrameGetData(frame);
    int64_t tiles = quill::tile_count(*f);
    for (int i = 0; i < tiles; ++i) {
        int w, h;
        quill::tile_extent(*QI_FrameGetData(frame), i, w, h);
        paint(QI_FrameGetData(frame)->workBuffer, i, w, h);
        if (!quill::put_tile(frame, i))
            return false;
    }
    return true;
}

// Reads every tile back and compares it with what was painted.
int count_mismatches(int frame, void (*paint)(uint8_t *, int, int, int)) {
    QI_FrameRecord *f = QI_FrameGetData(frame);
    static uint8_t expected[49152];
    int64_t tiles = quill::tile_count(*f);
    int bad = 0;
    for (int i = 0; i < tiles; ++i) {
        int w, h;
        quill::tile_extent(*f, i, w, h);
        paint(expected, i, w, h);
        size_t bytes = static_cast<size_t>(QI_GetLineBWi(f->kind, w)) * h;
        if (!quill::get_tile(frame, i) || memcmp(expected, QI_FrameGetData(frame)->workBuffer, bytes) != 0)
            ++bad;
    }
    return bad;
}

} // namespace

int main(int argc, char **argv) {
    char made[] = "/tmp/quill-demo-XXXXXX";
    const char *swapDir = argc > 1 ? argv[1] : mkdtemp(made);
    if (!swapDir || QI_InitFrameFunctions("", swapDir, nullptr) != 1) {
        fprintf(stderr, "quill_demo: cannot start the library\n");
        return 1;
    }
    printf("Quill frame store demo (swap directory %s)\n\n", swapDir);

    int drawing = QI_FrameCreate(6000, 4000, QI_KIND_BILEVEL, QI_STORAGE_MEMORY, nullptr, 0);
    int photo = QI_FrameCreate(1000, 700, QI_KIND_GREY, QI_STORAGE_SWAP, nullptr, 0);
    if (drawing < 0 || photo < 0)
        return 1;
    printf("created frame %d: 6000 x 4000 bilevel in memory, %lld tiles\n", drawing,
           static_cast<long long>(quill::tile_count(*QI_FrameGetData(drawing))));
    printf("created frame %d: 1000 x 700 grey in a swap file, %lld tiles\n", photo,
           static_cast<long long>(quill::tile_count(*QI_FrameGetData(photo))));
    show_swap_files(swapDir);

    QI_FrameLock(drawing);
    QI_FrameLock(photo);
    bool written = write_all_tiles(drawing, draw_tile) && write_all_tiles(photo, grey_tile);
    printf("\nwrote every tile: %s\n", written ? "ok" : "FAILED");
    printf("  drawing holds %lld bytes of records (%lld raw; blank tiles keep no record)\n",
           static_cast<long long>(QI_FrameResourceSize(drawing)), 6000LL * 4000 / 8);
    printf("  photo holds %lld bytes in its swap file\n", static_cast<long long>(QI_FrameResourceSize(photo)));

    // Clear every third tile of the drawing: its record turns into a gap.
    int tiles = static_cast<int>(quill::tile_count(*QI_FrameGetData(drawing)));
    for (int i = 0; i < tiles; i += 3) {
        memset(QI_FrameGetData(drawing)->workBuffer, 0xFF, 2048);
        quill::put_tile(drawing, i);
    }
    printf("\ncleared every third tile: the store still spans %lld bytes while locked\n",
           static_cast<long long>(QI_FrameResourceSize(drawing)));
    QI_FrameUnlock(drawing);
    QI_FrameUnlock(photo);
    printf("unlocked: the memory store was compacted to %lld bytes\n",
           static_cast<long long>(QI_FrameResourceSize(drawing)));
    show_swap_files(swapDir);

    QI_FrameLock(photo);
    int bad = count_mismatches(photo, grey_tile);
    QI_FrameUnlock(photo);
    printf("\nread the photo back from its swap file: %d of %lld tiles differ\n", bad,
           static_cast<long long>(quill::tile_count(*QI_FrameGetData(photo))));

    int frames = 0, highest = -1;
    QI_FrameLibraryInfo(&frames, &highest);
    printf("frames alive: %d (highest handle %d)\n", frames, highest);
    QI_FrameDelete(photo);
    printf("deleted the photo:\n");
    show_swap_files(swapDir);
    QI_CloseFrameFunctions();
    printf("library closed\n");
    if (argc <= 1)
        rmdir(swapDir);
    return written && bad == 0 ? 0 : 1;
}
