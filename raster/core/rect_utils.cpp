/*
 * rect_utils.cpp - line lengths and the arithmetic of inclusive rectangles.
 *
 * The routines read both inputs before writing the output, so an output may
 * alias an input. They keep no state.
 */
#include "rect_utils.h"

#include "../../base/raster_line.h"
#include "quillimg.h"

namespace quill {

int32_t color_kind(int32_t color) {
    if (color == -1)
        return 0;
    if (color == QI_COLOR_WHITE || color == QI_COLOR_BLACK)
        return 1;
    if ((static_cast<uint32_t>(color) & 0xFFFF00u) == 0x7F7F00u)
        return 2;
    return 4;
}

namespace {
int32_t max32(int32_t a, int32_t b) { return a > b ? a : b; }
int32_t min32(int32_t a, int32_t b) { return a < b ? a : b; }

// floor(v / 256) for any sign.
int32_t floor_div_256(int32_t v) {
    if (v >= 0)
        return v >> 8;
    uint32_t magnitude = static_cast<uint32_t>(-static_cast<int64_t>(v));
    return -static_cast<int32_t>((magnitude + 255u) >> 8);
}
} // namespace

bool rect_intersect(const QI_Rect &a, const QI_Rect &b, QI_Rect *out) {
    QI_Rect common{max32(a.left, b.left), max32(a.top, b.top), min32(a.right, b.right), min32(a.bottom, b.bottom)};
    if (common.left > common.right || common.top > common.bottom)
        return false;
    if (out)
        *out = common;
    return true;
}

bool rect_covers(const QI_Rect &a, const QI_Rect &b) {
    return a.left <= b.left && b.left <= a.right && a.left <= b.right && b.right <= a.right && a.top <= b.top &&
           b.top <= a.bottom && a.top <= b.bottom && b.bottom <= a.bottom;
}

int16_t rect_subtract(const QI_Rect &a, const QI_Rect &b, QI_Rect *out) {
    QI_Rect whole = a;
    QI_Rect common;
    if (!rect_intersect(whole, b, &common)) {
        out[0] = whole;
        return 1;
    }
    if (common.left == whole.left && common.top == whole.top && common.right == whole.right &&
        common.bottom == whole.bottom) {
        out[0] = common; // callers may look at the covered part
        return 0;
    }
    int16_t n = 0;
    if (whole.top != common.top)
        out[n++] = QI_Rect{whole.left, whole.top, whole.right, common.top - 1};
    if (whole.left != common.left)
        out[n++] = QI_Rect{whole.left, common.top, common.left - 1, common.bottom};
    if (whole.right != common.right)
        out[n++] = QI_Rect{common.right + 1, common.top, whole.right, common.bottom};
    if (whole.bottom != common.bottom)
        out[n++] = QI_Rect{whole.left, common.bottom + 1, whole.right, whole.bottom};
    return n;
}

} // namespace quill

using namespace quill;

extern "C" QI_API uint32_t QI_GetLineBWi(int32_t kind, int32_t width) {
    return raster_line_bytes(kind, width);
}

extern "C" QI_API int QI_IntersectRects(const QI_Rect *a, const QI_Rect *b, QI_Rect *out) {
    return rect_intersect(*a, *b, out) ? 1 : 0;
}

extern "C" QI_API int QI_RectAcoverB(const QI_Rect *a, const QI_Rect *b) { return rect_covers(*a, *b) ? 1 : 0; }

extern "C" QI_API void QI_AddRects(const QI_Rect *a, const QI_Rect *b, QI_Rect *out) {
    QI_Rect bound{min32(a->left, b->left), min32(a->top, b->top), max32(a->right, b->right),
                  max32(a->bottom, b->bottom)};
    *out = bound;
}

extern "C" QI_API int16_t QI_RectAsubB(const QI_Rect *a, const QI_Rect *b, QI_Rect *out) {
    return rect_subtract(*a, *b, out);
}

extern "C" QI_API void QI_RoundupScaledRect(QI_Rect *rect) {
    rect->left = floor_div_256(rect->left);
    rect->top = floor_div_256(rect->top);
    rect->right = floor_div_256(rect->right);
    rect->bottom = floor_div_256(rect->bottom);
}
