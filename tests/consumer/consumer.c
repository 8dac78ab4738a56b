/*
 * consumer.c - a small host built against an installed Quill, as a user
 * builds one: it includes the installed headers, links the installed
 * libraries (through find_package or pkg-config) and uses all three.
 *
 * Usage: consumer DATA_DIR SWAP_DIR OUT.yx
 * DATA_DIR "-" takes QUILL_INSTALLED_DATA_DIR, which the build gets from
 * the installed package (the CMake package's QUILL_DATA_DIR, or the .pc
 * file's datadir variable).
 * Starts the library with the installed data directory and checks that the
 * lossy coding tables came with it (the YX state takes mode 2 only then),
 * saves a lossy grey frame to OUT.yx (for the installed quill tool to load),
 * traces the outline of a black square with quillvec and frees the result
 * with quillstd's qs_free. Prints "consumer: ok" and exits 0 when all holds.
 */
#include "quillimg.h"
#include "quillstd.h"
#include "quillvec.h"

#include <stdio.h>
#include <string.h>

static int fail(const char *what) {
    fprintf(stderr, "consumer: %s\n", what);
    return 1;
}

static int lossy_frame_saved(const char *name) {
    QI_Rect band = {40, 30, 199, 89};
    int frame = QI_FrameCreate(256, 160, 2, QI_STORAGE_SWAP, NULL, 0);
    int ok;
    if (frame < 0)
        return 0;
    ok = QI_FrameGetData(frame)->mode == 2 && QI_FrameDrawRect(frame, NULL, 0xC0, 1, 0) == 1 &&
         QI_FrameDrawRect(frame, &band, 0x20, 1, 0) == 1 && QI_FrameFileSave(frame, name) == 1;
    QI_FrameDelete(frame);
    return ok;
}

static int square_traced(void) {
    enum { kSide = 64 };
    /* The tracer reworks the block in place into the raster framed by one
     * pixel: it must hold kSide + 2 rows of the wider line. */
    uint8_t bits[(kSide + 2) * 10];
    void *contours = NULL;
    int y, n;
    uint32_t line = QV_GetLineBWi(1, kSide);
    memset(bits, 0xFF, sizeof bits);
    for (y = 16; y < 48; ++y)
        memset(bits + y * line + 2, 0x00, 4); /* pixels 16..47 black */
    n = QV_BWDmriOutline(bits, kSide, kSide, &contours, NULL);
    qs_free(&contours);
    return n == 1 && contours == NULL;
}

#ifndef QUILL_INSTALLED_DATA_DIR
#define QUILL_INSTALLED_DATA_DIR ""
#endif

int main(int argc, char **argv) {
    const char *data;
    int ok;
    if (argc != 4)
        return fail("usage: consumer DATA_DIR SWAP_DIR OUT.yx");
    data = strcmp(argv[1], "-") == 0 ? QUILL_INSTALLED_DATA_DIR : argv[1];
    if (QI_InitFrameFunctions(data, argv[2], NULL) != 1)
        return fail("the library did not start");
    QI_YXstateSwitch(2);
    if (QI_GetYXstate() != 2) {
        QI_CloseFrameFunctions();
        return fail("the lossy coding tables are not in the data directory given");
    }
    ok = lossy_frame_saved(argv[3]);
    QI_CloseFrameFunctions();
    if (!ok)
        return fail("could not save a lossy grey frame");
    if (!square_traced())
        return fail("the outline of a square is not one contour");
    printf("consumer: ok\n");
    return 0;
}
