/*
 * stretch.cpp - QI_FrameStretchBlt, the validating shell over the stretch
 * engine of the core (raster/core/scaled_read.h).
 *
 * The shell checks the sizes, the two handles and the kinds (a source kind
 * above the destination's would lose what the destination cannot hold),
 * announces the operation, and lets the engine walk the destination tiles;
 * the engine reports the share of tiles done (1 to 99) and the shell ends
 * with 100. Clones and view upkeep call the engine straight, under their
 * own announcements.
 */
#include "../core/progress.h"
#include "../core/scaled_read.h"
#include "../core/tiles.h"

using namespace quill;

extern "C" QI_API int QI_FrameStretchBlt(int dst, int dx, int dy, int dw, int dh, int src, int sx, int sy, int sw,
                                         int sh, int32_t colourA, int32_t colourB) {
    if (sw < 1 || sh < 1 || dw < 1 || dh < 1)
        return 1;
    QI_FrameRecord *source = frame_lookup(src), *destination = frame_lookup(dst);
    if (!source || !destination || source->kind > destination->kind)
        return 0;
    progress_begin(kMsgStretch);
    bool ok = frame_stretch(FrameStretch{dst, dx, dy, dw, dh, src, sx, sy, sw, sh, colourA, colourB, true});
    progress_report(100);
    return ok ? 1 : 0;
}
