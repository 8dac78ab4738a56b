/*
 * draw.h - the drawing operations that other operations build on.
 */
#ifndef QUILL_RASTER_OPS_DRAW_H
#define QUILL_RASTER_OPS_DRAW_H

#include "quillimg.h"

#include <stdint.h>

namespace quill {

// QI_FrameDrawRect for callers inside the library: the frame exists, `rect`
// may be null (the whole frame).
bool frame_draw_rect(int32_t frame, const QI_Rect *rect, uint32_t colour, int32_t mode, bool outside);

// QI_FrameFillPoly for callers inside the library, telling polygons that
// miss the frame (nothing to do) from a failure.
enum class FillResult { Done, Missed, Failed };
// Paints the polygons black (even-odd) into a bilevel buffer that holds
// `pixelsRect` of their space (its left and top are the buffer's pixel 0
// and row 0); what lies outside the rect is clipped. False for a set that
// fails its checks or memory.
bool fill_polygons_into(const void *polygons, bool integerPoints, uint8_t *pixels, const QI_Rect &pixelsRect);

FillResult frame_fill_poly(int32_t frame, const void *polygons, bool integerPoints, uint32_t colour, bool outside,
                           QI_Rect *touched);

// QI_DmriUniformFill's kernel: the raster exists, width and height are at
// least 1, kind is 1 to 4 and the colour is not the "no colour" 0xFFFFFFFF.
void uniform_fill(uint8_t *pixels, int32_t width, int32_t height, uint32_t colour, int32_t kind);

} // namespace quill

#endif
