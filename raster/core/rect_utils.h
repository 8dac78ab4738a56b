/*
 * rect_utils.h - internal helpers of the rectangle utilities.
 */
#ifndef QUILL_RASTER_CORE_RECT_UTILS_H
#define QUILL_RASTER_CORE_RECT_UTILS_H

#include <stdint.h>

namespace quill {

// The smallest pixel kind that can hold a colour value: 0 for no colour (-1),
// 1 for pure white or black, 2 for a neutral grey, 4 for anything else.
int32_t color_kind(int32_t color);

} // namespace quill

#endif
