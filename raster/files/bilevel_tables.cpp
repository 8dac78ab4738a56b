/*
 * bilevel_tables.cpp - allocation of the bilevel codec tables.
 *
 * The run table is allocated here, at start, so that an allocation failure
 * fails the start instead of a later tile write. Its contents and the code
 * decoding tables belong to the run codec; until the codec is linked the run
 * table is zeroed and no decoding table is needed.
 */
#include "bilevel_tables.h"

#include "../../base/holder.h"

#include <string.h>

namespace quill {

uint8_t *g_runTable = nullptr;

bool bilevel_run_table_create() {
    HeapBlock<uint8_t> table(kRunTableBytes);
    if (!table)
        return false;
    memset(table.get(), 0, kRunTableBytes);
    g_runTable = table.release();
    return true;
}

void bilevel_run_table_release() { heap_release(g_runTable); }

bool bilevel_code_tables_create() { return true; }

void bilevel_code_tables_release() {}

} // namespace quill
