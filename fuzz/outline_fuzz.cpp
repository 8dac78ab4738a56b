/*
 * outline_fuzz - feeds arbitrary rasters to the outline tracer, with and
 * without the object list. Whatever the pixels (and the padding bits), the
 * tracer must neither crash nor touch memory outside the raster block, and
 * what it returns must hold together: every contour inside the raster's
 * lattice with edges alternating horizontal and vertical, the first to the
 * right; the object list addressing every contour exactly once, outer
 * contour first. A violation aborts.
 *
 * Input: byte 0 bit 0 asks for the object list; bytes 1 and 2 give the
 * width, 1 + (little-endian value % 700); the rest are the rows, as many
 * whole rows of QV_GetLineBWi(1, width) bytes as there are.
 */
#include "quillvec.h"

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

namespace {

void require(bool condition) {
    if (!condition)
        abort();
}

uint32_t word_at(const uint8_t *p) {
    uint32_t w;
    memcpy(&w, p, 4);
    return w;
}

// Checks one contour at byte offset `at`; returns the offset after it.
size_t check_contour(const uint8_t *base, size_t at, int32_t width, int32_t height, bool flagsCleared) {
    const uint32_t word = word_at(base + at);
    const uint32_t n = word & ~QV_HOLE_FLAG;
    require(n >= 4 && n % 2 == 0);
    require(!(flagsCleared && (word & QV_HOLE_FLAG)));
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t a = word_at(base + at + 4 + 4 * size_t{i});
        const uint32_t b = word_at(base + at + 4 + 4 * size_t{(i + 1) % n});
        const int32_t ax = a & 0xFFFF, ay = a >> 16, bx = b & 0xFFFF, by = b >> 16;
        require(ax <= width && ay <= height);
        if (i % 2 == 0)
            require(ay == by && ax != bx && (i != 0 || bx > ax));
        else
            require(ax == bx && ay != by);
    }
    return at + 4 + 4 * size_t{n};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3 || size > (1u << 16))
        return 0;
    const bool withObjects = data[0] & 1;
    const int32_t width = 1 + static_cast<int32_t>((data[1] | data[2] << 8) % 700);
    const size_t line = QV_GetLineBWi(1, width);
    const int32_t height = static_cast<int32_t>((size - 3) / line);
    if (height == 0)
        return 0;
    // Exactly the block the tracer may use, so that the sanitizer sees any
    // access past it.
    const size_t block = static_cast<size_t>(height + 2) * QV_GetLineBWi(1, width + 2);
    std::vector<uint8_t> raster(block, 0xA5);
    memcpy(raster.data(), data + 3, static_cast<size_t>(height) * line);

    void *contours = nullptr, *objects = nullptr;
    const int32_t result = QV_BWDmriOutline(raster.data(), width, height, &contours, withObjects ? &objects : nullptr);
    require(result >= 0);
    if (result == 0) {
        require(contours == nullptr && objects == nullptr);
        return 0;
    }
    const uint8_t *base = static_cast<const uint8_t *>(contours);
    if (!withObjects) {
        size_t at = 0;
        for (int32_t c = 0; c < result; ++c)
            at = check_contour(base, at, width, height, false);
    } else {
        // Every contour once: outer contours without the flag are found by
        // walking the buffer as far as the list reaches.
        const uint8_t *list = static_cast<const uint8_t *>(objects);
        std::vector<uint32_t> offsets;
        size_t total = 0;
        for (int32_t o = 0; o < result; ++o) {
            const uint32_t n = word_at(list);
            require(n >= 1);
            for (uint32_t i = 0; i < n; ++i)
                offsets.push_back(word_at(list + 4 + 4 * size_t{i}));
            list += 4 + 4 * size_t{n};
            total += n;
        }
        std::vector<uint32_t> walked;
        size_t at = 0;
        for (size_t c = 0; c < total; ++c) {
            walked.push_back(static_cast<uint32_t>(at));
            at = check_contour(base, at, width, height, true);
        }
        std::vector<uint32_t> sorted = offsets;
        std::sort(sorted.begin(), sorted.end());
        require(sorted == walked);
    }
    qs_free(&contours);
    qs_free(&objects);
    return 0;
}
