/*
 * quillvec.h - the vectorisation library over bilevel rasters.
 *
 * Bilevel rows are stored top row first, one bit a pixel (leftmost pixel in
 * the most significant bit, 1 white, 0 black), each row padded to 16 bits.
 * Blocks that the library hands out come from qs_malloc and are released
 * with qs_free. Usable from C and C++; not thread-safe.
 */
#ifndef QUILLVEC_H
#define QUILLVEC_H

#include <stdint.h>
#include "quillstd.h"

#if defined(_WIN32)
#  if defined(QUILLVEC_BUILD)
#    define QV_API __declspec(dllexport)
#  else
#    define QV_API __declspec(dllimport)
#  endif
#else
#  define QV_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Bytes of one raster line of `width` pixels of `kind` (low 8 bits count),
 * the same rule as the raster library's: kind 1 gives 2 * ceil(width / 16),
 * kinds 2 and 3 width rounded up to 4, other kinds 3 * width rounded up to 4.
 */
QV_API uint32_t QV_GetLineBWi(int32_t kind, int32_t width);

#ifdef __cplusplus
}
#endif

#endif /* QUILLVEC_H */
