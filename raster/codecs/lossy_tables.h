/*
 * lossy_tables.h - the tables the lossy block coding of grey and colour tiles
 * works with ("YX" modes): the two file images and the work areas derived
 * from them.
 *
 * The codec only reads and prepares them; loading the two data files from
 * the data directory is the frame core's job (raster/core/yx_tables.h),
 * since it goes through the core's platform files. Decision: the table
 * record lives here, below the core, so that the lossy coder depends on
 * nothing above its own folder; rejected, passing the tables to every call
 * (every tile transfer would carry six pointers for one global state that
 * the library's start and stop already own).
 */
#ifndef QUILL_RASTER_CODECS_LOSSY_TABLES_H
#define QUILL_RASTER_CODECS_LOSSY_TABLES_H

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

// The library's one set of tables (defined by the lossy coder); all
// pointers null while the data files are not loaded.
extern YXTables g_yx;

// Derives the coder's working tables from the two file images: fills the
// prepared table from them, then adds 128 (modulo 256) to every byte of the
// inverse table. Defined by the lossy tile coder (tile_lossy.cpp), which
// documents the prepared table's layout.
void yx_prepare_tables(YXTables &tables);

} // namespace quill

#endif
