/*
 * quill_demo - what a host does with the frame store, through the public C
 * interface only: draw a large engineering drawing, keep it as a frame in a
 * swap file, build its reduced views, show a thumbnail made by stretching
 * (thin lines survive the reduction), clone a part to grey, and check that
 * every pixel reads back as it was written.
 *
 * Usage: quill_demo [swap directory]   (default: a fresh directory in /tmp)
 * The data files of the lossy colour coding are taken from the build's data
 * directory, or from $QUILL_DATA_DIR when it is set.
 */
#define _POSIX_C_SOURCE 200809L
#include "quillimg.h"
#include "quillstd.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

/* A sheet at 400 dpi of about 15 x 10.5 inches; a thumbnail of 94 x 35
 * characters. The reductions (63 and 120) stay below the tile side, so every
 * tile has rows and columns of its own in the thumbnail. */
enum { kWidth = 6000, kHeight = 4200, kThumbWidth = 94, kThumbHeight = 35 };

static void set_black(uint8_t *raster, uint32_t line, int x, int y) {
    if (x >= 0 && y >= 0 && x < kWidth && y < kHeight)
        raster[(size_t)y * line + (size_t)(x >> 3)] &= (uint8_t)~(0x80u >> (x & 7));
}

static void box(uint8_t *r, uint32_t line, int x0, int y0, int x1, int y1, int thickness) {
    for (int t = 0; t < thickness; ++t) {
        for (int x = x0; x <= x1; ++x) {
            set_black(r, line, x, y0 + t);
            set_black(r, line, x, y1 - t);
        }
        for (int y = y0; y <= y1; ++y) {
            set_black(r, line, x0 + t, y);
            set_black(r, line, x1 - t, y);
        }
    }
}

static void circle(uint8_t *r, uint32_t line, int cx, int cy, int radius) {
    /* A one-pixel outline: the pixels whose distance rounds to the radius. */
    for (int y = -radius - 1; y <= radius + 1; ++y)
        for (int x = -radius - 1; x <= radius + 1; ++x) {
            long d2 = (long)x * x + (long)y * y, lo = (long)(radius - 1) * (radius - 1), hi = (long)radius * radius;
            if (d2 > lo && d2 <= hi)
                set_black(r, line, cx + x, cy + y);
        }
}

/* A drawing sheet: frame and title block, a part outline, holes, hatching. */
static void draw_sheet(uint8_t *r, uint32_t line) {
    memset(r, 0xFF, (size_t)line * kHeight);
    box(r, line, 40, 40, kWidth - 41, kHeight - 41, 10);
    box(r, line, kWidth - 1700, kHeight - 600, kWidth - 41, kHeight - 41, 4);
    box(r, line, 600, 530, 4130, 2870, 3);
    for (int i = 0; i < 6; ++i)
        circle(r, line, 1130 + i * 566, 1700, 200);
    for (int k = 0; k < 1300; k += 26) /* one-pixel hatching */
        for (int t = 0; t < 730; ++t)
            set_black(r, line, 4600 + k / 2 + t, 600 + t + k / 3);
    for (int x = 600; x <= 4130; ++x) /* a one-pixel centre line */
        set_black(r, line, x, 1701);
}

static void show_swap_files(const char *dir) {
    int shown = 0;
    DIR *listing = opendir(dir);
    struct dirent *entry;
    while (listing && (entry = readdir(listing)) != NULL) {
        const char *dot = strrchr(entry->d_name, '.');
        char path[600];
        struct stat info;
        if (!dot || strcmp(dot, ".qsw") != 0)
            continue;
        snprintf(path, sizeof path, "%s/%s", dir, entry->d_name);
        if (stat(path, &info) == 0)
            printf("    swap file %s: %lld bytes\n", entry->d_name, (long long)info.st_size);
        ++shown;
    }
    if (listing)
        closedir(listing);
    if (!shown)
        printf("    (no swap files)\n");
}

static int pixel_white(const uint8_t *r, uint32_t line, int x, int y) {
    return (r[(size_t)y * line + (size_t)(x >> 3)] >> (7 - (x & 7))) & 1;
}

/* A smooth grey picture kept losslessly (mode 1) and with the lossy block
 * coding (modes 2 to 4): the sizes, and how close the pixels stay. */
static void show_grey_codings(void) {
    enum { w = 1200, h = 900 };
    uint32_t line = QI_GetLineBWi(QI_KIND_GREY, w);
    uint8_t *picture = qs_malloc(line * h), *back = qs_malloc(line * h);
    if (!picture || !back)
        return;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            int dx = x - 600, dy = y - 450;
            int t = (x / 5 + y / 7 + (dx * dx + dy * dy) / 2000) % 512; /* a triangle wave: no hard edges */
            picture[(size_t)y * line + (size_t)x] = (uint8_t)(t < 256 ? t : 511 - t);
        }
    printf("\na %d x %d grey picture in each coding (%u bytes raw):\n", w, h, line * h);
    for (int mode = 1; mode <= 4; ++mode) {
        int frame = QI_FrameCreate(w, h, QI_KIND_GREY, QI_STORAGE_MEMORY, NULL, mode);
        double squared = 0;
        if (frame < 0) {
            printf("    mode %d: not available (no data files)\n", mode);
            continue;
        }
        QI_FrameLock(frame);
        QI_FrameSetRect(frame, NULL, picture, QI_KIND_GREY, -1, -1);
        QI_FrameGetRect(frame, NULL, back);
        QI_FrameUnlock(frame);
        for (size_t i = 0; i < (size_t)line * h; ++i)
            squared += (double)(picture[i] - back[i]) * (picture[i] - back[i]);
        if (squared == 0)
            printf("    mode %d: %8lld bytes, every pixel exact\n", mode, (long long)QI_FrameResourceSize(frame));
        else
            printf("    mode %d: %8lld bytes, mean squared error %.2f\n", mode,
                   (long long)QI_FrameResourceSize(frame), squared / ((double)w * h));
        QI_FrameDelete(frame);
    }
    qs_free((void **)&picture);
    qs_free((void **)&back);
}

static int fail(const char *what) {
    fprintf(stderr, "quill_demo: %s failed\n", what);
    return 1;
}

int main(int argc, char **argv) {
    char made[] = "/tmp/quill-demo-XXXXXX";
    const char *swapDir = argc > 1 ? argv[1] : mkdtemp(made);
    uint32_t line = QI_GetLineBWi(QI_KIND_BILEVEL, kWidth);
    uint8_t *sheet = qs_malloc(line * kHeight), *back = qs_malloc(line * kHeight);
    uint8_t thumb[kThumbHeight * 16];
    int page, icon, detail, frames = 0, highest = -1, view;

    const char *dataDir = getenv("QUILL_DATA_DIR") ? getenv("QUILL_DATA_DIR") : QUILL_DEMO_DATA_DIR;
    if (!swapDir || !sheet || !back || !QI_InitFrameFunctions(dataDir, swapDir, NULL))
        return fail("start");
    printf("Quill frame store demo (swap directory %s)\n\n", swapDir);

    draw_sheet(sheet, line);
    page = QI_FrameCreate(kWidth, kHeight, QI_KIND_BILEVEL, QI_STORAGE_SWAP, NULL, 0);
    if (page < 0 || !QI_FrameLock(page) || !QI_FrameSetRect(page, NULL, sheet, QI_KIND_BILEVEL, -1, -1))
        return fail("writing the sheet");
    QI_FrameUnlock(page);
    printf("drew a %d x %d bilevel sheet (%u bytes raw) into frame %d, kept in a swap file:\n", kWidth, kHeight,
           line * kHeight, page);
    printf("    %lld bytes of tile records (white tiles keep none)\n", (long long)QI_FrameResourceSize(page));
    show_swap_files(swapDir);

    icon = QI_FrameCreate(kThumbWidth, kThumbHeight, QI_KIND_BILEVEL, QI_STORAGE_MEMORY, NULL, 0);
    if (icon < 0 || !QI_FrameStretchBlt(icon, 0, 0, kThumbWidth, kThumbHeight, page, 0, 0, kWidth, kHeight, -1, -1))
        return fail("stretching");
    QI_FrameLock(icon);
    QI_FrameGetRect(icon, NULL, thumb);
    QI_FrameUnlock(icon);
    printf("\nthumbnail stretched from the sheet, 1/%d across and 1/%d down\n(reductions fold the rows and columns they skip, so one-pixel lines stay):\n", kWidth / kThumbWidth,
           kHeight / kThumbHeight);
    for (int y = 0; y < kThumbHeight; ++y) {
        char text[kThumbWidth + 1];
        for (int x = 0; x < kThumbWidth; ++x)
            text[x] = pixel_white(thumb, QI_GetLineBWi(1, kThumbWidth), x, y) ? ' ' : '#';
        text[kThumbWidth] = 0;
        printf("    |%s|\n", text);
    }

    if (!QI_FrameViewOptimize(page, 1))
        return fail("building the views");
    printf("\nbuilt the reduced views for fast zoomed-out reads:");
    for (view = QI_FrameGetData(page)->nextView; view != -1; view = QI_FrameGetData(view)->nextView)
        printf(" %d x %d", QI_FrameGetData(view)->width, QI_FrameGetData(view)->height);
    printf("\n    frame and views hold %lld bytes\n", (long long)QI_FrameResourceSize(page));


    {
        QI_Rect part = {600, 530, 4130, 2870};
        detail = QI_FrameClone(page, &part, QI_KIND_GREY, QI_STORAGE_MEMORY);
        if (detail < 0)
            return fail("cloning");
        printf("\ncloned the part drawing as grey: frame %d, %d x %d, %lld bytes\n", detail,
               QI_FrameGetData(detail)->width, QI_FrameGetData(detail)->height,
               (long long)QI_FrameResourceSize(detail));
    }

    show_grey_codings();

    QI_FrameLock(page);
    if (!QI_FrameGetRect(page, NULL, back))
        return fail("reading the sheet");
    QI_FrameUnlock(page);
    {
        long differ = 0;
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                differ += pixel_white(sheet, line, x, y) != pixel_white(back, line, x, y);
        printf("read the whole sheet back from its swap file: %ld of %ld pixels differ\n", differ,
               (long)kWidth * kHeight);
        if (differ)
            return fail("the round trip");
    }

    QI_FrameLibraryInfo(&frames, &highest);
    printf("frames alive: %d, views included (highest handle %d)\n", frames, highest);
    QI_FrameDelete(page);
    printf("deleted the sheet and its views:\n");
    show_swap_files(swapDir);
    QI_CloseFrameFunctions();
    printf("library closed\n");
    qs_free((void **)&sheet);
    qs_free((void **)&back);
    if (argc <= 1)
        rmdir(swapDir);
    return 0;
}
