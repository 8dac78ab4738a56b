/*
 * scaled_read.h - the scaled read: fills a raster of a given size and kind
 * from a region of a frame given in floating-point source coordinates,
 * reading from the deepest reduced view that the scale allows; and the
 * frame-to-frame stretch built on it. Shared by QI_FrameStretchBlt (its thin
 * shell in raster/ops), view updates, clones and the zoomed rendering of
 * views.
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

// How a scaled read samples: the frame or reduced view it reads, the region
// in that frame's coordinates, and whether the read is a straight copy
// (pixel i of an axis reads trunc(x0) + i) or nearest neighbour (pixel d
// reads floor(x0 + (d + 0.5) * (x1 - x0) / n)). False for an empty region.
// Engines that sample the way the scaled read does share these, so that
// their pixels agree with it exactly.
struct SampleChoice {
    int32_t frame;
    bool straight;
    double x0, y0, x1, y1;
    double scale; // the larger source-per-destination scale
};
bool choose_sampling(const ScaledRead &request, SampleChoice &choice);

// The source column of each of `width` destination columns and the source
// row of each of `height` rows under a choice; -1 outside the frame.
void sample_maps(const SampleChoice &choice, int32_t frameWidth, int32_t frameHeight, int32_t width, int32_t height,
                 int32_t *columnOf, int32_t *rowOf);

// The run [begin, end) of destination indices from `from` on whose source
// index lies in one tile; begin == n when no valid index is left.
void next_tile_run(const int32_t *map, int32_t n, int32_t from, int32_t &begin, int32_t &end);

// Counts, for scale to grey, the white pixels among the n x n samples of
// each of width x height destination pixels: the samples are the pixels a
// scaled read of the region into a bilevel raster n times finer would read
// (samples outside the frame count as white). The frame must be bilevel.
// Returns false when the frame cannot be locked, memory runs out or a tile
// read fails.
struct GreyCount {
    int32_t frame;
    double x0, y0, x1, y1;
    int32_t n;             // 4 or 8
    int32_t width, height; // destination size
    uint8_t *counts;       // width x height, 0 to n * n
};
bool grey_count_read(const GreyCount &request);

// A stretch of the rect (sx, sy, sw x sh) of frame `source` into the rect
// (dx, dy, dw x dh) of frame `destination`, with the colour keys of
// QI_FrameSetRect.
struct FrameStretch {
    int32_t destination;
    int32_t dx, dy, dw, dh;
    int32_t source;
    int32_t sx, sy, sw, sh;
    int32_t colourA, colourB;
    bool report; // send the share of destination tiles done (1 to 99)
    // Moves the source positions back by this many source pixels. A view
    // update takes (factor - 1) / 2, so that each destination pixel samples
    // the first source pixel of its block, as building the views does;
    // centred sampling picked the last but one and put an update's change
    // a pixel away from where a build puts it.
    double phase = 0;
};

// The stretch engine: destination tile by destination tile, a scaled read
// of the source share under it, by whole factors per axis (source /
// destination, truncated) for reductions and by the real ratio for
// enlargements. Sizes below 1 do nothing. Both frames must exist and the
// source kind must not exceed the destination's (the shell checks); both
// keep their lock state. False when a frame cannot be locked, memory runs
// out, or a tile transfer fails. The progress answers are not heeded: a
// stretch is part of larger operations (clones, view upkeep) that do not
// stop half way.
bool frame_stretch(const FrameStretch &stretch);

} // namespace quill

#endif
