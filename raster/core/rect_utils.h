/*
 * rect_utils.h - the arithmetic of inclusive rectangles that the library
 * uses inside (the exported QI_IntersectRects, QI_RectAcoverB and
 * QI_RectAsubB are shells over these), and colour kinds.
 */
#ifndef QUILL_RASTER_CORE_RECT_UTILS_H
#define QUILL_RASTER_CORE_RECT_UTILS_H

#include "quillimg.h"

#include <stdint.h>

namespace quill {

// The smallest pixel kind that can hold a colour value: 0 for no colour (-1),
// 1 for pure white or black, 2 for a neutral grey, 4 for anything else.
int32_t color_kind(int32_t color);

// The common part of a and b, stored in *out when out is not null; false
// (out untouched) when they do not meet. out may alias a or b.
bool rect_intersect(const QI_Rect &a, const QI_Rect &b, QI_Rect *out);

// True when a covers b wholly.
bool rect_covers(const QI_Rect &a, const QI_Rect &b);

// a less b as up to four rectangles in out (above, left, right, below);
// returns their number. When b misses a, out[0] is a and 1 is returned;
// when b covers a, out[0] is a and 0 is returned.
int16_t rect_subtract(const QI_Rect &a, const QI_Rect &b, QI_Rect *out);

} // namespace quill

#endif
