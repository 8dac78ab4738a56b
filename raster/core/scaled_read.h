/*
 * scaled_read.h - the scaled read: fills a raster of a given size and kind from
 * a region of a frame given in floating-point source coordinates, reading
 * from the deepest reduced view that the scale allows. Shared by stretching,
 * view updates, clones and the zoomed rendering of views.
 */
#ifndef QUILL_RASTER_CORE_SCALED_READ_H
#define QUILL_RASTER_CORE_SCALED_READ_H

#include <stdint.h>

namespace quill {

struct ScaledRead {
    int32_t frame;            // source frame (its views are used too)
    int32_t colourA, colourB; // colour keys, as for QI_FrameSetRect
    double x0, y0, x1, y1;    // source region, half open: x0 <= x < x1
    uint8_t *buffer;          // destination raster
    int32_t kind;             // destination kind
    int32_t width, height;    // destination size in pixels
};

// Destination pixels whose source lies outside the frame are left as they
// are. Returns false when a frame cannot be locked or a tile read fails.
bool scaled_read(const ScaledRead &request);

} // namespace quill

#endif
