/*
 * fixed_format.c - doubles as fixed-point text for the vectoriser's SVG and
 * DXF output, identical to printf("%.Nf").
 *
 * Algorithm: the value is scaled by 10^N in double precision and split into
 * its whole part and its fraction; the whole part, rounded by the fraction,
 * is written digit by digit with the point put in. The scaling rounds, so
 * the result is trusted only where the rounding cannot change the answer:
 * below 2^31 after scaling the product is within 2^-22 of the exact one, and
 * a fraction farther than 10^-6 from one half rounds the same way as the
 * exact value. Everything else (ties and near-ties, large or non-finite
 * values, which printf rounds on the exact binary value) goes to snprintf,
 * so the text is always printf's own.
 *
 * Decision: this rather than printf for every coordinate: printf's general
 * conversion (multi-precision digits) took 8 % of `quill vectorise` on the
 * standard page, for some ten million numbers; this takes well under 1 %.
 * Rejected: a shortest-round-trip formatter, which would change the files.
 */
#include "fixed_format.h"

#include <math.h>
#include <stdint.h>
#include <stdio.h>

static const double kScale[7] = {1, 10, 100, 1000, 10000, 100000, 1000000};

/* "00" to "99": two digits a division (a division a digit was an eighth
 * of the formatting's instructions). */
static const char kPairs[201] = "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
                                "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
                                "8081828384858687888990919293949596979899";

static size_t by_printf(char *out, double v, int decimals) {
    const int n = snprintf(out, QUILL_FIXED_MAX, "%.*f", decimals, v);
    return n < 0 ? 0 : (size_t)n < QUILL_FIXED_MAX ? (size_t)n : QUILL_FIXED_MAX - 1;
}

size_t quill_format_fixed(char *out, double v, int decimals) {
    char digits[24];
    size_t len = 0, d = 0;
    double whole, fraction, scaled;
    uint64_t units;
    decimals = decimals < 0 ? 0 : decimals > 6 ? 6 : decimals;
    if (!isfinite(v))
        return by_printf(out, v, decimals);
    scaled = fabs(v) * kScale[decimals];
    if (!(scaled < 2147483648.0))
        return by_printf(out, v, decimals);
    whole = floor(scaled);
    fraction = scaled - whole; /* exact below 2^52 */
    if (fabs(fraction - 0.5) < 1e-6)
        return by_printf(out, v, decimals);
    units = (uint64_t)whole + (fraction > 0.5);
    /* Digits from the last, two at a time while more follow, then the
     * leading one or two, then zeros up to decimals + 1 digits. */
    while (units >= 100) {
        const unsigned pair = (unsigned)(units % 100);
        units /= 100;
        digits[d++] = kPairs[2 * pair + 1];
        digits[d++] = kPairs[2 * pair];
    }
    if (units >= 10) {
        digits[d++] = kPairs[2 * units + 1];
        digits[d++] = kPairs[2 * units];
    } else if (units > 0 || d == 0) {
        digits[d++] = (char)('0' + units);
    }
    while (d <= (size_t)decimals)
        digits[d++] = '0';
    if (signbit(v))
        out[len++] = '-';
    while (d > (size_t)decimals)
        out[len++] = digits[--d];
    if (decimals > 0) {
        out[len++] = '.';
        while (d > 0)
            out[len++] = digits[--d];
    }
    out[len] = '\0';
    return len;
}
