/* The public headers compile as plain C99, and the shipped shared libraries
 * link and run from C: start, a frame in memory, a frame in a swap file,
 * stop. Exits non-zero on any failure. */
#include "quillimg.h"
#include "quillstd.h"
#include "quillvec.h"

#include <stdio.h>

#define CHECK(cond)                                                   \
    do {                                                              \
        if (!(cond)) {                                                \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
            return 1;                                                 \
        }                                                             \
    } while (0)

int main(void) {
    void *block = qs_malloc(10);
    QI_Rect a = {0, 0, 9, 9}, b = {9, 9, 20, 20}, out;
    int memory, swap, count = -1, highest = -2;
    CHECK(block != NULL);
    qs_free(&block);
    CHECK(block == NULL);
    CHECK(qs_dround(2.5) == 3 && qs_dround(-2.5) == -2);
    CHECK(QV_GetLineBWi(1, 17) == 4 && QI_GetLineBWi(4, 4) == 12);
    /* One black pixel in a 3 x 3 raster (rows of 2 bytes, room for the
     * frame of 5 rows of 2 bytes): one contour of 4 corners. */
    {
        uint8_t raster[10] = {0xFF, 0xFF, 0xBF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
        void *contours = NULL;
        const uint32_t *words;
        CHECK(QV_BWDmriOutline(raster, 3, 3, &contours, NULL) == 1);
        words = (const uint32_t *)contours;
        CHECK(words[0] == 4 && words[1] == (1u | 1u << 16) && words[3] == (2u | 2u << 16));
        qs_free(&contours);
    }
    CHECK(QI_IntersectRects(&a, &b, &out) == 1 && out.left == 9 && out.bottom == 9);
    CHECK(QI_InitFrameFunctions("", ".", NULL) == 1);
    memory = QI_FrameCreate(300, 200, QI_KIND_BILEVEL, QI_STORAGE_MEMORY, NULL, 0);
    swap = QI_FrameCreate(300, 200, QI_KIND_GREY, QI_STORAGE_SWAP, NULL, 0);
    CHECK(memory == 0 && swap == 1);
    CHECK(QI_FrameLock(swap) == 1 && QI_FrameGetData(swap)->locked == 1);
    CHECK(QI_FrameUnlock(swap) == 1);
    QI_FrameLibraryInfo(&count, &highest);
    CHECK(count == 2 && highest == 1);
    CHECK(QI_FrameDelete(memory) == 1);
    CHECK(QI_CloseFrameFunctions() == 1);
    puts("C interface: ok");
    return 0;
}
