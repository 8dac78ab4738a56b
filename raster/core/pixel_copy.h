/*
 * pixel_copy.h - the one pixel-copy engine behind rectangles, clones, views
 * and stretching.
 *
 * A PixelCopier is set up once for a source kind, a destination kind and the
 * two colour keys, then copies rows: a run of pixels from one row to another,
 * either straight (source pixel sx + i to destination pixel dx + i) or
 * through a column table (destination pixel dx + i takes source pixel
 * columns[i]).
 *
 * Colour keys A and B (the library's 32-bit colours, -1 for none):
 *  - bilevel source: A is painted where the source is white, B where it is
 *    black; -1 keeps the destination pixel; A = B = -1 copies white as white
 *    and black as black;
 *  - grey or colour source: B is a transparent key (pixels equal to it are
 *    not copied; a grey source compares only the key's low byte); A is not
 *    used.
 * Kinds convert on the way: bilevel to grey 255/0, bilevel or grey to colour
 * (level, 127, 127), colour to grey by its first byte, grey or colour to
 * bilevel white at 128 and above. Bilevel destinations change only the bits
 * of the pixels copied; pad bits keep their value.
 */
#ifndef QUILL_RASTER_CORE_PIXEL_COPY_H
#define QUILL_RASTER_CORE_PIXEL_COPY_H

#include <stdint.h>

namespace quill {

class PixelCopier {
public:
    PixelCopier(int32_t sourceKind, int32_t destinationKind, int32_t colourA, int32_t colourB);

    // Copies `count` pixels from source pixel sx of `source` to destination
    // pixel dx of `destination`.
    void row(const uint8_t *source, int32_t sx, uint8_t *destination, int32_t dx, int32_t count) const;

    // Copies `count` pixels to destination pixel dx onwards, pixel i taken
    // from source pixel columns[i].
    void row_indexed(const uint8_t *source, const int32_t *columns, uint8_t *destination, int32_t dx,
                     int32_t count) const;

    // Copies `rows` rows of `count` pixels, source rows `sourceLine` bytes
    // apart and destination rows `destinationLine` apart: a tile's share of
    // a rectangle in one call, whole bytes at a time where the copy allows.
    void block(const uint8_t *source, uint32_t sourceLine, int32_t sx, uint8_t *destination,
               uint32_t destinationLine, int32_t dx, int32_t count, int32_t rows) const;

    // True when the copy keeps some destination pixels.
    bool keeps_destination() const { return keeps_; }

private:
    // What a bilevel source pixel does to its destination pixel.
    enum class Action : uint8_t { Keep, Paint };

    bool plain_bilevel() const;
    void bilevel_to_bilevel(const uint8_t *source, int32_t sx, uint8_t *destination, int32_t dx,
                            int32_t count) const;
    void store_pixel(uint8_t *destination, int32_t dx, const uint8_t *value) const;
    // The destination bytes of source pixel x; false when it is transparent.
    bool pixel_value(const uint8_t *source, int32_t x, uint8_t value[3]) const;

    int32_t sourceKind_;
    int32_t destinationKind_;
    bool keeps_ = false;
    // Bilevel source: action and destination value for white and black.
    Action whiteAction_ = Action::Paint, blackAction_ = Action::Paint;
    uint8_t white_[3] = {0, 0, 0}, black_[3] = {0, 0, 0};
    // Grey or colour source: transparent key.
    bool keyed_ = false;
    uint8_t key_[3] = {0, 0, 0};
};

// The bytes of a colour value in a pixel of `kind` (bilevel: 1 for white).
void colour_to_pixel(int32_t colour, int32_t kind, uint8_t out[3]);

} // namespace quill

#endif
