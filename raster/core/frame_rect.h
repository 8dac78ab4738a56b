/*
 * frame_rect.h - the rectangle walks behind QI_FrameGetRect and
 * QI_FrameSetRect, for callers that have already validated their arguments.
 */
#ifndef QUILL_RASTER_CORE_FRAME_RECT_H
#define QUILL_RASTER_CORE_FRAME_RECT_H

#include "quillimg.h"

#include <stdint.h>

namespace quill {

// The rect to work on: the whole frame for null, else `rect` when it lies
// inside the frame; false otherwise.
bool frame_whole_rect(const QI_FrameRecord &f, const QI_Rect *rect, QI_Rect &out);

// The frame is locked and the rect inside it.
bool frame_get_rect(int32_t frame, const QI_Rect &rect, uint8_t *raster);
bool frame_set_rect(int32_t frame, const QI_Rect &rect, const uint8_t *raster, int32_t kind, int32_t colourA,
                    int32_t colourB);

} // namespace quill

#endif
