/*
 * rounding.cpp - the library-wide rounding rule: halves go towards plus
 * infinity (floor(x + 0.5) computed without the addition's double rounding).
 */
#include "quillstd.h"

#include <math.h>

extern "C" QS_API int32_t qs_dround(double x) {
    double whole = floor(x);
    if (x - whole >= 0.5)
        whole += 1.0;
    // Outside the int32 range (or NaN) the result is undefined; clamp so that
    // the conversion itself is never undefined behaviour.
    if (!(whole >= -2147483648.0))
        return INT32_MIN;
    if (whole > 2147483647.0)
        return INT32_MAX;
    return static_cast<int32_t>(whole);
}

extern "C" QS_API int32_t qs_dsign(double x) {
    if (x == 0.0)
        return 0;
    // A NaN is unordered: it falls through to 1 like a positive value.
    return x < 0.0 ? -1 : 1;
}
