/*
 * black_run_shells.cpp - QI_PackBlackRuns and QI_UnpackBlackRuns, the
 * exported shells over the black-run kernels of the codecs
 * (raster/codecs/black_runs.h).
 *
 * The shells check their pointers and that the run table was built (the
 * library is started), and QI_PackBlackRuns writes the pad mask into the
 * caller's row as its callers expect; the kernels themselves only read the
 * row. Decision: the shells live above the codecs, which export nothing,
 * so that the codec folder stays a set of kernels the core and the file
 * formats share.
 */
#include "../codecs/bilevel_tables.h"
#include "../codecs/black_runs.h"
#include "quillimg.h"

using namespace quill;

extern "C" QI_API uint16_t QI_PackBlackRuns(uint16_t *pairs, uint8_t *row, uint16_t width) {
    if (!pairs || !row || !g_runTable)
        return 0;
    if (width & 7) {
        uint8_t &last = row[width >> 3];
        last = static_cast<uint8_t>(last | (0xFFu >> (width & 7)));
    }
    return static_cast<uint16_t>(pack_black_runs(row, width, pairs, g_runTable));
}

extern "C" QI_API void QI_UnpackBlackRuns(uint8_t *row, uint16_t width, const uint16_t *pairs, uint16_t count) {
    if (!row || (count && !pairs))
        return;
    unpack_black_runs(row, width, pairs, count);
}
