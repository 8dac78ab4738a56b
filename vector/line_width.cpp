/*
 * line_width.cpp - the byte length of a bilevel (or other) raster line, for
 * hosts that size the rasters they hand to the tracer.
 */
#include "quillvec.h"

#include "../base/raster_line.h"

extern "C" QV_API uint32_t QV_GetLineBWi(int32_t kind, int32_t width) {
    return quill::raster_line_bytes(kind, width);
}
