/*
 * yx_tables.h - the tables of the lossy colour tile coding ("YX" modes).
 *
 * They come from two data files in the data directory, "magadan.XY" (the
 * forward table) and "urupinsk.XY" (the inverse table), 262144 bytes each.
 * The files are optional: without them the library runs with plain coding
 * only. This module loads and sizes them; the tile coder prepares what it
 * derives from them through yx_prepare_tables.
 */
#ifndef QUILL_RASTER_CORE_YX_TABLES_H
#define QUILL_RASTER_CORE_YX_TABLES_H

#include <stdint.h>

namespace quill {

constexpr uint32_t kYXFileBytes = 262144;

struct YXTables {
    uint8_t *codeBuffer;  // 4096 bytes: escapes of the component being coded
    uint8_t *small;       // 512 bytes: sign bits of the component being coded
    uint8_t *forward;     // 262144 bytes, "magadan.XY"
    uint8_t *inverse;     // 262144 bytes, "urupinsk.XY"
    uint8_t *prepared;    // 1024 bytes derived from the forward table
    uint8_t *coefficients; // 16384 bytes: quantised values, 4096 per component
};

extern YXTables g_yx;

// Loads both files from `dataDir`; false (and nothing held) when either is
// missing or short or memory runs out.
bool yx_tables_load(const char *dataDir);
void yx_tables_release();

// Derives the coder's working tables from the two file images: fills the
// prepared table from them, then adds 128 (modulo 256) to every byte of the
// inverse table. Defined by the lossy tile coder (tile_lossy.cpp), which
// documents the prepared table's layout.
void yx_prepare_tables(YXTables &tables);

} // namespace quill

#endif
