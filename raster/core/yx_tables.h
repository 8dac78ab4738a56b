/*
 * yx_tables.h - loading the tables of the lossy colour tile coding ("YX"
 * modes).
 *
 * They come from two data files in the data directory, "magadan.XY" (the
 * forward table) and "urupinsk.XY" (the inverse table), 262144 bytes each.
 * The files are optional: without them the library runs with plain coding
 * only. This module loads and sizes them into g_yx (the table record of the
 * codec, raster/codecs/lossy_tables.h); the tile coder prepares what it
 * derives from them through yx_prepare_tables.
 */
#ifndef QUILL_RASTER_CORE_YX_TABLES_H
#define QUILL_RASTER_CORE_YX_TABLES_H

#include "../codecs/lossy_tables.h"

#include <stdint.h>

namespace quill {

// Loads both files from `dataDir`; false (and nothing held) when either is
// missing or short or memory runs out.
bool yx_tables_load(const char *dataDir);
void yx_tables_release();

} // namespace quill

#endif
