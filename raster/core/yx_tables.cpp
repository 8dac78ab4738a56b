/*
 * yx_tables.cpp - loading of the two data files of the lossy colour coding.
 *
 * Each file must hold at least 262144 bytes; exactly that many are read.
 * Any failure releases all six work areas, so the tables are either wholly
 * present or wholly absent.
 */
#include "yx_tables.h"

#include "../../base/holder.h"
#include "platform_file.h"

namespace quill {

namespace {
bool read_data_file(const char *dataDir, const char *name, uint8_t *into) {
    char path[512];
    if (!pf_join_path(path, sizeof path, dataDir, name))
        return false;
    PlatformFile *file = pf_open(path, FileMode::Read);
    if (!file)
        return false;
    bool ok = pf_read_at(file, 0, into, kYXFileBytes);
    pf_close(file);
    return ok;
}
} // namespace

bool yx_tables_load(const char *dataDir) {
    yx_tables_release();
    HeapBlock<uint8_t> code(4096), small(512), forward(kYXFileBytes), inverse(kYXFileBytes),
        prepared(1024), coefficients(16384);
    if (!code || !small || !forward || !inverse || !prepared || !coefficients)
        return false;
    if (!read_data_file(dataDir, "magadan.XY", forward.get()) ||
        !read_data_file(dataDir, "urupinsk.XY", inverse.get()))
        return false;
    g_yx.codeBuffer = code.release();
    g_yx.small = small.release();
    g_yx.forward = forward.release();
    g_yx.inverse = inverse.release();
    g_yx.prepared = prepared.release();
    g_yx.coefficients = coefficients.release();
    yx_prepare_tables(g_yx);
    return true;
}

void yx_tables_release() {
    heap_release(g_yx.codeBuffer);
    heap_release(g_yx.small);
    heap_release(g_yx.forward);
    heap_release(g_yx.inverse);
    heap_release(g_yx.prepared);
    heap_release(g_yx.coefficients);
}

// yx_prepare_tables is the tile coder's: raster/codecs/tile_lossy.cpp.

} // namespace quill
