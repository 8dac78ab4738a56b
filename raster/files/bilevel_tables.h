/*
 * bilevel_tables.h - the tables of the bilevel run codecs, built at library
 * start: the 4096-byte per-byte run table, and the decoding tables of the
 * modified Huffman and two-dimensional codes.
 *
 * The library lifecycle calls these in its start and stop sequence; the run
 * codec fills the tables. A failed build fails the library start.
 */
#ifndef QUILL_RASTER_FILES_BILEVEL_TABLES_H
#define QUILL_RASTER_FILES_BILEVEL_TABLES_H

#include <stdint.h>

namespace quill {

constexpr uint32_t kRunTableBytes = 4096;

extern uint8_t *g_runTable;

bool bilevel_run_table_create();
void bilevel_run_table_release();
bool bilevel_code_tables_create();
void bilevel_code_tables_release();

} // namespace quill

#endif
