/*
 * colour_convert.cpp - conversions of colour rasters between blue-green-red
 * bytes and the library's luminance-chrominance form: QI_DmriBGRtoYUV,
 * QI_DmriYUVtoBGR and QI_SwapBlueRed.
 *
 * The way there multiplies (B, G, R) by the matrix M (in 1/1024)
 *      Y = ( 117 B + 601 G + 306 R) >> 10
 *      U = ( 512 B - 339 G - 173 R + 127 * 1024) >> 10
 *      V = (- 83 B - 429 G + 512 R + 127 * 1024) >> 10
 * and clamps each result to 0..255. The way back applies the adjugate of M
 * divided by det M = -253731840 to (Y, U - 127, V - 127):
 *      B = (-247785 Y - 438986 u -    239 v) * 1024 / det
 *      G = (-247785 Y +  85302 u + 176913 v) * 1024 / det
 *      R = (-247785 Y +    310 u - 347375 v) * 1024 / det
 * the sums in 32 bits (their magnitude stays below 2^27 for byte inputs),
 * the scaling and the division in 64 bits, truncated towards zero, then
 * clamped. The two are not exact inverses: a byte can come back one or two
 * below where it started (pure blue 255 returns as 253), but black and
 * white go both ways exactly.
 *
 * Both work in place, pixel by pixel along lines of QI_GetLineBWi(4, width)
 * bytes; the pad bytes at the end of a line are not touched.
 *
 * Decisions:
 *  - A sum below 0 is clamped before the shift, not shifted: shifting a
 *    negative value right is not a portable division, and the clamp to 0
 *    that follows would give the same byte anyway.
 *  - A null raster, a width or height below 1, or a width whose line
 *    would not fit 32 bits, does nothing: these functions have no result
 *    to report a refusal with.
 */
#include "colour_convert.h"
#include "../../base/raster_line.h"

#include "quillimg.h"

#include <limits.h>
#include <stddef.h>
#include <stdint.h>

namespace quill {

namespace {

constexpr int32_t kNeutralScaled = 127 * 1024; // 130048
constexpr int64_t kDeterminant = -253731840;

inline uint8_t clamp_byte(int64_t v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

inline uint8_t shifted_byte(int32_t sum) { return clamp_byte(sum < 0 ? 0 : sum >> 10); }

void bgr_to_yuv_line(uint8_t *p, int32_t width) {
    for (int32_t x = 0; x < width; ++x, p += 3) {
        int32_t b = p[0], g = p[1], r = p[2];
        p[0] = shifted_byte(117 * b + 601 * g + 306 * r);
        p[1] = shifted_byte(512 * b - 339 * g - 173 * r + kNeutralScaled);
        p[2] = shifted_byte(-83 * b - 429 * g + 512 * r + kNeutralScaled);
    }
}

inline uint8_t back_byte(int32_t sum) { return clamp_byte(static_cast<int64_t>(sum) * 1024 / kDeterminant); }

void yuv_to_bgr_line(uint8_t *p, int32_t width) {
    for (int32_t x = 0; x < width; ++x, p += 3) {
        int32_t y = p[0], u = p[1] - 127, v = p[2] - 127;
        p[0] = back_byte(-247785 * y - 438986 * u - 239 * v);
        p[1] = back_byte(-247785 * y + 85302 * u + 176913 * v);
        p[2] = back_byte(-247785 * y + 310 * u - 347375 * v);
    }
}

// Applies `line` to every line of a colour raster that can be walked.
void each_colour_line(uint8_t *raster, int32_t width, int32_t height, void (*line)(uint8_t *, int32_t)) {
    if (!raster || width < 1 || height < 1 || width > INT32_MAX / 3)
        return;
    size_t stride = raster_line_bytes(4, width);
    for (int32_t y = 0; y < height; ++y)
        line(raster + static_cast<size_t>(y) * stride, width);
}

} // namespace

void yuv_to_bgr_raster(uint8_t *raster, int32_t width, int32_t height) {
    each_colour_line(raster, width, height, yuv_to_bgr_line);
}

void bgr_to_yuv_raster(uint8_t *raster, int32_t width, int32_t height) {
    each_colour_line(raster, width, height, bgr_to_yuv_line);
}

} // namespace quill

using namespace quill;

extern "C" QI_API void QI_DmriBGRtoYUV(uint8_t *raster, int32_t width, int32_t height) {
    bgr_to_yuv_raster(raster, width, height);
}

extern "C" QI_API void QI_DmriYUVtoBGR(uint8_t *raster, int32_t width, int32_t height) {
    yuv_to_bgr_raster(raster, width, height);
}

extern "C" QI_API void QI_SwapBlueRed(uint8_t *pixel) {
    if (!pixel)
        return;
    uint8_t first = pixel[0];
    pixel[0] = pixel[2];
    pixel[2] = first;
}
