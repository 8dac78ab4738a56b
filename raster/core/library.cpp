/*
 * library.cpp - start and stop of quillimg, and the library-wide queries.
 *
 * Start builds, in order: message values, callback, the tile-store table,
 * the run table of the bilevel codec, the optional lossy-coding tables, the
 * scale-to-grey setting, the bilevel decoding tables and last the frame
 * table, whose existence marks the library as started. A failure releases
 * everything built so far. The byte tables of view reduction and grey
 * reduction are compile-time constants (bit_tables.h), so they cannot fail.
 *
 * Both directories are checked before anything is built: a path longer than
 * 127 characters does not fit the directory buffer and fails the start.
 * Stopping unlocks frames that the host left locked, so that every frame,
 * its work memory and its swap file are really gone afterwards.
 */
#include "../../base/holder.h"
#include "../codecs/bilevel_tables.h"
#include "library_state.h"
#include "progress.h"
#include "tile_store.h"
#include "tiles.h"
#include "yx_tables.h"

#include <string.h>

namespace quill {

LibraryState g_library;

namespace {
constexpr uint32_t kFrameMarker = 0xFFFFFFFFu; // width -1
constexpr uint32_t kTileStoreMarker = 0;       // storage 0

bool fits_directory(const char *path) { return !path || strlen(path) < kDirectoryBytes; }

void set_directory(const char *path) {
    const char *text = path ? path : "";
    memcpy(g_library.directory, text, strlen(text) + 1);
}

void release_start_tables() {
    bilevel_code_tables_release();
    yx_tables_release();
    g_library.yxTablesPresent = 0;
    slot_table_destroy(g_library.tileStores);
    bilevel_run_table_release();
}

void delete_all_tile_stores() {
    for (int32_t i = slot_table_highest(g_library.tileStores); i >= 0; --i) {
        tile_store_close(i);
        tile_store_delete(i);
    }
}
} // namespace

} // namespace quill

using namespace quill;

extern "C" QI_API int QI_InitFrameFunctions(const char *dataDir, const char *swapDir,
                                            ProgressCallback callback) {
    if (library_started() || !fits_directory(dataDir) || !fits_directory(swapDir))
        return 0;
    progress_reset_messages();
    g_library.callback = callback;
    set_directory(dataDir);
    if (g_library.tileStores)
        return 0;
    g_library.tileStores = slot_table_create(sizeof(TileStore), kTileStoreMarker);
    if (!g_library.tileStores)
        return 0;
    if (!bilevel_run_table_create()) {
        slot_table_destroy(g_library.tileStores);
        return 0;
    }
    g_library.yxState = 1;
    g_library.yxTablesPresent = yx_tables_load(g_library.directory) ? 1 : 0;
    g_library.scaleToGrey = -1.0;
    if (!bilevel_code_tables_create()) {
        release_start_tables();
        return 0;
    }
    g_library.frames = slot_table_create(sizeof(QI_FrameRecord), kFrameMarker);
    if (!g_library.frames) {
        release_start_tables();
        return 0;
    }
    set_directory(swapDir);
    return 1;
}

extern "C" QI_API int QI_CloseFrameFunctions(void) {
    yx_tables_release();
    g_library.yxTablesPresent = 0;
    if (!library_started())
        return 0;
    frames_delete_all();
    slot_table_destroy(g_library.frames);
    bilevel_code_tables_release();
    delete_all_tile_stores();
    slot_table_destroy(g_library.tileStores);
    bilevel_run_table_release();
    return 1;
}

extern "C" QI_API void QI_FrameLibraryInfo(int *frameCount, int *highestHandle) {
    if (frameCount)
        *frameCount = library_started() ? g_library.frames->used : 0;
    if (highestHandle)
        *highestHandle = slot_table_highest(g_library.frames);
}

extern "C" QI_API void QI_YXstateSwitch(int mode) {
    // Only modes 1 to 4 name a coding; others are ignored like mode 0.
    if (mode > 0 && mode <= 4 && g_library.yxTablesPresent)
        g_library.yxState = mode;
}

extern "C" QI_API int QI_GetYXstate(void) { return g_library.yxState; }

extern "C" QI_API QI_FrameRecord *QI_FrameGetData(int frame) { return frame_lookup(frame); }
