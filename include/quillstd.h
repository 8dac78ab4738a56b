/*
 * quillstd.h - base services shared by quillimg, quillvec and the host.
 *
 * One heap for every block that crosses a library boundary, one rounding
 * rule, and the conversion between 16-bit and 32-bit polygon points.
 *
 * Polygon layouts (little-endian, no padding):
 *   Wpoly:  int32 count n, then n points of (uint16 x, uint16 y)   4 + 4n bytes
 *   DWpoly: int32 count n, then n points of (int32 x, int32 y)     4 + 8n bytes
 *
 * Usable from C and C++. On Windows the functions keep fixed ordinals 2..8.
 */
#ifndef QUILLSTD_H
#define QUILLSTD_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(QUILLSTD_BUILD)
#    define QS_API __declspec(dllexport)
#  else
#    define QS_API __declspec(dllimport)
#  endif
#else
#  define QS_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Resizes the block *block to `size` bytes; it may move.
 * block (in/out): address of the caller's pointer. When *block is null the
 *   call allocates like qs_malloc.
 * Returns 1 when the block was resized and *block updated; 0 on failure, in
 * which case *block still holds the old, intact block (still the caller's).
 * A size of 0 releases the block, sets *block to null and returns 1, so the
 * caller's variable never holds a released address. A null `block` returns 0.
 */
QS_API int qs_realloc(void **block, uint32_t size);

/*
 * Allocates `size` bytes (0 is taken as 1) from the shared heap, contents
 * undefined. Returns the block, owned by the caller (release with qs_free),
 * or null when memory runs out.
 */
QS_API void *qs_malloc(uint32_t size);

/*
 * Releases *block (nothing when it is null) and sets *block to null.
 */
QS_API void qs_free(void **block);

/*
 * Widens a Wpoly to a new DWpoly, adding (dx, dy) to every point. The 16-bit
 * coordinates are read as unsigned before the offset is added; the sums wrap
 * in 32-bit two's complement. Returns the new DWpoly (the caller's, release
 * with qs_free), or null for a null `wpoly`, a negative count or one whose
 * DWpoly would not fit 2^31 bytes, or when memory runs out. `wpoly` is not
 * changed.
 */
QS_API void *qs_WpolyToDWpoly(const void *wpoly, int32_t dx, int32_t dy);

/*
 * Narrows a DWpoly to a Wpoly in place: every coordinate keeps its low 16
 * bits. The block keeps its size; its first 4 + 4n bytes are the Wpoly.
 * Nothing happens for a null pointer.
 */
QS_API void qs_DWpolyToWpoly(void *dwpoly);

/* Rounds halves towards plus infinity: 2.5 -> 3, -2.5 -> -2, -2.6 -> -3.
 * Results beyond the int32 range clamp to INT32_MIN or INT32_MAX; a NaN
 * gives INT32_MIN. */
QS_API int32_t qs_dround(double x);

/* 1 when x > 0, 0 when x == 0 (also -0.0), -1 when x < 0; a NaN gives 1. */
QS_API int32_t qs_dsign(double x);

#ifdef __cplusplus
}
#endif

#endif /* QUILLSTD_H */
