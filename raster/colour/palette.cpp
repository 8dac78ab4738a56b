/*
 * palette.cpp - palette objects: QI_PaletteCreate, QI_PaletteDelete,
 * QI_DmriToPaletteColors and QI_BW_DmriToPaletteColors.
 *
 * A palette object carries what mapping a pixel needs so that it costs one
 * lookup: the inverse colour map (for each of the 64 x 64 x 64 cells of
 * (Y, U, V) the entry nearest to the cell's centre, 256 KB), the grey map
 * (the nearest grey entry for each grey level) and three 8 x 8 ordered-
 * dither tables. Building the colour map is the costly part (262144
 * nearest-entry searches), so it is kept in a cache file keyed by the exact
 * colour list (palette_cache.cpp) and built only when that does not serve.
 *
 * Building: the cell centres (4i + 2 in each component) are laid out as a
 * colour raster in map order, Y fastest, converted to (B, G, R) by the same
 * engine as QI_DmriYUVtoBGR, and searched in 16 chunks of 16384 cells with
 * a progress report before each (palette_kernels.cpp). The reports go out
 * as notices: a cancel answer does not stop the build, since a palette half
 * built is of no use and the host would only ask again.
 *
 * Decisions:
 *  - A count below 1, or null colours, gives null; counts above 256 are cut
 *    to 256 (a map entry is one byte).
 *  - `levels` below 1 counts as 1 (amplitude 254, as for 0).
 *  - Failures of the cache file never fail the create; that includes the
 *    file layer running out of memory for a file it opens, which it reports
 *    as a file that cannot be opened. Every allocation of the create's own
 *    (map, centres, object, colours, grey map) gives null with everything
 *    released.
 *  - The mapping functions take a null palette or raster as nothing to do;
 *    modes below 0 map plainly as modes 0 and 1 do; a width whose line
 *    length would not fit 32 bits is refused like an empty size.
 */
#include "quillimg.h"

#include "../../base/holder.h"
#include "../../base/raster_line.h"
#include "../core/progress.h"
#include "colour_convert.h"
#include "palette_cache.h"
#include "palette_kernels.h"

#include <limits.h>
#include <string.h>

namespace quill {

namespace {

constexpr int kMaxColours = 256;
constexpr int kBuildChunks = 16;
constexpr size_t kChunkCells = kColourMapCells / kBuildChunks;
constexpr int32_t kMaxWidth = INT32_MAX / 3;

// The cell centres in map order (Y fastest, then U, then V) as (Y, U, V).
void fill_cell_centres(uint8_t *raster) {
    uint8_t *p = raster;
    for (int v = 0; v < 64; ++v)
        for (int u = 0; u < 64; ++u)
            for (int y = 0; y < 64; ++y, p += 3) {
                p[0] = static_cast<uint8_t>(4 * y + 2);
                p[1] = static_cast<uint8_t>(4 * u + 2);
                p[2] = static_cast<uint8_t>(4 * v + 2);
            }
}

// Builds the inverse colour map; false when memory runs out.
bool build_colour_map(const uint8_t *colours, int count, uint8_t *map) {
    progress_notify(0);
    progress_notify(progress_message(kMsgNewPalette));
    HeapBlock<uint8_t> centres(3 * kColourMapCells);
    if (!centres)
        return false;
    fill_cell_centres(centres.get());
    yuv_to_bgr_raster(centres.get(), static_cast<int32_t>(kColourMapCells), 1);
    for (int c = 0; c < kBuildChunks; ++c) {
        progress_notify(100 * c / kBuildChunks + 1);
        nearest_entries(centres.get() + 3 * kChunkCells * c, kChunkCells, colours, count,
                        map + kChunkCells * c);
    }
    return true;
}

// The index a single (Y, U, V) pixel maps to.
uint8_t index_of(const uint8_t *colourMap, uint8_t y, uint8_t u, uint8_t v) {
    uint8_t pixel[4] = {y, u, v, 0};
    colour_to_indices(pixel, sizeof pixel, sizeof pixel, 1, 1, colourMap, nullptr, 0, 0);
    return pixel[0];
}

void release(PaletteObject *palette) {
    heap_release(palette->colours);
    heap_release(palette->greyMap);
    heap_release(palette->colourMap);
    heap_release(palette);
}

bool mappable(const void *raster, int32_t width, int32_t height, const PaletteObject *palette) {
    return raster && palette && width > 0 && height > 0 && width <= kMaxWidth;
}

} // namespace

} // namespace quill

using namespace quill;

extern "C" QI_API PaletteObject *QI_PaletteCreate(const uint8_t *colours, int32_t count, int32_t levels,
                                                  const char *cacheFile) {
    if (!colours || count < 1)
        return nullptr;
    const int n = count > kMaxColours ? kMaxColours : count;
    HeapBlock<uint8_t> colourMap(kColourMapCells);
    if (!colourMap)
        return nullptr;
    if (!palette_cache_read(cacheFile, colours, n, colourMap.get())) {
        if (!build_colour_map(colours, n, colourMap.get()))
            return nullptr;
        palette_cache_write(cacheFile, colours, n, colourMap.get());
        progress_notify(100);
    }
    HeapBlock<PaletteObject> object(1);
    HeapBlock<uint8_t> copy(4 * static_cast<size_t>(n));
    HeapBlock<uint8_t> greyMap(256);
    if (!object || !copy || !greyMap)
        return nullptr;
    PaletteObject &p = object[0];
    memset(&p, 0, sizeof p);
    p.count = static_cast<uint16_t>(n);
    memcpy(copy.get(), colours, 4 * static_cast<size_t>(n));
    int greys = build_grey_map(colours, n, greyMap.get());
    fill_bilevel_dither(p.bilevelDither);
    fill_dither(dither_amplitude(levels), p.colourDither);
    fill_dither(dither_amplitude(greys), p.greyDither);
    p.greyDitherTable = p.greyDither;
    p.blackIndex = index_of(colourMap.get(), 0, 127, 127);
    p.whiteIndex = index_of(colourMap.get(), 255, 127, 127);
    p.colours = copy.release();
    p.greyMap = greyMap.release();
    p.colourMap = colourMap.release();
    return object.release();
}

extern "C" QI_API void QI_PaletteDelete(PaletteObject *palette) {
    if (palette)
        release(palette);
}

extern "C" QI_API void QI_DmriToPaletteColors(uint8_t *raster, int32_t width, int32_t height, int32_t kind,
                                              const PaletteObject *palette, int32_t mode, int32_t x0,
                                              int32_t y0) {
    if (!mappable(raster, width, height, palette) || (kind != 2 && kind != 4))
        return;
    const size_t stride = raster_line_bytes(kind, width);
    // Positions are taken modulo 8 in unsigned arithmetic: a negative
    // origin then lands on the right table column without overflow.
    const uint32_t ux = static_cast<uint32_t>(x0), uy = static_cast<uint32_t>(y0);
    if (kind == 4) {
        colour_to_indices(raster, stride, raster_line_bytes(2, width), width, height, palette->colourMap,
                          mode >= 2 ? palette->colourDither : nullptr, ux, uy);
    } else if (mode == 3) {
        grey_dither_to_bilevel(raster, stride, raster_line_bytes(1, width), width, height, palette->bilevelDither,
                               ux, uy);
    } else if (mode >= 2) {
        grey_dither_to_indices(raster, stride, height, palette->greyDither, palette->greyMap, ux, uy);
    } else {
        grey_to_indices(raster, stride * static_cast<size_t>(height), palette->greyMap);
    }
}

extern "C" QI_API void QI_BW_DmriToPaletteColors(const uint8_t *source, int32_t width, int32_t height,
                                                 uint8_t *destination, const PaletteObject *palette) {
    if (!destination || !mappable(source, width, height, palette))
        return;
    bilevel_to_indices(source, raster_line_bytes(1, width), width, height, destination, raster_line_bytes(3, width),
                       palette->whiteIndex, palette->blackIndex);
}
