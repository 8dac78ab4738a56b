/*
 * black_runs.h - kernels that convert between packed bilevel rows and
 * black-run lists; QI_PackBlackRuns and QI_UnpackBlackRuns are their shells,
 * and the T.6 coder (ccitt.h) uses them on tile and strip rows.
 *
 * Bilevel row: bit 7 of byte 0 is pixel 0; 1 is white, 0 black. A black-run
 * list is a sequence of pairs (start, end): start is the first black pixel of
 * a run, end the first pixel after it.
 */
#ifndef QUILL_RASTER_CODECS_BLACK_RUNS_H
#define QUILL_RASTER_CODECS_BLACK_RUNS_H

#include <stdint.h>

namespace quill {

// Finds the black runs of the first `width` pixels of `row`, reading
// (width + 7) / 8 bytes and taking the pixels past the width as white
// without writing them. Writes the pairs to `pairs`, which must hold
// (width + 1) / 2 pairs (the most a row can have), and returns their number.
// The pairs ascend and never touch (no end equals the next start).
// `runTable` is the per-byte run table (bilevel_tables.h).
uint32_t pack_black_runs(const uint8_t *row, uint32_t width, uint16_t *pairs, const uint8_t *runTable);

// Sets the row's ((width + 15) / 16) * 2 bytes to white and clears the pixels
// of each pair, clipped to the width; pairs left empty by the clipping (such
// as a closing pair (width, width), or a start of 0xFFFF) are skipped. Pairs
// may come in any order and may overlap.
void unpack_black_runs(uint8_t *row, uint32_t width, const uint16_t *pairs, uint32_t count);

// Draws a row given as changing elements (ascending, each at most the
// width; even ones turn white to black, odd ones back): what the T.6
// decoder keeps. Writes the row's ((width + 15) / 16) * 2 bytes, pad bits
// white. An odd count leaves the row black from the last element on.
void draw_changes(uint8_t *row, uint32_t width, const uint16_t *elements, uint32_t count);

} // namespace quill

#endif
