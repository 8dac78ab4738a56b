/*
 * dmri.cpp - whole raw rasters: kind conversion and vertical flip.
 */
#include "../../base/holder.h"
#include "../../base/raster_line.h"
#include "pixel_copy.h"
#include "quillimg.h"

#include <string.h>

using namespace quill;

extern "C" QI_API void QI_DmriConvert(const uint8_t *source, int32_t width, int32_t height, int32_t sourceKind,
                                      uint8_t *destination, int32_t destinationKind) {
    if (!source || !destination || width < 1 || height < 1)
        return;
    uint32_t sourceLine = raster_line_bytes(sourceKind, width);
    if (sourceKind == destinationKind) {
        memcpy(destination, source, static_cast<size_t>(sourceLine) * height);
        return;
    }
    uint32_t destinationLine = raster_line_bytes(destinationKind, width);
    PixelCopier copier(sourceKind, destinationKind, -1, -1);
    for (int32_t y = 0; y < height; ++y)
        copier.row(source + static_cast<size_t>(y) * sourceLine, 0, destination + static_cast<size_t>(y) * destinationLine,
                   0, width);
}

extern "C" QI_API int QI_DmriFlipVert(uint8_t *raster, uint32_t lineBytes, uint32_t lines) {
    if (lineBytes == 0 || lines == 0)
        return 1;
    if (!raster)
        return 0;
    HeapBlock<uint8_t> temporary(lineBytes);
    if (!temporary)
        return 0;
    for (uint32_t i = 0; i < lines / 2; ++i) {
        uint8_t *top = raster + static_cast<size_t>(i) * lineBytes;
        uint8_t *bottom = raster + static_cast<size_t>(lines - 1 - i) * lineBytes;
        memcpy(temporary.get(), top, lineBytes);
        memcpy(top, bottom, lineBytes);
        memcpy(bottom, temporary.get(), lineBytes);
    }
    return 1;
}
