/*
 * library_state.h - the library-wide state of quillimg (one per process).
 *
 * The frame table's existence is the library's started state. All of it is
 * plain data, zero before the first start: no global constructor runs.
 */
#ifndef QUILL_RASTER_CORE_LIBRARY_STATE_H
#define QUILL_RASTER_CORE_LIBRARY_STATE_H

#include "quillimg.h"
#include "slot_table.h"

namespace quill {

constexpr int kMessageCount = 19;   // slots 0..19, slots 0 and 1 share one value
constexpr int kDirectoryBytes = 128; // one path of at most 127 characters

struct LibraryState {
    SlotTable *frames;     // frame records; null while the library is stopped
    SlotTable *tileStores; // tile store records
    char directory[kDirectoryBytes]; // data directory during start, then swap
    ProgressCallback callback;
    intptr_t messages[kMessageCount];
    int yxTablesPresent;
    int yxState;
    double scaleToGrey; // scaled reads to grey; -1.0 is off
};

extern LibraryState g_library;

inline bool library_started() { return g_library.frames != nullptr; }

} // namespace quill

#endif
