/*
 * bilevel_views.h - the 1/2, 1/4 and 1/8 views of a bilevel frame, sampled
 * from the base's coded tiles and coded into the views' tiles a band at a
 * time (bilevel_views.cpp). views.cpp creates and chains the views.
 */
#ifndef QUILL_RASTER_CORE_BILEVEL_VIEWS_H
#define QUILL_RASTER_CORE_BILEVEL_VIEWS_H

#include <stdint.h>

namespace quill {

// The pixels at the even places of a 64-pixel word (pixel 0 in bit 63), as
// 32 pixels in its high half; the low half is 0.
uint64_t even_pixels(uint64_t pixels);

// The 64 pixels of a tile row of at most 128 pixels, given as its changing
// elements (ascending, each at most 128: what the T.6 decoder holds), taken
// at the even places: pixel i of the result (bit 63 - i, 1 white) is pixel
// 2i of the row. Pixels past the row's end come out white when the
// elements close the row's last black run, as the decoder's do.
uint64_t even_pixels_of_changes(const uint16_t *elements, uint32_t count);

// Fills views[0..2] (the 1/2, 1/4 and 1/8 views of the locked bilevel frame
// `base`: new, locked, without records, ceil(side / f) pixels a side) with
// view pixel (x, y) = base pixel (f x, f y). False when a base record
// cannot be read or decoded, a view tile cannot be coded or stored, or
// memory runs out; the views are then to be deleted.
bool fill_bilevel_views(int32_t base, const int32_t views[3]);

} // namespace quill

#endif
