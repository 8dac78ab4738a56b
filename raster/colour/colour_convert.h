/*
 * colour_convert.h - the conversion engines behind QI_DmriBGRtoYUV and
 * QI_DmriYUVtoBGR, for library code that converts rasters of its own (the
 * palette builder converts its cell centres with the way back, the line
 * transfer of the file formats converts rows and palette entries).
 */
#ifndef QUILL_RASTER_COLOUR_COLOUR_CONVERT_H
#define QUILL_RASTER_COLOUR_COLOUR_CONVERT_H

#include <stdint.h>

namespace quill {

// Converts every pixel of a colour raster (height lines of
// raster_line_bytes(4, width) bytes) from (Y, U, V) to (B, G, R) in place; does
// nothing for a null raster or a size that cannot be walked.
void yuv_to_bgr_raster(uint8_t *raster, int32_t width, int32_t height);

// The way there: (B, G, R) to (Y, U, V), in place, on the same terms.
void bgr_to_yuv_raster(uint8_t *raster, int32_t width, int32_t height);

} // namespace quill

#endif
