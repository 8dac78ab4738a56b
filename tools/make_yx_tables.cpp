/*
 * make_yx_tables.cpp - writes the two data files of the lossy tile coding:
 * "magadan.XY" (the forward table F) and "urupinsk.XY" (the inverse table
 * G), 262144 bytes each.
 *
 * Usage: make_yx_tables [-v] OUTPUT_DIRECTORY   (-v prints the scales)
 * The build runs it (target yx_data) into <build>/data. Exit status 0 when
 * both files were written and every check below held.
 *
 * What the coding does with the tables (raster/codecs/tile_lossy.cpp):
 *  - forward: a block of 64 pixels x_k (k = 8 * row + column) gives 16
 *    coefficients c_j = (sum_k F[k][x_k][j]) >> 5, taken modulo 256 as a
 *    signed byte. F[k][x][j] is the byte at 4096 * k + 16 * x + j, summed
 *    as an unsigned value 0..255.
 *  - inverse: G[j][c][k] is the byte at 16384 * j + 64 * c + k (c the
 *    coefficient as a byte 0..255); the library adds 128 to every byte at
 *    load, then reads them as signed bytes. A block whose coefficients 1..15
 *    are all 0 becomes (c_0 + 128) mod 256 everywhere; any other block gets,
 *    per pixel, the term of the lowest non-zero coefficient plus the sum
 *    modulo 256 (as a signed byte) of the other terms, and the pixel is
 *    128 + 2 * that, clamped to 0..255.
 *
 * The transform is the 2-D DCT-II of the 8 x 8 block restricted to its 16
 * lowest frequencies, u (across) and v (down) in 0..3, coefficient
 * j = 4 * v + u. With that numbering the coding's plane order
 * 0,1,4,5,2,8,6,9,10,3,12,7,13,11,14,15 visits the frequencies shell by
 * shell, max(u, v) = 0, 1, 2, 3, each shell from its pure horizontal and
 * vertical pair inwards: (0,0); (1,0) (0,1) (1,1); (2,0) (0,2) (2,1) (1,2)
 * (2,2); ... so low frequencies come first, and the two first harmonics
 * (j = 1 and 4) are the planes that the finest quantisation (shift 0) of
 * modes 2 and 3 keeps for the first component. The orthonormal basis is
 * B_j(k) = a(u) a(v) cos((2x + 1) u pi / 16) cos((2y + 1) v pi / 16),
 * a(0) = 1/sqrt(8), a(n > 0) = 1/2, with D_j = sum_k B_j(k) x_k.
 *
 * Scaling of the coefficients:
 *  - c_0 = mean - 128, rounded: that is the only scale under which the
 *    flat-block rule (c_0 + 128) mod 256 gives the block's value back, and
 *    it spans exactly the signed byte. The general path takes the DC term as
 *    G[0][c][k] = c / 2 (exact: every mode quantises plane 0 with a shift of
 *    at least 1, so decoded c_0 is even), matching the flat rule.
 *  - c_j = s_j * D_j for j > 0, with s_j as large as two hard limits allow,
 *    because the quantisation step of the coding is fixed in coefficient
 *    units (2^q), so a larger s_j is a finer step in pixel terms:
 *      (a) F bytes hold 32 * c contributions (">> 5"): one pixel's
 *          contribution over x = 0..255 must span at most 255, so
 *          s_j <= 1 / (32 * max_k |B_j(k)|);
 *      (b) c_j must never wrap: the largest |D_j| of any block of 0..255
 *          pixels is 127.5 * sum_k |B_j(k)| (pixels 255 where B_j > 0, 0
 *          elsewhere), so s_j <= 127 / (127.5 * sum_k |B_j(k)|), checked
 *          exactly on the finished integer table (the largest sum is the sum
 *          of each pixel's largest byte).
 *    Both give s_j of about 0.13 to 0.15 (one coefficient unit is about 7
 *    units of the orthonormal D_j). Rejected: letting (b) go to gain a finer
 *    step. A wrapped coefficient flips the block's pattern, and the blocks
 *    that reach the limit, a black/white edge lined up with the block, are
 *    the commonest blocks of text and line art.
 *  - Rounding inside F: for each (x, j) the 64 bytes are rounded as running
 *    sums over k (each byte is round(R_k) - round(R_{k-1}) of the exact
 *    running sum R_k), so a flat block of any value sums exactly: its AC
 *    coefficients are exactly 0 and its c_0 exactly x - 128. Flat blocks
 *    (and the flat parts that edge completion makes) then decode through
 *    the flat rule without any ripple. A bias of 16 (a quarter unit per
 *    pixel) makes ">> 5" round instead of floor. Rejected: rounding each
 *    byte on its own; flat blocks then come out with AC values of +-1.
 *
 * The inverse table: for j > 0, G[j][c][k] = round((c + d_j * sign(c)) /
 * s_j * B_j(k) / 2) (the /2 undoes the coding's factor 2); the generator
 * checks that every term fits a signed byte (the largest is about 119).
 * The coding quantises toward zero: a decoded c stands for the values
 * c .. c + 2^q - 1 (for c > 0), so the reconstruction may be moved out by
 * d_j. Coefficients 1 and 4 keep a shift of 0 in modes 2 and 3 (first
 * component), where any offset is pure error, so d = 0 for them; the others
 * get d = 0.25. Measured with bench/lossy_bench.cpp (mode 2, first
 * component): d = 0.25 against d = 0 gains 0.00 to 0.06 dB on the six
 * benchmark images; d = 0.5 gains up to 0.02 dB more on five of them but
 * loses 0.05 dB on the grey texture (granite), and d = 1 loses on most.
 *
 * Where the rest of the gap to the float ceiling goes (granite, mode 2, MSE
 * per pixel; ceiling 35.6): integer coefficients from F 36.8, the mode's
 * quantisation shifts 42.0, the byte arithmetic of G (each term rounded to
 * a step of 2 pixel levels) 43.5, that is 0.87 dB in all; on the other
 * images 0.2 to 0.5 dB (first component). The scale limits (a) and (b)
 * leave no room to make the quantisation step finer.
 *
 * File bytes: F[k][x][j] is stored as 128 + (the contribution in 1/32
 * units), 0..255; the 64 offsets of 128 sum to 8192 = 256 * 32, which
 * vanishes modulo 256 after ">> 5". G is stored as term - 128 (mod 256),
 * so that the library's +128 at load gives the term back. The coder sums
 * F bytes as unsigned values; with the offset of 128 that is a signed sum
 * of the contributions. Rejected: storing the contributions as signed
 * bytes without the offset; the sums differ by 8 per negative byte after
 * ">> 5", so the coder and the tables would have to agree on a second
 * reading of a byte, for no gain in range.
 */
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

namespace {

constexpr int kTableBytes = 262144;
constexpr double kPi = 3.14159265358979323846;
// Added to every F byte before rounding: 64 * 0.25 = 16 = half of the >> 5.
constexpr double kRoundBias = 0.25;
// Reconstruction offset (in coefficient units) of the planes quantised
// with a shift of 1 or more; see the header.
constexpr double kCentreOffset = 0.25;

double basis(int j, int k) {
    int u = j & 3, v = j >> 2, x = k & 7, y = k >> 3;
    double au = u == 0 ? sqrt(1.0 / 8.0) : 0.5;
    double av = v == 0 ? sqrt(1.0 / 8.0) : 0.5;
    return au * av * cos((2 * x + 1) * u * kPi / 16.0) * cos((2 * y + 1) * v * kPi / 16.0);
}

struct Design {
    double scale[16]; // s_j; scale[0] unused (the DC has its own rule)
};

// One F byte before rounding: the contribution of pixel k at value x to
// 32 * c_j, centred on 127.5 (the AC basis sums to 0 over k, so the centre
// does not change the sum; it keeps the bytes symmetric in 0..255).
double forward_real(const Design &d, int k, int x, int j) {
    if (j == 0)
        return 32.0 * (x - 128) / 64.0 + kRoundBias;
    return 32.0 * d.scale[j] * basis(j, k) * (x - 127.5) + kRoundBias;
}

// Builds F; false when a byte falls outside 0..255 (the scale is too large).
bool build_forward(const Design &d, std::vector<uint8_t> &f) {
    f.assign(kTableBytes, 0);
    for (int j = 0; j < 16; ++j)
        for (int x = 0; x < 256; ++x) {
            double running = 0;
            long before = 0;
            for (int k = 0; k < 64; ++k) {
                running += forward_real(d, k, x, j);
                long now = lround(running);
                long value = 128 + (now - before);
                before = now;
                if (value < 0 || value > 255)
                    return false;
                f[4096 * k + 16 * x + j] = static_cast<uint8_t>(value);
            }
        }
    return true;
}

// The exact range of sum_k F[k][x_k][j] - 8192 over all blocks: each pixel
// picks its value independently, so the extremes are sums of per-pixel
// extremes. The coefficient never wraps when floor(range / 32) stays within
// -128..127.
bool coefficient_fits(const std::vector<uint8_t> &f, int j) {
    long lo = 0, hi = 0;
    for (int k = 0; k < 64; ++k) {
        int mn = 255, mx = 0;
        for (int x = 0; x < 256; ++x) {
            int b = f[4096 * k + 16 * x + j];
            mn = b < mn ? b : mn;
            mx = b > mx ? b : mx;
        }
        lo += mn - 128;
        hi += mx - 128;
    }
    return lo >= -4096 && hi <= 4095;
}

// The coefficients of a block through F, as the coding computes them.
void transform(const std::vector<uint8_t> &f, const uint8_t *block, int out[16]) {
    for (int j = 0; j < 16; ++j) {
        unsigned sum = 0;
        for (int k = 0; k < 64; ++k)
            sum += f[4096 * k + 16 * block[k] + j];
        out[j] = static_cast<int8_t>(static_cast<uint8_t>(sum >> 5));
    }
}

// Builds G; false when a term does not fit a signed byte.
bool build_inverse(const Design &d, std::vector<uint8_t> &g) {
    g.assign(kTableBytes, 0);
    for (int j = 0; j < 16; ++j)
        for (int c = -128; c < 128; ++c)
            for (int k = 0; k < 64; ++k) {
                long term;
                if (j == 0) {
                    term = c >> 1; // exact for the even c_0 that decoding sees
                } else if (c == 0) {
                    term = 0; // never looked up
                } else {
                    double offset = (j == 1 || j == 4) ? 0.0 : kCentreOffset;
                    double cc = c + (c > 0 ? offset : -offset);
                    term = lround(cc / d.scale[j] * basis(j, k) / 2.0);
                    if (term < -128 || term > 127)
                        return false;
                }
                g[16384 * j + 64 * (c & 255) + k] = static_cast<uint8_t>((term - 128) & 255);
            }
    return true;
}

bool write_file(const char *dir, const char *name, const std::vector<uint8_t> &bytes) {
    char path[4096];
    if (snprintf(path, sizeof path, "%s/%s", dir, name) >= static_cast<int>(sizeof path))
        return false;
    FILE *file = fopen(path, "wb");
    if (!file) {
        fprintf(stderr, "make_yx_tables: cannot create %s\n", path);
        return false;
    }
    bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    ok = fclose(file) == 0 && ok;
    if (!ok)
        fprintf(stderr, "make_yx_tables: cannot write %s\n", path);
    return ok;
}

} // namespace

int main(int argc, char **argv) {
    bool verbose = argc == 3 && strcmp(argv[1], "-v") == 0;
    if (argc != 2 && !verbose) {
        fprintf(stderr, "usage: make_yx_tables [-v] OUTPUT_DIRECTORY\n");
        return 2;
    }
    const char *outDir = argv[argc - 1];
    Design design;
    design.scale[0] = 0;
    for (int j = 1; j < 16; ++j) {
        double peak = 0, spread = 0;
        for (int k = 0; k < 64; ++k) {
            peak = fmax(peak, fabs(basis(j, k)));
            spread += fabs(basis(j, k));
        }
        double byteLimit = 1.0 / (32.0 * peak);        // limit (a)
        double wrapLimit = 127.0 / (127.5 * spread);   // limit (b)
        design.scale[j] = fmin(byteLimit, wrapLimit);
    }

    // Rounding can push a limit by a hair: shrink a coefficient's scale by
    // 0.1 % steps until its bytes fit and its sums cannot wrap.
    std::vector<uint8_t> f;
    for (int attempt = 0;; ++attempt) {
        bool ok = build_forward(design, f);
        int bad = -1;
        for (int j = 1; ok && j < 16 && bad < 0; ++j)
            if (!coefficient_fits(f, j))
                bad = j;
        if (ok && bad < 0 && coefficient_fits(f, 0))
            break;
        if (attempt == 100) {
            fprintf(stderr, "make_yx_tables: no scale fits\n");
            return 1;
        }
        for (int j = 1; j < 16; ++j)
            if (!ok || j == bad)
                design.scale[j] *= 0.999;
    }

    // Flat blocks must come out as pure DC: c_0 = x - 128, the rest 0.
    for (int x = 0; x < 256; ++x) {
        uint8_t block[64];
        memset(block, x, sizeof block);
        int c[16];
        transform(f, block, c);
        for (int j = 0; j < 16; ++j)
            if (c[j] != (j == 0 ? static_cast<int8_t>(static_cast<uint8_t>(x - 128)) : 0)) {
                fprintf(stderr, "make_yx_tables: flat block %d gives c[%d] = %d\n", x, j, c[j]);
                return 1;
            }
    }

    std::vector<uint8_t> g;
    if (!build_inverse(design, g)) {
        fprintf(stderr, "make_yx_tables: an inverse term does not fit a byte\n");
        return 1;
    }
    if (verbose)
        for (int j = 1; j < 16; ++j)
            printf("s[%2d] = %.5f (u %d, v %d)\n", j, design.scale[j], j & 3, j >> 2);
    if (!write_file(outDir, "magadan.XY", f) || !write_file(outDir, "urupinsk.XY", g))
        return 1;
    return 0;
}
