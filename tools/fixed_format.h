/*
 * fixed_format.h - doubles as fixed-point text, the way printf("%.Nf")
 * writes them, without printf's cost (see fixed_format.c).
 */
#ifndef QUILL_TOOLS_FIXED_FORMAT_H
#define QUILL_TOOLS_FIXED_FORMAT_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Room for any value that quill_format_fixed writes. */
#define QUILL_FIXED_MAX 352

/* Writes v with `decimals` digits after the point (clamped to 0 .. 6) into
 * out (at least QUILL_FIXED_MAX bytes), exactly as snprintf("%.*f") does,
 * and returns its length (the terminating zero is written but not
 * counted). */
size_t quill_format_fixed(char *out, double v, int decimals);

#ifdef __cplusplus
}
#endif

#endif
